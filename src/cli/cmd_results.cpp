// `results PROJECT.eml --delete sent|unsent|codes:550,551 [--force]`:
// "Delete from list" on the result table the last run left beside the
// project; --force saves a list that was not read whole.
#include "cli.h"
#include "openproject.h"

#include "sending/projectlock.h"
#include "sending/resultfiles.h"
#include "sending/resulttable.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace varnholt::cli {

namespace {

struct DeleteRequest {
    DeleteChoice choice = DeleteChoice::Sent;
    QString codeSet; // ";550;551"
};

// "sent", "unsent" or "codes:" with comma-separated three-digit codes.
std::optional<DeleteRequest> parseDeleteRequest(const QString &text)
{
    if (text == u"sent")
        return DeleteRequest{DeleteChoice::Sent, {}};
    if (text == u"unsent")
        return DeleteRequest{DeleteChoice::Unsent, {}};
    if (!text.startsWith(u"codes:"))
        return std::nullopt;
    static const QRegularExpression code(QStringLiteral("^[1-5][0-9][0-9]$"));
    QStringList codes;
    for (const QString &part : text.mid(6).split(u',')) {
        const QString c = part.trimmed();
        if (!code.match(c).hasMatch())
            return std::nullopt;
        codes.append(c);
    }
    return DeleteRequest{DeleteChoice::Codes, codeSetOf(codes)};
}

} // namespace

int runResults(const Invocation &inv)
{
    const auto request = parseDeleteRequest(inv.option(QStringLiteral("--delete")));
    if (inv.words.size() != 2 || !request)
        return fail(QStringLiteral("usage: results PROJECT.eml --delete sent|unsent|codes:550,551"), ExitUsage);
    QString error;
    const auto opened = openProject(inv.words[1], false, &error);
    if (!opened)
        return fail(error, ExitUsage);
    Project &project = *opened->project;
    // Saving a list that was not read whole would lose the rest of its file.
    if (!project.listReadWhole() && !inv.has(QStringLiteral("--force")))
        return refuseListNotReadWhole(project);
    project.setListOverwriteConfirmed(inv.has(QStringLiteral("--force")));
    // Not while a run writes these results: it would send the rows again
    // that this deletes from under it.
    const auto lock = ProjectLock::acquire(project.folder(), project.name(), &error);
    if (!lock)
        return fail(error, ExitUsage);
    const QString journalPath = ResultJournal::pathForProject(project.folder(), project.name());
    QString why;
    auto results = ResultJournal::load(journalPath, &why);
    if (!results && !QFileInfo::exists(journalPath))
        return fail(QStringLiteral("no results of a run beside the project (\"%1\"); run send first").arg(journalPath),
                    ExitUsage);
    if (!results)
        return fail(QStringLiteral("the results of the last run \"%1\" %2").arg(journalPath, why), ExitUsage);

    // The run saw the cleaned addresses; the list file keeps what the user
    // wrote, so compare against a cleaned copy and delete from the original.
    ListTable &list = project.table();
    const int emailColumn = project.settings().Column;
    ListTable cleaned;
    cleaned.assign(list);
    cleaned.normaliseAddresses(emailColumn);
    if (!results->matches(cleaned, emailColumn))
        return fail(QStringLiteral("the list \"%1\" changed since the last run, so its results no longer fit; "
                                   "run send again")
                        .arg(project.listFile()),
                    ExitUsage);

    const int deleted = deleteFromList(list, *results, request->choice, request->codeSet);
    if (deleted > 0) {
        if (!project.saveList(&error))
            return fail(QStringLiteral("cannot save the list \"%1\": %2").arg(project.listFile(), error));
        // The remaining results move up with their rows, so that --resume and
        // a further `results` still describe the saved list.
        ResultJournal journal(journalPath);
        if (!journal.writeSnapshot(*results, &error))
            return fail(QStringLiteral("the list was saved, but its results \"%1\" could not be: %2; "
                                       "run send again before using --resume")
                            .arg(journalPath, error));
    }
    QJsonObject doc;
    doc.insert(QStringLiteral("deleted"), deleted);
    doc.insert(QStringLiteral("records"), list.rowCount());
    print(inv, doc, QStringLiteral("Deleted %1 rows; the list has %2 records\n").arg(deleted).arg(list.rowCount()));
    return ExitOk;
}

} // namespace varnholt::cli
