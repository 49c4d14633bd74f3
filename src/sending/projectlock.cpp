#include "sending/projectlock.h"

#include "settings/textfile.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace varnholt {

ProjectLock::ProjectLock(QString path, int fd)
    : m_path(std::move(path))
    , m_fd(fd)
{
}

ProjectLock::~ProjectLock()
{
    // Closing the descriptor releases the lock. The file stays: removing it
    // would let a process that opened it a moment earlier lock a file that
    // no longer has a name, while a third locks a new one.
    if (m_fd >= 0)
        ::close(m_fd);
}

QString ProjectLock::pathForProject(const QString &projectFolder, const QString &projectName)
{
    return QDir(projectFolder).filePath(projectName + QStringLiteral(".lock"));
}

std::unique_ptr<ProjectLock> ProjectLock::acquire(const QString &projectFolder, const QString &projectName,
                                                  QString *error)
{
    const QString path = pathForProject(projectFolder, projectName);
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error)
            *error = QStringLiteral("cannot create the lock file \"%1\": %2").arg(path, SystemErrorText(errno));
        return nullptr;
    }
    // flock locks belong to the open file, so a second acquire in this
    // process is refused as well.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        QByteArray holder(32, '\0');
        const ssize_t n = ::pread(fd, holder.data(), size_t(holder.size()), 0);
        holder.truncate(n > 0 ? n : 0);
        ::close(fd);
        if (error) {
            if (why == EWOULDBLOCK) {
                const QByteArray pid = holder.trimmed();
                *error = QStringLiteral("another run is using the project \"%1\"%2 (lock file \"%3\"); "
                                        "wait for it to end or stop it first")
                             .arg(projectName,
                                  pid.isEmpty() ? QString()
                                                : QStringLiteral(" (process %1)").arg(QString::fromLatin1(pid)),
                                  path);
            } else {
                *error = QStringLiteral("cannot lock \"%1\": %2").arg(path, SystemErrorText(why));
            }
        }
        return nullptr;
    }
    // The holder's process number, for the message a second run shows.
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) < 0) {
        // Only the message of a refused run would lack the number.
    }
    return std::unique_ptr<ProjectLock>(new ProjectLock(path, fd));
}

} // namespace varnholt
