#include "app/password_style.h"

namespace tallon::app {

int PasswordStyle::styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                             QStyleHintReturn* returnData) const {
    if (hint == SH_LineEdit_PasswordCharacter) {
        return '$';
    }
    return QProxyStyle::styleHint(hint, option, widget, returnData);
}

}  // namespace tallon::app
