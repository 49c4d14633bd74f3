#include "mailclient/smtpdialogue.h"

#include "mailclient/mailerrors.h"
#include "mailclient/sasl.h"
#include "settings/syscharset.h"

namespace varnholt {

namespace {

// RFC 5321 4.2.1: "250-text" continues a reply, "250 text" (or a bare code)
// ends it.
bool isContinuation(const QByteArray &line)
{
    return line.size() > 3 && line[3] == '-';
}

QByteArray codeOf(const QByteArray &line)
{
    return line.left(3);
}

QByteArray wire(const QString &text)
{
    return SystemCharset::fromUnicode(text);
}

} // namespace

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
    m_extendedMode = 0;
    m_offersLogin = m_offersPlain = m_offersCramMd5 = m_offersDigestMd5 = false;
    m_offersStartTls = false;
    m_tlsActive = settings.security == TransportSecurity::Tls;
    m_mechanism = Mechanism::None;
    setState(State::Greeting);
}

void SmtpDialogue::startReusedConnection(const Envelope &envelope, bool keepConnectionOpen)
{
    m_envelope = envelope;
    m_settings.keepConnectionOpen = keepConnectionOpen;
    sendMailFrom();
}

void SmtpDialogue::send(const QByteArray &line, const QByteArray &logForm)
{
    m_events.sendCommand(line, logForm.isEmpty() ? line : logForm);
}

void SmtpDialogue::sendMailFrom()
{
    send("MAIL FROM:<" + wire(m_envelope.fromAddress) + '>');
    setState(State::MailFromReply);
}

void SmtpDialogue::sendRecipient()
{
    const QString &address = m_envelope.recipients.at(m_nextRecipient++);
    send("RCPT TO:<" + wire(address) + '>');
    m_events.recipient(address);
}

void SmtpDialogue::handleLine(const QByteArray &line)
{
    if (line.isEmpty() || m_state == State::Idle || m_state == State::Finished
        || m_state == State::TlsHandshake)
        return;
    const bool negative = line[0] == '-' || line[0] == '4' || line[0] == '5';
    const bool continuation = isContinuation(line);

    if (m_state == State::StartTlsReply) {
        // Never fall back to plain text once encryption was asked for.
        if (negative) {
            setState(State::Finished);
            m_events.failure(MailError::TlsFailure,
                             QStringLiteral("The server %1 refused STARTTLS: %2")
                                 .arg(QString::fromUtf8(m_settings.host),
                                      SystemCharset::toUnicode(line)));
        } else if (!continuation) {
            setState(State::TlsHandshake);
            m_events.beginTls();
        }
        return;
    }
    if (negative) {
        m_events.unexpectedReply(line);
        return;
    }

    switch (m_state) {
    case State::Greeting:
        onGreeting(line, continuation);
        return;
    case State::EhloReply:
        onEhloReply(line, continuation);
        return;
    default:
        break;
    }
    if (continuation)
        return;

    switch (m_state) {
    case State::AuthChallenge:
        onAuthChallenge(line);
        break;
    case State::AuthLoginPassword:
        if (codeOf(line) == "334") {
            const QByteArray password = m_settings.password.toBase64();
            send(password, "<password>");
            setState(State::AuthResult);
        } else {
            onAuthDone(line);
        }
        break;
    case State::AuthDigestFinal:
        // RFC 2831 2.1.3: the server proves itself with rspauth; the client
        // answers with an empty line and then gets the result.
        if (codeOf(line) == "334") {
            send(QByteArray());
            setState(State::AuthResult);
        } else {
            onAuthDone(line);
        }
        break;
    case State::AuthResult:
        onAuthDone(line);
        break;
    case State::AwaitMailFrom:
        sendMailFrom();
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
            m_events.accepted(line);
        } else {
            m_events.accepted(line);
            if (m_state == State::DotReply) {
                send("QUIT");
                setState(State::QuitReply);
            }
        }
        break;
    case State::QuitReply:
        setState(State::Finished);
        m_events.quitAnswered();
        break;
    default:
        break;
    }
}

void SmtpDialogue::onGreeting(const QByteArray &line, bool continuation)
{
    if (m_extendedMode == 0 && m_settings.smtpAuth) {
        if (line.contains("ESMTP"))
            m_extendedMode = 1;
        else if (line.contains("HELLO"))
            m_extendedMode = 2;
    }
    if (m_extendedMode == 0 && m_settings.smtpAuth)
        m_extendedMode = 1;
    // STARTTLS is an ESMTP extension (RFC 3207): it needs EHLO whatever
    // the account's authentication says.
    if (m_settings.security == TransportSecurity::StartTls)
        m_extendedMode = 1;
    if (continuation)
        return;
    if (m_extendedMode == 1) {
        send("EHLO " + m_settings.heloArgument);
        setState(State::EhloReply);
    } else {
        send("HELO " + m_settings.heloArgument);
        setState(State::AwaitMailFrom);
    }
}

void SmtpDialogue::onEhloReply(const QByteArray &line, bool continuation)
{
    if (line.size() > 4 && line.startsWith("250")) {
        if (line.mid(4, 4).toUpper() == "AUTH") {
            // "250-AUTH LOGIN PLAIN" and the older "250-AUTH=LOGIN" alike.
            for (const QByteArray &word : line.mid(9).split(' ')) {
                const QByteArray name = word.toUpper();
                m_offersLogin = m_offersLogin || name == "LOGIN";
                m_offersPlain = m_offersPlain || name == "PLAIN";
                m_offersCramMd5 = m_offersCramMd5 || name == "CRAM-MD5";
                m_offersDigestMd5 = m_offersDigestMd5 || name == "DIGEST-MD5";
            }
        } else if (line.mid(4).trimmed().toUpper() == "STARTTLS") {
            m_offersStartTls = true;
        }
    }
    if (continuation || codeOf(line) == "220")
        return;

    if (m_settings.security == TransportSecurity::StartTls && !m_tlsActive) {
        if (!m_offersStartTls) {
            setState(State::Finished);
            m_events.failure(MailError::TlsFailure,
                             QStringLiteral("The server %1 does not offer STARTTLS")
                                 .arg(QString::fromUtf8(m_settings.host)));
            return;
        }
        send("STARTTLS");
        setState(State::StartTlsReply);
        return;
    }
    if (!m_settings.smtpAuth) {
        // Only reached after STARTTLS: the design's dialogue uses EHLO only to
        // authenticate, and without authentication the sender comes next.
        sendMailFrom();
        return;
    }
    sendAuth();
}

void SmtpDialogue::sendAuth()
{
    m_mechanism = chooseMechanism(m_offersLogin, m_offersPlain, m_offersCramMd5, m_offersDigestMd5);
    switch (m_mechanism) {
    case Mechanism::CramMd5:
        send("AUTH CRAM-MD5");
        setState(State::AuthChallenge);
        break;
    case Mechanism::DigestMd5:
        send("AUTH DIGEST-MD5");
        setState(State::AuthChallenge);
        break;
    case Mechanism::Plain:
        // RFC 4954 4: the credentials go with the command as initial response.
        send("AUTH PLAIN " + Sasl::plainResponse(m_settings.user, m_settings.password),
             "AUTH PLAIN <credentials>");
        setState(State::AuthResult);
        break;
    default:
        send("AUTH LOGIN");
        setState(State::AuthChallenge);
        break;
    }
}

void SmtpDialogue::onAuthChallenge(const QByteArray &line)
{
    if (codeOf(line) != "334") {
        onAuthDone(line);
        return;
    }
    const QByteArrayView challenge = QByteArrayView(line).sliced(qMin<qsizetype>(4, line.size()));
    switch (m_mechanism) {
    case Mechanism::CramMd5:
        send(Sasl::cramMd5Response(m_settings.user, m_settings.password, challenge));
        setState(State::AwaitMailFrom);
        break;
    case Mechanism::DigestMd5: {
        const QByteArray cnonce = m_cnonce.isEmpty() ? Sasl::makeCnonce() : m_cnonce;
        const auto response = Sasl::digestMd5Response(m_settings.user, m_settings.password,
                                                      challenge, "smtp", m_settings.host, cnonce);
        if (response) {
            send(*response);
            setState(State::AuthDigestFinal);
        } else {
            // RFC 4954 4: "*" cancels an exchange the client cannot answer;
            // the server's refusal then ends the session.
            send("*");
            setState(State::AwaitMailFrom);
        }
        break;
    }
    default:
        send(m_settings.user.toBase64());
        setState(State::AuthLoginPassword);
        break;
    }
}

// A positive reply where a challenge or the result was expected: 235 lets the
// sender go; anything else cancels the exchange, and the server's refusal of
// "*" ends the session as an unexpected response.
void SmtpDialogue::onAuthDone(const QByteArray &line)
{
    if (codeOf(line) == "235") {
        sendMailFrom();
    } else {
        send("*");
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
    m_offersStartTls = false;
    send("EHLO " + m_settings.heloArgument);
    setState(State::EhloReply);
}

} // namespace varnholt
