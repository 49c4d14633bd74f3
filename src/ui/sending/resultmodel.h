#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QTimer>

#include <vector>

// The sending window's result table: a view over the sending run's own
// rows, nothing copied. One model row per record row; the five columns are
// the address, the state word, the result, the reply code and the comment.
// A changed row repaints alone, so a mailing of a million rows stays fluid.
namespace varnholt {

class SendingRun;

class ResultModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit ResultModel(SendingRun &run, QObject *parent = nullptr);

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role = Qt::DisplayRole) const override;

    // The run changed one row. The view hears of changed rows ten times a
    // second at most: a run changes thousands a second, and a row in sight
    // repainted for each change would cost more than sending it.
    void rowChanged(int row);
    // Tells the view of the rows changed since the last time, now.
    void flushChanges();
    // Rows were removed or the titles changed: everything is read again.
    void reload();
    // The five column titles (the window's texts).
    void setHeaders(const QStringList &headers);

private:
    SendingRun &m_run;
    QStringList m_headers;
    std::vector<int> m_changed; // rows the view has not heard of yet
    QTimer m_flushTimer;
    QIcon m_sent;
    QIcon m_failed;
    QIcon m_inProgress;
    QIcon m_unknown;
    QIcon m_deferred;
};

} // namespace varnholt
