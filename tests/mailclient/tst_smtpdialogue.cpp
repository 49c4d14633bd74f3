// The SMTP dialogue fed line by line: each row is a protocol log in the
// test-script form. "S:" lines are fed to the machine; the lines after one
// are what it must answer before the next "S:" line. "T:" reports a finished
// TLS handshake, "R:" starts the next message on a kept connection ("R: x@y"
// with x@y as its recipient). The client greets with EHLO, whatever the
// account's authentication, and with HELO only when EHLO is refused.

#include "mailclient/mailerrors.h"
#include "mailclient/mailreply.h"
#include "mailclient/sasl.h"
#include "mailclient/smtpdialogue.h"
#include "scriptfeed.h"

#include <QTest>

using namespace varnholt;

namespace {

struct Recorder : SmtpDialogue::Events {
    QStringList out;
    void sendCommand(const QByteArray &line, const QByteArray &logForm, bool credentials) override
    {
        // Outside the AUTH exchange the log form is the line itself.
        QVERIFY(credentials || line == logForm);
        out << QStringLiteral("C: ") + QString::fromUtf8(logForm);
    }
    void recipient(const QString &address) override { out << "recipient " + address; }
    void unexpectedReply(const SmtpReply &reply) override
    {
        QVERIFY(reply.isComplete() && !reply.isPositive());
        out << QStringLiteral("error 13: ") + QString::fromUtf8(reply.summary());
    }
    void failure(int number, const QString &text, const std::optional<SmtpReply> &reply) override
    {
        out << QStringLiteral("failure %1: %2").arg(number).arg(text)
                   + (reply ? QStringLiteral(" [%1]").arg(reply->code()) : QString());
    }
    void beginTls() override { out << "begin tls"; }
    void transmitMessage() override { out << "message"; }
    void accepted(const SmtpReply &reply) override { out << "accepted " + QString::fromUtf8(reply.summary()); }
    void quitAnswered() override { out << "quit answered"; }
};

SmtpDialogue::Settings settings(bool auth, TransportSecurity security = TransportSecurity::None,
                                bool keepOpen = false)
{
    SmtpDialogue::Settings s;
    s.smtpAuth = auth;
    s.user = "tim";
    s.password = "tanstaaftanstaaf";
    s.heloArgument = "client.test";
    s.host = "mx.test";
    s.security = security;
    s.keepConnectionOpen = keepOpen;
    return s;
}

const SmtpDialogue::Envelope oneRecipient{QStringLiteral("a@x.test"), {QStringLiteral("b@y.test")}};

// The tail every successful plain dialogue shares after "MAIL FROM".
QStringList deliveryTail()
{
    return {"S: 250 sender ok", "C: RCPT TO:<b@y.test>", "recipient b@y.test",
            "S: 250 rcpt ok", "C: DATA",
            "S: 354 go ahead", "message",
            "S: 250 2.0.0 queued", "accepted 250 2.0.0 queued", "C: QUIT",
            "S: 221 bye", "quit answered"};
}

} // namespace

class TestSmtpDialogue : public QObject
{
    Q_OBJECT
private slots:
    void dialogue_data();
    void dialogue();
    void replyValues_data();
    void replyValues();
    void replyLimits();
    void mechanismOrder_data();
    void mechanismOrder();
    void cramMd5Rfc2195();
    void digestMd5Rfc2831();
    void digestChallengeParsing();
};

void TestSmtpDialogue::dialogue_data()
{
    QTest::addColumn<SmtpDialogue::Settings>("config");
    QTest::addColumn<SmtpDialogue::Envelope>("envelope");
    QTest::addColumn<QStringList>("script");

    QTest::newRow("no SmtpAuth: EHLO, then the sender")
        << settings(false) << oneRecipient
        << (QStringList{"S: 220 mx.test ESMTP Postfix", "C: EHLO client.test",
                        "S: 250 mx.test", "C: MAIL FROM:<a@x.test>"}
            + deliveryTail());

    QTest::newRow("multi-line greeting answered after its last line")
        << settings(false) << oneRecipient
        << QStringList{"S: 220-mx.test first", "S: 220-second", "S: 220 last", "C: EHLO client.test",
                       "S: 250-mx.test", "S: 250 ok", "C: MAIL FROM:<a@x.test>"};

    QTest::newRow("SmtpAuth, ESMTP greeting, AUTH LOGIN")
        << settings(true) << oneRecipient
        << (QStringList{"S: 220 mx.test ESMTP", "C: EHLO client.test",
                        "S: 250-mx.test", "S: 250-SIZE 1000", "S: 250-AUTH LOGIN", "S: 250 8BITMIME",
                        "C: AUTH LOGIN",
                        "S: 334 VXNlcm5hbWU6", "C: dGlt",
                        "S: 334 UGFzc3dvcmQ6", "C: <password>",
                        "S: 235 ok", "C: MAIL FROM:<a@x.test>"}
            + deliveryTail());

    QTest::newRow("old form 250-AUTH=LOGIN offers LOGIN")
        << settings(true) << oneRecipient
        << QStringList{"S: 220 mx.test ESMTP", "C: EHLO client.test",
                       "S: 250-mx.test", "S: 250-AUTH=LOGIN", "S: 250 HELP", "C: AUTH LOGIN"};

    QTest::newRow("EHLO refused, HELO fallback: no authentication, the server judges the sender")
        << settings(true) << oneRecipient
        << (QStringList{"S: 220 HELLO there", "C: EHLO client.test",
                        "S: 500 5.5.1 Command unrecognized", "C: HELO client.test",
                        "S: 250 ok", "C: MAIL FROM:<a@x.test>"}
            + deliveryTail());

    QTest::newRow("EHLO refused with 502, HELO fallback")
        << settings(false) << oneRecipient
        << QStringList{"S: 220 mx", "C: EHLO client.test", "S: 502-not", "S: 502 implemented",
                       "C: HELO client.test", "S: 250 ok", "C: MAIL FROM:<a@x.test>"};

    QTest::newRow("EHLO and HELO refused: error 13 with the reply to HELO")
        << settings(false) << oneRecipient
        << QStringList{"S: 220 mx", "C: EHLO client.test", "S: 550 no EHLO", "C: HELO client.test",
                       "S: 554 go away", "error 13: 554 go away"};

    QTest::newRow("EHLO answered with 421: error 13, no HELO")
        << settings(false) << oneRecipient
        << QStringList{"S: 220 mx", "C: EHLO client.test", "S: 421 4.3.2 shutting down",
                       "error 13: 421 4.3.2 shutting down"};

    QTest::newRow("EHLO refused with STARTTLS asked for: no HELO, no plain text")
        << settings(false, TransportSecurity::StartTls) << oneRecipient
        << QStringList{"S: 220 mx.test", "C: EHLO client.test", "S: 504 no",
                       "failure 20: The server mx.test does not offer STARTTLS: it refused EHLO with 504 no [504]"};

    QTest::newRow("plain greeting with SmtpAuth: EHLO, LOGIN when nothing offered")
        << settings(true) << oneRecipient
        << QStringList{"S: 220 mx.test ready", "C: EHLO client.test", "S: 250 mx.test",
                       "C: AUTH LOGIN"};

    QTest::newRow("CRAM-MD5 preferred, failed authentication is error 13")
        << settings(true) << oneRecipient
        << QStringList{"S: 220 mx.test ESMTP", "C: EHLO client.test",
                       "S: 250-AUTH LOGIN PLAIN DIGEST-MD5 CRAM-MD5", "S: 250 ok",
                       "C: AUTH CRAM-MD5",
                       "S: 334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+",
                       "C: dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw",
                       "S: 535 5.7.8 bad credentials", "error 13: 535 5.7.8 bad credentials"};

    QTest::newRow("DIGEST-MD5 answers the rspauth challenge with an empty line")
        << settings(true) << oneRecipient
        << QStringList{"S: 220 mx.test ESMTP", "C: EHLO client.test",
                       "S: 250 AUTH LOGIN DIGEST-MD5", "C: AUTH DIGEST-MD5",
                       "S: 334 " + QString::fromLatin1(QByteArray("realm=\"mx.test\",nonce=\"abc\",qop=\"auth\",charset=utf-8,algorithm=md5-sess").toBase64()),
                       "C: " + QString::fromLatin1(*Sasl::digestMd5Response("tim", "tanstaaftanstaaf",
                                QByteArray("realm=\"mx.test\",nonce=\"abc\",qop=\"auth\",charset=utf-8,algorithm=md5-sess").toBase64(),
                                "smtp", "mx.test", "fixedcnonce")),
                       "S: 334 cnNwYXV0aD1lYTQwZjYwMzM1YzQyN2I1NTI3Yjg0ZGJhYmNkZmZmZA==", "C: ",
                       "S: 235 ok", "C: MAIL FROM:<a@x.test>"};

    QTest::newRow("PLAIN with initial response when only PLAIN is offered")
        << settings(true) << oneRecipient
        << QStringList{"S: 220 mx.test ESMTP", "C: EHLO client.test", "S: 250-mx.test",
                       "S: 250 AUTH PLAIN", "C: AUTH PLAIN <credentials>",
                       "S: 235 2.7.0 ok", "C: MAIL FROM:<a@x.test>"};

    QTest::newRow("each recipient after the previous reply; a refusal stops the list")
        << settings(false)
        << SmtpDialogue::Envelope{"a@x.test", {"to1@y", "to2@y", "cc@y", "bcc@y"}}
        << QStringList{"S: 220 mx", "C: EHLO client.test", "S: 250 ok", "C: MAIL FROM:<a@x.test>",
                       "S: 250 ok", "C: RCPT TO:<to1@y>", "recipient to1@y",
                       "S: 250 ok", "C: RCPT TO:<to2@y>", "recipient to2@y",
                       "S: 250 ok", "C: RCPT TO:<cc@y>", "recipient cc@y",
                       "S: 550 5.1.1 <cc@y> unknown", "error 13: 550 5.1.1 <cc@y> unknown"};

    QTest::newRow("continuation lines after the greeting are skipped")
        << settings(false) << oneRecipient
        << QStringList{"S: 220 mx", "C: EHLO client.test", "S: 250-first", "S: 250-second",
                       "S: 250 last", "C: MAIL FROM:<a@x.test>"};

    QTest::newRow("refused sender and refused message are error 13")
        << settings(false) << oneRecipient
        << QStringList{"S: 220 mx", "C: EHLO client.test", "S: 250 ok", "C: MAIL FROM:<a@x.test>",
                       "S: 553 sender rejected", "error 13: 553 sender rejected"};

    QTest::newRow("greeting refused")
        << settings(false) << oneRecipient
        << QStringList{"S: 554 no service", "error 13: 554 no service"};

    QTest::newRow("KeepConnectionOpen: no QUIT, next message starts with MAIL FROM")
        << settings(false, TransportSecurity::None, true) << oneRecipient
        << QStringList{"S: 220 mx", "C: EHLO client.test", "S: 250 ok", "C: MAIL FROM:<a@x.test>",
                       "S: 250 ok", "C: RCPT TO:<b@y.test>", "recipient b@y.test",
                       "S: 250 ok", "C: DATA", "S: 354 go", "message",
                       "S: 250 queued", "accepted 250 queued",
                       "S: 250 stray line", // nothing: no message runs
                       "R:", "C: MAIL FROM:<a@x.test>"};

    QTest::newRow("STARTTLS: EHLO, upgrade, EHLO again, no AUTH without SmtpAuth")
        << settings(false, TransportSecurity::StartTls) << oneRecipient
        << (QStringList{"S: 220 mx.test ready", "C: EHLO client.test",
                        "S: 250-mx.test", "S: 250-AUTH PLAIN", "S: 250 STARTTLS", "C: STARTTLS",
                        "S: 220 go ahead", "begin tls",
                        "T:", "C: EHLO client.test",
                        "S: 250-mx.test", "S: 250 AUTH PLAIN", "C: MAIL FROM:<a@x.test>"}
            + deliveryTail());

    QTest::newRow("STARTTLS with SmtpAuth: mechanisms from the second EHLO only")
        << settings(true, TransportSecurity::StartTls) << oneRecipient
        << QStringList{"S: 220 mx.test ESMTP", "C: EHLO client.test",
                       "S: 250-AUTH CRAM-MD5", "S: 250 STARTTLS", "C: STARTTLS",
                       "S: 220 go", "begin tls", "T:", "C: EHLO client.test",
                       "S: 250-mx.test", "S: 250 AUTH LOGIN PLAIN", "C: AUTH PLAIN <credentials>"};

    QTest::newRow("STARTTLS not offered ends the session")
        << settings(true, TransportSecurity::StartTls) << oneRecipient
        << QStringList{"S: 220 mx.test ESMTP", "C: EHLO client.test", "S: 250-mx.test",
                       "S: 250 AUTH LOGIN",
                       "failure 20: The server mx.test does not offer STARTTLS [250]",
                       "S: 250 ignored"};

    QTest::newRow("multi-line 550: every line reaches the error text")
        << settings(false) << oneRecipient
        << QStringList{"S: 220 mx", "C: EHLO client.test", "S: 250 ok", "C: MAIL FROM:<a@x.test>",
                       "S: 250 ok", "C: RCPT TO:<b@y.test>", "recipient b@y.test",
                       "S: 550-5.1.1 The account that you tried to reach", "S: 550-5.1.1 does not exist.",
                       "S: 550 5.1.1 Please check the address.",
                       "error 13: 550 5.1.1 The account that you tried to reach / 5.1.1 does not exist. / "
                       "5.1.1 Please check the address."};

    QTest::newRow("a reply is answered after its last line only")
        << settings(false) << oneRecipient
        << QStringList{"S: 220 mx", "C: EHLO client.test", "S: 250-mx.test", "S: 250-PIPELINING",
                       "S: 250", "C: MAIL FROM:<a@x.test>"};

    QTest::newRow("a line starting with \"-\" is a protocol error, not a refusal")
        << settings(false) << oneRecipient
        << QStringList{"S: -ERR this is POP3",
                       "failure 22: The server sent a line that is not an SMTP reply: \"-ERR this is POP3\"",
                       "S: 220 ignored"};

    QTest::newRow("a line without a three-digit code is a protocol error")
        << settings(false) << oneRecipient
        << QStringList{"S: 220 mx", "C: EHLO client.test", "S: 25O ok",
                       "failure 22: The server sent a line that is not an SMTP reply: \"25O ok\""};

    QTest::newRow("code followed by neither blank nor hyphen is a protocol error")
        << settings(false) << oneRecipient
        << QStringList{"S: 2200 mx", "failure 22: The server sent a line that is not an SMTP reply: \"2200 mx\""};

    QTest::newRow("a reply that changes its code is a protocol error")
        << settings(false) << oneRecipient
        << QStringList{"S: 220 mx", "C: EHLO client.test", "S: 250-mx.test", "S: 550 no",
                       "failure 22: The server's reply changes its code from 250 to 550: \"550 no\""};

    QTest::newRow("any reply to QUIT after acceptance ends the session without an error")
        << settings(false) << oneRecipient
        << QStringList{"S: 220 mx", "C: EHLO client.test", "S: 250 ok", "C: MAIL FROM:<a@x.test>",
                       "S: 250 ok", "C: RCPT TO:<b@y.test>", "recipient b@y.test",
                       "S: 250 ok", "C: DATA", "S: 354 go", "message",
                       "S: 250 queued", "accepted 250 queued", "C: QUIT",
                       "S: 500-what", "S: 500 QUIT?", "quit answered"};

    const SmtpDialogue::Envelope utf8Recipient{QStringLiteral("a@x.test"), {QStringLiteral("jörg@bücher.test")}};
    QTest::newRow("SMTPUTF8 offered: MAIL FROM with SMTPUTF8, UTF-8 addresses")
        << settings(false) << utf8Recipient
        << QStringList{"S: 220 mx.test", "C: EHLO client.test", "S: 250-mx.test", "S: 250-8BITMIME",
                       "S: 250 SMTPUTF8", "C: MAIL FROM:<a@x.test> SMTPUTF8",
                       "S: 250 ok", "C: RCPT TO:<jörg@bücher.test>", "recipient jörg@bücher.test"};

    QTest::newRow("SMTPUTF8 not offered: nothing of the message is sent")
        << settings(true) << utf8Recipient
        << QStringList{"S: 220 mx.test ESMTP", "C: EHLO client.test", "S: 250-mx.test",
                       "S: 250 AUTH LOGIN",
                       "failure 24: The recipient address has non-ASCII characters and the server does not "
                       "offer SMTPUTF8 [250]",
                       "S: 250 ignored"};

    QTest::newRow("SMTPUTF8 for a non-ASCII sender names the sender")
        << settings(false) << SmtpDialogue::Envelope{QStringLiteral("rené@x.test"), {QStringLiteral("b@y.test")}}
        << QStringList{"S: 220 mx.test", "C: EHLO client.test", "S: 250 mx.test",
                       "failure 24: The sender address has non-ASCII characters and the server does not "
                       "offer SMTPUTF8 [250]"};

    QTest::newRow("EHLO refused: a message for SMTPUTF8 fails before HELO")
        << settings(false) << utf8Recipient
        << QStringList{"S: 220 mx", "C: EHLO client.test", "S: 500 what?",
                       "failure 24: The recipient address has non-ASCII characters and the server does not "
                       "offer SMTPUTF8 [500]"};

    QTest::newRow("kept connection after HELO: the next SMTPUTF8 message fails at once")
        << settings(false, TransportSecurity::None, true) << oneRecipient
        << QStringList{"S: 220 mx", "C: EHLO client.test", "S: 502 no", "C: HELO client.test",
                       "S: 250 ok", "C: MAIL FROM:<a@x.test>",
                       "S: 250 ok", "C: RCPT TO:<b@y.test>", "recipient b@y.test",
                       "S: 250 ok", "C: DATA", "S: 354 go", "message",
                       "S: 250 queued", "accepted 250 queued",
                       "R: jörg@bücher.test",
                       "failure 24: The recipient address has non-ASCII characters and the server does not "
                       "offer SMTPUTF8"};

    QTest::newRow("kept connection greeted with EHLO without SMTPUTF8: the message fails")
        << settings(true, TransportSecurity::None, true) << oneRecipient
        << QStringList{"S: 220 mx ESMTP", "C: EHLO client.test", "S: 250-mx", "S: 250 AUTH PLAIN",
                       "C: AUTH PLAIN <credentials>", "S: 235 ok", "C: MAIL FROM:<a@x.test>",
                       "S: 250 ok", "C: RCPT TO:<b@y.test>", "recipient b@y.test",
                       "S: 250 ok", "C: DATA", "S: 354 go", "message",
                       "S: 250 queued", "accepted 250 queued",
                       "R: jörg@bücher.test",
                       "failure 24: The recipient address has non-ASCII characters and the server does not "
                       "offer SMTPUTF8"};

    QTest::newRow("STARTTLS refused ends the session")
        << settings(false, TransportSecurity::StartTls) << oneRecipient
        << QStringList{"S: 220 mx.test", "C: EHLO client.test", "S: 250 STARTTLS", "C: STARTTLS",
                       "S: 454 4.7.0 TLS not available",
                       "failure 20: The server mx.test refused STARTTLS: 454 4.7.0 TLS not available [454]"};
}

void TestSmtpDialogue::dialogue()
{
    QFETCH(SmtpDialogue::Settings, config);
    QFETCH(SmtpDialogue::Envelope, envelope);
    QFETCH(QStringList, script);

    Recorder recorder;
    SmtpDialogue machine(recorder);
    machine.setCnonceForTesting("fixedcnonce");
    machine.startConnection(config, envelope);

    playScript(
        script, recorder.out, [](const QString &step) { return step == "T:" || step.startsWith("R:"); },
        [&](const QString &step) {
            if (step == "T:")
                machine.tlsEstablished();
            else if (step.startsWith("R:"))
                machine.startReusedConnection(
                    step.size() > 3 ? SmtpDialogue::Envelope{envelope.fromAddress, {step.mid(3)}} : envelope,
                    config.keepConnectionOpen);
            else
                machine.handleLine(step.mid(3).toUtf8());
        });
}

void TestSmtpDialogue::replyValues_data()
{
    QTest::addColumn<QList<QByteArray>>("wire");
    QTest::addColumn<int>("code"); // 0: not one complete reply
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<QByteArray>("summary");
    using L = QList<QByteArray>;
    QTest::newRow("one line") << L{"250 2.0.0 ok"} << 250 << "positive" << L{"2.0.0 ok"} << QByteArray("250 2.0.0 ok");
    QTest::newRow("bare code") << L{"354"} << 354 << "positive" << L{""} << QByteArray("354");
    QTest::newRow("one line kept as sent") << L{"421 "} << 421 << "transient" << L{""} << QByteArray("421 ");
    QTest::newRow("three lines") << L{"550-a", "550-", "550 c"} << 550 << "permanent" << L{"a", "", "c"}
                                 << QByteArray("550 a /  / c");
    QTest::newRow("last line missing") << L{"250-a"} << 0 << "" << L{} << QByteArray();
    QTest::newRow("codes differ") << L{"250-a", "251 b"} << 0 << "" << L{} << QByteArray();
    QTest::newRow("1xx is no SMTP reply") << L{"199 x"} << 0 << "" << L{} << QByteArray();
    QTest::newRow("lines after the last") << L{"250 a", "250 b"} << 0 << "" << L{} << QByteArray();
}

void TestSmtpDialogue::replyValues()
{
    QFETCH(QList<QByteArray>, wire);
    QFETCH(int, code);
    QFETCH(QString, kind);
    QFETCH(QList<QByteArray>, lines);
    QFETCH(QByteArray, summary);
    const std::optional<SmtpReply> reply = SmtpReply::fromLines(wire);
    QCOMPARE(reply.has_value(), code != 0);
    if (!reply)
        return;
    QCOMPARE(reply->code(), code);
    QVERIFY(reply->isComplete());
    const QString actual = reply->isPositive()    ? "positive"
                           : reply->isTransient() ? "transient"
                           : reply->isPermanent() ? "permanent"
                                                  : "none";
    QCOMPARE(actual, kind);
    QCOMPARE(reply->lines(), lines);
    QCOMPARE(reply->wireLines(), wire);
    QCOMPARE(reply->summary(), summary);
}

void TestSmtpDialogue::replyLimits()
{
    // A line of 64 KB is taken; one byte more is too long.
    const QByteArray longest = "250-" + QByteArray(ReplyLimits::MaxLineBytes - 4, 'x');
    SmtpReplyReader reader;
    QCOMPARE(reader.feed(longest), SmtpReplyReader::Status::NeedMore);
    QCOMPARE(reader.feed(longest + 'x'), SmtpReplyReader::Status::TooLong);
    QCOMPARE(reader.errorText(), TextReplyLineTooLong);

    // Lines of 64 KB add up: with their line ends, the sixteenth passes 1 MB.
    reader.reset();
    int fed = 0;
    SmtpReplyReader::Status status = SmtpReplyReader::Status::NeedMore;
    while (status == SmtpReplyReader::Status::NeedMore && fed < 100) {
        status = reader.feed(longest);
        ++fed;
    }
    QCOMPARE(status, SmtpReplyReader::Status::TooLong);
    QCOMPARE(fed, 16);
    QCOMPARE(reader.errorText(), TextReplyTooLong);

    // In the dialogue the limit ends the session.
    Recorder recorder;
    SmtpDialogue machine(recorder);
    machine.startConnection(settings(false), oneRecipient);
    for (int i = 0; i < 15; ++i)
        machine.handleLine(longest);
    QVERIFY(recorder.out.isEmpty());
    QVERIFY(machine.isReplyOpen());
    machine.handleLine(longest);
    QCOMPARE(recorder.out, QStringList{"failure 22: " + TextReplyTooLong});
    QCOMPARE(machine.state(), SmtpDialogue::State::Finished);
}

void TestSmtpDialogue::mechanismOrder_data()
{
    using M = SmtpDialogue::Mechanism;
    QTest::addColumn<bool>("login");
    QTest::addColumn<bool>("plain");
    QTest::addColumn<bool>("cram");
    QTest::addColumn<bool>("digest");
    QTest::addColumn<M>("chosen");
    QTest::newRow("nothing offered: LOGIN") << false << false << false << false << M::Login;
    QTest::newRow("all: CRAM-MD5") << true << true << true << true << M::CramMd5;
    QTest::newRow("DIGEST-MD5 over PLAIN and LOGIN") << true << true << false << true << M::DigestMd5;
    QTest::newRow("PLAIN over LOGIN") << true << true << false << false << M::Plain;
    QTest::newRow("LOGIN alone") << true << false << false << false << M::Login;
}

void TestSmtpDialogue::mechanismOrder()
{
    QFETCH(bool, login);
    QFETCH(bool, plain);
    QFETCH(bool, cram);
    QFETCH(bool, digest);
    QFETCH(SmtpDialogue::Mechanism, chosen);
    QCOMPARE(SmtpDialogue::chooseMechanism(login, plain, cram, digest), chosen);
}

void TestSmtpDialogue::cramMd5Rfc2195()
{
    // The example of RFC 2195 section 2.
    QCOMPARE(Sasl::cramMd5Response("tim", "tanstaaftanstaaf",
                                   "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+"),
             QByteArray("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw"));
}

void TestSmtpDialogue::digestMd5Rfc2831()
{
    // The IMAP example of RFC 2831 section 4 (response value as corrected
    // in its errata).
    const QByteArray challenge =
        QByteArray("realm=\"elwood.innosoft.com\",nonce=\"OA6MG9tEQGm2hh\",qop=\"auth\","
                   "algorithm=md5-sess,charset=utf-8")
            .toBase64();
    const auto response = Sasl::digestMd5Response("chris", "secret", challenge, "imap",
                                                  "elwood.innosoft.com", "OA6MHXh6VqTrRk");
    QVERIFY(response);
    const QByteArray decoded = QByteArray::fromBase64(*response);
    QVERIFY2(decoded.contains("response=d388dad90d4bbd760a152321f2143af7"), decoded.constData());
    QVERIFY(decoded.contains("digest-uri=\"imap/elwood.innosoft.com\""));
    QVERIFY(decoded.contains("username=\"chris\""));
    QVERIFY(decoded.contains("nc=00000001"));

    // No nonce, or no qop "auth": nothing to answer.
    QVERIFY(!Sasl::digestMd5Response("u", "p", QByteArray("realm=\"r\"").toBase64(), "smtp", "h", "c"));
    QVERIFY(!Sasl::digestMd5Response("u", "p", QByteArray("nonce=\"n\",qop=\"auth-conf\"").toBase64(),
                                     "smtp", "h", "c"));
}

void TestSmtpDialogue::digestChallengeParsing()
{
    const auto parsed = Sasl::parseDigestChallenge(
        R"(realm="a",realm="b", nonce="x\"y",qop="auth,auth-int" ,stale=true)");
    QVERIFY(parsed);
    QCOMPARE(parsed->size(), 5);
    QCOMPARE(parsed->at(1).second, QByteArray("b"));
    QCOMPARE(parsed->at(2).second, QByteArray("x\"y"));
    QCOMPARE(parsed->at(3).second, QByteArray("auth,auth-int"));
    QCOMPARE(parsed->at(4).second, QByteArray("true"));
    QVERIFY(!Sasl::parseDigestChallenge("nonce=\"unterminated"));
    QVERIFY(!Sasl::parseDigestChallenge("garbage"));
}

QTEST_GUILESS_MAIN(TestSmtpDialogue)
#include "tst_smtpdialogue.moc"
