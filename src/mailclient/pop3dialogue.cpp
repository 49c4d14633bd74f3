#include "mailclient/pop3dialogue.h"

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
    m_events.sendCommand(line, line);
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
    if (m_state == State::StlsReply) {
        if (line[0] == '+') {
            m_state = State::TlsHandshake;
            m_events.beginTls();
        } else if (line[0] == '-') {
            m_state = State::Idle;
            m_events.stlsRefused(line);
        }
        return;
    }
    if (line[0] == '-') {
        m_state = State::Idle;
        m_events.accessDenied(line);
        return;
    }
    if (line[0] != '+')
        return;
    switch (m_state) {
    case State::Greeting:
        if (m_upgrade) {
            m_state = State::StlsReply;
            m_events.sendCommand("STLS", "STLS");
        } else {
            sendUser();
        }
        break;
    case State::UserReply: {
        m_state = State::PassReply;
        m_events.userAccepted();
        if (m_state == State::PassReply)
            m_events.sendCommand(commandLine(QStringLiteral("PASS ") + m_password), "PASS <password>");
        break;
    }
    case State::PassReply:
        m_state = State::LoggedIn;
        m_events.accessGranted();
        break;
    default:
        break;
    }
}

} // namespace varnholt
