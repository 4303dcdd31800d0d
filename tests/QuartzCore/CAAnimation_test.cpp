// Animations and what a layer shows with them: fields and copies, attaching by key, and
// presentation values at chosen media times on a virtual clock.
#include "QuartzCore/CAAnimation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "Foundation/NSArray.h"
#include "Foundation/NSNumber.h"
#include "Foundation/NSString.h"
#include "QuartzCore/CABase.h"
#include "QuartzCore/CALayer.h"

namespace {

using std::numbers::pi;

constexpr double kT0 = 1000.0;  // the virtual clock's start: animations attached now begin here

struct Clocked : ::testing::Test {
    bd::VirtualMediaClock clock{kT0};
    bd::ScopedMediaClock use{&clock};
    Ref<CALayer> layer = adopt(alloc<CALayer>()->init());
};

CABasicAnimation* basic(const char* path, NSNumber* from, NSNumber* to, double duration) {
    CABasicAnimation* a = CABasicAnimation::animationWithKeyPath(NSSTR(path));
    a->setFromValue(from);
    a->setToValue(to);
    a->setDuration(duration);
    return a;
}

NSNumber* num(float v) {
    return NSNumber::numberWithFloat(v);
}

double angleZ(const CATransform3D& t) {
    return std::atan2(t.m12, t.m11);
}

}  // namespace

TEST(CAAnimation, CopiesAndDelegates) {
    NSAutoreleasePool pool;
    struct D : CAAnimationDelegate {};
    D d;
    CABasicAnimation* b = basic("opacity", num(0.25f), num(0.75f), 2);
    b->setRepeatCount(3);
    b->setAutoreverses(true);
    b->setRemovedOnCompletion(false);
    b->setDelegate(&d);
    Ref<CABasicAnimation> c = adopt(b->copy());
    EXPECT_NE(c.get(), b);
    EXPECT_STREQ(c->keyPath()->UTF8String(), "opacity");
    EXPECT_EQ(c->fromValue(), b->fromValue());
    EXPECT_EQ(c->toValue(), b->toValue());
    EXPECT_EQ(c->duration(), 2.0);
    EXPECT_EQ(c->repeatCount(), 3.0f);
    EXPECT_TRUE(c->autoreverses());
    EXPECT_FALSE(c->isRemovedOnCompletion());
    EXPECT_EQ(c->delegate(), &d);
    b->setDelegate(nullptr);
    EXPECT_EQ(c->delegate(), &d);  // the copy keeps its own reference

    // A delegate that goes away leaves its animations without one.
    auto* gone = new D;
    c->setDelegate(gone);
    delete gone;
    EXPECT_EQ(c->delegate(), nullptr);

    // A group keeps its own list and copies its members.
    CAAnimationGroup* g = CAAnimationGroup::animation();
    EXPECT_EQ(g->animations(), nullptr);
    NSMutableArray* members = NSMutableArray::array();
    members->addObject(b);
    g->setAnimations(members);
    members->removeAllObjects();
    ASSERT_EQ(g->animations()->count(), 1u);
    Ref<CAAnimationGroup> gc = adopt(g->copy());
    ASSERT_EQ(gc->animations()->count(), 1u);
    auto* member = as<CABasicAnimation>(gc->animations()->objectAtIndex(0));
    ASSERT_NE(member, nullptr);
    EXPECT_NE(member, b);
    EXPECT_STREQ(member->keyPath()->UTF8String(), "opacity");
}

TEST_F(Clocked, AttachingTakesACopyUnderItsKey) {
    CABasicAnimation* a = basic("opacity", num(1), num(0), 1);
    layer->addAnimation(a, NSSTR("fade"));
    CAAnimation* attached = layer->animationForKey(NSSTR("fade"));
    ASSERT_NE(attached, nullptr);
    EXPECT_NE(attached, a);
    // Changing the caller's animation afterwards changes nothing of the run.
    a->setToValue(num(1));
    a->setDuration(100);
    EXPECT_FLOAT_EQ(layer->presentationOpacity(kT0 + 0.5), 0.5f);
    EXPECT_FLOAT_EQ(layer->presentationOpacity(kT0 + 1), 1.0f);

    // The same key replaces; other keys and keyless animations sit side by side.
    layer->addAnimation(basic("opacity", num(1), num(0.5f), 1), NSSTR("fade"));
    layer->addAnimation(basic("transform.scale", nullptr, num(2), 1), NSSTR("grow"));
    layer->addAnimation(basic("transform.scale", nullptr, num(3), 1), nullptr);
    NSArray* keys = layer->animationKeys();
    ASSERT_NE(keys, nullptr);
    ASSERT_EQ(keys->count(), 2u);
    EXPECT_STREQ(as<NSString>(keys->objectAtIndex(0))->UTF8String(), "fade");
    EXPECT_STREQ(as<NSString>(keys->objectAtIndex(1))->UTF8String(), "grow");
    EXPECT_NE(layer->animationForKey(NSSTR("fade")), attached);

    layer->addAnimation(nullptr, NSSTR("grow"));  // nothing happens
    EXPECT_NE(layer->animationForKey(NSSTR("grow")), nullptr);
    layer->removeAnimationForKey(NSSTR("grow"));
    layer->removeAnimationForKey(NSSTR("none"));
    EXPECT_EQ(layer->animationForKey(NSSTR("grow")), nullptr);
    EXPECT_EQ(layer->animationForKey(nullptr), nullptr);
    layer->removeAllAnimations();
    EXPECT_EQ(layer->animationKeys(), nullptr);
    EXPECT_FLOAT_EQ(layer->presentationOpacity(kT0 + 0.5), 1.0f);
}

TEST_F(Clocked, TimingRepeatsReversesAndEnds) {
    // 2 s a pass, played forward and back twice: active for 8 s.
    CABasicAnimation* a = basic("opacity", num(1), num(0), 2);
    a->setRepeatCount(2);
    a->setAutoreverses(true);
    layer->addAnimation(a, NSSTR("fade"));
    struct {
        double t;
        float opacity;
    } expected[] = {{-0.5, 1},   {0, 1}, {0.5, 0.75}, {2, 0}, {3, 0.5},
                    {4.5, 0.75}, {6, 0}, {7.5, 0.75}, {8, 1}, {20, 1}};
    for (auto& e : expected)
        EXPECT_FLOAT_EQ(layer->presentationOpacity(kT0 + e.t), e.opacity) << "at " << e.t;

    // A duration that is not positive runs 0.25 s; a fractional count runs part of a pass.
    CABasicAnimation* quick = basic("opacity", num(0), num(1), 0);
    layer->addAnimation(quick, NSSTR("fade"));
    EXPECT_FLOAT_EQ(layer->presentationOpacity(kT0 + 0.125), 0.5f);
    EXPECT_FLOAT_EQ(layer->presentationOpacity(kT0 + 0.25), 1.0f);  // model again
    CABasicAnimation* part = basic("opacity", num(0), num(1), 1);
    part->setRepeatCount(1.5f);
    layer->addAnimation(part, NSSTR("fade"));
    EXPECT_FLOAT_EQ(layer->presentationOpacity(kT0 + 1.25), 0.25f);
    EXPECT_FLOAT_EQ(layer->presentationOpacity(kT0 + 1.5), 1.0f);
    // Forever.
    CABasicAnimation* forever = basic("opacity", num(0), num(1), 1);
    forever->setRepeatCount(HUGE_VALF);
    layer->addAnimation(forever, NSSTR("fade"));
    EXPECT_FLOAT_EQ(layer->presentationOpacity(kT0 + 1e6 + 0.5), 0.5f);
}

TEST_F(Clocked, MissingEndsComeFromTheLayer) {
    // A scaled layer (as a wallpaper view at scale 2) pulsing to 1.5 starts from its scale 2.
    CATransform3D model = CATransform3DTranslate(CATransform3DMakeScale(2, 2, 1), 10, 20, 0);
    layer->setTransform(model);
    layer->addAnimation(basic("transform.scale", nullptr, num(1.5f), 1), NSSTR("scale"));
    CATransform3D half = layer->presentationTransform(kT0 + 0.5);
    EXPECT_NEAR(half.m11, 1.75, 1e-12);
    EXPECT_NEAR(half.m22, 1.75, 1e-12);
    EXPECT_EQ(half.m41, model.m41);  // the translation stays
    EXPECT_EQ(half.m42, model.m42);
    EXPECT_EQ(layer->transform(), model);  // the model is untouched
    layer->removeAllAnimations();

    // From a value only: to the layer's own value.
    layer->setOpacity(0.8f);
    layer->addAnimation(basic("opacity", num(0), nullptr, 1), NSSTR("in"));
    EXPECT_NEAR(layer->presentationOpacity(kT0 + 0.5), 0.4, 1e-6);
    layer->removeAllAnimations();

    // Neither value: from what was shown before the model changed to the new model value.
    layer->setTransform(CATransform3DIdentity);
    layer->setTransform(CATransform3DMakeTranslation(50, -20, 0));
    layer->addAnimation(basic("transform.translation", nullptr, nullptr, 2), NSSTR("slide"));
    EXPECT_EQ(layer->presentationTransform(kT0).m41, 0);
    EXPECT_EQ(layer->presentationTransform(kT0 - 1).m41, 0);  // before the begin: the start
    EXPECT_EQ(layer->presentationTransform(kT0 + 0.5).m41, 12.5);
    EXPECT_EQ(layer->presentationTransform(kT0 + 0.5).m42, -5);
    EXPECT_EQ(layer->presentationTransform(kT0 + 2).m41, 50);

    // A model change in the middle of that run starts the next one where the first had got to.
    clock.advance(1);
    layer->setTransform(CATransform3DIdentity);
    layer->addAnimation(basic("transform.translation", nullptr, nullptr, 1), NSSTR("slide"));
    EXPECT_EQ(layer->presentationTransform(kT0 + 1).m41, 25);
    EXPECT_EQ(layer->presentationTransform(kT0 + 1.5).m41, 12.5);

    // With no model change recorded for the value, nothing moves.
    Ref<CALayer> fresh = adopt(alloc<CALayer>()->init());
    fresh->addAnimation(basic("opacity", nullptr, nullptr, 1), NSSTR("x"));
    EXPECT_EQ(fresh->presentationOpacity(kT0 + 0.5), 1.0f);
}

TEST_F(Clocked, RotationsReplaceOneAngleAndAnUnknownPathShowsNothing) {
    float from = float(10 * pi / 180), to = float(-10 * pi / 180);
    CABasicAnimation* rock = basic("transform.rotation.z", num(from), num(to), 1);
    rock->setAutoreverses(true);
    layer->setTransform(CATransform3DMakeTranslation(5, 6, 0));
    layer->addAnimation(rock, NSSTR("rotation"));
    EXPECT_NEAR(angleZ(layer->presentationTransform(kT0)), from, 1e-7);
    EXPECT_NEAR(angleZ(layer->presentationTransform(kT0 + 0.5)), 0, 1e-7);
    EXPECT_NEAR(angleZ(layer->presentationTransform(kT0 + 1)), to, 1e-7);
    EXPECT_EQ(layer->presentationTransform(kT0 + 0.25).m41, 5);

    // A turn with a to value only, replacing the rock a quarter in, starts where the rock was.
    clock.advance(0.25);
    float turn = float(-90 * pi / 180);
    layer->addAnimation(basic("transform.rotation", nullptr, num(turn), 1), NSSTR("rotation"));
    double start = from + (to - from) * 0.25;
    EXPECT_NEAR(angleZ(layer->presentationTransform(kT0 + 0.25)), start, 1e-7);
    EXPECT_NEAR(angleZ(layer->presentationTransform(kT0 + 0.75)), (start + turn) / 2, 1e-7);

    // The tilt of sublayers keeps the perspective term while its angle moves.
    CATransform3D s;
    s.m34 = -0.002;
    s = CATransform3DRotate(s, 0.7853981633974483, 1, 0, 0);
    layer->setSublayerTransform(s);
    layer->addAnimation(basic("sublayerTransform.rotation.x", nullptr, nullptr, 1),
                        NSSTR("perspective"));
    CATransform3D mid = layer->presentationSublayerTransform(kT0 + 0.75);
    CATransform3D want = CATransform3DIdentity;
    want.m34 = -0.002;
    want = CATransform3DRotate(want, 0.7853981633974483 / 2, 1, 0, 0);
    const double* p = &mid.m11;
    const double* q = &want.m11;
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(p[i], q[i], 1e-12) << i;
    EXPECT_EQ(layer->presentationSublayerTransform(kT0 + 1.25), s);

    layer->addAnimation(basic("bounds.size", num(0), num(1), 1), NSSTR("other"));
    EXPECT_NE(layer->animationForKey(NSSTR("other")), nullptr);
    EXPECT_EQ(layer->presentationOpacity(kT0 + 0.5), 1.0f);
}

TEST_F(Clocked, GroupMembersRunOnTheGroupsTimeLine) {
    CABasicAnimation* fade = basic("opacity", num(1), num(0), 2);
    CABasicAnimation* move = basic("transform.translation.x", num(0), num(100), 8);  // cut off
    CAAnimationGroup* g = CAAnimationGroup::animation();
    g->setAnimations(NSArray::arrayWithObjects({fade, move}));
    g->setDuration(4);
    layer->addAnimation(g, NSSTR("group"));
    EXPECT_FLOAT_EQ(layer->presentationOpacity(kT0 + 1), 0.5f);
    EXPECT_FLOAT_EQ(layer->presentationOpacity(kT0 + 3), 1.0f);  // the fade is over
    EXPECT_EQ(layer->presentationTransform(kT0 + 2).m41, 25);
    EXPECT_EQ(layer->presentationTransform(kT0 + 4).m41, 0);  // the group is over
}
