#pragma once

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;

// `TInputForm`: a modal input box with a caption, a prompt, an edit box
// preset with the value, "&Ok" and "&Cancel", and, for passwords only, a
// ticked check box "Mask password" that shows every character as "*".
// Enter acts as "&Ok", Escape as "&Cancel".
namespace varnholt {

class TInputForm : public QDialog
{
    Q_OBJECT
public:
    // At most this many characters come back.
    static constexpr int kMaxLength = 255;

    TInputForm(const QString &caption, const QString &prompt, const QString &value, int maxLength,
               bool masked, QWidget *parent = nullptr);

    // The edited value cut to the maximum length.
    [[nodiscard]] QString value() const;

    // Shows the box; true for "&Ok", and then `value` holds the edited text.
    static bool execute(const QString &caption, const QString &prompt, QString &value, int maxLength,
                        bool masked, QWidget *parent = nullptr);

    [[nodiscard]] QLineEdit *edit() const { return m_edit; }
    [[nodiscard]] QCheckBox *maskBox() const { return m_mask; }

private:
    QLineEdit *m_edit;
    QCheckBox *m_mask;
    int m_maxLength;
};

} // namespace varnholt
