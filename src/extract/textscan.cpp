#include "textscan.h"

#include "settings/syscharset.h"

#include <QChar>

#include <array>
#include <cstring>

namespace varnholt::extract {

namespace {

using ByteTable = std::array<unsigned char, 256>;

ByteTable asciiTable()
{
    ByteTable t{};
    for (int b = 0; b < 256; ++b)
        t[size_t(b)] = (b >= 'A' && b <= 'Z') ? (unsigned char)(b + 32) : (unsigned char)b;
    return t;
}

// The lower case of every byte of a single-byte charset, made once per
// charset name (tests switch the charset).
const ByteTable &singleByteTable()
{
    static QByteArray madeFor;
    static ByteTable table = asciiTable();
    const QByteArray name = SystemCharset::name();
    if (name != madeFor) {
        table = asciiTable();
        for (int b = 0x80; b < 256; ++b) {
            const QString s = SystemCharset::toUnicode(QByteArray(1, char(b)));
            if (s.size() != 1)
                continue;
            const QString l = s.toLower();
            if (l == s)
                continue;
            const QByteArray back = SystemCharset::fromUnicode(l);
            if (back.size() == 1)
                table[size_t(b)] = (unsigned char)back[0];
        }
        madeFor = name;
    }
    return table;
}

const ByteTable kAscii = asciiTable();

// ' " ; blank < > =
constexpr bool inStopSet(unsigned char c)
{
    return c == '\'' || c == '"' || c == ';' || c == ' ' || c == '<' || c == '>' || c == '=';
}

// What a span may hold going forward: the stop set, blanks, control
// characters and anything from 128 on end it; "/" too where slashes end it.
// Going backwards from "@", ":" and "/" end an address too. One table each,
// looked up for every byte of a span.
enum SpanTable { kForward, kForwardNoSlash, kBackward, kBackwardEmail, kSpanTables };
constexpr std::array<std::array<bool, 256>, kSpanTables> kSpanAllowed = [] {
    std::array<std::array<bool, 256>, kSpanTables> t{};
    for (int c = 33; c < 128; ++c) {
        if (inStopSet((unsigned char)c))
            continue;
        t[kForward][size_t(c)] = true;
        t[kForwardNoSlash][size_t(c)] = c != '/';
        t[kBackward][size_t(c)] = true;
        t[kBackwardEmail][size_t(c)] = c != ':' && c != '/';
    }
    return t;
}();

constexpr bool isWordSeparator(unsigned char c)
{
    switch (c) {
    case ' ': case '\'': case '"': case ':': case ';': case ',': case '.': case '(': case ')': case '[':
    case ']': case '!': case '?': case '=': case '+': case '-': case '*': case '<': case '>': case '/':
    case '\\':
        return true;
    default:
        return false;
    }
}

bool startsWithAt(QByteArrayView text, qsizetype at, QByteArrayView what)
{
    return at >= 0 && at + what.size() <= text.size() && text.sliced(at, what.size()) == what;
}

// The earliest line break at or after `from` that lies wholly before `end`:
// CR LF, "<br>" CR LF or "<br>".
std::optional<Span> nextBreak(QByteArrayView lower, qsizetype from, qsizetype end)
{
    const QByteArrayView range = lower.first(end);
    const qsizetype crlf = range.indexOf("\r\n", from);
    const qsizetype br = range.indexOf("<br>", from);
    if (crlf < 0 && br < 0)
        return std::nullopt;
    if (br >= 0 && (crlf < 0 || br < crlf)) {
        if (startsWithAt(range, br + 4, "\r\n"))
            return Span{br, br + 6};
        return Span{br, br + 4};
    }
    return Span{crlf, crlf + 2};
}

} // namespace

void lowerInto(const char *src, char *dst, qsizetype n)
{
    const auto *s = reinterpret_cast<const unsigned char *>(src);
    auto *d = reinterpret_cast<unsigned char *>(dst);
    if (!SystemCharset::isUtf8()) {
        const ByteTable &t = singleByteTable();
        for (qsizetype i = 0; i < n; ++i)
            d[i] = t[s[i]];
        return;
    }
    for (qsizetype i = 0; i < n;) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            d[i] = kAscii[c];
            ++i;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF && i + 1 < n && (s[i + 1] & 0xC0) == 0x80) {
            const char16_t cp = char16_t(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
            const char32_t lc = QChar::toLower(char32_t(cp));
            if (lc >= 0x80 && lc < 0x800) {
                d[i] = (unsigned char)(0xC0 | (lc >> 6));
                d[i + 1] = (unsigned char)(0x80 | (lc & 0x3F));
            } else {
                d[i] = c;
                d[i + 1] = s[i + 1];
            }
            i += 2;
            continue;
        }
        d[i] = c;
        ++i;
    }
}

QByteArray lowered(QByteArrayView text)
{
    QByteArray out(text.size(), Qt::Uninitialized);
    lowerInto(text.data(), out.data(), text.size());
    return out;
}

qsizetype advanceChars(QByteArrayView text, qsizetype from, qsizetype count, qsizetype end)
{
    if (!SystemCharset::isUtf8())
        return qMin(end, from + count);
    qsizetype i = from;
    for (qsizetype k = 0; k < count && i < end; ++k) {
        ++i;
        while (i < end && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            ++i;
    }
    return i;
}

std::vector<Finder> findersOf(QByteArrayView lowerBegin)
{
    std::vector<Finder> out;
    qsizetype pos = 0;
    while (pos <= lowerBegin.size()) {
        qsizetype sep = lowerBegin.indexOf("^+", pos);
        if (sep < 0)
            sep = lowerBegin.size();
        const QByteArrayView alt = lowerBegin.sliced(pos, sep - pos);
        if (alt == "^find@")
            out.push_back(Finder::Email);
        else if (alt == "^findurl")
            out.push_back(Finder::Url);
        else if (alt == "^finddomain")
            out.push_back(Finder::Domain);
        pos = sep + 2;
    }
    return out;
}

std::optional<FinderHit> nextFinderHit(Finder finder, QByteArrayView lower, qsizetype from, qsizetype reach)
{
    const qsizetype n = lower.size();
    from = qMax<qsizetype>(from, 0);
    FinderHit hit;
    // The anchor occurring first; on equal positions the earlier of
    // "http://", "href=", "www.".
    if (finder == Finder::Email) {
        const qsizetype at = lower.indexOf('@', from);
        if (at < 0)
            return std::nullopt;
        hit.anchor = at;
        hit.anchorSize = 1;
    } else {
        qsizetype at = from;
        for (; at < n; ++at) {
            const char c = lower[at];
            if (c == 'h') {
                if (startsWithAt(lower, at, "http://")) {
                    hit.anchorSize = 7;
                    break;
                }
                if (startsWithAt(lower, at, "href=")) {
                    hit.anchorSize = 5;
                    break;
                }
            } else if (c == 'w' && startsWithAt(lower, at, "www.")) {
                hit.anchorSize = 4;
                break;
            }
        }
        if (at >= n)
            return std::nullopt;
        hit.anchor = at;
    }
    const QByteArrayView anchorText = lower.sliced(hit.anchor, hit.anchorSize);
    const qsizetype low = reach < 0 ? 0 : qMax<qsizetype>(0, hit.anchor - reach);
    qsizetype high = reach < 0 ? n : qMin(n, hit.anchor + hit.anchorSize + reach);
    qsizetype start = hit.anchor;
    if (anchorText == "href=") {
        start = hit.anchor + 5;
        while (start < high && (lower[start] == ' ' || lower[start] == '"'))
            ++start;
    } else if (anchorText != "http://") {
        const auto &allowed = kSpanAllowed[finder == Finder::Email ? kBackwardEmail : kBackward];
        while (start > low && allowed[static_cast<unsigned char>(lower[start - 1])])
            --start;
    }
    bool slashEnds = false;
    if (finder == Finder::Domain && startsWithAt(lower, start, "http://")) {
        start += 7;
        slashEnds = true;
    }
    start = qMin(start, high);
    if (reach >= 0)
        high = qMin(n, qMax(start, hit.anchor + hit.anchorSize) + reach);
    const auto &allowed = kSpanAllowed[slashEnds ? kForwardNoSlash : kForward];
    qsizetype end = start;
    while (end < high && allowed[static_cast<unsigned char>(lower[end])])
        ++end;
    hit.span = {start, end};
    const QByteArrayView spanText = lower.sliced(start, end - start);
    hit.anchorOnly = spanText == anchorText || (slashEnds && anchorText == "http://" && spanText.isEmpty());
    return hit;
}

std::optional<Span> findOccurrence(Finder finder, QByteArrayView lower, qsizetype occurrence)
{
    occurrence = qMax<qsizetype>(occurrence, 1);
    qsizetype count = 0;
    qsizetype from = 0;
    while (const auto hit = nextFinderHit(finder, lower, from)) {
        if (hit->anchorOnly)
            return std::nullopt;
        if (++count == occurrence)
            return hit->span;
        from = hit->anchor + 1;
    }
    return std::nullopt;
}

std::optional<Span> locateField(const FieldRule &rule, QByteArrayView lower)
{
    const qsizetype n = lower.size();
    if (rule.finderBegin) {
        std::optional<Span> best;
        for (const Finder f : rule.finders) {
            const auto span = findOccurrence(f, lower, rule.identifier);
            if (span && (!best || span->start < best->start))
                best = span;
        }
        return best;
    }
    qsizetype start = 0;
    if (!rule.begin.isEmpty()) {
        const qsizetype wanted = qMax<qsizetype>(rule.identifier, 1);
        qsizetype from = 0;
        for (qsizetype count = 1;; ++count) {
            const qsizetype at = lower.indexOf(rule.begin, from);
            if (at < 0)
                return std::nullopt;
            from = at + rule.begin.size();
            if (count == wanted)
                break;
        }
        start = from;
    }
    qsizetype end = n;
    QByteArrayView endMarker = rule.end;
    if (endMarker.isEmpty() && rule.lineNumber == 0 && rule.lines == 0 && rule.symbols == 0 && rule.words == 0)
        endMarker = " ";
    if (!endMarker.isEmpty()) {
        const qsizetype at = lower.indexOf(endMarker, start);
        if (at >= 0 && start > 0)
            end = at;
    }
    if (rule.lineNumber > 1) {
        for (qsizetype k = 1; k < rule.lineNumber; ++k) {
            const auto br = nextBreak(lower, start, end);
            if (!br)
                return std::nullopt;
            start = br->end;
        }
    }
    if (rule.lines > 0) {
        qsizetype from = start;
        std::optional<Span> br;
        qsizetype k = 0;
        for (; k < rule.lines; ++k) {
            br = nextBreak(lower, from, end);
            if (!br)
                break;
            from = br->end;
        }
        if (k == rule.lines && br)
            end = br->end;
    }
    if (rule.symbols > 0 && end > start) {
        const qsizetype cut = advanceChars(lower, start, rule.symbols, end);
        if (cut < end)
            end = cut;
    }
    if (rule.words > 0) {
        qsizetype i = start;
        qsizetype count = 0;
        while (i < end) {
            while (i < end && isWordSeparator(static_cast<unsigned char>(lower[i])))
                ++i;
            if (i >= end)
                break;
            while (i < end && !isWordSeparator(static_cast<unsigned char>(lower[i])))
                ++i;
            if (++count == rule.words) {
                if (i < end)
                    end = i + 1;
                break;
            }
        }
    }
    return Span{start, qMax(start, end)};
}

QByteArray valueBytes(QByteArrayView text, Span span)
{
    QByteArray out;
    out.reserve(span.size());
    for (qsizetype i = span.start; i < span.end; ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n' && c != '\t')
            out.append(c);
    }
    return out;
}

std::optional<Span> matchElement(QByteArrayView lower, QByteArrayView open, QByteArrayView close, qsizetype from,
                                 qsizetype limit)
{
    limit = qMin(limit, lower.size());
    if (from >= limit)
        return std::nullopt;
    const QByteArrayView text = lower.first(limit);
    const qsizetype start = text.indexOf(open, from);
    if (start < 0)
        return std::nullopt;
    qsizetype level = 1;
    qsizetype i = start + open.size();
    qsizetype nextOpen = text.indexOf(open, i);
    qsizetype nextClose = text.indexOf(close, i);
    if (nextClose < 0)
        return Span{start, limit};
    while (true) {
        if (nextClose < 0)
            return std::nullopt;
        if (nextOpen >= 0 && nextOpen < nextClose) {
            ++level;
            i = nextOpen + open.size();
            nextOpen = text.indexOf(open, i);
            continue;
        }
        --level;
        i = nextClose + close.size();
        if (level == 0)
            return Span{start, i};
        if (nextOpen >= 0 && nextOpen < i)
            nextOpen = text.indexOf(open, i);
        nextClose = text.indexOf(close, i);
    }
}

QByteArray cellText(QByteArrayView element)
{
    // Markup: the first "<" to the first ">" goes, again and again; a ">"
    // with no "<" before it takes everything before it along; an unclosed
    // "<" cuts the text.
    QByteArray out;
    out.reserve(element.size());
    bool inTag = false;
    for (const char c : element) {
        if (c == '\r' || c == '\n' || c == '\t')
            continue;
        if (c == '<') {
            inTag = true;
        } else if (c == '>') {
            if (!inTag)
                out.clear();
            inTag = false;
        } else if (!inTag) {
            out.append(c);
        }
    }
    QByteArray result;
    result.reserve(out.size());
    for (qsizetype i = 0; i < out.size();) {
        if (startsWithAt(out, i, "&nbsp")) {
            i += 5;
            if (i < out.size() && out[i] == ';')
                ++i;
            continue;
        }
        result.append(out[i++]);
    }
    return result;
}

std::vector<QByteArray> splitDelimitedLine(QByteArrayView line, QByteArrayView delimiter, DelimitedSplit how)
{
    std::vector<QByteArray> fields;
    const qsizetype n = line.size();
    if (delimiter.isEmpty())
        delimiter = ";";
    auto trimmed = [](QByteArrayView v) {
        qsizetype b = 0, e = v.size();
        while (b < e && static_cast<unsigned char>(v[b]) <= ' ')
            ++b;
        while (e > b && static_cast<unsigned char>(v[e - 1]) <= ' ')
            --e;
        return v.sliced(b, e - b).toByteArray();
    };
    qsizetype pos = 0;
    switch (how) {
    case DelimitedSplit::Plain:
        while (pos < n) {
            const qsizetype d = line.indexOf(delimiter, pos);
            const qsizetype stop = d < 0 ? n : d;
            fields.push_back(trimmed(line.sliced(pos, stop - pos)));
            pos = d < 0 ? n : d + delimiter.size();
        }
        break;
    case DelimitedSplit::KeepQuoted:
        while (pos < n) {
            while (pos < n && static_cast<unsigned char>(line[pos]) <= ' ')
                ++pos;
            if (pos < n && line[pos] == '"') {
                const qsizetype q = line.indexOf('"', pos + 1);
                if (q < 0) {
                    fields.push_back(trimmed(line.sliced(pos + 1)));
                    break;
                }
                fields.push_back(trimmed(line.sliced(pos + 1, q - pos - 1)));
                const qsizetype d = line.indexOf(delimiter, q + 1);
                pos = d < 0 ? n : d + delimiter.size();
                continue;
            }
            const qsizetype d = line.indexOf(delimiter, pos);
            const qsizetype stop = d < 0 ? n : d;
            fields.push_back(trimmed(line.sliced(pos, stop - pos)));
            pos = d < 0 ? n : d + delimiter.size();
        }
        break;
    case DelimitedSplit::DelimiterRuns:
        while (true) {
            const qsizetype d = line.indexOf(delimiter, pos);
            if (d < 0) {
                fields.push_back(line.sliced(pos).toByteArray());
                break;
            }
            fields.push_back(line.sliced(pos, d - pos).toByteArray());
            pos = d + delimiter.size();
            while (startsWithAt(line, pos, delimiter))
                pos += delimiter.size();
            if (pos >= n) {
                fields.emplace_back();
                break;
            }
        }
        break;
    }
    return fields;
}

} // namespace varnholt::extract
