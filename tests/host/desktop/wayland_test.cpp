// The Wayland backend under headless sway (run as nobody), with frames drawn into memfds by the
// test and screenshots taken with grim: the background layer surface, damage, placements through
// the viewport (crop, bands in a subsurface, stretch), buffers the compositor keeps until the
// next one, frame callbacks that stop (hidden), fullscreen toplevels, hot-plug, output scale, and
// the compositor going away.

#include "support/wayland.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "host/desktop/StateFile.h"
#include "host/desktop/StillFallback.h"
#include "host/desktop/WaylandBackend.h"
#include "support/bundles.h"
#include "support/frame.h"
#include "support/golden.h"
#include "support/pictures.h"
#include "support/process.h"

using namespace host::desktop;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kRed = 0xffff0000, kGreen = 0xff00ff00, kBlue = 0xff0000ff;

using bdtest::Frame;

// Runs the backend's loop as the daemon would until `until` holds or time runs out; every
// event is also kept in *seen.
bool pump(WaylandBackend& b, double seconds, const std::function<bool(const BackendEvent&)>& until,
          std::vector<BackendEvent>* seen = nullptr) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        pollfd p{b.fds()[0], POLLIN, 0};
        int t = b.timeoutMs();
        poll(&p, 1, t < 0 || t > 50 ? 50 : t);
        for (const BackendEvent& e : b.dispatch()) {
            if (seen) seen->push_back(e);
            if (until(e)) return true;
        }
    }
    return false;
}

bool pumpUntil(WaylandBackend& b, double seconds, const std::function<bool()>& ok) {
    return ok() || pump(b, seconds, [&](const BackendEvent&) { return ok(); }) || ok();
}

bool presented(const BackendEvent& e, int id) {
    return e.kind == BackendEvent::Kind::Presented && e.buffer == id;
}

// Presents and waits for the frame callback; *retained tells whether sway still holds it.
bool show(WaylandBackend& b, int id, const Placement& p, const std::vector<PixelRect>& damage = {},
          bool* retained = nullptr, std::vector<BackendEvent>* seen = nullptr) {
    std::string error;
    EXPECT_TRUE(b.present("HEADLESS-1", id, p, damage, &error)) << error;
    return pump(
        b, 5,
        [&](const BackendEvent& e) {
            if (!presented(e, id)) return false;
            if (retained) *retained = e.retained;
            return true;
        },
        seen);
}

std::unique_ptr<WaylandBackend> openBackend(const std::string& socket) {
    WaylandOptions o;
    o.display = socket;
    std::string error;
    auto b = WaylandBackend::open(o, &error);
    EXPECT_TRUE(b) << error;
    return b;
}

// The colour of a screenshot's pixel without alpha; 0xdeadbeef when there is no picture.
uint32_t rgb(CGImageRef shot, int x, int y) {
    return shot ? bdtest::pixelAt(shot, size_t(x), size_t(y)) & 0xffffff : 0xdeadbeef;
}

struct Shot {
    CGImageRef image;
    explicit Shot(CGImageRef i) : image(i) {}
    ~Shot() { CGImageRelease(image); }
    uint32_t at(int x, int y) const { return rgb(image, x, y); }
};

}  // namespace

TEST(DesktopWayland, BackgroundLayerShowsFramesWithDamageAndPlacements) {
    bdtest::SwayHeadless sway;
    if (!sway.start({{320, 240}})) GTEST_SKIP() << "no headless sway";
    auto b = openBackend(sway.socket);
    ASSERT_TRUE(b);
    ASSERT_TRUE(b->hasLayerShell());
    EXPECT_STREQ(b->kind(), "wayland");
    EXPECT_FALSE(b->keepsPicture());
    EXPECT_FALSE(b->idleAvailable());  // sway 1.7 has no ext-idle-notify
    ASSERT_TRUE(pumpUntil(*b, 5, [&] { return b->outputs().size() == 1; }));
    EXPECT_EQ(b->outputs()[0].name, "HEADLESS-1");
    EXPECT_EQ(b->outputs()[0].rect, (PixelRect{0, 0, 320, 240}));
    EXPECT_EQ(b->outputs()[0].scale, 1.0);

    // A whole frame behind everything.
    Frame a(320, 240);
    a.fill({0, 0, 320, 240}, kRed);
    int ida = a.add(*b);
    bool retained = false;
    ASSERT_TRUE(show(*b, ida, {0, 0, 320, 240, false, kBlue}, {}, &retained));
    {
        Shot s(sway.screenshot("HEADLESS-1"));
        EXPECT_EQ(s.at(160, 120), 0xff0000u);
        EXPECT_EQ(s.at(0, 0), 0xff0000u);
        EXPECT_EQ(s.at(319, 239), 0xff0000u);
    }

    // A second buffer with one damaged rectangle. sway's renderer reads a buffer where it lies
    // (no copy), so it keeps the first one until the second replaces it: the first comes back
    // as Released, only then.
    Frame c(320, 240);
    c.fill({0, 0, 320, 240}, kRed);
    c.fill({10, 10, 50, 40}, kGreen);
    int idc = c.add(*b);
    std::vector<BackendEvent> seen;
    ASSERT_TRUE(show(*b, idc, {0, 0, 320, 240, false, kBlue}, {{10, 10, 50, 40}}, nullptr, &seen));
    if (retained) {
        bool released = false;
        for (const BackendEvent& e : seen)
            released |= e.kind == BackendEvent::Kind::Released && e.buffer == ida;
        EXPECT_TRUE(released || pump(*b, 2,
                                     [&](const BackendEvent& e) {
                                         return e.kind == BackendEvent::Kind::Released &&
                                                e.buffer == ida;
                                     }))
            << "the first buffer never came back";
    }
    {
        Shot s(sway.screenshot("HEADLESS-1"));
        EXPECT_EQ(s.at(30, 30), 0x00ff00u);
        EXPECT_EQ(s.at(100, 100), 0xff0000u);
    }

    // A smaller picture in the middle: bands of the background colour around it.
    Frame small(160, 120);
    small.fill({0, 0, 160, 120}, kBlue);
    int ids = small.add(*b);
    ASSERT_TRUE(show(*b, ids, {80, 60, 160, 120, false, 0xffffff00}));
    {
        Shot s(sway.screenshot("HEADLESS-1"));
        EXPECT_EQ(s.at(160, 120), 0x0000ffu);
        EXPECT_EQ(s.at(81, 61), 0x0000ffu);
        EXPECT_EQ(s.at(5, 5), 0xffff00u);
        EXPECT_EQ(s.at(79, 120), 0xffff00u);
        EXPECT_EQ(s.at(300, 230), 0xffff00u);
    }

    // A larger picture cropped (fill): the viewport shows 320x240 of its 400x300 pixels one to
    // one. (sway 1.7's software renderer draws a viewport's source from the buffer's origin,
    // ignoring its offset, so only the size of the crop shows here: columns of alternating
    // colours stay sharp, where a resampled picture would blur or repeat them.)
    Frame big(400, 300);
    for (int x = 0; x < 400; ++x) big.fill({x, 0, 1, 300}, x % 2 ? 0xffffffff : 0xff000000);
    int idb = big.add(*b);
    ASSERT_TRUE(show(*b, idb, {-40, -30, 400, 300, false, kBlue}));
    {
        Shot s(sway.screenshot("HEADLESS-1"));
        for (int x = 100; x < 132; ++x)
            ASSERT_EQ(s.at(x, 120) ^ s.at(x + 1, 120), 0xffffffu) << "column " << x;
        EXPECT_TRUE(s.at(0, 0) == 0xffffffu || s.at(0, 0) == 0u);
    }

    // Stretch: a 160x120 buffer, top half white, bottom half black, over the whole output.
    Frame st(160, 120);
    st.fill({0, 0, 160, 60}, 0xffffffff);
    st.fill({0, 60, 160, 60}, 0xff000000);
    int idt = st.add(*b);
    ASSERT_TRUE(show(*b, idt, {0, 0, 320, 240, true, kBlue}));
    {
        Shot s(sway.screenshot("HEADLESS-1"));
        EXPECT_EQ(s.at(160, 40), 0xffffffu);
        EXPECT_EQ(s.at(160, 200), 0x000000u);
        EXPECT_EQ(s.at(2, 2), 0xffffffu);
    }

    // Removing the buffer on screen keeps the picture (the wallpaper process died).
    b->removeBuffer(idt);
    pump(*b, 0.2, [](const BackendEvent&) { return false; });
    {
        Shot s(sway.screenshot("HEADLESS-1"));
        EXPECT_EQ(s.at(160, 40), 0xffffffu);
    }
    // Bad presents are refused, not queued; one at a time per output.
    std::string error;
    EXPECT_FALSE(b->present("nowhere", ida, {0, 0, 320, 240}, {}, &error));
    EXPECT_FALSE(b->present("HEADLESS-1", 12345, {0, 0, 320, 240}, {}, &error));
    ASSERT_TRUE(b->present("HEADLESS-1", ida, {0, 0, 320, 240, false, kBlue}, {}, &error));
    EXPECT_FALSE(b->present("HEADLESS-1", idc, {0, 0, 320, 240, false, kBlue}, {}, &error));
    EXPECT_NE(error.find("on its way"), std::string::npos) << error;
    for (int id : {ida, idc, ids, idb}) b->removeBuffer(id);
}

TEST(DesktopWayland, FullscreenFrameCallbacksHotPlugScaleAndTheCompositorGoing) {
    bdtest::SwayHeadless sway;
    if (!sway.start({{320, 240}})) GTEST_SKIP() << "no headless sway";
    auto b = openBackend(sway.socket);
    ASSERT_TRUE(b);
    ASSERT_TRUE(pumpUntil(*b, 5, [&] { return b->outputs().size() == 1; }));
    Frame f(320, 240);
    f.fill({0, 0, 320, 240}, kRed);
    int id = f.add(*b);
    const Placement full{0, 0, 320, 240, false, kBlue};
    ASSERT_TRUE(show(*b, id, full));
    EXPECT_FALSE(b->signals("HEADLESS-1").covered);

    // A fullscreen window: the output says so at once (foreign-toplevel state), and not
    // before.
    bdtest::Toplevel window;
    ASSERT_TRUE(window.start(sway.socket, "bdtest-full"));
    pump(*b, 0.3, [](const BackendEvent&) { return false; });
    EXPECT_FALSE(b->signals("HEADLESS-1").fullscreen);
    ASSERT_TRUE(sway.swaymsg("[app_id=bdtest-full] fullscreen enable"));
    EXPECT_TRUE(pumpUntil(*b, 3, [&] { return b->signals("HEADLESS-1").fullscreen; }));

    // Under it sway draws no background, so a frame gets no callback: after half a second
    // the output counts as not drawn. (A frame sent while sway still goes fullscreen may be
    // drawn: then the next one is not.) When the window leaves fullscreen the callback comes.
    std::string error;
    auto t0 = Clock::now();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(b->present("HEADLESS-1", id, full, {{0, 0, 1, 1}}, &error)) << error;
        t0 = Clock::now();
        if (!pump(*b, 0.2, [&](const BackendEvent& e) { return presented(e, id); })) break;
    }
    EXPECT_TRUE(pumpUntil(*b, 3, [&] { return b->signals("HEADLESS-1").covered; }));
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - t0).count(), 0.45);
    ASSERT_TRUE(sway.swaymsg("[app_id=bdtest-full] fullscreen disable"));
    EXPECT_TRUE(pump(*b, 3, [&](const BackendEvent& e) { return presented(e, id); }));
    EXPECT_FALSE(b->signals("HEADLESS-1").covered);
    EXPECT_TRUE(pumpUntil(*b, 3, [&] { return !b->signals("HEADLESS-1").fullscreen; }));

    // An output plugged in: a second background surface with its own size, beside the first.
    ASSERT_TRUE(sway.swaymsg("create_output"));
    ASSERT_TRUE(pumpUntil(*b, 5, [&] { return b->outputs().size() == 2; }));
    OutputInfo second = b->outputs()[1];
    EXPECT_EQ(second.name, "HEADLESS-2");
    EXPECT_GE(second.rect.x, 320);
    EXPECT_GT(second.rect.width, 0);
    // The fullscreen window is on the first output only.
    ASSERT_TRUE(sway.swaymsg("[app_id=bdtest-full] fullscreen enable"));
    EXPECT_TRUE(pumpUntil(*b, 3, [&] { return b->signals("HEADLESS-1").fullscreen; }));
    EXPECT_FALSE(b->signals("HEADLESS-2").fullscreen);

    // A scale of 2: the surface is half the size in the compositor's units, the pixels stay.
    ASSERT_TRUE(sway.swaymsg("output HEADLESS-2 scale 2"));
    ASSERT_TRUE(pumpUntil(*b, 5, [&] {
        auto o = b->outputs();
        return o.size() == 2 && o[1].scale == 2.0;
    }));
    EXPECT_EQ(b->outputs()[1].rect.width, second.rect.width);
    EXPECT_EQ(b->outputs()[1].rect.height, second.rect.height);

    // The compositor dies: the backend reports the connection lost (the daemon ends).
    sway.stop();
    EXPECT_TRUE(pump(*b, 5, [](const BackendEvent& e) {
        return e.kind == BackendEvent::Kind::Lost && !e.text.empty();
    }));
}

TEST(DesktopWayland, UnpluggedOutputLeavesTheList) {
    // Outputs of a sway nested in another are windows there: closing one unplugs it.
    bdtest::SwayHeadless parent, sway;
    if (!parent.start({{640, 480}}) || !sway.startNested(parent)) GTEST_SKIP() << "no nested sway";
    auto b = openBackend(sway.socket);
    ASSERT_TRUE(b);
    ASSERT_TRUE(pumpUntil(*b, 5, [&] { return b->outputs().size() == 1; }));
    ASSERT_TRUE(sway.swaymsg("create_output"));
    ASSERT_TRUE(pumpUntil(*b, 5, [&] { return b->outputs().size() == 2; }));
    EXPECT_EQ(b->outputs()[1].name, "WL-2");
    // A frame on it, still on its way or retained when it goes.
    Frame f(b->outputs()[1].rect.width, b->outputs()[1].rect.height);
    f.fill({0, 0, f.width, f.height}, kGreen);
    int id = f.add(*b);
    std::string error;
    ASSERT_TRUE(b->present("WL-2", id, {0, 0, f.width, f.height, false, kBlue}, {}, &error))
        << error;
    ASSERT_TRUE(parent.swaymsg("[title=\"wlroots - WL-2\"] kill"));
    EXPECT_TRUE(pumpUntil(*b, 5, [&] {
        auto o = b->outputs();
        return o.size() == 1 && o[0].name == "WL-1";
    }));
    b->removeBuffer(id);
    // The other output goes on as before.
    Frame g(b->outputs()[0].rect.width, b->outputs()[0].rect.height);
    int idg = g.add(*b);
    ASSERT_TRUE(b->present("WL-1", idg, {0, 0, g.width, g.height, false, kBlue}, {}, &error))
        << error;
    EXPECT_TRUE(pump(*b, 3, [&](const BackendEvent& e) { return presented(e, idg); }));
}

TEST(DesktopWayland, WithoutLayerShellOnlyTheOutputsAreListed) {
    bdtest::WestonHeadless weston;
    if (!weston.start(400, 300)) GTEST_SKIP() << "no headless weston";
    auto b = openBackend(weston.socket);
    ASSERT_TRUE(b);
    EXPECT_FALSE(b->hasLayerShell());
    ASSERT_EQ(b->outputs().size(), 1u);
    EXPECT_EQ(b->outputs()[0].rect, (PixelRect{0, 0, 400, 300}));
    EXPECT_FALSE(b->outputs()[0].name.empty());
    Frame f(400, 300);
    std::string error;
    EXPECT_LT(b->addBuffer(f.fd, reinterpret_cast<uint8_t*>(f.px), 400, 300, 1600, &error), 0);
}

TEST(DesktopWayland, DisplayNamesFileUrisSessionsAndTheSavedGnomePicture) {
    // One daemon per compositor, however the display is named.
    setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
    setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    EXPECT_EQ(waylandDisplayName(""), "wayland-0");
    EXPECT_EQ(waylandDisplayName("/run/user/1000/wayland-1"), "wayland-1");
    EXPECT_EQ(waylandDisplayName("/run/user/1000/sub/wayland-1"), "/run/user/1000/sub/wayland-1");
    EXPECT_EQ(waylandDisplayName("/tmp/x/wayland-1"), "/tmp/x/wayland-1");
    unsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(waylandDisplayName(""), "");

    // A path GNOME reads back exactly, whatever it holds.
    EXPECT_EQ(fileUri("/home/a b/still-HDMI-A-1.png"), "file:///home/a%20b/still-HDMI-A-1.png");
    EXPECT_EQ(fileUri("/x/'quote'%.png"), "file:///x/%27quote%27%25.png");
    EXPECT_EQ(fileUri("/caf\xc3\xa9"), "file:///caf%C3%A9");

    for (const char* d : {"GNOME", "ubuntu:GNOME", "gnome-classic:GNOME"}) {
        setenv("XDG_CURRENT_DESKTOP", d, 1);
        EXPECT_TRUE(gnomeSession()) << d;
    }
    for (const char* d : {"sway", "KDE", "GNOMEISH", ""}) {
        setenv("XDG_CURRENT_DESKTOP", d, 1);
        EXPECT_FALSE(gnomeSession()) << d;
    }
    unsetenv("XDG_CURRENT_DESKTOP");
    EXPECT_FALSE(gnomeSession());

    // The user's GNOME picture survives a round trip through the state file.
    bdtest::TempDir tmp("wl-state");
    std::string dir = tmp.path();
    DesktopState s;
    s.bundle = "/b/A.bundle";
    s.gnomePictureUri = "'file:///home/u/pic.jpg'";
    s.gnomePictureUriDark = "'file:///home/u/dark & <night>.jpg'";
    std::string error;
    ASSERT_TRUE(saveState(dir + "/desktop.plist", s, &error)) << error;
    DesktopState back;
    ASSERT_TRUE(loadState(dir + "/desktop.plist", &back, &error)) << error;
    EXPECT_EQ(back, s);
}

TEST(DesktopWayland, StillPictures) {
    bdtest::TempDir tmp("wl-still");
    std::string dir = tmp.path();
    std::string error;
    EXPECT_FALSE(renderStill(bdtest::testBundle("bdtest_crash"), 320, 240, FitMode::Width,
                             {320, 568, 2}, 0xff000000, 10, true, bdtest::toolPath(),
                             dir + "/still.png", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(dir + "/still.png"));
    // An output of no size is refused before any process starts.
    EXPECT_FALSE(renderStill(bdtest::demoBundle(), 0, 240, FitMode::Width, {320, 568, 2},
                             0xff000000, 10, true, bdtest::toolPath(), dir + "/still.png", &error));
    // A FIFO where the picture goes is replaced, not written into (which would wait for a
    // reader for ever).
    ASSERT_EQ(mkfifo((dir + "/still.png").c_str(), 0600), 0);
    ASSERT_TRUE(renderStill(bdtest::demoBundle(), 160, 120, FitMode::Fit, {320, 568, 2}, 0xff102030,
                            10, true, bdtest::toolPath(), dir + "/still.png", &error))
        << error;
    ASSERT_TRUE(std::filesystem::is_regular_file(dir + "/still.png"));
    CGImageRef still = bdtest::loadPNG(dir + "/still.png");
    ASSERT_TRUE(still);
    EXPECT_EQ(still->width(), 160u);
    EXPECT_EQ(bdtest::pixelAt(still, 2, 60) & 0xffffff, 0x102030u);  // a band of the colour
    CGImageRelease(still);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                            std::filesystem::directory_iterator()),
              1);  // no temporary left behind
}
