// The sending run against scripted SMTP servers: outcomes per row, resume,
// held-back codes, series pauses, the POP3 failure and the journal that a
// killed run leaves behind.

#include "sending/sendingrun.h"

#include "scriptedpeer.h"
#include "sendingfixture.h"
#include "testservers.h"

#include "sending/recipientaddress.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <csignal>
#include <sys/resource.h>

using namespace varnholt;

namespace {

const QStringList kGreeting{"S: 220 mx.test", "C: EHLO client.test", "S: 250 mx.test"};

QStringList accepted(const QString &address)
{
    return {"C: MAIL FROM:<a@x.test>", "S: 250 ok", "C: RCPT TO:<" + address + ">", "S: 250 ok", "C: DATA",
            "S: 354 go", "C: <message>", "S: 250 queued"};
}

// What observers of a run saw.
struct Observer {
    explicit Observer(SendingRun &run)
    {
        QObject::connect(&run, &SendingRun::notice, &run,
                         [this](const RunNotice &notice) { messages << NoticeText(notice).text; });
        QObject::connect(&run, &SendingRun::runFinished, &run,
                         [this](bool completed) { finished << completed; });
    }
    QStringList messages;
    QList<bool> finished;
};

QStringList rcptLines(const ScriptedPeer &peer)
{
    QStringList lines;
    for (const QString &line : peer.received) {
        if (line.startsWith(QLatin1String("RCPT TO:")))
            lines << line;
    }
    return lines;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

ResultRow resultRow(const QString &address, RowStatus status, const QString &code = {},
                    const QString &result = {})
{
    ResultRow row;
    row.address = address;
    row.status = status;
    row.code = code;
    row.result = result;
    row.state = status == RowStatus::Sent ? QStringLiteral("Ok") : QStringLiteral("No");
    return row;
}

} // namespace

class TestSendingRun : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void refusedRecipientAndInvalidAddress();
    void droppedConnectionGivesOneOutcomePerRow();
    void resumeFromSelectedRow();
    void heldBackCodes_data();
    void heldBackCodes();
    void seriesPause_data();
    void seriesPause();
    void statusNoSendsAgain();
    void journalSurvivesAKilledRun();
    void refusalsToStart_data();
    void refusalsToStart();
    void scheduleStartsTheRun();
    void closingWaitsForTheSession();
    void connectionDroppedAfterTheMessage_data();
    void connectionDroppedAfterTheMessage();
    void failingServerStopsTheRun_data();
    void failingServerStopsTheRun();
    void journalWriteFailureWithholdsTheMessage();
    void sendableAddresses_data();
    void sendableAddresses();
    void tooLargeMergeFailsOnlyItsRow();
    void scheduleStandsStillWhileEdited();
    void activeContentToldOncePerRun();
    void stopTakesBackTheMessageOnTheWay();
    void stopWaitsForTheAnswerToADot();
    void accountLimitNextAllowed_data();
    void accountLimitNextAllowed();
    void accountLimitHoldsTheNextMessage_data();
    void accountLimitHoldsTheNextMessage();
};

void TestSendingRun::refusedRecipientAndInvalidAddress()
{
    ScriptedPeer peer(kGreeting + accepted("anna@x.test")
                      + QStringList{"C: MAIL FROM:<a@x.test>", "S: 250 ok", "C: RCPT TO:<bob@x.test>",
                                    "S: 550 5.1.1 No such user"});
    SendingFixture f;
    f.make({"anna@x.test;Anna", "bob@x.test;Bob", "nobody;Nobody"}, peer.port());
    SendingRun run(*f.project, f.accounts);
    run.setLogFolder(f.path("logs"));
    run.setCreateLog(true);
    run.setJournalPath(f.path("p.results"));
    Observer seen(run);

    run.sendMail();
    QTRY_COMPARE(seen.finished, QList<bool>{true});
    QVERIFY2(peer.mismatch.isEmpty(), qPrintable(peer.mismatch));

    const ResultTable &r = run.results();
    QCOMPARE(r.status(0), RowStatus::Sent);
    QCOMPARE(r.state(0), QStringLiteral("Ok"));
    QCOMPARE(r.result(0), QStringLiteral("Sent through ISP smtp mail server"));
    QCOMPARE(r.status(1), RowStatus::Failed);
    QCOMPARE(r.state(1), QStringLiteral("No"));
    QCOMPARE(r.code(1), QStringLiteral("550"));
    QVERIFY2(r.comment(1).contains("550 5.1.1 No such user"), qPrintable(r.comment(1)));
    QCOMPARE(r.status(2), RowStatus::Failed);
    QCOMPARE(r.result(2), QStringLiteral("Error email"));
    QCOMPARE(rcptLines(peer).size(), 2); // nothing handed over for "nobody"
    QCOMPARE(run.good(), 1);
    QCOMPARE(run.bad(), 1);
    QCOMPARE(run.waiting(), 0);
    QCOMPARE(run.state(), SendingRun::State::Idle);
    QCOMPARE(seen.messages, QStringList{"The process has been completed\n1 sent, 1 failed, 1 without a valid e-mail address."});

    // The journal and the log say the same as the table.
    const auto journal = ResultJournal::load(f.path("p.results"));
    QVERIFY(journal.has_value());
    QCOMPARE(*journal, r);
    QFile log(run.sendLog().path());
    QVERIFY(log.open(QIODevice::ReadOnly));
    // One line per row as it ended: "nobody" may end while the others are
    // on the way.
    QList<QByteArray> lines = log.readAll().split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.takeLast(), QByteArray());
    const auto logged = [&lines](const QByteArray &part, const QByteArray &also = {}) {
        return std::count_if(lines.cbegin(), lines.cend(), [&](const QByteArray &line) {
                   return line.contains(part) && line.contains(also);
               }) == 1;
    };
    QVERIFY(logged(";anna@x.test;Ok\r"));
    QVERIFY(logged(";bob@x.test;No;", "550 5.1.1 No such user"));
    QVERIFY(logged(";nobody;No;Error email\r"));
    QCOMPARE(f.project->settings().LogFile, run.sendLog().path());
}

void TestSendingRun::droppedConnectionGivesOneOutcomePerRow()
{
    // The server resets the connection in the middle of the first message
    // (before the message could go out); the second message then finds no
    // server that answers it.
    ScriptedPeer peer(kGreeting
                      + QStringList{"C: MAIL FROM:<a@x.test>", "S: 250 ok", "C: RCPT TO:<anna@x.test>",
                                    "S: 250 ok", "C: DATA", "RESET"});
    SendingFixture f;
    f.make({"anna@x.test;Anna", "bob@x.test;Bob"}, peer.port());
    SendingRun run(*f.project, f.accounts);
    run.accountTransport().setReplyTimeLimit(std::chrono::milliseconds(1500));
    // Every move of a row from "in progress" to an outcome.
    QList<int> finishedRows;
    QList<RowStatus> last(2, RowStatus::NotProcessed);
    connect(&run, &SendingRun::rowChanged, &run, [&](int row) {
        const RowStatus now = run.results().status(row);
        if (last[row] == RowStatus::InProgress && now != RowStatus::InProgress)
            finishedRows << row;
        last[row] = now;
    });
    Observer seen(run);

    run.sendMail();
    QTRY_COMPARE_WITH_TIMEOUT(seen.finished, QList<bool>{true}, 20000);
    QCOMPARE(finishedRows, (QList<int>{0, 1}));
    QCOMPARE(run.results().status(0), RowStatus::Failed);
    QCOMPARE(run.results().status(1), RowStatus::Failed);
    QCOMPARE(run.bad(), 2);
    QCOMPARE(run.good(), 0);
    QCOMPARE(run.waiting(), 0);
    QCOMPARE(peer.connections, 2); // the run went on with a new connection
}

void TestSendingRun::resumeFromSelectedRow()
{
    ScriptedPeer peer(kGreeting + accepted("r2@x.test") + accepted("r4@x.test"));
    SendingFixture f;
    f.make({"r0@x.test;A", "r1@x.test;B", "r2@x.test;C", "r3@x.test;D", "r4@x.test;E"}, peer.port());
    SendingRun run(*f.project, f.accounts);
    ResultTable saved;
    saved.setRowCount(5);
    saved.setRow(0, resultRow("r0@x.test", RowStatus::Sent));
    saved.setRow(1, resultRow("r1@x.test", RowStatus::Failed, "421"));
    saved.setRow(2, resultRow("r2@x.test", RowStatus::Failed, "451"));
    saved.setRow(3, resultRow("r3@x.test", RowStatus::Sent));
    saved.setRow(4, resultRow("r4@x.test", RowStatus::NotProcessed));
    QVERIFY(run.restoreResults(saved));
    Observer seen(run);

    run.resume(2);
    QTRY_COMPARE(seen.finished, QList<bool>{true});
    QVERIFY2(peer.mismatch.isEmpty(), qPrintable(peer.mismatch));
    QCOMPARE(rcptLines(peer), (QStringList{"RCPT TO:<r2@x.test>", "RCPT TO:<r4@x.test>"}));
    QCOMPARE(run.results().row(1), saved.row(1)); // before the selected row: untouched
    QCOMPARE(run.results().status(2), RowStatus::Sent);
    QCOMPARE(run.results().status(4), RowStatus::Sent);
    QCOMPARE(run.good(), 4); // a resumed run keeps counting

    // A result table of another list is refused.
    ResultTable other;
    other.setAddress(0, QStringLiteral("someone@else.test"));
    QVERIFY(!run.restoreResults(other));
}

void TestSendingRun::heldBackCodes_data()
{
    QTest::addColumn<QByteArray>("codes");
    QTest::addColumn<QList<bool>>("kept"); // rows coded 550, "" and 421
    QTest::newRow("one code") << QByteArray("550") << QList<bool>{true, false, false};
    QTest::newRow("case and blanks ignored") << QByteArray("421 ;x") << QList<bool>{false, false, true};
    QTest::newRow("empty entry holds back rows without a code") << QByteArray(";550")
                                                                << QList<bool>{true, true, false};
    QTest::newRow("no codes") << QByteArray() << QList<bool>{false, false, false};
}

void TestSendingRun::heldBackCodes()
{
    QFETCH(QByteArray, codes);
    QFETCH(QList<bool>, kept);
    // The POP3 log-in fails (nothing listens), so the run stops before any
    // message and the table shows what "Resume" reset.
    SendingFixture f;
    const quint16 closedPort = varnholt::testing::freePort();
    f.make({"r0@x.test;A", "r1@x.test;B", "r2@x.test;C"}, 1, closedPort, "Codes=" + codes + "\r\n");
    f.project->settings().Pop3Identify = true;
    SendingRun run(*f.project, f.accounts);
    ResultTable saved;
    saved.setRowCount(3);
    saved.setRow(0, resultRow("r0@x.test", RowStatus::Failed, "550", "Failed: 550"));
    saved.setRow(1, resultRow("r1@x.test", RowStatus::Failed, "", "Error email"));
    saved.setRow(2, resultRow("r2@x.test", RowStatus::Failed, "421", "Failed: 421"));
    QVERIFY(run.restoreResults(saved));
    Observer seen(run);

    run.resume(0);
    QCOMPARE(run.state(), SendingRun::State::LoggingIn);
    QCOMPARE(run.schedulePanel(), SchedulePanel::Verification);
    QTRY_COMPARE_WITH_TIMEOUT(seen.finished, QList<bool>{false}, 15000);
    QCOMPARE(seen.messages.size(), 1); // the POP3 error text
    QCOMPARE(run.state(), SendingRun::State::Idle);
    for (int row = 0; row < 3; ++row) {
        if (kept.at(row)) {
            QCOMPARE(run.results().row(row), saved.row(row));
        } else {
            QCOMPARE(run.results().status(row), RowStatus::NotProcessed);
            QVERIFY(run.results().result(row).isEmpty());
        }
    }
}

void TestSendingRun::seriesPause_data()
{
    QTest::addColumn<bool>("stopInPause");
    QTest::newRow("series timer resumes") << false;
    QTest::newRow("stop in the pause") << true;
}

void TestSendingRun::seriesPause()
{
    QFETCH(bool, stopInPause);
    ScriptedPeer peer(kGreeting + accepted("r0@x.test") + accepted("r1@x.test") + accepted("r2@x.test"));
    SendingFixture f;
    f.make({"r0@x.test;A", "r1@x.test;B", "r2@x.test;C"}, peer.port());
    SendingRun run(*f.project, f.accounts);
    run.series().Series = true;
    run.series().MailCount = 2;
    run.series().MailPause = 10;
    Observer seen(run);

    run.sendMail();
    QTRY_COMPARE(run.state(), SendingRun::State::SeriesPause);
    QCOMPARE(run.results().status(1), RowStatus::Sent);
    QCOMPARE(run.results().status(2), RowStatus::NotProcessed);
    QCOMPARE(run.schedulePanel(), SchedulePanel::WaitingNextInterval);
    QVERIFY(run.schedule().isPausing());
    QCOMPARE(run.schedule().pauseLength(), std::chrono::milliseconds(10 * 60 * 1000));
    QCOMPARE(run.series().NextRow, 3); // counted from 1
    QVERIFY(seen.finished.isEmpty());

    if (stopInPause) {
        run.stop();
        QCOMPARE(run.state(), SendingRun::State::Idle);
        QVERIFY(!run.schedule().isPausing());
        QVERIFY(seen.messages.isEmpty());
        QCOMPARE(seen.finished, QList<bool>{false});
        QCOMPARE(run.results().status(2), RowStatus::NotProcessed);
        return;
    }
    run.schedule().pauseTimerFired();
    QTRY_COMPARE(seen.finished, QList<bool>{true});
    QVERIFY2(peer.mismatch.isEmpty(), qPrintable(peer.mismatch));
    QCOMPARE(rcptLines(peer).size(), 3);
    QCOMPARE(peer.connections, 1); // the connection stayed open during the pause
    QCOMPARE(run.results().status(2), RowStatus::Sent);
    QCOMPARE(run.schedulePanel(), SchedulePanel::Empty);
}

void TestSendingRun::statusNoSendsAgain()
{
    SendingFixture f;
    ScriptedPeer peer(kGreeting + accepted("r0@x.test"));
    f.make({"r0@x.test;A", "r1@x.test;B"}, peer.port());
    SendingRun run(*f.project, f.accounts);
    ResultTable saved;
    saved.setRowCount(2);
    saved.setRow(0, resultRow("r0@x.test", RowStatus::Sent));
    saved.setRow(1, resultRow("r1@x.test", RowStatus::Sent));
    QVERIFY(run.restoreResults(saved));
    run.setJournalPath(f.path("p.results"));
    Observer seen(run);

    run.setRowStatusNo(0);
    QCOMPARE(run.results().status(0), RowStatus::Failed);
    QCOMPARE(run.results().row(0).state, QStringLiteral("Ok")); // the cells do not change
    run.resume(0);
    QTRY_COMPARE(seen.finished, QList<bool>{true});
    QVERIFY2(peer.mismatch.isEmpty(), qPrintable(peer.mismatch));
    QCOMPARE(rcptLines(peer), QStringList{"RCPT TO:<r0@x.test>"});
    QCOMPARE(run.results().status(0), RowStatus::Sent);

    // "Status Ok" marks a row sent; a row in progress is left alone.
    run.setRowStatusOk(1);
    QCOMPARE(ResultJournal::load(f.path("p.results"))->row(1).status, RowStatus::Sent);
}

void TestSendingRun::journalSurvivesAKilledRun()
{
    SendingFixture f;
    // The first server accepts two messages and swallows the third.
    auto first = std::make_unique<ScriptedPeer>(
        kGreeting + accepted("r0@x.test") + accepted("r1@x.test")
        + QStringList{"C: MAIL FROM:<a@x.test>", "S: 250 ok", "C: RCPT TO:<r2@x.test>", "S: 250 ok", "C: DATA",
                      "S: 354 go", "SINK"});
    f.make({"r0@x.test;A", "r1@x.test;B", "r2@x.test;C", "r3@x.test;D"}, first->port());
    const QString journalPath = f.path("p.results");
    {
        auto run = std::make_unique<SendingRun>(*f.project, f.accounts);
        run->setJournalPath(journalPath);
        run->sendMail();
        // The third message went out whole: the journal says so before its "."
        QTRY_VERIFY(first->sinkSawDot);
        QVERIFY(readAll(journalPath).contains("\r\n2\t3\t"));
        QCOMPARE(run->good(), 2);
        // The process dies here: no orderly end of the run.
    }
    first.reset();

    const auto journal = ResultJournal::load(journalPath);
    QVERIFY(journal.has_value());
    QCOMPARE(journal->row(0).status, RowStatus::Sent);
    QCOMPARE(journal->row(1).status, RowStatus::Sent);
    QCOMPARE(journal->row(2).status, RowStatus::InProgress);

    // The third recipient may have the message: resuming leaves it alone
    // unless asked, and sends the fourth.
    for (const bool resendUnknown : {false, true}) {
        ScriptedPeer second(kGreeting + (resendUnknown ? accepted("r2@x.test") : QStringList{}) + accepted("r3@x.test"));
        f.accounts.item(0)->SMTPPort = second.port();
        SendingRun run(*f.project, f.accounts);
        QVERIFY(run.restoreResults(*journal));
        QCOMPARE(run.results().status(2), RowStatus::Unknown);
        QCOMPARE(run.results().result(2), QStringLiteral("Outcome unknown"));
        Observer seen(run);
        run.setResendUnknown(resendUnknown);
        QVERIFY(run.resume(0));
        QTRY_COMPARE(seen.finished, QList<bool>{true});
        QVERIFY2(second.mismatch.isEmpty(), qPrintable(second.mismatch));
        QCOMPARE(rcptLines(second).first(), resendUnknown ? QStringLiteral("RCPT TO:<r2@x.test>")
                                                          : QStringLiteral("RCPT TO:<r3@x.test>"));
        QCOMPARE(run.results().status(2), resendUnknown ? RowStatus::Sent : RowStatus::Unknown);
    }
}

void TestSendingRun::refusalsToStart_data()
{
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<int>("emailColumn");
    QTest::addColumn<QString>("smtpServer");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("message");
    const QList<QByteArray> one{"r0@x.test;A"};
    QTest::newRow("e-mail column out of range")
        << one << 5 << "127.0.0.1" << int(RunNotice::Kind::NoEmailColumn) << "Define Email Column";
    QTest::newRow("no recipients") << QList<QByteArray>{""} << 0 << "127.0.0.1"
                                   << int(RunNotice::Kind::NoRecipients) << "Please fill the recipient list";
    QTest::newRow("no SMTP server") << one << 0 << " " << int(RunNotice::Kind::NoSmtpServer)
                                    << "The mail account has no SMTP server: set it up in the preferences.";
}

// A run that cannot start says why, before anything is touched, in the
// answer to the command and in one notice.
void TestSendingRun::refusalsToStart()
{
    QFETCH(QList<QByteArray>, lines);
    QFETCH(int, emailColumn);
    QFETCH(QString, smtpServer);
    QFETCH(int, kind);
    QFETCH(QString, message);
    SendingFixture f;
    f.make(lines, 1, 1, "Column=" + QByteArray::number(emailColumn) + "\r\n");
    f.project->settings().Column = emailColumn;
    f.accounts.item(0)->SMTPServer = smtpServer;
    SendingRun run(*f.project, f.accounts);
    run.setJournalPath(f.path("p.results"));
    QCOMPARE(int(run.readiness().kind), kind);
    Observer seen(run);
    for (const bool resume : {false, true}) {
        const RunStart start = resume ? run.resume(0) : run.sendMail();
        QVERIFY(!start);
        QCOMPARE(int(start.refusal.kind), kind);
        QCOMPARE(run.state(), SendingRun::State::Idle);
    }
    QCOMPARE(seen.messages, (QStringList{message, message}));
    QVERIFY(seen.finished.isEmpty());
    QVERIFY(!QFileInfo::exists(f.path("p.results")));
}

void TestSendingRun::scheduleStartsTheRun()
{
    ScriptedPeer peer(kGreeting + accepted("r0@x.test"));
    SendingFixture f;
    f.make({"r0@x.test;A"}, peer.port());
    QDateTime clock(QDate(2030, 5, 6), QTime(11, 0));
    SendingRun run(*f.project, f.accounts);
    run.setClock([&clock] { return clock; });
    TTaskObj &task = run.task();
    task.Enabled = true;
    task.HowRun = THowRun::Once;
    task.StartDt = QDate(2030, 5, 1);
    task.StartTm = QTime(12, 0);
    task.EndDt = QDate(2030, 6, 1);
    task.OnceDt = QDate(2030, 5, 6);
    Observer seen(run);

    run.scheduleEdited();
    QCOMPARE(run.state(), SendingRun::State::WaitingForSchedule);
    QCOMPARE(run.schedulePanel(), SchedulePanel::ScheduleMailing);
    QCOMPARE(run.scheduleSecondsLeft(), 5);
    clock = clock.addSecs(6);
    run.schedule().tick(); // the countdown ends
    QCOMPARE(run.schedulePanel(), SchedulePanel::ScheduleMailing);
    QCOMPARE(run.scheduleSecondsLeft(), -1);
    QVERIFY(!run.schedule().isCountingDown());
    run.schedule().tick(); // not due before 12:00
    QVERIFY(run.schedule().isWaiting());
    QCOMPARE(run.state(), SendingRun::State::WaitingForSchedule);

    clock = QDateTime(QDate(2030, 5, 6), QTime(12, 0, 1));
    run.schedule().tick();
    QTRY_COMPARE(seen.finished, QList<bool>{true});
    QVERIFY2(peer.mismatch.isEmpty(), qPrintable(peer.mismatch));
    QCOMPARE(run.results().status(0), RowStatus::Sent);
    QCOMPARE(task.Count, 1); // the task's run was recorded
    QCOMPARE(task.LastDt, clock);
    QVERIFY(!run.schedule().isWaiting());
    TTaskObj stored;
    stored.Load(f.project->settingsFile(), clock);
    QCOMPARE(stored.Count, 1);
}

void TestSendingRun::closingWaitsForTheSession()
{
    ScriptedPeer peer(kGreeting + QStringList{"C: MAIL FROM:<a@x.test>", "S: 250 ok", "C: RCPT TO:<r0@x.test>",
                                              "S: 250 ok", "C: DATA", "S: 354 go", "SINK"});
    SendingFixture f;
    f.make({"r0@x.test;A", "r1@x.test;B"}, peer.port());
    SendingRun run(*f.project, f.accounts);
    QSignalSpy closed(&run, &SendingRun::closed);
    Observer seen(run);
    run.sendMail();
    QTRY_VERIFY(peer.sinkSawDot); // the message is with the server, unanswered
    QVERIFY(!run.requestClose());
    QCOMPARE(run.state(), SendingRun::State::Closing);
    QTRY_COMPARE(closed.size(), 1);
    QCOMPARE(run.state(), SendingRun::State::Closed);
    QCOMPARE(seen.finished, QList<bool>{false});
    QVERIFY(seen.messages.isEmpty()); // no "Aborted" box for a closing window
    // Its "." went out: the server may have taken it.
    QCOMPARE(run.results().status(0), RowStatus::Unknown);
    QCOMPARE(run.results().status(1), RowStatus::NotProcessed);
    QVERIFY(!run.accountTransport().isBusy());
    QVERIFY(run.requestClose());
}

void TestSendingRun::connectionDroppedAfterTheMessage_data()
{
    QTest::addColumn<int>("retries");
    QTest::newRow("no retries") << 0;
    // The server may have the message: it is never tried again.
    QTest::newRow("temporary refusals retried") << 2;
}

void TestSendingRun::connectionDroppedAfterTheMessage()
{
    QFETCH(int, retries);
    // The server reads the whole message and closes without a word.
    ScriptedPeer peer(kGreeting
                      + QStringList{"C: MAIL FROM:<a@x.test>", "S: 250 ok", "C: RCPT TO:<r0@x.test>", "S: 250 ok",
                                    "C: DATA", "S: 354 go", "C: <message>", "CLOSE"});
    SendingFixture f;
    f.make({"r0@x.test;A"}, peer.port());
    SendingRun run(*f.project, f.accounts);
    run.setRetries(retries, 0);
    run.setJournalPath(f.path("p.results"));
    Observer seen(run);
    run.sendMail();
    QTRY_COMPARE(seen.finished, QList<bool>{true});
    QCOMPARE(peer.connections, 1);
    QCOMPARE(peer.messages.size(), 1);
    QCOMPARE(run.results().status(0), RowStatus::Unknown);
    QVERIFY2(run.results().comment(0).contains("answer never came"), qPrintable(run.results().comment(0)));
    QCOMPARE(run.bad(), 0);
    QCOMPARE(ResultJournal::load(f.path("p.results"))->status(0), RowStatus::Unknown);
}

void TestSendingRun::failingServerStopsTheRun_data()
{
    QTest::addColumn<bool>("listening");
    QTest::newRow("accepts connections and never answers") << true;
    QTest::newRow("nothing listens") << false;
}

void TestSendingRun::failingServerStopsTheRun()
{
    QFETCH(bool, listening);
    QTcpServer silent;
    QList<QTcpSocket *> kept;
    quint16 port = varnholt::testing::freePort();
    if (listening) {
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        port = silent.serverPort();
        connect(&silent, &QTcpServer::newConnection, this, [&] { kept << silent.nextPendingConnection(); });
    }
    SendingFixture f;
    QList<QByteArray> lines;
    for (int i = 0; i < 8; ++i)
        lines << "r" + QByteArray::number(i) + "@x.test;R";
    f.make(lines, port);
    SendingRun run(*f.project, f.accounts);
    run.accountTransport().setReplyTimeLimit(std::chrono::milliseconds(200));
    run.setJournalPath(f.path("p.results"));
    Observer seen(run);
    run.sendMail();
    QTRY_COMPARE_WITH_TIMEOUT(seen.finished, QList<bool>{false}, 20000);
    QCOMPARE(seen.messages.size(), 1);
    QVERIFY2(seen.messages[0].contains("did not answer 5 messages in a row"), qPrintable(seen.messages[0]));
    QCOMPARE(NoticeText(run.stopReason()).text, seen.messages[0]);
    QCOMPARE(run.results().count(RowStatus::Failed), 5);
    QCOMPARE(run.results().count(RowStatus::NotProcessed), 3);
    // What is left can be resumed.
    QCOMPARE(ResultJournal::load(f.path("p.results"))->count(RowStatus::NotProcessed), 3);
}

void TestSendingRun::journalWriteFailureWithholdsTheMessage()
{
    ScriptedPeer peer(kGreeting + accepted("r0@x.test")
                      + QStringList{"C: MAIL FROM:<a@x.test>", "S: 250 ok", "C: RCPT TO:<r1@x.test>", "S: 250 ok",
                                    "C: DATA", "S: 354 go", "C: <message>", "S: 250 queued"});
    SendingFixture f;
    f.make({"r0@x.test;A", "r1@x.test;B", "r2@x.test;C"}, peer.port());
    SendingRun run(*f.project, f.accounts);
    const QString journalPath = f.path("p.results");
    run.setJournalPath(journalPath);
    Observer seen(run);
    // The file-size limit stands in for a full disk: room for the first row's
    // two lines (in flight, then sent) and no more.
    rlimit old{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    bool full = false;
    connect(&run, &SendingRun::rowChanged, this, [&](int row) {
        if (full || row != 0 || run.results().status(0) != RowStatus::Sent)
            return;
        full = true; // the first row's outcome is in the file
        rlimit small = old;
        small.rlim_cur = rlim_t(QFileInfo(journalPath).size()) + 8;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    });
    run.sendMail();
    QTRY_COMPARE(seen.finished, QList<bool>{false});
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(full);
    QCOMPARE(peer.messages.size(), 1); // the second message's "." was withheld
    QCOMPARE(seen.messages.size(), 1);
    QVERIFY2(seen.messages[0].contains("Cannot record the outcome") && seen.messages[0].contains("File too large"),
             qPrintable(seen.messages[0]));
    QCOMPARE(run.results().status(0), RowStatus::Sent);
    QVERIFY(run.results().status(1) != RowStatus::Sent);
    QCOMPARE(run.results().status(2), RowStatus::NotProcessed);
    const auto journal = ResultJournal::load(journalPath);
    QCOMPARE(journal->status(0), RowStatus::Sent);
    QCOMPARE(journal->status(1), RowStatus::NotProcessed);
}

void TestSendingRun::sendableAddresses_data()
{
    QTest::addColumn<QString>("cell");
    QTest::addColumn<bool>("sendable");
    QTest::newRow("plain") << "anna@x.test" << true;
    QTest::newRow("display name with a comma") << "\"Weber, Jonas\" <jonas@x.test>" << true;
    QTest::newRow("quoted local part") << "\"a;b\"@x.test" << true;
    QTest::newRow("non-ASCII") << QStringLiteral("j\u00f6rg@x.test") << true;
    QTest::newRow("no @") << "nobody" << false;
    QTest::newRow("two addresses with a comma") << "a@x.test,b@y.test" << false;
    QTest::newRow("two addresses with a semicolon") << "a@x.test;b@y.test" << false;
    QTest::newRow("two @") << "a@b@x.test" << false;
    QTest::newRow("TAB") << "a\t@x.test" << false;
    QTest::newRow("ESC") << "a\x1b[31m@x.test" << false;
    QTest::newRow("DEL") << "a\x7f@x.test" << false;
    QTest::newRow("C1 control") << QStringLiteral("a\u009b@x.test") << false;
    QTest::newRow("open quote") << "\"a@x.test" << false;
}

void TestSendingRun::sendableAddresses()
{
    QFETCH(QString, cell);
    QFETCH(bool, sendable);
    QCOMPARE(IsSendableAddress(cell), sendable);
}

void TestSendingRun::tooLargeMergeFailsOnlyItsRow()
{
    ScriptedPeer peer(kGreeting + accepted("r1@x.test"));
    SendingFixture f;
    // The text names the second column three times: 3 x 4 MB merged.
    f.make({"r0@x.test;" + QByteArray(4 << 20, 'v'), "r1@x.test;Bo"}, peer.port());
    SendingFixture::writeFile(f.path("p.mml"), "[Column#2] [Column#2] [Column#2]\r\n");
    f.project->open(f.path("p.eml"));
    SendingRun run(*f.project, f.accounts);
    Observer seen(run);
    QVERIFY(run.sendMail());
    QTRY_COMPARE(seen.finished, QList<bool>{true});
    QCOMPARE(run.results().status(0), RowStatus::Failed);
    QCOMPARE(run.results().comment(0), QStringLiteral("merged message too large"));
    QCOMPARE(run.results().status(1), RowStatus::Sent);
    QCOMPARE(rcptLines(peer), QStringList{"RCPT TO:<r1@x.test>"});
}

// While the task is edited nothing fires; cancelled, the countdown and the
// pause go on where they stood.
void TestSendingRun::scheduleStandsStillWhileEdited()
{
    QDateTime clock(QDate(2030, 5, 6), QTime(11, 0));
    RunSchedule schedule([&clock] { return clock; });
    schedule.task().Enabled = true;
    schedule.series().Series = true;
    schedule.series().MailCount = 1;
    schedule.series().MailPause = 1;
    schedule.startCountdown(30);
    schedule.beginPause(5);
    QVERIFY(schedule.isWaiting() && schedule.isPausing());

    schedule.suspend();
    QVERIFY(!schedule.isWaiting() && !schedule.isPausing());
    QCOMPARE(schedule.secondsLeft(), 30);
    schedule.resume();
    QVERIFY(schedule.isWaiting() && schedule.isPausing());
    QCOMPARE(schedule.series().NextRow, 5);

    QSignalSpy over(&schedule, &RunSchedule::pauseOver);
    schedule.pauseTimerFired();
    QCOMPARE(over.size(), 1);
    QCOMPARE(schedule.task().RunState, 0);
}

// "Stop" while the server has the whole first message and pipelined
// commands of the second: the answer to the "." still counts (the row is
// sent, not unknown), the second gets no body and goes on resuming.
void TestSendingRun::stopWaitsForTheAnswerToADot()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QTcpSocket *client = nullptr;
    QByteArray received;
    bool dotSeen = false;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        client = server.nextPendingConnection();
        client->write("220 mx.test\r\n");
        connect(client, &QTcpSocket::readyRead, this, [&] {
            received += client->readAll();
            while (!dotSeen && received.contains("\r\n")) {
                const qsizetype end = received.indexOf("\r\n");
                const QByteArray line = received.left(end);
                received.remove(0, end + 2);
                if (line.startsWith("EHLO"))
                    client->write("250-mx.test\r\n250 PIPELINING\r\n");
                else if (line == "DATA")
                    client->write("354 go\r\n");
                else if (line == ".")
                    dotSeen = true; // answered by the test, after the stop
                else if (line.startsWith("MAIL") || line.startsWith("RCPT"))
                    client->write("250 ok\r\n");
            }
        });
    });
    SendingFixture f;
    f.make({"r0@x.test;A", "r1@x.test;B"}, server.serverPort());
    SendingRun run(*f.project, f.accounts);
    run.setJournalPath(f.path("p.results"));
    Observer seen(run);
    run.sendMail();
    QTRY_VERIFY(dotSeen && received.contains("DATA\r\n")); // the second message's group came with the "."
    run.stop();
    QTRY_COMPARE(run.results().status(1), RowStatus::NotProcessed); // taken back at once
    QCOMPARE(run.results().status(0), RowStatus::InProgress);        // its answer awaited
    client->write("250 queued\r\n250 ok\r\n250 ok\r\n354 go\r\n");
    QTRY_COMPARE(seen.finished, QList<bool>{false});
    QCOMPARE(run.results().status(0), RowStatus::Sent);
    QCOMPARE(run.results().status(1), RowStatus::NotProcessed);
    QCOMPARE(run.good(), 1);
    QCOMPARE(*ResultJournal::load(f.path("p.results")), run.results());
    QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    QVERIFY2(!received.contains("Subject:"), received.constData()); // no body for the second
}

QTEST_GUILESS_MAIN(TestSendingRun)
// The user hears once per run that the messages go without the HTML's
// scripts: at its start, before anything is sent.
void TestSendingRun::activeContentToldOncePerRun()
{
    SendingFixture f;
    f.make({"nobody;N", "nobody2;M"}, 1, 1, "Html=1\r\n");
    f.writeFile(f.path("p.htm"), "<p onclick=go()>Hi</p><script>go()</script>");
    f.project->open(f.path("p.eml"));
    SendingRun run(*f.project, f.accounts);
    Observer seen(run);
    const QString told = "Scripts and other active content were taken out of the HTML text of the messages (mail "
                         "programs block them and spam filters count them against the sender):\n"
                         "1 x <script>, 1 x onclick attribute";
    for (int start = 1; start <= 2; ++start) {
        QVERIFY(run.sendMail());
        QTRY_COMPARE(seen.finished.size(), start);
    }
    const QString completed = "The process has been completed\n0 sent, 0 failed, 2 without a valid e-mail address.";
    QCOMPARE(seen.messages, (QStringList{told, completed, told, completed}));
}

// "Stop" while the server has not yet had the whole message: nobody
// refused it, so it is not counted as bad, and it goes on resuming.
void TestSendingRun::stopTakesBackTheMessageOnTheWay()
{
    ScriptedPeer peer(kGreeting + accepted("r0@x.test")
                      + QStringList{"C: MAIL FROM:<a@x.test>", "S: 250 ok", "C: RCPT TO:<r1@x.test>"});
    SendingFixture f;
    f.make({"r0@x.test;A", "r1@x.test;B", "r2@x.test;C"}, peer.port());
    QDateTime clock(QDate(2030, 5, 6), QTime(11, 0));
    SendingRun run(*f.project, f.accounts);
    run.setClock([&clock] { return clock; });
    run.setJournalPath(f.path("p.results"));
    Observer seen(run);
    run.sendMail();
    QTRY_VERIFY(peer.finished()); // RCPT TO of row 2 is unanswered
    QCOMPARE(run.results().status(1), RowStatus::InProgress);
    QVERIFY(!run.endTime().isValid());

    run.stop();
    QTRY_COMPARE(seen.finished, QList<bool>{false});
    QCOMPARE(seen.messages, QStringList{"Aborted"});
    const ResultTable &r = run.results();
    QCOMPARE(r.status(0), RowStatus::Sent);
    QCOMPARE(r.status(1), RowStatus::NotProcessed);
    QCOMPARE(r.result(1), QStringLiteral("Aborted by user"));
    QCOMPARE(r.status(2), RowStatus::NotProcessed);
    QCOMPARE(run.good(), 1);
    QCOMPARE(run.bad(), 0);
    QCOMPARE(run.endTime(), clock);
    QCOMPARE(ResultJournal::load(f.path("p.results"))->row(1), r.row(1));

    // Resuming sends rows 2 and 3, and row 1 not again.
    ScriptedPeer next(kGreeting + accepted("r1@x.test") + accepted("r2@x.test"));
    f.accounts.item(0)->SMTPPort = next.port();
    run.resume(0);
    QTRY_COMPARE(seen.finished, (QList<bool>{false, true}));
    QVERIFY2(next.mismatch.isEmpty(), qPrintable(next.mismatch));
    QCOMPARE(run.results().count(RowStatus::Sent), 3);
}

void TestSendingRun::accountLimitNextAllowed_data()
{
    QTest::addColumn<int>("perMinute");
    QTest::addColumn<int>("perHour");
    QTest::addColumn<QList<int>>("sent"); // seconds
    QTest::addColumn<int>("now");
    QTest::addColumn<int>("next");
    using L = QList<int>;
    QTest::newRow("no limit") << 0 << 0 << L{0, 0, 0, 0} << 1 << 1;
    QTest::newRow("under the minute's limit") << 3 << 0 << L{0, 10} << 20 << 20;
    QTest::newRow("minute full: the oldest leaves 60 s after it went") << 3 << 0 << L{0, 10, 20} << 30 << 60;
    QTest::newRow("a message 60 s old no longer counts") << 2 << 0 << L{0, 30} << 60 << 60;
    QTest::newRow("all sent at once") << 2 << 0 << L{5, 5} << 5 << 65;
    QTest::newRow("more than the limit (it was lowered): enough must leave")
        << 2 << 0 << L{0, 10, 20, 30} << 40 << 80;
    QTest::newRow("hour full, minute free") << 10 << 5 << L{0, 100, 200, 300, 400} << 500 << 3600;
    QTest::newRow("both full: the later opening") << 1 << 2 << L{0, 3000} << 3010 << 3600;
    QTest::newRow("the hour slides: older messages are forgotten") << 0 << 2 << L{0, 1000, 3700} << 3700 << 4600;
    QTest::newRow("a negative limit is none") << -1 << -1 << L{0, 0} << 0 << 0;
}

void TestSendingRun::accountLimitNextAllowed()
{
    QFETCH(int, perMinute);
    QFETCH(int, perHour);
    QFETCH(QList<int>, sent);
    QFETCH(int, now);
    QFETCH(int, next);
    const qint64 base = 1'900'000'000'000; // any point on the clock
    SendingPace pace;
    pace.setLimits(perMinute, perHour);
    for (const int second : sent)
        pace.record(base + second * 1000LL);
    QCOMPARE(pace.nextAllowed(base + now * 1000LL), base + next * 1000LL);
}

void TestSendingRun::accountLimitHoldsTheNextMessage_data()
{
    QTest::addColumn<bool>("stopInWait");
    QTest::newRow("the clock moves on") << false;
    QTest::newRow("stop in the wait") << true;
}

// At most two messages a minute: the third waits for the clock, on a timer
// the test fires; the kept connection carries it afterwards.
void TestSendingRun::accountLimitHoldsTheNextMessage()
{
    QFETCH(bool, stopInWait);
    ScriptedPeer peer(kGreeting + accepted("r0@x.test") + accepted("r1@x.test")
                      + (stopInWait ? QStringList{} : accepted("r2@x.test")));
    SendingFixture f;
    f.make({"r0@x.test;A", "r1@x.test;B", "r2@x.test;C"}, peer.port());
    f.accounts.item(0)->MaxPerMinute = 2;
    QDateTime clock(QDate(2030, 5, 6), QTime(11, 0));
    SendingRun run(*f.project, f.accounts);
    run.setClock([&clock] { return clock; });
    run.setJournalPath(f.path("p.results"));
    Observer seen(run);

    run.sendMail();
    QTRY_COMPARE(run.state(), SendingRun::State::PaceWait);
    // The wait may begin while the first two are still on the way.
    QTRY_COMPARE(run.results().status(1), RowStatus::Sent);
    QCOMPARE(rcptLines(peer).size(), 2);
    QCOMPARE(run.results().status(2), RowStatus::NotProcessed);
    QCOMPARE(run.currentRow(), 1);
    QCOMPARE(run.paceWaitMs(), 60000);
    QCOMPARE(run.paceResumeTime(), QDateTime(QDate(2030, 5, 6), QTime(11, 1)));
    QCOMPARE(run.schedulePanel(), SchedulePanel::WaitingAccountLimit);
    QVERIFY(run.isRunning());

    if (stopInWait) {
        run.stop();
        QTRY_COMPARE(seen.finished, QList<bool>{false});
        QCOMPARE(seen.messages, QStringList{"Aborted"});
        QCOMPARE(run.state(), SendingRun::State::Idle);
        QCOMPARE(run.paceWaitMs(), -1);
        QCOMPARE(run.schedulePanel(), SchedulePanel::Empty);
        QCOMPARE(run.results().status(2), RowStatus::NotProcessed);
        QCOMPARE(rcptLines(peer).size(), 2);
        return;
    }

    // Fired early (the clock is half-way): it waits for the rest.
    clock = clock.addSecs(30);
    run.paceTimerFired();
    QCOMPARE(run.state(), SendingRun::State::PaceWait);
    QCOMPARE(run.paceWaitMs(), 30000);
    QCOMPARE(rcptLines(peer).size(), 2);

    clock = clock.addSecs(30);
    run.paceTimerFired();
    QTRY_COMPARE(seen.finished, QList<bool>{true});
    QVERIFY2(peer.mismatch.isEmpty(), qPrintable(peer.mismatch));
    QCOMPARE(rcptLines(peer), (QStringList{"RCPT TO:<r0@x.test>", "RCPT TO:<r1@x.test>", "RCPT TO:<r2@x.test>"}));
    QCOMPARE(peer.connections, 1);
    QCOMPARE(run.good(), 3);
    QCOMPARE(run.schedulePanel(), SchedulePanel::Empty);
    // The wait changed nothing of what the journal holds.
    QCOMPARE(*ResultJournal::load(f.path("p.results")), run.results());
}

#include "tst_sendingrun.moc"
