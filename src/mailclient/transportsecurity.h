#pragma once

#include "settings/settings.h"

namespace varnholt {

// How a mail client protects its connection: not at all, by upgrading a
// plain connection with STARTTLS (RFC 3207) / STLS, or with TLS from the
// first byte (RFC 8314, SMTP port 465).
enum class TransportSecurity { None, StartTls, Tls };

// An account's "Security" setting as the clients' protection.
[[nodiscard]] inline TransportSecurity transportSecurityOf(AccountSecurity security)
{
    switch (security) {
    case AccountSecurity::StartTls: return TransportSecurity::StartTls;
    case AccountSecurity::Tls: return TransportSecurity::Tls;
    case AccountSecurity::None: break;
    }
    return TransportSecurity::None;
}

} // namespace varnholt
