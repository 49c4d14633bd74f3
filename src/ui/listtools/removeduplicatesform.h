#pragma once

#include <QDialog>

class QCheckBox;
class QListWidget;
class QProgressBar;
class QPushButton;

// The window "Remove duplicates " (TfUni): the fields to watch as a list of
// check boxes, a box that ticks or clears them all, and the run. It stays
// open after a run, so the user can run it again with other fields.
namespace varnholt {

class ListTable;
class TMsgLanguage;

class TfUni : public QDialog
{
    Q_OBJECT
public:
    enum Message { msCompleted, msNothingToDo, msAttention };
    [[nodiscard]] static QStringList defaultMessages();

    explicit TfUni(ListTable &table, QWidget *parent = nullptr);

    // "Remove duplicates": the run over the ticked fields; the result is
    // told in a message box.
    void removeClick();

    [[nodiscard]] QListWidget *fieldList() const { return m_fields; }
    [[nodiscard]] QCheckBox *allFieldsBox() const { return m_all; }
    [[nodiscard]] QPushButton *removeButton() const { return m_remove; }
    [[nodiscard]] QPushButton *closeButton() const { return m_close; }
    [[nodiscard]] QProgressBar *progressBar() const { return m_progress; }
    [[nodiscard]] TMsgLanguage *messages() const { return m_msl; }
    // Ticks exactly the fields of `columns` (tests, scripts).
    void setTickedColumns(const QList<int> &columns);

private:
    ListTable &m_table;
    TMsgLanguage *m_msl;
    QListWidget *m_fields;
    QCheckBox *m_all;
    QProgressBar *m_progress;
    QPushButton *m_remove;
    QPushButton *m_close;
};

} // namespace varnholt
