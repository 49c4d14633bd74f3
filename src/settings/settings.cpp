#include "settings.h"

#include "fields.h"
#include "inifile.h"
#include "programfolder.h"
#include "syscharset.h"
#include "textfile.h"

#include <QFileInfo>

#include <algorithm>
#include <limits>
#include <variant>

namespace varnholt {

namespace {

constexpr QStringView kSeparator = u"^";
constexpr QStringView kConnections = u"<Connections>";
constexpr QStringView kStatusCodes = u"<Status Codes>";
constexpr QStringView kMailInfo = u"<Mail Info>";

// The file holds passwords.
constexpr QFileDevice::Permissions kOwnerOnly =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser;

[[nodiscard]] bool isExistingFolder(const QString &path)
{
    return !path.isEmpty() && QFileInfo(path).isDir();
}

// EscapeField handles "^" and "%". Control characters would split the line
// or, as a NUL, end the readable file; the splitter trims blanks at either
// end of a piece. Escaping those too lets every value come back unchanged,
// and the reader's UnescapeField already turns them back.
[[nodiscard]] QString escapeText(const QString &text)
{
    const QString escaped = EscapeField(text);
    QString out;
    out.reserve(escaped.size());
    for (qsizetype i = 0; i < escaped.size(); ++i) {
        const QChar c = escaped[i];
        const bool edgeBlank = c == u' ' && (i == 0 || i == escaped.size() - 1);
        if (c.unicode() < 0x20 || edgeBlank)
            out += QString::asprintf("%%%02X", unsigned(c.unicode()));
        else
            out += c;
    }
    return out;
}

// How a field of an account line or the settings line is written and read.
enum class Kind {
    Text,     // escaped text
    Folder,   // escaped text, taken on reading only when that folder exists
    Port,     // decimal, taken on reading only when a valid integer
    Number,   // decimal, read as its leading digits
    Flag,     // "1" or empty
    Security, // empty, "starttls" or "tls"
    Limit,    // decimal, empty for 0 (no limit); read as its leading digits, never below 0
    Count,    // as Limit, and empty for 1 too
};

template <typename T>
struct LineField {
    Kind kind;
    std::variant<QString T::*, qint32 T::*, bool T::*, AccountSecurity T::*> member;
};

// The record layout's field order, one table per line kind.
constexpr LineField<tAccountObj> kAccountFields[] = {
    {Kind::Text, &tAccountObj::Name},
    {Kind::Text, &tAccountObj::UserID},
    {Kind::Text, &tAccountObj::SMTPServer},
    {Kind::Port, &tAccountObj::SMTPPort},
    {Kind::Text, &tAccountObj::PopServer},
    {Kind::Port, &tAccountObj::PopPort},
    {Kind::Text, &tAccountObj::Password},
    {Kind::Text, &tAccountObj::ReturnAddress},
    {Kind::Text, &tAccountObj::ReplyTo},
    {Kind::Text, &tAccountObj::MailDomain},
    {Kind::Flag, &tAccountObj::Authen},
    {Kind::Text, &tAccountObj::AuName},
    {Kind::Text, &tAccountObj::auPsw},
    {Kind::Flag, &tAccountObj::MaskSMTP},
    {Kind::Flag, &tAccountObj::MaskPop3},
    {Kind::Security, &tAccountObj::Security}, // added after the first 15; older lines lack it
    {Kind::Limit, &tAccountObj::MaxPerMinute}, // added after Security; older lines lack them
    {Kind::Limit, &tAccountObj::MaxPerHour},
    {Kind::Count, &tAccountObj::Connections}, // added after MaxPerHour; older lines lack the rest
    {Kind::Text, &tAccountObj::DkimDomain},
    {Kind::Text, &tAccountObj::DkimSelector},
    {Kind::Text, &tAccountObj::DkimKeyFile},
    {Kind::Text, &tAccountObj::AuthMethod},
    {Kind::Text, &tAccountObj::TokenCommand},
    {Kind::Flag, &tAccountObj::NoPipelining},
};

constexpr LineField<TIniInfo> kSettingsFields[] = {
    {Kind::Number, &TIniInfo::NConnect},
    {Kind::Text, &TIniInfo::DnsIP},
    {Kind::Flag, &TIniInfo::AutoCommit},
    {Kind::Number, &TIniInfo::AutoCommitT},
    {Kind::Text, &TIniInfo::CharSet},
    {Kind::Folder, &TIniInfo::PathPro},
    {Kind::Number, &TIniInfo::NumberConnect},
    {Kind::Number, &TIniInfo::AutoCheckMinutes},
    {Kind::Flag, &TIniInfo::Html},
    {Kind::Number, &TIniInfo::TimeOut},
    {Kind::Text, &TIniInfo::Codes},
    {Kind::Flag, &TIniInfo::DefaultHelo},
    {Kind::Text, &TIniInfo::TextHelo},
    {Kind::Flag, &TIniInfo::Pop3Identify},
    {Kind::Flag, &TIniInfo::CreateLog},
    {Kind::Flag, &TIniInfo::ExternalSmtp},
    {Kind::Flag, &TIniInfo::LangOn},
    {Kind::Flag, &TIniInfo::LangInit},
    {Kind::Text, &TIniInfo::LangFile},
    {Kind::Text, &TIniInfo::LogFile},
};

[[nodiscard]] QString formatValue(Kind, const QString &value) { return escapeText(value); }
[[nodiscard]] QString formatValue(Kind kind, qint32 value)
{
    if ((kind == Kind::Limit && value <= 0) || (kind == Kind::Count && value <= 1))
        return QString();
    return QString::number(value);
}
[[nodiscard]] QString formatValue(Kind, bool value) { return value ? QStringLiteral("1") : QString(); }
[[nodiscard]] QString formatValue(Kind, AccountSecurity value) { return securityName(value); }

void readValue(Kind kind, const QString &piece, QString &field)
{
    const QString value = UnescapeField(piece);
    if (kind != Kind::Folder || isExistingFolder(value))
        field = value;
}

void readValue(Kind kind, const QString &piece, qint32 &field)
{
    if (kind == Kind::Number) {
        field = leadingInt(piece);
        return;
    }
    if (kind == Kind::Limit || kind == Kind::Count) {
        field = std::max(0, leadingInt(piece));
        return;
    }
    bool ok = false;
    const int value = piece.toInt(&ok, 10);
    if (ok)
        field = value;
}

void readValue(Kind, const QString &piece, bool &field)
{
    field = piece == u"1";
}

void readValue(Kind, const QString &piece, AccountSecurity &field)
{
    field = securityFromName(piece);
}

template <typename T, size_t N>
[[nodiscard]] QString formatLine(const T &record, const LineField<T> (&fields)[N])
{
    QStringList pieces;
    for (const LineField<T> &f : fields)
        pieces.append(std::visit([&](auto member) { return formatValue(f.kind, record.*member); }, f.member));
    return pieces.join(kSeparator);
}

// Assigns the pieces by position; fields without a piece keep their values.
template <typename T, size_t N>
void fillFromLine(T &record, const QString &line, const LineField<T> (&fields)[N])
{
    QStringList pieces = SplitFields(kSeparator, line);
    // The splitter drops the empty piece after a final "^"; it stands for an
    // empty last field (a boolean false, an empty text).
    if (line.endsWith(kSeparator))
        pieces.append(QString());
    const qsizetype n = std::min<qsizetype>(pieces.size(), N);
    for (qsizetype i = 0; i < n; ++i)
        std::visit([&](auto member) { readValue(fields[i].kind, pieces[i], record.*member); }, fields[i].member);
}

void readRecordLayout(ProgramSettings &settings, const QStringList &lines)
{
    const qsizetype n = lines.size();
    // "<Connections>" followed by an empty line: nothing else is read.
    if (n < 2 || lines[1].isEmpty())
        return;
    const auto emptyWithMore = [&](qsizetype k) { return k + 1 < n && lines[k].isEmpty(); };
    const auto isMarker = [&](qsizetype k, QStringView marker) {
        return k < n && lines[k].compare(marker, Qt::CaseInsensitive) == 0;
    };

    qsizetype i = 1;
    for (; i < n && !lines[i].isEmpty(); ++i) {
        auto account = std::make_unique<tAccountObj>(tAccountObj::withDefaults());
        fillAccountFromLine(*account, lines[i]);
        settings.accounts.add(std::move(account));
    }
    if (emptyWithMore(i))
        ++i;
    if (isMarker(i, kStatusCodes) && i + 1 < n) {
        for (++i; i < n && !lines[i].isEmpty(); ++i)
            settings.statusCodes.append(lines[i]);
    }
    if (emptyWithMore(i))
        ++i;
    if (isMarker(i, kMailInfo) && i + 1 < n)
        fillSettingsFromLine(settings.iniInfo, lines[i + 1]);
}

// Keys "0" to Count - 1 of an indexed section, bounded by the keys that are
// really there so a corrupt Count cannot make us loop for billions of keys.
[[nodiscard]] int indexedCount(const IniFile &ini, QStringView section)
{
    const int declared = ini.intValue(section, u"Count", 0);
    int present = 0;
    for (const QString &key : ini.keys(section)) {
        bool ok = false;
        const int index = key.toInt(&ok, 10);
        if (ok && index >= 0 && index < declared)
            present = std::max(present, index + 1);
    }
    return present;
}

// Reads keys of one INI section; a missing or malformed key keeps the field.
struct IniSection {
    const IniFile &ini;
    QStringView section;

    void text(QStringView key, QString &field) const { field = ini.value(section, key, field); }
    void number(QStringView key, qint32 &field) const { field = ini.intValue(section, key, field); }
    void flag(QStringView key, bool &field) const { field = ini.boolValue(section, key, field); }
};

void readIniAccount(const IniFile &ini, const QString &section, tAccountObj &a)
{
    const IniSection k{ini, section};
    k.text(u"UserID", a.UserID);
    k.text(u"SMTPServer", a.SMTPServer);
    k.text(u"PopServer", a.PopServer);
    k.text(u"Password", a.Password);
    k.text(u"ReturnAddress", a.ReturnAddress);
    k.text(u"ReplyTo", a.ReplyTo);
    k.text(u"MailDomain", a.MailDomain);
    k.text(u"AuName", a.AuName);
    k.text(u"auPsw", a.auPsw);
    k.number(u"SMTPPort", a.SMTPPort);
    k.number(u"PopPort", a.PopPort);
    k.flag(u"Authen", a.Authen);
    k.flag(u"MaskSMTP", a.MaskSMTP);
    k.flag(u"MaskPop3", a.MaskPop3);
    a.Security = securityFromName(ini.value(section, u"Security", securityName(a.Security)));
    k.number(u"MaxPerMinute", a.MaxPerMinute);
    k.number(u"MaxPerHour", a.MaxPerHour);
    k.number(u"Connections", a.Connections);
    a.MaxPerMinute = std::max(0, a.MaxPerMinute);
    a.MaxPerHour = std::max(0, a.MaxPerHour);
    a.Connections = std::max(0, a.Connections);
    k.text(u"DkimDomain", a.DkimDomain);
    k.text(u"DkimSelector", a.DkimSelector);
    k.text(u"DkimKeyFile", a.DkimKeyFile);
    k.text(u"AuthMethod", a.AuthMethod);
    k.text(u"TokenCommand", a.TokenCommand);
    k.flag(u"NoPipelining", a.NoPipelining);
}

void readIniDefaults(const IniFile &ini, TIniInfo &r)
{
    const IniSection k{ini, u"Default"};
    k.number(u"NConnect", r.NConnect);
    k.text(u"DnsIP", r.DnsIP);
    k.flag(u"AutoCommit", r.AutoCommit);
    k.number(u"AutoCommitT", r.AutoCommitT);
    k.text(u"CharSet", r.CharSet);
    const QString pathPro = ini.value(k.section, u"PathPro");
    if (isExistingFolder(pathPro))
        r.PathPro = pathPro;
    k.number(u"NumberConnect", r.NumberConnect);
    k.number(u"AutoCheckMinutes", r.AutoCheckMinutes);
    k.flag(u"Html", r.Html);
    k.text(u"Codes", r.Codes);
    k.number(u"TimeOut", r.TimeOut);
    k.flag(u"Default Helo", r.DefaultHelo);
    k.text(u"Text Helo", r.TextHelo);
    k.flag(u"Pop3 Identify", r.Pop3Identify);
    k.flag(u"Create Log", r.CreateLog);
    k.flag(u"External Smtp", r.ExternalSmtp);
    k.text(u"LangFile", r.LangFile);
    k.flag(u"LangOn", r.LangOn);
    k.flag(u"LangInit", r.LangInit);
    k.text(u"LogFile", r.LogFile);
}

void readIniLayout(ProgramSettings &settings, const IniFile &ini)
{
    constexpr QStringView user = u"User";
    const int accounts = indexedCount(ini, user);
    for (int i = 0; i < accounts; ++i) {
        const QString key = QString::number(i);
        const QString name = ini.value(user, key);
        if (name.isEmpty())
            continue;
        auto account = std::make_unique<tAccountObj>(tAccountObj::withDefaults());
        account->Name = name;
        readIniAccount(ini, key + u'|' + name, *account);
        settings.accounts.add(std::move(account));
    }

    constexpr QStringView codes = u"Status Codes";
    const int codeCount = indexedCount(ini, codes);
    for (int i = 0; i < codeCount; ++i) {
        const QString code = trimBlanks(ini.value(codes, QString::number(i))).toString();
        if (!code.isEmpty())
            settings.statusCodes.append(code);
    }

    readIniDefaults(ini, settings.iniInfo);
}

} // namespace

TIniInfo DefaultIniInfo()
{
    TIniInfo info;
    info.PathPro = ProgramFolder::path();
    return info;
}

QString securityName(AccountSecurity security)
{
    switch (security) {
    case AccountSecurity::StartTls:
        return QStringLiteral("starttls");
    case AccountSecurity::Tls:
        return QStringLiteral("tls");
    case AccountSecurity::None:
        break;
    }
    return {};
}

AccountSecurity securityFromName(QStringView name)
{
    const QStringView n = trimBlanks(name);
    if (n.compare(u"starttls", Qt::CaseInsensitive) == 0)
        return AccountSecurity::StartTls;
    if (n.compare(u"tls", Qt::CaseInsensitive) == 0)
        return AccountSecurity::Tls;
    return AccountSecurity::None;
}

tAccountObj tAccountObj::withDefaults()
{
    tAccountObj a;
    a.Name = QStringLiteral("Your Name");
    a.UserID = QStringLiteral("Enter User ID");
    a.SMTPServer = QStringLiteral("smtp.your-provider.example");
    a.PopServer = a.SMTPServer;
    a.ReturnAddress = QStringLiteral("you@your-domain.example");
    a.ReplyTo = a.ReturnAddress;
    a.MailDomain = QStringLiteral("your-domain.example");
    return a;
}

const QStringList &DefaultStatusCodes()
{
    // The descriptions are the program's own texts, spelling included: stored
    // settings files and language files refer to them.
    static const QStringList codes = {
        QStringLiteral("211  System status, or system help reply"),
        QStringLiteral("214  Help message [Information on how to use the receiver or the meaning of a particular "
                       "non-standart command: this reply is useful only to the human user]"),
        QStringLiteral("220  <domain> Service ready"),
        QStringLiteral("221  <domain> Service closing transmission channel"),
        QStringLiteral("250  Requested mail action okay, completed"),
        QStringLiteral("251  User not local: will forward to <forward-path>"),
        QStringLiteral("354  Start mail input: end with <CRLF>.<CRLF>"),
        QStringLiteral("421  <domain> Service not available, cloising transmission channel [This may be a reply to "
                       "any command if the service if the service khows it must shut down]"),
        QStringLiteral("450  Requested mail action not taken: mailbox unavailble. E.g., mailbox busy"),
        QStringLiteral("451  Requested action aborted: local error in processing"),
        QStringLiteral("452  Requested action not taken: insufficient system storage"),
        QStringLiteral("500  Syntax error, command unrecognized [This may include errors such as command line too "
                       "long]"),
        QStringLiteral("501  Syntax error in parameters or arguments"),
        QStringLiteral("502  Command not implemented"),
        QStringLiteral("503  Bad sequence of commands"),
        QStringLiteral("504  Command parameter not implemented"),
        QStringLiteral("550  Requested action not taken: mailbox unavailable [E.g., mailbox not found, no access]"),
        QStringLiteral("551  User not local; please try <forward-path>"),
        QStringLiteral("552  Requested mail action aborted: exceeded storage allocation"),
        QStringLiteral("553  Requested action not taken: mailbox name not a lowed [E.g., mailbox syntax incorrected]"),
        QStringLiteral("554  Transaction failed"),
    };
    return codes;
}

ProgramSettings &programSettings()
{
    static ProgramSettings settings;
    return settings;
}

QString settingsFilePath()
{
    return ProgramFolder::filePath(QString::fromUtf16(kSettingsFileName));
}

qint32 leadingInt(QStringView text)
{
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        negative = text[i++] == u'-';
    constexpr qint64 limit = qint64(std::numeric_limits<qint32>::max()) + 1;
    qint64 value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
        value = std::min(limit, value * 10 + (text[i].unicode() - u'0'));
    if (negative)
        return qint32(-value);
    return qint32(std::min<qint64>(value, std::numeric_limits<qint32>::max()));
}

// The fields every account line has; those added later are written only
// up to the last that holds something, so that an account without them
// keeps the line older versions wrote.
constexpr qsizetype kAccountFieldsAlwaysWritten = 18;

QString formatAccountLine(const tAccountObj &account)
{
    QString line = formatLine(account, kAccountFields);
    qsizetype fields = std::size(kAccountFields);
    while (fields > kAccountFieldsAlwaysWritten && line.endsWith(kSeparator)) {
        line.chop(1);
        --fields;
    }
    return line;
}

void fillAccountFromLine(tAccountObj &account, const QString &line)
{
    fillFromLine(account, line, kAccountFields);
}

QString formatSettingsLine(const TIniInfo &info)
{
    return formatLine(info, kSettingsFields);
}

void fillSettingsFromLine(TIniInfo &info, const QString &line)
{
    fillFromLine(info, line, kSettingsFields);
}

QStringList settingsFileLines(const ProgramSettings &settings)
{
    QStringList lines;
    lines.append(kConnections.toString());
    for (int i = 0; i < settings.accounts.count(); ++i)
        lines.append(formatAccountLine(*settings.accounts.item(i)));
    lines.append(QString());
    lines.append(kStatusCodes.toString());
    for (QString code : settings.statusCodes) {
        // An empty line would end the list early and hide the settings line
        // behind it; a line break would split the entry.
        code.replace(u'\r', u' ').replace(u'\n', u' ');
        if (!trimBlanks(code).isEmpty())
            lines.append(code);
    }
    lines.append(QString());
    lines.append(kMailInfo.toString());
    lines.append(formatSettingsLine(settings.iniInfo));
    return lines;
}

SettingsLayout LoadSettings(ProgramSettings &settings, const QString &path)
{
    settings.iniInfo = DefaultIniInfo();
    settings.accounts.Clear();
    settings.statusCodes.clear();

    const QByteArray bytes = readFileBytes(path).value_or(QByteArray());
    QStringList lines;
    forEachLine(bytes, [&](QByteArrayView line) { lines.append(SystemCharset::toUnicode(line)); });

    SettingsLayout layout = SettingsLayout::Unrecognised;
    if (!lines.isEmpty() && lines.first() == u"[User]") {
        IniFile ini;
        ini.parse(bytes);
        readIniLayout(settings, ini);
        layout = SettingsLayout::Ini;
    } else if (!lines.isEmpty() && lines.first().compare(kConnections, Qt::CaseInsensitive) == 0) {
        readRecordLayout(settings, lines);
        layout = SettingsLayout::Record;
    }

    if (settings.accounts.count() == 0)
        settings.accounts.add(tAccountObj::withDefaults());
    return layout;
}

bool SaveSettings(ProgramSettings &settings, const QString &path, QString *error)
{
    // Every user of the account list expects at least one account.
    if (settings.accounts.count() == 0)
        settings.accounts.add(tAccountObj::withDefaults());
    return writeFileAtomically(path, joinLinesCrLf(settingsFileLines(settings)), error, kOwnerOnly);
}

} // namespace varnholt
