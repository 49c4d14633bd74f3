#include "project.h"

#include "settings/fields.h"
#include "settings/inifile.h"
#include "settings/textfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace varnholt {

namespace {

constexpr char16_t kCommon[] = u"Common";
constexpr char16_t kAttachment[] = u"Attachment";
// Texts of the settings record hold at most this many characters.
constexpr qsizetype kMaxText = 255;

QString ensureTrailingSlash(QString folder)
{
    if (!folder.isEmpty() && !folder.endsWith(u'/'))
        folder += u'/';
    return folder;
}

// "SectionSymbol" names the tab and the space; every other delimiter is
// stored as itself.
QString sectionSymbolFromFile(const QString &value)
{
    if (value == u"Tab")
        return QStringLiteral("\t");
    if (value == u"Space")
        return QStringLiteral(" ");
    return value.left(kMaxText);
}

QString sectionSymbolToFile(const QString &symbol)
{
    if (symbol == u"\t")
        return QStringLiteral("Tab");
    if (symbol == u" ")
        return QStringLiteral("Space");
    return symbol;
}

} // namespace

QString fileNamePart(const QString &path)
{
    const qsizetype cut = std::max(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\'));
    return path.mid(cut + 1);
}

ProjectAttachment ProjectAttachment::fromPath(const QString &path)
{
    ProjectAttachment a;
    a.fullPath = path.left(kMaxText);
    a.displayName = fileNamePart(a.fullPath).left(kMaxText);
    return a;
}

const QStringList &Project::projectFileExtensions()
{
    static const QStringList extensions{QStringLiteral(".eml"), QStringLiteral(".mml"), QStringLiteral(".htm"),
                                        QStringLiteral(".hcr"), QStringLiteral(".txt")};
    return extensions;
}

Project::Project(const TIniInfo &programWide)
    : m_settings(programWide)
{
}

QString Project::filePath(QStringView extension) const
{
    return m_settings.PathPro + m_settings.ProjectName + extension.toString();
}

void Project::removeFilesOf(const QString &folder, const QString &name) const
{
    for (const QString &ext : projectFileExtensions())
        QFile::remove(folder + name + ext);
}

QString Project::createNew(const QString &startPath)
{
    QString result = startPath;
    const QString defaultFolder = m_settings.PathPro;
    if (!defaultFolder.isEmpty() && !QFileInfo::exists(defaultFolder))
        QDir().mkpath(defaultFolder); // a failure leaves the caller's folder in use
    QString folder;
    if (!defaultFolder.isEmpty() && QFileInfo(defaultFolder).isDir()) {
        folder = ensureTrailingSlash(defaultFolder);
        result = folder;
    } else {
        folder = ensureTrailingSlash(QFileInfo(startPath).absolutePath());
    }

    int number = 0;
    while (QFileInfo::exists(folder + QStringLiteral("noname%1.eml").arg(number)))
        ++number;
    const QString name = QStringLiteral("noname%1").arg(number);
    removeFilesOf(folder, name);

    m_settings.PathPro = folder;
    m_settings.ProjectName = name;
    m_attachments.clear();
    m_plainText.clear();
    m_table.clear();
    m_listLoad = {};
    m_listOverwriteConfirmed = false;
    m_new = true;
    m_modifiedMark = true;
    return result;
}

void Project::open(const QString &settingsFile, const ListTable::LoadProgress &progress)
{
    const QFileInfo info(settingsFile);
    m_settings.PathPro = ensureTrailingSlash(info.absolutePath());
    m_settings.ProjectName = info.fileName().chopped(std::min<qsizetype>(4, info.fileName().size()));
    m_new = false;
    loadSettings();
    loadList(progress);
    loadPlainText();
    m_modifiedMark = false;
}

void Project::loadSettings()
{
    m_attachments.clear();
    IniFile ini;
    ini.load(settingsFile()); // an unreadable file gives the defaults
    TIniInfo &s = m_settings;

    s.Subject = ini.value(kCommon, u"Subject").left(kMaxText);
    s.SectionSymbol = sectionSymbolFromFile(ini.value(kCommon, u"SectionSymbol", QStringLiteral(";")));
    s.Column = ini.intValue(kCommon, u"Column", 0);
    s.ColumnA = ini.intValue(kCommon, u"ColumnA", 0);
    s.CharSet = ini.value(kCommon, u"CharSet", s.CharSet).left(kMaxText);
    s.NConnect = ini.intValue(kCommon, u"NIniInfo", s.NConnect);
    s.AutoCommit = ini.boolValue(kCommon, u"AutoCommit", s.AutoCommit);
    s.AutoCommitT = ini.intValue(kCommon, u"AutoCommitT", s.AutoCommitT);
    s.Html = ini.boolValue(kCommon, u"HTML", s.Html);
    s.BaseUrl = ini.value(kCommon, u"BaseUrl", s.BaseUrl).left(kMaxText);
    s.CreateLog = ini.boolValue(kCommon, u"Create Log", s.CreateLog);
    s.ExternalSmtp = ini.boolValue(kCommon, u"External Smtp", s.ExternalSmtp);
    s.Codes = ini.value(kCommon, u"Codes", s.Codes).left(kMaxText);
    s.LogFile = ini.value(kCommon, u"LogFile", s.LogFile);
    s.RetryCount = std::clamp(ini.intValue(kCommon, u"RetryCount", 0), 0, kMaxRetryCount);
    s.RetryMinutes = std::clamp(ini.intValue(kCommon, u"RetryMinutes", 0), 0, kMaxRetryMinutes);
    const QString addressBook = ini.value(kCommon, u"AddressBook");
    if (s.BaseUrl.isEmpty())
        s.BaseUrl = s.PathPro;

    // Projects of older versions named their list file under "AddressBook".
    if (!addressBook.isEmpty() && !QFileInfo::exists(listFile())) {
        const QString oldList = s.PathPro + fileNamePart(addressBook);
        if (QFileInfo(oldList).isFile())
            QFile::copy(oldList, listFile());
    }

    // Only keys that exist can give entries, so the walk up to "Count" ends
    // at the highest numbered key: a damaged huge Count costs nothing.
    const int count = ini.intValue(kAttachment, u"Count", 0);
    int highestKey = -1;
    for (const QString &key : ini.keys(kAttachment)) {
        bool isNumber = false;
        const int n = key.toInt(&isNumber);
        if (isNumber && key == QString::number(n))
            highestKey = std::max(highestKey, n);
    }
    const int last = std::min(count - 1, highestKey);
    for (int i = 0; i <= last; ++i) {
        const QString path = trimBlanks(ini.value(kAttachment, QString::number(i))).toString();
        if (!path.isEmpty())
            m_attachments.append(ProjectAttachment::fromPath(path));
    }

    s.Modified = false;
}

ListTable::LoadResult Project::loadList(const ListTable::LoadProgress &progress)
{
    m_listLoad = m_table.load(listFile(), delimiter(), progress);
    m_listOverwriteConfirmed = false;
    m_settings.Column = clampEmailColumn(m_settings.Column, m_table.columnCount());
    m_settings.ColumnA = clampAttachmentColumn(m_settings.ColumnA, m_table.columnCount());
    return m_listLoad;
}

bool Project::saveList(QString *error)
{
    if (!listReadWhole() && !m_listOverwriteConfirmed) {
        if (error)
            *error = listOverwriteRefusal();
        return false;
    }
    if (!m_table.save(listFile(), delimiter(), error))
        return false;
    // The file now holds exactly the table.
    m_listLoad.warning.clear();
    m_listLoad.complete = true;
    m_listOverwriteConfirmed = false;
    return true;
}

QString Project::listOverwriteRefusal() const
{
    return QStringLiteral("the list file \"%1\" was not read whole (%2); saving would replace it with the records "
                          "read and lose the rest, so it needs a confirmation")
        .arg(listFile(), listWarning());
}

QString Project::delimiterError() const
{
    const QString &symbol = m_settings.SectionSymbol;
    if (symbol.size() <= 1)
        return {};
    return QStringLiteral("the project's field delimiter \"%1\" must be one character; the list is split at its "
                          "first character, \"%2\"")
        .arg(symbol, delimiterName(delimiter()));
}

void Project::loadPlainText()
{
    m_plainText = readTextLines(plainTextFile()).join(u'\n');
}

bool Project::changeDelimiter(QChar chosen, const ListTable::LoadProgress &progress)
{
    if (chosen == delimiter() && m_settings.SectionSymbol.size() == 1)
        return false;
    m_settings.SectionSymbol = QString(chosen);
    m_modifiedMark = true;
    if (!QFileInfo::exists(listFile()))
        return false;
    loadList(progress);
    return true;
}

bool Project::needsSaveDialog(bool saveAs) const
{
    return m_new || m_settings.ProjectName.isEmpty() || saveAs;
}

bool Project::writeSettings(QString *error)
{
    IniFile ini;
    ini.load(settingsFile()); // keeps "MailTask" and anything else in the file
    const TIniInfo &s = m_settings;
    ini.setValue(kCommon, u"Subject", s.Subject);
    ini.setValue(kCommon, u"SectionSymbol", sectionSymbolToFile(s.SectionSymbol));
    ini.setInt(kCommon, u"Column", s.Column);
    ini.setInt(kCommon, u"ColumnA", s.ColumnA);
    ini.setValue(kCommon, u"CharSet", s.CharSet);
    ini.setInt(kCommon, u"NIniInfo", s.NConnect);
    ini.setBool(kCommon, u"AutoCommit", s.AutoCommit);
    ini.setInt(kCommon, u"AutoCommitT", s.AutoCommitT);
    ini.setBool(kCommon, u"HTML", s.Html);
    ini.setValue(kCommon, u"BaseUrl", s.BaseUrl);
    ini.setBool(kCommon, u"Create Log", s.CreateLog);
    ini.setBool(kCommon, u"External Smtp", s.ExternalSmtp);
    ini.setValue(kCommon, u"LogFile", s.LogFile);
    // Absent is 0: projects that never retry keep their file as it was.
    for (const auto &[key, value] : {std::pair{u"RetryCount", s.RetryCount}, {u"RetryMinutes", s.RetryMinutes}}) {
        if (value > 0)
            ini.setInt(kCommon, key, value);
        else
            ini.removeKey(kCommon, key);
    }

    ini.removeSection(kAttachment);
    int written = 0;
    for (const ProjectAttachment &a : std::as_const(m_attachments)) {
        if (a.fullPath.isEmpty())
            break;
        ini.setValue(kAttachment, QString::number(written++), a.fullPath);
    }
    if (written > 0)
        ini.setInt(kAttachment, u"Count", written);

    m_settings.Modified = false;
    return ini.save(settingsFile(), error);
}

bool Project::writePlainText(QString *error) const
{
    // The editor's lines, each ending with CR LF; a final line end of the
    // text does not make another line.
    QString text = m_plainText;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QStringList lines = text.split(u'\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    return writeFileAtomically(plainTextFile(), joinLinesCrLf(lines), error);
}

Project::SaveResult Project::save(bool saveAs, const std::optional<QString> &chosenFile)
{
    SaveResult result;
    // Nothing is written unless the whole project can be: a list that was
    // not read whole waits for its confirmation.
    if (!listReadWhole() && !m_listOverwriteConfirmed) {
        result.listError = listOverwriteRefusal();
        return result;
    }
    const bool dialog = needsSaveDialog(saveAs);
    result.confirmed = !dialog || chosenFile.has_value();

    QString oldFolder;
    QString oldName;
    bool forgetOld = false;
    if (dialog && chosenFile) {
        QString chosen = *chosenFile;
        if (!chosen.contains(u".eml"))
            chosen += u".eml";
        const QFileInfo info(chosen);
        if (info.absoluteFilePath().compare(QFileInfo(settingsFile()).absoluteFilePath(), Qt::CaseInsensitive) == 0) {
            saveAs = false;
        } else {
            if (m_new) {
                oldFolder = m_settings.PathPro;
                oldName = m_settings.ProjectName;
            }
            m_settings.PathPro = ensureTrailingSlash(info.absolutePath());
            m_settings.ProjectName = info.fileName().chopped(std::min<qsizetype>(4, info.fileName().size()));
        }
        forgetOld = m_new && saveAs && !oldName.isEmpty();
    }

    const bool settingsWritten = writeSettings(&result.settingsError);
    const bool listWritten = saveList();
    if (!listWritten)
        result.listError = QStringLiteral("Address Book Save Error") + QStringLiteral(" : ") + listFile();
    const bool plainTextWritten = writePlainText(&result.plainTextError);

    // A save that failed to write a file does not count: the window keeps
    // the project (and its modified mark) so nothing unsaved is dropped, and
    // the files of the old name stay as the only copy.
    const bool allWritten = settingsWritten && listWritten && plainTextWritten;
    if (result.confirmed && allWritten) {
        if (forgetOld)
            removeFilesOf(oldFolder, oldName);
        m_new = false;
        m_modifiedMark = false;
        result.saved = true;
    }
    return result;
}

} // namespace varnholt
