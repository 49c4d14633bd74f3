#include "schedule/schedobj.h"

#include "schedule/localeformats.h"
#include "settings/inifile.h"

namespace varnholt {

namespace {

const QStringView kSection(kMailTaskSection);

// Seconds precision: the stored texts carry no milliseconds, and a loaded
// time must compare equal to the one that was saved.
QTime wholeSeconds(QTime t)
{
    return QTime(t.hour(), t.minute(), t.second());
}

int weekdayBit(QDate day)
{
    return 1 << (day.dayOfWeek() - 1); // dayOfWeek: Monday 1 .. Sunday 7
}

int monthBit(QDate day)
{
    return 1 << (day.month() - 1);
}

// Day `dayOfMonth` of the month of `day`, clamped to the month's length.
QDate withDayOfMonth(QDate day, int dayOfMonth)
{
    return QDate(day.year(), day.month(), std::min(dayOfMonth, day.daysInMonth()));
}

} // namespace

THowRun howRunFromInt(int value)
{
    switch (value) {
    case 8:
        return THowRun::Once;
    case 4:
        return THowRun::Monthly;
    case 2:
        return THowRun::Weekly;
    default:
        return THowRun::Daily;
    }
}

void TTaskObj::Reset(const QDateTime &now)
{
    const QDate today = now.date();
    const QTime time = wholeSeconds(now.time());
    Enabled = false;
    StartDt = today;
    StartTm = time;
    EndDt = today.addMonths(1); // QDate clamps the day to the month's length
    // One hour later on the same day; a start in the last hour of the day
    // ends at its last second rather than wrapping round to the morning.
    EndTm = time.secsTo(QTime(23, 59, 59)) >= 3600 ? time.addSecs(3600) : QTime(23, 59, 59);
    LastDt = QDateTime();
    HowRun = THowRun::Daily;
    Daily = 1;
    Weekly = 0;
    Monthly = 1;
    DayOfMonth = 1;
    OnceDt = today;
    Count = 0;
    RunState = 0;
}

void TTaskObj::Load(const IniFile &ini, const QDateTime &now, const LocaleFormats &formats)
{
    Reset(now);
    Enabled = ini.boolValue(kSection, u"Enabled", Enabled);
    const auto readDate = [&](QStringView key, QDate &field) {
        if (const auto d = formats.parseDate(ini.value(kSection, key)))
            field = *d;
    };
    const auto readTime = [&](QStringView key, QTime &field) {
        if (const auto t = formats.parseTime(ini.value(kSection, key)))
            field = *t;
    };
    readDate(u"StartDt", StartDt);
    readTime(u"StartTm", StartTm);
    readDate(u"EndDt", EndDt);
    readTime(u"EndTm", EndTm);
    if (const auto last = formats.parseDateTime(ini.value(kSection, u"LastDt")))
        LastDt = *last;
    HowRun = howRunFromInt(ini.intValue(kSection, u"HowRun", 1));
    Daily = ini.intValue(kSection, u"Daily", Daily);
    Weekly = ini.intValue(kSection, u"Weekly", Weekly);
    Monthly = ini.intValue(kSection, u"Monthly", Monthly);
    DayOfMonth = ini.intValue(kSection, u"DayOfMonth", DayOfMonth);
    readDate(u"OnceDt", OnceDt);
    Count = ini.intValue(kSection, u"Count", Count);
}

void TTaskObj::Load(const QString &projectFile, const QDateTime &now)
{
    Load(IniFile(projectFile), now, LocaleFormats());
}

void TTaskObj::Save(IniFile &ini, const LocaleFormats &formats) const
{
    ini.setBool(kSection, u"Enabled", Enabled);
    ini.setValue(kSection, u"StartDt", formats.dateText(StartDt));
    ini.setValue(kSection, u"StartTm", formats.timeText(StartTm));
    ini.setValue(kSection, u"EndDt", formats.dateText(EndDt));
    ini.setValue(kSection, u"EndTm", formats.timeText(EndTm));
    // "Never" is stored as an empty value, which reads back as never.
    ini.setValue(kSection, u"LastDt", LastDt.isValid() ? formats.dateTimeText(LastDt) : QString());
    ini.setInt(kSection, u"HowRun", int(HowRun));
    ini.setInt(kSection, u"Daily", Daily);
    ini.setInt(kSection, u"Weekly", Weekly);
    ini.setInt(kSection, u"Monthly", Monthly);
    ini.setInt(kSection, u"DayOfMonth", DayOfMonth);
    ini.setValue(kSection, u"OnceDt", formats.dateText(OnceDt));
    ini.setInt(kSection, u"Count", Count);
}

bool TTaskObj::Save(const QString &projectFile, QString *error) const
{
    IniFile ini;
    ini.load(projectFile); // a new file starts empty; other sections are kept
    Save(ini, LocaleFormats());
    return ini.save(projectFile, error);
}

bool TTaskObj::MarkRunDone(const QString &projectFile, const QDateTime &now, QString *error)
{
    RunState = 0;
    ++Count;
    LastDt = QDateTime(now.date(), wholeSeconds(now.time()));
    return Save(projectFile, error);
}

bool TTaskObj::endConditionHolds(QDate day, QTime time) const
{
    return day < EndDt || (day == EndDt && time <= EndTm);
}

bool TTaskObj::IsDue(const QDateTime &now) const
{
    const QDate day = now.date();
    const QTime time = now.time();
    if (day < StartDt || (day == StartDt && time < StartTm) || !endConditionHolds(day, time))
        return false;

    switch (HowRun) {
    case THowRun::Daily: {
        // An interval below one day would start the mailing again as soon
        // as it ended; it counts as every day.
        const int every = std::max(Daily, 1);
        const QDate next = LastDt.isValid() ? LastDt.date().addDays(every) : StartDt;
        return day > next || (day == next && time >= StartTm);
    }
    case THowRun::Weekly:
        return dueWeekly(day, time);
    case THowRun::Monthly:
        return dueMonthly(day, time);
    case THowRun::Once:
        if (LastDt.isValid())
            return false;
        return (OnceDt < day || (OnceDt == day && time >= StartTm)) && endConditionHolds(day, time);
    }
    return false;
}

// A selected weekday within the last seven days and not before the day after
// the last run; today counts from StartTm on.
bool TTaskObj::dueWeekly(QDate day, QTime time) const
{
    if (Weekly <= 0)
        return false;
    const QDate next = LastDt.isValid() ? LastDt.date().addDays(1) : StartDt;
    for (int back = 0; back < 7; ++back) {
        const QDate e = day.addDays(-back);
        if (e < next)
            break;
        if ((Weekly & weekdayBit(e)) && (e < day || time >= StartTm))
            return endConditionHolds(day, time);
    }
    return false;
}

// Looks at months only: from the month after the last run (or the start) on,
// the first check in a selected month runs.
bool TTaskObj::dueMonthly(QDate day, QTime time) const
{
    if (Monthly <= 0)
        return false;
    QDate next = LastDt.isValid() ? LastDt.date().addMonths(1) : StartDt;
    if (DayOfMonth > 0) {
        next = withDayOfMonth(next, DayOfMonth);
        if (next < StartDt)
            next = next.addMonths(1);
    }
    QDate e = day;
    for (int back = 0; back < 12; ++back, e = e.addMonths(-1)) {
        if (e < next)
            break;
        if ((Monthly & monthBit(e)) && (e < day || time >= StartTm))
            return endConditionHolds(day, time);
    }
    return false;
}

void TSeriesObj::Load(const IniFile &ini)
{
    Reset();
    Series = ini.boolValue(kSection, u"Series", Series);
    MailCount = ini.intValue(kSection, u"MailCount", MailCount);
    MailPause = ini.intValue(kSection, u"MailPause", MailPause);
}

void TSeriesObj::Load(const QString &projectFile)
{
    Load(IniFile(projectFile));
}

void TSeriesObj::Save(IniFile &ini) const
{
    ini.setBool(kSection, u"Series", Series);
    ini.setInt(kSection, u"MailCount", MailCount);
    ini.setInt(kSection, u"MailPause", MailPause);
}

bool TSeriesObj::Save(const QString &projectFile, QString *error) const
{
    IniFile ini;
    ini.load(projectFile);
    Save(ini);
    return ini.save(projectFile, error);
}

} // namespace varnholt
