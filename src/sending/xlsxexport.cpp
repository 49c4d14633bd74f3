#include "sending/xlsxexport.h"

#include <QFile>

#include <xlsxwriter.h>

#include <memory>

namespace varnholt {

namespace {

// The most characters a worksheet cell can hold.
constexpr int kMaxCellLength = 32767;

struct WorkbookCloser {
    void operator()(lxw_workbook *workbook) const
    {
        // An unwritten workbook is freed without writing it.
        if (workbook)
            workbook_close(workbook);
    }
};

QByteArray cellText(const QString &text)
{
    QString cut = text.left(kMaxCellLength);
    if (cut.size() == kMaxCellLength && cut.back().isHighSurrogate())
        cut.chop(1);
    return cut.toUtf8();
}

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

} // namespace

bool writeXlsxWorkbook(const QString &path, const QString &sheetName, const QStringList &header,
                       const std::vector<QStringList> &rows, QString *error)
{
    // libxlsxwriter writes a new file; an old one would otherwise survive a
    // failed write and be shown as if it were the new export.
    if (QFile::exists(path) && !QFile::remove(path)) {
        setError(error, QStringLiteral("Cannot replace %1").arg(path));
        return false;
    }
    const QByteArray fileName = QFile::encodeName(path);
    lxw_workbook *raw = workbook_new(fileName.constData());
    if (!raw) {
        setError(error, QStringLiteral("Cannot create %1").arg(path));
        return false;
    }
    std::unique_ptr<lxw_workbook, WorkbookCloser> workbook(raw);

    const QByteArray sheet = sheetName.toUtf8();
    lxw_worksheet *worksheet = workbook_add_worksheet(raw, sheet.isEmpty() ? nullptr : sheet.constData());
    if (!worksheet) {
        setError(error, QStringLiteral("Invalid worksheet name %1").arg(sheetName));
        return false;
    }
    lxw_format *text = workbook_add_format(raw);
    format_set_num_format(text, "@");

    for (int column = 0; column < header.size(); ++column)
        worksheet_write_string(worksheet, 0, lxw_col_t(column), cellText(header[column]).constData(), nullptr);

    for (size_t row = 0; row < rows.size(); ++row) {
        const QStringList &cells = rows[row];
        for (int column = 0; column < cells.size(); ++column) {
            const lxw_error result = worksheet_write_string(worksheet, lxw_row_t(row + 1), lxw_col_t(column),
                                                            cellText(cells[column]).constData(), text);
            if (result != LXW_NO_ERROR) {
                setError(error, QString::fromUtf8(lxw_strerror(result)));
                return false;
            }
        }
    }

    const lxw_error closed = workbook_close(workbook.release());
    if (closed != LXW_NO_ERROR) {
        setError(error, QString::fromUtf8(lxw_strerror(closed)));
        return false;
    }
    return true;
}

} // namespace varnholt
