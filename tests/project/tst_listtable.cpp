#include "project/listtable.h"

#include "settings/syscharset.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include "listgrid.h"
#include "testfiles.h"

#include <csignal>
#include <sys/resource.h>
#include <vector>

using namespace varnholt;
using namespace varnholt::testing;

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
    void markedEncodings_data();
    void markedEncodings();
    void filesNotReadWholeWarn_data();
    void filesNotReadWholeWarn();
    void rowsKeepTheirOwnLength();
    void raggedRowsSaveAsBefore();
    void randomEditsMatchAPlainGrid();
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
    QCOMPARE(result.readWhole(), !file.contains('\0'));
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
    QVERIFY2(result.warning.contains("stopped"), qPrintable(result.warning));
    QCOMPARE(maximumSeen, qint64(file.size()));
    QCOMPARE(positions.size(), 2);
    QVERIFY(positions[1] > positions[0]);
    // The records read before the stop are kept, in order.
    QVERIFY(t.rowCount() > 0 && t.rowCount() < 40000);
    QCOMPARE(t.cell(t.rowCount() - 1, 0), QStringLiteral("row%1").arg(t.rowCount() - 1));

    result = t.load(path("big.txt"), u';', [](qint64, qint64) { return true; });
    QVERIFY(result.complete);
    QVERIFY(result.readWhole());
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
    QTest::newRow("invalid UTF-8 bytes") << QByteArray("a\xff\xfe;caf\xc3\xa9;\x80\x81\r\nok;\xc3;x\r\n");
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

namespace {

QByteArray utf16(const QString &text, bool littleEndian)
{
    QByteArray out;
    for (const QChar c : text) {
        const char hi = char(c.unicode() >> 8);
        const char lo = char(c.unicode() & 0xff);
        out.append(littleEndian ? lo : hi).append(littleEndian ? hi : lo);
    }
    return out;
}

} // namespace

void TestListTable::markedEncodings_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<Grid>("grid");
    QTest::addColumn<int>("encoding");
    QTest::addColumn<QByteArray>("saved"); // empty: the file itself

    using E = ListTable::FileEncoding;
    const QString text = QStringLiteral("Jos\u00e9;a@x\r\nM\u00fcller \U0001F600;b@y\r\n");
    const Grid grid{{QStringLiteral("Jos\u00e9"), "a@x"}, {QStringLiteral("M\u00fcller \U0001F600"), "b@y"}};
    QTest::newRow("UTF-16LE with its mark") << "\xff\xfe" + utf16(text, true) << grid << int(E::Utf16LE) << QByteArray();
    QTest::newRow("UTF-16BE with its mark") << "\xfe\xff" + utf16(text, false) << grid << int(E::Utf16BE) << QByteArray();
    QTest::newRow("UTF-16LE with LF line ends is written with CR LF")
        << "\xff\xfe" + utf16("a;b\nc\n", true) << Grid{{"a", "b"}, {"c", ""}} << int(E::Utf16LE)
        << "\xff\xfe" + utf16("a;b\r\nc;\r\n", true);
    QTest::newRow("a second mark inside UTF-16 text is content")
        << "\xff\xfe" + utf16(QStringLiteral("\ufeffa;b\r\n"), true) << Grid{{QStringLiteral("\ufeffa"), "b"}}
        << int(E::Utf16LE) << QByteArray();
    QTest::newRow("UTF-8 mark is not part of the first cell")
        << QByteArray("\xef\xbb\xbf" "a@x;B\r\n") << Grid{{"a@x", "B"}} << int(E::Utf8Bom) << QByteArray();
    QTest::newRow("no mark: the system charset") << QByteArray("a;b\r\n") << Grid{{"a", "b"}} << int(E::System)
                                                 << QByteArray();
}

void TestListTable::markedEncodings()
{
    QFETCH(QByteArray, file);
    QFETCH(Grid, grid);
    QFETCH(int, encoding);
    QFETCH(QByteArray, saved);
    writeFile(path("marked.txt"), file);
    ListTable t;
    const auto result = t.load(path("marked.txt"), u';');
    QVERIFY2(result.readWhole(), qPrintable(result.warning));
    QCOMPARE(int(t.fileEncoding()), encoding);
    // The cells are in the system charset like any others (compared as
    // bytes: a decoded cell loses a leading U+FEFF).
    QCOMPARE(t.rowCount(), grid.size());
    QCOMPARE(t.columnCount(), grid[0].size());
    for (int r = 0; r < grid.size(); ++r)
        for (int c = 0; c < grid[r].size(); ++c)
            QCOMPARE(t.cellBytes(r, c).toByteArray(), SystemCharset::fromUnicode(grid[r][c]));

    QVERIFY(t.save(path("out.txt"), u';'));
    QCOMPARE(readFile(path("out.txt")), saved.isEmpty() ? file : saved);

    // An edit is written in the file's own encoding, and a copy keeps it.
    t.setCell(0, 0, QStringLiteral("\u00c5sa"));
    ListTable copy;
    copy.assign(t);
    QVERIFY(copy.save(path("edited.txt"), u';'));
    ListTable back;
    QVERIFY(back.load(path("edited.txt"), u';').readWhole());
    QCOMPARE(back.cell(0, 0), QStringLiteral("\u00c5sa"));
    QCOMPARE(int(back.fileEncoding()), encoding);
    t.clear();
    QCOMPARE(t.fileEncoding(), ListTable::FileEncoding::System);
}

void TestListTable::filesNotReadWholeWarn_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<Grid>("grid");
    QTest::addColumn<QString>("warning");
    QTest::newRow("NUL byte") << QByteArray("a;b\r\nc\0d\r\ne\r\n", 12) << Grid{{"a", "b"}, {"c", ""}}
                              << "NUL byte at offset 6";
    QTest::newRow("NUL byte after a UTF-8 mark")
        << QByteArray("\xef\xbb\xbf" "a\r\n\0b\r\n", 9) << Grid{{"a"}} << "NUL byte at offset 6";
    QTest::newRow("NUL character in UTF-16")
        << "\xff\xfe" + utf16(QString::fromUtf16(u"a;b\r\nc\0d\r\n", 10), true) << Grid{{"a", "b"}, {"c", ""}}
        << "NUL byte at offset 14";
    QTest::newRow("UTF-16 with a lone surrogate")
        << "\xff\xfe" + utf16(QString::fromUtf16(u"a;b\r\nc\xd800;d\r\n", 10), true)
        << Grid{{"a", "b"}, {QStringLiteral("c\ufffd"), "d"}} << "surrogate pair at offset 14";
    QTest::newRow("UTF-16 of an odd size")
        << "\xfe\xff" + utf16("a;b\r\n", false) + QByteArray(1, '\0') << Grid{{"a", "b"}}
        << "half a character (byte 12)";
}

void TestListTable::filesNotReadWholeWarn()
{
    QFETCH(QByteArray, file);
    QFETCH(Grid, grid);
    QFETCH(QString, warning);
    writeFile(path("broken.txt"), file);
    ListTable t;
    const auto result = t.load(path("broken.txt"), u';');
    QVERIFY(result.fileRead);
    QVERIFY(!result.readWhole());
    QVERIFY2(result.warning.contains(warning), qPrintable(result.warning));
    QCOMPARE(gridOf(t), grid);
}

void TestListTable::rowsKeepTheirOwnLength()
{
    // 1,000 short rows and, among them, one line of 100,000 delimiters:
    // a grid of 1,001 x 100,001 cells would take 800 MB of references.
    QByteArray file;
    for (int i = 0; i < 1000; ++i) {
        file += "user" + QByteArray::number(i) + "@x;Name " + QByteArray::number(i) + "\r\n";
        if (i == 499)
            file += "long" + QByteArray(100000, ';') + "end\r\n";
    }
    writeFile(path("wide.txt"), file);
    ListTable t;
    QVERIFY(t.load(path("wide.txt"), u';').readWhole());
    QCOMPARE(t.rowCount(), 1001);
    QCOMPARE(t.columnCount(), 100001);
    QVERIFY2(t.memoryBytes() < 16 * file.size(), qPrintable(QString::number(t.memoryBytes())));
    QCOMPARE(t.storedCellCount(0), 2);
    QCOMPARE(t.storedCellCount(500), 100001);

    QCOMPARE(t.cell(0, 0), QStringLiteral("user0@x"));
    QCOMPARE(t.cell(999, 1), QStringLiteral("Name 998"));
    QCOMPARE(t.cell(1000, 1), QStringLiteral("Name 999"));
    QCOMPARE(t.cell(0, 2), QString());
    QCOMPARE(t.cell(0, 100000), QString());
    QCOMPARE(t.cell(500, 0), QStringLiteral("long"));
    QCOMPARE(t.cell(500, 1), QString());
    QCOMPARE(t.cell(500, 100000), QStringLiteral("end"));
    QCOMPARE(t.cell(500, 100001), QString());

    // A write beyond a row's cells grows that row only; an empty one
    // stores nothing.
    t.setCell(3, 5, QString());
    QCOMPARE(t.storedCellCount(3), 2);
    t.setCell(3, 5, QStringLiteral("five"));
    QCOMPARE(t.storedCellCount(3), 6);
    QCOMPARE(t.storedCellCount(2), 2);
    QCOMPARE(t.storedCellCount(4), 2);
    QCOMPARE(t.cell(3, 5), QStringLiteral("five"));
    QCOMPARE(t.cell(3, 4), QString());
    QCOMPARE(t.cell(4, 0), QStringLiteral("user4@x"));

    // Columns inserted inside the short rows move their later cells; the
    // column count stays the largest row's.
    QVERIFY(t.insertColumns(1, 2));
    QCOMPARE(t.columnCount(), 100003);
    QCOMPARE(t.cell(0, 3), QStringLiteral("Name 0"));
    QCOMPARE(t.cell(3, 7), QStringLiteral("five"));
    QCOMPARE(t.cell(500, 100002), QStringLiteral("end"));
    QCOMPARE(t.storedCellCount(0), 4);
    QVERIFY(t.removeColumns(0, 100000));
    QCOMPARE(t.columnCount(), 3);
    QCOMPARE(t.cell(500, 2), QStringLiteral("end"));
    QCOMPARE(t.cell(0, 0), QString());
    QCOMPARE(t.toBytes(u';').left(16), QByteArray(";;\r\n;;\r\n;;\r\n;;\r\n"));
}

void TestListTable::raggedRowsSaveAsBefore()
{
    // Rows keep their own length, and each line still has the table's
    // column count of fields, as the grid of earlier versions wrote them.
    writeFile(path("ragged.txt"), "a\r\n1;2;3\r\n;x\r\n");
    ListTable t;
    t.load(path("ragged.txt"), u';');
    QCOMPARE(t.toBytes(u';'), QByteArray("a;;\r\n1;2;3\r\n;x;\r\n"));
    t.setColumnCount(4);
    t.setCell(2, 3, QStringLiteral("z"));
    t.insertRows(1, 1);
    QCOMPARE(t.toBytes(u'\t'), QByteArray("a\t\t\t\r\n\t\t\t\r\n1\t2\t3\t\r\n\tx\t\tz\r\n"));
}

void TestListTable::randomEditsMatchAPlainGrid()
{
    // Every edit applied to the table and to a plain grid of strings, in
    // a fixed pseudo-random order; both must read and save the same.
    QRandomGenerator random(20240611);
    ListTable t;
    QAbstractItemModelTester tester(&t, QAbstractItemModelTester::FailureReportingMode::QtTest);
    writeFile(path("start.txt"), "a;b;c\r\nd\r\n\r\ne;f;g;h;i\r\nj;k\r\n");
    t.load(path("start.txt"), u';');
    Grid grid{{"a", "b", "c", "", ""}, {"d", "", "", "", ""}, {"e", "f", "g", "h", "i"}, {"j", "k", "", "", ""}};
    int columns = 5;
    auto gridBytes = [&] {
        QByteArray out;
        for (const QStringList &row : std::as_const(grid))
            out += row.join(u';').toUtf8() + "\r\n";
        return out;
    };
    int serial = 0;
    for (int step = 0; step < 3000; ++step) {
        const int rows = int(grid.size());
        const int op = int(random.bounded(100));
        if (op < 55) {
            const int r = int(random.bounded(rows));
            const int c = int(random.bounded(columns));
            const QString value = random.bounded(4) == 0 ? QString() : QStringLiteral("v%1").arg(++serial);
            t.setCell(r, c, value);
            grid[r][c] = value;
        } else if (op < 67) {
            const int at = int(random.bounded(rows + 1));
            const int n = 1 + int(random.bounded(3));
            QVERIFY(t.insertRows(at, n));
            for (int i = 0; i < n; ++i)
                grid.insert(at, QStringList(columns, QString()));
        } else if (op < 77) {
            const int at = int(random.bounded(rows));
            const int n = 1 + int(random.bounded(std::min(3, rows - at)));
            QVERIFY(t.removeRows(at, n));
            grid.remove(at, n);
            if (grid.isEmpty())
                grid.append(QStringList(columns, QString()));
        } else if (op < 82) {
            std::vector<int> set;
            for (int r = 0; r < rows; ++r)
                if (random.bounded(4) == 0)
                    set.push_back(r);
            t.removeRowSet(set);
            for (auto it = set.rbegin(); it != set.rend(); ++it)
                grid.removeAt(*it);
            if (grid.isEmpty())
                grid.append(QStringList(columns, QString()));
        } else if (op < 88) {
            const int at = int(random.bounded(columns + 1));
            const int n = 1 + int(random.bounded(2));
            QVERIFY(t.insertColumns(at, n));
            for (QStringList &row : grid)
                for (int i = 0; i < n; ++i)
                    row.insert(at, QString());
            columns += n;
        } else if (op < 95 && columns > 1) {
            const int at = int(random.bounded(columns));
            const int n = 1 + int(random.bounded(std::min(2, columns - at)));
            if (n >= columns)
                continue;
            QVERIFY(t.removeColumns(at, n));
            for (QStringList &row : grid)
                row.remove(at, n);
            columns -= n;
        } else {
            ListTable copy;
            copy.assign(t);
            t.assign(copy);
        }
        if (step % 50 == 0 || step > 2950) {
            QCOMPARE(gridOf(t), grid);
            QCOMPARE(t.toBytes(u';'), gridBytes());
        }
    }
    QCOMPARE(gridOf(t), grid);
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
