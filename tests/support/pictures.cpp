#include "support/pictures.h"

#include <cstdio>
#include <cstdlib>

#include "CoreGraphics/CGColorSpace.h"
#include "UIKit/ImageIO.h"

namespace bdtest {

CGImageRef makeSolidImage(size_t width, size_t height, uint32_t argb) {
    std::vector<uint32_t> pixels(width * height, argb);
    CGDataProviderRef provider =
        CGDataProviderCreateWithCopyOfData(pixels.data(), pixels.size() * sizeof(uint32_t));
    CGColorSpaceRef space = CGColorSpaceCreateDeviceRGB();
    CGImageRef image = CGImageCreate(width, height, 8, 32, width * 4, space, kBDBitmapInfoARGB32,
                                     provider, nullptr, false, kCGRenderingIntentDefault);
    CGColorSpaceRelease(space);
    CGDataProviderRelease(provider);
    return image;
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

std::string makeTempDir(const char* tag) {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/bd-" + tag + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    const char* dir = mkdtemp(buf.data());
    return dir ? std::string(dir) : std::string();
}

}  // namespace bdtest
