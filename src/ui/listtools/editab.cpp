#include "editab.h"

#include "listtoolwindows.h"

#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"
#include "ui/common/msglanguage.h"
#include "ui/common/progaddress.h"
#include "ui/extract/fasform.h"
#include "ui/sending/xlsxexport.h"

#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace varnholt {

namespace {

enum Message { msgEdit, msgLoad, msgSave, msgNew, msgExcelNotFound, msgAttention };

QStringList defaultMessages()
{
    return {QStringLiteral("Edit Address Book"), QStringLiteral("Load Address Book"),
            QStringLiteral("Save Address Book"), QStringLiteral("New Address Book"), QStringLiteral("Excel Not Found!"),
            QStringLiteral("Attention")};
}

// The editor titles its columns "Column 1", "Column 2", ...
class EditorTitles : public QIdentityProxyModel
{
public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
            return QStringLiteral("Column %1").arg(section + 1);
        return QIdentityProxyModel::headerData(section, orientation, role);
    }
};

// The "Number of columns" box offers 1 to 100; a list that is wider keeps
// its columns (none is dropped because a box is narrow).
constexpr int kColumnLimit = 100;

} // namespace

TEditAB::TEditAB(ListTable &projectTable, const QString &listFile, const QString &delimiter, QWidget *parent)
    : QDialog(parent)
    , m_projectTable(projectTable)
    , m_listFile(listFile)
    , m_msl(new TMsgLanguage(QStringLiteral("T_EditAB"), defaultMessages(), this))
{
    setObjectName(QStringLiteral("T_EditAB"));
    buildWindow();
    setProperty("translate", false); // the title names the list file
    TranslationRegistry::instance().announce(this, m_msl);

    m_delimiter->setText(delimiter.left(1));
    setWindowTitle(m_msl->text(msgEdit) + QStringLiteral(" (") + m_listFile + u')');
    // The working copy shares the project's cells until either side writes.
    m_table.assign(m_projectTable);
    showColumnCount();
    connect(&m_table, &QAbstractItemModel::dataChanged, this, [this] { setModified(); });
    m_modified = false;
}

void TEditAB::buildWindow()
{
    auto *titles = new EditorTitles(this);
    titles->setSourceModel(&m_table);
    m_view = new QTableView(this);
    m_view->setObjectName(QStringLiteral("sg"));
    m_view->setModel(titles);
    m_view->setAccessibleName(QStringLiteral("Mailing list"));
    m_view->setTabKeyNavigation(false);
    m_view->setWordWrap(false);
    m_view->horizontalHeader()->setDefaultSectionSize(200);
    m_view->verticalHeader()->setDefaultSectionSize(18);
    m_view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_view->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed
                            | QAbstractItemView::AnyKeyPressed);

    const auto button = [this](const QString &name, const QString &caption, const QString &hint,
                               void (TEditAB::*handler)()) {
        auto *b = new QPushButton(caption, this);
        b->setObjectName(name);
        b->setToolTip(hint);
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, handler);
        return b;
    };
    QList<QPushButton *> buttons{
        button(QStringLiteral("sbNew"), QStringLiteral("&New"), QStringLiteral("New Address Book"), &TEditAB::sbNewClick),
        button(QStringLiteral("sbOpen"), QStringLiteral("&Open"), QStringLiteral("Open Address Book"),
               &TEditAB::sbOpenClick),
        button(QStringLiteral("sbsave"), QStringLiteral("&Save"), QString(), &TEditAB::sbsaveClick),
        button(QStringLiteral("sbSaveAs"), QStringLiteral("Save &As"), QString(), &TEditAB::sbSaveAsClick),
        button(QStringLiteral("sbAdd"), QStringLiteral("A&dd Record"), QStringLiteral("Add new record into the addressbook"),
               &TEditAB::addRecord),
        button(QStringLiteral("sbDelete"), QStringLiteral("De&lete Record"), QStringLiteral("Delete record"),
               &TEditAB::deleteRecord),
        button(QStringLiteral("sbFilter"), QStringLiteral("&Filter"), QStringLiteral("Filter data in the addressbook"),
               &TEditAB::filterClick),
        button(QStringLiteral("sbReplace"), QStringLiteral("&Replace"), QStringLiteral("Replace data in the addressbook"),
               &TEditAB::replaceClick),
        button(QStringLiteral("sbUni"), QStringLiteral("Remove d&uplicates"),
               QStringLiteral("Remove duplicated records in the addressbook"), &TEditAB::removeDuplicatesClick),
        button(QStringLiteral("sbExcel"), QStringLiteral("Export to MS &Excel"), QString(), &TEditAB::exportToExcel),
    };
    // The extraction of data from files; its two buttons stand after "Replace".
    buttons.insert(8, button(QStringLiteral("sbOrvanel"), QStringLiteral("Or&vanel"), QString(), &TEditAB::orvanelClick));
    buttons.insert(9, button(QStringLiteral("sbExtract"), QStringLiteral("E&xtract Data"),
                             QStringLiteral("Extract Data from files"), &TEditAB::extractDataClick));
    auto *close = button(QStringLiteral("sbClose"), QStringLiteral("&Close"), QString(), nullptr);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    buttons << close;

    auto *bar = new QGridLayout;
    for (int i = 0; i < buttons.size(); ++i)
        bar->addWidget(buttons.at(i), i / 7, i % 7);

    m_delimiter = new QLineEdit(this);
    m_delimiter->setObjectName(QStringLiteral("eRz"));
    m_delimiter->setMaxLength(1);
    m_delimiter->setMaximumWidth(40);
    auto *delimiterLabel = new QLabel(QStringLiteral("Field Deli&miter"), this);
    delimiterLabel->setBuddy(m_delimiter);
    m_columns = new QSpinBox(this);
    m_columns->setObjectName(QStringLiteral("eCol"));
    m_columns->setRange(1, kColumnLimit);
    auto *columnsLabel = new QLabel(QStringLiteral("Num&ber of columns"), this);
    columnsLabel->setBuddy(m_columns);
    connect(m_columns, &QSpinBox::valueChanged, this, &TEditAB::columnCountChosen);

    auto *settings = new QHBoxLayout;
    settings->addWidget(delimiterLabel);
    settings->addWidget(m_delimiter);
    settings->addSpacing(20);
    settings->addWidget(columnsLabel);
    settings->addWidget(m_columns);
    settings->addStretch();

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addLayout(settings);
    layout->addWidget(m_view, 1);
    resize(1000, 640);
}

QString TEditAB::delimiter() const
{
    return m_delimiter->text();
}

QChar TEditAB::delimiterChar() const
{
    const QString text = m_delimiter->text();
    return text.isEmpty() ? QChar(u';') : text.at(0);
}

void TEditAB::showColumnCount()
{
    const bool was = std::exchange(m_filling, true);
    m_columns->setMaximum(std::max(kColumnLimit, m_table.columnCount()));
    m_columns->setValue(m_table.columnCount());
    m_filling = was;
    if (m_view->model()->columnCount() > 0)
        m_view->setColumnWidth(0, 232);
}

void TEditAB::columnCountChosen(int count)
{
    if (m_filling)
        return;
    m_table.setColumnCount(count);
    setModified();
}

void TEditAB::commit()
{
    m_projectTable.assign(m_table);
    m_changed = true;
}

void TEditAB::sbsaveClick()
{
    if (!m_modified)
        return;
    commit();
    m_modified = false;
}

void TEditAB::sbNewClick()
{
    const int columns = m_columns->value();
    m_table.clear();
    m_table.setColumnCount(columns);
    showColumnCount();
    setWindowTitle(m_msl->text(msgNew));
    setModified();
}

void TEditAB::sbOpenClick()
{
    const QString start = QFileInfo::exists(m_listFile) ? m_listFile : QString();
    const auto chosen = ShowFileDialog(this, FileDialogKind::Open, QStringLiteral("Open"), start,
                                       QStringLiteral("ALL (*)"));
    if (chosen)
        loadFile(*chosen);
}

void TEditAB::loadFile(const QString &file)
{
    if (!QFileInfo(file).isFile()) {
        sbNewClick();
        return;
    }
    ListTable loaded;
    DelayedProgress progress(this, [this, file] { return m_msl->text(msgLoad) + QStringLiteral(".. ") + file; });
    const ListTable::LoadResult result = loaded.load(file, delimiterChar(), [&progress](qint64 at, qint64 of) {
        return progress.step(at, of);
    });
    progress.finish();
    // A load that was stopped or did not read the whole file says so: the
    // records shown are then not the file.
    if (!result.readWhole())
        ShowMessageBox(result.warning, m_msl->text(msgAttention), mbIconInformation);
    m_table.assign(loaded);
    m_table.setFileEncoding(loaded.fileEncoding());
    showColumnCount();
    // Another file than the project's list replaces the project's records
    // when the editor commits.
    m_modified = file != m_listFile;
}

void TEditAB::sbSaveAsClick()
{
    const QString start = QFileInfo::exists(m_listFile) ? m_listFile : QString();
    const auto chosen = ShowFileDialog(this, FileDialogKind::Save, QStringLiteral("Save Address Book As"), start,
                                       QStringLiteral("ALL (*)"));
    if (chosen)
        saveAs(*chosen);
}

bool TEditAB::saveAs(const QString &file)
{
    QString error;
    if (!m_table.save(file, delimiterChar(), &error)) {
        ShowMessageBox(m_msl->text(msgSave) + QStringLiteral(" : ") + file + u'\n' + error, m_msl->text(msgAttention),
                       mbIconError);
        return false;
    }
    if (file == m_listFile)
        m_modified = false;
    return true;
}

void TEditAB::addRecord()
{
    const int row = m_table.rowCount();
    m_table.insertRows(row, 1);
    m_view->setCurrentIndex(m_view->model()->index(row, 0));
    m_view->scrollTo(m_view->currentIndex());
    setModified();
}

void TEditAB::deleteRecord()
{
    const int row = m_view->currentIndex().isValid() ? m_view->currentIndex().row() : -1;
    if (row < 0)
        return;
    // The only record is emptied: the table keeps one record row.
    m_table.removeRows(row, 1);
    setModified();
}

void TEditAB::filterClick()
{
    if (FilterAddressBook(this, m_table, QFileInfo(m_listFile).absolutePath()))
        setModified();
    showColumnCount();
}

void TEditAB::replaceClick()
{
    ReplaceInAddressBook(this, m_table);
    setModified();
}

void TEditAB::removeDuplicatesClick()
{
    RemoveDuplicates(this, m_table);
    setModified();
}

QString TEditAB::conditionsFileOf(const QString &listFile)
{
    // The extension starts at the last dot of the name, not of the folder.
    const qsizetype nameStart = std::max(listFile.lastIndexOf(u'/'), listFile.lastIndexOf(u'\\')) + 1;
    const qsizetype dot = listFile.lastIndexOf(u'.');
    return (dot >= nameStart ? listFile.left(dot) : listFile) + QStringLiteral(".cnd");
}

void TEditAB::orvanelClick()
{
    runExtraction(false);
}

void TEditAB::extractDataClick()
{
    runExtraction(true);
}

void TEditAB::runExtraction(bool unattended)
{
    QStringList records;
    int fieldCount = 0;
    if (RunDataExtraction(conditionsFileOf(m_listFile), records, fieldCount, unattended, this))
        appendExtracted(records, fieldCount);
}

void TEditAB::appendExtracted(const QStringList &records, int fieldCount)
{
    if (fieldCount > m_table.columnCount() && m_table.columnCount() < kColumnLimit)
        m_columns->setValue(std::min(fieldCount, kColumnLimit));
    if (records.isEmpty())
        return;
    const int columns = m_table.columnCount();
    bool blank = m_table.rowCount() == 1;
    for (int c = 0; blank && c < columns; ++c)
        blank = m_table.cell(0, c).trimmed().isEmpty();
    int row = blank ? 0 : m_table.rowCount();
    m_table.beginUpdate();
    m_table.setRowCount(row + int(records.size()));
    for (const QString &record : records) {
        const QStringList values = extract::SplitCommaText(record);
        for (int c = 0; c < columns && c < values.size(); ++c)
            m_table.setCell(row, c, values[c].isEmpty() ? QStringLiteral(" ") : values[c]);
        ++row;
    }
    m_table.endUpdate();
    setModified();
}

void TEditAB::exportToExcel()
{
    QStringList header;
    for (int c = 0; c < m_table.columnCount(); ++c)
        header << QStringLiteral("Column %1").arg(c + 1);
    std::vector<QStringList> rows;
    rows.reserve(size_t(m_table.rowCount()));
    for (int r = 0; r < m_table.rowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < m_table.columnCount(); ++c)
            row << m_table.cell(r, c);
        rows.push_back(std::move(row));
    }
    ExcelExportTexts texts;
    texts.caption = m_msl->text(msgAttention);
    texts.notFound = m_msl->text(msgExcelNotFound);
    ExportToExcel(this, QFileInfo(m_listFile).completeBaseName() + QStringLiteral(".xlsx"), QStringLiteral("Results"),
                  header, rows, texts);
}

void TEditAB::done(int result)
{
    // Closing with changes commits them, whichever way the window closes.
    if (m_modified)
        commit();
    QDialog::done(result);
}

bool EditAddressBook(QWidget *parent, ListTable &projectTable, const QString &listFile, QString &delimiter)
{
    TEditAB editor(projectTable, listFile, delimiter, parent);
    editor.setWindowState(editor.windowState() | Qt::WindowMaximized);
    editor.exec();
    delimiter = editor.delimiter();
    return editor.changed();
}

} // namespace varnholt
