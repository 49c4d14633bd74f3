#include "direct/mxresolver.h"

#include <QMetaObject>
#include <QUrl>

#include <algorithm>
#include <limits>
#include <optional>

namespace varnholt {

namespace {

// DNS names compare without regard to ASCII case (RFC 4343); a trailing
// dot is the same name.
[[nodiscard]] QString bareName(const QString &name)
{
    QString bare = name;
    if (bare.endsWith(u'.'))
        bare.chop(1);
    for (QChar &c : bare)
        if (c >= u'A' && c <= u'Z')
            c = QChar(c.unicode() + ('a' - 'A'));
    return bare;
}

// "a.b.c.d" with four decimal parts of at most 255; the canonical dotted
// form, or nothing.
[[nodiscard]] std::optional<QString> dottedIpv4(const QString &text)
{
    const QStringList parts = text.split(u'.');
    if (parts.size() != 4)
        return std::nullopt;
    QStringList canonical;
    for (const QString &part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return std::nullopt;
        for (const QChar c : part)
            if (c < u'0' || c > u'9')
                return std::nullopt;
        const int value = part.toInt();
        if (value > 255)
            return std::nullopt;
        canonical << QString::number(value);
    }
    return canonical.join(u'.');
}

struct ServerAddress {
    QString addr;
    QString port;
};

// "host" or "host:port" with a dotted IPv4 host. Names are refused: the
// socket would look them up with the system's resolver, blocking.
[[nodiscard]] std::optional<ServerAddress> parseServer(const QString &entry)
{
    QString host = entry.trimmed();
    QString port = QStringLiteral("53");
    const qsizetype colon = host.indexOf(u':');
    if (colon >= 0) {
        port = host.mid(colon + 1);
        host.truncate(colon);
        bool ok = false;
        const uint number = port.toUInt(&ok);
        if (!ok || number == 0 || number > 65535)
            return std::nullopt;
        port = QString::number(number);
    }
    const std::optional<QString> addr = dottedIpv4(host);
    if (!addr)
        return std::nullopt;
    return ServerAddress{*addr, port};
}

[[nodiscard]] QString replyCodeName(int code)
{
    switch (code) {
    case 1: return QStringLiteral("FORMERR");
    case 2: return QStringLiteral("SERVFAIL");
    case 4: return QStringLiteral("NOTIMP");
    case 5: return QStringLiteral("REFUSED");
    default: return QStringLiteral("reply code %1").arg(code);
    }
}

// The names `name` stands for in this answer: itself, then the canonical
// names its CNAME records lead to, whatever order they come in.
[[nodiscard]] QStringList aliasChain(const TDnsQuery &query, const QString &name)
{
    QStringList chain{bareName(name)};
    bool grew = true;
    while (grew) {
        grew = false;
        for (int i = 0; i < query.decodedAnswers(); ++i) {
            if (query.answerType(i) != dns::TypeCname)
                continue;
            const QString target = bareName(query.answerTarget(i));
            if (!target.isEmpty() && !chain.contains(target) && chain.contains(bareName(query.answerName(i)))) {
                chain << target;
                grew = true;
            }
        }
    }
    return chain;
}

[[nodiscard]] QString describe(const QList<MxTarget> &targets)
{
    QStringList parts;
    for (const MxTarget &target : targets)
        parts << QStringLiteral("%1 (%2)").arg(target.host).arg(target.preference);
    return parts.join(QStringLiteral(", "));
}

} // namespace

MxResolver::MxResolver(QObject *parent) : QObject(parent)
{
    m_query.onRequestDone = [this](TDnsQuery *query, quint16 error) { answered(query, error); };
}

MxResolver::~MxResolver()
{
    m_query.onRequestDone = nullptr;
}

void MxResolver::setServers(const QStringList &servers)
{
    m_servers = servers;
}

QString MxResolver::currentServer() const
{
    if (m_phase == Phase::Idle || m_server >= m_servers.size())
        return {};
    return m_servers.at(m_server);
}

void MxResolver::resolve(const QString &domain)
{
    cancel();
    m_domain = domain.trimmed();
    if (m_domain.endsWith(u'.'))
        m_domain.chop(1);
    m_server = 0;
    m_attempts = 0;
    m_sendError.clear();
    m_cnameQueries = 0;
    m_targets.clear();
    m_next = 0;
    m_lookupFailure.clear();
    m_ttl = std::numeric_limits<quint32>::max();
    m_phase = Phase::Mx;

    if (m_domain.isEmpty()) {
        finish(Result::QueryFailed, QStringLiteral("No mail server: the address has no domain"));
        return;
    }
    m_name = m_domain;
    if (std::any_of(m_name.cbegin(), m_name.cend(), [](QChar c) { return c.unicode() > 0x7F; }))
        m_name = QString::fromLatin1(QUrl::toAce(m_name));
    if (m_name.isEmpty() || !dns::encodeName(m_name)) {
        finish(Result::QueryFailed, QStringLiteral("No mail server for %1: not a valid domain name").arg(m_domain));
        return;
    }
    m_asciiDomain = bareName(m_name);
    send();
}

bool MxResolver::retryNextServer()
{
    if (m_phase == Phase::Idle)
        return false;
    if (m_phase == Phase::Reporting)
        return true;
    ++m_attempts;
    if (m_attempts < m_servers.size())
        m_server = (m_server + 1) % int(m_servers.size());
    return send();
}

void MxResolver::cancel()
{
    ++m_generation;
    m_phase = Phase::Idle;
    // Frees the query's port at once; a late answer cannot arrive.
    m_query.socket()->abort();
}

// Sends the query under way to the server in use; a server that cannot be
// asked counts as one that stays silent, and the next one is asked. False
// when every server had its try: the lookup ends with SilentServers.
bool MxResolver::send()
{
    while (true) {
        if (m_attempts >= m_servers.size()) {
            QString comment = m_servers.isEmpty()
                                  ? QStringLiteral("Cannot find the mail server for %1: no DNS server to ask").arg(m_domain)
                                  : QStringLiteral("Cannot find the mail server for %1: no DNS server answered (%2)")
                                        .arg(m_domain, m_servers.join(QStringLiteral(", ")));
            if (!m_sendError.isEmpty())
                comment += QStringLiteral("; ") + m_sendError;
            finish(Result::SilentServers, comment);
            return false;
        }
        if (sendTo(m_server))
            return true;
        ++m_attempts;
        m_server = (m_server + 1) % int(m_servers.size());
    }
}

bool MxResolver::sendTo(int server)
{
    const std::optional<ServerAddress> address = parseServer(m_servers.at(server));
    if (!address) {
        m_sendError = QStringLiteral("'%1' is no DNS server address (a dotted IPv4 address, and a port after ':')")
                          .arg(m_servers.at(server));
        return false;
    }
    m_query.setAddr(address->addr);
    m_query.setPort(address->port);
    try {
        if (m_phase == Phase::Mx)
            m_query.queryMX(m_name);
        else
            m_query.queryA(m_name);
    } catch (const ESocketException &e) {
        m_sendError = QStringLiteral("DNS server %1: %2").arg(m_servers.at(server), e.message());
        return false;
    }
    return true;
}

void MxResolver::answered(TDnsQuery *query, quint16 error)
{
    if (m_phase == Phase::Idle || m_phase == Phase::Reporting)
        return;
    post([this] {
        if (const auto callback = onAnswer) // a copy: the callback may destroy us
            callback(this);
    });
    if (error != 0) {
        if (m_phase == Phase::Exchanger) {
            // This exchanger cannot be looked up; the others may.
            m_lookupFailure = failureText(*query, error);
            ++m_next;
            nextExchanger();
            return;
        }
        finish(Result::QueryFailed,
               QStringLiteral("Cannot find the mail server for %1: %2").arg(m_domain, failureText(*query, error)));
        return;
    }
    for (int i = 0; i < query->decodedAnswers(); ++i)
        m_ttl = std::min(m_ttl, query->answerTtl(i));
    if (m_phase == Phase::Mx)
        mxAnswered(*query);
    else
        addressesAnswered(*query);
}

void MxResolver::mxAnswered(const TDnsQuery &query)
{
    if (query.replyCode() == 3) {
        finish(Result::NoSuchDomain, QStringLiteral("No mail server for %1: the domain does not exist").arg(m_domain));
        return;
    }
    if (query.replyCode() != 0) {
        finish(Result::QueryFailed,
               QStringLiteral("Cannot find the mail server for %1: %2").arg(m_domain, failureText(query, 0)));
        return;
    }

    // RFC 5321 5.1: every MX record of the name (or of its canonical name)
    // in the answer, wherever it stands.
    const QStringList chain = aliasChain(query, m_name);
    QList<MxTarget> records;
    for (int i = 0; i < query.decodedAnswers(); ++i) {
        const int slot = query.answerSlot(i);
        if (query.answerType(i) == dns::TypeMx && slot >= 0 && chain.contains(bareName(query.answerName(i))))
            records << MxTarget{query.mxHost(slot), query.mxPreference(slot), {}};
    }

    if (records.isEmpty()) {
        if (query.replyTruncated()) {
            finish(Result::QueryFailed,
                   QStringLiteral("Cannot find the mail server for %1: %2").arg(m_domain, failureText(query, 0)));
            return;
        }
        if (chain.size() > 1) {
            // Only the alias came: ask for the canonical name's MX records.
            if (++m_cnameQueries > MaxCnameQueries) {
                finish(Result::QueryFailed,
                       QStringLiteral("Cannot find the mail server for %1: too many aliases (CNAME) in a row").arg(m_domain));
                return;
            }
            m_name = chain.last();
            send();
            return;
        }
        // No MX: the domain is its own exchanger (RFC 5321 5.1, "implicit MX").
        m_phase = Phase::Implicit;
        m_targets = {MxTarget{m_asciiDomain, 0, {}}};
        m_cnameQueries = 0;
        send();
        return;
    }

    // RFC 7505: a single MX with preference 0 and the root as exchange.
    if (records.size() == 1 && records.first().preference == 0 && records.first().host.isEmpty()) {
        finish(Result::NullMx, QStringLiteral("No mail server for %1: the domain accepts no mail (null MX)").arg(m_domain));
        return;
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const MxTarget &a, const MxTarget &b) { return a.preference < b.preference; });
    QStringList seen;
    for (const MxTarget &record : std::as_const(records)) {
        const QString host = bareName(record.host);
        if (host.isEmpty() || seen.contains(host))
            continue; // a root exchange among others is no server; a repeat adds nothing
        seen << host;
        m_targets << MxTarget{bareName(record.host), record.preference, {}};
        if (m_targets.size() == MaxExchangers)
            break;
    }
    if (m_targets.isEmpty()) {
        finish(Result::NoMailServer, QStringLiteral("No mail server for %1: its MX records name no mail server").arg(m_domain));
        return;
    }
    m_phase = Phase::Exchanger;
    m_next = 0;
    nextExchanger();
}

void MxResolver::addressesAnswered(const TDnsQuery &query)
{
    QStringList addresses;
    bool failed = false;
    if (query.replyCode() == 0) {
        const QStringList chain = aliasChain(query, m_name);
        for (int i = 0; i < query.decodedAnswers() && addresses.size() < MaxAddresses; ++i) {
            const int slot = query.answerSlot(i);
            if (query.answerType(i) == dns::TypeA && slot >= 0 && chain.contains(bareName(query.answerName(i))))
                addresses << query.addressText(slot);
        }
        if (addresses.isEmpty() && query.replyTruncated()) {
            failed = true;
        } else if (addresses.isEmpty() && chain.size() > 1) {
            if (++m_cnameQueries <= MaxCnameQueries) {
                m_name = chain.last();
                send();
                return;
            }
            failed = true;
        }
    } else if (query.replyCode() != 3) {
        failed = true; // NXDOMAIN is an answer: no address
    }

    if (m_phase == Phase::Implicit) {
        m_ttl = 0;
        if (!addresses.isEmpty()) {
            m_targets.first().addresses = addresses;
            finish(Result::Found,
                   QStringLiteral("Mail server for %1: the domain itself (no MX record)").arg(m_domain), m_targets);
        } else if (failed) {
            finish(Result::QueryFailed,
                   QStringLiteral("Cannot find the mail server for %1: %2").arg(m_domain, failureText(query, 0)));
        } else {
            finish(Result::NoMailServer,
                   QStringLiteral("No mail server for %1: the domain has neither an MX record nor an address").arg(m_domain));
        }
        return;
    }
    m_targets[m_next].addresses = addresses;
    if (failed)
        m_lookupFailure = failureText(query, 0);
    ++m_next;
    nextExchanger();
}

// Looks up the addresses of the exchangers from m_next on, one query at a
// time; reports when all are done.
void MxResolver::nextExchanger()
{
    while (m_next < m_targets.size()) {
        MxTarget &target = m_targets[m_next];
        // Some zones name the exchanger by its address: taken as it is.
        if (const std::optional<QString> address = dottedIpv4(target.host)) {
            target.addresses = {*address};
            ++m_next;
            continue;
        }
        if (!dns::encodeName(target.host)) {
            ++m_next; // a name no query can carry: no address
            continue;
        }
        m_name = target.host;
        m_cnameQueries = 0;
        send();
        return;
    }

    const QList<MxTarget> all = m_targets;
    m_targets.removeIf([](const MxTarget &target) { return target.addresses.isEmpty(); });
    if (!m_targets.isEmpty()) {
        finish(Result::Found, QStringLiteral("Mail servers for %1: %2").arg(m_domain, describe(m_targets)), m_targets);
    } else if (!m_lookupFailure.isEmpty()) {
        // Some exchanger could not be looked up: it may well have an address.
        finish(Result::QueryFailed, QStringLiteral("Cannot find the mail server for %1: %2").arg(m_domain, m_lookupFailure));
    } else {
        QStringList hosts;
        for (const MxTarget &target : all)
            hosts << target.host;
        finish(Result::NoMailServer, QStringLiteral("No mail server for %1: its mail servers have no address (%2)")
                                         .arg(m_domain, hosts.join(QStringLiteral(", "))));
    }
}

QString MxResolver::failureText(const TDnsQuery &query, quint16 error) const
{
    const QString server = m_server < m_servers.size() ? m_servers.at(m_server) : QString();
    if (error == TDnsQuery::MalformedResponse)
        return QStringLiteral("the answer of the DNS server %1 could not be read").arg(server);
    if (error != 0)
        return QStringLiteral("the DNS server %1 could not be asked (error %2: %3)").arg(server).arg(error).arg(ErrorText(error));
    if (query.replyCode() != 0)
        return QStringLiteral("the DNS server %1 failed to answer for %2 (%3)")
            .arg(server, m_name, replyCodeName(query.replyCode()));
    return QStringLiteral("the answer of the DNS server %1 for %2 was too long for UDP").arg(server, m_name);
}

void MxResolver::finish(Result result, const QString &comment, const QList<MxTarget> &targets)
{
    m_phase = Phase::Reporting;
    if (result != Result::Found)
        m_ttl = 0;
    const QList<MxTarget> found = result == Result::Found ? targets : QList<MxTarget>();
    post([this, result, comment, found] {
        m_phase = Phase::Idle;
        if (const auto callback = onResolved) // a copy: the callback may destroy us
            callback(this, result, found, comment);
    });
}

// Callbacks go through the event loop: the caller is never called back from
// inside resolve() or retryNextServer(), nor from inside the query's socket
// handler (where destroying the resolver would pull the socket from under
// it). A call posted for an earlier lookup is dropped.
void MxResolver::post(std::function<void()> call)
{
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation, call = std::move(call)] {
            if (generation == m_generation)
                call();
        },
        Qt::QueuedConnection);
}

} // namespace varnholt
