#include "inputform.h"

#include "msglanguage.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace varnholt {

TInputForm::TInputForm(const QString &caption, const QString &prompt, const QString &value, int maxLength,
                       bool masked, QWidget *parent)
    : QDialog(parent)
    , m_edit(new QLineEdit(value, this))
    , m_mask(new QCheckBox(QStringLiteral("Mask password"), this))
    , m_maxLength(std::clamp(maxLength, 0, kMaxLength))
{
    setObjectName(QStringLiteral("TInputForm"));
    // The caller words the caption and the prompt; the box only words its
    // buttons and the check box.
    setProperty("translate", false);
    setWindowTitle(caption);
    setMinimumWidth(360);
    auto *layout = new QVBoxLayout(this);
    auto *label = new QLabel(prompt, this);
    label->setProperty("translate", false);
    label->setWordWrap(true);
    label->setBuddy(m_edit);
    m_edit->setObjectName(QStringLiteral("edValue"));
    m_mask->setObjectName(QStringLiteral("cbMask"));
    layout->addWidget(label);
    layout->addWidget(m_edit);
    layout->addWidget(m_mask);

    m_mask->setVisible(masked);
    m_mask->setChecked(masked);
    m_edit->setEchoMode(masked ? QLineEdit::Password : QLineEdit::Normal);
    connect(m_mask, &QCheckBox::toggled, this,
            [this](bool on) { m_edit->setEchoMode(on ? QLineEdit::Password : QLineEdit::Normal); });

    auto *buttons = new QDialogButtonBox(this);
    QPushButton *ok = buttons->addButton(QStringLiteral("&Ok"), QDialogButtonBox::AcceptRole);
    ok->setObjectName(QStringLiteral("btOk"));
    buttons->addButton(QStringLiteral("&Cancel"), QDialogButtonBox::RejectRole)
        ->setObjectName(QStringLiteral("btCancel"));
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    TranslationRegistry::instance().announce(this, nullptr);
}

QString TInputForm::value() const
{
    return m_edit->text().left(m_maxLength);
}

bool TInputForm::execute(const QString &caption, const QString &prompt, QString &value, int maxLength,
                         bool masked, QWidget *parent)
{
    TInputForm form(caption, prompt, value, maxLength, masked, parent);
    if (form.exec() != QDialog::Accepted)
        return false;
    value = form.value();
    return true;
}

} // namespace varnholt
