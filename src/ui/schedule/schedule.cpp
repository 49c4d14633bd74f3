#include "ui/schedule/schedule.h"
#include "ui/common/mnemonic.h"
#include "ui/common/msglanguage.h"

#include "ui/common/messagebox.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimeEdit>
#include <QVBoxLayout>

namespace varnholt {

namespace {

enum Message { msgClock = 0, msgSchedule = 1 };

QSpinBox *spinBox(QWidget *parent)
{
    auto *box = new QSpinBox(parent);
    box->setRange(1, T_Schedule::kMaxSpin);
    return box;
}

// Check boxes in two columns, filled column by column; `letters` gives each
// its Alt+letter, none of which the rest of the window uses.
// The boxes are named `name` and their index ("clbWeekly0").
QWidget *twoColumns(QWidget *parent, QCheckBox **boxes, const QStringList &captions, QStringView letters,
                    const QString &name)
{
    auto *page = new QWidget(parent);
    auto *grid = new QGridLayout(page);
    grid->setContentsMargins(0, 0, 0, 0);
    const int perColumn = int((captions.size() + 1) / 2);
    for (int i = 0; i < captions.size(); ++i) {
        boxes[i] = new QCheckBox(WithMnemonic(captions[i], letters[i]), page);
        boxes[i]->setObjectName(name + QString::number(i));
        grid->addWidget(boxes[i], i % perColumn, i / perColumn);
    }
    return page;
}

int bitsOf(QCheckBox *const *boxes, int count)
{
    int bits = 0;
    for (int i = 0; i < count; ++i) {
        if (boxes[i]->isChecked())
            bits |= 1 << i;
    }
    return bits;
}

// A stored time of 0 is exactly midnight, which the window cannot tell from
// "unset": the picker keeps its design value.
bool isSet(QTime time)
{
    return time.isValid() && time != QTime(0, 0);
}

} // namespace

T_Schedule::T_Schedule(const TTaskObj &task, const TSeriesObj &series, QWidget *parent)
    : QDialog(parent)
    , m_msl(new TMsgLanguage(QStringLiteral("T_Schedule"),
                             {QStringLiteral("Current PC date and time is (%1 %2)"), QStringLiteral("Schedule")},
                             this))
    , m_opened(QDateTime::currentDateTime())
{
    setObjectName(QStringLiteral("T_Schedule"));
    setWindowTitle(QStringLiteral("Schedule"));
    setModal(true);

    // Names for the translation of the words that stand around the boxes.
    const auto named = [](QLabel *label, const char *name) {
        label->setObjectName(QString::fromLatin1(name));
        return label;
    };
    m_time = new QLabel(this);
    m_time->setObjectName(QStringLiteral("lblTime"));
    m_time->setProperty("translate", false); // holds the time the window opened
    showClock();
    m_enabled = new QCheckBox(QStringLiteral("&Enable schedule"), this);
    m_enabled->setObjectName(QStringLiteral("cbEnabled"));

    auto datePicker = [this] {
        auto *picker = new QDateEdit(QDate::currentDate(), this);
        picker->setCalendarPopup(true);
        return picker;
    };
    auto timePicker = [this] {
        auto *picker = new QTimeEdit(designTime(), this);
        picker->setDisplayFormat(QStringLiteral("HH:mm:ss"));
        return picker;
    };

    auto *startBox = new QGroupBox(QStringLiteral("Start task"), this);
    startBox->setObjectName(QStringLiteral("gbStart"));
    auto *startLayout = new QFormLayout(startBox);
    startLayout->addRow(QStringLiteral("The start date"), m_start = datePicker());
    startLayout->addRow(QStringLiteral("Start Time"), m_startTime = timePicker());
    auto *stopBox = new QGroupBox(QStringLiteral("Stop task"), this);
    stopBox->setObjectName(QStringLiteral("gbStop"));
    auto *stopLayout = new QFormLayout(stopBox);
    stopLayout->addRow(QStringLiteral("The end date"), m_end = datePicker());
    stopLayout->addRow(QStringLiteral("End Time"), m_endTime = timePicker());

    auto *lastBox = new QGroupBox(QStringLiteral("Last execution"), this);
    lastBox->setObjectName(QStringLiteral("gbLast"));
    auto *lastLayout = new QFormLayout(lastBox);
    m_started = new QLineEdit(lastBox);
    m_started->setReadOnly(true);
    m_lastCount = new QLineEdit(lastBox);
    m_lastCount->setReadOnly(true);
    auto *clear = new QPushButton(QStringLiteral("c&lear"), lastBox);
    clear->setObjectName(QStringLiteral("bClear"));
    lastLayout->addRow(QStringLiteral("Started"), m_started);
    lastLayout->addRow(QStringLiteral("number of completed executions"), m_lastCount);
    lastLayout->addRow(QString(), clear);

    m_pages = new QTabWidget(this);
    m_pages->setObjectName(QStringLiteral("pgC"));

    auto *daily = new QWidget(m_pages);
    auto *dailyLayout = new QVBoxLayout(daily);
    dailyLayout->addWidget(named(new QLabel(QStringLiteral("Select the number of days:"), daily), "lblDays"));
    auto *dailyRow = new QHBoxLayout;
    dailyRow->addWidget(named(new QLabel(QStringLiteral("Run every"), daily), "lblRunEvery"));
    dailyRow->addWidget(m_daily = spinBox(daily));
    dailyRow->addWidget(named(new QLabel(QStringLiteral("day(s)"), daily), "lblDaysUnit"));
    dailyRow->addStretch();
    dailyLayout->addLayout(dailyRow);
    dailyLayout->addStretch();
    m_pages->addTab(daily, QStringLiteral("&Daily "));

    auto *weekly = new QWidget(m_pages);
    auto *weeklyLayout = new QVBoxLayout(weekly);
    weeklyLayout->addWidget(named(new QLabel(QStringLiteral("Select day(s) of week"), weekly), "lblWeekdays"));
    weeklyLayout->addWidget(twoColumns(weekly, m_weekdays,
                                       {QStringLiteral("Monday "), QStringLiteral("Tuesday"),
                                        QStringLiteral("Wednesday"), QStringLiteral("Thursday"),
                                        QStringLiteral("Friday"), QStringLiteral("Saturday"),
                                        QStringLiteral("Sunday")},
                                       u"ntyhfau", QStringLiteral("clbWeekly")));
    weeklyLayout->addStretch();
    m_pages->addTab(weekly, QStringLiteral("&Weekly "));

    auto *monthly = new QWidget(m_pages);
    auto *monthlyLayout = new QVBoxLayout(monthly);
    monthlyLayout->addWidget(
        named(new QLabel(QStringLiteral("Select the day of the month "), monthly), "lblDayOfMonth"));
    auto *dayRow = new QHBoxLayout;
    dayRow->addWidget(named(new QLabel(QStringLiteral("Day"), monthly), "lblDay"));
    dayRow->addWidget(m_dayOfMonth = spinBox(monthly));
    dayRow->addWidget(named(new QLabel(QStringLiteral("of the month"), monthly), "lblOfMonth"));
    dayRow->addStretch();
    monthlyLayout->addLayout(dayRow);
    QStringList months;
    for (int i = 1; i <= 12; ++i)
        months << QLocale::c().standaloneMonthName(i);
    monthlyLayout->addWidget(twoColumns(monthly, m_months, months, u"rfhayn" u"jupt" u"vb", QStringLiteral("clbM")));
    m_pages->addTab(monthly, QStringLiteral("&Monthly"));

    auto *once = new QWidget(m_pages);
    auto *onceLayout = new QVBoxLayout(once);
    onceLayout->addWidget(named(new QLabel(QStringLiteral("Execute task only once"), once), "lblOnce"));
    auto *onceRow = new QHBoxLayout;
    onceRow->addWidget(named(new QLabel(QStringLiteral("Enter the exact date"), once), "lblOnceDate"));
    onceRow->addWidget(m_once = datePicker());
    onceRow->addStretch();
    onceLayout->addLayout(onceRow);
    onceLayout->addStretch();
    m_pages->addTab(once, QStringLiteral("&Once "));

    auto *seriesBox = new QGroupBox(QStringLiteral("Split mailing list"), this);
    seriesBox->setObjectName(QStringLiteral("gbSeries"));
    auto *seriesLayout = new QGridLayout(seriesBox);
    m_series = new QCheckBox(QStringLiteral("Send emails at specified &intervals"), seriesBox);
    m_series->setObjectName(QStringLiteral("cbSeries"));
    seriesLayout->addWidget(m_series, 0, 0, 1, 3);
    seriesLayout->addWidget(
        named(new QLabel(QStringLiteral("Maximal number of emails in each list"), seriesBox), "lblMailCount"), 1, 0);
    seriesLayout->addWidget(m_mailCount = spinBox(seriesBox), 1, 1);
    seriesLayout->addWidget(
        named(new QLabel(QStringLiteral("Use specified intervals between mailing  ="), seriesBox), "lblMailPause"), 2,
        0);
    seriesLayout->addWidget(m_mailPause = spinBox(seriesBox), 2, 1);
    seriesLayout->addWidget(named(new QLabel(QStringLiteral("minute(s)"), seriesBox), "lblMinutes"), 2, 2);

    m_start->setObjectName(QStringLiteral("dpStart"));
    m_startTime->setObjectName(QStringLiteral("dpStartTime"));
    m_end->setObjectName(QStringLiteral("dpEnd"));
    m_endTime->setObjectName(QStringLiteral("dpEndTm"));
    m_started->setObjectName(QStringLiteral("eStarted"));
    m_lastCount->setObjectName(QStringLiteral("eLastCnt"));
    m_daily->setObjectName(QStringLiteral("seDaily"));
    m_dayOfMonth->setObjectName(QStringLiteral("seDayOfMonth"));
    m_once->setObjectName(QStringLiteral("dpOnce"));
    m_mailCount->setObjectName(QStringLiteral("seMailCount"));
    m_mailPause->setObjectName(QStringLiteral("seMailPause"));

    // What a screen reader says for the boxes whose words stand around them.
    m_daily->setAccessibleName(QStringLiteral("Run every how many days"));
    m_dayOfMonth->setAccessibleName(QStringLiteral("Day of the month"));
    m_once->setAccessibleName(QStringLiteral("The exact date"));
    m_mailCount->setAccessibleName(QStringLiteral("Maximal number of emails in each list"));
    m_mailPause->setAccessibleName(QStringLiteral("Minutes between the lists"));

    auto *save = new QPushButton(QStringLiteral("&Save"), this);
    save->setDefault(true);
    auto *cancel = new QPushButton(QStringLiteral("&Cancel"), this);
    save->setObjectName(QStringLiteral("bSave"));
    cancel->setObjectName(QStringLiteral("bCancel"));

    auto *times = new QHBoxLayout;
    times->addWidget(startBox);
    times->addWidget(stopBox);
    times->addWidget(lastBox);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(save);
    buttons->addWidget(cancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_time);
    layout->addWidget(m_enabled);
    layout->addLayout(times);
    layout->addWidget(m_pages);
    layout->addWidget(seriesBox);
    layout->addLayout(buttons);

    connect(clear, &QPushButton::clicked, this, &T_Schedule::clearClick);
    connect(save, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    fill(task, series);
    connect(m_msl, &TMsgLanguage::changed, this, &T_Schedule::showClock);
    TranslationRegistry::instance().announce(this, m_msl);
}

void T_Schedule::showClock()
{
    const QLocale locale;
    m_time->setText(m_msl->text(msgClock).arg(locale.toString(m_opened.date(), QLocale::ShortFormat),
                                              locale.toString(m_opened.time(), QLocale::LongFormat)));
}

void T_Schedule::fill(const TTaskObj &task, const TSeriesObj &series)
{
    m_enabled->setChecked(task.Enabled);
    if (task.StartDt.isValid())
        m_start->setDate(task.StartDt);
    if (task.EndDt.isValid())
        m_end->setDate(task.EndDt);
    if (isSet(task.StartTm))
        m_startTime->setTime(task.StartTm);
    if (isSet(task.EndTm))
        m_endTime->setTime(task.EndTm);
    m_daily->setValue(task.Daily);
    m_dayOfMonth->setValue(task.DayOfMonth);

    m_lastDt = task.LastDt;
    m_count = task.Count;
    m_started->setText(m_lastDt.isValid() ? m_lastDt.toString(u"dd.MM.yyyy hh:mm:ss") : QString());
    m_lastCount->setText(QString::number(m_count));

    switch (task.HowRun) {
    case THowRun::Weekly:
        m_pages->setCurrentIndex(pgWeekly);
        break;
    case THowRun::Monthly:
        m_pages->setCurrentIndex(pgMonthly);
        break;
    case THowRun::Once:
        m_pages->setCurrentIndex(pgOnce);
        break;
    default:
        m_pages->setCurrentIndex(pgDaily);
        break;
    }
    for (int i = 0; i < 7; ++i)
        m_weekdays[i]->setChecked(task.Weekly & (1 << i));
    for (int i = 0; i < 12; ++i)
        m_months[i]->setChecked(task.Monthly & (1 << i));
    if (task.OnceDt.isValid())
        m_once->setDate(task.OnceDt);

    m_series->setChecked(series.Series);
    m_mailCount->setValue(series.MailCount);
    m_mailPause->setValue(series.MailPause);
}

void T_Schedule::clearClick()
{
    m_started->clear();
    m_lastCount->clear();
    m_lastDt = QDateTime();
    m_count = 0;
}

void T_Schedule::copyTo(TTaskObj &task, TSeriesObj &series) const
{
    task.Enabled = m_enabled->isChecked();
    task.StartDt = m_start->date();
    task.EndDt = m_end->date();
    task.StartTm = m_startTime->time();
    task.EndTm = m_endTime->time();
    task.Daily = m_daily->value();
    task.DayOfMonth = m_dayOfMonth->value();
    task.OnceDt = m_once->date();
    task.LastDt = m_lastDt;
    task.Count = m_count;
    switch (m_pages->currentIndex()) {
    case pgWeekly:
        task.HowRun = THowRun::Weekly;
        break;
    case pgMonthly:
        task.HowRun = THowRun::Monthly;
        break;
    case pgOnce:
        task.HowRun = THowRun::Once;
        break;
    default:
        task.HowRun = THowRun::Daily;
        break;
    }
    task.Weekly = bitsOf(m_weekdays, 7);
    task.Monthly = bitsOf(m_months, 12);

    series.Series = m_series->isChecked();
    series.MailCount = m_mailCount->value();
    series.MailPause = m_mailPause->value();
}

bool ShowSchedule(const QString &projectFile, TTaskObj &task, TSeriesObj &series, QWidget *parent)
{
    task.Load(projectFile);
    series.Load(projectFile);
    T_Schedule window(task, series, parent);
    if (window.exec() != QDialog::Accepted)
        return false;
    window.copyTo(task, series);
    QString error;
    if (!task.Save(projectFile, &error) || !series.Save(projectFile, &error)) {
        ShowMessageBox(error, window.messages().text(msgSchedule), mbIconError);
        return false;
    }
    return true;
}

} // namespace varnholt
