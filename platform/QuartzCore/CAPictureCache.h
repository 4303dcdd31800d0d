#pragma once
// The renderer's pictures as cairo surfaces. A colour picture in cairo's ARGB32 layout is drawn
// from its own bytes; pictures in other layouts are converted once. A picture drawn at less
// than half its size is drawn from halved copies made once, so that every frame scales
// bilinearly and never with cairo's slow GOOD filter. Pictures not asked for in a while are
// let go. Internal to the renderer; main-thread only, like the renderer.

#include <cairo.h>

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "CoreGraphics/CGImage.h"
#include "QuartzCore/CAPixelRegion.h"

namespace bd {

// [main-thread] One picture of the cache.
struct CAPicture {
    Ref<CGImage> image;                    // kept so that the bytes stay
    std::vector<cairo_surface_t*> levels;  // [0]: the picture, then halved copies
    uint64_t lastUsed = 0;
    bool scanned = false;  // opaque and visible are known
    bool opaque = false;   // every pixel has alpha 255
    PixelRect visible;     // the box of the pixels that are not transparent
    // The picture's rows as runs of pixels that are not transparent: row y's runs are
    // runs[rowStart[y] .. rowStart[y + 1]); none (rowStart empty) for a picture whose alpha
    // changes too often for runs to help.
    struct Run {
        int x, count;
        bool opaque;  // every pixel of the run has alpha 255
    };
    std::vector<Run> runs;
    std::vector<uint32_t> rowStart;

    CAPicture() = default;  // [main-thread]
    CAPicture(const CAPicture&) = delete;
    CAPicture& operator=(const CAPicture&) = delete;
    ~CAPicture();  // [main-thread]
};

class CAPictureCache {
  public:
    // [main-thread] The picture of img (made on first use), or null when img is no colour
    // picture that can be drawn. Marks it used in the present render.
    CAPicture* picture(CGImage* img);
    // [main-thread] The level to draw at `scale` device pixels per picture pixel: halved copies
    // until one more halving would enlarge it.
    cairo_surface_t* level(CAPicture* p, double scale);
    // [main-thread] Whether every pixel of the picture is opaque, and the box of its pixels
    // that are not transparent (in picture pixels); looked at once.
    bool isOpaque(CAPicture* p);
    PixelRect visibleBox(CAPicture* p);
    // [main-thread] Starts a render: pictures not used in the last kKeepRenders renders go.
    void beginRender();
    size_t count() const { return _pictures.size(); }  // [main-thread]

    static constexpr uint64_t kKeepRenders = 32;

  private:
    uint64_t _renderCount = 0;
    std::unordered_map<CGImage*, std::unique_ptr<CAPicture>> _pictures;
};

// [any-thread] A new ARGB32 image surface, or null when cairo cannot make it.
cairo_surface_t* newARGBSurface(int width, int height);

}  // namespace bd
