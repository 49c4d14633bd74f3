// The mail client's address books: the list file, record lines, fields by
// name, and the import into a list table.
#include "listtools/addressbookimport.h"
#include "project/listtable.h"
#include "settings/syscharset.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>

#include "testfiles.h"

using namespace varnholt;
using namespace varnholt::testing;

namespace {

// An address-book line: id, 16 unused or dated fields, then the texts from
// LN on (`texts` maps a text field's index from 17 to its value).
QByteArray bookLine(int id, const QByteArray &birthday, const QMap<int, QByteArray> &texts)
{
    QByteArrayList fields(60);
    fields[0] = QByteArray::number(id);
    fields[11] = birthday;
    for (auto it = texts.begin(); it != texts.end(); ++it)
        fields[it.key()] = it.value();
    return fields.join('^') + "\r\n";
}

} // namespace

class TestAddressBookImport : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        SystemCharset::overrideForTesting("UTF-8");
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); // short dates dd.MM.yy
    }

    void listFileAndTree()
    {
        QTemporaryDir dir;
        QVERIFY(!addressBooksIn(dir.path(), QStringLiteral("Default")));
        writeFile(dir.filePath(QStringLiteral("ListAB.lab")),
                  "3^zeta^z^^^^\r\n"
                  "x^not a record^n^^^^\r\n"
                  "0^zero is no id^n\r\n"
                  "1^Alpha^a\r\n"
                  "2^alpha^b\r\n"
                  "-4^negative^n\r\n");
        const auto books = addressBooksIn(dir.path(), QStringLiteral("Default"));
        QVERIFY(books);
        QStringList names;
        for (const AddressBookEntry &b : *books)
            names << QStringLiteral("%1:%2").arg(b.id).arg(b.name);
        QCOMPARE(names, (QStringList{"0:Default", "1:Alpha", "2:alpha", "3:zeta"}));
        QCOMPARE(QFileInfo(TABookFile::pathFor(dir.path(), 2)).fileName(), QStringLiteral("b.abk"));
        QCOMPARE(QFileInfo(TABookFile::pathFor(dir.path(), 9)).fileName(), QStringLiteral("Default.abk"));
    }

    void fieldsByName()
    {
        const QByteArrayList fields = TcsvFile::splitLine(bookLine(7, " 24.12.80 ", {{17, "Smith"}, {20, "a#5Eb@x.org"}}));
        const TAbook record(fields);
        QCOMPARE(record.field(QStringLiteral("homeemail")), QByteArray("a^b@x.org"));
        QCOMPARE(record.field(QStringLiteral("LN")), QByteArray("Smith"));
        QCOMPARE(record.field(QStringLiteral("BIRTHDAY")), QByteArray("24.12.80"));
        QCOMPARE(record.field(QStringLiteral("DATEADDED")), QByteArray()); // empty: no date
        QCOMPARE(record.field(QStringLiteral("VATFEE")), QByteArray());     // no such field
        const TAbook notADate(TcsvFile::splitLine(bookLine(8, "yesterday", {})));
        QCOMPARE(notADate.field(QStringLiteral("BIRTHDAY")), QByteArray());
    }

    // A list of 3 columns and 10 records takes a book of 4 records: 54
    // columns, 4 records, the e-mail first, columns 47 to 54 empty.
    void importReplacesRecords()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath(QStringLiteral("ListAB.lab")), "5^Customers^cust\r\n");
        QByteArray book;
        for (int i = 1; i <= 4; ++i)
            book += bookLine(i, "", {{20, "u" + QByteArray::number(i) + "@x.org"}, {27, "First"}, {59, "VAT"}});
        book += "garbage line\r\n";
        writeFile(dir.filePath(QStringLiteral("cust.abk")), book);

        ListTable table;
        table.setRowCount(10);
        table.setColumnCount(3);
        table.setCell(9, 2, QStringLiteral("old"));
        AddressBookImportResult r = importAddressBookRecords(dir.path(), 5, table);
        QVERIFY(r.imported);
        QCOMPARE(r.records, 4);
        QCOMPARE(table.rowCount(), 4);
        QCOMPARE(table.columnCount(), 54);
        QCOMPARE(table.cell(3, 0), QStringLiteral("u4@x.org"));
        QCOMPARE(table.cell(0, 1), QStringLiteral("First"));
        QCOMPARE(table.cell(0, 45), QStringLiteral("VAT"));
        for (int c = 46; c < 54; ++c)
            QVERIFY(table.cell(0, c).isEmpty());

        // A stop leaves the list as it was.
        table.setCell(0, 0, QStringLiteral("kept"));
        r = importAddressBookRecords(dir.path(), 5, table, [](int done, int) { return done < 2; });
        QVERIFY(r.stopped);
        QVERIFY(!r.imported);
        QCOMPARE(table.cell(0, 0), QStringLiteral("kept"));

        // The default book is missing: it is created empty and brings nothing.
        r = importAddressBookRecords(dir.path(), 0, table);
        QVERIFY(!r.imported);
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("Default.abk"))));
        QCOMPARE(table.rowCount(), 4);
    }

    void recordFileWrites()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("sub/book.abk"));
        {
            TcsvFile file(path);
            QCOMPARE(file.count(), 0);
            file.append({"1", "a^b"});
            file.append({"2", "c"});
            file.change(1, {"2", "d"});
            file.remove(0);
            QVERIFY(file.save());
        }
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("2^d\r\n"));
        TcsvFile again(path);
        QCOMPARE(again.find(2), 0);
        QCOMPARE(again.find(1), -1);
    }
};

QTEST_GUILESS_MAIN(TestAddressBookImport)
#include "tst_addressbookimport.moc"
