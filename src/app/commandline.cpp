#include "commandline.h"

#include <QFileInfo>

namespace varnholt {

CommandLine parseCommandLine(const QStringList &arguments)
{
    CommandLine result;
    QStringList rest;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        if (a == u"--home" && i + 1 < arguments.size()) {
            result.home = arguments[++i];
        } else if (a.startsWith(u"--home=")) {
            result.home = a.mid(7);
        } else {
            rest.append(a);
        }
    }
    // Exactly one form: "-s" or "-v" (case matters), an existing project
    // file and a third argument that must be present.
    if (rest.size() >= 3 && (rest[0] == u"-s" || rest[0] == u"-v") && QFileInfo(rest[1]).isFile()) {
        result.mode = rest[0] == u"-s" ? CommandLine::Mode::Verify : CommandLine::Mode::VerifyAndExit;
        result.projectFile = rest[1];
    }
    return result;
}

} // namespace varnholt
