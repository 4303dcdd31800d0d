#include "CoreGraphics/CGRaster.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "CoreGraphics/CGHandlesPrivate.h"
#include "CoreGraphics/CGImagePixels.h"

namespace bd {

namespace {

constexpr double kLimit = double(1 << 30);

// The raster's pixels keep the surface alive for as long as they are read.
Raster fromSurface(CairoSurface s, IRect rect) {
    Raster r;
    if (cairo_surface_status(s.get()) != CAIRO_STATUS_SUCCESS) return r;
    cairo_surface_flush(s.get());
    r.stride = size_t(cairo_image_surface_get_stride(s.get()));
    r.rect = rect;
    std::shared_ptr<cairo_surface_t> owner(std::move(s));
    r.data = std::shared_ptr<uint8_t>(owner, cairo_image_surface_get_data(owner.get()));
    return r;
}

bool finite(CGPoint p) {
    return std::isfinite(p.x) && std::isfinite(p.y);
}

// A cairo surface over the bitmap's pixels (ARGB32 or A8 coverage), with the buffer that
// backs it when the bitmap had to be converted.
struct Source {
    std::vector<uint32_t> argb;
    std::vector<uint8_t> a8;
    CairoSurface surface;  // declared last: goes before the buffers it reads
};

bool makeSource(CGImageRef image, bool asCoverage, Source& s) {
    int w = int(image->width()), h = int(image->height());
    if (!asCoverage && image->isARGB32()) {
        s.surface.reset(cairo_image_surface_create_for_data(const_cast<uint8_t*>(image->bytes()),
                                                            CAIRO_FORMAT_ARGB32, w, h,
                                                            int(image->bytesPerRow())));
    } else if (!asCoverage) {
        s.argb.resize(size_t(w) * size_t(h));
        for (int y = 0; y < h; ++y) {
            uint32_t* row = s.argb.data() + size_t(y) * size_t(w);
            const uint32_t* p = imageRowARGB(image, size_t(y), 0, size_t(w), row);
            if (p != row) std::memcpy(row, p, size_t(w) * 4);
        }
        s.surface.reset(cairo_image_surface_create_for_data(
            reinterpret_cast<uint8_t*>(s.argb.data()), CAIRO_FORMAT_ARGB32, w, h, w * 4));
    } else {
        int stride = cairo_format_stride_for_width(CAIRO_FORMAT_A8, w);
        s.a8.resize(size_t(stride) * size_t(h));
        for (int y = 0; y < h; ++y) {
            uint8_t* row = s.a8.data() + size_t(y) * size_t(stride);
            const uint8_t* p = imageRowCoverage(image, size_t(y), 0, size_t(w), row);
            if (p != row) std::memcpy(row, p, size_t(w));
        }
        s.surface.reset(
            cairo_image_surface_create_for_data(s.a8.data(), CAIRO_FORMAT_A8, w, h, stride));
    }
    return cairo_surface_status(s.surface.get()) == CAIRO_STATUS_SUCCESS;
}

}  // namespace

IRect intersect(IRect a, IRect b) {
    IRect r{std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1)};
    if (r.empty()) r = IRect{};
    return r;
}

IRect pixelBounds(CGRect r) {
    r = CGRectStandardize(r);
    double x0 = r.origin.x, y0 = r.origin.y, x1 = x0 + r.size.width, y1 = y0 + r.size.height;
    if (!(std::isfinite(x0) && std::isfinite(y0) && std::isfinite(x1) && std::isfinite(y1)))
        return IRect{};
    auto clampd = [](double v) { return std::clamp(v, -kLimit, kLimit); };
    IRect out{int(std::floor(clampd(x0))), int(std::floor(clampd(y0))), int(std::ceil(clampd(x1))),
              int(std::ceil(clampd(y1)))};
    if (out.empty()) return IRect{};
    return out;
}

IRect pathBounds(const std::vector<PathSegment>& path) {
    double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
    bool any = false;
    for (const PathSegment& s : path) {
        int n = s.op == PathSegment::Curve ? 3 : s.op == PathSegment::Close ? 0 : 1;
        for (int i = 0; i < n; ++i) {
            if (!finite(s.p[i])) return IRect{};
            x0 = std::min(x0, s.p[i].x), x1 = std::max(x1, s.p[i].x);
            y0 = std::min(y0, s.p[i].y), y1 = std::max(y1, s.p[i].y);
            any = true;
        }
    }
    if (!any) return IRect{};
    return pixelBounds(CGRectMake(x0, y0, x1 - x0, y1 - y0));
}

Raster rasterisePath(const std::vector<PathSegment>& path, IRect rect, bool evenOdd,
                     bool antialias) {
    if (rect.empty()) return {};
    CairoSurface s(cairo_image_surface_create(CAIRO_FORMAT_A8, rect.width(), rect.height()));
    if (cairo_surface_status(s.get()) != CAIRO_STATUS_SUCCESS) return {};
    CairoContext context(cairo_create(s.get()));
    cairo_t* cr = context.get();
    cairo_translate(cr, -rect.x0, -rect.y0);
    cairo_set_fill_rule(cr, evenOdd ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
    cairo_set_antialias(cr, antialias ? CAIRO_ANTIALIAS_DEFAULT : CAIRO_ANTIALIAS_NONE);
    for (const PathSegment& seg : path) {
        switch (seg.op) {
            case PathSegment::Move:
                cairo_move_to(cr, seg.p[0].x, seg.p[0].y);
                break;
            case PathSegment::Line:
                cairo_line_to(cr, seg.p[0].x, seg.p[0].y);
                break;
            case PathSegment::Curve:
                cairo_curve_to(cr, seg.p[0].x, seg.p[0].y, seg.p[1].x, seg.p[1].y, seg.p[2].x,
                               seg.p[2].y);
                break;
            case PathSegment::Close:
                cairo_close_path(cr);
                break;
        }
    }
    cairo_fill(cr);
    context.reset();
    return fromSurface(std::move(s), rect);
}

Raster renderImage(CGImageRef image, CGAffineTransform m, IRect rect, bool asCoverage,
                   Sampling sampling, bool antialias) {
    if (rect.empty() || !image || !imageReadable(image)) return {};
    cairo_matrix_t toDevice;
    cairo_matrix_init(&toDevice, m.a, m.b, m.c, m.d, m.tx, m.ty);
    cairo_matrix_t toImage = toDevice;
    if (cairo_matrix_invert(&toImage) != CAIRO_STATUS_SUCCESS) return {};
    Source src;
    if (!makeSource(image, asCoverage, src)) return {};

    CairoSurface s(cairo_image_surface_create(asCoverage ? CAIRO_FORMAT_A8 : CAIRO_FORMAT_ARGB32,
                                              rect.width(), rect.height()));
    if (cairo_surface_status(s.get()) != CAIRO_STATUS_SUCCESS) return {};
    CairoContext context(cairo_create(s.get()));
    cairo_t* cr = context.get();
    cairo_translate(cr, -rect.x0, -rect.y0);
    CairoPattern source(cairo_pattern_create_for_surface(src.surface.get()));
    cairo_pattern_t* pattern = source.get();
    // The pattern's matrix maps cairo's user space (device pixels here, after the translate
    // is undone by cairo itself) to the bitmap's pixels.
    cairo_pattern_set_matrix(pattern, &toImage);
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
    cairo_filter_t filter = CAIRO_FILTER_NEAREST;
    if (sampling == Sampling::Smooth) {
        double sx = std::hypot(m.a, m.b), sy = std::hypot(m.c, m.d);
        filter = sx < 1 || sy < 1 ? CAIRO_FILTER_GOOD : CAIRO_FILTER_BILINEAR;
    }
    cairo_pattern_set_filter(pattern, filter);
    cairo_set_source(cr, pattern);
    cairo_set_antialias(cr, antialias ? CAIRO_ANTIALIAS_DEFAULT : CAIRO_ANTIALIAS_NONE);
    // The bitmap's outline: its corners through m.
    double w = double(image->width()), h = double(image->height());
    const double corners[4][2] = {{0, 0}, {w, 0}, {w, h}, {0, h}};
    for (int i = 0; i < 4; ++i) {
        double x = corners[i][0], y = corners[i][1];
        cairo_matrix_transform_point(&toDevice, &x, &y);
        if (i == 0)
            cairo_move_to(cr, x, y);
        else
            cairo_line_to(cr, x, y);
    }
    cairo_close_path(cr);
    cairo_fill(cr);
    context.reset();
    return fromSurface(std::move(s), rect);
}

}  // namespace bd
