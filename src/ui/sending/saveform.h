#pragma once

#include "sending/resultfiles.h"

#include <QDialog>
#include <QFileInfo>

#include <optional>

class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeView;
class QTreeWidget;
class QFileSystemModel;

// The save dialog `T_SaveForm` ("Save dialog"): a small file browser, the
// result file's name and which rows go into it in which format.
namespace varnholt {

class TMsgLanguage;

// Kept for the whole program run.
struct SaveDialogSettings {
    SaveRows rows = SaveRows::All;
    SaveFormat format = SaveFormat::ListFieldsAndStatus;
    QString fileName; // the result file
};

// The program run's settings.
[[nodiscard]] SaveDialogSettings &saveDialogSettings();

class T_SaveForm : public QDialog
{
    Q_OBJECT
public:
    enum Message { msCreateDirectory, msEnterDirectoryName, msRename, msEnterNewName, msRemoveFiles, msAnd,
                   msFolders, msAttention };
    [[nodiscard]] static QStringList defaultMessages();

    // File list columns; clicking a title sorts by it.
    enum Column { colName, colSize, colDate, colTime };

    explicit T_SaveForm(const SaveDialogSettings &settings, QWidget *parent = nullptr);

    // The options as chosen; the file name only after "Save".
    [[nodiscard]] SaveDialogSettings settings(const SaveDialogSettings &previous) const;

    // Shows `folder` in the tree and the file list; a file name already
    // entered moves into it.
    void setFolder(const QString &folder);
    [[nodiscard]] QString folder() const { return m_folder; }
    // Sorts the file list by `column`; the same column again reverses it.
    void sortByColumn(int column);

    [[nodiscard]] QLineEdit *fileNameEdit() const { return m_fileName; }
    [[nodiscard]] QTreeWidget *fileList() const { return m_files; }
    [[nodiscard]] QRadioButton *rowsButton(SaveRows rows) const { return m_rows[int(rows)]; }
    [[nodiscard]] QRadioButton *formatButton(SaveFormat format) const { return m_formats[int(format)]; }
    [[nodiscard]] QPushButton *saveButton() const { return m_save; }
    [[nodiscard]] QPushButton *viewButton() const { return m_view; }
    [[nodiscard]] QPushButton *runButton() const { return m_run; }
    [[nodiscard]] QPushButton *renameButton() const { return m_rename; }
    [[nodiscard]] QPushButton *deleteButton() const { return m_delete; }
    [[nodiscard]] QPushButton *createFolderButton() const { return m_createFolder; }
    [[nodiscard]] TMsgLanguage *messages() const { return m_msl; }

    void createFolderClick();
    void renameClick();
    void deleteClick();
    void viewClick();
    void runClick();

private:
    void fillFileList();
    void entryClicked();
    void entryActivated();
    void updateButtons();
    [[nodiscard]] QList<QFileInfo> selectedEntries() const;
    [[nodiscard]] std::optional<QFileInfo> selectedFile() const;

    TMsgLanguage *m_msl;
    QString m_folder;
    QFileInfoList m_entries;
    int m_sortColumn = colName;
    bool m_sortReversed = false;

    QComboBox *m_drive;
    QPushButton *m_up;
    QTreeView *m_tree;
    QFileSystemModel *m_dirs;
    QTreeWidget *m_files;
    QComboBox *m_fileTypes;
    QLineEdit *m_fileName;
    QPushButton *m_createFolder;
    QPushButton *m_rename;
    QPushButton *m_delete;
    QPushButton *m_view;
    QPushButton *m_run;
    QRadioButton *m_rows[3];
    QRadioButton *m_formats[4];
    QPushButton *m_save;
    QPushButton *m_cancel;
};

// Shows the dialog with `settings`; both buttons store the options back,
// "Save" also the file name (".txt" added when it has no extension). True
// for "Save".
bool ShowSaveForm(SaveDialogSettings &settings, QWidget *parent = nullptr);

// "Save As" of the sending window: the save dialog with the program run's
// settings, then, after "Save", the result file of `results` (a failure to
// write it is ignored). True when the dialog was closed with "Save".
bool SaveResults(const ResultTable &results, const ListTable &list, QChar delimiter, QWidget *parent = nullptr);

} // namespace varnholt
