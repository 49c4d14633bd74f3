// SendMail against scripted peers on 127.0.0.1: whole dialogues as rows,
// plus the failures that must end a session with one error and one OnDone.

#include "mailclient/mailconnection.h"
#include "mailclient/mailerrors.h"
#include "mailclient/sendmail.h"
#include "nextsession.h"
#include "scriptedpeer.h"
#include "settings/syscharset.h"

#include <QBuffer>
#include <QScopeGuard>
#include <QElapsedTimer>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>

using namespace varnholt;

namespace {

// Records what the owner sees and behaves like the sending window: an
// error cancels the session at once.
struct Owner {
    explicit Owner(SendMail &mail, bool cancelOnError = true)
    {
        QObject::connect(&mail, &SendMail::OnMailInfo, &mail,
                         [this](SendMail::SendMailInfo info, const QString &text) {
                             infos << qMakePair(int(info), text);
                             if (info == SendMail::miSent && inData)
                                 data += SystemCharset::fromUnicode(text);
                             if (info == SendMail::miSent && text == QLatin1String("DATA\r\n"))
                                 inData = true;
                         });
        QObject::connect(&mail, &SendMail::OnMailError, &mail,
                         [this, &mail, cancelOnError](int error, const QString &text) {
                             errors << QStringLiteral("%1: %2").arg(error).arg(text);
                             if (cancelOnError)
                                 mail.setAction(SendMail::Cancel_SendMail);
                         });
        QObject::connect(&mail, &SendMail::OnDone, &mail, [this, &mail] {
            ++done;
            deliveredAtDone << mail.Delivered();
        });
    }
    [[nodiscard]] int count(SendMail::SendMailInfo info) const
    {
        return int(std::count_if(infos.begin(), infos.end(),
                                 [info](const auto &p) { return p.first == int(info); }));
    }
    QList<QPair<int, QString>> infos;
    QStringList errors;
    QList<bool> deliveredAtDone;
    int done = 0;
    bool inData = false;
    QByteArray data; // what was handed over after DATA
};

void prepare(SendMail &mail, quint16 port)
{
    mail.setSMTP_Server(QStringLiteral("127.0.0.1"));
    mail.setSMTP_Port(port);
    mail.setHeloDef(false);
    mail.setHeloTxt(QStringLiteral("client.test"));
    mail.message().FROM_Address = QStringLiteral("a@x.test");
    mail.message().Subject = QStringLiteral("Hello");
    mail.message().MailText = QStringList{QStringLiteral("Body line"), QStringLiteral(".dot")};
    mail.setTO_Address(QStringLiteral("b@y.test"));
}

// A server that answers every line after `delayMs`: 250, 354 to DATA, 250
// to the message, 221 to QUIT (and then keeps the connection open). With
// `closeAfterMessage` it closes the connection once it accepted a message.
// Its small receive window makes a long message wait in the client.
class AnsweringPeer : public QObject
{
public:
    explicit AnsweringPeer(int delayMs, bool closeAfterMessage = false)
        : m_delay(delayMs), m_closeAfterMessage(closeAfterMessage)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        const int window = 32 * 1024; // accepted connections inherit it
        ::setsockopt(int(m_server.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            m_socket = m_server.nextPendingConnection();
            ++connections;
            m_inData = false;
            connect(m_socket, &QTcpSocket::readyRead, this, &AnsweringPeer::onRead);
            later("220 mx.test");
        });
    }
    [[nodiscard]] quint16 port() const { return m_server.serverPort(); }
    int connections = 0;
    QByteArray lastMessage; // its lines up to the ".", each with CR LF

private:
    void later(const QByteArray &reply, bool close = false)
    {
        QTimer::singleShot(m_delay, m_socket, [socket = m_socket, reply, close] {
            socket->write(reply + "\r\n");
            if (close)
                socket->disconnectFromHost();
        });
    }
    void onRead()
    {
        while (m_socket->canReadLine()) {
            const QByteArray line = m_socket->readLine().chopped(2);
            if (m_inData) {
                m_inData = line != ".";
                if (m_inData)
                    lastMessage += line + "\r\n";
                else
                    later("250 queued", m_closeAfterMessage);
            } else if (line == "DATA") {
                m_inData = true;
                lastMessage.clear();
                later("354 go");
            } else {
                later(line == "QUIT" ? "221 bye" : "250 ok");
            }
        }
    }
    QTcpServer m_server;
    QPointer<QTcpSocket> m_socket;
    int m_delay;
    bool m_closeAfterMessage;
    bool m_inData = false;
};

const QStringList greetingEhlo{"S: 220 mx.test ESMTP", "C: EHLO client.test", "S: 250 mx.test",
                               "C: MAIL FROM:<a@x.test>"};

// Nothing more comes of a finished session: the same SendMail delivers one
// more message, and only that delivery ends (nextsession.h).
void deliverOneMore(SendMail &mail, const Owner &owner)
{
    QStringList script = greetingEhlo
                         + QStringList{"S: 250 ok", "C: RCPT TO:<b@y.test>", "S: 250 ok", "C: DATA", "S: 354 go",
                                       "C: <message>", "S: 250 queued"};
    if (!mail.KeepConnectionOpen())
        script << "C: QUIT" << "S: 221 bye" << "CLOSE";
    ScriptedPeer next(script);
    expectOnlyTheNextSessionEnds(mail, owner, next, [&] {
        mail.setSMTP_Port(next.port());
        mail.setTO_Address(QStringLiteral("b@y.test"));
        mail.message().ListTo.clear();
        mail.message().Listcc.clear();
        mail.setListBcc({});
        mail.setAction(SendMail::Send_Mail);
    });
    QVERIFY(mail.Delivered());
}

} // namespace

class TestSendMail : public QObject
{
    Q_OBJECT
private slots:
    void dialogue_data();
    void dialogue();
    void keepConnectionOpen();
    void keptConnectionClosedWhileIdle();
    void longBodyArrivesWhole();
    void cancelDuringLongBody();
    void replyTimeLimitPerReply_data();
    void replyTimeLimitPerReply();
    void failuresEndWithOneDone_data();
    void failuresEndWithOneDone();
    void unsafeAddressNeverReachesTheServer_data();
    void unsafeAddressNeverReachesTheServer();
    void busyAndNoRecipient();
    void socketErrorTable_data();
    void socketErrorTable();
    void lineSplitting();
    void resultValue_data();
    void resultValue();
    void continuationLinesShareOneDeadline();
    void effectiveTimeLimits_data();
    void effectiveTimeLimits();
    void beforeFinalDot_data();
    void beforeFinalDot();
    void earlyAcceptanceIsNoDelivery();
    void smtpUtf8_data();
    void smtpUtf8();
    void traceReplaysAsScript_data();
    void traceReplaysAsScript();
};

void TestSendMail::dialogue_data()
{
    QTest::addColumn<QStringList>("listTo");
    QTest::addColumn<QStringList>("listCc");
    QTest::addColumn<QStringList>("listBcc");
    QTest::addColumn<QString>("toAddress");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<bool>("delivered");

    const QStringList tail{"S: 250 ok", "C: DATA", "S: 354 go ahead", "C: <message>",
                           "S: 250 2.0.0 queued as 1", "C: QUIT", "S: 221 bye", "CLOSE"};

    QTest::newRow("plain delivery, QUIT after acceptance")
        << QStringList() << QStringList() << QStringList() << "b@y.test"
        << greetingEhlo + QStringList{"S: 250 ok", "C: RCPT TO:<b@y.test>"} + tail
        << QStringList() << true;

    QTest::newRow("TO_Address, then ListTo, Listcc, ListBcc")
        << QStringList{"u@y.test|U"} << QStringList{"c@y.test|C", "d@y.test"}
        << QStringList{"z@y.test|Z"} << "b@y.test"
        << greetingEhlo
               + QStringList{"S: 250 ok", "C: RCPT TO:<b@y.test>", "S: 250 ok",
                             "C: RCPT TO:<u@y.test>", "S: 250 ok", "C: RCPT TO:<c@y.test>",
                             "S: 250 ok", "C: RCPT TO:<d@y.test>", "S: 250 ok",
                             "C: RCPT TO:<z@y.test>"}
               + tail
        << QStringList() << true;

    QTest::newRow("no TO_Address: the first Listcc entry leads")
        << QStringList() << QStringList{"c@y.test|C", "d@y.test"} << QStringList() << ""
        << greetingEhlo
               + QStringList{"S: 250 ok", "C: RCPT TO:<c@y.test>", "S: 250 ok",
                             "C: RCPT TO:<d@y.test>"}
               + tail
        << QStringList() << true;

    QTest::newRow("greeting split in pieces, multi-line reply in one write")
        << QStringList() << QStringList() << QStringList() << "b@y.test"
        << QStringList{"P: 22", "P: 0-mx.test", "S: ", "S: 220 ready", "C: EHLO client.test",
                       "S: 250-mx.test\\r\\n250-SIZE\\r\\n250 HELP", "C: MAIL FROM:<a@x.test>",
                       "S: 250 ok", "C: RCPT TO:<b@y.test>"}
               + tail
        << QStringList() << true;

    QTest::newRow("recipient refused: error 13 with the server's whole line")
        << QStringList{"u@y.test"} << QStringList() << QStringList() << "b@y.test"
        << greetingEhlo
               + QStringList{"S: 250 ok", "C: RCPT TO:<b@y.test>",
                             "S: 550 5.1.1 <b@y.test>: Recipient address rejected"}
        << QStringList{"13: Unexpected response: 550 5.1.1 <b@y.test>: Recipient address rejected"}
        << false;

    QTest::newRow("NUL bytes in a reply are dropped, also in a later piece")
        << QStringList() << QStringList() << QStringList() << "b@y.test"
        << QStringList{"P: 554 5.3.2 no", QStringLiteral("S: ") + QChar(0) + QStringLiteral(" serv")
                                              + QChar(0) + QStringLiteral("ice")}
        << QStringList{"13: Unexpected response: 554 5.3.2 no service"} << false;

    QTest::newRow("greeting refused")
        << QStringList() << QStringList() << QStringList() << "b@y.test"
        << QStringList{"S: 554 5.3.2 no service"}
        << QStringList{"13: Unexpected response: 554 5.3.2 no service"} << false;

    QTest::newRow("message refused after the dot")
        << QStringList() << QStringList() << QStringList() << "b@y.test"
        << greetingEhlo
               + QStringList{"S: 250 ok", "C: RCPT TO:<b@y.test>", "S: 250 ok", "C: DATA",
                             "S: 354 go", "C: <message>", "S: 552 5.3.4 too big"}
        << QStringList{"13: Unexpected response: 552 5.3.4 too big"} << false;

    QTest::newRow("server closes after DATA: Prematurely Disconnected")
        << QStringList() << QStringList() << QStringList() << "b@y.test"
        << greetingEhlo
               + QStringList{"S: 250 ok", "C: RCPT TO:<b@y.test>", "S: 250 ok", "C: DATA",
                             "S: 354 go", "CLOSE"}
        << QStringList{"17: Prematurely Disconnected"} << false;

    QTest::newRow("server closes before the greeting")
        << QStringList() << QStringList() << QStringList() << "b@y.test"
        << QStringList{"CLOSE"} << QStringList{"17: Prematurely Disconnected"} << false;
}

void TestSendMail::dialogue()
{
    QFETCH(QStringList, listTo);
    QFETCH(QStringList, listCc);
    QFETCH(QStringList, listBcc);
    QFETCH(QString, toAddress);
    QFETCH(QStringList, script);
    QFETCH(QStringList, errors);
    QFETCH(bool, delivered);

    ScriptedPeer peer(script);
    SendMail mail;
    Owner owner(mail);
    prepare(mail, peer.port());
    mail.setTO_Address(toAddress);
    mail.message().ListTo = listTo;
    mail.message().Listcc = listCc;
    mail.setListBcc(listBcc);
    mail.setAction(SendMail::Send_Mail);
    QVERIFY(mail.Busy());

    QTRY_COMPARE(owner.done, 1);
    QVERIFY(!mail.Busy());
    QVERIFY2(peer.mismatch.isEmpty(), qPrintable(peer.mismatch));
    QVERIFY2(peer.finished() || script.last() == "CLOSE", "the script was not played to its end");
    QCOMPARE(owner.errors, errors);
    QCOMPARE(mail.Delivered(), delivered);
    if (errors.isEmpty() || errors.first().startsWith("13")) {
        QStringList sent = clientLines(script);
        QCOMPARE(peer.received, sent); // nothing beyond the script
    }
    if (delivered) {
        QCOMPARE(owner.count(SendMail::miAccepted), 1);
        QCOMPARE(peer.messages.size(), 1);
        QVERIFY(peer.messages.first().endsWith("\r\n.\r\n"));
        QVERIFY(peer.messages.first().contains("\r\n..dot\r\n")); // dot-stuffed
    }
    deliverOneMore(mail, owner); // and nothing more came of this session
}

void TestSendMail::keepConnectionOpen()
{
    const QStringList oneMessage{"C: MAIL FROM:<a@x.test>", "S: 250 ok", "C: RCPT TO:<b@y.test>",
                                 "S: 250 ok", "C: DATA", "S: 354 go", "C: <message>",
                                 "S: 250 queued"};
    ScriptedPeer peer(QStringList{"S: 220 mx.test", "C: EHLO client.test", "S: 250 mx.test"}
                      + oneMessage + oneMessage);
    SendMail mail;
    Owner owner(mail);
    prepare(mail, peer.port());
    mail.setKeepConnectionOpen(true);
    int hookCalls = 0;
    mail.setBeforeFinalDot([&] { return ++hookCalls > 0; });

    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE(owner.done, 1);
    QVERIFY(mail.Delivered());
    QVERIFY(mail.finalDotSent());
    mail.setTO_Address(QStringLiteral("b@y.test"));
    mail.message().ListTo.clear();
    mail.setAction(SendMail::Send_Mail);
    QVERIFY(!mail.finalDotSent()); // a new message
    QTRY_COMPARE(owner.done, 2);
    QCOMPARE(hookCalls, 2);
    QVERIFY(mail.result().ok && mail.result().finalDotSent);

    QVERIFY2(peer.mismatch.isEmpty(), qPrintable(peer.mismatch));
    QVERIFY(peer.finished());
    QCOMPARE(owner.deliveredAtDone, (QList<bool>{true, true}));
    QCOMPARE(owner.count(SendMail::miConnected), 1);
    QCOMPARE(peer.connections, 1);
    QVERIFY(!peer.received.contains("QUIT"));
    QVERIFY(owner.errors.isEmpty());

    // A cancel between messages ends the kept connection, without OnDone.
    mail.setAction(SendMail::Cancel_SendMail);
    QTRY_VERIFY(peer.clientClosed);
    QCOMPARE(owner.done, 2);
    deliverOneMore(mail, owner);
}

void TestSendMail::keptConnectionClosedWhileIdle()
{
    // The server closes the kept connection after the first message: the
    // close is noticed between messages, and the next one connects afresh.
    AnsweringPeer peer(0, true);
    SendMail mail;
    Owner owner(mail);
    prepare(mail, peer.port());
    mail.setKeepConnectionOpen(true);
    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE(owner.done, 1);
    QTRY_COMPARE(owner.count(SendMail::miDisconnected), 1);

    mail.setTO_Address(QStringLiteral("b@y.test"));
    mail.message().ListTo.clear();
    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE(owner.done, 2);
    QCOMPARE(owner.deliveredAtDone, (QList<bool>{true, true}));
    QCOMPARE(peer.connections, 2);
    QCOMPARE(owner.count(SendMail::miConnected), 2);
    QVERIFY2(owner.errors.isEmpty(), qPrintable(owner.errors.join(u'\n')));
}

void TestSendMail::longBodyArrivesWhole()
{
    // Far more than the connection takes at once: the rest waits in the
    // socket and goes out as it drains, complete and in order.
    AnsweringPeer peer(0);
    SendMail mail;
    Owner owner(mail);
    prepare(mail, peer.port());
    QStringList body;
    for (int i = 0; i < 6000; ++i) // about 6 MB
        body << QStringLiteral("%1 ").arg(i, 6, 10, QChar(u'0')) + QString(990, u'x');
    mail.message().MailText = body;
    mail.setAction(SendMail::Send_Mail);
    QSignalSpy done(&mail, &SendMail::OnDone);
    QVERIFY(done.wait(60000));
    QVERIFY(mail.Delivered());
    QVERIFY(owner.errors.isEmpty());
    const QByteArray text = body.join(QStringLiteral("\r\n")).toLatin1() + "\r\n";
    const qsizetype first = peer.lastMessage.indexOf("000000 x");
    QVERIFY(first > 0);
    QVERIFY(peer.lastMessage.mid(first, text.size()) == text);
}

void TestSendMail::cancelDuringLongBody()
{
    ScriptedPeer peer(greetingEhlo + QStringList{"S: 250 ok", "C: RCPT TO:<b@y.test>", "S: 250 ok",
                                                 "C: DATA", "S: 354 go", "SINK"});
    SendMail mail;
    Owner owner(mail);
    prepare(mail, peer.port());
    QStringList body;
    const QString line(998, u'x');
    for (int i = 0; i < 8000; ++i) // about 8 MB
        body << line;
    mail.message().MailText = body;
    bool cancelled = false;
    connect(&mail, &SendMail::OnMailInfo, &mail, [&](SendMail::SendMailInfo info, const QString &) {
        if (info == SendMail::miPartProgress && !cancelled) {
            cancelled = true;
            mail.setAction(SendMail::Cancel_SendMail);
        }
    });
    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE(owner.done, 1);
    QVERIFY(cancelled);
    QTRY_VERIFY(peer.clientClosed);
    QVERIFY(!peer.sinkSawDot);
    QVERIFY2(peer.sunkBytes < 4 * 1024 * 1024, qPrintable(QString::number(peer.sunkBytes)));
    QVERIFY(owner.errors.isEmpty());
    QCOMPARE(mail.lastResult(), MailError::Cancelled);
    QCOMPARE(mail.result().error, MailError::Cancelled);
    QVERIFY(!mail.result().finalDotSent);
    QVERIFY(!mail.Delivered());
    deliverOneMore(mail, owner);
}

void TestSendMail::replyTimeLimitPerReply_data()
{
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("limitMs");
    // Six replies of 250 ms each: the whole dialogue takes longer than the
    // limit, but no single reply does.
    QTest::newRow("slow replies, each within the limit") << 250 << 400;
    // After its reply to QUIT the server keeps the connection: the short
    // grace for its close must win over the long reply limit still running.
    QTest::newRow("QUIT answered, connection kept open") << 0 << 60000;
}

void TestSendMail::replyTimeLimitPerReply()
{
    QFETCH(int, delayMs);
    QFETCH(int, limitMs);
    AnsweringPeer peer(delayMs);
    SendMail mail;
    Owner owner(mail, false);
    prepare(mail, peer.port());
    mail.setReplyTimeLimit(std::chrono::milliseconds(limitMs));
    QElapsedTimer clock;
    clock.start();
    mail.setAction(SendMail::Send_Mail);
    QSignalSpy done(&mail, &SendMail::OnDone);
    QVERIFY(done.wait(10000));
    QVERIFY2(owner.errors.isEmpty(), qPrintable(owner.errors.join(u'\n')));
    QVERIFY(mail.Delivered());
    QCOMPARE(owner.count(SendMail::miAccepted), 1);
    QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
}

void TestSendMail::failuresEndWithOneDone_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("connectionFailure");
    QTest::newRow("server never answers") << QStringList{"SINK"} << "8: Connection timed out" << true;
    QTest::newRow("server stops answering after EHLO")
        << QStringList{"S: 220 mx.test", "C: EHLO client.test", "SINK"} << "8: Connection timed out" << true;
    QTest::newRow("connection reset by the server")
        << QStringList{"S: 220 mx.test", "C: EHLO client.test", "RESET"}
        << "7: Connection reset by remote side" << true;
    QTest::newRow("nothing listening") << QStringList() << "12: Connection Refused" << true;

    // A reply that would grow without bound ends the session and its connection.
    const QString piece(65000, u'x');
    QTest::newRow("a line without an end, over 64 KB")
        << QStringList{"S: 220-mx.test", "P: 220-" + piece, "P: " + piece, "SINK"}
        << "22: " + TextReplyLineTooLong << false;
    QStringList endless{"S: 220 mx.test", "C: EHLO client.test"};
    for (int i = 0; i < 20; ++i)
        endless << "S: 250-" + piece;
    QTest::newRow("a reply of continuation lines over 1 MB")
        << endless + QStringList{"SINK"} << "22: " + TextReplyTooLong << false;
}

void TestSendMail::failuresEndWithOneDone()
{
    QFETCH(QStringList, script);
    QFETCH(QString, error);
    QFETCH(bool, connectionFailure);

    quint16 port;
    std::unique_ptr<ScriptedPeer> peer;
    if (script.isEmpty()) {
        QTcpServer probe; // a port that was free a moment ago
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    } else {
        peer = std::make_unique<ScriptedPeer>(script);
        port = peer->port();
    }
    SendMail mail;
    Owner owner(mail, false);
    prepare(mail, port);
    mail.setReplyTimeLimit(std::chrono::milliseconds(400));
    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE(owner.done, 1);
    QCOMPARE(owner.errors, QStringList{error});
    QVERIFY(!mail.Busy());
    QCOMPARE(mail.result().isConnectionFailure(), connectionFailure);
    QCOMPARE(QStringLiteral("%1: %2").arg(mail.result().error).arg(mail.result().text), error);
    if (peer && peer->connections > 0)
        QTRY_VERIFY(peer->clientClosed);
    deliverOneMore(mail, owner);
    QCOMPARE(owner.errors.size(), 1);
}

void TestSendMail::unsafeAddressNeverReachesTheServer_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QStringList>("listTo");
    QTest::newRow("line break in the sender") << "a@x.test\r\nRSET" << "b@y.test" << QStringList();
    QTest::newRow("angle bracket in TO_Address") << "a@x.test" << "b@y.test> NOTIFY=NEVER"
                                                 << QStringList();
    QTest::newRow("line feed in a list entry") << "a@x.test" << "b@y.test"
                                               << QStringList{"c@y.test\nDATA|C"};
}

void TestSendMail::unsafeAddressNeverReachesTheServer()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QStringList, listTo);
    ScriptedPeer peer({"S: 220 mx.test"});
    SendMail mail;
    Owner owner(mail, false);
    prepare(mail, peer.port());
    mail.message().FROM_Address = from;
    mail.setTO_Address(to);
    mail.message().ListTo = listTo;
    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE(owner.done, 1);
    QCOMPARE(owner.errors.size(), 1);
    QVERIFY2(owner.errors.first().startsWith("21: Invalid address: "), qPrintable(owner.errors.first()));
    QCOMPARE(peer.connections, 0);
}

void TestSendMail::busyAndNoRecipient()
{
    ScriptedPeer peer(greetingEhlo);
    SendMail mail;
    Owner owner(mail);
    prepare(mail, peer.port());
    mail.setAction(SendMail::Send_Mail);
    mail.setAction(SendMail::Send_Mail);
    QCOMPARE(owner.count(SendMail::miBusy), 1);
    QTRY_VERIFY(peer.finished());
    mail.setAction(SendMail::Cancel_SendMail);
    QTRY_COMPARE(owner.done, 1);
    QVERIFY(owner.errors.isEmpty());

    // Abort empties the recipients; with none left the next message cannot go.
    QVERIFY(mail.TO_Address().isEmpty());
    QVERIFY(mail.message().ListTo.isEmpty());
    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE(owner.done, 2);
    QCOMPARE(owner.errors, QStringList{"18: Mail Destination Error"});
}

void TestSendMail::socketErrorTable_data()
{
    using E = QAbstractSocket::SocketError;
    QTest::addColumn<E>("error");
    QTest::addColumn<QString>("qtText");
    QTest::addColumn<bool>("reset");
    QTest::addColumn<int>("smtpNumber");
    QTest::addColumn<int>("pop3Number");
    QTest::addColumn<QString>("text");
    QTest::newRow("refused") << E::ConnectionRefusedError << "" << false << 12 << 12 << "Connection Refused";
    QTest::newRow("unknown host") << E::HostNotFoundError << "" << false << 16 << 16 << "Address resolution error";
    QTest::newRow("reset") << E::RemoteHostClosedError << "" << true << 7 << 7 << "Connection reset by remote side";
    QTest::newRow("reset named by the text") << E::NetworkError << "Connection reset by peer" << false << 7 << 7 << "Connection reset by remote side";
    QTest::newRow("address in use") << E::NetworkError << "Address in use" << false << 4 << 4 << "Unexpected internal error in component";
    QTest::newRow("orderly close is no error") << E::RemoteHostClosedError << "" << false << 0 << 0 << "";
    QTest::newRow("host unreachable") << E::NetworkError << "Host unreachable" << false << 19 << 18 << "Host Unreachable";
    QTest::newRow("network unreachable") << E::NetworkError << "Network unreachable" << false << 10 << 10 << "Network unreachable";
    QTest::newRow("timed out") << E::NetworkError << "Connection timed out" << false << 8 << 8 << "timeout";
    QTest::newRow("access") << E::SocketAccessError << "" << false << 3 << 3 << "Invalid address specified";
    QTest::newRow("resources") << E::SocketResourceError << "" << false << 9 << 9 << "Out of sockets";
    QTest::newRow("address not available") << E::SocketAddressNotAvailableError << "" << false << 11 << 11 << "Address not available";
    QTest::newRow("unsupported operation") << E::UnsupportedSocketOperationError << "" << false << 4 << 4 << "Unexpected internal error in component";
    QTest::newRow("proxy failure") << E::ProxyConnectionRefusedError << "" << false << 15 << 15 << "Unknown Error";
}

void TestSendMail::socketErrorTable()
{
    QFETCH(QAbstractSocket::SocketError, error);
    QFETCH(QString, qtText);
    QFETCH(bool, reset);
    QFETCH(int, smtpNumber);
    QFETCH(int, pop3Number);
    QFETCH(QString, text);
    const SocketErrorEntry entry = socketErrorEntry(socketErrorCode(error, qtText, reset));
    QCOMPARE(entry.sendMailNumber, smtpNumber);
    QCOMPARE(entry.getMailNumber, pop3Number);
    QCOMPARE(entry.text, text);
}

void TestSendMail::lineSplitting()
{
    // Only CR LF ends a line; a lone CR or LF stays inside it, and an
    // unfinished line waits for the next chunk.
    QByteArray buffer = "220-a\r\n220 b\rc\nd\r\n250 par";
    QList<QByteArray> lines;
    MailConnection::takeLines(buffer, [&](const QByteArray &l) { lines << l; return true; });
    QCOMPARE(lines, (QList<QByteArray>{"220-a", "220 b\rc\nd"}));
    QCOMPARE(buffer, QByteArray("250 par"));
    buffer += "tial\r\n\r\n";
    lines.clear();
    MailConnection::takeLines(buffer, [&](const QByteArray &l) { lines << l; return false; });
    QCOMPARE(lines, (QList<QByteArray>{"250 partial"})); // stopping keeps the rest
    QCOMPARE(buffer, QByteArray("\r\n"));
}

void TestSendMail::resultValue_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<QByteArray>>("reply"); // as sent; empty: none
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<bool>("finalDotSent");
    QTest::addColumn<bool>("connectionFailure");
    using L = QList<QByteArray>;
    const QStringList upToDot = greetingEhlo + QStringList{"S: 250 ok", "C: RCPT TO:<b@y.test>", "S: 250 ok",
                                                           "C: DATA", "S: 354 go", "C: <message>"};

    QTest::newRow("accepted") << upToDot + QStringList{"S: 250-2.0.0 queued", "S: 250 2.0.0 as 1",
                                                       "C: QUIT", "S: 221 bye", "CLOSE"}
                              << 0 << "" << L{"250-2.0.0 queued", "250 2.0.0 as 1"} << QByteArray(".")
                              << true << false;
    QTest::newRow("multi-line 550 to RCPT: every line in the text")
        << greetingEhlo + QStringList{"S: 250 ok", "C: RCPT TO:<b@y.test>", "S: 550-5.1.1 first line",
                                      "S: 550 5.1.1 second line"}
        << 13 << "Unexpected response: 550 5.1.1 first line / 5.1.1 second line"
        << L{"550-5.1.1 first line", "550 5.1.1 second line"} << QByteArray("RCPT TO:<b@y.test>")
        << false << false;
    QTest::newRow("closed after the dot: outcome unknown")
        << upToDot + QStringList{"CLOSE"} << 17 << "Prematurely Disconnected" << L{} << QByteArray(".")
        << true << true;
    QTest::newRow("malformed reply line")
        << QStringList{"S: 220 mx.test", "C: EHLO client.test", "S: hello?"} << 22
        << "The server sent a line that is not an SMTP reply: \"hello?\"" << L{}
        << QByteArray("EHLO client.test") << false << false;
    QTest::newRow("negative reply to QUIT after acceptance is no error")
        << upToDot + QStringList{"S: 250 queued", "C: QUIT", "S: 554 no", "CLOSE"} << 0 << ""
        << L{"250 queued"} << QByteArray(".") << true << false;
}

void TestSendMail::resultValue()
{
    QFETCH(QStringList, script);
    QFETCH(int, error);
    QFETCH(QString, text);
    QFETCH(QList<QByteArray>, reply);
    QFETCH(QByteArray, command);
    QFETCH(bool, finalDotSent);
    QFETCH(bool, connectionFailure);

    ScriptedPeer peer(script);
    SendMail mail;
    Owner owner(mail);
    prepare(mail, peer.port());
    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE(owner.done, 1);
    QVERIFY2(peer.mismatch.isEmpty(), qPrintable(peer.mismatch));
    const SmtpResult result = mail.result();
    QCOMPARE(result.ok, error == 0);
    QCOMPARE(mail.Delivered(), error == 0);
    QCOMPARE(result.error, error);
    QCOMPARE(result.text, text);
    QCOMPARE(owner.errors, error == 0 ? QStringList() : QStringList{QStringLiteral("%1: %2").arg(error).arg(text)});
    QCOMPARE(result.reply.has_value(), !reply.isEmpty());
    if (result.reply)
        QCOMPARE(result.reply->wireLines(), reply);
    QCOMPARE(result.command, command);
    QCOMPARE(result.finalDotSent, finalDotSent);
    QCOMPARE(mail.finalDotSent(), finalDotSent);
    QCOMPARE(result.isConnectionFailure(), connectionFailure);
}

void TestSendMail::continuationLinesShareOneDeadline()
{
    // A server that trickles a continuation line every 100 ms for ever:
    // each line comes well within the limit, the reply never ends.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QTimer trickle;
    QPointer<QTcpSocket> socket;
    connect(&server, &QTcpServer::newConnection, &server, [&] {
        socket = server.nextPendingConnection();
        trickle.start(100);
    });
    connect(&trickle, &QTimer::timeout, &server, [&] {
        if (socket)
            socket->write("220-still greeting\r\n");
    });
    SendMail mail;
    Owner owner(mail, false);
    prepare(mail, server.serverPort());
    mail.setReplyTimeLimit(std::chrono::milliseconds(600));
    QElapsedTimer clock;
    clock.start();
    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE(owner.done, 1);
    QCOMPARE(owner.errors, QStringList{"8: Connection timed out"});
    QVERIFY2(clock.elapsed() >= 550, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(owner.count(SendMail::miReceived) >= 3);
    QVERIFY(mail.result().isConnectionFailure());
}

void TestSendMail::effectiveTimeLimits_data()
{
    QTest::addColumn<int>("given");
    QTest::addColumn<int>("used");
    QTest::newRow("0 is the default, not no limit") << 0 << 60;
    QTest::newRow("negative as 0") << -5 << 60;
    QTest::newRow("within range") << 20 << 20;
    QTest::newRow("the longest") << 600 << 600;
    QTest::newRow("longer is cut to 10 minutes") << 100000 << 600;
}

void TestSendMail::effectiveTimeLimits()
{
    QFETCH(int, given);
    QFETCH(int, used);
    ScriptedPeer peer({"S: 220 mx.test", "C: EHLO client.test"});
    SendMail mail;
    Owner owner(mail);
    prepare(mail, peer.port());
    mail.setTimeoutArp(given);
    mail.setTimeoutConnect(given);
    mail.setAction(SendMail::Send_Mail);
    QCOMPARE(mail.connection().lookupTimeLimit(), used);
    QCOMPARE(mail.connection().connectTimeLimit(), used);
    QCOMPARE(mail.replyTimeLimit(), std::chrono::milliseconds(std::chrono::seconds(qMax(60, used))));
    QTRY_VERIFY(peer.finished());
    QCOMPARE(mail.TimeoutConnect(), given); // the owner's value stays as given
    mail.setAction(SendMail::Cancel_SendMail);
    QTRY_COMPARE(owner.done, 1);
}

void TestSendMail::beforeFinalDot_data()
{
    QTest::addColumn<QString>("hook"); // what the hook does: "record", "refuse", "cancel"
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<int>("resultError");
    QTest::newRow("recorded: the dot follows") << "record" << QStringList() << 0;
    QTest::newRow("not recorded: no dot, connection dropped")
        << "refuse" << QStringList{"23: " + TextMessageWithdrawn} << MailError::MessageWithdrawn;
    QTest::newRow("cancelled from the hook: no dot") << "cancel" << QStringList() << MailError::Cancelled;
}

void TestSendMail::beforeFinalDot()
{
    QFETCH(QString, hook);
    QFETCH(QStringList, errors);
    QFETCH(int, resultError);
    const QStringList upToData = greetingEhlo + QStringList{"S: 250 ok", "C: RCPT TO:<b@y.test>", "S: 250 ok",
                                                            "C: DATA", "S: 354 go"};
    ScriptedPeer peer(upToData + (hook == "record" ? QStringList{"C: <message>", "S: 250 queued", "C: QUIT",
                                                                 "S: 221 bye", "CLOSE"}
                                                   : QStringList{"SINK"}));
    SendMail mail;
    Owner owner(mail, false);
    prepare(mail, peer.port());
    int calls = 0;
    QByteArray bodyAtHook;
    bool dotSentAtHook = true;
    mail.setBeforeFinalDot([&] {
        ++calls;
        bodyAtHook = owner.data;
        dotSentAtHook = mail.finalDotSent();
        if (hook == "cancel")
            mail.setAction(SendMail::Cancel_SendMail);
        return hook == "record";
    });
    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE(owner.done, 1);
    QCOMPARE(calls, 1);
    QVERIFY(!dotSentAtHook);
    QVERIFY(bodyAtHook.endsWith("\r\n..dot\r\n\r\n")); // the whole body, without the "." line
    QCOMPARE(owner.errors, errors);
    QCOMPARE(mail.result().error, resultError);
    QCOMPARE(mail.result().finalDotSent, hook == "record");
    QCOMPARE(mail.Delivered(), hook == "record");
    if (hook == "record") {
        QTRY_VERIFY(peer.finished());
        QCOMPARE(peer.messages, QList<QByteArray>{bodyAtHook + ".\r\n"}); // the same bytes as one write
    } else {
        QTRY_VERIFY(peer.clientClosed);
        QTRY_COMPARE(peer.sunkBytes, qint64(bodyAtHook.size()));
        QVERIFY(!peer.sinkSawDot);
    }
}

void TestSendMail::earlyAcceptanceIsNoDelivery()
{
    // A "250" while the body is still going out cannot be the acceptance
    // of the message: the session ends without sending the ".".
    ScriptedPeer peer(greetingEhlo + QStringList{"S: 250 ok", "C: RCPT TO:<b@y.test>", "S: 250 ok", "C: DATA",
                                                 "S: 354 go\\r\\n250 early", "SINK"});
    SendMail mail;
    Owner owner(mail);
    prepare(mail, peer.port());
    mail.message().MailText = QStringList(8000, QString(998, u'x')); // about 8 MB
    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE(owner.done, 1);
    QCOMPARE(owner.errors,
             QStringList{"22: The server accepted the message before its end: \"250 early\""});
    QVERIFY(!mail.Delivered());
    QVERIFY(!mail.result().finalDotSent);
    QTRY_VERIFY(peer.clientClosed);
    QVERIFY(!peer.sinkSawDot);
}

void TestSendMail::smtpUtf8_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("errors");
    QTest::newRow("offered: UTF-8 on the wire, whatever the system charset")
        << QStringList{"S: 220 mx.test", "C: EHLO client.test", "S: 250-mx.test\\r\\n250 SMTPUTF8",
                       "C: MAIL FROM:<a@x.test> SMTPUTF8", "S: 250 ok", "C: RCPT TO:<jörg@bücher.test>",
                       "S: 250 ok", "C: DATA", "S: 354 go", "C: <message>", "S: 250 queued", "C: QUIT",
                       "S: 221 bye", "CLOSE"}
        << QStringList();
    QTest::newRow("not offered: nothing of the message is sent")
        << QStringList{"S: 220 mx.test", "C: EHLO client.test", "S: 250-mx.test\\r\\n250 8BITMIME"}
        << QStringList{"24: The recipient address has non-ASCII characters and the server does not offer "
                       "SMTPUTF8"};
}

void TestSendMail::smtpUtf8()
{
    QFETCH(QStringList, script);
    QFETCH(QStringList, errors);
    SystemCharset::overrideForTesting("ISO-8859-1");
    const auto restore = qScopeGuard([] { SystemCharset::overrideForTesting({}); });
    ScriptedPeer peer(script);
    SendMail mail;
    Owner owner(mail);
    prepare(mail, peer.port());
    mail.setTO_Address(QStringLiteral("jörg@bücher.test"));
    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE(owner.done, 1);
    QVERIFY2(peer.mismatch.isEmpty(), qPrintable(peer.mismatch));
    QCOMPARE(owner.errors, errors);
    QTRY_VERIFY(peer.clientClosed);
    QCOMPARE(peer.received, clientLines(script)); // nothing beyond the script
    if (errors.isEmpty()) {
        QVERIFY(mail.Delivered());
        // RFC 6532 3.2: the header carries the address as it is, in UTF-8.
        QVERIFY(peer.messages.first().contains("\r\nTo: " + QStringLiteral("jörg@bücher.test").toUtf8() + "\r\n"));
    }
}

void TestSendMail::traceReplaysAsScript_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<bool>("auth");
    const QStringList tail{"S: 250 ok", "C: RCPT TO:<b@y.test>", "S: 250 ok", "C: DATA", "S: 354 go",
                           "C: <message>", "S: 250-queued\\r\\n250 as 1", "C: QUIT", "S: 221 bye", "CLOSE"};
    QTest::newRow("EHLO, message, QUIT, close") << greetingEhlo + tail << false;
    QTest::newRow("EHLO refused, HELO on the same connection")
        << QStringList{"S: 220 mx.test", "C: EHLO client.test", "S: 502 5.5.2 EHLO not implemented",
                       "C: HELO client.test", "S: 250 mx.test", "C: MAIL FROM:<a@x.test>"}
               + tail
        << false;
    QTest::newRow("AUTH LOGIN hidden, multi-line replies")
        << QStringList{"S: 220-mx.test ESMTP\\r\\n220 ready", "C: EHLO client.test",
                       "S: 250-mx.test\\r\\n250 AUTH LOGIN", "C: AUTH LOGIN", "S: 334 VXNlcm5hbWU6",
                       "C: am9l", "S: 334 UGFzc3dvcmQ6", "C: c2VjcmV0", "S: 235 ok",
                       "C: MAIL FROM:<a@x.test>"}
               + tail
        << true;
    QTest::newRow("refused recipient, owner cancels")
        << greetingEhlo + QStringList{"S: 250 ok", "C: RCPT TO:<b@y.test>", "S: 550-no\\r\\n550 such user"}
        << false;
}

void TestSendMail::traceReplaysAsScript()
{
    QFETCH(QStringList, script);
    QFETCH(bool, auth);
    // Runs a session against `steps` and returns its trace.
    const auto session = [auth](const QStringList &steps, QString *mismatch) {
        ScriptedPeer peer(steps);
        SendMail mail;
        Owner owner(mail);
        prepare(mail, peer.port());
        mail.setSmtpAuth(auth);
        mail.setSmtpUser(QStringLiteral("joe"));
        mail.setSmtpPsw(QStringLiteral("secret"));
        QByteArray trace;
        QBuffer device(&trace);
        device.open(QIODevice::WriteOnly);
        mail.setTrace(&device);
        mail.setAction(SendMail::Send_Mail);
        if (!QTest::qWaitFor([&] { return owner.done == 1 && (peer.finished() || !peer.mismatch.isEmpty()); }))
            *mismatch = QStringLiteral("the session did not end");
        else
            *mismatch = peer.mismatch;
        return trace;
    };
    QString mismatch;
    const QByteArray first = session(script, &mismatch);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    QVERIFY(!first.contains("c2VjcmV0") && !first.contains("am9l"));
    QCOMPARE(first.count("C: <credentials hidden>\r\n"), auth ? 3 : 0);
    if (script.contains("C: <message>"))
        QVERIFY2(first.contains("\r\nC: .\r\n") && first.contains("\r\nC: <message "), first.constData());

    QStringList replay = QString::fromUtf8(first).split(QStringLiteral("\r\n"));
    QCOMPARE(replay.takeLast(), QString()); // every line ends with CR LF
    const QByteArray second = session(replay, &mismatch);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    QCOMPARE(second, first);
}

QTEST_GUILESS_MAIN(TestSendMail)
#include "tst_sendmail.moc"
