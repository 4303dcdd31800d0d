// Touches: the touch set, hit testing as the dispatcher does it, the responder chain, the
// touch's location in any view, and the dispatcher's life cycle of one touch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Foundation/NSSet.h"
#include "Foundation/NSString.h"
#include "UIKit/UIImageView.h"
#include "UIKit/UITouch.h"
#include "UIKit/UIView.h"

namespace {

// A view that handles touches itself and records what reached it.
struct Recorder : UIView {
    std::vector<std::string> log;
    std::vector<CGPoint> points;
    Ref<UITouch> last;  // handlers may keep a touch
    void record(const char* what, NSSet* touches, UIEvent* event) {
        last = retained(as<UITouch>(touches->anyObject()));
        log.push_back(what);
        points.push_back(last->locationInView(this));
        EXPECT_TRUE(event->allTouches()->containsObject(last));
    }
    void touchesBegan(NSSet* t, UIEvent* e) override { record("began", t, e); }
    void touchesMoved(NSSet* t, UIEvent* e) override { record("moved", t, e); }
    void touchesEnded(NSSet* t, UIEvent* e) override { record("ended", t, e); }
    void touchesCancelled(NSSet* t, UIEvent* e) override { record("cancelled", t, e); }
};

template <class T = UIView>
Ref<T> make(CGRect frame) {
    return adopt(static_cast<T*>(alloc<T>()->initWithFrame(frame)));
}

TEST(Touch, SetKeepsDistinctObjects) {
    NSAutoreleasePool pool;
    NSString* a = NSSTR("a");
    NSSet* s = NSSet::setWithObjects({a, NSSTR("a"), nullptr, NSSTR("b")});
    EXPECT_EQ(s->count(), 2u);
    EXPECT_EQ(s->anyObject(), a);
    EXPECT_EQ(s->member(NSSTR("a")), a);
    EXPECT_TRUE(s->containsObject(NSSTR("b")));
    EXPECT_FALSE(s->containsObject(nullptr));
    EXPECT_EQ(NSSet::set()->anyObject(), nullptr);
    EXPECT_EQ(NSSet::setWithObject(nullptr)->count(), 0u);
    EXPECT_TRUE(s->isEqual(NSSet::setWithArray(s->allObjects())));
}

TEST(Touch, UnhandledTouchesClimbTheResponderChain) {
    NSAutoreleasePool pool;
    auto root = make<Recorder>(CGRectMake(0, 0, 320, 480));
    auto middle = make(CGRectMake(20, 30, 200, 200));  // handles nothing itself
    auto leaf = make(CGRectMake(10, 10, 50, 50));
    root->addSubview(middle.get());
    middle->addSubview(leaf.get());

    bd::TouchDispatcher d;
    EXPECT_EQ(d.began(root.get(), CGPointMake(40, 50)), leaf.get());
    d.moved(CGPointMake(45, 52));
    d.ended(CGPointMake(46, 53));
    EXPECT_EQ(root->log, (std::vector<std::string>{"began", "moved", "ended"}));
    EXPECT_EQ(root->points[0], CGPointMake(40, 50));
    EXPECT_EQ(root->points[2], CGPointMake(46, 53));
    UITouch* t = root->last.get();
    EXPECT_EQ(t->view(), leaf.get());  // the view hit, though the root handled it
    EXPECT_EQ(t->window(), root.get());
    EXPECT_EQ(t->phase(), UITouchPhaseEnded);
    EXPECT_EQ(t->locationInView(leaf.get()), CGPointMake(16, 13));
    EXPECT_EQ(t->previousLocationInView(middle.get()), CGPointMake(25, 22));
    EXPECT_EQ(t->locationInView(nullptr), CGPointMake(46, 53));
    EXPECT_EQ(d.activeTouch(), nullptr);
    d.moved(CGPointMake(1, 1));  // no touch down: nothing is sent
    d.cancelled();
    EXPECT_EQ(root->log.size(), 3u);
    root->last = nullptr;  // the touch holds its window: let go of it
}

TEST(Touch, HitTestingSkipsViewsThatTakeNoTouches) {
    NSAutoreleasePool pool;
    auto root = make<Recorder>(CGRectMake(0, 0, 100, 100));
    auto back = make(CGRectMake(0, 0, 100, 100));
    auto picture = make<UIImageView>(CGRectMake(0, 0, 100, 100));
    root->addSubview(back.get());
    root->addSubview(picture.get());
    bd::TouchDispatcher d;
    EXPECT_EQ(d.began(root.get(), CGPointMake(5, 5)), back.get());  // image views take none
    picture->setUserInteractionEnabled(true);
    EXPECT_EQ(d.began(root.get(), CGPointMake(5, 5)), picture.get());
    picture->setHidden(true);
    EXPECT_EQ(d.began(root.get(), CGPointMake(5, 5)), back.get());
    back->setAlpha(0.001);
    EXPECT_EQ(d.began(root.get(), CGPointMake(5, 5)), root.get());
    back->setAlpha(1);
    back->setUserInteractionEnabled(false);
    EXPECT_EQ(d.began(root.get(), CGPointMake(5, 5)), root.get());
    // Each new touch cancelled the one before it.
    EXPECT_EQ(root->log,
              (std::vector<std::string>{"began", "cancelled", "began", "cancelled", "began",
                                        "cancelled", "began", "cancelled", "began"}));
    d.cancelled();
    size_t sent = root->log.size();
    EXPECT_EQ(d.began(root.get(), CGPointMake(150, 5)), nullptr);  // outside: nothing hit
    EXPECT_EQ(d.began(nullptr, CGPointMake(5, 5)), nullptr);
    EXPECT_EQ(root->log.size(), sent);
    root->setUserInteractionEnabled(false);
    EXPECT_EQ(d.began(root.get(), CGPointMake(5, 5)), nullptr);
    root->last = nullptr;
}

TEST(Touch, PointsAreInTheRootsFrameSpace) {
    NSAutoreleasePool pool;
    // A root scaled 2x about its centre inside a container: the container's space is the
    // touch's space.
    auto container = make(CGRectMake(0, 0, 1000, 1000));
    auto root = make<Recorder>(CGRectMake(100, 100, 200, 200));
    container->addSubview(root.get());
    root->setTransform(CGAffineTransformMakeScale(2, 2));  // frame is now (0, 0, 400, 400)
    auto leaf = make(CGRectMake(150, 150, 50, 50));
    root->addSubview(leaf.get());
    bd::TouchDispatcher d;
    EXPECT_EQ(d.began(root.get(), CGPointMake(320, 320)), leaf.get());
    EXPECT_EQ(root->points.back(), CGPointMake(160, 160));
    EXPECT_EQ(root->last->locationInView(leaf.get()), CGPointMake(10, 10));
    EXPECT_EQ(d.began(root.get(), CGPointMake(30, 30)), root.get());
    EXPECT_EQ(root->points.back(), CGPointMake(15, 15));
    d.ended(CGPointMake(30, 30));
    root->last = nullptr;
}

TEST(Touch, HandlersMayDropTheViewsAndStartAnotherTouch) {
    NSAutoreleasePool pool;
    struct Restarter : UIView {
        bd::TouchDispatcher* d = nullptr;
        int began = 0;
        void touchesBegan(NSSet*, UIEvent*) override { ++began; }
        void touchesEnded(NSSet*, UIEvent*) override {
            removeFromSuperview();  // may drop the last reference but the dispatcher's
            d->began(superviewOnce, CGPointMake(1, 1));
        }
        UIView* superviewOnce = nullptr;
    };
    bd::TouchDispatcher d;
    auto root = make(CGRectMake(0, 0, 100, 100));
    {
        auto r = make<Restarter>(CGRectMake(0, 0, 50, 50));
        r->d = &d;
        r->superviewOnce = root.get();
        root->addSubview(r.get());
    }
    UIView* hit = d.began(root.get(), CGPointMake(10, 10));
    ASSERT_NE(hit, nullptr);
    d.ended(CGPointMake(10, 10));  // the handler began a new touch on the root
    ASSERT_NE(d.activeTouch(), nullptr);
    EXPECT_EQ(d.activeTouch()->view(), root.get());
    d.cancelled();
}

}  // namespace
