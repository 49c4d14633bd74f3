// The asynchronous socket: the resolve functions and error texts, the
// property rules, and real TCP and UDP exchanges with peers on 127.0.0.1
// (the order of events, which ones come inside a call and which from the
// event loop, one close report per connection).
#include "direct/wsocket.h"

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <sys/socket.h>

using namespace varnholt;

namespace {

QString thrown(const std::function<void()> &call)
{
    try {
        call();
    } catch (const ESocketException &e) {
        return e.message();
    }
    return {};
}

// Every event of a socket, in order, as text.
struct Events {
    explicit Events(TWSocket &s)
    {
        s.onSessionConnected = [this](TWSocket *, quint16 e) { log << QStringLiteral("connected %1").arg(e); };
        s.onDataSent = [this](TWSocket *, quint16 e) { log << QStringLiteral("sent %1").arg(e); };
        s.onSessionClosed = [this](TWSocket *, quint16 e) { log << QStringLiteral("closed %1").arg(e); };
        s.onDnsLookupDone = [this](TWSocket *, quint16 e) { log << QStringLiteral("lookup %1").arg(e); };
        s.onChangeState = [this](TWSocket *, TSocketState, TSocketState n) {
            log << QStringLiteral("state %1").arg(int(n));
        };
        s.onDataAvailable = [this](TWSocket *socket, quint16 e) {
            char buffer[4096];
            const int n = socket->receive(buffer, sizeof buffer);
            if (n > 0)
                data += QByteArray(buffer, n);
            if (e != 0)
                log << QStringLiteral("data error %1").arg(e);
        };
    }
    QStringList log;
    QByteArray data;
};

// A TCP server on 127.0.0.1 that keeps its one connection.
struct TcpPeer {
    TcpPeer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, [this] { received += socket->readAll(); });
        });
    }
    QTcpServer server;
    QTcpSocket *socket = nullptr;
    QByteArray received;
};

void aim(TWSocket &s, const QString &proto, quint16 port)
{
    s.setProto(proto);
    s.setAddr(QStringLiteral("127.0.0.1"));
    s.setPort(QString::number(port));
}

constexpr int Opened = int(TSocketState::wsOpened);
constexpr int Connecting = int(TSocketState::wsConnecting);
constexpr int Connected = int(TSocketState::wsConnected);
constexpr int Closed = int(TSocketState::wsClosed);

QString state(int s) { return QStringLiteral("state %1").arg(s); }

} // namespace

class TestWSocket : public QObject
{
    Q_OBJECT

private slots:
    void resolvePort_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("proto");
        QTest::addColumn<int>("value");     // -1: throws
        QTest::addColumn<QString>("error");
        QTest::newRow("number") << "53" << "udp" << 53 << "";
        QTest::newRow("leading digits") << "25abc" << "tcp" << 25 << "";
        QTest::newRow("leading blanks") << "  110" << "tcp" << 110 << "";
        QTest::newRow("service name") << "smtp" << "tcp" << 25 << "";
        QTest::newRow("service name, any protocol") << "domain" << "" << 53 << "";
        QTest::newRow("empty") << "" << "tcp" << -1 << "WSocketResolvePort: Invalid Port.";
        QTest::newRow("32 characters") << QString(32, u'9') << "tcp" << -1 << "WSocketResolvePort: Invalid Port.";
        QTest::newRow("beyond 65535") << "65536" << "tcp" << -1 << "WSocketResolvePort: Invalid Port.";
        QTest::newRow("unknown service") << "nosuchservice" << "tcp" << -1
                                         << "WSocketResolvePort: Cannot convert port 'nosuchservice'";
    }

    void resolvePort()
    {
        QFETCH(QString, port);
        QFETCH(QString, proto);
        QFETCH(int, value);
        QFETCH(QString, error);
        if (value >= 0)
            QCOMPARE(int(WSocketResolvePort(port, proto)), value);
        else
            QCOMPARE(thrown([&] { (void)WSocketResolvePort(port, proto); }), error);
    }

    void resolveHostAndProto()
    {
        QCOMPARE(WSocketResolveHost(" 127.0.0.1 "), QHostAddress(QStringLiteral("127.0.0.1")));
        QCOMPARE(WSocketResolveHost("255.255.255.255"), QHostAddress(QHostAddress::Broadcast));
        QCOMPARE(WSocketResolveHost("localhost"), QHostAddress(QStringLiteral("127.0.0.1")));
        QCOMPARE(thrown([] { (void)WSocketResolveHost("1mail.example"); }),
                 "WSocketResolveHost: '1mail.example' Invalid IP address.");
        QCOMPARE(thrown([] { (void)WSocketResolveHost("127.0.0.256"); }),
                 "WSocketResolveHost: '127.0.0.256' Invalid IP address.");
        QCOMPARE(thrown([] { (void)WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
        QCOMPARE(thrown([] { (void)WSocketResolveHost(QString(257, u'a')); }),
                 "WSocketResolveHost: '" + QString(257, u'a') + "' Invalid Hostname.");

        QCOMPARE(WSocketResolveProto("tcp"), 6);
        QCOMPARE(WSocketResolveProto(" UDP"), 17);
        QCOMPARE(WSocketResolveProto("17"), 17);
        QCOMPARE(thrown([] { (void)WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
        QCOMPARE(thrown([] { (void)WSocketResolveProto("nosuchproto"); }),
                 "WSocketResolveProto: Cannot convert protocol 'nosuchproto'");
        QVERIFY(!LocalHostName().isEmpty());
    }

    void errorTexts()
    {
        QCOMPARE(ErrorText(0), "No Error");
        QCOMPARE(ErrorText(10057), "Socket is not connected");
        QCOMPARE(ErrorText(10061), "Connection refused");
        QCOMPARE(ErrorText(11004), "No Data");
        QCOMPARE(ErrorText(10000), "Not a WinSock error");
        QCOMPARE(ErrorText(-1), "Not a WinSock error");
    }

    void propertiesOnlyChangeWhenClosed()
    {
        TcpPeer peer;
        TWSocket s;
        QCOMPARE(s.state(), TSocketState::wsClosed);
        QCOMPARE(s.proto(), "tcp");
        QCOMPARE(s.localPort(), "0");
        s.setAddr(QStringLiteral("  127.0.0.1 "));
        QCOMPARE(s.addr(), "127.0.0.1");
        aim(s, "tcp", peer.server.serverPort());
        s.connect();
        QCOMPARE(s.state(), TSocketState::wsConnecting);
        // The value it holds may be set again; another may not.
        s.setAddr(QStringLiteral("127.0.0.1"));
        QCOMPARE(thrown([&] { s.setAddr("127.0.0.2"); }), "Cannot change Addr if not closed");
        QCOMPARE(thrown([&] { s.setPort("1"); }), "Cannot change Port if not closed");
        QCOMPARE(thrown([&] { s.setProto("udp"); }), "Cannot change Proto if not closed");
        QCOMPARE(thrown([&] { s.setLocalPort("1"); }), "Cannot change LocalPort if not closed");
        QCOMPARE(thrown([&] { s.connect(); }), "Connect: Socket already in use");
        // onError takes the failure instead of an exception.
        int errors = 0;
        s.onError = [&errors](TWSocket *) { ++errors; };
        s.setPort("1");
        QCOMPARE(errors, 1);
        QCOMPARE(s.port(), QString::number(peer.server.serverPort()));
        s.onError = nullptr;
        s.close();
        // After a close Addr and Port must be given again; Proto is tcp again.
        QCOMPARE(s.proto(), "tcp");
        QCOMPARE(thrown([&] { s.connect(); }), "Connect: No Port Specified");
        s.setPort(QStringLiteral("25"));
        QCOMPARE(thrown([&] { s.connect(); }), "Connect: No IP Address Specified");
        s.setProto(QString());
        s.setAddr(QStringLiteral("127.0.0.1"));
        QCOMPARE(thrown([&] { s.connect(); }), "Connect: No Protocol Specified");
        s.setProto(QStringLiteral("tcp"));
        s.setAddr(QStringLiteral("1host.example"));
        QCOMPARE(thrown([&] { s.connect(); }), "connect: WSocketResolveHost: '1host.example' Invalid IP address.");
        QCOMPARE(s.state(), TSocketState::wsClosed);
    }

    void tcpSession()
    {
        TcpPeer peer;
        TWSocket s;
        Events events(s);
        aim(s, "tcp", peer.server.serverPort());
        s.connect();
        // A TCP connect reports from the event loop.
        QCOMPARE(events.log, (QStringList{state(Opened), state(Connecting)}));
        QTRY_COMPARE(events.log.size(), 4);
        QCOMPARE(events.log.mid(2), (QStringList{state(Connected), "connected 0"}));
        QCOMPARE(s.state(), TSocketState::wsConnected);
        // The defaults: linger on with 0 seconds, keep-alive on.
        linger option{};
        socklen_t size = sizeof option;
        QCOMPARE(::getsockopt(int(s.handle()), SOL_SOCKET, SO_LINGER, &option, &size), 0);
        QCOMPARE(option.l_onoff, 1);
        QCOMPARE(option.l_linger, 0);

        // One send, one later "sent", never inside send().
        s.queueData("HE", 2);
        QCOMPARE(s.send("LO\r\n", 4), 4);
        QCOMPARE(s.send("", 0), 0);
        QCOMPARE(events.log.size(), 4);
        QTRY_COMPARE(peer.received, QByteArray("HELO\r\n"));
        QTRY_COMPARE(events.log.size(), 5);
        QCOMPARE(events.log.last(), "sent 0");

        peer.socket->write("250 hello\r\n");
        QTRY_COMPARE(events.data, QByteArray("250 hello\r\n"));
        QCOMPARE(s.readCount(), 11);

        // The peer closes: what it sent last is delivered first, then one close.
        peer.socket->write("221 bye\r\n");
        peer.socket->disconnectFromHost();
        QTRY_COMPARE(s.state(), TSocketState::wsClosed);
        QCOMPARE(events.data, QByteArray("250 hello\r\n221 bye\r\n"));
        QTest::qWait(50);
        QCOMPARE(events.log.filter("closed").size(), 1);
        QCOMPARE(events.log.mid(5), (QStringList{"closed 0", state(Closed)}));
        QCOMPARE(s.handle(), -1);
    }

    void ourCloseIsReportedOnce()
    {
        TcpPeer peer;
        TWSocket s;
        Events events(s);
        aim(s, "tcp", peer.server.serverPort());
        s.connect();
        QTRY_COMPARE(s.state(), TSocketState::wsConnected);
        QTRY_VERIFY(peer.socket);
        s.close();
        QCOMPARE(events.log.mid(events.log.size() - 2), (QStringList{state(Closed), "closed 0"}));
        // The peer's answering close does not reach a closed socket.
        QTRY_COMPARE(peer.socket->state(), QAbstractSocket::UnconnectedState);
        QTest::qWait(50);
        QCOMPARE(events.log.filter("closed").size(), 1);
        s.close(); // closing twice is nothing
        QCOMPARE(events.log.filter("closed").size(), 1);
    }

    void refusedConnect()
    {
        TWSocket s;
        Events events(s);
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 port = probe.serverPort();
        probe.close(); // nothing listens there now
        aim(s, "tcp", port);
        s.connect();
        QTRY_COMPARE(s.state(), TSocketState::wsClosed);
        QCOMPARE(events.log, (QStringList{state(Opened), state(Connecting), state(Connected), "connected 10061",
                                          state(Closed), "closed 0"}));
        QCOMPARE(s.lastError(), 10061);
    }

    void sendWhenNotConnected()
    {
        TWSocket s;
        QCOMPARE(thrown([&] { s.send("x", 1); }), "Error 10057 in function Send\r\nSocket is not connected");
        QCOMPARE(s.lastError(), 10057);
        int errors = 0;
        s.onError = [&errors](TWSocket *) { ++errors; };
        QCOMPARE(s.send("x", 1), -1);
        QCOMPARE(errors, 1);
        QCOMPARE(s.state(), TSocketState::wsClosed);
    }

    void withoutDataHandlerIncomingIsDiscarded()
    {
        TcpPeer peer;
        TWSocket s;
        aim(s, "tcp", peer.server.serverPort());
        s.connect();
        QTRY_COMPARE(s.state(), TSocketState::wsConnected);
        QTRY_VERIFY(peer.socket);
        peer.socket->write(QByteArray(5000, 'x'));
        QTRY_COMPARE(s.readCount(), 5000);
    }

    // A handler that takes nothing is not called again and again: it hears
    // of the data again when more arrives.
    void handlerThatReadsNothingDoesNotSpin()
    {
        TcpPeer peer;
        TWSocket s;
        aim(s, "tcp", peer.server.serverPort());
        int calls = 0;
        s.onDataAvailable = [&calls](TWSocket *, quint16) { ++calls; };
        s.connect();
        QTRY_COMPARE(s.state(), TSocketState::wsConnected);
        QTRY_VERIFY(peer.socket);
        peer.socket->write("first");
        QTRY_COMPARE(calls, 1);
        QTest::qWait(50);
        QCOMPARE(calls, 1);
        peer.socket->write("second");
        QTRY_COMPARE(calls, 2);
    }

    // A peer that resets the connection: one close report, also when a
    // send runs into the reset.
    void resetByPeerIsReportedOnce()
    {
        TcpPeer peer;
        TWSocket s;
        Events events(s);
        aim(s, "tcp", peer.server.serverPort());
        s.connect();
        QTRY_COMPARE(s.state(), TSocketState::wsConnected);
        QTRY_VERIFY(peer.socket);
        const linger hard{1, 0};
        ::setsockopt(int(peer.socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        peer.socket->abort();
        s.send("RSET\r\n", 6);
        QTRY_COMPARE(s.state(), TSocketState::wsClosed);
        QTest::qWait(50);
        QCOMPARE(events.log.filter("closed").size(), 1);
    }

    // An exception that escapes a handler aborts the socket (unless
    // onBgException keeps it); it never reaches the event loop.
    void exceptionInHandler()
    {
        for (const bool keep : {false, true}) {
            TcpPeer peer;
            TWSocket s;
            aim(s, "tcp", peer.server.serverPort());
            QString seen;
            s.onDataAvailable = [](TWSocket *, quint16) { throw std::runtime_error("handler failed"); };
            s.onBgException = [&](TWSocket *, const std::exception &e, bool &canClose) {
                seen = QString::fromUtf8(e.what());
                canClose = !keep;
            };
            s.connect();
            QTRY_COMPARE(s.state(), TSocketState::wsConnected);
            QTRY_VERIFY(peer.socket);
            peer.socket->write("data");
            QTRY_COMPARE(seen, "handler failed");
            QTest::qWait(20);
            QCOMPARE(s.state(), keep ? TSocketState::wsConnected : TSocketState::wsClosed);
        }
    }

    void udpExchange()
    {
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        QUdpSocket stranger;
        QVERIFY(stranger.bind(QHostAddress::LocalHost, 0));

        TWSocket s;
        Events events(s);
        aim(s, "udp", peer.localPort());
        s.connect();
        // Connected at once, reported inside connect(); a local port bound.
        QCOMPARE(events.log, (QStringList{state(Opened), state(Connected), "connected 0"}));
        const quint16 local = s.localPort().toUShort();
        QVERIFY(local != 0);

        // Each send is one datagram, queued bytes included.
        s.queueData("ab", 2);
        QCOMPARE(s.send("cd", 2), 2);
        QCOMPARE(s.send("ef", 2), 2);
        QCOMPARE(events.log.filter("sent").size(), 0);
        QTRY_COMPARE(events.log.filter("sent").size(), 2);
        QTRY_VERIFY(peer.hasPendingDatagrams());
        QCOMPARE(peer.receiveDatagram().data(), QByteArray("abcd"));
        QTRY_VERIFY(peer.hasPendingDatagrams());
        QCOMPARE(peer.receiveDatagram().data(), QByteArray("ef"));

        // Only the peer's datagrams come in.
        stranger.writeDatagram("spoofed", QHostAddress::LocalHost, local);
        peer.writeDatagram("answer", QHostAddress::LocalHost, local);
        QTRY_COMPARE(events.data, QByteArray("answer"));
        QTest::qWait(50);
        QCOMPARE(events.data, QByteArray("answer"));
        s.close();
        QCOMPARE(s.state(), TSocketState::wsClosed);
        QCOMPARE(s.localPort(), "0");
    }

    void dnsLookup()
    {
        TWSocket s;
        Events events(s);
        // A dotted address: at once, inside the call.
        s.dnsLookup(QStringLiteral(" 127.0.0.1 "));
        QCOMPARE(events.log, QStringList{"lookup 0"});
        QCOMPARE(s.dnsResult(), "127.0.0.1");
        events.log.clear();
        // A name: later, from the event loop.
        s.dnsLookup(QStringLiteral("localhost"));
        QVERIFY(events.log.isEmpty());
        QTRY_COMPARE(events.log, QStringList{"lookup 0"});
        QCOMPARE(s.dnsResult(), "127.0.0.1");
        QVERIFY(s.dnsResultList().contains("127.0.0.1"));
        events.log.clear();
        // Cancelled: reported once with 10004, the late result is dropped.
        s.dnsLookup(QStringLiteral("localhost"));
        s.cancelDnsLookup();
        QCOMPARE(events.log, QStringList{"lookup 10004"});
        QTest::qWait(200);
        QCOMPARE(events.log, QStringList{"lookup 10004"});
        // No host at all.
        QCOMPARE(thrown([&] { s.dnsLookup(" "); }), "DNS lookup: invalid host name.");
        s.onError = [](TWSocket *) {};
        events.log.clear();
        s.dnsLookup(QString());
        QCOMPARE(events.log, QStringList{"lookup 10022"});
    }
};

QTEST_GUILESS_MAIN(TestWSocket)
#include "tst_wsocket.moc"
