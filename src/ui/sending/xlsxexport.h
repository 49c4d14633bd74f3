#pragma once

#include <QString>
#include <QStringList>

#include <vector>

class QWidget;

// "Export to MS Excel" of the windows: the rows go into an .xlsx workbook
// where the user chooses, which the desktop then opens with its spreadsheet
// application.
namespace varnholt {

struct ExcelExportTexts {
    QString caption = QStringLiteral("Attention");
    QString initError = QStringLiteral("MS Excel initialization error"); // the workbook cannot be written
    QString notFound = QStringLiteral("Excel Not Found!");               // no application opens it
};

// Asks where to save the workbook (`fileName` in the user's documents
// folder offered), writes `header` and `rows` there (worksheet `sheetName`,
// "Sheet1" when empty) and opens it with the default application. False
// when the user cancelled (nothing written) or on a failure, which is shown
// in a message box with `texts`; when no application opens the workbook the
// box says where it is.
bool ExportToExcel(QWidget *parent, const QString &fileName, const QString &sheetName, const QStringList &header,
                   const std::vector<QStringList> &rows, const ExcelExportTexts &texts = {});

} // namespace varnholt
