#pragma once

#include "direct/mxresolver.h"
#include "direct/smtpcli.h"
#include "mime/mimeassembler.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

// Direct delivery: every message goes straight to the mail exchanger of its
// recipient's domain. The coordinator runs a fixed number of workers side
// by side on the event loop; a worker takes one recipient at a time, finds
// the domain's exchangers (MX records in preference order, or the domain's
// own address), runs one SMTP transaction with one RCPT TO and reports the
// recipient's result once. A session that delivered a message stays open
// for a while among the idle sessions: the next recipient of the same
// exchanger, whichever worker takes it, goes on it with a new MAIL FROM
// instead of a new connection and greeting.
//
// The sending run hands over the recipients one by one (deliver()) while a
// worker is idle, so the order, the pauses of a series and the journal stay
// the run's own.
namespace varnholt {

class TSmtpRelayServerException : public std::runtime_error
{
public:
    explicit TSmtpRelayServerException(const QString &message)
        : std::runtime_error(message.toStdString())
    {
    }
    [[nodiscard]] QString message() const { return QString::fromStdString(what()); }
};

// Results of a recipient besides 0 (delivered) and the failing request's
// SMTP reply code or socket error code (> 0).
namespace RelayError {
inline constexpr int NoHost = -1;      // the domain has no usable mail exchanger, or the query failed
inline constexpr int TimedOut = -2;    // the exchanger stopped answering (or the address has no domain)
inline constexpr int OpenFailed = -3;  // starting a command raised an exception: -3 Open
inline constexpr int RcptFailed = -4;  // RCPT TO
inline constexpr int MailFromFailed = -5; // MAIL FROM
inline constexpr int QuitFailed = -6;  // QUIT
inline constexpr int DataFailed = -7;  // DATA
inline constexpr int Aborted = -8;     // the run was aborted during the exchange
inline constexpr int DnsSilent = -9;   // no DNS server answered
} // namespace RelayError

class TSmtpRelayServer2 : public QObject
{
    Q_OBJECT
public:
    // One recipient's result: `err` as above, `comment` the exchanger's last
    // reply or what went wrong. `maybeDelivered`: the message went out whole
    // and no answer to its final "." came, so the exchanger may have it.
    struct Result {
        int index = -1;
        int err = 0;
        QString comment;
        bool maybeDelivered = false;
    };

    explicit TSmtpRelayServer2(QObject *parent = nullptr);
    ~TSmtpRelayServer2() override;

    // Settings; changing one while busy throws "Component is busy".
    [[nodiscard]] int connections() const { return m_connections; }
    void setConnections(int count); // below 1 counts as 1
    [[nodiscard]] int timeOut() const { return m_timeOut; }
    void setTimeOut(int seconds); // below 1 counts as 60
    [[nodiscard]] QString signon() const { return m_signon; }
    void setSignon(const QString &name) { m_signon = name; }
    [[nodiscard]] QString from() const { return m_from; }
    void setFrom(const QString &address) { m_from = address; }
    // DNS servers separated by blanks ("host" or "host:port"); empty: the
    // system's own.
    [[nodiscard]] QString dns() const { return m_dns; }
    void setDns(const QString &servers);
    // The exchangers' port: 25, or another for tests and relays.
    [[nodiscard]] QString port() const { return m_port; }
    void setPort(const QString &port);

    // Starts the workers. Throws TSmtpRelayServerException: "FROM property
    // is empty", "No DNS SERVER Available".
    void start();
    [[nodiscard]] bool isStarted() const { return m_started; }
    // Some recipient is on the way.
    [[nodiscard]] bool isBusy() const;
    [[nodiscard]] int idleWorkers() const;
    // Hands a recipient to an idle worker; `message` is the whole message
    // (its header names the recipient). Throws when no worker is idle or
    // the coordinator is not started.
    void deliver(int index, const QString &address, MimeInputs message);
    // Ends every recipient on the way: one not yet sent whole reports
    // Aborted, one whose final "." went out reports maybeDelivered.
    void abort();
    // The run is over: the workers end (after abort() when busy).
    void stop();
    // The DNS servers in use, in the order they are tried.
    [[nodiscard]] QStringList dnsServers() const { return m_dnsServers; }

    // A mailing sends many messages to few domains: the exchangers found
    // for a domain serve its next recipients as long as the records' time to
    // live allows (at most MaxKeptSeconds), within one start() .. stop().
    static constexpr int MaxKeptDomains = 10000;
    static constexpr quint32 MaxKeptSeconds = 3600;
    // A session that delivered a message serves the next recipients of the
    // same exchanger address: at most this many messages, and it goes after
    // this long without one. At most Connections sessions wait at a time
    // (the longest waiting goes first).
    static constexpr int MaxMessagesPerSession = 100;
    static constexpr int MaxIdleSeconds = 5;

    // One report per recipient handed over, from the event loop.
    std::function<void(TSmtpRelayServer2 *, const Result &)> onEMailProcessed;
    // The exchanger's words while a recipient is on the way.
    std::function<void(TSmtpRelayServer2 *, int index, const QString &text)> onDisplay;
    // Just before a message's final "."; false withholds it (the exchange
    // is aborted and the recipient reports 426, not sent).
    std::function<bool(TSmtpRelayServer2 *, int index)> onBeforeFinalDot;

private:
    struct Worker;
    void supervise();
    void report(Worker &worker, int err, const QString &comment, bool maybeDelivered = false);
    void resolved(Worker &worker, MxResolver::Result result, const QList<MxTarget> &targets,
                  const QString &comment);
    void openNext(Worker &worker);
    void attachClient(Worker &worker, TSmtpCli *client);
    bool reuseSession(Worker &worker);
    void keepSession(Worker &worker, TSmtpCli *client);
    void closeIdleSessions(bool all);
    void requestDone(Worker &worker, TSmtpRequest request, quint16 error);
    void dropClient(Worker &worker);
    void dropResolver(Worker &worker);
    void lifeSign(Worker &worker);
    void keepTargets(const QString &domain, const QList<MxTarget> &targets, quint32 ttl);
    // QUIT on a session that is done, without waiting for it.
    void closeQuietly(TSmtpCli *client);

    int m_connections = 1;
    int m_timeOut = 60;
    QString m_signon;
    QString m_from;
    QString m_dns;
    QString m_port = QStringLiteral("25");
    QStringList m_dnsServers;
    bool m_started = false;
    std::vector<std::unique_ptr<Worker>> m_workers;
    struct KeptTargets {
        QList<MxTarget> targets;
        QDeadlineTimer expires;
    };
    QHash<QString, KeptTargets> m_kept; // by domain in lower case
    // Sessions waiting for their next recipient, the longest waiting first.
    struct IdleSession {
        TSmtpCli *client = nullptr;
        QString host; // the exchanger address it talks to
        int messages = 0; // delivered on it so far
        QElapsedTimer idle;
    };
    std::vector<IdleSession> m_idle;
    int m_pendingReports = 0; // reports on their way to the owner
    QTimer m_supervision;     // every second: who has been silent too long
};

} // namespace varnholt
