// The frame loop: timing on a virtual clock, start/stop rules, lifetimes across the loop,
// the delayed load and the resource thread, and random storms of host calls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Foundation/NSLog.h"
#include "Foundation/NSRunLoop.h"
#include "Foundation/NSThread.h"
#include "QuartzCore/CABase.h"
#include "interface/DeskTopView.h"

namespace {

NSRunLoop* loop() {
    return NSRunLoop::mainRunLoop();
}

// Counts frames, loops and teardowns; checks that a frame never meets a torn-down view and
// that at most one loop of a view runs at a time.
struct Stats {
    std::atomic<int> frames{0}, loopsActive{0}, loopsEnded{0}, maxLoops{0}, deallocs{0};
    std::atomic<int> framesAfterDealloc{0}, offMainFrames{0}, offMainDeallocs{0};
    std::atomic<int> resourceRuns{0}, resourceDone{0};
};

struct LoopView : DeskTopView {
    Stats* st = nullptr;
    bd::VirtualMediaClock* clock = nullptr;
    double frameCost = 0;
    std::atomic<bool> dead{false};
    double resourceSleep = 0;

    void doAnimating() override {
        if (dead) st->framesAfterDealloc++;
        if (!NSThread::isMainThread()) st->offMainFrames++;
        st->frames++;
        if (clock && frameCost > 0) clock->advance(frameCost);
    }
    void runLoop() override {
        int n = ++st->loopsActive;
        int m = st->maxLoops.load();
        while (n > m && !st->maxLoops.compare_exchange_weak(m, n)) {
        }
        DeskTopView::runLoop();
        st->loopsActive--;
        st->loopsEnded++;
    }
    void initResource() override {
        st->resourceRuns++;
        if (resourceSleep > 0)
            std::this_thread::sleep_for(std::chrono::duration<double>(resourceSleep));
        st->resourceDone++;
    }

  protected:
    void dealloc() override {
        dead = true;
        if (!NSThread::isMainThread()) st->offMainDeallocs++;
        if (st->resourceRuns != st->resourceDone)
            st->framesAfterDealloc += 1000;  // resource thread still running
        st->deallocs++;
        DeskTopView::dealloc();
    }
};

LoopView* newView(Stats* st, bool keepDelayedLoad = false) {
    auto* v = static_cast<LoopView*>(alloc<LoopView>()->initWithFrame(CGRectMake(0, 0, 320, 480)));
    v->st = st;
    if (!keepDelayedLoad)
        NSObject::cancelPreviousPerformRequestsWithTarget(v, BD_SEL(DeskTopView, delayLoading),
                                                          nullptr);
    return v;
}

// Drives the run loop; on a virtual clock also lets blocked sleepers wake.
bool pump(const std::function<bool()>& cond, double timeout,
          bd::VirtualMediaClock* clock = nullptr) {
    return loop()->runUntil(
        [&] {
            if (clock) clock->advanceToNextWake();
            return cond();
        },
        timeout);
}

// First in this program: the line is written once per process. A frame loop whose host never
// runs the main run loop waits for its frame; after 2 s the host is told so in one line, and
// only once however often it happens again. A host that runs the loop hears nothing.
TEST(FrameLoop, AHostThatDoesNotRunTheMainRunLoopIsToldOnce) {
    std::mutex m;
    std::vector<std::string> told;
    bd::setLogCapture([&](const std::string& line) {
        std::lock_guard lk(m);
        if (line.find("main run loop") != std::string::npos) told.push_back(line);
    });
    auto toldCount = [&] {
        std::lock_guard lk(m);
        return told.size();
    };
    Stats st;
    LoopView* v = newView(&st);
    v->startAnimating();
    ASSERT_TRUE(loop()->runUntil([&] { return st.frames >= 10; }, 5));
    EXPECT_EQ(toldCount(), 0u);

    // The host stops running the loop: no frames, and after 2 s one line.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    int before = st.frames;
    EXPECT_EQ(toldCount(), 0u);  // not yet
    std::this_thread::sleep_for(std::chrono::milliseconds(2300));
    EXPECT_LE(st.frames - before, 0);
    ASSERT_EQ(toldCount(), 1u);
    {
        std::lock_guard lk(m);
        EXPECT_NE(told[0].find("DeskTopView: a frame has waited 2 s for the main thread"),
                  std::string::npos)
            << told[0];
    }

    // Running again, the frames come; a second long wait says nothing more.
    ASSERT_TRUE(loop()->runUntil([&] { return st.frames >= before + 10; }, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    EXPECT_EQ(toldCount(), 1u);
    v->stopAnimating();
    v->release();
    ASSERT_TRUE(loop()->runUntil([&] { return st.deallocs == 1 && st.loopsActive == 0; }, 5));
    bd::setLogCapture(nullptr);
}

TEST(FrameLoop, SleepsForTheRestOfTheFrame) {
    bd::VirtualMediaClock clock(0);
    bd::ScopedMediaClock scope(&clock);
    Stats st;
    for (double cost : {0.010, 0.025, 0.040}) {
        clock.set(0);
        clock.clearSleeps();
        LoopView* v = newView(&st);
        v->clock = &clock;
        v->frameCost = cost;
        int before = st.frames;
        v->startAnimating();
        ASSERT_TRUE(v->isAnimating());
        ASSERT_TRUE(pump([&] { return clock.sleeps().size() >= 3; }, 10, &clock))
            << "cost " << cost << " sleeps " << clock.sleeps().size() << " frames " << st.frames
            << " active " << st.loopsActive << " waiting " << clock.sleepersWaiting();
        auto sleeps = clock.sleeps();  // the sleeps of frames that ran
        v->stopAnimating();
        ASSERT_TRUE(pump([&] { return st.loopsActive == 0; }, 10, &clock));
        double want = cost < 0.025 ? 0.025 - cost : 0.001;
        EXPECT_NEAR(sleeps[0], want, 1e-9) << "frame cost " << cost;
        for (size_t i = 1; i < sleeps.size(); ++i) EXPECT_NEAR(sleeps[i], want, 1e-6);
        EXPECT_GE(st.frames - before, 3);
        v->release();
    }
    ASSERT_TRUE(pump([&] { return st.deallocs == 3; }, 10, &clock));
    EXPECT_EQ(st.framesAfterDealloc, 0);
    EXPECT_EQ(st.offMainFrames, 0);
    EXPECT_EQ(st.offMainDeallocs, 0);
}

TEST(FrameLoop, FirstFrameAtOnceAndStartStopIdempotent) {
    bd::VirtualMediaClock clock(0);
    bd::ScopedMediaClock scope(&clock);
    Stats st;
    LoopView* v = newView(&st);
    v->stopAnimating();  // idle: nothing happens
    EXPECT_FALSE(v->isAnimating());
    v->startAnimating();
    v->startAnimating();  // no second operation
    // The first frame arrives without any time passing.
    ASSERT_TRUE(loop()->runUntil([&] { return st.frames >= 1; }, 5));
    EXPECT_EQ(clock.now(), 0.0);
    ASSERT_TRUE(pump([&] { return st.frames >= 5; }, 10, &clock));
    EXPECT_EQ(st.maxLoops, 1);
    v->stopAnimating();
    EXPECT_FALSE(v->isAnimating());
    int atStop = st.frames;
    ASSERT_TRUE(pump([&] { return st.loopsActive == 0 && st.loopsEnded == 1; }, 10, &clock));
    EXPECT_LE(st.frames - atStop, 1);
    atStop = st.frames;
    for (int i = 0; i < 5; ++i) clock.advance(0.025), loop()->runForInterval(0.002);
    EXPECT_EQ(st.frames, atStop);
    v->release();
    ASSERT_TRUE(pump([&] { return st.deallocs == 1; }, 5, &clock));
}

TEST(FrameLoop, StopThenStartDuringSleepLeavesOneLoop) {
    bd::VirtualMediaClock clock(0);
    bd::ScopedMediaClock scope(&clock);
    Stats st;
    LoopView* v = newView(&st);
    v->startAnimating();
    // Let the first loop reach its sleep, then stop and restart while it sleeps.
    ASSERT_TRUE(loop()->runUntil([&] { return clock.sleepersWaiting() == 1; }, 5));
    v->pauseAnimating();
    v->resumeAnimating();
    EXPECT_TRUE(v->isAnimating());
    ASSERT_TRUE(pump([&] { return st.loopsEnded >= 1 && st.frames >= 10; }, 10, &clock));
    EXPECT_EQ(st.loopsEnded, 1);  // the old loop ended on waking
    EXPECT_EQ(st.maxLoops, 1);
    EXPECT_EQ(st.loopsActive, 1);
    v->stopAnimating();
    ASSERT_TRUE(pump([&] { return st.loopsActive == 0; }, 10, &clock));
    v->release();
    ASSERT_TRUE(pump([&] { return st.deallocs == 1; }, 5, &clock));
}

TEST(FrameLoop, ReleasingARunningViewEndsItsLoop) {
    bd::VirtualMediaClock clock(0);
    bd::ScopedMediaClock scope(&clock);
    Stats st;
    LoopView* v = newView(&st);
    v->startAnimating();
    ASSERT_TRUE(pump([&] { return st.frames >= 3; }, 5, &clock));
    v->release();  // the host lets go without stopping
    ASSERT_TRUE(pump([&] { return st.deallocs == 1 && st.loopsActive == 0; }, 5, &clock));
    EXPECT_EQ(st.framesAfterDealloc, 0);
}

TEST(FrameLoop, DelayedLoadAndResourceThreadKeepTheViewAlive) {
    Stats st;
    LoopView* v = newView(&st, /*keepDelayedLoad=*/true);
    v->resourceSleep = 0.2;
    v->release();  // within 0.5 s of construction
    loop()->runForInterval(0.3);
    EXPECT_EQ(st.deallocs, 0);  // the pending delayLoading holds it
    EXPECT_EQ(st.resourceRuns, 0);
    ASSERT_TRUE(loop()->runUntil([&] { return st.deallocs == 1; }, 5));
    EXPECT_EQ(st.resourceRuns, 1);
    EXPECT_EQ(st.resourceDone, 1);
    // dealloc() counts a teardown that began while initResource was still running.
    EXPECT_EQ(st.framesAfterDealloc, 0);
    EXPECT_EQ(st.offMainDeallocs, 0);
}

// Random host calls on one view; never more than one loop, never a frame on a dead view.
TEST(FrameLoopStress, RandomStartPauseResumeStop) {
    unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    Stats st;
    LoopView* v = newView(&st);
    for (int i = 0; i < 10000; ++i) {
        switch (rng() % 4) {
            case 0:
                v->startAnimating();
                break;
            case 1:
                v->pauseAnimating();
                break;
            case 2:
                v->resumeAnimating();
                break;
            case 3:
                v->stopAnimating();
                break;
        }
        unsigned r = rng() % 100;
        if (r < 30)
            loop()->runPending();
        else if (r == 99)
            loop()->runForInterval(0.002);
        if (st.maxLoops > 1) break;
    }
    EXPECT_EQ(st.maxLoops, 1) << "seed " << seed;
    v->stopAnimating();
    ASSERT_TRUE(loop()->runUntil([&] { return st.loopsActive == 0; }, 5)) << "seed " << seed;
    v->release();
    ASSERT_TRUE(loop()->runUntil([&] { return st.deallocs == 1; }, 5)) << "seed " << seed;
    EXPECT_EQ(st.framesAfterDealloc, 0) << "seed " << seed;
    EXPECT_EQ(st.offMainFrames, 0);
}

// Views released at random moments of their loop; every one must be torn down within the
// watchdog's 5 s, with no frame after teardown. Batches run side by side to keep it short.
TEST(FrameLoopStress, ReleaseRunningViewAtRandomMoments) {
    unsigned seed = std::random_device{}();
    std::mt19937 rng(seed);
    Stats st;
    const int kTrials = 1000, kBatch = 50;
    for (int b = 0; b < kTrials / kBatch; ++b) {
        std::vector<LoopView*> views;
        for (int i = 0; i < kBatch; ++i) {
            LoopView* v = newView(&st, rng() % 10 == 0);
            if (rng() % 2) v->startAnimating();
            views.push_back(v);
        }
        // Release in random order with random main-loop work in between.
        std::shuffle(views.begin(), views.end(), rng);
        for (LoopView* v : views) {
            unsigned r = rng() % 4;
            if (r == 0) loop()->runPending();
            if (r == 1) loop()->runForInterval((rng() % 30) / 1000.0 / kBatch * 4);
            if (r == 2 && rng() % 2) v->stopAnimating();
            v->release();
        }
        int want = (b + 1) * kBatch;
        ASSERT_TRUE(loop()->runUntil([&] { return st.deallocs == want; }, 5.0))
            << "watchdog: " << want - st.deallocs << " views not torn down, seed " << seed;
    }
    ASSERT_TRUE(loop()->runUntil([&] { return st.loopsActive == 0; }, 5.0)) << "seed " << seed;
    EXPECT_EQ(st.framesAfterDealloc, 0) << "seed " << seed;
    EXPECT_EQ(st.offMainDeallocs, 0) << "seed " << seed;
}

}  // namespace
