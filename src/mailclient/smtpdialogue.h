#pragma once

#include "mailclient/mailreply.h"
#include "mailclient/transportsecurity.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The SMTP sending dialogue as a state machine without a socket: it is fed
// the server's reply lines (without CR LF), puts them together into whole
// replies, and answers each reply through `Events` with the command lines to
// send and the session's milestones. One command is answered at a time,
// without pipelining, so a dialogue can be replayed line by line from a
// protocol log. The greeting is always answered with EHLO, so that the
// server's extensions are known; a server that refuses EHLO gets HELO
// (RFC 5321 4.1.1.1, 4.1.4).

namespace varnholt {

class SmtpDialogue
{
public:
    enum class State {
        Idle,              // no session, or a kept connection between messages
        Greeting,          // waiting for the server's greeting
        EhloReply,         // collecting the EHLO reply (AUTH, STARTTLS, SMTPUTF8)
        HeloReply,         // EHLO was refused: "HELO" sent
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
        // One command line without CR LF; `logForm` is the same with the
        // password hidden. `credentials` marks the lines of the AUTH
        // exchange, which a protocol trace hides altogether.
        virtual void sendCommand(const QByteArray &line, const QByteArray &logForm,
                                 bool credentials) = 0;
        virtual void recipient(const QString &address) = 0;
        // A transient or permanent reply: the session waits for its owner
        // to cancel it.
        virtual void unexpectedReply(const SmtpReply &reply) = 0;
        // A failure that ends the session at once; `reply` when a server
        // reply caused it.
        virtual void failure(int number, const QString &text, const std::optional<SmtpReply> &reply) = 0;
        virtual void beginTls() = 0;
        // The server accepted "DATA": send the message, ending with ".".
        virtual void transmitMessage() = 0;
        virtual void accepted(const SmtpReply &reply) = 0;
        virtual void quitAnswered() = 0;
        // Settings::loginOnly: the dialogue got where the sender would be
        // named, after the log-in when one was asked for; `reply` is the
        // server's last (235 to AUTH, or the reply to EHLO or HELO). "QUIT"
        // follows unless the handler stops the dialogue.
        virtual void readyForMail(const SmtpReply &reply) { Q_UNUSED(reply); }
    };

    struct Settings {
        bool smtpAuth = false;
        QByteArray user;
        QByteArray password;
        QByteArray heloArgument;
        QByteArray host; // the server's name, for DIGEST-MD5's digest-uri and messages
        TransportSecurity security = TransportSecurity::None;
        bool keepConnectionOpen = false;
        // A connection test: greeting, TLS and log-in as for a message, then
        // "QUIT" where "MAIL FROM" would go (Events::readyForMail). With
        // `smtpAuth` it fails unless the server confirmed the log-in.
        bool loginOnly = false;
        // A session of many messages (SmtpPipeline): greeting, TLS and log-in
        // as for a message, then Events::readyForMail and the dialogue goes
        // Idle; the messages' transactions are another machine's.
        bool handOverAtMail = false;
    };

    // The sender and the recipients in the order they are named: the main
    // recipient first.
    struct Envelope {
        QString fromAddress;
        QStringList recipients;
        // RFC 6531: an address with characters beyond ASCII goes out only
        // with SMTPUTF8, in UTF-8.
        [[nodiscard]] bool needsSmtpUtf8() const;
    };

    explicit SmtpDialogue(Events &events) : m_events(events) {}

    // A fresh connection: wait for the greeting.
    void startConnection(const Settings &settings, const Envelope &envelope);
    // A connection kept open after the previous message: "MAIL FROM" goes at
    // once. A message that needs SMTPUTF8 fails at once when the server's
    // EHLO reply did not offer it (or the server refused EHLO).
    void startReusedConnection(const Envelope &envelope, bool keepConnectionOpen);
    void handleLine(const QByteArray &line);
    // A reply has begun and its last line is still to come.
    [[nodiscard]] bool isReplyOpen() const { return m_reader.isOpen(); }
    // The TLS layer is up after "STARTTLS": greet again (RFC 3207 4.2).
    void tlsEstablished();
    // Stops answering (cancel, error, closed connection).
    void stop() { m_state = State::Finished; }

    [[nodiscard]] State state() const { return m_state; }
    [[nodiscard]] Mechanism chosenMechanism() const { return m_mechanism; }
    // What the server's EHLO reply named; false after HELO.
    [[nodiscard]] bool offersSmtpUtf8() const { return m_offersSmtpUtf8; }
    // ... and whether it named PIPELINING (RFC 2920).
    [[nodiscard]] bool offersPipelining() const { return m_offersPipelining; }
    // For tests: a fixed DIGEST-MD5 client nonce.
    void setCnonceForTesting(const QByteArray &cnonce) { m_cnonce = cnonce; }

    // CRAM-MD5, DIGEST-MD5, PLAIN, LOGIN in this order of preference; LOGIN
    // also when the server named none.
    [[nodiscard]] static Mechanism chooseMechanism(bool login, bool plain, bool cramMd5,
                                                   bool digestMd5);
    // An address as a command names it: UTF-8 with SMTPUTF8 (RFC 6531 3.3),
    // else in the system's charset.
    [[nodiscard]] static QByteArray wireAddress(const QString &address, bool utf8);
    // Why the envelope or the greeting's own argument (`heloText`, empty
    // for the host's name) cannot go, if it cannot.
    [[nodiscard]] static std::optional<QString> unsafeInput(const Envelope &env, const QString &heloText);

private:
    void setState(State state) { m_state = state; }
    void send(const QByteArray &line, const QByteArray &logForm = {});
    void sendCredentials(const QByteArray &line, const QByteArray &logForm = {});
    void handleReply(const SmtpReply &reply);
    void onGreeting(const SmtpReply &reply);
    void onEhloReply(const SmtpReply &reply);
    void fallBackToHelo(const SmtpReply &refusal);
    void onAuthChallenge(const SmtpReply &reply);
    void onAuthDone(const SmtpReply &reply);
    void sendAuth();
    // What follows a positive reply that lets the sender go: "MAIL FROM",
    // or the end of a connection test.
    void proceedToMail(const SmtpReply &reply);
    void sendMailFrom();
    void sendRecipient();
    [[nodiscard]] bool refuseWithoutSmtpUtf8(const std::optional<SmtpReply> &reply);

    Events &m_events;
    Settings m_settings;
    Envelope m_envelope;
    State m_state = State::Idle;
    bool m_offersLogin = false;
    bool m_offersPlain = false;
    bool m_offersCramMd5 = false;
    bool m_offersDigestMd5 = false;
    bool m_offersStartTls = false;
    bool m_offersSmtpUtf8 = false;
    bool m_offersPipelining = false;
    bool m_tlsActive = false;
    bool m_utf8 = false; // this message goes with SMTPUTF8
    Mechanism m_mechanism = Mechanism::None;
    bool m_authCancelled = false; // the last credentials line was "*"
    bool m_loggedIn = false;      // the server confirmed the log-in
    qsizetype m_nextRecipient = 0;
    QByteArray m_cnonce;
    SmtpReplyReader m_reader;
};

} // namespace varnholt
