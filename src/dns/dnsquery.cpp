#include "dns/dnsquery.h"

#include <QHostAddress>
#include <QtEndian>

namespace varnholt {

TDnsQuery::TDnsQuery(QObject *parent) : QObject(parent)
{
}

TDnsQuery::~TDnsQuery()
{
    m_socket.onDataAvailable = nullptr;
}

int TDnsQuery::queryMX(const QString &domain)
{
    return query(domain, dns::TypeMx, "QueryMX");
}

int TDnsQuery::queryA(const QString &name)
{
    return query(name, dns::TypeA, "QueryA");
}

int TDnsQuery::query(const QString &name, quint16 type, const char *what)
{
    ++m_id; // wraps at 16 bits; the first query carries 1
    const std::optional<QByteArray> request = dns::queryRequest(m_id, name, type);
    if (!request)
        throw ESocketException(QStringLiteral("%1: '%2' is not a valid domain name").arg(QLatin1String(what), name));
    m_request = *request;
    m_questionWire = *dns::encodeName(name);
    m_questionType = type;
    m_replyLength = -1;
    m_waiting = false;

    // A fresh socket, and with it a fresh local port, for every query: a
    // response to an abandoned query cannot arrive here.
    m_socket.onDataAvailable = nullptr;
    m_socket.abort();
    m_socket.onDataAvailable = [this](TWSocket *socket, quint16 error) { onDataAvailable(socket, error); };
    m_socket.setProto(QStringLiteral("udp"));
    m_socket.setPort(m_port);
    m_socket.setAddr(m_addr);
    m_socket.connect();
    m_waiting = true;
    m_socket.send(m_request);
    return m_id;
}

void TDnsQuery::onDataAvailable(TWSocket *socket, quint16 error)
{
    char buffer[dns::MaxResponse];
    const int received = socket->receive(buffer, sizeof buffer);
    if (!m_waiting)
        return; // answered already: duplicates and stragglers are dropped
    if (error != 0) {
        finish(error);
        return;
    }
    if (received <= 0)
        return;
    dns::DecodeResult decoded = dns::decodeResponse(QByteArrayView(buffer, received));
    if (decoded.status == dns::DecodeStatus::NotAResponse)
        return;
    const dns::DnsResponse &r = decoded.response;
    // Only the answer to this query counts (RFC 5452 9.1: ID and question).
    if (r.id != m_id)
        return;
    if (r.questionDecoded
        && (r.questionCount != 1 || r.questionType != m_questionType || r.questionClass != dns::ClassIn
            || !dns::sameName(r.questionWire, m_questionWire)))
        return;
    if (decoded.status == dns::DecodeStatus::Malformed) {
        m_reply = dns::DnsResponse();
        finish(MalformedResponse);
        return;
    }
    if (!r.questionDecoded)
        return; // no question: nothing ties it to this query
    m_reply = std::move(decoded.response);
    m_replyLength = received;
    finish(0);
}

void TDnsQuery::finish(quint16 error)
{
    m_waiting = false;
    if (onRequestDone)
        onRequestDone(this, error);
}

QString TDnsQuery::answerName(int i) const
{
    return i >= 0 && i < m_reply.answers.size() ? m_reply.answers.at(i).name : QString();
}

int TDnsQuery::answerType(int i) const
{
    return i >= 0 && i < m_reply.answers.size() ? m_reply.answers.at(i).type : 0;
}

int TDnsQuery::answerClass(int i) const
{
    return i >= 0 && i < m_reply.answers.size() ? m_reply.answers.at(i).rclass : 0;
}

quint32 TDnsQuery::answerTtl(int i) const
{
    return i >= 0 && i < m_reply.answers.size() ? m_reply.answers.at(i).ttl : 0;
}

int TDnsQuery::answerSlot(int i) const
{
    return i >= 0 && i < m_reply.answers.size() ? m_reply.answers.at(i).slot : -1;
}

QString TDnsQuery::answerTarget(int i) const
{
    return i >= 0 && i < m_reply.answers.size() ? m_reply.answers.at(i).target : QString();
}

int TDnsQuery::mxPreference(int i) const
{
    return i >= 0 && i < m_reply.mxPreference.size() ? m_reply.mxPreference.at(i) : 0;
}

QString TDnsQuery::mxHost(int i) const
{
    return i >= 0 && i < m_reply.mxHost.size() ? m_reply.mxHost.at(i) : QString();
}

quint32 TDnsQuery::address(int i) const
{
    return i >= 0 && i < m_reply.addresses.size() ? m_reply.addresses.at(i) : 0;
}

QString TDnsQuery::addressText(int i) const
{
    if (i < 0 || i >= m_reply.addresses.size())
        return {};
    return QHostAddress(qFromBigEndian(m_reply.addresses.at(i))).toString();
}

} // namespace varnholt
