// `extract CONDITIONS.cnd [--output FILE] [--delimiter C]` runs a saved
// conditions file; `extract --find emails|urls|domains FOLDER [--mask MASK]
// [--unique] [--output FILE]` prints every value a finder sees in the files
// of a folder tree, one a line. Both on the extraction engine, stopped by
// Ctrl+C with what was found kept.
#include "cli.h"
#include "stopsignals.h"

#include "extract/conditions.h"
#include "extract/extractrun.h"
#include "settings/syscharset.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSaveFile>

#include <cstdio>
#include <unistd.h>

namespace varnholt::cli {

using extract::ExtractConditions;
using extract::ExtractCounts;
using extract::ExtractRow;
using extract::ExtractRun;
using extract::Finder;

namespace {

const QString usage = QStringLiteral(
    "usage: extract CONDITIONS.cnd [--output FILE] [--delimiter C] | "
    "extract --find emails|urls|domains FOLDER [--mask MASK] [--unique] [--output FILE]");

QString sizeText(qint64 bytes)
{
    if (bytes >= qint64(1) << 30)
        return QString::number(double(bytes) / double(qint64(1) << 30), 'f', 2) + QStringLiteral(" GB");
    if (bytes >= qint64(1) << 20)
        return QString::number(double(bytes) / double(1 << 20), 'f', 1) + QStringLiteral(" MB");
    return QString::number(bytes) + QStringLiteral(" bytes");
}

void drawProgress(const ExtractCounts &c)
{
    std::fprintf(stderr, "\r%lld files, %s, %lld values   ", static_cast<long long>(c.files),
                 qPrintable(sizeText(c.bytes)), static_cast<long long>(c.values));
    std::fflush(stderr);
}

} // namespace

int runExtract(const Invocation &inv)
{
    if (inv.words.size() != 2)
        return fail(usage, ExitUsage);
    const QString target = inv.words[1];
    const bool finding = inv.has(QStringLiteral("--find"));
    if (!finding && (inv.has(QStringLiteral("--mask")) || inv.has(QStringLiteral("--unique"))))
        return fail(QStringLiteral("--mask and --unique go with --find (%1)").arg(usage), ExitUsage);

    ExtractRun run;
    QString mode;
    if (finding) {
        const QString what = inv.option(QStringLiteral("--find"));
        Finder finder = Finder::Email;
        if (what == u"emails")
            finder = Finder::Email;
        else if (what == u"urls")
            finder = Finder::Url;
        else if (what == u"domains")
            finder = Finder::Domain;
        else
            return fail(QStringLiteral("--find takes emails, urls or domains"), ExitUsage);
        if (!QFileInfo(target).isDir())
            return fail(QStringLiteral("\"%1\" is not a folder").arg(target), ExitUsage);
        mode = what;
        run.startScan(target, inv.option(QStringLiteral("--mask"), QStringLiteral("*.*")), finder,
                      inv.has(QStringLiteral("--unique")));
    } else {
        bool ok = false;
        const ExtractConditions conditions = extract::readConditions(target, &ok);
        if (!ok)
            return fail(QStringLiteral("cannot read the conditions file \"%1\"").arg(target), ExitUsage);
        if (run.start(conditions) == ExtractRun::Start::NoFields)
            return fail(QStringLiteral("the conditions file \"%1\" has no named field definition").arg(target),
                        ExitUsage);
        mode = run.mode() == ExtractRun::Mode::Fields      ? QStringLiteral("fields")
               : run.mode() == ExtractRun::Mode::HtmlTable ? QStringLiteral("html table")
                                                           : QStringLiteral("delimited data");
    }
    QChar delimiter = u';';
    if (inv.has(QStringLiteral("--delimiter"))) {
        const auto d = parseDelimiter(inv.option(QStringLiteral("--delimiter")));
        if (!d)
            return fail(QStringLiteral("--delimiter takes one character, Tab or Space"), ExitUsage);
        delimiter = *d;
    }

    // Lines go to the output file (CR LF, as the program's text files) or
    // to standard output; with --json and no file they go into the document.
    const QString outputPath = inv.option(QStringLiteral("--output"));
    QSaveFile outputFile(outputPath);
    QFile standardOutput;
    QIODevice *out = nullptr;
    QByteArray lineEnd = "\n";
    if (!outputPath.isEmpty()) {
        if (!outputFile.open(QIODevice::WriteOnly)) {
            run.stop();
            return fail(QStringLiteral("cannot write \"%1\": %2").arg(outputPath, outputFile.errorString()),
                        ExitUsage);
        }
        out = &outputFile;
        lineEnd = "\r\n";
    } else if (!inv.json) {
        if (!standardOutput.open(stdout, QIODevice::WriteOnly))
            return fail(QStringLiteral("cannot write to standard output"));
        out = &standardOutput;
    }

    QJsonArray jsonRows;
    bool writeFailed = false;
    // Lines are gathered and written a block at a time: a finder scan can
    // deliver millions of short ones.
    constexpr qsizetype kWriteBlock = qsizetype(64) << 10;
    QByteArray pending;
    auto writePending = [&] {
        if (pending.isEmpty() || writeFailed)
            return;
        if (out->write(pending) != pending.size()) {
            writeFailed = true;
            fail(QStringLiteral("cannot write: %1").arg(out->errorString()));
            run.stop();
        }
        pending.resize(0);
    };
    QObject::connect(&run, &ExtractRun::rowFound, &run, [&](const ExtractRow &row) {
        if (!out) {
            if (finding)
                jsonRows.append(row.values.value(0));
            else
                jsonRows.append(QJsonObject{{QStringLiteral("file"), row.file},
                                            {QStringLiteral("values"), QJsonArray::fromStringList(row.values)}});
            return;
        }
        if (finding) {
            pending += SystemCharset::fromUnicode(row.values.value(0));
        } else {
            QString line = row.file;
            for (const QString &v : row.values)
                line += delimiter + v;
            pending += SystemCharset::fromUnicode(line);
        }
        pending += lineEnd;
        if (pending.size() >= kWriteBlock)
            writePending();
    });
    const bool tty = !inv.json && ::isatty(STDERR_FILENO) == 1;
    QElapsedTimer sinceDrawn;
    sinceDrawn.start();
    if (tty) {
        QObject::connect(&run, &ExtractRun::progress, &run, [&sinceDrawn](const ExtractCounts &c) {
            if (sinceDrawn.elapsed() >= 100) {
                drawProgress(c);
                sinceDrawn.restart();
            }
        });
    }
    bool interrupted = false;
    StopSignals stopSignals;
    stopSignals.onSignal([&] {
        interrupted = true;
        run.stop();
    });
    QObject::connect(&run, &ExtractRun::finished, QCoreApplication::instance(), &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QElapsedTimer clock;
    clock.start();
    QCoreApplication::exec();
    if (tty) {
        drawProgress(run.counts());
        std::fputc('\n', stderr);
    }
    if (out)
        writePending();
    if (out == &standardOutput)
        standardOutput.flush();
    if (out == &outputFile && !writeFailed && !outputFile.commit()) {
        writeFailed = true;
        fail(QStringLiteral("cannot write \"%1\": %2").arg(outputPath, outputFile.errorString()));
    }

    const ExtractCounts &c = run.counts();
    const bool stopped = run.wasStopped();
    if (inv.json) {
        QJsonObject doc;
        doc.insert(QStringLiteral("mode"), mode);
        doc.insert(QStringLiteral("columns"), QJsonArray::fromStringList(run.columnTitles()));
        if (!out)
            doc.insert(finding ? QStringLiteral("values") : QStringLiteral("rows"), jsonRows);
        else
            doc.insert(QStringLiteral("output"), outputPath);
        doc.insert(QStringLiteral("files"), c.files);
        doc.insert(QStringLiteral("folders"), c.folders);
        doc.insert(QStringLiteral("bytes"), c.bytes);
        doc.insert(QStringLiteral("skipped"), c.skipped);
        doc.insert(QStringLiteral("rowCount"), c.rows);
        doc.insert(QStringLiteral("valueCount"), c.values);
        doc.insert(QStringLiteral("stopped"), stopped);
        doc.insert(QStringLiteral("seconds"), clock.nsecsElapsed() / 1e9);
        print(inv, doc, {});
    } else {
        std::fprintf(stderr, "%s: %lld %s from %lld files (%s, %lld skipped)\n",
                     stopped ? "Stopped" : "Completed", static_cast<long long>(finding ? c.values : c.rows),
                     finding ? "values" : "rows", static_cast<long long>(c.files), qPrintable(sizeText(c.bytes)),
                     static_cast<long long>(c.skipped));
    }
    if (writeFailed || stopped || interrupted)
        return ExitFailed;
    return ExitOk;
}

} // namespace varnholt::cli
