#include "UIKit/UIScreen.h"

#include <cmath>

UIScreen* UIScreen::mainScreen() {
    static UIScreen* screen = alloc<UIScreen>();
    return screen;
}

void UIScreen::setBounds(CGRect bounds) {
    BD_ASSERT_MAIN_THREAD();
    bounds = CGRectStandardize(bounds);
    if (CGRectIsEmpty(bounds) || !std::isfinite(bounds.size.width) ||
        !std::isfinite(bounds.size.height))
        return;
    _bounds = bounds;
}

void UIScreen::setScale(double scale) {
    BD_ASSERT_MAIN_THREAD();
    if (!(scale > 0) || !std::isfinite(scale)) return;
    _scale = scale;
}
