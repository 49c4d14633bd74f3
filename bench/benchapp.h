#pragma once

// The start of a command-line benchmark program: the application on Qt's
// own event dispatcher, as varnholt-cli runs (see its main()), and its
// arguments checked against a usage line.

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

namespace varnholt::bench {

inline void useQtEventDispatcher()
{
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}

// The arguments after the program name when there are at least `required`
// of them; else prints "usage: " + `usage` and returns false.
inline bool takeArguments(QStringList &args, qsizetype required, const char *usage)
{
    args = QCoreApplication::arguments();
    if (args.size() <= required) {
        std::fprintf(stderr, "usage: %s\n", usage);
        return false;
    }
    return true;
}

} // namespace varnholt::bench
