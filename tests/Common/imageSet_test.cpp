// ImageSet and the SpriteExtend picture category: what each operation promises, pixel by
// pixel, plus a few small golden pictures where antialiasing decides the exact values.
// BD_UPDATE_GOLDENS=1 rewrites the golden files from the current results.

#include "Common/ImageSet.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "Common/NSData+DataEncrypt.h"
#include "CoreGraphics/CGImage.h"
#include "Foundation/NSData.h"
#include "Foundation/NSString.h"
#include "UIKit/ImageIO.h"
#include "support/files.h"
#include "support/pictures.h"

namespace {

using bdtest::pixelAt;

constexpr uint32_t kRed = 0xFFFF0000u, kGreen = 0xFF00FF00u, kBlue = 0xFF0000FFu,
                   kWhite = 0xFFFFFFFFu;

class ImageSetTest : public ::testing::Test {
  protected:
    NSAutoreleasePool pool;
};

// A picture of w × h pixels at the given scale whose pixel (x, y) is f(x, y).
template <class F>
UIImage* picture(size_t w, size_t h, F f, double scale = 1) {
    CGImageRef bitmap = bdtest::makeImage(w, h, f);
    UIImage* image = UIImage::imageWithCGImage(bitmap, scale, UIImageOrientationUp);
    CGImageRelease(bitmap);
    return image;
}
UIImage* solid(size_t w, size_t h, uint32_t argb, double scale = 1) {
    return picture(
        w, h, [argb](size_t, size_t) { return argb; }, scale);
}
// Red top-left quadrant, green top-right, blue bottom-left, white bottom-right: any flip or
// mirror of a result shows.
UIImage* quadrants(size_t w, size_t h, double scale = 1) {
    return picture(
        w, h,
        [w, h](size_t x, size_t y) {
            bool right = x >= w / 2, bottom = y >= h / 2;
            return !bottom ? (right ? kGreen : kRed) : (right ? kWhite : kBlue);
        },
        scale);
}
UIImage* grayPicture(size_t w, size_t h, uint8_t (*f)(size_t, size_t)) {
    CGImageRef bitmap = bdtest::makeGrayImage(w, h, f);
    UIImage* image = UIImage::imageWithCGImage(bitmap);
    CGImageRelease(bitmap);
    return image;
}

uint32_t at(UIImage* image, size_t x, size_t y) {
    return pixelAt(image->CGImage(), x, y);
}
size_t width(UIImage* image) {
    return CGImageGetWidth(image->CGImage());
}
size_t height(UIImage* image) {
    return CGImageGetHeight(image->CGImage());
}
int channel(uint32_t p, int k) {
    return int((p >> (8 * k)) & 0xFF);
}

bool near(uint32_t a, uint32_t b, int tolerance) {
    for (int k = 0; k < 4; ++k)
        if (std::abs(channel(a, k) - channel(b, k)) > tolerance) return false;
    return true;
}

// A result made from quadrants(): each quadrant where it was, sampled at its middle.
void expectUpright(UIImage* result, const char* what, int tolerance = 0) {
    size_t w = width(result), h = height(result);
    EXPECT_TRUE(near(at(result, w / 4, h / 4), kRed, tolerance)) << what;
    EXPECT_TRUE(near(at(result, 3 * w / 4, h / 4), kGreen, tolerance)) << what;
    EXPECT_TRUE(near(at(result, w / 4, 3 * h / 4), kBlue, tolerance)) << what;
    EXPECT_TRUE(near(at(result, 3 * w / 4, 3 * h / 4), kWhite, tolerance)) << what;
}

// Compares a result with tests/data/images/NAME.png, each channel within tolerance.
void expectGolden(UIImage* result, const std::string& name, int tolerance = 3) {
    std::string path = std::string(BD_TEST_DATA_DIR) + "/images/" + name + ".png";
    if (std::getenv("BD_UPDATE_GOLDENS")) {
        ASSERT_TRUE(bd::writePNG(result->CGImage(), path.c_str())) << path;
        return;
    }
    UIImage* golden =
        UIImage::imageWithContentsOfFile(NSString::stringWithUTF8String(path.c_str()));
    ASSERT_TRUE(golden) << "missing golden " << path << " (BD_UPDATE_GOLDENS=1 makes it)";
    ASSERT_EQ(width(golden), width(result));
    ASSERT_EQ(height(golden), height(result));
    int worst = 0;
    for (size_t y = 0; y < height(result); ++y)
        for (size_t x = 0; x < width(result); ++x)
            for (int k = 0; k < 4; ++k)
                worst = std::max(
                    worst, std::abs(channel(at(golden, x, y), k) - channel(at(result, x, y), k)));
    EXPECT_LE(worst, tolerance) << name;
}

// --- clipImageWithRect: ------------------------------------------------------------------------

TEST_F(ImageSetTest, ClipCutsWholePixelsOfTheBitmap) {
    UIImage* base = picture(
        100, 100, [](size_t x, size_t y) { return 0xFF000000u | uint32_t(x) << 8 | uint32_t(y); });
    UIImage* a = SpriteExtend::clipImageWithRect(base, CGRectMake(0.5, 0.5, 10, 10));
    ASSERT_TRUE(a);
    EXPECT_EQ(width(a), 11u);
    EXPECT_EQ(height(a), 11u);
    EXPECT_EQ(at(a, 0, 0), 0xFF000000u);
    EXPECT_EQ(a->scale(), 1);
    UIImage* b = SpriteExtend::clipImageWithRect(base, CGRectMake(90, 90, 20, 20));
    ASSERT_TRUE(b);
    EXPECT_EQ(width(b), 10u);
    EXPECT_EQ(height(b), 10u);
    EXPECT_EQ(at(b, 0, 0), 0xFF005A5Au);
    EXPECT_EQ(SpriteExtend::clipImageWithRect(base, CGRectMake(200, 0, 10, 10)), nullptr);
    EXPECT_EQ(SpriteExtend::clipImageWithRect(nullptr, CGRectMake(0, 0, 10, 10)), nullptr);

    // Pixels, not points: on a scale-2 picture the rectangle addresses the bitmap.
    UIImage* q = SpriteExtend::clipImageWithRect(quadrants(20, 20, 2), CGRectMake(10, 0, 10, 10));
    ASSERT_TRUE(q);
    EXPECT_EQ(width(q), 10u);
    EXPECT_EQ(at(q, 5, 5), kGreen);
    EXPECT_EQ(q->size().width, 10);
}

// --- createGrayImageWithAlpha: -----------------------------------------------------------------

TEST_F(ImageSetTest, GrayWithoutAlphaIsOpaqueOverBlack) {
    // Left half transparent, right half opaque white, one opaque red pixel.
    UIImage* image = picture(4, 2, [](size_t x, size_t y) {
        if (x == 3 && y == 1) return kRed;
        return x < 2 ? 0u : kWhite;
    });
    UIImage* gray = SpriteExtend::createGrayImageWithAlpha(image, false);
    ASSERT_TRUE(gray);
    CGImageRef g = gray->CGImage();
    EXPECT_EQ(CGImageGetBitsPerPixel(g), 8u);
    EXPECT_EQ(CGColorSpaceGetModel(CGImageGetColorSpace(g)), kCGColorSpaceModelMonochrome);
    EXPECT_EQ(CGImageGetAlphaInfo(g), kCGImageAlphaNone);
    EXPECT_EQ(bdtest::grayAt(g, 0, 0), 0);
    EXPECT_EQ(bdtest::grayAt(g, 2, 0), 255);
    EXPECT_NEAR(bdtest::grayAt(g, 3, 1), 76, 1);
    EXPECT_EQ(SpriteExtend::createGrayImageWithAlpha(nullptr, false), nullptr);
    // Upright: red, green, blue and white quadrants keep their places.
    CGImageRef q = SpriteExtend::createGrayImageWithAlpha(quadrants(8, 8), false)->CGImage();
    EXPECT_NEAR(bdtest::grayAt(q, 2, 2), 76, 1);
    EXPECT_NEAR(bdtest::grayAt(q, 6, 2), 150, 1);
    EXPECT_NEAR(bdtest::grayAt(q, 2, 6), 29, 1);
    EXPECT_EQ(bdtest::grayAt(q, 6, 6), 255);
}

TEST_F(ImageSetTest, GrayWithAlphaMakesExactlyGreyZeroTransparent) {
    // Transparent, black, the darkest grey above 0, a dark red whose grey rounds to 1, white.
    UIImage* image = picture(5, 1, [](size_t x, size_t) {
        const uint32_t px[5] = {0u, 0xFF000000u, 0xFF010101u, 0xFF030000u, kWhite};
        return px[x];
    });
    UIImage* gray = SpriteExtend::createGrayImageWithAlpha(image, true);
    ASSERT_TRUE(gray);
    EXPECT_EQ(at(gray, 0, 0), 0u);
    EXPECT_EQ(at(gray, 1, 0), 0u);
    EXPECT_EQ(at(gray, 2, 0), 0xFF010101u);
    EXPECT_EQ(at(gray, 3, 0), 0xFF010101u);
    EXPECT_EQ(at(gray, 4, 0), kWhite);
}

// --- imageWithRoundCorners: --------------------------------------------------------------------

TEST_F(ImageSetTest, RoundCornersCutTheCornersAndKeepTheRest) {
    UIImage* image = quadrants(100, 100);
    UIImage* same = SpriteExtend::imageWithRoundCorners(image, 0);
    ASSERT_TRUE(same);
    for (size_t y = 0; y < 100; y += 3)
        for (size_t x = 0; x < 100; x += 3) ASSERT_EQ(at(same, x, y), at(image, x, y));
    EXPECT_EQ(at(same, 99, 99), kWhite);

    UIImage* round = SpriteExtend::imageWithRoundCorners(image, 10);
    ASSERT_TRUE(round);
    for (auto [x, y] : {std::pair{0, 0}, {99, 0}, {0, 99}, {99, 99}})
        EXPECT_EQ(at(round, size_t(x), size_t(y)), 0u) << x << "," << y;
    EXPECT_EQ(at(round, 50, 50), at(image, 50, 50));
    EXPECT_EQ(at(round, 10, 0), kRed);  // the straight edge is whole
    expectUpright(round, "round");
    // A negative radius builds the same corners.
    UIImage* negative = SpriteExtend::imageWithRoundCorners(image, -10);
    for (size_t y = 0; y < 100; ++y)
        for (size_t x = 0; x < 100; ++x)
            ASSERT_TRUE(near(at(negative, x, y), at(round, x, y), 1)) << x << "," << y;
    EXPECT_EQ(SpriteExtend::imageWithRoundCorners(nullptr, 5), nullptr);
}

TEST_F(ImageSetTest, RoundCornersGoldens) {
    UIImage* image = quadrants(40, 30);
    expectGolden(SpriteExtend::imageWithRoundCorners(image, 10), "round-10");
    // Above half the shorter side the arcs overlap: whatever the construction draws.
    expectGolden(SpriteExtend::imageWithRoundCorners(image, 25), "round-25");
    // A radius that is not finite leaves nothing inside the outline.
    UIImage* nan = SpriteExtend::imageWithRoundCorners(image, NAN);
    ASSERT_TRUE(nan);
    EXPECT_EQ(at(nan, 20, 15), 0u);
    UIImage* inf = SpriteExtend::imageWithRoundCorners(image, INFINITY);
    ASSERT_TRUE(inf);
    EXPECT_EQ(at(inf, 20, 15), 0u);
}

// --- sizes ---------------------------------------------------------------------------------

TEST_F(ImageSetTest, ResultsHaveThePointSizeAtScaleOne) {
    UIImage* retina = quadrants(100, 100, 2);  // 50 × 50 points
    UIImage* gray = SpriteExtend::createGrayImageWithAlpha(retina, false);
    UIImage* round = SpriteExtend::imageWithRoundCorners(retina, 5);
    for (UIImage* r : {gray, round}) {
        ASSERT_TRUE(r);
        EXPECT_EQ(width(r), 50u);
        EXPECT_EQ(height(r), 50u);
        EXPECT_EQ(r->scale(), 1);
    }
    expectUpright(round, "round at scale 2");
    uint8_t* bytes = SpriteExtend::getImageData(retina);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes[0], 255);  // the readout is of the whole bitmap: 100 × 100 × 4 bytes
    EXPECT_EQ(bytes[4 * (100 * 100 - 1)], 255);
    std::free(bytes);

    // 53 × 104 pixels at scale 5: 10.6 × 20.8 points.
    UIImage* fractional = solid(53, 104, kRed, 5);
    EXPECT_NEAR(fractional->size().width, 10.6, 1e-9);
    for (UIImage* r : {SpriteExtend::createGrayImageWithAlpha(fractional, true),
                       SpriteExtend::imageWithRoundCorners(fractional, 2)}) {
        ASSERT_TRUE(r);
        EXPECT_EQ(width(r), 10u);
        EXPECT_EQ(height(r), 20u);
    }

    // The compositing operations: 10 × 20 points at scale 2 give 10 × 20 pixels at scale 1.
    UIImage* small = quadrants(20, 40, 2);
    UIImage* results[] = {
        ImageSet::colorizeImage(small, UIColor::whiteColor()),
        ImageSet::maskImage(small, grayPicture(4, 4, [](size_t, size_t) { return uint8_t(0); })),
        SpriteExtend::imageColorOverlay(small, UIColor::grayColor()),
        SpriteExtend::drawToImage(small, solid(3, 3, 0))};
    for (UIImage* r : results) {
        ASSERT_TRUE(r);
        EXPECT_EQ(width(r), 10u);
        EXPECT_EQ(height(r), 20u);
        EXPECT_EQ(r->scale(), 1);
        expectUpright(r, "compositing at scale 2", 2);
    }

    // Under a point: no surface, no picture.
    UIImage* tiny = solid(1, 1, kRed, 2);
    EXPECT_EQ(SpriteExtend::createGrayImageWithAlpha(tiny, false), nullptr);
    EXPECT_EQ(SpriteExtend::imageWithRoundCorners(tiny, 1), nullptr);
}

// --- getImageData -----------------------------------------------------------------------------

TEST_F(ImageSetTest, PixelReadoutIsAlphaRedGreenBlueFromTheTopRow) {
    uint8_t* red = SpriteExtend::getImageData(solid(2, 1, kRed));
    ASSERT_TRUE(red);
    EXPECT_EQ(std::vector<uint8_t>(red, red + 8),
              (std::vector<uint8_t>{255, 255, 0, 0, 255, 255, 0, 0}));
    std::free(red);

    // Top row first; transparent pixels read as zeros (the buffer is cleared first), partly
    // transparent ones premultiplied.
    UIImage* image = picture(2, 2, [](size_t x, size_t y) {
        if (y == 0) return x ? 0u : kBlue;
        return x ? 0x80408000u : kGreen;
    });
    uint8_t* bytes = SpriteExtend::getImageData(image);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 16),
              (std::vector<uint8_t>{255, 0, 0, 255, 0, 0, 0, 0, 255, 0, 255, 0, 128, 64, 128, 0}));
    std::free(bytes);
    EXPECT_EQ(SpriteExtend::getImageData(nullptr), nullptr);

    // A grey picture reads out as opaque grey.
    uint8_t* grey =
        SpriteExtend::getImageData(grayPicture(1, 1, [](size_t, size_t) { return uint8_t(77); }));
    EXPECT_EQ(std::vector<uint8_t>(grey, grey + 4), (std::vector<uint8_t>{255, 77, 77, 77}));
    std::free(grey);
}

// --- colorizeImage:withColor: and imageColorOverlay: -------------------------------------------

TEST_F(ImageSetTest, ColorizeKeepsThePictureUnderWhiteAndReturnsItForNoColour) {
    // Opaque and transparent pixels keep their colours under white. (A partly transparent
    // one does not: the multiply formula adds αs·(1 − αd) of the white fill.)
    UIImage* image = picture(8, 8, [](size_t x, size_t y) {
        if (x < 2) return 0u;
        if (x < 4) return 0xFF402000u | uint32_t(y * 30);
        return x < 6 ? kRed : 0xFF336699u;
    });
    EXPECT_EQ(ImageSet::colorizeImage(image, nullptr), image);
    UIImage* white = ImageSet::colorizeImage(image, UIColor::whiteColor());
    ASSERT_TRUE(white);
    for (size_t y = 0; y < 8; ++y)
        for (size_t x = 0; x < 8; ++x) {
            uint32_t want = at(image, x, y), got = at(white, x, y);
            for (int k = 0; k < 4; ++k)
                ASSERT_NEAR(channel(got, k), channel(want, k), 1) << x << "," << y;
        }
    expectUpright(ImageSet::colorizeImage(quadrants(8, 8), UIColor::whiteColor()), "colorize");
    EXPECT_EQ(ImageSet::colorizeImage(nullptr, UIColor::whiteColor()), nullptr);
}

TEST_F(ImageSetTest, OverlayAndColorizeDifferOnlyInTheBlend) {
    // Tint = colour through the picture's opacity, then the picture in the mode.
    UIImage* image = picture(16, 4, [](size_t x, size_t y) {
        uint32_t a = y == 0 ? 255 : y == 1 ? 200 : y == 2 ? 90 : 0;
        uint32_t v = uint32_t(x * 17);
        return a << 24 | (v * a / 255) << 16 | ((255 - v) * a / 255) << 8 | (a / 2);
    });
    UIColor* color = UIColor::colorWithRed(230 / 255.0, 102 / 255.0, 26 / 255.0, 1);
    UIImage* multiply = ImageSet::colorizeImage(image, color);
    UIImage* overlay = SpriteExtend::imageColorOverlay(image, color);
    ASSERT_TRUE(multiply && overlay);
    const double c[3] = {26 / 255.0, 102 / 255.0, 230 / 255.0};  // blue, green, red
    for (size_t y = 0; y < 4; ++y)
        for (size_t x = 0; x < 16; ++x) {
            uint32_t p = at(image, x, y);
            double as = channel(p, 3) / 255.0, ad = as;  // the fill has the picture's alpha
            for (int k = 0; k < 4; ++k) {
                double s = channel(p, k) / 255.0, d = k == 3 ? ad : c[k] * as;
                double base = (1 - as) * d + (1 - ad) * s;
                double m = base + s * d;
                double t = 2 * d <= ad ? 2 * s * d : as * ad - 2 * (ad - d) * (as - s);
                EXPECT_NEAR(channel(at(multiply, x, y), k), m * 255, 2) << x << "," << y;
                EXPECT_NEAR(channel(at(overlay, x, y), k), (base + t) * 255, 2) << x << "," << y;
            }
        }
    // Overlay on mid grey gives back the picture (within the grey's rounding).
    expectUpright(SpriteExtend::imageColorOverlay(quadrants(8, 8), UIColor::grayColor()),
                  "overlay with grey", 2);
    // No colour: the fill is the surface's opaque black, and overlay on black is black.
    UIImage* black = SpriteExtend::imageColorOverlay(solid(2, 2, kWhite), nullptr);
    EXPECT_EQ(at(black, 0, 0), 0xFF000000u);
}

// --- maskImage:withImage: ---------------------------------------------------------------------

TEST_F(ImageSetTest, MaskShowsThePictureWhereTheMaskIsBlack) {
    UIImage* image = quadrants(8, 8);
    // Grey mask of the picture's size, black on the left half.
    UIImage* half = grayPicture(8, 8, [](size_t x, size_t) { return uint8_t(x < 4 ? 0 : 255); });
    UIImage* masked = ImageSet::maskImage(image, half);
    ASSERT_TRUE(masked);
    EXPECT_EQ(at(masked, 1, 1), kRed);
    EXPECT_EQ(at(masked, 1, 6), kBlue);
    EXPECT_EQ(at(masked, 6, 1), 0u);
    EXPECT_EQ(at(masked, 6, 6), 0u);
    // A mask of other dimensions is stretched over the picture: 2 × 2, black top row.
    UIImage* small = grayPicture(2, 2, [](size_t, size_t y) { return uint8_t(y ? 255 : 0); });
    UIImage* top = ImageSet::maskImage(image, small);
    EXPECT_EQ(at(top, 1, 1), kRed);
    EXPECT_EQ(at(top, 6, 1), kGreen);
    EXPECT_EQ(at(top, 1, 6), 0u);
    // Grey lets the picture through in part.
    UIImage* mid =
        ImageSet::maskImage(image, grayPicture(1, 1, [](size_t, size_t) { return uint8_t(128); }));
    EXPECT_NEAR(int(at(mid, 1, 1) >> 24), 127, 1);
    // A colour mask (as a PNG decodes) is turned grey over white first: its transparent part
    // hides, black shows.
    UIImage* colour = picture(2, 1, [](size_t x, size_t) { return x ? 0u : 0xFF000000u; });
    UIImage* cut = ImageSet::maskImage(image, colour);
    EXPECT_EQ(at(cut, 1, 1), kRed);
    EXPECT_EQ(at(cut, 6, 1), 0u);
    // No mask: a transparent picture of the picture's size.
    UIImage* none = ImageSet::maskImage(image, nullptr);
    ASSERT_TRUE(none);
    EXPECT_EQ(width(none), 8u);
    EXPECT_EQ(at(none, 1, 1), 0u);
    EXPECT_EQ(ImageSet::maskImage(nullptr, half), nullptr);
}

// --- drawToImage: -----------------------------------------------------------------------------

TEST_F(ImageSetTest, DrawOverStretchesTheSecondPicture) {
    UIImage* image = quadrants(8, 8);
    UIImage* opaque = quadrants(4, 4);  // stretched to 8 × 8, upright
    UIImage* over = SpriteExtend::drawToImage(solid(8, 8, kBlue), opaque);
    ASSERT_TRUE(over);
    expectUpright(over, "draw over");
    UIImage* clear = SpriteExtend::drawToImage(image, solid(3, 5, 0));
    for (size_t y = 0; y < 8; ++y)
        for (size_t x = 0; x < 8; ++x) ASSERT_EQ(at(clear, x, y), at(image, x, y));
    UIImage* nothing = SpriteExtend::drawToImage(image, nullptr);
    EXPECT_EQ(at(nothing, 6, 6), kWhite);
    // Half-transparent white over red.
    UIImage* mixed = SpriteExtend::drawToImage(solid(2, 2, kRed), solid(1, 1, 0x80808080u));
    EXPECT_EQ(at(mixed, 0, 0), 0xFFFF8080u);
    expectGolden(SpriteExtend::drawToImage(
                     quadrants(24, 16),
                     picture(3, 2, [](size_t x, size_t) { return x == 1 ? 0xC0C0C0C0u : 0u; })),
                 "draw-over-stretched");
}

// --- other layouts ----------------------------------------------------------------------------

TEST_F(ImageSetTest, GreyAndStraightAlphaPicturesGoThroughEveryOperation) {
    UIImage* grey = grayPicture(4, 2, [](size_t x, size_t) { return uint8_t(x * 80); });
    // Straight (not premultiplied) RGBA bytes, alpha last: half-transparent red.
    std::vector<uint8_t> rgba = {255, 0, 0, 128, 255, 0, 0, 128};
    CGDataProviderRef provider = CGDataProviderCreateWithCopyOfData(rgba.data(), rgba.size());
    CGColorSpaceRef space = CGColorSpaceCreateDeviceRGB();
    CGImageRef bitmap = CGImageCreate(2, 1, 8, 32, 8, space, kCGImageAlphaLast, provider, nullptr,
                                      true, kCGRenderingIntentDefault);
    CGColorSpaceRelease(space);
    CGDataProviderRelease(provider);
    UIImage* straight = UIImage::imageWithCGImage(bitmap);
    CGImageRelease(bitmap);

    // A grey picture clips by its grey value: red through 240/255, then the grey multiplied.
    UIImage* red = ImageSet::colorizeImage(grey, UIColor::redColor());
    EXPECT_EQ(at(red, 0, 0), 0xFF000000u);
    EXPECT_EQ(at(red, 3, 1), 0xFFF00E0Eu);
    // The 4 × 2 grey shrunk to 2 × 1: columns 2 and 3 (160, 240) averaged.
    EXPECT_EQ(at(SpriteExtend::drawToImage(straight, grey), 1, 0), 0xFFC8C8C8u);
    EXPECT_EQ(at(SpriteExtend::drawToImage(grey, straight), 1, 0), 0xFFA82828u);
    uint8_t* bytes = SpriteExtend::getImageData(straight);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), (std::vector<uint8_t>{128, 128, 0, 0}));
    std::free(bytes);
    EXPECT_EQ(at(SpriteExtend::imageWithRoundCorners(straight, 0), 0, 0), 0x80800000u);
    EXPECT_EQ(at(SpriteExtend::createGrayImageWithAlpha(straight, false), 0, 0), 0xFF262626u);
    EXPECT_EQ(at(SpriteExtend::clipImageWithRect(grey, CGRectMake(1, 0, 1, 1)), 0, 0), 0xFF505050u);
    // A grey picture as its own mask: its grey is the mask as stored (black shows).
    EXPECT_EQ(at(ImageSet::maskImage(grey, grey), 0, 0), 0xFF000000u);
    EXPECT_EQ(at(ImageSet::maskImage(grey, grey), 3, 0) >> 24, 15u);
}

// --- loaders ----------------------------------------------------------------------------------

TEST_F(ImageSetTest, LoadersUnscrambleEveryByte) {
    std::vector<uint8_t> png = bdtest::solidPng(3, 2, 0xFF204060u);
    std::vector<uint8_t> scrambled(png.size());
    DataEncrypt::scramble(png.data(), scrambled.data(), png.size());
    bdtest::TempDir tmp("imageset");
    std::string dir = tmp.path();
    ASSERT_TRUE(bdtest::writeFile(dir + "/plain.png", png));
    ASSERT_TRUE(bdtest::writeFile(dir + "/scrambled.png", scrambled));
    auto path = [&](const char* name) {
        return NSString::stringWithUTF8String((dir + "/" + name).c_str());
    };
    UIImage* a = SpriteExtend::imageWithContentsOfFile(path("scrambled.png"), true);
    ASSERT_TRUE(a);
    EXPECT_EQ(at(a, 2, 1), 0xFF204060u);
    EXPECT_TRUE(SpriteExtend::imageWithContentsOfFile(path("plain.png"), false));
    EXPECT_EQ(SpriteExtend::imageWithContentsOfFile(path("scrambled.png"), false), nullptr);
    EXPECT_EQ(SpriteExtend::imageWithContentsOfFile(path("plain.png"), true), nullptr);
    EXPECT_EQ(SpriteExtend::imageWithContentsOfFile(path("missing.png"), true), nullptr);
    EXPECT_EQ(
        SpriteExtend::imageWithContentsOfFile(NSString::stringWithUTF8String(dir.c_str()), false),
        nullptr);
    EXPECT_EQ(SpriteExtend::imageWithContentsOfFile(nullptr, false), nullptr);

    NSData* data = NSData::dataWithBytes(scrambled.data(), scrambled.size());
    UIImage* b = SpriteExtend::imageWithData(data, true);
    ASSERT_TRUE(b);
    EXPECT_EQ(at(b, 0, 0), 0xFF204060u);
    // The caller's bytes are left as they were.
    EXPECT_EQ(std::vector<uint8_t>(static_cast<const uint8_t*>(data->bytes()),
                                   static_cast<const uint8_t*>(data->bytes()) + data->length()),
              scrambled);
    EXPECT_EQ(SpriteExtend::imageWithData(nullptr, true), nullptr);
    EXPECT_EQ(SpriteExtend::imageWithData(nullptr, false), nullptr);
    EXPECT_TRUE(SpriteExtend::imageWithData(NSData::dataWithBytes(png.data(), png.size()), false));
}

}  // namespace
