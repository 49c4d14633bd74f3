#pragma once

#include "extract/conditions.h"
#include "extract/extractrun.h"

#include <QDialog>
#include <QStringList>

#include <memory>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class QTableView;
class QTimer;

// The extraction window ("Orvanel"): a small file manager to pick the start
// folder and the file mask, the record markers and the field definitions
// (or the HTML table and delimited data options), the rows a run finds as
// they come, and the conditions kept in a ".cnd" file. Opened from the list
// editor it hands the rows back for the list; the list editor can also run
// it unattended on the conditions saved for the list.
namespace varnholt {

class FieldGridModel;
class ExtractResultModel;
class TFilePanel;
class TMsgLanguage;

class TfFas : public QDialog
{
    Q_OBJECT
public:
    enum class Mode { Interactive, Unattended };

    // Reads the conditions file into the window; `mode` Unattended makes the
    // window the small "Please wait" box of an unattended run.
    TfFas(const QString &conditionsFile, Mode mode, QWidget *parent = nullptr);
    ~TfFas() override;

    // The conditions as the window shows them, and back.
    [[nodiscard]] extract::ExtractConditions conditions() const;
    void setConditions(const extract::ExtractConditions &c);
    [[nodiscard]] QString conditionsFile() const { return m_conditionsFile; }
    [[nodiscard]] QString resultsFile() const { return m_resultsFile; }

    // What "Apply && Exit" hands back: one comma-text line of values per
    // row, and the largest number of values in a row.
    [[nodiscard]] const QStringList &results() const { return m_results; }
    [[nodiscard]] int maxValues() const { return m_maxValues; }

    // The commands.
    void extractData();
    void stop();
    void applyAndExit();
    void saveResults();
    void saveProjectAs();
    void loadProject();
    // "Add row (field)" and "Delete row (field)".
    void addField();
    void deleteField();
    // The field grid's pop-up menu.
    void menuAdd();
    void menuInsert();
    void menuDelete();
    void menuClearAll();
    // "Find E-Mail", "Find URL", "Find Domain": the finder into the current
    // row's "Field begin".
    void findEmail();
    void findUrl();
    void findDomain();
    // Unattended: one run, then the window closes with the rows.
    void runUnattended();

    [[nodiscard]] extract::ExtractRun &run() { return *m_run; }
    [[nodiscard]] FieldGridModel *fieldModel() const { return m_fields; }
    [[nodiscard]] QTableView *fieldGrid() const { return m_fieldGrid; }
    [[nodiscard]] ExtractResultModel *resultModel() const { return m_resultModel; }
    [[nodiscard]] QTableView *resultView() const { return m_resultView; }
    [[nodiscard]] TFilePanel *filePanel() const { return m_panel; }
    [[nodiscard]] QPushButton *button(const QString &name) const;
    [[nodiscard]] QLineEdit *edit(const QString &name) const;
    [[nodiscard]] QCheckBox *checkBox(const QString &name) const;
    [[nodiscard]] QString statusText() const;
    [[nodiscard]] const TMsgLanguage &texts() const { return *m_msl; }

    void done(int result) override;

private:
    void buildWindow();
    void buildWaitPanel();
    void applyTexts();
    void runningChanged(bool running);
    void rowFound(const extract::ExtractRow &row);
    void flushRows();
    void runFinished(bool stopped);
    void showProgress(const extract::ExtractCounts &counts);
    void writeFinder(const QString &marker);
    void updateFindButtons();
    void readConditionsFile(const QString &file);
    void showMessage(const QString &text, const QString &caption);
    void fillResults();

    QString m_conditionsFile;
    QString m_resultsFile;
    Mode m_mode;
    TMsgLanguage *m_msl;
    std::unique_ptr<extract::ExtractRun> m_run;
    bool m_userStarted = false;
    std::vector<extract::ExtractRow> m_pending;
    QTimer *m_flushTimer = nullptr;
    QStringList m_results;
    int m_maxValues = 0;

    QWidget *m_content = nullptr;
    QWidget *m_waitPanel = nullptr;
    TFilePanel *m_panel = nullptr;
    FieldGridModel *m_fields = nullptr;
    QTableView *m_fieldGrid = nullptr;
    ExtractResultModel *m_resultModel = nullptr;
    QTableView *m_resultView = nullptr;
    QStackedWidget *m_definitionPages = nullptr;
    QLineEdit *m_recordBegin = nullptr;
    QLineEdit *m_recordEnd = nullptr;
    QCheckBox *m_lengthLimitOn = nullptr;
    QLineEdit *m_lengthLimit = nullptr;
    QCheckBox *m_tableMode = nullptr;
    QRadioButton *m_htmlTable = nullptr;
    QLineEdit *m_tableNumber = nullptr;
    QRadioButton *m_delimitedData = nullptr;
    QLineEdit *m_dataDelimiter = nullptr;
    QCheckBox *m_keepQuoted = nullptr;
    QCheckBox *m_delimiterRuns = nullptr;
    QLineEdit *m_fieldDelimiter = nullptr;
    QLabel *m_status = nullptr;
    extract::ExtractCounts m_counts; // what the status line shows
};

// Runs the extraction window on `conditionsFile`. Interactive: the window
// is shown modally and its conditions are written back as it closes; true,
// with the rows in `results` (comma text, one line a row) and the largest
// value count in `maxValues`, when the user leaves with "Apply && Exit".
// Unattended: one run of the saved conditions in a small box with its own
// "Stop"; true with the rows found, the conditions file left as it was.
bool RunDataExtraction(const QString &conditionsFile, QStringList &results, int &maxValues, bool unattended,
                       QWidget *parent = nullptr);

} // namespace varnholt
