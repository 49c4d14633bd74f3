// The extraction window on the offscreen platform: the field grid, the
// conditions file it reads and writes, runs over folders the tests write,
// the rows handed back, and a window that keeps answering during a long run.
#include "ui/extract/fasform.h"
#include "ui/extract/fasmodels.h"
#include "ui/extract/filepanel.h"

#include "ui/common/filedialogs.h"
#include "ui/common/inputform.h"
#include "ui/common/messagebox.h"
#include "ui/common/shellopen.h"

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "../accessibilitycheck.h"
#include "modalhelper.h"
#include "testfiles.h"

using namespace varnholt;
using namespace varnholt::extract;
using namespace varnholt::testing;

namespace {

struct Box {
    QString text;
    QString caption;
    int flags = 0;
};

rItem field(const QString &name, const QString &begin, const QString &end = {}, const QString &unique = {})
{
    rItem i;
    i.name = name;
    i.begin = begin;
    i.end = end;
    i.unique = unique;
    return i;
}

QStringList rowsOf(const ExtractResultModel &model)
{
    QStringList rows;
    for (const ExtractRow &r : model.rows())
        rows << r.file + u'|' + r.values.join(u'|');
    rows.sort();
    return rows;
}

} // namespace

class TestFasForm : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QList<Box> m_boxes;
    int m_answer = idYes;
    QString m_data;       // a small folder of sample files
    QString m_cnd;        // the caller's conditions file
    QList<std::optional<QString>> m_chosen; // the file dialogs' answers, in turn
    QStringList m_presets;
    QStringList m_opened;   // files handed to the desktop

    // Conditions over the sample folder: one record per "mailto:", the
    // address and the text up to the next "<" as fields.
    ExtractConditions mailConditions() const
    {
        ExtractConditions c;
        c.folder = m_data;
        c.mask = QStringLiteral("*.htm");
        c.recordBegin = QStringLiteral("mailto:");
        c.items = {field(QStringLiteral("Mail"), QStringLiteral("^Find@"), {}, QStringLiteral("Yes")),
                   field(QStringLiteral("Name"), QStringLiteral(">"), QStringLiteral("<"))};
        return c;
    }

private slots:
    void initTestCase()
    {
        m_data = m_dir.filePath(QStringLiteral("data"));
        writeFileIn(m_data, QStringLiteral("a.htm"),
                    "<a href=\"mailto:ann@example.org\">Ann Smith</a>\r\n"
                    "<a href=\"mailto:bob@example.org\">Bob, Jr.</a>\r\n");
        // The same address again (another case): the unique field drops it.
        writeFileIn(m_data, QStringLiteral("b.htm"), "<a href=\"mailto:ANN@example.org\">Ann again</a>\r\n");
        writeFileIn(m_data, QStringLiteral("c.txt"), "mailto:carl@example.org>Carl<\r\n");
        setMessageBoxHook([this](const QString &text, const QString &caption, int flags) {
            m_boxes << Box{text, caption, flags};
            return m_answer;
        });
        setFileDialogHook([this](FileDialogKind, const QString &, const QString &preset) -> std::optional<QString> {
            m_presets << preset;
            return m_chosen.isEmpty() ? std::nullopt : m_chosen.takeFirst();
        });
        setShellOpenHook([this](ShellOpenKind kind, const QString &path) {
            m_opened << path;
            return kind == ShellOpenKind::DefaultApplication;
        });
    }

    void init()
    {
        m_boxes.clear();
        m_answer = idYes;
        m_chosen.clear();
        m_presets.clear();
        m_cnd = m_dir.filePath(QStringLiteral("list.cnd"));
        QFile::remove(m_cnd);
    }

    void commaTextReadBack_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("values");
        QTest::newRow("plain") << "a,b,c" << QStringList{"a", "b", "c"};
        QTest::newRow("quoted comma, blank and doubled quote")
            << "\"x, y\",\"say \"\"hi\"\"\",z" << QStringList{"x, y", "say \"hi\"", "z"};
        QTest::newRow("empty value in the middle and first") << ",a,,b" << QStringList{"", "a", "", "b"};
        QTest::newRow("unquoted blank separates") << "  a b ,  c" << QStringList{"a", "b", "c"};
        QTest::newRow("final comma gives no value") << "a," << QStringList{"a"};
        QTest::newRow("unclosed quote runs to the end") << "a,\"b,c" << QStringList{"a", "b,c"};
        QTest::newRow("nothing") << "" << QStringList{};
    }

    void commaTextReadBack()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, values);
        QCOMPARE(SplitCommaText(text), values);
    }

    // What the writer makes, the reader gives back.
    void commaTextRoundTrip()
    {
        const QStringList values{"ann@example.org", "Bob, Jr.", "", "tab\there", "\"q\"", "x"};
        QCOMPARE(SplitCommaText(CommaText(values)), values);
    }

    // "Apply && Exit" before any run: accepted, nothing found; the window's
    // conditions are written as it closes.
    void applyBeforeAnyRun()
    {
        QStringList results{"old"};
        int count = 7;
        onNextModal<TfFas>([](TfFas *form) {
            QVERIFY(form->isMaximized());
            QCOMPARE(form->windowTitle(), QStringLiteral("Orvanel"));
            QCOMPARE(form->button(QStringLiteral("sbApply"))->text(), QStringLiteral("&Apply && Exit"));
            form->button(QStringLiteral("sbApply"))->click();
        });
        QVERIFY(RunDataExtraction(m_cnd, results, count, false));
        QVERIFY(results.isEmpty());
        QCOMPARE(count, 0);
        QVERIFY(QFileInfo::exists(m_cnd));
        // "Close" hands nothing back.
        onNextModal<TfFas>([](TfFas *form) { form->button(QStringLiteral("sbClose"))->click(); });
        QVERIFY(!RunDataExtraction(m_cnd, results, count, false));
    }

    void fieldGridEditing()
    {
        TfFas form(m_cnd, TfFas::Mode::Interactive);
        FieldGridModel &grid = *form.fieldModel();
        QCOMPARE(grid.headerData(3, Qt::Horizontal).toString(), QStringLiteral("Identifier number"));
        QCOMPARE(grid.rowCount(), 1);
        // The only row is blank: it is used.
        form.addField();
        QCOMPARE(grid.rowCount(), 1);
        QCOMPARE(grid.cell(0, 0), QStringLiteral("Column 1"));
        form.addField();
        QCOMPARE(grid.rowCount(), 2);
        QCOMPARE(grid.cell(1, 0), QStringLiteral("Column 2"));
        QCOMPARE(form.fieldGrid()->currentIndex().row(), 1);

        // "Insert" puts an empty row at the current one; "Delete" removes it.
        form.menuInsert();
        QCOMPARE(grid.rowCount(), 3);
        QCOMPARE(grid.cell(1, 0), QString());
        QCOMPARE(grid.cell(2, 0), QStringLiteral("Column 2"));
        form.menuDelete();
        QCOMPARE(grid.cell(1, 0), QStringLiteral("Column 2"));
        form.menuAdd();
        QCOMPARE(grid.rowCount(), 3);
        QCOMPARE(form.fieldGrid()->currentIndex().row(), 2);
        // Deleting the last row keeps the current row inside the grid.
        form.deleteField();
        QCOMPARE(grid.rowCount(), 2);
        QCOMPARE(form.fieldGrid()->currentIndex().row(), 1);

        // "Unique": space and Enter toggle it, a letter does nothing there;
        // elsewhere a letter starts editing.
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTableView *view = form.fieldGrid();
        view->setFocus();
        view->setCurrentIndex(grid.index(0, FieldGridModel::Unique));
        QTest::keyClick(view, Qt::Key_Space);
        QCOMPARE(grid.cell(0, FieldGridModel::Unique), QStringLiteral("Yes"));
        QTest::keyClick(view, Qt::Key_X);
        QCOMPARE(grid.cell(0, FieldGridModel::Unique), QStringLiteral("Yes"));
        QVERIFY(!qobject_cast<QLineEdit *>(QApplication::focusWidget())); // no editor opened
        QTest::keyClick(view, Qt::Key_Return);
        QCOMPARE(grid.cell(0, FieldGridModel::Unique), QString());
        emit view->doubleClicked(grid.index(1, FieldGridModel::Unique));
        QCOMPARE(grid.cell(1, FieldGridModel::Unique), QStringLiteral("Yes"));
        view->setCurrentIndex(grid.index(0, FieldGridModel::FieldEnd));
        QTest::keyClick(view, Qt::Key_X);
        QVERIFY(qobject_cast<QLineEdit *>(QApplication::focusWidget()));

        // With one row, "Delete row (field)" empties it; "Clear all" leaves
        // one empty row.
        form.menuClearAll();
        QCOMPARE(grid.rowCount(), 1);
        QVERIFY(grid.rowBlank(0));
        grid.setCell(0, 0, QStringLiteral("x"));
        form.deleteField();
        QCOMPARE(grid.rowCount(), 1);
        QVERIFY(grid.rowBlank(0));
        form.done(QDialog::Rejected);
    }

    void findButtons_data()
    {
        QTest::addColumn<QString>("buttonName");
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("after");
        QTest::addColumn<bool>("asked");
        QTest::newRow("URL into an empty cell") << "sbFindUrl" << "" << int(idNo) << "^FindUrl" << false;
        QTest::newRow("URL over a marker, No") << "sbFindUrl" << "name=" << int(idNo) << "name=" << true;
        QTest::newRow("e-mail over a marker, Yes") << "sbFindEmail" << "name=" << int(idYes) << "^Find@" << true;
        QTest::newRow("domain into an empty cell") << "sbFindDomain" << "" << int(idNo) << "^FindDomain" << false;
    }

    void findButtons()
    {
        QFETCH(QString, buttonName);
        QFETCH(QString, before);
        QFETCH(int, answer);
        QFETCH(QString, after);
        QFETCH(bool, asked);
        TfFas form(m_cnd, TfFas::Mode::Interactive);
        FieldGridModel &grid = *form.fieldModel();
        grid.setCell(0, FieldGridModel::FieldBegin, before);
        QPushButton *find = form.button(buttonName);
        form.fieldGrid()->setCurrentIndex(grid.index(0, FieldGridModel::FieldName));
        QVERIFY(!find->isEnabled());
        form.fieldGrid()->setCurrentIndex(grid.index(0, FieldGridModel::FieldBegin));
        QVERIFY(find->isEnabled());
        m_answer = answer;
        find->click();
        QCOMPARE(grid.cell(0, FieldGridModel::FieldBegin), after);
        QCOMPARE(m_boxes.size(), asked ? 1 : 0);
        if (asked) {
            QCOMPARE(m_boxes[0].text, QStringLiteral("The Field \"Find\" is not empty.\n\rReplace"));
            QCOMPARE(m_boxes[0].caption, QStringLiteral("Attention"));
            QCOMPARE(m_boxes[0].flags, 8228);
        }
        form.done(QDialog::Rejected);
    }

    // The conditions file in and out, the options it switches, and "Load
    // project": the loaded conditions reach the caller's file on closing.
    void conditionsInAndOut()
    {
        ExtractConditions table = defaultConditions();
        table.folder = m_data;
        table.mask = QStringLiteral("*.csv");
        table.tableMode = true;
        table.htmlTable = false;
        table.delimitedData = true;
        table.dataDelimiter = QStringLiteral(",");
        table.delimiterRuns = true;
        table.lengthLimitOn = true;
        table.lengthLimit = QStringLiteral("500");
        const QString other = m_dir.filePath(QStringLiteral("other.cnd"));
        QVERIFY(writeConditions(other, table));
        QVERIFY(writeConditions(m_cnd, mailConditions()));

        TfFas form(m_cnd, TfFas::Mode::Interactive);
        QCOMPARE(form.conditions(), mailConditions());
        QVERIFY(!form.edit(QStringLiteral("eMaxLength"))->isVisibleTo(&form));
        QVERIFY(form.fieldGrid()->isVisibleTo(&form));
        // A run's rows, so that loading can be seen to empty the list.
        form.extractData();
        QTRY_VERIFY(!form.run().isRunning());
        QVERIFY(form.resultModel()->rowCount() > 0);

        m_chosen = {other};
        form.loadProject();
        QCOMPARE(m_presets, QStringList{m_cnd});
        QCOMPARE(form.conditions(), table);
        QCOMPARE(form.conditionsFile(), m_cnd);
        QCOMPARE(form.resultModel()->rowCount(), 0);
        QCOMPARE(form.resultModel()->columnCount(), 1);
        QVERIFY(form.edit(QStringLiteral("eMaxLength"))->isVisibleTo(&form));
        QVERIFY(!form.fieldGrid()->isVisibleTo(&form));
        QVERIFY(form.edit(QStringLiteral("eDataDelimiter"))->isVisibleTo(&form));
        form.button(QStringLiteral("sbClose"))->click();
        QCOMPARE(readConditions(m_cnd), table);

        // "Save project as..." adds ".cnd" to a bare name and keeps it.
        TfFas second(m_cnd, TfFas::Mode::Interactive);
        const QString bare = m_dir.filePath(QStringLiteral("saved"));
        m_chosen = {bare};
        second.saveProjectAs();
        QCOMPARE(second.conditionsFile(), bare + QStringLiteral(".cnd"));
        QCOMPARE(readConditions(bare + QStringLiteral(".cnd")), table);
        second.done(QDialog::Rejected);
    }

    // A run over the sample folder: rows as the mask and markers say, the
    // end announced, "Save results" and "Apply && Exit" hand them on.
    void runSaveAndApply()
    {
        QVERIFY(writeConditions(m_cnd, mailConditions()));
        TfFas form(m_cnd, TfFas::Mode::Interactive);
        QPushButton *extractButton = form.button(QStringLiteral("sbExtract"));
        QPushButton *stopButton = form.button(QStringLiteral("sbStop"));
        QVERIFY(!stopButton->isEnabled());
        extractButton->click();
        QVERIFY(!extractButton->isEnabled());
        QVERIFY(stopButton->isEnabled());
        QTRY_VERIFY(extractButton->isEnabled());
        QVERIFY(!stopButton->isEnabled());
        QCOMPARE(rowsOf(*form.resultModel()),
                 (QStringList{"a.htm|ann@example.org|Ann Smith", "a.htm|bob@example.org|Bob, Jr."}));
        QCOMPARE(form.resultModel()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Files"));
        QCOMPARE(form.resultModel()->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Name"));
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes[0].text, QStringLiteral("Completed"));
        QCOMPARE(m_boxes[0].caption, QStringLiteral("Extract"));
        QCOMPARE(m_boxes[0].flags, 8256);
        QVERIFY2(form.statusText().contains(QStringLiteral("Files: 2")), qPrintable(form.statusText()));

        // Without an extension ".txt" is added; an empty delimiter box
        // separates by ";".
        const QString out = m_dir.filePath(QStringLiteral("found"));
        m_chosen = {out};
        form.edit(QStringLiteral("eDelimiter"))->clear();
        form.saveResults();
        QCOMPARE(m_presets.last(), m_dir.filePath(QStringLiteral("list.txt")));
        QCOMPARE(form.resultsFile(), out + QStringLiteral(".txt"));
        QCOMPARE(readFile(out + QStringLiteral(".txt")),
                 QByteArray("a.htm;ann@example.org;Ann Smith\r\na.htm;bob@example.org;Bob, Jr.\r\n"));
        form.edit(QStringLiteral("eDelimiter"))->setText(QStringLiteral("\t"));
        m_chosen = {out + QStringLiteral(".csv")};
        form.saveResults();
        QCOMPARE(readFile(out + QStringLiteral(".csv")).left(32), QByteArray("a.htm\tann@example.org\tAnn Smith\r"));

        form.applyAndExit();
        QCOMPARE(form.result(), int(QDialog::Accepted));
        QCOMPARE(form.results(), (QStringList{"ann@example.org,\"Ann Smith\"", "bob@example.org,\"Bob, Jr.\""}));
        QCOMPARE(form.maxValues(), 2);
    }

    // Field mode without a named field: nothing runs.
    void noFieldDefinition()
    {
        TfFas form(m_cnd, TfFas::Mode::Interactive);
        form.extractData();
        QVERIFY(!form.run().isRunning());
        QVERIFY(form.button(QStringLiteral("sbExtract"))->isEnabled());
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes[0].text, QStringLiteral("Adjust Orvanel project"));
        QCOMPARE(m_boxes[0].caption, QStringLiteral("Completed"));
        QCOMPARE(m_boxes[0].flags, 8256);
        form.done(QDialog::Rejected);
    }

    // Unattended: one run in a small box, the rows returned, no completion
    // message, the conditions file left as it was.
    void unattended()
    {
        // LF line ends: a rewrite would make them CR LF.
        QByteArray bytes = conditionsFileBytes(mailConditions());
        bytes.replace("\r\n", "\n");
        writeFile(m_cnd, bytes);
        QStringList results;
        int count = 0;
        QVERIFY(RunDataExtraction(m_cnd, results, count, true));
        results.sort();
        QCOMPARE(results, (QStringList{"ann@example.org,\"Ann Smith\"", "bob@example.org,\"Bob, Jr.\""}));
        QCOMPARE(count, 2);
        QVERIFY(m_boxes.isEmpty());
        QCOMPARE(readFile(m_cnd), bytes);

        // Without a field definition: the message, nothing returned.
        ExtractConditions none = mailConditions();
        none.items = {rItem{}};
        bytes = conditionsFileBytes(none);
        bytes.replace("\r\n", "\n");
        writeFile(m_cnd, bytes);
        results = QStringList{"old"};
        QVERIFY(!RunDataExtraction(m_cnd, results, count, true));
        QVERIFY(results.isEmpty());
        QCOMPARE(count, 0);
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes[0].text, QStringLiteral("Adjust Orvanel project"));
        QCOMPARE(m_boxes[0].caption, QStringLiteral("Completed"));
        QCOMPARE(readFile(m_cnd), bytes);
    }

    // The unattended box: frameless, on top, "Please wait" and its own Stop,
    // which ends the run with the rows found so far.
    void unattendedBoxStops()
    {
        QTemporaryDir tree;
        for (int i = 0; i < 2000; ++i)
            writeFileIn(tree.path(), QStringLiteral("f%1.htm").arg(i, 4, 10, QChar(u'0')),
                        "<a href=\"mailto:p" + QByteArray::number(i) + "@example.org\">P</a>\r\n");
        ExtractConditions c = mailConditions();
        c.folder = tree.path();
        QVERIFY(writeConditions(m_cnd, c));
        onNextModal<TfFas>([](TfFas *form) {
            QVERIFY(form->windowFlags().testFlag(Qt::FramelessWindowHint));
            QVERIFY(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
            QVERIFY(!form->resultView()->isVisible());
            auto *stop = form->findChild<QPushButton *>(QStringLiteral("sbWaitStop"));
            QVERIFY(stop && stop->isVisible());
            // A small box that holds its button whole.
            QVERIFY(form->width() < 500);
            QVERIFY(form->rect().contains(QRect(stop->mapTo(form, QPoint(0, 0)), stop->size())));
            stop->click();
        });
        QStringList results;
        int count = 0;
        QVERIFY(RunDataExtraction(m_cnd, results, count, true));
        QVERIFY(results.size() < 2000);
        QVERIFY(m_boxes.isEmpty());
    }

    // The file manager: entries, and the commands that change them.
    void localComputerPanel()
    {
        QTemporaryDir root;
        writeFileIn(root.path(), QStringLiteral("b.txt"), "12345");
        writeFileIn(root.path(), QStringLiteral("A.txt"), "1");
        writeFileIn(root.path(), QStringLiteral("c.txt"), "");
        QVERIFY(QDir(root.path()).mkpath(QStringLiteral("zeta/inner")));
        QVERIFY(QDir(root.path()).mkdir(QStringLiteral("Beta")));
        TfFas form(m_cnd, TfFas::Mode::Interactive);
        TFilePanel &panel = *form.filePanel();
        QCOMPARE(panel.maskEdit()->text(), QStringLiteral("*.*"));
        QVERIFY(panel.setFolder(root.path()));
        FileListModel &files = *panel.files();
        QStringList names;
        for (const auto &e : files.entries())
            names << e.name;
        QCOMPARE(names, (QStringList{"Beta", "zeta", "A.txt", "b.txt", "c.txt"}));
        QCOMPARE(files.headerData(2, Qt::Horizontal).toString(), QStringLiteral("Date"));
        QCOMPARE(files.data(files.index(3, 1)).toString(), QStringLiteral("5"));
        QCOMPARE(files.data(files.index(0, 1)).toString(), QString());
        const QDateTime written = QFileInfo(root.filePath(QStringLiteral("b.txt"))).lastModified();
        QCOMPARE(files.data(files.index(3, 2)).toString(), written.toString(QStringLiteral("dd/MM/yyyy")));
        QCOMPARE(form.conditions().folder, root.path());

        // "View" and "Run" hand the selected file to the desktop.
        panel.selectNames({QStringLiteral("b.txt")});
        panel.viewFile();
        QCOMPARE(m_opened, QStringList{root.filePath(QStringLiteral("b.txt"))});

        // Rename: only the name part of the input counts.
        panel.selectNames({QStringLiteral("c.txt")});
        onNextModal<TInputForm>([](TInputForm *box) {
            QCOMPARE(box->windowTitle(), QStringLiteral("Rename"));
            QCOMPARE(box->edit()->text(), QStringLiteral("c.txt"));
            box->edit()->setText(QStringLiteral("/elsewhere/d.txt"));
            box->accept();
        });
        panel.renameEntry();
        QVERIFY(QFileInfo::exists(root.filePath(QStringLiteral("d.txt"))));

        // Delete asks with every file's name; folders stay.
        panel.selectNames({QStringLiteral("Beta"), QStringLiteral("A.txt"), QStringLiteral("b.txt")});
        m_answer = idYes;
        panel.deleteFiles();
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes[0].text, QStringLiteral("Are you sure you want to delete :A.txt,b.txt ?"));
        QCOMPARE(m_boxes[0].flags, 36);
        QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("A.txt"))));
        QVERIFY(QFileInfo::exists(root.filePath(QStringLiteral("Beta"))));

        // MakeDir opens the new folder.
        onNextModal<TInputForm>([](TInputForm *box) {
            QCOMPARE(box->windowTitle(), QStringLiteral("Create Directory"));
            box->edit()->setText(QStringLiteral("made"));
            box->accept();
        });
        panel.makeDir();
        QCOMPARE(panel.folder(), root.filePath(QStringLiteral("made")));

        // Remove Dir: the current folder, then its parent is shown; a
        // folder that is not empty stays, with a message.
        m_boxes.clear();
        panel.removeDir();
        QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("made"))));
        QCOMPARE(panel.folder(), root.path());
        panel.selectNames({QStringLiteral("zeta")});
        panel.removeDir();
        QVERIFY(QFileInfo::exists(root.filePath(QStringLiteral("zeta"))));
        QCOMPARE(m_boxes.size(), 3);
        QCOMPARE(m_boxes[1].text, root.filePath(QStringLiteral("zeta")));
        QCOMPARE(m_boxes[2].text, QStringLiteral("Cannot remove directory"));
        QCOMPARE(m_boxes[2].caption, QStringLiteral("Attention"));
        form.done(QDialog::Rejected);
    }

    // 10,000 small files and a file of 1 GB: the window keeps answering
    // while the run goes through them, and "Stop" ends the run at once.
    void largeTreeStaysResponsive()
    {
        QTemporaryDir tree;
        QVERIFY(tree.isValid());
        for (int i = 0; i < 10000; ++i) {
            QFile f(tree.filePath(QStringLiteral("m%1.htm").arg(i, 5, 10, QChar(u'0'))));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("<a href=\"mailto:p" + QByteArray::number(i) + "@example.org\">P</a>\r\n");
        }
        QVERIFY(QDir(tree.path()).mkdir(QStringLiteral("z")));
        {
            // Zeros with text every 8 MB.
            QFile big(tree.filePath(QStringLiteral("z/big.htm")));
            QVERIFY(big.open(QIODevice::WriteOnly));
            QVERIFY(big.resize(qint64(1) << 30));
            for (qint64 at = 0; at < (qint64(1) << 30); at += qint64(8) << 20) {
                QVERIFY(big.seek(at));
                big.write("<a href=\"mailto:big" + QByteArray::number(at) + "@example.org\">Big</a>\r\n");
            }
        }
        ExtractConditions c = mailConditions();
        c.folder = tree.path();
        QVERIFY(writeConditions(m_cnd, c));
        TfFas form(m_cnd, TfFas::Mode::Interactive);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));

        QElapsedTimer clock;
        qint64 last = 0;
        qint64 widestGap = 0;
        QString gapAt;
        QTimer ticker;
        ticker.setInterval(50);
        connect(&ticker, &QTimer::timeout, this, [&] {
            const qint64 gap = clock.elapsed() - last;
            if (gap > widestGap) {
                widestGap = gap;
                gapAt = QStringLiteral("%1 ms without a tick, after %2 files and %3 bytes")
                            .arg(gap)
                            .arg(form.run().counts().files)
                            .arg(form.run().counts().bytes);
            }
            last = clock.elapsed();
        });
        clock.start();
        ticker.start();
        form.button(QStringLiteral("sbExtract"))->click();
        // Well into the big file.
        QTRY_VERIFY_WITH_TIMEOUT(form.run().counts().bytes > (qint64(200) << 20), 120000);
        QVERIFY(form.run().isRunning());
        QVERIFY(form.resultModel()->rowCount() >= 10000);
        QVERIFY2(widestGap < 1000, qPrintable(gapAt));

        QElapsedTimer stopClock;
        stopClock.start();
        form.button(QStringLiteral("sbStop"))->click();
        QTRY_VERIFY_WITH_TIMEOUT(form.button(QStringLiteral("sbExtract"))->isEnabled(), 1000);
        QVERIFY(!form.run().isRunning());
        QVERIFY(stopClock.elapsed() < 1000);
        QVERIFY(m_boxes.isEmpty()); // a stopped run is not announced
        form.done(QDialog::Rejected);
    }

    void keyboardAndScreenReader()
    {
        TfFas form(m_cnd, TfFas::Mode::Interactive);
        VARNHOLT_VERIFY_ACCESSIBLE(&form);
        VARNHOLT_VERIFY_MNEMONICS(&form);
        form.findChild<QCheckBox *>(QStringLiteral("cbTable"))->setChecked(true);
        VARNHOLT_VERIFY_MNEMONICS(&form);
        form.done(QDialog::Rejected);
    }
};

QTEST_MAIN(TestFasForm)
#include "tst_fasform.moc"
