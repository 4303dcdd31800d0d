#include "UIKit/ImageIO.h"

#include <png.h>

#include <cstring>

#include "Foundation/FileIO.h"

namespace bd {
namespace {

// Converts a bitmap of any supported 8-bit layout to straight (un-premultiplied) RGBA bytes,
// or to plain gray bytes for one-component bitmaps. false for layouts we cannot read.
bool toStraight(CGImageRef image, std::vector<uint8_t>& out, bool& gray) {
    if (!image || image->bitsPerComponent() != 8) return false;
    size_t w = image->width(), h = image->height(), bpr = image->bytesPerRow();
    size_t bpp = image->bitsPerPixel() / 8;
    const uint8_t* src = image->bytes();
    CGColorSpaceRef cs = image->colorSpace();
    size_t comps = cs ? cs->numberOfComponents() : 1;
    CGImageAlphaInfo alpha = image->alphaInfo();
    if (image->isMask() || (comps == 1 && alpha == kCGImageAlphaNone)) {
        gray = true;
        out.resize(w * h);
        for (size_t y = 0; y < h; ++y)
            for (size_t x = 0; x < w; ++x) out[y * w + x] = src[y * bpr + x * bpp];
        return true;
    }
    if (comps != 3 || bpp != 4) return false;
    gray = false;
    uint32_t order = image->bitmapInfo() & kCGBitmapByteOrderMask;
    bool reversed = order == kCGBitmapByteOrder32Little;
    bool alphaFirst = alpha == kCGImageAlphaPremultipliedFirst || alpha == kCGImageAlphaFirst ||
                      alpha == kCGImageAlphaNoneSkipFirst;
    bool hasAlpha = alpha != kCGImageAlphaNoneSkipFirst && alpha != kCGImageAlphaNoneSkipLast &&
                    alpha != kCGImageAlphaNone;
    bool premul =
        alpha == kCGImageAlphaPremultipliedFirst || alpha == kCGImageAlphaPremultipliedLast;
    out.resize(w * h * 4);
    for (size_t y = 0; y < h; ++y) {
        for (size_t x = 0; x < w; ++x) {
            const uint8_t* p = src + y * bpr + x * 4;
            uint8_t q[4];
            for (int i = 0; i < 4; ++i)
                q[i] = reversed ? p[3 - i] : p[i];  // memory order, big-endian view
            uint8_t a, r, g, b;
            if (alphaFirst)
                a = q[0], r = q[1], g = q[2], b = q[3];
            else
                r = q[0], g = q[1], b = q[2], a = q[3];
            if (!hasAlpha) a = 255;
            if (premul && a != 255) {
                auto un = [a](uint8_t c) -> uint8_t {
                    if (!a) return 0;
                    unsigned v = (unsigned(c) * 255 + a / 2) / a;
                    return uint8_t(v > 255 ? 255 : v);
                };
                r = un(r), g = un(g), b = un(b);
            }
            uint8_t* d = &out[(y * w + x) * 4];
            d[0] = r, d[1] = g, d[2] = b, d[3] = a;
        }
    }
    return true;
}

bool prepare(CGImageRef image, png_image& img, std::vector<uint8_t>& pixels) {
    bool gray = false;
    if (!toStraight(image, pixels, gray)) return false;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    img.width = png_uint_32(image->width());
    img.height = png_uint_32(image->height());
    img.format = gray ? PNG_FORMAT_GRAY : PNG_FORMAT_RGBA;
    return true;
}

}  // namespace

bool writePNG(CGImageRef image, const char* path) {
    if (!path) return false;
    std::vector<uint8_t> png = encodePNG(image);
    return !png.empty() && writeFileAtomically(path, png.data(), png.size());
}

std::vector<uint8_t> encodePNG(CGImageRef image) {
    png_image img;
    std::vector<uint8_t> pixels;
    if (!prepare(image, img, pixels)) return {};
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&img, nullptr, &size, 0, pixels.data(), 0, nullptr)) return {};
    std::vector<uint8_t> out(size);
    if (!png_image_write_to_memory(&img, out.data(), &size, 0, pixels.data(), 0, nullptr))
        return {};
    out.resize(size);
    png_image_free(&img);
    return out;
}

}  // namespace bd
