#pragma once
// The perspective warp: a picture seen through a projective mapping, drawn into a bitmap with
// pixman, tile by tile. Over a small tile a perspective mapping is affine to well under a
// pixel, and pixman's affine bilinear path is many times faster than its projective one, so a
// tile where the affine mapping that matches at its centre strays less than kAffineError pixels
// at the corners is drawn affine with one composite; others are split, and at the smallest size
// drawn projective. Tiles lie on a grid anchored at the area's origin, so what a pixel gets never
// depends on the clip: drawing a region at a time gives the same bytes as drawing it all.
// A pure function of its inputs; any thread.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "CoreGraphics/CGGeometry.h"
#include "QuartzCore/CAHomography.h"
#include "QuartzCore/CAPixelRegion.h"

namespace bd {

// Premultiplied native-endian ARGB32 pixels (a plain value, [any-thread]).
struct WarpBitmap {
    uint8_t* pixels = nullptr;
    int width = 0, height = 0;
    size_t stride = 0;
};

// [any-thread] A plain value.
struct WarpOptions {
    double alpha = 1;  // the source is drawn at this opacity
    // Over what the target holds; false: replaces it, in a target the caller has made
    // transparent (pixels the source doesn't reach may be left alone).
    bool over = true;
    // Only these target pixels change (null: the whole area).
    const std::vector<PixelRect>* clip = nullptr;
    // A convex polygon in target pixels (null: none): only what lies inside it is drawn, with
    // antialiased edges. Used where the mapping's far side (points behind the viewer) must be
    // cut off.
    const std::vector<CGPoint>* polygon = nullptr;
};

constexpr double kAffineError = 0.15;  // pixels
constexpr int kWarpTile = 128, kWarpSmallestTile = 16;

// [any-thread] Draws src into dst within `area` (target pixels), each target pixel sampling src
// bilinearly where dstToSrc (target pixel coordinates -> source pixel coordinates, row vectors)
// takes it; outside src is transparent. Tiles whose corners or centre map behind the viewer
// (w <= 0) are split, then left out unless a polygon says what to keep.
void warpPerspective(const WarpBitmap& src, const WarpBitmap& dst, const H3& dstToSrc,
                     const PixelRect& area, const WarpOptions& options);

}  // namespace bd
