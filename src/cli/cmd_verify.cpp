// `verify PROJECT.eml [--dns HOST[:PORT]] [--connections N] [--timeout S]
// [--delete-unavailable [--force]] [--save FILE]`: the verification of the
// project's addresses by MX queries, as the verification window runs it.
#include "cli.h"
#include "openproject.h"

#include "sending/projectlock.h"
#include "settings/programfolder.h"
#include "verify/dnsmxquery.h"
#include "verify/verifyrun.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

namespace varnholt::cli {

namespace {

void drawProgress(int done, int total)
{
    constexpr int kWidth = 30;
    const int filled = total > 0 ? int(qint64(done) * kWidth / total) : kWidth;
    std::fprintf(stderr, "\r[%s%s] %d/%d", QByteArray(filled, '#').constData(),
                 QByteArray(kWidth - filled, ' ').constData(), done, total);
    std::fflush(stderr);
}

} // namespace

int runVerify(const Invocation &inv)
{
    if (inv.words.size() != 2)
        return fail(QStringLiteral("usage: verify PROJECT.eml [--dns HOST[:PORT]] [--connections N] [--timeout S] "
                                   "[--delete-unavailable [--force]] [--save FILE]"),
                    ExitUsage);
    QString error;
    const auto opened = openProject(inv.words[1], false, &error);
    if (!opened)
        return fail(error, ExitUsage);
    Project &project = *opened->project;
    const bool deleting = inv.has(QStringLiteral("--delete-unavailable"));
    if (deleting && !project.listReadWhole() && !inv.has(QStringLiteral("--force")))
        return refuseListNotReadWhole(project);
    project.setListOverwriteConfirmed(inv.has(QStringLiteral("--force")));
    // Not while a run sends to this list: the rows would move under it.
    const auto lock = ProjectLock::acquire(project.folder(), project.name(), &error);
    if (!lock)
        return fail(error, ExitUsage);

    const TIniInfo &s = project.settings();
    const int emailColumn = s.Column;
    // The addresses as a run sends to them ("Name <user@host>" is user@host);
    // the list file keeps what the user wrote.
    ListTable cleaned;
    cleaned.assign(project.table());
    cleaned.normaliseAddresses(emailColumn);
    QStringList addresses;
    for (int r = 0; r < cleaned.rowCount(); ++r)
        addresses << cleaned.cell(r, emailColumn);

    VerifyRun run(DnsMxQuery::factory());
    run.setAddresses(addresses);
    run.setConnections(inv.option(QStringLiteral("--connections"), QString::number(s.NumberConnect)));
    run.setDnsServer(inv.option(QStringLiteral("--dns"), s.DnsIP));
    bool ok = false;
    const int timeOut = inv.option(QStringLiteral("--timeout"), QString::number(s.TimeOut)).toInt(&ok);
    if (!ok || timeOut < 1)
        return fail(QStringLiteral("--timeout takes a number of seconds, 1 or more"), ExitUsage);
    run.setTimeOut(timeOut);
    if (run.dnsServer().isEmpty())
        return fail(QStringLiteral("no DNS server: give --dns HOST[:PORT]"), ExitUsage);
    if (QString why; !DnsMxQuery::checkServer(run.dnsServer(), &why))
        return fail(QStringLiteral("the DNS server \"%1\" cannot be asked: %2").arg(run.dnsServer(), why), ExitUsage);
    QFile log(ProgramFolder::filePath(QStringLiteral("verifylog.txt")));
    if (log.open(QIODevice::WriteOnly | QIODevice::Truncate))
        run.setLog(&log);

    const bool tty = !inv.json && ::isatty(STDERR_FILENO) == 1;
    QObject::connect(&run, &VerifyRun::querySendFailed, [](const QString &message) {
        std::fprintf(stderr, "\nvarnholt-cli: a query could not be sent: %s\n", qPrintable(message));
    });
    if (tty)
        QObject::connect(&run, &VerifyRun::rowChanged, [&run] { drawProgress(run.done(), run.rowCount()); });
    QObject::connect(&run, &VerifyRun::finished, QCoreApplication::instance(), &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QElapsedTimer clock;
    clock.start();
    run.start(false);
    QCoreApplication::exec();
    if (tty)
        std::fputc('\n', stderr);
    log.close();

    int counts[6] = {};
    for (const VerifyRow &row : run.rows())
        ++counts[int(row.number)];

    if (const QString save = inv.option(QStringLiteral("--save")); !save.isEmpty() && !run.saveAs(save, &error))
        return fail(QStringLiteral("cannot write \"%1\": %2").arg(save, error));

    int deleted = 0;
    if (deleting) {
        const std::vector<int> rows = run.unavailableRows();
        if (!rows.empty()) {
            project.table().removeRowSet(rows);
            if (!project.saveList(&error))
                return fail(QStringLiteral("cannot save the list \"%1\": %2").arg(project.listFile(), error));
            deleted = int(rows.size());
        }
    }

    QJsonObject doc;
    QJsonArray rows;
    QString text;
    QTextStream out(&text);
    for (const VerifyRow &row : run.rows()) {
        rows.append(QJsonObject{{QStringLiteral("email"), row.address},
                                {QStringLiteral("state"), row.state},
                                {QStringLiteral("code"), row.code.trimmed()},
                                {QStringLiteral("comment"), row.comment}});
        out << row.address << ';' << row.state << ';' << row.code.trimmed() << ';' << row.comment << '\n';
    }
    const int available = counts[int(VerifyState::Available)];
    const int unavailable = counts[int(VerifyState::Unavailable)] + counts[int(VerifyState::Invalid)];
    const int unanswered = counts[int(VerifyState::TimedOut)] + counts[int(VerifyState::QueryError)];
    doc.insert(QStringLiteral("rows"), rows);
    doc.insert(QStringLiteral("records"), run.rowCount());
    doc.insert(QStringLiteral("available"), available);
    doc.insert(QStringLiteral("unavailable"), unavailable);
    doc.insert(QStringLiteral("invalid"), counts[int(VerifyState::Invalid)]);
    doc.insert(QStringLiteral("timedOut"), counts[int(VerifyState::TimedOut)]);
    doc.insert(QStringLiteral("errors"), counts[int(VerifyState::QueryError)]);
    doc.insert(QStringLiteral("goodDomains"), int(run.goodDomains().size()));
    doc.insert(QStringLiteral("badDomains"), int(run.badDomains().size()));
    doc.insert(QStringLiteral("deleted"), deleted);
    doc.insert(QStringLiteral("seconds"), clock.nsecsElapsed() / 1e9);
    out << QStringLiteral("%1 addresses: %2 available, %3 unavailable (%4 without a domain), %5 without an answer; "
                          "%6 deleted from the list\n")
               .arg(run.rowCount())
               .arg(available)
               .arg(unavailable)
               .arg(counts[int(VerifyState::Invalid)])
               .arg(unanswered)
               .arg(deleted);
    out.flush();
    print(inv, doc, text);
    return unavailable + unanswered > 0 ? ExitFailed : ExitOk;
}

} // namespace varnholt::cli
