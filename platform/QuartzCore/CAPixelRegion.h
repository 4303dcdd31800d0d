#pragma once
// Whole-pixel rectangles and regions of a bitmap: what the renderer found changed, what it
// redraws, and what a host presents. A region is kept as a few rectangles that do not overlap;
// rectangles that overlap are merged into their bounding box, and a region of many rectangles
// merges the pair that wastes the least, so a region covers at least what was added to it.
// Plain values: every function here may run on any thread ([any-thread]) on its own copy.

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

#include "Foundation/Export.h"

namespace bd {

// [any-thread] throughout.
struct BD_EXPORT PixelRect {
    int x = 0, y = 0, width = 0, height = 0;

    bool isEmpty() const { return width <= 0 || height <= 0; }
    int right() const { return x + width; }
    int bottom() const { return y + height; }
    int64_t area() const { return isEmpty() ? 0 : int64_t(width) * height; }
    bool operator==(const PixelRect& o) const {
        return x == o.x && y == o.y && width == o.width && height == o.height;
    }
    PixelRect intersection(const PixelRect& o) const {
        int x0 = std::max(x, o.x), y0 = std::max(y, o.y);
        int x1 = std::min(right(), o.right()), y1 = std::min(bottom(), o.bottom());
        if (x1 <= x0 || y1 <= y0) return {};
        return {x0, y0, x1 - x0, y1 - y0};
    }
    bool intersects(const PixelRect& o) const { return !intersection(o).isEmpty(); }
    // The bounding box of both; an empty rectangle adds nothing.
    PixelRect united(const PixelRect& o) const {
        if (isEmpty()) return o;
        if (o.isEmpty()) return *this;
        int x0 = std::min(x, o.x), y0 = std::min(y, o.y);
        return {x0, y0, std::max(right(), o.right()) - x0, std::max(bottom(), o.bottom()) - y0};
    }
    bool contains(const PixelRect& o) const {
        return o.isEmpty() || (!isEmpty() && o.x >= x && o.y >= y && o.right() <= right() &&
                               o.bottom() <= bottom());
    }
};

// [any-thread] The smallest whole-pixel rectangle around x0..x1 × y0..y1 (doubles), grown by
// `margin` pixels on every side and limited to `within`. Empty for an empty or non-finite box.
inline PixelRect pixelsAround(double x0, double y0, double x1, double y1, int margin,
                              const PixelRect& within) {
    if (!(x1 > x0) || !(y1 > y0)) return {};
    auto clampInt = [](double v) {
        return v < -1e9 ? INT_MIN / 4 : v > 1e9 ? INT_MAX / 4 : static_cast<int>(v);
    };
    // NaN fails every comparison above and below: treat it as empty.
    if (!(x0 == x0) || !(y0 == y0) || !(x1 == x1) || !(y1 == y1)) return {};
    int ix0 = clampInt(__builtin_floor(x0)) - margin, iy0 = clampInt(__builtin_floor(y0)) - margin;
    int ix1 = clampInt(__builtin_ceil(x1)) + margin, iy1 = clampInt(__builtin_ceil(y1)) + margin;
    return PixelRect{ix0, iy0, ix1 - ix0, iy1 - iy0}.intersection(within);
}

// [any-thread] The whole pixels that lie entirely inside x0..x1 × y0..y1 (doubles).
inline PixelRect pixelsInside(double x0, double y0, double x1, double y1) {
    if (!(x1 > x0) || !(y1 > y0) || !(x0 > -1e9) || !(y0 > -1e9) || !(x1 < 1e9) || !(y1 < 1e9))
        return {};
    int ix0 = static_cast<int>(__builtin_ceil(x0)), iy0 = static_cast<int>(__builtin_ceil(y0));
    int ix1 = static_cast<int>(__builtin_floor(x1)), iy1 = static_cast<int>(__builtin_floor(y1));
    if (ix1 <= ix0 || iy1 <= iy0) return {};
    return {ix0, iy0, ix1 - ix0, iy1 - iy0};
}

// [any-thread] throughout (one region per thread).
class BD_EXPORT PixelRegion {
  public:
    static constexpr size_t kMaxRects = 16;

    PixelRegion() = default;
    explicit PixelRegion(const PixelRect& r) { add(r); }

    void add(const PixelRect& r) {
        if (r.isEmpty()) return;
        PixelRect grown = r;
        // Overlapping rectangles become their bounding box, which may overlap others in turn.
        for (bool merged = true; merged;) {
            merged = false;
            for (size_t i = 0; i < _rects.size(); ++i) {
                if (_rects[i].contains(grown) && grown == r) return;  // already covered
                if (_rects[i].intersects(grown)) {
                    grown = grown.united(_rects[i]);
                    _rects.erase(_rects.begin() + static_cast<std::ptrdiff_t>(i));
                    merged = true;
                    break;
                }
            }
        }
        _rects.push_back(grown);
        if (_rects.size() > kMaxRects) mergeCheapestPair();
    }
    void add(const PixelRegion& o) {
        for (const PixelRect& r : o._rects) add(r);
    }
    void clear() { _rects.clear(); }

    bool isEmpty() const { return _rects.empty(); }
    const std::vector<PixelRect>& rects() const { return _rects; }
    PixelRect bounds() const {
        PixelRect b;
        for (const PixelRect& r : _rects) b = b.united(r);
        return b;
    }
    int64_t area() const {
        int64_t a = 0;
        for (const PixelRect& r : _rects) a += r.area();
        return a;
    }
    bool intersects(const PixelRect& r) const {
        for (const PixelRect& q : _rects)
            if (q.intersects(r)) return true;
        return false;
    }
    // The part of the region inside r.
    PixelRegion intersection(const PixelRect& r) const {
        PixelRegion out;
        for (const PixelRect& q : _rects) {
            PixelRect i = q.intersection(r);
            if (!i.isEmpty()) out._rects.push_back(i);  // disjoint pieces stay disjoint
        }
        return out;
    }

  private:
    void mergeCheapestPair() {
        while (_rects.size() > kMaxRects) {
            size_t bi = 0, bj = 1;
            int64_t best = INT64_MAX;
            for (size_t i = 0; i < _rects.size(); ++i)
                for (size_t j = i + 1; j < _rects.size(); ++j) {
                    int64_t waste =
                        _rects[i].united(_rects[j]).area() - _rects[i].area() - _rects[j].area();
                    if (waste < best) best = waste, bi = i, bj = j;
                }
            PixelRect u = _rects[bi].united(_rects[bj]);
            _rects.erase(_rects.begin() + static_cast<std::ptrdiff_t>(bj));
            _rects.erase(_rects.begin() + static_cast<std::ptrdiff_t>(bi));
            add(u);
        }
    }

    std::vector<PixelRect> _rects;
};

}  // namespace bd
