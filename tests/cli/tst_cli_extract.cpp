// `varnholt-cli extract`: a saved conditions file and the finder form, run
// as a user's script would run them.
#include "clifixture.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <csignal>

using varnholt::testing::readFile;
using varnholt::testing::writeFileIn;

class TestCliExtract : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void find_data();
    void find();
    void conditionsFile();
    void refusals_data();
    void refusals();
    void interruptKeepsWhatWasFound();

private:
    QTemporaryDir m_dir;
    QString m_corpus;
};

void TestCliExtract::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_corpus = m_dir.filePath(QStringLiteral("corpus"));
    writeFileIn(m_corpus, QStringLiteral("a.htm"),
                "<p>Mail <a href=\"mailto:Info@Shop.example\">us</a>, see "
                "<a href=\"http://www.shop.example/new\">new</a></p>\r\n");
    writeFileIn(m_corpus, QStringLiteral("b.txt"), "Ask info@shop.example or bob@home.example.\n"
                                                   "Docs at www.docs.example/start\n");
    writeFileIn(m_corpus + "/sub", QStringLiteral("c.mbox"),
                "From bob@home.example Mon Jan  1 00:00:00 2024\nFrom: bob@home.example\n\n"
                "http://files.example/x.zip\n");
}

void TestCliExtract::find_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("emails") << QStringList{"--find", "emails"}
                            << QByteArray("Info@Shop.example\ninfo@shop.example\nbob@home.example.\n"
                                          "bob@home.example\nbob@home.example\n");
    QTest::newRow("emails, unique") << QStringList{"--find", "emails", "--unique"}
                                    << QByteArray("Info@Shop.example\nbob@home.example.\nbob@home.example\n");
    QTest::newRow("urls") << QStringList{"--find", "urls"}
                          << QByteArray("mailto:Info@Shop.example\nhttp://www.shop.example/new\n"
                                        "www.docs.example/start\nhttp://files.example/x.zip\n");
    QTest::newRow("domains") << QStringList{"--find", "domains"}
                             << QByteArray("mailto:Info@Shop.example\nwww.shop.example\nwww.docs.example/start\n"
                                           "files.example\n");
    QTest::newRow("mask") << QStringList{"--find", "emails", "--mask", "*.txt;*.MBOX"}
                          << QByteArray("info@shop.example\nbob@home.example.\nbob@home.example\nbob@home.example\n");
}

void TestCliExtract::find()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, expected);
    const auto r = CliFixture::run(QStringList{"extract"} + options + QStringList{m_corpus});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, expected);

    // --output: the same lines with CR LF; --json then tells the counts.
    const QString out = m_dir.filePath(QStringLiteral("found.txt"));
    const auto j = CliFixture::run(QStringList{"--json", "extract"} + options
                                   + QStringList{m_corpus, "--output", out});
    QCOMPARE(j.exitCode, 0);
    QCOMPARE(readFile(out), QByteArray(expected).replace("\n", "\r\n"));
    const QJsonObject doc = QJsonDocument::fromJson(j.out).object();
    QCOMPARE(doc.value("valueCount").toInt(), expected.count('\n'));
    QCOMPARE(doc.value("stopped").toBool(true), false);
    QCOMPARE(doc.value("output").toString(), out);
}

void TestCliExtract::conditionsFile()
{
    // A record per list item: the address (unique) and the bold name.
    const QString folder = m_dir.filePath(QStringLiteral("pages"));
    writeFileIn(folder, QStringLiteral("in.htm"),
                "<ul><li><b>Ann</b> ann@x.example, Oslo</li>\n<li><b>Ann B.</b> ANN@X.EXAMPLE, Rome</li>\n"
                "<li><b>Carl</b> (carl@y.example)</li></ul>\n");
    const QString cnd = writeFileIn(folder, QStringLiteral("pages.cnd"),
                                    folder.toUtf8() + "|*.htm\r\n<li>|</li>||||||;|||\r\n"
                                                      "Mail|^Find@||1|||||Yes\r\nName|<b>|</b>\r\n");
    const QByteArray lines = "in.htm;ann@x.example,;Ann\nin.htm;(carl@y.example);Carl\n";
    auto r = CliFixture::run({"extract", cnd});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, lines);

    r = CliFixture::run({"extract", cnd, "--delimiter", "Tab"});
    QCOMPARE(r.out, QByteArray(lines).replace(';', '\t'));

    r = CliFixture::run({"--json", "extract", cnd});
    QCOMPARE(r.exitCode, 0);
    const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
    QCOMPARE(doc.value("columns").toArray(), (QJsonArray{"Mail", "Name"}));
    const QJsonArray rows = doc.value("rows").toArray();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[1].toObject().value("file").toString(), QStringLiteral("in.htm"));
    QCOMPARE(rows[1].toObject().value("values").toArray(), (QJsonArray{"(carl@y.example)", "Carl"}));
    QCOMPARE(doc.value("files").toInt(), 1);
}

void TestCliExtract::refusals_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    const QString none = m_dir.filePath(QStringLiteral("none"));
    const QString noFields = writeFileIn(m_dir.path(), QStringLiteral("nofields.cnd"), "x|*.*\r\n||\r\n |^Find@\r\n");
    QTest::newRow("nothing to run") << QStringList{"extract"} << "usage: extract";
    QTest::newRow("unknown finder") << QStringList{"extract", "--find", "phones", m_corpus}
                                    << "emails, urls or domains";
    QTest::newRow("no such folder") << QStringList{"extract", "--find", "emails", none} << "is not a folder";
    QTest::newRow("no conditions file") << QStringList{"extract", none + ".cnd"} << "cannot read";
    QTest::newRow("no named field") << QStringList{"extract", noFields} << "no named field";
    QTest::newRow("mask without find") << QStringList{"extract", noFields, "--mask", "*.txt"} << "go with --find";
    QTest::newRow("bad delimiter") << QStringList{"extract", "--find", "emails", m_corpus, "--delimiter", "ab"}
                                   << "--delimiter";
}

void TestCliExtract::refusals()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    const auto r = CliFixture::run(args);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains(message.toUtf8()), r.err.constData());
    QVERIFY(r.out.isEmpty());
}

void TestCliExtract::interruptKeepsWhatWasFound()
{
    // A small file first, then 4 GB (sparse) that take long to read.
    const QString folder = m_dir.filePath(QStringLiteral("big"));
    writeFileIn(folder, QStringLiteral("a.txt"), "first@found.example\n");
    constexpr qint64 kBig = qint64(4) << 30;
    {
        QFile f(folder + "/b.bin");
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(kBig));
    }
    const QString out = m_dir.filePath(QStringLiteral("partial.txt"));
    QProcess p;
    p.start(QStringLiteral(VARNHOLT_CLI), {"--json", "extract", "--find", "emails", folder, "--output", out});
    QVERIFY(p.waitForStarted());
    QTest::qWait(700);
    QCOMPARE(p.state(), QProcess::Running);
    QElapsedTimer clock;
    clock.start();
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(5000));
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 1);
    QCOMPARE(readFile(out), QByteArray("first@found.example\r\n"));
    const QJsonObject doc = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    QCOMPARE(doc.value("stopped").toBool(), true);
    QVERIFY(doc.value("bytes").toDouble() > 0);
    QVERIFY(doc.value("bytes").toDouble() < double(kBig));
}

QTEST_GUILESS_MAIN(TestCliExtract)
#include "tst_cli_extract.moc"
