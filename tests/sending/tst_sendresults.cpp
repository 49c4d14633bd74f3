#include "project/listtable.h"
#include "sending/resultfiles.h"
#include "sending/resulttable.h"
#include "sending/sendlog.h"
#include "settings/logrecords.h"

#include "resultsfixture.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace varnholt;
using varnholt::testing::readFile;
using varnholt::testing::writeFile;
using varnholt::testing::ResultsFixture;

class TestSendResults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void logFileNameAndLines();
    void logCannotBeCreated();
    void resultFile_data();
    void resultFile();
    void deleteFromList_data();
    void deleteFromList();
    void heldBack();
    void tableCells();
    void tableSharesAndReleasesTexts();
    void journalRoundTrip();
    void journalOfEarlierRunLoads();
    void journalIgnoresCutLine();
    void journalRefusesDamage_data();
    void journalRefusesDamage();
};

void TestSendResults::logFileNameAndLines()
{
    QCOMPARE(SendLog::fileNameFor(QDateTime(QDate(2010, 3, 5), QTime(14, 3, 7))),
             QStringLiteral("send_05-03-10_14-03-07.log"));

    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("deep/logs"));
    SendLog log(folder);
    const QDateTime start(QDate(2010, 3, 5), QTime(14, 3, 7));
    QVERIFY(log.WriteLine(SendLog::acceptedRecord("a@x.org", "Ok"), start));
    QVERIFY(log.WriteLine(SendLog::failedRecord("b@x.org", "No", "Error: 550 no; such\r\nuser"), start.addSecs(2)));
    QCOMPARE(log.path(), QDir(folder).filePath("send_05-03-10_14-03-07.log"));
    // Each line is in the file as soon as it was written.
    QCOMPARE(readFile(log.path()),
             QByteArray("14:03:07;a@x.org;Ok\r\n14:03:09;b@x.org;No;Error: 550 no; such  user\r\n"));

    // The viewer's reading: the comment is cut at the server text's ";".
    TLogListObj records(log.path(), "Ok", "No");
    QVERIFY(records.Load());
    QCOMPARE(records.count(), 2);
    QCOMPARE(records.item(0)->StatusText(), QStringLiteral("Ok"));
    QCOMPARE(records.item(1)->Address, QStringLiteral("b@x.org"));
    QCOMPARE(records.item(1)->Status, int(TLogDataObj::StatusBad));
    QCOMPARE(records.item(1)->Comment, QStringLiteral("Error: 550 no"));

    // A second run writes a second file; the first stays as it was.
    const QString first = log.path();
    log.startNewRun();
    QVERIFY(log.WriteLine("c@x.org;Ok", start.addSecs(60)));
    QVERIFY(log.path() != first);
    QCOMPARE(readFile(log.path()), QByteArray("14:04:07;c@x.org;Ok\r\n"));
    QCOMPARE(readFile(first).count('\n'), 2);

    // "Create log file" off: nothing is written.
    log.setEnabled(false);
    QVERIFY(!log.WriteLine("d@x.org;Ok", start.addSecs(61)));
    QCOMPARE(readFile(log.path()).count('\n'), 1);
}

void TestSendResults::logCannotBeCreated()
{
    QTemporaryDir dir;
    QFile blocker(dir.filePath(QStringLiteral("logs")));
    QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
    blocker.close();
    SendLog log(dir.filePath(QStringLiteral("logs")));
    QString error;
    QVERIFY(!log.WriteLine("a@x.org;Ok", QDateTime::currentDateTime(), &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!log.WriteLine("b@x.org;Ok")); // no log for the rest of the run
}

void TestSendResults::resultFile_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("format");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("all, list and status fields")
        << int(SaveRows::All) << int(SaveFormat::ListFieldsAndStatus)
        << QByteArray("a@x.org,Anna,Ok,Sent through ISP smtp mail server,,\r\n"
                      "b@x.org,Bob,No,,550,Error: 550 no such user\r\n"
                      "carl,Carl,,Error email,,\r\n"
                      "d@x.org,Dora,,,,\r\n"
                      "e@x.org,Emil,No,,551,Error: 551 not local\r\n");
    QTest::newRow("sent, address only") << int(SaveRows::Sent) << int(SaveFormat::EmailOnly) << QByteArray("a@x.org\r\n");
    QTest::newRow("other SMTP error skips failures without a code")
        << int(SaveRows::OtherSmtpError) << int(SaveFormat::EmailAndStatus)
        << QByteArray("b@x.org,No,,550,Error: 550 no such user\r\ne@x.org,No,,551,Error: 551 not local\r\n");
    QTest::newRow("list fields only") << int(SaveRows::Sent) << int(SaveFormat::ListFields) << QByteArray("a@x.org,Anna\r\n");
}

void TestSendResults::resultFile()
{
    QFETCH(int, rows);
    QFETCH(int, format);
    QFETCH(QByteArray, expected);
    ResultsFixture f;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.txt"));
    QVERIFY(writeResultFile(path, f.results, f.list, u',', SaveRows(rows), SaveFormat(format)));
    QCOMPARE(readFile(path), expected);
}

void TestSendResults::deleteFromList_data()
{
    QTest::addColumn<int>("choice");
    QTest::addColumn<QString>("codeSet");
    QTest::addColumn<QStringList>("kept");

    QTest::newRow("sent") << int(DeleteChoice::Sent) << QString()
                          << QStringList{"b@x.org", "carl", "d@x.org", "e@x.org"};
    QTest::newRow("unsent keeps the unprocessed row") << int(DeleteChoice::Unsent) << QString()
                                                      << QStringList{"a@x.org", "d@x.org"};
    QTest::newRow("code 550 only") << int(DeleteChoice::Codes) << ";550"
                                   << QStringList{"a@x.org", "carl", "d@x.org", "e@x.org"};
    QTest::newRow("codes 550 and 551") << int(DeleteChoice::Codes) << ";550;551"
                                       << QStringList{"a@x.org", "carl", "d@x.org"};
    QTest::newRow("a code is matched whole") << int(DeleteChoice::Codes) << ";5505;55"
                                             << QStringList{"a@x.org", "b@x.org", "carl", "d@x.org", "e@x.org"};
}

void TestSendResults::deleteFromList()
{
    QFETCH(int, choice);
    QFETCH(QString, codeSet);
    QFETCH(QStringList, kept);
    ResultsFixture f;
    const ResultRow dora = f.results.row(3);
    const ResultRow emil = f.results.row(4);
    varnholt::deleteFromList(f.list, f.results, DeleteChoice(choice), codeSet);
    QCOMPARE(f.listAddresses(), kept);
    QCOMPARE(f.resultAddresses(), kept);
    // Rows that stay keep their cells and status.
    if (const int at = int(kept.indexOf("d@x.org")); at >= 0)
        QCOMPARE(f.results.row(at), dora);
    if (const int at = int(kept.indexOf("e@x.org")); at >= 0) {
        QCOMPARE(f.results.row(at), emil);
        QCOMPARE(f.list.cell(at, 1), QStringLiteral("Emil"));
    }
}

void TestSendResults::heldBack()
{
    ResultRow row;
    row.code = QStringLiteral(" 550 ");
    QVERIFY(IsHeldBack(row, HeldBackCodes(QStringLiteral("421;550"))));
    QVERIFY(!IsHeldBack(row, HeldBackCodes(QStringLiteral("421;551"))));
    row.code.clear();
    QVERIFY(!IsHeldBack(row, HeldBackCodes(QStringLiteral("421;550"))));
    // A leading ";" gives an empty entry: rows without a code are held back.
    QVERIFY(IsHeldBack(row, HeldBackCodes(QStringLiteral(";550"))));
}

// Addresses in any script survive the compact storage, also when rows are
// replaced and removed; a copy is independent of its original.
void TestSendResults::tableCells()
{
    const QStringList addresses{QStringLiteral("j\u00FCrgen@x.de"), QStringLiteral("\u043F\u043E\u0447\u0442\u0430@x.ru"),
                                QStringLiteral("\U0001F600@x.org"), QString(), QStringLiteral("last@x.org")};
    ResultTable t;
    t.setRowCount(int(addresses.size()));
    for (int r = 0; r < t.rowCount(); ++r)
        t.setAddress(r, addresses[r]);
    t.setRow(1, {addresses[1], "No", "", "550", "550 no such user", RowStatus::Failed});
    t.setRow(4, {addresses[4], "Ok", "Sent through ISP smtp mail server", "", "", RowStatus::Sent});
    t.defer(2, {1'900'000'000'000, 1});
    for (int r = 0; r < t.rowCount(); ++r) {
        QCOMPARE(t.address(r), addresses[r]);
        QCOMPARE(t.addressContains(r, u'@'), !addresses[r].isEmpty());
    }
    QVERIFY(t.addressIsEmpty(3));

    const ResultTable copy = t;
    t.setAddress(0, QStringLiteral("other@x.org"));
    t.setState(4, QStringLiteral("No"));
    QCOMPARE(copy.address(0), addresses[0]);
    QCOMPARE(copy.state(4), QStringLiteral("Ok"));
    QVERIFY(!(copy == t));

    // A deferred row's retry moves with it and goes when it leaves the state.
    t.defer(4, {1'900'000'000'000, 2});
    const int removed[] = {0, 2, 3};
    t.removeRowSet(removed);
    QCOMPARE(t.rowCount(), 2);
    QVERIFY(t.retry(1) == (RowRetry{1'900'000'000'000, 2}));
    QCOMPARE(t.retries().size(), size_t(1));
    t.setStatus(1, RowStatus::Failed);
    QVERIFY(!t.retry(1));
    QVERIFY(t.retries().empty());
    QCOMPARE(t.row(0), (ResultRow{addresses[1], "No", "", "550", "550 no such user", RowStatus::Failed}));
    QCOMPARE(t.address(1), addresses[4]);
    QCOMPARE(t.state(1), QStringLiteral("No"));

    t.resetRow(0);
    QCOMPARE(t.row(0), (ResultRow{addresses[1], "", "", "", "", RowStatus::NotProcessed}));
}

// A long run must not grow by the texts it has seen: repeated texts are held
// once, and a server's comment that is cleared again is let go.
void TestSendResults::tableSharesAndReleasesTexts()
{
    ResultTable t;
    t.setRowCount(500);
    for (int r = 0; r < t.rowCount(); ++r) {
        t.setResult(r, QStringLiteral("Sending email through ISP ..."));
        t.setComment(r, QStringLiteral("250 2.0.0 queued as %1").arg(r));
        t.setState(r, QStringLiteral("Ok"));
        t.setResult(r, QStringLiteral("Sent through ISP smtp mail server"));
    }
    QCOMPARE(t.distinctTexts(), 502);
    for (int r = 0; r < t.rowCount(); ++r)
        t.setComment(r, QString());
    QCOMPARE(t.distinctTexts(), 2);
    QCOMPARE(t.result(499), QStringLiteral("Sent through ISP smtp mail server"));
    t.setRowCount(1);
    t.resetRow(0);
    QCOMPARE(t.distinctTexts(), 0);
}

void TestSendResults::journalRoundTrip()
{
    ResultsFixture f;
    f.results.setComment(1, QStringLiteral("tab\there; line\r\nbreak \\ end"));
    QTemporaryDir dir;
    const QString path = ResultJournal::pathForProject(dir.path(), QStringLiteral("p"));
    QCOMPARE(path, dir.filePath(QStringLiteral("p.results")));

    {
        ResultJournal journal(path);
        QVERIFY(journal.writeSnapshot(f.results));
        // A later run: row 3 is handed over, then accepted; row 2 fails.
        f.set(3, RowStatus::InProgress, "", "Sending email through ISP ...", "", "");
        QVERIFY(journal.appendRow(f.results, 3));
        f.set(3, RowStatus::Sent, "Ok", "Sent through ISP smtp mail server", "", "");
        QVERIFY(journal.appendRow(f.results, 3));
        // Row 2 went out whole and its answer never came.
        f.set(2, RowStatus::Unknown, "", "Outcome unknown", "", "");
        QVERIFY(journal.appendRow(f.results, 2));
        // Row 4 is deferred by a 451, then by a 421; its retry is kept.
        f.set(4, RowStatus::Failed, "", "deferred, retry at 11:10", "451", "451 4.7.1 try later");
        f.results.defer(4, {1'900'000'000'000, 1});
        QVERIFY(journal.appendRow(f.results, 4));
        f.results.defer(4, {1'900'000'600'000, 2});
        f.results.setCode(4, QStringLiteral("421"));
        QVERIFY(journal.appendRow(f.results, 4));
        // Each update is in the file at once: another process sees it.
        const auto seen = ResultJournal::load(path);
        QVERIFY(seen);
        QCOMPARE(seen->row(3).status, RowStatus::Sent);
    }
    const auto loaded = ResultJournal::load(path);
    QVERIFY(loaded);
    QCOMPARE(*loaded, f.results);
    QCOMPARE(loaded->status(4), RowStatus::Deferred);
    QVERIFY(loaded->retry(4) == (RowRetry{1'900'000'600'000, 2}));
    // A snapshot keeps it too.
    {
        ResultJournal again(dir.filePath(QStringLiteral("q.results")));
        QVERIFY(again.writeSnapshot(*loaded));
    }
    QCOMPARE(*ResultJournal::load(dir.filePath(QStringLiteral("q.results"))), f.results);
    QVERIFY(loaded->matches(f.list, 0));
    f.list.setCell(4, 0, QStringLiteral("other@x.org"));
    QVERIFY(!loaded->matches(f.list, 0));

    QVERIFY(!ResultJournal::load(dir.filePath(QStringLiteral("none.results"))));
    QFile other(dir.filePath(QStringLiteral("other.txt")));
    QVERIFY(other.open(QIODevice::WriteOnly));
    other.write("a@x.org;Ok\r\n");
    other.close();
    QVERIFY(!ResultJournal::load(other.fileName()));
}

// Results files written by earlier versions go on being resumed.
void TestSendResults::journalOfEarlierRunLoads()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p.results"));
    QVERIFY(writeFile(path, "varnholt-results 1\r\nrows\t3\r\n"
                            "0\t1\ta@x.org\tOk\tSent through ISP smtp mail server\t\t\r\n"
                            "1\t2\tb@x.org\tNo\t\t550\tError: 550 no\\tsuch user\r\n"
                            "2\t3\tc@x.org\t\tSending email through ISP ...\t\t\r\n"
                            "2\t1\tc@x.org\tOk\tSent through ISP smtp mail server\t\t\r\n"));
    const auto loaded = ResultJournal::load(path);
    QVERIFY(loaded);
    QCOMPARE(loaded->rowCount(), 3);
    QCOMPARE(loaded->row(1), (ResultRow{"b@x.org", "No", "", "550", "Error: 550 no\tsuch user", RowStatus::Failed}));
    QCOMPARE(loaded->row(2), (ResultRow{"c@x.org", "Ok", "Sent through ISP smtp mail server", "", "", RowStatus::Sent}));
    // Written again, it reads back the same.
    ResultJournal journal(path);
    QVERIFY(journal.writeSnapshot(*loaded));
    QCOMPARE(*ResultJournal::load(path), *loaded);
}

// A run killed while writing a line leaves it without its line end.
void TestSendResults::journalIgnoresCutLine()
{
    ResultsFixture f;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p.results"));
    ResultJournal journal(path);
    QVERIFY(journal.writeSnapshot(f.results));
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    file.write(ResultJournal::encodeRow(3, f.results.row(0)).chopped(5));
    file.close();
    const auto loaded = ResultJournal::load(path);
    QVERIFY(loaded);
    QCOMPARE(*loaded, f.results);
}

void TestSendResults::journalRefusesDamage_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reason");
    QTest::newRow("absurd row count") << QByteArray("varnholt-results 1\r\nrows\t2147483647\r\n0\t1\ta@x\t\t\t\t\r\n")
                                      << "row count";
    QTest::newRow("negative row count") << QByteArray("varnholt-results 1\r\nrows\t-4\r\n") << "row count";
    QTest::newRow("no row count") << QByteArray("varnholt-results 1\r\n0\t1\ta@x\t\t\t\t\r\n") << "no row count";
    QTest::newRow("another file") << QByteArray("a@x;Ok\r\n") << "not a results file";
}

// A damaged journal is refused with its reason: never gigabytes of rows
// for a number the file cannot back.
void TestSendResults::journalRefusesDamage()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p.results"));
    QVERIFY(writeFile(path, content));
    QString error;
    QVERIFY(!ResultJournal::load(path, &error));
    QVERIFY2(error.contains(reason), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestSendResults)
#include "tst_sendresults.moc"
