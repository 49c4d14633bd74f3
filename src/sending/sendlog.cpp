#include "sending/sendlog.h"

#include "settings/programfolder.h"
#include "settings/syscharset.h"

#include <QDir>

namespace varnholt {

SendLog::SendLog(const QString &folder)
    : m_folder(folder.isEmpty() ? defaultFolder() : folder)
{
}

QString SendLog::defaultFolder()
{
    return ProgramFolder::filePath(QStringLiteral("logs"));
}

QString SendLog::fileNameFor(const QDateTime &when)
{
    return QStringLiteral("send_") + when.toString(QStringLiteral("dd-MM-yy_HH-mm-ss")) + QStringLiteral(".log");
}

QByteArray SendLog::formatLine(const QTime &time, const QString &record)
{
    QString line = time.toString(QStringLiteral("HH:mm:ss")) + u';' + record;
    for (QChar &c : line) {
        if (c == u'\r' || c == u'\n')
            c = u' ';
    }
    return SystemCharset::fromUnicode(line) + "\r\n";
}

QString SendLog::acceptedRecord(const QString &address, const QString &okWord)
{
    return address + u';' + okWord;
}

QString SendLog::failedRecord(const QString &address, const QString &stateWord, const QString &text)
{
    return address + u';' + stateWord + u';' + text;
}

void SendLog::startNewRun()
{
    m_file.close();
    m_opened = false;
    m_openFailed = false;
}

bool SendLog::open(const QDateTime &now, QString *error)
{
    m_opened = true;
    if (!QDir().mkpath(m_folder)) {
        m_openFailed = true;
        if (error)
            *error = QStringLiteral("Cannot create folder %1").arg(m_folder);
        return false;
    }
    m_path = QDir(m_folder).filePath(fileNameFor(now));
    m_file.setFileName(m_path);
    // Unbuffered: every line reaches the file with its own write.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        m_openFailed = true;
        if (error)
            *error = m_file.errorString();
        return false;
    }
    return true;
}

bool SendLog::WriteLine(const QString &record, const QDateTime &now, QString *error)
{
    if (!m_enabled)
        return false;
    if (!m_opened && !open(now, error))
        return false;
    if (m_openFailed)
        return false;
    const QByteArray line = formatLine(now.time(), record);
    if (m_file.write(line) != line.size()) {
        if (error)
            *error = m_file.errorString();
        return false;
    }
    return true;
}

} // namespace varnholt
