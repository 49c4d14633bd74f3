#include "filedialogs.h"

#include <QFileDialog>

namespace varnholt {

namespace {

FileDialogHook &hook()
{
    static FileDialogHook h;
    return h;
}

} // namespace

FileDialogHook setFileDialogHook(FileDialogHook h)
{
    return std::exchange(hook(), std::move(h));
}

std::optional<QString> ShowFileDialog(QWidget *parent, FileDialogKind kind, const QString &title,
                                      const QString &preset, const QString &filter)
{
    if (hook())
        return hook()(kind, title, preset);
    // A preset of "folder/*.eml" starts in the folder with an empty name.
    QString start = preset;
    if (start.endsWith(u"*.eml"))
        start.chop(5);
    const QString chosen = kind == FileDialogKind::Open
        ? QFileDialog::getOpenFileName(parent, title, start, filter)
        : QFileDialog::getSaveFileName(parent, title, start, filter);
    if (chosen.isEmpty())
        return std::nullopt;
    return chosen;
}

} // namespace varnholt
