#pragma once
// Rasterising through cairo (internal to CoreGraphics): device-space paths to coverage, and
// bitmaps drawn through an affine transform to premultiplied ARGB32 or to coverage.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "CoreGraphics/CGGeometry.h"
#include "CoreGraphics/CGImage.h"

namespace bd {

// A rectangle of whole device pixels, [x0, x1) × [y0, y1).
struct IRect {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool empty() const { return x1 <= x0 || y1 <= y0; }
    int width() const { return x1 - x0; }
    int height() const { return y1 - y0; }
    bool operator==(const IRect& o) const {
        return x0 == o.x0 && y0 == o.y0 && x1 == o.x1 && y1 == o.y1;
    }
};
// [any-thread]
IRect intersect(IRect a, IRect b);
// [any-thread] The whole pixels that touch r (floor / ceil), limited to ±2^30; empty for a
// non-finite or empty r.
IRect pixelBounds(CGRect r);

// One element of a path in device space.
struct PathSegment {
    enum Op : uint8_t { Move, Line, Curve, Close } op;
    CGPoint p[3];  // Move/Line: p[0]; Curve: controls p[0], p[1], end p[2]
};

// Pixels over a device rectangle: one byte (coverage) or four (premultiplied ARGB32) each.
struct Raster {
    std::shared_ptr<uint8_t> data;  // null: nothing could be drawn (the caller treats as 0)
    size_t stride = 0;
    IRect rect;
    const uint8_t* row(int y) const { return data.get() + size_t(y - rect.y0) * stride; }
};

// [any-thread] The device bounds of a path (controls included); empty when it has no point or
// a point is not finite.
IRect pathBounds(const std::vector<PathSegment>& path);
// [any-thread] Coverage of the path over rect (nonzero or even-odd winding).
Raster rasterisePath(const std::vector<PathSegment>& path, IRect rect, bool evenOdd,
                     bool antialias);

enum class Sampling { Nearest, Smooth };
// [any-thread] The bitmap drawn through m (its pixel space, y down, to device space) over
// rect, as premultiplied ARGB32, or as coverage (imageRowCoverage's rule) when asCoverage.
// Smooth sampling filters well when the bitmap shrinks and interpolates bilinearly when it
// grows; both extend the edge pixels outward, so only the geometric edge is antialiased.
Raster renderImage(CGImageRef image, CGAffineTransform m, IRect rect, bool asCoverage,
                   Sampling sampling, bool antialias);

}  // namespace bd
