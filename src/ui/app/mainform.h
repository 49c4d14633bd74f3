#pragma once

#include "app/commandline.h"
#include "app/recentprojects.h"

#include <QHash>
#include <QKeySequence>
#include <QList>
#include <QMainWindow>
#include <QMdiArea>

#include <functional>

class QAction;
class QMdiSubWindow;
class QMenu;
class QToolBar;

// The main window: a multi-document frame holding the project window (at
// most one) and the sending window. It holds no project data: it chooses
// files, keeps the recent-projects list, enables commands in one place
// (updateCommands) and routes menu commands to the active child window.
namespace varnholt {

class LanguageSwitch;
class TMsgLanguage;
class TNewMod2MessageForm;
class TPostSrv;

class TMainForm : public QMainWindow
{
    Q_OBJECT
public:
    // The preferences window (`ShowPreferences`): true when it changed
    // something. `programWide` false edits the open project's settings.
    using PreferencesHandler = std::function<bool(bool programWide)>;

    explicit TMainForm(const CommandLine &commandLine = {}, QWidget *parent = nullptr);
    ~TMainForm() override;

    // File commands (menus and tool bar).
    void newProject();
    void openProject();
    void reopen(const QString &entry);
    void saveProject(bool saveAs);
    void closeProject();
    void projectOptions();
    void defaultOptions();

    // `OpenProject`: opens `path` (isNew false) or creates a project in the
    // start folder `path` ("folder/*.eml"), which may be replaced by the
    // project's folder. False when the open project window refused to close.
    bool OpenProject(QString &path, bool isNew);

    // `AddRecentProject`.
    void addRecentProject(const QString &path);
    // Enables the commands that depend on the active child window.
    void updateCommands();
    // The "*" of unsaved changes follows the project window.
    void updateModifiedMark();
    // Window menu: Tile and Cascade keep every child window inside the
    // area; the tabbed view shows the child windows as tabs.
    void arrangeSubWindows(void (QMdiArea::*arrange)());
    void keepSubWindowsInside();
    void setTabbedView(bool tabbed);
    // Enables each Edit command whose bit is set, disables the others.
    void setEditState(int bits);
    // Edit list tools of the Edit menu: tool number to the project window.
    void requestTool(int tool);

    [[nodiscard]] QMdiArea *mdiArea() const { return m_area; }
    [[nodiscard]] TNewMod2MessageForm *projectWindow() const;
    [[nodiscard]] TNewMod2MessageForm *activeProjectWindow() const;
    // The sending window (at most one), or null.
    [[nodiscard]] TPostSrv *sendingWindow() const;
    // "Send Mailing List": opens the sending window on the project, or
    // brings it to the front.
    void openSendingWindow(TNewMod2MessageForm *projectWindow);
    // Closes the sending window (before its project goes).
    void closeSendingWindow();
    [[nodiscard]] QAction *action(const QString &name) const { return m_actions.value(name); }
    [[nodiscard]] QMenu *reopenMenu() const { return m_reopen; }
    [[nodiscard]] const RecentProjects &recentProjects() const { return m_recent; }
    [[nodiscard]] QString currentProjectPath() const { return m_currentProjectPath; }
    [[nodiscard]] QString recentProjectsFile() const;
    [[nodiscard]] TMsgLanguage *messages() const { return m_msl; }
    // The interface language and its menu ("&About" / "&Language").
    [[nodiscard]] LanguageSwitch *languages() const { return m_languages; }
    [[nodiscard]] QMenu *languageMenu() const { return m_languageMenu; }

    void setPreferencesHandler(PreferencesHandler handler) { m_preferences = std::move(handler); }

signals:
    // A project window was created (the sending window and list tools
    // connect to its requests).
    void projectWindowCreated(varnholt::TNewMod2MessageForm *window);

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QAction *addCommand(QMenu *menu, const QString &name, const QString &caption,
                        const QList<QKeySequence> &shortcuts = {});
    void buildMenus();
    void rebuildReopenMenu();
    void handleCommandLine();
    void showHelp();
    void showAbout();
    [[nodiscard]] QString defaultProjectFolder() const;
    [[nodiscard]] bool activeIsProjectOrSending() const;

    QMdiArea *m_area;
    TMsgLanguage *m_msl;
    QMenu *m_reopen = nullptr;
    QMenu *m_languageMenu = nullptr;
    LanguageSwitch *m_languages = nullptr;
    QToolBar *m_toolBar = nullptr;
    QHash<QString, QAction *> m_actions;
    QAction *m_toolSave = nullptr;
    QAction *m_toolSaveAs = nullptr;
    RecentProjects m_recent;
    QString m_currentProjectPath;
    CommandLine m_commandLine;
    PreferencesHandler m_preferences;
    bool m_shown = false;
};

} // namespace varnholt
