#include "testservers.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <unistd.h>

namespace varnholt::testing {

namespace {

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

} // namespace

bool serversRequired()
{
    return qEnvironmentVariable("CI") == QLatin1String("true");
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool waitForPort(quint16 port, int milliseconds, const QHostAddress &address)
{
    QDeadlineTimer deadline(milliseconds);
    while (!deadline.hasExpired()) {
        QTcpSocket socket;
        socket.connectToHost(address, port);
        if (socket.waitForConnected(200))
            return true;
        QThread::msleep(50);
    }
    return false;
}

QString findTool(const QString &name)
{
    return QStandardPaths::findExecutable(name, {"/usr/sbin", "/usr/bin", "/sbin"});
}

void openToAll(const QString &folder)
{
    QFile::setPermissions(folder, QFileDevice::Permissions(0x7777));
}

bool makeCertificate(const QString &certFile, const QString &keyFile)
{
    const QString openssl = findTool("openssl");
    if (openssl.isEmpty())
        return false;
    QProcess p;
    p.start(openssl, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", keyFile, "-out",
                      certFile, "-days", "2", "-subj", "/CN=localhost", "-addext",
                      "subjectAltName=DNS:localhost,IP:127.0.0.1"});
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

ServerProcess::~ServerProcess()
{
    stop();
}

bool ServerProcess::start(const QString &program, const QStringList &args, quint16 port)
{
    m_port = port;
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(program, args);
    if (!m_process.waitForStarted(5000)) {
        error = program + QStringLiteral(" did not start: ") + m_process.errorString();
        return false;
    }
    if (!waitForPort(port, 15000, QHostAddress(listenAddress()))) {
        error = program + QStringLiteral(" does not listen on port ") + QString::number(port);
        return false;
    }
    return true;
}

QString ServerProcess::listenAddress() const
{
    return m_listenAddress.isEmpty() ? QStringLiteral("127.0.0.1") : m_listenAddress;
}

quint16 ServerProcess::listenPort() const
{
    return m_listenPort ? m_listenPort : freePort();
}

void ServerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.closeWriteChannel();
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

bool SmtpSink::start(const QString &dumpFolder, const QStringList &options)
{
    const QString program = findTool("smtp-sink");
    if (program.isEmpty()) {
        missing = QStringLiteral("smtp-sink (package postfix) is not installed");
        return false;
    }
    QStringList args = options;
    if (!dumpFolder.isEmpty()) {
        QDir().mkpath(dumpFolder);
        openToAll(dumpFolder);
        args << "-d" << dumpFolder + "/%M.";
    }
    if (runningAsRoot())
        args << "-u" << "nobody"; // it refuses to keep root's privileges
    const quint16 port = listenPort();
    args << QStringLiteral("%1:%2").arg(listenAddress()).arg(port) << "100";
    return ServerProcess::start(program, args, port);
}

QList<QByteArray> SmtpSink::storedMessages(const QString &dumpFolder)
{
    QList<QByteArray> stored;
    const QDir dir(dumpFolder);
    for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
        QFile f(dir.filePath(name));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = f.readAll();
        // smtp-sink puts its trace lines on top, the last of them a
        // "Received:" header with continuation lines.
        const qsizetype received = text.indexOf("\nReceived: ");
        if (received < 0) {
            stored << text;
            continue;
        }
        qsizetype start = text.indexOf('\n', received + 1) + 1;
        while (start > 0 && start < text.size() && text.at(start) == '\t')
            start = text.indexOf('\n', start) + 1;
        stored << text.mid(start);
    }
    return stored;
}

QHash<QString, int> AiosmtpdServer::storedRecipients(const QString &outFolder)
{
    QHash<QString, int> seen;
    for (const QString &name : QDir(outFolder).entryList({QStringLiteral("*.env")}, QDir::Files)) {
        QFile env(QDir(outFolder).filePath(name));
        if (!env.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : env.readAll().split('\n')) {
            if (line.startsWith("to="))
                for (const QByteArray &to : line.mid(3).split(','))
                    ++seen[QString::fromUtf8(to)];
        }
    }
    return seen;
}

bool AiosmtpdServer::start(const QString &mode, const QString &outFolder, const QString &cert,
                           const QString &key, const QString &user, const QString &password,
                           const QStringList &excludeMechanisms, const QStringList &extraArgs)
{
    QProcess check;
    check.start("/usr/bin/python3", {"-c", "import aiosmtpd"});
    if (!check.waitForFinished(30000) || check.exitStatus() != QProcess::NormalExit || check.exitCode() != 0) {
        missing = QStringLiteral("python3-aiosmtpd is not installed");
        return false;
    }
    QDir().mkpath(outFolder);
    const quint16 port = listenPort();
    QStringList args{QStringLiteral(VARNHOLT_TESTSUPPORT_DIR "/smtpserver.py"), QString::number(port), mode,
                     outFolder, "--host", listenAddress()};
    if (!cert.isEmpty())
        args << "--cert" << cert << "--key" << key;
    if (!user.isEmpty())
        args << "--user" << user << "--password" << password;
    if (!excludeMechanisms.isEmpty())
        args << "--exclude" << excludeMechanisms;
    args << extraArgs;
    return ServerProcess::start("/usr/bin/python3", args, port);
}

bool FlakySmtp::start(const QString &logFile, int seed, const QStringList &options)
{
    const quint16 port = freePort();
    return ServerProcess::start("/usr/bin/python3",
                                QStringList{QStringLiteral(VARNHOLT_TESTSUPPORT_DIR "/flakysmtp.py"),
                                            QString::number(port), logFile, QString::number(seed)}
                                    + options,
                                port);
}

QList<QByteArray> FlakySmtp::accepted(const QString &logFile)
{
    QFile f(logFile);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines = f.readAll().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

bool DovecotPop3::start(const QString &folder, const QString &user, const QString &password)
{
    const QString dovecot = findTool("dovecot");
    if (dovecot.isEmpty()) {
        missing = QStringLiteral("dovecot (package dovecot-pop3d) is not installed");
        return false;
    }
    m_folder = folder;
    QDir().mkpath(folder);
    openToAll(folder);
    const quint16 port = freePort();
    const QString maildir = folder + "/maildir";
    QDir().mkpath(maildir + "/cur");
    openToAll(maildir);
    openToAll(maildir + "/cur");

    QFile users(folder + "/users");
    if (!users.open(QIODevice::WriteOnly))
        return false;
    users.write(QStringLiteral("%1:{PLAIN}%2:%3:%4::%5\n")
                    .arg(user, password)
                    .arg(runningAsRoot() ? 65534 : ::getuid()) // dovecot refuses UID 0
                    .arg(runningAsRoot() ? 65534 : ::getgid())
                    .arg(folder)
                    .toUtf8());
    users.close();

    QFile conf(folder + "/dovecot.conf");
    if (!conf.open(QIODevice::WriteOnly))
        return false;
    conf.write(QStringLiteral(
                   "protocols = pop3\nssl = no\ndisable_plaintext_auth = no\nauth_failure_delay = 0\n"
                   "base_dir = %1/run\nstate_dir = %1/state\nlog_path = %1/dovecot.log\n"
                   "mail_location = maildir:%2\n"
                   "default_internal_user = %3\ndefault_login_user = %3\n"
                   "passdb {\n  driver = passwd-file\n  args = %1/users\n}\n"
                   "userdb {\n  driver = passwd-file\n  args = %1/users\n}\n"
                   "service pop3-login {\n  inet_listener pop3 {\n    address = 127.0.0.1\n"
                   "    port = %4\n  }\n}\n"
                   "service anvil {\n  chroot =\n}\nservice pop3-login {\n  chroot =\n}\n")
                   .arg(folder, maildir, runningAsRoot() ? "nobody" : qEnvironmentVariable("USER"))
                   .arg(port)
                   .toUtf8());
    conf.close();
    return ServerProcess::start(dovecot, {"-F", "-c", conf.fileName()}, port);
}

bool DnsmasqServer::start(const QStringList &options)
{
    const QString dnsmasq = findTool("dnsmasq");
    if (dnsmasq.isEmpty()) {
        missing = QStringLiteral("dnsmasq (package dnsmasq-base) is not installed");
        return false;
    }
    const quint16 port = freePort();
    QStringList args{"--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
                     "--listen-address=127.0.0.1", "--bind-interfaces",
                     QStringLiteral("--port=%1").arg(port), "--pid-file="};
    if (runningAsRoot())
        args << "--user=nobody";
    return ServerProcess::start(dnsmasq, args + options, port);
}

bool UnboundServer::start(const QString &folder, const QString &serverClauses, const QString &otherSections)
{
    const QString unbound = findTool("unbound");
    if (unbound.isEmpty()) {
        missing = QStringLiteral("unbound (package unbound) is not installed");
        return false;
    }
    QDir().mkpath(folder);
    const quint16 port = freePort();
    QFile conf(folder + "/unbound.conf");
    if (!conf.open(QIODevice::WriteOnly))
        return false;
    conf.write(QStringLiteral("server:\n  interface: 127.0.0.1\n  port: %1\n  do-daemonize: no\n"
                              "  username: \"\"\n  chroot: \"\"\n  directory: \"%2\"\n  pidfile: \"\"\n"
                              "  use-syslog: no\n  logfile: \"\"\n  do-ip6: no\n"
                              "  access-control: 127.0.0.0/8 allow\n  module-config: \"iterator\"\n"
                              "%3\n%4\n")
                   .arg(port)
                   .arg(folder, serverClauses, otherSections)
                   .toUtf8());
    conf.close();
    return ServerProcess::start(unbound, {"-d", "-c", conf.fileName()}, port);
}

bool UnboundServer::start(const QString &folder, const Failing &zone)
{
    const QString &domain = zone.domain;
    return start(folder,
                 QStringLiteral("  local-zone: \"test.\" static\n  local-zone: \"%1.\" transparent\n").arg(domain),
                 QStringLiteral("stub-zone:\n  name: \"%1.\"\n  stub-addr: 127.0.0.1@9\n").arg(domain));
}

QByteArray DovecotPop3::log() const
{
    QFile f(m_folder + "/dovecot.log");
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace varnholt::testing
