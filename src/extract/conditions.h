#pragma once

#include "extract/textscan.h"

#include <QString>
#include <QStringList>

#include <vector>

// What an extraction run needs: the folder and mask, the record markers,
// the table options and the field definitions, as the user typed them
// (numbers are parsed when a run starts), and the ".cnd" file they are
// kept in.
namespace varnholt::extract {

// One field to extract, in the order of the conditions file.
struct rItem {
    QString name;       // "Field Name"; ignored when empty after trimming
    QString begin;      // "Field begin": a marker, or finders "^Find@", "^FindUrl", "^FindDomain"
    QString end;        // "Field end"
    QString identNumber; // "Identifier number": which occurrence of Begin (1)
    QString symbols;    // "Number of symbols": longest value in characters (0: no limit)
    QString words;      // "Number of words" (0: not used)
    QString lines;      // "Number of lines" (0: not used)
    QString lineNumber; // "Line number": the value starts at this line (0, 1: not used)
    QString unique;     // "Unique": any text drops a record whose value was seen before
    bool operator==(const rItem &) const = default;
};

struct ExtractConditions {
    QString folder;
    QString mask = QStringLiteral("*.*");
    QString recordBegin;
    QString recordEnd;
    bool lengthLimitOn = false;
    QString lengthLimit = QStringLiteral("1000000");
    bool tableMode = false;        // "Search table inside record"
    bool htmlTable = true;         // "Find HTML Table Number"
    QString tableNumber = QStringLiteral("1");
    bool delimitedData = false;    // "Find Text Delimited Data"
    QString dataDelimiter = QStringLiteral(";");
    bool keepQuoted = false;       // "Do not split fields if there are symbols in \"..\""
    bool delimiterRuns = false;    // "Apply several delimiters as single"
    std::vector<rItem> items{rItem{}};

    bool operator==(const ExtractConditions &) const = default;

    // The definitions that take part in a run: those with a name.
    [[nodiscard]] std::vector<rItem> namedItems() const;
};

// A definition as a run uses it: markers lower-cased, finders named,
// numbers parsed (unparsable ones take their defaults; an identifier below
// 1 counts as 1, since an occurrence before the first is never reached).
[[nodiscard]] FieldRule fieldRuleOf(const rItem &item);

// The defaults, the folder being the current one.
[[nodiscard]] ExtractConditions defaultConditions();

// Reads a conditions file. A missing or unreadable file gives the defaults
// (`ok` false); a folder that cannot be opened becomes the folder of the
// conditions file.
[[nodiscard]] ExtractConditions readConditions(const QString &path, bool *ok = nullptr);
// The file's bytes: CR LF lines in the system charset.
[[nodiscard]] QByteArray conditionsFileBytes(const ExtractConditions &c);
[[nodiscard]] ExtractConditions parseConditions(const QByteArray &bytes);
bool writeConditions(const QString &path, const ExtractConditions &c, QString *error = nullptr);

// Values joined by commas; a value holding a blank, a comma, a double quote
// or a control character is put in double quotes with its quotes doubled.
[[nodiscard]] QString CommaText(const QStringList &values);
// Reads comma text back into values: values are separated by commas or by
// unquoted blanks (blanks and control characters around a separator are
// skipped); a value in double quotes may hold commas and blanks, and a
// doubled double quote inside it stands for one. Two commas in a row give
// an empty value; a comma at the end gives none.
[[nodiscard]] QStringList SplitCommaText(const QString &text);

} // namespace varnholt::extract
