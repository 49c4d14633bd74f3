#pragma once

#include "ui/listtools/keywordgrid.h"

#include <QByteArray>
#include <QDialog>

class QCheckBox;
class QComboBox;
class QPushButton;
class QStandardItemModel;
class QTableView;

// The window "Replace Form" (T_Replace): rewrites the values of one column
// with a list of old and new value pairs, the replace list, which can be
// loaded from and saved to a replace file. It stays open until "Close", so
// several replace lists can be applied in turn.
namespace varnholt {

class ListTable;
class TMsgLanguage;

class TReplaceForm : public QDialog
{
    Q_OBJECT
public:
    enum Message { msReplaceForm, msOldValue, msNewValue, msOpenReplaceFile, msReplaceFormFile, msSaveReplaceFileAs,
                   msCompleted, msAttention };
    [[nodiscard]] static QStringList defaultMessages();

    explicit TReplaceForm(ListTable &target, QWidget *parent = nullptr);

    void loadFileClick();
    void saveFileAsClick();
    void addKeywordClick();
    void deleteKeywordClick();
    void replaceClick();

    // Loads `file` as "Load File" does after its dialog.
    void loadReplaceFile(const QString &file);
    // The grid from the replace lines (after loading, on a delimiter change).
    void rebuildGrid();

    [[nodiscard]] QString replaceFileName() const { return m_grid->file(); }
    [[nodiscard]] QStandardItemModel *pairs() const { return m_pairs; }
    [[nodiscard]] QTableView *pairView() const { return m_grid->view(); }
    [[nodiscard]] QComboBox *columnBox() const { return m_column; }
    [[nodiscard]] QComboBox *delimiterBox() const { return m_grid->delimiterBox(); }
    [[nodiscard]] QCheckBox *caseSensitiveBox() const { return m_caseSensitive; }
    [[nodiscard]] QPushButton *loadButton() const { return m_grid->loadButton(); }
    [[nodiscard]] QPushButton *saveAsButton() const { return m_grid->saveAsButton(); }
    [[nodiscard]] QPushButton *addButton() const { return m_grid->addButton(); }
    [[nodiscard]] QPushButton *deleteButton() const { return m_grid->deleteButton(); }
    [[nodiscard]] QPushButton *replaceButton() const { return m_replace; }
    [[nodiscard]] QPushButton *closeButton() const { return m_close; }
    [[nodiscard]] TMsgLanguage *messages() const { return m_msl; }

private:
    [[nodiscard]] QByteArray delimiterBytes() const;
    void setHeaders();
    void setCaptionFor(const QString &file);

    ListTable &m_target;
    TMsgLanguage *m_msl;
    QStandardItemModel *m_pairs;
    QByteArray m_replaceLines; // the replace file last loaded or saved

    KeywordGrid *m_grid;
    QComboBox *m_column;
    QCheckBox *m_caseSensitive;
    QPushButton *m_replace;
    QPushButton *m_close;
};

} // namespace varnholt
