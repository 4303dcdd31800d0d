#include "QuartzCore/CAPainter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "CoreGraphics/CGHandlesPrivate.h"
#include "QuartzCore/CABilinearSpans.h"

namespace bd {
namespace {

// Largest bitmap a perspective layer is drawn into before it is warped.
constexpr double kMaxWarpPixels = 8.0 * 1024 * 1024;
constexpr double kMaxWarpSide = 8192;

void setCairoMatrix(cairo_t* cr, const H3& h) {
    cairo_matrix_t cm;
    cairo_matrix_init(&cm, h.m[0][0], h.m[0][1], h.m[1][0], h.m[1][1], h.m[2][0], h.m[2][1]);
    cairo_set_matrix(cr, &cm);
}

WarpBitmap bitmapOf(cairo_surface_t* s) {
    return {cairo_image_surface_get_data(s), cairo_image_surface_get_width(s),
            cairo_image_surface_get_height(s), size_t(cairo_image_surface_get_stride(s))};
}

void clipTo(cairo_t* cr, const DisplayItem& it) {
    CGRect b = CGRectStandardize(it.layer->bounds());
    setCairoMatrix(cr, it.h);
    cairo_rectangle(cr, b.origin.x, b.origin.y, b.size.width, b.size.height);
    cairo_clip(cr);
}

// Device pixels per picture pixel of an item's picture, and the level of it to draw.
cairo_surface_t* levelFor(CAPictureCache& pictures, CAPicture* p, const DisplayItem& it) {
    const H3& h = it.h;
    const CGRect& d = it.placed;
    double sx = d.size.width / double(it.image->width()),
           sy = d.size.height / double(it.image->height());
    double dx = std::hypot(h.m[0][0], h.m[0][1]) * sx, dy = std::hypot(h.m[1][0], h.m[1][1]) * sy;
    return pictures.level(p, std::min(dx, dy));
}

}  // namespace

Canvas Canvas::regional(cairo_surface_t* s) {
    cairo_t* cr = cairo_create(s);
    return {cr, s, bitmapOf(s), false, CairoContext(cr)};
}

Canvas Canvas::whole(cairo_surface_t* s) {
    cairo_t* cr = cairo_create(s);
    return {cr, s, bitmapOf(s), true, CairoContext(cr)};
}

void Painter::paint(Canvas& c, const DisplayList& list, const PixelRegion* region) {
    replay(c, list, 0, list.items.size(), region, list.time);
}

void Painter::replay(Canvas& c, const DisplayList& list, size_t begin, size_t end,
                     const PixelRegion* region, double t) {
    const auto& items = list.items;
    cairo_t* cr = c.cr;
    for (size_t i = begin; i < end; ++i) {
        const DisplayItem& it = items[i];
        bool outside = region && !region->intersects(it.box);
        switch (it.kind) {
            case DisplayItem::BeginClip:
                if (outside) {
                    i = it.match;
                } else if (it.isolated && !c.isWhole) {
                    isolated(c, it, 1.0, [&](Canvas& own) {
                        clipTo(own.cr, it);
                        replay(own, list, i + 1, it.match, nullptr, t);
                    });
                    i = it.match;
                } else {
                    cairo_save(cr);
                    clipTo(cr, it);
                }
                break;
            case DisplayItem::BeginGroup:
                if (outside) {
                    i = it.match;
                } else if (!c.isWhole) {
                    isolated(c, it, it.alpha,
                             [&](Canvas& own) { replay(own, list, i + 1, it.match, nullptr, t); });
                    i = it.match;
                } else {
                    cairo_save(cr);
                    cairo_push_group(cr);
                }
                break;
            case DisplayItem::End: {
                const DisplayItem& b = items[it.match];
                if (b.kind == DisplayItem::BeginGroup) {
                    cairo_pop_group_to_source(cr);
                    cairo_identity_matrix(cr);
                    cairo_paint_with_alpha(cr, b.alpha);
                }
                cairo_restore(cr);
                break;
            }
            case DisplayItem::Background:
                if (outside || it.occluded) break;
                if (it.isolated && !c.isWhole)
                    isolated(c, it, 1.0, [&](Canvas& own) { drawPrimitive(own.cr, it); });
                else
                    drawPrimitive(cr, it);
                break;
            case DisplayItem::Contents:
                if (outside || it.occluded) break;
                if (c.isWhole)
                    drawContents(cr, it);
                else if (!it.isolated && it.pixelClip)
                    drawContentsDirect(c, it, region);
                else
                    isolated(c, it, 1.0, [&](Canvas& own) { drawContents(own.cr, it); });
                break;
            case DisplayItem::Warped:
                if (!outside && !it.occluded) drawWarped(c, it, region, t);
                break;
        }
    }
}

// Draws into a bitmap of the item's box (target coordinates kept through the device offset),
// whole, then paints that at alpha onto the canvas through its clip.
template <class F>
void Painter::isolated(Canvas& c, const DisplayItem& it, double alpha, F&& draw) {
    if (it.box.isEmpty()) return;
    CairoSurface s(newARGBSurface(it.box.width, it.box.height));
    if (!s) return;
    cairo_surface_set_device_offset(s.get(), -it.box.x, -it.box.y);
    {
        // No straight pixel access: the device offset stands.
        cairo_t* ownCr = cairo_create(s.get());
        Canvas own{ownCr, s.get(), {}, true, CairoContext(ownCr)};
        draw(own);
    }
    cairo_surface_flush(s.get());
    cairo_t* cr = c.cr;
    cairo_save(cr);
    cairo_identity_matrix(cr);
    cairo_set_source_surface(cr, s.get(), 0, 0);
    cairo_paint_with_alpha(cr, alpha);
    cairo_restore(cr);
}

void Painter::drawPrimitive(cairo_t* cr, const DisplayItem& it) {
    if (it.kind == DisplayItem::Contents) {
        drawContents(cr, it);
        return;
    }
    CGRect b = CGRectStandardize(it.layer->bounds());
    setCairoMatrix(cr, it.h);
    cairo_rectangle(cr, b.origin.x, b.origin.y, b.size.width, b.size.height);
    cairo_set_source_rgba(cr, it.color.red, it.color.green, it.color.blue,
                          it.color.alpha * it.alpha);
    cairo_fill(cr);
}

void Painter::drawContents(cairo_t* cr, const DisplayItem& it) {
    CAPicture* p = _pictures.picture(it.image);
    if (!p) return;
    const H3& h = it.h;
    const CGRect& d = it.placed;
    cairo_surface_t* s = levelFor(_pictures, p, it);
    double lw = cairo_image_surface_get_width(s), lh = cairo_image_surface_get_height(s);
    setCairoMatrix(cr, h);
    CairoPattern pattern(cairo_pattern_create_for_surface(s));
    cairo_pattern_t* pat = pattern.get();
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
    if (it.alpha >= 1) {
        cairo_fill(cr);
    } else {
        cairo_save(cr);
        cairo_clip(cr);
        cairo_paint_with_alpha(cr, it.alpha);
        cairo_restore(cr);
    }
}

// The picture of an axis-aligned layer composited by pixman straight into the canvas: one
// mapping per picture, the whole pixels it covers at full coverage and the pixels its
// fractional edges cross at their share, each piece limited to the region and the clip.
void Painter::drawContentsDirect(Canvas& c, const DisplayItem& it, const PixelRegion* region) {
    CAPicture* p = _pictures.picture(it.image);
    if (!p) return;
    cairo_surface_t* level = levelFor(_pictures, p, it);
    cairo_surface_flush(level);
    const H3& h = it.h;
    const CGRect& d = it.placed;
    double lw = cairo_image_surface_get_width(level), lh = cairo_image_surface_get_height(level);
    double kx = lw / d.size.width, ky = lh / d.size.height;
    double sx = h.m[0][0], sy = h.m[1][1];
    if (!(std::fabs(sx) > 0) || !(std::fabs(sy) > 0)) return;
    // Target pixel (x, y) -> level pixel: ((x - tx) / sx - d.x) * kx, likewise y.
    double ax = kx / sx, bx = -(h.m[2][0] / sx + d.origin.x) * kx;
    double ay = ky / sy, by = -(h.m[2][1] / sy + d.origin.y) * ky;
    double x0 = sx * d.origin.x + h.m[2][0], x1 = sx * (d.origin.x + d.size.width) + h.m[2][0];
    double y0 = sy * d.origin.y + h.m[2][1], y1 = sy * (d.origin.y + d.size.height) + h.m[2][1];
    if (x1 < x0) std::swap(x0, x1);
    if (y1 < y0) std::swap(y0, y1);
    bool exact = std::fabs(std::fabs(ax) - 1) < 1e-9 && std::fabs(std::fabs(ay) - 1) < 1e-9 &&
                 std::fabs(bx - std::round(bx)) < 1e-9 && std::fabs(by - std::round(by)) < 1e-9;
    if (exact) bx = std::round(bx), by = std::round(by);

    PixelRect canvasRect{0, 0, c.bitmap.width, c.bitmap.height};
    PixelRect clip =
        pixelsAround(it.clip.origin.x, it.clip.origin.y, it.clip.origin.x + it.clip.size.width,
                     it.clip.origin.y + it.clip.size.height, 0, canvasRect);
    // Within the clip, the region, and the box of the picture's pixels that are not
    // transparent (nothing is drawn elsewhere).
    clip = clip.intersection(it.box);
    std::vector<PixelRect> within;
    if (region) {
        for (const PixelRect& r : region->rects()) {
            PixelRect i = r.intersection(clip);
            if (!i.isEmpty()) within.push_back(i);
        }
    } else if (!clip.isEmpty()) {
        within.push_back(clip);
    }
    if (within.empty()) return;

    cairo_surface_flush(c.surface);
    if (exact && ax == 1 && ay == 1 && it.alpha >= 1 && level == p->levels[0] &&
        !p->rowStart.empty() && _pictures.visibleBox(p).width > 0) {
        // Pixel for pixel at full opacity: the runs of the picture's rows that are opaque are
        // copied, the others blended, the transparent ones skipped.
        int ox = int(bx), oy = int(by);  // source pixel = target pixel + (ox, oy)
        const uint8_t* sp = cairo_image_surface_get_data(level);
        size_t ss = size_t(cairo_image_surface_get_stride(level));
        for (const PixelRect& w : within) {
            PixelRect r = w.intersection(pixelsInside(x0, y0, x1, y1));
            for (int y = r.y; y < r.bottom(); ++y) {
                int srcY = y + oy;
                if (srcY < 0 || srcY >= int(lh)) continue;
                const uint32_t* srow = reinterpret_cast<const uint32_t*>(sp + size_t(srcY) * ss);
                uint32_t* drow =
                    reinterpret_cast<uint32_t*>(c.bitmap.pixels + size_t(y) * c.bitmap.stride);
                for (uint32_t k = p->rowStart[size_t(srcY)]; k < p->rowStart[size_t(srcY) + 1];
                     ++k) {
                    const CAPicture::Run& run = p->runs[k];
                    int from = std::max(run.x - ox, r.x),
                        to = std::min(run.x + run.count - ox, r.right());
                    if (to <= from) continue;
                    if (run.opaque)
                        std::memcpy(drow + from, srow + from + ox, size_t(to - from) * 4);
                    else
                        compositeOverSpan(srow + from + ox, drow + from, to - from);
                }
            }
        }
        cairo_surface_mark_dirty(c.surface);
        return;
    }
    PixmanImage source(
        pixman_image_create_bits(PIXMAN_a8r8g8b8, int(lw), int(lh),
                                 reinterpret_cast<uint32_t*>(cairo_image_surface_get_data(level)),
                                 cairo_image_surface_get_stride(level)));
    PixmanImage target(pixman_image_create_bits(PIXMAN_a8r8g8b8, c.bitmap.width, c.bitmap.height,
                                                reinterpret_cast<uint32_t*>(c.bitmap.pixels),
                                                int(c.bitmap.stride)));
    pixman_image_t* src = source.get();
    pixman_image_t* dst = target.get();
    if (src && dst) {
        pixman_transform_t pt;
        pixman_transform_init_identity(&pt);
        pt.matrix[0][0] = pixman_double_to_fixed(ax);
        pt.matrix[0][2] = pixman_double_to_fixed(bx);
        pt.matrix[1][1] = pixman_double_to_fixed(ay);
        pt.matrix[1][2] = pixman_double_to_fixed(by);
        pixman_image_set_transform(src, &pt);
        pixman_image_set_filter(src, exact ? PIXMAN_FILTER_NEAREST : PIXMAN_FILTER_BILINEAR,
                                nullptr, 0);
        pixman_image_set_repeat(src, PIXMAN_REPEAT_PAD);

        // The covered area in pieces: whole pixels, then the edge rows, columns and corners,
        // each with its share of coverage.
        int ix0 = int(std::floor(x0)), ix1 = int(std::ceil(x1));
        int iy0 = int(std::floor(y0)), iy1 = int(std::ceil(y1));
        int jx0 = int(std::ceil(x0)), jx1 = int(std::floor(x1));
        int jy0 = int(std::ceil(y0)), jy1 = int(std::floor(y1));
        struct Span {
            int from, to;
            double share;
        };
        auto spans = [](int i0, int j0, int j1, int i1, double v0, double v1) {
            std::vector<Span> s;
            if (j1 < j0) {  // within one pixel
                s.push_back({i0, i1, v1 - v0});
                return s;
            }
            if (i0 < j0) s.push_back({i0, j0, j0 - v0});
            if (j0 < j1) s.push_back({j0, j1, 1.0});
            if (j1 < i1) s.push_back({j1, i1, v1 - j1});
            return s;
        };
        std::vector<Span> xs = spans(ix0, jx0, jx1, ix1, x0, x1);
        std::vector<Span> ys = spans(iy0, jy0, jy1, iy1, y0, y1);
        for (const Span& ys1 : ys)
            for (const Span& xs1 : xs) {
                double share = xs1.share * ys1.share * std::clamp(it.alpha, 0.0, 1.0);
                if (!(share > 0)) continue;
                PixelRect piece{xs1.from, ys1.from, xs1.to - xs1.from, ys1.to - ys1.from};
                PixmanImage mask;
                if (share < 1) {
                    pixman_color_t col = {0, 0, 0, uint16_t(std::lround(share * 0xFFFF))};
                    mask.reset(pixman_image_create_solid_fill(&col));
                }
                for (const PixelRect& w : within) {
                    PixelRect r = piece.intersection(w);
                    if (r.isEmpty()) continue;
                    pixman_image_composite32(PIXMAN_OP_OVER, src, mask.get(), dst, r.x, r.y, 0, 0,
                                             r.x, r.y, r.width, r.height);
                }
            }
    }
    cairo_surface_mark_dirty(c.surface);
}

// A layer under a perspective mapping (bounds space -> target pixels): a layer that shows
// nothing but a picture is warped straight from the picture, any other is drawn into a
// bitmap of its own first. Only the part of the layer in front of the viewer and inside
// the clip is drawn. Where the canvas allows (no opacity group, clips on whole pixels) the
// warp composites straight into the canvas's pixels; elsewhere into a bitmap of the warped
// area that cairo then paints.
void Painter::drawWarped(Canvas& c, const DisplayItem& it, const PixelRegion* region, double t) {
    CALayer* l = it.layer;
    const H3& h = it.h;
    double cx0 = it.clip.origin.x - 1, cy0 = it.clip.origin.y - 1;
    double cx1 = it.clip.origin.x + it.clip.size.width + 1,
           cy1 = it.clip.origin.y + it.clip.size.height + 1;
    if (!(cx1 > cx0) || !(cy1 > cy0)) return;

    // The layer's area, cut down to what lies in front of the viewer (w > 0) and projects
    // inside the clip: each condition is a half-plane of the layer's own plane.
    CGRect e = extentOf(l, t);
    if (CGRectIsEmpty(e)) return;
    std::vector<CGPoint> poly = {e.origin,
                                 {e.origin.x + e.size.width, e.origin.y},
                                 {e.origin.x + e.size.width, e.origin.y + e.size.height},
                                 {e.origin.x, e.origin.y + e.size.height}};
    const auto& m = h.m;
    double scaleW = std::fabs(m[0][2]) + std::fabs(m[1][2]) + std::fabs(m[2][2]);
    bool cutByViewer = false;
    for (const CGPoint& p : poly)
        if (!(p.x * m[0][2] + p.y * m[1][2] + m[2][2] > 1e-7 * scaleW)) cutByViewer = true;
    // Half-planes a·x + b·y + c >= 0.
    double planes[5][3] = {
        {m[0][2], m[1][2], m[2][2] - 1e-7 * scaleW},                                  // w > 0
        {m[0][0] - cx0 * m[0][2], m[1][0] - cx0 * m[1][2], m[2][0] - cx0 * m[2][2]},  // X >= x0 W
        {cx1 * m[0][2] - m[0][0], cx1 * m[1][2] - m[1][0], cx1 * m[2][2] - m[2][0]},  // X <= x1 W
        {m[0][1] - cy0 * m[0][2], m[1][1] - cy0 * m[1][2], m[2][1] - cy0 * m[2][2]},  // Y >= y0 W
        {cy1 * m[0][2] - m[0][1], cy1 * m[1][2] - m[1][1], cy1 * m[2][2] - m[2][1]},  // Y <= y1 W
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

    // Near the horizon the magnification grows without bound; the layer's bitmap never
    // needs many more pixels than the area it lands on.
    double uw = ou1 - ou0, vh = ov1 - ov0;
    if (!(uw > 0) || !(vh > 0)) return;
    double budget = std::min(kMaxWarpPixels, std::max(4.0 * tw * th, 65536.0));
    k = std::min(k, kMaxWarpSide / std::max(uw, vh));
    if (uw * vh * k * k > budget) k = std::sqrt(budget / (uw * vh));
    int ow = std::max(1, int(std::ceil(uw * k))), oh = std::max(1, int(std::ceil(vh * k)));

    cairo_surface_t* own = nullptr;
    CairoSurface made;  // own, when it is not a level of the picture cache
    H3 toOwn;
    if (CGImage* img = onlyContents(l, t)) {
        CAPicture* p = _pictures.picture(img);
        CGRect d = placedContents(l, img, t);
        if (!p || CGRectIsNull(d) || !(d.size.width > 0) || !(d.size.height > 0)) return;
        own = _pictures.level(p, magnification * d.size.width / double(img->width()));
        double lw = cairo_image_surface_get_width(own), lh = cairo_image_surface_get_height(own);
        double kx = lw / d.size.width, ky = lh / d.size.height;
        toOwn = H3::affine(kx, 0, 0, ky, -d.origin.x * kx, -d.origin.y * ky);
    } else {
        made.reset(newARGBSurface(ow, oh));
        own = made.get();
        if (!own) return;
        toOwn = H3::affine(k, 0, 0, k, -ou0 * k, -ov0 * k);
        DisplayList sub;
        buildLayerDrawing(l, toOwn, t, {0, 0, ow, oh}, _pictures, &sub);
        Canvas oc = Canvas::whole(own);
        replay(oc, sub, 0, sub.items.size(), nullptr, t);
    }
    cairo_surface_flush(own);

    // Target pixels -> the layer's bitmap: through the inverse of h.
    H3 inv;
    if (h.inverse(&inv)) {
        H3 toSource = inv * toOwn;
        WarpBitmap src = bitmapOf(own);
        PixelRect area{ix0, iy0, tw, th};
        if (!c.isWhole && it.pixelClip) {
            // Straight into the canvas, inside the clip (and the region being drawn).
            PixelRect clip = pixelsAround(
                it.clip.origin.x, it.clip.origin.y, it.clip.origin.x + it.clip.size.width,
                it.clip.origin.y + it.clip.size.height, 0, {0, 0, c.bitmap.width, c.bitmap.height});
            std::vector<PixelRect> rects;
            if (region) {
                for (const PixelRect& r : region->rects()) {
                    PixelRect i = r.intersection(clip);
                    if (!i.isEmpty()) rects.push_back(i);
                }
            } else {
                rects.push_back(clip);
            }
            WarpOptions o;
            o.alpha = it.alpha;
            o.clip = &rects;
            o.polygon = cutByViewer ? &screen : nullptr;
            cairo_surface_flush(c.surface);
            warpPerspective(src, c.bitmap, toSource, area, o);
            cairo_surface_mark_dirty(c.surface);
        } else if (CairoSurface warped(newARGBSurface(tw, th)); warped) {
            std::vector<CGPoint> local;
            for (const CGPoint& p : screen) local.push_back({p.x - ix0, p.y - iy0});
            WarpOptions o;
            o.over = false;
            o.polygon = cutByViewer ? &local : nullptr;
            warpPerspective(src, bitmapOf(warped.get()),
                            H3::affine(1, 0, 0, 1, ix0, iy0) * toSource, {0, 0, tw, th}, o);
            cairo_surface_mark_dirty(warped.get());
            cairo_t* cr = c.cr;
            cairo_save(cr);
            cairo_identity_matrix(cr);
            cairo_set_source_surface(cr, warped.get(), ix0, iy0);
            cairo_paint_with_alpha(cr, it.alpha);
            cairo_restore(cr);
        }
    }
}

}  // namespace bd
