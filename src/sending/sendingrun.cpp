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

TransportSecurity transportSecurityOf(AccountSecurity security)
{
    switch (security) {
    case AccountSecurity::StartTls: return TransportSecurity::StartTls;
    case AccountSecurity::Tls: return TransportSecurity::Tls;
    case AccountSecurity::None: break;
    }
    return TransportSecurity::None;
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

    m_smtp.setKeepConnectionOpen(true);
    connect(&m_smtp, &SendMail::OnMailInfo, this, &SendingRun::onSmtpInfo);
    connect(&m_smtp, &SendMail::OnMailError, this, &SendingRun::onSmtpError);
    connect(&m_smtp, &SendMail::OnDone, this, &SendingRun::onSmtpDone);
    connect(&m_pop3, &GetMail::OnMailInfo, this, &SendingRun::onPopInfo);
    connect(&m_pop3, &GetMail::OnMailError, this, &SendingRun::onPopError);
    connect(&m_pop3, &GetMail::OnDone, this, &SendingRun::onPopDone);
    m_smtp.setBeforeFinalDot([this] { return messageInFlight(); });

    m_log->setEnabled(project.settings().CreateLog);

    m_reloginTimer.setSingleShot(true);
    connect(&m_reloginTimer, &QTimer::timeout, this, &SendingRun::reloginTimerFired);
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
    // The sessions are members: closing them here sends nothing more to
    // this half-destroyed object.
    disconnect(&m_smtp, nullptr, this, nullptr);
    disconnect(&m_pop3, nullptr, this, nullptr);
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
    m_smtpSettings = SmtpSessionSettings::from(m_account, m_project.settings());
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
    if (m_project.settings().Pop3Identify)
        popLogin();
    else
        sendNext();
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
    if (m_pop3.Busy())
        m_pop3.setMail_Action(GetMail::Cancel_GetMail);
    if (m_smtp.Busy())
        m_smtp.setAction(SendMail::Cancel_SendMail);
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
    m_reloginTimer.stop();
    m_smtp.setAction(SendMail::Cancel_SendMail); // ends a kept connection
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
    if (m_smtp.Busy() || m_pop3.Busy())
        return;

    const TIniInfo &settings = m_project.settings();
    if (settings.AutoCommit && settings.AutoCommitT > 0 && m_reloginFired) {
        popLogin();
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
    const SmtpSessionSettings &s = m_smtpSettings;
    m_smtp.setSMTP_Server(s.server);
    m_smtp.setSMTP_Port(s.port);
    m_smtp.setSmtpAuth(s.auth);
    m_smtp.setSmtpUser(s.user);
    m_smtp.setSmtpPsw(s.password);
    m_smtp.setHeloDef(s.heloDef);
    m_smtp.setHeloTxt(s.heloTxt);
    m_smtp.setTimeoutArp(s.timeoutSeconds);
    m_smtp.setTimeoutConnect(s.timeoutSeconds);
    m_smtp.setSecurity(transportSecurityOf(s.security));
    m_smtp.message() = std::move(message.inputs);
    m_smtp.setTO_Address(message.toAddress);
    m_smtp.setTO_Name(message.toName);

    m_results.setStatus(row, RowStatus::InProgress);
    m_results.setResult(row, m_sendingResult);
    emit rowChanged(row);
    ++m_waiting;
    series().countHandedOut();
    m_handedOver = true;
    setState(State::Sending);
    emit countersChanged();
    m_smtp.setAction(SendMail::Send_Mail);
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
    m_smtp.setAction(SendMail::Cancel_SendMail); // ends the kept connection
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
    m_smtp.setAction(SendMail::Cancel_SendMail); // ends the kept connection
    m_reloginTimer.stop();
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

void SendingRun::onSmtpInfo(SendMail::SendMailInfo info, const QString &infoText)
{
    // The server's words, not our own commands and message data.
    if (!m_handedOver || info == SendMail::miSent || info == SendMail::miPartSize
        || info == SendMail::miPartProgress)
        return;
    if (m_currentRow < 0 || m_currentRow >= m_results.rowCount())
        return;
    m_results.setComment(m_currentRow, infoText);
    emit rowChanged(m_currentRow);
}

void SendingRun::onSmtpError(int, const QString &)
{
    // The session's result says what happened; after a refusal the session
    // waits for its owner to end it.
    if (m_handedOver && m_smtp.Busy())
        m_smtp.setAction(SendMail::Cancel_SendMail);
}

void SendingRun::onSmtpDone()
{
    if (!m_handedOver) {
        onSessionEnded();
        return;
    }
    const int row = m_currentRow;
    const SmtpResult result = m_smtp.result();
    // A refusal by the server: its reply decided, with every line of it.
    const bool refused = result.reply && !result.reply->isPositive();
    m_handedOver = false;
    --m_waiting;

    if (m_smtp.Delivered()) {
        ++m_good;
        m_results.setState(row, text(stOk));
        m_results.setResult(row, text(stSentThroughIsp));
        m_results.setCode(row, QString());
        m_results.setComment(row, QString());
        m_results.setStatus(row, RowStatus::Sent);
        writeLog([&] { return SendLog::acceptedRecord(m_results.address(row), QStringLiteral("Ok")); });
    } else if (result.finalDotSent && !refused) {
        // The message went out whole and no answer came: the server may
        // have taken it, so it is never counted as unsent.
        m_results.setState(row, QString());
        m_results.setResult(row, text(stOutcomeUnknown));
        m_results.setComment(row, result.text.isEmpty()
                                      ? text(stNoAnswerAfterData)
                                      : result.text + QStringLiteral(" - ") + text(stNoAnswerAfterData));
        m_results.setStatus(row, RowStatus::Unknown);
        writeLog([&] { return SendLog::failedRecord(m_results.address(row), text(stOutcomeUnknown), result.text); });
    } else {
        ++m_bad;
        m_results.setState(row, text(stNo));
        if (!result.text.isEmpty()) {
            m_results.setResult(row, QString());
            m_results.setComment(row, result.text);
            m_results.setCode(row, refused ? QString::number(result.reply->code()) : QString());
            writeLog([&] { return SendLog::failedRecord(m_results.address(row), text(stNo), result.text); });
        }
        m_results.setStatus(row, RowStatus::Failed);
    }
    if (result.isConnectionFailure())
        ++m_connectionFailures;
    else if (m_smtp.Delivered() || refused)
        m_connectionFailures = 0;
    rowFinished(row);
    emit countersChanged();
    if (m_connectionFailures >= kMaxConnectionFailures)
        stopWithReason(text(stServerNotAnswering)
                           .arg(QStringLiteral("%1:%2").arg(m_smtpSettings.server).arg(m_smtpSettings.port))
                           .arg(m_connectionFailures)
                           .arg(result.text));
    postStep();
}

void SendingRun::onSessionEnded()
{
    if ((m_state == State::Stopping || m_state == State::Closing) && !sessionsBusy())
        postStep();
}

// ---- POP3 log-in ----

void SendingRun::popLogin()
{
    m_reloginFired = false;
    m_reloginTimer.stop();
    m_pop3.setTimeoutArp(m_project.settings().TimeOut);
    m_pop3.setTimeoutConnect(m_project.settings().TimeOut);
    m_pop3.setMail_Server(m_account.PopServer);
    m_pop3.setMail_Port(quint16(m_account.PopPort));
    m_pop3.setUser_ID(m_account.UserID);
    m_pop3.setUser_Password(m_account.Password);
    m_pop3.setSecurity(transportSecurityOf(m_account.Security));
    setState(State::LoggingIn);
    setScheduleText(text(stVerification));
    m_pop3.setMail_Action(GetMail::Get_Mail);
}

void SendingRun::onPopInfo(GetMail::GetMailInfo info, const QString &)
{
    if (info != GetMail::giAccessGranted || m_state != State::LoggingIn)
        return;
    m_pop3.StopSession(); // its end posts the next message
    const TIniInfo &settings = m_project.settings();
    if (settings.Pop3Identify && settings.AutoCommit && settings.AutoCommitT > 0) {
        m_reloginFired = false;
        m_reloginTimer.start(std::chrono::milliseconds(qint64(settings.AutoCommitT) * 60000));
    }
    refreshScheduleText();
}

void SendingRun::onPopError(int, const QString &errorText)
{
    if (m_state != State::LoggingIn)
        return;
    emit messageToUser(errorText, text(stInfo), UserMessageIcon::Information);
    m_pop3.StopSession();
    m_reloginTimer.stop();
    setState(State::Idle);
    refreshScheduleText();
    emit runFinished(false);
}

void SendingRun::onPopDone()
{
    // Access granted (state still "logging in") or a cancel by Stop: the
    // next step sends or ends the run. After an error the run is over.
    if (m_state == State::LoggingIn || m_state == State::Stopping || m_state == State::Closing)
        postStep();
}

// ---- Timers ----

void SendingRun::reloginTimerFired()
{
    m_reloginTimer.stop();
    m_reloginFired = true;
}

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
    return m_smtp.Busy() || m_pop3.Busy();
}

bool SendingRun::addressValid(int row) const
{
    return IsSendableAddress(m_results.address(row));
}

} // namespace varnholt
