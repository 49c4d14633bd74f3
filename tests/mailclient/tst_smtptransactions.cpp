// The mail transactions of a kept-open session, fed line by line: each row is
// a protocol log in the test-script form. "S:" lines are fed to the machine;
// the lines after one are what it must answer before the next input.
// Control steps: "Q: ID ADDRESS..." queues message ID for those recipients
// (from a@x.test), "D: ID" says its body and "." were written, "X:" asks for
// QUIT. With pipelining a message's commands go as one group, and the next
// message's group follows the "." at once.

#include "mailclient/mailerrors.h"
#include "mailclient/mailreply.h"
#include "mailclient/smtptransactions.h"
#include "scriptfeed.h"

#include <QTest>

using namespace varnholt;

namespace {

struct Recorder : SmtpTransactions::Events {
    QStringList out;
    void sendCommand(const QByteArray &line) override { out << QStringLiteral("C: ") + QString::fromUtf8(line); }
    void transmitMessage(quint64 id) override { out << QStringLiteral("body %1").arg(id); }
    void messageAccepted(quint64 id, const SmtpReply &reply) override
    {
        out << QStringLiteral("accepted %1 %2").arg(id).arg(reply.code());
    }
    void messageRefused(quint64 id, const SmtpReply &reply) override
    {
        out << QStringLiteral("refused %1 %2").arg(id).arg(reply.code());
    }
    void messageFailed(quint64 id, int number, const QString &) override
    {
        out << QStringLiteral("failed %1 %2").arg(id).arg(number);
    }
    void sessionFailed(int number, const QString &, const std::optional<SmtpReply> &reply) override
    {
        out << QStringLiteral("session failed %1").arg(number)
                   + (reply ? QStringLiteral(" [%1]").arg(reply->code()) : QString());
    }
    void quitAnswered() override { out << "quit answered"; }
};

} // namespace

class TestSmtpTransactions : public QObject
{
    Q_OBJECT
private slots:
    void script_data();
    void script();
};

void TestSmtpTransactions::script_data()
{
    QTest::addColumn<bool>("pipelining");
    QTest::addColumn<bool>("smtpUtf8");
    QTest::addColumn<QStringList>("script");

    QTest::newRow("pipelined: one group a message, the next after the dot")
        << true << false
        << QStringList{"Q: 1 b@y.test", "C: MAIL FROM:<a@x.test>", "C: RCPT TO:<b@y.test>", "C: DATA",
                       "Q: 2 c@y.test",
                       "S: 250 ok", "S: 250 ok", "S: 354 go", "body 1",
                       "D: 1", "C: MAIL FROM:<a@x.test>", "C: RCPT TO:<c@y.test>", "C: DATA",
                       "S: 250 queued 1", "accepted 1 250",
                       "S: 250 ok", "S: 250 ok", "S: 354 go", "body 2",
                       "D: 2", "S: 250 queued 2", "accepted 2 250",
                       "X:", "C: QUIT", "S: 221 bye", "quit answered"};

    QTest::newRow("pipelined: a refused recipient refuses its message only")
        << true << false
        << QStringList{"Q: 1 nobody@y.test", "C: MAIL FROM:<a@x.test>", "C: RCPT TO:<nobody@y.test>", "C: DATA",
                       "Q: 2 c@y.test",
                       "S: 250 ok", "S: 550 5.1.1 no such user", "S: 554 5.5.1 no valid recipients",
                       "refused 1 550", "C: RSET", "C: MAIL FROM:<a@x.test>", "C: RCPT TO:<c@y.test>", "C: DATA",
                       "S: 250 reset", "S: 250 ok", "S: 250 ok", "S: 354 go", "body 2",
                       "D: 2", "S: 250 queued", "accepted 2 250"};

    QTest::newRow("pipelined: a refused sender, its recipient and DATA answered 503")
        << true << false
        << QStringList{"Q: 1 b@y.test", "C: MAIL FROM:<a@x.test>", "C: RCPT TO:<b@y.test>", "C: DATA",
                       "S: 553 5.7.1 sender refused", "S: 503 5.5.1 need MAIL", "S: 503 5.5.1 need RCPT",
                       "refused 1 553"};

    QTest::newRow("pipelined: a refused message, the next one's group already sent goes on")
        << true << false
        << QStringList{"Q: 1 b@y.test", "C: MAIL FROM:<a@x.test>", "C: RCPT TO:<b@y.test>", "C: DATA",
                       "Q: 2 c@y.test",
                       "S: 250 ok", "S: 250 ok", "S: 354 go", "body 1",
                       "D: 1", "C: MAIL FROM:<a@x.test>", "C: RCPT TO:<c@y.test>", "C: DATA",
                       "S: 554 5.7.1 spam", "refused 1 554",
                       "S: 250 ok", "S: 250 ok", "S: 354 go", "body 2"};

    QTest::newRow("pipelined: 421 refuses the message it answers and ends the session")
        << true << false
        << QStringList{"Q: 1 b@y.test", "C: MAIL FROM:<a@x.test>", "C: RCPT TO:<b@y.test>", "C: DATA",
                       "Q: 2 c@y.test",
                       "S: 250 ok", "S: 250 ok", "S: 354 go", "body 1",
                       "D: 1", "C: MAIL FROM:<a@x.test>", "C: RCPT TO:<c@y.test>", "C: DATA",
                       "S: 250 queued", "accepted 1 250",
                       "S: 421 4.7.0 too many messages", "refused 2 421", "session failed 13 [421]",
                       "S: 250 late", "Q: 3 d@y.test"};

    QTest::newRow("pipelined: DATA taken after a refused recipient drops the connection")
        << true << false
        << QStringList{"Q: 1 b@y.test nobody@y.test",
                       "C: MAIL FROM:<a@x.test>", "C: RCPT TO:<b@y.test>", "C: RCPT TO:<nobody@y.test>", "C: DATA",
                       "S: 250 ok", "S: 250 ok", "S: 550 no such user", "S: 354 go",
                       "refused 1 550", "session failed 13 [354]"};

    QTest::newRow("without pipelining: one command a reply, RSET after a refusal")
        << false << false
        << QStringList{"Q: 1 nobody@y.test", "C: MAIL FROM:<a@x.test>", "Q: 2 c@y.test",
                       "S: 250 ok", "C: RCPT TO:<nobody@y.test>",
                       "S: 550 5.1.1 no such user", "refused 1 550", "C: RSET",
                       "S: 250 reset", "C: MAIL FROM:<a@x.test>",
                       "S: 250 ok", "C: RCPT TO:<c@y.test>",
                       "S: 250 ok", "C: DATA", "S: 354 go", "body 2",
                       "D: 2", "S: 250 queued", "accepted 2 250",
                       "X:", "C: QUIT", "S: 221 bye", "quit answered"};

    QTest::newRow("without pipelining: the next message waits for the dot's reply")
        << false << false
        << QStringList{"Q: 1 b@y.test", "C: MAIL FROM:<a@x.test>", "Q: 2 c@y.test",
                       "S: 250 ok", "C: RCPT TO:<b@y.test>", "S: 250 ok", "C: DATA", "S: 354 go", "body 1",
                       "D: 1", "S: 250 queued", "accepted 1 250", "C: MAIL FROM:<a@x.test>"};

    QTest::newRow("an address that needs SMTPUTF8 fails alone when it is not offered")
        << true << false
        << QStringList{QStringLiteral("Q: 1 j\u00fcrgen@y.test"), "failed 1 24", "Q: 2 c@y.test",
                       "C: MAIL FROM:<a@x.test>", "C: RCPT TO:<c@y.test>", "C: DATA"};

    QTest::newRow("... and goes in UTF-8 when it is")
        << true << true
        << QStringList{QStringLiteral("Q: 1 j\u00fcrgen@y.test"), "C: MAIL FROM:<a@x.test> SMTPUTF8",
                       QStringLiteral("C: RCPT TO:<j\u00fcrgen@y.test>"), "C: DATA"};

    QTest::newRow("a reply to no command ends the session")
        << true << false << QStringList{"S: 421 4.4.2 idle too long", "session failed 13 [421]"};

    QTest::newRow("a reply that is no reply ends the session")
        << true << false
        << QStringList{"Q: 1 b@y.test", "C: MAIL FROM:<a@x.test>", "C: RCPT TO:<b@y.test>", "C: DATA",
                       "S: hello", "session failed 22"};
}

void TestSmtpTransactions::script()
{
    QFETCH(bool, pipelining);
    QFETCH(bool, smtpUtf8);
    QFETCH(QStringList, script);

    Recorder recorder;
    SmtpTransactions machine(recorder);
    machine.start(pipelining, smtpUtf8);
    playScript(
        script, recorder.out,
        [](const QString &step) { return step.startsWith("Q:") || step.startsWith("D:") || step == "X:"; },
        [&](const QString &step) {
            if (step.startsWith("Q:")) {
                QStringList words = step.mid(3).split(u' ');
                const quint64 id = words.takeFirst().toULongLong();
                machine.queue(id, SmtpDialogue::Envelope{QStringLiteral("a@x.test"), words});
            } else if (step.startsWith("D:")) {
                machine.endOfMessage(step.mid(3).toULongLong());
            } else if (step == "X:") {
                machine.quit();
            } else {
                machine.handleLine(step.mid(3).toUtf8());
            }
        });
}

QTEST_GUILESS_MAIN(TestSmtpTransactions)
#include "tst_smtptransactions.moc"
