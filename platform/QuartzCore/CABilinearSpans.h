#pragma once
// Affine bilinear compositing of premultiplied ARGB32 pixels, the inner loop of the
// perspective warp. pixman draws affine mappings that scale only along the axes through fast
// paths, but any other (a tile of a turned layer is sheared) through a general path several
// times slower; this loop does what the warp needs of it directly, with SSE2 where there is
// some: sampling with 7-bit weights (as pixman does), transparent outside the source, then
// over the target (or replacing it) at an opacity.
// The source position of every pixel is computed from the mapping's fixed-point origin and
// steps in whole integer arithmetic, so a pixel gets the same value whichever part of a span
// is drawn. Pure functions; any thread.

#include <cstdint>

#include "QuartzCore/CAProjectiveWarp.h"

namespace bd {

// A mapping of target pixels to source pixels in 16.16 fixed point, anchored at target pixel
// (x0, y0): the source point sampled for the centre of target pixel (x, y), less half a pixel
// (so that whole values are source pixel centres), is
//   (u + (x - x0) dux + (y - y0) duy,  v + (x - x0) dvx + (y - y0) dvy).
struct FixedAffine {  // a plain value, [any-thread]
    int x0 = 0, y0 = 0;
    int64_t u = 0, v = 0;
    int64_t dux = 0, dvx = 0, duy = 0, dvy = 0;

    // [any-thread] From a mapping of target pixel coordinates to source pixel coordinates
    // (row vectors, affine), anchored at (x0, y0). False when the numbers leave the range the
    // fixed point holds.
    static bool from(const H3& targetToSource, int x0, int y0, FixedAffine* out);
};

// [any-thread] Composites src through the mapping into dst over the rectangle r of target
// pixels (which must lie inside dst): over what dst holds, or replacing it, at alpha
// (0...255).
void compositeAffineBilinear(const WarpBitmap& src, const WarpBitmap& dst, const PixelRect& r,
                             const FixedAffine& m, uint32_t alpha, bool over);

// [any-thread] dst[i] = src[i] over dst[i] for n premultiplied ARGB32 pixels.
void compositeOverSpan(const uint32_t* src, uint32_t* dst, int n);

}  // namespace bd
