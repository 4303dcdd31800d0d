#include <cmath>

#include "CoreGraphics/CGContextPrivate.h"
#include "CoreGraphics/CGHandlesPrivate.h"

// Blending rows in every mode (our kernels for the common three, pixman's combiners for the
// rest), coverage from the clip, the deferred fill of a clear context, filling shapes and
// clip layers.

namespace bd {
namespace cg {
namespace {

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

// Coverage of one row from the shape, every clip layer and the global alpha, built in cov
// (layer is scratch for the layers' own rows); null when full.
const uint8_t* clipCoverageRow(const std::vector<std::shared_ptr<const bd::ClipLayer>>& clips,
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

}  // namespace

bool isFastMode(CGBlendMode m) {
    return m == kCGBlendModeNormal || m == kCGBlendModeMultiply || m == kCGBlendModeOverlay ||
           m == kCGBlendModePlusDarker;
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
    PixmanImage si(
        pixman_image_create_bits(PIXMAN_a8r8g8b8, int(n), 1, const_cast<uint32_t*>(s), int(n * 4)));
    PixmanImage di(pixman_image_create_bits(PIXMAN_a8r8g8b8, int(n), 1, full, int(n * 4)));
    if (si && di)
        pixman_image_composite32(pixmanOp(mode), si.get(), nullptr, di.get(), 0, 0, 0, 0, 0, 0,
                                 int(n), 1);
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

const uint8_t* coverageRow(ContextImpl& c, int y, int x, size_t n, const uint8_t* shape) {
    return clipCoverageRow(c.g().clips, c.g().alpha, y, x, n, shape, c.covRow.data(),
                           c.layerRow.data());
}
}  // namespace cg

void ContextImpl::fillRow(int y, int x, size_t n, uint32_t* out) {
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
    const uint8_t* cov = cg::clipCoverageRow(fill.clips, fill.alpha, y, x, n, nullptr,
                                             fillCov.data(), fillLayer.data());
    px::composite(px::Blend::Normal, fillColour.data(), cov, nullptr, out, n);
}

namespace cg {

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
}  // namespace cg
}  // namespace bd
