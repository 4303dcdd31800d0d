// The sample wallpaper's view: its scene, the flip-book it builds from the frames it finds,
// doAnimating, gestures and touches, driven through the main run loop on a virtual clock.
#include "demo/AnimateDemoView.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Common/ImageCache.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSRunLoop.h"
#include "QuartzCore/CABase.h"
#include "UIKit/UIScreen.h"
#include "UIKit/UITouch.h"
#include "support/files.h"
#include "support/pictures.h"

namespace {

class AnimateDemo : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.empty());
        UIScreen::mainScreen()->setScale(2.0);
        put("bg.jpg", 64, 64);
        put("hallowmas_pumpkin_base.png", 120, 100);
        ImageCache::sharedInstance()->setResBundle(NSBundle::bundleWithPath(path("")));
    }
    void TearDown() override { ImageCache::sharedInstance()->setResBundle(nullptr); }

    NSString* path(const std::string& name) {
        return NSString::stringWithStdString(name.empty() ? dir : dir + "/" + name);
    }
    void put(const std::string& name, size_t w, size_t h, uint32_t argb = 0xff804020u) {
        ASSERT_TRUE(bdtest::writeFile(dir + "/" + name, bdtest::solidPng(w, h, argb)));
    }
    void putFrames(std::vector<int> numbers) {
        for (int i : numbers) {
            char name[16];
            std::snprintf(name, sizeof name, "%02d.png", i);
            put(name, 20, 20, 0xff000000u + static_cast<uint32_t>(i));
        }
    }
    UIImage* cached(const char* name) {
        return ImageCache::sharedInstance()->imageWithName2x(NSSTR(name));
    }
    Ref<AnimateDemoView> makeView(CGRect frame) {
        auto v = adopt(alloc<AnimateDemoView>()->initWithFrame(frame));
        // No resource thread in these tests: the demo's initResource is the base's empty one.
        NSObject::cancelPreviousPerformRequestsWithTarget(
            v.get(), BD_SEL(DeskTopView, delayLoading), nullptr);
        return v;
    }
    void runLoop() { NSRunLoop::mainRunLoop()->runPending(); }

    NSAutoreleasePool pool;
    bd::VirtualMediaClock clock{50.0};
    bd::ScopedMediaClock scope{&clock};
    bdtest::TempDir tmp{"demo"};
    std::string dir = tmp.path();
};

TEST_F(AnimateDemo, SceneFromBackToFront) {
    putFrames({1, 2, 3});
    auto v = makeView(CGRectMake(0, 0, 320, 568));
    ASSERT_TRUE(v);
    const auto& subs = v->subviewList();
    ASSERT_EQ(subs.size(), 5u);
    EXPECT_EQ(subs[0].get(), v->bgView());
    EXPECT_EQ(v->bgView()->image(), cached("bg.jpg"));
    EXPECT_EQ(subs[1].get(), v->downImageView());
    EXPECT_EQ(v->downImageView()->image(), cached("hallowmas_pumpkin_base.png"));
    EXPECT_EQ(v->downImageView()->frame(), CGRectMake(0, 0, 60, 50));  // its size in points
    EXPECT_EQ(v->downImageView()->autoresizingMask(), 0u);
    UIView* square = subs[2].get();
    EXPECT_EQ(square->frame(), CGRectMake(0, 0, 568, 568));
    EXPECT_TRUE(square->backgroundColor()->isEqual(UIColor::whiteColor()));
    UIView* bar = subs[3].get();
    EXPECT_EQ(bar->frame(), CGRectMake(0, 0, 568, 20));
    EXPECT_TRUE(bar->backgroundColor()->isEqual(UIColor::grayColor()));
    EXPECT_EQ(bar->autoresizingMask(), UIViewAutoresizingFlexibleWidth);
    EXPECT_EQ(subs[4].get(), v->animateView());
    EXPECT_EQ(v->animateView()->frame(), CGRectMake(0, 0, 320, 568));
    EXPECT_EQ(v->animateView()->contentMode(), UIViewContentModeScaleAspectFit);
    EXPECT_EQ(v->animateView()->animationRepeatCount(), 1);
    // The square, the flip-book and the bar follow the view's size.
    v->setBounds(CGRectMake(0, 0, 400, 600));
    EXPECT_EQ(square->frame(), CGRectMake(0, 0, 648, 600));
    EXPECT_EQ(v->animateView()->frame(), CGRectMake(0, 0, 400, 600));
    EXPECT_EQ(bar->frame().size.width, 648);

    for (auto [w, h, side] : {std::tuple{600.0, 400.0, 600.0}, {300.0, 300.0, 300.0}}) {
        auto other = makeView(CGRectMake(0, 0, w, h));
        EXPECT_EQ(other->subviewList()[2]->frame(), CGRectMake(0, 0, side, side));
        EXPECT_EQ(other->subviewList()[3]->frame(), CGRectMake(0, 0, side, 20));
    }
}

TEST_F(AnimateDemo, DurationFollowsTheFramesFound) {
    struct Case {
        int frames;
        double duration;
    };
    for (Case c : {Case{31, 3.1}, Case{10, 1.0}, Case{4, 1.0}, Case{0, 1.0}}) {
        std::vector<int> numbers;
        for (int i = 1; i <= c.frames; ++i) numbers.push_back(i);
        for (int i = 1; i <= 31; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "/%02d.png", i);
            std::remove((dir + name).c_str());
        }
        putFrames(numbers);
        ImageCache::sharedInstance()->clearMemorryCache();
        auto v = makeView(CGRectMake(0, 0, 320, 480));
        SCOPED_TRACE(c.frames);
        EXPECT_EQ(v->animateView()->animationImages()->count(), static_cast<size_t>(c.frames));
        EXPECT_DOUBLE_EQ(v->animateView()->animationDuration(), c.duration);
        EXPECT_EQ(v->isAnimating(), c.frames > 0);
        EXPECT_EQ(v->animateView()->image() != nullptr, c.frames > 0);
    }
}

TEST_F(AnimateDemo, MissingFramesAreLeftOut) {
    putFrames({2, 3});
    auto a = makeView(CGRectMake(0, 0, 320, 480));
    EXPECT_EQ(a->animateView()->image(), cached("02.png"));
    NSArray* list = a->animateView()->animationImages();
    ASSERT_EQ(list->count(), 2u);
    EXPECT_EQ(list->objectAtIndex(0), cached("02.png"));

    std::remove((dir + "/02.png").c_str());
    putFrames({1});
    ImageCache::sharedInstance()->clearMemorryCache();
    auto b = makeView(CGRectMake(0, 0, 320, 480));
    list = b->animateView()->animationImages();
    ASSERT_EQ(list->count(), 2u);
    EXPECT_EQ(list->objectAtIndex(0), cached("01.png"));
    EXPECT_EQ(list->objectAtIndex(1), cached("03.png"));
}

TEST_F(AnimateDemo, DoAnimatingMovesThePumpkinDownAndWraps) {
    putFrames({1});
    auto v = makeView(CGRectMake(0, 0, 320, 480));
    std::vector<std::string> lines;
    bd::setLogCapture([&](const std::string& m) { lines.push_back(m); });
    struct Case {
        double y, expected;
    };
    for (Case c : {Case{10.7, 11},
                   {498, 499},
                   {499, 0},
                   {499.9, 0},
                   {998, 499},
                   {-3.5, -2},
                   {-500, -499},
                   {1e300, 308},
                   {-1e300, -307}}) {
        v->downImageView()->setCenter(CGPointMake(-7, c.y));
        v->doAnimating();
        EXPECT_EQ(v->downImageView()->center(), CGPointMake(30, c.expected)) << c.y;
    }
    bd::setLogCapture(nullptr);
    EXPECT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines.front(), "doAnimating");
    EXPECT_FALSE(v->isAnimating());  // doAnimating stops the flip-book
}

TEST_F(AnimateDemo, FlipBookOverARunOnTheRunLoop) {
    putFrames({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});  // 1.1 s
    auto v = makeView(CGRectMake(0, 0, 320, 480));
    CALayer* layer = v->animateView()->layer();
    EXPECT_TRUE(v->isAnimating());
    EXPECT_EQ(layer->contentsAtTime(50.15), cached("02.png")->CGImage());
    clock.set(50.5);
    runLoop();
    v->gestureAction(2, CGPointMake(1, 1));  // playing: no restart
    EXPECT_EQ(layer->contentsAtTime(50.55), cached("06.png")->CGImage());
    clock.set(51.2);
    runLoop();
    EXPECT_FALSE(v->isAnimating());
    EXPECT_EQ(layer->contentsAtTime(51.2), cached("01.png")->CGImage());  // the still picture
    for (int type : {0, 1, 3, -1}) v->gestureAction(type, CGPointMake(1, 1));
    EXPECT_FALSE(v->isAnimating());
    v->gestureAction(2, CGPointMake(1, 1));
    EXPECT_TRUE(v->isAnimating());
    EXPECT_EQ(layer->contentsAtTime(51.35), cached("02.png")->CGImage());
    for (int type : {0, 1, 3}) v->gestureAction(type, CGPointMake(1, 1));
    EXPECT_TRUE(v->isAnimating());

    v->pauseAnimating();
    EXPECT_FALSE(v->isAnimating());
    clock.set(52);
    v->resumeAnimating();  // a new run: a pause keeps no position
    EXPECT_EQ(layer->contentsAtTime(52.05), cached("01.png")->CGImage());
    v->stopAnimating();
    EXPECT_FALSE(v->isAnimating());
    v->startAnimating();
    EXPECT_TRUE(v->isAnimating());
    v->doAnimating();
    EXPECT_FALSE(v->isAnimating());
    // The base's frame loop never ran.
    EXPECT_FALSE(v->DeskTopView::isAnimating());
}

TEST_F(AnimateDemo, ATouchAnywhereReplaysTheFlipBook) {
    putFrames({1, 2});
    auto v = makeView(CGRectMake(0, 0, 320, 480));
    bd::TouchDispatcher touches;
    for (CGPoint p :
         {CGPointMake(160, 10), CGPointMake(160, 300), CGPointMake(319, 479), CGPointMake(0, 0)}) {
        v->stopAnimating();
        UIView* hit = touches.began(v.get(), p);
        ASSERT_NE(hit, nullptr);
        EXPECT_NE(hit, v.get());  // the square or the bar; the chain carries it up
        EXPECT_TRUE(v->isAnimating()) << p.x << "," << p.y;
        touches.ended(p);
    }
}

TEST_F(AnimateDemo, TeardownLogsStopsAndLeavesNoTimer) {
    putFrames({1, 2});
    std::vector<std::string> lines;
    bd::setLogCapture([&](const std::string& m) { lines.push_back(m); });
    size_t timers = NSRunLoop::mainRunLoop()->pendingTimerCount();
    {
        auto v = makeView(CGRectMake(0, 0, 320, 480));
        auto host = adopt(alloc<UIView>()->initWithFrame(CGRectMake(0, 0, 320, 480)));
        host->addSubview(v.get());
        v->removeFromSuperview();
        EXPECT_FALSE(v->isAnimating());
        v->startAnimating();  // still playing when it goes
    }
    bd::setLogCapture(nullptr);
    EXPECT_EQ(NSRunLoop::mainRunLoop()->pendingTimerCount(), timers);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "dealloc");
    EXPECT_EQ(lines[1], "=========DeskTopView dealloc=========");
    clock.set(100);
    runLoop();
}

}  // namespace
