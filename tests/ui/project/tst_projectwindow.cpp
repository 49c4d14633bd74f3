// The project window on the offscreen platform: list loading with the
// progress window, delimiter, record count, merge fields, attachments.
#include "ui/project/attachmentform.h"
#include "ui/project/delimiters.h"
#include "ui/project/newmod2messageform.h"

#include "settings/programfolder.h"
#include "ui/common/childwindows.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"
#include "ui/common/progaddress.h"
#include "ui/htmleditor/htmleditor.h"
#include "ui/listtools/editab.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileSystemModel>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QTreeView>
#include <QWebEngineView>

#include "../common/windowfit.h"
#include "queuedcalls.h"
#include "testfiles.h"

using namespace varnholt;
using namespace varnholt::testing;

Q_DECLARE_METATYPE(QList<varnholt::MountedVolume>)

namespace {

// Qt WebEngine wants contexts shared before the application exists.
const bool kShareContexts = [] {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    return true;
}();

// The files of a folder with their contents.
QMap<QString, QByteArray> folderContents(const QString &folder)
{
    QMap<QString, QByteArray> files;
    for (const QFileInfo &info : QDir(folder).entryInfoList(QDir::Files))
        files.insert(info.fileName(), readFile(info.filePath()));
    return files;
}

// Drops a merge field on `target` at `pos` as a drag from the grid would.
void dropField(QWidget *target, const QPoint &pos, const QString &field)
{
    QMimeData mime;
    mime.setData(TNewMod2MessageForm::mergeFieldMimeType(), field.toUtf8());
    mime.setText(field);
    QDragEnterEvent enter(pos, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(pos), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    QVERIFY(drop.isAccepted());
}

} // namespace

class TestProjectWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    QString project(const QByteArray &settings, const QByteArray &list, const QString &name = "p")
    {
        return writeProject(m_dir.path(), {.settings = settings, .list = list, .text = {}, .html = {}}, name);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(kShareContexts);
        ProgramFolder::initialise(m_dir.path());
        setMessageBoxHook([](const QString &, const QString &, int) { return int(idNo); });
        setFileDialogHook([](FileDialogKind, const QString &, const QString &) { return std::optional<QString>(); });
    }

    void delimiterEntries27()
    {
        QCOMPARE(delimiterEntries().size(), 27);
        QCOMPARE(delimiterEntries().at(9), ";");
        QCOMPARE(delimiterOfEntry("Tab"), QChar('\t'));
        QCOMPARE(delimiterOfEntry("Space"), QChar(' '));
        QCOMPARE(entryOfDelimiter('\t'), "Tab");
    }

    void opensListAndCounts()
    {
        const QString file = project("[Common]\r\nSubject=Hi [Column#2]\r\nColumn=4\r\nSectionSymbol=Tab\r\n",
                                     "a@x\tAnna\r\n\r\nb@y\tBen\tBerlin\r\n");
        TNewMod2MessageForm w(TIniInfo{});
        QVERIFY(w.openProject(file));
        QCOMPARE(w.recordCountLabel()->text(), "2 records");
        QCOMPARE(w.grid()->model()->columnCount(), 3);
        QCOMPARE(w.delimiterBox()->currentText(), "Tab");
        QCOMPARE(w.subjectBox()->text(), "Hi [Column#2]");
        // A stored e-mail column beyond the list selects column 0.
        QCOMPARE(w.emailColumnBox()->currentIndex(), 0);
        QCOMPARE(w.mergeFieldBox()->count(), 3);
        QCOMPARE(w.attachmentColumnBox()->itemText(0), "None");
        QVERIFY(!w.project().isModified());
        QCOMPARE(w.windowTitle(), "Message - p[*]");

        const QString empty = project("[Common]\r\n", "", "empty");
        TNewMod2MessageForm e(TIniInfo{});
        e.openProject(empty);
        QCOMPARE(e.recordCountLabel()->text(), "1 records");
    }

    // "Edit List" edits a copy; what it commits comes back with its
    // delimiter (the list not read again), new titles and the save mark.
    void listEditorCommitsIntoTheProject()
    {
        const QString file = project("[Common]\r\nSectionSymbol=;\r\n", "a@x;Anna\r\nb@y;Ben\r\n");
        const QString wider = QFileInfo(file).absolutePath() + "/wider.txt";
        writeFile(wider, "c@z,Cid,Cork\r\n");
        TNewMod2MessageForm w(TIniInfo{});
        QVERIFY(w.openProject(file));
        QTimer::singleShot(0, [&] {
            auto *editor = qobject_cast<TEditAB *>(QApplication::activeModalWidget());
            QVERIFY(editor);
            editor->findChild<QLineEdit *>("eRz")->setText(",");
            editor->loadFile(wider);
            editor->accept();
        });
        w.requestTool(TNewMod2MessageForm::toEditList);
        QCOMPARE(w.delimiterBox()->currentText(), ",");
        QCOMPARE(w.project().delimiter(), QChar(u','));
        QCOMPARE(w.mergeFieldBox()->count(), 3);
        QCOMPARE(w.project().table().cell(0, 2), "Cork");
        QVERIFY(w.project().isModified());
        QTRY_COMPARE(w.recordCountLabel()->text(), "1 records");
        // Saving writes the list with the editor's delimiter.
        QVERIFY(w.saveProject(false));
        QCOMPARE(readFile(QFileInfo(file).absolutePath() + "/p.txt"), QByteArray("c@z,Cid,Cork\r\n"));
    }

    void listNotReadWholeWarnsAndSaveAsks()
    {
        const QByteArray list("a@x;A\r\nb@y\0rest\r\n", 17);
        const QString file = project("[Common]\r\nSubject=Hi\r\n", list, "nul");
        const QString listFile = m_dir.filePath("nul.txt");
        QStringList texts;
        QList<int> flags;
        int answer = idNo;
        const MessageBoxHook old = setMessageBoxHook([&](const QString &text, const QString &, int f) {
            texts.append(text);
            flags.append(f);
            return answer;
        });
        const auto restore = qScopeGuard([&old] { setMessageBoxHook(old); });

        // Once, when the project opens.
        TNewMod2MessageForm w(TIniInfo{});
        w.openProject(file);
        QCOMPARE(texts.size(), 1);
        QVERIFY2(texts[0].contains("NUL byte at offset 10") && texts[0].contains(listFile), qPrintable(texts[0]));
        QCOMPARE(w.project().table().rowCount(), 2);

        // Saving asks first, No by default; No writes nothing.
        texts.clear();
        flags.clear();
        w.subjectBox()->setText("changed");
        QVERIFY(!w.saveProject(false));
        QCOMPARE(texts.size(), 1);
        QVERIFY2(texts[0].startsWith("The list file was not read whole (the list file holds a NUL byte at offset 10")
                     && texts[0].endsWith("Saving replaces it with the records shown, and the rest of the file is "
                                          "lost. Save anyway?"),
                 qPrintable(texts[0]));
        QCOMPARE(flags[0], mbYesNo | mbIconQuestion | mbDefButton2);
        QCOMPARE(readFile(listFile), list);
        QVERIFY(!readFile(file).contains("changed"));

        answer = idYes;
        QVERIFY(w.saveProject(false));
        QCOMPARE(readFile(listFile), QByteArray("a@x;A\r\nb@y;\r\n"));
        QVERIFY(readFile(file).contains("Subject=changed"));
        // The file is the table now: no more questions.
        texts.clear();
        QVERIFY(w.saveProject(false));
        QCOMPARE(texts.size(), 0);
    }

    void delimiterOfTwoCharactersIsReported()
    {
        const QString file = project("[Common]\r\nSectionSymbol=;,\r\n", "a;b,c\r\n", "twochars");
        QStringList texts;
        const MessageBoxHook old = setMessageBoxHook([&](const QString &text, const QString &, int) {
            texts.append(text);
            return int(idOk);
        });
        const auto restore = qScopeGuard([&old] { setMessageBoxHook(old); });
        TNewMod2MessageForm w(TIniInfo{});
        w.openProject(file);
        QCOMPARE(texts.size(), 1);
        QCOMPARE(texts[0], "The field delimiter \";,\" of this project must be one character. The list is read with "
                           "\";\", and saving the project stores \";\".");
        QCOMPARE(w.delimiterBox()->currentText(), ";");
        QCOMPARE(w.project().table().cell(0, 1), "b,c");
        // Not a silent change: the project counts as modified until saved.
        QVERIFY(w.project().isModified());
        QVERIFY(w.saveProject(false));
        QVERIFY(readFile(file).contains("SectionSymbol=;\r\n"));
    }

    void delimiterChangeReloads()
    {
        const QString file = project("[Common]\r\nSectionSymbol=;\r\n", "a,b;c\r\nd,e;f\r\n", "delim");
        TNewMod2MessageForm w(TIniInfo{});
        w.openProject(file);
        QCOMPARE(w.grid()->model()->columnCount(), 2);
        // An unsaved edit is lost by the reload from the file.
        w.project().table().setCell(0, 0, "edited");
        w.delimiterBox()->setCurrentText(",");
        QCOMPARE(w.project().delimiter(), QChar(','));
        QCOMPARE(w.grid()->model()->columnCount(), 2);
        QCOMPARE(w.project().table().cell(0, 0), "a");
        QCOMPARE(w.project().table().cell(0, 1), "b;c");
        QVERIFY(w.project().isModified());
        QCOMPARE(w.grid()->model(), &w.project().table());

        w.delimiterBox()->setCurrentText("Space");
        QCOMPARE(w.grid()->model()->columnCount(), 1);
        QCOMPARE(w.emailColumnBox()->count(), 1);
        QCOMPARE(w.project().table().cell(1, 0), "d,e;f");
    }

    void progressWindowOnlyForLongLoads()
    {
        int steps = 0;
        QString caption;
        TProgAddress::setStepHook([&](TProgAddress *progress) {
            caption = progress->windowTitle();
            if (++steps == 3)
                progress->stopButton()->click();
        });
        auto cleanup = qScopeGuard([] { TProgAddress::setStepHook({}); });

        QByteArray list;
        int rows = 0;
        const auto growList = [&list, &rows](int total) {
            for (; rows < total; ++rows)
                list += "user" + QByteArray::number(rows) + "@example.org;Name " + QByteArray::number(rows) + "\r\n";
        };

        // A list that loads at once shows no progress window.
        growList(20000);
        TNewMod2MessageForm small(TIniInfo{});
        QVERIFY(small.openProject(project("[Common]\r\n", list, "small")));
        QCOMPARE(steps, 0);
        QCOMPARE(small.project().table().rowCount(), 20000);

        // A list whose load outlasts the window's delay twice over on this
        // build: doubled until a plain load takes that long.
        const QString listFile = m_dir.filePath("big.txt");
        const QString file = project("[Common]\r\n", QByteArray(), "big");
        for (;;) {
            growList(2 * rows);
            writeFile(listFile, list);
            QElapsedTimer clock;
            clock.start();
            ListTable probe;
            probe.load(listFile, u';');
            if (clock.elapsed() > 2 * DelayedProgress::kDefaultDelay.count() || rows >= 6400000)
                break;
        }
        list.clear();

        // "Stop" in the window ends the load; the records read so far stay.
        TNewMod2MessageForm w(TIniInfo{});
        QVERIFY(!w.openProject(file));
        QCOMPARE(steps, 3);
        QCOMPARE(caption, "Load Address Book.. " + listFile);
        const int kept = w.project().table().rowCount();
        QVERIFY2(kept > 0 && kept < rows, qPrintable(QString::number(kept)));
        QCOMPARE(w.recordCountLabel()->text(), QString::number(kept) + " records");
        QCOMPARE(w.grid()->model(), &w.project().table());
        QTRY_VERIFY(w.findChildren<TProgAddress *>().isEmpty());

        TProgAddress::setStepHook({});
        TNewMod2MessageForm whole(TIniInfo{});
        QVERIFY(whole.openProject(file));
        QCOMPARE(whole.project().table().rowCount(), rows);
    }

    // "Insert" puts the field into the text the user was last in, even
    // when the field was then picked in the merge field box.
    void insertGoesToLastFocusedText_data()
    {
        QTest::addColumn<bool>("intoSubject");
        QTest::addColumn<bool>("pickedInBox");
        QTest::newRow("subject") << true << false;
        QTest::newRow("subject, field picked in the box") << true << true;
        QTest::newRow("plain text") << false << false;
        QTest::newRow("plain text, field picked in the box") << false << true;
    }
    void insertGoesToLastFocusedText()
    {
        QFETCH(bool, intoSubject);
        QFETCH(bool, pickedInBox);
        const QString file = project("[Common]\r\n", "a;b;c\r\n", "ins");
        TNewMod2MessageForm w(TIniInfo{});
        w.openProject(file);
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.subjectBox()->setText("Hello !");
        w.textEditor()->setPlainText("Dear ,");

        QWidget *target = intoSubject ? static_cast<QWidget *>(w.subjectBox()) : w.textEditor();
        target->setFocus();
        QTRY_VERIFY(target->hasFocus());
        if (intoSubject) {
            w.subjectBox()->setCursorPosition(6);
        } else {
            QTextCursor c = w.textEditor()->textCursor();
            c.setPosition(5);
            w.textEditor()->setTextCursor(c);
        }
        if (pickedInBox) {
            w.mergeFieldBox()->setFocus();
            QTRY_VERIFY(w.mergeFieldBox()->hasFocus());
        }
        w.mergeFieldBox()->setCurrentIndex(1);
        QTest::mouseClick(w.findChild<QPushButton *>("insert"), Qt::LeftButton);

        QCOMPARE(w.subjectBox()->text(), intoSubject ? "Hello [Column#2]!" : "Hello !");
        QCOMPARE(w.textEditor()->toPlainText(), intoSubject ? "Dear ," : "Dear [Column#2],");
        // The user goes on typing where the field went.
        QTRY_VERIFY(target->hasFocus());
        QVERIFY(w.project().isModified());
    }

    // In an HTML project the field goes into the HTML editor when it was
    // the last text the user was in, and into the subject when that was.
    void insertIntoHtmlEditor()
    {
        const QString file = writeProject(m_dir.path(),
                                          {.settings = "[Common]\r\nHTML=1\r\n",
                                           .list = "a;b;c\r\n",
                                           .text = {},
                                           .html = "<html><body>Hello World</body></html>"},
                                          "insHtml");
        TNewMod2MessageForm w(TIniInfo{});
        w.openProject(file);
        w.resize(800, 600);
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.pages()->setCurrentWidget(w.htmlPage());
        THtmlEditor *editor = w.htmlEditor();
        QTRY_VERIFY_WITH_TIMEOUT(editor->documentPresent() && editor->source().contains("Hello World"), 20000);
        QWidget *page = editor->view()->focusProxy();
        QVERIFY(page);
        QPushButton *insert = w.findChild<QPushButton *>("insert");

        page->setFocus();
        QTRY_VERIFY(page->hasFocus());
        w.mergeFieldBox()->setFocus();
        QTRY_VERIFY(w.mergeFieldBox()->hasFocus());
        w.mergeFieldBox()->setCurrentIndex(1);
        QTest::mouseClick(insert, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(editor->source().contains("[Column#2]"), 10000);
        QCOMPARE(w.subjectBox()->text(), QString());
        QTRY_VERIFY(page->hasFocus());

        w.subjectBox()->setFocus();
        QTRY_VERIFY(w.subjectBox()->hasFocus());
        w.mergeFieldBox()->setFocus();
        QTRY_VERIFY(w.mergeFieldBox()->hasFocus());
        w.mergeFieldBox()->setCurrentIndex(2);
        QTest::mouseClick(insert, Qt::LeftButton);
        QCOMPARE(w.subjectBox()->text(), "[Column#3]");
        QTest::qWait(200); // time for a wrong insertion to reach the page's report
        QVERIFY(!editor->source().contains("[Column#3]"));
    }

    void dropOnSubjectAtCharacter()
    {
        TNewMod2MessageForm w(TIniInfo{});
        w.newProject(m_dir.path() + "/*.eml");
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.subjectBox()->setText("abcdef");
        // A point that the box's own font metrics place between "abc" and "def".
        QPoint at;
        for (int x = 0; x < w.subjectBox()->width() && at.isNull(); ++x)
            if (w.subjectBox()->cursorPositionAt(QPoint(x, w.subjectBox()->height() / 2)) == 3)
                at = QPoint(x + 1, w.subjectBox()->height() / 2);
        QVERIFY(!at.isNull());
        dropField(w.subjectBox(), at, "[Column#2]");
        QCOMPARE(w.subjectBox()->text(), "abc[Column#2]def");
    }

    // A field dropped on the text goes in at the character under the
    // pointer; past a line's end or below the text it goes to the nearest
    // place the text has, without blanks or lines added.
    void dropOnEditorAtCharacter()
    {
        TNewMod2MessageForm w(TIniInfo{});
        w.newProject(m_dir.path() + "/*.eml");
        w.resize(800, 600);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QPlainTextEdit *editor = w.textEditor();
        editor->setPlainText("first line\nab");
        const QFontMetrics fm(editor->font());
        const int blank = fm.horizontalAdvance(' ');

        // Right of the end of "ab": at the end of that line.
        QTextCursor end(editor->document()->findBlockByNumber(1));
        end.movePosition(QTextCursor::EndOfBlock);
        const QRect r = editor->cursorRect(end);
        dropField(editor->viewport(), QPoint(r.x() + 3 * blank + 1, r.center().y()), "[Column#1]");
        QCOMPARE(editor->toPlainText(), "first line\nab[Column#1]");

        // Inside the first line: before the character under the point.
        QTextCursor inside(editor->document()->findBlockByNumber(0));
        inside.setPosition(5);
        dropField(editor->viewport(), editor->cursorRect(inside).center() + QPoint(1, 0), "[X]");
        QCOMPARE(editor->toPlainText(), "first[X] line\nab[Column#1]");

        // Two lines below the text: on its last line, no lines added.
        const int below = r.bottom() + fm.lineSpacing() + fm.lineSpacing() / 2;
        dropField(editor->viewport(), QPoint(int(editor->document()->documentMargin()) + 2 * blank + 1, below), "[Y]");
        QCOMPARE(editor->document()->blockCount(), 2);
        QVERIFY2(editor->document()->findBlockByNumber(1).text().contains("[Y]"), qPrintable(editor->toPlainText()));
        QCOMPARE(editor->toPlainText().remove("[Y]"), "first[X] line\nab[Column#1]");
        QCOMPARE(editor->toPlainText().count(' '), 1);
    }

    // Every value that goes into the project file marks the project
    // modified, and closing then asks before the change is lost.
    void savedValuesMarkModified_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("modified");
        QTest::newRow("subject typed") << "subject typed" << true;
        QTest::newRow("subject set") << "subject set" << true;
        QTest::newRow("plain text typed") << "text typed" << true;
        QTest::newRow("e-mail column") << "email column" << true;
        QTest::newRow("delimiter") << "delimiter" << true;
        QTest::newRow("list cell edited") << "cell" << true;
        QTest::newRow("attachment added") << "attachment added" << true;
        QTest::newRow("attachment removed") << "attachment removed" << true;
        QTest::newRow("attachments window cancelled") << "attachments cancelled" << false;
        QTest::newRow("attachments confirmed unchanged") << "attachments unchanged" << false;
        QTest::newRow("merge field box only") << "merge field box" << false;
    }
    void savedValuesMarkModified()
    {
        QFETCH(QString, change);
        QFETCH(bool, modified);
        writeFile(m_dir.filePath("one.pdf"), "x");
        writeFile(m_dir.filePath("two.pdf"), "x");
        const QByteArray attachment = m_dir.filePath("one.pdf").toUtf8();
        const QString file =
            project("[Common]\r\n[Attachment]\r\nCount=1\r\n0=" + attachment + "\r\n", "a@x;b,c;d\r\n", "mod");
        TNewMod2MessageForm w(TIniInfo{});
        w.openProject(file);
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QVERIFY(!w.project().isModified());
        QVERIFY(!w.isWindowModified());

        // The attachments window: changed as asked, then confirmed or cancelled.
        const auto inAttachmentsWindow = [&](const std::function<void(TAttachmentForm *)> &edit, bool confirm) {
            QTimer::singleShot(0, &w, [edit, confirm] {
                auto *form = qobject_cast<TAttachmentForm *>(QApplication::activeModalWidget());
                QVERIFY(form);
                edit(form);
                confirm ? form->accept() : form->reject();
            });
            w.editAttachments();
            runQueuedCalls();
        };
        if (change == "subject typed") {
            QTest::keyClicks(w.subjectBox(), "x");
        } else if (change == "subject set") {
            w.subjectBox()->setText("set");
        } else if (change == "text typed") {
            QTest::keyClicks(w.textEditor(), "x");
        } else if (change == "email column") {
            w.emailColumnBox()->setCurrentIndex(1);
        } else if (change == "delimiter") {
            w.delimiterBox()->setCurrentText(",");
        } else if (change == "cell") {
            QVERIFY(w.grid()->model()->setData(w.grid()->model()->index(0, 1), "edited"));
        } else if (change == "attachment added") {
            inAttachmentsWindow([&](TAttachmentForm *f) { f->addPath(m_dir.filePath("two.pdf")); }, true);
            QCOMPARE(w.project().attachments().size(), 2);
        } else if (change == "attachment removed") {
            inAttachmentsWindow([](TAttachmentForm *f) {
                f->attachmentList()->setCurrentRow(0);
                f->removeSelected();
            }, true);
            QVERIFY(w.project().attachments().isEmpty());
        } else if (change == "attachments cancelled") {
            inAttachmentsWindow([&](TAttachmentForm *f) { f->addPath(m_dir.filePath("two.pdf")); }, false);
            QCOMPARE(w.project().attachments().size(), 1);
        } else if (change == "attachments unchanged") {
            inAttachmentsWindow([](TAttachmentForm *) {}, true);
        } else if (change == "merge field box") {
            w.mergeFieldBox()->setCurrentIndex(2);
        }
        QCOMPARE(w.project().isModified(), modified);
        QCOMPARE(w.isWindowModified(), modified);
        QVERIFY(w.windowTitle().endsWith("[*]"));

        QStringList asked;
        const MessageBoxHook old = setMessageBoxHook([&](const QString &text, const QString &, int) {
            asked << text;
            return int(idCancel);
        });
        const auto restore = qScopeGuard([&old] { setMessageBoxHook(old); });
        QCOMPARE(w.queryClose(), !modified);
        QCOMPARE(asked, modified ? QStringList{"Save changes?"} : QStringList());
    }

    // A save dialog that is cancelled writes nothing: neither the files of
    // a new project nor the current files under the old name.
    void cancelledSaveDialogWritesNothing_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("named");
        QTest::newRow("Send Mailing List, new project") << "send" << false;
        QTest::newRow("Save, new project") << "save" << false;
        QTest::newRow("Save As, new project") << "save as" << false;
        QTest::newRow("Save As, named project") << "save as" << true;
    }
    void cancelledSaveDialogWritesNothing()
    {
        QFETCH(QString, command);
        QFETCH(bool, named);
        QTemporaryDir folder;
        TNewMod2MessageForm w(TIniInfo{});
        if (named)
            QVERIFY(w.openProject(writeProject(folder.path(), {.settings = "[Common]\r\nSubject=old\r\n",
                                                               .list = "a@x\r\n",
                                                               .text = {},
                                                               .html = {}})));
        else
            w.newProject(folder.path() + "/*.eml");
        const QMap<QString, QByteArray> before = folderContents(folder.path());
        w.subjectBox()->setText("changed");
        w.textEditor()->setPlainText("text");

        QStringList presets;
        const FileDialogHook old = setFileDialogHook([&](FileDialogKind, const QString &, const QString &preset) {
            presets << preset;
            return std::optional<QString>();
        });
        const auto restore = qScopeGuard([&old] { setFileDialogHook(old); });
        QSignalSpy sending(&w, &TNewMod2MessageForm::sendingWindowRequested);
        if (command == "send")
            w.sendMailingList();
        else
            QVERIFY(!w.saveProject(command == "save as"));

        QCOMPARE(presets.size(), 1);
        QCOMPARE(sending.size(), 0);
        QCOMPARE(folderContents(folder.path()), before);
        QCOMPARE(w.project().isNew(), !named);
        QVERIFY(w.project().isModified());
        QVERIFY(w.isWindowModified());
    }

    // The project window at 800 x 600 shows every control whole (the HTML
    // editor, wider than that, scrolls on its own page); smaller, it
    // shrinks and every control can still be scrolled into view.
    void fitsSmallScreens_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("html");
        QTest::addColumn<bool>("windowScrolls");
        QTest::newRow("800 x 600") << QSize(800, 600) << false << false;
        QTest::newRow("800 x 600, HTML") << QSize(800, 600) << true << false;
        QTest::newRow("640 x 400") << QSize(640, 400) << false << true;
    }
    void fitsSmallScreens()
    {
        QFETCH(QSize, size);
        QFETCH(bool, html);
        QFETCH(bool, windowScrolls);
        const QString file = project(QByteArray("[Common]\r\nHTML=") + (html ? "1" : "0")
                                         + "\r\n[Attachment]\r\nCount=1\r\n0=/tmp/a-long-attachment-name.pdf\r\n",
                                     "anna@example.org;Anna;Berg;Berlin\r\n", "small");
        TNewMod2MessageForm w(TIniInfo{});
        w.openProject(file);
        w.resize(size);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.size(), size);
        if (html)
            w.pages()->setCurrentWidget(w.htmlPage());
        const Scrolling scrolling = windowScrolls || html ? Scrolling::Allowed : Scrolling::NotNeeded;
        QTRY_VERIFY2(unreachableControls(&w, scrolling).isEmpty(),
                     qPrintable(unreachableControls(&w, scrolling).join("\n")));
        auto *scroller = w.findChild<QScrollArea *>("scroller");
        QVERIFY(scroller);
        const bool scrolls = scroller->horizontalScrollBar()->isVisible() || scroller->verticalScrollBar()->isVisible();
        QCOMPARE(scrolls, windowScrolls);
    }

    void attachmentsOnePerPath()
    {
        writeFile(m_dir.filePath("a.pdf"), "x");
        TAttachmentForm form({});
        QVERIFY(form.addPath(m_dir.filePath("a.pdf")));
        QVERIFY(!form.addPath(m_dir.filePath("a.pdf")));
        QVERIFY(form.addPath(m_dir.filePath("b.pdf")));
        QCOMPARE(form.attachments().size(), 2);
        QCOMPARE(form.attachments().first().displayName, "a.pdf");
        QCOMPARE(form.attachmentList()->count(), 2);
        form.attachmentList()->setCurrentRow(0);
        form.removeSelected();
        QCOMPARE(form.attachments().size(), 1);
        QCOMPARE(form.attachments().first().displayName, "b.pdf");
    }

    void driveEntries_data()
    {
        QTest::addColumn<QList<MountedVolume>>("volumes");
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<int>("homeAt"); // index of the home folder's own entry, -1 for none
        const auto volume = [](const QString &root, const QByteArray &type, const QString &name = {}) {
            return MountedVolume{root, name, type, true, true};
        };
        QTest::newRow("root first, the others by path, then home")
            << QList<MountedVolume>{volume("/mnt/b", "ext4"), volume("/", "ext4"), volume("/media/usb", "vfat", "STICK")}
            << QStringList{"/", "/media/usb [STICK]", "/mnt/b", "/home/u"} << 3;
        QTest::newRow("memory and image file systems left out")
            << QList<MountedVolume>{volume("/run", "tmpfs"), volume("/", "overlay"), volume("/snap/core/1", "squashfs"),
                                    volume("/mnt/ram", "ramfs")}
            << QStringList{"/", "/home/u"} << 1;
        MountedVolume cdrom = volume("/media/cdrom", "iso9660");
        cdrom.ready = false;
        MountedVolume hosts = volume("/etc/hosts", "ext4");
        hosts.directory = false;
        QTest::newRow("not ready, mounted files and repeats left out")
            << QList<MountedVolume>{volume("/", "ext4"), cdrom, hosts, volume("/", "ext4")} << QStringList{"/", "/home/u"}
            << 1;
        QTest::newRow("home on its own volume is listed once")
            << QList<MountedVolume>{volume("/home/u", "ext4"), volume("/", "ext4")} << QStringList{"/", "/home/u"} << -1;
    }

    void driveEntries()
    {
        QFETCH(QList<MountedVolume>, volumes);
        QFETCH(QStringList, labels);
        QFETCH(int, homeAt);
        const QList<DriveEntry> entries = DriveEntries(volumes, "/home/u");
        QStringList seen;
        for (int i = 0; i < entries.size(); ++i) {
            seen.append(entries[i].label);
            QCOMPARE(entries[i].home, i == homeAt);
        }
        QCOMPARE(seen, labels);
        QCOMPARE(entries.first().path, "/");
    }

    void driveBoxMovesTheTree()
    {
        TAttachmentForm form({});
        QComboBox *drives = form.driveBox();
        QVERIFY(drives->count() >= 2);
        QCOMPARE(drives->itemData(0).toString(), "/");
        // It opens on the home folder.
        QCOMPARE(drives->currentData().toString(), QDir::homePath());
        QCOMPARE(form.shownFolder(), QDir::homePath());

        drives->setCurrentIndex(0);
        auto *folders = qobject_cast<QFileSystemModel *>(form.folderTree()->model());
        QCOMPARE(folders->filePath(form.folderTree()->rootIndex()), "/");
        QCOMPARE(form.shownFolder(), "/");
        // A folder chosen in the tree shows its files, and "Add  >>" takes
        // the file chosen there.
        writeFile(m_dir.filePath("pick.pdf"), "x");
        form.folderTree()->setCurrentIndex(folders->index(m_dir.path()));
        QCOMPARE(form.shownFolder(), m_dir.path());
        auto *files = qobject_cast<QFileSystemModel *>(form.fileList()->model());
        QTRY_VERIFY(files->rowCount(form.fileList()->rootIndex()) > 0);
        form.fileList()->selectionModel()->select(files->index(m_dir.filePath("pick.pdf")), QItemSelectionModel::Select);
        QPushButton *add = nullptr;
        for (QPushButton *b : form.findChildren<QPushButton *>())
            if (b->text() == "Add  >>")
                add = b;
        QVERIFY(add);
        add->click();
        QCOMPARE(form.attachments().size(), 1);
        QCOMPARE(form.attachments().first().fullPath, m_dir.filePath("pick.pdf"));
    }

    void attachmentBoxFollowsList()
    {
        const QString file = project("[Common]\r\n[Attachment]\r\nCount=2\r\n0=/tmp/one.pdf\r\n1=/tmp/two.png\r\n", "", "att");
        TNewMod2MessageForm w(TIniInfo{});
        w.openProject(file);
        QCOMPARE(w.attachmentBox()->count(), 2);
        QVERIFY(w.attachmentBox()->isEnabled());
        QCOMPARE(w.attachmentBox()->currentText(), "one.pdf");
        w.project().attachments().clear();
        w.refreshAttachments();
        QVERIFY(!w.attachmentBox()->isEnabled());
        QCOMPARE(w.attachmentBox()->currentIndex(), -1);
    }

    void sendMailingListSavesAndCleans()
    {
        const QString file = project("[Common]\r\nColumn=1\r\n", "x;\"Anna Berg\" <anna@example.org>\r\n", "send");
        TNewMod2MessageForm w(TIniInfo{});
        w.openProject(file);
        QSignalSpy asked(&w, &TNewMod2MessageForm::sendingWindowRequested);
        w.subjectBox()->setText("Sent");
        w.sendMailingList();
        QCOMPARE(asked.count(), 1);
        QCOMPARE(w.project().table().cell(0, 1), "anna@example.org");
        QVERIFY(readFile(file).contains("Subject=Sent"));
        // Saving a text project needs no browser.
        QVERIFY(!w.findChild<THtmlEditor *>());
    }

    void editStateFollowsEditor()
    {
        TNewMod2MessageForm w(TIniInfo{});
        w.newProject(m_dir.path() + "/*.eml");
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QSignalSpy state(&w, &TNewMod2MessageForm::editStateChanged);
        w.textEditor()->setFocus();
        QTest::keyClicks(w.textEditor(), "hello");
        QTRY_VERIFY(w.editState() & TNewMod2MessageForm::ebUndo);
        w.textEditor()->selectAll();
        QVERIFY(w.editState() & TNewMod2MessageForm::ebCut);
        w.editCommand(TNewMod2MessageForm::ebDelete);
        QCOMPARE(w.textEditor()->toPlainText(), QString());
        w.editCommand(TNewMod2MessageForm::ebUndo);
        QCOMPARE(w.textEditor()->toPlainText(), "hello");
        w.subjectBox()->setFocus();
        QTRY_COMPARE(w.editState(), 0);
        QVERIFY(state.count() >= 2);
    }

    void formatSwitchesPages()
    {
        TNewMod2MessageForm w(TIniInfo{});
        w.newProject(m_dir.path() + "/*.eml");
        QVERIFY(!w.pages()->isTabVisible(1));
        // A text project does without the HTML editor's browser...
        QVERIFY(!w.findChild<THtmlEditor *>());
        w.formatBox()->setCurrentText("html");
        QVERIFY(w.project().settings().Html);
        QVERIFY(w.pages()->isTabVisible(1));
        QCOMPARE(w.pages()->currentIndex(), 1);
        // ...until its page is shown.
        QCOMPARE(w.findChild<THtmlEditor *>(), w.htmlEditor());
        QVERIFY(w.htmlPage()->isAncestorOf(w.htmlEditor()));
        w.formatBox()->setCurrentText("text");
        QVERIFY(!w.project().settings().Html);
        QCOMPARE(w.pages()->currentIndex(), 0);

        // An HTML project has its editor from the start, loading its body.
        const QString html = project("[Common]\r\nHTML=1\r\n", "a@x\r\n", "html");
        TNewMod2MessageForm h(TIniInfo{});
        h.openProject(html);
        QVERIFY(h.findChild<THtmlEditor *>());
    }
};

QTEST_MAIN(TestProjectWindow)
#include "tst_projectwindow.moc"
