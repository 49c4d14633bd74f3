#include "settings/programfolder.h"
#include "settings/settings.h"
#include "settings/textfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "testfiles.h"

#include <climits>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace varnholt;

namespace {

QString dataFile(const QString &name)
{
    return QStringLiteral(VARNHOLT_TEST_DATA "/settings/") + name;
}

QByteArray fileBytes(const QString &path)
{
    return readFileBytes(path).value_or(QByteArray("<unreadable>"));
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();

    void recordLayoutGoldenRoundTrip();
    void firstStartDefaults();
    void valuesSurviveSaveAndLoad_data();
    void valuesSurviveSaveAndLoad();
    void accountLine_data();
    void accountLine();
    void settingsLine_data();
    void settingsLine();
    void recordLayoutStructure_data();
    void recordLayoutStructure();
    void iniLayout();
    void badInputGivesDefaultsOrData_data();
    void badInputGivesDefaultsOrData();
    void saveWithoutAccountsAddsDefaultAccount();
    void failedSaveKeepsOldFile();
    void accountList();

private:
    QString writeTemp(const QString &name, const QByteArray &bytes)
    {
        return varnholt::testing::writeFile(m_dir.filePath(name), bytes) ? m_dir.filePath(name) : QString();
    }
    QTemporaryDir m_dir;
};

void TestSettings::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // Keep the default project folder (PathPro) inside the scratch folder.
    ProgramFolder::initialise(m_dir.filePath(QStringLiteral("home")));
}

void TestSettings::recordLayoutGoldenRoundTrip()
{
    ProgramSettings s;
    QCOMPARE(LoadSettings(s, dataFile(QStringLiteral("record-layout.ini"))), SettingsLayout::Record);

    QCOMPARE(s.accounts.count(), 2);
    const tAccountObj &ann = *s.accounts.item(0);
    QCOMPARE(ann.Name, QStringLiteral("Ann Example"));
    QCOMPARE(ann.SMTPPort, 587);
    QCOMPARE(ann.PopPort, 995);
    QCOMPARE(ann.Password, QStringLiteral("pop^secret"));
    QCOMPARE(ann.auPsw, QStringLiteral("p% 5E^"));
    QVERIFY(ann.Authen);
    QVERIFY(ann.MaskSMTP);
    QVERIFY(!ann.MaskPop3);
    QCOMPARE(ann.Security, AccountSecurity::StartTls);
    QCOMPARE(ann.MaxPerMinute, 30);
    QCOMPARE(ann.MaxPerHour, 1000);
    const tAccountObj &bob = *s.accounts.item(1);
    QCOMPARE(bob.Password, QString());
    QVERIFY(!bob.Authen);
    QVERIFY(bob.MaskPop3);
    QCOMPARE(bob.Security, AccountSecurity::None);
    QCOMPARE(bob.MaxPerMinute, 0); // empty fields: no limit
    QCOMPARE(bob.MaxPerHour, 0);

    QCOMPARE(s.statusCodes.size(), 2);
    QCOMPARE(s.statusCodes.last(), QStringLiteral("554  Transaction failed"));

    const TIniInfo &r = s.iniInfo;
    QCOMPARE(r.NConnect, 1);
    QCOMPARE(r.DnsIP, QStringLiteral("127.0.0.1"));
    QVERIFY(r.AutoCommit);
    QCOMPARE(r.AutoCommitT, 15);
    QCOMPARE(r.CharSet, QStringLiteral("Deutsch(de),iso-8859-15"));
    QCOMPARE(r.PathPro, QStringLiteral("/"));
    QCOMPARE(r.NumberConnect, 8);
    QVERIFY(r.Html);
    QCOMPARE(r.TimeOut, 30);
    QCOMPARE(r.Codes, QStringLiteral("550;551"));
    QVERIFY(!r.DefaultHelo);
    QCOMPARE(r.TextHelo, QStringLiteral("helo.example.test"));
    QVERIFY(r.Pop3Identify && r.CreateLog && !r.ExternalSmtp && !r.LangOn && !r.LangInit);
    QCOMPARE(r.LogFile, QStringLiteral("/var/log/send_05-03-10_14-03-07.log"));

    const QString out = m_dir.filePath(QStringLiteral("golden-copy.ini"));
    QVERIFY(SaveSettings(s, out));
    QCOMPARE(fileBytes(out), fileBytes(dataFile(QStringLiteral("record-layout.ini"))));
}

void TestSettings::firstStartDefaults()
{
    const QString path = m_dir.filePath(QStringLiteral("first-start/setupqnd.ini"));
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    ProgramSettings s;
    s.statusCodes = QStringList{QStringLiteral("stale")};
    QCOMPARE(LoadSettings(s, path), SettingsLayout::Unrecognised);

    QCOMPARE(s.accounts.count(), 1);
    QCOMPARE(*s.accounts.item(0), tAccountObj::withDefaults());
    QCOMPARE(s.accounts.item(0)->Name, QStringLiteral("Your Name"));
    QCOMPARE(s.accounts.item(0)->UserID, QStringLiteral("Enter User ID"));
    QCOMPARE(s.accounts.item(0)->SMTPPort, 25);
    QCOMPARE(s.accounts.item(0)->PopPort, 110);
    QVERIFY(s.statusCodes.isEmpty());
    QCOMPARE(s.iniInfo.CharSet, QStringLiteral("English(en),iso-8859-1"));
    QCOMPARE(s.iniInfo.NumberConnect, 5);
    QCOMPARE(s.iniInfo.TimeOut, 10);
    QVERIFY(s.iniInfo.DefaultHelo && s.iniInfo.Pop3Identify);
    QCOMPARE(s.iniInfo.PathPro, ProgramFolder::path());
    QVERIFY(s.iniInfo.PathPro.endsWith(u'/'));
    QCOMPARE(s.iniInfo.SectionSymbol, QStringLiteral(";"));

    QVERIFY(SaveSettings(s, path));
    const QByteArray bytes = fileBytes(path);
    QVERIFY(bytes.startsWith("<Connections>\r\nYour Name^Enter User ID^"));
    QVERIFY(bytes.contains("\r\n\r\n<Status Codes>\r\n\r\n<Mail Info>\r\n0^8.8.8.8^^10^"));
    QVERIFY(bytes.endsWith("^language.lan^\r\n"));
    QCOMPARE(bytes.count("\r\n"), bytes.count('\n'));
    // It holds passwords: owner read/write only.
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0600));

    ProgramSettings again;
    QCOMPARE(LoadSettings(again, path), SettingsLayout::Record);
    QCOMPARE(again.iniInfo, s.iniInfo);
    QCOMPARE(*again.accounts.item(0), *s.accounts.item(0));
}

void TestSettings::valuesSurviveSaveAndLoad_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("caret") << "a^b^";
    QTest::newRow("literal %5E") << "%5E and %41";
    QTest::newRow("lone percent") << "100% %";
    QTest::newRow("line breaks and tab") << "one\r\ntwo\rthree\nfour\tfive";
    QTest::newRow("NUL") << QString(QStringLiteral("a") + QChar(u'\0') + QStringLiteral("b"));
    QTest::newRow("blanks at both ends") << "  padded  ";
    QTest::newRow("only a blank") << " ";
    QTest::newRow("longer than 255") << QString(1000, u'x');
    QTest::newRow("non-Latin") << QStringLiteral("Grüße, Привет, 東京");
    QTest::newRow("broken UTF-8 byte") << QString(QStringLiteral("x") + QChar(char16_t(0xDCE9)));
}

void TestSettings::valuesSurviveSaveAndLoad()
{
    QFETCH(QString, value);
    ProgramSettings s;
    LoadSettings(s, QString());
    tAccountObj a = tAccountObj::empty();
    a.Name = QStringLiteral("N");
    a.Password = value;
    a.auPsw = value;
    a.MailDomain = value;
    a.MaskSMTP = a.MaskPop3 = false;
    a.Security = AccountSecurity::Tls;
    a.MaxPerMinute = 12;
    a.MaxPerHour = 0;
    a.Connections = 3;
    a.DkimKeyFile = value;
    a.TokenCommand = value;
    a.NoPipelining = true; // the last field of an account line
    s.accounts.add(a);
    s.statusCodes = QStringList{QStringLiteral("550  x")};
    s.iniInfo.TextHelo = value;
    s.iniInfo.LogFile = value; // the last field of the settings line
    s.iniInfo.Codes = value;

    const QString path = m_dir.filePath(QStringLiteral("values.ini"));
    QVERIFY(SaveSettings(s, path));
    ProgramSettings back;
    QCOMPARE(LoadSettings(back, path), SettingsLayout::Record);
    QCOMPARE(back.accounts.count(), 2);
    QCOMPARE(*back.accounts.item(1), a);
    QCOMPARE(back.iniInfo, s.iniInfo);
    QCOMPARE(back.statusCodes, s.statusCodes);
}

void TestSettings::accountLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("expectedName");
    QTest::addColumn<int>("smtpPort");
    QTest::addColumn<int>("popPort");
    QTest::addColumn<bool>("maskPop3");
    QTest::addColumn<QString>("auName");
    QTest::addColumn<AccountSecurity>("security");
    QTest::addColumn<int>("perMinute");
    QTest::addColumn<int>("perHour");

    QTest::newRow("15 fields, MaskPop3 false at the end")
        << "N^u^s^26^p^111^pw^r@x^t@x^x^1^au^ap^1^" << "N" << 26 << 111 << false << "au" << AccountSecurity::None << 0 << 0;
    QTest::newRow("15 fields, all set") << "N^u^s^26^p^111^pw^r@x^t@x^x^1^au^ap^1^1" << "N" << 26 << 111 << true
                                        << "au" << AccountSecurity::None << 0 << 0;
    QTest::newRow("ports not numbers keep theirs")
        << "N^u^s^2x5^p^^pw" << "N" << 25 << 110 << true << "" << AccountSecurity::None << 0 << 0;
    QTest::newRow("only a name: the rest keeps the defaults")
        << "Solo" << "Solo" << 25 << 110 << true << "" << AccountSecurity::None << 0 << 0;
    QTest::newRow("security in any case") << "N^u^s^465^p^995^^^^^1^a^b^1^1^TLS" << "N" << 465 << 995 << true << "a"
                                          << AccountSecurity::Tls << 0 << 0;
    QTest::newRow("unknown security is none") << "N^u^s^25^p^110^^^^^^^^1^1^ssl3" << "N" << 25 << 110 << true << ""
                                              << AccountSecurity::None << 0 << 0;
    QTest::newRow("escaped name, blanks trimmed") << "  A%5EB %25 ^u" << "A^B %" << 25 << 110 << true << ""
                                                  << AccountSecurity::None << 0 << 0;
    QTest::newRow("limits after the security field")
        << "N^u^s^25^p^110^^^^^^^^1^1^tls^30^1000" << "N" << 25 << 110 << true << "" << AccountSecurity::Tls << 30
        << 1000;
    QTest::newRow("empty limits at the end are no limit")
        << "N^u^s^25^p^110^^^^^^^^1^^^^" << "N" << 25 << 110 << false << "" << AccountSecurity::None << 0 << 0;
    QTest::newRow("negative limit is none, leading digits count")
        << "N^u^s^25^p^110^^^^^^^^1^1^^-5^12x" << "N" << 25 << 110 << true << "" << AccountSecurity::None << 0 << 12;
    QTest::newRow("fields after the limits are ignored")
        << "N^u^s^25^p^110^^^^^^^^1^1^^1^2^future" << "N" << 25 << 110 << true << "" << AccountSecurity::None << 1
        << 2;
}

void TestSettings::accountLine()
{
    QFETCH(QString, line);
    QFETCH(QString, expectedName);
    QFETCH(int, smtpPort);
    QFETCH(int, popPort);
    QFETCH(bool, maskPop3);
    QFETCH(QString, auName);
    QFETCH(AccountSecurity, security);
    QFETCH(int, perMinute);
    QFETCH(int, perHour);

    tAccountObj a = tAccountObj::withDefaults();
    fillAccountFromLine(a, line);
    QCOMPARE(a.Name, expectedName);
    QCOMPARE(a.SMTPPort, smtpPort);
    QCOMPARE(a.PopPort, popPort);
    QCOMPARE(a.MaskPop3, maskPop3);
    QCOMPARE(a.AuName, auName);
    QCOMPARE(a.Security, security);
    QCOMPARE(a.MaxPerMinute, perMinute);
    QCOMPARE(a.MaxPerHour, perHour);
    if (line.count(u'^') < 2)
        QCOMPARE(a.SMTPServer, tAccountObj::withDefaults().SMTPServer);
}

void TestSettings::settingsLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("nConnect");
    QTest::addColumn<int>("autoCommitT");
    QTest::addColumn<QString>("pathPro");
    QTest::addColumn<bool>("pop3Identify");
    QTest::addColumn<QString>("logFile");

    const QString home = ProgramFolder::path();
    QTest::newRow("leading digits count") << "3x^d^^12min" << 3 << 12 << home << true << "";
    QTest::newRow("no digits give 0") << "abc^d^^" << 0 << 0 << home << true << "";
    QTest::newRow("negative") << "-2^d^^-7" << -2 << -7 << home << true << "";
    QTest::newRow("overflow clamps") << "99999999999^d^^-99999999999" << INT_MAX << INT_MIN << home << true << "";
    QTest::newRow("missing folder ignored") << "0^d^^10^cs^/no/such/folder/" << 0 << 10 << home << true << "";
    QTest::newRow("existing folder taken") << "0^d^^10^cs^/" << 0 << 10 << "/" << true << "";
    QTest::newRow("trailing caret: empty last field")
        << "1^d^^10^cs^^5^10^^10^^1^^^^^^^lang.lan^" << 1 << 10 << home << false << "";
    QTest::newRow("all 20 fields") << "1^d^^10^cs^^5^10^^10^^1^^1^^^^^lang.lan^/tmp/l.log" << 1 << 10 << home << true
                                   << "/tmp/l.log";
}

void TestSettings::settingsLine()
{
    QFETCH(QString, line);
    QFETCH(int, nConnect);
    QFETCH(int, autoCommitT);
    QFETCH(QString, pathPro);
    QFETCH(bool, pop3Identify);
    QFETCH(QString, logFile);

    TIniInfo r = DefaultIniInfo();
    fillSettingsFromLine(r, line);
    QCOMPARE(r.NConnect, nConnect);
    QCOMPARE(r.AutoCommitT, autoCommitT);
    QCOMPARE(r.PathPro, pathPro);
    QCOMPARE(r.Pop3Identify, pop3Identify);
    QCOMPARE(r.LogFile, logFile);
    QCOMPARE(r.DnsIP, QStringLiteral("d"));
}

void TestSettings::recordLayoutStructure_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("layout");
    QTest::addColumn<QStringList>("accountNames");
    QTest::addColumn<QStringList>("statusCodes");
    QTest::addColumn<int>("nConnect");

    const QStringList defaults{QStringLiteral("Your Name")};
    QTest::newRow("second line empty: nothing else read")
        << QByteArray("<Connections>\r\n\r\n<Status Codes>\r\n550  x\r\n\r\n<Mail Info>\r\n4^d\r\n")
        << int(SettingsLayout::Record) << defaults << QStringList{} << 0;
    QTest::newRow("markers in any case, LF only")
        << QByteArray("<CONNECTIONS>\nA\nB\n\n<status codes>\n550  x\n551  y\n\n<mail INFO>\n4^d\n")
        << int(SettingsLayout::Record) << QStringList{"A", "B"} << QStringList{"550  x", "551  y"} << 4;
    QTest::newRow("no status section, CR only") << QByteArray("<Connections>\rA\r\r<Mail Info>\r2^d")
                                                << int(SettingsLayout::Record) << QStringList{"A"} << QStringList{}
                                                << 2;
    QTest::newRow("empty status section")
        << QByteArray("<Connections>\r\nA\r\n\r\n<Status Codes>\r\n\r\n<Mail Info>\r\n3^d\r\n")
        << int(SettingsLayout::Record) << QStringList{"A"} << QStringList{} << 3;
    QTest::newRow("mail info without its line") << QByteArray("<Connections>\r\nA\r\n\r\n<Mail Info>\r\n")
                                                << int(SettingsLayout::Record) << QStringList{"A"} << QStringList{}
                                                << 0;
    QTest::newRow("only the first marker") << QByteArray("<Connections>") << int(SettingsLayout::Record) << defaults
                                           << QStringList{} << 0;
    QTest::newRow("[user] in other case is unrecognised")
        << QByteArray("[user]\r\nCount=1\r\n0=Ann\r\n") << int(SettingsLayout::Unrecognised) << defaults
        << QStringList{} << 0;
    QTest::newRow("other first line") << QByteArray(" <Connections>\r\nA\r\n") << int(SettingsLayout::Unrecognised)
                                      << defaults << QStringList{} << 0;
    QTest::newRow("empty file") << QByteArray() << int(SettingsLayout::Unrecognised) << defaults << QStringList{} << 0;
}

void TestSettings::recordLayoutStructure()
{
    QFETCH(QByteArray, file);
    QFETCH(int, layout);
    QFETCH(QStringList, accountNames);
    QFETCH(QStringList, statusCodes);
    QFETCH(int, nConnect);

    ProgramSettings s;
    QCOMPARE(int(LoadSettings(s, writeTemp(QStringLiteral("structure.ini"), file))), layout);
    QStringList names;
    for (int i = 0; i < s.accounts.count(); ++i)
        names.append(s.accounts.item(i)->Name);
    QCOMPARE(names, accountNames);
    QCOMPARE(s.statusCodes, statusCodes);
    QCOMPARE(s.iniInfo.NConnect, nConnect);
    if (nConnect == 0)
        QCOMPARE(s.iniInfo, DefaultIniInfo());
}

void TestSettings::iniLayout()
{
    ProgramSettings s;
    QCOMPARE(LoadSettings(s, dataFile(QStringLiteral("ini-layout.ini"))), SettingsLayout::Ini);

    QCOMPARE(s.accounts.count(), 2); // key "1" is empty: skipped
    const tAccountObj &ann = *s.accounts.item(0);
    QCOMPARE(ann.Name, QStringLiteral("Ann Example"));
    QCOMPARE(ann.UserID, QStringLiteral("ann"));
    QCOMPARE(ann.SMTPServer, QStringLiteral("smtp.example.test"));
    QCOMPARE(ann.SMTPPort, 587);
    QCOMPARE(ann.PopPort, 110);                           // malformed: keeps the default
    QCOMPARE(ann.Password, QStringLiteral("pop^secret")); // INI values are not escaped
    QVERIFY(ann.Authen);                                  // any non-zero integer
    QVERIFY(!ann.MaskPop3);
    QVERIFY(ann.MaskSMTP);
    QCOMPARE(ann.Security, AccountSecurity::Tls);
    QCOMPARE(ann.MaxPerMinute, 20);
    QCOMPARE(ann.MaxPerHour, 0); // a negative limit is none
    QCOMPARE(ann.MailDomain, tAccountObj::withDefaults().MailDomain);
    const tAccountObj &bob = *s.accounts.item(1);
    QCOMPARE(bob.Name, QStringLiteral("Bob"));
    QCOMPARE(bob.AuName, QStringLiteral("bob-smtp"));
    QCOMPARE(bob.MaxPerMinute, 0); // no keys: no limit
    QCOMPARE(bob.UserID, QStringLiteral("Enter User ID"));

    QCOMPARE(s.statusCodes, (QStringList{"550  Mailbox unavailable", "554  Transaction failed"}));

    QCOMPARE(s.iniInfo.NConnect, 1);
    QCOMPARE(s.iniInfo.DnsIP, QStringLiteral("127.0.0.1"));
    QCOMPARE(s.iniInfo.PathPro, ProgramFolder::path());
    QVERIFY(!s.iniInfo.DefaultHelo);
    QCOMPARE(s.iniInfo.TextHelo, QStringLiteral("helo.example.test"));
    QVERIFY(!s.iniInfo.Pop3Identify);
    QVERIFY(s.iniInfo.CreateLog);
    QCOMPARE(s.iniInfo.TimeOut, 30);
    QCOMPARE(s.iniInfo.NumberConnect, 5);

    // A corrupt count does not make the reader walk billions of keys.
    ProgramSettings big;
    LoadSettings(big, writeTemp(QStringLiteral("count.ini"), "[User]\r\nCount=2147483647\r\n0=Only\r\n"));
    QCOMPARE(big.accounts.count(), 1);
    QCOMPARE(big.accounts.item(0)->Name, QStringLiteral("Only"));
}

void TestSettings::badInputGivesDefaultsOrData_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("firstNameLength");

    QByteArray binary;
    for (int i = 0; i < 4096; ++i)
        binary += char((i * 37 + 11) & 0xFF);
    QTest::newRow("binary") << binary << 9;
    QTest::newRow("1 MB account line, no line end") << "<Connections>\r\n" + QByteArray(1 << 20, 'x') << (1 << 20);
    QTest::newRow("NUL ends the text") << QByteArray("<Connections>\r\nAnn\0Bob\r\n", 24) << 3;
    QTest::newRow("invalid UTF-8 kept") << QByteArray("<Connections>\r\nA\xE9\xFF\r\n") << 3;
    QTest::newRow("only line ends") << QByteArray("\r\n\r\n\n\r") << 9;
}

void TestSettings::badInputGivesDefaultsOrData()
{
    QFETCH(QByteArray, file);
    QFETCH(int, firstNameLength);
    ProgramSettings s;
    const QString path = writeTemp(QStringLiteral("bad.ini"), file);
    LoadSettings(s, path);
    QVERIFY(s.accounts.count() >= 1);
    QCOMPARE(s.accounts.item(0)->Name.size(), firstNameLength);

    // What was read is written back unchanged (no cut at 255, bytes kept).
    QVERIFY(SaveSettings(s, path));
    ProgramSettings back;
    LoadSettings(back, path);
    QCOMPARE(*back.accounts.item(0), *s.accounts.item(0));
}

void TestSettings::saveWithoutAccountsAddsDefaultAccount()
{
    ProgramSettings s;
    s.accounts.Clear();
    const QString path = m_dir.filePath(QStringLiteral("no-accounts.ini"));
    QVERIFY(SaveSettings(s, path));
    QCOMPARE(s.accounts.count(), 1);
    QVERIFY(fileBytes(path).startsWith("<Connections>\r\nYour Name^"));
}

void TestSettings::failedSaveKeepsOldFile()
{
    ProgramSettings s;
    LoadSettings(s, QString());
    QString error;

    // The parent is a regular file: nothing can be created there.
    const QString notAFolder = writeTemp(QStringLiteral("plain-file"), "x");
    QVERIFY(!SaveSettings(s, notAFolder + QStringLiteral("/setupqnd.ini"), &error));
    QVERIFY(!error.isEmpty());

    // The target is a folder: it stays a folder.
    const QString folder = m_dir.filePath(QStringLiteral("target-is-folder"));
    QVERIFY(QDir().mkpath(folder));
    error.clear();
    QVERIFY(!SaveSettings(s, folder, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(QFileInfo(folder).isDir());

    // The write itself fails part-way (the file-size limit stands in for a
    // full disk): the old file stays whole and no temporary file is left.
    const QString path = m_dir.filePath(QStringLiteral("keep/setupqnd.ini"));
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QVERIFY(SaveSettings(s, path));
    const QByteArray before = fileBytes(path);
    s.iniInfo.TextHelo = QString(64 * 1024, u'h');

    rlimit old {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 16 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    error.clear();
    const bool saved = SaveSettings(s, path, &error);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(!saved);
    QVERIFY(!error.isEmpty());
    QCOMPARE(fileBytes(path), before);
    QCOMPARE(QDir(QFileInfo(path).path()).entryList(QDir::Files | QDir::Hidden), QStringList{"setupqnd.ini"});
}

void TestSettings::accountList()
{
    tAccounts accounts;
    QCOMPARE(accounts.count(), 0);
    QCOMPARE(accounts.add(std::unique_ptr<tAccountObj>()), -1);
    QCOMPARE(accounts.add(tAccountObj::empty()), 0);
    QCOMPARE(accounts.add(tAccountObj::withDefaults()), 1);
    QCOMPARE(accounts.count(), 2);
    QCOMPARE(accounts.item(0)->Name, QString());
    QCOMPARE(accounts.item(0)->SMTPPort, 25);
    QVERIFY(accounts.item(0)->MaskSMTP && accounts.item(0)->MaskPop3 && !accounts.item(0)->Authen);
    QVERIFY(!accounts.item(2));
    QVERIFY(!accounts.item(-1));
    QCOMPARE(accounts.templateAccount(), tAccountObj::withDefaults());
    accounts.Clear();
    QCOMPARE(accounts.count(), 0);
    QCOMPARE(accounts.templateAccount().PopPort, 110);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
