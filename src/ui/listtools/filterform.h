#pragma once

#include "project/listtable.h"
#include "ui/listtools/keywordgrid.h"

#include <QDialog>

class QComboBox;
class QPushButton;
class QRadioButton;
class QTableView;

// The window "Filter" (TFilterForm1): removes from a list every record whose
// value in a chosen column matches one of a set of keywords, kept in a
// keyword file ("filter.txt" in the program folder by default). It stays
// open, so several keyword sets can be applied in turn.
namespace varnholt {

class TMsgLanguage;

class TFilterForm1 : public QDialog
{
    Q_OBJECT
public:
    enum Message { msFilter, msOpenFilter, msSaveFilterAs, msFiltered, msSaveRemoved };
    [[nodiscard]] static QStringList defaultMessages();

    // `removedFolder`: where the save dialog for removed records starts.
    TFilterForm1(ListTable &target, const QString &removedFolder, QWidget *parent = nullptr);

    // True once records were removed.
    [[nodiscard]] bool changed() const { return m_changed; }

    void loadFileClick();
    void saveFileAsClick();
    void addKeywordClick();
    void deleteKeywordClick();
    void applyFilterClick();

    // Reads the keyword file (the current keyword file name) with the
    // selected delimiter.
    void readKeywordFile();
    [[nodiscard]] QString keywordFileName() const { return m_grid->file(); }
    [[nodiscard]] ListTable &keywords() { return m_keywords; }
    [[nodiscard]] QTableView *keywordView() const { return m_grid->view(); }
    [[nodiscard]] QComboBox *keywordColumnBox() const { return m_keywordColumn; }
    [[nodiscard]] QComboBox *targetColumnBox() const { return m_targetColumn; }
    [[nodiscard]] QComboBox *delimiterBox() const { return m_grid->delimiterBox(); }
    [[nodiscard]] QRadioButton *equalButton() const { return m_equal; }
    [[nodiscard]] QRadioButton *containsButton() const { return m_contains; }
    [[nodiscard]] QPushButton *loadButton() const { return m_grid->loadButton(); }
    [[nodiscard]] QPushButton *saveAsButton() const { return m_grid->saveAsButton(); }
    [[nodiscard]] QPushButton *addButton() const { return m_grid->addButton(); }
    [[nodiscard]] QPushButton *deleteButton() const { return m_grid->deleteButton(); }
    [[nodiscard]] QPushButton *applyButton() const { return m_apply; }
    [[nodiscard]] QPushButton *closeButton() const { return m_close; }
    [[nodiscard]] TMsgLanguage *messages() const { return m_msl; }

private:
    void setCaptionFor(const QString &file);
    void fillKeywordColumns();

    ListTable &m_target;
    QString m_removedFolder;
    TMsgLanguage *m_msl;
    ListTable m_keywords;
    bool m_changed = false;

    KeywordGrid *m_grid;
    QComboBox *m_keywordColumn;
    QComboBox *m_targetColumn;
    QRadioButton *m_equal;
    QRadioButton *m_contains;
    QPushButton *m_apply;
    QPushButton *m_close;
};

} // namespace varnholt
