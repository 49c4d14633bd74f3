#include "mime/encodings.h"

#include "settings/iconvhandle.h"

#include "settings/syscharset.h"

#include <QString>

#include <array>
#include <cerrno>
#include <iconv.h>
#include <memory>
#include <unordered_map>

namespace varnholt {

namespace {

constexpr char32_t Replacement = 0xFFFD;

struct CharsetInfo {
    const char *name;      // canonical name written in messages
    const char *iconvName; // the C library's name for the byte table
};

// Indexed by TMimeChar.
constexpr std::array<CharsetInfo, MimeCharCount> Charsets{{
    {"ISO-8859-1", "ISO-8859-1"},
    {"ISO-8859-2", "ISO-8859-2"},
    {"ISO-8859-3", "ISO-8859-3"},
    {"ISO-8859-4", "ISO-8859-4"},
    {"ISO-8859-5", "ISO-8859-5"},
    {"ISO-8859-6", "ISO-8859-6"},
    {"ISO-8859-7", "ISO-8859-7"},
    {"ISO-8859-8", "ISO-8859-8"},
    {"ISO-8859-9", "ISO-8859-9"},
    {"ISO-8859-10", "ISO-8859-10"},
    {"WINDOWS-1250", "CP1250"},
    {"WINDOWS-1251", "CP1251"},
    {"WINDOWS-1252", "CP1252"},
    {"WINDOWS-1253", "CP1253"},
    {"WINDOWS-1254", "CP1254"},
    {"WINDOWS-1255", "CP1255"},
    {"WINDOWS-1256", "CP1256"},
    {"WINDOWS-1257", "CP1257"},
    {"WINDOWS-1258", "CP1258"},
    {"KOI8-R", "KOI8-R"},
    {"Unicode-1-1-UCS-2", nullptr},
    {"Unicode-1-1-UCS-4", nullptr},
    {"UTF-8", nullptr},
    {"UTF-7", nullptr},
}};

// Converts `in` into UCS-4BE code points; an input byte iconv rejects
// becomes U+FFFD and is skipped. Shift states (UTF-7) are flushed at the end.
std::u32string iconvToCodePoints(iconv_t cd, QByteArrayView in)
{
    std::u32string out;
    char *src = const_cast<char *>(in.data());
    size_t srcLeft = size_t(in.size());
    unsigned char buf[4096];
    const auto take = [&out, &buf](const unsigned char *end) {
        for (const unsigned char *p = buf; p + 4 <= end; p += 4)
            out.push_back(char32_t(p[0]) << 24 | char32_t(p[1]) << 16 | char32_t(p[2]) << 8 | p[3]);
    };
    while (srcLeft > 0) {
        char *dst = reinterpret_cast<char *>(buf);
        size_t dstLeft = sizeof buf;
        const size_t r = iconv(iconv_t(cd), &src, &srcLeft, &dst, &dstLeft);
        const int err = errno;
        take(reinterpret_cast<unsigned char *>(dst));
        if (r == size_t(-1) && err != E2BIG) {
            // EILSEQ, or EINVAL for an incomplete sequence at the end.
            out.push_back(Replacement);
            ++src;
            --srcLeft;
            iconv(iconv_t(cd), nullptr, nullptr, nullptr, nullptr);
        }
    }
    // Decoders that wait for combining marks (windows-1255, -1258) and
    // UTF-7's shift state give their last character on the flush.
    char *dst = reinterpret_cast<char *>(buf);
    size_t dstLeft = sizeof buf;
    iconv(iconv_t(cd), nullptr, nullptr, &dst, &dstLeft);
    take(reinterpret_cast<unsigned char *>(dst));
    return out;
}

struct EightBitTable {
    std::array<char32_t, 128> high{};             // bytes 0x80..0xFF
    std::unordered_map<char32_t, unsigned char> reverse; // first byte per code point
};

EightBitTable buildTable(TMimeChar charset)
{
    EightBitTable t;
    t.high.fill(Replacement);
    IconvHandle cd = openIconv("UCS-4BE", Charsets[size_t(charset)].iconvName);
    for (int b = 0x80; b <= 0xFF; ++b) {
        if (!cd)
            break;
        const char byte = char(b);
        const std::u32string cps = iconvToCodePoints(cd.get(), QByteArrayView(&byte, 1));
        iconv(iconv_t(cd.get()), nullptr, nullptr, nullptr, nullptr);
        if (cps.size() == 1)
            t.high[size_t(b - 0x80)] = cps.front();
    }
    if (charset == TMimeChar::ISO_8859_7) {
        // The 1987 edition: the euro, drachma and ypogegrammeni of the 2003
        // edition are undefined bytes there.
        for (int b : {0xA4, 0xA5, 0xAA})
            t.high[size_t(b - 0x80)] = Replacement;
    }
    for (int i = 0; i < 128; ++i) {
        if (t.high[size_t(i)] != Replacement)
            t.reverse.emplace(t.high[size_t(i)], static_cast<unsigned char>(0x80 + i));
    }
    return t;
}

const EightBitTable &table(TMimeChar charset)
{
    static std::array<std::unique_ptr<EightBitTable>, MimeCharCount> tables;
    auto &slot = tables[size_t(charset)];
    if (!slot)
        slot = std::make_unique<EightBitTable>(buildTable(charset));
    return *slot;
}

// Writes the UTF-8 bytes of `c` at `p`; returns the end.
char *putUtf8(char *p, char32_t c)
{
    if (c < 0x80) {
        *p++ = char(c);
    } else if (c < 0x800) {
        *p++ = char(0xC0 | (c >> 6));
        *p++ = char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *p++ = char(0xE0 | (c >> 12));
        *p++ = char(0x80 | ((c >> 6) & 0x3F));
        *p++ = char(0x80 | (c & 0x3F));
    } else {
        *p++ = char(0xF0 | (c >> 18));
        *p++ = char(0x80 | ((c >> 12) & 0x3F));
        *p++ = char(0x80 | ((c >> 6) & 0x3F));
        *p++ = char(0x80 | (c & 0x3F));
    }
    return p;
}

// RFC 2152: characters below U+0080 directly ("+" as "+-"), each run of
// others as "+", the modified base64 of its UTF-16BE units without padding,
// and "-".
void appendUtf7(QByteArray &out, std::u32string_view text)
{
    size_t i = 0;
    while (i < text.size()) {
        const char32_t c = text[i];
        if (c < 0x80) {
            out.append(char(c));
            if (c == U'+')
                out.append('-');
            ++i;
            continue;
        }
        QByteArray units;
        for (; i < text.size() && text[i] >= 0x80; ++i) {
            const char32_t u = text[i];
            const auto unit = [&units](char32_t v) {
                units.append(char(v >> 8));
                units.append(char(v & 0xFF));
            };
            if (u >= 0x10000) {
                unit(0xD800 + ((u - 0x10000) >> 10));
                unit(0xDC00 + ((u - 0x10000) & 0x3FF));
            } else {
                unit(u);
            }
        }
        QByteArray b64 = Base64Encode(units);
        if (const qsizetype eq = b64.indexOf('='); eq >= 0)
            b64.truncate(eq);
        out.append('+');
        out.append(b64);
        out.append('-');
    }
}

} // namespace

QByteArray CharsetName(TMimeChar charset)
{
    const auto i = size_t(charset);
    return i < Charsets.size() ? QByteArray(Charsets[i].name) : QByteArray("ISO-8859-1");
}

bool isEightBit(TMimeChar charset)
{
    return int(charset) >= 0 && int(charset) <= int(TMimeChar::KOI8_R);
}

TMimeChar CharsetFromName(QStringView name)
{
    const QString n = name.toString().toUpper();
    if (n.startsWith(u"ISO-8859-10"))
        return TMimeChar::ISO_8859_10;
    for (int i = 2; i <= 9; ++i) {
        if (n.startsWith(QStringLiteral("ISO-8859-%1").arg(i)))
            return TMimeChar(int(TMimeChar::ISO_8859_2) + i - 2);
    }
    for (int i = 0; i <= 8; ++i) {
        if (n.startsWith(QStringLiteral("WINDOWS-125%1").arg(i)) || n.startsWith(QStringLiteral("X-CP125%1").arg(i)))
            return TMimeChar(int(TMimeChar::CP1250) + i);
    }
    if (n.startsWith(u"KOI8-R"))
        return TMimeChar::KOI8_R;
    if (n.startsWith(u"UTF-7"))
        return TMimeChar::UTF_7;
    if (n.contains(u"UTF-8"))
        return TMimeChar::UTF_8;
    if (n.contains(u"UCS-4"))
        return TMimeChar::UCS_4;
    if (n.contains(u"UCS-2") || n.startsWith(u"UNICODE"))
        return TMimeChar::UCS_2;
    return TMimeChar::ISO_8859_1;
}

TMimeChar SystemMimeChar()
{
    return CharsetFromName(QString::fromLatin1(SystemCharset::name()));
}

char32_t eightBitCodePoint(TMimeChar charset, unsigned char byte)
{
    if (byte < 0x80)
        return byte;
    if (!isEightBit(charset))
        return Replacement;
    return table(charset).high[size_t(byte - 0x80)];
}

std::u32string decodeCharset(QByteArrayView text, TMimeChar from)
{
    std::u32string out;
    if (isEightBit(from)) {
        const EightBitTable &t = table(from);
        out.reserve(size_t(text.size()));
        for (char ch : text) {
            const auto b = static_cast<unsigned char>(ch);
            out.push_back(b < 0x80 ? char32_t(b) : t.high[size_t(b - 0x80)]);
        }
        return out;
    }
    switch (from) {
    case TMimeChar::UTF_8:
        return codePoints(QString::fromUtf8(text));
    case TMimeChar::UCS_2:
    case TMimeChar::UCS_4: {
        const qsizetype width = from == TMimeChar::UCS_2 ? 2 : 4;
        const auto *p = reinterpret_cast<const unsigned char *>(text.data());
        qsizetype i = 0;
        for (; i + width <= text.size(); i += width) {
            char32_t c = 0;
            for (qsizetype k = 0; k < width; ++k)
                c = c << 8 | p[i + k];
            out.push_back((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF ? Replacement : c);
        }
        if (i < text.size())
            out.push_back(Replacement);
        return out;
    }
    case TMimeChar::UTF_7: {
        IconvHandle cd = openIconv("UCS-4BE", "UTF-7");
        if (cd)
            return iconvToCodePoints(cd.get(), text);
        break;
    }
    default:
        break;
    }
    return codePoints(QString::fromLatin1(text));
}

std::optional<QByteArray> encodeCharset(std::u32string_view text, TMimeChar to)
{
    QByteArray out;
    if (isEightBit(to)) {
        out.resize(qsizetype(text.size()));
        char *p = out.data();
        const EightBitTable *t = nullptr;
        for (char32_t c : text) {
            if (c < 0x80) {
                *p++ = char(c);
                continue;
            }
            if (!t)
                t = &table(to);
            const auto it = t->reverse.find(c);
            if (it == t->reverse.end())
                return std::nullopt;
            *p++ = char(it->second);
        }
        return out;
    }
    if (to == TMimeChar::UTF_7) {
        appendUtf7(out, text);
        return out;
    }
    const qsizetype width = to == TMimeChar::UCS_2 ? 2 : 4; // UTF-8 takes at most 4 bytes a character
    out.resize(qsizetype(text.size()) * width);
    char *p = out.data();
    for (char32_t c : text) {
        if (c >= 0xD800 && c <= 0xDFFF)
            c = Replacement;
        switch (to) {
        case TMimeChar::UCS_2:
            if (c > 0xFFFF)
                return std::nullopt;
            *p++ = char(c >> 8);
            *p++ = char(c & 0xFF);
            break;
        case TMimeChar::UCS_4:
            *p++ = char(c >> 24);
            *p++ = char((c >> 16) & 0xFF);
            *p++ = char((c >> 8) & 0xFF);
            *p++ = char(c & 0xFF);
            break;
        default:
            p = putUtf8(p, c);
            break;
        }
    }
    out.truncate(p - out.constData());
    return out;
}

bool appendEncoded(QByteArray &out, QStringView text, TMimeChar to)
{
    // ASCII is itself in the one-byte sets and in UTF-8: those characters
    // are copied as they are, and only the rest of the text is converted.
    qsizetype ascii = 0;
    if (isEightBit(to) || to == TMimeChar::UTF_8) {
        const qsizetype at = out.size();
        out.resize(at + text.size());
        ascii = copyAscii(out.data() + at, text);
        out.truncate(at + ascii);
        if (ascii == text.size())
            return true;
    }
    const std::optional<QByteArray> rest = encodeCharset(codePoints(text.sliced(ascii)), to);
    if (!rest)
        return false;
    out.append(*rest);
    return true;
}

std::optional<QByteArray> ConvertCharset(QByteArrayView text, TMimeChar from, TMimeChar to)
{
    return encodeCharset(decodeCharset(text, from), to);
}

std::u32string codePoints(QStringView text)
{
    std::u32string out;
    out.reserve(size_t(text.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) {
            out.push_back(QChar::surrogateToUcs4(u, text[i + 1].unicode()));
            ++i;
        } else if (QChar::isSurrogate(u)) {
            out.push_back(Replacement);
        } else {
            out.push_back(u);
        }
    }
    return out;
}

} // namespace varnholt
