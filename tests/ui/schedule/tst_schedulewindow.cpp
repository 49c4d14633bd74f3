#include "accessibilitycheck.h"
#include "modalhelper.h"
#include "testfiles.h"

#include "settings/inifile.h"
#include "ui/schedule/schedule.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeEdit>

using namespace varnholt;
using varnholt::testing::readFile;
using varnholt::testing::writeFile;

class TestScheduleWindow : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_project = m_dir.filePath("offer.eml");
        QVERIFY(writeFile(m_project, "[Options]\r\nSubject=Hello\r\n"));

        TTaskObj task;
        task.Enabled = true;
        task.StartDt = QDate(2024, 3, 1);
        task.StartTm = QTime(9, 30);
        task.EndDt = QDate(2024, 12, 31);
        task.EndTm = QTime(18, 0);
        task.LastDt = QDateTime(QDate(2024, 3, 4), QTime(9, 30, 5));
        task.Count = 3;
        task.HowRun = THowRun::Weekly;
        task.Weekly = 1 | 4 | 64; // Monday, Wednesday, Sunday
        task.Monthly = 2 | 2048;  // February, December
        task.Daily = 2;
        task.DayOfMonth = 15;
        task.OnceDt = QDate(2024, 5, 6);
        QVERIFY(task.Save(m_project));
        TSeriesObj series;
        series.Series = true;
        series.MailCount = 250;
        series.MailPause = 30;
        QVERIFY(series.Save(m_project));
    }

    void opensWithStoredValues()
    {
        TTaskObj task;
        TSeriesObj series;
        task.RunState = TTaskObj::RunStateSeriesWait;
        series.NextRow = 77;
        bool checked = false;
        onNextModal<T_Schedule>([&](T_Schedule *w) {
            QVERIFY(w->cbEnabled()->isChecked());
            QCOMPARE(w->dpStart()->date(), QDate(2024, 3, 1));
            QCOMPARE(w->dpStartTime()->time(), QTime(9, 30));
            QCOMPARE(w->dpEnd()->date(), QDate(2024, 12, 31));
            QCOMPARE(w->dpEndTm()->time(), QTime(18, 0));
            QCOMPARE(w->eStarted()->text(), "04.03.2024 09:30:05");
            QCOMPARE(w->eLastCnt()->text(), "3");
            QCOMPARE(w->pgC()->currentIndex(), int(T_Schedule::pgWeekly));
            QCOMPARE(w->pgC()->tabText(T_Schedule::pgOnce).remove(u'&'), "Once ");
            QStringList days;
            for (int i = 0; i < 7; ++i)
                days << (w->weekday(i)->isChecked() ? "x" : "-");
            QCOMPARE(days.join(""), "x-x---x");
            QVERIFY(w->month(1)->isChecked() && w->month(11)->isChecked() && !w->month(0)->isChecked());
            QCOMPARE(w->seDaily()->value(), 2);
            QCOMPARE(w->seDayOfMonth()->value(), 15);
            QCOMPARE(w->dpOnce()->date(), QDate(2024, 5, 6));
            QVERIFY(w->cbSeries()->isChecked());
            QCOMPARE(w->seMailCount()->value(), 250);
            QCOMPARE(w->seMailPause()->value(), 30);
            for (QSpinBox *box : {w->seDaily(), w->seDayOfMonth(), w->seMailCount(), w->seMailPause()}) {
                QCOMPARE(box->minimum(), 1);
                QCOMPARE(box->maximum(), 9999999);
            }
            QVERIFY(w->lblTime()->text().startsWith("Current PC date and time is ("));
            checked = true;
            w->reject();
        });
        QVERIFY(!ShowSchedule(m_project, task, series));
        QVERIFY(checked);
        // Opening reloads the objects: the in-memory run state is gone.
        QCOMPARE(task.RunState, 0);
        QCOMPARE(series.NextRow, 0);
        QCOMPARE(task.Count, 3);
    }

    // Whatever page shows when saving decides the kind; the other pages'
    // values are stored as well.
    void saveTakesThePageShowing()
    {
        const QByteArray before = readFile(m_project);
        TTaskObj task;
        TSeriesObj series;
        onNextModal<T_Schedule>([](T_Schedule *w) {
            w->pgC()->setCurrentIndex(T_Schedule::pgOnce);
            w->dpOnce()->setDate(QDate(2025, 1, 2));
            w->weekday(1)->setChecked(true);
            w->seMailPause()->setValue(5);
            w->cbEnabled()->setChecked(false);
            w->accept();
        });
        QVERIFY(ShowSchedule(m_project, task, series));
        QVERIFY(readFile(m_project) != before);
        TTaskObj stored;
        stored.Load(m_project);
        TSeriesObj storedSeries;
        storedSeries.Load(m_project);
        QCOMPARE(stored.HowRun, THowRun::Once);
        QCOMPARE(stored.OnceDt, QDate(2025, 1, 2));
        QCOMPARE(stored.Weekly, 1 | 2 | 4 | 64);
        QCOMPARE(stored.Monthly, 2 | 2048);
        QVERIFY(!stored.Enabled);
        QCOMPARE(stored.Count, 3);
        QCOMPARE(stored.LastDt, QDateTime(QDate(2024, 3, 4), QTime(9, 30, 5)));
        QCOMPARE(storedSeries.MailPause, 5);
        QCOMPARE(storedSeries.MailCount, 250);
        QCOMPARE(task.HowRun, THowRun::Once); // the caller's objects follow
        // Other sections of the project file stay.
        IniFile ini;
        QVERIFY(ini.load(m_project));
        QCOMPARE(ini.value(u"Options", u"Subject"), "Hello");
    }

    void clearThenCancelLeavesFile()
    {
        const QByteArray before = readFile(m_project);
        TTaskObj task;
        TSeriesObj series;
        onNextModal<T_Schedule>([](T_Schedule *w) {
            w->clearClick();
            QCOMPARE(w->eStarted()->text(), QString());
            w->reject();
        });
        QVERIFY(!ShowSchedule(m_project, task, series));
        QCOMPARE(readFile(m_project), before);
        QCOMPARE(task.Count, 3);

        // "clear" then Save resets the last execution in the file.
        onNextModal<T_Schedule>([](T_Schedule *w) {
            w->clearClick();
            w->accept();
        });
        QVERIFY(ShowSchedule(m_project, task, series));
        TTaskObj stored;
        stored.Load(m_project);
        QCOMPARE(stored.Count, 0);
        QVERIFY(!stored.LastDt.isValid());
    }

    void midnightStartShowsDesignTime()
    {
        TTaskObj task;
        task.Load(m_project);
        task.StartTm = QTime(0, 0);
        QVERIFY(task.Save(m_project));
        TSeriesObj series;
        onNextModal<T_Schedule>([](T_Schedule *w) {
            QCOMPARE(w->dpStartTime()->time(), QTime(20, 24));
            for (int i = 0; i < 7; ++i)
                w->weekday(i)->setChecked(false);
            w->accept();
        });
        QVERIFY(ShowSchedule(m_project, task, series));
        TTaskObj stored;
        stored.Load(m_project);
        QCOMPARE(stored.StartTm, QTime(20, 24));
        QCOMPARE(stored.Weekly, 0);
        QCOMPARE(stored.HowRun, THowRun::Weekly);
        QVERIFY(!stored.IsDue(QDateTime(QDate(2024, 6, 3), QTime(23, 0))));
    }

    // Every page's controls have names a screen reader speaks, and Tab walks
    // them all.
    void keyboardAndScreenReader()
    {
        TTaskObj task;
        TSeriesObj series;
        task.Load(m_project);
        series.Load(m_project);
        T_Schedule w(task, series);
        auto *pages = w.findChild<QTabWidget *>();
        QVERIFY(pages);
        for (int page = 0; page < pages->count(); ++page) {
            pages->setCurrentIndex(page);
            VARNHOLT_VERIFY_ACCESSIBLE(&w);
            VARNHOLT_VERIFY_MNEMONICS(&w);
        }
    }

private:
    QTemporaryDir m_dir;
    QString m_project;
};

QTEST_MAIN(TestScheduleWindow)
#include "tst_schedulewindow.moc"
