// `backdrop desktop` and `backdrop ctl` on Wayland, end to end: the tool's daemon against
// headless sway run as nobody (and a sway nested in one, whose outputs can be unplugged),
// real wallpaper processes, grim screenshots against `backdrop render` of the same bundle,
// fullscreen pauses, crashes, the compositor dying, and headless weston (no layer-shell) with
// the still picture, in a GNOME session too (gsettings in a key file of the test's own).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/bundles.h"
#include "support/desktop.h"
#include "support/golden.h"
#include "support/pictures.h"
#include "support/process.h"
#include "support/wayland.h"
#include "support/xservers.h"

namespace {

using bdtest::jsonField;
using bdtest::waitUntil;

// One daemon with private runtime, state and data folders on a Wayland socket.
struct Desktop {
    std::string socket;
    std::vector<std::string> extraEnv;
    bdtest::TempDir tmp{"wl-desktop"};
    std::string dir = tmp.path();
    bdtest::Child daemon;
    explicit Desktop(std::string s, std::vector<std::string> extra = {})
        : socket(std::move(s)), extraEnv(std::move(extra)) {
        std::filesystem::create_directories(dir + "/run");
        std::filesystem::permissions(dir + "/run", std::filesystem::perms::owner_all);
    }
    ~Desktop() { stop(); }
    std::vector<std::string> env() const {
        std::vector<std::string> e{
            "WAYLAND_DISPLAY=" + socket, "DISPLAY=", "XDG_RUNTIME_DIR=" + dir + "/run",
            "XDG_STATE_HOME=" + dir + "/state", "XDG_DATA_HOME=" + dir + "/data"};
        e.insert(e.end(), extraEnv.begin(), extraEnv.end());
        return e;
    }
    void launch(const std::vector<std::string>& args) {
        std::vector<std::string> argv{bdtest::toolPath(), "desktop"};
        argv.insert(argv.end(), args.begin(), args.end());
        daemon = bdtest::spawn(argv, env(), false, dir + "/daemon.log");
    }
    // Starts the daemon; true once it answers.
    bool start(const std::vector<std::string>& args) {
        launch(args);
        return waitUntil(15, [&] { return ctl({"query"}) == 0; });
    }
    void stop() {
        if (daemon.pid <= 0) return;
        kill(daemon.pid, SIGTERM);
        bdtest::waitFor(daemon, 10);
    }
    int ctl(const std::vector<std::string>& args, std::string* out = nullptr,
            std::string* err = nullptr) {
        std::vector<std::string> argv{bdtest::toolPath(), "ctl"};
        argv.insert(argv.end(), args.begin(), args.end());
        return bdtest::run(argv, out, err, env(), 20);
    }
    std::string query() {
        std::string out;
        ctl({"query", "--json"}, &out);
        return out;
    }
    // A field of the first output (or of the output named `output`).
    std::string field(const std::string& key, const std::string& output = "") {
        std::string q = query();
        size_t at = output.empty() ? q.find("\"outputs\"") : q.find("\"name\":\"" + output + "\"");
        return at == std::string::npos ? "" : jsonField(q, key, at);
    }
    std::string log() { return bdtest::readFile(dir + "/daemon.log"); }
};

// One frame of `backdrop render` of a bundle on a screen at second `at` (whole seconds).
CGImageRef rendered(const std::string& bundle, const std::string& screen, int at,
                    const std::string& dir) {
    std::string frames = dir + "/frames";
    if (bdtest::run({bdtest::toolPath(), "render", bundle, "-o", dir + "/p.webp", "--screen",
                     screen, "--seconds", std::to_string(at + 1), "--fps", "1", "--no-icons",
                     "--frames", frames}) != 0)
        return nullptr;
    char name[32];
    std::snprintf(name, sizeof name, "/frame-%04d.png", at);
    return bdtest::loadPNG(frames + name);
}

bool alive(pid_t pid) {
    return pid > 0 && kill(pid, 0) == 0 &&
           bdtest::readFile("/proc/" + std::to_string(pid) + "/stat").find(") Z") ==
               std::string::npos;
}

}  // namespace

TEST(DesktopWaylandDaemon, ShowsTheWallpaperKeepsItThroughKillsAndEndsWithTheCompositor) {
    bdtest::SwayHeadless sway;
    if (!sway.start({{640, 480}})) GTEST_SKIP() << "no headless sway";
    Desktop d(sway.socket);
    ASSERT_TRUE(d.start({bdtest::demoBundle(), "--idle-after", "0", "--no-pause-on-battery"}))
        << d.log();
    std::string q = d.query();
    EXPECT_EQ(jsonField(q, "backend"), "wayland");
    EXPECT_EQ(d.field("name"), "HEADLESS-1");
    EXPECT_EQ(d.field("width"), "640");

    // The flip-book plays once, then the picture holds still: the output shows what `render`
    // draws for a 320-point screen at 640 / 320 = 2 pixels per point.
    CGImageRef expected = rendered(bdtest::demoBundle(), "320x240@2", 5, d.dir);
    ASSERT_TRUE(expected);
    ASSERT_TRUE(waitUntil(15, [&] { return d.field("fps") == "0.0"; })) << d.query();
    double share = 1;
    EXPECT_TRUE(waitUntil(5,
                          [&] {
                              CGImageRef shot = sway.screenshot("HEADLESS-1");
                              share = bdtest::differingShare(shot, expected);
                              CGImageRelease(shot);
                              return share < 0.01;
                          }))
        << "share of differing pixels " << share;

    // kill -9 of the wallpaper process: its last buffer stays on the output.
    pid_t child = pid_t(std::stol(d.field("pid")));
    ASSERT_GT(child, 0);
    CGImageRef before = sway.screenshot("HEADLESS-1");
    kill(child, SIGKILL);
    ASSERT_TRUE(waitUntil(5, [&] { return !alive(child); }));
    CGImageRef during = sway.screenshot("HEADLESS-1");
    EXPECT_LT(bdtest::differingShare(before, during), 0.01);
    CGImageRelease(during);
    CGImageRelease(before);
    // The restart draws again: its flip-book plays from the start.
    ASSERT_TRUE(waitUntil(10, [&] {
        return d.field("restarts") == "1" && d.field("state") == "playing";
    })) << d.query();
    EXPECT_NE(d.field("pid"), std::to_string(child));
    EXPECT_TRUE(waitUntil(10, [&] { return d.field("fps") != "0.0"; })) << d.query();
    CGImageRelease(expected);

    // The compositor dies: the daemon says why, ends its wallpaper process and exits 1 (the
    // session's service manager decides what next).
    child = pid_t(std::stol(d.field("pid")));
    sway.stop();
    EXPECT_EQ(bdtest::waitFor(d.daemon, 10), 1);
    EXPECT_NE(d.log().find("connection"), std::string::npos) << d.log();
    EXPECT_FALSE(alive(child));
}

// The test wallpaper moves a white square over a still background: the surface is damaged only
// where each frame changed, buffers the compositor still holds are not drawn into, and the
// output ends up with one square and no trail of the ones before.
TEST(DesktopWaylandDaemon, DamagesOnlyWhatChangedAndLeavesNoTrail) {
    bdtest::SwayHeadless sway;
    if (!sway.start({{640, 480}})) GTEST_SKIP() << "no headless sway";
    Desktop d(sway.socket);
    ASSERT_TRUE(d.start({bdtest::testBundle("TestWallpaper"), "--idle-after", "0",
                         "--no-pause-on-battery", "--fps", "40"}))
        << d.log();
    auto number = [&](const char* key) {
        std::string v = d.field(key);
        return v.empty() ? 0.0 : std::stod(v);
    };
    ASSERT_TRUE(waitUntil(10, [&] { return number("frames") >= 30; })) << d.query();
    std::string q = d.query();
    size_t at = q.find("\"outputs\"");
    double frames = std::stod(jsonField(q, "frames", at));
    double pixels = std::stod(jsonField(q, "pixels_sent", at));
    double perFrame = (pixels - 640 * 480) / (frames - 1);
    EXPECT_GT(perFrame, 80 * 80) << q;
    EXPECT_LT(perFrame, 640 * 480 / 20) << q;

    // Screenshots while it plays: every one shows a single solid square.
    for (int i = 0; i < 3; ++i) {
        CGImageRef shot = sway.screenshot("HEADLESS-1");
        ASSERT_TRUE(shot);
        bdtest::WhiteBox box = bdtest::whiteBox(shot);
        CGImageRelease(shot);
        EXPECT_GT(box.count, 0u) << i;
        EXPECT_EQ(box.count, box.area()) << i;
        EXPECT_EQ(box.y1 - box.y0 + 1, 80) << i;
        EXPECT_LE(box.x1 - box.x0 + 1, 80) << i;
    }
    EXPECT_EQ(d.ctl({"pause"}), 0);
    ASSERT_TRUE(waitUntil(5, [&] { return d.field("fps") == "0.0"; }));
    CGImageRef shot = sway.screenshot("HEADLESS-1");
    bdtest::WhiteBox box = bdtest::whiteBox(shot);
    CGImageRelease(shot);
    EXPECT_EQ(box.count, box.area());
    EXPECT_EQ(box.y1 - box.y0 + 1, 80);
}

TEST(DesktopWaylandDaemon, PausesUnderAFullscreenWindowAndFallsBackAfterCrashes) {
    bdtest::SwayHeadless sway;
    if (!sway.start({{480, 360}})) GTEST_SKIP() << "no headless sway";
    Desktop d(sway.socket);
    // The test wallpaper's own frame loop runs all the time it plays.
    ASSERT_TRUE(d.start(
        {bdtest::testBundle("TestWallpaper"), "--idle-after", "0", "--no-pause-on-battery"}))
        << d.log();
    ASSERT_TRUE(waitUntil(10, [&] { return d.field("state") == "playing"; })) << d.query();
    pid_t child = pid_t(std::stol(d.field("pid")));
    // sway 1.7 offers no idle notification: the rule says so.
    std::string q = d.query();
    EXPECT_NE(jsonField(q, "rules").find("idle=unavailable"), std::string::npos) << q;

    // A fullscreen window: hidden (fullscreen), and the wallpaper stops using the CPU.
    {
        bdtest::Toplevel window;
        ASSERT_TRUE(window.start(sway.socket, "bdtest-full"));
        ASSERT_TRUE(sway.swaymsg("[app_id=bdtest-full] fullscreen enable"));
        ASSERT_TRUE(waitUntil(5, [&] { return d.field("state") == "hidden"; })) << d.query();
        EXPECT_EQ(d.field("reason"), "fullscreen");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        double cpu0 = bdtest::cpuSecondsOf(child);
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        EXPECT_LE(bdtest::cpuSecondsOf(child) - cpu0, 0.02) << "the paused wallpaper kept working";
        // Leaving fullscreen: playing again, and it works again.
        ASSERT_TRUE(sway.swaymsg("[app_id=bdtest-full] fullscreen disable"));
        ASSERT_TRUE(waitUntil(5, [&] { return d.field("state") == "playing"; })) << d.query();
        // Its CPU time grows by whole clock ticks: wait for the next one, however busy the
        // machine.
        cpu0 = bdtest::cpuSecondsOf(child);
        EXPECT_TRUE(waitUntil(10, [&] { return bdtest::cpuSecondsOf(child) > cpu0; }))
            << "the wallpaper did not resume";
    }
    EXPECT_EQ(d.ctl({"quit"}), 0);
    EXPECT_EQ(bdtest::waitFor(d.daemon, 10), 0);

    // A bundle whose library crashes at once, dressed with the sample's thumbnail: crashes
    // at 0 s, 1 s later and 2 s after that, then the thumbnail.
    std::string bundle =
        bdtest::linkBundle(bdtest::testBundle("bdtest_crash"), d.dir, "Crash.bundle", "");
    std::filesystem::copy_file(bdtest::demoBundle() + "/thumbnail.png", bundle + "/thumbnail.png",
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_TRUE(d.start({bundle, "--idle-after", "0", "--no-pause-on-battery"})) << d.log();
    ASSERT_TRUE(waitUntil(12, [&] { return d.field("state") == "fallback"; })) << d.query();
    EXPECT_EQ(d.field("restarts"), "2");
    CGImageRef shot = nullptr;
    EXPECT_TRUE(waitUntil(5, [&] {
        CGImageRelease(shot);
        shot = sway.screenshot("HEADLESS-1");
        return shot && (bdtest::pixelAt(shot, 240, 180) & 0xffffff) != 0;
    })) << "the thumbnail is not shown";
    CGImageRelease(shot);
}

TEST(DesktopWaylandDaemon, EachOutputHasItsOwnProcessAndAnUnpluggedOneEndsIt) {
    // Outputs of a sway nested in another are windows there: closing one unplugs it.
    bdtest::SwayHeadless parent, sway;
    if (!parent.start({{800, 600}}) || !sway.startNested(parent)) GTEST_SKIP() << "no nested sway";
    Desktop d(sway.socket);
    ASSERT_TRUE(d.start({bdtest::demoBundle(), "--idle-after", "0", "--no-pause-on-battery"}))
        << d.log();
    ASSERT_TRUE(waitUntil(10, [&] { return d.field("state", "WL-1") == "playing"; })) << d.query();
    std::string first = d.field("pid", "WL-1");

    // A second output: a process of its own, with a screen of its own size.
    ASSERT_TRUE(sway.swaymsg("create_output"));
    ASSERT_TRUE(waitUntil(10, [&] { return d.field("state", "WL-2") == "playing"; })) << d.query();
    std::string second = d.field("pid", "WL-2");
    EXPECT_NE(second, first);
    EXPECT_NE(second, "0");
    // Tiled side by side in the parent: each is about half as wide as before.
    EXPECT_LT(std::stoi(d.field("width", "WL-2")), 600) << d.query();
    EXPECT_EQ(d.field("width", "WL-1"), d.field("width", "WL-2"));

    // Unplugged: the output leaves, its wallpaper process ends; the other goes on.
    ASSERT_TRUE(parent.swaymsg("[title=\"wlroots - WL-2\"] kill"));
    ASSERT_TRUE(waitUntil(10, [&] { return d.query().find("\"WL-2\"") == std::string::npos; }))
        << d.query();
    EXPECT_TRUE(waitUntil(5, [&] { return !alive(pid_t(std::stol(second))); }));
    EXPECT_EQ(d.field("pid", "WL-1"), first);
    EXPECT_TRUE(alive(pid_t(std::stol(first))));
    EXPECT_NE(d.log().find("output WL-2 is gone"), std::string::npos) << d.log();
}

TEST(DesktopWaylandDaemon, WithoutLayerShellAStillPictureAndGnomesSettingPutBack) {
    bdtest::WestonHeadless weston;
    if (!weston.start(640, 480)) GTEST_SKIP() << "no headless weston";
    // Not GNOME: one line saying why, the picture written and where it is, exit 0.
    Desktop d(weston.socket, {"XDG_CURRENT_DESKTOP=weston"});
    std::string out, err;
    EXPECT_EQ(
        bdtest::run({bdtest::toolPath(), "desktop", bdtest::demoBundle()}, &out, &err, d.env(), 30),
        0)
        << err;
    EXPECT_NE(err.find("no background layer"), std::string::npos) << err;
    std::string still = d.dir + "/data/backdrop/still-headless.png";
    EXPECT_NE(out.find(still), std::string::npos) << out;
    CGImageRef picture = bdtest::loadPNG(still);
    ASSERT_TRUE(picture);
    CGImageRef expected = rendered(bdtest::demoBundle(), "320x240@2", 10, d.dir);
    EXPECT_LT(bdtest::differingShare(picture, expected), 0.01);
    CGImageRelease(picture);
    CGImageRelease(expected);

    // GNOME: the still becomes the background, the daemon stays for `ctl`, and `quit` puts the
    // user's picture back, also after the daemon was killed and started again in between.
    std::string out2;
    if (!bdtest::onPath("gsettings") ||
        bdtest::run({"gsettings", "list-keys", "org.gnome.desktop.background"}, &out2) != 0)
        GTEST_SKIP() << "no gsettings with GNOME's background schema";
    Desktop g(weston.socket, {"XDG_CURRENT_DESKTOP=ubuntu:GNOME", "GSETTINGS_BACKEND=keyfile"});
    g.extraEnv.push_back("XDG_CONFIG_HOME=" + g.dir + "/config");
    auto get = [&](const char* key) {
        std::string v;
        bdtest::run({"gsettings", "get", "org.gnome.desktop.background", key}, &v, nullptr,
                    g.env());
        return v;
    };
    ASSERT_EQ(bdtest::run({"gsettings", "set", "org.gnome.desktop.background", "picture-uri",
                           "file:///home/user/my picture.png"},
                          nullptr, nullptr, g.env()),
              0);
    std::string mine = get("picture-uri"), mineDark = get("picture-uri-dark");
    ASSERT_NE(mine.find("my picture"), std::string::npos) << mine;

    ASSERT_TRUE(g.start({bdtest::demoBundle()})) << g.log();
    std::string q;
    g.ctl({"query"}, &q);
    EXPECT_NE(q.find("fallback: no layer-shell"), std::string::npos) << q;
    std::string ours = "file://" + g.dir + "/data/backdrop/still-headless.png";
    EXPECT_NE(get("picture-uri").find(ours), std::string::npos) << get("picture-uri");
    EXPECT_NE(get("picture-uri-dark").find(ours), std::string::npos);
    EXPECT_EQ(g.ctl({"pause"}, nullptr, &err), 1);
    EXPECT_NE(err.find("only a still picture"), std::string::npos) << err;

    kill(g.daemon.pid, SIGKILL);
    bdtest::waitFor(g.daemon, 5);
    ASSERT_TRUE(g.start({bdtest::demoBundle()})) << g.log();
    EXPECT_EQ(g.ctl({"quit"}), 0);
    EXPECT_EQ(bdtest::waitFor(g.daemon, 10), 0);
    EXPECT_EQ(get("picture-uri"), mine);
    EXPECT_EQ(get("picture-uri-dark"), mineDark);
}
