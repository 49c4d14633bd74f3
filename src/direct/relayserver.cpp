#include "direct/relayserver.h"

#include "dns/finddnsserver.h"

#include <algorithm>

namespace varnholt {

namespace {

const QString kBusy = QStringLiteral("Component is busy");

// The error of a connection that never got a greeting in time.
constexpr quint16 kConnectTimedOut = 10060;
// A session that ended before its request did (a greeting other than 220
// among them).
constexpr quint16 kSessionClosed = 10004;

// The reply code at the start of a reply line, 0 when there is none.
[[nodiscard]] int replyCode(const QString &line)
{
    bool ok = false;
    const int code = line.left(3).toInt(&ok);
    return ok && code >= 100 && code <= 599 ? code : 0;
}

} // namespace

// One worker: at most one recipient at a time. A fresh resolver (unless the
// domain's exchangers are kept from an earlier recipient) serves every
// recipient, and a fresh client every exchanger tried, unless an idle
// session goes to one of the recipient's exchangers. Each handler carries
// the worker's serial at the time it was attached: a late event of an
// object that was given up, or of a session while it waits, reaches nobody.
struct TSmtpRelayServer2::Worker {
    int index = -1; // the recipient on the way; -1 when idle
    QString address;
    MimeInputs message;
    MxResolver *resolver = nullptr;
    TSmtpCli *client = nullptr;
    quint64 serial = 0; // of the current resolver or client
    QList<MxTarget> targets;
    int target = 0;    // the exchanger tried next
    int addressNo = 0; // ... and its address
    bool opened = false; // the exchanger greeted and took HELO
    bool reusing = false; // on a kept session, MAIL FROM not yet taken
    QString host;         // the exchanger address the client talks to
    quint16 lastError = 0;
    QString lastResponse;
    QElapsedTimer lastLife;
    int sessionMessages = 0; // delivered on the client before this recipient
};

TSmtpRelayServer2::TSmtpRelayServer2(QObject *parent)
    : QObject(parent)
{
    connect(&m_supervision, &QTimer::timeout, this, &TSmtpRelayServer2::supervise);
}

TSmtpRelayServer2::~TSmtpRelayServer2()
{
    m_supervision.stop();
    // The clients and resolvers are children: they go now, before the
    // workers their handlers refer to.
    const QObjectList kids = children();
    for (QObject *kid : kids)
        delete kid;
}

void TSmtpRelayServer2::setConnections(int count)
{
    if (count != m_connections && isBusy())
        throw TSmtpRelayServerException(kBusy);
    m_connections = std::max(1, count);
}

void TSmtpRelayServer2::setTimeOut(int seconds)
{
    if (seconds != m_timeOut && isBusy())
        throw TSmtpRelayServerException(kBusy);
    m_timeOut = seconds < 1 ? 60 : seconds;
}

void TSmtpRelayServer2::setDns(const QString &servers)
{
    if (servers.trimmed() != m_dns && isBusy())
        throw TSmtpRelayServerException(kBusy);
    m_dns = servers.trimmed();
}

void TSmtpRelayServer2::setPort(const QString &port)
{
    if (port != m_port && isBusy())
        throw TSmtpRelayServerException(kBusy);
    m_port = port;
}

void TSmtpRelayServer2::start()
{
    if (isBusy())
        throw TSmtpRelayServerException(kBusy);
    if (m_from.trimmed().isEmpty())
        throw TSmtpRelayServerException(QStringLiteral("FROM property is empty"));
    QStringList servers = m_dns.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (servers.isEmpty()) {
        const QString found = FindDnsServer();
        if (!found.isEmpty())
            servers << found;
    }
    if (servers.isEmpty())
        throw TSmtpRelayServerException(QStringLiteral("No DNS SERVER Available"));
    m_dnsServers = servers;
    m_kept.clear();
    // The workers live as long as the coordinator: a client given up just
    // before may still have an event on its way that looks at its worker.
    while (int(m_workers.size()) < m_connections)
        m_workers.push_back(std::make_unique<Worker>());
    m_started = true;
    // Checked every second, so that a silent peer costs the time-out and
    // not up to twice that.
    m_supervision.start(1000);
}

bool TSmtpRelayServer2::isBusy() const
{
    return m_pendingReports > 0
           || std::any_of(m_workers.begin(), m_workers.end(), [](const auto &w) { return w->index >= 0; });
}

int TSmtpRelayServer2::idleWorkers() const
{
    if (!m_started)
        return 0;
    const auto end = m_workers.begin() + std::min<qsizetype>(m_connections, qsizetype(m_workers.size()));
    return int(std::count_if(m_workers.begin(), end, [](const auto &w) { return w->index < 0; }));
}

void TSmtpRelayServer2::deliver(int index, const QString &address, MimeInputs message)
{
    if (idleWorkers() == 0)
        throw TSmtpRelayServerException(kBusy);
    const QString trimmed = address.trimmed();
    const qsizetype at = trimmed.indexOf(QLatin1Char('@'));
    const QString domain = at < 0 ? trimmed : trimmed.mid(at + 1);
    const QString key = domain.toLower();
    auto known = m_kept.find(key);
    if (known != m_kept.end() && known->expires.hasExpired()) {
        m_kept.erase(known);
        known = m_kept.end();
    }
    // Of the first Connections workers: more may be left from a run with
    // more connections.
    const auto end = m_workers.begin() + std::min<qsizetype>(m_connections, qsizetype(m_workers.size()));
    Worker &w = **std::find_if(m_workers.begin(), end, [](const auto &worker) { return worker->index < 0; });
    w.index = index;
    w.address = trimmed;
    w.message = std::move(message);
    w.targets.clear();
    w.target = 0;
    w.addressNo = 0;
    w.opened = false;
    w.reusing = false;
    w.lastError = 0;
    w.lastResponse.clear();
    w.lastLife.start();

    if (domain.isEmpty()) {
        report(w, RelayError::TimedOut, QStringLiteral("The address has no domain"));
        return;
    }
    if (known != m_kept.end()) {
        w.targets = known->targets;
        if (!reuseSession(w))
            openNext(w);
        return;
    }
    auto *resolver = new MxResolver(this);
    w.resolver = resolver;
    const quint64 serial = ++w.serial;
    resolver->setServers(m_dnsServers);
    resolver->onAnswer = [this, &w, serial](MxResolver *) {
        if (w.serial == serial)
            lifeSign(w);
    };
    resolver->onResolved = [this, &w, serial, key](MxResolver *r, MxResolver::Result result,
                                                   const QList<MxTarget> &targets, const QString &comment) {
        if (result == MxResolver::Result::Found)
            keepTargets(key, targets, r->ttl());
        if (w.serial == serial)
            resolved(w, result, targets, comment);
    };
    resolver->resolve(domain);
}

void TSmtpRelayServer2::resolved(Worker &w, MxResolver::Result result, const QList<MxTarget> &targets,
                                 const QString &comment)
{
    dropResolver(w);
    switch (result) {
    case MxResolver::Result::Found:
        w.targets = targets;
        if (!reuseSession(w))
            openNext(w);
        return;
    case MxResolver::Result::SilentServers:
        report(w, RelayError::DnsSilent, comment);
        return;
    case MxResolver::Result::NoMailServer:
    case MxResolver::Result::NullMx:
    case MxResolver::Result::NoSuchDomain:
    case MxResolver::Result::QueryFailed:
        break;
    }
    report(w, RelayError::NoHost, comment);
}

// The next exchanger's next address, in preference order (RFC 5321 5.1).
void TSmtpRelayServer2::openNext(Worker &w)
{
    while (w.target < w.targets.size() && w.addressNo >= w.targets.at(w.target).addresses.size()) {
        ++w.target;
        w.addressNo = 0;
    }
    if (w.target >= w.targets.size()) {
        // Every exchanger was tried: the last one's failure stands.
        report(w, w.lastError ? w.lastError : RelayError::NoHost, w.lastResponse);
        return;
    }
    const QString host = w.targets.at(w.target).addresses.at(w.addressNo++);

    auto *client = new TSmtpCli(this);
    client->setHost(host);
    client->setPort(m_port);
    client->setSignOn(m_signon);
    client->setFromName(m_from);
    w.host = host;
    w.opened = false;
    w.reusing = false;
    w.sessionMessages = 0;
    attachClient(w, client);
    w.lastLife.start();
    try {
        client->open();
    } catch (const SmtpException &e) {
        report(w, RelayError::OpenFailed, e.message());
    }
}

// The client serves the worker's recipient: its envelope and message, and
// handlers bound to a new serial.
void TSmtpRelayServer2::attachClient(Worker &w, TSmtpCli *client)
{
    w.client = client;
    const quint64 serial = ++w.serial;
    client->setRcptName({w.address});
    client->setHdrTo(w.address);
    client->setMessage(w.message);
    client->onResponse = [this, &w, serial](TSmtpCli *, const QString &line) {
        if (w.serial != serial)
            return;
        lifeSign(w);
        if (onDisplay)
            onDisplay(this, w.index, line);
    };
    client->onRequestDone = [this, &w, serial](TSmtpCli *, TSmtpRequest request, quint16 error) {
        if (w.serial == serial)
            requestDone(w, request, error);
    };
    client->onBeforeFinalDot = [this, &w, serial](TSmtpCli *) {
        return w.serial != serial || !onBeforeFinalDot || onBeforeFinalDot(this, w.index);
    };
}

// The recipient's transaction on an idle session to one of its most
// preferred exchangers; false when none waits. A session to a less
// preferred one (a backup that took another domain's mail) is not used:
// the recipient's best exchanger gets the first try.
bool TSmtpRelayServer2::reuseSession(Worker &w)
{
    closeIdleSessions(false); // the ones the exchanger has closed meanwhile
    for (const MxTarget &target : std::as_const(w.targets)) {
        if (target.preference != w.targets.first().preference)
            break;
        for (const QString &address : target.addresses) {
            const auto it = std::find_if(m_idle.begin(), m_idle.end(),
                                         [&address](const IdleSession &s) { return s.host == address; });
            if (it == m_idle.end())
                continue;
            const IdleSession session = *it;
            m_idle.erase(it);
            w.host = session.host;
            w.sessionMessages = session.messages;
            w.opened = true;
            w.reusing = true;
            attachClient(w, session.client);
            try {
                session.client->mailFrom();
            } catch (const SmtpException &) {
                // Not ready after all: a fresh connection.
                dropClient(w);
                w.reusing = false;
                return false;
            }
            return true;
        }
    }
    return false;
}

// After a delivered message: the session waits for the next recipient of
// the same exchanger, unless it has served its share.
void TSmtpRelayServer2::keepSession(Worker &w, TSmtpCli *client)
{
    if (w.sessionMessages + 1 >= MaxMessagesPerSession || !client->connected() || !m_started) {
        closeQuietly(client);
        return;
    }
    IdleSession session{client, w.host, w.sessionMessages + 1, {}};
    session.idle.start();
    m_idle.push_back(std::move(session));
    while (qsizetype(m_idle.size()) > m_connections) {
        closeQuietly(m_idle.front().client);
        m_idle.erase(m_idle.begin());
    }
}

// Says goodbye on the idle sessions that waited too long or that the
// exchanger closed; with `all`, on every one.
void TSmtpRelayServer2::closeIdleSessions(bool all)
{
    std::erase_if(m_idle, [this, all](const IdleSession &s) {
        if (!all && s.client->connected() && s.idle.elapsed() <= MaxIdleSeconds * 1000)
            return false;
        closeQuietly(s.client);
        return true;
    });
}

void TSmtpRelayServer2::requestDone(Worker &w, TSmtpRequest request, quint16 error)
{
    lifeSign(w);
    TSmtpCli *client = w.client;
    if (w.reusing && request == TSmtpRequest::smtpMailFrom) {
        w.reusing = false;
        if (error > 999 || error / 100 == 4) {
            // The kept session ended meanwhile, or the exchanger takes no
            // more on it (421 closing, 451 or 452 for this connection):
            // nothing of this message went out, so it goes on a fresh
            // connection, to the exchangers in order.
            dropClient(w);
            w.target = 0;
            w.addressNo = 0;
            openNext(w);
            return;
        }
    }
    if (error != 0) {
        w.lastError = error;
        w.lastResponse = client->lastResponse();
        if (!w.opened && (request == TSmtpRequest::smtpConnect || request == TSmtpRequest::smtpOpen)) {
            // No connection, no greeting or a greeting that is not 220:
            // the next exchanger may take the message, unless this one
            // refused it for good with a 5xx greeting. (A failed connection
            // reports its socket error with a made-up "500" reply.)
            const bool refusedForGood = error == kSessionClosed && replyCode(w.lastResponse) / 100 == 5;
            if (!refusedForGood) {
                dropClient(w);
                openNext(w);
                return;
            }
        }
        const bool afterDot = request == TSmtpRequest::smtpData && client->finalDotSent();
        // A reply refused the message; without one after its final "."
        // the exchanger may have it.
        const bool maybeDelivered = afterDot && replyCode(w.lastResponse) == 0;
        report(w, error, w.lastResponse, maybeDelivered);
        return;
    }
    try {
        switch (request) {
        case TSmtpRequest::smtpConnect:
        case TSmtpRequest::smtpOpen:
            w.opened = true;
            try {
                client->mailFrom();
            } catch (const SmtpException &e) {
                report(w, RelayError::MailFromFailed, e.message());
            }
            break;
        case TSmtpRequest::smtpMailFrom:
            try {
                client->rcptTo();
            } catch (const SmtpException &e) {
                report(w, RelayError::RcptFailed, e.message());
            }
            break;
        case TSmtpRequest::smtpRcptTo:
            try {
                client->data();
            } catch (const SmtpException &e) {
                report(w, RelayError::DataFailed, e.message());
            }
            break;
        case TSmtpRequest::smtpData: {
            // The exchanger answered the final "." with 250: delivered.
            // The session stays for the next recipient, or says goodbye
            // on its own and goes when the exchanger closes or the time
            // is up.
            const QString words = client->lastResponse();
            w.client = nullptr;
            ++w.serial; // its handlers reach nobody until it serves again
            keepSession(w, client);
            report(w, 0, words);
            break;
        }
        default:
            break;
        }
    } catch (const std::exception &) {
        report(w, RelayError::TimedOut, w.lastResponse);
    }
}

void TSmtpRelayServer2::closeQuietly(TSmtpCli *client)
{
    client->onResponse = nullptr;
    client->onBeforeFinalDot = nullptr;
    QTimer::singleShot(m_timeOut * 1000, client, [client] {
        client->abort();
        client->deleteLater();
    });
    // onRequestDone is running now: it is replaced after it returns.
    QMetaObject::invokeMethod(
        client,
        [client] {
            client->onRequestDone = [](TSmtpCli *c, TSmtpRequest, quint16) { c->deleteLater(); };
            try {
                client->quit();
            } catch (const SmtpException &) {
                client->abort();
                client->deleteLater();
            }
        },
        Qt::QueuedConnection);
}

void TSmtpRelayServer2::supervise()
{
    closeIdleSessions(false);
    for (const auto &worker : m_workers) {
        Worker &w = *worker;
        if (w.index < 0 || double(w.lastLife.elapsed()) / 1000.0 <= double(m_timeOut))
            continue;
        w.lastLife.start();
        if (w.reusing) {
            // A kept session that does not answer MAIL FROM: a fresh one.
            w.reusing = false;
            dropClient(w);
            w.target = 0;
            w.addressNo = 0;
            openNext(w);
        } else if (w.resolver) {
            // The DNS server in use stays silent: the next one gets the
            // query; after the last one the resolver gives up.
            w.resolver->retryNextServer();
        } else if (w.client && !w.opened) {
            // An exchanger that never greets counts as unreachable.
            w.lastError = kConnectTimedOut;
            w.lastResponse = QStringLiteral("500 ") + ErrorText(kConnectTimedOut)
                             + QStringLiteral(" (Winsock error #%1)").arg(kConnectTimedOut);
            dropClient(w);
            openNext(w);
        } else if (w.client) {
            const bool afterDot = w.client->finalDotSent();
            report(w, RelayError::TimedOut, w.client->lastResponse(), afterDot);
        }
    }
}

void TSmtpRelayServer2::abort()
{
    for (const auto &worker : m_workers) {
        Worker &w = *worker;
        if (w.index < 0)
            continue;
        const bool afterDot = w.client && w.client->finalDotSent();
        // A kept session's last reply before MAIL FROM is the previous
        // message's.
        const QString words = w.client && !w.reusing ? w.client->lastResponse() : QString();
        report(w, RelayError::Aborted, words, afterDot);
    }
}

void TSmtpRelayServer2::stop()
{
    abort();
    closeIdleSessions(true);
    m_supervision.stop();
    m_started = false;
    m_kept.clear();
}

void TSmtpRelayServer2::lifeSign(Worker &w)
{
    w.lastLife.start();
}

void TSmtpRelayServer2::keepTargets(const QString &domain, const QList<MxTarget> &targets, quint32 ttl)
{
    if (ttl == 0 || !m_started)
        return;
    if (m_kept.size() >= MaxKeptDomains) {
        m_kept.removeIf([](const auto &entry) { return entry.value().expires.hasExpired(); });
        if (m_kept.size() >= MaxKeptDomains)
            m_kept.clear();
    }
    m_kept.insert(domain, KeptTargets{targets, QDeadlineTimer(qint64(std::min(ttl, MaxKeptSeconds)) * 1000)});
}

void TSmtpRelayServer2::dropClient(Worker &w)
{
    if (TSmtpCli *client = w.client) {
        w.client = nullptr;
        ++w.serial;
        client->abort();
        client->deleteLater();
    }
}

void TSmtpRelayServer2::dropResolver(Worker &w)
{
    if (MxResolver *resolver = w.resolver) {
        w.resolver = nullptr;
        ++w.serial;
        resolver->cancel();
        resolver->deleteLater();
    }
}

// The recipient's one report; the worker is idle from now on. The report
// reaches the owner from the event loop, never inside the call that led
// to it (deliver() or abort() among them).
void TSmtpRelayServer2::report(Worker &w, int err, const QString &comment, bool maybeDelivered)
{
    if (w.index < 0)
        return;
    const Result result{w.index, err, comment, maybeDelivered};
    w.index = -1;
    w.message = {};
    dropClient(w);
    dropResolver(w);
    ++m_pendingReports;
    QMetaObject::invokeMethod(
        this,
        [this, result] {
            --m_pendingReports;
            if (onEMailProcessed)
                onEMailProcessed(this, result);
        },
        Qt::QueuedConnection);
}

} // namespace varnholt
