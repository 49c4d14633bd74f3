#include "app/commandline.h"
#include "app/recentprojects.h"
#include "testfiles.h"

#include <QTemporaryDir>
#include <QTest>

using namespace varnholt;
using namespace varnholt::testing;

class TestRecentProjects : public QObject
{
    Q_OBJECT
private slots:
    void normalise_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("caseInsensitive");
        QTest::addColumn<QString>("expected");
        QTest::newRow("case-insensitive file system folds") << "C:\\Mail\\Offer.EML" << true << "C:\\mail\\offer.eml";
        QTest::newRow("lower-case drive letter raised") << "c:\\mail\\offer.eml" << true << "C:\\mail\\offer.eml";
        QTest::newRow("case-sensitive file system keeps the path")
            << "/home/Anna/Mail/Offer.eml" << false << "/home/Anna/Mail/Offer.eml";
    }
    void normalise()
    {
        QFETCH(QString, path);
        QFETCH(bool, caseInsensitive);
        QFETCH(QString, expected);
        QCOMPARE(normaliseProjectPath(path, caseInsensitive ? Qt::CaseInsensitive : Qt::CaseSensitive), expected);
    }

    void addMovesAndDrops()
    {
        RecentProjects recent(Qt::CaseInsensitive);
        QVERIFY(!recent.add(QString()));
        QVERIFY(recent.isEmpty());
        for (int i = 0; i < 10; ++i)
            recent.add(QStringLiteral("C:\\p%1.eml").arg(i));
        QCOMPARE(recent.entries().size(), 10);
        QCOMPARE(recent.entries().first(), "C:\\p9.eml");
        // The same file in another spelling moves to the top, no duplicate.
        recent.add(QStringLiteral("c:\\P3.EML"));
        QCOMPARE(recent.entries().size(), 10);
        QCOMPARE(recent.entries().first(), "C:\\p3.eml");
        QCOMPARE(recent.entries().count("C:\\p3.eml"), 1);
        // An eleventh distinct project drops the bottom entry.
        QCOMPARE(recent.entries().last(), "C:\\p0.eml");
        recent.add(QStringLiteral("C:\\new.eml"));
        QCOMPARE(recent.entries().size(), 10);
        QCOMPARE(recent.entries().first(), "C:\\new.eml");
        QVERIFY(!recent.entries().contains("C:\\p0.eml"));
    }

    void fileKeepsFirstTenInOrder()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("setupprj.ini");
        QByteArray content;
        for (int i = 1; i <= 12; ++i)
            content += "/projects/p" + QByteArray::number(i) + ".eml" + (i % 2 ? "\r\n" : "\n");
        QVERIFY(writeFile(file, content));

        RecentProjects recent(Qt::CaseSensitive);
        recent.load(file);
        QStringList expected;
        for (int i = 1; i <= 10; ++i)
            expected << QStringLiteral("/projects/p%1.eml").arg(i);
        QCOMPARE(recent.entries(), expected);

        QVERIFY(recent.save(file));
        QCOMPARE(readFile(file), expected.join("\r\n").toUtf8() + "\r\n");

        RecentProjects missing;
        missing.load(dir.filePath("absent.ini"));
        QVERIFY(missing.isEmpty());
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("home");
        const QString project = QStringLiteral(VARNHOLT_TEST_DATA "/../CMakeLists.txt"); // an existing file
        QTest::newRow("-s with three arguments") << QStringList{"varnholt", "-s", project, "x"} << 1 << "";
        QTest::newRow("-v after --home") << QStringList{"varnholt", "--home", "/h", "-v", project, "x"} << 2 << "/h";
        QTest::newRow("only two arguments ignored") << QStringList{"varnholt", "-s", project} << 0 << "";
        QTest::newRow("capital -S ignored") << QStringList{"varnholt", "-S", project, "x"} << 0 << "";
        QTest::newRow("missing project ignored") << QStringList{"varnholt", "-s", "/no/such.eml", "x"} << 0 << "";
        QTest::newRow("nothing") << QStringList{"varnholt"} << 0 << "";
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, mode);
        QFETCH(QString, home);
        const CommandLine cl = parseCommandLine(arguments);
        QCOMPARE(int(cl.mode), mode);
        QCOMPARE(cl.home, home);
        QCOMPARE(cl.recognised(), mode != 0);
        if (mode)
            QVERIFY(cl.projectFile.endsWith("CMakeLists.txt"));
    }
};

QTEST_GUILESS_MAIN(TestRecentProjects)
#include "tst_recentprojects.moc"
