#include "listtable.h"

#include "settings/fields.h"
#include "settings/syscharset.h"
#include "settings/textfile.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace varnholt {

namespace {

constexpr quint64 kMaxOffset = (quint64(1) << 40) - 1;
constexpr qsizetype kEditChunkSize = 1 << 20;
// Freed bytes are reclaimed once they exceed both this and the live bytes.
constexpr quint64 kCompactThreshold = quint64(64) << 20;
constexpr qsizetype kProgressEveryLines = 1 << 14;

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
                    std::vector<quint32> &counts)
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
    refs.reserve(size_t(std::min(double(fields) * scale, cap)) + 16);
    counts.reserve(size_t(std::min(double(lines) * scale, cap)) + 16);
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
    m_refs.assign(1, 0);
    m_rows = 1;
    m_columns = 1;
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
    quint64 &r = ref(row, column);
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
    for (quint64 r : m_refs)
        live += quint64(bytesOf(r).size());
    QByteArray arena(qsizetype(live), Qt::Uninitialized);
    // The old chunks and long cells stay in place until every cell is
    // copied: bytesOf() reads through them.
    std::vector<LongCell> newLong;
    char *out = arena.data();
    quint64 pos = 0;
    for (quint64 &r : m_refs) {
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
    m_longCells = std::move(newLong);
    m_chunks.clear();
    m_chunks.push_back({arena, 0, arena.size()});
    m_arenaEnd = live;
    m_wasted = 0;
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

bool ListTable::insertRows(int row, int count, const QModelIndex &parent)
{
    if (parent.isValid() || row < 0 || row > m_rows || count < 0
        || count > std::numeric_limits<int>::max() - m_rows)
        return false;
    if (count == 0)
        return true;
    if (m_updateDepth == 0)
        beginInsertRows({}, row, row + count - 1);
    m_refs.insert(m_refs.begin() + ptrdiff_t(size_t(row) * size_t(m_columns)), size_t(count) * size_t(m_columns), 0);
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
    const auto first = m_refs.begin() + ptrdiff_t(size_t(row) * size_t(m_columns));
    const auto last = first + ptrdiff_t(size_t(count) * size_t(m_columns));
    for (auto it = first; it != last; ++it)
        m_wasted += quint64(bytesOf(*it).size());
    m_refs.erase(first, last);
    m_rows -= count;
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
    const size_t cols = size_t(m_columns);
    size_t next = 0; // position in sortedRows
    int write = 0;
    for (int row = 0; row < m_rows; ++row) {
        while (next < sortedRows.size() && sortedRows[next] < row)
            ++next;
        quint64 *src = m_refs.data() + size_t(row) * cols;
        if (next < sortedRows.size() && sortedRows[next] == row) {
            for (size_t c = 0; c < cols; ++c)
                m_wasted += quint64(bytesOf(src[c]).size());
            continue;
        }
        if (write != row)
            std::memcpy(m_refs.data() + size_t(write) * cols, src, cols * sizeof(quint64));
        ++write;
    }
    m_rows = std::max(write, 1);
    m_refs.resize(size_t(m_rows) * cols);
    if (write == 0)
        std::fill(m_refs.begin(), m_refs.end(), 0);
    compactIfWasteful();
    endUpdate();
}

// Changes the column count to `columns`: a larger count inserts empty
// columns at `at`, a smaller one removes the columns from `at` on.
void ListTable::relayout(int columns, int at)
{
    const size_t oldCols = size_t(m_columns);
    const size_t newCols = size_t(columns);
    std::vector<quint64> refs(size_t(m_rows) * newCols, 0);
    for (size_t r = 0; r < size_t(m_rows); ++r) {
        const quint64 *src = m_refs.data() + r * oldCols;
        quint64 *dst = refs.data() + r * newCols;
        if (newCols > oldCols) {
            std::copy(src, src + at, dst);
            std::copy(src + at, src + oldCols, dst + at + (newCols - oldCols));
        } else {
            const size_t removed = oldCols - newCols;
            std::copy(src, src + at, dst);
            for (size_t c = size_t(at); c < size_t(at) + removed; ++c)
                m_wasted += quint64(bytesOf(src[c]).size());
            std::copy(src + at + removed, src + oldCols, dst + at);
        }
    }
    m_refs = std::move(refs);
    m_columns = columns;
}

bool ListTable::insertColumns(int column, int count, const QModelIndex &parent)
{
    if (parent.isValid() || column < 0 || column > m_columns || count < 0
        || count > std::numeric_limits<int>::max() - m_columns)
        return false;
    if (count == 0)
        return true;
    if (m_updateDepth == 0)
        beginInsertColumns({}, column, column + count - 1);
    relayout(m_columns + count, column);
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
    relayout(m_columns - count, column);
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
    m_rows = other.m_rows;
    m_columns = other.m_columns;
    m_arenaEnd = other.m_arenaEnd;
    m_wasted = other.m_wasted;
    endUpdate();
}

// ---- cells -------------------------------------------------------------------

QByteArrayView ListTable::cellBytes(int row, int column) const
{
    if (row < 0 || row >= m_rows || column < 0 || column >= m_columns)
        return {};
    return bytesOf(ref(row, column));
}

QString ListTable::cell(int row, int column) const
{
    return SystemCharset::toUnicode(cellBytes(row, column));
}

void ListTable::setCellBytes(int row, int column, QByteArrayView bytes)
{
    if (row < 0 || row >= m_rows || column < 0 || column >= m_columns)
        return;
    if (bytesOf(ref(row, column)) == bytes)
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
        const QByteArrayView current = bytesOf(ref(row, column));
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

    // The cells refer straight into the file's bytes, which become the
    // table's first chunk. The fields are gathered row after row first and
    // spread over the full column count at the end, once it is known.
    const QByteArray data = std::move(*file);
    const char *base = data.constData();
    const QByteArray separator = encodeDelimiter(delimiter);
    std::vector<quint64> refs;
    std::vector<quint32> fieldCounts;
    qsizetype maxFields = 0;
    reserveForLoad(data, separator, refs, fieldCounts);

    forEachLine(data, [&](QByteArrayView line) {
        if (progress && result.lines % kProgressEveryLines == 0
            && !progress(line.data() - base, data.size())) {
            result.complete = false;
            return false;
        }
        ++result.lines;
        const qsizetype n = splitLine(separator, line, [&](QByteArrayView field) {
            refs.push_back(makeRef(quint64(field.data() - base), quint64(field.size())));
        });
        if (n == 0)
            return true;
        fieldCounts.push_back(quint32(n));
        maxFields = std::max(maxFields, n);
        if (fieldCounts.size() >= size_t(std::numeric_limits<int>::max()) || maxFields >= std::numeric_limits<int>::max()) {
            result.complete = false; // the model counts rows and columns in int
            return false;
        }
        return true;
    });

    if (!fieldCounts.empty()) {
        const size_t rows = fieldCounts.size();
        const size_t cols = size_t(maxFields);
        const size_t gathered = refs.size();
        if (gathered != rows * cols) {
            // Spread in place from the last row backwards: a row's place in
            // the grid never lies before its gathered place.
            refs.resize(rows * cols, 0);
            size_t src = gathered;
            for (size_t r = rows; r-- > 0;) {
                const size_t n = fieldCounts[r];
                src -= n;
                quint64 *dst = refs.data() + r * cols;
                std::memmove(dst, refs.data() + src, n * sizeof(quint64));
                std::fill(dst + n, dst + cols, 0);
            }
        }
        m_refs = std::move(refs);
        m_rows = int(rows);
        m_columns = int(cols);
        m_chunks.push_back({data, 0, data.size()});
        m_arenaEnd = quint64(data.size());
    }
    endUpdate();
    return result;
}

bool ListTable::writeLines(QChar delimiter, const std::function<bool(QByteArrayView)> &sink) const
{
    const QByteArray separator = encodeDelimiter(delimiter);
    const qsizetype sepSize = separator.size();
    constexpr qsizetype kPiece = 1 << 20;
    QByteArray buffer(kPiece, Qt::Uninitialized);
    char *const buf = buffer.data();
    qsizetype used = 0;
    auto flush = [&] {
        const bool ok = used == 0 || sink(QByteArrayView(buf, used));
        used = 0;
        return ok;
    };
    const size_t cols = size_t(m_columns);
    const quint64 *rowRefs = m_refs.data();
    for (int row = 0; row < m_rows; ++row, rowRefs += cols) {
        qsizetype rowSize = sepSize * qsizetype(cols - 1) + 2;
        for (size_t c = 0; c < cols; ++c)
            rowSize += bytesOf(rowRefs[c]).size();
        if (used + rowSize > kPiece && !flush())
            return false;
        if (rowSize > kPiece) {
            // A row larger than the buffer goes out cell by cell.
            for (size_t c = 0; c < cols; ++c) {
                if ((c > 0 && !sink(separator)) || !sink(bytesOf(rowRefs[c])))
                    return false;
            }
            if (!sink("\r\n"))
                return false;
            continue;
        }
        char *p = buf + used;
        for (size_t c = 0; c < cols; ++c) {
            if (c > 0) {
                if (sepSize == 1)
                    *p++ = separator[0];
                else if (sepSize > 0)
                    p = std::copy_n(separator.constData(), sepSize, p);
            }
            const QByteArrayView b = bytesOf(rowRefs[c]);
            if (!b.isEmpty()) {
                std::memcpy(p, b.data(), size_t(b.size()));
                p += b.size();
            }
        }
        *p++ = '\r';
        *p++ = '\n';
        used = p - buf;
    }
    return flush();
}

QByteArray ListTable::toBytes(QChar delimiter) const
{
    QByteArray out;
    writeLines(delimiter, [&out](QByteArrayView piece) {
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
            return writeLines(delimiter, [&out](QByteArrayView piece) {
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
