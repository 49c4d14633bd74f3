#pragma once

// Messages judged by a parser nobody here wrote: tests/common/message_judge.py
// reads them with Python's email package (see the script for the manifest).

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace varnholt::testing {

// The Python the judge runs with.
[[nodiscard]] QString pythonProgram();

struct JudgeVerdict {
    bool passed = false; // the judge ran to its end and found no problem
    QByteArray report;   // its words: one line per problem, then the count
};

// Writes `manifest` to `manifestPath` and has the judge check the messages
// it names.
[[nodiscard]] JudgeVerdict judgeMessages(const QJsonObject &manifest, const QString &manifestPath);

struct MessageDescriptions {
    QJsonArray messages; // one object per file, in order
    QString error;       // set when the judge could not read them
};

// What a receiver reads in each file: "headers" (names, lower case),
// "subject", "from" and "to" ([[display name, address], ...]),
// "message_id", "type", "plain" and "html" (the bodies, or null), "parts"
// (every leaf: "type", "charset", "filename", "disposition", "cid",
// "encoding", "size", "sha256"), "defects" (of the structure: the parser's
// defect class names) and "header_defects" ("Field: DefectName"). `utf8`:
// the files are UTF-8 text (RFC 6532).
[[nodiscard]] MessageDescriptions describeMessages(const QStringList &files, bool utf8 = false);

} // namespace varnholt::testing
