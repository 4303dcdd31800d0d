#include "QuartzCore/CARenderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "CoreGraphics/CGColorSpace.h"
#include "Foundation/NSNumber.h"
#include "Foundation/NSString.h"
#include "QuartzCore/CAAnimation.h"
#include "QuartzCore/CABase.h"
#include "support/golden.h"
#include "support/pictures.h"

namespace {

using std::numbers::pi;

Ref<CALayer> makeLayer(CGRect frame, CALayerColor bg = {}) {
    Ref<CALayer> l = adopt(alloc<CALayer>()->init());
    l->setFrame(frame);
    l->setBackgroundColor(bg);
    return l;
}

// A w x h picture in four quadrants: red top-left, green top-right, blue bottom-left, yellow
// bottom-right, so that placement, scaling and orientation all show.
Ref<CGImage> quadrants(size_t w, size_t h) {
    std::shared_ptr<uint8_t[]> px(new uint8_t[w * h * 4]);
    uint32_t* p = reinterpret_cast<uint32_t*>(px.get());
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
            bool right = x >= w / 2, bottom = y >= h / 2;
            p[y * w + x] =
                !bottom ? (right ? 0xFF00C000 : 0xFFE00000) : (right ? 0xFFE0E000 : 0xFF0000E0);
        }
    return adopt(bd::createARGB32Image(w, h, px));
}

struct Pixel {
    int a, r, g, b;
};

Pixel pixelAt(const CARenderer& r, int x, int y) {
    uint32_t v = reinterpret_cast<const uint32_t*>(r.pixels() + size_t(y) * r.stride())[x];
    return {int(v >> 24), int((v >> 16) & 0xFF), int((v >> 8) & 0xFF), int(v & 0xFF)};
}

void expectPixel(const CARenderer& r, int x, int y, Pixel want, int tol = 2) {
    Pixel p = pixelAt(r, x, y);
    EXPECT_NEAR(p.a, want.a, tol) << "alpha at " << x << "," << y;
    EXPECT_NEAR(p.r, want.r, tol) << "red at " << x << "," << y;
    EXPECT_NEAR(p.g, want.g, tol) << "green at " << x << "," << y;
    EXPECT_NEAR(p.b, want.b, tol) << "blue at " << x << "," << y;
}

std::string golden(const CARenderer& r, const char* name) {
    Ref<CGImage> img = adopt(r.createImage());
    return bdtest::matchGolden(img.get(), std::string("render/") + name, 3);
}

const CALayerColor kWhite = {1, 1, 1, 1};
const CALayerColor kGrey = {0.5, 0.5, 0.5, 1};
const CALayerColor kRed = {1, 0, 0, 1};
const CALayerColor kBlue = {0, 0, 1, 1};

}  // namespace

TEST(CARenderer, ContentModesPlaceThePictureInTheBounds) {
    // Thirteen cells, one per gravity, each showing a 24 x 12 px picture at scale 2 (12 x 6
    // points) in 20 x 20 point bounds, on a screen at scale 2.
    Ref<CALayer> root = makeLayer(CGRectMake(0, 0, 96, 96), kWhite);
    Ref<CGImage> pic = quadrants(24, 12);
    for (int g = 0; g <= kCALayerGravityBottomRight; ++g) {
        Ref<CALayer> cell =
            makeLayer(CGRectMake(2 + (g % 4) * 24, 2 + (g / 4) * 24, 20, 20), kGrey);
        cell->setContents(pic.get());
        cell->setContentsScale(2);
        cell->setContentsGravity(g);
        cell->setMasksToBounds(true);
        root->addSublayer(cell.get());
    }
    CARenderer r(192, 192, 2);
    r.render(root.get(), 0);
    EXPECT_EQ(golden(r, "content-modes.png"), "");

    // Spot checks in pixels (cell g starts at (4 + 48 (g % 4), 4 + 48 (g / 4)), 40 px wide).
    expectPixel(r, 4 + 2, 4 + 2, {255, 224, 0, 0});      // resize: red corner
    expectPixel(r, 4 + 37, 4 + 37, {255, 224, 224, 0});  // resize: yellow corner
    // Aspect fit: 40 x 20 px, centred, grey above and below.
    expectPixel(r, 52 + 20, 4 + 5, {255, 128, 128, 128});
    expectPixel(r, 52 + 2, 4 + 14, {255, 224, 0, 0});
    expectPixel(r, 52 + 2, 4 + 26, {255, 0, 0, 224});
    // Aspect fill: 80 x 40 px, centred and cut: the inner halves of red and green show.
    expectPixel(r, 100 + 1, 4 + 1, {255, 224, 0, 0});
    expectPixel(r, 100 + 38, 4 + 1, {255, 0, 192, 0});
    expectPixel(r, 148 + 30, 4 + 30, {255, 224, 224, 0});  // redraw is resize
    // Center: the picture (24 x 12 px) in the middle of the 40 x 40 cell at (4, 52).
    expectPixel(r, 4 + 9, 52 + 15, {255, 224, 0, 0});
    expectPixel(r, 4 + 7, 52 + 15, {255, 128, 128, 128});
    // Top-left: cell 9 is at (52, 100).
    expectPixel(r, 52 + 1, 100 + 1, {255, 224, 0, 0});
    // Bottom-right (gravity 12 at (4, 148)): yellow in the corner, grey left of the picture.
    expectPixel(r, 4 + 38, 148 + 38, {255, 224, 224, 0});
    expectPixel(r, 4 + 14, 148 + 38, {255, 128, 128, 128});
}

TEST(CARenderer, ClippingHiddenAndGroupOpacity) {
    Ref<CALayer> root = makeLayer(CGRectMake(0, 0, 64, 64), kWhite);
    // A clipping parent: the red child spills over its right edge, which is cut.
    Ref<CALayer> clip = makeLayer(CGRectMake(4, 4, 24, 24), kGrey);
    clip->setMasksToBounds(true);
    clip->addSublayer(makeLayer(CGRectMake(12, 4, 40, 8), kRed).get());
    root->addSublayer(clip.get());
    // Without clipping the child shows outside.
    Ref<CALayer> open = makeLayer(CGRectMake(4, 36, 24, 24), kGrey);
    open->addSublayer(makeLayer(CGRectMake(12, 4, 40, 8), kRed).get());
    root->addSublayer(open.get());
    // Half-transparent group of two overlapping opaque blue squares: the overlap is no darker.
    Ref<CALayer> group = makeLayer(CGRectMake(36, 4, 24, 24));
    group->setOpacity(0.5);
    group->addSublayer(makeLayer(CGRectMake(0, 0, 16, 16), kBlue).get());
    group->addSublayer(makeLayer(CGRectMake(8, 8, 16, 16), kBlue).get());
    root->addSublayer(group.get());
    // A hidden layer and a fully transparent one draw nothing.
    Ref<CALayer> hidden = makeLayer(CGRectMake(40, 52, 8, 8), kRed);
    hidden->setHidden(true);
    root->addSublayer(hidden.get());
    Ref<CALayer> transparent = makeLayer(CGRectMake(52, 52, 8, 8), kRed);
    transparent->setOpacity(0);
    root->addSublayer(transparent.get());

    CARenderer r(64, 64, 1);
    r.render(root.get(), 0);
    EXPECT_EQ(golden(r, "clip-opacity.png"), "");
    expectPixel(r, 20, 10, {255, 255, 0, 0});      // child inside the clip
    expectPixel(r, 30, 10, {255, 255, 255, 255});  // cut at the parent's edge
    expectPixel(r, 30, 42, {255, 255, 0, 0});      // not cut without clipping
    Pixel single = pixelAt(r, 38, 6), overlap = pixelAt(r, 46, 14);
    EXPECT_NEAR(single.r, 128, 2);
    EXPECT_NEAR(single.b, 255, 1);
    EXPECT_NEAR(overlap.r, single.r, 1) << "group opacity: overlapping children composite first";
    expectPixel(r, 44, 56, {255, 255, 255, 255});
    expectPixel(r, 56, 56, {255, 255, 255, 255});
}

TEST(CARenderer, AffineTransformsAndSublayerTransform) {
    Ref<CALayer> root = makeLayer(CGRectMake(0, 0, 64, 64), kWhite);
    Ref<CALayer> turned = makeLayer(CGRectMake(8, 8, 24, 24));
    turned->setContents(quadrants(24, 24).get());
    turned->setTransform(CATransform3DMakeRotation(pi / 4, 0, 0, 1));
    root->addSublayer(turned.get());
    // A sublayer transform scales the children about the parent's centre.
    Ref<CALayer> parent = makeLayer(CGRectMake(32, 32, 32, 32), kGrey);
    parent->setSublayerTransform(CATransform3DMakeScale(0.5, 0.5, 1));
    parent->addSublayer(makeLayer(CGRectMake(0, 0, 32, 32), kRed).get());
    root->addSublayer(parent.get());

    CARenderer r(128, 128, 2);
    r.render(root.get(), 0);
    EXPECT_EQ(golden(r, "affine.png"), "");
    // Rotated by 45 degrees clockwise about its centre (40, 40 in pixels): the red top-left
    // quadrant now points up.
    expectPixel(r, 40, 22, {255, 224, 0, 0});
    expectPixel(r, 58, 40, {255, 0, 192, 0});
    expectPixel(r, 40, 58, {255, 224, 224, 0});
    expectPixel(r, 16, 16, {255, 255, 255, 255});  // the old corner is empty now
    // Scaled child: red from 72 to 120 px... half size about the centre: 80..112.
    expectPixel(r, 96, 96, {255, 255, 0, 0});
    expectPixel(r, 74, 74, {255, 128, 128, 128});
}

TEST(CARenderer, PerspectiveTiltWarpsAndCutsWhatIsBehindTheViewer) {
    // A parent with perspective (eye 100 points away) and a child turned about the y axis: the
    // near (left) edge grows, the far (right) edge shrinks.
    Ref<CALayer> root = makeLayer(CGRectMake(0, 0, 100, 100), kWhite);
    Ref<CALayer> stage = makeLayer(CGRectMake(0, 0, 100, 100));
    CATransform3D persp = CATransform3DIdentity;
    persp.m34 = -1.0 / 100;
    stage->setSublayerTransform(persp);
    Ref<CALayer> card = makeLayer(CGRectMake(25, 25, 50, 50), kBlue);
    card->setContents(quadrants(50, 50).get());
    card->setContentsGravity(kCALayerGravityResizeAspect);
    card->setTransform(CATransform3DMakeRotation(pi / 6, 0, 1, 0));
    stage->addSublayer(card.get());
    root->addSublayer(stage.get());

    CARenderer r(100, 100, 1);
    r.render(root.get(), 0);
    EXPECT_EQ(golden(r, "tilted.png"), "");
    auto columnHeight = [&](int x) {
        int n = 0;
        for (int y = 0; y < 100; ++y)
            if (pixelAt(r, x, y).r != 255 || pixelAt(r, x, y).b != 255) ++n;
        return n;
    };
    int left = -1, right = -1;
    for (int x = 0; x < 100; ++x)
        if (columnHeight(x) > 0) {
            if (left < 0) left = x;
            right = x;
        }
    ASSERT_GE(left, 0);
    EXPECT_GT(columnHeight(left + 2), columnHeight(right - 2) + 8) << "near edge taller";
    EXPECT_LT(right - left, 50) << "foreshortened";

    // Turned almost edge-on with the eye inside the layer's reach: the part behind the viewer
    // must not come back mirrored. Everything drawn lies on the near side (x < centre).
    card->setTransform(CATransform3DMakeRotation(pi * 0.45, 0, 1, 0));
    persp.m34 = -1.0 / 20;
    stage->setSublayerTransform(persp);
    r.clear(kWhite);
    r.render(root.get(), 0);
    for (int x = 52; x < 100; ++x) EXPECT_EQ(columnHeight(x), 0) << "mirrored at x " << x;
    EXPECT_GT(columnHeight(30), 0);
}

namespace {
// A layer whose presented values run on the media time, like an animation would make them.
class TimedLayer : public CALayer {
  public:
    CATransform3D presentationTransform(double t) override {
        return CATransform3DMakeTranslation(10 * t, 0, 0);
    }
    float presentationOpacity(double t) override { return t < 1 ? 1.0f : 0.0f; }
};

class Flip : public CALayerContentsSource {
  public:
    Ref<CGImage> a, b;
    CGImage* layerContentsAtTime(CALayer*, double t) override {
        return t < 0.5 ? a.get() : b.get();
    }
    // The second picture has two pixels per point.
    double layerContentsScaleAtTime(CALayer*, double t) override { return t < 0.5 ? 0 : 2; }
};
}  // namespace

TEST(CARenderer, DrawsPresentationValuesAndContentsAtTheMediaTime) {
    Ref<CALayer> root = makeLayer(CGRectMake(0, 0, 40, 20), kWhite);
    Ref<CALayer> moving = adopt(alloc<TimedLayer>()->init());
    moving->setFrame(CGRectMake(0, 0, 10, 10));
    moving->setBackgroundColor(kRed);
    root->addSublayer(moving.get());
    Flip flip;
    flip.a = adopt(bdtest::makeSolidImage(4, 4, 0xFF0000FF));
    flip.b = adopt(bdtest::makeSolidImage(4, 4, 0xFF00FF00));
    Ref<CALayer> book = makeLayer(CGRectMake(0, 10, 10, 10));
    book->setContentsSource(&flip);
    root->addSublayer(book.get());

    CARenderer r(40, 20, 1);
    r.render(root.get(), 0.0);
    expectPixel(r, 5, 5, {255, 255, 0, 0});
    expectPixel(r, 5, 15, {255, 0, 0, 255});
    r.render(root.get(), 0.5);  // moved 5 points, second picture
    expectPixel(r, 12, 5, {255, 255, 0, 0});
    expectPixel(r, 2, 5, {255, 255, 255, 255});
    expectPixel(r, 5, 15, {255, 0, 255, 0});
    // Centred at its own scale, the 4 x 4 px second picture covers 2 x 2 points.
    book->setContentsGravity(kCALayerGravityCenter);
    r.clear(kWhite);
    r.render(root.get(), 0.5);
    expectPixel(r, 4, 14, {255, 0, 255, 0});
    expectPixel(r, 5, 15, {255, 0, 255, 0});
    expectPixel(r, 3, 15, {255, 255, 255, 255});
    expectPixel(r, 6, 15, {255, 255, 255, 255});
    book->setContentsGravity(kCALayerGravityResize);
    r.render(root.get(), 1.0);  // faded out
    expectPixel(r, 17, 5, {255, 255, 255, 255});
    book->setContentsSource(nullptr);
}

TEST(CARenderer, RunningAnimationsAreDrawnAtTheMediaTime) {
    bd::VirtualMediaClock clock(100);
    bd::ScopedMediaClock scope(&clock);
    Ref<CALayer> root = makeLayer(CGRectMake(0, 0, 40, 20), kWhite);
    Ref<CALayer> fading = makeLayer(CGRectMake(0, 0, 10, 20), kRed);
    Ref<CALayer> sliding = makeLayer(CGRectMake(10, 0, 10, 20), kBlue);
    root->addSublayer(fading.get());
    root->addSublayer(sliding.get());
    NSAutoreleasePool pool;
    CABasicAnimation* fade = CABasicAnimation::animationWithKeyPath(NSSTR("opacity"));
    fade->setFromValue(NSNumber::numberWithDouble(0));
    fade->setToValue(NSNumber::numberWithDouble(1));
    fade->setDuration(1);
    fading->addAnimation(fade, NSSTR("opacity"));
    CABasicAnimation* slide =
        CABasicAnimation::animationWithKeyPath(NSSTR("transform.translation.x"));
    slide->setFromValue(NSNumber::numberWithDouble(0));
    slide->setToValue(NSNumber::numberWithDouble(20));
    slide->setDuration(1);
    sliding->addAnimation(slide, NSSTR("translation"));

    CARenderer r(40, 20, 1);
    r.render(root.get(), 100.5);  // half way: half faded in, moved 10 points
    expectPixel(r, 5, 10, {255, 255, 128, 128}, 3);
    expectPixel(r, 15, 10, {255, 255, 255, 255});
    expectPixel(r, 25, 10, {255, 0, 0, 255});
    r.clear(kWhite);
    r.render(root.get(), 100.25);  // a quarter: moved 5 points
    expectPixel(r, 12, 10, {255, 255, 255, 255});
    expectPixel(r, 17, 10, {255, 0, 0, 255});
}

TEST(CARenderer, GreyAndRGBAPicturesAndDownscaling) {
    // A grey picture and a straight-alpha RGBA one are converted once and drawn.
    std::shared_ptr<uint8_t[]> grey(new uint8_t[16]);
    for (int i = 0; i < 16; ++i) grey[i] = 0x40;
    Ref<CGDataProvider> gp = adopt(CGDataProviderCreateWithBuffer(grey, 16));
    Ref<CGColorSpace> gs = adopt(CGColorSpaceCreateDeviceGray());
    Ref<CGImage> greyImg = adopt(CGImageCreate(4, 4, 8, 8, 4, gs.get(), kCGImageAlphaNone, gp.get(),
                                               nullptr, false, kCGRenderingIntentDefault));
    std::shared_ptr<uint8_t[]> rgba(new uint8_t[64]);
    for (int i = 0; i < 16; ++i) {
        rgba[i * 4] = 255, rgba[i * 4 + 1] = 0, rgba[i * 4 + 2] = 0, rgba[i * 4 + 3] = 128;
    }
    Ref<CGDataProvider> rp = adopt(CGDataProviderCreateWithBuffer(rgba, 64));
    Ref<CGColorSpace> rs = adopt(CGColorSpaceCreateDeviceRGB());
    Ref<CGImage> rgbaImg = adopt(
        CGImageCreate(4, 4, 8, 32, 16, rs.get(), kCGImageAlphaLast | kCGBitmapByteOrderDefault,
                      rp.get(), nullptr, false, kCGRenderingIntentDefault));
    ASSERT_TRUE(greyImg && rgbaImg);

    // A one-pixel checkerboard drawn at a quarter of its size must average out to grey rather
    // than alias into stripes or a solid colour.
    const size_t n = 64;
    std::shared_ptr<uint8_t[]> cb(new uint8_t[n * n * 4]);
    uint32_t* c = reinterpret_cast<uint32_t*>(cb.get());
    for (size_t y = 0; y < n; ++y)
        for (size_t x = 0; x < n; ++x) c[y * n + x] = (x + y) % 2 ? 0xFFFFFFFF : 0xFF000000;
    Ref<CGImage> checker = adopt(bd::createARGB32Image(n, n, cb));

    Ref<CALayer> root = makeLayer(CGRectMake(0, 0, 48, 16), kWhite);
    Ref<CALayer> g = makeLayer(CGRectMake(0, 0, 16, 16));
    g->setContents(greyImg.get());
    Ref<CALayer> a = makeLayer(CGRectMake(16, 0, 16, 16));
    a->setContents(rgbaImg.get());
    Ref<CALayer> s = makeLayer(CGRectMake(32, 0, 16, 16));
    s->setContents(checker.get());
    root->addSublayer(g.get());
    root->addSublayer(a.get());
    root->addSublayer(s.get());
    CARenderer r(48, 16, 1);
    r.render(root.get(), 0);
    expectPixel(r, 8, 8, {255, 0x40, 0x40, 0x40});
    expectPixel(r, 24, 8, {255, 255, 127, 127});
    for (int x = 34; x < 46; x += 3) expectPixel(r, x, 8, {255, 128, 128, 128}, 3);
    EXPECT_EQ(r.cachedPictureCount(), 3u);
    // Pictures that are no longer drawn are let go after a while.
    g->removeFromSuperlayer();
    a->removeFromSuperlayer();
    s->removeFromSuperlayer();
    for (int i = 0; i < 40; ++i) r.render(root.get(), 0);
    EXPECT_EQ(r.cachedPictureCount(), 0u);
}
