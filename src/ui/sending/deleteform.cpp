#include "ui/sending/deleteform.h"

#include <QDialogButtonBox>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace varnholt {

namespace {

constexpr DeleteChoice kChoices[] = {DeleteChoice::Sent, DeleteChoice::Unsent, DeleteChoice::Codes};

} // namespace

DeleteDialogSettings &deleteDialogSettings()
{
    static DeleteDialogSettings settings;
    return settings;
}

T_DeleteForm::T_DeleteForm(const DeleteDialogSettings &settings, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("T_DeleteForm"));
    setWindowTitle(QStringLiteral("Delete dialog"));
    setModal(true);

    auto *layout = new QVBoxLayout(this);
    for (int i = 0; i < 3; ++i) {
        m_choices[i] = new QRadioButton(deleteChoiceCaption(kChoices[i]), this);
        m_choices[i]->setChecked(kChoices[i] == settings.choice);
        connect(m_choices[i], &QRadioButton::toggled, this, &T_DeleteForm::updateCodeList);
        layout->addWidget(m_choices[i]);
    }

    m_codes = new QListWidget(this);
    QStringList codes = deleteDialogCodes();
    codes.sort();
    for (const QString &entry : codes) {
        auto *item = new QListWidgetItem(entry, m_codes);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        const bool ticked = settings.codeSet.contains(u';' + entry.left(3));
        item->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
    }
    layout->addWidget(m_codes);

    auto *buttons = new QDialogButtonBox(this);
    buttons->addButton(QStringLiteral("Delete "), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    resize(520, 420);
    updateCodeList();
}

QRadioButton *T_DeleteForm::choiceButton(DeleteChoice choice) const
{
    return m_choices[int(choice)];
}

void T_DeleteForm::updateCodeList()
{
    m_codes->setEnabled(choiceButton(DeleteChoice::Codes)->isChecked());
}

DeleteDialogSettings T_DeleteForm::settings(const DeleteDialogSettings &previous) const
{
    DeleteDialogSettings result = previous;
    for (int i = 0; i < 3; ++i) {
        if (m_choices[i]->isChecked())
            result.choice = kChoices[i];
    }
    if (result.choice == DeleteChoice::Codes) {
        QStringList ticked;
        for (int row = 0; row < m_codes->count(); ++row) {
            if (m_codes->item(row)->checkState() == Qt::Checked)
                ticked << m_codes->item(row)->text().left(3);
        }
        result.codeSet = codeSetOf(ticked);
    }
    return result;
}

bool ShowDeleteForm(DeleteDialogSettings &settings, QWidget *parent)
{
    T_DeleteForm form(settings, parent);
    const bool accepted = form.exec() == QDialog::Accepted;
    settings = form.settings(settings);
    return accepted;
}

} // namespace varnholt
