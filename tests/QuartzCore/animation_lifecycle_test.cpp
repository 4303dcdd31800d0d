// The animation runtime on the main run loop with a stepped virtual clock: when delegates are
// told, in which order and how often, what stays attached, and that no animation keeps its
// view alive or calls a delegate that is gone.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "Foundation/NSNumber.h"
#include "Foundation/NSRunLoop.h"
#include "Foundation/NSString.h"
#include "QuartzCore/CAAnimation.h"
#include "QuartzCore/CABase.h"
#include "QuartzCore/CALayer.h"
#include "UIKit/UIView.h"
#include "interface/DeskTopView.h"

namespace {

constexpr double kT0 = 500.0;

struct Event {
    char kind;  // 's' start, 'e' stop
    CAAnimation* anim;
    bool finished;
    bool operator==(const Event& o) const {
        return kind == o.kind && anim == o.anim && finished == o.finished;
    }
};

struct Recorder : CAAnimationDelegate {
    std::vector<Event> events;
    std::function<void(CAAnimation*, bool)> onStop;
    void animationDidStart(CAAnimation* anim) override { events.push_back({'s', anim, false}); }
    void animationDidStop(CAAnimation* anim, bool finished) override {
        events.push_back({'e', anim, finished});
        if (onStop) onStop(anim, finished);
    }
};

int gViewDeallocs = 0;
struct CountedView : UIView {
  protected:
    void dealloc() override {
        ++gViewDeallocs;
        UIView::dealloc();
    }
};

// A wallpaper that starts a slide with itself as delegate in every frame of its frame loop.
struct SlidingWallpaper : DeskTopView {
    int* frames = nullptr;
    int* stops = nullptr;
    bool* gone = nullptr;
    void doAnimating() override {
        ++*frames;
        CABasicAnimation* a =
            CABasicAnimation::animationWithKeyPath(NSSTR("transform.translation"));
        a->setDuration(0.06);
        a->setDelegate(this);
        layer()->setTransform(CATransform3DTranslate(layer()->transform(), 1, 0, 0));
        layer()->addAnimation(a, NSSTR(*frames % 2 ? "odd" : "even"));
    }
    void animationDidStop(CAAnimation* anim, bool finished) override {
        ++*stops;
        DeskTopView::animationDidStop(anim, finished);
    }

  protected:
    void dealloc() override {
        *gone = true;
        DeskTopView::dealloc();
    }
};

struct Runtime : ::testing::Test {
    NSAutoreleasePool pool;
    bd::VirtualMediaClock clock{kT0};
    bd::ScopedMediaClock use{&clock};
    Ref<CALayer> layer = adopt(alloc<CALayer>()->init());

    // A few passes of the main run loop: what is posted during a pass runs in the next.
    void pump() {
        for (int i = 0; i < 4; ++i) NSRunLoop::mainRunLoop()->runPending();
    }
    void advanceTo(double t) {
        clock.set(kT0 + t);
        pump();
    }
    CABasicAnimation* fade(double duration, CAAnimationDelegate* delegate) {
        CABasicAnimation* a = CABasicAnimation::animationWithKeyPath(NSSTR("opacity"));
        a->setToValue(NSNumber::numberWithFloat(0));
        a->setDuration(duration);
        a->setDelegate(delegate);
        return a;
    }
};

}  // namespace

TEST_F(Runtime, AnEndedAnimationIsDetachedBeforeItsDelegateIsToldOnce) {
    Recorder rec;
    CAAnimation* seenAtStop = nullptr;
    rec.onStop = [&](CAAnimation*, bool) { seenAtStop = layer->animationForKey(NSSTR("a")); };
    layer->addAnimation(fade(1, &rec), NSSTR("a"));
    CAAnimation* attached = layer->animationForKey(NSSTR("a"));
    EXPECT_TRUE(rec.events.empty());  // nothing is told from inside addAnimation
    pump();
    ASSERT_EQ(rec.events, (std::vector<Event>{{'s', attached, false}}));

    advanceTo(0.999);
    EXPECT_EQ(rec.events.size(), 1u);
    EXPECT_EQ(layer->animationForKey(NSSTR("a")), attached);
    {
        Ref<CAAnimation> keep = retained(attached);  // to compare after it was let go
        advanceTo(1.0);
        ASSERT_EQ(rec.events.size(), 2u);
        EXPECT_EQ(rec.events[1], (Event{'e', attached, true}));
        EXPECT_EQ(seenAtStop, nullptr);
        EXPECT_EQ(layer->animationForKey(NSSTR("a")), nullptr);
        advanceTo(5);
        layer->removeAnimationForKey(NSSTR("a"));
        pump();
        EXPECT_EQ(rec.events.size(), 2u);
    }
}

TEST_F(Runtime, AnAnimationKeptOnCompletionStaysAttachedAndShowsTheModel) {
    Recorder rec;
    CABasicAnimation* a = fade(2, &rec);
    a->setRemovedOnCompletion(false);
    a->setAutoreverses(true);  // active for 4 s
    layer->addAnimation(a, NSSTR("kept"));
    CAAnimation* attached = layer->animationForKey(NSSTR("kept"));
    advanceTo(3.9);
    EXPECT_EQ(rec.events.size(), 1u);
    advanceTo(4);
    ASSERT_EQ(rec.events.size(), 2u);
    EXPECT_EQ(rec.events[1], (Event{'e', attached, true}));
    EXPECT_EQ(layer->animationForKey(NSSTR("kept")), attached);
    EXPECT_EQ(layer->presentationOpacity(kT0 + 4), 1.0f);
    layer->removeAnimationForKey(NSSTR("kept"));
    pump();
    EXPECT_EQ(rec.events.size(), 2u);  // told once
}

TEST_F(Runtime, ReplacedAndRemovedAnimationsAreToldUnfinished) {
    Recorder rec;
    layer->addAnimation(fade(1, &rec), NSSTR("k"));
    CAAnimation* first = layer->animationForKey(NSSTR("k"));
    Ref<CAAnimation> keepFirst = retained(first);
    layer->addAnimation(fade(1, &rec), NSSTR("k"));
    CAAnimation* second = layer->animationForKey(NSSTR("k"));
    Ref<CAAnimation> keepSecond = retained(second);
    EXPECT_NE(first, second);
    pump();
    EXPECT_EQ(rec.events,
              (std::vector<Event>{{'s', first, false}, {'e', first, false}, {'s', second, false}}));
    layer->removeAnimationForKey(NSSTR("k"));
    EXPECT_EQ(rec.events.size(), 3u);
    pump();
    ASSERT_EQ(rec.events.size(), 4u);
    EXPECT_EQ(rec.events[3], (Event{'e', second, false}));
    advanceTo(10);  // no timer is left behind
    EXPECT_EQ(rec.events.size(), 4u);

    // An animation that repeats forever never ends by itself.
    CABasicAnimation* forever = fade(1, &rec);
    forever->setRepeatCount(HUGE_VALF);
    layer->addAnimation(forever, nullptr);
    advanceTo(1e6);
    EXPECT_EQ(rec.events.size(), 5u);
    layer->removeAllAnimations();
    pump();
    ASSERT_EQ(rec.events.size(), 6u);
    EXPECT_FALSE(rec.events[5].finished);
}

TEST_F(Runtime, NoCallReachesADelegateThatIsGone) {
    auto* rec = new Recorder;
    layer->addAnimation(fade(1, rec), NSSTR("a"));
    layer->addAnimation(fade(1, rec), NSSTR("b"));
    Ref<CAAnimation> held = retained(layer->animationForKey(NSSTR("b")));
    delete rec;
    EXPECT_EQ(held->delegate(), nullptr);
    layer->removeAnimationForKey(NSSTR("b"));
    advanceTo(2);  // start, the removal's stop and the end all find no delegate
    EXPECT_EQ(layer->animationKeys(), nullptr);
}

TEST_F(Runtime, AViewWithRunningAnimationsIsFreedAndTheyGoWithIt) {
    int before = gViewDeallocs;
    auto* view =
        static_cast<CountedView*>(alloc<CountedView>()->initWithFrame(CGRectMake(0, 0, 50, 50)));
    Ref<CALayer> viewLayer = retained(view->layer());  // someone else holds the layer
    CABasicAnimation* a = fade(1, view);
    a->setRemovedOnCompletion(false);
    a->setRepeatCount(HUGE_VALF);
    viewLayer->addAnimation(a, NSSTR("forever"));
    viewLayer->addAnimation(fade(1, view), NSSTR("short"));
    Ref<CAAnimation> held = retained(viewLayer->animationForKey(NSSTR("forever")));
    EXPECT_EQ(held->delegate(), static_cast<CAAnimationDelegate*>(view));

    view->release();  // the only reference: the animations naming it must not keep it alive
    EXPECT_EQ(gViewDeallocs, before + 1);
    EXPECT_EQ(viewLayer->animationKeys(), nullptr);
    EXPECT_EQ(held->delegate(), nullptr);
    advanceTo(5);  // posted stops and cancelled ends reach nothing
}

TEST_F(Runtime, ADelegateMayLetGoOfTheLayerInItsStop) {
    Recorder rec;
    CALayer* l = alloc<CALayer>()->init();
    rec.onStop = [&](CAAnimation*, bool finished) {
        if (finished) l->release();  // the last reference, from inside the end
    };
    l->addAnimation(fade(1, &rec), NSSTR("a"));
    l->addAnimation(fade(1, &rec), NSSTR("b"));
    advanceTo(1);
    // The first end freed the layer; the second animation went with it, unfinished.
    ASSERT_EQ(rec.events.size(), 4u);
    EXPECT_TRUE(rec.events[2].finished);
    EXPECT_FALSE(rec.events[3].finished);
}

TEST_F(Runtime, AWallpaperAnimatingFromItsFrameLoopIsReleasedWhileItRuns) {
    int frames = 0, stops = 0;
    bool gone = false;
    auto* v = static_cast<SlidingWallpaper*>(
        alloc<SlidingWallpaper>()->initWithFrame(CGRectMake(0, 0, 320, 480)));
    NSObject::cancelPreviousPerformRequestsWithTarget(v, BD_SEL(DeskTopView, delayLoading),
                                                      nullptr);
    v->frames = &frames;
    v->stops = &stops;
    v->gone = &gone;
    // Frames sleep on the virtual clock; moving it to the next wake-up lets both the frame
    // loop and the animations' ends go on.
    auto run = [&](const std::function<bool()>& cond) {
        return NSRunLoop::mainRunLoop()->runUntil(
            [&] {
                clock.advanceToNextWake();
                return cond();
            },
            10);
    };
    v->startAnimating();
    ASSERT_TRUE(run([&] { return frames >= 12 && stops >= 8; }));
    v->release();  // the host lets go while the loop runs and slides are attached
    ASSERT_TRUE(run([&] { return gone; }));
    int stopsAtTeardown = stops;
    clock.advance(1);
    pump();
    EXPECT_EQ(stops, stopsAtTeardown);  // nothing reached the freed view
}
