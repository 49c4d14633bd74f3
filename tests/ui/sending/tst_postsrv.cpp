// The sending window against a real smtp-sink on 127.0.0.1: what a run
// shows row by row and in the status bar, "Stop", "Resume" from the
// selected row, the pop-up menu, the series pause, and "Delete from list"
// through its real dialog. Each run is awaited in a real event loop
// (QSignalSpy::wait), never by polling.

#include "sending/projectlock.h"
#include "ui/sending/deleteform.h"
#include "ui/sending/postsrv.h"
#include "ui/sending/resultmodel.h"

#include "accessibilitycheck.h"
#include "modalhelper.h"
#include "queuedcalls.h"

#include "sendingfixture.h"
#include "testservers.h"

#include "ui/common/messagebox.h"
#include "ui/common/msglanguage.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QMdiArea>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QSignalSpy>
#include <QTableView>
#include <QtTest>

using namespace varnholt;
using namespace varnholt::testing;

namespace {

// Collects the message boxes the window would show; a question gets
// `answer`.
struct MessageLog {
    QStringList texts;
    int answer = idNo;
    MessageBoxHook previous;
    MessageLog()
    {
        previous = setMessageBoxHook([this](const QString &text, const QString &, int flags) {
            texts << text;
            return (flags & mbYesNo) == mbYesNo || (flags & mbYesNoCancel) == mbYesNoCancel ? answer : int(idOk);
        });
    }
    ~MessageLog() { setMessageBoxHook(previous); }
};

QString cell(const TPostSrv &w, int row, int column)
{
    return w.model()->index(row, column).data().toString();
}

bool hasIcon(const TPostSrv &w, int row)
{
    return !w.model()->index(row, 1).data(Qt::DecorationRole).value<QIcon>().isNull();
}

} // namespace

class TestPostSrv : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void runShowsEveryRow();
    void refusedRowsShowCodeAndComment();
    void stopThenResumeFromSelectedRow();
    void seriesPauseWaitsAndStopReturnsToIdle();
    void accountLimitWaitShowsInTheStatusBar();
    void temporaryRefusalsRetriedFromTheWindow();
    void panelsShowTheScheduleInTheWindowsWords();
    void emailColumnOutOfRangeRefusesToOpen();
    void projectInUseRefusesToOpen();
    void deleteFromListAppliesTheDialog_data();
    void deleteFromListAppliesTheDialog();
    void closedMidRunResumesWithoutDuplicates();
    void sendMailAsksBeforeMailingAgain();
    void columnWithoutAddressesAsksFirst();
    void keyboardAndScreenReader();
    void viewFollowsTheRunUntilScrolledAway();
    void directDeliveryFromTheWindow();
};

void TestPostSrv::runShowsEveryRow()
{
    SendingFixture f;
    openToAll(f.dir.path());
    SmtpSink sink;
    VARNHOLT_START_SERVER(sink, f.path("sink"));
    QList<QByteArray> lines;
    for (int i = 0; i < 20; ++i)
        lines << QStringLiteral("u%1@example.test;N%1").arg(i).toUtf8();
    lines << "no-at-sign;Bad"; // the last row: never handed over
    f.make(lines, sink.port());

    MessageLog messages;
    TPostSrv w(*f.project, f.accounts);
    QVERIFY(w.isUsable());
    w.show();
    QCOMPARE(w.model()->rowCount(), 21);
    QCOMPARE(w.model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("email"));
    QCOMPARE(w.model()->headerData(4, Qt::Horizontal).toString(), QStringLiteral("comment"));
    QCOMPARE(w.statusTexts().value(1), QStringLiteral("Total: 21"));
    QVERIFY(!w.button("stop")->isEnabled());
    // The window opens on its first command, and Tab leaves the table.
    QCOMPARE(w.focusWidget(), w.button("sendMail"));
    QVERIFY(!w.resultView()->tabKeyNavigation());

    // Every row change reaches the view as a change of that row alone.
    QSignalSpy changed(w.model(), &QAbstractItemModel::dataChanged);
    QSignalSpy finished(&w.run(), &SendingRun::runFinished);
    bool sawRunning = false;
    connect(&w.run(), &SendingRun::stateChanged, &w, [&] {
        sawRunning = sawRunning || (w.button("stop")->isEnabled() && !w.button("sendMail")->isEnabled()
                                    && !w.button("resume")->isEnabled());
    });
    QTest::mouseClick(w.button("sendMail"), Qt::LeftButton);
    QVERIFY(finished.wait(30000));
    QCOMPARE(finished.first().first().toBool(), true);
    QVERIFY(sawRunning);
    for (const QList<QVariant> &args : changed)
        QCOMPARE(args.at(0).toModelIndex().row(), args.at(1).toModelIndex().row());

    for (int row = 0; row < 20; ++row) {
        QCOMPARE(cell(w, row, 0), QStringLiteral("u%1@example.test").arg(row));
        QCOMPARE(cell(w, row, 1), QStringLiteral("Ok"));
        QCOMPARE(cell(w, row, 2), QStringLiteral("Sent through ISP smtp mail server"));
        QVERIFY(hasIcon(w, row));
    }
    QCOMPARE(cell(w, 20, 1), QString());
    QCOMPARE(cell(w, 20, 2), QStringLiteral("Error email"));
    QVERIFY(hasIcon(w, 20));

    // The completion notice arrives queued, after the run's own signals.
    QTRY_COMPARE(messages.texts, QStringList{QStringLiteral("The process has been completed\n20 sent, 0 failed, 1 without a valid e-mail address.")});
    const QStringList panels = w.statusTexts();
    QVERIFY2(panels.value(0).startsWith(QStringLiteral("Elapsed: ")), qPrintable(panels.value(0)));
    QCOMPARE(panels.mid(1, 5), (QStringList{"Total: 21", "Waiting: 0", "Good: 20", "Bad: 0", "Invalid: 1"}));
    const auto *progress = w.findChild<QProgressBar *>(QStringLiteral("progress"));
    QVERIFY(progress);
    QCOMPARE(progress->value(), progress->maximum());
    QCOMPARE(progress->maximum(), 21);
    QVERIFY(w.button("sendMail")->isEnabled());
    QVERIFY(!w.button("stop")->isEnabled());
    QCOMPARE(SmtpSink::storedMessages(f.path("sink")).size(), 20);
}

void TestPostSrv::refusedRowsShowCodeAndComment()
{
    SendingFixture f;
    openToAll(f.dir.path());
    SmtpSink sink;
    VARNHOLT_START_SERVER(sink, QString(), {"-f", "RCPT"});
    f.make({"a@example.test;A", "b@example.test;B"}, sink.port());
    MessageLog messages;
    TPostSrv w(*f.project, f.accounts);
    QSignalSpy finished(&w.run(), &SendingRun::runFinished);
    w.sendMail();
    QVERIFY(finished.wait(30000));
    for (int row = 0; row < 2; ++row) {
        QCOMPARE(cell(w, row, 1), QStringLiteral("No"));
        QVERIFY2(cell(w, row, 3).startsWith(u'5'), qPrintable(cell(w, row, 3)));
        QVERIFY2(!cell(w, row, 4).isEmpty(), "the server's text belongs in the comment");
    }
    QCOMPARE(w.statusTexts().mid(3, 2), (QStringList{"Good: 0", "Bad: 2"}));
}

void TestPostSrv::stopThenResumeFromSelectedRow()
{
    constexpr int kRows = 120;
    SendingFixture f;
    openToAll(f.dir.path());
    SmtpSink sink;
    VARNHOLT_START_SERVER(sink, f.path("sink"));
    QList<QByteArray> lines;
    for (int i = 0; i < kRows; ++i)
        lines << QStringLiteral("u%1@example.test;N%1").arg(i).toUtf8();
    f.make(lines, sink.port());
    MessageLog messages;
    TPostSrv w(*f.project, f.accounts);
    w.show();

    // "Stop" pressed as the tenth message is accepted.
    QSignalSpy finished(&w.run(), &SendingRun::runFinished);
    bool stopped = false;
    connect(&w.run(), &SendingRun::countersChanged, &w, [&] {
        if (w.run().good() == 10 && !stopped) {
            stopped = true;
            QTest::mouseClick(w.button("stop"), Qt::LeftButton);
        }
    });
    w.sendMail();
    QVERIFY(finished.wait(30000));
    QCOMPARE(finished.first().first().toBool(), false);
    const int sentBeforeStop = w.run().good();
    QVERIFY2(sentBeforeStop >= 10 && sentBeforeStop < 15, QByteArray::number(sentBeforeStop));
    QTRY_COMPARE(messages.texts, QStringList{QStringLiteral("Aborted")});
    QVERIFY(w.button("resume")->isEnabled());
    QVERIFY(!w.button("stop")->isEnabled());
    QCOMPARE(cell(w, 60, 1), QString());

    // "Status No" on a sent row before the selected row: Resume starts at
    // the selected row, so that row stays as it is.
    w.resultView()->selectRow(2);
    QCOMPARE(w.selectedRow(), 2);
    w.popupMenu()->actions().at(1)->trigger(); // "Status No"
    QCOMPARE(w.run().results().row(2).status, RowStatus::Failed);
    QCOMPARE(cell(w, 2, 1), QStringLiteral("Ok")); // the cells do not change
    // "Status No" on a sent row after it: sent again.
    w.resultView()->selectRow(5);
    w.popupMenu()->actions().at(1)->trigger();

    w.resultView()->selectRow(4);
    finished.clear();
    messages.texts.clear();
    QTest::mouseClick(w.button("resume"), Qt::LeftButton);
    QVERIFY(finished.wait(30000));
    QCOMPARE(finished.first().first().toBool(), true);
    QCOMPARE(w.run().results().row(2).status, RowStatus::Failed);
    for (int row = 4; row < kRows; ++row)
        QCOMPARE(w.run().results().row(row).status, RowStatus::Sent);
    for (int row = 0; row < 4; ++row)
        QCOMPARE(cell(w, row, 1), QStringLiteral("Ok"));
    // Row 5 went twice, row 4 and the sent rows before the stop stayed as
    // they were, the unsent rest went once each.
    QCOMPARE(SmtpSink::storedMessages(f.path("sink")).size(), kRows + 1);
    QCOMPARE(w.run().good(), kRows + 1);
}

void TestPostSrv::seriesPauseWaitsAndStopReturnsToIdle()
{
    SendingFixture f;
    openToAll(f.dir.path());
    SmtpSink sink;
    VARNHOLT_START_SERVER(sink, f.path("sink"));
    QList<QByteArray> lines;
    for (int i = 0; i < 8; ++i)
        lines << QStringLiteral("u%1@example.test;N%1").arg(i).toUtf8();
    f.make(lines, sink.port(), 1, "\r\n[MailTask]\r\nSeries=1\r\nMailCount=3\r\nMailPause=10\r\n");
    MessageLog messages;
    TPostSrv w(*f.project, f.accounts);
    w.show();
    QSignalSpy state(&w.run(), &SendingRun::stateChanged);
    w.sendMail();
    while (w.run().state() != SendingRun::State::SeriesPause)
        QVERIFY(state.wait(30000));
    QCOMPARE(w.run().good(), 3);
    QCOMPARE(w.statusTexts().value(6), QStringLiteral("Waiting for the next scheduled interval."));
    QVERIFY(w.button("stop")->isEnabled());
    QVERIFY(!w.button("sendMail")->isEnabled());
    QVERIFY(w.run().schedule().isPausing());

    QTest::mouseClick(w.button("stop"), Qt::LeftButton);
    QVERIFY(!w.run().isRunning());
    QVERIFY(w.button("sendMail")->isEnabled());
    QVERIFY(!w.button("stop")->isEnabled());
    QVERIFY(!w.run().schedule().isPausing());
    runQueuedCalls(); // any queued message box would have arrived
    QCOMPARE(messages.texts, QStringList());
    QCOMPARE(SmtpSink::storedMessages(f.path("sink")).size(), 3);
}

void TestPostSrv::accountLimitWaitShowsInTheStatusBar()
{
    SendingFixture f;
    openToAll(f.dir.path());
    SmtpSink sink;
    VARNHOLT_START_SERVER(sink, f.path("sink"));
    f.make({"u0@example.test;A", "u1@example.test;B", "u2@example.test;C"}, sink.port());
    f.accounts.item(0)->MaxPerMinute = 2;
    MessageLog messages;
    TPostSrv w(*f.project, f.accounts);
    w.run().setClock([] { return QDateTime(QDate(2030, 5, 6), QTime(10, 0)); });
    w.show();
    QSignalSpy state(&w.run(), &SendingRun::stateChanged);
    w.sendMail();
    while (w.run().state() != SendingRun::State::PaceWait)
        QVERIFY(state.wait(30000));
    QTRY_COMPARE(w.run().good(), 2); // the wait may begin while they are on the way
    QCOMPARE(w.statusTexts().value(6), QStringLiteral("Waiting for the account's limit: next message at 10:01:00"));
    QVERIFY(w.button("stop")->isEnabled());

    QTest::mouseClick(w.button("stop"), Qt::LeftButton);
    QTRY_VERIFY(!w.run().isRunning());
    QVERIFY(w.button("sendMail")->isEnabled());
    QCOMPARE(w.statusTexts().value(6), QString());
    QCOMPARE(SmtpSink::storedMessages(f.path("sink")).size(), 2);
}

// "Retry temporary refusals" goes into the project; a greylisted row then
// shows when it is tried again, and the status bar what the run waits for.
void TestPostSrv::temporaryRefusalsRetriedFromTheWindow()
{
    SendingFixture f;
    AiosmtpdServer server;
    VARNHOLT_START_SERVER(server, "plain", f.path("mail"), QString(), QString(), QString(), QString(), {},
                          {"--greylist"});
    f.make({"u0@example.test;A", "u1@example.test;B"}, server.port());
    MessageLog messages;
    TPostSrv w(*f.project, f.accounts);
    w.run().setClock([] { return QDateTime(QDate(2030, 5, 6), QTime(10, 0)); });
    w.show();
    auto *count = w.findChild<QSpinBox *>("retryCount");
    auto *minutes = w.findChild<QSpinBox *>("retryMinutes");
    QVERIFY(count && minutes);
    QCOMPARE(count->value(), 0);
    count->setValue(2);
    minutes->setValue(15);
    QVERIFY(f.project->isModified());
    QVERIFY(f.project->writeSettings());
    Project reread(f.project->settings());
    reread.open(f.project->settingsFile());
    QCOMPARE(reread.settings().RetryCount, 2);
    QCOMPARE(reread.settings().RetryMinutes, 15);

    QSignalSpy state(&w.run(), &SendingRun::stateChanged);
    w.sendMail();
    while (w.run().state() != SendingRun::State::RetryWait)
        QVERIFY(state.wait(30000));
    for (int row = 0; row < 2; ++row) {
        QCOMPARE(cell(w, row, 2), QStringLiteral("deferred, retry at 10:15"));
        QCOMPARE(cell(w, row, 3), QStringLiteral("451"));
        QVERIFY(hasIcon(w, row));
    }
    QCOMPARE(w.statusTexts().value(6),
             QStringLiteral("Temporary refusals: 2 messages wait for their next try at 10:15:00"));
    QCOMPARE(w.statusTexts().mid(3, 2), (QStringList{"Good: 0", "Bad: 0"}));
    QVERIFY(!count->isEnabled());

    QTest::mouseClick(w.button("stop"), Qt::LeftButton);
    QTRY_VERIFY(!w.run().isRunning());
    QVERIFY(count->isEnabled());
    QCOMPARE(w.statusTexts().value(6), QString());
    QCOMPARE(w.run().deferred(), 2); // "Resume" goes on with them
}

// The run only says what the schedule panel shows; the window words it,
// in its own (translated) texts.
void TestPostSrv::panelsShowTheScheduleInTheWindowsWords()
{
    SendingFixture f;
    f.make({"a@example.test;A", "b@example.test;B"}, 1, 1, "\r\n[MailTask]\r\nEnabled=1\r\n");
    TPostSrv w(*f.project, f.accounts);
    QCOMPARE(w.run().state(), SendingRun::State::WaitingForSchedule);
    const QStringList panels = w.statusTexts();
    QCOMPARE(panels.mid(1, 5), (QStringList{"Total: 2", "Waiting: 0", "Good: 0", "Bad: 0", "Invalid: 0"}));
    QVERIFY2(QRegularExpression(R"(^Schedule mailing \(00:0[01]:\d\d\)$)").match(panels.value(6)).hasMatch(),
             qPrintable(panels.value(6)));

    w.messages()->setText(stTotal, QStringLiteral("Gesamt"));
    w.messages()->setText(stScheduleMailing, QStringLiteral("Versand geplant"));
    w.messages()->setText(stEmail, QStringLiteral("Adresse"));
    QCOMPARE(w.statusTexts().value(1), QStringLiteral("Gesamt: 2"));
    QVERIFY2(w.statusTexts().value(6).startsWith("Versand geplant (00:0"), qPrintable(w.statusTexts().value(6)));
    QCOMPARE(w.model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Adresse"));
    w.run().stop();
    QCOMPARE(w.statusTexts().value(6), QString());
}

void TestPostSrv::emailColumnOutOfRangeRefusesToOpen()
{
    SendingFixture f;
    f.make({"a@example.test;A"}, 1, 1, "Column=7\r\n");
    f.project->settings().Column = 7;
    MessageLog messages;
    TPostSrv w(*f.project, f.accounts);
    QVERIFY(!w.isUsable());
    QCOMPARE(messages.texts, QStringList{QStringLiteral("Define Email Column")});
}

// A command-line run (or anything else holding the project's lock) keeps a
// second sending window from opening: it would mail the list twice.
void TestPostSrv::projectInUseRefusesToOpen()
{
    SendingFixture f;
    f.make({"a@example.test;A"}, 1);
    QString error;
    auto held = ProjectLock::acquire(f.project->folder(), f.project->name(), &error);
    QVERIFY2(held, qPrintable(error));
    QMdiArea area;
    MessageLog messages;
    QVERIFY(!TPostSrv::Open(&area, *f.project, f.accounts));
    QCOMPARE(messages.texts.size(), 1);
    QVERIFY2(messages.texts[0].contains("another run is using the project"), qPrintable(messages.texts[0]));
    QVERIFY(area.subWindowList().isEmpty());

    held.reset();
    TPostSrv *w = TPostSrv::Open(&area, *f.project, f.accounts);
    QVERIFY(w);
    // While the window is open, the project is its own.
    QVERIFY(!ProjectLock::acquire(f.project->folder(), f.project->name(), &error));
}

void TestPostSrv::deleteFromListAppliesTheDialog_data()
{
    QTest::addColumn<bool>("confirm");
    QTest::addColumn<bool>("editListFirst");
    QTest::addColumn<bool>("deleted");
    QTest::newRow("unsent rows go from list and results together") << true << false << true;
    QTest::newRow("cancelled: nothing goes") << false << false << false;
    // A list tool changed the list after the run: the results no longer
    // name its rows, and deleting by them would take the wrong ones.
    QTest::newRow("list changed since the run: nothing goes") << true << true << false;
}

void TestPostSrv::deleteFromListAppliesTheDialog()
{
    QFETCH(bool, confirm);
    QFETCH(bool, editListFirst);
    QFETCH(bool, deleted);
    SendingFixture f;
    openToAll(f.dir.path());
    SmtpSink sink;
    VARNHOLT_START_SERVER(sink, QString());
    f.make({"a@example.test;A", "nobody;B", "c@example.test;C"}, sink.port());
    MessageLog messages;
    TPostSrv w(*f.project, f.accounts);
    QSignalSpy finished(&w.run(), &SendingRun::runFinished);
    w.sendMail();
    QVERIFY(finished.wait(30000));
    QCOMPARE(w.run().results().count(RowStatus::Failed), 1); // "nobody" has no address
    if (editListFirst)
        f.project->table().setCell(0, 0, QStringLiteral("z@example.test"));
    f.project->setModified(false);
    QTRY_COMPARE(messages.texts, QStringList{QStringLiteral("The process has been completed\n2 sent, 0 failed, 1 without a valid e-mail address.")});
    messages.texts.clear();

    bool dialogShown = false;
    onNextModal<T_DeleteForm>([&](T_DeleteForm *form) {
        dialogShown = true;
        // Enter cancels; the dialog says how many rows a choice takes.
        QVERIFY(form->cancelButton()->isDefault());
        QVERIFY(!form->deleteButton()->isDefault());
        form->choiceButton(DeleteChoice::Sent)->click();
        QCOMPARE(form->countText(), QStringLiteral("2 rows will be deleted from the mailing list."));
        form->choiceButton(DeleteChoice::Codes)->click();
        QCOMPARE(form->countText(), QStringLiteral("No row of the list matches: nothing to delete."));
        QVERIFY(!form->deleteButton()->isEnabled());
        form->choiceButton(DeleteChoice::Unsent)->click();
        QCOMPARE(form->countText(), QStringLiteral("1 row will be deleted from the mailing list."));
        QVERIFY(form->deleteButton()->isEnabled());
        if (confirm)
            form->accept();
        else
            form->reject();
    });
    QSignalSpy listChanged(&w, &TPostSrv::listChanged);
    w.deleteFromList();
    QVERIFY(dialogShown);
    QCOMPARE(listChanged.size(), deleted ? 1 : 0);
    QCOMPARE(f.project->isModified(), deleted);
    const int rows = deleted ? 2 : 3;
    QCOMPARE(f.project->table().rowCount(), rows);
    QCOMPARE(w.run().results().rowCount(), rows);
    QCOMPARE(w.model()->rowCount(), rows);
    QCOMPARE(f.project->table().cell(1, 0), deleted ? QStringLiteral("c@example.test") : QStringLiteral("nobody"));
    QCOMPARE(w.run().results().count(RowStatus::Sent), 2);
    QCOMPARE(messages.texts.size(), editListFirst ? 1 : 0);
    if (editListFirst)
        QVERIFY2(messages.texts.first().contains(QStringLiteral("Nothing was deleted")), qPrintable(messages.texts.first()));
}

QTEST_MAIN(TestPostSrv)
// Closing the window mid-run keeps what was done: the next window shows
// the last run's table from the journal, and Resume mails nobody twice.
void TestPostSrv::closedMidRunResumesWithoutDuplicates()
{
    SendingFixture f;
    openToAll(f.dir.path());
    SmtpSink sink;
    VARNHOLT_START_SERVER(sink, f.path("sink"));
    constexpr int kRows = 60;
    QList<QByteArray> lines;
    for (int i = 0; i < kRows; ++i)
        lines << QStringLiteral("u%1@example.test;N%1").arg(i).toUtf8();
    f.make(lines, sink.port());
    QMdiArea area;
    MessageLog messages;
    messages.answer = idYes;
    TPostSrv *w = TPostSrv::Open(&area, *f.project, f.accounts);
    QVERIFY(w);
    QSignalSpy rows(&w->run(), &SendingRun::rowChanged);
    w->sendMail();
    while (w->run().good() < 10)
        QVERIFY(rows.wait(30000));
    area.closeAllSubWindows(); // asks first; the answer is yes
    QTRY_VERIFY_WITH_TIMEOUT(area.subWindowList().isEmpty(), 30000);
    QVERIFY2(messages.texts.first().startsWith("A mailing is going on."), qPrintable(messages.texts.join('|')));

    w = TPostSrv::Open(&area, *f.project, f.accounts);
    QVERIFY(w);
    const int sentBefore = w->run().results().count(RowStatus::Sent);
    QVERIFY2(sentBefore >= 10 && sentBefore < kRows, qPrintable(QString::number(sentBefore)));
    QCOMPARE(w->run().good(), sentBefore);
    QCOMPARE(cell(*w, 0, 1), QStringLiteral("Ok"));
    QSignalSpy finished(&w->run(), &SendingRun::runFinished);
    w->resume();
    QVERIFY(finished.wait(60000));
    QCOMPARE(w->run().results().count(RowStatus::Sent) + w->run().results().count(RowStatus::Unknown), kRows);

    QMap<QByteArray, int> received;
    static const QRegularExpression to(QStringLiteral("\nTo: (\\S+)\n"));
    for (const QByteArray &message : SmtpSink::storedMessages(f.path("sink")))
        ++received[to.match(QString::fromLatin1(message)).captured(1).toLatin1()];
    QCOMPARE(received.size(), kRows);
    for (auto it = received.cbegin(); it != received.cend(); ++it)
        QVERIFY2(it.value() == 1, it.key().constData());
    area.closeAllSubWindows();
}

// After a run that reached people, "Send Mail" asks before it mails every
// row again; the answer "No" (the default) sends nothing.
void TestPostSrv::sendMailAsksBeforeMailingAgain()
{
    SendingFixture f;
    openToAll(f.dir.path());
    SmtpSink sink;
    VARNHOLT_START_SERVER(sink, f.path("sink"));
    f.make({"a@example.test;A", "b@example.test;B", "nobody;C"}, sink.port());
    MessageLog messages;
    TPostSrv w(*f.project, f.accounts);
    QSignalSpy finished(&w.run(), &SendingRun::runFinished);
    w.sendMail();
    QVERIFY(finished.wait(30000));
    runQueuedCalls();
    messages.texts.clear();

    w.sendMail(); // answered "No"
    QCOMPARE(messages.texts, QStringList{"2 recipients of the last run already received this mailing. Send to every "
                                         "row again?"});
    QCOMPARE(w.run().state(), SendingRun::State::Idle);
    QCOMPARE(finished.size(), 1);

    messages.answer = idYes;
    w.sendMail();
    QVERIFY(finished.wait(30000));
    QCOMPARE(SmtpSink::storedMessages(f.path("sink")).size(), 4);
    // The time shown is the run's own, not the time since it began.
    const QString elapsed = w.statusTexts().value(0);
    w.run().setClock([] { return QDateTime::currentDateTime().addSecs(3600); });
    w.messages()->setText(stTotal, QStringLiteral("Total")); // the panels are drawn again
    QCOMPARE(w.statusTexts().value(0), elapsed);
}

// The e-mail column points at a column without a single address (a
// delimiter changed and back): the window asks before a run.
void TestPostSrv::columnWithoutAddressesAsksFirst()
{
    SendingFixture f;
    f.make({"Ann;a@example.test", "Bo;b@example.test"}, 1);
    MessageLog messages;
    TPostSrv w(*f.project, f.accounts);
    w.sendMail();
    QCOMPARE(messages.texts, QStringList{"The column chosen for the e-mail addresses (Column#1) holds no valid e-mail "
                                         "address. Send anyway?"});
    QCOMPARE(w.run().state(), SendingRun::State::Idle);
    QCOMPARE(w.run().results().count(RowStatus::NotProcessed), 2);
}

// Every control has a name a screen reader speaks, and Tab walks them all.
void TestPostSrv::keyboardAndScreenReader()
{
    SendingFixture f;
    f.make({"a@example.test;A", "b@example.test;B", "c@example.test;C"}, 1); // more cells than Tab presses
    TPostSrv w(*f.project, f.accounts);
    VARNHOLT_VERIFY_ACCESSIBLE(&w);
    VARNHOLT_VERIFY_MNEMONICS(&w);
}

// The table keeps the row being sent in sight; once the user scrolls away
// it stays where the user put it.
void TestPostSrv::viewFollowsTheRunUntilScrolledAway()
{
    SendingFixture f;
    openToAll(f.dir.path());
    SmtpSink sink;
    VARNHOLT_START_SERVER(sink, QString());
    QList<QByteArray> lines;
    for (int i = 0; i < 3000; ++i)
        lines << QStringLiteral("u%1@example.test;N%1").arg(i).toUtf8();
    f.make(lines, sink.port());
    MessageLog messages;
    TPostSrv w(*f.project, f.accounts);
    w.resize(800, 400);
    w.show();
    QTableView *view = w.resultView();
    const auto rowInSight = [view](int row) {
        const int top = view->rowAt(0);
        const int bottom = view->rowAt(view->viewport()->height() - 1);
        return row >= top && row <= bottom;
    };
    QSignalSpy rows(&w.run(), &SendingRun::rowChanged);
    w.sendMail();
    while (w.run().good() < 300)
        QVERIFY(rows.wait(30000));
    QTRY_VERIFY(rowInSight(w.run().currentRow()));

    view->scrollToTop(); // the user looks at the first rows
    const int top = view->rowAt(0);
    while (w.run().good() < 900 && w.run().isRunning())
        QVERIFY(rows.wait(30000));
    // The panels were drawn again since (which is when the view follows).
    for (int refresh = 0; refresh < 2; ++refresh) {
        const QString good = w.statusTexts().value(3);
        QTRY_VERIFY(w.statusTexts().value(3) != good || !w.run().isRunning());
    }
    QCOMPARE(view->rowAt(0), top);
    w.stop();
}

#include "tst_postsrv.moc"

// Unchecking the transport switch warns once, shows the direct delivery's
// settings and sends straight to the recipients' exchanger (found through
// dnsmasq, played by smtp-sink on 127.0.0.2).
void TestPostSrv::directDeliveryFromTheWindow()
{
    SendingFixture f;
    openToAll(f.dir.path());
    const quint16 port = freePort();
    SmtpSink sink;
    sink.listenOn(QStringLiteral("127.0.0.2"), port);
    VARNHOLT_START_SERVER(sink, f.path("sink"));
    DnsmasqServer dns;
    VARNHOLT_START_SERVER(dns, QStringList{"--local=/test/", "--mx-host=d.test,mx.d.test,10",
                                           "--host-record=mx.d.test,127.0.0.2"});
    f.make({"a@d.test;A", "b@d.test;B", "no-at-sign;C"}, 1); // the account's server is never used

    MessageLog messages;
    TPostSrv w(*f.project, f.accounts);
    w.show();
    auto *sw = w.findChild<QCheckBox *>(QStringLiteral("transportSwitch"));
    auto *panel = w.findChild<QWidget *>(QStringLiteral("directTransport"));
    QVERIFY(sw && panel);
    QVERIFY(sw->isChecked());
    QVERIFY(!panel->isVisible());
    sw->click();
    QCOMPARE(messages.texts.size(), 1);
    QVERIFY2(messages.texts.first().contains(QStringLiteral("port 25")), qPrintable(messages.texts.first()));
    QVERIFY(panel->isVisible());
    QCOMPARE(w.run().transport(), SendingTransport::Direct);
    VARNHOLT_VERIFY_ACCESSIBLE(&w);
    VARNHOLT_VERIFY_MNEMONICS(&w);

    w.findChild<QLineEdit *>(QStringLiteral("dnsServer"))->setText(QStringLiteral("127.0.0.1:%1").arg(dns.port()));
    // The sender of direct delivery is the window's.
    w.findChild<QLineEdit *>(QStringLiteral("fromEmail"))->setText(QStringLiteral("news@d.test"));
    w.findChild<QLineEdit *>(QStringLiteral("fromName"))->setText(QStringLiteral("News Desk"));
    w.findChild<QLineEdit *>(QStringLiteral("mailDomain"))->setText(QStringLiteral("d.test"));
    DirectSettings direct;
    direct.port = QString::number(port);
    w.run().setDirectSettings(direct);
    QSignalSpy finished(&w.run(), &SendingRun::runFinished);
    QTest::mouseClick(w.button("sendMail"), Qt::LeftButton);
    QVERIFY(finished.wait(30000));
    for (int row = 0; row < 2; ++row) {
        QCOMPARE(cell(w, row, 1), QStringLiteral("Ok"));
        QCOMPARE(cell(w, row, 2), QStringLiteral("Delivered and available to the recipient!"));
    }
    QCOMPARE(cell(w, 2, 2), QStringLiteral("Error email"));
    const QList<QByteArray> stored = SmtpSink::storedMessages(f.path("sink"));
    QCOMPARE(stored.size(), 2);
    for (const QByteArray &message : stored) {
        QVERIFY2(message.contains("From: \"News Desk\" <news@d.test>\n"), message.constData());
        QVERIFY2(message.contains("@d.test>\n"), message.constData()); // the Message-Id's domain
    }
    QTRY_COMPARE(messages.texts.size(), 2); // the completion notice
    sw->click(); // back to the account: no second warning
    QCOMPARE(messages.texts.size(), 2);
    QVERIFY(!panel->isVisible());
    // The mail domain stays with the project's account.
    QVERIFY(w.close());
    QCOMPARE(f.accounts.item(0)->MailDomain, QStringLiteral("d.test"));
}
