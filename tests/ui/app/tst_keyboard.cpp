// The program as a keyboard-only or blind user meets it: every window the
// main window opens is walked for unnamed controls, Tab traps and clashing
// Alt+letters, and a whole mailing is sent with keys alone, real dialogs
// and message boxes included.
#include "ui/app/mainform.h"

#include "settings/programfolder.h"
#include "settings/settings.h"
#include "ui/common/messagebox.h"
#include "ui/htmleditor/htmleditor.h"
#include "ui/project/newmod2messageform.h"
#include "ui/sending/postsrv.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

#include "../accessibilitycheck.h"
#include "testfiles.h"
#include "testservers.h"

using namespace varnholt;
using namespace varnholt::testing;

namespace {

// Answers the modal windows that come up while a test runs: each one is
// handed to the first waiting step that takes it (the step returns true),
// and otherwise noted as unexpected and closed.
class ModalDriver : public QObject
{
public:
    using Step = std::function<bool(QWidget *modal)>;

    ModalDriver()
    {
        connect(&m_poll, &QTimer::timeout, this, &ModalDriver::poll);
        m_poll.start(20);
    }

    void expect(Step step) { m_steps << std::move(step); }
    [[nodiscard]] bool allTaken() const { return m_steps.isEmpty(); }

    QStringList seen;       // window titles and texts, in order
    QStringList unexpected; // the ones no step took

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal) {
            // The window manager gives the keyboard back to the window the
            // dialog came from.
            if (m_returnTo && !QApplication::activeWindow())
                QApplication::setActiveWindow(std::exchange(m_returnTo, nullptr));
            return;
        }
        if (modal == m_handled || !modal->isVisible())
            return;
        m_handled = modal;
        if (QWidget *from = QApplication::activeWindow(); from && from != modal)
            m_returnTo = from;
        else if (modal->parentWidget())
            m_returnTo = modal->parentWidget()->window();
        // The window manager gives a new dialog the keyboard.
        QApplication::setActiveWindow(modal);
        (void)QTest::qWaitForWindowActive(modal);
        const auto *box = qobject_cast<QMessageBox *>(modal);
        const QString what = modal->windowTitle() + (box ? u'|' + box->text() : QString());
        seen << what;
        // Stepping may open the next modal window from here.
        m_poll.stop();
        const bool taken = !m_steps.isEmpty() && m_steps.first()(modal);
        if (taken)
            m_steps.removeFirst();
        else {
            unexpected << what;
            if (auto *dialog = qobject_cast<QDialog *>(modal))
                dialog->reject();
        }
        m_poll.start(20);
    }

    QTimer m_poll;
    QPointer<QWidget> m_handled;
    QPointer<QWidget> m_returnTo;
    QList<Step> m_steps;
};

// Presses keys in whatever has the focus, as a user's keyboard does.
void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QWidget *target = QApplication::focusWidget();
    if (!target)
        target = QApplication::activeWindow();
    QVERIFY2(target, "nothing has the keyboard");
    QTest::keyClick(target, key, modifiers);
}

void type(const QString &text)
{
    QWidget *target = QApplication::focusWidget();
    QVERIFY2(target, "nothing has the keyboard");
    QTest::keyClicks(target, text);
}

template <typename T>
T *activeChild(const TMainForm &main)
{
    QMdiSubWindow *sub = main.mdiArea()->activeSubWindow();
    return sub ? qobject_cast<T *>(sub->widget()) : nullptr;
}

bool focusIsIn(const QWidget *w)
{
    const QWidget *focus = QApplication::focusWidget();
    return focus && (focus == w || w->isAncestorOf(focus));
}

} // namespace

class TestKeyboard : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;

private slots:
    void initTestCase()
    {
        ProgramFolder::initialise(m_home.path());
        TIniInfo &program = programSettings().iniInfo;
        program.PathPro = m_home.filePath("projects/");
        program.Pop3Identify = false;
        program.DefaultHelo = false;
        program.TextHelo = QStringLiteral("client.test");
        program.TimeOut = 5;
    }

    // Every window the main window shows or opens: named controls, no Tab
    // trap, no Alt+letter serving two controls (the menu bar's included).
    void everyWindowIsUsableWithoutMouse()
    {
        const QString eml = writeProject(m_home.filePath("walk"),
                                         {.settings = "[Common]\r\nSubject=Hi\r\nColumn=0\r\nSectionSymbol=;\r\n"
                                                      "Html=1\r\n",
                                          .list = "a@example.test;Ann\r\nb@example.test;Bob\r\n",
                                          .text = "Dear [Column#2]\r\n",
                                          .html = "<html><body><p>Dear [Column#2]</p></body></html>"});
        TMainForm main;
        main.resize(1200, 800);
        main.show();
        QVERIFY(QTest::qWaitForWindowActive(&main));
        main.reopen(eml);
        auto *project = activeChild<TNewMod2MessageForm>(main);
        QVERIFY(project);
        QTRY_VERIFY_WITH_TIMEOUT(project->htmlEditor()->documentPresent(), 20000);

        QStringList problems;
        // Each page of the window's tabs in turn; a message box is left by
        // Enter and Escape, its buttons need no letters.
        const auto check = [&problems, &main](QWidget *window, const QString &name, bool child) {
            QList<QTabWidget *> tabs = window->findChildren<QTabWidget *>();
            int pages = 1;
            for (QTabWidget *t : tabs)
                pages = std::max(pages, t->count());
            for (int page = 0; page < pages; ++page) {
                for (QTabWidget *t : tabs)
                    t->setCurrentIndex(std::min(page, t->count() - 1));
                for (const QString &p : accessibilityProblems(window))
                    problems << name + QStringLiteral(": ") + p;
                if (qobject_cast<QMessageBox *>(window))
                    continue;
                for (const QString &p : mnemonicProblems(window, child ? main.menuBar() : nullptr))
                    problems << name + QStringLiteral(": ") + p;
            }
            problems.removeDuplicates();
        };
        check(project, QStringLiteral("project window"), true);

        programSettings().accounts.Clear();
        tAccountObj account = tAccountObj::empty();
        account.SMTPServer = QStringLiteral("127.0.0.1");
        programSettings().accounts.add(account);
        main.openSendingWindow(project);
        auto *sending = activeChild<TPostSrv>(main);
        QVERIFY(sending);
        check(sending, QStringLiteral("sending window"), true);
        sending->parentWidget()->close();
        QTRY_VERIFY(!activeChild<TPostSrv>(main));

        // The commands of the menus that open a window of their own: each
        // is looked at while it is up, then closed.
        ModalDriver modals;
        QStringList opened;
        const QStringList commands{QStringLiteral("projectOptions"), QStringLiteral("preferences"),
                                   QStringLiteral("about"), QStringLiteral("importList"),
                                   QStringLiteral("foreignImport"), QStringLiteral("editList"),
                                   QStringLiteral("filter"), QStringLiteral("verifyList")};
        for (const QString &name : commands) {
            QAction *command = main.action(name);
            QVERIFY2(command, qPrintable(name));
            modals.expect([&, name](QWidget *modal) {
                opened << name;
                check(modal, name, false);
                if (auto *dialog = qobject_cast<QDialog *>(modal))
                    dialog->reject();
                return true;
            });
            command->trigger();
            QTRY_VERIFY2(modals.allTaken(), qPrintable(name + QStringLiteral(" opened no window")));
        }
        QCOMPARE(opened, commands);
        for (const QString &p : std::as_const(problems))
            qWarning("%s", qPrintable(p));
        QVERIFY2(problems.isEmpty(), qPrintable(QString::number(problems.size()) + QStringLiteral(" problems")));
        QVERIFY2(modals.unexpected.isEmpty(), qPrintable(modals.unexpected.join(u'\n')));
        const MessageBoxHook before = setMessageBoxHook([](const QString &, const QString &, int) { return int(idNo); });
        main.mdiArea()->closeAllSubWindows();
        setMessageBoxHook(before);
        QVERIFY(main.mdiArea()->subWindowList().isEmpty());
    }

    // Open a project, put a merge field into the subject, open the sending
    // window, send to a real server and close: keys only.
    void wholeMailingByKeyboard()
    {
        QTemporaryDir dumps;
        openToAll(dumps.path());
        SmtpSink sink;
        VARNHOLT_START_SERVER(sink, dumps.path());
        programSettings().accounts.Clear();
        tAccountObj account = tAccountObj::empty();
        account.Name = QStringLiteral("Sender");
        account.ReturnAddress = QStringLiteral("a@x.test");
        account.SMTPServer = QStringLiteral("127.0.0.1");
        account.SMTPPort = sink.port();
        programSettings().accounts.add(account);
        const QString eml = writeProject(m_home.filePath("keys"),
                                         {.settings = "[Common]\r\nSubject=\r\nColumn=0\r\nSectionSymbol=;\r\n"
                                                      "CharSet=English(en),iso-8859-1\r\n",
                                          .list = "a@example.test;Ann\r\nb@example.test;Bob\r\nc@example.test;Cy\r\n",
                                          .text = "Dear [Column#2],\r\nhello.\r\n",
                                          .html = {}});

        TMainForm main;
        main.resize(1200, 800);
        main.show();
        QVERIFY(QTest::qWaitForWindowActive(&main));
        ModalDriver modals;

        // File, Open: the file dialog takes the typed name.
        modals.expect([&eml](QWidget *modal) {
            if (!modal->inherits("QFileDialog"))
                return false;
            type(eml);
            press(Qt::Key_Return);
            return true;
        });
        press(Qt::Key_O, Qt::ControlModifier);
        QTRY_VERIFY_WITH_TIMEOUT(activeChild<TNewMod2MessageForm>(main), 10000);
        auto *project = activeChild<TNewMod2MessageForm>(main);
        QTRY_VERIFY(focusIsIn(project));

        // The subject by its Alt+letter, a word, then the second column
        // from the merge field box by Enter.
        press(Qt::Key_B, Qt::AltModifier);
        QTRY_VERIFY(project->findChild<QLineEdit *>("subject")->hasFocus());
        type(QStringLiteral("Hello "));
        press(Qt::Key_G, Qt::AltModifier);
        auto *fields = project->findChild<QComboBox *>("mergeField");
        QTRY_VERIFY(fields->hasFocus());
        press(Qt::Key_Down);
        QCOMPARE(fields->currentText(), QStringLiteral("Column#2"));
        press(Qt::Key_Return);
        QCOMPARE(project->findChild<QLineEdit *>("subject")->text(), QStringLiteral("Hello [Column#2]"));

        // The text: Tab leaves it, Ctrl+Tab types a tab.
        auto *text = project->findChild<QPlainTextEdit *>("textEditor");
        text->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(text->hasFocus());
        press(Qt::Key_Tab, Qt::ControlModifier);
        QVERIFY(text->toPlainText().startsWith(u'\t'));
        press(Qt::Key_Tab);
        QVERIFY(!text->hasFocus());

        // Send Mailing List: saved, the sending window opens on its first
        // command, which sends; the end is a message box Enter closes.
        press(Qt::Key_S, Qt::AltModifier);
        QTRY_VERIFY_WITH_TIMEOUT(activeChild<TPostSrv>(main), 10000);
        auto *sending = activeChild<TPostSrv>(main);
        QTRY_VERIFY(sending->button("sendMail")->hasFocus());
        modals.expect([](QWidget *modal) {
            auto *box = qobject_cast<QMessageBox *>(modal);
            if (!box || !box->text().startsWith(QStringLiteral("The process has been completed")))
                return false;
            press(Qt::Key_Return);
            return true;
        });
        press(Qt::Key_Space);
        QTRY_VERIFY_WITH_TIMEOUT(modals.allTaken(), 30000);
        QTRY_VERIFY(focusIsIn(sending));

        // Close the sending window by its button, then the project by its
        // key; the project asks about the tab typed into the text.
        press(Qt::Key_C, Qt::AltModifier);
        QTRY_VERIFY_WITH_TIMEOUT(!activeChild<TPostSrv>(main), 10000);
        QTRY_VERIFY(activeChild<TNewMod2MessageForm>(main));
        QTRY_VERIFY(focusIsIn(activeChild<TNewMod2MessageForm>(main)));
        modals.expect([](QWidget *modal) {
            auto *box = qobject_cast<QMessageBox *>(modal);
            if (!box)
                return false;
            press(Qt::Key_N, Qt::AltModifier); // the text's tab is not kept
            return true;
        });
        press(Qt::Key_W, Qt::ControlModifier);
        QTRY_VERIFY_WITH_TIMEOUT(main.mdiArea()->subWindowList().isEmpty(), 10000);
        QVERIFY2(modals.unexpected.isEmpty(), qPrintable(modals.unexpected.join(u'\n')));

        // Every row got its message, with its own subject, once.
        QList<QByteArray> messages;
        QTRY_COMPARE_WITH_TIMEOUT((messages = SmtpSink::storedMessages(dumps.path())).size(), 3, 10000);
        QStringList subjects;
        for (const QByteArray &m : std::as_const(messages)) {
            const qsizetype at = m.indexOf("\nSubject: ");
            subjects << QString::fromLatin1(m.mid(at + 10, m.indexOf('\n', at + 1) - at - 10).trimmed());
        }
        subjects.sort();
        QCOMPARE(subjects, (QStringList{"Hello Ann", "Hello Bob", "Hello Cy"}));
    }
};

QTEST_MAIN(TestKeyboard)
#include "tst_keyboard.moc"
