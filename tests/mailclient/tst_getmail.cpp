// GetMail's POP3 log-in against scripted peers on 127.0.0.1.

#include "mailclient/getmail.h"
#include "mailclient/mailerrors.h"
#include "mailclient/pop3dialogue.h"
#include "nextsession.h"
#include "scriptedpeer.h"

#include <QBuffer>
#include <QTest>

using namespace varnholt;

namespace {

// Behaves like the sending window: stops the session on "Access Granted"
// and on an error.
struct Owner {
    explicit Owner(GetMail &mail)
    {
        QObject::connect(&mail, &GetMail::OnMailInfo, &mail,
                         [this, &mail](GetMail::GetMailInfo info, const QString &text) {
                             events << QStringLiteral("%1 %2").arg(int(info)).arg(text.trimmed());
                             if (info == GetMail::giAccessGranted)
                                 mail.StopSession();
                         });
        QObject::connect(&mail, &GetMail::OnMailError, &mail,
                         [this, &mail](int error, const QString &text) {
                             errors << QStringLiteral("%1: %2").arg(error).arg(text);
                             mail.StopSession();
                         });
        QObject::connect(&mail, &GetMail::OnDone, &mail, [this] { ++done; });
    }
    QStringList events;
    QStringList errors;
    int done = 0;
};

void prepare(GetMail &mail, quint16 port)
{
    mail.setMail_Server(QStringLiteral("127.0.0.1"));
    mail.setMail_Port(port);
    mail.setUser_ID(QStringLiteral("joe"));
    mail.setUser_Password(QStringLiteral("secret"));
}

// Nothing more comes of a finished log-in: the same GetMail logs in once
// more, and only that log-in ends (nextsession.h).
void logInOnceMore(GetMail &mail, const Owner &owner)
{
    ScriptedPeer next({"S: +OK POP3 ready", "C: USER joe", "S: +OK", "C: PASS secret", "S: +OK logged in"});
    expectOnlyTheNextSessionEnds(mail, owner, next, [&] {
        prepare(mail, next.port());
        mail.setMail_Action(GetMail::Get_Mail);
    });
    QVERIFY(mail.result().ok);
}

} // namespace

class TestGetMail : public QObject
{
    Q_OBJECT
private slots:
    void login_data();
    void login();
    void traceReplaysAsScript();
    void busy();
    void stlsRefused();
    void commandCut_data();
    void commandCut();
};

void TestGetMail::login_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<QByteArray>("reply"); // the deciding reply of the result
    QTest::addColumn<QByteArray>("command");

    // giConnected 0, giSent 6, giAccessGranted 10, giUserAccepted 11.
    QTest::newRow("access granted, nothing sent after the stop")
        << QStringList{"S: +OK POP3 ready", "C: USER joe", "S: +OK", "C: PASS secret",
                       "S: +OK logged in"}
        << QStringList{"0 127.0.0.1", "6 USER joe", "11 ", "6 PASS <password>",
                       "10 Access Granted"}
        << QStringList() << QByteArray("+OK logged in") << QByteArray("PASS <password>");
    QTest::newRow("password refused")
        << QStringList{"S: +OK POP3 ready", "C: USER joe", "S: +OK", "C: PASS secret",
                       "S: -ERR [AUTH] Authentication failed.", "S: -ERR again"}
        << QStringList{"0 127.0.0.1", "6 USER joe", "11 ", "6 PASS <password>"}
        << QStringList{"19: Access Denied"} << QByteArray("-ERR [AUTH] Authentication failed.")
        << QByteArray("PASS <password>");
    QTest::newRow("user refused")
        << QStringList{"S: +OK POP3 ready", "C: USER joe", "S: -ERR no"}
        << QStringList{"0 127.0.0.1", "6 USER joe"} << QStringList{"19: Access Denied"}
        << QByteArray("-ERR no") << QByteArray("USER joe");
    QTest::newRow("greeting refused")
        << QStringList{"S: -ERR go away"} << QStringList{"0 127.0.0.1"}
        << QStringList{"19: Access Denied"} << QByteArray("-ERR go away") << QByteArray();
    QTest::newRow("an SMTP server on the POP3 port")
        << QStringList{"S: 220 mail.test ESMTP"} << QStringList{"0 127.0.0.1"}
        << QStringList{"22: The server sent a line that is not a POP3 reply: \"220 mail.test ESMTP\""}
        << QByteArray() << QByteArray();
    QTest::newRow("server closes during the log-in")
        << QStringList{"S: +OK POP3 ready", "C: USER joe", "CLOSE"}
        << QStringList{"0 127.0.0.1", "6 USER joe", "1 "}
        << QStringList{"17: Prematurely Disconnected"} << QByteArray() << QByteArray("USER joe");
}

void TestGetMail::login()
{
    QFETCH(QStringList, script);
    QFETCH(QStringList, events);
    QFETCH(QStringList, errors);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, command);

    ScriptedPeer peer(script);
    GetMail mail;
    Owner owner(mail);
    prepare(mail, peer.port());
    mail.setMail_Action(GetMail::Get_Mail);
    QTRY_COMPARE(owner.done, 1);
    QVERIFY2(peer.mismatch.isEmpty(), qPrintable(peer.mismatch));
    QCOMPARE(owner.events, events);
    QCOMPARE(owner.errors, errors);
    QCOMPARE(peer.received, clientLines(script));
    QTRY_VERIFY(peer.clientClosed || script.contains("CLOSE"));
    QVERIFY(!mail.Busy());

    const Pop3Result result = mail.result();
    QCOMPARE(result.ok, errors.isEmpty());
    QCOMPARE(errors.isEmpty() ? QStringList() : QStringList{QStringLiteral("%1: %2").arg(result.error).arg(result.text)},
             errors);
    QCOMPARE(result.reply ? result.reply->line() : QByteArray(), reply);
    QCOMPARE(result.command, command);
    QCOMPARE(result.isConnectionFailure(), script.contains("CLOSE"));

    logInOnceMore(mail, owner); // and nothing more came of this session
}

void TestGetMail::traceReplaysAsScript()
{
    // Runs a log-in against `script` and returns its trace.
    const auto session = [](const QStringList &script, QString *mismatch) {
        ScriptedPeer peer(script);
        GetMail mail;
        Owner owner(mail);
        prepare(mail, peer.port());
        QByteArray trace;
        QBuffer device(&trace);
        device.open(QIODevice::WriteOnly);
        mail.setTrace(&device);
        mail.setMail_Action(GetMail::Get_Mail);
        *mismatch = QTest::qWaitFor([&] { return owner.done == 1 && peer.finished(); })
                        ? peer.mismatch
                        : QStringLiteral("the log-in did not end");
        return trace;
    };
    QString mismatch;
    const QByteArray first = session({"S: +OK POP3 ready", "C: USER joe", "S: +OK", "C: PASS secret",
                                      "S: +OK logged in"},
                                     &mismatch);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    QCOMPARE(first, QByteArray("S: +OK POP3 ready\r\nC: USER joe\r\nS: +OK\r\nC: <credentials hidden>\r\n"
                               "S: +OK logged in\r\n"));
    QStringList replay = QString::fromUtf8(first).split(QStringLiteral("\r\n"));
    replay.removeLast();
    QCOMPARE(session(replay, &mismatch), first);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void TestGetMail::busy()
{
    ScriptedPeer peer({"S: +OK ready"});
    GetMail mail;
    Owner owner(mail);
    prepare(mail, peer.port());
    mail.setMail_Action(GetMail::Get_Mail);
    mail.setMail_Action(GetMail::Get_Mail);
    QCOMPARE(owner.events, QStringList{"9 "});
    mail.StopSession();
    QTRY_COMPARE(owner.done, 1);
    QVERIFY(owner.errors.isEmpty());
    QCOMPARE(mail.lastResult(), MailError::Cancelled);
}

void TestGetMail::stlsRefused()
{
    // Asked for encryption, the session never falls back to a plain log-in.
    const QStringList script{"S: +OK ready", "C: STLS", "S: -ERR not here"};
    ScriptedPeer peer(script);
    GetMail mail;
    Owner owner(mail);
    prepare(mail, peer.port());
    mail.setSecurity(TransportSecurity::StartTls);
    mail.setMail_Action(GetMail::Get_Mail);
    QTRY_COMPARE(owner.done, 1);
    QCOMPARE(owner.errors, QStringList{"20: The server 127.0.0.1 refused STLS: -ERR not here"});
    QCOMPARE(peer.received, clientLines(script));
}

void TestGetMail::commandCut_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("wire");
    const QString longName(300, u'n');
    QTest::newRow("long user name: 253 bytes in all")
        << "USER " + longName << "USER " + QByteArray(248, 'n');
    QTest::newRow("short command unchanged") << "USER joe" << QByteArray("USER joe");
    // Two-byte characters are never cut in half.
    QTest::newRow("UTF-8 cut between characters")
        << "USER " + QString(200, QChar(0xE9)) << "USER " + QString(124, QChar(0xE9)).toUtf8();
}

void TestGetMail::commandCut()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, wire);
    QCOMPARE(Pop3Dialogue::commandLine(command), wire);
}

QTEST_GUILESS_MAIN(TestGetMail)
#include "tst_getmail.moc"
