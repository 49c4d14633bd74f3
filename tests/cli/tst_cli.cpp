#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// Runs the real varnholt-cli binary as a user's script would.
class TestCli : public QObject
{
    Q_OBJECT

    struct Result {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };

    Result run(const QStringList &args)
    {
        QProcess p;
        p.start(QStringLiteral(VARNHOLT_CLI), args);
        if (!p.waitForFinished(60000))
            return {};
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
                p.readAllStandardError()};
    }

private Q_SLOTS:
    void usageErrors_data();
    void usageErrors();
    void help();
    void settingsOnFirstStart();
    void settingsMasksPasswords();
    void listStats();
    void projectShow();
};

void TestCli::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("no command") << QStringList{} << 2;
    QTest::newRow("unknown command") << QStringList{"frobnicate"} << 2;
    QTest::newRow("--home without value") << QStringList{"settings", "--home"} << 2;
    QTest::newRow("list stats without file") << QStringList{"list", "stats"} << 2;
    QTest::newRow("list stats with a bad delimiter") << QStringList{"list", "stats", "x.txt", "--delimiter", "ab"} << 2;
    QTest::newRow("list stats of a missing file") << QStringList{"list", "stats", "/nonexistent/x.txt", "--delimiter", ";"} << 1;
    QTest::newRow("project show of a missing project") << QStringList{"project", "show", "/nonexistent/p.eml"} << 1;
}

void TestCli::usageErrors()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QTemporaryDir home;
    const Result r = run(QStringList{"--home", home.path()} + args);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.err.startsWith("varnholt-cli: "), r.err.constData());
}

void TestCli::help()
{
    const Result r = run({"--help"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains("list stats FILE --delimiter C"));
    QVERIFY(r.err.isEmpty());
}

void TestCli::settingsOnFirstStart()
{
    QTemporaryDir home;
    const Result r = run({"--home", home.path(), "--json", "settings"});
    QCOMPARE(r.exitCode, 0);
    const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
    const QJsonArray accounts = doc.value("accounts").toArray();
    QCOMPARE(accounts.size(), 1);
    QCOMPARE(accounts[0].toObject().value("Name").toString(), QStringLiteral("Your Name"));
    QCOMPARE(accounts[0].toObject().value("SMTPPort").toInt(), 25);
    QCOMPARE(doc.value("settings").toObject().value("CharSet").toString(), QStringLiteral("English(en),iso-8859-1"));
    QCOMPARE(doc.value("statusCodes").toArray().size(), 0);
    // Printing never writes the settings file.
    QVERIFY(!QFile::exists(home.filePath("setupqnd.ini")));
}

void TestCli::settingsMasksPasswords()
{
    QTemporaryDir home;
    QFile f(home.filePath("setupqnd.ini"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("<Connections>\r\n"
            "Shop^shop^smtp.example.org^587^pop.example.org^110^pop-secret^shop@example.org^shop@example.org"
            "^example.org^1^shop^smtp-secret^1^1\r\n"
            "\r\n<Status Codes>\r\n550  Mailbox unavailable\r\n\r\n<Mail Info>\r\n"
            "0^8.8.8.8^^10^English(en),iso-8859-1^^5^10^^10^550^1^^1^^^^^language.lan^\r\n");
    f.close();
    for (const bool json : {false, true}) {
        QStringList args{"--home", home.path(), "settings"};
        if (json)
            args.prepend("--json");
        const Result r = run(args);
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(!r.out.contains("secret"), r.out.constData());
        QVERIFY(r.out.contains("smtp.example.org"));
        QVERIFY(r.out.contains("Mailbox unavailable"));
    }
}

void TestCli::listStats()
{
    QTemporaryDir dir;
    QFile f(dir.filePath("list.txt"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("a@x;A\r\n\r\nb@y;B;extra\nc@z\r");
    f.close();
    const Result r = run({"--json", "list", "stats", f.fileName(), "--delimiter", ";"});
    QCOMPARE(r.exitCode, 0);
    const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
    QCOMPARE(doc.value("records").toInt(), 3);
    QCOMPARE(doc.value("columns").toInt(), 3);
    QVERIFY(doc.value("loadSeconds").isDouble());

    const Result text = run({"list", "stats", f.fileName(), "--delimiter", ";"});
    QCOMPARE(text.exitCode, 0);
    QVERIFY(text.out.contains("3 records"));
}

void TestCli::projectShow()
{
    QTemporaryDir home;
    const Result r = run({"--home", home.path(), "--json", "project", "show", VARNHOLT_EXAMPLES "/offer/offer.eml"});
    QCOMPARE(r.exitCode, 0);
    const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
    QCOMPARE(doc.value("name").toString(), QStringLiteral("offer"));
    QCOMPARE(doc.value("records").toInt(), 5);
    QCOMPARE(doc.value("subject").toString(), QStringLiteral("Our spring offer for [Column#2]"));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
