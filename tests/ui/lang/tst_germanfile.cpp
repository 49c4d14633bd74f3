// The German language file the program ships: every text a window writes
// into the template has a German entry, and with the file applied no window
// is left with an English text.
//
// With VARNHOLT_TEMPLATE=FILE in the environment the run also writes the
// template of every window it opens into FILE: the English texts a
// translator starts from.
#include "accessibilitycheck.h"
#include "ui/app/aboutbox.h"
#include "ui/app/desktopstart.h"
#include "ui/app/mainform.h"

#include "settings/programfolder.h"
#include "settings/settings.h"
#include "testfiles.h"
#include "ui/common/inputform.h"
#include "ui/common/languagefile.h"
#include "ui/common/msglanguage.h"
#include "ui/common/messagebox.h"
#include "ui/common/progaddress.h"
#include "ui/common/translation.h"
#include "ui/extract/fasform.h"
#include "ui/htmleditor/ttables.h"
#include "ui/listtools/editab.h"
#include "ui/listtools/filterform.h"
#include "ui/listtools/impparlowen.h"
#include "ui/listtools/impvznload.h"
#include "ui/listtools/removeduplicatesform.h"
#include "ui/listtools/replaceform.h"
#include "ui/project/attachmentform.h"
#include "ui/project/messagepreview.h"
#include "ui/project/newmod2messageform.h"
#include "ui/schedule/schedule.h"
#include "ui/settings/connectiontestdialog.h"
#include "ui/settings/fpref.h"
#include "ui/sending/deleteform.h"
#include "ui/sending/logs.h"
#include "ui/sending/postsrv.h"
#include "ui/sending/saveform.h"
#include "ui/verify/verifyform.h"

#include <QAbstractButton>
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QMdiArea>
#include <QMenu>
#include <QTabWidget>
#include <QMdiSubWindow>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

using namespace varnholt;

namespace {

// Texts (without "&" and outer blanks) a German interface writes as the
// English one does. Anything else left in English is a text nobody
// translated.
const QSet<QString> kSameInGerman = {
    // The same words in German.
    "OK", "Ok", "E-Mail", "Name", "Port", "Status", "Server", "Login", "Text", "HTML", "DNS:", "Code", "Domain",
    "Filter", "Info", "November",
    // The send log's word for a failed row, which the log viewer and the
    // delete dialog read back.
    "No",
    // Names.
    "Orvanel", "Windows (ANSI)", "STARTTLS", "TLS",
    // The way back to English stays readable whatever language is shown.
    "Default (English)",
};

bool sameInGerman(QString text)
{
    return kSameInGerman.contains(text.remove(u'&').trimmed());
}

// True for a value that holds no words to translate: numbers, signs, a
// placeholder, a file mask, an address.
bool noWords(const QString &value)
{
    static const QRegularExpression word(QStringLiteral("[A-Za-z]{2,}"));
    if (!value.contains(word))
        return true;
    static const QRegularExpression technical(
        QStringLiteral(R"(^(\*\.\w+|[\w.+-]+@[\w.-]+|\[Column#\d+\]|https?://\S+|%\d|(/[^/]+)+)$)"));
    return technical.match(value).hasMatch();
}

// The words the window shows on its own controls, by control: buttons,
// labels, group boxes, menus and their commands, tabs. Another window's
// controls, Qt's own ("qt_...") and what is marked "translate" false (data,
// not words) are not the window's.
QHash<const QObject *, QString> shownTexts(QWidget *window)
{
    const QList<QWidget *> windows = TranslationRegistry::instance().windows();
    QHash<const QObject *, QString> texts;
    QObjectList queue = window->children();
    for (qsizetype i = 0; i < queue.size(); ++i) {
        QObject *o = queue[i];
        // A child window's frame (its system menu) is Qt's.
        if (const auto *w = qobject_cast<QWidget *>(o);
            w && (windows.contains(w) || qobject_cast<const QMdiSubWindow *>(w)
                  || (w->isWindow() && !qobject_cast<const QMenu *>(w))))
            continue;
        if (o->objectName().startsWith(QStringLiteral("qt_")))
            continue;
        if (const QVariant t = o->property("translate"); t.isValid() && !t.toBool())
            continue;
        queue.append(o->children());
        if (const auto *b = qobject_cast<const QAbstractButton *>(o))
            texts.insert(o, b->text());
        else if (const auto *l = qobject_cast<const QLabel *>(o))
            texts.insert(o, l->text());
        else if (const auto *g = qobject_cast<const QGroupBox *>(o))
            texts.insert(o, g->title());
        else if (const auto *m = qobject_cast<const QMenu *>(o))
            texts.insert(o, m->title());
        else if (const auto *a = qobject_cast<const QAction *>(o))
            texts.insert(o, a->text());
        else if (const auto *t = qobject_cast<const QTabWidget *>(o))
            for (int page = 0; page < t->count(); ++page)
                texts.insert(t->widget(page), t->tabText(page));
    }
    return texts;
}

QString describe(const QObject *o)
{
    if (!o->objectName().isEmpty())
        return o->objectName();
    return QStringLiteral("(unnamed %1)").arg(QString::fromLatin1(o->metaObject()->className()));
}

} // namespace

class TestGermanFile : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    QString m_eml;
    LanguageFile m_german;
    std::unique_ptr<TMainForm> m_main;

    struct Window {
        QString name;
        std::function<QWidget *()> open; // the window, owned by the main window
    };

    // Every window of the program with its texts as the user sees them
    // first.
    QList<Window> windows()
    {
        TMainForm &main = *m_main;
        const auto project = [&main] { return main.projectWindow(); };
        const auto table = [project]() -> ListTable & { return project()->project().table(); };
        return {
            {"main window", [&main] { return &main; }},
            {"project window", [project] { return project(); }},
            {"sending window",
             [&main, project]() -> QWidget * {
                 main.openSendingWindow(project());
                 auto *sub = main.mdiArea()->activeSubWindow();
                 return sub ? qobject_cast<TPostSrv *>(sub->widget()) : nullptr;
             }},
            {"attachments", [&main] { return new TAttachmentForm({}, &main); }},
            {"log viewer",
             [&main] { return new T_logs(QString(), QStringLiteral("Ok"), QStringLiteral("No"), &main); }},
            {"save results", [&main] { return new T_SaveForm(saveDialogSettings(), &main); }},
            {"delete rows", [&main] { return new T_DeleteForm(deleteDialogSettings(), &main); }},
            {"schedule", [&main] { return new T_Schedule(TTaskObj(), TSeriesObj(), &main); }},
            {"list editor",
             [&main, project] {
                 return new TEditAB(project()->project().table(), project()->project().listFile(),
                                    QStringLiteral(";"), &main);
             }},
            {"remove duplicates", [&main, table] { return new TfUni(table(), &main); }},
            {"filter", [&main, project] {
                 return new TFilterForm1(project()->project().table(), project()->project().folder(), &main);
             }},
            {"replace", [&main, table] { return new TReplaceForm(table(), &main); }},
            {"import wizard", [&main, table] { return new TImpVznLoad(table(), u';', &main); }},
            {"address book import", [&main, table] { return new TImpParlowen(table(), &main); }},
            {"verification",
             [&main, project] {
                 return new TVerifyForm(project()->project(), 0, [] { return std::unique_ptr<MxQuery>(); }, &main);
             }},
            {"extraction",
             [this, &main] {
                 return new TfFas(m_home.filePath("none.cnd"), TfFas::Mode::Interactive, &main);
             }},
            {"about", [&main] { return new TAboutBox(&main); }},
            {"preferences",
             [this, &main] { return new TFPref(programSettings(), true, TFPref::Files::program(), &main); }},
            {"connection test", [&main] { return new TConnectionTestDialog(&main); }},
            {"input box",
             [&main] { return new TInputForm("Create Directory", "Enter new directory name:", "x", 255, true, &main); }},
            {"progress", [&main] { return new TProgAddress(&main); }},
            {"table dialog", [this, &main] { return new T_Tables(m_home.filePath("p"), &main); }},
            {"preview", [&main, project] { return preview(main, *project()); }},
        };
    }

    static TMessagePreview *preview(TMainForm &main, TNewMod2MessageForm &project)
    {
        auto *window = new TMessagePreview(project.project(), programSettings().accounts, {}, &main);
        window->showRow(0);
        return window;
    }

    // Opens each window in turn and hands it to `check`; windows of their
    // own are closed again.
    void forEachWindow(const std::function<void(const QString &, QWidget *)> &check)
    {
        for (const Window &w : windows()) {
            QWidget *window = w.open();
            QVERIFY2(window, qPrintable(w.name));
            check(w.name, window);
            if (window->isWindow() && window != m_main.get())
                delete window;
        }
    }

private slots:
    void initTestCase()
    {
        ProgramFolder::initialise(m_home.path());
        TIniInfo &program = programSettings().iniInfo;
        program = DefaultIniInfo();
        program.PathPro = m_home.filePath("projects/");
        programSettings().accounts.Clear();
        tAccountObj account = tAccountObj::empty();
        account.SMTPServer = QStringLiteral("127.0.0.1");
        programSettings().accounts.add(account);
        m_eml = testing::writeProject(m_home.filePath("p"),
                                      {.settings = "[Common]\r\nSubject=Hi\r\nColumn=0\r\nSectionSymbol=;\r\n",
                                       .list = "a@example.test;Ann\r\nb@example.test;Bob\r\n",
                                       .text = "Dear [Column#2]\r\n"});
        QVERIFY(m_german.load(QStringLiteral(":/varnholt/lang/deutsch.lan")));
        setMessageBoxHook([](const QString &, const QString &, int) { return int(idNo); });

        m_main = std::make_unique<TMainForm>();
        m_main->resize(1200, 800);
        m_main->show();
        m_main->reopen(m_eml);
        QVERIFY(m_main->projectWindow());
    }

    void cleanupTestCase()
    {
        if (m_main)
            m_main->mdiArea()->closeAllSubWindows();
        m_main.reset();
    }

    void shippedFileIsInstalledOnce()
    {
        QTemporaryDir folder;
        installShippedLanguages(folder.path());
        QFile installed(folder.filePath("deutsch.lan"));
        QVERIFY(installed.open(QIODevice::ReadOnly));
        QFile shipped(QStringLiteral(":/varnholt/lang/deutsch.lan"));
        QVERIFY(shipped.open(QIODevice::ReadOnly));
        QCOMPARE(installed.readAll(), shipped.readAll());

        // A user's copy, under any letter case, is left alone.
        QTemporaryDir own;
        QFile mine(own.filePath("Deutsch.lan"));
        QVERIFY(mine.open(QIODevice::WriteOnly));
        mine.write("[TMAINFORM]\r\nfileMenu.Caption=&Meine Datei\r\n");
        mine.close();
        installShippedLanguages(own.path());
        QCOMPARE(QDir(own.path()).entryList(QDir::Files), QStringList{"Deutsch.lan"});
        QVERIFY(mine.open(QIODevice::ReadOnly));
        QCOMPARE(mine.readAll(), QByteArray("[TMAINFORM]\r\nfileMenu.Caption=&Meine Datei\r\n"));
    }

    void everyTemplateKeyHasAGermanText()
    {
        const QString templateFile = qEnvironmentVariable("VARNHOLT_TEMPLATE");
        QStringList missing;
        forEachWindow([&](const QString &name, QWidget *window) {
            if (!templateFile.isEmpty())
                QVERIFY2(WriteTemplate(window, templateFile), qPrintable(name));
            const QString section = TranslationSection(window);
            QSet<QString> german;
            for (const LanguageFile::Entry &e : m_german.section(section))
                german.insert(e.key.toLower());
            for (const LanguageFile::Entry &e : TemplateEntries(window))
                if (!german.contains(e.key.toLower()))
                    missing << QStringLiteral("[%1] %2=%3").arg(section, e.key, e.value);
        });
        for (const QString &m : std::as_const(missing))
            qWarning("no German text: %s", qPrintable(m));
        QVERIFY2(missing.isEmpty(), "keys without a German text (listed above)");
    }

    void noEnglishTextIsLeft()
    {
        QStringList english;
        forEachWindow([&](const QString &, QWidget *window) {
            const QList<LanguageFile::Entry> before = TemplateEntries(window);
            const QHash<const QObject *, QString> shownBefore = shownTexts(window);
            TranslateWindow(window, m_german);
            // Also the controls no key reaches: a label without a name, say.
            const QHash<const QObject *, QString> shownAfter = shownTexts(window);
            for (auto it = shownBefore.cbegin(); it != shownBefore.cend(); ++it) {
                const QString &text = it.value();
                if (shownAfter.value(it.key()) != text || noWords(text) || sameInGerman(text))
                    continue;
                english << QStringLiteral("[%1] %2: %3").arg(TranslationSection(window), describe(it.key()), text);
            }
            QHash<QString, QString> after;
            for (const LanguageFile::Entry &e : TemplateEntries(window))
                after.insert(e.key, e.value);
            for (const LanguageFile::Entry &e : before) {
                if (after.value(e.key) != e.value || noWords(e.value) || sameInGerman(e.value))
                    continue;
                english << QStringLiteral("[%1] %2=%3").arg(TranslationSection(window), e.key, e.value);
            }
        });
        for (const QString &e : std::as_const(english))
            qWarning("still in English: %s", qPrintable(e));
        QVERIFY2(english.isEmpty(), "texts left in English (listed above)");
    }

    // The German Alt+letters: every button, check box and tab has one, and
    // none serves two controls of a window (a child window shares the main
    // window's menu bar).
    void germanMnemonicsDoNotClash()
    {
        QStringList problems;
        forEachWindow([&](const QString &name, QWidget *window) {
            // The main window holds its child windows; each is checked on its own.
            if (window == m_main.get())
                return;
            TranslateWindow(window, m_german);
            const bool child = window != m_main.get() && !window->isWindow();
            for (const QString &p : testing::mnemonicProblems(window, child ? m_main->menuBar() : nullptr))
                problems << QStringLiteral("%1: %2").arg(name, p);
        });
        for (const QString &p : std::as_const(problems))
            qWarning("%s", qPrintable(p));
        QVERIFY2(problems.isEmpty(), "Alt+letters missing or serving two controls (listed above)");
    }

    // Texts a window words at run time from its message list follow the
    // language too: worded before the translation (as a window does while
    // it is built), they are worded again when the list changes.
    void runTimeTextsFollowTheLanguage()
    {
        TNewMod2MessageForm &project = *m_main->projectWindow();
        tAccounts noServer;
        noServer.add(tAccountObj::empty());
        struct Case {
            const char *name;
            std::function<QWidget *()> open;
            std::function<QString(QWidget *)> shown;
            QString german; // what the text starts with
        };
        const QList<Case> cases = {
            {"schedule clock", [] { return new T_Schedule(TTaskObj(), TSeriesObj()); },
             [](QWidget *w) { return static_cast<T_Schedule *>(w)->lblTime()->text(); },
             "Aktuelles Datum und Uhrzeit des PCs ("},
            {"log viewer title", [] { return new T_logs("/nowhere/send.log", "Ok", "No"); },
             [](QWidget *w) { return w->windowTitle(); }, "Protokolldaten (/nowhere/send.log)"},
            {"extraction counters",
             [this] { return new TfFas(m_home.filePath("none.cnd"), TfFas::Mode::Interactive); },
             [](QWidget *w) { return static_cast<TfFas *>(w)->statusText(); }, "Dateien: 0    Bytes: 0"},
            {"progress, default caption", [] { return new TProgAddress; },
             [](QWidget *w) { return w->windowTitle(); }, "Adressbuch öffnen"},
            {"progress, the work's caption",
             [] {
                 auto *p = new TProgAddress;
                 p->setCaption("Gefiltert..");
                 return p;
             },
             [](QWidget *w) { return w->windowTitle(); }, "Gefiltert.."},
            {"preview title", [this, &project] { return preview(*m_main, project); },
             [](QWidget *w) { return w->windowTitle(); }, "Vorschau - "},
            {"preview source tab", [this, &project] { return preview(*m_main, project); },
             [](QWidget *w) { return static_cast<TMessagePreview *>(w)->pages()->tabText(3); }, "&Quelltext"},
            {"test message refused by the preview's sender",
             [&project, &noServer] { return new TMessagePreview(project.project(), noServer, {}); },
             [](QWidget *w) {
                 auto *preview = static_cast<TMessagePreview *>(w);
                 QSignalSpy finished(preview, &TMessagePreview::testFinished);
                 preview->sendTest();
                 finished.wait(5000);
                 return preview->status();
             },
             "Das Konto nennt keinen SMTP-Server."},
            {"connection test, while it runs",
             [] {
                 auto *d = new TConnectionTestDialog;
                 ConnectionTest::Settings settings;
                 settings.smtpServer = "127.0.0.1";
                 settings.smtpPort = 9;
                 d->start(settings);
                 return d;
             },
             [](QWidget *w) { return static_cast<TConnectionTestDialog *>(w)->verdictLabel()->text(); },
             "Verbinde mit 127.0.0.1:9 ..."},
        };
        for (const Case &c : cases) {
            std::unique_ptr<QWidget> window(c.open());
            TranslateWindow(window.get(), m_german);
            const QString text = c.shown(window.get());
            QVERIFY2(text.startsWith(c.german), qPrintable(QStringLiteral("%1: \"%2\"").arg(c.name, text)));
        }
    }
};

QTEST_MAIN(TestGermanFile)
#include "tst_germanfile.moc"
