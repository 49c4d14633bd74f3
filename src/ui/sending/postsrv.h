#pragma once

#include "sending/sendingrun.h"

#include <QTimer>
#include <QWidget>

#include <array>
#include <memory>

class QCheckBox;
class QLabel;
class QProgressBar;
class QLineEdit;
class QMdiArea;
class QMenu;
class QPushButton;
class QSpinBox;
class QStatusBar;
class QTableView;

// The sending window ("Sending list"): shows what the sending run does and
// commands it. The run (sending/sendingrun.h) owns the result table, the
// counters, the timers and the logs; this window only draws them and hands
// the user's commands on.
namespace varnholt {

class Project;
class ProjectLock;
class ResultModel;
class TMsgLanguage;

class TPostSrv : public QWidget
{
    Q_OBJECT
public:
    // The window over a run of `project`'s list through its account in
    // `accounts`. Check isUsable() before showing it: when the project's
    // e-mail column is out of range "Define Email Column" was shown and the
    // window must go.
    // The window keeps the mail domain box in the project's account of
    // `accounts` when it closes.
    TPostSrv(Project &project, tAccounts &accounts, QWidget *parent = nullptr);
    ~TPostSrv() override;

    // `Open`: brings the area's sending window to the front, or creates one
    // as a child window of `area`. Null when the list cannot be sent.
    static TPostSrv *Open(QMdiArea *area, Project &project, tAccounts &accounts);

    [[nodiscard]] bool isUsable() const { return m_run->isUsable(); }

    // Keeps the run's results in the journal beside the project (N.results,
    // as the command line does) and shows the last run's table from it.
    // The window must hold the project's lock.
    void useJournal();

    // Commands (the buttons and the pop-up menu). "Save As", "Delete from
    // list", "View log file" and "Schedule" open their dialogs modally.
    void sendMail();
    void stop();
    void resume();
    void saveAs();
    void deleteFromList();
    void viewLogFile();
    void schedule();
    void setStatusOk();
    void setStatusNo();
    // "Close": while a session is busy the run stops first and the window
    // goes once it has ended.
    void closeWindow();
    // The project settings changed (forwarded by the main window): the
    // account transport is chosen again, as on activation.
    Q_INVOKABLE void settingsChanged();
    // After rows went from the result table and the list ("Delete from
    // list"): the table is read again and listChanged() emitted.
    void rowsRemoved();

    // The result table row the user selected (0 when none).
    [[nodiscard]] int selectedRow() const;
    [[nodiscard]] QStringList statusTexts() const;

    [[nodiscard]] SendingRun &run() { return *m_run; }
    [[nodiscard]] Project &project() { return m_project; }
    [[nodiscard]] TMsgLanguage *messages() const { return m_msl; }
    [[nodiscard]] QTableView *resultView() const { return m_view; }
    [[nodiscard]] ResultModel *model() const { return m_model; }
    [[nodiscard]] QPushButton *button(const QString &objectName) const;
    [[nodiscard]] QCheckBox *createLogBox() const { return m_createLog; }
    [[nodiscard]] QMenu *popupMenu() const { return m_popup; }

signals:
    // "Delete from list" removed rows: the project window's record count.
    void listChanged();
    // The window wants the main window to update its commands.
    void commandsChanged();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void buildWidgets();
    void applyTransportSwitch();
    void transportToggled(bool account);
    void applyDirectSettings();
    void refreshPanels();
    void schedulePanelRefresh();
    void setControlsRunning(bool running);
    void onStateChanged(SendingRun::State state);
    void onNotice(const RunNotice &notice);
    // The window's text `index` (DefaultSendingTexts() or its translation).
    [[nodiscard]] QString text(int index) const;
    void applyTexts();
    void createLogToggled(bool on);
    void retriesEdited();
    void storeDirectSettings();
    [[nodiscard]] bool rowVisible(int row) const;
    void followCurrentRow();
    // Whether any row of the e-mail column holds a sendable address.
    [[nodiscard]] bool emailColumnHoldsAddresses() const;
    QPushButton *addButton(const QString &objectName, const QString &caption, void (TPostSrv::*slot)());

    Project &m_project;
    tAccounts &m_accounts;
    std::unique_ptr<SendingRun> m_run;
    std::unique_ptr<ProjectLock> m_lock; // held while the window is open
    TMsgLanguage *m_msl;
    ResultModel *m_model = nullptr;
    QTableView *m_view = nullptr;
    QMenu *m_popup = nullptr;
    QStatusBar *m_statusBar = nullptr;
    std::array<QLabel *, 7> m_panels{};
    QLabel *m_pace = nullptr;           // messages per minute
    QProgressBar *m_progress = nullptr; // rows done of the list
    bool m_followRun = true; // the view keeps the row being sent in sight
    bool m_scrolling = false;
    bool m_shownOnce = false;
    QLineEdit *m_fromName = nullptr;
    QLineEdit *m_fromEmail = nullptr;
    QCheckBox *m_createLog = nullptr;
    // "Retry temporary refusals: N times, M minutes apart" (the project's
    // RetryCount and RetryMinutes).
    QSpinBox *m_retryCount = nullptr;
    QSpinBox *m_retryMinutes = nullptr;
    // The direct transport's controls: part of the window, never shown.
    QWidget *m_direct = nullptr;
    QCheckBox *m_transportSwitch = nullptr;
    QCheckBox *m_ispPost = nullptr;
    QLabel *m_directWarning = nullptr;
    bool m_directWarned = false;
    QLineEdit *m_mailDomain = nullptr;
    QLineEdit *m_dnsServer = nullptr;
    QSpinBox *m_connections = nullptr;
    QSpinBox *m_timeOut = nullptr;
    QPushButton *m_getDnsInfo = nullptr;
    QTimer m_panelTimer;   // coalesces counter changes into one repaint
    QTimer m_elapsedTimer; // the "Elapsed" panel while a run goes on
    bool m_closeAfterRun = false;
    // Why the last run's results could not be taken over; empty when they
    // were, or when there were none.
    QString m_lastRunProblem;
};

} // namespace varnholt
