// The project window on the offscreen platform: list loading with the
// progress window, delimiter, record count, merge fields, attachments.
#include "ui/project/attachmentform.h"
#include "ui/project/delimiters.h"
#include "ui/project/newmod2messageform.h"

#include "settings/programfolder.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"
#include "ui/common/progaddress.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include "../../project/testfiles.h"
#include <QTextBlock>

using namespace varnholt;

namespace {

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
        writeFile(m_dir.filePath(name + ".eml"), settings);
        if (!list.isNull())
            writeFile(m_dir.filePath(name + ".txt"), list);
        return m_dir.filePath(name + ".eml");
    }

private slots:
    void initTestCase()
    {
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
        QCOMPARE(w.windowTitle(), "Message - p");

        const QString empty = project("[Common]\r\n", "", "empty");
        TNewMod2MessageForm e(TIniInfo{});
        e.openProject(empty);
        QCOMPARE(e.recordCountLabel()->text(), "1 records");
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

    void bigListLoadCanBeStopped()
    {
        QByteArray list;
        for (int i = 0; i < 100000; ++i)
            list += "user" + QByteArray::number(i) + "@example.org;Name " + QByteArray::number(i) + "\r\n";
        const QString file = project("[Common]\r\n", list, "big");
        int steps = 0;
        QString caption;
        TProgAddress::setStepHook([&](TProgAddress *progress) {
            caption = progress->windowTitle();
            if (++steps == 3)
                progress->stopButton()->click();
        });
        TNewMod2MessageForm w(TIniInfo{});
        QVERIFY(!w.openProject(file));
        TProgAddress::setStepHook({});
        QCOMPARE(steps, 3);
        QCOMPARE(caption, "Load Address Book.. " + m_dir.filePath("big.txt"));
        const int rows = w.project().table().rowCount();
        QVERIFY2(rows > 0 && rows < 100000, qPrintable(QString::number(rows)));
        QCOMPARE(w.recordCountLabel()->text(), QString::number(rows) + " records");

        TNewMod2MessageForm whole(TIniInfo{});
        QVERIFY(whole.openProject(file));
        QCOMPARE(whole.project().table().rowCount(), 100000);
    }

    void insertButtonUsesFocus()
    {
        const QString file = project("[Common]\r\n", "a;b;c\r\n", "ins");
        TNewMod2MessageForm w(TIniInfo{});
        w.openProject(file);
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.mergeFieldBox()->setCurrentIndex(1);

        w.subjectBox()->setText("Hello !");
        w.subjectBox()->setFocus();
        w.subjectBox()->setCursorPosition(6);
        QTRY_VERIFY(w.subjectBox()->hasFocus());
        QTest::mouseClick(w.findChild<QPushButton *>("insert"), Qt::LeftButton);
        QCOMPARE(w.subjectBox()->text(), "Hello [Column#2]!");
        QVERIFY(w.subjectBox()->hasFocus());
        QVERIFY(w.project().isModified());

        w.textEditor()->setFocus();
        QTRY_VERIFY(w.textEditor()->hasFocus());
        w.textEditor()->setPlainText("Dear ,");
        QTextCursor c = w.textEditor()->textCursor();
        c.setPosition(5);
        w.textEditor()->setTextCursor(c);
        w.mergeFieldBox()->setCurrentIndex(2);
        QTest::mouseClick(w.findChild<QPushButton *>("insert"), Qt::LeftButton);
        QCOMPARE(w.textEditor()->toPlainText(), "Dear [Column#3],");
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

    void dropOnEditorPadsLinesAndBlanks()
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

        // Right of the end of "ab": blanks up to the drop point, then the field.
        QTextCursor end(editor->document()->findBlockByNumber(1));
        end.movePosition(QTextCursor::EndOfBlock);
        const QRect r = editor->cursorRect(end);
        dropField(editor->viewport(), QPoint(r.x() + 3 * blank + 1, r.center().y()), "[Column#1]");
        QCOMPARE(editor->document()->findBlockByNumber(1).text(), "ab   [Column#1]");

        // Inside the first line: before the character under the point.
        QTextCursor inside(editor->document()->findBlockByNumber(0));
        inside.setPosition(5);
        dropField(editor->viewport(), editor->cursorRect(inside).center() + QPoint(1, 0), "[X]");
        QCOMPARE(editor->document()->findBlockByNumber(0).text(), "first[X] line");

        // Two lines below the text: empty lines are added until it exists.
        const int below = r.bottom() + fm.lineSpacing() + fm.lineSpacing() / 2;
        dropField(editor->viewport(), QPoint(int(editor->document()->documentMargin()) + 2 * blank + 1, below), "[Y]");
        QCOMPARE(editor->toPlainText(), "first[X] line\nab   [Column#1]\n\n  [Y]");
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
        w.formatBox()->setCurrentText("html");
        QVERIFY(w.project().settings().Html);
        QVERIFY(w.pages()->isTabVisible(1));
        QCOMPARE(w.pages()->currentIndex(), 1);
        w.formatBox()->setCurrentText("text");
        QVERIFY(!w.project().settings().Html);
        QCOMPARE(w.pages()->currentIndex(), 0);
    }
};

QTEST_MAIN(TestProjectWindow)
#include "tst_projectwindow.moc"
