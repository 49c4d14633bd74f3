#pragma once

#include <QFile>
#include <QString>
#include <QStringList>

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
};

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

class ResultTable
{
public:
    // The titles of the five columns: "email", "state", "result", "code",
    // "comment".
    [[nodiscard]] static const QStringList &titles();

    // One blank row.
    ResultTable() { m_rows.resize(1); }

    // One row per record row of `table`, its address copied from
    // `emailColumn`, every row unprocessed.
    void initFrom(const ListTable &table, int emailColumn);

    [[nodiscard]] int rowCount() const { return int(m_rows.size()); }
    [[nodiscard]] ResultRow &row(int index) { return m_rows[size_t(index)]; }
    [[nodiscard]] const ResultRow &row(int index) const { return m_rows[size_t(index)]; }
    [[nodiscard]] const std::vector<ResultRow> &rows() const { return m_rows; }

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

    friend bool operator==(const ResultTable &, const ResultTable &) = default;

private:
    std::vector<ResultRow> m_rows;
};

// The reply code in an SMTP session's error text: the text after its first
// ":", trimmed; when it has a blank within its first four characters, the
// part before that blank if it is a whole number above 0. Empty otherwise.
// "Error: 550 5.1.1 No such user" gives "550".
[[nodiscard]] QString ReplyCodeFromError(const QString &text);

// The project's "Codes" as entries (split at ";"); an empty entry holds
// back rows without a code.
[[nodiscard]] QStringList HeldBackCodes(const QString &codes);
// Whether the row's trimmed code equals one of `heldBack` (case ignored).
[[nodiscard]] bool IsHeldBack(const ResultRow &row, const QStringList &heldBack);

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
// earlier one, and a "rows" line sets the row count. Tabs, CR, LF and
// backslashes inside a cell are written as \t, \r, \n and \\. A snapshot is
// written atomically (temporary file and rename); updates are appended one
// line each, written through at once. A last line without its line end (a
// write cut short) is ignored when reading.
class ResultJournal
{
public:
    explicit ResultJournal(const QString &path);
    ~ResultJournal();

    // N.results beside the project's N.eml.
    [[nodiscard]] static QString pathForProject(const QString &projectFolder, const QString &projectName);

    [[nodiscard]] QString path() const { return m_path; }

    // Replaces the file by the whole table and keeps it open for updates.
    bool writeSnapshot(const ResultTable &table, QString *error = nullptr);
    // Appends the current content of one row.
    bool appendRow(const ResultTable &table, int row, QString *error = nullptr);

    // The table the file describes; nothing when the file is missing or is
    // not a results file.
    [[nodiscard]] static std::optional<ResultTable> load(const QString &path);

    // The encoded lines, for tests and tools.
    [[nodiscard]] static QByteArray encodeRow(int index, const ResultRow &row);

private:
    bool openForAppend(QString *error);

    QString m_path;
    QFile m_file;
};

} // namespace varnholt
