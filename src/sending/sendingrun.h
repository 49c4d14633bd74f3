#pragma once

#include "mailclient/getmail.h"
#include "mailclient/sendmail.h"
#include "schedule/schedobj.h"
#include "sending/messageprep.h"
#include "sending/directtransport.h"
#include "sending/messagetransport.h"
#include "sending/resulttable.h"
#include "sending/runschedule.h"
#include "sending/sendingtexts.h"
#include "sending/sendlog.h"
#include "settings/settings.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <deque>
#include <map>
#include <functional>
#include <memory>
#include <optional>
#include <set>

// The sending run: walks the project's mailing list row by row, has one
// personalised message prepared per recipient, hands it to a transport (the
// account's SMTP server, after a POP3 log-in when the project asks for one,
// or direct delivery to the recipients' own exchangers, several messages at
// once), and records every recipient's outcome in the result table, the
// counters, the send log and the results journal. It knows nothing about widgets: a window
// or the command line commands it and follows its signals.
//
// Row numbers are record rows of the project table, counted from 0.
namespace varnholt {

class Project;

// Which way messages leave: through the account's SMTP server, or straight
// to the recipients' mail exchangers.
enum class SendingTransport { Account, Direct };

// What starting a run came to: started, or the refusal with its reason
// (which the run has also given its observers as a notice, except Busy).
struct RunStart {
    bool started = false;
    RunNotice refusal;

    explicit operator bool() const { return started; }
};

// What the schedule panel of a window shows.
enum class SchedulePanel {
    Empty,
    Verification,        // the POP3 log-in before sending
    WaitingNextInterval, // a series pause
    ScheduleMailing,     // the task is active (with a countdown while one runs)
    WaitingAccountLimit, // the account's limit holds the next message back
    WaitingRetry,        // deferred rows wait for their next try
    ServerPause,         // a 421 reply paused the run
};

// The account's limits on how fast messages go to its SMTP server: at most
// `perMinute` in any 60 seconds and `perHour` in any 3,600 seconds, 0 being
// no limit. Every message handed to the server counts, whatever became of
// it: a refused or failed message may have used the server's allowance as
// well, and counting it can only make the run wait a little longer.
// Times are milliseconds on one clock.
class SendingPace
{
public:
    static constexpr qint64 kMinute = 60 * 1000;
    static constexpr qint64 kHour = 60 * kMinute;

    void setLimits(int perMinute, int perHour);
    [[nodiscard]] bool isLimited() const { return m_perMinute > 0 || m_perHour > 0; }
    // A message was handed over at `time`; nothing is kept without a limit.
    void record(qint64 time);
    // The earliest moment, `now` or later, at which the next message may go.
    [[nodiscard]] qint64 nextAllowed(qint64 now) const { return nextAllowed(m_sent, m_perMinute, m_perHour, now); }
    // The same over the times messages went (ascending): each window holds
    // the messages sent less than its length before `now`; a full one opens
    // when its oldest message that must leave it is a window's length old.
    [[nodiscard]] static qint64 nextAllowed(const std::deque<qint64> &sent, int perMinute, int perHour, qint64 now);

private:
    int m_perMinute = 0;
    int m_perHour = 0;
    std::deque<qint64> m_sent; // the last hour's, ascending
};

class SendingRun : public QObject
{
    Q_OBJECT
public:
    enum class State {
        Idle,
        LoggingIn,      // POP3 log-in before sending
        Sending,        // a message is with the SMTP session
        NextPosted,     // a row is done; the step to the next one is posted
        SeriesPause,    // a series batch is done; the series timer runs
        PaceWait,       // the account's limit holds the next message back
        RetryWait,      // deferred rows wait for their time, or a 421 paused the run
        WaitingForSchedule, // the schedule timer waits for the task to be due
        Stopping,       // "Stop" while a session is busy: waiting for its end
        Closing,        // closing while a session is busy: waiting for its end
        Closed,
    };
    Q_ENUM(State)

    using Clock = std::function<QDateTime()>;

    // The run works on `project`'s table in place (read only) and sends
    // through the project's account ("NConnect", 0 when out of range).
    // Loads the schedule task and the series settings from the project
    // file, copies the e-mail column into the result table and, when the
    // task is active, starts the schedule timer's countdown.
    // `accounts` must hold at least one account.
    SendingRun(Project &project, const tAccounts &accounts, QObject *parent = nullptr);
    ~SendingRun() override;

    // False when the project's e-mail column is out of range: the run was
    // not set up and cannot start (readiness() says NoEmailColumn).
    [[nodiscard]] bool isUsable() const { return m_usable; }
    // Why a run could not start now, or a notice of kind None: the checks
    // that sendMail(), resume() and a due schedule make before anything
    // changes. (A run already going on is refused as Busy besides.)
    [[nodiscard]] RunNotice readiness() const;

    // ---- Set-up (before a run) ----
    // The texts the run writes into the result cells and the send log
    // ("Ok", "No", "Outcome unknown", ...): a translation of
    // DefaultSendingTexts(); missing entries keep the default.
    void setTexts(const QStringList &texts);
    [[nodiscard]] QString text(int index) const;
    // Also the clock of the account's limits (see paceClock()).
    void setClock(Clock clock) { m_clock = std::move(clock); }
    // The set clock, or the local time to the second. The local time is
    // worked out once a second: asking the C library for it costs a look at
    // the time zone file every time.
    [[nodiscard]] QDateTime now() const;
    // Milliseconds for the account's limits: the set clock, or a steady
    // clock that a change of the computer's time does not move.
    [[nodiscard]] qint64 paceClock() const;
    void setTransport(SendingTransport transport) { m_transport = transport; }
    [[nodiscard]] SendingTransport transport() const { return m_transport; }
    // Direct delivery's settings (from the project unless set).
    void setDirectSettings(const DirectSettings &settings)
    {
        m_directSettings = settings;
        m_directSettingsSet = true;
    }
    [[nodiscard]] const DirectSettings &directSettings() const { return m_directSettings; }
    // The sender of direct delivery when it is not the account's: the
    // window's "From Name", "From Email" and mail domain (of the
    // Message-Id); empty values keep the account's.
    void setDirectSender(const QString &name, const QString &address, const QString &mailDomain)
    {
        m_directSender = {name, address, mailDomain};
    }
    // Keeps the result table in `path` (ResultJournal) as rows finish.
    // An empty path: no journal.
    void setJournalPath(const QString &path);
    [[nodiscard]] QString journalPath() const { return m_journal ? m_journal->path() : QString(); }
    // Takes over a result table saved by an earlier run (for example from
    // the journal of a killed process) when it still describes this list.
    // Returns false (and changes nothing) when it does not. A row that was
    // in flight when the journal was written (its message had gone out in
    // full, its answer had not come) becomes "outcome unknown".
    bool restoreResults(const ResultTable &saved);
    // "Create log file".
    void setCreateLog(bool on) { m_log->setEnabled(on); }
    [[nodiscard]] bool createLog() const { return m_log->isEnabled(); }
    void setLogFolder(const QString &folder);

    // ---- Commands ----
    // "Send Mail": clears the task's active flag and the series' progress,
    // then starts a fresh run.
    RunStart sendMail();
    // "Resume": the same, then a resuming run from `selectedRow` (used when
    // no series is active) or from the series' next row. Rows whose outcome
    // is unknown are left alone unless setResendUnknown(true).
    RunStart resume(int selectedRow = 0);
    void setResendUnknown(bool on) { m_resendUnknown = on; }
    [[nodiscard]] bool resendUnknown() const { return m_resendUnknown; }
    // Temporary refusals: a row answered 4xx, or whose connection failed
    // before its message went out whole, is deferred and tried again
    // `count` times, `minutes` apart, once the rows still to send are done;
    // a 421 reply pauses the whole run that long. A row whose message went
    // out whole without an answer ("outcome unknown") is never tried again:
    // the server may have it. 0 times: every refusal is final. Unless set,
    // a run takes the project's "RetryCount" and "RetryMinutes".
    void setRetries(int count, int minutes)
    {
        m_retryOverride = std::pair{std::max(count, 0), std::max(minutes, 0)};
    }
    [[nodiscard]] int retryCount() const;
    [[nodiscard]] int retryMinutes() const;
    // "Stop": ends the current message cleanly; the run ends with message
    // 19 ("Aborted") once the session is done.
    void stop();
    // A gentler stop: no further row is handed over, the messages on the
    // way get their answers, then the run ends as after stop().
    void stopAfterMessagesOnTheWay();
    // "Status Ok" / "Status No" on a record row that is not in progress.
    void setRowStatusOk(int row);
    void setRowStatusNo(int row);
    // Closing: returns true when the run may go away at once; otherwise it
    // stops, waits for the sessions to end and then emits closed().
    bool requestClose();

    // The schedule task was edited (the schedule window returned true):
    // when the task is active, the schedule timer counts down 5 seconds and
    // then checks the task every second.
    void scheduleEdited();
    // The schedule and a series pause stand still while the task is edited,
    // and go on where they were when the edit is cancelled.
    void suspendSchedule();
    void resumeSchedule();
    // What the timer of the account's limit does when it fires; public so
    // that tests can step through time.
    void paceTimerFired();
    // What the timer of the retry wait does when it fires (as above).
    void retryTimerFired();


    // ---- What observers read ----
    [[nodiscard]] State state() const { return m_state; }
    [[nodiscard]] bool isRunning() const;
    [[nodiscard]] const ResultTable &results() const { return m_results; }
    [[nodiscard]] int waiting() const { return m_waiting; }
    [[nodiscard]] int good() const { return m_good; }
    [[nodiscard]] int bad() const { return m_bad; }
    // Rows skipped for want of a valid e-mail address ("Error email").
    [[nodiscard]] int invalid() const { return m_invalid; }
    // Messages of this run that have their outcome (the pace of a run).
    [[nodiscard]] int messagesDone() const { return m_messagesDone; }
    // Why the run stopped by itself (the results could not be recorded, the
    // server stopped answering); None after a user's stop or a complete run.
    [[nodiscard]] const RunNotice &stopReason() const { return m_lastStopReason; }
    [[nodiscard]] int total() const { return m_results.rowCount(); }
    [[nodiscard]] QDateTime startTime() const { return m_startTime; }
    // When the last run ended; invalid while one goes on (a series pause
    // is not an end).
    [[nodiscard]] QDateTime endTime() const { return m_endTime; }
    // The current row: the row handed over (or last looked at).
    [[nodiscard]] int currentRow() const { return m_currentRow; }
    [[nodiscard]] SchedulePanel schedulePanel() const { return m_schedulePanel; }
    // Seconds until the task is checked, or -1 when no countdown runs.
    [[nodiscard]] qint64 scheduleSecondsLeft() const;
    [[nodiscard]] QStringList heldBackCodes() const;
    // While the account's limit holds the next message back: when it goes
    // (on the run's clock), and the wait the timer was set to in ms; an
    // invalid time and -1 otherwise.
    [[nodiscard]] QDateTime paceResumeTime() const { return m_state == State::PaceWait ? m_paceUntil : QDateTime(); }
    [[nodiscard]] qint64 paceWaitMs() const { return m_paceTimer.isActive() ? m_paceTimer.interval() : -1; }
    [[nodiscard]] const SendingPace &pace() const { return m_pace; }
    // Rows deferred now (waiting for a try, not on the way).
    [[nodiscard]] int deferred() const { return int(m_results.retries().size()); }
    // In the retry wait: when the run goes on (on the run's clock) and the
    // wait the timer was set to in ms; an invalid time and -1 otherwise.
    [[nodiscard]] QDateTime retryResumeTime() const
    {
        return m_state == State::RetryWait ? m_retryUntil : QDateTime();
    }
    [[nodiscard]] qint64 retryWaitMs() const { return m_retryTimer.isActive() ? m_retryTimer.interval() : -1; }
    // A 421 reply holds the run back (until retryResumeTime()).
    [[nodiscard]] bool serverPaused() const { return m_pauseUntil > 0; }

    [[nodiscard]] TTaskObj &task() { return m_schedule.task(); }
    [[nodiscard]] TSeriesObj &series() { return m_schedule.series(); }
    [[nodiscard]] RunSchedule &schedule() { return m_schedule; }
    [[nodiscard]] const tAccountObj &account() const { return m_account; }
    // The project's account in the account list ("NConnect", the first
    // when out of range).
    [[nodiscard]] int projectAccountIndex() const;
    [[nodiscard]] MessagePreparer &preparer() { return *m_preparer; }
    [[nodiscard]] AccountTransport &accountTransport() { return *m_accountTransport; }
    [[nodiscard]] DirectTransport &directTransport() { return *m_directTransport; }
    [[nodiscard]] GetMail &pop3() { return m_accountTransport->pop3(); }
    [[nodiscard]] SendLog &sendLog() { return *m_log; }

Q_SIGNALS:
    void rowChanged(int row);
    void countersChanged();
    void stateChanged(varnholt::SendingRun::State state);
    // The run ended: `completed` at the end of the list, false when it was
    // stopped or the POP3 log-in failed. A series pause is not an end.
    void runFinished(bool completed);
    // Something for the user: a refusal, a stop of the run's own, the end.
    void notice(const varnholt::RunNotice &notice);
    // The schedule panel or its countdown changed.
    void schedulePanelChanged();
    // A send log line could not be written.
    void logFailed(const QString &error);
    // After requestClose() returned false: the sessions have ended.
    void closed();

private:
    [[nodiscard]] const tAccountObj *projectAccount() const;
    // The project's account with the direct sender's values in place.
    [[nodiscard]] tAccountObj accountForRun() const;
    void chooseAccount();
    RunStart startRun(bool resume, int selectedRow);
    [[nodiscard]] MessageTransport &transportInUse() const;
    // Hands over the next rows while the transport takes more.
    void handOut();
    RunStart refuse(const RunNotice &reason);
    void postStep();
    void step();
    void sendNext();
    // Before `row` is prepared: true when the account's limit holds it back
    // (the pace timer then brings the run back to it). A deferred row is
    // given as -1: the walk through the list stays where it is.
    [[nodiscard]] bool waitForPace(int row);
    // Before `row` (or a deferred row, -1) is prepared: true when a 421's
    // pause holds it back (the retry timer then brings the run back).
    [[nodiscard]] bool waitForPause(int row);
    // Nothing may go before `at` (ms since the epoch on the run's clock):
    // the run waits for the messages on the way, then on the retry timer.
    void waitForRetry(qint64 at);
    [[nodiscard]] qint64 nowMs() const { return now().toMSecsSinceEpoch(); }
    // A temporary refusal, or a connection that failed before the message
    // went out whole (never "outcome unknown").
    [[nodiscard]] static bool isTemporary(const MessageOutcome &outcome);
    // Marks `row` deferred after its `deferrals`-th temporary refusal.
    void deferRow(int row, const MessageOutcome &outcome, int deferrals);
    // At the start of a resumed run: deferred rows wait for their try, or,
    // with retries off, end with their last reply.
    void takeOverDeferredRows();
    void logIn();
    void finishList();
    void endAborted();
    // The run is over (complete, stopped or refused by the POP3 server).
    void ended(bool completed);

    void onServerWords(int row, const QString &words);
    void onMessageDone(const MessageOutcome &outcome);
    void onLoggedIn();
    void onLoginFailed(const QString &errorText);
    void onSessionEnded();

    void setState(State state);
    void setSchedulePanel(SchedulePanel panel);
    void refreshSchedulePanel();
    void rowFinished(int row);
    // The message's body went out and its final "." follows: the row is
    // journalled as in flight first. False (the "." is withheld) when that
    // cannot be written.
    bool messageInFlight(int row);
    // The result texts of a direct delivery's outcome.
    void markDirectOutcome(int row, const MessageOutcome &outcome);
    // A write of the results failed: the run stops before the next message.
    void recordingFailed(const QString &error);
    // Stops the run with `reason` told to the user instead of "Aborted".
    void stopWithReason(const RunNotice &reason);
    void stopIfServerNotAnswering(const QString &lastText);
    bool prepareRow(int row, PreparedMessage &message);
    // Appends the record that `record` makes to the send log.
    void writeLog(const std::function<QString()> &record);
    [[nodiscard]] bool sessionsBusy() const;
    [[nodiscard]] bool addressValid(int row) const;
    void markErrorEmail(int row);
    void markFailed(int row, const QString &comment);

    Project &m_project;
    const tAccounts &m_accounts;
    tAccountObj m_account;
    bool m_usable = false;
    QStringList m_texts;
    QString m_sendingResult; // message 20 + " ...", the result of a row handed over
    Clock m_clock;
    mutable qint64 m_nowSecond = -1;
    mutable QDateTime m_now;
    SendingTransport m_transport = SendingTransport::Account;
    DirectSettings m_directSettings;
    bool m_directSettingsSet = false;
    struct {
        QString name, address, mailDomain;
    } m_directSender;

    ResultTable m_results;
    std::unique_ptr<ResultJournal> m_journal;
    std::unique_ptr<MessagePreparer> m_preparer;
    std::unique_ptr<AccountTransport> m_accountTransport = std::make_unique<AccountTransport>();
    std::unique_ptr<DirectTransport> m_directTransport = std::make_unique<DirectTransport>();
    std::unique_ptr<SendLog> m_log = std::make_unique<SendLog>();
    RunSchedule m_schedule{[this] { return now(); }};
    SendingPace m_pace;
    QTimer m_paceTimer;
    QDateTime m_paceUntil;
    std::optional<std::pair<int, int>> m_retryOverride; // count, minutes
    QTimer m_retryTimer;
    QDateTime m_retryUntil;
    qint64 m_pauseUntil = 0; // a 421's pause: ms since the epoch, 0 none
    // The deferred rows of this run by the time of their next try.
    std::set<std::pair<qint64, int>> m_retryQueue;
    // Rows on the way again after a deferral: their deferrals so far.
    std::map<int, int> m_deferrals;


    State m_state = State::Idle;
    SchedulePanel m_schedulePanel = SchedulePanel::Empty;
    int m_currentRow = -1;
    std::set<int> m_inFlight; // rows whose message is with the transport
    bool m_resendUnknown = false;
    bool m_pictureWarningsTold = false;
    bool m_activeContentTold = false;
    // Messages in a row that failed on the connection (no answer, refused,
    // dropped) rather than by a server's reply.
    int m_connectionFailures = 0;
    RunNotice m_stopReason;     // set while a run stops by itself
    RunNotice m_lastStopReason; // kept for observers after the run ended
    int m_waiting = 0;
    int m_good = 0;
    int m_bad = 0;
    int m_invalid = 0;
    int m_messagesDone = 0;
    QDateTime m_startTime;
    QDateTime m_endTime;
};

} // namespace varnholt
