#pragma once

#include <QString>

// What the desktop program and its screenshot tool do alike when they
// start: the process set up for the HTML editor's browser, the
// application's names, the program folder and the settings read.
namespace varnholt {

// Before the QApplication exists.
void prepareDesktopProcess();

// After the QApplication exists: names the application and gives it its
// icon, opens the program folder (`home`, or the default when empty),
// puts the shipped language files into it and loads the program-wide
// settings and accounts from it.
void startDesktopApplication(const QString &home);

// Copies the language files the program ships ("deutsch.lan") into
// `folder` where no file of that name (in any letter case) is: a first
// start gets them, and a user's own copy, perhaps edited, stays.
void installShippedLanguages(const QString &folder);

// Where new projects go: "Varnholt" in the user's documents folder (made
// when the first project is saved there), ending with "/".
[[nodiscard]] QString documentsProjectFolder();
// The stored default project folder, unless it is none or the program
// folder (the default of earlier versions: hidden, a place nobody looks
// for documents); then documentsProjectFolder().
[[nodiscard]] QString defaultProjectFolder(const QString &stored);

} // namespace varnholt
