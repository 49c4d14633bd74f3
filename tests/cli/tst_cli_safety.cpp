#include "clifixture.h"
#include "sending/projectlock.h"
#include "sending/resulttable.h"
#include "testservers.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/mount.h>
#include <unistd.h>

using namespace varnholt;
using namespace varnholt::testing;

namespace {

// A small tmpfs of its own, for a disk that fills up or turns read-only.
// Mounting needs root (CI runs as root); elsewhere the test skips.
class SmallTmpfs
{
public:
    SmallTmpfs(const QString &folder, const QByteArray &size)
        : m_folder(QFile::encodeName(folder))
    {
        QDir().mkpath(folder);
        m_mounted = ::geteuid() == 0
                    && ::mount("tmpfs", m_folder.constData(), "tmpfs", 0, ("size=" + size).constData()) == 0;
    }
    ~SmallTmpfs()
    {
        if (m_mounted)
            ::umount2(m_folder.constData(), MNT_DETACH);
    }
    SmallTmpfs(const SmallTmpfs &) = delete;
    SmallTmpfs &operator=(const SmallTmpfs &) = delete;

    [[nodiscard]] bool mounted() const { return m_mounted; }
    bool makeReadOnly()
    {
        return ::mount("tmpfs", m_folder.constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    QByteArray m_folder;
    bool m_mounted = false;
};

} // namespace

// The command line as a careless or hostile user meets it: two runs at once,
// a plain send after a stopped run, a results file over the list, a full
// disk, a closed pipe, a kill while the server holds a message's answer.
// Whatever happens, nobody gets a message twice and no row is skipped.
class TestCliSafety : public QObject, private CliFixture
{
    Q_OBJECT

    // The program folder's account sends to `sink`, which may write its dump
    // folder below `dir`.
    static void useSink(const QTemporaryDir &dir, const SmtpSink &sink)
    {
        openToAll(dir.path());
        writeSettings(dir.filePath("home"), sink.port());
    }

    static void checkNoneTwice(const QHash<QByteArray, int> &delivered)
    {
        for (auto it = delivered.cbegin(); it != delivered.cend(); ++it)
            QVERIFY2(it.value() == 1, it.key().constData());
    }

    static QHash<QByteArray, int> countOf(const QList<QByteArray> &recipients)
    {
        QHash<QByteArray, int> counts;
        for (const QByteArray &r : recipients)
            ++counts[r];
        return counts;
    }

private Q_SLOTS:
    void secondRunOnTheProjectIsRefused();
    void stoppedRunNeedsResumeOrRestart();
    void resultsFileIsCheckedBeforeSending_data();
    void resultsFileIsCheckedBeforeSending();
    void fullDiskStopsBeforeTheNextMessage();
    void readOnlyFolderRefusesToStart();
    void closedOutputStopsCleanly();
    void messageWithoutAnswerIsNeverResentUnasked();
    void soakWithKillsAndResumes();
};

void TestCliSafety::secondRunOnTheProjectIsRefused()
{
    QTemporaryDir dir;
    const QString project = makeProject(dir.path(), numberedList(3));
    writeSettings(dir.filePath("home"), 1);
    ResultTable results;
    results.setRowCount(3);
    for (int i = 0; i < 3; ++i)
        results.setAddress(i, QStringLiteral("user%1@example.org").arg(i + 1));
    results.setStatus(0, RowStatus::Sent);
    QVERIFY(ResultJournal(dir.filePath("p.results")).writeSnapshot(results));
    const QByteArray journalBefore = readFile(dir.filePath("p.results"));

    {
        // Another process's run: the lock is the same whoever holds it.
        QString error;
        const auto held = ProjectLock::acquire(dir.path(), "p", &error);
        QVERIFY2(held, qPrintable(error));
        for (const QStringList &args : {QStringList{"send", project, "--resume"},
                                        QStringList{"send", project, "--restart"},
                                        QStringList{"results", project, "--delete", "sent"}}) {
            const Result r = run(QStringList{"--home", dir.filePath("home")} + args);
            QCOMPARE(r.exitCode, 2);
            QVERIFY2(r.err.contains("another run is using the project"), r.err.constData());
            QVERIFY2(r.err.contains(QByteArray::number(qint64(::getpid()))), r.err.constData());
        }
        QCOMPARE(readFile(dir.filePath("p.results")), journalBefore);
        QCOMPARE(readFile(dir.filePath("p.txt")), numberedList(3));
    }
    // Released (as the kernel does when a run dies): it works again.
    const Result r = run({"--home", dir.filePath("home"), "results", project, "--delete", "sent"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.startsWith("Deleted 1 rows"), r.out.constData());
}

void TestCliSafety::stoppedRunNeedsResumeOrRestart()
{
    QTemporaryDir dir;
    SmtpSink sink;
    VARNHOLT_START_SERVER(sink, dir.filePath("dump"));
    useSink(dir, sink);
    const QString project = makeProject(dir.path(), numberedList(3));
    // A stopped run: row 1 accepted, row 2 in flight when it was killed,
    // row 3 never reached.
    ResultTable results;
    results.setRowCount(3);
    for (int i = 0; i < 3; ++i)
        results.setAddress(i, QStringLiteral("user%1@example.org").arg(i + 1));
    results.setRow(0, {"user1@example.org", "Ok", "Sent through ISP smtp mail server", "", "", RowStatus::Sent});
    results.setRow(1, {"user2@example.org", "", "Sending email through ISP ...", "", "", RowStatus::InProgress});
    QVERIFY(ResultJournal(dir.filePath("p.results")).writeSnapshot(results));

    const QStringList home{"--home", dir.filePath("home")};
    const Result plain = run(home + QStringList{"send", project});
    QCOMPARE(plain.exitCode, 2);
    QVERIFY2(plain.err.contains("did not finish (1 rows sent, 1 outcome unknown, 1 not sent yet)")
                 && plain.err.contains("--resume") && plain.err.contains("--restart"),
             plain.err.constData());
    QVERIFY(SmtpSink::storedMessages(dir.filePath("dump")).isEmpty());

    // --resume sends the row never reached, not the one in flight.
    const Result resumed = run(home + QStringList{"--json", "send", project, "--resume"});
    QCOMPARE(resumed.exitCode, 1); // row 2 is not known to be sent
    QVERIFY2(resumed.err.contains("1 rows have an unknown outcome"), resumed.err.constData());
    QCOMPARE(deliveredByRecipient(dir.filePath("dump")), (QHash<QByteArray, int>{{"user3@example.org", 1}}));
    const QJsonObject summary = QJsonDocument::fromJson(resumed.out).object();
    QCOMPARE(summary.value("unknown").toInt(), 1);
    QCOMPARE(summary.value("sent").toInt(), 2);
    QCOMPARE(ResultJournal::load(dir.filePath("p.results"))->status(1), RowStatus::Unknown);

    // Asked for, the unknown row goes out once more.
    const Result again = run(home + QStringList{"send", project, "--resume", "--resend-unknown"});
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(deliveredByRecipient(dir.filePath("dump")),
             (QHash<QByteArray, int>{{"user2@example.org", 1}, {"user3@example.org", 1}}));

    // A finished run may be sent again as a whole; --restart says so anyway.
    const Result restart = run(home + QStringList{"send", project, "--restart"});
    QCOMPARE(restart.exitCode, 0);
    QCOMPARE(deliveredByRecipient(dir.filePath("dump")),
             (QHash<QByteArray, int>{{"user1@example.org", 1}, {"user2@example.org", 2}, {"user3@example.org", 2}}));
}

void TestCliSafety::resultsFileIsCheckedBeforeSending_data()
{
    QTest::addColumn<QString>("resultsFile"); // relative to the project folder
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("the list") << "p.txt" << QByteArray("project's own files");
    QTest::newRow("the project file") << "p.eml" << QByteArray("project's own files");
    QTest::newRow("the plain text") << "p.mml" << QByteArray("project's own files");
    QTest::newRow("the list by another path") << "sub/../p.txt" << QByteArray("project's own files");
    QTest::newRow("a folder") << "sub" << QByteArray("folder");
    QTest::newRow("a missing folder") << "missing/out.txt" << QByteArray("No such file or directory");
}

void TestCliSafety::resultsFileIsCheckedBeforeSending()
{
    QFETCH(QString, resultsFile);
    QFETCH(QByteArray, message);
    QTemporaryDir dir;
    SmtpSink sink;
    VARNHOLT_START_SERVER(sink, dir.filePath("dump"));
    useSink(dir, sink);
    const QString project = makeProject(dir.path(), numberedList(2));
    QDir(dir.path()).mkdir("sub");
    const Result r = run({"--home", dir.filePath("home"), "send", project, "--results", dir.filePath(resultsFile)});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains(message), r.err.constData());
    QCOMPARE(readFile(dir.filePath("p.txt")), numberedList(2));
    QVERIFY(readFile(dir.filePath("p.eml")).startsWith("[Common]"));
    QVERIFY(SmtpSink::storedMessages(dir.filePath("dump")).isEmpty());
    QVERIFY(!QFile::exists(dir.filePath("p.results")));
}

void TestCliSafety::fullDiskStopsBeforeTheNextMessage()
{
    QTemporaryDir dir;
    SmallTmpfs disk(dir.filePath("disk"), "1m");
    if (!disk.mounted())
        QSKIP("mounting a tmpfs needs root");
    SmtpSink sink;
    VARNHOLT_START_SERVER(sink, dir.filePath("dump"));
    useSink(dir, sink);
    const int rows = 400;
    const QString folder = dir.filePath("disk");
    const QString project = makeProject(folder, numberedList(rows));
    // Leave room for the first snapshot and a few dozen rows, no more.
    {
        QFile filler(folder + "/filler");
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        filler.close();
        QFile::resize(filler.fileName(), filler.size() - 64 * 1024);
    }

    const Result stopped = run({"--home", dir.filePath("home"), "send", project});
    QCOMPARE(stopped.exitCode, 1);
    QVERIFY2(stopped.err.contains("No space left on device"), stopped.err.constData());
    QVERIFY2(!stopped.out.contains("Completed"), stopped.out.constData());
    const auto journal = ResultJournal::load(folder + "/p.results");
    QVERIFY(journal);
    const int recorded = journal->count(RowStatus::Sent);
    const int inFlight = journal->count(RowStatus::InProgress);
    const QHash<QByteArray, int> delivered = deliveredByRecipient(dir.filePath("dump"));
    QVERIFY2(recorded > 0 && recorded < rows, qPrintable(QString::number(recorded)));
    // At most the message whose outcome could not be written went further.
    QVERIFY(delivered.size() >= recorded && delivered.size() <= recorded + inFlight);
    // A pipelining connection holds at most three messages.
    QVERIFY2(inFlight <= 3, qPrintable(QString::number(inFlight)));

    QVERIFY(QFile::remove(folder + "/filler"));
    const Result resumed = run({"--home", dir.filePath("home"), "send", project, "--resume"});
    QCOMPARE(resumed.exitCode, inFlight == 0 ? 0 : 1);
    const QHash<QByteArray, int> after = deliveredByRecipient(dir.filePath("dump"));
    checkNoneTwice(after);
    QVERIFY(after.size() >= rows - inFlight);
    QCOMPARE(readFile(folder + "/p.txt"), numberedList(rows));
}

void TestCliSafety::readOnlyFolderRefusesToStart()
{
    QTemporaryDir dir;
    SmallTmpfs disk(dir.filePath("disk"), "1m");
    if (!disk.mounted())
        QSKIP("mounting a tmpfs needs root");
    SmtpSink sink;
    VARNHOLT_START_SERVER(sink, dir.filePath("dump"));
    useSink(dir, sink);
    const QString project = makeProject(dir.filePath("disk"), numberedList(2));
    QVERIFY(disk.makeReadOnly());
    const Result r = run({"--home", dir.filePath("home"), "send", project});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("Read-only file system"), r.err.constData());
    QVERIFY(SmtpSink::storedMessages(dir.filePath("dump")).isEmpty());
}

void TestCliSafety::closedOutputStopsCleanly()
{
    QTemporaryDir dir;
    SmtpSink sink;
    VARNHOLT_START_SERVER(sink, dir.filePath("dump"));
    useSink(dir, sink);
    const int rows = 200;
    const QString project = makeProject(dir.path(), numberedList(rows));
    QProcess shell;
    shell.start("/bin/bash", {"-c", QStringLiteral("\"$0\" --home \"$1\" send \"$2\" | head -n 1 >/dev/null; "
                                                   "echo ${PIPESTATUS[0]}"),
                              QStringLiteral(VARNHOLT_CLI), dir.filePath("home"), project});
    QVERIFY(shell.waitForFinished(120000));
    const int status = shell.readAllStandardOutput().trimmed().toInt();
    // Not killed by SIGPIPE (141): it stopped as on Ctrl+C, or finished.
    QVERIFY2(status == 0 || status == 1, qPrintable(QString::number(status)));
    const auto journal = ResultJournal::load(dir.filePath("p.results"));
    QVERIFY(journal);
    QCOMPARE(deliveredByRecipient(dir.filePath("dump")).size(), journal->count(RowStatus::Sent));

    const Result resumed = run({"--home", dir.filePath("home"), "send", project, "--resume"});
    QCOMPARE(resumed.exitCode, 0);
    const QHash<QByteArray, int> delivered = deliveredByRecipient(dir.filePath("dump"));
    QCOMPARE(delivered.size(), rows);
    checkNoneTwice(delivered);
}

void TestCliSafety::messageWithoutAnswerIsNeverResentUnasked()
{
    QTemporaryDir dir;
    const QString log = dir.filePath("accepted.log");
    const int rows = 6;
    const QString project = makeProject(dir.path(), numberedList(rows));
    {
        // The server takes two messages and then holds the third one's answer.
        FlakySmtp holding;
        VARNHOLT_START_SERVER(holding, log, 1, {"--hold-after", "2"});
        writeSettings(dir.filePath("home"), holding.port());
        QProcess first;
        first.start(QStringLiteral(VARNHOLT_CLI), {"--home", dir.filePath("home"), "send", project});
        QVERIFY(first.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(readFile(dir.filePath("p.results")).contains("\r\n2\t3\t"), 30000);
        // Standard output is a pipe: the rows that finished are there already.
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += first.readAllStandardOutput()).contains("\n2\tuser2@example.org\tOk\t"),
                                 10000);
        QVERIFY2(out.startsWith("1\tuser1@example.org\tOk\t"), out.constData());
        ::kill(pid_t(first.processId()), SIGKILL);
        QVERIFY(first.waitForFinished(10000));
    }
    // A server that answers at once: the third row stays unknown, the rest go.
    FlakySmtp server;
    VARNHOLT_START_SERVER(server, log, 2);
    writeSettings(dir.filePath("home"), server.port());
    const Result resumed = run({"--home", dir.filePath("home"), "send", project, "--resume"});
    QCOMPARE(resumed.exitCode, 1);
    QVERIFY2(resumed.err.contains("1 rows have an unknown outcome"), resumed.err.constData());
    const QHash<QByteArray, int> delivered = countOf(FlakySmtp::accepted(log));
    QCOMPARE(delivered.size(), rows - 1);
    QVERIFY(!delivered.contains("user3@example.org"));
    checkNoneTwice(delivered);

    // A connection dropped after the whole message: unknown at once, not failed.
    QVERIFY(QDir().mkpath(dir.filePath("second")));
    FlakySmtp dropping;
    VARNHOLT_START_SERVER(dropping, dir.filePath("second.log"), 3, {"--lose-dot", "1"});
    writeSettings(dir.filePath("home"), dropping.port());
    const Result lost = run({"--home", dir.filePath("home"), "send", makeProject(dir.filePath("second"), numberedList(1))});
    QCOMPARE(lost.exitCode, 1);
    QVERIFY2(lost.out.startsWith("1\tuser1@example.org\tUnknown\t"), lost.out.constData());
    QCOMPARE(ResultJournal::load(dir.filePath("second/p.results"))->status(0), RowStatus::Unknown);
}

void TestCliSafety::soakWithKillsAndResumes()
{
    QTemporaryDir dir;
    const QString log = dir.filePath("accepted.log");
    FlakySmtp server;
    VARNHOLT_START_SERVER(server, log, 20261210,
                          {"--drop", "0.02", "--refuse", "0.03", "--defer", "0.03", "--lose-dot", "0.01"});
    writeSettings(dir.filePath("home"), server.port());
    const int rows = 2000;
    const QString project = makeProject(dir.path(), numberedList(rows));
    const QStringList home{"--home", dir.filePath("home")};

    // Killed twice with SIGKILL at different points, resumed each time.
    for (const int killAt : {400, 1100}) {
        QProcess p;
        p.start(QStringLiteral(VARNHOLT_CLI), home + QStringList{"send", project}
                                                  + (killAt == 400 ? QStringList{} : QStringList{"--resume"}));
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(FlakySmtp::accepted(log).size() >= killAt || p.state() == QProcess::NotRunning,
                                 120000);
        QCOMPARE(p.state(), QProcess::Running); // killed in the middle of its run
        ::kill(pid_t(p.processId()), SIGKILL);
        QVERIFY(p.waitForFinished(10000));
    }
    const Result last = run(home + QStringList{"--json", "send", project, "--resume"});
    QVERIFY2(last.exitCode == 0 || last.exitCode == 1, last.err.constData());

    const auto journal = ResultJournal::load(dir.filePath("p.results"));
    QVERIFY(journal);
    const QHash<QByteArray, int> delivered = countOf(FlakySmtp::accepted(log));
    int sent = 0;
    for (int row = 0; row < rows; ++row) {
        const QByteArray address = "user" + QByteArray::number(row + 1) + "@example.org";
        const RowStatus status = journal->status(row);
        const int times = delivered.value(address);
        // None skipped: every row has its outcome.
        QVERIFY2(status == RowStatus::Sent || status == RowStatus::Failed || status == RowStatus::Unknown,
                 address.constData());
        // None twice; a row counted as sent was delivered; a refused one was not.
        QVERIFY2(times <= 1, address.constData());
        if (status == RowStatus::Sent) {
            QVERIFY2(times == 1, address.constData());
            ++sent;
        }
        if (status == RowStatus::Failed)
            QVERIFY2(times == 0, address.constData());
    }
    qInfo("soak: %d sent, %d failed, %d unknown; %lld messages accepted by the server", sent,
          journal->count(RowStatus::Failed), journal->count(RowStatus::Unknown),
          qint64(FlakySmtp::accepted(log).size()));
    QVERIFY(sent > rows * 8 / 10);
}

QTEST_GUILESS_MAIN(TestCliSafety)
#include "tst_cli_safety.moc"
