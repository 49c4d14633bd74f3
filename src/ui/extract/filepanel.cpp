#include "filepanel.h"

#include "fasmodels.h"

#include "ui/common/inputform.h"
#include "ui/common/messagebox.h"
#include "ui/common/msglanguage.h"
#include "ui/common/shellopen.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QSplitter>
#include <QStackedWidget>
#include <QStorageInfo>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

namespace varnholt {

namespace {

enum Message {
    msgAttention = 18,
    msgCreateDirectory = 20,
    msgEnterDirectoryName = 21,
    msgCannotRemove = 22,
    msgRename = 23,
    msgEnterNewName = 24,
    msgSureToDelete = 25,
};

QString cleanFolder(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

TFilePanel::TFilePanel(const TMsgLanguage &texts, QWidget *parent)
    : QWidget(parent)
    , m_texts(texts)
{
    m_drive = new QComboBox(this);
    m_drive->setObjectName(QStringLiteral("DriveComboBox"));
    m_drive->setProperty("translate", false); // folders of this computer
    auto *driveLabel = new QLabel(QStringLiteral("Dri&ve"), this);
    driveLabel->setBuddy(m_drive);
    auto *up = new QToolButton(this);
    up->setObjectName(QStringLiteral("sbUp"));
    up->setText(QStringLiteral(".."));
    up->setToolTip(QStringLiteral("Up One Level"));
    up->setAccessibleName(QStringLiteral("Up One Level"));
    connect(up, &QToolButton::clicked, this, &TFilePanel::upOneLevel);

    m_dirs = new QFileSystemModel(this);
    m_dirs->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Hidden);
    m_dirs->setReadOnly(true);
    m_tree = new QTreeView(this);
    m_tree->setObjectName(QStringLiteral("DirectoryListBox"));
    m_tree->setAccessibleName(QStringLiteral("Folders"));
    m_tree->setModel(m_dirs);
    for (int c = 1; c < m_dirs->columnCount(); ++c)
        m_tree->hideColumn(c);
    m_tree->setHeaderHidden(true);
    m_tree->setTabKeyNavigation(false);
    // The tree learns a folder's subfolders later, in batches: the current
    // folder is scrolled into view again once the folders above it came.
    m_scroll = new QTimer(this);
    m_scroll->setSingleShot(true);
    m_scroll->setInterval(50);
    connect(m_scroll, &QTimer::timeout, this, [this] {
        m_tree->scrollTo(m_tree->currentIndex(), QAbstractItemView::PositionAtCenter);
    });
    connect(m_dirs, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex &parent) {
        const QString loaded = m_dirs->filePath(parent);
        const QString inside = loaded.endsWith(u'/') ? loaded : loaded + u'/';
        if (!loaded.isEmpty() && (m_folder == loaded || m_folder.startsWith(inside)))
            m_scroll->start();
    });
    connect(m_tree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex &current) {
                if (!m_syncing && current.isValid())
                    setFolder(m_dirs->filePath(current));
            });

    m_files = new FileListModel(this);
    m_details = new QTreeView(this);
    m_details->setObjectName(QStringLiteral("FileListView"));
    m_details->setAccessibleName(QStringLiteral("Files"));
    m_details->setModel(m_files);
    m_details->setRootIsDecorated(false);
    m_details->setUniformRowHeights(true);
    m_details->setAllColumnsShowFocus(true);
    m_details->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_details->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_details->header()->setStretchLastSection(false);
    m_details->setColumnWidth(0, 130);
    m_details->setColumnWidth(1, 60);
    m_details->setColumnWidth(2, 84);
    m_icons = new QListView(this);
    m_icons->setObjectName(QStringLiteral("FileIconView"));
    m_icons->setAccessibleName(QStringLiteral("Files"));
    m_icons->setModel(m_files);
    m_icons->setSelectionModel(m_details->selectionModel());
    m_icons->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_icons->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_icons->setResizeMode(QListView::Adjust);
    m_icons->setUniformItemSizes(true);
    m_fileViews = new QStackedWidget(this);
    m_fileViews->addWidget(m_details);
    m_fileViews->addWidget(m_icons);
    const QList<QAbstractItemView *> fileViews{m_details, m_icons};
    for (QAbstractItemView *view : fileViews) {
        connect(view, &QAbstractItemView::activated, this, [this](const QModelIndex &i) { entryActivated(i.row()); });
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view, &QWidget::customContextMenuRequested, this, [this, view](const QPoint &at) {
            QMenu menu(this);
            QMenu *styles = menu.addMenu(QStringLiteral("&View"));
            const std::pair<const char *, ViewStyle> items[] = {{"&Large Icons", ViewStyle::LargeIcons},
                                                                {"&Small Icons", ViewStyle::SmallIcons},
                                                                {"&List", ViewStyle::List},
                                                                {"&Details", ViewStyle::Details}};
            for (const auto &[text, style] : items) {
                const ViewStyle s = style;
                connect(styles->addAction(QString::fromLatin1(text)), &QAction::triggered, this,
                        [this, s] { setViewStyle(s); });
            }
            menu.exec(view->viewport()->mapToGlobal(at));
        });
    }

    m_mask = new QLineEdit(QStringLiteral("*.*"), this);
    m_mask->setObjectName(QStringLiteral("eMask"));
    auto *maskLabel = new QLabel(QStringLiteral("File Mas&k"), this);
    maskLabel->setBuddy(m_mask);

    const auto command = [this](const QString &name, const QString &caption, const QString &hint,
                                void (TFilePanel::*handler)()) {
        auto *b = new QToolButton(this);
        b->setObjectName(name);
        b->setText(caption);
        b->setToolTip(hint);
        b->setAccessibleName(caption);
        b->setFocusPolicy(Qt::StrongFocus);
        connect(b, &QToolButton::clicked, this, handler);
        return b;
    };
    auto *commands = new QHBoxLayout;
    commands->setSpacing(2);
    commands->addWidget(command(QStringLiteral("sbView"), QStringLiteral("View"), QStringLiteral("View File"),
                                &TFilePanel::viewFile));
    commands->addWidget(command(QStringLiteral("sbRun"), QStringLiteral("Run"), QStringLiteral("Run Application"),
                                &TFilePanel::runFile));
    commands->addWidget(command(QStringLiteral("sbMakeDir"), QStringLiteral("MakeDir"),
                                QStringLiteral("Make Directory"), &TFilePanel::makeDir));
    commands->addWidget(command(QStringLiteral("sbRemoveDir"), QStringLiteral("Remove Dir"),
                                QStringLiteral("Remove Directory"), &TFilePanel::removeDir));
    commands->addWidget(command(QStringLiteral("sbRename"), QStringLiteral("Rename"), QStringLiteral("Rename File"),
                                &TFilePanel::renameEntry));
    commands->addWidget(command(QStringLiteral("sbDelete"), QStringLiteral("Delete"), QStringLiteral("Delete File"),
                                &TFilePanel::deleteFiles));
    commands->addStretch();

    auto *driveRow = new QHBoxLayout;
    driveRow->addWidget(driveLabel);
    driveRow->addWidget(m_drive, 1);
    driveRow->addWidget(up);
    auto *maskRow = new QHBoxLayout;
    maskRow->addWidget(maskLabel);
    maskRow->addWidget(m_mask, 1);

    auto *split = new QSplitter(Qt::Horizontal, this);
    split->addWidget(m_tree);
    split->addWidget(m_fileViews);
    split->setStretchFactor(0, 2);
    split->setStretchFactor(1, 3);
    split->setChildrenCollapsible(false);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(driveRow);
    layout->addWidget(split, 1);
    layout->addLayout(maskRow);
    layout->addLayout(commands);

    fillDrives();
    connect(m_drive, &QComboBox::activated, this, [this](int index) { setFolder(m_drive->itemText(index)); });
}

void TFilePanel::fillDrives()
{
    QStringList roots;
    for (const QFileInfo &drive : QDir::drives())
        roots << cleanFolder(drive.absoluteFilePath());
    for (const QStorageInfo &volume : QStorageInfo::mountedVolumes()) {
        if (volume.isValid() && volume.isReady())
            roots << cleanFolder(volume.rootPath());
    }
    roots.removeDuplicates();
    std::sort(roots.begin(), roots.end());
    m_drive->addItems(roots);
}

QString TFilePanel::driveOf(const QString &path) const
{
    QString best;
    for (int i = 0; i < m_drive->count(); ++i) {
        const QString root = m_drive->itemText(i);
        const bool inside = path == root || path.startsWith(root.endsWith(u'/') ? root : root + u'/');
        if (inside && root.size() > best.size())
            best = root;
    }
    return best;
}

bool TFilePanel::setFolder(const QString &path)
{
    if (path.isEmpty() || !QFileInfo(path).isDir())
        return false;
    const QString folder = cleanFolder(path);
    const bool changed = folder != m_folder;
    m_folder = folder;
    const int drive = m_drive->findText(driveOf(m_folder));
    if (drive >= 0)
        m_drive->setCurrentIndex(drive);
    showFolderInTree();
    refill();
    if (changed)
        emit folderChanged(m_folder);
    return true;
}

void TFilePanel::showFolderInTree()
{
    const bool was = std::exchange(m_syncing, true);
    const QString root = driveOf(m_folder);
    if (m_dirs->rootPath() != root) {
        m_dirs->setRootPath(root);
        m_tree->setRootIndex(m_dirs->index(root).parent());
    }
    const QModelIndex at = m_dirs->index(m_folder);
    // Not expanded: the tree lists a folder's entries to find its
    // subfolders, and a folder of many files would keep it busy.
    m_tree->setCurrentIndex(at);
    m_tree->scrollTo(at, QAbstractItemView::PositionAtCenter);
    m_syncing = was;
}

void TFilePanel::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Scrolling needs the laid-out tree.
    m_scroll->start();
}

QString TFilePanel::mask() const
{
    return m_mask->text();
}

void TFilePanel::setMask(const QString &mask)
{
    m_mask->setText(mask);
}

void TFilePanel::refill()
{
    m_files->fill(m_folder);
}

QAbstractItemView *TFilePanel::fileView() const
{
    return static_cast<QAbstractItemView *>(m_fileViews->currentWidget());
}

QStringList TFilePanel::selectedNames() const
{
    QModelIndexList rows = m_details->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
    QStringList names;
    for (const QModelIndex &i : rows) {
        if (const FileListModel::Entry *e = m_files->entry(i.row()))
            names << e->name;
    }
    if (names.isEmpty()) {
        // A current entry without a selection counts as chosen.
        if (const FileListModel::Entry *e = m_files->entry(m_details->currentIndex().row());
            e && m_details->selectionModel()->isSelected(m_details->currentIndex()))
            names << e->name;
    }
    return names;
}

void TFilePanel::selectNames(const QStringList &names)
{
    QItemSelectionModel *selection = m_details->selectionModel();
    selection->clearSelection();
    bool first = true;
    for (const QString &name : names) {
        const int row = m_files->rowOf(name);
        if (row < 0)
            continue;
        const QModelIndex i = m_files->index(row, 0);
        const auto flags = QItemSelectionModel::Select | QItemSelectionModel::Rows;
        if (first)
            selection->setCurrentIndex(i, flags);
        else
            selection->select(i, flags);
        first = false;
    }
}

void TFilePanel::setViewStyle(ViewStyle style)
{
    if (style == ViewStyle::Details) {
        m_fileViews->setCurrentWidget(m_details);
        return;
    }
    const bool large = style == ViewStyle::LargeIcons;
    m_icons->setViewMode(large ? QListView::IconMode : QListView::ListMode);
    m_icons->setIconSize(large ? QSize(32, 32) : QSize(16, 16));
    m_icons->setFlow(style == ViewStyle::List ? QListView::TopToBottom : QListView::LeftToRight);
    m_icons->setWrapping(true);
    m_icons->setGridSize(large ? QSize(96, 64) : style == ViewStyle::SmallIcons ? QSize(160, 20) : QSize());
    m_icons->setMovement(QListView::Static);
    m_fileViews->setCurrentWidget(m_icons);
}

QString TFilePanel::pathOf(const QString &name) const
{
    return QDir(m_folder).filePath(name);
}

void TFilePanel::entryActivated(int row)
{
    const FileListModel::Entry *e = m_files->entry(row);
    if (e && e->isDir)
        setFolder(pathOf(e->name));
}

void TFilePanel::viewFile()
{
    const QStringList names = selectedNames();
    if (!names.isEmpty())
        OpenWithDefaultApplication(pathOf(names.first()));
}

void TFilePanel::runFile()
{
    const QStringList names = selectedNames();
    if (!names.isEmpty())
        OpenWithDefaultApplication(pathOf(names.first()));
}

void TFilePanel::makeDir()
{
    if (m_folder.isEmpty())
        return;
    QString name;
    if (!TInputForm::execute(m_texts.text(msgCreateDirectory), m_texts.text(msgEnterDirectoryName) + u':', name,
                             TInputForm::kMaxLength, false, this))
        return;
    const QString path = m_folder + (m_folder.endsWith(u'/') ? QString() : QStringLiteral("/")) + name;
    if (name.isEmpty() || !QDir().mkdir(path)) {
        ShowMessageBox(QStringLiteral("Cannot create directory %1").arg(path), window()->windowTitle(), mbIconError);
        return;
    }
    setFolder(path);
}

void TFilePanel::removeDir()
{
    QString target;
    for (const QString &name : selectedNames()) {
        const FileListModel::Entry *e = m_files->entry(m_files->rowOf(name));
        if (e && e->isDir) {
            target = pathOf(name);
            break;
        }
    }
    // Else the current folder, unless it is the top of its drive.
    if (target.isEmpty() && m_folder != driveOf(m_folder))
        target = m_folder;
    if (target.isEmpty())
        return;
    target = cleanFolder(target);
    if (ShowMessageBox(target, window()->windowTitle(), mbYesNo | mbIconQuestion) != idYes)
        return;
    setFolder(QFileInfo(target).absolutePath());
    if (!QDir().rmdir(target))
        ShowMessageBox(m_texts.text(msgCannotRemove), m_texts.text(msgAttention), mbIconInformation);
    showFolderInTree();
    refill();
}

void TFilePanel::renameEntry()
{
    const QStringList names = selectedNames();
    if (names.isEmpty())
        return;
    QString name = names.first();
    if (!TInputForm::execute(m_texts.text(msgRename), m_texts.text(msgEnterNewName) + u':', name,
                             TInputForm::kMaxLength, false, this))
        return;
    // Only the name: an entry is renamed within its folder.
    const QString newName = QFileInfo(name).fileName();
    if (newName.isEmpty() || !QDir(m_folder).rename(names.first(), newName)) {
        ShowMessageBox(QStringLiteral("Cannot rename %1 to %2").arg(names.first(), newName), window()->windowTitle(),
                       mbIconError);
        return;
    }
    refill();
    selectNames({newName});
}

void TFilePanel::deleteFiles()
{
    const QStringList names = selectedNames();
    if (names.isEmpty())
        return;
    QStringList files;
    for (const QString &name : names) {
        const FileListModel::Entry *e = m_files->entry(m_files->rowOf(name));
        if (e && !e->isDir)
            files << name;
    }
    const QString shown = names.size() == 1 ? names.first() : files.join(u',');
    if (ShowMessageBox(m_texts.text(msgSureToDelete) + QStringLiteral(" :") + shown + QStringLiteral(" ?"),
                       m_texts.text(msgAttention), mbYesNo | mbIconQuestion)
        != idYes)
        return;
    // Folders are never deleted here.
    for (const QString &name : files)
        QFile::remove(pathOf(name));
    refill();
}

void TFilePanel::upOneLevel()
{
    const QString parent = QFileInfo(m_folder).absolutePath();
    if (!m_folder.isEmpty() && parent != m_folder)
        setFolder(parent);
}

} // namespace varnholt
