#include "desktopstart.h"

#include "aboutbox.h"

#include "settings/programfolder.h"
#include "settings/settings.h"
#include "settings/textfile.h"
#include "ui/common/focusframe.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QStandardPaths>

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

void installShippedLanguages(const QString &folder)
{
    const QStringList present = QDir(folder).entryList(QDir::Files);
    QDirIterator shipped(QStringLiteral(":/varnholt/lang"), {QStringLiteral("*.lan")}, QDir::Files);
    while (shipped.hasNext()) {
        const QString file = shipped.next();
        const QString name = QFileInfo(file).fileName();
        if (present.contains(name, Qt::CaseInsensitive))
            continue; // the user's copy, perhaps edited, stays
        QFile in(file);
        if (in.open(QIODevice::ReadOnly))
            writeFileAtomically(QDir(folder).filePath(name), in.readAll()); // without it the menu lacks a language
    }
}

void startDesktopApplication(const QString &home)
{
    QCoreApplication::setApplicationName(QStringLiteral("Varnholt"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VARNHOLT_VERSION));
    QApplication::setWindowIcon(applicationIcon());
    QApplication::setStyle(new FocusFrameStyle); // the application takes it
    ProgramFolder::initialise(home);
    installShippedLanguages(ProgramFolder::path());
    LoadSettings(programSettings(), settingsFilePath());
    // The preferences show, and keep, the folder new projects really go to.
    TIniInfo &info = programSettings().iniInfo;
    info.PathPro = defaultProjectFolder(info.PathPro);
}

QString documentsProjectFolder()
{
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        documents = QDir::homePath();
    return QDir(documents).filePath(QStringLiteral("Varnholt")) + u'/';
}

QString defaultProjectFolder(const QString &stored)
{
    if (stored.isEmpty() || QDir::cleanPath(stored) == QDir::cleanPath(ProgramFolder::path()))
        return documentsProjectFolder();
    return stored;
}

} // namespace varnholt
