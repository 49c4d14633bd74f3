#pragma once

// `MxResolver`: the mail exchangers of a recipient's domain for direct
// delivery, found with our own queries (TDnsQuery) to the DNS servers the
// user gave, never with the operating system's resolver.
//
// RFC 5321 5.1: the domain's MX records in preference order (equal
// preferences in answer order), each exchanger with its IPv4 addresses
// from A queries to the same server; a domain without MX records is its own
// exchanger (its A records, "implicit MX"); a null MX (RFC 7505) means the
// domain accepts no mail. A CNAME is followed, within the answer or with a
// new query for its canonical name.
//
// The resolver has no clock: the caller watches onAnswer as a sign of life
// and calls retryNextServer() when the server in use stays silent. Both
// callbacks come from the event loop, never from inside a call on the
// resolver, so the caller may start the next lookup or destroy the
// resolver in them.

#include "dns/dnsquery.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

namespace varnholt {

struct MxTarget {
    QString host;
    int preference = 0;
    QStringList addresses; // dotted IPv4, in answer order
};

class MxResolver : public QObject
{
    Q_OBJECT
public:
    // At most this many exchangers are looked up, and this many addresses
    // kept for each.
    static constexpr int MaxExchangers = 10;
    static constexpr int MaxAddresses = 8;
    // CNAMEs followed with a new query before the lookup gives up.
    static constexpr int MaxCnameQueries = 4;

    explicit MxResolver(QObject *parent = nullptr);
    ~MxResolver() override;

    // DNS servers, each "host" or "host:port" (a dotted IPv4 address; port
    // 53 when none), tried in this order. An entry that is neither counts as
    // a server that never answers.
    void setServers(const QStringList &servers);
    [[nodiscard]] QStringList servers() const { return m_servers; }
    // The server the lookup under way asks, as given; empty when idle.
    [[nodiscard]] QString currentServer() const;

    // Starts finding `domain`'s exchangers with server 0; anything under way
    // is abandoned (its answers ignored). A domain outside ASCII is asked
    // for in its ACE form (RFC 5891).
    void resolve(const QString &domain);
    // The server in use stayed silent: the query under way goes again to
    // the next server (cyclically); false (and onResolved with
    // SilentServers) when every server had its try for this lookup. The
    // tries are counted per lookup, not per query, so a lookup waits for at
    // most one silence per server. False without an event when no lookup is
    // under way; true without a new query when the result is already on its
    // way.
    bool retryNextServer();
    // Abandons the lookup under way: no event comes for it.
    void cancel();
    // From resolve() until onResolved has been called, or cancel().
    [[nodiscard]] bool isBusy() const { return m_phase != Phase::Idle; }
    // How long, in seconds, the last lookup's result may be kept: the
    // smallest time to live of the records its answers carried. 0 when it
    // must not be kept: the domain's own address stands in for a missing
    // MX record, and how long that absence holds is not known here.
    [[nodiscard]] quint32 ttl() const { return m_ttl; }

    enum class Result { Found, NoMailServer, NullMx, NoSuchDomain, QueryFailed, SilentServers };

    // Once per resolve() (never after cancel() or destruction). Targets in
    // preference order (equal preferences in answer order), each with its
    // addresses; empty unless Found. `comment` is a clear text for the
    // recipient's row ("No mail server for example.org: the domain does not
    // exist", "... accepts no mail (null MX)", ...).
    std::function<void(MxResolver *, Result, const QList<MxTarget> &targets, const QString &comment)> onResolved;
    // Every answer that arrives (a sign of life for the caller's supervision).
    std::function<void(MxResolver *)> onAnswer;

private:
    enum class Phase {
        Idle,
        Mx,        // asking for the MX records of m_name
        Implicit,  // no MX: asking for the A records of m_name, the domain's own
        Exchanger, // asking for the A records of m_targets[m_next]
        Reporting, // the result is posted
    };

    bool send();
    bool sendTo(int server);
    void answered(TDnsQuery *query, quint16 error);
    void mxAnswered(const TDnsQuery &query);
    void addressesAnswered(const TDnsQuery &query);
    void nextExchanger();
    void finish(Result result, const QString &comment, const QList<MxTarget> &targets = {});
    void post(std::function<void()> call);
    [[nodiscard]] QString failureText(const TDnsQuery &query, quint16 error) const;

    QStringList m_servers;
    TDnsQuery m_query;
    Phase m_phase = Phase::Idle;
    quint64 m_generation = 0; // a posted call of an older lookup is dropped
    QString m_domain;         // as asked for, for the comments
    QString m_asciiDomain;    // the name asked for: ACE form, lower case
    QString m_name;           // the name the query under way asks for
    int m_server = 0;
    int m_attempts = 0;       // silences counted in this lookup
    QString m_sendError;      // why the last server could not be asked
    int m_cnameQueries = 0;
    QList<MxTarget> m_targets;
    int m_next = 0;           // the exchanger being looked up
    QString m_lookupFailure;  // why an exchanger's lookup failed (not just "no address")
    quint32 m_ttl = 0;        // the smallest TTL of the answers so far
};

} // namespace varnholt
