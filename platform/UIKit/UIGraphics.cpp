#include "UIKit/UIGraphics.h"

#include <cmath>
#include <vector>

#include "CoreGraphics/CGImage.h"
#include "UIKit/UIImage.h"
#include "UIKit/UIScreen.h"

namespace {

struct Entry {
    Ref<CGContext> context;
    double scale = 1;
    bool image = false;  // begun as an image context
};

std::vector<Entry>& stack() {
    thread_local std::vector<Entry> entries;
    return entries;
}

size_t pixels(double points, double scale) {
    double v = std::ceil(points * scale - 1e-9);
    if (!(v >= 1) || v > double(bd::kMaxImageSide)) return 0;
    return size_t(v);
}

}  // namespace

void UIGraphicsBeginImageContext(CGSize size) {
    UIGraphicsBeginImageContextWithOptions(size, false, 1.0);
}

void UIGraphicsBeginImageContextWithOptions(CGSize size, bool /*opaque*/, double scale) {
    if (scale == 0) scale = bd::isMainThread() ? UIScreen::mainScreen()->scale() : 1.0;
    if (!(scale > 0) || !std::isfinite(scale)) scale = 1.0;
    Entry e;
    e.scale = scale;
    e.image = true;
    size_t w = pixels(size.width, scale), h = pixels(size.height, scale);
    if (w && h)
        e.context = adopt(bd::createImageContext(w, h, CGAffineTransformMakeScale(scale, scale)));
    stack().push_back(std::move(e));
}

CGContextRef UIGraphicsGetCurrentContext() {
    auto& s = stack();
    return s.empty() ? nullptr : s.back().context.get();
}

UIImage* UIGraphicsGetImageFromCurrentImageContext() {
    auto& s = stack();
    if (s.empty() || !s.back().image || !s.back().context) return nullptr;
    Ref<CGImage> bitmap = adopt(CGBitmapContextCreateImage(s.back().context.get()));
    return UIImage::imageWithCGImage(bitmap.get(), s.back().scale, UIImageOrientationUp);
}

void UIGraphicsEndImageContext() {
    auto& s = stack();
    if (!s.empty()) s.pop_back();
}

void UIGraphicsPushContext(CGContextRef context) {
    Entry e;
    e.context = retained(context);
    stack().push_back(std::move(e));
}

void UIGraphicsPopContext() {
    UIGraphicsEndImageContext();
}
