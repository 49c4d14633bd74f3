// `send PROJECT.eml`: the mailing through the project's account on the
// sending run engine, or its messages as files with --dry-run.
#include "cli.h"
#include "openproject.h"
#include "stopsignals.h"

#include "project/project.h"
#include "sending/projectlock.h"
#include "sending/resultfiles.h"
#include "sending/sendingrun.h"
#include "settings/textfile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <tuple>

namespace varnholt::cli {

namespace {

struct SendOptions {
    QString projectFile;
    QString resultsFile;
    QString traceFile;
    bool resume = false;
    bool restart = false;       // a fresh run although the last one did not finish
    bool resendUnknown = false; // resume: send rows whose outcome is unknown again
    int fromRow = 0; // 0-based; 0 also when not given
    // Direct delivery to the recipients' exchangers instead of the account's
    // server; empty or 0 values keep the project's settings.
    bool direct = false;
    int connections = 0;
    QString dns;
    QString smtpPort;
    // Temporary refusals tried again, and the minutes between the tries;
    // -1 keeps the project's value.
    int retryCount = -1;
    int retryMinutes = -1;
};

std::optional<SendOptions> parseSendOptions(const Invocation &inv, QString *error)
{
    SendOptions o;
    o.projectFile = inv.words.value(1);
    o.resultsFile = inv.option(QStringLiteral("--results"));
    o.traceFile = inv.option(QStringLiteral("--trace"));
    o.resume = inv.has(QStringLiteral("--resume"));
    o.restart = inv.has(QStringLiteral("--restart"));
    o.resendUnknown = inv.has(QStringLiteral("--resend-unknown"));
    for (const char *option : {"--results", "--trace"}) {
        if (inv.has(QLatin1String(option)) && inv.option(QLatin1String(option)).isEmpty()) {
            *error = QStringLiteral("%1 needs a file name").arg(QLatin1String(option));
            return std::nullopt;
        }
    }
    if (inv.has(QStringLiteral("--from-row"))) {
        bool ok = false;
        const int n = inv.option(QStringLiteral("--from-row")).toInt(&ok);
        if (!ok || n < 1) {
            *error = QStringLiteral("--from-row needs a record row number from 1 on");
            return std::nullopt;
        }
        o.fromRow = n - 1;
        o.resume = true; // a run from a chosen row is a resumed run
    }
    if (o.restart && o.resume) {
        *error = QStringLiteral("--restart starts the mailing again from the first row; it does not go with "
                                "--resume or --from-row");
        return std::nullopt;
    }
    if (o.resendUnknown && !o.resume) {
        *error = QStringLiteral("--resend-unknown goes with --resume");
        return std::nullopt;
    }
    o.direct = inv.has(QStringLiteral("--direct"));
    for (const char *option : {"--dns", "--smtp-port"}) {
        if (inv.has(QLatin1String(option)) && !o.direct) {
            *error = QStringLiteral("%1 goes with --direct").arg(QLatin1String(option));
            return std::nullopt;
        }
    }
    if (inv.has(QStringLiteral("--connections"))) {
        bool ok = false;
        o.connections = inv.option(QStringLiteral("--connections")).toInt(&ok);
        const int most = o.direct ? 1000 : tAccountObj::MaxConnections;
        if (!ok || o.connections < 1 || o.connections > most) {
            *error = QStringLiteral("--connections needs a number from 1 to %1").arg(most);
            return std::nullopt;
        }
    }
    if (inv.has(QStringLiteral("--dns"))) {
        o.dns = inv.option(QStringLiteral("--dns")).trimmed();
        if (o.dns.isEmpty()) {
            *error = QStringLiteral("--dns needs a DNS server, HOST[:PORT]");
            return std::nullopt;
        }
    }
    if (inv.has(QStringLiteral("--smtp-port"))) {
        bool ok = false;
        const int port = inv.option(QStringLiteral("--smtp-port")).toInt(&ok);
        if (!ok || port < 1 || port > 65535) {
            *error = QStringLiteral("--smtp-port needs a port number from 1 to 65535");
            return std::nullopt;
        }
        o.smtpPort = QString::number(port);
    }
    for (auto [option, value, most] : {std::tuple{"--retry", &o.retryCount, kMaxRetryCount},
                                       {"--retry-after", &o.retryMinutes, kMaxRetryMinutes}}) {
        if (!inv.has(QLatin1String(option)))
            continue;
        bool ok = false;
        *value = inv.option(QLatin1String(option)).toInt(&ok);
        if (!ok || *value < 0 || *value > most) {
            *error = QStringLiteral("%1 needs a number from 0 to %2").arg(QLatin1String(option)).arg(most);
            return std::nullopt;
        }
    }
    return o;
}

// Why `file` cannot take what `option` writes (the results, the trace),
// checked before the first message is sent; nothing when it can. The
// project's own files are refused: writing over the list or the journal
// would destroy them.
std::optional<QString> outputFileProblem(QLatin1String option, const QString &file, const QStringList &ownFiles)
{
    const QFileInfo info(file);
    const auto same = [&info](const QString &own) {
        const QFileInfo o(own);
        return o.absoluteFilePath() == info.absoluteFilePath()
               || (o.exists() && info.exists() && o.canonicalFilePath() == info.canonicalFilePath());
    };
    for (const QString &own : ownFiles) {
        if (same(own))
            return QStringLiteral("%1 must not name one of the project's own files (\"%2\")").arg(option, own);
    }
    if (info.isDir())
        return QStringLiteral("%1 names the folder \"%2\"; give a file name").arg(option, file);
    const QByteArray native = QFile::encodeName(info.absoluteFilePath());
    if (info.exists()) {
        // Opened for appending, so the check changes nothing in it.
        const int fd = ::open(native.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0)
            return QStringLiteral("cannot write %1 \"%2\": %3").arg(option, file, SystemErrorText(errno));
        ::close(fd);
        return std::nullopt;
    }
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return QStringLiteral("cannot write %1 \"%2\": %3").arg(option, file, SystemErrorText(errno));
    ::close(fd);
    ::unlink(native.constData());
    return std::nullopt;
}

// A journal whose run did not reach its end, or left rows whose outcome
// nobody knows: a plain `send` would mail its accepted rows again.
bool isUnfinished(const ResultTable &results)
{
    for (int row = 0; row < results.rowCount(); ++row) {
        const RowStatus status = results.status(row);
        if (status != RowStatus::Sent && status != RowStatus::Failed)
            return true;
    }
    return false;
}

// Follows a run on the terminal and ends the event loop when it is over.
class RunObserver
{
public:
    // `outputClosed` is called once when standard output goes away (the
    // reader of a pipe ended).
    RunObserver(SendingRun &run, const Invocation &inv, int startRow, std::function<void()> outputClosed)
        : m_run(run)
        , m_json(inv.json)
        , m_tty(::isatty(STDOUT_FILENO) == 1)
        , m_startRow(startRow)
        , m_printed(size_t(run.results().rowCount()), false)
        , m_outputClosed(std::move(outputClosed))
    {
        m_clock.start();
    }

    [[nodiscard]] bool finished() const { return m_finished; }
    [[nodiscard]] bool completed() const { return m_completed; }

    void rowChanged(int row)
    {
        if (row < 0 || size_t(row) >= m_printed.size())
            return;
        const ResultTable &results = m_run.results();
        const RowStatus status = results.status(row);
        if (!isFinished(status)) {
            m_printed[size_t(row)] = false;
            return;
        }
        if (m_printed[size_t(row)])
            return;
        m_printed[size_t(row)] = true;
        ++m_finishedRows;
        if (m_json)
            return;
        if (m_tty) {
            // Failures stay on the screen above the bar.
            if (status != RowStatus::Sent) {
                write("\r\033[K");
                write(rowLine(results, row));
                drawBar(true);
            }
            return;
        }
        // A reader of the pipe sees each row as it finishes.
        write(rowLine(results, row));
        flush();
    }

    void countersChanged()
    {
        if (m_tty && !m_json && m_total >= 0)
            drawBar(false);
    }

    // Rows that already have their outcome (a resumed run) are not told
    // again; the bar counts the rest.
    void runStarted()
    {
        const ResultTable &results = m_run.results();
        m_total = 0;
        for (int row = 0; row < results.rowCount(); ++row) {
            const RowStatus status = results.status(row);
            m_printed[size_t(row)] = isFinished(status);
            const bool kept = status == RowStatus::Sent || (status == RowStatus::Unknown && !m_run.resendUnknown());
            // Deferred rows are tried wherever they are.
            if ((row >= m_startRow && !kept) || status == RowStatus::Deferred)
                ++m_total;
        }
    }

    // The account's limit holds the next message back: the bar says until
    // when; a reader of a pipe gets a line on standard error.
    void paceWait()
    {
        const QString until = m_run.paceResumeTime().toString(QStringLiteral("hh:mm:ss"));
        if (m_tty && !m_json)
            drawBar(true);
        else
            fail(QStringLiteral("waiting for the account's limit: next message at %1 (Ctrl+C stops)").arg(until),
                 ExitOk);
    }

    // Deferred rows wait for their next try, or a 421 paused the run.
    void retryWait()
    {
        if (m_tty && !m_json)
            drawBar(true);
        else
            fail(waitText() + QStringLiteral(" (Ctrl+C stops)"), ExitOk);
    }

    void runFinished(bool completed)
    {
        m_finished = true;
        m_completed = completed;
        if (m_tty && !m_json) {
            drawBar(true);
            write("\n");
        }
        flush();
    }

    [[nodiscard]] int finishedRows() const { return m_finishedRows; }
    [[nodiscard]] double seconds() const { return double(m_clock.elapsed()) / 1000.0; }

private:
    [[nodiscard]] static bool isFinished(RowStatus status)
    {
        return status == RowStatus::Sent || status == RowStatus::Failed || status == RowStatus::Unknown;
    }

    // "row<TAB>address<TAB>state<TAB>result or comment", in the local charset.
    static QByteArray rowLine(const ResultTable &results, int row)
    {
        const RowStatus status = results.status(row);
        const QString &comment = results.comment(row);
        const QString &text = status == RowStatus::Sent || comment.isEmpty() ? results.result(row) : comment;
        QString line = QString::number(row + 1);
        line += u'\t';
        line += results.address(row);
        line += u'\t';
        if (status == RowStatus::Unknown)
            line += QStringLiteral("Unknown");
        else
            line += results.state(row).isEmpty() ? QStringLiteral("No") : results.state(row);
        line += u'\t';
        line += text;
        // Nothing from a list cell or a server reaches the terminal as a
        // control sequence.
        for (QChar &c : line) {
            if (c.unicode() < 0x20 && c != u'\t')
                c = u' ';
            else if (c.unicode() == 0x7f || (c.unicode() >= 0x80 && c.unicode() <= 0x9f))
                c = u'?';
        }
        line += u'\n';
        return line.toLocal8Bit();
    }

    // Output to a reader that went away ends the output, not the run.
    void write(QByteArrayView bytes)
    {
        if (m_outputGone)
            return;
        if (std::fwrite(bytes.data(), 1, size_t(bytes.size()), stdout) != size_t(bytes.size()))
            outputFailed();
    }
    void flush()
    {
        if (!m_outputGone && std::fflush(stdout) != 0)
            outputFailed();
    }
    void outputFailed()
    {
        m_outputGone = true;
        if (m_outputClosed)
            m_outputClosed();
    }

    void drawBar(bool force)
    {
        if (!force && m_lastDraw.isValid() && m_lastDraw.elapsed() < 100)
            return;
        m_lastDraw.start();
        const int total = std::max(m_total, 0);
        const int done = std::min(m_finishedRows, total);
        constexpr int width = 30;
        const int filled = total > 0 ? int(qint64(done) * width / total) : width;
        const double secs = seconds();
        const QString bar = QStringLiteral("\r\033[K[%1%2] %3/%4  ok %5  failed %6  %7 msgs/s")
                                .arg(QString(filled, u'#'), QString(width - filled, u'-'))
                                .arg(done)
                                .arg(total)
                                .arg(m_run.good())
                                .arg(m_run.bad())
                                .arg(secs > 0 ? int(done / secs) : 0)
                            + (m_run.deferred() > 0 ? QStringLiteral("  deferred %1").arg(m_run.deferred())
                                                    : QString())
                            + (m_run.state() == SendingRun::State::PaceWait
                                   ? QStringLiteral("  waiting for the account's limit until ")
                                         + m_run.paceResumeTime().toString(QStringLiteral("hh:mm:ss"))
                                   : QString())
                            + (m_run.state() == SendingRun::State::RetryWait ? QStringLiteral("  ") + waitText()
                                                                              : QString());
        write(bar.toLocal8Bit());
        flush();
    }

    [[nodiscard]] QString waitText() const
    {
        const QString until = m_run.retryResumeTime().toString(QStringLiteral("hh:mm:ss"));
        return m_run.serverPaused()
                   ? QStringLiteral("the mail server asked for a pause (421): sending goes on at %1").arg(until)
                   : QStringLiteral("waiting to try %1 deferred rows again at %2").arg(m_run.deferred()).arg(until);
    }

    SendingRun &m_run;
    bool m_json;
    bool m_tty;
    int m_startRow;
    std::vector<bool> m_printed;
    int m_total = -1; // rows this run is to finish; -1 before it starts
    bool m_finished = false;
    bool m_completed = false;
    int m_finishedRows = 0;
    QElapsedTimer m_clock;
    QElapsedTimer m_lastDraw;
    std::function<void()> m_outputClosed;
    bool m_outputGone = false;
};

// Exit code of a finished run: 0 when it reached the end of the list and
// every row from its start row on was sent.
// What the run told, in the words of the command line: a refusal names the
// setting to mend.
QString refusalText(const RunNotice &notice, const Project &project)
{
    switch (notice.kind) {
    case RunNotice::Kind::NoSmtpServer:
        return QStringLiteral("the project's account (NIniInfo=%1) has no SMTP server; set it up in \"%2\"")
            .arg(project.settings().NConnect)
            .arg(settingsFilePath());
    case RunNotice::Kind::NoEmailColumn:
        return QStringLiteral("the project's e-mail column (Column=%1) is not in the list; choose it in the project")
            .arg(project.settings().Column);
    case RunNotice::Kind::NoRecipients:
        return QStringLiteral("the list \"%1\" has no recipients; fill the recipient list").arg(project.listFile());
    case RunNotice::Kind::Busy:
        return QStringLiteral("a run of this project is already going on");
    default:
        break;
    }
    const NoticeMessage message = NoticeText(notice);
    return message.caption + QStringLiteral(": ") + message.text;
}

int exitCodeOf(const ResultTable &results, int startRow, bool completed)
{
    if (!completed)
        return ExitFailed;
    for (int row = startRow; row < results.rowCount(); ++row) {
        if (results.status(row) != RowStatus::Sent)
            return ExitFailed;
    }
    return ExitOk;
}

int runAccountSend(const Invocation &inv, const SendOptions &options)
{
    if (!QFileInfo(settingsFilePath()).isFile())
        return fail(QStringLiteral("no settings file \"%1\": set up a mail account in the desktop program, or "
                                   "give the program folder that holds one with --home DIR")
                        .arg(settingsFilePath()),
                    ExitUsage);
    QString error;
    const auto opened = openProject(options.projectFile, true, &error);
    if (!opened)
        return fail(error, ExitUsage);
    Project &project = *opened->project;
    if (!options.direct && options.connections > 0) {
        // For this run: the account's own number stays in the settings file.
        for (int i = 0; i < opened->program.accounts.count(); ++i)
            opened->program.accounts.item(i)->Connections = options.connections;
    }
    SendingRun run(project, opened->program.accounts);
    if (options.direct) {
        DirectSettings direct = DirectSettings::fromProject(project.settings());
        if (options.connections > 0)
            direct.connections = options.connections;
        if (!options.dns.isEmpty())
            direct.dns = options.dns;
        if (!options.smtpPort.isEmpty())
            direct.port = options.smtpPort;
        run.setTransport(SendingTransport::Direct);
        run.setDirectSettings(direct);
    }
    if (const RunNotice problem = run.readiness(); !problem.isNone())
        return fail(refusalText(problem, project), ExitUsage);
    const ListTable &table = project.table();
    if (options.fromRow >= table.rowCount())
        return fail(QStringLiteral("--from-row must lie between 1 and %1, the list's record count").arg(table.rowCount()),
                    ExitUsage);

    // One run per project, held until the results are written.
    const auto lock = ProjectLock::acquire(project.folder(), project.name(), &error);
    if (!lock)
        return fail(error, ExitUsage);
    const QString journalPath = ResultJournal::pathForProject(project.folder(), project.name());
    const QStringList ownFiles{project.settingsFile(), project.listFile(), project.plainTextFile(),
                               project.htmlFile(), journalPath, lock->path()};
    for (const auto &[option, file] : {std::pair{"--results", options.resultsFile}, {"--trace", options.traceFile}}) {
        if (file.isEmpty())
            continue;
        if (const auto problem = outputFileProblem(QLatin1String(option), file, ownFiles))
            return fail(*problem, ExitUsage);
    }
    // The dialogue with the servers in the test-script form, passwords hidden.
    QFile trace(options.traceFile);
    if (!options.traceFile.isEmpty() && !trace.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return fail(QStringLiteral("cannot write the trace to \"%1\": %2").arg(options.traceFile, trace.errorString()),
                    ExitUsage);

    run.setResendUnknown(options.resendUnknown);
    if (options.retryCount >= 0 || options.retryMinutes >= 0)
        run.setRetries(options.retryCount >= 0 ? options.retryCount : project.settings().RetryCount,
                       options.retryMinutes >= 0 ? options.retryMinutes : project.settings().RetryMinutes);
    if (trace.isOpen()) {
        run.accountTransport().setTrace(&trace);
        run.pop3().setTrace(&trace);
    }
    std::optional<ResultTable> saved;
    QString damage;
    if (QFileInfo::exists(journalPath))
        saved = ResultJournal::load(journalPath, &damage);
    if (options.resume) {
        if (!saved && QFileInfo::exists(journalPath))
            return fail(QStringLiteral("the results of the last run \"%1\" %2; send with --restart to start the "
                                       "mailing again from the first row")
                            .arg(journalPath, damage),
                        ExitUsage);
        if (saved && !run.restoreResults(*saved))
            return fail(QStringLiteral("the results of the last run (\"%1\") do not fit the list any more; "
                                       "send with --restart to start again")
                            .arg(journalPath),
                        ExitUsage);
        if (!saved && !inv.has(QStringLiteral("--from-row")))
            return fail(QStringLiteral("nothing to resume: no results of an earlier run beside the project (\"%1\"); "
                                       "send without --resume")
                            .arg(journalPath),
                        ExitUsage);
    } else if (!options.restart && QFileInfo::exists(journalPath) && (!saved || isUnfinished(*saved))) {
        // Starting over would mail every accepted row of that run again.
        const QString state =
            saved ? QStringLiteral("did not finish (%1 rows sent, %2 outcome unknown, %3 not sent yet%4)")
                        .arg(saved->count(RowStatus::Sent))
                        .arg(saved->count(RowStatus::Unknown) + saved->count(RowStatus::InProgress))
                        .arg(saved->count(RowStatus::NotProcessed))
                        .arg(saved->count(RowStatus::Deferred) > 0
                                 ? QStringLiteral(", %1 deferred").arg(saved->count(RowStatus::Deferred))
                                 : QString())
                  : QStringLiteral("left results that cannot be read (\"%1\" %2)").arg(journalPath, damage);
        return fail(QStringLiteral("the last run of this project %1: send with --resume to continue it, or with "
                                   "--restart to send to every row again")
                        .arg(state),
                    ExitUsage);
    }
    saved.reset();
    if (const int unknown = run.results().count(RowStatus::Unknown); unknown > 0 && !options.resendUnknown)
        fail(QStringLiteral("%1 rows have an unknown outcome (their message went out, the server's answer never "
                            "came); they are not sent again: check them, or resume with --resend-unknown")
                 .arg(unknown),
             ExitOk);
    run.setJournalPath(journalPath);

    if (options.direct)
        fail(QStringLiteral("direct delivery: the messages go from this computer straight to the recipients' "
                            "mail servers on port %1. Most networks block outgoing port 25, and receivers expect "
                            "SPF and DKIM for the sender's domain: without them the mail is refused or taken "
                            "for spam.")
                 .arg(run.directSettings().port),
             ExitOk);

    // Ctrl+C: the messages with the servers get their answers first, so that
    // no accepted message is counted as failed (and sent again on --resume);
    // then the run stops as "Stop" does. A second Ctrl+C stops at once: a
    // message whose "." went out is then "outcome unknown", never resent.
    int stopRequests = 0;
    const auto requestStop = [&](const QString &why) {
        ++stopRequests;
        if (stopRequests == 1 && run.waiting() > 0) {
            fail(why + QStringLiteral(": stopping after the messages on the way (Ctrl+C again stops at once)"),
                 ExitOk);
            run.stopAfterMessagesOnTheWay();
            return;
        }
        if (stopRequests >= 2)
            ::signal(SIGINT, SIG_DFL); // a third one ends the process
        run.stop();
    };

    RunObserver observer(run, inv, options.fromRow, [&] {
        // The reader of standard output went away (`send ... | head`).
        QMetaObject::invokeMethod(
            &run, [&] { requestStop(QStringLiteral("standard output closed")); }, Qt::QueuedConnection);
    });
    QObject::connect(&run, &SendingRun::rowChanged, &run, [&observer](int row) { observer.rowChanged(row); });
    QObject::connect(&run, &SendingRun::countersChanged, &run, [&observer] { observer.countersChanged(); });
    QObject::connect(&run, &SendingRun::notice, &run, [&project](const RunNotice &notice) {
        // The end of the list is told by the summary.
        if (notice.kind != RunNotice::Kind::Completed)
            fail(refusalText(notice, project));
    });
    QObject::connect(&run, &SendingRun::logFailed, &run,
                     [](const QString &why) { fail(QStringLiteral("send log: ") + why); });
    QObject::connect(&run, &SendingRun::stateChanged, &run, [&run, &observer](SendingRun::State state) {
        if (state == SendingRun::State::PaceWait)
            observer.paceWait();
        if (state == SendingRun::State::RetryWait)
            observer.retryWait();
        if (state == SendingRun::State::SeriesPause)
            fail(QStringLiteral("series pause of %1 minutes; the next batch follows (Ctrl+C stops)")
                     .arg(run.series().pauseMilliseconds() / 60000),
                 ExitOk);
    });
    QObject::connect(&run, &SendingRun::runFinished, &run, [&observer](bool completed) {
        observer.runFinished(completed);
        QCoreApplication::exit(0);
    });

    StopSignals stopSignals;
    stopSignals.onSignal([&] { requestStop(QStringLiteral("interrupted")); });

    bool refused = false;
    QTimer::singleShot(0, &run, [&] {
        observer.runStarted();
        const RunStart start = options.resume ? run.resume(options.fromRow) : run.sendMail();
        if (!start && !observer.finished()) {
            refused = true; // the run's notice said why
            QCoreApplication::exit(ExitUsage);
        }
    });
    QCoreApplication::exec();
    if (refused)
        return ExitUsage;

    const ResultTable &results = run.results();
    int code = exitCodeOf(results, options.fromRow, observer.completed());
    if (!options.resultsFile.isEmpty()
        && !writeResultFile(options.resultsFile, results, table, project.delimiter(), SaveRows::All,
                            SaveFormat::EmailAndStatus, &error)) {
        fail(QStringLiteral("cannot write the results to \"%1\": %2").arg(options.resultsFile, error));
        code = ExitFailed;
    }
    const int sent = results.count(RowStatus::Sent);
    const int failed = results.count(RowStatus::Failed);
    const int unknown = results.count(RowStatus::Unknown);
    const int deferred = results.count(RowStatus::Deferred);
    const int open = results.rowCount() - sent - failed - unknown - deferred;
    QJsonObject doc;
    doc.insert(QStringLiteral("completed"), observer.completed());
    doc.insert(QStringLiteral("rows"), results.rowCount());
    doc.insert(QStringLiteral("sent"), sent);
    doc.insert(QStringLiteral("failed"), failed);
    doc.insert(QStringLiteral("unknown"), unknown);
    doc.insert(QStringLiteral("deferred"), deferred);
    doc.insert(QStringLiteral("notProcessed"), open);
    doc.insert(QStringLiteral("thisRun"), observer.finishedRows());
    doc.insert(QStringLiteral("seconds"), observer.seconds());
    doc.insert(QStringLiteral("journal"), journalPath);
    if (!run.stopReason().isNone())
        doc.insert(QStringLiteral("stopReason"), NoticeText(run.stopReason()).text);
    if (!options.resultsFile.isEmpty())
        doc.insert(QStringLiteral("results"), options.resultsFile);
    if (run.sendLog().isOpen() || !run.sendLog().path().isEmpty())
        doc.insert(QStringLiteral("log"), run.sendLog().path());
    QString text = QStringLiteral("%1: %2 rows sent, %3 failed, %4 not processed")
                       .arg(observer.completed() ? QStringLiteral("Completed") : QStringLiteral("Stopped"))
                       .arg(sent)
                       .arg(failed)
                       .arg(open);
    if (unknown > 0)
        text += QStringLiteral(", %1 outcome unknown").arg(unknown);
    if (deferred > 0)
        text += QStringLiteral(", %1 deferred").arg(deferred);
    text += QStringLiteral(" (%1 finished in %2 s)\n").arg(observer.finishedRows()).arg(observer.seconds(), 0, 'f', 1);
    if (code != ExitOk)
        text += QStringLiteral("Send the rest with: send %1 --resume\n").arg(options.projectFile);
    print(inv, doc, text);
    return code;
}

} // namespace

int runSend(const Invocation &inv)
{
    QString error;
    const auto options = parseSendOptions(inv, &error);
    if (inv.words.size() != 2 || !options)
        return fail((error.isEmpty() ? QString() : error + QStringLiteral("; "))
                        + QStringLiteral("usage: send PROJECT.eml [--dry-run DIR | [--results FILE] [--trace FILE] "
                                         "[--resume [--resend-unknown] | --from-row N | --restart] "
                                         "[--connections N] [--direct [--dns HOST[:PORT]] [--smtp-port N]] "
                                         "[--retry N --retry-after MINUTES]]"),
                    ExitUsage);
    if (inv.has(QStringLiteral("--dry-run")))
        return runDryRun(inv, options->projectFile, inv.option(QStringLiteral("--dry-run")));
    return runAccountSend(inv, *options);
}

} // namespace varnholt::cli
