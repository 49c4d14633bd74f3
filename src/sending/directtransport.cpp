#include "sending/directtransport.h"

#include "direct/wsocket.h"

namespace varnholt {

DirectSettings DirectSettings::fromProject(const TIniInfo &project)
{
    DirectSettings s;
    s.dns = project.DnsIP.trimmed();
    s.connections = std::max(1, int(project.NumberConnect));
    s.timeoutSeconds = project.TimeOut >= 1 ? int(project.TimeOut) : 10;
    if (!project.DefaultHelo)
        s.signOn = project.TextHelo.trimmed();
    return s;
}

DirectTransport::DirectTransport(QObject *parent)
    : MessageTransport(parent)
{
    m_relay.onEMailProcessed = [this](TSmtpRelayServer2 *, const TSmtpRelayServer2::Result &r) { processed(r); };
    m_relay.onDisplay = [this](TSmtpRelayServer2 *, int row, const QString &text) { emit serverWords(row, text); };
    m_relay.onBeforeFinalDot = [this](TSmtpRelayServer2 *, int row) { return !m_beforeCommit || m_beforeCommit(row); };
}

DirectTransport::~DirectTransport()
{
    m_relay.onEMailProcessed = nullptr;
    m_relay.onDisplay = nullptr;
    m_relay.onBeforeFinalDot = nullptr;
}

void DirectTransport::configure(const tAccountObj &account, const DirectSettings &settings)
{
    if (m_relay.isBusy())
        return;
    m_relay.stop();
    m_relay.setFrom(SenderIdentity::fromAccount(account).address);
    m_relay.setConnections(settings.connections);
    m_relay.setTimeOut(settings.timeoutSeconds);
    m_relay.setDns(settings.dns);
    m_relay.setPort(settings.port.isEmpty() ? QStringLiteral("25") : settings.port);
    m_relay.setSignon(settings.signOn.isEmpty() ? LocalHostName() : settings.signOn);
}

QString DirectTransport::problem() const
{
    if (m_relay.isStarted())
        return {};
    try {
        TSmtpRelayServer2 probe;
        probe.setFrom(m_relay.from());
        probe.setDns(m_relay.dns());
        probe.start();
        probe.stop();
    } catch (const TSmtpRelayServerException &e) {
        return e.message();
    }
    return {};
}

void DirectTransport::login()
{
    emit loggedIn(); // direct delivery has no log-in
}

void DirectTransport::send(PreparedMessage message)
{
    const int row = message.row;
    try {
        if (!m_relay.isStarted())
            m_relay.start();
        m_relay.deliver(row, message.toAddress, message.withRecipient());
    } catch (const TSmtpRelayServerException &e) {
        // Reported like every other outcome: from the event loop, once.
        m_failed.insert(row);
        MessageOutcome outcome;
        outcome.row = row;
        outcome.kind = MessageOutcome::Kind::Failed;
        outcome.text = e.message();
        QMetaObject::invokeMethod(
            this,
            [this, outcome] {
                m_failed.remove(outcome.row);
                emit messageDone(outcome);
            },
            Qt::QueuedConnection);
    }
}

void DirectTransport::cancel()
{
    m_relay.abort();
}

void DirectTransport::close()
{
    m_relay.stop();
}

void DirectTransport::processed(const TSmtpRelayServer2::Result &result)
{
    emit messageDone(DirectOutcome(result));
}

MessageOutcome DirectOutcome(const TSmtpRelayServer2::Result &result)
{
    MessageOutcome outcome;
    outcome.row = result.index;
    outcome.relayError = result.err;
    outcome.text = result.comment;
    const int code = result.comment.left(3).toInt();
    if (result.err == 0) {
        outcome.kind = MessageOutcome::Kind::Accepted;
    } else if (result.maybeDelivered) {
        outcome.kind = MessageOutcome::Kind::Unknown;
    } else if (result.err == RelayError::Aborted) {
        outcome.kind = MessageOutcome::Kind::Cancelled;
    } else if (result.err >= 400 && result.err <= 599) {
        outcome.kind = MessageOutcome::Kind::Refused;
        outcome.code = result.err;
    } else if (result.err > 1000 && code >= 400 && code <= 599) {
        // A greeting that refused the connection.
        outcome.kind = MessageOutcome::Kind::Refused;
        outcome.code = code;
    } else {
        outcome.kind = MessageOutcome::Kind::Failed;
        outcome.connectionFailure = result.err > 1000;
    }
    return outcome;
}

} // namespace varnholt
