#include "desktopstart.h"

#include "settings/programfolder.h"
#include "settings/settings.h"

#include <QCoreApplication>
#include <QString>

#include <unistd.h>

namespace varnholt {

void prepareDesktopProcess()
{
    // The HTML editor's browser refuses to start as root unless its
    // sandbox is off; everyone else keeps the sandbox.
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS"))
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

void startDesktopApplication(const QString &home)
{
    QCoreApplication::setApplicationName(QStringLiteral("Varnholt"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VARNHOLT_VERSION));
    ProgramFolder::initialise(home);
    LoadSettings(programSettings(), settingsFilePath());
}

} // namespace varnholt
