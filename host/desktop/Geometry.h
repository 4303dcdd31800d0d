#pragma once
// Pixel rectangles of the desktop: outputs, window geometry and damage, in whole pixels.

#include <algorithm>
#include <vector>

namespace host::desktop {

struct PixelRect {
    int x = 0, y = 0, width = 0, height = 0;
    // [any-thread]
    bool empty() const { return width <= 0 || height <= 0; }
    int right() const { return x + width; }
    int bottom() const { return y + height; }
    bool contains(int px, int py) const {
        return px >= x && py >= y && px < right() && py < bottom();
    }
    bool operator==(const PixelRect&) const = default;
};

// [any-thread] The overlap of two rectangles (empty when they do not meet).
inline PixelRect intersect(const PixelRect& a, const PixelRect& b) {
    int x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    int x1 = std::min(a.right(), b.right()), y1 = std::min(a.bottom(), b.bottom());
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, y0, x1 - x0, y1 - y0};
}

// [any-thread] The smallest rectangle holding both (an empty one adds nothing).
inline PixelRect bounds(const PixelRect& a, const PixelRect& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    int x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
    int x1 = std::max(a.right(), b.right()), y1 = std::max(a.bottom(), b.bottom());
    return {x0, y0, x1 - x0, y1 - y0};
}

// [any-thread] Whether the rectangles together cover all of target.
bool covers(const std::vector<PixelRect>& rects, const PixelRect& target);

// [any-thread] The pixels of a that lie outside b, as up to four rectangles.
std::vector<PixelRect> subtract(const PixelRect& a, const PixelRect& b);

}  // namespace host::desktop
