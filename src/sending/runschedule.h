#pragma once

#include "schedule/schedobj.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>

// When a mailing runs by itself: the project's schedule task (a countdown,
// then a check every second whether the task is due) and its series (a
// batch of messages, then a pause). The sending run owns one and follows its
// signals; a window asks it to stand still while the task is edited, and
// never touches its timers.
namespace varnholt {

class RunSchedule : public QObject
{
    Q_OBJECT
public:
    using Clock = std::function<QDateTime()>;

    explicit RunSchedule(Clock clock, QObject *parent = nullptr);

    // The task and the series from the project file.
    void load(const QString &projectFile);
    [[nodiscard]] TTaskObj &task() { return m_task; }
    [[nodiscard]] TSeriesObj &series() { return m_series; }

    // The task waits: `seconds` count down, then it is checked every second.
    void startCountdown(qint64 seconds);
    // The countdown or the checks stop.
    void stopWaiting();
    [[nodiscard]] bool isWaiting() const { return m_scheduleTimer.isActive(); }
    [[nodiscard]] bool isCountingDown() const { return m_countdown; }
    [[nodiscard]] qint64 secondsLeft() const;

    // A series batch is done: the run goes on at `nextRow` (counted from 1)
    // once the series' pause has passed.
    void beginPause(int nextRow);
    void stopPause();
    [[nodiscard]] bool isPausing() const { return m_seriesTimer.isActive(); }
    [[nodiscard]] std::chrono::milliseconds pauseLength() const
    {
        return std::chrono::milliseconds(m_seriesTimer.interval());
    }

    // Everything stands still while the task is edited; resume() lets the
    // countdown, the checks and the pause go on where they were.
    void suspend();
    void resume();

    // What the timers do when they fire; public so that tests can step
    // through time.
    void tick();
    void pauseTimerFired();

Q_SIGNALS:
    // The task is due: a resuming run should start.
    void due();
    // The series' pause is over: the next batch should start.
    void pauseOver();
    // The countdown moved on or ended.
    void countdownChanged();

private:
    Clock m_clock;
    TTaskObj m_task;
    TSeriesObj m_series;
    QTimer m_scheduleTimer; // one second, restarted by each tick
    QTimer m_seriesTimer;
    bool m_countdown = false;
    QDateTime m_countdownTarget;
    bool m_suspended = false;
    bool m_scheduleWasWaiting = false;
    int m_pauseLeftMs = -1;
};

} // namespace varnholt
