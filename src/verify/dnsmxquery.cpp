#include "dnsmxquery.h"

namespace varnholt {

DnsMxQuery::DnsMxQuery()
{
    m_query.onRequestDone = [this](TDnsQuery *q, quint16 error) {
        if (error != 0) {
            emit done(error, 0, {}, {});
            return;
        }
        QStringList exchanges;
        QString first;
        int nullMx = 0;
        for (int i = 0; i < q->decodedAnswers(); ++i) {
            if (q->answerType(i) != dns::TypeMx)
                continue;
            const QString host = q->mxHost(q->answerSlot(i));
            if (i == 0)
                first = host;
            exchanges << host;
            if (host.isEmpty() || host == u".")
                ++nullMx;
        }
        // A null MX (RFC 7505: one record naming the root) says the domain
        // takes no mail at all: no mail server, whatever the answer count.
        const bool noMail = nullMx > 0 && nullMx == exchanges.size();
        emit done(0, noMail ? 0 : q->answerCount(), first, exchanges);
    };
}

void DnsMxQuery::start(const QString &server, const QString &domain)
{
    // "host:port"; a bare IPv6 address has more than one colon and no port.
    QString host = server.trimmed();
    QString port = QStringLiteral("53");
    if (const qsizetype colon = host.lastIndexOf(u':'); colon > 0 && host.indexOf(u':') == colon) {
        port = host.mid(colon + 1);
        host.truncate(colon);
    }
    try {
        m_query.setAddr(host);
        m_query.setPort(port);
        m_query.queryMX(domain);
    } catch (const ESocketException &e) {
        emit sendFailed(e.message());
    }
}

MxQueryFactory DnsMxQuery::factory()
{
    return [] { return std::make_unique<DnsMxQuery>(); };
}

} // namespace varnholt
