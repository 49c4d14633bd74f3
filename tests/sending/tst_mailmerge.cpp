#include "sending/inlinepictures.h"
#include "sending/mailmerge.h"
#include "testfiles.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace varnholt;
using varnholt::testing::writeFile;

namespace {

const QStringList kTitles{QStringLiteral("Column#1"), QStringLiteral("Column#2"), QStringLiteral("Column#3")};

QList<QStringList> titleForms()
{
    QList<QStringList> forms;
    for (const QString &title : kTitles)
        forms.append(MergeFieldForms(title));
    return forms;
}

// A picture file: only its name matters here.
void touch(const QString &path)
{
    writeFile(path, "GIF89a");
}

const QRegularExpression kCid(QStringLiteral("^part(\\d+)\\.[0-9A-F]{4,8}\\.[0-9A-F]{4,8}(@.*)?$"));

} // namespace

class TestMailMerge : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void merge_data();
    void merge();
    void nestedValuesStayAsWritten();
    void mergedLengthLimit();
    void escapeHtml_data();
    void escapeHtml();
    void textLines_data();
    void textLines();
    void contentIds();
    void pictures_data();
    void pictures();
    void contentIdsOfARun();
    void samePictureTwiceGivesTwoParts();
    void pictureNameInAnotherCase();
};

void TestMailMerge::merge_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("cells");
    QTest::addColumn<QString>("expected");

    const QStringList anna{QStringLiteral("a@x.org"), QStringLiteral("Anna"), QStringLiteral("Berlin")};
    QTest::newRow("title form") << "Dear [Column#2]," << anna << "Dear Anna,";
    QTest::newRow("form with a blank") << "Dear [Column #2]," << anna << "Dear Anna,";
    QTest::newRow("any letter case, text around keeps its case")
        << "HI [COLUMN#2] and [column #3] OK" << anna << "HI Anna and Berlin OK";
    QTest::newRow("every occurrence") << "[Column#2][Column#2] [Column#2]" << anna << "AnnaAnna Anna";
    QTest::newRow("unknown column stays") << "Dear [Column#9] [Name]" << anna << "Dear [Column#9] [Name]";
    QTest::newRow("a value holding its own field does not loop")
        << "<[Column#1]>" << QStringList{QStringLiteral("[Column#1]!"), {}, {}} << "<[Column#1]!>";
    QTest::newRow("a value holding a later column's field stays as written")
        << "[Column#1]" << QStringList{QStringLiteral("to [Column#3]"), {}, QStringLiteral("you")} << "to [Column#3]";
    QTest::newRow("a value holding an earlier column's field stays")
        << "[Column#2]" << QStringList{QStringLiteral("one"), QStringLiteral("[Column#1]"), {}} << "[Column#1]";
    QTest::newRow("fields next to each other") << "[Column#1][Column#3]" << anna << "a@x.orgBerlin";
    QTest::newRow("empty cell") << "x[Column#3]y" << QStringList{{}, {}, {}} << "xy";
    QTest::newRow("brackets that open no field") << "[x] [Column#2] [y [Column#3]" << anna
                                                 << "[x] Anna [y Berlin";
    QTest::newRow("a field put together by an empty value stays text")
        << "[Col[Column#1]umn#2]" << QStringList{{}, QStringLiteral("Bob"), {}} << "[Column#2]";
    QTest::newRow("a field closed by a value's bracket stays text")
        << "[Column#1]Column#3]" << QStringList{QStringLiteral("["), {}, QStringLiteral("you")} << "[Column#3]";
    QTest::newRow("a field inside brackets") << "[[Column#2]]" << anna << "[Anna]";
    QTest::newRow("no fields") << "plain text" << anna << "plain text";
    QTest::newRow("lines") << "Dear [Column#2],\r\n\r\nsee you in [Column#3].\r\n" << anna
                           << "Dear Anna,\r\n\r\nsee you in Berlin.\r\n";
    QTest::newRow("a value with a line break")
        << "Dear [Column#2],\r\nbye" << QStringList{{}, QStringLiteral("Anna\r\nBob\r"), {}}
        << "Dear Anna\r\nBob\r,\r\nbye";
    QTest::newRow("a value ending with CR before a line end")
        << "x[Column#1]\r\ny" << QStringList{QStringLiteral("a\r"), {}, {}} << "xa\r\r\ny";
    QTest::newRow("only a field, merged to nothing") << "[Column#3]" << QStringList{{}, {}, {}} << "";
    QTest::newRow("a field line put together by an empty value stays text")
        << "one\r\n[Col[Column#1]umn#2]\r\ntwo" << QStringList{{}, QStringLiteral("Bob"), {}}
        << "one\r\n[Column#2]\r\ntwo";
}

// Every way of merging gives the same text: a single text, the template
// taken apart once, and the plain text merged line by line.
void TestMailMerge::merge()
{
    QFETCH(QString, text);
    QFETCH(QStringList, cells);
    QFETCH(QString, expected);
    const auto cell = [&cells](int column) { return cells.value(column); };
    QCOMPARE(MergeFields(text, kTitles, cell), expected);
    QCOMPARE(MergeTemplate(text, titleForms()).merge(cell).value_or(QStringLiteral("(none)")), expected);
    QCOMPARE(MergeTextLines(text, titleForms()).merge(cell).value_or(QStringList{QStringLiteral("(none)")}),
             SplitTextLines(expected));
}

// Each cell names the next column twice: searched again, the values would
// double with every column (2^20 copies here). Merged once, the text is the
// first cell as written.
void TestMailMerge::nestedValuesStayAsWritten()
{
    QStringList titles;
    QStringList cells;
    for (int c = 1; c <= 22; ++c) {
        titles.append(QStringLiteral("Column#%1").arg(c));
        cells.append(QStringLiteral("[Column#%1][column #%1]").arg(c + 1));
    }
    cells.back() = QStringLiteral("x");
    QList<QStringList> forms;
    for (const QString &title : titles)
        forms.append(MergeFieldForms(title));
    const auto cell = [&cells](int column) { return cells.value(column); };
    const QString text = QStringLiteral("<[Column#1]>\r\n[Column#22]");
    const QString expected = QStringLiteral("<[Column#2][column #2]>\r\nx");
    QCOMPARE(MergeFields(text, titles, cell), expected);
    QCOMPARE(MergeTemplate(text, forms).merge(cell).value_or(QString()), expected);
    QCOMPARE(MergeTextLines(text, forms).merge(cell).value_or(QStringList()), SplitTextLines(expected));
}

// A merged text longer than the limit is refused before it is made: here a
// 1 MB template and a 1 MB cell would make 200 GB.
void TestMailMerge::mergedLengthLimit()
{
    const QString fields = QStringLiteral("[Column#2]").repeated(100'000);
    const QString big(1'000'000, u'x');
    const auto bigCell = [&big](int column) { return column == 1 ? big : QString(); };
    QVERIFY(!MergeTemplate(fields, titleForms()).merge(bigCell).has_value());
    const QString fieldLines = QStringLiteral("a\r\n") + fields + QStringLiteral("\r\nb");
    QVERIFY(!MergeTextLines(fieldLines, titleForms()).merge(bigCell).has_value());

    // At the limit it fits; one more character does not.
    const QString text = QStringLiteral("ab[Column#2]\r\n[Column#2]");
    const auto cell = [](int column) { return column == 1 ? QStringLiteral("xyz") : QString(); };
    const MergeTemplate tmpl(text, titleForms());
    QCOMPARE(tmpl.merge(cell, 10).value_or(QString()), QStringLiteral("abxyz\r\nxyz"));
    QVERIFY(!tmpl.merge(cell, 9).has_value());
    const MergeTextLines lines(text, titleForms());
    QCOMPARE(lines.merge(cell, 10).value_or(QStringList()), (QStringList{"abxyz", "xyz"}));
    QVERIFY(!lines.merge(cell, 9).has_value());
    // A cell with a line end merges the whole text; the limit holds there too.
    const auto broken = [](int column) { return column == 1 ? QStringLiteral("x\ny") : QString(); };
    QCOMPARE(lines.merge(broken, 10).value_or(QStringList()), (QStringList{"abx", "y", "x", "y"}));
    QVERIFY(!lines.merge(broken, 9).has_value());
}

void TestMailMerge::escapeHtml_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("escaped");
    QTest::newRow("plain") << "Anna Berg" << "Anna Berg";
    QTest::newRow("a tag") << "<img src=/etc/passwd>" << "&lt;img src=/etc/passwd&gt;";
    QTest::newRow("quotes leave no attribute") << "x\" onload='y'" << "x&quot; onload=&#39;y&#39;";
    QTest::newRow("an entity is escaped again") << "&amp; & co" << "&amp;amp; &amp; co";
    QTest::newRow("empty") << "" << "";
}

void TestMailMerge::escapeHtml()
{
    QFETCH(QString, value);
    QFETCH(QString, escaped);
    QCOMPARE(EscapeHtml(value), escaped);
}

void TestMailMerge::textLines_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("empty") << "" << QStringList();
    QTest::newRow("CR LF") << "a\r\nb" << QStringList{"a", "b"};
    QTest::newRow("a line end at the end starts no line") << "a\r\n" << QStringList{"a"};
    QTest::newRow("only a line end") << "\r\n" << QStringList{""};
    QTest::newRow("empty lines") << "a\n\n" << QStringList{"a", ""};
    QTest::newRow("CR alone") << "a\rb\r\nc\r" << QStringList{"a", "b", "c"};
    QTest::newRow("CR before CR LF") << "\r\r\n" << QStringList{"", ""};
    QTest::newRow("two CRs at the end") << "a\r\r" << QStringList{"a", ""};
    QTest::newRow("no line end") << "one line" << QStringList{"one line"};
}

void TestMailMerge::textLines()
{
    QFETCH(QString, text);
    QFETCH(QStringList, lines);
    QCOMPARE(SplitTextLines(text), lines);
}

void TestMailMerge::contentIds()
{
    QCOMPARE(ContentIdDomain(QStringLiteral(" smtp.example.org ")), QStringLiteral("@example.org"));
    QCOMPARE(ContentIdDomain(QStringLiteral("localhost")), QStringLiteral("@localhost"));
    QCOMPARE(ContentIdDomain(QString()), QString());

    QRandomGenerator random(7);
    QSet<QString> seen;
    for (int n = 1; n <= 200; ++n) {
        const QString cid = MakeContentId(n, random, QStringLiteral("@example.org"));
        const auto m = kCid.match(cid);
        QVERIFY2(m.hasMatch(), qPrintable(cid));
        QCOMPARE(m.captured(1).toInt(), n);
        QVERIFY(cid.endsWith(QStringLiteral("@example.org")));
        seen.insert(cid.section(u'.', 1));
    }
    QVERIFY(seen.size() > 190); // random groups, not a constant
    QVERIFY(!MakeContentId(1, random, {}).contains(u'@'));
}

void TestMailMerge::pictures_data()
{
    QTest::addColumn<QString>("html");
    QTest::addColumn<QString>("expected"); // "CID1", "CID2" stand for the content IDs
    QTest::addColumn<QStringList>("files"); // relative to the scratch folder
    QTest::addColumn<QStringList>("warnings");

    // The project folder is proj/, BaseUrl proj/base/; other/ lies outside.
    QTest::newRow("unquoted src in BaseUrl")
        << "<IMG SRC=logo.gif>" << "<IMG SRC=cid:CID1>" << QStringList{"proj/base/logo.gif"} << QStringList{};
    QTest::newRow("quoted src keeps its quotes")
        << "<p><img alt=\"x\" src= \"logo.gif\" width=3></p>" << "<p><img alt=\"x\" src= \"cid:CID1\" width=3></p>"
        << QStringList{"proj/base/logo.gif"} << QStringList{};
    QTest::newRow("missing file stays, told once")
        << "<IMG SRC=nothere.gif><img src=\"nothere.gif\">" << "<IMG SRC=nothere.gif><img src=\"nothere.gif\">"
        << QStringList{} << QStringList{"nothere.gif (not found)"};
    QTest::newRow("address of another site stays, untold")
        << "<img src=\"http://example.org/logo.gif\">" << "<img src=\"http://example.org/logo.gif\">" << QStringList{}
        << QStringList{};
    QTest::newRow("src followed by > gives no part, the rest goes on")
        << "<img src=><img src=logo.gif>" << "<img src=><img src=cid:CID1>" << QStringList{"proj/base/logo.gif"}
        << QStringList{};
    QTest::newRow("file:/// picture in img") << "<img src=\"file://ABS/proj/base/logo.gif\">" << "<img src=\"cid:CID1\">"
                                            << QStringList{"proj/base/logo.gif"} << QStringList{};
    QTest::newRow("file:/// picture in background stays")
        << "<body background=\"file://ABS/proj/base/logo.gif\">" << "<body background=\"file://ABS/proj/base/logo.gif\">"
        << QStringList{} << QStringList{};
    QTest::newRow("img first, then background, numbered across both")
        << "<td background=bg.gif><img src=\"pics/a.gif\">" << "<td background=cid:CID2><img src=\"cid:CID1\">"
        << QStringList{"proj/base/pics/a.gif", "proj/base/bg.gif"} << QStringList{};
    QTest::newRow("tag without >") << "<img src=logo.gif" << "<img src=logo.gif" << QStringList{} << QStringList{};
    QTest::newRow("a background= inside a taken src is no second picture")
        << "<img src=\"pics/background=bg.gif\">" << "<img src=\"cid:CID1\">"
        << QStringList{"proj/base/pics/background=bg.gif"} << QStringList{};

    // Absolute paths are the template writer's choice; relative ones must
    // stay within the project's folders.
    QTest::newRow("absolute path outside the project, img")
        << "<img src=ABS/other/bg.gif>" << "<img src=cid:CID1>" << QStringList{"other/bg.gif"} << QStringList{};
    QTest::newRow("absolute path outside the project, background")
        << "<body background= \"ABS/other/bg.gif\">" << "<body background= \"cid:CID1\">"
        << QStringList{"other/bg.gif"} << QStringList{};
    QTest::newRow("../ from BaseUrl into the project folder")
        << "<img src=\"../top.gif\">" << "<img src=\"cid:CID1\">" << QStringList{"proj/top.gif"} << QStringList{};
    QTest::newRow("../ out of the project")
        << "<img src=\"../../other/bg.gif\"><td background=../../other/bg.gif>"
        << "<img src=\"../../other/bg.gif\"><td background=../../other/bg.gif>" << QStringList{}
        << QStringList{"../../other/bg.gif (outside the project folder)"};
    QTest::newRow("a link to a file outside")
        << "<img src=link.gif>" << "<img src=link.gif>" << QStringList{}
        << QStringList{"link.gif (outside the project folder)"};
    // Only a picture goes out inline, wherever it lies: never the list
    // beside the project, nor any other file named as a picture.
    QTest::newRow("the mailing list named as a picture")
        << "<img src=\"../list.txt\"><img src=ABS/other/secret.gif>"
        << "<img src=\"../list.txt\"><img src=ABS/other/secret.gif>" << QStringList{}
        << QStringList{"../list.txt (not a picture)", "ABS/other/secret.gif (not a picture)"};
    QTest::newRow("a link to a folder outside, in another case")
        << "<img src=LINKDIR/BG.GIF>" << "<img src=LINKDIR/BG.GIF>" << QStringList{}
        << QStringList{"LINKDIR/BG.GIF (outside the project folder)"};
}

void TestMailMerge::pictures()
{
    QFETCH(QString, html);
    QFETCH(QString, expected);
    QFETCH(QStringList, files);
    QFETCH(QStringList, warnings);

    QTemporaryDir dir;
    const QString abs = dir.path();
    for (const char *f : {"proj/base/logo.gif", "proj/base/bg.gif", "proj/base/pics/a.gif",
                          "proj/base/pics/background=bg.gif", "proj/top.gif", "other/bg.gif"})
        touch(dir.filePath(QString::fromUtf8(f)));
    writeFile(dir.filePath("proj/list.txt"), "a@x.org;Ann\r\n");
    writeFile(dir.filePath("other/secret.gif"), "password=hunter2\n");
    QVERIFY(QFile::link(dir.filePath("other/bg.gif"), dir.filePath("proj/base/link.gif")));
    QVERIFY(QFile::link(dir.filePath("other"), dir.filePath("proj/base/linkdir")));
    html.replace(QStringLiteral("ABS"), abs);
    expected.replace(QStringLiteral("ABS"), abs);
    warnings.replaceInStrings(QStringLiteral("ABS"), abs);

    QRandomGenerator random(1);
    InlinePictureContext context{dir.filePath(QStringLiteral("proj/base")), dir.filePath(QStringLiteral("proj/")),
                                 QStringLiteral("@example.org"), &random, nullptr};
    const InlinePictureResult result = InlinePictures(html, context);

    QCOMPARE(result.files.size(), files.size());
    QCOMPARE(result.cids.size(), files.size());
    for (int i = 0; i < files.size(); ++i) {
        QCOMPARE(QFileInfo(result.files[i]).canonicalFilePath(), QFileInfo(dir.filePath(files[i])).canonicalFilePath());
        QVERIFY2(kCid.match(result.cids[i]).hasMatch(), qPrintable(result.cids[i]));
        QVERIFY(result.cids[i].startsWith(QStringLiteral("part%1.").arg(i + 1)));
        expected.replace(QStringLiteral("CID%1").arg(i + 1), result.cids[i]);
    }
    QCOMPARE(html, expected);
    QCOMPARE(result.warnings, warnings);
}

// A run's messages take their content IDs from one source: no two IDs of
// the run are the same, and each still reads like MakeContentId's.
void TestMailMerge::contentIdsOfARun()
{
    ContentIdSource ids(11);
    QSet<QString> seen;
    for (int message = 0; message < 20'000; ++message) {
        const QStringList cids = ids.next(2, QStringLiteral("@example.org"));
        QCOMPARE(cids.size(), 2);
        for (int i = 0; i < 2; ++i) {
            const auto m = kCid.match(cids[i]);
            QVERIFY2(m.hasMatch(), qPrintable(cids[i]));
            QCOMPARE(m.captured(1).toInt(), i + 1);
            // Without the part number, so that only the random groups count.
            const QString groups = cids[i].section(u'.', 1);
            QVERIFY2(!seen.contains(groups), qPrintable(cids[i]));
            seen.insert(groups);
        }
    }
    // The same seed gives the same IDs; another seed others.
    ContentIdSource again(11);
    ContentIdSource other(12);
    const QStringList first = ContentIdSource(11).next(3, {});
    QCOMPARE(again.next(3, {}), first);
    QVERIFY(other.next(3, {}) != first);
}

void TestMailMerge::samePictureTwiceGivesTwoParts()
{
    QTemporaryDir dir;
    touch(dir.filePath(QStringLiteral("logo.gif")));
    QString html = QStringLiteral("<img src=logo.gif><img src=\"logo.gif\">");
    QRandomGenerator random(3);
    const InlinePictureResult r =
        InlinePictures(html, {QString(), dir.path() + u'/', QString(), &random, nullptr});
    QCOMPARE(r.files.size(), 2);
    QCOMPARE(r.files[0], r.files[1]);
    QVERIFY(r.cids[0].startsWith(QStringLiteral("part1.")));
    QVERIFY(r.cids[1].startsWith(QStringLiteral("part2.")));
    QVERIFY(r.cids[0] != r.cids[1]);
    QVERIFY(!r.cids[0].contains(u'@')); // no mail domain: no domain part
    QCOMPARE(html, QStringLiteral("<img src=cid:%1><img src=\"cid:%2\">").arg(r.cids[0], r.cids[1]));
}

// Names in HTML are often written in another case than the file's; on a
// file system that tells them apart the file is still found.
void TestMailMerge::pictureNameInAnotherCase()
{
    QTemporaryDir dir;
    touch(dir.filePath(QStringLiteral("Pics/Logo.GIF")));
    const QString actual = dir.filePath(QStringLiteral("Pics/Logo.GIF"));
    QCOMPARE(FindFileNoCase(dir.filePath(QStringLiteral("pics/logo.gif"))), actual);
    QCOMPARE(FindFileNoCase(dir.filePath(QStringLiteral("PICS\\LOGO.gif"))), actual);
    QCOMPARE(FindFileNoCase(dir.filePath(QStringLiteral("pics/other.gif"))), QString());
    QCOMPARE(FindFileNoCase(dir.filePath(QStringLiteral("pics"))), QString()); // a folder is no picture

    QString html = QStringLiteral("<IMG SRC=\"PICS/LOGO.GIF\">");
    QHash<QString, QString> cache;
    QRandomGenerator random(5);
    const InlinePictureResult r = InlinePictures(html, {QString(), dir.path() + u'/', QString(), &random, &cache});
    QCOMPARE(r.files, QStringList{actual});
}

QTEST_GUILESS_MAIN(TestMailMerge)
#include "tst_mailmerge.moc"
