#pragma once

#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

// The result table of a sending run: one row per record row of the project
// table, with the recipient's address, the state word ("Ok"/"No"), a result
// text, the SMTP reply code, the server's last comment and the row status.
namespace varnholt {

class ListTable;

enum class RowStatus : quint8 {
    NotProcessed = 0,
    Sent = 1,
    Failed = 2,
    InProgress = 3,
    // The whole message went to the server but its answer never came (the
    // program was killed, the connection dropped): it may have been
    // delivered, so a resumed run does not send it again unless asked.
    Unknown = 4,
    // The server refused the message for now (a 4xx reply) or the
    // connection dropped before the message went out whole, and the run
    // tries it again later (see RowRetry). Not a final outcome: the row ends
    // sent or failed with its last reply.
    Deferred = 5,
};

// When a deferred row is tried again (milliseconds since the epoch, UTC)
// and how many temporary refusals it has had so far.
struct RowRetry {
    qint64 at = 0;
    int deferrals = 0;
    friend bool operator==(const RowRetry &, const RowRetry &) = default;
};

// One row of the result table as a value: what observers read and what
// tests and the journal hand in.
struct ResultRow {
    QString address;
    QString state;
    QString result;
    QString code;
    QString comment;
    RowStatus status = RowStatus::NotProcessed;

    // Status 0 and every cell but the address emptied.
    void reset()
    {
        state.clear();
        result.clear();
        code.clear();
        comment.clear();
        status = RowStatus::NotProcessed;
    }
    friend bool operator==(const ResultRow &, const ResultRow &) = default;
};

// The table is kept compact, as a mailing list can hold millions of rows:
// per row a status byte, the address in one shared byte arena, and for the
// four status cells a number into a pool of distinct texts. The pool counts
// its users, so texts that repeat ("Ok", "No", a result text, a code) are
// held once and a comment that is cleared again leaves nothing behind.
class ResultTable
{
public:
    // The four status cells.
    enum class Cell : quint8 { State = 0, Result, Code, Comment };

    // The titles of the five columns: "email", "state", "result", "code",
    // "comment".
    [[nodiscard]] static const QStringList &titles();

    // One blank row.
    ResultTable();
    ResultTable(const ResultTable &other);
    ResultTable &operator=(const ResultTable &other);
    ResultTable(ResultTable &&other) noexcept;
    ResultTable &operator=(ResultTable &&other) noexcept;
    ~ResultTable();

    // One row per record row of `table`, its address copied from
    // `emailColumn`, every row unprocessed.
    void initFrom(const ListTable &table, int emailColumn);

    [[nodiscard]] int rowCount() const { return int(m_rows.size()); }

    // The whole row as a value.
    [[nodiscard]] ResultRow row(int index) const;
    // Replaces the whole row.
    void setRow(int index, const ResultRow &row);

    [[nodiscard]] RowStatus status(int index) const { return m_rows[size_t(index)].status; }
    // A row that leaves "deferred" loses its retry.
    void setStatus(int index, RowStatus status)
    {
        Slot &slot = m_rows[size_t(index)];
        if (slot.status == RowStatus::Deferred && status != RowStatus::Deferred)
            m_retries.erase(index);
        slot.status = status;
    }
    // Marks the row deferred until `retry.at`.
    void defer(int index, const RowRetry &retry)
    {
        m_rows[size_t(index)].status = RowStatus::Deferred;
        m_retries[index] = retry;
    }
    // The retry of a deferred row ({} for a row marked deferred without one);
    // nothing for any other row.
    [[nodiscard]] std::optional<RowRetry> retry(int index) const;
    // The deferred rows with their retries, by row.
    [[nodiscard]] const std::map<int, RowRetry> &retries() const { return m_retries; }

    [[nodiscard]] QString address(int index) const;
    void setAddress(int index, QStringView address);
    // Whether the address holds `c`, without making a string of it.
    [[nodiscard]] bool addressContains(int index, QChar c) const;
    [[nodiscard]] bool addressIsEmpty(int index) const { return m_rows[size_t(index)].addressSize == 0; }

    [[nodiscard]] const QString &cell(int index, Cell cell) const;
    void setCell(int index, Cell cell, const QString &text);

    [[nodiscard]] const QString &state(int index) const { return cell(index, Cell::State); }
    [[nodiscard]] const QString &result(int index) const { return cell(index, Cell::Result); }
    [[nodiscard]] const QString &code(int index) const { return cell(index, Cell::Code); }
    [[nodiscard]] const QString &comment(int index) const { return cell(index, Cell::Comment); }
    void setState(int index, const QString &text) { setCell(index, Cell::State, text); }
    void setResult(int index, const QString &text) { setCell(index, Cell::Result, text); }
    void setCode(int index, const QString &text) { setCell(index, Cell::Code, text); }
    void setComment(int index, const QString &text) { setCell(index, Cell::Comment, text); }

    // Status 0 and every cell but the address emptied.
    void resetRow(int index);

    // At least one row; new rows are blank.
    void setRowCount(int rows);
    // Removes the given rows (sorted ascending) in one pass; removing every
    // row leaves one blank row, as the project table does.
    void removeRowSet(std::span<const int> sortedRows);

    // Counts of rows by status.
    [[nodiscard]] int count(RowStatus status) const;
    // Whether every address equals the e-mail cell of the same row of
    // `table`: a saved result table still describes that list.
    [[nodiscard]] bool matches(const ListTable &table, int emailColumn) const;

    // Same rows with the same cells and status.
    friend bool operator==(const ResultTable &a, const ResultTable &b);

    // The number of distinct non-empty texts the cells hold (for checking
    // that texts are shared and released).
    [[nodiscard]] int distinctTexts() const;

private:
    struct Slot {
        quint64 addressAt = 0;   // offset in m_addresses
        quint32 addressSize = 0; // bytes
        quint32 texts[4] = {0, 0, 0, 0}; // pool numbers of the four cells; 0 is empty
        RowStatus status = RowStatus::NotProcessed;
        bool wideAddress = false; // UTF-16 units, else one Latin-1 byte per character
    };
    class TextPool;

    void releaseTexts(Slot &slot);
    void storeAddress(Slot &slot, QStringView address);
    void compactAddresses();

    std::vector<Slot> m_rows;
    // Few rows are deferred at a time: their retries are kept aside.
    std::map<int, RowRetry> m_retries;
    QByteArray m_addresses;
    qsizetype m_wasted = 0; // arena bytes no row refers to any more
    std::unique_ptr<TextPool> m_texts;
};

// The project's "Codes" as entries (split at ";"); an empty entry holds
// back rows without a code.
[[nodiscard]] QStringList HeldBackCodes(const QString &codes);
// Whether the trimmed code equals one of `heldBack` (case ignored).
[[nodiscard]] bool IsHeldBack(QStringView code, const QStringList &heldBack);
[[nodiscard]] inline bool IsHeldBack(const ResultRow &row, const QStringList &heldBack)
{
    return IsHeldBack(QStringView(row.code), heldBack);
}

// The result table kept in a file beside the project, so that another
// process (the command line's --resume, `results`) continues from it and a
// killed run loses no finished row.
//
// The file is a snapshot followed by a journal, text in the system charset
// with CR LF line ends:
//
//   varnholt-results 1
//   rows<TAB>N
//   row<TAB>status<TAB>address<TAB>state<TAB>result<TAB>code<TAB>comment
//   ...
//
// Record lines are numbered from 0; a later line for a row replaces an
// earlier one, and a "rows" line sets the row count. A row whose last line
// has status 3 was "in flight": its final "." had gone to the server when
// the line was written (see RowStatus::Unknown). A deferred row (status 5)
// has two more fields, its RowRetry: the time of its next try in
// milliseconds since the epoch and its temporary refusals so far. (A
// program that knew only statuses 0 to 4 skips such a line and keeps the
// row's line before it.) Tabs, CR, LF and
// backslashes inside a cell are written as \t, \r, \n and \\. A snapshot is
// written atomically (temporary file and rename); updates are appended one
// line each, written through at once. A last line without its line end (a
// write cut short) is ignored when reading.
class ResultJournal
{
public:
    explicit ResultJournal(const QString &path);
    ~ResultJournal();
    ResultJournal(const ResultJournal &) = delete;
    ResultJournal &operator=(const ResultJournal &) = delete;

    // N.results beside the project's N.eml.
    [[nodiscard]] static QString pathForProject(const QString &projectFolder, const QString &projectName);

    [[nodiscard]] QString path() const { return m_path; }

    // Replaces the file by the whole table and keeps it open for updates.
    bool writeSnapshot(const ResultTable &table, QString *error = nullptr);
    // Appends the current content of one row.
    bool appendRow(const ResultTable &table, int row, QString *error = nullptr);

    // The table the file describes; nothing when the file is missing, is
    // not a results file or contradicts itself (a row count the file's
    // lines cannot back), with the reason in `error`.
    [[nodiscard]] static std::optional<ResultTable> load(const QString &path, QString *error = nullptr);

    // The encoded lines, for tests and tools; `retry` for a deferred row.
    [[nodiscard]] static QByteArray encodeRow(int index, const ResultRow &row, const RowRetry &retry = {});

private:
    bool openForAppend(QString *error);
    void closeAppend();

    QString m_path;
    int m_fd = -1; // the file opened for appending
    QByteArray m_line; // reused for every appended line
};

} // namespace varnholt
