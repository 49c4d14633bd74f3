#include "ui/listtools/filterform.h"

#include "listtools/listfilter.h"
#include "settings/programfolder.h"
#include "settings/textfile.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"
#include "ui/common/msglanguage.h"
#include "ui/common/progaddress.h"
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

QStringList listToolDelimiters()
{
    QStringList out;
    for (const QChar c : QStringLiteral(",./\\|+=-:;<>@!~#$%^&*(){}"))
        out << QString(c);
    return out;
}

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

    m_view = new QTableView(this);
    m_view->setModel(&m_keywords);
    m_view->setAccessibleName(QStringLiteral("Keywords"));
    m_view->setTabKeyNavigation(false);
    m_view->horizontalHeader()->setDefaultSectionSize(240);
    m_view->verticalHeader()->setDefaultSectionSize(20);

    m_keywordColumn = new QComboBox(this);
    m_keywordColumn->setObjectName(QStringLiteral("ComboBox3"));
    m_targetColumn = new QComboBox(this);
    m_targetColumn->setObjectName(QStringLiteral("cbTo"));
    // The target's titles: "Column#1", ... (never empty here).
    m_targetColumn->addItems(target.titles());
    m_delimiter = new QComboBox(this);
    m_delimiter->setObjectName(QStringLiteral("SectionSymbol"));
    m_delimiter->addItems(listToolDelimiters());
    m_delimiter->setCurrentText(QStringLiteral(";"));

    auto *modeBox = new QGroupBox(QStringLiteral("The value "), this);
    m_equal = new QRadioButton(QStringLiteral("Is &equal exactly"), modeBox);
    m_contains = new QRadioButton(QStringLiteral("Co&ntains keywords"), modeBox);
    m_equal->setChecked(true);
    auto *modeLayout = new QVBoxLayout(modeBox);
    modeLayout->addWidget(m_equal);
    modeLayout->addWidget(m_contains);

    m_load = new QPushButton(QStringLiteral("&Load File"), this);
    m_load->setToolTip(QStringLiteral("Load a text file with keyword of filter"));
    m_saveAs = new QPushButton(QStringLiteral("&Save File As"), this);
    m_saveAs->setToolTip(QStringLiteral("Save keywords as a text file"));
    m_add = new QPushButton(QStringLiteral("&Add Keyword"), this);
    m_add->setToolTip(QStringLiteral("Click to add keywords of filter"));
    m_delete = new QPushButton(QStringLiteral("&Delete Keyword"), this);
    m_delete->setToolTip(QStringLiteral("Click to delete keywords of filter"));
    m_apply = new QPushButton(QStringLiteral("&Filter"), this);
    m_apply->setToolTip(QStringLiteral("Filter the addressbook"));
    m_close = new QPushButton(QStringLiteral("&Close"), this);

    auto *useLabel = new QLabel(QStringLiteral("&Use keywords from field"), this);
    useLabel->setBuddy(m_keywordColumn);
    auto *toListLabel = new QLabel(QStringLiteral("to filter mailing list"), this);
    auto *targetLabel = new QLabel(QStringLiteral("Apply filter &to"), this);
    targetLabel->setBuddy(m_targetColumn);
    auto *delimiterLabel = new QLabel(QStringLiteral("Field deli&miter"), this);
    delimiterLabel->setBuddy(m_delimiter);

    auto *fileButtons = new QHBoxLayout;
    for (QPushButton *b : {m_load, m_saveAs, m_add, m_delete})
        fileButtons->addWidget(b);
    fileButtons->addStretch();
    fileButtons->addWidget(delimiterLabel);
    fileButtons->addWidget(m_delimiter);

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
    layout->addLayout(fileButtons);
    layout->addWidget(m_view, 1);
    layout->addLayout(bottom);
    layout->addLayout(closeRow);
    resize(720, 480);

    connect(m_load, &QPushButton::clicked, this, &TFilterForm1::loadFileClick);
    connect(m_saveAs, &QPushButton::clicked, this, &TFilterForm1::saveFileAsClick);
    connect(m_add, &QPushButton::clicked, this, &TFilterForm1::addKeywordClick);
    connect(m_delete, &QPushButton::clicked, this, &TFilterForm1::deleteKeywordClick);
    connect(m_apply, &QPushButton::clicked, this, &TFilterForm1::applyFilterClick);
    connect(m_close, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_delimiter, &QComboBox::currentIndexChanged, this, &TFilterForm1::readKeywordFile);
    auto edited = [this] {
        if (!m_reading) {
            m_keywordsEdited = true;
            updateSaveAllowed();
        }
    };
    connect(&m_keywords, &QAbstractItemModel::dataChanged, this, edited);
    connect(&m_keywords, &QAbstractItemModel::rowsInserted, this, edited);
    connect(&m_keywords, &QAbstractItemModel::rowsRemoved, this, edited);

    TranslationRegistry::instance().announce(this, m_msl);

    // The keyword file of the program folder, made empty when missing.
    m_keywordFile = ProgramFolder::filePath(QStringLiteral("filter.txt"));
    if (!QFileInfo::exists(m_keywordFile))
        writeFileAtomically(m_keywordFile, QByteArrayView());
    readKeywordFile();
    setCaptionFor(m_keywordFile);
    m_load->setFocus();
}

QChar TFilterForm1::delimiter() const
{
    const QString text = m_delimiter->currentText();
    return text.isEmpty() ? QChar(u';') : text.front();
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

void TFilterForm1::updateSaveAllowed()
{
    m_saveAs->setEnabled(!m_keywordFile.isEmpty() || m_keywordsEdited);
}

void TFilterForm1::readKeywordFile()
{
    m_reading = true;
    m_keywords.clear();
    if (!m_keywordFile.isEmpty() && QFileInfo::exists(m_keywordFile)) {
        DelayedProgress progress(this, [this] { return m_msl->text(msOpenFilter) + QStringLiteral(".. ") + m_keywordFile; });
        m_keywords.load(m_keywordFile, delimiter(),
                        [&progress](qint64 position, qint64 maximum) { return progress.step(position, maximum); });
    }
    m_reading = false;
    fillKeywordColumns();
    updateSaveAllowed();
}

void TFilterForm1::loadFileClick()
{
    const auto chosen = ShowFileDialog(this, FileDialogKind::Open, m_msl->text(msOpenFilter), QString(),
                                       QStringLiteral("All (*)"));
    if (!chosen) {
        m_keywordFile.clear();
        updateSaveAllowed();
        return;
    }
    m_keywordFile = *chosen;
    readKeywordFile();
    setCaptionFor(m_keywordFile);
}

void TFilterForm1::saveFileAsClick()
{
    if (m_keywordFile.isEmpty() && !m_keywordsEdited)
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
    m_view->setCurrentIndex(cell);
    m_view->scrollTo(cell);
    m_view->setFocus();
}

void TFilterForm1::deleteKeywordClick()
{
    const QModelIndex current = m_view->currentIndex();
    if (!current.isValid())
        return;
    m_keywords.removeRows(current.row(), 1);
    const QModelIndex last = m_keywords.index(m_keywords.rowCount() - 1, std::max(0, m_keywordColumn->currentIndex()));
    m_view->setCurrentIndex(last);
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
