// `backdrop render`: deterministic previews on a virtual clock, scripts, the files it writes,
// and clear failures.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "render_helpers.h"
#include "support/files.h"
#include "support/golden.h"
#include "support/pictures.h"
#include "support/process.h"

namespace {

using namespace bdtest;

const std::string kTestBundle = "TestWallpaper.bundle";
constexpr uint32_t kWhite = 0xFFFFFFFF, kRed = 0xFFFF0000;

}  // namespace

TEST(RenderCommand, ScriptDrivesTheViewAtItsTimes) {
    bdtest::TempDir tmp("render-script");
    std::string dir = tmp.path();
    std::string out, err;
    // 0.5: stop; 1.0: tap; 1.25: start again; 1.5: scale to a half.
    ASSERT_EQ(
        bdtest::run({bdtest::toolPath(), "render", bdtest::bundlePath(kTestBundle), "-o",
                     dir + "/p.webp", "--screen", "320x480@1", "--fps", "4", "--seconds", "2",
                     "--no-icons", "--frames", dir, "--script",
                     "1.5:scale 0.5; 0.5:stop; 1.0:tap 200,300; 1.25:start; 0.75:gesture 7 1,1"},
                    &out, &err),
        0)
        << err;
    auto load = [&](int i) { return adopt(bdtest::loadPNG(frame(dir, i))); };
    Ref<CGImage> f2 = load(2), f3 = load(3), f4 = load(4), f5 = load(5), f6 = load(6);
    ASSERT_TRUE(f2 && f3 && f4 && f5 && f6);
    // Stopped from 0.5 s: the square stays.
    EXPECT_EQ(squareLeft(f2.get(), 120, kWhite), squareLeft(f3.get(), 120, kWhite));
    // The tap turned it red and centred it on (200, 300); from 1.25 s it moves on again.
    EXPECT_EQ(squareLeft(f4.get(), 300, kRed), 180);
    EXPECT_EQ(squareLeft(f4.get(), 120, kWhite), -1);
    EXPECT_NEAR(squareLeft(f5.get(), 300, kRed), 181, 1);
    // At 1.5 s the view is scaled about its top-left corner: what lay at (x, y) is at (x/2, y/2),
    // and the window shows black beyond the view.
    EXPECT_EQ(pixel(f6.get(), 300, 400), 0xFF000000u);
    EXPECT_NE(squareLeft(f6.get(), 150, kRed), -1);
    EXPECT_NE(out.find("protocol calls: startAnimating 2, stopAnimating 1, gestureAction 1, "
                       "tapActionAtViewPoint 1, setScale 1"),
              std::string::npos)
        << out;
}

TEST(RenderCommand, PreviewColoursSurviveEncoding) {
    // The last WebP frame against the PNG of the same frame: lossy, but close.
    bdtest::TempDir tmp("render-webp");
    std::string dir = tmp.path();
    ASSERT_EQ(bdtest::run({bdtest::toolPath(), "render", bdtest::bundlePath(kTestBundle), "-o",
                           dir + "/p.webp", "--screen", "160x240@1", "--fps", "5", "--seconds",
                           "0.4", "--frames", dir}),
              0);
    WebPInfo info;
    ASSERT_TRUE(decodeWebP(bdtest::readFile(dir + "/p.webp"), &info));
    ASSERT_EQ(info.frames, 2);
    EXPECT_EQ(info.timestamps, (std::vector<int>{200, 400}));  // each frame's end time
    Ref<CGImage> png = adopt(bdtest::loadPNG(frame(dir, 1)));
    ASSERT_TRUE(png);
    double sum = 0;
    for (size_t y = 0; y < 240; ++y)
        for (size_t x = 0; x < 160; ++x) {
            uint32_t p = pixel(png.get(), x, y);
            const uint8_t* q = &info.last[(y * 160 + x) * 4];
            sum += std::abs(int((p >> 16) & 0xFF) - q[0]) + std::abs(int((p >> 8) & 0xFF) - q[1]) +
                   std::abs(int(p & 0xFF) - q[2]);
            EXPECT_EQ(q[3], 255);
        }
    EXPECT_LT(sum / (160 * 240 * 3), 6.0);
}

TEST(RenderCommand, BadInputGivesAOneLineMessage) {
    bdtest::TempDir tmp("render-bad");
    std::string dir = tmp.path();
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* says;
    } cases[] = {
        {{"render", dir + "/missing.bundle", "-o", dir + "/p.webp"}, 1, "not a bundle directory"},
        {{"render", dir, "-o", dir + "/p.webp"}, 1, "no wallpaper view"},
        {{"render", bdtest::bundlePath(kTestBundle), "-o", dir + "/p.webp", "--screen", "320"},
         2,
         "--screen"},
        {{"render", bdtest::bundlePath(kTestBundle), "-o", dir + "/p.webp", "--screen", "0x5@2"},
         2,
         "--screen"},
        {{"render", bdtest::bundlePath(kTestBundle), "-o", dir + "/p.webp", "--screen",
          "9000x9000@2"},
         2,
         "--screen"},
        {{"render", bdtest::bundlePath(kTestBundle), "-o", dir + "/p.webp", "--script", "1:jump"},
         2,
         "unknown action"},
        {{"render", bdtest::bundlePath(kTestBundle), "-o", dir + "/p.webp", "--script", "x:start"},
         2,
         "T:ACTION"},
        {{"render", bdtest::bundlePath(kTestBundle), "-o", dir + "/p.webp", "--script", "1:tap 5"},
         2,
         "X,Y"},
        {{"render", bdtest::bundlePath(kTestBundle), "-o", dir + "/p.webp", "--script",
          "1:scale -1"},
         2,
         "above 0"},
        {{"render", bdtest::bundlePath(kTestBundle), "-o", dir + "/p.webp", "--fps", "0"},
         2,
         "fps"},
        {{"render", bdtest::bundlePath(kTestBundle), "-o", dir + "/no/such/dir/p.webp", "--seconds",
          "0.1"},
         1,
         "cannot write"},
        {{"render", bdtest::bundlePath(kTestBundle)}, 2, "--output"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {bdtest::toolPath()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string err;
        EXPECT_EQ(bdtest::run(argv, nullptr, &err), c.code) << c.says << ": " << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        // One line of the tool's own (a wallpaper's log lines may come besides).
        size_t lines = 0;
        for (size_t at = err.find("backdrop: "); at != std::string::npos;
             at = err.find("backdrop: ", at + 1))
            ++lines;
        EXPECT_EQ(lines, 1u) << err;
        EXPECT_EQ(err.back(), '\n') << err;
    }
}
