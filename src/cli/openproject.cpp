#include "openproject.h"

#include <QFileInfo>

namespace varnholt::cli {

std::unique_ptr<OpenedProject> openProject(const QString &file, bool cleanAddresses, QString *error)
{
    const QFileInfo info(file);
    if (!info.isFile() || !file.endsWith(u".eml", Qt::CaseInsensitive)) {
        *error = QStringLiteral("no project file \"%1\" (give the project's .eml file)").arg(file);
        return nullptr;
    }
    auto opened = std::make_unique<OpenedProject>();
    LoadSettings(opened->program, settingsFilePath());
    opened->project = std::make_unique<Project>(opened->program.iniInfo);
    Project &project = *opened->project;
    project.open(info.absoluteFilePath());
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

bool isSendableAddress(const QString &cell)
{
    return cell.contains(u'@');
}

} // namespace varnholt::cli
