#include "ui/listtools/replaceform.h"

#include "listtools/listreplace.h"
#include "project/listtable.h"
#include "settings/syscharset.h"
#include "settings/textfile.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"
#include "ui/common/msglanguage.h"
#include "ui/common/progaddress.h"
#include "ui/listtools/keywordgrid.h"
#include "ui/listtools/listtoolwindows.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

namespace varnholt {

QStringList TReplaceForm::defaultMessages()
{
    return {QStringLiteral("Replace Form"),         QStringLiteral("Old Value"),
            QStringLiteral("New Value"),            QStringLiteral("Open Replace File"),
            QStringLiteral("Replace Form"),         QStringLiteral("Save Replace File as"),
            QStringLiteral("Replaces have been completed"), QStringLiteral("Attention")};
}

TReplaceForm::TReplaceForm(ListTable &target, QWidget *parent)
    : QDialog(parent)
    , m_target(target)
    , m_msl(new TMsgLanguage(QStringLiteral("T_Replace"), defaultMessages(), this))
    , m_pairs(new QStandardItemModel(1, 2, this))
{
    setObjectName(QStringLiteral("T_Replace"));
    setWindowTitle(m_msl->text(msReplaceForm));
    setModal(true);

    m_grid = new KeywordGrid(m_pairs, QStringLiteral("Replace list"), this);
    m_grid->loadButton()->setToolTip(QStringLiteral("Select text file of keyword filterg"));
    m_grid->saveAsButton()->setToolTip(QStringLiteral("Save keywords as text file"));
    setHeaders();

    m_column = new QComboBox(this);
    m_column->setObjectName(QStringLiteral("cbF"));
    m_column->setProperty("translate", false); // the list's column titles
    m_column->addItems(target.titles());
    m_caseSensitive = new QCheckBox(QStringLiteral("Cas&e sensitive"), this);
    m_caseSensitive->setObjectName(QStringLiteral("cbC"));

    m_replace = new QPushButton(QStringLiteral("&Replace"), this);
    m_replace->setObjectName(QStringLiteral("sbReplace"));
    m_replace->setToolTip(QStringLiteral("Replace data in the addressbook"));
    m_close = new QPushButton(QStringLiteral("&Close"), this);
    m_close->setObjectName(QStringLiteral("sbClose"));

    auto *columnLabel = new QLabel(QStringLiteral("Column &to replace"), this);
    columnLabel->setBuddy(m_column);

    auto *options = new QHBoxLayout;
    options->addWidget(columnLabel);
    options->addWidget(m_column);
    options->addWidget(m_caseSensitive);
    options->addStretch();
    options->addWidget(m_replace);
    options->addWidget(m_close);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(m_grid->fileRow());
    layout->addWidget(m_grid->view(), 1);
    layout->addLayout(options);
    resize(800, 460);
    setTabChain({m_grid->view(), m_column, m_grid->delimiterBox(), m_caseSensitive, m_grid->loadButton(),
                 m_grid->saveAsButton(), m_grid->addButton(), m_grid->deleteButton(), m_replace, m_close});

    connect(m_grid->loadButton(), &QPushButton::clicked, this, &TReplaceForm::loadFileClick);
    connect(m_grid->saveAsButton(), &QPushButton::clicked, this, &TReplaceForm::saveFileAsClick);
    connect(m_grid->addButton(), &QPushButton::clicked, this, &TReplaceForm::addKeywordClick);
    connect(m_grid->deleteButton(), &QPushButton::clicked, this, &TReplaceForm::deleteKeywordClick);
    connect(m_replace, &QPushButton::clicked, this, &TReplaceForm::replaceClick);
    connect(m_close, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_grid->delimiterBox(), &QComboBox::currentIndexChanged, this, &TReplaceForm::rebuildGrid);

    TranslationRegistry::instance().announce(this, m_msl);
    m_grid->loadButton()->setFocus();
}

void TReplaceForm::setHeaders()
{
    QStringList titles{m_msl->text(msOldValue), m_msl->text(msNewValue)};
    for (int c = 2; c < m_pairs->columnCount(); ++c)
        titles << QString::number(c + 1);
    m_pairs->setHorizontalHeaderLabels(titles.mid(0, m_pairs->columnCount()));
    m_grid->view()->setColumnWidth(0, 380);
    if (m_pairs->columnCount() > 1)
        m_grid->view()->setColumnWidth(1, 346);
}

void TReplaceForm::setCaptionFor(const QString &file)
{
    setWindowTitle(m_msl->text(msReplaceFormFile) + QStringLiteral(" - ") + QFileInfo(file).fileName());
}

QByteArray TReplaceForm::delimiterBytes() const
{
    return SystemCharset::fromUnicode(QString(m_grid->delimiter()));
}

void TReplaceForm::rebuildGrid()
{
    const auto rows = parseReplaceFile(m_replaceLines, delimiterBytes());
    m_grid->refill([&] {
        m_pairs->clear();
        if (rows.empty()) {
            m_pairs->setRowCount(1);
            m_pairs->setColumnCount(2);
        } else {
            // As wide as the first line has fields (at least one column).
            const int columns = std::max<int>(1, int(rows.front().size()));
            m_pairs->setColumnCount(columns);
            m_pairs->setRowCount(int(rows.size()));
            for (int r = 0; r < int(rows.size()); ++r) {
                for (int c = 0; c < int(rows[size_t(r)].size()) && c < columns; ++c)
                    m_pairs->setItem(r, c, new QStandardItem(SystemCharset::toUnicode(rows[size_t(r)][size_t(c)])));
            }
        }
        setHeaders();
    });
}

void TReplaceForm::loadReplaceFile(const QString &file)
{
    // A file that cannot be read leaves the previous lines.
    if (const auto bytes = readFileBytes(file))
        m_replaceLines = *bytes;
    rebuildGrid();
    setCaptionFor(file);
    m_grid->setFile(file);
}

void TReplaceForm::loadFileClick()
{
    const auto chosen = ShowFileDialog(this, FileDialogKind::Open, m_msl->text(msOpenReplaceFile), m_grid->file(),
                                       QStringLiteral("ALL (*)"));
    if (chosen)
        loadReplaceFile(*chosen);
}

void TReplaceForm::saveFileAsClick()
{
    if (!m_grid->canSave())
        return;
    const auto chosen = ShowFileDialog(this, FileDialogKind::Save, m_msl->text(msSaveReplaceFileAs), m_grid->file(),
                                       QStringLiteral("ALL (*)"));
    if (!chosen)
        return;
    QString file = *chosen;
    const QString name = QFileInfo(file).fileName();
    if (!name.contains(u'.') || name.endsWith(u'.'))
        file += QStringLiteral(".txt");
    std::vector<std::vector<QByteArray>> rows;
    for (int r = 0; r < m_pairs->rowCount(); ++r) {
        std::vector<QByteArray> cells;
        for (int c = 0; c < m_pairs->columnCount(); ++c) {
            const QStandardItem *item = m_pairs->item(r, c);
            cells.push_back(SystemCharset::fromUnicode(item ? item->text() : QString()));
        }
        rows.push_back(std::move(cells));
    }
    m_replaceLines = replaceFileBytes(rows, delimiterBytes());
    // A failed write is not reported.
    writeFileAtomically(file, m_replaceLines);
    setCaptionFor(file);
    m_grid->setFile(file);
}

void TReplaceForm::addKeywordClick()
{
    const int row = m_pairs->rowCount();
    m_pairs->insertRow(row);
    m_grid->view()->setCurrentIndex(m_pairs->index(row, 0));
    m_grid->view()->setFocus();
}

void TReplaceForm::deleteKeywordClick()
{
    const QModelIndex current = m_grid->view()->currentIndex();
    if (!current.isValid())
        return;
    if (current.row() == 0) {
        for (int c = 0; c < m_pairs->columnCount(); ++c)
            m_pairs->setItem(0, c, new QStandardItem());
        return;
    }
    m_pairs->removeRow(current.row());
}

void TReplaceForm::replaceClick()
{
    const int column = m_column->currentIndex();
    std::vector<ReplacePair> pairs;
    for (int r = 0; r < m_pairs->rowCount(); ++r) {
        auto text = [&](int c) {
            const QStandardItem *item = c < m_pairs->columnCount() ? m_pairs->item(r, c) : nullptr;
            return SystemCharset::fromUnicode(item ? item->text() : QString());
        };
        pairs.push_back({text(0), text(1)});
    }
    if (column >= 0) {
        DelayedProgress progress(this, [this] { return m_msl->text(msReplaceForm) + QStringLiteral(".."); });
        const ReplaceResult result = findReplacements(
            m_target, column, pairs, m_caseSensitive->isChecked(),
            [&progress](qint64 done, qint64 total) { return progress.step(done, total); });
        progress.finish();
        if (result.stopped)
            return;
        applyReplacements(m_target, result);
    }
    ShowMessageBox(m_msl->text(msCompleted), m_msl->text(msAttention), mbIconInformation);
}

void ReplaceInAddressBook(QWidget *parent, ListTable &table)
{
    TReplaceForm window(table, parent);
    window.exec();
}

} // namespace varnholt
