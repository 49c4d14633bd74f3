// `varnholt-cli verify` against DNS servers on 127.0.0.1: its exit codes,
// the rows of its JSON, the saved results, the rows it deletes from the
// list file, and the verification log.
#include "clifixture.h"
#include "verifydns.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace varnholt::testing;

class TestCliVerify : public QObject, private CliFixture
{
    Q_OBJECT

    VerifyDns m_dns;

private Q_SLOTS:
    void initTestCase() { VARNHOLT_START_VERIFY_DNS(m_dns); }

    // 0 when every address has a mail server, 1 when some have none or no
    // answer came, 2 when the run cannot start.
    void exitCodes_data()
    {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QStringList>("options"); // "--dns" defaults to dnsmasq
        QTest::addColumn<int>("exitCode");
        const QByteArray good = "a@mx.test;Ann;Oslo\r\nb@alias.test;Bob;Rome\r\n";
        QTest::newRow("every address has a mail server") << good << QStringList{} << 0;
        QTest::newRow("a domain without MX") << good + "c@aonly.test;Cy;Bonn\r\n" << QStringList{} << 1;
        QTest::newRow("an address without domain") << good + "nobody;Cy;Bonn\r\n" << QStringList{} << 1;
        QTest::newRow("a server failure") << good + "c@broken.test;Cy;Bonn\r\n" << QStringList{} << 1;
        QTest::newRow("no answer") << good + "c@silent.test;Cy;Bonn\r\n" << QStringList{} << 1;
        QTest::newRow("no DNS server") << good << QStringList{"--dns", ""} << 2;
        QTest::newRow("DNS server that is no address") << good << QStringList{"--dns", "1dns.example"} << 2;
        QTest::newRow("DNS port that is no port") << good << QStringList{"--dns", "127.0.0.1:noport"} << 2;
        QTest::newRow("time-out that is no number") << good << QStringList{"--timeout", "soon"} << 2;
    }

    void exitCodes()
    {
        QFETCH(QByteArray, list);
        QFETCH(QStringList, options);
        QFETCH(int, exitCode);
        QTemporaryDir dir;
        const QString project = makeProject(dir.filePath("p"), list);
        QStringList args{"--home", dir.filePath("home"), "verify", project};
        if (!options.contains("--dns"))
            args << "--dns" << m_dns.server();
        if (!options.contains("--timeout"))
            args << "--timeout" << "1";
        const Result r = run(args + options);
        QVERIFY2(r.exitCode == exitCode, r.err.constData());
        if (exitCode == 2)
            QVERIFY2(r.err.startsWith("varnholt-cli: "), r.err.constData());
    }

    void missingProject()
    {
        QTemporaryDir home;
        const Result r = run({"--home", home.path(), "verify", "/nonexistent/p.eml", "--dns", m_dns.server()});
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.startsWith("varnholt-cli: "), r.err.constData());
    }

    // One run with every outcome: the JSON rows and counts, the results
    // file, the list file without the unavailable rows (the others as they
    // were written, in order), and the time-out in the log.
    void jsonSaveDeleteAndLog()
    {
        QTemporaryDir dir;
        const QByteArray kept[] = {"a@mx.test;Ann;Oslo\r\n", "\"Bob Brown\" <b@alias.test>;Bob;Rome\r\n",
                                   "d@silent.test;Dee;Lund\r\n", "f@MX.test;Fay;Kiel\r\n"};
        const QByteArray list = kept[0] + kept[1] + "nobody;Cy;Bonn\r\n" + kept[2] + "e@nosuch.test;Eve;Graz\r\n"
                                + kept[3] + "g@nullmx.test;Gus;Linz\r\n";
        const QString project = makeProject(dir.filePath("p"), list);
        const QByteArray settings = readFile(project);
        const Result r = run({"--home", dir.filePath("home"), "--json", "verify", project, "--dns", m_dns.server(),
                              "--timeout", "1", "--connections", "10", "--save", dir.filePath("results.txt"),
                              "--delete-unavailable"});
        QVERIFY2(r.exitCode == 1, r.err.constData());

        QJsonParseError error;
        const QJsonObject doc = QJsonDocument::fromJson(r.out, &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, r.out.constData());
        QStringList rows;
        for (const QJsonValue &row : doc.value("rows").toArray()) {
            const QJsonObject o = row.toObject();
            rows << QStringList{o.value("email").toString(), o.value("state").toString(), o.value("code").toString(),
                                o.value("comment").toString()}
                        .join(u'|');
        }
        QCOMPARE(rows, (QStringList{"a@mx.test|Ok|mx2.mx.test|mx2.mx.test , mx1.mx.test",
                                    "b@alias.test|Ok||mx2.mx.test , mx1.mx.test",
                                    "nobody|No||",
                                    "d@silent.test|No Data||TimeOut",
                                    "e@nosuch.test|No||Mail server is not available",
                                    "f@MX.test|Ok||Mail server is available",
                                    "g@nullmx.test|No||Mail server is not available"}));
        const QStringList counts{"records", "available", "unavailable", "invalid", "timedOut", "errors",
                                 "goodDomains", "badDomains", "deleted"};
        QStringList actual;
        for (const QString &name : counts)
            actual << name + '=' + QString::number(doc.value(name).toInt(-1));
        QCOMPARE(actual, (QStringList{"records=7", "available=3", "unavailable=3", "invalid=1", "timedOut=1",
                                      "errors=0", "goodDomains=2", "badDomains=2", "deleted=3"}));

        QCOMPARE(readFile(dir.filePath("results.txt")),
                 QByteArray("a@mx.test;Ok\r\nb@alias.test;Ok\r\nnobody;No\r\nd@silent.test;No Data\r\n"
                            "e@nosuch.test;No\r\nf@MX.test;Ok\r\ng@nullmx.test;No\r\n"));
        QCOMPARE(readFile(dir.filePath("p/p.txt")), kept[0] + kept[1] + kept[2] + kept[3]);
        QCOMPARE(readFile(project), settings);
        QCOMPARE(readFile(dir.filePath("home/verifylog.txt")), QByteArray("d@silent.test;TimeOut\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestCliVerify)
#include "tst_cli_verify.moc"
