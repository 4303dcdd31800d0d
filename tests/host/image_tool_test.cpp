// `backdrop image`, run as a wallpaper author runs it, on pictures drawn here.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "Foundation/NSString.h"
#include "UIKit/ImageIO.h"
#include "UIKit/UIImage.h"
#include "support/files.h"
#include "support/pictures.h"
#include "support/process.h"

namespace {

int run(const std::string& args, std::string* err = nullptr) {
    bdtest::TempDir tmp("imgtool-err");
    std::string errFile = tmp / "stderr";
    int status =
        std::system((bdtest::toolPath() + " " + args + " >/dev/null 2>" + errFile).c_str());
    if (err) {
        std::ifstream in(errFile);
        std::ostringstream s;
        s << in.rdbuf();
        *err = s.str();
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

UIImage* load(const std::string& path) {
    return UIImage::imageWithContentsOfFile(NSString::stringWithUTF8String(path.c_str()));
}

uint32_t at(UIImage* image, size_t x, size_t y) {
    return bdtest::pixelAt(image->CGImage(), x, y);
}

class ImageTool : public ::testing::Test {
  protected:
    void SetUp() override {
        // Red left half, blue right half, 8 × 4; a 1 × 1 half-transparent white; a mask
        // black on the left.
        CGImageRef pic = bdtest::makeImage(
            8, 4, [](size_t x, size_t) { return x < 4 ? 0xFFFF0000u : 0xFF0000FFu; });
        ASSERT_TRUE(bdtest::writeFile(dir + "/in.png", bd::encodePNG(pic)));
        CGImageRelease(pic);
        ASSERT_TRUE(bdtest::writeFile(dir + "/over.png", bdtest::solidPng(1, 1, 0x80808080u)));
        CGImageRef mask =
            bdtest::makeImage(2, 1, [](size_t x, size_t) { return x ? 0xFFFFFFFFu : 0xFF000000u; });
        ASSERT_TRUE(bdtest::writeFile(dir + "/mask.png", bd::encodePNG(mask)));
        CGImageRelease(mask);
    }
    std::string in() const { return dir + "/in.png"; }
    std::string out(const char* name) const { return dir + "/" + name; }
    NSAutoreleasePool pool;
    bdtest::TempDir tmp{"imgtool"};
    std::string dir = tmp.path();
};

TEST_F(ImageTool, EveryOperationWritesItsResult) {
    ASSERT_EQ(run("image clip " + in() + " 3 1 2 2 -o " + out("clip.png")), 0);
    UIImage* clip = load(out("clip.png"));
    ASSERT_TRUE(clip);
    EXPECT_EQ(CGImageGetWidth(clip->CGImage()), 2u);
    EXPECT_EQ(at(clip, 0, 0), 0xFFFF0000u);
    EXPECT_EQ(at(clip, 1, 0), 0xFF0000FFu);

    ASSERT_EQ(run("image gray " + in() + " -o " + out("gray.png")), 0);
    UIImage* gray = load(out("gray.png"));
    ASSERT_TRUE(gray);
    EXPECT_NEAR(int(at(gray, 0, 0) & 0xFF), 76, 1);
    ASSERT_EQ(run("image gray --alpha " + in() + " -o " + out("graya.png")), 0);
    EXPECT_TRUE(load(out("graya.png")));

    ASSERT_EQ(run("image round " + in() + " 2 -o " + out("round.png")), 0);
    UIImage* round = load(out("round.png"));
    ASSERT_TRUE(round);
    EXPECT_LT(at(round, 0, 0) >> 24, 0x80u);  // mostly cut away
    EXPECT_EQ(at(round, 2, 2), 0xFFFF0000u);

    ASSERT_EQ(run("image colorize " + in() + " '#00ff00' -o " + out("col.png")), 0);
    EXPECT_EQ(at(load(out("col.png")), 0, 0), 0xFF000000u);  // red × green
    ASSERT_EQ(run("image overlay " + in() + " '#ffffff80' -o " + out("ovl.png")), 0);
    EXPECT_TRUE(load(out("ovl.png")));

    ASSERT_EQ(run("image mask " + in() + " " + dir + "/mask.png -o " + out("mask.png")), 0);
    UIImage* masked = load(out("mask.png"));
    EXPECT_EQ(at(masked, 1, 1), 0xFFFF0000u);
    EXPECT_EQ(at(masked, 6, 1), 0u);

    ASSERT_EQ(run("image draw-over " + in() + " " + dir + "/over.png -o " + out("over.png")), 0);
    EXPECT_EQ(at(load(out("over.png")), 0, 0), 0xFFFF8080u);

    ASSERT_EQ(run("image pixels " + in() + " -o " + out("px.bin")), 0);
    std::ifstream bin(out("px.bin"), std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(bin)), {});
    ASSERT_EQ(bytes.size(), 8u * 4 * 4);
    EXPECT_EQ(uint8_t(bytes[0]), 255);  // alpha, red, green, blue
    EXPECT_EQ(uint8_t(bytes[1]), 255);
    EXPECT_EQ(uint8_t(bytes[31]), 255);  // pixel 7: blue
}

TEST_F(ImageTool, BadInputGivesOneLineAndAClearExitCode) {
    std::string err;
    EXPECT_EQ(run("image clip " + in() + " 20 0 4 4 -o " + out("x.png"), &err), 1);
    EXPECT_NE(err.find("outside"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    EXPECT_EQ(run("image clip " + in() + " one 0 4 4 -o " + out("x.png")), 1);
    EXPECT_EQ(run("image gray " + dir + "/missing.png -o " + out("x.png"), &err), 1);
    EXPECT_NE(err.find("not a picture"), std::string::npos) << err;
    EXPECT_EQ(run("image gray " + dir + "/mask.png -o " + dir + "/no/such/dir/x.png"), 1);
    EXPECT_EQ(run("image colorize " + in() + " red -o " + out("x.png")), 1);
    EXPECT_EQ(run("image colorize " + in() + " '#12345' -o " + out("x.png")), 1);
    EXPECT_EQ(run("image round " + in() + " nan -o " + out("x.png")), 1);
    EXPECT_EQ(run("image mask " + in() + " " + dir + "/missing.png -o " + out("x.png")), 1);
    // Usage: a missing argument or output, an unknown operation.
    EXPECT_EQ(run("image clip " + in() + " 1 2 3 -o " + out("x.png")), 2);
    EXPECT_EQ(run("image gray " + in()), 2);
    EXPECT_EQ(run("image sharpen " + in() + " -o " + out("x.png")), 2);
    EXPECT_EQ(run("image"), 2);
}

}  // namespace
