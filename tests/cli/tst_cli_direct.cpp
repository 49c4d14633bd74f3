#include "clifixture.h"
#include "messagejudge.h"
#include "testservers.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace varnholt;
using namespace varnholt::testing;

// `send --direct`: every message straight to its recipient's exchanger, the
// exchangers found through dnsmasq and played by smtp-sink and aiosmtpd on
// 127.0.0.2 .. 127.0.0.6, one port for all of them.
class TestCliDirect : public QObject, private CliFixture
{
    Q_OBJECT
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    DnsmasqServer m_dns;
    SmtpSink m_sinkA, m_sinkB;
    AiosmtpdServer m_grey;

    [[nodiscard]] QString folder(const QString &name) const { return m_dir.filePath(name); }

    [[nodiscard]] QStringList directArgs(const QString &project, const QStringList &more = {}) const
    {
        return QStringList{"--home", folder("home"), "send", project, "--direct", "--dns",
                           QStringLiteral("127.0.0.1:%1").arg(m_dns.port()), "--smtp-port", QString::number(m_port)}
               + more;
    }

    // Recipient -> messages received, over both sinks.
    [[nodiscard]] QHash<QByteArray, int> delivered() const
    {
        QHash<QByteArray, int> counts = deliveredByRecipient(folder("a"));
        const QHash<QByteArray, int> b = deliveredByRecipient(folder("b"));
        for (auto it = b.begin(); it != b.end(); ++it)
            counts[it.key()] += it.value();
        return counts;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        openToAll(m_dir.path()); // smtp-sink writes its dump folders as "nobody"
        m_port = freePort();
        m_sinkA.listenOn(QStringLiteral("127.0.0.2"), m_port);
        VARNHOLT_START_SERVER(m_sinkA, folder("a"));
        // Each answer to MAIL FROM waits a second: a run can be stopped
        // with messages on the way.
        m_sinkB.listenOn(QStringLiteral("127.0.0.3"), m_port);
        VARNHOLT_START_SERVER(m_sinkB, folder("b"), {"-W", "mail:1"});
        m_grey.listenOn(QStringLiteral("127.0.0.6"), m_port);
        VARNHOLT_START_SERVER(m_grey, "plain", folder("grey"), QString(), QString(), QString(), QString(),
                              QStringList(), QStringList{"--greylist"});
        VARNHOLT_START_SERVER(m_dns, QStringList{
            "--local=/test/",
            "--mx-host=a.test,mx-a.test,10", "--mx-host=a.test,mx-dead.test,5",
            "--mx-host=b.test,mx-b.test,10",
            "--mx-host=grey.test,mx-grey.test,10",
            "--mx-host=dead.test,mx-dead.test,10",
            "--host-record=mx-a.test,127.0.0.2", "--host-record=mx-b.test,127.0.0.3",
            "--host-record=mx-dead.test,127.0.0.4", "--host-record=mx-grey.test,127.0.0.6"});
        writeSettings(folder("home"), 1); // the account's server is never used
    }

    // One run: delivered rows exactly once, judged by Python's email package;
    // greylisted, unreachable and unknown domains failed with their reasons;
    // the resumed run delivers the greylisted rows and nothing twice.
    void deliversAndResumes()
    {
        QTemporaryDir dir;
        const QString project = makeProject(dir.path(), "ann@a.test;Ann;Oslo\r\n"
                                                        "bo@grey.test;Bo;Lund\r\n"
                                                        "cy@dead.test;Cy;Bern\r\n"
                                                        "di@nowhere.test;Di;Graz\r\n"
                                                        "no address;Ed;Linz\r\n"
                                                        "fay@a.test;Fay;Riga\r\n");
        const Result r = run(directArgs(project, {"--connections", "3", "--json"}));
        QVERIFY2(r.exitCode == 1, r.out + r.err);
        QVERIFY2(r.err.contains("port 25") || r.err.contains("SPF and DKIM"), r.err.constData());
        const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
        QVERIFY2(doc["sent"].toInt() == 2 && doc["failed"].toInt() == 4, r.out + r.err);

        QHash<QByteArray, int> got = deliveredByRecipient(folder("a"));
        QCOMPARE(got.value("ann@a.test"), 1);
        QCOMPARE(got.value("fay@a.test"), 1);
        QStringList files;
        for (const QString &name : QDir(folder("a")).entryList(QDir::Files))
            files << QDir(folder("a")).filePath(name);
        const MessageDescriptions described = describeMessages(files);
        QVERIFY2(described.error.isEmpty(), qPrintable(described.error));
        QSet<QString> ids;
        for (const auto &m : described.messages) {
            const QJsonObject o = m.toObject();
            QVERIFY(o["defects"].toArray().isEmpty());
            QVERIFY(o["subject"].toString().startsWith(QStringLiteral("Offer for ")));
            ids.insert(o["message_id"].toString());
        }
        QCOMPARE(ids.size(), described.messages.size());

        const Result again = run(directArgs(project, {"--resume", "--json"}));
        QCOMPARE(again.exitCode, 1); // the dead and the unknown domain stay failed
        QCOMPARE(QDir(folder("grey")).entryList({"*.eml"}).size(), 1);
        got = deliveredByRecipient(folder("a"));
        QCOMPARE(got.value("ann@a.test"), 1);
        QCOMPARE(got.value("fay@a.test"), 1);
    }

    // Ctrl+C in the middle: the messages on the way get their answers, the
    // run stops (a second Ctrl+C takes them back at once); the resumed run
    // sends exactly the rest.
    void stoppedRunResumesExactlyTheRest_data()
    {
        QTest::addColumn<int>("interrupts");
        QTest::newRow("after the messages on the way") << 1;
        QTest::newRow("at once") << 2;
    }
    void stoppedRunResumesExactlyTheRest()
    {
        QFETCH(int, interrupts);
        QTemporaryDir dir;
        QByteArray list;
        const int rows = 24;
        for (int i = 1; i <= rows; ++i)
            list += QByteArray("u") + QByteArray::number(i) + "-" + QByteArray::number(interrupts) + "@b.test;User "
                    + QByteArray::number(i) + ";Town\r\n";
        const QString project = makeProject(dir.path(), list);
        const int before = delivered().size();

        QProcess first;
        first.start(QStringLiteral(VARNHOLT_CLI), directArgs(project, {"--connections", "4"}));
        QVERIFY(first.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(delivered().size() >= before + 4, 20000);
        for (int i = 0; i < interrupts; ++i) {
            ::kill(pid_t(first.processId()), SIGINT);
            QTest::qWait(100);
        }
        // It may have ended during the pause between the two.
        QVERIFY2(first.state() == QProcess::NotRunning || first.waitForFinished(30000),
                 first.readAllStandardError().constData());
        QCOMPARE(first.exitCode(), 1);
        const int afterStop = delivered().size() - before;
        QVERIFY2(afterStop < rows, "the run was not stopped");

        const Result rest = run(directArgs(project, {"--resume", "--connections", "6"}));
        QVERIFY2(rest.exitCode == 0, (rest.out + rest.err).constData());
        const QHash<QByteArray, int> got = delivered();
        for (int i = 1; i <= rows; ++i)
            QCOMPARE(got.value("u" + QByteArray::number(i) + "-" + QByteArray::number(interrupts) + "@b.test"), 1);
    }

    // Direct delivery with retries: the greylisting exchanger takes each
    // recipient on the second try; a domain whose exchanger refuses the
    // connection is tried again and then fails, once. Nobody gets the
    // message twice.
    void greylistedRowsRetried()
    {
        QTemporaryDir dir;
        const QString project = makeProject(dir.path(), "again1@grey.test;One;Oslo\r\n"
                                                        "again2@grey.test;Two;Lund\r\n"
                                                        "again3@dead.test;Three;Bern\r\n");
        const Result r = run(directArgs(project, {"--connections", "2", "--retry", "1", "--retry-after", "0",
                                                  "--json"}));
        QVERIFY2(r.exitCode == 1, r.out + r.err);
        const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
        QVERIFY2(doc["completed"].toBool() && doc["sent"].toInt() == 2 && doc["failed"].toInt() == 1
                     && doc["deferred"].toInt() == 0,
                 r.out + r.err);
        QHash<QByteArray, int> received;
        for (const QString &name : QDir(folder("grey")).entryList({"*.env"}, QDir::Files)) {
            QFile env(QDir(folder("grey")).filePath(name));
            QVERIFY(env.open(QIODevice::ReadOnly));
            for (const QByteArray &line : env.readAll().split('\n'))
                if (line.startsWith("to=again"))
                    ++received[line.mid(3)];
        }
        QCOMPARE(received, (QHash<QByteArray, int>{{"again1@grey.test", 1}, {"again2@grey.test", 1}}));
    }

    void usage_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("more connections than an account may open")
            << QStringList{"--connections", "21"} << QByteArray("1 to 20");
        QTest::newRow("DNS server without --direct") << QStringList{"--dns", "127.0.0.1"} << QByteArray("--direct");
        QTest::newRow("zero connections") << QStringList{"--direct", "--connections", "0"} << QByteArray("1 to 1000");
        QTest::newRow("bad port") << QStringList{"--direct", "--smtp-port", "x"} << QByteArray("port number");
    }
    void usage()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, message);
        QTemporaryDir dir;
        const QString project = makeProject(dir.path(), "ann@a.test;Ann;Oslo\r\n");
        const Result r = run(QStringList{"--home", folder("home"), "send", project} + args);
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains(message), r.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestCliDirect)
#include "tst_cli_direct.moc"
