#pragma once

// The DNS the verification tests ask, all on 127.0.0.1: dnsmasq with a zone
// of test domains, unbound behind it for a server failure, and a UDP socket
// that reads queries and never answers.
//
//   mx.test       two MX records (dnsmasq answers mx2 first, then mx1)
//   alias.test    a CNAME to mx.test, then mx.test's MX records
//   aonly.test    an A record and no MX (an empty answer)
//   nullmx.test   a null MX (RFC 7505: "0 .")
//   big.test      forty long exchanges: over 512 bytes, truncated over UDP
//   broken.test   forwarded to unbound, which answers SERVFAIL
//   silent.test   forwarded to the silent socket: no answer
//   anything else under .test: NXDOMAIN

#include "testservers.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QUdpSocket>

class VerifyDns
{
public:
    VerifyDns()
    {
        m_silent.bind(QHostAddress::LocalHost, 0);
        QObject::connect(&m_silent, &QUdpSocket::readyRead, &m_silent, [this] {
            while (m_silent.hasPendingDatagrams()) {
                m_silent.receiveDatagram();
                ++silentReceived;
            }
        });
    }

    // "127.0.0.1:PORT" of dnsmasq, and of the socket that never answers.
    [[nodiscard]] QString server() const { return QStringLiteral("127.0.0.1:%1").arg(dnsmasq.port()); }
    [[nodiscard]] QString silentServer() const { return QStringLiteral("127.0.0.1:%1").arg(m_silent.localPort()); }

    [[nodiscard]] QString unboundFolder() const { return m_dir.path(); }

    [[nodiscard]] QStringList dnsmasqOptions() const
    {
        QStringList options{"--local=/test/",
                            "--mx-host=mx.test,mx1.mx.test,10",
                            "--mx-host=mx.test,mx2.mx.test,20",
                            "--host-record=mx1.mx.test,127.0.0.1",
                            "--cname=alias.test,mx.test",
                            "--host-record=aonly.test,127.0.0.1",
                            "--mx-host=nullmx.test,.,0",
                            QStringLiteral("--server=/broken.test/127.0.0.1#%1").arg(unbound.port()),
                            QStringLiteral("--server=/silent.test/127.0.0.1#%1").arg(m_silent.localPort())};
        for (int i = 1; i <= 40; ++i)
            options << QStringLiteral("--mx-host=big.test,%1,%2").arg(bigExchange(i)).arg(i);
        return options;
    }
    [[nodiscard]] static QString bigExchange(int i)
    {
        return QStringLiteral("exchange-number-%1-with-a-long-name.big.test").arg(i);
    }

    varnholt::testing::UnboundServer unbound;
    varnholt::testing::DnsmasqServer dnsmasq;
    int silentReceived = 0; // queries the silent socket has read

private:
    QTemporaryDir m_dir;
    QUdpSocket m_silent;
};

// Starts unbound, then dnsmasq in front of it, inside a test function:
// skips when one of them is not installed (fails under CI=true).
#define VARNHOLT_START_VERIFY_DNS(dns)                                                              \
    do {                                                                                           \
        VARNHOLT_START_SERVER((dns).unbound, (dns).unboundFolder(),                                \
                              varnholt::testing::UnboundServer::Failing{QStringLiteral("broken.test")}); \
        VARNHOLT_START_SERVER((dns).dnsmasq, (dns).dnsmasqOptions());                              \
    } while (false)
