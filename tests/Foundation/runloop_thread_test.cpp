// The object model's runtime: reference counts and pools, delayed and main-thread performs,
// the main run loop, detached threads, operation queues and the media clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "Foundation/NSOperation.h"
#include "Foundation/NSRunLoop.h"
#include "Foundation/NSThread.h"
#include "QuartzCore/CABase.h"

namespace {

NSRunLoop* loop() {
    return NSRunLoop::mainRunLoop();
}

std::atomic<int> gDeallocs{0};

struct Probe : NSObject {
    std::atomic<int> hits{0};
    std::atomic<bool> onMain{false};
    NSObject* lastArg = nullptr;
    void hit() {
        onMain = NSThread::isMainThread();
        hits++;
    }
    void hitWith(NSObject* o) {
        lastArg = o;
        hits++;
    }
    void slowHit() {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        hits++;
    }

  protected:
    void dealloc() override {
        gDeallocs++;
        NSObject::dealloc();
    }
};

TEST(ObjectModel, RetainReleaseAndPools) {
    int d0 = gDeallocs;
    Probe* p = alloc<Probe>();
    p->retain();
    EXPECT_EQ(p->retainCount(), 2);
    p->release();
    {
        NSAutoreleasePool outer;
        p->autorelease();
        {
            NSAutoreleasePool inner;
            Probe* q = alloc<Probe>();
            q->autorelease();
        }
        EXPECT_EQ(gDeallocs, d0 + 1);  // inner pool released q only
        outer.drain();
        EXPECT_EQ(gDeallocs, d0 + 2);
    }
}

TEST(ObjectModel, FallbackPoolOfAThreadDrainsAtExit) {
    int d0 = gDeallocs;
    std::thread([] { alloc<Probe>()->autorelease(); }).join();
    EXPECT_EQ(gDeallocs, d0 + 1);
}

#if defined(BD_DEBUG_CHECKS)
TEST(ObjectModelDeathTest, ReleaseBelowZeroAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Probe* p = alloc<Probe>();
            p->retain();
            p->release();
            p->release();
            p->release();
        },
        "deallocated|zero|use-after-free");  // ASan reports it first
}

// The check names the function that was called off the main thread and where the check is.
TEST(ObjectModelDeathTest, MainThreadCheckNamesFunctionAndPlace) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(std::thread([] { loop()->runPending(); }).join(),
                 "runPending called off the main thread \\(.*NSRunLoop\\.cpp:[0-9]+\\)");
}
#endif

TEST(Perform, DelayedPerformRetainsAndRuns) {
    Probe* p = alloc<Probe>();
    Probe* arg = alloc<Probe>();
    p->performSelector(BD_SEL(Probe, hitWith), arg, 0.05);
    EXPECT_EQ(p->retainCount(), 2);
    EXPECT_EQ(arg->retainCount(), 2);
    loop()->runForInterval(0.01);
    EXPECT_EQ(p->hits, 0);
    ASSERT_TRUE(loop()->runUntil([&] { return p->hits == 1; }, 2));
    EXPECT_EQ(p->lastArg, arg);
    EXPECT_EQ(p->retainCount(), 1);
    EXPECT_EQ(arg->retainCount(), 1);
    p->release();
    arg->release();
}

TEST(Perform, CancelMatchesTargetSelectorAndObject) {
    Probe* p = alloc<Probe>();
    Probe* other = alloc<Probe>();
    Probe* arg = alloc<Probe>();
    p->performSelector(BD_SEL(Probe, hit), nullptr, 0.02);
    p->performSelector(BD_SEL(Probe, hitWith), arg, 0.02);
    other->performSelector(BD_SEL(Probe, hit), nullptr, 0.02);
    // A null object matches only the request with a null argument.
    NSObject::cancelPreviousPerformRequestsWithTarget(p, BD_SEL(Probe, hitWith), nullptr);
    NSObject::cancelPreviousPerformRequestsWithTarget(p, BD_SEL(Probe, hit), nullptr);
    EXPECT_EQ(p->retainCount(), 2);  // the hitWith request still holds it
    loop()->runForInterval(0.1);
    EXPECT_EQ(p->hits, 1);
    EXPECT_EQ(p->lastArg, arg);
    EXPECT_EQ(other->hits, 1);
    EXPECT_EQ(p->retainCount(), 1);
    // Cancelling releases what the request held.
    p->performSelector(BD_SEL(Probe, hitWith), arg, 10);
    EXPECT_EQ(arg->retainCount(), 2);
    NSObject::cancelPreviousPerformRequestsWithTarget(p, BD_SEL(Probe, hitWith), arg);
    EXPECT_EQ(arg->retainCount(), 1);
    EXPECT_EQ(p->retainCount(), 1);
    p->release();
    other->release();
    arg->release();
}

TEST(Perform, OnMainThreadWaitsAndRunsInlineOnMain) {
    Probe* p = alloc<Probe>();
    p->performSelectorOnMainThread(BD_SEL(Probe, hit), nullptr, true);
    EXPECT_EQ(p->hits, 1);  // inline
    std::atomic<bool> back{false};
    std::thread t([&] {
        p->performSelectorOnMainThread(BD_SEL(Probe, slowHit), nullptr, true);
        back = p->hits == 2;  // waited for the call to return
        p->performSelectorOnMainThread(BD_SEL(Probe, hit), nullptr, false);
    });
    ASSERT_TRUE(loop()->runUntil([&] { return p->hits == 3; }, 5));
    t.join();
    EXPECT_TRUE(back);
    EXPECT_TRUE(p->onMain);
    loop()->runPending();
    EXPECT_EQ(p->retainCount(), 1);
    p->release();
}

TEST(RunLoop, TimersInOrderAndCancelById) {
    std::vector<int> order;
    double now = CACurrentMediaTime();
    loop()->addTimer(now + 0.03, [&] { order.push_back(3); });
    auto id = loop()->addTimer(now + 0.02, [&] { order.push_back(2); });
    loop()->addTimer(now + 0.01, [&] { order.push_back(1); });
    EXPECT_TRUE(loop()->cancelTimer(id));
    EXPECT_FALSE(loop()->cancelTimer(id));
    ASSERT_TRUE(loop()->runUntil([&] { return order.size() == 2; }, 2));
    EXPECT_EQ(order, (std::vector<int>{1, 3}));
    bool ran = false;
    loop()->post([&] { ran = true; });
    loop()->runPending();
    EXPECT_TRUE(ran);
}

struct CountingWaiter : NSRunLoopWaiter {
    std::atomic<int> waits{0}, wakes{0};
    void wait(double s) override {
        waits++;
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(s, 0.002)));
    }
    void wake() override { wakes++; }
};

TEST(RunLoop, PluggableWaiter) {
    CountingWaiter w;
    loop()->setWaiter(&w);
    std::atomic<bool> ran{false};
    std::thread t([&] { loop()->post([&] { ran = true; }); });
    EXPECT_TRUE(loop()->runUntil([&] { return ran.load(); }, 2));
    t.join();
    loop()->setWaiter(nullptr);
    EXPECT_GE(w.wakes, 1);
}

TEST(Threads, DetachRetainsTargetUntilReturnAndReleasesOnMain) {
    int d0 = gDeallocs;
    Probe* p = alloc<Probe>();
    NSThread::detachNewThreadSelector(BD_SEL(Probe, slowHit), p, nullptr);
    p->release();  // the thread holds it
    EXPECT_EQ(gDeallocs, d0);
    ASSERT_TRUE(loop()->runUntil([&] { return gDeallocs == d0 + 1; }, 5));
}

struct Op : NSOperation {
    std::atomic<int>* ran;
    std::atomic<int>* concurrent;
    std::atomic<int>* maxConcurrent;
    bool* sawMain = nullptr;
    void main() override {
        int n = ++*concurrent;
        int m = maxConcurrent->load();
        while (n > m && !maxConcurrent->compare_exchange_weak(m, n)) {
        }
        if (sawMain) *sawMain = NSThread::isMainThread();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --*concurrent;
        ++*ran;
    }
};

TEST(OperationQueue, RunsOffMainRespectsCancelAndLimit) {
    std::atomic<int> ran{0}, conc{0}, maxc{0};
    bool sawMain = true;
    auto q = adopt(alloc<NSOperationQueue>());
    q->setMaxConcurrentOperationCount(1);
    q->setSuspended(true);
    std::vector<Op*> ops;
    for (int i = 0; i < 20; ++i) {
        Op* op = alloc<Op>();
        op->ran = &ran, op->concurrent = &conc, op->maxConcurrent = &maxc;
        if (i == 0) op->sawMain = &sawMain;
        q->addOperation(op);
        ops.push_back(op);
    }
    EXPECT_EQ(q->operationCount(), 20u);
    ops[5]->cancel();
    ops[6]->cancel();
    q->setSuspended(false);
    q->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(ran, 18);  // cancelled before start: finished without running main
    EXPECT_EQ(maxc, 1);
    EXPECT_FALSE(sawMain);
    for (Op* op : ops) {
        EXPECT_TRUE(op->isFinished());
        EXPECT_EQ(op->retainCount(), 1);  // the queue let go
        op->release();
    }
    EXPECT_EQ(q->operationCount(), 0u);
}

TEST(OperationQueue, ConcurrentByDefaultAndCancelAll) {
    std::atomic<int> ran{0}, conc{0}, maxc{0};
    auto q = adopt(alloc<NSOperationQueue>());
    for (int i = 0; i < 8; ++i) {
        auto op = adopt(alloc<Op>());
        op->ran = &ran, op->concurrent = &conc, op->maxConcurrent = &maxc;
        q->addOperation(op.get());  // the queue retains it
    }
    q->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(ran, 8);
    EXPECT_GE(maxc, 1);
    q->setSuspended(true);
    for (int i = 0; i < 4; ++i) {
        auto op = adopt(alloc<Op>());
        op->ran = &ran, op->concurrent = &conc, op->maxConcurrent = &maxc;
        q->addOperation(op.get());
    }
    q->cancelAllOperations();
    q->setSuspended(false);
    q->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(ran, 8);
}

TEST(MediaClock, VirtualSleepBlocksUntilAdvanced) {
    bd::VirtualMediaClock clock(5);
    bd::ScopedMediaClock scope(&clock);
    EXPECT_EQ(CACurrentMediaTime(), 5.0);
    std::atomic<bool> woke{false};
    std::thread t([&] {
        NSThread::sleepForTimeInterval(0.5);
        woke = true;
    });
    while (clock.sleepersWaiting() == 0) std::this_thread::yield();
    clock.advance(0.3);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(woke);
    clock.advance(0.2);
    t.join();
    EXPECT_TRUE(woke);
    EXPECT_EQ(clock.sleeps(), std::vector<double>{0.5});
    clock.setAutoAdvance(true);
    NSThread::sleepForTimeInterval(1.0);
    EXPECT_DOUBLE_EQ(clock.now(), 6.5);
}

TEST(MediaClock, RealSleepIsAccurate) {
    double t0 = CACurrentMediaTime();
    NSThread::sleepForTimeInterval(0.025);
    double dt = CACurrentMediaTime() - t0;
    EXPECT_GE(dt, 0.025);
    EXPECT_LT(dt, 0.2);                  // generous: shared build machines
    NSThread::sleepForTimeInterval(-1);  // nothing
    NSThread::sleepForTimeInterval(std::nan(""));
}

}  // namespace
