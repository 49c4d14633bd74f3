#include "mailclient/getmail.h"

#include "mailclient/mailerrors.h"
#include "settings/syscharset.h"

#include <QMetaMethod>

namespace varnholt {

GetMail::GetMail(QObject *parent) : MailSession(parent), m_dialogue(*this)
{
    connect(&m_connection, &MailConnection::tlsEstablished, this,
            [this] { m_dialogue.tlsEstablished(); });
}

GetMail::~GetMail()
{
    m_connection.disconnect(this);
    m_connection.close();
}

void GetMail::setMail_Action(TGetMailAction action)
{
    m_action = action;
    if (action == Get_Mail)
        start();
    else if (action == Cancel_GetMail && m_busy)
        cancelSession();
}

void GetMail::StopSession()
{
    setMail_Action(Cancel_GetMail);
}

Pop3Result GetMail::result() const
{
    Pop3Result result;
    static_cast<MailResult &>(result) = m_outcome;
    result.reply = m_reply;
    return result;
}

void GetMail::start()
{
    if (m_busy) {
        emit OnMailInfo(giBusy, QString());
        return;
    }
    beginSession();
    m_reply.reset();
    for (const QString &text : {m_userId, m_userPassword}) {
        if (text.contains(u'\r') || text.contains(u'\n') || text.contains(u'\0')) {
            // A line break would add a command of its own to the dialogue.
            failAndAbort(MailError::UnsafeInput,
                         QStringLiteral("The user name or password contains a line break"), Cause::Local);
            return;
        }
    }
    m_dialogue.start(m_userId, m_userPassword, m_security == TransportSecurity::StartTls);
    openConnection(m_mailServer, m_mailPort, m_security);
}

void GetMail::reportInfo(Info info, const QString &text)
{
    // In the order of MailSession::Info.
    static constexpr GetMailInfo numbers[] = {giResolving, giResolved, giConnected, giDisconnected, giSent};
    emit OnMailInfo(numbers[int(info)], text);
}

bool GetMail::infoWanted() const
{
    static const QMetaMethod signal = QMetaMethod::fromSignal(&GetMail::OnMailInfo);
    return isSignalConnected(signal);
}

void GetMail::lineReceived(const QByteArray &line)
{
    m_connection.stopReplyTimer();
    if (!m_busy || m_aborted)
        return;
    m_dialogue.handleLine(line);
}

void GetMail::closedByPeer()
{
    m_dialogue.stop();
    reportInfo(Info::Disconnected, QString());
    if (!m_busy || m_aborted)
        return;
    // The log-in never sends QUIT, so any close by the server is premature.
    failAndAbort(MailError::PrematurelyDisconnected, TextPrematurelyDisconnected, Cause::Connection);
}

void GetMail::sendCommand(const QByteArray &line, const QByteArray &logForm, bool credentials)
{
    sendCommandLine(line, logForm, credentials);
}

void GetMail::userAccepted()
{
    emit OnMailInfo(giUserAccepted, QString());
}

void GetMail::accessGranted(const Pop3Reply &reply)
{
    if (!settled())
        m_reply = reply;
    succeed();
    emit OnMailInfo(giAccessGranted, QStringLiteral("Access Granted"));
}

void GetMail::accessDenied(const Pop3Reply &reply)
{
    if (!settled())
        m_reply = reply;
    failAndAbort(MailError::AccessDenied, TextAccessDenied, Cause::Reply);
}

void GetMail::beginTls()
{
    m_connection.startTls();
}

void GetMail::stlsRefused(const Pop3Reply &reply)
{
    if (!settled())
        m_reply = reply;
    failAndAbort(MailError::TlsFailure, QStringLiteral("The server %1 refused STLS: %2")
                                            .arg(m_mailServer, SystemCharset::toUnicode(reply.line())),
                 Cause::Reply);
}

void GetMail::protocolError(const QString &text)
{
    failAndAbort(MailError::ProtocolError, text, Cause::Reply);
}

} // namespace varnholt
