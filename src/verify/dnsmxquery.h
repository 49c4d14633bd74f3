#pragma once

#include "verifyrun.h"

#include "dns/dnsquery.h"

// The verification's MX query over UDP: a TDnsQuery to the DNS field's
// server ("host" or "host:port", port 53 by default).
namespace varnholt {

class DnsMxQuery : public MxQuery
{
    Q_OBJECT
public:
    DnsMxQuery();
    void start(const QString &server, const QString &domain) override;

    // The factory a verification run takes.
    [[nodiscard]] static MxQueryFactory factory();
    // Whether queries can be sent to `server` at all (an IPv4 address or a
    // host name that resolves, a port); else why not. A run that could not
    // send would only see every row time out.
    [[nodiscard]] static bool checkServer(const QString &server, QString *error = nullptr);

private:
    TDnsQuery m_query;
};

} // namespace varnholt
