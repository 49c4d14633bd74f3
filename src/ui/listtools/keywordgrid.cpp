#include "ui/listtools/keywordgrid.h"

#include <QAbstractItemModel>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableView>

namespace varnholt {

QStringList listToolDelimiters()
{
    QStringList out;
    for (const QChar c : QStringLiteral(",./\\|+=-:;<>@!~#$%^&*(){}"))
        out << QString(c);
    return out;
}

void setTabChain(std::initializer_list<QWidget *> widgets)
{
    QWidget *previous = nullptr;
    for (QWidget *w : widgets) {
        if (previous)
            QWidget::setTabOrder(previous, w);
        previous = w;
    }
}

KeywordGrid::KeywordGrid(QAbstractItemModel *model, const QString &accessibleName, QWidget *window)
    : QObject(window)
{
    m_view = new QTableView(window);
    m_view->setModel(model);
    m_view->setAccessibleName(accessibleName);
    m_view->setTabKeyNavigation(false);
    m_view->verticalHeader()->setDefaultSectionSize(20);

    m_delimiter = new QComboBox(window);
    m_delimiter->setObjectName(QStringLiteral("SectionSymbol"));
    m_delimiter->setProperty("translate", false); // the entries are the delimiters themselves
    m_delimiter->addItems(listToolDelimiters());
    m_delimiter->setCurrentText(QStringLiteral(";"));

    m_load = new QPushButton(QStringLiteral("&Load File"), window);
    m_load->setObjectName(QStringLiteral("sbLoad"));
    m_saveAs = new QPushButton(QStringLiteral("&Save File As"), window);
    m_saveAs->setObjectName(QStringLiteral("sbSaveAs"));
    m_add = new QPushButton(QStringLiteral("&Add Keyword"), window);
    m_add->setObjectName(QStringLiteral("sbAdd"));
    m_delete = new QPushButton(QStringLiteral("&Delete Keyword"), window);
    m_delete->setObjectName(QStringLiteral("sbDelete"));
    auto *delimiterLabel = new QLabel(QStringLiteral("Field deli&miter"), window);
    delimiterLabel->setBuddy(m_delimiter);

    m_fileRow = new QHBoxLayout;
    for (QPushButton *b : {m_load, m_saveAs, m_add, m_delete})
        m_fileRow->addWidget(b);
    m_fileRow->addStretch();
    m_fileRow->addWidget(delimiterLabel);
    m_fileRow->addWidget(m_delimiter);

    auto edited = [this] {
        if (!m_filling) {
            m_edited = true;
            updateSaveAllowed();
        }
    };
    connect(model, &QAbstractItemModel::dataChanged, this, edited);
    connect(model, &QAbstractItemModel::rowsInserted, this, edited);
    connect(model, &QAbstractItemModel::rowsRemoved, this, edited);
    updateSaveAllowed();
}

QChar KeywordGrid::delimiter() const
{
    const QString text = m_delimiter->currentText();
    return text.isEmpty() ? QChar(u';') : text.front();
}

void KeywordGrid::setFile(const QString &file)
{
    m_file = file;
    updateSaveAllowed();
}

void KeywordGrid::refill(const std::function<void()> &fill)
{
    m_filling = true;
    fill();
    m_filling = false;
}

void KeywordGrid::updateSaveAllowed()
{
    m_saveAs->setEnabled(canSave());
}

} // namespace varnholt
