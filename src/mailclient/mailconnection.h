#pragma once

#include "mailclient/transportsecurity.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QSslSocket>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>

// The socket base of the mail clients: one outgoing TCP connection (plain,
// upgraded with STARTTLS, or TLS from the start), the asynchronous name
// lookup, one countdown for lookup and connection set-up, a reply time limit,
// and the line reader. It only moves bytes; the protocol lives in the
// dialogue classes.

namespace varnholt {

class MailConnection : public QObject
{
    Q_OBJECT
public:
    explicit MailConnection(QObject *parent = nullptr);
    ~MailConnection() override;

    // Seconds allowed for the name lookup and for the connection set-up;
    // 0 means no limit, which the sessions never ask for
    // (MailSession::effectiveTimeLimit).
    void setTimeouts(int arpSeconds, int connectSeconds);
    [[nodiscard]] int lookupTimeLimit() const { return m_arpSeconds; }
    [[nodiscard]] int connectTimeLimit() const { return m_connectSeconds; }
    // Certificates trusted on top of the system's store (a private CA, or a
    // test's self-signed certificate).
    void setExtraCaCertificates(const QList<QSslCertificate> &certificates);
    // The time allowed for a TLS handshake.
    void setHandshakeTimeLimit(std::chrono::milliseconds limit) { m_handshakeLimit = limit; }

    // Connects to `server`: a name starting with a digit that reads as an
    // IPv4 or IPv6 address is used as it is; anything else is looked up.
    void open(const QString &server, quint16 port, TransportSecurity security);
    // Cancels a lookup, stops every timer and closes the socket at once.
    void close();
    // Upgrades the connection (after the server's consent to STARTTLS/STLS).
    void startTls();

    [[nodiscard]] bool isOpen() const { return m_socket != nullptr; }
    [[nodiscard]] bool isConnected() const { return m_connected; }
    [[nodiscard]] QString peerAddressText() const;
    [[nodiscard]] QString serverName() const { return m_server; }

    // A command line: the text, then CR LF.
    void sendLine(const QByteArray &line);
    // False when the connection turned out to be gone and none of the bytes
    // could be handed over; the end of the connection is reported once the
    // caller has returned.
    bool write(const QByteArray &bytes);
    // Bytes handed over but not yet passed to the operating system.
    [[nodiscard]] qint64 bytesPending() const;
    // Between cork() and the matching uncork() writes are collected and
    // then handed over at once: commands that go together (a pipelined
    // group after a message's end) leave in one segment, not one each.
    void cork() { ++m_corked; }
    void uncork();

    // The time allowed for the next reply. Arming and stopping only note a
    // deadline: the timer behind it is restarted only when it would ring
    // too late, so that a round trip costs no timer registration.
    void armReplyTimer(std::chrono::milliseconds limit);
    void stopReplyTimer() { m_replyArmed = false; }
    void clearLineBuffer() { m_lineBuffer.clear(); }

    // Splits `buffer` at CR LF (only CR LF ends a line, RFC 5321 2.3.8 and
    // RFC 1939 3); calls `line` for each whole line and leaves the rest in
    // `buffer`. `line` returns false to stop.
    template <typename Fn>
    static void takeLines(QByteArray &buffer, Fn &&line)
    {
        qsizetype start = 0;
        while (true) {
            const qsizetype end = buffer.indexOf("\r\n", start);
            if (end < 0)
                break;
            const QByteArray text = buffer.mid(start, end - start);
            start = end + 2;
            if (!line(text))
                break;
        }
        buffer.remove(0, start);
    }

Q_SIGNALS:
    void resolving(const QString &host);
    void resolved(const QString &address);
    // The connection is ready for the dialogue (for TLS from the start:
    // after the handshake).
    void connected(const QString &address);
    void tlsEstablished();
    void lineReceived(const QByteArray &line);
    void bytesWritten();
    // The server closed the connection in an orderly way.
    void closedByPeer();
    // A socket failure, as a classic socket error code (see mailerrors.h).
    void failed(int socketCode, const QString &detail);
    void tlsFailed(const QString &text);
    // A countdown or the reply time limit ran out; the connection is closed.
    void timedOut();
    // The server sent more than ReplyLimits::MaxLineBytes without a line
    // end; the connection is closed.
    void lineTooLong();

private:
    void connectTo(const QHostAddress &address);
    void onLookedUp(const QHostInfo &info);
    void onConnected();
    void onEncrypted();
    void onReadyRead();
    void onError(QAbstractSocket::SocketError error);
    void onDisconnected();
    void onTimeout();
    void onReplyTimer();
    void startReplyTimer(std::chrono::milliseconds interval);
    void releaseSocket();
    void reportBrokenWrite();
    [[nodiscard]] QSslSocket *sslSocket() const;
    [[nodiscard]] bool isUnbuffered() const;
    enum class PeerState { Unknown, Open, ClosedAfterFin, Reset };
    [[nodiscard]] PeerState peerState() const;

    // A QSslSocket only when the connection is or may become encrypted; a
    // plain connection does without the TLS layer's relays.
    QPointer<QTcpSocket> m_socket;
    QString m_server;
    quint16 m_port = 0;
    TransportSecurity m_security = TransportSecurity::None;
    bool m_connected = false;
    bool m_upgrading = false;
    int m_lookupId = -1;
    int m_arpSeconds = 0;
    int m_connectSeconds = 0;
    QTimer m_countdown;
    QTimer m_replyTimer;
    QDeadlineTimer m_replyDeadline; // when the awaited reply is late
    QDeadlineTimer m_replyTimerDue;  // when m_replyTimer rings
    bool m_replyArmed = false;
    std::chrono::milliseconds m_handshakeLimit{60000};
    QList<QSslCertificate> m_extraCas;
    QStringList m_sslErrors;
    QByteArray m_lineBuffer;
    int m_probeFd = -1; // a duplicate of the socket, to tell a reset from a close
    int m_sendErrno = 0; // EPIPE or ECONNRESET from a write into a connection that is gone
    quint64 m_generation = 0;
    bool m_inWrite = false;
    int m_corked = 0;
    QByteArray m_corkBuffer;
};

} // namespace varnholt
