#pragma once

#include "project/project.h"

#include <QDialog>
#include <QList>

class QComboBox;
class QFileSystemModel;
class QListView;
class QListWidget;
class QTreeView;

// `TAttachmentForm`, "Message Attachments": files are chosen on the left
// (drive box, folder tree of the chosen drive and the files of the chosen
// folder) and collected on the right, one entry per path. "Attach" confirms; the caller then takes
// attachments() as the project's list.
namespace varnholt {

class TMsgLanguage;

// One mounted file system as the drive box sees it.
struct MountedVolume {
    QString rootPath;
    QString name;           // the volume's label, often empty
    QByteArray fileSystemType;
    bool ready = false;     // valid and mounted
    bool directory = false; // the root is a folder (not a file mounted over a file)
};

// The entries of the drive box.
struct DriveEntry {
    QString path;
    QString label;
    bool home = false;
};

// The drives worth offering: ready volumes whose root is a folder, without
// file systems in memory or packed images (tmpfs, ramfs, squashfs) and
// without repeats; "/" first, the others by path; then `home` unless it is
// already one of them (empty: none).
[[nodiscard]] QList<DriveEntry> DriveEntries(const QList<MountedVolume> &volumes, const QString &home);
// The computer's mounted file systems.
[[nodiscard]] QList<MountedVolume> MountedVolumes();

class TAttachmentForm : public QDialog
{
    Q_OBJECT
public:
    explicit TAttachmentForm(const QList<ProjectAttachment> &attachments, QWidget *parent = nullptr);

    [[nodiscard]] const QList<ProjectAttachment> &attachments() const { return m_entries; }

    // "Add  >>" for one path: a path already listed (exact comparison) is
    // not added twice. Returns whether an entry was added; the entry of the
    // path is selected either way.
    bool addPath(const QString &path);
    // "Remove <<": removes the selected entry.
    void removeSelected();

    [[nodiscard]] QListWidget *attachmentList() const { return m_list; }
    [[nodiscard]] QListView *fileList() const { return m_files; }
    [[nodiscard]] QComboBox *driveBox() const { return m_drives; }
    [[nodiscard]] QTreeView *folderTree() const { return m_folders; }
    // The folder whose files the file list shows.
    [[nodiscard]] QString shownFolder() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void addSelectedFiles();
    void refill(int select);
    void fillDriveBox(const QString &home);
    void driveChosen(int index);
    void showFolder(const QString &folder);

    QList<ProjectAttachment> m_entries;
    QFileSystemModel *m_folderModel;
    QFileSystemModel *m_fileModel;
    QComboBox *m_drives;
    QTreeView *m_folders;
    QListView *m_files;
    QListWidget *m_list;
    TMsgLanguage *m_msl;
};

// The icon of an attachment entry, chosen by the first part of its MIME
// type; `fallback` is used for an empty type ("" for none).
[[nodiscard]] QIcon attachmentIcon(const QString &mimeType, const QString &fallback = {});
// "name" or "name (description)".
[[nodiscard]] QString attachmentLabel(const ProjectAttachment &attachment);

} // namespace varnholt
