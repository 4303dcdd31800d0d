// Draws the FlipBook wallpaper's pictures into the folder given:
//   frames/frame0.png ... frame7.png  120 x 120 px: a flower opening. They are packed into a
//                                     resource package, whose pictures come out at scale 1 on
//                                     every screen: drawn at their size in points.
//   bg.png                            640 x 1136 px, a plain file at 2x (imageWithName2x:)
//   thumbnail.png                     160 x 284 px
// Usage: flipbook_draw FOLDER

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
    if (!ok) std::fprintf(stderr, "flipbook_draw: cannot write %s\n", path.c_str());
    return ok;
}

// A flower of six petals, open by `open` (0..1), on a clear ground.
std::function<uint32_t(double, double)> flower(double open) {
    return [open](double x, double y) {
        double dx = x - 0.5, dy = y - 0.5;
        double r = std::hypot(dx, dy) * 2, a = std::atan2(dy, dx);
        if (r < 0.18) return argb(1, 1, 0.8, 0.2);  // the heart
        double petal = (0.35 + 0.6 * open) * (0.55 + 0.45 * std::cos(6 * a + open * 2));
        if (r > petal) return 0u;
        return argb(std::clamp((petal - r) * 20, 0.0, 1.0), 0.9, 0.3 + 0.4 * r, 0.6);
    };
}

uint32_t meadow(double, double y) {
    return y > 0.7 ? argb(1, 0.2, 0.45 + 0.2 * (y - 0.7), 0.2) : argb(1, 0.5, 0.75, 0.95 - 0.3 * y);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: flipbook_draw FOLDER\n");
        return 2;
    }
    std::string dir = argv[1];
    std::filesystem::create_directories(dir + "/frames");
    bool ok = draw(dir + "/bg.png", 640, 1136, meadow);
    for (int i = 0; ok && i < 8; ++i)
        ok = draw(dir + "/frames/frame" + std::to_string(i) + ".png", 120, 120, flower(i / 7.0));
    auto open = flower(1);
    ok = ok && draw(dir + "/thumbnail.png", 160, 284, [&](double x, double y) {
             uint32_t f = open((x - 0.5) * 1.6 + 0.5, (y - 0.45) * 2.8 + 0.5);
             return f >> 24 == 255 ? f : meadow(x, y);
         });
    return ok ? 0 : 1;
}
