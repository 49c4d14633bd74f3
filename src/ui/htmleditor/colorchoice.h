#pragma once

#include <QRgb>
#include <QString>

#include <functional>
#include <optional>

class QWidget;

// The colour dialog with the sixteen custom colours of a colour file
// (N.hcr, N1.hcr .. N3.hcr): they are loaded when the file exists and saved
// back when the user chose a colour. Nothing when the dialog was cancelled.
namespace varnholt {

std::optional<QRgb> ChooseColor(QWidget *parent, const QString &colorFile);

// Tests choose a colour (or cancel) without a modal dialog.
using ColorDialogHook = std::function<std::optional<QRgb>(const QString &colorFile)>;
ColorDialogHook setColorDialogHook(ColorDialogHook hook);

} // namespace varnholt
