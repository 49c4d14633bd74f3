#include "mailclient/connectiontest.h"

#include "mailclient/mailerrors.h"
#include "settings/syscharset.h"

#include <algorithm>

namespace varnholt {

namespace {

QString serverName(const QString &host, quint16 port)
{
    return QStringLiteral("%1:%2").arg(host.trimmed()).arg(port);
}

// The last "C:" line of a protocol trace, without its prefix; empty when
// there is none.
QByteArray lastClientLine(QByteArrayView trace)
{
    qsizetype end = trace.size();
    while (end > 0) {
        const qsizetype start = trace.lastIndexOf('\n', end - 1) + 1;
        QByteArrayView line = trace.sliced(start, end - start);
        if (line.endsWith('\n'))
            line.chop(1);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith("C: "))
            return line.sliced(3).toByteArray();
        end = start - 1;
    }
    return {};
}

} // namespace

ConnectionTest::Settings ConnectionTest::Settings::fromAccount(const tAccountObj &account, bool pop3First,
                                                               bool heloDef, const QString &heloTxt,
                                                               int timeoutSeconds)
{
    Settings s;
    s.smtpServer = account.SMTPServer;
    s.smtpPort = quint16(std::clamp(account.SMTPPort, 0, 65535));
    s.security = transportSecurityOf(account.Security);
    s.smtpAuth = account.Authen;
    s.smtpUser = account.AuName;
    s.smtpPassword = account.auPsw;
    s.heloDef = heloDef;
    s.heloTxt = heloTxt;
    s.timeoutSeconds = timeoutSeconds;
    s.pop3First = pop3First;
    s.popServer = account.PopServer;
    s.popPort = quint16(std::clamp(account.PopPort, 0, 65535));
    s.popUser = account.UserID;
    s.popPassword = account.Password;
    return s;
}

ConnectionTest::ConnectionTest(QObject *parent) : QObject(parent)
{
    m_smtp.setLoginOnly(true);
    // After a refusal the session waits for its owner to end it.
    connect(&m_smtp, &SendMail::OnMailError, this, [this] {
        if (m_smtp.Busy())
            m_smtp.setAction(SendMail::Cancel_SendMail);
    });
    connect(&m_smtp, &SendMail::OnDone, this, &ConnectionTest::onSmtpDone);
    connect(&m_pop3, &GetMail::OnMailInfo, this,
            [this](GetMail::GetMailInfo info, const QString &) { onPopInfo(info); });
    connect(&m_pop3, &GetMail::OnDone, this, &ConnectionTest::onPopDone);
    connect(&m_trace, &QBuffer::bytesWritten, this, &ConnectionTest::traceChanged);
    m_smtp.setTrace(&m_trace);
    m_pop3.setTrace(&m_trace);
}

ConnectionTest::~ConnectionTest()
{
    // The sessions are members: what they report while going is not ours.
    disconnect(&m_smtp, nullptr, this, nullptr);
    disconnect(&m_pop3, nullptr, this, nullptr);
    m_smtp.setTrace(nullptr);
    m_pop3.setTrace(nullptr);
}

void ConnectionTest::start(const Settings &settings)
{
    if (isRunning())
        return;
    m_settings = settings;
    m_popGranted = m_cancelled = m_passed = false;
    m_verdict.clear();
    m_trace.close();
    m_trace.setData(QByteArray());
    m_trace.open(QIODevice::WriteOnly);
    m_smtpTraceStart = 0;
    if (!settings.pop3First) {
        startSmtp();
        return;
    }
    m_stage = Stage::Pop3;
    traceLine(QStringLiteral("POP3 ") + serverName(settings.popServer, settings.popPort));
    m_pop3.setTimeoutArp(settings.timeoutSeconds);
    m_pop3.setTimeoutConnect(settings.timeoutSeconds);
    m_pop3.setMail_Server(settings.popServer);
    m_pop3.setMail_Port(settings.popPort);
    m_pop3.setUser_ID(settings.popUser);
    m_pop3.setUser_Password(settings.popPassword);
    m_pop3.setSecurity(settings.security);
    m_pop3.setMail_Action(GetMail::Get_Mail);
}

void ConnectionTest::startSmtp()
{
    const Settings &s = m_settings;
    m_stage = Stage::Smtp;
    traceLine(QStringLiteral("SMTP ") + serverName(s.smtpServer, s.smtpPort));
    m_smtpTraceStart = m_trace.data().size();
    m_smtp.setSMTP_Server(s.smtpServer);
    m_smtp.setSMTP_Port(s.smtpPort);
    m_smtp.setSecurity(s.security);
    m_smtp.setSmtpAuth(s.smtpAuth);
    m_smtp.setSmtpUser(s.smtpUser);
    m_smtp.setSmtpPsw(s.smtpPassword);
    m_smtp.setHeloDef(s.heloDef);
    m_smtp.setHeloTxt(s.heloTxt);
    m_smtp.setTimeoutArp(s.timeoutSeconds);
    m_smtp.setTimeoutConnect(s.timeoutSeconds);
    m_smtp.setAction(SendMail::Send_Mail);
}

void ConnectionTest::cancel()
{
    if (!isRunning())
        return;
    m_cancelled = true;
    if (m_stage == Stage::Pop3)
        m_pop3.setMail_Action(GetMail::Cancel_GetMail);
    else
        m_smtp.setAction(SendMail::Cancel_SendMail);
}

QString ConnectionTest::trace() const
{
    QString text = QString::fromUtf8(m_trace.data());
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return text;
}

void ConnectionTest::traceLine(const QString &text)
{
    m_trace.write(text.toUtf8() + "\r\n");
}

void ConnectionTest::onPopInfo(GetMail::GetMailInfo info)
{
    if (info != GetMail::giAccessGranted || m_stage != Stage::Pop3 || m_popGranted)
        return;
    // The log-in is all a send asks of the POP3 server.
    m_popGranted = true;
    m_pop3.StopSession();
}

void ConnectionTest::onPopDone()
{
    if (m_stage != Stage::Pop3)
        return;
    if (m_cancelled)
        finish(false, QStringLiteral("The test was stopped."));
    else if (m_popGranted)
        startSmtp();
    else
        finish(false, popVerdict());
}

void ConnectionTest::onSmtpDone()
{
    if (m_stage != Stage::Smtp)
        return;
    if (m_cancelled) {
        finish(false, QStringLiteral("The test was stopped."));
        return;
    }
    const bool ok = m_smtp.result().ok;
    QString verdict = ok ? (m_settings.smtpAuth
                                ? QStringLiteral("The server accepted the log-in.")
                                : QStringLiteral("The server accepted the connection; this account sends "
                                                 "without a log-in."))
                         : smtpVerdict();
    if (m_settings.pop3First)
        verdict.prepend(QStringLiteral("The POP3 server accepted the log-in. "));
    finish(ok, verdict);
}

void ConnectionTest::finish(bool passed, const QString &verdict)
{
    m_stage = Stage::Done;
    m_passed = passed;
    m_verdict = verdict;
    emit finished(passed);
}

QString ConnectionTest::smtpVerdict() const
{
    const SmtpResult r = m_smtp.result();
    const QString where = serverName(m_settings.smtpServer, m_settings.smtpPort);
    if (r.error == MailError::TlsFailure)
        return r.text;
    if (r.isConnectionFailure())
        return QStringLiteral("The connection to %1 failed: %2").arg(where, r.text);
    if (r.reply && !r.reply->isPositive()) {
        const QString words = SystemCharset::toUnicode(r.reply->summary());
        // The trace hides the AUTH exchange: a refusal after a hidden line
        // answered the credentials.
        const QByteArray last = lastClientLine(QByteArrayView(m_trace.data()).sliced(m_smtpTraceStart));
        if (last == "<credentials hidden>")
            return QStringLiteral("The server refused the log-in: %1").arg(words);
        return QStringLiteral("The server refused \"%1\": %2").arg(SystemCharset::toUnicode(r.command), words);
    }
    return r.text;
}

QString ConnectionTest::popVerdict() const
{
    const Pop3Result r = m_pop3.result();
    const QString where = serverName(m_settings.popServer, m_settings.popPort);
    if (r.error == MailError::TlsFailure)
        return r.text;
    if (r.isConnectionFailure())
        return QStringLiteral("The connection to the POP3 server %1 failed: %2").arg(where, r.text);
    if (r.error == MailError::AccessDenied && r.reply)
        return QStringLiteral("The POP3 server refused the log-in: %1").arg(SystemCharset::toUnicode(r.reply->line()));
    return r.text;
}

} // namespace varnholt
