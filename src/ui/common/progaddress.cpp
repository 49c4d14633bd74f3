#include "progaddress.h"

#include "msglanguage.h"

#include <QApplication>
#include <QCloseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace varnholt {

namespace {

// How often a long operation lets the interface handle events.
constexpr qint64 kEventIntervalMs = 40;
// QProgressBar counts in int; larger maxima are scaled to this.
constexpr qint64 kGaugeSteps = 10000;

enum Message { msgDefaultCaption = 0 };

std::function<void(TProgAddress *)> &stepHook()
{
    static std::function<void(TProgAddress *)> hook;
    return hook;
}

} // namespace

void TProgAddress::setStepHook(std::function<void(TProgAddress *)> hook)
{
    stepHook() = std::move(hook);
}

TProgAddress *TProgAddress::start(QWidget *parent, const QString &caption)
{
    auto *window = new TProgAddress(parent);
    if (!caption.isEmpty())
        window->setCaption(caption);
    window->show();
    window->raise();
    window->keepResponsive();
    return window;
}

TProgAddress::TProgAddress(QWidget *parent)
    : QDialog(parent)
    , m_msl(new TMsgLanguage(QStringLiteral("TProgAddress"), {QStringLiteral("Open Address Book")}, this))
    , m_gauge(new QProgressBar(this))
    , m_stop(new QPushButton(QStringLiteral("Stop"), this))
{
    setObjectName(QStringLiteral("TProgAddress"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::ApplicationModal);
    // The work names what it does in its own words; a caption the work
    // does not give comes from the message list.
    setProperty("translate", false);
    setMinimumWidth(420);
    m_gauge->setObjectName(QStringLiteral("pbGauge"));
    m_stop->setObjectName(QStringLiteral("btStop"));
    m_gauge->setRange(0, int(kGaugeSteps));
    m_gauge->setValue(0);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_gauge);
    layout->addWidget(m_stop, 0, Qt::AlignHCenter);
    connect(m_stop, &QPushButton::clicked, this, &TProgAddress::stop);
    applyTexts();
    connect(m_msl, &TMsgLanguage::changed, this, &TProgAddress::applyTexts);
    TranslationRegistry::instance().announce(this, m_msl);
    m_sinceEvents.start();
}

void TProgAddress::applyTexts()
{
    if (!m_ownCaption)
        setWindowTitle(m_msl->text(msgDefaultCaption));
}

void TProgAddress::setCaption(const QString &caption)
{
    m_ownCaption = true;
    setWindowTitle(caption);
}

void TProgAddress::setMaximum(qint64 maximum)
{
    m_maximum = std::max<qint64>(maximum, 0);
    showGauge();
}

void TProgAddress::setPosition(qint64 position)
{
    m_position = std::clamp<qint64>(position, 0, m_maximum);
    showGauge();
}

void TProgAddress::stepForward()
{
    setPosition(m_position + 1);
    raise();
}

void TProgAddress::stepBack()
{
    setPosition(m_position - 1);
    raise();
}

void TProgAddress::showGauge()
{
    const int value = m_maximum > 0 ? int(m_position * kGaugeSteps / m_maximum) : 0;
    if (m_gauge->value() != value)
        m_gauge->setValue(value);
}

bool TProgAddress::keepResponsive()
{
    if (stepHook())
        stepHook()(this);
    if (m_sinceEvents.elapsed() >= kEventIntervalMs) {
        QApplication::processEvents();
        m_sinceEvents.restart();
    }
    return !m_stopped;
}

void TProgAddress::finish()
{
    m_finished = true;
    close();
}

void TProgAddress::closeEvent(QCloseEvent *event)
{
    // Closing it by hand while the work runs means "Stop": the work still
    // holds the window and closes it with finish() when it has ended.
    if (!m_finished) {
        m_stopped = true;
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void TProgAddress::reject()
{
    if (m_finished) {
        QDialog::reject();
        return;
    }
    m_stopped = true; // Escape stops; the work closes the window
}

// ---- DelayedProgress ----------------------------------------------------------

DelayedProgress::DelayedProgress(QWidget *parent, std::function<QString()> caption,
                                 std::chrono::milliseconds delay)
    : m_parent(parent)
    , m_caption(std::move(caption))
    , m_delay(delay)
{
    m_clock.start();
}

DelayedProgress::~DelayedProgress()
{
    finish();
}

bool DelayedProgress::step(qint64 position, qint64 maximum)
{
    if (!m_window) {
        if (m_clock.elapsed() < m_delay.count())
            return true;
        m_window = new TProgAddress(m_parent);
        if (const QString caption = m_caption ? m_caption() : QString(); !caption.isEmpty())
            m_window->setCaption(caption);
        m_window->show();
        m_window->raise();
    }
    m_window->setMaximum(maximum);
    m_window->setPosition(position);
    return m_window->keepResponsive();
}

void DelayedProgress::finish()
{
    if (m_window)
        m_window->finish();
    m_window = nullptr;
}

} // namespace varnholt
