// UIImageView's flip-book on a virtual media clock and the main run loop: which picture the
// view (and its layer, for the renderer) shows at any time, runs ending by themselves, restarts,
// stops, and teardown with a run pending.
#include <gtest/gtest.h>

#include <vector>

#include "Foundation/NSArray.h"
#include "Foundation/NSRunLoop.h"
#include "QuartzCore/CABase.h"
#include "UIKit/UIImageView.h"
#include "support/pictures.h"

namespace {

UIImage* picture(uint32_t argb) {
    CGImageRef cg = bdtest::makeSolidImage(2, 2, argb);
    UIImage* image = UIImage::imageWithCGImage(cg);
    CGImageRelease(cg);
    return image;
}

class FlipBook : public ::testing::Test {
  protected:
    void SetUp() override {
        still = retained(picture(0xff000000u));
        for (uint32_t i = 0; i < 4; ++i) frames.push_back(retained(picture(0xff000001u + i)));
        view = adopt(alloc<UIImageView>()->initWithFrame(CGRectMake(0, 0, 10, 10)));
        view->setImage(still);
        NSMutableArray* list = NSMutableArray::array();
        for (auto& f : frames) list->addObject(f.get());
        view->setAnimationImages(list);
        view->setAnimationDuration(1.0);  // 0.25 s per picture
        view->setAnimationRepeatCount(2);
    }
    // The bitmap the layer shows at t, as the renderer asks for it.
    CGImageRef shown(double t) { return view->layer()->contentsAtTime(t); }
    CGImageRef frame(size_t i) { return frames[i]->CGImage(); }
    void runLoop() { NSRunLoop::mainRunLoop()->runPending(); }

    NSAutoreleasePool pool;
    bd::VirtualMediaClock clock{100.0};
    bd::ScopedMediaClock scope{&clock};
    Ref<UIImage> still;
    std::vector<Ref<UIImage>> frames;
    Ref<UIImageView> view;
};

TEST_F(FlipBook, ShowsEachPictureForItsShareAtAnyTime) {
    EXPECT_EQ(shown(100.0), still->CGImage());
    view->startAnimating();
    EXPECT_TRUE(view->isAnimating());
    // Asked between run-loop passes, for times the loop has not reached.
    EXPECT_EQ(shown(99.9), still->CGImage());  // before the start
    EXPECT_EQ(shown(100.0), frame(0));
    EXPECT_EQ(shown(100.3), frame(1));
    EXPECT_EQ(shown(100.6), frame(2));
    EXPECT_EQ(shown(100.9), frame(3));
    EXPECT_EQ(shown(101.1), frame(0));  // the second run
    EXPECT_EQ(shown(101.99), frame(3));
    EXPECT_EQ(shown(102.0), still->CGImage());  // two runs are over
    EXPECT_EQ(view->imageAtTime(100.6), frames[2].get());
    EXPECT_EQ(view->layer()->contents(), still->CGImage());  // the model value stays the still
}

TEST_F(FlipBook, RunEndsByItselfOnTheRunLoop) {
    view->startAnimating();
    size_t timers = NSRunLoop::mainRunLoop()->pendingTimerCount();
    clock.set(101.5);
    runLoop();
    EXPECT_TRUE(view->isAnimating());
    clock.set(102.0);
    EXPECT_FALSE(view->isAnimating());  // over at the media time, before the loop has run
    runLoop();
    EXPECT_EQ(NSRunLoop::mainRunLoop()->pendingTimerCount(), timers - 1);
    EXPECT_FALSE(view->isAnimating());
    EXPECT_EQ(shown(102.5), still->CGImage());
    // Time going on changes nothing once the run is over.
    EXPECT_EQ(shown(100.5), still->CGImage());
}

TEST_F(FlipBook, StartRestartsStopEndsAtOnce) {
    view->startAnimating();
    clock.set(100.6);
    view->startAnimating();  // a new run from the first picture, now
    EXPECT_EQ(shown(100.6), frame(0));
    EXPECT_EQ(shown(100.9), frame(1));
    view->stopAnimating();
    EXPECT_FALSE(view->isAnimating());
    EXPECT_EQ(shown(100.9), still->CGImage());
    size_t timers = NSRunLoop::mainRunLoop()->pendingTimerCount();
    view->startAnimating();
    view->startAnimating();
    EXPECT_EQ(NSRunLoop::mainRunLoop()->pendingTimerCount(), timers + 1);  // one end per run
    view->stopAnimating();
    EXPECT_EQ(NSRunLoop::mainRunLoop()->pendingTimerCount(), timers);
}

TEST_F(FlipBook, SettingsOfTheRunAndItsEdges) {
    // Changes take effect at the next start.
    view->startAnimating();
    view->setAnimationImages(NSArray::arrayWithObjects({frames[3].get()}));
    view->setAnimationDuration(10);
    EXPECT_EQ(shown(100.3), frame(1));
    view->startAnimating();
    EXPECT_EQ(shown(100.3), frame(3));

    // Endless: repeat count 0. No duration: 1/30 s per picture.
    NSMutableArray* two = NSMutableArray::array();
    two->addObject(frames[0].get());
    two->addObject(frames[1].get());
    view->setAnimationImages(two);
    view->setAnimationDuration(0);
    view->setAnimationRepeatCount(0);
    view->startAnimating();
    EXPECT_EQ(shown(100.0 + 1.0 / 30 + 0.001), frame(1));
    EXPECT_EQ(shown(100.0 + 1000 * 2.0 / 30 + 0.001), frame(0));
    EXPECT_TRUE(view->isAnimating());
    clock.set(5000);
    EXPECT_TRUE(view->isAnimating());

    // Without pictures a start does nothing.
    view->stopAnimating();
    view->setAnimationImages(NSArray::array());
    view->startAnimating();
    EXPECT_FALSE(view->isAnimating());
    view->setAnimationImages(nullptr);
    view->startAnimating();
    EXPECT_FALSE(view->isAnimating());
    EXPECT_EQ(shown(5000), still->CGImage());
}

TEST_F(FlipBook, TeardownDuringARunAndALayerThatOutlivesItsView) {
    view->startAnimating();
    Ref<CALayer> layer = retained(view->layer());
    view = nullptr;  // the end timer must not reach the freed view
    clock.set(110);
    runLoop();
    EXPECT_EQ(layer->contentsSource(), nullptr);
    EXPECT_EQ(layer->contentsAtTime(100.3), still->CGImage());
}

// Times on the boundaries between pictures, as a renderer stepping at the flip-book's own rate
// asks for them (start + i / rate, with the rounding error of a large clock value): each picture
// shows exactly once, in order, and the run is over exactly at its end.
TEST_F(FlipBook, EveryPictureOnceAtTheFlipBooksOwnRate) {
    std::vector<Ref<UIImage>> many;
    NSMutableArray* list = NSMutableArray::array();
    for (uint32_t i = 0; i < 31; ++i) {
        many.push_back(retained(picture(0xff100000u + i)));
        list->addObject(many.back().get());
    }
    view->setAnimationImages(list);
    view->setAnimationDuration(31 * 1.0 / 10.0);  // 10 pictures a second, as the sample's
    view->setAnimationRepeatCount(1);
    for (double start : {100.0, 1000.0, 123456.789}) {
        clock.set(start);
        view->startAnimating();
        for (int i = 0; i < 31; ++i)
            EXPECT_EQ(shown(start + double(i) / 10), many[size_t(i)]->CGImage())
                << "picture " << i << " from " << start;
        EXPECT_EQ(shown(start + 31.0 / 10), still->CGImage()) << "from " << start;
        view->stopAnimating();
    }
    // Endless at 30 a second: the boundary of the 4th run's 2nd picture.
    view->setAnimationRepeatCount(0);
    view->setAnimationDuration(31 * 1.0 / 30.0);
    clock.set(1000.0);
    view->startAnimating();
    EXPECT_EQ(shown(1000.0 + double(3 * 31 + 1) / 30), many[1]->CGImage());
}

}  // namespace

TEST_F(FlipBook, TurnedPicturesShowUpright) {
    Ref<CGImage> wide = adopt(bdtest::makeSolidImage(4, 2, 0xff102030u));
    UIImage* turned = UIImage::imageWithCGImage(wide.get(), 1.0, UIImageOrientationRight);
    view->setImage(turned);
    EXPECT_EQ(CGImageGetWidth(view->layer()->contents()), 2u);
    EXPECT_EQ(CGImageGetHeight(view->layer()->contents()), 4u);
    NSMutableArray* list = NSMutableArray::array();
    list->addObject(turned);
    view->setAnimationImages(list);
    view->startAnimating();
    EXPECT_EQ(shown(100.1), turned->uprightCGImage());
    EXPECT_EQ(CGImageGetWidth(shown(100.1)), 2u);
}
