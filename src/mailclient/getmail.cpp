#include "mailclient/getmail.h"

#include "mailclient/mailerrors.h"
#include "settings/syscharset.h"

namespace varnholt {

GetMail::GetMail(QObject *parent) : MailSession(parent), m_dialogue(*this)
{
    connect(&m_connection, &MailConnection::resolving, this,
            [this](const QString &host) { emit OnMailInfo(giResolving, host); });
    connect(&m_connection, &MailConnection::resolved, this,
            [this](const QString &address) { emit OnMailInfo(giResolved, address); });
    connect(&m_connection, &MailConnection::connected, this, &GetMail::onConnected);
    connect(&m_connection, &MailConnection::tlsEstablished, this,
            [this] { m_dialogue.tlsEstablished(); });
    connect(&m_connection, &MailConnection::lineReceived, this, &GetMail::onLine);
    connect(&m_connection, &MailConnection::closedByPeer, this, &GetMail::onClosedByPeer);
    connect(&m_connection, &MailConnection::failed, this, &GetMail::onFailed);
    connect(&m_connection, &MailConnection::tlsFailed, this, &GetMail::onTlsFailed);
    connect(&m_connection, &MailConnection::timedOut, this, [this] {
        if (!m_busy || m_aborted)
            return;
        raiseError(MailError::TimedOut, TextConnectionTimedOut);
        abort();
    });
}

GetMail::~GetMail()
{
    m_connection.disconnect(this);
    m_connection.close();
}

void GetMail::setMail_Action(TGetMailAction action)
{
    m_action = action;
    if (action == Get_Mail) {
        start();
    } else if (action == Cancel_GetMail && m_busy) {
        m_lastResult = MailError::Cancelled;
        m_dialogue.stop();
        abort();
    }
}

void GetMail::StopSession()
{
    setMail_Action(Cancel_GetMail);
}

void GetMail::start()
{
    if (m_busy) {
        emit OnMailInfo(giBusy, QString());
        return;
    }
    beginSession();
    for (const QString &text : {m_userId, m_userPassword}) {
        if (text.contains(u'\r') || text.contains(u'\n') || text.contains(u'\0')) {
            // A line break would add a command of its own to the dialogue.
            raiseError(MailError::UnsafeInput,
                       QStringLiteral("The user name or password contains a line break"));
            abort();
            return;
        }
    }
    setWinsockStarted(true);
    m_dialogue.start(m_userId, m_userPassword, m_security == TransportSecurity::StartTls);
    m_connection.setTimeouts(TimeoutArp(), TimeoutConnect());
    m_connection.setHandshakeTimeLimit(replyTimeLimit());
    m_connection.open(m_mailServer, m_mailPort, m_security);
}

void GetMail::raiseError(int number, const QString &text)
{
    m_lastResult = number;
    emit OnMailError(number, text);
}

void GetMail::onConnected(const QString &address)
{
    emit OnMailInfo(giConnected, address);
    m_connection.clearLineBuffer();
    if (!m_aborted)
        m_connection.armReplyTimer(replyTimeLimit());
}

void GetMail::onLine(const QByteArray &line)
{
    m_connection.stopReplyTimer();
    if (!m_busy || m_aborted)
        return;
    m_dialogue.handleLine(line);
}

void GetMail::onClosedByPeer()
{
    m_dialogue.stop();
    emit OnMailInfo(giDisconnected, QString());
    if (!m_busy || m_aborted)
        return;
    // The log-in never sends QUIT, so any close by the server is premature.
    raiseError(MailError::PrematurelyDisconnected, TextPrematurelyDisconnected);
    abort();
}

void GetMail::onFailed(int socketCode, const QString &detail)
{
    Q_UNUSED(detail);
    if (!m_busy || m_aborted)
        return;
    const SocketErrorEntry entry = socketErrorEntry(socketCode);
    raiseError(entry.getMailNumber, entry.text);
    abort();
}

void GetMail::onTlsFailed(const QString &text)
{
    if (!m_busy || m_aborted)
        return;
    raiseError(MailError::TlsFailure, text);
    abort();
}

void GetMail::sendCommand(const QByteArray &line, const QByteArray &logForm)
{
    emit OnMailInfo(giSent, SystemCharset::toUnicode(logForm) + QLatin1String("\r\n"));
    if (m_aborted)
        return;
    m_connection.sendLine(line);
    m_connection.armReplyTimer(replyTimeLimit());
}

void GetMail::userAccepted()
{
    emit OnMailInfo(giUserAccepted, QString());
}

void GetMail::accessGranted()
{
    emit OnMailInfo(giAccessGranted, QStringLiteral("Access Granted"));
}

void GetMail::accessDenied(const QByteArray &line)
{
    Q_UNUSED(line);
    raiseError(MailError::AccessDenied, TextAccessDenied);
    abort();
}

void GetMail::beginTls()
{
    m_connection.startTls();
}

void GetMail::stlsRefused(const QByteArray &line)
{
    raiseError(MailError::TlsFailure, QStringLiteral("The server %1 refused STLS: %2")
                                          .arg(m_mailServer, SystemCharset::toUnicode(line)));
    abort();
}

} // namespace varnholt
