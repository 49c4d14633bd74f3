#pragma once

#include <QString>

// The program folder: where the settings file, the recent-projects list,
// language files, logs and the other program-wide files live.
//
// An installed program's own folder is read-only, so on Linux this is a
// per-user data folder (~/.local/share/varnholt), unless a file named
// "portable" stands beside the executable; --home DIR overrides both.
namespace varnholt::ProgramFolder {

// Chooses and creates the folder. `home` is the --home argument (empty when
// not given). Call once after the QCoreApplication exists.
void initialise(const QString &home = {});

// The folder, ending with "/".
[[nodiscard]] QString path();
[[nodiscard]] QString filePath(const QString &name);

// A file shipped with the program (language files, the default charset.txt):
// the program folder's copy when there is one, else the installed data
// folder's, else the source tree's data folder. Empty when none exists.
[[nodiscard]] QString findDataFile(const QString &name);

} // namespace varnholt::ProgramFolder
