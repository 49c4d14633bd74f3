#pragma once

#include "htmlfragments.h"

#include <QDialog>

class QLineEdit;
class QSpinBox;

// The table dialog ("Define tables parameters"): the rows, columns, width
// and lines of a table to paste into the HTML body. `colorFileStem` is the
// project folder + project name; the colour buttons keep their custom
// colours in stem + "1.hcr" .. "3.hcr".
namespace varnholt {

class T_Tables : public QDialog
{
    Q_OBJECT
public:
    T_Tables(const QString &colorFileStem, QWidget *parent = nullptr);

    [[nodiscard]] TableParams params() const;
    void setParams(const TableParams &params);
    // The fragment "Insert" accepted with; valid after exec() returned Accepted.
    [[nodiscard]] QString fragment() const { return TableFragment(params()); }

private:
    void selectColor(int button, QLineEdit *target);

    QString m_colorFileStem;
    QSpinBox *m_rows;
    QSpinBox *m_cols;
    QSpinBox *m_width;
    QSpinBox *m_lineSize;
    QLineEdit *m_lineColor;
    QLineEdit *m_lightColor;
    QLineEdit *m_darkColor;
};

} // namespace varnholt
