// Language files, window translation, templates and the Language menu, on a
// small window that has one of every kind of translatable widget.
#include "settings/settings.h"
#include "ui/common/languagefile.h"
#include "ui/common/languageswitch.h"
#include "ui/common/msglanguage.h"
#include "ui/common/translation.h"

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <QVBoxLayout>

using namespace varnholt;

namespace {

// A window as the program builds them: named widgets, a message list of 14
// texts, and a dialog of its own that is another window.
class TTestForm : public QWidget
{
public:
    explicit TTestForm(bool announce = false)
    {
        QStringList texts;
        for (int i = 0; i < 14; ++i)
            texts.append(QStringLiteral("m%1").arg(i));
        msl = new TMsgLanguage(QStringLiteral("TTestForm"), texts, this);
        if (announce)
            TranslationRegistry::instance().announce(this, msl);
        setWindowTitle(QStringLiteral("Test form"));
        auto *layout = new QVBoxLayout(this);
        const auto named = [layout](QWidget *w, const char *name) {
            w->setObjectName(QString::fromLatin1(name));
            layout->addWidget(w);
            return w;
        };
        ok = static_cast<QPushButton *>(named(new QPushButton(QStringLiteral("&OK")), "okButton"));
        ok->setToolTip(QStringLiteral("Accept"));
        plain = static_cast<QPushButton *>(named(new QPushButton(QStringLiteral("Plain")), "plainButton"));
        kind = static_cast<QComboBox *>(named(new QComboBox, "kind"));
        kind->addItems({QStringLiteral("One"), QStringLiteral("Two"), QStringLiteral("Three")});
        kind->setCurrentIndex(2);
        info = static_cast<QLabel *>(named(new QLabel(QStringLiteral("Line one\nLine two")), "info"));
        name = static_cast<QLineEdit *>(named(new QLineEdit, "name"));
        name->setPlaceholderText(QStringLiteral("Your name"));
        // Unnamed: it is reached through the field it labels.
        nameLabel = new QLabel(QStringLiteral("&Name:"));
        nameLabel->setBuddy(name);
        layout->addWidget(nameLabel);
        group = static_cast<QGroupBox *>(named(new QGroupBox(QStringLiteral("Options")), "group"));
        days = static_cast<QListWidget *>(named(new QListWidget, "days"));
        days->addItems({QStringLiteral("Mon"), QStringLiteral("Tue")});
        tree = static_cast<QTreeWidget *>(named(new QTreeWidget, "tree"));
        tree->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Size")});
        auto *model = new QStandardItemModel(0, 2, this);
        model->setHorizontalHeaderLabels({QStringLiteral("A"), QStringLiteral("B")});
        table = static_cast<QTableView *>(named(new QTableView, "table"));
        table->setModel(model);
        pages = static_cast<QTabWidget *>(named(new QTabWidget, "pages"));
        pages->addTab(new QWidget, QStringLiteral("First"));
        pages->addTab(new QWidget, QStringLiteral("Second"));
        status = static_cast<QStatusBar *>(named(new QStatusBar, "status"));
        panel = new QLabel(QStringLiteral("Ready"));
        status->addPermanentWidget(panel);
        menu = new QMenu(QStringLiteral("&File"), this);
        menu->setObjectName(QStringLiteral("menu"));
        open = menu->addAction(QStringLiteral("&Open..."));
        open->setObjectName(QStringLiteral("open"));
        menu->addSeparator()->setObjectName(QStringLiteral("separator"));
        dialog = new QDialog(this);
        dialogButton = new QPushButton(QStringLiteral("Dialog"), dialog);
        dialogButton->setObjectName(QStringLiteral("dialogButton"));
    }

    // A text of the window by a short name ("okButton.toolTip", "kind.2").
    QString probe(const QString &what) const
    {
        const QHash<QString, std::function<QString()>> probes = {
            {"title", [this] { return windowTitle(); }},
            {"okButton.text", [this] { return ok->text(); }},
            {"okButton.toolTip", [this] { return ok->toolTip(); }},
            {"plainButton.toolTip", [this] { return plain->toolTip(); }},
            {"kind.0", [this] { return kind->itemText(0); }},
            {"kind.2", [this] { return kind->itemText(2); }},
            {"kind.current", [this] { return QString::number(kind->currentIndex()); }},
            {"info.text", [this] { return info->text(); }},
            {"name.text", [this] { return name->text(); }},
            {"name.placeholderText", [this] { return name->placeholderText(); }},
            {"nameLabel.text", [this] { return nameLabel->text(); }},
            {"group.title", [this] { return group->title(); }},
            {"days.0", [this] { return days->item(0)->text(); }},
            {"days.1", [this] { return days->item(1)->text(); }},
            {"tree.1", [this] { return tree->headerItem()->text(1); }},
            {"table.0", [this] { return table->model()->headerData(0, Qt::Horizontal).toString(); }},
            {"pages.1", [this] { return pages->tabText(1); }},
            {"panel.text", [this] { return panel->text(); }},
            {"menu.title", [this] { return menu->title(); }},
            {"open.text", [this] { return open->text(); }},
            {"dialogButton.text", [this] { return dialogButton->text(); }},
            {"msl.12", [this] { return msl->text(12); }},
            {"msl.13", [this] { return msl->text(13); }},
        };
        return probes.value(what, [] { return QStringLiteral("<no probe>"); })();
    }

    TMsgLanguage *msl;
    QPushButton *ok, *plain, *dialogButton;
    QComboBox *kind;
    QLabel *info, *panel, *nameLabel;
    QLineEdit *name;
    QGroupBox *group;
    QListWidget *days;
    QTreeWidget *tree;
    QTableView *table;
    QTabWidget *pages;
    QStatusBar *status;
    QMenu *menu;
    QAction *open;
    QDialog *dialog;
};

LanguageFile parsed(const QByteArray &bytes)
{
    LanguageFile f;
    f.parse(bytes);
    return f;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

using Entries = QList<LanguageFile::Entry>;

} // namespace

class TestTranslation : public QObject
{
    Q_OBJECT
private slots:
    void readsSections_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<Entries>("expected"); // of section [T]

        const Entries ab{{"a", "1"}, {"b", "2"}};
        QTest::newRow("CR LF") << QByteArray("[T]\r\na=1\r\nb=2\r\n") << ab;
        QTest::newRow("LF, no final line end") << QByteArray("[T]\na=1\nb=2") << ab;
        QTest::newRow("CR") << QByteArray("[T]\ra=1\rb=2\r") << ab;
        QTest::newRow("UTF-8 byte order mark") << QByteArray("\xEF\xBB\xBF[T]\r\na=1\r\nb=2\r\n") << ab;
        QTest::newRow("UTF-16 with byte order mark")
            << QByteArray("\xFF\xFE[\0T\0]\0\r\0\n\0a\0=\0\xE4\0\r\0\n\0", 22) << Entries{{"a", "ä"}};
        QTest::newRow("section and other sections in any case")
            << QByteArray("[X]\na=0\n[ t ]\na=1\nb=2\n[Y]\nb=3\n") << ab;
        QTest::newRow("keys in file order, duplicates kept")
            << QByteArray("[T]\nz=1\na=2\nz=3\n") << Entries{{"z", "1"}, {"a", "2"}, {"z", "3"}};
        QTest::newRow("blanks around key and value, quotes kept inside")
            << QByteArray("[T]\n  a  =  x = y  \nb=\" padded \"\nc=say \"hi\"\n")
            << Entries{{"a", "x = y"}, {"b", " padded "}, {"c", "say \"hi\""}};
        QTest::newRow("UTF-8 and Latin-1 lines side by side")
            << QByteArray("[T]\na=Gr\xC3\xB6\xC3\x9F" "e\nb=Gr\xF6\xDF" "e\n")
            << Entries{{"a", "Größe"}, {"b", "Größe"}};
        QTest::newRow("lines without = and comments give nothing")
            << QByteArray("[T]\nno equals sign\n; c=omment\n=value without key\na=1\n") << Entries{{"a", "1"}};
        QTest::newRow("NUL and control bytes do not end the file")
            << QByteArray("[T]\n\x01\x02\0\xFF\xFE\nx\0y=\x7F\nb=2\n", 20)
            << Entries{{"x\uFFFDy", "\x7F"}, {"b", "2"}};
        QTest::newRow("no such section") << QByteArray("[U]\na=1\n") << Entries{};
    }

    void readsSections()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(Entries, expected);
        QCOMPARE(parsed(bytes).section(u"T"), expected);
    }

    void writesIntoExistingFile()
    {
        LanguageFile f = parsed("; translators' note\r\n[OTHER]\r\nx=1\r\n\r\n"
                                "[T]\r\nOld=kept\r\nA=old\r\n\r\n[LAST]\r\ny=2\r\n");
        f.setValues(u"t", {{"a", "new"}, {"b", " padded "}, {"c", "two\nlines"}, {"b", "twice"}});
        f.setValues(u"NEW", {{"k", "v"}});
        QCOMPARE(f.serialize(),
                 QByteArray("; translators' note\r\n[OTHER]\r\nx=1\r\n\r\n[T]\r\nOld=kept\r\nA=new\r\nb=twice\r\n"
                            "c=two lines\r\n\r\n[LAST]\r\ny=2\r\n\r\n[NEW]\r\nk=v\r\n"));
        // What is written reads back the same, blanks and all.
        f.setValues(u"T", {{"b", " padded "}, {"q", "\"quoted\""}});
        const LanguageFile again = parsed(f.serialize());
        QCOMPARE(again.section(u"T"),
                 (Entries{{"Old", "kept"}, {"A", "new"}, {"b", " padded "}, {"c", "two lines"}, {"q", "\"quoted\""}}));
    }

    void translatesWindow_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("probe");
        QTest::addColumn<QString>("expected");

        QTest::newRow("message 13") << "msl.Items.13=Dreizehn" << "msl.13" << "Dreizehn";
        QTest::newRow("message index out of range") << "msl.Items.14=x" << "msl.13" << "m13";
        QTest::newRow("message index not a number") << "msl.Items.-1=x" << "msl.12" << "m12";
        QTest::newRow("~~ is a line break") << "okButton.Caption=Zwei~~Zeilen" << "okButton.text" << "Zwei\nZeilen";
        QTest::newRow("names in any letter case") << "OKBUTTON.caption=&Gut" << "okButton.text" << "&Gut";
        QTest::newRow("hint") << "okButton.Hint=Annehmen" << "okButton.toolTip" << "Annehmen";
        QTest::newRow("empty hint stays empty") << "plainButton.Hint=Tipp" << "plainButton.toolTip" << "";
        QTest::newRow("window caption") << "Self.Caption=Testfenster" << "title" << "Testfenster";
        QTest::newRow("Self.caption is no caption key") << "Self.caption=Testfenster" << "title" << "Test form";
        QTest::newRow("unknown property") << "okButton.Colour=red" << "okButton.text" << "&OK";
        QTest::newRow("key without property") << "okButton=Weiter" << "okButton.text" << "&OK";
        QTest::newRow("combo item") << "kind.Items.0=Eins" << "kind.0" << "Eins";
        QTest::newRow("combo: selected item renamed") << "kind.Items.2=Drei" << "kind.2" << "Drei";
        QTest::newRow("combo: selection kept") << "kind.Items.2=Drei" << "kind.current" << "2";
        QTest::newRow("label caption") << "info.Caption=Hinweis" << "info.text" << "Hinweis";
        QTest::newRow("label text") << "info.Text=Hinweis" << "info.text" << "Hinweis";
        QTest::newRow("empty line edit stays empty") << "name.Text=Max" << "name.text" << "";
        QTest::newRow("Qt text property") << "name.PlaceholderText=Ihr Name" << "name.placeholderText" << "Ihr Name";
        QTest::newRow("label named after its buddy") << "NameLabel.Caption=N&ame:" << "nameLabel.text" << "N&ame:";
        QTest::newRow("group box") << "group.Caption=Optionen" << "group.title" << "Optionen";
        QTest::newRow("list item") << "days.Items.1=Di" << "days.1" << "Di";
        QTest::newRow("tree column") << "tree.Columns.1.Caption=Größe" << "tree.1" << "Größe";
        QTest::newRow("column item property in any case") << "tree.Columns.1.caption=Größe" << "tree.1" << "Größe";
        QTest::newRow("column of another item property") << "tree.Columns.1.Width=9" << "tree.1" << "Size";
        QTest::newRow("column out of range") << "tree.Columns.2.Caption=x" << "tree.1" << "Size";
        QTest::newRow("table column") << "table.Columns.0.Caption=Spalte" << "table.0" << "Spalte";
        QTest::newRow("tab") << "pages.Pages.1.Caption=&Zweite" << "pages.1" << "&Zweite";
        QTest::newRow("status panel") << "status.Panels.0.Text=Bereit" << "panel.text" << "Bereit";
        QTest::newRow("menu") << "menu.Caption=&Datei" << "menu.title" << "&Datei";
        QTest::newRow("menu command") << "open.Caption=Ö&ffnen..." << "open.text" << "Ö&ffnen...";
        QTest::newRow("another window's widget") << "dialogButton.Caption=x" << "dialogButton.text" << "Dialog";
    }

    void translatesWindow()
    {
        QFETCH(QString, line);
        QFETCH(QString, probe);
        QFETCH(QString, expected);
        TTestForm w;
        QCOMPARE(TranslationSection(&w), QStringLiteral("TTESTFORM"));
        TranslateWindow(&w, parsed("[TTESTFORM]\r\n" + line.toUtf8() + "\r\n"));
        QCOMPARE(w.probe(probe), expected);
    }

    void badLinesLeaveTheRestApplied()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("broken.lan");
        QByteArray bytes = "[TTESTFORM]\r\nokButton.Caption=&Weiter\r\nno equals sign at all\r\n";
        bytes += QByteArray("\0\x01\xFF\xFE=\x80", 6) + "\r\n";
        bytes += QByteArray(1 << 20, 'x') + "\r\n";
        bytes += "info.Caption=" + QByteArray(1 << 20, 'y') + "\r\n";
        bytes += "group.Caption=Gr\xF6\xDF" "e\r\nmsl.Items.13=Gut\r\n";
        QVERIFY(writeFile(path, bytes));

        TTestForm w;
        TranslateWindow(&w, path);
        QCOMPARE(w.ok->text(), QStringLiteral("&Weiter"));
        QCOMPARE(w.info->text().size(), 1 << 20);
        QCOMPARE(w.group->title(), QStringLiteral("Größe"));
        QCOMPARE(w.msl->text(13), QStringLiteral("Gut"));
    }

    void missingFileIsCreatedEmpty()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("neu.lan");
        TTestForm w;
        TranslateWindow(&w, path);
        QVERIFY(QFileInfo(path).isFile());
        QCOMPARE(QFileInfo(path).size(), 0);
        QCOMPARE(w.ok->text(), QStringLiteral("&OK"));
    }

    void templateHoldsTheWindowsTexts()
    {
        TTestForm w;
        const Entries entries = TemplateEntries(&w);
        QHash<QString, QString> byKey;
        for (const auto &e : entries) {
            QVERIFY2(!byKey.contains(e.key), qPrintable("written twice: " + e.key));
            byKey.insert(e.key, e.value);
        }
        const QList<std::pair<QString, QString>> expected = {
            {"Self.Caption", "Test form"},    {"okButton.Caption", "&OK"},    {"okButton.Hint", "Accept"},
            {"plainButton.Caption", "Plain"}, {"info.Caption", "Line one~~Line two"},
            {"name.placeholderText", "Your name"}, {"nameLabel.Caption", "&Name:"},
            {"kind.Items.2", "Three"},        {"days.Items.1", "Tue"},        {"msl.Items.13", "m13"},
            {"tree.Columns.1.Caption", "Size"}, {"table.Columns.0.Caption", "A"},
            {"pages.Pages.1.Caption", "Second"}, {"status.Panels.0.Text", "Ready"},
            {"menu.Caption", "&File"},        {"open.Caption", "&Open..."},
        };
        for (const auto &[key, value] : expected)
            QCOMPARE(byKey.value(key, "<missing>"), value);
        // Never written: an empty hint or text, a label's second name for its
        // text, a separator, an action's tool tip that only repeats its text,
        // another window's widgets, Qt's own widgets.
        for (const QString key : {"plainButton.Hint", "name.Text", "info.Text", "separator.Caption", "open.Hint",
                                  "dialogButton.Caption"})
            QVERIFY2(!byKey.contains(key), qPrintable(key));
        for (const auto &e : entries)
            QVERIFY2(!e.key.startsWith("qt_"), qPrintable(e.key));
    }

    // What holds data is left out, both ways: a title marked so, a marked
    // status bar with its panels, an edit box's text.
    void dataIsNeitherWrittenNorTranslated()
    {
        TTestForm w;
        w.setProperty("translate", false);
        w.status->setProperty("translate", false);
        w.name->setText(QStringLiteral("Max"));
        QStringList keys;
        for (const auto &e : TemplateEntries(&w))
            keys << e.key;
        QVERIFY(keys.contains("okButton.Caption"));
        for (const QString key : {"Self.Caption", "status.Panels.0.Text", "name.Text"})
            QVERIFY2(!keys.contains(key), qPrintable(key));

        TranslateWindow(&w, parsed("[TTESTFORM]\r\nSelf.Caption=Titel\r\nstatus.Panels.0.Text=Bereit\r\n"
                                   "okButton.Caption=&Gut\r\n"));
        QCOMPARE(w.windowTitle(), QStringLiteral("Test form"));
        QCOMPARE(w.panel->text(), QStringLiteral("Ready"));
        QCOMPARE(w.ok->text(), QStringLiteral("&Gut"));
    }

    // A template written over an older file, then every value of it changed
    // and read into a fresh window: each key reaches the text it came from.
    void templateRoundTrip()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("language.lan");
        QVERIFY(writeFile(path, "[OTHER]\r\nx=1\r\n\r\n[TTESTFORM]\r\nokButton.Caption=Old\r\ngone.Caption=Keep\r\n"));
        TTestForm english;
        QString error;
        QVERIFY2(WriteTemplate(&english, path, &error), qPrintable(error));

        LanguageFile written;
        QVERIFY(written.load(path));
        QCOMPARE(written.section(u"OTHER"), (Entries{{"x", "1"}}));
        const Entries section = written.section(u"TTESTFORM");
        QCOMPARE(section.value(0), (LanguageFile::Entry{"okButton.Caption", "&OK"}));
        QCOMPARE(section.value(1), (LanguageFile::Entry{"gone.Caption", "Keep"}));
        const Entries expected = TemplateEntries(&english);
        QCOMPARE(section.size(), expected.size() + 1);

        Entries changed;
        for (const auto &e : section)
            changed.append({e.key, "X" + e.value});
        written.setValues(u"TTESTFORM", changed);
        TTestForm translated;
        TranslateWindow(&translated, written);
        const Entries after = TemplateEntries(&translated);
        QCOMPARE(after.size(), expected.size());
        for (qsizetype i = 0; i < expected.size(); ++i) {
            QCOMPARE(after[i].key, expected[i].key);
            QCOMPARE(after[i].value, "X" + expected[i].value);
        }
        QCOMPARE(translated.kind->currentIndex(), 2);
        QCOMPARE(translated.info->text(), QStringLiteral("XLine one\nLine two"));
    }

    void menuListsLanguageFiles()
    {
        QTemporaryDir dir;
        for (const char *name : {"Deutsch.lan", "deutsch.lan", "FRANCAIS.LAN", "language.lan", "LANGUAGE.lan",
                                 "notes.txt", "a&b.lan", ".lan"})
            QVERIFY(writeFile(dir.filePath(name), ""));
        QVERIFY(QDir(dir.path()).mkdir("folder.lan"));
        QCOMPARE(LanguageSwitch::languagesIn(dir.path()), (QStringList{"a&b", "deutsch", "francais"}));

        TIniInfo settings;
        settings.LangOn = true;
        settings.LangFile = "Francais";
        LanguageSwitch languages(settings, dir.path());
        QMenu menu;
        languages.setMenu(&menu);
        QStringList texts, checked;
        for (QAction *a : menu.actions()) {
            texts.append(a->text());
            if (a->isChecked())
                checked.append(a->text());
        }
        QCOMPARE(texts, (QStringList{"Default (English)", "a&&b", "deutsch", "francais"}));
        QCOMPARE(checked, QStringList{"francais"});
        QCOMPARE(languages.currentFile(), dir.filePath("FRANCAIS.LAN"));
    }

    void missingLanguageFallsBackToEnglish_data()
    {
        QTest::addColumn<bool>("langOn");
        QTest::addColumn<QString>("langFile");
        QTest::newRow("file gone") << true << "italiano";
        QTest::newRow("language not switched on") << false << "deutsch";
        QTest::newRow("settings file's default") << true << "language.lan";
    }

    void missingLanguageFallsBackToEnglish()
    {
        QFETCH(bool, langOn);
        QFETCH(QString, langFile);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("deutsch.lan"), ""));
        TIniInfo settings;
        settings.LangOn = langOn;
        settings.LangFile = langFile;
        LanguageSwitch languages(settings, dir.path());
        QMenu menu;
        languages.setMenu(&menu);
        QCOMPARE(menu.actions().size(), 2);
        QVERIFY(menu.actions().at(0)->isChecked());
        QVERIFY(!menu.actions().at(1)->isChecked());
        QCOMPARE(settings.LangFile, QStringLiteral("language"));
        QVERIFY(!settings.LangOn);
    }

    void choosingTranslatesOpenWindows()
    {
        QTemporaryDir dir;
        // Two files for one menu item: the lower-case one is read.
        QVERIFY(writeFile(dir.filePath("Deutsch.lan"), "[TTESTFORM]\r\nokButton.Caption=&Falsch\r\n"));
        QVERIFY(writeFile(dir.filePath("deutsch.lan"),
                          "[TTESTFORM]\r\nokButton.Caption=&Gut\r\nmsl.Items.13=Dreizehn\r\n"));
        TIniInfo settings;
        settings.LangInit = true;
        LanguageSwitch languages(settings, dir.path());
        QMenu menu;
        languages.setMenu(&menu);
        QCOMPARE(menu.actions().size(), 2);

        TTestForm open(true);
        menu.actions().at(1)->trigger();
        QCOMPARE(open.ok->text(), QStringLiteral("&Gut"));
        QCOMPARE(open.msl->text(13), QStringLiteral("Dreizehn"));
        QCOMPARE(settings.LangFile, QStringLiteral("deutsch"));
        QVERIFY(settings.LangOn);
        QVERIFY(!settings.LangInit);
        QVERIFY(menu.actions().at(1)->isChecked() && !menu.actions().at(0)->isChecked());

        // English stops translating; what is translated stays so.
        menu.actions().at(0)->trigger();
        QCOMPARE(settings.LangFile, QStringLiteral("language"));
        QVERIFY(!settings.LangOn);
        QVERIFY(menu.actions().at(0)->isChecked() && !menu.actions().at(1)->isChecked());
        QCOMPARE(open.ok->text(), QStringLiteral("&Gut"));
    }

    // A window announces itself half built: it is translated once it shows
    // (before it is drawn), or once the event loop runs, and only once.
    void newWindowsAreTranslatedOnceBuilt()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("deutsch.lan"), "[TTESTFORM]\r\nokButton.Caption=&Gut\r\n"));
        TIniInfo settings;
        settings.LangOn = true;
        settings.LangFile = "deutsch";
        LanguageSwitch languages(settings, dir.path());
        connect(&TranslationRegistry::instance(), &TranslationRegistry::windowCreated, &languages,
                &LanguageSwitch::windowCreated);

        TTestForm shown(true);
        QCOMPARE(shown.ok->text(), QStringLiteral("&OK")); // its buttons came after the announcement
        shown.show();
        QCOMPARE(shown.ok->text(), QStringLiteral("&Gut"));
        shown.ok->setText(QStringLiteral("Changed"));
        shown.hide();
        shown.show();
        QCoreApplication::processEvents();
        QCOMPARE(shown.ok->text(), QStringLiteral("Changed"));

        TTestForm hidden(true);
        QTRY_COMPARE(hidden.ok->text(), QStringLiteral("&Gut"));
    }

    void templateModeWritesEnglishTexts()
    {
        QTemporaryDir dir;
        TIniInfo settings; // LangFile as a new settings file has it: "language.lan"
        settings.LangInit = true;
        LanguageSwitch languages(settings, dir.path());
        connect(&TranslationRegistry::instance(), &TranslationRegistry::windowCreated, &languages,
                &LanguageSwitch::windowCreated);
        TTestForm w(true);
        w.show();
        LanguageFile written;
        QVERIFY(written.load(dir.filePath("language.lan")));
        QCOMPARE(written.section(u"TTESTFORM"), TemplateEntries(&w));
        QCOMPARE(w.ok->text(), QStringLiteral("&OK"));
    }
};

QTEST_MAIN(TestTranslation)
#include "tst_translation.moc"
