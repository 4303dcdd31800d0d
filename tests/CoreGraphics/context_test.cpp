// Bitmap contexts, clipping, paths, blend modes, image drawing and the bitmaps made from
// bitmaps, checked pixel by pixel.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "CoreGraphics/CGColorSpace.h"
#include "CoreGraphics/CGContext.h"
#include "CoreGraphics/CGImage.h"
#include "UIKit/UIColor.h"
#include "UIKit/UIGraphics.h"
#include "UIKit/UIImage.h"
#include "support/pictures.h"

namespace {

using bdtest::pixelAt;

constexpr uint32_t kRed = 0xFFFF0000u, kBlue = 0xFF0000FFu, kGreen = 0xFF00FF00u;

// An owned context / bitmap, released at the end of the scope.
struct Ctx {
    CGContextRef c;
    explicit Ctx(CGContextRef ctx) : c(ctx) {}
    ~Ctx() { CGContextRelease(c); }
    operator CGContextRef() const { return c; }
};
struct Img {
    CGImageRef i;
    explicit Img(CGImageRef image) : i(image) {}
    ~Img() { CGImageRelease(i); }
    operator CGImageRef() const { return i; }
    CGImageRef operator->() const { return i; }
};

CGContextRef rgbContext(size_t w, size_t h, void* data = nullptr, size_t bpr = 0,
                        uint32_t info = kCGImageAlphaPremultipliedFirst) {
    CGColorSpaceRef rgb = CGColorSpaceCreateDeviceRGB();
    CGContextRef c = CGBitmapContextCreate(data, w, h, 8, bpr, rgb, info);
    CGColorSpaceRelease(rgb);
    return c;
}
CGContextRef grayContext(size_t w, size_t h) {
    CGColorSpaceRef gray = CGColorSpaceCreateDeviceGray();
    CGContextRef c = CGBitmapContextCreate(nullptr, w, h, 8, 0, gray, kCGImageAlphaNone);
    CGColorSpaceRelease(gray);
    return c;
}
uint32_t at(CGContextRef c, size_t x, size_t y) {
    Img img(CGBitmapContextCreateImage(c));
    return pixelAt(img, x, y);
}
int channel(uint32_t p, int k) {
    return int((p >> (8 * k)) & 0xFF);
}
bool near(uint32_t a, uint32_t b, int tolerance = 1) {
    for (int k = 0; k < 4; ++k)
        if (std::abs(channel(a, k) - channel(b, k)) > tolerance) return false;
    return true;
}

// A picture with a different colour in each quadrant (red top-left, green top-right, blue
// bottom-left, white bottom-right), so that any flip or mirror shows.
CGImageRef quadrants(size_t w, size_t h) {
    return bdtest::makeImage(w, h, [w, h](size_t x, size_t y) {
        bool right = x >= w / 2, bottom = y >= h / 2;
        return !bottom ? (right ? kGreen : kRed) : (right ? 0xFFFFFFFFu : kBlue);
    });
}

TEST(BitmapContext, CreationRulesAndClearedStart) {
    EXPECT_EQ(Ctx(rgbContext(0, 10)).c, nullptr);
    EXPECT_EQ(Ctx(rgbContext(10, 0)).c, nullptr);
    EXPECT_EQ(Ctx(rgbContext(10, 10, nullptr, 39)).c, nullptr);  // row too short
    EXPECT_EQ(Ctx(rgbContext(10, 10, nullptr, 0, kCGImageAlphaNone)).c, nullptr);
    EXPECT_EQ(Ctx(rgbContext(100000, 1)).c, nullptr);
    CGColorSpaceRef gray = CGColorSpaceCreateDeviceGray();
    EXPECT_EQ(
        Ctx(CGBitmapContextCreate(nullptr, 4, 4, 8, 0, gray, kCGImageAlphaPremultipliedLast)).c,
        nullptr);
    EXPECT_EQ(Ctx(CGBitmapContextCreate(nullptr, 4, 4, 16, 0, gray, kCGImageAlphaNone)).c, nullptr);
    CGColorSpaceRelease(gray);

    Ctx rgb(rgbContext(3, 2));
    ASSERT_TRUE(rgb.c);
    EXPECT_EQ(CGBitmapContextGetBytesPerRow(rgb), 12u);
    EXPECT_EQ(CGBitmapContextGetBitmapInfo(rgb), uint32_t(kCGImageAlphaPremultipliedFirst));
    Img clear(CGBitmapContextCreateImage(rgb));
    for (size_t y = 0; y < 2; ++y)
        for (size_t x = 0; x < 3; ++x) EXPECT_EQ(pixelAt(clear, x, y), 0u);
    Ctx g(grayContext(3, 2));
    Img black(CGBitmapContextCreateImage(g));
    EXPECT_EQ(CGImageGetBitsPerPixel(black), 8u);
    EXPECT_EQ(bdtest::grayAt(black, 2, 1), 0);
    EXPECT_EQ(CGBitmapContextCreateImage(nullptr), nullptr);
}

TEST(BitmapContext, CallersBufferGetsTheLayoutAskedFor) {
    // Alpha first, default byte order: bytes alpha, red, green, blue.
    std::vector<uint8_t> argb(2 * 4, 0xEE);
    {
        Ctx c(rgbContext(2, 1, argb.data(), 8));
        CGContextSetRGBFillColor(c, 1, 0, 0, 1);
        CGContextFillRect(c, CGRectMake(0, 0, 1, 1));
    }
    EXPECT_EQ(argb, (std::vector<uint8_t>{255, 255, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE}));

    // Alpha last: red, green, blue, alpha; half-transparent blue stays premultiplied. The
    // buffer starts one byte in, so it is not aligned to a pixel word.
    std::vector<uint8_t> raw(1 + 8, 0);
    uint8_t* rgba = raw.data() + 1;
    {
        Ctx c(rgbContext(2, 1, rgba, 8, kCGImageAlphaPremultipliedLast));
        CGContextSetRGBFillColor(c, 0, 0, 1, 0.5);
        CGContextFillRect(c, CGRectMake(1, 0, 1, 1));
        Img copy(CGBitmapContextCreateImage(c));
        EXPECT_EQ(pixelAt(copy, 1, 0), 0x80000080u);
    }
    EXPECT_EQ(std::vector<uint8_t>(rgba, rgba + 8),
              (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 128, 128}));
}

TEST(BitmapContext, UserSpaceStartsAtTheBottomLeftAndTheCtmAppliesInUserSpace) {
    Ctx c(rgbContext(4, 4));
    CGContextSetRGBFillColor(c, 1, 0, 0, 1);
    CGContextFillRect(c, CGRectMake(0, 0, 1, 1));
    EXPECT_EQ(at(c, 0, 3), kRed);  // bottom-left pixel
    EXPECT_EQ(at(c, 0, 0), 0u);

    CGContextSaveGState(c);
    CGContextTranslateCTM(c, 2, 2);
    CGContextScaleCTM(c, 2, 1);  // applies before the translation: x 0..1 -> 2..4
    CGContextSetRGBFillColor(c, 0, 0, 1, 1);
    CGContextFillRect(c, CGRectMake(0, 0, 1, 1));
    CGContextRestoreGState(c);
    EXPECT_EQ(at(c, 2, 1), kBlue);
    EXPECT_EQ(at(c, 3, 1), kBlue);
    EXPECT_EQ(at(c, 1, 1), 0u);
    // The restore brought back the transform and the colour.
    CGContextFillRect(c, CGRectMake(3, 3, 1, 1));
    EXPECT_EQ(at(c, 3, 0), kRed);
    EXPECT_TRUE(CGAffineTransformIsIdentity(
        CGAffineTransformConcat(CGContextGetCTM(c), CGAffineTransformMake(1, 0, 0, -1, 0, 4))));
    // More restores than saves are ignored.
    CGContextRestoreGState(c);
    CGContextRestoreGState(c);
}

TEST(BitmapContext, ImagesAreDrawnUprightAndShareNothingWritable) {
    Img q(quadrants(4, 4));
    Ctx c(rgbContext(4, 4));
    CGContextDrawImage(c, CGRectMake(0, 0, 4, 4), q);
    Img drawn(CGBitmapContextCreateImage(c));
    EXPECT_EQ(pixelAt(drawn, 0, 0), kRed);
    EXPECT_EQ(pixelAt(drawn, 3, 0), kGreen);
    EXPECT_EQ(pixelAt(drawn, 0, 3), kBlue);

    // Drawing on: neither the source bitmap nor the earlier copy changes.
    CGContextSetRGBFillColor(c, 0, 0, 0, 1);
    CGContextFillRect(c, CGRectMake(0, 0, 4, 4));
    EXPECT_EQ(at(c, 0, 0), 0xFF000000u);
    EXPECT_EQ(pixelAt(drawn, 0, 0), kRed);
    EXPECT_EQ(pixelAt(q, 0, 0), kRed);

    // In a context flipped to y down, the same call draws the bitmap upside down.
    Ctx flipped(bd::createImageContext(4, 4, CGAffineTransformIdentity));
    CGContextDrawImage(flipped, CGRectMake(0, 0, 4, 4), q);
    EXPECT_EQ(at(flipped, 0, 0), kBlue);
}

TEST(BitmapContext, ScaledImagesFilterWhenShrinkingAndKeepTheirEdgesWhenGrowing) {
    // 2 × 2 checker of red and blue shrunk to one pixel: an even mix.
    Img checker(
        bdtest::makeImage(2, 2, [](size_t x, size_t y) { return (x + y) % 2 ? kBlue : kRed; }));
    Ctx one(rgbContext(1, 1));
    CGContextDrawImage(one, CGRectMake(0, 0, 1, 1), checker);
    EXPECT_TRUE(near(at(one, 0, 0), 0xFF800080u, 2)) << std::hex << at(one, 0, 0);

    // A 2 × 2 opaque picture grown to 10 × 10: every pixel opaque, corners keep their colour.
    Ctx big(rgbContext(10, 10));
    Img q(quadrants(2, 2));
    CGContextDrawImage(big, CGRectMake(0, 0, 10, 10), q);
    for (size_t y = 0; y < 10; ++y)
        for (size_t x = 0; x < 10; ++x) ASSERT_EQ(at(big, x, y) >> 24, 0xFFu) << x << "," << y;
    EXPECT_EQ(at(big, 0, 0), kRed);
    EXPECT_EQ(at(big, 9, 0), kGreen);
    EXPECT_EQ(at(big, 0, 9), kBlue);

    // A rectangle on half pixels: the edge pixels are half covered.
    Ctx half(rgbContext(4, 1));
    Img red(bdtest::makeSolidImage(1, 1, kRed));
    CGContextDrawImage(half, CGRectMake(0.5, 0, 2, 1), red);
    EXPECT_NEAR(int(at(half, 0, 0) >> 24), 128, 2);
    EXPECT_EQ(at(half, 1, 0), kRed);
    EXPECT_NEAR(int(at(half, 2, 0) >> 24), 128, 2);
    EXPECT_EQ(at(half, 3, 0), 0u);
}

TEST(BitmapContext, BlendModesFollowThePdfFormulas) {
    // Backdrop (0.5, 0.25, 1.0) opaque; source (0.8, 0.8, 0.2) opaque.
    auto blendOnce = [](CGBlendMode mode) {
        Ctx c(rgbContext(1, 1));
        CGContextSetRGBFillColor(c, 0.5, 0.25, 1.0, 1);
        CGContextFillRect(c, CGRectMake(0, 0, 1, 1));
        CGContextSetBlendMode(c, mode);
        CGContextSetRGBFillColor(c, 0.8, 0.8, 0.2, 1);
        CGContextFillRect(c, CGRectMake(0, 0, 1, 1));
        return at(c, 0, 0);
    };
    auto rgb = [](double r, double g, double b) {
        return 0xFF000000u | uint32_t(std::lround(r * 255)) << 16 |
               uint32_t(std::lround(g * 255)) << 8 | uint32_t(std::lround(b * 255));
    };
    EXPECT_TRUE(near(blendOnce(kCGBlendModeNormal), rgb(0.8, 0.8, 0.2)));
    EXPECT_TRUE(near(blendOnce(kCGBlendModeMultiply), rgb(0.4, 0.2, 0.2)));
    // Overlay: backdrop <= 0.5 multiplies 2·cs·cb, above screens.
    auto overlay = [](double cb, double cs) {
        return cb <= 0.5 ? 2 * cs * cb : 1 - 2 * (1 - cs) * (1 - cb);
    };
    EXPECT_TRUE(near(blendOnce(kCGBlendModeOverlay),
                     rgb(overlay(0.5, 0.8), overlay(0.25, 0.8), overlay(1.0, 0.2))));
    // The other modes go through pixman: screen and copy for a start.
    EXPECT_TRUE(near(blendOnce(kCGBlendModeScreen), rgb(0.9, 0.85, 1.0)));
    EXPECT_TRUE(near(blendOnce(kCGBlendModeCopy), rgb(0.8, 0.8, 0.2)));

    // ClearRect clears inside the clip only.
    Ctx c(rgbContext(2, 1));
    CGContextSetRGBFillColor(c, 1, 0, 0, 1);
    CGContextFillRect(c, CGRectMake(0, 0, 2, 1));
    CGContextClipToRect(c, CGRectMake(1, 0, 1, 1));
    CGContextClearRect(c, CGRectMake(0, 0, 2, 1));
    EXPECT_EQ(at(c, 0, 0), kRed);
    EXPECT_EQ(at(c, 1, 0), 0u);
}

TEST(BitmapContext, GreyContextsConvertColourAndCompositeOverBlack) {
    Ctx g(grayContext(3, 1));
    CGContextSetRGBFillColor(g, 1, 0, 0, 1);
    CGContextFillRect(g, CGRectMake(0, 0, 1, 1));
    CGContextSetRGBFillColor(g, 1, 1, 1, 0.5);
    CGContextFillRect(g, CGRectMake(1, 0, 1, 1));
    CGContextSetBlendMode(g, kCGBlendModeMultiply);
    CGContextSetRGBFillColor(g, 0.5, 0.5, 0.5, 1);
    CGContextFillRect(g, CGRectMake(2, 0, 1, 1));  // 0.5 × black
    Img img(CGBitmapContextCreateImage(g));
    EXPECT_NEAR(bdtest::grayAt(img, 0, 0), 76, 1);  // 0.299 of red
    EXPECT_NEAR(bdtest::grayAt(img, 1, 0), 128, 1);
    EXPECT_EQ(bdtest::grayAt(img, 2, 0), 0);
}

TEST(Clipping, RectanglesPathsAndWindingRules) {
    // Two overlapping squares drawn the same way round: nonzero fills the overlap, even-odd
    // leaves it out.
    auto squares = [](CGContextRef c) {
        CGContextBeginPath(c);
        CGContextAddRect(c, CGRectMake(0, 0, 6, 2));
        CGContextAddRect(c, CGRectMake(2, 0, 6, 2));
    };
    Ctx nz(rgbContext(8, 2)), eo(rgbContext(8, 2));
    squares(nz);
    CGContextClip(nz);
    squares(eo);
    CGContextEOClip(eo);
    for (CGContextRef c : {nz.c, eo.c}) {
        EXPECT_TRUE(CGContextIsPathEmpty(c));  // clipping consumes the path
        CGContextSetRGBFillColor(c, 1, 0, 0, 1);
        CGContextFillRect(c, CGRectMake(0, 0, 8, 2));
    }
    EXPECT_EQ(at(nz, 3, 0), kRed);
    EXPECT_EQ(at(eo, 3, 0), 0u);
    EXPECT_EQ(at(eo, 0, 0), kRed);
    EXPECT_EQ(at(eo, 7, 0), kRed);

    // A clip on half a pixel lets half the paint through; a clip is kept by save/restore.
    Ctx c(rgbContext(3, 1));
    CGContextSaveGState(c);
    CGContextClipToRect(c, CGRectMake(0, 0, 1.5, 1));
    EXPECT_TRUE(CGRectEqualToRect(CGContextGetClipBoundingBox(c), CGRectMake(0, 0, 2, 1)));
    CGContextSetRGBFillColor(c, 0, 0, 1, 1);
    CGContextFillRect(c, CGRectMake(0, 0, 3, 1));
    CGContextRestoreGState(c);
    EXPECT_EQ(at(c, 0, 0), kBlue);
    EXPECT_NEAR(int(at(c, 1, 0) >> 24), 128, 2);
    EXPECT_EQ(at(c, 2, 0), 0u);
    CGContextFillRect(c, CGRectMake(2, 0, 1, 1));  // black again, and no clip
    EXPECT_EQ(at(c, 2, 0), 0xFF000000u);

    // A clip that misses the context lets nothing through.
    Ctx none(rgbContext(2, 2));
    CGContextClipToRect(none, CGRectMake(5, 5, 1, 1));
    CGContextFillRect(none, CGRectMake(0, 0, 2, 2));
    EXPECT_EQ(at(none, 0, 0), 0u);
}

TEST(Clipping, MasksLetPaintThroughByTheirKind) {
    // Grey bitmap: white lets paint through. Image mask: 0 lets it through. Colour bitmap:
    // in proportion to its opacity. Each is 2 × 1, drawn upright over a 2 × 1 context.
    Img grey(bdtest::makeGrayImage(2, 1, [](size_t x, size_t) { return x ? 255 : 0; }));
    std::vector<uint8_t> samples = {0, 255};
    CGDataProviderRef provider = CGDataProviderCreateWithCopyOfData(samples.data(), 2);
    Img mask(CGImageMaskCreate(2, 1, 8, 8, 2, provider, nullptr, false));
    CGDataProviderRelease(provider);
    Img halfOpaque(bdtest::makeImage(2, 1, [](size_t x, size_t) { return x ? 0u : 0x80800000u; }));
    struct Case {
        CGImageRef clip;
        uint32_t left, right;
    } cases[] = {{grey, 0, kRed}, {mask, kRed, 0}, {halfOpaque, 0x80800000u, 0}};
    for (const Case& k : cases) {
        Ctx c(rgbContext(2, 1));
        CGContextClipToMask(c, CGRectMake(0, 0, 2, 1), k.clip);
        CGContextSetRGBFillColor(c, 1, 0, 0, 1);
        CGContextFillRect(c, CGRectMake(0, 0, 2, 1));
        EXPECT_TRUE(near(at(c, 0, 0), k.left)) << std::hex << at(c, 0, 0);
        EXPECT_TRUE(near(at(c, 1, 0), k.right)) << std::hex << at(c, 1, 0);
    }

    // A mask stretched over a larger rectangle, and a clip to mask that is then drawn into
    // only in part (the deferred fill is written out first).
    Ctx c(rgbContext(4, 2));
    CGContextClipToMask(c, CGRectMake(0, 0, 4, 2), grey);
    CGContextSetRGBFillColor(c, 0, 1, 0, 1);
    CGContextFillRect(c, CGRectMake(0, 0, 4, 2));
    CGContextSetRGBFillColor(c, 0, 0, 1, 1);
    CGContextFillRect(c, CGRectMake(3, 0, 1, 1));
    EXPECT_EQ(at(c, 0, 0), 0u);
    EXPECT_EQ(at(c, 3, 0), kGreen);
    EXPECT_EQ(at(c, 3, 1), kBlue);
    // A null mask leaves the clip as it was.
    Ctx all(rgbContext(1, 1));
    CGContextClipToMask(all, CGRectMake(0, 0, 1, 1), nullptr);
    CGContextFillRect(all, CGRectMake(0, 0, 1, 1));
    EXPECT_EQ(at(all, 0, 0), 0xFF000000u);
}

TEST(Paths, ArcToPointFollowsTheArctConstruction) {
    Ctx c(rgbContext(20, 20));
    // From (0, 0) through the corner (10, 0) towards (10, 10), radius 2: the arc ends where the
    // circle touches the second line, two units past the corner.
    CGContextMoveToPoint(c, 0, 0);
    CGContextAddArcToPoint(c, 10, 0, 10, 10, 2);
    CGPoint p = CGContextGetPathCurrentPoint(c);
    EXPECT_NEAR(p.x, 10, 1e-9);
    EXPECT_NEAR(p.y, 2, 1e-9);
    // A negative radius puts the tangent points on the far side of the corner.
    CGContextBeginPath(c);
    CGContextMoveToPoint(c, 0, 0);
    CGContextAddArcToPoint(c, 10, 0, 10, 10, -2);
    p = CGContextGetPathCurrentPoint(c);
    EXPECT_NEAR(p.x, 10, 1e-9);
    EXPECT_NEAR(p.y, -2, 1e-9);
    // Collinear points, or a zero radius, give a line to the corner.
    CGContextBeginPath(c);
    CGContextMoveToPoint(c, 0, 0);
    CGContextAddArcToPoint(c, 5, 0, 10, 0, 3);
    p = CGContextGetPathCurrentPoint(c);
    EXPECT_EQ(p.x, 5);
    CGContextAddArcToPoint(c, 5, 5, 0, 5, 0);
    p = CGContextGetPathCurrentPoint(c);
    EXPECT_EQ(p.y, 5);
    // Without a current point the path starts at the corner.
    CGContextBeginPath(c);
    CGContextAddArcToPoint(c, 3, 4, 10, 10, 2);
    p = CGContextGetPathCurrentPoint(c);
    EXPECT_EQ(p.x, 3);
    EXPECT_EQ(p.y, 4);

    // A filled quarter disc: the arc bulges the right way (the corner itself stays empty).
    CGContextBeginPath(c);
    CGContextMoveToPoint(c, 0, 0);
    CGContextAddLineToPoint(c, 10, 0);
    CGContextAddArcToPoint(c, 20, 0, 20, 10, 10);
    CGContextAddLineToPoint(c, 0, 10);
    CGContextClosePath(c);
    CGContextSetRGBFillColor(c, 1, 0, 0, 1);
    CGContextFillPath(c);
    EXPECT_EQ(at(c, 5, 15), kRed);   // user (5, 4)
    EXPECT_EQ(at(c, 11, 11), kRed);  // just inside the arc, near its end
    EXPECT_EQ(at(c, 19, 19), 0u);    // the corner (20, 0) is cut off
}

TEST(Paths, AddArcEllipseAndCurves) {
    Ctx c(rgbContext(20, 20));
    CGContextSetRGBFillColor(c, 0, 0, 1, 1);
    CGContextFillEllipseInRect(c, CGRectMake(0, 0, 20, 20));
    EXPECT_EQ(at(c, 10, 10), kBlue);
    EXPECT_EQ(at(c, 0, 0), 0u);
    EXPECT_EQ(at(c, 19, 19), 0u);

    Ctx half(rgbContext(20, 20));
    CGContextMoveToPoint(half, 10, 10);
    CGContextAddArc(half, 10, 10, 10, 0, M_PI, 0);  // counter-clockwise: the upper half
    CGContextClosePath(half);
    CGContextSetRGBFillColor(half, 1, 0, 0, 1);
    CGContextFillPath(half);
    EXPECT_EQ(at(half, 10, 3), kRed);  // user (10, 16): above the centre
    EXPECT_EQ(at(half, 10, 16), 0u);
}

TEST(ImagesFromImages, CutOutFollowsTheIntegralRectangleRules) {
    Img base(bdtest::makeImage(
        100, 100, [](size_t x, size_t y) { return 0xFF000000u | uint32_t(x) << 8 | uint32_t(y); }));
    Img a(CGImageCreateWithImageInRect(base, CGRectMake(0.5, 0.5, 10, 10)));
    ASSERT_TRUE(a.i);
    EXPECT_EQ(CGImageGetWidth(a), 11u);
    EXPECT_EQ(CGImageGetHeight(a), 11u);
    EXPECT_EQ(pixelAt(a, 0, 0), 0xFF000000u);
    Img b(CGImageCreateWithImageInRect(base, CGRectMake(90, 90, 20, 20)));
    ASSERT_TRUE(b.i);
    EXPECT_EQ(CGImageGetWidth(b), 10u);
    EXPECT_EQ(pixelAt(b, 9, 9), 0xFF006363u);
    EXPECT_EQ(CGImageCreateWithImageInRect(base, CGRectMake(200, 0, 10, 10)), nullptr);
    EXPECT_EQ(CGImageCreateWithImageInRect(base, CGRectMake(10, 10, 0, 5)), nullptr);
    EXPECT_EQ(CGImageCreateWithImageInRect(base, CGRectMake(NAN, 0, 5, 5)), nullptr);
    EXPECT_EQ(CGImageCreateWithImageInRect(nullptr, CGRectMake(0, 0, 5, 5)), nullptr);

    // A part of a part, and its data provider seen through the layout getters.
    Img c(CGImageCreateWithImageInRect(b, CGRectMake(2, 3, 4, 4)));
    EXPECT_EQ(pixelAt(c, 0, 0), 0xFF005C5Du);
    const uint8_t* bytes = CGDataProviderGetBytePtr(CGImageGetDataProvider(c));
    uint32_t first;
    std::memcpy(&first, bytes + CGImageGetBytesPerRow(c), 4);
    EXPECT_EQ(first, 0xFF005C5Eu);
    // The part outlives the bitmap it was cut from.
    Img alone(CGImageCreateWithImageInRect(Img(quadrants(4, 4)), CGRectMake(2, 2, 2, 2)));
    EXPECT_EQ(pixelAt(alone, 1, 1), 0xFFFFFFFFu);
}

TEST(ImagesFromImages, MasksAreStretchedAndReadByTheirKind) {
    Img q(quadrants(4, 2));
    // An image mask of 2 × 1: left 0 (shows), right 255 (hidden), stretched without
    // interpolation over 4 × 2.
    std::vector<uint8_t> samples = {0, 255};
    CGDataProviderRef provider = CGDataProviderCreateWithCopyOfData(samples.data(), 2);
    Img mask(CGImageMaskCreate(2, 1, 8, 8, 2, provider, nullptr, false));
    CGDataProviderRelease(provider);
    Img masked(CGImageCreateWithMask(q, mask));
    ASSERT_TRUE(masked.i);
    EXPECT_EQ(pixelAt(masked, 0, 0), kRed);
    EXPECT_EQ(pixelAt(masked, 1, 1), kBlue);
    EXPECT_EQ(pixelAt(masked, 2, 0), 0u);
    EXPECT_EQ(pixelAt(masked, 3, 1), 0u);
    // A grey bitmap of the same size: its value is how much shows.
    Img grey(bdtest::makeGrayImage(4, 2, [](size_t, size_t) { return uint8_t(128); }));
    Img half(CGImageCreateWithMask(q, grey));
    EXPECT_EQ(pixelAt(half, 0, 0), 0x80800000u);
    EXPECT_EQ(CGImageCreateWithMask(q, nullptr), nullptr);
    EXPECT_EQ(CGImageCreateWithMask(mask, grey), nullptr);
}

TEST(ImagesFromImages, MaskingColoursReadOnlyTheRangesOfTheColourSpace) {
    Img grey(bdtest::makeGrayImage(3, 1, [](size_t x, size_t) { return uint8_t(x * 100); }));
    // Only two numbers: a grey bitmap reads one pair and nothing beyond it.
    std::vector<double> one = {0, 0};
    Img masked(CGImageCreateWithMaskingColors(grey, one.data()));
    ASSERT_TRUE(masked.i);
    EXPECT_EQ(pixelAt(masked, 0, 0), 0u);
    EXPECT_EQ(pixelAt(masked, 1, 0), 0xFF646464u);
    std::vector<double> wide = {50, 250};
    Img masked2(CGImageCreateWithMaskingColors(grey, wide.data()));
    EXPECT_EQ(pixelAt(masked2, 0, 0), 0xFF000000u);
    EXPECT_EQ(pixelAt(masked2, 1, 0), 0u);
    EXPECT_EQ(pixelAt(masked2, 2, 0), 0u);

    // RGB reads three pairs; a pixel is masked only when every component is in range.
    Img q(quadrants(2, 2));
    std::vector<double> redOnly = {200, 255, 0, 10, 0, 10};
    Img noRed(CGImageCreateWithMaskingColors(q, redOnly.data()));
    EXPECT_EQ(pixelAt(noRed, 0, 0), 0u);
    EXPECT_EQ(pixelAt(noRed, 1, 0), kGreen);
    EXPECT_EQ(pixelAt(noRed, 1, 1), 0xFFFFFFFFu);
    EXPECT_EQ(CGImageCreateWithMaskingColors(q, nullptr), nullptr);
}

TEST(ImageContexts, PerThreadStackScaleAndColourSet) {
    NSAutoreleasePool pool;
    EXPECT_EQ(UIGraphicsGetCurrentContext(), nullptr);
    EXPECT_EQ(UIGraphicsGetImageFromCurrentImageContext(), nullptr);
    UIGraphicsBeginImageContext(CGSizeMake(3, 2));
    CGContextRef outer = UIGraphicsGetCurrentContext();
    ASSERT_TRUE(outer);
    UIGraphicsBeginImageContextWithOptions(CGSizeMake(2.5, 1), false, 2);
    CGContextRef inner = UIGraphicsGetCurrentContext();
    EXPECT_NE(inner, outer);
    UIColor::redColor()->set();
    CGContextFillRect(inner, CGRectMake(0, 0, 0.5, 1));  // y down, in points
    UIImage* image = UIGraphicsGetImageFromCurrentImageContext();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->scale(), 2);
    EXPECT_EQ(CGImageGetWidth(image->CGImage()), 5u);
    EXPECT_EQ(CGImageGetHeight(image->CGImage()), 2u);
    EXPECT_EQ(pixelAt(image->CGImage(), 0, 0), kRed);
    EXPECT_EQ(pixelAt(image->CGImage(), 0, 1), kRed);
    EXPECT_EQ(pixelAt(image->CGImage(), 1, 0), 0u);

    // Another thread has its own, empty stack.
    CGContextRef seen = outer;
    std::thread([&seen] { seen = UIGraphicsGetCurrentContext(); }).join();
    EXPECT_EQ(seen, nullptr);

    UIGraphicsEndImageContext();
    EXPECT_EQ(UIGraphicsGetCurrentContext(), outer);
    UIGraphicsEndImageContext();
    EXPECT_EQ(UIGraphicsGetCurrentContext(), nullptr);

    // A size under a pixel gives no surface, but Begin and End still pair.
    UIGraphicsBeginImageContext(CGSizeMake(0, 5));
    EXPECT_EQ(UIGraphicsGetCurrentContext(), nullptr);
    UIColor::redColor()->set();  // no context: nothing happens
    UIGraphicsEndImageContext();
    UIGraphicsEndImageContext();  // one too many: ignored
}

}  // namespace
