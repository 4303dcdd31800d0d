#include "support/pictures.h"

#include <cstdio>
#include <cstdlib>

#include "CoreGraphics/CGColorSpace.h"
#include "CoreGraphics/CGImagePixels.h"
#include "UIKit/ImageIO.h"
#include "support/files.h"

namespace bdtest {

CGImageRef makeSolidImage(size_t width, size_t height, uint32_t argb) {
    return makeImage(width, height, [argb](size_t, size_t) { return argb; });
}

CGImageRef makeImage(size_t width, size_t height,
                     const std::function<uint32_t(size_t x, size_t y)>& argb) {
    std::vector<uint32_t> pixels(width * height);
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x) pixels[y * width + x] = argb(x, y);
    CGDataProviderRef provider =
        CGDataProviderCreateWithCopyOfData(pixels.data(), pixels.size() * sizeof(uint32_t));
    CGColorSpaceRef space = CGColorSpaceCreateDeviceRGB();
    CGImageRef image = CGImageCreate(width, height, 8, 32, width * 4, space, kBDBitmapInfoARGB32,
                                     provider, nullptr, true, kCGRenderingIntentDefault);
    CGColorSpaceRelease(space);
    CGDataProviderRelease(provider);
    return image;
}

CGImageRef makeGrayImage(size_t width, size_t height,
                         const std::function<uint8_t(size_t x, size_t y)>& gray) {
    std::vector<uint8_t> pixels(width * height);
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x) pixels[y * width + x] = gray(x, y);
    CGDataProviderRef provider = CGDataProviderCreateWithCopyOfData(pixels.data(), pixels.size());
    CGColorSpaceRef space = CGColorSpaceCreateDeviceGray();
    CGImageRef image = CGImageCreate(width, height, 8, 8, width, space, kCGImageAlphaNone, provider,
                                     nullptr, true, kCGRenderingIntentDefault);
    CGColorSpaceRelease(space);
    CGDataProviderRelease(provider);
    return image;
}

uint32_t pixelAt(CGImageRef image, size_t x, size_t y) {
    uint32_t tmp;
    return *bd::imageRowARGB(image, y, x, 1, &tmp);
}

uint8_t grayAt(CGImageRef image, size_t x, size_t y) {
    return image->bytes()[y * image->bytesPerRow() + x];
}

std::vector<uint8_t> solidPng(size_t width, size_t height, uint32_t argb) {
    CGImageRef image = makeSolidImage(width, height, argb);
    std::vector<uint8_t> bytes = bd::encodePNG(image);
    CGImageRelease(image);
    return bytes;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace bdtest
