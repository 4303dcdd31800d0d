// The launcher's icon grid drawn over the wallpaper: 4 x 6 IconViewNode placeholders with
// pictures and names drawn in code (cairo), at the screen's scale. Every view of the grid
// stands on whole screen pixels and every picture is made at the size it is shown, so a frame
// copies the pictures pixel for pixel instead of resampling them.

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>

#include "CoreGraphics/CGHandlesPrivate.h"
#include "Foundation/NSString.h"
#include "HostScene.h"
#include "UIKit/UIColor.h"
#include "UIKit/UIImage.h"
#include "UIKit/UIImageView.h"
#include "interface/IconViewNode.h"

namespace host {
namespace {

using std::numbers::pi;

constexpr int kColumns = 4;
constexpr int kRows = 6;
const char* const kNames[kColumns * kRows] = {
    "Mail",   "Notes",   "Clock", "Maps",  "Photos", "Camera",  "Music",  "Weather",
    "Diary",  "Files",   "Books", "News",  "Stocks", "Compass", "Radio",  "Chess",
    "Garden", "Recipes", "Tides", "Stars", "Sketch", "Budget",  "Trains", "Settings"};

// A picture from a cairo surface (copied into the picture's own buffer).
UIImage* imageFromSurface(cairo_surface_t* s, double scale) {
    cairo_surface_flush(s);
    size_t w = size_t(cairo_image_surface_get_width(s)),
           h = size_t(cairo_image_surface_get_height(s));
    size_t stride = size_t(cairo_image_surface_get_stride(s));
    std::shared_ptr<uint8_t[]> px(new uint8_t[w * h * 4]);
    const uint8_t* src = cairo_image_surface_get_data(s);
    for (size_t y = 0; y < h; ++y) std::memcpy(px.get() + y * w * 4, src + y * stride, w * 4);
    Ref<CGImage> img = adopt(bd::createARGB32Image(w, h, px));
    return img ? UIImage::imageWithCGImage(img.get(), scale, UIImageOrientationUp) : nullptr;
}

void hsv(double h, double s, double v, double* r, double* g, double* b) {
    double c = v * s, x = c * (1 - std::fabs(std::fmod(h / 60, 2) - 1)), m = v - c;
    double rr = 0, gg = 0, bb = 0;
    if (h < 60)
        rr = c, gg = x;
    else if (h < 120)
        rr = x, gg = c;
    else if (h < 180)
        gg = c, bb = x;
    else if (h < 240)
        gg = x, bb = c;
    else if (h < 300)
        rr = x, bb = c;
    else
        rr = c, bb = x;
    *r = rr + m, *g = gg + m, *b = bb + m;
}

void roundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -pi / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, pi / 2);
    cairo_arc(cr, x + r, y + h - r, r, pi / 2, pi);
    cairo_arc(cr, x + r, y + r, r, pi, 3 * pi / 2);
    cairo_close_path(cr);
}

// An app icon of px × px pixels: a rounded square in a colour of its own with a white glyph.
UIImage* drawIcon(int index, int px, double scale) {
    bd::CairoSurface s(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, px, px));
    bd::CairoContext context(cairo_create(s.get()));
    cairo_t* cr = context.get();
    cairo_scale(cr, px, px);  // draw in a unit square
    double r, g, b, r2, g2, b2;
    double hue = std::fmod(index * 360.0 / (kColumns * kRows) * 7, 360.0);
    hsv(hue, 0.65, 0.95, &r, &g, &b);
    hsv(hue, 0.85, 0.65, &r2, &g2, &b2);
    bd::CairoPattern grad(cairo_pattern_create_linear(0, 0, 0, 1));
    cairo_pattern_add_color_stop_rgb(grad.get(), 0, r, g, b);
    cairo_pattern_add_color_stop_rgb(grad.get(), 1, r2, g2, b2);
    roundedRect(cr, 0, 0, 1, 1, 0.22);
    cairo_set_source(cr, grad.get());
    cairo_fill(cr);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.92);
    cairo_set_line_width(cr, 0.08);
    switch (index % 6) {
        case 0:
            cairo_arc(cr, 0.5, 0.5, 0.22, 0, 2 * pi);
            cairo_fill(cr);
            break;
        case 1:
            cairo_arc(cr, 0.5, 0.5, 0.24, 0, 2 * pi);
            cairo_stroke(cr);
            break;
        case 2:
            cairo_rectangle(cr, 0.3, 0.3, 0.4, 0.4);
            cairo_fill(cr);
            break;
        case 3:
            cairo_move_to(cr, 0.5, 0.26);
            cairo_line_to(cr, 0.75, 0.72);
            cairo_line_to(cr, 0.25, 0.72);
            cairo_close_path(cr);
            cairo_fill(cr);
            break;
        case 4:
            for (int i = 0; i < 3; ++i) {
                cairo_rectangle(cr, 0.27 + i * 0.17, 0.62 - i * 0.14, 0.11, 0.12 + i * 0.14);
                cairo_fill(cr);
            }
            break;
        default:
            cairo_move_to(cr, 0.28, 0.5);
            cairo_line_to(cr, 0.72, 0.5);
            cairo_move_to(cr, 0.5, 0.28);
            cairo_line_to(cr, 0.5, 0.72);
            cairo_stroke(cr);
            break;
    }
    context.reset();
    return imageFromSurface(s.get(), scale);
}

// An icon's name in white with a soft dark shadow, centred in w × h pixels.
UIImage* drawLabel(const char* text, int w, int h, double fontPt, double scale) {
    double widthPt = w / scale, heightPt = h / scale;
    bd::CairoSurface s(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h));
    bd::CairoContext context(cairo_create(s.get()));
    cairo_t* cr = context.get();
    cairo_scale(cr, scale, scale);
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, fontPt);
    cairo_text_extents_t ext;
    cairo_text_extents(cr, text, &ext);
    cairo_font_extents_t fe;
    cairo_font_extents(cr, &fe);
    // Every name on the same baseline, whatever its letters.
    double x = (widthPt - ext.x_advance) / 2;
    double y = heightPt / 2 + (fe.ascent - fe.descent) / 2;
    // A dark rim under the white letters keeps them legible on light and dark wallpapers.
    cairo_move_to(cr, x, y);
    cairo_text_path(cr, text);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.6);
    cairo_set_line_width(cr, 2.2 / std::max(scale, 1.0) + 0.8);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_stroke_preserve(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_fill(cr);
    context.reset();
    return imageFromSurface(s.get(), scale);
}

// One cell of the grid: the icon record and its picture and name.
class IconCell : public UIView {
  public:
    Ref<IconViewNode> node;

  protected:
    void dealloc() override {
        node = nullptr;
        UIView::dealloc();
    }
};

}  // namespace

void releaseTextCaches() {
    cairo_debug_reset_static_data();
    FcFini();
}

UIView* makeIconGrid(const ScreenSpec& screen) {
    UIView* grid = alloc<UIView>()->initWithFrame(CGRectMake(0, 0, screen.width, screen.height));
    grid->autorelease();
    grid->setUserInteractionEnabled(false);  // the wallpaper below takes the touches
    grid->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);

    const double top = 28, bottom = 12;  // room for a status bar, and a margin below
    const double scale = screen.scale;
    // Whole screen pixels, in points.
    auto px = [scale](double points) { return std::max(1L, std::lround(points * scale)); };
    auto pt = [scale](long pixels) { return double(pixels) / scale; };
    double cellW = screen.width / kColumns;
    double cellH = std::max(1.0, (screen.height - top - bottom) / kRows);
    long icon = px(std::max(8.0, std::min(cellW * 0.72, cellH * 0.64)));
    long labelH = px(std::max(6.0, std::min(16.0, cellH - pt(icon) - 4)));
    double font = std::max(5.0, std::min(11.0, pt(labelH) * 0.72));
    for (int i = 0; i < kColumns * kRows; ++i) {
        int col = i % kColumns, row = i / kColumns;
        Ref<IconViewNode> node = adopt(alloc<IconViewNode>()->init());
        char id[64];
        std::snprintf(id, sizeof id, "local.backdrop.placeholder%02d", i + 1);
        node->setAppID(NSString::stringWithUTF8String(id));
        node->setAppName(NSString::stringWithUTF8String(kNames[i]));
        node->setAppicon(drawIcon(i, int(icon), scale));
        node->setIsRunning(i % 7 == 2);

        long x0 = std::lround(col * cellW * scale), x1 = std::lround((col + 1) * cellW * scale);
        long y0 = std::lround((top + row * cellH) * scale);
        long w = std::max(1L, x1 - x0), h = px(cellH);
        Ref<IconCell> cell = adopt(static_cast<IconCell*>(
            alloc<IconCell>()->initWithFrame(CGRectMake(pt(x0), pt(y0), pt(w), pt(h)))));
        cell->node = node;
        Ref<UIImageView> picture = adopt(alloc<UIImageView>()->initWithImage(node->appicon()));
        picture->setFrame(CGRectMake(pt((w - icon) / 2), 0, pt(icon), pt(icon)));
        cell->addSubview(picture.get());
        long labelY = icon + px(2);
        Ref<UIImageView> label = adopt(alloc<UIImageView>()->initWithImage(
            drawLabel(node->appName()->UTF8String(), int(w), int(labelH), font, scale)));
        label->setFrame(CGRectMake(0, pt(labelY), pt(w), pt(labelH)));
        cell->addSubview(label.get());
        if (node->isRunning()) {
            // A launcher marks a running application with a dot under its name.
            long dot = px(4);
            Ref<UIView> mark = adopt(alloc<UIView>()->initWithFrame(
                CGRectMake(pt((w - dot) / 2), pt(labelY + labelH + px(1)), pt(dot), pt(dot))));
            mark->setBackgroundColor(UIColor::whiteColor());
            cell->addSubview(mark.get());
        }
        grid->addSubview(cell.get());
    }
    return grid;
}

}  // namespace host
