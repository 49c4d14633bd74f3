#include "verifyform.h"

#include "dns/finddnsserver.h"
#include "project/project.h"
#include "settings/programfolder.h"
#include "settings/settings.h"
#include "ui/common/filedialogs.h"
#include "ui/common/messagebox.h"
#include "ui/common/msglanguage.h"
#include "ui/common/progaddress.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QColor>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QVBoxLayout>

namespace varnholt {

namespace {

enum Message {
    msgEMail, msgDomain, msgState, msgCode, msgTime, msgComment, msgEmailLoading, msgError, msgNotAvailable,
    msgDnsInfoError, msgAvailable, msgNoData, msgTimeOut, msgCompleted, msgVerify, msgTextFiles, msgAllFiles,
    msgDeleting
};

QStringList defaultMessages()
{
    return {QStringLiteral("EMail"), QStringLiteral("Domain"), QStringLiteral("State"), QStringLiteral("Code"),
            QStringLiteral("Time"), QStringLiteral("Comment"), QStringLiteral("Email Loading"), QStringLiteral("Error"),
            QStringLiteral("Mail server is not available"), QStringLiteral("DNSInfo Define Error"),
            QStringLiteral("Mail server is available"), QStringLiteral("No Data"), QStringLiteral("TimeOut"),
            QStringLiteral("The process has been completed"), QStringLiteral("Verify"), QStringLiteral("Text files"),
            QStringLiteral("All files"), QStringLiteral("Deleting unavailable from list")};
}

} // namespace

// The rows of the run, six columns, each row in the colour of its state.
class VerifyModel : public QAbstractTableModel
{
public:
    VerifyModel(VerifyRun &run, const TMsgLanguage &texts, QObject *parent)
        : QAbstractTableModel(parent)
        , m_run(run)
        , m_texts(texts)
    {
    }

    int rowCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : m_run.rowCount(); }
    int columnCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : 6; }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.row() >= m_run.rowCount())
            return {};
        const VerifyRow &row = m_run.rows()[size_t(index.row())];
        if (role == Qt::DisplayRole) {
            switch (index.column()) {
            case 0: return row.address;
            case 1: return row.domain;
            case 2: return row.state;
            case 3: return row.code;
            case 4: return row.time;
            default: return row.comment;
            }
        }
        if (role == Qt::ForegroundRole) {
            // The standard colours silver, navy, fuchsia, teal and red.
            switch (row.number) {
            case VerifyState::Invalid: return QColor(0xc0, 0xc0, 0xc0);
            case VerifyState::Available: return QColor(0x00, 0x00, 0x80);
            case VerifyState::Unavailable: return QColor(0xff, 0x00, 0xff);
            case VerifyState::TimedOut: return QColor(0x00, 0x80, 0x80);
            case VerifyState::QueryError: return QColor(0xff, 0x00, 0x00);
            case VerifyState::Unchecked: break;
            }
        }
        return {};
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < 6)
            return m_texts.text(msgEMail + section);
        return QAbstractTableModel::headerData(section, orientation, role);
    }

    void rowChanged(int row) { emit dataChanged(index(row, 0), index(row, 5)); }
    void reload()
    {
        beginResetModel();
        endResetModel();
    }

private:
    VerifyRun &m_run;
    const TMsgLanguage &m_texts;
};

TVerifyForm::TVerifyForm(Project &project, int emailColumn, MxQueryFactory factory, QWidget *parent)
    : QDialog(parent)
    , m_project(project)
    , m_emailColumn(emailColumn)
    , m_msl(new TMsgLanguage(QStringLiteral("TVerifyForm"), defaultMessages(), this))
    , m_run(std::make_unique<VerifyRun>(std::move(factory)))
{
    setObjectName(QStringLiteral("TVerifyForm"));
    setWindowTitle(QStringLiteral("Verify E-mail List"));
    buildWindow();
    TranslationRegistry::instance().announce(this, m_msl);

    m_run->setTexts({m_msl->text(msgError), m_msl->text(msgNotAvailable), m_msl->text(msgAvailable),
                     m_msl->text(msgNoData), m_msl->text(msgTimeOut)});
    // A new log each time the window opens.
    m_log.setFileName(ProgramFolder::filePath(QStringLiteral("verifylog.txt")));
    if (m_log.open(QIODevice::WriteOnly | QIODevice::Truncate))
        m_run->setLog(&m_log);

    const TIniInfo &s = m_project.settings();
    m_connections->setText(QString::number(s.NumberConnect));
    m_dns->setText(s.DnsIP);
    m_timeOut->setValue(qBound(1, s.TimeOut, 32767));
    // Only shown: no mail server is contacted.
    const tAccounts &accounts = programSettings().accounts;
    const int account = s.NConnect >= 0 && s.NConnect < accounts.count() ? s.NConnect : 0;
    if (const tAccountObj *a = accounts.item(account))
        m_mailServer->setText(a->SMTPServer);
    connect(m_run.get(), &VerifyRun::rowChanged, m_model, &VerifyModel::rowChanged);
    connect(m_run.get(), &VerifyRun::runningChanged, this, &TVerifyForm::runningChanged);
    connect(m_run.get(), &VerifyRun::finished, this, &TVerifyForm::runFinished);
    connect(m_run.get(), &VerifyRun::querySendFailed, this, [this](const QString &message) {
        ShowMessageBox(message, m_msl->text(msgError), mbIconError);
    });
    loadRows();
    runningChanged(false);
}

TVerifyForm::~TVerifyForm()
{
    m_grid->setModel(nullptr);
}

void TVerifyForm::buildWindow()
{
    m_model = new VerifyModel(*m_run, *m_msl, this);
    m_grid = new QTableView(this);
    m_grid->setObjectName(QStringLiteral("sgEm"));
    m_grid->setModel(m_model);
    m_grid->setAccessibleName(QStringLiteral("Addresses"));
    m_grid->setTabKeyNavigation(false);
    m_grid->setWordWrap(false);
    m_grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->horizontalHeader()->setStretchLastSection(true);
    // Room for an address and an exchange name; State and Time hold a
    // word or a number; the comment takes the rest.
    m_grid->setColumnWidth(0, 260);
    m_grid->setColumnWidth(1, 140);
    m_grid->setColumnWidth(2, 64);
    m_grid->setColumnWidth(3, 170);
    m_grid->setColumnWidth(4, 44);
    m_grid->verticalHeader()->setDefaultSectionSize(20);
    connect(m_grid, &QTableView::doubleClicked, this, [this](const QModelIndex &index) {
        m_run->toggleMark(index.row());
    });

    const auto button = [this](const QString &name, const QString &caption, void (TVerifyForm::*handler)()) {
        auto *b = new QPushButton(caption, this);
        b->setObjectName(name);
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, handler);
        return b;
    };
    auto *start = new QPushButton(QStringLiteral("&Start Verification"), this);
    start->setObjectName(QStringLiteral("sbStart"));
    start->setAutoDefault(false);
    connect(start, &QPushButton::clicked, this, [this] { startVerification(false); });
    auto *resume = new QPushButton(QStringLiteral("&Resume"), this);
    resume->setObjectName(QStringLiteral("sbResume"));
    resume->setAutoDefault(false);
    connect(resume, &QPushButton::clicked, this, [this] { startVerification(true); });
    auto *stopButton = button(QStringLiteral("sbStop"), QStringLiteral("S&top"), &TVerifyForm::stop);
    auto *save = button(QStringLiteral("sbSaveAs"), QStringLiteral("Save &As"), &TVerifyForm::saveAs);
    auto *remove = button(QStringLiteral("sbDelete"), QStringLiteral("Delete &unavailable from list"),
                          &TVerifyForm::deleteUnavailable);
    auto *dnsInfo = button(QStringLiteral("sbGetDnsInfo"), QStringLiteral("&Get DNS info"), &TVerifyForm::getDnsInfo);
    dnsInfo->setToolTip(QStringLiteral("Get DNS from your ISP"));
    auto *close = new QPushButton(QStringLiteral("&Close"), this);
    close->setObjectName(QStringLiteral("sbClose"));
    close->setAutoDefault(false);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);

    m_connections = new QLineEdit(this);
    m_connections->setObjectName(QStringLiteral("NumConnect"));
    m_connections->setMaximumWidth(60);
    m_dns = new QLineEdit(this);
    m_dns->setObjectName(QStringLiteral("DNSEdit"));
    m_timeOut = new QSpinBox(this);
    m_timeOut->setObjectName(QStringLiteral("udTimeOut"));
    m_timeOut->setRange(1, 32767);
    m_mailServer = new QLineEdit(this);
    m_mailServer->setObjectName(QStringLiteral("SmtpEdit"));
    const auto label = [this](const QString &text, QWidget *buddy) {
        auto *l = new QLabel(text, this);
        l->setBuddy(buddy);
        return l;
    };

    auto *fields = new QGridLayout;
    fields->addWidget(label(QStringLiteral("&Number of Connections = "), m_connections), 0, 0);
    fields->addWidget(m_connections, 0, 1);
    fields->addWidget(label(QStringLiteral("&DNS: "), m_dns), 0, 2);
    fields->addWidget(m_dns, 0, 3);
    fields->addWidget(dnsInfo, 0, 4);
    fields->addWidget(label(QStringLiteral("T&imeOut:"), m_timeOut), 1, 0);
    fields->addWidget(m_timeOut, 1, 1);
    fields->addWidget(label(QStringLiteral("&Mail Server: "), m_mailServer), 1, 2);
    fields->addWidget(m_mailServer, 1, 3);
    fields->setColumnStretch(3, 1);

    auto *buttons = new QHBoxLayout;
    for (QPushButton *b : {start, stopButton, resume, save, remove})
        buttons->addWidget(b);
    buttons->addStretch();
    buttons->addWidget(close);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(m_grid, 1);
    layout->addLayout(buttons);
    resize(1000, 560);
}

QPushButton *TVerifyForm::button(const QString &name) const
{
    return findChild<QPushButton *>(name);
}

void TVerifyForm::loadRows()
{
    const ListTable &table = m_project.table();
    QStringList addresses;
    addresses.reserve(table.rowCount());
    DelayedProgress progress(this, [this] { return m_msl->text(msgEmailLoading) + QStringLiteral(" .. "); });
    for (int r = 0; r < table.rowCount(); ++r) {
        addresses << table.cell(r, m_emailColumn);
        if (!progress.step(r, table.rowCount()))
            break; // the rows read so far are checked
    }
    progress.finish();
    m_run->setAddresses(addresses);
    m_model->reload();
}

void TVerifyForm::applyFields()
{
    m_run->setConnections(m_connections->text());
    m_run->setDnsServer(m_dns->text());
    m_run->setTimeOut(m_timeOut->value());
}

void TVerifyForm::startVerification(bool resume)
{
    applyFields();
    QApplication::setOverrideCursor(Qt::BusyCursor);
    m_run->start(resume);
}

void TVerifyForm::stop()
{
    m_run->finish();
}

void TVerifyForm::runningChanged(bool running)
{
    button(QStringLiteral("sbStart"))->setEnabled(!running);
    button(QStringLiteral("sbResume"))->setEnabled(!running);
    button(QStringLiteral("sbStop"))->setEnabled(running);
    button(QStringLiteral("sbDelete"))->setEnabled(!running);
    if (running)
        button(QStringLiteral("sbStop"))->setFocus();
}

void TVerifyForm::runFinished()
{
    if (QApplication::overrideCursor())
        QApplication::restoreOverrideCursor();
    m_log.flush();
    ShowMessageBox(m_msl->text(msgCompleted), m_msl->text(msgVerify), mbIconInformation);
}

void TVerifyForm::deleteUnavailable()
{
    if (m_run->isRunning())
        return;
    const std::vector<int> rows = m_run->unavailableRows();
    if (rows.empty())
        return;
    DelayedProgress progress(this, [this] { return m_msl->text(msgDeleting) + QStringLiteral(".."); });
    // The run's rows are the list's rows, one for one.
    m_project.table().removeRowSet(rows);
    m_run->removeRows(rows);
    progress.finish();
    m_model->reload();
    m_project.setModified(true);
    m_listChanged = true;
    emit listChangedByVerification();
}

void TVerifyForm::saveAs()
{
    const auto chosen = ShowFileDialog(this, FileDialogKind::Save, QString(), QString(),
                                       m_msl->text(msgTextFiles) + QStringLiteral(" (*.txt);;")
                                           + m_msl->text(msgAllFiles) + QStringLiteral(" (*.*)"));
    if (!chosen)
        return;
    QString file = *chosen;
    if (QFileInfo(file).suffix().isEmpty())
        file += QStringLiteral(".txt");
    QString error;
    if (!m_run->saveAs(file, &error))
        ShowMessageBox(error, m_msl->text(msgError), mbIconError);
}

void TVerifyForm::getDnsInfo()
{
    for (const char *name : {"sbGetDnsInfo", "sbStart", "sbResume"})
        button(QString::fromLatin1(name))->setEnabled(false);
    const QString server = FindDnsServer();
    if (!server.isEmpty())
        m_dns->setText(server);
    button(QStringLiteral("sbGetDnsInfo"))->setEnabled(true);
    runningChanged(m_run->isRunning());
}

void TVerifyForm::done(int result)
{
    if (m_run->isRunning())
        m_run->finish();
    // The fields go back into the project's settings.
    TIniInfo &s = m_project.settings();
    bool ok = false;
    const int connections = m_connections->text().trimmed().toInt(&ok);
    s.NumberConnect = ok && connections >= 1 ? connections : 1;
    s.DnsIP = m_dns->text().trimmed();
    s.TimeOut = m_timeOut->value();
    m_log.close();
    QDialog::done(result);
}

bool VerifyAddresses(QWidget *parent, Project &project, int emailColumn, MxQueryFactory factory)
{
    TVerifyForm form(project, emailColumn, std::move(factory), parent);
    form.exec();
    return form.listChanged();
}

} // namespace varnholt
