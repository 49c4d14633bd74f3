#pragma once

#include "listtools/importsource.h"
#include "listtools/spreadsheet.h"

#include <QDialog>

#include <chrono>

#include <memory>
#include <optional>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QStackedWidget;
class QTableView;
class QToolButton;

// The import wizard `T_ImpVznLoad`: brings records from a delimited or
// fixed-width text file, a quoted CSV file, a dBASE table or a spreadsheet
// workbook (.xlsx, .ods, .xls) into the project's list, in four steps (file;
// type and preview, with the sheet, its titles row and cell range for a
// workbook; column breaks or delimiters; import).
//
// The import goes into the list only when it finishes: a stopped or failed
// import leaves the list as it was.
namespace varnholt {

class ListTable;
class TMsgLanguage;

class TImpVznLoad : public QDialog
{
    Q_OBJECT
public:
    enum Step { StepFile = 1, StepType = 2, StepBreaks = 3, StepDelimiters = 4, StepImport = 5 };

    TImpVznLoad(ListTable &table, QChar listDelimiter, QWidget *parent = nullptr);
    ~TImpVznLoad() override;

    [[nodiscard]] Step step() const { return m_step; }
    [[nodiscard]] ImportType sourceType() const { return m_type; }
    [[nodiscard]] QByteArray breaks() const { return m_breaks; }

    // The controls, for tests and the screenshot program.
    [[nodiscard]] QLineEdit *fileEdit() const { return m_fileEdit; }
    [[nodiscard]] QToolButton *browseButton() const { return m_browse; }
    [[nodiscard]] QPushButton *backButton() const { return m_back; }
    [[nodiscard]] QPushButton *nextButton() const { return m_next; }
    [[nodiscard]] QPushButton *exitButton() const { return m_exit; }
    [[nodiscard]] QRadioButton *dbfButton() const { return m_dbf; }
    [[nodiscard]] QRadioButton *delimitedButton() const { return m_delimited; }
    [[nodiscard]] QRadioButton *fixedButton() const { return m_fixed; }
    [[nodiscard]] QRadioButton *spreadsheetButton() const { return m_spreadsheet; }
    [[nodiscard]] QComboBox *sheetBox() const { return m_sheetBox; }
    [[nodiscard]] QCheckBox *titlesBox() const { return m_titlesBox; }
    [[nodiscard]] QLineEdit *rangeEdit() const { return m_rangeEdit; }
    [[nodiscard]] QRadioButton *windowsButton() const { return m_windows; }
    [[nodiscard]] QRadioButton *dosButton() const { return m_dos; }
    [[nodiscard]] QSpinBox *startRowBox() const { return m_startRowBox; }
    [[nodiscard]] QTableView *linePreview() const { return m_linePreview; }
    [[nodiscard]] QTableView *breakGrid() const { return m_breakGrid; }
    [[nodiscard]] QTableView *delimitedPreview() const { return m_splitPreview; }
    [[nodiscard]] QCheckBox *delimiterBox(char which) const; // ';' ',' 't' ' ' 'o' (other) 'c' (consecutive) 'q'
    [[nodiscard]] QLineEdit *otherEdit() const { return m_otherEdit; }
    [[nodiscard]] QLabel *resultLabel() const { return m_result; }
    [[nodiscard]] QLabel *noteLabel() const { return m_note; }

    // Toggles the column break after character `position` (0-based), as a
    // click on the break grid does.
    void toggleBreak(int position);

    // How long reading or importing runs before the progress window shows
    // (tests show it at once, to press "Stop").
    static void setProgressDelay(std::chrono::milliseconds delay);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void buildFilePage();
    void buildTypePage();
    void buildBreaksPage();
    void buildDelimitersPage();
    void buildImportPage();

    void goTo(Step step);
    void nextClicked();
    void backClicked();
    void browseClicked();
    void enterTypeStep();
    void enterBreaksStep();
    void enterDelimitersStep();
    void runImport();
    bool loadText();
    bool loadWorkbook(const QString &name);
    void showSpreadsheet(bool shown);
    void sheetChoicesChanged();
    void originChanged();
    void refreshLinePreview();
    void refreshSplitPreview();
    [[nodiscard]] DelimiterChoice delimiterChoice() const;
    [[nodiscard]] ImportChoices choices() const;

    ListTable &m_table;
    QChar m_listDelimiter;
    TMsgLanguage *m_msl;
    Step m_step = StepFile;
    ImportType m_type = ImportType::Unknown;
    FileOrigin m_origin = FileOrigin::Windows;
    int m_startRow = 1;
    QByteArray m_breaks;
    DelimiterChoice m_delimiters;
    bool m_delimitersVisited = false;
    QString m_fileName;        // the file the source was read from
    std::optional<TextSource> m_text;
    std::optional<DbfTable> m_dbfTable;
    std::optional<Workbook> m_workbook;
    SheetChoices m_sheetChoices;
    bool m_rangeValid = true;

    QStackedWidget *m_pages;
    QLineEdit *m_fileEdit;
    QToolButton *m_browse;
    QRadioButton *m_dbf;
    QRadioButton *m_delimited;
    QRadioButton *m_fixed;
    QRadioButton *m_spreadsheet;
    QGroupBox *m_originBox;
    QWidget *m_startRowPanel;
    QWidget *m_sheetPanel;
    QComboBox *m_sheetBox;
    QCheckBox *m_titlesBox;
    QLineEdit *m_rangeEdit;
    QRadioButton *m_windows;
    QRadioButton *m_dos;
    QSpinBox *m_startRowBox;
    QLabel *m_note;
    QTableView *m_linePreview;
    QTableView *m_breakGrid;
    QTableView *m_splitPreview;
    QCheckBox *m_semicolon;
    QCheckBox *m_comma;
    QCheckBox *m_tab;
    QCheckBox *m_space;
    QCheckBox *m_other;
    QLineEdit *m_otherEdit;
    QCheckBox *m_consecutive;
    QCheckBox *m_quoted;
    QLabel *m_result;
    QPushButton *m_back;
    QPushButton *m_next;
    QPushButton *m_exit;

    class LineModel;
    class DbfModel;
    class BreakModel;
    class SplitModel;
    class SheetModel;
    LineModel *m_lineModel;
    SheetModel *m_sheetModel;
    DbfModel *m_dbfModel;
    BreakModel *m_breakModel;
    SplitModel *m_splitModel;
};

} // namespace varnholt
