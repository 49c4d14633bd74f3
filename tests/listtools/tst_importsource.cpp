// The import engine: splitting (delimited, quoted, fixed width), reading
// text files (marks, UTF-16, binary files, the Dos origin), dBASE tables
// written by shapelib, and the import into a list table or a list file.
#include "listtools/importsource.h"
#include "project/listtable.h"
#include "settings/syscharset.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <shapefil.h>

#include "testfiles.h"

using namespace varnholt;
using namespace varnholt::testing;

namespace {

QByteArrayList toList(const std::vector<QByteArrayView> &views)
{
    QByteArrayList out;
    for (QByteArrayView v : views)
        out << v.toByteArray();
    return out;
}

QByteArrayList rowOf(const ListTable &table, int row)
{
    QByteArrayList out;
    for (int c = 0; c < table.columnCount(); ++c)
        out << table.cellBytes(row, c).toByteArray();
    return out;
}

ImportChoices delimited(const char *delimiters, bool quoted = false, int startRow = 1)
{
    ImportChoices c;
    c.type = ImportType::Delimited;
    c.startRow = startRow;
    c.delimiters.semicolon = false;
    for (const char *d = delimiters; *d; ++d) {
        switch (*d) {
        case ';': c.delimiters.semicolon = true; break;
        case ',': c.delimiters.comma = true; break;
        case '\t': c.delimiters.tab = true; break;
        case ' ': c.delimiters.space = true; break;
        default: c.delimiters.other = true; c.delimiters.otherCharacter = QByteArray(1, *d);
        }
    }
    c.delimiters.quoted = quoted;
    return c;
}

} // namespace

class TestImportSource : public QObject
{
    Q_OBJECT
private slots:
    void init() { SystemCharset::overrideForTesting("UTF-8"); }

    void delimitedSplit_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("delimiters");
        QTest::addColumn<bool>("consecutive");
        QTest::addColumn<QByteArrayList>("fields");
        QTest::newRow("trailing delimiter, no empty last field") << QByteArray("a;b;") << QByteArray(";") << false
                                                                 << QByteArrayList{"a", "b"};
        QTest::newRow("leading delimiter, empty first field") << QByteArray(";a") << QByteArray(";") << false
                                                              << QByteArrayList{"", "a"};
        QTest::newRow("adjacent delimiters, empty field") << QByteArray("a;;b") << QByteArray(";") << false
                                                          << QByteArrayList{"a", "", "b"};
        QTest::newRow("fields are not trimmed") << QByteArray(" a ; b") << QByteArray(";") << false
                                                << QByteArrayList{" a ", " b"};
        QTest::newRow("tab then blanks as one") << QByteArray("x\t  y") << QByteArray("\t ") << true
                                                << QByteArrayList{"x", "y"};
        QTest::newRow("leading delimiter kept with consecutive") << QByteArray(";;a") << QByteArray(";") << true
                                                                 << QByteArrayList{"", "a"};
        QTest::newRow("quotes are text") << QByteArray("\"a;b\"") << QByteArray(";") << false
                                         << QByteArrayList{"\"a", "b\""};
        QTest::newRow("no delimiter: the whole line") << QByteArray("a;b") << QByteArray() << false
                                                      << QByteArrayList{"a;b"};
        QTest::newRow("empty line: no field") << QByteArray() << QByteArray(";") << false << QByteArrayList{};
    }
    void delimitedSplit()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, delimiters);
        QFETCH(bool, consecutive);
        QFETCH(QByteArrayList, fields);
        QCOMPARE(toList(splitDelimited(line, delimiters, consecutive)), fields);
    }

    void csvRecord_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArrayList>("fields");
        QTest::addColumn<QByteArray>("rest");
        QTest::addColumn<bool>("unclosed");
        QTest::newRow("quoted delimiter") << QByteArray("\"Smith, John\",x\r\nnext") << QByteArrayList{"Smith, John", "x"}
                                          << QByteArray("next") << false;
        QTest::newRow("doubled quotes") << QByteArray("\"say \"\"hi\"\"\",b\n") << QByteArrayList{"say \"hi\"", "b"}
                                        << QByteArray() << false;
        QTest::newRow("line break inside quotes") << QByteArray("a,\"New\r\nYork\"\rz") << QByteArrayList{"a", "New\r\nYork"}
                                                  << QByteArray("z") << false;
        QTest::newRow("trailing delimiter: empty last field") << QByteArray("a,b,\n") << QByteArrayList{"a", "b", ""}
                                                              << QByteArray() << false;
        QTest::newRow("quote inside an unquoted field is text") << QByteArray("ab\"c,d") << QByteArrayList{"ab\"c", "d"}
                                                                << QByteArray() << false;
        QTest::newRow("text after the closing quote") << QByteArray("\"a\"b,c") << QByteArrayList{"ab", "c"}
                                                      << QByteArray() << false;
        QTest::newRow("empty quoted field") << QByteArray("\"\",x") << QByteArrayList{"", "x"} << QByteArray() << false;
        QTest::newRow("unclosed quote takes the rest") << QByteArray("a,\"b\nc,d") << QByteArrayList{"a", "b\nc,d"}
                                                       << QByteArray() << true;
    }
    void csvRecord()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArrayList, fields);
        QFETCH(QByteArray, rest);
        QFETCH(bool, unclosed);
        const CsvRecord record = splitCsvRecord(text, 0, ",", false);
        QCOMPARE(QByteArrayList(record.fields.begin(), record.fields.end()), fields);
        QCOMPARE(text.mid(record.next), rest);
        QCOMPARE(record.unclosed, unclosed);
    }

    void fixedWidthSplit_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QByteArray>("breaks");
        QTest::addColumn<QStringList>("fields");
        QTest::newRow("two breaks") << QStringLiteral("abcdefgh") << QByteArray("  1  1  ")
                                    << QStringList{"abc", "def", "gh"};
        QTest::newRow("short line: text then empty fields") << QStringLiteral("ab") << QByteArray("  1  1  ")
                                                            << QStringList{"ab", "", ""};
        QTest::newRow("break at the final position: no last field") << QStringLiteral("abcd") << QByteArray(" 1 1")
                                                                    << QStringList{"ab", "cd"};
        QTest::newRow("no break: one field of the string's length") << QStringLiteral("abcdef") << QByteArray("    ")
                                                                    << QStringList{"abcd"};
        QTest::newRow("empty break string: no field") << QStringLiteral("abc") << QByteArray() << QStringList{};
        QTest::newRow("positions count characters") << QStringLiteral("Müller Köln") << QByteArray("      1    ")
                                                    << QStringList{"Müller ", "Köln"};
    }
    void fixedWidthSplit()
    {
        QFETCH(QString, line);
        QFETCH(QByteArray, breaks);
        QFETCH(QStringList, fields);
        QCOMPARE(splitFixedWidth(line, breaks), fields);
    }

    // How a file becomes lines: marks, UTF-16, line ends, the DOS end mark.
    void readingText_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArrayList>("lines");
        QTest::newRow("mixed line ends") << QByteArray("a\r\nb\nc\rd") << QByteArrayList{"a", "b", "c", "d"};
        QTest::newRow("UTF-8 mark dropped") << QByteArray("\xEF\xBB\xBFname;x\r\n") << QByteArrayList{"name;x"};
        QTest::newRow("UTF-16 LE with mark") << QByteArray("\xFF\xFE" "a\0;\0\xFC\0\r\0\n\0b\0", 14)
                                             << QByteArrayList{"a;\xC3\xBC", "b"};
        QTest::newRow("UTF-16 BE with mark") << QByteArray("\xFE\xFF\0x\0\n\0y", 8) << QByteArrayList{"x", "y"};
        QTest::newRow("DOS end mark and trailing NULs") << QByteArray("a\r\nb\r\n\x1A\0\0", 9)
                                                        << QByteArrayList{"a", "b"};
        QTest::newRow("empty file") << QByteArray() << QByteArrayList{};
    }
    void readingText()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArrayList, lines);
        QTemporaryDir dir;
        QString error;
        const auto source = TextSource::read(writeFileIn(dir.path(), QStringLiteral("in.txt"), file), &error);
        QVERIFY2(source, qPrintable(error));
        QByteArrayList got;
        for (qsizetype i = 0; i < source->lineCount(); ++i)
            got << source->line(i).toByteArray();
        QCOMPARE(got, lines);
    }

    void refusedFiles()
    {
        QTemporaryDir dir;
        QString error;
        QByteArray binary(100000, 'x');
        binary[5000] = '\0';
        QVERIFY(!TextSource::read(writeFileIn(dir.path(), QStringLiteral("bin.dat"), binary), &error));
        QVERIFY2(error.contains(u"not a text file") && error.contains(u"5000"), qPrintable(error));
        // A NUL past the probed start is found too.
        binary[5000] = 'x';
        binary[90000] = '\0';
        QVERIFY(!TextSource::read(writeFileIn(dir.path(), QStringLiteral("bin2.dat"), binary), &error));
        QVERIFY(error.contains(u"90000"));
        QVERIFY(!TextSource::read(dir.filePath(QStringLiteral("missing.txt")), &error));
        QVERIFY(error.contains(u"cannot be read"));
        // A file cut short while it is read (after its first piece).
        const QString shrinking = writeFileIn(dir.path(), QStringLiteral("shrinking.txt"), QByteArray(20 << 20, 'a'));
        QVERIFY(!TextSource::read(shrinking, &error, [&shrinking](qint64, qint64) {
            QFile::resize(shrinking, 1000);
            return true;
        }));
        QVERIFY2(error.contains(u"became shorter"), qPrintable(error));
        // A stop while reading gives nothing and no error.
        QVERIFY(!TextSource::read(writeFileIn(dir.path(), QStringLiteral("ok.txt"), "a\nb\n"), &error,
                                  [](qint64, qint64) { return false; }));
        QVERIFY(error.isEmpty());
    }

    void dosOrigin()
    {
        // CP437: 0x81 is u with diaeresis, 0x84 a with diaeresis.
        TextSource source = TextSource::fromBytes("M\x81ller;\x84\r\nx");
        source.setOrigin(FileOrigin::Dos);
        QCOMPARE(source.line(0).toByteArray(), QByteArray("M\xC3\xBCller;\xC3\xA4"));
        QCOMPARE(source.line(1).toByteArray(), QByteArray("x"));
        source.setOrigin(FileOrigin::Windows);
        QCOMPARE(source.line(0).toByteArray(), QByteArray("M\x81ller;\x84"));
    }

    void looksQuoted()
    {
        QVERIFY(TextSource::fromBytes("\"a\",b\n").looksQuoted(";"));
        QVERIFY(TextSource::fromBytes("x,\"a, b\"\n").looksQuoted(";"));
        QVERIFY(!TextSource::fromBytes("x;y\nsay \"hi\"\n").looksQuoted(";"));
    }

    // Blank target filled from its first row, others appended; the table
    // widens to the widest record; empty lines make empty records.
    void importIntoTable()
    {
        ListTable table;
        table.setCell(0, 0, QStringLiteral("  "));
        const TextSource source = TextSource::fromBytes("h1;h2\nskip\na;b\n\nc;d;e\n");
        ImportResult r = importText(source, delimited(";", false, 3), table, {});
        QVERIFY2(r.ok, qPrintable(r.error));
        QCOMPARE(r.records, 3);
        QCOMPARE(r.firstRow, 0);
        QCOMPARE(table.rowCount(), 3);
        QCOMPARE(table.columnCount(), 3);
        QCOMPARE(rowOf(table, 0), (QByteArrayList{"a", "b", ""}));
        QCOMPARE(rowOf(table, 1), (QByteArrayList{"", "", ""}));
        QCOMPARE(rowOf(table, 2), (QByteArrayList{"c", "d", "e"}));
        QCOMPARE(table.titles().last(), QStringLiteral("Column#3"));

        r = importText(TextSource::fromBytes("x;y;z;w"), delimited(";"), table, {});
        QVERIFY(r.ok);
        QCOMPARE(r.firstRow, 3);
        QCOMPARE(table.rowCount(), 4);
        QCOMPARE(table.columnCount(), 4);
        QCOMPARE(rowOf(table, 0), (QByteArrayList{"a", "b", "", ""}));
        QCOMPARE(rowOf(table, 3), (QByteArrayList{"x", "y", "z", "w"}));

        // Nothing from the start row on: the table keeps its rows.
        r = importText(TextSource::fromBytes("x"), delimited(";", false, 5), table, {});
        QVERIFY(r.ok);
        QCOMPARE(r.records, 0);
        QCOMPARE(table.rowCount(), 4);
    }

    void quotedImportAndUnstorableFields()
    {
        const TextSource source = TextSource::fromBytes("n,e\r\n\"Smith; J\",j@x\r\n\"two\r\nlines\",k@x\r\nok,l@x\r\n");
        ListTable table;
        table.setCell(0, 0, QStringLiteral("keep"));
        ImportResult r = importText(source, delimited(",", true), table, {';', std::nullopt});
        QVERIFY(!r.ok);
        QCOMPARE(r.unstorableRows, 2);
        QCOMPARE(r.firstUnstorableLine, 2);
        QVERIFY2(r.error.contains(u"2 record"), qPrintable(r.error));
        QCOMPARE(table.rowCount(), 1);
        QCOMPARE(table.cell(0, 0), QStringLiteral("keep"));

        r = importText(source, delimited(",", true), table, {';', '/'});
        QVERIFY(r.ok);
        QCOMPARE(r.records, 4);
        QCOMPARE(table.rowCount(), 5);
        QCOMPARE(rowOf(table, 2), (QByteArrayList{"Smith/ J", "j@x"}));
        QCOMPARE(rowOf(table, 3), (QByteArrayList{"two lines", "k@x"}));
        QCOMPARE(rowOf(table, 4), (QByteArrayList{"ok", "l@x"}));
    }

    void stoppedOrFailedImportLeavesTable()
    {
        QByteArray text;
        for (int i = 0; i < 10000; ++i)
            text += "a" + QByteArray::number(i) + ";b\n";
        ListTable table;
        table.setCell(0, 0, QStringLiteral("old"));
        ImportResult r = importText(TextSource::fromBytes(text), delimited(";"), table, {},
                                    [](qint64 position, qint64) { return position < 20000; });
        QVERIFY(r.stopped);
        QVERIFY(!r.ok);
        QCOMPARE(table.rowCount(), 1);
        QCOMPARE(table.columnCount(), 1);
        QCOMPARE(table.cell(0, 0), QStringLiteral("old"));

        // A record wider than a list may be.
        r = importText(TextSource::fromBytes("a;b\n" + QByteArray(kMaxImportColumns + 5, ';') + "x\n"),
                       delimited(";"), table, {});
        QVERIFY(!r.ok);
        QVERIFY2(r.error.contains(u"line 2"), qPrintable(r.error));
        QCOMPARE(table.rowCount(), 1);
        QCOMPARE(table.cell(0, 0), QStringLiteral("old"));
    }

    // The list file written straight from the text equals the table the
    // same import makes, saved.
    void importToFileMatchesTable_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("quoted");
        QTest::newRow("quoted, ragged") << QByteArray("a,\"b,\"\"c\"\"\"\r\n\"x\"\r\n\r\n1,2,3,4\r\n") << true;
        QTest::newRow("plain") << QByteArray("a,b\nc\n") << false;
        QTest::newRow("no records") << QByteArray() << false;
    }
    void importToFileMatchesTable()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, quoted);
        QTemporaryDir dir;
        const TextSource source = TextSource::fromBytes(text);
        const QString path = dir.filePath(QStringLiteral("out.txt"));
        const ImportResult r = importTextToFile(source, delimited(",", quoted), path, {';', std::nullopt});
        QVERIFY2(r.ok, qPrintable(r.error));
        ListTable table;
        QVERIFY(importText(source, delimited(",", quoted), table, {}).ok);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), table.toBytes(u';'));
        QCOMPARE(r.records, text.isEmpty() ? 0 : table.rowCount());
    }

    void dbaseTable()
    {
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("people.dbf")));
        DBFHandle h = DBFCreateEx(path.constData(), "LDID/38"); // CP866
        QVERIFY(h);
        QCOMPARE(DBFAddField(h, "NAME", FTString, 20, 0), 0);
        QCOMPARE(DBFAddField(h, "AGE", FTInteger, 4, 0), 1);
        QCOMPARE(DBFAddNativeFieldType(h, "NOTES", 'M', 10, 0), 2);
        const char *names[] = {"Anna", "\x8F\xA5\xE2\xE0", "Carl; Jr", "Dora"}; // "Петр" in CP866
        for (int i = 0; i < 4; ++i) {
            DBFWriteStringAttribute(h, i, 0, names[i]);
            DBFWriteIntegerAttribute(h, i, 1, 30 + i);
            DBFWriteStringAttribute(h, i, 2, "0000000001");
        }
        DBFMarkRecordDeleted(h, 3, 1);
        DBFClose(h);

        QString error;
        const auto table = DbfTable::open(QFile::decodeName(path), &error);
        QVERIFY2(table, qPrintable(error));
        QCOMPARE(table->recordCount(), 4);
        QCOMPARE(table->fieldCount(), 3);
        QCOMPARE(table->codePage(), QByteArray("CP866"));
        QCOMPARE(table->memoFieldNames(), QStringList{QStringLiteral("NOTES")});
        QCOMPARE(table->value(1, 0), QByteArray("\xD0\x9F\xD0\xB5\xD1\x82\xD1\x80")); // UTF-8
        QVERIFY(looksLikeDbf(QFile::decodeName(path)));

        // From record 2 on; the deleted one is left out, the memo stays empty,
        // and "Carl; Jr" needs a replacement.
        ListTable list;
        ImportResult r = importDbf(*table, 2, list, {';', std::nullopt});
        QVERIFY(!r.ok);
        QCOMPARE(r.firstUnstorableLine, 3);
        r = importDbf(*table, 2, list, {';', ','});
        QVERIFY2(r.ok, qPrintable(r.error));
        QCOMPARE(r.records, 2);
        QCOMPARE(list.rowCount(), 2);
        QCOMPARE(list.cell(0, 0), QStringLiteral("Петр"));
        QCOMPARE(list.cell(0, 1), QStringLiteral("31"));
        QCOMPARE(list.cell(0, 2), QString());
        QCOMPARE(list.cell(1, 0), QStringLiteral("Carl, Jr"));
        QVERIFY(r.notes.join(u' ').contains(u"NOTES"));
        QVERIFY(r.notes.join(u' ').contains(u"1 records marked as deleted"));

        // The same table under a ".db" name opens too.
        QVERIFY(QFile::copy(QFile::decodeName(path), dir.filePath(QStringLiteral("copy.db"))));
        QVERIFY(DbfTable::open(dir.filePath(QStringLiteral("copy.db")), &error));

        // Cut short, or not a table at all: refused with a reason.
        QFile whole(QFile::decodeName(path));
        QVERIFY(whole.open(QIODevice::ReadOnly));
        const QByteArray bytes = whole.readAll();
        const QString cut = writeFileIn(dir.path(), QStringLiteral("cut.dbf"), bytes.left(bytes.size() - 30));
        QVERIFY(!DbfTable::open(cut, &error));
        QVERIFY2(error.contains(u"cut short"), qPrintable(error));
        const QString text = writeFileIn(dir.path(), QStringLiteral("text.dbf"), QByteArray(200, 'a'));
        QVERIFY(!DbfTable::open(text, &error));
        QVERIFY2(error.contains(u"not a dBASE table"), qPrintable(error));
        QVERIFY(!looksLikeDbf(text));
        QVERIFY(!looksLikeDbf(writeFileIn(dir.path(), QStringLiteral("people.txt"), bytes)));
    }

    void blankTable()
    {
        ListTable table;
        QVERIFY(isBlankTable(table));
        table.setColumnCount(2);
        table.setCell(0, 1, QStringLiteral(" \t"));
        QVERIFY(isBlankTable(table));
        table.setCell(0, 1, QStringLiteral("x"));
        QVERIFY(!isBlankTable(table));
        table.setCell(0, 1, QString());
        table.setRowCount(2);
        QVERIFY(!isBlankTable(table));
    }
};

QTEST_GUILESS_MAIN(TestImportSource)
#include "tst_importsource.moc"
