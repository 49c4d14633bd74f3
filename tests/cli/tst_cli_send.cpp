#include "sending/resulttable.h"
#include "settings/settings.h"
#include "clifixture.h"
#include "messagejudge.h"
#include "testservers.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace varnholt;
using namespace varnholt::testing;

// The sending commands of varnholt-cli, run as a user's script would, with
// their messages judged by Python's email package and real servers.
class TestCliSend : public QObject, private CliFixture
{
    Q_OBJECT

private Q_SLOTS:
    void dryRunMessagesParseWithTheRightValues();
    void previewPrintsOneRow();
    void dryRunSendsNoActiveContent();
    void usageAndSetupErrors_data();
    void usageAndSetupErrors();
    void resultsDelete_data();
    void resultsDelete();
    void sendThroughSink_data();
    void sendThroughSink();
    void killedRunResumesWithoutDuplicates();
    void multiLineRefusalReachesTheResults();
    void accountLimitWaitShownAndStopped();
    void deferredRowsSurviveAKill();
};

void TestCliSend::dryRunMessagesParseWithTheRightValues()
{
    QTemporaryDir dir;
    // Row 3 has no address; row 2's name is not ASCII (UTF-8 list, ISO-8859-1
    // message); row 4 is written as "Name <address>".
    const QString project = makeProject(dir.path(), "ann@example.org;Ann;Oslo\r\n"
                                                    "zoe@example.org;Zo\xc3\xab;K\xc3\xb6ln\r\n"
                                                    "nobody;Nobody;Nowhere\r\n"
                                                    "Dan Brown <dan@example.org>;Dan;Rome\r\n");
    const QString out = dir.filePath("out");
    const Result r = run({"--home", dir.filePath("home"), "send", project, "--dry-run", out});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.contains("row 3"), r.err.constData());
    QCOMPARE(QDir(out).entryList(QDir::Files), (QStringList{"000001.eml", "000002.eml", "000004.eml"}));

    QStringList files;
    for (const QString &name : QDir(out).entryList(QDir::Files))
        files << QDir(out).filePath(name);
    const MessageDescriptions described = describeMessages(files);
    QVERIFY2(described.error.isEmpty(), qPrintable(described.error));
    struct Expected {
        QString address, subject, body;
    };
    const QList<Expected> expected{
        {"ann@example.org", "Offer for Ann", "Dear Ann,|welcome to Oslo."},
        {"zoe@example.org", "Offer for Zo\u00eb", "Dear Zo\u00eb,|welcome to K\u00f6ln."},
        {"dan@example.org", "Offer for Dan", "Dear Dan,|welcome to Rome."},
    };
    QCOMPARE(described.messages.size(), expected.size());
    QSet<QString> ids;
    for (int i = 0; i < expected.size(); ++i) {
        const QJsonObject m = described.messages.at(i).toObject();
        QCOMPARE(m["type"].toString(), QStringLiteral("text/plain"));
        // The address alone, without a display name.
        QCOMPARE(m["to"].toArray(), (QJsonArray{QJsonArray{"", expected[i].address}}));
        QCOMPARE(m["subject"].toString().trimmed(), expected[i].subject);
        const QString body = m["plain"].toString().replace("\r\n", "\n").trimmed().replace(u'\n', u'|');
        QCOMPARE(body, expected[i].body);
        ids.insert(m["message_id"].toString());
    }
    QCOMPARE(ids.size(), 3); // RFC 5322 3.6.4: one Message-Id per message
}

void TestCliSend::previewPrintsOneRow()
{
    QTemporaryDir dir;
    const QString project = makeProject(dir.path(), "ann@example.org;Ann;Oslo\r\nbo@example.org;Bo;Lund\r\n");
    const Result r = run({"--home", dir.filePath("home"), "preview", project, "--row", "2"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains("\r\nTo: bo@example.org\r\n"), r.out.constData());
    QVERIFY(r.out.contains("Subject: Offer for Bo"));
    QVERIFY(r.out.contains("Dear Bo,\r\nwelcome to Lund."));
    QVERIFY(!r.out.contains("Ann"));
}

// Every kind of active content in the project's HTML: none of it reaches
// the messages as a receiver's parser reads them, and the dry run says once
// what went. The project's own file keeps it.
void TestCliSend::dryRunSendsNoActiveContent()
{
    QTemporaryDir dir;
    const QString project = varnholt::testing::writeProject(
        dir.path(), {.settings = "[Common]\r\nSubject=Hi\r\nSectionSymbol=;\r\nColumn=0\r\n"
                                 "CharSet=English(en),iso-8859-1\r\nHtml=1\r\n",
                     .list = "ann@example.org;https://e.test/ann\r\nbo@example.org;javascript:steal()\r\n",
                     .text = "Hi\r\n"});
    const QByteArray html =
        "<html><body onload=\"steal()\"><p onclick='steal()'>Dear reader,</p>\r\n"
        "<script>steal()</script><iframe src=\"https://e.test/\"></iframe>\r\n"
        "<object data=\"x.swf\"><param name=a value=b></object><embed src=\"x.swf\">\r\n"
        "<form action=\"https://e.test/\"><input name=q><button>Send</button><select><option>1</select>"
        "<textarea>t</textarea></form>\r\n"
        "<a href=\"javascript:steal()\">here</a> <a href=\"[Column#2]\">yours</a></body></html>\r\n";
    varnholt::testing::writeFile(dir.filePath("p.htm"), html);
    const QString out = dir.filePath("out");
    const Result r = run({"--home", dir.filePath("home"), "send", project, "--dry-run", out});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err.count("Scripts and other active content were taken out"), 1);
    for (const char *kind : {"<script>", "<iframe>", "<object>", "<embed>", "<param>", "<form>", "<input>",
                             "<button>", "<select>", "<textarea>", "onload attribute", "onclick attribute",
                             "2 x javascript: address"})
        QVERIFY2(r.err.contains(kind), qPrintable(QString::fromLatin1(kind) + ": " + QString::fromUtf8(r.err)));
    QCOMPARE(varnholt::testing::readFile(dir.filePath("p.htm")), html);

    const MessageDescriptions described =
        describeMessages({QDir(out).filePath("000001.eml"), QDir(out).filePath("000002.eml")});
    QVERIFY2(described.error.isEmpty(), qPrintable(described.error));
    QCOMPARE(described.messages.size(), 2);
    for (const QJsonValue &m : described.messages) {
        const QString body = m.toObject()["html"].toString();
        QVERIFY2(body.contains("Dear reader,") && body.contains(">here</a>") && body.contains("Send"),
                 qPrintable(body));
        for (const char *active : {"<script", "<iframe", "<object", "<embed", "<param", "<form", "<input",
                                   "<button", "<select", "<textarea", "onload", "onclick", "javascript:", "steal"})
            QVERIFY2(!body.contains(QLatin1String(active), Qt::CaseInsensitive), qPrintable(body));
    }
    QVERIFY(described.messages.at(0).toObject()["html"].toString().contains("href=\"https://e.test/ann\""));
}

void TestCliSend::usageAndSetupErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("withSettings");
    // "PROJECT" stands for a valid project.
    QTest::newRow("send without a project") << QStringList{"send"} << true;
    QTest::newRow("send of a missing project") << QStringList{"send", "/nonexistent/p.eml"} << true;
    QTest::newRow("send without a settings file") << QStringList{"send", "PROJECT"} << false;
    QTest::newRow("send --from-row 0") << QStringList{"send", "PROJECT", "--from-row", "0"} << true;
    QTest::newRow("send --from-row past the list") << QStringList{"send", "PROJECT", "--from-row", "9"} << true;
    QTest::newRow("send --resume without an earlier run") << QStringList{"send", "PROJECT", "--resume"} << true;
    QTest::newRow("send --results naming the run's own file")
        << QStringList{"send", "PROJECT", "--results", "RESULTS"} << true;
    QTest::newRow("preview without --row") << QStringList{"preview", "PROJECT"} << false;
    QTest::newRow("preview of a row past the list") << QStringList{"preview", "PROJECT", "--row", "3"} << false;
    QTest::newRow("results with an unknown choice") << QStringList{"results", "PROJECT", "--delete", "all"} << false;
    QTest::newRow("results with a bad code") << QStringList{"results", "PROJECT", "--delete", "codes:55x"} << false;
    QTest::newRow("results without an earlier run") << QStringList{"results", "PROJECT", "--delete", "sent"} << false;
}

void TestCliSend::usageAndSetupErrors()
{
    QFETCH(QStringList, args);
    QFETCH(bool, withSettings);
    QTemporaryDir dir;
    const QString project = makeProject(dir.path(), "ann@example.org;Ann;Oslo\r\nbo@example.org;Bo;Lund\r\n");
    QDir().mkpath(dir.filePath("home"));
    if (withSettings)
        writeSettings(dir.filePath("home"), 1); // never reached: every row fails before sending
    args.replaceInStrings(QStringLiteral("PROJECT"), project);
    args.replaceInStrings(QStringLiteral("RESULTS"), dir.filePath("p.results"));
    const Result r = run(QStringList{"--home", dir.filePath("home")} + args);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.startsWith("varnholt-cli: "), r.err.constData());
    QVERIFY(!QFile::exists(dir.filePath("p.results")));
}

void TestCliSend::resultsDelete_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QByteArray>("listAfter");
    // Rows: 1 sent, 2 failed with 550, 3 failed with 551, 4 not processed,
    // 5 failed without a code.
    QTest::newRow("sent") << "sent" << QByteArray("b@x;B\r\nc@x;C\r\nd@x;D\r\nnone;E\r\n");
    // The list keeps what the user wrote: no cleaned address is saved.
    QTest::newRow("unsent keeps the rows never processed") << "unsent" << QByteArray("A <a@x>;A\r\nd@x;D\r\n");
    QTest::newRow("codes:550") << "codes:550" << QByteArray("A <a@x>;A\r\nc@x;C\r\nd@x;D\r\nnone;E\r\n");
    QTest::newRow("codes:550,551") << "codes:550,551" << QByteArray("A <a@x>;A\r\nd@x;D\r\nnone;E\r\n");
}

void TestCliSend::resultsDelete()
{
    QFETCH(QString, choice);
    QFETCH(QByteArray, listAfter);
    QTemporaryDir dir;
    // Row 1 is written as "Name <address>": the run saw it cleaned.
    const QString project = makeProject(dir.path(), "A <a@x>;A\r\nb@x;B\r\nc@x;C\r\nd@x;D\r\nnone;E\r\n");
    ResultTable results;
    results.setRowCount(5);
    const QStringList addresses = {"a@x", "b@x", "c@x", "d@x", "none"};
    for (int i = 0; i < 5; ++i)
        results.setAddress(i, addresses[i]);
    results.setStatus(0, RowStatus::Sent);
    results.setRow(1, {"b@x", "No", "", "550", "550 no such user", RowStatus::Failed});
    results.setRow(2, {"c@x", "No", "", "551", "551 not local", RowStatus::Failed});
    results.setRow(4, {"none", "", "Error email", "", "", RowStatus::Failed});
    ResultJournal journal(dir.filePath("p.results"));
    QVERIFY(journal.writeSnapshot(results));

    const Result r = run({"--home", dir.filePath("home"), "--json", "results", dir.filePath("p.eml"), "--delete", choice});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readFile(dir.filePath("p.txt")), listAfter);
    const int before = 5;
    const int after = int(listAfter.count("\r\n"));
    QCOMPARE(QJsonDocument::fromJson(r.out).object().value("deleted").toInt(), before - after);
    // The saved results moved with their rows: a second delete still fits.
    const auto reloaded = ResultJournal::load(dir.filePath("p.results"));
    QVERIFY(reloaded);
    QCOMPARE(reloaded->rowCount(), after);
    const Result again = run({"--home", dir.filePath("home"), "results", dir.filePath("p.eml"), "--delete", choice});
    QCOMPARE(again.exitCode, 0);
    QVERIFY2(again.out.startsWith("Deleted 0 rows"), again.out.constData());
}

void TestCliSend::sendThroughSink_data()
{
    QTest::addColumn<QStringList>("sinkOptions");
    QTest::addColumn<QByteArray>("resultLines");
    QTest::newRow("every recipient accepted, one row without an address")
        << QStringList{}
        << QByteArray("user1@example.org;Ok;Sent through ISP smtp mail server;;\r\n"
                      "nobody;;Error email;;\r\n"
                      "user3@example.org;Ok;Sent through ISP smtp mail server;;\r\n");
    QTest::newRow("every recipient refused with 550")
        << QStringList{"-f", "RCPT", "-B", "550 5.1.1 No such user"}
        << QByteArray("user1@example.org;No;;550;Unexpected response: 550 5.1.1 No such user\r\n"
                      "nobody;;Error email;;\r\n"
                      "user3@example.org;No;;550;Unexpected response: 550 5.1.1 No such user\r\n");
}

void TestCliSend::sendThroughSink()
{
    QFETCH(QStringList, sinkOptions);
    QFETCH(QByteArray, resultLines);
    QTemporaryDir dir;
    openToAll(dir.path()); // smtp-sink writes its dump folder as "nobody"
    SmtpSink sink;
    if (!sink.start(dir.filePath("dump"), sinkOptions)) {
        if (!sink.missing.isEmpty())
            QSKIP(qPrintable(sink.missing));
        QFAIL(qPrintable(sink.error));
    }
    writeSettings(dir.filePath("home"), sink.port());
    const QString project = makeProject(dir.path(), "user1@example.org;One;A\r\nnobody;Two;B\r\nuser3@example.org;Three;C\r\n");
    const Result r = run({"--home", dir.filePath("home"), "send", project, "--results", dir.filePath("out.txt"),
                          "--trace", dir.filePath("trace.txt")});
    QCOMPARE(r.exitCode, 1); // the row without an address failed in both cases
    // The dialogue in the test-script form.
    const QByteArray trace = readFile(dir.filePath("trace.txt"));
    QVERIFY2(trace.contains("C: RCPT TO:<user3@example.org>") && trace.startsWith("S: 220 "), trace.constData());
    // One plain line per recipient as it ends (standard output is no
    // terminal here): the row without an address may end while the first
    // message is still on the way.
    QCOMPARE(r.out.count("\n"), 3 + 2);
    QVERIFY2(("\n" + r.out).contains("\n1\tuser1@example.org\t"), r.out.constData());
    QCOMPARE(readFile(dir.filePath("out.txt")), resultLines);
    const auto journal = ResultJournal::load(dir.filePath("p.results"));
    QVERIFY(journal);
    QCOMPARE(journal->status(1), RowStatus::Failed);
    const int accepted = sinkOptions.isEmpty() ? 2 : 0;
    QCOMPARE(journal->count(RowStatus::Sent), accepted);
    QCOMPARE(deliveredByRecipient(dir.filePath("dump")).size(), accepted);
}

void TestCliSend::killedRunResumesWithoutDuplicates()
{
    QTemporaryDir dir;
    openToAll(dir.path()); // smtp-sink writes its dump folder as "nobody"
    SmtpSink sink;
    // The server waits a second before answering MAIL: the run is killed
    // while a message waits there, never between its end and the answer.
    // Without pipelining (-p): smtp-sink's delays hold back the answer to
    // the "." sent with the next message's commands (and -W answers
    // pipelined commands out of order).
    if (!sink.start(dir.filePath("dump"), {"-p", "-W", "mail:1"})) {
        if (!sink.missing.isEmpty())
            QSKIP(qPrintable(sink.missing));
        QFAIL(qPrintable(sink.error));
    }
    writeSettings(dir.filePath("home"), sink.port());
    const int rows = 5;
    const QString project = makeProject(dir.path(), numberedList(rows));

    QProcess first;
    first.start(QStringLiteral(VARNHOLT_CLI), {"--home", dir.filePath("home"), "send", project});
    QVERIFY(first.waitForStarted());
    // Kill once two rows are recorded as accepted.
    QTRY_VERIFY_WITH_TIMEOUT(readFile(dir.filePath("p.results")).count("\tOk\t") >= 2, 20000);
    ::kill(pid_t(first.processId()), SIGKILL);
    QVERIFY(first.waitForFinished(10000));
    const auto killed = ResultJournal::load(dir.filePath("p.results"));
    QVERIFY(killed);
    const int sentBefore = killed->count(RowStatus::Sent);
    QVERIFY(sentBefore >= 2 && sentBefore < rows);

    const Result resumed = run({"--home", dir.filePath("home"), "send", project, "--resume"});
    QVERIFY2(resumed.exitCode == 0, (resumed.out + resumed.err).constData());
    QCOMPARE(resumed.out.count("\tOk\t"), rows - sentBefore); // only the rest was sent
    const QHash<QByteArray, int> delivered = deliveredByRecipient(dir.filePath("dump"));
    QCOMPARE(delivered.size(), rows);
    for (auto it = delivered.cbegin(); it != delivered.cend(); ++it)
        QVERIFY2(it.value() == 1, it.key().constData());
    QCOMPARE(ResultJournal::load(dir.filePath("p.results"))->count(RowStatus::Sent), rows);
}

// One message a minute: after the first the run says until when it waits,
// and Ctrl+C in the wait ends it at once with the rest unsent.
void TestCliSend::accountLimitWaitShownAndStopped()
{
    QTemporaryDir dir;
    openToAll(dir.path()); // smtp-sink writes its dump folder as "nobody"
    SmtpSink sink;
    if (!sink.start(dir.filePath("dump"), {})) {
        if (!sink.missing.isEmpty())
            QSKIP(qPrintable(sink.missing));
        QFAIL(qPrintable(sink.error));
    }
    const QString home = dir.filePath("home");
    writeSettings(home, sink.port());
    ProgramSettings settings;
    LoadSettings(settings, home + "/setupqnd.ini");
    settings.accounts.item(0)->MaxPerMinute = 1;
    QVERIFY(SaveSettings(settings, home + "/setupqnd.ini"));
    const QString project = makeProject(dir.path(), numberedList(3));

    QProcess send;
    send.start(QStringLiteral(VARNHOLT_CLI), {"--home", home, "send", project});
    QVERIFY(send.waitForStarted());
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += send.readAllStandardError()).contains("waiting for the account's limit: next "
                                                                           "message at "),
                             20000);
    QElapsedTimer stopping;
    stopping.start();
    ::kill(pid_t(send.processId()), SIGINT);
    QVERIFY(send.waitForFinished(20000));
    QVERIFY2(stopping.elapsed() < 10000, "the wait for the limit held the stop back");
    QVERIFY(send.exitCode() != 0);
    const QByteArray out = send.readAllStandardOutput();
    QVERIFY2(out.contains("Stopped: 1 rows sent, 0 failed, 2 not processed"), out.constData());
    QCOMPARE(ResultJournal::load(dir.filePath("p.results"))->count(RowStatus::Sent), 1);
    QCOMPARE(deliveredByRecipient(dir.filePath("dump")).size(), 1);
}

// A refusal of several lines from a real server reaches the row whole.
void TestCliSend::multiLineRefusalReachesTheResults()
{
    QTemporaryDir dir;
    AiosmtpdServer server;
    VARNHOLT_START_SERVER(server, "plain", dir.filePath("mail"), QString(), QString());
    writeSettings(dir.filePath("home"), server.port());
    const QString project = makeProject(dir.path(), "reject-multiline@example.org;Rex;Bonn\r\n");
    const Result r = run({"--home", dir.filePath("home"), "send", project, "--results", dir.filePath("out.txt")});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(readFile(dir.filePath("out.txt")),
             QByteArray("reject-multiline@example.org;No;;550;Unexpected response: 550 5.1.1 first line of the "
                        "refusal / 5.1.1 second line of the refusal\r\n"));
}

// A greylisting server refuses every first try with 451: the project's
// retries defer every row for an hour, the process is killed in the wait,
// and the journal keeps the deferred rows. A plain send refuses to start
// over; --resume with --retry-after 0 tries them at once, and every
// recipient gets the message exactly once.
void TestCliSend::deferredRowsSurviveAKill()
{
    QTemporaryDir dir;
    AiosmtpdServer server;
    const QString stored = dir.filePath("mail");
    VARNHOLT_START_SERVER(server, "plain", stored, QString(), QString(), QString(), QString(), {}, {"--greylist"});
    const QString home = dir.filePath("home");
    writeSettings(home, server.port());
    const int rows = 4;
    const QString project = makeProject(dir.path(), numberedList(rows));
    QFile eml(project);
    QVERIFY(eml.open(QIODevice::Append));
    eml.write("RetryCount=2\r\nRetryMinutes=60\r\n");
    eml.close();

    const Result shown = run({"--home", home, "--json", "project", "show", project});
    QCOMPARE(shown.exitCode, 0);
    const QJsonObject settings = QJsonDocument::fromJson(shown.out).object();
    QCOMPARE(settings.value("retryCount").toInt(), 2);
    QCOMPARE(settings.value("retryMinutes").toInt(), 60);

    QProcess first;
    first.start(QStringLiteral(VARNHOLT_CLI), {"--home", home, "send", project});
    QVERIFY(first.waitForStarted());
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += first.readAllStandardError()).contains("waiting to try 4 deferred rows again at"),
                             20000);
    ::kill(pid_t(first.processId()), SIGKILL);
    QVERIFY(first.waitForFinished(10000));
    const auto killed = ResultJournal::load(dir.filePath("p.results"));
    QVERIFY(killed);
    QCOMPARE(killed->count(RowStatus::Deferred), rows);
    const qint64 inAnHour = QDateTime::currentMSecsSinceEpoch() + 55 * 60 * 1000;
    for (int row = 0; row < rows; ++row) {
        QCOMPARE(killed->code(row), QStringLiteral("451"));
        QVERIFY(killed->retry(row)->deferrals == 1 && killed->retry(row)->at > inAnHour);
    }
    QVERIFY(AiosmtpdServer::storedRecipients(stored).isEmpty());

    const Result again = run({"--home", home, "send", project});
    QCOMPARE(again.exitCode, 2);
    QVERIFY2(again.err.contains("4 deferred"), again.err.constData());

    const Result resumed = run({"--home", home, "send", project, "--resume", "--retry-after", "0"});
    QCOMPARE(resumed.exitCode, 0);
    QCOMPARE(resumed.out.count("\tOk\t"), rows);
    const QHash<QString, int> received = AiosmtpdServer::storedRecipients(stored);
    QCOMPARE(received.size(), rows);
    for (auto it = received.cbegin(); it != received.cend(); ++it)
        QVERIFY2(it.value() == 1, qPrintable(it.key()));
    QCOMPARE(ResultJournal::load(dir.filePath("p.results"))->count(RowStatus::Sent), rows);
}

QTEST_GUILESS_MAIN(TestCliSend)
#include "tst_cli_send.moc"
