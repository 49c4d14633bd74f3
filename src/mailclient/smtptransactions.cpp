#include "mailclient/smtptransactions.h"

#include "mailclient/mailerrors.h"
#include "settings/syscharset.h"

#include <algorithm>

namespace varnholt {

namespace {

QString replyText(const SmtpReply &reply)
{
    return TextUnexpectedResponse + SystemCharset::toUnicode(reply.summary());
}

bool isSuccess(const SmtpReply &reply)
{
    return reply.code() >= 200 && reply.code() < 300;
}

} // namespace

void SmtpTransactions::start(bool pipelining, bool smtpUtf8Offered)
{
    m_started = true;
    m_stopped = false;
    m_pipelining = pipelining;
    m_smtpUtf8 = smtpUtf8Offered;
    m_rsetDue = false;
    m_quitDue = false;
    m_messages.clear();
    m_expected.clear();
    m_reader.reset();
    release();
}

void SmtpTransactions::queue(Id id, const SmtpDialogue::Envelope &envelope)
{
    Message message;
    message.id = id;
    message.envelope = envelope;
    message.utf8 = envelope.needsSmtpUtf8();
    m_messages.push_back(std::move(message));
    release();
}

void SmtpTransactions::endOfMessage(Id id)
{
    Message *message = find(id);
    if (!message || !message->inBody || m_stopped)
        return;
    message->inBody = false;
    message->dotSent = true;
    m_expected.push_back({Command::Dot, id});
    release();
}

void SmtpTransactions::quit()
{
    m_quitDue = true;
    release();
}

void SmtpTransactions::stop()
{
    m_stopped = true;
    m_expected.clear();
    m_reader.reset();
}

std::optional<SmtpTransactions::Id> SmtpTransactions::replyConcerns() const
{
    if (m_expected.empty() || m_expected.front().kind == Command::Rset || m_expected.front().kind == Command::Quit)
        return std::nullopt;
    return m_expected.front().id;
}

bool SmtpTransactions::wasNamed(Id id) const
{
    return std::any_of(m_messages.cbegin(), m_messages.cend(),
                       [id](const Message &message) { return message.id == id && message.nextCommand > 0; });
}

SmtpTransactions::Message *SmtpTransactions::find(Id id)
{
    for (Message &message : m_messages) {
        if (message.id == id)
            return &message;
    }
    return nullptr;
}

void SmtpTransactions::finish(Id id)
{
    for (auto it = m_messages.begin(); it != m_messages.end(); ++it) {
        if (it->id == id) {
            m_messages.erase(it);
            return;
        }
    }
}

void SmtpTransactions::fail(int number, const QString &text, const std::optional<SmtpReply> &reply)
{
    stop();
    m_events.sessionFailed(number, text, reply);
}

// Sends what may go now. The commands of a message follow the "." of the
// message before it: at once with pipelining, after its reply without.
void SmtpTransactions::release()
{
    if (!m_started || m_stopped)
        return;
    for (auto it = m_messages.begin(); it != m_messages.end();) {
        Message &message = *it;
        if (message.nextCommand >= commandCount(message)) {
            if (!message.dotSent)
                return; // its body has yet to go: nothing may come between
            ++it;
            continue;
        }
        if (message.nextCommand > 0 || (!m_pipelining && !m_expected.empty()))
            return; // its commands go one at a time, each after a reply
        if (message.utf8 && !m_smtpUtf8) {
            // RFC 6531: without SMTPUTF8 the address cannot be named at all.
            const bool sender = std::any_of(message.envelope.fromAddress.cbegin(),
                                            message.envelope.fromAddress.cend(),
                                            [](QChar c) { return c.unicode() >= 0x80; });
            const Id id = message.id;
            it = m_messages.erase(it);
            m_events.messageFailed(id, MailError::SmtpUtf8NotOffered,
                                   TextSmtpUtf8NotOffered.arg(sender ? QStringLiteral("sender")
                                                                     : QStringLiteral("recipient")));
            if (m_stopped)
                return;
            it = m_messages.begin(); // the handler may have queued or ended messages
            continue;
        }
        if (m_rsetDue) {
            m_rsetDue = false;
            m_expected.push_back({Command::Rset, 0});
            m_events.sendCommand("RSET");
            if (!m_pipelining)
                return;
        }
        if (m_pipelining) {
            // RFC 2920 3.1: DATA ends the group.
            while (message.nextCommand < commandCount(message))
                sendNextCommand(message);
        } else {
            sendNextCommand(message);
        }
        return;
    }
    if (m_quitDue && m_messages.empty() && m_expected.empty()) {
        m_quitDue = false;
        m_expected.push_back({Command::Quit, 0});
        m_events.sendCommand("QUIT");
    }
}

bool SmtpTransactions::sendNextCommand(Message &message)
{
    const int index = message.nextCommand++;
    const auto &recipients = message.envelope.recipients;
    if (index == 0) {
        QByteArray line = "MAIL FROM:<" + SmtpDialogue::wireAddress(message.envelope.fromAddress, message.utf8) + '>';
        if (message.utf8)
            line += " SMTPUTF8"; // RFC 6531 3.4
        m_expected.push_back({Command::Mail, message.id});
        m_events.sendCommand(line);
    } else if (index <= recipients.size()) {
        m_expected.push_back({Command::Rcpt, message.id});
        m_events.sendCommand("RCPT TO:<" + SmtpDialogue::wireAddress(recipients.at(index - 1), message.utf8) + '>');
    } else {
        m_expected.push_back({Command::Data, message.id});
        m_events.sendCommand("DATA");
    }
    return !m_stopped;
}

void SmtpTransactions::handleLine(const QByteArray &line)
{
    if (line.isEmpty() || !m_started || m_stopped)
        return;
    switch (m_reader.feed(line)) {
    case SmtpReplyReader::Status::NeedMore:
        return;
    case SmtpReplyReader::Status::Complete:
        handleReply(m_reader.take());
        return;
    case SmtpReplyReader::Status::Malformed:
    case SmtpReplyReader::Status::TooLong:
        fail(MailError::ProtocolError, m_reader.errorText(), std::nullopt);
        return;
    }
}

void SmtpTransactions::handleReply(const SmtpReply &reply)
{
    if (m_expected.empty()) {
        // A reply to nothing: while a body goes out, a server that gives up
        // on it (a size limit, a time-out) says so and closes.
        fail(MailError::UnexpectedResponse, replyText(reply), reply);
        return;
    }
    const Expected expected = m_expected.front();
    m_expected.pop_front();
    if (expected.kind == Command::Quit) {
        m_stopped = true;
        m_events.quitAnswered();
        return;
    }
    if (expected.kind == Command::Rset) {
        if (isSuccess(reply))
            release();
        else
            fail(MailError::UnexpectedResponse, replyText(reply), reply);
        return;
    }
    Message *message = find(expected.id);
    if (!message) {
        fail(MailError::InternalError, QStringLiteral("A reply for a message no longer on the way"), reply);
        return;
    }
    if (reply.code() == 421) {
        // RFC 5321 3.8: the server is closing the connection. The message
        // it answered is refused; the others end with the connection.
        const SmtpReply refusal = message->refusal.value_or(reply);
        const Id id = message->id;
        finish(id);
        m_stopped = true;
        m_events.messageRefused(id, refusal);
        m_stopped = false;
        fail(MailError::UnexpectedResponse, replyText(reply), reply);
        return;
    }

    switch (expected.kind) {
    case Command::Mail:
    case Command::Rcpt:
        if (!isSuccess(reply)) {
            if (!message->refusal)
                message->refusal = reply;
            if (!m_pipelining) {
                // Without pipelining nothing more of it was sent.
                const Id id = message->id;
                const SmtpReply refusal = *message->refusal;
                finish(id);
                m_rsetDue = true;
                m_events.messageRefused(id, refusal);
                release();
            }
            // With pipelining its other replies are still to come; the
            // reply to its DATA ends it.
        } else if (!m_pipelining) {
            sendNextCommand(*message);
        }
        return;
    case Command::Data:
        onDataReply(*message, reply);
        return;
    case Command::Dot: {
        const Id id = message->id;
        finish(id);
        if (isSuccess(reply))
            m_events.messageAccepted(id, reply);
        else
            m_events.messageRefused(id, reply);
        release();
        return;
    }
    default:
        return;
    }
}

void SmtpTransactions::onDataReply(Message &message, const SmtpReply &reply)
{
    const Id id = message.id;
    if (reply.code() == 354) {
        if (message.refusal) {
            // A recipient was refused and the server still waits for the
            // data (it took another recipient): only closing the connection
            // keeps the message from going.
            const SmtpReply refusal = *message.refusal;
            finish(id);
            m_stopped = true;
            m_events.messageRefused(id, refusal);
            m_stopped = false;
            fail(MailError::UnexpectedResponse,
                 QStringLiteral("The server accepted DATA for a message it had refused a recipient of"), reply);
            return;
        }
        message.inBody = true;
        m_events.transmitMessage(id);
        return;
    }
    // DATA refused: no body goes. A refusal before it is the message's
    // outcome.
    const SmtpReply refusal = message.refusal.value_or(reply);
    finish(id);
    m_rsetDue = true;
    m_events.messageRefused(id, refusal);
    release();
}

} // namespace varnholt
