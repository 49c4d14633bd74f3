#pragma once

#include "mailclient/mailreply.h"

#include <QByteArray>
#include <QString>

// The POP3 log-in (RFC 1939 USER/PASS) as a state machine without a socket:
// fed the server's lines, it answers with command lines and the outcome.
// Every line is a status reply ("+OK" / "-ERR", Pop3Reply); anything else
// is a protocol error.

namespace varnholt {

class Pop3Dialogue
{
public:
    enum class State { Idle, Greeting, StlsReply, TlsHandshake, UserReply, PassReply, LoggedIn };

    class Events
    {
    public:
        virtual ~Events() = default;
        // `credentials` marks the password, which a protocol trace hides.
        virtual void sendCommand(const QByteArray &line, const QByteArray &logForm,
                                 bool credentials) = 0;
        virtual void userAccepted() = 0;
        virtual void accessGranted(const Pop3Reply &reply) = 0;
        virtual void accessDenied(const Pop3Reply &reply) = 0;
        // The server agreed to "STLS": start the TLS handshake.
        virtual void beginTls() = 0;
        virtual void stlsRefused(const Pop3Reply &reply) = 0;
        // A line that is not a POP3 reply, or too long; the dialogue stops.
        virtual void protocolError(const QString &text) = 0;
    };

    explicit Pop3Dialogue(Events &events) : m_events(events) {}

    // With `upgrade`, the greeting is answered with "STLS" (RFC 2595 4) and
    // the log-in follows the handshake.
    void start(const QString &user, const QString &password, bool upgrade = false);
    void handleLine(const QByteArray &line);
    void tlsEstablished();
    void stop() { m_state = State::Idle; }
    [[nodiscard]] State state() const { return m_state; }

    // The wire form of a command: at most 253 bytes, so that with CR LF it
    // stays within RFC 1939's 255, cut between characters.
    [[nodiscard]] static QByteArray commandLine(const QString &command);

private:
    Events &m_events;
    void sendUser();

    State m_state = State::Idle;
    bool m_upgrade = false;
    QString m_user;
    QString m_password;
};

} // namespace varnholt
