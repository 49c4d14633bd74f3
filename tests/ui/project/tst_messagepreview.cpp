// The message preview on the offscreen platform: what it shows is what the
// message file holds, read by Python's email package as well, and that file
// is the one the command line's preview makes; the project window's unsaved
// edits; "Send test" against real servers on 127.0.0.1.

#include "ui/project/messagepreview.h"
#include "ui/project/newmod2messageform.h"
#include "ui/project/receivedmessage.h"
#include "ui/project/testmessage.h"

#include "project/project.h"
#include "sending/messagefile.h"
#include "sending/messageprep.h"
#include "settings/programfolder.h"
#include "ui/common/messagebox.h"

#include <QColor>
#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include "accessibilitycheck.h"
#include "messagejudge.h"
#include "testfiles.h"
#include "testservers.h"

using namespace varnholt;
using namespace varnholt::testing;

namespace {

const QString kBob = QStringLiteral("Bøb Ünïcode");

tAccountObj testAccount(quint16 smtpPort)
{
    tAccountObj a;
    a.Name = QStringLiteral("News Desk");
    a.ReturnAddress = QStringLiteral("me@example.test");
    a.MailDomain = QStringLiteral("example.test");
    a.SMTPServer = QStringLiteral("127.0.0.1");
    a.SMTPPort = smtpPort;
    a.PopServer = QStringLiteral("127.0.0.1");
    a.UserID = QStringLiteral("joe");
    a.Password = QStringLiteral("pop-secret");
    return a;
}

// The program-wide settings a project starts from: no POP3 log-in, a fixed
// greeting, short time limits.
TIniInfo programWide(bool pop3 = false)
{
    TIniInfo info = DefaultIniInfo();
    info.Pop3Identify = pop3;
    info.DefaultHelo = false;
    info.TextHelo = QStringLiteral("client.test");
    info.TimeOut = 10;
    return info;
}

// What the judge read, with each message's own content IDs named by their
// order, so that two preparations of one message compare equal.
QJsonObject withoutContentIds(QJsonObject described)
{
    QString html = described.value("html").toString();
    QJsonArray parts = described.value("parts").toArray();
    for (int i = 0; i < parts.size(); ++i) {
        QJsonObject part = parts[i].toObject();
        if (part.value("type").toString() == "text/html") {
            // Its bytes hold the content IDs; its text is compared instead.
            part.remove("size");
            part.remove("sha256");
        }
        const QString cid = part.value("cid").toString();
        if (!cid.isEmpty()) {
            const QString name = QStringLiteral("cid%1").arg(i);
            html.replace(cid.mid(1, cid.size() - 2), name);
            part.insert("cid", name);
        }
        parts[i] = part;
    }
    described.insert("html", html);
    described.insert("parts", parts);
    described.remove("message_id");
    described.remove("file");
    return described;
}

QJsonObject describe(const QString &file)
{
    const MessageDescriptions d = describeMessages({file}, true);
    if (!d.error.isEmpty() || d.messages.size() != 1) {
        qWarning() << d.error;
        return {};
    }
    return d.messages.first().toObject();
}

QString lf(QString text)
{
    return text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

} // namespace

class TestMessagePreview : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void showsTheRowAsItsRecipientReadsIt();
    void sameMessageAsTheCommandLine();
    void addressCleanedTheProjectUntouched();
    void rowWithoutAddress();
    void largeAttachmentListedNotShown();
    void readsEncodedWordsAndParts();
    void projectWindowEditsArePreviewed();
    void sendTest_data();
    void sendTest();

private:
    // Project "p" in HTML format: a picture, a remote picture, a script,
    // an attachment; three rows.
    QString makeProject(bool html = true);

    QTemporaryDir m_dir;
    QString m_projectFile;
    std::unique_ptr<Project> m_project;
    tAccounts m_accounts;
};

void TestMessagePreview::initTestCase()
{
    QVERIFY(m_dir.isValid());
    openToAll(m_dir.path());
    ProgramFolder::initialise(m_dir.path());
    setMessageBoxHook([](const QString &, const QString &, int) { return int(idNo); });
}

void TestMessagePreview::init()
{
    m_projectFile = makeProject();
    m_project = std::make_unique<Project>(programWide());
    m_project->open(m_projectFile);
    m_accounts.Clear();
    m_accounts.add(testAccount(25));
}

QString TestMessagePreview::makeProject(bool html)
{
    const QString base = m_dir.path() + u'/';
    QImage logo(7, 5, QImage::Format_RGB32);
    logo.fill(QColor(200, 30, 40));
    logo.save(base + "logo.png");
    writeFile(base + "terms.pdf", QByteArray("%PDF-1.4 terms\n").repeated(50));
    return writeProject(
        m_dir.path(),
        {.settings = "[Common]\r\nSubject=Hello [Column#2]\r\nColumn=0\r\nColumnA=0\r\nSectionSymbol=;\r\n"
                     "CharSet=Unicode,utf-8\r\nHTML="
                         + QByteArray(html ? "1" : "0") + "\r\n[Attachment]\r\nCount=1\r\n0=" + base.toUtf8()
                         + "terms.pdf\r\n",
         .list = "Anna Smith <anna@example.org>;Anna;\r\nbob@example.org;" + kBob.toUtf8()
                 + ";\r\nno address;Carl;\r\n",
         .text = "Dear [Column#2],\r\nsee the attachment.\r\n",
         .html = "<html><body><p>Dear <b>[Column#2]</b></p><img src=\"logo.png\">"
                 "<img src=\"http://example.invalid/track.png\"><script>alert(1)</script></body></html>\r\n"});
}

void TestMessagePreview::showsTheRowAsItsRecipientReadsIt()
{
    TMessagePreview preview(*m_project, m_accounts, {});
    preview.showRow(1);
    const ReceivedMessage &m = preview.message();

    QCOMPARE(preview.rowBox()->value(), 2);
    QCOMPARE(m.header(u"Subject"), "Hello " + kBob);
    QCOMPARE(m.header(u"To"), QStringLiteral("bob@example.org"));
    QCOMPARE(m.header(u"From"), QStringLiteral("\"News Desk\" <me@example.test>"));
    QVERIFY2(preview.headerLabel()->text().contains("Hello " + kBob), qPrintable(preview.headerLabel()->text()));
    QCOMPARE(preview.plainView()->toPlainText(), "Dear " + kBob + ",\nsee the attachment.\n");
    QVERIFY(m.html.contains("Dear <b>" + kBob + "</b>"));
    QVERIFY(preview.htmlView()->toPlainText().contains("Dear " + kBob));
    QVERIFY(!m.html.contains("alert")); // taken out, as a run does
    QVERIFY2(preview.notice().contains("script"), qPrintable(preview.notice()));

    // The picture travels inside the message and is shown from there; the
    // remote one is neither sent nor fetched.
    QCOMPARE(m.pictures.size(), 1);
    const QString cid = QString::fromLatin1(m.pictures.first().contentId);
    QVERIFY2(m.html.contains("src=\"cid:" + cid + "\""), qPrintable(m.html));
    const QImage shown =
        preview.htmlView()->loadResource(QTextDocument::ImageResource, QUrl("cid:" + cid)).value<QImage>();
    QCOMPARE(shown.size(), QSize(7, 5));
    QCOMPARE(shown.pixelColor(3, 2), QColor(200, 30, 40));
    QCOMPARE(preview.htmlView()->foreignPictures(), QStringList{"http://example.invalid/track.png"});
    QVERIFY(preview.notice().contains("http://example.invalid/track.png"));
    QVERIFY(preview.htmlView()->loadResource(QTextDocument::ImageResource, QUrl("logo.png")).isNull());

    QCOMPARE(m.attachments.size(), 1);
    QCOMPARE(m.attachments.first().fileName, QStringLiteral("terms.pdf"));
    QCOMPARE(m.attachments.first().size, 15 * 50);
    QVERIFY(preview.attachmentList()->item(0)->text().startsWith("terms.pdf"));
    QVERIFY(preview.pages()->isTabVisible(preview.pages()->indexOf(preview.attachmentList())));
    QVERIFY(preview.sourceView()->toPlainText().startsWith("From: "));
    QCOMPARE(preview.sourceView()->toPlainText(), lf(QString::fromUtf8(readFile(preview.messageFile()))));

    // Python's email package reads the same bodies and parts out of the file.
    const QJsonObject judged = describe(preview.messageFile());
    QCOMPARE(judged.value("subject").toString().trimmed(), m.header(u"Subject"));
    QCOMPARE(lf(judged.value("plain").toString()), m.plainText);
    QCOMPARE(lf(judged.value("html").toString()), m.html);
    QCOMPARE(judged.value("defects").toArray(), QJsonArray());
    QStringList judgedNames;
    for (const QJsonValue &part : judged.value("parts").toArray())
        if (!part.toObject().value("filename").toString().isEmpty())
            judgedNames << part.toObject().value("filename").toString();
    QCOMPARE(judgedNames, (QStringList{"logo.png", "terms.pdf"}));

    VARNHOLT_VERIFY_ACCESSIBLE(&preview);
    QCOMPARE(mnemonicProblems(&preview), QStringList());
}

void TestMessagePreview::sameMessageAsTheCommandLine()
{
    // `varnholt-cli preview` prints MessageFileBytes of the preparer on the
    // saved project; the preview's file must say the same to a reader.
    // The first row's address is "Name <address>": the command line cleans
    // its copy of the column first.
    TMessagePreview preview(*m_project, m_accounts, {});
    preview.showRow(0);
    m_project->table().normaliseAddresses(0);
    MessagePreparer preparer(*m_project, *m_accounts.item(0));
    const QString cli = m_dir.filePath("cli.eml");
    writeFile(cli, MessageFileBytes(preparer.prepare(0).withRecipient()));

    const QJsonObject fromPreview = withoutContentIds(describe(preview.messageFile()));
    QVERIFY(fromPreview.value("parts").toArray().size() == 4);
    QCOMPARE(fromPreview, withoutContentIds(describe(cli)));
}

void TestMessagePreview::addressCleanedTheProjectUntouched()
{
    TMessagePreview preview(*m_project, m_accounts, {});
    preview.showRow(0);
    QCOMPARE(preview.message().header(u"To"), QStringLiteral("anna@example.org"));
    QVERIFY(preview.notice().indexOf("e-mail address") < 0);
    QCOMPARE(m_project->table().cell(0, 0), QStringLiteral("Anna Smith <anna@example.org>"));
    QVERIFY(!m_project->isModified());

    // The row box moves through the list and stops at its end.
    preview.rowBox()->setValue(3);
    QCOMPARE(preview.row(), 2);
    QCOMPARE(preview.rowBox()->maximum(), 3);
    QCOMPARE(preview.message().header(u"Subject"), QStringLiteral("Hello Carl"));
    preview.showRow(99);
    QCOMPARE(preview.row(), 2);
}

void TestMessagePreview::rowWithoutAddress()
{
    TMessagePreview preview(*m_project, m_accounts, {});
    preview.showRow(2);
    QVERIFY2(preview.notice().startsWith("Row 3 has no e-mail address (\"no address\"); a run skips it."),
             qPrintable(preview.notice()));
    QCOMPARE(preview.message().header(u"Subject"), QStringLiteral("Hello Carl")); // shown all the same
}

void TestMessagePreview::largeAttachmentListedNotShown()
{
    QByteArray large(3 * 1024 * 1024 + 7, '\0');
    for (qsizetype i = 0; i < large.size(); ++i)
        large[i] = char(i * 7919 % 251);
    writeFile(m_dir.filePath("terms.pdf"), large);
    TMessagePreview preview(*m_project, m_accounts, {});
    preview.showRow(1);
    QCOMPARE(preview.message().attachments.size(), 1);
    QCOMPARE(preview.message().attachments.first().size, large.size());
    QVERIFY(preview.messageSize() > large.size());
    const QString source = preview.sourceView()->toPlainText();
    QVERIFY(source.size() < TMessagePreview::kSourceShown);
    QVERIFY2(source.endsWith(" not shown ...]"), qPrintable(source.right(100)));
    QCOMPARE(preview.message().header(u"Subject"), "Hello " + kBob);
}

void TestMessagePreview::readsEncodedWordsAndParts()
{
    // Forms other programs write, which the assembler does not: the reader
    // must still show what a recipient sees.
    const QByteArray message =
        "Subject: =?ISO-8859-1?Q?Gr=FC=DFe?= =?UTF-8?B?w7xiZXI=?=  und mehr\r\n"
        "To: =?KOI8-R?B?8NLJ18XU?= <x@y.test>\r\n"
        "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
        "\r\n"
        "preamble\r\n"
        "--b1\r\n"
        "Content-Type: text/plain; charset=\"iso-8859-1\"\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "\r\n"
        "Sch=F6ne Gr=FC=DFe, a soft=\r\n"
        " break\r\n"
        "--b1\r\n"
        "Content-Type: application/octet-stream; name*=utf-8''%C3%BCber.bin\r\n"
        "Content-Disposition: attachment\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "\r\n"
        "AAECAwQ=\r\n"
        "--b1--\r\n"
        "epilogue --b1\r\n";
    const ReceivedMessage m = ReceivedMessage::read(message);
    QCOMPARE(m.header(u"subject"), QStringLiteral("Grüßeüber  und mehr"));
    QCOMPARE(m.header(u"To"), QStringLiteral("Привет <x@y.test>"));
    QVERIFY(m.hasPlainText);
    QCOMPARE(m.plainText, QStringLiteral("Schöne Grüße, a soft break"));
    QVERIFY(!m.hasHtml);
    QCOMPARE(m.attachments.size(), 1);
    QCOMPARE(m.attachments.first().fileName, QStringLiteral("über.bin"));
    QCOMPARE(m.attachments.first().size, 5);
    QVERIFY(m.attachments.first().attachment);
}

void TestMessagePreview::projectWindowEditsArePreviewed()
{
    // A project in text format: the window's editors hold changes not yet
    // saved, and the preview shows them as a run would send them once saved.
    const QString file = makeProject(false);
    programSettings().accounts.Clear();
    programSettings().accounts.add(testAccount(freePort())); // nobody listens there
    TNewMod2MessageForm form(programWide());
    form.openProject(file);
    form.show();
    form.subjectBox()->setText(QStringLiteral("Edited for [Column#2]"));
    form.textEditor()->setPlainText(QStringLiteral("New text for [Column#2]"));
    form.grid()->setCurrentIndex(form.project().table().index(1, 1));

    QTest::mouseClick(form.findChild<QPushButton *>("preview"), Qt::LeftButton);
    auto *preview = form.findChild<TMessagePreview *>();
    QVERIFY(preview && preview->isVisible());
    QCOMPARE(preview->row(), 1);
    QCOMPARE(preview->message().header(u"Subject"), "Edited for " + kBob);
    QVERIFY(preview->message().plainText.startsWith("New text for " + kBob + "\n"));
    QCOMPARE(preview->message().plainText, lf(describe(preview->messageFile()).value("plain").toString()));
    QVERIFY(!preview->message().hasHtml);
    QVERIFY(!preview->pages()->isTabVisible(preview->pages()->indexOf(preview->htmlView())));
    // Nothing was saved.
    QCOMPARE(readFile(m_dir.filePath("p.mml")), QByteArray("Dear [Column#2],\r\nsee the attachment.\r\n"));
    // The window is the form's own and is found again.
    form.grid()->setCurrentIndex(form.project().table().index(0, 0));
    QCOMPARE(OpenMessagePreview(form), preview);
    QCOMPARE(preview->row(), 0);

    // "Send test" of the project window sends the preview's message.
    QSignalSpy finished(preview, &TMessagePreview::testFinished);
    QTest::mouseClick(form.findChild<QPushButton *>("sendTest"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
    QVERIFY2(preview->status().startsWith("The test message was not sent: "), qPrintable(preview->status()));

    // Closing the project window (without saving) takes the preview along.
    QPointer<TMessagePreview> gone(preview);
    QVERIFY(form.close());
    QVERIFY(!preview->isVisible());
    QTRY_VERIFY(gone.isNull());
    programSettings().accounts.Clear();
}

void TestMessagePreview::sendTest_data()
{
    QTest::addColumn<QString>("ownAddress");
    QTest::addColumn<bool>("pop3");
    QTest::addColumn<QString>("popPassword");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("status"); // its beginning; %1 the SMTP port

    QTest::newRow("accepted") << "me@example.test" << false << QString() << true
                              << "The server 127.0.0.1:%1 accepted the test message for me@example.test: 250";
    QTest::newRow("after the POP3 log-in") << "me@example.test" << true << "pop-secret" << true
                                           << "The server 127.0.0.1:%1 accepted the test message";
    QTest::newRow("POP3 log-in refused") << "me@example.test" << true << "wrong" << false
                                         << "The POP3 log-in failed: ";
    QTest::newRow("refused, every line of the reply")
        << "reject-multiline@example.test" << false << QString() << false
        << "The server refused the test message: 550 5.1.1 first line of the refusal / 5.1.1 second line";
}

void TestMessagePreview::sendTest()
{
    QFETCH(QString, ownAddress);
    QFETCH(bool, pop3);
    QFETCH(QString, popPassword);
    QFETCH(bool, accepted);
    QFETCH(QString, status);

    const QString out = m_dir.filePath(QStringLiteral("sent-%1").arg(QTest::currentDataTag()).replace(' ', '_'));
    AiosmtpdServer server;
    VARNHOLT_START_SERVER(server, "plain", out, {}, {});
    QTemporaryDir popDir;
    DovecotPop3 pop;
    if (pop3)
        VARNHOLT_START_SERVER(pop, popDir.path(), "joe", "pop-secret");

    Project project(programWide(pop3));
    project.open(m_projectFile);
    tAccountObj account = testAccount(server.port());
    account.ReturnAddress = ownAddress;
    account.PopPort = pop3 ? pop.port() : 1;
    account.Password = popPassword;
    tAccounts accounts;
    accounts.add(account);

    TMessagePreview preview(project, accounts, {});
    preview.showRow(1);
    QSignalSpy finished(&preview, &TMessagePreview::testFinished);
    QTest::mouseClick(preview.sendTestButton(), Qt::LeftButton);
    QVERIFY(!preview.sendTestButton()->isEnabled());
    QVERIFY2(preview.status().startsWith(pop3 ? QStringLiteral("Logging in to the POP3 server 127.0.0.1:%1 ...")
                                                    .arg(pop.port())
                                              : "Sending the test message to " + ownAddress),
             qPrintable(preview.status()));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
    QCOMPARE(finished.first().first().toBool(), accepted);
    QVERIFY2(preview.status().startsWith(status.replace("%1", QString::number(server.port()))),
             qPrintable(preview.status()));
    QVERIFY(preview.sendTestButton()->isEnabled());

    if (!accepted) {
        QVERIFY(!QFile::exists(out + "/1.eml"));
        return;
    }
    // Only to the account's own address, with the row's merged values.
    QCOMPARE(readFile(out + "/1.env"), QByteArray("from=me@example.test\nto=me@example.test\nlogin=\n"));
    QVERIFY(!QFile::exists(out + "/2.eml"));
    const QJsonObject judged = describe(out + "/1.eml");
    // The header line ends with blanks, which Python keeps.
    QCOMPARE(judged.value("subject").toString().trimmed(), "Hello " + kBob);
    QCOMPARE(judged.value("to").toArray(), (QJsonArray{QJsonArray{"", "me@example.test"}}));
    QVERIFY(judged.value("plain").toString().contains("Dear " + kBob));
    QVERIFY(judged.value("html").toString().contains("Dear <b>" + kBob + "</b>"));
    QCOMPARE(judged.value("defects").toArray(), QJsonArray());
    QCOMPARE(judged.value("parts").toArray().size(), 4); // plain, HTML, picture, attachment
}

QTEST_MAIN(TestMessagePreview)
#include "tst_messagepreview.moc"
