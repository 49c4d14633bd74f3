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

// Opens PROJECT.eml: the program folder's settings, the project's settings,
// list and texts, and the account of the project's "NIniInfo" (the first
// one when that is out of range). With `cleanAddresses` the e-mail column
// is cleaned in memory as "Send Mailing List" does before a run, so that
// "Name <user@host>" goes out as user@host; the list file is not touched.
// Nothing when the file is missing; `error` then says so.
[[nodiscard]] std::unique_ptr<OpenedProject> openProject(const QString &file, bool cleanAddresses,
                                                         QString *error);

// A cell of the e-mail column is an address when it contains "@".
[[nodiscard]] bool isSendableAddress(const QString &cell);

} // namespace varnholt::cli
