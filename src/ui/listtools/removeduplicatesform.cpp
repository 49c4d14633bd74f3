#include "ui/listtools/removeduplicatesform.h"

#include "listtools/removeduplicates.h"
#include "project/listtable.h"
#include "ui/common/messagebox.h"
#include "ui/common/msglanguage.h"
#include "ui/common/progaddress.h"
#include "ui/listtools/listtoolwindows.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace varnholt {

QStringList TfUni::defaultMessages()
{
    return {QStringLiteral("The process has been completed"), QStringLiteral("Nothing to do"),
            QStringLiteral("Attention")};
}

TfUni::TfUni(ListTable &table, QWidget *parent)
    : QDialog(parent)
    , m_table(table)
    , m_msl(new TMsgLanguage(QStringLiteral("TfUni"), defaultMessages(), this))
{
    setObjectName(QStringLiteral("TfUni"));
    setWindowTitle(QStringLiteral("Remove duplicates "));
    setModal(true);

    m_fields = new QListWidget(this);
    m_fields->setObjectName(QStringLiteral("clbF"));
    m_fields->setProperty("translate", false); // the list's column titles
    m_fields->setTabKeyNavigation(false);
    m_fields->setAccessibleName(QStringLiteral("Field List"));
    const QStringList titles = table.titles();
    for (int i = 0; i < titles.size(); ++i) {
        auto *item = new QListWidgetItem(titles[i], m_fields);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(i == 0 ? Qt::Checked : Qt::Unchecked);
    }
    if (m_fields->count() > 0)
        m_fields->setCurrentRow(0);
    auto *fieldLabel = new QLabel(QStringLiteral("&Field List"), this);
    fieldLabel->setBuddy(m_fields);
    // The box without a caption beside the label ticks or clears them all.
    m_all = new QCheckBox(this);
    m_all->setObjectName(QStringLiteral("cb1"));
    m_all->setAccessibleName(QStringLiteral("All fields"));
    m_all->setToolTip(QStringLiteral("All fields"));

    m_progress = new QProgressBar(this);
    m_progress->setVisible(false);
    m_remove = new QPushButton(QStringLiteral("&Remove duplicates"), this);
    m_remove->setObjectName(QStringLiteral("sbRemove"));
    m_remove->setToolTip(QStringLiteral("Remove duplicated records in the addressbook"));
    m_remove->setDefault(true);
    m_close = new QPushButton(QStringLiteral("&Close"), this);
    m_close->setObjectName(QStringLiteral("sbClose"));

    auto *top = new QHBoxLayout;
    top->addWidget(fieldLabel);
    top->addStretch();
    top->addWidget(m_all);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_remove);
    buttons->addWidget(m_close);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_fields, 1);
    layout->addWidget(m_progress);
    layout->addLayout(buttons);
    resize(360, 380);

    connect(m_all, &QCheckBox::clicked, this, [this](bool checked) {
        for (int i = 0; i < m_fields->count(); ++i)
            m_fields->item(i)->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    });
    connect(m_remove, &QPushButton::clicked, this, &TfUni::removeClick);
    connect(m_close, &QPushButton::clicked, this, &QDialog::accept);

    TranslationRegistry::instance().announce(this, m_msl);
    // The window opens with focus on its first command.
    m_fields->setFocus();
}

void TfUni::setTickedColumns(const QList<int> &columns)
{
    for (int i = 0; i < m_fields->count(); ++i)
        m_fields->item(i)->setCheckState(columns.contains(i) ? Qt::Checked : Qt::Unchecked);
}

void TfUni::removeClick()
{
    std::vector<int> columns;
    for (int i = 0; i < m_fields->count(); ++i) {
        if (m_fields->item(i)->checkState() == Qt::Checked)
            columns.push_back(i);
    }
    if (columns.empty()) {
        ShowMessageBox(m_msl->text(msNothingToDo), m_msl->text(msAttention), mbTaskModal | mbIconInformation);
        return;
    }

    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_progress->setRange(0, std::max(1, m_table.rowCount()));
    m_progress->setValue(0);
    m_progress->setVisible(true);
    // A long run also gets the progress window, whose "Stop" ends it with
    // the table as it was.
    DelayedProgress stopper(this, [this] { return windowTitle().trimmed() + QStringLiteral(".."); });
    const RemovalResult result = findDuplicates(m_table, columns, [&](qint64 done, qint64 total) {
        m_progress->setValue(int(done));
        return stopper.step(done, total);
    });
    stopper.finish();
    applyRemoval(m_table, result);
    m_progress->setVisible(false);
    QApplication::restoreOverrideCursor();
    if (!result.stopped)
        ShowMessageBox(m_msl->text(msCompleted), m_msl->text(msAttention), mbTaskModal | mbIconInformation);
}

void RemoveDuplicates(QWidget *parent, ListTable &table)
{
    TfUni window(table, parent);
    window.exec();
}

} // namespace varnholt
