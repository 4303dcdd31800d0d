#pragma once
// CARenderer: draws a layer tree into a bitmap of the screen in pixels (points × scale) at a
// media time. It draws what the layers present at that time (presentation transform, sublayer
// transform and opacity, the contents a contents source answers): background colours, contents
// placed by their gravity, clipping to bounds, hidden layers left out, opacity as group
// opacity. Affine transforms are drawn through cairo; a layer whose transform carries a
// perspective term is drawn into a bitmap of its own and warped onto the screen through pixman,
// with the part that lies behind the viewer cut away.
//
// Colour pictures (cairo's ARGB32 layout) are drawn from their own bytes; pictures in other
// layouts are converted once and kept while they are in use. Pictures drawn at less than half
// their size are drawn from halved copies made once per picture, so that every frame scales
// bilinearly and never with cairo's slow GOOD filter.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "CoreGraphics/CGImage.h"
#include "QuartzCore/CALayer.h"

class CARenderer {
  public:
    // [main-thread] A bitmap of width × height pixels (at least 1 × 1, at most kMaxImageSide on
    // a side) for a screen of `scale` pixels per point, filled with opaque black.
    CARenderer(int width, int height, double scale);
    ~CARenderer();
    CARenderer(const CARenderer&) = delete;
    CARenderer& operator=(const CARenderer&) = delete;

    // [main-thread]
    int width() const;
    int height() const;
    double scale() const;
    // [main-thread] Premultiplied native-endian ARGB32 rows of stride() bytes.
    const uint8_t* pixels() const;
    size_t stride() const;

    // [main-thread] Draws from now on into width() x height() pixels of the caller's memory,
    // rows of `stride` bytes (at least width() x 4, a multiple of 4), left as they are until
    // drawn over; the memory must stay valid while it is the target. Null: back to the
    // renderer's own bitmap. pixels() and stride() follow the target.
    void setTarget(uint8_t* pixels, size_t stride);

    // [main-thread] Fills the whole bitmap with one straight-alpha colour.
    void clear(CALayerColor color);
    // [main-thread] Draws root and its sublayers over the bitmap as they present at mediaTime.
    // The root's frame is taken in screen points (its position and transform place it).
    void render(CALayer* root, double mediaTime);
    // [main-thread] A copy of the bitmap as a colour picture; the caller owns it.
    CGImageRef createImage() const;

    // [main-thread] How many converted or halved pictures are kept now (for tests).
    size_t cachedPictureCount() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> _impl;
};
