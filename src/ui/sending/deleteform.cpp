#include "ui/sending/deleteform.h"
#include "ui/common/mnemonic.h"
#include "ui/common/msglanguage.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace varnholt {

namespace {

constexpr DeleteChoice kChoices[] = {DeleteChoice::Sent, DeleteChoice::Unsent, DeleteChoice::Codes};
constexpr const char *kChoiceNames[] = {"sentChoice", "unsentChoice", "codesChoice"};

} // namespace

DeleteDialogSettings &deleteDialogSettings()
{
    static DeleteDialogSettings settings;
    return settings;
}

T_DeleteForm::T_DeleteForm(const DeleteDialogSettings &settings, QWidget *parent, DeleteCounter counter)
    : QDialog(parent)
    , m_counter(std::move(counter))
{
    setObjectName(QStringLiteral("T_DeleteForm"));
    setWindowTitle(QStringLiteral("Delete dialog"));
    setModal(true);

    auto *layout = new QVBoxLayout(this);
    for (int i = 0; i < 3; ++i) {
        m_choices[i] = new QRadioButton(WithMnemonic(deleteChoiceCaption(kChoices[i]), u"aus"[i]), this);
        m_choices[i]->setObjectName(QString::fromLatin1(kChoiceNames[i]));
        m_choices[i]->setChecked(kChoices[i] == settings.choice);
        connect(m_choices[i], &QRadioButton::toggled, this, &T_DeleteForm::updateCodeList);
        layout->addWidget(m_choices[i]);
    }

    m_codes = new QListWidget(this);
    m_codes->setObjectName(QStringLiteral("codes"));
    m_codes->setProperty("translate", false); // the server's reply codes and words
    QStringList codes = deleteDialogCodes();
    codes.sort();
    for (const QString &entry : codes) {
        auto *item = new QListWidgetItem(entry, m_codes);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        const bool ticked = settings.codeSet.contains(u';' + entry.left(3));
        item->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
    }
    layout->addWidget(m_codes);
    connect(m_codes, &QListWidget::itemChanged, this, &T_DeleteForm::updateCount);
    m_count = new QLabel(this);
    m_count->setObjectName(QStringLiteral("count"));
    m_count->setVisible(bool(m_counter));
    layout->addWidget(m_count);

    // Deleting cannot be undone: Enter cancels.
    auto *buttons = new QDialogButtonBox(this);
    m_delete = buttons->addButton(QStringLiteral("&Delete "), QDialogButtonBox::AcceptRole);
    m_cancel = buttons->addButton(QStringLiteral("&Cancel"), QDialogButtonBox::RejectRole);
    m_delete->setAutoDefault(false);
    m_cancel->setDefault(true);
    m_delete->setObjectName(QStringLiteral("deleteButton"));
    m_cancel->setObjectName(QStringLiteral("cancelButton"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    resize(520, 420);
    updateCodeList();
    TranslationRegistry::instance().announce(this, nullptr);
}

QRadioButton *T_DeleteForm::choiceButton(DeleteChoice choice) const
{
    return m_choices[int(choice)];
}

void T_DeleteForm::updateCodeList()
{
    m_codes->setEnabled(choiceButton(DeleteChoice::Codes)->isChecked());
    updateCount();
}

void T_DeleteForm::updateCount()
{
    if (!m_counter)
        return;
    const int rows = m_counter(settings(DeleteDialogSettings{}));
    m_count->setText(rows == 0 ? QStringLiteral("No row of the list matches: nothing to delete.")
                     : rows == 1 ? QStringLiteral("1 row will be deleted from the mailing list.")
                                 : QStringLiteral("%1 rows will be deleted from the mailing list.").arg(rows));
    m_delete->setEnabled(rows > 0);
}

QString T_DeleteForm::countText() const
{
    return m_count->text();
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

bool ShowDeleteForm(DeleteDialogSettings &settings, QWidget *parent, DeleteCounter counter)
{
    T_DeleteForm form(settings, parent, std::move(counter));
    const bool accepted = form.exec() == QDialog::Accepted;
    settings = form.settings(settings);
    return accepted;
}

} // namespace varnholt
