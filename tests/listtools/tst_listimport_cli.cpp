// `varnholt-cli list import` and `list export`, run as a script would: into
// a new list file, into a project's list under its lock, the refusal of
// fields the list cannot keep, usage errors, the workbook as Python's
// zipfile reads it, and a workbook imported back.
#include "../cli/clifixture.h"

#include "sending/projectlock.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace varnholt::testing;

class TestListImportCli : public QObject
{
    Q_OBJECT
private slots:
    void intoListFile()
    {
        QTemporaryDir dir;
        // CP437: 0x81 is u with diaeresis.
        writeFile(dir.filePath("fixed.txt"), "NAME  CITY\r\nM\x81ller K\x94ln\r\nBo    Ulm\r\n");
        const QString out = dir.filePath("list.txt");
        const auto r = CliFixture::run({"list", "import", dir.filePath("fixed.txt"), "--format", "fixed", "--breaks",
                                        "6", "--origin", "dos", "--start-row", "2", "--output", out,
                                        "--list-delimiter", "Tab"});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(readFile(out), QByteArray("M\xC3\xBCller\t K\xC3\xB6ln\r\nBo    \tUlm\r\n"));
        QVERIFY(r.out.contains("Imported 2 records (2 columns)"));
    }

    void intoProjectList()
    {
        QTemporaryDir dir;
        const QString project = CliFixture::makeProject(dir.path(), "old@x.org;Old;Town\r\n");
        const QString list = dir.filePath("p.txt");
        writeFile(dir.filePath("new.csv"), "email,name\r\n\"a@x.org\",\"Smith; John\"\r\nb@x.org,\"Say \"\"hi\"\"\"\r\n");
        const QStringList args{"list", "import", dir.filePath("new.csv"), "--format", "delimited", "--delimiter", ",",
                               "--csv", "--start-row", "2", "--project", project};

        // The project's delimiter is ";": refused, naming the line; the list stays.
        auto r = CliFixture::run(args);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("1 record(s)") && r.err.contains("line 2") && r.err.contains("--replace-delimiter"),
                 r.err.constData());
        QCOMPARE(readFile(list), QByteArray("old@x.org;Old;Town\r\n"));

        // Not while another holds the project.
        {
            QString error;
            const auto lock = varnholt::ProjectLock::acquire(dir.path(), "p", &error);
            QVERIFY2(lock, qPrintable(error));
            r = CliFixture::run(args + QStringList{"--replace-delimiter", ","});
            QCOMPARE(r.exitCode, 2);
            QCOMPARE(readFile(list), QByteArray("old@x.org;Old;Town\r\n"));
        }

        r = CliFixture::run(args + QStringList{"--replace-delimiter", ",", "--json"});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(readFile(list), QByteArray("old@x.org;Old;Town\r\na@x.org;Smith, John;\r\nb@x.org;Say \"hi\";\r\n"));
        QVERIFY(r.out.contains("\"records\": 2"));
        QVERIFY(r.out.contains("\"firstRecord\": 2"));
    }

    void badInput_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("no format") << QStringList{"--output", "OUT"} << 2 << QByteArray("usage: list import");
        QTest::newRow("output and project") << QStringList{"--format", "delimited", "--output", "OUT", "--project", "P.eml"}
                                            << 2 << QByteArray("either --output");
        QTest::newRow("fixed without breaks") << QStringList{"--format", "fixed", "--output", "OUT"} << 2
                                              << QByteArray("--breaks");
        QTest::newRow("bad breaks") << QStringList{"--format", "fixed", "--breaks", "0,x", "--output", "OUT"} << 2
                                    << QByteArray("--breaks takes");
        QTest::newRow("replacement is the delimiter")
            << QStringList{"--format", "delimited", "--replace-delimiter", ";", "--output", "OUT"} << 2
            << QByteArray("must differ");
        QTest::newRow("binary file as text") << QStringList{"--format", "delimited", "--output", "OUT", "BINARY"} << 1
                                             << QByteArray("not a text file");
        QTest::newRow("text file as dBASE") << QStringList{"--format", "dbase", "--output", "OUT"} << 1
                                            << QByteArray("not a dBASE table");
        QTest::newRow("text file as workbook") << QStringList{"--format", "spreadsheet", "--output", "OUT"} << 1
                                               << QByteArray("not a workbook");
        QTest::newRow("delimiters for a workbook")
            << QStringList{"--format", "spreadsheet", "--delimiter", ",", "--output", "OUT"} << 2
            << QByteArray("--delimiter is not for --format spreadsheet");
        QTest::newRow("sheet for a text file") << QStringList{"--format", "delimited", "--sheet", "S", "--output", "OUT"}
                                               << 2 << QByteArray("--sheet is for --format spreadsheet");
        QTest::newRow("bad range") << QStringList{"--format", "spreadsheet", "--range", "A:C5", "--output", "OUT"}
                                   << 2 << QByteArray("--range is a cell range");
    }
    void badInput()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, message);
        QTemporaryDir dir;
        writeFile(dir.filePath("in.txt"), "a;b\r\n");
        writeFile(dir.filePath("bin.dat"), QByteArray("GIF89a\0\0\x01\x02", 10));
        QString source = dir.filePath("in.txt");
        args.replaceInStrings("OUT", dir.filePath("out.txt"));
        if (args.removeAll("BINARY") > 0)
            source = dir.filePath("bin.dat");
        const auto r = CliFixture::run(QStringList{"list", "import", source} + args);
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY2(r.err.contains(message), r.err.constData());
        QVERIFY(!QFile::exists(dir.filePath("out.txt")));
    }

    // A list exported as a workbook (libxlsxwriter) comes back as it was:
    // its titles row left out, leading zeros and text kept; into a project
    // a cell with the list's delimiter is refused until a replacement is
    // given; an unknown sheet is named with the ones there are.
    void workbookBack()
    {
        QTemporaryDir dir;
        const QByteArray records = "a@x.org;007;Zo\xC3\xAB M\xC3\xBCller\r\nb@x.org;;2024-03-05\r\nc@x.org;Ann, Bo;x\r\n";
        writeFile(dir.filePath("l.txt"), records);
        const QString xlsx = dir.filePath("l.xlsx");
        auto r = CliFixture::run({"list", "export", dir.filePath("l.txt"), "--xlsx", xlsx});
        QVERIFY2(r.exitCode == 0, r.err.constData());

        const QString out = dir.filePath("back.txt");
        r = CliFixture::run({"list", "import", xlsx, "--format", "spreadsheet", "--titles", "--sheet", "list",
                             "--output", out, "--json"});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(readFile(out), records);
        QVERIFY2(r.out.contains("\"records\": 3") && r.out.contains("\"Column#3\""), r.out.constData());

        r = CliFixture::run({"list", "import", xlsx, "--format", "spreadsheet", "--sheet", "Other", "--output", out});
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains("no sheet \"Other\"; its sheets: List"), r.err.constData());

        const QString project = CliFixture::makeProject(dir.path(), "old@x.org;Old;Town\r\n");
        const QString list = dir.filePath("p.txt");
        writeFile(dir.filePath("semi.txt"), "x@x.org|Smith; John\r\n");
        r = CliFixture::run({"list", "export", dir.filePath("semi.txt"), "--delimiter", "|", "--xlsx", xlsx});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        const QStringList args{"list", "import", xlsx, "--format", "spreadsheet", "--range", "A2:", "--project", project};
        r = CliFixture::run(args);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("row 2 of the sheet") && r.err.contains("--replace-delimiter"), r.err.constData());
        QCOMPARE(readFile(list), QByteArray("old@x.org;Old;Town\r\n"));
        r = CliFixture::run(args + QStringList{"--replace-delimiter", ","});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(readFile(list), QByteArray("old@x.org;Old;Town\r\nx@x.org;Smith, John;\r\n"));
    }

    void exportWorkbook()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("l.txt"), "a@x.org|Anna\r\nb@x.org|Bo|Ulm\r\n");
        const QString xlsx = dir.filePath("l.xlsx");
        const auto r = CliFixture::run({"list", "export", dir.filePath("l.txt"), "--delimiter", "|", "--xlsx", xlsx});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(r.out.contains("Exported 2 records (3 columns)"));
        QProcess python;
        python.start("/usr/bin/python3",
                     {"-c", "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\n"
                            "print(z.read('xl/sharedStrings.xml').decode())",
                      xlsx});
        QVERIFY(python.waitForFinished(30000));
        const QByteArray strings = python.readAllStandardOutput();
        for (const char *text : {"Column#3", "a@x.org", "Bo", "Ulm"})
            QVERIFY2(strings.contains(text), strings.constData());
    }
};

QTEST_GUILESS_MAIN(TestListImportCli)
#include "tst_listimport_cli.moc"
