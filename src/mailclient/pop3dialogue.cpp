#include "mailclient/pop3dialogue.h"

#include "mailclient/mailerrors.h"
#include "settings/syscharset.h"

namespace varnholt {

QByteArray Pop3Dialogue::commandLine(const QString &command)
{
    constexpr qsizetype limit = 253;
    QString text = command.left(limit);
    QByteArray bytes = SystemCharset::fromUnicode(text);
    while (bytes.size() > limit) {
        text.chop(text.size() > 1 && text.back().isLowSurrogate() ? 2 : 1);
        bytes = SystemCharset::fromUnicode(text);
    }
    return bytes;
}

void Pop3Dialogue::start(const QString &user, const QString &password, bool upgrade)
{
    m_user = user;
    m_password = password;
    m_upgrade = upgrade;
    m_state = State::Greeting;
}

void Pop3Dialogue::sendUser()
{
    m_state = State::UserReply;
    const QByteArray line = commandLine(QStringLiteral("USER ") + m_user);
    m_events.sendCommand(line, line, false);
}

void Pop3Dialogue::tlsEstablished()
{
    if (m_state == State::TlsHandshake)
        sendUser();
}

void Pop3Dialogue::handleLine(const QByteArray &line)
{
    if (line.isEmpty() || m_state == State::Idle || m_state == State::LoggedIn
        || m_state == State::TlsHandshake)
        return;
    const std::optional<Pop3Reply> reply =
        line.size() > ReplyLimits::MaxLineBytes ? std::nullopt : Pop3Reply::parse(line);
    if (!reply) {
        m_state = State::Idle;
        m_events.protocolError(line.size() > ReplyLimits::MaxLineBytes
                                   ? TextReplyLineTooLong
                                   : QStringLiteral("The server sent a line that is not a POP3 reply: ")
                                         + quotedServerLine(line));
        return;
    }
    if (m_state == State::StlsReply) {
        if (reply->isPositive()) {
            m_state = State::TlsHandshake;
            m_events.beginTls();
        } else {
            m_state = State::Idle;
            m_events.stlsRefused(*reply);
        }
        return;
    }
    if (reply->isNegative()) {
        m_state = State::Idle;
        m_events.accessDenied(*reply);
        return;
    }
    switch (m_state) {
    case State::Greeting:
        if (m_upgrade) {
            m_state = State::StlsReply;
            m_events.sendCommand("STLS", "STLS", false);
        } else {
            sendUser();
        }
        break;
    case State::UserReply: {
        m_state = State::PassReply;
        m_events.userAccepted();
        if (m_state == State::PassReply)
            m_events.sendCommand(commandLine(QStringLiteral("PASS ") + m_password), "PASS <password>",
                                 true);
        break;
    }
    case State::PassReply:
        m_state = State::LoggedIn;
        m_events.accessGranted(*reply);
        break;
    default:
        break;
    }
}

} // namespace varnholt
