#include "sending/sendingrun.h"

#include "project/project.h"
#include "sending/activecontent.h"
#include "sending/recipientaddress.h"

#include <QTime>

#include <algorithm>
#include <climits>

namespace varnholt {

namespace {

// After this many messages in a row that failed on the connection, the run
// stops instead of costing a time-out per row for the rest of the list.
constexpr int kMaxConnectionFailures = 5;

} // namespace

void SendingPace::setLimits(int perMinute, int perHour)
{
    m_perMinute = std::max(perMinute, 0);
    m_perHour = std::max(perHour, 0);
    if (!isLimited())
        m_sent.clear();
}

void SendingPace::record(qint64 time)
{
    if (!isLimited())
        return;
    // A clock set back in a test keeps the list ascending.
    m_sent.push_back(m_sent.empty() ? time : std::max(time, m_sent.back()));
    while (!m_sent.empty() && m_sent.front() <= time - kHour)
        m_sent.pop_front();
}

qint64 SendingPace::nextAllowed(const std::deque<qint64> &sent, int perMinute, int perHour, qint64 now)
{
    qint64 next = now;
    for (const auto &[limit, window] : {std::pair{perMinute, kMinute}, std::pair{perHour, kHour}}) {
        if (limit <= 0)
            continue;
        // The messages of the last `window` ms are a tail of the list.
        const auto first = std::upper_bound(sent.cbegin(), sent.cend(), now - window);
        const qint64 inWindow = sent.cend() - first;
        if (inWindow >= limit)
            next = std::max(next, *(first + (inWindow - limit)) + window);
    }
    return next;
}

SendingRun::SendingRun(Project &project, const tAccounts &accounts, QObject *parent)
    : QObject(parent)
    , m_project(project)
    , m_accounts(accounts)
    , m_texts(DefaultSendingTexts())
    , m_sendingResult(text(stSendingThroughIsp) + QStringLiteral(" ..."))
{
    chooseAccount();

    const ListTable &table = project.table();
    const int emailColumn = project.settings().Column;
    m_usable = emailColumn >= 0 && emailColumn < table.columnCount();
    if (m_usable) {
        m_results.initFrom(table, emailColumn);
        m_preparer = std::make_unique<MessagePreparer>(project, m_account);
    }

    for (MessageTransport *transport : {static_cast<MessageTransport *>(m_accountTransport.get()),
                                        static_cast<MessageTransport *>(m_directTransport.get())}) {
        transport->setBeforeCommit([this](int row) { return messageInFlight(row); });
        connect(transport, &MessageTransport::serverWords, this, &SendingRun::onServerWords);
        connect(transport, &MessageTransport::messageDone, this, &SendingRun::onMessageDone);
        connect(transport, &MessageTransport::loggedIn, this, &SendingRun::onLoggedIn);
        connect(transport, &MessageTransport::loginFailed, this, &SendingRun::onLoginFailed);
        connect(transport, &MessageTransport::sessionEnded, this, &SendingRun::onSessionEnded);
    }

    m_log->setEnabled(project.settings().CreateLog);

    m_paceTimer.setSingleShot(true);
    // A coarse timer may fire a little early, which would only cost a
    // second wait.
    m_paceTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_paceTimer, &QTimer::timeout, this, &SendingRun::paceTimerFired);
    m_retryTimer.setSingleShot(true);
    m_retryTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_retryTimer, &QTimer::timeout, this, &SendingRun::retryTimerFired);

    connect(&m_schedule, &RunSchedule::due, this, [this] {
        if (!isRunning())
            startRun(true, 0);
    });
    connect(&m_schedule, &RunSchedule::pauseOver, this, [this] {
        if (m_state == State::SeriesPause)
            startRun(true, 0);
    });
    connect(&m_schedule, &RunSchedule::countdownChanged, this, [this] {
        refreshSchedulePanel();
        emit schedulePanelChanged();
    });

    const QString projectFile = project.settingsFile();
    m_schedule.load(projectFile);
    if (m_usable && task().Enabled) {
        m_schedule.startCountdown(60);
        setState(State::WaitingForSchedule);
    }
    refreshSchedulePanel();
}

SendingRun::~SendingRun()
{
    // The transport's sessions end with it: nothing more reaches this
    // half-destroyed object.
    disconnect(m_accountTransport.get(), nullptr, this, nullptr);
    disconnect(m_directTransport.get(), nullptr, this, nullptr);
}

void SendingRun::setTexts(const QStringList &texts)
{
    for (int i = 0; i < std::min(texts.size(), m_texts.size()); ++i) {
        if (!texts.at(i).isEmpty())
            m_texts[i] = texts.at(i);
    }
    m_sendingResult = text(stSendingThroughIsp) + QStringLiteral(" ...");
}

QString SendingRun::text(int index) const
{
    return index >= 0 && index < m_texts.size() ? m_texts.at(index) : QString();
}

QDateTime SendingRun::now() const
{
    if (m_clock)
        return m_clock();
    const qint64 second = QDateTime::currentSecsSinceEpoch();
    if (second != m_nowSecond) {
        m_nowSecond = second;
        m_now = QDateTime::fromSecsSinceEpoch(second);
    }
    return m_now;
}

qint64 SendingRun::paceClock() const
{
    if (m_clock)
        return m_clock().toMSecsSinceEpoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int SendingRun::retryCount() const
{
    return m_retryOverride ? m_retryOverride->first : std::max(m_project.settings().RetryCount, 0);
}

int SendingRun::retryMinutes() const
{
    return m_retryOverride ? m_retryOverride->second : std::max(m_project.settings().RetryMinutes, 0);
}

void SendingRun::setJournalPath(const QString &path)
{
    m_journal = path.isEmpty() ? nullptr : std::make_unique<ResultJournal>(path);
}

bool SendingRun::restoreResults(const ResultTable &saved)
{
    if (!m_usable || isRunning() || !saved.matches(m_project.table(), m_project.settings().Column))
        return false;
    m_results = saved;
    for (int row = 0; row < m_results.rowCount(); ++row) {
        if (m_results.status(row) == RowStatus::InProgress) {
            m_results.setStatus(row, RowStatus::Unknown);
            m_results.setResult(row, text(stOutcomeUnknown));
            m_results.setComment(row, text(stNoAnswerAfterData));
        }
    }
    m_good = m_results.count(RowStatus::Sent);
    m_invalid = 0;
    for (int row = 0; row < m_results.rowCount(); ++row)
        m_invalid += m_results.status(row) == RowStatus::Failed && m_results.result(row) == text(stErrorEmail);
    m_bad = m_results.count(RowStatus::Failed) - m_invalid;
    for (int row = 0; row < m_results.rowCount(); ++row)
        emit rowChanged(row);
    emit countersChanged();
    return true;
}

void SendingRun::setLogFolder(const QString &folder)
{
    const bool enabled = m_log->isEnabled();
    m_log = std::make_unique<SendLog>(folder);
    m_log->setEnabled(enabled);
}

int SendingRun::projectAccountIndex() const
{
    const int index = m_project.settings().NConnect;
    return index < 0 || index >= m_accounts.count() ? 0 : index;
}

const tAccountObj *SendingRun::projectAccount() const
{
    return m_accounts.item(projectAccountIndex());
}

tAccountObj SendingRun::accountForRun() const
{
    const tAccountObj *account = projectAccount();
    tAccountObj chosen = account ? *account : tAccountObj();
    if (m_transport == SendingTransport::Direct) {
        for (auto [value, field] : {std::pair{&m_directSender.name, &chosen.Name},
                                    {&m_directSender.address, &chosen.ReturnAddress},
                                    {&m_directSender.mailDomain, &chosen.MailDomain}}) {
            if (!value->trimmed().isEmpty())
                *field = value->trimmed();
        }
    }
    return chosen;
}

void SendingRun::chooseAccount()
{
    const tAccountObj chosen = accountForRun();
    // The messages name the sender the transport announces.
    if (m_preparer && !(chosen == m_account))
        m_preparer = std::make_unique<MessagePreparer>(m_project, chosen);
    m_account = chosen;
    // Direct delivery does not use the account's server.
    if (m_transport == SendingTransport::Account)
        m_pace.setLimits(m_account.MaxPerMinute, m_account.MaxPerHour);
    else
        m_pace.setLimits(0, 0);
    m_accountTransport->configure(m_account, m_project.settings());
    m_directTransport->configure(m_account, m_directSettingsSet ? m_directSettings
                                                                : DirectSettings::fromProject(m_project.settings()));
}

MessageTransport &SendingRun::transportInUse() const
{
    if (m_transport == SendingTransport::Direct)
        return *m_directTransport;
    return *m_accountTransport;
}

QStringList SendingRun::heldBackCodes() const
{
    return HeldBackCodes(m_project.settings().Codes);
}

bool SendingRun::isRunning() const
{
    switch (m_state) {
    case State::LoggingIn:
    case State::Sending:
    case State::NextPosted:
    case State::SeriesPause:
    case State::PaceWait:
    case State::RetryWait:
    case State::Stopping:
    case State::Closing:
        return true;
    case State::Idle:
    case State::WaitingForSchedule:
    case State::Closed:
        break;
    }
    return false;
}

// ---- Commands ----

RunNotice SendingRun::readiness() const
{
    using Kind = RunNotice::Kind;
    if (!m_usable)
        return {Kind::NoEmailColumn};
    if (m_results.rowCount() == 0 || (m_results.rowCount() == 1 && m_results.addressIsEmpty(0)))
        return {Kind::NoRecipients};
    if (m_transport == SendingTransport::Account) {
        // The account as the run will take it: the project may name
        // another one by now.
        const tAccountObj *account = projectAccount();
        if (!account || account->SMTPServer.trimmed().isEmpty())
            return {Kind::NoSmtpServer};
    } else if (!m_directTransport->relay().isStarted()) {
        // The sender and a DNS server, as the run will take them.
        DirectTransport probe;
        probe.configure(accountForRun(),
                        m_directSettingsSet ? m_directSettings : DirectSettings::fromProject(m_project.settings()));
        if (const QString problem = probe.problem(); !problem.isEmpty())
            return {Kind::DirectUnavailable, {}, problem};
    }
    return {};
}

RunStart SendingRun::sendMail()
{
    if (isRunning() || m_state == State::Closed)
        return {false, {RunNotice::Kind::Busy}};
    m_activeContentTold = false; // told once per run the user starts
    task().Enabled = false;
    series().clearProgress();
    return startRun(false, 0);
}

RunStart SendingRun::resume(int selectedRow)
{
    if (isRunning() || m_state == State::Closed)
        return {false, {RunNotice::Kind::Busy}};
    m_activeContentTold = false; // told once per run the user starts
    task().Enabled = false;
    series().clearProgress();
    return startRun(true, selectedRow);
}

RunStart SendingRun::refuse(const RunNotice &reason)
{
    if (reason.kind != RunNotice::Kind::Busy) {
        emit notice(reason);
        setState(State::Idle);
    }
    return {false, reason};
}

RunStart SendingRun::startRun(bool resume, int selectedRow)
{
    if (const RunNotice problem = readiness(); !problem.isNone())
        return refuse(problem);
    chooseAccount();
    m_stopReason = {};
    m_lastStopReason = {};
    m_connectionFailures = 0;
    m_pauseUntil = 0;
    m_retryQueue.clear();
    m_deferrals.clear();
    m_startTime = now();
    m_endTime = {};
    m_waiting = 0;
    if (!resume)
        m_good = 0;
    m_bad = 0;
    m_invalid = 0;
    m_messagesDone = 0;
    if (!resume) {
        for (int row = 0; row < m_results.rowCount(); ++row)
            m_results.resetRow(row);
    }
    emit countersChanged();

    int start = 0;
    if (resume) {
        if (series().isActive()) {
            if (series().NextRow > 0)
                start = series().NextRow - 1; // NextRow counts from 1
        } else {
            start = selectedRow;
        }
    }
    start = std::clamp(start, 0, m_results.rowCount());

    if (resume)
        takeOverDeferredRows();
    // A resumed run keeps the rows that were sent and the failed rows whose
    // code is held back (their texts stay until they get a new outcome).
    const QStringList heldBack = heldBackCodes();
    for (int row = start; row < m_results.rowCount(); ++row) {
        const RowStatus status = m_results.status(row);
        const bool again = status == RowStatus::Failed || status == RowStatus::InProgress
                           || (status == RowStatus::Unknown && m_resendUnknown);
        if (!resume || (again && !IsHeldBack(m_results.code(row), heldBack)))
            m_results.resetRow(row);
    }
    // A deferred row waits at most the minutes this run is told: a run
    // resumed with a shorter wait tries it sooner.
    const qint64 latest = nowMs() + qint64(retryMinutes()) * 60 * 1000;
    const std::map<int, RowRetry> deferred = m_results.retries();
    for (auto [row, retry] : deferred) {
        if (retry.at > latest) {
            retry.at = latest;
            m_results.setResult(row, text(stDeferredRetryAt).arg(QDateTime::fromMSecsSinceEpoch(latest).toString(
                                         QStringLiteral("hh:mm"))));
            m_results.defer(row, retry);
        }
        m_retryQueue.insert({retry.at, row});
    }
    for (int row = 0; row < m_results.rowCount(); ++row)
        emit rowChanged(row);
    if (m_journal) {
        QString error;
        if (!m_journal->writeSnapshot(m_results, &error))
            return refuse({RunNotice::Kind::CannotRecord, m_journal->path(), error});
    }

    // Pictures that stay plain references are told once, before the first
    // message: the recipients will not see them unless the server has them.
    if (!m_pictureWarningsTold && !m_preparer->pictureWarnings().isEmpty()) {
        m_pictureWarningsTold = true;
        emit notice({RunNotice::Kind::PicturesNotInline, {}, m_preparer->pictureWarnings().join(QLatin1Char('\n'))});
    }

    if (!m_activeContentTold && !m_preparer->removedFromTemplate().isEmpty()) {
        m_activeContentTold = true;
        emit notice({RunNotice::Kind::ActiveContentRemoved, {},
                     RemovedContentText(m_preparer->removedFromTemplate())});
    }

    m_currentRow = start - 1;
    sendNext(); // logs in first when the project asks for it
    return {true, {}};
}

void SendingRun::stop()
{
    if (m_state == State::Closed)
        return;
    transportInUse().cancel();
    m_paceTimer.stop();
    m_retryTimer.stop();
    const State was = m_state;
    task().Enabled = false;
    m_schedule.stopWaiting();
    m_schedule.stopPause();

    switch (was) {
    case State::SeriesPause:
    case State::WaitingForSchedule:
        // Nothing is on the way: the pause or the wait just ends.
        task().RunState = 0;
        setState(State::Idle);
        if (was == State::SeriesPause)
            ended(false);
        break;
    case State::LoggingIn:
    case State::Sending:
    case State::NextPosted:
    case State::PaceWait:
    case State::RetryWait:
        // The session's end (or the step already posted) ends the run.
        setState(State::Stopping);
        if (!sessionsBusy())
            postStep();
        break;
    case State::Stopping:
    case State::Closing:
    case State::Idle:
    case State::Closed:
        break;
    }
    refreshSchedulePanel();
    emit countersChanged();
}

void SendingRun::stopAfterMessagesOnTheWay()
{
    // A wait for the account's pace or a retry may begin while messages
    // are still on the way: they end first.
    const bool waitingForMessages = m_state == State::Sending || m_state == State::NextPosted
                                    || m_state == State::PaceWait || m_state == State::RetryWait;
    if (m_inFlight.empty() || !waitingForMessages) {
        stop();
        return;
    }
    m_paceTimer.stop();
    m_retryTimer.stop();
    task().Enabled = false;
    m_schedule.stopWaiting();
    m_schedule.stopPause();
    setState(State::Stopping);
    refreshSchedulePanel();
    emit countersChanged();
}

bool SendingRun::requestClose()
{
    if (m_state == State::Closed)
        return true;
    if (sessionsBusy() || m_state == State::NextPosted || m_state == State::Stopping
        || m_state == State::PaceWait || m_state == State::RetryWait) {
        stop();
        setState(State::Closing);
        return false;
    }
    stop();
    m_accountTransport->close();
    m_directTransport->close();
    setState(State::Closed);
    return true;
}

void SendingRun::scheduleEdited()
{
    if (isRunning() || m_state == State::Closed)
        return;
    m_schedule.stopWaiting();
    if (task().Enabled) {
        m_schedule.startCountdown(5);
        setState(State::WaitingForSchedule);
    } else if (m_state == State::WaitingForSchedule) {
        setState(State::Idle);
    }
    refreshSchedulePanel();
}

void SendingRun::setRowStatusOk(int row)
{
    if (row < 0 || row >= m_results.rowCount() || m_results.status(row) == RowStatus::InProgress)
        return;
    m_results.setStatus(row, RowStatus::Sent);
    rowFinished(row);
}

void SendingRun::setRowStatusNo(int row)
{
    if (row < 0 || row >= m_results.rowCount() || m_results.status(row) == RowStatus::InProgress)
        return;
    m_results.setStatus(row, RowStatus::Failed);
    rowFinished(row);
}

// ---- Handing out the rows ----

void SendingRun::postStep()
{
    // A step runs after the handler that posted it, never inside a
    // session's signal. One that finds the run moved on does nothing, so a
    // step posted twice is harmless.
    if (m_state == State::Sending || m_state == State::LoggingIn)
        setState(State::NextPosted);
    QMetaObject::invokeMethod(this, &SendingRun::step, Qt::QueuedConnection);
}

void SendingRun::step()
{
    switch (m_state) {
    case State::NextPosted:
        sendNext();
        break;
    case State::Stopping:
    case State::Closing:
        // A session still ending posts the step again when it is done.
        if (!sessionsBusy())
            endAborted();
        break;
    default:
        break;
    }
}

void SendingRun::sendNext()
{
    MessageTransport &transport = transportInUse();
    // One message at a time: the session's end posts the next step.
    if (transport.capacity() == 1 && sessionsBusy())
        return;

    if (transport.loginDue()) {
        logIn();
        return;
    }

    while (int(m_inFlight.size()) < transport.capacity()) {
        if ((m_currentRow + 1 < m_results.rowCount() || !m_retryQueue.empty()) && series().batchFull()) {
            if (m_waiting == 0) {
                // NextRow counts from 1: the row after the current one.
                m_schedule.beginPause(m_currentRow + 2);
                setState(State::SeriesPause);
            }
            refreshSchedulePanel();
            emit countersChanged();
            return;
        }

        PreparedMessage message;
        bool found = false;
        for (int row = m_currentRow + 1; row < m_results.rowCount(); ++row) {
            if (m_state == State::Stopping) { // a row's outcome could not be recorded
                if (!sessionsBusy())
                    endAborted();
                return;
            }
            m_currentRow = row;
            // Sent rows and rows whose outcome is unknown keep what they have.
            const RowStatus status = m_results.status(row);
            if (status != RowStatus::NotProcessed && status != RowStatus::Failed)
                continue;
            if (!addressValid(row)) {
                markErrorEmail(row);
                continue;
            }
            if (waitForPause(row) || waitForPace(row))
                return;
            if (prepareRow(row, message)) {
                found = true;
                break;
            }
        }
        if (m_state == State::Stopping) {
            if (!sessionsBusy())
                endAborted();
            return;
        }
        // The rows still to send went first; then the deferred rows, each
        // when its time has come.
        while (!found && !m_retryQueue.empty()) {
            const auto [at, row] = *m_retryQueue.begin();
            if (m_results.status(row) != RowStatus::Deferred) { // marked by hand meanwhile
                m_retryQueue.erase(m_retryQueue.begin());
                continue;
            }
            if (at > nowMs()) {
                waitForRetry(at);
                return;
            }
            if (waitForPause(-1) || waitForPace(-1))
                return;
            m_retryQueue.erase(m_retryQueue.begin());
            const int deferrals = m_results.retry(row).value_or(RowRetry{}).deferrals;
            if (prepareRow(row, message)) {
                m_deferrals[row] = deferrals;
                found = true;
                break;
            }
            if (m_state == State::Stopping) {
                if (!sessionsBusy())
                    endAborted();
                return;
            }
        }
        if (!found) {
            // The list is done once the last message on the way is, and no
            // row is left to try again.
            if (m_inFlight.empty())
                finishList();
            else
                setState(State::Sending);
            return;
        }

        const int row = message.row;
        m_results.setStatus(row, RowStatus::InProgress);
        m_results.setResult(row, m_transport == SendingTransport::Direct ? text(stSendingWaitingAck)
                                                                         : m_sendingResult);
        emit rowChanged(row);
        ++m_waiting;
        series().countHandedOut();
        m_inFlight.insert(row);
        setState(State::Sending);
        emit countersChanged();
        if (m_transport == SendingTransport::Account)
            m_pace.record(paceClock());
        transport.send(std::move(message));
    }
}

// The row's message; false when it cannot be made (its merged text is too
// large), and the row is marked failed.
bool SendingRun::prepareRow(int row, PreparedMessage &message)
{
    message = m_preparer->prepare(row, now());
    if (message.error.isEmpty())
        return true;
    ++m_bad;
    markFailed(row, message.error);
    emit countersChanged();
    return false;
}

bool SendingRun::waitForPace(int row)
{
    if (m_transport != SendingTransport::Account || !m_pace.isLimited())
        return false;
    const qint64 now = paceClock();
    const qint64 wait = m_pace.nextAllowed(now) - now;
    if (wait <= 0)
        return false;
    // The row goes once the wait is over; the rows before it are done.
    if (row >= 0)
        m_currentRow = row - 1;
    m_paceUntil = (m_clock ? m_clock() : QDateTime::currentDateTime()).addMSecs(wait);
    // At most an hour: one single shot, set again if it fired early.
    m_paceTimer.start(int(wait));
    setState(State::PaceWait);
    refreshSchedulePanel();
    emit countersChanged();
    return true;
}

void SendingRun::paceTimerFired()
{
    m_paceTimer.stop();
    if (m_state != State::PaceWait)
        return;
    setState(State::NextPosted);
    refreshSchedulePanel();
    step();
}

bool SendingRun::waitForPause(int row)
{
    if (m_pauseUntil == 0)
        return false;
    if (nowMs() >= m_pauseUntil) {
        m_pauseUntil = 0;
        return false;
    }
    // As for the account's limit: the row goes once the pause is over.
    if (row >= 0)
        m_currentRow = row - 1;
    waitForRetry(m_pauseUntil);
    return true;
}

void SendingRun::waitForRetry(qint64 at)
{
    // The answers of the messages on the way bring the run back here.
    if (!m_inFlight.empty()) {
        setState(State::Sending);
        return;
    }
    const qint64 wait = std::clamp<qint64>(at - nowMs(), 0, INT_MAX);
    m_retryUntil = QDateTime::fromMSecsSinceEpoch(at);
    m_retryTimer.start(int(wait));
    setState(State::RetryWait);
    refreshSchedulePanel();
    emit countersChanged();
}

void SendingRun::retryTimerFired()
{
    m_retryTimer.stop();
    if (m_state != State::RetryWait)
        return;
    // Fired early (a coarse timer, a clock that moved): wait for the rest.
    if (const qint64 left = m_retryUntil.toMSecsSinceEpoch() - nowMs(); left > 0) {
        m_retryTimer.start(int(std::min<qint64>(left, INT_MAX)));
        return;
    }
    setState(State::NextPosted);
    refreshSchedulePanel();
    step();
}

bool SendingRun::isTemporary(const MessageOutcome &outcome)
{
    switch (outcome.kind) {
    case MessageOutcome::Kind::Refused:
        return outcome.code >= 400 && outcome.code <= 499;
    case MessageOutcome::Kind::Failed:
        // The connection failed before the message went out whole: had its
        // "." gone out, the outcome would be unknown.
        return outcome.connectionFailure;
    case MessageOutcome::Kind::Accepted:
    case MessageOutcome::Kind::Cancelled:
    case MessageOutcome::Kind::Unknown:
        break;
    }
    return false;
}

void SendingRun::deferRow(int row, const MessageOutcome &outcome, int deferrals)
{
    const QDateTime at = now().addSecs(qint64(retryMinutes()) * 60);
    m_results.setState(row, QString());
    m_results.setResult(row, text(stDeferredRetryAt).arg(at.toString(QStringLiteral("hh:mm"))));
    m_results.setCode(row, outcome.code > 0 ? QString::number(outcome.code) : QString());
    m_results.setComment(row, outcome.text);
    m_results.defer(row, {at.toMSecsSinceEpoch(), deferrals});
    m_retryQueue.insert({at.toMSecsSinceEpoch(), row});
}

void SendingRun::takeOverDeferredRows()
{
    if (retryCount() > 0)
        return; // they wait in the queue for their time
    // Retries are off: a deferred row's last reply is its outcome. From the
    // start row on it is sent again, as a failed row is.
    std::vector<int> rows;
    for (const auto &[row, retry] : m_results.retries())
        rows.push_back(row);
    for (const int row : rows) {
        m_results.setState(row, text(stNo));
        m_results.setResult(row, QString());
        m_results.setStatus(row, RowStatus::Failed);
    }
}

void SendingRun::markFailed(int row, const QString &comment)
{
    m_results.setState(row, text(stNo));
    m_results.setResult(row, QString());
    m_results.setComment(row, comment);
    m_results.setStatus(row, RowStatus::Failed);
    writeLog([&] { return SendLog::failedRecord(m_results.address(row), text(stNo), comment); });
    rowFinished(row);
}

void SendingRun::markErrorEmail(int row)
{
    ++m_invalid;
    m_results.setStatus(row, RowStatus::Failed);
    m_results.setResult(row, text(stErrorEmail));
    writeLog([&] { return SendLog::failedRecord(m_results.address(row), text(stNo), text(stErrorEmail)); });
    rowFinished(row);
}

void SendingRun::finishList()
{
    transportInUse().close();
    if (m_log->isEnabled())
        m_log->startNewRun();
    if (task().Enabled) {
        m_schedule.stopWaiting();
        task().MarkRunDone(m_project.settingsFile(), now());
    }
    m_schedule.stopPause();
    task().RunState = 0;
    setState(State::Idle);
    refreshSchedulePanel();
    emit countersChanged();
    RunNotice completed(RunNotice::Kind::Completed);
    completed.sent = m_good;
    completed.failed = m_bad;
    completed.invalid = m_invalid;
    emit notice(completed);
    ended(true);
}

void SendingRun::endAborted()
{
    transportInUse().close();
    refreshSchedulePanel();
    if (m_state == State::Closing) {
        setState(State::Closed);
        ended(false);
        emit closed();
        return;
    }
    m_lastStopReason = m_stopReason;
    m_stopReason = {};
    emit notice(m_lastStopReason.isNone() ? RunNotice{RunNotice::Kind::Aborted} : m_lastStopReason);
    setState(State::Idle);
    ended(false);
}

void SendingRun::onServerWords(int row, const QString &words)
{
    if (!m_inFlight.contains(row))
        return;
    m_results.setComment(row, words);
    emit rowChanged(row);
}

void SendingRun::onMessageDone(const MessageOutcome &outcome)
{
    const int row = outcome.row;
    if (m_inFlight.erase(row) == 0)
        return;
    --m_waiting;
    ++m_messagesDone;
    const auto retried = m_deferrals.extract(row);
    const int deferrals = retried.empty() ? 0 : retried.mapped();

    const bool retrying = retryCount() > 0;
    // A 421 from the account's server: it closes the connection and wants
    // a break. (An exchanger of direct delivery speaks only for itself.)
    if (retrying && !outcome.relayError && outcome.kind == MessageOutcome::Kind::Refused && outcome.code == 421)
        m_pauseUntil = std::max(m_pauseUntil, now().addSecs(qint64(retryMinutes()) * 60).toMSecsSinceEpoch());
    const bool defer = retrying && isTemporary(outcome) && deferrals < retryCount();
    if (defer || (outcome.kind == MessageOutcome::Kind::Cancelled && deferrals > 0)) {
        if (defer) {
            deferRow(row, outcome, deferrals + 1);
        } else {
            // "Stop" took back a retry before it went out: it stays
            // deferred with the tries it had, due at once.
            m_results.setStatus(row, RowStatus::Deferred);
            m_results.setResult(row, text(stDeferredRetryAt).arg(now().toString(QStringLiteral("hh:mm"))));
            m_results.defer(row, {nowMs(), deferrals});
            m_retryQueue.insert({nowMs(), row});
        }
        if (!outcome.relayError) {
            if (outcome.connectionFailure)
                ++m_connectionFailures;
            else if (outcome.kind == MessageOutcome::Kind::Refused)
                m_connectionFailures = 0;
        }
        rowFinished(row);
        emit countersChanged();
        stopIfServerNotAnswering(outcome.text);
        postStep();
        return;
    }

    if (outcome.relayError && outcome.kind != MessageOutcome::Kind::Cancelled
        && outcome.kind != MessageOutcome::Kind::Unknown) {
        markDirectOutcome(row, outcome);
        rowFinished(row);
        emit countersChanged();
        postStep();
        return;
    }
    switch (outcome.kind) {
    case MessageOutcome::Kind::Accepted:
        ++m_good;
        m_results.setState(row, text(stOk));
        m_results.setResult(row, text(stSentThroughIsp));
        m_results.setCode(row, QString());
        m_results.setComment(row, QString());
        m_results.setStatus(row, RowStatus::Sent);
        writeLog([&] { return SendLog::acceptedRecord(m_results.address(row), QStringLiteral("Ok")); });
        break;
    case MessageOutcome::Kind::Unknown:
        // The message went out whole and no answer came: the server may
        // have taken it, so it is never counted as unsent.
        m_results.setState(row, QString());
        m_results.setResult(row, text(stOutcomeUnknown));
        m_results.setComment(row, outcome.text.isEmpty()
                                      ? text(stNoAnswerAfterData)
                                      : outcome.text + QStringLiteral(" - ") + text(stNoAnswerAfterData));
        m_results.setStatus(row, RowStatus::Unknown);
        writeLog([&] { return SendLog::failedRecord(m_results.address(row), text(stOutcomeUnknown), outcome.text); });
        break;
    case MessageOutcome::Kind::Cancelled:
        // "Stop" took it back before it went out whole: it is sent on
        // resuming, and nobody refused it.
        m_results.setState(row, QString());
        m_results.setResult(row, text(stAbortedByUser));
        m_results.setCode(row, QString());
        m_results.setComment(row, QString());
        m_results.setStatus(row, RowStatus::NotProcessed);
        break;
    case MessageOutcome::Kind::Refused:
    case MessageOutcome::Kind::Failed:
        ++m_bad;
        m_results.setState(row, text(stNo));
        if (!outcome.text.isEmpty()) {
            m_results.setResult(row, QString());
            m_results.setComment(row, outcome.text);
            m_results.setCode(row, outcome.code > 0 ? QString::number(outcome.code) : QString());
            writeLog([&] { return SendLog::failedRecord(m_results.address(row), text(stNo), outcome.text); });
        }
        m_results.setStatus(row, RowStatus::Failed);
        break;
    }
    // Direct delivery meets many exchangers: one that fails says nothing
    // about the next.
    if (!outcome.relayError) {
        if (outcome.connectionFailure)
            ++m_connectionFailures;
        else if (outcome.kind == MessageOutcome::Kind::Accepted || outcome.kind == MessageOutcome::Kind::Refused)
            m_connectionFailures = 0;
    }
    rowFinished(row);
    emit countersChanged();
    stopIfServerNotAnswering(outcome.text);
    postStep();
}

// Messages in a row that met no server stop the run; those still waiting
// for a connection are taken back (they were never named to a server).
void SendingRun::stopIfServerNotAnswering(const QString &lastText)
{
    if (m_connectionFailures < kMaxConnectionFailures)
        return;
    stopWithReason({RunNotice::Kind::ServerNotAnswering, m_accountTransport->serverName(), lastText,
                    m_connectionFailures});
    transportInUse().cancel();
}

void SendingRun::ended(bool completed)
{
    m_endTime = now();
    emit countersChanged();
    emit runFinished(completed);
}

void SendingRun::onSessionEnded()
{
    if ((m_state == State::Stopping || m_state == State::Closing) && !sessionsBusy())
        postStep();
}

// ---- POP3 log-in ----

void SendingRun::logIn()
{
    setState(State::LoggingIn);
    setSchedulePanel(SchedulePanel::Verification);
    m_accountTransport->login();
}

void SendingRun::onLoggedIn()
{
    // The next step sends; a stop meanwhile ends the run instead.
    if (m_state == State::LoggingIn || m_state == State::Stopping || m_state == State::Closing)
        postStep();
    refreshSchedulePanel();
}

void SendingRun::onLoginFailed(const QString &errorText)
{
    if (m_state == State::Stopping || m_state == State::Closing) {
        postStep();
        return;
    }
    if (m_state != State::LoggingIn)
        return;
    emit notice({RunNotice::Kind::LoginFailed, {}, errorText});
    setState(State::Idle);
    refreshSchedulePanel();
    ended(false);
}

// ---- Timers ----

void SendingRun::suspendSchedule()
{
    m_schedule.suspend();
}

void SendingRun::resumeSchedule()
{
    m_schedule.resume();
}

// ---- Helpers ----

void SendingRun::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

void SendingRun::setSchedulePanel(SchedulePanel panel)
{
    if (m_schedulePanel == panel)
        return;
    m_schedulePanel = panel;
    emit schedulePanelChanged();
}

void SendingRun::refreshSchedulePanel()
{
    if (m_state == State::LoggingIn)
        setSchedulePanel(SchedulePanel::Verification);
    else if (m_state == State::PaceWait)
        setSchedulePanel(SchedulePanel::WaitingAccountLimit);
    else if (m_state == State::RetryWait)
        setSchedulePanel(m_pauseUntil > 0 ? SchedulePanel::ServerPause : SchedulePanel::WaitingRetry);
    else if (task().RunState == TTaskObj::RunStateSeriesWait)
        setSchedulePanel(SchedulePanel::WaitingNextInterval);
    else if (!task().Enabled)
        setSchedulePanel(SchedulePanel::Empty);
    else
        setSchedulePanel(SchedulePanel::ScheduleMailing);
}

qint64 SendingRun::scheduleSecondsLeft() const
{
    return m_schedule.isCountingDown() ? std::max<qint64>(m_schedule.secondsLeft(), 0) : -1;
}

void SendingRun::rowFinished(int row)
{
    QString error;
    if (m_journal && !m_journal->appendRow(m_results, row, &error))
        recordingFailed(error);
    emit rowChanged(row);
}

bool SendingRun::messageInFlight(int row)
{
    QString error;
    if (!m_journal || m_journal->appendRow(m_results, row, &error))
        return true;
    recordingFailed(error);
    return false;
}

void SendingRun::recordingFailed(const QString &error)
{
    const RunNotice reason{RunNotice::Kind::CannotRecord, m_journal->path(), error};
    if (isRunning())
        stopWithReason(reason);
    else
        emit notice(reason);
}

void SendingRun::stopWithReason(const RunNotice &reason)
{
    if (m_stopReason.isNone())
        m_stopReason = reason;
    if (m_state != State::Closing)
        setState(State::Stopping);
}

void SendingRun::writeLog(const std::function<QString()> &record)
{
    // With "Create log file" off nothing is formatted at all.
    if (!m_log->isEnabled())
        return;
    QString error;
    if (!m_log->WriteLine(record(), now(), &error)) {
        if (!error.isEmpty())
            emit logFailed(error);
        return;
    }
    m_project.settings().LogFile = m_log->path();
}

bool SendingRun::sessionsBusy() const
{
    return m_accountTransport->isBusy() || m_directTransport->isBusy();
}

// The direct transport's result texts: the reply code when the result is a
// socket error whose last reply names one, and a text for each kind of
// failure.
void SendingRun::markDirectOutcome(int row, const MessageOutcome &outcome)
{
    const int e = *outcome.relayError;
    int c = e;
    if (e > 1000) {
        const QString comment = outcome.text;
        const qsizetype blank = comment.indexOf(QLatin1Char(' '));
        bool ok = false;
        const int code = blank >= 1 && blank <= 4 ? comment.left(blank).trimmed().toInt(&ok) : 0;
        if (ok && code >= 1 && code <= 999)
            c = code;
    }
    if (c == 0) {
        ++m_good;
        m_results.setState(row, text(stOk));
        m_results.setResult(row, text(stDeliveredAvailable));
        m_results.setCode(row, QString());
        m_results.setComment(row, QString());
        m_results.setStatus(row, RowStatus::Sent);
        writeLog([&] { return SendLog::acceptedRecord(m_results.address(row), text(stOk)); });
        return;
    }
    QString why;
    switch (c) {
    case RelayError::DnsSilent: why = text(stDnsNotResponding); break;
    case RelayError::Aborted: why = text(stAbortedByUser); break;
    case RelayError::DataFailed: why = text(stCouldNotPerform) + QStringLiteral(": DATA"); break;
    case RelayError::QuitFailed: why = text(stCouldNotPerform) + QStringLiteral(": QUIT"); break;
    case RelayError::MailFromFailed: why = text(stCouldNotPerform) + QStringLiteral(": MAILFROM"); break;
    case RelayError::RcptFailed: why = text(stCouldNotPerform) + QStringLiteral(": RCPT"); break;
    case RelayError::OpenFailed: why = text(stCouldNotPerform) + QStringLiteral(": OPEN"); break;
    case RelayError::TimedOut: why = text(stTimeOut); break;
    case RelayError::NoHost: why = text(stInvalidDns); break;
    case 550: why = text(stMailboxUnavailable); break;
    case 551: why = text(stUserNotLocal); break;
    case 552: why = text(stExceededStorage); break;
    case 554: why = text(stTransactionFailed); break;
    default:
        why = c <= 0 ? QStringLiteral("Error %1").arg(e) : text(stRecipientServerError) + QStringLiteral(" %1").arg(e);
        break;
    }
    ++m_bad;
    m_results.setCode(row, QString::number(c));
    m_results.setComment(row, outcome.text);
    m_results.setStatus(row, RowStatus::Failed);
    m_results.setState(row, text(stNo));
    m_results.setResult(row, text(stFailed) + QStringLiteral(": ") + why);
    writeLog([&] { return SendLog::failedRecord(m_results.address(row), text(stNo), m_results.result(row)); });
}

bool SendingRun::addressValid(int row) const
{
    return IsSendableAddress(m_results.address(row));
}

} // namespace varnholt
