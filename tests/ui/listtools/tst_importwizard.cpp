// The import wizard: its steps and captions, the four source types (a
// workbook among them), the question before fields the list cannot keep,
// bad files, and what a keyboard or screen-reader user meets on every page.
#include "accessibilitycheck.h"
#include "modalhelper.h"
#include "testfiles.h"

#include "project/listtable.h"
#include "sending/xlsxexport.h"
#include "settings/syscharset.h"
#include "ui/common/messagebox.h"
#include "ui/common/progaddress.h"
#include "ui/listtools/importwindows.h"
#include "ui/listtools/impvznload.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <shapefil.h>

using namespace varnholt;
using namespace varnholt::testing;

namespace {

QStringList rowOf(const ListTable &table, int row)
{
    QStringList out;
    for (int c = 0; c < table.columnCount(); ++c)
        out << table.cell(row, c);
    return out;
}

struct ShownBox {
    QString text;
    int flags = 0;
};

} // namespace

class TestImportWizard : public QObject
{
    Q_OBJECT
private slots:
    void init() { SystemCharset::overrideForTesting("UTF-8"); }
    void cleanup() { setMessageBoxHook({}); }

    // A spreadsheet's CSV: the wizard finds the quotes itself; the records
    // are appended to a list that has some; every page is usable by
    // keyboard and screen reader.
    void quotedCsvWalk()
    {
        QTemporaryDir dir;
        const QString csv = writeFileIn(dir.path(), QStringLiteral("people.csv"),
                                      "name,email\r\n\"Smith, John\",j@x.org\r\n\"Say \"\"hi\"\"\",s@x.org\r\n");
        ListTable table;
        table.setCell(0, 0, QStringLiteral("old@x.org"));
        TImpVznLoad wizard(table, u';');
        wizard.show();
        QCOMPARE(wizard.windowTitle(), QStringLiteral("Import Wizard:  Step 1 / 4"));
        QVERIFY(!wizard.backButton()->isEnabled());
        VARNHOLT_VERIFY_ACCESSIBLE(&wizard);
        VARNHOLT_VERIFY_MNEMONICS(&wizard);

        // A name that does not exist: "Next >" does nothing.
        wizard.fileEdit()->setText(dir.filePath(QStringLiteral("missing.csv")));
        wizard.nextButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepFile);

        wizard.fileEdit()->setText(csv);
        wizard.nextButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepType);
        QCOMPARE(wizard.windowTitle(), QStringLiteral("Import Wizard:  Step 2 / 4"));
        QVERIFY(!wizard.dbfButton()->isEnabled());
        QVERIFY(wizard.delimitedButton()->isChecked());
        QCOMPARE(wizard.linePreview()->model()->rowCount(), 3);
        QCOMPARE(wizard.linePreview()->model()->index(1, 1).data().toString(),
                 QStringLiteral("\"Smith, John\",j@x.org"));
        QCOMPARE(wizard.startRowBox()->maximum(), 3);
        VARNHOLT_VERIFY_ACCESSIBLE(&wizard);
        VARNHOLT_VERIFY_MNEMONICS(&wizard);
        wizard.startRowBox()->setValue(2);

        wizard.nextButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepDelimiters);
        QCOMPARE(wizard.windowTitle(), QStringLiteral("Import Wizard:  Step 3 / 4"));
        QVERIFY(wizard.delimiterBox(';')->isChecked());
        QVERIFY(wizard.delimiterBox('q')->isChecked()); // ticked by itself
        wizard.delimiterBox(';')->setChecked(false);
        wizard.delimiterBox(',')->setChecked(true);
        QAbstractItemModel *preview = wizard.delimitedPreview()->model();
        QCOMPARE(preview->rowCount(), 2);
        QCOMPARE(preview->columnCount(), 2);
        QCOMPARE(preview->index(1, 0).data().toString(), QStringLiteral("Say \"hi\""));
        VARNHOLT_VERIFY_ACCESSIBLE(&wizard);
        VARNHOLT_VERIFY_MNEMONICS(&wizard);

        wizard.nextButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepImport);
        QCOMPARE(wizard.windowTitle(), QStringLiteral("Import Wizard:  Step 4 / 4"));
        QVERIFY(!wizard.nextButton()->isEnabled());
        QVERIFY(wizard.backButton()->isEnabled());
        QCOMPARE(table.rowCount(), 3);
        QCOMPARE(table.columnCount(), 2);
        QCOMPARE(rowOf(table, 0), (QStringList{"old@x.org", ""}));
        QCOMPARE(rowOf(table, 1), (QStringList{"Smith, John", "j@x.org"}));
        QCOMPARE(rowOf(table, 2), (QStringList{"Say \"hi\"", "s@x.org"}));
        QVERIFY2(wizard.resultLabel()->text().contains(u"rows 2 to 3"), qPrintable(wizard.resultLabel()->text()));
        VARNHOLT_VERIFY_ACCESSIBLE(&wizard);
        VARNHOLT_VERIFY_MNEMONICS(&wizard);

        // Back to the delimiters and on again imports a second time.
        wizard.backButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepDelimiters);
        QVERIFY(wizard.delimiterBox(',')->isChecked());
        wizard.nextButton()->click();
        QCOMPARE(table.rowCount(), 5);
    }

    void fixedWidthBreaks()
    {
        QTemporaryDir dir;
        const QString file = writeFileIn(dir.path(), QStringLiteral("fixed.txt"), "Anna  Berlin\nBo    Köln\nCarla\n");
        ListTable table;
        TImpVznLoad wizard(table, u';');
        wizard.show();
        wizard.fileEdit()->setText(file);
        wizard.nextButton()->click();
        wizard.fixedButton()->setChecked(true);
        wizard.nextButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepBreaks);
        QCOMPARE(wizard.windowTitle(), QStringLiteral("Import Wizard:  Step 3 / 4"));
        QCOMPARE(wizard.breaks().size(), 12); // the longest line
        QCOMPARE(wizard.breakGrid()->model()->rowCount(), 4); // ruler + lines
        VARNHOLT_VERIFY_ACCESSIBLE(&wizard);
        VARNHOLT_VERIFY_MNEMONICS(&wizard);
        // A click after "Anna  " sets a break; a second click takes it away.
        const QModelIndex cell = wizard.breakGrid()->model()->index(1, 5);
        QTest::mouseClick(wizard.breakGrid()->viewport(), Qt::LeftButton, {},
                          wizard.breakGrid()->visualRect(cell).center());
        QCOMPARE(wizard.breaks(), QByteArray("     1      "));
        wizard.toggleBreak(5);
        QCOMPARE(wizard.breaks(), QByteArray("            "));
        wizard.toggleBreak(5);
        wizard.nextButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepImport);
        QCOMPARE(table.rowCount(), 3);
        QCOMPARE(rowOf(table, 0), (QStringList{"Anna  ", "Berlin"}));
        QCOMPARE(rowOf(table, 1), (QStringList{"Bo    ", "Köln"}));
        QCOMPARE(rowOf(table, 2), (QStringList{"Carla", ""}));
        // Back returns to the breaks, which are kept.
        wizard.backButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepBreaks);
        QCOMPARE(wizard.breaks(), QByteArray("     1      "));
    }

    void dbaseTableSkipsToImport()
    {
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("t.dbf")));
        DBFHandle h = DBFCreate(path.constData());
        DBFAddField(h, "EMAIL", FTString, 30, 0);
        DBFAddNativeFieldType(h, "MEMO", 'M', 10, 0);
        DBFWriteStringAttribute(h, 0, 0, "head@x.org");
        DBFWriteStringAttribute(h, 1, 0, "a@x.org");
        DBFWriteStringAttribute(h, 2, 0, "b@x.org");
        DBFClose(h);

        ListTable table;
        TImpVznLoad wizard(table, u';');
        wizard.show();
        wizard.fileEdit()->setText(QFile::decodeName(path));
        wizard.nextButton()->click();
        QCOMPARE(wizard.sourceType(), ImportType::DBase);
        QVERIFY(wizard.dbfButton()->isChecked());
        QVERIFY(!wizard.delimitedButton()->isEnabled());
        QVERIFY(!wizard.fixedButton()->isEnabled());
        QCOMPARE(wizard.linePreview()->model()->rowCount(), 3);
        QCOMPARE(wizard.linePreview()->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("EMAIL"));
        QVERIFY(wizard.noteLabel()->isVisibleTo(&wizard));
        QVERIFY(wizard.noteLabel()->text().contains(u"MEMO"));
        VARNHOLT_VERIFY_ACCESSIBLE(&wizard);
        VARNHOLT_VERIFY_MNEMONICS(&wizard);
        wizard.startRowBox()->setValue(2);
        wizard.nextButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepImport);
        QCOMPARE(table.rowCount(), 2);
        QCOMPARE(table.cell(0, 0), QStringLiteral("a@x.org"));
        QCOMPARE(table.cell(1, 0), QStringLiteral("b@x.org"));
        wizard.backButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepType);
    }

    // A workbook (written by libxlsxwriter): its sheets to choose from, a
    // preview with the titles row heading the columns, a cell range, the
    // question before a cell with the list delimiter; a file that is no
    // workbook keeps the first page.
    void spreadsheetWalk()
    {
        QTemporaryDir dir;
        const QString book = dir.filePath(QStringLiteral("people.xlsx"));
        QString error;
        QVERIFY2(writeXlsxWorkbook(book, QStringLiteral("People"), {"Name", "E-mail", "Zip"},
                                   {{"Ann", "ann@x.org", "01234"}, {"Bo", "bo@x.org", "09876"}, {"Cy; Jr", "cy@x.org", ""}},
                                   &error),
                 qPrintable(error));
        QList<ShownBox> shown;
        setMessageBoxHook([&](const QString &text, const QString &, int flags) {
            shown.append({text, flags});
            return int(idYes);
        });
        ListTable table;
        TImpVznLoad wizard(table, u';');
        wizard.show();
        wizard.fileEdit()->setText(book);
        wizard.nextButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepType);
        QCOMPARE(wizard.sourceType(), ImportType::Spreadsheet);
        QVERIFY(wizard.spreadsheetButton()->isChecked());
        QVERIFY(!wizard.delimitedButton()->isEnabled());
        QVERIFY(!wizard.startRowBox()->isVisibleTo(&wizard));
        QCOMPARE(wizard.sheetBox()->count(), 1);
        QCOMPARE(wizard.sheetBox()->currentText(), QStringLiteral("People"));
        QAbstractItemModel *preview = wizard.linePreview()->model();
        QCOMPARE(preview->rowCount(), 4);
        QCOMPARE(preview->index(1, 2).data().toString(), QStringLiteral("01234"));
        QCOMPARE(preview->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Column#1"));
        wizard.titlesBox()->setChecked(true);
        QCOMPARE(preview->rowCount(), 3);
        QCOMPARE(preview->headerData(1, Qt::Horizontal).toString(), QStringLiteral("E-mail (Column#2)"));
        QCOMPARE(preview->headerData(0, Qt::Vertical).toInt(), 2); // the sheet's row
        VARNHOLT_VERIFY_ACCESSIBLE(&wizard);
        VARNHOLT_VERIFY_MNEMONICS(&wizard);

        // Not a range: "Next >" stays and says why.
        wizard.rangeEdit()->setText(QStringLiteral("A:C5"));
        wizard.nextButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepType);
        QVERIFY2(wizard.noteLabel()->text().contains(u"not a cell range"), qPrintable(wizard.noteLabel()->text()));

        wizard.rangeEdit()->clear();
        wizard.nextButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepImport);
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].text.contains(u"row 4 of the sheet"), qPrintable(shown[0].text));
        QCOMPARE(table.rowCount(), 3);
        QCOMPARE(rowOf(table, 0), (QStringList{"Ann", "ann@x.org", "01234"}));
        QCOMPARE(rowOf(table, 2), (QStringList{"Cy  Jr", "cy@x.org", ""}));
        QVERIFY2(wizard.resultLabel()->text().contains(u"Name, E-mail, Zip"), qPrintable(wizard.resultLabel()->text()));
        VARNHOLT_VERIFY_ACCESSIBLE(&wizard);

        // Back, two columns of two rows, appended.
        wizard.backButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepType);
        wizard.titlesBox()->setChecked(false);
        wizard.rangeEdit()->setText(QStringLiteral("a2:b3"));
        wizard.nextButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepImport);
        QCOMPARE(table.rowCount(), 5);
        QCOMPARE(rowOf(table, 4), (QStringList{"Bo", "bo@x.org", ""}));

        // An archive that holds no workbook: said so, the first page kept.
        const QString other = dir.filePath(QStringLiteral("other.xlsx"));
        QVERIFY(QFile::copy(book, other));
        QFile cut(other);
        QVERIFY(cut.open(QIODevice::ReadWrite) && cut.resize(cut.size() / 2));
        cut.close();
        wizard.backButton()->click();
        wizard.backButton()->click();
        wizard.fileEdit()->setText(other);
        wizard.nextButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepFile);
        QCOMPARE(shown.size(), 2);
        QVERIFY2(shown[1].text.contains(u"not a workbook"), qPrintable(shown[1].text));
        QCOMPARE(shown[1].flags & mbIconError, int(mbIconError));
        QCOMPARE(table.rowCount(), 5);
    }

    // A field holding the list delimiter: asked first; "No" leaves the list
    // as it was, "Yes" replaces it.
    void delimiterInsideFieldIsAsked_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("no") << int(idNo);
        QTest::newRow("yes") << int(idYes);
    }
    void delimiterInsideFieldIsAsked()
    {
        QFETCH(int, answer);
        QTemporaryDir dir;
        const QString file = writeFileIn(dir.path(), QStringLiteral("c.csv"), "a,\"b;c\"\n");
        ListTable table;
        QList<ShownBox> shown;
        setMessageBoxHook([&](const QString &text, const QString &, int flags) {
            shown.append({text, flags});
            return answer;
        });
        TImpVznLoad wizard(table, u';');
        wizard.show();
        wizard.fileEdit()->setText(file);
        wizard.nextButton()->click();
        wizard.nextButton()->click();
        wizard.delimiterBox(',')->setChecked(true);
        wizard.nextButton()->click();
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].text.contains(u"line 1") && shown[0].text.contains(u"\";\""), qPrintable(shown[0].text));
        QCOMPARE(shown[0].flags & mbYesNo, int(mbYesNo));
        if (answer == idYes) {
            QCOMPARE(rowOf(table, 0), (QStringList{"a", "b c"}));
        } else {
            QCOMPARE(table.rowCount(), 1);
            QCOMPARE(table.columnCount(), 1);
            QCOMPARE(table.cell(0, 0), QString());
        }
    }

    void badFilesKeepTheFirstPage()
    {
        QTemporaryDir dir;
        QByteArray binary(4096, 'x');
        binary[10] = '\0';
        const QString file = writeFileIn(dir.path(), QStringLiteral("picture.png"), binary);
        QList<ShownBox> shown;
        setMessageBoxHook([&](const QString &text, const QString &, int flags) {
            shown.append({text, flags});
            return int(idOk);
        });
        ListTable table;
        TImpVznLoad wizard(table, u';');
        wizard.show();
        wizard.fileEdit()->setText(file);
        wizard.nextButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepFile);
        QCOMPARE(shown.size(), 1);
        QVERIFY(shown[0].text.contains(u"not a text file"));
        QCOMPARE(shown[0].flags & mbIconError, int(mbIconError));

        // A ".dbf" that is no table is said so and read as text.
        const QString fake = writeFileIn(dir.path(), QStringLiteral("fake.dbf"), "a;b\nc;d\n");
        wizard.fileEdit()->setText(fake);
        wizard.nextButton()->click();
        QCOMPARE(wizard.step(), TImpVznLoad::StepType);
        QCOMPARE(wizard.sourceType(), ImportType::Delimited);
        QVERIFY(wizard.noteLabel()->text().contains(u"not a dBASE table"));
        QCOMPARE(wizard.linePreview()->model()->rowCount(), 2);
    }

    // "Stop" during the import: the list stays as it was and the page says
    // so; the wizard goes on working.
    void stoppedImport()
    {
        QTemporaryDir dir;
        QByteArray text;
        for (int i = 0; i < 20000; ++i)
            text += "a" + QByteArray::number(i) + ";b\n";
        const QString file = writeFileIn(dir.path(), QStringLiteral("many.txt"), text);
        ListTable table;
        table.setCell(0, 0, QStringLiteral("old"));
        TImpVznLoad::setProgressDelay(std::chrono::milliseconds(0));
        TImpVznLoad wizard(table, u';');
        wizard.show();
        wizard.fileEdit()->setText(file);
        wizard.nextButton()->click();
        wizard.nextButton()->click();
        int steps = 0;
        TProgAddress::setStepHook([&steps](TProgAddress *progress) {
            if (progress->windowTitle().startsWith(u"Importing") && ++steps == 2)
                progress->stopButton()->click();
        });
        wizard.nextButton()->click();
        TProgAddress::setStepHook({});
        TImpVznLoad::setProgressDelay(DelayedProgress::kDefaultDelay);
        QCOMPARE(steps, 2);
        QCOMPARE(wizard.step(), TImpVznLoad::StepImport);
        QCOMPARE(table.rowCount(), 1);
        QCOMPARE(table.cell(0, 0), QStringLiteral("old"));
        QVERIFY2(wizard.resultLabel()->text().contains(u"stopped"), qPrintable(wizard.resultLabel()->text()));
        // Back and on again imports all.
        wizard.backButton()->click();
        wizard.nextButton()->click();
        QCOMPARE(table.rowCount(), 20001);
    }

    // "Exit" (or Escape) answers true at any step without touching the
    // list; closing by the frame answers false.
    void exitAndClose()
    {
        ListTable table;
        bool exited = false;
        onNextModal<TImpVznLoad>([](TImpVznLoad *w) { w->exitButton()->click(); });
        exited = ImportAddressBook(nullptr, table);
        QVERIFY(exited);
        QVERIFY(isBlankTable(table));

        onNextModal<TImpVznLoad>([](TImpVznLoad *w) { QTest::keyClick(w, Qt::Key_Escape); });
        QVERIFY(ImportAddressBook(nullptr, table));

        onNextModal<TImpVznLoad>([](TImpVznLoad *w) { w->close(); });
        QVERIFY(!ImportAddressBook(nullptr, table));
    }
};

QTEST_MAIN(TestImportWizard)
#include "tst_importwizard.moc"
