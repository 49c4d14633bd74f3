// SendMail against scripted peers on 127.0.0.1: whole dialogues as rows,
// plus the failures that must end a session with one error and one OnDone.

#include "mailclient/mailconnection.h"
#include "mailclient/mailerrors.h"
#include "mailclient/sendmail.h"
#include "scriptedpeer.h"

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

const QStringList greetingHelo{"S: 220 mx.test ESMTP", "C: HELO client.test", "S: 250 mx.test",
                               "C: MAIL FROM:<a@x.test>"};

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
        << greetingHelo + QStringList{"S: 250 ok", "C: RCPT TO:<b@y.test>"} + tail
        << QStringList() << true;

    QTest::newRow("TO_Address, then ListTo, Listcc, ListBcc")
        << QStringList{"u@y.test|U"} << QStringList{"c@y.test|C", "d@y.test"}
        << QStringList{"z@y.test|Z"} << "b@y.test"
        << greetingHelo
               + QStringList{"S: 250 ok", "C: RCPT TO:<b@y.test>", "S: 250 ok",
                             "C: RCPT TO:<u@y.test>", "S: 250 ok", "C: RCPT TO:<c@y.test>",
                             "S: 250 ok", "C: RCPT TO:<d@y.test>", "S: 250 ok",
                             "C: RCPT TO:<z@y.test>"}
               + tail
        << QStringList() << true;

    QTest::newRow("no TO_Address: the first Listcc entry leads")
        << QStringList() << QStringList{"c@y.test|C", "d@y.test"} << QStringList() << ""
        << greetingHelo
               + QStringList{"S: 250 ok", "C: RCPT TO:<c@y.test>", "S: 250 ok",
                             "C: RCPT TO:<d@y.test>"}
               + tail
        << QStringList() << true;

    QTest::newRow("greeting split in pieces, multi-line reply in one write")
        << QStringList() << QStringList() << QStringList() << "b@y.test"
        << QStringList{"P: 22", "P: 0-mx.test", "S: ", "S: 220 ready", "C: HELO client.test",
                       "S: 250-mx.test\\r\\n250-SIZE\\r\\n250 HELP", "C: MAIL FROM:<a@x.test>",
                       "S: 250 ok", "C: RCPT TO:<b@y.test>"}
               + tail
        << QStringList() << true;

    QTest::newRow("recipient refused: error 13 with the server's whole line")
        << QStringList{"u@y.test"} << QStringList() << QStringList() << "b@y.test"
        << greetingHelo
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
        << greetingHelo
               + QStringList{"S: 250 ok", "C: RCPT TO:<b@y.test>", "S: 250 ok", "C: DATA",
                             "S: 354 go", "C: <message>", "S: 552 5.3.4 too big"}
        << QStringList{"13: Unexpected response: 552 5.3.4 too big"} << false;

    QTest::newRow("server closes after DATA: Prematurely Disconnected")
        << QStringList() << QStringList() << QStringList() << "b@y.test"
        << greetingHelo
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
    QTest::qWait(50);
    QCOMPARE(owner.done, 1);
}

void TestSendMail::keepConnectionOpen()
{
    const QStringList oneMessage{"C: MAIL FROM:<a@x.test>", "S: 250 ok", "C: RCPT TO:<b@y.test>",
                                 "S: 250 ok", "C: DATA", "S: 354 go", "C: <message>",
                                 "S: 250 queued"};
    ScriptedPeer peer(QStringList{"S: 220 mx.test", "C: HELO client.test", "S: 250 mx.test"}
                      + oneMessage + oneMessage);
    SendMail mail;
    Owner owner(mail);
    prepare(mail, peer.port());
    mail.setKeepConnectionOpen(true);

    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE(owner.done, 1);
    QVERIFY(mail.Delivered());
    mail.setTO_Address(QStringLiteral("b@y.test"));
    mail.message().ListTo.clear();
    mail.setAction(SendMail::Send_Mail);
    QTRY_COMPARE(owner.done, 2);

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
    QTest::qWait(50);
    QCOMPARE(owner.done, 2);
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
    ScriptedPeer peer(greetingHelo + QStringList{"S: 250 ok", "C: RCPT TO:<b@y.test>", "S: 250 ok",
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
    QVERIFY(!mail.Delivered());
    QTest::qWait(50);
    QCOMPARE(owner.done, 1);
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
    QTest::newRow("server never answers") << QStringList{"SINK"} << "8: Connection timed out";
    QTest::newRow("server stops answering after HELO")
        << QStringList{"S: 220 mx.test", "C: HELO client.test", "SINK"} << "8: Connection timed out";
    QTest::newRow("connection reset by the server")
        << QStringList{"S: 220 mx.test", "C: HELO client.test", "RESET"}
        << "7: Connection reset by remote side";
    QTest::newRow("nothing listening") << QStringList() << "12: Connection Refused";
}

void TestSendMail::failuresEndWithOneDone()
{
    QFETCH(QStringList, script);
    QFETCH(QString, error);

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
    QTest::qWait(100);
    QCOMPARE(owner.done, 1);
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
    ScriptedPeer peer(greetingHelo);
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

QTEST_GUILESS_MAIN(TestSendMail)
#include "tst_sendmail.moc"
