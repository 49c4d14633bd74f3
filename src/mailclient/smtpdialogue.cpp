#include "mailclient/smtpdialogue.h"

#include "mailclient/mailerrors.h"
#include "mailclient/sasl.h"
#include "settings/syscharset.h"

#include <algorithm>

namespace varnholt {

namespace {

bool hasNonAscii(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() >= 0x80; });
}

bool breaksCommandLine(const QString &text)
{
    for (const QChar c : text) {
        if (c == u'\r' || c == u'\n' || c == u'\0' || c == u'<' || c == u'>')
            return true;
    }
    return false;
}

// The text with control characters made visible, for an error message.
QString visible(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c == u'\r')
            out += QLatin1String("\\r");
        else if (c == u'\n')
            out += QLatin1String("\\n");
        else if (c == u'\0')
            out += QLatin1String("\\0");
        else
            out += c;
    }
    return out;
}

} // namespace

// A line break or angle bracket in an address would let a list entry add
// commands of its own to the dialogue (SMTP command injection).
std::optional<QString> SmtpDialogue::unsafeInput(const Envelope &env, const QString &heloText)
{
    if (breaksCommandLine(env.fromAddress))
        return QStringLiteral("Invalid address: ") + visible(env.fromAddress);
    for (const QString &address : env.recipients) {
        if (breaksCommandLine(address))
            return QStringLiteral("Invalid address: ") + visible(address);
    }
    if (breaksCommandLine(heloText))
        return QStringLiteral("Invalid greeting argument: ") + visible(heloText);
    return std::nullopt;
}

bool SmtpDialogue::Envelope::needsSmtpUtf8() const
{
    return hasNonAscii(fromAddress) || std::any_of(recipients.cbegin(), recipients.cend(), hasNonAscii);
}

SmtpDialogue::Mechanism SmtpDialogue::chooseMechanism(bool login, bool plain, bool cramMd5,
                                                      bool digestMd5)
{
    Q_UNUSED(login);
    if (cramMd5)
        return Mechanism::CramMd5;
    if (digestMd5)
        return Mechanism::DigestMd5;
    if (plain)
        return Mechanism::Plain;
    return Mechanism::Login;
}

void SmtpDialogue::startConnection(const Settings &settings, const Envelope &envelope)
{
    m_settings = settings;
    m_envelope = envelope;
    m_utf8 = envelope.needsSmtpUtf8();
    m_offersLogin = m_offersPlain = m_offersCramMd5 = m_offersDigestMd5 = false;
    m_offersStartTls = m_offersSmtpUtf8 = m_offersPipelining = false;
    m_tlsActive = settings.security == TransportSecurity::Tls;
    m_mechanism = Mechanism::None;
    m_authCancelled = m_loggedIn = false;
    m_reader.reset();
    setState(State::Greeting);
}

void SmtpDialogue::startReusedConnection(const Envelope &envelope, bool keepConnectionOpen)
{
    m_envelope = envelope;
    m_settings.keepConnectionOpen = keepConnectionOpen;
    m_utf8 = envelope.needsSmtpUtf8();
    m_reader.reset();
    // The connection's EHLO reply said whether SMTPUTF8 is offered; a new
    // connection to the same server would learn nothing else.
    if (refuseWithoutSmtpUtf8(std::nullopt))
        return;
    sendMailFrom();
}

void SmtpDialogue::send(const QByteArray &line, const QByteArray &logForm)
{
    m_events.sendCommand(line, logForm.isEmpty() ? line : logForm, false);
}

void SmtpDialogue::sendCredentials(const QByteArray &line, const QByteArray &logForm)
{
    m_authCancelled = line == "*"; // RFC 4954 4: the client gives up the exchange
    m_events.sendCommand(line, logForm.isEmpty() ? line : logForm, true);
}

QByteArray SmtpDialogue::wireAddress(const QString &address, bool utf8)
{
    return utf8 ? address.toUtf8() : SystemCharset::fromUnicode(address);
}

bool SmtpDialogue::refuseWithoutSmtpUtf8(const std::optional<SmtpReply> &reply)
{
    if (!m_utf8 || m_offersSmtpUtf8)
        return false;
    setState(State::Finished);
    const bool sender = hasNonAscii(m_envelope.fromAddress);
    m_events.failure(MailError::SmtpUtf8NotOffered,
                     TextSmtpUtf8NotOffered.arg(sender ? QStringLiteral("sender") : QStringLiteral("recipient")),
                     reply);
    return true;
}

void SmtpDialogue::proceedToMail(const SmtpReply &reply)
{
    if (m_settings.handOverAtMail) {
        setState(State::Idle);
        m_events.readyForMail(reply);
        return;
    }
    if (!m_settings.loginOnly) {
        sendMailFrom();
        return;
    }
    if (m_settings.smtpAuth && !m_loggedIn) {
        // EHLO was refused, or the exchange was given up with "*": a send
        // would go on without a log-in, a connection test must not say the
        // log-in worked.
        setState(State::Finished);
        m_events.failure(MailError::UnexpectedResponse,
                         QStringLiteral("The server %1 did not confirm a log-in: %2")
                             .arg(QString::fromUtf8(m_settings.host), SystemCharset::toUnicode(reply.summary())),
                         reply);
        return;
    }
    setState(State::QuitReply);
    m_events.readyForMail(reply);
    if (m_state == State::QuitReply)
        send("QUIT");
}

void SmtpDialogue::sendMailFrom()
{
    QByteArray line = "MAIL FROM:<" + wireAddress(m_envelope.fromAddress, m_utf8) + '>';
    if (m_utf8)
        line += " SMTPUTF8"; // RFC 6531 3.4
    send(line);
    setState(State::MailFromReply);
}

void SmtpDialogue::sendRecipient()
{
    const QString &address = m_envelope.recipients.at(m_nextRecipient++);
    send("RCPT TO:<" + wireAddress(address, m_utf8) + '>');
    m_events.recipient(address);
}

void SmtpDialogue::handleLine(const QByteArray &line)
{
    if (line.isEmpty() || m_state == State::Idle || m_state == State::Finished
        || m_state == State::TlsHandshake)
        return;
    switch (m_reader.feed(line)) {
    case SmtpReplyReader::Status::NeedMore:
        return;
    case SmtpReplyReader::Status::Complete:
        handleReply(m_reader.take());
        return;
    case SmtpReplyReader::Status::Malformed:
    case SmtpReplyReader::Status::TooLong:
        setState(State::Finished);
        m_events.failure(MailError::ProtocolError, m_reader.errorText(), std::nullopt);
        m_reader.reset();
        return;
    }
}

void SmtpDialogue::handleReply(const SmtpReply &reply)
{
    switch (m_state) {
    case State::StartTlsReply:
        // Never fall back to plain text once encryption was asked for.
        if (reply.isPositive()) {
            setState(State::TlsHandshake);
            m_events.beginTls();
        } else {
            setState(State::Finished);
            m_events.failure(MailError::TlsFailure,
                             QStringLiteral("The server %1 refused STARTTLS: %2")
                                 .arg(QString::fromUtf8(m_settings.host),
                                      SystemCharset::toUnicode(reply.summary())),
                             reply);
        }
        return;
    case State::QuitReply:
        // The message was accepted before "QUIT": whatever the server says
        // now, the session is over.
        setState(State::Finished);
        m_events.quitAnswered();
        return;
    case State::EhloReply:
        if (reply.isPermanent()) {
            fallBackToHelo(reply);
            return;
        }
        break;
    default:
        break;
    }
    if (!reply.isPositive()) {
        m_events.unexpectedReply(reply);
        return;
    }

    switch (m_state) {
    case State::Greeting:
        onGreeting(reply);
        break;
    case State::EhloReply:
        onEhloReply(reply);
        break;
    case State::HeloReply:
        proceedToMail(reply);
        break;
    case State::AuthChallenge:
        onAuthChallenge(reply);
        break;
    case State::AuthLoginPassword:
        if (reply.code() == 334) {
            sendCredentials(m_settings.password.toBase64(), "<password>");
            setState(State::AuthResult);
        } else {
            onAuthDone(reply);
        }
        break;
    case State::AuthDigestFinal:
        // RFC 2831 2.1.3: the server proves itself with rspauth; the client
        // answers with an empty line and then gets the result.
        if (reply.code() == 334) {
            sendCredentials(QByteArray());
            setState(State::AuthResult);
        } else {
            onAuthDone(reply);
        }
        break;
    case State::AuthResult:
        onAuthDone(reply);
        break;
    case State::AwaitMailFrom:
        // After a CRAM-MD5 response this reply is the log-in's result.
        if (m_mechanism != Mechanism::None && !m_authCancelled)
            m_loggedIn = true;
        proceedToMail(reply);
        break;
    case State::MailFromReply:
        m_nextRecipient = 0;
        setState(State::RcptReply);
        sendRecipient();
        break;
    case State::RcptReply:
        if (m_nextRecipient < m_envelope.recipients.size()) {
            sendRecipient();
        } else {
            send("DATA");
            setState(State::DataReply);
        }
        break;
    case State::DataReply:
        setState(State::DotReply);
        m_events.transmitMessage();
        break;
    case State::DotReply:
        if (m_settings.keepConnectionOpen) {
            setState(State::Idle);
            m_events.accepted(reply);
        } else {
            m_events.accepted(reply);
            if (m_state == State::DotReply) {
                send("QUIT");
                setState(State::QuitReply);
            }
        }
        break;
    default:
        break;
    }
}

void SmtpDialogue::onGreeting(const SmtpReply &reply)
{
    Q_UNUSED(reply);
    // EHLO whatever the account's authentication says: the reply tells
    // what the server offers (STARTTLS, AUTH, SMTPUTF8).
    send("EHLO " + m_settings.heloArgument);
    setState(State::EhloReply);
}

// RFC 5321 4.1.4: a server that does not know EHLO refuses it (500, 502, 504,
// 550, ...), and the client greets again with HELO on the same connection.
// Such a server offers no extension: what needs one fails here, before
// anything of the message is named.
void SmtpDialogue::fallBackToHelo(const SmtpReply &refusal)
{
    m_offersLogin = m_offersPlain = m_offersCramMd5 = m_offersDigestMd5 = false;
    m_offersStartTls = m_offersSmtpUtf8 = m_offersPipelining = false;
    if (m_settings.security == TransportSecurity::StartTls && !m_tlsActive) {
        setState(State::Finished);
        m_events.failure(MailError::TlsFailure,
                         QStringLiteral("The server %1 does not offer STARTTLS: it refused EHLO with %2")
                             .arg(QString::fromUtf8(m_settings.host), SystemCharset::toUnicode(refusal.summary())),
                         refusal);
        return;
    }
    if (refuseWithoutSmtpUtf8(refusal))
        return;
    // Without EHLO there is no AUTH: the server judges the sender itself,
    // as it does for an account that does not authenticate.
    send("HELO " + m_settings.heloArgument);
    setState(State::HeloReply);
}

void SmtpDialogue::onEhloReply(const SmtpReply &reply)
{
    if (reply.code() == 220)
        return; // the rest of a greeting: the reply to EHLO is still to come
    if (reply.code() == 250) {
        // The first line is normally the server's name, but a one-line
        // reply may name an extension there too.
        for (qsizetype i = 0; i < reply.wireLines().size(); ++i) {
            const QByteArray text = reply.lineText(i).toByteArray().trimmed().toUpper();
            if (text.startsWith("AUTH") && text.size() > 4) {
                // "250-AUTH LOGIN PLAIN" and the older "250-AUTH=LOGIN" alike.
                for (const QByteArray &name : text.mid(5).split(' ')) {
                    m_offersLogin = m_offersLogin || name == "LOGIN";
                    m_offersPlain = m_offersPlain || name == "PLAIN";
                    m_offersCramMd5 = m_offersCramMd5 || name == "CRAM-MD5";
                    m_offersDigestMd5 = m_offersDigestMd5 || name == "DIGEST-MD5";
                }
            } else if (text == "STARTTLS") {
                m_offersStartTls = true;
            } else if (text == "SMTPUTF8") {
                m_offersSmtpUtf8 = true;
            } else if (text == "PIPELINING") {
                m_offersPipelining = true;
            }
        }
    }

    if (m_settings.security == TransportSecurity::StartTls && !m_tlsActive) {
        if (!m_offersStartTls) {
            setState(State::Finished);
            m_events.failure(MailError::TlsFailure,
                             QStringLiteral("The server %1 does not offer STARTTLS")
                                 .arg(QString::fromUtf8(m_settings.host)),
                             reply);
            return;
        }
        send("STARTTLS");
        setState(State::StartTlsReply);
        return;
    }
    if (refuseWithoutSmtpUtf8(reply))
        return;
    if (!m_settings.smtpAuth) {
        proceedToMail(reply);
        return;
    }
    sendAuth();
}

void SmtpDialogue::sendAuth()
{
    m_mechanism = chooseMechanism(m_offersLogin, m_offersPlain, m_offersCramMd5, m_offersDigestMd5);
    switch (m_mechanism) {
    case Mechanism::CramMd5:
        sendCredentials("AUTH CRAM-MD5");
        setState(State::AuthChallenge);
        break;
    case Mechanism::DigestMd5:
        sendCredentials("AUTH DIGEST-MD5");
        setState(State::AuthChallenge);
        break;
    case Mechanism::Plain:
        // RFC 4954 4: the credentials go with the command as initial response.
        sendCredentials("AUTH PLAIN " + Sasl::plainResponse(m_settings.user, m_settings.password),
                        "AUTH PLAIN <credentials>");
        setState(State::AuthResult);
        break;
    default:
        sendCredentials("AUTH LOGIN");
        setState(State::AuthChallenge);
        break;
    }
}

void SmtpDialogue::onAuthChallenge(const SmtpReply &reply)
{
    if (reply.code() != 334) {
        onAuthDone(reply);
        return;
    }
    const QByteArrayView challenge = reply.lineText(0);
    switch (m_mechanism) {
    case Mechanism::CramMd5:
        sendCredentials(Sasl::cramMd5Response(m_settings.user, m_settings.password, challenge));
        setState(State::AwaitMailFrom);
        break;
    case Mechanism::DigestMd5: {
        const QByteArray cnonce = m_cnonce.isEmpty() ? Sasl::makeCnonce() : m_cnonce;
        const auto response = Sasl::digestMd5Response(m_settings.user, m_settings.password,
                                                      challenge, "smtp", m_settings.host, cnonce);
        if (response) {
            sendCredentials(*response);
            setState(State::AuthDigestFinal);
        } else {
            // RFC 4954 4: "*" cancels an exchange the client cannot answer;
            // the server's refusal then ends the session.
            sendCredentials("*");
            setState(State::AwaitMailFrom);
        }
        break;
    }
    default:
        sendCredentials(m_settings.user.toBase64());
        setState(State::AuthLoginPassword);
        break;
    }
}

// A positive reply where a challenge or the result was expected: 235 lets the
// sender go; anything else cancels the exchange, and the server's refusal of
// "*" ends the session as an unexpected response.
void SmtpDialogue::onAuthDone(const SmtpReply &reply)
{
    if (reply.code() == 235) {
        m_loggedIn = true;
        proceedToMail(reply);
    } else {
        sendCredentials("*");
        setState(State::AwaitMailFrom);
    }
}

void SmtpDialogue::tlsEstablished()
{
    if (m_state != State::TlsHandshake)
        return;
    m_tlsActive = true;
    // RFC 3207 4.2: forget everything learnt before the handshake.
    m_offersLogin = m_offersPlain = m_offersCramMd5 = m_offersDigestMd5 = false;
    m_offersStartTls = m_offersSmtpUtf8 = m_offersPipelining = false;
    m_reader.reset();
    send("EHLO " + m_settings.heloArgument);
    setState(State::EhloReply);
}

} // namespace varnholt
