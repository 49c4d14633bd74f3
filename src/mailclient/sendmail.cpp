#include "mailclient/sendmail.h"

#include "mailclient/mailerrors.h"
#include "settings/syscharset.h"

#include <QMetaMethod>

namespace varnholt {

namespace {

// RFC 5321 4.5.3.2.6: the reply to the final "." may take 10 minutes.
constexpr std::chrono::milliseconds DotReplyLimit = std::chrono::minutes(10);

// RFC 5321 4.1.1.10: the server closes after its reply to QUIT; wait a
// moment for that before closing ourselves.
constexpr std::chrono::milliseconds QuitGrace = std::chrono::seconds(2);

QString addressOf(const QString &entry)
{
    const qsizetype bar = entry.indexOf(u'|');
    return bar < 0 ? entry : entry.left(bar);
}

QString nameOf(const QString &entry)
{
    const qsizetype bar = entry.indexOf(u'|');
    return bar < 0 ? QString() : entry.mid(bar + 1);
}

} // namespace

SendMail::SendMail(QObject *parent) : MailSession(parent), m_dialogue(*this)
{
    connect(&m_connection, &MailConnection::tlsEstablished, this,
            [this] { m_dialogue.tlsEstablished(); });
    connect(&m_connection, &MailConnection::bytesWritten, this, &SendMail::pumpMessage);
}

SendMail::~SendMail()
{
    dropAssembler(m_assembler, m_pulling);
    m_connection.disconnect(this);
    m_connection.close();
}

void SendMail::setAction(TMailAction action)
{
    m_action = action;
    if (action == Send_Mail)
        start();
    else if (action == Cancel_SendMail)
        cancel();
}

SmtpResult SendMail::result() const
{
    SmtpResult result;
    static_cast<MailResult &>(result) = m_outcome;
    result.reply = m_reply;
    result.finalDotSent = m_finalDotSent;
    return result;
}

bool SendMail::setUpRecipients()
{
    if (!m_toAddress.isEmpty()) {
        m_message.ListTo.prepend(m_toAddress + u'|' + m_toName);
        m_skipTo = 1;
        return true;
    }
    const auto takeFirst = [this](const QStringList &list, int &skip) {
        if (m_toAddress.isEmpty() && !list.isEmpty()) {
            m_toAddress = addressOf(list.first());
            m_toName = nameOf(list.first());
            skip = 1;
        }
    };
    takeFirst(m_message.ListTo, m_skipTo);
    takeFirst(m_message.Listcc, m_skipCc);
    takeFirst(m_listBcc, m_skipBcc);
    return !m_toAddress.isEmpty();
}

SmtpDialogue::Envelope SendMail::envelope() const
{
    SmtpDialogue::Envelope result;
    result.fromAddress = m_message.FROM_Address;
    result.recipients.append(m_toAddress);
    const auto addRest = [&result](const QStringList &list, int skip) {
        for (qsizetype i = skip; i < list.size(); ++i)
            result.recipients.append(addressOf(list.at(i)));
    };
    addRest(m_message.ListTo, m_skipTo);
    addRest(m_message.Listcc, m_skipCc);
    addRest(m_listBcc, m_skipBcc);
    return result;
}

std::optional<QString> SendMail::unsafeInput(const SmtpDialogue::Envelope &env) const
{
    return SmtpDialogue::unsafeInput(env, m_heloDef ? QString() : m_heloTxt);
}

void SendMail::start()
{
    if (m_busy) {
        emit OnMailInfo(miBusy, QString());
        return;
    }
    beginSession();
    dropAssembler(m_assembler, m_pulling); // a message prepared for a session that never sent it
    m_delivered = false;
    m_inBody = false;
    m_finalDotSent = false;
    m_reply.reset();
    m_skipTo = m_skipCc = m_skipBcc = 0;

    if (!m_loginOnly && !setUpRecipients()) {
        failAndAbort(MailError::MailDestination, TextMailDestination, Cause::Local);
        return;
    }
    // A connection test names nobody: its envelope is empty.
    const SmtpDialogue::Envelope env = m_loginOnly ? SmtpDialogue::Envelope() : envelope();
    if (const auto problem = unsafeInput(env)) {
        failAndAbort(MailError::UnsafeInput, *problem, Cause::Local);
        return;
    }
    if (m_loginOnly) {
        // A kept connection is past its log-in: a test needs its own.
        m_dialogue.stop();
        m_connection.close();
        openFresh(env);
        return;
    }

    if (m_connection.isConnected() && m_dialogue.state() == SmtpDialogue::State::Idle) {
        m_connection.clearLineBuffer();
        m_dialogue.startReusedConnection(env, m_keepConnectionOpen);
        prepareMessage();
        return;
    }
    openFresh(env);
}

void SendMail::openFresh(const SmtpDialogue::Envelope &env)
{
    SmtpDialogue::Settings settings;
    settings.smtpAuth = m_smtpAuth;
    settings.user = SystemCharset::fromUnicode(m_smtpUser);
    settings.password = SystemCharset::fromUnicode(m_smtpPsw);
    settings.heloArgument =
        SystemCharset::fromUnicode(m_heloDef || m_heloTxt.isEmpty() ? localHostName() : m_heloTxt);
    settings.host = m_smtpServer.trimmed().toUtf8();
    settings.security = m_security;
    settings.keepConnectionOpen = m_keepConnectionOpen && !m_loginOnly;
    settings.loginOnly = m_loginOnly;
    m_dialogue.startConnection(settings, env);
    openConnection(m_smtpServer, m_smtpPort, m_security);
}

void SendMail::cancel()
{
    if (!m_busy) {
        // Between messages a cancel ends the kept connection.
        m_dialogue.stop();
        m_connection.close();
        return;
    }
    cancelSession();
}

void SendMail::cleanUpForAbort()
{
    if (m_inBody && tracing())
        trace("C: ", QByteArray("<message " + QByteArray::number(m_bodyBytes) + " bytes>"));
    m_inBody = false;
    m_toAddress.clear();
    m_toName.clear();
    m_message.ListTo.clear();
    m_message.Listcc.clear();
    m_listBcc.clear();
    m_dialogue.stop();
    dropAssembler(m_assembler, m_pulling);
}

void SendMail::reportInfo(Info info, const QString &text)
{
    // In the order of MailSession::Info.
    static constexpr SendMailInfo numbers[] = {miResolving, miResolved, miConnected, miDisconnected, miSent};
    emit OnMailInfo(numbers[int(info)], text);
}

void SendMail::connected()
{
    m_delivered = false;
}

void SendMail::lineReceived(const QByteArray &line)
{
    if (infoWanted())
        emit OnMailInfo(miReceived, SystemCharset::toUnicode(line));
    if (!m_busy || m_aborted)
        return;
    // One time limit for the whole reply: only its last line stops it.
    if (SmtpReplyReader::isLastLine(line))
        m_connection.stopReplyTimer();
    m_dialogue.handleLine(line);
    if (m_dialogue.state() == SmtpDialogue::State::MailFromReply)
        prepareMessage();
}

void SendMail::closedByPeer()
{
    m_dialogue.stop();
    reportInfo(Info::Disconnected, QString());
    if (!m_busy || m_aborted)
        return;
    dropAssembler(m_assembler, m_pulling);
    // After an accepted message or a connection test's accepted log-in the
    // server closes in answer to "QUIT".
    if (!m_delivered && !m_outcome.ok)
        fail(MailError::PrematurelyDisconnected, TextPrematurelyDisconnected, Cause::Connection);
    postDone();
}

void SendMail::connectionLostWhileIdle()
{
    // A kept connection that fails between messages is simply gone.
    m_dialogue.stop();
    reportInfo(Info::Disconnected, QString());
}

void SendMail::timedOut()
{
    if (m_delivered || m_outcome.ok) {
        // The message (or a connection test's log-in) was accepted and
        // "QUIT" sent; the server kept the connection or never answered: it
        // is closed now, and that is no failure of the session.
        reportInfo(Info::Disconnected, QString());
        m_aborted = true;
        postDone();
        return;
    }
    MailSession::timedOut();
}

void SendMail::sendCommand(const QByteArray &line, const QByteArray &logForm, bool credentials)
{
    sendCommandLine(line, logForm, credentials);
}

void SendMail::recipient(const QString &address)
{
    emit OnMailInfo(miRecipient, address);
}

void SendMail::unexpectedReply(const SmtpReply &reply)
{
    // The session waits for its owner, who reads the reply code from the
    // text: a reply of several lines gives them all, joined with " / ".
    if (!settled())
        m_reply = reply;
    fail(MailError::UnexpectedResponse, TextUnexpectedResponse + SystemCharset::toUnicode(reply.summary()),
         Cause::Reply);
}

void SendMail::failure(int number, const QString &text, const std::optional<SmtpReply> &reply)
{
    if (!settled() && reply)
        m_reply = reply;
    failAndAbort(number, text, Cause::Reply);
}

void SendMail::beginTls()
{
    m_connection.startTls();
}

// Whether anyone listens to OnMailInfo: its texts (for miSent a whole
// message) are only made for a listener.
bool SendMail::infoWanted() const
{
    static const QMetaMethod signal = QMetaMethod::fromSignal(&SendMail::OnMailInfo);
    return isSignalConnected(signal);
}

// Puts the message together as soon as the sender is named: the work then
// overlaps the server's replies to MAIL FROM and RCPT TO instead of
// following its reply to DATA. The assembler reads no file and raises no
// event before its first chunk is pulled.
void SendMail::prepareMessage()
{
    if (m_assembler || m_aborted || !m_busy)
        return;
    m_assembler = new MimeAssembler(m_message, this);
    connect(m_assembler, &MimeAssembler::miPartSize, this,
            [this](qint64 bytes) { emit OnMailInfo(miPartSize, QString::number(bytes)); });
    connect(m_assembler, &MimeAssembler::miPartProgress, this,
            [this](qint64 bytes) { emit OnMailInfo(miPartProgress, QString::number(bytes)); });
    connect(m_assembler, &MimeAssembler::miFile, this,
            [this](const QString &path) { emit OnMailInfo(miFile, path); });
    connect(m_assembler, &MimeAssembler::miFileError, this,
            [this](const QString &path) { emit OnMailInfo(miFileError, path); });
}

void SendMail::transmitMessage()
{
    prepareMessage();
    m_inBody = true;
    m_bodyBytes = 0;
    pumpMessage();
}

// Pulls the message piece by piece while the socket's queue is short; the
// socket's bytesWritten brings us back for more.
void SendMail::pumpMessage()
{
    if (!m_inBody)
        return;
    const auto shown = [this](const QByteArray &chunk) {
        if (infoWanted())
            emit OnMailInfo(miSent, SystemCharset::toUnicode(chunk));
    };
    if (writeBody(m_assembler, m_pulling, m_bodyBytes, shown) == BodyStep::Finished)
        endMessage();
}

// RFC 5321 4.1.1.4: the body's last CR LF and the line "." end the data.
void SendMail::endMessage()
{
    m_inBody = false;
    dropAssembler(m_assembler, m_pulling);
    if (tracing())
        trace("C: ", QByteArray("<message " + QByteArray::number(m_bodyBytes) + " bytes>"));
    if (m_beforeFinalDot) {
        const bool recorded = m_beforeFinalDot();
        if (m_aborted)
            return; // cancelled from the hook
        if (!recorded) {
            // Without the "." the server never takes the message.
            failAndAbort(MailError::MessageWithdrawn, TextMessageWithdrawn, Cause::Local);
            return;
        }
    }
    if (infoWanted()) {
        emit OnMailInfo(miSent, QStringLiteral(".\r\n"));
        if (m_aborted)
            return;
    }
    setLastCommand(QByteArrayLiteral("."));
    // Only a "." the connection took can have reached the server: when it
    // was already gone, the message is certainly not taken.
    if (!m_connection.write(QByteArrayLiteral(".\r\n")))
        return;
    m_finalDotSent = true;
    if (tracing())
        trace("C: ", ".");
    m_connection.armReplyTimer(qMax(DotReplyLimit, replyTimeLimit()));
}

void SendMail::accepted(const SmtpReply &reply)
{
    if (!m_finalDotSent) {
        // A server cannot take a message it has not seen the end of; the
        // connection is dropped before the "." can go.
        failure(MailError::ProtocolError,
                QStringLiteral("The server accepted the message before its end: ")
                    + quotedServerLine(reply.summary()),
                reply);
        return;
    }
    if (!settled())
        m_reply = reply;
    succeed();
    if (infoWanted())
        emit OnMailInfo(miAccepted, SystemCharset::toUnicode(reply.summary()));
    m_delivered = true;
    if (m_keepConnectionOpen)
        postDone();
}

void SendMail::readyForMail(const SmtpReply &reply)
{
    if (!settled())
        m_reply = reply;
    succeed();
}

void SendMail::quitAnswered()
{
    m_connection.armReplyTimer(QuitGrace);
}

} // namespace varnholt
