#pragma once

#include "mailclient/mailconnection.h"
#include "mailclient/mailerrors.h"
#include "mime/mimeassembler.h"

#include <QIODevice>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>

// What `SendMail` and `GetMail` share: the connection and its wiring, the
// busy and aborted flags, the time limits, the raising of errors, the one
// result of each session, the protocol trace, and the "done" notification,
// which is always posted so that `OnDone` runs after the handler that ended
// the session, and comes exactly once per session.

namespace varnholt {

// How a session ended. Set once, by the first success or failure; `OnDone`
// comes after it.
struct MailResult {
    bool ok = false;
    int error = 0;  // a MailError number; 0 when ok
    QString text;   // the text the error event carried; empty when ok
    // The last command sent, in its log form (no password): the one the
    // server's reply answered, or the one still waiting for a reply.
    QByteArray command;
    // The failure came from the connection, not from a server reply:
    // refused, lookup failure, time-out, reset or closed, no greeting, TLS
    // handshake.
    bool connectionFailure = false;

    [[nodiscard]] bool isConnectionFailure() const { return connectionFailure; }
};

class MailSession : public QObject
{
    Q_OBJECT
public:
    explicit MailSession(QObject *parent = nullptr);

    [[nodiscard]] bool Busy() const { return m_busy; }
    // Starting the socket library always succeeds here; the flag is kept
    // for owners that read it.
    [[nodiscard]] bool WinsockStarted() const { return m_winsockStarted; }
    void setWinsockStarted(bool started) { m_winsockStarted = started; }
    [[nodiscard]] int lastResult() const { return m_lastResult; }

    // Seconds for the name lookup and for the connection set-up. As given;
    // a session uses effectiveTimeLimit() of them.
    [[nodiscard]] int TimeoutConnect() const { return m_timeoutConnect; }
    void setTimeoutConnect(int seconds) { m_timeoutConnect = seconds; }
    [[nodiscard]] int TimeoutArp() const { return m_timeoutArp; }
    void setTimeoutArp(int seconds) { m_timeoutArp = seconds; }
    // 0 (or less) means the default of 60 seconds, never "no limit"; more
    // than 600 seconds is cut to 600.
    [[nodiscard]] static int effectiveTimeLimit(int seconds);

    void setExtraCaCertificates(const QList<QSslCertificate> &certificates)
    {
        m_connection.setExtraCaCertificates(certificates);
    }
    // Time allowed for each server reply, continuation lines included; by
    // default 60 seconds, or the connection time limit when that is longer.
    void setReplyTimeLimit(std::chrono::milliseconds limit) { m_replyLimitOverride = limit; }
    [[nodiscard]] std::chrono::milliseconds replyTimeLimit() const;

    // Writes the dialogue in the test-script form of tests/common/scriptedpeer.h,
    // one line each: "C: EHLO host", "S: 250-...", "CLOSE" when the server
    // closes, "RESET" when it resets. The AUTH exchange and passwords show
    // as "C: <credentials hidden>", a message as "C: <message N bytes>" and
    // "C: .". nullptr (the default) switches it off.
    void setTrace(QIODevice *trace) { m_trace = trace; }

    [[nodiscard]] const MailConnection &connection() const { return m_connection; }

Q_SIGNALS:
    void OnDone();
    void OnMailError(int error, const QString &addinfo);

protected:
    // The shared moments of a session; each client has its own number for them.
    enum class Info { Resolving, Resolved, Connected, Disconnected, Sent };
    enum class Cause { Reply, Connection, Local };

    // The subclass's information event for one of the shared moments.
    virtual void reportInfo(Info info, const QString &text) = 0;
    // Whether anyone listens to the information events: their texts are
    // only made for a listener.
    [[nodiscard]] virtual bool infoWanted() const = 0;
    // The subclass's number for a socket failure.
    [[nodiscard]] virtual int socketErrorNumber(const SocketErrorEntry &entry) const = 0;
    virtual void lineReceived(const QByteArray &line) = 0;
    virtual void closedByPeer() = 0;
    // After Info::Connected, with the line buffer empty.
    virtual void connected() {}
    // A socket failure or time-out while a session runs; by default an
    // error and the end of the session.
    virtual void connectionFailed(int number, const QString &text);
    virtual void timedOut();
    // The connection went away while no session runs.
    virtual void connectionLostWhileIdle() {}
    // The session's own clean-up when it is aborted.
    virtual void cleanUpForAbort() {}

    void beginSession();
    void openConnection(const QString &server, quint16 port, TransportSecurity security);
    // Hands a command line to the connection and starts the reply time limit.
    void sendCommandLine(const QByteArray &line, const QByteArray &logForm, bool credentials);
    void setLastCommand(const QByteArray &logForm) { m_lastCommand = logForm; }
    // Raises the error event; the first success or failure is the result.
    void fail(int number, const QString &text, Cause cause);
    void failAndAbort(int number, const QString &text, Cause cause);
    void succeed();
    [[nodiscard]] bool settled() const { return m_settled; }
    // Last result 14, no error event, then abort.
    void cancelSession();
    // The first call of a session closes the connection and posts "done".
    void abort();
    void postDone();

    // Writes a message's body, piece by piece from `assembler`, while the
    // socket's queue is short; `pulling` is set while the assembler works.
    // The final "." is left out: it goes after the owner's last word on the
    // message. `shown` sees each piece before it goes.
    enum class BodyStep {
        Waiting,  // the socket's bytesWritten brings the owner back for more
        Finished, // all but the "." is written
        Stopped,  // the session, the assembler or the connection ended meanwhile
    };
    BodyStep writeBody(QPointer<MimeAssembler> &assembler, bool &pulling, qint64 &bytes,
                       const std::function<void(const QByteArray &)> &shown = {});

    // Ends a message's assembler: aborted unless it finished, deleted at
    // once, or later when this comes from inside one of its own calls
    // (`pulling`).
    void dropAssembler(QPointer<MimeAssembler> &assembler, bool pulling);

    [[nodiscard]] bool tracing() const { return !m_trace.isNull(); }
    // One trace line: `prefix` then `text`, with CR and LF inside shown as
    // "\r" and "\n" so that the line stays one line.
    void trace(QByteArrayView prefix, QByteArrayView text = {});

    [[nodiscard]] static QString localHostName();

    MailConnection m_connection;
    bool m_busy = false;
    bool m_aborted = false;
    int m_lastResult = 0;
    MailResult m_outcome;

private:
    void onConnected(const QString &address);
    void onLine(const QByteArray &line);
    void onClosedByPeer();
    void onFailed(int socketCode, const QString &detail);
    void onTlsFailed(const QString &text);
    void onTimedOut();
    void onLineTooLong();

    bool m_winsockStarted = false;
    bool m_donePosted = false;
    bool m_settled = false;
    int m_timeoutConnect = 0;
    int m_timeoutArp = 0;
    std::chrono::milliseconds m_replyLimitOverride{0};
    QByteArray m_lastCommand;
    QPointer<QIODevice> m_trace;
};

} // namespace varnholt
