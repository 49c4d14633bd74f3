#include "project/colorfile.h"
#include "project/project.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "testfiles.h"

using namespace varnholt;
using namespace varnholt::testing;

namespace {

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

} // namespace

class TestProject : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();

    void newProjectTakesSmallestFreeName();
    void newProjectFolder_data();
    void newProjectFolder();
    void loadSettingsReadsEveryKey();
    void loadSettingsDefaults();
    void addressBookIsCopiedToTheList();
    void attachmentsAreTrimmedAndSkipped();
    void saveWritesTheFileSet();
    void saveAndReopenRoundTrip();
    void saveAs_data();
    void saveAs();
    void cancelledDialogStillWritesButIsNotConfirmed();
    void failedListWriteIsReportedAndKeepsOldFiles();
    void changeDelimiterReloads();
    void listNotReadWholeNeedsConfirmation();
    void delimiterError_data();
    void delimiterError();
    void colorFiles();

private:
    QString dir(const QString &name = {}) const { return m_dir->path() + u'/' + name; }
    TIniInfo programWide() const;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestProject::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

TIniInfo TestProject::programWide() const
{
    TIniInfo info;
    info.PathPro = dir("projects/");
    info.CharSet = QStringLiteral("Russian(ru),koi8-r");
    info.NConnect = 2;
    info.Html = true;
    info.CreateLog = true;
    info.Codes = QStringLiteral("550;551");
    info.AutoCommitT = 25;
    info.TimeOut = 33; // not a project key: always the program-wide value
    return info;
}

void TestProject::newProjectTakesSmallestFreeName()
{
    QDir().mkpath(dir("projects"));
    for (const char *name : {"noname0.eml", "noname2.eml", "noname1.mml", "noname1.txt", "noname1.hcr", "keep.txt"})
        writeFile(dir("projects/") + name, "x");

    Project p(programWide());
    const QString path = p.createNew(dir("elsewhere/*.eml"));
    QCOMPARE(path, dir("projects/"));
    QCOMPARE(p.name(), QStringLiteral("noname1"));
    QCOMPARE(p.folder(), dir("projects/"));
    QCOMPARE(p.settingsFile(), dir("projects/noname1.eml"));
    QCOMPARE(filesIn(dir("projects")), (QStringList{"keep.txt", "noname0.eml", "noname2.eml"}));
    QVERIFY(p.isNew());
    QVERIFY(p.isModified());
    QCOMPARE(p.settings().TimeOut, 33);
}

void TestProject::newProjectFolder_data()
{
    QTest::addColumn<QString>("defaultFolder"); // relative to the temporary folder; "-" for none
    QTest::addColumn<QString>("expectedFolder");
    QTest::newRow("missing default folder is created") << "new/deep/" << "new/deep/";
    QTest::newRow("default folder without trailing slash") << "plain" << "plain/";
    QTest::newRow("no default folder: the caller's folder") << "-" << "start/";
    QTest::newRow("default folder cannot be created: the caller's folder") << "afile/sub/" << "start/";
}

void TestProject::newProjectFolder()
{
    QFETCH(QString, defaultFolder);
    QFETCH(QString, expectedFolder);
    writeFile(dir("afile"), "not a folder");
    QDir().mkpath(dir("start"));
    TIniInfo info = programWide();
    info.PathPro = defaultFolder == u"-" ? QString() : dir(defaultFolder);
    Project p(info);
    const QString returned = p.createNew(dir("start/*.eml"));
    QCOMPARE(p.folder(), dir(expectedFolder));
    QCOMPARE(p.name(), QStringLiteral("noname0"));
    QCOMPARE(returned, expectedFolder == u"start/" ? dir("start/*.eml") : dir(expectedFolder));
}

void TestProject::loadSettingsReadsEveryKey()
{
    writeFile(dir("offer.eml"),
              "[Common]\r\nSubject=Hello [Column#2]\r\nSectionSymbol=Tab\r\nColumn=1\r\nColumnA=2\r\n"
              "CharSet=German(de),iso-8859-15\r\nNIniInfo=4\r\nAutoCommit=1\r\nAutoCommitT=7\r\nHTML=0\r\n"
              "BaseUrl=/srv/pics/\r\nCreate Log=0\r\nExternal Smtp=5\r\nCodes=421\r\nLogFile=/l/send.log\r\n");
    writeFile(dir("offer.txt"), "a\tb\tc\r\n");
    Project p(programWide());
    p.open(dir("offer.eml"));
    const TIniInfo &s = p.settings();
    QCOMPARE(p.name(), QStringLiteral("offer"));
    QCOMPARE(s.Subject, QStringLiteral("Hello [Column#2]"));
    QCOMPARE(s.SectionSymbol, QStringLiteral("\t"));
    QCOMPARE(p.delimiter(), QChar(u'\t'));
    QCOMPARE(p.table().columnCount(), 3);
    QCOMPARE(s.Column, 1);
    QCOMPARE(s.ColumnA, 2);
    QCOMPARE(s.CharSet, QStringLiteral("German(de),iso-8859-15"));
    QCOMPARE(s.NConnect, 4);
    QCOMPARE(s.AutoCommit, true);
    QCOMPARE(s.AutoCommitT, 7);
    QCOMPARE(s.Html, false);
    QCOMPARE(s.BaseUrl, QStringLiteral("/srv/pics/"));
    QCOMPARE(s.CreateLog, false);
    QCOMPARE(s.ExternalSmtp, true); // any non-zero integer is true
    QCOMPARE(s.Codes, QStringLiteral("421"));
    QCOMPARE(s.LogFile, QStringLiteral("/l/send.log"));
    QVERIFY(!p.isModified());
    QVERIFY(!p.isNew());
}

void TestProject::loadSettingsDefaults()
{
    // No SectionSymbol, no BaseUrl, columns beyond the list, a subject too long.
    writeFile(dir("p.eml"), "[Common]\r\nColumn=4\r\nColumnA=9\r\nSubject=" + QByteArray(300, 's') + "\r\n");
    writeFile(dir("p.txt"), "a;b\r\n");
    TIniInfo info = programWide();
    info.Modified = true;
    Project p(info);
    p.open(dir("p.eml"));
    const TIniInfo &s = p.settings();
    QCOMPARE(s.SectionSymbol, QStringLiteral(";"));
    QCOMPARE(s.BaseUrl, dir());
    QCOMPARE(s.Column, 0);
    QCOMPARE(s.ColumnA, 0);
    QCOMPARE(s.Subject.size(), 255);
    QCOMPARE(s.CharSet, info.CharSet);
    QCOMPARE(s.NConnect, 2);
    QCOMPARE(s.Html, true);
    QCOMPARE(s.Codes, QStringLiteral("550;551"));
    QVERIFY(!s.Modified);

    // A missing settings file: every default, one blank list row, no text.
    Project missing(info);
    missing.open(dir("none.eml"));
    QCOMPARE(missing.settings().SectionSymbol, QStringLiteral(";"));
    QCOMPARE(missing.settings().AutoCommitT, 25);
    QCOMPARE(missing.table().rowCount(), 1);
    QCOMPARE(missing.plainText(), QString());
}

void TestProject::addressBookIsCopiedToTheList()
{
    writeFile(dir("p.eml"), "[Common]\r\nAddressBook=C:\\old\\Kunden.txt\r\n");
    writeFile(dir("Kunden.txt"), "x@y;X\r\n");
    Project p(programWide());
    p.open(dir("p.eml"));
    QCOMPARE(readFile(dir("p.txt")), QByteArray("x@y;X\r\n"));
    QCOMPARE(p.table().cell(0, 0), QStringLiteral("x@y"));

    // An existing list is never overwritten.
    writeFile(dir("p.txt"), "own\r\n");
    p.open(dir("p.eml"));
    QCOMPARE(p.table().cell(0, 0), QStringLiteral("own"));
}

void TestProject::attachmentsAreTrimmedAndSkipped()
{
    writeFile(dir("p.eml"),
              "[Attachment]\r\n0=  /a/one.pdf\t\r\n1=\r\n2=C:\\docs\\two.doc\r\n3=/not/counted\r\nCount=3\r\n"
              "[Other]\r\nCount=99\r\n");
    Project p(programWide());
    p.open(dir("p.eml"));
    QCOMPARE(p.attachments().size(), 2);
    QCOMPARE(p.attachments()[0].fullPath, QStringLiteral("/a/one.pdf"));
    QCOMPARE(p.attachments()[0].displayName, QStringLiteral("one.pdf"));
    QCOMPARE(p.attachments()[1].displayName, QStringLiteral("two.doc"));
    QCOMPARE(p.attachments()[1].mimeType, QString());

    // A damaged huge count reads only the keys that exist.
    writeFile(dir("p.eml"), "[Attachment]\r\nCount=2147483647\r\n0=/x\r\n");
    p.open(dir("p.eml"));
    QCOMPARE(p.attachments().size(), 1);
}

void TestProject::saveWritesTheFileSet()
{
    writeFile(dir("offer.eml"),
              "[Common]\r\nSubject=old\r\nCodes=421\r\nAddressBook=x.txt\r\n"
              "[Attachment]\r\nCount=2\r\n0=/old/a\r\n1=/old/b\r\n"
              "[MailTask]\r\nStart=2024-01-01\r\n");
    Project p(programWide());
    p.open(dir("offer.eml"));
    TIniInfo &s = p.settings();
    s.Subject = QStringLiteral("New offer");
    s.SectionSymbol = QStringLiteral(" ");
    s.BaseUrl = QStringLiteral("/b/");
    s.LogFile.clear();
    p.attachments() = {ProjectAttachment::fromPath("/a/one.pdf"), ProjectAttachment{},
                       ProjectAttachment::fromPath("/never/written")};
    p.table().setColumnCount(2);
    p.table().setCell(0, 0, QStringLiteral("a@b"));
    p.setPlainText(QStringLiteral("Dear [Column#2],\n\nbye\n"));
    s.Modified = true;
    p.setModified(true);

    const Project::SaveResult r = p.save(false);
    QVERIFY(r.saved);
    QVERIFY(r.confirmed);
    QVERIFY(!p.isModified());
    QCOMPARE(readFile(dir("offer.eml")),
             QByteArray("[Common]\r\nSubject=New offer\r\nCodes=421\r\nAddressBook=x.txt\r\n"
                        "SectionSymbol=Space\r\nColumn=0\r\nColumnA=0\r\nCharSet=Russian(ru),koi8-r\r\n"
                        "NIniInfo=2\r\nAutoCommit=0\r\nAutoCommitT=25\r\nHTML=1\r\nBaseUrl=/b/\r\n"
                        "Create Log=1\r\nExternal Smtp=0\r\nLogFile=\r\n"
                        "[MailTask]\r\nStart=2024-01-01\r\n"
                        "\r\n[Attachment]\r\n0=/a/one.pdf\r\nCount=1\r\n"));
    QCOMPARE(readFile(dir("offer.txt")), QByteArray("a@b \r\n"));
    QCOMPARE(readFile(dir("offer.mml")), QByteArray("Dear [Column#2],\r\n\r\nbye\r\n"));

    // No attachments: the section is erased and no Count is written.
    p.attachments().clear();
    QVERIFY(p.save(false).saved);
    QVERIFY(!readFile(dir("offer.eml")).contains("Attachment"));
}

void TestProject::saveAndReopenRoundTrip()
{
    Project p(programWide());
    p.createNew(dir("x/*.eml"));
    p.settings().Subject = QStringLiteral("Grüße [Column#1]");
    p.settings().SectionSymbol = QStringLiteral("\t");
    p.settings().Column = 1;
    p.settings().ColumnA = 2;
    p.table().setRowCount(2);
    p.table().setColumnCount(2);
    p.table().setCell(0, 0, QStringLiteral("Jörg"));
    p.table().setCell(0, 1, QStringLiteral("j@x"));
    p.table().setCell(1, 1, QStringLiteral("k@x"));
    p.attachments() = {ProjectAttachment::fromPath(dir("file one.pdf"))};
    p.setPlainText(QStringLiteral("Line 1\nLine 2"));
    QVERIFY(p.save(false, dir("projects/round.eml")).saved);

    Project q(programWide());
    q.open(dir("projects/round.eml"));
    QCOMPARE(q.settings().Subject, p.settings().Subject);
    QCOMPARE(q.settings().SectionSymbol, QStringLiteral("\t"));
    QCOMPARE(q.settings().Column, 1);
    QCOMPARE(q.settings().ColumnA, 2);
    QCOMPARE(q.table().cell(0, 0), QStringLiteral("Jörg"));
    QCOMPARE(q.table().cell(1, 1), QStringLiteral("k@x"));
    QCOMPARE(q.attachments(), p.attachments());
    QCOMPARE(q.plainText(), QStringLiteral("Line 1\nLine 2"));
}

void TestProject::saveAs_data()
{
    QTest::addColumn<bool>("startNew");
    QTest::addColumn<bool>("saveAs");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("expectedName");
    QTest::addColumn<QStringList>("files");

    QTest::newRow("new project saved as offer: noname files go")
        << true << true << "offer" << "offer" << QStringList{"offer.eml", "offer.mml", "offer.txt"};
    QTest::newRow("offer.txt gets .eml appended")
        << true << true << "offer.txt" << "offer.txt"
        << QStringList{"offer.txt.eml", "offer.txt.mml", "offer.txt.txt"};
    QTest::newRow("new project, plain save with the dialog: noname files stay")
        << true << false << "offer.eml" << "offer"
        << QStringList{"noname0.eml", "noname0.mml", "noname0.txt", "offer.eml", "offer.mml", "offer.txt"};
    QTest::newRow("named project saved as another: old files stay")
        << false << true << "copy.eml" << "copy"
        << QStringList{"copy.eml", "copy.mml", "copy.txt", "orig.eml", "orig.mml", "orig.txt"};
    QTest::newRow("same file in other letter case: save as dropped")
        << false << true << "Orig.eml" << "orig" << QStringList{"orig.eml", "orig.mml", "orig.txt"};
}

void TestProject::saveAs()
{
    QFETCH(bool, startNew);
    QFETCH(bool, saveAs);
    QFETCH(QString, chosen);
    QFETCH(QString, expectedName);
    QFETCH(QStringList, files);

    Project p(programWide());
    if (startNew) {
        p.createNew(dir("*.eml"));
        QVERIFY(p.save(false, std::nullopt).settingsError.isEmpty()); // the noname files exist now
    } else {
        QDir().mkpath(dir("projects"));
        writeFile(dir("projects/orig.eml"), "[Common]\r\n");
        p.open(dir("projects/orig.eml"));
        QVERIFY(p.save(false).saved);
    }
    QVERIFY(p.needsSaveDialog(saveAs));
    QCOMPARE(p.suggestedSaveFileName(), p.settingsFile());
    const Project::SaveResult r = p.save(saveAs, dir("projects/") + chosen);
    QVERIFY(r.saved);
    QCOMPARE(p.name(), expectedName);
    QVERIFY(!p.isNew());
    QVERIFY(!p.needsSaveDialog(false));
    QCOMPARE(filesIn(dir("projects")), files);
}

void TestProject::cancelledDialogStillWritesButIsNotConfirmed()
{
    Project p(programWide());
    p.createNew(dir("*.eml"));
    p.setPlainText(QStringLiteral("draft"));
    const Project::SaveResult r = p.save(false, std::nullopt);
    QVERIFY(!r.confirmed);
    QVERIFY(!r.saved);
    QVERIFY(p.isNew());
    QVERIFY(p.isModified());
    QCOMPARE(readFile(dir("projects/noname0.mml")), QByteArray("draft\r\n"));
}

void TestProject::failedListWriteIsReportedAndKeepsOldFiles()
{
    Project p(programWide());
    p.createNew(dir("*.eml"));
    p.save(false, std::nullopt);
    QVERIFY(QDir().mkpath(dir("projects/offer.txt"))); // a folder where the list must go

    const Project::SaveResult r = p.save(true, dir("projects/offer.eml"));
    QVERIFY(r.confirmed);
    QVERIFY(!r.saved);
    QCOMPARE(r.listError, QStringLiteral("Address Book Save Error : ") + dir("projects/offer.txt"));
    QVERIFY(r.settingsError.isEmpty());
    QVERIFY(QFile::exists(dir("projects/offer.mml")));
    // The unsaved list is not given up: still modified, the noname files stay.
    QVERIFY(p.isModified());
    QVERIFY(QFile::exists(dir("projects/noname0.txt")));
}

void TestProject::changeDelimiterReloads()
{
    writeFile(dir("p.eml"), "[Common]\r\nSectionSymbol=;\r\n");
    writeFile(dir("p.txt"), "a,b;c\r\n");
    Project p(programWide());
    p.open(dir("p.eml"));
    QCOMPARE(p.table().columnCount(), 2);
    QVERIFY(!p.changeDelimiter(u';'));
    QVERIFY(!p.isModified());
    QVERIFY(p.changeDelimiter(u','));
    QVERIFY(p.isModified());
    QCOMPARE(p.table().cell(0, 1), QStringLiteral("b;c"));
    QCOMPARE(p.settings().SectionSymbol, QStringLiteral(","));

    QFile::remove(dir("p.txt"));
    QVERIFY(!p.changeDelimiter(u'|'));
    QCOMPARE(p.delimiter(), QChar(u'|'));
}

void TestProject::listNotReadWholeNeedsConfirmation()
{
    const QByteArray settings("[Common]\r\nSubject=x\r\n");
    const QByteArray list("a@x;A\r\nb@y\0rest@z;R\r\nc@z\r\n", 25);
    writeFile(dir("p.eml"), settings);
    writeFile(dir("p.txt"), list);
    Project p(programWide());
    p.open(dir("p.eml"));
    QVERIFY(!p.listReadWhole());
    QVERIFY2(p.listWarning().contains("NUL byte at offset 10"), qPrintable(p.listWarning()));
    QCOMPARE(p.table().rowCount(), 2);

    // Unconfirmed, nothing is written: not the list, not the settings.
    p.table().setCell(0, 1, QStringLiteral("changed"));
    p.settings().Subject = QStringLiteral("y");
    p.setPlainText(QStringLiteral("text"));
    Project::SaveResult r = p.save(false);
    QVERIFY(!r.saved);
    QVERIFY2(r.listError.contains("not read whole"), qPrintable(r.listError));
    QString error;
    QVERIFY(!p.saveList(&error));
    QCOMPARE(error, r.listError);
    QCOMPARE(readFile(dir("p.txt")), list);
    QCOMPARE(readFile(dir("p.eml")), settings);
    QVERIFY(!QFile::exists(dir("p.mml")));

    // A confirmation is taken back by a new load of the list.
    p.setListOverwriteConfirmed(true);
    p.loadList();
    QVERIFY(!p.listOverwriteConfirmed());

    p.table().setCell(0, 1, QStringLiteral("changed"));
    p.setListOverwriteConfirmed(true);
    r = p.save(false);
    QVERIFY(r.saved);
    QCOMPARE(readFile(dir("p.txt")), QByteArray("a@x;changed\r\nb@y;\r\n"));
    // The file holds what the table holds now: no more confirmations.
    QVERIFY(p.listReadWhole());
    QVERIFY(p.save(false).saved);
}

void TestProject::delimiterError_data()
{
    QTest::addColumn<QByteArray>("symbol");
    QTest::addColumn<QString>("error");
    QTest::newRow("one character") << QByteArray("|") << QString();
    QTest::newRow("Tab") << QByteArray("Tab") << QString();
    QTest::newRow("Space") << QByteArray("Space") << QString();
    QTest::newRow("two characters") << QByteArray(";;")
                                    << "the project's field delimiter \";;\" must be one character; the list is "
                                       "split at its first character, \";\"";
    QTest::newRow("a word") << QByteArray("Comma") << "\"Comma\" must be one character";
}

void TestProject::delimiterError()
{
    QFETCH(QByteArray, symbol);
    QFETCH(QString, error);
    writeFile(dir("p.eml"), "[Common]\r\nSectionSymbol=" + symbol + "\r\n");
    Project p(programWide());
    p.open(dir("p.eml"));
    if (error.isEmpty())
        QCOMPARE(p.delimiterError(), QString());
    else
        QVERIFY2(p.delimiterError().contains(error), qPrintable(p.delimiterError()));
}

void TestProject::colorFiles()
{
    CustomColors colors;
    for (int i = 0; i < 16; ++i)
        colors[size_t(i)] = quint32(i * 0x111111 / 3);
    colors[15] = 0xABCDEF;
    QVERIFY(writeColorFile(dir("p.hcr"), colors));
    const QByteArray text = readFile(dir("p.hcr"));
    QVERIFY(text.startsWith("ColorA=000000\r\nColorB=05B05B\r\n"));
    QVERIFY(text.endsWith("ColorP=ABCDEF\r\n"));
    QCOMPARE(text.count('\n'), 16);
    QCOMPARE(readColorFile(dir("p.hcr")), std::optional<CustomColors>(colors));

    // Hand-written: other letter case, a bad value, missing lines.
    writeFile(dir("q.hcr"), "colorb=00ff00\nColorC=xyz\n");
    const auto read = readColorFile(dir("q.hcr"));
    QVERIFY(read);
    QCOMPARE((*read)[1], 0x00FF00u);
    QCOMPARE((*read)[2], 0xFFFFFFu);
    QCOMPARE((*read)[0], 0xFFFFFFu);
    QVERIFY(!readColorFile(dir("none.hcr")));
}

QTEST_GUILESS_MAIN(TestProject)
#include "tst_project.moc"
