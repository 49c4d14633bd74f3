#pragma once

#include "mailclient/getmail.h"
#include "mailclient/smtppipeline.h"
#include "sending/messageprep.h"
#include "settings/settings.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// How the messages of a run leave. The run hands a transport one prepared
// message at a time and is told what became of it; it never sees a socket.
// The account transport sends through the account's SMTP server, after a
// POP3 log-in when the project asks for one; direct delivery to the
// recipients' own exchangers is a second kind of transport.
namespace varnholt {

// What became of one message.
struct MessageOutcome {
    int row = -1; // the message's row (PreparedMessage::row)
    enum class Kind {
        Accepted, // the server took it
        Refused,  // the server's reply refused it
        Failed,   // it never became deliverable (no connection, withheld)
        Cancelled, // cancel() ended it before it went out whole: nothing was delivered
        Unknown,  // it went out whole and no answer came: the server may have it
    };
    Kind kind = Kind::Failed;
    QString text; // the refusal or the failure; every line of a server's reply
    int code = 0; // the reply code of a refusal
    // The connection failed (refused, no greeting, time-out, dropped), not a
    // server's reply.
    bool connectionFailure = false;
    // Direct delivery's result number (0 delivered, a reply or socket error
    // code, or one of RelayError's negative numbers); unset on the account
    // transport.
    std::optional<int> relayError;
};

class MessageTransport : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // How many messages may be on the way at once.
    [[nodiscard]] virtual int capacity() const { return 1; }
    // A log-in must come before the next message.
    [[nodiscard]] virtual bool loginDue() const = 0;
    // loggedIn() or loginFailed() follows, or sessionEnded() after cancel().
    virtual void login() = 0;
    // Hands over one message (while fewer than capacity() are on the way);
    // messageDone() with its row follows exactly once.
    virtual void send(PreparedMessage message) = 0;
    // Ends what is on the way; its end is still reported.
    virtual void cancel() = 0;
    // Ends a connection kept open between messages, and any log-in timer.
    virtual void close() = 0;
    [[nodiscard]] virtual bool isBusy() const = 0;

    // Called with the message's row just before it becomes deliverable (an
    // SMTP message's final "."); returning false withholds it.
    void setBeforeCommit(std::function<bool(int row)> hook) { m_beforeCommit = std::move(hook); }

Q_SIGNALS:
    // The server's words about the message of `row`.
    void serverWords(int row, const QString &text);
    void messageDone(const varnholt::MessageOutcome &outcome);
    void loggedIn();
    void loginFailed(const QString &text);
    // A session that carried no message ended (a cancelled log-in, a kept
    // connection closed).
    void sessionEnded();

protected:
    std::function<bool(int row)> m_beforeCommit;
};

// The account transport keeps the account's "Connections" open to its SMTP
// server, each an SmtpPipeline that pipelines commands when the server
// offers it; the rows go out in list order across them.
class AccountTransport : public MessageTransport
{
    Q_OBJECT
public:
    explicit AccountTransport(QObject *parent = nullptr);
    ~AccountTransport() override;

    // The account and the project's connection settings, at the start of a
    // run: the next message logs in first when the project asks for it.
    // `connections` above 0 stands for the account's own number.
    void configure(const tAccountObj &account, const TIniInfo &project, int connections = 0);

    [[nodiscard]] int capacity() const override;
    [[nodiscard]] bool loginDue() const override;
    void login() override;
    void send(PreparedMessage message) override;
    void cancel() override;
    void close() override;
    [[nodiscard]] bool isBusy() const override;

    // "host:port" of the SMTP server, for messages to the user.
    [[nodiscard]] QString serverName() const;
    [[nodiscard]] GetMail &pop3() { return m_pop3; }
    [[nodiscard]] int connectionCount() const { return int(m_lanes.size()); }
    // Whether the connections pipeline (once a server has greeted).
    [[nodiscard]] bool isPipelining() const;

    // For every SMTP connection: the protocol trace (see MailSession), the
    // time allowed for each reply, certificates trusted on top of the
    // system's.
    void setTrace(QIODevice *trace);
    void setReplyTimeLimit(std::chrono::milliseconds limit);
    void setExtraCaCertificates(const QList<QSslCertificate> &certificates);

private:
    void applyToLane(SmtpPipeline &lane) const;
    void onLaneDone(const SmtpMessageResult &result);
    void onPopInfo(GetMail::GetMailInfo info, const QString &text);
    void onPopError(int error, const QString &text);
    void onPopDone();

    tAccountObj m_account;
    TIniInfo m_project;
    SmtpSessionSettings m_settings;
    std::vector<std::unique_ptr<SmtpPipeline>> m_lanes;
    GetMail m_pop3;
    QPointer<QIODevice> m_trace;
    std::chrono::milliseconds m_replyLimit{0};
    QList<QSslCertificate> m_extraCas;
    bool m_loggedIn = false;   // in this run
    bool m_loginOk = false;    // the log-in on the way was granted
    QString m_loginError;
    bool m_reloginDue = false;
    QTimer m_reloginTimer; // the project's interval between POP3 log-ins
};

} // namespace varnholt
