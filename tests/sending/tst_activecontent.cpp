// Active content out of the HTML that goes to the recipients: what goes,
// what stays byte for byte, and the tricks that make a reader see markup
// where a careless scanner sees text.

#include "sending/activecontent.h"
#include "sending/messageprep.h"

#include "sendingfixture.h"

#include <QtTest>

using namespace varnholt;

class TestActiveContent : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleaning_data();
    void cleaning();
    void keptHtmlStaysAsItWas();
    void mergedValuesInsideTags_data();
    void mergedValuesInsideTags();
};

void TestActiveContent::cleaning_data()
{
    QTest::addColumn<QString>("html");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("removed");

    QTest::newRow("script with its text") << "<p>a<script>x='</p>'</script>b</p>" << "<p>ab</p>" << "1 x <script>";
    QTest::newRow("script in capitals, end tag with blank")
        << "a<SCRIPT type=text/javascript>go()</SCRIPT >b" << "ab" << "1 x <script>";
    QTest::newRow("script never closed") << "a<script>go()" << "a" << "1 x <script>";
    QTest::newRow("event attributes, quoted and not")
        << R"h(<img src="a.png" onerror="go()"><body onload=go() bgcolor=red>)h"
        << R"h(<img src="a.png"><body bgcolor="red">)h" << "1 x onerror attribute, 1 x onload attribute";
    QTest::newRow("attribute after a slash or a quote")
        << R"h(<img/onerror=go() src="x"onclick='go()'>)h" << R"h(<img src="x">)h"
        << "1 x onclick attribute, 1 x onerror attribute";
    QTest::newRow("javascript address, hidden by references and blanks")
        << R"h(<a href=" java&#x09;script&colon;go()">x</a><a href="&#106avascript:go()">y</a><a href="https://e.test/">z</a>)h"
        << R"h(<a>x</a><a>y</a><a href="https://e.test/">z</a>)h" << "2 x javascript: address";
    QTest::newRow("vbscript and style expression")
        << R"h(<a href="VBScript:x">v</a><p style="width: expression(go())">w</p>)h"
        << R"h(<a>v</a><p>w</p>)h" << "1 x script in a style attribute, 1 x vbscript: address";
    QTest::newRow("frames and plug-ins")
        << R"h(<iframe src="https://e.test/">fallback</iframe><object data="m.swf"><param name=a value=b>alt</object><embed src="m.swf">)h"
        << "alt" << "1 x <embed>, 1 x <iframe>, 1 x <object>, 1 x <param>";
    QTest::newRow("a form keeps its words, loses its controls")
        << R"h(<form action="https://e.test/"><label>Name <input name=n></label><select><option>A</select><textarea>t</textarea><button>Go</button></form>)h"
        << "<label>Name </label>Go"
        << "1 x <button>, 1 x <form>, 1 x <input>, 1 x <select>, 1 x <textarea>";
    QTest::newRow("svg and math go whole") << "a<svg><script>go()</script><style>s</style></svg>b<math><mi>x</mi></math>c"
                                           << "abc" << "1 x <math>, 1 x <svg>";
    // A reader ends <style> at "</style>", whatever comes between.
    QTest::newRow("markup hidden in a comment inside style")
        << "<style><!-- </style><img src=x onerror=go()> --></style>"
        << "<style><!-- </style><img src=\"x\"> --></style>" << "1 x onerror attribute";
    // A comment is a comment, and a script tag inside it is text.
    QTest::newRow("script in a comment stays a comment")
        << "<!-- <script>go()</script> -->x" << "<!-- <script>go()</script> -->x" << "";
    QTest::newRow("comment closed by --!>") << "<!-- a -- b --!><img onerror=go()>" << "<!-- a -- b --!><img>"
                                            << "1 x onerror attribute";
    QTest::newRow("comment closed at once") << "<!--><img src=x onerror=go()>" << "<!--><img src=\"x\">"
                                            << "1 x onerror attribute";
    QTest::newRow("markup inside an attribute value") << R"h(<a title="<img src=x onerror=go()>">t</a>)h"
                                                      << R"h(<a title="&lt;img src=x onerror=go()&gt;">t</a>)h" << "";
    QTest::newRow("title raw text") << "<title><img onerror=go()></title>" << "<title><img onerror=go()></title>"
                                    << "";
    QTest::newRow("tag cut off by the end of the text") << "ok<img src=x onerror=\"go()" << "ok" << "";
    QTest::newRow("lone brackets stay text") << "1 < 2 > 0 <3" << "1 < 2 > 0 <3" << "";
}

void TestActiveContent::cleaning()
{
    QFETCH(QString, html);
    QFETCH(QString, expected);
    QFETCH(QString, removed);
    const ActiveContentCleanup cleanup = RemoveActiveContent(html);
    QCOMPARE(cleanup.html, expected);
    QCOMPARE(RemovedContentText(cleanup.removed), removed);
    QCOMPARE(cleanup.changed(), !removed.isEmpty());
    // Cleaning what is clean changes nothing.
    const ActiveContentCleanup again = RemoveActiveContent(cleanup.html);
    QCOMPARE(again.html, cleanup.html);
    QVERIFY(!again.changed());
}

// A newsletter as editors write it: every byte that is not active content
// goes out unchanged, conditional comments for one mail program included.
void TestActiveContent::keptHtmlStaysAsItWas()
{
    const QString html = QStringLiteral(
        "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\">\r\n"
        "<html><head><meta http-equiv=Content-Type content=\"text/html; charset=utf-8\">\r\n"
        "<style type=\"text/css\"><!-- td > p { color: #333 } a[href^='http'] { x: '<b>' } --></style>\r\n"
        "<!--[if mso]><table><tr><td width=600><![endif]-->\r\n"
        "</head><body bgcolor='#FFFFFF'><p align=center>Dear [Column#2],</p>\r\n"
        "<img src=\"logo.png\" alt='Logo' width=200 />&nbsp;<br/><a href=\"https://e.test/?u=[Column#1]&amp;x=1\">"
        "Unsubscribe</a>\r\n<!--[if mso]></td></tr></table><![endif]--></body></html>\r\n");
    const ActiveContentCleanup cleanup = RemoveActiveContent(html);
    QCOMPARE(cleanup.html, html);
    QVERIFY(!cleanup.changed());
}

void TestActiveContent::mergedValuesInsideTags_data()
{
    QTest::addColumn<QByteArray>("html");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("removed");
    QTest::newRow("a script address as the link")
        << QByteArray(R"h(<a href="[Column#2]">x</a>)h") << QByteArray("javascript:go()") << "<a>x</a>"
        << "1 x javascript: address";
    QTest::newRow("an attribute made by a value")
        << QByteArray(R"h(<p [Column#2]>x</p>)h") << QByteArray("onmouseover=go()") << "<p>x</p>"
        << "1 x onmouseover attribute";
    QTest::newRow("an ordinary address stays") << QByteArray(R"h(<a href="[Column#2]">x</a>)h")
                                               << QByteArray("https://e.test/a?b=c") << R"h(<a href="https://e.test/a?b=c">x</a>)h"
                                               << "";
    QTest::newRow("a value in the text is only text")
        << QByteArray("<p>[Column#2]</p>") << QByteArray("<script>go()</script>")
        << "<p>&lt;script&gt;go()&lt;/script&gt;</p>" << "";
}

// Values are escaped when merged, yet inside a tag they can still make an
// attribute or a script address: the merged text is cleaned too.
void TestActiveContent::mergedValuesInsideTags()
{
    QFETCH(QByteArray, html);
    QFETCH(QByteArray, value);
    QFETCH(QString, expected);
    QFETCH(QString, removed);
    SendingFixture f;
    f.make({"a@x.test;" + value}, 1, 1, "Html=1\r\n");
    varnholt::testing::writeFile(f.path("p.htm"), html);
    f.project->open(f.path("p.eml"));
    MessagePreparer preparer(*f.project, *f.accounts.item(0));
    const PreparedMessage message = preparer.prepare(0);
    QVERIFY2(message.error.isEmpty(), qPrintable(message.error));
    QCOMPARE(message.inputs.HtmlText.join(QString()), expected);
    QVERIFY(preparer.removedFromTemplate().isEmpty());
    QCOMPARE(RemovedContentText(preparer.removedFromValues()), removed);
}

QTEST_GUILESS_MAIN(TestActiveContent)
#include "tst_activecontent.moc"
