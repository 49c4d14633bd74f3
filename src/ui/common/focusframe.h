#pragma once

#include <QPalette>
#include <QProxyStyle>

// A focus frame a user can see: the desktop style's own frame around the
// current page tab or table cell is a thin line of about the background's
// colour (1.1:1 and 1.7:1 contrast measured), so the keyboard's place is
// lost. This style draws every focus frame as a solid two-pixel line in a
// colour of at least 3:1 contrast with what it stands on (the non-text
// contrast that accessibility guidelines ask for).
namespace varnholt {

// The contrast ratio of two colours by their relative luminance, 1 to 21.
[[nodiscard]] double contrastRatio(const QColor &a, const QColor &b);

// The frame colour on `background`: the palette's highlight when it stands
// out enough, else the text colour of that background, else black or white.
[[nodiscard]] QColor focusFrameColor(const QPalette &palette, const QColor &background);

class FocusFrameStyle : public QProxyStyle
{
public:
    // Over the application's present style.
    FocusFrameStyle();

    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget = nullptr) const override;
};

} // namespace varnholt
