#include "QuartzCore/CAPictureCache.h"

#include <algorithm>

#include "CoreGraphics/CGColorSpace.h"
#include "CoreGraphics/CGHandlesPrivate.h"

namespace bd {
namespace {

uint32_t premultiply(uint32_t a, uint32_t r, uint32_t g, uint32_t b) {
    auto mul = [](uint32_t c, uint32_t alpha) {
        uint32_t t = c * alpha + 128;
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
    cairo_surface_t* s = newARGBSurface(int(w), int(h));
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
    cairo_surface_t* s = newARGBSurface(w, h);
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

}  // namespace

cairo_surface_t* newARGBSurface(int width, int height) {
    CairoSurface s(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
    if (cairo_surface_status(s.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
    return s.release();
}

CAPicture::~CAPicture() {
    for (cairo_surface_t* s : levels) cairo_surface_destroy(s);
}

CAPicture* CAPictureCache::picture(CGImage* img) {
    auto it = _pictures.find(img);
    if (it != _pictures.end()) {
        it->second->lastUsed = _renderCount;
        return it->second->levels.empty() ? nullptr : it->second.get();
    }
    auto p = std::make_unique<CAPicture>();
    p->image = retained(img);
    p->lastUsed = _renderCount;
    cairo_surface_t* s = nullptr;
    if (img->isARGB32()) {
        // Drawn from the picture's own bytes; cairo only reads a source surface.
        CairoSurface shared(cairo_image_surface_create_for_data(
            const_cast<uint8_t*>(img->bytes()), CAIRO_FORMAT_ARGB32, int(img->width()),
            int(img->height()), int(img->bytesPerRow())));
        if (cairo_surface_status(shared.get()) == CAIRO_STATUS_SUCCESS) s = shared.release();
    } else {
        s = convertImage(img);
    }
    if (s) p->levels.push_back(s);
    CAPicture* raw = p.get();
    _pictures.emplace(img, std::move(p));
    return s ? raw : nullptr;
}

cairo_surface_t* CAPictureCache::level(CAPicture* p, double s) {
    size_t l = 0;
    while (s * 2 <= 1.0 + 1e-9) {
        if (l + 1 >= p->levels.size()) {
            cairo_surface_t* last = p->levels.back();
            if (cairo_image_surface_get_width(last) < 2 && cairo_image_surface_get_height(last) < 2)
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

namespace {
void scan(CAPicture* p) {
    cairo_surface_t* s = p->levels[0];
    cairo_surface_flush(s);
    const uint8_t* d = cairo_image_surface_get_data(s);
    int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
    size_t stride = size_t(cairo_image_surface_get_stride(s));
    bool opaque = true;
    int x0 = w, y0 = h, x1 = 0, y1 = 0;
    p->runs.clear();
    p->rowStart.assign(size_t(h) + 1, 0);
    for (int y = 0; y < h; ++y) {
        p->rowStart[size_t(y)] = uint32_t(p->runs.size());
        const uint32_t* row = reinterpret_cast<const uint32_t*>(d + size_t(y) * stride);
        for (int x = 0; x < w;) {
            uint32_t a = row[x] >> 24;
            if (a == 0) {
                opaque = false;
                ++x;
                continue;
            }
            bool full = a == 255;
            int start = x;
            while (x < w && (row[x] >> 24) != 0 && ((row[x] >> 24) == 255) == full) ++x;
            if (!full) opaque = false;
            // Runs of each kind side by side stay apart: opaque ones are copied, others
            // blended.
            p->runs.push_back({start, x - start, full});
            x0 = std::min(x0, start), x1 = std::max(x1, x);
            y0 = std::min(y0, y), y1 = y + 1;
        }
    }
    p->rowStart[size_t(h)] = uint32_t(p->runs.size());
    // A picture whose alpha changes at every few pixels has no use for runs.
    if (p->runs.size() > size_t(w) * size_t(h) / 8) {
        p->runs.clear();
        p->rowStart.clear();
    }
    p->opaque = opaque;
    p->visible = x1 > x0 ? PixelRect{x0, y0, x1 - x0, y1 - y0} : PixelRect{};
    p->scanned = true;
}
}  // namespace

bool CAPictureCache::isOpaque(CAPicture* p) {
    if (!p->scanned) scan(p);
    return p->opaque;
}

PixelRect CAPictureCache::visibleBox(CAPicture* p) {
    if (!p->scanned) scan(p);
    return p->visible;
}

void CAPictureCache::beginRender() {
    ++_renderCount;
    for (auto it = _pictures.begin(); it != _pictures.end();) {
        if (_renderCount - it->second->lastUsed > kKeepRenders)
            it = _pictures.erase(it);
        else
            ++it;
    }
}

}  // namespace bd
