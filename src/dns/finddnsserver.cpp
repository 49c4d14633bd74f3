#include "finddnsserver.h"

#include <QFile>

#include <algorithm>
#include <memory>

#include <arpa/inet.h>
#include <climits>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace varnholt {

namespace {

constexpr QByteArrayView kKeyword = "nameserver";

[[nodiscard]] bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

enum class Family { None, IPv4, IPv6 };

[[nodiscard]] Family familyOf(const QByteArray &address)
{
    in_addr v4{};
    if (inet_pton(AF_INET, address.constData(), &v4) == 1)
        return Family::IPv4;
    // A link-local server carries its interface after "%".
    const QByteArray bare = address.left(address.indexOf('%') < 0 ? address.size() : address.indexOf('%'));
    in6_addr v6{};
    if (inet_pton(AF_INET6, bare.constData(), &v6) == 1)
        return Family::IPv6;
    return Family::None;
}

// The address word of a "nameserver" line, empty for any other line.
[[nodiscard]] QByteArray nameServerOf(QByteArrayView line)
{
    if (!line.startsWith(kKeyword) || line.size() == kKeyword.size() || !isBlank(line[kKeyword.size()]))
        return {};
    qsizetype from = kKeyword.size();
    while (from < line.size() && isBlank(line[from]))
        ++from;
    qsizetype to = from;
    while (to < line.size() && !isBlank(line[to]) && line[to] != '#' && line[to] != ';')
        ++to;
    return line.sliced(from, to - from).toByteArray();
}

struct AddrInfoFree {
    void operator()(addrinfo *info) const { freeaddrinfo(info); }
};

} // namespace

QString defaultResolvConf()
{
    return QStringLiteral("/etc/resolv.conf");
}

QString defaultResolvedUpstreamConf()
{
    return QStringLiteral("/run/systemd/resolve/resolv.conf");
}

QStringList NameServers(QByteArrayView resolvConfText)
{
    QStringList servers;
    qsizetype start = 0;
    while (start < resolvConfText.size()) {
        qsizetype end = resolvConfText.indexOf('\n', start);
        if (end < 0)
            end = resolvConfText.size();
        const QByteArray server = nameServerOf(resolvConfText.sliced(start, end - start));
        start = end + 1;
        if (!server.isEmpty() && familyOf(server) != Family::None)
            servers << QString::fromLatin1(server);
    }
    return servers;
}

QString FirstNameServer(QByteArrayView resolvConfText)
{
    const QStringList servers = NameServers(resolvConfText);
    for (const QString &server : servers)
        if (familyOf(server.toLatin1()) == Family::IPv4)
            return server;
    return servers.value(0);
}

QString LocalHostAddress()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found)
        return {};
    const std::unique_ptr<addrinfo, AddrInfoFree> owner(found);
    char dotted[INET_ADDRSTRLEN] = {};
    const auto *address = reinterpret_cast<const sockaddr_in *>(found->ai_addr);
    if (!inet_ntop(AF_INET, &address->sin_addr, dotted, sizeof dotted))
        return {};
    return QString::fromLatin1(dotted);
}

QString FindDnsServer(const QString &resolvConf, const QString &upstreamConf)
{
    QFile file(resolvConf);
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray text = file.readAll();
        const QString server = FirstNameServer(text);
        const QStringList servers = NameServers(text);
        const bool onlyStub = !servers.isEmpty()
            && std::all_of(servers.begin(), servers.end(),
                           [](const QString &s) { return s == ResolvedStubAddress; });
        if (onlyStub) {
            // systemd-resolved's stub: its own list names the real servers.
            QFile upstream(upstreamConf);
            if (upstream.open(QIODevice::ReadOnly)) {
                const QString real = FirstNameServer(upstream.readAll());
                if (!real.isEmpty() && real != ResolvedStubAddress)
                    return real;
            }
        }
        if (!server.isEmpty())
            return server;
    }
    return LocalHostAddress();
}

} // namespace varnholt
