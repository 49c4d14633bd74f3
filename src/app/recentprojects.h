#pragma once

#include <QString>
#include <QStringList>

// The recently used projects: the "Reopen" submenu and the file
// "setupprj.ini" in the program folder that keeps it between runs. Despite
// its extension the file is plain text, one path per line, most recent
// first, lines ending CR LF.
namespace varnholt {

inline constexpr char16_t kRecentProjectsFileName[] = u"setupprj.ini";
inline constexpr int kMaxRecentProjects = 10;

// The form in which a path is listed, so that two spellings of one file
// give one entry. On a file system that ignores case the whole path is
// lower-cased and its first character upper-cased ("C:\Mail\Offer.EML" and
// "c:\mail\offer.eml" both give "C:\mail\offer.eml"). On a case-sensitive
// file system the path is kept as it is: folding its case would name
// another, usually missing, file.
[[nodiscard]] QString normaliseProjectPath(const QString &path, Qt::CaseSensitivity fileSystem);
// The case rule of the file system the program runs on.
[[nodiscard]] Qt::CaseSensitivity fileSystemCaseSensitivity();

class RecentProjects
{
public:
    explicit RecentProjects(Qt::CaseSensitivity fileSystem = fileSystemCaseSensitivity())
        : m_fileSystem(fileSystem) {}

    // `AddRecentProject`: puts the normalised path at the top. An entry
    // already listed moves there; otherwise a full list drops its last
    // entry. An empty path does nothing. Returns whether the list changed.
    bool add(const QString &path);

    // Reads the file (missing or unreadable: empty list); of more than 10
    // lines only the first 10 are used, in file order.
    void load(const QString &fileName);
    // Writes the entries, top to bottom, replacing the file.
    bool save(const QString &fileName) const;

    [[nodiscard]] const QStringList &entries() const { return m_entries; }
    [[nodiscard]] bool isEmpty() const { return m_entries.isEmpty(); }

private:
    QStringList m_entries;
    Qt::CaseSensitivity m_fileSystem;
};

} // namespace varnholt
