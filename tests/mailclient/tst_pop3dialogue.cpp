// The POP3 log-in fed line by line, as the SMTP dialogue is: each row is a
// protocol log in the test-script form. "S:" lines are fed to the machine;
// the lines after one are what it must answer before the next "S:" line.
// "T:" reports a finished TLS handshake.

#include "mailclient/mailerrors.h"
#include "mailclient/pop3dialogue.h"
#include "scriptfeed.h"

#include <QTest>

using namespace varnholt;

namespace {

struct Recorder : Pop3Dialogue::Events {
    QStringList out;
    void sendCommand(const QByteArray &line, const QByteArray &logForm, bool credentials) override
    {
        // Only the password is hidden, and only from the logs.
        QCOMPARE(credentials, line.startsWith("PASS "));
        out << QStringLiteral("C: ") + QString::fromUtf8(logForm);
    }
    void userAccepted() override { out << "user accepted"; }
    void accessGranted(const Pop3Reply &reply) override
    {
        QVERIFY(reply.isPositive());
        out << "granted: " + QString::fromUtf8(reply.text());
    }
    void accessDenied(const Pop3Reply &reply) override
    {
        QVERIFY(reply.isNegative());
        out << "denied: " + QString::fromUtf8(reply.line());
    }
    void beginTls() override { out << "begin tls"; }
    void stlsRefused(const Pop3Reply &reply) override { out << "stls refused: " + QString::fromUtf8(reply.line()); }
    void protocolError(const QString &text) override { out << "protocol error: " + text; }
};

} // namespace

class TestPop3Dialogue : public QObject
{
    Q_OBJECT
private slots:
    void dialogue_data();
    void dialogue();
};

void TestPop3Dialogue::dialogue_data()
{
    QTest::addColumn<bool>("upgrade");
    QTest::addColumn<QStringList>("script");

    QTest::newRow("log-in; nothing answered after it")
        << false
        << QStringList{"S: +OK POP3 ready", "C: USER joe", "S: +OK", "user accepted", "C: PASS <password>",
                       "S: +OK logged in", "granted: logged in", "S: +OK stray", "S: -ERR stray"};
    QTest::newRow("greeting refused") << false << QStringList{"S: -ERR go away", "denied: -ERR go away"};
    QTest::newRow("user refused")
        << false << QStringList{"S: +OK ready", "C: USER joe", "S: -ERR no such user", "denied: -ERR no such user"};
    QTest::newRow("password refused, later lines ignored")
        << false
        << QStringList{"S: +OK ready", "C: USER joe", "S: +OK", "user accepted", "C: PASS <password>",
                       "S: -ERR [AUTH] Authentication failed.", "denied: -ERR [AUTH] Authentication failed.",
                       "S: -ERR again"};
    QTest::newRow("judged by the sign: a bare \"+\" is positive")
        << false << QStringList{"S: +", "C: USER joe"};
    QTest::newRow("an empty line is ignored") << false << QStringList{"S: ", "S: +OK ready", "C: USER joe"};
    QTest::newRow("an SMTP greeting is a protocol error")
        << false
        << QStringList{"S: 220 mail.test ESMTP",
                       "protocol error: The server sent a line that is not a POP3 reply: \"220 mail.test ESMTP\"",
                       "S: +OK ignored"};
    QTest::newRow("a line that is too long is a protocol error")
        << false
        << QStringList{"S: +OK " + QString(ReplyLimits::MaxLineBytes, u'x'), "protocol error: " + TextReplyLineTooLong};
    QTest::newRow("STLS, then the log-in over TLS")
        << true
        << QStringList{"S: +OK ready", "C: STLS", "S: +OK begin TLS", "begin tls", "S: +OK ignored in the handshake",
                       "T:", "C: USER joe", "S: +OK", "user accepted", "C: PASS <password>"};
    QTest::newRow("STLS refused: no log-in in plain text")
        << true << QStringList{"S: +OK ready", "C: STLS", "S: -ERR not here", "stls refused: -ERR not here",
                               "S: +OK ignored"};
}

void TestPop3Dialogue::dialogue()
{
    QFETCH(bool, upgrade);
    QFETCH(QStringList, script);
    Recorder recorder;
    Pop3Dialogue machine(recorder);
    machine.start(QStringLiteral("joe"), QStringLiteral("secret"), upgrade);
    playScript(
        script, recorder.out, [](const QString &step) { return step == "T:"; },
        [&](const QString &step) {
            if (step == "T:")
                machine.tlsEstablished();
            else
                machine.handleLine(step.mid(3).toUtf8());
        });
}

QTEST_GUILESS_MAIN(TestPop3Dialogue)
#include "tst_pop3dialogue.moc"
