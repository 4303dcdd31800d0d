// Rectangle arithmetic for coverage tests and background bands.

#include "Geometry.h"

namespace host::desktop {

std::vector<PixelRect> subtract(const PixelRect& a, const PixelRect& b) {
    PixelRect o = intersect(a, b);
    if (o.empty()) return a.empty() ? std::vector<PixelRect>{} : std::vector<PixelRect>{a};
    std::vector<PixelRect> out;
    if (o.y > a.y) out.push_back({a.x, a.y, a.width, o.y - a.y});  // above
    if (o.bottom() < a.bottom()) out.push_back({a.x, o.bottom(), a.width, a.bottom() - o.bottom()});
    if (o.x > a.x) out.push_back({a.x, o.y, o.x - a.x, o.height});  // left
    if (o.right() < a.right()) out.push_back({o.right(), o.y, a.right() - o.right(), o.height});
    return out;
}

bool covers(const std::vector<PixelRect>& rects, const PixelRect& target) {
    // Cut the target by every rectangle in turn; it is covered when nothing is left. The number
    // of pieces stays small for the handful of windows a desktop has.
    std::vector<PixelRect> left{target};
    for (const PixelRect& r : rects) {
        if (r.empty()) continue;
        std::vector<PixelRect> next;
        for (const PixelRect& piece : left)
            for (const PixelRect& rest : subtract(piece, r)) next.push_back(rest);
        left.swap(next);
        if (left.empty()) return true;
        if (left.size() > 4096) return false;  // a pathological pile of slivers: call it visible
    }
    return left.empty();
}

}  // namespace host::desktop
