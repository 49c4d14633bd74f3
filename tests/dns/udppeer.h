#pragma once

// A scripted DNS server on 127.0.0.1 for the exact protocol cases: every
// datagram it receives is kept, and `respond` decides what goes back (any
// number of datagrams, in order, to the sender). Also a builder for
// response packets.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <functional>

class UdpPeer : public QObject
{
public:
    using Responder = std::function<QList<QByteArray>(const QByteArray &query)>;

    explicit UdpPeer(Responder respond = {}) : m_respond(std::move(respond))
    {
        m_socket.bind(QHostAddress::LocalHost, 0);
        connect(&m_socket, &QUdpSocket::readyRead, this, [this] {
            while (m_socket.hasPendingDatagrams()) {
                const QNetworkDatagram datagram = m_socket.receiveDatagram();
                received << datagram.data();
                lastSenderPort = quint16(datagram.senderPort());
                if (m_respond)
                    for (const QByteArray &reply : m_respond(datagram.data()))
                        m_socket.writeDatagram(reply, datagram.senderAddress(), lastSenderPort);
            }
        });
    }

    [[nodiscard]] quint16 port() const { return m_socket.localPort(); }
    // Sends a datagram to the port the last query came from.
    void sendToLastSender(const QByteArray &bytes)
    {
        m_socket.writeDatagram(bytes, QHostAddress::LocalHost, lastSenderPort);
    }

    QList<QByteArray> received;
    quint16 lastSenderPort = 0;

private:
    QUdpSocket m_socket;
    Responder m_respond;
};

// Response packets byte by byte.
class Packet
{
public:
    Packet &u8(int v) { m_bytes.append(char(v)); return *this; }
    Packet &u16(int v) { return u8((v >> 8) & 0xFF).u8(v & 0xFF); }
    Packet &u32(quint32 v) { return u16(int(v >> 16)).u16(int(v & 0xFFFF)); }
    Packet &raw(const QByteArray &b) { m_bytes.append(b); return *this; }
    // A name in wire form without compression: "mx.example.test".
    Packet &name(const QByteArray &dotted)
    {
        if (!dotted.isEmpty())
            for (const QByteArray &label : dotted.split('.'))
                u8(int(label.size())).raw(label);
        return u8(0);
    }
    Packet &pointer(int offset) { return u16(0xC000 | offset); }
    // A header: id, flags, counts.
    Packet &header(int id, int flags, int qd, int an, int ns = 0, int ar = 0)
    {
        return u16(id).u16(flags).u16(qd).u16(an).u16(ns).u16(ar);
    }
    // The question of an MX query for `domain`.
    Packet &mxQuestion(const QByteArray &domain) { return name(domain).u16(15).u16(1); }
    [[nodiscard]] qsizetype size() const { return m_bytes.size(); }
    [[nodiscard]] QByteArray bytes() const { return m_bytes; }
    operator QByteArray() const { return m_bytes; }

private:
    QByteArray m_bytes;
};

// The ID of a query datagram.
inline int queryId(const QByteArray &query)
{
    return query.size() < 2 ? -1 : (quint8(query[0]) << 8) | quint8(query[1]);
}

// A well-formed answer to an MX query for `domain` with one MX record
// naming `exchange` (written uncompressed).
inline QByteArray mxAnswer(int id, const QByteArray &domain, const QByteArray &exchange, int preference = 10)
{
    Packet p;
    p.header(id, 0x8180, 1, 1).mxQuestion(domain);
    Packet rdata;
    rdata.u16(preference).name(exchange);
    p.pointer(12).u16(15).u16(1).u32(300).u16(int(rdata.size())).raw(rdata);
    return p;
}
