#include "direct/smtpcli.h"

#include "direct/wsocket.h"
#include "mailclient/mailerrors.h"

#include <QMetaObject>
#include <QScopedValueRollback>

namespace varnholt {

namespace {

const QString TextNotReady = QStringLiteral("SMTP component not ready");
const QString TextNotConnected = QStringLiteral("SMTP component not connected");
const QString TextAlreadyConnected = QStringLiteral("SMTP component already connected");
const QString TextRcptEmpty = QStringLiteral("RcptName list is empty");
const QString TextNoNext = QStringLiteral("Program error: FNext is nil");
const QString TextLineBreak = QStringLiteral("SMTP command argument contains a line break");
const QString TextOperationAborted = QStringLiteral("426 Operation aborted.");

constexpr quint16 SessionClosed = SocketError::Interrupted; // 10004
constexpr quint16 TransferAborted = 426;
constexpr quint16 LocalFailure = 500;

struct StatusCode {
    int code = 0;
    qsizetype end = 0; // the index after the digits
};

// Skips blanks, tabs, CR and LF, an optional sign, then reads the digits.
[[nodiscard]] StatusCode readStatus(const QString &line)
{
    qsizetype i = 0;
    while (i < line.size() && (line[i] == u' ' || line[i] == u'\t' || line[i] == u'\r' || line[i] == u'\n'))
        ++i;
    bool negative = false;
    if (i < line.size() && (line[i] == u'+' || line[i] == u'-')) {
        negative = line[i] == u'-';
        ++i;
    }
    int code = 0;
    while (i < line.size() && line[i] >= u'0' && line[i] <= u'9') {
        if (code < 100000) // no reply code is that long; stop before it overflows
            code = code * 10 + (line[i].unicode() - u'0');
        ++i;
    }
    return {negative ? -code : code, i};
}

[[nodiscard]] QString socketReply(quint16 error)
{
    return QStringLiteral("500 %1 (Winsock error #%2)").arg(ErrorText(error)).arg(error);
}

// A line break inside an argument would let it smuggle in commands of its own.
void checkArgument(const QString &text)
{
    if (text.contains(u'\r') || text.contains(u'\n'))
        throw SmtpException(TextLineBreak);
}

} // namespace

TSmtpCli::TSmtpCli(QObject *parent) : QObject(parent), m_socket(std::make_unique<TWSocket>())
{
    m_socket->onDnsLookupDone = [this](TWSocket *, quint16 error) { dnsLookupDone(error); };
    m_socket->onSessionConnected = [this](TWSocket *, quint16 error) { sessionConnected(error); };
    m_socket->onDataAvailable = [this](TWSocket *, quint16) { dataAvailable(); };
    m_socket->onSessionClosed = [this](TWSocket *, quint16) { sessionClosed(); };
}

TSmtpCli::~TSmtpCli()
{
    m_destroying = true;
    onDisplay = nullptr;
    onCommand = nullptr;
    onResponse = nullptr;
    onRequestDone = nullptr;
    onBeforeFinalDot = nullptr;
    onFileError = nullptr;
    delete m_assembler.data();
    // The socket reports nothing while it goes.
    m_socket.reset();
}

void TSmtpCli::setMessage(MimeInputs inputs)
{
    m_message = std::move(inputs);
}

void TSmtpCli::setState(TSmtpState state)
{
    m_state = state;
}

void TSmtpCli::checkReady() const
{
    if ((m_state != TSmtpState::smtpReady && m_state != TSmtpState::smtpInternalReady) || m_inBody)
        throw SmtpException(TextNotReady);
}

void TSmtpCli::checkConnected() const
{
    if (!m_connected)
        throw SmtpException(TextNotConnected);
}

// Inside a sequence the sequence's kind stays (except for the connect step).
void TSmtpCli::startRequest(TSmtpRequest kind)
{
    if (!m_sequence) {
        m_requestType = kind;
        m_errorMessage.clear();
    }
    ++m_generation;
    m_requestDone = false;
    // A new request on a session that delivered a message has sent no "."
    // of its own yet.
    m_finalDotSent = false;
}

void TSmtpCli::sendCommand(const QString &line, QList<int> okCodes, Continuation continuation)
{
    m_okCodes = std::move(okCodes);
    m_awaitingReply = true;
    m_continuation = continuation;
    setState(TSmtpState::smtpWaitingResponse);
    const quint64 session = m_session;
    if (onCommand)
        onCommand(this, line);
    if (onDisplay)
        onDisplay(this, QStringLiteral("> ") + line);
    if (session != m_session || m_state != TSmtpState::smtpWaitingResponse)
        return; // aborted from a handler
    if (m_socket->state() == TSocketState::wsConnected)
        m_socket->send(line.toUtf8() + "\r\n");
}

void TSmtpCli::complete(quint16 error)
{
    if (m_requestDone)
        return;
    m_requestDone = true;
    m_awaitingReply = false;
    m_continuation = Continuation::None;
    if (m_sequence && error == 0) {
        if (m_state != TSmtpState::smtpAbort) {
            setState(TSmtpState::smtpInternalReady);
            runNextStep(false);
            return;
        }
        // A step that succeeded while the client is being aborted. (With
        // TWSocket, which reports the close inside abort(), the open request
        // completes with 10004 first; this stays for a socket that reports
        // it later.)
        error = TransferAborted;
        m_errorMessage = TextOperationAborted;
        m_lastResponse = TextOperationAborted;
    }
    m_inBody = false;
    m_socket->onDataSent = nullptr;
    dropAssembler();
    setState(TSmtpState::smtpReady);
    m_sequence = false;
    m_pendingSteps.clear();
    deliver(m_generation, m_requestType, error);
}

void TSmtpCli::deliver(quint64 generation, TSmtpRequest kind, quint16 error)
{
    // Queued on this object: dropped with it, and never inside the call
    // that started the request.
    QMetaObject::invokeMethod(
        this,
        [this, generation, kind, error] {
            if (generation != m_generation || m_destroying)
                return; // a later request has started since
            if (onRequestDone)
                onRequestDone(this, kind, error);
        },
        Qt::QueuedConnection);
}

void TSmtpCli::failRequest(const QString &reply, quint16 error)
{
    m_lastResponse = reply;
    if (m_errorMessage.isEmpty())
        m_errorMessage = reply;
    complete(error);
}

// --- Commands ---------------------------------------------------------------

void TSmtpCli::connect()
{
    if (m_connected)
        throw SmtpException(TextAlreadyConnected);
    checkReady();
    // The connect step records its own kind even inside a sequence, so that
    // open() completes as smtpConnect.
    startRequest(TSmtpRequest::smtpConnect);
    m_requestType = TSmtpRequest::smtpConnect;
    m_reply.clear();
    m_finalDotSent = false;
    m_socket->onDataSent = nullptr;
    setState(TSmtpState::smtpDnsLookup);
    try {
        m_socket->dnsLookup(m_host); // a dotted address is reported inside the call
    } catch (const ESocketException &e) {
        m_requestDone = true;
        setState(TSmtpState::smtpReady);
        throw SmtpException(e.message());
    }
}

void TSmtpCli::helo()
{
    checkReady();
    checkConnected();
    const QString name = m_signOn.isEmpty() ? LocalHostName() : m_signOn;
    checkArgument(name);
    startRequest(TSmtpRequest::smtpHelo);
    sendCommand(QStringLiteral("HELO ") + name, {250});
}

void TSmtpCli::vrfy()
{
    checkReady();
    checkConnected();
    checkArgument(m_hdrTo);
    startRequest(TSmtpRequest::smtpVrfy);
    sendCommand(QStringLiteral("VRFY ") + m_hdrTo, {250});
}

void TSmtpCli::mailFrom()
{
    checkReady();
    checkConnected();
    checkArgument(m_fromName);
    startRequest(TSmtpRequest::smtpMailFrom);
    sendCommand(QStringLiteral("MAIL FROM:<") + m_fromName.trimmed() + u'>', {250});
}

void TSmtpCli::rcptTo()
{
    checkReady();
    checkConnected();
    if (m_rcptName.isEmpty())
        throw SmtpException(TextRcptEmpty);
    for (const QString &entry : std::as_const(m_rcptName))
        checkArgument(entry);
    startRequest(TSmtpRequest::smtpRcptTo);
    m_rcptSending = m_rcptName; // the owner may change the property meanwhile
    m_rcptIndex = 0;
    sendRecipient();
}

// Every entry but the last goes with a continuation that sends the next
// one: only the last entry's reply decides the request.
void TSmtpCli::sendRecipient()
{
    const bool last = m_rcptIndex >= m_rcptSending.size() - 1;
    sendCommand(QStringLiteral("RCPT TO:<") + m_rcptSending.at(m_rcptIndex).trimmed() + u'>', {250, 251},
                last ? Continuation::None : Continuation::NextRecipient);
}

void TSmtpCli::data()
{
    checkReady();
    checkConnected();
    startRequest(TSmtpRequest::smtpData);
    m_finalDotSent = false;
    dropAssembler();
    // Made now, while the server answers DATA; it reads no file before its
    // first chunk is pulled.
    m_assembler = new MimeAssembler(m_message, this);
    QObject::connect(m_assembler, &MimeAssembler::miFileError, this, [this](const QString &path) {
        // As the account transport does: the message goes on without the
        // part, the owner is told.
        if (onDisplay)
            onDisplay(this, QStringLiteral("! cannot read ") + path);
        if (onFileError)
            onFileError(this, path);
    });
    sendCommand(QStringLiteral("DATA"), {354}, Continuation::Transmit);
}

void TSmtpCli::quit()
{
    checkReady();
    if (!m_connected) {
        // Nothing to say goodbye to: done at once (reported from the loop).
        startRequest(TSmtpRequest::smtpQuit);
        complete(0);
        return;
    }
    startRequest(TSmtpRequest::smtpQuit);
    sendCommand(QStringLiteral("QUIT"), {221});
}

void TSmtpCli::rset()
{
    checkReady();
    checkConnected();
    startRequest(TSmtpRequest::smtpRset);
    sendCommand(QStringLiteral("RSET"), {250});
}

void TSmtpCli::open()
{
    if (m_connected)
        throw SmtpException(TextAlreadyConnected);
    startSequence(TSmtpRequest::smtpOpen, {TSmtpRequest::smtpConnect, TSmtpRequest::smtpHelo});
}

void TSmtpCli::mail()
{
    checkReady();
    checkConnected();
    // Checked here: the steps after the first run from the event loop,
    // where an exception could not reach the caller.
    if (m_rcptName.isEmpty())
        throw SmtpException(TextRcptEmpty);
    checkArgument(m_fromName);
    for (const QString &entry : std::as_const(m_rcptName))
        checkArgument(entry);
    startSequence(TSmtpRequest::smtpMail,
                  {TSmtpRequest::smtpMailFrom, TSmtpRequest::smtpRcptTo, TSmtpRequest::smtpData});
}

void TSmtpCli::startSequence(TSmtpRequest kind, QList<TSmtpRequest> steps)
{
    checkReady();
    m_requestType = kind;
    ++m_generation;
    m_lastResponse.clear();
    m_errorMessage.clear();
    m_pendingSteps = std::move(steps);
    m_sequence = true;
    runNextStep(true);
}

void TSmtpCli::runNextStep(bool fromCaller)
{
    if (m_pendingSteps.isEmpty()) {
        m_sequence = false;
        m_requestDone = false;
        complete(0);
        return;
    }
    const TSmtpRequest step = m_pendingSteps.takeFirst();
    try {
        switch (step) {
        case TSmtpRequest::smtpConnect: connect(); break;
        case TSmtpRequest::smtpHelo: helo(); break;
        case TSmtpRequest::smtpVrfy: vrfy(); break;
        case TSmtpRequest::smtpMailFrom: mailFrom(); break;
        case TSmtpRequest::smtpRcptTo: rcptTo(); break;
        case TSmtpRequest::smtpData: data(); break;
        case TSmtpRequest::smtpQuit: quit(); break;
        default: break;
        }
    } catch (const std::exception &e) {
        if (fromCaller) {
            m_sequence = false;
            m_pendingSteps.clear();
            setState(TSmtpState::smtpReady);
            throw;
        }
        // A later step runs from a socket event: the sequence ends with the
        // failure instead.
        m_requestDone = false;
        failRequest(QStringLiteral("500 ") + QString::fromLocal8Bit(e.what()), LocalFailure);
    }
}

void TSmtpCli::abort()
{
    setState(TSmtpState::smtpAbort);
    m_inBody = false;
    m_socket->onDataSent = nullptr;
    dropAssembler();
    // Cancels a lookup too; an open connection reports its close here.
    m_socket->abort();
    m_connected = false;
    ++m_session;
    m_reply.clear();
    if (!m_requestDone)
        complete(SessionClosed);
    setState(TSmtpState::smtpReady);
}

// --- Socket events ----------------------------------------------------------

void TSmtpCli::dnsLookupDone(quint16 error)
{
    if (m_state != TSmtpState::smtpDnsLookup)
        return;
    if (error != 0) {
        failRequest(socketReply(error), error);
        return;
    }
    try {
        m_socket->setAddr(m_socket->dnsResult());
        m_socket->setProto(QStringLiteral("tcp"));
        m_socket->setPort(m_port);
        setState(TSmtpState::smtpConnecting);
        m_socket->connect();
    } catch (const ESocketException &e) {
        failRequest(QStringLiteral("500 ESocketException: ") + e.message(), LocalFailure);
    }
}

void TSmtpCli::sessionConnected(quint16 error)
{
    if (m_state != TSmtpState::smtpConnecting)
        return;
    if (error != 0) {
        m_connected = false;
        failRequest(socketReply(error), error);
        m_socket->close();
        return;
    }
    m_connected = true;
    setState(TSmtpState::smtpWaitingBanner);
}

void TSmtpCli::dataAvailable()
{
    char buffer[ReplyBufferSize];
    const int room = int(ReplyBufferSize - m_reply.size());
    const int got = m_socket->receive(buffer, room);
    if (got <= 0)
        return;
    m_reply.append(buffer, got);
    takeLines();
}

void TSmtpCli::takeLines()
{
    const quint64 session = m_session;
    while (session == m_session) {
        const qsizetype end = m_reply.indexOf("\r\n");
        if (end < 0) {
            if (m_reply.size() >= ReplyBufferSize) {
                // The line can never be whole: rather than wait for ever,
                // the session ends.
                m_reply.clear();
                if (!m_requestDone)
                    failRequest(QStringLiteral("500 The server's reply line is longer than %1 bytes")
                                    .arg(ReplyBufferSize - 2),
                                LocalFailure);
                m_socket->abort();
            }
            return;
        }
        m_lastResponse = QString::fromUtf8(m_reply.constData(), end);
        m_reply.remove(0, end + 2);
        if (onResponse)
            onResponse(this, m_lastResponse);
        if (session != m_session)
            return;
        switch (m_state) {
        case TSmtpState::smtpWaitingBanner: {
            if (onDisplay)
                onDisplay(this, QStringLiteral("< ") + m_lastResponse);
            if (session != m_session)
                return;
            const StatusCode status = readStatus(m_lastResponse);
            if (status.end < m_lastResponse.size() && m_lastResponse[status.end] == u'-')
                break; // more lines of the greeting follow
            if (status.code != 220) {
                // The close completes the request (10004); LastResponse keeps
                // the greeting.
                if (m_errorMessage.isEmpty())
                    m_errorMessage = m_lastResponse;
                m_reply.clear();
                m_socket->close();
                return;
            }
            setState(TSmtpState::smtpConnected);
            complete(0);
            break;
        }
        case TSmtpState::smtpWaitingResponse:
            checkReply();
            break;
        default:
            if (onDisplay)
                onDisplay(this, QStringLiteral("< ") + m_lastResponse);
            break;
        }
    }
}

void TSmtpCli::checkReply()
{
    const quint64 session = m_session;
    if (onDisplay)
        onDisplay(this, QStringLiteral("< ") + m_lastResponse);
    if (session != m_session || m_state != TSmtpState::smtpWaitingResponse)
        return;
    if (!m_awaitingReply)
        throw SmtpException(TextNoNext);
    const StatusCode status = readStatus(m_lastResponse);
    if (status.end < m_lastResponse.size() && m_lastResponse[status.end] == u'-')
        return; // a continuation line: the reply ends with its last line
    const bool wellFormed = status.code >= 100 && status.code <= 599;
    const bool accepted = m_okCodes.isEmpty() ? wellFormed && status.code < 500 : m_okCodes.contains(status.code);
    // A reply without a readable code cannot count as success.
    const quint16 result = accepted ? 0 : wellFormed ? quint16(status.code) : LocalFailure;
    if (result != 0 && m_errorMessage.isEmpty())
        m_errorMessage = m_lastResponse;

    const Continuation continuation = std::exchange(m_continuation, Continuation::None);
    m_awaitingReply = false;
    switch (continuation) {
    case Continuation::NextRecipient:
        setState(TSmtpState::smtpInternalReady);
        ++m_rcptIndex;
        sendRecipient();
        break;
    case Continuation::Transmit:
        if (result == 0)
            transmit();
        else
            complete(result);
        break;
    case Continuation::None:
        complete(result);
        break;
    }
}

void TSmtpCli::sessionClosed()
{
    m_connected = false;
    ++m_session;
    m_reply.clear();
    m_inBody = false;
    m_socket->onDataSent = nullptr;
    dropAssembler();
    // A server that hangs up instead of answering QUIT has still ended the
    // session, which is all QUIT asks for: a message it took before stays
    // delivered.
    if (!m_requestDone)
        complete(m_requestType == TSmtpRequest::smtpQuit && !m_sequence ? 0 : SessionClosed);
}

// --- The message ------------------------------------------------------------

void TSmtpCli::transmit()
{
    m_inBody = true;
    m_bodyBytes = 0;
    setState(TSmtpState::smtpInternalReady);
    m_socket->onDataSent = [this](TWSocket *, quint16) { pumpMessage(); };
    pumpMessage();
}

// One chunk at a time: the next is pulled when the socket has handed the
// previous one to the network, so a big attachment is never whole in memory.
void TSmtpCli::pumpMessage()
{
    while (m_inBody && m_connected && m_assembler) {
        QByteArray chunk;
        {
            const QScopedValueRollback pulling(m_pulling, true);
            chunk = m_assembler->nextChunk();
        }
        if (!m_inBody || !m_assembler || m_assembler->isAborted())
            return; // aborted from one of the assembler's events
        const bool last = m_assembler->atEnd();
        // The assembler ends with the "." line; it goes out on its own,
        // after onBeforeFinalDot.
        if (last && (chunk == ".\r\n" || chunk.endsWith("\r\n.\r\n")))
            chunk.chop(3);
        if (!chunk.isEmpty()) {
            m_bodyBytes += chunk.size();
            m_socket->send(chunk);
            if (!m_inBody)
                return; // the connection failed while sending
        }
        if (last) {
            endMessage();
            return;
        }
        if (!chunk.isEmpty())
            return; // onDataSent brings us back
    }
}

// RFC 5321 4.1.1.4: the line "." ends the data.
void TSmtpCli::endMessage()
{
    m_inBody = false;
    m_socket->onDataSent = nullptr;
    dropAssembler();
    const quint64 session = m_session;
    const quint64 generation = m_generation;
    if (onDisplay)
        onDisplay(this, QStringLiteral("> <message %1 bytes>").arg(m_bodyBytes));
    if (onBeforeFinalDot) {
        const bool send = onBeforeFinalDot(this);
        if (session != m_session || generation != m_generation || m_requestDone)
            return; // aborted from a handler
        if (!send) {
            // Without the "." the server never takes the message; the
            // connection goes so that it drops the transaction.
            failRequest(QStringLiteral("426 ") + TextMessageWithdrawn, TransferAborted);
            m_socket->abort();
            return;
        }
    }
    if (session != m_session || generation != m_generation || m_requestDone)
        return;
    sendCommand(QStringLiteral("."), {250});
    // Only a "." the socket took can have reached the server.
    m_finalDotSent = session == m_session && m_connected;
}

void TSmtpCli::dropAssembler()
{
    if (MimeAssembler *assembler = m_assembler) {
        m_assembler = nullptr;
        assembler->disconnect(this);
        if (!assembler->atEnd())
            assembler->abort();
        if (m_pulling)
            assembler->deleteLater(); // we are inside its nextChunk()
        else
            delete assembler;
    }
}

} // namespace varnholt
