#pragma once

#include "schedule/schedobj.h"

#include <QDialog>

class QCheckBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QSpinBox;
class QTabWidget;
class QTimeEdit;

// The schedule window `T_Schedule` ("Schedule"): edits the project's
// schedule task and series settings.
namespace varnholt {

class TMsgLanguage;

class T_Schedule : public QDialog
{
    Q_OBJECT
public:
    // The pages of `pgC`, in this order.
    enum Page { pgDaily, pgWeekly, pgMonthly, pgOnce };
    // The spin boxes' range.
    static constexpr int kMaxSpin = 9999999;
    // What the time pickers show for a stored time of exactly midnight.
    [[nodiscard]] static QTime designTime() { return QTime(20, 24); }

    // Shows `task` and `series` (the window edits copies).
    T_Schedule(const TTaskObj &task, const TSeriesObj &series, QWidget *parent = nullptr);

    // The controls copied into `task` and `series`.
    void copyTo(TTaskObj &task, TSeriesObj &series) const;

    // "clear": the last execution forgotten (the file changes only on Save).
    void clearClick();

    [[nodiscard]] QCheckBox *cbEnabled() const { return m_enabled; }
    [[nodiscard]] QDateEdit *dpStart() const { return m_start; }
    [[nodiscard]] QTimeEdit *dpStartTime() const { return m_startTime; }
    [[nodiscard]] QDateEdit *dpEnd() const { return m_end; }
    [[nodiscard]] QTimeEdit *dpEndTm() const { return m_endTime; }
    [[nodiscard]] QLineEdit *eStarted() const { return m_started; }
    [[nodiscard]] QLineEdit *eLastCnt() const { return m_lastCount; }
    [[nodiscard]] QTabWidget *pgC() const { return m_pages; }
    [[nodiscard]] QSpinBox *seDaily() const { return m_daily; }
    [[nodiscard]] QCheckBox *weekday(int i) const { return m_weekdays[i]; } // 0 Monday
    [[nodiscard]] QSpinBox *seDayOfMonth() const { return m_dayOfMonth; }
    [[nodiscard]] QCheckBox *month(int i) const { return m_months[i]; } // 0 January
    [[nodiscard]] QDateEdit *dpOnce() const { return m_once; }
    [[nodiscard]] QCheckBox *cbSeries() const { return m_series; }
    [[nodiscard]] QSpinBox *seMailCount() const { return m_mailCount; }
    [[nodiscard]] QSpinBox *seMailPause() const { return m_mailPause; }
    [[nodiscard]] QLabel *lblTime() const { return m_time; }
    [[nodiscard]] const TMsgLanguage &messages() const { return *m_msl; }

private:
    void fill(const TTaskObj &task, const TSeriesObj &series);
    void showClock();

    TMsgLanguage *m_msl;
    QDateTime m_opened; // the clock line tells when the window opened

    QDateTime m_lastDt;
    int m_count = 0;

    QLabel *m_time;
    QCheckBox *m_enabled;
    QDateEdit *m_start;
    QTimeEdit *m_startTime;
    QDateEdit *m_end;
    QTimeEdit *m_endTime;
    QLineEdit *m_started;
    QLineEdit *m_lastCount;
    QTabWidget *m_pages;
    QSpinBox *m_daily;
    QCheckBox *m_weekdays[7];
    QSpinBox *m_dayOfMonth;
    QCheckBox *m_months[12];
    QDateEdit *m_once;
    QCheckBox *m_series;
    QSpinBox *m_mailCount;
    QSpinBox *m_mailPause;
};

// The "Schedule" button of the sending window: reloads `task` and `series`
// from `projectFile` (which resets their in-memory run state), shows the
// window, and on "Save" stores the controls in both and saves them to the
// file. True when the user saved; "Cancel" leaves the file and the reloaded
// objects as they are.
bool ShowSchedule(const QString &projectFile, TTaskObj &task, TSeriesObj &series, QWidget *parent = nullptr);

} // namespace varnholt
