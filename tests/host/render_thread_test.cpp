// `backdrop render` with a wallpaper whose own frame loop runs on the virtual clock: its pace,
// and byte-identical output from run to run. (Under the tsan preset the tool itself runs
// instrumented, so this also checks the host's stepping of the clock for races.)

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
constexpr uint32_t kWhite = 0xFFFFFFFF;

}  // namespace

TEST(RenderFrameLoop, TheWallpapersOwnFrameLoopRunsAtItsPaceOnTheVirtualClock) {
    // Four frames a second for two seconds; the loop moves the square one point per 1/40 s,
    // so it is ten points further on every frame.
    bdtest::TempDir tmp("render-pace");
    std::string dir = tmp.path();
    std::string out, err;
    ASSERT_EQ(bdtest::run({bdtest::toolPath(), "render", bdtest::bundlePath(kTestBundle), "-o",
                           dir + "/p.webp", "--screen", "320x480@1", "--fps", "4", "--seconds", "2",
                           "--no-icons", "--frames", dir},
                          &out, &err),
              0)
        << err;
    std::vector<int> left;
    for (int i = 0; i < 8; ++i) {
        Ref<CGImage> img = adopt(bdtest::loadPNG(frame(dir, i)));
        ASSERT_TRUE(img) << frame(dir, i);
        left.push_back(squareLeft(img.get(), 120, kWhite));
    }
    for (int i = 1; i < 8; ++i)
        EXPECT_NEAR(left[size_t(i)] - left[size_t(i - 1)], 10, 1) << "frame " << i;
    EXPECT_NE(out.find("8 frames of 320x480 px"), std::string::npos) << out;
    EXPECT_NE(out.find("protocol calls: startAnimating 1"), std::string::npos) << out;
}

TEST(RenderFrameLoop, TwoRendersAreByteIdentical) {
    bdtest::TempDir tmp("render-same");
    std::string dir = tmp.path();
    std::vector<std::string> args = {bdtest::toolPath(),
                                     "render",
                                     bdtest::bundlePath(kTestBundle),
                                     "--screen",
                                     "200x300@2",
                                     "--fps",
                                     "10",
                                     "--seconds",
                                     "1.5",
                                     "--script",
                                     "0.3:tap 50,50; 0.6:stop; 0.9:start; 1.1:frame"};
    for (const char* n : {"a", "b"}) {
        std::vector<std::string> a = args;
        a.insert(a.end(), {"-o", dir + "/" + n + ".webp", "--sheet", dir + "/" + n + ".png"});
        ASSERT_EQ(bdtest::run(a), 0);
    }
    std::string a = bdtest::readFile(dir + "/a.webp"), b = bdtest::readFile(dir + "/b.webp");
    ASSERT_FALSE(a.empty());
    EXPECT_TRUE(a == b) << "the two previews differ";
    EXPECT_EQ(bdtest::readFile(dir + "/a.png"), bdtest::readFile(dir + "/b.png"));

    // The preview runs 1.5 s at the screen's pixel size.
    WebPInfo info;
    ASSERT_TRUE(decodeWebP(a, &info));
    EXPECT_EQ(info.width, 400);
    EXPECT_EQ(info.height, 600);
    // (Frames that repeat the one before are merged into it.)
    ASSERT_GE(info.frames, 2);
    EXPECT_EQ(info.timestamps.back(), 1500);
    // The contact sheet is a picture with up to 8 frames in rows of 4.
    Ref<CGImage> sheet = adopt(bdtest::loadPNG(dir + "/a.png"));
    ASSERT_TRUE(sheet);
    EXPECT_GT(sheet->width(), sheet->height());
}
