// The main window's "&About" / "&Language" menu over the program folder's
// language files.
#include "ui/app/mainform.h"

#include "settings/programfolder.h"
#include "settings/settings.h"
#include "ui/common/msglanguage.h"

#include <QAction>
#include <QFile>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>

using namespace varnholt;

class TestLanguageMenu : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;

    static QStringList itemTexts(const QMenu *menu, bool checkedOnly)
    {
        QStringList texts;
        for (const QAction *a : menu->actions())
            if (!checkedOnly || a->isChecked())
                texts.append(a->text());
        return texts;
    }

private slots:
    void initTestCase()
    {
        ProgramFolder::initialise(m_home.path());
        QFile lan(ProgramFolder::filePath("Deutsch.lan"));
        QVERIFY(lan.open(QIODevice::WriteOnly));
        lan.write("[TMAINFORM]\r\nfileMenu.Caption=&Datei\r\ntoolNew.Hint=Neues Projekt\r\n"
                  "msl.Items.5=Wollen Sie das Programm beenden?\r\n");
    }

    void choosingALanguageTranslatesTheMainWindow()
    {
        programSettings().iniInfo = DefaultIniInfo();
        TMainForm main;
        QMenu *menu = main.languageMenu();
        QCOMPARE(itemTexts(menu, false), (QStringList{"Default (English)", "deutsch"}));
        QCOMPARE(itemTexts(menu, true), QStringList{"Default (English)"});
        QMenu *file = main.findChild<QMenu *>("fileMenu");
        QVERIFY(file);

        menu->actions().at(1)->trigger();
        QCOMPARE(file->title(), QStringLiteral("&Datei"));
        QCOMPARE(main.action("toolNew")->toolTip(), QStringLiteral("Neues Projekt"));
        QCOMPARE(main.messages()->text(5), QStringLiteral("Wollen Sie das Programm beenden?"));
        QCOMPARE(programSettings().iniInfo.LangFile, QStringLiteral("deutsch"));
        QVERIFY(programSettings().iniInfo.LangOn);

        // The next start: the language is checked and the window translated
        // as it shows.
        TMainForm next;
        QCOMPARE(itemTexts(next.languageMenu(), true), QStringList{"deutsch"});
        next.show();
        QCOMPARE(next.findChild<QMenu *>("fileMenu")->title(), QStringLiteral("&Datei"));
    }

    void aLanguageWhoseFileIsGoneFallsBackToEnglish()
    {
        programSettings().iniInfo = DefaultIniInfo();
        programSettings().iniInfo.LangOn = true;
        programSettings().iniInfo.LangFile = "italiano";
        TMainForm main;
        QCOMPARE(itemTexts(main.languageMenu(), true), QStringList{"Default (English)"});
        QCOMPARE(programSettings().iniInfo.LangFile, QStringLiteral("language"));
        QVERIFY(!programSettings().iniInfo.LangOn);
        main.show();
        QCOMPARE(main.findChild<QMenu *>("fileMenu")->title(), QStringLiteral("&File"));
    }
};

QTEST_MAIN(TestLanguageMenu)
#include "tst_languagemenu.moc"
