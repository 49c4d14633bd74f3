#include "sending/sendingrun.h"

#include "project/project.h"
#include "sending/recipientaddress.h"

#include <QTime>

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
    };
    return texts;
}

namespace {

// After this many messages in a row that failed on the connection, the run
// stops instead of costing a time-out per row for the rest of the list.
constexpr int kMaxConnectionFailures = 5;

QString durationText(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

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
    } else {
        // Told once the observers are connected.
        QMetaObject::invokeMethod(
            this,
            [this] {
                emit messageToUser(text(stDefineEmailColumn), text(stInfo), UserMessageIcon::Information);
            },
            Qt::QueuedConnection);
    }

    m_accountTransport->setBeforeCommit([this] { return messageInFlight(); });
    connect(m_accountTransport.get(), &MessageTransport::serverWords, this, &SendingRun::onServerWords);
    connect(m_accountTransport.get(), &MessageTransport::messageDone, this, &SendingRun::onMessageDone);
    connect(m_accountTransport.get(), &MessageTransport::loggedIn, this, &SendingRun::onLoggedIn);
    connect(m_accountTransport.get(), &MessageTransport::loginFailed, this, &SendingRun::onLoginFailed);
    connect(m_accountTransport.get(), &MessageTransport::sessionEnded, this, &SendingRun::onSessionEnded);

    m_log->setEnabled(project.settings().CreateLog);

    connect(&m_schedule, &RunSchedule::due, this, [this] {
        if (!isRunning())
            startRun(true, 0);
    });
    connect(&m_schedule, &RunSchedule::pauseOver, this, [this] {
        if (m_state == State::SeriesPause)
            startRun(true, 0);
    });
    connect(&m_schedule, &RunSchedule::countdownChanged, this, &SendingRun::refreshScheduleText);

    const QString projectFile = project.settingsFile();
    m_schedule.load(projectFile);
    if (m_usable && task().Enabled) {
        m_schedule.startCountdown(60);
        setState(State::WaitingForSchedule);
    }
    refreshScheduleText();
}

SendingRun::~SendingRun()
{
    // The transport's sessions end with it: nothing more reaches this
    // half-destroyed object.
    disconnect(m_accountTransport.get(), nullptr, this, nullptr);
}

void SendingRun::setTexts(const QStringList &texts)
{
    for (int i = 0; i < std::min(texts.size(), m_texts.size()); ++i) {
        if (!texts.at(i).isEmpty())
            m_texts[i] = texts.at(i);
    }
    m_sendingResult = text(stSendingThroughIsp) + QStringLiteral(" ...");
    refreshScheduleText();
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
    m_bad = m_results.count(RowStatus::Failed);
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

void SendingRun::chooseAccount()
{
    int index = m_project.settings().NConnect;
    if (index < 0 || index >= m_accounts.count())
        index = 0;
    const tAccountObj *account = m_accounts.item(index);
    m_account = account ? *account : tAccountObj();
    m_accountTransport->configure(m_account, m_project.settings());
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

RunStart SendingRun::sendMail()
{
    if (isRunning() || m_state == State::Closed)
        return {false, QStringLiteral("a run is already going on")};
    task().Enabled = false;
    series().clearProgress();
    return startRun(false, 0);
}

RunStart SendingRun::resume(int selectedRow)
{
    if (isRunning() || m_state == State::Closed)
        return {false, QStringLiteral("a run is already going on")};
    task().Enabled = false;
    series().clearProgress();
    return startRun(true, selectedRow);
}

RunStart SendingRun::refuse(const QString &reason, const QString &caption, UserMessageIcon icon)
{
    emit messageToUser(reason, caption, icon);
    setState(State::Idle);
    return {false, reason};
}

RunStart SendingRun::startRun(bool resume, int selectedRow)
{
    if (!m_usable)
        return refuse(text(stDefineEmailColumn), text(stInfo), UserMessageIcon::Information);
    if (m_results.rowCount() == 1 && m_results.addressIsEmpty(0))
        return refuse(text(stFillRecipientList), text(stInfo), UserMessageIcon::Information);
    chooseAccount();
    m_stopReason.clear();
    m_lastStopReason.clear();
    m_connectionFailures = 0;
    m_startTime = now();
    m_waiting = 0;
    if (!resume)
        m_good = 0;
    m_bad = 0;
    if (!resume) {
        for (int row = 0; row < m_results.rowCount(); ++row)
            m_results.resetRow(row);
    }
    emit countersChanged();

    if (m_transport == SendingTransport::Account)
        return startAccountRun(resume, selectedRow);
    return startDirectRun(resume, selectedRow);
}

RunStart SendingRun::startAccountRun(bool resume, int selectedRow)
{
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
    for (int row = 0; row < m_results.rowCount(); ++row)
        emit rowChanged(row);
    if (m_journal) {
        QString error;
        if (!m_journal->writeSnapshot(m_results, &error))
            return refuse(text(stCannotRecord).arg(m_journal->path(), error), text(stAttention),
                          UserMessageIcon::Error);
    }

    // Pictures that stay plain references are told once, before the first
    // message: the recipients will not see them unless the server has them.
    if (!m_pictureWarningsTold && !m_preparer->pictureWarnings().isEmpty()) {
        m_pictureWarningsTold = true;
        emit messageToUser(text(stPicturesNotInline) + QStringLiteral("\n")
                               + m_preparer->pictureWarnings().join(QLatin1Char('\n')),
                           text(stAttention), UserMessageIcon::Information);
    }

    m_currentRow = start - 1;
    sendNext(); // logs in first when the project asks for it
    return {true, {}};
}

RunStart SendingRun::startDirectRun(bool resume, int selectedRow)
{
    // Direct delivery to the recipients' mail exchangers (the relay
    // coordinator) plugs in here: it takes the considered rows as a batch
    // and reports each recipient back. Until it exists the run ends at
    // once, as when the coordinator refuses to start.
    Q_UNUSED(resume);
    Q_UNUSED(selectedRow);
    const QString reason = QStringLiteral("Direct delivery is not available; send through the account.");
    emit messageToUser(reason, text(stAttention), UserMessageIcon::Error);
    setState(State::Idle);
    emit runFinished(false);
    return {false, reason};
}

void SendingRun::stop()
{
    if (m_state == State::Closed)
        return;
    m_accountTransport->cancel();
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
            emit runFinished(false);
        break;
    case State::LoggingIn:
    case State::Sending:
    case State::NextPosted:
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
    refreshScheduleText();
    emit countersChanged();
}

bool SendingRun::requestClose()
{
    if (m_state == State::Closed)
        return true;
    if (sessionsBusy() || m_state == State::NextPosted || m_state == State::Stopping) {
        stop();
        setState(State::Closing);
        return false;
    }
    stop();
    m_accountTransport->close();
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
    refreshScheduleText();
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

// ---- The account transport ----

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
    // The session's end posts the next step.
    if (sessionsBusy())
        return;

    if (m_accountTransport->loginDue()) {
        logIn();
        return;
    }

    if (m_currentRow + 1 < m_results.rowCount() && series().batchFull()) {
        if (m_waiting == 0) {
            // NextRow counts from 1: the row after the current one.
            m_schedule.beginPause(m_currentRow + 2);
            setState(State::SeriesPause);
        }
        refreshScheduleText();
        emit countersChanged();
        return;
    }

    PreparedMessage message;
    for (int row = m_currentRow + 1;; ++row) {
        if (m_state == State::Stopping) { // a row's outcome could not be recorded
            endAborted();
            return;
        }
        if (row >= m_results.rowCount()) {
            finishList();
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
        message = m_preparer->prepare(row, now());
        if (message.error.isEmpty())
            break;
        ++m_bad;
        markFailed(row, message.error);
        emit countersChanged();
    }

    const int row = m_currentRow;
    m_results.setStatus(row, RowStatus::InProgress);
    m_results.setResult(row, m_sendingResult);
    emit rowChanged(row);
    ++m_waiting;
    series().countHandedOut();
    m_handedOver = true;
    setState(State::Sending);
    emit countersChanged();
    m_accountTransport->send(std::move(message));
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
    m_results.setStatus(row, RowStatus::Failed);
    m_results.setResult(row, text(stErrorEmail));
    writeLog([&] { return SendLog::failedRecord(m_results.address(row), text(stNo), text(stErrorEmail)); });
    rowFinished(row);
}

void SendingRun::finishList()
{
    m_accountTransport->close();
    if (m_log->isEnabled())
        m_log->startNewRun();
    if (task().Enabled) {
        m_schedule.stopWaiting();
        task().MarkRunDone(m_project.settingsFile(), now());
    }
    m_schedule.stopPause();
    task().RunState = 0;
    setState(State::Idle);
    refreshScheduleText();
    emit countersChanged();
    emit messageToUser(text(stProcessCompleted), text(stCompleted), UserMessageIcon::Information);
    emit runFinished(true);
}

void SendingRun::endAborted()
{
    m_accountTransport->close();
    refreshScheduleText();
    if (m_state == State::Closing) {
        setState(State::Closed);
        emit runFinished(false);
        emit closed();
        return;
    }
    m_lastStopReason = m_stopReason;
    m_stopReason.clear();
    if (m_lastStopReason.isEmpty())
        emit messageToUser(text(stAborted), text(stAttention), UserMessageIcon::Information);
    else
        emit messageToUser(m_lastStopReason, text(stAttention), UserMessageIcon::Error);
    setState(State::Idle);
    emit runFinished(false);
}

void SendingRun::onServerWords(const QString &words)
{
    if (!m_handedOver || m_currentRow < 0 || m_currentRow >= m_results.rowCount())
        return;
    m_results.setComment(m_currentRow, words);
    emit rowChanged(m_currentRow);
}

void SendingRun::onMessageDone(const MessageOutcome &outcome)
{
    if (!m_handedOver)
        return;
    const int row = m_currentRow;
    m_handedOver = false;
    --m_waiting;

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
    if (outcome.connectionFailure)
        ++m_connectionFailures;
    else if (outcome.kind == MessageOutcome::Kind::Accepted || outcome.kind == MessageOutcome::Kind::Refused)
        m_connectionFailures = 0;
    rowFinished(row);
    emit countersChanged();
    if (m_connectionFailures >= kMaxConnectionFailures)
        stopWithReason(text(stServerNotAnswering)
                           .arg(m_accountTransport->serverName())
                           .arg(m_connectionFailures)
                           .arg(outcome.text));
    postStep();
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
    setScheduleText(text(stVerification));
    m_accountTransport->login();
}

void SendingRun::onLoggedIn()
{
    // The next step sends; a stop meanwhile ends the run instead.
    if (m_state == State::LoggingIn || m_state == State::Stopping || m_state == State::Closing)
        postStep();
    refreshScheduleText();
}

void SendingRun::onLoginFailed(const QString &errorText)
{
    if (m_state == State::Stopping || m_state == State::Closing) {
        postStep();
        return;
    }
    if (m_state != State::LoggingIn)
        return;
    emit messageToUser(errorText, text(stInfo), UserMessageIcon::Information);
    setState(State::Idle);
    refreshScheduleText();
    emit runFinished(false);
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

void SendingRun::setScheduleText(const QString &panel)
{
    if (m_scheduleText == panel)
        return;
    m_scheduleText = panel;
    emit scheduleTextChanged(panel);
}

void SendingRun::refreshScheduleText()
{
    if (m_state == State::LoggingIn)
        setScheduleText(text(stVerification));
    else if (task().RunState == TTaskObj::RunStateSeriesWait)
        setScheduleText(text(stWaitingNextInterval));
    else if (!task().Enabled)
        setScheduleText(QString());
    else if (m_schedule.isCountingDown())
        setScheduleText(text(stScheduleMailing) + QStringLiteral(" (") + durationText(m_schedule.secondsLeft())
                        + QLatin1Char(')'));
    else
        setScheduleText(text(stScheduleMailing));
}

QStringList SendingRun::statusPanels() const
{
    const QString elapsed = m_startTime.isValid() ? durationText(m_startTime.secsTo(now())) : QString();
    const auto panel = [this](int index, const QString &value) {
        return text(index) + QStringLiteral(": ") + value;
    };
    return {panel(stElapsed, elapsed),
            panel(stTotal, QString::number(m_results.rowCount())),
            panel(stWaiting, QString::number(m_waiting)),
            panel(stGood, QString::number(m_good)),
            panel(stBad, QString::number(m_bad)),
            m_scheduleText};
}

void SendingRun::rowFinished(int row)
{
    QString error;
    if (m_journal && !m_journal->appendRow(m_results, row, &error))
        recordingFailed(error);
    emit rowChanged(row);
}

bool SendingRun::messageInFlight()
{
    QString error;
    if (!m_journal || m_journal->appendRow(m_results, m_currentRow, &error))
        return true;
    recordingFailed(error);
    return false;
}

void SendingRun::recordingFailed(const QString &error)
{
    const QString reason = text(stCannotRecord).arg(m_journal->path(), error);
    if (isRunning())
        stopWithReason(reason);
    else
        emit messageToUser(reason, text(stAttention), UserMessageIcon::Error);
}

void SendingRun::stopWithReason(const QString &reason)
{
    if (m_stopReason.isEmpty())
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
    return m_accountTransport->isBusy();
}

bool SendingRun::addressValid(int row) const
{
    return IsSendableAddress(m_results.address(row));
}

} // namespace varnholt
