// The SMTP dialogue fed line by line: each row is a protocol log in the
// test-script form. "S:" lines are fed to the machine; the lines after one
// are what it must answer before the next "S:" line. "T:" reports a finished
// TLS handshake, "R:" starts the next message on a kept connection.

#include "mailclient/mailerrors.h"
#include "mailclient/sasl.h"
#include "mailclient/smtpdialogue.h"

#include <QTest>

using namespace varnholt;

namespace {

struct Recorder : SmtpDialogue::Events {
    QStringList out;
    void sendCommand(const QByteArray &, const QByteArray &logForm) override
    {
        out << QStringLiteral("C: ") + QString::fromUtf8(logForm);
    }
    void recipient(const QString &address) override { out << "recipient " + address; }
    void unexpectedReply(const QByteArray &line) override
    {
        out << "error 13: " + QString::fromUtf8(line);
    }
    void failure(int number, const QString &text) override
    {
        out << QStringLiteral("failure %1: %2").arg(number).arg(text);
    }
    void beginTls() override { out << "begin tls"; }
    void transmitMessage() override { out << "message"; }
    void accepted(const QByteArray &line) override { out << "accepted " + QString::fromUtf8(line); }
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

    QTest::newRow("no SmtpAuth: HELO even for an ESMTP greeting")
        << settings(false) << oneRecipient
        << (QStringList{"S: 220 mx.test ESMTP Postfix", "C: HELO client.test",
                        "S: 250 mx.test", "C: MAIL FROM:<a@x.test>"}
            + deliveryTail());

    QTest::newRow("multi-line greeting answered after its last line")
        << settings(false) << oneRecipient
        << QStringList{"S: 220-mx.test first", "S: 220-second", "S: 220 last", "C: HELO client.test",
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

    QTest::newRow("HELLO greeting with SmtpAuth: HELO, no authentication")
        << settings(true) << oneRecipient
        << QStringList{"S: 220 HELLO there", "C: HELO client.test", "S: 250 ok",
                       "C: MAIL FROM:<a@x.test>"};

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
        << QStringList{"S: 220 mx", "C: HELO client.test", "S: 250 ok", "C: MAIL FROM:<a@x.test>",
                       "S: 250 ok", "C: RCPT TO:<to1@y>", "recipient to1@y",
                       "S: 250 ok", "C: RCPT TO:<to2@y>", "recipient to2@y",
                       "S: 250 ok", "C: RCPT TO:<cc@y>", "recipient cc@y",
                       "S: 550 5.1.1 <cc@y> unknown", "error 13: 550 5.1.1 <cc@y> unknown"};

    QTest::newRow("continuation lines after the greeting are skipped")
        << settings(false) << oneRecipient
        << QStringList{"S: 220 mx", "C: HELO client.test", "S: 250-first", "S: 250-second",
                       "S: 250 last", "C: MAIL FROM:<a@x.test>"};

    QTest::newRow("refused sender and refused message are error 13")
        << settings(false) << oneRecipient
        << QStringList{"S: 220 mx", "C: HELO client.test", "S: 250 ok", "C: MAIL FROM:<a@x.test>",
                       "S: 553 sender rejected", "error 13: 553 sender rejected"};

    QTest::newRow("greeting refused")
        << settings(false) << oneRecipient
        << QStringList{"S: 554 no service", "error 13: 554 no service"};

    QTest::newRow("KeepConnectionOpen: no QUIT, next message starts with MAIL FROM")
        << settings(false, TransportSecurity::None, true) << oneRecipient
        << QStringList{"S: 220 mx", "C: HELO client.test", "S: 250 ok", "C: MAIL FROM:<a@x.test>",
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
                       "failure 20: The server mx.test does not offer STARTTLS",
                       "S: 250 ignored"};

    QTest::newRow("STARTTLS refused ends the session")
        << settings(false, TransportSecurity::StartTls) << oneRecipient
        << QStringList{"S: 220 mx.test", "C: EHLO client.test", "S: 250 STARTTLS", "C: STARTTLS",
                       "S: 454 4.7.0 TLS not available",
                       "failure 20: The server mx.test refused STARTTLS: 454 4.7.0 TLS not available"};
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

    QStringList expected;
    auto check = [&](const QString &where) {
        QVERIFY2(recorder.out == expected,
                 qPrintable(QStringLiteral("after %1\nexpected: %2\nactual:   %3")
                                .arg(where, expected.join(" | "), recorder.out.join(" | "))));
        recorder.out.clear();
        expected.clear();
    };
    QString last = QStringLiteral("start");
    for (const QString &step : script) {
        if (step.startsWith("S:") || step == "T:" || step == "R:") {
            check(last);
            if (QTest::currentTestFailed())
                return;
            last = step;
            if (step == "T:")
                machine.tlsEstablished();
            else if (step == "R:")
                machine.startReusedConnection(envelope, config.keepConnectionOpen);
            else
                machine.handleLine(step.mid(3).toUtf8());
        } else {
            expected << step;
        }
    }
    check(last);
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
