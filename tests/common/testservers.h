#pragma once

// Real mail servers started on 127.0.0.1 by the tests themselves: Postfix's
// smtp-sink (with a dump folder and its failure options), aiosmtpd
// (STARTTLS, TLS, AUTH; tests/common/smtpserver.py), Dovecot (POP3 with
// one user) and the DNS servers dnsmasq and unbound. Each server is stopped
// and waited for when its object goes.
// A start that cannot happen because the program is missing says so in
// `missing`, so that the test can skip.

#include <QHostAddress>
#include <QProcess>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QTest>

namespace varnholt::testing {

// A port on 127.0.0.1 that was free a moment ago.
[[nodiscard]] quint16 freePort();
// Whether something accepts connections on address:port within the time.
[[nodiscard]] bool waitForPort(quint16 port, int milliseconds,
                               const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
// The program in the usual system folders; empty when it is not there.
[[nodiscard]] QString findTool(const QString &name);
// Makes a folder writable by everyone: servers that drop root's privileges
// write into it as "nobody".
void openToAll(const QString &folder);

// A self-signed certificate for "localhost" and 127.0.0.1; false when
// openssl is missing or failed.
bool makeCertificate(const QString &certFile, const QString &keyFile);

class ServerProcess
{
public:
    ServerProcess() = default;
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;
    ~ServerProcess();

    // Starts the program and waits until it listens on `port`.
    bool start(const QString &program, const QStringList &args, quint16 port);
    void stop();
    [[nodiscard]] quint16 port() const { return m_port; }
    // Before start(): listen on `address` (another loopback address, such
    // as 127.0.0.2) and `port` instead of 127.0.0.1 and a free port. The
    // mail servers take it; several of them can so share one port.
    void listenOn(const QString &address, quint16 port)
    {
        m_listenAddress = address;
        m_listenPort = port;
    }

    QString missing; // set when the program is not installed
    QString error;   // set when it would not start

protected:
    [[nodiscard]] QString listenAddress() const;
    [[nodiscard]] quint16 listenPort() const;

    QProcess m_process;
    quint16 m_port = 0;
    QString m_listenAddress;
    quint16 m_listenPort = 0;
};

class SmtpSink : public ServerProcess
{
public:
    // `dumpFolder` non-empty: every message is kept there, one file each
    // ("-d folder/%M."). `options`: smtp-sink's own, for example
    // {"-f", "RCPT"} to refuse every recipient with 5xx, {"-q", "DATA"} to
    // hang up after DATA; see smtp-sink(1).
    bool start(const QString &dumpFolder = {}, const QStringList &options = {});

    // The stored messages in `dumpFolder` without smtp-sink's own trace
    // lines at the top ("X-Client-Addr", "Received"...), LF line ends.
    [[nodiscard]] static QList<QByteArray> storedMessages(const QString &dumpFolder);
};

class AiosmtpdServer : public ServerProcess
{
public:
    // mode: "plain", "starttls" or "tls". Each message is stored in
    // `outFolder` as N.eml (and its envelope as N.env). `extraArgs`: the
    // script's own options, such as "--smtputf8" or "--greylist" (every
    // recipient is refused with 451 once, then taken).
    bool start(const QString &mode, const QString &outFolder, const QString &cert, const QString &key,
               const QString &user = {}, const QString &password = {},
               const QStringList &excludeMechanisms = {}, const QStringList &extraArgs = {});
    // The recipients of the messages stored in `outFolder` (from the N.env
    // files), with how often each came.
    [[nodiscard]] static QHash<QString, int> storedRecipients(const QString &outFolder);
};

// tests/common/flakysmtp.py: a server that drops, refuses and defers at
// random with a fixed seed, or holds a message's answer for ever. Every
// accepted recipient is appended to `logFile` before the server says so.
class FlakySmtp : public ServerProcess
{
public:
    // `options`: the script's own ("--drop", "0.02", "--hold-after", "3", ...).
    bool start(const QString &logFile, int seed, const QStringList &options = {});
    // The accepted recipients, in order, with repeats.
    [[nodiscard]] static QList<QByteArray> accepted(const QString &logFile);
};

class DovecotPop3 : public ServerProcess
{
public:
    // A POP3 server with one user and an empty mailbox under `folder`.
    bool start(const QString &folder, const QString &user, const QString &password);
    // The server's log, to show when a test fails.
    [[nodiscard]] QByteArray log() const;

private:
    QString m_folder;
};

// dnsmasq as a DNS server for test domains on 127.0.0.1 (UDP and TCP on
// the same port). `options` are dnsmasq's own records and rules, such as
// "--mx-host=example.test,mx1.example.test,10", "--local=/test/" (unknown
// names under .test are NXDOMAIN), "--cname=alias.test,example.test",
// "--host-record=aonly.test,127.0.0.1" (an A record, no MX).
class DnsmasqServer : public ServerProcess
{
public:
    bool start(const QStringList &options);
};

// unbound as a DNS server on 127.0.0.1: `serverClauses` are lines of its
// "server:" section (local-zone, local-data...), `otherSections` follows it
// (a stub-zone towards 127.0.0.1, which unbound refuses to ask by default,
// gives SERVFAIL at once). It never recurses beyond what the configuration
// names.
class UnboundServer : public ServerProcess
{
public:
    bool start(const QString &folder, const QString &serverClauses, const QString &otherSections = {});
    // A server that answers every question about the domain (a name under
    // "test.") with SERVFAIL at once: the zone's only server is one unbound
    // may not ask (127.0.0.1 unless told to). Other ".test" names do not
    // exist.
    struct Failing {
        QString domain;
    };
    bool start(const QString &folder, const Failing &zone);
};

} // namespace varnholt::testing

namespace varnholt::testing {
// With the environment variable CI set to "true" a missing server program
// fails the test: a build machine must not pass by skipping.
[[nodiscard]] bool serversRequired();
} // namespace varnholt::testing

// Starts a server inside a test function: skips the test when the program
// is not installed (fails it under CI=true), fails it when the server would
// not start.
#define VARNHOLT_START_SERVER(server, ...)                                                         \
    do {                                                                                           \
        if (!(server).start(__VA_ARGS__)) {                                                        \
            if (!(server).missing.isEmpty() && !varnholt::testing::serversRequired())              \
                QSKIP(qPrintable((server).missing));                                               \
            QFAIL(qPrintable((server).missing.isEmpty() ? (server).error : (server).missing));     \
        }                                                                                          \
    } while (false)
