#include "programfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace varnholt::ProgramFolder {

namespace {
QString &folder()
{
    static QString f;
    return f;
}

QString withSlash(QString p)
{
    if (!p.endsWith(u'/'))
        p += u'/';
    return p;
}
} // namespace

void initialise(const QString &home)
{
    QString chosen;
    const QString exeDir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
    if (!home.isEmpty()) {
        chosen = QDir(home).absolutePath();
    } else if (!exeDir.isEmpty() && QFileInfo::exists(QDir(exeDir).filePath(QStringLiteral("portable")))) {
        chosen = exeDir;
    } else {
        chosen = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                 + QStringLiteral("/varnholt");
    }
    QDir().mkpath(chosen);
    folder() = withSlash(QDir::cleanPath(chosen));
}

QString path()
{
    if (folder().isEmpty())
        initialise();
    return folder();
}

QString filePath(const QString &name)
{
    return path() + name;
}

QString findDataFile(const QString &name)
{
    const QStringList candidates = {
        filePath(name),
        QStringLiteral(VARNHOLT_SHARED_DATA_DIR) + u'/' + name,
        QCoreApplication::applicationDirPath() + QStringLiteral("/../share/varnholt/") + name,
        QStringLiteral(VARNHOLT_SOURCE_DATA_DIR) + u'/' + name,
    };
    for (const QString &c : candidates)
        if (QFileInfo(c).isFile())
            return QFileInfo(c).absoluteFilePath();
    return {};
}

} // namespace varnholt::ProgramFolder
