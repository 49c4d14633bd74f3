#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QTime>

// The project's schedule task and series settings, kept in the "MailTask"
// section of the project settings file (N.eml). The sending run polls
// TTaskObj::IsDue() and applies the series batches; the schedule window
// edits both.
namespace varnholt {

class IniFile;
class LocaleFormats;

inline constexpr char16_t kMailTaskSection[] = u"MailTask";

enum class THowRun { Daily = 1, Weekly = 2, Monthly = 4, Once = 8 };

// Stored value to kind: 8 once, 4 monthly, 2 weekly, anything else daily.
[[nodiscard]] THowRun howRunFromInt(int value);

class TTaskObj
{
public:
    // RunState while a series waits between batches.
    static constexpr int RunStateSeriesWait = 3;

    TTaskObj() { Reset(QDateTime::currentDateTime()); }
    explicit TTaskObj(const QDateTime &now) { Reset(now); }

    // Every field to its default for the moment `now`.
    void Reset(const QDateTime &now);

    // Defaults, then the "MailTask" section. A missing file or section, or a
    // value that does not parse, keeps the default.
    void Load(const IniFile &ini, const QDateTime &now, const LocaleFormats &formats);
    void Load(const QString &projectFile, const QDateTime &now = QDateTime::currentDateTime());
    // The thirteen stored keys (RunState is not stored).
    void Save(IniFile &ini, const LocaleFormats &formats) const;
    // Rewrites the project file with the section updated and everything
    // else in it kept.
    bool Save(const QString &projectFile, QString *error = nullptr) const;

    // Whether a scheduled run is due at `now`.
    [[nodiscard]] bool IsDue(const QDateTime &now) const;
    [[nodiscard]] bool IsDue() const { return IsDue(QDateTime::currentDateTime()); }

    // A scheduled run reached the end of the list: RunState 0, Count + 1,
    // LastDt = now, and the task saved to `projectFile`.
    bool MarkRunDone(const QString &projectFile, const QDateTime &now = QDateTime::currentDateTime(),
                     QString *error = nullptr);

    bool Enabled = false;
    QDate StartDt;
    QTime StartTm;
    QDate EndDt;
    QTime EndTm;
    QDateTime LastDt; // invalid: never ran
    THowRun HowRun = THowRun::Daily;
    int Daily = 1;
    int Weekly = 0;     // Monday 1, Tuesday 2, ... Sunday 64
    int Monthly = 1;    // January 1, February 2, ... December 2048
    int DayOfMonth = 1; // 0 or less: no fixed day
    QDate OnceDt;
    int Count = 0;
    int RunState = 0; // not stored

private:
    [[nodiscard]] bool endConditionHolds(QDate day, QTime time) const;
    [[nodiscard]] bool dueWeekly(QDate day, QTime time) const;
    [[nodiscard]] bool dueMonthly(QDate day, QTime time) const;
};

class TSeriesObj
{
public:
    void Reset() { *this = TSeriesObj(); }
    void Load(const IniFile &ini);
    void Load(const QString &projectFile);
    void Save(IniFile &ini) const;
    bool Save(const QString &projectFile, QString *error = nullptr) const;

    // Batches are only made with a batch size and a pause.
    [[nodiscard]] bool isActive() const { return Series && MailCount > 0 && MailPause > 0; }
    // The current batch has handed out all its messages.
    [[nodiscard]] bool batchFull() const { return isActive() && BatchCount >= MailCount; }
    [[nodiscard]] qint64 pauseMilliseconds() const { return qint64(MailPause) * 60 * 1000; }

    // One message handed out in the current batch.
    void countHandedOut() { ++BatchCount; }
    // The batch ended with `firstRowNotHandedOut` as the next batch's start;
    // the task waits for the pause.
    void beginPause(int firstRowNotHandedOut, TTaskObj &task)
    {
        NextRow = firstRowNotHandedOut;
        task.RunState = TTaskObj::RunStateSeriesWait;
    }
    // The pause is over: a new batch starts at NextRow.
    void endPause() { BatchCount = 0; }
    // A run started by hand begins without a pending batch.
    void clearProgress()
    {
        BatchCount = 0;
        NextRow = 0;
    }

    bool Series = false;
    int MailCount = 1000;
    int MailPause = 1; // minutes
    int BatchCount = 0; // not stored
    int NextRow = 0;    // not stored; 0: from the start
};

} // namespace varnholt
