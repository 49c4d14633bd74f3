// The SMTP client of direct delivery: exact dialogues with a scripted server,
// the failures of the lookup and the connection, Abort, the withheld final
// dot, and one whole delivery to a real server judged by Python's email
// package.

#include "direct/smtpcli.h"
#include "mailclient/mailerrors.h"
#include "messagejudge.h"
#include "scriptedpeer.h"
#include "testfiles.h"
#include "testservers.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>

using namespace varnholt;
using namespace varnholt::testing;

namespace {

// The relay worker's chain: open, then MAIL FROM, RCPT TO, DATA and QUIT,
// each started from the completion of the one before; the first error ends
// it. Every completion is kept as "kind error | LastResponse".
struct Driver {
    TSmtpCli cli;
    QStringList done;
    QStringList display;
    bool chain = true;
    bool dotSentAtData = false;

    explicit Driver(quint16 port, const QStringList &recipients = {QStringLiteral("b@y.test")})
    {
        cli.setHost(QStringLiteral("127.0.0.1"));
        cli.setPort(QString::number(port));
        cli.setSignOn(QStringLiteral("client.test"));
        cli.setFromName(QStringLiteral(" a@x.test "));
        cli.setRcptName(recipients);
        MimeInputs message;
        message.FROM_Address = QStringLiteral("a@x.test");
        message.ListTo = QStringList{QStringLiteral("b@y.test|")};
        message.Subject = QStringLiteral("Hello");
        message.MailText = QStringList{QStringLiteral("One line.")};
        cli.setMessage(message);
        cli.onDisplay = [this](TSmtpCli *, const QString &text) { display << text; };
        cli.onRequestDone = [this](TSmtpCli *c, TSmtpRequest kind, quint16 error) {
            done << QStringLiteral("%1 %2 | %3").arg(int(kind)).arg(error).arg(c->lastResponse());
            if (kind == TSmtpRequest::smtpData)
                dotSentAtData = c->finalDotSent();
            if (error != 0 || !chain)
                return;
            switch (kind) {
            case TSmtpRequest::smtpConnect: c->mailFrom(); break;
            case TSmtpRequest::smtpMailFrom: c->rcptTo(); break;
            case TSmtpRequest::smtpRcptTo: c->data(); break;
            case TSmtpRequest::smtpData: c->quit(); break;
            default: break;
            }
        };
    }

    // The chain has ended: an error, or QUIT done.
    [[nodiscard]] bool ended() const
    {
        if (done.isEmpty())
            return false;
        const QString &last = done.constLast();
        return last.startsWith(QLatin1String("6 ")) || !last.section(u' ', 1, 1).startsWith(u'0')
            || !chain;
    }
};

const QStringList Greeting{"S: 220 mx.test ESMTP", "C: HELO client.test", "S: 250 mx.test"};

// After the greeting: MAIL FROM accepted, one recipient accepted.
const QStringList Envelope{"C: MAIL FROM:<a@x.test>", "S: 250 2.1.0 Ok", "C: RCPT TO:<b@y.test>",
                           "S: 250 2.1.5 Ok"};
const QStringList DataAccepted{"C: DATA", "S: 354 End data with <CR><LF>.<CR><LF>", "C: <message>",
                               "S: 250 2.0.0 Ok: queued", "C: QUIT", "S: 221 2.0.0 Bye", "CLOSE"};
const QStringList WholeDone{"0 0 | 250 mx.test", "2 0 | 250 2.1.0 Ok", "4 0 | 250 2.1.5 Ok",
                            "5 0 | 250 2.0.0 Ok: queued", "6 0 | 221 2.0.0 Bye"};

// Hands each accepted connection over as a bare descriptor.
class RawServer : public QTcpServer
{
public:
    int fd = -1;
    std::function<void()> accepted;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        fd = int(descriptor);
        if (accepted)
            accepted();
    }
};

// Nothing more arrives once the expected completions are in.
void expectNoMore(const Driver &d, qsizetype count)
{
    QTest::qWait(100);
    QCOMPARE(d.done.size(), count);
}

} // namespace

class TestSmtpCli : public QObject
{
    Q_OBJECT
private slots:
    void dialogue_data();
    void dialogue();
    void connectFailures_data();
    void connectFailures();
    void messageOnTheWire();
    void mailSequence_data();
    void mailSequence();
    void quitWithoutConnection_data();
    void quitWithoutConnection();
    void abortCompletesOnce_data();
    void abortCompletesOnce();
    void abortedCompletionNeverEndsTheNextRequest();
    void withheldFinalDot();
    void misuse();
    void noCompletionAfterDestruction();
    void pullsOnlyWhatTheNetworkTakes();
    void deliveryToSmtpSink();
};

void TestSmtpCli::dialogue_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("recipients");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<bool>("staysConnected"); // else the client (or server) has closed it

    const QStringList one{"b@y.test"};
    const QStringList two{"x@y.test", "b@y.test"};
    QTest::newRow("whole exchange") << Greeting + Envelope + DataAccepted << one << WholeDone << false;

    QTest::newRow("multi-line replies complete on their last line")
        << QStringList{"S: 220-mx.test first\\r\\n220-second\\r\\n220 third", "C: HELO client.test",
                       "S: 250-mx.test\\r\\n250-PIPELINING\\r\\n250 8BITMIME", "C: MAIL FROM:<a@x.test>",
                       "P: 250-Sender\\r\\n", "P: 250-split over\\r\\n250 ", "S: ok",
                       "C: RCPT TO:<b@y.test>", "S: 451-4.3.0 busy\\r\\n451 4.3.0 try later"}
        << one << QStringList{"0 0 | 250 8BITMIME", "2 0 | 250 ok", "4 451 | 451 4.3.0 try later"} << true;

    QTest::newRow("greeting 554 closes, LastResponse keeps it")
        << QStringList{"S: 554 5.3.2 No service here"} << one
        << QStringList{"0 10004 | 554 5.3.2 No service here"} << false;
    QTest::newRow("multi-line greeting 554")
        << QStringList{"S: 554-mx.test\\r\\n554 go away"} << one << QStringList{"0 10004 | 554 go away"} << false;
    QTest::newRow("HELO refused: no QUIT")
        << QStringList{"S: 220 mx.test", "C: HELO client.test", "S: 501 5.5.2 bad name"} << one
        << QStringList{"0 501 | 501 5.5.2 bad name"} << true;
    QTest::newRow("reply without a code is no success")
        << QStringList{"S: 220 mx.test", "C: HELO client.test", "S: hello there"} << one
        << QStringList{"0 500 | hello there"} << true;

    QTest::newRow("first of two recipients refused")
        << Greeting + QStringList{"C: MAIL FROM:<a@x.test>", "S: 250 Ok", "C: RCPT TO:<x@y.test>",
                                  "S: 550 5.1.1 no such user", "C: RCPT TO:<b@y.test>", "S: 250 accepted"}
               + DataAccepted
        << two
        << QStringList{"0 0 | 250 mx.test", "2 0 | 250 Ok", "4 0 | 250 accepted", "5 0 | 250 2.0.0 Ok: queued",
                       "6 0 | 221 2.0.0 Bye"}
        << false;
    QTest::newRow("second of two recipients refused")
        << Greeting + QStringList{"C: MAIL FROM:<a@x.test>", "S: 250 Ok", "C: RCPT TO:<x@y.test>",
                                  "S: 251 will forward", "C: RCPT TO:<b@y.test>", "S: 550 5.1.1 unknown"}
        << two << QStringList{"0 0 | 250 mx.test", "2 0 | 250 Ok", "4 550 | 550 5.1.1 unknown"} << true;
    QTest::newRow("DATA refused")
        << Greeting + Envelope + QStringList{"C: DATA", "S: 554 5.5.1 no valid recipients"} << one
        << QStringList{"0 0 | 250 mx.test", "2 0 | 250 2.1.0 Ok", "4 0 | 250 2.1.5 Ok",
                       "5 554 | 554 5.5.1 no valid recipients"}
        << true;
    QTest::newRow("message refused after the dot")
        << Greeting + Envelope + QStringList{"C: DATA", "S: 354 go", "C: <message>", "S: 552 5.3.4 too big"}
        << one
        << QStringList{"0 0 | 250 mx.test", "2 0 | 250 2.1.0 Ok", "4 0 | 250 2.1.5 Ok", "5 552 | 552 5.3.4 too big"}
        << true;

    QTest::newRow("server closes instead of replying")
        << Greeting + QStringList{"C: MAIL FROM:<a@x.test>", "CLOSE"} << one
        << QStringList{"0 0 | 250 mx.test", "2 10004 | 250 mx.test"} << false;
    QTest::newRow("server hangs up instead of answering QUIT")
        << Greeting + Envelope
               + QStringList{"C: DATA", "S: 354 go", "C: <message>", "S: 250 queued", "C: QUIT", "CLOSE"}
        << one
        << QStringList{"0 0 | 250 mx.test", "2 0 | 250 2.1.0 Ok", "4 0 | 250 2.1.5 Ok", "5 0 | 250 queued",
                       "6 0 | 250 queued"}
        << false;
    QTest::newRow("connection reset instead of 354")
        << Greeting + Envelope + QStringList{"C: DATA", "RESET"} << one
        << QStringList{"0 0 | 250 mx.test", "2 0 | 250 2.1.0 Ok", "4 0 | 250 2.1.5 Ok", "5 10004 | 250 2.1.5 Ok"}
        << false;

    // The reply buffer holds 4096 bytes with the CR LF.
    const QString fits = QStringLiteral("220 ") + QString(4090, u'x');
    QTest::newRow("reply line of 4094 characters")
        << QStringList{"S: " + fits, "C: HELO client.test", "S: 250 ok", "C: MAIL FROM:<a@x.test>",
                       "S: 451 later"}
        << one << QStringList{"0 0 | 250 ok", "2 451 | 451 later"} << true;
    QTest::newRow("reply line of 4095 characters ends the session")
        << QStringList{"S: " + fits + "y"} << one
        << QStringList{"0 500 | 500 The server's reply line is longer than 4094 bytes"} << false;
    QTest::newRow("over-long continuation line")
        << QStringList{"S: 220 mx.test", "C: HELO client.test", "S: 250-" + QString(6000, u'z')} << one
        << QStringList{"0 500 | 500 The server's reply line is longer than 4094 bytes"} << false;
}

void TestSmtpCli::dialogue()
{
    QFETCH(QStringList, script);
    QFETCH(QStringList, recipients);
    QFETCH(QStringList, expected);
    QFETCH(bool, staysConnected);

    ScriptedPeer peer(script);
    Driver d(peer.port(), recipients);
    d.cli.open();
    QVERIFY(d.done.isEmpty()); // never inside the call
    QTRY_VERIFY_WITH_TIMEOUT(d.ended(), 10000);
    expectNoMore(d, expected.size());
    QCOMPARE(d.done, expected);
    QVERIFY2(peer.mismatch.isEmpty(), qPrintable(peer.mismatch));
    QCOMPARE(peer.received, clientLines(script));
    QCOMPARE(d.cli.state(), TSmtpState::smtpReady);
    if (staysConnected) {
        QVERIFY(d.cli.connected());
        QVERIFY(!peer.clientClosed);
    } else {
        QTRY_VERIFY(peer.clientClosed);
        QVERIFY(!d.cli.connected());
    }
}

void TestSmtpCli::connectFailures_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("response");

    // An empty label makes the name invalid: it fails without asking any
    // name server.
    QTest::newRow("unknown host") << "no..such.host.test" << "25" << 11001
                                  << "500 Host not found (Winsock error #11001)";
    QTest::newRow("connection refused") << "127.0.0.1" << QString::number(freePort()) << 10061
                                        << "500 Connection refused (Winsock error #10061)";
    QTest::newRow("unknown service") << "127.0.0.1" << "no-such-service" << 500
                                     << "500 ESocketException: connect: WSocketResolvePort: Cannot convert port "
                                        "'no-such-service'";
}

void TestSmtpCli::connectFailures()
{
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(int, error);
    QFETCH(QString, response);

    Driver d(0);
    d.cli.setHost(host);
    d.cli.setPort(port);
    d.cli.open();
    QVERIFY(d.done.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!d.done.isEmpty(), 10000);
    expectNoMore(d, 1);
    QCOMPARE(d.done.first(), QStringLiteral("0 %1 | %2").arg(error).arg(response));
    QCOMPARE(d.cli.errorMessage(), response);
    QVERIFY(!d.cli.connected());
    QCOMPARE(d.cli.state(), TSmtpState::smtpReady);
}

// The assembler's output goes out unchanged: dot-stuffed once, ended by one
// "." after onBeforeFinalDot, shown as one trace line.
void TestSmtpCli::messageOnTheWire()
{
    const QStringList script = Greeting + Envelope + DataAccepted;
    ScriptedPeer peer(script);
    Driver d(peer.port());
    MimeInputs message;
    message.FROM_Address = QStringLiteral("a@x.test");
    message.ListTo = QStringList{QStringLiteral("b@y.test|")};
    message.Subject = QStringLiteral("Dots");
    message.MailText = QStringList{".", ".leading dot", "plain", ".."};
    d.cli.setMessage(message);
    QList<bool> dotSentAtHook;
    d.cli.onBeforeFinalDot = [&](TSmtpCli *c) {
        dotSentAtHook << c->finalDotSent();
        return true;
    };
    d.cli.open();
    QTRY_VERIFY_WITH_TIMEOUT(d.ended(), 10000);
    QCOMPARE(d.done, WholeDone);
    QVERIFY2(peer.mismatch.isEmpty(), qPrintable(peer.mismatch));
    QCOMPARE(dotSentAtHook, QList<bool>{false});
    QVERIFY(d.dotSentAtData);

    QCOMPARE(peer.messages.size(), 1);
    const QByteArray wire = peer.messages.first();
    QVERIFY2(wire.contains("\r\n\r\n..\r\n..leading dot\r\nplain\r\n...\r\n"), wire.constData());
    QVERIFY(wire.endsWith("\r\n.\r\n"));
    QCOMPARE(wire.count("\r\n.\r\n"), 1);
    const qsizetype traced = d.display.indexOf(QStringLiteral("> <message %1 bytes>").arg(wire.size() - 3));
    QVERIFY2(traced > 0, qPrintable(d.display.join('\n')));
    QCOMPARE(d.display.mid(traced - 2, 4),
             (QStringList{"> DATA", "< 354 End data with <CR><LF>.<CR><LF>",
                          QStringLiteral("> <message %1 bytes>").arg(wire.size() - 3), "> ."}));
}

// mail() runs MAIL FROM, RCPT TO and DATA as one request of kind smtpMail;
// the first failing step ends it.
void TestSmtpCli::mailSequence_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QString>("expected");
    QTest::newRow("all accepted")
        << Greeting + Envelope + QStringList{"C: DATA", "S: 354 go", "C: <message>", "S: 250 queued"}
        << "9 0 | 250 queued";
    QTest::newRow("recipient refused: no DATA")
        << Greeting + QStringList{"C: MAIL FROM:<a@x.test>", "S: 250 Ok", "C: RCPT TO:<b@y.test>", "S: 550 no"}
        << "9 550 | 550 no";
}

void TestSmtpCli::mailSequence()
{
    QFETCH(QStringList, script);
    QFETCH(QString, expected);
    ScriptedPeer peer(script);
    Driver d(peer.port());
    d.chain = false;
    d.cli.open();
    QTRY_COMPARE(d.done, QStringList{"0 0 | 250 mx.test"});
    d.cli.mail();
    QTRY_COMPARE(d.done.size(), 2);
    expectNoMore(d, 2);
    QCOMPARE(d.done.last(), expected);
    QVERIFY2(peer.mismatch.isEmpty(), qPrintable(peer.mismatch));
    QCOMPARE(peer.received, clientLines(script));
}

void TestSmtpCli::quitWithoutConnection_data()
{
    QTest::addColumn<bool>("connectFirst");
    QTest::newRow("server has closed") << true;
    QTest::newRow("never connected") << false;
}

void TestSmtpCli::quitWithoutConnection()
{
    QFETCH(bool, connectFirst);
    ScriptedPeer peer(Greeting + QStringList{"CLOSE"});
    Driver d(peer.port());
    d.chain = false;
    if (connectFirst) {
        d.cli.open();
        QTRY_COMPARE(d.done, QStringList{"0 0 | 250 mx.test"});
        QTRY_VERIFY(!d.cli.connected());
    }
    d.done.clear();
    d.cli.quit();
    QVERIFY(d.done.isEmpty());
    QTRY_VERIFY(!d.done.isEmpty());
    expectNoMore(d, 1);
    QCOMPARE(d.done.first(), QStringLiteral("6 0 | %1").arg(QLatin1String(connectFirst ? "250 mx.test" : "")));
    QCOMPARE(peer.received, connectFirst ? QStringList{"HELO client.test"} : QStringList());
}

void TestSmtpCli::abortCompletesOnce_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QString>("when");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("waiting for the greeting") << QStringList{} << "greeting" << QStringList{"0 10004 | "};
    // The missing second attachment is noticed after the first went out.
    QTest::newRow("in the middle of the message")
        << Greeting + Envelope + QStringList{"C: DATA", "S: 354 go", "SINK"} << "file error"
        << QStringList{"0 0 | 250 mx.test", "2 0 | 250 2.1.0 Ok", "4 0 | 250 2.1.5 Ok", "5 10004 | 354 go"};
    QTest::newRow("idle, nothing open") << Greeting << "idle" << QStringList{"0 0 | 250 mx.test"};
}

void TestSmtpCli::abortCompletesOnce()
{
    QFETCH(QStringList, script);
    QFETCH(QString, when);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ScriptedPeer peer(script);
    Driver d(peer.port());
    d.chain = when == u"file error";
    QByteArray big(600 * 1024, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(big.data()), big.size() / 4);
    MimeInputs message;
    message.FROM_Address = QStringLiteral("a@x.test");
    message.ListTo = QStringList{QStringLiteral("b@y.test|")};
    message.MailText = QStringList{QStringLiteral("See the files.")};
    message.Attachments = QStringList{writeFileIn(dir.path(), "big.bin", big), dir.filePath("missing.bin")};
    d.cli.setMessage(message);
    qsizetype doneInsideAbort = -1;
    d.cli.onFileError = [&](TSmtpCli *c, const QString &path) {
        QCOMPARE(path, dir.filePath("missing.bin"));
        const qsizetype before = d.done.size();
        c->abort(); // from inside the assembler's own event
        doneInsideAbort = d.done.size() - before;
    };

    d.cli.open();
    if (when == u"greeting") {
        QTRY_COMPARE(d.cli.state(), TSmtpState::smtpWaitingBanner);
        d.cli.abort();
        QVERIFY(d.done.isEmpty());
    } else if (when == u"idle") {
        QTRY_COMPARE(d.done.size(), 1);
        d.cli.abort();
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(doneInsideAbort, 0, 10000);
    }
    QTRY_COMPARE(d.done.size(), expected.size());
    expectNoMore(d, expected.size());
    QCOMPARE(d.done, expected);
    QCOMPARE(d.cli.state(), TSmtpState::smtpReady);
    QVERIFY(!d.cli.connected());
    QVERIFY(!d.cli.finalDotSent());
    QTRY_VERIFY(peer.clientClosed);
    QVERIFY(!peer.sinkSawDot);
}

// A completion still queued from an aborted request is not taken for the
// completion of the request started after it.
void TestSmtpCli::abortedCompletionNeverEndsTheNextRequest()
{
    ScriptedPeer silent(QStringList{});
    ScriptedPeer second(QStringList{"S: 220 two", "C: HELO client.test", "S: 250 second"});
    Driver d(silent.port());
    d.chain = false;
    d.cli.open();
    QTRY_COMPARE(d.cli.state(), TSmtpState::smtpWaitingBanner);
    d.cli.abort(); // its 10004 is queued now
    d.cli.setPort(QString::number(second.port()));
    d.cli.open();
    QTRY_VERIFY(!d.done.isEmpty());
    expectNoMore(d, 1);
    QCOMPARE(d.done, QStringList{"0 0 | 250 second"});
    QVERIFY(second.mismatch.isEmpty());
}

void TestSmtpCli::withheldFinalDot()
{
    ScriptedPeer peer(Greeting + Envelope + QStringList{"C: DATA", "S: 354 go", "SINK"});
    Driver d(peer.port());
    int hookCalls = 0;
    d.cli.onBeforeFinalDot = [&](TSmtpCli *) {
        ++hookCalls;
        return false;
    };
    d.cli.open();
    QTRY_VERIFY_WITH_TIMEOUT(d.ended(), 10000);
    expectNoMore(d, 4);
    const QString withdrawn = QStringLiteral("426 ") + TextMessageWithdrawn;
    QCOMPARE(d.done.last(), QStringLiteral("5 426 | ") + withdrawn);
    QCOMPARE(d.cli.errorMessage(), withdrawn);
    QCOMPARE(hookCalls, 1);
    QVERIFY(!d.dotSentAtData);
    QVERIFY(!d.cli.connected());
    QTRY_VERIFY(peer.clientClosed);
    QVERIFY(!peer.sinkSawDot);
}

void TestSmtpCli::misuse()
{
    ScriptedPeer peer(Greeting);
    Driver d(peer.port());
    d.chain = false;
    const auto thrown = [](const std::function<void()> &call) -> QString {
        try {
            call();
        } catch (const SmtpException &e) {
            return e.message();
        }
        return QStringLiteral("(nothing thrown)");
    };
    const QString notConnected = QStringLiteral("SMTP component not connected");
    QCOMPARE(thrown([&] { d.cli.helo(); }), notConnected);
    QCOMPARE(thrown([&] { d.cli.mailFrom(); }), notConnected);
    QCOMPARE(thrown([&] { d.cli.rcptTo(); }), notConnected);
    QCOMPARE(thrown([&] { d.cli.data(); }), notConnected);
    QCOMPARE(thrown([&] { d.cli.mail(); }), notConnected);
    QCOMPARE(thrown([&] { d.cli.setHost(" "); d.cli.open(); }), QStringLiteral("DNS lookup: invalid host name."));
    QCOMPARE(d.cli.state(), TSmtpState::smtpReady);

    d.cli.setHost(QStringLiteral("127.0.0.1"));
    d.cli.open();
    QCOMPARE(thrown([&] { d.cli.mailFrom(); }), QStringLiteral("SMTP component not ready"));
    QTRY_COMPARE(d.done, QStringList{"0 0 | 250 mx.test"});
    QCOMPARE(thrown([&] { d.cli.open(); }), QStringLiteral("SMTP component already connected"));
    QCOMPARE(thrown([&] { d.cli.connect(); }), QStringLiteral("SMTP component already connected"));
    d.cli.setRcptName({});
    QCOMPARE(thrown([&] { d.cli.rcptTo(); }), QStringLiteral("RcptName list is empty"));
    QCOMPARE(thrown([&] { d.cli.mail(); }), QStringLiteral("RcptName list is empty"));
    d.cli.setRcptName({QStringLiteral("b@y.test>\r\nRCPT TO:<c@z.test")});
    QCOMPARE(thrown([&] { d.cli.rcptTo(); }), QStringLiteral("SMTP command argument contains a line break"));
    // None of it reached the server or changed the state.
    QCOMPARE(d.cli.state(), TSmtpState::smtpReady);
    QTest::qWait(100);
    QCOMPARE(peer.received, QStringList{"HELO client.test"});
    QCOMPARE(d.done.size(), 1);
}

void TestSmtpCli::noCompletionAfterDestruction()
{
    bool called = false;
    {
        TSmtpCli cli;
        cli.onRequestDone = [&](TSmtpCli *, TSmtpRequest, quint16) { called = true; };
        cli.quit(); // completion queued
    }
    QTest::qWait(50);
    QVERIFY(!called);
}

// A server that stops reading after 354 stops the pulling too: the file
// behind a big attachment is not reached while the network takes nothing,
// and is once the server reads again. (Pulling the whole message at once
// would reach it at once.)
void TestSmtpCli::pullsOnlyWhatTheNetworkTakes()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QByteArray big(8 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator(11).fillRange(reinterpret_cast<quint32 *>(big.data()), big.size() / 4);

    // The server reads its socket itself, so that it can stop reading
    // altogether (Qt would keep filling its own buffer).
    RawServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    // A small receive window, set before any connection is made (a window
    // shrunk later makes the kernel drop and resend).
    const int small = 16384;
    QVERIFY(::setsockopt(int(server.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &small, sizeof small) == 0);
    std::unique_ptr<QSocketNotifier> readable;
    bool sawDot = false;
    QByteArray pending;
    QEventLoop loop; // a real event loop for the 11 MB: QTRY_* sleeps between its checks
    const auto reply = [&](const char *text) { QVERIFY(::send(server.fd, text, strlen(text), 0) > 0); };
    const auto serve = [&] {
        char buffer[65536];
        const ssize_t got = ::recv(server.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got <= 0)
            return;
        pending.append(buffer, got);
        qsizetype end;
        while (readable && (end = pending.indexOf("\r\n")) >= 0) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 2);
            if (line.startsWith("HELO") || line.startsWith("MAIL") || line.startsWith("RCPT")) {
                reply("250 ok\r\n");
            } else if (line == "DATA") {
                reply("354 go\r\n");
                readable->setEnabled(false); // the message stays in the network's buffers
                return;
            } else if (line == ".") {
                sawDot = true;
                reply("250 queued\r\n");
                loop.quit();
            }
        }
    };
    server.accepted = [&] {
        readable = std::make_unique<QSocketNotifier>(qintptr(server.fd), QSocketNotifier::Read);
        connect(readable.get(), &QSocketNotifier::activated, this, serve);
        reply("220 mx.test\r\n");
    };

    Driver d(server.serverPort());
    MimeInputs message;
    message.FROM_Address = QStringLiteral("a@x.test");
    message.ListTo = QStringList{QStringLiteral("b@y.test|")};
    message.MailText = QStringList{QStringLiteral("See the files.")};
    message.Attachments = QStringList{writeFileIn(dir.path(), "big.bin", big), dir.filePath("missing.bin")};
    d.cli.setMessage(message);
    int fileErrors = 0;
    d.cli.onFileError = [&](TSmtpCli *, const QString &) { ++fileErrors; };
    d.cli.open();
    QTRY_VERIFY_WITH_TIMEOUT(readable && !readable->isEnabled(), 10000);
    QTest::qWait(1000);
    QCOMPARE(fileErrors, 0);
    QCOMPARE(d.done.size(), 3); // open, MAIL FROM, RCPT TO; DATA still under way

    // The server reads again: everything else follows.
    readable->setEnabled(true);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    QVERIFY(sawDot);
    QCOMPARE(fileErrors, 1);
    QTRY_COMPARE(d.done.size(), 4);
    QCOMPARE(d.done.last(), QStringLiteral("5 0 | 250 queued"));
    readable.reset();
    ::close(server.fd);
}

// The whole exchange with Postfix's smtp-sink; the stored message judged by
// Python's email package: structure, media types, encodings, every byte of
// the picture and the attachment. A file that cannot be read is left out
// and reported, as the account transport does.
void TestSmtpCli::deliveryToSmtpSink()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    openToAll(dir.path());
    const QString dumps = dir.filePath("dumps");
    SmtpSink sink;
    VARNHOLT_START_SERVER(sink, dumps);

    const QString logo =
        writeFileIn(dir.path(), "logo.png", QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(5000, '\x07'));
    QByteArray pdf("%PDF-1.4\n");
    for (int i = 0; i < 20000; ++i)
        pdf += char(i * 37);
    const QString report = writeFileIn(dir.path(), "report.pdf", pdf);
    const QString missing = dir.filePath("gone.txt");

    Driver d(sink.port());
    MimeInputs message;
    message.FROM_Name = QStringLiteral("Anna Sender");
    message.FROM_Address = QStringLiteral("a@x.test");
    message.ListTo = QStringList{QStringLiteral("b@y.test|Björn Empfänger")};
    message.Subject = QStringLiteral("Grüße mit Bild");
    message.TypeContent = tcHtml;
    message.MailText = QStringList{QStringLiteral("Grüße, Björn."), QStringLiteral(".a line with a dot")};
    message.HtmlText = QStringList{QStringLiteral("<html><body><p>Grüße, <b>Björn</b></p>"),
                                   QStringLiteral("<img src=\"cid:logo@x.test\"></body></html>")};
    message.HtmlFiles = QStringList{logo};
    message.HtmlCids = QStringList{QStringLiteral("logo@x.test")};
    message.Attachments = QStringList{report, missing};
    d.cli.setMessage(message);
    QStringList fileErrors;
    d.cli.onFileError = [&](TSmtpCli *, const QString &path) { fileErrors << path; };

    d.cli.open();
    QTRY_VERIFY_WITH_TIMEOUT(d.ended(), 20000);
    QStringList codes;
    for (const QString &entry : std::as_const(d.done))
        codes << entry.section(QLatin1String(" | "), 0, 0);
    QCOMPARE(codes, (QStringList{"0 0", "2 0", "4 0", "5 0", "6 0"}));
    QCOMPARE(fileErrors, QStringList{missing});

    QTRY_COMPARE_WITH_TIMEOUT(QDir(dumps).entryList(QDir::Files).size(), 1, 10000);
    const QList<QByteArray> stored = SmtpSink::storedMessages(dumps);
    QCOMPARE(stored.size(), 1);
    const QString received = dir.filePath("received");
    QVERIFY(writeFile(received + "/1.eml", stored.first()));

    const QJsonObject plain{{"type", "text/plain"},
                            {"charset", "utf-8"},
                            {"contains", QJsonArray{"Grüße, Björn.", "\n.a line with a dot"}}};
    const QJsonObject html{{"type", "text/html"},
                           {"charset", "utf-8"},
                           {"contains", QJsonArray{"<p>Grüße, <b>Björn</b></p>"}}};
    const QJsonObject picture{{"type", "image/png"}, {"file", logo}, {"filename", "logo.png"},
                              {"disposition", "inline"}, {"cid", "logo@x.test"}};
    const QJsonObject related{{"type", "multipart/related"}, {"cids_referenced", true},
                              {"parts", QJsonArray{html, picture}}};
    const QJsonObject alternative{{"type", "multipart/alternative"}, {"parts", QJsonArray{plain, related}}};
    const QJsonObject attachment{{"type", "application/pdf"}, {"file", report}, {"filename", "report.pdf"},
                                 {"disposition", "attachment"}};
    const QJsonObject entry{{"name", "direct delivery"},
                            {"to_address", "b@y.test"},
                            {"subject", "Grüße mit Bild"},
                            {"from_name", "Anna Sender"},
                            {"tree", QJsonObject{{"type", "multipart/mixed"},
                                                 {"parts", QJsonArray{alternative, attachment}}}}};
    const JudgeVerdict verdict = judgeMessages(
        {{"form", "stored"}, {"folder", received}, {"messages", QJsonArray{entry}}}, dir.filePath("manifest.json"));
    QVERIFY2(verdict.passed, verdict.report.constData());
    QVERIFY2(verdict.report.contains("1 messages judged, 0 problems"), verdict.report.constData());
}

QTEST_GUILESS_MAIN(TestSmtpCli)
#include "tst_smtpcli.moc"
