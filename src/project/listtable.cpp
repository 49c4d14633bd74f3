#include "listtable.h"

#include "settings/fields.h"
#include "settings/syscharset.h"
#include "settings/textfile.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace varnholt {

namespace {

constexpr quint64 kMaxOffset = (quint64(1) << 40) - 1;
constexpr qsizetype kEditChunkSize = 1 << 20;
// Freed bytes are reclaimed once they exceed both this and the live bytes.
constexpr quint64 kCompactThreshold = quint64(64) << 20;
constexpr qsizetype kProgressEveryLines = 1 << 14;
// Row starts are 32-bit, so the references of all rows, gap included, stay
// below this many (32 GB of references).
constexpr size_t kMaxRefs = std::numeric_limits<quint32>::max();
// The smallest gap a widened reference vector gets.
constexpr size_t kMinGap = 4096;

[[nodiscard]] QByteArray encodeDelimiter(QChar delimiter)
{
    return SystemCharset::fromUnicode(QStringView(&delimiter, 1));
}

// The split rule for a delimiter that takes more than one byte in the
// system charset (a non-ASCII character in UTF-8): the same as
// splitFieldsBytes, searching for the byte sequence.
template <typename Fn>
qsizetype splitFieldsSequence(QByteArrayView separator, QByteArrayView text, Fn &&field)
{
    qsizetype count = 0;
    qsizetype pos = 0;
    while (pos < text.size()) {
        const qsizetype sep = text.indexOf(separator, pos);
        const qsizetype stop = sep < 0 ? text.size() : sep;
        field(trimBlanks(text.sliced(pos, stop - pos)));
        ++count;
        pos = sep < 0 ? text.size() : sep + separator.size();
    }
    return count;
}

template <typename Fn>
qsizetype splitLine(QByteArrayView separator, QByteArrayView line, Fn &&field)
{
    if (separator.size() == 1)
        return splitFieldsBytes(separator[0], line, field);
    if (separator.isEmpty()) {
        if (line.isEmpty())
            return 0;
        field(trimBlanks(line));
        return 1;
    }
    return splitFieldsSequence(separator, line, field);
}

// Sizes the gathering vectors from a sample at the start of the file, so
// that a big list is not copied again and again while they grow. Memory
// reserved but never touched costs no resident memory; the cap keeps a
// misleading sample from reserving absurd amounts.
void reserveForLoad(QByteArrayView data, QByteArrayView separator, std::vector<quint64> &refs,
                    std::vector<quint32> &rowStarts)
{
    constexpr qsizetype kSample = 256 * 1024;
    const QByteArrayView sample = data.first(std::min(data.size(), kSample));
    qsizetype lines = 0;
    qsizetype fields = 0;
    forEachLine(sample, [&](QByteArrayView line) {
        ++lines;
        fields += splitLine(separator, line, [](QByteArrayView) {});
    });
    if (lines == 0)
        return;
    const double scale = double(data.size()) / double(sample.size()) * 1.05;
    const double cap = double(data.size()) / 4;
    refs.reserve(size_t(std::min({double(fields) * scale, cap, double(kMaxRefs)})) + 16);
    rowStarts.reserve(size_t(std::min(double(lines) * scale, cap)) + 16);
}

QString nulWarning(qint64 offset)
{
    return QStringLiteral("the list file holds a NUL byte at offset %1; only the text before it was read").arg(offset);
}

// The index of the first surrogate that is not half of a pair, or -1.
qsizetype firstUnpairedSurrogate(QStringView text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            return i;
    }
    return -1;
}

// Code units as they are, pairs or not: the caller checks them.
QString decodeUtf16(QByteArrayView bytes, bool littleEndian)
{
    const auto *p = reinterpret_cast<const uchar *>(bytes.data());
    QString text(bytes.size() / 2, Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(text.data());
    const int low = littleEndian ? 0 : 1;
    for (qsizetype i = 0; i < text.size(); ++i)
        out[i] = char16_t(p[2 * i + low] | (p[2 * i + 1 - low] << 8));
    return text;
}

// A list file as the table stores it: bytes in the system charset.
struct DecodedList {
    QByteArray bytes;
    qsizetype textStart = 0; // the lines begin here (after a mark kept in `bytes`)
    ListTable::FileEncoding encoding = ListTable::FileEncoding::System;
    bool converted = false;  // `bytes` are not the file's own
    QStringList problems;    // what was not read, for the user
};

// A file without a byte-order mark is the system charset's and stays as it
// is. A UTF-16 file is decoded and converted; so is a UTF-8 file with its
// mark when the system charset is another one.
DecodedList decodeListFile(QByteArray data)
{
    using Encoding = ListTable::FileEncoding;
    DecodedList out;
    const QByteArrayView view(data);
    qsizetype markSize = 0;
    if (view.startsWith("\xFF\xFE")) {
        out.encoding = Encoding::Utf16LE;
        markSize = 2;
    } else if (view.startsWith("\xFE\xFF")) {
        out.encoding = Encoding::Utf16BE;
        markSize = 2;
    } else if (view.startsWith("\xEF\xBB\xBF")) {
        out.encoding = Encoding::Utf8Bom;
        markSize = 3;
    }

    if (out.encoding == Encoding::System || (out.encoding == Encoding::Utf8Bom && SystemCharset::isUtf8())) {
        // The loader finds a NUL byte itself, where the lines end.
        out.textStart = markSize;
        out.bytes = std::move(data);
        return out;
    }
    out.converted = true;

    // The mark was taken off; a second one inside the text is content.
    const QByteArrayView body = view.sliced(markSize);
    QString text;
    if (out.encoding == Encoding::Utf8Bom) {
        QStringDecoder decoder(QStringDecoder::Utf8,
                               QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
        text = decoder.decode(body);
        if (decoder.hasError())
            out.problems.append(QStringLiteral("the list file is marked as UTF-8 but holds bytes that are not UTF-8 "
                                               "text; they were replaced"));
        if (const qsizetype nul = body.indexOf('\0'); nul >= 0)
            out.problems.append(nulWarning(markSize + nul));
    } else {
        text = decodeUtf16(body.first(body.size() & ~qsizetype(1)), out.encoding == Encoding::Utf16LE);
        if (body.size() % 2 != 0)
            out.problems.append(QStringLiteral("the UTF-16 list file ends in half a character (byte %1); it was "
                                               "not read")
                                    .arg(view.size() - 1));
        const qsizetype bad = firstUnpairedSurrogate(text);
        if (bad >= 0) {
            out.problems.append(QStringLiteral("the UTF-16 list file does not decode: a broken surrogate pair at "
                                               "offset %1; such characters were replaced")
                                    .arg(markSize + 2 * bad));
            for (qsizetype i = bad; i < text.size(); ++i) {
                if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
                    ++i;
                else if (text[i].isSurrogate())
                    text[i] = QChar::ReplacementCharacter;
            }
        }
        const qsizetype nul = text.indexOf(QChar(u'\0'));
        if (nul >= 0)
            out.problems.append(nulWarning(markSize + 2 * nul));
    }
    out.bytes = SystemCharset::fromUnicode(text);
    if (!SystemCharset::isUtf8() && SystemCharset::toUnicode(out.bytes) != text)
        out.problems.append(QStringLiteral("the list file holds characters the system charset %1 cannot hold; they "
                                           "were replaced")
                                .arg(QString::fromLatin1(SystemCharset::name())));
    return out;
}

} // namespace

ListTable::ListTable(QObject *parent)
    : QAbstractTableModel(parent)
{
    resetStorage();
}

ListTable::~ListTable() = default;

QString ListTable::columnTitle(int column)
{
    return QStringLiteral("Column#%1").arg(column + 1);
}

QStringList ListTable::titles() const
{
    QStringList list;
    list.reserve(m_columns);
    for (int c = 0; c < m_columns; ++c)
        list.append(columnTitle(c));
    return list;
}

// ---- storage ---------------------------------------------------------------

void ListTable::resetStorage()
{
    m_chunks.clear();
    m_longCells.clear();
    m_refs.clear();
    m_rowStart.assign(1, 0);
    m_rows = 1;
    m_columns = 1;
    m_gapRow = 1;
    m_gapBegin = 0;
    m_encoding = FileEncoding::System;
    m_arenaEnd = 0;
    m_wasted = 0;
}

QByteArrayView ListTable::bytesOfSlow(quint64 ref) const
{
    quint64 length = ref & kLengthMask;
    quint64 offset = ref >> kLengthBits;
    if (length == kLongCell) {
        const LongCell &lc = m_longCells[size_t(offset)];
        offset = lc.offset;
        length = lc.length;
    }
    const Chunk *chunk = &m_chunks.front();
    if (m_chunks.size() > 1) {
        auto it = std::upper_bound(m_chunks.begin(), m_chunks.end(), offset,
                                   [](quint64 off, const Chunk &c) { return off < c.base; });
        chunk = &*(it - 1);
    }
    return QByteArrayView(chunk->bytes.constData() + (offset - chunk->base), qsizetype(length));
}

quint64 ListTable::makeLongRef(quint64 offset, quint64 length)
{
    m_longCells.push_back({offset, length});
    return (quint64(m_longCells.size() - 1) << kLengthBits) | kLongCell;
}

quint64 ListTable::appendBytes(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return 0;
    if (m_chunks.empty() || m_chunks.back().used + bytes.size() > m_chunks.back().bytes.size()) {
        Chunk chunk;
        chunk.bytes = QByteArray(std::max(kEditChunkSize, bytes.size()), Qt::Uninitialized);
        chunk.base = m_arenaEnd;
        m_arenaEnd += quint64(chunk.bytes.size());
        Q_ASSERT(m_arenaEnd <= kMaxOffset);
        m_chunks.push_back(std::move(chunk));
    }
    Chunk &tail = m_chunks.back();
    std::memcpy(tail.bytes.data() + tail.used, bytes.data(), size_t(bytes.size()));
    const quint64 offset = tail.base + quint64(tail.used);
    tail.used += bytes.size();
    return makeRef(offset, quint64(bytes.size()));
}

void ListTable::storeCell(int row, int column, QByteArrayView bytes)
{
    quint64 &r = m_refs[rowBegin(row) + size_t(column)];
    m_wasted += quint64(bytesOf(r).size());
    r = appendBytes(bytes);
    compactIfWasteful();
}

void ListTable::compactIfWasteful()
{
    const quint64 live = m_arenaEnd - std::min(m_wasted, m_arenaEnd);
    if (m_wasted > kCompactThreshold && m_wasted > live)
        compact();
}

// Copies the live cells into one new chunk, dropping the freed bytes (and
// the loaded file's delimiters and line ends).
void ListTable::compact()
{
    quint64 live = 0;
    for (int row = 0; row < m_rows; ++row) {
        for (size_t i = rowBegin(row), end = rowEnd(row); i < end; ++i)
            live += quint64(bytesOf(m_refs[i]).size());
    }
    QByteArray arena(qsizetype(live), Qt::Uninitialized);
    // The old chunks and long cells stay in place until every cell is
    // copied: bytesOf() reads through them.
    std::vector<LongCell> newLong;
    char *out = arena.data();
    quint64 pos = 0;
    for (int row = 0; row < m_rows; ++row) {
        for (size_t i = rowBegin(row), end = rowEnd(row); i < end; ++i) {
            quint64 &r = m_refs[i];
            const QByteArrayView b = bytesOf(r);
            if (b.isEmpty())
                continue;
            std::memcpy(out + pos, b.data(), size_t(b.size()));
            if (quint64(b.size()) < kLongCell) {
                r = (pos << kLengthBits) | quint64(b.size());
            } else {
                newLong.push_back({pos, quint64(b.size())});
                r = (quint64(newLong.size() - 1) << kLengthBits) | kLongCell;
            }
            pos += quint64(b.size());
        }
    }
    m_longCells = std::move(newLong);
    m_chunks.clear();
    m_chunks.push_back({arena, 0, arena.size()});
    m_arenaEnd = live;
    m_wasted = 0;
}

// Moves the gap so that rows 0 .. row-1 lie before it. The rows it passes
// move by the gap's length and their starts change between the two forms.
void ListTable::moveGapTo(int row)
{
    if (row == m_gapRow)
        return;
    const size_t size = m_refs.size();
    const size_t gapLength = gapEnd() - m_gapBegin;
    if (row > m_gapRow) {
        const size_t from = gapEnd();
        const size_t to = row < m_rows ? rowBegin(row) : size;
        for (int r = m_gapRow; r < row; ++r)
            m_rowStart[size_t(r)] = quint32(size - m_rowStart[size_t(r)] - gapLength);
        if (to > from)
            std::memmove(m_refs.data() + m_gapBegin, m_refs.data() + from, (to - from) * sizeof(quint64));
        m_gapBegin += to - from;
    } else {
        const size_t from = m_rowStart[size_t(row)];
        for (int r = row; r < m_gapRow; ++r)
            m_rowStart[size_t(r)] = quint32(size - (m_rowStart[size_t(r)] + gapLength));
        if (m_gapBegin > from)
            std::memmove(m_refs.data() + from + gapLength, m_refs.data() + from, (m_gapBegin - from) * sizeof(quint64));
        m_gapBegin = from;
    }
    m_gapRow = row;
}

// Makes the gap at least `needed` references long, with room to spare so
// that rows growing one after the other copy the vector only now and then.
bool ListTable::widenGap(size_t needed)
{
    const size_t size = m_refs.size();
    const size_t end = gapEnd();
    const size_t live = size - (end - m_gapBegin);
    size_t gap = std::max({needed, live / 2, kMinGap});
    if (live + gap > kMaxRefs)
        gap = needed;
    if (live + gap > kMaxRefs)
        return false;
    std::vector<quint64> refs;
    refs.reserve(live + gap);
    refs.insert(refs.end(), m_refs.begin(), m_refs.begin() + ptrdiff_t(m_gapBegin));
    refs.resize(m_gapBegin + gap);
    refs.insert(refs.end(), m_refs.begin() + ptrdiff_t(end), m_refs.end());
    m_refs = std::move(refs); // the starts of both forms stay valid
    return true;
}

// Gives the row `cells` references, the new ones empty.
bool ListTable::growRow(int row, size_t cells)
{
    moveGapTo(row + 1);
    const size_t more = cells - (m_gapBegin - m_rowStart[size_t(row)]);
    if (gapEnd() - m_gapBegin < more && !widenGap(more))
        return false;
    std::fill_n(m_refs.begin() + ptrdiff_t(m_gapBegin), more, 0);
    m_gapBegin += more;
    return true;
}

void ListTable::closeGap()
{
    moveGapTo(m_rows);
    m_refs.resize(m_gapBegin);
}

qint64 ListTable::memoryBytes() const
{
    qint64 bytes = 0;
    for (const Chunk &chunk : m_chunks)
        bytes += chunk.bytes.capacity();
    bytes += qint64(m_chunks.capacity() * sizeof(Chunk));
    bytes += qint64(m_longCells.capacity() * sizeof(LongCell));
    bytes += qint64(m_refs.capacity() * sizeof(quint64));
    bytes += qint64(m_rowStart.capacity() * sizeof(quint32));
    return bytes;
}

int ListTable::storedCellCount(int row) const
{
    return row >= 0 && row < m_rows ? int(rowEnd(row) - rowBegin(row)) : 0;
}

// ---- model -------------------------------------------------------------------

int ListTable::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int ListTable::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_columns;
}

QVariant ListTable::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole))
        return {};
    return cell(index.row(), index.column());
}

bool ListTable::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || role != Qt::EditRole || index.row() >= m_rows || index.column() >= m_columns)
        return false;
    setCell(index.row(), index.column(), value.toString());
    return true;
}

QVariant ListTable::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Horizontal)
        return columnTitle(section);
    return section + 1;
}

Qt::ItemFlags ListTable::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable;
}

void ListTable::beginUpdate()
{
    if (m_updateDepth++ == 0)
        beginResetModel();
}

void ListTable::endUpdate()
{
    Q_ASSERT(m_updateDepth > 0);
    if (--m_updateDepth == 0)
        endResetModel();
}

void ListTable::cellChanged(int row, int column)
{
    if (m_updateDepth == 0) {
        const QModelIndex i = index(row, column);
        Q_EMIT dataChanged(i, i, {Qt::DisplayRole, Qt::EditRole});
    }
}

// New rows store no cells: they cost one row start each.
bool ListTable::insertRows(int row, int count, const QModelIndex &parent)
{
    if (parent.isValid() || row < 0 || row > m_rows || count < 0
        || count > std::numeric_limits<int>::max() - m_rows)
        return false;
    if (count == 0)
        return true;
    if (m_updateDepth == 0)
        beginInsertRows({}, row, row + count - 1);
    const auto at = m_rowStart.begin() + ptrdiff_t(row);
    if (row <= m_gapRow) {
        const size_t start = row < m_gapRow ? m_rowStart[size_t(row)] : m_gapBegin;
        m_rowStart.insert(at, size_t(count), quint32(start));
        m_gapRow += count;
    } else {
        m_rowStart.insert(at, size_t(count), row < m_rows ? m_rowStart[size_t(row)] : 0);
    }
    m_rows += count;
    if (m_updateDepth == 0)
        endInsertRows();
    return true;
}

bool ListTable::removeRows(int row, int count, const QModelIndex &parent)
{
    if (parent.isValid() || row < 0 || count < 0 || row + qint64(count) > m_rows)
        return false;
    if (count == 0)
        return true;
    if (m_updateDepth == 0)
        beginRemoveRows({}, row, row + count - 1);
    // With the gap right after them, the rows' references join the gap.
    moveGapTo(row + count);
    const size_t begin = m_rowStart[size_t(row)];
    for (size_t i = begin; i < m_gapBegin; ++i)
        m_wasted += quint64(bytesOf(m_refs[i]).size());
    m_gapBegin = begin;
    m_rowStart.erase(m_rowStart.begin() + ptrdiff_t(row), m_rowStart.begin() + ptrdiff_t(row + count));
    m_gapRow = row;
    m_rows -= count;
    const size_t gap = gapEnd() - m_gapBegin;
    if (gap > kMinGap && gap > m_refs.size() - gap) {
        closeGap();
        m_refs.shrink_to_fit();
    }
    if (m_updateDepth == 0)
        endRemoveRows();
    if (m_rows == 0) // there is always one record row, blank when nothing is left
        insertRows(0, 1);
    compactIfWasteful();
    return true;
}

void ListTable::removeRowSet(std::span<const int> sortedRows)
{
    Q_ASSERT(std::is_sorted(sortedRows.begin(), sortedRows.end()));
    if (sortedRows.empty())
        return;
    beginUpdate();
    // One pass that moves the kept rows' references forward over the
    // removed ones and the gap; a row is read before its start is rewritten.
    size_t next = 0; // position in sortedRows
    size_t out = 0;
    int write = 0;
    for (int row = 0; row < m_rows; ++row) {
        while (next < sortedRows.size() && sortedRows[next] < row)
            ++next;
        const size_t begin = rowBegin(row);
        const size_t end = rowEnd(row);
        if (next < sortedRows.size() && sortedRows[next] == row) {
            for (size_t i = begin; i < end; ++i)
                m_wasted += quint64(bytesOf(m_refs[i]).size());
            continue;
        }
        if (out != begin && end > begin)
            std::memmove(m_refs.data() + out, m_refs.data() + begin, (end - begin) * sizeof(quint64));
        m_rowStart[size_t(write++)] = quint32(out);
        out += end - begin;
    }
    m_refs.resize(out);
    m_rows = std::max(write, 1);
    m_rowStart.resize(size_t(m_rows));
    if (write == 0)
        m_rowStart[0] = 0;
    m_gapRow = m_rows;
    m_gapBegin = out;
    compactIfWasteful();
    endUpdate();
}

// Inserts `inserted` empty cells at column `at` of every row that has
// cells from there on, or removes `removed` cells from column `at` on.
// Rows that end before `at` stay as they are.
void ListTable::relayout(int at, int inserted, int removed)
{
    size_t total = 0;
    bool touched = false;
    for (int row = 0; row < m_rows; ++row) {
        const size_t length = rowEnd(row) - rowBegin(row);
        total += length;
        if (length > size_t(at)) {
            touched = true;
            total += size_t(inserted);
            total -= std::min(length - size_t(at), size_t(removed));
        }
    }
    if (!touched)
        return;
    std::vector<quint64> refs;
    refs.reserve(total);
    std::vector<quint32> starts(static_cast<size_t>(m_rows));
    for (int row = 0; row < m_rows; ++row) {
        const size_t length = rowEnd(row) - rowBegin(row);
        starts[size_t(row)] = quint32(refs.size());
        if (length == 0)
            continue;
        const quint64 *src = m_refs.data() + rowBegin(row);
        if (length <= size_t(at)) {
            refs.insert(refs.end(), src, src + length);
            continue;
        }
        refs.insert(refs.end(), src, src + at);
        refs.insert(refs.end(), size_t(inserted), 0);
        const size_t cut = std::min(length, size_t(at) + size_t(removed));
        for (size_t c = size_t(at); c < cut; ++c)
            m_wasted += quint64(bytesOf(src[c]).size());
        refs.insert(refs.end(), src + cut, src + length);
    }
    m_refs = std::move(refs);
    m_rowStart = std::move(starts);
    m_gapRow = m_rows;
    m_gapBegin = m_refs.size();
}

bool ListTable::insertColumns(int column, int count, const QModelIndex &parent)
{
    if (parent.isValid() || column < 0 || column > m_columns || count < 0
        || count > std::numeric_limits<int>::max() - m_columns)
        return false;
    if (count == 0)
        return true;
    size_t after = m_refs.size() - (gapEnd() - m_gapBegin);
    for (int row = 0; row < m_rows; ++row) {
        if (rowEnd(row) - rowBegin(row) > size_t(column))
            after += size_t(count);
    }
    if (after > kMaxRefs)
        return false;
    if (m_updateDepth == 0)
        beginInsertColumns({}, column, column + count - 1);
    relayout(column, count, 0);
    m_columns += count;
    if (m_updateDepth == 0)
        endInsertColumns();
    return true;
}

bool ListTable::removeColumns(int column, int count, const QModelIndex &parent)
{
    // The table keeps at least one column.
    if (parent.isValid() || column < 0 || count < 0 || column + qint64(count) > m_columns || count >= m_columns)
        return false;
    if (count == 0)
        return true;
    if (m_updateDepth == 0)
        beginRemoveColumns({}, column, column + count - 1);
    relayout(column, 0, count);
    m_columns -= count;
    if (m_updateDepth == 0)
        endRemoveColumns();
    compactIfWasteful();
    return true;
}

void ListTable::setRowCount(int rows)
{
    rows = std::max(rows, 1);
    if (rows > m_rows)
        insertRows(m_rows, rows - m_rows);
    else if (rows < m_rows)
        removeRows(rows, m_rows - rows);
}

void ListTable::setColumnCount(int columns)
{
    columns = std::max(columns, 1);
    if (columns > m_columns)
        insertColumns(m_columns, columns - m_columns);
    else if (columns < m_columns)
        removeColumns(columns, m_columns - columns);
}

void ListTable::clear()
{
    beginUpdate();
    resetStorage();
    endUpdate();
}

void ListTable::assign(const ListTable &other)
{
    if (&other == this)
        return;
    beginUpdate();
    m_chunks = other.m_chunks;
    m_longCells = other.m_longCells;
    m_refs = other.m_refs;
    m_rowStart = other.m_rowStart;
    m_rows = other.m_rows;
    m_columns = other.m_columns;
    m_gapRow = other.m_gapRow;
    m_gapBegin = other.m_gapBegin;
    m_encoding = other.m_encoding;
    m_arenaEnd = other.m_arenaEnd;
    m_wasted = other.m_wasted;
    endUpdate();
}

// ---- cells -------------------------------------------------------------------

QByteArrayView ListTable::cellBytes(int row, int column) const
{
    if (row < 0 || row >= m_rows || column < 0 || column >= m_columns)
        return {};
    const size_t begin = rowBegin(row);
    if (size_t(column) >= rowEnd(row) - begin)
        return {};
    return bytesOf(m_refs[begin + size_t(column)]);
}

QString ListTable::cell(int row, int column) const
{
    return SystemCharset::toUnicode(cellBytes(row, column));
}

void ListTable::setCellBytes(int row, int column, QByteArrayView bytes)
{
    if (row < 0 || row >= m_rows || column < 0 || column >= m_columns)
        return;
    if (cellBytes(row, column) == bytes)
        return;
    // An empty cell beyond the row's cells already reads as empty, so only
    // a value makes the row grow.
    if (size_t(column) >= rowEnd(row) - rowBegin(row) && !growRow(row, size_t(column) + 1))
        return;
    // `bytes` may point into this table; appendBytes() never moves stored bytes.
    storeCell(row, column, bytes);
    cellChanged(row, column);
}

void ListTable::setCell(int row, int column, const QString &text)
{
    setCellBytes(row, column, SystemCharset::fromUnicode(text));
}

void ListTable::normaliseAddresses(int column)
{
    if (column < 0 || column >= m_columns)
        return;
    int firstChanged = -1;
    int lastChanged = -1;
    for (int row = 0; row < m_rows; ++row) {
        const QByteArrayView current = cellBytes(row, column);
        if (!current.contains('@'))
            continue;
        const QByteArray clean = NormaliseAddress(current);
        if (clean == current)
            continue;
        storeCell(row, column, clean);
        if (firstChanged < 0)
            firstChanged = row;
        lastChanged = row;
    }
    if (firstChanged >= 0 && m_updateDepth == 0)
        Q_EMIT dataChanged(index(firstChanged, column), index(lastChanged, column), {Qt::DisplayRole, Qt::EditRole});
}

// ---- files -------------------------------------------------------------------

ListTable::LoadResult ListTable::load(const QString &fileName, QChar delimiter, const LoadProgress &progress)
{
    LoadResult result;
    beginUpdate();
    resetStorage();
    std::optional<QByteArray> file = readFileBytes(fileName);
    if (!file) {
        endUpdate();
        return result;
    }
    result.fileRead = true;

    DecodedList decoded = decodeListFile(std::move(*file));
    QStringList problems = std::move(decoded.problems);
    m_encoding = decoded.encoding;

    // The cells refer straight into the file's bytes, which become the
    // table's first chunk; each row's references follow the previous row's.
    const QByteArray data = std::move(decoded.bytes);
    const char *base = data.constData();
    const QByteArrayView text = QByteArrayView(data).sliced(decoded.textStart);
    const QByteArray separator = encodeDelimiter(delimiter);
    std::vector<quint64> refs;
    std::vector<quint32> rowStarts;
    qsizetype maxFields = 0;
    reserveForLoad(text, separator, refs, rowStarts);

    const char *linesEnd = text.data(); // after the last line read
    bool stopped = false;
    forEachLine(text, [&](QByteArrayView line) {
        if (progress && result.lines % kProgressEveryLines == 0
            && !progress(line.data() - base, data.size())) {
            result.complete = false;
            stopped = true;
            problems.append(QStringLiteral("loading was stopped at line %1; the rest of the file was not read")
                                .arg(result.lines + 1));
            return false;
        }
        ++result.lines;
        linesEnd = line.data() + line.size();
        const size_t start = refs.size();
        const qsizetype n = splitLine(separator, line, [&](QByteArrayView field) {
            refs.push_back(makeRef(quint64(field.data() - base), quint64(field.size())));
        });
        if (n == 0)
            return true;
        // The model counts rows and columns in int; row starts are 32-bit.
        if (rowStarts.size() >= size_t(std::numeric_limits<int>::max()) || n >= std::numeric_limits<int>::max()
            || refs.size() > kMaxRefs) {
            refs.resize(start);
            result.complete = false;
            stopped = true;
            problems.append(QStringLiteral("the list is larger than the table can hold; it was read up to line %1")
                                .arg(result.lines - 1));
            return false;
        }
        rowStarts.push_back(quint32(start));
        maxFields = std::max(maxFields, n);
        return true;
    });
    // The lines end at a NUL byte, which is then at most a line end away.
    const char *textEnd = text.data() + text.size();
    if (!stopped && !decoded.converted && linesEnd < textEnd) {
        if (const void *nul = std::memchr(linesEnd, 0, size_t(textEnd - linesEnd)))
            problems.append(nulWarning(static_cast<const char *>(nul) - base));
    }

    if (!rowStarts.empty()) {
        m_refs = std::move(refs);
        m_rowStart = std::move(rowStarts);
        m_rows = int(m_rowStart.size());
        m_columns = int(maxFields);
        m_gapRow = m_rows;
        m_gapBegin = m_refs.size();
        m_chunks.push_back({data, 0, data.size()});
        m_arenaEnd = quint64(data.size());
    }
    result.warning = problems.join(QStringLiteral("; "));
    endUpdate();
    return result;
}

bool ListTable::writeLines(QChar delimiter, const std::function<bool(QByteArrayView)> &sink) const
{
    const QByteArray separator = encodeDelimiter(delimiter);
    const qsizetype sepSize = separator.size();
    const std::string multiByteSeparator = separator.toStdString();
    constexpr qsizetype kPiece = 1 << 20;
    QByteArray buffer(kPiece, Qt::Uninitialized);
    char *const buf = buffer.data();
    qsizetype used = 0;
    auto flush = [&] {
        const bool ok = used == 0 || sink(QByteArrayView(buf, used));
        used = 0;
        return ok;
    };
    // For rows larger than the buffer: appends whole, a piece larger than
    // the buffer going out on its own.
    auto put = [&](QByteArrayView bytes) {
        if (used + bytes.size() > kPiece) {
            if (!flush())
                return false;
            if (bytes.size() > kPiece)
                return sink(bytes);
        }
        if (!bytes.isEmpty())
            std::memcpy(buf + used, bytes.data(), size_t(bytes.size()));
        used += bytes.size();
        return true;
    };
    // Rows that stand in the loaded file exactly as they are written (the
    // usual case after a load, a filter or a removal of duplicates) go out
    // straight from the file's bytes, many lines in one piece, without
    // being copied together again. A row qualifies when it has every
    // column, its non-empty cells lie in the first chunk, one delimiter
    // stands between them and CR LF after the last; the bytes are checked,
    // so a cell that was edited, trimmed or moved simply does not qualify.
    const char *fileBegin = nullptr;
    const char *fileEnd = nullptr;
    if (sepSize == 1 && !m_chunks.empty()) {
        fileBegin = m_chunks.front().bytes.constData();
        fileEnd = fileBegin + m_chunks.front().used;
    }
    const char sep = sepSize == 1 ? separator[0] : '\0';
    constexpr qsizetype kMaxRun = 4 << 20;
    const char *runBegin = nullptr;
    const char *runEnd = nullptr;
    auto flushRun = [&] {
        const bool ok = runBegin == runEnd || sink(QByteArrayView(runBegin, runEnd - runBegin));
        runBegin = runEnd = nullptr;
        return ok;
    };
    // Where the row's line lies in the file, or null.
    auto verbatimLine = [&](const quint64 *refs, size_t cells, const char **lineEnd) -> const char * {
        if (!fileBegin || cells != size_t(m_columns))
            return nullptr;
        size_t first = 0;
        while (first < cells && (refs[first] & kLengthMask) == 0)
            ++first;
        if (first == cells)
            return nullptr;
        const QByteArrayView firstBytes = bytesOf(refs[first]);
        // Each empty cell before it stands for one delimiter.
        if (firstBytes.data() < fileBegin || firstBytes.data() >= fileEnd
            || size_t(firstBytes.data() - fileBegin) < first)
            return nullptr;
        const char *start = firstBytes.data() - first;
        for (const char *q = start; q < firstBytes.data(); ++q) {
            if (*q != sep)
                return nullptr;
        }
        const char *p = firstBytes.data() + firstBytes.size();
        for (size_t c = first + 1; c < cells; ++c) {
            if (p >= fileEnd || *p != sep)
                return nullptr;
            ++p;
            const QByteArrayView b = bytesOf(refs[c]);
            if (!b.isEmpty()) {
                if (b.data() != p)
                    return nullptr;
                p += b.size();
            }
        }
        if (fileEnd - p < 2 || p[0] != '\r' || p[1] != '\n')
            return nullptr;
        *lineEnd = p + 2;
        return start;
    };

    // Every line has the table's column count of fields; a row's cells
    // beyond its own are empty fields.
    const size_t cols = size_t(m_columns);
    for (int row = 0; row < m_rows; ++row) {
        const size_t begin = rowBegin(row);
        const size_t cells = rowEnd(row) - begin;
        const quint64 *rowRefs = cells > 0 ? m_refs.data() + begin : nullptr;
        const char *lineEnd = nullptr;
        if (const char *line = rowRefs ? verbatimLine(rowRefs, cells, &lineEnd) : nullptr) {
            if (line != runEnd || runEnd - runBegin >= kMaxRun) {
                // The lines gathered so far go out first.
                if (!flushRun() || !flush())
                    return false;
                runBegin = line;
            }
            runEnd = lineEnd;
            continue;
        }
        if (!flushRun())
            return false;
        const size_t trailing = cols - std::max<size_t>(cells, 1);
        qsizetype rowSize = sepSize * qsizetype(cols - 1) + 2;
        for (size_t c = 0; c < cells; ++c)
            rowSize += bytesOf(rowRefs[c]).size();
        if (used + rowSize > kPiece && !flush())
            return false;
        if (rowSize > kPiece) {
            for (size_t c = 0; c < cells; ++c) {
                if ((c > 0 && !put(separator)) || !put(bytesOf(rowRefs[c])))
                    return false;
            }
            for (size_t i = 0; i < trailing; ++i) {
                if (!put(separator))
                    return false;
            }
            if (!put("\r\n"))
                return false;
            continue;
        }
        char *p = buf + used;
        for (size_t c = 0; c < cells; ++c) {
            if (c > 0) {
                if (sepSize == 1)
                    *p++ = separator[0];
                else
                    p = std::copy(multiByteSeparator.begin(), multiByteSeparator.end(), p);
            }
            const QByteArrayView b = bytesOf(rowRefs[c]);
            if (!b.isEmpty()) {
                std::memcpy(p, b.data(), size_t(b.size()));
                p += b.size();
            }
        }
        if (sepSize == 1) {
            std::memset(p, separator[0], trailing);
            p += trailing;
        } else {
            for (size_t i = 0; i < trailing; ++i)
                p = std::copy(multiByteSeparator.begin(), multiByteSeparator.end(), p);
        }
        *p++ = '\r';
        *p++ = '\n';
        used = p - buf;
    }
    return flush() && flushRun();
}

bool ListTable::writeFile(QChar delimiter, const std::function<bool(QByteArrayView)> &sink) const
{
    QStringEncoder::Encoding target = QStringEncoder::Utf8;
    QByteArrayView mark;
    switch (m_encoding) {
    case FileEncoding::System:
        return writeLines(delimiter, sink);
    case FileEncoding::Utf8Bom:
        if (SystemCharset::isUtf8())
            return sink("\xEF\xBB\xBF") && writeLines(delimiter, sink);
        mark = "\xEF\xBB\xBF";
        break;
    case FileEncoding::Utf16LE:
        target = QStringEncoder::Utf16LE;
        mark = "\xFF\xFE";
        break;
    case FileEncoding::Utf16BE:
        target = QStringEncoder::Utf16BE;
        mark = "\xFE\xFF";
        break;
    }
    // The pieces end at cells, delimiters and line ends, so each decodes
    // on its own.
    QStringEncoder encoder(target, QStringEncoder::Flag::Stateless);
    return sink(mark) && writeLines(delimiter, [&](QByteArrayView piece) {
               QString text = SystemCharset::toUnicode(piece);
               // The UTF-8 decoder takes a leading U+FEFF for a mark and
               // drops it; in a piece it is a cell's first character.
               if (SystemCharset::isUtf8() && piece.startsWith("\xEF\xBB\xBF") && !text.startsWith(QChar(0xFEFF)))
                   text.prepend(QChar(0xFEFF));
               const QByteArray encoded = encoder.encode(text);
               return sink(encoded);
           });
}

QByteArray ListTable::toBytes(QChar delimiter) const
{
    QByteArray out;
    writeFile(delimiter, [&out](QByteArrayView piece) {
        out.append(piece);
        return true;
    });
    return out;
}

bool ListTable::save(const QString &fileName, QChar delimiter, QString *error) const
{
    return writeFileAtomicallyStreamed(
        fileName,
        [&](QIODevice &out) {
            return writeFile(delimiter, [&out](QByteArrayView piece) {
                return out.write(piece.data(), piece.size()) == piece.size();
            });
        },
        error);
}

// ---- free functions ----------------------------------------------------------

QByteArray NormaliseAddress(QByteArrayView cell)
{
    QByteArray s = cell.toByteArray();
    if (!s.contains('@'))
        return s;
    auto removeFirst = [&s](char c) {
        const qsizetype i = s.indexOf(c);
        if (i >= 0)
            s.remove(i, 1);
    };
    removeFirst('<');
    removeFirst('>');
    removeFirst('"');
    removeFirst('"');
    // The "@" survives every step below, so each round removes a word in
    // front of it or ends the loop by cutting after it.
    for (qsizetype blank = s.indexOf(' '); blank >= 0; blank = s.indexOf(' ')) {
        if (blank < s.indexOf('@'))
            s.remove(0, blank + 1);
        blank = s.indexOf(' ');
        if (blank >= 0 && s.indexOf('@') < blank)
            s.truncate(blank);
    }
    return s;
}

int clampEmailColumn(int stored, int columnCount)
{
    return stored >= 0 && stored < columnCount ? stored : 0;
}

int clampAttachmentColumn(int stored, int columnCount)
{
    return stored >= 0 && stored <= columnCount ? stored : 0;
}

QChar delimiterOf(QStringView sectionSymbol)
{
    return sectionSymbol.isEmpty() ? QChar(u';') : sectionSymbol.front();
}

QString delimiterName(QChar delimiter)
{
    if (delimiter == u'\t')
        return QStringLiteral("Tab");
    if (delimiter == u' ')
        return QStringLiteral("Space");
    return QString(delimiter);
}

} // namespace varnholt
