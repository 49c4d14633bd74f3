#include "colorchoice.h"

#include "project/colorfile.h"

#include <QColorDialog>
#include <QFileInfo>

namespace varnholt {

namespace {

ColorDialogHook &hook()
{
    static ColorDialogHook h;
    return h;
}

} // namespace

ColorDialogHook setColorDialogHook(ColorDialogHook h)
{
    return std::exchange(hook(), std::move(h));
}

std::optional<QRgb> ChooseColor(QWidget *parent, const QString &colorFile)
{
    if (hook())
        return hook()(colorFile);
    if (QFileInfo(colorFile).isFile()) {
        if (const auto colors = readColorFile(colorFile))
            for (int i = 0; i < 16; ++i)
                QColorDialog::setCustomColor(i, QColor(QRgb((*colors)[size_t(i)])));
    }
    const QColor chosen = QColorDialog::getColor(Qt::black, parent);
    if (!chosen.isValid())
        return std::nullopt;
    CustomColors colors;
    for (int i = 0; i < 16; ++i)
        colors[size_t(i)] = QColorDialog::customColor(i).rgb() & 0xFFFFFF;
    writeColorFile(colorFile, colors); // the colours are a convenience
    return chosen.rgb();
}

} // namespace varnholt
