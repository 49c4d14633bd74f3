#include "attachmentform.h"

#include "ui/common/msglanguage.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QDropEvent>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QSplitter>
#include <QStorageInfo>
#include <QStyle>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace varnholt {

QIcon attachmentIcon(const QString &mimeType, const QString &fallback)
{
    QString type = mimeType.section(u'/', 0, 0).toLower();
    if (type.isEmpty())
        type = fallback;
    QStyle *style = QApplication::style();
    if (type == u"image" || type == u"video")
        return style->standardIcon(QStyle::SP_DesktopIcon);
    if (type == u"audio")
        return style->standardIcon(QStyle::SP_MediaVolume);
    if (type == u"message")
        return style->standardIcon(QStyle::SP_MessageBoxInformation);
    if (type == u"text")
        return style->standardIcon(QStyle::SP_FileIcon);
    if (type == u"application")
        return style->standardIcon(QStyle::SP_FileDialogDetailedView);
    return {};
}

QString attachmentLabel(const ProjectAttachment &attachment)
{
    if (attachment.description.isEmpty())
        return attachment.displayName;
    return attachment.displayName + QStringLiteral(" (") + attachment.description + u')';
}

QList<DriveEntry> DriveEntries(const QList<MountedVolume> &volumes, const QString &home)
{
    // File systems in memory (a /run, a /tmp) and packed images (one per
    // installed snap) are mounted by the system, not where files to attach live.
    static const QByteArrayList notDrives{"tmpfs", "ramfs", "squashfs"};
    QList<DriveEntry> entries;
    for (const MountedVolume &v : volumes) {
        if (!v.ready || !v.directory || v.rootPath.isEmpty() || notDrives.contains(v.fileSystemType))
            continue;
        if (std::any_of(entries.cbegin(), entries.cend(), [&](const DriveEntry &e) { return e.path == v.rootPath; }))
            continue;
        const bool named = !v.name.isEmpty() && v.name != v.rootPath;
        entries.append({v.rootPath, named ? v.rootPath + QStringLiteral(" [") + v.name + u']' : v.rootPath, false});
    }
    const QString root = QDir::rootPath();
    std::stable_sort(entries.begin(), entries.end(), [&root](const DriveEntry &a, const DriveEntry &b) {
        return std::pair(a.path != root, a.path) < std::pair(b.path != root, b.path);
    });
    if (!home.isEmpty()
        && std::none_of(entries.cbegin(), entries.cend(), [&](const DriveEntry &e) { return e.path == home; }))
        entries.append({home, home, true});
    return entries;
}

QList<MountedVolume> MountedVolumes()
{
    QList<MountedVolume> volumes;
    for (const QStorageInfo &info : QStorageInfo::mountedVolumes())
        volumes.append({info.rootPath(), info.name(), info.fileSystemType(), info.isValid() && info.isReady(),
                        QFileInfo(info.rootPath()).isDir()});
    return volumes;
}

TAttachmentForm::TAttachmentForm(const QList<ProjectAttachment> &attachments, QWidget *parent)
    : QDialog(parent)
    , m_entries(attachments)
    , m_folderModel(new QFileSystemModel(this))
    , m_fileModel(new QFileSystemModel(this))
    , m_drives(new QComboBox(this))
    , m_folders(new QTreeView(this))
    , m_files(new QListView(this))
    , m_list(new QListWidget(this))
    , m_msl(new TMsgLanguage(QStringLiteral("TAttachmentForm"),
                             {QStringLiteral("No application has been defined for MIME type"),
                              QStringLiteral("It is suggested that you use the application below to view this "
                                             "document. You may change this by pressing the Change button."),
                              QStringLiteral("Please press the Change button to select a viewer application for "
                                             "this MIME type"),
                              QStringLiteral("An error occured while launching the viewer application."),
                              QStringLiteral("An error occured while launching the viewer application.")},
                             this))
{
    setWindowTitle(QStringLiteral("Message Attachments"));
    resize(860, 520);

    m_drives->setObjectName(QStringLiteral("driveBox"));
    m_drives->setProperty("translate", false); // folders of this computer
    m_folderModel->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot);
    m_folders->setModel(m_folderModel);
    for (int c = 1; c < m_folderModel->columnCount(); ++c)
        m_folders->hideColumn(c);
    m_folders->setHeaderHidden(true);

    m_fileModel->setFilter(QDir::Files | QDir::NoDotAndDotDot);
    m_files->setModel(m_fileModel);
    m_files->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_files->setDragEnabled(true);
    m_files->setDragDropMode(QAbstractItemView::DragOnly);
    connect(m_folders->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex &current) {
                if (current.isValid())
                    showFolder(m_folderModel->filePath(current));
            });
    fillDriveBox(QDir::homePath());
    connect(m_drives, &QComboBox::currentIndexChanged, this, &TAttachmentForm::driveChosen);

    m_list->setAcceptDrops(true);
    m_list->viewport()->setAcceptDrops(true);
    m_list->viewport()->installEventFilter(this);

    auto *add = new QPushButton(QStringLiteral("Add  >>"), this);
    add->setObjectName(QStringLiteral("addButton"));
    auto *remove = new QPushButton(QStringLiteral("Remove <<"), this);
    remove->setObjectName(QStringLiteral("removeButton"));
    connect(add, &QPushButton::clicked, this, &TAttachmentForm::addSelectedFiles);
    connect(remove, &QPushButton::clicked, this, &TAttachmentForm::removeSelected);
    auto *middle = new QVBoxLayout;
    middle->addStretch();
    middle->addWidget(add);
    middle->addWidget(remove);
    middle->addStretch();

    auto *tree = new QSplitter(Qt::Vertical, this);
    tree->addWidget(m_folders);
    tree->addWidget(m_files);
    auto *left = new QVBoxLayout;
    left->addWidget(m_drives);
    left->addWidget(tree, 1);
    auto *row = new QHBoxLayout;
    row->addLayout(left, 3);
    row->addLayout(middle);
    row->addWidget(m_list, 2);

    auto *buttons = new QDialogButtonBox(this);
    buttons->addButton(QStringLiteral("Attach"), QDialogButtonBox::AcceptRole)
        ->setObjectName(QStringLiteral("attachButton"));
    buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole)
        ->setObjectName(QStringLiteral("cancelButton"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);

    TranslationRegistry::instance().announce(this, m_msl);
    refill(m_entries.isEmpty() ? -1 : 0);
}

void TAttachmentForm::fillDriveBox(const QString &home)
{
    QList<DriveEntry> drives = DriveEntries(MountedVolumes(), home);
    if (drives.isEmpty())
        drives.append({QDir::rootPath(), QDir::rootPath(), false});
    QStyle *style = QApplication::style();
    // The tree starts on the home folder's entry, or on the drive holding
    // it: the entry with the longest path that the home folder lies in.
    int chosen = 0;
    qsizetype longest = -1;
    for (int i = 0; i < drives.size(); ++i) {
        const DriveEntry &d = drives[i];
        m_drives->addItem(style->standardIcon(d.home ? QStyle::SP_DirHomeIcon : QStyle::SP_DriveHDIcon), d.label,
                          d.path);
        const QString inside = d.path.endsWith(u'/') ? d.path : d.path + u'/';
        if ((home == d.path || home.startsWith(inside)) && d.path.size() > longest) {
            chosen = i;
            longest = d.path.size();
        }
    }
    m_drives->setCurrentIndex(chosen);
    driveChosen(chosen);
}

void TAttachmentForm::driveChosen(int index)
{
    const QString drive = m_drives->itemData(index).toString();
    if (drive.isEmpty())
        return;
    // The tree holds the drive's folders; its files are shown until a
    // folder is chosen.
    m_folderModel->setRootPath(drive);
    m_folders->setRootIndex(m_folderModel->index(drive));
    m_folders->setCurrentIndex({});
    showFolder(drive);
}

void TAttachmentForm::showFolder(const QString &folder)
{
    m_files->setRootIndex(m_fileModel->setRootPath(folder));
}

QString TAttachmentForm::shownFolder() const
{
    return m_fileModel->rootPath();
}

void TAttachmentForm::refill(int select)
{
    m_list->clear();
    for (const ProjectAttachment &a : std::as_const(m_entries))
        m_list->addItem(new QListWidgetItem(attachmentIcon(a.mimeType, QStringLiteral("text")), attachmentLabel(a)));
    m_list->setCurrentRow(select);
}

bool TAttachmentForm::addPath(const QString &path)
{
    if (path.isEmpty())
        return false;
    // Compared as it is stored (paths are kept to their first 255 characters).
    ProjectAttachment entry = ProjectAttachment::fromPath(path);
    for (int i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].fullPath == entry.fullPath) {
            m_list->setCurrentRow(i);
            return false;
        }
    }
    m_entries.append(std::move(entry));
    refill(int(m_entries.size()) - 1);
    return true;
}

void TAttachmentForm::removeSelected()
{
    const int row = m_list->currentRow();
    if (row < 0 || row >= m_entries.size())
        return;
    m_entries.removeAt(row);
    refill(std::min(row, int(m_entries.size()) - 1));
}

void TAttachmentForm::addSelectedFiles()
{
    for (const QModelIndex &index : m_files->selectionModel()->selectedIndexes())
        addPath(m_fileModel->filePath(index));
}

bool TAttachmentForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_list->viewport()) {
        if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
            auto *drag = static_cast<QDropEvent *>(event);
            if (drag->mimeData()->hasUrls()) {
                drag->acceptProposedAction();
                return true;
            }
        } else if (event->type() == QEvent::Drop) {
            auto *drop = static_cast<QDropEvent *>(event);
            for (const QUrl &url : drop->mimeData()->urls())
                if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile())
                    addPath(url.toLocalFile());
            drop->acceptProposedAction();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace varnholt
