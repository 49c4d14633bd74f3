#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// Spreadsheet export: a one-sheet .xlsx workbook with a header row and text
// cells, written with libxlsxwriter.
namespace varnholt {

// Writes `header` into row 1 and `rows` below it into the worksheet
// `sheetName` of a new workbook at `path` (replaced when it exists). Every
// data cell is formatted as text ("@"), so addresses, codes and times stay
// as written instead of being read as numbers or dates. Texts longer than a
// cell can hold (32767 characters) are cut. False, with `error` set, when
// the workbook cannot be written.
bool writeXlsxWorkbook(const QString &path, const QString &sheetName, const QStringList &header,
                       const std::vector<QStringList> &rows, QString *error = nullptr);

} // namespace varnholt
