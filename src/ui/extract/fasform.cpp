#include "fasform.h"

#include "fasmodels.h"
#include "filepanel.h"

#include "settings/syscharset.h"
#include "settings/textfile.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"
#include "ui/common/msglanguage.h"

#include <QAction>
#include <QCheckBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSplitter>
#include <QStackedWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <tuple>

#include <algorithm>

namespace varnholt {

using extract::ExtractConditions;
using extract::ExtractCounts;
using extract::ExtractRow;
using extract::ExtractRun;

namespace {

enum Message {
    msgFieldName, // 0 to 8: the field grid's titles
    msgUnique = 8,
    msgFiles = 9,
    msgAdjustProject = 10,
    msgCompleted = 11,
    msgExtract = 12,
    msgConditionsFiles = 13,
    msgAllFiles = 14,
    msgColumn = 15,
    msgFindNotEmpty = 16,
    msgReplace = 17,
    msgAttention = 18,
    msgYes = 19,
    msgCounts = 27,
};

QStringList defaultMessages()
{
    return {QStringLiteral("Field Name"),
            QStringLiteral("Field begin"),
            QStringLiteral("Field end"),
            QStringLiteral("Identifier number"),
            QStringLiteral("Number of symbols"),
            QStringLiteral("Number of words"),
            QStringLiteral("Number of lines"),
            QStringLiteral("Line number"),
            QStringLiteral("Unique"),
            QStringLiteral("Files"),
            QStringLiteral("Adjust Orvanel project"),
            QStringLiteral("Completed"),
            QStringLiteral("Extract"),
            QStringLiteral("Conditions files"),
            QStringLiteral("All files"),
            QStringLiteral("Column"),
            QStringLiteral("The Field \"Find\" is not empty."),
            QStringLiteral("Replace"),
            QStringLiteral("Attention"),
            QStringLiteral("Yes"),
            QStringLiteral("Create Directory"),
            QStringLiteral("Enter new directory name"),
            QStringLiteral("Cannot remove directory"),
            QStringLiteral("Rename"),
            QStringLiteral("Enter new name"),
            QStringLiteral("Are you sure you want to delete"),
            QStringLiteral("Excel Not Found!"),
            QStringLiteral("Files: %1    Bytes: %2    Values: %3    Rows: %4")};
}

// How long found rows wait before they are shown together.
constexpr int kFlushMillis = 100;

// The field grid: "Unique" is toggled by a double click, Enter or the space
// bar; other keys that would type into it do nothing there.
class FieldGridView : public QTableView
{
public:
    using QTableView::QTableView;

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        const QModelIndex current = currentIndex();
        if (current.isValid() && current.column() == FieldGridModel::Unique) {
            const int key = event->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) {
                static_cast<FieldGridModel *>(model())->toggleUnique(current.row());
                event->accept();
                return;
            }
            if (!event->text().isEmpty() && event->text().at(0).isPrint()) {
                event->accept();
                return;
            }
        }
        QTableView::keyPressEvent(event);
    }
};

} // namespace

TfFas::TfFas(const QString &conditionsFile, Mode mode, QWidget *parent)
    : QDialog(parent)
    , m_conditionsFile(conditionsFile)
    , m_resultsFile(conditionsFile)
    , m_mode(mode)
    , m_msl(new TMsgLanguage(QStringLiteral("TfFas"), defaultMessages(), this))
    , m_run(std::make_unique<ExtractRun>())
{
    setObjectName(QStringLiteral("TfFas"));
    setWindowTitle(QStringLiteral("Orvanel"));
    buildWindow();
    buildWaitPanel();
    TranslationRegistry::instance().announce(this, m_msl);
    applyTexts();
    connect(m_msl, &TMsgLanguage::changed, this, &TfFas::applyTexts);

    m_flushTimer = new QTimer(this);
    m_flushTimer->setSingleShot(true);
    m_flushTimer->setInterval(kFlushMillis);
    connect(m_flushTimer, &QTimer::timeout, this, &TfFas::flushRows);
    connect(m_run.get(), &ExtractRun::rowFound, this, &TfFas::rowFound);
    connect(m_run.get(), &ExtractRun::progress, this, &TfFas::showProgress);
    connect(m_run.get(), &ExtractRun::finished, this, &TfFas::runFinished);

    readConditionsFile(m_conditionsFile);
    runningChanged(false);

    if (m_mode == Mode::Unattended) {
        setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
        m_content->hide();
        m_waitPanel->show();
        layout()->setContentsMargins(0, 0, 0, 0);
        adjustSize();
        if (const QScreen *screen = parent ? parent->screen() : QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
    } else {
        m_waitPanel->hide();
        button(QStringLiteral("sbExtract"))->setFocus();
    }
}

TfFas::~TfFas()
{
    m_resultView->setModel(nullptr);
    m_fieldGrid->setModel(nullptr);
}

void TfFas::buildWindow()
{
    m_content = new QWidget(this);
    const auto label = [this](const QString &text, QWidget *buddy) {
        auto *l = new QLabel(text, this);
        l->setBuddy(buddy);
        return l;
    };
    const auto pushButton = [this](const QString &name, const QString &caption, void (TfFas::*handler)()) {
        auto *b = new QPushButton(caption, this);
        b->setObjectName(name);
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, handler);
        return b;
    };
    const auto oneCharacter = [this](const QString &name, const QString &text) {
        // One character: a further one is refused while the box holds one.
        auto *e = new QLineEdit(text, this);
        e->setObjectName(name);
        e->setMaxLength(1);
        e->setMaximumWidth(32);
        return e;
    };

    // The local computer.
    m_panel = new TFilePanel(*m_msl, this);
    m_panel->setObjectName(QStringLiteral("FilePanel"));
    auto *computer = new QGroupBox(QStringLiteral("Local computer"), this);
    computer->setObjectName(QStringLiteral("gbComputer"));
    auto *computerLayout = new QVBoxLayout(computer);
    computerLayout->addWidget(m_panel);

    // The options.
    m_recordBegin = new QLineEdit(this);
    m_recordBegin->setObjectName(QStringLiteral("eBegin"));
    m_recordEnd = new QLineEdit(this);
    m_recordEnd->setObjectName(QStringLiteral("eEnd"));
    auto *record = new QGroupBox(QStringLiteral("Record Identifier"), this);
    record->setObjectName(QStringLiteral("gbRecord"));
    auto *recordLayout = new QFormLayout(record);
    recordLayout->addRow(label(QStringLiteral("&Begin"), m_recordBegin), m_recordBegin);
    recordLayout->addRow(label(QStringLiteral("E&nd"), m_recordEnd), m_recordEnd);

    m_lengthLimitOn = new QCheckBox(QStringLiteral("Maximal Record Len&gth (bytes)"), this);
    m_lengthLimitOn->setObjectName(QStringLiteral("cbMaxLength"));
    m_lengthLimit = new QLineEdit(this);
    m_lengthLimit->setObjectName(QStringLiteral("eMaxLength"));
    m_lengthLimit->setAccessibleName(QStringLiteral("Maximal Record Length (bytes)"));
    m_lengthLimit->setMaximumWidth(110);
    connect(m_lengthLimitOn, &QCheckBox::toggled, m_lengthLimit, &QWidget::setVisible);
    m_tableMode = new QCheckBox(QStringLiteral("Search &table inside record"), this);
    m_tableMode->setObjectName(QStringLiteral("cbTable"));
    m_fieldDelimiter = oneCharacter(QStringLiteral("eDelimiter"), QStringLiteral(";"));
    // The record markers beside the switches, above the definitions.
    auto *switches = new QGridLayout;
    switches->addWidget(m_lengthLimitOn, 0, 0, 1, 2);
    switches->addWidget(m_lengthLimit, 0, 2, Qt::AlignLeft);
    switches->addWidget(m_tableMode, 1, 0, 1, 3);
    switches->addWidget(label(QStringLiteral("F&ield Delimiter"), m_fieldDelimiter), 2, 0);
    switches->addWidget(m_fieldDelimiter, 2, 1, Qt::AlignLeft);
    switches->setColumnStretch(3, 1);
    auto *options = new QHBoxLayout;
    options->addWidget(record, 1);
    options->addSpacing(12);
    options->addLayout(switches, 1);

    // The field definitions.
    m_fields = new FieldGridModel({}, QString(), this);
    m_fieldGrid = new FieldGridView(this);
    m_fieldGrid->setObjectName(QStringLiteral("sgItem"));
    m_fieldGrid->setAccessibleName(QStringLiteral("Field Identifiers"));
    m_fieldGrid->setModel(m_fields);
    m_fieldGrid->setTabKeyNavigation(false);
    m_fieldGrid->setWordWrap(false);
    m_fieldGrid->setSelectionMode(QAbstractItemView::SingleSelection);
    m_fieldGrid->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed
                                 | QAbstractItemView::AnyKeyPressed);
    m_fieldGrid->verticalHeader()->setDefaultSectionSize(22);
    m_fieldGrid->horizontalHeader()->setDefaultSectionSize(65);
    m_fieldGrid->horizontalHeader()->setDefaultAlignment(Qt::Alignment(Qt::AlignCenter | Qt::TextWordWrap));
    // The titles are wider than their columns: two lines each.
    m_fieldGrid->horizontalHeader()->setFixedHeight(2 * m_fieldGrid->fontMetrics().lineSpacing() + 10);
    const int widths[] = {65, 74, 59, 84, 91, 85, 80, 63, 40};
    // Never narrower than the longest word of the column's title.
    const QFontMetrics header(m_fieldGrid->horizontalHeader()->font());
    for (int c = 0; c < FieldGridModel::kColumns; ++c) {
        int word = 0;
        for (const QString &w : defaultMessages().at(c).split(u' '))
            word = std::max(word, header.horizontalAdvance(w) + 14);
        m_fieldGrid->setColumnWidth(c, std::max(widths[c], word));
    }
    connect(m_fieldGrid, &QTableView::doubleClicked, this, [this](const QModelIndex &index) {
        if (index.column() == FieldGridModel::Unique)
            m_fields->toggleUnique(index.row());
    });
    connect(m_fieldGrid->selectionModel(), &QItemSelectionModel::currentChanged, this, &TfFas::updateFindButtons);
    m_fieldGrid->setContextMenuPolicy(Qt::ActionsContextMenu);
    const std::tuple<const char *, const char *, void (TfFas::*)()> menu[] = {
        {"miAdd", "&Add", &TfFas::menuAdd}, {"miInsert", "&Insert", &TfFas::menuInsert},
        {"miDelete", "&Delete", &TfFas::menuDelete}, {"miClearAll", "&Clear all", &TfFas::menuClearAll}};
    for (const auto &[name, text, handler] : menu) {
        auto *action = new QAction(QString::fromLatin1(text), m_fieldGrid);
        action->setObjectName(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this, handler);
        m_fieldGrid->addAction(action);
    }
    auto *fieldButtons = new QHBoxLayout;
    fieldButtons->addWidget(
        pushButton(QStringLiteral("sbAddRow"), QStringLiteral("A&dd row (field)"), &TfFas::addField));
    fieldButtons->addWidget(
        pushButton(QStringLiteral("sbDeleteRow"), QStringLiteral("D&elete row (field)"), &TfFas::deleteField));
    fieldButtons->addSpacing(12);
    fieldButtons->addWidget(
        pushButton(QStringLiteral("sbFindEmail"), QStringLiteral("Find E-&Mail"), &TfFas::findEmail));
    fieldButtons->addWidget(pushButton(QStringLiteral("sbFindUrl"), QStringLiteral("Find &URL"), &TfFas::findUrl));
    fieldButtons->addWidget(
        pushButton(QStringLiteral("sbFindDomain"), QStringLiteral("Find D&omain"), &TfFas::findDomain));
    fieldButtons->addStretch();
    auto *fieldPage = new QGroupBox(QStringLiteral("Field Identifiers"), this);
    fieldPage->setObjectName(QStringLiteral("gbFields"));
    auto *fieldLayout = new QVBoxLayout(fieldPage);
    fieldLayout->addWidget(m_fieldGrid, 1);
    fieldLayout->addLayout(fieldButtons);

    // The table options, shown instead of the field definitions.
    m_htmlTable = new QRadioButton(QStringLiteral("Find &HTML Table Number"), this);
    m_htmlTable->setObjectName(QStringLiteral("rbHtmlTable"));
    m_tableNumber = new QLineEdit(this);
    m_tableNumber->setObjectName(QStringLiteral("eTableNumber"));
    m_tableNumber->setAccessibleName(QStringLiteral("HTML Table Number"));
    m_tableNumber->setMaximumWidth(60);
    m_delimitedData = new QRadioButton(QStringLiteral("&Find Text Delimited Data"), this);
    m_delimitedData->setObjectName(QStringLiteral("rbDelimited"));
    m_dataDelimiter = oneCharacter(QStringLiteral("eDataDelimiter"), QStringLiteral(";"));
    m_dataDelimiter->setAccessibleName(QStringLiteral("Data delimiter"));
    m_keepQuoted = new QCheckBox(QStringLiteral("Do not s&plit fields if there are symbols in \"..\""), this);
    m_keepQuoted->setObjectName(QStringLiteral("cbKeepQuoted"));
    m_delimiterRuns = new QCheckBox(QStringLiteral("Appl&y several delimiters as single"), this);
    m_delimiterRuns->setObjectName(QStringLiteral("cbDelimiterRuns"));
    auto *tablePage = new QGroupBox(QStringLiteral("Table"), this);
    tablePage->setObjectName(QStringLiteral("gbTable"));
    auto *tableLayout = new QGridLayout(tablePage);
    tableLayout->addWidget(m_htmlTable, 0, 0);
    tableLayout->addWidget(m_tableNumber, 0, 1, Qt::AlignLeft);
    tableLayout->addWidget(m_delimitedData, 1, 0);
    tableLayout->addWidget(m_dataDelimiter, 1, 1, Qt::AlignLeft);
    tableLayout->addWidget(m_keepQuoted, 2, 0, 1, 2);
    tableLayout->addWidget(m_delimiterRuns, 3, 0, 1, 2);
    tableLayout->setColumnStretch(2, 1);
    tableLayout->setRowStretch(4, 1);

    m_definitionPages = new QStackedWidget(this);
    m_definitionPages->addWidget(fieldPage);
    m_definitionPages->addWidget(tablePage);
    connect(m_tableMode, &QCheckBox::toggled, m_definitionPages, &QStackedWidget::setCurrentIndex);

    auto *definitions = new QWidget(this);
    auto *definitionsLayout = new QVBoxLayout(definitions);
    definitionsLayout->setContentsMargins(0, 0, 0, 0);
    definitionsLayout->addLayout(options);
    definitionsLayout->addWidget(m_definitionPages, 1);

    // The rows found.
    m_resultModel = new ExtractResultModel(QString(), this);
    m_resultView = new QTableView(this);
    m_resultView->setObjectName(QStringLiteral("lvRes"));
    m_resultView->setAccessibleName(QStringLiteral("Extracted data"));
    m_resultView->setModel(m_resultModel);
    m_resultView->setTabKeyNavigation(false);
    m_resultView->setWordWrap(false);
    m_resultView->setShowGrid(true);
    m_resultView->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_resultView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_resultView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_resultView->verticalHeader()->hide();
    m_resultView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_resultView->verticalHeader()->setDefaultSectionSize(20);
    m_resultView->horizontalHeader()->setDefaultSectionSize(180);
    m_resultView->horizontalHeader()->setStretchLastSection(true);
    auto *results = new QGroupBox(QStringLiteral("Extracted data"), this);
    results->setObjectName(QStringLiteral("gbResults"));
    auto *resultsLayout = new QVBoxLayout(results);
    resultsLayout->addWidget(m_resultView);

    auto *top = new QSplitter(Qt::Horizontal, this);
    top->addWidget(computer);
    top->addWidget(definitions);
    top->setStretchFactor(0, 2);
    top->setStretchFactor(1, 3);
    top->setChildrenCollapsible(false);
    auto *split = new QSplitter(Qt::Vertical, this);
    split->addWidget(top);
    split->addWidget(results);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 1);
    split->setChildrenCollapsible(false);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(pushButton(QStringLiteral("sbExtract"), QStringLiteral("E&xtract Data"), &TfFas::extractData));
    buttons->addWidget(pushButton(QStringLiteral("sbStop"), QStringLiteral("&Stop"), &TfFas::stop));
    buttons->addSpacing(12);
    buttons->addWidget(
        pushButton(QStringLiteral("sbSaveResults"), QStringLiteral("Save &results"), &TfFas::saveResults));
    buttons->addWidget(
        pushButton(QStringLiteral("sbSaveProject"), QStringLiteral("Save pro&ject as..."), &TfFas::saveProjectAs));
    buttons->addWidget(
        pushButton(QStringLiteral("sbLoadProject"), QStringLiteral("&Load project"), &TfFas::loadProject));
    buttons->addStretch();
    buttons->addWidget(
        pushButton(QStringLiteral("sbApply"), QStringLiteral("&Apply && Exit"), &TfFas::applyAndExit));
    auto *close = new QPushButton(QStringLiteral("&Close"), this);
    close->setObjectName(QStringLiteral("sbClose"));
    close->setAutoDefault(false);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    buttons->addWidget(close);

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("StatusBar"));
    m_status->setProperty("translate", false); // counters of the run
    m_status->setFrameShape(QFrame::StyledPanel);
    m_status->setFrameShadow(QFrame::Sunken);

    auto *contentLayout = new QVBoxLayout(m_content);
    contentLayout->setContentsMargins(0, 0, 0, 0);
    contentLayout->addWidget(split, 1);
    contentLayout->addLayout(buttons);
    contentLayout->addWidget(m_status);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_content, 1);
    resize(1200, 800);
    showProgress({});
}

void TfFas::buildWaitPanel()
{
    m_waitPanel = new QFrame(this);
    static_cast<QFrame *>(m_waitPanel)->setFrameShape(QFrame::Panel);
    static_cast<QFrame *>(m_waitPanel)->setFrameShadow(QFrame::Raised);
    auto *text = new QLabel(QStringLiteral("   Please wait ..."), m_waitPanel);
    text->setObjectName(QStringLiteral("lblWait"));
    QFont font = text->font();
    font.setBold(true);
    text->setFont(font);
    auto *stopButton = new QPushButton(QStringLiteral("&Stop"), m_waitPanel);
    stopButton->setObjectName(QStringLiteral("sbWaitStop"));
    stopButton->setAutoDefault(false);
    connect(stopButton, &QPushButton::clicked, this, &TfFas::stop);
    auto *layout = new QHBoxLayout(m_waitPanel);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(24);
    layout->addWidget(text);
    layout->addWidget(stopButton);
    static_cast<QVBoxLayout *>(this->layout())->addWidget(m_waitPanel);
}

void TfFas::applyTexts()
{
    QStringList titles;
    for (int i = 0; i < FieldGridModel::kColumns; ++i)
        titles << m_msl->text(msgFieldName + i);
    m_fields->setTitles(titles);
    m_fields->setUniqueMarker(m_msl->text(msgYes));
    m_resultModel->setFilesTitle(m_msl->text(msgFiles));
    showProgress(m_counts);
}

QPushButton *TfFas::button(const QString &name) const
{
    return findChild<QPushButton *>(name);
}

QLineEdit *TfFas::edit(const QString &name) const
{
    return findChild<QLineEdit *>(name);
}

QCheckBox *TfFas::checkBox(const QString &name) const
{
    return findChild<QCheckBox *>(name);
}

QString TfFas::statusText() const
{
    return m_status->text();
}

ExtractConditions TfFas::conditions() const
{
    ExtractConditions c;
    c.folder = m_panel->folder();
    c.mask = m_panel->mask();
    c.recordBegin = m_recordBegin->text();
    c.recordEnd = m_recordEnd->text();
    c.lengthLimitOn = m_lengthLimitOn->isChecked();
    c.lengthLimit = m_lengthLimit->text();
    c.tableMode = m_tableMode->isChecked();
    c.htmlTable = m_htmlTable->isChecked();
    c.tableNumber = m_tableNumber->text();
    c.delimitedData = m_delimitedData->isChecked();
    c.dataDelimiter = m_dataDelimiter->text();
    c.keepQuoted = m_keepQuoted->isChecked();
    c.delimiterRuns = m_delimiterRuns->isChecked();
    c.items = m_fields->items();
    return c;
}

void TfFas::setConditions(const ExtractConditions &c)
{
    m_panel->setFolder(c.folder);
    m_panel->setMask(c.mask);
    m_recordBegin->setText(c.recordBegin);
    m_recordEnd->setText(c.recordEnd);
    m_lengthLimitOn->setChecked(c.lengthLimitOn);
    m_lengthLimit->setText(c.lengthLimit);
    m_lengthLimit->setVisible(c.lengthLimitOn);
    m_tableMode->setChecked(c.tableMode);
    m_definitionPages->setCurrentIndex(c.tableMode ? 1 : 0);
    // The run takes delimited data only when the HTML table is off.
    const bool delimited = c.delimitedData && !c.htmlTable;
    m_htmlTable->setChecked(!delimited);
    m_delimitedData->setChecked(delimited);
    m_tableNumber->setText(c.tableNumber);
    m_dataDelimiter->setText(c.dataDelimiter.left(1));
    m_keepQuoted->setChecked(c.keepQuoted);
    m_delimiterRuns->setChecked(c.delimiterRuns);
    m_fields->setItems(c.items);
    m_fieldGrid->setCurrentIndex(m_fields->index(0, 0));
}

void TfFas::readConditionsFile(const QString &file)
{
    // A missing or unreadable file gives the defaults and one empty row.
    setConditions(file.isEmpty() ? extract::defaultConditions() : extract::readConditions(file));
}

void TfFas::showMessage(const QString &text, const QString &caption)
{
    ShowMessageBox(text, caption, mbTaskModal | mbIconInformation);
}

void TfFas::runningChanged(bool running)
{
    button(QStringLiteral("sbExtract"))->setEnabled(!running);
    button(QStringLiteral("sbStop"))->setEnabled(running);
    button(QStringLiteral("sbLoadProject"))->setEnabled(!running);
    if (running && m_mode == Mode::Interactive)
        button(QStringLiteral("sbStop"))->setFocus();
}

void TfFas::extractData()
{
    if (m_run->isRunning())
        return;
    ExtractConditions c = conditions();
    if (!c.tableMode && c.lengthLimitOn) {
        // A limit that is not a number is switched off, here as in the run.
        bool ok = false;
        c.lengthLimit.trimmed().toLongLong(&ok);
        if (!ok) {
            c.lengthLimitOn = false;
            m_lengthLimitOn->setChecked(false);
        }
    }
    m_flushTimer->stop();
    m_pending.clear();
    m_resultModel->clear();
    switch (m_run->start(c)) {
    case ExtractRun::Start::Started:
        break;
    case ExtractRun::Start::NoFields:
        if (m_mode == Mode::Unattended) {
            hide();
            showMessage(m_msl->text(msgAdjustProject), m_msl->text(msgCompleted));
            done(QDialog::Rejected);
            return;
        }
        showMessage(m_msl->text(msgAdjustProject), m_msl->text(msgCompleted));
        return;
    case ExtractRun::Start::Busy:
        return;
    }
    m_userStarted = m_mode == Mode::Interactive;
    m_resultModel->setValueTitles(m_run->columnTitles());
    showProgress({});
    runningChanged(true);
}

void TfFas::runUnattended()
{
    extractData();
}

void TfFas::stop()
{
    m_run->stop();
}

void TfFas::rowFound(const ExtractRow &row)
{
    m_pending.push_back(row);
    if (!m_flushTimer->isActive())
        m_flushTimer->start();
}

void TfFas::flushRows()
{
    m_flushTimer->stop();
    if (m_pending.empty())
        return;
    // The table modes number their columns as the rows grow.
    if (m_run->columnTitles().size() > m_resultModel->valueTitles().size())
        m_resultModel->setValueTitles(m_run->columnTitles());
    std::vector<ExtractRow> batch;
    batch.swap(m_pending);
    m_resultModel->append(std::move(batch));
}

void TfFas::showProgress(const ExtractCounts &counts)
{
    m_counts = counts;
    m_status->setText(m_msl->text(msgCounts)
                          .arg(counts.files)
                          .arg(counts.bytes)
                          .arg(counts.values)
                          .arg(counts.rows));
}

void TfFas::runFinished(bool stopped)
{
    flushRows();
    runningChanged(false);
    const bool announce = m_userStarted && !stopped;
    m_userStarted = false;
    if (m_mode == Mode::Unattended) {
        if (isVisible()) {
            fillResults();
            accept();
        }
        return;
    }
    if (announce)
        showMessage(m_msl->text(msgCompleted), m_msl->text(msgExtract));
}

void TfFas::fillResults()
{
    flushRows();
    m_results.clear();
    m_maxValues = 0;
    const std::vector<ExtractRow> &rows = m_resultModel->rows();
    m_results.reserve(qsizetype(rows.size()));
    for (const ExtractRow &row : rows) {
        m_results << extract::CommaText(row.values);
        m_maxValues = std::max(m_maxValues, int(row.values.size()));
    }
}

void TfFas::applyAndExit()
{
    if (m_run->isRunning())
        m_run->stop();
    fillResults();
    accept();
}

void TfFas::done(int result)
{
    if (m_run->isRunning()) {
        // The run ends here; its rows so far stay in the list.
        disconnect(m_run.get(), &ExtractRun::finished, this, &TfFas::runFinished);
        m_run->stop();
        flushRows();
        runningChanged(false);
    }
    if (m_mode == Mode::Interactive && !m_conditionsFile.isEmpty()) {
        QString error;
        if (!extract::writeConditions(m_conditionsFile, conditions(), &error))
            ShowMessageBox(error, windowTitle(), mbIconError);
    }
    QDialog::done(result);
}

void TfFas::updateFindButtons()
{
    const bool onBegin = m_fieldGrid->currentIndex().isValid()
                         && m_fieldGrid->currentIndex().column() == FieldGridModel::FieldBegin;
    for (const char *name : {"sbFindEmail", "sbFindUrl", "sbFindDomain"})
        button(QString::fromLatin1(name))->setEnabled(onBegin);
}

void TfFas::writeFinder(const QString &marker)
{
    const QModelIndex current = m_fieldGrid->currentIndex();
    if (!current.isValid() || current.column() != FieldGridModel::FieldBegin)
        return;
    const int row = current.row();
    if (!m_fields->cell(row, FieldGridModel::FieldBegin).isEmpty()
        && ShowMessageBox(m_msl->text(msgFindNotEmpty) + QStringLiteral("\n\r") + m_msl->text(msgReplace),
                          m_msl->text(msgAttention), mbTaskModal | mbIconQuestion | mbYesNo)
               != idYes)
        return;
    m_fields->setCell(row, FieldGridModel::FieldBegin, marker);
}

void TfFas::findEmail()
{
    writeFinder(QStringLiteral("^Find@"));
}

void TfFas::findUrl()
{
    writeFinder(QStringLiteral("^FindUrl"));
}

void TfFas::findDomain()
{
    writeFinder(QStringLiteral("^FindDomain"));
}

void TfFas::addField()
{
    int row = 0;
    if (m_fields->rowCount() != 1 || !m_fields->rowBlank(0)) {
        row = m_fields->rowCount();
        m_fields->insertItem(row);
    }
    m_fieldGrid->setCurrentIndex(m_fields->index(row, FieldGridModel::FieldName));
    m_fields->setCell(row, FieldGridModel::FieldName, m_msl->text(msgColumn) + u' ' + QString::number(row + 1));
}

void TfFas::deleteField()
{
    const QModelIndex current = m_fieldGrid->currentIndex();
    if (m_fields->rowCount() == 1) {
        m_fields->removeItem(0);
        return;
    }
    if (!current.isValid())
        return;
    m_fields->removeItem(current.row());
    m_fieldGrid->setCurrentIndex(
        m_fields->index(std::min(current.row(), m_fields->rowCount() - 1), current.column()));
}

void TfFas::menuAdd()
{
    const int row = m_fields->rowCount();
    m_fields->insertItem(row);
    const int column = std::max(0, m_fieldGrid->currentIndex().column());
    m_fieldGrid->setCurrentIndex(m_fields->index(row, column));
}

void TfFas::menuInsert()
{
    const QModelIndex current = m_fieldGrid->currentIndex();
    const int row = current.isValid() ? current.row() : 0;
    m_fields->insertItem(row);
    m_fieldGrid->setCurrentIndex(m_fields->index(row, std::max(0, current.column())));
}

void TfFas::menuDelete()
{
    deleteField();
}

void TfFas::menuClearAll()
{
    m_fields->setItems({});
    m_fieldGrid->setCurrentIndex(m_fields->index(0, 0));
}

namespace {

QString fileFilter(const TMsgLanguage &texts)
{
    return texts.text(msgConditionsFiles) + QStringLiteral(" (*.txt);;") + texts.text(msgAllFiles)
           + QStringLiteral(" (*.*)");
}

} // namespace

void TfFas::saveResults()
{
    const QString preset = m_conditionsFile.left(std::max<qsizetype>(0, m_conditionsFile.size() - 4))
                            + QStringLiteral(".txt");
    const auto chosen = ShowFileDialog(this, FileDialogKind::Save, QString(), preset, fileFilter(*m_msl));
    if (!chosen)
        return;
    QString file = *chosen;
    if (QFileInfo(file).suffix().isEmpty())
        file += QStringLiteral(".txt");
    m_resultsFile = file;
    flushRows();
    const std::vector<ExtractRow> &rows = m_resultModel->rows();
    if (rows.empty())
        return;
    const QString delimiterText = m_fieldDelimiter->text();
    const QChar delimiter = delimiterText.isEmpty() ? QChar(u';') : delimiterText.at(0);
    QString error;
    const bool written = writeFileAtomicallyStreamed(
        file,
        [&rows, delimiter](QIODevice &out) {
            QString line;
            QByteArray chunk;
            for (const ExtractRow &row : rows) {
                line = row.file;
                for (const QString &value : row.values) {
                    line += delimiter;
                    line += value;
                }
                chunk += SystemCharset::fromUnicode(line);
                chunk += "\r\n";
                if (chunk.size() >= (1 << 20)) {
                    if (out.write(chunk) != chunk.size())
                        return false;
                    chunk.clear();
                }
            }
            return out.write(chunk) == chunk.size();
        },
        &error);
    if (!written)
        ShowMessageBox(error, windowTitle(), mbIconError);
}

void TfFas::saveProjectAs()
{
    const auto chosen = ShowFileDialog(this, FileDialogKind::Save, QString(), m_conditionsFile, fileFilter(*m_msl));
    if (!chosen)
        return;
    QString file = *chosen;
    if (QFileInfo(file).suffix().isEmpty())
        file += QStringLiteral(".cnd");
    m_conditionsFile = file;
    QString error;
    if (!extract::writeConditions(m_conditionsFile, conditions(), &error))
        ShowMessageBox(error, windowTitle(), mbIconError);
}

void TfFas::loadProject()
{
    if (m_run->isRunning())
        return;
    const auto chosen = ShowFileDialog(this, FileDialogKind::Open, QString(), m_conditionsFile, fileFilter(*m_msl));
    if (!chosen)
        return;
    // The window's own conditions file stays: the loaded conditions are
    // written to it when the window closes.
    readConditionsFile(*chosen);
    m_flushTimer->stop();
    m_pending.clear();
    m_resultModel->clear();
}

bool RunDataExtraction(const QString &conditionsFile, QStringList &results, int &maxValues, bool unattended,
                       QWidget *parent)
{
    results.clear();
    maxValues = 0;
    TfFas form(conditionsFile, unattended ? TfFas::Mode::Unattended : TfFas::Mode::Interactive, parent);
    if (unattended)
        QTimer::singleShot(0, &form, &TfFas::runUnattended);
    else
        form.setWindowState(form.windowState() | Qt::WindowMaximized);
    if (form.exec() != QDialog::Accepted)
        return false;
    results = form.results();
    maxValues = form.maxValues();
    return true;
}

} // namespace varnholt
