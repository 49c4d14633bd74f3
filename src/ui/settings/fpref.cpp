#include "ui/settings/fpref.h"

#include "settings/programfolder.h"
#include "ui/common/messagebox.h"
#include "ui/common/msglanguage.h"
#include "ui/settings/connectiontestdialog.h"
#include "ui/settings/preflists.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace varnholt {
namespace {

// Texts of the settings record hold at most this many characters.
constexpr int kMaxText = 255;

// The largest sending limit the boxes take; above it a limit means nothing.
constexpr int kMaxLimit = 1000000;

// Account fields edited elsewhere (or not yet in this window).
constexpr int kColumnsWithoutControls[] = {TProfileTable::colDkimDomain, TProfileTable::colDkimSelector,
                                           TProfileTable::colDkimKeyFile, TProfileTable::colAuthMethod,
                                           TProfileTable::colTokenCommand};

constexpr AccountSecurity kSecurityChoices[] = {AccountSecurity::None, AccountSecurity::StartTls,
                                                AccountSecurity::Tls};

[[nodiscard]] QString flagText(bool on)
{
    return on ? QStringLiteral("1") : QString();
}

} // namespace

TFPref::Files TFPref::Files::program()
{
    return {settingsFilePath(), ProgramFolder::findDataFile(QString::fromUtf16(kCharsetFileName)), defaultResolvConf()};
}

const QStringList &TFPref::defaultMessages()
{
    static const QStringList messages = {
        QStringLiteral("Name"),         QStringLiteral("User ID"),       QStringLiteral("Return Address"),
        QStringLiteral("Reply To"),     QStringLiteral("SMTP Server"),   QStringLiteral("SMTP Port"),
        QStringLiteral("Mail Domain"),  QStringLiteral("POP3 Server"),   QStringLiteral("POP3 Port"),
        QStringLiteral("POP3 Password"), QStringLiteral("Authentification"), QStringLiteral("Au Name"),
        QStringLiteral("Au Password"),  QStringLiteral("Project path"),  QStringLiteral("DNSInfo Define Error"),
    };
    return messages;
}

TFPref::TFPref(ProgramSettings &settings, bool programWide, const Files &files, QWidget *parent)
    : QDialog(parent)
    , m_settings(settings)
    , m_programWide(programWide)
    , m_files(files)
    , m_work(programWide ? settings.iniInfo : settings.projectInfo)
{
    setObjectName(QStringLiteral("TFPref"));
    setWindowTitle(QStringLiteral("Preferences"));
    m_msl = new TMsgLanguage(QStringLiteral("TFPref"), defaultMessages(), this);
    buildWindow();

    m_table.fill(m_settings.accounts, m_work.NConnect);
    refreshProfileList();
    showCurrentProfile();
    loadCharsets();
    loadFromRecord();
    loadStatusCodes();
    m_tabs->setCurrentIndex(0);

    translate();
    connect(m_msl, &TMsgLanguage::changed, this, &TFPref::translate);
    TranslationRegistry::instance().announce(this, m_msl);
}

void TFPref::translate()
{
    m_profileList->setToolTip(m_msl->text(TProfileTable::colName));
    if (!m_programWide)
        m_pathProLabel->setText(m_msl->text(13));
}

// ---------------------------------------------------------------- controls

void TFPref::buildWindow()
{
    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("pgPref"));
    m_tabs->addTab(buildGeneralTab(), QStringLiteral("&General"));
    buildHiddenControls();

    auto *save = new QPushButton(QStringLiteral("&Save && Exit"), this);
    save->setObjectName(QStringLiteral("btSave"));
    save->setDefault(true);
    connect(save, &QPushButton::clicked, this, &TFPref::btSaveClick);
    auto *cancel = new QPushButton(QStringLiteral("Cancel && E&xit"), this);
    cancel->setObjectName(QStringLiteral("btCancel"));
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(save);
    buttons->addWidget(cancel);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs);
    layout->addLayout(buttons);
}

QWidget *TFPref::buildGeneralTab()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("tsGeneral"));
    auto *grid = new QGridLayout(page);
    grid->addWidget(buildProfilesBox(), 0, 0);
    grid->addWidget(buildUserBox(), 0, 1);
    grid->addWidget(buildSmtpBox(), 1, 0);
    grid->addWidget(buildPop3Box(), 1, 1);
    grid->addWidget(buildSettingsBox(), 2, 0, 1, 2);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    return page;
}

QWidget *TFPref::buildProfilesBox()
{
    auto *box = new QGroupBox(QStringLiteral("User Mail Profiles"));
    box->setObjectName(QStringLiteral("gbProfiles"));
    m_profileList = new QListWidget(box);
    m_profileList->setObjectName(QStringLiteral("lbProfiles"));
    m_profileList->setAccessibleName(box->title());
    connect(m_profileList, &QListWidget::currentRowChanged, this, &TFPref::lbProfilesSelect);

    const auto button = [this, box](const QString &caption, const QString &name, void (TFPref::*handler)()) {
        auto *b = new QPushButton(caption, box);
        b->setObjectName(name);
        connect(b, &QPushButton::clicked, this, handler);
        return b;
    };
    auto *buttons = new QVBoxLayout;
    buttons->addWidget(button(QStringLiteral("&New Profile"), QStringLiteral("sbNew"), &TFPref::sbNewClick));
    buttons->addWidget(button(QStringLiteral("&Copy Profile"), QStringLiteral("sbCopy"), &TFPref::sbCopyClick));
    buttons->addWidget(button(QStringLiteral("&Delete Profile"), QStringLiteral("sbDelete"), &TFPref::sbDeleteClick));
    buttons->addStretch();

    auto *layout = new QHBoxLayout(box);
    layout->addWidget(m_profileList, 1);
    layout->addLayout(buttons);
    return box;
}

QLineEdit *TFPref::profileEdit(int column, const QString &objectName)
{
    auto *edit = new QLineEdit;
    edit->setObjectName(objectName);
    edit->setMaxLength(kMaxText);
    if (column == TProfileTable::colPassword || column == TProfileTable::colAuPsw)
        edit->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    m_profileEdits.insert(column, edit);
    connect(edit, &QLineEdit::textChanged, this, [this, column](const QString &text) { profileEdited(column, text); });
    return edit;
}

QCheckBox *TFPref::profileCheck(int column, const QString &caption, const QString &objectName)
{
    auto *check = new QCheckBox(caption);
    check->setObjectName(objectName);
    m_profileChecks.insert(column, check);
    connect(check, &QCheckBox::toggled, this, [this, column](bool on) {
        profileEdited(column, flagText(on));
        applyDependentStates();
    });
    return check;
}

// A sending limit of the account: 0 shows as "No limit".
QSpinBox *TFPref::profileLimit(int column, const QString &objectName)
{
    auto *box = new QSpinBox;
    box->setObjectName(objectName);
    box->setRange(0, kMaxLimit);
    box->setSpecialValueText(QStringLiteral("No limit"));
    connect(box, &QSpinBox::valueChanged, this,
            [this, column](int value) { profileEdited(column, QString::number(value)); });
    return box;
}

QWidget *TFPref::buildUserBox()
{
    auto *box = new QGroupBox(QStringLiteral("User Information"));
    box->setObjectName(QStringLiteral("gbUserInfo"));
    auto *form = new QFormLayout(box);
    form->addRow(QStringLiteral("Name :"), profileEdit(TProfileTable::colName, QStringLiteral("edName")));
    form->addRow(QStringLiteral("Return address :"),
                 profileEdit(TProfileTable::colReturnAddress, QStringLiteral("edReturnAddress")));
    form->addRow(QStringLiteral("Reply to :"), profileEdit(TProfileTable::colReplyTo, QStringLiteral("edReplyTo")));
    return box;
}

QWidget *TFPref::buildSmtpBox()
{
    auto *box = new QGroupBox(QStringLiteral("SMTP Mail Server"));
    box->setObjectName(QStringLiteral("gbSmtp"));
    auto *form = new QFormLayout(box);
    form->addRow(QStringLiteral("SMTP Server:"),
                 profileEdit(TProfileTable::colSMTPServer, QStringLiteral("edSmtpServer")));
    form->addRow(QStringLiteral("SMTP Port:"), profileEdit(TProfileTable::colSMTPPort, QStringLiteral("edSmtpPort")));
    form->addRow(QStringLiteral("Mail Domain :"),
                 profileEdit(TProfileTable::colMailDomain, QStringLiteral("edMailDomain")));

    // How the connection to the server is protected: RFC 3207 STARTTLS after
    // the greeting, or TLS from the first byte (RFC 8314 3.3).
    m_security = new QComboBox;
    m_security->setObjectName(QStringLiteral("cbSecurity"));
    m_security->addItems({QStringLiteral("None"), QStringLiteral("STARTTLS"), QStringLiteral("TLS")});
    connect(m_security, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0 && index < int(std::size(kSecurityChoices)))
            profileEdited(TProfileTable::colSecurity, securityName(kSecurityChoices[index]));
    });
    form->addRow(QStringLiteral("Security:"), m_security);

    // What the server allows per account: the run waits between messages
    // to keep to it.
    m_maxPerMinute = profileLimit(TProfileTable::colMaxPerMinute, QStringLiteral("seMaxPerMinute"));
    form->addRow(QStringLiteral("Max. messages per m&inute:"), m_maxPerMinute);
    m_maxPerHour = profileLimit(TProfileTable::colMaxPerHour, QStringLiteral("seMaxPerHour"));
    form->addRow(QStringLiteral("Max. messages per h&our:"), m_maxPerHour);
    // Several connections at once, each sending one message after another
    // with its commands pipelined when the server offers it.
    m_connections = new QSpinBox;
    m_connections->setObjectName(QStringLiteral("seConnections"));
    m_connections->setRange(1, tAccountObj::MaxConnections);
    connect(m_connections, &QSpinBox::valueChanged, this,
            [this](int value) { profileEdited(TProfileTable::colConnections, QString::number(value)); });
    form->addRow(QStringLiteral("&Parallel connections:"), m_connections);
    m_pipelining = new QCheckBox(QStringLiteral("Pipeline commands &when the server offers it"));
    m_pipelining->setObjectName(QStringLiteral("cbPipelining"));
    connect(m_pipelining, &QCheckBox::toggled, this,
            [this](bool on) { profileEdited(TProfileTable::colNoPipelining, flagText(!on)); });
    form->addRow(m_pipelining);

    form->addRow(profileCheck(TProfileTable::colAuthen, QStringLiteral("Requires MD5-CRAM a&uthentication"),
                              QStringLiteral("cbAuthen")));
    m_auNameLabel = new QLabel(QStringLiteral("User name (smtp):"));
    m_auNameLabel->setObjectName(QStringLiteral("lbAuName"));
    form->addRow(m_auNameLabel, profileEdit(TProfileTable::colAuName, QStringLiteral("edAuName")));
    m_auPswLabel = new QLabel(QStringLiteral("Password:"));
    m_auPswLabel->setObjectName(QStringLiteral("lbAuPsw"));
    auto *password = new QHBoxLayout;
    password->addWidget(profileEdit(TProfileTable::colAuPsw, QStringLiteral("edAuPsw")), 1);
    QCheckBox *maskSmtp = profileCheck(TProfileTable::colMaskSMTP, QStringLiteral("&mask"), QStringLiteral("cbMaskSmtp"));
    maskSmtp->setAccessibleName(QStringLiteral("Mask the SMTP password"));
    password->addWidget(maskSmtp);
    form->addRow(m_auPswLabel, password);

    auto *test = new QPushButton(QStringLiteral("&Test connection"));
    test->setObjectName(QStringLiteral("btTestConnection"));
    test->setToolTip(QStringLiteral("Connect and log in as a send would, without sending anything"));
    connect(test, &QPushButton::clicked, this, &TFPref::btTestConnectionClick);
    auto *testRow = new QHBoxLayout;
    testRow->addStretch();
    testRow->addWidget(test);
    form->addRow(testRow);
    return box;
}

QWidget *TFPref::buildPop3Box()
{
    auto *box = new QGroupBox(QStringLiteral("POP3 Server"));
    box->setObjectName(QStringLiteral("gbPop3"));
    auto *form = new QFormLayout(box);
    form->addRow(QStringLiteral("User ID (pop3):"), profileEdit(TProfileTable::colUserID, QStringLiteral("edUserId")));
    form->addRow(QStringLiteral("POP3 Server:"), profileEdit(TProfileTable::colPopServer, QStringLiteral("edPopServer")));
    form->addRow(QStringLiteral("POP3 Port:"), profileEdit(TProfileTable::colPopPort, QStringLiteral("edPopPort")));
    auto *password = new QHBoxLayout;
    password->addWidget(profileEdit(TProfileTable::colPassword, QStringLiteral("edPopPsw")), 1);
    QCheckBox *maskPop3 = profileCheck(TProfileTable::colMaskPop3, QStringLiteral("mas&k"), QStringLiteral("cbMaskPop3"));
    maskPop3->setAccessibleName(QStringLiteral("Mask the POP3 password"));
    password->addWidget(maskPop3);
    auto *popPassword = new QLabel(QStringLiteral("Password (pop3):"));
    popPassword->setObjectName(QStringLiteral("lbPopPassword"));
    form->addRow(popPassword, password);
    return box;
}

QWidget *TFPref::buildSettingsBox()
{
    auto *box = new QGroupBox;
    box->setObjectName(QStringLiteral("gbSettings"));

    m_pop3Identify = new QCheckBox(QStringLiteral("POP3 &login before sending"));
    m_pop3Identify->setObjectName(QStringLiteral("cbPop3Identify"));

    m_autoCommit = new QCheckBox(QStringLiteral("&Auto login every"));
    m_autoCommit->setObjectName(QStringLiteral("cbAutoCommit"));
    m_autoCommitT = new QSpinBox;
    m_autoCommitT->setObjectName(QStringLiteral("seAutoCommitT"));
    m_autoCommitT->setRange(1, 100);
    m_autoCommitT->setAccessibleName(QStringLiteral("Auto login every (minutes)"));
    auto *autoLogin = new QHBoxLayout;
    autoLogin->addWidget(m_autoCommit);
    autoLogin->addWidget(m_autoCommitT);
    auto *minutes = new QLabel(QStringLiteral("minutes"));
    minutes->setObjectName(QStringLiteral("lbAutoCommitMinutes"));
    autoLogin->addWidget(minutes);
    autoLogin->addStretch();

    m_charset = new QComboBox;
    m_charset->setObjectName(QStringLiteral("cbCharset"));
    m_charset->setProperty("translate", false); // the names the project file stores
    m_charset->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_charset->setMinimumContentsLength(24);

    m_defaultHelo = new QCheckBox(QStringLiteral("Default &HELO argument"));
    m_defaultHelo->setObjectName(QStringLiteral("cbDefaultHelo"));
    m_textHelo = new QLineEdit;
    m_textHelo->setObjectName(QStringLiteral("edTextHelo"));
    m_textHelo->setMaxLength(kMaxText);
    m_textHelo->setAccessibleName(QStringLiteral("HELO argument"));
    connect(m_defaultHelo, &QCheckBox::toggled, this, &TFPref::applyDependentStates);

    auto *grid = new QGridLayout(box);
    grid->addWidget(m_pop3Identify, 0, 0);
    grid->addLayout(autoLogin, 1, 0);
    auto *charsetLabel = new QLabel(QStringLiteral("S&elect charset"));
    charsetLabel->setBuddy(m_charset);
    grid->addWidget(charsetLabel, 0, 1);
    grid->addWidget(m_charset, 0, 2);
    grid->addWidget(m_defaultHelo, 1, 1);
    grid->addWidget(m_textHelo, 1, 2);
    grid->setColumnStretch(2, 1);
    return box;
}

void TFPref::buildHiddenControls()
{
    // The project folder, the ISP switch and the "DNS Options" tab are not
    // offered to the user; their values pass through these controls so that
    // saving treats every setting the same way.
    auto *hidden = new QWidget(this);
    hidden->setObjectName(QStringLiteral("tsDnsOptions"));
    hidden->hide();
    auto *form = new QFormLayout(hidden);

    m_pathPro = new QLineEdit;
    m_pathPro->setObjectName(QStringLiteral("edPathPro"));
    m_pathProLabel = new QLabel;
    form->addRow(m_pathProLabel, m_pathPro);
    m_externalSmtp = new QCheckBox(QStringLiteral("Send mail through external smtp mail server only (through ISP)"));
    m_externalSmtp->setObjectName(QStringLiteral("cbExternalSmtp"));
    form->addRow(m_externalSmtp);
    m_dnsIP = new QLineEdit;
    m_dnsIP->setObjectName(QStringLiteral("edDnsIP"));
    m_dnsIP->setMaxLength(kMaxText);
    form->addRow(QStringLiteral("DNS: "), m_dnsIP);
    m_getDnsInfo = new QPushButton(QStringLiteral("Get DNS info"));
    m_getDnsInfo->setObjectName(QStringLiteral("sbGetDnsInfo"));
    m_getDnsInfo->setToolTip(QStringLiteral("Get DNS from your ISP"));
    connect(m_getDnsInfo, &QPushButton::clicked, this, &TFPref::sbGetDnsInfoClick);
    form->addRow(m_getDnsInfo);
    m_numberConnect = new QSpinBox;
    m_numberConnect->setObjectName(QStringLiteral("seNumberConnect"));
    m_numberConnect->setRange(1, 100);
    form->addRow(QStringLiteral("Number of connection"), m_numberConnect);
    m_timeOut = new QSpinBox;
    m_timeOut->setObjectName(QStringLiteral("seTimeOut"));
    m_timeOut->setRange(1, 10000);
    form->addRow(QStringLiteral("Connection time out (sec.)"), m_timeOut);
    m_codes = new QListWidget;
    m_codes->setObjectName(QStringLiteral("clbCodes"));
    // The settings file's own list of reply codes with their words: data,
    // and what a choice stores.
    m_codes->setProperty("translate", false);
    form->addRow(QStringLiteral("Status codes for unavailable addresses"), m_codes);
}

void TFPref::sbGetDnsInfoClick()
{
    // Disabled while it works; the search runs from the event loop, once
    // the button has been drawn disabled.
    m_getDnsInfo->setEnabled(false);
    QTimer::singleShot(0, this, [this] {
        m_dnsIP->setText(FindDnsServer(m_files.resolvConf));
        m_getDnsInfo->setEnabled(true);
    });
}

void TFPref::btTestConnectionClick()
{
    const tAccountObj account =
        TProfileTable::accountFromRow(rowFromControls(), m_settings.accounts.templateAccount());
    const auto settings = ConnectionTest::Settings::fromAccount(account, m_pop3Identify->isChecked(),
                                                                m_defaultHelo->isChecked(), m_textHelo->text(),
                                                                m_timeOut->value());
    if (!m_connectionTest)
        m_connectionTest = new TConnectionTestDialog(this);
    m_connectionTest->show();
    m_connectionTest->raise();
    m_connectionTest->activateWindow();
    m_connectionTest->start(settings);
}

// ---------------------------------------------------------------- opening

void TFPref::loadCharsets()
{
    QStringList entries = BuiltInCharsets();
    if (!m_files.charsets.isEmpty() && QFileInfo::exists(m_files.charsets))
        entries = LoadCharsetList(m_files.charsets);
    if (entries.isEmpty() && m_programWide) {
        for (QFontDatabase::WritingSystem system : QFontDatabase::writingSystems())
            entries.append(QFontDatabase::writingSystemName(system));
    }
    m_charset->addItems(entries);

    if (m_work.CharSet.isEmpty())
        m_work.CharSet = QString::fromUtf16(kDefaultCharSet);
    m_charset->setCurrentIndex(CharsetIndex(entries, m_work.CharSet));
}

void TFPref::loadFromRecord()
{
    m_autoCommit->setChecked(m_work.AutoCommit);
    m_autoCommitT->setValue(m_work.AutoCommitT);
    m_dnsIP->setText(m_work.DnsIP);
    m_numberConnect->setValue(m_work.NumberConnect);
    m_timeOut->setValue(m_work.TimeOut);
    m_pathPro->setText(WithTrailingSlash(m_work.PathPro));
    if (!m_programWide) {
        m_pathPro->setReadOnly(true);
        m_pathPro->setEnabled(false);
    }
    m_externalSmtp->setChecked(true);

    // The greeting is one setting for the whole program, whichever record
    // the window edits.
    m_defaultHelo->setChecked(m_settings.iniInfo.DefaultHelo);
    m_textHelo->setText(m_settings.iniInfo.TextHelo);
    m_pop3Identify->setChecked(m_work.Pop3Identify);
    applyDependentStates();
}

void TFPref::loadStatusCodes()
{
    // The first opening gives the program its list of codes to choose from.
    if (m_settings.statusCodes.isEmpty())
        m_settings.statusCodes = DefaultStatusCodes();
    for (const QString &text : StatusCodeItems(m_settings.statusCodes)) {
        auto *item = new QListWidgetItem(text, m_codes);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(IsCodeSelected(text, m_work.Codes) ? Qt::Checked : Qt::Unchecked);
    }
}

// ---------------------------------------------------------------- profiles

void TFPref::refreshProfileList()
{
    const bool filling = std::exchange(m_filling, true);
    m_profileList->clear();
    for (int row = 0; row < m_table.profileCount(); ++row)
        m_profileList->addItem(m_table.cell(row, TProfileTable::colName));
    m_profileList->setCurrentRow(m_table.profileCount() > 0 ? m_table.current() : -1);
    m_filling = filling;
}

void TFPref::showCurrentProfile()
{
    QStringList row;
    if (m_table.isEmpty()) {
        m_table.blankCurrentRow();
        row = TProfileTable::rowFromAccount(m_settings.accounts.templateAccount());
    } else {
        row = m_table.currentRow();
    }

    const bool filling = std::exchange(m_filling, true);
    for (auto it = m_profileEdits.cbegin(); it != m_profileEdits.cend(); ++it)
        it.value()->setText(row[it.key()]);
    for (auto it = m_profileChecks.cbegin(); it != m_profileChecks.cend(); ++it)
        it.value()->setChecked(row[it.key()] == u"1");
    const AccountSecurity security = securityFromName(row[TProfileTable::colSecurity]);
    m_security->setCurrentIndex(int(std::find(std::begin(kSecurityChoices), std::end(kSecurityChoices), security) -
                                    std::begin(kSecurityChoices)));
    m_maxPerMinute->setValue(row[TProfileTable::colMaxPerMinute].toInt());
    m_maxPerHour->setValue(row[TProfileTable::colMaxPerHour].toInt());
    m_connections->setValue(row[TProfileTable::colConnections].toInt());
    m_pipelining->setChecked(row[TProfileTable::colNoPipelining] != u"1");
    m_hiddenCells.clear();
    for (int column : kColumnsWithoutControls)
        m_hiddenCells.insert(column, row.value(column));
    m_filling = filling;
    applyDependentStates();
}

void TFPref::applyDependentStates()
{
    const bool authen = m_profileChecks.value(TProfileTable::colAuthen)->isChecked();
    for (QWidget *w : {static_cast<QWidget *>(m_auNameLabel), static_cast<QWidget *>(m_auPswLabel),
                       static_cast<QWidget *>(m_profileEdits.value(TProfileTable::colAuName)),
                       static_cast<QWidget *>(m_profileEdits.value(TProfileTable::colAuPsw))})
        w->setEnabled(authen);

    // A masked password shows "*" for every character, whatever the style's
    // own mask character is.
    const auto mask = [this](int passwordColumn, int maskColumn) {
        m_profileEdits.value(passwordColumn)
            ->setEchoMode(m_profileChecks.value(maskColumn)->isChecked() ? QLineEdit::Password : QLineEdit::Normal);
    };
    mask(TProfileTable::colAuPsw, TProfileTable::colMaskSMTP);
    mask(TProfileTable::colPassword, TProfileTable::colMaskPop3);

    // A fixed greeting is typed only when the default one is switched off.
    const bool defaultHelo = m_defaultHelo->isChecked();
    m_textHelo->setReadOnly(defaultHelo);
    QPalette palette = m_textHelo->palette();
    palette.setColor(QPalette::Base, defaultHelo ? palette.color(QPalette::Button) : QPalette().color(QPalette::Base));
    m_textHelo->setPalette(palette);
}

QStringList TFPref::rowFromControls() const
{
    QStringList row(TProfileTable::ColumnCount);
    for (auto it = m_profileEdits.cbegin(); it != m_profileEdits.cend(); ++it)
        row[it.key()] = it.value()->text();
    for (auto it = m_profileChecks.cbegin(); it != m_profileChecks.cend(); ++it)
        row[it.key()] = flagText(it.value()->isChecked());
    const int security = m_security->currentIndex();
    if (security >= 0 && security < int(std::size(kSecurityChoices)))
        row[TProfileTable::colSecurity] = securityName(kSecurityChoices[security]);
    row[TProfileTable::colMaxPerMinute] = QString::number(m_maxPerMinute->value());
    row[TProfileTable::colMaxPerHour] = QString::number(m_maxPerHour->value());
    row[TProfileTable::colConnections] = QString::number(m_connections->value());
    row[TProfileTable::colNoPipelining] = flagText(!m_pipelining->isChecked());
    for (auto it = m_hiddenCells.cbegin(); it != m_hiddenCells.cend(); ++it)
        row[it.key()] = it.value();
    return row;
}

void TFPref::profileEdited(int column, const QString &text)
{
    if (m_filling)
        return;
    if (m_table.isEmpty()) {
        // The boxes show the template's defaults; the first change makes
        // everything they show the new profile, so what is seen is stored.
        m_table.adoptRow(rowFromControls());
        refreshProfileList();
        return;
    }
    m_table.setCell(column, text);
    if (column == TProfileTable::colName) {
        if (QListWidgetItem *item = m_profileList->item(m_table.current()))
            item->setText(text);
    }
}

void TFPref::sbNewClick()
{
    m_table.newProfile(m_settings.accounts.templateAccount());
    refreshProfileList();
    showCurrentProfile();
}

void TFPref::sbCopyClick()
{
    m_table.copyProfile(m_settings.accounts.templateAccount());
    refreshProfileList();
    showCurrentProfile();
}

void TFPref::sbDeleteClick()
{
    m_table.deleteProfile();
    refreshProfileList();
    showCurrentProfile();
}

void TFPref::lbProfilesSelect(int row)
{
    if (m_filling || row < 0)
        return;
    m_table.setCurrent(row);
    showCurrentProfile();
}

// ---------------------------------------------------------------- saving

void TFPref::btSaveClick()
{
    m_table.storeInto(m_settings.accounts, m_settings.accounts.templateAccount());

    m_work.CharSet = m_charset->currentIndex() >= 0 ? m_charset->currentText() : QString();
    m_work.PathPro = WithTrailingSlash(m_pathPro->text());
    m_work.AutoCommit = m_autoCommit->isChecked();
    m_work.AutoCommitT = m_autoCommitT->value();
    m_work.DnsIP = m_dnsIP->text();
    m_work.NumberConnect = m_numberConnect->value();
    m_work.TimeOut = m_timeOut->value();
    m_work.DefaultHelo = m_defaultHelo->isChecked();
    m_work.TextHelo = m_textHelo->text();
    m_settings.iniInfo.DefaultHelo = m_work.DefaultHelo;
    m_settings.iniInfo.TextHelo = m_work.TextHelo;
    m_work.Pop3Identify = m_pop3Identify->isChecked();
    m_work.ExternalSmtp = m_externalSmtp->isChecked();
    m_work.NConnect = m_table.isEmpty() ? -1 : m_table.current();
    QStringList checked;
    for (int i = 0; i < m_codes->count(); ++i)
        if (m_codes->item(i)->checkState() == Qt::Checked)
            checked.append(m_codes->item(i)->text());
    m_work.Codes = JoinCodes(checked);
    m_work.Modified = true;

    (m_programWide ? m_settings.iniInfo : m_settings.projectInfo) = m_work;

    QString error;
    if (!SaveSettings(m_settings, m_files.settings, &error)) {
        // The records are changed either way and are written again when the
        // program ends; the user learns now that the file is not up to date.
        ShowMessageBox(error, windowTitle(), mbIconError);
    }
    accept();
}

TPreferencesNotifier &TPreferencesNotifier::instance()
{
    static TPreferencesNotifier notifier;
    return notifier;
}

void TPreferencesNotifier::postSettingsChanged()
{
    QMetaObject::invokeMethod(this, &TPreferencesNotifier::settingsChanged, Qt::QueuedConnection);
}

bool ShowPreferences(bool programWide, QWidget *parent)
{
    TFPref window(programSettings(), programWide, TFPref::Files::program(), parent);
    const bool saved = window.exec() == QDialog::Accepted;
    if (!programWide)
        TPreferencesNotifier::instance().postSettingsChanged();
    return saved;
}

} // namespace varnholt
