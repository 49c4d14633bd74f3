// Direct delivery against real servers on loopback: dnsmasq answers the MX
// records, smtp-sink and aiosmtpd listen on 127.0.0.2 .. 127.0.0.6 on one
// port as the exchangers, one address refuses connections and one accepts
// them and never greets.

#include "direct/relayserver.h"

#include "messagejudge.h"
#include "testservers.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <map>
#include <memory>

using namespace varnholt;
using namespace varnholt::testing;

namespace {

// Hands the recipients to the coordinator while a worker is idle, as the
// sending run does, and keeps every report.
struct Feeder {
    TSmtpRelayServer2 &relay;
    QStringList addresses;
    MimeInputs (*message)(const QString &address);
    int next = 0;
    std::map<int, QList<TSmtpRelayServer2::Result>> reports;

    void feed()
    {
        while (next < addresses.size() && relay.idleWorkers() > 0) {
            const int index = next++;
            relay.deliver(index, addresses.at(index), message(addresses.at(index)));
        }
    }
    [[nodiscard]] int reported() const
    {
        int n = 0;
        for (const auto &[index, list] : reports)
            n += int(list.size());
        return n;
    }
};

MimeInputs htmlMessage(const QString &address)
{
    MimeInputs in;
    in.FROM_Address = QStringLiteral("sender@varnholt.test");
    in.FROM_Name = QStringLiteral("Varnholt Sender");
    in.ListTo = {address + QLatin1Char('|')};
    in.Subject = QStringLiteral("Grüße an %1").arg(address);
    in.Headers = {QStringLiteral("Message-Id: <%1@varnholt.test>").arg(QString::number(qHash(address)))};
    in.TypeContent = tcHtml;
    in.MailText = {QStringLiteral("Hello %1,").arg(address), QStringLiteral("ünïcödé text"),
                   QStringLiteral(".a line that starts with a dot")};
    in.HtmlText = {QStringLiteral("<html><body><p>Hello %1, ") .arg(address) + QString(1500, QLatin1Char('x'))
                   + QStringLiteral("</p></body></html>")};
    return in;
}

// Passes DNS queries on to a server on 127.0.0.1 and counts them.
struct CountingDnsProxy {
    QUdpSocket front, back;
    quint16 upstream = 0;
    int queries = 0;
    QHash<quint16, std::pair<QHostAddress, quint16>> askers; // by query ID

    bool start(quint16 upstreamPort)
    {
        upstream = upstreamPort;
        if (!front.bind(QHostAddress::LocalHost, 0) || !back.bind(QHostAddress::LocalHost, 0))
            return false;
        QObject::connect(&front, &QUdpSocket::readyRead, &front, [this] {
            while (front.hasPendingDatagrams()) {
                const QNetworkDatagram d = front.receiveDatagram();
                const QByteArray query = d.data();
                if (query.size() < 12)
                    continue;
                ++queries;
                askers[quint16(uchar(query[0]) << 8 | uchar(query[1]))] = {d.senderAddress(), quint16(d.senderPort())};
                back.writeDatagram(query, QHostAddress::LocalHost, upstream);
            }
        });
        QObject::connect(&back, &QUdpSocket::readyRead, &back, [this] {
            while (back.hasPendingDatagrams()) {
                const QByteArray answer = back.receiveDatagram().data();
                if (answer.size() < 12)
                    continue;
                const auto asker = askers.constFind(quint16(uchar(answer[0]) << 8 | uchar(answer[1])));
                if (asker != askers.cend())
                    front.writeDatagram(answer, asker->first, asker->second);
            }
        });
        return true;
    }
    [[nodiscard]] QString address() const { return QStringLiteral("127.0.0.1:%1").arg(front.localPort()); }
};


// An exchanger with exact manners for kept sessions: it counts connections
// and the messages it took, and after a connection's first message it keeps
// the session, hangs up at once, hangs up at the next MAIL FROM, answers
// that with 421, or never answers it.
struct SessionPeer {
    enum class Manner { Keeps, ClosesAfterMessage, DropsAtNextMail, Says421AtNextMail, SilentAtNextMail };
    QTcpServer server;
    Manner manner = Manner::Keeps;
    int connections = 0;
    int open = 0;
    QStringList recipients; // of the messages taken, in order

    bool listen(const QString &address, quint16 port)
    {
        if (!server.listen(QHostAddress(address), port))
            return false;
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket *s = server.nextPendingConnection())
                serve(s);
        });
        return true;
    }
    void serve(QTcpSocket *s)
    {
        ++connections;
        ++open;
        QObject::connect(s, &QTcpSocket::disconnected, s, [this, s] {
            --open;
            s->deleteLater();
        });
        struct Session {
            bool inData = false;
            int taken = 0;
            QString rcpt;
        };
        auto session = std::make_shared<Session>();
        s->write("220 peer.test ESMTP\r\n");
        QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, session] {
            while (s->canReadLine()) {
                const QByteArray line = s->readLine().trimmed();
                if (session->inData) {
                    if (line == ".") {
                        session->inData = false;
                        ++session->taken;
                        recipients << session->rcpt;
                        s->write("250 taken\r\n");
                        if (manner == Manner::ClosesAfterMessage) {
                            s->flush();
                            s->disconnectFromHost();
                            return;
                        }
                    }
                    continue;
                }
                const QByteArray verb = line.left(4).toUpper();
                if (verb == "MAIL" && session->taken > 0 && manner == Manner::DropsAtNextMail) {
                    s->disconnectFromHost();
                    return;
                }
                if (verb == "MAIL" && session->taken > 0 && manner == Manner::Says421AtNextMail) {
                    s->write("421 too many messages on one connection\r\n");
                    s->disconnectFromHost();
                    return;
                }
                if (verb == "MAIL" && session->taken > 0 && manner == Manner::SilentAtNextMail)
                    return;
                if (verb == "RCPT")
                    session->rcpt = QString::fromLatin1(line.mid(line.indexOf('<') + 1)).chopped(1);
                if (verb == "DATA") {
                    session->inData = true;
                    s->write("354 go on\r\n");
                } else if (verb == "QUIT") {
                    s->write("221 bye\r\n");
                    s->disconnectFromHost();
                    return;
                } else {
                    s->write("250 ok\r\n");
                }
            }
        });
    }
};

} // namespace

class TestRelayServer : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    DnsmasqServer m_dns;
    SmtpSink m_sinkA, m_sinkB;
    AiosmtpdServer m_grey;
    QTcpServer m_silent; // accepts, never greets
    SessionPeer m_peer;
    QList<QTcpSocket *> m_silentPeers;

    [[nodiscard]] QString folder(const QString &name) const { return m_dir.filePath(name); }

    void configure(TSmtpRelayServer2 &relay, const QString &dns, int connections, int timeOut)
    {
        relay.setFrom(QStringLiteral("sender@varnholt.test"));
        relay.setSignon(QStringLiteral("client.varnholt.test"));
        relay.setDns(dns);
        relay.setPort(QString::number(m_port));
        relay.setConnections(connections);
        relay.setTimeOut(timeOut);
    }

    using Reports = std::map<int, QList<TSmtpRelayServer2::Result>>;

    // Runs the coordinator over `addresses` to the end; the reports go to `out`.
    void run(TSmtpRelayServer2 &relay, const QStringList &addresses, int seconds, Reports &out)
    {
        Feeder feeder{relay, addresses, &htmlMessage, 0, {}};
        relay.onEMailProcessed = [&feeder](TSmtpRelayServer2 *, const TSmtpRelayServer2::Result &r) {
            feeder.reports[r.index].append(r);
            feeder.feed();
        };
        relay.start();
        feeder.feed();
        QTRY_VERIFY_WITH_TIMEOUT(feeder.reported() >= addresses.size() && !relay.isBusy(), seconds * 1000);
        QTest::qWait(200); // nothing more may come
        relay.stop();
        relay.onEMailProcessed = nullptr;
        out = feeder.reports;
    }

    // The first `count` recipients have one report each, and it says
    // delivered.
    static void verifyEachDeliveredOnce(Reports &reports, qsizetype count)
    {
        for (int i = 0; i < count; ++i) {
            QCOMPARE(reports[i].size(), 1);
            QVERIFY2(reports[i].first().err == 0, qPrintable(reports[i].first().comment));
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        openToAll(m_dir.path()); // smtp-sink writes its dump folders as "nobody"
        m_port = freePort();
        m_sinkA.listenOn(QStringLiteral("127.0.0.2"), m_port);
        VARNHOLT_START_SERVER(m_sinkA, folder("a"));
        m_sinkB.listenOn(QStringLiteral("127.0.0.3"), m_port);
        VARNHOLT_START_SERVER(m_sinkB, folder("b"));
        m_grey.listenOn(QStringLiteral("127.0.0.6"), m_port);
        VARNHOLT_START_SERVER(m_grey, "plain", folder("grey"), QString(), QString(), QString(), QString(),
                              QStringList(), QStringList{"--greylist"});
        QVERIFY(m_silent.listen(QHostAddress(QStringLiteral("127.0.0.5")), m_port));
        connect(&m_silent, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = m_silent.nextPendingConnection())
                m_silentPeers << s;
        });
        QVERIFY(m_peer.listen(QStringLiteral("127.0.0.7"), m_port));
        VARNHOLT_START_SERVER(m_dns, QStringList{
            "--mx-host=peer.test,mx-peer.test,10", "--host-record=mx-peer.test,127.0.0.7",
            "--local=/test/",
            "--mx-host=good.test,mx-b.test,20", "--mx-host=good.test,mx-a.test,10",
            "--mx-host=refused.test,mx-refuse.test,10", "--mx-host=refused.test,mx-a.test,20",
            "--mx-host=silent.test,mx-silent.test,10", "--mx-host=silent.test,mx-b.test,20",
            "--mx-host=nohost.test,mx-nowhere.test,10",
            "--mx-host=grey.test,mx-grey.test,10",
            "--mx-host=nullmx.test,.,0",
            "--host-record=aonly.test,127.0.0.3",
            "--host-record=mx-a.test,127.0.0.2", "--host-record=mx-b.test,127.0.0.3",
            "--host-record=mx-refuse.test,127.0.0.4", "--host-record=mx-silent.test,127.0.0.5",
            "--host-record=mx-grey.test,127.0.0.6"});
    }

    // Every recipient gets exactly one result: exchangers in preference
    // order, the next one after a refused or silent one, the domain's own
    // address without MX, clear failures for the rest; a greylisted
    // recipient is refused with 451 and taken on the next run.
    void everyRecipientOnce()
    {
        TSmtpRelayServer2 relay;
        configure(relay, QStringLiteral("127.0.0.1:%1").arg(m_dns.port()), 3, 2);
        const QStringList addresses{"anna@good.test", "bob@refused.test", "carl@silent.test", "dora@aonly.test",
                                    "eve@nullmx.test", "finn@nohost.test", "gus@unknown.test", "hana@grey.test"};
        Reports reports;
        run(relay, addresses, 60, reports);
        if (QTest::currentTestFailed())
            return;
        const QList<int> expected{0, 0, 0, 0, RelayError::NoHost, RelayError::NoHost, RelayError::NoHost, 451};
        for (int i = 0; i < addresses.size(); ++i) {
            const auto it = reports.find(i);
            QVERIFY2(it != reports.end() && it->second.size() == 1, qPrintable(addresses.at(i)));
            const TSmtpRelayServer2::Result &r = it->second.first();
            QVERIFY2(r.err == expected.at(i), qPrintable(addresses.at(i) + ": " + QString::number(r.err) + " "
                                                        + r.comment));
            QVERIFY(!r.maybeDelivered);
        }
        QVERIFY(reports.at(4).first().comment.contains(QLatin1String("nullmx.test")));
        QVERIFY(reports.at(7).first().comment.startsWith(QLatin1String("451")));

        // What the exchangers received, read by Python's email package.
        const auto received = [this](const QString &name) {
            QStringList files;
            for (const QString &f : QDir(folder(name)).entryList(QDir::Files, QDir::Name))
                files << QDir(folder(name)).filePath(f);
            const MessageDescriptions d = describeMessages(files);
            [&] { QVERIFY2(d.error.isEmpty(), qPrintable(d.error)); }();
            QStringList to;
            for (const auto &m : d.messages) {
                const QJsonObject o = m.toObject();
                [&] {
                    QVERIFY2(o.value("defects").toArray().isEmpty(), qPrintable(name));
                    QCOMPARE(o.value("type").toString(), QStringLiteral("multipart/alternative"));
                    QVERIFY(o.value("html").toString().contains(QString(1500, QLatin1Char('x'))));
                    QVERIFY(o.value("plain").toString().contains(QStringLiteral("ünïcödé text")));
                    QVERIFY(o.value("plain").toString().contains(QStringLiteral("\n.a line that starts")));
                }();
                to << o.value("to").toArray().at(0).toArray().at(1).toString();
            }
            to.sort();
            return to;
        };
        QCOMPARE(received("a"), (QStringList{"anna@good.test", "bob@refused.test"}));
        QCOMPARE(received("b"), (QStringList{"carl@silent.test", "dora@aonly.test"}));
        QVERIFY(QDir(folder("grey")).entryList({"*.eml"}).isEmpty());

        // The greylisted recipient, once more.
        Reports again;
        run(relay, {"hana@grey.test"}, 30, again);
        QCOMPARE(again[0].size(), 1);
        QCOMPARE(again[0].first().err, 0);
        QCOMPARE(QDir(folder("grey")).entryList({"*.eml"}).size(), 1);
    }

    // Abort ends every recipient on the way once, with nothing delivered,
    // and nothing comes after.
    void abortEndsEachRecipientOnce()
    {
        TSmtpRelayServer2 relay;
        configure(relay, QStringLiteral("127.0.0.1:%1").arg(m_dns.port()), 3, 30);
        std::map<int, int> reports;
        relay.onEMailProcessed = [&](TSmtpRelayServer2 *, const TSmtpRelayServer2::Result &r) {
            ++reports[r.index];
            QCOMPARE(r.err, RelayError::Aborted);
            QVERIFY(!r.maybeDelivered);
        };
        relay.start();
        const qsizetype waiting = m_silentPeers.size();
        for (int i = 0; i < 3; ++i)
            relay.deliver(i, QStringLiteral("r%1@silent.test").arg(i), htmlMessage(QStringLiteral("r@silent.test")));
        QTRY_COMPARE(m_silentPeers.size(), waiting + 3); // all three wait for a greeting
        relay.abort();
        QVERIFY(reports.empty()); // reports come from the event loop
        QTRY_COMPARE(int(reports.size()), 3);
        QTest::qWait(300);
        for (const auto &[index, count] : reports)
            QCOMPARE(count, 1);
        QVERIFY(!relay.isBusy());
        QCOMPARE(relay.idleWorkers(), 3);
        relay.stop();
    }

    // A silent DNS server costs one time-out, then the next one answers;
    // with every server silent the recipient ends with -9.
    void silentDnsServers()
    {
        QUdpSocket silentA, silentB;
        QVERIFY(silentA.bind(QHostAddress::LocalHost, 0));
        QVERIFY(silentB.bind(QHostAddress::LocalHost, 0));
        const QString a = QStringLiteral("127.0.0.1:%1").arg(silentA.localPort());
        const QString b = QStringLiteral("127.0.0.1:%1").arg(silentB.localPort());

        TSmtpRelayServer2 relay;
        configure(relay, a + QLatin1Char(' ') + QStringLiteral("127.0.0.1:%1").arg(m_dns.port()), 1, 1);
        Reports reports;
        run(relay, {"anna@good.test"}, 20, reports);
        QCOMPARE(reports[0].size(), 1);
        QCOMPARE(reports[0].first().err, 0);

        configure(relay, a + QLatin1Char(' ') + b, 1, 1);
        run(relay, {"anna@good.test"}, 20, reports);
        QCOMPARE(reports[0].size(), 1);
        QCOMPARE(reports[0].first().err, RelayError::DnsSilent);
    }

    // Two recipients of one domain, one after the other: the exchangers
    // found for the first serve the second while their records' time to
    // live lasts. Records that may not be kept are asked for again: a TTL of
    // 0, and the domain's own address standing in for a missing MX record.
    void exchangersKeptForTheirTtl_data()
    {
        QTest::addColumn<bool>("ttl300");
        QTest::addColumn<QString>("domain");
        QTest::addColumn<int>("lookupQueries"); // of one lookup
        QTest::addColumn<int>("lookups");       // for the two recipients
        QTest::newRow("MX, TTL 300 s: asked once") << true << "good.test" << 3 << 1; // MX, A, A
        QTest::newRow("MX, TTL 0: asked for each") << false << "good.test" << 3 << 2;
        QTest::newRow("own address, TTL 300 s: asked for each") << true << "aonly.test" << 2 << 2; // MX, A
    }
    void exchangersKeptForTheirTtl()
    {
        QFETCH(bool, ttl300);
        QFETCH(QString, domain);
        QFETCH(int, lookupQueries);
        QFETCH(int, lookups);
        DnsmasqServer dns300;
        if (ttl300) {
            VARNHOLT_START_SERVER(dns300, QStringList{"--local=/test/", "--local-ttl=300",
                                                      "--mx-host=good.test,mx-b.test,20",
                                                      "--mx-host=good.test,mx-a.test,10",
                                                      "--host-record=aonly.test,127.0.0.3",
                                                      "--host-record=mx-a.test,127.0.0.2",
                                                      "--host-record=mx-b.test,127.0.0.3"});
        }
        CountingDnsProxy proxy;
        QVERIFY(proxy.start(ttl300 ? dns300.port() : m_dns.port()));

        TSmtpRelayServer2 relay;
        configure(relay, proxy.address(), 1, 5);
        Reports reports;
        run(relay, {"kept1@" + domain, "kept2@" + domain}, 30, reports);
        if (QTest::currentTestFailed())
            return;
        verifyEachDeliveredOnce(reports, 2);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(proxy.queries, lookups * lookupQueries);

        // A new start asks again.
        run(relay, {"kept3@" + domain}, 30, reports);
        QCOMPARE(reports[0].size(), 1);
        QCOMPARE(reports[0].first().err, 0);
        QCOMPARE(proxy.queries, (lookups + 1) * lookupQueries);
    }

    // A session that delivered a message takes the next recipients of the
    // same exchanger; one the exchanger ends between two messages (or ends
    // at the next MAIL FROM, or answers that with 421) gives way to a fresh
    // connection without a report: every recipient still exactly once.
    void sessionsServeTheNextRecipients_data()
    {
        QTest::addColumn<int>("manner");
        QTest::addColumn<int>("connections");
        QTest::newRow("kept") << int(SessionPeer::Manner::Keeps) << 1;
        QTest::newRow("closed after each message") << int(SessionPeer::Manner::ClosesAfterMessage) << 5;
        QTest::newRow("dropped at the next MAIL FROM") << int(SessionPeer::Manner::DropsAtNextMail) << 5;
        QTest::newRow("421 at the next MAIL FROM") << int(SessionPeer::Manner::Says421AtNextMail) << 5;
    }
    void sessionsServeTheNextRecipients()
    {
        QFETCH(int, manner);
        QFETCH(int, connections);
        m_peer.manner = SessionPeer::Manner(manner);
        m_peer.recipients.clear();

        TSmtpRelayServer2 relay;
        configure(relay, QStringLiteral("127.0.0.1:%1").arg(m_dns.port()), 1, 5);
        QStringList addresses;
        for (int i = 0; i < 5; ++i)
            addresses << QStringLiteral("r%1@peer.test").arg(i);
        Reports reports;
        run(relay, addresses, 30, reports);
        if (QTest::currentTestFailed())
            return;
        verifyEachDeliveredOnce(reports, addresses.size());
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(m_peer.recipients, addresses);
        QCOMPARE(m_peer.connections, connections);
        QTRY_COMPARE(m_peer.open, 0); // stop() says goodbye on a kept session
    }

    // Kept sessions of one exchanger never carry a recipient of another:
    // with two connections and two domains taking turns, each domain's
    // messages reach its own exchanger.
    void keptSessionsStayWithTheirExchanger()
    {
        m_peer.manner = SessionPeer::Manner::Keeps;
        m_peer.recipients.clear();
        const int before = int(QDir(folder("a")).entryList(QDir::Files).size());

        TSmtpRelayServer2 relay;
        configure(relay, QStringLiteral("127.0.0.1:%1").arg(m_dns.port()), 2, 5);
        QStringList addresses, toPeer;
        for (int i = 0; i < 6; ++i) {
            addresses << QStringLiteral("p%1@peer.test").arg(i) << QStringLiteral("g%1@good.test").arg(i);
            toPeer << QStringLiteral("p%1@peer.test").arg(i);
        }
        Reports reports;
        run(relay, addresses, 30, reports);
        if (QTest::currentTestFailed())
            return;
        verifyEachDeliveredOnce(reports, addresses.size());
        if (QTest::currentTestFailed())
            return;
        QStringList got = m_peer.recipients;
        got.sort();
        toPeer.sort();
        QCOMPARE(got, toPeer);
        QTRY_COMPARE(int(QDir(folder("a")).entryList(QDir::Files).size()), before + 6);
    }

    // An idle session to a domain's backup exchanger (open for another
    // domain whose first exchanger it is) does not take the domain's mail:
    // its most preferred exchanger does.
    void idleSessionToABackupIsNotUsed()
    {
        const auto count = [this](const QString &name) { return int(QDir(folder(name)).entryList(QDir::Files).size()); };
        const int inA = count("a");
        const int inB = count("b");
        TSmtpRelayServer2 relay;
        configure(relay, QStringLiteral("127.0.0.1:%1").arg(m_dns.port()), 1, 5);
        Reports reports;
        run(relay, {"dora2@aonly.test", "anna2@good.test"}, 30, reports); // 127.0.0.3, then 127.0.0.2 before .3
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(reports[0].first().err, 0);
        QCOMPARE(reports[1].first().err, 0);
        QTRY_COMPARE(count("a"), inA + 1);
        QTRY_COMPARE(count("b"), inB + 1);
    }

    // Abort while a kept session waits for the answer to the next MAIL FROM:
    // nothing of that message went out, whatever the session did before.
    void abortOnAKeptSession()
    {
        m_peer.manner = SessionPeer::Manner::SilentAtNextMail;
        m_peer.recipients.clear();
        TSmtpRelayServer2 relay;
        configure(relay, QStringLiteral("127.0.0.1:%1").arg(m_dns.port()), 1, 30);
        QList<TSmtpRelayServer2::Result> reports;
        relay.onEMailProcessed = [&](TSmtpRelayServer2 *, const TSmtpRelayServer2::Result &r) { reports << r; };
        relay.start();
        relay.deliver(0, QStringLiteral("first@peer.test"), htmlMessage(QStringLiteral("first@peer.test")));
        QTRY_COMPARE_WITH_TIMEOUT(reports.size(), 1, 10000);
        QCOMPARE(reports.at(0).err, 0);
        relay.deliver(1, QStringLiteral("second@peer.test"), htmlMessage(QStringLiteral("second@peer.test")));
        QTest::qWait(300);
        QCOMPARE(m_peer.connections, 1);
        QCOMPARE(reports.size(), 1);
        relay.abort();
        QTRY_COMPARE(reports.size(), 2);
        QCOMPARE(reports.at(1).index, 1);
        QCOMPARE(reports.at(1).err, RelayError::Aborted);
        QVERIFY(!reports.at(1).maybeDelivered);
        QVERIFY2(!reports.at(1).comment.startsWith(QLatin1String("250")), qPrintable(reports.at(1).comment));
        QCOMPARE(m_peer.recipients, QStringList{"first@peer.test"});
        relay.stop();
    }

    void init() { m_peer.connections = 0; }

    void startRefusals()
    {
        TSmtpRelayServer2 relay;
        relay.setDns(QStringLiteral("127.0.0.1"));
        QVERIFY_THROWS_EXCEPTION(TSmtpRelayServerException, relay.start()); // no sender
        relay.setFrom(QStringLiteral("sender@varnholt.test"));
        relay.start();
        QCOMPARE(relay.idleWorkers(), 1);
        relay.setConnections(0);
        QCOMPARE(relay.connections(), 1);
        relay.setTimeOut(0);
        QCOMPARE(relay.timeOut(), 60);
        relay.stop();
    }
};

QTEST_GUILESS_MAIN(TestRelayServer)
#include "tst_relayserver.moc"
