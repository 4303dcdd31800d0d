#pragma once
// The private state of a bitmap context and the pieces its source files share. Not installed
// with the SDK headers. CGContext.cpp holds the C functions that make contexts, keep their state,
// clip and paint; CGContextCompositor.cpp blends rows in every mode, builds coverage from the
// clip and fills shapes; CGContextPath.cpp maps user space to device pixels and builds paths.

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "CoreGraphics/CGContext.h"
#include "CoreGraphics/CGImagePixels.h"
#include "CoreGraphics/CGPixelKernels.h"
#include "CoreGraphics/CGRaster.h"

namespace bd {

// One layer of the clip: coverage from a rasterised path or transformed mask, or from a bitmap
// placed 1:1 on whole pixels (read row by row, never copied). The clip's bounds always lie
// inside every layer's rectangle, so rows are only asked for inside it.
struct ClipLayer {
    Raster raster;
    Ref<CGImage> image;
    int dx = 0, dy = 0;  // device pixel = bitmap pixel + (dx, dy)
    const uint8_t* row(int y, int x, size_t n, uint8_t* tmp) const {
        if (image) return imageRowCoverage(image.get(), size_t(y - dy), size_t(x - dx), n, tmp);
        return raster.row(y) + (x - raster.rect.x0);
    }
};

struct GState {
    CGAffineTransform ctm;
    std::vector<std::shared_ptr<const ClipLayer>> clips;
    IRect clip;                     // device bounds of the clip
    uint32_t fill = 0xFF000000u;    // premultiplied ARGB: opaque black at the start
    uint32_t stroke = 0xFF000000u;  // kept for callers; nothing here strokes
    CGBlendMode blendMode = kCGBlendModeNormal;
    double alpha = 1.0;
    bool antialias = true;
    CGInterpolationQuality interpolation = kCGInterpolationDefault;
};

struct ContextImpl {
    // The layout the context was made with.
    size_t width = 0, height = 0, bitsPerPixel = 0, bytesPerRow = 0;
    CGBitmapInfo bitmapInfo = 0;
    Ref<CGColorSpace> space;
    bool gray = false;

    // The pixels: Clear (all zero, not yet allocated or written), Owned (writable: our own
    // buffer or the caller's), Shared (an immutable buffer that images also hold), or Filled
    // (a colour painted through clip layers onto clear pixels, written only when the next
    // drawing reads it as its destination, so the two cost one pass).
    enum class Content { Clear, Owned, Shared, Filled } content = Content::Clear;
    struct Fill {
        uint32_t colour = 0;
        std::vector<std::shared_ptr<const ClipLayer>> clips;
        double alpha = 1;
    } fill;
    std::shared_ptr<uint8_t[]> owned;
    std::shared_ptr<const uint8_t[]> shared;
    uint8_t* external = nullptr;  // the caller's buffer, when there is one
    bool foreign = false;         // external bytes not in native order (or not aligned)
    uint8_t toForeign[4] = {0, 1, 2, 3}, toNative[4] = {0, 1, 2, 3};

    std::vector<GState> states;
    std::vector<PathSegment> path;
    bool hasCurrent = false;
    CGPoint current, start;  // device space

    // Rows of scratch space, sized to the widest span drawn.
    std::vector<uint32_t> srcRow, dstRow, fullRow, solidRow, fillColour, fillSrc;
    std::vector<uint8_t> covRow, layerRow, shapeRow, fillCov, fillLayer;

    // A cleared caller's buffer that nothing was drawn into gets its zeros now.
    ~ContextImpl() {
        if (external && content == Content::Clear) materialise();
    }

    size_t bpp() const { return gray ? 1 : 4; }
    size_t stride() const { return external ? bytesPerRow : width * bpp(); }
    IRect bounds() const { return IRect{0, 0, int(width), int(height)}; }
    GState& g() { return states.back(); }

    uint8_t* writableRow(int y) {
        return (external ? external : owned.get()) + size_t(y) * stride();
    }
    const uint8_t* readRow(int y) const {
        if (content == Content::Shared) return shared.get() + size_t(y) * width * bpp();
        return (external ? external : owned.get()) + size_t(y) * stride();
    }
    void reserve(size_t n) {
        if (srcRow.size() >= n) return;
        srcRow.resize(n), dstRow.resize(n), fullRow.resize(n), solidRow.resize(n);
        covRow.resize(n), layerRow.resize(n), shapeRow.resize(n);
    }

    // Pixels x..x+n−1 of row y of a Filled content.
    void fillRow(int y, int x, size_t n, uint32_t* out);

    // Makes the content writable in place; false when memory ran out.
    bool materialise() {
        if (content == Content::Owned) return true;
        size_t rowBytes = width * bpp();
        if (external) {
            for (size_t y = 0; y < height; ++y)
                std::memset(external + y * bytesPerRow, 0, rowBytes);
        } else {
            std::shared_ptr<uint8_t[]> buf =
                allocPixels(rowBytes * height, content == Content::Clear);
            if (!buf) return false;
            if (content == Content::Shared) std::memcpy(buf.get(), shared.get(), rowBytes * height);
            if (content == Content::Filled) {
                for (size_t y = 0; y < height; ++y)
                    fillRow(int(y), 0, width,
                            reinterpret_cast<uint32_t*>(buf.get() + y * rowBytes));
                fill = Fill{};
            }
            owned = std::move(buf);
            shared.reset();
        }
        content = Content::Owned;
        return true;
    }
};

namespace cg {

constexpr double kEpsilon = 1e-9;

// --- compositing (CGContextCompositor.cpp) ------------------------------------------------------

// [any-thread] Whether our own kernels blend mode (normal, multiply, overlay, plus-darker).
bool isFastMode(CGBlendMode m);
// [any-thread] A colour row in any mode: s through coverage cov (null: full) over d (null:
// clear) into out.
void colourRow(ContextImpl& c, CGBlendMode mode, const uint32_t* s, const uint8_t* cov,
               const uint32_t* d, uint32_t* out, size_t n);
// [any-thread] A grey row: the colour composited as if the grey were opaque colour, then grey.
void grayRow(ContextImpl& c, CGBlendMode mode, const uint32_t* s, const uint8_t* cov,
             const uint8_t* d, uint8_t* out, size_t n);
// [any-thread] Coverage of one row from the shape, the clip layers and the global alpha; null
// when full.
const uint8_t* coverageRow(ContextImpl& c, int y, int x, size_t n, const uint8_t* shape);

// Paints region row by row: src(y, x, n, tmp) gives the premultiplied source pixels x..x+n−1
// of row y (in tmp or elsewhere), shape(y, x, n) their coverage (null: full). A region covering the
// whole context over content that is clear or shared is written into fresh pixels, reading the old
// ones as the destination, so it costs no extra pass; anything else first makes the content
// writable.
template <class Src, class Shape>
void paint(ContextImpl& c, IRect region, CGBlendMode mode, Src&& src, Shape&& shape) {
    region = bd::intersect(region, c.g().clip);
    if (region.empty()) return;
    size_t n = size_t(region.width());
    c.reserve(n);
    using Content = ContextImpl::Content;
    Content before = c.content;
    std::shared_ptr<const uint8_t[]> old = c.shared;  // read from while writing fresh pixels
    std::shared_ptr<uint8_t[]> fresh;
    uint8_t* outBase = nullptr;
    size_t outStride = c.stride();
    if (before != Content::Owned && region == c.bounds()) {
        if (c.external) {
            outBase = c.external;
        } else {
            fresh = bd::allocPixels(c.width * c.height * c.bpp(), false);
            if (!fresh) return;
            outBase = fresh.get();
        }
    } else {
        if (!c.materialise()) return;
        before = Content::Owned;
        outBase = c.writableRow(0);
    }
    const CGBlendMode m = mode;
    for (int y = region.y0; y < region.y1; ++y) {
        const uint32_t* s = src(y, region.x0, n, c.srcRow.data());
        const uint8_t* cov = coverageRow(c, y, region.x0, n, shape(y, region.x0, n));
        uint8_t* outRow = outBase + size_t(y) * outStride;
        const uint8_t* inRow = nullptr;
        if (before == Content::Shared) {
            inRow = old.get() + size_t(y) * c.width * c.bpp();
        } else if (before == Content::Filled) {
            // Only whole-context regions get here: the row is the context's full width.
            c.fillRow(y, 0, c.width, c.dstRow.data());
            inRow = reinterpret_cast<const uint8_t*>(c.dstRow.data());
        } else if (before == Content::Owned) {
            inRow = c.readRow(y);
        }
        if (c.gray) {
            grayRow(c, m, s, cov, inRow ? inRow + region.x0 : nullptr, outRow + region.x0, n);
        } else if (c.foreign) {
            uint32_t* t = c.dstRow.data();
            uint8_t* bytes = reinterpret_cast<uint8_t*>(t);
            if (inRow) bd::px::shuffle(inRow + 4 * size_t(region.x0), c.toNative, bytes, n);
            colourRow(c, m, s, cov, inRow ? t : nullptr, t, n);
            bd::px::shuffle(bytes, c.toForeign, outRow + 4 * size_t(region.x0), n);
        } else {
            const uint32_t* d =
                inRow ? reinterpret_cast<const uint32_t*>(inRow) + region.x0 : nullptr;
            colourRow(c, m, s, cov, d, reinterpret_cast<uint32_t*>(outRow) + region.x0, n);
        }
    }
    if (fresh) c.owned = std::move(fresh);
    c.shared.reset();
    c.fill = ContextImpl::Fill{};
    c.content = Content::Owned;
}

inline const uint8_t* noShape(int, int, size_t) {
    return nullptr;
}

// [any-thread] Fills region (clipped) with colour through shape's coverage (null: all of it).
void fillSolid(ContextImpl& c, IRect region, CGBlendMode mode, uint32_t colour,
               const Raster* shape);
// [any-thread] Fills a device-space path with colour.
void fillPath(ContextImpl& c, const std::vector<PathSegment>& path, bool evenOdd, CGBlendMode mode,
              uint32_t colour);
// [any-thread] Fills a user-space rectangle with colour.
void fillRect(ContextImpl& c, CGRect rect, CGBlendMode mode, uint32_t colour);
// [any-thread] Narrows the clip to rect and adds layer's coverage to it.
void addClipLayer(ContextImpl& c, std::shared_ptr<ClipLayer> layer, IRect rect);
// [any-thread] Narrows the clip to a device-space path.
void clipToPath(ContextImpl& c, const std::vector<PathSegment>& path, bool evenOdd);

// --- geometry and paths (CGContextPath.cpp) -----------------------------------------------------

CGPoint toDevice(ContextImpl& c, double x, double y);  // [any-thread] user point to device
// [any-thread] The bitmap's pixels (y down) to device space, for a bitmap drawn upright in rect.
CGAffineTransform imageToDevice(ContextImpl& c, CGRect rect, CGImageRef image);
// [any-thread] Whether m moves pixels by whole pixels without scaling; the offset to dx, dy.
bool wholePixelShift(CGAffineTransform m, int& dx, int& dy);
IRect transformedBounds(CGRect r, CGAffineTransform m);  // [any-thread]
// [any-thread] A user rectangle as a closed device-space path.
std::vector<PathSegment> rectPath(ContextImpl& c, CGRect r);
// [any-thread] How a bitmap is sampled under the context's interpolation quality.
Sampling sampling(ContextImpl& c, CGImageRef image);
// [any-thread] The device rectangle a user rectangle covers exactly, when it covers whole pixels.
bool wholePixelRect(ContextImpl& c, CGRect rect, IRect& out);
// [any-thread] Whether a path is one axis-aligned rectangle on whole pixels.
bool pathIsPixelRect(const std::vector<PathSegment>& p, IRect& out);
// [any-thread] Appends a device-space segment and moves the current point.
void addSegment(ContextImpl& c, PathSegment s);
void moveTo(ContextImpl& c, CGPoint user);                          // [any-thread]
void lineTo(ContextImpl& c, CGPoint user);                          // [any-thread]
void curveTo(ContextImpl& c, CGPoint c1, CGPoint c2, CGPoint end);  // [any-thread]
// [any-thread] The current point in user space (zero when there is none).
CGPoint currentUserPoint(ContextImpl& c);
// [any-thread] An arc of the circle (cx, cy, radius) from angle a0 through the signed sweep.
void arcCurves(ContextImpl& c, double cx, double cy, double radius, double a0, double sweep);

}  // namespace cg
}  // namespace bd
