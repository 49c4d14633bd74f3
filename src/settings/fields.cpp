#include "fields.h"

namespace varnholt {

QStringView trimBlanks(QStringView s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && isBlankOrControl(s[b].unicode()))
        ++b;
    while (e > b && isBlankOrControl(s[e - 1].unicode()))
        --e;
    return s.sliced(b, e - b);
}

QStringList SplitFields(QStringView separator, QStringView text)
{
    QStringList pieces;
    if (separator.isEmpty()) {
        if (!text.isEmpty())
            pieces.append(trimBlanks(text).toString());
        return pieces;
    }
    qsizetype pos = 0;
    while (pos < text.size()) {
        const qsizetype sep = text.indexOf(separator, pos);
        if (sep < 0) {
            pieces.append(trimBlanks(text.sliced(pos)).toString());
            break;
        }
        pieces.append(trimBlanks(text.sliced(pos, sep - pos)).toString());
        pos = sep + separator.size();
    }
    return pieces;
}

QString EscapeField(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (c == u'^')
            out += u"%5E";
        else if (c == u'%')
            out += u"%25";
        else
            out += c;
    }
    return out;
}

static int upperHexValue(QChar c)
{
    if (c >= u'0' && c <= u'9')
        return c.unicode() - u'0';
    if (c >= u'A' && c <= u'F')
        return c.unicode() - u'A' + 10;
    return -1;
}

QString UnescapeField(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'%' && i + 2 < text.size()) {
            const int hi = upperHexValue(text[i + 1]);
            const int lo = upperHexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += QChar(char16_t(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

QString CharsetOfEntry(const QString &entry)
{
    const qsizetype comma = entry.indexOf(u',');
    return comma < 0 ? entry : entry.mid(comma + 1);
}

} // namespace varnholt
