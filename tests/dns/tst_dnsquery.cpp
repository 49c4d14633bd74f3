// The MX and A queries over UDP: against real DNS servers started here (dnsmasq,
// and unbound for SERVFAIL), and against a scripted UDP peer for the exact
// protocol cases (request bytes, spoofed and late replies, broken names,
// silence).
#include "dns/dnsquery.h"
#include "testservers.h"
#include "udppeer.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace varnholt;
using varnholt::testing::DnsmasqServer;
using varnholt::testing::UnboundServer;

namespace {

// A query with its events recorded.
struct Recorded {
    explicit Recorded(quint16 port)
    {
        query = std::make_unique<TDnsQuery>();
        query->setAddr(QStringLiteral("127.0.0.1"));
        query->setPort(QString::number(port));
        query->onRequestDone = [this](TDnsQuery *sender, quint16 error) {
            QCOMPARE(sender, query.get());
            events << error;
        };
    }
    std::unique_ptr<TDnsQuery> query;
    QList<quint16> events;
};

// A well-formed answer to an A query for `name` with one address.
QByteArray aAnswer(int id, const QByteArray &name, const QList<int> &address)
{
    Packet p;
    p.header(id, 0x8180, 1, 1).name(name).u16(1).u16(1);
    p.pointer(12).u16(1).u16(1).u32(300).u16(4);
    for (const int byte : address)
        p.u8(byte);
    return p;
}

QStringList mxHosts(const TDnsQuery &q)
{
    QStringList hosts;
    for (int i = 0; i < q.mxCount(); ++i)
        hosts << QStringLiteral("%1 %2").arg(q.mxPreference(i)).arg(q.mxHost(i));
    return hosts;
}

} // namespace

class TestDnsQuery : public QObject
{
    Q_OBJECT
    DnsmasqServer m_dnsmasq;

private slots:
    void initTestCase()
    {
        QStringList records{"--local=/test/",
                            "--mx-host=mx.test,mx1.mx.test,10", "--mx-host=mx.test,mx2.mx.test,20",
                            "--host-record=mx1.mx.test,127.0.0.1",
                            "--cname=alias.test,mx.test",
                            "--host-record=aonly.test,127.0.0.1",
                            "--cname=www.test,aonly.test",
                            "--mx-host=nullmx.test,.,0"};
        // Forty exchanges with long names: more than 512 bytes, so the
        // answer over UDP comes truncated.
        for (int i = 1; i <= 40; ++i)
            records << QStringLiteral("--mx-host=big.test,exchange-number-%1-with-a-long-name.big.test,%1").arg(i);
        VARNHOLT_START_SERVER(m_dnsmasq, records);
    }

    void realServer_data()
    {
        QTest::addColumn<QString>("domain");
        QTest::addColumn<int>("qtype"); // 15 MX, 1 A
        QTest::addColumn<int>("replyCode");
        QTest::addColumn<int>("answers");
        QTest::addColumn<QList<int>>("answerSlots"); // AnswerSlot of each answer
        QTest::addColumn<QStringList>("exchanges");
        QTest::addColumn<QStringList>("addresses");

        QTest::newRow("two MX records") << "mx.test" << 15 << 0 << 2 << QList<int>{0, 1}
                                        << QStringList{"20 mx2.mx.test", "10 mx1.mx.test"} << QStringList{};
        QTest::newRow("question in other case, trailing dot")
            << "MX.Test." << 15 << 0 << 2 << QList<int>{0, 1} << QStringList{"20 mx2.mx.test", "10 mx1.mx.test"}
            << QStringList{};
        QTest::newRow("CNAME first, then the target's MX")
            << "alias.test" << 15 << 0 << 3 << QList<int>{-1, 0, 1} << QStringList{"20 mx2.mx.test", "10 mx1.mx.test"}
            << QStringList{};
        QTest::newRow("null MX (RFC 7505)") << "nullmx.test" << 15 << 0 << 1 << QList<int>{0} << QStringList{"0 "}
                                            << QStringList{};
        QTest::newRow("A record only: no answer") << "aonly.test" << 15 << 0 << 0 << QList<int>{} << QStringList{}
                                                  << QStringList{};
        QTest::newRow("NXDOMAIN: no answer") << "nosuchname.test" << 15 << 3 << 0 << QList<int>{} << QStringList{}
                                             << QStringList{};
        QTest::newRow("A query") << "aonly.test" << 1 << 0 << 1 << QList<int>{0} << QStringList{}
                                 << QStringList{"127.0.0.1"};
        QTest::newRow("A query, CNAME first") << "www.test" << 1 << 0 << 2 << QList<int>{-1, 0} << QStringList{}
                                              << QStringList{"127.0.0.1"};
        QTest::newRow("A query for a name with MX only: no answer")
            << "mx.test" << 1 << 0 << 0 << QList<int>{} << QStringList{} << QStringList{};
        QTest::newRow("A query, NXDOMAIN") << "nosuchname.test" << 1 << 3 << 0 << QList<int>{} << QStringList{}
                                           << QStringList{};
    }

    void realServer()
    {
        QFETCH(QString, domain);
        QFETCH(int, qtype);
        QFETCH(int, replyCode);
        QFETCH(int, answers);
        QFETCH(QList<int>, answerSlots);
        QFETCH(QStringList, exchanges);
        QFETCH(QStringList, addresses);

        Recorded r(m_dnsmasq.port());
        QCOMPARE(qtype == 15 ? r.query->queryMX(domain) : r.query->queryA(domain), 1);
        QCOMPARE(r.query->queryType(), qtype);
        QCOMPARE(r.query->replyLength(), -1);
        QTRY_COMPARE(r.events, QList<quint16>{0});
        const TDnsQuery &q = *r.query;
        QCOMPARE(q.replyId(), 1);
        QCOMPARE(q.replyCode(), replyCode);
        QVERIFY(q.replyLength() > 12);
        QCOMPARE(q.questionCount(), 1);
        QCOMPARE(q.questionName().toLower(), domain.toLower().remove(QRegularExpression("\\.$")));
        QCOMPARE(q.questionType(), qtype);
        QCOMPARE(q.questionClass(), 1);
        QCOMPARE(q.answerCount(), answers);
        QCOMPARE(q.decodedAnswers(), answers);
        for (int i = 0; i < answerSlots.size(); ++i)
            QCOMPARE(q.answerSlot(i), answerSlots.at(i));
        QCOMPARE(mxHosts(q), exchanges);
        QStringList received;
        for (int i = 0; i < q.addressCount(); ++i)
            received << q.addressText(i);
        QCOMPARE(received, addresses);
        // Outside the tables: zero and empty.
        QCOMPARE(q.answerType(answers), 0);
        QCOMPARE(q.answerSlot(-1), -1);
        QCOMPARE(q.mxHost(50), QString());
        if (domain == "alias.test" || domain == "www.test") {
            QCOMPARE(q.answerType(0), 5);
            QCOMPARE(q.answerName(0), domain);
            QCOMPARE(q.answerTarget(0), domain == "www.test" ? QStringLiteral("aonly.test") : QStringLiteral("mx.test"));
            QCOMPARE(q.answerName(1), q.answerTarget(0));
        }
    }

    void truncatedAnswerIsTakenAsFarAsItGoes()
    {
        Recorded r(m_dnsmasq.port());
        r.query->queryMX(QStringLiteral("big.test"));
        QTRY_COMPARE(r.events, QList<quint16>{0});
        const TDnsQuery &q = *r.query;
        QVERIFY(q.replyTruncated());
        QVERIFY(q.replyLength() <= 512);
        QVERIFY(q.mxCount() > 0);
        QCOMPARE(q.mxCount(), q.decodedAnswers());
        for (int i = 0; i < q.mxCount(); ++i)
            QCOMPARE(q.mxHost(i), QStringLiteral("exchange-number-%1-with-a-long-name.big.test").arg(q.mxPreference(i)));
    }

    void serverFailure()
    {
        QTemporaryDir dir;
        UnboundServer unbound;
        VARNHOLT_START_SERVER(unbound, dir.path(), UnboundServer::Failing{QStringLiteral("broken.test")});
        Recorded r(unbound.port());
        r.query->queryMX(QStringLiteral("broken.test"));
        QTRY_COMPARE_WITH_TIMEOUT(r.events, QList<quint16>{0}, 15000);
        QCOMPARE(r.query->replyCode(), 2);
        QCOMPARE(r.query->answerCount(), 0);
    }

    void requestBytes()
    {
        UdpPeer peer;
        Recorded r(peer.port());
        QCOMPARE(r.query->queryMX(QStringLiteral("example.com")), 1);
        QTRY_COMPARE(peer.received.size(), 1);
        const QByteArray expected = QByteArray::fromHex("000101000001000000000000") + "\x07" "example" "\x03" "com"
                                    + QByteArray::fromHex("00000f0001");
        QCOMPARE(peer.received.at(0).size(), 29);
        QCOMPARE(peer.received.at(0), expected);
        QCOMPARE(r.query->request(), expected);
        // The next query of the object carries the next ID.
        QCOMPARE(r.query->queryMX(QStringLiteral("example.com.")), 2);
        QTRY_COMPARE(peer.received.size(), 2);
        QCOMPARE(queryId(peer.received.at(1)), 2);
        QCOMPARE(peer.received.at(1).mid(2), expected.mid(2));
        // An A query differs only in its ID and QTYPE.
        QCOMPARE(r.query->queryA(QStringLiteral("example.com")), 3);
        QTRY_COMPARE(peer.received.size(), 3);
        QCOMPARE(peer.received.at(2), QByteArray::fromHex("0003") + expected.mid(2, 23) + QByteArray::fromHex("00010001"));
    }

    // Replies that are not the answer to the query sent are ignored; the
    // real answer that follows them is taken.
    void onlyTheMatchingReplyCounts_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("qtype"); // the query sent: 15 MX, 1 A
        QTest::newRow("other ID") << 0 << 15;
        QTest::newRow("other name in the question") << 1 << 15;
        QTest::newRow("other type in the question (A)") << 2 << 15;
        QTest::newRow("A query, reply with an MX question") << 2 << 1;
        QTest::newRow("no question") << 3 << 15;
        QTest::newRow("two questions") << 4 << 15;
        QTest::newRow("not a response (QR clear)") << 5 << 15;
        QTest::newRow("shorter than a header") << 6 << 15;
    }

    void onlyTheMatchingReplyCounts()
    {
        QFETCH(int, kind);
        QFETCH(int, qtype);
        UdpPeer peer([kind, qtype](const QByteArray &query) {
            const int id = queryId(query);
            QByteArray bogus;
            switch (kind) {
            case 0: bogus = mxAnswer(id ^ 0x5555, "example.test", "spoofed.example"); break;
            case 1: bogus = mxAnswer(id, "other.test", "spoofed.example"); break;
            case 2:
                // Right ID and name, the other type: an A answer to an MX
                // query, an MX answer to an A query.
                bogus = qtype == 15 ? aAnswer(id, "example.test", {192, 0, 2, 66})
                                    : mxAnswer(id, "example.test", "spoofed.example");
                break;
            case 3: bogus = Packet().header(id, 0x8180, 0, 0); break;
            case 4: bogus = Packet().header(id, 0x8180, 2, 0).mxQuestion("example.test").mxQuestion("x.test"); break;
            case 5: bogus = mxAnswer(id, "example.test", "spoofed.example"); bogus[2] = 0x01; break;
            case 6: bogus = QByteArray::fromHex("0001818000"); break;
            }
            const QByteArray real = qtype == 15 ? mxAnswer(id, "example.test", "real.example")
                                                : aAnswer(id, "example.test", {192, 0, 2, 7});
            return QList<QByteArray>{bogus, real};
        });
        Recorded r(peer.port());
        const auto taken = [&r] {
            const TDnsQuery &q = *r.query;
            return q.queryType() == 15 ? mxHosts(q) : QStringList{q.addressText(0), QString::number(q.addressCount())};
        };
        const QStringList real = qtype == 15 ? QStringList{"10 real.example"} : QStringList{"192.0.2.7", "1"};
        if (qtype == 15)
            r.query->queryMX(QStringLiteral("example.test"));
        else
            r.query->queryA(QStringLiteral("example.test"));
        QTRY_COMPARE(r.events, QList<quint16>{0});
        QCOMPARE(taken(), real);
        // Nothing more is taken after the answer, not even a second copy.
        peer.sendToLastSender(qtype == 15 ? mxAnswer(1, "example.test", "late.example")
                                          : aAnswer(1, "example.test", {192, 0, 2, 99}));
        QTest::qWait(100);
        QCOMPARE(r.events.size(), 1);
        QCOMPARE(taken(), real);
    }

    // A response for this query whose names cannot be read ends it with an
    // error, never a hang or a read outside the buffer.
    void brokenResponseIsAnError_data()
    {
        QTest::addColumn<QByteArray>("answer"); // the answer section after the question

        QTest::newRow("pointer loop in the exchange")
            << Packet().pointer(12).u16(15).u16(1).u32(60).u16(4).u16(10).pointer(12 + 18 + 2 + 10 + 2).bytes();
        QTest::newRow("owner name points forward")
            << Packet().pointer(200).u16(15).u16(1).u32(60).u16(3).u16(10).u8(0).bytes();
        QTest::newRow("owner label runs past the end") << Packet().u8(40).raw("abc").bytes();
        QTest::newRow("record data past the end")
            << Packet().pointer(12).u16(15).u16(1).u32(60).u16(300).u16(10).u8(0).bytes();
        QTest::newRow("pointer cut in half") << Packet().u8(0xC0).bytes();
        QTest::newRow("CNAME target runs past its record")
            << Packet().pointer(12).u16(5).u16(1).u32(60).u16(1).u8(3).raw("www").u8(0).bytes();
    }

    void brokenResponseIsAnError()
    {
        QFETCH(QByteArray, answer);
        UdpPeer peer([answer](const QByteArray &query) {
            return QList<QByteArray>{Packet().header(queryId(query), 0x8180, 1, 1).mxQuestion("example.test").raw(answer)};
        });
        Recorded r(peer.port());
        r.query->queryMX(QStringLiteral("example.test"));
        QTRY_COMPARE(r.events, QList<quint16>{TDnsQuery::MalformedResponse});
        QCOMPARE(r.query->mxCount(), 0);
        QCOMPARE(r.query->answerCount(), 0);
    }

    // No answer, no event: the caller's own timer ends the query. A port
    // nothing listens on looks the same (Qt's datagram socket passes no
    // ICMP "port unreachable" on).
    void silentServerGivesNoEvent_data()
    {
        QTest::addColumn<bool>("listening");
        QTest::newRow("server reads and never answers") << true;
        QTest::newRow("nothing listens on the port") << false;
    }

    void silentServerGivesNoEvent()
    {
        QFETCH(bool, listening);
        UdpPeer peer;
        QUdpSocket probe;
        probe.bind(QHostAddress::LocalHost, 0);
        const quint16 closedPort = probe.localPort();
        probe.close();
        Recorded r(listening ? peer.port() : closedPort);
        r.query->queryMX(QStringLiteral("example.test"));
        if (listening)
            QTRY_COMPARE(peer.received.size(), 1);
        QTest::qWait(300);
        QVERIFY(r.events.isEmpty());
        QVERIFY(r.query->isWaiting());
        QCOMPARE(r.query->replyLength(), -1);
    }

    // A second query abandons the first: the first one's answer, sent to
    // its old port, never arrives.
    void secondQueryAbandonsTheFirst()
    {
        UdpPeer peer([](const QByteArray &query) {
            const int id = queryId(query);
            return id == 1 ? QList<QByteArray>{} : QList<QByteArray>{mxAnswer(id, "second.test", "second.example")};
        });
        Recorded r(peer.port());
        r.query->queryMX(QStringLiteral("first.test"));
        QTRY_COMPARE(peer.received.size(), 1);
        const quint16 firstPort = peer.lastSenderPort;
        r.query->queryMX(QStringLiteral("second.test"));
        QTRY_COMPARE(r.events, QList<quint16>{0});
        QVERIFY(peer.lastSenderPort != firstPort);
        peer.lastSenderPort = firstPort;
        peer.sendToLastSender(mxAnswer(1, "first.test", "first.example"));
        QTest::qWait(100);
        QCOMPARE(r.events.size(), 1);
        QCOMPARE(mxHosts(*r.query), QStringList{"10 second.example"});
    }

    // A query freed while its answer is on the way: nothing is reported,
    // nothing is touched.
    void freedQueryIgnoresItsAnswer()
    {
        UdpPeer peer;
        QList<quint16> events;
        auto query = std::make_unique<TDnsQuery>();
        query->setAddr(QStringLiteral("127.0.0.1"));
        query->setPort(QString::number(peer.port()));
        query->onRequestDone = [&events](TDnsQuery *, quint16 error) { events << error; };
        query->queryMX(QStringLiteral("example.test"));
        QTRY_COMPARE(peer.received.size(), 1);
        query.reset();
        peer.sendToLastSender(mxAnswer(1, "example.test", "mx.example"));
        QTest::qWait(100);
        QVERIFY(events.isEmpty());
    }

    void sendingFailuresThrow_data()
    {
        QTest::addColumn<QString>("addr");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("domain");
        QTest::addColumn<QString>("message");
        QTest::newRow("no server") << "" << "53" << "example.test" << "Connect: No IP Address Specified";
        QTest::newRow("server name starting with a digit")
            << "1dns.example" << "53" << "example.test" << "connect: WSocketResolveHost: '1dns.example' Invalid IP address.";
        QTest::newRow("bad port") << "127.0.0.1" << "" << "example.test" << "Connect: No Port Specified";
        QTest::newRow("empty label") << "127.0.0.1" << "53" << "a..test" << "QueryMX: 'a..test' is not a valid domain name";
        QTest::newRow("label over 63") << "127.0.0.1" << "53" << QString(64, u'a') + ".test"
                                       << "QueryMX: '" + QString(64, u'a') + ".test' is not a valid domain name";
        QTest::newRow("name over 255") << "127.0.0.1" << "53" << (QString(60, u'a') + '.').repeated(5)
                                       << "QueryMX: '" + (QString(60, u'a') + '.').repeated(5) + "' is not a valid domain name";
    }

    void sendingFailuresThrow()
    {
        QFETCH(QString, addr);
        QFETCH(QString, port);
        QFETCH(QString, domain);
        QFETCH(QString, message);
        TDnsQuery query;
        query.setAddr(addr);
        query.setPort(port);
        bool called = false;
        query.onRequestDone = [&called](TDnsQuery *, quint16) { called = true; };
        try {
            query.queryMX(domain);
            QFAIL("no exception");
        } catch (const ESocketException &e) {
            QCOMPARE(e.message(), message);
        }
        QTest::qWait(20);
        QVERIFY(!called);
    }
};

QTEST_GUILESS_MAIN(TestDnsQuery)
#include "tst_dnsquery.moc"
