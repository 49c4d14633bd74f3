// A whole mailing against real servers on 127.0.0.1: a Dovecot POP3 log-in,
// then 1,000 personalised HTML messages with two inline pictures and a
// per-recipient attachment through smtp-sink, which keeps every message.
// Python's email package then reads each received message back.

#include "sending/sendingrun.h"

#include "messagejudge.h"
#include "sendingfixture.h"
#include "testfiles.h"
#include "testservers.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>

using namespace varnholt;
using namespace varnholt::testing;

class TestSendingRunServers : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void thousandRecipients();
    void sinkRefusingRecipients();
    void accountLimitsAgainstSink();
    void temporaryRefusalsRetried_data();
    void temporaryRefusalsRetried();
};

void TestSendingRunServers::thousandRecipients()
{
    constexpr int kRows = 1000;
    SendingFixture f;
    QVERIFY(f.dir.isValid());
    openToAll(f.dir.path());
    DovecotPop3 pop;
    VARNHOLT_START_SERVER(pop, f.path("pop"), "joe", "secret");
    SmtpSink sink;
    const QString dumps = f.path("sink");
    VARNHOLT_START_SERVER(sink, dumps);

    QList<QByteArray> lines;
    for (int i = 0; i < kRows; ++i) {
        const QString file = f.path(QStringLiteral("files/invoice-%1.txt").arg(i));
        writeFile(file, QStringLiteral("invoice of recipient %1\n").arg(i).toUtf8());
        lines << QStringLiteral("user%1@example.test;Name%1;C%2;%3").arg(i).arg(i * 7).arg(file).toUtf8();
    }
    writeFile(f.path("p.htm"), "<html><body><p>Hello <b>[Column#2]</b> [Column#3]</p>"
                               "<img src=\"one.gif\"><img src=\"two.png\"></body></html>\r\n");
    writeFile(f.path("one.gif"), "GIF89a-one");
    writeFile(f.path("two.png"), QByteArray("\x89PNG\r\n\x1a\n-two", 12));
    f.make(lines, sink.port(), pop.port(), "HTML=1\r\n");
    f.project->settings().ColumnA = 4; // the fourth column names the file
    writeFile(f.path("p.mml"), "Dear [Column#2], your code is [Column#3].\r\n");
    f.project->loadPlainText();
    f.project->settings().Subject = QStringLiteral("Offer [Column#3] for [Column#2]");
    f.project->settings().Pop3Identify = true;

    SendingRun run(*f.project, f.accounts);
    run.setLogFolder(f.path("logs"));
    run.setCreateLog(true);
    run.setJournalPath(f.path("p.results"));
    QList<bool> finished;
    QStringList messages;
    bool loggedIn = false;
    connect(&run, &SendingRun::runFinished, &run, [&](bool completed) { finished << completed; });
    connect(&run, &SendingRun::notice, &run, [&](const RunNotice &notice) { messages << NoticeText(notice).text; });
    connect(&run, &SendingRun::stateChanged, &run, [&](SendingRun::State state) {
        loggedIn = loggedIn || state == SendingRun::State::LoggingIn;
    });

    // A real event loop while the run goes on: QTRY_* would sleep between
    // its checks and stretch every server round trip.
    QSignalSpy done(&run, &SendingRun::runFinished);
    run.sendMail();
    QVERIFY(done.wait(120000));
    QCOMPARE(finished, QList<bool>{true});
    QCOMPARE(messages, QStringList{"The process has been completed\n1000 sent, 0 failed, 0 without a valid e-mail address."});
    QVERIFY(loggedIn);
    QVERIFY2(pop.log().contains("Login: user=<joe>"), pop.log().constData());
    QCOMPARE(run.good(), kRows);
    QCOMPARE(run.bad(), 0);
    QCOMPARE(run.results().count(RowStatus::Sent), kRows);

    // Every message, as the server stored it, read by an independent parser:
    // one message for each row, with the row's own values and its own file.
    QTRY_COMPARE_WITH_TIMEOUT(QDir(dumps).entryList(QDir::Files).size(), kRows, 20000);
    const QString received = f.path("received");
    const QList<QByteArray> stored = SmtpSink::storedMessages(dumps);
    for (int i = 0; i < stored.size(); ++i)
        writeFile(received + QStringLiteral("/%1.eml").arg(i), stored.at(i));
    const auto picture = [&](const QString &name, const QString &type) {
        return QJsonObject{{"type", type}, {"file", f.path(name)}, {"filename", name}, {"disposition", "inline"}};
    };
    QJsonArray entries;
    for (int i = 0; i < kRows; ++i) {
        const QString name = QStringLiteral("Name%1").arg(i), code = QStringLiteral("C%1").arg(i * 7);
        const QString invoice = QStringLiteral("invoice-%1.txt").arg(i);
        const QJsonObject plain{{"type", "text/plain"},
                                {"charset", "iso-8859-1"},
                                {"contains", QJsonArray{QStringLiteral("Dear %1, your code is %2.").arg(name, code)}}};
        const QJsonObject html{{"type", "text/html"},
                               {"charset", "iso-8859-1"},
                               {"contains", QJsonArray{QStringLiteral("<b>%1</b> %2").arg(name, code)}}};
        const QJsonObject related{{"type", "multipart/related"},
                                  {"cids_referenced", true},
                                  {"parts", QJsonArray{html, picture("one.gif", "image/gif"),
                                                       picture("two.png", "image/png")}}};
        const QJsonObject attachment{{"type", "text/plain"},
                                     {"file", f.path("files/" + invoice)},
                                     {"filename", invoice},
                                     {"disposition", "attachment"}};
        const QJsonObject alternative{{"type", "multipart/alternative"}, {"parts", QJsonArray{plain, related}}};
        entries.append(QJsonObject{
            {"name", QStringLiteral("row %1").arg(i + 1)},
            {"to_address", QStringLiteral("user%1@example.test").arg(i)},
            {"subject", QStringLiteral("Offer %1 for %2").arg(code, name)},
            {"headers", QJsonObject{{"X-Mailer", QStringLiteral("Varnholt " VARNHOLT_VERSION)}}},
            {"tree", QJsonObject{{"type", "multipart/mixed"}, {"parts", QJsonArray{alternative, attachment}}}}});
    }
    const JudgeVerdict verdict = judgeMessages(
        {{"form", "stored"}, {"folder", received}, {"messages", entries}}, f.path("manifest.json"));
    QVERIFY2(verdict.passed, verdict.report.constData());
    QVERIFY2(verdict.report.contains("1000 messages judged, 0 problems"), verdict.report.constData());

    // The log and the results say the same.
    QFile log(run.sendLog().path());
    QVERIFY(log.open(QIODevice::ReadOnly));
    QStringList logged;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (!line.isEmpty())
            logged << QString::fromUtf8(line.trimmed().mid(9)); // after "hh:mm:ss;"
    }
    QStringList expected;
    for (int row = 0; row < run.results().rowCount(); ++row)
        expected << run.results().address(row) + QStringLiteral(";Ok");
    QCOMPARE(logged, expected);
    QCOMPARE(*ResultJournal::load(f.path("p.results")), run.results());
}

void TestSendingRunServers::sinkRefusingRecipients()
{
    // smtp-sink refuses every third RCPT; each row ends with one outcome
    // and a resume sends exactly the rows that were not accepted.
    SendingFixture f;
    QVERIFY(f.dir.isValid());
    openToAll(f.dir.path());
    SmtpSink sink;
    const QString dumps = f.path("sink");
    VARNHOLT_START_SERVER(sink, dumps, {"-f", "RCPT"});
    QList<QByteArray> lines;
    for (int i = 0; i < 6; ++i)
        lines << QStringLiteral("u%1@example.test;N%1").arg(i).toUtf8();
    f.make(lines, sink.port());
    SendingRun run(*f.project, f.accounts);
    QList<bool> finished;
    connect(&run, &SendingRun::runFinished, &run, [&](bool completed) { finished << completed; });
    QSignalSpy done(&run, &SendingRun::runFinished);
    run.sendMail();
    QVERIFY(done.wait(30000));
    QCOMPARE(finished, QList<bool>{true});
    QCOMPARE(run.bad(), 6);
    for (int row = 0; row < run.results().rowCount(); ++row) {
        QCOMPARE(run.results().status(row), RowStatus::Failed);
        QVERIFY2(run.results().code(row).startsWith(u'5'), qPrintable(run.results().comment(row)));
    }
    // smtp-sink may leave a trace file for a refused transaction; none may
    // hold message data, since no DATA was ever accepted.
    for (const QByteArray &stored : SmtpSink::storedMessages(dumps))
        QVERIFY2(!stored.contains("Subject:"), stored.constData());
}

void TestSendingRunServers::accountLimitsAgainstSink()
{
    // Two messages a minute and three an hour, on a clock the test moves:
    // the run waits after the second message for the minute and after the
    // third for the hour, and each recipient gets exactly one message.
    SendingFixture f;
    QVERIFY(f.dir.isValid());
    openToAll(f.dir.path());
    SmtpSink sink;
    const QString dumps = f.path("sink");
    VARNHOLT_START_SERVER(sink, dumps);
    QList<QByteArray> lines;
    for (int i = 0; i < 5; ++i)
        lines << QStringLiteral("u%1@example.test;N%1").arg(i).toUtf8();
    f.make(lines, sink.port());
    f.accounts.item(0)->MaxPerMinute = 2;
    f.accounts.item(0)->MaxPerHour = 3;
    const QDateTime start(QDate(2030, 5, 6), QTime(9, 0));
    QDateTime clock = start;
    SendingRun run(*f.project, f.accounts);
    run.setClock([&clock] { return clock; });
    run.setJournalPath(f.path("p.results"));
    QList<bool> finished;
    connect(&run, &SendingRun::runFinished, &run, [&](bool completed) { finished << completed; });
    const auto sent = [&run] { return run.results().count(RowStatus::Sent); };

    run.sendMail();
    QTRY_COMPARE_WITH_TIMEOUT(run.state(), SendingRun::State::PaceWait, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(sent(), 2, 20000); // the wait may begin while they are on the way
    QCOMPARE(run.paceResumeTime(), start.addSecs(60));

    clock = start.addSecs(60);
    run.paceTimerFired();
    QTRY_COMPARE_WITH_TIMEOUT(sent(), 3, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(run.state(), SendingRun::State::PaceWait, 20000);
    QCOMPARE(run.paceResumeTime(), start.addSecs(3600)); // the first two leave the hour
    QCOMPARE(run.paceWaitMs(), 3540 * 1000);

    clock = start.addSecs(3600);
    run.paceTimerFired();
    QTRY_COMPARE_WITH_TIMEOUT(finished, QList<bool>{true}, 20000);
    QCOMPARE(sent(), 5);
    QCOMPARE(run.bad(), 0);
    QCOMPARE(*ResultJournal::load(f.path("p.results")), run.results());

    QTRY_COMPARE_WITH_TIMEOUT(SmtpSink::storedMessages(dumps).size(), 5, 20000);
    QStringList recipients;
    static const QRegularExpression to(QStringLiteral("^To: .*(u\\d@example\\.test)"),
                                       QRegularExpression::MultilineOption);
    for (const QByteArray &stored : SmtpSink::storedMessages(dumps)) {
        const QRegularExpressionMatch match = to.match(QString::fromLatin1(stored));
        QVERIFY2(match.hasMatch(), stored.constData());
        recipients << match.captured(1);
    }
    recipients.sort();
    QStringList expected;
    for (int i = 0; i < 5; ++i)
        expected << QStringLiteral("u%1@example.test").arg(i);
    QCOMPARE(recipients, expected);
}

void TestSendingRunServers::temporaryRefusalsRetried_data()
{
    QTest::addColumn<int>("retries");
    QTest::addColumn<int>("closeAfter"); // messages after which the server answers 421 and hangs up
    QTest::newRow("no retries: a 451 is final") << 0 << 0;
    QTest::newRow("greylisted rows tried again") << 2 << 0;
    QTest::newRow("greylisted, and a 421 after every 3 messages") << 3 << 3;
}

// aiosmtpd refuses every recipient's first try with 451 (and with
// --close-after answers 421 after every N messages): on a clock the test
// moves, each row ends with exactly one final outcome and no recipient gets
// the message twice; without retries the 451 is the row's outcome, as it
// always was.
void TestSendingRunServers::temporaryRefusalsRetried()
{
    QFETCH(int, retries);
    QFETCH(int, closeAfter);
    SendingFixture f;
    QVERIFY(f.dir.isValid());
    AiosmtpdServer server;
    // Pipelined: the 451 answers the recipient of a group whose DATA is
    // then refused, and the row still gets its one outcome.
    QStringList options{"--greylist", "--pipelining"};
    if (closeAfter > 0)
        options << "--close-after" << QString::number(closeAfter);
    const QString stored = f.path("mail");
    VARNHOLT_START_SERVER(server, "plain", stored, QString(), QString(), QString(), QString(), {}, options);
    constexpr int kRows = 7;
    QList<QByteArray> lines;
    for (int i = 0; i < kRows; ++i)
        lines << QStringLiteral("u%1@example.test;N%1").arg(i).toUtf8();
    f.make(lines, server.port());
    QDateTime clock(QDate(2030, 5, 6), QTime(9, 0));
    SendingRun run(*f.project, f.accounts);
    run.setClock([&clock] { return clock; });
    run.setRetries(retries, 10);
    run.setJournalPath(f.path("p.results"));
    QList<bool> finished;
    connect(&run, &SendingRun::runFinished, &run, [&](bool completed) { finished << completed; });
    // Every move of a row to a final outcome, and every deferral.
    QList<RowStatus> last(kRows, RowStatus::NotProcessed);
    QHash<int, int> finals;
    int deferrals = 0;
    connect(&run, &SendingRun::rowChanged, &run, [&](int row) {
        const RowStatus now = run.results().status(row);
        if (now != last[row]) {
            finals[row] += now == RowStatus::Sent || now == RowStatus::Failed || now == RowStatus::Unknown;
            deferrals += now == RowStatus::Deferred;
        }
        last[row] = now;
    });

    run.sendMail();
    int waits = 0;
    int pauses = 0;
    while (finished.isEmpty() && waits < 10) {
        QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty() || run.state() == SendingRun::State::RetryWait, 20000);
        if (!finished.isEmpty())
            break;
        ++waits;
        pauses += run.serverPaused() ? 1 : 0;
        QCOMPARE(run.schedulePanel(), run.serverPaused() ? SchedulePanel::ServerPause : SchedulePanel::WaitingRetry);
        QCOMPARE(run.retryResumeTime(), clock.addSecs(10 * 60));
        QVERIFY(run.deferred() > 0);
        // The journal holds the deferred rows with their retry.
        const auto journal = ResultJournal::load(f.path("p.results"));
        QVERIFY(journal);
        QCOMPARE(journal->count(RowStatus::Deferred), run.deferred());
        QCOMPARE(*journal, run.results());
        // Fired early, the timer waits for the rest.
        clock = clock.addSecs(5 * 60);
        run.retryTimerFired();
        QCOMPARE(run.state(), SendingRun::State::RetryWait);
        QCOMPARE(run.retryWaitMs(), 5 * 60 * 1000);
        clock = clock.addSecs(5 * 60);
        run.retryTimerFired();
    }
    QCOMPARE(finished, QList<bool>{true});
    for (int row = 0; row < kRows; ++row)
        QVERIFY2(finals.value(row) == 1, qPrintable(QStringLiteral("row %1: %2 final outcomes").arg(row).arg(finals.value(row))));
    QCOMPARE(*ResultJournal::load(f.path("p.results")), run.results());
    QCOMPARE(run.deferred(), 0);

    const QHash<QString, int> received = AiosmtpdServer::storedRecipients(stored);
    if (retries == 0) {
        QCOMPARE(waits, 0);
        QCOMPARE(deferrals, 0);
        QCOMPARE(run.bad(), kRows);
        for (int row = 0; row < kRows; ++row) {
            QCOMPARE(run.results().status(row), RowStatus::Failed);
            QCOMPARE(run.results().code(row), QStringLiteral("451"));
        }
        QVERIFY(received.isEmpty());
        return;
    }
    QCOMPARE(run.good(), kRows);
    QCOMPARE(run.bad(), 0);
    QCOMPARE(run.results().count(RowStatus::Sent), kRows);
    QCOMPARE(received.size(), kRows);
    for (auto it = received.cbegin(); it != received.cend(); ++it)
        QVERIFY2(it.value() == 1, qPrintable(it.key()));
    if (closeAfter == 0) {
        QCOMPARE(waits, 1); // every row waited once, together
        QCOMPARE(deferrals, kRows);
    } else {
        QVERIFY(pauses >= 1);
        QVERIFY(deferrals > kRows);
    }
}

QTEST_GUILESS_MAIN(TestSendingRunServers)
#include "tst_sendingrun_servers.moc"
