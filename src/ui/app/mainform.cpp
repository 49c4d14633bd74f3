#include "mainform.h"

#include "aboutbox.h"
#include "desktopstart.h"

#include "settings/programfolder.h"
#include "settings/settings.h"
#include "ui/common/childwindows.h"
#include "ui/common/filedialogs.h"
#include "ui/common/languageswitch.h"
#include "ui/common/messagebox.h"
#include "ui/common/msglanguage.h"
#include "ui/htmleditor/htmleditor.h"
#include "ui/project/newmod2messageform.h"
#include "ui/sending/postsrv.h"

#ifdef VARNHOLT_HAVE_PREFERENCES
#include "ui/settings/fpref.h"
#endif

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QKeyEvent>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPainter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QUrl>

namespace varnholt {

namespace {

enum : int {
    msgFileNotFound = 0, msgAttention = 1, msgOpenProject = 2, msgNoConnection = 3, msgError = 4,
    msgQuit = 5, msgRelaunch = 6
};

QString ensureTrailingSlash(QString folder)
{
    if (!folder.isEmpty() && !folder.endsWith(u'/'))
        folder += u'/';
    return folder;
}

// The folder part of a path, ending with "/" ("" when there is none).
QString folderPart(const QString &path)
{
    const qsizetype cut = path.lastIndexOf(u'/');
    return cut < 0 ? QString() : path.left(cut + 1);
}

// The desktop's key for a standard command; `fallback` where the desktop
// has none (some have no key for "Save As" or "Quit").
QList<QKeySequence> standardKeys(QKeySequence::StandardKey key, const QKeySequence &fallback = {})
{
    QList<QKeySequence> keys = QKeySequence::keyBindings(key);
    if (keys.isEmpty() && !fallback.isEmpty())
        keys.append(fallback);
    return keys;
}

// A tool bar picture: the desktop theme's, else the one bundled with the
// program (icons/draw-icons.sh).
QIcon themeIcon(const QString &name)
{
    QIcon bundled;
    for (int size : {24, 48})
        bundled.addFile(QStringLiteral(":/varnholt/icons/%1-%2.png").arg(name).arg(size), QSize(size, size));
    return QIcon::fromTheme(name, bundled);
}

// The tile of the empty client area: a quiet diagonal pattern.
QPixmap backgroundTile()
{
    QPixmap tile(48, 48);
    tile.fill(QColor(0x5a, 0x6e, 0x82));
    QPainter p(&tile);
    p.setPen(QColor(0x66, 0x7a, 0x8e));
    for (int i = -48; i < 48; i += 12)
        p.drawLine(i, 48, i + 48, 0);
    return tile;
}

} // namespace

TMainForm::TMainForm(const CommandLine &commandLine, QWidget *parent)
    : QMainWindow(parent)
    , m_area(new QMdiArea(this))
    , m_msl(new TMsgLanguage(QStringLiteral("TMainForm"),
                             {QStringLiteral("File not found"), QStringLiteral("Attention"),
                              QStringLiteral("Open Project"), QStringLiteral("No Internet connection.."),
                              QStringLiteral("Error"), QStringLiteral("Do you want to quit the program?"),
                              QStringLiteral("Relaunch program, use main menu \"Edit/HTML Class Registration\" !")},
                             this))
    , m_commandLine(commandLine)
{
    setWindowTitle(QStringLiteral("Varnholt"));
    setWindowIcon(applicationIcon());
#ifdef VARNHOLT_HAVE_PREFERENCES
    m_preferences = [this](bool programWide) { return ShowPreferences(programWide, this); };
#endif
    m_area->setBackground(QBrush(backgroundTile()));
    m_area->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_area->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setCentralWidget(m_area);
    // Every window announces itself while it is built (this one below);
    // the language switch translates it once it is ready.
    m_languages = new LanguageSwitch(programSettings().iniInfo, ProgramFolder::path(), this);
    connect(&TranslationRegistry::instance(), &TranslationRegistry::windowCreated, m_languages,
            &LanguageSwitch::windowCreated);
    buildMenus();
    resize(1024, 768);

    // Empty: the file commands start in the default project folder.
    m_currentProjectPath.clear();
    m_recent.load(recentProjectsFile());
    rebuildReopenMenu();
    m_languages->setMenu(m_languageMenu);

    connect(m_area, &QMdiArea::subWindowActivated, this, &TMainForm::updateCommands);
    // A child window's own menu would claim Ctrl+W and Ctrl+F4 beside "Close
    // Project", and a key claimed twice does nothing: the menu bar keeps them.
    connect(m_area, &QMdiArea::subWindowActivated, this, [](QMdiSubWindow *sub) {
        if (sub && sub->systemMenu()) {
            for (QAction *command : sub->systemMenu()->actions())
                command->setShortcuts({});
        }
    });
    setProperty("translate", false); // the title names the active window
    TranslationRegistry::instance().announce(this, m_msl);
    QMetaObject::invokeMethod(this, &TMainForm::updateCommands, Qt::QueuedConnection);
    QMetaObject::invokeMethod(this, [this] { setEditState(0); }, Qt::QueuedConnection);
}

TMainForm::~TMainForm()
{
    // The children go after this object's own part is gone: their last
    // signals must not reach it.
    disconnect(m_area, nullptr, this, nullptr);
    for (QMdiSubWindow *sub : m_area->subWindowList())
        if (sub->widget())
            disconnect(sub->widget(), nullptr, this, nullptr);
}

QAction *TMainForm::addCommand(QMenu *menu, const QString &name, const QString &caption,
                              const QList<QKeySequence> &shortcuts)
{
    QAction *a = menu->addAction(caption);
    a->setObjectName(name);
    if (!shortcuts.isEmpty())
        a->setShortcuts(shortcuts);
    m_actions.insert(name, a);
    return a;
}

void TMainForm::buildMenus()
{
    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("fileMenu"));
    connect(addCommand(file, QStringLiteral("newProject"), QStringLiteral("&New Project"),
                       standardKeys(QKeySequence::New)),
            &QAction::triggered, this, &TMainForm::newProject);
    connect(addCommand(file, QStringLiteral("openProject"), QStringLiteral("&Open Project..."),
                       standardKeys(QKeySequence::Open)),
            &QAction::triggered, this, &TMainForm::openProject);
    m_reopen = file->addMenu(QStringLiteral("&Reopen"));
    m_reopen->setObjectName(QStringLiteral("reopen"));
    connect(addCommand(file, QStringLiteral("saveProject"), QStringLiteral("&Save Project"),
                       standardKeys(QKeySequence::Save)),
            &QAction::triggered, this, [this] { saveProject(false); });
    connect(addCommand(file, QStringLiteral("saveProjectAs"), QStringLiteral("Save Project &As..."),
                       standardKeys(QKeySequence::SaveAs, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S))),
            &QAction::triggered, this, [this] { saveProject(true); });
    connect(addCommand(file, QStringLiteral("closeProject"), QStringLiteral("&Close Project"),
                       standardKeys(QKeySequence::Close)),
            &QAction::triggered, this, &TMainForm::closeProject);
    file->addSeparator();
    connect(addCommand(file, QStringLiteral("projectOptions"), QStringLiteral("Pro&ject Options...")),
            &QAction::triggered, this, &TMainForm::projectOptions);
    // Named after the window it opens, so the screenshot tool finds it.
    connect(addCommand(file, QStringLiteral("preferences"), QStringLiteral("&Default Options...")),
            &QAction::triggered, this, &TMainForm::defaultOptions);
    file->addSeparator();
    QAction *exit = addCommand(file, QStringLiteral("exit"), QStringLiteral("E&xit"),
                               standardKeys(QKeySequence::Quit, QKeySequence(Qt::CTRL | Qt::Key_Q)));
    exit->setMenuRole(QAction::QuitRole);
    connect(exit, &QAction::triggered, this, &QWidget::close);

    QMenu *edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    edit->setObjectName(QStringLiteral("editMenu"));
    const struct {
        const char *name;
        const char *caption;
        QKeySequence::StandardKey key;
        int bit;
    } editCommands[] = {
        {"cut", "Cu&t", QKeySequence::Cut, 1},
        {"copy", "&Copy", QKeySequence::Copy, 2},
        {"paste", "&Paste", QKeySequence::Paste, 4},
        {"delete", "&Delete", QKeySequence::UnknownKey, 8},
        {"undo", "&Undo", QKeySequence::Undo, 16},
        {"redo", "&Redo", QKeySequence::Redo, 32},
    };
    for (const auto &c : editCommands) {
        QAction *a = addCommand(edit, QString::fromLatin1(c.name), QString::fromLatin1(c.caption),
                                c.key == QKeySequence::UnknownKey ? QList<QKeySequence>() : standardKeys(c.key));
        // The editor handles its own keys; the menu entries only serve the mouse.
        a->setShortcutContext(Qt::WidgetShortcut);
        a->setProperty("editBit", c.bit);
        const int bit = c.bit;
        connect(a, &QAction::triggered, this, [this, bit] {
            // Queued: the menu closes and gives the editor its focus back first.
            if (TNewMod2MessageForm *w = activeProjectWindow())
                QMetaObject::invokeMethod(w, [w, bit] { w->editCommand(bit); }, Qt::QueuedConnection);
        });
    }
    edit->addSeparator();
    const char *tools[] = {"Import from Parlo&wen", "&Import List", "&Edit List", "&Filter", "&Verify List"};
    const char *toolNames[] = {"foreignImport", "importList", "editList", "filter", "verifyList"};
    for (int tool = 0; tool < 5; ++tool)
        connect(addCommand(edit, QString::fromLatin1(toolNames[tool]), QString::fromLatin1(tools[tool])),
                &QAction::triggered, this, [this, tool] { requestTool(tool); });

    QMenu *window = menuBar()->addMenu(QStringLiteral("&Window"));
    window->setObjectName(QStringLiteral("windowMenu"));
    connect(addCommand(window, QStringLiteral("tile"), QStringLiteral("&Tile")), &QAction::triggered, this,
            [this] { arrangeSubWindows(&QMdiArea::tileSubWindows); });
    connect(addCommand(window, QStringLiteral("cascade"), QStringLiteral("&Cascade")), &QAction::triggered, this,
            [this] { arrangeSubWindows(&QMdiArea::cascadeSubWindows); });
    connect(addCommand(window, QStringLiteral("closeAll"), QStringLiteral("Close &All")), &QAction::triggered, m_area,
            &QMdiArea::closeAllSubWindows);
    connect(addCommand(window, QStringLiteral("arrangeIcons"), QStringLiteral("Arrange &Icons")), &QAction::triggered,
            this, [this] { arrangeSubWindows(&QMdiArea::tileSubWindows); });
    QAction *tabs = addCommand(window, QStringLiteral("tabbedView"), QStringLiteral("Ta&bbed View"));
    tabs->setCheckable(true);
    connect(tabs, &QAction::toggled, this, &TMainForm::setTabbedView);
    window->addSeparator();
    connect(addCommand(window, QStringLiteral("next"), QStringLiteral("&Next"), {QKeySequence(Qt::Key_F6)}),
            &QAction::triggered, m_area, &QMdiArea::activateNextSubWindow);
    connect(addCommand(window, QStringLiteral("previous"), QStringLiteral("&Previous"),
                       {QKeySequence(Qt::SHIFT | Qt::Key_F6)}),
            &QAction::triggered, m_area, &QMdiArea::activatePreviousSubWindow);

    QMenu *about = menuBar()->addMenu(QStringLiteral("&About"));
    about->setObjectName(QStringLiteral("aboutMenu"));
    connect(addCommand(about, QStringLiteral("about"), QStringLiteral("&About")), &QAction::triggered, this,
            &TMainForm::showAbout);
    connect(addCommand(about, QStringLiteral("help"), QStringLiteral("&Help"),
                       standardKeys(QKeySequence::HelpContents)),
            &QAction::triggered, this, &TMainForm::showHelp);
    // Its items, one per language file, come once the switch knows them.
    m_languageMenu = about->addMenu(QStringLiteral("&Language"));
    m_languageMenu->setObjectName(QStringLiteral("languageMenu"));

    // Tool bar: its own captions and hints, each beside a picture of the
    // desktop's theme; Save and Save as follow the project window alone.
    m_toolBar = addToolBar(QStringLiteral("Tools"));
    m_toolBar->toggleViewAction()->setObjectName(QStringLiteral("toolBarShown"));
    m_toolBar->setObjectName(QStringLiteral("toolBar"));
    m_toolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_toolBar->setIconSize(QSize(24, 24));
    m_toolBar->setMovable(false);
    auto tool = [this](const QString &icon, const QString &caption, const QString &hint, QAction *menuAction) {
        QAction *a = m_toolBar->addAction(themeIcon(icon), caption);
        // Without a hint of its own the tip is the caption, translated with it.
        if (!hint.isEmpty())
            a->setToolTip(hint);
        connect(a, &QAction::triggered, menuAction, &QAction::trigger);
        return a;
    };
    m_actions.insert(QStringLiteral("toolNew"), tool(QStringLiteral("document-new"), QStringLiteral("New"),
                                                     QStringLiteral("New mailing project"),
                                                     action(QStringLiteral("newProject"))));
    m_actions.insert(QStringLiteral("toolOpen"), tool(QStringLiteral("document-open"), QStringLiteral("Open"),
                                                      QStringLiteral("Open Project"),
                                                      action(QStringLiteral("openProject"))));
    m_toolSave = tool(QStringLiteral("document-save"), QStringLiteral("Save"), QStringLiteral("Save Project"),
                      action(QStringLiteral("saveProject")));
    m_toolSaveAs = tool(QStringLiteral("document-save-as"), QStringLiteral("Save as"),
                        QStringLiteral("Save Project As"), action(QStringLiteral("saveProjectAs")));
    m_actions.insert(QStringLiteral("toolSave"), m_toolSave);
    m_actions.insert(QStringLiteral("toolSaveAs"), m_toolSaveAs);
    m_toolBar->addSeparator();
    m_actions.insert(QStringLiteral("toolProjectOptions"),
                     tool(QStringLiteral("document-properties"), QStringLiteral("Project Options"),
                          QStringLiteral("Project options"), action(QStringLiteral("projectOptions"))));
    m_actions.insert(QStringLiteral("toolDefaultOptions"),
                     tool(QStringLiteral("preferences-system"), QStringLiteral("Default Options"), {},
                          action(QStringLiteral("preferences"))));
    m_toolBar->addSeparator();
    m_actions.insert(QStringLiteral("toolExit"), tool(QStringLiteral("application-exit"), QStringLiteral("Exit"), {},
                                                      action(QStringLiteral("exit"))));
    // Named, so a language file can translate the tool bar's texts too.
    for (auto it = m_actions.cbegin(); it != m_actions.cend(); ++it)
        if (it.value()->objectName().isEmpty())
            it.value()->setObjectName(it.key());
}

// ---- child window arrangement ----------------------------------------------------

void TMainForm::arrangeSubWindows(void (QMdiArea::*arrange)())
{
    (m_area->*arrange)();
    keepSubWindowsInside();
}

void TMainForm::keepSubWindowsInside()
{
    // Qt's tiling and cascading leave a window whose contents need more room
    // than it got sticking out of the area; each comes back inside, no
    // bigger than the area, where its title bar and edges can be reached.
    const QRect area = m_area->viewport()->rect();
    for (QMdiSubWindow *sub : m_area->subWindowList()) {
        if (!sub->isVisible() || sub->isMinimized() || sub->isMaximized())
            continue;
        QRect g = sub->geometry();
        g.setSize(g.size().boundedTo(area.size()));
        g.moveLeft(std::clamp(g.left(), 0, std::max(0, area.width() - g.width())));
        g.moveTop(std::clamp(g.top(), 0, std::max(0, area.height() - g.height())));
        sub->setGeometry(g);
    }
}

void TMainForm::setTabbedView(bool tabbed)
{
    m_area->setViewMode(tabbed ? QMdiArea::TabbedView : QMdiArea::SubWindowView);
    if (tabbed) {
        m_area->setDocumentMode(true);
        m_area->setTabsClosable(true);
        m_area->setTabsMovable(true);
    }
    // Tabs cannot be arranged.
    for (const char *name : {"tile", "cascade", "arrangeIcons"})
        action(QString::fromLatin1(name))->setEnabled(!tabbed);
    if (action(QStringLiteral("tabbedView"))->isChecked() != tabbed)
        action(QStringLiteral("tabbedView"))->setChecked(tabbed);
}

// ---- recent projects ------------------------------------------------------------

QString TMainForm::recentProjectsFile() const
{
    return ProgramFolder::filePath(QString::fromUtf16(kRecentProjectsFileName));
}

void TMainForm::addRecentProject(const QString &path)
{
    if (m_recent.add(path))
        rebuildReopenMenu();
}

void TMainForm::rebuildReopenMenu()
{
    m_reopen->clear();
    for (const QString &entry : m_recent.entries()) {
        QAction *a = m_reopen->addAction(entry);
        connect(a, &QAction::triggered, this, [this, entry] { reopen(entry); });
    }
    m_reopen->setEnabled(!m_recent.isEmpty());
}

// ---- file commands -----------------------------------------------------------------

QString TMainForm::defaultProjectFolder() const
{
    return varnholt::defaultProjectFolder(programSettings().iniInfo.PathPro);
}

void TMainForm::newProject()
{
    QString folder = folderPart(m_currentProjectPath);
    if (m_currentProjectPath.isEmpty())
        folder = defaultProjectFolder();
    QString path = ensureTrailingSlash(folder) + QStringLiteral("*.eml");
    OpenProject(path, true);
    m_currentProjectPath = path;
}

void TMainForm::openProject()
{
    QString folder = folderPart(m_currentProjectPath);
    if (folder.isEmpty())
        folder = defaultProjectFolder();
    else if (!QFileInfo(folder).isDir())
        folder = ProgramFolder::path();
    const QString preset = ensureTrailingSlash(folder) + QStringLiteral("*.eml");
    const std::optional<QString> chosen = ShowFileDialog(this, FileDialogKind::Open, m_msl->text(msgOpenProject),
                                                         preset, QStringLiteral("Eml (*.eml);;All (*)"));
    if (!chosen)
        return;
    QString path = *chosen;
    addRecentProject(path);
    OpenProject(path, false);
    m_currentProjectPath = *chosen;
}

void TMainForm::reopen(const QString &entry)
{
    m_currentProjectPath = entry;
    if (!QFileInfo(entry).isFile()) {
        ShowMessageBox(m_msl->text(msgFileNotFound) + QStringLiteral(" : ") + entry, m_msl->text(msgAttention),
                       mbIconQuestion);
        return;
    }
    addRecentProject(entry);
    QString path = entry;
    OpenProject(path, false);
    m_currentProjectPath = entry;
}

bool TMainForm::OpenProject(QString &path, bool isNew)
{
    if (TNewMod2MessageForm *existing = projectWindow()) {
        QMdiSubWindow *sub = qobject_cast<QMdiSubWindow *>(existing->parentWidget());
        if (!(sub ? sub->close() : existing->close())) {
            m_area->setActiveSubWindow(sub);
            return false;
        }
    }

    // The project's copy of the settings names the folder new projects go to.
    TIniInfo projectInfo = programSettings().iniInfo;
    projectInfo.PathPro = defaultProjectFolder();
    auto *window = new TNewMod2MessageForm(projectInfo);
    connect(window, &TNewMod2MessageForm::addRecentProject, this, &TMainForm::addRecentProject,
            Qt::DirectConnection);
    connect(window, &TNewMod2MessageForm::commandsChanged, this, &TMainForm::updateCommands, Qt::QueuedConnection);
    connect(window, &TNewMod2MessageForm::editStateChanged, this, &TMainForm::setEditState, Qt::DirectConnection);
    connect(window, &QObject::destroyed, this, &TMainForm::updateCommands, Qt::QueuedConnection);
    connect(window, &TNewMod2MessageForm::modifiedChanged, this, &TMainForm::updateModifiedMark);
    connect(window, &TNewMod2MessageForm::browserUnavailable, this, [this] {
        ShowMessageBox(m_msl->text(msgRelaunch), m_msl->text(msgAttention), mbIconInformation);
    }, Qt::QueuedConnection);
    connect(window, &TNewMod2MessageForm::sendingWindowRequested, this, [this, window] { openSendingWindow(window); });
    connect(window, &TNewMod2MessageForm::closing, this, &TMainForm::closeSendingWindow, Qt::DirectConnection);
    QMdiSubWindow *sub = m_area->addSubWindow(window);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    emit projectWindowCreated(window);

    // The window shows while the list loads, so the progress window has a
    // place to stand; its contents follow once the project is read.
    sub->showMaximized();
    if (isNew)
        path = window->newProject(path);
    else
        window->openProject(path);
    updateCommands();
    return true;
}

void TMainForm::saveProject(bool saveAs)
{
    if (TNewMod2MessageForm *w = activeProjectWindow())
        w->saveProject(saveAs);
}

void TMainForm::closeProject()
{
    // The close keys close the sending window when it is the active one.
    if (auto *sending = activeChildWindow<TPostSrv>(m_area)) {
        if (auto *sub = qobject_cast<QMdiSubWindow *>(sending->parentWidget()))
            sub->close();
        return;
    }
    TNewMod2MessageForm *w = activeProjectWindow();
    if (!w)
        return;
    closeSendingWindow();
    if (auto *sub = qobject_cast<QMdiSubWindow *>(w->parentWidget()))
        sub->close();
}

void TMainForm::projectOptions()
{
    TNewMod2MessageForm *w = projectWindow();
    if (!w || !m_preferences)
        return;
    // The preferences window edits the project copy of the settings record.
    ProgramSettings &settings = programSettings();
    settings.projectInfo = w->project().settings();
    if (m_preferences(false)) {
        w->project().settings() = settings.projectInfo;
        w->updateModifiedMark();
    }
}

void TMainForm::defaultOptions()
{
    if (m_preferences)
        m_preferences(true);
    m_currentProjectPath = ensureTrailingSlash(defaultProjectFolder()) + QStringLiteral("*.eml");
}

void TMainForm::requestTool(int tool)
{
    // Queued: the tool's window opens once the menu has closed.
    if (TNewMod2MessageForm *w = projectWindow())
        QMetaObject::invokeMethod(w, [w, tool] { w->requestTool(tool); }, Qt::QueuedConnection);
}

// ---- the sending window --------------------------------------------------------

void TMainForm::openSendingWindow(TNewMod2MessageForm *projectWindow)
{
    const bool existed = sendingWindow() != nullptr;
    TPostSrv *w = TPostSrv::Open(m_area, projectWindow->project(), programSettings().accounts);
    if (!w || existed)
        return;
    // On a small screen its first size may not fit.
    keepSubWindowsInside();
    // "Delete from list" changed the list: the project window counts again.
    connect(w, &TPostSrv::listChanged, this, [this] {
        if (TNewMod2MessageForm *p = this->projectWindow())
            QMetaObject::invokeMethod(p, [p] { p->listChanged(); }, Qt::QueuedConnection);
    });
    connect(w, &TPostSrv::commandsChanged, this, &TMainForm::updateCommands, Qt::QueuedConnection);
    connect(w, &QObject::destroyed, this, &TMainForm::updateCommands, Qt::QueuedConnection);
#ifdef VARNHOLT_HAVE_PREFERENCES
    connect(&TPreferencesNotifier::instance(), &TPreferencesNotifier::settingsChanged, w,
            &TPostSrv::settingsChanged);
#endif
    updateCommands();
}

TPostSrv *TMainForm::sendingWindow() const
{
    return findChildWindow<TPostSrv>(m_area);
}

void TMainForm::closeSendingWindow()
{
    TPostSrv *w = sendingWindow();
    if (!w)
        return;
    w->closeWindow();
    // The project goes with its window: a run still ending its session
    // cannot outlive it, so the sending window goes now (its run cancels
    // the session as it is destroyed).
    if (TPostSrv *still = sendingWindow())
        delete still->parentWidget();
}

// ---- commands ------------------------------------------------------------------

TNewMod2MessageForm *TMainForm::projectWindow() const
{
    return findChildWindow<TNewMod2MessageForm>(m_area);
}

TNewMod2MessageForm *TMainForm::activeProjectWindow() const
{
    return activeChildWindow<TNewMod2MessageForm>(m_area);
}

bool TMainForm::activeIsProjectOrSending() const
{
    return activeChildWindow<TNewMod2MessageForm>(m_area) || activeChildWindow<TPostSrv>(m_area);
}

void TMainForm::updateCommands()
{
    const bool a = activeIsProjectOrSending();
    const bool p = activeProjectWindow() != nullptr;
    for (const char *name : {"closeProject", "saveProject", "saveProjectAs", "projectOptions", "toolProjectOptions"})
        action(QString::fromLatin1(name))->setEnabled(a);
    m_toolSave->setEnabled(p);
    m_toolSaveAs->setEnabled(p);
    for (const char *name : {"foreignImport", "importList", "editList", "filter", "verifyList"})
        action(QString::fromLatin1(name))->setEnabled(p);
    updateModifiedMark();
}

void TMainForm::updateModifiedMark()
{
    // While the project window is maximized its title, "[*]" and all, is
    // part of the main window's, and the main window shows its mark.
    const TNewMod2MessageForm *w = projectWindow();
    const bool modified = w && w->isWindowModified() && windowTitle().contains(QStringLiteral("[*]"));
    if (isWindowModified() != modified)
        setWindowModified(modified);
}

void TMainForm::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowTitleChange)
        updateModifiedMark();
}

void TMainForm::setEditState(int bits)
{
    for (const char *name : {"cut", "copy", "paste", "delete", "undo", "redo"}) {
        QAction *a = action(QString::fromLatin1(name));
        a->setEnabled(bits & a->property("editBit").toInt());
    }
}

// ---- start and quit ------------------------------------------------------------

// The child window area takes Ctrl+Tab for going to the next window from
// every widget of the program; in a text that keeps Tab for leaving it,
// Ctrl+Tab types a tab instead. This filter, installed after the area's,
// sees the key first.
bool TMainForm::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return QMainWindow::eventFilter(watched, event);
    const auto *key = static_cast<QKeyEvent *>(event);
    if (key->key() != Qt::Key_Tab || (key->modifiers() & ~Qt::KeypadModifier) != Qt::ControlModifier)
        return QMainWindow::eventFilter(watched, event);
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || !isAncestorOf(widget))
        return QMainWindow::eventFilter(watched, event);
    if (auto *text = qobject_cast<QPlainTextEdit *>(widget); text && text->tabChangesFocus() && !text->isReadOnly()) {
        text->insertPlainText(QStringLiteral("\t"));
        return true;
    }
    for (QWidget *w = widget; w && w != this; w = w->parentWidget()) {
        if (auto *html = qobject_cast<THtmlEditor *>(w)) {
            html->insertTab();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    qApp->installEventFilter(this); // again: in front of the child window area's
    if (m_shown)
        return;
    m_shown = true;
    if (m_commandLine.recognised()) {
        handleCommandLine();
        return;
    }
    setWindowTitle(programTitle());
    setEditState(0);
}

void TMainForm::handleCommandLine()
{
    // The named project is opened (not just an empty window), so the
    // verification asked for by "-s" works on its list.
    m_currentProjectPath = m_commandLine.projectFile;
    QString path = m_commandLine.projectFile;
    QTimer::singleShot(0, this, [this, path]() mutable {
        if (!OpenProject(path, false))
            return;
        // "-v": the program ends with the verification (a changed list is
        // offered for saving first).
        if (m_commandLine.mode == CommandLine::Mode::VerifyAndExit) {
            if (TNewMod2MessageForm *w = projectWindow()) {
                connect(w, &TNewMod2MessageForm::verificationClosed, this, [w] {
                    if (w->queryClose())
                        QCoreApplication::exit(0);
                }, Qt::QueuedConnection);
            }
        }
        requestTool(TNewMod2MessageForm::toVerify);
    });
}

void TMainForm::closeEvent(QCloseEvent *event)
{
    // Every child may refuse first (the project window asks whether to save).
    QList<TNewMod2MessageForm *> projects;
    for (QMdiSubWindow *sub : m_area->subWindowList(QMdiArea::CreationOrder)) {
        if (auto *w = qobject_cast<TNewMod2MessageForm *>(sub->widget())) {
            if (!w->queryClose()) {
                event->ignore();
                return;
            }
            projects.append(w);
        }
    }
    if (ShowMessageBox(m_msl->text(msgQuit), m_msl->text(msgAttention), mbTaskModal | mbIconQuestion | mbYesNo)
        != idYes) {
        event->ignore();
        return;
    }
    for (TNewMod2MessageForm *w : projects)
        w->closeWithoutQuestion();
    m_area->closeAllSubWindows();
    m_recent.save(recentProjectsFile()); // a failure is not worth a message
    event->accept();
}

void TMainForm::showAbout()
{
    TAboutBox box(this);
    box.exec();
}

void TMainForm::showHelp()
{
    // The user's part of the README, in the desktop's browser.
    QString readme = ProgramFolder::findDataFile(QStringLiteral("README.md"));
    if (readme.isEmpty())
        readme = QStringLiteral(VARNHOLT_SOURCE_DATA_DIR "/../README.md");
    QUrl url = QUrl::fromLocalFile(QFileInfo(readme).absoluteFilePath());
    url.setFragment(QStringLiteral("using-the-desktop-program"));
    QDesktopServices::openUrl(url);
}

} // namespace varnholt
