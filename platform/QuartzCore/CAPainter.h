#pragma once
// The painter: draws a display list onto a bitmap, all of it or only a region. Drawing a region
// gives, inside it, the very bytes a whole drawing gives, because nothing whose rounding depends
// on the extent being drawn is drawn through the region: pictures on axis-aligned layers are
// composited by pixman with a mapping fixed per picture; slanted items, slanted clips and
// opacity groups are drawn whole into a bitmap of their own and that is painted; perspective
// layers are warped tile by tile on a grid of their own. Internal to the renderer; main-thread.

#include <cairo.h>

#include "Foundation/UniqueHandle.h"
#include "QuartzCore/CADisplayList.h"
#include "QuartzCore/CAPictureCache.h"
#include "QuartzCore/CAPixelRegion.h"
#include "QuartzCore/CAProjectiveWarp.h"

namespace bd {

// A bitmap being drawn on [main-thread].
struct Canvas {
    cairo_t* cr = nullptr;
    cairo_surface_t* surface = nullptr;
    WarpBitmap bitmap;     // its pixels, for pixman (target pixel coordinates)
    bool isWhole = false;  // always drawn whole (a bitmap of one item): plain cairo throughout
    UniqueHandle<cairo_t, cairo_destroy> context;  // owns cr when regional() or whole() made it

    // [main-thread] A canvas over a target whose regions may be drawn one at a time.
    static Canvas regional(cairo_surface_t* s);
    // [main-thread] A canvas that is only ever drawn whole.
    static Canvas whole(cairo_surface_t* s);
};

class Painter {
  public:
    explicit Painter(CAPictureCache& pictures) : _pictures(pictures) {}  // [main-thread]

    // [main-thread] Draws the list onto the canvas; with a region, only inside it (the caller
    // has clipped the canvas's cairo context to it).
    void paint(Canvas& canvas, const DisplayList& list, const PixelRegion* region);

  private:
    // All [main-thread].
    void replay(Canvas& c, const DisplayList& list, size_t begin, size_t end,
                const PixelRegion* region, double t);
    template <class F>
    void isolated(Canvas& c, const DisplayItem& it, double alpha, F&& draw);
    void drawPrimitive(cairo_t* cr, const DisplayItem& it);
    void drawContents(cairo_t* cr, const DisplayItem& it);
    void drawContentsDirect(Canvas& c, const DisplayItem& it, const PixelRegion* region);
    void drawWarped(Canvas& c, const DisplayItem& it, const PixelRegion* region, double t);

    CAPictureCache& _pictures;
};

}  // namespace bd
