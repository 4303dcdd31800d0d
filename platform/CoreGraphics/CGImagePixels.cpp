#include "CoreGraphics/CGImagePixels.h"

#include <cstdlib>
#include <cstring>

#include "CoreGraphics/CGPixelKernels.h"

namespace bd {

namespace {

// Where the channels of one pixel lie, in bytes from the pixel's start (−1: absent).
struct Places {
    int a = -1, r = -1, g = -1, b = -1, gray = -1;
    bool premultiplied = true;
    size_t bytes = 0;  // per pixel
    bool ok = false;
};

Places placesOf(CGImageRef image) {
    Places p;
    if (!image || image->bitsPerComponent() != 8 || image->bitsPerPixel() % 8) return p;
    p.bytes = image->bitsPerPixel() / 8;
    if (image->isMask()) {
        p.gray = 0;
        p.ok = p.bytes >= 1;
        return p;
    }
    CGImageAlphaInfo alpha = image->alphaInfo();
    uint32_t order = image->bitmapInfo() & kCGBitmapByteOrderMask;
    bool first = alpha == kCGImageAlphaPremultipliedFirst || alpha == kCGImageAlphaFirst ||
                 alpha == kCGImageAlphaNoneSkipFirst;
    bool keepsAlpha = alpha == kCGImageAlphaPremultipliedFirst || alpha == kCGImageAlphaFirst ||
                      alpha == kCGImageAlphaPremultipliedLast || alpha == kCGImageAlphaLast;
    p.premultiplied = alpha != kCGImageAlphaFirst && alpha != kCGImageAlphaLast;
    size_t components = image->colorSpace() ? image->colorSpace()->numberOfComponents() : 0;
    if (alpha == kCGImageAlphaOnly) {
        p.a = 0;
        p.ok = p.bytes >= 1;
        return p;
    }
    if (components == 1) {
        if (p.bytes == 1 && alpha == kCGImageAlphaNone) {
            p.gray = 0;
        } else if (p.bytes == 2) {
            int gray = first ? 1 : 0, other = first ? 0 : 1;
            if (order == kCGBitmapByteOrder16Little) gray = 1 - gray, other = 1 - other;
            p.gray = gray;
            if (keepsAlpha) p.a = other;
        } else {
            return p;
        }
    } else if (components == 3) {
        if (p.bytes == 3 && alpha == kCGImageAlphaNone) {
            p.r = 0, p.g = 1, p.b = 2;
        } else if (p.bytes == 4) {
            int pos[4];  // big-endian view: A R G B or R G B A (x for skipped / none)
            if (first)
                pos[0] = 0, pos[1] = 1, pos[2] = 2, pos[3] = 3;  // a r g b
            else
                pos[0] = 3, pos[1] = 0, pos[2] = 1, pos[3] = 2;
            if (order == kCGBitmapByteOrder32Little)
                for (int& v : pos) v = 3 - v;
            if (keepsAlpha) p.a = pos[0];
            p.r = pos[1], p.g = pos[2], p.b = pos[3];
        } else {
            return p;
        }
    } else {
        return p;
    }
    p.ok = true;
    return p;
}

inline uint8_t premul(uint8_t c, uint8_t a) {
    return uint8_t(px::div255(uint32_t(c) * a));
}

}  // namespace

std::shared_ptr<uint8_t[]> allocPixels(size_t n, bool zeroed) {
    void* p = zeroed ? std::calloc(n ? n : 1, 1) : std::malloc(n ? n : 1);
    if (!p) return nullptr;
    return std::shared_ptr<uint8_t[]>(static_cast<uint8_t*>(p), [](uint8_t* q) { std::free(q); });
}

CGImageRef makeImage(std::shared_ptr<const uint8_t[]> pixels, size_t width, size_t height,
                     bool gray) {
    size_t bpr = width * (gray ? 1 : 4);
    Ref<CGDataProvider> provider =
        adopt(CGDataProviderCreateWithBuffer(std::move(pixels), bpr * height));
    Ref<CGColorSpace> space =
        adopt(gray ? CGColorSpaceCreateDeviceGray() : CGColorSpaceCreateDeviceRGB());
    return CGImageCreate(width, height, 8, gray ? 8 : 32, bpr, space.get(),
                         gray ? CGBitmapInfo(kCGImageAlphaNone) : kBDBitmapInfoARGB32,
                         provider.get(), nullptr, true, kCGRenderingIntentDefault);
}

bool imageReadable(CGImageRef image) {
    return placesOf(image).ok && image->bytes();
}

bool imageIsNativeARGB(CGImageRef image) {
    return image && image->isARGB32();
}

bool imageHasAlpha(CGImageRef image) {
    if (!image || image->isMask()) return false;
    CGImageAlphaInfo a = image->alphaInfo();
    return a == kCGImageAlphaPremultipliedFirst || a == kCGImageAlphaPremultipliedLast ||
           a == kCGImageAlphaFirst || a == kCGImageAlphaLast || a == kCGImageAlphaOnly;
}

const uint32_t* imageRowARGB(CGImageRef image, size_t y, size_t x, size_t n, uint32_t* tmp) {
    const uint8_t* row = image->bytes() + y * image->bytesPerRow();
    if (image->isARGB32()) {
        if ((reinterpret_cast<uintptr_t>(row) & 3) == 0)
            return reinterpret_cast<const uint32_t*>(row) + x;
        std::memcpy(tmp, row + 4 * x, n * 4);
        return tmp;
    }
    Places p = placesOf(image);
    if (!p.ok) {
        std::memset(tmp, 0, n * 4);
        return tmp;
    }
    const uint8_t* s = row + x * p.bytes;
    if (image->isMask()) {
        for (size_t i = 0; i < n; ++i) tmp[i] = uint32_t(255 - s[i * p.bytes]) << 24;
        return tmp;
    }
    if (p.gray >= 0 && p.a < 0 && p.bytes == 1) {
        px::grayToARGB(s, tmp, n);
        return tmp;
    }
    for (size_t i = 0; i < n; ++i, s += p.bytes) {
        uint8_t a = p.a >= 0 ? s[p.a] : 255;
        uint8_t r, g, b;
        if (p.gray >= 0)
            r = g = b = s[p.gray];
        else if (p.r >= 0)
            r = s[p.r], g = s[p.g], b = s[p.b];
        else
            r = g = b = 0;  // alpha only: black
        if (!p.premultiplied) r = premul(r, a), g = premul(g, a), b = premul(b, a);
        // Keep premultiplied input valid: no channel above alpha.
        if (r > a) r = a;
        if (g > a) g = a;
        if (b > a) b = a;
        tmp[i] = uint32_t(a) << 24 | uint32_t(r) << 16 | uint32_t(g) << 8 | b;
    }
    return tmp;
}

const uint8_t* imageRowCoverage(CGImageRef image, size_t y, size_t x, size_t n, uint8_t* tmp) {
    const uint8_t* row = image->bytes() + y * image->bytesPerRow();
    Places p = placesOf(image);
    if (!p.ok) {
        std::memset(tmp, 0, n);
        return tmp;
    }
    const uint8_t* s = row + x * p.bytes;
    if (image->isMask()) {
        if (p.bytes == 1) {
            px::invert(s, tmp, n);
        } else {
            for (size_t i = 0; i < n; ++i) tmp[i] = uint8_t(255 - s[i * p.bytes]);
        }
        return tmp;
    }
    if (image->isARGB32() && (reinterpret_cast<uintptr_t>(row) & 3) == 0) {
        px::alpha(reinterpret_cast<const uint32_t*>(row) + x, tmp, n);
        return tmp;
    }
    if (p.a >= 0) {
        for (size_t i = 0; i < n; ++i) tmp[i] = s[i * p.bytes + p.a];
        return tmp;
    }
    if (p.gray >= 0) {
        if (p.bytes == 1) return s;
        for (size_t i = 0; i < n; ++i) tmp[i] = s[i * p.bytes + p.gray];
        return tmp;
    }
    for (size_t i = 0; i < n; ++i, s += p.bytes) {
        uint32_t v = 0xFF000000u | uint32_t(s[p.r]) << 16 | uint32_t(s[p.g]) << 8 | s[p.b];
        px::luma(&v, &tmp[i], 1);
    }
    return tmp;
}

}  // namespace bd
