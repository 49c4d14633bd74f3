#pragma once

#include "direct/relayserver.h"
#include "sending/messagetransport.h"

#include <QSet>

// The second way messages leave: straight to each recipient's own mail
// exchanger, several at once, without the account's SMTP server.
namespace varnholt {

// What direct delivery needs besides the account.
struct DirectSettings {
    QString dns;          // DNS servers separated by blanks; empty: the system's
    int connections = 5;  // messages on the way at once
    int timeoutSeconds = 10; // silence after which a step is given up
    QString port = QStringLiteral("25"); // the exchangers' port
    QString signOn;       // the HELO name; empty: the local host name
    // The project's "DnsIP", "NumberConnect" and "TimeOut", and its HELO
    // text when "Default Helo" is off.
    [[nodiscard]] static DirectSettings fromProject(const TIniInfo &project);
};

class DirectTransport : public MessageTransport
{
    Q_OBJECT
public:
    explicit DirectTransport(QObject *parent = nullptr);
    ~DirectTransport() override;

    // The envelope sender is the account's sender address.
    void configure(const tAccountObj &account, const DirectSettings &settings);
    // Why the transport cannot start (no sender address, no DNS server),
    // empty when it can.
    [[nodiscard]] QString problem() const;

    [[nodiscard]] int capacity() const override { return m_relay.connections(); }
    [[nodiscard]] bool loginDue() const override { return false; }
    void login() override;
    void send(PreparedMessage message) override;
    void cancel() override;
    void close() override;
    [[nodiscard]] bool isBusy() const override { return m_relay.isBusy() || !m_failed.isEmpty(); }

    [[nodiscard]] TSmtpRelayServer2 &relay() { return m_relay; }

private:
    void processed(const TSmtpRelayServer2::Result &result);

    TSmtpRelayServer2 m_relay;
    QSet<int> m_failed; // rows refused before they reached a worker, reported from the event loop
};

// The outcome of a direct delivery result.
[[nodiscard]] MessageOutcome DirectOutcome(const TSmtpRelayServer2::Result &result);

} // namespace varnholt
