#include "sending/runschedule.h"

namespace varnholt {

RunSchedule::RunSchedule(Clock clock, QObject *parent)
    : QObject(parent)
    , m_clock(std::move(clock))
{
    m_scheduleTimer.setSingleShot(true);
    m_scheduleTimer.setInterval(1000);
    m_seriesTimer.setSingleShot(true);
    connect(&m_scheduleTimer, &QTimer::timeout, this, &RunSchedule::tick);
    connect(&m_seriesTimer, &QTimer::timeout, this, &RunSchedule::pauseTimerFired);
}

void RunSchedule::load(const QString &projectFile)
{
    m_task.Load(projectFile, m_clock());
    m_series.Load(projectFile);
}

void RunSchedule::startCountdown(qint64 seconds)
{
    m_countdown = true;
    m_countdownTarget = m_clock().addSecs(seconds);
    m_scheduleTimer.start();
}

void RunSchedule::stopWaiting()
{
    m_scheduleTimer.stop();
    m_countdown = false;
}

qint64 RunSchedule::secondsLeft() const
{
    return m_countdown ? std::max<qint64>(m_clock().secsTo(m_countdownTarget), 0) : 0;
}

void RunSchedule::beginPause(int nextRow)
{
    m_series.beginPause(nextRow, m_task);
    m_seriesTimer.start(std::chrono::milliseconds(m_series.pauseMilliseconds()));
}

void RunSchedule::stopPause()
{
    m_seriesTimer.stop();
}

void RunSchedule::suspend()
{
    if (m_suspended)
        return;
    m_suspended = true;
    m_scheduleWasWaiting = m_scheduleTimer.isActive();
    m_pauseLeftMs = m_seriesTimer.isActive() ? m_seriesTimer.remainingTime() : -1;
    m_scheduleTimer.stop();
    m_seriesTimer.stop();
}

void RunSchedule::resume()
{
    if (!m_suspended)
        return;
    m_suspended = false;
    if (m_scheduleWasWaiting)
        m_scheduleTimer.start();
    if (m_pauseLeftMs >= 0)
        m_seriesTimer.start(m_pauseLeftMs);
}

void RunSchedule::tick()
{
    m_scheduleTimer.stop();
    const QDateTime at = m_clock();
    if (m_countdown) {
        if (at >= m_countdownTarget)
            m_countdown = false;
        m_scheduleTimer.start();
        emit countdownChanged();
        return;
    }
    if (!m_task.Enabled)
        return;
    if (m_task.RunState == 0 && m_task.IsDue(at)) {
        emit due();
        return;
    }
    if (m_task.RunState == 0 || m_task.RunState == TTaskObj::RunStateSeriesWait)
        m_scheduleTimer.start();
}

void RunSchedule::pauseTimerFired()
{
    m_seriesTimer.stop();
    m_series.endPause();
    m_task.RunState = 0;
    emit pauseOver();
}

} // namespace varnholt
