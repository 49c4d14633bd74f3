#include "extract/conditions.h"
#include "extract/extractrun.h"
#include "extract/textscan.h"
#include "settings/syscharset.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "testfiles.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace varnholt::extract;
using varnholt::testing::writeFileIn;

namespace {

struct RunOutcome {
    QStringList rows; // "file|value|value"
    ExtractCounts counts;
    bool stopped = false;
};

// Runs to the end; rows as "file|value|...".
RunOutcome runToEnd(ExtractRun &run)
{
    RunOutcome out;
    QObject::connect(&run, &ExtractRun::rowFound, &run,
                     [&out](const ExtractRow &row) { out.rows << (QStringList{row.file} + row.values).join(u'|'); });
    QSignalSpy done(&run, &ExtractRun::finished);
    if (!done.wait(60000))
        qWarning("the run did not finish");
    out.counts = run.counts();
    out.stopped = done.isEmpty() ? true : done.first().first().toBool();
    return out;
}

RunOutcome runConditions(const ExtractConditions &c, qsizetype pieceBytes = ExtractRun::kDefaultPieceBytes,
                         qsizetype maxRecord = ExtractRun::kMaxRecordBytes)
{
    ExtractRun run;
    run.setPieceBytes(pieceBytes);
    run.setMaxRecordBytes(maxRecord);
    if (run.start(c) != ExtractRun::Start::Started)
        return {};
    return runToEnd(run);
}

RunOutcome runScan(const QString &folder, Finder finder, bool unique, const QString &mask = QStringLiteral("*.*"),
                   qsizetype pieceBytes = ExtractRun::kDefaultPieceBytes)
{
    ExtractRun run;
    run.setPieceBytes(pieceBytes);
    run.startScan(folder, mask, finder, unique);
    return runToEnd(run);
}

rItem field(const QString &name, const QString &begin = {}, const QString &end = {}, const QString &ident = {})
{
    rItem i;
    i.name = name;
    i.begin = begin;
    i.end = end;
    i.identNumber = ident;
    return i;
}

} // namespace

class TestExtract : public QObject
{
    Q_OBJECT

private slots:
    void fieldLocation_data();
    void fieldLocation();
    void records_data();
    void records();
    void tableModes_data();
    void tableModes();
    void corpus();
    void piecesAndLimits();
    void uniqueScanManyValues();
    void scanInCharsetWithOtherAscii();
    void specialEntriesSkipped();
    void maskAndSkippedExtensions();
    void conditionsFile_data();
    void conditionsFile();
    void conditionsFileWritten();
    void commaText();
    void largeFolderAndFileStayResponsive();
};

void TestExtract::fieldLocation_data()
{
    QTest::addColumn<rItem>("item");
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QString>("expected"); // null: not found

    auto add = [](const char *name, rItem item, const QByteArray &record, const QString &expected) {
        QTest::newRow(name) << item << record << expected;
    };
    rItem i;
    add("name only: whole record without CR, LF, Tab", field("F"), "a\tb\r\nc d", "abc d");
    add("begin and end", field("F", "name=", ";"), "a;name=Bob;x=1", "Bob");
    add("markers compared lower-cased, value as read", field("F", "NAME=", ";"), "a;Name=Bob;x=1", "Bob");
    add("no end: a blank ends the value", field("F", "x="), "x=1 x=2", "1");
    add("second occurrence", field("F", "x=", {}, "2"), "x=1 x=2 x=3", "2");
    add("too few occurrences", field("F", "x=", {}, "4"), "x=1 x=2 x=3", QString());
    add("end not found: to the end", field("F", "x=", ";"), "x=1 2 3", "1 2 3");
    add("empty begin ignores the end", field("F", {}, ";"), "a;b", "a;b");
    i = field("F");
    i.lineNumber = QStringLiteral("2");
    add("line number 2 with CR LF", i, "first\r\nsecond\r\nthird", "secondthird");
    i.lineNumber = QStringLiteral("4");
    add("line number past the last break", i, "first\r\nsecond", QString());
    i = field("F");
    i.lines = QStringLiteral("1");
    add("one line ending in <br>", i, "one<br>two<br>three", "one<br>");
    add("one line ending in <br> CR LF", i, "one<BR>\r\ntwo", "one<BR>");
    i.lineNumber = QStringLiteral("2");
    add("second line only", i, "one\r\ntwo\r\nthree", "two");
    i = field("F", "name=");
    i.symbols = QStringLiteral("3");
    add("number of symbols", i, "name=abcdef", "abc");
    add("number of symbols counts characters", i, "name=\xc3\xa4\xc3\xb6\xc3\xbc\xc3\x9f", QString::fromUtf8("äöü"));
    i = field("F", "title:");
    i.words = QStringLiteral("2");
    add("two words and the separator after them", i, "title: big red car", " big red ");
    add("range ends inside the last word", i, "title: big red", " big red");
    add("unparsable numbers take defaults", field("F", "x=", {}, "two"), "x=1 x=2", "1");
    add("non-ASCII markers without letter case", field("F", QString::fromUtf8("ÄRZTE="), ";"),
        "x;\xc3\xa4rzte=Bob;", "Bob");

    add("e-mail keeps the full stop", field("F", "^Find@"), "write to john@example.com.", "john@example.com.");
    add("e-mail in brackets", field("F", "^Find@"), "call (mary@example.org) now", "(mary@example.org)");
    add("e-mail stops at a colon going back", field("F", "^Find@"), "mailto:ann@x.org", "ann@x.org");
    add("lone @ ends the search", field("F", "^Find@"), "a @ b x@y.com", QString());
    add("second e-mail", field("F", "^Find@", {}, "2"), "a@b.c d@e.f", "d@e.f");
    add("identifier 0 counts as 1", field("F", "^Find@", {}, "0"), "a@b.c d@e.f", "a@b.c");
    add("finder ignores end and numbers", field("F", "^Find@", "x"), "ab@cxd.org", "ab@cxd.org");
    add("href relative file", field("F", "^FindUrl"), "<a href=\"page.html\">x</a>", "page.html");
    add("URL ends at a quote", field("F", "^FindUrl"), "<img src=\"http://a.b/c.png\">", "http://a.b/c.png");
    add("www with a path", field("F", "^FindUrl"), "see www.example.com/path/x.html now",
        "www.example.com/path/x.html");
    add("domain of an http URL", field("F", "^FindDomain"), "go http://host.example.net/a/b", "host.example.net");
    add("domain by www keeps the path", field("F", "^FindDomain"), "www.x.org/p", "www.x.org/p");
    add("alternatives: the earliest start", field("F", "^FindUrl^+^Find@"), "mail a@b.c or http://x.y", "a@b.c");
    add("unknown finder finds nothing", field("F", "^FindPhone"), "a@b.c", QString());
}

void TestExtract::fieldLocation()
{
    QFETCH(rItem, item);
    QFETCH(QByteArray, record);
    QFETCH(QString, expected);
    const FieldRule rule = fieldRuleOf(item);
    const QByteArray low = lowered(record);
    const auto span = locateField(rule, low);
    if (expected.isNull()) {
        QVERIFY2(!span, span ? valueBytes(record, *span).constData() : "");
        return;
    }
    QVERIFY(span);
    QCOMPARE(QString::fromUtf8(valueBytes(record, *span)), expected);
}

void TestExtract::records_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<ExtractConditions>("conditions");
    QTest::addColumn<QStringList>("expected");

    ExtractConditions c;
    c.recordBegin = QStringLiteral("mailto:");
    c.items = {field(QStringLiteral("Mail"), QStringLiteral("^Find@"))};
    QTest::newRow("a record per mailto:")
        << QByteArray("<a href=\"mailto:a@x.org\">A</a> b@y.org <a href=\"MAILTO:c@z.org\">C</a>") << c
        << QStringList{"f.txt|a@x.org", "f.txt|c@z.org"};

    c = {};
    c.recordBegin = QStringLiteral("<p>");
    c.recordEnd = QStringLiteral("</p>");
    c.items = {field(QStringLiteral("Name"), QStringLiteral("name:"), QStringLiteral(";")),
               field(QStringLiteral("City"), QStringLiteral("city:"), QStringLiteral(";"))};
    QTest::newRow("begin and end markers")
        << QByteArray("<p>name:Ann;city:Oslo;</p>junk name:X;<p>city:Rome;</p><p>nothing</p>") << c
        << QStringList{"f.txt|Ann|Oslo", "f.txt||Rome"};

    c = {};
    c.recordEnd = QStringLiteral("--");
    c.items = {field(QStringLiteral("All"))};
    QTest::newRow("empty begin, an end: records between ends")
        << QByteArray("a--b--") << c << QStringList{"f.txt|a", "f.txt|--b", "f.txt|--"};

    c = {};
    c.recordBegin = QStringLiteral("#");
    c.items = {field(QStringLiteral("All"))};
    QTest::newRow("one-character begin, no end") << QByteArray("x#a#b##c") << c
                                                 << QStringList{"f.txt|#a", "f.txt|#b", "f.txt|#", "f.txt|#c"};

    c = {};
    c.recordBegin = QString::fromUtf8("ärzte:");
    c.items = {field(QStringLiteral("All"))};
    QTest::newRow("non-ASCII begin in any letter case")
        << QByteArray("x \xc3\x84RZTE:a \xc3\xa4rzte:b") << c
        << QStringList{QString::fromUtf8("f.txt|ÄRZTE:a "), QString::fromUtf8("f.txt|ärzte:b")};

    c = {};
    c.lengthLimitOn = true;
    c.lengthLimit = QStringLiteral("4");
    c.items = {field(QStringLiteral("All"))};
    QTest::newRow("no markers, length limit: pieces of the limit")
        << QByteArray("abcdefghij") << c << QStringList{"f.txt|abcd", "f.txt|efgh", "f.txt|ij"};

    c.lengthLimit = QStringLiteral("0");
    QTest::newRow("length limit 0 is off") << QByteArray("abcdefghij") << c << QStringList{"f.txt|abcdefghij"};

    c = {};
    c.recordBegin = QStringLiteral("<r>");
    c.lengthLimitOn = true;
    c.lengthLimit = QStringLiteral("6");
    c.items = {field(QStringLiteral("All"))};
    QTest::newRow("length limit cuts a record") << QByteArray("<r>abcdef<r>gh") << c
                                                << QStringList{"f.txt|<r>abc", "f.txt|<r>gh"};
    c.lengthLimit = QStringLiteral("six");
    QTest::newRow("unparsable length limit is off") << QByteArray("<r>abcdef<r>gh") << c
                                                    << QStringList{"f.txt|<r>abcdef", "f.txt|<r>gh"};

    c = {};
    c.recordBegin = QStringLiteral("<r>");
    rItem unique = field(QStringLiteral("Mail"), QStringLiteral("^Find@"));
    unique.unique = QStringLiteral("Yes");
    rItem second = field(QStringLiteral("Code"), QStringLiteral("code="), QStringLiteral(";"));
    second.unique = QStringLiteral("Yes");
    c.items = {unique, second};
    QTest::newRow("unique fields, letter case ignored, checked in order")
        << QByteArray("<r>a@x.org code=1;<r>A@X.ORG code=2;<r>b@x.org code=1;<r>c@x.org code=2;") << c
        << QStringList{"f.txt|a@x.org|1", "f.txt|c@x.org|2"};
}

void TestExtract::records()
{
    QFETCH(QByteArray, text);
    QFETCH(ExtractConditions, conditions);
    QFETCH(QStringList, expected);
    QTemporaryDir dir;
    writeFileIn(dir.path(), QStringLiteral("f.txt"), text);
    conditions.folder = dir.path();
    // The same rows whatever the pieces a file is read in.
    for (const qsizetype piece : {qsizetype(1), qsizetype(5), ExtractRun::kDefaultPieceBytes}) {
        const RunOutcome out = runConditions(conditions, piece);
        QVERIFY(!out.stopped);
        if (out.rows != expected)
            qWarning() << "read in pieces of" << piece << "bytes:" << out.rows;
        QCOMPARE(out.rows, expected);
    }
}

void TestExtract::tableModes_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<ExtractConditions>("conditions");
    QTest::addColumn<QStringList>("expected");

    ExtractConditions html;
    html.tableMode = true;
    const QByteArray nested = "<TABLE><tr><td>a</td><td><table><tr><td>x</td><td>y</td></tr></table></td></tr>"
                              "<tr><td>&nbsp;</td><td></td></tr>"
                              "<tr>\r\n<td class=\"c\"><b>b</b>&nbsp;1\t</td></tr></table>"
                              "<table><tr><td>second</td></tr></table>";
    QTest::newRow("inner table is text of the outer cell; empty row left out")
        << nested << html << QStringList{"f.htm|a|xy", "f.htm|b1"};
    html.tableNumber = QStringLiteral("2");
    QTest::newRow("tables counted in document order, nested ones included")
        << nested << html << QStringList{"f.htm|x|y"};
    html.tableNumber = QStringLiteral("3");
    QTest::newRow("third table") << nested << html << QStringList{"f.htm|second"};
    html.tableNumber = QStringLiteral("4");
    QTest::newRow("fewer tables than the number") << nested << html << QStringList{};
    html.tableNumber = QStringLiteral("0");
    QTest::newRow("table number 0 counts as 1") << QByteArray("<table><tr><td>a</td></tr></table>") << html
                                                << QStringList{"f.htm|a"};
    html.tableNumber = QStringLiteral("1");
    QTest::newRow("no closing texts: the table runs to the end")
        << QByteArray("<table><tr><td>a</td></tr><tr><td>b") << html << QStringList{"f.htm|a", "f.htm|b"};
    QTest::newRow("closing texts run out: no table")
        << QByteArray("<table><table></table><tr><td>a</td></tr>") << html << QStringList{};
    QTest::newRow("markup: a > first drops what is before it; an open < cuts")
        << QByteArray("<table><tr><td>x>y</td><td>p<q</td></tr></table>") << html << QStringList{"f.htm|y|p"};

    ExtractConditions delimited;
    delimited.tableMode = true;
    delimited.htmlTable = false;
    delimited.delimitedData = true;
    QTest::newRow("plain split: trimmed, no empty last field, empty line left out")
        << QByteArray("a ; b;\r\n\r\n;c\n d\re;;f") << delimited
        << QStringList{"f.htm|a|b", "f.htm||c", "f.htm|d", "f.htm|e||f"};
    delimited.delimiterRuns = true;
    QTest::newRow("delimiter runs as one") << QByteArray("a;;b\n;x;\n a ") << delimited
                                           << QStringList{"f.htm|a|b", "f.htm||x|", "f.htm| a "};
    delimited.delimiterRuns = false;
    delimited.keepQuoted = true;
    QTest::newRow("quoted text kept whole")
        << QByteArray(" \"a;b\" junk; c ;\"d\n\"open;x") << delimited
        << QStringList{"f.htm|a;b|c|d", "f.htm|open;x"};
    delimited.keepQuoted = false;
    delimited.dataDelimiter = QStringLiteral(",");
    QTest::newRow("other delimiter") << QByteArray("a,b;c") << delimited << QStringList{"f.htm|a|b;c"};
}

void TestExtract::tableModes()
{
    QFETCH(QByteArray, text);
    QFETCH(ExtractConditions, conditions);
    QFETCH(QStringList, expected);
    QTemporaryDir dir;
    writeFileIn(dir.path(), QStringLiteral("f.htm"), text);
    conditions.folder = dir.path();
    for (const qsizetype piece : {qsizetype(1), qsizetype(4), ExtractRun::kDefaultPieceBytes}) {
        const RunOutcome out = runConditions(conditions, piece);
        if (out.rows != expected)
            qWarning() << "read in pieces of" << piece << "bytes:" << out.rows;
        QCOMPARE(out.rows, expected);
    }
}

void TestExtract::corpus()
{
    QTemporaryDir dir;
    const QString root = dir.path();
    writeFileIn(root, QStringLiteral("a.htm"),
                "<html><body><p>Write to <a href=\"mailto:Sales@Shop.example\">sales</a> or see "
                "<a href=\"http://www.shop.example/offers?x=1\">offers</a>.</p>\r\n"
                "<img src=\"logo.png\"> <a href=\"contact.html\">contact</a></body></html>\r\n");
    writeFileIn(root, QStringLiteral("b.txt"),
                "Ask john.doe@mail.example. Or (mary@mail.example) - a lone @ here.\n"
                "Web: www.docs.example/guide/start.html and http://files.example/a/b.zip\n");
    writeFileIn(root + "/sub/deeper", QStringLiteral("inbox.mbox"),
                "From sales@shop.example Mon Jan  1 00:00:00 2024\n"
                "From: Sales <sales@shop.example>\nTo: peter@home.example\n"
                "Subject: offer\n\nSee http://www.shop.example/offers?x=1 today.\n\n"
                "From peter@home.example Tue Jan  2 00:00:00 2024\n"
                "From: peter@home.example\nTo: sales@shop.example\n\nThanks!\n");

    const QStringList emails = {"a.htm|Sales@Shop.example",
                                "b.txt|john.doe@mail.example.",
                                "b.txt|(mary@mail.example)",
                                "inbox.mbox|sales@shop.example",
                                "inbox.mbox|sales@shop.example",
                                "inbox.mbox|peter@home.example",
                                "inbox.mbox|peter@home.example",
                                "inbox.mbox|peter@home.example",
                                "inbox.mbox|sales@shop.example"};
    const QStringList urls = {"a.htm|mailto:Sales@Shop.example",
                              "a.htm|http://www.shop.example/offers?x",
                              "a.htm|contact.html",
                              "b.txt|www.docs.example/guide/start.html",
                              "b.txt|http://files.example/a/b.zip",
                              "inbox.mbox|http://www.shop.example/offers?x"};
    const QStringList domains = {"a.htm|mailto:Sales@Shop.example",
                                 "a.htm|www.shop.example",
                                 "a.htm|contact.html",
                                 "b.txt|www.docs.example/guide/start.html",
                                 "b.txt|files.example",
                                 "inbox.mbox|www.shop.example"};
    for (const qsizetype piece : {qsizetype(3), ExtractRun::kDefaultPieceBytes}) {
        QCOMPARE(runScan(root, Finder::Email, false, "*.*", piece).rows, emails);
        QCOMPARE(runScan(root, Finder::Url, false, "*.*", piece).rows, urls);
        QCOMPARE(runScan(root, Finder::Domain, false, "*.*", piece).rows, domains);
    }
    const RunOutcome unique = runScan(root, Finder::Email, true);
    QCOMPARE(unique.rows, (QStringList{"a.htm|Sales@Shop.example", "b.txt|john.doe@mail.example.",
                                       "b.txt|(mary@mail.example)", "inbox.mbox|peter@home.example"}));
    QCOMPARE(unique.counts.files, 3);
    QCOMPARE(unique.counts.folders, 3);
    QCOMPARE(runScan(root, Finder::Email, false, "*.mbox").rows.size(), 6);
}

void TestExtract::piecesAndLimits()
{
    // Addresses, URLs and an over-long address every so often in 300 kB:
    // read in pieces of 1000 bytes, every boundary falls somewhere, yet the
    // values are those of reading it whole.
    QTemporaryDir dir;
    QByteArray text;
    int planted = 0;
    while (text.size() < 300000) {
        text += QByteArray(997 - planted % 13, 'x') + " user" + QByteArray::number(planted) + "@host"
                + QByteArray::number(planted % 7) + ".example; see http://www.site" + QByteArray::number(planted)
                + ".example/p\n";
        if (planted % 50 == 0)
            text += QByteArray(40000, 'a') + "@long.example\n"; // reaches back 16 kB at most
        ++planted;
    }
    writeFileIn(dir.path(), QStringLiteral("big.txt"), text);
    for (const Finder finder : {Finder::Email, Finder::Domain}) {
        const RunOutcome whole = runScan(dir.path(), finder, false);
        const RunOutcome pieces = runScan(dir.path(), finder, false, "*.*", 1000);
        QCOMPARE(pieces.rows, whole.rows);
        const int longOnes = (planted + 49) / 50;
        QCOMPARE(whole.rows.size(), finder == Finder::Email ? planted + longOnes : planted);
        if (finder == Finder::Email) {
            QCOMPARE(whole.rows[0], QStringLiteral("big.txt|user0@host0.example"));
            QCOMPARE(whole.rows[1].size(), qsizetype(8 + ExtractRun::kScanReach + 13));
        } else {
            QCOMPARE(whole.rows.last(), QStringLiteral("big.txt|www.site%1.example").arg(planted - 1));
        }
    }

    // Many records in one file cost their number, not their number times
    // the file's size (records are positions, never cut off the text).
    QByteArray many;
    for (int i = 0; i < 200000; ++i)
        many += "<r>u" + QByteArray::number(i) + "@x.example ";
    QTemporaryDir manyDir;
    writeFileIn(manyDir.path(), QStringLiteral("many.txt"), many);
    ExtractConditions records;
    records.folder = manyDir.path();
    records.recordBegin = QStringLiteral("<r>");
    records.items = {field(QStringLiteral("Mail"), QStringLiteral("^Find@"))};
    QElapsedTimer clock;
    clock.start();
    const RunOutcome manyRows = runConditions(records);
    QCOMPARE(manyRows.rows.size(), 200000);
    QCOMPARE(manyRows.rows.last(), QStringLiteral("many.txt|u199999@x.example"));
    QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));

    // A record longer than the engine keeps is cut there, like the length
    // limit cuts it.
    ExtractConditions c;
    c.folder = dir.path();
    c.recordBegin = QStringLiteral("user1@");
    c.items = {field(QStringLiteral("All"), {}, {}, {})};
    c.items[0].symbols = QStringLiteral("0");
    const RunOutcome cut = runConditions(c, 64, 20);
    QCOMPARE(cut.rows.size(), 1);
    QCOMPARE(cut.rows[0], QStringLiteral("big.txt|user1@host1.example;"));
}

void TestExtract::uniqueScanManyValues()
{
    // Thousands of addresses, each met again in other letter cases: right
    // after itself (the same batch of the unique check), later in the file
    // and in a second file. Only the first spelling of each comes out, in
    // the order found, however the files are cut into pieces; the set of
    // seen values grows many times on the way.
    QTemporaryDir dir;
    constexpr int kCount = 5000;
    QByteArray first;
    QByteArray second;
    QStringList expected;
    for (int i = 0; i < kCount; ++i) {
        const QByteArray a = "Mail" + QByteArray::number(i) + "@Host" + QByteArray::number(i % 13) + ".example";
        first += "<a href=\"mailto:" + a + "\">" + a.toLower() + "</a>\n";
        expected << QStringLiteral("a.htm|") + QString::fromLatin1(a);
        second += a.toUpper() + " (x" + QByteArray::number(i) + "@y.example)\n";
    }
    for (int i = 0; i < kCount; ++i)
        first += "To: mail" + QByteArray::number(i) + "@HOST" + QByteArray::number(i % 13) + ".EXAMPLE\n";
    for (int i = 0; i < kCount; ++i)
        expected << QStringLiteral("b.txt|(x%1@y.example)").arg(i);
    writeFileIn(dir.path(), QStringLiteral("a.htm"), first);
    writeFileIn(dir.path(), QStringLiteral("b.txt"), second);
    for (const qsizetype piece : {qsizetype(7), ExtractRun::kDefaultPieceBytes}) {
        const RunOutcome out = runScan(dir.path(), Finder::Email, true, "*.*", piece);
        QVERIFY(!out.stopped);
        QCOMPARE(out.rows.size(), expected.size());
        QCOMPARE(out.rows, expected);
        QCOMPARE(out.counts.values, expected.size());
    }
}

void TestExtract::scanInCharsetWithOtherAscii()
{
    // Shift_JIS reads the bytes of "\\" and "~" as the yen sign and the
    // overline: a value is the text as read, and the unique check folds the
    // letter case of that text.
    varnholt::SystemCharset::overrideForTesting("SHIFT_JIS");
    const auto restore = qScopeGuard([] { varnholt::SystemCharset::overrideForTesting({}); });
    QTemporaryDir dir;
    writeFileIn(dir.path(), QStringLiteral("f.txt"),
                "Write to ann\\x@shop.example and ANN\\X@SHOP.EXAMPLE or ann~x@shop.example\n");
    const QString yen = QStringLiteral("f.txt|ann") + QChar(0xA5) + QStringLiteral("x@shop.example");
    const QString overline = QStringLiteral("f.txt|ann") + QChar(0x203E) + QStringLiteral("x@shop.example");
    QCOMPARE(runScan(dir.path(), Finder::Email, false).rows.size(), 3);
    QCOMPARE(runScan(dir.path(), Finder::Email, true).rows, (QStringList{yen, overline}));
}

void TestExtract::specialEntriesSkipped()
{
    QTemporaryDir dir;
    const QString root = dir.path();
    writeFileIn(root, QStringLiteral("ok.txt"), "x@y.org\n");
    QVERIFY(::mkfifo(QFile::encodeName(root + "/pipe.txt").constData(), 0600) == 0);
    QVERIFY(QFile::link(root + "/loop2.txt", root + "/loop1.txt"));
    QVERIFY(QFile::link(root + "/loop1.txt", root + "/loop2.txt"));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), root + "/device.txt"));
    QVERIFY(QFile::link(root, root + "/up")); // a folder that leads back: walked once
    const QString locked = writeFileIn(root, QStringLiteral("locked.txt"), "z@y.org\n");
    QVERIFY(QFile::setPermissions(locked, {}));
    // Root reads it all the same; then it is an ordinary file.
    const bool lockedReadable = ::access(QFile::encodeName(locked).constData(), R_OK) == 0;

    QElapsedTimer clock;
    clock.start();
    const RunOutcome out = runScan(root, Finder::Email, false);
    QVERIFY(clock.elapsed() < 10000);
    QVERIFY(!out.stopped);
    QStringList expected = {"ok.txt|x@y.org"};
    if (lockedReadable)
        expected.prepend("locked.txt|z@y.org");
    QCOMPARE(out.rows, expected);
    QCOMPARE(out.counts.skipped, lockedReadable ? 4 : 5); // FIFO, two loop links, device (, locked)
    QCOMPARE(out.counts.folders, 1);
}

void TestExtract::maskAndSkippedExtensions()
{
    struct Case {
        const char *mask;
        const char *name;
        bool matches;
    };
    for (const Case &c : {Case{"*.*", "README", true}, Case{"*.txt", "a.TXT", true}, Case{"*.txt", "a.txt.bak", false},
                          Case{"*.htm;*.txt", "b.txt", true}, Case{"a?.log", "ab.log", true},
                          Case{"a?.log", "abc.log", false}})
        QVERIFY2(ExtractRun::maskMatches(c.mask, c.name) == c.matches, c.name);

    // Field mode leaves out every extension found in its skip text (".c"
    // too); the table modes only ".cnd".
    QTemporaryDir dir;
    writeFileIn(dir.path(), QStringLiteral("readme.c"), "a;b\n");
    writeFileIn(dir.path(), QStringLiteral("list.cnd"), "c;d\n");
    writeFileIn(dir.path(), QStringLiteral("noext"), "e;f\n");
    ExtractConditions c;
    c.folder = dir.path();
    c.items = {field(QStringLiteral("All"))};
    QCOMPARE(runConditions(c).rows, QStringList{"noext|e;f"});
    c.tableMode = true;
    c.htmlTable = false;
    c.delimitedData = true;
    QCOMPARE(runConditions(c).rows, (QStringList{"noext|e|f", "readme.c|a|b"}));
    c.folder = dir.path() + "/missing";
    const RunOutcome none = runConditions(c);
    QVERIFY(none.rows.isEmpty() && !none.stopped);

    ExtractConditions noFields;
    noFields.items = {field(QStringLiteral("  "), QStringLiteral("x"))};
    ExtractRun run;
    QCOMPARE(run.start(noFields), ExtractRun::Start::NoFields);
    QVERIFY(!run.isRunning());
}

void TestExtract::conditionsFile_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<ExtractConditions>("expected");

    ExtractConditions full;
    full.folder = QStringLiteral("/data/in");
    full.mask = QStringLiteral("*.htm");
    full.recordBegin = QStringLiteral("<p>");
    full.recordEnd = QStringLiteral("</p>");
    full.lengthLimitOn = true;
    full.lengthLimit = QStringLiteral("500");
    full.tableMode = false;
    full.htmlTable = true;
    full.tableNumber = QStringLiteral("2");
    full.delimitedData = false;
    full.dataDelimiter = QStringLiteral(",");
    full.keepQuoted = true;
    full.delimiterRuns = false;
    full.items = {rItem{"Mail", "^Find@", "", "1", "0", "0", "0", "0", "Yes"},
                  rItem{"Name", "name=", ";", "2", "10", "", "", "", ""}};
    QTest::newRow("every item, CR LF")
        << QByteArray("/data/in|*.htm\r\n<p>|</p>|1|500||1|2||,|1||\r\n"
                      "Mail|^Find@||1|0|0|0|0|Yes\r\nName|name=|;|2|10||||\r\n")
        << full;
    QTest::newRow("LF and CR line ends, blanks around fields")
        << QByteArray("/data/in|*.htm\n <p> | </p>|1|500||1|2||,|1||\r"
                      "Mail |^Find@||1|0|0|0|0|Yes\nName|name=|;|2|10\n")
        << full;

    ExtractConditions shortFile;
    shortFile.folder = QStringLiteral("/data/in");
    shortFile.mask = QStringLiteral("*.*");
    shortFile.recordBegin = QStringLiteral("<p>");
    shortFile.htmlTable = false;
    shortFile.tableNumber.clear();
    shortFile.lengthLimit.clear();
    shortFile.dataDelimiter.clear();
    QTest::newRow("folder alone, missing fields off, one empty definition")
        << QByteArray("/data/in\r\n<p>\r\n") << shortFile;
}

void TestExtract::conditionsFile()
{
    QFETCH(QByteArray, bytes);
    QFETCH(ExtractConditions, expected);
    QCOMPARE(parseConditions(bytes), expected);
}

void TestExtract::conditionsFileWritten()
{
    ExtractConditions c;
    c.folder = QStringLiteral("/data/in");
    c.mask = QStringLiteral("*.txt");
    c.tableMode = true;
    c.items = {rItem{"", "ignored", "", "", "", "", "", "", ""}, rItem{"Mail", "^Find@", "", "1", "", "", "", "", ""}};
    const QByteArray expected = "/data/in|*.txt\r\n|||1000000|1|1|1||;|||\r\nMail|^Find@||1|||||\r\n";
    QCOMPARE(conditionsFileBytes(c), expected);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("list.cnd"));
    QVERIFY(writeConditions(path, c));
    bool ok = false;
    const ExtractConditions back = readConditions(path, &ok);
    QVERIFY(ok);
    // "/data/in" cannot be opened here: the conditions file's folder takes its place.
    QCOMPARE(back.folder, dir.path());
    QCOMPARE(back.items, std::vector<rItem>{c.items[1]});
    QCOMPARE(back.mask, c.mask);

    const ExtractConditions missing = readConditions(dir.filePath(QStringLiteral("none.cnd")), &ok);
    QVERIFY(!ok);
    QCOMPARE(missing.items.size(), size_t(1));
    QCOMPARE(missing.mask, QStringLiteral("*.*"));
}

void TestExtract::commaText()
{
    QCOMPARE(CommaText({"a", "b c", "d,e", "say \"hi\"", "", "x\ty"}),
             QStringLiteral("a,\"b c\",\"d,e\",\"say \"\"hi\"\"\",,\"x\ty\""));
    QCOMPARE(CommaText({}), QString());
}

void TestExtract::largeFolderAndFileStayResponsive()
{
    QTemporaryDir dir;
    const QString many = dir.path() + "/many";
    QVERIFY(QDir().mkpath(many));
    for (int i = 0; i < 10000; ++i)
        writeFileIn(many, QStringLiteral("f%1.txt").arg(i, 5, 10, QLatin1Char('0')),
                    "user" + QByteArray::number(i) + "@example.org\n");
    // 4 GB, sparse: the run reads it piece by piece whatever it holds, and
    // is still reading it when told to stop, however fast the machine.
    const QString big = dir.path() + "/big/huge.txt";
    QVERIFY(QDir().mkpath(dir.path() + "/big"));
    {
        QFile f(big);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(qint64(4) << 30));
    }

    // The event loop keeps turning: a 10 ms timer never waits long.
    qint64 longestGap = 0;
    QElapsedTimer sinceTick;
    QTimer ticker;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestGap = qMax(longestGap, sinceTick.restart());
    });

    {
        ExtractRun run;
        run.startScan(many, QStringLiteral("*.txt"), Finder::Email, false);
        sinceTick.start();
        ticker.start();
        const RunOutcome out = runToEnd(run);
        ticker.stop();
        QCOMPARE(out.counts.files, 10000);
        QCOMPARE(out.rows.size(), 10000);
        QCOMPARE(out.rows.last(), QStringLiteral("f09999.txt|user9999@example.org"));
        QVERIFY2(longestGap < 500, qPrintable(QString::number(longestGap)));
    }
    {
        ExtractRun run;
        QSignalSpy done(&run, &ExtractRun::finished);
        run.startScan(dir.path() + "/big", QStringLiteral("*.*"), Finder::Email, false);
        longestGap = 0;
        sinceTick.start();
        ticker.start();
        QTest::qWait(400);
        QVERIFY(run.isRunning());
        QVERIFY(run.counts().bytes > 0);
        QElapsedTimer stopClock;
        stopClock.start();
        run.stop();
        QVERIFY(done.wait(1000));
        QVERIFY(stopClock.elapsed() < 1000);
        ticker.stop();
        QCOMPARE(done.first().first().toBool(), true);
        QVERIFY(run.wasStopped());
        QVERIFY2(longestGap < 500, qPrintable(QString::number(longestGap)));
    }
}

QTEST_GUILESS_MAIN(TestExtract)
#include "tst_extract.moc"
