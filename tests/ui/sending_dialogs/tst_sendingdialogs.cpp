#include "accessibilitycheck.h"
#include "modalhelper.h"
#include "resultsfixture.h"
#include "testfiles.h"

#include "project/listtable.h"
#include "sending/resulttable.h"
#include "settings/programfolder.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"
#include "ui/common/shellopen.h"
#include "ui/sending/deleteform.h"
#include "ui/sending/logs.h"
#include "ui/sending/saveform.h"

#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

using namespace varnholt;
using namespace varnholt::testing;

namespace {

struct ShellCall {
    ShellOpenKind kind;
    QString path;
};

} // namespace

class TestSendingDialogs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        ProgramFolder::initialise(m_home.path());
    }
    void cleanup()
    {
        setShellOpenHook({});
        setMessageBoxHook({});
    }

    void logViewerShowsRecords()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("send_05-03-10_14-03-07.log");
        writeFile(path, "14:03:07;a@x.org;Ok\r\n"
                        "14:03:08;b@x.org;No;Error: 550 no; such user\r\n"
                        "bad time;c@x.org;maybe\r\n");
        T_logs viewer(path, "Ok", "No");
        QCOMPARE(viewer.windowTitle(), "Log data (" + path + ")");
        const QAbstractItemModel *model = viewer.grid()->model();
        QCOMPARE(model->rowCount(), 3);
        QCOMPARE(model->columnCount(), 4);
        QStringList titles;
        for (int c = 0; c < 4; ++c)
            titles << model->headerData(c, Qt::Horizontal).toString();
        QCOMPARE(titles, QStringList({"Time", "Address", "Status", "Comment"}));
        auto row = [model](int r) {
            QStringList cells;
            for (int c = 0; c < 4; ++c)
                cells << model->index(r, c).data().toString();
            return cells;
        };
        QCOMPARE(row(0), QStringList({"14:03:07", "a@x.org", "Ok", ""}));
        // The server's text is cut at its own ";".
        QCOMPARE(row(1), QStringList({"14:03:08", "b@x.org", "No", "Error: 550 no"}));
        QCOMPARE(row(2), QStringList({"00:00:00", "c@x.org", "", ""}));
    }

    void logViewerOfMissingFileHasOneEmptyRow()
    {
        T_logs viewer("/nonexistent/send.log", "Ok", "No");
        QCOMPARE(viewer.grid()->model()->rowCount(), 1);
        QCOMPARE(viewer.grid()->model()->index(0, 1).data().toString(), QString());
    }

    // The grid's own drawing: a selected record row is filled with
    // RGB(206, 211, 225), the fixed row with the button colour.
    void logViewerDrawsSelectionAndHeader()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("send.log");
        writeFile(path, "10:00:00;a@x.org;Ok\r\n10:00:01;b@x.org;No;x\r\n");
        T_logs viewer(path, "Ok", "No");
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
        QTableView *grid = viewer.grid();
        grid->selectRow(1);
        grid->setCurrentIndex(grid->model()->index(0, 0));
        grid->clearSelection();
        grid->selectRow(1);
        const QImage cells = grid->viewport()->grab().toImage();
        const QRect selected = grid->visualRect(grid->model()->index(1, 3));
        QCOMPARE(cells.pixelColor(selected.right() - 3, selected.center().y()), QColor(206, 211, 225));
        const QImage header = grid->horizontalHeader()->grab().toImage();
        const int x = grid->horizontalHeader()->sectionPosition(3) + 3;
        QCOMPARE(header.pixelColor(x, header.height() / 2), viewer.palette().button().color());
        QCOMPARE(header.pixelColor(x, header.height() - 1), QColor(128, 128, 128));
    }

    void exportWritesWorkbookReadByOpenpyxl()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("send_01-02-24_10-00-00.log");
        writeFile(path, "10:00:00;0012@x.org;Ok\r\n10:00:01;b@x.org;No;550 unknown\r\n");
        QList<ShellCall> calls;
        setShellOpenHook([&calls](ShellOpenKind kind, const QString &file) {
            calls.append({kind, file});
            return true;
        });
        // The user is asked where, with the log's name offered; a cancel
        // writes nothing and opens nothing.
        QString offered;
        std::optional<QString> answer;
        setFileDialogHook([&](FileDialogKind kind, const QString &, const QString &preset) {
            offered = kind == FileDialogKind::Save ? preset : QString();
            return answer;
        });
        T_logs viewer(path, "Ok", "No");
        QVERIFY(!viewer.exportToExcel());
        QVERIFY(offered.endsWith("/send_01-02-24_10-00-00.xlsx"));
        QVERIFY(calls.isEmpty());
        answer = dir.filePath("chosen"); // the suffix is added
        QVERIFY(viewer.exportToExcel());
        setFileDialogHook({});
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].kind, ShellOpenKind::DefaultApplication);
        QCOMPARE(calls[0].path, dir.filePath("chosen.xlsx"));

        const char *script = R"(
import sys, openpyxl
ws = openpyxl.load_workbook(sys.argv[1]).worksheets[0]
for row in ws.iter_rows():
    print("|".join("" if c.value is None else str(c.value) + "@" + c.number_format for c in row))
)";
        QProcess python;
        python.start("/usr/bin/python3", {"-c", script, calls[0].path});
        QVERIFY(python.waitForFinished(30000));
        QCOMPARE(python.exitCode(), 0);
        const QStringList lines = QString::fromUtf8(python.readAllStandardOutput()).trimmed().split('\n');
        QCOMPARE(lines, QStringList({"Time@General|Address@General|Status@General|Comment@General",
                                     "10:00:00@@|0012@x.org@@|Ok@@|",
                                     "10:00:01@@|b@x.org@@|No@@|550 unknown@@"}));
    }

    void exportFailuresAreShown()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("blocked.log");
        writeFile(path, "10:00:00;a@x.org;Ok\r\n");
        QStringList shown;
        setMessageBoxHook([&shown](const QString &text, const QString &caption, int) {
            shown << caption + ": " + text;
            return int(idOk);
        });
        const QString workbook = dir.filePath("blocked.xlsx");
        setFileDialogHook([&](FileDialogKind, const QString &, const QString &) { return workbook; });
        // No application opens the workbook: the user learns where it is.
        setShellOpenHook([](ShellOpenKind, const QString &) { return false; });
        T_logs viewer(path, "Ok", "No");
        QVERIFY(!viewer.exportToExcel());
        QVERIFY(QFileInfo(workbook).isFile());
        // The workbook cannot be written: a folder stands where it belongs.
        QVERIFY(QFile::remove(workbook));
        QVERIFY(QDir().mkpath(workbook));
        QVERIFY(!viewer.exportToExcel());
        setFileDialogHook({});
        QCOMPARE(shown, QStringList({"Attention: Excel Not Found!\nThe workbook is saved as \"" + workbook + "\".",
                                     "Attention: MS Excel initialization error\n" + workbook}));
    }

    void saveResultsWritesChosenRows_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("format");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("all, address only")
            << int(SaveRows::All) << int(SaveFormat::EmailOnly)
            << QByteArray("a@x.org\r\nb@x.org\r\ncarl\r\nd@x.org\r\ne@x.org\r\n");
        QTest::newRow("sent, address and status")
            << int(SaveRows::Sent) << int(SaveFormat::EmailAndStatus)
            << QByteArray("a@x.org;Ok;Sent through ISP smtp mail server;;\r\n");
        QTest::newRow("SMTP errors only, list fields")
            << int(SaveRows::OtherSmtpError) << int(SaveFormat::ListFields)
            << QByteArray("b@x.org;Bob\r\ne@x.org;Emil\r\n");
        QTest::newRow("SMTP errors only, list and status fields")
            << int(SaveRows::OtherSmtpError) << int(SaveFormat::ListFieldsAndStatus)
            << QByteArray("b@x.org;Bob;No;;550;Error: 550 no such user\r\ne@x.org;Emil;No;;551;Error: 551 not local\r\n");
    }
    void saveResultsWritesChosenRows()
    {
        QFETCH(int, rows);
        QFETCH(int, format);
        QFETCH(QByteArray, expected);
        QTemporaryDir dir;
        const ResultsFixture fixture;
        saveDialogSettings() = {};
        onNextModal<T_SaveForm>([&](T_SaveForm *form) {
            form->setFolder(dir.path());
            form->fileNameEdit()->setText(dir.filePath("result"));
            form->rowsButton(SaveRows(rows))->click();
            form->formatButton(SaveFormat(format))->click();
            form->saveButton()->click();
        });
        QVERIFY(SaveResults(fixture.results, fixture.list, u';'));
        QCOMPARE(saveDialogSettings().fileName, dir.filePath("result.txt"));
        QCOMPARE(readFile(dir.filePath("result.txt")), expected);

        // The next opening starts from the stored choices and name.
        T_SaveForm again(saveDialogSettings());
        QVERIFY(again.rowsButton(SaveRows(rows))->isChecked());
        QVERIFY(again.formatButton(SaveFormat(format))->isChecked());
        QCOMPARE(again.fileNameEdit()->text(), dir.filePath("result.txt"));
        QCOMPARE(again.folder(), QDir(dir.path()).canonicalPath());
    }

    void cancelStoresOptionsButWritesNothing()
    {
        QTemporaryDir dir;
        const ResultsFixture fixture;
        saveDialogSettings() = {};
        saveDialogSettings().fileName = dir.filePath("old.txt");
        onNextModal<T_SaveForm>([&](T_SaveForm *form) {
            form->fileNameEdit()->setText(dir.filePath("new.txt"));
            form->rowsButton(SaveRows::Sent)->click();
            form->reject();
        });
        QVERIFY(!SaveResults(fixture.results, fixture.list, u';'));
        QCOMPARE(saveDialogSettings().rows, SaveRows::Sent);
        QCOMPARE(saveDialogSettings().fileName, dir.filePath("old.txt"));
        QVERIFY(!QFile::exists(dir.filePath("new.txt")));
        QVERIFY(!QFile::exists(dir.filePath("old.txt")));
    }

    void saveNeedsAFileName()
    {
        T_SaveForm form(SaveDialogSettings{});
        QVERIFY(!form.saveButton()->isEnabled());
        form.fileNameEdit()->setText("x");
        QVERIFY(form.saveButton()->isEnabled());
    }

    void fileBrowserButtons()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("big.txt"), QByteArray(100, 'x'));
        writeFile(dir.filePath("a.txt"), "a");
        QVERIFY(QDir(dir.path()).mkdir("zfolder"));
        SaveDialogSettings settings;
        settings.fileName = dir.filePath("out.txt");
        T_SaveForm form(settings);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTreeWidget *list = form.fileList();
        auto names = [list] {
            QStringList n;
            for (int i = 0; i < list->topLevelItemCount(); ++i)
                n << list->topLevelItem(i)->text(T_SaveForm::colName);
            return n;
        };
        QCOMPARE(names(), QStringList({"zfolder", "a.txt", "big.txt"}));
        form.sortByColumn(T_SaveForm::colSize); // largest first, folders still first
        QCOMPARE(names(), QStringList({"zfolder", "big.txt", "a.txt"}));
        form.sortByColumn(T_SaveForm::colSize);
        QCOMPARE(names(), QStringList({"zfolder", "a.txt", "big.txt"}));
        QCOMPARE(list->topLevelItem(2)->text(T_SaveForm::colSize), "100");

        // A folder selected: the file buttons stay off.
        list->setCurrentItem(list->topLevelItem(0));
        QVERIFY(!form.viewButton()->isEnabled());
        QVERIFY(form.createFolderButton()->isEnabled());
        // Opening the folder moves the file name into it.
        form.setFolder(dir.filePath("zfolder"));
        QCOMPARE(form.fileNameEdit()->text(), dir.filePath("zfolder/out.txt"));
        form.setFolder(dir.path());

        QList<ShellCall> calls;
        setShellOpenHook([&calls](ShellOpenKind kind, const QString &file) {
            calls.append({kind, file});
            return true;
        });
        const QRect bigRow = list->visualItemRect(list->findItems("big.txt", Qt::MatchExactly).value(0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, bigRow.center());
        QCOMPARE(form.fileNameEdit()->text(), QDir(dir.path()).canonicalPath() + "/big.txt");
        QVERIFY(form.viewButton()->isEnabled());
        form.viewButton()->click();
        form.runButton()->click();
        QCOMPARE(calls.size(), 2);
        QCOMPARE(calls[0].kind, ShellOpenKind::TextEditor);
        QCOMPARE(calls[1].kind, ShellOpenKind::DefaultApplication);
        QCOMPARE(QFileInfo(calls[0].path).fileName(), "big.txt");

        // Deleting a file and a folder asks first.
        QVERIFY(QDir(dir.path()).mkpath("zfolder/inner"));
        list->selectAll();
        list->topLevelItem(1)->setSelected(false); // keep a.txt
        list->setCurrentItem(list->topLevelItem(2), 0, QItemSelectionModel::Select);
        QString question;
        setMessageBoxHook([&question](const QString &text, const QString &caption, int) {
            question = caption + ": " + text;
            return int(idYes);
        });
        form.deleteButton()->click();
        QCOMPARE(question, "Attention: Do you wish to remove file(s) : 1 and 1 folder(es)");
        QCOMPARE(names(), QStringList({"a.txt"}));
        QVERIFY(!QFileInfo::exists(dir.filePath("zfolder")));
    }

    void deleteDialogOpensWithStoredChoice()
    {
        DeleteDialogSettings settings{DeleteChoice::Codes, ";550;551"};
        T_DeleteForm form(settings);
        QVERIFY(form.choiceButton(DeleteChoice::Codes)->isChecked());
        QListWidget *codes = form.codeList();
        QCOMPARE(codes->count(), 21);
        QVERIFY(codes->isEnabled());
        QStringList ticked;
        for (int i = 0; i < codes->count(); ++i) {
            if (codes->item(i)->checkState() == Qt::Checked)
                ticked << codes->item(i)->text().left(3);
        }
        QCOMPARE(ticked, QStringList({"550", "551"}));
        form.choiceButton(DeleteChoice::Sent)->click();
        QVERIFY(!codes->isEnabled());
    }

    void deleteDialogStoresChoiceAndCodes()
    {
        DeleteDialogSettings settings{DeleteChoice::Sent, ";550;551"};
        onNextModal<T_DeleteForm>([](T_DeleteForm *form) {
            form->choiceButton(DeleteChoice::Codes)->click();
            QListWidget *codes = form->codeList();
            for (int i = 0; i < codes->count(); ++i) {
                const QString code = codes->item(i)->text().left(3);
                if (code == "551")
                    codes->item(i)->setCheckState(Qt::Unchecked);
                if (code == "421")
                    codes->item(i)->setCheckState(Qt::Checked);
            }
            form->accept();
        });
        QVERIFY(ShowDeleteForm(settings));
        QCOMPARE(settings.choice, DeleteChoice::Codes);
        QCOMPARE(settings.codeSet, ";421;550");

        // Cancel stores the choice too, and another choice keeps the codes.
        onNextModal<T_DeleteForm>([](T_DeleteForm *form) {
            form->choiceButton(DeleteChoice::Unsent)->click();
            form->reject();
        });
        QVERIFY(!ShowDeleteForm(settings));
        QCOMPARE(settings.choice, DeleteChoice::Unsent);
        QCOMPARE(settings.codeSet, ";421;550");
    }

    // Each dialog names its controls for a screen reader, and Tab walks
    // them all.
    void keyboardAndScreenReader()
    {
        QTemporaryDir dir;
        const QString log = dir.filePath("send.log");
        writeFile(log, "10:00:00;a@x.org;Ok\r\n10:00:01;b@x.org;No;x\r\n");
        T_logs logs(log, "Ok", "No");
        VARNHOLT_VERIFY_ACCESSIBLE(&logs);
        VARNHOLT_VERIFY_MNEMONICS(&logs);
        T_SaveForm save(saveDialogSettings());
        VARNHOLT_VERIFY_ACCESSIBLE(&save);
        VARNHOLT_VERIFY_MNEMONICS(&save);
        T_DeleteForm remove(deleteDialogSettings(), nullptr, [](const DeleteDialogSettings &) { return 1; });
        VARNHOLT_VERIFY_ACCESSIBLE(&remove);
        VARNHOLT_VERIFY_MNEMONICS(&remove);
    }

private:
    QTemporaryDir m_home;
};

QTEST_MAIN(TestSendingDialogs)
#include "tst_sendingdialogs.moc"
