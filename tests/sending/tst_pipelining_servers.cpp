// Pipelined sessions and parallel connections against real servers on
// 127.0.0.1: smtp-sink with and without its PIPELINING announcement, and
// aiosmtpd scripted to refuse one recipient of a pipelined group, to drop the
// connection in the middle of one, and to answer 421 after some messages.
// Every row ends with exactly one outcome, no recipient gets a message
// twice, and a resumed run sends exactly the rows that were not accepted.

#include "sending/sendingrun.h"

#include "sendingfixture.h"
#include "testfiles.h"
#include "testservers.h"

#include <QBuffer>
#include <QRegularExpression>
#include <QSignalSpy>

using namespace varnholt;
using namespace varnholt::testing;

namespace {

// How often each recipient was delivered, from smtp-sink's dumps (the To
// line).
QHash<QString, int> sinkRecipients(const QString &folder)
{
    QHash<QString, int> seen;
    static const QRegularExpression to(QStringLiteral("^To: .*?([\\w.-]+@example\\.test)"),
                                       QRegularExpression::MultilineOption);
    for (const QByteArray &stored : SmtpSink::storedMessages(folder)) {
        const QRegularExpressionMatch match = to.match(QString::fromLatin1(stored));
        if (match.hasMatch())
            ++seen[match.captured(1)];
    }
    return seen;
}


bool runToEnd(SendingRun &run, bool resume = false)
{
    QSignalSpy done(&run, &SendingRun::runFinished);
    if (resume)
        run.resume();
    else
        run.sendMail();
    return done.wait(60000);
}

} // namespace

class TestPipeliningServers : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void sink_data();
    void sink();
    void scriptedFaults();
};

void TestPipeliningServers::sink_data()
{
    QTest::addColumn<bool>("announced");
    QTest::addColumn<int>("connections");
    QTest::newRow("pipelined, one connection") << true << 1;
    QTest::newRow("pipelined, three connections") << true << 3;
    QTest::newRow("not offered (-p)") << false << 1;
}

void TestPipeliningServers::sink()
{
    QFETCH(bool, announced);
    QFETCH(int, connections);
    constexpr int kRows = 300;
    SendingFixture f;
    QVERIFY(f.dir.isValid());
    openToAll(f.dir.path());
    SmtpSink sink;
    const QString dumps = f.path("sink");
    VARNHOLT_START_SERVER(sink, dumps, announced ? QStringList() : QStringList{"-p"});
    QList<QByteArray> lines;
    for (int i = 0; i < kRows; ++i)
        lines << QStringLiteral("u%1@example.test;N%1").arg(i).toUtf8();
    f.make(lines, sink.port());
    f.accounts.item(0)->Connections = connections;

    SendingRun run(*f.project, f.accounts);
    run.setJournalPath(f.path("p.results"));
    QBuffer trace;
    trace.open(QIODevice::WriteOnly);
    run.accountTransport().setTrace(&trace);
    int mostOnTheWay = 0;
    connect(&run, &SendingRun::rowChanged, &run, [&](int) {
        mostOnTheWay = std::max(mostOnTheWay, int(run.results().count(RowStatus::InProgress)));
    });
    QVERIFY(runToEnd(run));
    QCOMPARE(run.good(), kRows);
    QCOMPARE(run.results().count(RowStatus::Sent), kRows);
    QCOMPARE(*ResultJournal::load(f.path("p.results")), run.results());
    QCOMPARE(run.accountTransport().connectionCount(), connections);
    // Each connection holds three messages while it may pipeline (until the
    // server's greeting says otherwise), one without.
    QVERIFY2(mostOnTheWay <= connections * 3, qPrintable(QString::number(mostOnTheWay)));
    if (announced)
        QCOMPARE(mostOnTheWay, connections * 3);

    // With pipelining the group goes before any reply: "DATA" follows the
    // recipient at once; without it every command waits for its reply.
    const QByteArray dialogue = trace.data();
    QVERIFY2(dialogue.contains("S: 220 "), dialogue.left(400).constData());
    const bool grouped = dialogue.contains("C: RCPT TO:<u1@example.test>\r\nC: DATA\r\n");
    QCOMPARE(grouped, announced);
    QCOMPARE(dialogue.contains("C: .\r\nC: MAIL FROM:"), announced);

    QTRY_COMPARE_WITH_TIMEOUT(SmtpSink::storedMessages(dumps).size(), kRows, 20000);
    const QHash<QString, int> received = sinkRecipients(dumps);
    QCOMPARE(received.size(), kRows);
    for (auto it = received.cbegin(); it != received.cend(); ++it)
        QVERIFY2(it.value() == 1, qPrintable(it.key()));
}

void TestPipeliningServers::scriptedFaults()
{
    // aiosmtpd pipelines; "refuse-me" is refused at RCPT, "drop-me" makes it
    // hang up at RCPT, and after every 5 accepted messages it answers 421.
    SendingFixture f;
    QVERIFY(f.dir.isValid());
    AiosmtpdServer server;
    const QString stored = f.path("mail");
    VARNHOLT_START_SERVER(server, "plain", stored, QString(), QString(), QString(), QString(), {},
                          QStringList{"--pipelining", "--close-after", "5"});
    QList<QByteArray> lines;
    constexpr int kRows = 24;
    for (int i = 0; i < kRows; ++i) {
        QString local = QStringLiteral("u%1").arg(i);
        if (i == 3 || i == 17)
            local = QStringLiteral("refuse-me");
        else if (i == 9)
            local = QStringLiteral("drop-me");
        lines << QStringLiteral("%1@example.test;N%2").arg(local).arg(i).toUtf8();
    }
    f.make(lines, server.port());
    f.accounts.item(0)->Connections = 2;
    SendingRun run(*f.project, f.accounts);
    run.setJournalPath(f.path("p.results"));
    QBuffer trace;
    trace.open(QIODevice::WriteOnly);
    run.accountTransport().setTrace(&trace);
    QHash<int, int> finals;
    QList<RowStatus> last(kRows, RowStatus::NotProcessed);
    connect(&run, &SendingRun::rowChanged, &run, [&](int row) {
        const RowStatus now = run.results().status(row);
        if (now != last[row])
            finals[row] += now == RowStatus::Sent || now == RowStatus::Failed || now == RowStatus::Unknown;
        last[row] = now;
    });
    QVERIFY(runToEnd(run));
    QVERIFY2(trace.data().contains("C: RCPT TO:<u0@example.test>\r\nC: DATA\r\n"), "no pipelined group");

    // The server's 421 answers whichever command comes after its limit, the
    // scripted recipients' too.
    const ResultTable &results = run.results();
    int refused421 = 0;
    for (int row = 0; row < kRows; ++row) {
        QVERIFY2(finals.value(row) == 1, qPrintable(QStringLiteral("row %1: %2 outcomes").arg(row).arg(finals.value(row))));
        const QString address = results.address(row);
        const QString code = results.code(row);
        refused421 += code == u"421";
        if (address.startsWith(u"refuse-me")) {
            QCOMPARE(results.status(row), RowStatus::Failed);
            QVERIFY2(code == u"550" || code == u"421", qPrintable(results.comment(row)));
        } else if (address.startsWith(u"drop-me")) {
            QCOMPARE(results.status(row), RowStatus::Failed);
            QVERIFY2(code.isEmpty() || code == u"421", qPrintable(results.comment(row)));
        } else if (results.status(row) == RowStatus::Failed) {
            QCOMPARE(code, QStringLiteral("421"));
        } else {
            QCOMPARE(results.status(row), RowStatus::Sent);
        }
    }
    QVERIFY(refused421 >= 1);
    QCOMPARE(*ResultJournal::load(f.path("p.results")), results);
    const int sentFirst = results.count(RowStatus::Sent);
    QHash<QString, int> received = AiosmtpdServer::storedRecipients(stored);
    QCOMPARE(received.size(), sentFirst);

    // The resumed run sends exactly the rows the first did not get through
    // (the 421 ones: a new connection takes them), never one twice.
    QVERIFY(runToEnd(run, true));
    received = AiosmtpdServer::storedRecipients(stored);
    for (auto it = received.cbegin(); it != received.cend(); ++it)
        QVERIFY2(it.value() == 1, qPrintable(it.key()));
    for (int row = 0; row < kRows; ++row) {
        const QString address = results.address(row);
        if (address.startsWith(u"refuse-me") || address.startsWith(u"drop-me"))
            QCOMPARE(results.status(row), RowStatus::Failed);
        else if (results.status(row) != RowStatus::Sent)
            QCOMPARE(results.code(row), QStringLiteral("421")); // the server's limit met again
    }
    QVERIFY(results.count(RowStatus::Sent) > sentFirst);
    QCOMPARE(received.size(), results.count(RowStatus::Sent));
}

QTEST_GUILESS_MAIN(TestPipeliningServers)
#include "tst_pipelining_servers.moc"
