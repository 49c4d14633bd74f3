#pragma once

#include "sending/resultfiles.h"

#include <QDialog>

#include <functional>

class QLabel;
class QListWidget;
class QPushButton;
class QRadioButton;

// The delete dialog `T_DeleteForm` ("Delete dialog"): which rows "Delete
// from list" removes.
namespace varnholt {

// Kept for the whole program run.
struct DeleteDialogSettings {
    DeleteChoice choice = DeleteChoice::Sent;
    QString codeSet; // ";550;551"
};

// The program run's settings.
[[nodiscard]] DeleteDialogSettings &deleteDialogSettings();

// How many rows a choice would delete.
using DeleteCounter = std::function<int(const DeleteDialogSettings &settings)>;

class T_DeleteForm : public QDialog
{
    Q_OBJECT
public:
    // With `counter` the dialog says how many rows the choice deletes, and
    // offers no "Delete" for none. "Cancel" is the default button.
    explicit T_DeleteForm(const DeleteDialogSettings &settings, QWidget *parent = nullptr,
                          DeleteCounter counter = {});

    // The choice and, with "Status code is ...", the ticked codes in list
    // order; other choices keep `previous`'s code set.
    [[nodiscard]] DeleteDialogSettings settings(const DeleteDialogSettings &previous) const;

    [[nodiscard]] QRadioButton *choiceButton(DeleteChoice choice) const;
    [[nodiscard]] QListWidget *codeList() const { return m_codes; }
    [[nodiscard]] QPushButton *deleteButton() const { return m_delete; }
    [[nodiscard]] QPushButton *cancelButton() const { return m_cancel; }
    [[nodiscard]] QString countText() const;

private:
    void updateCodeList();
    void updateCount();

    QRadioButton *m_choices[3];
    QListWidget *m_codes;
    QLabel *m_count;
    QPushButton *m_delete;
    QPushButton *m_cancel;
    DeleteCounter m_counter;
};

// Shows the dialog with `settings`; closing it with either button stores
// the choice back. True for "Delete ".
bool ShowDeleteForm(DeleteDialogSettings &settings, QWidget *parent = nullptr, DeleteCounter counter = {});

} // namespace varnholt
