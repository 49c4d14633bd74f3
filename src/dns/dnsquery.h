#pragma once

// `TDnsQuery`: one query (MX or A) at a time over UDP to the DNS server at
// addr():port(), through its own TWSocket, and the decoded answer in fixed
// tables of dns::TableSize entries. The query has no time limit and no
// retry of its own: its callers run their own timers.
//
// onRequestDone(query, error) fires at most once per query, from the event
// loop: with 0 when a response was decoded, with a socket error code when
// the socket reported one, and with MalformedResponse when the response
// could not be decoded (a name past the received bytes, a pointer loop).
// Nothing fires once the query is destroyed. Datagrams that are no
// response, or whose ID or question (name, type, class) is not those of
// the query sent, are ignored: a spoofed or late reply never counts as the
// answer. After the event further datagrams are ignored until the next
// query. A server that does not answer, or a port nothing listens on (Qt
// passes no ICMP error on), gives no event at all.

#include "dns/dnsmessage.h"
#include "direct/wsocket.h"

#include <QObject>
#include <QString>

#include <functional>

namespace varnholt {

class TDnsQuery : public QObject
{
    Q_OBJECT
public:
    // The error a response that cannot be decoded is reported with
    // ("Non-recoverable error").
    static constexpr quint16 MalformedResponse = 11003;

    explicit TDnsQuery(QObject *parent = nullptr);
    ~TDnsQuery() override;

    [[nodiscard]] QString port() const { return m_port; }
    void setPort(const QString &port) { m_port = port; }
    [[nodiscard]] QString addr() const { return m_addr; }
    void setAddr(const QString &addr) { m_addr = addr; }

    std::function<void(TDnsQuery *, quint16 error)> onRequestDone;

    // Sends an MX query for `domain` and returns its ID (1 for the first
    // query of an object). Any earlier exchange is abandoned, with its
    // local port. Throws ESocketException for a bad addr()/port() or a
    // domain that is no DNS name (an empty label, a label over 63 bytes,
    // a name over 255).
    int queryMX(const QString &domain);
    // The same with an A query for `name` (its IPv4 addresses); the
    // message of the exception starts with "QueryA".
    int queryA(const QString &name);
    // The type of the last query sent (dns::TypeMx or dns::TypeA), 0 before.
    [[nodiscard]] int queryType() const { return m_questionType; }

    // Whether a query was sent and its event has not come yet.
    [[nodiscard]] bool isWaiting() const { return m_waiting; }
    // The request as sent (header and question).
    [[nodiscard]] QByteArray request() const { return m_request; }
    // -1 from a query until its response is decoded, then its size.
    [[nodiscard]] int replyLength() const { return m_replyLength; }

    // The decoded response; valid after onRequestDone with error 0 and
    // until the next response is decoded.
    [[nodiscard]] int replyId() const { return m_reply.id; }
    [[nodiscard]] int replyCode() const { return m_reply.replyCode; }
    [[nodiscard]] int replyOpcode() const { return m_reply.opcode; }
    [[nodiscard]] bool replyAuthoritative() const { return m_reply.authoritative; }
    [[nodiscard]] bool replyTruncated() const { return m_reply.truncated; }
    [[nodiscard]] bool replyRecursionAvailable() const { return m_reply.recursionAvailable; }
    [[nodiscard]] int questionCount() const { return m_reply.questionCount; }
    // As the header says; a truncated response may carry fewer
    // (decodedAnswers()), and at most dns::TableSize are decoded.
    [[nodiscard]] int answerCount() const { return m_reply.answerCount; }
    [[nodiscard]] int authorityCount() const { return m_reply.authorityCount; }
    [[nodiscard]] int additionalCount() const { return m_reply.additionalCount; }
    [[nodiscard]] int decodedAnswers() const { return int(m_reply.answers.size()); }
    [[nodiscard]] QString questionName() const { return m_reply.questionName; }
    [[nodiscard]] int questionType() const { return m_reply.questionType; }
    [[nodiscard]] int questionClass() const { return m_reply.questionClass; }

    // The tables by index: 0 or the empty string outside 0..TableSize-1 or
    // beyond what the response filled; answerSlot() then gives -1.
    [[nodiscard]] QString answerName(int i) const;
    [[nodiscard]] int answerType(int i) const;
    [[nodiscard]] int answerClass(int i) const;
    [[nodiscard]] quint32 answerTtl(int i) const;
    // Index into the MX table (type 15) or the address table (type 1).
    [[nodiscard]] int answerSlot(int i) const;
    // The canonical name of a CNAME answer; empty for other types.
    [[nodiscard]] QString answerTarget(int i) const;
    [[nodiscard]] int mxCount() const { return int(m_reply.mxHost.size()); }
    [[nodiscard]] int mxPreference(int i) const;
    [[nodiscard]] QString mxHost(int i) const;
    [[nodiscard]] int addressCount() const { return int(m_reply.addresses.size()); }
    // IPv4 address in network byte order, as received.
    [[nodiscard]] quint32 address(int i) const;
    // The same, dotted.
    [[nodiscard]] QString addressText(int i) const;

    [[nodiscard]] TWSocket *socket() { return &m_socket; }

private:
    int query(const QString &name, quint16 type, const char *what);
    void onDataAvailable(TWSocket *socket, quint16 error);
    void finish(quint16 error);

    TWSocket m_socket;
    QString m_port = QStringLiteral("53");
    QString m_addr;
    quint16 m_id = 0;
    QByteArray m_request;
    QByteArray m_questionWire; // the name asked for, to match the response's question
    quint16 m_questionType = 0;
    bool m_waiting = false;
    int m_replyLength = 0;
    dns::DnsResponse m_reply;
};

} // namespace varnholt
