#include "sending/messagetransport.h"

namespace varnholt {

AccountTransport::AccountTransport(QObject *parent)
    : MessageTransport(parent)
{
    connect(&m_pop3, &GetMail::OnMailInfo, this, &AccountTransport::onPopInfo);
    connect(&m_pop3, &GetMail::OnMailError, this, &AccountTransport::onPopError);
    connect(&m_pop3, &GetMail::OnDone, this, &AccountTransport::onPopDone);
    m_reloginTimer.setSingleShot(true);
    connect(&m_reloginTimer, &QTimer::timeout, this, [this] { m_reloginDue = true; });
}

AccountTransport::~AccountTransport()
{
    // Closing the sessions sends nothing more here.
    for (const auto &lane : m_lanes)
        disconnect(lane.get(), nullptr, this, nullptr);
    disconnect(&m_pop3, nullptr, this, nullptr);
}

void AccountTransport::configure(const tAccountObj &account, const TIniInfo &project, int connections)
{
    m_account = account;
    m_project = project;
    m_settings = SmtpSessionSettings::from(account, project);
    m_loggedIn = false;
    m_reloginDue = false;
    m_reloginTimer.stop();

    const int count = connections > 0 ? std::min(connections, int(tAccountObj::MaxConnections))
                                      : account.connectionCount();
    // A lane still carrying a message is kept until it is done.
    while (int(m_lanes.size()) > count && !m_lanes.back()->holdsMessages()) {
        m_lanes.back()->disconnect(this);
        m_lanes.pop_back();
    }
    while (int(m_lanes.size()) < count) {
        auto lane = std::make_unique<SmtpPipeline>();
        lane->setBeforeFinalDot([this](quint64 id) { return !m_beforeCommit || m_beforeCommit(int(id)); });
        connect(lane.get(), &SmtpPipeline::messageDone, this, &AccountTransport::onLaneDone);
        connect(lane.get(), &SmtpPipeline::serverWords, this,
                [this](quint64 id, const QString &text) { emit serverWords(int(id), text); });
        connect(lane.get(), &SmtpPipeline::ended, this, [this] {
            if (!isBusy())
                emit sessionEnded();
        });
        m_lanes.push_back(std::move(lane));
    }
    for (const auto &lane : m_lanes)
        applyToLane(*lane);
}

void AccountTransport::applyToLane(SmtpPipeline &lane) const
{
    const SmtpSessionSettings &s = m_settings;
    SmtpPipeline::Account account;
    account.server = s.server;
    account.port = s.port;
    account.auth = s.auth;
    account.user = s.user;
    account.password = s.password;
    account.heloDef = s.heloDef;
    account.heloTxt = s.heloTxt;
    account.security = transportSecurityOf(s.security);
    account.pipelining = s.pipelining;
    lane.setAccount(account);
    lane.setTimeoutArp(s.timeoutSeconds);
    lane.setTimeoutConnect(s.timeoutSeconds);
    lane.setTrace(m_trace);
    lane.setReplyTimeLimit(m_replyLimit);
    lane.setExtraCaCertificates(m_extraCas);
}

void AccountTransport::setTrace(QIODevice *trace)
{
    m_trace = trace;
    for (const auto &lane : m_lanes)
        lane->setTrace(trace);
}

void AccountTransport::setReplyTimeLimit(std::chrono::milliseconds limit)
{
    m_replyLimit = limit;
    for (const auto &lane : m_lanes)
        lane->setReplyTimeLimit(limit);
}

void AccountTransport::setExtraCaCertificates(const QList<QSslCertificate> &certificates)
{
    m_extraCas = certificates;
    for (const auto &lane : m_lanes)
        lane->setExtraCaCertificates(certificates);
}

int AccountTransport::capacity() const
{
    int total = 0;
    for (const auto &lane : m_lanes)
        total += lane->capacity();
    return std::max(total, 1);
}

bool AccountTransport::isBusy() const
{
    if (m_pop3.Busy())
        return true;
    return std::any_of(m_lanes.cbegin(), m_lanes.cend(), [](const auto &lane) { return lane->holdsMessages(); });
}

bool AccountTransport::isPipelining() const
{
    return std::any_of(m_lanes.cbegin(), m_lanes.cend(), [](const auto &lane) { return lane->isPipelining(); });
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
    if (m_pop3.Busy())
        return; // the log-in on the way tells its end
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

// The message goes to the connection that holds the fewest, the first of
// them on a tie, so that the rows leave in list order.
void AccountTransport::send(PreparedMessage message)
{
    if (m_lanes.empty())
        configure(m_account, m_project);
    SmtpPipeline *chosen = nullptr;
    for (const auto &lane : m_lanes) {
        const bool room = lane->heldCount() < lane->capacity();
        const bool chosenRoom = chosen && chosen->heldCount() < chosen->capacity();
        if (!chosen || (room && !chosenRoom) || (room == chosenRoom && lane->heldCount() < chosen->heldCount()))
            chosen = lane.get();
    }
    SmtpMessage smtp;
    smtp.id = quint64(message.row);
    smtp.inputs = std::move(message.inputs);
    smtp.toAddress = message.toAddress;
    smtp.toName = message.toName;
    chosen->send(std::move(smtp));
}

void AccountTransport::cancel()
{
    if (m_pop3.Busy())
        m_pop3.setMail_Action(GetMail::Cancel_GetMail);
    for (const auto &lane : m_lanes) {
        if (lane->holdsMessages())
            lane->cancel();
    }
}

void AccountTransport::close()
{
    m_reloginTimer.stop();
    for (const auto &lane : m_lanes)
        lane->close(); // "QUIT" on the kept connections
}

void AccountTransport::onLaneDone(const SmtpMessageResult &result)
{
    MessageOutcome outcome;
    outcome.row = int(result.id);
    outcome.text = result.text;
    outcome.connectionFailure = result.connectionFailure;
    switch (result.kind) {
    case SmtpMessageResult::Kind::Accepted:
        outcome.kind = MessageOutcome::Kind::Accepted;
        break;
    case SmtpMessageResult::Kind::Refused:
        outcome.kind = MessageOutcome::Kind::Refused;
        outcome.code = result.reply ? result.reply->code() : 0;
        break;
    case SmtpMessageResult::Kind::Unknown:
        outcome.kind = MessageOutcome::Kind::Unknown;
        break;
    case SmtpMessageResult::Kind::Cancelled:
        outcome.kind = MessageOutcome::Kind::Cancelled;
        outcome.connectionFailure = false;
        break;
    case SmtpMessageResult::Kind::Failed:
        outcome.kind = MessageOutcome::Kind::Failed;
        break;
    }
    emit messageDone(outcome);
}

} // namespace varnholt
