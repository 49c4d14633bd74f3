// SendMail and GetMail against real servers started on 127.0.0.1 by the
// test itself: Postfix's smtp-sink, aiosmtpd (STARTTLS, TLS, AUTH) and
// Dovecot (POP3). What a server stored must be byte for byte what the
// session handed to its socket.

#include "mailclient/getmail.h"
#include "mailclient/mailerrors.h"
#include "mailclient/sendmail.h"
#include "settings/syscharset.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QSslCertificate>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include "messagejudge.h"
#include "testfiles.h"
#include "testservers.h"

using namespace varnholt;
using namespace varnholt::testing;

namespace {

// What the owner saw, and the message bytes as handed to the socket.
struct Owner {
    explicit Owner(SendMail &mail)
    {
        QObject::connect(&mail, &SendMail::OnMailInfo, &mail,
                         [this](SendMail::SendMailInfo info, const QString &text) {
                             if (info == SendMail::miConnected)
                                 ++connects;
                             if (info == SendMail::miSent && inData)
                                 data += SystemCharset::fromUnicode(text);
                             if (info == SendMail::miSent && text == QLatin1String("DATA\r\n"))
                                 inData = true;
                             if (info == SendMail::miAccepted) {
                                 inData = false;
                                 sent << data;
                                 data.clear();
                             }
                         });
        QObject::connect(&mail, &SendMail::OnMailError, &mail,
                         [this, &mail](int error, const QString &text) {
                             errors << QStringLiteral("%1: %2").arg(error).arg(text);
                             mail.setAction(SendMail::Cancel_SendMail);
                         });
        QObject::connect(&mail, &SendMail::OnDone, &mail, [this] { ++done; });
    }
    QList<QByteArray> sent;
    QByteArray data;
    bool inData = false;
    QStringList errors;
    int connects = 0;
    int done = 0;
};

// The message as a server stores it: without the final "." line and with
// the dot-stuffing undone (RFC 5321 4.5.2).
QByteArray unstuffed(const QByteArray &wire)
{
    QByteArray out;
    const QList<QByteArray> lines = wire.split('\n');
    for (QByteArray line : lines) {
        if (line == ".\r")
            break;
        if (line.startsWith('.'))
            line.remove(0, 1);
        out += line + '\n';
    }
    return out;
}

void fillMessage(SendMail &mail, quint16 port, const QString &subject)
{
    mail.setSMTP_Server(QStringLiteral("127.0.0.1"));
    mail.setSMTP_Port(port);
    mail.message().FROM_Address = QStringLiteral("sender@example.test");
    mail.message().FROM_Name = QStringLiteral("Sender");
    mail.message().Subject = subject;
    mail.message().MailText = QStringList{QStringLiteral("Hello,"), QStringLiteral(".leading dot"),
                                          QStringLiteral("."), QStringLiteral("Bye")};
    mail.setTO_Address(QStringLiteral("rcpt@example.test"));
    mail.setTO_Name(QStringLiteral("Rcpt"));
}

} // namespace

class TestMailServers : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void smtpSinkKeepsConnectionOpen();
    void smtpSinkRefusals_data();
    void smtpSinkRefusals();
    void aiosmtpd_data();
    void aiosmtpd();
    void untrustedCertificate();
    void multiLineRefusal();
    void smtpUtf8_data();
    void smtpUtf8();
    void dovecotLogin_data();
    void dovecotLogin();

private:
    QTemporaryDir m_dir;
    QString m_cert;
    QString m_key;
    // False when the test was skipped or failed.
    static bool startSink(SmtpSink &server, const QString &dumps, const QStringList &options);
};

void TestMailServers::initTestCase()
{
    QVERIFY(m_dir.isValid());
    openToAll(m_dir.path());
    m_cert = m_dir.filePath("cert.pem");
    m_key = m_dir.filePath("key.pem");
    if (!findTool("openssl").isEmpty())
        QVERIFY(makeCertificate(m_cert, m_key));
}

bool TestMailServers::startSink(SmtpSink &server, const QString &dumps, const QStringList &options)
{
    if (server.start(dumps, options))
        return true;
    if (!server.missing.isEmpty() && !serversRequired())
        QTest::qSkip(qPrintable(server.missing), __FILE__, __LINE__);
    else
        QTest::qFail(qPrintable(server.missing.isEmpty() ? server.error : server.missing), __FILE__, __LINE__);
    return false;
}

void TestMailServers::smtpSinkKeepsConnectionOpen()
{
    const QString dumps = m_dir.filePath("sink");
    SmtpSink server;
    if (!startSink(server, dumps, {}))
        return;
    const quint16 port = server.port();

    SendMail mail;
    Owner owner(mail);
    mail.setKeepConnectionOpen(true);
    for (int i = 1; i <= 3; ++i) {
        fillMessage(mail, port, QStringLiteral("Message %1").arg(i));
        mail.message().ListTo.clear();
        mail.setAction(SendMail::Send_Mail);
        QTRY_COMPARE_WITH_TIMEOUT(owner.done, i, 20000);
        QVERIFY2(mail.Delivered(), qPrintable(owner.errors.join("; ")));
    }
    QCOMPARE(owner.connects, 1);
    QVERIFY(owner.errors.isEmpty());
    QCOMPARE(owner.sent.size(), 3);

    // smtp-sink stores LF line ends and an empty line at the end.
    QTRY_COMPARE(QDir(dumps).entryList(QDir::Files).size(), 3);
    const QList<QByteArray> stored = SmtpSink::storedMessages(dumps);
    for (const QByteArray &wire : owner.sent) {
        QByteArray expected = unstuffed(wire);
        expected.replace("\r\n", "\n");
        QVERIFY2(stored.contains(expected + '\n'), expected.constData());
    }
}

void TestMailServers::smtpSinkRefusals_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<TransportSecurity>("security");
    QTest::addColumn<QString>("errorStart");
    QTest::newRow("recipient refused (5xx)") << QStringList{"-f", "RCPT"} << TransportSecurity::None
                                             << "13: Unexpected response: 5";
    QTest::newRow("message deferred (4xx)") << QStringList{"-r", "DATA"} << TransportSecurity::None
                                            << "13: Unexpected response: 4";
    QTest::newRow("421 and hang-up after MAIL") << QStringList{"-Q", "MAIL"} << TransportSecurity::None
                                                << "13: Unexpected response: 421";
    QTest::newRow("hang-up without reply after DATA") << QStringList{"-q", "DATA"}
                                                      << TransportSecurity::None
                                                      << "17: Prematurely Disconnected";
    QTest::newRow("STARTTLS wanted, not offered") << QStringList() << TransportSecurity::StartTls
                                                  << "20: The server 127.0.0.1 does not offer STARTTLS";
}

void TestMailServers::smtpSinkRefusals()
{
    QFETCH(QStringList, options);
    QFETCH(TransportSecurity, security);
    QFETCH(QString, errorStart);
    SmtpSink server;
    if (!startSink(server, {}, options))
        return;
    const quint16 port = server.port();
    SendMail mail;
    Owner owner(mail);
    fillMessage(mail, port, QStringLiteral("refused"));
    mail.setSecurity(security);
    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE_WITH_TIMEOUT(owner.done, 1, 20000);
    QCOMPARE(owner.errors.size(), 1);
    QVERIFY2(owner.errors.first().startsWith(errorStart), qPrintable(owner.errors.first()));
    QVERIFY(!mail.Delivered());
}

void TestMailServers::aiosmtpd_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<TransportSecurity>("security");
    QTest::addColumn<QStringList>("exclude");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("error");
    QTest::newRow("STARTTLS, CRAM-MD5") << "starttls" << TransportSecurity::StartTls << QStringList()
                                        << "secret" << "";
    QTest::newRow("STARTTLS, PLAIN") << "starttls" << TransportSecurity::StartTls
                                     << QStringList{"CRAM-MD5"} << "secret" << "";
    QTest::newRow("STARTTLS, LOGIN") << "starttls" << TransportSecurity::StartTls
                                     << QStringList{"CRAM-MD5", "PLAIN"} << "secret" << "";
    QTest::newRow("TLS from the start, LOGIN") << "tls" << TransportSecurity::Tls
                                               << QStringList{"CRAM-MD5", "PLAIN"} << "secret" << "";
    QTest::newRow("plain, PLAIN") << "plain" << TransportSecurity::None
                                  << QStringList{"CRAM-MD5"} << "secret" << "";
    QTest::newRow("wrong password") << "starttls" << TransportSecurity::StartTls
                                    << QStringList{"CRAM-MD5"} << "wrong"
                                    << "13: Unexpected response: 535 5.7.8 Authentication credentials invalid";
}

void TestMailServers::aiosmtpd()
{
    QFETCH(QString, mode);
    QFETCH(TransportSecurity, security);
    QFETCH(QStringList, exclude);
    QFETCH(QString, password);
    QFETCH(QString, error);

    QVERIFY2(QFile::exists(m_cert), "openssl could not make a certificate");
    const QString out = m_dir.filePath("aio-" + QString::number(QTest::currentDataTag()[0]) + mode
                                       + QString::number(exclude.size()) + password);
    AiosmtpdServer server;
    VARNHOLT_START_SERVER(server, mode, out, m_cert, m_key, "joe", "secret", exclude);
    const quint16 port = server.port();

    SendMail mail;
    Owner owner(mail);
    fillMessage(mail, port, QStringLiteral("Über TLS"));
    mail.setSMTP_Server(QStringLiteral("localhost"));
    mail.setSecurity(security);
    mail.setSmtpAuth(true);
    mail.setSmtpUser(QStringLiteral("joe"));
    mail.setSmtpPsw(password);
    mail.setExtraCaCertificates(QSslCertificate::fromPath(m_cert));
    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE_WITH_TIMEOUT(owner.done, 1, 30000);

    if (!error.isEmpty()) {
        QCOMPARE(owner.errors, QStringList{error});
        QVERIFY(!mail.Delivered());
        return;
    }
    QVERIFY2(owner.errors.isEmpty(), qPrintable(owner.errors.join("; ")));
    QVERIFY(mail.Delivered());
    QCOMPARE(owner.sent.size(), 1);
    QCOMPARE(readFile(out + "/1.eml"), unstuffed(owner.sent.first()));
    const QByteArray env = readFile(out + "/1.env");
    QVERIFY2(env.contains("login=joe\n"), env.constData());
    QVERIFY2(env.contains("to=rcpt@example.test\n"), env.constData());
}

void TestMailServers::untrustedCertificate()
{
    QVERIFY2(QFile::exists(m_cert), "openssl could not make a certificate");
    for (const auto &[mode, security] : {std::pair{QStringLiteral("tls"), TransportSecurity::Tls},
                                         std::pair{QStringLiteral("starttls"), TransportSecurity::StartTls}}) {
        AiosmtpdServer server;
        VARNHOLT_START_SERVER(server, mode, m_dir.filePath("untrusted-" + mode), m_cert, m_key);
        const quint16 port = server.port();
        SendMail mail;
        Owner owner(mail);
        fillMessage(mail, port, QStringLiteral("never sent"));
        mail.setSMTP_Server(QStringLiteral("localhost"));
        mail.setSecurity(security);
        mail.setAction(SendMail::Send_Mail); // the system store does not know the certificate
        QTRY_COMPARE_WITH_TIMEOUT(owner.done, 1, 30000);
        QCOMPARE(owner.errors.size(), 1);
        QVERIFY2(owner.errors.first().startsWith("20: TLS negotiation with localhost failed: "),
                 qPrintable(owner.errors.first()));
        QVERIFY(owner.sent.isEmpty());

        // Trusting the certificate, the same SendMail delivers. The first
        // OnDone after the failure must be this delivery's, after the
        // server accepted it: one left over from the failed session would
        // come first.
        QList<qsizetype> acceptedAtDone;
        connect(&mail, &SendMail::OnDone, &mail, [&] { acceptedAtDone << owner.sent.size(); });
        mail.setExtraCaCertificates(QSslCertificate::fromPath(m_cert));
        fillMessage(mail, port, QStringLiteral("sent once trusted"));
        mail.setSMTP_Server(QStringLiteral("localhost"));
        mail.setAction(SendMail::Send_Mail);
        QTRY_VERIFY_WITH_TIMEOUT(!acceptedAtDone.isEmpty(), 30000);
        QCOMPARE(acceptedAtDone, QList<qsizetype>{1});
        QCOMPARE(owner.done, 2);
        QCOMPARE(owner.errors.size(), 1);
    }
}

void TestMailServers::multiLineRefusal()
{
    AiosmtpdServer server;
    VARNHOLT_START_SERVER(server, "plain", m_dir.filePath("multiline"), {}, {});
    SendMail mail;
    Owner owner(mail);
    fillMessage(mail, server.port(), QStringLiteral("refused"));
    mail.setTO_Address(QStringLiteral("reject-multiline@example.test"));
    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE_WITH_TIMEOUT(owner.done, 1, 20000);
    const QString text = QStringLiteral("Unexpected response: 550 5.1.1 first line of the refusal / "
                                        "5.1.1 second line of the refusal");
    QCOMPARE(owner.errors, QStringList{"13: " + text});
    const SmtpResult result = mail.result();
    QCOMPARE(result.text, text);
    QVERIFY(result.reply && result.reply->isPermanent());
    QCOMPARE(result.reply->lines(), (QList<QByteArray>{"5.1.1 first line of the refusal",
                                                       "5.1.1 second line of the refusal"}));
    QCOMPARE(result.command, QByteArray("RCPT TO:<reject-multiline@example.test>"));
}

void TestMailServers::smtpUtf8_data()
{
    QTest::addColumn<bool>("offered");
    QTest::addColumn<bool>("keptConnection"); // an ASCII message first, on a kept connection
    QTest::newRow("offered") << true << false;
    QTest::newRow("not offered") << false << false;
    QTest::newRow("kept connection: the EHLO reply already offered it") << true << true;
}

void TestMailServers::smtpUtf8()
{
    QFETCH(bool, offered);
    QFETCH(bool, keptConnection);
    const QString out = m_dir.filePath(QStringLiteral("utf8-%1%2").arg(offered).arg(keptConnection));
    AiosmtpdServer server;
    VARNHOLT_START_SERVER(server, "plain", out, {}, {}, {}, {}, {},
                          offered ? QStringList{"--smtputf8"} : QStringList());
    SendMail mail;
    Owner owner(mail);
    mail.setKeepConnectionOpen(keptConnection);
    int expectedDone = 1;
    if (keptConnection) {
        fillMessage(mail, server.port(), QStringLiteral("ASCII first"));
        mail.setAction(SendMail::Send_Mail);
        QTRY_COMPARE_WITH_TIMEOUT(owner.done, 1, 20000);
        QVERIFY2(mail.Delivered(), qPrintable(owner.errors.join("; ")));
        expectedDone = 2;
    }
    fillMessage(mail, server.port(), QStringLiteral("Grüße"));
    mail.message().ListTo.clear();
    mail.setTO_Address(QStringLiteral("jörg@bücher.example"));
    mail.setTO_Name(QStringLiteral("Jörg Müller"));
    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE_WITH_TIMEOUT(owner.done, expectedDone, 20000);
    const QString stored = out + QStringLiteral("/%1.eml").arg(expectedDone);
    if (!offered) {
        QCOMPARE(owner.errors, QStringList{"24: The recipient address has non-ASCII characters and the "
                                           "server does not offer SMTPUTF8"});
        QVERIFY(!QFile::exists(stored));
        return;
    }
    QVERIFY2(owner.errors.isEmpty(), qPrintable(owner.errors.join("; ")));
    QVERIFY(mail.Delivered());
    QCOMPARE(owner.connects, 1); // the kept connection carried the second message
    const QString env = QString::fromUtf8(readFile(out + QStringLiteral("/%1.env").arg(expectedDone)));
    QVERIFY2(env.contains(QStringLiteral("to=jörg@bücher.example\n")), qPrintable(env));

    // An independent parser reads the address from the header. RFC 6532
    // makes the message UTF-8 text; Python reads such a message as text
    // (its byte parser leaves non-ASCII header bytes undecoded). It notes
    // every non-ASCII local part as a defect, which SMTPUTF8 allows.
    const MessageDescriptions described = describeMessages({stored}, true);
    QVERIFY2(described.error.isEmpty(), qPrintable(described.error));
    const QJsonObject message = described.messages.at(0).toObject();
    QCOMPARE(message["to"].toArray(), (QJsonArray{QJsonArray{"Jörg Müller", "jörg@bücher.example"}}));
    QStringList defects;
    for (const QJsonValue &defect : message["header_defects"].toArray()) {
        if (defect.toString() != QLatin1String("To: NonASCIILocalPartDefect"))
            defects << defect.toString();
    }
    QCOMPARE(defects, QStringList());
    QCOMPARE(message["defects"].toArray(), QJsonArray());
}

void TestMailServers::dovecotLogin_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<bool>("granted");
    QTest::newRow("right password") << "secret" << QStringList() << true;
    QTest::newRow("wrong password") << "wrong" << QStringList{"19: Access Denied"} << false;
}

void TestMailServers::dovecotLogin()
{
    QFETCH(QString, password);
    QFETCH(QStringList, errors);
    QFETCH(bool, granted);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    DovecotPop3 server;
    VARNHOLT_START_SERVER(server, dir.path(), "joe", "secret");
    const quint16 port = server.port();

    GetMail mail;
    QStringList seen;
    QStringList seenErrors;
    int done = 0;
    connect(&mail, &GetMail::OnMailInfo, &mail, [&](GetMail::GetMailInfo info, const QString &) {
        seen << QString::number(int(info));
        if (info == GetMail::giAccessGranted)
            mail.StopSession();
    });
    connect(&mail, &GetMail::OnMailError, &mail, [&](int error, const QString &text) {
        seenErrors << QStringLiteral("%1: %2").arg(error).arg(text);
        mail.StopSession();
    });
    connect(&mail, &GetMail::OnDone, &mail, [&] { ++done; });
    mail.setMail_Server(QStringLiteral("127.0.0.1"));
    mail.setMail_Port(port);
    mail.setUser_ID(QStringLiteral("joe"));
    mail.setUser_Password(password);
    mail.setMail_Action(GetMail::Get_Mail);
    QTRY_COMPARE_WITH_TIMEOUT(done, 1, 20000);
    if (seenErrors != errors)
        qWarning().noquote() << server.log();
    QCOMPARE(seenErrors.join("; "), errors.join("; "));
    QCOMPARE(seen.contains(QString::number(GetMail::giAccessGranted)), granted);
    QVERIFY(seen.contains(QString::number(GetMail::giUserAccepted)));
}

QTEST_GUILESS_MAIN(TestMailServers)
#include "tst_mailservers.moc"
