#pragma once

#include <QString>
#include <QStringList>

// The desktop program's command line, read after Qt removed its own
// arguments (-platform, -style, ...).
//
//   varnholt [--home DIR] [-s|-v PROJECT.eml ANY]
//
// "-s" opens the project and starts the verification on it, "-v" does the
// same and ends the program when that window closes. The third argument is
// required but not read. Any other command line is ignored.
namespace varnholt {

struct CommandLine {
    enum class Mode { None, Verify, VerifyAndExit };

    QString home;            // --home DIR
    Mode mode = Mode::None;
    QString projectFile;     // the existing project settings file of -s / -v

    [[nodiscard]] bool recognised() const { return mode != Mode::None; }
};

// `arguments` as QCoreApplication::arguments() gives them (the program first).
[[nodiscard]] CommandLine parseCommandLine(const QStringList &arguments);

} // namespace varnholt
