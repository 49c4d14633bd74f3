#pragma once

#include <QByteArrayView>
#include <QString>

// Where the lookups of this program find a DNS server when the user names
// none ("Get DNS info").
namespace varnholt {

// The file the system's resolver takes its name servers from.
[[nodiscard]] QString defaultResolvConf();

// `FindDnsServer`: the computer's first configured DNS server, from the
// "nameserver" lines of `resolvConf`. The MX queries and the address
// fields of this program speak IPv4, so the first IPv4 server is taken;
// a file with only IPv6 servers gives the first of those. Without any
// (or without the file) the fallback is the computer's own first address
// (LocalHostAddress()), empty when that fails too.
[[nodiscard]] QString FindDnsServer(const QString &resolvConf = defaultResolvConf());

// The server FindDnsServer takes from the text of a resolv.conf; empty
// when the text names none. Read as the C library reads it: a line that
// starts with "nameserver" and a blank, then the address as its next word
// (what follows the address is ignored); lines starting with "#" or ";"
// are comments.
[[nodiscard]] QString FirstNameServer(QByteArrayView resolvConfText);

// The computer's first IPv4 address found by its host name, dotted;
// empty when the name or its lookup fails.
[[nodiscard]] QString LocalHostAddress();

} // namespace varnholt
