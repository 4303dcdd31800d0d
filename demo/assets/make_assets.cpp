// Draws the sample wallpaper's pictures with cairo and writes them into one directory:
//   bg.jpg                      the night backdrop (JPEG through TurboJPEG)
//   hallowmas_pumpkin_base.png  a plain pumpkin
//   01.png ... 31.png           the jack-o'-lantern flip-book: its face and candle glow move
//   thumbnail.png               the wallpaper as it looks, small
// Everything is sized for a screen of scale 2 (pixels = 2 x points) and drawn from code; the
// output is the same on every run.
//
// Usage: make_assets OUTPUT_DIR

#include <cairo.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "CoreGraphics/CGHandlesPrivate.h"

namespace {

using std::numbers::pi;

constexpr int kScale = 2;                      // pixels per point of the target screen
constexpr int kScreenW = 320, kScreenH = 568;  // the default screen, in points
constexpr int kFrameCount = 31;
constexpr int kFrameSide = kScreenW * kScale;  // a lantern frame is as wide as the screen
constexpr int kPumpkinSide = 60 * kScale;      // the pumpkin base picture, 60 x 60 points
constexpr double kThumbScale = 0.5;            // thumbnail pixels per point
constexpr double kBarHeight = 20;              // the wallpaper's gray bar, points

struct RGB {
    double r, g, b;
};

// A small deterministic generator for the stars.
struct Lcg {
    uint32_t s;
    double next() {
        s = s * 1664525u + 1013904223u;
        return (s >> 8) / double(1u << 24);
    }
};

bool writePng(cairo_surface_t* s, const std::string& path) {
    if (cairo_surface_write_to_png(s, path.c_str()) == CAIRO_STATUS_SUCCESS) return true;
    std::fprintf(stderr, "make_assets: cannot write %s\n", path.c_str());
    return false;
}

// The surface must be opaque: premultiplied and straight colours are then the same.
bool writeJpeg(cairo_surface_t* s, const std::string& path, int quality) {
    cairo_surface_flush(s);
    int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
    int stride = cairo_image_surface_get_stride(s);
    unsigned char* pixels = cairo_image_surface_get_data(s);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const int format = TJPF_BGRA;  // cairo's native ARGB32 in memory order
#else
    const int format = TJPF_ARGB;
#endif
    tjhandle tj = tjInitCompress();
    if (!tj) return false;
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    bool ok = tjCompress2(tj, pixels, w, stride, h, format, &jpeg, &size, TJSAMP_420, quality,
                          TJFLAG_ACCURATEDCT) == 0;
    if (ok) {
        FILE* f = std::fopen(path.c_str(), "wb");
        ok = f && std::fwrite(jpeg, 1, size, f) == size;
        if (f && std::fclose(f) != 0) ok = false;
    }
    tjFree(jpeg);
    tjDestroy(tj);
    if (!ok) std::fprintf(stderr, "make_assets: cannot write %s\n", path.c_str());
    return ok;
}

// ----- the night backdrop

void drawTombstone(cairo_t* cr, double x, double baseY, double w, double h, double tilt) {
    cairo_save(cr);
    cairo_translate(cr, x, baseY);
    cairo_rotate(cr, tilt);
    cairo_move_to(cr, -w / 2, 0);
    cairo_line_to(cr, -w / 2, -h + w / 2);
    cairo_arc(cr, 0, -h + w / 2, w / 2, pi, 2 * pi);
    cairo_line_to(cr, w / 2, 0);
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, 0.06, 0.05, 0.10);
    cairo_fill(cr);
    cairo_restore(cr);
}

void drawBareTree(cairo_t* cr, double x, double y, double length, double angle, int depth) {
    if (depth == 0) return;
    double x2 = x + std::cos(angle) * length, y2 = y + std::sin(angle) * length;
    cairo_set_line_width(cr, depth * 2.2);
    cairo_move_to(cr, x, y);
    cairo_line_to(cr, x2, y2);
    cairo_stroke(cr);
    drawBareTree(cr, x2, y2, length * 0.72, angle - 0.45, depth - 1);
    drawBareTree(cr, x2, y2, length * 0.66, angle + 0.38, depth - 1);
}

bd::CairoSurface drawBackdrop() {
    const int w = kScreenW * kScale, h = kScreenH * kScale;
    bd::CairoSurface s(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h));
    bd::CairoContext context(cairo_create(s.get()));
    cairo_t* cr = context.get();

    bd::CairoPattern skyOwner(cairo_pattern_create_linear(0, 0, 0, h));
    cairo_pattern_t* sky = skyOwner.get();
    cairo_pattern_add_color_stop_rgb(sky, 0.0, 0.02, 0.02, 0.09);
    cairo_pattern_add_color_stop_rgb(sky, 0.6, 0.10, 0.06, 0.22);
    cairo_pattern_add_color_stop_rgb(sky, 1.0, 0.28, 0.12, 0.25);
    cairo_set_source(cr, sky);
    cairo_paint(cr);

    Lcg rng{20231031u};
    for (int i = 0; i < 140; ++i) {
        double x = rng.next() * w, y = rng.next() * h * 0.62, r = 0.8 + rng.next() * 1.8;
        cairo_set_source_rgba(cr, 1, 1, 0.92, 0.35 + rng.next() * 0.65);
        cairo_arc(cr, x, y, r, 0, 2 * pi);
        cairo_fill(cr);
    }

    // The moon with a soft halo and two darker seas.
    const double mx = 470, my = 230, mr = 72;
    bd::CairoPattern haloOwner(cairo_pattern_create_radial(mx, my, mr, mx, my, mr * 3));
    cairo_pattern_t* halo = haloOwner.get();
    cairo_pattern_add_color_stop_rgba(halo, 0, 1, 0.95, 0.75, 0.35);
    cairo_pattern_add_color_stop_rgba(halo, 1, 1, 0.95, 0.75, 0);
    cairo_set_source(cr, halo);
    cairo_arc(cr, mx, my, mr * 3, 0, 2 * pi);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.98, 0.94, 0.78);
    cairo_arc(cr, mx, my, mr, 0, 2 * pi);
    cairo_fill(cr);
    cairo_set_source_rgba(cr, 0.80, 0.74, 0.58, 0.55);
    cairo_arc(cr, mx - 22, my - 14, 17, 0, 2 * pi);
    cairo_fill(cr);
    cairo_arc(cr, mx + 20, my + 24, 11, 0, 2 * pi);
    cairo_fill(cr);

    // Two ranges of hills, the nearer one darker.
    cairo_set_source_rgb(cr, 0.10, 0.06, 0.16);
    cairo_move_to(cr, 0, h * 0.74);
    cairo_curve_to(cr, w * 0.25, h * 0.66, w * 0.45, h * 0.78, w * 0.7, h * 0.70);
    cairo_curve_to(cr, w * 0.85, h * 0.66, w * 0.95, h * 0.70, w, h * 0.69);
    cairo_line_to(cr, w, h);
    cairo_line_to(cr, 0, h);
    cairo_close_path(cr);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.05, 0.04, 0.08);
    cairo_move_to(cr, 0, h * 0.84);
    cairo_curve_to(cr, w * 0.3, h * 0.79, w * 0.6, h * 0.87, w, h * 0.81);
    cairo_line_to(cr, w, h);
    cairo_line_to(cr, 0, h);
    cairo_close_path(cr);
    cairo_fill(cr);

    cairo_set_source_rgb(cr, 0.05, 0.04, 0.08);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    drawBareTree(cr, w * 0.14, h * 0.83, 120, -pi / 2 - 0.08, 6);
    drawTombstone(cr, w * 0.52, h * 0.86, 46, 78, -0.06);
    drawTombstone(cr, w * 0.68, h * 0.85, 38, 62, 0.08);
    drawTombstone(cr, w * 0.84, h * 0.84, 42, 70, -0.03);

    return s;
}

// ----- the pumpkin and the jack-o'-lantern

// A ribbed pumpkin body centred on (cx, cy) with half-axes rx, ry, and its stem.
void drawPumpkinBody(cairo_t* cr, double cx, double cy, double rx, double ry) {
    // Stem first, so the body overlaps its foot.
    cairo_save(cr);
    cairo_move_to(cr, cx - rx * 0.08, cy - ry * 0.80);
    cairo_curve_to(cr, cx - rx * 0.10, cy - ry * 1.05, cx + rx * 0.02, cy - ry * 1.22,
                   cx + rx * 0.16, cy - ry * 1.20);
    cairo_line_to(cr, cx + rx * 0.17, cy - ry * 1.08);
    cairo_curve_to(cr, cx + rx * 0.08, cy - ry * 1.06, cx + rx * 0.06, cy - ry * 0.95,
                   cx + rx * 0.09, cy - ry * 0.80);
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, 0.30, 0.36, 0.12);
    cairo_fill(cr);
    cairo_restore(cr);

    // Five lobes from the sides inwards, so the middle lobe lies in front.
    const double offsets[] = {-0.52, 0.52, -0.27, 0.27, 0.0};
    const double widths[] = {0.48, 0.48, 0.55, 0.55, 0.58};
    for (int i = 0; i < 5; ++i) {
        double lx = cx + offsets[i] * rx, lw = widths[i] * rx;
        bd::CairoPattern light(cairo_pattern_create_radial(lx - lw * 0.3, cy - ry * 0.35, lw * 0.1,
                                                           lx, cy, std::max(lw, ry) * 1.05));
        cairo_pattern_t* p = light.get();
        cairo_pattern_add_color_stop_rgb(p, 0.0, 1.00, 0.66, 0.22);
        cairo_pattern_add_color_stop_rgb(p, 0.6, 0.93, 0.45, 0.06);
        cairo_pattern_add_color_stop_rgb(p, 1.0, 0.62, 0.24, 0.02);
        cairo_save(cr);
        cairo_translate(cr, lx, cy);
        cairo_scale(cr, lw, ry);
        cairo_arc(cr, 0, 0, 1, 0, 2 * pi);
        cairo_restore(cr);
        cairo_set_source(cr, p);
        cairo_fill_preserve(cr);
        cairo_set_source_rgba(cr, 0.45, 0.16, 0.0, 0.55);
        cairo_set_line_width(cr, std::max(1.0, rx * 0.012));
        cairo_stroke(cr);
    }
}

// The candle light seen through a carved hole: bright in the middle, redder at the edge.
bd::CairoPattern glowPattern(double cx, double cy, double radius, double intensity) {
    bd::CairoPattern owner(cairo_pattern_create_radial(cx, cy, radius * 0.05, cx, cy, radius));
    cairo_pattern_t* p = owner.get();
    cairo_pattern_add_color_stop_rgb(p, 0.0, 1.0, 0.97, 0.70 * intensity + 0.2);
    cairo_pattern_add_color_stop_rgb(p, 0.45, 1.0, 0.55 + 0.35 * intensity, 0.10);
    cairo_pattern_add_color_stop_rgb(p, 1.0, 0.55 + 0.4 * intensity, 0.18, 0.02);
    return owner;
}

// Fills the current path as a carved hole: a dark rim, then the glow slightly inset below it.
void carve(cairo_t* cr, cairo_pattern_t* glow, double depthX, double depthY) {
    bd::CairoPath path(cairo_copy_path(cr));
    cairo_set_source_rgb(cr, 0.30, 0.09, 0.0);
    cairo_fill(cr);
    cairo_save(cr);
    cairo_translate(cr, depthX, depthY);
    cairo_append_path(cr, path.get());
    cairo_set_source(cr, glow);
    cairo_fill(cr);
    cairo_restore(cr);
}

// Frame f of 0 ... kFrameCount - 1. The face "talks" and glances about, the eyes blink once, and
// the candle flickers; the cycle closes, so the last frame leads back into the first.
bd::CairoSurface drawLantern(int f) {
    const double t = double(f) / kFrameCount;
    const double side = kFrameSide;
    bd::CairoSurface s(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kFrameSide, kFrameSide));
    bd::CairoContext context(cairo_create(s.get()));
    cairo_t* cr = context.get();

    const double flicker =
        0.78 + 0.12 * std::sin(2 * pi * 3 * t) + 0.10 * std::sin(2 * pi * 7 * t + 1.3);
    const double mouthOpen = 0.55 + 0.45 * std::sin(2 * pi * 2 * t);  // 0 closed ... 1 open
    const double glance = std::sin(2 * pi * t) * side * 0.018;
    const double blink = (f >= 18 && f <= 20) ? (f == 19 ? 0.12 : 0.45) : 1.0;
    const double bob = std::sin(2 * pi * t) * side * 0.008;

    const double cx = side / 2, cy = side * 0.58 + bob;
    const double rx = side * 0.40, ry = side * 0.33;

    // Light thrown around the lantern: translucent, fading to nothing at the picture's edges.
    bd::CairoPattern haloOwner(cairo_pattern_create_radial(cx, cy, ry * 0.6, cx, cy, side * 0.5));
    cairo_pattern_t* halo = haloOwner.get();
    cairo_pattern_add_color_stop_rgba(halo, 0.0, 1.0, 0.62, 0.12, 0.30 * flicker);
    cairo_pattern_add_color_stop_rgba(halo, 1.0, 1.0, 0.62, 0.12, 0.0);
    cairo_set_source(cr, halo);
    cairo_paint(cr);

    drawPumpkinBody(cr, cx, cy, rx, ry);

    bd::CairoPattern glowOwner(glowPattern(cx, cy + ry * 0.15, ry * 1.1, flicker));
    cairo_pattern_t* glow = glowOwner.get();
    const double depthX = -glance * 0.25, depthY = side * 0.006;

    // Eyes: triangles that glance sideways and squash when blinking.
    for (int k = -1; k <= 1; k += 2) {
        double ex = cx + k * rx * 0.42 + glance, ey = cy - ry * 0.22;
        double ew = rx * 0.30, eh = ry * 0.34 * blink;
        cairo_move_to(cr, ex - ew / 2, ey + eh / 2);
        cairo_line_to(cr, ex + ew / 2, ey + eh / 2);
        cairo_line_to(cr, ex + k * ew * 0.15, ey - eh / 2);
        cairo_close_path(cr);
        carve(cr, glow, depthX, depthY);
    }

    // Nose.
    double nx = cx + glance * 0.6, ny = cy + ry * 0.08;
    cairo_move_to(cr, nx - rx * 0.07, ny + ry * 0.10);
    cairo_line_to(cr, nx + rx * 0.07, ny + ry * 0.10);
    cairo_line_to(cr, nx, ny - ry * 0.05);
    cairo_close_path(cr);
    carve(cr, glow, depthX, depthY);

    // Mouth: a grin with two teeth on top and one below, opening and closing.
    const double mx = cx + glance * 0.5, my = cy + ry * 0.38;
    const double mw = rx * 0.62, open = ry * (0.10 + 0.22 * mouthOpen);
    auto mouthPath = [&] {
        cairo_move_to(cr, mx - mw, my - open * 0.6);
        cairo_curve_to(cr, mx - mw * 0.5, my - open * 0.1, mx + mw * 0.5, my - open * 0.1, mx + mw,
                       my - open * 0.6);
        cairo_curve_to(cr, mx + mw * 0.7, my + open * 1.3, mx - mw * 0.7, my + open * 1.3, mx - mw,
                       my - open * 0.6);
        cairo_close_path(cr);
    };
    mouthPath();
    carve(cr, glow, depthX, depthY);
    // Teeth: uncut pumpkin left standing in the hole, two above and one below.
    cairo_save(cr);
    mouthPath();
    cairo_clip(cr);
    cairo_set_source_rgb(cr, 0.92, 0.46, 0.07);
    for (double tx : {-0.34, 0.30}) {
        double x = mx + tx * mw;
        cairo_rectangle(cr, x - mw * 0.08, my - open, mw * 0.16, open * 1.4);
        cairo_fill(cr);
    }
    cairo_rectangle(cr, mx - mw * 0.09, my + open * 0.42, mw * 0.16, open);
    cairo_fill(cr);
    cairo_restore(cr);

    return s;
}

bd::CairoSurface drawPumpkinBase() {
    bd::CairoSurface s(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kPumpkinSide, kPumpkinSide));
    bd::CairoContext context(cairo_create(s.get()));
    cairo_t* cr = context.get();
    drawPumpkinBody(cr, kPumpkinSide / 2.0, kPumpkinSide * 0.6, kPumpkinSide * 0.44,
                    kPumpkinSide * 0.34);
    return s;
}

// The wallpaper as the view shows it when idle on the default screen: the white square over
// the backdrop and the pumpkin, the gray bar, and the first lantern frame fitted into the view.
bd::CairoSurface drawThumbnail(cairo_surface_t* firstFrame) {
    const int w = int(kScreenW * kThumbScale), h = int(kScreenH * kThumbScale);
    bd::CairoSurface s(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h));
    bd::CairoContext context(cairo_create(s.get()));
    cairo_t* cr = context.get();
    cairo_scale(cr, kThumbScale, kThumbScale);  // from here on, points
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 0.5, 0.5, 0.5);
    cairo_rectangle(cr, 0, 0, kScreenW, kBarHeight);
    cairo_fill(cr);
    // Aspect fit of a square frame into the view: full width, centred vertically.
    double framePoints = double(kFrameSide) / kScale;
    double fit = std::min(kScreenW / framePoints, kScreenH / framePoints);
    double fw = framePoints * fit, fh = framePoints * fit;
    cairo_translate(cr, (kScreenW - fw) / 2, (kScreenH - fh) / 2);
    cairo_scale(cr, fit / kScale, fit / kScale);
    cairo_set_source_surface(cr, firstFrame, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
    cairo_paint(cr);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_assets OUTPUT_DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;

    ok = writeJpeg(drawBackdrop().get(), dir + "/bg.jpg", 88) && ok;
    ok = writePng(drawPumpkinBase().get(), dir + "/hallowmas_pumpkin_base.png") && ok;
    bd::CairoSurface first;
    for (int f = 0; f < kFrameCount; ++f) {
        bd::CairoSurface frame = drawLantern(f);
        char name[16];
        std::snprintf(name, sizeof name, "/%02d.png", f + 1);
        ok = writePng(frame.get(), dir + name) && ok;
        if (f == 0) first = std::move(frame);
    }
    ok = writePng(drawThumbnail(first.get()).get(), dir + "/thumbnail.png") && ok;
    first.reset();

    cairo_debug_reset_static_data();
    return ok ? 0 : 1;
}
