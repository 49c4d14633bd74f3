#include "clifixture.h"
#include "sending/projectlock.h"
#include "testfiles.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace varnholt;
using namespace varnholt::testing;

// `varnholt-cli list dedupe|filter|replace` as a script uses them: on a list
// file or a project's list, in place or to --output, with a JSON summary;
// and what they refuse.
class TestCliList : public QObject, private CliFixture
{
    Q_OBJECT

    static QJsonObject json(const Result &r) { return QJsonDocument::fromJson(r.out).object(); }

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void dedupeInPlace()
    {
        const QString list = m_dir.filePath("dedupe.txt");
        writeFile(list, "a@x.org;Anna\r\nA@X.ORG;Ann\n\nb@y.org;Bob\r\nb@y.org ;Bobby\r\n");
        const Result r = run({"--json", "list", "dedupe", list, "--column", "1"});
        QCOMPARE(r.exitCode, 0);
        const QJsonObject doc = json(r);
        QCOMPARE(doc.value("recordsIn").toInt(), 4);
        // The loader trims fields, so "b@y.org " is "b@y.org" again.
        QCOMPARE(doc.value("recordsOut").toInt(), 2);
        QVERIFY(doc.value("seconds").toDouble() >= 0);
        QCOMPARE(readFile(list), QByteArray("a@x.org;Anna\r\nb@y.org;Bob\r\n"));
    }

    void dedupeOnTwoColumnsToOutput()
    {
        const QString list = m_dir.filePath("two.txt");
        const QByteArray original = "a1;b1\r\na2;b1\r\na2;b3\r\na4;b4\r\n";
        writeFile(list, original);
        const QString out = m_dir.filePath("two-out.txt");
        const Result r = run({"list", "dedupe", list, "--column", "1,2", "--output", out});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(readFile(out), QByteArray("a1;b1\r\na4;b4\r\n"));
        QCOMPARE(readFile(list), original);
    }

    void filterWithRemovedFile_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QByteArray>("kept");
        QTest::addColumn<QByteArray>("removed");
        QTest::newRow("equal") << "equal" << QByteArray("a@spam.org,A\r\nc@x.org,C\r\n")
                               << QByteArray("B@X.ORG;B;\r\n");
        // Letter case counts: "b@x.org" is not in "B@X.ORG".
        QTest::newRow("contains") << "contains" << QByteArray("B@X.ORG,B\r\nc@x.org,C\r\n")
                                  << QByteArray("a@spam.org;A;\r\n");
    }
    void filterWithRemovedFile()
    {
        QFETCH(QString, mode);
        QFETCH(QByteArray, kept);
        QFETCH(QByteArray, removed);
        const QString list = m_dir.filePath("filter-" + mode + ".txt");
        writeFile(list, "a@spam.org,A\r\nB@X.ORG,B\r\nc@x.org,C\r\n");
        const QString keywords = m_dir.filePath("keywords.txt");
        writeFile(keywords, "b@x.org|first\r\nspam|second\r\n");
        const QString del = m_dir.filePath("removed-" + mode + ".del");
        const Result r = run({"--json", "list", "filter", list, "--delimiter", ",", "--column", "1", "--keywords",
                              keywords, "--keywords-delimiter", "|", "--mode", mode, "--removed", del});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(readFile(list), kept);
        QCOMPARE(readFile(del), removed);
        QCOMPARE(json(r).value("recordsOut").toInt(), kept.count('\n'));
    }

    // The removed records are written first: when their file fails, the
    // list stays as it was.
    void filterKeepsTheListWhenTheRemovedFileFails()
    {
        const QString list = m_dir.filePath("keep.txt");
        const QByteArray original = "a@x.org\r\nb@x.org\r\n";
        writeFile(list, original);
        const QString keywords = m_dir.filePath("keep-keywords.txt");
        writeFile(keywords, "a@x.org\r\n");
        const Result r = run({"list", "filter", list, "--column", "1", "--keywords", keywords, "--removed",
                              m_dir.filePath("no/such/folder/removed.del")});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("the list was not changed"), r.err.constData());
        QCOMPARE(readFile(list), original);
    }

    void replaceInPlace()
    {
        const QString list = m_dir.filePath("replace.txt");
        writeFile(list, "Anna;a@x.COM\r\nBob;b@y.org\r\nCarl;\r\n");
        const QString pairs = m_dir.filePath("pairs.txt");
        writeFile(pairs, ".com;.net\r\n.org;.org.uk\r\n");
        Result r = run({"--json", "list", "replace", list, "--pairs", pairs, "--column", "2"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(json(r).value("changedCells").toInt(), 2);
        QCOMPARE(readFile(list), QByteArray("Anna;a@x.net\r\nBob;b@y.org.uk\r\nCarl;\r\n"));
        // With case sensitivity ".NET" is not ".net".
        writeFile(pairs, ".NET;.de\r\n");
        r = run({"list", "replace", list, "--pairs", pairs, "--column", "2", "--case-sensitive"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(readFile(list), QByteArray("Anna;a@x.net\r\nBob;b@y.org.uk\r\nCarl;\r\n"));
    }

    // The project's own list and delimiter; nothing while a run holds the
    // project.
    void projectList()
    {
        const QString eml = writeProject(m_dir.filePath("proj"),
                                         {.settings = "[Common]\r\nSectionSymbol=|\r\nColumn=0\r\n",
                                          .list = "a@x.org|A\r\na@x.org|B\r\nc@x.org|C\r\n",
                                          .text = {},
                                          .html = {}});
        const QString listFile = QFileInfo(eml).path() + "/p.txt";
        {
            QString error;
            const auto lock = ProjectLock::acquire(QFileInfo(eml).path(), "p", &error);
            QVERIFY2(lock, qPrintable(error));
            const Result r = run({"--home", m_dir.filePath("home"), "list", "dedupe", "--project", eml, "--column", "1"});
            QCOMPARE(r.exitCode, 2);
            QVERIFY2(r.err.contains("another run is using the project"), r.err.constData());
            QCOMPARE(readFile(listFile), QByteArray("a@x.org|A\r\na@x.org|B\r\nc@x.org|C\r\n"));
        }
        const Result r = run({"--home", m_dir.filePath("home"), "--json", "list", "dedupe", "--project", eml, "--column", "1"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(readFile(listFile), QByteArray("a@x.org|A\r\nc@x.org|C\r\n"));
    }

    // A list that was not read whole (a NUL byte) is not written back
    // unless asked; written elsewhere it is.
    void listNotReadWhole()
    {
        const QString list = m_dir.filePath("binary.txt");
        const QByteArray original = QByteArray("a;1\r\na;2\r\n") + '\0' + QByteArray("rest;3\r\n");
        writeFile(list, original);
        Result r = run({"list", "dedupe", list, "--column", "1"});
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains("not read whole"), r.err.constData());
        QCOMPARE(readFile(list), original);
        const QString out = m_dir.filePath("binary-out.txt");
        r = run({"list", "dedupe", list, "--column", "1", "--output", out});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(readFile(out), QByteArray("a;1\r\n"));
        r = run({"list", "dedupe", list, "--column", "1", "--force"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(readFile(list), QByteArray("a;1\r\n"));
    }

    void refusals_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("no column") << QStringList{"list", "dedupe", "LIST"} << QByteArray("usage");
        QTest::newRow("column beyond the list") << QStringList{"list", "dedupe", "LIST", "--column", "3"}
                                                << QByteArray("2 column");
        QTest::newRow("column 0") << QStringList{"list", "dedupe", "LIST", "--column", "0"}
                                  << QByteArray("from 1");
        QTest::newRow("missing list") << QStringList{"list", "dedupe", "NOFILE", "--column", "1"}
                                      << QByteArray("no list file");
        QTest::newRow("missing keywords") << QStringList{"list", "filter", "LIST", "--column", "1", "--keywords",
                                                         "NOFILE"}
                                          << QByteArray("no keyword file");
        QTest::newRow("binary keywords") << QStringList{"list", "filter", "LIST", "--column", "1", "--keywords",
                                                        "BINARY"}
                                         << QByteArray("not read whole");
        QTest::newRow("unknown mode") << QStringList{"list", "filter", "LIST", "--column", "1", "--keywords", "LIST",
                                                     "--mode", "fuzzy"}
                                      << QByteArray("--mode");
        QTest::newRow("binary pairs") << QStringList{"list", "replace", "LIST", "--pairs", "BINARY"}
                                      << QByteArray("NUL");
        QTest::newRow("list and project") << QStringList{"list", "dedupe", "LIST", "--project", "LIST",
                                                         "--column", "1"}
                                          << QByteArray("usage");
        QTest::newRow("unknown subcommand") << QStringList{"list", "shuffle", "LIST"} << QByteArray("usage");
    }
    void refusals()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, message);
        const QString list = m_dir.filePath("refused.txt");
        const QByteArray original = "a;1\r\na;2\r\n";
        writeFile(list, original);
        writeFile(m_dir.filePath("binary.bin"), QByteArray("x\0y\r\n", 5));
        args.replaceInStrings("LIST", list);
        args.replaceInStrings("NOFILE", m_dir.filePath("missing.txt"));
        args.replaceInStrings("BINARY", m_dir.filePath("binary.bin"));
        const Result r = run(args);
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains(message), r.err.constData());
        QCOMPARE(readFile(list), original);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestCliList)
#include "tst_cli_list.moc"
