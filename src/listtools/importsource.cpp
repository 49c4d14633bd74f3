#include "importsource.h"

#include "project/listtable.h"
#include "settings/iconvhandle.h"
#include "settings/syscharset.h"
#include "settings/textfile.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QLocale>
#include <QDate>
#include <QStringDecoder>
#include <QTime>

#include <shapefil.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <span>
#include <utility>

namespace varnholt {

namespace {

constexpr qsizetype kReadPiece = qsizetype(8) << 20;
constexpr qint64 kProgressEvery = 2048; // records between progress calls

using ByteSet = std::array<bool, 256>;

ByteSet byteSet(QByteArrayView bytes)
{
    ByteSet set{};
    for (char c : bytes)
        set[uchar(c)] = true;
    return set;
}

// Converts `in` from the charset `from` to the system charset; characters
// the system charset cannot hold become "?".
QByteArray convertToSystem(QByteArrayView in, const char *from)
{
    const QByteArray to = SystemCharset::name() + "//TRANSLIT";
    IconvHandle cd = openIconv(to.constData(), from);
    if (!cd)
        return in.toByteArray();
    QByteArray out(in.size() + in.size() / 2 + 16, Qt::Uninitialized);
    char *src = const_cast<char *>(in.data());
    size_t srcLeft = size_t(in.size());
    char *dst = out.data();
    size_t dstLeft = size_t(out.size());
    while (srcLeft > 0) {
        const size_t r = iconv(static_cast<iconv_t>(cd.get()), &src, &srcLeft, &dst, &dstLeft);
        if (r != size_t(-1))
            break;
        if (errno == E2BIG) {
            const qsizetype used = dst - out.data();
            out.resize(out.size() * 2);
            dst = out.data() + used;
            dstLeft = size_t(out.size() - used);
        } else {
            // A byte the source charset does not define, or a character the
            // system charset lacks even by transliteration.
            if (dstLeft < 1) {
                const qsizetype used = dst - out.data();
                out.resize(out.size() * 2);
                dst = out.data() + used;
                dstLeft = size_t(out.size() - used);
            }
            *dst++ = '?';
            --dstLeft;
            ++src;
            --srcLeft;
        }
    }
    out.truncate(dst - out.data());
    return out;
}

// Characters of `bytes` in the system charset.
qsizetype characterCount(QByteArrayView bytes)
{
    if (!SystemCharset::isUtf8())
        return SystemCharset::toUnicode(bytes).size();
    qsizetype n = 0;
    for (char c : bytes)
        n += (uchar(c) & 0xC0) != 0x80;
    return n;
}

// Keeps a field the list file can store: the list delimiter and line
// breaks are found, and replaced when a replacement is given.
class FieldGuard
{
public:
    explicit FieldGuard(const UnstorableFields &rule) : m_rule(rule)
    {
        m_bad[uchar(rule.listDelimiter)] = true;
        m_bad[uchar('\r')] = true;
        m_bad[uchar('\n')] = true;
    }

    // Whether the field holds such a byte.
    [[nodiscard]] bool unstorable(QByteArrayView field) const
    {
        for (char c : field) {
            if (m_bad[uchar(c)])
                return true;
        }
        return false;
    }
    [[nodiscard]] bool replacing() const { return m_rule.replacement.has_value(); }

    // The field with the replacements made; valid until the next call.
    QByteArrayView fixed(QByteArrayView field)
    {
        m_buffer.clear();
        m_buffer.reserve(field.size());
        for (qsizetype i = 0; i < field.size(); ++i) {
            const char c = field[i];
            if (c == m_rule.listDelimiter && c != '\r' && c != '\n') {
                m_buffer.append(*m_rule.replacement);
            } else if (c == '\r' || c == '\n') {
                if (c == '\r' && i + 1 < field.size() && field[i + 1] == '\n')
                    ++i;
                m_buffer.append(' ');
            } else {
                m_buffer.append(c);
            }
        }
        return m_buffer;
    }

private:
    const UnstorableFields &m_rule;
    ByteSet m_bad{};
    QByteArray m_buffer;
};

// Splits the text from the start row into records, by the wizard's choices,
// and hands each to `record(fields, sourceLine)`; returning false stops.
// Progress is asked every few thousand records with the byte offset.
class RecordReader
{
public:
    RecordReader(const TextSource &source, const ImportChoices &choices)
        : RecordReader(source, choices, choices.delimiters.delimiterBytes())
    {
    }
    RecordReader(const TextSource &source, const ImportChoices &choices, QByteArray delimiters)
        : m_source(source), m_choices(choices), m_delimiters(std::move(delimiters))
    {
        m_isDelimiter = byteSet(m_delimiters);
        m_stop = m_isDelimiter;
        m_stop[uchar('\r')] = true;
        m_stop[uchar('\n')] = true;
    }

    // The first line read, 0-based.
    [[nodiscard]] qsizetype firstLine() const
    {
        return std::clamp<qsizetype>(qsizetype(m_choices.startRow) - 1, 0, m_source.lineCount());
    }
    [[nodiscard]] qsizetype remainingLines() const { return m_source.lineCount() - firstLine(); }
    [[nodiscard]] bool unclosedQuote() const { return m_unclosedLine > 0; }
    [[nodiscard]] qint64 unclosedLine() const { return m_unclosedLine; }

    enum class End { Done, Stopped, Refused };

    template <typename Fn>
    End run(Fn &&record, const ImportProgress &progress, qint64 progressBase, qint64 progressMax)
    {
        const QByteArrayView text = m_source.text();
        qint64 count = 0;
        auto tick = [&](qsizetype offset) {
            return !progress || ++count % kProgressEvery != 0 || progress(progressBase + offset, progressMax);
        };
        const bool quoted = m_choices.delimiters.quoted && m_choices.type == ImportType::Delimited;
        if (quoted) {
            qsizetype pos = firstLine() < m_source.lineCount() ? m_source.lineOffset(firstLine()) : text.size();
            qsizetype line = firstLine();
            while (pos < text.size()) {
                const qsizetype start = pos;
                bool unclosed = false;
                pos = parseCsv(text, pos, &unclosed);
                // Lines of the text up to this record: cheap because records
                // mostly span one line.
                while (line + 1 < m_source.lineCount() && m_source.lineOffset(line + 1) <= start)
                    ++line;
                if (unclosed && m_unclosedLine == 0)
                    m_unclosedLine = line + 1;
                if (!record(std::span<const QByteArrayView>(m_fields), qint64(line) + 1))
                    return End::Refused;
                if (!tick(pos))
                    return End::Stopped;
            }
            return End::Done;
        }
        for (qsizetype i = firstLine(); i < m_source.lineCount(); ++i) {
            const QByteArrayView line = m_source.line(i);
            if (m_choices.type == ImportType::FixedWidth)
                splitFixed(line);
            else
                splitPlain(line);
            if (!record(std::span<const QByteArrayView>(m_fields), qint64(i) + 1))
                return End::Refused;
            if (!tick(m_source.lineOffset(i)))
                return End::Stopped;
        }
        return End::Done;
    }

    // One quoted record of `text` from `pos`, outside a run: its fields
    // stay valid until the next call.
    qsizetype csvRecordAt(QByteArrayView text, qsizetype pos, bool *unclosed, std::vector<QByteArrayView> *fields)
    {
        const qsizetype next = parseCsv(text, pos, unclosed);
        *fields = m_fields;
        return next;
    }

private:
    void splitPlain(QByteArrayView line)
    {
        m_fields.clear();
        if (line.isEmpty())
            return;
        if (m_delimiters.isEmpty()) {
            m_fields.push_back(line);
            return;
        }
        const char *p = line.data();
        const char *end = p + line.size();
        while (p < end) {
            const char *q = p;
            while (q < end && !m_isDelimiter[uchar(*q)])
                ++q;
            m_fields.emplace_back(p, q - p);
            if (q == end)
                break;
            p = q + 1;
            if (m_choices.delimiters.consecutiveAsOne) {
                while (p < end && m_isDelimiter[uchar(*p)])
                    ++p;
            }
        }
    }

    void splitFixed(QByteArrayView line)
    {
        m_fields.clear();
        m_owned.clear();
        const QStringList parts = splitFixedWidth(SystemCharset::toUnicode(line), m_choices.breaks);
        for (const QString &part : parts)
            m_owned.push_back(SystemCharset::fromUnicode(part));
        for (const QByteArray &b : m_owned)
            m_fields.emplace_back(b);
    }

    // One RFC 4180 record from `pos`; the fields go to m_fields (views into
    // the text, or into m_buffer for quoted ones). Returns the next record's
    // offset.
    qsizetype parseCsv(QByteArrayView text, qsizetype pos, bool *unclosed)
    {
        m_pieces.clear();
        m_buffer.clear();
        const char *t = text.data();
        const qsizetype n = text.size();
        for (;;) {
            if (pos < n && t[pos] == '"') {
                const qsizetype begin = m_buffer.size();
                ++pos;
                for (;;) {
                    const void *hit = std::memchr(t + pos, '"', size_t(n - pos));
                    if (!hit) {
                        m_buffer.append(t + pos, n - pos);
                        pos = n;
                        *unclosed = true;
                        break;
                    }
                    const qsizetype q = static_cast<const char *>(hit) - t;
                    m_buffer.append(t + pos, q - pos);
                    if (q + 1 < n && t[q + 1] == '"') {
                        m_buffer.append('"');
                        pos = q + 2;
                        continue;
                    }
                    pos = q + 1;
                    break;
                }
                // Text after the closing quote belongs to the field.
                const qsizetype rest = pos;
                while (pos < n && !m_stop[uchar(t[pos])])
                    ++pos;
                m_buffer.append(t + rest, pos - rest);
                m_pieces.push_back({true, begin, m_buffer.size() - begin});
            } else {
                const qsizetype begin = pos;
                while (pos < n && !m_stop[uchar(t[pos])])
                    ++pos;
                m_pieces.push_back({false, begin, pos - begin});
            }
            if (pos >= n)
                break;
            const char c = t[pos];
            if (c == '\r' || c == '\n') {
                pos += (c == '\r' && pos + 1 < n && t[pos + 1] == '\n') ? 2 : 1;
                break;
            }
            ++pos; // the delimiter
            if (m_choices.delimiters.consecutiveAsOne) {
                while (pos < n && m_isDelimiter[uchar(t[pos])])
                    ++pos;
            }
            if (pos >= n || t[pos] == '\r' || t[pos] == '\n') {
                // "a,b," has an empty third field.
                m_pieces.push_back({false, pos, 0});
                if (pos < n)
                    pos += (t[pos] == '\r' && pos + 1 < n && t[pos + 1] == '\n') ? 2 : 1;
                break;
            }
        }
        m_fields.clear();
        for (const Piece &piece : m_pieces) {
            if (piece.buffered)
                m_fields.emplace_back(m_buffer.constData() + piece.offset, piece.length);
            else
                m_fields.emplace_back(t + piece.offset, piece.length);
        }
        return pos;
    }

    const TextSource &m_source;
    const ImportChoices &m_choices;
    QByteArray m_delimiters;
    ByteSet m_isDelimiter{};
    ByteSet m_stop{};
    std::vector<QByteArrayView> m_fields;
    std::vector<QByteArray> m_owned;
    struct Piece {
        bool buffered;
        qsizetype offset, length;
    };
    std::vector<Piece> m_pieces;
    QByteArray m_buffer;
    qint64 m_unclosedLine = 0;
};

QString unstorableText(const ImportResult &r, char delimiter)
{
    return QStringLiteral("%1 record(s) hold the list delimiter \"%2\" or a line break inside a field, which "
                          "the list cannot store (the first at line %3)")
        .arg(r.unstorableRows)
        .arg(delimiterName(QChar::fromLatin1(delimiter)))
        .arg(r.firstUnstorableLine);
}

QString tooWideText(qint64 line, qsizetype fields)
{
    return QStringLiteral("line %1 has %2 fields; a list takes at most %3 columns (are the delimiters right?)")
        .arg(line)
        .arg(fields)
        .arg(kMaxImportColumns);
}

} // namespace

// ---- choices and splitting ---------------------------------------------------

QByteArray DelimiterChoice::delimiterBytes() const
{
    QByteArray set;
    if (semicolon)
        set.append(';');
    if (comma)
        set.append(',');
    if (tab)
        set.append('\t');
    if (space)
        set.append(' ');
    if (other && otherCharacter.size() == 1 && !set.contains(otherCharacter[0]))
        set.append(otherCharacter[0]);
    return set;
}

QByteArray dosCodePage()
{
    return QLocale::system().language() == QLocale::Russian ? QByteArrayLiteral("CP866") : QByteArrayLiteral("CP437");
}

std::vector<QByteArrayView> splitDelimited(QByteArrayView line, QByteArrayView delimiters, bool consecutiveAsOne)
{
    std::vector<QByteArrayView> fields;
    if (line.isEmpty())
        return fields;
    if (delimiters.isEmpty()) {
        fields.push_back(line);
        return fields;
    }
    const ByteSet set = byteSet(delimiters);
    qsizetype p = 0;
    while (p < line.size()) {
        qsizetype q = p;
        while (q < line.size() && !set[uchar(line[q])])
            ++q;
        fields.push_back(line.sliced(p, q - p));
        if (q == line.size())
            break;
        p = q + 1;
        if (consecutiveAsOne) {
            while (p < line.size() && set[uchar(line[p])])
                ++p;
        }
    }
    return fields;
}

CsvRecord splitCsvRecord(QByteArrayView text, qsizetype from, QByteArrayView delimiters, bool consecutiveAsOne)
{
    ImportChoices choices;
    choices.delimiters.semicolon = false;
    choices.delimiters.quoted = true;
    choices.delimiters.consecutiveAsOne = consecutiveAsOne;
    const TextSource empty = TextSource::fromBytes({});
    RecordReader reader(empty, choices, delimiters.toByteArray());
    CsvRecord out;
    std::vector<QByteArrayView> fields;
    out.next = reader.csvRecordAt(text, from, &out.unclosed, &fields);
    for (QByteArrayView f : fields)
        out.fields.push_back(f.toByteArray());
    return out;
}

QStringList splitFixedWidth(QStringView line, QByteArrayView breaks)
{
    QStringList fields;
    if (breaks.isEmpty())
        return fields;
    auto cut = [&line](qsizetype from, qsizetype length) {
        if (from >= line.size())
            return QString();
        return line.sliced(from, std::min(length, line.size() - from)).toString();
    };
    qsizetype current = 0;
    for (qsizetype p = 0; p < breaks.size(); ++p) {
        if (breaks[p] == '1') {
            fields.append(cut(current, p + 1 - current));
            current = p + 1;
        }
    }
    if (current < breaks.size())
        fields.append(cut(current, breaks.size() - current));
    return fields;
}

bool isBlankTable(const ListTable &table)
{
    if (table.rowCount() != 1)
        return false;
    for (int c = 0; c < table.columnCount(); ++c) {
        const QByteArrayView cell = table.cellBytes(0, c);
        for (char ch : cell) {
            if (uchar(ch) > ' ')
                return false;
        }
    }
    return true;
}

// ---- text source -------------------------------------------------------------

std::optional<TextSource> TextSource::read(const QString &path, QString *error, const ImportProgress &progress)
{
    auto failWith = [error](const QString &text) {
        if (error)
            *error = text;
        return std::nullopt;
    };
    if (error)
        error->clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failWith(QStringLiteral("\"%1\" cannot be read: %2").arg(path, file.errorString()));
    if (!QFileInfo(path).isFile())
        return failWith(QStringLiteral("\"%1\" is not a file").arg(path));
    const qint64 size = file.size();
    if (size > kMaxFileSize)
        return failWith(QStringLiteral("\"%1\" is %2 MB; the import reads files of up to %3 MB")
                            .arg(path)
                            .arg(size >> 20)
                            .arg(kMaxFileSize >> 20));
    QByteArray bytes;
    bytes.resize(size);
    qint64 done = 0;
    while (done < size) {
        const qint64 n = file.read(bytes.data() + done, std::min<qint64>(kReadPiece, size - done));
        if (n < 0)
            return failWith(QStringLiteral("\"%1\" cannot be read: %2").arg(path, file.errorString()));
        if (n == 0)
            return failWith(QStringLiteral("\"%1\" became shorter while it was read (%2 of %3 bytes); it was not "
                                           "imported")
                                .arg(path)
                                .arg(done)
                                .arg(size));
        done += n;
        // A binary file is known by its first bytes; say so before reading
        // the rest of a large one.
        if (done >= std::min<qint64>(kBinaryProbe, size) && done - n < std::min<qint64>(kBinaryProbe, size)) {
            const QByteArrayView head(bytes.constData(), qsizetype(std::min<qint64>(kBinaryProbe, size)));
            const bool unicodeMark = head.startsWith("\xFF\xFE") || head.startsWith("\xFE\xFF");
            const qsizetype nul = unicodeMark ? -1 : head.indexOf('\0');
            // Only NUL padding at the very end of a small file is allowed.
            const bool padding = nul >= 0 && size == head.size()
                                 && head.sliced(nul).count('\0') == head.size() - nul;
            if (nul >= 0 && !padding)
                return failWith(QStringLiteral("\"%1\" is not a text file (it holds a NUL byte at offset %2); "
                                               "choose a text file or a dBASE table")
                                    .arg(path)
                                    .arg(nul));
        }
        if (progress && !progress(done, size))
            return std::nullopt;
    }
    TextSource source = fromBytes(std::move(bytes));
    // A NUL further on ends the readable text.
    if (!source.m_raw.isEmpty()) {
        const qsizetype nul = source.m_raw.indexOf('\0');
        if (nul >= 0) {
            qsizetype tail = nul;
            while (tail < source.m_raw.size() && source.m_raw[tail] == '\0')
                ++tail;
            if (tail < source.m_raw.size())
                return failWith(QStringLiteral("\"%1\" is not a text file (it holds a NUL byte at offset %2); "
                                               "choose a text file or a dBASE table")
                                    .arg(path)
                                    .arg(nul));
        }
    }
    return source;
}

TextSource TextSource::fromBytes(QByteArray bytes)
{
    TextSource source;
    const QByteArrayView view(bytes);
    if (view.startsWith("\xFF\xFE") || view.startsWith("\xFE\xFF")) {
        const bool little = view.startsWith("\xFF\xFE");
        QStringDecoder decoder(little ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE,
                               QStringDecoder::Flag::Stateless);
        const QString text = decoder.decode(view.sliced(2));
        if (decoder.hasError())
            source.m_notes.append(QStringLiteral("The UTF-16 text holds broken characters; they were replaced."));
        source.m_raw = SystemCharset::fromUnicode(text);
        source.m_notes.append(QStringLiteral("The file is UTF-16 text; it was converted."));
    } else if (view.startsWith("\xEF\xBB\xBF")) {
        if (SystemCharset::isUtf8()) {
            source.m_raw = std::move(bytes);
            source.m_raw.remove(0, 3);
        } else {
            source.m_raw = SystemCharset::fromUnicode(QString::fromUtf8(view.sliced(3)));
        }
    } else {
        source.m_raw = std::move(bytes);
    }
    // The end-of-file mark of old DOS editors and trailing NUL padding.
    while (!source.m_raw.isEmpty() && (source.m_raw.back() == '\x1A' || source.m_raw.back() == '\0'))
        source.m_raw.chop(1);
    source.m_text = source.m_raw;
    source.indexLines();
    return source;
}

void TextSource::setOrigin(FileOrigin origin)
{
    if (origin == m_origin)
        return;
    m_origin = origin;
    m_text = origin == FileOrigin::Dos ? convertToSystem(m_raw, dosCodePage().constData()) : m_raw;
    indexLines();
}

void TextSource::indexLines()
{
    m_lineStart.clear();
    const char *base = m_text.constData();
    forEachLine(QByteArrayView(m_text), [&](QByteArrayView line) { m_lineStart.push_back(line.data() - base); });
}

QByteArrayView TextSource::line(qsizetype index) const
{
    if (index < 0 || index >= lineCount())
        return {};
    const qsizetype begin = m_lineStart[size_t(index)];
    qsizetype end = index + 1 < lineCount() ? m_lineStart[size_t(index) + 1] : m_text.size();
    // A line holds no CR or LF: take off the one line end.
    if (end > begin && m_text[end - 1] == '\n')
        --end;
    if (end > begin && m_text[end - 1] == '\r')
        --end;
    // A NUL (only trailing ones are kept) ends the text.
    const QByteArrayView view(m_text.constData() + begin, end - begin);
    const qsizetype nul = view.indexOf('\0');
    return nul >= 0 ? view.first(nul) : view;
}

qsizetype TextSource::longestLineChars(qsizetype maxLines) const
{
    qsizetype longest = 0;
    const qsizetype n = maxLines < 0 ? lineCount() : std::min(maxLines, lineCount());
    for (qsizetype i = 0; i < n; ++i)
        longest = std::max(longest, characterCount(line(i)));
    return longest;
}

bool TextSource::looksQuoted(QByteArrayView delimiters, qsizetype maxLines) const
{
    const ByteSet set = byteSet(QByteArray(delimiters.toByteArray()) + ",;\t");
    qsizetype seen = 0;
    for (qsizetype i = 0; i < lineCount() && seen < maxLines; ++i) {
        const QByteArrayView l = line(i);
        if (l.isEmpty())
            continue;
        ++seen;
        if (l.front() == '"')
            return true;
        for (qsizetype j = 0; j + 1 < l.size(); ++j) {
            if (set[uchar(l[j])] && l[j + 1] == '"')
                return true;
        }
    }
    return false;
}

// ---- dBASE -------------------------------------------------------------------

namespace {

// shapelib finds a table by its base name plus ".dbf"; these hooks open the
// very file asked for, whatever its extension, and keep its error texts.
QByteArray g_dbfPath;
QByteArray g_dbfError;

SAFile openHook(const char *name, const char *access)
{
    const QByteArray requested(name);
    QByteArray path = requested;
    const QByteArray lower = requested.toLower();
    if (lower.endsWith(".dbf")) {
        path = g_dbfPath;
    } else if (lower.endsWith(".cpg")) {
        const qsizetype dot = g_dbfPath.lastIndexOf('.');
        const qsizetype slash = g_dbfPath.lastIndexOf('/');
        path = (dot > slash ? g_dbfPath.first(dot) : g_dbfPath) + requested.right(4);
    }
    return reinterpret_cast<SAFile>(std::fopen(path.constData(), access));
}

void errorHook(const char *message)
{
    g_dbfError = message;
}

quint32 le32(const uchar *p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

// The iconv name of a table's code page mark ("LDID/38", "1251", "UTF-8").
QByteArray codePageName(const char *mark)
{
    if (!mark || !*mark)
        return {};
    const QByteArray text = QByteArray(mark).trimmed().toUpper();
    if (text.startsWith("LDID/")) {
        static const std::pair<int, const char *> ldids[] = {
            {0x01, "CP437"},  {0x02, "CP850"},  {0x03, "CP1252"}, {0x08, "CP865"},  {0x09, "CP437"},
            {0x0A, "CP850"},  {0x0B, "CP437"},  {0x0D, "CP437"},  {0x0E, "CP850"},  {0x0F, "CP437"},
            {0x10, "CP850"},  {0x11, "CP437"},  {0x12, "CP850"},  {0x13, "CP932"},  {0x14, "CP850"},
            {0x15, "CP437"},  {0x16, "CP850"},  {0x17, "CP865"},  {0x18, "CP437"},  {0x19, "CP437"},
            {0x1A, "CP850"},  {0x1B, "CP437"},  {0x1C, "CP863"},  {0x1D, "CP850"},  {0x1F, "CP852"},
            {0x22, "CP852"},  {0x23, "CP852"},  {0x24, "CP860"},  {0x25, "CP850"},  {0x26, "CP866"},
            {0x37, "CP850"},  {0x40, "CP852"},  {0x4D, "CP936"},  {0x4E, "CP949"},  {0x4F, "CP950"},
            {0x50, "CP874"},  {0x57, "CP1252"}, {0x58, "CP1252"}, {0x59, "CP1252"}, {0x64, "CP852"},
            {0x65, "CP866"},  {0x66, "CP865"},  {0x67, "CP861"},  {0x6A, "CP737"},  {0x6B, "CP857"},
            {0x78, "CP950"},  {0x79, "CP949"},  {0x7A, "CP936"},  {0x7B, "CP932"},  {0x7C, "CP874"},
            {0x7D, "CP1255"}, {0x7E, "CP1256"}, {0x86, "CP737"},  {0x87, "CP852"},  {0x88, "CP857"},
            {0xC8, "CP1250"}, {0xC9, "CP1251"}, {0xCA, "CP1254"}, {0xCB, "CP1253"}, {0xCC, "CP1257"},
        };
        const int id = text.mid(5).toInt();
        for (const auto &[ldid, name] : ldids) {
            if (ldid == id)
                return name;
        }
        return {};
    }
    if (text == "UTF-8" || text == "UTF8")
        return "UTF-8";
    // "1251", "CP1251", "ANSI 1251", "OEM 866".
    QByteArray digits;
    for (char c : text) {
        if (c >= '0' && c <= '9')
            digits.append(c);
    }
    if (!digits.isEmpty())
        return "CP" + digits;
    return text;
}

} // namespace

struct DbfTable::Converter {
    IconvHandle cd;
};

DbfTable::~DbfTable()
{
    if (m_handle)
        DBFClose(static_cast<DBFHandle>(m_handle));
}

DbfTable::DbfTable(DbfTable &&other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)),
      m_codePage(std::move(other.m_codePage)),
      m_memo(std::move(other.m_memo)),
      m_converter(std::move(other.m_converter))
{
}

DbfTable &DbfTable::operator=(DbfTable &&other) noexcept
{
    if (this != &other) {
        if (m_handle)
            DBFClose(static_cast<DBFHandle>(m_handle));
        m_handle = std::exchange(other.m_handle, nullptr);
        m_codePage = std::move(other.m_codePage);
        m_memo = std::move(other.m_memo);
        m_converter = std::move(other.m_converter);
    }
    return *this;
}

std::optional<DbfTable> DbfTable::open(const QString &path, QString *error)
{
    auto failWith = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("\"%1\" is not a dBASE table: %2").arg(path, why);
        return std::nullopt;
    };
    // shapelib trusts the header; check it first, so that a file that is
    // not a table, or is cut short, is refused with a reason.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failWith(file.errorString());
    const qint64 size = file.size();
    const QByteArray head = file.read(32);
    if (head.size() < 32)
        return failWith(QStringLiteral("it is shorter than a table header"));
    const auto *h = reinterpret_cast<const uchar *>(head.constData());
    static const uchar versions[] = {0x02, 0x03, 0x04, 0x05, 0x07, 0x30, 0x31, 0x32, 0x43,
                                     0x63, 0x7B, 0x83, 0x87, 0x8B, 0x8E, 0xCB, 0xF5, 0xFB};
    if (std::find(std::begin(versions), std::end(versions), h[0]) == std::end(versions))
        return failWith(QStringLiteral("unknown version byte 0x%1").arg(h[0], 2, 16, QChar(u'0')));
    const quint32 records = le32(h + 4);
    const int headerLength = h[8] | h[9] << 8;
    const int recordLength = h[10] | h[11] << 8;
    if (h[2] < 1 || h[2] > 12 || h[3] < 1 || h[3] > 31)
        return failWith(QStringLiteral("its header holds no valid date"));
    if (headerLength < 65 || recordLength < 2 || headerLength > size)
        return failWith(QStringLiteral("its header and record lengths do not fit"));
    const QByteArray fields = file.read(headerLength - 32);
    const qsizetype terminator = fields.indexOf('\x0D');
    if (terminator < 32 || terminator % 32 != 0)
        return failWith(QStringLiteral("its field list is not closed"));
    int width = 1;
    for (qsizetype f = 0; f < terminator; f += 32) {
        const uchar type = uchar(fields[f + 11]);
        const int w = uchar(fields[f + 16]);
        if (type < 'A' || type > 'Z')
            return failWith(QStringLiteral("field %1 has an unknown type").arg(f / 32 + 1));
        width += (type == 'C') ? w | uchar(fields[f + 17]) << 8 : w;
    }
    if (width > recordLength)
        return failWith(QStringLiteral("its fields are wider than its records"));
    file.close();

    const qint64 readable = (size - headerLength) / recordLength;
    QStringList notes;
    if (qint64(records) > readable) {
        // Opening a cut table would make shapelib read past the end.
        return failWith(QStringLiteral("it is cut short: its header counts %1 records, the file holds %2")
                            .arg(records)
                            .arg(readable));
    }

    SAHooks hooks;
    SASetupDefaultHooks(&hooks);
    hooks.FOpen = openHook;
    hooks.Error = errorHook;
    g_dbfPath = QFile::encodeName(path);
    g_dbfError.clear();
    DBFHandle handle = DBFOpenLL(g_dbfPath.constData(), "rb", &hooks);
    if (!handle)
        return failWith(g_dbfError.isEmpty() ? QStringLiteral("it cannot be opened")
                                             : QString::fromLocal8Bit(g_dbfError));

    DbfTable table;
    table.m_handle = handle;
    table.m_codePage = codePageName(DBFGetCodePage(handle));
    const int n = DBFGetFieldCount(handle);
    table.m_memo.resize(size_t(std::max(n, 0)));
    for (int i = 0; i < n; ++i) {
        const char type = DBFGetNativeFieldType(handle, i);
        int w = 0, decimals = 0;
        char name[XBASE_FLDNAME_LEN_READ + 1] = {};
        DBFGetFieldInfo(handle, i, name, &w, &decimals);
        table.m_memo[size_t(i)] = type == 'M' || type == 'G' || type == 'P' || (type == 'B' && w == 10);
    }
    const bool systemMatches = table.m_codePage.isEmpty()
                               || (table.m_codePage == "UTF-8" && SystemCharset::isUtf8())
                               || table.m_codePage == SystemCharset::name();
    if (!systemMatches) {
        const QByteArray to = SystemCharset::name() + "//TRANSLIT";
        auto converter = std::make_shared<Converter>();
        converter->cd = openIconv(to.constData(), table.m_codePage.constData());
        if (converter->cd)
            table.m_converter = std::move(converter);
    }
    return table;
}

int DbfTable::recordCount() const
{
    return DBFGetRecordCount(static_cast<DBFHandle>(m_handle));
}

int DbfTable::fieldCount() const
{
    return DBFGetFieldCount(static_cast<DBFHandle>(m_handle));
}

QString DbfTable::fieldName(int field) const
{
    char name[XBASE_FLDNAME_LEN_READ + 1] = {};
    int width = 0, decimals = 0;
    DBFGetFieldInfo(static_cast<DBFHandle>(m_handle), field, name, &width, &decimals);
    return QString::fromLatin1(name);
}

bool DbfTable::isMemo(int field) const
{
    return field >= 0 && size_t(field) < m_memo.size() && m_memo[size_t(field)];
}

QStringList DbfTable::memoFieldNames() const
{
    QStringList names;
    for (int i = 0; i < fieldCount(); ++i) {
        if (isMemo(i))
            names.append(fieldName(i));
    }
    return names;
}

bool DbfTable::readable(int record) const
{
    return DBFReadTuple(static_cast<DBFHandle>(m_handle), record) != nullptr;
}

bool DbfTable::isDeleted(int record) const
{
    return DBFIsRecordDeleted(static_cast<DBFHandle>(m_handle), record) != 0;
}

QByteArray DbfTable::value(int record, int field) const
{
    auto *handle = static_cast<DBFHandle>(m_handle);
    if (isMemo(field) || record < 0 || record >= recordCount() || field < 0 || field >= fieldCount())
        return {};
    const char type = DBFGetNativeFieldType(handle, field);
    // The binary types of later table versions: read from the raw record.
    if (type == 'I' || type == 'Y' || type == 'T' || (type == 'B' && handle->panFieldSize[field] == 8)
        || type == 'O') {
        const char *tuple = DBFReadTuple(handle, record);
        if (!tuple)
            return {};
        const uchar *p = reinterpret_cast<const uchar *>(tuple) + handle->panFieldOffset[field];
        const int size = handle->panFieldSize[field];
        auto le64 = [p] {
            quint64 v = 0;
            for (int i = 7; i >= 0; --i)
                v = v << 8 | p[i];
            return v;
        };
        if (type == 'I' && size >= 4)
            return QByteArray::number(qint32(le32(p)));
        if (type == 'Y' && size >= 8)
            return QByteArray::number(double(qint64(le64())) / 10000.0, 'f', 4);
        if ((type == 'B' || type == 'O') && size >= 8) {
            double d;
            const quint64 bits = le64();
            std::memcpy(&d, &bits, sizeof d);
            return std::isfinite(d) ? QByteArray::number(d, 'g', 15) : QByteArray();
        }
        if (type == 'T' && size >= 8) {
            const qint64 julian = qint32(le32(p));
            const qint64 ms = qint32(le32(p + 4));
            if (julian <= 0)
                return {};
            const QDate date = QDate::fromJulianDay(julian);
            const QTime time = QTime::fromMSecsSinceStartOfDay(int(std::clamp<qint64>(ms, 0, 86399999)));
            return (date.toString(Qt::ISODate) + u' ' + time.toString(QStringLiteral("HH:mm:ss"))).toLatin1();
        }
        return {};
    }
    const char *text = DBFReadStringAttribute(handle, record, field);
    if (!text)
        return {};
    QByteArray bytes(text);
    if (m_converter)
        bytes = convertToSystem(bytes, m_codePage.constData());
    return bytes.trimmed();
}

bool looksLikeDbf(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix != u"db" && suffix != u"dbf")
        return false;
    return DbfTable::open(path, nullptr).has_value();
}

// ---- import ------------------------------------------------------------------

namespace {

// Writes records into a table from `firstRow` on, widening it, and puts the
// table back as it was when the import does not finish.
class TableWriter
{
public:
    TableWriter(ListTable &table, const UnstorableFields &rule) : m_table(table), m_guard(rule)
    {
        m_backup.assign(table);
        table.beginUpdate();
        m_blank = isBlankTable(table);
        m_firstRow = m_blank ? 0 : table.rowCount();
        if (m_blank) {
            for (int c = 0; c < table.columnCount(); ++c)
                table.setCellBytes(0, c, {});
        }
        m_row = m_firstRow;
    }
    ~TableWriter()
    {
        if (!m_committed)
            m_table.assign(m_backup);
        m_table.endUpdate();
    }

    // Room for `rows` more records.
    void reserve(qint64 rows)
    {
        const qint64 wanted = std::min<qint64>(qint64(m_row) + rows, std::numeric_limits<int>::max() - 1);
        if (wanted > m_table.rowCount())
            m_table.setRowCount(int(wanted));
    }

    // False, with the result's error set, when the record cannot be taken.
    bool write(std::span<const QByteArrayView> fields, qint64 sourceLine, ImportResult &result)
    {
        if (fields.size() > size_t(kMaxImportColumns)) {
            result.error = tooWideText(sourceLine, qsizetype(fields.size()));
            m_failed = true;
            return false;
        }
        if (m_row >= std::numeric_limits<int>::max() - 1) {
            result.error = QStringLiteral("a list holds at most %1 records").arg(std::numeric_limits<int>::max() - 1);
            m_failed = true;
            return false;
        }
        if (m_row >= m_table.rowCount())
            m_table.setRowCount(m_row + 1);
        if (int(fields.size()) > m_table.columnCount())
            m_table.setColumnCount(int(fields.size()));
        bool bad = false;
        for (size_t c = 0; c < fields.size(); ++c) {
            QByteArrayView field = fields[c];
            if (field.isEmpty())
                continue;
            if (m_guard.unstorable(field)) {
                bad = true;
                if (m_guard.replacing())
                    field = m_guard.fixed(field);
            }
            m_table.setCellBytes(m_row, int(c), field);
        }
        if (bad) {
            if (result.unstorableRows++ == 0)
                result.firstUnstorableLine = sourceLine;
        }
        ++m_row;
        return true;
    }

    void fail() { m_failed = true; }

    void finish(ImportResult &result, bool stopped)
    {
        result.stopped = stopped;
        if (stopped || m_failed)
            return;
        if (result.unstorableRows > 0 && !m_guard.replacing())
            return; // refused; the caller words it
        // Rows reserved but not used (quoted records spanning lines).
        m_table.setRowCount(std::max(m_row, 1));
        result.ok = true;
        result.records = m_row - m_firstRow;
        result.firstRow = m_firstRow;
        result.columns = m_table.columnCount();
        m_committed = true;
    }

private:
    ListTable &m_table;
    ListTable m_backup;
    FieldGuard m_guard;
    bool m_blank = false;
    bool m_failed = false;
    bool m_committed = false;
    int m_firstRow = 0;
    int m_row = 0;
};

void wordRefusal(ImportResult &result, const UnstorableFields &rule)
{
    if (!result.ok && !result.stopped && result.error.isEmpty() && result.unstorableRows > 0)
        result.error = unstorableText(result, rule.listDelimiter);
}

} // namespace

ImportResult importText(const TextSource &source, const ImportChoices &choices, ListTable &table,
                        const UnstorableFields &unstorable, const ImportProgress &progress)
{
    ImportResult result;
    RecordReader reader(source, choices);
    const qint64 total = source.text().size();
    {
        TableWriter writer(table, unstorable);
        writer.reserve(reader.remainingLines());
        const auto end = reader.run(
            [&](std::span<const QByteArrayView> fields, qint64 line) { return writer.write(fields, line, result); },
            progress, 0, total);
        writer.finish(result, end == RecordReader::End::Stopped);
    }
    if (reader.unclosedQuote())
        result.notes.append(QStringLiteral("A quote opened at line %1 is not closed: the rest of the file went into "
                                           "one field.")
                                .arg(reader.unclosedLine()));
    result.notes += source.notes();
    wordRefusal(result, unstorable);
    return result;
}

ImportResult importTextToFile(const TextSource &source, const ImportChoices &choices, const QString &path,
                              const UnstorableFields &unstorable, const ImportProgress &progress)
{
    ImportResult result;
    const qint64 total = source.text().size();
    FieldGuard guard(unstorable);

    // First pass: the widest record and the fields the list cannot keep.
    RecordReader scan(source, choices);
    size_t columns = 1;
    qint64 records = 0;
    auto end = scan.run(
        [&](std::span<const QByteArrayView> fields, qint64 line) {
            if (fields.size() > size_t(kMaxImportColumns)) {
                result.error = tooWideText(line, qsizetype(fields.size()));
                return false;
            }
            columns = std::max(columns, fields.size());
            for (QByteArrayView f : fields) {
                if (guard.unstorable(f)) {
                    if (result.unstorableRows++ == 0)
                        result.firstUnstorableLine = line;
                    break;
                }
            }
            ++records;
            return true;
        },
        progress, 0, 2 * total);
    if (end == RecordReader::End::Stopped) {
        result.stopped = true;
        return result;
    }
    if (end == RecordReader::End::Refused)
        return result;
    if (result.unstorableRows > 0 && !guard.replacing()) {
        wordRefusal(result, unstorable);
        return result;
    }

    // Second pass: the list file's lines, every record `columns` fields wide.
    RecordReader reader(source, choices);
    bool stopped = false;
    QString error;
    const bool written = writeFileAtomicallyStreamed(
        path,
        [&](QIODevice &out) {
            QByteArray buffer;
            constexpr qsizetype kFlush = 1 << 20;
            buffer.reserve(kFlush + 4096);
            bool ok = true;
            const auto e = reader.run(
                [&](std::span<const QByteArrayView> fields, qint64) {
                    for (size_t c = 0; c < columns; ++c) {
                        if (c > 0)
                            buffer.append(unstorable.listDelimiter);
                        if (c < fields.size()) {
                            QByteArrayView f = fields[c];
                            if (guard.unstorable(f))
                                f = guard.fixed(f);
                            buffer.append(f);
                        }
                    }
                    buffer.append("\r\n", 2);
                    if (buffer.size() >= kFlush) {
                        ok = out.write(buffer) == buffer.size();
                        buffer.clear();
                    }
                    return ok;
                },
                progress, total, 2 * total);
            if (e == RecordReader::End::Stopped) {
                stopped = true;
                return false;
            }
            if (records == 0)
                buffer.append("\r\n", 2); // a list without records is one empty line
            return ok && out.write(buffer) == buffer.size();
        },
        &error);
    if (stopped) {
        result.stopped = true;
        return result;
    }
    if (!written) {
        result.error = QStringLiteral("cannot write \"%1\": %2").arg(path, error);
        return result;
    }
    result.ok = true;
    result.records = records;
    result.columns = int(columns);
    if (scan.unclosedQuote())
        result.notes.append(QStringLiteral("A quote opened at line %1 is not closed: the rest of the file went into "
                                           "one field.")
                                .arg(scan.unclosedLine()));
    result.notes += source.notes();
    return result;
}

ImportResult importDbf(const DbfTable &dbf, int startRow, ListTable &table, const UnstorableFields &unstorable,
                       const ImportProgress &progress)
{
    ImportResult result;
    const int count = dbf.recordCount();
    const int fields = dbf.fieldCount();
    const int first = std::clamp(startRow - 1, 0, count);
    int deleted = 0;
    bool stopped = false;
    bool failed = false;
    {
        TableWriter writer(table, unstorable);
        writer.reserve(count - first);
        std::vector<QByteArray> values(size_t(std::max(fields, 0)));
        std::vector<QByteArrayView> views(values.size());
        for (int r = first; r < count; ++r) {
            if (!dbf.readable(r)) {
                result.error = QStringLiteral("record %1 of the table cannot be read (the file was changed or cut "
                                              "short while it was imported)")
                                   .arg(r + 1);
                failed = true;
                break;
            }
            if (dbf.isDeleted(r)) {
                ++deleted;
                continue;
            }
            for (int f = 0; f < fields; ++f) {
                values[size_t(f)] = dbf.value(r, f);
                views[size_t(f)] = values[size_t(f)];
            }
            if (!writer.write(views, qint64(r) + 1, result))
                break;
            if (progress && (r - first) % 256 == 0 && !progress(r - first, count - first)) {
                stopped = true;
                break;
            }
        }
        if (failed)
            writer.fail();
        writer.finish(result, stopped);
    }
    const QStringList memo = dbf.memoFieldNames();
    if (!memo.isEmpty())
        result.notes.append(QStringLiteral("The memo fields %1 keep their text in a separate file, which is not "
                                           "read; their columns stay empty.")
                                .arg(memo.join(QStringLiteral(", "))));
    if (deleted > 0)
        result.notes.append(QStringLiteral("%1 records marked as deleted were left out.").arg(deleted));
    wordRefusal(result, unstorable);
    return result;
}

} // namespace varnholt
