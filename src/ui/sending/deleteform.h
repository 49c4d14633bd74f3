#pragma once

#include "sending/resultfiles.h"

#include <QDialog>

class QListWidget;
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

class T_DeleteForm : public QDialog
{
    Q_OBJECT
public:
    explicit T_DeleteForm(const DeleteDialogSettings &settings, QWidget *parent = nullptr);

    // The choice and, with "Status code is ...", the ticked codes in list
    // order; other choices keep `previous`'s code set.
    [[nodiscard]] DeleteDialogSettings settings(const DeleteDialogSettings &previous) const;

    [[nodiscard]] QRadioButton *choiceButton(DeleteChoice choice) const;
    [[nodiscard]] QListWidget *codeList() const { return m_codes; }

private:
    void updateCodeList();

    QRadioButton *m_choices[3];
    QListWidget *m_codes;
};

// Shows the dialog with `settings`; closing it with either button stores
// the choice back. True for "Delete ".
bool ShowDeleteForm(DeleteDialogSettings &settings, QWidget *parent = nullptr);

} // namespace varnholt
