#pragma once

#include "mailclient/mailsession.h"
#include "mailclient/smtpdialogue.h"
#include "mailclient/smtptransactions.h"
#include "mime/mimeassembler.h"

#include <QPointer>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

// `SmtpPipeline`: one kept-open connection to an account's SMTP server that
// carries many messages. The greeting, STARTTLS and the log-in are
// SmtpDialogue's; the mail transactions are SmtpTransactions', pipelined
// when the server offers PIPELINING and the account allows it. Each message
// handed in gets exactly one result, in `messageDone`, always from the event
// loop after the handler that ended it.

namespace varnholt {

// One message for the pipeline.
struct SmtpMessage {
    quint64 id = 0;
    MimeInputs inputs;
    // The main recipient; the other recipients are ListTo, Listcc and bcc.
    QString toAddress;
    QString toName;
    QStringList bcc;
};

struct SmtpMessageResult {
    enum class Kind {
        Accepted,
        Refused,   // a server reply refused it: nothing of it was delivered
        Failed,    // it never became deliverable
        Cancelled, // cancel() ended it before its "."
        Unknown,   // its "." went out and no answer came: the server may have it
    };
    quint64 id = 0;
    Kind kind = Kind::Failed;
    QString text; // the refusal or the failure
    std::optional<SmtpReply> reply;
    bool connectionFailure = false;
};

class SmtpPipeline : public MailSession, private SmtpDialogue::Events, private SmtpTransactions::Events
{
    Q_OBJECT
public:
    struct Account {
        QString server;
        quint16 port = 25;
        bool auth = false;
        QString user;
        QString password;
        bool heloDef = true;
        QString heloTxt;
        TransportSecurity security = TransportSecurity::None;
        // Pipeline commands when the server offers it.
        bool pipelining = true;
    };

    explicit SmtpPipeline(QObject *parent = nullptr);
    ~SmtpPipeline() override;

    // For the next connection.
    void setAccount(const Account &account) { m_account = account; }

    // How many messages it holds at once: three while pipelining is
    // possible (one awaiting the answer to its ".", one whose body goes, and
    // the next, already here when that "." goes so that its commands follow
    // in the same write), else one.
    [[nodiscard]] int capacity() const;
    [[nodiscard]] int heldCount() const { return int(m_held.size()); }
    [[nodiscard]] bool holdsMessages() const { return !m_held.empty(); }
    // The connection pipelines (known once the server has greeted).
    [[nodiscard]] bool isPipelining() const { return m_handedOver && m_transactions.isPipelining(); }

    // Opens a connection when none is open.
    void send(SmtpMessage message);
    // Ends every message it holds: Cancelled; one whose "." went out gets
    // its answer first (for a short while, then Unknown).
    void cancel();
    // Ends a connection that holds no message: "QUIT", then closed.
    void close();

    // Called with a message's id right before its "."; returning false
    // withholds it: the connection is dropped and the message fails with
    // MailError::MessageWithdrawn.
    void setBeforeFinalDot(std::function<bool(quint64 id)> hook) { m_beforeFinalDot = std::move(hook); }

Q_SIGNALS:
    void messageDone(const varnholt::SmtpMessageResult &result);
    // A reply line of the server about the message `id`.
    void serverWords(quint64 id, const QString &text);
    // The connection ended while it held no message.
    void ended();

private:
    struct Held {
        quint64 id = 0;
        MimeInputs inputs;
        SmtpDialogue::Envelope envelope;
        bool queued = false;   // with the transactions of this connection
        bool answered = false; // a reply to one of its commands came
        bool dotSent = false;
        bool retried = false;  // moved once to a fresh connection
    };

    void openFresh();
    void onConnectionEnded();
    Held *held(quint64 id);
    void finish(quint64 id, SmtpMessageResult result);
    void finishAll(SmtpMessageResult::Kind kind, const QString &text, const std::optional<SmtpReply> &reply,
                   bool connectionFailure);
    void flushResults();
    void pumpBody();
    void endBody();
    void armForReplies();

    // MailSession
    void reportInfo(Info info, const QString &text) override { Q_UNUSED(info); Q_UNUSED(text); }
    [[nodiscard]] bool infoWanted() const override { return false; }
    [[nodiscard]] int socketErrorNumber(const SocketErrorEntry &entry) const override
    {
        return entry.sendMailNumber;
    }
    void lineReceived(const QByteArray &line) override;
    void closedByPeer() override;
    void timedOut() override;
    void cleanUpForAbort() override;

    // SmtpDialogue::Events
    void sendCommand(const QByteArray &line, const QByteArray &logForm, bool credentials) override;
    void recipient(const QString &address) override { Q_UNUSED(address); }
    void unexpectedReply(const SmtpReply &reply) override;
    void failure(int number, const QString &text, const std::optional<SmtpReply> &reply) override;
    void beginTls() override;
    void transmitMessage() override {}
    void accepted(const SmtpReply &reply) override { Q_UNUSED(reply); }
    void quitAnswered() override;
    void readyForMail(const SmtpReply &reply) override;

    // SmtpTransactions::Events
    void sendCommand(const QByteArray &line) override;
    void transmitMessage(quint64 id) override;
    void messageAccepted(quint64 id, const SmtpReply &reply) override;
    void messageRefused(quint64 id, const SmtpReply &reply) override;
    void messageFailed(quint64 id, int number, const QString &text) override;
    void sessionFailed(int number, const QString &text, const std::optional<SmtpReply> &reply) override;

    Account m_account;
    SmtpDialogue m_dialogue;
    SmtpTransactions m_transactions;
    std::deque<Held> m_held;
    bool m_handedOver = false; // the transactions have the connection
    bool m_cancelling = false;
    bool m_draining = false; // cancelled: waiting for the answers to "."s already sent
    bool m_quitting = false;
    std::optional<quint64> m_withdrawn;
    std::optional<SmtpReply> m_lastReply; // the reply that ended the connection
    // The message whose body goes out.
    QPointer<MimeAssembler> m_assembler;
    quint64 m_bodyId = 0;
    bool m_inBody = false;
    bool m_pulling = false;
    qint64 m_bodyBytes = 0;
    std::vector<SmtpMessageResult> m_results;
    bool m_flushPosted = false;
    std::function<bool(quint64)> m_beforeFinalDot;
};

} // namespace varnholt
