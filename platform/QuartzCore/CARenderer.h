#pragma once
// CARenderer: draws a layer tree into a bitmap of the screen in pixels (points × scale) at a
// media time. It draws what the layers present at that time (presentation transform, sublayer
// transform and opacity, the contents a contents source answers): background colours, contents
// placed by their gravity, clipping to bounds, hidden layers left out, opacity as group
// opacity. Affine transforms are drawn through cairo; a layer whose transform carries a
// perspective term is warped onto the target through pixman, with the part that lies behind
// the viewer cut away. What an opaque layer covers entirely is not drawn.
//
// Drawing only what changed: renderFrame() flattens the tree into a display list, compares it
// with the list of the frame before, redraws only the pixels that may differ (with everything
// above and below them composited as in a full redraw, so the bytes are those of a full
// redraw) and reports them, with the time the tree will next change on its own. needsFrame()
// answers cheaply whether a frame at some time would differ at all. A frame can go into the
// renderer's own bitmap or into a bitmap of the caller's that holds an older frame (buffer age:
// the damage of the frames it missed is drawn as well). docs/architecture.md has the details.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "CoreGraphics/CGImage.h"
#include "Foundation/Export.h"
#include "QuartzCore/CALayer.h"
#include "QuartzCore/CAPixelRegion.h"

// A bitmap of the renderer's size that a frame is drawn into: premultiplied native-endian
// ARGB32 rows of `stride` bytes, and how many frames ago this renderer last drew into it (0:
// never, or unknown: it is drawn whole).
struct BD_EXPORT CARenderTarget {
    uint8_t* pixels = nullptr;
    size_t stride = 0;
    int age = 0;
};

// What a frame drew.
struct BD_EXPORT CARenderFrame {
    uint64_t number = 0;                // frames rendered so far, this one included
    std::vector<bd::PixelRect> damage;  // pixels that differ from the frame before
    std::vector<bd::PixelRect> drawn;   // pixels redrawn in the target (damage and repairs)
    bool full = false;                  // the whole target was redrawn
    // The first media time after the frame's at which the tree may change on its own (a
    // flip-book's next picture, a running animation: the frame's own time), or the main run
    // loop has work due (a timer, a frame loop's next frame); INFINITY when nothing will.
    double nextChangeTime = INFINITY;
};

class BD_EXPORT CARenderer {
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

    // [main-thread] Fills the whole bitmap with one straight-alpha colour.
    void clear(CALayerColor color);
    // [main-thread] Draws root and its sublayers over the bitmap as they present at mediaTime.
    // The root's frame is taken in screen points (its position and transform place it). The
    // next renderFrame() draws its frame whole.
    void render(CALayer* root, double mediaTime);

    // [main-thread] The colour under the tree in frames (straight alpha); default opaque black.
    void setBackgroundColor(CALayerColor color);
    // [main-thread] Whether a frame of root at mediaTime could differ from the last frame:
    // cheap (no walk of the tree) when no layer changed since, and always true before the
    // first frame, for another root, or after invalidate().
    bool needsFrame(CALayer* root, double mediaTime) const;
    // [main-thread] A frame of root at mediaTime into the renderer's own bitmap, drawing only
    // what changed since the frame before (the first frame, and one after render() or
    // invalidate(), is drawn whole).
    CARenderFrame renderFrame(CALayer* root, double mediaTime);
    // [main-thread] The same into the caller's bitmap, which holds the frame target.age frames
    // back (or anything, when its age is 0 or older than the renderer remembers).
    CARenderFrame renderFrame(CALayer* root, double mediaTime, const CARenderTarget& target);
    // [main-thread] Forgets what was drawn: the next frame is drawn whole.
    void invalidate();
    // [main-thread] The last frame's nextChangeTime, INFINITY before the first.
    double nextChangeTime() const;

    // [main-thread] A copy of the bitmap as a colour picture; the caller owns it.
    CGImageRef createImage() const;
    // [main-thread] How many converted or halved pictures are kept now (for tests).
    size_t cachedPictureCount() const;

    struct BD_HIDDEN Impl;

  private:
    std::unique_ptr<Impl> _impl;
};
