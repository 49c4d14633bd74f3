#include "testmessage.h"

#include "mailclient/mailerrors.h"
#include "sending/recipientaddress.h"

#include <algorithm>

namespace varnholt {

QStringList TestMessageSender::defaultTexts()
{
    return {QStringLiteral("The POP3 log-in failed: %1"),
            QStringLiteral("Stopped; the test message was not sent."),
            QStringLiteral("The account names no SMTP server."),
            QStringLiteral("The account's own address \"%1\" is not an e-mail address to send the test to."),
            QStringLiteral("Logging in to the POP3 server %1:%2 ..."),
            QStringLiteral("Sending the test message to %1 through %2 ..."),
            QStringLiteral("The server %1 accepted the test message for %2."),
            QStringLiteral("The server %1 accepted the test message for %2: %3"),
            QStringLiteral("The server refused the test message: %1"),
            QStringLiteral("The test message went out whole, but the server did not answer (%1); it may have "
                           "arrived."),
            QStringLiteral("The test message was not sent: %1")};
}

void TestMessageSender::setTexts(const QStringList &texts)
{
    m_texts = defaultTexts();
    for (qsizetype i = 0; i < std::min(texts.size(), m_texts.size()); ++i)
        if (!texts[i].isEmpty())
            m_texts[i] = texts[i];
}

TestMessageSender::TestMessageSender(QObject *parent) : QObject(parent)
{
    connect(&m_transport, &MessageTransport::loggedIn, this, &TestMessageSender::sendNow);
    connect(&m_transport, &MessageTransport::loginFailed, this,
            [this](const QString &words) { finish(false, text(txLoginFailed).arg(words)); });
    connect(&m_transport, &MessageTransport::sessionEnded, this, [this] {
        if (m_busy)
            finish(false, text(txStopped));
    });
    connect(&m_transport, &MessageTransport::serverWords, this, [this](int, const QString &text) { m_lastWords = text; });
    connect(&m_transport, &MessageTransport::messageDone, this, &TestMessageSender::onMessageDone);
}

TestMessageSender::~TestMessageSender()
{
    disconnect(&m_transport, nullptr, this, nullptr);
}

QString TestMessageSender::ownAddress(const tAccountObj &account)
{
    return SenderIdentity::fromAccount(account).address.trimmed();
}

bool TestMessageSender::send(PreparedMessage message, const tAccountObj &account, const TIniInfo &project)
{
    if (m_busy)
        return false;
    m_busy = true;
    m_cancelled = false;
    m_lastWords.clear();
    m_to = ownAddress(account);
    const auto refuse = [this](const QString &why) {
        // Told from the event loop, as every other end is.
        QMetaObject::invokeMethod(this, [this, why] { finish(false, why); }, Qt::QueuedConnection);
        return true;
    };
    if (account.SMTPServer.trimmed().isEmpty())
        return refuse(text(txNoSmtpServer));
    if (!IsSendableAddress(m_to))
        return refuse(text(txNoOwnAddress).arg(m_to));
    m_message = std::move(message);
    m_message.toAddress = m_to;
    m_message.toName.clear();
    m_transport.configure(account, project);
    if (m_transport.loginDue()) {
        emit progress(text(txLoggingIn).arg(account.PopServer.trimmed(), QString::number(account.PopPort)));
        m_transport.login();
    } else {
        sendNow();
    }
    return true;
}

void TestMessageSender::sendNow()
{
    if (!m_busy)
        return;
    emit progress(text(txSending).arg(m_to, m_transport.serverName()));
    m_transport.send(m_message);
}

void TestMessageSender::cancel()
{
    if (!m_busy || !m_transport.isBusy())
        return;
    m_cancelled = true;
    m_transport.cancel();
}

void TestMessageSender::onMessageDone(const MessageOutcome &outcome)
{
    // One message: the connection kept for a next one ends here.
    m_transport.close();
    QString told;
    switch (outcome.kind) {
    case MessageOutcome::Kind::Accepted:
        told = m_lastWords.isEmpty() ? text(txAccepted).arg(m_transport.serverName(), m_to)
                                     : text(txAcceptedWithWords).arg(m_transport.serverName(), m_to, m_lastWords);
        break;
    case MessageOutcome::Kind::Refused: {
        QString words = outcome.text;
        if (words.startsWith(TextUnexpectedResponse))
            words.remove(0, TextUnexpectedResponse.size());
        told = text(txRefused).arg(words);
        break;
    }
    case MessageOutcome::Kind::Cancelled:
        told = text(txStopped);
        break;
    case MessageOutcome::Kind::Unknown:
        told = text(txNoAnswer).arg(outcome.text);
        break;
    case MessageOutcome::Kind::Failed:
        told = text(txNotSent).arg(outcome.text);
        break;
    }
    finish(outcome.kind == MessageOutcome::Kind::Accepted, told);
}

void TestMessageSender::finish(bool accepted, const QString &told)
{
    if (!m_busy)
        return;
    m_busy = false;
    emit finished(accepted, told);
}

} // namespace varnholt
