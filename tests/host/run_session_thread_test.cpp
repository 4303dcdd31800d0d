// `backdrop run`'s loop (host/RunSession) on SDL's dummy video driver, showing a wallpaper
// process's frames: it draws when the wallpaper changes and only then, no faster than its
// frame rate, and between changes both processes sleep until the tree's next change instead of
// polling.
#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "QuartzCore/CABase.h"
#include "RunSession.h"
#include "SDLWindow.h"
#include "host/scene/HostScene.h"
#include "host/wallpaper/WallpaperProcessPrivate.h"
#include "support/process.h"

namespace {

using Op = host::WallpaperRequest::Op;

// Turns of the loop in `seconds` that the wallpaper process's memory watch adds beyond one a
// second: none in a plain build; a sanitized build watches ten times a second (its child has
// no address-space limit) and the loop wakes for each look.
int extraWatchTurns(double seconds) {
    return int(seconds / host::detail::kMemoryWatch) - int(seconds);
}

double threadSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

class Session : public ::testing::Test {
  protected:
    void open(const std::string& bundle, int fps) {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        host::ScreenSpec screen{160, 284, 1};
        std::string error;
        window = host::SDLWindow::open("session test", screen.pixelWidth(), screen.pixelHeight(),
                                       true, &error);
        ASSERT_TRUE(window) << error;
        host::WallpaperOptions options;
        options.bundlePath = bdtest::bundlePath(bundle);
        options.executable = bdtest::toolPath();
        options.screen = screen;
        session = host::RunSession::start(
            options, *window, fps, "session test", [](const std::string&) {}, &error);
        ASSERT_TRUE(session) << error;
        ASSERT_TRUE(session->call(Op::startAnimating));
    }
    void TearDown() override {
        session.reset();
        window.reset();
    }
    // Turns for `seconds`, each allowed to sleep as long as it likes; returns how many.
    int turns(double seconds) {
        int n = 0;
        for (double end = CACurrentMediaTime() + seconds; CACurrentMediaTime() < end; ++n)
            session->turn(end - CACurrentMediaTime());
        return n;
    }
    bool animating() {
        host::WallpaperEvent e;
        return session->call(Op::isAnimating, &e) && e.value;
    }
    // Processor time of the wallpaper process (where frames are drawn).
    double childSeconds() { return session->wallpaper()->counters().cpuSeconds; }

    std::unique_ptr<host::SDLWindow> window;
    std::unique_ptr<host::RunSession> session;
};

}  // namespace

TEST_F(Session, DrawsWhenTheFlipBookChangesAndSleepsOnceItHasEnded) {
    open("AnimateDemo.bundle", 40);
    turns(0.3);
    // Ten pictures a second: about ten frames drawn, and the loop wakes about twice as often
    // (once to ask the wallpaper process for a frame, once to show it, and for the title), not
    // at its 40 frames a second.
    uint64_t r0 = session->renders(), p0 = session->presents();
    int n = turns(1.0);
    EXPECT_GE(session->presents() - p0, 7u);
    EXPECT_LE(session->presents() - p0, 13u);
    EXPECT_LE(session->renders() - r0, 14u);
    EXPECT_LE(n, 36 + extraWatchTurns(1.0))
        << "the loop polled instead of sleeping until the next picture";

    // After the run (3.1 s): nothing needs a frame; the loop sleeps through and uses next to
    // no processor time.
    turns(3.2);
    EXPECT_FALSE(animating());
    r0 = session->renders();
    double cpu0 = threadSeconds(), child0 = childSeconds();
    n = turns(1.0);
    EXPECT_EQ(session->renders(), r0) << "frames drawn for a static tree";
    EXPECT_LE(n, 3 + extraWatchTurns(1.0));
    EXPECT_LT(threadSeconds() - cpu0, 0.02);
    EXPECT_LT(childSeconds() - child0, 0.03) << "the wallpaper process kept busy";
    EXPECT_TRUE(session->idle());

    // A tap replays it: frames again.
    session->call(Op::tapActionAtViewPoint, nullptr, CGPointMake(80, 150));
    turns(0.5);
    EXPECT_GT(session->renders(), r0 + 2);
}

TEST_F(Session, AFrameLoopIsDrawnNoFasterThanTheFrameRate) {
    // The test wallpaper moves its square at every frame of its own 40 fps loop.
    open("TestWallpaper.bundle", 20);
    turns(0.3);
    uint64_t p0 = session->presents();
    turns(1.0);
    uint64_t drawn = session->presents() - p0;
    EXPECT_GE(drawn, 12u);
    EXPECT_LE(drawn, 21u) << "more frames than --fps allows";
    session->call(Op::stopAnimating);
    turns(0.2);
    p0 = session->presents();
    turns(0.5);
    EXPECT_EQ(session->presents(), p0) << "frames after the wallpaper stopped";
}
