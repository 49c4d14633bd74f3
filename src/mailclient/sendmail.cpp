#include "mailclient/sendmail.h"

#include "mailclient/mailerrors.h"
#include "settings/syscharset.h"

#include <QMetaMethod>
#include <QScopedValueRollback>

namespace varnholt {

namespace {

// Bytes kept queued in the socket while a message is transmitted: enough to
// keep the connection busy, little enough to stop promptly on a cancel.
constexpr qint64 HighWater = 256 * 1024;

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

bool breaksCommandLine(const QString &text)
{
    for (const QChar c : text) {
        if (c == u'\r' || c == u'\n' || c == u'\0' || c == u'<' || c == u'>')
            return true;
    }
    return false;
}

// The text with control characters made visible, for an error message.
QString visible(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c == u'\r')
            out += QLatin1String("\\r");
        else if (c == u'\n')
            out += QLatin1String("\\n");
        else if (c == u'\0')
            out += QLatin1String("\\0");
        else
            out += c;
    }
    return out;
}

} // namespace

SendMail::SendMail(QObject *parent) : MailSession(parent), m_dialogue(*this)
{
    connect(&m_connection, &MailConnection::resolving, this,
            [this](const QString &host) { emit OnMailInfo(miResolving, host); });
    connect(&m_connection, &MailConnection::resolved, this,
            [this](const QString &address) { emit OnMailInfo(miResolved, address); });
    connect(&m_connection, &MailConnection::connected, this, &SendMail::onConnected);
    connect(&m_connection, &MailConnection::tlsEstablished, this,
            [this] { m_dialogue.tlsEstablished(); });
    connect(&m_connection, &MailConnection::lineReceived, this, &SendMail::onLine);
    connect(&m_connection, &MailConnection::bytesWritten, this, &SendMail::pumpMessage);
    connect(&m_connection, &MailConnection::closedByPeer, this, &SendMail::onClosedByPeer);
    connect(&m_connection, &MailConnection::failed, this, &SendMail::onFailed);
    connect(&m_connection, &MailConnection::tlsFailed, this, &SendMail::onTlsFailed);
    connect(&m_connection, &MailConnection::timedOut, this, &SendMail::onTimedOut);
}

SendMail::~SendMail()
{
    dropAssembler();
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

// A line break or angle bracket in an address would let a list entry add
// commands of its own to the dialogue (SMTP command injection).
std::optional<QString> SendMail::unsafeInput(const SmtpDialogue::Envelope &env) const
{
    if (breaksCommandLine(env.fromAddress))
        return QStringLiteral("Invalid address: ") + visible(env.fromAddress);
    for (const QString &address : env.recipients) {
        if (breaksCommandLine(address))
            return QStringLiteral("Invalid address: ") + visible(address);
    }
    if (!m_heloDef && breaksCommandLine(m_heloTxt))
        return QStringLiteral("Invalid greeting argument: ") + visible(m_heloTxt);
    return std::nullopt;
}

void SendMail::start()
{
    if (m_busy) {
        emit OnMailInfo(miBusy, QString());
        return;
    }
    beginSession();
    dropAssembler(); // a message prepared for a session that never sent it
    m_delivered = false;
    m_quitAnswered = false;
    m_skipTo = m_skipCc = m_skipBcc = 0;

    if (!setUpRecipients()) {
        raiseError(MailError::MailDestination, TextMailDestination);
        abort();
        return;
    }
    const SmtpDialogue::Envelope env = envelope();
    if (const auto problem = unsafeInput(env)) {
        raiseError(MailError::UnsafeInput, *problem);
        abort();
        return;
    }

    if (m_connection.isConnected() && m_dialogue.state() == SmtpDialogue::State::Idle) {
        m_connection.clearLineBuffer();
        m_dialogue.startReusedConnection(env, m_keepConnectionOpen);
        prepareMessage();
        return;
    }

    setWinsockStarted(true);
    SmtpDialogue::Settings settings;
    settings.smtpAuth = m_smtpAuth;
    settings.user = SystemCharset::fromUnicode(m_smtpUser);
    settings.password = SystemCharset::fromUnicode(m_smtpPsw);
    settings.heloArgument =
        SystemCharset::fromUnicode(m_heloDef || m_heloTxt.isEmpty() ? localHostName() : m_heloTxt);
    settings.host = m_smtpServer.trimmed().toUtf8();
    settings.security = m_security;
    settings.keepConnectionOpen = m_keepConnectionOpen;
    m_dialogue.startConnection(settings, env);

    m_connection.setTimeouts(TimeoutArp(), TimeoutConnect());
    m_connection.setHandshakeTimeLimit(replyTimeLimit());
    m_connection.open(m_smtpServer, m_smtpPort, m_security);
}

void SendMail::cancel()
{
    if (!m_busy) {
        // Between messages a cancel ends the kept connection.
        m_dialogue.stop();
        m_connection.close();
        return;
    }
    m_lastResult = MailError::Cancelled;
    abort();
}

void SendMail::abort()
{
    if (m_aborted)
        return;
    m_toAddress.clear();
    m_toName.clear();
    m_message.ListTo.clear();
    m_message.Listcc.clear();
    m_listBcc.clear();
    m_dialogue.stop();
    dropAssembler();
    abortSession();
}

void SendMail::raiseError(int number, const QString &text)
{
    m_lastResult = number;
    emit OnMailError(number, text);
}

void SendMail::onConnected(const QString &address)
{
    emit OnMailInfo(miConnected, address);
    m_connection.clearLineBuffer();
    m_delivered = false;
    if (!m_aborted)
        m_connection.armReplyTimer(replyTimeLimit()); // the greeting
}

void SendMail::onLine(const QByteArray &line)
{
    m_connection.stopReplyTimer();
    if (infoWanted())
        emit OnMailInfo(miReceived, SystemCharset::toUnicode(line));
    if (!m_busy || m_aborted)
        return;
    if (line.size() > 3 && line[3] == '-')
        m_connection.armReplyTimer(replyTimeLimit()); // more of this reply to come
    m_dialogue.handleLine(line);
    if (m_dialogue.state() == SmtpDialogue::State::MailFromReply)
        prepareMessage();
}

void SendMail::onClosedByPeer()
{
    m_dialogue.stop();
    emit OnMailInfo(miDisconnected, QString());
    if (!m_busy || m_aborted)
        return;
    dropAssembler();
    if (!m_delivered)
        raiseError(MailError::PrematurelyDisconnected, TextPrematurelyDisconnected);
    postDone();
}

void SendMail::onFailed(int socketCode, const QString &detail)
{
    Q_UNUSED(detail);
    if (!m_busy) {
        // A kept connection that fails between messages is simply gone.
        m_dialogue.stop();
        emit OnMailInfo(miDisconnected, QString());
        return;
    }
    if (m_aborted)
        return;
    const SocketErrorEntry entry = socketErrorEntry(socketCode);
    raiseError(entry.sendMailNumber, entry.text);
    abort();
}

void SendMail::onTlsFailed(const QString &text)
{
    if (!m_busy || m_aborted)
        return;
    raiseError(MailError::TlsFailure, text);
    abort();
}

void SendMail::onTimedOut()
{
    if (!m_busy || m_aborted)
        return;
    if (m_quitAnswered) {
        // The server answered QUIT but kept the connection: close it ourselves.
        emit OnMailInfo(miDisconnected, QString());
        m_aborted = true;
        postDone();
        return;
    }
    raiseError(MailError::TimedOut, TextConnectionTimedOut);
    abort();
}

void SendMail::sendCommand(const QByteArray &line, const QByteArray &logForm)
{
    if (infoWanted())
        emit OnMailInfo(miSent, SystemCharset::toUnicode(logForm) + QLatin1String("\r\n"));
    if (m_aborted)
        return;
    m_connection.sendLine(line);
    m_connection.armReplyTimer(replyTimeLimit());
}

void SendMail::recipient(const QString &address)
{
    emit OnMailInfo(miRecipient, address);
}

void SendMail::unexpectedReply(const QByteArray &line)
{
    // The session waits for its owner, who reads the reply code from the text.
    raiseError(MailError::UnexpectedResponse, TextUnexpectedResponse + SystemCharset::toUnicode(line));
}

void SendMail::failure(int number, const QString &text)
{
    raiseError(number, text);
    abort();
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
    pumpMessage();
}

// Pulls the message piece by piece while the socket's queue is short; the
// socket's bytesWritten brings us back for more.
void SendMail::pumpMessage()
{
    if (m_dialogue.state() != SmtpDialogue::State::DotReply)
        return; // prepared, but DATA is not accepted yet
    while (m_assembler && !m_aborted && !m_assembler->atEnd()
           && m_connection.bytesPending() < HighWater) {
        QByteArray chunk;
        {
            const QScopedValueRollback pulling(m_pulling, true);
            chunk = m_assembler->nextChunk();
        }
        if (!m_assembler || m_aborted || m_assembler->isAborted())
            return; // cancelled from one of the assembler's events
        if (chunk.isEmpty())
            continue;
        if (infoWanted())
            emit OnMailInfo(miSent, SystemCharset::toUnicode(chunk));
        if (m_aborted)
            return;
        m_connection.write(chunk);
    }
    if (m_assembler && !m_aborted && m_assembler->atEnd()) {
        if (m_pulling) {
            dropAssembler();
        } else {
            // Outside the assembler's own calls it can go at once, which
            // spares the event loop a deferred deletion per message.
            MimeAssembler *assembler = m_assembler;
            m_assembler = nullptr;
            delete assembler;
        }
        m_connection.armReplyTimer(qMax(DotReplyLimit, replyTimeLimit()));
    }
}

void SendMail::dropAssembler()
{
    if (MimeAssembler *assembler = m_assembler) {
        m_assembler = nullptr;
        assembler->disconnect(this);
        if (!assembler->atEnd())
            assembler->abort();
        assembler->deleteLater();
    }
}

void SendMail::accepted(const QByteArray &line)
{
    if (infoWanted())
        emit OnMailInfo(miAccepted, SystemCharset::toUnicode(line));
    m_delivered = true;
    if (m_keepConnectionOpen)
        postDone();
}

void SendMail::quitAnswered()
{
    m_quitAnswered = true;
    m_connection.armReplyTimer(QuitGrace);
}

} // namespace varnholt
