#include "helpers.h"

#include "syscharset.h"
#include "textfile.h"

#include <QStringDecoder>

namespace varnholt {

namespace {
[[nodiscard]] bool isSlash(QChar c)
{
    return c == u'\\' || c == u'/';
}
} // namespace

QString JoinPath(const QString &folder, const QString &name, QChar separator)
{
    QString result;
    if (folder.isEmpty()) {
        result = !name.isEmpty() && isSlash(name.front()) ? name.mid(1) : name;
    } else if (name.isEmpty()) {
        result = folder;
    } else {
        const bool folderEnds = isSlash(folder.back());
        const bool nameStarts = isSlash(name.front());
        if (folderEnds && nameStarts)
            result = folder + name.mid(1);
        else if (folderEnds || nameStarts)
            result = folder + name;
        else
            result = folder + separator + name;
    }
    for (QChar &c : result)
        if (isSlash(c))
            c = separator;
    return result;
}

bool ReadTextFile(const QString &path, QString &text)
{
    const auto bytes = readFileBytes(path);
    if (!bytes)
        return false;
    if (bytes->isEmpty())
        return true;
    const auto *b = reinterpret_cast<const unsigned char *>(bytes->constData());
    const unsigned lead = bytes->size() >= 2 ? unsigned(b[0] | (b[1] << 8)) : 0;
    if (lead < 0xC000) {
        text = SystemCharset::toUnicode(*bytes);
        return true;
    }
    // A final odd byte is half a character: dropped.
    const qsizetype units = (bytes->size() - 2) / 2;
    QString decoded = QStringDecoder(QStringDecoder::Utf16LE, QStringDecoder::Flag::Stateless)
                          .decode(QByteArrayView(*bytes).sliced(2, units * 2));
    const qsizetype nul = decoded.indexOf(QChar(u'\0'));
    if (nul >= 0)
        decoded.truncate(nul);
    text = decoded;
    return true;
}

QString ShortenToWidth(const QString &text, const std::function<int(const QString &)> &width, int maxWidth)
{
    QString result = text;
    const qsizetype length = text.size();
    for (qsizetype i = 1; i <= length && width(result) > maxWidth; ++i)
        result = text.left(std::max<qsizetype>(0, length - i - 1)) + QStringLiteral("...");
    return result;
}

} // namespace varnholt
