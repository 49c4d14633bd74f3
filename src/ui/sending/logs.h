#pragma once

#include "settings/logrecords.h"

#include <QAbstractTableModel>
#include <QDialog>

class QPushButton;
class QTableView;

// The log viewer `T_logs` ("Log data"): the records of one send log in a
// four-column grid (time, address, status word, comment), with an export to
// a spreadsheet.
namespace varnholt {

class TMsgLanguage;

// The grid's rows: one per log record, one empty row when there are none.
class LogTableModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    LogTableModel(const TLogListObj &log, const TMsgLanguage &msl, QObject *parent = nullptr);

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The cells of a record: "hh:mm:ss", address, status word, comment.
    [[nodiscard]] static QStringList cellsOf(const TLogDataObj &record);

private:
    const TLogListObj &m_log;
    const TMsgLanguage &m_msl;
};

class T_logs : public QDialog
{
    Q_OBJECT
public:
    // Message texts by index.
    enum Message { msAttention, msExcelError, msTime, msAddress, msStatus, msComment, msTitle };
    [[nodiscard]] static QStringList defaultMessages();

    // Reads `logFile`, its records' status decided by `goodWord` ("Ok") and
    // `badWord` ("No").
    T_logs(const QString &logFile, const QString &goodWord, const QString &badWord, QWidget *parent = nullptr);

    [[nodiscard]] const TLogListObj &log() const { return m_log; }
    [[nodiscard]] QTableView *grid() const { return m_grid; }
    [[nodiscard]] QPushButton *exportButton() const { return m_export; }
    [[nodiscard]] TMsgLanguage *messages() const { return m_msl; }

    // "Export to MS Excel": the records into a workbook in the program
    // folder, opened with the desktop's spreadsheet application.
    bool exportToExcel();

private:
    void translate();

    TLogListObj m_log;
    TMsgLanguage *m_msl;
    LogTableModel *m_model;
    QTableView *m_grid;
    QPushButton *m_export;
    QPushButton *m_close;
};

// "View log file": shows the log viewer for `logFile` modally.
void ShowLogs(const QString &logFile, const QString &goodWord, const QString &badWord, QWidget *parent = nullptr);

} // namespace varnholt
