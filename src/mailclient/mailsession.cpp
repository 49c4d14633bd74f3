#include "mailclient/mailsession.h"

#include "settings/syscharset.h"

#include <QHostInfo>
#include <QScopedValueRollback>

namespace varnholt {

namespace {

constexpr int DefaultTimeLimit = 60;
constexpr int LongestTimeLimit = 600;

// Bytes kept queued in the socket while a message is transmitted: enough to
// keep the connection busy, little enough to stop promptly on a cancel.
constexpr qint64 HighWater = 256 * 1024;

} // namespace

MailSession::MailSession(QObject *parent) : QObject(parent)
{
    connect(&m_connection, &MailConnection::resolving, this,
            [this](const QString &host) { reportInfo(Info::Resolving, host); });
    connect(&m_connection, &MailConnection::resolved, this,
            [this](const QString &address) { reportInfo(Info::Resolved, address); });
    connect(&m_connection, &MailConnection::connected, this, &MailSession::onConnected);
    connect(&m_connection, &MailConnection::lineReceived, this, &MailSession::onLine);
    connect(&m_connection, &MailConnection::closedByPeer, this, &MailSession::onClosedByPeer);
    connect(&m_connection, &MailConnection::failed, this, &MailSession::onFailed);
    connect(&m_connection, &MailConnection::tlsFailed, this, &MailSession::onTlsFailed);
    connect(&m_connection, &MailConnection::timedOut, this, &MailSession::onTimedOut);
    connect(&m_connection, &MailConnection::lineTooLong, this, &MailSession::onLineTooLong);
}

int MailSession::effectiveTimeLimit(int seconds)
{
    if (seconds <= 0)
        return DefaultTimeLimit;
    return qMin(seconds, LongestTimeLimit);
}

std::chrono::milliseconds MailSession::replyTimeLimit() const
{
    using namespace std::chrono;
    if (m_replyLimitOverride.count() > 0)
        return m_replyLimitOverride;
    return duration_cast<milliseconds>(seconds(qMax(DefaultTimeLimit, effectiveTimeLimit(m_timeoutConnect))));
}

void MailSession::beginSession()
{
    m_busy = true;
    m_aborted = false;
    m_donePosted = false;
    m_lastResult = 0;
    m_outcome = MailResult();
    m_settled = false;
    m_lastCommand.clear();
}

void MailSession::openConnection(const QString &server, quint16 port, TransportSecurity security)
{
    setWinsockStarted(true);
    m_connection.setTimeouts(effectiveTimeLimit(m_timeoutArp), effectiveTimeLimit(m_timeoutConnect));
    m_connection.setHandshakeTimeLimit(replyTimeLimit());
    m_connection.open(server, port, security);
}

void MailSession::sendCommandLine(const QByteArray &line, const QByteArray &logForm, bool credentials)
{
    if (infoWanted())
        reportInfo(Info::Sent, SystemCharset::toUnicode(logForm) + QLatin1String("\r\n"));
    if (m_aborted)
        return;
    if (tracing())
        trace("C: ", credentials ? QByteArrayView("<credentials hidden>") : QByteArrayView(line));
    m_lastCommand = logForm;
    m_connection.sendLine(line);
    m_connection.armReplyTimer(replyTimeLimit());
}

void MailSession::fail(int number, const QString &text, Cause cause)
{
    m_lastResult = number;
    if (!m_settled) {
        m_settled = true;
        m_outcome.ok = false;
        m_outcome.error = number;
        m_outcome.text = text;
        m_outcome.command = m_lastCommand;
        m_outcome.connectionFailure = cause == Cause::Connection;
    }
    emit OnMailError(number, text);
}

void MailSession::failAndAbort(int number, const QString &text, Cause cause)
{
    fail(number, text, cause);
    abort();
}

void MailSession::succeed()
{
    if (m_settled)
        return;
    m_settled = true;
    m_outcome = MailResult();
    m_outcome.ok = true;
    m_outcome.command = m_lastCommand;
}

void MailSession::cancelSession()
{
    m_lastResult = MailError::Cancelled;
    if (!m_settled) {
        m_settled = true;
        m_outcome.error = MailError::Cancelled;
        m_outcome.text = TextCancelled;
        m_outcome.command = m_lastCommand;
    }
    abort();
}

void MailSession::postDone()
{
    if (m_donePosted || !m_busy)
        return;
    m_donePosted = true;
    if (!m_settled) {
        // Every end of a session settles it before; this only guards the
        // promise that OnDone comes with a result.
        m_settled = true;
        m_outcome.error = MailError::InternalError;
        m_outcome.text = QStringLiteral("The session ended without an outcome");
        m_outcome.command = m_lastCommand;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_busy = false;
            emit OnDone();
        },
        Qt::QueuedConnection);
}

void MailSession::abort()
{
    if (m_aborted)
        return;
    cleanUpForAbort();
    m_aborted = true;
    m_connection.close();
    postDone();
}

MailSession::BodyStep MailSession::writeBody(QPointer<MimeAssembler> &assembler, bool &pulling, qint64 &bytes,
                                             const std::function<void(const QByteArray &)> &shown)
{
    while (assembler && !m_aborted && !assembler->atEnd() && m_connection.bytesPending() < HighWater) {
        QByteArray chunk;
        {
            const QScopedValueRollback pullingNow(pulling, true);
            chunk = assembler->nextChunk();
        }
        if (!assembler || m_aborted || assembler->isAborted())
            return BodyStep::Stopped; // cancelled from one of the assembler's events
        const bool last = assembler->atEnd();
        // The assembler ends the message with the "." line; the bytes on the
        // wire stay the same when it goes on its own.
        if (last && (chunk == ".\r\n" || chunk.endsWith("\r\n.\r\n")))
            chunk.chop(3);
        if (!chunk.isEmpty()) {
            if (shown) {
                shown(chunk);
                if (m_aborted)
                    return BodyStep::Stopped;
            }
            if (!m_connection.write(chunk))
                return BodyStep::Stopped; // the connection is gone; its end is on the way
            bytes += chunk.size();
        }
        if (last)
            return BodyStep::Finished;
    }
    return BodyStep::Waiting;
}

void MailSession::dropAssembler(QPointer<MimeAssembler> &assembler, bool pulling)
{
    MimeAssembler *gone = assembler;
    if (!gone)
        return;
    assembler = nullptr;
    gone->disconnect(this);
    if (!gone->atEnd())
        gone->abort();
    if (pulling)
        gone->deleteLater();
    else
        delete gone; // spares the event loop a deferred deletion per message
}

void MailSession::trace(QByteArrayView prefix, QByteArrayView text)
{
    if (!m_trace)
        return;
    QByteArray line;
    line.reserve(prefix.size() + text.size() + 2);
    line += prefix;
    for (const char c : text) {
        if (c == '\r')
            line += "\\r";
        else if (c == '\n')
            line += "\\n";
        else
            line += c;
    }
    line += "\r\n";
    m_trace->write(line);
}

void MailSession::connectionFailed(int number, const QString &text)
{
    failAndAbort(number, text, Cause::Connection);
}

void MailSession::timedOut()
{
    failAndAbort(MailError::TimedOut, TextConnectionTimedOut, Cause::Connection);
}

void MailSession::onConnected(const QString &address)
{
    reportInfo(Info::Connected, address);
    m_connection.clearLineBuffer();
    connected();
    if (!m_aborted)
        m_connection.armReplyTimer(replyTimeLimit()); // the greeting
}

void MailSession::onLine(const QByteArray &line)
{
    if (tracing())
        trace("S: ", line);
    lineReceived(line);
}

void MailSession::onClosedByPeer()
{
    if (tracing())
        trace("CLOSE");
    closedByPeer();
}

void MailSession::onFailed(int socketCode, const QString &detail)
{
    Q_UNUSED(detail);
    if (tracing() && socketCode == 10054)
        trace("RESET");
    if (!m_busy) {
        connectionLostWhileIdle();
        return;
    }
    if (m_aborted)
        return;
    const SocketErrorEntry entry = socketErrorEntry(socketCode);
    connectionFailed(socketErrorNumber(entry), entry.text);
}

void MailSession::onTlsFailed(const QString &text)
{
    if (!m_busy || m_aborted)
        return;
    failAndAbort(MailError::TlsFailure, text, Cause::Connection);
}

void MailSession::onTimedOut()
{
    if (!m_busy || m_aborted)
        return;
    timedOut();
}

void MailSession::onLineTooLong()
{
    if (!m_busy) {
        connectionLostWhileIdle();
        return;
    }
    if (m_aborted)
        return;
    failAndAbort(MailError::ProtocolError, TextReplyLineTooLong, Cause::Reply);
}

QString MailSession::localHostName()
{
    const QString name = QHostInfo::localHostName();
    return name.isEmpty() ? QStringLiteral("localhost") : name;
}

} // namespace varnholt
