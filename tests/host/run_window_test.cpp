// `backdrop run` in a real window: under Xvfb, with clicks and keys from xdotool and a
// screenshot read back through Xlib.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "support/bundles.h"
#include "support/files.h"
#include "support/golden.h"
#include "support/pictures.h"
#include "support/process.h"

// x11_screenshot.cpp: the window's pixels as opaque ARGB32 (caller owns them), or null.
CGImageRef screenshot(const std::string& display, unsigned long window);

namespace {

using Clock = std::chrono::steady_clock;

// Reads the child's output until it holds `needle` (after position from), or time runs out.
bool waitForText(bdtest::Child& c, std::string* out, const std::string& needle, size_t from,
                 double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        bdtest::readSome(c, out);
        if (out->find(needle, from) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

struct Xvfb {
    bdtest::Child server;
    std::string display;
    bool start() {
        // -displayfd picks a free display and writes its number to our pipe.
        server = bdtest::spawn(
            {"Xvfb", "-displayfd", "1", "-screen", "0", "640x800x24", "-nolisten", "tcp"}, {},
            true);
        std::string out;
        auto end = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < end && out.find('\n') == std::string::npos) {
            bdtest::readSome(server, &out);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (out.find('\n') == std::string::npos) return false;
        display = ":" + out.substr(0, out.find('\n'));
        return true;
    }
    ~Xvfb() {
        if (server.pid > 0) {
            kill(server.pid, SIGTERM);
            bdtest::waitFor(server, 5);
        }
    }
};

// The share of pixels that differ by more than 16 in some channel; 1 when the sizes differ.
double differingShare(CGImageRef a, CGImageRef b) {
    if (!a || !b || a->width() != b->width() || a->height() != b->height()) return 1;
    size_t bad = 0;
    for (size_t y = 0; y < a->height(); ++y) {
        const uint8_t* ra = a->bytes() + y * a->bytesPerRow();
        const uint8_t* rb = b->bytes() + y * b->bytesPerRow();
        for (size_t x = 0; x < a->width(); ++x)
            for (int c = 0; c < 3; ++c)
                if (std::abs(ra[x * 4 + size_t(c)] - rb[x * 4 + size_t(c)]) > 16) {
                    ++bad;
                    break;
                }
    }
    return double(bad) / double(a->width() * a->height());
}

// Processor time (user and system) a live process has used, from /proc.
double processCpuSeconds(pid_t pid) {
    std::string stat = bdtest::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stoull(f);
        if (i == 15) stime = std::stoull(f);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

}  // namespace

TEST(RunWindow, ShowsTheWallpaperTakesClicksAndPausesWhenHidden) {
    if (!bdtest::onPath("Xvfb"))
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh installs xvfb); "
                        "the live window is not tested";
    ASSERT_TRUE(bdtest::onPath("xdotool")) << "xdotool is missing (scripts/install-deps.sh)";
    const std::string bundle = bdtest::bundlePath("AnimateDemo.bundle");
    const std::string screen = "320x480@1";

    // What the window should show once the flip-book is stopped: the same scene rendered
    // headless, stopped at once.
    bdtest::TempDir tmp("run-window");
    std::string dir = tmp.path();
    ASSERT_EQ(
        bdtest::run({bdtest::toolPath(), "render", bundle, "-o", dir + "/ref.webp", "--screen",
                     screen, "--seconds", "0.05", "--script", "0:stop", "--frames", dir}),
        0);
    Ref<CGImage> reference = adopt(bdtest::loadPNG(dir + "/frame-0000.png"));
    ASSERT_TRUE(reference);

    Xvfb x;
    ASSERT_TRUE(x.start()) << "Xvfb did not start";
    // (SDL 2.26 keeps a D-Bus connection to the end of the process, which a leak checker would
    // report; the tool's own leaks are checked by the render tests.)
    const std::vector<std::string> env = {"DISPLAY=" + x.display, "SDL_AUDIODRIVER=dummy",
                                          "WAYLAND_DISPLAY=", "LSAN_OPTIONS=detect_leaks=0"};
    bdtest::Child app =
        bdtest::spawn({bdtest::toolPath(), "run", bundle, "--screen", screen}, env, true);
    ASSERT_GT(app.pid, 0);
    std::string out;
    ASSERT_TRUE(waitForText(app, &out, "running ", 0, 15)) << out;
    // Every call the tool makes to the wallpaper is printed, the first one too.
    EXPECT_TRUE(waitForText(app, &out, "\n> startAnimating\n", 0, 10)) << out;

    std::string id;
    ASSERT_EQ(bdtest::run({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^Backdrop"},
                          &id, nullptr, env, 15),
              0);
    id = id.substr(0, id.find('\n'));
    unsigned long window = std::strtoul(id.c_str(), nullptr, 10);
    ASSERT_NE(window, 0u);

    // Stop the flip-book, then the window shows the still scene.
    size_t mark = out.size();
    ASSERT_EQ(bdtest::run({"xdotool", "key", "--window", id, "s"}, nullptr, nullptr, env), 0);
    ASSERT_TRUE(waitForText(
        app, &out, "> isAnimating -> yes\n> stopAnimating\n> isAnimating -> no\n", mark, 10))
        << out;
    double share = 1;
    auto end = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < end) {
        Ref<CGImage> shot = adopt(screenshot(x.display, window));
        share = differingShare(shot.get(), reference.get());
        if (share < 0.02) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_LT(share, 0.02) << "the window does not show the wallpaper as rendered headless";

    // A click is a touch; the sample wallpaper plays its flip-book again.
    mark = out.size();
    ASSERT_EQ(bdtest::run({"xdotool", "mousemove", "--window", id, "160", "300", "click", "1"},
                          nullptr, nullptr, env),
              0);
    EXPECT_TRUE(waitForText(app, &out, "> touchBegan (160, 300) -> ", mark, 10)) << out;
    EXPECT_TRUE(waitForText(app, &out, "> isAnimating -> yes", mark, 10)) << out;
    EXPECT_TRUE(waitForText(app, &out, "> touchEnded (160, 300)\n", mark, 10)) << out;

    // Once the flip-book has ended nothing changes: no frame is drawn, the title says so and
    // the process sleeps (less than 0.05 s of processor time over 5 s).
    auto title = [&] {
        std::string name;
        bdtest::run({"xdotool", "getwindowname", id}, &name, nullptr, env, 10);
        return name;
    };
    auto waitForTitle = [&](bool idle, double seconds) {
        auto until = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < until) {
            if ((title().find("idle") != std::string::npos) == idle) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    };
    // The title said idle before the tap and changes only every so often: frames first, then
    // idle again once the flip-book has ended.
    EXPECT_TRUE(waitForTitle(false, 5)) << "no frames after the tap: " << title();
    ASSERT_TRUE(waitForTitle(true, 10)) << "never idle: " << title();
    Ref<CGImage> still = adopt(screenshot(x.display, window));
    double cpu0 = processCpuSeconds(app.pid);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    double idleCpu = processCpuSeconds(app.pid) - cpu0;
    // A sanitized build looks at the wallpaper process's memory ten times a second, each look
    // slowed by the sanitizer: it gets three times the allowance, still far below a busy loop.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr double kIdleAllowance = 0.15;
#else
    constexpr double kIdleAllowance = 0.05;
#endif
    EXPECT_LT(idleCpu, kIdleAllowance) << "an idle wallpaper kept the process busy";
    EXPECT_NE(title().find("idle"), std::string::npos);
    Ref<CGImage> stillLater = adopt(screenshot(x.display, window));
    EXPECT_EQ(differingShare(still.get(), stillLater.get()), 0);

    // A tap plays the flip-book again: frames are drawn and the window changes.
    mark = out.size();
    ASSERT_EQ(bdtest::run({"xdotool", "mousemove", "--window", id, "160", "300", "click", "1"},
                          nullptr, nullptr, env),
              0);
    EXPECT_TRUE(waitForText(app, &out, "> isAnimating -> yes", mark, 10)) << out;
    EXPECT_TRUE(waitForTitle(false, 5)) << "no frames after the tap: " << title();
    double changed = 0;
    for (auto until = Clock::now() + std::chrono::seconds(3);
         Clock::now() < until && changed == 0;) {
        Ref<CGImage> shot = adopt(screenshot(x.display, window));
        changed = differingShare(still.get(), shot.get());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_GT(changed, 0) << "the window does not show the flip-book playing again";

    // Hidden, the wallpaper pauses; shown again, it resumes.
    mark = out.size();
    ASSERT_EQ(bdtest::run({"xdotool", "windowunmap", id}, nullptr, nullptr, env), 0);
    EXPECT_TRUE(waitForText(app, &out, "window hidden: paused", mark, 10)) << out;
    ASSERT_EQ(bdtest::run({"xdotool", "windowmap", id}, nullptr, nullptr, env), 0);
    EXPECT_TRUE(waitForText(app, &out, "window shown: resumed", mark, 10)) << out;
    EXPECT_NE(out.find("> pauseAnimating\n", mark), std::string::npos) << out;
    EXPECT_NE(out.find("> resumeAnimating\n", mark), std::string::npos) << out;
    // Calls, not frames: two flip-book plays drew many frames and printed no line for them.
    size_t calls = 0;
    for (size_t at = out.find("\n> "); at != std::string::npos; at = out.find("\n> ", at + 1))
        ++calls;
    EXPECT_GT(calls, 8u);
    EXPECT_LT(calls, 40u) << out;

    // A window mapped again without a window manager leaves the focus on the pointer's root,
    // where xdotool fails to send (BadWindow): the window gets the focus first. The tool quits
    // on the key press, so xdotool may then fail to send the release to a window that is gone:
    // whether the tool quit is what counts, and the key is sent again only while it runs.
    int code = -1;
    std::string why;
    for (int attempt = 0; attempt < 5 && code < 0; ++attempt) {
        why.clear();
        bdtest::run({"xdotool", "windowfocus", id}, nullptr, nullptr, env);
        bdtest::run({"xdotool", "key", "--window", id, "q"}, nullptr, &why, env);
        for (auto until = Clock::now() + std::chrono::seconds(2); code < 0 && Clock::now() < until;
             std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            int status = 0;
            if (waitpid(app.pid, &status, WNOHANG) == app.pid)
                code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
    bdtest::readSome(app, &out);
    if (code < 0) {
        bdtest::waitFor(app, 1);  // not quit: ended here
    } else {
        close(app.out);
        app = {};
    }
    EXPECT_EQ(code, 0) << "xdotool said: " << why << "\nthe tool said:\n" << out;
}

// --tap-on-click makes a click a tap; --watch reloads the wallpaper in a fresh process when the
// bundle's library is replaced (as a rebuild replaces it), within a second, at the same scale.
TEST(RunWindow, ClicksAsTapsAndWatchReloadsAfterTheLibraryChanges) {
    if (!bdtest::onPath("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(bdtest::onPath("xdotool"));
    bdtest::TempDir dir("watch");
    std::string bundle = dir / "W.bundle";
    std::filesystem::copy(bdtest::testBundle("TestWallpaper"), bundle);
    Xvfb x;
    ASSERT_TRUE(x.start());
    const std::vector<std::string> env = {"DISPLAY=" + x.display, "SDL_AUDIODRIVER=dummy",
                                          "WAYLAND_DISPLAY=", "LSAN_OPTIONS=detect_leaks=0"};
    bdtest::Child app = bdtest::spawn({bdtest::toolPath(), "run", bundle, "--watch",
                                       "--tap-on-click", "--no-icons", "--screen", "320x400@1"},
                                      env, true);
    std::string out;
    ASSERT_TRUE(waitForText(app, &out, "watching the bundle", 0, 15)) << out;
    std::string id;
    ASSERT_EQ(bdtest::run({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^Backdrop"},
                          &id, nullptr, env, 15),
              0);
    id = id.substr(0, id.find('\n'));
    size_t mark = out.size();
    ASSERT_EQ(bdtest::run({"xdotool", "mousemove", "--window", id, "100", "200", "click", "1"},
                          nullptr, nullptr, env),
              0);
    EXPECT_TRUE(
        waitForText(app, &out, "> tapActionAtViewPoint (100, 200) -> UIImageView\n", mark, 10))
        << out;
    EXPECT_EQ(out.find("> touchBegan", mark), std::string::npos) << out;

    // A rebuild: the library written anew beside the old one and renamed over it.
    mark = out.size();
    std::string library = bundle + "/TestWallpaper.so";
    std::filesystem::copy_file(library, library + ".new");
    std::filesystem::rename(library + ".new", library);
    auto changed = Clock::now();
    ASSERT_TRUE(waitForText(app, &out, "restarted the wallpaper", mark, 10)) << out;
    EXPECT_LT(Clock::now() - changed, std::chrono::seconds(2)) << out;
    EXPECT_NE(out.find("the bundle changed: reloading the wallpaper", mark), std::string::npos);
    // Reloaded once for the one change, and still running afterwards.
    mark = out.size();
    ASSERT_EQ(bdtest::run({"xdotool", "key", "--window", id, "f"}, nullptr, nullptr, env), 0);
    EXPECT_TRUE(waitForText(app, &out, "doAnimating", mark, 10)) << out;
    EXPECT_EQ(out.find("reloading", mark), std::string::npos) << out;

    // SDL takes SIGTERM as a request to quit.
    kill(app.pid, SIGTERM);
    EXPECT_EQ(bdtest::waitFor(app, 10), 0);
}

TEST(RunWindow, WithoutADisplayItSaysSoAndFails) {
    std::string err;
    int code = bdtest::run({bdtest::toolPath(), "run", bdtest::bundlePath("TestWallpaper.bundle")},
                           nullptr, &err, {"DISPLAY=", "WAYLAND_DISPLAY=", "SDL_VIDEODRIVER="});
    EXPECT_EQ(code, 1);
    EXPECT_NE(err.find("no display"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}
