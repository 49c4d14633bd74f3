#include "cli.h"
#include "openproject.h"

#include <QJsonArray>

namespace varnholt::cli {

namespace {

int showProject(const Invocation &inv, const QString &file)
{
    QString error;
    const auto opened = openProject(file, false, &error, ListFile::Optional);
    if (!opened)
        return fail(error, ExitUsage);
    const Project &project = *opened->project;

    const TIniInfo &s = project.settings();
    const ListTable &table = project.table();
    QJsonObject doc;
    doc.insert(QStringLiteral("name"), project.name());
    doc.insert(QStringLiteral("folder"), project.folder());
    doc.insert(QStringLiteral("subject"), s.Subject);
    doc.insert(QStringLiteral("format"), s.Html ? QStringLiteral("html") : QStringLiteral("plain"));
    doc.insert(QStringLiteral("charset"), s.CharSet);
    doc.insert(QStringLiteral("account"), s.NConnect);
    doc.insert(QStringLiteral("delimiter"), delimiterName(project.delimiter()));
    doc.insert(QStringLiteral("records"), table.rowCount());
    doc.insert(QStringLiteral("columns"), table.columnCount());
    doc.insert(QStringLiteral("listReadWhole"), project.listReadWhole());
    doc.insert(QStringLiteral("emailColumn"), ListTable::columnTitle(s.Column));
    doc.insert(QStringLiteral("attachmentColumn"),
               s.ColumnA > 0 ? ListTable::columnTitle(s.ColumnA - 1) : QStringLiteral("None"));
    int addresses = 0;
    for (int r = 0; r < table.rowCount(); ++r)
        if (table.cellBytes(r, s.Column).contains('@'))
            ++addresses;
    doc.insert(QStringLiteral("addresses"), addresses);
    QJsonArray attachments;
    for (const ProjectAttachment &a : project.attachments())
        attachments.append(a.fullPath);
    doc.insert(QStringLiteral("attachments"), attachments);
    doc.insert(QStringLiteral("retryCount"), s.RetryCount);
    doc.insert(QStringLiteral("retryMinutes"), s.RetryMinutes);
    doc.insert(QStringLiteral("plainTextLines"), project.plainText().isEmpty()
                                                     ? 0
                                                     : int(project.plainText().split(u'\n').size()));

    QString text = QStringLiteral("Project %1 in %2\n").arg(project.name(), project.folder());
    text += QStringLiteral("  Subject: %1\n").arg(s.Subject);
    text += QStringLiteral("  Format: %1, charset entry %2, account %3\n")
                .arg(doc.value(QStringLiteral("format")).toString(), s.CharSet)
                .arg(s.NConnect);
    text += QStringLiteral("  List: %1 records, %2 columns, delimiter %3, e-mail in %4 (%5 addresses), "
                           "attachments in %6\n")
                .arg(table.rowCount())
                .arg(table.columnCount())
                .arg(delimiterName(project.delimiter()), doc.value(QStringLiteral("emailColumn")).toString())
                .arg(addresses)
                .arg(doc.value(QStringLiteral("attachmentColumn")).toString());
    text += s.RetryCount > 0 ? QStringLiteral("  Temporary refusals: retried %1 times, %2 minutes apart\n")
                                   .arg(s.RetryCount)
                                   .arg(s.RetryMinutes)
                             : QStringLiteral("  Temporary refusals: not retried\n");
    text += QStringLiteral("  Attachments: %1\n").arg(attachments.size());
    for (const ProjectAttachment &a : project.attachments())
        text += QStringLiteral("    %1\n").arg(a.fullPath);
    const int rows = qMin(table.rowCount(), 5);
    text += QStringLiteral("  First records:\n");
    for (int r = 0; r < rows; ++r) {
        QStringList cells;
        for (int c = 0; c < table.columnCount(); ++c)
            cells.append(table.cell(r, c));
        text += QStringLiteral("    ") + cells.join(QStringLiteral(" | ")) + u'\n';
    }
    print(inv, doc, text);
    return ExitOk;
}

} // namespace

int runProject(const Invocation &inv)
{
    if (inv.words.size() == 3 && inv.words[1] == u"show")
        return showProject(inv, inv.words[2]);
    return fail(QStringLiteral("usage: project show PROJECT.eml"), ExitUsage);
}

} // namespace varnholt::cli
