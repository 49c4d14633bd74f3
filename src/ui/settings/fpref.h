#pragma once

#include "dns/finddnsserver.h"
#include "settings/settings.h"
#include "ui/settings/profiletable.h"

#include <QDialog>
#include <QHash>
#include <QStringList>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTabWidget;

namespace varnholt {

class TConnectionTestDialog;
class TMsgLanguage;

// Opens the preferences window modally on the program-wide record (true) or
// on the open project's copy (false). True when the user saved.
bool ShowPreferences(bool programWide, QWidget *parent = nullptr);

// Tells the main window that the open project's settings were changed
// (posted: receivers run from the event loop after the window has closed).
class TPreferencesNotifier : public QObject
{
    Q_OBJECT
public:
    static TPreferencesNotifier &instance();
    void postSettingsChanged();

signals:
    void settingsChanged();

private:
    TPreferencesNotifier() = default;
};

// The preferences window: the mail accounts ("User Mail Profiles") and the
// sending settings. It edits copies and touches `settings` only on
// "Save && Exit".
class TFPref : public QDialog
{
    Q_OBJECT

public:
    // Where the window reads and writes its files; the defaults are the
    // program's own.
    struct Files {
        QString settings;  // the settings file written on saving
        QString charsets;  // "charset.txt"; empty or missing: the built-in list
        QString resolvConf = defaultResolvConf(); // where "Get DNS info" looks
        [[nodiscard]] static Files program();
    };

    TFPref(ProgramSettings &settings, bool programWide, const Files &files, QWidget *parent = nullptr);

    // The window's texts by index: 0-12 head the profile columns, then
    // "Project path" and "DNSInfo Define Error".
    [[nodiscard]] static const QStringList &defaultMessages();

    [[nodiscard]] TMsgLanguage *messages() const { return m_msl; }
    [[nodiscard]] const TProfileTable &profiles() const { return m_table; }
    [[nodiscard]] bool isProgramWide() const { return m_programWide; }
    // The window of the last "Test connection"; null before the first.
    [[nodiscard]] TConnectionTestDialog *connectionTestDialog() const { return m_connectionTest; }

private:
    void buildWindow();
    QWidget *buildGeneralTab();
    QWidget *buildProfilesBox();
    QWidget *buildUserBox();
    QWidget *buildSmtpBox();
    QWidget *buildPop3Box();
    QWidget *buildSettingsBox();
    void buildHiddenControls();
    void translate();
    QLineEdit *profileEdit(int column, const QString &objectName);
    QCheckBox *profileCheck(int column, const QString &caption, const QString &objectName);
    QSpinBox *profileLimit(int column, const QString &objectName);

    void loadFromRecord();
    void loadCharsets();
    void loadStatusCodes();

    void showCurrentProfile();
    void applyDependentStates();
    void refreshProfileList();
    [[nodiscard]] QStringList rowFromControls() const;
    void profileEdited(int column, const QString &text);

    void sbNewClick();
    void sbCopyClick();
    void sbDeleteClick();
    void lbProfilesSelect(int row);
    void sbGetDnsInfoClick();
    // "Test connection": the account as the boxes show it, unsaved.
    void btTestConnectionClick();
    void btSaveClick();

    ProgramSettings &m_settings;
    const bool m_programWide;
    const Files m_files;
    TIniInfo m_work;
    TProfileTable m_table;
    bool m_filling = false;
    TMsgLanguage *m_msl = nullptr;

    QTabWidget *m_tabs = nullptr;
    QListWidget *m_profileList = nullptr;
    QHash<int, QLineEdit *> m_profileEdits;
    QHash<int, QCheckBox *> m_profileChecks;
    QComboBox *m_security = nullptr;
    QSpinBox *m_maxPerMinute = nullptr;
    QSpinBox *m_maxPerHour = nullptr;
    QSpinBox *m_connections = nullptr;
    QCheckBox *m_pipelining = nullptr;
    // The current account's cells that have no control here: carried
    // through an edit unchanged.
    QHash<int, QString> m_hiddenCells;
    QLabel *m_auNameLabel = nullptr;
    QLabel *m_auPswLabel = nullptr;

    QCheckBox *m_pop3Identify = nullptr;
    QCheckBox *m_autoCommit = nullptr;
    QSpinBox *m_autoCommitT = nullptr;
    QComboBox *m_charset = nullptr;
    QCheckBox *m_defaultHelo = nullptr;
    QLineEdit *m_textHelo = nullptr;

    // Carried through without being shown.
    QLineEdit *m_pathPro = nullptr;
    QLabel *m_pathProLabel = nullptr;
    QCheckBox *m_externalSmtp = nullptr;
    QLineEdit *m_dnsIP = nullptr;
    QPushButton *m_getDnsInfo = nullptr;
    QSpinBox *m_numberConnect = nullptr;
    QSpinBox *m_timeOut = nullptr;
    QListWidget *m_codes = nullptr;
    TConnectionTestDialog *m_connectionTest = nullptr;
};

} // namespace varnholt
