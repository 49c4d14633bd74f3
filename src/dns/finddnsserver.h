#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringList>

// Where the lookups of this program find a DNS server when the user names
// none ("Get DNS info").
namespace varnholt {

// The file the system's resolver takes its name servers from.
[[nodiscard]] QString defaultResolvConf();
// Where systemd-resolved keeps the upstream servers it forwards to.
[[nodiscard]] QString defaultResolvedUpstreamConf();
// The address of systemd-resolved's local stub resolver.
inline constexpr QLatin1StringView ResolvedStubAddress{"127.0.0.53"};

// `FindDnsServer`: the computer's first configured DNS server, from the
// "nameserver" lines of `resolvConf`. The MX queries and the address
// fields of this program speak IPv4, so the first IPv4 server is taken;
// a file with only IPv6 servers gives the first of those. Without any
// (or without the file) the fallback is the computer's own first address
// (LocalHostAddress()), empty when that fails too.
// When `resolvConf` names only systemd-resolved's stub (127.0.0.53), the
// first server of `upstreamConf` is taken instead (the program speaks to
// the server itself, on a port the stub does not serve); without one
// there, the stub.
[[nodiscard]] QString FindDnsServer(const QString &resolvConf = defaultResolvConf(),
                                    const QString &upstreamConf = defaultResolvedUpstreamConf());

// The server FindDnsServer takes from the text of a resolv.conf; empty
// when the text names none. Read as the C library reads it: a line that
// starts with "nameserver" and a blank, then the address as its next word
// (what follows the address is ignored); lines starting with "#" or ";"
// are comments.
[[nodiscard]] QString FirstNameServer(QByteArrayView resolvConfText);
// Every server of the "nameserver" lines, in order, read as above.
[[nodiscard]] QStringList NameServers(QByteArrayView resolvConfText);

// The computer's first IPv4 address found by its host name, dotted;
// empty when the name or its lookup fails.
[[nodiscard]] QString LocalHostAddress();

} // namespace varnholt
