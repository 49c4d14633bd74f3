#pragma once

#include "project/project.h"
#include "settings/settings.h"

#include <QString>

#include <memory>

// A project opened by a command of the command line, with the settings
// file of the program folder and the account the project sends through.
namespace varnholt::cli {

struct OpenedProject {
    ProgramSettings program;
    std::unique_ptr<Project> project;
    tAccountObj account;
};

// Whether a command needs the project's list file N.txt to exist.
enum class ListFile { Required, Optional };

// Opens PROJECT.eml: the program folder's settings, the project's settings,
// list and texts, and the account of the project's "NIniInfo" (the first
// one when that is out of range). With `cleanAddresses` the e-mail column
// is cleaned in memory as "Send Mailing List" does before a run, so that
// "Name <user@host>" goes out as user@host; the list file is not touched.
// Nothing, with `error` saying why, when the file is missing or is not a
// project settings file (an INI file with a [Common] section), when its
// delimiter is more than one character, or when a required list file is
// missing or unreadable. A list that was not read whole opens, with that
// warning printed on standard error.
[[nodiscard]] std::unique_ptr<OpenedProject> openProject(const QString &file, bool cleanAddresses,
                                                         QString *error, ListFile list = ListFile::Required);

// Prints on standard error that the list `file` was not read whole.
void warnListNotReadWhole(const QString &warning, const QString &file);

// Refuses (exit 2, with the reason on standard error) to delete rows from a
// list that was not read whole: saving it would lose the rest of its file.
int refuseListNotReadWhole(const Project &project);

} // namespace varnholt::cli
