#pragma once

#include "project/listtable.h"

#include <QDialog>
#include <QString>

class QLineEdit;
class QSpinBox;
class QTableView;

// The list editor ("Edit Address Book"): a working copy of the project's
// mailing list in a table the user edits in place, replaces with another
// list file, writes to a file of its own, exports to a spreadsheet and runs
// the list tools on. The project's table is touched only when the editor
// commits: "Save" with changes, and closing with changes.
namespace varnholt {

class TMsgLanguage;

class TEditAB : public QDialog
{
    Q_OBJECT
public:
    // `listFile` names the project's list (the window's title, the file
    // dialogs' start, and what "Open" and "Save As" compare with);
    // `delimiter` is the list's field delimiter (a Tab or a blank as the
    // character itself).
    TEditAB(ListTable &projectTable, const QString &listFile, const QString &delimiter, QWidget *parent = nullptr);

    // True once the editor committed its table into the project's.
    [[nodiscard]] bool changed() const { return m_changed; }
    [[nodiscard]] bool isModified() const { return m_modified; }
    // The delimiter box's content, handed back to the caller.
    [[nodiscard]] QString delimiter() const;

    [[nodiscard]] ListTable &table() { return m_table; }
    [[nodiscard]] QTableView *view() const { return m_view; }
    [[nodiscard]] QSpinBox *columnCountBox() const { return m_columns; }

    // The buttons' handlers.
    void sbNewClick();
    void sbOpenClick();
    // Replaces the table with the list file `file` (a missing file: "New").
    void loadFile(const QString &file);
    void sbsaveClick();
    void sbSaveAsClick();
    bool saveAs(const QString &file);
    void addRecord();
    void deleteRecord();
    void filterClick();
    void replaceClick();
    void removeDuplicatesClick();
    // The extraction window on the list's conditions file: "Orvanel" shows
    // it, "Extract Data" runs the saved conditions unattended; the rows
    // found are added to the table.
    void orvanelClick();
    void extractDataClick();
    // Adds extracted records (comma text, one a line) with up to
    // `fieldCount` values each: a blank one-row table takes the first.
    void appendExtracted(const QStringList &records, int fieldCount);
    void exportToExcel();

    // The list file's name with the extension ".cnd".
    [[nodiscard]] static QString conditionsFileOf(const QString &listFile);

    void done(int result) override;

private:
    void buildWindow();
    void commit();
    void setModified() { m_modified = true; }
    void columnCountChosen(int count);
    void showColumnCount();
    void runExtraction(bool unattended);
    [[nodiscard]] QChar delimiterChar() const;

    ListTable &m_projectTable;
    ListTable m_table;
    QString m_listFile;
    TMsgLanguage *m_msl;
    QLineEdit *m_delimiter = nullptr;
    QSpinBox *m_columns = nullptr;
    QTableView *m_view = nullptr;
    bool m_modified = false;
    bool m_changed = false;
    bool m_filling = false;
};

// Runs the list editor modally on the project's table. True when it
// committed its records; `delimiter` then holds the delimiter box's content
// (it always does on return).
bool EditAddressBook(QWidget *parent, ListTable &projectTable, const QString &listFile, QString &delimiter);

} // namespace varnholt
