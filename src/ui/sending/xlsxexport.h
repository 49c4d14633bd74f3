#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// "Export to MS Excel" of the windows: the rows go into an .xlsx workbook in
// the program folder, which the desktop then opens with its spreadsheet
// application.
namespace varnholt {

struct ExcelExportTexts {
    QString caption = QStringLiteral("Attention");
    QString initError = QStringLiteral("MS Excel initialization error"); // the workbook cannot be written
    QString notFound = QStringLiteral("Excel Not Found!");               // no application opens it
};

// Writes `header` and `rows` into the program folder's `fileName` (worksheet
// `sheetName`, "Sheet1" when empty) and opens it with the default
// application. A failure is shown in a message box with `texts` (information
// icon) and gives false.
bool ExportToExcel(const QString &fileName, const QString &sheetName, const QStringList &header,
                   const std::vector<QStringList> &rows, const ExcelExportTexts &texts = {});

} // namespace varnholt
