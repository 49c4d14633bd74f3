#include "colorfile.h"

#include "settings/fields.h"
#include "settings/textfile.h"

namespace varnholt {

namespace {

constexpr quint32 kWhite = 0xFFFFFF;

QString keyOf(int i)
{
    return QStringLiteral("Color") + QChar(u'A' + i);
}

} // namespace

std::optional<CustomColors> readColorFile(const QString &path)
{
    const auto bytes = readFileBytes(path);
    if (!bytes)
        return std::nullopt;
    CustomColors colors;
    colors.fill(kWhite);
    forEachLine(*bytes, [&colors](QByteArrayView line) {
        const qsizetype eq = line.indexOf('=');
        if (eq < 0)
            return;
        const QByteArrayView key = trimBlanks(line.first(eq));
        const QByteArrayView value = trimBlanks(line.sliced(eq + 1));
        if (key.size() != 6 || !key.first(5).toByteArray().toLower().startsWith("color"))
            return;
        const int i = QChar::toUpper(char16_t(key[5])) - u'A';
        bool ok = false;
        const uint rgb = value.toByteArray().toUInt(&ok, 16);
        if (i >= 0 && i < 16 && ok && value.size() <= 6)
            colors[size_t(i)] = rgb;
    });
    return colors;
}

bool writeColorFile(const QString &path, const CustomColors &colors)
{
    QByteArray out;
    for (int i = 0; i < 16; ++i)
        out += (keyOf(i) + QStringLiteral("=%1\r\n").arg(colors[size_t(i)] & 0xFFFFFF, 6, 16, QChar(u'0')).toUpper()).toLatin1();
    return writeFileAtomically(path, out);
}

} // namespace varnholt
