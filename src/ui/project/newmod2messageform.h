#pragma once

#include "project/project.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QSplitter;
class QTableView;
class QTabWidget;

// The project window: the open project's mailing list grid, subject, plain
// text, HTML page, message format, column choices and attachments. It owns
// the project (files and table: project/project.h) and its modified state;
// the main window creates it and routes menu commands to it.
namespace varnholt {

class TMsgLanguage;
class THtmlEditor;

class TNewMod2MessageForm : public QWidget
{
    Q_OBJECT
public:
    // Bits of the edit state and of edit commands.
    enum EditBit : int { ebCut = 1, ebCopy = 2, ebPaste = 4, ebDelete = 8, ebUndo = 16, ebRedo = 32 };
    // Tools run on the project (carried by requestTool).
    enum Tool : int {
        toForeignImport = 0, toImportList = 1, toEditList = 2, toFilter = 3, toVerify = 4,
        toLocalPictures = 5, toPrepareHtml = 6, toImportHtml = 7
    };

    explicit TNewMod2MessageForm(const TIniInfo &programWide, QWidget *parent = nullptr);
    ~TNewMod2MessageForm() override;

    // Filling the window (`OpenProject`). newProject() returns the path to
    // hand back to the caller (see Project::createNew). openProject() shows
    // the progress window while the list loads; false when it was stopped
    // (the records read so far stay).
    QString newProject(const QString &startPath);
    bool openProject(const QString &settingsFile);

    // `SaveProject`: true when saved under a confirmed name.
    bool saveProject(bool saveAs);
    // The close question ("Save changes?"); true when the window may close.
    bool queryClose();
    // Closes after the question was asked elsewhere (quitting the program).
    void closeWithoutQuestion();

    // Window notifications. Callers that post queue a call of these.
    void requestTool(int tool);                 // run a tool on the project
    void editCommand(int bit);                  // one edit command on the text editor
    void listChanged();                         // refresh the record count
    Q_INVOKABLE void refreshAttachments();      // refill the attachment box

    // "Insert": the merge field box's field at the caret of the text the
    // user was in last (subject, plain text or HTML editor).
    void insertMergeField();
    // "Send Mailing List": saves, cleans the e-mail column, asks for the
    // sending window.
    void sendMailingList();
    // "...": the attachments window.
    void editAttachments();
    // The list and the column boxes after a tool changed the table.
    void rebuildAfterListChange();
    // The window's modified mark ("*" in the title) after the project's
    // state changed from outside (the project options).
    void updateModifiedMark();

    [[nodiscard]] Project &project() { return *m_project; }
    [[nodiscard]] TMsgLanguage *messages() const { return m_msl; }
    [[nodiscard]] int editState() const { return m_editState; }
    [[nodiscard]] int emailColumn() const;

    // The widgets, for the tests and the screenshot tool.
    [[nodiscard]] QTableView *grid() const { return m_grid; }
    [[nodiscard]] QLineEdit *subjectBox() const { return m_subject; }
    [[nodiscard]] QPlainTextEdit *textEditor() const { return m_editor; }
    [[nodiscard]] QComboBox *delimiterBox() const { return m_delimiter; }
    [[nodiscard]] QComboBox *formatBox() const { return m_format; }
    [[nodiscard]] QComboBox *emailColumnBox() const { return m_emailColumn; }
    [[nodiscard]] QComboBox *mergeFieldBox() const { return m_mergeField; }
    [[nodiscard]] QComboBox *attachmentColumnBox() const { return m_attachmentColumn; }
    [[nodiscard]] QComboBox *attachmentBox() const { return m_attachments; }
    [[nodiscard]] QLabel *recordCountLabel() const { return m_recordCount; }
    [[nodiscard]] QTabWidget *pages() const { return m_pages; }
    // The HTML editor, started on first use (its browser takes a while).
    [[nodiscard]] THtmlEditor *htmlEditor();
    [[nodiscard]] QWidget *plainPage() const { return m_plainPage; }
    [[nodiscard]] QWidget *htmlPage() const { return m_htmlPage; }
    // In HTML format with a body that differs from N.htm.
    [[nodiscard]] bool htmlBodyChanged() const;

    // The MIME type of a merge field carried by drag and drop.
    static const QString &mergeFieldMimeType();

signals:
    // The settings file to put on the recent-projects list (on closing a
    // named project; handled at once).
    void addRecentProject(const QString &settingsFile);
    // The commands the main window enables may have changed.
    void commandsChanged();
    void editStateChanged(int bits);
    // The verification window was closed.
    void verificationClosed();
    // "Send Mailing List" saved the project and cleaned its e-mail column:
    // the sending window opens on project().table() with its titles.
    void sendingWindowRequested();
    // The window is closing (the sending window closes first).
    void closing();
    // The project got or lost unsaved changes.
    void modifiedChanged(bool modified);
    // The HTML editor's browser could not run (the relaunch notice).
    void browserUnavailable();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // The texts a merge field can go into.
    enum class TextTarget { PlainText, Subject, Html };

    void buildWidgets();
    void fillFromProject();
    void fillColumnBoxes();
    void showFormat(bool html);
    void updateCaption();
    void updateEditState();
    void markModified();
    // Runs a list load with the progress window; detaches the grid meanwhile.
    bool loadListWithProgress(const std::function<void(const ListTable::LoadProgress &)> &load);
    void delimiterChosen(int index);
    void formatChosen(int index);
    void startFieldDrag(bool fromMergeFieldBox);
    void dropFieldOnSubject(const QPoint &pos, const QString &field);
    void dropFieldOnEditor(const QPoint &pos, const QString &field);
    void noteFocus(QWidget *now);
    [[nodiscard]] TextTarget insertTarget() const;
    [[nodiscard]] QString currentColumnField() const;
    [[nodiscard]] QString selectedMergeField() const;

    std::unique_ptr<Project> m_project;
    TMsgLanguage *m_msl;

    QTableView *m_grid = nullptr;
    QComboBox *m_delimiter = nullptr;
    QComboBox *m_format = nullptr;
    QComboBox *m_emailColumn = nullptr;
    QComboBox *m_mergeField = nullptr;
    QComboBox *m_attachmentColumn = nullptr;
    QComboBox *m_attachments = nullptr;
    QLabel *m_recordCount = nullptr;
    QLineEdit *m_subject = nullptr;
    QPlainTextEdit *m_editor = nullptr;
    QTabWidget *m_pages = nullptr;
    QWidget *m_plainPage = nullptr;
    QWidget *m_htmlPage = nullptr;
    QScrollArea *m_htmlScroller = nullptr;
    THtmlEditor *m_htmlEditor = nullptr;

    TextTarget m_lastText = TextTarget::PlainText;
    QMetaObject::Connection m_focusWatch;
    QPoint m_dragStart;
    bool m_dragArmed = false;
    bool m_filling = false;
    bool m_closeAnswered = false;
    bool m_loading = false;
    bool m_shownOnce = false;
    int m_editState = 0;
};

} // namespace varnholt
