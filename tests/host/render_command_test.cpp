// `backdrop render`: deterministic previews on a virtual clock, scripts, the files it writes,
// and clear failures.

#include <gtest/gtest.h>
#include <webp/demux.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/golden.h"
#include "support/pictures.h"
#include "support/process.h"

namespace {

std::string frame(const std::string& dir, int i) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame-%04d.png", i);
    return dir + name;
}

uint32_t pixel(CGImageRef img, size_t x, size_t y) {
    return reinterpret_cast<const uint32_t*>(img->bytes() + y * img->bytesPerRow())[x];
}

// The test wallpaper's square: the first run of its colour along row y (left edge, or -1).
int squareLeft(CGImageRef img, size_t y, uint32_t colour) {
    for (size_t x = 0; x < img->width(); ++x)
        if (pixel(img, x, y) == colour) return int(x);
    return -1;
}

// Decoded frames of an animated WebP: count, canvas size and timestamps (ms).
struct WebPInfo {
    int frames = 0, width = 0, height = 0;
    std::vector<int> timestamps;
    std::vector<uint8_t> last;  // RGBA of the last frame
};
bool decodeWebP(const std::string& bytes, WebPInfo* info) {
    WebPData data = {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
    WebPAnimDecoderOptions opts;
    if (!WebPAnimDecoderOptionsInit(&opts)) return false;
    opts.color_mode = MODE_RGBA;
    WebPAnimDecoder* dec = WebPAnimDecoderNew(&data, &opts);
    if (!dec) return false;
    WebPAnimInfo ai;
    WebPAnimDecoderGetInfo(dec, &ai);
    info->width = int(ai.canvas_width);
    info->height = int(ai.canvas_height);
    while (WebPAnimDecoderHasMoreFrames(dec)) {
        uint8_t* buf;
        int ts;
        if (!WebPAnimDecoderGetNext(dec, &buf, &ts)) break;
        ++info->frames;
        info->timestamps.push_back(ts);
        info->last.assign(buf, buf + size_t(info->width) * size_t(info->height) * 4);
    }
    WebPAnimDecoderDelete(dec);
    return true;
}

const std::string kTestBundle = "TestWallpaper.bundle";
constexpr uint32_t kWhite = 0xFFFFFFFF, kRed = 0xFFFF0000;

}  // namespace

TEST(RenderCommand, TheWallpapersOwnFrameLoopRunsAtItsPaceOnTheVirtualClock) {
    // Four frames a second for two seconds; the loop moves the square one point per 1/40 s,
    // so it is ten points further on every frame.
    std::string dir = bdtest::makeTempDir("render-pace");
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

TEST(RenderCommand, ScriptDrivesTheViewAtItsTimes) {
    std::string dir = bdtest::makeTempDir("render-script");
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

TEST(RenderCommand, TwoRendersAreByteIdentical) {
    std::string dir = bdtest::makeTempDir("render-same");
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

TEST(RenderCommand, PreviewColoursSurviveEncoding) {
    // The last WebP frame against the PNG of the same frame: lossy, but close.
    std::string dir = bdtest::makeTempDir("render-webp");
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
    std::string dir = bdtest::makeTempDir("render-bad");
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
