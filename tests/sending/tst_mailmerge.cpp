#include "sending/inlinepictures.h"
#include "sending/mailmerge.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace varnholt;

namespace {

const QStringList kTitles{QStringLiteral("Column#1"), QStringLiteral("Column#2"), QStringLiteral("Column#3")};

QList<QStringList> titleForms()
{
    QList<QStringList> forms;
    for (const QString &title : kTitles)
        forms.append(MergeFieldForms(title));
    return forms;
}

void touch(const QString &path)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("GIF89a");
}

const QRegularExpression kCid(QStringLiteral("^part(\\d+)\\.[0-9A-F]{4,8}\\.[0-9A-F]{4,8}(@.*)?$"));

} // namespace

class TestMailMerge : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void merge_data();
    void merge();
    void templateJoinsPieces();
    void textLines_data();
    void textLines();
    void contentIds();
    void pictures_data();
    void pictures();
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
    QTest::newRow("a value holding a later column's field is merged again")
        << "[Column#1]" << QStringList{QStringLiteral("to [Column#3]"), {}, QStringLiteral("you")} << "to you";
    QTest::newRow("a value holding an earlier column's field stays")
        << "[Column#2]" << QStringList{QStringLiteral("one"), QStringLiteral("[Column#1]"), {}} << "[Column#1]";
    QTest::newRow("fields next to each other") << "[Column#1][Column#3]" << anna << "a@x.orgBerlin";
    QTest::newRow("empty cell") << "x[Column#3]y" << QStringList{{}, {}, {}} << "xy";
    QTest::newRow("brackets that open no field") << "[x] [Column#2] [y [Column#3]" << anna
                                                 << "[x] Anna [y Berlin";
    QTest::newRow("a field put together by an empty value")
        << "[Col[Column#1]umn#2]" << QStringList{{}, QStringLiteral("Bob"), {}} << "Bob";
    QTest::newRow("a field closed by a value's bracket")
        << "[Column#1]Column#3]" << QStringList{QStringLiteral("["), {}, QStringLiteral("you")} << "you";
    QTest::newRow("no fields") << "plain text" << anna << "plain text";
    QTest::newRow("lines") << "Dear [Column#2],\r\n\r\nsee you in [Column#3].\r\n" << anna
                           << "Dear Anna,\r\n\r\nsee you in Berlin.\r\n";
    QTest::newRow("a value with a line break")
        << "Dear [Column#2],\r\nbye" << QStringList{{}, QStringLiteral("Anna\r\nBob\r"), {}}
        << "Dear Anna\r\nBob\r,\r\nbye";
    QTest::newRow("a value ending with CR before a line end")
        << "x[Column#1]\r\ny" << QStringList{QStringLiteral("a\r"), {}, {}} << "xa\r\r\ny";
    QTest::newRow("only a field, merged to nothing") << "[Column#3]" << QStringList{{}, {}, {}} << "";
    QTest::newRow("a field line put together by an empty value")
        << "one\r\n[Col[Column#1]umn#2]\r\ntwo" << QStringList{{}, QStringLiteral("Bob"), {}} << "one\r\nBob\r\ntwo";
}

// Both ways of merging: field by field, and the template taken apart once.
void TestMailMerge::merge()
{
    QFETCH(QString, text);
    QFETCH(QStringList, cells);
    QFETCH(QString, expected);
    const auto cell = [&cells](int column) { return cells.value(column); };
    QCOMPARE(MergeFields(text, kTitles, cell), expected);
    QCOMPARE(MergeTemplate(text, titleForms()).merge(cell), expected);
    QCOMPARE(MergeTextLines(text, titleForms()).merge(cell), SplitTextLines(expected));
}

// The template only joins pieces where brackets cannot form new fields.
void TestMailMerge::templateJoinsPieces()
{
    QVERIFY(MergeTemplate(QStringLiteral("Dear [Column#2], [note] [Column #3]"), titleForms()).joinsPieces());
    QVERIFY(!MergeTemplate(QStringLiteral("[Col[Column#1]umn#2]"), titleForms()).joinsPieces());
    QVERIFY(!MergeTemplate(QStringLiteral("[[Column#1]]"), titleForms()).joinsPieces());
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

    QTest::newRow("unquoted src in BaseUrl") << "<IMG SRC=logo.gif>" << "<IMG SRC=cid:CID1>" << QStringList{"base/logo.gif"};
    QTest::newRow("quoted src keeps its quotes")
        << "<p><img alt=\"x\" src= \"logo.gif\" width=3></p>" << "<p><img alt=\"x\" src= \"cid:CID1\" width=3></p>"
        << QStringList{"base/logo.gif"};
    QTest::newRow("missing file stays") << "<IMG SRC=nothere.gif>" << "<IMG SRC=nothere.gif>" << QStringList{};
    QTest::newRow("address of another site stays")
        << "<img src=\"http://example.org/logo.gif\">" << "<img src=\"http://example.org/logo.gif\">" << QStringList{};
    QTest::newRow("src followed by > gives no part, the rest goes on")
        << "<img src=><img src=logo.gif>" << "<img src=><img src=cid:CID1>" << QStringList{"base/logo.gif"};
    QTest::newRow("file:/// picture in img") << "<img src=\"file://ABS/base/logo.gif\">" << "<img src=\"cid:CID1\">"
                                            << QStringList{"base/logo.gif"};
    QTest::newRow("file:/// picture in background stays")
        << "<body background=\"file://ABS/base/logo.gif\">" << "<body background=\"file://ABS/base/logo.gif\">"
        << QStringList{};
    QTest::newRow("img first, then background, numbered across both")
        << "<td background=bg.gif><img src=\"pics/a.gif\">"
        << "<td background=cid:CID2><img src=\"cid:CID1\">" << QStringList{"base/pics/a.gif", "base/bg.gif"};
    QTest::newRow("background with an absolute path")
        << "<body background= \"ABS/other/bg.gif\">" << "<body background= \"cid:CID1\">"
        << QStringList{"other/bg.gif"};
    QTest::newRow("tag without >") << "<img src=logo.gif" << "<img src=logo.gif" << QStringList{};
}

void TestMailMerge::pictures()
{
    QFETCH(QString, html);
    QFETCH(QString, expected);
    QFETCH(QStringList, files);

    QTemporaryDir dir;
    const QString abs = dir.path();
    for (const char *f : {"base/logo.gif", "base/bg.gif", "base/pics/a.gif", "other/bg.gif"})
        touch(dir.filePath(QString::fromUtf8(f)));
    html.replace(QStringLiteral("ABS"), abs);
    expected.replace(QStringLiteral("ABS"), abs);

    QRandomGenerator random(1);
    InlinePictureContext context{dir.filePath(QStringLiteral("base")), abs + u'/', QStringLiteral("@example.org"),
                                 &random, nullptr};
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
