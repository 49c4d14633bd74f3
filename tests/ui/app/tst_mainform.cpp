// The main window driven on the offscreen platform: message boxes and file
// dialogs are answered through their hooks.
#include "ui/app/mainform.h"

#include "settings/programfolder.h"
#include "settings/settings.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"
#include "ui/project/newmod2messageform.h"
#include "ui/sending/postsrv.h"

#include <QAction>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include "../common/windowfit.h"
#include "queuedcalls.h"
#include "testfiles.h"

using namespace varnholt;
using namespace varnholt::testing;

namespace {

// The active child window needs a shown main window.
void showMain(TMainForm &main)
{
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
}

} // namespace

class TestMainForm : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    QString m_projects;
    QStringList m_questions;     // "caption|text|flags" of every message box
    QList<int> m_answers;        // answers given in order (default: No)
    QList<std::optional<QString>> m_files; // answers of the file dialogs

public:
    // The sending window beside the project window `w`, on a one-row list
    // through an account on 127.0.0.1.
    static void openSendingWindowOn(TMainForm &main, TNewMod2MessageForm *w)
    {
        programSettings().accounts.Clear();
        tAccountObj account = tAccountObj::empty();
        account.SMTPServer = "127.0.0.1";
        programSettings().accounts.add(account);
        w->project().table().setColumnCount(1);
        w->project().table().setRowCount(1);
        w->project().table().setCell(0, 0, "u@example.test");
        main.openSendingWindow(w);
    }

private slots:
    void initTestCase()
    {
        ProgramFolder::initialise(m_home.path());
        m_projects = m_home.filePath("projects/");
        programSettings().iniInfo.PathPro = m_projects;
        setMessageBoxHook([this](const QString &text, const QString &caption, int flags) {
            m_questions << QStringLiteral("%1|%2|%3").arg(caption, text).arg(flags);
            return m_answers.isEmpty() ? int(idNo) : m_answers.takeFirst();
        });
        setFileDialogHook([this](FileDialogKind, const QString &, const QString &) {
            return m_files.isEmpty() ? std::optional<QString>() : m_files.takeFirst();
        });
    }

    void init()
    {
        m_questions.clear();
        m_answers.clear();
        m_files.clear();
        QDir(m_projects).removeRecursively();
        QFile::remove(ProgramFolder::filePath("setupprj.ini"));
    }

    void commandsFollowTheActiveWindow()
    {
        TMainForm main;
        showMain(main);
        runQueuedCalls(); // whatever the start-up queued has run
        const QStringList projectCommands{"saveProject", "saveProjectAs", "closeProject", "projectOptions",
                                          "toolSave", "toolSaveAs", "importList", "editList", "filter",
                                          "verifyList", "foreignImport"};
        for (const QString &name : projectCommands)
            QVERIFY2(!main.action(name)->isEnabled(), qPrintable(name));
        QVERIFY(!main.reopenMenu()->isEnabled());
        QVERIFY(main.windowTitle().contains("6.80"));
        QVERIFY(!main.action("copy")->isEnabled());

        main.newProject();
        QTRY_VERIFY(main.action("saveProject")->isEnabled());
        for (const QString &name : projectCommands)
            QVERIFY2(main.action(name)->isEnabled(), qPrintable(name));

        m_answers << idNo; // "Save changes?" of the new project
        main.closeProject();
        QTRY_VERIFY(!main.projectWindow());
        QTRY_VERIFY(!main.action("saveProject")->isEnabled());
        QVERIFY(!main.action("toolSave")->isEnabled());
        QCOMPARE(m_questions, QStringList{"Confirm|Save changes?|35"});
    }

    void newProjectTakesFreeNonameAndClearsLeftovers()
    {
        QDir().mkpath(m_projects);
        writeFile(m_projects + "noname0.eml", "[Common]\r\n");
        writeFile(m_projects + "noname2.eml", "[Common]\r\n");
        writeFile(m_projects + "noname1.mml", "stray");
        writeFile(m_projects + "noname1.txt", "stray");
        TMainForm main;
        showMain(main);
        main.newProject();
        TNewMod2MessageForm *w = main.projectWindow();
        QVERIFY(w);
        QCOMPARE(w->project().name(), "noname1");
        QCOMPARE(w->windowTitle(), "Message - noname1[*]");
        QVERIFY(!QFile::exists(m_projects + "noname1.mml"));
        QVERIFY(!QFile::exists(m_projects + "noname1.txt"));
        QCOMPARE(main.currentProjectPath(), m_projects);
        QVERIFY(w->project().isModified());
    }

    void saveAsNamesAndForgetsNoname_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain name gets .eml") << "offer" << "offer";
        QTest::newRow("name with .eml kept") << "offer.eml" << "offer";
        QTest::newRow("other extension keeps it") << "offer.txt" << "offer.txt";
    }
    void saveAsNamesAndForgetsNoname()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, name);
        TMainForm main;
        showMain(main);
        main.newProject();
        TNewMod2MessageForm *w = main.projectWindow();
        w->subjectBox()->setText("Hello");
        w->saveProject(false); // a new project always asks for a name; cancelled
        QVERIFY(w->project().isNew());
        QVERIFY(!QFile::exists(m_projects + "noname0.eml")); // nothing written
        // Files a noname save of an earlier version left behind.
        writeFile(m_projects + "noname0.eml", "[Common]\r\n");
        writeFile(m_projects + "noname0.txt", "\r\n");
        writeFile(m_projects + "noname0.mml", "\r\n");

        m_files << (m_projects + chosen);
        main.saveProject(true); // "Save Project As": the noname files go

        QVERIFY(!w->project().isNew());
        QVERIFY(!w->project().isModified());
        QCOMPARE(w->windowTitle(), "Message - " + name + "[*]");
        for (const char *ext : {".eml", ".mml", ".txt"}) {
            QVERIFY2(QFile::exists(m_projects + name + ext), ext);
            QVERIFY2(!QFile::exists(m_projects + "noname0" + ext), ext);
        }
        QVERIFY(readFile(m_projects + name + ".eml").contains("Subject=Hello"));
    }

    void closeQuestion_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("dialogConfirms");
        QTest::addColumn<bool>("closed");
        QTest::addColumn<bool>("saved");
        QTest::newRow("Cancel keeps the window") << int(idCancel) << false << false << false;
        QTest::newRow("No closes without saving") << int(idNo) << false << true << false;
        QTest::newRow("Yes, save dialog cancelled, stays") << int(idYes) << false << false << false;
        QTest::newRow("Yes, saved, closes") << int(idYes) << true << true << true;
    }
    void closeQuestion()
    {
        QFETCH(int, answer);
        QFETCH(bool, dialogConfirms);
        QFETCH(bool, closed);
        QFETCH(bool, saved);
        TMainForm main;
        showMain(main);
        main.newProject();
        main.projectWindow()->subjectBox()->setText("Changed");
        m_answers << answer;
        if (dialogConfirms)
            m_files << (m_projects + "kept.eml");
        main.closeProject();
        QCOMPARE(m_questions, QStringList{"Confirm|Save changes?|35"});
        QTRY_COMPARE(main.projectWindow() == nullptr, closed);
        QCOMPARE(QFile::exists(m_projects + "kept.eml"), saved);
        // A closed named project goes onto the recent list.
        QCOMPARE(main.recentProjects().entries().contains(m_projects + "kept.eml"), saved);
    }

    void quitQuestion()
    {
        QDir().mkpath(m_projects);
        writeFile(m_projects + "a.eml", "[Common]\r\nSubject=A\r\n");
        const QString recentFile = ProgramFolder::filePath("setupprj.ini");
        writeFile(recentFile, "/old/one.eml\r\n");
        {
            TMainForm main;
        showMain(main);
            QCOMPARE(main.recentProjects().entries(), QStringList{"/old/one.eml"});
            m_files << (m_projects + "a.eml");
            main.openProject();
            QCOMPARE(main.projectWindow()->project().settings().Subject, "A");
            QCOMPARE(main.recentProjects().entries().first(), m_projects + "a.eml");

            m_answers << idNo; // quit? No
            QVERIFY(!main.close());
            QVERIFY(main.projectWindow());
            QCOMPARE(m_questions, QStringList{"Attention|Do you want to quit the program?|8228"});
            QCOMPARE(readFile(recentFile), QByteArray("/old/one.eml\r\n"));

            m_answers << idYes;
            QVERIFY(main.close());
            QCOMPARE(readFile(recentFile), (m_projects + "a.eml\r\n/old/one.eml\r\n").toUtf8());
        }
    }

    void quitRefusedByProjectWindow()
    {
        TMainForm main;
        showMain(main);
        main.newProject();
        m_answers << idCancel; // "Save changes?"
        QVERIFY(!main.close());
        QCOMPARE(m_questions, QStringList{"Confirm|Save changes?|35"}); // no quit question
        QVERIFY(main.projectWindow());
    }

    void reopenMissingFileKeepsEntry()
    {
        TMainForm main;
        showMain(main);
        const QString missing = m_projects + "gone.eml";
        main.addRecentProject(missing);
        QVERIFY(main.reopenMenu()->isEnabled());
        main.reopenMenu()->actions().first()->trigger();
        QCOMPARE(m_questions, QStringList{"Attention|File not found : " + missing + "|32"});
        QCOMPARE(main.recentProjects().entries(), QStringList{missing});
        QVERIFY(!main.projectWindow());
        QCOMPARE(main.currentProjectPath(), missing);
    }

    void reopenMovesToTop()
    {
        QDir().mkpath(m_projects);
        writeFile(m_projects + "a.eml", "[Common]\r\n");
        TMainForm main;
        showMain(main);
        main.addRecentProject(m_projects + "a.eml");
        main.addRecentProject(m_projects + "b.eml");
        main.reopen(m_projects + "a.eml");
        QCOMPARE(main.recentProjects().entries().first(), m_projects + "a.eml");
        QCOMPARE(main.recentProjects().entries().size(), 2);
        QCOMPARE(main.projectWindow()->project().name(), "a");
        QCOMPARE(main.reopenMenu()->actions().first()->text(), m_projects + "a.eml");
    }

    void openingAnotherProjectAsksFirst()
    {
        TMainForm main;
        showMain(main);
        main.newProject();
        TNewMod2MessageForm *first = main.projectWindow();
        m_answers << idCancel;
        main.newProject();
        QCOMPARE(main.projectWindow(), first); // cancelled: the old one stays
        QCOMPARE(main.mdiArea()->subWindowList().size(), 1);
    }

    // The main window hands menu commands and the sending window's list
    // changes on to the project window, each after the current event.
    void commandsReachTheProjectWindow()
    {
        TMainForm main;
        showMain(main);
        main.newProject();
        TNewMod2MessageForm *w = main.projectWindow();
        QVERIFY(w);

        // The Edit menu's tools reach the project window, after the menu
        // closed: the verification window opens (tst_keyboard walks them all).
        QString opened;
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                opened = modal->objectName();
                static_cast<QDialog *>(modal)->reject();
            }
        });
        watch.start(20);
        main.action("verifyList")->trigger();
        QVERIFY(opened.isEmpty());
        QTRY_COMPARE(opened, "TVerifyForm");
        watch.stop();

        QApplication::setActiveWindow(&main);
        w->textEditor()->setFocus();
        w->textEditor()->setPlainText("abc");
        w->textEditor()->selectAll();
        QTRY_VERIFY(main.action("delete")->isEnabled()); // the editor's state reached the menu
        main.action("delete")->trigger();
        QTRY_COMPARE(w->textEditor()->toPlainText(), QString());

        // "Delete from list" in the sending window: the record count follows.
        programSettings().accounts.Clear();
        tAccountObj account = tAccountObj::empty();
        account.SMTPServer = "127.0.0.1";
        programSettings().accounts.add(account);
        ListTable &table = w->project().table();
        table.setColumnCount(1);
        table.setRowCount(3);
        for (int row = 0; row < 3; ++row)
            table.setCell(row, 0, QStringLiteral("u%1@example.test").arg(row));
        main.openSendingWindow(w);
        TPostSrv *sending = main.sendingWindow();
        QVERIFY(sending);
        table.setRowCount(2);
        runQueuedCalls();
        QVERIFY(w->recordCountLabel()->text() != "2 records"); // nobody told the project window yet
        emit sending->listChanged();
        QTRY_COMPARE(w->recordCountLabel()->text(), "2 records");
        main.closeSendingWindow();
        QVERIFY(!main.sendingWindow());
    }

    // The commands every desktop program has carry the desktop's own keys;
    // the tool bar shows pictures beside its texts, the program its icon.
    void standardKeysAndIcons_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("key");
        QTest::addColumn<QKeySequence>("fallback"); // where the desktop has no key for it
        QTest::newRow("new") << "newProject" << int(QKeySequence::New) << QKeySequence();
        QTest::newRow("open") << "openProject" << int(QKeySequence::Open) << QKeySequence();
        QTest::newRow("save") << "saveProject" << int(QKeySequence::Save) << QKeySequence();
        QTest::newRow("save as") << "saveProjectAs" << int(QKeySequence::SaveAs) << QKeySequence("Ctrl+Shift+S");
        QTest::newRow("close") << "closeProject" << int(QKeySequence::Close) << QKeySequence();
        QTest::newRow("quit") << "exit" << int(QKeySequence::Quit) << QKeySequence("Ctrl+Q");
        QTest::newRow("cut") << "cut" << int(QKeySequence::Cut) << QKeySequence();
        QTest::newRow("undo") << "undo" << int(QKeySequence::Undo) << QKeySequence();
        QTest::newRow("redo") << "redo" << int(QKeySequence::Redo) << QKeySequence();
    }
    void standardKeysAndIcons()
    {
        QFETCH(QString, command);
        QFETCH(int, key);
        QFETCH(QKeySequence, fallback);
        TMainForm main;
        QList<QKeySequence> expected = QKeySequence::keyBindings(QKeySequence::StandardKey(key));
        if (expected.isEmpty())
            expected.append(fallback);
        QVERIFY(!expected.first().isEmpty());
        QCOMPARE(main.action(command)->shortcuts(), expected);

        QVERIFY(!main.windowIcon().isNull());
        QVERIFY(!main.windowIcon().pixmap(32).isNull());
        auto *toolBar = main.findChild<QToolBar *>("toolBar");
        QVERIFY(toolBar);
        QCOMPARE(toolBar->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);
        for (const char *name : {"toolNew", "toolOpen", "toolSave", "toolSaveAs", "toolProjectOptions",
                                 "toolDefaultOptions", "toolExit"}) {
            QAction *a = main.action(name);
            QVERIFY2(a && !a->icon().isNull() && !a->icon().pixmap(24).isNull(), name);
            QVERIFY2(!a->text().isEmpty(), name);
        }
    }

    // A changed project shows "*" in its title until it is saved; while it
    // is maximized its title and mark are part of the main window's.
    void modifiedMarkInTitles()
    {
        TMainForm main;
        showMain(main);
        main.newProject();
        TNewMod2MessageForm *w = main.projectWindow();
        QVERIFY(w);
        auto *sub = qobject_cast<QMdiSubWindow *>(w->parentWidget());
        QVERIFY(sub && sub->isMaximized());
        QCOMPARE(w->windowTitle(), "Message - noname0[*]");
        QVERIFY(w->isWindowModified());
        QVERIFY(main.windowTitle().endsWith(" - [Message - noname0[*]]"));
        QVERIFY(main.isWindowModified());

        m_files << (m_projects + "marked.eml");
        main.saveProject(false);
        QVERIFY(!w->isWindowModified());
        QVERIFY(main.windowTitle().endsWith(" - [Message - marked[*]]"));
        QVERIFY(!main.isWindowModified());

        // The project options, changed and saved in the preferences window.
        main.setPreferencesHandler([](bool programWide) {
            if (programWide)
                return false;
            programSettings().projectInfo.TimeOut = 30;
            programSettings().projectInfo.Modified = true;
            return true;
        });
        main.projectOptions();
        QCOMPARE(w->project().settings().TimeOut, 30);
        QVERIFY(w->isWindowModified());
        QVERIFY(main.isWindowModified());
        main.saveProject(false);
        QVERIFY(!w->isWindowModified());

        w->subjectBox()->setText("changed");
        QVERIFY(w->isWindowModified());
        QVERIFY(main.isWindowModified());

        // Not maximized: the child window's own title bar shows the mark.
        sub->showNormal();
        QVERIFY(sub->isWindowModified());
        QVERIFY(!main.windowTitle().contains("[*]"));
        QVERIFY(!main.isWindowModified());
        sub->showMaximized();
        QVERIFY(main.isWindowModified());

        m_answers << idNo;
        main.closeProject();
        QTRY_VERIFY(!main.projectWindow());
        QVERIFY(!main.windowTitle().contains("[*]"));
        QVERIFY(!main.isWindowModified());
    }

    // On a 1024 x 600 screen the main window with the project window or the
    // sending window in it leaves every control within reach.
    void fitsSmallScreen()
    {
        TMainForm main;
        main.resize(1024, 600);
        showMain(main);
        QCOMPARE(main.size(), QSize(1024, 600));
        main.newProject();
        QMdiSubWindow *sub = main.mdiArea()->activeSubWindow();
        QVERIFY(sub && sub->isMaximized());
        QTRY_COMPARE(sub->size(), main.mdiArea()->viewport()->size());
        // Once the layouts have settled on the new size.
        QTRY_VERIFY2(unreachableControls(&main).isEmpty(), qPrintable(unreachableControls(&main).join("\n")));

        TNewMod2MessageForm *w = main.projectWindow();
        openSendingWindowOn(main, w);
        QVERIFY(main.sendingWindow());
        auto *sending = qobject_cast<QMdiSubWindow *>(main.sendingWindow()->parentWidget());
        main.mdiArea()->setActiveSubWindow(sending);
        sending->showMaximized();
        QTRY_COMPARE(sending->size(), main.mdiArea()->viewport()->size());
        QTRY_VERIFY2(unreachableControls(sending).isEmpty(), qPrintable(unreachableControls(sending).join("\n")));
        main.closeSendingWindow();
        m_answers << idNo;
        main.closeProject();
    }

    // Tile and Cascade keep every child window inside the area, also with
    // the sending window beside the project window on a small screen.
    void arrangedWindowsStayInside_data()
    {
        QTest::addColumn<QString>("command");
        QTest::newRow("tile") << "tile";
        QTest::newRow("cascade") << "cascade";
        QTest::newRow("arrange icons") << "arrangeIcons";
    }
    void arrangedWindowsStayInside()
    {
        QFETCH(QString, command);
        TMainForm main;
        main.resize(1024, 600);
        showMain(main);
        main.newProject();
        TNewMod2MessageForm *w = main.projectWindow();
        openSendingWindowOn(main, w);
        QVERIFY(main.sendingWindow());
        QCOMPARE(main.mdiArea()->subWindowList().size(), 2);

        main.action(command)->trigger();
        const QRect area = main.mdiArea()->viewport()->rect();
        for (QMdiSubWindow *sub : main.mdiArea()->subWindowList()) {
            QVERIFY2(area.contains(sub->geometry()),
                     qPrintable(QStringLiteral("%1: %2,%3 %4x%5 in %6x%7")
                                    .arg(sub->widget()->metaObject()->className())
                                    .arg(sub->x()).arg(sub->y()).arg(sub->width()).arg(sub->height())
                                    .arg(area.width()).arg(area.height())));
        }
        main.closeSendingWindow();
    }

    // The Window menu offers the child windows as tabs; arranging them
    // makes no sense then.
    void tabbedView()
    {
        TMainForm main;
        showMain(main);
        QAction *tabs = main.action("tabbedView");
        QVERIFY(tabs && tabs->isCheckable() && !tabs->isChecked());
        QCOMPARE(main.mdiArea()->viewMode(), QMdiArea::SubWindowView);
        tabs->trigger();
        QCOMPARE(main.mdiArea()->viewMode(), QMdiArea::TabbedView);
        QVERIFY(!main.action("tile")->isEnabled());
        QVERIFY(!main.action("cascade")->isEnabled());
        main.newProject();
        QVERIFY(main.projectWindow());
        tabs->trigger();
        QCOMPARE(main.mdiArea()->viewMode(), QMdiArea::SubWindowView);
        QVERIFY(main.action("tile")->isEnabled());
        m_answers << idNo;
        main.closeProject();
    }

    // Without a project folder of the user's choosing, new projects go into
    // "Varnholt" in the user's documents folder, made when needed, and the
    // open dialog starts there; a folder the user chose is kept.
    void newProjectsGoToDocuments()
    {
        QTemporaryDir home;
        const QByteArray oldHome = qgetenv("HOME");
        const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(".config")));
        const QString oldPathPro = programSettings().iniInfo.PathPro;
        QStringList presets;
        const FileDialogHook oldHook = setFileDialogHook([&](FileDialogKind, const QString &, const QString &preset) {
            presets << preset;
            return std::optional<QString>();
        });
        const auto restore = qScopeGuard([&] {
            setFileDialogHook(oldHook);
            qputenv("HOME", oldHome);
            oldConfig.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", oldConfig);
            programSettings().iniInfo.PathPro = oldPathPro;
        });
        const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        QVERIFY2(documents.startsWith(home.path()), qPrintable(documents));
        const QString expected = documents + "/Varnholt/";

        for (const QString &stored : {ProgramFolder::path(), QString()}) {
            programSettings().iniInfo.PathPro = stored;
            presets.clear();
            TMainForm main;
            showMain(main);
            main.openProject();
            main.newProject();
            TNewMod2MessageForm *w = main.projectWindow();
            QVERIFY(w);
            QCOMPARE(w->project().folder(), expected);
            QVERIFY(QFileInfo(expected).isDir());
            w->subjectBox()->setText("x");
            w->saveProject(false);
            QCOMPARE(presets, (QStringList{expected + "*.eml", expected + "noname0.eml"}));
            m_answers << idNo;
            main.closeProject();
            QTRY_VERIFY(!main.projectWindow());
        }
        programSettings().iniInfo.PathPro = m_projects;
        TMainForm main;
        showMain(main);
        main.newProject();
        QCOMPARE(main.projectWindow()->project().folder(), m_projects);
        m_answers << idNo;
        main.closeProject();
    }

    void saveWhileNoProjectDoesNothing()
    {
        TMainForm main;
        showMain(main);
        main.saveProject(false);
        main.closeProject();
        QVERIFY(m_questions.isEmpty());
    }
};

QTEST_MAIN(TestMainForm)
#include "tst_mainform.moc"
