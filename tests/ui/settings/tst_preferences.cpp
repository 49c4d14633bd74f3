// The preferences window driven through its widgets on the offscreen
// platform: the profile buttons, editing, and what "Save && Exit" stores.

#include "dns/finddnsserver.h"
#include "settings/programfolder.h"
#include "settings/settings.h"
#include "settings/textfile.h"
#include "ui/common/messagebox.h"
#include "ui/settings/fpref.h"
#include "ui/settings/preflists.h"

#include "accessibilitycheck.h"
#include "queuedcalls.h"
#include "testfiles.h"
#include "testservers.h"
#include "ui/settings/connectiontestdialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace varnholt;
using varnholt::testing::runQueuedCalls;
using varnholt::testing::writeFile;

namespace {

tAccountObj account(const QString &name, const QString &server)
{
    tAccountObj a;
    a.Name = name;
    a.UserID = name.toLower();
    a.ReturnAddress = name.toLower() + QStringLiteral("@example.test");
    a.ReplyTo = a.ReturnAddress;
    a.SMTPServer = server;
    a.SMTPPort = 587;
    a.MailDomain = QStringLiteral("example.test");
    a.PopServer = QStringLiteral("pop.") + server;
    a.PopPort = 995;
    a.Password = QStringLiteral("pop-secret");
    a.Authen = true;
    a.AuName = name.toLower() + QStringLiteral("-smtp");
    a.auPsw = QStringLiteral("smtp-secret");
    a.MaskSMTP = false;
    a.MaskPop3 = true;
    a.Security = AccountSecurity::StartTls;
    a.MaxPerMinute = 10;
    a.DkimSelector = QStringLiteral("s2026"); // no control here: carried through edits
    return a;
}

QStringList profileNames(const QListWidget *list)
{
    QStringList names;
    for (int i = 0; i < list->count(); ++i)
        names.append(list->item(i)->text());
    return names;
}

} // namespace

class TestPreferences : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void openingChoosesCurrentProfile_data();
    void openingChoosesCurrentProfile();
    void editingWritesCurrentProfile();
    void dependentStates();
    void newProfile();
    void copyProfile();
    void deleteProfile();
    void deletingOnlyProfileThenTyping();
    void saveWithoutChanges();
    void savePorts_data();
    void savePorts();
    void saveSettingsRecord();
    void getDnsInfoFillsTheBox_data();
    void getDnsInfoFillsTheBox();
    void heloGoesToBothRecords();
    void charsetList();
    void statusCodes();
    void cancelStoresNothing();
    void saveFailureIsShown();
    void showPreferencesNotifiesInProjectMode();
    void testConnection_data();
    void testConnection();

private:
    std::unique_ptr<TFPref> open(bool programWide = true);
    template <typename T>
    T *child(const char *name)
    {
        T *w = m_window->findChild<T *>(QString::fromLatin1(name));
        if (!w)
            qFatal("no control %s", name);
        return w;
    }
    void click(const char *button) { QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton); }
    void type(const char *edit, const QString &text)
    {
        auto *e = child<QLineEdit>(edit);
        e->selectAll();
        QTest::keyClicks(e, text);
    }
    QString text(const char *edit) { return child<QLineEdit>(edit)->text(); }
    QListWidget *profileList() { return child<QListWidget>("lbProfiles"); }

    std::unique_ptr<QTemporaryDir> m_dir;
    ProgramSettings m_settings;
    TFPref::Files m_files;
    std::unique_ptr<TFPref> m_window;
    QStringList m_boxes;
};

void TestPreferences::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_files.settings = m_dir->filePath(QStringLiteral("setupqnd.ini"));
    m_files.charsets = QStringLiteral(VARNHOLT_SOURCE_DATA_DIR "/charset.txt");

    m_settings.iniInfo = DefaultIniInfo();
    m_settings.projectInfo = DefaultIniInfo();
    m_settings.statusCodes.clear();
    m_settings.accounts.Clear();
    m_settings.accounts.add(account(QStringLiteral("Alice"), QStringLiteral("smtp.alice.test")));
    m_settings.accounts.add(account(QStringLiteral("Bob"), QStringLiteral("smtp.bob.test")));
    m_settings.accounts.add(account(QStringLiteral("Carol"), QStringLiteral("smtp.carol.test")));

    m_boxes.clear();
    setMessageBoxHook([this](const QString &text, const QString &, int) {
        m_boxes.append(text);
        return int(idOk);
    });
}

void TestPreferences::cleanup()
{
    m_window.reset();
    setMessageBoxHook({});
}

std::unique_ptr<TFPref> TestPreferences::open(bool programWide)
{
    auto window = std::make_unique<TFPref>(m_settings, programWide, m_files);
    window->show();
    return window;
}

void TestPreferences::openingChoosesCurrentProfile_data()
{
    QTest::addColumn<int>("nConnect");
    QTest::addColumn<QString>("shown");
    QTest::newRow("second profile") << 1 << "Bob";
    QTest::newRow("last profile") << 2 << "Carol";
    QTest::newRow("past the last profile: first") << 3 << "Alice";
    QTest::newRow("negative: first") << -1 << "Alice";
}

void TestPreferences::openingChoosesCurrentProfile()
{
    QFETCH(int, nConnect);
    QFETCH(QString, shown);
    m_settings.iniInfo.NConnect = nConnect;
    m_window = open();

    QCOMPARE(profileNames(profileList()), QStringList({"Alice", "Bob", "Carol"}));
    QCOMPARE(profileList()->currentItem()->text(), shown);
    QCOMPARE(text("edName"), shown);
    QCOMPARE(text("edSmtpServer"), "smtp." + shown.toLower() + ".test");
    QCOMPARE(text("edSmtpPort"), QStringLiteral("587"));
    QCOMPARE(text("edPopPsw"), QStringLiteral("pop-secret"));
    QCOMPARE(child<QComboBox>("cbSecurity")->currentText(), QStringLiteral("STARTTLS"));
    QVERIFY(child<QCheckBox>("cbAuthen")->isChecked());
}

void TestPreferences::editingWritesCurrentProfile()
{
    m_window = open();
    profileList()->setCurrentRow(1);
    QCOMPARE(text("edName"), QStringLiteral("Bob"));

    type("edName", QStringLiteral("Robert"));
    type("edReplyTo", QStringLiteral("replies@example.test"));
    child<QComboBox>("cbSecurity")->setCurrentIndex(2);
    QTest::mouseClick(child<QCheckBox>("cbAuthen"), Qt::LeftButton);
    QCOMPARE(child<QSpinBox>("seMaxPerMinute")->value(), 10);
    child<QSpinBox>("seMaxPerMinute")->setValue(0);
    child<QSpinBox>("seMaxPerHour")->setValue(500);
    QCOMPARE(child<QSpinBox>("seConnections")->value(), 1);
    QVERIFY(child<QCheckBox>("cbPipelining")->isChecked());
    child<QSpinBox>("seConnections")->setValue(4);
    QTest::mouseClick(child<QCheckBox>("cbPipelining"), Qt::LeftButton);
    QCOMPARE(child<QSpinBox>("seMaxPerMinute")->text(), QStringLiteral("No limit"));
    QCOMPARE(profileList()->item(1)->text(), QStringLiteral("Robert"));

    // Going to another profile and back shows each one's own cells.
    profileList()->setCurrentRow(0);
    QCOMPARE(text("edName"), QStringLiteral("Alice"));
    QCOMPARE(text("edReplyTo"), QStringLiteral("alice@example.test"));
    QVERIFY(child<QCheckBox>("cbAuthen")->isChecked());
    QCOMPARE(child<QSpinBox>("seMaxPerMinute")->value(), 10);
    QCOMPARE(child<QSpinBox>("seMaxPerHour")->value(), 0);
    profileList()->setCurrentRow(1);
    QCOMPARE(text("edReplyTo"), QStringLiteral("replies@example.test"));
    QVERIFY(!child<QCheckBox>("cbAuthen")->isChecked());
    QCOMPARE(child<QSpinBox>("seMaxPerMinute")->value(), 0);
    QCOMPARE(child<QSpinBox>("seMaxPerHour")->value(), 500);
    QCOMPARE(child<QSpinBox>("seConnections")->value(), 4);
    QVERIFY(!child<QCheckBox>("cbPipelining")->isChecked());
    // The limits' labels name their boxes and have letters of their own.
    VARNHOLT_VERIFY_ACCESSIBLE(m_window.get());
    QCOMPARE(varnholt::testing::mnemonicProblems(m_window.get()), QStringList());

    click("btSave");
    const tAccountObj *bob = m_settings.accounts.item(1);
    QCOMPARE(bob->Name, QStringLiteral("Robert"));
    QCOMPARE(bob->ReplyTo, QStringLiteral("replies@example.test"));
    QCOMPARE(bob->Security, AccountSecurity::Tls);
    QVERIFY(!bob->Authen);
    QCOMPARE(bob->MaxPerMinute, 0);
    QCOMPARE(bob->MaxPerHour, 500);
    QCOMPARE(bob->Connections, 4);
    QVERIFY(bob->NoPipelining);
    QCOMPARE(bob->DkimSelector, QStringLiteral("s2026"));
    QCOMPARE(m_settings.accounts.item(0)->Connections, 0);
    QVERIFY(!m_settings.accounts.item(0)->NoPipelining);
    QCOMPARE(m_settings.accounts.item(0)->Name, QStringLiteral("Alice"));
    QCOMPARE(m_settings.accounts.item(0)->MaxPerMinute, 10);
    QCOMPARE(m_settings.iniInfo.NConnect, 1);
}

void TestPreferences::dependentStates()
{
    m_window = open();
    auto *authen = child<QCheckBox>("cbAuthen");
    auto *auName = child<QLineEdit>("edAuName");
    auto *auPsw = child<QLineEdit>("edAuPsw");
    auto *popPsw = child<QLineEdit>("edPopPsw");

    QVERIFY(auName->isEnabled() && auPsw->isEnabled());
    QTest::mouseClick(authen, Qt::LeftButton);
    QVERIFY(!auName->isEnabled() && !auPsw->isEnabled());

    // Alice: SMTP password shown, POP3 password masked.
    QCOMPARE(auPsw->echoMode(), QLineEdit::Normal);
    QCOMPARE(popPsw->echoMode(), QLineEdit::Password);
    QTest::mouseClick(child<QCheckBox>("cbMaskSmtp"), Qt::LeftButton);
    QTest::mouseClick(child<QCheckBox>("cbMaskPop3"), Qt::LeftButton);
    QCOMPARE(auPsw->echoMode(), QLineEdit::Password);
    QCOMPARE(popPsw->echoMode(), QLineEdit::Normal);

    // The fixed greeting can be typed only without the default one.
    auto *defaultHelo = child<QCheckBox>("cbDefaultHelo");
    auto *textHelo = child<QLineEdit>("edTextHelo");
    QVERIFY(defaultHelo->isChecked());
    QVERIFY(textHelo->isReadOnly());
    QTest::mouseClick(defaultHelo, Qt::LeftButton);
    QVERIFY(!textHelo->isReadOnly());

    click("btSave");
    QVERIFY(m_settings.accounts.item(0)->MaskSMTP);
    QVERIFY(!m_settings.accounts.item(0)->MaskPop3);
}

void TestPreferences::newProfile()
{
    m_window = open();
    click("sbNew");

    const tAccountObj defaults = tAccountObj::withDefaults();
    QCOMPARE(profileList()->count(), 4);
    QCOMPARE(profileList()->currentRow(), 3);
    QCOMPARE(text("edName"), defaults.Name);
    QCOMPARE(text("edSmtpPort"), QStringLiteral("25"));
    QCOMPARE(text("edPopPort"), QStringLiteral("110"));
    QCOMPARE(child<QComboBox>("cbSecurity")->currentText(), QStringLiteral("None"));

    type("edName", QStringLiteral("Dave"));
    click("btSave");
    QCOMPARE(m_settings.accounts.count(), 4);
    tAccountObj expected = defaults;
    expected.Name = QStringLiteral("Dave");
    QCOMPARE(*m_settings.accounts.item(3), expected);
    QCOMPARE(m_settings.iniInfo.NConnect, 3);
}

void TestPreferences::copyProfile()
{
    m_window = open();
    profileList()->setCurrentRow(1);
    click("sbCopy");

    QCOMPARE(profileNames(profileList()), QStringList({"Alice", "Bob", "Carol", "Bob"}));
    QCOMPARE(profileList()->currentRow(), 3);
    for (int column = 0; column < TProfileTable::ColumnCount; ++column)
        QCOMPARE(m_window->profiles().cell(3, column), m_window->profiles().cell(1, column));

    // The copy is a profile of its own.
    type("edName", QStringLiteral("Bob at work"));
    click("btSave");
    QCOMPARE(m_settings.accounts.count(), 4);
    QCOMPARE(m_settings.accounts.item(1)->Name, QStringLiteral("Bob"));
    tAccountObj copy = *m_settings.accounts.item(1);
    copy.Name = QStringLiteral("Bob at work");
    QCOMPARE(*m_settings.accounts.item(3), copy);
}

void TestPreferences::deleteProfile()
{
    m_window = open();
    profileList()->setCurrentRow(1);
    click("sbDelete");
    // The rows below move up; the same position is current.
    QCOMPARE(profileNames(profileList()), QStringList({"Alice", "Carol"}));
    QCOMPARE(profileList()->currentRow(), 1);
    QCOMPARE(text("edName"), QStringLiteral("Carol"));

    // Deleting the last row makes the new last row current.
    click("sbDelete");
    QCOMPARE(profileNames(profileList()), QStringList({"Alice"}));
    QCOMPARE(text("edName"), QStringLiteral("Alice"));

    click("btSave");
    QCOMPARE(m_settings.accounts.count(), 1);
    QCOMPARE(m_settings.accounts.item(0)->Name, QStringLiteral("Alice"));
    QCOMPARE(m_settings.iniInfo.NConnect, 0);
}

void TestPreferences::deletingOnlyProfileThenTyping()
{
    m_settings.accounts.Clear();
    m_settings.accounts.add(account(QStringLiteral("Alice"), QStringLiteral("smtp.alice.test")));
    m_window = open();

    click("sbDelete");
    QVERIFY(m_window->profiles().isEmpty());
    QCOMPARE(profileList()->count(), 0);
    const tAccountObj defaults = tAccountObj::withDefaults();
    QCOMPARE(text("edName"), defaults.Name);
    QCOMPARE(text("edSmtpServer"), defaults.SMTPServer);
    QVERIFY(child<QCheckBox>("cbMaskPop3")->isChecked());
    click("sbDelete"); // nothing to delete
    QVERIFY(m_window->profiles().isEmpty());

    // Typing into any box makes a profile of what the boxes show.
    type("edSmtpServer", QStringLiteral("mail.new.test"));
    QVERIFY(!m_window->profiles().isEmpty());
    QCOMPARE(profileNames(profileList()), QStringList({defaults.Name}));

    click("btSave");
    QCOMPARE(m_settings.accounts.count(), 1);
    tAccountObj expected = defaults;
    expected.SMTPServer = QStringLiteral("mail.new.test");
    QCOMPARE(*m_settings.accounts.item(0), expected);
    QCOMPARE(m_settings.iniInfo.NConnect, 0);
}

void TestPreferences::saveWithoutChanges()
{
    const TIniInfo before = m_settings.iniInfo;
    m_window = open();
    click("btSave");
    QCOMPARE(m_window->result(), int(QDialog::Accepted));

    QVERIFY(m_settings.iniInfo.Modified);
    QVERIFY(!m_settings.projectInfo.Modified);
    QCOMPARE(m_settings.accounts.count(), 3);
    QCOMPARE(*m_settings.accounts.item(2), account(QStringLiteral("Carol"), QStringLiteral("smtp.carol.test")));

    // The file holds what is in memory.
    ProgramSettings reread;
    QCOMPARE(LoadSettings(reread, m_files.settings), SettingsLayout::Record);
    QCOMPARE(reread.accounts.count(), 3);
    QCOMPARE(*reread.accounts.item(1), *m_settings.accounts.item(1));
    QCOMPARE(reread.iniInfo.DnsIP, before.DnsIP);
    QCOMPARE(reread.iniInfo.CharSet, before.CharSet);
    QCOMPARE(reread.statusCodes, DefaultStatusCodes());

    // All profiles deleted: the file still gets an account to send through.
    m_window = open();
    for (int i = 0; i < 3; ++i)
        click("sbDelete");
    click("btSave");
    QCOMPARE(m_settings.iniInfo.NConnect, -1);
    QCOMPARE(LoadSettings(reread, m_files.settings), SettingsLayout::Record);
    QCOMPARE(reread.accounts.count(), 1);
    QCOMPARE(*reread.accounts.item(0), tAccountObj::withDefaults());
}

void TestPreferences::savePorts_data()
{
    QTest::addColumn<QString>("smtpPort");
    QTest::addColumn<QString>("popPort");
    QTest::addColumn<int>("smtpStored");
    QTest::addColumn<int>("popStored");
    QTest::newRow("numbers") << "465" << "995" << 465 << 995;
    QTest::newRow("blanks around numbers") << " 2525 " << "\t1110" << 2525 << 1110;
    QTest::newRow("digit then letter") << "5x" << "1a" << 25 << 110;
    QTest::newRow("empty") << "" << "" << 25 << 110;
    QTest::newRow("outside the TCP range") << "70000" << "0" << 25 << 110;
    QTest::newRow("negative") << "-25" << "-110" << 25 << 110;
}

void TestPreferences::savePorts()
{
    QFETCH(QString, smtpPort);
    QFETCH(QString, popPort);
    m_window = open();
    child<QLineEdit>("edSmtpPort")->setText(smtpPort);
    child<QLineEdit>("edPopPort")->setText(popPort);
    type("edMailDomain", QStringLiteral("  padded.test  "));
    click("btSave");

    QTEST(m_settings.accounts.item(0)->SMTPPort, "smtpStored");
    QTEST(m_settings.accounts.item(0)->PopPort, "popStored");
    QCOMPARE(m_settings.accounts.item(0)->MailDomain, QStringLiteral("padded.test"));
}

void TestPreferences::saveSettingsRecord()
{
    m_settings.iniInfo.AutoCommit = false;
    m_settings.iniInfo.AutoCommitT = 250;  // outside 1..100
    m_settings.iniInfo.NumberConnect = 0;  // outside 1..100
    m_settings.iniInfo.TimeOut = 30;
    m_settings.iniInfo.DnsIP = QStringLiteral("192.0.2.53");
    m_settings.iniInfo.PathPro = m_dir->path(); // no trailing slash
    m_settings.iniInfo.ExternalSmtp = false;
    m_settings.iniInfo.Pop3Identify = true;
    m_window = open();

    QTest::mouseClick(child<QCheckBox>("cbAutoCommit"), Qt::LeftButton);
    QTest::mouseClick(child<QCheckBox>("cbPop3Identify"), Qt::LeftButton);
    QCOMPARE(child<QSpinBox>("seAutoCommitT")->value(), 100);
    child<QSpinBox>("seAutoCommitT")->setValue(15);
    click("btSave");

    const TIniInfo &info = m_settings.iniInfo;
    QVERIFY(info.AutoCommit);
    QCOMPARE(info.AutoCommitT, 15);
    QVERIFY(!info.Pop3Identify);
    QCOMPARE(info.NumberConnect, 1);
    QCOMPARE(info.TimeOut, 30);
    QCOMPARE(info.DnsIP, QStringLiteral("192.0.2.53"));
    QCOMPARE(info.PathPro, m_dir->path() + u'/');
    QVERIFY(info.ExternalSmtp);
    QCOMPARE(info.NConnect, 0);
}

void TestPreferences::getDnsInfoFillsTheBox_data()
{
    QTest::addColumn<QByteArray>("resolvConf");
    QTest::addColumn<bool>("fallback");
    QTest::newRow("the system's first server") << QByteArray("# local\nnameserver 198.51.100.7\nnameserver 198.51.100.8\n")
                                               << false;
    // Without a server the computer's own address (or nothing) replaces the box.
    QTest::newRow("no server: the fallback") << QByteArray("search example.test\n") << true;
}

void TestPreferences::getDnsInfoFillsTheBox()
{
    QFETCH(QByteArray, resolvConf);
    QFETCH(bool, fallback);
    m_files.resolvConf = m_dir->filePath(QStringLiteral("resolv.conf"));
    QVERIFY(writeFile(m_files.resolvConf, resolvConf));
    m_settings.iniInfo.DnsIP = QStringLiteral("192.0.2.53");
    m_window = open();
    QCOMPARE(text("edDnsIP"), QStringLiteral("192.0.2.53"));

    auto *button = child<QPushButton>("sbGetDnsInfo");
    QCOMPARE(button->text(), QStringLiteral("Get DNS info"));
    QCOMPARE(button->toolTip(), QStringLiteral("Get DNS from your ISP"));
    button->click(); // the tab is not shown: the button is pressed by program
    QVERIFY(!button->isEnabled());
    QTRY_VERIFY(button->isEnabled());
    const QString expected = fallback ? LocalHostAddress() : QStringLiteral("198.51.100.7");
    QCOMPARE(text("edDnsIP"), expected);

    click("btSave");
    QCOMPARE(m_settings.iniInfo.DnsIP, expected);
}

void TestPreferences::heloGoesToBothRecords()
{
    m_settings.iniInfo.DefaultHelo = false;
    m_settings.iniInfo.TextHelo = QStringLiteral("wide.example.test");
    m_settings.projectInfo.DefaultHelo = true;
    m_settings.projectInfo.TextHelo = QStringLiteral("project.example.test");
    m_settings.projectInfo.DnsIP = QStringLiteral("192.0.2.1");
    m_settings.projectInfo.NConnect = 2;
    m_window = open(false);

    // The window shows the program-wide greeting even in project mode.
    QVERIFY(!child<QCheckBox>("cbDefaultHelo")->isChecked());
    QCOMPARE(text("edTextHelo"), QStringLiteral("wide.example.test"));
    QCOMPARE(text("edName"), QStringLiteral("Carol"));
    type("edTextHelo", QStringLiteral("relay.example.test"));
    click("btSave");

    QCOMPARE(m_settings.projectInfo.TextHelo, QStringLiteral("relay.example.test"));
    QCOMPARE(m_settings.iniInfo.TextHelo, QStringLiteral("relay.example.test"));
    QVERIFY(!m_settings.projectInfo.DefaultHelo);
    QVERIFY(m_settings.projectInfo.Modified);
    QCOMPARE(m_settings.projectInfo.NConnect, 2);
    // Nothing else of the project's record reaches the program-wide one.
    QVERIFY(!m_settings.iniInfo.Modified);
    QCOMPARE(m_settings.iniInfo.DnsIP, DefaultIniInfo().DnsIP);
    QCOMPARE(m_settings.iniInfo.NConnect, 0);
}

void TestPreferences::charsetList()
{
    // The shipped file: entries of the form language(code),charset.
    const QStringList shipped = LoadCharsetList(m_files.charsets);
    QVERIFY(shipped.size() > 10);
    QCOMPARE(shipped.first(), QString::fromUtf16(kDefaultCharSet));
    for (const QString &entry : shipped)
        QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z ]+\\([a-z]+\\),[a-z0-9-]+$")).match(entry).hasMatch(),
                 qPrintable(entry));

    // A charset file of our own; the record's entry in other case is found.
    const QString file = m_dir->filePath(QStringLiteral("charset.txt"));
    QVERIFY(writeFileAtomically(file, "English(en),iso-8859-1\r\n\r\nRussian(ru),koi8-r\r\nGreek(el),iso-8859-7\r\n"));
    m_files.charsets = file;
    m_settings.iniInfo.CharSet = QStringLiteral("RUSSIAN(RU),KOI8-R");
    m_window = open();
    auto *charsets = child<QComboBox>("cbCharset");
    QCOMPARE(charsets->count(), 3);
    QCOMPARE(charsets->currentText(), QStringLiteral("Russian(ru),koi8-r"));
    charsets->setCurrentIndex(2);
    click("btSave");
    QCOMPARE(m_settings.iniInfo.CharSet, QStringLiteral("Greek(el),iso-8859-7"));

    // An empty CharSet opens on the default entry.
    m_settings.iniInfo.CharSet.clear();
    m_window = open();
    QCOMPARE(child<QComboBox>("cbCharset")->currentText(), QString::fromUtf16(kDefaultCharSet));

    // Without the file: the built-in list, nothing selected, an empty
    // CharSet stored.
    m_files.charsets = m_dir->filePath(QStringLiteral("missing.txt"));
    m_settings.iniInfo.CharSet = QString::fromUtf16(kDefaultCharSet);
    m_window = open();
    charsets = child<QComboBox>("cbCharset");
    QCOMPARE(charsets->count(), BuiltInCharsets().size());
    QCOMPARE(charsets->itemText(0), QStringLiteral("us-ascii"));
    QCOMPARE(charsets->currentIndex(), -1);
    click("btSave");
    QCOMPARE(m_settings.iniInfo.CharSet, QString());

    // An empty file leaves the project's list empty; program-wide, the
    // font character sets stand in.
    m_files.charsets = m_dir->filePath(QStringLiteral("empty.txt"));
    QVERIFY(writeFileAtomically(m_files.charsets, "\r\n"));
    m_window = open(false);
    QCOMPARE(child<QComboBox>("cbCharset")->count(), 0);
    m_window = open(true);
    QVERIFY(child<QComboBox>("cbCharset")->count() > 0);
}

void TestPreferences::statusCodes()
{
    // First opening: the program-wide list gets the default codes.
    m_settings.iniInfo.Codes = QStringLiteral("551;550;999");
    m_window = open();
    QCOMPARE(m_settings.statusCodes, DefaultStatusCodes());
    auto *codes = child<QListWidget>("clbCodes");
    QCOMPARE(codes->count(), DefaultStatusCodes().size());
    QStringList checked;
    for (int i = 0; i < codes->count(); ++i)
        if (codes->item(i)->checkState() == Qt::Checked)
            checked.append(codes->item(i)->text().left(3));
    QCOMPARE(checked, QStringList({"550", "551"}));

    codes->item(0)->setCheckState(Qt::Checked);  // 211
    codes->findItems(QStringLiteral("550"), Qt::MatchStartsWith).first()->setCheckState(Qt::Unchecked);
    click("btSave");
    QCOMPARE(m_settings.iniInfo.Codes, QStringLiteral("211;551"));

    // A list of the user's own: sorted, blank entries dropped, a leading
    // sign removed before the code is read.
    m_settings.statusCodes = {QStringLiteral("554  Transaction failed"), QString(), QStringLiteral("+421  Busy"),
                              QStringLiteral("  "), QStringLiteral("-450  Mailbox busy")};
    m_settings.iniInfo.Codes = QStringLiteral("421;450");
    m_window = open();
    codes = child<QListWidget>("clbCodes");
    QStringList items;
    for (int i = 0; i < codes->count(); ++i)
        items.append(codes->item(i)->text());
    QCOMPARE(items, QStringList({"421  Busy", "450  Mailbox busy", "554  Transaction failed"}));
    codes->item(2)->setCheckState(Qt::Checked);
    click("btSave");
    QCOMPARE(m_settings.iniInfo.Codes, QStringLiteral("421;450;554"));
    QCOMPARE(m_settings.statusCodes.size(), 5); // the program-wide list itself is kept as it is

    // The record holds at most 255 characters: codes that do not fit are
    // left out whole, never cut in the middle.
    QStringList many;
    for (int code = 100; code < 200; ++code)
        many.append(QString::number(code) + QStringLiteral("  Code"));
    const QString joined = JoinCodes(many);
    QCOMPARE(joined.size(), 255);
    QVERIFY(joined.endsWith(QStringLiteral(";163")));
}

void TestPreferences::cancelStoresNothing()
{
    m_window = open();
    click("sbNew");
    type("edName", QStringLiteral("Zed"));
    QTest::mouseClick(child<QCheckBox>("cbDefaultHelo"), Qt::LeftButton);
    click("btCancel");

    QCOMPARE(m_window->result(), int(QDialog::Rejected));
    QCOMPARE(m_settings.accounts.count(), 3);
    QVERIFY(m_settings.iniInfo.DefaultHelo);
    QVERIFY(!m_settings.iniInfo.Modified);
    QVERIFY(!QFile::exists(m_files.settings));
}

void TestPreferences::saveFailureIsShown()
{
    m_files.settings = m_dir->filePath(QStringLiteral("no-such-folder/setupqnd.ini"));
    m_window = open();
    click("btSave");
    QCOMPARE(m_boxes.size(), 1);
    QVERIFY(!m_boxes.first().isEmpty());
    QVERIFY(m_settings.iniInfo.Modified);
}

void TestPreferences::showPreferencesNotifiesInProjectMode()
{
    ProgramFolder::initialise(m_dir->path());
    programSettings().accounts.Clear();
    programSettings().accounts.add(account(QStringLiteral("Alice"), QStringLiteral("smtp.alice.test")));
    QSignalSpy changed(&TPreferencesNotifier::instance(), &TPreferencesNotifier::settingsChanged);

    QTimer::singleShot(0, this, [] {
        auto *window = qobject_cast<TFPref *>(QApplication::activeModalWidget());
        QVERIFY(window);
        QVERIFY(!window->isProgramWide());
        QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("btSave")), Qt::LeftButton);
    });
    QVERIFY(ShowPreferences(false));
    QCOMPARE(changed.count(), 0); // posted, not sent
    QTRY_COMPARE(changed.count(), 1);
    QVERIFY(programSettings().projectInfo.Modified);
    QVERIFY(QFile::exists(settingsFilePath()));

    // Program-wide mode does not notify.
    QTimer::singleShot(0, this, [] {
        QTest::mouseClick(QApplication::activeModalWidget()->findChild<QPushButton *>(QStringLiteral("btCancel")),
                          Qt::LeftButton);
    });
    QVERIFY(!ShowPreferences(true));
    runQueuedCalls(); // a posted notification would have come by now
    QCOMPARE(changed.count(), 1);
}

void TestPreferences::testConnection_data()
{
    QTest::addColumn<bool>("typeRightPassword");
    QTest::addColumn<QString>("verdict"); // its beginning

    // The saved account holds "smtp-secret": only what the box shows is
    // tried.
    QTest::newRow("password typed into the box: accepted") << true << "The server accepted the log-in.";
    QTest::newRow("saved password, wrong: refused") << false << "The server refused the log-in: 535";
}

void TestPreferences::testConnection()
{
    QFETCH(bool, typeRightPassword);
    QFETCH(QString, verdict);

    const QString password = QStringLiteral("box-Passw0rd");
    varnholt::testing::AiosmtpdServer server;
    VARNHOLT_START_SERVER(server, "plain", m_dir->filePath("smtp"), {}, {}, "alice-smtp", password);

    const tAccountObj saved = *m_settings.accounts.item(0);
    m_window = open();
    type("edSmtpServer", QStringLiteral("127.0.0.1"));
    type("edSmtpPort", QString::number(server.port()));
    child<QComboBox>("cbSecurity")->setCurrentIndex(0);
    // Its POP3 server is a made-up name: no log-in there, and no lookup.
    child<QCheckBox>("cbPop3Identify")->setChecked(false);
    if (typeRightPassword)
        type("edAuPsw", password);
    QVERIFY(!m_window->connectionTestDialog());
    click("btTestConnection");

    TConnectionTestDialog *dialog = m_window->connectionTestDialog();
    QVERIFY(dialog && dialog->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!dialog->test().isRunning(), 30000);
    QVERIFY2(dialog->verdictLabel()->text().startsWith(verdict), qPrintable(dialog->verdictLabel()->text()));
    const QString trace = dialog->traceView()->toPlainText();
    QVERIFY2(trace.startsWith(QStringLiteral("SMTP 127.0.0.1:%1\n").arg(server.port())), qPrintable(trace));
    QVERIFY2(trace.contains("C: <credentials hidden>"), qPrintable(trace));
    QVERIFY(!trace.contains(password) && !trace.contains(QStringLiteral("smtp-secret")));
    QVERIFY(!dialog->stopButton()->isEnabled());
    QVERIFY(QDir(m_dir->filePath("smtp")).entryList(QDir::Files).isEmpty()); // nothing sent
    VARNHOLT_VERIFY_ACCESSIBLE(dialog);
    QCOMPARE(varnholt::testing::mnemonicProblems(dialog), QStringList());

    // Testing neither saves nor changes the accounts.
    QCOMPARE(*m_settings.accounts.item(0), saved);
    QVERIFY(!QFile::exists(m_files.settings));
    // A second test reuses the window.
    click("btTestConnection");
    QCOMPARE(m_window->connectionTestDialog(), dialog);
    QTRY_VERIFY_WITH_TIMEOUT(!dialog->test().isRunning(), 30000);
    QVERIFY(dialog->verdictLabel()->text().startsWith(verdict));
}

QTEST_MAIN(TestPreferences)
#include "tst_preferences.moc"
