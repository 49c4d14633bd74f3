#include "ui/listtools/filterform.h"

#include "listtools/listfilter.h"
#include "settings/programfolder.h"
#include "settings/textfile.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"
#include "ui/common/msglanguage.h"
#include "ui/common/progaddress.h"
#include "ui/listtools/keywordgrid.h"
#include "ui/listtools/listtoolwindows.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QVBoxLayout>

namespace varnholt {

QStringList TFilterForm1::defaultMessages()
{
    return {QStringLiteral("Filter"), QStringLiteral("Open Filter"), QStringLiteral("Save Filter as"),
            QStringLiteral("Filtered"), QStringLiteral("Filtered...Please enter file name to save removed addresses")};
}

TFilterForm1::TFilterForm1(ListTable &target, const QString &removedFolder, QWidget *parent)
    : QDialog(parent)
    , m_target(target)
    , m_removedFolder(removedFolder)
    , m_msl(new TMsgLanguage(QStringLiteral("TFilterForm1"), defaultMessages(), this))
{
    setObjectName(QStringLiteral("TFilterForm1"));
    setWindowTitle(m_msl->text(msFilter));
    setModal(true);

    m_grid = new KeywordGrid(&m_keywords, QStringLiteral("Keywords"), this);
    m_grid->view()->horizontalHeader()->setDefaultSectionSize(240);
    m_grid->loadButton()->setToolTip(QStringLiteral("Load a text file with keyword of filter"));
    m_grid->saveAsButton()->setToolTip(QStringLiteral("Save keywords as a text file"));
    m_grid->addButton()->setToolTip(QStringLiteral("Click to add keywords of filter"));
    m_grid->deleteButton()->setToolTip(QStringLiteral("Click to delete keywords of filter"));

    m_keywordColumn = new QComboBox(this);
    m_keywordColumn->setObjectName(QStringLiteral("ComboBox3"));
    m_keywordColumn->setProperty("translate", false); // the list's column titles
    m_targetColumn = new QComboBox(this);
    m_targetColumn->setObjectName(QStringLiteral("cbTo"));
    m_targetColumn->setProperty("translate", false); // the list's column titles
    // The target's titles: "Column#1", ... (never empty here).
    m_targetColumn->addItems(target.titles());

    auto *modeBox = new QGroupBox(QStringLiteral("The value "), this);
    modeBox->setObjectName(QStringLiteral("gbMode"));
    m_equal = new QRadioButton(QStringLiteral("Is &equal exactly"), modeBox);
    m_equal->setObjectName(QStringLiteral("rbEqual"));
    m_contains = new QRadioButton(QStringLiteral("Co&ntains keywords"), modeBox);
    m_contains->setObjectName(QStringLiteral("rbContains"));
    m_equal->setChecked(true);
    auto *modeLayout = new QVBoxLayout(modeBox);
    modeLayout->addWidget(m_equal);
    modeLayout->addWidget(m_contains);

    m_apply = new QPushButton(QStringLiteral("&Filter"), this);
    m_apply->setToolTip(QStringLiteral("Filter the addressbook"));
    m_close = new QPushButton(QStringLiteral("&Close"), this);
    m_close->setObjectName(QStringLiteral("sbClose"));

    auto *useLabel = new QLabel(QStringLiteral("&Use keywords from field"), this);
    useLabel->setBuddy(m_keywordColumn);
    auto *toListLabel = new QLabel(QStringLiteral("to filter mailing list"), this);
    toListLabel->setObjectName(QStringLiteral("lblToList"));
    auto *targetLabel = new QLabel(QStringLiteral("Apply filter &to"), this);
    targetLabel->setBuddy(m_targetColumn);

    auto *choices = new QGridLayout;
    choices->addWidget(useLabel, 0, 0);
    choices->addWidget(m_keywordColumn, 0, 1);
    choices->addWidget(toListLabel, 0, 2);
    choices->addWidget(targetLabel, 1, 0);
    choices->addWidget(m_targetColumn, 1, 1);
    choices->setColumnStretch(3, 1);

    auto *bottom = new QHBoxLayout;
    bottom->addLayout(choices, 1);
    bottom->addWidget(modeBox);
    auto *closeRow = new QHBoxLayout;
    closeRow->addStretch();
    closeRow->addWidget(m_apply);
    closeRow->addWidget(m_close);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(m_grid->fileRow());
    layout->addWidget(m_grid->view(), 1);
    layout->addLayout(bottom);
    layout->addLayout(closeRow);
    resize(720, 480);
    setTabChain({m_grid->view(), m_keywordColumn, m_targetColumn, m_grid->delimiterBox(), m_equal, m_contains,
                 m_grid->loadButton(), m_grid->saveAsButton(), m_grid->addButton(), m_grid->deleteButton(), m_apply,
                 m_close});

    connect(m_grid->loadButton(), &QPushButton::clicked, this, &TFilterForm1::loadFileClick);
    connect(m_grid->saveAsButton(), &QPushButton::clicked, this, &TFilterForm1::saveFileAsClick);
    connect(m_grid->addButton(), &QPushButton::clicked, this, &TFilterForm1::addKeywordClick);
    connect(m_grid->deleteButton(), &QPushButton::clicked, this, &TFilterForm1::deleteKeywordClick);
    connect(m_apply, &QPushButton::clicked, this, &TFilterForm1::applyFilterClick);
    connect(m_close, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_grid->delimiterBox(), &QComboBox::currentIndexChanged, this, &TFilterForm1::readKeywordFile);

    setProperty("translate", false); // the title names the keyword file
    TranslationRegistry::instance().announce(this, m_msl);

    // The keyword file of the program folder, made empty when missing.
    const QString keywordFile = ProgramFolder::filePath(QStringLiteral("filter.txt"));
    if (!QFileInfo::exists(keywordFile))
        writeFileAtomically(keywordFile, QByteArrayView());
    m_grid->setFile(keywordFile);
    readKeywordFile();
    setCaptionFor(keywordFile);
    m_grid->loadButton()->setFocus();
}

void TFilterForm1::setCaptionFor(const QString &file)
{
    setWindowTitle(m_msl->text(msFilter) + QStringLiteral(" - ") + QFileInfo(file).fileName());
}

void TFilterForm1::fillKeywordColumns()
{
    m_keywordColumn->clear();
    m_keywordColumn->addItems(m_keywords.titles());
    m_keywordColumn->setCurrentIndex(0);
}

void TFilterForm1::readKeywordFile()
{
    const QString file = m_grid->file();
    m_grid->refill([&] {
        m_keywords.clear();
        if (!file.isEmpty() && QFileInfo::exists(file)) {
            DelayedProgress progress(this, [this, file] { return m_msl->text(msOpenFilter) + QStringLiteral(".. ") + file; });
            m_keywords.load(file, m_grid->delimiter(),
                            [&progress](qint64 position, qint64 maximum) { return progress.step(position, maximum); });
        }
    });
    fillKeywordColumns();
}

void TFilterForm1::loadFileClick()
{
    const auto chosen = ShowFileDialog(this, FileDialogKind::Open, m_msl->text(msOpenFilter), QString(),
                                       QStringLiteral("All (*)"));
    if (!chosen) {
        m_grid->setFile({});
        return;
    }
    m_grid->setFile(*chosen);
    readKeywordFile();
    setCaptionFor(*chosen);
}

void TFilterForm1::saveFileAsClick()
{
    if (!m_grid->canSave())
        return;
    const auto chosen = ShowFileDialog(this, FileDialogKind::Save, m_msl->text(msSaveFilterAs), QString(),
                                       QStringLiteral("All (*)"));
    if (!chosen)
        return;
    const QString file = withExtension(*chosen, QStringLiteral(".txt"));
    QString error;
    if (!writeFileAtomically(file, keywordFileBytes(m_keywords), &error)) {
        ShowMessageBox(error, windowTitle(), mbIconError);
        return;
    }
    // The file re-read on a delimiter change stays the old one.
    setCaptionFor(file);
}

void TFilterForm1::addKeywordClick()
{
    const int row = m_keywords.rowCount();
    m_keywords.insertRows(row, 1);
    const QModelIndex cell = m_keywords.index(row, std::max(0, m_keywordColumn->currentIndex()));
    m_grid->view()->setCurrentIndex(cell);
    m_grid->view()->scrollTo(cell);
    m_grid->view()->setFocus();
}

void TFilterForm1::deleteKeywordClick()
{
    const QModelIndex current = m_grid->view()->currentIndex();
    if (!current.isValid())
        return;
    m_keywords.removeRows(current.row(), 1);
    const QModelIndex last = m_keywords.index(m_keywords.rowCount() - 1, std::max(0, m_keywordColumn->currentIndex()));
    m_grid->view()->setCurrentIndex(last);
}

void TFilterForm1::applyFilterClick()
{
    const int targetColumn = m_targetColumn->currentIndex();
    const int keywordColumn = m_keywordColumn->currentIndex();
    if (targetColumn < 0 || keywordColumn < 0)
        return;
    const FilterMode mode = m_equal->isChecked() ? FilterMode::IsEqualExactly : FilterMode::ContainsKeywords;

    TProgAddress *progress = TProgAddress::start(this, m_msl->text(msFiltered) + QStringLiteral(".."));
    progress->setMaximum(m_target.rowCount());
    const RemovalResult result =
        findFilterMatches(m_target, targetColumn, keywordsOfColumn(m_keywords, keywordColumn), mode,
                          [progress](qint64 done, qint64) {
                              progress->setPosition(done);
                              return progress->keepResponsive();
                          });
    // The removed records, taken before they leave the table.
    const QByteArray removed = result.stopped ? QByteArray() : removedRecordsBytes(m_target, result.removedRows);
    applyRemoval(m_target, result);
    progress->finish();
    if (result.stopped || result.removedRows.empty())
        return;

    m_changed = true;
    const QString folder = m_removedFolder.isEmpty() ? QDir::currentPath() : m_removedFolder;
    const auto chosen = ShowFileDialog(this, FileDialogKind::Save, m_msl->text(msSaveRemoved), folder,
                                       QStringLiteral("All (*)"));
    if (!chosen)
        return;
    QString error;
    if (!writeFileAtomically(withExtension(*chosen, QStringLiteral(".del")), removed, &error))
        ShowMessageBox(error, windowTitle(), mbIconError);
}

bool FilterAddressBook(QWidget *parent, ListTable &table, const QString &removedFolder)
{
    TFilterForm1 window(table, removedFolder, parent);
    window.exec();
    return window.changed();
}

} // namespace varnholt
