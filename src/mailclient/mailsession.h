#pragma once

#include "mailclient/mailconnection.h"

#include <QObject>

#include <chrono>

// What `SendMail` and `GetMail` share: the connection, the busy and aborted
// flags, the last result, and the "done" notification, which is always
// posted so that `OnDone` runs after the handler that ended the session, and
// comes exactly once per session.

namespace varnholt {

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

    [[nodiscard]] int TimeoutConnect() const { return m_timeoutConnect; }
    void setTimeoutConnect(int seconds) { m_timeoutConnect = seconds; }
    [[nodiscard]] int TimeoutArp() const { return m_timeoutArp; }
    void setTimeoutArp(int seconds) { m_timeoutArp = seconds; }

    void setExtraCaCertificates(const QList<QSslCertificate> &certificates)
    {
        m_connection.setExtraCaCertificates(certificates);
    }
    // Time allowed for each server reply; by default 60 seconds, or
    // `TimeoutConnect` when that is longer.
    void setReplyTimeLimit(std::chrono::milliseconds limit) { m_replyLimitOverride = limit; }
    [[nodiscard]] std::chrono::milliseconds replyTimeLimit() const;

Q_SIGNALS:
    void OnDone();

protected:
    void beginSession();
    void postDone();
    // The first call of a session closes the connection and posts "done".
    void abortSession();
    [[nodiscard]] static QString localHostName();

    MailConnection m_connection;
    bool m_busy = false;
    bool m_aborted = false;
    int m_lastResult = 0;

private:
    bool m_winsockStarted = false;
    bool m_donePosted = false;
    int m_timeoutConnect = 0;
    int m_timeoutArp = 0;
    std::chrono::milliseconds m_replyLimitOverride{0};
};

} // namespace varnholt
