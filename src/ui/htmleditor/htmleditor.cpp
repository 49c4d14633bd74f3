#include "htmleditor.h"
#include "sending/activecontent.h"

#include "colorchoice.h"
#include "editorpage.h"
#include "htmlfragments.h"
#include "ttables.h"

#include "project/project.h"
#include "settings/syscharset.h"
#include "settings/textfile.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"
#include "ui/common/shellopen.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QFontComboBox>
#include <QHBoxLayout>
#include <QImageReader>
#include <QTemporaryDir>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QRegularExpression>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QNetworkAccessManager>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineView>

namespace varnholt {

namespace {

// Our scripts run in their own world: the edited document's scripts can
// neither see the channel nor fake its reports.
constexpr quint32 kEditorWorld = QWebEngineScript::ApplicationWorld;

// Shown over an empty body; never part of the document.
const QString kPlaceholder = QStringLiteral("Type the HTML message here. \"Insert\" adds a merge field at the caret.");

// A JavaScript literal of a string (JSON strings are JavaScript strings).
QString jsString(const QString &text)
{
    const QByteArray json = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.mid(1, json.size() - 2));
}

QString readResource(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

// A picture's address as a local path; empty for other sites.
QString localPathOf(const QString &source)
{
    const QUrl url(source);
    if (url.isLocalFile())
        return url.toLocalFile();
    if (url.scheme().isEmpty() || (url.scheme().size() == 1 && source.at(1) == u':'))
        return source;
    return {};
}

// Whether a body holds nothing a reader would see: no text, no picture,
// no table or rule.
bool isBlankBody(const QString &source)
{
    const qsizetype open = source.indexOf(QStringLiteral("<body"), 0, Qt::CaseInsensitive);
    const qsizetype start = open < 0 ? 0 : source.indexOf(u'>', open) + 1;
    qsizetype end = source.indexOf(QStringLiteral("</body"), start, Qt::CaseInsensitive);
    if (end < 0)
        end = source.size();
    static const QRegularExpression seen(QStringLiteral("<(img|table|hr|iframe|object|embed|video|input)\\b"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QString body = source.mid(start, end - start);
    if (body.contains(seen))
        return false;
    static const QRegularExpression tag(QStringLiteral("<[^>]*>"));
    QString text = body;
    text.remove(tag);
    text.replace(QStringLiteral("&nbsp;"), QStringLiteral(" "));
    return text.trimmed().isEmpty();
}

QString attributeUnescaped(QString value)
{
    value.replace(QStringLiteral("&quot;"), QStringLiteral("\""));
    value.replace(QStringLiteral("&lt;"), QStringLiteral("<"));
    value.replace(QStringLiteral("&gt;"), QStringLiteral(">"));
    value.replace(QStringLiteral("&amp;"), QStringLiteral("&"));
    return value;
}

QString attributeEscaped(QString value)
{
    value.replace(u'&', QStringLiteral("&amp;"));
    value.replace(u'"', QStringLiteral("&quot;"));
    return value;
}

} // namespace

// The object the document's script reports to.
class EditorBridge : public QObject
{
    Q_OBJECT
public:
    explicit EditorBridge(THtmlEditor *editor)
        : QObject(editor)
        , m_editor(editor)
    {
    }

public slots:
    void reportSource(const QString &source) { m_editor->reportSource(source); }
    void reportSelection(int fontSize, const QString &fontName) { m_editor->reportSelection(fontSize, fontName); }

private:
    THtmlEditor *m_editor;
};

THtmlEditor::THtmlEditor(QWidget *parent)
    : QWidget(parent)
{
    m_view = new QWebEngineView(this);
    m_view->setObjectName(QStringLiteral("htmlView"));
    // The document's own scripts never run, and it reaches no file
    // outside the project's folder and nothing on the network.
    m_page = new EditorPage([this] { return m_project ? m_project->folder() : QString(); }, m_view);
    m_view->setPage(m_page);

    auto *channel = new QWebChannel(m_page);
    channel->registerObject(QStringLiteral("editor"), new EditorBridge(this));
    m_page->setWebChannel(channel, kEditorWorld);

    QWebEngineScript script;
    script.setName(QStringLiteral("varnholt-editor"));
    script.setWorldId(kEditorWorld);
    script.setInjectionPoint(QWebEngineScript::DocumentReady);
    script.setRunsOnSubFrames(false);
    script.setSourceCode(readResource(QStringLiteral(":/qtwebchannel/qwebchannel.js"))
                         + readResource(QStringLiteral(":/htmleditor/editorbridge.js")));
    m_page->scripts().insert(script);

    // A navigation the page refused (a meta refresh of the document) is
    // started and finished too, and leaves the document as it was: only
    // the editor's own navigations replace it.
    connect(m_page, &EditorPage::navigationAccepted, this, &THtmlEditor::leaveDocument);
    connect(m_page, &QWebEnginePage::loadStarted, this, &THtmlEditor::watchFocusProxy);
    connect(m_page, &QWebEnginePage::loadFinished, this, &THtmlEditor::loadFinished);
    connect(m_page, &QWebEnginePage::renderProcessTerminated, this,
            [this](QWebEnginePage::RenderProcessTerminationStatus status, int) {
                m_present = false;
                if (status != QWebEnginePage::NormalTerminationStatus)
                    emit browserUnavailable();
            });

    // Drops and the Enter key reach the view's focus proxy (the browser's
    // own widget) or the view itself.
    m_view->installEventFilter(this);
    watchFocusProxy();

    buildToolBar();
}

THtmlEditor::~THtmlEditor()
{
    // The page answers the scripts still pending as it goes: they must
    // find this editor whole and see that their document is gone.
    ++m_loadNumber;
    m_present = false;
    // The project may be gone before its window's children: from here on
    // the page is told of no project folder.
    m_project = nullptr;
    m_page->disconnect(this);
    m_view->removeEventFilter(this);
    if (m_watchedProxy)
        m_watchedProxy->removeEventFilter(this);
    delete m_view;
    m_view = nullptr;
}

void THtmlEditor::watchFocusProxy()
{
    QWidget *proxy = m_view->focusProxy();
    if (proxy && proxy != m_watchedProxy) {
        proxy->installEventFilter(this);
        m_watchedProxy = proxy;
    }
}

const QString &THtmlEditor::mergeFieldDragType()
{
    static const QString type = QStringLiteral("application/x-varnholt-merge-field-box");
    return type;
}

bool THtmlEditor::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_view) {
        if (event->type() == QEvent::ChildAdded || event->type() == QEvent::ChildPolished)
            watchFocusProxy();
        else if ((event->type() == QEvent::Resize || event->type() == QEvent::Move) && m_placeholder
                 && !m_placeholder->isHidden())
            updatePlaceholder();
    } else if (watched != m_watchedProxy) {
        return QWidget::eventFilter(watched, event);
    }
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
        return filterDrag(watched, event);
    case QEvent::KeyPress:
        if (tabKey(static_cast<QKeyEvent *>(event)))
            return true;
        return swapEnter(watched, static_cast<QKeyEvent *>(event));
    case QEvent::KeyRelease:
        return swapEnter(watched, static_cast<QKeyEvent *>(event));
    default:
        return QWidget::eventFilter(watched, event);
    }
}

// Tab and Shift+Tab leave the document for the next or the previous
// control, as they leave the plain-text editor; Ctrl+Tab types a tab.
bool THtmlEditor::tabKey(QKeyEvent *key)
{
    const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
    if (key->key() == Qt::Key_Tab && modifiers == Qt::ControlModifier) {
        insertTab();
        return true;
    }
    const bool forward = key->key() == Qt::Key_Tab && modifiers == Qt::NoModifier;
    const bool back = key->key() == Qt::Key_Backtab || (key->key() == Qt::Key_Tab && modifiers == Qt::ShiftModifier);
    if (!forward && !back)
        return false;
    focusNextPrevChild(forward);
    return true;
}

// Only a merge field from the project window's merge field box may be
// dropped from outside: anything else (a file would navigate the browser
// away from the body, text would bypass the editor's commands) is refused.
// A selection dragged within the document stays the browser's business.
bool THtmlEditor::filterDrag(QObject *watched, QEvent *event)
{
    auto *drop = static_cast<QDropEvent *>(event);
    const QMimeData *data = drop->mimeData();
    if (auto *from = qobject_cast<QWidget *>(drop->source()); from && (from == m_view || m_view->isAncestorOf(from)))
        return false;
    if (!m_present || !data || !data->hasFormat(mergeFieldDragType())) {
        drop->setDropAction(Qt::IgnoreAction);
        drop->ignore();
        return true;
    }
    drop->setDropAction(Qt::CopyAction);
    drop->accept();
    if (event->type() == QEvent::Drop) {
        QPointF at = drop->position();
        if (watched != m_view)
            at = static_cast<QWidget *>(watched)->mapTo(m_view, at);
        dropMergeField(at, QString::fromUtf8(data->data(mergeFieldDragType())));
    }
    return true;
}

// Enter inserts a line break and Shift+Enter a new paragraph, the reverse
// of the browser's own behaviour, so that a mail's lines stay close. The
// key is swapped only while the pointer is over the editor and neither
// font box is busy with the keyboard; otherwise the browser gets it as it
// came.
bool THtmlEditor::swapEnter(QObject *watched, QKeyEvent *event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const auto others = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    if (!enter || m_swappingEnter || (event->modifiers() & others) || !enterSwapApplies())
        return false;
    QKeyEvent swapped(event->type(), event->key(), event->modifiers() ^ Qt::ShiftModifier,
                      event->nativeScanCode(), event->nativeVirtualKey(), event->nativeModifiers(),
                      event->text(), event->isAutoRepeat(), event->count());
    m_swappingEnter = true;
    QCoreApplication::sendEvent(watched, &swapped);
    m_swappingEnter = false;
    event->setAccepted(swapped.isAccepted());
    return true;
}

bool THtmlEditor::enterSwapApplies() const
{
    if (!m_present || !m_view->isVisible())
        return false;
    for (const QComboBox *box : {static_cast<QComboBox *>(m_fontBox), m_sizeBox}) {
        if (box->hasFocus() || box->view()->isVisible())
            return false;
    }
    return m_view->rect().contains(m_view->mapFromGlobal(QCursor::pos()));
}

void THtmlEditor::buildToolBar()
{
    auto *bar = new QHBoxLayout;
    bar->setSpacing(2);
    auto button = [this, bar](const QString &name, const QString &caption, const QString &hint, auto action) {
        auto *b = new QToolButton(this);
        b->setObjectName(name);
        b->setText(caption);
        b->setToolTip(hint);
        b->setAutoRaise(true);
        b->setAccessibleName(hint.isEmpty() ? caption : hint);
        // A click leaves the focus (and the selection) in the document;
        // Tab reaches the button for a keyboard user, and the command
        // gives the document its focus back.
        b->setFocusPolicy(Qt::TabFocus);
        connect(b, &QToolButton::clicked, this, action);
        bar->addWidget(b);
        return b;
    };
    auto command = [this](const QString &name) { return [this, name] { runCommand(name); }; };

    button(QStringLiteral("importHtml"), QStringLiteral("Import"), QStringLiteral("Import message from html file"),
           [this] { importHtml(); });
    bar->addSpacing(6);
    m_fontBox = new QFontComboBox(this);
    m_fontBox->setObjectName(QStringLiteral("fontBox"));
    m_fontBox->setToolTip(QStringLiteral("Fonts"));
    m_fontBox->setEditable(false);
    m_fontBox->setFocusPolicy(Qt::TabFocus);
    m_fontBox->setAccessibleName(QStringLiteral("Fonts"));
    connect(m_fontBox, &QComboBox::activated, this, [this] { runCommand(QStringLiteral("FontName"), m_fontBox->currentText()); });
    bar->addWidget(m_fontBox);
    m_sizeBox = new QComboBox(this);
    m_sizeBox->setObjectName(QStringLiteral("fontSizeBox"));
    m_sizeBox->setToolTip(QStringLiteral("Font Size"));
    m_sizeBox->addItems(FontSizeEntries());
    // Until the selection tells otherwise: the browser's own size, 3.
    m_sizeBox->setCurrentIndex(2);
    m_sizeBox->setFocusPolicy(Qt::TabFocus);
    m_sizeBox->setAccessibleName(QStringLiteral("Font Size"));
    connect(m_sizeBox, &QComboBox::activated, this,
            [this](int index) { runCommand(QStringLiteral("FontSize"), QString::number(FontSizeCommandValue(index))); });
    bar->addWidget(m_sizeBox);
    bar->addSpacing(6);
    QFont bold = font();
    bold.setBold(true);
    button(QStringLiteral("bold"), QStringLiteral("B"), QStringLiteral("Bold"), command(QStringLiteral("Bold")))->setFont(bold);
    QFont italic = font();
    italic.setItalic(true);
    button(QStringLiteral("italic"), QStringLiteral("I"), QStringLiteral("Italic"), command(QStringLiteral("Italic")))->setFont(italic);
    QFont underline = font();
    underline.setUnderline(true);
    button(QStringLiteral("underline"), QStringLiteral("U"), QStringLiteral("Underlined"), command(QStringLiteral("Underline")))
        ->setFont(underline);
    button(QStringLiteral("fontColor"), QStringLiteral("Colour"), QStringLiteral("Font colors"), [this] { chooseFontColor(); });
    bar->addSpacing(6);
    button(QStringLiteral("justifyLeft"), QStringLiteral("Left"), QStringLiteral("Left"), command(QStringLiteral("JustifyLeft")));
    button(QStringLiteral("justifyCenter"), QStringLiteral("Center"), QStringLiteral("Center"), command(QStringLiteral("JustifyCenter")));
    button(QStringLiteral("justifyRight"), QStringLiteral("Right"), QStringLiteral("Right"), command(QStringLiteral("JustifyRight")));
    button(QStringLiteral("outdent"), QStringLiteral("<<"), QStringLiteral("Outdent"), command(QStringLiteral("Outdent")));
    button(QStringLiteral("indent"), QStringLiteral(">>"), QStringLiteral("Indent"), command(QStringLiteral("Indent")));
    bar->addSpacing(6);
    button(QStringLiteral("insertImage"), QStringLiteral("Image"), QStringLiteral("Insert image"), [this] { choosePicture(); });
    button(QStringLiteral("insertLink"), QStringLiteral("Link"), QStringLiteral("Insert link"), [this] { createLink(); });
    button(QStringLiteral("insertTable"), QStringLiteral("Table"), QStringLiteral("Insert table"), [this] { chooseTable(); });
    button(QStringLiteral("fillBackground"), QStringLiteral("Background"), QStringLiteral("Fill background"),
           [this] { chooseBackground(); });
    bar->addStretch();
    button(QStringLiteral("openInBrowser"), QStringLiteral("Browser"), QStringLiteral("Open in browser"),
           [this] { openInBrowser(); });

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addLayout(bar);
    layout->addWidget(m_view, 1);

    // The placeholder lies over the view, out of the document and of the
    // mouse's way.
    m_placeholder = new QLabel(kPlaceholder, this);
    m_placeholder->setObjectName(QStringLiteral("htmlPlaceholder"));
    m_placeholder->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_placeholder->setForegroundRole(QPalette::PlaceholderText);
    m_placeholder->setWordWrap(true);
    m_placeholder->hide();
    connect(this, &THtmlEditor::sourceChanged, this, &THtmlEditor::updatePlaceholder);
    connect(this, &THtmlEditor::documentReady, this, &THtmlEditor::updatePlaceholder);
}

bool THtmlEditor::placeholderShown() const
{
    return !m_placeholder->isHidden();
}

void THtmlEditor::updatePlaceholder()
{
    const bool show = m_present && isBlankBody(m_source);
    if (show) {
        const QRect area = m_view->geometry();
        m_placeholder->setGeometry(area.x() + 10, area.y() + 8, std::max(area.width() - 20, 0),
                                   m_placeholder->heightForWidth(std::max(area.width() - 20, 40)));
        m_placeholder->raise();
    }
    m_placeholder->setVisible(show);
}

void THtmlEditor::setProject(const Project *project)
{
    m_project = project;
}

QString THtmlEditor::projectStem() const
{
    return m_project ? m_project->folder() + m_project->name() : QString();
}

QString THtmlEditor::htmlFile() const
{
    return m_project ? m_project->htmlFile() : QString();
}

QString THtmlEditor::pictureFolder() const
{
    return projectStem();
}

// The value an <img src> gets for a picture: its path from the folder of
// N.htm when it lies there (the picture folder does), so the project can be
// moved or copied with its pictures; else its file address. The sending run
// reads both back as the file.
QString THtmlEditor::pictureReference(const QString &path) const
{
    const QString file = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QString folder = QFileInfo(htmlFile()).absolutePath();
    if (!htmlFile().isEmpty() && IsInsideFolder(file, folder))
        return QDir(folder).relativeFilePath(file);
    return QStringLiteral("file://") + file;
}

QString THtmlEditor::carriedPictures(const QString &source, const QString &oldHtmlFile,
                                     const QString &oldPictureFolder)
{
    const QString oldFolder = QFileInfo(oldHtmlFile).absolutePath();
    const QString newFolder = QFileInfo(htmlFile()).absolutePath();
    static const QRegularExpression reference(QStringLiteral("(\\s(?:src|background)=\")([^\"]*)\""),
                                              QRegularExpression::CaseInsensitiveOption);
    QString carried;
    qsizetype done = 0;
    for (auto match = reference.globalMatch(source); match.hasNext();) {
        const QRegularExpressionMatch m = match.next();
        const QString value = attributeUnescaped(m.captured(2));
        if (value.isEmpty() || value.contains(QStringLiteral("://")) || value.startsWith(u'/')
            || value.startsWith(QStringLiteral("data:"), Qt::CaseInsensitive))
            continue;
        const QString file = QDir::cleanPath(oldFolder + u'/' + value);
        // The project's own pictures move with it; a picture beside the old
        // N.htm that the new place no longer reaches comes along too.
        const bool own = IsInsideFolder(file, oldPictureFolder);
        if (!own && QFileInfo(QDir::cleanPath(newFolder + u'/' + value)) == QFileInfo(file))
            continue;
        const QString relative = own ? QDir(oldPictureFolder).relativeFilePath(file) : QFileInfo(file).fileName();
        const auto copy = copyIntoPictureFolder(file, relative);
        if (!copy)
            continue;
        carried += QStringView(source).mid(done, m.capturedStart(2) - done);
        carried += attributeEscaped(pictureReference(*copy));
        done = m.capturedEnd(2);
    }
    if (done == 0)
        return source;
    carried += QStringView(source).mid(done);
    return carried;
}

bool THtmlEditor::followProject(const QString &oldHtmlFile, const QString &oldPictureFolder)
{
    if (htmlFile() == oldHtmlFile)
        return true;
    if (m_present) {
        m_source = carriedPictures(m_source, oldHtmlFile, oldPictureFolder);
        if (!writeHtml())
            return false;
    } else {
        // The browser has not shown the document yet: the file goes along.
        QFile old(oldHtmlFile);
        if (!old.exists())
            return true;
        if (!old.open(QIODevice::ReadOnly))
            return false;
        const QString source = SystemCharset::toUnicode(old.readAll());
        if (!writeFileAtomically(htmlFile(), SystemCharset::fromUnicode(
                                                 carriedPictures(source, oldHtmlFile, oldPictureFolder)))) {
            ShowMessageBox(QStringLiteral("Fail to save HTML source"), QStringLiteral("Error"), mbOk);
            return false;
        }
        if (!m_loadPending)
            return true;
    }
    // Shown from its new place, so relative pictures are found there.
    navigate(QUrl::fromLocalFile(htmlFile()));
    return true;
}

// ---- documents -------------------------------------------------------------------

void THtmlEditor::fillAtLoad(bool htmlFormat)
{
    m_present = false;
    m_importPending = false;
    m_pageFilled = false;
    m_pendingText.reset();
    m_source.clear();
    m_savedSource.clear();
    if (!htmlFormat)
        return;
    if (QFileInfo(htmlFile()).isFile())
        navigate(QUrl::fromLocalFile(htmlFile()));
    else
        makeBlank();
}

void THtmlEditor::showFirstTime(const QString &plainText)
{
    m_pageFilled = true;
    if (QFileInfo(htmlFile()).isFile()) {
        navigate(QUrl::fromLocalFile(htmlFile()));
        return;
    }
    // A new message starts empty; the placeholder says what goes there.
    if (!plainText.isEmpty())
        m_pendingText = plainText;
    if (m_present && m_pendingText)
        writePendingText();
    else
        makeBlank();
}

void THtmlEditor::makeBlank()
{
    if (m_present) {
        runScript(QStringLiteral("document.body.innerHTML = ''; varnholtEditor.source()"), [this](const QVariant &s) {
            m_source = s.toString();
            updatePlaceholder();
        });
        return;
    }
    // A blank document placed at N.htm, so that pictures of the project
    // are found as they will be once it is saved there.
    leaveDocument();
    m_page->openHtml(QStringLiteral("<html><body></body></html>"), QUrl::fromLocalFile(htmlFile()));
}

void THtmlEditor::writePendingText()
{
    const QString text = *std::exchange(m_pendingText, std::nullopt);
    runScript(QStringLiteral("varnholtEditor.writeText(%1); varnholtEditor.source()").arg(jsString(text)),
              [this](const QVariant &s) {
                  m_source = s.toString();
                  emit sourceChanged();
              });
}

// Before the editor shows another document: the present one goes, and with
// it the scripts and the pictures still being fetched for it.
void THtmlEditor::leaveDocument()
{
    m_present = false;
    if (m_placeholder)
        m_placeholder->hide();
    m_loadPending = true;
    ++m_loadNumber;
    for (const QPointer<PictureDownload> &download : std::as_const(m_downloads))
        if (download)
            download->abort();
}

void THtmlEditor::navigate(const QUrl &url)
{
    leaveDocument();
    m_page->openDocument(url);
}

void THtmlEditor::loadFinished(bool ok)
{
    if (!ok || !std::exchange(m_loadPending, false))
        return;
    const quint64 load = m_loadNumber;
    m_page->runJavaScript(QStringLiteral("varnholtEditor.start()"), kEditorWorld, [this, load](const QVariant &result) {
        if (load != m_loadNumber || !result.isValid())
            return;
        m_source = result.toString();
        m_savedSource = m_source;
        m_present = true;
        // Taken before telling: an observer may start the next import.
        const int tool = std::exchange(m_importPending, false) ? 5 : 6;
        emit documentReady();
        QMetaObject::invokeMethod(this, [this, tool] { emit toolRequested(tool); }, Qt::QueuedConnection);
        if (m_pendingText)
            writePendingText();
    });
}

void THtmlEditor::runScript(const QString &script, const std::function<void(const QVariant &)> &done)
{
    if (!m_present)
        return;
    const quint64 load = m_loadNumber;
    m_page->runJavaScript(script, kEditorWorld, [this, load, done](const QVariant &result) {
        if (load == m_loadNumber && done)
            done(result);
    });
}

void THtmlEditor::reportSource(const QString &source)
{
    if (!m_present)
        return;
    m_source = source;
    emit sourceChanged();
}

void THtmlEditor::reportSelection(int fontSize, const QString &fontName)
{
    // The boxes follow the selection without running their commands.
    if (fontSize >= 1 && fontSize <= m_sizeBox->count() && m_sizeBox->currentIndex() != fontSize - 1)
        m_sizeBox->setCurrentIndex(fontSize - 1);
    QString name = fontName;
    if (name.size() >= 2 && (name.startsWith(u'"') || name.startsWith(u'\'')))
        name = name.mid(1, name.size() - 2);
    if (!name.isEmpty() && m_fontBox->currentText() != name) {
        const int i = m_fontBox->findText(name, Qt::MatchFixedString);
        if (i >= 0)
            m_fontBox->setCurrentIndex(i);
    }
}

bool THtmlEditor::htmlChanged() const
{
    return m_present && (!QFileInfo(htmlFile()).isFile() || m_source != m_savedSource);
}

bool THtmlEditor::writeHtml()
{
    const QString html = WithCharsetMeta(m_source, QString::fromLatin1(SystemCharset::name()));
    if (!writeFileAtomically(htmlFile(), SystemCharset::fromUnicode(html))) {
        ShowMessageBox(QStringLiteral("Fail to save HTML source"), QStringLiteral("Error"), mbOk);
        return false;
    }
    m_savedSource = m_source;
    return true;
}

// ---- commands ------------------------------------------------------------------

void THtmlEditor::runCommand(const QString &name, const QString &value)
{
    runEdit(QString(), name, value);
}

// An editing command after the script `prelude` (which may move the caret).
void THtmlEditor::runEdit(const QString &prelude, const QString &name, const QString &value)
{
    if (!m_present)
        return;
    m_view->setFocus();
    runScript(prelude + QStringLiteral("varnholtEditor.command(%1, %2); varnholtEditor.source()").arg(jsString(name), jsString(value)),
              [this](const QVariant &s) {
                  m_source = s.toString();
                  emit sourceChanged();
                  emit changed();
              });
}

void THtmlEditor::insertMergeField(const QString &field)
{
    // Typed in as text rather than pasted: the user's clipboard stays theirs.
    runCommand(QStringLiteral("insertText"), field);
}

void THtmlEditor::dropMergeField(const QPointF &viewPos, const QString &field)
{
    // The page's CSS pixels are the view's pixels divided by its zoom.
    const qreal zoom = m_page->zoomFactor() > 0 ? m_page->zoomFactor() : 1.0;
    runEdit(QStringLiteral("varnholtEditor.placeCaretAt(%1, %2); ")
                .arg(viewPos.x() / zoom, 0, 'f', 1)
                .arg(viewPos.y() / zoom, 0, 'f', 1),
            QStringLiteral("insertText"), field);
}

void THtmlEditor::insertTab()
{
    // A tab that keeps its width in any reader.
    insertHtml(QStringLiteral("<span style=\"white-space:pre\">\t</span>"));
}

void THtmlEditor::insertHtml(const QString &fragment)
{
    runCommand(QStringLiteral("insertHTML"), fragment);
}

void THtmlEditor::setBackgroundColor(const QString &colorValue)
{
    if (!m_present)
        return;
    runScript(QStringLiteral("document.bgColor = %1; varnholtEditor.source()").arg(jsString(colorValue)),
              [this](const QVariant &s) {
                  m_source = s.toString();
                  emit sourceChanged();
                  emit changed();
              });
}

std::optional<QString> THtmlEditor::copyIntoPictureFolder(const QString &source, const QString &relative)
{
    const QString folder = pictureFolder();
    if (folder.isEmpty() || relative.isEmpty())
        return std::nullopt;
    const QString target = QDir::cleanPath(folder + u'/' + relative);
    // Whatever the name, a copy never lands outside the picture folder.
    if (!IsInsideFolder(target, folder) || !QDir().mkpath(QFileInfo(target).absolutePath()))
        return std::nullopt;
    const QFileInfo from(source);
    // Only a picture comes in: whatever lands here goes out inline with
    // every message, and a page may name any file of the disk as a picture.
    if (!from.isFile() || QImageReader::imageFormat(source).isEmpty())
        return std::nullopt;
    if (from.canonicalFilePath() == QFileInfo(target).canonicalFilePath())
        return target; // the picture is its own copy already
    if (QFileInfo::exists(target) && !QFile::remove(target))
        return std::nullopt;
    if (!QFile::copy(source, target))
        return std::nullopt;
    return target;
}

void THtmlEditor::fetchPictures(const QList<PictureDownload::Item> &items,
                                std::function<void(const QList<bool> &)> done)
{
    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    auto *download = new PictureDownload(*m_network, items, m_downloadTimeLimit, this);
    m_downloads.append(download);
    connect(download, &PictureDownload::finished, this, [this, download, done](const QList<bool> &stored) {
        m_downloads.removeAll(download);
        download->deleteLater();
        done(stored);
        const int fetched = int(stored.count(true));
        emit picturesFetched(fetched, int(stored.size()) - fetched);
    });
}

bool THtmlEditor::insertPicture(const QString &path)
{
    if (!m_present)
        return false;
    if (const QUrl address = WebPictureAddress(path); address.isValid()) {
        const QString folder = pictureFolder();
        if (folder.isEmpty())
            return false;
        const QString target = QDir::cleanPath(folder + u'/' + SafePictureFileName(address));
        const quint64 load = m_loadNumber;
        fetchPictures({{address, target}}, [this, load, target](const QList<bool> &stored) {
            // The document it was meant for must still be there.
            if (stored.value(0) && load == m_loadNumber)
                runCommand(QStringLiteral("InsertImage"), pictureReference(target));
        });
        return true;
    }
    const QString local = localPathOf(path);
    const auto copy = copyIntoPictureFolder(local, local.mid(local.lastIndexOf(u'/') + 1));
    if (!copy)
        return false;
    runCommand(QStringLiteral("InsertImage"), pictureReference(*copy));
    return true;
}

// ---- import ----------------------------------------------------------------------

void THtmlEditor::importHtml()
{
    const auto chosen = ShowFileDialog(this, FileDialogKind::Open, QStringLiteral("Import message from html file"),
                                       htmlFile(), QStringLiteral("htm (*.htm *html);;All (*)"));
    if (chosen)
        importHtmlFile(*chosen);
}

void THtmlEditor::importHtmlFile(const QString &file)
{
    m_importPending = true;
    m_pendingText.reset();
    navigate(QUrl::fromLocalFile(file));
}

void THtmlEditor::makePicturesLocal()
{
    if (!m_present)
        return;
    const quint64 load = m_loadNumber;
    runScript(QStringLiteral("[document.URL, varnholtEditor.pictureSources()]"), [this, load](const QVariant &result) {
        const QVariantList parts = result.toList();
        if (parts.size() != 2)
            return;
        const QString documentFolder = QFileInfo(localPathOf(parts.at(0).toString())).absolutePath();
        QStringList sources;
        // Pictures on the web are fetched, each address once, by its file
        // name alone; `fetchOf` maps a picture to its download.
        QList<PictureDownload::Item> downloads;
        QList<int> fetchOf;
        for (const QVariant &picture : parts.at(1).toList()) {
            sources.append(QString());
            fetchOf.append(-1);
            if (const QUrl address = WebPictureAddress(picture.toString()); address.isValid()) {
                if (pictureFolder().isEmpty())
                    continue;
                const auto same = std::find_if(downloads.cbegin(), downloads.cend(),
                                               [&](const PictureDownload::Item &d) { return d.address == address; });
                fetchOf.last() = int(same - downloads.cbegin());
                if (same == downloads.cend())
                    downloads.append({address, QDir::cleanPath(pictureFolder() + u'/' + SafePictureFileName(address))});
                continue;
            }
            const QString local = localPathOf(picture.toString());
            const auto relative = local.isEmpty() ? std::nullopt : ImportedPictureRelativePath(local, documentFolder);
            if (const auto copy = relative ? copyIntoPictureFolder(local, *relative) : std::nullopt)
                sources.last() = pictureReference(*copy);
        }
        if (downloads.isEmpty()) {
            finishImport(load, sources);
            return;
        }
        fetchPictures(downloads, [this, load, sources, fetchOf, downloads](const QList<bool> &stored) mutable {
            // A picture that could not be fetched keeps its address.
            for (qsizetype i = 0; i < sources.size(); ++i) {
                const int d = fetchOf.at(i);
                if (d >= 0 && stored.value(d))
                    sources[i] = pictureReference(downloads.at(d).target);
            }
            finishImport(load, sources);
        });
    });
}

// The end of making imported pictures local: the new sources and the
// title into the document, then N.htm written and shown.
void THtmlEditor::finishImport(quint64 load, const QStringList &sources)
{
    if (load != m_loadNumber || !m_present)
        return;
    const QString script = QStringLiteral("varnholtEditor.setPictureSources(%1, %2)")
                               .arg(QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(sources))
                                                          .toJson(QJsonDocument::Compact)),
                                    jsString(m_project ? m_project->name() : QString()));
    runScript(script, [this](const QVariant &source) {
        m_source = source.toString();
        if (writeHtml())
            navigate(QUrl::fromLocalFile(htmlFile()));
        m_importPending = false;
    });
}

// ---- dialogs ---------------------------------------------------------------------

void THtmlEditor::chooseFontColor()
{
    if (!m_present)
        return;
    if (const auto rgb = ChooseColor(this, projectStem() + QStringLiteral(".hcr")))
        runCommand(QStringLiteral("ForeColor"), ColorValue(*rgb));
}

void THtmlEditor::chooseBackground()
{
    if (!m_present)
        return;
    if (const auto rgb = ChooseColor(this, projectStem() + QStringLiteral(".hcr")))
        setBackgroundColor(ColorValue(*rgb));
}

void THtmlEditor::choosePicture()
{
    if (!m_present)
        return;
    const auto chosen = ShowFileDialog(this, FileDialogKind::Open, QStringLiteral("Insert image"), QString(),
                                       QStringLiteral("Pictures (*.gif *.jpg *.jpeg *.bmp *.ico *.emf *.wmf "
                                                      "*.png);;All (*)"));
    if (chosen)
        insertPicture(*chosen);
}

void THtmlEditor::chooseTable()
{
    if (!m_present)
        return;
    T_Tables dialog(projectStem(), this);
    if (dialog.exec() == QDialog::Accepted)
        insertHtml(dialog.fragment());
}

void THtmlEditor::createLink()
{
    if (!m_present)
        return;
    bool ok = false;
    const QString address = QInputDialog::getText(this, QStringLiteral("Insert link"), QStringLiteral("URL:"),
                                                  QLineEdit::Normal, QStringLiteral("http://"), &ok);
    if (ok && !address.isEmpty())
        runCommand(QStringLiteral("CREATELINK"), address);
}

void THtmlEditor::openInBrowser()
{
    // The browser gets a copy in a folder of its own, as the recipients
    // will get the text: without scripts (which a browser would run with
    // the user's rights) and without writing N.htm, which only "Save"
    // does. Its pictures are found beside the project as before.
    if (!m_present)
        return;
    if (!m_browserCopies)
        m_browserCopies = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/varnholt-XXXXXX"));
    if (!m_browserCopies->isValid())
        return;
    const QString name = m_project ? m_project->name() : QStringLiteral("message");
    const QString copy = m_browserCopies->filePath(name + QStringLiteral(".htm"));
    const QString base =
        QUrl::fromLocalFile(QDir(m_project ? m_project->folder() : QDir::homePath()).absolutePath() + u'/')
            .toString(QUrl::FullyEncoded);
    QString html = RemoveActiveContent(WithCharsetMeta(m_source, QStringLiteral("utf-8"))).html;
    // The base goes after a DOCTYPE, which must stay first.
    const qsizetype doctype =
        html.trimmed().startsWith(QStringLiteral("<!doctype"), Qt::CaseInsensitive) ? html.indexOf(u'>') + 1 : 0;
    html.insert(doctype, QStringLiteral("<base href=\"%1\">").arg(base.toHtmlEscaped()));
    if (!writeFileAtomically(copy, html.toUtf8()))
        return;
    OpenWithDefaultApplication(copy);
}

} // namespace varnholt

#include "htmleditor.moc"
