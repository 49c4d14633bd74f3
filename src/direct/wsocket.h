#pragma once

// The asynchronous socket of direct delivery and of the verification: one
// TCP connection or one UDP association at a time, driven by Qt's event
// loop. Progress is reported through assigned handlers (an unassigned
// handler changes behaviour where noted: without onDataAvailable incoming
// data is read and discarded, without onSessionClosed no close is
// reported).
//
// Handlers are called from the event loop, never from inside a call on
// this object, with two exceptions callers rely on: a UDP connect reports
// onSessionConnected inside connect(), and dnsLookup() of a dotted address
// reports onDnsLookupDone inside the call. (close() and abort() report
// onSessionClosed and onChangeState as they happen.)
//
// Misuse (a property changed while open, connect() without a port, send()
// when not connected) throws ESocketException with a fixed English text
// unless onError is assigned, which then takes the failure instead. An
// exception that escapes a handler is caught here: onBgException decides
// whether the socket is aborted (by default it is). Error codes are the
// classic socket codes (10061 connection refused, ...; see ErrorText).

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <stdexcept>

class QAbstractSocket;

namespace varnholt {

class ESocketException : public std::runtime_error
{
public:
    explicit ESocketException(const QString &message)
        : std::runtime_error(message.toStdString()), m_message(message) {}
    [[nodiscard]] QString message() const { return m_message; }

private:
    QString m_message;
};

// The ordinals are part of the interface (0..7).
enum class TSocketState { wsInvalidState, wsOpened, wsBound, wsConnecting, wsConnected, wsAccepting,
                          wsListening, wsClosed };
enum class TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };

// Classic socket error codes the socket reports itself.
namespace SocketError {
inline constexpr quint16 Interrupted = 10004;       // a lookup cancelled
inline constexpr quint16 InvalidArgument = 10022;
inline constexpr quint16 WouldBlock = 10035;
inline constexpr quint16 NotASocket = 10038;
inline constexpr quint16 ConnectionReset = 10054;
inline constexpr quint16 NotConnected = 10057;
inline constexpr quint16 ConnectionRefused = 10061;
inline constexpr quint16 HostNotFound = 11001;
} // namespace SocketError

// The text of a classic socket error code; "Not a WinSock error" for any
// other number.
[[nodiscard]] QString ErrorText(int code);
// The classic code a Qt socket failure stands for (0 for an orderly close).
[[nodiscard]] quint16 socketErrorCode(int qtSocketError, QStringView errorString);

// Resolving the properties; each throws ESocketException with its message.
// The host: a dotted IPv4 address (255.255.255.255 included) when its first
// character is a digit, else a name looked up (blocking), IPv4 only.
[[nodiscard]] QHostAddress WSocketResolveHost(const QString &host);
// "25", " 25abc" (the leading digits) or a service name ("smtp").
[[nodiscard]] quint16 WSocketResolvePort(const QString &port, const QString &proto);
// "tcp" 6, "udp" 17, a number, or a name of the protocol database.
[[nodiscard]] int WSocketResolveProto(const QString &proto);
[[nodiscard]] QString LocalHostName();

class TWSocket : public QObject
{
    Q_OBJECT
public:
    explicit TWSocket(QObject *parent = nullptr);
    ~TWSocket() override;

    // Properties. The setters throw unless the socket is closed (setting
    // the value a property already holds is always allowed).
    [[nodiscard]] QString addr() const { return m_addr; }
    void setAddr(const QString &addr);
    [[nodiscard]] QString port() const { return m_port; }
    void setPort(const QString &port);
    [[nodiscard]] QString proto() const { return m_proto; }
    void setProto(const QString &proto);
    // After a UDP connect: the port actually bound.
    [[nodiscard]] QString localPort() const { return m_localPort; }
    void setLocalPort(const QString &localPort);
    [[nodiscard]] TSocketLingerOnOff lingerOnOff() const { return m_lingerOnOff; }
    void setLingerOnOff(TSocketLingerOnOff value) { m_lingerOnOff = value; }
    [[nodiscard]] int lingerTimeout() const { return m_lingerTimeout; }
    void setLingerTimeout(int seconds) { m_lingerTimeout = seconds; }

    [[nodiscard]] TSocketState state() const { return m_state; }
    [[nodiscard]] int lastError() const { return m_lastError; }
    [[nodiscard]] qint64 readCount() const { return m_readCount; }
    [[nodiscard]] QString dnsResult() const { return m_dnsResultList.value(0); }
    [[nodiscard]] QStringList dnsResultList() const { return m_dnsResultList; }
    // The operating system's descriptor while open, else -1.
    [[nodiscard]] qintptr handle() const;

    // Operations.
    void connect();
    void close();
    void abort();
    // Appends to the send buffer and sends what the network takes; returns
    // `len` (0 for len <= 0), or -1 when not connected and onError took the
    // failure. Over UDP each send() is one datagram (with what queueData()
    // gathered before it). onDataSent follows from the event loop once the
    // buffer is empty.
    int send(const char *data, int len);
    int send(const QByteArray &data) { return send(data.constData(), int(data.size())); }
    int sendText(const QString &text) { return send(text.toLatin1()); }
    void queueData(const char *data, int len);
    // Up to `len` received bytes (over UDP: one datagram, cut to `len`);
    // the count, or -1 after recording lastError.
    int receive(char *buffer, int len);
    // Asynchronous IPv4 lookup of a host name; onDnsLookupDone reports it
    // (inside the call for a dotted address).
    void dnsLookup(const QString &host);
    void cancelDnsLookup();

    // Handlers ("events"); each receives this socket.
    std::function<void(TWSocket *, quint16 error)> onSessionConnected;
    std::function<void(TWSocket *, quint16 error)> onDataAvailable;
    std::function<void(TWSocket *, quint16 error)> onDataSent;
    std::function<void(TWSocket *, quint16 error)> onSessionClosed;
    std::function<void(TWSocket *, quint16 error)> onDnsLookupDone;
    std::function<void(TWSocket *, TSocketState oldState, TSocketState newState)> onChangeState;
    std::function<void(TWSocket *)> onError;
    std::function<void(TWSocket *, const std::exception &, bool &canClose)> onBgException;

private:
    void resetDefaults();
    void setState(TSocketState state);
    // Throws the message, or hands it to onError.
    void raise(const QString &message);
    void socketError(const QString &function, int code);
    void applyLinger();
    void releaseSocket();
    void internalClose(bool shutdown, quint16 error);
    void receiveLoop(quint16 error);
    [[nodiscard]] bool bytesWaiting() const;
    void flush();
    void reportDataSent(quint64 generation);

    // Notifications from the Qt socket, queued so that they always come
    // from the event loop; stale ones (of an earlier connection) are
    // dropped by the generation they carry.
    void onConnected(quint64 generation);
    void onReadyRead(quint64 generation);
    void onBytesWritten(quint64 generation);
    void onDisconnected(quint64 generation);
    void onQtError(quint64 generation, int error);
    void onLookedUp(int id, const QStringList &addresses, quint16 error);
    // Calls a handler from a notification; an exception that escapes it
    // goes to onBgException and (unless that says no) aborts the socket.
    // False when the handler threw.
    template <typename Fn>
    bool dispatch(Fn &&fn);

    QString m_addr, m_port, m_proto, m_localPort;
    bool m_addrAssigned = false, m_portAssigned = false, m_protoAssigned = false;
    bool m_udp = false;
    QHostAddress m_remoteAddress;
    quint16 m_remotePort = 0;
    TSocketLingerOnOff m_lingerOnOff = TSocketLingerOnOff::wsLingerOn;
    int m_lingerTimeout = 0;
    TSocketState m_state = TSocketState::wsClosed;
    int m_lastError = 0;
    qint64 m_readCount = 0;
    QStringList m_dnsResultList;
    int m_lookupId = -1;

    QAbstractSocket *m_socket = nullptr;
    quint64 m_generation = 0;
    QByteArray m_queued;   // gathered by queueData, sent with the next send
    bool m_allSent = true;
    bool m_closeReported = false;
    bool m_destroying = false;
};

} // namespace varnholt
