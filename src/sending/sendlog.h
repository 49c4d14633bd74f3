#pragma once

#include <QDateTime>
#include <QFile>
#include <QString>

// The send log: one line per finished recipient, "hh:mm:ss;" followed by the
// record text, in a file per run named after the run's first line,
// "send_dd-mm-yy_hh-nn-ss.log" in the program folder's "logs". Every line is
// written through to the file at once, so a run that is killed loses no
// line it wrote.
namespace varnholt {

class SendLog
{
public:
    // `folder` empty: "logs" in the program folder.
    explicit SendLog(const QString &folder = {});

    [[nodiscard]] static QString defaultFolder();
    // "send_" + dd-mm-yy_hh-nn-ss + ".log".
    [[nodiscard]] static QString fileNameFor(const QDateTime &when);
    // "hh:mm:ss;" + record + CR LF, in the system charset. Line breaks
    // inside the record (a server's multi-line reply) become blanks so that
    // a record stays one line.
    [[nodiscard]] static QByteArray formatLine(const QTime &time, const QString &record);

    // The record texts of the sending run.
    [[nodiscard]] static QString acceptedRecord(const QString &address, const QString &okWord);
    [[nodiscard]] static QString failedRecord(const QString &address, const QString &stateWord,
                                              const QString &text);

    // "Create log file": when off, WriteLine does nothing.
    void setEnabled(bool on) { m_enabled = on; }
    [[nodiscard]] bool isEnabled() const { return m_enabled; }

    // The next line starts a new file (at the start of every run).
    void startNewRun();

    // Appends one line. The first line of a run creates the folder and the
    // file; when that fails no line of the run is written. Returns false
    // when the line was not written; `error` then says why.
    bool WriteLine(const QString &record, const QDateTime &now = QDateTime::currentDateTime(),
                   QString *error = nullptr);

    // The file of the current (or last) run; the project stores it as
    // "LogFile". Empty before the first line.
    [[nodiscard]] QString path() const { return m_path; }
    [[nodiscard]] bool isOpen() const { return m_opened; }

private:
    bool open(const QDateTime &now, QString *error);

    QString m_folder;
    QString m_path;
    QFile m_file;
    bool m_enabled = true;
    bool m_opened = false;    // a file was opened for this run
    bool m_openFailed = false; // ... or could not be: no log this run
};

} // namespace varnholt
