// Finding a domain's mail exchangers: against a real dnsmasq (and unbound
// for SERVFAIL) started here, and a scripted DNS peer where the exact
// order of the answer matters (equal preferences, the caps) or a server
// must stay silent.
#include "direct/mxresolver.h"
#include "testservers.h"
#include "../dns/udppeer.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace varnholt;
using varnholt::testing::DnsmasqServer;
using varnholt::testing::UnboundServer;
using Result = MxResolver::Result;

namespace {

QString resultName(Result result)
{
    switch (result) {
    case Result::Found: return QStringLiteral("Found");
    case Result::NoMailServer: return QStringLiteral("NoMailServer");
    case Result::NullMx: return QStringLiteral("NullMx");
    case Result::NoSuchDomain: return QStringLiteral("NoSuchDomain");
    case Result::QueryFailed: return QStringLiteral("QueryFailed");
    case Result::SilentServers: return QStringLiteral("SilentServers");
    }
    return QStringLiteral("?");
}

// "10 mx.example.test 192.0.2.1,192.0.2.2" per target.
QStringList describe(const QList<MxTarget> &targets)
{
    QStringList lines;
    for (const MxTarget &t : targets)
        lines << QStringLiteral("%1 %2 %3").arg(t.preference).arg(t.host, t.addresses.join(u','));
    return lines;
}

struct Event {
    QString result;
    QStringList targets;
    QString comment;
};

// A resolver with its events recorded.
struct Recorded {
    explicit Recorded(const QStringList &servers)
    {
        resolver = std::make_unique<MxResolver>();
        resolver->setServers(servers);
        resolver->onResolved = [this](MxResolver *sender, Result result, const QList<MxTarget> &targets,
                                      const QString &comment) {
            QCOMPARE(sender, resolver.get());
            QVERIFY(!sender->isBusy());
            events << Event{resultName(result), describe(targets), comment};
        };
        resolver->onAnswer = [this](MxResolver *) { ++answers; };
    }
    std::unique_ptr<MxResolver> resolver;
    QList<Event> events;
    int answers = 0;
};

// The name and type of a query datagram (uncompressed, as queries are).
QPair<QByteArray, int> question(const QByteArray &query)
{
    QByteArrayList labels;
    int at = 12;
    while (at < query.size() && query[at] != 0) {
        const int length = quint8(query[at]);
        labels << query.mid(at + 1, length);
        at += 1 + length;
    }
    const int type = at + 2 < query.size() ? (quint8(query[at + 1]) << 8) | quint8(query[at + 2]) : -1;
    return {labels.join('.'), type};
}

// Header and echoed question of an answer to `query`.
Packet answerTo(const QByteArray &query, int replyCode, int answers)
{
    const auto [name, type] = question(query);
    Packet p;
    p.header(queryId(query), 0x8180 | replyCode, 1, answers).name(name).u16(type).u16(1);
    return p;
}

} // namespace

class TestMxResolver : public QObject
{
    Q_OBJECT
    DnsmasqServer m_dnsmasq;

    [[nodiscard]] QString dnsmasq() const { return QStringLiteral("127.0.0.1:%1").arg(m_dnsmasq.port()); }

private slots:
    void initTestCase()
    {
        // dnsmasq answers a name's records in the reverse order of these
        // options: sorted.test's MX records come as 5, 20, 10.
        VARNHOLT_START_SERVER(m_dnsmasq, QStringList{
            "--local=/test/",
            "--mx-host=sorted.test,mx-a.sorted.test,10", "--mx-host=sorted.test,mx-b.sorted.test,20",
            "--mx-host=sorted.test,mx-c.sorted.test,5", // no address
            "--host-record=mx-a.sorted.test,127.0.0.2", "--host-record=mx-a.sorted.test,127.0.0.3",
            "--host-record=mx-b.sorted.test,127.0.0.4",
            "--cname=alias.test,sorted.test",
            "--host-record=aonly.test,127.0.0.5",
            "--cname=alias2.test,aonly.test", // answered with the CNAME alone
            "--host-record=xn--bcher-kva.test,127.0.0.6",
            "--mx-host=dotted.test,127.0.0.7,10",
            "--mx-host=cnamemx.test,mail.cnamemx.test,10", "--cname=mail.cnamemx.test,aonly.test",
            "--mx-host=nullmx.test,.,0",
            "--mx-host=noaddr.test,mx.noaddr.test,10",
        });
    }

    void realServer_data()
    {
        QTest::addColumn<QString>("domain");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QStringList>("targets"); // addresses sorted: dnsmasq picks their order
        QTest::addColumn<QString>("comment");     // a part of it
        QTest::addColumn<int>("answers");         // onAnswer calls: one per query

        const QStringList sorted{"10 mx-a.sorted.test 127.0.0.2,127.0.0.3", "20 mx-b.sorted.test 127.0.0.4"};
        QTest::newRow("MX records sorted, exchanger without address dropped")
            << "sorted.test" << "Found" << sorted << "mx-a.sorted.test (10), mx-b.sorted.test (20)" << 4;
        QTest::newRow("upper case, trailing dot") << "Sorted.TEST." << "Found" << sorted << "Sorted.TEST" << 4;
        QTest::newRow("CNAME first, the target's MX in the same answer") << "alias.test" << "Found" << sorted << "" << 4;
        QTest::newRow("CNAME alone: asked again for the target")
            << "alias2.test" << "Found" << QStringList{"0 alias2.test 127.0.0.5"} << "the domain itself" << 3;
        QTest::newRow("A record only: implicit MX")
            << "aonly.test" << "Found" << QStringList{"0 aonly.test 127.0.0.5"} << "no MX record" << 2;
        QTest::newRow("domain outside ASCII asked for in ACE form")
            << QString::fromUtf8("b\xc3\xbc" "cher.test") << "Found" << QStringList{"0 xn--bcher-kva.test 127.0.0.6"}
            << QString::fromUtf8("b\xc3\xbc" "cher.test") << 2;
        QTest::newRow("exchanger named by its address: no query")
            << "dotted.test" << "Found" << QStringList{"10 127.0.0.7 127.0.0.7"} << "" << 1;
        QTest::newRow("exchanger name is a CNAME")
            << "cnamemx.test" << "Found" << QStringList{"10 mail.cnamemx.test 127.0.0.5"} << "" << 2;
        QTest::newRow("null MX") << "nullmx.test" << "NullMx" << QStringList{}
                                 << "No mail server for nullmx.test: the domain accepts no mail (null MX)" << 1;
        QTest::newRow("NXDOMAIN") << "nosuch.test" << "NoSuchDomain" << QStringList{}
                                  << "No mail server for nosuch.test: the domain does not exist" << 1;
        QTest::newRow("the only exchanger has no address")
            << "noaddr.test" << "NoMailServer" << QStringList{} << "have no address (mx.noaddr.test)" << 2;
        QTest::newRow("empty domain") << "" << "QueryFailed" << QStringList{} << "the address has no domain" << 0;
        QTest::newRow("empty label") << "a..test" << "QueryFailed" << QStringList{} << "not a valid domain name" << 0;
    }

    void realServer()
    {
        QFETCH(QString, domain);
        QFETCH(QString, result);
        QFETCH(QStringList, targets);
        QFETCH(QString, comment);
        QFETCH(int, answers);

        Recorded r({dnsmasq()});
        r.resolver->resolve(domain);
        QVERIFY(r.resolver->isBusy());
        QVERIFY(r.events.isEmpty()); // never from inside resolve()
        QTRY_COMPARE(r.events.size(), 1);
        const Event &e = r.events.first();
        QCOMPARE(e.result, result);
        QStringList found = e.targets;
        for (QString &line : found) {
            QStringList parts = line.split(u' ');
            QStringList addresses = parts.last().split(u',');
            addresses.sort();
            parts.last() = addresses.join(u',');
            line = parts.join(u' ');
        }
        QCOMPARE(found, targets);
        QVERIFY2(e.comment.contains(comment), qPrintable(e.comment));
        QCOMPARE(r.answers, answers);
        QVERIFY(!r.resolver->isBusy());
        QTest::qWait(50);
        QCOMPARE(r.events.size(), 1);
    }

    // The order and the caps, where the answer's order is ours to choose:
    // equal preferences keep answer order, a repeated exchanger is asked
    // once, an address-named one not at all, at most 10 exchangers and 8
    // addresses each, only the asked name's addresses count; an exchanger
    // whose lookup fails or finds nothing is left out.
    void orderAndCaps()
    {
        QByteArrayList asked;
        UdpPeer peer([&asked](const QByteArray &query) {
            const auto [name, type] = question(query);
            asked << QByteArray::number(type) + ' ' + name;
            if (type == 15) {
                const QList<QPair<int, QByteArray>> mx{
                    {30, "x3.many.test"}, {10, "a1.many.test"}, {20, "b1.many.test"}, {10, "a2.many.test"},
                    {10, "127.0.0.9"},    {20, "b2.many.test"}, {10, "A1.Many.Test"}, {40, "y1.many.test"},
                    {41, "y2.many.test"}, {42, "y3.many.test"}, {43, "y4.many.test"}, {44, "y5.many.test"}};
                Packet p = answerTo(query, 0, int(mx.size()));
                for (const auto &[preference, exchange] : mx) {
                    // "x3.many.test" as "x3" and a pointer to the question's
                    // name, as servers write it.
                    Packet rdata;
                    rdata.u16(preference);
                    if (exchange.endsWith(".Many.Test") || exchange.endsWith(".many.test"))
                        rdata.u8(int(exchange.indexOf('.'))).raw(exchange.left(exchange.indexOf('.'))).pointer(12);
                    else
                        rdata.name(exchange);
                    p.pointer(12).u16(15).u16(1).u32(60).u16(int(rdata.size())).raw(rdata);
                }
                return QList<QByteArray>{p};
            }
            if (name == "b2.many.test")
                return QList<QByteArray>{answerTo(query, 3, 0)};
            if (name == "x3.many.test")
                return QList<QByteArray>{answerTo(query, 2, 0)};
            // a1 has ten addresses, 192.0.2.10 down to .1; the others one.
            // a2's answer also holds an address of another name.
            const int count = name == "a1.many.test" ? 10 : 1;
            const bool stray = name == "a2.many.test";
            Packet p = answerTo(query, 0, count + (stray ? 1 : 0));
            if (stray)
                p.name("stray.test").u16(1).u16(1).u32(60).u16(4).u8(192).u8(0).u8(2).u8(250);
            for (int i = 0; i < count; ++i)
                p.pointer(12).u16(1).u16(1).u32(60).u16(4).u8(192).u8(0).u8(2).u8(count == 1 ? name[1] - '0' + 100 : 10 - i);
            return QList<QByteArray>{p};
        });
        Recorded r({QStringLiteral("127.0.0.1:%1").arg(peer.port())});
        r.resolver->resolve(QStringLiteral("many.test"));
        QTRY_COMPARE(r.events.size(), 1);
        QCOMPARE(r.events.first().result, QStringLiteral("Found"));
        QCOMPARE(r.events.first().targets,
                 (QStringList{"10 a1.many.test 192.0.2.10,192.0.2.9,192.0.2.8,192.0.2.7,192.0.2.6,192.0.2.5,192.0.2.4,192.0.2.3",
                              "10 a2.many.test 192.0.2.102", "10 127.0.0.9 127.0.0.9", "20 b1.many.test 192.0.2.101",
                              "40 y1.many.test 192.0.2.101", "41 y2.many.test 192.0.2.102", "42 y3.many.test 192.0.2.103",
                              "43 y4.many.test 192.0.2.104"}));
        QCOMPARE(asked, (QByteArrayList{"15 many.test", "1 a1.many.test", "1 a2.many.test", "1 b1.many.test",
                                        "1 b2.many.test", "1 x3.many.test", "1 y1.many.test", "1 y2.many.test",
                                        "1 y3.many.test", "1 y4.many.test"}));
        QCOMPARE(r.answers, asked.size());
    }

    // When no exchanger's lookup succeeds and one of them failed, the
    // lookup failed: that exchanger may well have an address.
    void exchangerLookupFailure()
    {
        UdpPeer peer([](const QByteArray &query) {
            const auto [name, type] = question(query);
            if (type == 1)
                return QList<QByteArray>{answerTo(query, name == "a.fail.test" ? 2 : 3, 0)};
            Packet p = answerTo(query, 0, 2);
            for (const QByteArray &exchange : {QByteArray("a.fail.test"), QByteArray("b.fail.test")}) {
                Packet rdata;
                rdata.u16(10).name(exchange);
                p.pointer(12).u16(15).u16(1).u32(60).u16(int(rdata.size())).raw(rdata);
            }
            return QList<QByteArray>{p};
        });
        Recorded r({QStringLiteral("127.0.0.1:%1").arg(peer.port())});
        r.resolver->resolve(QStringLiteral("fail.test"));
        QTRY_COMPARE(r.events.size(), 1);
        QCOMPARE(r.events.first().result, QStringLiteral("QueryFailed"));
        QVERIFY2(r.events.first().comment.contains("a.fail.test (SERVFAIL)"), qPrintable(r.events.first().comment));
    }

    void serverFailure()
    {
        QTemporaryDir dir;
        UnboundServer unbound;
        VARNHOLT_START_SERVER(unbound, dir.path(), UnboundServer::Failing{QStringLiteral("broken.test")});
        Recorded r({QStringLiteral("127.0.0.1:%1").arg(unbound.port())});
        r.resolver->resolve(QStringLiteral("broken.test"));
        QTRY_COMPARE_WITH_TIMEOUT(r.events.size(), 1, 15000);
        QCOMPARE(r.events.first().result, QStringLiteral("QueryFailed"));
        QVERIFY2(r.events.first().comment.contains("SERVFAIL"), qPrintable(r.events.first().comment));
        QCOMPARE(r.answers, 1);
    }

    // The resolver has no clock: a silent server is left to the caller,
    // who moves the query on with retryNextServer(). A server entry that
    // cannot be asked counts as silent at once.
    void silentServers_data()
    {
        QTest::addColumn<QString>("first");  // "silent", "unusable"
        QTest::addColumn<QString>("second"); // "silent", "dnsmasq"
        QTest::addColumn<QString>("result");
        QTest::newRow("first silent, the second answers") << "silent" << "dnsmasq" << "Found";
        QTest::newRow("both silent") << "silent" << "silent" << "SilentServers";
        QTest::newRow("first unusable, the second asked at once") << "unusable" << "dnsmasq" << "Found";
        QTest::newRow("unusable, then silent") << "unusable" << "silent" << "SilentServers";
    }

    void silentServers()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(QString, result);
        UdpPeer silent1;
        UdpPeer silent2;
        const QString one = first == "silent" ? QStringLiteral("127.0.0.1:%1").arg(silent1.port())
                                              : QStringLiteral("dns.example");
        const QString two = second == "silent" ? QStringLiteral("127.0.0.1:%1").arg(silent2.port()) : dnsmasq();
        Recorded r({one, two});
        r.resolver->resolve(QStringLiteral("sorted.test"));
        if (first == "silent") {
            QTRY_COMPARE(silent1.received.size(), 1);
            QTest::qWait(300);
            QVERIFY(r.events.isEmpty()); // no time limit of its own
            QCOMPARE(r.resolver->currentServer(), one);
            QVERIFY(r.resolver->retryNextServer());
        }
        QCOMPARE(r.resolver->currentServer(), two);
        if (second == "silent") {
            QTRY_COMPARE(silent2.received.size(), 1);
            QVERIFY(!r.resolver->retryNextServer());
        }
        QTRY_COMPARE(r.events.size(), 1);
        const Event &e = r.events.first();
        QCOMPARE(e.result, result);
        if (result == "Found") {
            QCOMPARE(e.targets.size(), 2);
            QCOMPARE(r.answers, 4); // every query went to the second server
        } else {
            QVERIFY2(e.comment.contains("no DNS server answered"), qPrintable(e.comment));
            QCOMPARE(r.answers, 0);
            if (first == "unusable")
                QVERIFY2(e.comment.contains("dns.example"), qPrintable(e.comment));
        }
        // Each server had one try; nothing is under way any more.
        QCOMPARE(silent1.received.size(), first == "silent" ? 1 : 0);
        QVERIFY(!r.resolver->retryNextServer());
        QTest::qWait(50);
        QCOMPARE(r.events.size(), 1);
    }

    // One event per resolve(): none after cancel() or destruction, none
    // for an abandoned lookup; the caller may start the next lookup or
    // destroy the resolver from inside the event.
    void oneEventPerLookup()
    {
        {
            Recorded r({dnsmasq()});
            r.resolver->resolve(QStringLiteral("sorted.test"));
            r.resolver->cancel();
            QVERIFY(!r.resolver->isBusy());
            r.resolver->resolve(QStringLiteral("nosuch.test"));
            r.resolver->resolve(QStringLiteral("aonly.test"));
            QTRY_COMPARE(r.events.size(), 1);
            QCOMPARE(r.events.first().targets, QStringList{"0 aonly.test 127.0.0.5"});
            r.resolver->resolve(QStringLiteral(""));
            r.resolver->cancel(); // even a result already known is not reported
            QTest::qWait(200);
            QCOMPARE(r.events.size(), 1);
        }
        {
            Recorded r({dnsmasq()});
            r.resolver->onResolved = [&r](MxResolver *resolver, Result result, const QList<MxTarget> &targets,
                                          const QString &) {
                r.events << Event{resultName(result), describe(targets), {}};
                if (r.events.size() == 1)
                    resolver->resolve(QStringLiteral("aonly.test"));
                else
                    r.resolver.reset();
            };
            r.resolver->resolve(QStringLiteral("nosuch.test"));
            QTRY_VERIFY(!r.resolver);
            QCOMPARE(r.events.size(), 2);
            QCOMPARE(r.events.at(0).result, QStringLiteral("NoSuchDomain"));
            QCOMPARE(r.events.at(1).result, QStringLiteral("Found"));
        }
        {
            // Destroyed on its first answer, with the exchangers' queries
            // still to come; and destroyed with a query on the way.
            Recorded r({dnsmasq()});
            r.resolver->onAnswer = [&r](MxResolver *) { r.resolver.reset(); };
            r.resolver->resolve(QStringLiteral("sorted.test"));
            QTRY_VERIFY(!r.resolver);
            Recorded s({dnsmasq()});
            s.resolver->resolve(QStringLiteral("sorted.test"));
            s.resolver.reset();
            QTest::qWait(200);
            QVERIFY(r.events.isEmpty() && s.events.isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(TestMxResolver)
#include "tst_mxresolver.moc"
