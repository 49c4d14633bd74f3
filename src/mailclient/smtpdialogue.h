#pragma once

#include "mailclient/transportsecurity.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The SMTP sending dialogue as a state machine without a socket: it is fed
// the server's reply lines (without CR LF) and answers through `Events` with
// the command lines to send and the session's milestones. One reply line is
// answered at a time, without pipelining, so a dialogue can be replayed line
// by line from a protocol log.

namespace varnholt {

class SmtpDialogue
{
public:
    enum class State {
        Idle,              // no session, or a kept connection between messages
        Greeting,          // waiting for the server's greeting
        EhloReply,         // collecting the EHLO reply (AUTH, STARTTLS)
        StartTlsReply,     // "STARTTLS" sent
        TlsHandshake,      // the TLS layer is negotiating
        AuthChallenge,     // "AUTH ..." sent, first challenge expected
        AuthLoginPassword, // LOGIN: user name sent, password challenge expected
        AuthDigestFinal,   // DIGEST-MD5: response sent, rspauth or result expected
        AuthResult,        // last credentials sent, 235 expected
        AwaitMailFrom,     // the next positive reply lets "MAIL FROM" go
        MailFromReply,
        RcptReply,
        DataReply,
        DotReply,          // the message and "." were sent
        QuitReply,
        Finished,
    };

    enum class Mechanism { None, Login, Plain, CramMd5, DigestMd5 };

    class Events
    {
    public:
        virtual ~Events() = default;
        // One command line without CR LF; `logForm` is the same with
        // credentials hidden.
        virtual void sendCommand(const QByteArray &line, const QByteArray &logForm) = 0;
        virtual void recipient(const QString &address) = 0;
        // A reply starting with "4", "5" or "-": the session waits for its
        // owner to cancel it.
        virtual void unexpectedReply(const QByteArray &line) = 0;
        // A failure that ends the session at once.
        virtual void failure(int number, const QString &text) = 0;
        virtual void beginTls() = 0;
        // The server accepted "DATA": send the message, ending with ".".
        virtual void transmitMessage() = 0;
        virtual void accepted(const QByteArray &line) = 0;
        virtual void quitAnswered() = 0;
    };

    struct Settings {
        bool smtpAuth = false;
        QByteArray user;
        QByteArray password;
        QByteArray heloArgument;
        QByteArray host; // the server's name, for DIGEST-MD5's digest-uri and messages
        TransportSecurity security = TransportSecurity::None;
        bool keepConnectionOpen = false;
    };

    // The sender and the recipients in the order they are named: the main
    // recipient first.
    struct Envelope {
        QString fromAddress;
        QStringList recipients;
    };

    explicit SmtpDialogue(Events &events) : m_events(events) {}

    // A fresh connection: wait for the greeting.
    void startConnection(const Settings &settings, const Envelope &envelope);
    // A connection kept open after the previous message: "MAIL FROM" goes at once.
    void startReusedConnection(const Envelope &envelope, bool keepConnectionOpen);
    void handleLine(const QByteArray &line);
    // The TLS layer is up after "STARTTLS": greet again (RFC 3207 4.2).
    void tlsEstablished();
    // Stops answering (cancel, error, closed connection).
    void stop() { m_state = State::Finished; }

    [[nodiscard]] State state() const { return m_state; }
    [[nodiscard]] Mechanism chosenMechanism() const { return m_mechanism; }
    // For tests: a fixed DIGEST-MD5 client nonce.
    void setCnonceForTesting(const QByteArray &cnonce) { m_cnonce = cnonce; }

    // CRAM-MD5, DIGEST-MD5, PLAIN, LOGIN in this order of preference; LOGIN
    // also when the server named none.
    [[nodiscard]] static Mechanism chooseMechanism(bool login, bool plain, bool cramMd5,
                                                   bool digestMd5);

private:
    void setState(State state) { m_state = state; }
    void send(const QByteArray &line, const QByteArray &logForm = {});
    void onGreeting(const QByteArray &line, bool continuation);
    void onEhloReply(const QByteArray &line, bool continuation);
    void onAuthChallenge(const QByteArray &line);
    void onAuthDone(const QByteArray &line);
    void sendAuth();
    void sendMailFrom();
    void sendRecipient();

    Events &m_events;
    Settings m_settings;
    Envelope m_envelope;
    State m_state = State::Idle;
    int m_extendedMode = 0; // 0 undecided, 1 EHLO, 2 HELO
    bool m_offersLogin = false;
    bool m_offersPlain = false;
    bool m_offersCramMd5 = false;
    bool m_offersDigestMd5 = false;
    bool m_offersStartTls = false;
    bool m_tlsActive = false;
    Mechanism m_mechanism = Mechanism::None;
    qsizetype m_nextRecipient = 0;
    QByteArray m_cnonce;
};

} // namespace varnholt
