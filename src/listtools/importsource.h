#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The import wizard's engine: reads a foreign file (delimited or fixed-width
// text, a quoted CSV file, a dBASE table), splits its lines the way the
// wizard's choices say, and appends the records to a list table.
//
// Text is handled as bytes in the system charset, like the list itself. A
// text file's UTF-8 byte-order mark is dropped; a UTF-16 file (with its
// mark) is decoded and converted. The "Dos" origin converts from the OEM
// code page (CP437, CP866 when the locale's language is Russian).
namespace varnholt {

class ListTable;

// Spreadsheet: a workbook, read by spreadsheet.h.
enum class ImportType { Unknown, DBase, Delimited, FixedWidth, Spreadsheet };
enum class FileOrigin { Windows, Dos };

// Called with the work done so far and its total; false stops the work.
using ImportProgress = std::function<bool(qint64 position, qint64 maximum)>;

// The delimiter page's choices.
struct DelimiterChoice {
    bool semicolon = true;
    bool comma = false;
    bool tab = false;
    bool space = false;
    bool other = false;
    QByteArray otherCharacter;  // one byte in the system charset; ignored when empty
    bool consecutiveAsOne = false;
    // RFC 4180: a field may be enclosed in double quotes, inside which a
    // doubled quote stands for one and delimiters and line breaks are text.
    bool quoted = false;

    // The bytes that end a field.
    [[nodiscard]] QByteArray delimiterBytes() const;
    bool operator==(const DelimiterChoice &) const = default;
};

// The OEM code page of the "Dos" origin for the locale: "CP866" when its
// language is Russian, else "CP437".
[[nodiscard]] QByteArray dosCodePage();

// Delimited split of one line: untrimmed fields; a delimiter at the start
// gives an empty first field, one at the end no empty last field; with
// `consecutiveAsOne` a run of delimiters ends one field. Quotes are text.
[[nodiscard]] std::vector<QByteArrayView> splitDelimited(QByteArrayView line, QByteArrayView delimiters,
                                                         bool consecutiveAsOne);

// One record of a quoted (RFC 4180) text starting at `text[from]`: its fields
// (quotes taken off, doubled quotes made single) and where the next record
// starts. A delimiter at the end of a record gives an empty last field, as
// spreadsheet programs mean it. `unclosed` is set when a quote was still open
// at the end of the text (the rest of the text is then the last field).
struct CsvRecord {
    std::vector<QByteArray> fields;
    qsizetype next = 0;
    bool unclosed = false;
};
[[nodiscard]] CsvRecord splitCsvRecord(QByteArrayView text, qsizetype from, QByteArrayView delimiters,
                                       bool consecutiveAsOne);

// Fixed-width split: `breaks` holds one character per text column, '1'
// where a break follows that column. Positions count characters; fields are
// cut by position and not trimmed. An empty break string gives no fields.
[[nodiscard]] QStringList splitFixedWidth(QStringView line, QByteArrayView breaks);

// What an import did.
struct ImportResult {
    bool ok = false;          // false: `error` says why; the table was not changed
    bool stopped = false;     // the progress callback stopped it (ok is false)
    QString error;
    qint64 records = 0;       // rows written
    int firstRow = 0;         // model row of the first one
    int columns = 0;          // the table's column count afterwards
    // Rows with fields the list file cannot keep (see UnstorableFields):
    // how many, and the source line (or table record) of the first,
    // 1-based. With a replacement they were replaced; without one the
    // import was refused for them.
    qint64 unstorableRows = 0;
    qint64 firstUnstorableLine = 0;
    QStringList notes;        // things the user should know (memo fields, an unclosed quote)
};

// Fields that hold the list's delimiter or a line break, which the list
// file cannot keep (it has no quoting).
struct UnstorableFields {
    char listDelimiter = ';';
    // Set: each list delimiter inside a field becomes this byte and each
    // line break (CR LF, LF or CR) a blank. Unset: an import that meets such
    // fields is refused (after counting them all), the table unchanged.
    std::optional<char> replacement;
};

// A list table counts as blank when it has one record whose cells are all
// empty after trimming; an import then fills it from its first row.
[[nodiscard]] bool isBlankTable(const ListTable &table);

// A text file as the wizard reads it.
class TextSource
{
public:
    // Larger files are refused: the text, its line index and the list they
    // fill must fit in memory together.
    static constexpr qint64 kMaxFileSize = qint64(2) << 30;
    // Text that keeps a NUL byte among the first this-many bytes, other
    // than at the very end, is taken for a binary file.
    static constexpr qint64 kBinaryProbe = 64 * 1024;

    // Reads the file, in pieces with progress. A file that is empty, binary,
    // too big, unreadable, or shrinks while it is read gives nothing, with
    // `error` saying why; a stopped read gives nothing and an empty error.
    [[nodiscard]] static std::optional<TextSource> read(const QString &path, QString *error,
                                                        const ImportProgress &progress = {});
    // A source over text already in memory (with the same handling of marks
    // and UTF-16 as a file).
    [[nodiscard]] static TextSource fromBytes(QByteArray bytes);

    void setOrigin(FileOrigin origin);
    [[nodiscard]] FileOrigin origin() const { return m_origin; }

    [[nodiscard]] qsizetype lineCount() const { return qsizetype(m_lineStart.size()); }
    // Line `index` (0-based) in the system charset, converted for "Dos",
    // without its line end.
    [[nodiscard]] QByteArrayView line(qsizetype index) const;
    // The text in the system charset (converted for "Dos").
    [[nodiscard]] QByteArrayView text() const { return m_text; }
    [[nodiscard]] qsizetype lineOffset(qsizetype index) const { return m_lineStart[size_t(index)]; }
    // Characters of the longest line (for the column-break page).
    [[nodiscard]] qsizetype longestLineChars(qsizetype maxLines = -1) const;
    // Notes about how the file was read (a UTF-16 file, replaced characters).
    [[nodiscard]] const QStringList &notes() const { return m_notes; }

    // Whether the first lines look like quoted CSV: a line that begins with
    // a double quote, or a quote right after a delimiter.
    [[nodiscard]] bool looksQuoted(QByteArrayView delimiters, qsizetype maxLines = 20) const;

private:
    void indexLines();

    QByteArray m_raw;      // the file in the system charset
    QByteArray m_text;     // m_raw, or its conversion from the OEM code page
    std::vector<qsizetype> m_lineStart;
    FileOrigin m_origin = FileOrigin::Windows;
    QStringList m_notes;
};

// A dBASE table read through shapelib.
class DbfTable
{
public:
    ~DbfTable();
    DbfTable(DbfTable &&) noexcept;
    DbfTable &operator=(DbfTable &&) noexcept;

    // Opens the table; nothing, with `error` saying why, when the file is
    // not a dBASE table or is cut short.
    [[nodiscard]] static std::optional<DbfTable> open(const QString &path, QString *error);

    [[nodiscard]] int recordCount() const;
    [[nodiscard]] int fieldCount() const;
    [[nodiscard]] QString fieldName(int field) const;
    // Memo, binary and picture fields keep their text in another file, which
    // is not read: their cells stay empty.
    [[nodiscard]] bool isMemo(int field) const;
    [[nodiscard]] QStringList memoFieldNames() const;
    [[nodiscard]] bool isDeleted(int record) const;
    // Whether the record can be read from the file (a table cut short or
    // changed since it was opened cannot).
    [[nodiscard]] bool readable(int record) const;
    // The field's value in the system charset (converted from the table's
    // code page when it names one), blanks trimmed. Empty when unreadable.
    [[nodiscard]] QByteArray value(int record, int field) const;
    // The code page the table names ("CP437", "UTF-8"); empty when none.
    [[nodiscard]] QByteArray codePage() const { return m_codePage; }

private:
    DbfTable() = default;
    void *m_handle = nullptr;
    QByteArray m_codePage;
    std::vector<bool> m_memo;
    struct Converter;
    std::shared_ptr<Converter> m_converter;
};

// Whether the wizard takes the file for a dBASE table: a ".db" or ".dbf"
// name that opens as one.
[[nodiscard]] bool looksLikeDbf(const QString &path);

// The wizard's choices for one import.
struct ImportChoices {
    ImportType type = ImportType::Delimited;
    int startRow = 1;                // 1-based line (text) or record (dBASE)
    DelimiterChoice delimiters;
    QByteArray breaks;               // fixed width
};

// Imports the lines of `source` from the start row into `table`: a blank
// table is filled from its first row, another one gets the records
// appended; the table widens to the widest record. Every line, an empty one
// too, makes one record (with quoted fields: every record). The table is
// changed only when the import succeeds: on a failure or a stop it is as
// before.
ImportResult importText(const TextSource &source, const ImportChoices &choices, ListTable &table,
                        const UnstorableFields &unstorable, const ImportProgress &progress = {});

// The same for a dBASE table: the records from the start row on (deleted
// records are left out), field i into column i.
ImportResult importDbf(const DbfTable &dbf, int startRow, ListTable &table, const UnstorableFields &unstorable,
                       const ImportProgress &progress = {});

// The same import written straight into a new list file `path` (replaced
// atomically), its lines joined by the list delimiter as a saved list
// table would be; the text is read twice (the widest record first) and no
// table is built.
ImportResult importTextToFile(const TextSource &source, const ImportChoices &choices, const QString &path,
                              const UnstorableFields &unstorable, const ImportProgress &progress = {});

// Most columns an import makes: a line with more fields is refused.
inline constexpr int kMaxImportColumns = 1000;

} // namespace varnholt
