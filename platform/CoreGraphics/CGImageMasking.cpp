// Bitmaps made from bitmaps: a part cut out, a mask applied, colour ranges made transparent.

#include <algorithm>
#include <cmath>
#include <vector>

#include "CoreGraphics/CGImage.h"
#include "CoreGraphics/CGImagePixels.h"
#include "CoreGraphics/CGPixelKernels.h"
#include "CoreGraphics/CGRaster.h"

CGImageRef CGImageCreateWithImageInRect(CGImageRef image, CGRect rect) {
    if (!image || image->bitsPerPixel() % 8) return nullptr;
    CGRect bounds = CGRectMake(0, 0, double(image->width()), double(image->height()));
    CGRect r = CGRectIntersection(CGRectIntegral(rect), bounds);
    if (CGRectIsEmpty(r)) return nullptr;
    // Integral and inside the bounds, so these are exact whole numbers in range.
    size_t x = size_t(r.origin.x), y = size_t(r.origin.y);
    size_t w = size_t(r.size.width), h = size_t(r.size.height);
    CGDataProviderRef whole = image->dataProvider();
    if (!whole || !whole->buffer()) return nullptr;
    size_t offset = y * image->bytesPerRow() + x * (image->bitsPerPixel() / 8);
    if (offset >= whole->length()) return nullptr;
    std::shared_ptr<const uint8_t[]> part(whole->buffer(), whole->bytes() + offset);
    Ref<CGDataProvider> provider =
        adopt(CGDataProviderCreateWithBuffer(std::move(part), whole->length() - offset));
    return new CGImage(w, h, image->bitsPerComponent(), image->bitsPerPixel(), image->bytesPerRow(),
                       image->colorSpace(), image->bitmapInfo(), provider.get(),
                       image->shouldInterpolate(), image->isMask());
}

CGImageRef CGImageCreateWithMask(CGImageRef image, CGImageRef mask) {
    if (!image || !mask || image->isMask()) return nullptr;
    if (!bd::imageReadable(image) || !bd::imageReadable(mask)) return nullptr;
    size_t w = image->width(), h = image->height();
    // The mask's coverage over the bitmap's pixels: read 1:1, or stretched through cairo.
    bd::Raster stretched;
    bool sameSize = mask->width() == w && mask->height() == h;
    if (!sameSize) {
        CGAffineTransform m = CGAffineTransformMakeScale(double(w) / double(mask->width()),
                                                         double(h) / double(mask->height()));
        stretched = bd::renderImage(
            mask, m, bd::IRect{0, 0, int(w), int(h)}, true,
            mask->shouldInterpolate() ? bd::Sampling::Smooth : bd::Sampling::Nearest, true);
        if (!stretched.data) return nullptr;
    }
    std::shared_ptr<uint8_t[]> out = bd::allocPixels(w * h * 4, false);
    if (!out) return nullptr;
    std::vector<uint32_t> srcTmp(w);
    std::vector<uint8_t> covTmp(w);
    for (size_t y = 0; y < h; ++y) {
        const uint32_t* s = bd::imageRowARGB(image, y, 0, w, srcTmp.data());
        const uint8_t* cov =
            sameSize ? bd::imageRowCoverage(mask, y, 0, w, covTmp.data()) : stretched.row(int(y));
        bd::px::composite(bd::px::Blend::Normal, s, cov, nullptr,
                          reinterpret_cast<uint32_t*>(out.get() + y * w * 4), w);
    }
    return bd::makeImage(std::move(out), w, h, false);
}

CGImageRef CGImageCreateWithMaskingColors(CGImageRef image, const double* components) {
    if (!image || !components || image->isMask() || !bd::imageReadable(image)) return nullptr;
    size_t n = image->colorSpace() ? image->colorSpace()->numberOfComponents() : 0;
    if (n != 1 && n != 3) return nullptr;
    // Whole sample values inside each range; a range without any (or NaN) masks nothing.
    int lo[3], hi[3];
    bool none = false;
    for (size_t i = 0; i < n; ++i) {
        double a = components[2 * i], b = components[2 * i + 1];
        if (!(a <= b) || b < 0 || a > 255) {
            none = true;
            continue;
        }
        lo[i] = int(std::ceil(std::max(a, 0.0)));
        hi[i] = int(std::floor(std::min(b, 255.0)));
        if (lo[i] > hi[i]) none = true;
    }
    size_t w = image->width(), h = image->height();
    std::shared_ptr<uint8_t[]> out = bd::allocPixels(w * h * 4, false);
    if (!out) return nullptr;
    bool plainGray =
        n == 1 && image->bitsPerPixel() == 8 && image->alphaInfo() == kCGImageAlphaNone;
    std::vector<uint32_t> tmp(w);
    for (size_t y = 0; y < h; ++y) {
        uint32_t* o = reinterpret_cast<uint32_t*>(out.get() + y * w * 4);
        if (plainGray) {
            const uint8_t* g = image->bytes() + y * image->bytesPerRow();
            if (none)
                bd::px::grayToARGB(g, o, w);
            else
                bd::px::maskGrayRange(g, uint8_t(lo[0]), uint8_t(hi[0]), o, w);
            continue;
        }
        const uint32_t* s = bd::imageRowARGB(image, y, 0, w, tmp.data());
        for (size_t x = 0; x < w; ++x) {
            uint32_t p = s[x], a = p >> 24;
            bool masked = !none && a > 0;
            if (masked) {
                // Straight colour of each component, compared with its range.
                int ch[3] = {int((p >> 16) & 0xFF), int((p >> 8) & 0xFF), int(p & 0xFF)};
                for (size_t i = 0; i < n && masked; ++i) {
                    int v = a == 255 ? ch[i] : int((uint32_t(ch[i]) * 255 + a / 2) / a);
                    masked = v >= lo[i] && v <= hi[i];
                }
            }
            o[x] = masked ? 0 : p;
        }
    }
    return bd::makeImage(std::move(out), w, h, false);
}
