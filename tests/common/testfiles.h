#pragma once

// Files for the tests: written whole, read whole, and the files of a
// project.

#include <QByteArray>
#include <QString>

namespace varnholt::testing {

// Writes `bytes` to `path`, making its folder first. A failure fails the
// running test; the result says whether it worked, for a test that must
// stop there.
bool writeFile(const QString &path, const QByteArray &bytes);

// Writes `bytes` to the file `name` in `folder`, as writeFile does; returns
// the file's path.
QString writeFileIn(const QString &folder, const QString &name, const QByteArray &bytes);

// The whole file; empty when it cannot be read (a test may wait for a file
// that is still to come).
[[nodiscard]] QByteArray readFile(const QString &path);

// What a project is on disk: its settings (.eml), its list (.txt), its plain
// text (.mml) and its HTML (.htm). A null part is not written.
struct ProjectFiles {
    QByteArray settings;
    QByteArray list;
    QByteArray text;
    QByteArray html;
};

// Writes the project `name` in `folder`; returns the path of its .eml file.
QString writeProject(const QString &folder, const ProjectFiles &files, const QString &name = QStringLiteral("p"));

} // namespace varnholt::testing
