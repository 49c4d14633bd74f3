#include "sending/sendingtexts.h"

namespace varnholt {

const QStringList &DefaultSendingTexts()
{
    static const QStringList texts{
        QStringLiteral("email"),
        QStringLiteral("state"),
        QStringLiteral("result"),
        QStringLiteral("code"),
        QStringLiteral("comment"),
        QStringLiteral("Elapsed"),
        QStringLiteral("Total"),
        QStringLiteral("Waiting"),
        QStringLiteral("Good"),
        QStringLiteral("Bad"),
        QStringLiteral("Please fill the recipient list"),
        QStringLiteral("Error email"),
        QStringLiteral("DNSInfo Define Error"),
        QStringLiteral("Left"),
        QStringLiteral("Define Email Column"),
        QStringLiteral("Info"),
        QString(), // reserved
        QString(), // reserved
        QStringLiteral("Attention"),
        QStringLiteral("Aborted"),
        QStringLiteral("Sending email through ISP"),
        QStringLiteral("Completed"),
        QStringLiteral("No"),
        QStringLiteral("Ok"),
        QStringLiteral("Sent through ISP smtp mail server"),
        QStringLiteral("Sending... (waiting acknoledgement)"),
        QStringLiteral("Delivered and available to the recipient!"),
        QStringLiteral("Failed"),
        QStringLiteral("DNS Server not responding"),
        QStringLiteral("Aborted by user"),
        QStringLiteral("Could not perform the command"),
        QStringLiteral("Time Out - Recipient''s SMTP Server didn''t respond"),
        QStringLiteral("Invalid DNS"),
        QStringLiteral("Mailbox unavailable"),
        QStringLiteral("User not local"),
        QStringLiteral("Exceeded storage allocation"),
        QStringLiteral("Transaction failed"),
        QStringLiteral("Recipient''s  SMTP server returned error"),
        QStringLiteral("The process has been completed"),
        QStringLiteral("Verification"),
        QStringLiteral("Schedule mailing"),
        QStringLiteral("Waiting for the next scheduled interval."),
        QStringLiteral("Outcome unknown"),
        QStringLiteral("The message went out in full, but the server's answer never came; it may have been "
                       "delivered"),
        QStringLiteral("The mail server %1 did not answer %2 messages in a row (last: %3). The run stopped; "
                       "resume it once the server answers again."),
        QStringLiteral("Cannot record the outcome in \"%1\": %2. The run stopped; nothing more was sent."),
        QStringLiteral("These pictures of the HTML text are not sent with the message; they stay references:"),
        QStringLiteral("The mail account has no SMTP server: set it up in the preferences."),
        QStringLiteral("Scripts and other active content were taken out of the HTML text of the messages (mail "
                       "programs block them and spam filters count them against the sender):"),
        QStringLiteral("Invalid"),
        QStringLiteral("%1 sent, %2 failed, %3 without a valid e-mail address."),
        QStringLiteral("Waiting for the account's limit: next message at %1"),
        QStringLiteral("%1 messages/min"),
        QStringLiteral("deferred, retry at %1"),
        QStringLiteral("Temporary refusals: %1 messages wait for their next try at %2"),
        QStringLiteral("The mail server asked for a pause (421): sending goes on at %1"),
    };
    return texts;
}

QString SendingTextAt(const QStringList &texts, int index)
{
    const QString translated = texts.value(index);
    return translated.isEmpty() ? DefaultSendingTexts().value(index) : translated;
}

NoticeMessage NoticeText(const RunNotice &notice, const QStringList &texts)
{
    const auto text = [&texts](int index) { return SendingTextAt(texts, index); };
    using Kind = RunNotice::Kind;
    switch (notice.kind) {
    case Kind::None:
    case Kind::Busy:
        break;
    case Kind::NoEmailColumn:
        return {text(stDefineEmailColumn), text(stInfo), UserMessageIcon::Information};
    case Kind::NoRecipients:
        return {text(stFillRecipientList), text(stInfo), UserMessageIcon::Information};
    case Kind::NoSmtpServer:
        return {text(stNoSmtpServer), text(stAttention), UserMessageIcon::Error};
    case Kind::DirectUnavailable:
        return {notice.detail, text(stAttention), UserMessageIcon::Error};
    case Kind::CannotRecord:
        return {text(stCannotRecord).arg(notice.subject, notice.detail), text(stAttention), UserMessageIcon::Error};
    case Kind::ServerNotAnswering:
        return {text(stServerNotAnswering).arg(notice.subject).arg(notice.count).arg(notice.detail),
                text(stAttention), UserMessageIcon::Error};
    case Kind::LoginFailed:
        return {notice.detail, text(stInfo), UserMessageIcon::Information};
    case Kind::PicturesNotInline:
        return {text(stPicturesNotInline) + QLatin1Char('\n') + notice.detail, text(stAttention),
                UserMessageIcon::Information};
    case Kind::ActiveContentRemoved:
        return {text(stActiveContentRemoved) + QLatin1Char('\n') + notice.detail, text(stAttention),
                UserMessageIcon::Information};
    case Kind::Completed:
        return {text(stProcessCompleted) + QLatin1Char('\n')
                    + text(stCompletedCounts).arg(notice.sent).arg(notice.failed).arg(notice.invalid),
                text(stCompleted), UserMessageIcon::Information};
    case Kind::Aborted:
        return {text(stAborted), text(stAttention), UserMessageIcon::Information};
    }
    return {};
}

} // namespace varnholt
