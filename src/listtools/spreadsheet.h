#pragma once

#include "listtools/importsource.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

// The import wizard's spreadsheet origin: reads a worksheet of an Office
// Open XML workbook (.xlsx), an OpenDocument spreadsheet (.ods) or an old
// binary workbook (.xls) without a spreadsheet program, and appends its rows
// to a list table or writes them to a list file.
//
// Cells come as the user sees them: numbers without a trailing ".0", text
// cells as written (leading zeros kept), dates and times in the system's
// short form, formulas as their cached results, every cell of a merged range
// with the value of its top-left cell, rich text flattened. Empty rows are
// left out. Values are bytes in the system charset, like the list itself.
//
// The archives are read as streams: a sheet is never held whole in memory.
// A part that expands beyond kMaxPartBytes, or far beyond its compressed
// size, is taken for a ZIP bomb and refused; XML with a document type
// declaration (entities, external or not) is refused.
namespace varnholt {

class ListTable;

enum class SpreadsheetFormat { Xlsx, Ods, Xls };

// The sheet's limits (rows and columns) of current spreadsheet programs.
inline constexpr int kMaxSheetRows = 1048576;
inline constexpr int kMaxSheetColumns = 16384;

// "A" for column 0, "AB" for column 27.
[[nodiscard]] QString spreadsheetColumnName(int column);

// A rectangle of a sheet, 0-based and inclusive; -1 leaves that side open.
struct CellRange {
    int firstRow = 0;
    int firstColumn = 0;
    int lastRow = -1;
    int lastColumn = -1;

    [[nodiscard]] bool containsRow(qint64 row) const { return row >= firstRow && (lastRow < 0 || row <= lastRow); }
    [[nodiscard]] bool containsColumn(int column) const
    {
        return column >= firstColumn && (lastColumn < 0 || column <= lastColumn);
    }
    // "A1:H100", "B3:" (B3 to the end), "A:C" (whole columns), "2:50"
    // (whole rows); empty for the whole sheet.
    [[nodiscard]] QString toString() const;
    bool operator==(const CellRange &) const = default;
};

// Reads a range as written above (case ignored, blanks allowed around the
// colon; a single cell "B3" is that one cell). Nothing when it is not one.
[[nodiscard]] std::optional<CellRange> parseCellRange(QStringView text);

// Called with a sheet row (0-based) inside the range and its cells from the
// range's first column on, trailing empty cells left off; false stops.
using SheetRowSink = std::function<bool(qint64 row, std::span<const QByteArray> cells)>;

// How a pass over a sheet ended.
struct SheetReadResult {
    bool ok = false;
    bool stopped = false; // the sink or the progress callback stopped it
    QString error;
};

// A workbook opened for reading.
class Workbook
{
public:
    // Most bytes one part of an archive may expand to.
    static constexpr qint64 kMaxPartBytes = qint64(4) << 30;
    // A part that has expanded beyond this many bytes ...
    static constexpr qint64 kRatioCheckAfter = qint64(64) << 20;
    // ... to more than this many times its compressed size is a ZIP bomb.
    static constexpr qint64 kMaxRatio = 200;
    // Most bytes of the XML between two of its items (a text, a tag).
    static constexpr qint64 kMaxXmlItemBytes = qint64(16) << 20;
    // Most bytes of shared strings (one copy of each text of an .xlsx).
    static constexpr qint64 kMaxSharedStringBytes = qint64(1) << 30;
    // Most merged ranges of a sheet that are filled in.
    static constexpr int kMaxMergedRanges = 100000;

    ~Workbook();
    Workbook(Workbook &&) noexcept;
    Workbook &operator=(Workbook &&) noexcept;

    // Opens the workbook and reads its sheet list (and, for .xlsx, the
    // shared strings and styles). Which kind it is comes from its content,
    // not its name. Nothing, with `error` saying why, when the file is not a
    // workbook, is protected by a password, or is damaged.
    [[nodiscard]] static std::optional<Workbook> open(const QString &path, QString *error,
                                                      const ImportProgress &progress = {});

    [[nodiscard]] SpreadsheetFormat format() const;
    [[nodiscard]] QString path() const;
    [[nodiscard]] QStringList sheetNames() const;
    // The sheet of that name (case ignored when no name matches exactly), or -1.
    [[nodiscard]] int sheetIndex(const QString &name) const;

    // Reads the rows of `sheet` inside `range`, empty ones left out, and
    // hands them to `sink` in order.
    SheetReadResult readRows(int sheet, const CellRange &range, const SheetRowSink &sink,
                             const ImportProgress &progress = {}) const;

    // The first `maxRows` non-empty rows inside the range, as text.
    [[nodiscard]] std::vector<QStringList> preview(int sheet, const CellRange &range, int maxRows,
                                                   QString *error = nullptr) const;

    // Things the user should know about the sheets read so far (merged
    // cells left as they are).
    [[nodiscard]] QStringList notes() const;

    class Reader;

private:
    explicit Workbook(std::unique_ptr<Reader> reader);
    std::unique_ptr<Reader> m_reader;
};

// The wizard's choices for a spreadsheet import.
struct SheetChoices {
    int sheet = 0;
    // The range's first non-empty row holds the column titles: it is not
    // imported (a list's columns keep their own titles).
    bool titles = false;
    CellRange range;
};

// What a spreadsheet import did, with the titles row when there was one.
struct SheetImportResult : ImportResult {
    QStringList titles;
};

// Imports the sheet's rows into `table` like the text import does: a blank
// table is filled from its first row, another gets the rows appended, the
// table widens to the widest row; on a failure, a refusal or a stop the
// table is as it was. Cells holding the list delimiter or a line break are
// counted first and the import refused for them unless `unstorable` gives a
// replacement (`firstUnstorableLine` is then the sheet row, 1-based).
SheetImportResult importSpreadsheet(const Workbook &book, const SheetChoices &choices, ListTable &table,
                                    const UnstorableFields &unstorable, const ImportProgress &progress = {});

// The same import written straight into a new list file `path` (replaced
// atomically), each line as wide as the widest row; no table is built.
SheetImportResult importSpreadsheetToFile(const Workbook &book, const SheetChoices &choices, const QString &path,
                                          const UnstorableFields &unstorable, const ImportProgress &progress = {});

// Whether the file looks like a workbook by its first bytes, whatever its
// name: a ZIP archive (.xlsx, .ods) or an OLE compound file (.xls).
[[nodiscard]] bool looksLikeSpreadsheet(const QString &path);

} // namespace varnholt
