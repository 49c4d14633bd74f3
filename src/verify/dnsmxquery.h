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

private:
    TDnsQuery m_query;
};

} // namespace varnholt
