#pragma once

#include <algorithm>

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

// The program-wide settings record, the mail accounts ("User Mail Profiles")
// and the SMTP status-code descriptions, and the settings file
// "setupqnd.ini" that holds all three.
namespace varnholt {

inline constexpr char16_t kSettingsFileName[] = u"setupqnd.ini";
inline constexpr char16_t kDefaultDnsIP[] = u"8.8.8.8";
inline constexpr char16_t kDefaultCharSet[] = u"English(en),iso-8859-1";
inline constexpr char16_t kDefaultLangFile[] = u"language.lan";

// The settings record: the program-wide instance and the open project's copy.
// Member defaults are the program-wide defaults, except `PathPro`, which
// depends on the program folder (see DefaultIniInfo()).
struct TIniInfo {
    qint32 NConnect = 0;             // zero-based index of the account to send through
    QString DnsIP = QString::fromUtf16(kDefaultDnsIP);
    bool AutoCommit = false;         // repeat the POP3 log-in during a run
    qint32 AutoCommitT = 10;         // minutes between those log-ins
    QString CharSet = QString::fromUtf16(kDefaultCharSet); // "language(code),charset"
    QString PathPro;                 // default project folder, ends with "/"
    qint32 NumberConnect = 5;        // parallel connections of direct delivery
    qint32 AutoCheckMinutes = 10;
    bool Html = false;
    QString Codes;                   // SMTP reply codes joined with ";"
    QString SectionSymbol = QStringLiteral(";"); // project only: list delimiter
    QString BaseUrl;                 // project only
    QString ProjectName;             // project only
    QString Subject;                 // project only
    qint32 Column = 0;               // project only: e-mail column
    qint32 ColumnA = 0;              // project only: attachment column
    // Project only: a temporary refusal is tried again RetryCount times,
    // RetryMinutes apart (0 times: a refusal is final).
    qint32 RetryCount = 0;
    qint32 RetryMinutes = 0;
    qint32 TimeOut = 10;             // seconds for look-up and connect
    bool Modified = false;
    bool DefaultHelo = true;         // greet with the local host name
    QString TextHelo;                // greeting when DefaultHelo is false
    bool Pop3Identify = true;        // POP3 log-in before sending
    bool CreateLog = false;
    bool ExternalSmtp = false;
    QString LangFile = QString::fromUtf16(kDefaultLangFile);
    bool LangOn = false;
    bool LangInit = false;
    QString LogFile;                 // the latest send log

    friend bool operator==(const TIniInfo &, const TIniInfo &) = default;
};

// The program-wide defaults: the member defaults with `PathPro` set to the
// program folder.
[[nodiscard]] TIniInfo DefaultIniInfo();

// How the SMTP connection is protected. Stored as the 16th field of an
// account line (and key "Security" in the INI layout): empty, "starttls" or
// "tls". Files written before this field existed read as None.
enum class AccountSecurity { None, StartTls, Tls };

[[nodiscard]] QString securityName(AccountSecurity security);
// Case-insensitive; anything unknown is None.
[[nodiscard]] AccountSecurity securityFromName(QStringView name);

// One mail account. A default-constructed account is the "empty" account:
// all texts empty, ports 25 and 110, no authentication, passwords masked.
struct tAccountObj {
    QString Name;          // sender's display name, label in lists
    QString UserID;        // POP3 user name
    QString SMTPServer;
    QString PopServer;
    QString Password;      // POP3 password, kept as plain text
    QString ReturnAddress; // "From"
    QString ReplyTo;
    QString MailDomain;    // used in the Message-Id header
    QString AuName;        // SMTP authentication user name
    QString auPsw;         // SMTP authentication password
    qint32 SMTPPort = 25;
    qint32 PopPort = 110;
    bool Authen = false;   // the SMTP server requires authentication
    bool MaskSMTP = true;
    bool MaskPop3 = true;
    AccountSecurity Security = AccountSecurity::None;
    // How many messages a run hands to the SMTP server at most in any minute
    // and in any hour; 0 is no limit. The 17th and 18th fields of an account
    // line (empty for no limit) and the INI keys "MaxPerMinute" and
    // "MaxPerHour"; files without them read as no limit.
    qint32 MaxPerMinute = 0;
    qint32 MaxPerHour = 0;
    // How many connections a run keeps open to the SMTP server at once;
    // 0 or 1 is one. The 19th field of an account line (empty for one) and
    // the INI key "Connections".
    qint32 Connections = 0;
    // DKIM signing (domain, selector, private key file) and the log-in's
    // method ("" or "oauth2") with the command that prints an OAuth 2.0
    // token: the 20th to 24th fields and the INI keys "DkimDomain",
    // "DkimSelector", "DkimKeyFile", "AuthMethod" and "TokenCommand".
    QString DkimDomain;
    QString DkimSelector;
    QString DkimKeyFile;
    QString AuthMethod;
    QString TokenCommand;
    // Never pipeline SMTP commands, even when the server offers it (a
    // server that announces PIPELINING and mishandles it): the 25th field
    // and the INI key "NoPipelining".
    bool NoPipelining = false;

    // The connections a run opens: Connections, at least 1 and at most
    // MaxConnections.
    static constexpr int MaxConnections = 20;
    [[nodiscard]] int connectionCount() const { return std::clamp(int(Connections), 1, MaxConnections); }

    // A new account with placeholders that tell the user what to enter.
    [[nodiscard]] static tAccountObj withDefaults();
    [[nodiscard]] static tAccountObj empty() { return {}; }

    friend bool operator==(const tAccountObj &, const tAccountObj &) = default;
};

// An ordered list that owns its objects. `Clear` is the one operation
// subclasses give a meaning; here it does nothing.
template <typename T>
class TCommonRules
{
public:
    TCommonRules() = default;
    TCommonRules(const TCommonRules &) = delete;
    TCommonRules &operator=(const TCommonRules &) = delete;
    virtual ~TCommonRules() = default;

    virtual void Clear() {}

    [[nodiscard]] int count() const { return int(m_items.size()); }
    [[nodiscard]] T *item(int index) const
    {
        return index >= 0 && index < count() ? m_items[size_t(index)].get() : nullptr;
    }
    // Takes ownership; returns the new index, or -1 for a null object.
    int add(std::unique_ptr<T> object)
    {
        if (!object)
            return -1;
        m_items.push_back(std::move(object));
        return count() - 1;
    }

protected:
    std::vector<std::unique_ptr<T>> m_items;
};

class tAccounts : public TCommonRules<tAccountObj>
{
public:
    tAccounts() = default;

    void Clear() override { m_items.clear(); }

    int add(std::unique_ptr<tAccountObj> account) { return TCommonRules::add(std::move(account)); }
    int add(const tAccountObj &account) { return add(std::make_unique<tAccountObj>(account)); }

    // An account with the defaults, the fallback for ports typed wrongly.
    [[nodiscard]] const tAccountObj &templateAccount() const { return m_template; }

private:
    tAccountObj m_template = tAccountObj::withDefaults();
};

// Everything setupqnd.ini holds, plus the open project's copy of the record.
struct ProgramSettings {
    TIniInfo iniInfo = DefaultIniInfo(); // program-wide settings
    TIniInfo projectInfo;                // the open project's copy
    tAccounts accounts;
    QStringList statusCodes;             // "550  Requested action not taken: ..."
};

// The SMTP reply codes with their descriptions (RFC 821 4.2.2) that the
// status-code list starts with, and that the delete dialog offers.
[[nodiscard]] const QStringList &DefaultStatusCodes();

// The program-wide instance.
[[nodiscard]] ProgramSettings &programSettings();

// "setupqnd.ini" in the program folder.
[[nodiscard]] QString settingsFilePath();

enum class SettingsLayout { Unrecognised, Record, Ini };

// Resets `settings` to the defaults (no status codes), reads `path` in the
// record or the INI layout and ensures at least one account. A missing,
// empty or unrecognised file leaves the defaults; it is not an error.
SettingsLayout LoadSettings(ProgramSettings &settings, const QString &path);

// Writes the record layout through a temporary file renamed over `path`, with
// owner-only permissions since the file holds passwords. Adds an account with
// the defaults first when there is none. On failure the old file stays whole
// and `error` gets a readable text.
bool SaveSettings(ProgramSettings &settings, const QString &path, QString *error = nullptr);

// The pieces of the record layout, for tests and tools.
[[nodiscard]] QString formatAccountLine(const tAccountObj &account);
void fillAccountFromLine(tAccountObj &account, const QString &line);
[[nodiscard]] QString formatSettingsLine(const TIniInfo &info);
void fillSettingsFromLine(TIniInfo &info, const QString &line);
[[nodiscard]] QStringList settingsFileLines(const ProgramSettings &settings);

// A decimal integer as the C library reads one: optional sign, then the
// leading digits; no digits give 0, overflow gives the nearest limit.
[[nodiscard]] qint32 leadingInt(QStringView text);

} // namespace varnholt
