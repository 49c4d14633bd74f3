// Finding the computer's DNS server: resolv.conf as the C library reads
// it, and the fallback to the computer's own address.
#include "dns/finddnsserver.h"
#include "testfiles.h"

#include <QFile>
#include <QHostInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace varnholt;

class TestFindDnsServer : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    QString resolvConf(const QByteArray &text)
    {
        const QString path = m_dir.filePath(QStringLiteral("resolv.conf"));
        return varnholt::testing::writeFile(path, text) ? path : QString();
    }

private slots:
    void nameServerOfFile_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("server"); // empty: the fallback answers

        QTest::newRow("one server") << QByteArray("nameserver 192.0.2.1\n") << "192.0.2.1";
        QTest::newRow("several servers, the first counts")
            << QByteArray("nameserver 192.0.2.1\nnameserver 192.0.2.2\nnameserver 192.0.2.3\n") << "192.0.2.1";
        QTest::newRow("comments, blank lines and other keywords first")
            << QByteArray("# nameserver 10.0.0.1\n; nameserver 10.0.0.2\n\nsearch example.org\n"
                          "options ndots:2\nnameserver 192.0.2.7\n")
            << "192.0.2.7";
        QTest::newRow("tab, trailing words, CR LF, no final line end")
            << QByteArray("domain example.org\r\nnameserver\t 192.0.2.3 # office\r\nnameserver 192.0.2.9") << "192.0.2.3";
        QTest::newRow("IPv6 before IPv4: the IPv4 server")
            << QByteArray("nameserver 2001:db8::1\nnameserver 192.0.2.4\n") << "192.0.2.4";
        QTest::newRow("IPv6 only: the first, with its interface")
            << QByteArray("nameserver fe80::1%eth0\nnameserver 2001:db8::53\n") << "fe80::1%eth0";
        QTest::newRow("keyword indented, glued or longer is no server")
            << QByteArray("  nameserver 192.0.2.5\nnameserver192.0.2.6\nnameservers 192.0.2.8\n") << "";
        QTest::newRow("names and bad addresses are no server")
            << QByteArray("nameserver dns.example.org\nnameserver 999.1.1.1\nnameserver\nnameserver \n") << "";
        QTest::newRow("no nameserver line") << QByteArray("search example.org\noptions ndots:2\n") << "";
        QTest::newRow("empty file") << QByteArray() << "";
    }

    void nameServerOfFile()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, server);
        QCOMPARE(FirstNameServer(text), server);
        // Without a server in the file, the computer's own address stands in.
        QCOMPARE(FindDnsServer(resolvConf(text), m_dir.filePath(QStringLiteral("no-upstream"))),
                 server.isEmpty() ? LocalHostAddress() : server);
    }

    // systemd-resolved's stub alone in resolv.conf: the upstream list it
    // keeps names the real server.
    void resolvedStub_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("upstream"); // "-": no such file
        QTest::addColumn<QString>("server");

        const QByteArray stub("# This is /run/systemd/resolve/stub-resolv.conf\nnameserver 127.0.0.53\n"
                              "options edns0 trust-ad\nsearch .\n");
        QTest::newRow("stub: the upstream's first IPv4 server")
            << stub << QByteArray("nameserver 2001:db8::1\nnameserver 192.0.2.10\nnameserver 192.0.2.11\n")
            << "192.0.2.10";
        QTest::newRow("stub named twice") << QByteArray("nameserver 127.0.0.53\nnameserver 127.0.0.53\n")
                                          << QByteArray("nameserver 192.0.2.12\n") << "192.0.2.12";
        QTest::newRow("stub, upstream list missing") << stub << QByteArray("-") << "127.0.0.53";
        QTest::newRow("stub, upstream list without servers") << stub << QByteArray("search .\n") << "127.0.0.53";
        QTest::newRow("stub and another server: the file as it is")
            << QByteArray("nameserver 127.0.0.53\nnameserver 192.0.2.20\n") << QByteArray("nameserver 192.0.2.10\n")
            << "127.0.0.53";
        QTest::newRow("other loopback server is no stub")
            << QByteArray("nameserver 127.0.0.1\n") << QByteArray("nameserver 192.0.2.10\n") << "127.0.0.1";
    }

    void resolvedStub()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, upstream);
        QFETCH(QString, server);
        const QString conf = resolvConf(text);
        const QString upstreamPath = m_dir.filePath(QStringLiteral("upstream.conf"));
        QFile::remove(upstreamPath);
        if (upstream != "-")
            QVERIFY(varnholt::testing::writeFile(upstreamPath, upstream));
        QCOMPARE(FindDnsServer(conf, upstreamPath), server);
    }

    void missingFileFallsBack()
    {
        QCOMPARE(FindDnsServer(m_dir.filePath(QStringLiteral("no-such-file")), m_dir.filePath(QStringLiteral("no-upstream"))),
                 LocalHostAddress());
    }

    void localHostAddressIsTheHostsFirstIPv4()
    {
        const QString address = LocalHostAddress();
        QVERIFY(address.isEmpty() || QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+\\.\\d+$")).match(address).hasMatch());
        // Judged by the C library's own tool where it is installed, else by
        // Qt's lookup of the host name.
        QProcess getent;
        getent.start(QStringLiteral("getent"), {QStringLiteral("ahostsv4"), QHostInfo::localHostName()});
        if (getent.waitForStarted(5000) && getent.waitForFinished(30000) && getent.exitCode() == 0) {
            const QString first = QString::fromLatin1(getent.readAllStandardOutput()).section(u' ', 0, 0);
            QCOMPARE(address, first);
            return;
        }
        const QHostInfo info = QHostInfo::fromName(QHostInfo::localHostName());
        QString expected;
        for (const QHostAddress &a : info.addresses())
            if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                expected = a.toString();
                break;
            }
        QCOMPARE(address, expected);
    }
};

QTEST_GUILESS_MAIN(TestFindDnsServer)
#include "tst_finddnsserver.moc"
