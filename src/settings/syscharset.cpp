#include "syscharset.h"
#include "asciitext.h"
#include "iconvhandle.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <clocale>
#include <iconv.h>
#include <langinfo.h>
#include <memory>

namespace varnholt::SystemCharset {

namespace {

QByteArray &overrideName()
{
    static QByteArray name;
    return name;
}

QByteArray localeCharset()
{
    static const QByteArray cached = [] {
        // The program calls setlocale(LC_ALL, "") at start; query LC_CTYPE
        // without changing the process locale for everyone else.
        locale_t loc = newlocale(LC_CTYPE_MASK, "", locale_t(nullptr));
        QByteArray cs;
        if (loc) {
            cs = nl_langinfo_l(CODESET, loc);
            freelocale(loc);
        }
        const QByteArray upper = cs.toUpper();
        if (cs.isEmpty() || upper == "ANSI_X3.4-1968" || upper == "ASCII" || upper == "US-ASCII"
            || upper == "UTF8" || upper == "UTF-8")
            return QByteArray("UTF-8");
        return cs;
    }();
    return cached;
}

// Runs iconv over `in`; an unconvertible input unit is replaced by
// `replace(inputBytes)` and skipped (`unit` bytes at a time).
template <typename Replace>
QByteArray runIconv(iconv_t cd, QByteArrayView in, size_t unit, Replace &&replace)
{
    QByteArray out;
    out.reserve(in.size() * 2 + 16);
    char *src = const_cast<char *>(in.data());
    size_t srcLeft = size_t(in.size());
    char buf[4096];
    while (srcLeft > 0) {
        char *dst = buf;
        size_t dstLeft = sizeof buf;
        const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buf, dst - buf);
        if (r == size_t(-1) && errno != E2BIG) {
            // EILSEQ or EINVAL: one bad unit.
            const size_t n = qMin(unit, srcLeft);
            out.append(replace(QByteArrayView(src, qsizetype(n))));
            src += n;
            srcLeft -= n;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    char *dst = buf;
    size_t dstLeft = sizeof buf;
    iconv(cd, nullptr, nullptr, &dst, &dstLeft);
    out.append(buf, dst - buf);
    return out;
}

// UTF-8 decoding with invalid bytes mapped to U+DC80 + byte.
QString decodeUtf8Escaped(QByteArrayView bytes)
{
    QString out;
    out.reserve(bytes.size());
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            out += QChar(char16_t(c));
            ++i;
            continue;
        }
        int len = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; min = 0x80; }
        else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; min = 0x800; }
        else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; min = 0x10000; }
        bool ok = len > 0 && i + len <= n;
        for (int k = 1; ok && k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (!ok) {
            out += QChar(char16_t(0xDC00 + c));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            out += QChar::highSurrogate(cp);
            out += QChar::lowSurrogate(cp);
        } else {
            out += QChar(char16_t(cp));
        }
        i += len;
    }
    return out;
}

QByteArray encodeUtf8Escaped(QStringView text)
{
    QByteArray out;
    out.reserve(text.size() * 3);
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = text[i].unicode();
        char32_t cp = u;
        if (QChar::isHighSurrogate(u) && i + 1 < n && QChar::isLowSurrogate(text[i + 1].unicode())) {
            cp = QChar::surrogateToUcs4(u, text[i + 1].unicode());
            ++i;
        } else if (u >= 0xDC80 && u <= 0xDCFF) {
            out += char(u - 0xDC00); // an escaped raw byte
            continue;
        } else if (QChar::isSurrogate(u)) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

} // namespace

QByteArray name()
{
    return overrideName().isEmpty() ? localeCharset() : overrideName();
}

bool isUtf8()
{
    return name() == "UTF-8";
}

void overrideForTesting(const QByteArray &charsetName)
{
    overrideName() = charsetName;
}

QString toUnicode(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return {};
    if (isUtf8()) {
        // Plain ASCII as itself; a decoder for other valid text; the
        // escaping decoder only for broken bytes.
        if (!HasHighBytes(bytes))
            return QString::fromLatin1(bytes);
        QStringDecoder dec(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString s = dec.decode(bytes);
        if (!dec.hasError())
            return s;
        return decodeUtf8Escaped(bytes);
    }
    const IconvHandle cd = openIconv("UTF-16LE", name().constData());
    if (!cd)
        return QString::fromLatin1(bytes);
    const QByteArray utf16 = runIconv(static_cast<iconv_t>(cd.get()), bytes, 1, [](QByteArrayView bad) {
        const char16_t esc = char16_t(0xDC00 + static_cast<unsigned char>(bad[0]));
        return QByteArray(reinterpret_cast<const char *>(&esc), 2);
    });
    return QString(reinterpret_cast<const QChar *>(utf16.constData()), utf16.size() / 2);
}

QByteArray fromUnicode(QStringView text)
{
    if (text.isEmpty())
        return {};
    if (isUtf8())
        return isAscii(text) ? text.toLatin1() : encodeUtf8Escaped(text);
    const IconvHandle cd = openIconv(name().constData(), "UTF-16LE");
    if (!cd)
        return text.toLatin1();
    const QByteArrayView in(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    return runIconv(static_cast<iconv_t>(cd.get()), in, 2, [](QByteArrayView bad) {
        const char16_t u = char16_t(static_cast<unsigned char>(bad[0]) | (static_cast<unsigned char>(bad[1]) << 8));
        if (u >= 0xDC80 && u <= 0xDCFF)
            return QByteArray(1, char(u - 0xDC00));
        return QByteArray("?");
    });
}

} // namespace varnholt::SystemCharset
