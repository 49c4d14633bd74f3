#include "direct/wsocket.h"

#include "mailclient/mailerrors.h"

#include <QHostInfo>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QUdpSocket>

#include <memory>
#include <optional>
#include <utility>

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace varnholt {

namespace {

constexpr int kDiscardPiece = 1024;

struct AddrInfoFree {
    void operator()(addrinfo *info) const { freeaddrinfo(info); }
};

[[nodiscard]] bool startsWithDigit(QStringView s)
{
    return !s.isEmpty() && s.front().isDigit() && s.front().unicode() < 128;
}

// A strict dotted quad ("a.b.c.d"), as inet_pton reads it.
[[nodiscard]] std::optional<QHostAddress> dottedAddress(const QString &text)
{
    in_addr address{};
    if (inet_pton(AF_INET, text.toLatin1().constData(), &address) != 1)
        return std::nullopt;
    return QHostAddress(ntohl(address.s_addr));
}

[[nodiscard]] quint16 errnoCode(int error)
{
    switch (error) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case ENOTSOCK: return 10038;
    case EMSGSIZE: return 10040;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: return 10055;
    case ENOTCONN: return 10057;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case EHOSTUNREACH: return 10065;
    default: return 10022;
    }
}

} // namespace

QString ErrorText(int code)
{
    switch (code) {
    case 0: return QStringLiteral("No Error");
    case 10004: return QStringLiteral("Interrupted system call");
    case 10009: return QStringLiteral("Bad file number");
    case 10013: return QStringLiteral("Permission denied");
    case 10014: return QStringLiteral("Bad address");
    case 10022: return QStringLiteral("Invalid argument");
    case 10024: return QStringLiteral("Too many open files");
    case 10035: return QStringLiteral("Operation would block");
    case 10036: return QStringLiteral("Operation now in progress");
    case 10037: return QStringLiteral("Operation already in progress");
    case 10038: return QStringLiteral("Socket operation on non-socket");
    case 10039: return QStringLiteral("Destination address required");
    case 10040: return QStringLiteral("Message too long");
    case 10041: return QStringLiteral("Protocol wrong type for socket");
    case 10042: return QStringLiteral("Protocol not available");
    case 10043: return QStringLiteral("Protocol not supported");
    case 10044: return QStringLiteral("Socket type not supported");
    case 10045: return QStringLiteral("Operation not supported on socket");
    case 10046: return QStringLiteral("Protocol family not supported");
    case 10047: return QStringLiteral("Address family not supported by protocol family");
    case 10048: return QStringLiteral("Address already in use");
    case 10049: return QStringLiteral("Address not available");
    case 10050: return QStringLiteral("Network is down");
    case 10051: return QStringLiteral("Network is unreachable");
    case 10052: return QStringLiteral("Network dropped connection on reset");
    case 10053: return QStringLiteral("Connection aborted");
    case 10054: return QStringLiteral("Connection reset by peer");
    case 10055: return QStringLiteral("No buffer space available");
    case 10056: return QStringLiteral("Socket is already connected");
    case 10057: return QStringLiteral("Socket is not connected");
    case 10058: return QStringLiteral("Can't send after socket shutdown");
    case 10059: return QStringLiteral("Too many references: can't splice");
    case 10060: return QStringLiteral("Connection timed out");
    case 10061: return QStringLiteral("Connection refused");
    case 10062: return QStringLiteral("Too many levels of symbolic links");
    case 10063: return QStringLiteral("File name too long");
    case 10064: return QStringLiteral("Host is down");
    case 10065: return QStringLiteral("No route to host");
    case 10066: return QStringLiteral("Directory not empty");
    case 10067: return QStringLiteral("Too many processes");
    case 10068: return QStringLiteral("Too many users");
    case 10069: return QStringLiteral("Disc quota exceeded");
    case 10070: return QStringLiteral("Stale NFS file handle");
    case 10071: return QStringLiteral("Too many levels of remote in path");
    case 10091: return QStringLiteral("Network sub-system is unusable");
    case 10092: return QStringLiteral("WinSock DLL cannot support this application");
    case 10093: return QStringLiteral("WinSock not initialized");
    case 11001: return QStringLiteral("Host not found");
    case 11002: return QStringLiteral("Non-authoritative host not found");
    case 11003: return QStringLiteral("Non-recoverable error");
    case 11004: return QStringLiteral("No Data");
    default: return QStringLiteral("Not a WinSock error");
    }
}

// The classic code of a Qt socket failure; one without a code of its own
// is an invalid argument, as the event handlers expect a Winsock number.
[[nodiscard]] quint16 socketErrorCode(int qtSocketError, QStringView errorString)
{
    return quint16(varnholt::socketErrorCode(QAbstractSocket::SocketError(qtSocketError), errorString, false, 10022));
}

QHostAddress WSocketResolveHost(const QString &host)
{
    if (host.isEmpty() || host.size() > 256)
        throw ESocketException(QStringLiteral("WSocketResolveHost: '") + host + QStringLiteral("' Invalid Hostname."));
    const QString name = host.trimmed();
    if (startsWithDigit(name)) {
        if (const auto address = dottedAddress(name))
            return *address;
        throw ESocketException(QStringLiteral("WSocketResolveHost: '") + host + QStringLiteral("' Invalid IP address."));
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(name.toLatin1().constData(), nullptr, &hints, &found) != 0 || !found)
        throw ESocketException(QStringLiteral("WSocketResolveHost: Cannot convert host address '%1'").arg(host));
    const std::unique_ptr<addrinfo, AddrInfoFree> owner(found);
    const auto *address = reinterpret_cast<const sockaddr_in *>(found->ai_addr);
    return QHostAddress(ntohl(address->sin_addr.s_addr));
}

quint16 WSocketResolvePort(const QString &port, const QString &proto)
{
    if (port.isEmpty() || port.size() >= 32)
        throw ESocketException(QStringLiteral("WSocketResolvePort: Invalid Port."));
    qsizetype i = 0;
    while (i < port.size() && port.at(i) == u' ')
        ++i;
    if (startsWithDigit(QStringView(port).sliced(i))) {
        quint32 value = 0;
        for (; i < port.size() && startsWithDigit(QStringView(port).sliced(i)); ++i) {
            value = value * 10 + quint32(port.at(i).unicode() - '0');
            if (value > 65535) // no port has this number
                throw ESocketException(QStringLiteral("WSocketResolvePort: Invalid Port."));
        }
        return quint16(value);
    }
    const QByteArray name = port.trimmed().toLatin1();
    const QByteArray protoName = proto.trimmed().toLatin1();
    const servent *entry = getservbyname(name.constData(), protoName.isEmpty() ? nullptr : protoName.constData());
    if (!entry)
        throw ESocketException(QStringLiteral("WSocketResolvePort: Cannot convert port '%1'").arg(port));
    return ntohs(quint16(entry->s_port));
}

int WSocketResolveProto(const QString &proto)
{
    if (proto.isEmpty() || proto.size() >= 32)
        throw ESocketException(QStringLiteral("WSocketResolveProto: Invalid Protocol."));
    const QString name = proto.trimmed();
    if (startsWithDigit(name)) {
        int value = 0;
        for (qsizetype i = 0; i < name.size() && startsWithDigit(QStringView(name).sliced(i)) && value < 256; ++i)
            value = value * 10 + (name.at(i).unicode() - '0');
        return value;
    }
    // The two every system knows, also where /etc/protocols is missing.
    if (name.compare(u"tcp", Qt::CaseInsensitive) == 0)
        return IPPROTO_TCP;
    if (name.compare(u"udp", Qt::CaseInsensitive) == 0)
        return IPPROTO_UDP;
    const protoent *entry = getprotobyname(name.toLatin1().constData());
    if (!entry)
        throw ESocketException(QStringLiteral("WSocketResolveProto: Cannot convert protocol '%1'").arg(proto));
    return entry->p_proto;
}

QString LocalHostName()
{
    char name[64] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        throw ESocketException(QStringLiteral("Winsock.GetHostName failed"));
    return QString::fromLatin1(name);
}

TWSocket::TWSocket(QObject *parent) : QObject(parent)
{
    resetDefaults();
}

TWSocket::~TWSocket()
{
    m_destroying = true;
    // An object going away reports nothing, not even its last state change:
    // the handlers' owners may be gone before it.
    onSessionConnected = nullptr;
    onDataAvailable = nullptr;
    onDataSent = nullptr;
    onSessionClosed = nullptr;
    onDnsLookupDone = nullptr;
    onChangeState = nullptr;
    onError = nullptr;
    onBgException = nullptr;
    // Nothing is reported from here on; a failure to close is moot.
    try {
        cancelDnsLookup();
        if (m_socket)
            close();
    } catch (const ESocketException &) {
    }
}

void TWSocket::resetDefaults()
{
    m_state = TSocketState::wsClosed;
    m_proto = QStringLiteral("tcp");
    m_protoAssigned = true;
    m_udp = false;
    m_addrAssigned = false;
    m_portAssigned = false;
    m_localPort = QStringLiteral("0");
    m_lingerOnOff = TSocketLingerOnOff::wsLingerOn;
    m_lingerTimeout = 0;
    m_readCount = 0;
    m_closeReported = false;
    m_allSent = true;
}

qintptr TWSocket::handle() const
{
    return m_socket ? m_socket->socketDescriptor() : -1;
}

void TWSocket::setState(TSocketState state)
{
    if (state == m_state)
        return;
    const TSocketState old = m_state;
    m_state = state;
    if (onChangeState)
        onChangeState(this, old, state);
}

void TWSocket::raise(const QString &message)
{
    if (onError) {
        onError(this);
        return;
    }
    throw ESocketException(message);
}

void TWSocket::socketError(const QString &function, int code)
{
    m_lastError = code;
    if (code == SocketError::ConnectionReset || code == SocketError::NotConnected) {
        releaseSocket();
        setState(TSocketState::wsClosed);
    }
    raise(QStringLiteral("Error %1 in function %2\r\n%3").arg(code).arg(function, ErrorText(code)));
}

void TWSocket::setAddr(const QString &addr)
{
    const QString value = addr.trimmed();
    if (m_addrAssigned && value == m_addr)
        return;
    if (m_state != TSocketState::wsClosed)
        return raise(QStringLiteral("Cannot change Addr if not closed"));
    m_addr = value;
    m_addrAssigned = !value.isEmpty();
}

void TWSocket::setPort(const QString &port)
{
    const QString value = port.trimmed();
    if (m_portAssigned && value == m_port)
        return;
    if (m_state != TSocketState::wsClosed)
        return raise(QStringLiteral("Cannot change Port if not closed"));
    m_port = value;
    m_portAssigned = !value.isEmpty();
}

void TWSocket::setProto(const QString &proto)
{
    const QString value = proto.trimmed();
    if (m_protoAssigned && value == m_proto)
        return;
    if (m_state != TSocketState::wsClosed)
        return raise(QStringLiteral("Cannot change Proto if not closed"));
    m_proto = value;
    m_protoAssigned = !value.isEmpty();
}

void TWSocket::setLocalPort(const QString &localPort)
{
    if (m_state != TSocketState::wsClosed)
        return raise(QStringLiteral("Cannot change LocalPort if not closed"));
    m_localPort = localPort;
}

void TWSocket::connect()
{
    if (m_socket && m_state != TSocketState::wsClosed)
        return raise(QStringLiteral("Connect: Socket already in use"));
    if (!m_portAssigned)
        return raise(QStringLiteral("Connect: No Port Specified"));
    if (!m_addrAssigned)
        return raise(QStringLiteral("Connect: No IP Address Specified"));
    if (!m_protoAssigned)
        return raise(QStringLiteral("Connect: No Protocol Specified"));

    int protocol = 0;
    quint16 localPort = 0;
    try {
        protocol = WSocketResolveProto(m_proto);
        m_udp = protocol == IPPROTO_UDP;
        m_remotePort = WSocketResolvePort(m_port, m_proto);
        localPort = WSocketResolvePort(m_localPort, m_proto);
        m_remoteAddress = WSocketResolveHost(m_addr);
    } catch (const ESocketException &e) {
        return raise(QStringLiteral("connect: ") + e.message());
    }

    m_queued.clear();
    releaseSocket();
    const quint64 generation = m_generation;
    if (m_udp)
        m_socket = new QUdpSocket(this);
    else
        m_socket = new QTcpSocket(this);
    // Straight to the peer: a system proxy would carry neither DNS queries
    // nor mail to an exchanger (and asking for one costs a thread hop per
    // socket).
    m_socket->setProxy(QNetworkProxy::NoProxy);
    // Queued: every notification comes from the event loop, never from
    // inside a call on the Qt socket.
    QObject::connect(m_socket, &QAbstractSocket::connected, this,
                     [this, generation] { onConnected(generation); }, Qt::QueuedConnection);
    QObject::connect(m_socket, &QIODevice::readyRead, this,
                     [this, generation] { onReadyRead(generation); }, Qt::QueuedConnection);
    QObject::connect(m_socket, &QIODevice::bytesWritten, this,
                     [this, generation] { onBytesWritten(generation); }, Qt::QueuedConnection);
    QObject::connect(m_socket, &QAbstractSocket::disconnected, this,
                     [this, generation] { onDisconnected(generation); }, Qt::QueuedConnection);
    QObject::connect(m_socket, &QAbstractSocket::errorOccurred, this,
                     [this, generation](QAbstractSocket::SocketError error) { onQtError(generation, int(error)); },
                     Qt::QueuedConnection);
    setState(TSocketState::wsOpened);

    if (m_udp) {
        if (!m_socket->bind(QHostAddress::AnyIPv4, localPort)) {
            const int code = socketErrorCode(int(m_socket->error()), m_socket->errorString());
            releaseSocket();
            setState(TSocketState::wsClosed);
            m_lastError = code;
            return raise(QStringLiteral("winsock.bind failed, error #%1").arg(code));
        }
        m_localPort = QString::number(m_socket->localPort());
        if (m_remoteAddress == QHostAddress(QHostAddress::Broadcast)) {
            const int on = 1;
            if (::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
                return socketError(QStringLiteral("setsockopt(SO_BROADCAST)"), errnoCode(errno));
        }
        // A connected datagram socket: the kernel passes on only what the
        // remote address and port send.
        m_socket->connectToHost(m_remoteAddress, m_remotePort);
        if (m_socket->state() != QAbstractSocket::ConnectedState) {
            const int code = socketErrorCode(int(m_socket->error()), m_socket->errorString());
            releaseSocket();
            setState(TSocketState::wsClosed);
            m_lastError = code;
            return raise(QStringLiteral("Connect"));
        }
        setState(TSocketState::wsConnected);
        if (onSessionConnected)
            onSessionConnected(this, 0);
        return;
    }

    if (localPort != 0 && !m_socket->bind(QHostAddress::AnyIPv4, localPort)) {
        const int code = socketErrorCode(int(m_socket->error()), m_socket->errorString());
        releaseSocket();
        setState(TSocketState::wsClosed);
        m_lastError = code;
        return raise(QStringLiteral("winsock.bind failed, error #%1").arg(code));
    }
    m_socket->connectToHost(m_remoteAddress, m_remotePort);
    // An immediate failure arrives as a queued error like a late one. The
    // linger and keep-alive options are set once the connection stands
    // (Qt may open the descriptor only from the event loop).
    setState(TSocketState::wsConnecting);
}

void TWSocket::applyLinger()
{
    if (m_lingerOnOff == TSocketLingerOnOff::wsLingerNoSet)
        return;
    if (handle() < 0)
        return raise(QStringLiteral("Cannot set linger option at this time"));
    const linger option{m_lingerOnOff == TSocketLingerOnOff::wsLingerOn ? 1 : 0, m_lingerTimeout};
    if (::setsockopt(int(handle()), SOL_SOCKET, SO_LINGER, &option, sizeof option) != 0)
        socketError(QStringLiteral("setsockopt(SO_LINGER)"), errnoCode(errno));
}

void TWSocket::releaseSocket()
{
    ++m_generation;
    if (!m_socket)
        return;
    QAbstractSocket *socket = m_socket;
    m_socket = nullptr;
    QObject::disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    socket->deleteLater();
}

void TWSocket::close()
{
    internalClose(true, 0);
}

void TWSocket::abort()
{
    cancelDnsLookup();
    m_queued.clear();
    // A connection the peer has just closed has no descriptor left to
    // linger on: abort() never throws.
    if (m_socket && !m_udp && m_state == TSocketState::wsConnected && handle() >= 0) {
        m_lingerOnOff = TSocketLingerOnOff::wsLingerOff;
        applyLinger();
    }
    internalClose(false, 0);
}

void TWSocket::internalClose(bool shutdown, quint16 error)
{
    if (!m_socket) {
        if (m_state != TSocketState::wsClosed) {
            setState(TSocketState::wsClosed);
            resetDefaults();
        }
        return;
    }
    if (shutdown && !m_udp && m_state == TSocketState::wsConnected) {
        m_socket->flush(); // what the network takes now; the rest is dropped
        ::shutdown(int(m_socket->socketDescriptor()), SHUT_WR);
    }
    releaseSocket();
    setState(TSocketState::wsClosed);
    if (!m_destroying && !m_closeReported && onSessionClosed) {
        m_closeReported = true;
        onSessionClosed(this, error);
    }
    resetDefaults();
}

int TWSocket::send(const char *data, int len)
{
    if (!m_socket || m_state != TSocketState::wsConnected) {
        socketError(QStringLiteral("Send"), SocketError::NotConnected);
        return -1;
    }
    if (len <= 0)
        return 0;
    m_allSent = false;
    m_queued.append(data, len);
    flush();
    return len;
}

void TWSocket::queueData(const char *data, int len)
{
    if (len > 0)
        m_queued.append(data, len);
}

void TWSocket::flush()
{
    if (!m_socket || m_queued.isEmpty())
        return;
    const QByteArray bytes = std::exchange(m_queued, {});
    const qint64 written = m_socket->write(bytes);
    if (written < 0) {
        const quint16 code = socketErrorCode(int(m_socket->error()), m_socket->errorString());
        if (code == 10022 || code == 10038 || code == 10054 || code == 10057) {
            m_closeReported = true;
            const auto reported = onSessionClosed;
            internalClose(false, code);
            if (reported)
                reported(this, code);
            return;
        }
        socketError(QStringLiteral("TryToSend failed"), code);
        return;
    }
    if (m_udp) {
        // The datagram went out whole: the "all sent" report follows from
        // the event loop, not from inside send().
        m_allSent = true;
        const quint64 generation = m_generation;
        QMetaObject::invokeMethod(this, [this, generation] { reportDataSent(generation); }, Qt::QueuedConnection);
    }
}

void TWSocket::reportDataSent(quint64 generation)
{
    if (generation != m_generation || !m_allSent)
        return;
    dispatch([this] {
        if (onDataSent)
            onDataSent(this, 0);
    });
}

int TWSocket::receive(char *buffer, int len)
{
    if (!m_socket) {
        m_lastError = SocketError::NotConnected;
        return -1;
    }
    if (len <= 0)
        return 0;
    qint64 got = -1;
    if (m_udp) {
        auto *udp = static_cast<QUdpSocket *>(m_socket);
        if (!udp->hasPendingDatagrams()) {
            m_lastError = SocketError::WouldBlock;
            return -1;
        }
        got = udp->readDatagram(buffer, len);
    } else {
        got = m_socket->read(buffer, len);
        if (got == 0) {
            m_lastError = SocketError::WouldBlock;
            return -1;
        }
    }
    if (got < 0) {
        m_lastError = socketErrorCode(int(m_socket->error()), m_socket->errorString());
        return -1;
    }
    m_readCount += got;
    return int(got);
}

bool TWSocket::bytesWaiting() const
{
    if (!m_socket)
        return false;
    if (m_udp)
        return static_cast<QUdpSocket *>(m_socket)->hasPendingDatagrams();
    return m_socket->bytesAvailable() > 0;
}

template <typename Fn>
bool TWSocket::dispatch(Fn &&fn)
{
    try {
        fn();
        return true;
    } catch (const std::exception &e) {
        bool canClose = true;
        if (onBgException)
            onBgException(this, e, canClose);
        if (canClose) {
            try {
                abort();
            } catch (...) {
            }
        }
        return false;
    }
}

void TWSocket::receiveLoop(quint16 error)
{
    const quint64 generation = m_generation;
    while (true) {
        m_lastError = 0;
        const qint64 before = m_readCount;
        if (onDataAvailable) {
            // An exception ends the loop.
            if (!dispatch([&] { onDataAvailable(this, error); }))
                return;
        } else {
            char discard[kDiscardPiece];
            if (receive(discard, kDiscardPiece) < 0 && m_lastError == SocketError::WouldBlock)
                m_lastError = 0;
        }
        if (generation != m_generation || m_lastError != 0 || !bytesWaiting())
            return;
        // A handler that took nothing would be called for ever: it is
        // called again at the next arrival instead.
        if (m_readCount == before)
            return;
    }
}

void TWSocket::onConnected(quint64 generation)
{
    if (generation != m_generation || m_udp || m_state != TSocketState::wsConnecting)
        return;
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    try {
        applyLinger();
    } catch (const ESocketException &) {
        // The connection works without its linger option.
    }
    setState(TSocketState::wsConnected);
    dispatch([this] {
        if (onSessionConnected)
            onSessionConnected(this, 0);
    });
}

void TWSocket::onReadyRead(quint64 generation)
{
    if (generation != m_generation || m_state != TSocketState::wsConnected)
        return;
    receiveLoop(0);
}

void TWSocket::onBytesWritten(quint64 generation)
{
    if (generation != m_generation || !m_socket || m_udp || m_allSent || m_socket->bytesToWrite() > 0)
        return;
    m_allSent = true;
    dispatch([this] {
        if (onDataSent)
            onDataSent(this, 0);
    });
}

void TWSocket::onDisconnected(quint64 generation)
{
    if (generation != m_generation || m_state == TSocketState::wsConnecting)
        return;
    receiveLoop(0); // what is still waiting comes first
    if (generation != m_generation)
        return;
    if (onSessionClosed && !m_closeReported) {
        m_closeReported = true;
        dispatch([this] { onSessionClosed(this, 0); });
        if (generation != m_generation)
            return;
    }
    if (m_state != TSocketState::wsClosed)
        dispatch([this] { close(); });
}

void TWSocket::onQtError(quint64 generation, int error)
{
    if (generation != m_generation || !m_socket)
        return;
    const quint16 code = socketErrorCode(error, m_socket->errorString());
    if (m_state == TSocketState::wsConnecting) {
        // The connect failed: reported as a connect with an error, then closed.
        m_lastError = code;
        setState(TSocketState::wsConnected);
        dispatch([this, code] {
            if (onSessionConnected)
                onSessionConnected(this, code);
        });
        if (generation == m_generation && m_state != TSocketState::wsClosed)
            dispatch([this] { close(); });
        return;
    }
    if (m_state != TSocketState::wsConnected || code == 0)
        return; // an orderly close: the disconnect follows
    m_lastError = code;
    if (m_udp) {
        // A datagram socket's failure comes with the read notification.
        // (Qt 6.4 passes no ICMP "port unreachable" on: a closed port looks
        // like a silent one.)
        receiveLoop(code);
        return;
    }
    m_closeReported = true;
    const auto reported = onSessionClosed;
    dispatch([&] {
        internalClose(false, code);
        if (reported)
            reported(this, code);
    });
}

void TWSocket::dnsLookup(const QString &host)
{
    const QString name = host.trimmed();
    if (name.isEmpty()) {
        raise(QStringLiteral("DNS lookup: invalid host name."));
        if (onDnsLookupDone)
            onDnsLookupDone(this, SocketError::InvalidArgument);
        return;
    }
    cancelDnsLookup();
    m_dnsResultList.clear();
    if (const auto address = dottedAddress(name)) {
        m_dnsResultList << address->toString();
        if (onDnsLookupDone)
            onDnsLookupDone(this, 0);
        return;
    }
    m_lookupId = QHostInfo::lookupHost(name, this, [this](const QHostInfo &info) {
        if (info.lookupId() != m_lookupId)
            return;
        QStringList addresses;
        for (const QHostAddress &a : info.addresses())
            if (a.protocol() == QAbstractSocket::IPv4Protocol)
                addresses << a.toString();
        quint16 error = 0;
        if (info.error() == QHostInfo::HostNotFound)
            error = SocketError::HostNotFound;
        else if (info.error() != QHostInfo::NoError)
            error = 11002;
        else if (addresses.isEmpty())
            error = 11004; // a name with IPv6 addresses only
        onLookedUp(info.lookupId(), addresses, error);
    });
}

void TWSocket::onLookedUp(int id, const QStringList &addresses, quint16 error)
{
    m_lookupId = -1;
    if (error == 0)
        m_dnsResultList = addresses;
    dispatch([this, error] {
        if (onDnsLookupDone)
            onDnsLookupDone(this, error);
    });
}

void TWSocket::cancelDnsLookup()
{
    if (m_lookupId < 0)
        return;
    QHostInfo::abortHostLookup(m_lookupId);
    m_lookupId = -1;
    if (!m_destroying && onDnsLookupDone)
        onDnsLookupDone(this, SocketError::Interrupted);
}

} // namespace varnholt
