// The verification run with scripted MX queries: what each row shows, the
// domain lists, Resume, Stop, the time-out and the pacing.
#include "verify/verifyrun.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QHash>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "testfiles.h"

using namespace varnholt;

namespace {

// What the scripted server says of a domain.
struct Script {
    int error = 0;
    QStringList exchanges; // MX answers; empty with error 0: no records
    int delayMs = 0;
    bool silent = false;   // never answers
    bool lateAnswer = false; // answers only after 2.5 s (past a 1 s time-out)
};

class ScriptedQuery : public MxQuery
{
public:
    ScriptedQuery(const QHash<QString, Script> &scripts, QStringList &asked)
        : m_scripts(scripts)
        , m_asked(asked)
    {
    }

    void start(const QString &server, const QString &domain) override
    {
        m_asked << domain;
        if (server == u"not an address") {
            emit sendFailed(QStringLiteral("Invalid address"));
            return;
        }
        const Script s = m_scripts.value(domain.toLower());
        if (s.silent)
            return;
        QTimer::singleShot(s.lateAnswer ? 2500 : s.delayMs, this, [this, s] {
            emit done(s.error, int(s.exchanges.size()), s.exchanges.value(0), s.exchanges);
        });
    }

private:
    QHash<QString, Script> m_scripts;
    QStringList &m_asked;
};

} // namespace

class TestVerifyRun : public QObject
{
    Q_OBJECT

    QHash<QString, Script> m_scripts{
        {"mx.test", {0, {"mx1.mx.test", "mx2.mx.test"}, 0}},
        {"slow.test", {0, {"mail.slow.test"}, 300}},
        {"nomx.test", {0, {}, 0}},
        {"broken.test", {2, {}, 0}},
        {"silent.test", {0, {}, 0, true}},
        {"late.test", {0, {"mx.late.test"}, 0, false, true}},
    };
    QStringList m_asked;

    std::unique_ptr<VerifyRun> makeRun(const QStringList &addresses, const QString &connections = "10")
    {
        auto run = std::make_unique<VerifyRun>([this] { return std::make_unique<ScriptedQuery>(m_scripts, m_asked); });
        run->setAddresses(addresses);
        run->setConnections(connections);
        run->setDnsServer("127.0.0.1:5353");
        run->setTimeOut(1);
        return run;
    }

    static void runToEnd(VerifyRun &run, bool resume = false)
    {
        QSignalSpy finished(&run, &VerifyRun::finished);
        run.start(resume);
        QVERIFY(finished.wait(15000));
        QVERIFY(!run.isRunning());
    }

private slots:
    void init() { m_asked.clear(); }

    // Every kind of row, the domain after the first "@", and one query per
    // domain once its answer is known.
    void rowsShowTheirOutcome()
    {
        auto run = makeRun({"a@mx.test", "no-at-sign", "b@", "c@x@mx.test", "d@nomx.test", "e@broken.test",
                            "f@MX.test", "g@nomx.test"},
                           "1");
        QBuffer log;
        log.open(QIODevice::WriteOnly);
        run->setLog(&log);
        runToEnd(*run);
        const auto &r = run->rows();
        const auto row = [&](int i) {
            return QStringList{r[i].state, r[i].code, r[i].comment, QString::number(int(r[i].number))}.join(u'|');
        };
        QCOMPARE(row(0), "Ok|mx1.mx.test|mx1.mx.test , mx2.mx.test|2");
        QCOMPARE(row(1), "No|||1");
        QCOMPARE(row(2), "No|||1");
        QCOMPARE(r[3].domain, "x@mx.test");
        QCOMPARE(row(3), "No||Mail server is not available|3"); // "x@mx.test" is no domain the server knows
        QCOMPARE(row(4), "No||Mail server is not available|3");
        QCOMPARE(row(5), "No||Error 2|5");
        QCOMPARE(row(6), "Ok||Mail server is available|2"); // from the good list, letter case aside
        QCOMPARE(row(7), "No||Mail server is not available|3");
        // One connection: every answer was in before the next row, so the
        // repeated domains were never asked again.
        QCOMPARE(m_asked, (QStringList{"mx.test", "x@mx.test", "nomx.test", "broken.test"}));
        QVERIFY(!run->badDomains().contains("broken.test")); // an error says nothing of the domain
        QVERIFY(log.data().isEmpty());
    }

    // A server that never answers: "No Data" after the time-out, logged
    // once; an answer that comes later changes nothing. Resume does not ask
    // those rows again; it asks a row marked "No", and decides a "No" row
    // of a domain the run already knows from its list.
    void timeOutAndResume()
    {
        auto run = makeRun({"a@silent.test", "b@late.test", "c@nomx.test"});
        QBuffer log;
        log.open(QIODevice::WriteOnly);
        run->setLog(&log);
        runToEnd(*run);
        for (int i : {0, 1}) {
            QCOMPARE(run->rows()[i].state, "No Data");
            QCOMPARE(run->rows()[i].comment, "TimeOut");
            QCOMPARE(run->rows()[i].time, " ");
        }
        QCOMPARE(log.data(), QByteArray("a@silent.test;TimeOut\r\nb@late.test;TimeOut\r\n"));
        QTest::qWait(2000); // the late answer arrives: nobody listens
        QCOMPARE(run->rows()[1].state, "No Data");

        m_asked.clear();
        run->toggleMark(0); // marked for deletion: asked again on Resume
        runToEnd(*run, true);
        QCOMPARE(m_asked, QStringList{"silent.test"});
        QCOMPARE(run->rows()[1].state, "No Data");
        QCOMPARE(run->rows()[2].comment, "Mail server is not available");
    }

    // Stop while queries run: their rows keep what they show (no state, the
    // seconds reached).
    void stopKeepsRowsAsTheyAre()
    {
        auto run = makeRun({"a@silent.test", "b@silent.test"}, "2");
        run->setTimeOut(30);
        run->start(false);
        QTRY_COMPARE_WITH_TIMEOUT(run->rows()[1].time, "1", 5000);
        run->finish();
        QVERIFY(!run->isRunning());
        QCOMPARE(run->runningQueries(), 0);
        QCOMPARE(run->rows()[0].state, QString());
        QVERIFY(!run->rows()[0].time.isEmpty());
    }

    // The pacing: "number of connections" starts a second at most, and at
    // most that many queries at once; 0 or no number counts as 1.
    void pacingAndConnections_data()
    {
        QTest::addColumn<QString>("connections");
        QTest::addColumn<int>("expected");
        QTest::newRow("ten") << "10" << 10;
        QTest::newRow("zero") << "0" << 1;
        QTest::newRow("not a number") << "many" << 1;
        QTest::newRow("negative") << "-3" << 1;
    }

    void pacingAndConnections()
    {
        QFETCH(QString, connections);
        QFETCH(int, expected);
        QStringList addresses;
        for (int i = 0; i < 12; ++i)
            addresses << QStringLiteral("u%1@d%1.slow.test").arg(i);
        for (int i = 0; i < 12; ++i)
            m_scripts.insert(QStringLiteral("d%1.slow.test").arg(i), {0, {"mx"}, 300});
        auto run = makeRun(addresses, connections);
        QCOMPARE(run->connections(), expected);
        if (expected == 1)
            return;
        int most = 0;
        connect(run.get(), &VerifyRun::rowChanged, this, [&] { most = std::max(most, run->runningQueries()); });
        QElapsedTimer clock;
        clock.start();
        runToEnd(*run);
        // 12 starts at one per 100 ms, the last answer 300 ms after its start.
        QVERIFY2(clock.elapsed() >= 1100, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(most <= 10);
        QCOMPARE(m_asked.size(), 12);
    }

    // A DNS server that is no address: said once, and the rows end at their
    // time-out; the run goes on.
    void queryThatCannotBeSent()
    {
        auto run = makeRun({"a@mx.test", "b@nomx.test"});
        run->setDnsServer("not an address");
        QSignalSpy said(run.get(), &VerifyRun::querySendFailed);
        runToEnd(*run);
        QCOMPARE(said.size(), 1);
        QCOMPARE(run->rows()[0].comment, "TimeOut");
        QCOMPARE(run->rows()[1].comment, "TimeOut");
        QCOMPARE(run->done(), 2);
    }

    // A query error says nothing of the domain: the row reads the code.
    void queryError()
    {
        auto run = makeRun({"a@broken.test"});
        runToEnd(*run);
        QCOMPARE(run->rows()[0].comment, "Error 2");
    }

    // "Delete unavailable" takes every "No" row and keeps "No Data"; "Save
    // As" writes address and state.
    void unavailableRowsAndSaving()
    {
        auto run = makeRun({"a@mx.test", "bad", "c@silent.test", "d@nomx.test"});
        runToEnd(*run);
        QCOMPARE(run->unavailableRows(), (std::vector<int>{1, 3}));
        QTemporaryDir dir;
        QVERIFY(run->saveAs(dir.filePath("r.txt")));
        QCOMPARE(testing::readFile(dir.filePath("r.txt")),
                 QByteArray("a@mx.test;Ok\r\nbad;No\r\nc@silent.test;No Data\r\nd@nomx.test;No\r\n"));
        run->removeRows(run->unavailableRows());
        QCOMPARE(run->rowCount(), 2);
        QCOMPARE(run->rows()[1].address, "c@silent.test");
    }
};

QTEST_MAIN(TestVerifyRun)
#include "tst_verifyrun.moc"
