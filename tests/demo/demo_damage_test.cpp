// The sample wallpaper drawn only where it changes: its flip-book's run and replay, taps, scale
// changes, the ready-made animations (slide, scale, rock, turn, fade, perspective tilt) and
// subviews added and removed, on a stepped virtual clock. Every frame drawn damaged-only equals
// a whole frame byte for byte (support/damage.h); once the flip-book has ended nothing needs a
// frame.
#include <gtest/gtest.h>

#include <string>

#include "Common/ImageCache.h"
#include "Common/UIView+KZUIAnimation.h"
#include "Foundation/NSBundle.h"
#include "Foundation/NSRunLoop.h"
#include "Foundation/NSString.h"
#include "QuartzCore/CABase.h"
#include "UIKit/UIColor.h"
#include "UIKit/UIScreen.h"
#include "UIKit/UITouch.h"
#include "interface/DeskTopView.h"
#include "support/damage.h"
#include "support/process.h"

namespace {

constexpr double kT0 = 1000;
constexpr double kWidth = 160, kHeight = 284, kScale = 2;

class DemoDamage : public ::testing::Test {
  protected:
    void SetUp() override {
        UIScreen::mainScreen()->setBounds(CGRectMake(0, 0, kWidth, kHeight));
        UIScreen::mainScreen()->setScale(kScale);
        NSBundle* bundle = NSBundle::bundleWithPath(
            NSString::stringWithStdString(bdtest::bundlePath("AnimateDemo.bundle")));
        ASSERT_TRUE(bundle);
        view = retained(DeskTopView::createDeskTopViewFromBundle(bundle));
        ASSERT_TRUE(view) << "no sample wallpaper in " << bdtest::bundlePath("AnimateDemo.bundle");
        window = adopt(alloc<UIView>()->initWithFrame(CGRectMake(0, 0, kWidth, kHeight)));
        window->setBackgroundColor(UIColor::blackColor());
        window->addSubview(view.get());
    }
    void TearDown() override {
        if (view) view->removeFromSuperview();
        view = nullptr;
        window = nullptr;
        advance(1);
        ImageCache::sharedInstance()->setResBundle(nullptr);
    }

    void advance(double dt) {
        t += dt;
        clock.set(t);
        for (int i = 0; i < 3; ++i) NSRunLoop::mainRunLoop()->runPending();
    }
    // Frames every dt for `seconds`; returns how many had damage.
    int play(double seconds, double dt, const std::string& what) {
        int damaged = 0;
        for (double end = t + seconds - 1e-9; t < end;) {
            advance(dt);
            CARenderFrame f =
                check.step(window->layer(), t, what + " at " + std::to_string(t - kT0));
            if (!f.damage.empty()) ++damaged;
        }
        return damaged;
    }
    void tap(CGPoint p) {
        bd::TouchDispatcher touches;
        touches.began(window.get(), p);
        touches.ended(p);
    }

    NSAutoreleasePool pool;
    bd::VirtualMediaClock clock{kT0};
    bd::ScopedMediaClock use{&clock};
    double t = kT0;
    Ref<UIView> window;
    Ref<DeskTopView> view;
    bdtest::DamageChecker check{int(kWidth * kScale), int(kHeight* kScale), kScale};
};

}  // namespace

TEST_F(DemoDamage, FlipBookRunReplayTapsAndScale) {
    check.step(window->layer(), t, "first frame");
    // The flip-book's 31 frames at 10 per second: drawn at 20 frames per second, every other
    // frame has something new.
    int damaged = play(3.3, 0.05, "playing");
    EXPECT_GE(damaged, 28);
    EXPECT_LE(damaged, 34);
    EXPECT_FALSE(view->isAnimating());
    EXPECT_FALSE(check.renderer().needsFrame(window->layer(), t + 10)) << "the run is over";
    EXPECT_EQ(check.renderer().nextChangeTime(), INFINITY);
    EXPECT_EQ(play(0.5, 0.1, "still"), 0);

    tap(CGPointMake(80, 150));  // a touch replays the flip-book
    EXPECT_TRUE(view->isAnimating());
    EXPECT_GT(play(0.6, 0.05, "replaying"), 4);
    view->gestureAction(2, CGPointMake(10, 10));  // while playing: nothing new
    play(0.2, 0.05, "gesture while playing");
    view->pauseAnimating();
    play(0.1, 0.05, "paused");
    EXPECT_EQ(play(0.3, 0.1, "paused"), 0);

    view->setScale(1.25);
    play(0.1, 0.05, "scaled up");
    view->setScale(0.8);
    play(0.1, 0.05, "scaled down");
    view->setScale(1);
    play(0.1, 0.05, "scale 1");
    view->doAnimating();  // the base picture moves, under the white square
    play(0.1, 0.05, "doAnimating");
    EXPECT_EQ(play(0.3, 0.1, "static again"), 0);
}

TEST_F(DemoDamage, AnimationHelpersAndSubviews) {
    view->pauseAnimating();
    check.step(window->layer(), t, "first frame");
    UIView* bar =
        view->subviews()->count() > 3 ? as<UIView>(view->subviews()->objectAtIndex(3)) : nullptr;
    ASSERT_TRUE(bar);
    KZUIAnimation::setScaleAnimation(bar, 1.5, 0.2, 1);
    play(0.5, 0.05, "scale pulse");
    KZUIAnimation::setRockAnimationStartAngle(bar, 10, -10, 0.15, 1);
    play(0.4, 0.05, "rock");
    KZUIAnimation::setRotationAnimation(view.get(), CGPointZero, 30, 0.2, 1);
    play(0.3, 0.05, "whole view turning");
    KZUIAnimation::setAlphaAnimationDuration(bar, 0.1, 1);
    play(0.3, 0.05, "fade");
    KZUIAnimation::setTranslateAnimation(bar, CGPointMake(100, 150), 0.2, 1, false);
    play(0.4, 0.05, "slide");
    KZUIAnimation::setPerspectiveEffectAnimation(view.get(), true, 0.2);
    play(0.4, 0.05, "perspective tilt");
    view->resumeAnimating();
    play(0.5, 0.05, "flip-book playing tilted");
    KZUIAnimation::setPerspectiveEffectAnimation(view.get(), false, 0.2);
    play(0.4, 0.05, "tilt back");

    Ref<UIView> added = adopt(alloc<UIView>()->initWithFrame(CGRectMake(20.5, 40.25, 50, 30)));
    added->setBackgroundColor(UIColor::colorWithRed(0.2, 0.8, 0.3, 0.6));
    view->addSubview(added.get());
    play(0.1, 0.05, "subview added");
    view->insertSubview(added.get(), 1);
    play(0.1, 0.05, "subview moved down");
    added->removeFromSuperview();
    play(0.1, 0.05, "subview removed");
    EXPECT_GT(check.framesWithDamage(), 20);
}
