#include "cli.h"

#include "settings/settings.h"

#include <QFileInfo>
#include <QJsonArray>

namespace varnholt::cli {

namespace {

// Passwords never leave the program in clear: a set password shows as
// asterisks, an empty one as empty.
QString masked(const QString &password)
{
    return password.isEmpty() ? QString() : QStringLiteral("********");
}

QString layoutName(SettingsLayout layout)
{
    switch (layout) {
    case SettingsLayout::Record:
        return QStringLiteral("record");
    case SettingsLayout::Ini:
        return QStringLiteral("ini");
    case SettingsLayout::Unrecognised:
        break;
    }
    return QStringLiteral("none");
}

// Key, value pairs in the order of the settings file.
QList<std::pair<QString, QJsonValue>> settingsFields(const TIniInfo &i)
{
    return {
        {QStringLiteral("NConnect"), i.NConnect},
        {QStringLiteral("DnsIP"), i.DnsIP},
        {QStringLiteral("AutoCommit"), i.AutoCommit},
        {QStringLiteral("AutoCommitT"), i.AutoCommitT},
        {QStringLiteral("CharSet"), i.CharSet},
        {QStringLiteral("PathPro"), i.PathPro},
        {QStringLiteral("NumberConnect"), i.NumberConnect},
        {QStringLiteral("AutoCheckMinutes"), i.AutoCheckMinutes},
        {QStringLiteral("Html"), i.Html},
        {QStringLiteral("TimeOut"), i.TimeOut},
        {QStringLiteral("Codes"), i.Codes},
        {QStringLiteral("Default Helo"), i.DefaultHelo},
        {QStringLiteral("Text Helo"), i.TextHelo},
        {QStringLiteral("Pop3 Identify"), i.Pop3Identify},
        {QStringLiteral("Create Log"), i.CreateLog},
        {QStringLiteral("External Smtp"), i.ExternalSmtp},
        {QStringLiteral("LangOn"), i.LangOn},
        {QStringLiteral("LangInit"), i.LangInit},
        {QStringLiteral("LangFile"), i.LangFile},
        {QStringLiteral("LogFile"), i.LogFile},
    };
}

QList<std::pair<QString, QJsonValue>> accountFields(const tAccountObj &a)
{
    return {
        {QStringLiteral("Name"), a.Name},
        {QStringLiteral("UserID"), a.UserID},
        {QStringLiteral("SMTPServer"), a.SMTPServer},
        {QStringLiteral("SMTPPort"), a.SMTPPort},
        {QStringLiteral("PopServer"), a.PopServer},
        {QStringLiteral("PopPort"), a.PopPort},
        {QStringLiteral("Password"), masked(a.Password)},
        {QStringLiteral("ReturnAddress"), a.ReturnAddress},
        {QStringLiteral("ReplyTo"), a.ReplyTo},
        {QStringLiteral("MailDomain"), a.MailDomain},
        {QStringLiteral("Authen"), a.Authen},
        {QStringLiteral("AuName"), a.AuName},
        {QStringLiteral("auPsw"), masked(a.auPsw)},
        {QStringLiteral("MaskSMTP"), a.MaskSMTP},
        {QStringLiteral("MaskPop3"), a.MaskPop3},
        {QStringLiteral("Security"), securityName(a.Security).isEmpty() ? QStringLiteral("none")
                                                                          : securityName(a.Security)},
        // Messages a run hands to the server at most per minute and per
        // hour; 0 is no limit.
        {QStringLiteral("MaxPerMinute"), a.MaxPerMinute},
        {QStringLiteral("MaxPerHour"), a.MaxPerHour},
    };
}

QString textOf(const QJsonValue &v)
{
    if (v.isBool())
        return v.toBool() ? QStringLiteral("yes") : QStringLiteral("no");
    if (v.isDouble())
        return QString::number(v.toInt());
    return v.toString();
}

void addFields(QJsonObject &obj, QString &text, const QList<std::pair<QString, QJsonValue>> &fields)
{
    for (const auto &[key, value] : fields) {
        obj.insert(key, value);
        text += QStringLiteral("  %1: %2\n").arg(key, textOf(value));
    }
}

} // namespace

int runSettings(const Invocation &inv)
{
    if (inv.words.size() != 1)
        return fail(QStringLiteral("\"settings\" takes no arguments (see --help)"), ExitUsage);

    ProgramSettings settings;
    const QString path = settingsFilePath();
    const SettingsLayout layout = LoadSettings(settings, path);

    QJsonObject doc;
    doc.insert(QStringLiteral("settingsFile"), path);
    doc.insert(QStringLiteral("fileExists"), QFileInfo::exists(path));
    doc.insert(QStringLiteral("layout"), layoutName(layout));
    QString text = QStringLiteral("Settings file: %1 (%2)\n\nProgram-wide settings\n")
                       .arg(path, QFileInfo::exists(path) ? layoutName(layout) + QStringLiteral(" layout")
                                                          : QStringLiteral("not written yet; defaults"));

    QJsonObject info;
    addFields(info, text, settingsFields(settings.iniInfo));
    doc.insert(QStringLiteral("settings"), info);

    QJsonArray accounts;
    for (int i = 0; i < settings.accounts.count(); ++i) {
        text += QStringLiteral("\nAccount %1\n").arg(i);
        QJsonObject account;
        addFields(account, text, accountFields(*settings.accounts.item(i)));
        accounts.append(account);
    }
    doc.insert(QStringLiteral("accounts"), accounts);

    text += QStringLiteral("\nStatus codes (%1)\n").arg(settings.statusCodes.size());
    for (const QString &line : settings.statusCodes)
        text += QStringLiteral("  ") + line + u'\n';
    doc.insert(QStringLiteral("statusCodes"), QJsonArray::fromStringList(settings.statusCodes));

    print(inv, doc, text);
    return ExitOk;
}

} // namespace varnholt::cli
