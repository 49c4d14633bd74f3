#include "dnsmxquery.h"

#include "direct/wsocket.h"

namespace varnholt {

namespace {

struct ServerAddress {
    QString host;
    QString port = QStringLiteral("53");
};

// "host:port"; a bare IPv6 address has more than one colon and no port.
ServerAddress splitServer(const QString &server)
{
    ServerAddress a{server.trimmed()};
    if (const qsizetype colon = a.host.lastIndexOf(u':'); colon > 0 && a.host.indexOf(u':') == colon) {
        a.port = a.host.mid(colon + 1);
        a.host.truncate(colon);
    }
    return a;
}

} // namespace

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
    const ServerAddress a = splitServer(server);
    try {
        m_query.setAddr(a.host);
        m_query.setPort(a.port);
        m_query.queryMX(domain);
    } catch (const ESocketException &e) {
        emit sendFailed(e.message());
    }
}

bool DnsMxQuery::checkServer(const QString &server, QString *error)
{
    const ServerAddress a = splitServer(server);
    try {
        (void)WSocketResolvePort(a.port, QStringLiteral("udp"));
        (void)WSocketResolveHost(a.host);
        return true;
    } catch (const ESocketException &e) {
        if (error)
            *error = e.message();
        return false;
    }
}

MxQueryFactory DnsMxQuery::factory()
{
    return [] { return std::make_unique<DnsMxQuery>(); };
}

} // namespace varnholt
