#include "UIKit/UIColor.h"

#include <cmath>
#include <functional>

#include "UIKit/UIGraphics.h"

namespace {
double clamp01(double v) {
    if (!(v > 0)) return 0;  // also NaN
    return v > 1 ? 1 : v;
}
}  // namespace

UIColor* UIColor::colorWithRed(double red, double green, double blue, double alpha) {
    UIColor* c = alloc<UIColor>()->initWithRed(red, green, blue, alpha);
    if (c) c->autorelease();
    return c;
}
UIColor* UIColor::colorWithWhite(double white, double alpha) {
    return colorWithRed(white, white, white, alpha);
}
UIColor* UIColor::clearColor() {
    return colorWithRed(0, 0, 0, 0);
}
UIColor* UIColor::whiteColor() {
    return colorWithWhite(1, 1);
}
UIColor* UIColor::grayColor() {
    return colorWithWhite(0.5, 1);
}
UIColor* UIColor::blackColor() {
    return colorWithWhite(0, 1);
}
UIColor* UIColor::redColor() {
    return colorWithRed(1, 0, 0, 1);
}

UIColor* UIColor::initWithRed(double red, double green, double blue, double alpha) {
    _rgba = {clamp01(red), clamp01(green), clamp01(blue), clamp01(alpha)};
    return this;
}

bool UIColor::getRed(double* red, double* green, double* blue, double* alpha) {
    if (red) *red = _rgba.red;
    if (green) *green = _rgba.green;
    if (blue) *blue = _rgba.blue;
    if (alpha) *alpha = _rgba.alpha;
    return true;
}

UIColor* UIColor::colorWithAlphaComponent(double alpha) {
    return colorWithRed(_rgba.red, _rgba.green, _rgba.blue, alpha);
}

bool UIColor::isEqual(NSObject* other) {
    UIColor* o = as<UIColor>(other);
    return o && o->_rgba == _rgba;
}

size_t UIColor::hash() {
    std::hash<double> h;
    return h(_rgba.red) ^ (h(_rgba.green) << 1) ^ (h(_rgba.blue) << 2) ^ (h(_rgba.alpha) << 3);
}

void UIColor::set() {
    setFill();
    setStroke();
}

void UIColor::setFill() {
    CGContextSetRGBFillColor(UIGraphicsGetCurrentContext(), _rgba.red, _rgba.green, _rgba.blue,
                             _rgba.alpha);
}

void UIColor::setStroke() {
    CGContextSetRGBStrokeColor(UIGraphicsGetCurrentContext(), _rgba.red, _rgba.green, _rgba.blue,
                               _rgba.alpha);
}
