#pragma once

#include <QString>
#include <QStringList>

// The texts of the sending run and of its window by index, so that a
// language file can replace them, and the notices the run gives its
// observers as values: the window and the command line each put them into
// words (the window through its translated texts).
namespace varnholt {

enum SendingText {
    stEmail = 0, stState = 1, stResult = 2, stCode = 3, stComment = 4,
    stElapsed = 5, stTotal = 6, stWaiting = 7, stGood = 8, stBad = 9,
    stFillRecipientList = 10, stErrorEmail = 11, stDnsInfoError = 12, stLeft = 13,
    stDefineEmailColumn = 14, stInfo = 15, stAttention = 18, stAborted = 19,
    stSendingThroughIsp = 20, stCompleted = 21, stNo = 22, stOk = 23, stSentThroughIsp = 24,
    stSendingWaitingAck = 25, stDeliveredAvailable = 26, stFailed = 27, stDnsNotResponding = 28,
    stAbortedByUser = 29, stCouldNotPerform = 30, stTimeOut = 31, stInvalidDns = 32,
    stMailboxUnavailable = 33, stUserNotLocal = 34, stExceededStorage = 35,
    stTransactionFailed = 36, stRecipientServerError = 37, stProcessCompleted = 38,
    stVerification = 39, stScheduleMailing = 40, stWaitingNextInterval = 41,
    stOutcomeUnknown = 42, stNoAnswerAfterData = 43, stServerNotAnswering = 44, stCannotRecord = 45,
    stPicturesNotInline = 46, stNoSmtpServer = 47, stActiveContentRemoved = 48, stInvalid = 49,
    stCompletedCounts = 50, stWaitingAccountLimit = 51, stMessagesPerMinute = 52,
    stDeferredRetryAt = 53, stWaitingRetry = 54, stServerPause = 55,
};

// The default (English) texts, indexes 0 to 55; 16 and 17 are reserved
// (empty).
[[nodiscard]] const QStringList &DefaultSendingTexts();
// Text `index` of `texts` (a translation), the default where it has none.
[[nodiscard]] QString SendingTextAt(const QStringList &texts, int index);

// The icon of a message for the user (the message box flags 64, 16, 32).
enum class UserMessageIcon { Information, Error, Question };

// Something the run tells its observers: why it would not start, why it
// stopped by itself, how it ended.
struct RunNotice {
    enum class Kind {
        None,
        // Refusals to start
        Busy,              // a run is already going on (nobody is told)
        NoEmailColumn,     // the project's e-mail column is not in the list
        NoRecipients,      // the list holds no recipient
        NoSmtpServer,      // the account names no SMTP server
        DirectUnavailable, // direct delivery cannot start: `detail` says why
        // The run's own stops and ends
        CannotRecord,       // `subject`: the journal, `detail`: the error
        ServerNotAnswering, // `subject`: the server, `count` messages, `detail`: the last error
        LoginFailed,        // `detail`: the POP3 error
        PicturesNotInline,  // `detail`: the pictures, one per line
        ActiveContentRemoved, // `detail`: what went (RemovedContentText)
        Completed, // with the rows `sent`, `failed` and `invalid` of this run
        Aborted, // stopped by the user
    };
    RunNotice() = default;
    RunNotice(Kind kind, QString subject = {}, QString detail = {}, int count = 0)
        : kind(kind), subject(std::move(subject)), detail(std::move(detail)), count(count)
    {
    }

    Kind kind = Kind::None;
    QString subject;
    QString detail;
    int count = 0;
    int sent = 0;
    int failed = 0;
    int invalid = 0;

    [[nodiscard]] bool isNone() const { return kind == Kind::None; }
};

// A notice in words, as a message box shows it.
struct NoticeMessage {
    QString text;
    QString caption;
    UserMessageIcon icon = UserMessageIcon::Information;
};

// `notice` put into words with `texts` (DefaultSendingTexts() or a
// translation of them).
[[nodiscard]] NoticeMessage NoticeText(const RunNotice &notice, const QStringList &texts = DefaultSendingTexts());

} // namespace varnholt
