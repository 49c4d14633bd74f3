#include "messagejudge.h"

#include "testfiles.h"

#include <QJsonDocument>
#include <QProcess>

namespace varnholt::testing {

namespace {

const QString kJudge = QStringLiteral(VARNHOLT_TESTSUPPORT_DIR "/message_judge.py");

struct Run {
    bool ended = false; // ended by itself with exit code 0
    QByteArray out;
    QByteArray err;
};

Run runJudge(const QStringList &args)
{
    QProcess python;
    python.start(pythonProgram(), QStringList{kJudge} + args);
    Run run;
    if (!python.waitForFinished(300000)) {
        python.kill();
        python.waitForFinished();
        run.err = "the judge did not end: " + python.errorString().toUtf8();
        return run;
    }
    run.ended = python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0;
    run.out = python.readAllStandardOutput();
    run.err = python.readAllStandardError();
    return run;
}

} // namespace

QString pythonProgram()
{
    // Not the first python3 on PATH: the judge needs the system's own.
    return QStringLiteral("/usr/bin/python3");
}

JudgeVerdict judgeMessages(const QJsonObject &manifest, const QString &manifestPath)
{
    writeFile(manifestPath, QJsonDocument(manifest).toJson(QJsonDocument::Compact));
    const Run run = runJudge({QStringLiteral("check"), manifestPath});
    return {run.ended, run.out + run.err};
}

MessageDescriptions describeMessages(const QStringList &files, bool utf8)
{
    QStringList args{QStringLiteral("describe")};
    if (utf8)
        args << QStringLiteral("--utf8");
    const Run run = runJudge(args + files);
    if (!run.ended)
        return {{}, QString::fromUtf8(run.err)};
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(run.out, &parseError);
    if (!doc.isArray())
        return {{}, QStringLiteral("the judge's answer is no JSON array: ") + parseError.errorString()};
    return {doc.array(), {}};
}

} // namespace varnholt::testing
