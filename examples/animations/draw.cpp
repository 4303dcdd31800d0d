// Draws the Animations wallpaper's pictures into the folder given, all plain files at 2x
// (loaded with imageWithName2x:, half their pixel size in points on a @2x screen):
//   bg.png 640 x 1136, moon.png 128 x 128, kite.png 96 x 96, card.png 200 x 280,
//   thumbnail.png 160 x 284.
// Usage: animations_draw FOLDER

#include <backdrop/platform/CoreGraphics/CGImage.h>
#include <backdrop/platform/UIKit/ImageIO.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace {

uint32_t argb(double a, double r, double g, double b) {
    auto c = [a](double v) { return uint32_t(std::lround(std::clamp(v, 0.0, 1.0) * a * 255)); };
    return uint32_t(std::lround(std::clamp(a, 0.0, 1.0) * 255)) << 24 | c(r) << 16 | c(g) << 8 |
           c(b);
}

bool draw(const std::string& path, size_t w, size_t h,
          const std::function<uint32_t(double, double)>& pixel) {
    std::shared_ptr<uint8_t[]> px(new uint8_t[w * h * 4]);
    auto* p = reinterpret_cast<uint32_t*>(px.get());
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) p[y * w + x] = pixel((x + 0.5) / w, (y + 0.5) / h);
    CGImageRef image = bd::createARGB32Image(w, h, px);
    bool ok = image && bd::writePNG(image, path.c_str());
    CGImageRelease(image);
    if (!ok) std::fprintf(stderr, "animations_draw: cannot write %s\n", path.c_str());
    return ok;
}

uint32_t night(double, double y) {
    return argb(1, 0.05, 0.08 + 0.1 * y, 0.2 + 0.25 * y);
}

uint32_t moon(double x, double y) {
    double d = std::hypot(x - 0.5, y - 0.5) * 2;
    return argb(std::clamp((1 - d) * 20, 0.0, 1.0), 1, 0.95, 0.75 - 0.2 * d);
}

// A diamond kite, red and yellow halves.
uint32_t kite(double x, double y) {
    double d = std::fabs(x - 0.5) / 0.4 + std::fabs(y - 0.5) / 0.5;
    if (d > 1) return 0;
    return x < 0.5 ? argb(1, 0.9, 0.2, 0.15) : argb(1, 1, 0.8, 0.2);
}

// A card with a border and a star in the middle.
uint32_t card(double x, double y) {
    bool border = x < 0.05 || x > 0.95 || y < 0.04 || y > 0.96;
    double a = std::atan2(y - 0.5, x - 0.5), r = std::hypot(x - 0.5, (y - 0.5) * 0.7);
    bool star = r < 0.12 + 0.08 * std::cos(5 * a);
    if (border) return argb(1, 0.3, 0.3, 0.45);
    return star ? argb(1, 0.95, 0.75, 0.1) : argb(1, 0.95, 0.95, 0.9);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: animations_draw FOLDER\n");
        return 2;
    }
    std::string dir = argv[1];
    std::filesystem::create_directories(dir);
    bool ok = draw(dir + "/bg.png", 640, 1136, night) && draw(dir + "/moon.png", 128, 128, moon) &&
              draw(dir + "/kite.png", 96, 96, kite) && draw(dir + "/card.png", 200, 280, card) &&
              draw(dir + "/thumbnail.png", 160, 284, [](double x, double y) {
                  uint32_t m = moon((x - 0.7) * 4 + 0.5, (y - 0.2) * 7 + 0.5);
                  return m >> 24 == 255 ? m : night(x, y);
              });
    return ok ? 0 : 1;
}
