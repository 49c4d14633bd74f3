#include "clifixture.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace varnholt::testing;

// Runs the real varnholt-cli binary as a user's script would.
class TestCli : public QObject, private CliFixture
{
    Q_OBJECT

private Q_SLOTS:
    void usageErrors_data();
    void usageErrors();
    void help();
    void settingsOnFirstStart();
    void settingsMasksPasswords();
    void listStats();
    void projectShow();
    void brokenProjects_data();
    void brokenProjects();
    void listNotReadWholeWarns();
    void resultsNeedForceForAListNotReadWhole();
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
    QTest::newRow("list stats of a missing file") << QStringList{"list", "stats", "/nonexistent/x.txt", "--delimiter", ";"} << 2;
    QTest::newRow("project show of a missing project") << QStringList{"project", "show", "/nonexistent/p.eml"} << 2;
    QTest::newRow("preview of a missing project") << QStringList{"preview", "/nonexistent/p.eml", "--row", "1"} << 2;
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
    QVERIFY(writeFile(home.filePath("setupqnd.ini"),
                      "<Connections>\r\n"
                      "Shop^shop^smtp.example.org^587^pop.example.org^110^pop-secret^shop@example.org^shop@example.org"
                      "^example.org^1^shop^smtp-secret^1^1^starttls^20^^\r\n"
                      "\r\n<Status Codes>\r\n550  Mailbox unavailable\r\n\r\n<Mail Info>\r\n"
                      "0^8.8.8.8^^10^English(en),iso-8859-1^^5^10^^10^550^1^^1^^^^^language.lan^\r\n"));
    for (const bool json : {false, true}) {
        QStringList args{"--home", home.path(), "settings"};
        if (json)
            args.prepend("--json");
        const Result r = run(args);
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(!r.out.contains("secret"), r.out.constData());
        QVERIFY(r.out.contains("smtp.example.org"));
        QVERIFY(r.out.contains("Mailbox unavailable"));
        if (json) {
            const QJsonObject account = QJsonDocument::fromJson(r.out).object().value("accounts")[0].toObject();
            QCOMPARE(account.value("MaxPerMinute").toInt(-1), 20);
            QCOMPARE(account.value("MaxPerHour").toInt(-1), 0);
        } else {
            QVERIFY2(r.out.contains("  MaxPerMinute: 20\n  MaxPerHour: 0\n"), r.out.constData());
        }
    }
}

void TestCli::listStats()
{
    QTemporaryDir dir;
    const QString list = dir.filePath("list.txt");
    QVERIFY(writeFile(list, "a@x;A\r\n\r\nb@y;B;extra\nc@z\r"));
    const Result r = run({"--json", "list", "stats", list, "--delimiter", ";"});
    QCOMPARE(r.exitCode, 0);
    const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
    QCOMPARE(doc.value("records").toInt(), 3);
    QCOMPARE(doc.value("columns").toInt(), 3);
    QVERIFY(doc.value("loadSeconds").isDouble());

    const Result text = run({"list", "stats", list, "--delimiter", ";"});
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

void TestCli::brokenProjects_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QByteArray>("list"); // null: no list file
    QTest::addColumn<QStringList>("command"); // P stands for the project file, D for a folder
    QTest::addColumn<QString>("message");

    const QByteArray project("[Common]\r\nSubject=Hi\r\n");
    const QByteArray list("a@x;A\r\n");
    const QByteArray binary("\x7f" "ELF\x02\x01\x01\0\0\0[Common]\r\n", 20);
    const QStringList dryRun{"send", "P", "--dry-run", "D"};
    const QStringList preview{"preview", "P", "--row", "1"};
    const QStringList show{"project", "show", "P"};
    QTest::newRow("dry run, list missing") << project << QByteArray() << dryRun << "list \"%1/p.txt\" does not exist";
    QTest::newRow("preview, list missing") << project << QByteArray() << preview << "does not exist";
    QTest::newRow("dry run, binary project file") << binary << list << dryRun << "is not a project file";
    QTest::newRow("preview, no [Common] section")
        << QByteArray("[Other]\r\nSubject=Hi\r\n") << list << preview << "is not a project file";
    QTest::newRow("project show, binary project file") << binary << list << show << "is not a project file";
    QTest::newRow("dry run, delimiter of two characters")
        << QByteArray("[Common]\r\nSectionSymbol=;,\r\n") << list << dryRun
        << "the project's field delimiter \";,\" must be one character";
    QTest::newRow("project show, delimiter of two characters")
        << QByteArray("[Common]\r\nSectionSymbol=Comma\r\n") << list << show << "\"Comma\" must be one character";
}

void TestCli::brokenProjects()
{
    QFETCH(QByteArray, settings);
    QFETCH(QByteArray, list);
    QFETCH(QStringList, command);
    QFETCH(QString, message);
    QTemporaryDir home;
    QTemporaryDir dir;
    writeProject(dir.path(), {.settings = settings, .list = list});
    command.replaceInStrings(QRegularExpression("^P$"), dir.filePath("p.eml"));
    command.replaceInStrings(QRegularExpression("^D$"), dir.filePath("out"));
    const Result r = run(QStringList{"--home", home.path()} + command);
    QCOMPARE(r.exitCode, 2);
    if (message.contains(u"%1"))
        message = message.arg(dir.path());
    QVERIFY2(r.err.contains(message.toUtf8()), r.err.constData());
    QVERIFY(r.out.isEmpty());
    QVERIFY(!QFileInfo::exists(dir.filePath("out")));
}

void TestCli::listNotReadWholeWarns()
{
    QTemporaryDir home;
    QTemporaryDir dir;
    const QByteArray list("a@x;A\r\nb@y;B\0c@z;C\r\n", 20);
    const QString p = writeProject(dir.path(), {.settings = "[Common]\r\nSubject=Hi [Column#2]\r\n", .list = list});
    const QList<QStringList> commands{{"list", "stats", dir.filePath("p.txt"), "--delimiter", ";"},
                                      {"project", "show", p},
                                      {"preview", p, "--row", "2"},
                                      {"send", p, "--dry-run", dir.filePath("out")}};
    for (const QStringList &command : commands) {
        const Result r = run(QStringList{"--home", home.path()} + command);
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.err.contains("warning: the list file holds a NUL byte at offset 12"), r.err.constData());
    }
    QCOMPARE(readFile(dir.filePath("p.txt")), list);
    QVERIFY(QFileInfo::exists(dir.filePath("out/000002.eml")));

    // A real send says it too, before it finds that its account has no server.
    writeFile(home.filePath("setupqnd.ini"), "<Connections>\r\nShop^shop^^25^^110^^shop@example.org^^example.org^^^^1^1\r\n"
                                         "\r\n<Status Codes>\r\n\r\n<Mail Info>\r\n");
    const Result send = run({"--home", home.path(), "send", p});
    QCOMPARE(send.exitCode, 2);
    QVERIFY2(send.err.contains("warning: the list file holds a NUL byte at offset 12"), send.err.constData());
    QVERIFY2(send.err.contains("no SMTP server"), send.err.constData());
}

void TestCli::resultsNeedForceForAListNotReadWhole()
{
    QTemporaryDir home;
    QTemporaryDir dir;
    const QByteArray list("a@x;A\r\nb@y;B\r\nc@z;C\0rest@w;R\r\n", 29);
    writeProject(dir.path(), {.settings = "[Common]\r\n", .list = list});
    // The last run's results: rows 1 and 3 sent, row 2 refused.
    writeFile(dir.filePath("p.results"), "varnholt-results 1\r\nrows\t3\r\n"
                                     "0\t1\ta@x\tSent\tOK\t250\t\r\n"
                                     "1\t2\tb@y\tFailed\tError\t550\t\r\n"
                                     "2\t1\tc@z\tSent\tOK\t250\t\r\n");
    const QStringList command{"--home", home.path(), "results", dir.filePath("p.eml"), "--delete", "sent"};
    const Result refused = run(command);
    QCOMPARE(refused.exitCode, 2);
    QVERIFY2(refused.err.contains("NUL byte at offset 19"), refused.err.constData());
    QVERIFY2(refused.err.contains("--force"), refused.err.constData());
    QCOMPARE(readFile(dir.filePath("p.txt")), list);

    const Result forced = run(command + QStringList{"--force"});
    QVERIFY2(forced.exitCode == 0, forced.err.constData());
    QCOMPARE(readFile(dir.filePath("p.txt")), QByteArray("b@y;B\r\n"));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
