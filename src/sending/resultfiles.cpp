#include "sending/resultfiles.h"

#include "project/listtable.h"
#include "settings/fields.h"
#include "settings/settings.h"
#include "settings/syscharset.h"
#include "settings/textfile.h"

#include <QFileInfo>

namespace varnholt {

namespace {

bool rowChosen(const ResultTable &results, int r, SaveRows rows)
{
    switch (rows) {
    case SaveRows::All:
        return true;
    case SaveRows::Sent:
        return results.status(r) == RowStatus::Sent;
    case SaveRows::OtherSmtpError: {
        bool ok = false;
        const int code = results.code(r).toInt(&ok);
        return results.status(r) == RowStatus::Failed && ok && code > 0;
    }
    }
    return false;
}

// Calls `sink` with every line of the result file, in order; empty lines
// are left out. One line is built at a time.
template <typename Sink>
bool forEachResultLine(const ResultTable &results, const ListTable &list, QChar delimiter, SaveRows rows,
                       SaveFormat format, Sink &&sink)
{
    QString line;
    const auto appendListCells = [&](int r) {
        for (int c = 0; c < list.columnCount(); ++c) {
            if (c > 0)
                line += delimiter;
            line += list.cell(r, c);
        }
    };
    const auto appendStatusCells = [&](int r) {
        for (ResultTable::Cell cell : {ResultTable::Cell::State, ResultTable::Cell::Result, ResultTable::Cell::Code,
                                       ResultTable::Cell::Comment}) {
            line += delimiter;
            line += results.cell(r, cell);
        }
    };
    for (int r = 0; r < results.rowCount(); ++r) {
        if (!rowChosen(results, r, rows))
            continue;
        line.truncate(0);
        switch (format) {
        case SaveFormat::EmailOnly:
            line += results.address(r);
            break;
        case SaveFormat::ListFields:
            appendListCells(r);
            break;
        case SaveFormat::EmailAndStatus:
            line += results.address(r);
            appendStatusCells(r);
            break;
        case SaveFormat::ListFieldsAndStatus:
            appendListCells(r);
            appendStatusCells(r);
            break;
        }
        if (!line.isEmpty() && !sink(QStringView(line)))
            return false;
    }
    return true;
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
    forEachResultLine(results, list, delimiter, rows, format, [&lines](QStringView line) {
        lines.append(line.toString());
        return true;
    });
    return lines;
}

// Written in pieces of about a megabyte: a list of a million rows never has
// its whole result file in memory.
bool writeResultFile(const QString &path, const ResultTable &results, const ListTable &list, QChar delimiter,
                     SaveRows rows, SaveFormat format, QString *error)
{
    return writeFileAtomicallyStreamed(
        path,
        [&](QIODevice &out) {
            QByteArray block;
            const auto flush = [&] {
                const bool written = out.write(block) == block.size();
                block.truncate(0);
                return written;
            };
            const bool ok = forEachResultLine(results, list, delimiter, rows, format, [&](QStringView line) {
                block += SystemCharset::fromUnicode(line);
                block += "\r\n";
                return block.size() < (1 << 20) || flush();
            });
            return ok && flush();
        },
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
        bool remove = false;
        switch (choice) {
        case DeleteChoice::Sent:
            remove = results.status(r) == RowStatus::Sent;
            break;
        case DeleteChoice::Unsent:
            remove = results.status(r) == RowStatus::Failed;
            break;
        case DeleteChoice::Codes: {
            const QString code = results.code(r).trimmed();
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
