#pragma once

#include "sending/resulttable.h"

#include <QChar>
#include <QString>
#include <QStringList>

#include <vector>

// "Save As" of the sending run's results and "Delete from list".
namespace varnholt {

class ListTable;

// Which rows a result file gets.
enum class SaveRows {
    All,            // "Save All"
    Sent,           // "All sent emails": status 1
    OtherSmtpError, // "Other SMTP error ": status 2 with a reply code above 0
};

// What a written row holds.
enum class SaveFormat {
    EmailOnly,          // "Save only email address field"
    ListFields,         // "Save only mailing list fields "
    EmailAndStatus,     // "Save email and all status fields"
    ListFieldsAndStatus // "Save all mailing list and status fields "
};

// The captions, exactly as the save dialog shows them.
[[nodiscard]] QString saveRowsCaption(SaveRows rows);
[[nodiscard]] QString saveFormatCaption(SaveFormat format);

// The result file's name as the save dialog hands it on: ".txt" appended
// when it has no extension.
[[nodiscard]] QString resultFileName(const QString &entered);

// The lines of a result file: the chosen rows of `results` in order, each
// in the chosen format, fields joined by `delimiter`; empty lines are left
// out. `list` is the project table the results belong to.
[[nodiscard]] QStringList resultFileLines(const ResultTable &results, const ListTable &list, QChar delimiter,
                                          SaveRows rows, SaveFormat format);
// Writes those lines, each ended with CR LF, replacing the file.
bool writeResultFile(const QString &path, const ResultTable &results, const ListTable &list, QChar delimiter,
                     SaveRows rows, SaveFormat format, QString *error = nullptr);

// Which rows "Delete from list" removes.
enum class DeleteChoice {
    Sent,   // "All sent emails (available addresses)": status 1
    Unsent, // "Unsent emails": status 2
    Codes,  // "Status code is ...": the code is one of the code set
};

[[nodiscard]] QString deleteChoiceCaption(DeleteChoice choice);

// The reply codes the delete dialog offers, "550  Requested action ...";
// the first three characters are the code.
[[nodiscard]] const QStringList &deleteDialogCodes();

// A code set as the delete dialog keeps it: ";" before each code
// (";550;551").
[[nodiscard]] QString codeSetOf(const QStringList &codes);

// The rows "Delete from list" removes, ascending. With Codes, a row goes
// when its code cell is not empty and is one of the codes of `codeSet`
// (whole codes: 55 is not in ";550").
[[nodiscard]] std::vector<int> rowsToDelete(const ResultTable &results, DeleteChoice choice,
                                            const QString &codeSet);

// Removes those rows from both tables in one pass each; the rows that stay
// keep their order, cells and status. A table left without rows keeps one
// blank row. Returns the number of rows removed.
int deleteFromList(ListTable &list, ResultTable &results, DeleteChoice choice, const QString &codeSet);

} // namespace varnholt
