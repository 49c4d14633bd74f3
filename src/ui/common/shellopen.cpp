#include "ui/common/shellopen.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include <utility>

namespace varnholt {

namespace {

ShellOpenHook &hook()
{
    static ShellOpenHook current;
    return current;
}

bool openUrl(const QString &path)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
}

} // namespace

ShellOpenHook setShellOpenHook(ShellOpenHook newHook)
{
    return std::exchange(hook(), std::move(newHook));
}

bool OpenWithDefaultApplication(const QString &path)
{
    if (hook())
        return hook()(ShellOpenKind::DefaultApplication, path);
    return openUrl(path);
}

bool OpenInTextEditor(const QString &path)
{
    if (hook())
        return hook()(ShellOpenKind::TextEditor, path);
    QStringList editors;
    if (const QString visual = qEnvironmentVariable("VISUAL"); !visual.isEmpty())
        editors << visual;
    editors << QStringLiteral("gnome-text-editor") << QStringLiteral("gedit") << QStringLiteral("kate")
            << QStringLiteral("kwrite") << QStringLiteral("mousepad") << QStringLiteral("xed")
            << QStringLiteral("pluma") << QStringLiteral("featherpad") << QStringLiteral("leafpad");
    const QString file = QFileInfo(path).absoluteFilePath();
    for (const QString &editor : editors) {
        const QString program = QStandardPaths::findExecutable(editor);
        if (!program.isEmpty() && QProcess::startDetached(program, {file}))
            return true;
    }
    return openUrl(path);
}

} // namespace varnholt
