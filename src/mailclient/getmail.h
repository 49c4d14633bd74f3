#pragma once

#include "mailclient/mailsession.h"
#include "mailclient/pop3dialogue.h"

#include <optional>

// `GetMail`: the POP3 log-in some providers want before they relay mail
// ("POP3 before SMTP"). The owner writes `Mail_Action` = `Get_Mail`, waits for
// `giAccessGranted` (or an error), then stops the session with `StopSession`.

namespace varnholt {

// The one outcome of a log-in (see MailResult); ok once access was granted.
struct Pop3Result : MailResult {
    // The server's reply that decided: the "+OK" to the password, or the
    // refusal behind the error.
    std::optional<Pop3Reply> reply;
};

class GetMail : public MailSession, private Pop3Dialogue::Events
{
    Q_OBJECT
public:
    enum TGetMailAction { None, Get_Mail, Cancel_GetMail };
    Q_ENUM(TGetMailAction)

    enum GetMailInfo {
        giConnected = 0,
        giDisconnected = 1,
        giSent = 6,
        giBusy = 9,
        giAccessGranted = 10,
        giUserAccepted = 11,
        giResolving = 12,
        giResolved = 13,
    };
    Q_ENUM(GetMailInfo)

    explicit GetMail(QObject *parent = nullptr);
    ~GetMail() override;

    [[nodiscard]] static QString Version() { return QStringLiteral("GetMail 1.3.13"); }

    [[nodiscard]] QString Mail_Server() const { return m_mailServer; }
    void setMail_Server(const QString &server) { m_mailServer = server; }
    [[nodiscard]] quint16 Mail_Port() const { return m_mailPort; }
    void setMail_Port(quint16 port) { m_mailPort = port; }
    [[nodiscard]] QString User_ID() const { return m_userId; }
    void setUser_ID(const QString &user) { m_userId = user; }
    [[nodiscard]] QString User_Password() const { return m_userPassword; }
    void setUser_Password(const QString &password) { m_userPassword = password; }
    // StartTls sends "STLS" (RFC 2595 4) after the greeting; Tls encrypts
    // from the start (port 995).
    [[nodiscard]] TransportSecurity Security() const { return m_security; }
    void setSecurity(TransportSecurity security) { m_security = security; }

    [[nodiscard]] TGetMailAction Mail_Action() const { return m_action; }
    void setMail_Action(TGetMailAction action);
    // Ends the session; during the log-in the same as a cancel.
    void StopSession();

    // How the session ended; final once OnDone comes.
    [[nodiscard]] Pop3Result result() const;

Q_SIGNALS:
    // OnMailError and OnDone come from MailSession.
    void OnMailInfo(varnholt::GetMail::GetMailInfo info, const QString &addinfo);

private:
    void start();

    // MailSession
    void reportInfo(Info info, const QString &text) override;
    [[nodiscard]] bool infoWanted() const override;
    [[nodiscard]] int socketErrorNumber(const SocketErrorEntry &entry) const override
    {
        return entry.getMailNumber;
    }
    void lineReceived(const QByteArray &line) override;
    void closedByPeer() override;
    void cleanUpForAbort() override { m_dialogue.stop(); }

    // Pop3Dialogue::Events
    void sendCommand(const QByteArray &line, const QByteArray &logForm, bool credentials) override;
    void userAccepted() override;
    void accessGranted(const Pop3Reply &reply) override;
    void accessDenied(const Pop3Reply &reply) override;
    void beginTls() override;
    void stlsRefused(const Pop3Reply &reply) override;
    void protocolError(const QString &text) override;

    QString m_mailServer;
    quint16 m_mailPort = 110;
    QString m_userId;
    QString m_userPassword;
    TransportSecurity m_security = TransportSecurity::None;
    TGetMailAction m_action = None;
    Pop3Dialogue m_dialogue;
    std::optional<Pop3Reply> m_reply;
};

} // namespace varnholt
