#pragma once

#include "mailclient/mailsession.h"
#include "mailclient/smtpdialogue.h"
#include "mime/mimeassembler.h"

#include <QPointer>
#include <QStringList>

#include <functional>
#include <optional>

// `SendMail`: delivers one message to an SMTP server. The owner fills the
// properties and the message inputs, writes `Action` = `Send_Mail`, and waits
// for `OnDone`; `Delivered` then says whether the server accepted the message,
// and `result()` how the session ended. With `KeepConnectionOpen` the next
// message goes over the same connection. With `LoginOnly` the session tests
// the account instead: it connects, greets, starts TLS and logs in as for a
// message, then says "QUIT"; no message or recipient is needed.

namespace varnholt {

// The one outcome of a session (see MailResult).
struct SmtpResult : MailResult {
    // The server's reply that decided: its acceptance of the message, or
    // the refusal behind the error. Every line of it.
    std::optional<SmtpReply> reply;
    // The "." that ends the message was written. With no reply to it
    // (connection lost, time-out, cancel) the outcome is unknown: the server
    // may have taken the message.
    bool finalDotSent = false;
};

class SendMail : public MailSession, private SmtpDialogue::Events
{
    Q_OBJECT
public:
    enum TMailAction { None, Send_Mail, Cancel_SendMail };
    Q_ENUM(TMailAction)

    enum SendMailInfo {
        miConnected = 0,
        miReceived = 1,
        miSent = 2,
        miDisconnected = 3,
        miAccepted = 4,
        miFile = 5,
        miRecipient = 9,
        miPartSize = 10,
        miPartProgress = 11,
        miFileError = 12,
        miBusy = 13,
        miResolved = 14,
        miResolving = 15,
    };
    Q_ENUM(SendMailInfo)

    explicit SendMail(QObject *parent = nullptr);
    ~SendMail() override;

    [[nodiscard]] static QString Version() { return QStringLiteral("SendMail 1.3.9"); }

    // The message inputs: FROM_Name, FROM_Address, ListTo, Listcc, Subject,
    // Headers, Charset, MimeChar, HdrCoding, Content_Type, TypeContent,
    // MailText, HtmlText, HtmlFiles, HtmlCids, Attachments.
    [[nodiscard]] MimeInputs &message() { return m_message; }
    [[nodiscard]] const MimeInputs &message() const { return m_message; }

    [[nodiscard]] QString SMTP_Server() const { return m_smtpServer; }
    void setSMTP_Server(const QString &server) { m_smtpServer = server; }
    [[nodiscard]] quint16 SMTP_Port() const { return m_smtpPort; }
    void setSMTP_Port(quint16 port) { m_smtpPort = port; }
    [[nodiscard]] QString TO_Address() const { return m_toAddress; }
    void setTO_Address(const QString &address) { m_toAddress = address; }
    [[nodiscard]] QString TO_Name() const { return m_toName; }
    void setTO_Name(const QString &name) { m_toName = name; }
    [[nodiscard]] QStringList ListBcc() const { return m_listBcc; }
    void setListBcc(const QStringList &list) { m_listBcc = list; }
    [[nodiscard]] bool SmtpAuth() const { return m_smtpAuth; }
    void setSmtpAuth(bool on) { m_smtpAuth = on; }
    [[nodiscard]] QString SmtpUser() const { return m_smtpUser; }
    void setSmtpUser(const QString &user) { m_smtpUser = user; }
    [[nodiscard]] QString SmtpPsw() const { return m_smtpPsw; }
    void setSmtpPsw(const QString &password) { m_smtpPsw = password; }
    [[nodiscard]] bool HeloDef() const { return m_heloDef; }
    void setHeloDef(bool on) { m_heloDef = on; }
    [[nodiscard]] QString HeloTxt() const { return m_heloTxt; }
    void setHeloTxt(const QString &text) { m_heloTxt = text; }
    [[nodiscard]] bool KeepConnectionOpen() const { return m_keepConnectionOpen; }
    void setKeepConnectionOpen(bool on) { m_keepConnectionOpen = on; }
    [[nodiscard]] TransportSecurity Security() const { return m_security; }
    void setSecurity(TransportSecurity security) { m_security = security; }
    // A connection test: result().ok when the server accepted the log-in
    // (without SmtpAuth, the greeting); result().reply is its last reply.
    // Always a fresh connection, closed at the end.
    [[nodiscard]] bool LoginOnly() const { return m_loginOnly; }
    void setLoginOnly(bool on) { m_loginOnly = on; }

    [[nodiscard]] TMailAction Action() const { return m_action; }
    void setAction(TMailAction action);

    [[nodiscard]] bool Delivered() const { return m_delivered; }

    // How the session ended; final once OnDone comes (while the session
    // runs, what is known so far).
    [[nodiscard]] SmtpResult result() const;

    // Called once per message, after the whole body has been handed to the
    // socket and right before the "." that ends it (RFC 5321 4.1.1.4). When
    // it returns false the "." is not sent: the connection is dropped, so
    // that the server discards the transaction, and the session fails with
    // MailError::MessageWithdrawn.
    void setBeforeFinalDot(std::function<bool()> hook) { m_beforeFinalDot = std::move(hook); }
    // The "." of the current message was written; false again when the
    // next message starts.
    [[nodiscard]] bool finalDotSent() const { return m_finalDotSent; }

Q_SIGNALS:
    // OnMailError and OnDone come from MailSession.
    void OnMailInfo(varnholt::SendMail::SendMailInfo info, const QString &addinfo);

private:
    void start();
    void cancel();
    void openFresh(const SmtpDialogue::Envelope &env);
    [[nodiscard]] bool setUpRecipients();
    [[nodiscard]] std::optional<QString> unsafeInput(const SmtpDialogue::Envelope &env) const;
    [[nodiscard]] SmtpDialogue::Envelope envelope() const;
    void prepareMessage();
    void pumpMessage();
    void endMessage();

    // MailSession
    void reportInfo(Info info, const QString &text) override;
    [[nodiscard]] bool infoWanted() const override;
    [[nodiscard]] int socketErrorNumber(const SocketErrorEntry &entry) const override
    {
        return entry.sendMailNumber;
    }
    void connected() override;
    void lineReceived(const QByteArray &line) override;
    void closedByPeer() override;
    void timedOut() override;
    void connectionLostWhileIdle() override;
    void cleanUpForAbort() override;

    // SmtpDialogue::Events
    void sendCommand(const QByteArray &line, const QByteArray &logForm, bool credentials) override;
    void recipient(const QString &address) override;
    void unexpectedReply(const SmtpReply &reply) override;
    void failure(int number, const QString &text, const std::optional<SmtpReply> &reply) override;
    void beginTls() override;
    void transmitMessage() override;
    void accepted(const SmtpReply &reply) override;
    void quitAnswered() override;
    void readyForMail(const SmtpReply &reply) override;

    MimeInputs m_message;
    QString m_smtpServer;
    quint16 m_smtpPort = 25;
    QString m_toAddress;
    QString m_toName;
    QStringList m_listBcc;
    bool m_smtpAuth = false;
    QString m_smtpUser;
    QString m_smtpPsw;
    bool m_heloDef = true;
    QString m_heloTxt;
    bool m_keepConnectionOpen = false;
    bool m_loginOnly = false;
    TransportSecurity m_security = TransportSecurity::None;
    TMailAction m_action = None;
    bool m_delivered = false;
    int m_skipTo = 0;
    int m_skipCc = 0;
    int m_skipBcc = 0;

    SmtpDialogue m_dialogue;
    QPointer<MimeAssembler> m_assembler;
    bool m_pulling = false; // inside the assembler's nextChunk()
    bool m_inBody = false;  // between the reply to DATA and the "."
    qint64 m_bodyBytes = 0; // of the message on the wire, for the trace
    bool m_finalDotSent = false;
    std::optional<SmtpReply> m_reply;
    std::function<bool()> m_beforeFinalDot;
};

} // namespace varnholt
