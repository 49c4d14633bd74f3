#include "ui/sending/xlsxexport.h"

#include "sending/xlsxexport.h"
#include "settings/programfolder.h"
#include "ui/common/messagebox.h"
#include "ui/common/shellopen.h"

namespace varnholt {

bool ExportToExcel(const QString &fileName, const QString &sheetName, const QStringList &header,
                   const std::vector<QStringList> &rows, const ExcelExportTexts &texts)
{
    const QString path = ProgramFolder::filePath(fileName);
    if (!writeXlsxWorkbook(path, sheetName.isEmpty() ? QStringLiteral("Sheet1") : sheetName, header, rows)) {
        ShowMessageBox(texts.initError, texts.caption, mbIconInformation);
        return false;
    }
    if (!OpenWithDefaultApplication(path)) {
        ShowMessageBox(texts.notFound, texts.caption, mbIconInformation);
        return false;
    }
    return true;
}

} // namespace varnholt
