// The verification run with its real MX query, against DNS servers started
// here: what each kind of domain makes of a row, the run's domain lists, a
// server that never answers, and Resume after it.
#include "verify/dnsmxquery.h"
#include "verify/verifyrun.h"

#include "verifydns.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>

using namespace varnholt;

namespace {

// The real query, with the domains it is asked for recorded.
class RecordingQuery : public MxQuery
{
public:
    explicit RecordingQuery(QStringList &asked)
        : m_asked(asked)
    {
        connect(&m_query, &MxQuery::done, this, &MxQuery::done);
        connect(&m_query, &MxQuery::sendFailed, this, &MxQuery::sendFailed);
    }

    void start(const QString &server, const QString &domain) override
    {
        m_asked << domain;
        m_query.start(server, domain);
    }

private:
    DnsMxQuery m_query;
    QStringList &m_asked;
};

// "State|Code|Comment|state number" of a row.
QString shown(const VerifyRun &run, int i)
{
    const VerifyRow &r = run.rows()[size_t(i)];
    return QStringList{r.state, r.code, r.comment, QString::number(int(r.number))}.join(u'|');
}

} // namespace

class TestVerifyRealDns : public QObject
{
    Q_OBJECT

    VerifyDns m_dns;
    QStringList m_asked;

    std::unique_ptr<VerifyRun> makeRun(const QStringList &addresses, const QString &server)
    {
        auto run = std::make_unique<VerifyRun>([this] { return std::make_unique<RecordingQuery>(m_asked); });
        run->setAddresses(addresses);
        // A query every 100 ms: a repeated domain further down the list
        // finds its first query answered.
        run->setConnections(QStringLiteral("10"));
        run->setDnsServer(server);
        run->setTimeOut(1);
        return run;
    }

    static void runToEnd(VerifyRun &run, bool resume)
    {
        QSignalSpy finished(&run, &VerifyRun::finished);
        run.start(resume);
        QVERIFY(finished.wait(20000));
        QVERIFY(!run.isRunning());
        QCOMPARE(run.runningQueries(), 0);
    }

private slots:
    void initTestCase() { VARNHOLT_START_VERIFY_DNS(m_dns); }
    void init() { m_asked.clear(); }

    void everyKindOfDomain()
    {
        const QString notAvailable = QStringLiteral("No||Mail server is not available|3");
        const QStringList addresses{"a@mx.test",      "b@alias.test", "c@aonly.test", "d@nullmx.test",
                                    "e@nosuch.test",  "f@broken.test", "g@big.test",  "h@x@mx.test",
                                    "no-domain",      "j@",           "k@  ",         "l@MX.Test",
                                    "m@NoSuch.test",  "n@nullmx.test"};
        auto run = makeRun(addresses, m_dns.server());
        QBuffer log;
        log.open(QIODevice::WriteOnly);
        run->setLog(&log);
        runToEnd(*run, false);

        const QString both = QStringLiteral("mx2.mx.test , mx1.mx.test");
        QCOMPARE(shown(*run, 0), "Ok|mx2.mx.test|" + both + "|2");
        // The first answer is the CNAME: no exchange in Code, but answered.
        QCOMPARE(shown(*run, 1), "Ok||" + both + "|2");
        QCOMPARE(shown(*run, 2), notAvailable);   // A record only
        QCOMPARE(shown(*run, 3), notAvailable);   // null MX: takes no mail
        QCOMPARE(shown(*run, 4), notAvailable);   // NXDOMAIN
        QCOMPARE(shown(*run, 5), notAvailable);   // SERVFAIL: an answer without records

        // Truncated: the exchanges that came, each whole, the first in Code.
        const VerifyRow &big = run->rows()[6];
        QCOMPARE(big.state, "Ok");
        QCOMPARE(int(big.number), 2);
        const QStringList exchanges = big.comment.split(QStringLiteral(" , "));
        QVERIFY2(exchanges.size() > 1 && exchanges.size() < 40, qPrintable(big.comment));
        QCOMPARE(big.code, exchanges.first());
        for (const QString &e : exchanges)
            QVERIFY2(e.startsWith("exchange-number-") && e.endsWith("-with-a-long-name.big.test"), qPrintable(e));

        // Two "@": the domain is all after the first one, and no such name.
        QCOMPARE(run->rows()[7].domain, "x@mx.test");
        QCOMPARE(shown(*run, 7), notAvailable);
        for (int i : {8, 9, 10})
            QCOMPARE(shown(*run, i), "No|||1");
        // Decided from the run's lists, letter case aside: no Code, the
        // list's comment.
        QCOMPARE(shown(*run, 11), "Ok||Mail server is available|2");
        QCOMPARE(shown(*run, 12), notAvailable);
        QCOMPARE(shown(*run, 13), notAvailable);

        QCOMPARE(m_asked, (QStringList{"mx.test", "alias.test", "aonly.test", "nullmx.test", "nosuch.test",
                                       "broken.test", "big.test", "x@mx.test"}));
        QCOMPARE(run->goodDomains(), (QSet<QString>{"mx.test", "alias.test", "big.test"}));
        QCOMPARE(run->badDomains(),
                 (QSet<QString>{"aonly.test", "nullmx.test", "nosuch.test", "broken.test", "x@mx.test"}));
        QCOMPARE(run->done(), 8);
        QVERIFY(log.data().isEmpty());
    }

    // A server that reads the queries and never answers: every queried row
    // reads "No Data" / "TimeOut" and is logged once. Resume, with a server
    // that answers, asks only the rows marked "No" since.
    void silentServerThenResume()
    {
        const QStringList addresses{"a@mx.test", "b@nosuch.test", "nobody", "c@alias.test", "d@aonly.test",
                                    "e@mx.test"};
        auto run = makeRun(addresses, m_dns.silentServer());
        QBuffer log;
        log.open(QIODevice::WriteOnly);
        run->setLog(&log);
        const int before = m_dns.silentReceived;
        runToEnd(*run, false);

        const auto timedOut = [&](int i) {
            const VerifyRow &r = run->rows()[size_t(i)];
            return QStringList{r.state, r.code, r.time, r.comment, QString::number(int(r.number))}.join(u'|');
        };
        for (int i : {0, 1, 3, 4, 5})
            QCOMPARE(timedOut(i), "No Data| | |TimeOut|4");
        QCOMPARE(shown(*run, 2), "No|||1");
        QCOMPARE(m_dns.silentReceived - before, 5); // the queries went out
        QVERIFY(run->goodDomains().isEmpty() && run->badDomains().isEmpty());
        // One line each; the clocks run side by side, so in any order.
        const auto logLines = [&] {
            QList<QByteArray> lines = log.data().split('\n');
            std::sort(lines.begin(), lines.end());
            return lines;
        };
        const QList<QByteArray> logged{"", "a@mx.test;TimeOut\r", "b@nosuch.test;TimeOut\r", "c@alias.test;TimeOut\r",
                                       "d@aonly.test;TimeOut\r", "e@mx.test;TimeOut\r"};
        QCOMPARE(logLines(), logged);

        run->toggleMark(1);
        run->toggleMark(5);
        run->setDnsServer(m_dns.server());
        m_asked.clear();
        runToEnd(*run, true);
        QCOMPARE(m_asked, (QStringList{"nosuch.test", "mx.test"}));
        // An answer without records writes no Code: the time-out's blank stays.
        QCOMPARE(shown(*run, 1), "No| |Mail server is not available|3");
        QCOMPARE(shown(*run, 5), "Ok|mx2.mx.test|mx2.mx.test , mx1.mx.test|2");
        for (int i : {0, 3, 4})
            QCOMPARE(timedOut(i), "No Data| | |TimeOut|4");
        QCOMPARE(logLines(), logged);
    }
};

QTEST_GUILESS_MAIN(TestVerifyRealDns)
#include "tst_verifyrealdns.moc"
