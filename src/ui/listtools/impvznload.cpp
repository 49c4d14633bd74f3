#include "ui/listtools/impvznload.h"
#include "ui/listtools/importwindows.h"

#include "project/listtable.h"
#include "settings/syscharset.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"
#include "ui/common/msglanguage.h"
#include "ui/common/progaddress.h"

#include <QAbstractTableModel>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

namespace varnholt {

namespace {

// Previews show this much; the import takes everything.
constexpr int kPreviewRecords = 1000;
constexpr int kBreakGridLines = 500;
constexpr int kBreakGridColumns = 2000;
constexpr qsizetype kShownCharacters = 2000;

QStringList defaultMessages()
{
    return {
        QStringLiteral("Import Wizard:  Step"),                                       // 0
        QStringLiteral("Define file name for import"),                                // 1
        QStringLiteral("Import"),                                                     // 2
        QStringLiteral("Reading"),                                                    // 3
        QStringLiteral("Importing"),                                                  // 4
        QStringLiteral("%1 records were imported into rows %2 to %3 of the list; it has %4 columns."), // 5
        QStringLiteral("Nothing was imported: the file has no lines (or records) from the start row on."), // 6
        QStringLiteral("The import was stopped; the list was not changed."),         // 7
        QStringLiteral("The import failed; the list was not changed:\n%1"),           // 8
        QStringLiteral("%1.\n\nReplace each \"%2\" inside a field by \"%3\" and each line break by a blank, "
                       "and import?"),                                                // 9
        QStringLiteral("Nothing was imported: the fields hold the list delimiter."), // 10
        QStringLiteral("The file \"%1\" does not exist."),                            // 11
        QStringLiteral("\"%1\" is not a cell range: give two corners such as A1:H100, a start such as "
                       "B2:, whole columns such as A:C, or nothing for the whole sheet."), // 12
    };
}

std::chrono::milliseconds g_progressDelay = DelayedProgress::kDefaultDelay;

QString shown(QByteArrayView bytes)
{
    if (bytes.size() <= kShownCharacters)
        return SystemCharset::toUnicode(bytes);
    return SystemCharset::toUnicode(bytes.first(kShownCharacters)) + QChar(0x2026);
}

} // namespace

// ---- preview models -------------------------------------------------------------

// Step 2: one row per line, its number and its text.
class TImpVznLoad::LineModel : public QAbstractTableModel
{
public:
    using QAbstractTableModel::QAbstractTableModel;
    void setSource(const TextSource *source)
    {
        beginResetModel();
        m_source = source;
        endResetModel();
    }
    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() || !m_source ? 0 : int(std::min<qsizetype>(m_source->lineCount(), INT_MAX));
    }
    int columnCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : 2; }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!m_source || role != Qt::DisplayRole)
            return {};
        if (index.column() == 0)
            return index.row() + 1;
        return shown(m_source->line(index.row()));
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
            return {};
        return section == 0 ? QStringLiteral("#") : QStringLiteral("Line");
    }

private:
    const TextSource *m_source = nullptr;
};

// Step 2 for a dBASE table: its records.
class TImpVznLoad::DbfModel : public QAbstractTableModel
{
public:
    using QAbstractTableModel::QAbstractTableModel;
    void setTable(const DbfTable *table)
    {
        beginResetModel();
        m_table = table;
        endResetModel();
    }
    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() || !m_table ? 0 : m_table->recordCount();
    }
    int columnCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() || !m_table ? 0 : m_table->fieldCount();
    }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!m_table || role != Qt::DisplayRole)
            return {};
        return shown(m_table->value(index.row(), index.column()));
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (role != Qt::DisplayRole || !m_table)
            return {};
        if (orientation == Qt::Vertical)
            return section + 1;
        return m_table->fieldName(section);
    }

private:
    const DbfTable *m_table = nullptr;
};

// Step 3: a ruler row, then one row per line with a character per column.
class TImpVznLoad::BreakModel : public QAbstractTableModel
{
public:
    using QAbstractTableModel::QAbstractTableModel;
    void setLines(QStringList lines, const QByteArray *breaks)
    {
        beginResetModel();
        m_lines = std::move(lines);
        m_breaks = breaks;
        endResetModel();
    }
    void breakChanged(int column) { Q_EMIT dataChanged(index(0, column), index(rowCount() - 1, column)); }
    [[nodiscard]] bool breakAfter(int column) const
    {
        return m_breaks && column < m_breaks->size() && m_breaks->at(column) == '1';
    }
    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : 1 + int(m_lines.size());
    }
    int columnCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() || !m_breaks ? 0 : int(std::min<qsizetype>(m_breaks->size(), kBreakGridColumns));
    }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role == Qt::DisplayRole) {
            if (index.row() == 0)
                return (index.column() + 1) % 10 == 0 ? QString::number(index.column() + 1) : QString();
            const QString &line = m_lines.at(index.row() - 1);
            return index.column() < line.size() ? QString(line.at(index.column())) : QString();
        }
        if (role == Qt::AccessibleTextRole) {
            const QString at = QStringLiteral("position %1").arg(index.column() + 1);
            return breakAfter(index.column()) ? at + QStringLiteral(", column break after it") : at;
        }
        return {};
    }

private:
    QStringList m_lines;
    const QByteArray *m_breaks = nullptr;
};

// Step 4: the records as the delimiters split them.
class TImpVznLoad::SplitModel : public QAbstractTableModel
{
public:
    using QAbstractTableModel::QAbstractTableModel;
    void setRecords(std::vector<QStringList> records)
    {
        beginResetModel();
        m_records = std::move(records);
        m_columns = 0;
        for (const QStringList &r : m_records)
            m_columns = std::max(m_columns, int(r.size()));
        m_columns = std::min(m_columns, kMaxImportColumns);
        endResetModel();
    }
    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : int(m_records.size());
    }
    int columnCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : m_columns; }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role != Qt::DisplayRole)
            return {};
        return m_records[size_t(index.row())].value(index.column());
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (role != Qt::DisplayRole)
            return {};
        return orientation == Qt::Horizontal ? ListTable::columnTitle(section) : QVariant(section + 1);
    }

private:
    std::vector<QStringList> m_records;
    int m_columns = 0;
};

// Step 2 for a workbook: the first rows of the sheet's range, with their
// sheet row numbers; when the first row holds the titles, they head the
// columns beside the list's own column names (a list keeps no titles).
class TImpVznLoad::SheetModel : public QAbstractTableModel
{
public:
    using QAbstractTableModel::QAbstractTableModel;
    void setRows(std::vector<std::pair<qint64, QStringList>> rows)
    {
        beginResetModel();
        m_rows = std::move(rows);
        m_columns = 0;
        for (const auto &row : m_rows)
            m_columns = std::max(m_columns, int(row.second.size()));
        m_columns = std::min(m_columns, kMaxImportColumns);
        endResetModel();
    }
    void setTitles(bool titles)
    {
        beginResetModel();
        m_titles = titles;
        endResetModel();
    }
    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : int(m_rows.size()) - offset();
    }
    int columnCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : m_columns; }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role != Qt::DisplayRole)
            return {};
        return m_rows[size_t(index.row() + offset())].second.value(index.column());
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (role != Qt::DisplayRole)
            return {};
        if (orientation == Qt::Vertical)
            return section + offset() < int(m_rows.size()) ? QVariant(m_rows[size_t(section + offset())].first + 1)
                                                           : QVariant();
        const QString title = m_titles && !m_rows.empty() ? m_rows.front().second.value(section) : QString();
        return title.isEmpty() ? ListTable::columnTitle(section)
                               : QStringLiteral("%1 (%2)").arg(title, ListTable::columnTitle(section));
    }

private:
    [[nodiscard]] int offset() const { return m_titles && !m_rows.empty() ? 1 : 0; }

    std::vector<std::pair<qint64, QStringList>> m_rows;
    int m_columns = 0;
    bool m_titles = false;
};

namespace {

// Draws the column-break grid: the grey ruler with its ticks and numbers,
// each character centred, and a break as a line on the cell's right edge.
class BreakDelegate : public QStyledItemDelegate
{
public:
    using BreakTest = std::function<bool(int column)>;
    BreakDelegate(BreakTest isBreak, QObject *parent) : QStyledItemDelegate(parent), m_isBreak(std::move(isBreak)) {}

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        painter->save();
        const QRect r = option.rect;
        const int position = index.column() + 1;
        if (index.row() == 0) {
            painter->fillRect(r, QColor(0xC0, 0xC0, 0xC0));
            painter->setPen(QPen(Qt::black, position % 10 == 0 ? 3 : 1));
            const int tick = position % 5 == 0 ? 5 : 3;
            const int x = r.center().x();
            painter->drawLine(x, r.bottom() - tick, x, r.bottom());
            if (position % 10 == 0) {
                QFont small = option.font;
                small.setPointSizeF(small.pointSizeF() * 0.75);
                painter->setFont(small);
                painter->setPen(Qt::black);
                // The number is centred over its position and may overhang.
                const QRect text(r.center().x() - 20, r.top(), 40, r.height() - tick);
                painter->setClipping(false);
                painter->drawText(text, Qt::AlignHCenter | Qt::AlignTop, index.data().toString());
            }
        } else {
            if (option.state & QStyle::State_HasFocus)
                painter->fillRect(r, option.palette.highlight());
            painter->setPen(option.state & QStyle::State_HasFocus ? option.palette.highlightedText().color()
                                                                  : option.palette.text().color());
            painter->drawText(r, Qt::AlignCenter, index.data().toString());
        }
        if (m_isBreak(index.column())) {
            painter->setPen(QPen(Qt::black, 2));
            painter->drawLine(r.right(), r.top(), r.right(), r.bottom());
        }
        painter->restore();
    }

private:
    BreakTest m_isBreak;
};

// Columns as wide as their texts and headers, within reason.
void fitColumns(QTableView *view)
{
    view->resizeColumnsToContents();
    for (int c = 0; c < view->model()->columnCount(); ++c)
        view->setColumnWidth(c, std::min(view->columnWidth(c), 300));
}

QTableView *makePreview(QWidget *parent, const QString &name)
{
    auto *view = new QTableView(parent);
    view->setAccessibleName(name);
    view->setTabKeyNavigation(false); // Tab leaves; arrows move between cells
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setWordWrap(false);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
    return view;
}

} // namespace

// ---- the window -------------------------------------------------------------------

TImpVznLoad::TImpVznLoad(ListTable &table, QChar listDelimiter, QWidget *parent)
    : QDialog(parent)
    , m_table(table)
    , m_listDelimiter(listDelimiter)
    , m_msl(new TMsgLanguage(QStringLiteral("T_ImpVznLoad"), defaultMessages(), this))
{
    setObjectName(QStringLiteral("T_ImpVznLoad"));
    setModal(true);
    m_lineModel = new LineModel(this);
    m_dbfModel = new DbfModel(this);
    m_breakModel = new BreakModel(this);
    m_splitModel = new SplitModel(this);
    m_sheetModel = new SheetModel(this);

    auto *layout = new QVBoxLayout(this);
    m_pages = new QStackedWidget(this);
    layout->addWidget(m_pages, 1);
    buildFilePage();
    buildTypePage();
    buildBreaksPage();
    buildDelimitersPage();
    buildImportPage();

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_back = new QPushButton(QStringLiteral("< &Back"), this);
    m_back->setObjectName(QStringLiteral("bBack"));
    m_next = new QPushButton(QStringLiteral("&Next >"), this);
    m_next->setObjectName(QStringLiteral("bNext"));
    m_exit = new QPushButton(QStringLiteral("E&xit"), this);
    m_exit->setObjectName(QStringLiteral("bExit"));
    m_next->setDefault(true);
    buttons->addWidget(m_back);
    buttons->addWidget(m_next);
    buttons->addSpacing(12);
    buttons->addWidget(m_exit);
    layout->addLayout(buttons);
    connect(m_back, &QPushButton::clicked, this, &TImpVznLoad::backClicked);
    connect(m_next, &QPushButton::clicked, this, &TImpVznLoad::nextClicked);
    connect(m_exit, &QPushButton::clicked, this, &QDialog::accept);

    TranslationRegistry::instance().announce(this, m_msl);
    resize(720, 520);
    goTo(StepFile);
}

TImpVznLoad::~TImpVznLoad()
{
    // The views outlive the sources they show (children go after members).
    m_dbfModel->setTable(nullptr);
    m_lineModel->setSource(nullptr);
}

void TImpVznLoad::buildFilePage()
{
    auto *page = new QWidget(m_pages);
    auto *layout = new QVBoxLayout(page);
    auto *label = new QLabel(QStringLiteral("Select &file you want to import"), page);
    layout->addWidget(label);
    auto *row = new QHBoxLayout;
    m_fileEdit = new QLineEdit(page);
    m_fileEdit->setObjectName(QStringLiteral("fileName"));
    label->setBuddy(m_fileEdit);
    m_browse = new QToolButton(page);
    m_browse->setText(QStringLiteral("..."));
    m_browse->setAccessibleName(QStringLiteral("Browse for the file"));
    m_browse->setFocusPolicy(Qt::StrongFocus);
    connect(m_browse, &QToolButton::clicked, this, &TImpVznLoad::browseClicked);
    row->addWidget(m_fileEdit, 1);
    row->addWidget(m_browse);
    layout->addLayout(row);
    auto *hint = new QLabel(
        QStringLiteral("Before you start to try importing the data, you should investigate your data file a bit. "
                       "First, make sure that it is in fact a raw text file, a DBF or a spreadsheet workbook "
                       "(.xlsx, .ods, .xls). If it is a raw text file, it should open in a basic editor on your "
                       "computer, such as Notepad"),
        page);
    hint->setObjectName(QStringLiteral("lblHint"));
    hint->setWordWrap(true);
    layout->addSpacing(12);
    layout->addWidget(hint);
    layout->addStretch(1);
    m_pages->addWidget(page);
}

void TImpVznLoad::buildTypePage()
{
    auto *page = new QWidget(m_pages);
    auto *layout = new QVBoxLayout(page);
    auto *top = new QHBoxLayout;

    auto *typeBox = new QGroupBox(QStringLiteral("File type"), page);
    typeBox->setObjectName(QStringLiteral("gbFileType"));
    auto *typeLayout = new QVBoxLayout(typeBox);
    m_dbf = new QRadioButton(QStringLiteral("DBF F&ile"), typeBox);
    m_dbf->setObjectName(QStringLiteral("rbDbf"));
    m_delimited = new QRadioButton(QStringLiteral("&Delimited"), typeBox);
    m_delimited->setObjectName(QStringLiteral("rbDelimited"));
    m_fixed = new QRadioButton(QStringLiteral("Fixed &width"), typeBox);
    m_fixed->setObjectName(QStringLiteral("rbFixed"));
    m_spreadsheet = new QRadioButton(QStringLiteral("S&preadsheet"), typeBox);
    m_spreadsheet->setObjectName(QStringLiteral("rbSpreadsheet"));
    m_spreadsheet->setEnabled(false);
    typeLayout->addWidget(m_dbf);
    typeLayout->addWidget(m_delimited);
    typeLayout->addWidget(m_fixed);
    typeLayout->addWidget(m_spreadsheet);
    top->addWidget(typeBox);

    auto *originBox = new QGroupBox(QStringLiteral("File origin"), page);
    originBox->setObjectName(QStringLiteral("gbOrigin"));
    m_originBox = originBox;
    auto *originLayout = new QVBoxLayout(originBox);
    m_windows = new QRadioButton(QStringLiteral("Windows (&ANSI)"), originBox);
    m_windows->setObjectName(QStringLiteral("rbWindows"));
    m_dos = new QRadioButton(QStringLiteral("D&os"), originBox);
    m_dos->setObjectName(QStringLiteral("rbDos"));
    m_windows->setChecked(true);
    originLayout->addWidget(m_windows);
    originLayout->addWidget(m_dos);
    originLayout->addStretch(1);
    connect(m_dos, &QRadioButton::toggled, this, &TImpVznLoad::originChanged);
    top->addWidget(originBox);

    m_startRowPanel = new QWidget(page);
    auto *startLayout = new QVBoxLayout(m_startRowPanel);
    startLayout->setContentsMargins(0, 0, 0, 0);
    auto *startLabel = new QLabel(QStringLiteral("Start import at &row"), m_startRowPanel);
    m_startRowBox = new QSpinBox(m_startRowPanel);
    m_startRowBox->setRange(1, 1);
    startLabel->setBuddy(m_startRowBox);
    m_startRowBox->setObjectName(QStringLiteral("startRow"));
    startLayout->addWidget(startLabel);
    startLayout->addWidget(m_startRowBox);
    startLayout->addStretch(1);
    top->addWidget(m_startRowPanel);

    // A workbook's choices, in place of the origin and the start row.
    m_sheetPanel = new QWidget(page);
    auto *sheetLayout = new QGridLayout(m_sheetPanel);
    sheetLayout->setContentsMargins(0, 0, 0, 0);
    auto *sheetLabel = new QLabel(QStringLiteral("S&heet"), m_sheetPanel);
    m_sheetBox = new QComboBox(m_sheetPanel);
    m_sheetBox->setObjectName(QStringLiteral("sheet"));
    m_sheetBox->setMinimumContentsLength(16);
    sheetLabel->setBuddy(m_sheetBox);
    auto *rangeLabel = new QLabel(QStringLiteral("Cell &range"), m_sheetPanel);
    m_rangeEdit = new QLineEdit(m_sheetPanel);
    m_rangeEdit->setObjectName(QStringLiteral("range"));
    m_rangeEdit->setPlaceholderText(QStringLiteral("the whole sheet, or A1:H100"));
    m_rangeEdit->setMinimumWidth(m_rangeEdit->fontMetrics().horizontalAdvance(m_rangeEdit->placeholderText()) + 16);
    rangeLabel->setBuddy(m_rangeEdit);
    m_titlesBox = new QCheckBox(QStringLiteral("First row holds column &titles"), m_sheetPanel);
    m_titlesBox->setObjectName(QStringLiteral("cbTitles"));
    m_titlesBox->setToolTip(QStringLiteral("The first row of the range is not imported; its titles head the "
                                           "preview's columns (the list names its columns Column#1, Column#2, ...)."));
    sheetLayout->addWidget(sheetLabel, 0, 0);
    sheetLayout->addWidget(m_sheetBox, 0, 1);
    sheetLayout->addWidget(rangeLabel, 1, 0);
    sheetLayout->addWidget(m_rangeEdit, 1, 1);
    sheetLayout->addWidget(m_titlesBox, 2, 0, 1, 2);
    sheetLayout->setRowStretch(3, 1);
    m_sheetPanel->setVisible(false);
    connect(m_sheetBox, &QComboBox::currentIndexChanged, this, &TImpVznLoad::sheetChoicesChanged);
    connect(m_rangeEdit, &QLineEdit::editingFinished, this, &TImpVznLoad::sheetChoicesChanged);
    connect(m_titlesBox, &QCheckBox::toggled, this, [this](bool titles) {
        m_sheetChoices.titles = titles;
        m_sheetModel->setTitles(titles);
        fitColumns(m_linePreview);
    });
    top->addWidget(m_sheetPanel);
    top->addStretch(1);
    layout->addLayout(top);

    m_note = new QLabel(page);
    m_note->setObjectName(QStringLiteral("note"));
    m_note->setWordWrap(true);
    m_note->setVisible(false);
    layout->addWidget(m_note);
    m_linePreview = makePreview(page, QStringLiteral("Preview of the file"));
    m_linePreview->verticalHeader()->setVisible(false);
    layout->addWidget(m_linePreview, 1);
    m_pages->addWidget(page);
}

void TImpVznLoad::buildBreaksPage()
{
    auto *page = new QWidget(m_pages);
    auto *layout = new QVBoxLayout(page);
    auto *title = new QLabel(QStringLiteral("This screen lets you set field widths (column breaks)"), page);
    title->setObjectName(QStringLiteral("lblBreaksTitle"));
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    layout->addWidget(title);
    auto *help = new QLabel(QStringLiteral("Vertical lines signify a column break.\n"
                                           "To SET a break line, click at the desired position (or press Enter on "
                                           "it).\nTo DELETE a break line, click on the character before it.\n"
                                           "The ruler counts the characters of a line."),
                            page);
    help->setObjectName(QStringLiteral("lblBreaksHelp"));
    layout->addWidget(help);
    m_breakGrid = makePreview(page, QStringLiteral("Column breaks"));
    m_breakGrid->setModel(m_breakModel);
    m_breakGrid->setItemDelegate(new BreakDelegate([this](int c) { return m_breakModel->breakAfter(c); }, m_breakGrid));
    m_breakGrid->horizontalHeader()->setVisible(false);
    m_breakGrid->verticalHeader()->setVisible(false);
    m_breakGrid->setShowGrid(false);
    m_breakGrid->setSelectionMode(QAbstractItemView::NoSelection);
    m_breakGrid->horizontalHeader()->setMinimumSectionSize(4);
    m_breakGrid->horizontalHeader()->setDefaultSectionSize(m_breakGrid->fontMetrics().horizontalAdvance(u'W') + 2);
    connect(m_breakGrid, &QTableView::clicked, this, [this](const QModelIndex &i) { toggleBreak(i.column()); });
    connect(m_breakGrid, &QTableView::activated, this, [this](const QModelIndex &i) { toggleBreak(i.column()); });
    layout->addWidget(m_breakGrid, 1);
    m_pages->addWidget(page);
}

void TImpVznLoad::buildDelimitersPage()
{
    auto *page = new QWidget(m_pages);
    auto *layout = new QVBoxLayout(page);
    auto *box = new QGroupBox(QStringLiteral("Delimiters"), page);
    box->setObjectName(QStringLiteral("gbDelimiters"));
    auto *grid = new QHBoxLayout(box);
    m_semicolon = new QCheckBox(QStringLiteral("&Semicolon"), box);
    m_semicolon->setObjectName(QStringLiteral("cbSemicolon"));
    m_comma = new QCheckBox(QStringLiteral("&Comma"), box);
    m_comma->setObjectName(QStringLiteral("cbComma"));
    m_tab = new QCheckBox(QStringLiteral("&Tab"), box);
    m_tab->setObjectName(QStringLiteral("cbTab"));
    m_space = new QCheckBox(QStringLiteral("S&pace"), box);
    m_space->setObjectName(QStringLiteral("cbSpace"));
    m_other = new QCheckBox(QStringLiteral("Ot&her"), box);
    m_other->setObjectName(QStringLiteral("cbOther"));
    m_otherEdit = new QLineEdit(box);
    m_otherEdit->setMaxLength(1);
    m_otherEdit->setMaximumWidth(m_otherEdit->fontMetrics().horizontalAdvance(u'W') * 3);
    m_otherEdit->setAccessibleName(QStringLiteral("Other delimiter"));
    for (QWidget *w : {static_cast<QWidget *>(m_semicolon), static_cast<QWidget *>(m_comma),
                       static_cast<QWidget *>(m_tab), static_cast<QWidget *>(m_space),
                       static_cast<QWidget *>(m_other), static_cast<QWidget *>(m_otherEdit)})
        grid->addWidget(w);
    grid->addStretch(1);
    layout->addWidget(box);
    m_consecutive = new QCheckBox(QStringLiteral("Treat consecutive delimiters as on&e"), page);
    m_consecutive->setObjectName(QStringLiteral("cbConsecutive"));
    m_quoted = new QCheckBox(QStringLiteral("&Quoted fields (CSV)"), page);
    m_quoted->setObjectName(QStringLiteral("cbQuoted"));
    m_quoted->setToolTip(QStringLiteral("Fields may be enclosed in double quotes; inside them delimiters and line "
                                        "breaks are text and a doubled quote stands for one."));
    layout->addWidget(m_consecutive);
    layout->addWidget(m_quoted);
    for (QCheckBox *b : {m_semicolon, m_comma, m_tab, m_space, m_other, m_consecutive, m_quoted})
        connect(b, &QCheckBox::toggled, this, &TImpVznLoad::refreshSplitPreview);
    connect(m_otherEdit, &QLineEdit::textChanged, this, &TImpVznLoad::refreshSplitPreview);
    m_splitPreview = makePreview(page, QStringLiteral("Preview of the records"));
    m_splitPreview->setModel(m_splitModel);
    layout->addWidget(m_splitPreview, 1);
    m_pages->addWidget(page);
}

void TImpVznLoad::buildImportPage()
{
    auto *page = new QWidget(m_pages);
    auto *layout = new QVBoxLayout(page);
    m_result = new QLabel(page);
    m_result->setObjectName(QStringLiteral("result"));
    m_result->setWordWrap(true);
    m_result->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_result);
    layout->addStretch(1);
    m_pages->addWidget(page);
}

QCheckBox *TImpVznLoad::delimiterBox(char which) const
{
    switch (which) {
    case ';': return m_semicolon;
    case ',': return m_comma;
    case 't': return m_tab;
    case ' ': return m_space;
    case 'o': return m_other;
    case 'c': return m_consecutive;
    case 'q': return m_quoted;
    default: return nullptr;
    }
}

void TImpVznLoad::keyPressEvent(QKeyEvent *event)
{
    // Escape is "Exit"; closing by the frame is the only way out without it.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TImpVznLoad::goTo(Step step)
{
    m_step = step;
    static const char *labels[] = {"", " 1 / 4", " 2 / 4", " 3 / 4", " 3 / 4", " 4 / 4"};
    setWindowTitle(m_msl->text(0) + QString::fromLatin1(labels[step]));
    m_pages->setCurrentIndex(int(step) - 1);
    m_back->setEnabled(step != StepFile);
    m_next->setEnabled(step != StepImport);
    switch (step) {
    case StepFile: m_fileEdit->setFocus(); break;
    case StepType: enterTypeStep(); break;
    case StepBreaks: enterBreaksStep(); break;
    case StepDelimiters: enterDelimitersStep(); break;
    case StepImport: runImport(); break;
    }
}

void TImpVznLoad::browseClicked()
{
    const QString current = m_fileEdit->text().trimmed();
    const QFileInfo info(current);
    QString preset;
    if (!current.isEmpty() && info.isFile())
        preset = current;
    else if (!current.isEmpty() && info.absoluteDir().exists())
        preset = info.absolutePath();
    const auto chosen = ShowFileDialog(this, FileDialogKind::Open, m_msl->text(1), preset,
                                       QStringLiteral("All files (*);;Text files (*.txt);;CSV files (*.csv);;"
                                                      "DBase files (*.dbf);;Spreadsheets (*.xlsx *.xlsm *.ods *.xls);;"
                                                      "Address book files (*.abk)"));
    if (chosen)
        m_fileEdit->setText(*chosen);
}

void TImpVznLoad::nextClicked()
{
    switch (m_step) {
    case StepFile: {
        const QString name = m_fileEdit->text().trimmed();
        if (name.isEmpty() || !QFileInfo(name).isFile())
            return; // nothing happens
        if (name != m_fileName) {
            m_text.reset();
            m_dbfTable.reset();
            m_sheetModel->setRows({});
            m_workbook.reset();
            m_fileName.clear();
            m_delimitersVisited = false;
        }
        m_type = ImportType::Unknown;
        goTo(StepType);
        return;
    }
    case StepType:
        if (m_type == ImportType::Spreadsheet) {
            // A range typed without leaving the box counts too.
            sheetChoicesChanged();
            if (!m_rangeValid) {
                m_rangeEdit->setFocus();
                return;
            }
            goTo(StepImport);
            return;
        }
        if (m_type != ImportType::DBase)
            m_type = m_delimited->isChecked() ? ImportType::Delimited : ImportType::FixedWidth;
        m_origin = m_dos->isChecked() ? FileOrigin::Dos : FileOrigin::Windows;
        m_startRow = m_startRowBox->isEnabled() ? m_startRowBox->value() : 1;
        goTo(m_type == ImportType::DBase        ? StepImport
             : m_type == ImportType::Delimited ? StepDelimiters
                                               : StepBreaks);
        return;
    case StepBreaks:
        goTo(StepImport);
        return;
    case StepDelimiters:
        m_delimiters = delimiterChoice();
        goTo(StepImport);
        return;
    case StepImport:
        return;
    }
}

void TImpVznLoad::backClicked()
{
    switch (m_step) {
    case StepFile: return;
    case StepType: goTo(StepFile); return;
    case StepBreaks:
    case StepDelimiters: goTo(StepType); return;
    case StepImport:
        goTo(m_type == ImportType::Delimited    ? StepDelimiters
             : m_type == ImportType::FixedWidth ? StepBreaks
                                                : StepType);
        return;
    }
}

bool TImpVznLoad::loadText()
{
    const QString name = m_fileEdit->text().trimmed();
    if (m_text && m_fileName == name)
        return true;
    m_lineModel->setSource(nullptr);
    m_text.reset();
    QString error;
    {
        DelayedProgress progress(
            this, [this, &name] { return m_msl->text(3) + QStringLiteral(".. ") + name; }, g_progressDelay);
        m_text = TextSource::read(name, &error, [&](qint64 p, qint64 m) { return progress.step(p, m); });
    }
    if (!m_text) {
        if (!error.isEmpty())
            ShowMessageBox(error, m_msl->text(2), mbIconError);
        return false;
    }
    m_fileName = name;
    m_text->setOrigin(m_dos->isChecked() ? FileOrigin::Dos : FileOrigin::Windows);
    return true;
}

bool TImpVznLoad::loadWorkbook(const QString &name)
{
    if (m_workbook && m_fileName == name)
        return true;
    m_sheetModel->setRows({});
    m_workbook.reset();
    QString error;
    {
        DelayedProgress progress(
            this, [this, &name] { return m_msl->text(3) + QStringLiteral(".. ") + name; }, g_progressDelay);
        m_workbook = Workbook::open(name, &error, [&](qint64 p, qint64 m) { return progress.step(p, m); });
    }
    if (!m_workbook) {
        if (!error.isEmpty())
            ShowMessageBox(error, m_msl->text(2), mbIconError);
        return false;
    }
    m_fileName = name;
    m_sheetChoices = SheetChoices{};
    m_rangeValid = true;
    return true;
}

void TImpVznLoad::showSpreadsheet(bool shown)
{
    m_sheetPanel->setVisible(shown);
    m_originBox->setVisible(!shown);
    m_startRowPanel->setVisible(!shown);
    m_spreadsheet->setEnabled(shown);
}

void TImpVznLoad::sheetChoicesChanged()
{
    if (!m_workbook || m_type != ImportType::Spreadsheet)
        return;
    const auto range = parseCellRange(m_rangeEdit->text());
    m_rangeValid = range.has_value();
    const int sheet = std::max(0, m_sheetBox->currentIndex());
    if (!range) {
        m_note->setText(m_msl->text(12).arg(m_rangeEdit->text().trimmed()));
        m_note->setVisible(true);
        return;
    }
    const QStringList bookNotes = m_workbook->notes();
    m_note->setText(bookNotes.join(u'\n'));
    m_note->setVisible(!bookNotes.isEmpty());
    if (sheet == m_sheetChoices.sheet && *range == m_sheetChoices.range && m_sheetModel->rowCount() > 0)
        return; // nothing new to read
    m_sheetChoices.sheet = sheet;
    m_sheetChoices.range = *range;
    m_sheetChoices.titles = m_titlesBox->isChecked();

    // The preview's rows, one more than shown for a titles row.
    std::vector<std::pair<qint64, QStringList>> rows;
    SheetReadResult read;
    {
        DelayedProgress progress(
            this, [this] { return m_msl->text(3) + QStringLiteral(".. ") + m_fileName; }, g_progressDelay);
        read = m_workbook->readRows(
            sheet, *range,
            [&rows](qint64 row, std::span<const QByteArray> cells) {
                QStringList shownCells;
                for (const QByteArray &cell : cells) {
                    if (shownCells.size() >= kMaxImportColumns)
                        break;
                    shownCells.append(shown(cell));
                }
                rows.emplace_back(row, shownCells);
                return int(rows.size()) <= kPreviewRecords;
            },
            [&progress](qint64 p, qint64 m) { return progress.step(p, m); });
    }
    m_sheetModel->setRows(std::move(rows));
    fitColumns(m_linePreview);
    QStringList notes = m_workbook->notes();
    if (!read.ok && !read.stopped)
        notes.prepend(read.error);
    m_note->setText(notes.join(u'\n'));
    m_note->setVisible(!notes.isEmpty());
}

void TImpVznLoad::enterTypeStep()
{
    const QString name = m_fileEdit->text().trimmed();
    QStringList notes;
    if (m_type == ImportType::Unknown) {
        m_dbfTable.reset();
        const QString suffix = QFileInfo(name).suffix().toLower();
        // A workbook is known by its first bytes (a ZIP archive or an OLE
        // compound file), whatever its name.
        if (suffix != u"db" && suffix != u"dbf" && looksLikeSpreadsheet(name)) {
            if (!loadWorkbook(name)) {
                goTo(StepFile);
                return;
            }
            m_type = ImportType::Spreadsheet;
        } else if (suffix == u"db" || suffix == u"dbf") {
            QString why;
            m_dbfTable = DbfTable::open(name, &why);
            if (m_dbfTable)
                m_type = ImportType::DBase;
            else
                notes << why + QStringLiteral("; it is read as text.");
        }
        if (m_type == ImportType::Unknown)
            m_type = ImportType::Delimited;
    }
    showSpreadsheet(m_type == ImportType::Spreadsheet);
    if (m_type == ImportType::Spreadsheet) {
        m_dbf->setEnabled(false);
        m_delimited->setEnabled(false);
        m_fixed->setEnabled(false);
        m_spreadsheet->setChecked(true);
        {
            const QSignalBlocker block(m_sheetBox);
            m_sheetBox->clear();
            m_sheetBox->addItems(m_workbook->sheetNames());
            m_sheetBox->setCurrentIndex(m_sheetChoices.sheet);
        }
        m_linePreview->setModel(m_sheetModel);
        m_linePreview->verticalHeader()->setVisible(true);
        m_linePreview->horizontalHeader()->setStretchLastSection(false);
        m_sheetChoices.sheet = -1; // read the preview afresh
        sheetChoicesChanged();
        m_next->setFocus();
        return;
    }
    if (m_type == ImportType::DBase) {
        m_fileName = name;
        m_dbf->setEnabled(true);
        m_dbf->setChecked(true);
        m_delimited->setEnabled(false);
        m_fixed->setEnabled(false);
        m_windows->setEnabled(false);
        m_dos->setEnabled(false);
        m_dbfModel->setTable(&*m_dbfTable);
        m_linePreview->setModel(m_dbfModel);
        m_linePreview->verticalHeader()->setVisible(true);
        m_startRowBox->setRange(1, std::max(1, m_dbfTable->recordCount()));
        m_startRowBox->setEnabled(m_dbfTable->recordCount() > 0);
        const QStringList memo = m_dbfTable->memoFieldNames();
        if (!memo.isEmpty())
            notes << QStringLiteral("The memo fields %1 keep their text in a separate file, which is not read: "
                                    "their columns stay empty.")
                         .arg(memo.join(QStringLiteral(", ")));
    } else {
        if (!loadText()) {
            // Unreadable, binary or too large: back to the file page.
            goTo(StepFile);
            return;
        }
        m_dbf->setEnabled(false);
        m_delimited->setEnabled(true);
        m_fixed->setEnabled(true);
        m_windows->setEnabled(true);
        m_dos->setEnabled(true);
        (m_type == ImportType::FixedWidth ? m_fixed : m_delimited)->setChecked(true);
        notes += m_text->notes();
        refreshLinePreview();
    }
    m_note->setText(notes.join(u'\n'));
    m_note->setVisible(!notes.isEmpty());
    m_next->setFocus();
}

void TImpVznLoad::refreshLinePreview()
{
    m_linePreview->setModel(m_lineModel);
    m_lineModel->setSource(&*m_text);
    m_linePreview->verticalHeader()->setVisible(false);
    const int digits = int(QString::number(m_text->lineCount()).size());
    const int numberWidth = m_linePreview->fontMetrics().horizontalAdvance(QString(digits, u'9')) + 10;
    m_linePreview->setColumnWidth(0, std::max(25, numberWidth));
    m_linePreview->horizontalHeader()->setStretchLastSection(true);
    const int lines = int(std::min<qsizetype>(m_text->lineCount(), INT_MAX));
    m_startRowBox->setRange(1, std::max(1, lines));
    m_startRowBox->setEnabled(lines > 0);
}

void TImpVznLoad::originChanged()
{
    if (!m_text || m_type == ImportType::DBase)
        return;
    m_lineModel->setSource(nullptr);
    m_text->setOrigin(m_dos->isChecked() ? FileOrigin::Dos : FileOrigin::Windows);
    refreshLinePreview();
}

void TImpVznLoad::enterBreaksStep()
{
    const qsizetype first = std::max(0, m_startRow - 1);
    // Keep the breaks of an earlier visit; fit the string to the longest line.
    const qsizetype width = m_text ? m_text->longestLineChars() : 0;
    if (m_breaks.size() < width)
        m_breaks.append(QByteArray(width - m_breaks.size(), ' '));
    else
        m_breaks.truncate(width);
    QStringList lines;
    if (m_text) {
        for (qsizetype i = first; i < m_text->lineCount() && lines.size() < kBreakGridLines; ++i) {
            const QByteArrayView line = m_text->line(i);
            lines.append(SystemCharset::toUnicode(line.first(std::min<qsizetype>(line.size(), kBreakGridColumns * 4))));
        }
    }
    m_breakModel->setLines(lines, &m_breaks);
    m_breakGrid->setFocus();
}

void TImpVznLoad::setProgressDelay(std::chrono::milliseconds delay)
{
    g_progressDelay = delay;
}

void TImpVznLoad::toggleBreak(int position)
{
    if (position < 0 || position >= m_breaks.size())
        return;
    m_breaks[position] = m_breaks[position] == '1' ? ' ' : '1';
    m_breakModel->breakChanged(position);
}

void TImpVznLoad::enterDelimitersStep()
{
    const QSignalBlocker blockers[] = {QSignalBlocker(m_semicolon), QSignalBlocker(m_comma),
                                       QSignalBlocker(m_tab),       QSignalBlocker(m_space),
                                       QSignalBlocker(m_other),     QSignalBlocker(m_otherEdit),
                                       QSignalBlocker(m_consecutive), QSignalBlocker(m_quoted)};
    if (!m_delimitersVisited) {
        m_delimitersVisited = true;
        m_delimiters = DelimiterChoice{};
        // A file a spreadsheet program saved: its fields come quoted.
        m_delimiters.quoted = m_text && m_text->looksQuoted(m_delimiters.delimiterBytes());
    }
    m_semicolon->setChecked(m_delimiters.semicolon);
    m_comma->setChecked(m_delimiters.comma);
    m_tab->setChecked(m_delimiters.tab);
    m_space->setChecked(m_delimiters.space);
    m_other->setChecked(m_delimiters.other);
    m_otherEdit->setText(SystemCharset::toUnicode(m_delimiters.otherCharacter));
    m_consecutive->setChecked(m_delimiters.consecutiveAsOne);
    m_quoted->setChecked(m_delimiters.quoted);
    refreshSplitPreview();
    m_semicolon->setFocus();
}

DelimiterChoice TImpVznLoad::delimiterChoice() const
{
    DelimiterChoice choice;
    choice.semicolon = m_semicolon->isChecked();
    choice.comma = m_comma->isChecked();
    choice.tab = m_tab->isChecked();
    choice.space = m_space->isChecked();
    choice.other = m_other->isChecked();
    // Only a character of one byte in the system charset can split bytes.
    const QByteArray other = SystemCharset::fromUnicode(m_otherEdit->text());
    choice.otherCharacter = other.size() == 1 ? other : QByteArray();
    choice.consecutiveAsOne = m_consecutive->isChecked();
    choice.quoted = m_quoted->isChecked();
    return choice;
}

ImportChoices TImpVznLoad::choices() const
{
    ImportChoices c;
    c.type = m_type;
    c.startRow = m_startRow;
    c.delimiters = m_delimiters;
    c.breaks = m_breaks;
    return c;
}

void TImpVznLoad::refreshSplitPreview()
{
    std::vector<QStringList> records;
    if (m_text) {
        const DelimiterChoice choice = delimiterChoice();
        const QByteArray delimiters = choice.delimiterBytes();
        const qsizetype first = std::max(0, m_startRow - 1);
        if (choice.quoted) {
            qsizetype pos = first < m_text->lineCount() ? m_text->lineOffset(first) : m_text->text().size();
            while (pos < m_text->text().size() && int(records.size()) < kPreviewRecords) {
                const CsvRecord record = splitCsvRecord(m_text->text(), pos, delimiters, choice.consecutiveAsOne);
                QStringList row;
                for (const QByteArray &f : record.fields)
                    row.append(shown(f));
                records.push_back(row);
                if (record.next <= pos)
                    break;
                pos = record.next;
            }
        } else {
            for (qsizetype i = first; i < m_text->lineCount() && int(records.size()) < kPreviewRecords; ++i) {
                const QByteArrayView line = m_text->line(i);
                if (line.isEmpty())
                    continue; // the preview leaves empty lines out
                QStringList row;
                for (QByteArrayView f : splitDelimited(line, delimiters, choice.consecutiveAsOne)) {
                    if (row.size() >= kMaxImportColumns)
                        break;
                    row.append(shown(f));
                }
                records.push_back(row);
            }
        }
    }
    m_splitModel->setRecords(std::move(records));
    m_splitPreview->resizeColumnsToContents();
    for (int c = 0; c < m_splitModel->columnCount(); ++c)
        m_splitPreview->setColumnWidth(c, std::min(m_splitPreview->columnWidth(c), 400));
}

void TImpVznLoad::runImport()
{
    m_result->clear();
    const int rowsBefore = m_table.rowCount();
    Q_UNUSED(rowsBefore);
    UnstorableFields rule;
    const QByteArray delimiterByte = SystemCharset::fromUnicode(QString(m_listDelimiter));
    rule.listDelimiter = delimiterByte.size() == 1 ? delimiterByte[0] : ';';
    const ImportChoices c = choices();

    auto attempt = [&](const UnstorableFields &r) {
        DelayedProgress progress(
            this, [this] { return m_msl->text(4) + QStringLiteral(".. ") + m_fileName; }, g_progressDelay);
        const ImportProgress step = [&progress](qint64 p, qint64 m) { return progress.step(p, m); };
        if (m_type == ImportType::Spreadsheet) {
            ImportResult sheet;
            if (m_workbook)
                sheet = importSpreadsheet(*m_workbook, m_sheetChoices, m_table, r, step);
            else
                sheet.error = QStringLiteral("the file was not read");
            return sheet;
        }
        if (m_type == ImportType::DBase) {
            // The table may have gone since step 2.
            QString why;
            auto table = DbfTable::open(m_fileName, &why);
            if (!table) {
                ImportResult failed;
                failed.error = why;
                return failed;
            }
            return importDbf(*table, c.startRow, m_table, r, step);
        }
        if (!m_text) {
            ImportResult failed;
            failed.error = QStringLiteral("the file was not read");
            return failed;
        }
        return importText(*m_text, c, m_table, r, step);
    };

    ImportResult result = attempt(rule);
    if (!result.ok && !result.stopped && result.unstorableRows > 0) {
        const char replacement = rule.listDelimiter == ' ' ? '_' : ' ';
        const QString question = m_msl->text(9).arg(result.error, delimiterName(m_listDelimiter),
                                                     delimiterName(QChar::fromLatin1(replacement)));
        if (ShowMessageBox(question, m_msl->text(2), mbIconQuestion | mbYesNo) == idYes) {
            rule.replacement = replacement;
            result = attempt(rule);
        } else {
            m_result->setText(m_msl->text(10));
            m_back->setEnabled(true);
            m_next->setEnabled(false);
            return;
        }
    }

    QString text;
    if (result.stopped) {
        text = m_msl->text(7);
    } else if (!result.ok) {
        text = m_msl->text(8).arg(result.error);
        ShowMessageBox(text, m_msl->text(2), mbIconError);
    } else if (result.records == 0) {
        text = m_msl->text(6);
    } else {
        text = m_msl->text(5)
                   .arg(result.records)
                   .arg(result.firstRow + 1)
                   .arg(result.firstRow + result.records)
                   .arg(result.columns);
        if (result.unstorableRows > 0)
            text += QStringLiteral("\n%1 records had the list delimiter or a line break replaced in a field.")
                        .arg(result.unstorableRows);
    }
    if (!result.notes.isEmpty())
        text += u'\n' + result.notes.join(u'\n');
    m_result->setText(text);
    m_back->setEnabled(true);
    m_next->setEnabled(false);
    m_exit->setFocus();
}

bool ImportAddressBook(QWidget *parent, ListTable &table, QChar listDelimiter)
{
    TImpVznLoad wizard(table, listDelimiter, parent);
    return wizard.exec() == QDialog::Accepted;
}

} // namespace varnholt
