#pragma once

#include <QString>

#include <memory>

// One sending run (or one change of its results) per project at a time.
// Two runs on one project would mail every recipient twice, and deleting
// rows while a run writes its results would make the run's own resume send
// them again. The lock is an advisory lock (flock) on "N.lock" beside the
// project's files; the kernel drops it when the process ends however it
// ends, so a killed run never leaves the project locked.
namespace varnholt {

class ProjectLock
{
public:
    ~ProjectLock();
    ProjectLock(const ProjectLock &) = delete;
    ProjectLock &operator=(const ProjectLock &) = delete;

    // N.lock beside the project's N.eml.
    [[nodiscard]] static QString pathForProject(const QString &projectFolder, const QString &projectName);

    // The lock of the project, or nothing when another process (or another
    // holder in this one) has it or the lock file cannot be made; `error`
    // then says which, in words for the user.
    [[nodiscard]] static std::unique_ptr<ProjectLock> acquire(const QString &projectFolder,
                                                              const QString &projectName, QString *error);

    [[nodiscard]] QString path() const { return m_path; }

private:
    ProjectLock(QString path, int fd);

    QString m_path;
    int m_fd = -1;
};

} // namespace varnholt
