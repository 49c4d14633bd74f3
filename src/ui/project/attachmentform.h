#pragma once

#include "project/project.h"

#include <QDialog>
#include <QList>

class QFileSystemModel;
class QListView;
class QListWidget;
class QTreeView;

// `TAttachmentForm`, "Message Attachments": files are chosen on the left
// (folder tree and the files of the chosen folder) and collected on the
// right, one entry per path. "Attach" confirms; the caller then takes
// attachments() as the project's list.
namespace varnholt {

class TMsgLanguage;

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

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void addSelectedFiles();
    void refill(int select);

    QList<ProjectAttachment> m_entries;
    QFileSystemModel *m_folderModel;
    QFileSystemModel *m_fileModel;
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
