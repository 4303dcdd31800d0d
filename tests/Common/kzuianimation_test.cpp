// The KZUIAnimation category: what each operation builds and attaches, the slide's transform
// arithmetic and its stop handler, the tilt, and the handler driven by the runtime on a
// stepped virtual clock.
#include <gtest/gtest.h>

#include <cmath>

#include "Common/UIView+KZUIAnimation.h"
#include "Foundation/NSArray.h"
#include "Foundation/NSNumber.h"
#include "Foundation/NSRunLoop.h"
#include "Foundation/NSString.h"
#include "QuartzCore/CABase.h"
#include "QuartzCore/CALayer.h"
#include "UIKit/UIView.h"

namespace {

constexpr double kT0 = 200.0;

struct Target : CAAnimationDelegate {};

struct Category : ::testing::Test {
    NSAutoreleasePool pool;
    bd::VirtualMediaClock clock{kT0};
    bd::ScopedMediaClock use{&clock};
    // A view 100 x 100 centred on (100, 100).
    Ref<UIView> view = adopt(alloc<UIView>()->initWithFrame(CGRectMake(50, 50, 100, 100)));

    CALayer* layer() { return view->layer(); }
    CABasicAnimation* attached(const char* key) {
        return as<CABasicAnimation>(layer()->animationForKey(NSSTR(key)));
    }
    void pump() {
        for (int i = 0; i < 4; ++i) NSRunLoop::mainRunLoop()->runPending();
    }
    void advanceTo(double t) {
        clock.set(kT0 + t);
        pump();
    }
};

float floatOf(NSObject* o) {
    NSNumber* n = as<NSNumber>(o);
    EXPECT_NE(n, nullptr);
    return n ? n->floatValue() : NAN;
}

std::string pathOf(CABasicAnimation* a) {
    return a && a->keyPath() ? a->keyPath()->UTF8String() : "";
}

}  // namespace

TEST_F(Category, FactoriesConfigureWithAndWithoutATarget) {
    Target target;
    using Factory = CABasicAnimation* (*)(UIView*, CAAnimationDelegate*, double, uint64_t, bool);
    const struct {
        Factory make;
        const char* path;
    } factories[] = {
        {KZUIAnimation::createTranslationAnimationWithTarget, "transform.translation"},
        {KZUIAnimation::createAlphaAnimationWithTarget, "opacity"},
        {KZUIAnimation::createRotationAnimationWithTarget, "transform.rotation.z"},
    };
    for (const auto& f : factories) {
        CABasicAnimation* a = f.make(view.get(), &target, 2, 3, false);
        EXPECT_EQ(pathOf(a), f.path);
        EXPECT_EQ(a->delegate(), &target);
        EXPECT_FALSE(a->isRemovedOnCompletion());
        EXPECT_EQ(a->duration(), 2.0);
        EXPECT_EQ(a->repeatCount(), 3.0f);
        EXPECT_FALSE(a->autoreverses());
        EXPECT_EQ(a->fromValue(), nullptr);
        EXPECT_EQ(a->toValue(), nullptr);

        CABasicAnimation* b = f.make(view.get(), nullptr, 0.5, 1, true);
        EXPECT_EQ(b->delegate(), nullptr);
        EXPECT_TRUE(b->isRemovedOnCompletion());
        EXPECT_TRUE(b->autoreverses());
    }
    EXPECT_EQ(layer()->animationKeys(), nullptr);  // nothing was started

    // The count is narrowed to a float.
    CABasicAnimation* big = KZUIAnimation::createAlphaAnimationWithTarget(
        view.get(), nullptr, 1, (uint64_t(1) << 24) + 1, false);
    EXPECT_EQ(big->repeatCount(), 16777216.0f);

    CAAnimationGroup* g = KZUIAnimation::createAnimationGroupWithTarget(view.get(), &target);
    EXPECT_EQ(g->delegate(), &target);
    EXPECT_EQ(g->animations(), nullptr);
    EXPECT_EQ(g->duration(), 0.0);
    EXPECT_TRUE(g->isRemovedOnCompletion());

    KZUIAnimation::setAnimation(view.get(), nullptr, &target, 1, 1, true);  // does nothing
}

TEST_F(Category, BuildersAttachUnderTheirKeysInSinglePrecision) {
    KZUIAnimation::setScaleAnimation(view.get(), 1.5, 0.75, 2.5);
    CABasicAnimation* scale = attached("scale");
    ASSERT_NE(scale, nullptr);
    EXPECT_EQ(pathOf(scale), "transform.scale");
    EXPECT_EQ(scale->fromValue(), nullptr);
    EXPECT_EQ(floatOf(scale->toValue()), 1.5f);
    EXPECT_EQ(scale->duration(), 0.75);
    EXPECT_EQ(scale->repeatCount(), 2.5f);
    EXPECT_TRUE(scale->autoreverses());
    EXPECT_EQ(scale->delegate(), nullptr);

    KZUIAnimation::setRockAnimationStartAngle(view.get(), 10, -10, 1, 4);
    CABasicAnimation* rock = attached("rotation");
    ASSERT_NE(rock, nullptr);
    EXPECT_EQ(pathOf(rock), "transform.rotation.z");
    EXPECT_EQ(floatOf(rock->fromValue()), 0.17453292f);
    EXPECT_EQ(floatOf(rock->toValue()), -0.17453292f);
    EXPECT_TRUE(rock->autoreverses());
    EXPECT_EQ(rock->repeatCount(), 4.0f);

    // The turn replaces the rock under the shared key; its point is not used.
    KZUIAnimation::setRotationAnimation(view.get(), CGPointMake(7, 9), 90, 2, 1);
    CABasicAnimation* turn = attached("rotation");
    ASSERT_NE(turn, nullptr);
    EXPECT_NE(turn, rock);
    EXPECT_EQ(pathOf(turn), "transform.rotation");
    EXPECT_EQ(turn->fromValue(), nullptr);
    EXPECT_EQ(floatOf(turn->toValue()), -1.57079637f);
    EXPECT_FALSE(turn->autoreverses());
    NSArray* keys = layer()->animationKeys();
    ASSERT_NE(keys, nullptr);
    EXPECT_EQ(keys->count(), 2u);  // "scale" and "rotation"

    CGPoint center = view->center();
    CATransform3D transform = layer()->transform();
    KZUIAnimation::setAlphaAnimationDuration(view.get(), 0.5, 1);
    CABasicAnimation* fade = attached("opacity");
    ASSERT_NE(fade, nullptr);
    EXPECT_EQ(pathOf(fade), "opacity");
    EXPECT_EQ(floatOf(fade->toValue()), 0.0f);
    EXPECT_EQ(fade->delegate(), static_cast<CAAnimationDelegate*>(view.get()));
    EXPECT_TRUE(fade->autoreverses());
    EXPECT_TRUE(fade->isRemovedOnCompletion());
    // The builders change only what is shown.
    EXPECT_EQ(layer()->opacity(), 1.0f);
    EXPECT_FLOAT_EQ(layer()->presentationOpacity(kT0 + 0.25), 0.5f);

    // The fade ends in the view's stop handler, which leaves the view alone.
    advanceTo(1);
    EXPECT_EQ(attached("opacity"), nullptr);
    EXPECT_EQ(view->center(), center);
    EXPECT_EQ(layer()->transform(), transform);
}

TEST_F(Category, SlideArithmeticAndTheHandler) {
    KZUIAnimation::setTranslateAnimation(view.get(), CGPointMake(150, 80), 1, 1, false);
    EXPECT_EQ(layer()->transform(), CATransform3DMakeTranslation(50, -20, 0));
    EXPECT_EQ(view->center(), CGPointMake(100, 100));
    CABasicAnimation* slide = attached("translation");
    ASSERT_NE(slide, nullptr);
    EXPECT_EQ(pathOf(slide), "transform.translation");
    EXPECT_EQ(slide->delegate(), static_cast<CAAnimationDelegate*>(view.get()));
    EXPECT_TRUE(slide->isRemovedOnCompletion());
    EXPECT_EQ(slide->fromValue(), nullptr);
    EXPECT_EQ(slide->toValue(), nullptr);
    // What is shown goes from the old place to the new one.
    EXPECT_EQ(layer()->presentationTransform(kT0).m41, 0);
    EXPECT_EQ(layer()->presentationTransform(kT0 + 0.5).m41, 25);
    EXPECT_EQ(layer()->presentationTransform(kT0 + 0.5).m42, -10);

    // Any other animation leaves the view as it is.
    KZUIAnimation::animationDidStop(view.get(), CAAnimation::animation(), true);
    EXPECT_EQ(layer()->transform(), CATransform3DMakeTranslation(50, -20, 0));

    // The attached slide settles, finished or not.
    for (bool finished : {true, false}) {
        view->setCenter(CGPointMake(100, 100));
        layer()->setTransform(CATransform3DIdentity);
        KZUIAnimation::setTranslateAnimation(view.get(), CGPointMake(150, 80), 1, 1, false);
        KZUIAnimation::animationDidStop(view.get(), attached("translation"), finished);
        EXPECT_EQ(view->center(), CGPointMake(150, 80));
        EXPECT_EQ(layer()->transform(), CATransform3DIdentity);
        EXPECT_EQ(attached("translation"), nullptr);
    }

    // A second slide before the first settled takes the displacement back out.
    view->setCenter(CGPointMake(100, 100));
    KZUIAnimation::setTranslateAnimation(view.get(), CGPointMake(150, 80), 1, 1, false);
    CAAnimation* first = attached("translation");
    Ref<CAAnimation> keepFirst = retained(first);
    KZUIAnimation::setTranslateAnimation(view.get(), CGPointMake(100, 100), 1, 1, false);
    EXPECT_EQ(layer()->transform(), CATransform3DIdentity);
    EXPECT_NE(attached("translation"), first);
    KZUIAnimation::animationDidStop(view.get(), first, false);  // the replaced one: ignored
    EXPECT_NE(attached("translation"), nullptr);
    EXPECT_EQ(view->center(), CGPointMake(100, 100));
}

TEST_F(Category, SlideOverAScaleTwoTransform) {
    layer()->setTransform(CATransform3DMakeScale(2, 2, 1));
    KZUIAnimation::setTranslateAnimation(view.get(), CGPointMake(150, 80), 1, 1, false);
    CATransform3D t = layer()->transform();
    EXPECT_EQ(t.m41, 100);  // the translation is applied before the scale
    EXPECT_EQ(t.m42, -40);
    EXPECT_EQ(t.m11, 2);
    EXPECT_EQ(view->center(), CGPointMake(100, 100));
    KZUIAnimation::animationDidStop(view.get(), attached("translation"), true);
    EXPECT_EQ(view->center(), CGPointMake(200, 60));
    EXPECT_EQ(layer()->transform(), CATransform3DMakeScale(2, 2, 1));  // the scale is kept
}

TEST_F(Category, TheRuntimeDrivesTheHandler) {
    // A slide that ends is detached before its stop: the handler finds nothing to settle and
    // the view stays shown where it is, the displacement in its transform.
    KZUIAnimation::setTranslateAnimation(view.get(), CGPointMake(150, 80), 1, 1, false);
    advanceTo(1);
    EXPECT_EQ(attached("translation"), nullptr);
    EXPECT_EQ(view->center(), CGPointMake(100, 100));
    EXPECT_EQ(layer()->transform(), CATransform3DMakeTranslation(50, -20, 0));

    // A replaced slide's stop is ignored; the running one is untouched.
    KZUIAnimation::setTranslateAnimation(view.get(), CGPointMake(120, 120), 1, 1, false);
    KZUIAnimation::setTranslateAnimation(view.get(), CGPointMake(130, 130), 1, 1, false);
    CAAnimation* second = attached("translation");
    pump();
    EXPECT_EQ(attached("translation"), second);
    EXPECT_EQ(view->center(), CGPointMake(100, 100));
    EXPECT_EQ(layer()->transform(), CATransform3DMakeTranslation(30, 30, 0));
    advanceTo(2);

    // A slide made by the factory for the view stays attached to its end, so the handler the
    // platform calls settles it into the center.
    layer()->setTransform(CATransform3DMakeTranslation(50, -20, 0));
    CABasicAnimation* kept =
        KZUIAnimation::createTranslationAnimationWithTarget(view.get(), view.get(), 1, 1, false);
    layer()->addAnimation(kept, NSSTR("translation"));
    advanceTo(2.5);
    EXPECT_NE(attached("translation"), nullptr);
    advanceTo(3);
    EXPECT_EQ(attached("translation"), nullptr);
    EXPECT_EQ(view->center(), CGPointMake(150, 80));
    EXPECT_EQ(layer()->transform(), CATransform3DIdentity);
}

TEST_F(Category, TiltTurnsTheSublayersAndBack) {
    KZUIAnimation::setPerspectiveEffectAnimation(view.get(), true, 0.4);
    CATransform3D want;
    want.m34 = -0.002;  // set before the turn
    want = CATransform3DRotate(want, 0.7853981633974483, 1, 0, 0);
    EXPECT_EQ(layer()->sublayerTransform(), want);
    EXPECT_EQ(layer()->transform(), CATransform3DIdentity);
    CABasicAnimation* tilt = attached("perspective");
    ASSERT_NE(tilt, nullptr);
    EXPECT_EQ(pathOf(tilt), "sublayerTransform.rotation.x");
    EXPECT_EQ(tilt->repeatCount(), 0.0f);
    EXPECT_EQ(tilt->duration(), 0.4);
    EXPECT_EQ(tilt->delegate(), nullptr);
    EXPECT_EQ(tilt->fromValue(), nullptr);
    EXPECT_EQ(tilt->toValue(), nullptr);
    // Back: the sublayer transform is flat again but keeps its perspective term.
    KZUIAnimation::setPerspectiveEffectAnimation(view.get(), false, 0.4);
    CATransform3D back = layer()->sublayerTransform();
    CATransform3D flat;
    flat.m34 = -0.002;
    const double* p = &back.m11;
    const double* q = &flat.m11;
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(p[i], q[i], 1e-15) << i;
    EXPECT_NE(attached("perspective"), tilt);

    // Without a perspective term, false turns by -45 degrees only.
    Ref<UIView> other = adopt(alloc<UIView>()->initWithFrame(CGRectMake(0, 0, 10, 10)));
    KZUIAnimation::setPerspectiveEffectAnimation(other.get(), false, 1);
    EXPECT_EQ(other->layer()->sublayerTransform(),
              CATransform3DMakeRotation(-0.7853981633974483, 1, 0, 0));
}

// The tilt turns 45 degrees further on every call, for any number of calls: half-way through
// the n-th turn the sublayers are shown at (n - 0.5) x 45 degrees, also past 180 degrees where
// an angle read back from the matrix wraps round.
TEST_F(Category, EveryTiltTurnsFurtherTheSameWay) {
    const double step = 0.7853981633974483;
    for (int n = 1; n <= 12; ++n) {
        double start = (n - 1) * 1.0;
        advanceTo(start);
        KZUIAnimation::setPerspectiveEffectAnimation(view.get(), true, 0.4);
        CATransform3D shown = layer()->presentationSublayerTransform(kT0 + start + 0.2);
        double angle = (n - 0.5) * step;
        EXPECT_NEAR(shown.m22, std::cos(angle), 1e-9) << "turn " << n;
        EXPECT_NEAR(shown.m23, std::sin(angle), 1e-9) << "turn " << n;
        shown = layer()->presentationSublayerTransform(kT0 + start + 0.1);
        EXPECT_NEAR(std::atan2(shown.m23, shown.m22), std::remainder((n - 0.75) * step, 2 * M_PI),
                    1e-9)
            << "turn " << n;
    }
    // And back the other way, one turn at a time.
    for (int n = 11; n >= 0; --n) {
        double start = 12 + (11 - n) * 1.0;
        advanceTo(start);
        KZUIAnimation::setPerspectiveEffectAnimation(view.get(), false, 0.4);
        CATransform3D shown = layer()->presentationSublayerTransform(kT0 + start + 0.2);
        EXPECT_NEAR(std::atan2(shown.m23, shown.m22), std::remainder((n + 0.5) * step, 2 * M_PI),
                    1e-9)
            << "back to " << n;
    }
}
