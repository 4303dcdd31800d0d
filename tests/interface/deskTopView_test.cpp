// The wallpaper view base: construction state, frame, scale, background, dispatch of the
// host's operations to subclasses, the interval test.
#include "interface/DeskTopView.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "CoreGraphics/CGImage.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSRunLoop.h"
#include "QuartzCore/CABase.h"
#include "UIKit/UIColor.h"
#include "UIKit/UIImage.h"

// Rectangles in failure messages.
void PrintTo(const CGRect& r, std::ostream* os) {
    *os << std::setprecision(17) << "(" << r.origin.x << ", " << r.origin.y << ", " << r.size.width
        << ", " << r.size.height << ")";
}

namespace {

struct CountingView : DeskTopView {
    int starts = 0, stops = 0;
    void startAnimating() override { ++starts; }
    void stopAnimating() override { ++stops; }
    using DeskTopView::lastTime;
    using DeskTopView::setLastTime;
};

template <class T = DeskTopView>
Ref<T> makeView(CGRect frame) {
    auto v = adopt(static_cast<T*>(alloc<T>()->initWithFrame(frame)));
    // No resource thread in these tests.
    NSObject::cancelPreviousPerformRequestsWithTarget(v.get(), BD_SEL(DeskTopView, delayLoading),
                                                      nullptr);
    return v;
}

void expectRect(CGRect r, double x, double y, double w, double h) {
    EXPECT_DOUBLE_EQ(r.origin.x, x);
    EXPECT_DOUBLE_EQ(r.origin.y, y);
    EXPECT_DOUBLE_EQ(r.size.width, w);
    EXPECT_DOUBLE_EQ(r.size.height, h);
}

TEST(DeskTopView, ConstructionState) {
    auto v = makeView(CGRectMake(0, 0, 320, 480));
    ASSERT_TRUE(v);
    expectRect(v->bounds(), 0, 0, 320, 480);
    expectRect(v->tapClipRect(), 0, 0, 320, 480);
    EXPECT_EQ(v->scale(), 1.0);
    EXPECT_EQ(v->offset(), 0.0);
    EXPECT_EQ(v->speedLevel(), 0);
    EXPECT_FALSE(v->isAnimating());
    EXPECT_FALSE(v->isScrollEnabled());
    EXPECT_FALSE(v->bounces());
    EXPECT_FALSE(v->showsVerticalScrollIndicator());
    EXPECT_FALSE(v->showsHorizontalScrollIndicator());
    EXPECT_TRUE(v->clipsToBounds());
    EXPECT_EQ(v->destTopViewDelegate(), nullptr);
    ASSERT_NE(v->backgroundColor(), nullptr);
    double a = 1;
    v->backgroundColor()->getRed(nullptr, nullptr, nullptr, &a);
    EXPECT_EQ(a, 0.0);
    ASSERT_FALSE(v->subviewList().empty());
    EXPECT_EQ(v->subviewList().front().get(), v->bgView());
    expectRect(v->bgView()->frame(), 0, 0, 320, 480);
    EXPECT_EQ(v->bgView()->contentMode(), UIViewContentModeScaleAspectFill);
    EXPECT_TRUE(v->bgView()->isUserInteractionEnabled());
    EXPECT_STREQ(DeskTopView::name()->UTF8String(), "");
    EXPECT_STREQ(DeskTopView::version()->UTF8String(), "");
}

TEST(DeskTopView, ViewAndBackgroundFollowTheSuperviewsSize) {
    auto parent = adopt(alloc<UIView>()->initWithFrame(CGRectMake(0, 0, 320, 480)));
    auto v = makeView(CGRectMake(0, 0, 320, 480));
    parent->addSubview(v.get());
    parent->setBounds(CGRectMake(0, 0, 200, 300));
    expectRect(v->frame(), 0, 0, 200, 300);
    expectRect(v->bgView()->frame(), 0, 0, 200, 300);
    v->removeFromSuperview();
}

TEST(DeskTopView, FrameAndScale) {
    auto v = makeView(CGRectMake(0, 0, 320, 480));
    v->setFrame(CGRectMake(10, 20, 200, 300));
    expectRect(v->tapClipRect(), 0, 0, 200, 300);

    auto s = makeView(CGRectMake(0, 0, 320, 480));
    s->setScale(2);
    expectRect(s->frame(), 0, 0, 640, 960);
    expectRect(s->bounds(), 0, 0, 320, 480);
    expectRect(s->tapClipRect(), 0, 0, 320, 480);
    EXPECT_EQ(s->scale(), 2.0);
    s->setScale(2);  // scales do not accumulate
    expectRect(s->frame(), 0, 0, 640, 960);
    s->setScale(1);
    expectRect(s->frame(), 0, 0, 320, 480);

    auto o = makeView(CGRectMake(50, 60, 320, 480));
    for (double k : {2.0, 0.5, 3.0, 1.0}) {
        o->setScale(k);
        EXPECT_DOUBLE_EQ(o->frame().origin.x, 50);
        EXPECT_DOUBLE_EQ(o->frame().origin.y, 60);
        EXPECT_DOUBLE_EQ(o->frame().size.width, 320 * k);
    }
}

// Scales that aren't powers of two leave the bounds exactly as they were, to the last bit, and
// many calls don't move the frame: the bounds are never worked back out of the scaled frame.
TEST(DeskTopView, ScalingKeepsTheBoundsExact) {
    auto v = makeView(CGRectMake(50, 60, 320, 480));
    for (double k : {0.3, 1.7, 0.1, 3.3}) {
        v->setScale(k);
        EXPECT_EQ(v->bounds(), CGRectMake(0, 0, 320, 480)) << k;
        EXPECT_EQ(v->tapClipRect(), CGRectMake(0, 0, 320, 480)) << k;
        EXPECT_DOUBLE_EQ(v->frame().size.height, 480 * k);
    }
    v->setScale(0.3);
    CGRect first = v->frame();
    for (int i = 0; i < 2000; ++i) v->setScale(i % 2 ? 0.3 : 1.7);
    EXPECT_EQ(v->bounds(), CGRectMake(0, 0, 320, 480));
    EXPECT_NEAR(v->frame().origin.x, first.origin.x, 1e-9);
    EXPECT_NEAR(v->frame().origin.y, first.origin.y, 1e-9);
    EXPECT_EQ(v->frame().size, first.size);
    v->setScale(1);
    EXPECT_EQ(v->bounds(), CGRectMake(0, 0, 320, 480));
    expectRect(v->frame(), 50, 60, 320, 480);
}

TEST(DeskTopView, BackgroundImageKeepsScaledFrame) {
    auto v = makeView(CGRectMake(0, 0, 320, 480));
    v->setScale(2);
    std::shared_ptr<uint8_t[]> px(new uint8_t[4 * 4 * 4]());
    CGImageRef cg = bd::createARGB32Image(4, 4, px);
    ASSERT_NE(cg, nullptr);
    UIImage* img = UIImage::imageWithCGImage(cg);
    CGImageRelease(cg);
    v->setBackgroundImage(img);
    EXPECT_EQ(v->bgView()->image(), img);
    expectRect(v->frame(), 0, 0, 640, 960);
    v->setBackgroundImage(nullptr);
    EXPECT_EQ(v->bgView()->image(), nullptr);
    expectRect(v->frame(), 0, 0, 640, 960);
    EXPECT_EQ(v->scale(), 2.0);
}

TEST(DeskTopView, PauseResumeAndRemovalReachOverrides) {
    auto v = makeView<CountingView>(CGRectMake(0, 0, 320, 480));
    v->pauseAnimating();
    v->resumeAnimating();
    v->resumeAnimating();
    EXPECT_EQ(v->stops, 1);
    EXPECT_EQ(v->starts, 2);
    auto parent = adopt(alloc<UIView>()->initWithFrame(CGRectMake(0, 0, 320, 480)));
    parent->addSubview(v.get());
    v->removeFromSuperview();
    EXPECT_EQ(v->stops, 2);
    EXPECT_EQ(v->superview(), nullptr);
}

TEST(DeskTopView, TeardownLogsAndStops) {
    std::vector<std::string> lines;
    bd::setLogCapture([&](const std::string& m) { lines.push_back(m); });
    int stops = 0;
    {
        auto v = makeView<CountingView>(CGRectMake(0, 0, 320, 480));
        v = nullptr;
    }
    {
        struct StopProbe : DeskTopView {
            int* out = nullptr;
            void stopAnimating() override { ++*out; }
        };
        auto p = makeView<StopProbe>(CGRectMake(0, 0, 10, 10));
        p->out = &stops;
    }
    bd::setLogCapture(nullptr);
    EXPECT_EQ(stops, 1);  // teardown sends stopAnimating to itself
    int n = 0;
    for (auto& l : lines) n += l.find("=========DeskTopView dealloc=========") != std::string::npos;
    EXPECT_EQ(n, 2);
}

TEST(DeskTopView, TimeComeWithInterval) {
    bd::VirtualMediaClock clock(0);
    bd::ScopedMediaClock scope(&clock);
    auto v = makeView<CountingView>(CGRectMake(0, 0, 320, 480));
    clock.set(10.0);
    v->setLastTime(9.5);
    EXPECT_FALSE(v->timeComeWithInterval(0.5));  // exactly the interval: not yet
    EXPECT_EQ(v->lastTime(), 9.5);
    clock.set(10.01);
    EXPECT_TRUE(v->timeComeWithInterval(0.5));
    EXPECT_EQ(v->lastTime(), 10.01);
    EXPECT_FALSE(v->timeComeWithInterval(0.5));

    auto fresh = makeView<CountingView>(CGRectMake(0, 0, 320, 480));
    clock.set(3.0);
    EXPECT_TRUE(fresh->timeComeWithInterval(2.0));  // compared against the clock's zero
    auto early = makeView<CountingView>(CGRectMake(0, 0, 320, 480));
    clock.set(1.0);
    EXPECT_FALSE(early->timeComeWithInterval(2.0));
}

}  // namespace
