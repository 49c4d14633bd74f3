#include "sending/messagetransport.h"

namespace varnholt {

AccountTransport::AccountTransport(QObject *parent)
    : MessageTransport(parent)
{
    m_smtp.setKeepConnectionOpen(true);
    m_smtp.setBeforeFinalDot([this] { return !m_beforeCommit || m_beforeCommit(m_row); });
    connect(&m_smtp, &SendMail::OnMailInfo, this, &AccountTransport::onSmtpInfo);
    // After a refusal the session waits for its owner to end it.
    connect(&m_smtp, &SendMail::OnMailError, this, [this] {
        if (m_handedOver && m_smtp.Busy())
            m_smtp.setAction(SendMail::Cancel_SendMail);
    });
    connect(&m_smtp, &SendMail::OnDone, this, &AccountTransport::onSmtpDone);
    connect(&m_pop3, &GetMail::OnMailInfo, this, &AccountTransport::onPopInfo);
    connect(&m_pop3, &GetMail::OnMailError, this, &AccountTransport::onPopError);
    connect(&m_pop3, &GetMail::OnDone, this, &AccountTransport::onPopDone);
    m_reloginTimer.setSingleShot(true);
    connect(&m_reloginTimer, &QTimer::timeout, this, [this] { m_reloginDue = true; });
}

AccountTransport::~AccountTransport()
{
    // The sessions are members: closing them sends nothing more here.
    disconnect(&m_smtp, nullptr, this, nullptr);
    disconnect(&m_pop3, nullptr, this, nullptr);
}

void AccountTransport::configure(const tAccountObj &account, const TIniInfo &project)
{
    m_account = account;
    m_project = project;
    m_settings = SmtpSessionSettings::from(account, project);
    m_loggedIn = false;
    m_reloginDue = false;
    m_reloginTimer.stop();
}

QString AccountTransport::serverName() const
{
    return QStringLiteral("%1:%2").arg(m_settings.server).arg(m_settings.port);
}

bool AccountTransport::loginDue() const
{
    return m_project.Pop3Identify && (!m_loggedIn || m_reloginDue);
}

void AccountTransport::login()
{
    m_reloginDue = false;
    m_reloginTimer.stop();
    m_loginOk = false;
    m_loginError.clear();
    m_pop3.setTimeoutArp(m_project.TimeOut);
    m_pop3.setTimeoutConnect(m_project.TimeOut);
    m_pop3.setMail_Server(m_account.PopServer);
    m_pop3.setMail_Port(quint16(m_account.PopPort));
    m_pop3.setUser_ID(m_account.UserID);
    m_pop3.setUser_Password(m_account.Password);
    m_pop3.setSecurity(transportSecurityOf(m_account.Security));
    m_pop3.setMail_Action(GetMail::Get_Mail);
}

void AccountTransport::onPopInfo(GetMail::GetMailInfo info, const QString &)
{
    if (info != GetMail::giAccessGranted || m_loginOk)
        return;
    m_loginOk = true;
    m_pop3.StopSession(); // its end tells the run
    if (m_project.AutoCommit && m_project.AutoCommitT > 0)
        m_reloginTimer.start(std::chrono::milliseconds(qint64(m_project.AutoCommitT) * 60000));
}

void AccountTransport::onPopError(int, const QString &text)
{
    if (m_loginOk || !m_loginError.isEmpty())
        return;
    m_loginError = text;
    m_reloginTimer.stop();
    m_pop3.StopSession();
}

void AccountTransport::onPopDone()
{
    if (m_loginOk) {
        m_loginOk = false;
        m_loggedIn = true;
        emit loggedIn();
    } else if (!m_loginError.isEmpty()) {
        emit loginFailed(std::exchange(m_loginError, QString()));
    } else {
        emit sessionEnded(); // cancelled
    }
}

void AccountTransport::send(PreparedMessage message)
{
    const SmtpSessionSettings &s = m_settings;
    m_smtp.setSMTP_Server(s.server);
    m_smtp.setSMTP_Port(s.port);
    m_smtp.setSmtpAuth(s.auth);
    m_smtp.setSmtpUser(s.user);
    m_smtp.setSmtpPsw(s.password);
    m_smtp.setHeloDef(s.heloDef);
    m_smtp.setHeloTxt(s.heloTxt);
    m_smtp.setTimeoutArp(s.timeoutSeconds);
    m_smtp.setTimeoutConnect(s.timeoutSeconds);
    m_smtp.setSecurity(transportSecurityOf(s.security));
    m_smtp.message() = std::move(message.inputs);
    m_smtp.setTO_Address(message.toAddress);
    m_smtp.setTO_Name(message.toName);
    m_handedOver = true;
    m_row = message.row;
    m_cancelled = false;
    m_smtp.setAction(SendMail::Send_Mail);
}

void AccountTransport::cancel()
{
    if (m_pop3.Busy())
        m_pop3.setMail_Action(GetMail::Cancel_GetMail);
    if (m_smtp.Busy()) {
        m_cancelled = m_handedOver;
        m_smtp.setAction(SendMail::Cancel_SendMail);
    }
}

void AccountTransport::close()
{
    m_reloginTimer.stop();
    m_smtp.setAction(SendMail::Cancel_SendMail); // ends the kept connection
}

void AccountTransport::onSmtpInfo(SendMail::SendMailInfo info, const QString &text)
{
    // The server's words, not our own commands and message data.
    if (!m_handedOver || info == SendMail::miSent || info == SendMail::miPartSize
        || info == SendMail::miPartProgress)
        return;
    emit serverWords(m_row, text);
}

void AccountTransport::onSmtpDone()
{
    if (!m_handedOver) {
        emit sessionEnded();
        return;
    }
    m_handedOver = false;
    const SmtpResult result = m_smtp.result();
    MessageOutcome outcome;
    outcome.row = m_row;
    outcome.text = result.text;
    outcome.connectionFailure = result.isConnectionFailure();
    if (m_smtp.Delivered()) {
        outcome.kind = MessageOutcome::Kind::Accepted;
    } else if (result.reply && !result.reply->isPositive()) {
        outcome.kind = MessageOutcome::Kind::Refused;
        outcome.code = result.reply->code();
    } else if (result.finalDotSent) {
        outcome.kind = MessageOutcome::Kind::Unknown;
    } else if (std::exchange(m_cancelled, false)) {
        outcome.kind = MessageOutcome::Kind::Cancelled;
        outcome.connectionFailure = false;
    } else {
        outcome.kind = MessageOutcome::Kind::Failed;
    }
    emit messageDone(outcome);
}

} // namespace varnholt
