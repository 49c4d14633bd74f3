#pragma once

#include "mailclient/mailsession.h"
#include "mailclient/smtpdialogue.h"
#include "mime/mimeassembler.h"

#include <QPointer>
#include <QStringList>

// `SendMail`: delivers one message to an SMTP server. The owner fills the
// properties and the message inputs, writes `Action` = `Send_Mail`, and waits
// for `OnDone`; `Delivered` then says whether the server accepted the message.
// With `KeepConnectionOpen` the next message goes over the same connection.

namespace varnholt {

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

    [[nodiscard]] TMailAction Action() const { return m_action; }
    void setAction(TMailAction action);

    [[nodiscard]] bool Delivered() const { return m_delivered; }

Q_SIGNALS:
    void OnMailInfo(varnholt::SendMail::SendMailInfo info, const QString &addinfo);
    void OnMailError(int error, const QString &addinfo);

private:
    void start();
    void cancel();
    void abort();
    void raiseError(int number, const QString &text);
    [[nodiscard]] bool setUpRecipients();
    [[nodiscard]] std::optional<QString> unsafeInput(const SmtpDialogue::Envelope &env) const;
    [[nodiscard]] bool infoWanted() const;
    [[nodiscard]] SmtpDialogue::Envelope envelope() const;

    void onConnected(const QString &address);
    void onLine(const QByteArray &line);
    void onClosedByPeer();
    void onFailed(int socketCode, const QString &detail);
    void onTlsFailed(const QString &text);
    void onTimedOut();
    void prepareMessage();
    void pumpMessage();
    void dropAssembler();

    // SmtpDialogue::Events
    void sendCommand(const QByteArray &line, const QByteArray &logForm) override;
    void recipient(const QString &address) override;
    void unexpectedReply(const QByteArray &line) override;
    void failure(int number, const QString &text) override;
    void beginTls() override;
    void transmitMessage() override;
    void accepted(const QByteArray &line) override;
    void quitAnswered() override;

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
    TransportSecurity m_security = TransportSecurity::None;
    TMailAction m_action = None;
    bool m_delivered = false;
    bool m_quitAnswered = false;
    int m_skipTo = 0;
    int m_skipCc = 0;
    int m_skipBcc = 0;

    SmtpDialogue m_dialogue;
    QPointer<MimeAssembler> m_assembler;
    bool m_pulling = false; // inside the assembler's nextChunk()
};

} // namespace varnholt
