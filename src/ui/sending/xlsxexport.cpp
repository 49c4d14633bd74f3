#include "ui/sending/xlsxexport.h"

#include "sending/xlsxexport.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"
#include "ui/common/shellopen.h"

#include <QDir>
#include <QStandardPaths>

namespace varnholt {

bool ExportToExcel(QWidget *parent, const QString &fileName, const QString &sheetName, const QStringList &header,
                   const std::vector<QStringList> &rows, const ExcelExportTexts &texts)
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const auto chosen = ShowFileDialog(parent, FileDialogKind::Save, QStringLiteral("Export to MS Excel"),
                                       QDir(documents.isEmpty() ? QDir::homePath() : documents).filePath(fileName),
                                       QStringLiteral("Excel workbook (*.xlsx);;All (*)"));
    if (!chosen)
        return false;
    QString path = *chosen;
    if (!path.endsWith(QStringLiteral(".xlsx"), Qt::CaseInsensitive))
        path += QStringLiteral(".xlsx");
    if (!writeXlsxWorkbook(path, sheetName.isEmpty() ? QStringLiteral("Sheet1") : sheetName, header, rows)) {
        ShowMessageBox(texts.initError + QStringLiteral("\n") + QDir::toNativeSeparators(path), texts.caption,
                       mbIconInformation);
        return false;
    }
    if (!OpenWithDefaultApplication(path)) {
        ShowMessageBox(texts.notFound + QStringLiteral("\nThe workbook is saved as \"%1\".").arg(QDir::toNativeSeparators(path)),
                       texts.caption, mbIconInformation);
        return false;
    }
    return true;
}

} // namespace varnholt
