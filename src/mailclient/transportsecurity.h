#pragma once

namespace varnholt {

// How a mail client protects its connection: not at all, by upgrading a
// plain connection with STARTTLS (RFC 3207) / STLS, or with TLS from the
// first byte (RFC 8314, SMTP port 465).
enum class TransportSecurity { None, StartTls, Tls };

} // namespace varnholt
