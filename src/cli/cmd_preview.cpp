// `send --dry-run` and `preview`: the merged messages exactly as they would
// go to the server, written to files or printed, without an account.
#include "cli.h"
#include "openproject.h"

#include "sending/activecontent.h"
#include "sending/messagefile.h"
#include "sending/messageprep.h"
#include "sending/recipientaddress.h"
#include "sending/sendingtexts.h"
#include "settings/textfile.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

#include <cerrno>
#include <cstdio>

namespace varnholt::cli {

namespace {

// "000001.eml" for record row 0.
QString dryRunFileName(int row)
{
    return QStringLiteral("%1.eml").arg(row + 1, 6, 10, QLatin1Char(u'0'));
}

// Writes the message through "NAME.part" beside `path` and renames that
// over `path` once it is whole, so a file of the message's name is always
// complete. Unlike QSaveFile it does not wait for the disk: a dry run
// writes a file per row, a flush per file made a dry run of 10,000 rows
// take seconds, and of a 200 MB attachment twice as long as producing it;
// these files are previews, made again at will.
bool writeMessageFileAt(const QString &path, const MimeInputs &inputs, QString *error)
{
    const QString partPath = path + QStringLiteral(".part");
    QFile part(partPath);
    if (!part.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = part.errorString();
        return false;
    }
    // Piece by piece, as a session sends it: attachments never sit in
    // memory whole.
    const bool written = WriteMessageFile(inputs, [&part](QByteArrayView piece) {
        return part.write(piece.data(), piece.size()) == piece.size();
    });
    part.close(); // flushes; a failed flush or close leaves its error
    if (!written || part.error() != QFileDevice::NoError) {
        *error = part.errorString();
        part.remove();
        return false;
    }
    if (std::rename(QFile::encodeName(partPath).constData(), QFile::encodeName(path).constData()) != 0) {
        *error = SystemErrorText(errno);
        part.remove();
        return false;
    }
    return true;
}

// What the messages do not carry as written in the project, told once:
// pictures that stay references, active content taken out of the HTML.
void tellWhatChanged(const MessagePreparer &preparer, const QMap<QString, int> &removed)
{
    if (!preparer.pictureWarnings().isEmpty())
        fail(NoticeText({RunNotice::Kind::PicturesNotInline, {}, preparer.pictureWarnings().join(u'\n')}).text,
             ExitOk);
    if (!removed.isEmpty())
        fail(NoticeText({RunNotice::Kind::ActiveContentRemoved, {}, RemovedContentText(removed)}).text, ExitOk);
}

} // namespace

int runDryRun(const Invocation &inv, const QString &projectFile, const QString &folder)
{
    if (folder.isEmpty())
        return fail(QStringLiteral("--dry-run needs a folder for the message files"), ExitUsage);
    QString error;
    const auto opened = openProject(projectFile, true, &error);
    if (!opened)
        return fail(error, ExitUsage);
    if (!QDir().mkpath(folder))
        return fail(QStringLiteral("cannot create the folder \"%1\"").arg(folder), ExitUsage);

    const Project &project = *opened->project;
    const ListTable &table = project.table();
    const int emailColumn = project.settings().Column;
    MessagePreparer preparer(project, opened->account);
    const QDir dir(folder);
    QTextStream err(stderr);
    int written = 0;
    int skipped = 0;
    for (int row = 0; row < table.rowCount(); ++row) {
        const QString address = table.cell(row, emailColumn);
        if (!IsSendableAddress(address)) {
            err << "row " << row + 1 << ": no e-mail address (\"" << address << "\"), skipped\n";
            ++skipped;
            continue;
        }
        const PreparedMessage message = preparer.prepare(row);
        if (!message.error.isEmpty()) {
            err << "row " << row + 1 << ": " << message.error << ", skipped\n";
            ++skipped;
            continue;
        }
        const QString path = dir.filePath(dryRunFileName(row));
        if (!writeMessageFileAt(path, message.withRecipient(), &error))
            return fail(QStringLiteral("cannot write \"%1\": %2").arg(path, error));
        ++written;
    }
    err.flush();
    QMap<QString, int> removed = preparer.removedFromTemplate();
    AddRemovedContent(removed, preparer.removedFromValues());
    tellWhatChanged(preparer, removed);
    QJsonObject doc;
    doc.insert(QStringLiteral("folder"), dir.absolutePath());
    doc.insert(QStringLiteral("written"), written);
    doc.insert(QStringLiteral("skipped"), skipped);
    print(inv, doc,
          QStringLiteral("Wrote %1 messages to %2 (%3 rows without an address skipped)\n")
              .arg(written)
              .arg(dir.absolutePath())
              .arg(skipped));
    return ExitOk;
}

int runPreview(const Invocation &inv)
{
    bool rowOk = false;
    const int rowNumber = inv.option(QStringLiteral("--row")).toInt(&rowOk);
    if (inv.words.size() != 2 || !rowOk)
        return fail(QStringLiteral("usage: preview PROJECT.eml --row N"), ExitUsage);
    QString error;
    const auto opened = openProject(inv.words[1], true, &error);
    if (!opened)
        return fail(error, ExitUsage);
    const Project &project = *opened->project;
    const int rows = project.table().rowCount();
    if (rowNumber < 1 || rowNumber > rows)
        return fail(QStringLiteral("--row must lie between 1 and %1, the list's record count").arg(rows), ExitUsage);

    const int row = rowNumber - 1;
    const QString address = project.table().cell(row, project.settings().Column);
    if (!IsSendableAddress(address))
        fail(QStringLiteral("row %1 has no e-mail address (\"%2\"); a run skips it").arg(rowNumber).arg(address));
    MessagePreparer preparer(project, opened->account);
    const PreparedMessage message = preparer.prepare(row);
    if (!message.error.isEmpty())
        return fail(QStringLiteral("row %1: %2").arg(rowNumber).arg(message.error));
    QMap<QString, int> removed = preparer.removedFromTemplate();
    AddRemovedContent(removed, preparer.removedFromValues());
    tellWhatChanged(preparer, removed);
    const bool printed = WriteMessageFile(message.withRecipient(), [](QByteArrayView piece) {
        return std::fwrite(piece.data(), 1, size_t(piece.size()), stdout) == size_t(piece.size());
    });
    if (std::fflush(stdout) != 0 || !printed)
        return fail(QStringLiteral("cannot write the message to standard output"));
    return ExitOk;
}

} // namespace varnholt::cli
