#include "mime/encodings.h"

#include <QTimeZone>

namespace varnholt {

namespace {

constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char Hex[] = "0123456789ABCDEF";

// Encodes whole groups of three bytes; returns the number of characters
// written (4 per group).
inline char *encodeGroups(char *dst, const unsigned char *src, qsizetype groups)
{
    for (qsizetype g = 0; g < groups; ++g, src += 3) {
        const unsigned v = unsigned(src[0]) << 16 | unsigned(src[1]) << 8 | src[2];
        *dst++ = Alphabet[v >> 18];
        *dst++ = Alphabet[(v >> 12) & 63];
        *dst++ = Alphabet[(v >> 6) & 63];
        *dst++ = Alphabet[v & 63];
    }
    return dst;
}

// The last one or two bytes, "=" padded.
inline char *encodeTail(char *dst, const unsigned char *src, qsizetype n)
{
    const unsigned v = unsigned(src[0]) << 16 | (n > 1 ? unsigned(src[1]) << 8 : 0u);
    *dst++ = Alphabet[v >> 18];
    *dst++ = Alphabet[(v >> 12) & 63];
    *dst++ = n > 1 ? Alphabet[(v >> 6) & 63] : '=';
    *dst++ = '=';
    return dst;
}

// The longest run of non-blank characters a value may have and still be
// folded under SMTP's 998-character limit (RFC 5322 2.1.1), with room for
// the field name.
constexpr size_t LongestUnfoldableRun = 900;

// RFC 2047 2: an encoded word is at most 75 characters long.
constexpr qsizetype EncodedWordLimit = 75;
// RFC 2047 2: a header line holding an encoded word is at most 76 long.
constexpr qsizetype EncodedLineLimit = 76;

bool hasLongRun(std::u32string_view text)
{
    size_t run = 0;
    for (char32_t c : text) {
        run = (c == U' ' || c == U'\t') ? 0 : run + 1;
        if (run > LongestUnfoldableRun)
            return true;
    }
    return false;
}

QByteArray encodeWordPayload(QByteArrayView bytes, THdrCoding coding)
{
    if (coding == hcBase64)
        return Base64Encode(bytes);
    QByteArray out;
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b == ' ') {
            out.append('_');
        } else if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '!' || b == '*' || b == '+' || b == '-' || b == '/') {
            // RFC 2047 5 (3): only these may stand for themselves in a word
            // that is part of a phrase (a display name), so commas, quotes
            // and brackets never end a name or a quoted file name early.
            out.append(char(b));
        } else {
            out.append('=');
            out.append(Hex[b >> 4]);
            out.append(Hex[b & 15]);
        }
    }
    return out;
}

QByteArray makeWord(const QByteArray &charsetName, QByteArrayView bytes, THdrCoding coding)
{
    return "=?" + charsetName + (coding == hcBase64 ? "?B?" : "?Q?") + encodeWordPayload(bytes, coding) + "?=";
}

} // namespace

QByteArray Base64Encode(QByteArrayView bytes)
{
    QByteArray out((bytes.size() + 2) / 3 * 4, Qt::Uninitialized);
    const auto *src = reinterpret_cast<const unsigned char *>(bytes.data());
    const qsizetype groups = bytes.size() / 3;
    char *dst = encodeGroups(out.data(), src, groups);
    if (const qsizetype rest = bytes.size() - groups * 3)
        encodeTail(dst, src + groups * 3, rest);
    return out;
}

void appendBase64Lines(QByteArray &out, QByteArrayView bytes, int lineLength)
{
    if (bytes.isEmpty())
        return;
    const qsizetype groupsPerLine = qMax(1, lineLength / 4);
    const qsizetype chars = (bytes.size() + 2) / 3 * 4;
    const qsizetype lines = (chars + groupsPerLine * 4 - 1) / (groupsPerLine * 4);
    const qsizetype start = out.size();
    out.resize(start + chars + lines * 2);
    char *dst = out.data() + start;
    const auto *src = reinterpret_cast<const unsigned char *>(bytes.data());
    qsizetype groupsLeft = bytes.size() / 3;
    const qsizetype rest = bytes.size() - groupsLeft * 3;
    while (groupsLeft > 0) {
        const qsizetype n = qMin(groupsLeft, groupsPerLine);
        dst = encodeGroups(dst, src, n);
        src += n * 3;
        groupsLeft -= n;
        if (groupsLeft == 0 && rest && n < groupsPerLine)
            break; // the padded tail still fits on this line
        *dst++ = '\r';
        *dst++ = '\n';
    }
    if (rest) {
        dst = encodeTail(dst, src, rest);
        *dst++ = '\r';
        *dst++ = '\n';
    }
    Q_ASSERT(dst == out.data() + out.size());
}

// Both scans look at blocks of 64 bytes without a branch per byte, which
// the compiler turns into vector code; a message body is read at memory
// speed.
bool NeedsQuotedPrintable(QByteArrayView text)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    for (qsizetype left = text.size(); left > 0;) {
        const qsizetype n = qMin<qsizetype>(left, 64);
        quint8 other = 0;
        for (qsizetype i = 0; i < n; ++i) {
            const quint8 b = p[i];
            // Outside 0x20..0x7E, and neither CR nor LF.
            other |= quint8(quint8(b - 0x20) > 0x5E) & quint8(b != '\r') & quint8(b != '\n');
        }
        if (other)
            return true;
        p += n;
        left -= n;
    }
    return false;
}

QByteArray QpEncodeBody(QByteArrayView bytes, int &linePos)
{
    QByteArray out;
    out.reserve(bytes.size() * 3 / 2 + 8);
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        // RFC 2045 6.7: line breaks of the text are encoded too, and a "."
        // opening a line is encoded so SMTP never sees a lone "." line.
        if (b < 0x21 || b == '=' || b > 0x7E || (b == '.' && linePos == 0)) {
            out.append('=');
            out.append(Hex[b >> 4]);
            out.append(Hex[b & 15]);
            linePos += 3;
        } else {
            out.append(char(b));
            linePos += 1;
        }
        if (linePos > 70) {
            out.append("=\r\n");
            linePos = 0;
        }
    }
    return out;
}

QByteArray headerSafe(QByteArrayView value)
{
    QByteArray out = value.toByteArray();
    for (char &c : out) {
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    }
    return out;
}

QByteArray encodeHeaderWord(std::u32string_view text, TMimeChar charset, THdrCoding coding, qsizetype firstColumn)
{
    std::u32string value(text);
    bool ascii = true;
    for (char32_t &c : value) {
        if (c == U'\r' || c == U'\n' || c == 0)
            c = U' ';
        ascii = ascii && c < 0x80;
    }
    if (ascii && !hasLongRun(value))
        return *encodeCharset(value, TMimeChar::ISO_8859_1);

    if (!encodeCharset(value, charset))
        charset = TMimeChar::UTF_8; // never a different character instead
    const QByteArray name = CharsetName(charset);

    // Greedy: as many whole characters per word as fit in 75 characters.
    // The first word shares its line with what stands before it ("Subject: "),
    // so it is made short enough for that line to stay within 76 characters
    // (RFC 2047 2); when not even one character fits there, it gets the full
    // length and the line is folded in front of it.
    QList<QByteArray> words;
    size_t start = 0;
    while (start < value.size()) {
        size_t end = start + 1;
        QByteArray best = makeWord(name, *encodeCharset(value.substr(start, 1), charset), coding);
        qsizetype limit = EncodedWordLimit;
        if (words.isEmpty() && firstColumn > 0 && best.size() <= EncodedLineLimit - firstColumn)
            limit = qMin(limit, EncodedLineLimit - firstColumn);
        while (end < value.size()) {
            const QByteArray next = makeWord(name, *encodeCharset(value.substr(start, end + 1 - start), charset), coding);
            if (next.size() > limit)
                break;
            best = next;
            ++end;
        }
        words.append(best);
        start = end;
    }
    return words.join("\r\n ");
}

namespace {

// A header text that goes out as it is: ASCII without line breaks or NUL,
// and too short to need folding help or cutting.
bool passesUnchanged(QStringView text)
{
    if (text.size() > qsizetype(LongestUnfoldableRun))
        return false;
    const char16_t *units = text.utf16();
    unsigned other = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = units[i];
        other |= unsigned(u >= 0x80) | unsigned(u == u'\r') | unsigned(u == u'\n') | unsigned(u == 0);
    }
    return other == 0;
}

} // namespace

QByteArray encodeHeaderWord(QStringView text, TMimeChar charset, THdrCoding coding, qsizetype firstColumn)
{
    if (passesUnchanged(text))
        return text.toLatin1();
    return encodeHeaderWord(codePoints(text), charset, coding, firstColumn);
}

QByteArray encodeHeaderLine(QStringView line, TMimeChar charset, THdrCoding coding)
{
    if (passesUnchanged(line)) {
        QByteArray out(line.size(), Qt::Uninitialized);
        copyAscii(out.data(), line);
        return out;
    }
    return encodeHeaderLine(codePoints(line), charset, coding);
}

QByteArray EncodeHeaderWord(QByteArrayView text, TMimeChar charset, THdrCoding coding, qsizetype firstColumn)
{
    return encodeHeaderWord(decodeCharset(text, SystemMimeChar()), charset, coding, firstColumn);
}

QByteArray encodeHeaderLine(std::u32string_view line, TMimeChar charset, THdrCoding coding)
{
    const size_t colon = line.find(U": ");
    if (colon == std::u32string_view::npos)
        return headerSafe(*encodeCharset(line, TMimeChar::UTF_8));
    // The field name is ASCII in any sensible line; anything else in it is
    // written as UTF-8 bytes rather than lost.
    const QByteArray name = headerSafe(*encodeCharset(line.substr(0, colon + 2), TMimeChar::UTF_8));
    // Nothing is appended to the value: a decoder would keep it as part of
    // the text.
    return name + encodeHeaderWord(line.substr(colon + 2, 999), charset, coding, name.size());
}

QByteArray EncodeHeaderLine(QByteArrayView line, TMimeChar charset, THdrCoding coding)
{
    if (!line.contains(": "))
        return headerSafe(line);
    return encodeHeaderLine(decodeCharset(line, SystemMimeChar()), charset, coding);
}

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool trimmedEmpty(QByteArrayView piece)
{
    for (char c : piece) {
        if (!isBlank(c))
            return false;
    }
    return true;
}

// Breaks one physical line in front of blanks that are followed by a
// non-blank, keeping every piece at most `Width` long where a blank allows.
void foldPhysicalLine(QByteArray &out, QByteArrayView line)
{
    constexpr qsizetype Width = 78;
    const auto canFoldAt = [&line](qsizetype p) {
        return p > 0 && p + 1 < line.size() && isBlank(line[p]) && !isBlank(line[p + 1]);
    };
    while (line.size() > Width) {
        qsizetype at = -1;
        for (qsizetype p = Width; p > 0 && at < 0; --p) {
            if (canFoldAt(p))
                at = p;
        }
        for (qsizetype p = Width + 1; p < line.size() && at < 0; ++p) {
            if (canFoldAt(p))
                at = p;
        }
        // A piece must hold more than blanks (RFC 5322 3.2.2).
        if (at > 0 && trimmedEmpty(line.first(at)))
            at = -1;
        if (at < 0)
            break;
        out.append(line.first(at));
        out.append("\r\n");
        line = line.sliced(at);
    }
    out.append(line);
}

} // namespace

QByteArray foldHeaderLine(QByteArrayView line)
{
    QByteArray out;
    out.reserve(line.size() + 16);
    for (;;) {
        const qsizetype eol = line.indexOf("\r\n");
        foldPhysicalLine(out, eol < 0 ? line : line.first(eol));
        if (eol < 0)
            break;
        out.append("\r\n");
        line = line.sliced(eol + 2);
    }
    return out;
}

QByteArray MailDate(const QDateTime &when)
{
    static constexpr const char *Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDate d = when.date();
    const QTime t = when.time();
    const int offset = when.offsetFromUtc() / 60; // minutes east of UTC
    const int absOffset = qAbs(offset);
    return QByteArray::number(d.day()) + ' ' + Months[d.month() - 1] + ' '
        + QByteArray::number(d.year()).rightJustified(4, '0') + ' '
        + QByteArray::number(t.hour()).rightJustified(2, '0') + ':'
        + QByteArray::number(t.minute()).rightJustified(2, '0') + ':'
        + QByteArray::number(t.second()).rightJustified(2, '0') + ' ' + (offset < 0 ? '-' : '+')
        + QByteArray::number(absOffset / 60).rightJustified(2, '0')
        + QByteArray::number(absOffset % 60).rightJustified(2, '0');
}

} // namespace varnholt
