#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

namespace varnholt::testing {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (QDir().mkpath(QFileInfo(path).absolutePath()) && f.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && f.write(bytes) == bytes.size() && f.flush())
        return true;
    QTest::qFail(qPrintable(QStringLiteral("cannot write %1: %2").arg(path, f.errorString())), __FILE__, __LINE__);
    return false;
}

QString writeFileIn(const QString &folder, const QString &name, const QByteArray &bytes)
{
    const QString path = QDir(folder).filePath(name);
    writeFile(path, bytes);
    return path;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString writeProject(const QString &folder, const ProjectFiles &files, const QString &name)
{
    const QString base = QDir(folder).filePath(name);
    const std::pair<const char *, const QByteArray &> parts[] = {
        {".eml", files.settings}, {".txt", files.list}, {".mml", files.text}, {".htm", files.html}};
    for (const auto &[suffix, bytes] : parts) {
        if (!bytes.isNull())
            writeFile(base + QLatin1String(suffix), bytes);
    }
    return base + QStringLiteral(".eml");
}

} // namespace varnholt::testing
