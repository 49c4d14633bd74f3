#include "ui/sending/logs.h"

#include "settings/helpers.h"
#include "ui/common/msglanguage.h"
#include "ui/sending/xlsxexport.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVBoxLayout>

namespace varnholt {

namespace {

constexpr int kColumns = 4;
enum Column { colTime, colAddress, colStatus, colComment };

const QColor kSelectedColour(206, 211, 225);
const QColor kFocusedColour(148, 200, 228);

// Time and status are short and centred; address and comment read from
// the left.
Qt::Alignment columnAlignment(int column)
{
    return (column == colTime || column == colStatus ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignVCenter;
}

QString shortened(const QString &text, const QFontMetrics &metrics, int width)
{
    return ShortenToWidth(text, [&metrics](const QString &t) { return metrics.horizontalAdvance(t); }, width);
}

// The fixed row: filled with the button colour and framed as raised (white
// top and left, grey bottom and right), its title centred.
class RaisedHeader : public QHeaderView
{
public:
    using QHeaderView::QHeaderView;

protected:
    void paintSection(QPainter *painter, const QRect &rect, int logicalIndex) const override
    {
        if (!rect.isValid())
            return;
        painter->save();
        painter->fillRect(rect, palette().button());
        painter->setPen(QColor(128, 128, 128));
        painter->drawLine(rect.bottomLeft(), rect.bottomRight());
        painter->drawLine(rect.topRight(), rect.bottomRight());
        painter->setPen(Qt::white);
        painter->drawLine(rect.topLeft(), rect.topRight() - QPoint(1, 0));
        painter->drawLine(rect.topLeft(), rect.bottomLeft() - QPoint(0, 1));
        const QString title = model() ? model()->headerData(logicalIndex, orientation()).toString() : QString();
        const QRect inner = rect.adjusted(1, 1, -1, -1);
        painter->setPen(palette().buttonText().color());
        painter->drawText(inner, Qt::AlignCenter, shortened(title, fontMetrics(), inner.width()));
        painter->restore();
    }
};

// Record cells: selection and focus colours of their own, the text one
// pixel inside the cell and shortened with "..." when it does not fit.
class LogCellDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        painter->save();
        QColor fill = option.palette.base().color();
        if (option.state & QStyle::State_Selected)
            fill = kSelectedColour;
        else if (option.state & QStyle::State_HasFocus)
            fill = kFocusedColour;
        painter->fillRect(option.rect, fill);
        const QRect inner = option.rect.adjusted(1, 1, -1, -1);
        painter->setPen(option.palette.text().color());
        painter->setFont(option.font);
        painter->drawText(inner, int(columnAlignment(index.column())),
                          shortened(index.data().toString(), option.fontMetrics, inner.width()));
        painter->restore();
    }
};

} // namespace

LogTableModel::LogTableModel(const TLogListObj &log, const TMsgLanguage &msl, QObject *parent)
    : QAbstractTableModel(parent)
    , m_log(log)
    , m_msl(msl)
{
}

int LogTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : std::max(1, m_log.count());
}

int LogTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QStringList LogTableModel::cellsOf(const TLogDataObj &record)
{
    return {record.TimeText(), record.Address, record.StatusText(), record.Comment};
}

QVariant LogTableModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    const TLogDataObj *record = m_log.item(index.row());
    return record ? QVariant(cellsOf(*record).value(index.column())) : QVariant(QString());
}

QVariant LogTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Vertical)
        return section + 1;
    return m_msl.text(T_logs::msTime + section);
}

QStringList T_logs::defaultMessages()
{
    return {QStringLiteral("Attention"), QStringLiteral("MS Excel initialization error"), QStringLiteral("Time"),
            QStringLiteral("Address"),   QStringLiteral("Status"),                        QStringLiteral("Comment"),
            QStringLiteral("Log data (%1)")};
}

T_logs::T_logs(const QString &logFile, const QString &goodWord, const QString &badWord, QWidget *parent)
    : QDialog(parent)
    , m_log(logFile, goodWord, badWord)
    , m_msl(new TMsgLanguage(QStringLiteral("T_logs"), defaultMessages(), this))
{
    setObjectName(QStringLiteral("T_logs"));
    setModal(true);
    m_log.Load();

    m_model = new LogTableModel(m_log, *m_msl, this);
    m_grid = new QTableView(this);
    m_grid->setObjectName(QStringLiteral("sgLog"));
    m_grid->setTabKeyNavigation(false); // Tab leaves the grid; arrows move inside it
    m_grid->setAccessibleName(QStringLiteral("Send log"));
    auto *header = new RaisedHeader(Qt::Horizontal, m_grid);
    m_grid->setHorizontalHeader(header);
    m_grid->setItemDelegate(new LogCellDelegate(m_grid));
    m_grid->setModel(m_model);
    m_grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->verticalHeader()->hide();
    m_grid->verticalHeader()->setDefaultSectionSize(m_grid->fontMetrics().height() + 4);
    m_grid->setColumnWidth(colTime, 70);
    m_grid->setColumnWidth(colAddress, 220);
    m_grid->setColumnWidth(colStatus, 60);
    header->setStretchLastSection(true);

    m_export = new QPushButton(QStringLiteral("&Export to MS Excel"), this);
    m_export->setObjectName(QStringLiteral("sbExcel"));
    m_close = new QPushButton(QStringLiteral("&Close"), this);
    m_close->setObjectName(QStringLiteral("sbClose"));
    connect(m_export, &QPushButton::clicked, this, &T_logs::exportToExcel);
    connect(m_close, &QPushButton::clicked, this, &QDialog::accept);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_export);
    buttons->addStretch();
    buttons->addWidget(m_close);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_grid);
    layout->addLayout(buttons);
    resize(640, 420);

    connect(m_msl, &TMsgLanguage::changed, this, &T_logs::translate);
    setProperty("translate", false); // the title names the log file
    TranslationRegistry::instance().announce(this, m_msl);
    translate();
}

void T_logs::translate()
{
    setWindowTitle(m_msl->text(msTitle).arg(m_log.path()));
    m_model->headerDataChanged(Qt::Horizontal, 0, kColumns - 1);
}

bool T_logs::exportToExcel()
{
    QStringList header;
    for (int column = 0; column < kColumns; ++column)
        header << m_msl->text(msTime + column);
    std::vector<QStringList> rows;
    rows.reserve(size_t(m_log.count()));
    for (int i = 0; i < m_log.count(); ++i)
        rows.push_back(LogTableModel::cellsOf(*m_log.item(i)));
    ExcelExportTexts texts;
    texts.caption = m_msl->text(msAttention);
    texts.initError = m_msl->text(msExcelError);
    const QString base = QFileInfo(m_log.path()).completeBaseName();
    return ExportToExcel(this, (base.isEmpty() ? QStringLiteral("log") : base) + QStringLiteral(".xlsx"), {}, header,
                         rows, texts);
}

void ShowLogs(const QString &logFile, const QString &goodWord, const QString &badWord, QWidget *parent)
{
    T_logs viewer(logFile, goodWord, badWord, parent);
    viewer.exec();
}

} // namespace varnholt
