#include "sending/resultfiles.h"

#include "project/listtable.h"
#include "settings/fields.h"
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
    static const QStringList codes{
        QStringLiteral("211  System status, or system help reply"),
        QStringLiteral("214  Help message [Information on how to use the receiver or the meaning of a particular "
                       "non-standart command: this reply is useful only to the human user]"),
        QStringLiteral("220  <domain> Service ready"),
        QStringLiteral("221  <domain> Service closing transmission channel"),
        QStringLiteral("250  Requested mail action okay, completed"),
        QStringLiteral("251  User not local: will forward to <forward-path>"),
        QStringLiteral("354  Start mail input: end with <CRLF>.<CRLF>"),
        QStringLiteral("421  <domain> Service not available, cloising transmission channel [This may be a reply "
                       "to any command if the service if the service khows it must shut down]"),
        QStringLiteral("450  Requested mail action not taken: mailbox unavailble. E.g., mailbox busy"),
        QStringLiteral("451  Requested action aborted: local error in processing"),
        QStringLiteral("452  Requested action not taken: insufficient system storage"),
        QStringLiteral("500  Syntax error, command unrecognized [This may include errors such as command line "
                       "too long]"),
        QStringLiteral("501  Syntax error in parameters or arguments"),
        QStringLiteral("502  Command not implemented"),
        QStringLiteral("503  Bad sequence of commands"),
        QStringLiteral("504  Command parameter not implemented"),
        QStringLiteral("550  Requested action not taken: mailbox unavailable [E.g., mailbox not found, no access]"),
        QStringLiteral("551  User not local; please try <forward-path>"),
        QStringLiteral("552  Requested mail action aborted: exceeded storage allocation"),
        QStringLiteral("553  Requested action not taken: mailbox name not a lowed [E.g., mailbox syntax "
                       "incorrected]"),
        QStringLiteral("554  Transaction failed"),
    };
    return codes;
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
