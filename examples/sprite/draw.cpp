// Draws the Sprite wallpaper's pictures into the folder given, as plain files taken at the
// screen's scale (loaded with imageWithName2x:), so drawn at twice their size in points:
//   bg.png         640 x 1136 px: a dusk gradient (320 x 568 points on a @2x screen)
//   ball.png       96 x 96 px: a shaded ball (48 x 48 points)
//   thumbnail.png  160 x 284 px: the two together
// Usage: sprite_draw FOLDER

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

// Premultiplied ARGB from alpha and colour in 0..1.
uint32_t argb(double a, double r, double g, double b) {
    auto c = [a](double v) { return uint32_t(std::lround(std::clamp(v, 0.0, 1.0) * a * 255)); };
    return uint32_t(std::lround(std::clamp(a, 0.0, 1.0) * 255)) << 24 | c(r) << 16 | c(g) << 8 |
           c(b);
}

// A w x h picture whose pixels pixel(x, y) gives, x and y in 0..1.
bool draw(const std::string& path, size_t w, size_t h,
          const std::function<uint32_t(double, double)>& pixel) {
    std::shared_ptr<uint8_t[]> px(new uint8_t[w * h * 4]);
    auto* p = reinterpret_cast<uint32_t*>(px.get());
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) p[y * w + x] = pixel((x + 0.5) / w, (y + 0.5) / h);
    CGImageRef image = bd::createARGB32Image(w, h, px);
    bool ok = image && bd::writePNG(image, path.c_str());
    CGImageRelease(image);
    if (!ok) std::fprintf(stderr, "sprite_draw: cannot write %s\n", path.c_str());
    return ok;
}

uint32_t sky(double, double y) {
    return argb(1, 0.15 + 0.6 * y, 0.1 + 0.25 * y, 0.35 - 0.1 * y);
}

// A ball lit from the upper left; clear outside its circle.
uint32_t ball(double x, double y) {
    double d = std::hypot(x - 0.5, y - 0.5) * 2;
    if (d > 1) return 0;
    double light = 1 - 0.7 * std::hypot(x - 0.35, y - 0.35);
    return argb(std::clamp((1 - d) * 24, 0.0, 1.0), 0.95 * light, 0.55 * light, 0.2 * light);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sprite_draw FOLDER\n");
        return 2;
    }
    std::string dir = argv[1];
    std::filesystem::create_directories(dir);
    auto thumbnail = [](double x, double y) {
        double bx = (x - 0.35) * 160 / 30 + 0.5, by = (y - 0.4) * 284 / 30 + 0.5;
        uint32_t b = bx >= 0 && bx <= 1 && by >= 0 && by <= 1 ? ball(bx, by) : 0;
        return b >> 24 == 255 ? b : sky(x, y);
    };
    bool ok = draw(dir + "/bg.png", 640, 1136, sky) && draw(dir + "/ball.png", 96, 96, ball) &&
              draw(dir + "/thumbnail.png", 160, 284, thumbnail);
    return ok ? 0 : 1;
}
