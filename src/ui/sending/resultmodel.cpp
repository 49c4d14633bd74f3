#include "resultmodel.h"

#include "sending/sendingrun.h"

#include <algorithm>

#include <QPainter>
#include <QPixmap>

namespace varnholt {

namespace {

constexpr int kColumns = 5;

// The row status icons of the state column, drawn rather than shipped: a
// green tick (sent), a red cross (failed), an amber arrow (in progress).
QIcon statusIcon(RowStatus status)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen;
    pen.setWidthF(2.5);
    pen.setCapStyle(Qt::RoundCap);
    switch (status) {
    case RowStatus::Sent:
        pen.setColor(QColor(0x1e, 0x8c, 0x2e));
        p.setPen(pen);
        p.drawPolyline(QPolygonF({QPointF(3, 8.5), QPointF(6.5, 12), QPointF(13, 4)}));
        break;
    case RowStatus::Failed:
        pen.setColor(QColor(0xc6, 0x28, 0x28));
        p.setPen(pen);
        p.drawLine(QPointF(4, 4), QPointF(12, 12));
        p.drawLine(QPointF(12, 4), QPointF(4, 12));
        break;
    case RowStatus::InProgress:
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xe0, 0x9a, 0x10));
        p.drawPolygon(QPolygonF({QPointF(4, 3), QPointF(13, 8), QPointF(4, 13)}));
        break;
    case RowStatus::Unknown:
        // A ring: the message went out, whether it arrived is not known.
        pen.setColor(QColor(0x80, 0x80, 0x80));
        p.setPen(pen);
        p.drawEllipse(QPointF(8, 8), 4.5, 4.5);
        break;
    case RowStatus::Deferred:
        // A clock: tried again later.
        pen.setColor(QColor(0xe0, 0x9a, 0x10));
        pen.setWidthF(1.8);
        p.setPen(pen);
        p.drawEllipse(QPointF(8, 8), 5.5, 5.5);
        p.drawPolyline(QPolygonF({QPointF(8, 4.5), QPointF(8, 8), QPointF(10.5, 9.5)}));
        break;
    case RowStatus::NotProcessed:
        break;
    }
    return QIcon(pixmap);
}

} // namespace

ResultModel::ResultModel(SendingRun &run, QObject *parent)
    : QAbstractTableModel(parent)
    , m_run(run)
    , m_sent(statusIcon(RowStatus::Sent))
    , m_failed(statusIcon(RowStatus::Failed))
    , m_inProgress(statusIcon(RowStatus::InProgress))
    , m_unknown(statusIcon(RowStatus::Unknown))
    , m_deferred(statusIcon(RowStatus::Deferred))
{
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(100);
    connect(&m_flushTimer, &QTimer::timeout, this, &ResultModel::flushChanges);
}

int ResultModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_run.results().rowCount();
}

int ResultModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QVariant ResultModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_run.results().rowCount())
        return {};
    const ResultTable &results = m_run.results();
    const int row = index.row();
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case 0: return results.address(row);
        case 1: return results.state(row);
        case 2: return results.result(row);
        case 3: return results.code(row);
        case 4: return results.comment(row);
        default: return {};
        }
    }
    if (role == Qt::DecorationRole && index.column() == 1) {
        switch (results.status(row)) {
        case RowStatus::Sent: return m_sent;
        case RowStatus::Failed: return m_failed;
        case RowStatus::InProgress: return m_inProgress;
        case RowStatus::Unknown: return m_unknown;
        case RowStatus::Deferred: return m_deferred;
        case RowStatus::NotProcessed: return {};
        }
    }
    return {};
}

QVariant ResultModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Horizontal)
        return section >= 0 && section < kColumns ? QVariant(m_headers.value(section)) : QVariant();
    return section + 1;
}

void ResultModel::setHeaders(const QStringList &headers)
{
    m_headers = headers;
    emit headerDataChanged(Qt::Horizontal, 0, kColumns - 1);
}

void ResultModel::rowChanged(int row)
{
    if (row < 0 || row >= m_run.results().rowCount())
        return;
    if (m_changed.empty() || m_changed.back() != row)
        m_changed.push_back(row);
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void ResultModel::flushChanges()
{
    m_flushTimer.stop();
    std::vector<int> rows;
    rows.swap(m_changed);
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    const int count = m_run.results().rowCount();
    for (int row : rows) {
        if (row < count)
            emit dataChanged(index(row, 0), index(row, kColumns - 1));
    }
}

void ResultModel::reload()
{
    m_changed.clear();
    m_flushTimer.stop();
    beginResetModel();
    endResetModel();
}

} // namespace varnholt
