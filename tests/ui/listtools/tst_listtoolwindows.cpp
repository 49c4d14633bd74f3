#include "accessibilitycheck.h"
#include "modalhelper.h"
#include "testfiles.h"

#include "project/listtable.h"
#include "settings/programfolder.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"
#include "ui/common/progaddress.h"
#include "ui/listtools/filterform.h"
#include "ui/listtools/listtoolwindows.h"
#include "ui/listtools/removeduplicatesform.h"
#include "ui/listtools/replaceform.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

using namespace varnholt;
using namespace varnholt::testing;

namespace {

struct Shown {
    QString text;
    QString caption;
    int flags = 0;
};

struct FileAsked {
    FileDialogKind kind;
    QString title;
    QString preset;
};

// "a;b|c;d": rows at "|", cells at ";".
void fill(ListTable &t, const QString &text)
{
    const QStringList rows = text.split(u'|');
    t.clear();
    t.setRowCount(int(rows.size()));
    int cols = 1;
    for (const QString &row : rows)
        cols = std::max(cols, int(row.split(u';').size()));
    t.setColumnCount(cols);
    for (int r = 0; r < rows.size(); ++r) {
        const QStringList cells = rows[r].split(u';');
        for (int c = 0; c < cells.size(); ++c)
            t.setCell(r, c, cells[c]);
    }
}

QString column(const ListTable &t, int c)
{
    QStringList cells;
    for (int r = 0; r < t.rowCount(); ++r)
        cells << t.cell(r, c);
    return cells.join(u'|');
}

} // namespace

class TestListToolWindows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        ProgramFolder::initialise(m_home.path());
    }
    void init()
    {
        m_shown.clear();
        m_asked.clear();
        m_answers.clear();
        setMessageBoxHook([this](const QString &text, const QString &caption, int flags) {
            m_shown.append({text, caption, flags});
            return int(idOk);
        });
        setFileDialogHook([this](FileDialogKind kind, const QString &title, const QString &preset) {
            m_asked.append({kind, title, preset});
            return m_answers.isEmpty() ? std::nullopt : m_answers.takeFirst();
        });
    }
    void cleanup()
    {
        setMessageBoxHook({});
        setFileDialogHook({});
        TProgAddress::setStepHook({});
    }

    // ---- Remove duplicates --------------------------------------------------

    void removeDuplicatesWindow()
    {
        ListTable table;
        fill(table, "a@x.org;1|A@X.ORG;2|b@x.org;2");
        TfUni window(table);
        QCOMPARE(window.windowTitle(), QString("Remove duplicates "));
        QCOMPARE(window.fieldList()->count(), 2);
        QCOMPARE(window.fieldList()->item(0)->text(), QString("Column#1"));
        QCOMPARE(window.fieldList()->item(0)->checkState(), Qt::Checked);
        QCOMPARE(window.fieldList()->item(1)->checkState(), Qt::Unchecked);
        VARNHOLT_VERIFY_ACCESSIBLE(&window);
        VARNHOLT_VERIFY_MNEMONICS(&window);

        // The box beside the label ticks every field, and clears them.
        window.allFieldsBox()->click();
        QCOMPARE(window.fieldList()->item(1)->checkState(), Qt::Checked);
        window.allFieldsBox()->click();
        QCOMPARE(window.fieldList()->item(0)->checkState(), Qt::Unchecked);
        window.removeButton()->click();
        QCOMPARE(m_shown.size(), 1);
        QCOMPARE(m_shown[0].text, QString("Nothing to do"));
        QCOMPARE(m_shown[0].flags, 8256);
        QCOMPARE(table.rowCount(), 3);

        window.setTickedColumns({0});
        window.removeButton()->click();
        QCOMPARE(column(table, 0), QString("a@x.org|b@x.org"));
        QCOMPARE(m_shown.size(), 2);
        QCOMPARE(m_shown[1].text, QString("The process has been completed"));
        QCOMPARE(m_shown[1].caption, QString("Attention"));
        QCOMPARE(m_shown[1].flags, 8256);
        QVERIFY(!window.progressBar()->isVisible());
        // The window stays for another run, on other fields.
        window.setTickedColumns({1});
        window.removeButton()->click();
        QCOMPARE(column(table, 1), QString("1|2"));
    }

    void removeDuplicatesEntry()
    {
        ListTable table;
        fill(table, "x|X|y");
        onNextModal<TfUni>([](TfUni *w) {
            w->removeButton()->click();
            w->closeButton()->click();
        });
        RemoveDuplicates(nullptr, table);
        QCOMPARE(column(table, 0), QString("x|y"));
    }

    // ---- Filter ---------------------------------------------------------------

    void filterOpensOnTheProgramFoldersFile()
    {
        const QString file = ProgramFolder::filePath("filter.txt");
        QFile::remove(file);
        ListTable table;
        fill(table, "a;1|;2|b;3");
        TFilterForm1 window(table, m_home.path());
        QVERIFY(QFileInfo::exists(file));
        QCOMPARE(window.windowTitle(), QString("Filter - filter.txt"));
        QVERIFY(window.equalButton()->isChecked());
        QCOMPARE(window.delimiterBox()->currentText(), QString(";"));
        QCOMPARE(window.delimiterBox()->count(), 25);
        QCOMPARE(window.keywords().rowCount(), 1);
        VARNHOLT_VERIFY_ACCESSIBLE(&window);
        VARNHOLT_VERIFY_MNEMONICS(&window);

        // An empty keyword file: "Is equal exactly" removes the records
        // whose field is empty; their file gets ".del".
        m_answers.append(m_dir.filePath("removed.txt"));
        window.applyButton()->click();
        QCOMPARE(column(table, 0), QString("a|b"));
        QVERIFY(window.changed());
        QCOMPARE(m_asked.size(), 1);
        QCOMPARE(m_asked[0].title, QString("Filtered...Please enter file name to save removed addresses"));
        QCOMPARE(m_asked[0].preset, m_home.path());
        QCOMPARE(readFile(m_dir.filePath("removed.txt.del")), QByteArray(";2;\r\n"));
    }

    void filterByLoadedKeywords()
    {
        const QString keywords = m_dir.filePath("kw.txt");
        writeFile(keywords, "x;spam\r\n\r\ny;EXAMPLE\r\n");
        ListTable table;
        fill(table, "a@spam.org|b@example.org|c@EXAMPLE.org");
        TFilterForm1 window(table, {});
        m_answers.append(keywords);
        window.loadButton()->click();
        QCOMPARE(window.windowTitle(), QString("Filter - kw.txt"));
        QCOMPARE(window.keywords().rowCount(), 2);
        QCOMPARE(window.keywordColumnBox()->count(), 2);
        window.keywordColumnBox()->setCurrentIndex(1);
        window.containsButton()->setChecked(true);
        window.applyButton()->click(); // the ".del" dialog is cancelled
        QCOMPARE(column(table, 0), QString("b@example.org"));
        QVERIFY(window.changed());

        // Another delimiter reads the same file again: one column now.
        window.delimiterBox()->setCurrentText(",");
        QCOMPARE(window.keywords().columnCount(), 1);
        QCOMPARE(window.keywords().cell(0, 0), QString("x;spam"));
    }

    void filterMatchingNothingAsksNothing()
    {
        ListTable table;
        fill(table, "a|b");
        onNextModal<TFilterForm1>([](TFilterForm1 *w) {
            w->keywords().setCell(0, 0, "zzz");
            w->applyButton()->click();
            w->closeButton()->click();
        });
        QVERIFY(!FilterAddressBook(nullptr, table));
        QVERIFY(m_asked.isEmpty());
        QCOMPARE(column(table, 0), QString("a|b"));
    }

    // "Stop" while the filter runs leaves the list as it was, and the
    // window goes on working.
    void filterStopped()
    {
        ListTable table;
        table.setRowCount(3 * 4096);
        for (int r = 0; r < table.rowCount(); ++r)
            table.setCell(r, 0, r % 2 ? "keep" : "drop");
        TFilterForm1 window(table, {});
        window.keywords().setCell(0, 0, "drop");
        int steps = 0;
        TProgAddress::setStepHook([&steps](TProgAddress *p) {
            if (++steps == 3)
                p->stopButton()->click();
        });
        window.applyButton()->click();
        QVERIFY(steps >= 3);
        QCOMPARE(table.rowCount(), 3 * 4096);
        QVERIFY(!window.changed());
        QVERIFY(m_asked.isEmpty());
        TProgAddress::setStepHook({});
        window.applyButton()->click();
        QCOMPARE(table.rowCount(), 3 * 2048);
        QVERIFY(window.changed());
    }

    void filterKeywordEditing()
    {
        ListTable table;
        TFilterForm1 window(table, {});
        m_answers.append(std::nullopt); // the open dialog is cancelled: the file name is forgotten
        window.loadButton()->click();
        QVERIFY(window.keywordFileName().isEmpty());
        QVERIFY(!window.saveAsButton()->isEnabled());
        // (A delimiter change reads the keyword file again: none now.)
        window.delimiterBox()->setCurrentText(",");
        window.addButton()->click();
        QCOMPARE(window.keywords().rowCount(), 2);
        QCOMPARE(window.keywordView()->currentIndex().row(), 1);
        window.keywords().setCell(1, 0, "abc");
        QVERIFY(window.saveAsButton()->isEnabled());
        window.keywordView()->setCurrentIndex(window.keywords().index(0, 0));
        window.deleteButton()->click();
        QCOMPARE(window.keywords().rowCount(), 1);
        QCOMPARE(window.keywords().cell(0, 0), QString("abc"));
        // Saved with "," selected: every keyword still ends with ";".
        m_answers.append(m_dir.filePath("saved"));
        window.saveAsButton()->click();
        QCOMPARE(readFile(m_dir.filePath("saved.txt")), QByteArray("abc;\r\n"));
        QCOMPARE(window.windowTitle(), QString("Filter - saved.txt"));
    }

    // ---- Find and replace -----------------------------------------------------

    void replaceWindow()
    {
        ListTable table;
        fill(table, "Anna;a@x.COM.com|Bob;|Carl;c@y.org");
        TReplaceForm window(table);
        QCOMPARE(window.windowTitle(), QString("Replace Form"));
        QCOMPARE(window.pairs()->headerData(0, Qt::Horizontal).toString(), QString("Old Value"));
        QCOMPARE(window.pairs()->headerData(1, Qt::Horizontal).toString(), QString("New Value"));
        QCOMPARE(window.columnBox()->count(), 2);
        QVERIFY(!window.caseSensitiveBox()->isChecked());
        QVERIFY(!window.saveAsButton()->isEnabled());
        VARNHOLT_VERIFY_ACCESSIBLE(&window);
        VARNHOLT_VERIFY_MNEMONICS(&window);

        const QString pairs = m_dir.filePath("pairs.txt");
        writeFile(pairs, "com|net\r\n.org|\r\n");
        m_answers.append(pairs);
        window.loadButton()->click();
        QCOMPARE(window.windowTitle(), QString("Replace Form - pairs.txt"));
        // Split at ";" (the default), each line is one field: one column.
        QCOMPARE(window.pairs()->columnCount(), 1);
        window.delimiterBox()->setCurrentText("|");
        QCOMPARE(window.pairs()->columnCount(), 2);
        QCOMPARE(window.pairs()->rowCount(), 2);
        QCOMPARE(window.pairs()->item(0, 1)->text(), QString("net"));

        window.columnBox()->setCurrentIndex(1);
        window.replaceButton()->click();
        QCOMPARE(column(table, 1), QString("a@x.net.net||c@y"));
        QCOMPARE(m_shown.size(), 1);
        QCOMPARE(m_shown[0].text, QString("Replaces have been completed"));
        QCOMPARE(m_shown[0].caption, QString("Attention"));
        QCOMPARE(m_shown[0].flags, 64);
    }

    void replaceListEditing()
    {
        ListTable table;
        TReplaceForm window(table);
        window.pairs()->setItem(0, 0, new QStandardItem("old"));
        window.pairs()->setItem(0, 1, new QStandardItem("new"));
        QVERIFY(window.saveAsButton()->isEnabled());
        window.addButton()->click();
        QCOMPARE(window.pairs()->rowCount(), 2);
        window.pairs()->setItem(1, 0, new QStandardItem("x"));
        m_answers.append(m_dir.filePath("replace."));
        window.saveAsButton()->click();
        QCOMPARE(readFile(m_dir.filePath("replace..txt")), QByteArray("old;new\r\nx;\r\n"));
        QCOMPARE(window.windowTitle(), QString("Replace Form - replace..txt"));
        // "Delete Keyword" on the first pair empties it and keeps the row.
        window.pairView()->setCurrentIndex(window.pairs()->index(0, 0));
        window.deleteButton()->click();
        QCOMPARE(window.pairs()->rowCount(), 2);
        QCOMPARE(window.pairs()->item(0, 0)->text(), QString());
        window.pairView()->setCurrentIndex(window.pairs()->index(1, 0));
        window.deleteButton()->click();
        QCOMPARE(window.pairs()->rowCount(), 1);
    }

private:
    QTemporaryDir m_home;
    QTemporaryDir m_dir;
    QList<Shown> m_shown;
    QList<FileAsked> m_asked;
    QList<std::optional<QString>> m_answers;
};

QTEST_MAIN(TestListToolWindows)
#include "tst_listtoolwindows.moc"
