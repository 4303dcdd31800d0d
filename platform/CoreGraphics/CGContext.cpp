#include "CoreGraphics/CGContext.h"

#include <cmath>
#include <numbers>

#include "CoreGraphics/CGContextPrivate.h"

// Bitmap contexts: creation and layouts, the graphics state, clipping and painting. The
// compositor and the path machinery live in CGContextCompositor.cpp and CGContextPath.cpp.

using bd::ContextImpl;
using bd::GState;
using bd::IRect;
using bd::PathSegment;
using bd::Raster;
using namespace bd::cg;

CGContext::CGContext(std::unique_ptr<bd::ContextImpl> impl) : _impl(std::move(impl)) {}
CGContext::~CGContext() = default;

namespace {
uint32_t premultipliedColor(double r, double g, double b, double a) {
    auto clamp01 = [](double v) { return v > 0 ? (v < 1 ? v : 1.0) : 0.0; };  // NaN -> 0
    a = clamp01(a);
    auto ch = [a, &clamp01](double v) { return uint32_t(std::lround(clamp01(v) * a * 255)); };
    return uint32_t(std::lround(a * 255)) << 24 | ch(r) << 16 | ch(g) << 8 | ch(b);
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
    arcCurves(ci, 0, 0, 1, 0, 2 * std::numbers::pi);
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
