#pragma once

#include "project/listtable.h"
#include "settings/settings.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// A project: one mailing kept as a set of files with one base name N in one
// folder:
//
//   N.eml   settings (INI; section "Common", "Attachment", and "MailTask"
//           which belongs to the schedule and is kept untouched here)
//   N.txt   mailing list (ListTable)
//   N.mml   plain text body, lines ending CR LF
//   N.htm   HTML body, written by the HTML editor
//   N.hcr, N1.hcr .. N3.hcr   custom colours of the HTML editor (colorfile.h)
//   N/      local copies of the HTML body's pictures
//
// The folder and the name live in the project copy of the settings record
// (`PathPro`, ending with "/", and `ProjectName`). This class does the file
// work of opening, creating and saving; the project window shows the result
// and asks the questions.
namespace varnholt {

// One entry of the project attachment list.
struct ProjectAttachment {
    QString displayName; // file name part of the path
    QString mimeType;    // "type/subtype"; empty for entries made from a path
    QString description; // shown in parentheses after the name when present
    QString fullPath;
    quint8 flag = 0;

    [[nodiscard]] static ProjectAttachment fromPath(const QString &path);
    friend bool operator==(const ProjectAttachment &, const ProjectAttachment &) = default;
};

// The file name part of a path; both "/" and "\" separate folders, since
// project files written on other systems hold such paths.
[[nodiscard]] QString fileNamePart(const QString &path);

// The largest "RetryCount" and "RetryMinutes" (a day) a project keeps.
inline constexpr int kMaxRetryCount = 99;
inline constexpr int kMaxRetryMinutes = 24 * 60;

class Project
{
public:
    // The extensions of the files a new project's name must not collide with
    // and that are removed when such a name is taken or given up.
    static const QStringList &projectFileExtensions();

    // The project starts as a copy of the program-wide settings record.
    explicit Project(const TIniInfo &programWide);

    // A new project "noname%d" (smallest free number by ".eml"). The folder is
    // the program-wide default project folder, created when missing; when it
    // does not exist (or is empty) the folder part of `startPath` (a start
    // folder followed by "*.eml") is used. Leftover files of the chosen name
    // are deleted. Returns the path to hand back to the caller: the project
    // folder when the default folder was used, else `startPath`.
    QString createNew(const QString &startPath);

    // Opens the project whose settings file is `settingsFile`: loads the
    // settings, the mailing list and the plain text.
    void open(const QString &settingsFile, const ListTable::LoadProgress &progress = {});

    // Reads N.eml into the record and the attachment list (missing keys keep
    // their defaults; a missing file gives all defaults).
    void loadSettings();
    // Loads N.txt into the table with the project's delimiter and clamps the
    // stored e-mail and attachment columns to the loaded columns.
    ListTable::LoadResult loadList(const ListTable::LoadProgress &progress = {});
    // The outcome of the last list load (nothing read for a new project).
    [[nodiscard]] const ListTable::LoadResult &listLoad() const { return m_listLoad; }
    // Why N.txt was not read whole (see ListTable::LoadResult::warning);
    // empty when it was, or when the table is new or was saved since.
    [[nodiscard]] QString listWarning() const { return m_listLoad.warning; }
    [[nodiscard]] bool listReadWhole() const { return m_listLoad.readWhole(); }
    // Saving a list that was not read whole over N.txt loses the rest of
    // the file, so it needs this confirmation; a new load takes it back.
    void setListOverwriteConfirmed(bool confirmed) { m_listOverwriteConfirmed = confirmed; }
    [[nodiscard]] bool listOverwriteConfirmed() const { return m_listOverwriteConfirmed; }
    // Writes N.txt from the table. Refused, with the file left as it is,
    // when the list was not read whole and the overwrite is not confirmed.
    bool saveList(QString *error = nullptr);
    // Reads N.mml; a missing file gives an empty text.
    void loadPlainText();

    // Project folder (ending with "/") + name + extension (".eml", ...).
    [[nodiscard]] QString filePath(QStringView extension) const;
    [[nodiscard]] QString settingsFile() const { return filePath(u".eml"); }
    [[nodiscard]] QString listFile() const { return filePath(u".txt"); }
    [[nodiscard]] QString plainTextFile() const { return filePath(u".mml"); }
    [[nodiscard]] QString htmlFile() const { return filePath(u".htm"); }
    [[nodiscard]] QString folder() const { return m_settings.PathPro; }
    [[nodiscard]] QString name() const { return m_settings.ProjectName; }

    [[nodiscard]] TIniInfo &settings() { return m_settings; }
    [[nodiscard]] const TIniInfo &settings() const { return m_settings; }
    [[nodiscard]] ListTable &table() { return m_table; }
    [[nodiscard]] const ListTable &table() const { return m_table; }
    [[nodiscard]] QList<ProjectAttachment> &attachments() { return m_attachments; }
    [[nodiscard]] const QList<ProjectAttachment> &attachments() const { return m_attachments; }
    [[nodiscard]] QString plainText() const { return m_plainText; }
    void setPlainText(const QString &text) { m_plainText = text; }

    // The list delimiter: the first character of "SectionSymbol".
    [[nodiscard]] QChar delimiter() const { return delimiterOf(m_settings.SectionSymbol); }
    // The program writes one-character delimiters only; for a longer
    // hand-written "SectionSymbol" this says so (empty otherwise).
    [[nodiscard]] QString delimiterError() const;
    // A delimiter chosen in the window. When it differs from the current one
    // it is stored, the project counts as modified and, when N.txt exists,
    // the list is loaded again from it with the new delimiter (unsaved list
    // changes are lost). Returns whether the list was loaded again.
    bool changeDelimiter(QChar chosen, const ListTable::LoadProgress &progress = {});

    // New until saved under a name the user confirmed.
    [[nodiscard]] bool isNew() const { return m_new; }
    // The window's modified mark or the record's Modified flag.
    [[nodiscard]] bool isModified() const { return m_modifiedMark || m_settings.Modified; }
    void setModified(bool modified) { m_modifiedMark = modified; }

    // Saving. The window first asks needsSaveDialog(); when true it shows a
    // save dialog preset with suggestedSaveFileName() and passes the chosen
    // file, or nothing when the dialog was cancelled. Before saving, the
    // window puts the subject and the chosen columns into settings().
    [[nodiscard]] bool needsSaveDialog(bool saveAs) const;
    [[nodiscard]] QString suggestedSaveFileName() const { return settingsFile(); }

    struct SaveResult {
        // Saved under a name that was confirmed (or needed no confirmation)
        // and every file written. The window writes N.htm when `confirmed`.
        bool saved = false;
        bool confirmed = false;
        QString settingsError; // N.eml could not be written: the reason
        // "Address Book Save Error : <file>" when N.txt failed; why, when a
        // list that was not read whole was not confirmed (nothing written).
        QString listError;
        QString plainTextError;
    };
    SaveResult save(bool saveAs, const std::optional<QString> &chosenFile = std::nullopt);

    // The pieces of save(), usable on their own.
    bool writeSettings(QString *error = nullptr);
    bool writePlainText(QString *error = nullptr) const;

private:
    void removeFilesOf(const QString &folder, const QString &name) const;
    [[nodiscard]] QString listOverwriteRefusal() const;

    TIniInfo m_settings;
    ListTable m_table;
    QList<ProjectAttachment> m_attachments;
    QString m_plainText;
    ListTable::LoadResult m_listLoad;
    bool m_listOverwriteConfirmed = false;
    bool m_new = false;
    bool m_modifiedMark = false;
};

} // namespace varnholt
