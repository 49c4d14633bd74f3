#include "recentprojects.h"

#include "settings/textfile.h"

namespace varnholt {

Qt::CaseSensitivity fileSystemCaseSensitivity()
{
#if defined(Q_OS_WIN) || defined(Q_OS_DARWIN)
    return Qt::CaseInsensitive;
#else
    return Qt::CaseSensitive;
#endif
}

QString normaliseProjectPath(const QString &path, Qt::CaseSensitivity fileSystem)
{
    if (fileSystem == Qt::CaseSensitive || path.isEmpty())
        return path;
    QString normalised = path.toLower();
    normalised[0] = normalised[0].toUpper();
    return normalised;
}

bool RecentProjects::add(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QString entry = normaliseProjectPath(path, m_fileSystem);
    const qsizetype found = m_entries.indexOf(entry);
    if (found >= 0)
        m_entries.removeAt(found);
    else
        while (m_entries.size() >= kMaxRecentProjects)
            m_entries.removeLast();
    m_entries.prepend(entry);
    return true;
}

void RecentProjects::load(const QString &fileName)
{
    m_entries.clear();
    const QStringList lines = readTextLines(fileName).mid(0, kMaxRecentProjects);
    // From the last line to the first, so the file's first line ends on top.
    for (qsizetype i = lines.size() - 1; i >= 0; --i)
        add(lines[i]);
}

bool RecentProjects::save(const QString &fileName) const
{
    return writeFileAtomically(fileName, joinLinesCrLf(m_entries));
}

} // namespace varnholt
