#pragma once

#include <QFont>
#include <QProxyStyle>

namespace tallon::app {

// The faces the window was laid out in: every caption of its controls fits
// its box, at the layout's positions and sizes, in these and not in a wider
// substitute.
// The controls' face: "MS Sans Serif", 8 points (11 pixels at 96 pixels per
// inch).
QFont WindowFont();
// The counter's label: 10 points (13 pixels).
QFont LargeLabelFont();

// Check boxes as the layout measured them: a 13-pixel box, its caption 4
// pixels after it (wider styles would push the caption past the box).
class CheckBoxStyle : public QProxyStyle {
  public:
    using QProxyStyle::QProxyStyle;

    int pixelMetric(PixelMetric metric, const QStyleOption* option = nullptr,
                    const QWidget* widget = nullptr) const override;
};

}  // namespace tallon::app
