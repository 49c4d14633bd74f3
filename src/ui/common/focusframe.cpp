#include "focusframe.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QPainter>
#include <QStyleOption>

#include <cmath>

namespace varnholt {

namespace {

constexpr double kLeastContrast = 3.0;

double channel(double c)
{
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(const QColor &color)
{
    const QColor rgb = color.toRgb();
    return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) + 0.0722 * channel(rgb.blueF());
}

} // namespace

double contrastRatio(const QColor &a, const QColor &b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor focusFrameColor(const QPalette &palette, const QColor &background)
{
    const QColor highlightedText = palette.color(QPalette::HighlightedText);
    for (const QColor &candidate : {palette.color(QPalette::Highlight), palette.color(QPalette::Text),
                                    palette.color(QPalette::WindowText), highlightedText}) {
        if (contrastRatio(candidate, background) >= kLeastContrast)
            return candidate;
    }
    return contrastRatio(Qt::black, background) >= contrastRatio(Qt::white, background) ? QColor(Qt::black)
                                                                                         : QColor(Qt::white);
}

FocusFrameStyle::FocusFrameStyle()
    : QProxyStyle(QApplication::style()->name())
{
}

void FocusFrameStyle::drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                                    const QWidget *widget) const
{
    if (element != PE_FrameFocusRect || !option) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    // What the frame stands on: a selected cell's highlight, a view's base,
    // or the window behind a tab or a button.
    QColor background;
    if (option->state & State_Selected)
        background = option->palette.color(QPalette::Highlight);
    else if (qobject_cast<const QAbstractItemView *>(widget))
        background = option->palette.color(QPalette::Base);
    else
        background = option->palette.color(QPalette::Window);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, false);
    QPen pen(focusFrameColor(option->palette, background), 2);
    pen.setJoinStyle(Qt::MiterJoin);
    painter->setPen(pen);
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(QRectF(option->rect).adjusted(1, 1, -1, -1));
    painter->restore();
}

} // namespace varnholt
