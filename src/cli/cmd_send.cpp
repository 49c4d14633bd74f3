// `send PROJECT.eml`: the mailing through the project's account on the
// sending run engine, or its messages as files with --dry-run.
#include "cli.h"
#include "openproject.h"

#include "sending/resultfiles.h"
#include "sending/sendingrun.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace varnholt::cli {

namespace {

// Ctrl+C and SIGTERM reach the event loop through a socket pair: the
// handler only writes one byte (async-signal-safe), the loop does the work.
int stopPipe[2] = {-1, -1};

extern "C" void onStopSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(stopPipe[0], &byte, 1);
    errno = saved;
}

class StopSignals
{
public:
    StopSignals()
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, stopPipe) != 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(stopPipe[1], QSocketNotifier::Read);
        struct sigaction sa = {};
        sa.sa_handler = onStopSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &sa, &m_oldInt);
        ::sigaction(SIGTERM, &sa, &m_oldTerm);
    }
    ~StopSignals()
    {
        if (!m_notifier)
            return;
        ::sigaction(SIGINT, &m_oldInt, nullptr);
        ::sigaction(SIGTERM, &m_oldTerm, nullptr);
        m_notifier.reset();
        ::close(stopPipe[0]);
        ::close(stopPipe[1]);
        stopPipe[0] = stopPipe[1] = -1;
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // Calls `handler` once per signal received.
    void onSignal(const std::function<void()> &handler)
    {
        if (!m_notifier)
            return;
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [handler] {
            char bytes[16];
            qint64 n = 0;
            while ((n = ::read(stopPipe[1], bytes, sizeof bytes)) > 0) {
                for (qint64 i = 0; i < n; ++i)
                    handler();
            }
        });
    }

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    struct sigaction m_oldInt = {};
    struct sigaction m_oldTerm = {};
};

struct SendOptions {
    QString projectFile;
    QString resultsFile;
    bool resume = false;
    int fromRow = 0; // 0-based; 0 also when not given
};

std::optional<SendOptions> parseSendOptions(const Invocation &inv, QString *error)
{
    SendOptions o;
    o.projectFile = inv.words.value(1);
    o.resultsFile = inv.option(QStringLiteral("--results"));
    o.resume = inv.has(QStringLiteral("--resume"));
    if (inv.has(QStringLiteral("--results")) && o.resultsFile.isEmpty()) {
        *error = QStringLiteral("--results needs a file name");
        return std::nullopt;
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
    return o;
}

// Follows a run on the terminal and ends the event loop when it is over.
class RunObserver
{
public:
    RunObserver(SendingRun &run, const Invocation &inv, int startRow)
        : m_run(run)
        , m_json(inv.json)
        , m_tty(::isatty(STDOUT_FILENO) == 1)
        , m_startRow(startRow)
        , m_printed(size_t(run.results().rowCount()), false)
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
        if (status != RowStatus::Sent && status != RowStatus::Failed) {
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
            if (status == RowStatus::Failed) {
                std::fputs("\r\033[K", stdout);
                std::fputs(rowLine(results, row).constData(), stdout);
                drawBar(true);
            }
            return;
        }
        std::fputs(rowLine(results, row).constData(), stdout);
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
            m_printed[size_t(row)] = status == RowStatus::Sent || status == RowStatus::Failed;
            if (row >= m_startRow && status != RowStatus::Sent)
                ++m_total;
        }
    }

    void runFinished(bool completed)
    {
        m_finished = true;
        m_completed = completed;
        if (m_tty && !m_json)
            drawBar(true), std::fputs("\n", stdout);
        std::fflush(stdout);
    }

    [[nodiscard]] int finishedRows() const { return m_finishedRows; }
    [[nodiscard]] double seconds() const { return double(m_clock.elapsed()) / 1000.0; }

private:
    // "row<TAB>address<TAB>state<TAB>result or comment", in the local charset.
    static QByteArray rowLine(const ResultTable &results, int row)
    {
        const QString &comment = results.comment(row);
        const QString &text =
            results.status(row) == RowStatus::Sent || comment.isEmpty() ? results.result(row) : comment;
        QString line = QString::number(row + 1);
        line += u'\t';
        line += results.address(row);
        line += u'\t';
        line += results.state(row).isEmpty() ? QStringLiteral("No") : results.state(row);
        line += u'\t';
        line += text;
        for (QChar &c : line) {
            if (c == u'\r' || c == u'\n')
                c = u' ';
        }
        line += u'\n';
        return line.toLocal8Bit();
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
                                .arg(secs > 0 ? int(done / secs) : 0);
        std::fputs(bar.toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
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
};

// Exit code of a finished run: 0 when it reached the end of the list and
// every row from its start row on was sent.
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
    if (opened->account.SMTPServer.trimmed().isEmpty())
        return fail(QStringLiteral("the project's account (NIniInfo=%1) has no SMTP server; set it up in \"%2\"")
                        .arg(project.settings().NConnect)
                        .arg(settingsFilePath()),
                    ExitUsage);
    if (opened->project->table().columnCount() <= project.settings().Column)
        return fail(QStringLiteral("the project's e-mail column (Column=%1) is not in the list; choose it in the "
                                   "project")
                        .arg(project.settings().Column),
                    ExitUsage);
    const ListTable &table = project.table();
    if (table.rowCount() == 1 && table.cell(0, project.settings().Column).isEmpty())
        return fail(QStringLiteral("the list \"%1\" has no recipients; fill the recipient list").arg(project.listFile()),
                    ExitUsage);
    if (options.fromRow >= table.rowCount())
        return fail(QStringLiteral("--from-row must lie between 1 and %1, the list's record count").arg(table.rowCount()),
                    ExitUsage);

    SendingRun run(project, opened->program.accounts);
    const QString journalPath = ResultJournal::pathForProject(project.folder(), project.name());
    if (!options.resultsFile.isEmpty() && QFileInfo(options.resultsFile).absoluteFilePath() == journalPath)
        return fail(QStringLiteral("--results must not name the run's own results file \"%1\"").arg(journalPath),
                    ExitUsage);
    if (options.resume && QFileInfo::exists(journalPath)) {
        const auto saved = ResultJournal::load(journalPath);
        if (!saved || !run.restoreResults(*saved))
            return fail(QStringLiteral("the results of the last run (\"%1\") do not fit the list any more; "
                                       "send without --resume to start again")
                            .arg(journalPath),
                        ExitUsage);
    } else if (options.resume && !inv.has(QStringLiteral("--from-row"))) {
        return fail(QStringLiteral("nothing to resume: no results of an earlier run beside the project (\"%1\"); "
                                   "send without --resume")
                        .arg(journalPath),
                    ExitUsage);
    }
    run.setJournalPath(journalPath);

    RunObserver observer(run, inv, options.fromRow);
    QObject::connect(&run, &SendingRun::rowChanged, &run, [&observer](int row) { observer.rowChanged(row); });
    QObject::connect(&run, &SendingRun::countersChanged, &run, [&observer] { observer.countersChanged(); });
    QObject::connect(&run, &SendingRun::messageToUser, &run,
                     [&run](const QString &text, const QString &caption, UserMessageIcon) {
                         // The end of the list is told by the summary.
                         if (text != run.text(stProcessCompleted))
                             fail(caption + QStringLiteral(": ") + text);
                     });
    QObject::connect(&run, &SendingRun::logFailed, &run,
                     [](const QString &why) { fail(QStringLiteral("send log: ") + why); });
    QObject::connect(&run, &SendingRun::stateChanged, &run, [&run](SendingRun::State state) {
        if (state == SendingRun::State::SeriesPause)
            fail(QStringLiteral("series pause of %1 minutes; the next batch follows (Ctrl+C stops)")
                     .arg(run.series().pauseMilliseconds() / 60000),
                 ExitOk);
    });
    QObject::connect(&run, &SendingRun::runFinished, &run, [&observer](bool completed) {
        observer.runFinished(completed);
        QCoreApplication::exit(0);
    });

    // Ctrl+C: the message with the server gets its answer first, so that no
    // accepted message is counted as failed (and sent again on --resume);
    // then the run stops as "Stop" does. A second Ctrl+C stops at once.
    int stopRequests = 0;
    bool stopAfterRow = false;
    StopSignals stopSignals;
    stopSignals.onSignal([&] {
        ++stopRequests;
        if (stopRequests == 1 && run.state() == SendingRun::State::Sending
            && run.currentRow() >= 0 && run.results().status(run.currentRow()) == RowStatus::InProgress) {
            fail(QStringLiteral("stopping after the current message (Ctrl+C again stops at once)"), ExitOk);
            stopAfterRow = true;
            return;
        }
        if (stopRequests >= 2)
            ::signal(SIGINT, SIG_DFL); // a third one ends the process
        run.stop();
    });
    QObject::connect(&run, &SendingRun::rowChanged, &run, [&](int row) {
        if (!stopAfterRow || row != run.currentRow() || run.results().status(row) == RowStatus::InProgress)
            return;
        stopAfterRow = false;
        // After the run has taken the outcome in.
        QMetaObject::invokeMethod(&run, [&run] { run.stop(); }, Qt::QueuedConnection);
    });

    QTimer::singleShot(0, &run, [&] {
        observer.runStarted();
        if (options.resume)
            run.resume(options.fromRow);
        else
            run.sendMail();
        if (!observer.finished() && !run.isRunning())
            QCoreApplication::exit(ExitUsage); // the run refused to start; it said why
    });
    const int loop = QCoreApplication::exec();
    if (loop == ExitUsage && !observer.finished())
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
    const int open = results.rowCount() - sent - failed;
    QJsonObject doc;
    doc.insert(QStringLiteral("completed"), observer.completed());
    doc.insert(QStringLiteral("rows"), results.rowCount());
    doc.insert(QStringLiteral("sent"), sent);
    doc.insert(QStringLiteral("failed"), failed);
    doc.insert(QStringLiteral("notProcessed"), open);
    doc.insert(QStringLiteral("thisRun"), observer.finishedRows());
    doc.insert(QStringLiteral("seconds"), observer.seconds());
    doc.insert(QStringLiteral("journal"), journalPath);
    if (!options.resultsFile.isEmpty())
        doc.insert(QStringLiteral("results"), options.resultsFile);
    if (run.sendLog().isOpen() || !run.sendLog().path().isEmpty())
        doc.insert(QStringLiteral("log"), run.sendLog().path());
    QString text = QStringLiteral("%1: %2 rows sent, %3 failed, %4 not processed (%5 finished in %6 s)\n")
                       .arg(observer.completed() ? QStringLiteral("Completed") : QStringLiteral("Stopped"))
                       .arg(sent)
                       .arg(failed)
                       .arg(open)
                       .arg(observer.finishedRows())
                       .arg(observer.seconds(), 0, 'f', 1);
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
                        + QStringLiteral("usage: send PROJECT.eml [--dry-run DIR | [--results FILE] [--resume] "
                                         "[--from-row N]]"),
                    ExitUsage);
    if (inv.has(QStringLiteral("--dry-run")))
        return runDryRun(inv, options->projectFile, inv.option(QStringLiteral("--dry-run")));
    return runAccountSend(inv, *options);
}

} // namespace varnholt::cli
