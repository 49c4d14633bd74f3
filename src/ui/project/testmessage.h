#pragma once

#include "sending/messageprep.h"
#include "sending/messagetransport.h"
#include "settings/settings.h"

#include <QObject>
#include <QString>
#include <QStringList>

// "Send test": one prepared message goes to the account's own address (its
// sender address, SenderIdentity) through the account transport, as a run
// sends it: the POP3 log-in first when the project asks for one, then
// SendMail with the account's settings. Asynchronous; no widgets.
namespace varnholt {

class TestMessageSender : public QObject
{
    Q_OBJECT
public:
    // The texts it tells, in the order of defaultTexts().
    enum Text {
        txLoginFailed, txStopped, txNoSmtpServer, txNoOwnAddress, txLoggingIn, txSending, txAccepted,
        txAcceptedWithWords, txRefused, txNoAnswer, txNotSent
    };
    [[nodiscard]] static QStringList defaultTexts();

    explicit TestMessageSender(QObject *parent = nullptr);
    ~TestMessageSender() override;

    // The texts in the window's language (a window's message list); a
    // missing entry keeps its default.
    void setTexts(const QStringList &texts);

    // Starts sending; finished() follows exactly once. False (and nothing
    // follows) while a message is on its way.
    bool send(PreparedMessage message, const tAccountObj &account, const TIniInfo &project);
    void cancel();
    [[nodiscard]] bool isBusy() const { return m_busy; }

    // Where the message goes: the account's sender address.
    [[nodiscard]] static QString ownAddress(const tAccountObj &account);
    // The transport, for its sessions' certificates and time limits.
    [[nodiscard]] AccountTransport &transport() { return m_transport; }

Q_SIGNALS:
    // Each step as it happens ("Logging in to ...", "Sending to ...").
    void progress(const QString &text);
    // `text` says how it went in plain words, with the server's reply
    // when one decided.
    void finished(bool accepted, const QString &text);

private:
    void sendNow();
    void finish(bool accepted, const QString &text);
    void onMessageDone(const MessageOutcome &outcome);
    [[nodiscard]] QString text(Text index) const { return m_texts.value(index); }

    QStringList m_texts = defaultTexts();
    AccountTransport m_transport;
    PreparedMessage m_message;
    QString m_to;
    QString m_lastWords; // the server's last words about the message
    bool m_busy = false;
    bool m_cancelled = false;
};

} // namespace varnholt
