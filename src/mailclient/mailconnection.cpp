#include "mailclient/mailconnection.h"

#include "mailclient/mailerrors.h"
#include "mailclient/mailreply.h"

#include <QNetworkProxy>
#include <QSslConfiguration>

#include <cerrno>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace varnholt {

MailConnection::MailConnection(QObject *parent) : QObject(parent)
{
    m_countdown.setSingleShot(true);
    m_replyTimer.setSingleShot(true);
    connect(&m_countdown, &QTimer::timeout, this, &MailConnection::onTimeout);
    connect(&m_replyTimer, &QTimer::timeout, this, &MailConnection::onReplyTimer);
}

MailConnection::~MailConnection()
{
    close();
}

void MailConnection::setTimeouts(int arpSeconds, int connectSeconds)
{
    m_arpSeconds = arpSeconds;
    m_connectSeconds = connectSeconds;
}

void MailConnection::setExtraCaCertificates(const QList<QSslCertificate> &certificates)
{
    m_extraCas = certificates;
}

QString MailConnection::peerAddressText() const
{
    if (!m_socket)
        return {};
    QHostAddress address = m_socket->peerAddress();
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

void MailConnection::open(const QString &server, quint16 port, TransportSecurity security)
{
    close();
    m_server = server.trimmed();
    m_port = port;
    m_security = security;
    m_sslErrors.clear();
    m_lineBuffer.clear();
    ++m_generation;

    QHostAddress address;
    if (!m_server.isEmpty() && m_server.at(0).isDigit() && address.setAddress(m_server)) {
        connectTo(address);
        return;
    }
    const quint64 generation = m_generation;
    emit resolving(m_server);
    if (generation != m_generation) // a slot closed or reopened the connection
        return;
    if (m_arpSeconds > 0)
        m_countdown.start(std::chrono::seconds(m_arpSeconds));
    m_lookupId = QHostInfo::lookupHost(m_server, this, &MailConnection::onLookedUp);
}

void MailConnection::onLookedUp(const QHostInfo &info)
{
    if (info.lookupId() != m_lookupId)
        return;
    m_lookupId = -1;
    m_countdown.stop();
    const QList<QHostAddress> addresses = info.addresses();
    if (info.error() != QHostInfo::NoError || addresses.isEmpty()) {
        emit failed(11001, info.errorString());
        return;
    }
    // The first IPv4 address, as the classic clients did; IPv6 only when
    // the name has nothing else.
    QHostAddress chosen = addresses.first();
    for (const QHostAddress &a : addresses) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol) {
            chosen = a;
            break;
        }
    }
    const quint64 generation = m_generation;
    emit resolved(chosen.toString());
    if (generation == m_generation)
        connectTo(chosen);
}

void MailConnection::connectTo(const QHostAddress &address)
{
    if (m_security != TransportSecurity::None && !QSslSocket::supportsSsl()) {
        emit tlsFailed(QStringLiteral("TLS is not available on this computer"));
        return;
    }
    QTcpSocket *socket = nullptr;
    if (m_security == TransportSecurity::None) {
        socket = new QTcpSocket(this);
    } else {
        auto *ssl = new QSslSocket(this);
        socket = ssl;
        QSslConfiguration config = ssl->sslConfiguration();
        if (!m_extraCas.isEmpty())
            config.addCaCertificates(m_extraCas);
        ssl->setSslConfiguration(config);
        ssl->setPeerVerifyName(m_server);
        connect(ssl, &QSslSocket::encrypted, this, &MailConnection::onEncrypted);
        connect(ssl, &QSslSocket::encryptedBytesWritten, this, &MailConnection::bytesWritten);
        connect(ssl, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
            for (const QSslError &e : errors)
                m_sslErrors.append(e.errorString());
        });
    }
    m_socket = socket;
    socket->setProxy(QNetworkProxy::NoProxy);
    connect(socket, &QTcpSocket::connected, this, &MailConnection::onConnected);
    connect(socket, &QTcpSocket::readyRead, this, &MailConnection::onReadyRead);
    connect(socket, &QTcpSocket::errorOccurred, this, &MailConnection::onError);
    connect(socket, &QTcpSocket::disconnected, this, &MailConnection::onDisconnected);
    connect(socket, &QTcpSocket::bytesWritten, this, &MailConnection::bytesWritten);

    if (m_connectSeconds > 0)
        m_countdown.start(std::chrono::seconds(m_connectSeconds));
    if (m_security == TransportSecurity::Tls)
        sslSocket()->connectToHostEncrypted(address.toString(), m_port, m_server);
    else
        // Unbuffered: Qt then leaves the reading to onReadyRead() instead of
        // asking the system how much there is and copying it once more.
        socket->connectToHost(address, m_port,
                              m_security == TransportSecurity::None
                                  ? QIODevice::ReadWrite | QIODevice::Unbuffered
                                  : QIODevice::ReadWrite);
}

void MailConnection::onConnected()
{
    m_countdown.stop();
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
#ifdef Q_OS_LINUX
    m_probeFd = ::fcntl(int(m_socket->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
#endif
    if (m_security == TransportSecurity::Tls) {
        armReplyTimer(m_handshakeLimit);
        return;
    }
    m_connected = true;
    emit connected(peerAddressText());
}

QSslSocket *MailConnection::sslSocket() const
{
    return qobject_cast<QSslSocket *>(m_socket.data());
}

void MailConnection::startTls()
{
    if (!m_socket)
        return;
    QSslSocket *ssl = sslSocket();
    if (!ssl) {
        // Only a connection opened for STARTTLS can be upgraded.
        emit tlsFailed(QStringLiteral("TLS negotiation with %1 failed: the connection was opened without TLS")
                           .arg(m_server));
        return;
    }
    m_upgrading = true;
    m_lineBuffer.clear(); // RFC 3207 5: nothing read before the handshake counts
    armReplyTimer(m_handshakeLimit);
    ssl->startClientEncryption();
}

void MailConnection::onEncrypted()
{
    stopReplyTimer();
    if (m_upgrading) {
        m_upgrading = false;
        emit tlsEstablished();
        return;
    }
    m_connected = true;
    emit connected(peerAddressText());
}

void MailConnection::onReadyRead()
{
    if (!m_socket)
        return;
    // Straight into the line buffer. A plain connection is unbuffered, so
    // this is the one read of the system call per reply.
    const qsizetype kept = m_lineBuffer.size();
    constexpr qint64 Piece = 4096;
    bool ended = false;
    while (true) {
        const qsizetype before = m_lineBuffer.size();
        m_lineBuffer.resize(before + Piece);
        const qint64 n = m_socket->read(m_lineBuffer.data() + before, Piece);
        m_lineBuffer.truncate(before + qMax<qint64>(n, 0));
        ended = n < 0 && isUnbuffered();
        if (n < Piece)
            break;
    }
    // A NUL byte has no place in a reply line; dropping it keeps the rest.
    if (m_lineBuffer.indexOf('\0', kept) >= 0)
        m_lineBuffer.replace('\0', QByteArray());
    const quint64 generation = m_generation;
    takeLines(m_lineBuffer, [&](const QByteArray &line) {
        emit lineReceived(line);
        return generation == m_generation && m_socket;
    });
    if (generation != m_generation || !m_socket)
        return;
    if (m_lineBuffer.size() > ReplyLimits::MaxLineBytes + 1) { // + 1: a CR may wait for its LF
        close();
        emit lineTooLong();
        return;
    }
    // Unbuffered, the server's close or a reset shows up as a failed read,
    // and Qt signals nothing of it: the lines that came first were handed
    // on above, now the end itself.
    if (ended)
        onError(m_socket->error());
}

bool MailConnection::isUnbuffered() const
{
    return m_socket && m_socket->openMode().testFlag(QIODevice::Unbuffered);
}

void MailConnection::onError(QAbstractSocket::SocketError error)
{
    if (!m_socket)
        return;
    if (m_inWrite) {
        // Reported from inside write(): handle it once the caller is done.
        const quint64 generation = m_generation;
        QMetaObject::invokeMethod(
            this,
            [this, error, generation] {
                if (generation == m_generation)
                    onError(error);
            },
            Qt::QueuedConnection);
        return;
    }
    if (error == QAbstractSocket::RemoteHostClosedError) {
        onDisconnected();
        return;
    }
    // A read that fails after the server's FIN (EPIPE) is Qt's NetworkError,
    // but the server simply closed the connection.
    if (error == QAbstractSocket::NetworkError && peerState() == PeerState::ClosedAfterFin) {
        onDisconnected();
        return;
    }
    const QString detail = m_socket->errorString();
    if (isTlsError(error)) {
        const QString reason = m_sslErrors.isEmpty() ? detail : m_sslErrors.join(QStringLiteral("; "));
        releaseSocket();
        emit tlsFailed(QStringLiteral("TLS negotiation with %1 failed: %2").arg(m_server, reason));
        return;
    }
    const int code = socketErrorCode(error, detail, false);
    releaseSocket();
    emit failed(code, detail);
}

void MailConnection::onDisconnected()
{
    if (!m_socket)
        return;
    // Lines that came with the close still count.
    if (m_socket->bytesAvailable() > 0) {
        const quint64 generation = m_generation;
        onReadyRead();
        if (generation != m_generation || !m_socket)
            return;
    }
    const bool reset = peerState() == PeerState::Reset;
    const bool inHandshake = m_upgrading || (m_security == TransportSecurity::Tls && !m_connected);
    releaseSocket();
    if (reset)
        emit failed(10054, QStringLiteral("Connection reset by peer"));
    else if (inHandshake)
        emit tlsFailed(QStringLiteral("TLS negotiation with %1 failed: the server closed the connection")
                           .arg(m_server));
    else
        emit closedByPeer();
}

MailConnection::PeerState MailConnection::peerState() const
{
    if (m_sendErrno == EPIPE)
        return PeerState::ClosedAfterFin;
    if (m_sendErrno == ECONNRESET)
        return PeerState::Reset;
#ifdef Q_OS_LINUX
    // Qt reports a FIN and a RST alike as a remote close. The kernel keeps
    // them apart: after a FIN the socket waits in CLOSE_WAIT for our own
    // close; a RST closes it at once, with ECONNRESET, or with EPIPE when
    // the FIN came first and the RST only answered data we sent after it.
    // Qt's read consumes ECONNRESET, so CLOSED without EPIPE is a reset.
    if (m_probeFd >= 0) {
        tcp_info info{};
        socklen_t length = sizeof info;
        if (::getsockopt(m_probeFd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
            return PeerState::Unknown;
        if (info.tcpi_state != TCP_CLOSE)
            return PeerState::Open;
        int pending = 0;
        length = sizeof pending;
        ::getsockopt(m_probeFd, SOL_SOCKET, SO_ERROR, &pending, &length);
        return pending == EPIPE ? PeerState::ClosedAfterFin : PeerState::Reset;
    }
#endif
    return PeerState::Unknown;
}

void MailConnection::onTimeout()
{
    close();
    emit timedOut();
}

void MailConnection::sendLine(const QByteArray &line)
{
    write(line + "\r\n");
}

void MailConnection::uncork()
{
    if (m_corked > 0 && --m_corked == 0 && !m_corkBuffer.isEmpty())
        write(std::exchange(m_corkBuffer, QByteArray()));
}

bool MailConnection::write(const QByteArray &bytes)
{
    if (!m_socket)
        return false;
    if (m_corked > 0) {
        m_corkBuffer += bytes;
        return true;
    }
    qsizetype done = 0;
#ifdef Q_OS_LINUX
    // Plain text with nothing queued: hand the bytes straight to the kernel.
    // Going through Qt's buffer would switch its write notifier on and off
    // for every command, which costs several system calls per round trip.
    const QSslSocket *ssl = sslSocket();
    if ((!ssl || ssl->mode() == QSslSocket::UnencryptedMode) && m_socket->bytesToWrite() == 0
        && m_socket->state() == QAbstractSocket::ConnectedState) {
        const ssize_t n = ::send(int(m_socket->socketDescriptor()), bytes.constData(),
                                 size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done = n;
        } else if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            // The server is gone. EPIPE: it closed first, and our data only
            // met its reset; ECONNRESET: it reset the connection. The send
            // took the kernel's note of it, so it is kept here.
            if (m_sendErrno == 0)
                m_sendErrno = errno;
            reportBrokenWrite();
            return false;
        }
        // Any other failure is left to Qt, which meets it again below and reports it.
    }
#endif
    if (done == bytes.size())
        return true;
    // An unbuffered socket reports a failed write only through the result.
    if (m_socket->write(bytes.constData() + done, bytes.size() - done) < 0) {
        reportBrokenWrite();
        return done > 0;
    }
    // Hand the bytes to the system now rather than on the next turn of the
    // event loop: each command waits for its reply, so this is latency.
    m_inWrite = true;
    m_socket->flush();
    m_inWrite = false;
    return true;
}

// The end of a connection found by a write, reported once the writer has
// returned: first whatever the server sent before, then the end itself.
void MailConnection::reportBrokenWrite()
{
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation != m_generation || !m_socket)
                return;
            if (m_socket->isValid())
                onReadyRead();
            if (generation != m_generation || !m_socket)
                return;
            if (m_sendErrno != 0)
                onDisconnected();
            else
                onError(m_socket->error());
        },
        Qt::QueuedConnection);
}

qint64 MailConnection::bytesPending() const
{
    if (!m_socket)
        return 0;
    const QSslSocket *ssl = sslSocket();
    return m_corkBuffer.size() + m_socket->bytesToWrite() + (ssl ? ssl->encryptedBytesToWrite() : 0);
}

void MailConnection::armReplyTimer(std::chrono::milliseconds limit)
{
    if (limit.count() <= 0 || !m_socket)
        return;
    m_replyDeadline.setRemainingTime(limit);
    m_replyArmed = true;
    if (!m_replyTimer.isActive() || m_replyTimerDue > m_replyDeadline)
        startReplyTimer(limit);
}

void MailConnection::startReplyTimer(std::chrono::milliseconds interval)
{
    m_replyTimerDue.setRemainingTime(interval);
    m_replyTimer.start(interval);
}

void MailConnection::onReplyTimer()
{
    if (!m_replyArmed)
        return; // stopped since: let the timer lapse
    const auto left = m_replyDeadline.remainingTimeAsDuration();
    if (left.count() > 0) {
        // Re-armed since the timer was started: wait for the rest.
        startReplyTimer(std::chrono::ceil<std::chrono::milliseconds>(left));
        return;
    }
    onTimeout();
}

void MailConnection::releaseSocket()
{
    m_countdown.stop();
    m_replyTimer.stop();
    m_replyArmed = false;
    m_connected = false;
    m_upgrading = false;
    ++m_generation;
    if (QTcpSocket *socket = m_socket) {
        m_socket = nullptr;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
#ifdef Q_OS_LINUX
    if (m_probeFd >= 0)
        ::close(m_probeFd);
#endif
    m_probeFd = -1;
    m_sendErrno = 0;
}

void MailConnection::close()
{
    if (m_lookupId >= 0) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    releaseSocket();
    m_lineBuffer.clear();
    m_corkBuffer.clear();
}

} // namespace varnholt
