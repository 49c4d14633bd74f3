#include "sending/resultfiles.h"

#include "project/listtable.h"
#include "settings/fields.h"
#include "settings/settings.h"
#include "settings/textfile.h"

#include <QFileInfo>

namespace varnholt {

namespace {

bool rowChosen(const ResultRow &row, SaveRows rows)
{
    switch (rows) {
    case SaveRows::All:
        return true;
    case SaveRows::Sent:
        return row.status == RowStatus::Sent;
    case SaveRows::OtherSmtpError: {
        bool ok = false;
        const int code = row.code.toInt(&ok);
        return row.status == RowStatus::Failed && ok && code > 0;
    }
    }
    return false;
}

QStringList listCells(const ListTable &list, int row)
{
    QStringList cells;
    for (int c = 0; c < list.columnCount(); ++c)
        cells.append(list.cell(row, c));
    return cells;
}

QStringList statusCells(const ResultRow &row)
{
    return {row.state, row.result, row.code, row.comment};
}

} // namespace

QString saveRowsCaption(SaveRows rows)
{
    switch (rows) {
    case SaveRows::All:
        return QStringLiteral("Save All");
    case SaveRows::Sent:
        return QStringLiteral("All sent emails");
    case SaveRows::OtherSmtpError:
        return QStringLiteral("Other SMTP error ");
    }
    return {};
}

QString saveFormatCaption(SaveFormat format)
{
    switch (format) {
    case SaveFormat::EmailOnly:
        return QStringLiteral("Save only email address field");
    case SaveFormat::ListFields:
        return QStringLiteral("Save only mailing list fields ");
    case SaveFormat::EmailAndStatus:
        return QStringLiteral("Save email and all status fields");
    case SaveFormat::ListFieldsAndStatus:
        return QStringLiteral("Save all mailing list and status fields ");
    }
    return {};
}

QString resultFileName(const QString &entered)
{
    return QFileInfo(entered).suffix().isEmpty() ? entered + QStringLiteral(".txt") : entered;
}

QStringList resultFileLines(const ResultTable &results, const ListTable &list, QChar delimiter, SaveRows rows,
                            SaveFormat format)
{
    QStringList lines;
    for (int r = 0; r < results.rowCount(); ++r) {
        const ResultRow &row = results.row(r);
        if (!rowChosen(row, rows))
            continue;
        QString line;
        switch (format) {
        case SaveFormat::EmailOnly:
            line = row.address;
            break;
        case SaveFormat::ListFields:
            line = listCells(list, r).join(delimiter);
            break;
        case SaveFormat::EmailAndStatus:
            line = (QStringList{row.address} + statusCells(row)).join(delimiter);
            break;
        case SaveFormat::ListFieldsAndStatus:
            line = (listCells(list, r) + statusCells(row)).join(delimiter);
            break;
        }
        if (!line.isEmpty())
            lines.append(line);
    }
    return lines;
}

bool writeResultFile(const QString &path, const ResultTable &results, const ListTable &list, QChar delimiter,
                     SaveRows rows, SaveFormat format, QString *error)
{
    return writeFileAtomically(path, joinLinesCrLf(resultFileLines(results, list, delimiter, rows, format)),
                               error);
}

QString deleteChoiceCaption(DeleteChoice choice)
{
    switch (choice) {
    case DeleteChoice::Sent:
        return QStringLiteral("All sent emails (available addresses)");
    case DeleteChoice::Unsent:
        return QStringLiteral("Unsent emails");
    case DeleteChoice::Codes:
        return QStringLiteral("Status code is ...");
    }
    return {};
}

const QStringList &deleteDialogCodes()
{
    return DefaultStatusCodes();
}

QString codeSetOf(const QStringList &codes)
{
    QString set;
    for (const QString &code : codes)
        set += u';' + code.trimmed();
    return set;
}

std::vector<int> rowsToDelete(const ResultTable &results, DeleteChoice choice, const QString &codeSet)
{
    const QStringList codes = SplitFields(u";", codeSet);
    std::vector<int> rows;
    for (int r = 0; r < results.rowCount(); ++r) {
        const ResultRow &row = results.row(r);
        bool remove = false;
        switch (choice) {
        case DeleteChoice::Sent:
            remove = row.status == RowStatus::Sent;
            break;
        case DeleteChoice::Unsent:
            remove = row.status == RowStatus::Failed;
            break;
        case DeleteChoice::Codes: {
            const QString code = row.code.trimmed();
            remove = !code.isEmpty() && codes.contains(code);
            break;
        }
        }
        if (remove)
            rows.push_back(r);
    }
    return rows;
}

int deleteFromList(ListTable &list, ResultTable &results, DeleteChoice choice, const QString &codeSet)
{
    const std::vector<int> rows = rowsToDelete(results, choice, codeSet);
    if (rows.empty())
        return 0;
    list.removeRowSet(rows);
    results.removeRowSet(rows);
    return int(rows.size());
}

} // namespace varnholt
