#pragma once

#include <QString>

#include <functional>

// Handing a file to the desktop: its default application, or a text
// editor. Both go through hooks so tests can see what would be opened
// without starting anything.
namespace varnholt {

enum class ShellOpenKind { DefaultApplication, TextEditor };

// Opens `path` with the application the desktop associates with it.
// False when no application took it.
bool OpenWithDefaultApplication(const QString &path);
// Opens `path` in a graphical text editor: $VISUAL when set, else the first
// known editor on PATH, else the desktop's default application.
bool OpenInTextEditor(const QString &path);

using ShellOpenHook = std::function<bool(ShellOpenKind kind, const QString &path)>;
// Returns the previous hook; an empty hook restores the real desktop.
ShellOpenHook setShellOpenHook(ShellOpenHook hook);

} // namespace varnholt
