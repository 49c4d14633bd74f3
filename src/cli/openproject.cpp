#include "openproject.h"

#include "cli.h"

#include "settings/inifile.h"
#include "settings/textfile.h"

#include <QFileInfo>

namespace varnholt::cli {

namespace {

// Why `file` is not a project settings file, or nothing. The desktop
// program opens anything with the defaults; a script is better told.
std::optional<QString> notAProjectFile(const QString &file)
{
    const std::optional<QByteArray> bytes = readFileBytes(file);
    if (!bytes)
        return QStringLiteral("cannot read the project file \"%1\"").arg(file);
    IniFile ini;
    if (!bytes->contains('\0'))
        ini.parse(*bytes);
    if (!ini.hasSection(u"Common"))
        return QStringLiteral("\"%1\" is not a project file: it has no [Common] section of project settings")
            .arg(file);
    return std::nullopt;
}

} // namespace

std::unique_ptr<OpenedProject> openProject(const QString &file, bool cleanAddresses, QString *error, ListFile list)
{
    const QFileInfo info(file);
    if (!info.isFile() || !file.endsWith(u".eml", Qt::CaseInsensitive)) {
        *error = QStringLiteral("no project file \"%1\" (give the project's .eml file)").arg(file);
        return nullptr;
    }
    if (const auto why = notAProjectFile(file)) {
        *error = *why;
        return nullptr;
    }
    auto opened = std::make_unique<OpenedProject>();
    LoadSettings(opened->program, settingsFilePath());
    opened->project = std::make_unique<Project>(opened->program.iniInfo);
    Project &project = *opened->project;
    project.open(info.absoluteFilePath());
    if (const QString why = project.delimiterError(); !why.isEmpty()) {
        *error = why + QStringLiteral("; write one character, Tab or Space as \"SectionSymbol\" in \"%1\"").arg(file);
        return nullptr;
    }
    if (!project.listLoad().fileRead && (list == ListFile::Required || QFileInfo::exists(project.listFile()))) {
        *error = QFileInfo::exists(project.listFile())
                     ? QStringLiteral("cannot read the project's list \"%1\"").arg(project.listFile())
                     : QStringLiteral("the project's list \"%1\" does not exist").arg(project.listFile());
        return nullptr;
    }
    if (!project.listReadWhole())
        warnListNotReadWhole(project.listWarning(), project.listFile());
    if (cleanAddresses)
        project.table().normaliseAddresses(project.settings().Column);

    const tAccounts &accounts = opened->program.accounts;
    int index = project.settings().NConnect;
    if (index < 0 || index >= accounts.count())
        index = 0;
    if (const tAccountObj *account = accounts.item(index))
        opened->account = *account;
    return opened;
}

int refuseListNotReadWhole(const Project &project)
{
    return fail(QStringLiteral("the list \"%1\" was not read whole (%2); deleting rows saves it with only the "
                               "records read and loses the rest: repair the file, or give --force to save anyway")
                    .arg(project.listFile(), project.listWarning()),
                ExitUsage);
}

void warnListNotReadWhole(const QString &warning, const QString &file)
{
    fail(QStringLiteral("warning: %1 (\"%2\"); saving it replaces the file with the records read").arg(warning, file));
}


} // namespace varnholt::cli
