#pragma once

#include <QProxyStyle>

namespace tallon::app {

// Draws every character of a password box as "$" instead of the platform's
// bullet.
class PasswordStyle : public QProxyStyle {
    Q_OBJECT

  public:
    using QProxyStyle::QProxyStyle;

    int styleHint(StyleHint hint, const QStyleOption* option = nullptr,
                  const QWidget* widget = nullptr,
                  QStyleHintReturn* returnData = nullptr) const override;
};

}  // namespace tallon::app
