#include "QuartzCore/CARenderer.h"

#include <cairo.h>
#include <pixman.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "CoreGraphics/CGColorSpace.h"
#include "QuartzCore/CAHomography.h"
#include "QuartzCore/CATransform3D.h"

namespace {

using bd::H3;

// A layer's bounds space -> its superlayer's bounds space, as presented at time t.
H3 toSuperlayer(CALayer* l, CALayer* super, const CATransform3D& superSublayerTransform, double t) {
    return bd::layerToSuperlayer(l, l->presentationTransform(t), super, superSublayerTransform);
}

// Whether h maps the plane affinely over a region of the given extent (no perspective term that
// changes w by a visible amount). An affine h is normalised so that w = 1.
bool normaliseAffine(H3& h, double extent) {
    double w = h.m[2][2];
    if (!(w > 0)) return false;
    if ((std::fabs(h.m[0][2]) + std::fabs(h.m[1][2])) * extent > 1e-9 * w) return false;
    for (auto& row : h.m)
        for (double& v : row) v /= w;
    h.m[0][2] = h.m[1][2] = 0;
    h.m[2][2] = 1;
    return true;
}

void setCairoMatrix(cairo_t* cr, const H3& h) {
    cairo_matrix_t cm;
    cairo_matrix_init(&cm, h.m[0][0], h.m[0][1], h.m[1][0], h.m[1][1], h.m[2][0], h.m[2][1]);
    cairo_set_matrix(cr, &cm);
}

// Where the contents go in the bounds for a gravity; size is the contents' size in points.
CGRect contentsRect(CGRect b, CGSize size, int gravity) {
    double w = size.width, h = size.height;
    double bx = b.origin.x, by = b.origin.y, bw = b.size.width, bh = b.size.height;
    switch (gravity) {
        case kCALayerGravityResizeAspect:
        case kCALayerGravityResizeAspectFill: {
            if (!(w > 0) || !(h > 0)) return CGRectNull;
            double s = gravity == kCALayerGravityResizeAspect ? std::min(bw / w, bh / h)
                                                              : std::max(bw / w, bh / h);
            w *= s;
            h *= s;
            return {{bx + (bw - w) / 2, by + (bh - h) / 2}, {w, h}};
        }
        case kCALayerGravityCenter:
            return {{bx + (bw - w) / 2, by + (bh - h) / 2}, {w, h}};
        case kCALayerGravityTop:
            return {{bx + (bw - w) / 2, by}, {w, h}};
        case kCALayerGravityBottom:
            return {{bx + (bw - w) / 2, by + bh - h}, {w, h}};
        case kCALayerGravityLeft:
            return {{bx, by + (bh - h) / 2}, {w, h}};
        case kCALayerGravityRight:
            return {{bx + bw - w, by + (bh - h) / 2}, {w, h}};
        case kCALayerGravityTopLeft:
            return {{bx, by}, {w, h}};
        case kCALayerGravityTopRight:
            return {{bx + bw - w, by}, {w, h}};
        case kCALayerGravityBottomLeft:
            return {{bx, by + bh - h}, {w, h}};
        case kCALayerGravityBottomRight:
            return {{bx + bw - w, by + bh - h}, {w, h}};
        default:  // Resize, Redraw and anything unknown
            return b;
    }
}

// ---------------------------------------------------------------------------------------------
// Pictures as cairo surfaces

cairo_surface_t* newSurface(int w, int h) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        return nullptr;
    }
    return s;
}

uint32_t premultiply(uint32_t a, uint32_t r, uint32_t g, uint32_t b) {
    auto mul = [](uint32_t c, uint32_t a) {
        uint32_t t = c * a + 128;
        return (t + (t >> 8)) >> 8;
    };
    return a << 24 | mul(r, a) << 16 | mul(g, a) << 8 | mul(b, a);
}

// A copy of a bitmap in a layout other than ARGB32 (gray, gray with alpha, RGB, RGBA or ARGB
// in either byte order, premultiplied or not), or null for layouts that aren't pictures.
cairo_surface_t* convertImage(CGImage* img) {
    if (img->isMask() || img->bitsPerComponent() != 8) return nullptr;
    size_t w = img->width(), h = img->height(), bpp = img->bitsPerPixel() / 8;
    size_t comps = img->colorSpace() ? img->colorSpace()->numberOfComponents() : 3;
    CGImageAlphaInfo alpha = img->alphaInfo();
    bool hasAlpha = alpha != kCGImageAlphaNone && alpha != kCGImageAlphaNoneSkipFirst &&
                    alpha != kCGImageAlphaNoneSkipLast;
    bool alphaFirst = alpha == kCGImageAlphaPremultipliedFirst || alpha == kCGImageAlphaFirst ||
                      alpha == kCGImageAlphaNoneSkipFirst;
    bool premultiplied =
        alpha == kCGImageAlphaPremultipliedFirst || alpha == kCGImageAlphaPremultipliedLast;
    bool hasExtra = alpha != kCGImageAlphaNone;  // a channel besides the colour ones
    if (alpha == kCGImageAlphaOnly) return nullptr;
    if (bpp < comps + (hasExtra ? 1 : 0)) return nullptr;
    CGBitmapInfo order = img->bitmapInfo() & kCGBitmapByteOrderMask;
    bool little32 = order == kCGBitmapByteOrder32Little && bpp == 4;
    cairo_surface_t* s = newSurface(int(w), int(h));
    if (!s) return nullptr;
    uint8_t* dst = cairo_image_surface_get_data(s);
    size_t dstride = size_t(cairo_image_surface_get_stride(s));
    const uint8_t* src = img->bytes();
    size_t sstride = img->bytesPerRow();
    for (size_t y = 0; y < h; ++y) {
        const uint8_t* row = src + y * sstride;
        uint32_t* out = reinterpret_cast<uint32_t*>(dst + y * dstride);
        for (size_t x = 0; x < w; ++x) {
            uint8_t px[4] = {0, 0, 0, 0};
            const uint8_t* p = row + x * bpp;
            size_t n = std::min<size_t>(bpp, 4);
            for (size_t i = 0; i < n; ++i) px[i] = little32 ? p[n - 1 - i] : p[i];
            size_t c0 = hasExtra && alphaFirst ? 1 : 0;
            uint32_t a = 255;
            if (hasAlpha) a = hasExtra && alphaFirst ? px[0] : px[comps];
            uint32_t r, g, b;
            if (comps == 1) {
                r = g = b = px[c0];
            } else {
                r = px[c0], g = px[c0 + 1], b = px[c0 + 2];
            }
            if (premultiplied) {
                r = std::min(r, a), g = std::min(g, a), b = std::min(b, a);
                out[x] = a << 24 | r << 16 | g << 8 | b;
            } else {
                out[x] = premultiply(a, r, g, b);
            }
        }
    }
    cairo_surface_mark_dirty(s);
    return s;
}

// Half the size (rounded up), each pixel the mean of the 2 x 2 block it covers.
cairo_surface_t* halve(cairo_surface_t* src) {
    int sw = cairo_image_surface_get_width(src), sh = cairo_image_surface_get_height(src);
    int w = (sw + 1) / 2, h = (sh + 1) / 2;
    cairo_surface_t* s = newSurface(w, h);
    if (!s) return nullptr;
    cairo_surface_flush(src);
    const uint8_t* sd = cairo_image_surface_get_data(src);
    int ss = cairo_image_surface_get_stride(src);
    uint8_t* dd = cairo_image_surface_get_data(s);
    int ds = cairo_image_surface_get_stride(s);
    for (int y = 0; y < h; ++y) {
        const uint32_t* r0 = reinterpret_cast<const uint32_t*>(sd + size_t(2 * y) * size_t(ss));
        const uint32_t* r1 = reinterpret_cast<const uint32_t*>(
            sd + size_t(std::min(2 * y + 1, sh - 1)) * size_t(ss));
        uint32_t* out = reinterpret_cast<uint32_t*>(dd + size_t(y) * size_t(ds));
        for (int x = 0; x < w; ++x) {
            int x0 = 2 * x, x1 = std::min(2 * x + 1, sw - 1);
            uint32_t p[4] = {r0[x0], r0[x1], r1[x0], r1[x1]};
            uint32_t v = 0;
            for (int shift = 0; shift < 32; shift += 8) {
                uint32_t sum = 2;
                for (uint32_t q : p) sum += (q >> shift) & 0xFF;
                v |= (sum >> 2) << shift;
            }
            out[x] = v;
        }
    }
    cairo_surface_mark_dirty(s);
    return s;
}

struct Picture {
    Ref<CGImage> image;                    // kept so that the bytes stay
    std::vector<cairo_surface_t*> levels;  // [0]: the picture, then halved copies
    uint64_t lastUsed = 0;

    Picture() = default;
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;
    ~Picture() {
        for (cairo_surface_t* s : levels) cairo_surface_destroy(s);
    }
};

// Pictures not drawn in this many renders are let go.
constexpr uint64_t kPictureKeepRenders = 32;
// Largest bitmap a perspective layer is drawn into before it is warped.
constexpr double kMaxWarpPixels = 8.0 * 1024 * 1024;
constexpr double kMaxWarpSide = 8192;

}  // namespace

// ---------------------------------------------------------------------------------------------

struct CARenderer::Impl {
    cairo_surface_t* surface = nullptr;
    cairo_surface_t* own = nullptr;  // the renderer's bitmap while the caller's memory is drawn
    int width = 0, height = 0;
    double scale = 1;
    uint64_t renderCount = 0;
    std::unordered_map<CGImage*, std::unique_ptr<Picture>> pictures;

    ~Impl() {
        pictures.clear();
        if (surface) cairo_surface_destroy(surface);
        if (own) cairo_surface_destroy(own);
    }

    Picture* picture(CGImage* img) {
        auto it = pictures.find(img);
        if (it != pictures.end()) {
            it->second->lastUsed = renderCount;
            return it->second->levels.empty() ? nullptr : it->second.get();
        }
        auto p = std::make_unique<Picture>();
        p->image = img;
        p->lastUsed = renderCount;
        cairo_surface_t* s = nullptr;
        if (img->isARGB32()) {
            // Drawn from the picture's own bytes; cairo only reads a source surface.
            s = cairo_image_surface_create_for_data(const_cast<uint8_t*>(img->bytes()),
                                                    CAIRO_FORMAT_ARGB32, int(img->width()),
                                                    int(img->height()), int(img->bytesPerRow()));
            if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
                cairo_surface_destroy(s);
                s = nullptr;
            }
        } else {
            s = convertImage(img);
        }
        if (s) p->levels.push_back(s);
        Picture* raw = p.get();
        pictures.emplace(img, std::move(p));
        return s ? raw : nullptr;
    }

    // The level to draw at a scale of `s` device pixels per picture pixel: halved copies
    // until one more halving would enlarge it.
    cairo_surface_t* level(Picture* p, double s) {
        size_t l = 0;
        while (s * 2 <= 1.0 + 1e-9) {
            if (l + 1 >= p->levels.size()) {
                cairo_surface_t* last = p->levels.back();
                if (cairo_image_surface_get_width(last) < 2 &&
                    cairo_image_surface_get_height(last) < 2)
                    break;
                cairo_surface_t* h = halve(last);
                if (!h) break;
                p->levels.push_back(h);
            }
            ++l;
            s *= 2;
        }
        return p->levels[l];
    }

    void evict() {
        for (auto it = pictures.begin(); it != pictures.end();) {
            if (renderCount - it->second->lastUsed > kPictureKeepRenders)
                it = pictures.erase(it);
            else
                ++it;
        }
    }

    // ----- drawing

    // How many separate things a layer draws (background, contents, visible sublayers), up to 2:
    // with more than one, opacity needs a group.
    int primitiveCount(CALayer* l, double t) {
        int n = 0;
        if (l->backgroundColor().alpha > 0) ++n;
        if (l->contentsAtTime(t)) ++n;
        for (auto& s : l->sublayers()) {
            if (n > 1) break;
            if (!s->isHidden() && s->presentationOpacity(t) > 0) ++n;
        }
        return n;
    }

    void drawTree(cairo_t* cr, CALayer* l, H3 h, double t, double inherited) {
        if (l->isHidden()) return;
        double op = std::clamp(double(l->presentationOpacity(t)), 0.0, 1.0) * inherited;
        if (!(op > 0) || !h.finite()) return;
        CGRect b = l->bounds();
        double extent = std::max({std::fabs(b.origin.x) + std::fabs(b.size.width),
                                  std::fabs(b.origin.y) + std::fabs(b.size.height), 1.0});
        if (!normaliseAffine(h, extent * 4)) {
            drawWarped(cr, l, h, t, op);
            return;
        }
        bool group = op < 1 && primitiveCount(l, t) > 1;
        cairo_save(cr);
        if (group) cairo_push_group(cr);
        drawLayer(cr, l, h, t, group ? 1.0 : op);
        if (group) {
            cairo_pop_group_to_source(cr);
            cairo_identity_matrix(cr);
            cairo_paint_with_alpha(cr, op);
        }
        cairo_restore(cr);
    }

    // The layer's own drawing and its sublayers, through the affine mapping h (bounds space ->
    // target pixels), every primitive at alpha.
    void drawLayer(cairo_t* cr, CALayer* l, const H3& h, double t, double alpha) {
        double det = h.m[0][0] * h.m[1][1] - h.m[0][1] * h.m[1][0];
        if (!(std::fabs(det) > 1e-12)) return;  // flattened to a line: nothing shows
        setCairoMatrix(cr, h);
        CGRect b = CGRectStandardize(l->bounds());
        CALayerColor bg = l->backgroundColor();
        if (bg.alpha > 0 && !CGRectIsEmpty(b)) {
            cairo_rectangle(cr, b.origin.x, b.origin.y, b.size.width, b.size.height);
            cairo_set_source_rgba(cr, bg.red, bg.green, bg.blue, bg.alpha * alpha);
            cairo_fill(cr);
        }
        if (l->masksToBounds()) {
            cairo_rectangle(cr, b.origin.x, b.origin.y, b.size.width, b.size.height);
            cairo_clip(cr);
            double x0, y0, x1, y1;
            cairo_clip_extents(cr, &x0, &y0, &x1, &y1);
            if (!(x1 > x0) || !(y1 > y0)) return;
        }
        if (CGImage* img = l->contentsAtTime(t)) drawContents(cr, l, img, h, t, alpha);
        const auto& subs = l->sublayers();
        if (subs.empty()) return;
        CATransform3D st = l->presentationSublayerTransform(t);
        // alpha < 1 only reaches a layer that draws one thing (see drawTree): when that is its
        // one visible sublayer, the sublayer takes the alpha over.
        std::vector<Ref<CALayer>> keep(subs.begin(), subs.end());
        for (auto& s : keep) drawTree(cr, s.get(), toSuperlayer(s.get(), l, st, t) * h, t, alpha);
    }

    // Where a layer's picture goes in its bounds space.
    static CGRect placedContents(CALayer* l, CGImage* img, double t) {
        double cs = l->contentsScaleAtTime(t);
        if (!(cs > 0) || !std::isfinite(cs)) cs = 1;
        CGSize natural = {double(img->width()) / cs, double(img->height()) / cs};
        return contentsRect(CGRectStandardize(l->bounds()), natural, l->contentsGravity());
    }

    // The picture of a layer that draws nothing else (no background, no visible sublayer).
    CGImage* onlyContents(CALayer* l, double t) {
        if (l->backgroundColor().alpha > 0) return nullptr;
        for (auto& s : l->sublayers())
            if (!s->isHidden() && s->presentationOpacity(t) > 0) return nullptr;
        return l->contentsAtTime(t);
    }

    void drawContents(cairo_t* cr, CALayer* l, CGImage* img, const H3& h, double t, double alpha) {
        Picture* p = picture(img);
        if (!p) return;
        CGRect d = placedContents(l, img, t);
        if (CGRectIsNull(d) || !(d.size.width > 0) || !(d.size.height > 0)) return;
        // Device pixels per picture pixel along each picture axis.
        double sx = d.size.width / double(img->width()), sy = d.size.height / double(img->height());
        double dx = std::hypot(h.m[0][0], h.m[0][1]) * sx,
               dy = std::hypot(h.m[1][0], h.m[1][1]) * sy;
        cairo_surface_t* s = level(p, std::min(dx, dy));
        double lw = cairo_image_surface_get_width(s), lh = cairo_image_surface_get_height(s);
        cairo_pattern_t* pat = cairo_pattern_create_for_surface(s);
        cairo_matrix_t pm;
        double kx = lw / d.size.width, ky = lh / d.size.height;
        cairo_matrix_init(&pm, kx, 0, 0, ky, -d.origin.x * kx, -d.origin.y * ky);
        cairo_pattern_set_matrix(pat, &pm);
        cairo_pattern_set_extend(pat, CAIRO_EXTEND_PAD);
        // A picture that lands pixel for pixel is copied; anything else scales bilinearly.
        H3 px = H3::affine(1 / kx, 0, 0, 1 / ky, d.origin.x, d.origin.y) * h;
        bool exact = std::fabs(px.m[0][0] - 1) < 1e-9 && std::fabs(px.m[1][1] - 1) < 1e-9 &&
                     px.m[0][1] == 0 && px.m[1][0] == 0 &&
                     std::fabs(px.m[2][0] - std::round(px.m[2][0])) < 1e-9 &&
                     std::fabs(px.m[2][1] - std::round(px.m[2][1])) < 1e-9;
        cairo_pattern_set_filter(pat, exact ? CAIRO_FILTER_NEAREST : CAIRO_FILTER_BILINEAR);
        cairo_set_source(cr, pat);
        cairo_rectangle(cr, d.origin.x, d.origin.y, d.size.width, d.size.height);
        if (alpha >= 1) {
            cairo_fill(cr);
        } else {
            cairo_save(cr);
            cairo_clip(cr);
            cairo_paint_with_alpha(cr, alpha);
            cairo_restore(cr);
        }
        cairo_pattern_destroy(pat);
    }

    // The area a layer and its sublayers cover, in its bounds space.
    CGRect extentOf(CALayer* l, double t, int depth) {
        CGRect r = CGRectStandardize(l->bounds());
        if (l->masksToBounds() || depth > 64) return r;
        if (CGImage* img = l->contentsAtTime(t)) {
            CGRect d = placedContents(l, img, t);
            if (!CGRectIsNull(d)) r = CGRectUnion(r, CGRectStandardize(d));
        }
        CATransform3D st = l->presentationSublayerTransform(t);
        for (auto& s : l->sublayers()) {
            if (s->isHidden() || !(s->presentationOpacity(t) > 0)) continue;
            CGRect e = extentOf(s.get(), t, depth + 1);
            H3 h = toSuperlayer(s.get(), l, st, t);
            double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
            CGPoint c[4] = {e.origin,
                            {e.origin.x + e.size.width, e.origin.y},
                            {e.origin.x, e.origin.y + e.size.height},
                            {e.origin.x + e.size.width, e.origin.y + e.size.height}};
            for (CGPoint q : c) {
                double X, Y, W;
                h.project(q.x, q.y, &X, &Y, &W);
                if (!(W > 0)) continue;
                x0 = std::min(x0, X / W), y0 = std::min(y0, Y / W);
                x1 = std::max(x1, X / W), y1 = std::max(y1, Y / W);
            }
            if (x1 >= x0 && y1 >= y0 && std::isfinite(x0 + y0 + x1 + y1))
                r = CGRectUnion(r, {{x0, y0}, {x1 - x0, y1 - y0}});
        }
        return r;
    }

    // Fills dst with src seen through the projective mapping a (dst pixels -> src pixels, row
    // vectors), bilinear, transparent outside src. The work goes to pixman tile by tile. Over a
    // small tile a perspective mapping is affine to well under a pixel, and pixman's affine
    // bilinear path is many times faster than its projective one, so a tile where the affine
    // mapping that matches at its centre strays less than kAffineError pixels at the corners is
    // drawn affine; others are split, and at the smallest size drawn projective. pixman steps a
    // projective transform in 16.16 fixed point with 32-bit homogeneous coordinates, so every tile
    // reads from the part of src its corners map to, with coordinates local to the tile and the
    // matrix scaled to use the fixed-point range.
    struct Warp {
        uint8_t* sd;
        int sw, sh, ss;
        uint8_t* dd;
        int ds;
        H3 a;
    };
    static constexpr double kAffineError = 0.15;
    static constexpr int kTile = 128, kSmallestTile = 16;

    static void warp(cairo_surface_t* src, cairo_surface_t* dst, const H3& a) {
        Warp w{cairo_image_surface_get_data(src),
               cairo_image_surface_get_width(src),
               cairo_image_surface_get_height(src),
               cairo_image_surface_get_stride(src),
               cairo_image_surface_get_data(dst),
               cairo_image_surface_get_stride(dst),
               a};
        int dw = cairo_image_surface_get_width(dst), dh = cairo_image_surface_get_height(dst);
        for (int ty = 0; ty < dh; ty += kTile)
            for (int tx = 0; tx < dw; tx += kTile)
                warpTile(w, tx, ty, std::min(kTile, dw - tx), std::min(kTile, dh - ty));
    }

    static void warpTile(const Warp& wp, int tx, int ty, int w, int h) {
        H3 m = H3::affine(1, 0, 0, 1, tx, ty) * wp.a;
        // The images of the corners and the centre; all must lie in front for the source area
        // (their box) to be known, else the tile reads the whole source.
        double px[5], py[5];
        const double cx[5] = {0, double(w), 0, double(w), w / 2.0};
        const double cy[5] = {0, 0, double(h), double(h), h / 2.0};
        bool front = true;
        for (int c = 0; c < 5; ++c) {
            double X, Y, W;
            m.project(cx[c], cy[c], &X, &Y, &W);
            if (!(W > 0)) {
                front = false;
                break;
            }
            px[c] = X / W, py[c] = Y / W;
        }
        int bx0 = 0, by0 = 0, bx1 = wp.sw, by1 = wp.sh;
        bool affine = false;
        if (front) {
            double x0 = std::min({px[0], px[1], px[2], px[3]}),
                   x1 = std::max({px[0], px[1], px[2], px[3]});
            double y0 = std::min({py[0], py[1], py[2], py[3]}),
                   y1 = std::max({py[0], py[1], py[2], py[3]});
            if (!(x1 > -2) || !(y1 > -2) || !(x0 < wp.sw + 2) || !(y0 < wp.sh + 2)) return;
            bx0 = std::max(0, int(std::floor(x0)) - 2);
            by0 = std::max(0, int(std::floor(y0)) - 2);
            bx1 = std::min(wp.sw, int(std::ceil(x1)) + 2);
            by1 = std::min(wp.sh, int(std::ceil(y1)) + 2);
            if (bx1 <= bx0 || by1 <= by0) return;  // nothing of src: stays clear
            // The affine mapping that matches the projective one to first order at the tile's
            // centre, checked at the corners.
            double X, Y, W;
            m.project(cx[4], cy[4], &X, &Y, &W);
            const auto& q = m.m;
            double ax = (q[0][0] - px[4] * q[0][2]) / W, ay = (q[0][1] - py[4] * q[0][2]) / W;
            double bx = (q[1][0] - px[4] * q[1][2]) / W, by = (q[1][1] - py[4] * q[1][2]) / W;
            double worst = 0;
            for (int c = 0; c < 4; ++c) {
                double dx = cx[c] - cx[4], dy = cy[c] - cy[4];
                worst = std::max(worst, std::hypot(px[4] + ax * dx + bx * dy - px[c],
                                                   py[4] + ay * dx + by * dy - py[c]));
            }
            affine = worst <= kAffineError;
            if (affine)
                m = H3::affine(ax, ay, bx, by, px[4] - ax * cx[4] - bx * cy[4],
                               py[4] - ay * cx[4] - by * cy[4]);
        }
        if (!affine && (w > kSmallestTile || h > kSmallestTile)) {
            // Split across the direction in which the depth changes most (a turn about the y
            // axis changes it along x only, so its tiles become tall strips).
            double dwx = std::fabs(m.m[0][2]) * w, dwy = std::fabs(m.m[1][2]) * h;
            bool splitX = w > kSmallestTile && !(dwy > 2 * dwx && h > kSmallestTile);
            bool splitY = h > kSmallestTile && !(dwx > 2 * dwy && splitX);
            int hw = splitX ? w / 2 : w, hh = splitY ? h / 2 : h;
            warpTile(wp, tx, ty, hw, hh);
            if (splitX) warpTile(wp, tx + hw, ty, w - hw, hh);
            if (splitY) warpTile(wp, tx, ty + hh, hw, h - hh);
            if (splitX && splitY) warpTile(wp, tx + hw, ty + hh, w - hw, h - hh);
            return;
        }
        m = m * H3::affine(1, 0, 0, 1, -bx0, -by0);
        pixman_transform_t pt;
        if (affine) {
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j)
                    pt.matrix[i][j] = pixman_double_to_fixed(m.m[j][i]);  // transposed
        } else {
            double big = 0;
            for (int c = 0; c < 4; ++c) {
                double X, Y, W;
                m.project(cx[c], cy[c], &X, &Y, &W);
                big = std::max({big, std::fabs(X), std::fabs(Y), std::fabs(W)});
            }
            for (auto& row : m.m)
                for (double v : row) big = std::max(big, std::fabs(v));
            if (!(big > 0) || !std::isfinite(big)) return;
            double f = 8192.0 / big;
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) pt.matrix[i][j] = pixman_double_to_fixed(m.m[j][i] * f);
        }
        pixman_image_t* si = pixman_image_create_bits(
            PIXMAN_a8r8g8b8, bx1 - bx0, by1 - by0,
            reinterpret_cast<uint32_t*>(wp.sd + size_t(by0) * size_t(wp.ss) + size_t(bx0) * 4),
            wp.ss);
        pixman_image_t* di = pixman_image_create_bits(
            PIXMAN_a8r8g8b8, w, h,
            reinterpret_cast<uint32_t*>(wp.dd + size_t(ty) * size_t(wp.ds) + size_t(tx) * 4),
            wp.ds);
        if (si && di) {
            pixman_image_set_transform(si, &pt);
            pixman_image_set_filter(si, PIXMAN_FILTER_BILINEAR, nullptr, 0);
            pixman_image_set_repeat(si, PIXMAN_REPEAT_NONE);
            pixman_image_composite32(PIXMAN_OP_SRC, si, nullptr, di, 0, 0, 0, 0, 0, 0, w, h);
        }
        if (si) pixman_image_unref(si);
        if (di) pixman_image_unref(di);
    }

    // A layer under a perspective mapping h (bounds space -> target pixels): its drawing and
    // its sublayers go into a bitmap of their own, which pixman warps onto the target. Only the
    // part of the layer in front of the viewer and inside the target's clip is drawn.
    void drawWarped(cairo_t* cr, CALayer* l, const H3& h, double t, double op) {
        cairo_save(cr);
        cairo_identity_matrix(cr);
        double cx0, cy0, cx1, cy1;
        cairo_clip_extents(cr, &cx0, &cy0, &cx1, &cy1);
        cairo_restore(cr);
        cx0 -= 1, cy0 -= 1, cx1 += 1, cy1 += 1;
        if (!(cx1 > cx0) || !(cy1 > cy0)) return;

        // The layer's area, cut down to what lies in front of the viewer (w > 0) and projects
        // inside the clip: each condition is a half-plane of the layer's own plane.
        CGRect e = extentOf(l, t, 0);
        if (CGRectIsEmpty(e)) return;
        std::vector<CGPoint> poly = {e.origin,
                                     {e.origin.x + e.size.width, e.origin.y},
                                     {e.origin.x + e.size.width, e.origin.y + e.size.height},
                                     {e.origin.x, e.origin.y + e.size.height}};
        const auto& m = h.m;
        double scaleW = std::fabs(m[0][2]) + std::fabs(m[1][2]) + std::fabs(m[2][2]);
        // Half-planes a·x + b·y + c >= 0.
        double planes[5][3] = {
            {m[0][2], m[1][2], m[2][2] - 1e-7 * scaleW},  // w > 0
            {m[0][0] - cx0 * m[0][2], m[1][0] - cx0 * m[1][2],
             m[2][0] - cx0 * m[2][2]},  // X >= x0 W
            {cx1 * m[0][2] - m[0][0], cx1 * m[1][2] - m[1][0],
             cx1 * m[2][2] - m[2][0]},  // X <= x1 W
            {m[0][1] - cy0 * m[0][2], m[1][1] - cy0 * m[1][2],
             m[2][1] - cy0 * m[2][2]},  // Y >= y0 W
            {cy1 * m[0][2] - m[0][1], cy1 * m[1][2] - m[1][1],
             cy1 * m[2][2] - m[2][1]},  // Y <= y1 W
        };
        for (auto& pl : planes) {
            std::vector<CGPoint> out;
            size_t n = poly.size();
            for (size_t i = 0; i < n; ++i) {
                CGPoint a = poly[i], b = poly[(i + 1) % n];
                double da = pl[0] * a.x + pl[1] * a.y + pl[2];
                double db = pl[0] * b.x + pl[1] * b.y + pl[2];
                if (da >= 0) out.push_back(a);
                if ((da >= 0) != (db >= 0)) {
                    double s = da / (da - db);
                    out.push_back({a.x + (b.x - a.x) * s, a.y + (b.y - a.y) * s});
                }
            }
            poly.swap(out);
            if (poly.size() < 3) return;
        }

        // Projected outline, its pixel box, and the resolution of the layer's own bitmap: the
        // largest magnification the mapping has at any corner.
        std::vector<CGPoint> screen;
        double ou0 = INFINITY, ov0 = INFINITY, ou1 = -INFINITY, ov1 = -INFINITY;
        double tx0 = INFINITY, ty0 = INFINITY, tx1 = -INFINITY, ty1 = -INFINITY;
        double k = 0;
        for (CGPoint p : poly) {
            double X, Y, W;
            h.project(p.x, p.y, &X, &Y, &W);
            if (!(W > 0)) return;
            double x = X / W, y = Y / W;
            screen.push_back({x, y});
            tx0 = std::min(tx0, x), ty0 = std::min(ty0, y);
            tx1 = std::max(tx1, x), ty1 = std::max(ty1, y);
            ou0 = std::min(ou0, p.x), ov0 = std::min(ov0, p.y);
            ou1 = std::max(ou1, p.x), ov1 = std::max(ov1, p.y);
            double dxdu = (m[0][0] - x * m[0][2]) / W, dydu = (m[0][1] - y * m[0][2]) / W;
            double dxdv = (m[1][0] - x * m[1][2]) / W, dydv = (m[1][1] - y * m[1][2]) / W;
            k = std::max({k, std::hypot(dxdu, dydu), std::hypot(dxdv, dydv)});
        }
        if (!(k > 0) || !std::isfinite(k)) return;
        double magnification = k;
        int ix0 = int(std::floor(std::max(tx0, cx0))), iy0 = int(std::floor(std::max(ty0, cy0)));
        int ix1 = int(std::ceil(std::min(tx1, cx1))), iy1 = int(std::ceil(std::min(ty1, cy1)));
        if (ix1 <= ix0 || iy1 <= iy0) return;
        int tw = ix1 - ix0, th = iy1 - iy0;

        // Near the horizon the magnification grows without bound; the layer's bitmap never needs
        // many more pixels than the area it lands on.
        double uw = ou1 - ou0, vh = ov1 - ov0;
        if (!(uw > 0) || !(vh > 0)) return;
        double budget = std::min(kMaxWarpPixels, std::max(4.0 * tw * th, 65536.0));
        k = std::min(k, kMaxWarpSide / std::max(uw, vh));
        if (uw * vh * k * k > budget) k = std::sqrt(budget / (uw * vh));
        int ow = std::max(1, int(std::ceil(uw * k))), oh = std::max(1, int(std::ceil(vh * k)));

        // The source of the warp: a layer that shows nothing but a picture is warped straight
        // from the picture; any other is drawn first into a bitmap of k pixels per point.
        cairo_surface_t* own = nullptr;
        H3 toOwn;
        bool borrowed = false;
        if (CGImage* img = onlyContents(l, t)) {
            Picture* p = picture(img);
            CGRect d = placedContents(l, img, t);
            if (!p || CGRectIsNull(d) || !(d.size.width > 0) || !(d.size.height > 0)) return;
            own = level(p, magnification * d.size.width / double(img->width()));
            double lw = cairo_image_surface_get_width(own),
                   lh = cairo_image_surface_get_height(own);
            double kx = lw / d.size.width, ky = lh / d.size.height;
            toOwn = H3::affine(kx, 0, 0, ky, -d.origin.x * kx, -d.origin.y * ky);
            borrowed = true;
        } else {
            own = newSurface(ow, oh);
            if (!own) return;
            toOwn = H3::affine(k, 0, 0, k, -ou0 * k, -ov0 * k);
            cairo_t* oc = cairo_create(own);
            drawLayer(oc, l, toOwn, t, 1.0);
            cairo_destroy(oc);
        }
        cairo_surface_flush(own);

        // Target pixels -> the layer's bitmap: through the inverse of h.
        H3 inv;
        cairo_surface_t* warped = nullptr;
        if (h.inverse(&inv)) warped = newSurface(tw, th);
        if (warped) {
            cairo_surface_flush(warped);
            warp(own, warped, H3::affine(1, 0, 0, 1, ix0, iy0) * inv * toOwn);
            cairo_surface_mark_dirty(warped);
            // Only the projected outline shows: outside it the inverse mapping reaches points
            // behind the viewer.
            cairo_save(cr);
            cairo_identity_matrix(cr);
            cairo_move_to(cr, screen[0].x, screen[0].y);
            for (size_t i = 1; i < screen.size(); ++i) cairo_line_to(cr, screen[i].x, screen[i].y);
            cairo_close_path(cr);
            cairo_clip(cr);
            cairo_set_source_surface(cr, warped, ix0, iy0);
            cairo_paint_with_alpha(cr, op);
            cairo_restore(cr);
            cairo_surface_destroy(warped);
        }
        if (!borrowed) cairo_surface_destroy(own);
    }
};

CARenderer::CARenderer(int width, int height, double scale) : _impl(std::make_unique<Impl>()) {
    int side = int(bd::kMaxImageSide);
    _impl->width = std::clamp(width, 1, side);
    _impl->height = std::clamp(height, 1, side);
    _impl->scale = scale > 0 && std::isfinite(scale) ? scale : 1;
    _impl->surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, _impl->width, _impl->height);
    clear({0, 0, 0, 1});
}

CARenderer::~CARenderer() = default;

int CARenderer::width() const {
    return _impl->width;
}
int CARenderer::height() const {
    return _impl->height;
}
double CARenderer::scale() const {
    return _impl->scale;
}
const uint8_t* CARenderer::pixels() const {
    cairo_surface_flush(_impl->surface);
    return cairo_image_surface_get_data(_impl->surface);
}
size_t CARenderer::stride() const {
    return size_t(cairo_image_surface_get_stride(_impl->surface));
}

void CARenderer::setTarget(uint8_t* pixels, size_t stride) {
    Impl& m = *_impl;
    cairo_surface_t* next = m.own;
    if (pixels) {
        if (stride < size_t(m.width) * 4 || stride % 4 != 0 || stride > size_t(INT32_MAX)) return;
        next = cairo_image_surface_create_for_data(pixels, CAIRO_FORMAT_ARGB32, m.width,
                                                   m.height, int(stride));
        if (cairo_surface_status(next) != CAIRO_STATUS_SUCCESS) {
            cairo_surface_destroy(next);
            return;
        }
    }
    if (!next) return;  // already drawing into its own bitmap
    if (m.own)
        cairo_surface_destroy(m.surface);  // a caller's target before this one
    else
        m.own = m.surface;
    m.surface = next;
    if (m.surface == m.own) m.own = nullptr;
}

void CARenderer::clear(CALayerColor c) {
    cairo_t* cr = cairo_create(_impl->surface);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
    cairo_paint(cr);
    cairo_destroy(cr);
}

void CARenderer::render(CALayer* root, double mediaTime) {
    BD_ASSERT_MAIN_THREAD();
    if (!root) return;
    Ref<CALayer> keep(root);
    ++_impl->renderCount;
    cairo_t* cr = cairo_create(_impl->surface);
    double s = _impl->scale;
    H3 h = toSuperlayer(root, nullptr, CATransform3DIdentity, mediaTime) *
           H3::affine(s, 0, 0, s, 0, 0);
    _impl->drawTree(cr, root, h, mediaTime, 1.0);
    cairo_destroy(cr);
    cairo_surface_flush(_impl->surface);
    _impl->evict();
}

CGImageRef CARenderer::createImage() const {
    size_t w = size_t(_impl->width), h = size_t(_impl->height), st = stride();
    std::shared_ptr<uint8_t[]> copy(new uint8_t[w * h * 4]);
    const uint8_t* src = pixels();
    for (size_t y = 0; y < h; ++y) std::memcpy(copy.get() + y * w * 4, src + y * st, w * 4);
    return bd::createARGB32Image(w, h, std::move(copy));
}

size_t CARenderer::cachedPictureCount() const {
    return _impl->pictures.size();
}
