#pragma once

#include "mailclient/mailreply.h"
#include "mailclient/smtpdialogue.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <optional>

// The mail transactions of a session that carries many messages, as a state
// machine without a socket: it takes over from SmtpDialogue once the server
// has greeted and the log-in is done, is fed the server's reply lines, and
// answers through `Events`. Every reply is matched to the command it answers,
// so each message gets exactly its own outcome.
//
// With command pipelining (RFC 2920, when the server offers it and the
// account allows it) a message's "MAIL FROM", "RCPT TO" lines and "DATA" go
// in one group, and the next message's group follows its "." at once: one
// round trip a message instead of four. Without it one command waits for the
// reply to the one before. A refused sender or recipient refuses that
// message only: its "DATA" is answered without a body, "RSET" clears the
// transaction and the next message goes over the same connection.

namespace varnholt {

class SmtpTransactions
{
public:
    using Id = quint64;

    class Events
    {
    public:
        virtual ~Events() = default;
        // One command line without CR LF.
        virtual void sendCommand(const QByteArray &line) = 0;
        // The server accepted "DATA": send the message, then endOfMessage().
        virtual void transmitMessage(Id id) = 0;
        virtual void messageAccepted(Id id, const SmtpReply &reply) = 0;
        // The first refusal among the message's replies; nothing of it was
        // delivered.
        virtual void messageRefused(Id id, const SmtpReply &reply) = 0;
        // The message cannot go over this connection (SMTPUTF8 not offered);
        // nothing of it was named to the server.
        virtual void messageFailed(Id id, int number, const QString &text) = 0;
        // The connection cannot go on: a 421, a reply that answers nothing,
        // a refused "RSET", or "DATA" accepted for a message that must not
        // go. The owner drops the connection; the messages still with it are
        // its to end.
        virtual void sessionFailed(int number, const QString &text, const std::optional<SmtpReply> &reply) = 0;
        virtual void quitAnswered() = 0;
    };

    explicit SmtpTransactions(Events &events) : m_events(events) {}

    // The dialogue handed the connection over: `pipelining` when the server
    // offered it and the account allows it.
    void start(bool pipelining, bool smtpUtf8Offered);
    // Queues a message; its commands go as soon as the connection allows.
    void queue(Id id, const SmtpDialogue::Envelope &envelope);
    // The message's body and "." were written.
    void endOfMessage(Id id);
    // "QUIT" once nothing is on the way.
    void quit();
    void handleLine(const QByteArray &line);
    // Stops answering (the connection is gone).
    void stop();

    [[nodiscard]] bool isPipelining() const { return m_pipelining; }
    [[nodiscard]] bool isStarted() const { return m_started; }
    // A reply is awaited; `dotAwaited` when the first is the one to a ".".
    [[nodiscard]] bool awaitsReply() const { return !m_expected.empty(); }
    [[nodiscard]] bool dotAwaited() const
    {
        return !m_expected.empty() && m_expected.front().kind == Command::Dot;
    }
    // The message the next reply concerns, if any.
    [[nodiscard]] std::optional<Id> replyConcerns() const;
    // Messages queued and not yet ended.
    [[nodiscard]] qsizetype messageCount() const { return qsizetype(m_messages.size()); }
    // Some command of the message went to the server (until the next start).
    [[nodiscard]] bool wasNamed(Id id) const;

private:
    enum class Command { Mail, Rcpt, Data, Dot, Rset, Quit };
    struct Expected {
        Command kind;
        Id id = 0;
    };
    struct Message {
        Id id = 0;
        SmtpDialogue::Envelope envelope;
        bool utf8 = false;
        int nextCommand = 0; // MAIL FROM, each RCPT TO, DATA: those sent so far
        bool inBody = false; // DATA was accepted, "." not yet written
        bool dotSent = false;
        std::optional<SmtpReply> refusal;
    };

    void release();
    bool sendNextCommand(Message &message);
    [[nodiscard]] int commandCount(const Message &message) const
    {
        return int(message.envelope.recipients.size()) + 2;
    }
    void handleReply(const SmtpReply &reply);
    void onDataReply(Message &message, const SmtpReply &reply);
    void finish(Id id);
    Message *find(Id id);
    void fail(int number, const QString &text, const std::optional<SmtpReply> &reply);

    Events &m_events;
    bool m_started = false;
    bool m_stopped = false;
    bool m_pipelining = false;
    bool m_smtpUtf8 = false;
    bool m_rsetDue = false;  // a refused transaction may have left a sender named
    bool m_quitDue = false;
    std::deque<Message> m_messages; // in the order they go, oldest first
    std::deque<Expected> m_expected;
    SmtpReplyReader m_reader;
};

} // namespace varnholt
