#pragma once

#include <QString>

#include <functional>
#include <optional>

class QWidget;

// The common open and save dialogs, with a hook so tests can choose a file
// (or cancel) without a modal dialog.
namespace varnholt {

enum class FileDialogKind { Open, Save };

// The chosen file, or nothing when the dialog was cancelled. `preset` is the
// start folder or file name, `filter` in Qt's form ("Eml (*.eml);;All (*)").
std::optional<QString> ShowFileDialog(QWidget *parent, FileDialogKind kind, const QString &title,
                                      const QString &preset, const QString &filter);

using FileDialogHook =
    std::function<std::optional<QString>(FileDialogKind kind, const QString &title, const QString &preset)>;
FileDialogHook setFileDialogHook(FileDialogHook hook);

} // namespace varnholt
