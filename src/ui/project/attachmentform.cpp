#include "attachmentform.h"

#include "ui/common/msglanguage.h"

#include <QApplication>
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
#include <QStyle>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

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

TAttachmentForm::TAttachmentForm(const QList<ProjectAttachment> &attachments, QWidget *parent)
    : QDialog(parent)
    , m_entries(attachments)
    , m_folderModel(new QFileSystemModel(this))
    , m_fileModel(new QFileSystemModel(this))
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

    const QString start = QDir::homePath();
    m_folderModel->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    m_folderModel->setRootPath(QDir::rootPath());
    m_folders->setModel(m_folderModel);
    for (int c = 1; c < m_folderModel->columnCount(); ++c)
        m_folders->hideColumn(c);
    m_folders->setHeaderHidden(true);
    m_folders->setCurrentIndex(m_folderModel->index(start));
    m_folders->scrollTo(m_folderModel->index(start));

    m_fileModel->setFilter(QDir::Files | QDir::NoDotAndDotDot);
    m_files->setModel(m_fileModel);
    m_files->setRootIndex(m_fileModel->setRootPath(start));
    m_files->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_files->setDragEnabled(true);
    m_files->setDragDropMode(QAbstractItemView::DragOnly);
    connect(m_folders->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex &current) {
                m_files->setRootIndex(m_fileModel->setRootPath(m_folderModel->filePath(current)));
            });

    m_list->setAcceptDrops(true);
    m_list->viewport()->setAcceptDrops(true);
    m_list->viewport()->installEventFilter(this);

    auto *add = new QPushButton(QStringLiteral("Add  >>"), this);
    auto *remove = new QPushButton(QStringLiteral("Remove <<"), this);
    connect(add, &QPushButton::clicked, this, &TAttachmentForm::addSelectedFiles);
    connect(remove, &QPushButton::clicked, this, &TAttachmentForm::removeSelected);
    auto *middle = new QVBoxLayout;
    middle->addStretch();
    middle->addWidget(add);
    middle->addWidget(remove);
    middle->addStretch();

    auto *left = new QSplitter(Qt::Vertical, this);
    left->addWidget(m_folders);
    left->addWidget(m_files);
    auto *row = new QHBoxLayout;
    row->addWidget(left, 3);
    row->addLayout(middle);
    row->addWidget(m_list, 2);

    auto *buttons = new QDialogButtonBox(this);
    buttons->addButton(QStringLiteral("Attach"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);

    TranslationRegistry::instance().announce(this, m_msl);
    refill(m_entries.isEmpty() ? -1 : 0);
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
    for (int i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].fullPath == path) {
            m_list->setCurrentRow(i);
            return false;
        }
    }
    m_entries.append(ProjectAttachment::fromPath(path));
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
