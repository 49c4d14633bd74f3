#include "ui/sending/saveform.h"
#include "ui/common/mnemonic.h"

#include "ui/common/inputform.h"
#include "ui/common/messagebox.h"
#include "ui/common/msglanguage.h"
#include "ui/common/shellopen.h"

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStorageInfo>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace varnholt {

namespace {

constexpr SaveRows kRows[] = {SaveRows::All, SaveRows::Sent, SaveRows::OtherSmtpError};
constexpr SaveFormat kFormats[] = {SaveFormat::EmailOnly, SaveFormat::ListFields, SaveFormat::EmailAndStatus,
                                   SaveFormat::ListFieldsAndStatus};

// Orders two entries of the same kind (folder or file) by `column`, in
// the column's natural direction: sizes largest first, dates oldest first,
// names and times as upper-case text.
bool entryLess(const QFileInfo &a, const QFileInfo &b, int column)
{
    switch (column) {
    case T_SaveForm::colSize:
        return a.size() > b.size();
    case T_SaveForm::colDate:
        return a.lastModified().date() < b.lastModified().date();
    case T_SaveForm::colTime:
        return a.lastModified().toString(u"hh:mm") < b.lastModified().toString(u"hh:mm");
    default:
        return a.fileName().toUpper() < b.fileName().toUpper();
    }
}

} // namespace

SaveDialogSettings &saveDialogSettings()
{
    static SaveDialogSettings settings;
    return settings;
}

QStringList T_SaveForm::defaultMessages()
{
    return {QStringLiteral("Create Directory"), QStringLiteral("Enter new directory name"),
            QStringLiteral("Rename"),           QStringLiteral("Enter new name"),
            QStringLiteral("Do you wish to remove file(s)"), QStringLiteral("and"),
            QStringLiteral("folder(es)"),       QStringLiteral("Attention")};
}

T_SaveForm::T_SaveForm(const SaveDialogSettings &settings, QWidget *parent)
    : QDialog(parent)
    , m_msl(new TMsgLanguage(QStringLiteral("T_SaveForm"), defaultMessages(), this))
{
    setObjectName(QStringLiteral("T_SaveForm"));
    setWindowTitle(QStringLiteral("Save dialog"));
    setModal(true);

    // Left: drive, up, folder tree.
    m_drive = new QComboBox(this);
    m_drive->setToolTip(QStringLiteral("Select drive"));
    for (const QStorageInfo &volume : QStorageInfo::mountedVolumes()) {
        if (volume.isValid() && volume.isReady() && m_drive->findText(volume.rootPath()) < 0)
            m_drive->addItem(volume.rootPath());
    }
    m_up = new QPushButton(QStringLiteral("U&p One Level"), this);
    m_up->setObjectName(QStringLiteral("sbUp"));
    m_dirs = new QFileSystemModel(this);
    m_dirs->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Hidden);
    m_dirs->setRootPath(QDir::rootPath());
    m_tree = new QTreeView(this);
    m_tree->setModel(m_dirs);
    m_tree->setToolTip(QStringLiteral("Directory on local computer"));
    m_tree->setAccessibleName(QStringLiteral("Folders"));
    m_tree->setHeaderHidden(true);
    for (int column = 1; column < m_dirs->columnCount(); ++column)
        m_tree->hideColumn(column);

    // Right: the folder's entries, the file name and the file buttons.
    m_files = new QTreeWidget(this);
    m_files->setRootIsDecorated(false);
    m_files->setAccessibleName(QStringLiteral("Files of the folder"));
    m_files->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_files->setHeaderLabels({QStringLiteral("Filename"), QStringLiteral("Size"), QStringLiteral("Date"),
                              QStringLiteral("Time")});
    m_files->header()->setSectionsClickable(true);
    m_files->header()->setSectionResizeMode(colName, QHeaderView::Stretch);
    m_files->header()->setStretchLastSection(false);
    m_fileTypes = new QComboBox(this);
    m_fileTypes->addItems({QStringLiteral("All files (*.*)"), QStringLiteral("Text files (*.txt)")});
    m_fileName = new QLineEdit(this);
    m_fileName->setToolTip(QStringLiteral("Enter file name to save results"));
    m_createFolder = new QPushButton(QStringLiteral("C&reate Folder"), this);
    m_createFolder->setObjectName(QStringLiteral("sbMakeDir"));
    m_rename = new QPushButton(QStringLiteral("R&ename"), this);
    m_rename->setObjectName(QStringLiteral("sbRename"));
    m_delete = new QPushButton(QStringLiteral("&Delete"), this);
    m_delete->setObjectName(QStringLiteral("sbDelete"));
    m_view = new QPushButton(QStringLiteral("Vie&w"), this);
    m_view->setObjectName(QStringLiteral("sbView"));
    m_run = new QPushButton(QStringLiteral("R&un"), this);
    m_run->setObjectName(QStringLiteral("sbRun"));

    // Options.
    auto *rowsBox = new QGroupBox(QStringLiteral("Save results"), this);
    rowsBox->setObjectName(QStringLiteral("gbRows"));
    auto *rowsLayout = new QVBoxLayout(rowsBox);
    for (int i = 0; i < 3; ++i) {
        m_rows[i] = new QRadioButton(WithMnemonic(saveRowsCaption(kRows[i]), u"lih"[i]), rowsBox);
        m_rows[i]->setObjectName(QStringLiteral("rbRows%1").arg(i));
        m_rows[i]->setChecked(kRows[i] == settings.rows);
        rowsLayout->addWidget(m_rows[i]);
    }
    auto *formatBox = new QGroupBox(QStringLiteral("Saving format"), this);
    formatBox->setObjectName(QStringLiteral("gbFormat"));
    auto *formatLayout = new QVBoxLayout(formatBox);
    for (int i = 0; i < 4; ++i) {
        m_formats[i] = new QRadioButton(WithMnemonic(saveFormatCaption(kFormats[i]), u"osmv"[i]), formatBox);
        m_formats[i]->setObjectName(QStringLiteral("rbFormat%1").arg(i));
        m_formats[i]->setChecked(kFormats[i] == settings.format);
        formatLayout->addWidget(m_formats[i]);
    }

    m_save = new QPushButton(QStringLiteral("S&ave"), this);
    m_save->setObjectName(QStringLiteral("sbSave"));
    m_save->setDefault(true);
    m_cancel = new QPushButton(QStringLiteral("&Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("sbCancel"));

    auto *left = new QVBoxLayout;
    auto *driveRow = new QHBoxLayout;
    driveRow->addWidget(m_drive, 1);
    driveRow->addWidget(m_up);
    left->addLayout(driveRow);
    left->addWidget(m_tree);
    auto *right = new QVBoxLayout;
    right->addWidget(m_files);
    auto *typesRow = new QHBoxLayout;
    auto *typesLabel = new QLabel(QStringLiteral("File &types"), this);
    typesLabel->setBuddy(m_fileTypes);
    m_fileTypes->setObjectName(QStringLiteral("fileTypes"));
    typesRow->addWidget(typesLabel);
    typesRow->addWidget(m_fileTypes, 1);
    right->addLayout(typesRow);
    auto *nameLabel = new QLabel(QStringLiteral("Enter file &name to save results"), this);
    nameLabel->setBuddy(m_fileName);
    m_fileName->setObjectName(QStringLiteral("fileName"));
    right->addWidget(nameLabel);
    right->addWidget(m_fileName);
    auto *fileButtons = new QHBoxLayout;
    for (QPushButton *button : {m_createFolder, m_rename, m_delete, m_view, m_run})
        fileButtons->addWidget(button);
    right->addLayout(fileButtons);
    auto *browser = new QHBoxLayout;
    browser->addLayout(left, 2);
    browser->addLayout(right, 3);
    auto *options = new QHBoxLayout;
    options->addWidget(rowsBox);
    options->addWidget(formatBox);
    auto *closeRow = new QHBoxLayout;
    closeRow->addStretch();
    closeRow->addWidget(m_save);
    closeRow->addWidget(m_cancel);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(browser, 1);
    layout->addLayout(options);
    layout->addLayout(closeRow);
    resize(820, 560);

    connect(m_drive, &QComboBox::textActivated, this, &T_SaveForm::setFolder);
    connect(m_up, &QPushButton::clicked, this, [this] {
        QDir dir(m_folder);
        if (dir.cdUp())
            setFolder(dir.path());
    });
    connect(m_tree, &QTreeView::clicked, this, [this](const QModelIndex &index) { setFolder(m_dirs->filePath(index)); });
    // The tree's folders load in the background: show the current one once
    // its parents are there.
    connect(m_dirs, &QFileSystemModel::directoryLoaded, this, [this] {
        const QModelIndex index = m_dirs->index(m_folder);
        m_tree->setCurrentIndex(index);
        m_tree->scrollTo(index);
    });
    connect(m_files->header(), &QHeaderView::sectionClicked, this, &T_SaveForm::sortByColumn);
    connect(m_files, &QTreeWidget::itemClicked, this, &T_SaveForm::entryClicked);
    connect(m_files, &QTreeWidget::itemActivated, this, &T_SaveForm::entryActivated);
    connect(m_files, &QTreeWidget::itemSelectionChanged, this, &T_SaveForm::updateButtons);
    connect(m_createFolder, &QPushButton::clicked, this, &T_SaveForm::createFolderClick);
    connect(m_rename, &QPushButton::clicked, this, &T_SaveForm::renameClick);
    connect(m_delete, &QPushButton::clicked, this, &T_SaveForm::deleteClick);
    connect(m_view, &QPushButton::clicked, this, &T_SaveForm::viewClick);
    connect(m_run, &QPushButton::clicked, this, &T_SaveForm::runClick);
    connect(m_save, &QPushButton::clicked, this, &QDialog::accept);
    // Without a name there is nothing to save to (it would become ".txt"
    // in whatever folder the program runs in).
    connect(m_fileName, &QLineEdit::textChanged, this,
            [this](const QString &text) { m_save->setEnabled(!text.trimmed().isEmpty()); });
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);

    TranslationRegistry::instance().announce(this, m_msl);

    m_fileName->setText(settings.fileName);
    m_save->setEnabled(!settings.fileName.trimmed().isEmpty());
    QString start = settings.fileName.isEmpty() ? QString() : QFileInfo(settings.fileName).absolutePath();
    if (start.isEmpty() || !QFileInfo(start).isDir())
        start = QDir::currentPath();
    setFolder(start);
}

void T_SaveForm::setFolder(const QString &folder)
{
    if (!QFileInfo(folder).isDir())
        return;
    m_folder = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    const QModelIndex index = m_dirs->index(m_folder);
    m_tree->setCurrentIndex(index);
    m_tree->scrollTo(index);
    const QString root = QStorageInfo(m_folder).rootPath();
    if (const int drive = m_drive->findText(root); drive >= 0)
        m_drive->setCurrentIndex(drive);
    if (!m_fileName->text().isEmpty())
        m_fileName->setText(QDir(m_folder).filePath(QFileInfo(m_fileName->text()).fileName()));
    fillFileList();
}

void T_SaveForm::sortByColumn(int column)
{
    m_sortReversed = column == m_sortColumn ? !m_sortReversed : false;
    m_sortColumn = column;
    fillFileList();
}

void T_SaveForm::fillFileList()
{
    m_entries = QDir(m_folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    // Folders stay before files whichever way the list is sorted.
    std::stable_sort(m_entries.begin(), m_entries.end(), [this](const QFileInfo &a, const QFileInfo &b) {
        if (a.isDir() != b.isDir())
            return a.isDir();
        return m_sortReversed ? entryLess(b, a, m_sortColumn) : entryLess(a, b, m_sortColumn);
    });
    m_files->clear();
    QList<QTreeWidgetItem *> items;
    for (const QFileInfo &entry : m_entries) {
        const QDateTime modified = entry.lastModified();
        auto *item = new QTreeWidgetItem({entry.fileName(), entry.isDir() ? QString() : QString::number(entry.size()),
                                          modified.toString(u"dd/MM/yyyy"), modified.toString(u"hh:mm")});
        item->setTextAlignment(colSize, Qt::AlignRight | Qt::AlignVCenter);
        items << item;
    }
    m_files->addTopLevelItems(items);
    updateButtons();
}

QList<QFileInfo> T_SaveForm::selectedEntries() const
{
    QList<QFileInfo> selected;
    for (QTreeWidgetItem *item : m_files->selectedItems())
        selected << m_entries.value(m_files->indexOfTopLevelItem(item));
    return selected;
}

std::optional<QFileInfo> T_SaveForm::selectedFile() const
{
    QTreeWidgetItem *current = m_files->currentItem();
    if (!current || !current->isSelected())
        return std::nullopt;
    const QFileInfo entry = m_entries.value(m_files->indexOfTopLevelItem(current));
    if (entry.isDir())
        return std::nullopt;
    return entry;
}

void T_SaveForm::updateButtons()
{
    const bool file = selectedFile().has_value();
    for (QPushButton *button : {m_rename, m_delete, m_view, m_run})
        button->setEnabled(file);
}

void T_SaveForm::entryClicked()
{
    QTreeWidgetItem *current = m_files->currentItem();
    if (current)
        m_fileName->setText(QDir(m_folder).filePath(current->text(colName)));
}

void T_SaveForm::entryActivated()
{
    QTreeWidgetItem *current = m_files->currentItem();
    if (!current)
        return;
    const QFileInfo entry = m_entries.value(m_files->indexOfTopLevelItem(current));
    if (entry.isDir())
        setFolder(entry.absoluteFilePath());
}

void T_SaveForm::createFolderClick()
{
    QString name;
    if (!TInputForm::execute(m_msl->text(msCreateDirectory), m_msl->text(msEnterDirectoryName) + u':', name,
                             TInputForm::kMaxLength, false, this)
        || name.trimmed().isEmpty())
        return;
    QDir dir(m_folder);
    if (dir.mkpath(name))
        setFolder(dir.filePath(name));
    else
        fillFileList();
}

void T_SaveForm::renameClick()
{
    const auto file = selectedFile();
    if (!file)
        return;
    QString name = file->fileName();
    if (!TInputForm::execute(m_msl->text(msRename), m_msl->text(msEnterNewName) + u':', name,
                             TInputForm::kMaxLength, false, this)
        || name.isEmpty() || name == file->fileName())
        return;
    QDir(m_folder).rename(file->fileName(), name);
    fillFileList();
}

void T_SaveForm::deleteClick()
{
    const QList<QFileInfo> selected = selectedEntries();
    const auto folders = std::count_if(selected.begin(), selected.end(), [](const QFileInfo &e) { return e.isDir(); });
    const auto files = selected.size() - folders;
    if (selected.isEmpty())
        return;
    QString question = m_msl->text(msRemoveFiles) + QStringLiteral(" : ") + QString::number(files);
    if (folders > 0)
        question += u' ' + m_msl->text(msAnd) + u' ' + QString::number(folders) + u' ' + m_msl->text(msFolders);
    if (ShowMessageBox(question, m_msl->text(msAttention), mbYesNo | mbIconQuestion) != idYes)
        return;
    for (const QFileInfo &entry : selected) {
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.absoluteFilePath()).removeRecursively();
        else
            QFile::remove(entry.absoluteFilePath());
    }
    fillFileList();
}

void T_SaveForm::viewClick()
{
    if (const auto file = selectedFile())
        OpenInTextEditor(file->absoluteFilePath());
}

void T_SaveForm::runClick()
{
    if (const auto file = selectedFile())
        OpenWithDefaultApplication(file->absoluteFilePath());
}

SaveDialogSettings T_SaveForm::settings(const SaveDialogSettings &previous) const
{
    SaveDialogSettings out = previous;
    for (int i = 0; i < 3; ++i) {
        if (m_rows[i]->isChecked())
            out.rows = kRows[i];
    }
    for (int i = 0; i < 4; ++i) {
        if (m_formats[i]->isChecked())
            out.format = kFormats[i];
    }
    if (result() == QDialog::Accepted)
        out.fileName = resultFileName(m_fileName->text());
    return out;
}

bool ShowSaveForm(SaveDialogSettings &settings, QWidget *parent)
{
    T_SaveForm form(settings, parent);
    const bool saved = form.exec() == QDialog::Accepted;
    settings = form.settings(settings);
    return saved;
}

bool SaveResults(const ResultTable &results, const ListTable &list, QChar delimiter, QWidget *parent)
{
    SaveDialogSettings &settings = saveDialogSettings();
    if (!ShowSaveForm(settings, parent))
        return false;
    // A result file that cannot be written is not reported.
    writeResultFile(settings.fileName, results, list, delimiter, settings.rows, settings.format);
    return true;
}

} // namespace varnholt
