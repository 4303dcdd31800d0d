// Selectors: equal when they name the same operation, also when the two were made in different
// libraries, one of them built with hidden visibility as wallpaper bundles are.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Foundation/NSBundle.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSRunLoop.h"
#include "Foundation/NSString.h"
#include "QuartzCore/CABase.h"
#include "interface/DeskTopView.h"
#include "support/bundles.h"

namespace {

struct Target : NSObject {
    virtual void first() {}
    virtual void second() {}
    void inlineNonVirtual() {}
    void withObject(NSObject*) {}
};
struct Other : NSObject {
    virtual void first() {}
};

TEST(Selector, EqualOnlyWhenNamingTheSameOperationOfTheSameClass) {
    EXPECT_TRUE(BD_SEL(Target, first) == BD_SEL(Target, first));
    EXPECT_TRUE(BD_SEL(Target, inlineNonVirtual) == BD_SEL(Target, inlineNonVirtual));
    Selector copy = BD_SEL(Target, withObject);
    EXPECT_TRUE(copy == BD_SEL(Target, withObject));

    EXPECT_FALSE(BD_SEL(Target, first) == BD_SEL(Target, second));
    EXPECT_FALSE(BD_SEL(Target, first) == BD_SEL(Other, first));
    EXPECT_FALSE(BD_SEL(Target, first) == BD_SEL(Target, withObject));
    EXPECT_FALSE(BD_SEL(Target, first) == Selector());
    EXPECT_TRUE(Selector() == Selector());
}

TEST(Selector, APluginWithHiddenVisibilityCancelsThePerformTheFrameworkAskedFor) {
    NSAutoreleasePool pool;
    bd::VirtualMediaClock clock(0);
    bd::ScopedMediaClock use(&clock);
    std::vector<std::string> lines;
    bd::setLogCapture([&](const std::string& m) { lines.push_back(m); });

    NSRunLoop* loop = NSRunLoop::mainRunLoop();
    size_t timersBefore = loop->pendingTimerCount();
    NSBundle* bundle = NSBundle::bundleWithPath(
        NSString::stringWithStdString(bdtest::testBundle("bdtest_cancel_perform")));
    Ref<DeskTopView> view = retained(DeskTopView::createDeskTopViewFromBundle(bundle));
    ASSERT_TRUE(view);
    // The view's initWithFrame, inside the plug-in, cancelled the delayLoading request that
    // DeskTopView's initWithFrame, inside the framework, had made half a second ahead.
    EXPECT_EQ(loop->pendingTimerCount(), timersBefore);

    clock.advance(1.0);
    loop->runPending();
    bd::setLogCapture(nullptr);
    for (const std::string& l : lines) EXPECT_NE(l, "cancel_perform: delayLoading ran");
}

}  // namespace
