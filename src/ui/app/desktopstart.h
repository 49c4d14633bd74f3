#pragma once

class QString;

// What the desktop program and its screenshot tool do alike when they
// start: the process set up for the HTML editor's browser, the
// application's names, the program folder and the settings read.
namespace varnholt {

// Before the QApplication exists.
void prepareDesktopProcess();

// After the QApplication exists: names the application, opens the program
// folder (`home`, or the default when empty) and loads the program-wide
// settings and accounts from it.
void startDesktopApplication(const QString &home);

} // namespace varnholt
