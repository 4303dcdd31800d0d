#include "CoreGraphics/CGContext.h"

#include <pixman.h>

#include <algorithm>
#include <cmath>
#include <cstring>

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

}  // namespace bd

using bd::ContextImpl;
using bd::GState;
using bd::IRect;
using bd::PathSegment;
using bd::Raster;

CGContext::CGContext(std::unique_ptr<bd::ContextImpl> impl) : _impl(std::move(impl)) {}
CGContext::~CGContext() = default;

namespace {

constexpr double kEpsilon = 1e-9;

uint32_t premultipliedColor(double r, double g, double b, double a) {
    auto clamp01 = [](double v) { return v > 0 ? (v < 1 ? v : 1.0) : 0.0; };  // NaN -> 0
    a = clamp01(a);
    auto ch = [a, &clamp01](double v) { return uint32_t(std::lround(clamp01(v) * a * 255)); };
    return uint32_t(std::lround(a * 255)) << 24 | ch(r) << 16 | ch(g) << 8 | ch(b);
}

bool isFastMode(CGBlendMode m) {
    return m == kCGBlendModeNormal || m == kCGBlendModeMultiply || m == kCGBlendModeOverlay ||
           m == kCGBlendModePlusDarker;
}

bd::px::Blend fastBlend(CGBlendMode m) {
    if (m == kCGBlendModeMultiply) return bd::px::Blend::Multiply;
    if (m == kCGBlendModeOverlay) return bd::px::Blend::Overlay;
    return bd::px::Blend::Normal;
}

pixman_op_t pixmanOp(CGBlendMode m) {
    switch (m) {
        case kCGBlendModeScreen:
            return PIXMAN_OP_SCREEN;
        case kCGBlendModeDarken:
            return PIXMAN_OP_DARKEN;
        case kCGBlendModeLighten:
            return PIXMAN_OP_LIGHTEN;
        case kCGBlendModeColorDodge:
            return PIXMAN_OP_COLOR_DODGE;
        case kCGBlendModeColorBurn:
            return PIXMAN_OP_COLOR_BURN;
        case kCGBlendModeSoftLight:
            return PIXMAN_OP_SOFT_LIGHT;
        case kCGBlendModeHardLight:
            return PIXMAN_OP_HARD_LIGHT;
        case kCGBlendModeDifference:
            return PIXMAN_OP_DIFFERENCE;
        case kCGBlendModeExclusion:
            return PIXMAN_OP_EXCLUSION;
        case kCGBlendModeHue:
            return PIXMAN_OP_HSL_HUE;
        case kCGBlendModeSaturation:
            return PIXMAN_OP_HSL_SATURATION;
        case kCGBlendModeColor:
            return PIXMAN_OP_HSL_COLOR;
        case kCGBlendModeLuminosity:
            return PIXMAN_OP_HSL_LUMINOSITY;
        case kCGBlendModeClear:
            return PIXMAN_OP_CLEAR;
        case kCGBlendModeCopy:
            return PIXMAN_OP_SRC;
        case kCGBlendModeSourceIn:
            return PIXMAN_OP_IN;
        case kCGBlendModeSourceOut:
            return PIXMAN_OP_OUT;
        case kCGBlendModeSourceAtop:
            return PIXMAN_OP_ATOP;
        case kCGBlendModeDestinationOver:
            return PIXMAN_OP_OVER_REVERSE;
        case kCGBlendModeDestinationIn:
            return PIXMAN_OP_IN_REVERSE;
        case kCGBlendModeDestinationOut:
            return PIXMAN_OP_OUT_REVERSE;
        case kCGBlendModeDestinationAtop:
            return PIXMAN_OP_ATOP_REVERSE;
        case kCGBlendModeXOR:
            return PIXMAN_OP_XOR;
        case kCGBlendModePlusLighter:
            return PIXMAN_OP_ADD;
        default:
            return PIXMAN_OP_OVER;
    }
}

// A colour row in any mode: our kernels for the common three, pixman's combiners for the rest
// (the full result of the mode, then moved from D towards it by the coverage).
void colourRow(ContextImpl& c, CGBlendMode mode, const uint32_t* s, const uint8_t* cov,
               const uint32_t* d, uint32_t* out, size_t n) {
    if (isFastMode(mode)) {
        bd::px::composite(fastBlend(mode), s, cov, d, out, n);
        return;
    }
    uint32_t* full = c.fullRow.data();
    if (d)
        std::memcpy(full, d, n * 4);
    else
        std::memset(full, 0, n * 4);
    pixman_image_t* si =
        pixman_image_create_bits(PIXMAN_a8r8g8b8, int(n), 1, const_cast<uint32_t*>(s), int(n * 4));
    pixman_image_t* di = pixman_image_create_bits(PIXMAN_a8r8g8b8, int(n), 1, full, int(n * 4));
    if (si && di)
        pixman_image_composite32(pixmanOp(mode), si, nullptr, di, 0, 0, 0, 0, 0, 0, int(n), 1);
    if (si) pixman_image_unref(si);
    if (di) pixman_image_unref(di);
    for (size_t i = 0; i < n; ++i) {
        uint32_t k = cov ? cov[i] : 255, dv = d ? d[i] : 0, r = 0;
        for (int sh = 0; sh < 32; sh += 8) {
            uint32_t a = (full[i] >> sh) & 0xFF, b = (dv >> sh) & 0xFF;
            r |= bd::px::div255(a * k + b * (255 - k)) << sh;
        }
        out[i] = r;
    }
}

// A grey row: the colour is composited as if the grey were opaque colour, then made grey.
void grayRow(ContextImpl& c, CGBlendMode mode, const uint32_t* s, const uint8_t* cov,
             const uint8_t* d, uint8_t* out, size_t n) {
    if (mode == kCGBlendModeNormal || mode == kCGBlendModePlusDarker) {
        bd::px::grayOver(s, cov, d, out, n);
        return;
    }
    uint32_t* t = c.dstRow.data();
    if (d)
        bd::px::grayToARGB(d, t, n);
    else
        std::fill(t, t + n, 0xFF000000u);
    colourRow(c, mode, s, cov, t, t, n);
    bd::px::luma(t, out, n);
}

// Coverage of one row from the shape, every clip layer and the global alpha, built in cov
// (layer is scratch for the layers' own rows); null when full.
const uint8_t* coverageRow(const std::vector<std::shared_ptr<const bd::ClipLayer>>& clips,
                           double alpha, int y, int x, size_t n, const uint8_t* shape,
                           uint8_t* covScratch, uint8_t* layerScratch) {
    const uint8_t* cov = shape;
    bool inScratch = false;
    for (const auto& layer : clips) {
        const uint8_t* l = layer->row(y, x, n, layerScratch);
        if (!cov) {
            cov = l;
            if (l == layerScratch) {
                std::memcpy(covScratch, l, n);
                cov = covScratch;
                inScratch = true;
            }
            continue;
        }
        if (!inScratch) {
            std::memcpy(covScratch, cov, n);
            cov = covScratch;
            inScratch = true;
        }
        bd::px::multiplyCoverage(covScratch, l, n);
    }
    if (alpha < 1) {
        uint8_t a = uint8_t(std::lround(alpha * 255));
        if (!cov) {
            std::memset(covScratch, a, n);
        } else {
            if (!inScratch) std::memcpy(covScratch, cov, n);
            for (size_t i = 0; i < n; ++i)
                covScratch[i] = uint8_t(bd::px::div255(uint32_t(covScratch[i]) * a));
        }
        cov = covScratch;
    }
    return cov;
}

const uint8_t* coverageRow(ContextImpl& c, int y, int x, size_t n, const uint8_t* shape) {
    return coverageRow(c.g().clips, c.g().alpha, y, x, n, shape, c.covRow.data(),
                       c.layerRow.data());
}

}  // namespace

void bd::ContextImpl::fillRow(int y, int x, size_t n, uint32_t* out) {
    if (fill.clips.size() == 1 && fill.alpha == 1) {
        // The colour through one picture's opacity, as a tint makes it: one pass.
        const ClipLayer& l = *fill.clips[0];
        if (l.image && imageIsNativeARGB(l.image.get())) {
            fillSrc.resize(width);
            const uint32_t* s =
                imageRowARGB(l.image.get(), size_t(y - l.dy), size_t(x - l.dx), n, fillSrc.data());
            px::colorTimesAlpha(fill.colour, s, out, n);
            return;
        }
    }
    if (fillColour.size() < width) {
        fillColour.assign(width, fill.colour);
        fillCov.resize(width), fillLayer.resize(width);
    }
    const uint8_t* cov =
        coverageRow(fill.clips, fill.alpha, y, x, n, nullptr, fillCov.data(), fillLayer.data());
    px::composite(px::Blend::Normal, fillColour.data(), cov, nullptr, out, n);
}

namespace {

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
            if (inRow) bd::px::shuffle(inRow + 4 * region.x0, c.toNative, bytes, n);
            colourRow(c, m, s, cov, inRow ? t : nullptr, t, n);
            bd::px::shuffle(bytes, c.toForeign, outRow + 4 * region.x0, n);
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

const uint8_t* noShape(int, int, size_t) {
    return nullptr;
}

// --- geometry ---------------------------------------------------------------------------------

CGPoint toDevice(ContextImpl& c, double x, double y) {
    return CGPointApplyAffineTransform(CGPointMake(x, y), c.g().ctm);
}

// The bitmap's pixels (y down) to device space, for a bitmap drawn upright into rect.
CGAffineTransform imageToDevice(ContextImpl& c, CGRect rect, CGImageRef image) {
    rect = CGRectStandardize(rect);
    double w = double(image->width()), h = double(image->height());
    CGAffineTransform place =
        CGAffineTransformMake(rect.size.width / w, 0, 0, -rect.size.height / h, rect.origin.x,
                              rect.origin.y + rect.size.height);
    return CGAffineTransformConcat(place, c.g().ctm);
}

// Whether m moves pixels by whole pixels without scaling; the offset goes to dx, dy.
bool wholePixelShift(CGAffineTransform m, int& dx, int& dy) {
    if (std::fabs(m.a - 1) > kEpsilon || std::fabs(m.d - 1) > kEpsilon ||
        std::fabs(m.b) > kEpsilon || std::fabs(m.c) > kEpsilon)
        return false;
    double rx = std::round(m.tx), ry = std::round(m.ty);
    if (!(std::fabs(m.tx - rx) <= 1e-6 && std::fabs(m.ty - ry) <= 1e-6)) return false;
    if (std::fabs(rx) > 1e9 || std::fabs(ry) > 1e9) return false;
    dx = int(rx), dy = int(ry);
    return true;
}

IRect transformedBounds(CGRect r, CGAffineTransform m) {
    return bd::pixelBounds(CGRectApplyAffineTransform(r, m));
}

// The device rectangle a user rectangle covers exactly, when it covers whole pixels.
bool wholePixelRect(ContextImpl& c, CGRect rect, IRect& out) {
    const CGAffineTransform& t = c.g().ctm;
    if (std::fabs(t.b) > kEpsilon || std::fabs(t.c) > kEpsilon) return false;
    CGRect d = CGRectStandardize(CGRectApplyAffineTransform(CGRectStandardize(rect), t));
    double v[4] = {d.origin.x, d.origin.y, d.origin.x + d.size.width, d.origin.y + d.size.height};
    for (double x : v)
        if (!(std::fabs(x - std::round(x)) <= 1e-6) || std::fabs(x) > 1e9) return false;
    out = IRect{int(std::round(v[0])), int(std::round(v[1])), int(std::round(v[2])),
                int(std::round(v[3]))};
    return true;
}

std::vector<PathSegment> rectPath(ContextImpl& c, CGRect r) {
    r = CGRectStandardize(r);
    double x0 = r.origin.x, y0 = r.origin.y, x1 = x0 + r.size.width, y1 = y0 + r.size.height;
    std::vector<PathSegment> p(5);
    p[0] = {PathSegment::Move, {toDevice(c, x0, y0)}};
    p[1] = {PathSegment::Line, {toDevice(c, x1, y0)}};
    p[2] = {PathSegment::Line, {toDevice(c, x1, y1)}};
    p[3] = {PathSegment::Line, {toDevice(c, x0, y1)}};
    p[4] = {PathSegment::Close, {}};
    return p;
}

// Whether a path is one axis-aligned rectangle on whole pixels (as CGContextAddRect makes).
bool pathIsPixelRect(const std::vector<PathSegment>& p, IRect& out) {
    if (p.size() != 5 || p[0].op != PathSegment::Move || p[4].op != PathSegment::Close)
        return false;
    for (int i = 1; i < 4; ++i)
        if (p[i].op != PathSegment::Line) return false;
    double xs[4], ys[4];
    for (int i = 0; i < 4; ++i) {
        double x = p[i].p[0].x, y = p[i].p[0].y;
        xs[i] = std::round(x), ys[i] = std::round(y);
        if (!(std::fabs(x - xs[i]) <= 1e-6 && std::fabs(y - ys[i]) <= 1e-6) || std::fabs(x) > 1e9 ||
            std::fabs(y) > 1e9)
            return false;
    }
    bool horizontalFirst = ys[0] == ys[1] && xs[1] == xs[2] && ys[2] == ys[3] && xs[3] == xs[0];
    bool verticalFirst = xs[0] == xs[1] && ys[1] == ys[2] && xs[2] == xs[3] && ys[3] == ys[0];
    if (!horizontalFirst && !verticalFirst) return false;
    out = IRect{int(std::round(std::min(xs[0], xs[2]))), int(std::round(std::min(ys[0], ys[2]))),
                int(std::round(std::max(xs[0], xs[2]))), int(std::round(std::max(ys[0], ys[2])))};
    return true;
}

bd::Sampling sampling(ContextImpl& c, CGImageRef image) {
    return c.g().interpolation == kCGInterpolationNone || !image->shouldInterpolate()
               ? bd::Sampling::Nearest
               : bd::Sampling::Smooth;
}

// --- painting shapes ----------------------------------------------------------------------------

void fillSolid(ContextImpl& c, IRect region, CGBlendMode mode, uint32_t colour,
               const Raster* shape) {
    GState& g = c.g();
    if (!shape && !c.gray && !c.external && c.content == ContextImpl::Content::Clear &&
        isFastMode(mode) && g.clip == c.bounds() &&
        bd::intersect(region, c.bounds()) == c.bounds()) {
        // Over clear pixels every fast mode gives the colour through the clip: keep it unwritten.
        c.fill.colour = colour;
        c.fill.clips = g.clips;
        c.fill.alpha = g.alpha;
        c.fillColour.clear();
        c.content = ContextImpl::Content::Filled;
        return;
    }
    region = bd::intersect(region, c.g().clip);
    if (shape) region = bd::intersect(region, shape->rect);
    if (region.empty()) return;
    size_t n = size_t(region.width());
    c.reserve(n);
    std::fill(c.solidRow.begin(), c.solidRow.begin() + long(n), colour);
    const uint32_t* solid = c.solidRow.data();
    paint(
        c, region, mode, [solid](int, int, size_t, uint32_t*) { return solid; },
        [shape](int y, int x, size_t) -> const uint8_t* {
            return shape ? shape->row(y) + (x - shape->rect.x0) : nullptr;
        });
}

void fillPath(ContextImpl& c, const std::vector<PathSegment>& path, bool evenOdd, CGBlendMode mode,
              uint32_t colour) {
    IRect region = bd::intersect(bd::pathBounds(path), c.g().clip);
    if (region.empty()) return;
    Raster shape = bd::rasterisePath(path, region, evenOdd, c.g().antialias);
    if (!shape.data) return;
    fillSolid(c, region, mode, colour, &shape);
}

void fillRect(ContextImpl& c, CGRect rect, CGBlendMode mode, uint32_t colour) {
    IRect r;
    if (wholePixelRect(c, rect, r)) {
        fillSolid(c, r, mode, colour, nullptr);
        return;
    }
    fillPath(c, rectPath(c, rect), false, mode, colour);
}

void addClipLayer(ContextImpl& c, std::shared_ptr<bd::ClipLayer> layer, IRect rect) {
    GState& g = c.g();
    g.clip = bd::intersect(g.clip, rect);
    if (!g.clip.empty()) g.clips.push_back(std::move(layer));
}

void clipToPath(ContextImpl& c, const std::vector<PathSegment>& path, bool evenOdd) {
    GState& g = c.g();
    IRect r;
    if (pathIsPixelRect(path, r)) {
        g.clip = bd::intersect(g.clip, r);
        return;
    }
    IRect region = bd::intersect(bd::pathBounds(path), g.clip);
    if (region.empty()) {
        g.clip = IRect{};
        return;
    }
    auto layer = std::make_shared<bd::ClipLayer>();
    layer->raster = bd::rasterisePath(path, region, evenOdd, g.antialias);
    if (!layer->raster.data) {
        g.clip = IRect{};
        return;
    }
    addClipLayer(c, std::move(layer), region);
}

// --- path building ----------------------------------------------------------------------------

void addSegment(ContextImpl& c, PathSegment s) {
    c.path.push_back(s);
    if (s.op == PathSegment::Move) {
        c.hasCurrent = true;
        c.current = c.start = s.p[0];
    } else if (s.op == PathSegment::Close) {
        c.current = c.start;
    } else {
        c.current = s.p[s.op == PathSegment::Curve ? 2 : 0];
    }
}

void moveTo(ContextImpl& c, CGPoint user) {
    addSegment(c, {PathSegment::Move, {toDevice(c, user.x, user.y)}});
}
void lineTo(ContextImpl& c, CGPoint user) {
    if (!c.hasCurrent) return;
    addSegment(c, {PathSegment::Line, {toDevice(c, user.x, user.y)}});
}
void curveTo(ContextImpl& c, CGPoint c1, CGPoint c2, CGPoint end) {
    if (!c.hasCurrent) return;
    addSegment(c, {PathSegment::Curve,
                   {toDevice(c, c1.x, c1.y), toDevice(c, c2.x, c2.y), toDevice(c, end.x, end.y)}});
}

CGPoint currentUserPoint(ContextImpl& c) {
    if (!c.hasCurrent) return CGPointZero;
    return CGPointApplyAffineTransform(c.current, CGAffineTransformInvert(c.g().ctm));
}

// An arc of the circle (cx, cy, radius) from angle a0 through the signed sweep, as cubic
// Béziers of at most a quarter turn each. The current point must be the arc's start.
void arcCurves(ContextImpl& c, double cx, double cy, double radius, double a0, double sweep) {
    int parts = std::max(1, int(std::ceil(std::fabs(sweep) / (M_PI / 2) - 1e-9)));
    if (parts > 8) parts = 8;
    double step = sweep / parts;
    double k = 4.0 / 3.0 * std::tan(step / 4);
    for (int i = 0; i < parts; ++i) {
        double p0 = a0 + step * i, p1 = p0 + step;
        double c0 = std::cos(p0), s0 = std::sin(p0), c1 = std::cos(p1), s1 = std::sin(p1);
        curveTo(c, CGPointMake(cx + radius * (c0 - k * s0), cy + radius * (s0 + k * c0)),
                CGPointMake(cx + radius * (c1 + k * s1), cy + radius * (s1 - k * c1)),
                CGPointMake(cx + radius * c1, cy + radius * s1));
    }
}

}  // namespace

// --- creation -----------------------------------------------------------------------------------

namespace {

// Fills in the layout of a bitmap context; false for layouts we don't draw into.
bool setLayout(ContextImpl& c, size_t width, size_t height, size_t bpc, size_t& bytesPerRow,
               CGColorSpaceRef space, uint32_t info, bool external) {
    if (!width || !height || bpc != 8 || !space) return false;
    if (width > bd::kMaxImageSide || height > bd::kMaxImageSide) return false;
    CGImageAlphaInfo alpha = CGImageAlphaInfo(info & kCGBitmapAlphaInfoMask);
    uint32_t order = info & kCGBitmapByteOrderMask;
    if (info & ~(kCGBitmapAlphaInfoMask | kCGBitmapByteOrderMask)) return false;
    if (space->model() == kCGColorSpaceModelMonochrome) {
        if (alpha != kCGImageAlphaNone) return false;
        c.gray = true;
        c.bitsPerPixel = 8;
    } else if (space->model() == kCGColorSpaceModelRGB) {
        bool first = alpha == kCGImageAlphaPremultipliedFirst;
        if (!first && alpha != kCGImageAlphaPremultipliedLast) return false;
        if (order != kCGBitmapByteOrderDefault && order != kCGBitmapByteOrder32Big &&
            order != kCGBitmapByteOrder32Little)
            return false;
        c.bitsPerPixel = 32;
        // Memory positions of A, R, G, B in the asked layout and in the native one.
        int pos[4];  // big-endian view
        if (first)
            pos[0] = 0, pos[1] = 1, pos[2] = 2, pos[3] = 3;
        else
            pos[0] = 3, pos[1] = 0, pos[2] = 1, pos[3] = 2;
        if (order == kCGBitmapByteOrder32Little)
            for (int& v : pos) v = 3 - v;
        int native[4];
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        native[0] = 3, native[1] = 2, native[2] = 1, native[3] = 0;
#else
        native[0] = 0, native[1] = 1, native[2] = 2, native[3] = 3;
#endif
        for (int ch = 0; ch < 4; ++ch) {
            c.toForeign[pos[ch]] = uint8_t(native[ch]);
            c.toNative[native[ch]] = uint8_t(pos[ch]);
        }
        bool sameOrder = true;
        for (int ch = 0; ch < 4; ++ch) sameOrder = sameOrder && pos[ch] == native[ch];
        c.foreign = external && !sameOrder;
    } else {
        return false;
    }
    size_t rowBytes = width * c.bitsPerPixel / 8;
    if (bytesPerRow == 0) bytesPerRow = rowBytes;
    if (bytesPerRow < rowBytes || bytesPerRow > bd::kMaxImageBytes) return false;
    if (bytesPerRow * height > size_t(1) << 31) return false;
    if (!external && rowBytes * height > bd::kMaxImageBytes) return false;
    c.width = width, c.height = height, c.bytesPerRow = bytesPerRow, c.bitmapInfo = info;
    c.space = retained(space);
    return true;
}

CGContextRef makeContext(std::unique_ptr<ContextImpl> impl, CGAffineTransform base) {
    GState g;
    g.ctm = base;
    g.clip = impl->bounds();
    impl->states.push_back(g);
    return new CGContext(std::move(impl));
}

CGContextRef createBitmap(void* data, size_t width, size_t height, size_t bpc, size_t bytesPerRow,
                          CGColorSpaceRef space, uint32_t info, bool cleared) {
    auto impl = std::make_unique<ContextImpl>();
    if (!setLayout(*impl, width, height, bpc, bytesPerRow, space, info, data != nullptr))
        return nullptr;
    if (data) {
        impl->external = static_cast<uint8_t*>(data);
        // Our own kernels read native words; unaligned native bytes go through the byte path.
        if (!impl->gray && ((reinterpret_cast<uintptr_t>(data) & 3) || (bytesPerRow & 3)))
            impl->foreign = true;
        impl->content = cleared ? ContextImpl::Content::Clear : ContextImpl::Content::Owned;
    }
    return makeContext(std::move(impl), CGAffineTransformMake(1, 0, 0, -1, 0, double(height)));
}

}  // namespace

CGContextRef CGBitmapContextCreate(void* data, size_t width, size_t height, size_t bitsPerComponent,
                                   size_t bytesPerRow, CGColorSpaceRef space, uint32_t bitmapInfo) {
    return createBitmap(data, width, height, bitsPerComponent, bytesPerRow, space, bitmapInfo,
                        false);
}

namespace bd {

CGContextRef createImageContext(size_t width, size_t height, CGAffineTransform base) {
    auto impl = std::make_unique<ContextImpl>();
    Ref<CGColorSpace> rgb = adopt(CGColorSpaceCreateDeviceRGB());
    size_t bpr = 0;
    if (!setLayout(*impl, width, height, 8, bpr, rgb.get(), kBDBitmapInfoARGB32, false))
        return nullptr;
    return makeContext(std::move(impl), base);
}

CGContextRef createClearedBitmapContext(void* data, size_t width, size_t height,
                                        size_t bitsPerComponent, size_t bytesPerRow,
                                        CGColorSpaceRef space, uint32_t bitmapInfo) {
    if (!data) return nullptr;
    return createBitmap(data, width, height, bitsPerComponent, bytesPerRow, space, bitmapInfo,
                        true);
}

}  // namespace bd

CGImageRef CGBitmapContextCreateImage(CGContextRef ctx) {
    if (!ctx) return nullptr;
    ContextImpl& c = ctx->impl();
    using Content = ContextImpl::Content;
    size_t rowBytes = c.width * c.bpp();
    if (c.content == Content::Clear) {
        std::shared_ptr<uint8_t[]> zero = bd::allocPixels(rowBytes * c.height, true);
        if (!zero) return nullptr;
        return bd::makeImage(std::move(zero), c.width, c.height, c.gray);
    }
    if (c.external) {
        std::shared_ptr<uint8_t[]> copy = bd::allocPixels(rowBytes * c.height, false);
        if (!copy) return nullptr;
        for (size_t y = 0; y < c.height; ++y) {
            const uint8_t* from = c.external + y * c.bytesPerRow;
            uint8_t* to = copy.get() + y * rowBytes;
            if (c.foreign)
                bd::px::shuffle(from, c.toNative, to, c.width);
            else
                std::memcpy(to, from, rowBytes);
        }
        return bd::makeImage(std::move(copy), c.width, c.height, c.gray);
    }
    if (c.content == Content::Filled && !c.materialise()) return nullptr;
    if (c.content == Content::Owned) {
        // Hand the pixels out; the next drawing call copies them first.
        c.shared = std::move(c.owned);
        c.content = Content::Shared;
    }
    return bd::makeImage(c.shared, c.width, c.height, c.gray);
}

size_t CGBitmapContextGetWidth(CGContextRef c) {
    return c ? c->impl().width : 0;
}
size_t CGBitmapContextGetHeight(CGContextRef c) {
    return c ? c->impl().height : 0;
}
size_t CGBitmapContextGetBitsPerComponent(CGContextRef c) {
    return c ? 8 : 0;
}
size_t CGBitmapContextGetBitsPerPixel(CGContextRef c) {
    return c ? c->impl().bitsPerPixel : 0;
}
size_t CGBitmapContextGetBytesPerRow(CGContextRef c) {
    return c ? c->impl().bytesPerRow : 0;
}
CGBitmapInfo CGBitmapContextGetBitmapInfo(CGContextRef c) {
    return c ? c->impl().bitmapInfo : 0;
}
CGColorSpaceRef CGBitmapContextGetColorSpace(CGContextRef c) {
    return c ? c->impl().space.get() : nullptr;
}

CGContextRef CGContextRetain(CGContextRef c) {
    if (c) c->retain();
    return c;
}
void CGContextRelease(CGContextRef c) {
    if (c) c->release();
}

// --- graphics state ---------------------------------------------------------------------------

void CGContextSaveGState(CGContextRef c) {
    if (c) c->impl().states.push_back(c->impl().g());
}
void CGContextRestoreGState(CGContextRef c) {
    if (c && c->impl().states.size() > 1) c->impl().states.pop_back();
}

void CGContextScaleCTM(CGContextRef c, double sx, double sy) {
    if (c) c->impl().g().ctm = CGAffineTransformScale(c->impl().g().ctm, sx, sy);
}
void CGContextTranslateCTM(CGContextRef c, double tx, double ty) {
    if (c) c->impl().g().ctm = CGAffineTransformTranslate(c->impl().g().ctm, tx, ty);
}
void CGContextRotateCTM(CGContextRef c, double angle) {
    if (c) c->impl().g().ctm = CGAffineTransformRotate(c->impl().g().ctm, angle);
}
void CGContextConcatCTM(CGContextRef c, CGAffineTransform t) {
    if (c) c->impl().g().ctm = CGAffineTransformConcat(t, c->impl().g().ctm);
}
CGAffineTransform CGContextGetCTM(CGContextRef c) {
    return c ? c->impl().g().ctm : CGAffineTransformIdentity;
}

void CGContextSetRGBFillColor(CGContextRef c, double r, double g, double b, double a) {
    if (c) c->impl().g().fill = premultipliedColor(r, g, b, a);
}
void CGContextSetGrayFillColor(CGContextRef c, double gray, double a) {
    CGContextSetRGBFillColor(c, gray, gray, gray, a);
}
void CGContextSetRGBStrokeColor(CGContextRef c, double r, double g, double b, double a) {
    if (c) c->impl().g().stroke = premultipliedColor(r, g, b, a);
}
void CGContextSetGrayStrokeColor(CGContextRef c, double gray, double a) {
    CGContextSetRGBStrokeColor(c, gray, gray, gray, a);
}
void CGContextSetBlendMode(CGContextRef c, CGBlendMode mode) {
    if (!c) return;
    if (int(mode) < kCGBlendModeNormal || int(mode) > kCGBlendModePlusLighter)
        mode = kCGBlendModeNormal;
    c->impl().g().blendMode = mode;
}
void CGContextSetAlpha(CGContextRef c, double alpha) {
    if (c) c->impl().g().alpha = alpha > 0 ? (alpha < 1 ? alpha : 1.0) : 0.0;
}
void CGContextSetShouldAntialias(CGContextRef c, bool shouldAntialias) {
    if (c) c->impl().g().antialias = shouldAntialias;
}
void CGContextSetInterpolationQuality(CGContextRef c, CGInterpolationQuality quality) {
    if (c) c->impl().g().interpolation = quality;
}

// --- path -------------------------------------------------------------------------------------

void CGContextBeginPath(CGContextRef c) {
    if (!c) return;
    c->impl().path.clear();
    c->impl().hasCurrent = false;
}
void CGContextMoveToPoint(CGContextRef c, double x, double y) {
    if (c) moveTo(c->impl(), CGPointMake(x, y));
}
void CGContextAddLineToPoint(CGContextRef c, double x, double y) {
    if (c) lineTo(c->impl(), CGPointMake(x, y));
}
void CGContextAddCurveToPoint(CGContextRef c, double cp1x, double cp1y, double cp2x, double cp2y,
                              double x, double y) {
    if (c) curveTo(c->impl(), CGPointMake(cp1x, cp1y), CGPointMake(cp2x, cp2y), CGPointMake(x, y));
}
void CGContextAddQuadCurveToPoint(CGContextRef c, double cpx, double cpy, double x, double y) {
    if (!c || !c->impl().hasCurrent) return;
    CGPoint p0 = currentUserPoint(c->impl());
    curveTo(c->impl(), CGPointMake(p0.x + 2.0 / 3 * (cpx - p0.x), p0.y + 2.0 / 3 * (cpy - p0.y)),
            CGPointMake(x + 2.0 / 3 * (cpx - x), y + 2.0 / 3 * (cpy - y)), CGPointMake(x, y));
}
void CGContextAddRect(CGContextRef c, CGRect rect) {
    if (!c) return;
    ContextImpl& ci = c->impl();
    for (const PathSegment& s : rectPath(ci, rect)) addSegment(ci, s);
}
void CGContextAddArc(CGContextRef c, double x, double y, double radius, double startAngle,
                     double endAngle, int clockwise) {
    if (!c) return;
    ContextImpl& ci = c->impl();
    CGPoint start =
        CGPointMake(x + radius * std::cos(startAngle), y + radius * std::sin(startAngle));
    if (ci.hasCurrent)
        lineTo(ci, start);
    else
        moveTo(ci, start);
    double sweep = endAngle - startAngle;
    if (!std::isfinite(sweep)) return;
    const double turn = 2 * M_PI;
    if (clockwise) {
        if (sweep <= -turn)
            sweep = -turn;
        else
            while (sweep > 0) sweep -= turn;
    } else {
        if (sweep >= turn)
            sweep = turn;
        else
            while (sweep < 0) sweep += turn;
    }
    arcCurves(ci, x, y, radius, startAngle, sweep);
}
void CGContextAddArcToPoint(CGContextRef c, double x1, double y1, double x2, double y2,
                            double radius) {
    if (!c) return;
    ContextImpl& ci = c->impl();
    CGPoint corner = CGPointMake(x1, y1);
    if (!ci.hasCurrent) {
        moveTo(ci, corner);
        return;
    }
    CGPoint p0 = currentUserPoint(ci);
    double v0x = p0.x - x1, v0y = p0.y - y1, v2x = x2 - x1, v2y = y2 - y1;
    double l0 = std::hypot(v0x, v0y), l2 = std::hypot(v2x, v2y);
    double cross = v0x * v2y - v0y * v2x;
    if (radius == 0 || !(l0 > 0) || !(l2 > 0) || !(std::fabs(cross) > 1e-12 * l0 * l2)) {
        lineTo(ci, corner);
        return;
    }
    double u0x = v0x / l0, u0y = v0y / l0, u2x = v2x / l2, u2y = v2y / l2;
    double cosT = u0x * u2x + u0y * u2y;  // the angle between the two rays at the corner
    double sinT = std::fabs(cross) / (l0 * l2);
    double t = radius * (1 + cosT) / sinT;  // corner to the tangent points: r / tan(θ/2)
    double bx = u0x + u2x, by = u0y + u2y, bl = std::hypot(bx, by);
    double d = radius / std::sqrt((1 - cosT) / 2);  // corner to the centre: r / sin(θ/2)
    if (!std::isfinite(t) || !std::isfinite(d) || !(bl > 0)) {
        lineTo(ci, corner);
        return;
    }
    CGPoint t0 = CGPointMake(x1 + u0x * t, y1 + u0y * t);
    CGPoint t2 = CGPointMake(x1 + u2x * t, y1 + u2y * t);
    double cx = x1 + bx / bl * d, cy = y1 + by / bl * d;
    lineTo(ci, t0);
    double a0 = std::atan2(t0.y - cy, t0.x - cx), a1 = std::atan2(t2.y - cy, t2.x - cx);
    double sweep = a1 - a0;  // the shorter way round: the arc inside the corner
    if (sweep > M_PI) sweep -= 2 * M_PI;
    if (sweep < -M_PI) sweep += 2 * M_PI;
    arcCurves(ci, cx, cy, std::fabs(radius), a0, sweep);
}
void CGContextClosePath(CGContextRef c) {
    if (c && c->impl().hasCurrent) addSegment(c->impl(), {PathSegment::Close, {}});
}
bool CGContextIsPathEmpty(CGContextRef c) {
    return !c || c->impl().path.empty();
}
CGPoint CGContextGetPathCurrentPoint(CGContextRef c) {
    return c ? currentUserPoint(c->impl()) : CGPointZero;
}

// --- clipping ---------------------------------------------------------------------------------

namespace {
void clipCurrentPath(CGContextRef c, bool evenOdd) {
    if (!c) return;
    ContextImpl& ci = c->impl();
    std::vector<PathSegment> path;
    path.swap(ci.path);
    ci.hasCurrent = false;
    clipToPath(ci, path, evenOdd);
}
}  // namespace

void CGContextClip(CGContextRef c) {
    clipCurrentPath(c, false);
}
void CGContextEOClip(CGContextRef c) {
    clipCurrentPath(c, true);
}
void CGContextClipToRect(CGContextRef c, CGRect rect) {
    if (!c) return;
    ContextImpl& ci = c->impl();
    clipToPath(ci, rectPath(ci, rect), false);
}
void CGContextClipToMask(CGContextRef c, CGRect rect, CGImageRef mask) {
    if (!c || !mask) return;
    ContextImpl& ci = c->impl();
    GState& g = ci.g();
    auto layer = std::make_shared<bd::ClipLayer>();
    if (!bd::imageReadable(mask)) {
        g.clip = IRect{};
        return;
    }
    CGAffineTransform m = imageToDevice(ci, rect, mask);
    int dx, dy;
    if (wholePixelShift(m, dx, dy)) {
        layer->image = retained(mask);
        layer->dx = dx, layer->dy = dy;
        IRect r{dx, dy, dx + int(mask->width()), dy + int(mask->height())};
        addClipLayer(ci, std::move(layer), r);
        return;
    }
    IRect region = bd::intersect(
        transformedBounds(CGRectMake(0, 0, double(mask->width()), double(mask->height())), m),
        g.clip);
    if (region.empty()) {
        g.clip = IRect{};
        return;
    }
    layer->raster = bd::renderImage(mask, m, region, true, sampling(ci, mask), g.antialias);
    if (!layer->raster.data) {
        g.clip = IRect{};
        return;
    }
    addClipLayer(ci, std::move(layer), region);
}
CGRect CGContextGetClipBoundingBox(CGContextRef c) {
    if (!c) return CGRectNull;
    ContextImpl& ci = c->impl();
    IRect r = ci.g().clip;
    if (r.empty()) return CGRectNull;
    CGRect d = CGRectMake(r.x0, r.y0, r.width(), r.height());
    return CGRectApplyAffineTransform(d, CGAffineTransformInvert(ci.g().ctm));
}

// --- painting ---------------------------------------------------------------------------------

void CGContextFillPath(CGContextRef c) {
    if (!c) return;
    ContextImpl& ci = c->impl();
    std::vector<PathSegment> path;
    path.swap(ci.path);
    ci.hasCurrent = false;
    fillPath(ci, path, false, ci.g().blendMode, ci.g().fill);
}
void CGContextEOFillPath(CGContextRef c) {
    if (!c) return;
    ContextImpl& ci = c->impl();
    std::vector<PathSegment> path;
    path.swap(ci.path);
    ci.hasCurrent = false;
    fillPath(ci, path, true, ci.g().blendMode, ci.g().fill);
}
void CGContextFillRect(CGContextRef c, CGRect rect) {
    if (c) fillRect(c->impl(), rect, c->impl().g().blendMode, c->impl().g().fill);
}
void CGContextFillEllipseInRect(CGContextRef c, CGRect rect) {
    if (!c) return;
    ContextImpl& ci = c->impl();
    rect = CGRectStandardize(rect);
    std::vector<PathSegment> saved;
    saved.swap(ci.path);
    bool hadCurrent = ci.hasCurrent;
    CGPoint current = ci.current, start = ci.start;
    ci.hasCurrent = false;
    double cx = CGRectGetMidX(rect), cy = CGRectGetMidY(rect);
    double rx = rect.size.width / 2, ry = rect.size.height / 2;
    CGContextSaveGState(c);
    CGContextTranslateCTM(c, cx, cy);
    CGContextScaleCTM(c, rx > 0 ? rx : 0, ry > 0 ? ry : 0);
    moveTo(ci, CGPointMake(1, 0));
    arcCurves(ci, 0, 0, 1, 0, 2 * M_PI);
    addSegment(ci, {PathSegment::Close, {}});
    std::vector<PathSegment> ellipse;
    ellipse.swap(ci.path);
    CGContextRestoreGState(c);
    fillPath(ci, ellipse, false, ci.g().blendMode, ci.g().fill);
    ci.path.swap(saved);
    ci.hasCurrent = hadCurrent, ci.current = current, ci.start = start;
}
void CGContextClearRect(CGContextRef c, CGRect rect) {
    if (c) fillRect(c->impl(), rect, kCGBlendModeClear, 0);
}

void CGContextDrawImage(CGContextRef c, CGRect rect, CGImageRef image) {
    if (!c || !image || !bd::imageReadable(image)) return;
    ContextImpl& ci = c->impl();
    GState& g = ci.g();
    CGBlendMode mode = g.blendMode;
    CGAffineTransform m = imageToDevice(ci, rect, image);
    int dx, dy;
    bool direct = wholePixelShift(m, dx, dy);
    IRect placed = direct
                       ? IRect{dx, dy, dx + int(image->width()), dy + int(image->height())}
                       : transformedBounds(
                             CGRectMake(0, 0, double(image->width()), double(image->height())), m);
    IRect region = bd::intersect(placed, g.clip);
    if (region.empty()) return;

    if (image->isMask()) {
        // An image mask paints the fill colour where it lets paint through.
        if (direct) {
            size_t n = size_t(region.width());
            ci.reserve(n);
            std::fill(ci.solidRow.begin(), ci.solidRow.begin() + long(n), g.fill);
            const uint32_t* solid = ci.solidRow.data();
            uint8_t* tmp = ci.shapeRow.data();
            paint(
                ci, region, mode, [solid](int, int, size_t, uint32_t*) { return solid; },
                [&](int y, int x, size_t count) {
                    return bd::imageRowCoverage(image, size_t(y - dy), size_t(x - dx), count, tmp);
                });
        } else {
            Raster shape =
                bd::renderImage(image, m, region, true, sampling(ci, image), g.antialias);
            if (shape.data) fillSolid(ci, region, mode, g.fill, &shape);
        }
        return;
    }

    if (direct) {
        // A bitmap laid 1:1 over the whole of a clear context becomes its content: share it.
        bool sameLayout =
            ci.gray ? (image->colorSpace() &&
                       image->colorSpace()->model() == kCGColorSpaceModelMonochrome &&
                       image->bitsPerPixel() == 8 && image->alphaInfo() == kCGImageAlphaNone &&
                       image->bytesPerRow() == image->width())
                    : (image->isARGB32() && image->bytesPerRow() == image->width() * 4 &&
                       (reinterpret_cast<uintptr_t>(image->bytes()) & 3) == 0);
        if (sameLayout && !ci.external && ci.content == ContextImpl::Content::Clear &&
            isFastMode(mode) && g.clips.empty() && g.alpha == 1 && region == ci.bounds() &&
            placed == ci.bounds() && image->dataProvider()->buffer()) {
            const uint8_t* first = image->bytes();
            ci.shared = std::shared_ptr<const uint8_t[]>(image->dataProvider()->buffer(), first);
            ci.content = ContextImpl::Content::Shared;
            return;
        }
        paint(
            ci, region, mode,
            [&](int y, int x, size_t count, uint32_t* tmp) {
                return bd::imageRowARGB(image, size_t(y - dy), size_t(x - dx), count, tmp);
            },
            noShape);
        return;
    }
    Raster drawn = bd::renderImage(image, m, region, false, sampling(ci, image), g.antialias);
    if (!drawn.data) return;
    paint(
        ci, region, mode,
        [&](int y, int x, size_t, uint32_t*) {
            return reinterpret_cast<const uint32_t*>(drawn.row(y)) + (x - drawn.rect.x0);
        },
        noShape);
}
