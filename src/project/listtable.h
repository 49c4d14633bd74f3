#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <functional>
#include <span>
#include <vector>

// The project table: the mailing list of the open project, one record per
// row, one field per column, shown by the project window's table view and
// changed in place by the list tools, the verification and the sending run.
//
// Row mapping. The mailing list grid has a title row ("Column#1",
// "Column#2", ...) above the records. Here the titles are the model's
// horizontal header (headerData(), titles()) and are never stored; model
// row r is record r + 1 of that grid, so record rows are 0 .. rowCount()-1.
// There is always at least one record row: a table without records holds
// one blank row.
//
// Storage. Cells are bytes in the system charset. A list file in that
// charset is kept exactly as read (never converted); a file that starts with
// a byte-order mark (UTF-16 or UTF-8) is decoded and its cells stored in the
// system charset, and save() writes it back in its own encoding. Cell bytes
// live in a few large byte chunks; a cell is one 64-bit reference (40-bit
// offset, 24-bit length). Each row keeps its own number of references in
// one flat vector, found through a per-row start (4 bytes a row): a row has
// as many cells as its line had fields, cells beyond it read as empty, and
// a write beyond it grows only that row. A million records of eight fields
// cost the file's bytes plus 68 MB, and one very long line costs only its
// own cells. The loaded file is itself the first chunk; edits are appended
// to later chunks and the space they free is reclaimed once it outweighs
// the live bytes. A cell of 16 MB or more is kept through a side table, so
// no length is ever cut.
namespace varnholt {

class ListTable : public QAbstractTableModel
{
    Q_OBJECT
public:
    // Called while loading with the bytes read so far and the file size;
    // returning false stops the load (the records read so far stay).
    using LoadProgress = std::function<bool(qint64 position, qint64 maximum)>;

    explicit ListTable(QObject *parent = nullptr);
    ~ListTable() override;

    // Title of a column, counted from 0: "Column#1" for column 0.
    [[nodiscard]] static QString columnTitle(int column);
    [[nodiscard]] QStringList titles() const;

    // QAbstractTableModel. Records are editable; display and edit roles give
    // the cell decoded from the system charset.
    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role = Qt::DisplayRole) const override;
    [[nodiscard]] Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool insertRows(int row, int count, const QModelIndex &parent = {}) override;
    // Removing every row leaves one blank row.
    bool removeRows(int row, int count, const QModelIndex &parent = {}) override;
    bool insertColumns(int column, int count, const QModelIndex &parent = {}) override;
    bool removeColumns(int column, int count, const QModelIndex &parent = {}) override;

    // Cell access by record row (0-based) and column. Out-of-range cells
    // read as empty; writes to them are ignored.
    [[nodiscard]] QString cell(int row, int column) const;
    [[nodiscard]] QByteArrayView cellBytes(int row, int column) const;
    void setCell(int row, int column, const QString &text);
    void setCellBytes(int row, int column, QByteArrayView bytes);

    // At least one row and one column; new cells are empty.
    void setRowCount(int rows);
    void setColumnCount(int columns);
    // Removes the given rows, sorted ascending (duplicates allowed), in one
    // pass over the table.
    void removeRowSet(std::span<const int> sortedRows);
    // One blank row, one column, the system charset.
    void clear();
    // Makes this table a copy of `other` (the byte chunks are shared until
    // one side writes).
    void assign(const ListTable &other);

    // Many edits in a row: between beginUpdate() and endUpdate() no
    // per-cell signals are sent; views get one model reset at the end.
    // Calls nest.
    void beginUpdate();
    void endUpdate();

    // How the list file was encoded; save() writes the same.
    enum class FileEncoding {
        System,   // the system charset, no byte-order mark
        Utf8Bom,  // UTF-8 after the mark EF BB BF
        Utf16LE,  // UTF-16 after the mark FF FE
        Utf16BE,  // UTF-16 after the mark FE FF
    };

    struct LoadResult {
        bool fileRead = false;  // the file existed and could be read
        bool complete = true;   // false when the progress callback stopped it
        qsizetype lines = 0;    // lines read (empty lines included)
        // Empty when every byte of the file made it into the table; else
        // why not (a NUL byte, text that does not decode, a stopped load),
        // for the user. Saving such a table over its file loses the rest.
        QString warning;
        [[nodiscard]] bool readWhole() const { return warning.isEmpty(); }
    };
    // Replaces the table with the list file: lines end with CR LF, LF or
    // CR; a NUL byte ends the text; empty lines carry no record; fields are
    // split by SplitFields' rule. A missing or unreadable file gives one
    // blank row. The column count is the largest field count. A byte-order
    // mark chooses UTF-16 or UTF-8 (see Storage) and is not part of a cell.
    LoadResult load(const QString &fileName, QChar delimiter, const LoadProgress &progress = {});
    [[nodiscard]] FileEncoding fileEncoding() const { return m_encoding; }
    void setFileEncoding(FileEncoding encoding) { m_encoding = encoding; }
    // Writes every record row as columnCount() cells (a short row's missing
    // cells are empty fields) joined by the delimiter, each line ending with
    // CR LF, in the table's file encoding, through a temporary file renamed
    // over `fileName`. On failure the old file stays whole and `error` gets
    // the reason.
    bool save(const QString &fileName, QChar delimiter, QString *error = nullptr) const;
    // The file's bytes as save() writes them.
    [[nodiscard]] QByteArray toBytes(QChar delimiter) const;

    // Cleans the e-mail addresses of one column in place (see
    // NormaliseAddress); cells without "@" are left alone.
    void normaliseAddresses(int column);

    // The bytes the table holds: cell chunks, cell references and row starts
    // as allocated.
    [[nodiscard]] qint64 memoryBytes() const;
    // The number of cells row `row` stores (at most columnCount()); the
    // cells beyond it read as empty.
    [[nodiscard]] int storedCellCount(int row) const;

private:
    struct Chunk {
        QByteArray bytes;
        quint64 base = 0;   // offset of bytes[0] in the arena
        qsizetype used = 0; // bytes taken (the loaded file: all of them)
    };
    struct LongCell {
        quint64 offset = 0;
        quint64 length = 0;
    };

    // Where a row's references lie in m_refs. The vector holds the rows in
    // order with one gap of unused references after row m_gapRow - 1, so a
    // row can grow into the gap without moving the rest; the gap moves to
    // wherever a row grows, and mostly rows grow one after the other. The
    // start of a row before the gap is its index in m_refs; the start of a
    // row after it is its distance from the end of m_refs, so neither
    // changes when the gap fills or widens.
    [[nodiscard]] size_t rowBegin(int row) const
    {
        return row < m_gapRow ? m_rowStart[size_t(row)] : m_refs.size() - m_rowStart[size_t(row)];
    }
    [[nodiscard]] size_t rowEnd(int row) const
    {
        if (row + 1 < m_gapRow)
            return m_rowStart[size_t(row) + 1];
        if (row + 1 == m_gapRow)
            return m_gapBegin;
        return row + 1 < m_rows ? m_refs.size() - m_rowStart[size_t(row) + 1] : m_refs.size();
    }
    [[nodiscard]] size_t gapEnd() const { return m_gapRow < m_rows ? rowBegin(m_gapRow) : m_refs.size(); }
    void moveGapTo(int row);
    [[nodiscard]] bool widenGap(size_t needed);
    [[nodiscard]] bool growRow(int row, size_t cells);
    // Drops the gap: every row start becomes its index in m_refs.
    void closeGap();

    static constexpr int kLengthBits = 24;
    static constexpr quint64 kLengthMask = (quint64(1) << kLengthBits) - 1;
    // A length field holding this value marks a long cell: the offset
    // field is then an index into the long-cell table.
    static constexpr quint64 kLongCell = kLengthMask;

    [[nodiscard]] QByteArrayView bytesOf(quint64 ref) const
    {
        const quint64 length = ref & kLengthMask;
        if (length == 0)
            return {};
        if (length != kLongCell && m_chunks.size() == 1)
            return QByteArrayView(m_chunks.front().bytes.constData() + (ref >> kLengthBits), qsizetype(length));
        return bytesOfSlow(ref);
    }
    [[nodiscard]] QByteArrayView bytesOfSlow(quint64 ref) const;
    // Hands the lines in the system charset to `sink` in pieces of about a
    // megabyte, each ending at a cell, delimiter or line end.
    bool writeLines(QChar delimiter, const std::function<bool(QByteArrayView)> &sink) const;
    // The same in the file encoding, with its byte-order mark.
    bool writeFile(QChar delimiter, const std::function<bool(QByteArrayView)> &sink) const;
    [[nodiscard]] quint64 makeRef(quint64 offset, quint64 length)
    {
        if (length == 0)
            return 0;
        if (length < kLongCell)
            return (offset << kLengthBits) | length;
        return makeLongRef(offset, length);
    }
    [[nodiscard]] quint64 makeLongRef(quint64 offset, quint64 length);
    [[nodiscard]] quint64 appendBytes(QByteArrayView bytes);
    void storeCell(int row, int column, QByteArrayView bytes);
    void relayout(int insertAt, int inserted, int removed);
    void compactIfWasteful();
    void compact();
    void resetStorage();
    void cellChanged(int row, int column);

    std::vector<Chunk> m_chunks;
    std::vector<LongCell> m_longCells;
    std::vector<quint64> m_refs;      // every row's cells, with the gap
    std::vector<quint32> m_rowStart;  // m_rows entries, see rowBegin()
    int m_rows = 1;
    int m_columns = 1;
    int m_gapRow = 1;                 // the rows before the gap
    size_t m_gapBegin = 0;            // first reference of the gap
    FileEncoding m_encoding = FileEncoding::System;
    quint64 m_arenaEnd = 0;   // offset the next chunk starts at
    quint64 m_wasted = 0;     // arena bytes no cell refers to any more
    int m_updateDepth = 0;
};

// Cleans one e-mail cell: drops the first "<", the first ">" and the first
// two double quotes, then cuts blank-separated words before the "@" and
// anything from a blank after it. "John Smith <user@host>" gives
// "user@host". A value without "@" comes back unchanged.
[[nodiscard]] QByteArray NormaliseAddress(QByteArrayView cell);

// Column choices read from the project settings, checked against the
// loaded list. The e-mail column is zero-based; a value outside the columns
// gives 0. The attachment column is 0 for none or n for column n - 1; a
// value outside 0 .. columnCount gives 0.
[[nodiscard]] int clampEmailColumn(int stored, int columnCount);
[[nodiscard]] int clampAttachmentColumn(int stored, int columnCount);

// The list delimiter of a stored "SectionSymbol" value after "Tab" and
// "Space" were resolved: its first character. The program only offers
// one-character delimiters; a longer hand-written value is cut to its
// first character, an empty one gives ";".
[[nodiscard]] QChar delimiterOf(QStringView sectionSymbol);

// How a delimiter is named to the user and in the project file: "Tab",
// "Space", or the character itself.
[[nodiscard]] QString delimiterName(QChar delimiter);

} // namespace varnholt
