// The list editor on the offscreen platform: a working copy of the project's
// list that reaches the project only when it commits.
#include "ui/listtools/editab.h"

#include "extract/conditions.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"

#include <QFile>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include "../accessibilitycheck.h"
#include "testfiles.h"

using namespace varnholt;
using namespace varnholt::testing;

namespace {

QStringList rowsOf(const ListTable &t)
{
    QStringList rows;
    for (int r = 0; r < t.rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < t.columnCount(); ++c)
            cells << t.cell(r, c);
        rows << cells.join(u'|');
    }
    return rows;
}

} // namespace

class TestListEditor : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    ListTable m_project;
    QString m_list;
    QStringList m_boxes;

    void makeProject()
    {
        writeFile(m_list, "a@x.test;Ann\r\nb@x.test;Bob\r\n");
        QVERIFY(m_project.load(m_list, u';').readWhole());
    }

private slots:
    void initTestCase()
    {
        m_list = m_dir.filePath("p.txt");
        setMessageBoxHook([this](const QString &text, const QString &, int) {
            m_boxes << text;
            return int(idOk);
        });
    }

    void init()
    {
        m_boxes.clear();
        makeProject();
    }

    void closingUnchangedLeavesTheProject()
    {
        TEditAB editor(m_project, m_list, ";");
        QCOMPARE(editor.windowTitle(), QStringLiteral("Edit Address Book (%1)").arg(m_list));
        QCOMPARE(editor.view()->model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Column 2"));
        QCOMPARE(editor.columnCountBox()->value(), 2);
        editor.done(QDialog::Accepted);
        QVERIFY(!editor.changed());
        QCOMPARE(rowsOf(m_project), (QStringList{"a@x.test|Ann", "b@x.test|Bob"}));
    }

    // Edits stay in the editor until "Save" or closing; "Save" without
    // changes does nothing.
    void editsReachTheProjectOnCommit()
    {
        TEditAB editor(m_project, m_list, ";");
        editor.sbsaveClick();
        QVERIFY(!editor.changed());
        editor.table().setCell(1, 1, QStringLiteral("Robert"));
        QVERIFY(editor.isModified());
        QCOMPARE(m_project.cell(1, 1), QStringLiteral("Bob"));
        editor.addRecord();
        editor.table().setCell(2, 0, QStringLiteral("c@x.test"));
        editor.sbsaveClick();
        QVERIFY(editor.changed());
        QVERIFY(!editor.isModified());
        QCOMPARE(rowsOf(m_project), (QStringList{"a@x.test|Ann", "b@x.test|Robert", "c@x.test|"}));
    }

    // Another file replaces the records (blank lines carry none, the widest
    // line sets the columns); the project's own file does not count as a change.
    void openingAFile()
    {
        const QString other = m_dir.filePath("other.txt");
        writeFile(other, "u1;One;x\r\n\r\nu2;Two\r\n\r\n");
        TEditAB editor(m_project, m_list, ";");
        editor.loadFile(other);
        QVERIFY(editor.isModified());
        QCOMPARE(editor.columnCountBox()->value(), 3);
        QCOMPARE(rowsOf(editor.table()), (QStringList{"u1|One|x", "u2|Two|"}));
        editor.loadFile(m_list);
        QVERIFY(!editor.isModified());
        editor.loadFile(other);
        editor.done(QDialog::Rejected); // closing commits, whichever way
        QVERIFY(editor.changed());
        QCOMPARE(rowsOf(m_project), (QStringList{"u1|One|x", "u2|Two|"}));
    }

    void missingFileIsNew()
    {
        TEditAB editor(m_project, m_list, ";");
        editor.loadFile(m_dir.filePath("none.txt"));
        QCOMPARE(editor.windowTitle(), QStringLiteral("New Address Book"));
        QCOMPARE(rowsOf(editor.table()), QStringList{"|"});
        QVERIFY(editor.isModified());
    }

    void deleteRecordAndColumnCount()
    {
        TEditAB editor(m_project, m_list, ";");
        editor.view()->setCurrentIndex(editor.view()->model()->index(0, 0));
        editor.deleteRecord();
        editor.view()->setCurrentIndex(editor.view()->model()->index(0, 0));
        editor.deleteRecord();
        // The only record is emptied, never removed.
        QCOMPARE(rowsOf(editor.table()), QStringList{"|"});
        editor.columnCountBox()->setValue(4);
        QCOMPARE(editor.table().columnCount(), 4);
        QCOMPARE(editor.view()->model()->headerData(3, Qt::Horizontal).toString(), QStringLiteral("Column 4"));
    }

    // "Save As" onto the list's own file counts as saved: closing then does
    // not overwrite the project's table; the delimiter box goes back.
    void saveAsTheListFile()
    {
        TEditAB editor(m_project, m_list, ";");
        editor.table().setCell(0, 1, QStringLiteral("Anna"));
        QVERIFY(editor.saveAs(m_list));
        QCOMPARE(readFile(m_list), QByteArray("a@x.test;Anna\r\nb@x.test;Bob\r\n"));
        editor.done(QDialog::Accepted);
        QVERIFY(!editor.changed());
        QCOMPARE(m_project.cell(0, 1), QStringLiteral("Ann"));

        // A failed write says so.
        TEditAB second(m_project, m_list, ",");
        QVERIFY(!second.saveAs(m_dir.filePath("no/such/folder/x.txt")));
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(second.delimiter(), QStringLiteral(","));
    }

    // A list wider than the box's hundred columns keeps every column.
    void wideListKeepsItsColumns()
    {
        QByteArray line;
        for (int c = 0; c < 150; ++c)
            line += "v" + QByteArray::number(c) + ";";
        writeFile(m_list, line + "\r\n");
        QVERIFY(m_project.load(m_list, u';').readWhole());
        TEditAB editor(m_project, m_list, ";");
        QCOMPARE(editor.columnCountBox()->value(), 150);
        editor.table().setCell(0, 0, QStringLiteral("changed"));
        editor.done(QDialog::Accepted);
        QCOMPARE(m_project.columnCount(), 150);
        QCOMPARE(m_project.cell(0, 149), QStringLiteral("v149"));
    }

    // "Extract Data" runs the list's saved conditions unattended: a blank
    // table takes the first record, the columns grow to the values, an
    // empty value shows as a blank; a second run appends.
    void extractedRecordsAreAdded()
    {
        QCOMPARE(TEditAB::conditionsFileOf(QStringLiteral("/d/p.txt")), QStringLiteral("/d/p.cnd"));
        QCOMPARE(TEditAB::conditionsFileOf(QStringLiteral("/d.x/list")), QStringLiteral("/d.x/list.cnd"));
        const QString data = m_dir.filePath("pages");
        writeFileIn(data, "a.htm", "<a href=\"mailto:ann@x.test\">Ann Lee</a>\r\n");
        writeFileIn(data, "b.htm", "<a href=\"mailto:bob@x.test\">Bob</a>\r\n");
        extract::ExtractConditions c;
        c.folder = data;
        c.recordBegin = QStringLiteral("mailto:");
        c.items.assign(3, extract::rItem{});
        c.items[0].name = QStringLiteral("Mail");
        c.items[0].begin = QStringLiteral("^Find@");
        c.items[1].name = QStringLiteral("Note");
        c.items[1].begin = QStringLiteral("note=");
        c.items[2].name = QStringLiteral("Name");
        c.items[2].begin = QStringLiteral(">");
        c.items[2].end = QStringLiteral("<");
        const QString list = m_dir.filePath("blank.txt");
        writeFile(list, "");
        QVERIFY(extract::writeConditions(m_dir.filePath("blank.cnd"), c));
        ListTable project;
        project.load(list, u';');

        TEditAB editor(project, list, ";");
        QCOMPARE(editor.columnCountBox()->value(), 1);
        editor.extractDataClick();
        QVERIFY(editor.isModified());
        QCOMPARE(editor.columnCountBox()->value(), 3);
        QCOMPARE(rowsOf(editor.table()), (QStringList{"ann@x.test| |Ann Lee", "bob@x.test| |Bob"}));
        editor.extractDataClick();
        QCOMPARE(rowsOf(editor.table()),
                 (QStringList{"ann@x.test| |Ann Lee", "bob@x.test| |Bob", "ann@x.test| |Ann Lee", "bob@x.test| |Bob"}));
        QVERIFY(m_boxes.isEmpty());
        editor.done(QDialog::Rejected);
    }

    void keyboardAndScreenReader()
    {
        TEditAB editor(m_project, m_list, ";");
        VARNHOLT_VERIFY_ACCESSIBLE(&editor);
        VARNHOLT_VERIFY_MNEMONICS(&editor);
        editor.done(QDialog::Rejected);
    }
};

QTEST_MAIN(TestListEditor)
#include "tst_listeditor.moc"
