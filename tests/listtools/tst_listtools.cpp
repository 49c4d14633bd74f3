#include "listtools/keyset.h"
#include "listtools/listfilter.h"
#include "listtools/listreplace.h"
#include "listtools/multipattern.h"
#include "listtools/removeduplicates.h"
#include "project/listtable.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include "listgrid.h"

using namespace varnholt;
using namespace varnholt::testing;

namespace {

// "a;b|c;d": rows split at "|", cells at ";".
Grid gridOf(const QString &text)
{
    Grid g;
    for (const QString &row : text.split(u'|'))
        g.append(row.split(u';'));
    return g;
}

std::vector<QByteArray> bytesOf(const QStringList &list)
{
    std::vector<QByteArray> out;
    for (const QString &s : list)
        out.push_back(s.toUtf8());
    return out;
}

// The filter as the window once did it: every record against every
// keyword, in order, until one matches.
bool naiveMatch(const QByteArray &value, const std::vector<QByteArray> &keywords, FilterMode mode)
{
    for (const QByteArray &w : keywords) {
        if (mode == FilterMode::ContainsKeywords) {
            if (!w.isEmpty() && value.contains(w))
                return true;
        } else if (asciiLower(value) == asciiLower(w)) {
            return true;
        }
    }
    return false;
}

// One pair as written down: search from the beginning after every
// replacement. Only for pairs that settle.
QByteArray naiveReplace(QByteArray v, const std::vector<ReplacePair> &pairs, bool cs)
{
    for (const ReplacePair &p : pairs) {
        const QByteArray o = cs ? p.oldValue : asciiLower(p.oldValue);
        const QByteArray n = p.newValue;
        if (o.isEmpty() || (cs ? n == o : asciiLower(n) == o))
            continue;
        for (qsizetype at = (cs ? v : asciiLower(v)).indexOf(o); at >= 0; at = (cs ? v : asciiLower(v)).indexOf(o))
            v.replace(at, o.size(), n);
    }
    return v;
}

QByteArray randomText(QRandomGenerator &rng, const char *alphabet, int maxLength)
{
    const int n = int(rng.bounded(maxLength + 1));
    const int letters = int(qstrlen(alphabet));
    QByteArray s;
    for (int i = 0; i < n; ++i)
        s.append(alphabet[rng.bounded(letters)]);
    return s;
}

} // namespace

class TestListTools : public QObject
{
    Q_OBJECT
private slots:
    void removeDuplicates_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<QList<int>>("columns");
        QTest::addColumn<QString>("expected");
        QTest::newRow("letter case differs: the second goes") << "a@x.org;1|A@X.ORG;2|b@x.org;3" << QList<int>{0}
                                                              << "a@x.org;1|b@x.org;3";
        QTest::newRow("two empty values: the second goes") << ";1|b;2|;3" << QList<int>{0} << ";1|b;2";
        QTest::newRow("blanks make other values") << "a;1| a;2|a ;3" << QList<int>{0} << "a;1| a;2|a ;3";
        QTest::newRow("left values of a removed record count")
            << "a1;b1|a2;b1|a2;b3" << QList<int>{0, 1} << "a1;b1";
        QTest::newRow("right values of a removed record do not count")
            << "a1;b1|a1;b2|a3;b2" << QList<int>{0, 1} << "a1;b1|a3;b2";
        QTest::newRow("order of the ticked columns does not matter")
            << "a1;b1|a2;b1|a2;b3" << QList<int>{1, 0} << "a1;b1";
        QTest::newRow("a single record stays") << "only;one" << QList<int>{0} << "only;one";
        QTest::newRow("order kept") << "c;1|a;2|c;3|b;4|a;5" << QList<int>{0} << "c;1|a;2|b;4";
        QTest::newRow("letters beyond ASCII meet without case") << QString::fromUtf8("Ärger;1|äRGER;2|ärger ;3")
                                                                << QList<int>{0}
                                                                << QString::fromUtf8("Ärger;1|ärger ;3");
        QTest::newRow("no column: nothing happens") << "a|a" << QList<int>{} << "a|a";
        QTest::newRow("everything removed but the first") << "x|X|x" << QList<int>{0} << "x";
    }
    void removeDuplicates()
    {
        QFETCH(QString, list);
        QFETCH(QList<int>, columns);
        QFETCH(QString, expected);
        ListTable t;
        fill(t, gridOf(list));
        const RemovalResult result = findDuplicates(t, std::vector<int>(columns.begin(), columns.end()));
        QCOMPARE(result.recordsIn, int(gridOf(list).size()));
        applyRemoval(t, result);
        QCOMPARE(gridOf(t), gridOf(expected));
        QCOMPARE(result.recordsOut(), t.rowCount());
    }

    // Many distinct values make the key set grow several times; every
    // value is still found afterwards.
    void removeDuplicatesOnManyValues()
    {
        ListTable t;
        constexpr int kRows = 50000;
        t.setRowCount(2 * kRows);
        // Row after row: the table grows rows in order cheaply.
        for (int i = 0; i < kRows; ++i)
            t.setCell(i, 0, QStringLiteral("User%1@Example.org").arg(i));
        for (int i = 0; i < kRows; ++i)
            t.setCell(kRows + i, 0, QStringLiteral("user%1@example.ORG").arg(kRows - 1 - i));
        const RemovalResult result = findDuplicates(t, {0});
        QCOMPARE(int(result.removedRows.size()), kRows);
        QCOMPARE(result.removedRows.front(), kRows);
        QCOMPARE(result.removedRows.back(), 2 * kRows - 1);
    }

    // "Stop" at any point leaves the table as it was, for every tool.
    void stoppedToolsChangeNothing()
    {
        ListTable t;
        t.setRowCount(3 * kListToolProgressEvery);
        for (int r = 0; r < t.rowCount(); ++r)
            t.setCell(r, 0, QStringLiteral("v%1").arg(r % 7));
        const Grid before = gridOf(t);
        int calls = 0;
        const auto stopSecond = [&calls](qint64, qint64) { return ++calls < 2; };

        RemovalResult dupes = findDuplicates(t, {0}, stopSecond);
        QVERIFY(dupes.stopped);
        applyRemoval(t, dupes);
        calls = 0;
        RemovalResult filtered = findFilterMatches(t, 0, {QByteArray("v1")}, FilterMode::IsEqualExactly, stopSecond);
        QVERIFY(filtered.stopped);
        applyRemoval(t, filtered);
        calls = 0;
        ReplaceResult replaced = findReplacements(t, 0, {{"v", "w"}}, true, stopSecond);
        QVERIFY(replaced.stopped);
        applyReplacements(t, replaced);
        QCOMPARE(gridOf(t), before);
    }

    void filter_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<QStringList>("keywords");
        QTest::addColumn<bool>("contains");
        QTest::addColumn<QString>("expected");
        QTest::newRow("equal: an empty keyword removes empty values") << "a|;x|b" << QStringList{""} << false << "a|b";
        QTest::newRow("equal: A-Z without case") << "abc|ABC| abc|abcd" << QStringList{"ABC"} << false << " abc|abcd";
        QTest::newRow("equal: other letters keep their case")
            << QString::fromUtf8("Ärger|ärger") << QStringList{QString::fromUtf8("ärger")} << false
            << QString::fromUtf8("Ärger");
        QTest::newRow("contains: letter case counts") << "an example|AN EXAMPLE|x" << QStringList{"example"} << true
                                                      << "AN EXAMPLE|x";
        QTest::newRow("contains: an empty keyword never matches") << "a|" << QStringList{"", "zz"} << true << "a|";
        QTest::newRow("contains: many keywords") << "spam@a.org|ham@b.org|x@spam.net|eggs@c.org"
                                                  << QStringList{"spam", "gs@", "qq", "ww", "zz"} << true
                                                  << "ham@b.org";
        QTest::newRow("everything matches: one blank record") << "a|b" << QStringList{"a", "b"} << false << "";
        QTest::newRow("nothing matches") << "a|b" << QStringList{"c"} << false << "a|b";
    }
    void filter()
    {
        QFETCH(QString, list);
        QFETCH(QStringList, keywords);
        QFETCH(bool, contains);
        QFETCH(QString, expected);
        ListTable t;
        fill(t, gridOf(list));
        const RemovalResult result = findFilterMatches(
            t, 0, bytesOf(keywords), contains ? FilterMode::ContainsKeywords : FilterMode::IsEqualExactly);
        applyRemoval(t, result);
        QStringList kept;
        for (int r = 0; r < t.rowCount(); ++r)
            kept << t.cell(r, 0);
        QCOMPARE(kept.join(u'|'), expected);
    }

    // The hash and the automaton decide exactly as trying every keyword in
    // turn, on random values and keywords that overlap a lot.
    void filterAgreesWithTryingEveryKeyword()
    {
        QRandomGenerator rng(1234);
        for (int round = 0; round < 40; ++round) {
            std::vector<QByteArray> keywords;
            const int count = 1 + int(rng.bounded(30));
            for (int i = 0; i < count; ++i)
                keywords.push_back(randomText(rng, "abAB", 4));
            ListTable t;
            t.setRowCount(300);
            std::vector<QByteArray> values;
            for (int r = 0; r < t.rowCount(); ++r) {
                values.push_back(randomText(rng, "abAB.", 10));
                t.setCellBytes(r, 0, values.back());
            }
            for (const FilterMode mode : {FilterMode::IsEqualExactly, FilterMode::ContainsKeywords}) {
                const RemovalResult result = findFilterMatches(t, 0, keywords, mode);
                std::vector<int> expected;
                for (int r = 0; r < t.rowCount(); ++r) {
                    if (naiveMatch(values[size_t(r)], keywords, mode))
                        expected.push_back(r);
                }
                QCOMPARE(result.removedRows, expected);
            }
        }
    }

    void multiPatternFindsOverlaps()
    {
        const MultiPattern p({"he", "she", "his", "hers", ""});
        QVERIFY(p.containsAny("ushers"));
        QVERIFY(p.containsAny("xxhixhis"));
        QVERIFY(!p.containsAny("hxsxhi"));
        QVERIFY(!p.containsAny(""));
        QVERIFY(MultiPattern({""}).empty());
        QVERIFY(!MultiPattern({""}).containsAny("anything"));
    }

    void filesOfTheFilter()
    {
        ListTable t;
        fill(t, gridOf("a;b;c|d"));
        QCOMPARE(removedRecordsBytes(t, {0, 1}), QByteArray("a;b;c;\r\nd;;;\r\n"));
        QCOMPARE(keywordFileBytes(t), QByteArray("a;b;c;\r\nd;;;\r\n"));
        QCOMPARE(withExtension("removed.txt", ".del"), QString("removed.txt.del"));
        QCOMPARE(withExtension("removed.DEL", ".del"), QString("removed.DEL"));
    }

    void replace_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QStringList>("pairs"); // old, new, old, new, ...
        QTest::addColumn<bool>("caseSensitive");
        QTest::addColumn<QString>("expected");
        QTest::newRow("without case; inserted text keeps its case")
            << "x.COM.com" << QStringList{"com", "net"} << false << "x.net.net";
        QTest::newRow("each search starts over") << "aaaa" << QStringList{"aa", "a"} << false << "a";
        QTest::newRow("replacement makes a new occurrence to the left")
            << "aabb" << QStringList{"ab", "a"} << true << "aa";
        QTest::newRow("an empty new value deletes") << "a-b-c" << QStringList{"-", ""} << true << "abc";
        QTest::newRow("same value in the case mode: skipped") << "Abc" << QStringList{"Abc", "ABC"} << false << "Abc";
        QTest::newRow("case sensitive: replaced") << "Abc abc" << QStringList{"Abc", "ABC"} << true << "ABC abc";
        QTest::newRow("pairs in order") << "ab" << QStringList{"a", "b", "bb", "c"} << true << "c";
        QTest::newRow("new contains old: one pass") << "banana" << QStringList{"a", "aa"} << true << "baanaanaa";
        QTest::newRow("new contains old without case: one pass")
            << "x.com" << QStringList{"com", "COM.net"} << false << "x.COM.net";
        QTest::newRow("empty old value finds nothing") << "abc" << QStringList{"", "x"} << true << "abc";
        QTest::newRow("old value longer than the value") << "ab" << QStringList{"abc", "x"} << true << "ab";
    }
    void replace()
    {
        QFETCH(QString, value);
        QFETCH(QStringList, pairs);
        QFETCH(bool, caseSensitive);
        QFETCH(QString, expected);
        std::vector<ReplacePair> list;
        for (qsizetype i = 0; i + 1 < pairs.size(); i += 2)
            list.push_back({pairs[i].toUtf8(), pairs[i + 1].toUtf8()});
        QCOMPARE(QString::fromUtf8(Replacer(list, caseSensitive).replace(value.toUtf8())), expected);
    }

    // Resuming the search just before the last replacement gives what
    // starting over at the beginning gives.
    void replaceAgreesWithStartingOver()
    {
        QRandomGenerator rng(99);
        for (int round = 0; round < 3000; ++round) {
            const bool cs = rng.bounded(2) == 1;
            std::vector<ReplacePair> pairs;
            for (int i = 0, n = 1 + int(rng.bounded(3)); i < n; ++i) {
                ReplacePair p{randomText(rng, "abA", 3), randomText(rng, "abB", 3)};
                // Only pairs that settle: shorter new values.
                if (p.newValue.size() >= p.oldValue.size())
                    p.newValue.truncate(std::max<qsizetype>(0, p.oldValue.size() - 1));
                pairs.push_back(p);
            }
            const QByteArray value = randomText(rng, "abAB", 14);
            QCOMPARE(Replacer(pairs, cs).replace(value), naiveReplace(value, pairs, cs));
        }
    }

    // A pair that keeps rewriting its own output (here each "a" doubles
    // the "b"s it passes) stops in time and falls back to one pass.
    void replaceThatNeverSettlesEnds()
    {
        const QByteArray value = QByteArray(40, 'a') + 'b';
        int unsettled = 0;
        const QByteArray out = Replacer({{"ab", "bba"}}, true).replace(value, &unsettled);
        QCOMPARE(unsettled, 1);
        QCOMPARE(out, QByteArray(39, 'a') + "bba");
    }

    // A long value with many replacements costs its length, not its square.
    void replaceOnALongValue()
    {
        const QByteArray value(4 << 20, 'a');
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(Replacer({{"aa", "a"}}, true).replace(value), QByteArray("a"));
        QVERIFY2(timer.elapsed() < 20000, qPrintable(QString::number(timer.elapsed())));
    }

    void replaceInTable()
    {
        ListTable t;
        fill(t, gridOf("a@x.COM;1|;2|b@y.org;com"));
        const ReplaceResult result = findReplacements(t, 0, {{"com", "net"}}, false);
        QCOMPARE(result.changedCells, 1);
        applyReplacements(t, result);
        QCOMPARE(gridOf(t), gridOf("a@x.net;1|;2|b@y.org;com"));
    }

    // Saving writes every row as its cells joined by the delimiter, also
    // where most lines go out straight from the loaded file: random files
    // of blanks, empty fields, short lines, mixed line ends, then edits and
    // removed rows.
    void saveWritesEveryRowAsItsCells()
    {
        QTemporaryDir dir;
        QRandomGenerator rng(7);
        const char *pieces[] = {"a", "bb", "", " c", "d ", "e;", ";", "\r\n", "\n", "\r\n", "\r\n", "x"};
        for (int round = 0; round < 200; ++round) {
            QByteArray file;
            for (int i = 0, n = int(rng.bounded(40)); i < n; ++i)
                file += pieces[rng.bounded(int(std::size(pieces)))];
            if (rng.bounded(2))
                file += "\r\n";
            const QString path = dir.filePath(QStringLiteral("l%1.txt").arg(round));
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(file);
            f.close();
            ListTable t;
            t.load(path, u';');
            if (rng.bounded(3) == 0)
                t.setCell(int(rng.bounded(t.rowCount())), int(rng.bounded(t.columnCount())), "edit");
            if (rng.bounded(3) == 0 && t.rowCount() > 1) {
                const std::vector<int> rows{int(rng.bounded(t.rowCount()))};
                t.removeRowSet(rows);
            }
            QByteArray expected;
            for (int r = 0; r < t.rowCount(); ++r) {
                for (int c = 0; c < t.columnCount(); ++c) {
                    if (c > 0)
                        expected += ';';
                    expected += t.cellBytes(r, c).toByteArray();
                }
                expected += "\r\n";
            }
            QCOMPARE(t.toBytes(u';'), expected);
        }
    }

    void replaceFile_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("rows"); // rows split at "|", cells at "^"
        QTest::newRow("pairs") << QByteArray("a;b\r\nc ; d \r\n") << "a^b|c^d";
        QTest::newRow("first line one field: one column") << QByteArray("a\nc;d\n") << "a|c";
        QTest::newRow("empty line: empty row") << QByteArray("a;b\r\n\r\nc;d") << "a^b||c^d";
        QTest::newRow("delimiter at the end: no empty field") << QByteArray("a;b;\r\n") << "a^b";
        QTest::newRow("third column kept in the grid") << QByteArray("a;b;c\r\n") << "a^b^c";
    }
    void replaceFile()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, rows);
        const auto parsed = parseReplaceFile(file, ";");
        QStringList got;
        for (const auto &row : parsed) {
            QStringList cells;
            for (const QByteArray &c : row)
                cells << QString::fromUtf8(c);
            got << cells.join(u'^');
        }
        QCOMPARE(got.join(u'|'), rows);
        QCOMPARE(replaceFileBytes({{"a", "b"}, {"c"}}, ";"), QByteArray("a;b\r\nc\r\n"));
        const auto pairs = replacePairsOf(parseReplaceFile("x\r\ny\r\n", ";"));
        QCOMPARE(pairs.size(), size_t(2));
        QCOMPARE(pairs[1].oldValue, QByteArray("y"));
        QVERIFY(pairs[1].newValue.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestListTools)
#include "tst_listtools.moc"
