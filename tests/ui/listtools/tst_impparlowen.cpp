// The address-book import window: the tree of a folder's address books,
// the import, and what a keyboard or screen-reader user meets.
#include "accessibilitycheck.h"
#include "modalhelper.h"
#include "testfiles.h"

#include "project/listtable.h"
#include "ui/listtools/importwindows.h"
#include "ui/listtools/impparlowen.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

using namespace varnholt;
using namespace varnholt::testing;

namespace {

QByteArray bookLine(int id, const QByteArray &email)
{
    QByteArrayList fields(60);
    fields[0] = QByteArray::number(id);
    fields[20] = email;
    return fields.join('^') + "\r\n";
}

} // namespace

class TestImpParlowen : public QObject
{
    Q_OBJECT
private slots:
    void treeAndImport()
    {
        QTemporaryDir empty;
        QTemporaryDir dir;
        writeFile(dir.filePath(QStringLiteral("ListAB.lab")), "2^Zoo^zoo\r\n1^clients^cl\r\n");
        writeFile(dir.filePath(QStringLiteral("cl.abk")), bookLine(1, "a@x.org") + bookLine(2, "b@x.org"));

        ListTable table;
        table.setCell(0, 0, QStringLiteral("old@x.org"));
        TImpParlowen window(table);
        window.show();
        QCOMPARE(window.windowTitle(), QStringLiteral("Import addressbook from Parlowen"));
        window.setFolder(empty.path());
        QCOMPARE(window.tree()->topLevelItemCount(), 0);
        QVERIFY(!window.importButton()->isEnabled());

        window.setFolder(dir.path());
        QStringList names;
        for (int i = 0; i < window.tree()->topLevelItemCount(); ++i)
            names << window.tree()->topLevelItem(i)->text(0);
        QCOMPARE(names, (QStringList{"Default", "clients", "Zoo"}));
        QCOMPARE(window.tree()->currentItem(), window.tree()->topLevelItem(0));
        QVERIFY(window.importButton()->isEnabled());
        VARNHOLT_VERIFY_ACCESSIBLE(&window);
        VARNHOLT_VERIFY_MNEMONICS(&window);

        // The default book has no file: nothing is imported.
        window.importButton()->click();
        QVERIFY(!window.imported());
        QCOMPARE(table.cell(0, 0), QStringLiteral("old@x.org"));

        window.tree()->setCurrentItem(window.tree()->topLevelItem(1));
        window.importButton()->click();
        QVERIFY(window.imported());
        QCOMPARE(table.rowCount(), 2);
        QCOMPARE(table.columnCount(), 54);
        QCOMPARE(table.cell(1, 0), QStringLiteral("b@x.org"));
    }

    void entryReportsImport()
    {
        ListTable table;
        onNextModal<TImpParlowen>([](TImpParlowen *w) { w->closeButton()->click(); });
        QVERIFY(!ImportParlowenAddressBook(nullptr, table));
    }
};

QTEST_MAIN(TestImpParlowen)
#include "tst_impparlowen.moc"
