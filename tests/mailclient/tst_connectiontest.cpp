// The connection test: the SMTP dialogue in its log-in-only form fed line by
// line, then ConnectionTest against real servers on 127.0.0.1 (aiosmtpd
// with STARTTLS, TLS and a password; Dovecot for the POP3 log-in first).
// The trace must never hold the password, and no message may reach the
// server.

#include "mailclient/connectiontest.h"
#include "mailclient/mailerrors.h"
#include "mailclient/smtpdialogue.h"
#include "scriptfeed.h"

#include <QDir>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>

#include "testservers.h"

using namespace varnholt;
using namespace varnholt::testing;

namespace {

struct Recorder : SmtpDialogue::Events {
    QStringList out;
    void sendCommand(const QByteArray &, const QByteArray &logForm, bool) override
    {
        out << QStringLiteral("C: ") + QString::fromUtf8(logForm);
    }
    void recipient(const QString &address) override { out << "recipient " + address; }
    void unexpectedReply(const SmtpReply &reply) override
    {
        out << QStringLiteral("error 13: ") + QString::fromUtf8(reply.summary());
    }
    void failure(int number, const QString &text, const std::optional<SmtpReply> &) override
    {
        out << QStringLiteral("failure %1: %2").arg(number).arg(text);
    }
    void beginTls() override { out << "begin tls"; }
    void transmitMessage() override { out << "message"; }
    void accepted(const SmtpReply &reply) override { out << "accepted " + QString::fromUtf8(reply.summary()); }
    void quitAnswered() override { out << "quit answered"; }
    void readyForMail(const SmtpReply &reply) override { out << "ready " + QString::fromUtf8(reply.summary()); }
};

SmtpDialogue::Settings loginOnly(bool auth, TransportSecurity security = TransportSecurity::None)
{
    SmtpDialogue::Settings s;
    s.smtpAuth = auth;
    s.user = "tim";
    s.password = "tanstaaftanstaaf";
    s.heloArgument = "client.test";
    s.host = "mx.test";
    s.security = security;
    s.loginOnly = true;
    return s;
}

const QString kPassword = QStringLiteral("s3cret-Pa55");

} // namespace

class TestConnectionTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void dialogue_data();
    void dialogue();
    void smtpServer_data();
    void smtpServer();
    void unreachable();
    void pop3First_data();
    void pop3First();

private:
    ConnectionTest::Settings smtpSettings(quint16 port, TransportSecurity security, const QString &password) const;
    static void checkTraceHidesPassword(const QString &trace, const QString &password);

    QTemporaryDir m_dir;
    QString m_cert;
    QString m_key;
};

void TestConnectionTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    openToAll(m_dir.path());
    m_cert = m_dir.filePath("cert.pem");
    m_key = m_dir.filePath("key.pem");
    if (!findTool("openssl").isEmpty())
        QVERIFY(makeCertificate(m_cert, m_key));
}

void TestConnectionTest::dialogue_data()
{
    QTest::addColumn<SmtpDialogue::Settings>("config");
    QTest::addColumn<QStringList>("script");

    QTest::newRow("AUTH PLAIN accepted: QUIT instead of MAIL FROM")
        << loginOnly(true)
        << QStringList{"S: 220 mx.test ESMTP", "C: EHLO client.test",
                       "S: 250-mx.test", "S: 250 AUTH PLAIN LOGIN", "C: AUTH PLAIN <credentials>",
                       "S: 235 2.7.0 Authentication successful", "ready 235 2.7.0 Authentication successful",
                       "C: QUIT", "S: 221 bye", "quit answered"};

    QTest::newRow("STARTTLS, then AUTH LOGIN accepted")
        << loginOnly(true, TransportSecurity::StartTls)
        << QStringList{"S: 220 mx.test ESMTP", "C: EHLO client.test",
                       "S: 250-mx.test", "S: 250 STARTTLS", "C: STARTTLS",
                       "S: 220 go ahead", "begin tls", "T:", "C: EHLO client.test",
                       "S: 250-mx.test", "S: 250 AUTH LOGIN", "C: AUTH LOGIN",
                       "S: 334 VXNlcm5hbWU6", "C: dGlt",
                       "S: 334 UGFzc3dvcmQ6", "C: <password>",
                       "S: 235 ok", "ready 235 ok", "C: QUIT"};

    QTest::newRow("CRAM-MD5: the reply to the response decides")
        << loginOnly(true)
        << QStringList{"S: 220 mx.test ESMTP", "C: EHLO client.test",
                       "S: 250-mx.test", "S: 250 AUTH CRAM-MD5", "C: AUTH CRAM-MD5",
                       "S: 334 PDQ3MTFAbG9jYWxob3N0Pg==",
                       "C: dGltIDk5OTNjNzBlMzdkMjgwNjczNjc0MWNmNTYwN2NhNDA2",
                       "S: 235 ok", "ready 235 ok", "C: QUIT"};

    QTest::newRow("wrong password: the refusal, no QUIT of the test's own")
        << loginOnly(true)
        << QStringList{"S: 220 mx.test ESMTP", "C: EHLO client.test",
                       "S: 250-mx.test", "S: 250 AUTH PLAIN", "C: AUTH PLAIN <credentials>",
                       "S: 535 5.7.8 Authentication credentials invalid",
                       "error 13: 535 5.7.8 Authentication credentials invalid"};

    QTest::newRow("no authentication: the reply to EHLO is enough")
        << loginOnly(false)
        << QStringList{"S: 220 mx.test ESMTP", "C: EHLO client.test", "S: 250 mx.test",
                       "ready 250 mx.test", "C: QUIT", "S: 221 bye", "quit answered"};

    QTest::newRow("no authentication, EHLO refused: the reply to HELO is enough")
        << loginOnly(false)
        << QStringList{"S: 220 mx.test", "C: EHLO client.test", "S: 502 no", "C: HELO client.test",
                       "S: 250 mx.test", "ready 250 mx.test", "C: QUIT"};

    QTest::newRow("no authentication over STARTTLS: the second EHLO is enough")
        << loginOnly(false, TransportSecurity::StartTls)
        << QStringList{"S: 220 mx.test ESMTP", "C: EHLO client.test", "S: 250 STARTTLS", "C: STARTTLS",
                       "S: 220 go ahead", "begin tls", "T:", "C: EHLO client.test", "S: 250 mx.test",
                       "ready 250 mx.test", "C: QUIT"};

    // A send goes on with HELO here and lets the server judge MAIL FROM; a
    // test that did no log-in must not pass.
    QTest::newRow("authentication asked for, EHLO refused: no log-in, fails")
        << loginOnly(true)
        << QStringList{"S: 220 mx.test HELLO there", "C: EHLO client.test", "S: 500 unknown command",
                       "C: HELO client.test", "S: 250 mx.test",
                       "failure 13: The server mx.test did not confirm a log-in: 250 mx.test"};

    QTest::newRow("exchange given up with * and answered positively: fails")
        << loginOnly(true)
        << QStringList{"S: 220 mx.test ESMTP", "C: EHLO client.test",
                       "S: 250-mx.test", "S: 250 AUTH PLAIN", "C: AUTH PLAIN <credentials>",
                       "S: 250 odd", "C: *", "S: 250 cancelled",
                       "failure 13: The server mx.test did not confirm a log-in: 250 cancelled"};
}

void TestConnectionTest::dialogue()
{
    QFETCH(SmtpDialogue::Settings, config);
    QFETCH(QStringList, script);

    Recorder recorder;
    SmtpDialogue machine(recorder);
    machine.startConnection(config, SmtpDialogue::Envelope());
    playScript(
        script, recorder.out, [](const QString &step) { return step == "T:"; },
        [&](const QString &step) {
            if (step == "T:")
                machine.tlsEstablished();
            else
                machine.handleLine(step.mid(3).toUtf8());
        });
}

ConnectionTest::Settings TestConnectionTest::smtpSettings(quint16 port, TransportSecurity security,
                                                          const QString &password) const
{
    ConnectionTest::Settings s;
    s.smtpServer = QStringLiteral("localhost"); // the certificate's name
    s.smtpPort = port;
    s.security = security;
    s.smtpAuth = true;
    s.smtpUser = QStringLiteral("joe");
    s.smtpPassword = password;
    s.heloDef = false;
    s.heloTxt = QStringLiteral("client.test");
    s.timeoutSeconds = 20;
    return s;
}

// Neither the password nor any encoding of it that AUTH sends.
void TestConnectionTest::checkTraceHidesPassword(const QString &trace, const QString &password)
{
    const QByteArray pw = password.toUtf8();
    for (const QByteArray &form : {pw, pw.toBase64(), QByteArray("\0joe\0" + pw, 5 + pw.size()).toBase64()})
        QVERIFY2(!trace.contains(QString::fromLatin1(form)), qPrintable(trace));
}

void TestConnectionTest::smtpServer_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<TransportSecurity>("security");
    QTest::addColumn<QStringList>("exclude"); // mechanisms the server does not offer
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("passed");
    QTest::addColumn<QString>("verdict"); // its beginning
    QTest::addColumn<QStringList>("traceLines"); // lines the trace must hold, in order

    const QString accepted = QStringLiteral("The server accepted the log-in.");
    const QString refused = QStringLiteral("The server refused the log-in: 535 5.7.8 Authentication credentials invalid");
    const QStringList tlsLines{"C: EHLO client.test", "C: STARTTLS", "S: 220 Ready to start TLS", "C: EHLO client.test",
                               "C: <credentials hidden>", "S: 235 2.7.0 Authentication successful", "C: QUIT",
                               "S: 221 Bye"};

    QTest::newRow("STARTTLS, PLAIN, right password")
        << "starttls" << TransportSecurity::StartTls << QStringList{"CRAM-MD5"} << kPassword << true << accepted
        << tlsLines;
    QTest::newRow("STARTTLS, PLAIN, wrong password")
        << "starttls" << TransportSecurity::StartTls << QStringList{"CRAM-MD5"} << "wrong" << false << refused
        << QStringList{"C: STARTTLS", "C: <credentials hidden>", "S: 535 5.7.8 Authentication credentials invalid"};
    QTest::newRow("TLS from the start, LOGIN, right password")
        << "tls" << TransportSecurity::Tls << QStringList{"CRAM-MD5", "PLAIN"} << kPassword << true << accepted
        << QStringList{"C: EHLO client.test", "C: <credentials hidden>", "S: 334 VXNlciBOYW1lAA==",
                       "C: <credentials hidden>", "S: 334 UGFzc3dvcmQA", "C: <credentials hidden>",
                       "S: 235 2.7.0 Authentication successful", "C: QUIT"};
    QTest::newRow("TLS from the start, LOGIN, wrong password")
        << "tls" << TransportSecurity::Tls << QStringList{"CRAM-MD5", "PLAIN"} << "wrong" << false << refused
        << QStringList{"S: 334 UGFzc3dvcmQA", "C: <credentials hidden>", "S: 535 5.7.8"};
    // CRAM-MD5 (preferred when offered) ends in the state that lets the
    // sender go: the reply to the response is the log-in's result.
    QTest::newRow("no encryption, CRAM-MD5, right password")
        << "plain" << TransportSecurity::None << QStringList() << kPassword << true << accepted
        << QStringList{"S: 250-AUTH CRAM-MD5", "C: <credentials hidden>", "S: 334 ", "C: <credentials hidden>",
                       "S: 235 2.7.0 Authentication successful", "C: QUIT"};
    QTest::newRow("no encryption, CRAM-MD5, wrong password")
        << "plain" << TransportSecurity::None << QStringList() << "wrong" << false << refused
        << QStringList{"S: 334 ", "C: <credentials hidden>", "S: 535 5.7.8"};
    QTest::newRow("STARTTLS asked for, server without it")
        << "plain" << TransportSecurity::StartTls << QStringList() << kPassword << false
        << "The server localhost does not offer STARTTLS" << QStringList{"C: EHLO client.test"};
}

void TestConnectionTest::smtpServer()
{
    QFETCH(QString, mode);
    QFETCH(TransportSecurity, security);
    QFETCH(QStringList, exclude);
    QFETCH(QString, password);
    QFETCH(bool, passed);
    QFETCH(QString, verdict);
    QFETCH(QStringList, traceLines);

    if (mode != "plain")
        QVERIFY2(QFile::exists(m_cert), "openssl could not make a certificate");
    const QString out = m_dir.filePath(QStringLiteral("smtp-%1").arg(QTest::currentDataTag()).replace(' ', '_'));
    AiosmtpdServer server;
    VARNHOLT_START_SERVER(server, mode, out, m_cert, m_key, "joe", kPassword, exclude);

    ConnectionTest test;
    test.smtp().setExtraCaCertificates(QSslCertificate::fromPath(m_cert));
    QSignalSpy finished(&test, &ConnectionTest::finished);
    test.start(smtpSettings(server.port(), security, password));
    QVERIFY(test.isRunning());
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
    QVERIFY(!test.isRunning());

    const QString trace = test.trace();
    QVERIFY2(test.verdict().startsWith(verdict), qPrintable(test.verdict() + "\n" + trace));
    QCOMPARE(test.passed(), passed);
    QCOMPARE(finished.first().first().toBool(), passed);
    QVERIFY2(trace.startsWith(QStringLiteral("SMTP localhost:%1\n").arg(server.port())), qPrintable(trace));
    qsizetype at = 0;
    for (const QString &line : traceLines) {
        at = trace.indexOf(line, at);
        QVERIFY2(at >= 0, qPrintable(QStringLiteral("\"%1\" missing or out of order in\n%2").arg(line, trace)));
        at += line.size();
    }
    QVERIFY2(!trace.contains("MAIL FROM") && !trace.contains("RCPT") && !trace.contains("DATA"), qPrintable(trace));
    checkTraceHidesPassword(trace, password);
    QVERIFY(QDir(out).entryList(QDir::Files).isEmpty()); // nothing was sent
    // Another run of the same object starts afresh.
    test.start(smtpSettings(server.port(), security, password));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 30000);
    QCOMPARE(test.passed(), passed);
    QCOMPARE(test.trace().count(QStringLiteral("SMTP localhost")), 1);
}

void TestConnectionTest::unreachable()
{
    // Nothing listens on a port that was free a moment ago.
    ConnectionTest test;
    QSignalSpy finished(&test, &ConnectionTest::finished);
    ConnectionTest::Settings s = smtpSettings(freePort(), TransportSecurity::None, kPassword);
    s.smtpServer = QStringLiteral("127.0.0.1");
    test.start(s);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
    QVERIFY(!test.passed());
    QVERIFY2(test.verdict().startsWith(QStringLiteral("The connection to 127.0.0.1:%1 failed: ").arg(s.smtpPort)),
             qPrintable(test.verdict()));
}

void TestConnectionTest::pop3First_data()
{
    QTest::addColumn<QString>("popPassword");
    QTest::addColumn<bool>("passed");
    QTest::addColumn<QString>("verdict");

    QTest::newRow("POP3 log-in granted, then SMTP")
        << "pop-secret" << true
        << "The POP3 server accepted the log-in. The server accepted the log-in.";
    QTest::newRow("POP3 log-in refused: SMTP is not tried")
        << "wrong" << false << "The POP3 server refused the log-in: -ERR";
}

void TestConnectionTest::pop3First()
{
    QFETCH(QString, popPassword);
    QFETCH(bool, passed);
    QFETCH(QString, verdict);

    QTemporaryDir popDir;
    QVERIFY(popDir.isValid());
    DovecotPop3 pop;
    VARNHOLT_START_SERVER(pop, popDir.path(), "joe", "pop-secret");
    const QString out = m_dir.filePath(QStringLiteral("pop-%1").arg(passed));
    AiosmtpdServer smtp;
    VARNHOLT_START_SERVER(smtp, "plain", out, {}, {}, "joe", kPassword);

    ConnectionTest test;
    QSignalSpy finished(&test, &ConnectionTest::finished);
    ConnectionTest::Settings s = smtpSettings(smtp.port(), TransportSecurity::None, kPassword);
    s.smtpServer = QStringLiteral("127.0.0.1");
    s.pop3First = true;
    s.popServer = QStringLiteral("127.0.0.1");
    s.popPort = pop.port();
    s.popUser = QStringLiteral("joe");
    s.popPassword = popPassword;
    test.start(s);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);

    const QString trace = test.trace();
    QCOMPARE(test.passed(), passed);
    QVERIFY2(test.verdict().startsWith(verdict), qPrintable(test.verdict() + "\n" + trace + pop.log()));
    QVERIFY2(trace.startsWith(QStringLiteral("POP3 127.0.0.1:%1\n").arg(pop.port())), qPrintable(trace));
    QVERIFY2(trace.contains("C: USER joe"), qPrintable(trace));
    QCOMPARE(trace.contains(QStringLiteral("SMTP 127.0.0.1:%1").arg(smtp.port())), passed);
    checkTraceHidesPassword(trace, popPassword);
    checkTraceHidesPassword(trace, kPassword);
}

QTEST_GUILESS_MAIN(TestConnectionTest)
#include "tst_connectiontest.moc"
