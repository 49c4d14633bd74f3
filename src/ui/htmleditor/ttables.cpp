#include "ttables.h"

#include "colorchoice.h"

#include "ui/common/msglanguage.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <array>

namespace varnholt {

namespace {

QSpinBox *spinBox(int minimum, int maximum, int value, QWidget *parent)
{
    auto *box = new QSpinBox(parent);
    box->setRange(minimum, maximum);
    box->setValue(value);
    return box;
}

} // namespace

T_Tables::T_Tables(const QString &colorFileStem, QWidget *parent)
    : QDialog(parent)
    , m_colorFileStem(colorFileStem)
    , m_rows(spinBox(1, 99, 1, this))
    , m_cols(spinBox(1, 99, 1, this))
    , m_width(spinBox(1, 100, 10, this))
    , m_lineSize(spinBox(1, 100, 1, this))
    , m_lineColor(new QLineEdit(QStringLiteral("#000000"), this))
    , m_lightColor(new QLineEdit(this))
    , m_darkColor(new QLineEdit(this))
{
    setObjectName(QStringLiteral("T_Tables"));
    setWindowTitle(QStringLiteral("Define tables parameters"));
    auto *group = new QGroupBox(QStringLiteral("Tabel Parameters"), this);
    group->setObjectName(QStringLiteral("gbParams"));
    auto *form = new QFormLayout(group);
    const std::array<std::pair<QString, QSpinBox *>, 4> numbers{{
        {QStringLiteral("Rows"), m_rows},
        {QStringLiteral("Cols"), m_cols},
        {QStringLiteral("Width"), m_width},
        {QStringLiteral("Line size"), m_lineSize},
    }};
    const char *numberNames[] = {"seRows", "seCols", "seWidth", "seLineSize"};
    for (size_t i = 0; i < numbers.size(); ++i) {
        numbers[i].second->setObjectName(QString::fromLatin1(numberNames[i]));
        form->addRow(numbers[i].first, numbers[i].second);
    }
    const std::array<std::pair<QString, QLineEdit *>, 3> colors{{
        {QStringLiteral("Line colour"), m_lineColor},
        {QStringLiteral("Line light colour"), m_lightColor},
        {QStringLiteral("Line Dark colour"), m_darkColor},
    }};
    const char *colorNames[] = {"edLineColor", "edLightColor", "edDarkColor"};
    for (int i = 0; i < 3; ++i) {
        auto *row = new QHBoxLayout;
        auto *select = new QPushButton(QStringLiteral("Select color"), group);
        select->setObjectName(QStringLiteral("selectColor%1").arg(i + 1));
        QLineEdit *target = colors[size_t(i)].second;
        target->setObjectName(QString::fromLatin1(colorNames[i]));
        connect(select, &QPushButton::clicked, this, [this, i, target] { selectColor(i + 1, target); });
        row->addWidget(target, 1);
        row->addWidget(select);
        // A row of a layout gets no buddy from the form: the label names
        // the colour box (and so becomes "<box>Label").
        auto *label = new QLabel(colors[size_t(i)].first, group);
        label->setBuddy(target);
        form->addRow(label, row);
    }

    auto *insert = new QPushButton(QStringLiteral("Insert"), this);
    insert->setObjectName(QStringLiteral("insert"));
    insert->setDefault(true);
    auto *close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(QStringLiteral("close"));
    connect(insert, &QPushButton::clicked, this, &QDialog::accept);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(insert);
    buttons->addWidget(close);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addLayout(buttons);

    TranslationRegistry::instance().announce(this, nullptr);
}

TableParams T_Tables::params() const
{
    TableParams p;
    p.rows = m_rows->value();
    p.cols = m_cols->value();
    p.width = m_width->value();
    p.lineSize = m_lineSize->value();
    p.lineColor = m_lineColor->text();
    p.lightColor = m_lightColor->text();
    p.darkColor = m_darkColor->text();
    return p;
}

void T_Tables::setParams(const TableParams &p)
{
    m_rows->setValue(p.rows);
    m_cols->setValue(p.cols);
    m_width->setValue(p.width);
    m_lineSize->setValue(p.lineSize);
    m_lineColor->setText(p.lineColor);
    m_lightColor->setText(p.lightColor);
    m_darkColor->setText(p.darkColor);
}

void T_Tables::selectColor(int button, QLineEdit *target)
{
    if (const auto rgb = ChooseColor(this, m_colorFileStem + QString::number(button) + QStringLiteral(".hcr")))
        target->setText(ColorValue(*rgb));
}

} // namespace varnholt
