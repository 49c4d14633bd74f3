#include "project/listtable.h"

#include "settings/syscharset.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "testfiles.h"

#include <csignal>
#include <sys/resource.h>
#include <vector>

using namespace varnholt;

using Grid = QList<QStringList>;

namespace {

Grid gridOf(const ListTable &t)
{
    Grid g;
    for (int r = 0; r < t.rowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < t.columnCount(); ++c)
            row.append(t.cell(r, c));
        g.append(row);
    }
    return g;
}

void fill(ListTable &t, const Grid &g)
{
    t.clear();
    t.setRowCount(int(g.size()));
    int cols = 1;
    for (const QStringList &row : g)
        cols = std::max(cols, int(row.size()));
    t.setColumnCount(cols);
    for (int r = 0; r < g.size(); ++r)
        for (int c = 0; c < g[r].size(); ++c)
            t.setCell(r, c, g[r][c]);
}

} // namespace

class TestListTable : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { QVERIFY(m_dir.isValid()); }

    void load_data();
    void load();
    void loadMissingFile();
    void loadStopsWhenAsked();
    void save_data();
    void save();
    void saveFailureKeepsOldFile();
    void bytesSurviveLoadAndSave_data();
    void bytesSurviveLoadAndSave();
    void longCellIsKeptWhole();
    void cellsAreInTheSystemCharset();
    void editsAndModelContract();
    void removeRowSetCompactsInOrder();
    void removingEveryRowLeavesOneBlankRow();
    void heavyEditingKeepsEveryCell();
    void columnsInsertAndRemove();
    void normaliseAddress_data();
    void normaliseAddress();
    void normaliseAddressesTouchesOneColumn();
    void clampColumns_data();
    void clampColumns();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

void TestListTable::load_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QChar>("delimiter");
    QTest::addColumn<Grid>("grid");

    QTest::newRow("split rule: adjacent, trailing and leading delimiters, blanks")
        << QByteArray("a;;b\r\na;b;\r\n;a\r\n  x  ;  y  \r\n") << QChar(u';')
        << Grid{{"a", "", "b"}, {"a", "b", ""}, {"", "a", ""}, {"x", "y", ""}};
    QTest::newRow("empty line carries no record")
        << QByteArray("one\r\n\r\nthree\r\n") << QChar(u';') << Grid{{"one"}, {"three"}};
    QTest::newRow("longest line sets the column count")
        << QByteArray("a\r\n1;2;3;4;5\r\n") << QChar(u';')
        << Grid{{"a", "", "", "", ""}, {"1", "2", "3", "4", "5"}};
    QTest::newRow("LF, CR, CR LF and no final line end")
        << QByteArray("a\nb\rc\r\nd") << QChar(u';') << Grid{{"a"}, {"b"}, {"c"}, {"d"}};
    QTest::newRow("NUL ends the text")
        << QByteArray("a;b\r\nc\0d;e\r\nf\r\n", 15) << QChar(u';') << Grid{{"a", "b"}, {"c", ""}};
    QTest::newRow("line of blanks is a record with one empty field")
        << QByteArray("x\r\n   \r\ny\r\n") << QChar(u';') << Grid{{"x"}, {""}, {"y"}};
    QTest::newRow("empty file gives one blank row") << QByteArray() << QChar(u';') << Grid{{""}};
    QTest::newRow("only line ends give one blank row") << QByteArray("\r\n\n\r") << QChar(u';') << Grid{{""}};
    QTest::newRow("tab delimiter") << QByteArray("a\tb\r\n\tc\r\n") << QChar(u'\t') << Grid{{"a", "b"}, {"", "c"}};
    QTest::newRow("space delimiter: two spaces give an empty field")
        << QByteArray("a  b\r\n") << QChar(u' ') << Grid{{"a", "", "b"}};
    QTest::newRow("other delimiters are plain text")
        << QByteArray("a;b|c\r\n") << QChar(u'|') << Grid{{"a;b", "c"}};
    QTest::newRow("non-ASCII delimiter of two bytes")
        << QByteArray("a\xc2\xa7 b \xc2\xa7\xc2\xa7" "c\r\n") << QChar(u'\u00a7') << Grid{{"a", "b", "", "c"}};
    QTest::newRow("UTF-8 text decodes")
        << QByteArray("Jos\xc3\xa9;M\xc3\xbcller\r\n") << QChar(u';') << Grid{{QStringLiteral("José"), QStringLiteral("Müller")}};
}

void TestListTable::load()
{
    QFETCH(QByteArray, file);
    QFETCH(QChar, delimiter);
    QFETCH(Grid, grid);
    writeFile(path("list.txt"), file);
    ListTable t;
    QSignalSpy reset(&t, &QAbstractItemModel::modelReset);
    const auto result = t.load(path("list.txt"), delimiter);
    QVERIFY(result.fileRead);
    QVERIFY(result.complete);
    QCOMPARE(gridOf(t), grid);
    QCOMPARE(reset.count(), 1);
    QStringList titles;
    for (int c = 1; c <= grid.first().size(); ++c)
        titles.append(QStringLiteral("Column#%1").arg(c));
    QCOMPARE(t.titles(), titles);
    QCOMPARE(t.headerData(grid.first().size() - 1, Qt::Horizontal).toString(), titles.last());
}

void TestListTable::loadMissingFile()
{
    ListTable t;
    writeFile(path("old.txt"), "a;b;c\r\nd\r\n");
    t.load(path("old.txt"), u';');
    const auto result = t.load(path("missing.txt"), u';');
    QVERIFY(!result.fileRead);
    QCOMPARE(gridOf(t), Grid{{""}});
    QCOMPARE(t.titles(), QStringList{"Column#1"});
}

void TestListTable::loadStopsWhenAsked()
{
    QByteArray file;
    for (int i = 0; i < 40000; ++i)
        file += "row" + QByteArray::number(i) + ";x\n";
    writeFile(path("big.txt"), file);

    ListTable t;
    QList<qint64> positions;
    qint64 maximumSeen = 0;
    auto result = t.load(path("big.txt"), u';', [&](qint64 position, qint64 maximum) {
        maximumSeen = maximum;
        positions.append(position);
        return positions.size() < 2;
    });
    QVERIFY(!result.complete);
    QCOMPARE(maximumSeen, qint64(file.size()));
    QCOMPARE(positions.size(), 2);
    QVERIFY(positions[1] > positions[0]);
    // The records read before the stop are kept, in order.
    QVERIFY(t.rowCount() > 0 && t.rowCount() < 40000);
    QCOMPARE(t.cell(t.rowCount() - 1, 0), QStringLiteral("row%1").arg(t.rowCount() - 1));

    result = t.load(path("big.txt"), u';', [](qint64, qint64) { return true; });
    QVERIFY(result.complete);
    QCOMPARE(t.rowCount(), 40000);
}

void TestListTable::save_data()
{
    QTest::addColumn<Grid>("grid");
    QTest::addColumn<QChar>("delimiter");
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("second record with only its first cell")
        << Grid{{"a", "b", "c"}, {"x"}, {"1", "2", "3"}} << QChar(u';')
        << QByteArray("a;b;c\r\nx;;\r\n1;2;3\r\n");
    QTest::newRow("no records writes one empty line") << Grid{{""}} << QChar(u';') << QByteArray("\r\n");
    QTest::newRow("tab delimiter") << Grid{{"a", "b"}} << QChar(u'\t') << QByteArray("a\tb\r\n");
    QTest::newRow("non-ASCII text and delimiter")
        << Grid{{QStringLiteral("é"), "b"}} << QChar(u'\u00a7') << QByteArray("\xc3\xa9\xc2\xa7" "b\r\n");
}

void TestListTable::save()
{
    QFETCH(Grid, grid);
    QFETCH(QChar, delimiter);
    QFETCH(QByteArray, file);
    ListTable t;
    fill(t, grid);
    QString error;
    QVERIFY(t.save(path("out.txt"), delimiter, &error));
    QVERIFY(error.isEmpty());
    QCOMPARE(readFile(path("out.txt")), file);
    QCOMPARE(t.toBytes(delimiter), file);
}

void TestListTable::saveFailureKeepsOldFile()
{
    ListTable t;
    fill(t, Grid{{"new"}});
    QString error;
    QVERIFY(!t.save(path("no/such/folder/list.txt"), u';', &error));
    QVERIFY(!error.isEmpty());

    // A write that fails half-way (here: the file size limit) must leave
    // the old file as it was.
    writeFile(path("keep.txt"), "old\r\n");
    t.setRowCount(20000);
    t.setCell(19999, 0, QStringLiteral("last"));
    rlimit old{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 16 * 1024;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    error.clear();
    const bool saved = t.save(path("keep.txt"), u';', &error);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(!saved);
    QVERIFY(!error.isEmpty());
    QCOMPARE(readFile(path("keep.txt")), QByteArray("old\r\n"));
    QCOMPARE(QDir(m_dir.path()).entryList({"keep.txt*"}, QDir::Files), QStringList{"keep.txt"});
}

void TestListTable::bytesSurviveLoadAndSave_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("invalid UTF-8 bytes") << QByteArray("\xff\xfe;caf\xc3\xa9;\x80\x81\r\nok;\xc3;x\r\n");
    QTest::newRow("control bytes inside fields") << QByteArray("a\x01" "b;c\x1b" "d\r\n");
    QTest::newRow("1 MB line without delimiter") << QByteArray(1 << 20, 'q') + "\r\n";
    QByteArray wide;
    for (int i = 0; i < 5000; ++i)
        wide += "f" + QByteArray::number(i) + ";";
    wide.chop(1);
    QTest::newRow("5000 fields on one line") << wide + "\r\n" + wide + "\r\n";
}

void TestListTable::bytesSurviveLoadAndSave()
{
    QFETCH(QByteArray, file);
    writeFile(path("in.txt"), file);
    ListTable t;
    t.load(path("in.txt"), u';');
    QVERIFY(t.save(path("out.txt"), u';'));
    QCOMPARE(readFile(path("out.txt")), file);

    // Decoding a cell and writing the text back keeps the bytes.
    const QByteArray before = t.cellBytes(0, 0).toByteArray();
    t.setCell(0, 0, t.cell(0, 0));
    QCOMPARE(t.cellBytes(0, 0).toByteArray(), before);
}

void TestListTable::longCellIsKeptWhole()
{
    // Longer than the 24-bit length field of a cell reference.
    QByteArray big(17 << 20, 'z');
    big[0] = 'A';
    big[big.size() - 1] = 'Z';
    writeFile(path("long.txt"), "a;" + big + ";c\r\nd\r\n");
    ListTable t;
    t.load(path("long.txt"), u';');
    QCOMPARE(t.columnCount(), 3);
    QCOMPARE(t.cellBytes(0, 1).size(), big.size());
    QVERIFY(t.cellBytes(0, 1) == big);
    QCOMPARE(t.cell(0, 2), QStringLiteral("c"));
    QCOMPARE(t.cell(1, 0), QStringLiteral("d"));

    t.setCellBytes(1, 1, big);
    QVERIFY(t.cellBytes(1, 1) == big);
    QVERIFY(t.save(path("long2.txt"), u';'));
    QCOMPARE(readFile(path("long2.txt")), "a;" + big + ";c\r\nd;" + big + ";\r\n");
}

void TestListTable::cellsAreInTheSystemCharset()
{
    SystemCharset::overrideForTesting("ISO-8859-1");
    const auto restore = qScopeGuard([] { SystemCharset::overrideForTesting({}); });
    writeFile(path("latin1.txt"), "Jos\xe9\xa7x;y\r\n");
    ListTable t;
    t.load(path("latin1.txt"), u'\u00a7'); // the delimiter is encoded too: one byte here
    QCOMPARE(gridOf(t), (Grid{{QStringLiteral("José"), QStringLiteral("x;y")}}));
    t.setCell(0, 0, QStringLiteral("Müller"));
    QVERIFY(t.cellBytes(0, 0) == QByteArrayView("M\xfcller"));
}

void TestListTable::editsAndModelContract()
{
    ListTable t;
    QAbstractItemModelTester tester(&t, QAbstractItemModelTester::FailureReportingMode::QtTest);
    writeFile(path("l.txt"), "a;b\r\nc;d\r\n");
    t.load(path("l.txt"), u';');

    QSignalSpy changed(&t, &QAbstractItemModel::dataChanged);
    QVERIFY(t.setData(t.index(1, 1), QStringLiteral("D")));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(t.data(t.index(1, 1)).toString(), QStringLiteral("D"));
    QVERIFY(!t.setData(t.index(1, 1), QStringLiteral("x"), Qt::DisplayRole));

    QVERIFY(t.insertRows(1, 2));
    QCOMPARE(gridOf(t), (Grid{{"a", "b"}, {"", ""}, {"", ""}, {"c", "D"}}));
    QVERIFY(t.removeRows(0, 2));
    QCOMPARE(gridOf(t), (Grid{{"", ""}, {"c", "D"}}));
    QVERIFY(!t.removeRows(1, 5));

    // Batched edits: no per-cell signal, one reset at the end.
    changed.clear();
    QSignalSpy reset(&t, &QAbstractItemModel::modelReset);
    t.beginUpdate();
    for (int i = 0; i < 100; ++i)
        t.setCell(1, 0, QString::number(i));
    t.beginUpdate();
    t.setRowCount(5);
    t.endUpdate();
    QCOMPARE(reset.count(), 0);
    t.endUpdate();
    QCOMPARE(reset.count(), 1);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(t.cell(1, 0), QStringLiteral("99"));
    QCOMPARE(t.rowCount(), 5);

    // A copy shares nothing observable with its source.
    ListTable copy;
    copy.assign(t);
    copy.setCell(1, 0, QStringLiteral("copy"));
    t.setCell(1, 1, QStringLiteral("orig"));
    QCOMPARE(t.cell(1, 0), QStringLiteral("99"));
    QCOMPARE(copy.cell(1, 1), QStringLiteral("D"));

    // Out-of-range access reads empty and changes nothing.
    QCOMPARE(t.cell(99, 0), QString());
    t.setCell(99, 0, QStringLiteral("x"));
    QCOMPARE(t.rowCount(), 5);
}

void TestListTable::removeRowSetCompactsInOrder()
{
    constexpr int kRows = 5000;
    ListTable t;
    t.setRowCount(kRows);
    t.setColumnCount(3);
    for (int r = 0; r < kRows; ++r) {
        t.setCell(r, 0, QStringLiteral("r%1").arg(r));
        t.setCell(r, 2, QString::number(r % 7));
    }
    std::vector<int> remove;
    for (int r = 0; r < kRows; r += 3) {
        remove.push_back(r);
        if (r % 2 == 0)
            remove.push_back(r); // duplicates are allowed
    }
    remove.push_back(kRows + 10); // beyond the end: ignored
    t.removeRowSet(remove);

    int expected = 0;
    for (int r = 0; r < kRows; ++r) {
        if (r % 3 == 0)
            continue;
        QCOMPARE(t.cell(expected, 0), QStringLiteral("r%1").arg(r));
        QCOMPARE(t.cell(expected, 2), QString::number(r % 7));
        ++expected;
    }
    QCOMPARE(t.rowCount(), expected);
}

void TestListTable::removingEveryRowLeavesOneBlankRow()
{
    ListTable t;
    QAbstractItemModelTester tester(&t, QAbstractItemModelTester::FailureReportingMode::QtTest);
    fill(t, Grid{{"a", "b"}, {"c", "d"}});
    const std::vector<int> all{0, 1};
    t.removeRowSet(all);
    QCOMPARE(gridOf(t), (Grid{{"", ""}}));

    fill(t, Grid{{"a", "b"}, {"c", "d"}});
    QVERIFY(t.removeRows(0, 2));
    QCOMPARE(gridOf(t), (Grid{{"", ""}}));
    QCOMPARE(t.toBytes(u';'), QByteArray(";\r\n"));
}

void TestListTable::heavyEditingKeepsEveryCell()
{
    // Rewriting cells again and again must reclaim the freed space without
    // disturbing the cells that were not touched.
    writeFile(path("l.txt"), "keep;me\r\nsecond;row\r\n");
    ListTable t;
    t.load(path("l.txt"), u';');
    const QByteArray chunk(3 << 20, 'w');
    for (int i = 0; i < 60; ++i)
        t.setCellBytes(1, 1, chunk + QByteArray::number(i));
    QCOMPARE(gridOf(t).first(), (QStringList{"keep", "me"}));
    QCOMPARE(t.cell(1, 0), QStringLiteral("second"));
    QVERIFY(t.cellBytes(1, 1) == chunk + "59");
}

void TestListTable::columnsInsertAndRemove()
{
    ListTable t;
    QAbstractItemModelTester tester(&t, QAbstractItemModelTester::FailureReportingMode::QtTest);
    fill(t, Grid{{"a", "b"}, {"c", "d"}});
    QVERIFY(t.insertColumns(1, 2));
    QCOMPARE(gridOf(t), (Grid{{"a", "", "", "b"}, {"c", "", "", "d"}}));
    QVERIFY(t.removeColumns(0, 2));
    QCOMPARE(gridOf(t), (Grid{{"", "b"}, {"", "d"}}));
    QVERIFY(!t.removeColumns(0, 2)); // at least one column stays
    t.setColumnCount(1);
    QCOMPARE(gridOf(t), (Grid{{""}, {""}}));
    QCOMPARE(t.titles(), QStringList{"Column#1"});
}

void TestListTable::normaliseAddress_data()
{
    QTest::addColumn<QByteArray>("cell");
    QTest::addColumn<QByteArray>("clean");
    QTest::newRow("display name and angle brackets") << QByteArray("John Smith <user@host>") << QByteArray("user@host");
    QTest::newRow("quoted name with comma and blank")
        << QByteArray("\"Smith, John\" <john@host.example>") << QByteArray("john@host.example");
    QTest::newRow("no @: untouched even with blanks") << QByteArray("no address <here>") << QByteArray("no address <here>");
    QTest::newRow("words after the address are cut") << QByteArray("user@host (home) x") << QByteArray("user@host");
    QTest::newRow("bare address") << QByteArray("a@b") << QByteArray("a@b");
    QTest::newRow("only the first brackets and two quotes go")
        << QByteArray("<<a@b>>") << QByteArray("<a@b>");
    QTest::newRow("several words before") << QByteArray("mail to  x y z@w") << QByteArray("z@w");
}

void TestListTable::normaliseAddress()
{
    QFETCH(QByteArray, cell);
    QFETCH(QByteArray, clean);
    QCOMPARE(NormaliseAddress(cell), clean);
}

void TestListTable::normaliseAddressesTouchesOneColumn()
{
    ListTable t;
    fill(t, Grid{{"A B <a@b>", "C D <c@d>"}, {"plain text", "x"}, {"e@f g", "h"}});
    QSignalSpy changed(&t, &QAbstractItemModel::dataChanged);
    t.normaliseAddresses(0);
    QCOMPARE(gridOf(t), (Grid{{"a@b", "C D <c@d>"}, {"plain text", "x"}, {"e@f", "h"}}));
    QCOMPARE(changed.count(), 1);
    t.normaliseAddresses(7); // no such column: nothing happens
}

void TestListTable::clampColumns_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("email");
    QTest::addColumn<int>("attachment");
    QTest::newRow("in range") << 1 << 2 << 1 << 1;
    QTest::newRow("e-mail column 4 of two columns") << 4 << 2 << 0 << 0;
    QTest::newRow("last column; attachment n = column n - 1") << 2 << 2 << 0 << 2;
    QTest::newRow("negative") << -1 << 3 << 0 << 0;
}

void TestListTable::clampColumns()
{
    QFETCH(int, stored);
    QFETCH(int, columns);
    QFETCH(int, email);
    QFETCH(int, attachment);
    QCOMPARE(clampEmailColumn(stored, columns), email);
    QCOMPARE(clampAttachmentColumn(stored, columns), attachment);
}

QTEST_GUILESS_MAIN(TestListTable)
#include "tst_listtable.moc"
