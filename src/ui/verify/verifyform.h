#pragma once

#include "verify/verifyrun.h"

#include <QDialog>
#include <QFile>

class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableView;

// The verification window ("Verify E-mail List") over a VerifyRun: the
// project's addresses with their state, the number of connections, the
// DNS server and the time-out, and the commands to run, resume, stop, save
// the results and delete the unavailable addresses from the project's list.
namespace varnholt {

class Project;
class TMsgLanguage;
class VerifyModel;

class TVerifyForm : public QDialog
{
    Q_OBJECT
public:
    // `emailColumn` is the list column of the addresses; `factory` makes the
    // MX queries.
    TVerifyForm(Project &project, int emailColumn, MxQueryFactory factory, QWidget *parent = nullptr);
    ~TVerifyForm() override;

    [[nodiscard]] VerifyRun &run() { return *m_run; }
    [[nodiscard]] QTableView *grid() const { return m_grid; }
    [[nodiscard]] QPushButton *button(const QString &name) const;
    // True once rows were deleted from the project's list.
    [[nodiscard]] bool listChanged() const { return m_listChanged; }

    void startVerification(bool resume);
    void stop();
    void deleteUnavailable();
    void saveAs();
    void getDnsInfo();

    void done(int result) override;

signals:
    // Rows were deleted from the project's list.
    void listChangedByVerification();

private:
    void buildWindow();
    void loadRows();
    void applyFields();
    void runningChanged(bool running);
    void runFinished();

    Project &m_project;
    int m_emailColumn;
    TMsgLanguage *m_msl;
    std::unique_ptr<VerifyRun> m_run;
    VerifyModel *m_model = nullptr;
    QTableView *m_grid = nullptr;
    QLineEdit *m_connections = nullptr;
    QLineEdit *m_dns = nullptr;
    QSpinBox *m_timeOut = nullptr;
    QLineEdit *m_mailServer = nullptr;
    QFile m_log;
    bool m_listChanged = false;
};

// Opens the verification window modally on the project's list; true when
// it deleted rows from the list.
bool VerifyAddresses(QWidget *parent, Project &project, int emailColumn, MxQueryFactory factory);

} // namespace varnholt
