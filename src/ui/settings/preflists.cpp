#include "ui/settings/preflists.h"

#include "settings/fields.h"
#include "settings/textfile.h"

#include <algorithm>

namespace varnholt {

QStringList StatusCodeItems(const QStringList &programWide)
{
    QStringList items;
    for (const QString &entry : programWide) {
        if (trimBlanks(entry).isEmpty())
            continue;
        QString item = entry;
        if (item.startsWith(u'+') || item.startsWith(u'-'))
            item.remove(0, 1);
        items.append(item);
    }
    items.sort();
    return items;
}

bool IsCodeSelected(const QString &item, const QString &codes)
{
    const QString code = item.left(3);
    const QStringList selected = SplitFields(u";", codes);
    return std::any_of(selected.begin(), selected.end(), [&code](const QString &c) { return c == code; });
}

QString JoinCodes(const QStringList &checkedItems)
{
    constexpr qsizetype maxLength = 255;
    QString codes;
    for (const QString &item : checkedItems) {
        const QString code = item.left(3);
        const qsizetype needed = codes.isEmpty() ? code.size() : codes.size() + 1 + code.size();
        if (needed > maxLength)
            break;
        if (!codes.isEmpty())
            codes += u';';
        codes += code;
    }
    return codes;
}

const QStringList &BuiltInCharsets()
{
    static const QStringList charsets = {
        QStringLiteral("us-ascii"),    QStringLiteral("ISO-8859-1"),   QStringLiteral("ISO-8859-2"),
        QStringLiteral("windows-1250"), QStringLiteral("windows-1251"), QStringLiteral("koi8-r"),
        QStringLiteral("ISO-8859-5"),  QStringLiteral("Auto-Detect"),  QStringLiteral("EUC-JP"),
        QStringLiteral("EUC-TW"),      QStringLiteral("Big5"),         QStringLiteral("UTF-8"),
        QStringLiteral("UTF-7"),       QStringLiteral("windows-1253"), QStringLiteral("ISO-8859-7"),
        QStringLiteral("ISO-8859-9"),
    };
    return charsets;
}

QStringList LoadCharsetList(const QString &path)
{
    QStringList entries;
    if (path.isEmpty())
        return entries;
    for (const QString &line : readTextLines(path)) {
        const QStringView entry = trimBlanks(line);
        if (!entry.isEmpty())
            entries.append(entry.toString());
    }
    return entries;
}

int CharsetIndex(const QStringList &entries, const QString &charSet)
{
    for (int i = 0; i < entries.size(); ++i)
        if (entries[i].compare(charSet, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

QString WithTrailingSlash(const QString &folder)
{
    // An empty folder stays empty: "/" would point at the file system's root.
    return folder.isEmpty() || folder.endsWith(u'/') ? folder : folder + u'/';
}

} // namespace varnholt
