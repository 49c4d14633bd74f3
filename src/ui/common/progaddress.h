#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>

#include <chrono>
#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;

// The progress window: a small dialog with a gauge and a "Stop" button,
// shown without blocking while a long operation runs on the interface
// thread. The operation calls keepResponsive() between its steps: that lets
// the interface handle pending events (at most every few milliseconds, so
// a million steps cost nothing) and tells whether to go on. While it is
// shown the other windows take no input, so nothing else can change the
// data the operation works on; "Stop" (or closing the dialog) sets the stop
// flag.
namespace varnholt {

class TMsgLanguage;

class TProgAddress : public QDialog
{
    Q_OBJECT
public:
    // Creates and shows the window; finish() closes and frees it.
    static TProgAddress *start(QWidget *parent, const QString &caption = {});

    explicit TProgAddress(QWidget *parent = nullptr);

    void setCaption(const QString &caption);
    void setMaximum(qint64 maximum);
    void setPosition(qint64 position);
    [[nodiscard]] qint64 position() const { return m_position; }
    [[nodiscard]] qint64 maximum() const { return m_maximum; }
    // One step forward or back; the window comes to the front.
    void stepForward();
    void stepBack();

    [[nodiscard]] bool stopped() const { return m_stopped; }
    void stop() { m_stopped = true; }

    // Lets the interface handle pending events when some time passed since
    // the last time; returns false once "Stop" was pressed.
    bool keepResponsive();

    // Closes and frees the window; the work calls it when it has ended.
    void finish();

    [[nodiscard]] QPushButton *stopButton() const { return m_stop; }

    // Tests: called from every keepResponsive() before events are handled,
    // with the window (to press "Stop" at a chosen moment).
    static void setStepHook(std::function<void(TProgAddress *)> hook);

protected:
    void closeEvent(QCloseEvent *event) override;
    void reject() override;

private:
    void showGauge();
    void applyTexts();

    TMsgLanguage *m_msl;
    QProgressBar *m_gauge;
    QPushButton *m_stop;
    qint64 m_maximum = 100;
    qint64 m_position = 0;
    bool m_stopped = false;
    bool m_finished = false;
    bool m_ownCaption = false; // the work named it: not the default caption
    QElapsedTimer m_sinceEvents;
};

// The progress window for work that is usually quick (a list load): the
// clock starts with the work, and the window appears only once the work
// has run for `delay`, so a short load never flashes a window. Until then
// the steps cost a clock reading and the interface handles no events; from
// then on each step is TProgAddress::keepResponsive(). The window is
// closed and freed by finish() or the destructor. `caption` is asked for
// when the window appears (the work may learn its subject on the way).
class DelayedProgress
{
public:
    static constexpr std::chrono::milliseconds kDefaultDelay{200};

    DelayedProgress(QWidget *parent, std::function<QString()> caption,
                    std::chrono::milliseconds delay = kDefaultDelay);
    ~DelayedProgress();
    DelayedProgress(const DelayedProgress &) = delete;
    DelayedProgress &operator=(const DelayedProgress &) = delete;

    // One step of the work at `position` of `maximum`; false once "Stop"
    // was pressed.
    bool step(qint64 position, qint64 maximum);
    void finish();

    // The window while it is shown, else null.
    [[nodiscard]] TProgAddress *window() const { return m_window; }

private:
    QPointer<QWidget> m_parent;
    std::function<QString()> m_caption;
    std::chrono::milliseconds m_delay;
    QElapsedTimer m_clock;
    QPointer<TProgAddress> m_window;
};

} // namespace varnholt
