#include "app/layout_style.h"

#include <QFontDatabase>
#include <QString>

namespace tallon::app {
namespace {

// The package depends on fonts-wine: its "MS Sans Serif" has the original
// face's widths at 8 points (its only size), and its "Tahoma", that face's
// scalable successor, serves the 10-point label. They lie outside the
// system's font path, so the window adds them for itself; without them Qt
// falls back to a wider face and captions overrun their boxes.
constexpr const char* kFontDirectory = "/usr/share/wine/fonts/";

QFont LayoutFont(const char* family, int pixelHeight) {
    static const bool added = [] {
        for (const char* file : {"ms_sans_serif.ttf", "tahoma.ttf"}) {
            QFontDatabase::addApplicationFont(QString::fromLatin1(kFontDirectory) +
                                              QString::fromLatin1(file));
        }
        return true;
    }();
    (void)added;
    QFont font(QString::fromLatin1(family));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelHeight);
    return font;
}

}  // namespace

QFont WindowFont() {
    return LayoutFont("MS Sans Serif", 11);
}

QFont LargeLabelFont() {
    return LayoutFont("Tahoma", 13);
}

int CheckBoxStyle::pixelMetric(PixelMetric metric, const QStyleOption* option,
                               const QWidget* widget) const {
    switch (metric) {
        case PM_IndicatorWidth:
        case PM_IndicatorHeight:
            return 13;
        case PM_CheckBoxLabelSpacing:
            return 4;
        default:
            return QProxyStyle::pixelMetric(metric, option, widget);
    }
}

}  // namespace tallon::app
