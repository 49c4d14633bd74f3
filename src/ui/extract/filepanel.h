#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class QComboBox;
class QFileSystemModel;
class QLineEdit;
class QListView;
class QAbstractItemView;
class QStackedWidget;
class QTimer;
class QToolButton;
class QTreeView;

// The extraction window's small file manager ("Local computer"): a drive
// box, the folder tree, the entries of the current folder and the file
// mask, with the commands to view or open an entry, make, remove and
// rename folders and delete files. The current folder is where a run
// starts.
namespace varnholt {

class FileListModel;
class TMsgLanguage;

class TFilePanel : public QWidget
{
    Q_OBJECT
public:
    // `texts` is the extraction window's message list.
    explicit TFilePanel(const TMsgLanguage &texts, QWidget *parent = nullptr);

    [[nodiscard]] QString folder() const { return m_folder; }
    // Opens a folder: the tree follows and the file list is refilled. A
    // path that is not a folder is ignored (false).
    bool setFolder(const QString &path);
    [[nodiscard]] QString mask() const;
    void setMask(const QString &mask);

    // Lists the current folder again.
    void refill();
    // The names of the selected entries, in list order.
    [[nodiscard]] QStringList selectedNames() const;
    // Selects entries by name (the first one becomes current).
    void selectNames(const QStringList &names);

    enum class ViewStyle { LargeIcons, SmallIcons, List, Details };
    void setViewStyle(ViewStyle style);

    // The commands.
    void viewFile();
    void runFile();
    void makeDir();
    void removeDir();
    void renameEntry();
    void deleteFiles();
    void upOneLevel();

    [[nodiscard]] FileListModel *files() const { return m_files; }
    [[nodiscard]] QAbstractItemView *fileView() const;
    [[nodiscard]] QTreeView *folderTree() const { return m_tree; }
    [[nodiscard]] QLineEdit *maskEdit() const { return m_mask; }

signals:
    void folderChanged(const QString &folder);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void fillDrives();
    void showFolderInTree();
    void entryActivated(int row);
    [[nodiscard]] QString pathOf(const QString &name) const;
    [[nodiscard]] QString driveOf(const QString &path) const;

    const TMsgLanguage &m_texts;
    QString m_folder;
    bool m_syncing = false;
    QComboBox *m_drive = nullptr;
    QFileSystemModel *m_dirs = nullptr;
    QTreeView *m_tree = nullptr;
    FileListModel *m_files = nullptr;
    QTreeView *m_details = nullptr;
    QListView *m_icons = nullptr;
    QStackedWidget *m_fileViews = nullptr;
    QLineEdit *m_mask = nullptr;
    QTimer *m_scroll = nullptr;
};

} // namespace varnholt
