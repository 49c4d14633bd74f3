#include "ui/listtools/impparlowen.h"
#include "ui/listtools/importwindows.h"

#include "listtools/addressbookimport.h"
#include "project/listtable.h"
#include "ui/common/msglanguage.h"
#include "ui/common/progaddress.h"

#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace varnholt {

namespace {

QStringList defaultMessages()
{
    return {
        QStringLiteral("Default"),   // 0
        QStringLiteral("Attention"), // 1
        QStringLiteral("Loading"),   // 2
        QStringLiteral("Importing"), // 3
    };
}

constexpr int kIdRole = Qt::UserRole;

} // namespace

TImpParlowen::TImpParlowen(ListTable &table, QWidget *parent)
    : QDialog(parent)
    , m_table(table)
    , m_msl(new TMsgLanguage(QStringLiteral("TImpParlowen"), defaultMessages(), this))
{
    setObjectName(QStringLiteral("TImpParlowen"));
    setWindowTitle(QStringLiteral("Import addressbook from Parlowen"));
    setModal(true);

    auto *layout = new QVBoxLayout(this);
    auto *folderLabel = new QLabel(QStringLiteral("&Folder of the address books"), this);
    layout->addWidget(folderLabel);
    auto *row = new QHBoxLayout;
    m_folderEdit = new QLineEdit(this);
    m_folderEdit->setObjectName(QStringLiteral("folder"));
    folderLabel->setBuddy(m_folderEdit);
    m_browse = new QToolButton(this);
    m_browse->setText(QStringLiteral("..."));
    m_browse->setAccessibleName(QStringLiteral("Choose the folder"));
    m_browse->setFocusPolicy(Qt::StrongFocus);
    row->addWidget(m_folderEdit, 1);
    row->addWidget(m_browse);
    layout->addLayout(row);
    connect(m_folderEdit, &QLineEdit::editingFinished, this, [this] {
        if (m_folderEdit->text() != m_folder)
            setFolder(m_folderEdit->text());
    });
    connect(m_browse, &QToolButton::clicked, this, &TImpParlowen::browseClicked);

    auto *treeLabel = new QLabel(QStringLiteral("&Address books"), this);
    layout->addWidget(treeLabel);
    m_tree = new QTreeWidget(this);
    m_tree->setColumnCount(1);
    m_tree->setHeaderLabels({QStringLiteral("Mailing List Name / Address Book")});
    m_tree->setRootIsDecorated(false);
    m_tree->setTabKeyNavigation(false);
    m_tree->setAccessibleName(QStringLiteral("Address books"));
    m_tree->setObjectName(QStringLiteral("addressBooks"));
    treeLabel->setBuddy(m_tree);
    layout->addWidget(m_tree, 1);
    connect(m_tree, &QTreeWidget::currentItemChanged, this, &TImpParlowen::updateImportButton);
    connect(m_tree, &QTreeWidget::itemActivated, this, &TImpParlowen::importClicked);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_import = new QPushButton(QStringLiteral("&Import"), this);
    m_import->setObjectName(QStringLiteral("sbImport"));
    m_close = new QPushButton(QStringLiteral("&Close"), this);
    m_close->setObjectName(QStringLiteral("sbClose"));
    m_import->setDefault(true);
    buttons->addWidget(m_import);
    buttons->addWidget(m_close);
    layout->addLayout(buttons);
    connect(m_import, &QPushButton::clicked, this, &TImpParlowen::importClicked);
    connect(m_close, &QPushButton::clicked, this, &QDialog::close);

    TranslationRegistry::instance().announce(this, m_msl);
    resize(520, 420);
    setFolder(QDir::currentPath());
}

TImpParlowen::~TImpParlowen()
{
    // The folder box loses the focus while the window goes and would report
    // an edit to a half-destroyed window.
    m_folderEdit->disconnect(this);
}

void TImpParlowen::setFolder(const QString &folder)
{
    m_folder = folder;
    if (m_folderEdit->text() != folder)
        m_folderEdit->setText(folder);
    m_tree->clear();
    const auto books = addressBooksIn(folder, m_msl->text(0));
    m_listFileFound = books.has_value();
    if (books) {
        for (const AddressBookEntry &book : *books) {
            auto *item = new QTreeWidgetItem(m_tree, {book.name});
            item->setData(0, kIdRole, book.id);
        }
        m_tree->setCurrentItem(m_tree->topLevelItem(0));
    }
    updateImportButton();
}

void TImpParlowen::updateImportButton()
{
    m_import->setEnabled(m_listFileFound && m_tree->currentItem());
}

void TImpParlowen::browseClicked()
{
    const QString chosen = QFileDialog::getExistingDirectory(this, QStringLiteral("Folder of the address books"),
                                                             m_folder);
    if (!chosen.isEmpty())
        setFolder(chosen);
}

void TImpParlowen::importClicked()
{
    QTreeWidgetItem *item = m_tree->currentItem();
    if (!item || !m_listFileFound)
        return;
    const qint64 id = item->data(0, kIdRole).toLongLong();
    DelayedProgress progress(this, [this] { return m_msl->text(3) + QStringLiteral(".."); });
    const AddressBookImportResult result = importAddressBookRecords(
        m_folder, id, m_table, [&progress](int done, int total) { return progress.step(done, total); });
    progress.finish();
    if (result.imported)
        m_imported = true;
}

bool ImportParlowenAddressBook(QWidget *parent, ListTable &table)
{
    TImpParlowen window(table, parent);
    window.exec();
    return window.imported();
}

} // namespace varnholt
