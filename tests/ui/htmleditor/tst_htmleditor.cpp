// The HTML message editor in the project window, on the offscreen platform
// with a real browser: filling, pictures, import, fonts, tables, merge
// fields, writing N.htm and sending it with its pictures inline.
#include "ui/htmleditor/htmleditor.h"
#include "ui/htmleditor/htmlfragments.h"
#include "ui/htmleditor/ttables.h"
#include "ui/project/newmod2messageform.h"

#include "project/project.h"
#include "sending/messageprep.h"
#include "settings/programfolder.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>

using namespace varnholt;

namespace {

// Qt WebEngine wants contexts shared before the application exists.
const bool kShareContexts = [] {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    return true;
}();

// Two different 1x1 GIF pictures.
const QByteArray kRedGif = QByteArray::fromBase64("R0lGODlhAQABAIAAAP8AAAAAACH5BAAAAAAALAAAAAABAAEAAAICRAEAOw==");
const QByteArray kBlueGif = QByteArray::fromBase64("R0lGODlhAQABAIAAAAAA/wAAACH5BAAAAAAALAAAAAABAAEAAAICRAEAOw==");

void putFile(const QString &path, const QByteArray &bytes)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString bodyOf(const QString &html)
{
    static const QRegularExpression body(QStringLiteral("<body[^>]*>(.*)</body>"),
                                         QRegularExpression::DotMatchesEverythingOption);
    return body.match(html).captured(1);
}

// Runs a script in the page's own world and waits for its answer.
QVariant pageScript(THtmlEditor *editor, const QString &script)
{
    QVariant answer;
    bool done = false;
    editor->view()->page()->runJavaScript(script, [&](const QVariant &v) {
        answer = v;
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 10000))
        qWarning("script did not answer: %s", qPrintable(script));
    return answer;
}

} // namespace

class TestHtmlEditor : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TNewMod2MessageForm> m_form;

    QString dir() const { return m_dir->path() + u'/'; }

    // A project "p" in a fresh folder, opened in a project window; in HTML
    // format the window waits for the editor's document.
    THtmlEditor *openProject(const QByteArray &plainText, bool html, const QByteArray &htm = {},
                             bool sameFolder = false)
    {
        if (!sameFolder)
            m_dir = std::make_unique<QTemporaryDir>();
        putFile(dir() + "p.eml", "[Common]\r\nSubject=Hi\r\nColumn=0\r\nSectionSymbol=;\r\nHTML="
                                     + QByteArray(html ? "1" : "0") + "\r\n");
        putFile(dir() + "p.txt", "anna@example.org;Anna\r\n");
        putFile(dir() + "p.mml", plainText);
        if (!htm.isNull())
            putFile(dir() + "p.htm", htm);
        m_form = std::make_unique<TNewMod2MessageForm>(DefaultIniInfo());
        m_form->resize(900, 700);
        m_form->show();
        THtmlEditor *editor = m_form->htmlEditor();
        QSignalSpy ready(editor, &THtmlEditor::documentReady);
        m_form->openProject(dir() + "p.eml");
        if (html)
            ready.wait(20000);
        return editor;
    }

    // Switches a text project to "html" and waits for the first content.
    THtmlEditor *showHtmlPage()
    {
        THtmlEditor *editor = m_form->htmlEditor();
        m_form->formatBox()->setCurrentIndex(1);
        [&] { QTRY_VERIFY_WITH_TIMEOUT(editor->documentPresent() && !bodyOf(editor->source()).isEmpty(), 20000); }();
        return editor;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(kShareContexts);
        m_dir = std::make_unique<QTemporaryDir>();
        ProgramFolder::initialise(m_dir->path());
        setMessageBoxHook([](const QString &text, const QString &, int) {
            qWarning("unexpected message box: %s", qPrintable(text));
            return int(idOk);
        });
    }

    void cleanup() { m_form.reset(); }

    void tableFragment()
    {
        T_Tables dialog(dir() + "p");
        TableParams p = dialog.params();
        QCOMPARE(p.width, 10);
        p.rows = 2;
        p.cols = 3;
        dialog.setParams(p);
        const QString html = dialog.fragment();
        QVERIFY2(html.startsWith("<TABLE border=1 width=10 color=#000000  cellspacing=0 cellpadding=0 "
                                 "style=\"{border-bottom-width: 0; border-right-width: 0; }\" ><TR><TD width=10 "),
                 qPrintable(html));
        QCOMPARE(html.count("<TR>"), 2);
        QCOMPARE(html.count("<TD width=10 "), 6);
        QVERIFY(html.endsWith("</TR></Table>"));

        p.lightColor = "#FF0000";
        p.darkColor = "red"; // not a colour value: left out
        p.lineColor = "";
        p.width = 0;
        const QString coloured = TableFragment(p);
        QVERIFY(coloured.startsWith("<TABLE border=1 width=0  cellspacing=0"));
        QVERIFY(coloured.contains("border-right-width: 0; border-top-color:#FF0000; }"));
        QCOMPARE(coloured.count("<TD width=2 "), 6);
    }

    void colorValueAndFontSizes()
    {
        QCOMPARE(ColorValue(qRgb(0x0a, 0xbc, 0xff)), QStringLiteral("#0ABCFF"));
        QCOMPARE(FontSizeCommandValue(int(FontSizeEntries().indexOf("14"))), 4);
        QCOMPARE(FontSizeCommandValue(int(FontSizeEntries().indexOf("36"))), 7);
    }

    void importedPicturePaths_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("expected"); // empty: no copy
        QTest::newRow("beside the file") << "/site/logo.gif" << "logo.gif";
        QTest::newRow("sub-folder kept") << "/site/pics/a/logo.gif" << "pics/a/logo.gif";
        QTest::newRow("base compared without case") << "/SITE/Pics/x.gif" << "Pics/x.gif";
        QTest::newRow("elsewhere: name alone") << "/other/img/logo.gif" << "logo.gif";
        QTest::newRow("climbing out of the base") << "/site/../../etc/x.gif" << "etc/x.gif";
        QTest::newRow("climbing inside the name") << "/site/pics/../../../x.gif" << "pics/x.gif";
        QTest::newRow("backslashes and a drive") << "C:\\evil\\x.gif" << "x.gif";
        QTest::newRow("drive inside the base") << "/site/C:/x.gif" << "x.gif";
        QTest::newRow("only dots") << "/site/.." << "";
    }

    void importedPicturePaths()
    {
        QFETCH(QString, source);
        QFETCH(QString, expected);
        const auto relative = ImportedPictureRelativePath(source, "/site");
        QCOMPARE(relative.value_or(QString()), expected);
        if (relative)
            QVERIFY(IsInsideFolder("/pf/" + *relative, "/pf"));
    }

    void firstShowingFillsBody_data()
    {
        QTest::addColumn<QByteArray>("plainText");
        QTest::addColumn<QString>("body");
        QTest::newRow("plain text, lines kept, no markup") << QByteArray("Dear <b>you</b>\r\nBye\r\n")
                                                           << "Dear &lt;b&gt;you&lt;/b&gt;<br>Bye";
        QTest::newRow("no plain text") << QByteArray() << "Enter ... ";
    }

    void firstShowingFillsBody()
    {
        QFETCH(QByteArray, plainText);
        QFETCH(QString, body);
        openProject(plainText, false);
        THtmlEditor *editor = showHtmlPage();
        QCOMPARE(m_form->pages()->currentWidget(), m_form->htmlPage());
        QVERIFY(editor->isPageFilled());
        QCOMPARE(bodyOf(editor->source()), body);
        // Nothing written yet: the body counts as changed.
        QVERIFY(editor->htmlChanged());
        QCOMPARE(pageScript(editor, "document.designMode").toString(), QStringLiteral("on"));
    }

    void insertPictureCopiesAndReplaces()
    {
        openProject("Text", false);
        THtmlEditor *editor = showHtmlPage();
        putFile(dir() + "img/logo.gif", kRedGif);
        putFile(dir() + "other/logo.gif", kBlueGif);

        QSignalSpy changed(editor, &THtmlEditor::changed);
        QVERIFY(editor->insertPicture(dir() + "img/logo.gif"));
        QVERIFY(changed.wait(10000));
        QCOMPARE(fileBytes(dir() + "p/logo.gif"), kRedGif);
        const QString copy = "src=\"file://" + dir() + "p/logo.gif\"";
        QVERIFY2(editor->source().contains(copy), qPrintable(editor->source()));
        // The copy is shown: the browser loaded it.
        QTRY_COMPARE_WITH_TIMEOUT(pageScript(editor, "document.images[0].naturalWidth").toInt(), 1, 10000);

        QVERIFY(editor->insertPicture(dir() + "other/logo.gif"));
        QVERIFY(changed.wait(10000));
        QCOMPARE(fileBytes(dir() + "p/logo.gif"), kBlueGif);
        QCOMPARE(QDir(dir() + "p").entryList(QDir::Files), QStringList{"logo.gif"});

        // A picture that cannot be read inserts nothing.
        const QString before = editor->source();
        QVERIFY(!editor->insertPicture(dir() + "missing.gif"));
        QCOMPARE(editor->source(), before);
    }

    void fontSizeEntryAndCommands()
    {
        openProject("Some words", false);
        THtmlEditor *editor = showHtmlPage();
        QSignalSpy changed(editor, &THtmlEditor::changed);
        editor->runCommand("selectAll");
        QVERIFY(changed.wait(10000));
        QComboBox *sizes = editor->fontSizeBox();
        QCOMPARE(sizes->itemText(3), QStringLiteral("14"));
        emit sizes->activated(3);
        QVERIFY(changed.wait(10000));
        QVERIFY2(bodyOf(editor->source()).contains("<font size=\"4\">Some words</font>"), qPrintable(editor->source()));
        // The size box follows the selection.
        QTRY_COMPARE_WITH_TIMEOUT(sizes->currentIndex(), 3, 10000);

        editor->runCommand("Bold");
        QVERIFY(changed.wait(10000));
        QVERIFY2(bodyOf(editor->source()).contains("<b>Some words</b>"), qPrintable(editor->source()));
        QVERIFY(m_form->project().isModified());
    }

    void tableInserted()
    {
        openProject("Text", false);
        THtmlEditor *editor = showHtmlPage();
        TableParams p;
        p.rows = 2;
        p.cols = 3;
        QSignalSpy changed(editor, &THtmlEditor::changed);
        editor->insertHtml(TableFragment(p));
        QVERIFY(changed.wait(10000));
        QCOMPARE(pageScript(editor, "document.querySelectorAll('table tr').length").toInt(), 2);
        QCOMPARE(pageScript(editor, "document.querySelectorAll('table td').length").toInt(), 6);
    }

    void mergeFieldAtCaretKeepsClipboard()
    {
        openProject("Hello World", false);
        THtmlEditor *editor = showHtmlPage();
        QApplication::clipboard()->setText("the user's own text");
        pageScript(editor, "var t = document.body.firstChild; document.getSelection().collapse(t, 6); true");
        QSignalSpy changed(editor, &THtmlEditor::changed);
        m_form->insertMergeField(); // the merge field box holds "Column#1"
        QVERIFY(changed.wait(10000));
        QCOMPARE(bodyOf(editor->source()), QStringLiteral("Hello [Column#1]World"));
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("the user's own text"));
    }

    void importKeepsSubfolderAndStaysInside()
    {
        openProject("x", false);
        THtmlEditor *editor = showHtmlPage();
        const QString site = dir() + "site/deep/";
        putFile(site + "pics/a.gif", kRedGif);
        putFile(dir() + "site/up.gif", kBlueGif);
        putFile(dir() + "elsewhere/abs.gif", kRedGif);
        putFile(site + "page.htm",
                "<html><head><title>t</title></head><body><p>Imported</p>"
                "<img src=\"pics/a.gif\"><img src=\"../up.gif\"><img src=\"pics/../../../site/up.gif\">"
                "<img src=\"file://" + dir().toUtf8() + "elsewhere/abs.gif\">"
                "<img src=\"http://127.0.0.1:1/remote.gif\"></body></html>");
        const QStringList before = QDir(dir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

        setFileDialogHook([&](FileDialogKind, const QString &, const QString &preset) {
            [&] { QCOMPARE(preset, dir() + "p.htm"); }();
            return std::optional<QString>(site + "page.htm");
        });
        QSignalSpy ready(editor, &THtmlEditor::documentReady);
        m_form->requestTool(TNewMod2MessageForm::toImportHtml);
        setFileDialogHook({});
        // The imported file, then N.htm with the local pictures.
        QTRY_VERIFY_WITH_TIMEOUT(ready.size() >= 2, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(editor->view()->url(), QUrl::fromLocalFile(dir() + "p.htm"), 10000);

        QCOMPARE(fileBytes(dir() + "p/pics/a.gif"), kRedGif);
        QCOMPARE(fileBytes(dir() + "p/up.gif"), kBlueGif);
        QCOMPARE(fileBytes(dir() + "p/abs.gif"), kRedGif);
        // Nothing but the picture folder and N.htm came into the project folder.
        QStringList after = QDir(dir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        QStringList expected = before + QStringList{"p", "p.htm"};
        expected.removeDuplicates();
        after.sort();
        expected.sort();
        QCOMPARE(after, expected);

        const QString saved = QString::fromUtf8(fileBytes(dir() + "p.htm"));
        QVERIFY2(saved.contains("src=\"file://" + dir() + "p/pics/a.gif\""), qPrintable(saved));
        QVERIFY(saved.contains("<title>p</title>"));
        QVERIFY(saved.contains("http://127.0.0.1:1/remote.gif"));
        QVERIFY(!editor->htmlChanged());
    }

    void savedHtmlReopensAndIsSentInline()
    {
        openProject("Dear [Column#2]", false);
        THtmlEditor *editor = showHtmlPage();
        putFile(dir() + "img/logo.gif", kRedGif);
        QSignalSpy changed(editor, &THtmlEditor::changed);
        editor->runCommand("selectAll");
        QVERIFY(changed.wait(10000));
        editor->runCommand("Italic");
        QVERIFY(changed.wait(10000));
        pageScript(editor, "document.getSelection().collapseToEnd(); true");
        QVERIFY(editor->insertPicture(dir() + "img/logo.gif"));
        QVERIFY(changed.wait(10000));
        const QString body = bodyOf(editor->source());

        QVERIFY(m_form->saveProject(false));
        QVERIFY(QFileInfo::exists(dir() + "p.htm"));
        QVERIFY(!editor->htmlChanged());
        QVERIFY(!m_form->htmlBodyChanged());

        // Reopened, the body is the same.
        m_form.reset();
        THtmlEditor *reopened = openProject("Dear [Column#2]", true, fileBytes(dir() + "p.htm"), true);
        QVERIFY(reopened->documentPresent());
        QCOMPARE(bodyOf(reopened->source()), body);
        QVERIFY(!reopened->htmlChanged());

        // The mailing sends it with the picture inline; Python's email
        // package judges the message.
        MessagePreparer preparer(m_form->project(), tAccountObj{});
        const PreparedMessage m = preparer.prepare(0);
        const QString file = dir() + "message.eml";
        putFile(file, MessageFileBytes(m.withRecipient()));
        const QString script = QStringLiteral(R"(
import email, email.policy, json, sys
msg = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.default)
html = msg.get_body(preferencelist=('html',))
parts = [{'type': p.get_content_type(), 'cid': str(p['Content-ID'] or ''), 'size': len(p.get_payload(decode=True) or b'')}
         for p in msg.walk() if p.get_content_maintype() == 'image']
print(json.dumps({'type': msg.get_content_type(), 'html': html.get_content() if html else '', 'images': parts,
                  'defects': [type(d).__name__ for p in msg.walk() for d in p.defects]}))
)");
        QProcess python;
        python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), script, file});
        QVERIFY(python.waitForFinished(60000));
        QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
        const QJsonObject r = QJsonDocument::fromJson(python.readAllStandardOutput()).object();
        const QJsonArray images = r["images"].toArray();
        QCOMPARE(images.size(), 1);
        const QJsonObject image = images.at(0).toObject();
        QCOMPARE(image["type"].toString(), QStringLiteral("image/gif"));
        QCOMPARE(image["size"].toInt(), kRedGif.size());
        QString cid = image["cid"].toString();
        cid = cid.mid(1, cid.size() - 2); // without its angle brackets
        const QString html = r["html"].toString();
        QVERIFY2(html.contains("src=\"cid:" + cid + "\""), qPrintable(html));
        QVERIFY2(html.contains("<i>Dear Anna"), qPrintable(html)); // merged, formatting kept
        QCOMPARE(r["defects"].toArray(), QJsonArray());
    }
};

QTEST_MAIN(TestHtmlEditor)
#include "tst_htmleditor.moc"
