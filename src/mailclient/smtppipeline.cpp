#include "mailclient/smtppipeline.h"

#include "mailclient/mailerrors.h"
#include "settings/syscharset.h"

#include <QMetaMethod>

#include <algorithm>

namespace varnholt {

namespace {

// RFC 5321 4.5.3.2.6: the reply to the final "." may take 10 minutes.
constexpr std::chrono::milliseconds DotReplyLimit = std::chrono::minutes(10);
// How long "cancel" waits for the answer to a "." already sent.
constexpr std::chrono::milliseconds DrainLimit = std::chrono::seconds(3);
// RFC 5321 4.1.1.10: the server closes after its reply to QUIT.
constexpr std::chrono::milliseconds QuitGrace = std::chrono::seconds(2);

// What a handler writes goes in one piece (see MailConnection::cork).
class Corked
{
public:
    explicit Corked(MailConnection &connection) : m_connection(connection) { m_connection.cork(); }
    ~Corked() { m_connection.uncork(); }
    Corked(const Corked &) = delete;
    Corked &operator=(const Corked &) = delete;

private:
    MailConnection &m_connection;
};

QString addressOf(const QString &entry)
{
    const qsizetype bar = entry.indexOf(u'|');
    return bar < 0 ? entry : entry.left(bar);
}

} // namespace

SmtpPipeline::SmtpPipeline(QObject *parent)
    : MailSession(parent), m_dialogue(static_cast<SmtpDialogue::Events &>(*this)),
      m_transactions(static_cast<SmtpTransactions::Events &>(*this))
{
    connect(&m_connection, &MailConnection::tlsEstablished, this, [this] { m_dialogue.tlsEstablished(); });
    connect(&m_connection, &MailConnection::bytesWritten, this, &SmtpPipeline::pumpBody);
    connect(this, &MailSession::OnDone, this, &SmtpPipeline::onConnectionEnded);
}

SmtpPipeline::~SmtpPipeline()
{
    dropAssembler(m_assembler, m_pulling);
    m_connection.disconnect(this);
    m_connection.close();
}

int SmtpPipeline::capacity() const
{
    const bool mayPipeline = m_account.pipelining && (!m_handedOver || m_transactions.isPipelining());
    return mayPipeline ? 3 : 1;
}

void SmtpPipeline::send(SmtpMessage message)
{
    Held entry;
    entry.id = message.id;
    entry.inputs = std::move(message.inputs);
    if (!message.toAddress.isEmpty())
        entry.inputs.ListTo.prepend(message.toAddress + u'|' + message.toName);
    // The main recipient is the first named: the given one, or else the
    // first of the lists.
    entry.envelope.fromAddress = entry.inputs.FROM_Address;
    for (const QStringList *list : {&entry.inputs.ListTo, &entry.inputs.Listcc, &message.bcc}) {
        for (const QString &item : *list)
            entry.envelope.recipients.append(addressOf(item));
    }

    SmtpMessageResult local;
    local.id = entry.id;
    if (entry.envelope.recipients.isEmpty()) {
        local.text = TextMailDestination;
    } else if (const auto problem =
                   SmtpDialogue::unsafeInput(entry.envelope, m_account.heloDef ? QString() : m_account.heloTxt)) {
        local.text = *problem;
    }
    if (!local.text.isEmpty()) {
        m_results.push_back(local);
        flushResults();
        return;
    }

    m_held.push_back(std::move(entry));
    if (!m_busy) {
        openFresh();
    } else if (m_handedOver && !m_aborted && !m_quitting && !m_draining) {
        const Corked corked(m_connection);
        m_held.back().queued = true;
        m_transactions.queue(m_held.back().id, m_held.back().envelope);
    }
}

void SmtpPipeline::openFresh()
{
    beginSession();
    m_handedOver = false;
    m_cancelling = false;
    m_draining = false;
    m_quitting = false;
    m_withdrawn.reset();
    m_lastReply.reset();
    m_transactions.stop();
    for (Held &entry : m_held) {
        entry.queued = false;
        entry.answered = false;
    }
    SmtpDialogue::Settings settings;
    settings.smtpAuth = m_account.auth;
    settings.user = SystemCharset::fromUnicode(m_account.user);
    settings.password = SystemCharset::fromUnicode(m_account.password);
    settings.heloArgument = SystemCharset::fromUnicode(
        m_account.heloDef || m_account.heloTxt.isEmpty() ? localHostName() : m_account.heloTxt);
    settings.host = m_account.server.trimmed().toUtf8();
    settings.security = m_account.security;
    settings.keepConnectionOpen = true;
    settings.handOverAtMail = true;
    m_dialogue.startConnection(settings, SmtpDialogue::Envelope());
    openConnection(m_account.server, m_account.port, m_account.security);
}

void SmtpPipeline::onConnectionEnded()
{
    m_handedOver = false;
    if (!m_held.empty())
        openFresh(); // messages moved to a fresh connection
    else
        emit ended();
}

void SmtpPipeline::cancel()
{
    if (m_busy && !m_aborted) {
        const bool dotAwaited =
            std::any_of(m_held.cbegin(), m_held.cend(), [](const Held &entry) { return entry.dotSent; });
        if (!dotAwaited || m_draining) {
            m_cancelling = true;
            cancelSession();
            return;
        }
        // A message whose "." is out gets its answer before the connection
        // closes, so that it ends accepted or refused rather than unknown;
        // the others are taken back at once and never get a body.
        m_draining = true;
        if (m_inBody) {
            m_inBody = false;
            dropAssembler(m_assembler, m_pulling);
        }
        for (auto it = m_held.begin(); it != m_held.end();) {
            if (it->dotSent) {
                ++it;
                continue;
            }
            SmtpMessageResult result;
            result.id = it->id;
            result.kind = SmtpMessageResult::Kind::Cancelled;
            m_results.push_back(result);
            it = m_held.erase(it);
        }
        flushResults();
        m_connection.armReplyTimer(std::min(replyTimeLimit(), DrainLimit));
        return;
    }
    // Between two connections: what waits for the next one is taken back.
    for (const Held &entry : m_held) {
        SmtpMessageResult result;
        result.id = entry.id;
        result.kind = SmtpMessageResult::Kind::Cancelled;
        m_results.push_back(result);
    }
    m_held.clear();
    if (!m_results.empty())
        flushResults();
}

void SmtpPipeline::close()
{
    if (!m_busy || m_aborted)
        return;
    if (!m_held.empty()) {
        cancel();
        return;
    }
    if (!m_handedOver) {
        abort();
        return;
    }
    m_quitting = true;
    m_transactions.quit();
}

SmtpPipeline::Held *SmtpPipeline::held(quint64 id)
{
    for (Held &entry : m_held) {
        if (entry.id == id)
            return &entry;
    }
    return nullptr;
}

void SmtpPipeline::finish(quint64 id, SmtpMessageResult result)
{
    for (auto it = m_held.begin(); it != m_held.end(); ++it) {
        if (it->id == id) {
            m_held.erase(it);
            result.id = id;
            m_results.push_back(std::move(result));
            flushResults();
            // The last answer a cancel waited for: the connection ends (a
            // message handed in meanwhile goes to a fresh one).
            const auto dotSent = [](const Held &entry) { return entry.dotSent; };
            if (m_draining && std::none_of(m_held.cbegin(), m_held.cend(), dotSent))
                abort();
            return;
        }
    }
}

// Results go out after the handler that made them, so that an owner that
// hands in the next message or cancels never reenters the session.
void SmtpPipeline::flushResults()
{
    if (m_flushPosted)
        return;
    m_flushPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_flushPosted = false;
            std::vector<SmtpMessageResult> results;
            results.swap(m_results);
            QPointer<SmtpPipeline> alive(this);
            for (const SmtpMessageResult &result : results) {
                emit messageDone(result);
                if (!alive)
                    return;
            }
        },
        Qt::QueuedConnection);
}

// The end of the connection ends what it holds. A message none of whose
// commands was answered after the log-in goes once to a fresh connection:
// without its "." the server cannot have it.
void SmtpPipeline::cleanUpForAbort()
{
    if (m_inBody && tracing())
        trace("C: ", QByteArray("<message " + QByteArray::number(m_bodyBytes) + " bytes>"));
    m_inBody = false;
    dropAssembler(m_assembler, m_pulling);
    m_dialogue.stop();
    m_transactions.stop();
    const bool handedOver = m_handedOver;
    const auto named = [this](const Held &entry) { return entry.queued && m_transactions.wasNamed(entry.id); };
    bool charged = false;
    for (auto it = m_held.begin(); it != m_held.end();) {
        SmtpMessageResult result;
        result.id = it->id;
        if (m_withdrawn == it->id) {
            result.kind = SmtpMessageResult::Kind::Failed;
            result.text = TextMessageWithdrawn;
        } else if (it->dotSent) {
            result.kind = SmtpMessageResult::Kind::Unknown;
            result.text = m_outcome.text;
            result.connectionFailure = m_outcome.connectionFailure;
        } else if (m_cancelling || m_withdrawn) {
            result.kind = SmtpMessageResult::Kind::Cancelled;
        } else if (handedOver ? !named(*it) || (!it->answered && !it->retried) : charged) {
            // Never named here, or named and never answered: the message
            // goes to a fresh connection (a named one only once, so that a
            // message the server drops the connection for fails in the end;
            // one that only waited behind it is not charged). A connection
            // that failed before the log-in was done fails the first
            // message only, as it would have alone.
            it->retried = it->retried || named(*it);
            it->queued = false;
            ++it;
            continue;
        } else {
            charged = true;
            const bool refused = !m_outcome.connectionFailure && m_lastReply && !m_lastReply->isPositive();
            result.kind = refused ? SmtpMessageResult::Kind::Refused : SmtpMessageResult::Kind::Failed;
            result.text = m_outcome.text;
            result.connectionFailure = m_outcome.connectionFailure;
            if (refused)
                result.reply = m_lastReply;
        }
        it = m_held.erase(it);
        m_results.push_back(std::move(result));
    }
    if (!m_results.empty())
        flushResults();
}

void SmtpPipeline::lineReceived(const QByteArray &line)
{
    if (!m_busy || m_aborted)
        return;
    const Corked corked(m_connection);
    const bool last = SmtpReplyReader::isLastLine(line);
    if (last)
        m_connection.stopReplyTimer();
    if (!m_handedOver) {
        if (!m_held.empty() && isSignalConnected(QMetaMethod::fromSignal(&SmtpPipeline::serverWords)))
            emit serverWords(m_held.front().id, SystemCharset::toUnicode(line));
        m_dialogue.handleLine(line);
        return;
    }
    if (const auto id = m_transactions.replyConcerns()) {
        if (Held *entry = held(*id)) {
            if (last)
                entry->answered = true;
            if (isSignalConnected(QMetaMethod::fromSignal(&SmtpPipeline::serverWords)))
                emit serverWords(*id, SystemCharset::toUnicode(line));
        }
    }
    m_transactions.handleLine(line);
    if (last && !m_aborted)
        armForReplies();
}

// One time limit for each awaited reply; the one to a "." may take longer.
void SmtpPipeline::armForReplies()
{
    if (!m_transactions.awaitsReply())
        return;
    std::chrono::milliseconds limit =
        m_transactions.dotAwaited() ? qMax(DotReplyLimit, replyTimeLimit()) : replyTimeLimit();
    if (m_draining)
        limit = std::min(limit, DrainLimit);
    m_connection.armReplyTimer(limit);
}

void SmtpPipeline::closedByPeer()
{
    m_dialogue.stop();
    if (!m_busy || m_aborted)
        return;
    if (!m_held.empty() && !m_quitting)
        fail(MailError::PrematurelyDisconnected, TextPrematurelyDisconnected, Cause::Connection);
    abort();
}

void SmtpPipeline::timedOut()
{
    if (m_held.empty() || m_quitting) {
        abort(); // an idle connection or one that said QUIT
        return;
    }
    MailSession::timedOut();
}

// ---- The greeting and the log-in ----

void SmtpPipeline::sendCommand(const QByteArray &line, const QByteArray &logForm, bool credentials)
{
    sendCommandLine(line, logForm, credentials);
}

void SmtpPipeline::unexpectedReply(const SmtpReply &reply)
{
    // A refused greeting, EHLO or log-in refuses the messages waiting for
    // this connection.
    m_lastReply = reply;
    failAndAbort(MailError::UnexpectedResponse, TextUnexpectedResponse + SystemCharset::toUnicode(reply.summary()),
                 Cause::Reply);
}

void SmtpPipeline::failure(int number, const QString &text, const std::optional<SmtpReply> &reply)
{
    m_lastReply = reply;
    failAndAbort(number, text, Cause::Reply);
}

void SmtpPipeline::beginTls()
{
    m_connection.startTls();
}

void SmtpPipeline::readyForMail(const SmtpReply &reply)
{
    Q_UNUSED(reply);
    m_handedOver = true;
    m_transactions.start(m_account.pipelining && m_dialogue.offersPipelining(), m_dialogue.offersSmtpUtf8());
    for (Held &entry : m_held) {
        if (m_aborted)
            return;
        entry.queued = true;
        m_transactions.queue(entry.id, entry.envelope);
    }
}

void SmtpPipeline::quitAnswered()
{
    m_connection.armReplyTimer(QuitGrace);
}

// ---- The transactions ----

void SmtpPipeline::sendCommand(const QByteArray &line)
{
    sendCommandLine(line, line, false);
}

void SmtpPipeline::transmitMessage(quint64 id)
{
    Held *entry = held(id);
    if (!entry || m_draining)
        return; // taken back: it gets no body
    m_assembler = new MimeAssembler(std::move(entry->inputs), this);
    m_bodyId = id;
    m_inBody = true;
    m_bodyBytes = 0;
    pumpBody();
}

void SmtpPipeline::pumpBody()
{
    const Corked corked(m_connection);
    if (m_inBody && writeBody(m_assembler, m_pulling, m_bodyBytes) == BodyStep::Finished)
        endBody();
}

void SmtpPipeline::endBody()
{
    m_inBody = false;
    dropAssembler(m_assembler, m_pulling);
    if (tracing())
        trace("C: ", QByteArray("<message " + QByteArray::number(m_bodyBytes) + " bytes>"));
    const quint64 id = m_bodyId;
    if (m_beforeFinalDot && !m_beforeFinalDot(id)) {
        if (m_aborted)
            return;
        // Without the "." the server never takes the message.
        m_withdrawn = id;
        failAndAbort(MailError::MessageWithdrawn, TextMessageWithdrawn, Cause::Local);
        return;
    }
    if (m_aborted)
        return;
    setLastCommand(QByteArrayLiteral("."));
    if (!m_connection.write(QByteArrayLiteral(".\r\n")))
        return;
    if (Held *entry = held(id))
        entry->dotSent = true;
    if (tracing())
        trace("C: ", ".");
    m_transactions.endOfMessage(id);
    if (!m_aborted)
        armForReplies();
}

void SmtpPipeline::messageAccepted(quint64 id, const SmtpReply &reply)
{
    SmtpMessageResult result;
    result.kind = SmtpMessageResult::Kind::Accepted;
    result.reply = reply;
    finish(id, std::move(result));
}

void SmtpPipeline::messageRefused(quint64 id, const SmtpReply &reply)
{
    SmtpMessageResult result;
    result.kind = SmtpMessageResult::Kind::Refused;
    result.reply = reply;
    result.text = TextUnexpectedResponse + SystemCharset::toUnicode(reply.summary());
    finish(id, std::move(result));
}

void SmtpPipeline::messageFailed(quint64 id, int number, const QString &text)
{
    Q_UNUSED(number);
    SmtpMessageResult result;
    result.kind = SmtpMessageResult::Kind::Failed;
    result.text = text;
    finish(id, std::move(result));
}

void SmtpPipeline::sessionFailed(int number, const QString &text, const std::optional<SmtpReply> &reply)
{
    m_lastReply = reply;
    failAndAbort(number, text, Cause::Reply);
}

} // namespace varnholt
