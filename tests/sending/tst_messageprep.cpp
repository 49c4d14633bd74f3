#include "project/project.h"
#include "sending/messageprep.h"

#include "messagejudge.h"
#include "testfiles.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace varnholt;
using namespace varnholt::testing;

namespace {

tAccountObj account()
{
    tAccountObj a;
    a.Name = QStringLiteral("News Desk");
    a.ReturnAddress = QStringLiteral("news@example.org");
    a.ReplyTo = QStringLiteral("reply@example.org");
    a.MailDomain = QStringLiteral("smtp.example.org");
    a.SMTPServer = QStringLiteral("127.0.0.1");
    a.SMTPPort = 2525;
    return a;
}

const QRegularExpression kMessageId(
    QStringLiteral("^Message-Id: <(\\d{14})\\.[0-9A-F]{8}\\.\\d+\\.23w9r9A@([^>]+)>$"));

// A project "p" in `dir`: three recipients, the third column names each
// recipient's own file, one project attachment.
void makeProject(const QTemporaryDir &dir, bool html)
{
    const QString base = dir.path() + u'/';
    writeProject(dir.path(),
                 {.settings = "[Common]\r\nSubject=Hello [Column#2]\r\nColumn=0\r\nColumnA=3\r\nSectionSymbol=;\r\n"
                              "CharSet=Russian(ru),koi8-r\r\nHTML="
                                  + QByteArray(html ? "1" : "0") + "\r\n[Attachment]\r\nCount=2\r\n0="
                                  + base.toUtf8() + "terms.pdf\r\n1=" + base.toUtf8() + "gone.pdf\r\n",
                  .list = "anna@example.org;Anna;" + base.toUtf8() + "files/anna.pdf\r\n"
                          "bob@example.org;Bob;" + base.toUtf8() + "files/missing.pdf\r\n"
                          "carl@example.org;Carl;\r\n",
                  .text = "Dear [Column #2],\r\n.hidden line\r\nBye\r\n",
                  .html = "<p>Dear [Column#2]</p><img src=\"logo.gif\"><td background=bg.gif>\r\n"});
    writeFile(base + "logo.gif", "GIF89a");
    writeFile(base + "bg.gif", "GIF89a");
    writeFile(base + "terms.pdf", "%PDF");
    writeFile(base + "files/anna.pdf", "%PDF anna");
}

} // namespace

class TestMessagePrep : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void preparesOneRecipient();
    void senderFallbacks();
    void messageIdsAreUnique();
    void mergedLineBreaksDoNotInjectHeaders();
    void headerTimesFollowTheClock();
    void listValuesNeverBecomePictures();
    void everyMessageHasItsOwnContentIds();
    void tooLargeMergeFailsTheRow_data();
    void tooLargeMergeFailsTheRow();
};

void TestMessagePrep::preparesOneRecipient()
{
    QTemporaryDir dir;
    makeProject(dir, true);
    Project project(DefaultIniInfo());
    project.open(dir.filePath(QStringLiteral("p.eml")));
    MessagePreparer preparer(project, account());
    const QDateTime now(QDate(2024, 3, 5), QTime(14, 3, 7));

    const PreparedMessage m = preparer.prepare(0, now);
    const MimeInputs &in = m.inputs;
    QCOMPARE(m.toAddress, QStringLiteral("anna@example.org"));
    QVERIFY(in.ListTo.isEmpty());
    QCOMPARE(m.withRecipient().ListTo, QStringList{QStringLiteral("anna@example.org|")});
    QCOMPARE(in.FROM_Address, QStringLiteral("news@example.org"));
    QCOMPARE(in.FROM_Name, QStringLiteral("\"News Desk\""));
    QCOMPARE(in.Subject, QStringLiteral("Hello Anna"));
    QCOMPARE(in.MailText, (QStringList{"Dear Anna,", ".hidden line", "Bye"}));
    QCOMPARE(in.Charset, QStringLiteral("koi8-r"));
    QCOMPARE(in.MimeChar, TMimeChar::KOI8_R);
    QCOMPARE(in.TypeContent, tcHtml);
    QCOMPARE(in.Content_Type, QStringLiteral("text/html"));

    // Own file first, then the project attachments that exist.
    QCOMPARE(in.Attachments, (QStringList{dir.filePath("files/anna.pdf"), dir.filePath("terms.pdf")}));
    QCOMPARE(preparer.prepare(1, now).inputs.Attachments, QStringList{dir.filePath("terms.pdf")});
    QCOMPARE(preparer.prepare(2, now).inputs.Attachments, QStringList{dir.filePath("terms.pdf")});

    QCOMPARE(in.HtmlFiles, (QStringList{dir.filePath("logo.gif"), dir.filePath("bg.gif")}));
    QCOMPARE(in.HtmlCids.size(), 2);
    QVERIFY(in.HtmlCids[0].startsWith(QStringLiteral("part1.")) && in.HtmlCids[0].endsWith(QStringLiteral("@example.org")));
    QCOMPARE(in.HtmlText, QStringList{QStringLiteral("<p>Dear Anna</p><img src=\"cid:%1\"><td background=cid:%2>")
                                          .arg(in.HtmlCids[0], in.HtmlCids[1])});

    QCOMPARE(in.Headers.size(), 4);
    QCOMPARE(in.Headers[0], QStringLiteral("Date: ") + QString::fromLatin1(MailDate(now)));
    QCOMPARE(in.Headers[1], QStringLiteral("Reply-To: reply@example.org"));
    QCOMPARE(in.Headers[2], QStringLiteral("X-Mailer: Varnholt " VARNHOLT_VERSION));
    const auto id = kMessageId.match(in.Headers[3]);
    QVERIFY2(id.hasMatch(), qPrintable(in.Headers[3]));
    QCOMPARE(id.captured(1), QStringLiteral("20240305140307"));
    QCOMPARE(id.captured(2), QStringLiteral("smtp.example.org"));

    const SmtpSessionSettings session = SmtpSessionSettings::from(account(), project.settings());
    QCOMPARE(session.server, QStringLiteral("127.0.0.1"));
    QCOMPARE(session.port, 2525);
}

void TestMessagePrep::senderFallbacks()
{
    tAccountObj a;
    a.UserID = QStringLiteral("joe");
    a.PopServer = QStringLiteral("pop.example.net");
    const SenderIdentity s = SenderIdentity::fromAccount(a);
    QCOMPARE(s.address, QStringLiteral("joe@pop.example.net"));
    QCOMPARE(s.name, QString());

    MessageIdSource ids(0xABCDEF);
    const QStringList headers = ExtraHeaderLines(a, QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5)), ids);
    QCOMPARE(headers.size(), 3); // no Reply-To without a "ReturnAddress"
    QCOMPARE(headers[1], QStringLiteral("X-Mailer: Varnholt " VARNHOLT_VERSION));
    // No mail domain: the sender's domain keeps the Message-Id valid.
    QCOMPARE(headers[2], QStringLiteral("Message-Id: <20240102030405.00ABCDEF.1.23w9r9A@pop.example.net>"));

    TIniInfo info;
    info.CharSet.clear();
    QCOMPARE(MessageCharsetName(info), QStringLiteral("us_ascii"));
    info.CharSet = QStringLiteral("English(en),iso-8859-1");
    QCOMPARE(MessageCharsetName(info), QStringLiteral("iso-8859-1"));
}

// Receivers drop messages whose Message-Id they have seen (RFC 5322
// 3.6.4): two messages of one second, or of two runs, never share one.
void TestMessagePrep::messageIdsAreUnique()
{
    const QDateTime now(QDate(2024, 3, 5), QTime(14, 3, 7));
    QSet<QString> seen;
    for (int run = 0; run < 3; ++run) {
        MessageIdSource ids;
        for (int i = 0; i < 100; ++i) {
            const QString id = ids.next(now, QStringLiteral("example.org"));
            QVERIFY2(!seen.contains(id), qPrintable(id));
            seen.insert(id);
        }
    }
}

void TestMessagePrep::mergedLineBreaksDoNotInjectHeaders()
{
    QTemporaryDir dir;
    makeProject(dir, false);
    Project project(DefaultIniInfo());
    project.open(dir.filePath(QStringLiteral("p.eml")));
    project.table().setCell(0, 1, QStringLiteral("Anna\r\nBcc: victim@example.net\r\n\r\nbody"));
    MessagePreparer preparer(project, account());
    const PreparedMessage m = preparer.prepare(0);
    QVERIFY(!m.inputs.Subject.contains(u'\n') && !m.inputs.Subject.contains(u'\r'));

    const QString file = dir.filePath(QStringLiteral("000001.eml"));
    writeFile(file, MessageFileBytes(m.withRecipient()));

    // An independent parser reads the message as a receiver would.
    const MessageDescriptions described = describeMessages({file});
    QVERIFY2(described.error.isEmpty(), qPrintable(described.error));
    const QJsonObject r = described.messages.at(0).toObject();

    QStringList keys;
    for (const QJsonValue &k : r[QStringLiteral("headers")].toArray())
        keys.append(k.toString());
    QVERIFY2(!keys.contains(QStringLiteral("bcc")), qPrintable(keys.join(u',')));
    QCOMPARE(keys.count(QStringLiteral("subject")), 1);
    QCOMPARE(keys.count(QStringLiteral("message-id")), 1);
    QVERIFY(r[QStringLiteral("subject")].toString().startsWith(QStringLiteral("Hello Anna")));
    QVERIFY(r[QStringLiteral("subject")].toString().contains(QStringLiteral("Bcc: victim@example.net")));
    const QJsonArray to = r[QStringLiteral("to")].toArray();
    QCOMPARE(to.size(), 1);
    QCOMPARE(to.at(0).toArray().at(1).toString(), QStringLiteral("anna@example.org"));
    // The file holds the message as received: dot-stuffing undone.
    const QString body = r[QStringLiteral("plain")].toString().replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QVERIFY2(body.contains(QStringLiteral("\n.hidden line\n")), qPrintable(body));
    QCOMPARE(r[QStringLiteral("defects")].toArray(), QJsonArray());
}

// The Date and Message-Id texts are made once a second and reused: a
// message of the next second, or of another zone, must not get the old ones.
void TestMessagePrep::headerTimesFollowTheClock()
{
    tAccountObj a;
    a.MailDomain = QStringLiteral("example.org");
    ExtraHeaders headers(a);
    MessageIdSource ids(0x1234);
    const QDateTime first(QDate(2024, 3, 5), QTime(14, 3, 7, 100));
    const QStringList one = headers.lines(first, ids);
    const QStringList same = headers.lines(first.addMSecs(800), ids);
    const QStringList next = headers.lines(first.addSecs(1), ids);
    const QDateTime utc(QDate(2024, 3, 5), QTime(14, 3, 8), Qt::UTC);
    const QStringList other = headers.lines(utc, ids);
    QCOMPARE(one[0], QStringLiteral("Date: ") + QString::fromLatin1(MailDate(first)));
    QCOMPARE(same[0], one[0]);
    QCOMPARE(next[0], QStringLiteral("Date: ") + QString::fromLatin1(MailDate(first.addSecs(1))));
    QCOMPARE(other[0], QStringLiteral("Date: ") + QString::fromLatin1(MailDate(utc)));
    QCOMPARE(one[2], QStringLiteral("Message-Id: <20240305140307.00001234.1.23w9r9A@example.org>"));
    QCOMPARE(same[2], QStringLiteral("Message-Id: <20240305140307.00001234.2.23w9r9A@example.org>"));
    QCOMPARE(next[2], QStringLiteral("Message-Id: <20240305140308.00001234.3.23w9r9A@example.org>"));
    // Every line as the one-off function makes it.
    MessageIdSource fresh(0x1234);
    QCOMPARE(ExtraHeaderLines(a, first, fresh), one);
}

// A list comes from anywhere; its values must never name a local file that
// then goes out to the recipient as a picture. They are merged into the
// HTML as text, after the pictures were found in the template alone.
void TestMessagePrep::listValuesNeverBecomePictures()
{
    QTemporaryDir dir;
    QTemporaryDir elsewhere;
    makeProject(dir, true);
    const QString secret = elsewhere.filePath(QStringLiteral("secret.gif"));
    writeFile(secret, "GIF89a secret");
    const QString value = QStringLiteral("<img src=%1> & \"x\" 'y' <td background=../%2/secret.gif>")
                              .arg(secret, QFileInfo(elsewhere.path()).fileName());
    writeFile(dir.filePath(QStringLiteral("p.txt")),
              "anna@example.org;" + value.toUtf8() + ";;" + secret.toUtf8() + "\r\n");
    writeFile(dir.filePath(QStringLiteral("p.htm")),
              "<p>[Column#2]</p><img src=\"[Column#4]\"><td background=[column #4]><img src=\"logo.gif\">\r\n");
    Project project(DefaultIniInfo());
    project.open(dir.filePath(QStringLiteral("p.eml")));
    MessagePreparer preparer(project, account());
    const PreparedMessage m = preparer.prepare(0);
    const MimeInputs &in = m.inputs;

    QCOMPARE(m.error, QString());
    QCOMPARE(in.HtmlFiles, QStringList{dir.filePath(QStringLiteral("logo.gif"))});
    QCOMPARE(in.HtmlCids.size(), 1);
    const QString escaped = QStringLiteral("&lt;img src=%1&gt; &amp; &quot;x&quot; &#39;y&#39; &lt;td background=../%2/"
                                           "secret.gif&gt;")
                                .arg(secret, QFileInfo(elsewhere.path()).fileName());
    QCOMPARE(in.HtmlText, QStringList{QStringLiteral("<p>%1</p><img src=\"%2\"><td background=%2><img src=\"cid:%3\">")
                                          .arg(escaped, secret, in.HtmlCids[0])});
    // Subject and plain text are no HTML: they keep the value as it is.
    QCOMPARE(in.Subject, QStringLiteral("Hello ") + value);
    QCOMPARE(in.MailText.value(0), QStringLiteral("Dear %1,").arg(value));
    // The unquoted background value ends at the blank inside its field.
    QCOMPARE(preparer.pictureWarnings(), (QStringList{QStringLiteral("[Column#4] (holds a merge field)"),
                                                      QStringLiteral("[column (holds a merge field)")}));
}

// The pictures are found once per run, but every message gets content IDs
// of its own, numbered in template order; a picture used twice is two parts.
void TestMessagePrep::everyMessageHasItsOwnContentIds()
{
    QTemporaryDir dir;
    makeProject(dir, true);
    writeFile(dir.filePath(QStringLiteral("p.htm")),
              "<p>[Column#2]</p><td background=bg.gif><img src=\"logo.gif\"><img src=LOGO.GIF>\r\n");
    Project project(DefaultIniInfo());
    project.open(dir.filePath(QStringLiteral("p.eml")));
    MessagePreparer preparer(project, account());
    const QStringList files{dir.filePath("logo.gif"), dir.filePath("logo.gif"), dir.filePath("bg.gif")};
    const QStringList names{QStringLiteral("Anna"), QStringLiteral("Bob"), QStringLiteral("Carl")};
    QSet<QString> seen;
    for (int i = 0; i < 300; ++i) {
        const PreparedMessage m = preparer.prepare(i % 3);
        const MimeInputs &in = m.inputs;
        QCOMPARE(in.HtmlFiles, files);
        QCOMPARE(in.HtmlCids.size(), 3);
        for (int n = 0; n < 3; ++n) {
            QVERIFY(in.HtmlCids[n].startsWith(QStringLiteral("part%1.").arg(n + 1)));
            QVERIFY2(!seen.contains(in.HtmlCids[n]), qPrintable(in.HtmlCids[n]));
            seen.insert(in.HtmlCids[n]);
        }
        const QString expected = QStringLiteral("<p>%1</p><td background=cid:%4><img src=\"cid:%2\"><img src=cid:%3>")
                                     .arg(names[i % 3], in.HtmlCids[0], in.HtmlCids[1], in.HtmlCids[2]);
        QCOMPARE(in.HtmlText, QStringList{expected});
    }
    QVERIFY(preparer.pictureWarnings().isEmpty());
}

void TestMessagePrep::tooLargeMergeFailsTheRow_data()
{
    QTest::addColumn<QByteArray>("plainText");
    QTest::addColumn<QByteArray>("html");
    QTest::addColumn<QString>("cell");
    QTest::addColumn<bool>("fits");

    // 100,000 fields and a 1 MB cell would make 200 GB: refused before any
    // of it is made.
    QTest::newRow("plain text") << QByteArray("[Column#2]\r\n").repeated(100'000) << QByteArray("<p>x</p>")
                                << QString(1'000'000, u'x') << false;
    QTest::newRow("HTML, counted escaped") << QByteArray("[Column#2]") << QByteArray("<p>[Column#2]</p>")
                                           << QString(3'000'000, u'<') << false;
    QTest::newRow("HTML within the limit") << QByteArray("[Column#2]") << QByteArray("<p>[Column#2]</p>")
                                           << QString(2'000'000, u'<') << true;
}

void TestMessagePrep::tooLargeMergeFailsTheRow()
{
    QFETCH(QByteArray, plainText);
    QFETCH(QByteArray, html);
    QFETCH(QString, cell);
    QFETCH(bool, fits);

    QTemporaryDir dir;
    makeProject(dir, true);
    writeFile(dir.filePath(QStringLiteral("p.mml")), plainText);
    writeFile(dir.filePath(QStringLiteral("p.htm")), html);
    Project project(DefaultIniInfo());
    project.open(dir.filePath(QStringLiteral("p.eml")));
    project.table().setCell(1, 1, cell);
    MessagePreparer preparer(project, account());

    const PreparedMessage big = preparer.prepare(1);
    QCOMPARE(big.row, 1);
    QCOMPARE(big.toAddress, QStringLiteral("bob@example.org"));
    if (fits) {
        QCOMPARE(big.error, QString());
        QCOMPARE(big.inputs.HtmlText.value(0).size(), 7 + cell.size() * 4);
    } else {
        QCOMPARE(big.error, QStringLiteral("merged message too large"));
    }
    // The rows around it are not touched.
    const PreparedMessage anna = preparer.prepare(0);
    QCOMPARE(anna.error, QString());
    QCOMPARE(anna.inputs.MailText.value(0), QStringLiteral("Anna"));
    QVERIFY(anna.inputs.HtmlText.value(0).startsWith(QStringLiteral("<p>")));
}

QTEST_GUILESS_MAIN(TestMessagePrep)
#include "tst_messageprep.moc"
