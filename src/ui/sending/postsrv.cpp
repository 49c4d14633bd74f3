#include "postsrv.h"
#include "sending/projectlock.h"
#include "sending/recipientaddress.h"
#include "sending/resulttable.h"

#include "deleteform.h"
#include "logs.h"
#include "resultmodel.h"
#include "saveform.h"

#include "dns/finddnsserver.h"
#include "project/project.h"
#include "ui/common/childwindows.h"
#include "ui/common/messagebox.h"
#include "ui/common/msglanguage.h"
#include "ui/schedule/schedule.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

namespace varnholt {

namespace {

const QString kDirectWarning = QStringLiteral(
    "Direct delivery sends every message from this computer straight to the recipient's mail server on port 25. "
    "Most networks block outgoing port 25, and receiving servers expect SPF and DKIM records for the sender's "
    "domain: without them the messages are refused or taken for spam.");

int messageBoxFlags(UserMessageIcon icon)
{
    switch (icon) {
    case UserMessageIcon::Error: return mbIconError;
    case UserMessageIcon::Question: return mbIconQuestion;
    case UserMessageIcon::Information: break;
    }
    return mbIconInformation;
}

// Counter changes arrive once per message; the panels follow at this pace.
constexpr int kPanelRefreshMs = 100;

QString durationText(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

TPostSrv::TPostSrv(Project &project, tAccounts &accounts, QWidget *parent)
    : QWidget(parent)
    , m_project(project)
    , m_accounts(accounts)
    , m_run(std::make_unique<SendingRun>(project, accounts))
    , m_msl(new TMsgLanguage(QStringLiteral("TPostSrv"), DefaultSendingTexts(), this))
{
    setObjectName(QStringLiteral("sending"));
    setWindowTitle(QStringLiteral("Sending list"));
    TranslationRegistry::instance().announce(this, m_msl);
    buildWidgets();
    applyTexts();
    connect(m_msl, &TMsgLanguage::changed, this, &TPostSrv::applyTexts);

    connect(m_run.get(), &SendingRun::rowChanged, m_model, &ResultModel::rowChanged);
    connect(m_run.get(), &SendingRun::countersChanged, this, &TPostSrv::schedulePanelRefresh);
    connect(m_run.get(), &SendingRun::schedulePanelChanged, this, &TPostSrv::refreshPanels);
    connect(m_run.get(), &SendingRun::stateChanged, this, &TPostSrv::onStateChanged);
    connect(m_run.get(), &SendingRun::runFinished, this, &TPostSrv::refreshPanels);
    // Message boxes wait for the user: queued, so that the run's own signal
    // handling has ended before one opens.
    connect(m_run.get(), &SendingRun::notice, this, &TPostSrv::onNotice, Qt::QueuedConnection);
    connect(m_run.get(), &SendingRun::logFailed, this, [this](const QString &error) {
        m_statusBar->showMessage(error, 10000);
    });
    connect(m_run.get(), &SendingRun::closed, this, [this] {
        if (m_closeAfterRun)
            closeWindow();
    });

    m_panelTimer.setSingleShot(true);
    m_panelTimer.setInterval(kPanelRefreshMs);
    connect(&m_panelTimer, &QTimer::timeout, this, &TPostSrv::refreshPanels);
    m_elapsedTimer.setInterval(1000);
    connect(&m_elapsedTimer, &QTimer::timeout, this, &TPostSrv::refreshPanels);

    if (!m_run->isUsable()) {
        onNotice({RunNotice::Kind::NoEmailColumn});
        return;
    }
    const tAccountObj &account = m_run->account();
    m_fromName->setText(account.Name);
    m_fromEmail->setText(account.ReturnAddress);
    m_mailDomain->setText(account.MailDomain);
    applyTransportSwitch();
    m_createLog->setChecked(m_project.settings().CreateLog);
    createLogToggled(m_createLog->isChecked());
    {
        const QSignalBlocker count(m_retryCount), minutes(m_retryMinutes);
        m_retryCount->setValue(m_project.settings().RetryCount);
        m_retryMinutes->setValue(m_project.settings().RetryMinutes);
    }
    setControlsRunning(m_run->isRunning());
    refreshPanels();
}

TPostSrv::~TPostSrv()
{
    // The run's last signals must not reach a half-destroyed window.
    disconnect(m_run.get(), nullptr, this, nullptr);
    disconnect(m_run.get(), nullptr, m_model, nullptr);
    // The view and the model read the run: they go before it does.
    delete m_view;
    delete m_model;
}

TPostSrv *TPostSrv::Open(QMdiArea *area, Project &project, tAccounts &accounts)
{
    if (auto *existing = findChildWindow<TPostSrv>(area)) {
        if (auto *sub = qobject_cast<QMdiSubWindow *>(existing->parentWidget())) {
            sub->showNormal();
            area->setActiveSubWindow(sub);
        }
        existing->raise();
        return existing;
    }
    // One run per project: a second window, or a command-line run or
    // results change on the same project, would mail the list twice.
    QString lockError;
    auto lock = ProjectLock::acquire(project.folder(), project.name(), &lockError);
    if (!lock) {
        ShowMessageBox(lockError, QStringLiteral("Attention"), mbIconError);
        return nullptr;
    }
    auto *window = new TPostSrv(project, accounts);
    if (!window->isUsable()) {
        delete window;
        return nullptr;
    }
    window->m_lock = std::move(lock);
    window->useJournal();
    QMdiSubWindow *sub = area->addSubWindow(window);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->resize(860, 560);
    sub->show();
    area->setActiveSubWindow(sub);
    return window;
}

QPushButton *TPostSrv::addButton(const QString &objectName, const QString &caption, void (TPostSrv::*slot)())
{
    auto *b = new QPushButton(caption, this);
    b->setObjectName(objectName);
    connect(b, &QPushButton::clicked, this, slot);
    return b;
}

void TPostSrv::buildWidgets()
{
    m_model = new ResultModel(*m_run, this);
    m_view = new QTableView(this);
    m_view->setObjectName(QStringLiteral("results"));
    m_view->setModel(m_model);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setWordWrap(false);
    // Tab leaves the table for the commands; arrows move inside it.
    m_view->setTabKeyNavigation(false);
    m_view->setAccessibleName(QStringLiteral("Recipients and their outcome"));
    // Fixed row heights and column widths: the view never measures the
    // rows, so a million of them scroll as fast as ten.
    m_view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_view->verticalHeader()->setDefaultSectionSize(m_view->fontMetrics().height() + 6);
    m_view->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_view->horizontalHeader()->setStretchLastSection(true);
    const int widths[] = {220, 60, 230, 50};
    for (int c = 0; c < 4; ++c)
        m_view->setColumnWidth(c, widths[c]);
    m_view->setContextMenuPolicy(Qt::CustomContextMenu);

    m_popup = new QMenu(this);
    m_popup->setObjectName(QStringLiteral("popup"));
    QAction *statusOk = m_popup->addAction(QStringLiteral("Status Ok"));
    statusOk->setObjectName(QStringLiteral("miStatusOk"));
    connect(statusOk, &QAction::triggered, this, &TPostSrv::setStatusOk);
    QAction *statusNo = m_popup->addAction(QStringLiteral("Status No"));
    statusNo->setObjectName(QStringLiteral("miStatusNo"));
    connect(statusNo, &QAction::triggered, this, &TPostSrv::setStatusNo);
    connect(m_view, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        const QModelIndex index = m_view->indexAt(pos);
        if (index.isValid())
            m_view->selectRow(index.row());
        m_popup->popup(m_view->viewport()->mapToGlobal(pos));
    });

    m_fromEmail = new QLineEdit(this);
    m_fromEmail->setObjectName(QStringLiteral("fromEmail"));
    m_fromName = new QLineEdit(this);
    m_fromName->setObjectName(QStringLiteral("fromName"));
    auto *from = new QGridLayout;
    auto *fromEmailLabel = new QLabel(QStringLiteral("From E&mail"), this);
    fromEmailLabel->setBuddy(m_fromEmail);
    from->addWidget(fromEmailLabel, 0, 0);
    from->addWidget(m_fromEmail, 0, 1);
    auto *fromNameLabel = new QLabel(QStringLiteral("From &Name"), this);
    fromNameLabel->setBuddy(m_fromName);
    from->addWidget(fromNameLabel, 0, 2);
    from->addWidget(m_fromName, 0, 3);

    // The transport: checked, the messages go through the account's mail
    // server; unchecked, straight to each recipient's mail server with the
    // settings of the panel below, which shows only then.
    m_transportSwitch = new QCheckBox(QStringLiteral("ISP direct &post"), this);
    m_transportSwitch->setObjectName(QStringLiteral("transportSwitch"));
    m_transportSwitch->setToolTip(QStringLiteral("Checked: through the account's mail server. Unchecked: "
                                                 "straight to each recipient's mail server."));
    m_transportSwitch->setChecked(true);
    connect(m_transportSwitch, &QCheckBox::toggled, this, &TPostSrv::transportToggled);
    m_direct = new QWidget(this);
    m_direct->setObjectName(QStringLiteral("directTransport"));
    m_mailDomain = new QLineEdit(QStringLiteral("mail.example.com"), m_direct);
    m_mailDomain->setObjectName(QStringLiteral("mailDomain"));
    m_dnsServer = new QLineEdit(m_direct);
    m_dnsServer->setObjectName(QStringLiteral("dnsServer"));
    m_connections = new QSpinBox(m_direct);
    m_connections->setObjectName(QStringLiteral("connections"));
    m_connections->setRange(1, 9999);
    m_timeOut = new QSpinBox(m_direct);
    m_timeOut->setObjectName(QStringLiteral("timeOut"));
    m_timeOut->setRange(1, 32767);
    m_timeOut->setValue(10);
    m_getDnsInfo = new QPushButton(QStringLiteral("&Get DNS info"), m_direct);
    m_getDnsInfo->setObjectName(QStringLiteral("getDnsInfo"));
    m_getDnsInfo->setToolTip(QStringLiteral("Get DNS from your ISP"));
    connect(m_getDnsInfo, &QPushButton::clicked, this, [this] {
        // Disabled while the system's DNS server is looked up (from the
        // event loop, once the button has been drawn disabled).
        const bool enabled = m_getDnsInfo->isEnabled();
        m_getDnsInfo->setEnabled(false);
        QTimer::singleShot(0, this, [this, enabled] {
            m_dnsServer->setText(FindDnsServer());
            m_getDnsInfo->setEnabled(enabled);
        });
    });
    // No user action sets it, so it stays out of sight.
    m_ispPost = new QCheckBox(QStringLiteral("Automatically send undelivered messages through ISP server"), m_direct);
    m_ispPost->setObjectName(QStringLiteral("ispPost"));
    m_ispPost->setEnabled(false);
    m_ispPost->hide();
    m_directWarning = new QLabel(kDirectWarning, m_direct);
    m_directWarning->setObjectName(QStringLiteral("directWarning"));
    m_directWarning->setWordWrap(true);
    auto *direct = new QGridLayout(m_direct);
    direct->setContentsMargins(0, 0, 0, 0);
    const auto labelled = [this, direct](const QString &label, QWidget *field, int row, int column,
                                         Qt::Alignment align = {}) {
        auto *l = new QLabel(label, m_direct);
        l->setBuddy(field);
        direct->addWidget(l, row, column);
        direct->addWidget(field, row, column + 1, align);
    };
    labelled(QStringLiteral("Mail doma&in"), m_mailDomain, 0, 0);
    labelled(QStringLiteral("DNS server to &query"), m_dnsServer, 0, 2);
    direct->addWidget(m_getDnsInfo, 0, 4);
    labelled(QStringLiteral("Ma&x. connections"), m_connections, 1, 0, Qt::AlignLeft);
    labelled(QStringLiteral("Time-o&ut"), m_timeOut, 1, 2, Qt::AlignLeft);
    for (QSpinBox *box : {m_connections, m_timeOut})
        box->setMinimumWidth(box->fontMetrics().horizontalAdvance(QStringLiteral("32767 s")) + 40);
    m_timeOut->setSuffix(QStringLiteral(" s"));
    direct->addWidget(m_directWarning, 2, 0, 1, 5);
    direct->setColumnStretch(1, 1);
    direct->setColumnStretch(3, 1);
    m_direct->hide();

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(addButton(QStringLiteral("sendMail"), QStringLiteral("&Send Mail"), &TPostSrv::sendMail));
    buttons->addWidget(addButton(QStringLiteral("stop"), QStringLiteral("S&top"), &TPostSrv::stop));
    buttons->addWidget(addButton(QStringLiteral("resume"), QStringLiteral("&Resume"), &TPostSrv::resume));
    buttons->addWidget(addButton(QStringLiteral("saveAs"), QStringLiteral("Sa&ve As"), &TPostSrv::saveAs));
    buttons->addWidget(addButton(QStringLiteral("deleteFromList"), QStringLiteral("&Delete from list"),
                                 &TPostSrv::deleteFromList));
    buttons->addWidget(addButton(QStringLiteral("schedule"), QStringLiteral("Sc&hedule"), &TPostSrv::schedule));
    buttons->addStretch();
    buttons->addWidget(addButton(QStringLiteral("close"), QStringLiteral("&Close"), &TPostSrv::closeWindow));

    auto *logRow = new QHBoxLayout;
    m_createLog = new QCheckBox(QStringLiteral("Create &log file"), this);
    m_createLog->setObjectName(QStringLiteral("createLog"));
    connect(m_createLog, &QCheckBox::toggled, this, &TPostSrv::createLogToggled);
    logRow->addWidget(m_createLog);
    logRow->addWidget(addButton(QStringLiteral("viewLog"), QStringLiteral("View l&og file"), &TPostSrv::viewLogFile));
    logRow->addStretch();

    // A row answered 4xx is tried again later; 0 times: a refusal is final.
    m_retryCount = new QSpinBox(this);
    m_retryCount->setObjectName(QStringLiteral("retryCount"));
    m_retryCount->setRange(0, kMaxRetryCount);
    m_retryCount->setSuffix(QStringLiteral(" times"));
    m_retryMinutes = new QSpinBox(this);
    m_retryMinutes->setObjectName(QStringLiteral("retryMinutes"));
    m_retryMinutes->setRange(0, kMaxRetryMinutes);
    m_retryMinutes->setSuffix(QStringLiteral(" minutes apart"));
    m_retryMinutes->setAccessibleName(QStringLiteral("Minutes between tries"));
    auto *retryLabel = new QLabel(QStringLiteral("Retr&y temporary refusals:"), this);
    retryLabel->setBuddy(m_retryCount);
    logRow->addWidget(m_transportSwitch);
    // A row of its own: beside the log's controls a longer language cuts
    // the transport switch off.
    auto *retryRow = new QHBoxLayout;
    retryRow->addWidget(retryLabel);
    retryRow->addWidget(m_retryCount);
    retryRow->addWidget(m_retryMinutes);
    retryRow->addStretch();
    for (QSpinBox *box : {m_retryCount, m_retryMinutes})
        connect(box, &QSpinBox::valueChanged, this, &TPostSrv::retriesEdited);

    m_statusBar = new QStatusBar(this);
    m_statusBar->setObjectName(QStringLiteral("statusBar"));
    m_statusBar->setProperty("translate", false); // counters, worded from the message list
    m_statusBar->setSizeGripEnabled(false);
    const int stretch[] = {2, 2, 2, 2, 2, 2, 5};
    for (size_t i = 0; i < m_panels.size(); ++i) {
        m_panels[i] = new QLabel(m_statusBar);
        m_panels[i]->setObjectName(QStringLiteral("panel%1").arg(i));
        m_panels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        m_statusBar->addPermanentWidget(m_panels[i], stretch[i]);
    }
    m_pace = new QLabel(m_statusBar);
    m_pace->setObjectName(QStringLiteral("pace"));
    m_statusBar->addPermanentWidget(m_pace, 2);
    m_progress = new QProgressBar(m_statusBar);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setAccessibleName(QStringLiteral("Rows done"));
    m_progress->setMaximumWidth(160);
    m_statusBar->addPermanentWidget(m_progress, 2);

    // The view follows the row being sent until the user scrolls it away
    // from there, and again once it shows that row.
    connect(m_view->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
        if (!m_scrolling)
            m_followRun = rowVisible(m_run->currentRow());
    });

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(from);
    layout->addWidget(m_view, 1);
    layout->addLayout(logRow);
    layout->addLayout(retryRow);
    layout->addWidget(m_direct);
    layout->addLayout(buttons);
    layout->addWidget(m_statusBar);
}

QPushButton *TPostSrv::button(const QString &objectName) const
{
    return findChild<QPushButton *>(objectName);
}

// The window opens on the account transport; direct delivery is the
// user's choice for this window, and its settings follow the switch.
void TPostSrv::applyTransportSwitch()
{
    const bool account = m_transportSwitch->isChecked();
    m_project.settings().ExternalSmtp = account;
    m_run->setTransport(account ? SendingTransport::Account : SendingTransport::Direct);
    m_direct->setVisible(!account);
    const bool direct = !account && !m_run->isRunning();
    for (QWidget *w : {static_cast<QWidget *>(m_mailDomain), static_cast<QWidget *>(m_dnsServer),
                       static_cast<QWidget *>(m_connections), static_cast<QWidget *>(m_timeOut),
                       static_cast<QWidget *>(m_getDnsInfo)})
        w->setEnabled(direct);
}

void TPostSrv::transportToggled(bool account)
{
    if (!account && !m_directWarned) {
        m_directWarned = true;
        ShowMessageBox(kDirectWarning, text(stAttention), mbIconWarning);
    }
    applyTransportSwitch();
}

// What direct delivery takes from the window's fields; the rest (the
// exchangers' port) stays as the run has it.
void TPostSrv::applyDirectSettings()
{
    DirectSettings direct = m_run->directSettings();
    direct.signOn = DirectSettings::fromProject(m_project.settings()).signOn;
    direct.dns = m_dnsServer->text().trimmed();
    direct.connections = m_connections->value();
    direct.timeoutSeconds = m_timeOut->value();
    m_run->setDirectSettings(direct);
    m_run->setDirectSender(m_fromName->text(), m_fromEmail->text(), m_mailDomain->text());
}

void TPostSrv::settingsChanged()
{
    applyTransportSwitch();
    emit commandsChanged();
}

void TPostSrv::showEvent(QShowEvent *event)
{
    const TIniInfo &s = m_project.settings();
    m_connections->setValue(qMax(1, s.NumberConnect));
    m_mailDomain->setText(m_run->account().MailDomain);
    m_dnsServer->setText(s.DnsIP);
    m_timeOut->setValue(qBound(1, s.TimeOut, 32767));
    QWidget::showEvent(event);
    // The window opens on its first command, not inside its table.
    if (!m_shownOnce) {
        m_shownOnce = true;
        button(QStringLiteral("sendMail"))->setFocus(Qt::OtherFocusReason);
    }
}

void TPostSrv::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        settingsChanged();
    QWidget::changeEvent(event);
}

// ---- panels and controls ----------------------------------------------------------

QString TPostSrv::text(int index) const
{
    return SendingTextAt(m_msl->texts(), index);
}

void TPostSrv::applyTexts()
{
    // The run writes some of the texts into its result cells.
    m_run->setTexts(m_msl->texts());
    QStringList headers;
    for (int column = stEmail; column <= stComment; ++column)
        headers << text(column);
    m_model->setHeaders(headers);
    m_model->reload();
    refreshPanels();
}

void TPostSrv::refreshPanels()
{
    m_panelTimer.stop();
    // "Elapsed: ...", "Total: ...", "Waiting: ...", "Good: ...", "Bad: ...",
    // "Invalid: ..." and the schedule panel. The time stands still once
    // the run has ended.
    const SendingRun &run = *m_run;
    const auto panel = [this](int index, const QString &value) {
        return text(index) + QStringLiteral(": ") + value;
    };
    QString schedule;
    switch (run.schedulePanel()) {
    case SchedulePanel::Empty: break;
    case SchedulePanel::Verification: schedule = text(stVerification); break;
    case SchedulePanel::WaitingNextInterval: schedule = text(stWaitingNextInterval); break;
    case SchedulePanel::WaitingAccountLimit:
        schedule = text(stWaitingAccountLimit).arg(run.paceResumeTime().toString(QStringLiteral("hh:mm:ss")));
        break;
    case SchedulePanel::WaitingRetry:
        schedule = text(stWaitingRetry)
                       .arg(run.deferred())
                       .arg(run.retryResumeTime().toString(QStringLiteral("hh:mm:ss")));
        break;
    case SchedulePanel::ServerPause:
        schedule = text(stServerPause).arg(run.retryResumeTime().toString(QStringLiteral("hh:mm:ss")));
        break;
    case SchedulePanel::ScheduleMailing:
        schedule = text(stScheduleMailing);
        if (const qint64 left = run.scheduleSecondsLeft(); left >= 0)
            schedule += QStringLiteral(" (") + durationText(left) + QLatin1Char(')');
        break;
    }
    const QStringList texts{
        panel(stElapsed, run.startTime().isValid()
                             ? durationText(run.startTime().secsTo(run.endTime().isValid() ? run.endTime() : run.now()))
                             : QString()),
        panel(stTotal, QString::number(run.total())),
        panel(stWaiting, QString::number(run.waiting())),
        panel(stGood, QString::number(run.good())),
        panel(stBad, QString::number(run.bad())),
        panel(stInvalid, QString::number(run.invalid())),
        schedule};
    for (size_t i = 0; i < m_panels.size(); ++i) {
        const QString text = texts.value(int(i));
        if (m_panels[i]->text() != text)
            m_panels[i]->setText(text);
    }

    const int total = run.total();
    const int done = std::clamp(run.isRunning() ? run.currentRow() : (run.endTime().isValid() ? total : 0), 0, total);
    m_progress->setRange(0, std::max(total, 1));
    m_progress->setValue(done);
    const qint64 seconds =
        run.startTime().isValid() ? run.startTime().secsTo(run.endTime().isValid() ? run.endTime() : run.now()) : 0;
    const QString pace = run.messagesDone() > 0 && seconds > 0
                             ? text(stMessagesPerMinute).arg(qRound64(run.messagesDone() * 60.0 / seconds))
                             : QString();
    if (m_pace->text() != pace)
        m_pace->setText(pace);
    followCurrentRow();
}

void TPostSrv::schedulePanelRefresh()
{
    if (!m_panelTimer.isActive())
        m_panelTimer.start();
}

bool TPostSrv::rowVisible(int row) const
{
    if (row < 0)
        return true;
    const int top = m_view->rowAt(0);
    const int bottom = m_view->rowAt(m_view->viewport()->height() - 1);
    return row >= top && (bottom < 0 || row <= bottom);
}

void TPostSrv::followCurrentRow()
{
    const int row = m_run->currentRow();
    if (!m_followRun || !m_run->isRunning() || row < 0 || row >= m_model->rowCount() || rowVisible(row))
        return;
    m_scrolling = true;
    m_view->scrollTo(m_model->index(row, 0), QAbstractItemView::PositionAtCenter);
    m_scrolling = false;
}

QStringList TPostSrv::statusTexts() const
{
    QStringList texts;
    for (const QLabel *panel : m_panels)
        texts << panel->text();
    return texts;
}

void TPostSrv::setControlsRunning(bool running)
{
    for (QWidget *w : {static_cast<QWidget *>(m_fromName), static_cast<QWidget *>(m_fromEmail),
                       static_cast<QWidget *>(m_transportSwitch), static_cast<QWidget *>(m_retryCount),
                       static_cast<QWidget *>(m_retryMinutes)})
        w->setEnabled(!running);
    for (const char *name : {"sendMail", "resume", "deleteFromList", "schedule"})
        button(QString::fromLatin1(name))->setEnabled(!running);
    button(QStringLiteral("stop"))->setEnabled(running);
    if (running) {
        for (QWidget *w : {static_cast<QWidget *>(m_mailDomain), static_cast<QWidget *>(m_getDnsInfo)})
            w->setEnabled(false);
    } else {
        applyTransportSwitch();
    }
}

void TPostSrv::onStateChanged(SendingRun::State state)
{
    m_model->flushChanges();
    const bool running = m_run->isRunning();
    setControlsRunning(running);
    // The busy cursor while messages go out; a series pause waits quietly.
    const bool messages = state == SendingRun::State::Sending || state == SendingRun::State::NextPosted;
    const bool busy = messages || state == SendingRun::State::LoggingIn || state == SendingRun::State::Stopping
        || state == SendingRun::State::Closing;
    if (busy)
        setCursor(Qt::BusyCursor);
    else
        unsetCursor();
    if (running && !m_elapsedTimer.isActive())
        m_elapsedTimer.start();
    else if (!running)
        m_elapsedTimer.stop();
    // Between two messages the panels follow at their own pace.
    if (messages)
        schedulePanelRefresh();
    else
        refreshPanels();
}

void TPostSrv::onNotice(const RunNotice &notice)
{
    const NoticeMessage message = NoticeText(notice, m_msl->texts());
    ShowMessageBox(message.text, message.caption, messageBoxFlags(message.icon));
}

// The run reads the project's values (the boxes are locked while it goes
// on); the project keeps them when it is saved.
void TPostSrv::retriesEdited()
{
    TIniInfo &s = m_project.settings();
    if (s.RetryCount == m_retryCount->value() && s.RetryMinutes == m_retryMinutes->value())
        return;
    s.RetryCount = m_retryCount->value();
    s.RetryMinutes = m_retryMinutes->value();
    m_project.setModified(true);
}

void TPostSrv::createLogToggled(bool on)
{
    m_project.settings().CreateLog = on;
    m_run->setCreateLog(on);
    button(QStringLiteral("viewLog"))->setEnabled(on);
}

// ---- commands -------------------------------------------------------------------

int TPostSrv::selectedRow() const
{
    const QModelIndex current = m_view->currentIndex();
    return current.isValid() ? current.row() : 0;
}

void TPostSrv::useJournal()
{
    const QString path = ResultJournal::pathForProject(m_project.folder(), m_project.name());
    if (QFileInfo::exists(path)) {
        QString damage;
        const std::optional<ResultTable> saved = ResultJournal::load(path, &damage);
        if (!saved)
            m_lastRunProblem = QStringLiteral("The results of the last run (\"%1\") %2.").arg(path, damage);
        else if (!m_run->restoreResults(*saved))
            m_lastRunProblem =
                QStringLiteral("The results of the last run (\"%1\") do not fit the mailing list any more.").arg(path);
        if (!m_lastRunProblem.isEmpty())
            ShowMessageBox(m_lastRunProblem + QStringLiteral(" The table starts empty; \"Send Mail\" replaces them."),
                           text(stAttention), mbIconInformation);
    }
    m_run->setJournalPath(path);
    m_model->reload();
    refreshPanels();
}

bool TPostSrv::emailColumnHoldsAddresses() const
{
    const ResultTable &results = m_run->results();
    for (int row = 0; row < results.rowCount(); ++row)
        if (IsSendableAddress(results.address(row)))
            return true;
    return false;
}

void TPostSrv::sendMail()
{
    m_followRun = true;
    // Sending to every row again mails the people the last run reached a
    // second time: the user says so first.
    const ResultTable &results = m_run->results();
    const int received = results.count(RowStatus::Sent);
    const int unknown = results.count(RowStatus::Unknown);
    if (received > 0 || unknown > 0 || !m_lastRunProblem.isEmpty()) {
        QString question = m_lastRunProblem.isEmpty()
                               ? QStringLiteral("%1 recipients of the last run already received this mailing.").arg(received)
                               : m_lastRunProblem + QStringLiteral(" Some recipients may have received this mailing.");
        if (unknown > 0)
            question += QStringLiteral(" %1 more may have received it (their outcome is unknown).").arg(unknown);
        question += QStringLiteral(" Send to every row again?");
        if (ShowMessageBox(question, text(stAttention), mbIconQuestion | mbYesNo | mbDefButton2) != idYes)
            return;
    }
    if (!emailColumnHoldsAddresses()
        && ShowMessageBox(QStringLiteral("The column chosen for the e-mail addresses (Column#%1) holds no valid "
                                         "e-mail address. Send anyway?")
                              .arg(m_project.settings().Column + 1),
                          text(stAttention), mbIconQuestion | mbYesNo | mbDefButton2)
               != idYes)
        return;
    applyDirectSettings();
    if (m_run->sendMail())
        m_lastRunProblem.clear();
}

void TPostSrv::stop()
{
    m_run->stop();
    setControlsRunning(m_run->isRunning());
    refreshPanels();
}

void TPostSrv::resume()
{
    // Rows whose message went out without an answer may have been received:
    // sending them again is the user's call, and not the default.
    const ResultTable &results = m_run->results();
    int unknown = 0;
    for (int row = selectedRow(); row < results.rowCount(); ++row)
        unknown += results.status(row) == RowStatus::Unknown ? 1 : 0;
    bool resendUnknown = false;
    if (unknown > 0) {
        const int answer = ShowMessageBox(
            QStringLiteral("%1 recipients have an unknown outcome: their message went out in full, but the "
                           "server's answer never came, so they may have received it.\n\n"
                           "Yes: resume without them.\nNo: send to them again as well.\nCancel: do not resume.")
                .arg(unknown),
            text(stAttention), mbIconQuestion | mbYesNoCancel);
        if (answer == idCancel)
            return;
        resendUnknown = answer == idNo;
    }
    m_run->setResendUnknown(resendUnknown);
    m_followRun = true;
    applyDirectSettings();
    m_run->resume(selectedRow());
}

void TPostSrv::setStatusOk()
{
    m_run->setRowStatusOk(selectedRow());
}

void TPostSrv::setStatusNo()
{
    m_run->setRowStatusNo(selectedRow());
}

void TPostSrv::saveAs()
{
    SaveResults(m_run->results(), m_project.table(), m_project.delimiter(), this);
}

void TPostSrv::deleteFromList()
{
    if (m_run->isRunning())
        return;
    DeleteDialogSettings &settings = deleteDialogSettings();
    const auto count = [this](const DeleteDialogSettings &choice) {
        return int(rowsToDelete(m_run->results(), choice.choice, choice.codeSet).size());
    };
    if (!ShowDeleteForm(settings, this, count) || m_run->isRunning()) // a scheduled run may start meanwhile
        return;
    // The rows to delete are chosen by their results: should the list have
    // changed since (a list tool of the project window), a result row no
    // longer names its list row, and deleting by it would take other rows.
    if (!m_run->results().matches(m_project.table(), m_project.settings().Column)) {
        ShowMessageBox(QStringLiteral("The mailing list has changed since these results were made, so they no "
                                      "longer tell which rows to delete. Nothing was deleted."),
                       text(stAttention), mbIconInformation);
        return;
    }
    // The rows go from a copy of the results and from the list together;
    // the run then takes the copy over, so both stay row for row alike.
    ResultTable results = m_run->results();
    if (varnholt::deleteFromList(m_project.table(), results, settings.choice, settings.codeSet) == 0)
        return;
    const bool restored = m_run->restoreResults(results);
    Q_ASSERT(restored); // the same rows went from both, and no run is going
    Q_UNUSED(restored);
    m_project.setModified(true);
    rowsRemoved();
}

void TPostSrv::rowsRemoved()
{
    m_model->reload();
    refreshPanels();
    emit listChanged();
}

void TPostSrv::viewLogFile()
{
    // The latest log of this window, else the one the project remembers.
    QString path = m_run->sendLog().path();
    if (path.isEmpty())
        path = m_project.settings().LogFile;
    ShowLogs(path, text(stOk), text(stNo), this);
}

void TPostSrv::schedule()
{
    if (m_run->isRunning())
        return;
    // The schedule stands still while the task is edited and runs on as
    // before when the edit is cancelled.
    m_run->suspendSchedule();
    if (ShowSchedule(m_project.settingsFile(), m_run->task(), m_run->series(), this)) {
        // The schedule window saved the task and the series into the
        // project file: the run takes them from there.
        m_run->schedule().load(m_project.settingsFile());
        m_run->resumeSchedule();
        m_run->scheduleEdited();
        refreshPanels();
        return;
    }
    m_run->resumeSchedule();
}

// ---- closing --------------------------------------------------------------------

void TPostSrv::closeWindow()
{
    // As a child window the frame closes, which asks this widget first.
    if (auto *sub = qobject_cast<QMdiSubWindow *>(parentWidget()))
        sub->close();
    else
        close();
}

void TPostSrv::storeDirectSettings()
{
    TIniInfo &s = m_project.settings();
    s.NumberConnect = m_connections->value();
    s.DnsIP = m_dnsServer->text();
    s.TimeOut = m_timeOut->value();
    // The program's settings keep it when the program ends.
    if (tAccountObj *account = m_accounts.item(m_run->projectAccountIndex()))
        account->MailDomain = m_mailDomain->text().trimmed();
}

void TPostSrv::closeEvent(QCloseEvent *event)
{
    // Closing ends the mailing: the user says so first. What was sent is in
    // the journal either way.
    if (m_run->isRunning() && !m_closeAfterRun
        && ShowMessageBox(QStringLiteral("A mailing is going on. Stop it and close the window? Resume continues it "
                                         "later."),
                          text(stAttention), mbIconQuestion | mbYesNo | mbDefButton2)
               != idYes) {
        event->ignore();
        return;
    }
    // A session that is still talking to its server must end first: the
    // run stops, and closed() brings us back here.
    if (m_run->state() != SendingRun::State::Closed && !m_run->requestClose()) {
        m_closeAfterRun = true;
        event->ignore();
        return;
    }
    storeDirectSettings();
    event->accept();
}

} // namespace varnholt
