// `backdrop render` on the sample wallpaper: golden frames at chosen times on two screens, and a
// tap that plays the flip-book again.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "render_helpers.h"
#include "support/files.h"
#include "support/golden.h"
#include "support/pictures.h"
#include "support/process.h"

namespace {

const std::string kDemo = "AnimateDemo.bundle";

// A quarter-size copy (each pixel the mean of a 4 x 4 block): the goldens stay small and a
// difference of a pixel or two in the full frame stays within the tolerance.
Ref<CGImage> quarter(CGImageRef img) {
    size_t w = img->width() / 4, h = img->height() / 4;
    std::shared_ptr<uint8_t[]> px(new uint8_t[w * h * 4]);
    uint32_t* out = reinterpret_cast<uint32_t*>(px.get());
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
            uint32_t v = 0;
            for (int shift = 0; shift < 32; shift += 8) {
                uint32_t sum = 8;
                for (size_t dy = 0; dy < 4; ++dy)
                    for (size_t dx = 0; dx < 4; ++dx)
                        sum += (bdtest::pixel(img, x * 4 + dx, y * 4 + dy) >> shift) & 0xFF;
                v |= (sum / 16) << shift;
            }
            out[y * w + x] = v;
        }
    return adopt(bd::createARGB32Image(w, h, px));
}

Ref<CGImage> loadFrame(const std::string& dir, int i) {
    return adopt(bdtest::loadPNG(bdtest::frame(dir, i)));
}

}  // namespace

TEST(RenderDemo, GoldenFramesOnTwoScreens) {
    // Frames every half second: 0 s (the flip-book's first picture), 1.5 s (playing) and 3.5 s
    // (the single run is over: the still picture, never black).
    struct Screen {
        const char* screen;
        const char* tag;
    } screens[] = {{"320x568@2", "568at2"}, {"375x667@1", "667at1"}};
    for (const Screen& s : screens) {
        bdtest::TempDir tmp("render-demo");
        std::string dir = tmp.path();
        std::string err;
        ASSERT_EQ(bdtest::run({bdtest::toolPath(), "render", bdtest::bundlePath(kDemo), "-o",
                               dir + "/p.webp", "--screen", s.screen, "--fps", "2", "--seconds",
                               "4", "--no-icons", "--frames", dir},
                              nullptr, &err),
                  0)
            << err;
        for (int i : {0, 3, 7}) {
            Ref<CGImage> f = loadFrame(dir, i);
            ASSERT_TRUE(f) << bdtest::frame(dir, i);
            std::string name =
                std::string("render/demo-") + s.tag + "-" + std::to_string(i * 500) + "ms.png";
            EXPECT_EQ(bdtest::matchGolden(quarter(f.get()).get(), name, 6), "");
        }
    }
}

TEST(RenderDemo, ATapPlaysTheFlipBookAgain) {
    // Stopped at 0.5 s, tapped at 1.0 s: from then on the frames repeat those from the start.
    bdtest::TempDir tmp("render-tap");
    std::string dir = tmp.path();
    std::string out, err;
    ASSERT_EQ(bdtest::run({bdtest::toolPath(), "render", bdtest::bundlePath(kDemo), "-o",
                           dir + "/p.webp", "--screen", "320x480@1", "--fps", "10", "--seconds",
                           "2", "--frames", dir, "--script", "0.5:stop; 1.0:tap 160,300"},
                          &out, &err),
              0)
        << err;
    auto diff = [&](int a, int b) {
        Ref<CGImage> x = loadFrame(dir, a), y = loadFrame(dir, b);
        return bdtest::maxChannelDifference(x.get(), y.get());
    };
    EXPECT_EQ(diff(6, 0), 0) << "stopped: the still picture, which is the first frame";
    EXPECT_EQ(diff(9, 0), 0);
    EXPECT_GT(diff(3, 0), 0) << "the flip-book moves while it plays";
    for (int i = 0; i < 5; ++i) EXPECT_EQ(diff(10 + i, i), 0) << "frame " << 10 + i;
    EXPECT_NE(out.find("stopAnimating 1, tapActionAtViewPoint 1"), std::string::npos) << out;
}
