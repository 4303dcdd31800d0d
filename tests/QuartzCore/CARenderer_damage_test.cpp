// Drawing only what changed: over scripted sequences of layer changes, animations and
// perspective, every damaged-only frame equals a whole one byte for byte (support/damage.h),
// a static tree needs no frame, and the tree tells when it next changes.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "Foundation/NSNumber.h"
#include "Foundation/NSRunLoop.h"
#include "Foundation/NSString.h"
#include "QuartzCore/CAAnimation.h"
#include "QuartzCore/CABase.h"
#include "QuartzCore/CARenderer.h"
#include "support/damage.h"
#include "support/pictures.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kT0 = 50;

Ref<CALayer> makeLayer(CGRect frame, CALayerColor bg = {}) {
    Ref<CALayer> l = adopt(alloc<CALayer>()->init());
    l->setFrame(frame);
    l->setBackgroundColor(bg);
    return l;
}

// A picture with soft gradients and a transparent corner, so that scaling and blending show.
Ref<CGImage> picture(size_t w, size_t h, uint32_t tint) {
    return adopt(bdtest::makeImage(w, h, [=](size_t x, size_t y) -> uint32_t {
        if (x < w / 4 && y < h / 4) return 0;  // transparent corner
        uint32_t a = (x + y) % 7 == 0 ? 0x80 : 0xFF;
        uint32_t r = uint32_t(x * 255 / w) * a / 255, g = uint32_t(y * 255 / h) * a / 255;
        uint32_t b = (tint & 0xFF) * a / 255;
        return a << 24 | r << 16 | g << 8 | b;
    }));
}

struct Damage : ::testing::Test {
    NSAutoreleasePool pool;
    bd::VirtualMediaClock clock{kT0};
    bd::ScopedMediaClock use{&clock};
    double t = kT0;

    void advance(double dt) {
        t += dt;
        clock.set(t);
        for (int i = 0; i < 3; ++i) NSRunLoop::mainRunLoop()->runPending();
    }
};

}  // namespace

TEST_F(Damage, LayerChangesRedrawOnlyWhatChangedAndMatchWholeFrames) {
    // A screen of 90 x 70 points at scale 2 with a few layers of every kind.
    Ref<CALayer> root = makeLayer(CGRectMake(0, 0, 90, 70), {0.9, 0.9, 0.85, 1});
    Ref<CALayer> panel = makeLayer(CGRectMake(5, 5, 40, 30), {0.2, 0.3, 0.8, 1});
    Ref<CALayer> child = makeLayer(CGRectMake(30, 10, 30, 8), {1, 0.2, 0.1, 0.7});
    panel->addSublayer(child.get());
    Ref<CALayer> pic = makeLayer(CGRectMake(50, 8, 30, 20));
    Ref<CGImage> p1 = picture(60, 40, 0x30), p2 = picture(45, 30, 0xC0);
    pic->setContents(p1.get());
    pic->setContentsScale(2);
    Ref<CALayer> dot = makeLayer(CGRectMake(20, 45, 6, 6), {0, 0.6, 0, 1});
    root->addSublayer(panel.get());
    root->addSublayer(pic.get());
    root->addSublayer(dot.get());

    bdtest::DamageChecker check(180, 140, 2);
    check.step(root.get(), t, "first frame");
    advance(10);
    EXPECT_FALSE(check.renderer().needsFrame(root.get(), t)) << "a static tree";
    CARenderFrame f = check.step(root.get(), t, "static");
    EXPECT_TRUE(f.damage.empty());
    EXPECT_EQ(f.nextChangeTime, INFINITY);

    const std::vector<std::pair<const char*, std::function<void()>>> script = {
        {"background colour",
         [&] {
             dot->setBackgroundColor({0.9, 0.1, 0.5, 1});
         }},
        {"moved by a fraction",
         [&] {
             dot->setPosition({40.25, 50.5});
         }},
        {"resized", [&] { dot->setBounds(CGRectMake(0, 0, 9.5, 4)); }},
        {"clip on", [&] { panel->setMasksToBounds(true); }},
        {"group opacity", [&] { panel->setOpacity(0.5f); }},
        {"clip off", [&] { panel->setMasksToBounds(false); }},
        {"opacity back", [&] { panel->setOpacity(1); }},
        {"hidden", [&] { child->setHidden(true); }},
        {"shown", [&] { child->setHidden(false); }},
        {"other picture", [&] { pic->setContents(p2.get()); }},
        {"aspect fill, clipped",
         [&] {
             pic->setContentsGravity(kCALayerGravityResizeAspectFill);
             pic->setMasksToBounds(true);
         }},
        {"picture at its own size", [&] { pic->setContentsGravity(kCALayerGravityCenter); }},
        {"turned 20 degrees", [&] { pic->setTransform(CATransform3DMakeRotation(0.35, 0, 0, 1)); }},
        {"sublayer added below",
         [&] {
             root->insertSublayer(makeLayer(CGRectMake(0, 30, 60, 12), {1, 1, 0, 0.8}).get(), 1);
         }},
        {"sublayers reordered", [&] { root->insertSublayerBelow(dot.get(), panel.get()); }},
        {"sublayer removed", [&] { child->removeFromSuperlayer(); }},
        {"anchor moved",
         [&] {
             panel->setAnchorPoint({0, 0});
         }},
        {"scaled", [&] { root->setSublayerTransform(CATransform3DMakeScale(1.25, 1.25, 1)); }},
        {"tilted in perspective",
         [&] {
             CATransform3D s = CATransform3DIdentity;
             s.m34 = -1.0 / 120;
             root->setSublayerTransform(CATransform3DRotate(s, kPi / 5, 1, 0, 0));
         }},
        {"card turned about y",
         [&] { pic->setTransform(CATransform3DMakeRotation(0.6, 0, 1, 0)); }},
        {"card beside the tilt moves",
         [&] {
             dot->setPosition({70, 60});
         }},
        {"tilt back", [&] { root->setSublayerTransform(CATransform3DIdentity); }},
    };
    for (const auto& [what, change] : script) {
        advance(0.025);
        EXPECT_FALSE(check.renderer().needsFrame(root.get(), t)) << "before: " << what;
        change();
        EXPECT_TRUE(check.renderer().needsFrame(root.get(), t)) << what;
        f = check.step(root.get(), t, what);
        EXPECT_FALSE(f.full) << what;
        EXPECT_FALSE(f.damage.empty()) << what;
    }
    // A small change is a small damage.
    advance(0.025);
    dot->setBackgroundColor({0, 0, 0, 1});
    f = check.step(root.get(), t, "small");
    int64_t area = 0;
    for (const bd::PixelRect& r : f.damage) area += r.area();
    EXPECT_LT(area, 180 * 140 / 10);
}

TEST_F(Damage, AnimationsNeedFramesWhileTheyRunAndTheirEndIsDrawn) {
    Ref<CALayer> root = makeLayer(CGRectMake(0, 0, 80, 40), {1, 1, 1, 1});
    Ref<CALayer> box = makeLayer(CGRectMake(5, 5, 20, 20), {0.1, 0.4, 0.9, 1});
    Ref<CALayer> inner = makeLayer(CGRectMake(5, 5, 5, 5), {1, 0, 0, 1});
    box->addSublayer(inner.get());
    root->addSublayer(box.get());
    bdtest::DamageChecker check(80, 40, 1);
    check.step(root.get(), t, "first");

    CABasicAnimation* slide =
        CABasicAnimation::animationWithKeyPath(NSSTR("transform.translation.x"));
    slide->setToValue(NSNumber::numberWithDouble(40));
    slide->setDuration(0.2);
    box->addAnimation(slide, NSSTR("translation"));
    CABasicAnimation* fade = CABasicAnimation::animationWithKeyPath(NSSTR("opacity"));
    fade->setFromValue(NSNumber::numberWithDouble(1));
    fade->setToValue(NSNumber::numberWithDouble(0.2));
    fade->setDuration(0.15);
    box->addAnimation(fade, NSSTR("opacity"));
    int steps = 0;
    for (double end = t + 0.3; t < end; ++steps) {
        advance(0.025);
        if (t - kT0 < 0.2 - 1e-9) {
            ASSERT_TRUE(check.renderer().needsFrame(root.get(), t)) << t - kT0;
        }
        CARenderFrame f = check.step(root.get(), t, "animating at " + std::to_string(t - kT0));
        if (t - kT0 < 0.2) {
            EXPECT_FALSE(f.damage.empty()) << t - kT0;
            EXPECT_EQ(f.nextChangeTime, t) << "a running animation moves at every instant";
        }
    }
    EXPECT_GE(steps, 10);
    // Over: the box is back where it was and nothing moves any more.
    advance(1);
    EXPECT_FALSE(check.renderer().needsFrame(root.get(), t));
    EXPECT_EQ(check.renderer().nextChangeTime(), INFINITY);
}

namespace {
// Shows picture i from second i of the media clock on.
class Slideshow : public CALayerContentsSource {
  public:
    std::vector<Ref<CGImage>> pictures;
    double start = 0;
    CGImage* layerContentsAtTime(CALayer*, double t) override {
        double i = std::floor(t - start);
        if (!(i >= 0)) return nullptr;
        return pictures[std::min(size_t(i), pictures.size() - 1)].get();
    }
    double layerContentsChangeTimeAfter(CALayer*, double t) override {
        double next = start + std::floor(t - start) + 1;
        return next - start < double(pictures.size()) ? next : INFINITY;
    }
};
}  // namespace

TEST_F(Damage, AContentsSourceTellsWhenItsNextPictureShows) {
    Ref<CALayer> root = makeLayer(CGRectMake(0, 0, 40, 40), {1, 1, 1, 1});
    Ref<CALayer> shown = makeLayer(CGRectMake(10, 10, 20, 20));
    Slideshow show;
    show.start = t;
    show.pictures = {picture(20, 20, 0x10), picture(20, 20, 0x80), picture(20, 20, 0xF0)};
    shown->setContentsSource(&show);
    root->addSublayer(shown.get());
    bdtest::DamageChecker check(40, 40, 1);
    CARenderFrame f = check.step(root.get(), t + 0.5, "first picture");
    EXPECT_DOUBLE_EQ(f.nextChangeTime, kT0 + 1);
    EXPECT_FALSE(check.renderer().needsFrame(root.get(), kT0 + 0.99));
    EXPECT_TRUE(check.renderer().needsFrame(root.get(), kT0 + 1));
    f = check.step(root.get(), kT0 + 1.5, "second picture");
    EXPECT_FALSE(f.damage.empty());
    f = check.step(root.get(), kT0 + 2.5, "last picture");
    EXPECT_EQ(f.nextChangeTime, INFINITY);
    shown->setContentsSource(nullptr);
}

TEST_F(Damage, NextChangeTimeIncludesTheMainRunLoopsTimersAndAnnouncedWork) {
    Ref<CALayer> root = makeLayer(CGRectMake(0, 0, 10, 10), {1, 1, 1, 1});
    CARenderer r(10, 10, 1);
    NSRunLoop* loop = NSRunLoop::mainRunLoop();
    NSRunLoop::TimerId timer = loop->addTimer(t + 3, [] {});
    EXPECT_DOUBLE_EQ(r.renderFrame(root.get(), t).nextChangeTime, t + 3);
    int token = 0;
    loop->announceWork(&token, t + 0.5);
    EXPECT_DOUBLE_EQ(r.renderFrame(root.get(), t).nextChangeTime, t + 0.5);
    loop->announceWork(&token, NAN);
    loop->cancelTimer(timer);
    EXPECT_EQ(r.renderFrame(root.get(), t).nextChangeTime, INFINITY);
    // A timer or announced work is the host's to run; by itself it asks for no frame.
    EXPECT_FALSE(r.needsFrame(root.get(), t + 5));
}

TEST_F(Damage, NoTreeAndBadTargetsDrawOnlyTheBackground) {
    CARenderer r(8, 8, 1);
    r.setBackgroundColor({0, 0, 1, 1});
    CARenderFrame f = r.renderFrame(nullptr, t);
    EXPECT_TRUE(f.full);
    EXPECT_EQ(reinterpret_cast<const uint32_t*>(r.pixels())[9], 0xFF0000FFu);
    EXPECT_FALSE(r.needsFrame(nullptr, t + 1));
    // A target without pixels or with too short rows is refused, nothing drawn.
    std::vector<uint8_t> small(8 * 4 * 8);
    EXPECT_EQ(r.renderFrame(nullptr, t, {nullptr, 32, 1}).number, 0u);
    EXPECT_EQ(r.renderFrame(nullptr, t, {small.data(), 16, 1}).number, 0u);
    EXPECT_EQ(r.renderFrame(nullptr, t, {small.data(), 33, 1}).number, 0u);
    EXPECT_EQ(r.renderFrame(nullptr, t, {small.data(), 32, 1}).number, 2u);
}

TEST_F(Damage, OpaqueLayersHideWhatLiesBelowWithoutChangingThePicture) {
    // A full-screen opaque layer over a picture: what it covers is not drawn, and moving what
    // lies below changes no pixel and damages nothing.
    Ref<CALayer> root = makeLayer(CGRectMake(0, 0, 60, 60), {0, 0, 0, 1});
    Ref<CALayer> below = makeLayer(CGRectMake(0, 0, 60, 60));
    Ref<CGImage> p = picture(60, 60, 0x40);
    below->setContents(p.get());
    Ref<CALayer> cover = makeLayer(CGRectMake(0, 0, 60, 60), {1, 1, 1, 1});
    Ref<CALayer> top = makeLayer(CGRectMake(10, 10, 10, 10), {1, 0, 0, 1});
    root->addSublayer(below.get());
    root->addSublayer(cover.get());
    root->addSublayer(top.get());
    bdtest::DamageChecker check(60, 60, 1);
    check.step(root.get(), t, "first");
    below->setPosition({31.5, 29});
    CARenderFrame f = check.step(root.get(), t, "moved below the cover");
    // Damage is reported (what it touched changed), but the pixels are those of a whole frame.
    EXPECT_FALSE(f.damage.empty());
    cover->setOpacity(0.5f);
    check.step(root.get(), t, "cover half transparent");
    cover->setOpacity(1);
    cover->setTransform(CATransform3DMakeRotation(0.1, 0, 0, 1));
    check.step(root.get(), t, "cover turned");
}
