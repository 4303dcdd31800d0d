#include "QuartzCore/CAProjectiveWarp.h"

#include <algorithm>
#include <cmath>

#include "CoreGraphics/CGHandlesPrivate.h"
#include "QuartzCore/CABilinearSpans.h"

namespace bd {
namespace {

// A half-plane a·x + b·y + c >= 0 of target pixel coordinates, (a, b) of unit length so that
// at() is the distance from the edge (positive inside).
struct HalfPlane {
    double a, b, c;
    double at(double x, double y) const { return a * x + b * y + c; }
};
// A pixel whose square lies within this distance of an edge may be partly covered.
constexpr double kEdgeReach = 0.75;

struct Warp {
    WarpBitmap src, dst;
    H3 a;  // target pixels -> source pixels
    WarpOptions o;
    std::vector<PixelRect> clip;   // within the area
    std::vector<HalfPlane> edges;  // of the polygon, inside >= 0
    PixelRect polygonBox;
    PixmanImage solidMask;  // the opacity, when below 1 and no polygon mask
};

// Where a tile stands against the polygon: -1 outside, 0 across an edge, 1 inside (no pixel
// of it near an edge).
int againstPolygon(const Warp& wp, int tx, int ty, int w, int h) {
    if (wp.edges.empty()) return 1;
    if (!wp.polygonBox.intersects({tx, ty, w, h})) return -1;
    const double xs[2] = {double(tx), double(tx + w)}, ys[2] = {double(ty), double(ty + h)};
    bool allInside = true;
    for (const HalfPlane& e : wp.edges) {
        int reached = 0, inside = 0;
        for (double x : xs)
            for (double y : ys) {
                double d = e.at(x, y);
                reached += d > -kEdgeReach;
                inside += d >= kEdgeReach;
            }
        if (reached == 0) return -1;
        if (inside < 4) allInside = false;
    }
    return allInside ? 1 : 0;
}

// The coverage of the polygon over the tile, as an 8-bit mask of w x h.
PixmanImage polygonMask(const Warp& wp, int tx, int ty, int w, int h) {
    PixmanImage m(pixman_image_create_bits(PIXMAN_a8, w, h, nullptr, 0));
    if (!m) return m;
    const std::vector<CGPoint>& poly = *wp.o.polygon;
    std::vector<pixman_triangle_t> tris;
    auto fx = [](double v) { return pixman_double_to_fixed(v); };
    for (size_t i = 1; i + 1 < poly.size(); ++i) {
        pixman_triangle_t t;
        t.p1 = {fx(poly[0].x), fx(poly[0].y)};
        t.p2 = {fx(poly[i].x), fx(poly[i].y)};
        t.p3 = {fx(poly[i + 1].x), fx(poly[i + 1].y)};
        tris.push_back(t);
    }
    pixman_add_triangles(m.get(), -tx, -ty, int(tris.size()), tris.data());
    if (wp.o.alpha < 1) {
        pixman_color_t c = {0, 0, 0,
                            uint16_t(std::lround(std::clamp(wp.o.alpha, 0.0, 1.0) * 0xFFFF))};
        PixmanImage solid(pixman_image_create_solid_fill(&c));
        if (solid)
            pixman_image_composite32(PIXMAN_OP_IN, solid.get(), nullptr, m.get(), 0, 0, 0, 0, 0, 0,
                                     w, h);
    }
    return m;
}

void composite(const Warp& wp, int tx, int ty, int w, int h, const H3& m, bool affine, int bx0,
               int by0, int bx1, int by1, bool masked) {
    pixman_transform_t pt;
    if (affine) {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) pt.matrix[i][j] = pixman_double_to_fixed(m.m[j][i]);
    } else {
        // pixman steps a projective transform in 16.16 fixed point with 32-bit homogeneous
        // coordinates: scale the matrix to use that range.
        const double cx[4] = {0, double(w), 0, double(w)}, cy[4] = {0, 0, double(h), double(h)};
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
    PixmanImage src(pixman_image_create_bits(
        PIXMAN_a8r8g8b8, bx1 - bx0, by1 - by0,
        reinterpret_cast<uint32_t*>(wp.src.pixels + size_t(by0) * wp.src.stride + size_t(bx0) * 4),
        int(wp.src.stride)));
    PixmanImage dst(pixman_image_create_bits(
        PIXMAN_a8r8g8b8, w, h,
        reinterpret_cast<uint32_t*>(wp.dst.pixels + size_t(ty) * wp.dst.stride + size_t(tx) * 4),
        int(wp.dst.stride)));
    PixmanImage ownMask;
    if (masked) ownMask = polygonMask(wp, tx, ty, w, h);
    pixman_image_t* si = src.get();
    pixman_image_t* di = dst.get();
    pixman_image_t* mask = masked ? ownMask.get() : wp.solidMask.get();
    if (si && di && (mask || !masked)) {
        // The clip, in the tile's own coordinates, unless one rectangle holds the whole tile.
        PixelRect tile{tx, ty, w, h};
        bool whole = false;
        std::vector<pixman_box32_t> boxes;
        for (const PixelRect& c : wp.clip) {
            if (c.contains(tile)) {
                whole = true;
                break;
            }
            PixelRect i = c.intersection(tile);
            if (!i.isEmpty())
                boxes.push_back({i.x - tx, i.y - ty, i.right() - tx, i.bottom() - ty});
        }
        pixman_region32_t region;
        bool clipped = !whole;
        if (clipped) {
            pixman_region32_init_rects(&region, boxes.data(), int(boxes.size()));
            pixman_image_set_clip_region32(di, &region);
        }
        pixman_image_set_transform(si, &pt);
        pixman_image_set_filter(si, PIXMAN_FILTER_BILINEAR, nullptr, 0);
        pixman_image_set_repeat(si, PIXMAN_REPEAT_NONE);
        pixman_image_composite32(wp.o.over ? PIXMAN_OP_OVER : PIXMAN_OP_SRC, si, mask, di, 0, 0, 0,
                                 0, 0, 0, w, h);
        if (clipped) pixman_region32_fini(&region);
    }
}

void warpTile(const Warp& wp, int tx, int ty, int w, int h) {
    PixelRect tile{tx, ty, w, h};
    bool anyClip = false;
    for (const PixelRect& c : wp.clip)
        if (c.intersects(tile)) {
            anyClip = true;
            break;
        }
    if (!anyClip) return;
    int polygon = againstPolygon(wp, tx, ty, w, h);
    if (polygon < 0) return;

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
    int bx0 = 0, by0 = 0, bx1 = wp.src.width, by1 = wp.src.height;
    bool affine = false;
    if (front) {
        double x0 = std::min({px[0], px[1], px[2], px[3]}),
               x1 = std::max({px[0], px[1], px[2], px[3]});
        double y0 = std::min({py[0], py[1], py[2], py[3]}),
               y1 = std::max({py[0], py[1], py[2], py[3]});
        if (!(x1 > -2) || !(y1 > -2) || !(x0 < wp.src.width + 2) || !(y0 < wp.src.height + 2))
            return;  // nothing of src lands here
        bx0 = std::max(0, int(std::floor(x0)) - 2);
        by0 = std::max(0, int(std::floor(y0)) - 2);
        bx1 = std::min(wp.src.width, int(std::ceil(x1)) + 2);
        by1 = std::min(wp.src.height, int(std::ceil(y1)) + 2);
        if (bx1 <= bx0 || by1 <= by0) return;
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
    if (!affine && (w > kWarpSmallestTile || h > kWarpSmallestTile)) {
        // Split across the direction in which the depth changes most (a turn about the y axis
        // changes it along x only, so its tiles become tall strips).
        double dwx = std::fabs(m.m[0][2]) * w, dwy = std::fabs(m.m[1][2]) * h;
        bool splitX = w > kWarpSmallestTile && !(dwy > 2 * dwx && h > kWarpSmallestTile);
        bool splitY = h > kWarpSmallestTile && !(dwx > 2 * dwy && splitX);
        int hw = splitX ? w / 2 : w, hh = splitY ? h / 2 : h;
        warpTile(wp, tx, ty, hw, hh);
        if (splitX) warpTile(wp, tx + hw, ty, w - hw, hh);
        if (splitY) warpTile(wp, tx, ty + hh, hw, h - hh);
        if (splitX && splitY) warpTile(wp, tx + hw, ty + hh, w - hw, h - hh);
        return;
    }
    // Behind the viewer at some corner: only a polygon that cuts that part off makes the tile
    // drawable.
    if (!front && !wp.o.polygon) return;
    FixedAffine fixed;
    if (affine && polygon == 1 &&
        FixedAffine::from(H3::translation(-tx, -ty) * m, tx, ty, &fixed)) {
        // The common case, straight through our own loop (pixman's is slow for shears).
        uint32_t alpha = uint32_t(std::lround(std::clamp(wp.o.alpha, 0.0, 1.0) * 255));
        for (const PixelRect& c : wp.clip)
            compositeAffineBilinear(wp.src, wp.dst, c.intersection(tile), fixed, alpha, wp.o.over);
        return;
    }
    m = m * H3::affine(1, 0, 0, 1, -bx0, -by0);
    composite(wp, tx, ty, w, h, m, affine, bx0, by0, bx1, by1, polygon == 0);
}

}  // namespace

void warpPerspective(const WarpBitmap& src, const WarpBitmap& dst, const H3& dstToSrc,
                     const PixelRect& area, const WarpOptions& options) {
    if (!src.pixels || !dst.pixels || src.width <= 0 || src.height <= 0) return;
    if (!(options.alpha > 0) && options.over) return;
    PixelRect a = area.intersection({0, 0, dst.width, dst.height});
    if (a.isEmpty() || !dstToSrc.finite()) return;
    Warp wp{src, dst, dstToSrc, options, {}, {}, {}, nullptr};
    if (options.clip) {
        for (const PixelRect& c : *options.clip) {
            PixelRect i = c.intersection(a);
            if (!i.isEmpty()) wp.clip.push_back(i);
        }
    } else {
        wp.clip.push_back(a);
    }
    if (wp.clip.empty()) return;
    if (options.polygon) {
        const std::vector<CGPoint>& p = *options.polygon;
        if (p.size() < 3) return;
        // Orientation from the signed area, so that "inside" is >= 0 either way round.
        double area2 = 0;
        double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
        for (size_t i = 0; i < p.size(); ++i) {
            const CGPoint &u = p[i], &v = p[(i + 1) % p.size()];
            area2 += u.x * v.y - v.x * u.y;
            x0 = std::min(x0, u.x), y0 = std::min(y0, u.y);
            x1 = std::max(x1, u.x), y1 = std::max(y1, u.y);
        }
        if (!(std::fabs(area2) > 0) || !std::isfinite(area2)) return;
        double s = area2 > 0 ? 1 : -1;
        for (size_t i = 0; i < p.size(); ++i) {
            const CGPoint &u = p[i], &v = p[(i + 1) % p.size()];
            // Left of u -> v (for a counter-clockwise outline in y-down pixels, area2 > 0).
            double nx = -(v.y - u.y) * s, ny = (v.x - u.x) * s, len = std::hypot(nx, ny);
            if (!(len > 0)) continue;  // a repeated corner
            HalfPlane e{nx / len, ny / len, 0};
            e.c = -(e.a * u.x + e.b * u.y);
            wp.edges.push_back(e);
        }
        wp.polygonBox = pixelsAround(x0, y0, x1, y1, 1, a);
        if (wp.polygonBox.isEmpty()) return;
    }
    if (options.alpha < 1) {
        pixman_color_t c = {0, 0, 0, uint16_t(std::lround(std::max(options.alpha, 0.0) * 0xFFFF))};
        wp.solidMask.reset(pixman_image_create_solid_fill(&c));
    }
    for (int ty = a.y; ty < a.bottom(); ty += kWarpTile)
        for (int tx = a.x; tx < a.right(); tx += kWarpTile)
            warpTile(wp, tx, ty, std::min(kWarpTile, a.right() - tx),
                     std::min(kWarpTile, a.bottom() - ty));
}

}  // namespace bd
