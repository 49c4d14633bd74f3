#include "schedule/localeformats.h"
#include "schedule/schedobj.h"
#include "settings/inifile.h"

#include <QTemporaryDir>
#include <QTest>

using namespace varnholt;

namespace {

QDateTime at(int y, int m, int d, int h, int min = 0)
{
    return QDateTime(QDate(y, m, d), QTime(h, min));
}

// A task valid all through 2024 that starts runs at 09:00. 1 January 2024
// is a Monday.
TTaskObj yearTask(THowRun how)
{
    TTaskObj t(at(2024, 1, 1, 8));
    t.Enabled = true;
    t.StartDt = QDate(2024, 1, 1);
    t.StartTm = QTime(9, 0);
    t.EndDt = QDate(2024, 12, 31);
    t.EndTm = QTime(23, 59, 59);
    t.HowRun = how;
    return t;
}

constexpr int Monday = 1, Tuesday = 2, Wednesday = 4, Thursday = 8, Friday = 16;

} // namespace

class TestSchedObj : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void isDue_data();
    void isDue();
    void monthlyDayClampedToStartMonth_data();
    void monthlyDayClampedToStartMonth();
    void defaults();
    void onceNeverAgainAfterMarkRunDone();
    void saveLoadRoundTripKeepsOtherSections();
    void loadFallsBackToDefaults();
    void twoDigitYearReadsInThisCentury();
    void seriesBatches();
};

void TestSchedObj::isDue_data()
{
    QTest::addColumn<int>("how");
    QTest::addColumn<QDateTime>("lastRun"); // invalid: never
    QTest::addColumn<int>("every");         // Daily / Weekly / Monthly bits
    QTest::addColumn<int>("dayOfMonth");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<bool>("due");

    const int daily = int(THowRun::Daily), weekly = int(THowRun::Weekly), monthly = int(THowRun::Monthly);
    const QDateTime never;
    const QDateTime mondayRun = at(2024, 1, 8, 9, 30); // Monday 8 January

    QTest::newRow("before the start time on the start day") << daily << never << 1 << 1 << at(2024, 1, 1, 8, 59) << false;
    QTest::newRow("daily first run at the start time") << daily << never << 1 << 1 << at(2024, 1, 1, 9) << true;
    QTest::newRow("after the end day") << daily << never << 1 << 1 << at(2025, 1, 1, 10) << false;

    // Every two days, last run on a Monday: due again from Wednesday 09:00.
    QTest::newRow("daily 2: Tuesday") << daily << mondayRun << 2 << 1 << at(2024, 1, 9, 12) << false;
    QTest::newRow("daily 2: Wednesday 08:59") << daily << mondayRun << 2 << 1 << at(2024, 1, 10, 8, 59) << false;
    QTest::newRow("daily 2: Wednesday 09:00") << daily << mondayRun << 2 << 1 << at(2024, 1, 10, 9) << true;
    QTest::newRow("daily 2: Thursday early") << daily << mondayRun << 2 << 1 << at(2024, 1, 11, 7) << true;
    QTest::newRow("daily 0 does not repeat the same day") << daily << mondayRun << 0 << 1 << at(2024, 1, 8, 18) << false;

    // Monday and Thursday selected, last run on a Monday.
    const int monThu = Monday | Thursday;
    QTest::newRow("weekly: Tuesday") << weekly << mondayRun << monThu << 1 << at(2024, 1, 9, 10) << false;
    QTest::newRow("weekly: Wednesday") << weekly << mondayRun << monThu << 1 << at(2024, 1, 10, 10) << false;
    QTest::newRow("weekly: Thursday before start") << weekly << mondayRun << monThu << 1 << at(2024, 1, 11, 8) << false;
    QTest::newRow("weekly: Thursday at start") << weekly << mondayRun << monThu << 1 << at(2024, 1, 11, 9) << true;
    QTest::newRow("weekly: closed all Thursday, Friday early") << weekly << mondayRun << monThu << 1 << at(2024, 1, 12, 0, 1) << true;
    QTest::newRow("weekly: same Monday after the run") << weekly << mondayRun << monThu << 1 << at(2024, 1, 8, 20) << false;
    QTest::newRow("weekly: no day selected") << weekly << never << 0 << 1 << at(2024, 1, 3, 10) << false;
    QTest::newRow("weekly: first run on a selected day") << weekly << never << Wednesday << 1 << at(2024, 1, 3, 9) << true;
    QTest::newRow("weekly: selected day more than a week ago") << weekly << at(2024, 1, 1, 9) << Tuesday << 1 << at(2024, 1, 16, 8) << false;

    const int allMonths = 4095;
    QTest::newRow("monthly: no month selected") << monthly << never << 0 << 1 << at(2024, 3, 1, 10) << false;
    QTest::newRow("monthly 31 January: 30th") << monthly << never << allMonths << 31 << at(2024, 1, 30, 10) << false;
    QTest::newRow("monthly 31 January: 31st") << monthly << never << allMonths << 31 << at(2024, 1, 31, 9) << true;
    // Only months count once N is reached: last run 15 January, March only.
    QTest::newRow("monthly: first check in a selected month")
        << monthly << at(2024, 1, 15, 9) << 4 << 15 << at(2024, 3, 1, 9) << true;
    QTest::newRow("monthly: month not selected")
        << monthly << at(2024, 1, 15, 9) << 4 << 15 << at(2024, 2, 20, 9) << false;
    QTest::newRow("monthly: next month not reached")
        << monthly << at(2024, 1, 15, 9) << allMonths << 15 << at(2024, 2, 14, 9) << false;
    QTest::newRow("monthly: next month reached") << monthly << at(2024, 1, 15, 9) << allMonths << 15 << at(2024, 2, 15, 9) << true;
}

void TestSchedObj::isDue()
{
    QFETCH(int, how);
    QFETCH(QDateTime, lastRun);
    QFETCH(int, every);
    QFETCH(int, dayOfMonth);
    QFETCH(QDateTime, now);
    QFETCH(bool, due);

    TTaskObj t = yearTask(THowRun(how));
    t.LastDt = lastRun;
    t.Daily = every;
    t.Weekly = every;
    t.Monthly = every;
    t.DayOfMonth = dayOfMonth;
    QCOMPARE(t.IsDue(now), due);
}

void TestSchedObj::monthlyDayClampedToStartMonth_data()
{
    QTest::addColumn<QDate>("start");
    QTest::addColumn<QDate>("firstDay");
    QTest::newRow("leap February") << QDate(2024, 2, 10) << QDate(2024, 2, 29);
    QTest::newRow("February") << QDate(2023, 2, 10) << QDate(2023, 2, 28);
    QTest::newRow("30-day month") << QDate(2024, 4, 5) << QDate(2024, 4, 30);
}

// Day 31 on a first run: day 31 of the start month, or its last day.
void TestSchedObj::monthlyDayClampedToStartMonth()
{
    QFETCH(QDate, start);
    QFETCH(QDate, firstDay);
    TTaskObj t = yearTask(THowRun::Monthly);
    t.StartDt = start;
    t.EndDt = start.addYears(1);
    t.Monthly = 4095;
    t.DayOfMonth = 31;
    QVERIFY(!t.IsDue(QDateTime(firstDay.addDays(-1), QTime(23, 0))));
    QVERIFY(!t.IsDue(QDateTime(firstDay, QTime(8, 59))));
    QVERIFY(t.IsDue(QDateTime(firstDay, QTime(9, 0))));
}

void TestSchedObj::defaults()
{
    const TTaskObj t(QDateTime(QDate(2024, 1, 31), QTime(10, 15, 30, 500)));
    QCOMPARE(t.Enabled, false);
    QCOMPARE(t.StartDt, QDate(2024, 1, 31));
    QCOMPARE(t.StartTm, QTime(10, 15, 30));
    QCOMPARE(t.EndDt, QDate(2024, 2, 29)); // one month on, clamped
    QCOMPARE(t.EndTm, QTime(11, 15, 30));
    QVERIFY(!t.LastDt.isValid());
    QCOMPARE(t.HowRun, THowRun::Daily);
    QCOMPARE(t.Monthly, 1);
    QCOMPARE(t.OnceDt, QDate(2024, 1, 31));

    // A start in the day's last hour does not wrap round to the morning.
    const TTaskObj late(at(2024, 5, 5, 23, 30));
    QCOMPARE(late.EndTm, QTime(23, 59, 59));
}

void TestSchedObj::onceNeverAgainAfterMarkRunDone()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("p.eml"));
    TTaskObj t = yearTask(THowRun::Once);
    t.OnceDt = QDate(2024, 6, 3);
    t.EndDt = QDate(2024, 6, 5);
    t.EndTm = QTime(12, 0);

    QVERIFY(!t.IsDue(at(2024, 6, 3, 8, 59)));
    QVERIFY(t.IsDue(at(2024, 6, 3, 9)));
    QVERIFY(t.IsDue(at(2024, 6, 5, 11, 59)));
    QVERIFY(!t.IsDue(at(2024, 6, 5, 12, 1)));

    t.RunState = TTaskObj::RunStateSeriesWait;
    QVERIFY(t.MarkRunDone(file, at(2024, 6, 3, 9, 20)));
    QCOMPARE(t.RunState, 0);
    QCOMPARE(t.Count, 1);
    QCOMPARE(t.LastDt, at(2024, 6, 3, 9, 20));
    QVERIFY(!t.IsDue(at(2024, 6, 4, 10)));

    // The stored task knows it ran.
    TTaskObj loaded;
    loaded.Load(file, at(2024, 6, 4, 10));
    QCOMPARE(loaded.Count, 1);
    QCOMPARE(loaded.LastDt, at(2024, 6, 3, 9, 20));
    QVERIFY(!loaded.IsDue(at(2024, 6, 4, 10)));
}

void TestSchedObj::saveLoadRoundTripKeepsOtherSections()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("p.eml"));
    IniFile original;
    original.setValue(u"Common", u"Subject", QStringLiteral("Hello"));
    original.setValue(u"MailTask", u"Custom", QStringLiteral("kept"));
    QVERIFY(original.save(file));

    TTaskObj t = yearTask(THowRun::Monthly);
    t.StartTm = QTime(9, 5, 7);
    t.LastDt = QDateTime(QDate(2024, 3, 4), QTime(17, 45, 1));
    t.Daily = 3;
    t.Weekly = Monday | Friday;
    t.Monthly = 2048 | 1;
    t.DayOfMonth = 12;
    t.OnceDt = QDate(2024, 11, 30);
    t.Count = 7;
    QVERIFY(t.Save(file));
    TSeriesObj s;
    s.Series = true;
    s.MailCount = 50;
    s.MailPause = 10;
    s.BatchCount = 9; // not stored
    QVERIFY(s.Save(file));

    const IniFile ini(file);
    QCOMPARE(ini.value(u"Common", u"Subject"), QStringLiteral("Hello"));
    QCOMPARE(ini.value(u"MailTask", u"Custom"), QStringLiteral("kept"));
    QCOMPARE(ini.value(u"MailTask", u"HowRun"), QStringLiteral("4"));
    QCOMPARE(ini.value(u"MailTask", u"Enabled"), QStringLiteral("1"));
    QVERIFY(!ini.contains(u"MailTask", u"RunState"));

    TTaskObj back;
    back.Load(file, at(2025, 2, 2, 2));
    QCOMPARE(back.Enabled, t.Enabled);
    QCOMPARE(back.StartDt, t.StartDt);
    QCOMPARE(back.StartTm, t.StartTm);
    QCOMPARE(back.EndDt, t.EndDt);
    QCOMPARE(back.EndTm, t.EndTm);
    QCOMPARE(back.LastDt, t.LastDt);
    QCOMPARE(back.HowRun, t.HowRun);
    QCOMPARE(back.Daily, 3);
    QCOMPARE(back.Weekly, Monday | Friday);
    QCOMPARE(back.Monthly, 2049);
    QCOMPARE(back.DayOfMonth, 12);
    QCOMPARE(back.OnceDt, t.OnceDt);
    QCOMPARE(back.Count, 7);

    TSeriesObj sBack;
    sBack.Load(file);
    QCOMPARE(sBack.Series, true);
    QCOMPARE(sBack.MailCount, 50);
    QCOMPARE(sBack.MailPause, 10);
    QCOMPARE(sBack.BatchCount, 0);
}

void TestSchedObj::loadFallsBackToDefaults()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("p.eml"));
    IniFile ini;
    ini.setValue(u"MailTask", u"StartDt", QStringLiteral("31.13.2024")); // not a date here
    ini.setValue(u"MailTask", u"EndTm", QStringLiteral("  "));
    ini.setValue(u"MailTask", u"HowRun", QStringLiteral("3")); // no such kind
    ini.setValue(u"MailTask", u"Daily", QStringLiteral("x"));
    ini.setValue(u"MailTask", u"LastDt", QStringLiteral("yesterday"));
    QVERIFY(ini.save(file));

    const QDateTime now = at(2024, 4, 10, 14);
    TTaskObj t;
    t.RunState = 3;
    t.Load(file, now);
    const TTaskObj defaults(now);
    QCOMPARE(t.StartDt, defaults.StartDt);
    QCOMPARE(t.EndTm, defaults.EndTm);
    QCOMPARE(t.HowRun, THowRun::Daily);
    QCOMPARE(t.Daily, 1);
    QVERIFY(!t.LastDt.isValid());
    QCOMPARE(t.RunState, 0);

    TTaskObj missing;
    missing.Load(dir.filePath(QStringLiteral("none.eml")), now);
    QCOMPARE(missing.StartDt, defaults.StartDt);
    QCOMPARE(missing.Enabled, false);
    TSeriesObj s;
    s.Series = true;
    s.NextRow = 40;
    s.Load(dir.filePath(QStringLiteral("none.eml")));
    QCOMPARE(s.Series, false);
    QCOMPARE(s.MailCount, 1000);
    QCOMPARE(s.NextRow, 0);
}

void TestSchedObj::twoDigitYearReadsInThisCentury()
{
    // A file written with a locale's own short format ("dd.MM.yy").
    const LocaleFormats german{QLocale(QLocale::German, QLocale::Germany)};
    QCOMPARE(german.dateText(QDate(2024, 3, 5)), QStringLiteral("05.03.2024"));
    QCOMPARE(german.parseDate(QStringLiteral("05.03.24")), QDate(2024, 3, 5));
    QCOMPARE(german.parseDate(QStringLiteral(" 05.03.2024 ")), QDate(2024, 3, 5));
    QCOMPARE(german.parseDateTime(german.dateTimeText(at(2024, 3, 5, 17, 4))), at(2024, 3, 5, 17, 4));
    QVERIFY(!german.parseDate(QStringLiteral("3/5/24")));

    const LocaleFormats c{QLocale::c()};
    QCOMPARE(c.parseDateTime(c.dateTimeText(at(2024, 12, 1, 0, 0))), at(2024, 12, 1, 0, 0));
}

void TestSchedObj::seriesBatches()
{
    TSeriesObj s;
    QVERIFY(!s.isActive());
    s.Series = true;
    s.MailCount = 2;
    s.MailPause = 10;
    QVERIFY(s.isActive());
    QCOMPARE(s.pauseMilliseconds(), 600000);

    TTaskObj task;
    s.countHandedOut();
    QVERIFY(!s.batchFull());
    s.countHandedOut();
    QVERIFY(s.batchFull());
    s.beginPause(3, task);
    QCOMPARE(task.RunState, TTaskObj::RunStateSeriesWait);
    QCOMPARE(s.NextRow, 3);
    s.endPause();
    QCOMPARE(s.BatchCount, 0);
    QVERIFY(!s.batchFull());

    s.MailPause = 0; // no pause: no batches
    s.BatchCount = 5;
    QVERIFY(!s.isActive());
    QVERIFY(!s.batchFull());
}

QTEST_GUILESS_MAIN(TestSchedObj)
#include "tst_schedobj.moc"
