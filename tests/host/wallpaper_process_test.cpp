// The wallpaper process through its interface: frames in shared buffers equal to the same
// scene drawn here, buffer ownership, changes that arrive without polling, several processes
// at once, a new screen, ends of every kind with nothing left behind and the parent's memory
// unchanged, and a fake wallpaper process (this program, started as one) that breaks the
// protocol in each way the parent checks for.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "QuartzCore/CARenderer.h"
#include "host/scene/HostScene.h"
#include "host/scene/VirtualTime.h"
#include "host/wallpaper/Protocol.h"
#include "host/wallpaper/WallpaperProcess.h"
#include "support/files.h"
#include "support/process.h"

using namespace host;
using Clock = std::chrono::steady_clock;

namespace {

// ---------------------------------------------------------------------------------------------
// The fake wallpaper process: when a parent under test starts this program with the private
// sub-command, it answers the set-up and then plays the part BDTEST_FAKE names.

void sendFrame(int sock, uint64_t seq, uint8_t k, double t, uint16_t count,
               std::vector<int32_t> rect, const std::vector<int>& fds = {}) {
    wire::Writer w(wire::Type::Frame, seq);
    w.u8(k).u32(1).f64(t).f64(INFINITY).f64(1).u16(count);
    for (int32_t v : rect) w.i32(v);
    wire::send(sock, w, fds);
}

[[noreturn]] void fakeChild() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int sock = 3;
    std::string mode = std::getenv("BDTEST_FAKE") ? std::getenv("BDTEST_FAKE") : "";
    std::vector<uint8_t> msg;
    std::vector<int> fds;
    pollfd p{sock, POLLIN, 0};
    poll(&p, 1, 10000);
    if (wire::receive(sock, &msg, &fds) != wire::Received::Message) _exit(1);
    for (int fd : fds) close(fd);
    wire::Reader setup(msg.data(), msg.size());
    wire::Header h;
    setup.header(&h);
    setup.str();
    ScreenSpec s;
    s.width = setup.f64();
    s.height = setup.f64();
    s.scale = setup.f64();
    const int w = s.pixelWidth(), hh = s.pixelHeight();
    wire::Writer ready(wire::Type::Ready, 0);
    ready.u8(1).str("fake").str("");
    wire::send(sock, ready);
    for (;;) {
        poll(&p, 1, -1);
        if (wire::receive(sock, &msg, &fds) != wire::Received::Message) _exit(0);
        for (int fd : fds) close(fd);
        wire::Reader in(msg.data(), msg.size());
        in.header(&h);
        if (h.type == wire::Type::Release) continue;
        if (h.type != wire::Type::Render) {
            wire::Writer r(wire::Type::Reply, h.seq);
            r.u8(1).u16(0);
            wire::send(sock, r);
            continue;
        }
        const std::vector<int32_t> whole = {0, 0, w, hh};
        if (mode == "garbage") {
            const char* line = "ok\t0\tall good\n";
            wire::sendRaw(sock, line, std::strlen(line));
        } else if (mode == "buffer-index") {
            sendFrame(sock, h.seq, 9, 1, 1, whole);
        } else if (mode == "rect-outside") {
            sendFrame(sock, h.seq, 0, 1, 1, {0, 0, w + 1, hh});
        } else if (mode == "rect-count") {
            sendFrame(sock, h.seq, 0, 1, 5000, whole);
        } else if (mode == "nan-time") {
            sendFrame(sock, h.seq, 0, NAN, 1, whole);
        } else if (mode == "descriptor") {
            sendFrame(sock, h.seq, 0, 1, 1, whole, {open("/dev/null", O_RDONLY)});
        } else if (mode == "string-past-end") {
            wire::Writer r(wire::Type::Reply, h.seq);
            r.u8(1).u16(1).u32(0xFFFFFF);
            wire::send(sock, r);
        } else if (mode == "unasked") {
            wire::Writer r(wire::Type::Reply, h.seq + 100);
            r.u8(1).u16(0);
            wire::send(sock, r);
        } else if (mode == "oversized") {
            wire::Writer r(wire::Type::Reply, h.seq);
            r.u8(1).u16(0);
            std::vector<uint8_t> big = r.bytes();
            big.resize(100 * 1024);
            wire::sendRaw(sock, big.data(), big.size());
        } else if (mode == "ready-again") {
            wire::send(sock, ready);
        } else if (mode == "crash-flood") {
            wire::Writer c(wire::Type::Crash, 0);
            c.u32(SIGSEGV).i32(0).u64(0).u32(1000);
            wire::send(sock, c);
        } else if (mode == "reuse") {
            sendFrame(sock, h.seq, 0, 1, 1, whole);  // buffer 0 every time
        } else if (mode == "denied-flood") {
            for (int i = 0; i < 5000; ++i) {
                wire::Writer d(wire::Type::Denied, 0);
                d.str("open /secret/" + std::to_string(i) + " for reading");
                wire::send(sock, d);
            }
            sendFrame(sock, h.seq, 0, 1, 1, whole);
        } else if (mode == "log-flood") {
            std::string chunk(1 << 16, 'x');
            for (int i = 0; i < 128; ++i) {
                ssize_t rc = write(1, chunk.data(), chunk.size());
                (void)rc;
            }
            ssize_t rc = write(1, "\nlast line\n", 11);
            (void)rc;
            sendFrame(sock, h.seq, 0, 1, 1, whole);
        } else if (mode == "close") {
            close(sock);
            for (;;) pause();
        } else if (mode == "exit") {
            _exit(3);
        } else if (mode == "silent") {
            for (;;) pause();
        }
    }
}

__attribute__((constructor)) void startedAsWallpaperProcess() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string args((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string first = args.substr(args.find('\0') + 1);
    first = first.substr(0, first.find('\0'));
    if (first == kWallpaperProcessCommand) fakeChild();
}

// ---------------------------------------------------------------------------------------------

WallpaperOptions optionsFor(const std::string& bundle) {
    WallpaperOptions o;
    o.bundlePath = bdtest::bundlePath(bundle);
    o.executable = bdtest::toolPath();
    o.screen.width = 200;
    o.screen.height = 300;
    o.screen.scale = 1;
    o.hangTimeout = 5;
    return o;
}

// Every event up to the handle() that brought one of `kind` (or the time is up), waiting on the
// descriptor.
std::vector<WallpaperEvent> waitFor(WallpaperProcess& p, WallpaperEvent::Kind kind,
                                    double seconds) {
    std::vector<WallpaperEvent> all;
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        bool done = false;
        for (WallpaperEvent& e : p.handle()) {
            done |= e.kind == kind;
            all.push_back(std::move(e));
        }
        if (done) return all;
        int left = int(std::chrono::duration<double, std::milli>(end - Clock::now()).count());
        int t = p.timeoutMs();
        pollfd pf{p.fd(), POLLIN, 0};
        poll(&pf, 1, std::max(1, t < 0 ? left : std::min(t, left)));
    }
    return all;
}

// Processes of a group (zombies included): none once a wallpaper process is gone.
int processesInGroup(pid_t group) {
    int n = 0;
    DIR* d = opendir("/proc");
    while (dirent* e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        std::getline(in, line);
        size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        char state;
        int ppid, pgrp;
        if (std::sscanf(line.c_str() + close + 2, "%c %d %d", &state, &ppid, &pgrp) == 3 &&
            pgrp == group)
            ++n;
    }
    if (d) closedir(d);
    return n;
}

size_t ownResidentBytes() {
    std::ifstream in("/proc/self/statm");
    size_t pages = 0, resident = 0;
    in >> pages >> resident;
    return resident * size_t(sysconf(_SC_PAGESIZE));
}

}  // namespace

TEST(WallpaperProcess, FramesInSharedMemoryAreTheSceneAsDrawnHere) {
    constexpr double kStart = 1000, kAt = 1000.5;
    WallpaperOptions o = optionsFor("TestWallpaper.bundle");
    o.screen.scale = 2;
    o.clock = WallpaperOptions::Clock::Virtual;
    o.virtualStart = kStart;
    std::string error;
    auto p = WallpaperProcess::spawn(o, &error);
    ASSERT_TRUE(p) << error;
    EXPECT_EQ(p->processGroup(), p->pid());
    EXPECT_NE(p->sandboxLevel().find("seccomp"), std::string::npos) << p->sandboxLevel();
    WallpaperEvent reply;
    WallpaperRequest start;
    start.op = WallpaperRequest::Op::startAnimating;
    ASSERT_TRUE(p->call(start, 5, &reply, &error)) << error;
    WallpaperFrame f;
    ASSERT_TRUE(p->renderSync(kAt, 5, &f, &error)) << error;

    // A sealed memfd of the frame's size, mapped here: no copy between the processes.
    ASSERT_EQ(p->width(), 400);
    ASSERT_EQ(p->height(), 600);
    EXPECT_EQ(p->stride(), 1600u);
    int seals = fcntl(p->bufferFd(f.buffer), F_GET_SEALS);
    EXPECT_EQ(seals & (F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL),
              F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
    EXPECT_EQ(f.pixels, p->bufferPixels(f.buffer));
    ASSERT_EQ(f.damage.size(), 1u);
    EXPECT_EQ(f.damage[0].width, 400);
    EXPECT_EQ(f.damage[0].height, 600);
    EXPECT_DOUBLE_EQ(f.mediaTime, kAt);
    EXPECT_TRUE(std::isfinite(f.nextChange)) << "its frame loop runs";

    // The same scene drawn in this process, at the same virtual time.
    NSAutoreleasePool pool;
    VirtualTime time(kStart);
    std::unique_ptr<HostScene> scene = HostScene::load(o.bundlePath, o.screen, false, &error);
    ASSERT_TRUE(scene) << error;
    time.settle();
    scene->startAnimating();
    time.advanceTo(kAt);
    CARenderer renderer(400, 600, 2);
    renderer.clear({0, 0, 0, 1});
    renderer.render(scene->window()->layer(), kAt);
    size_t differing = 0;
    for (int y = 0; y < 600; ++y)
        differing += std::memcmp(renderer.pixels() + size_t(y) * renderer.stride(),
                                 f.pixels + size_t(y) * p->stride(), 1600) != 0;
    EXPECT_EQ(differing, 0u) << "rows differ from the frame drawn in-process";
    scene.reset();
    time.advanceTo(kAt + 1);
}

// Frames after the first draw only what changed; each buffer, older by a frame or more, is
// repaired: every frame equals the whole frame drawn here at its time, and its damage is the
// moving square, not the screen.
TEST(WallpaperProcess, DamagedFramesRepairEveryBuffer) {
    constexpr double kStart = 1000;
    WallpaperOptions o = optionsFor("TestWallpaper.bundle");
    o.clock = WallpaperOptions::Clock::Virtual;
    o.virtualStart = kStart;
    o.bufferCount = 3;
    std::string error;
    auto p = WallpaperProcess::spawn(o, &error);
    ASSERT_TRUE(p) << error;
    WallpaperEvent reply;
    WallpaperRequest start;
    start.op = WallpaperRequest::Op::startAnimating;
    ASSERT_TRUE(p->call(start, 5, &reply, &error)) << error;

    NSAutoreleasePool pool;
    VirtualTime time(kStart);
    std::unique_ptr<HostScene> scene = HostScene::load(o.bundlePath, o.screen, false, &error);
    ASSERT_TRUE(scene) << error;
    time.settle();
    scene->startAnimating();
    CARenderer whole(200, 300, 1);
    int front = -1;
    for (int i = 1; i <= 8; ++i) {
        SCOPED_TRACE(i);
        double t = kStart + 0.1 * i;
        WallpaperFrame f;
        ASSERT_TRUE(p->renderSync(t, 5, &f, &error)) << error;
        // As a host does: keep the frame shown, give back the one before.
        if (front >= 0) p->releaseBuffer(front);
        front = f.buffer;
        time.advanceTo(t);
        whole.clear({0, 0, 0, 1});
        whole.render(scene->window()->layer(), t);
        size_t differing = 0;
        for (int y = 0; y < 300; ++y)
            differing += std::memcmp(whole.pixels() + size_t(y) * whole.stride(),
                                     f.pixels + size_t(y) * p->stride(), 800) != 0;
        EXPECT_EQ(differing, 0u);
        if (i > 1) {
            int64_t area = 0;
            for (const WallpaperRect& r : f.damage) area += int64_t(r.width) * r.height;
            EXPECT_GT(area, 0);
            EXPECT_LT(area, 200 * 300 / 4) << "more than the moving square";
        }
    }
    scene.reset();
    time.advanceTo(kStart + 2);
}

TEST(WallpaperProcess, BuffersBelongToTheParentUntilReleased) {
    std::string error;
    auto p = WallpaperProcess::spawn(optionsFor("TestWallpaper.bundle"), &error);
    ASSERT_TRUE(p) << error;
    WallpaperFrame a, b;
    ASSERT_TRUE(p->renderSync(kWallpaperNow, 5, &a, &error)) << error;
    ASSERT_TRUE(p->renderSync(kWallpaperNow, 5, &b, &error)) << error;
    EXPECT_NE(a.buffer, b.buffer);
    // Both held here: the child has nowhere to draw, and says so.
    WallpaperFrame c;
    EXPECT_FALSE(p->renderSync(kWallpaperNow, 5, &c, &error));
    EXPECT_EQ(error, "no free buffer");
    EXPECT_TRUE(p->alive());
    p->releaseBuffer(a.buffer);
    ASSERT_TRUE(p->renderSync(kWallpaperNow, 5, &c, &error)) << error;
    EXPECT_EQ(c.buffer, a.buffer);
    // Releasing what the parent doesn't hold is ignored.
    p->releaseBuffer(7);
    p->releaseBuffer(-1);
    EXPECT_TRUE(p->alive());
}

TEST(WallpaperProcess, ChangesArriveWithoutPollingAndSeveralRunAtOnce) {
    std::string error;
    WallpaperOptions small = optionsFor("TestWallpaper.bundle");
    WallpaperOptions big = optionsFor("AnimateDemo.bundle");
    big.screen.width = 320;
    big.screen.height = 480;
    big.screen.scale = 2;
    big.icons = true;
    auto a = WallpaperProcess::spawn(small, &error);
    ASSERT_TRUE(a) << error;
    auto b = WallpaperProcess::spawn(big, &error);
    ASSERT_TRUE(b) << error;
    EXPECT_NE(a->pid(), b->pid());
    EXPECT_EQ(b->width(), 640);

    // A's own frame loop changes its scene: it says so, and the parent never asked.
    WallpaperRequest start;
    start.op = WallpaperRequest::Op::startAnimating;
    a->send(start);
    auto find = [](const std::vector<WallpaperEvent>& all, WallpaperEvent::Kind kind) {
        for (const WallpaperEvent& e : all)
            if (e.kind == kind) return &e;
        return static_cast<const WallpaperEvent*>(nullptr);
    };
    auto events = waitFor(*a, WallpaperEvent::Kind::Changed, 5);
    EXPECT_TRUE(find(events, WallpaperEvent::Kind::Changed));
    uint64_t seq = a->renderFrame();
    events = waitFor(*a, WallpaperEvent::Kind::FrameReady, 5);
    const WallpaperEvent* frame = find(events, WallpaperEvent::Kind::FrameReady);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->request, seq);
    EXPECT_EQ(a->counters().frames, 1u);
    EXPECT_GT(a->counters().rssBytes, 0u);

    WallpaperFrame f;
    ASSERT_TRUE(b->renderSync(kWallpaperNow, 5, &f, &error)) << error;
    EXPECT_EQ(f.damage[0].width, 640);
    // One goes; the other goes on.
    pid_t gone = a->pid();
    a.reset();
    EXPECT_EQ(processesInGroup(gone), 0);
    b->releaseBuffer(f.buffer);
    ASSERT_TRUE(b->renderSync(kWallpaperNow, 5, &f, &error)) << error;

    // A monitor's new mode: new buffers of the new size.
    ScreenSpec wide;
    wide.width = 480;
    wide.height = 320;
    wide.scale = 1;
    b->releaseBuffer(f.buffer);
    ASSERT_TRUE(b->changeScreen(wide, &error)) << error;
    EXPECT_EQ(b->width(), 480);
    EXPECT_EQ(b->height(), 320);
    ASSERT_TRUE(b->renderSync(kWallpaperNow, 5, &f, &error)) << error;
    EXPECT_EQ(f.damage[0].width, 480);
    EXPECT_EQ(f.damage[0].height, 320);
    ScreenSpec bad;
    bad.width = 0;
    EXPECT_FALSE(b->changeScreen(bad, &error));
}

// Each hostile wallpaper ends in time, is described in one line, leaves no process behind
// and costs the parent no memory.
TEST(WallpaperProcess, EveryEndIsReportedAndLeavesNothingBehind) {
    struct Case {
        const char* hostile;
        bool spawns;  // the view loads; the end comes with the first frames
        const char* says;
        WallpaperEnd::Reason reason;
    } cases[] = {
        {"crash-init", false, "crashed (SIGSEGV) at", WallpaperEnd::Reason::Crashed},
        {"exit-frame", true, "exited (status 0) at", WallpaperEnd::Reason::Exited},
        {"throw", true, "crashed (SIGABRT)", WallpaperEnd::Reason::Crashed},
        {"loop", true, "stopped answering for 1 s", WallpaperEnd::Reason::Hung},
        {"close-fds", false, "closed its connection", WallpaperEnd::Reason::BrokeProtocol},
        {"alloc", false, "memory", WallpaperEnd::Reason::OutOfMemory},
        {"leak", true, "memory", WallpaperEnd::Reason::OutOfMemory},
    };
    size_t before = ownResidentBytes();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hostile);
        setenv("BDTEST_HOSTILE", c.hostile, 1);
        WallpaperOptions o = optionsFor("Hostile.bundle");
        // A hang meets a 1 s limit; the rest end by themselves (in sanitizer builds, touching
        // memory is slow, so they get longer).
        o.hangTimeout = c.reason == WallpaperEnd::Reason::Hung ? 1 : 10;
        o.memoryLimit = uint64_t(256) << 20;
        o.clock = WallpaperOptions::Clock::Virtual;
        auto t0 = Clock::now();
        std::string error;
        auto p = WallpaperProcess::spawn(o, &error);
        pid_t group = -1;
        if (c.spawns) {
            ASSERT_TRUE(p) << error;
            group = p->processGroup();
            WallpaperEvent reply;
            WallpaperRequest start;
            start.op = WallpaperRequest::Op::startAnimating;
            p->call(start, 5, &reply, &error);
            for (double t = 1000; p->alive() && t < 1100; t += 0.1) {
                WallpaperFrame f;
                if (p->renderSync(t, 5, &f, &error)) p->releaseBuffer(f.buffer);
            }
            ASSERT_FALSE(p->alive());
            EXPECT_EQ(p->end().reason, c.reason) << p->end().text;
            error = p->end().text;
            auto ended = waitFor(*p, WallpaperEvent::Kind::Ended, 1);
            ASSERT_FALSE(ended.empty());
            EXPECT_EQ(ended.back().text, error);
            EXPECT_TRUE(p->handle().empty()) << "nothing after the end";
            p.reset();
        } else {
            EXPECT_FALSE(p) << c.hostile << " should not have loaded";
        }
        double took = std::chrono::duration<double>(Clock::now() - t0).count();
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << "one line: " << error;
        if (c.reason == WallpaperEnd::Reason::Hung) {
            EXPECT_LT(took, 1 + 1 + 2.0) << "the limit plus a second, and the start";
        }
        if (group > 0) {
            EXPECT_EQ(processesInGroup(group), 0);
        }
    }
    unsetenv("BDTEST_HOSTILE");
    // The wallpapers' memory stayed theirs (they used hundreds of MiB; a sanitizer's quarantine
    // keeps some of this process's own).
    EXPECT_LT(ownResidentBytes(), before + (size_t(64) << 20));
}

TEST(WallpaperProcess, ProcessesTheWallpaperStartsEndWithIt) {
    // Without the sandbox fork works; the children stay in the wallpaper's group and go with it.
    setenv("BDTEST_HOSTILE", "fork", 1);
    WallpaperOptions o = optionsFor("Hostile.bundle");
    o.sandbox = false;
    std::string error;
    auto p = WallpaperProcess::spawn(o, &error);
    unsetenv("BDTEST_HOSTILE");
    ASSERT_TRUE(p) << error;
    pid_t group = p->processGroup();
    EXPECT_GE(processesInGroup(group), 4) << "the wallpaper and its three children";
    p.reset();
    EXPECT_EQ(processesInGroup(group), 0);

    // With it, fork is refused and reported by name.
    setenv("BDTEST_HOSTILE", "fork", 1);
    o.sandbox = true;
    p = WallpaperProcess::spawn(o, &error);
    unsetenv("BDTEST_HOSTILE");
    ASSERT_TRUE(p) << error;
    EXPECT_EQ(processesInGroup(p->processGroup()), 1);
    bool denied = false;
    for (const WallpaperEvent& e : p->handle())
        denied |= e.kind == WallpaperEvent::Kind::Denied && e.text == "start a process (clone)";
    EXPECT_TRUE(denied);
}

// The parent reads the child as hostile input: whatever it sends that the protocol doesn't
// allow ends it, with a one-line reason, and the parent carries on.
TEST(WallpaperProcess, AChildThatBreaksTheProtocolIsEnded) {
    const char* breaking[] = {"garbage",   "buffer-index", "rect-outside",    "rect-count",
                              "nan-time",  "descriptor",   "string-past-end", "unasked",
                              "oversized", "ready-again",  "crash-flood",     "reuse",
                              "close"};
    for (const char* mode : breaking) {
        SCOPED_TRACE(mode);
        setenv("BDTEST_FAKE", mode, 1);
        WallpaperOptions o = optionsFor("TestWallpaper.bundle");
        o.executable = "/proc/self/exe";
        o.hangTimeout = 2;
        std::string error;
        auto p = WallpaperProcess::spawn(o, &error);
        ASSERT_TRUE(p) << error;
        pid_t pid = p->pid();
        WallpaperFrame f;
        bool first = p->renderSync(kWallpaperNow, 3, &f, &error);
        if (first && std::string(mode) == "reuse")
            first = p->renderSync(kWallpaperNow, 3, &f, &error);  // buffer 0, still held here
        EXPECT_FALSE(first);
        EXPECT_FALSE(p->alive());
        EXPECT_EQ(p->end().reason, WallpaperEnd::Reason::BrokeProtocol) << p->end().text;
        EXPECT_NE(p->end().text.find("the wallpaper "), std::string::npos);
        p.reset();
        EXPECT_EQ(processesInGroup(pid), 0);
    }

    // Floods are bounded, and what is allowed still works.
    setenv("BDTEST_FAKE", "denied-flood", 1);
    WallpaperOptions o = optionsFor("TestWallpaper.bundle");
    o.executable = "/proc/self/exe";
    std::string error;
    auto p = WallpaperProcess::spawn(o, &error);
    ASSERT_TRUE(p) << error;
    WallpaperFrame f;
    EXPECT_TRUE(p->renderSync(kWallpaperNow, 10, &f, &error)) << error;
    size_t denied = 0;
    for (const WallpaperEvent& e : p->handle()) denied += e.kind == WallpaperEvent::Kind::Denied;
    EXPECT_EQ(denied, 64u);

    setenv("BDTEST_FAKE", "log-flood", 1);
    p = WallpaperProcess::spawn(o, &error);
    ASSERT_TRUE(p) << error;
    uint64_t seq = p->renderFrame();
    bool framed = false, last = false;
    size_t longest = 0;
    for (auto end = Clock::now() + std::chrono::seconds(10); Clock::now() < end && !last;) {
        for (const WallpaperEvent& e : waitFor(*p, WallpaperEvent::Kind::Log, 1)) {
            framed |= e.kind == WallpaperEvent::Kind::FrameReady && e.request == seq;
            if (e.kind == WallpaperEvent::Kind::Log) {
                longest = std::max(longest, e.text.size());
                last |= e.text == "last line";
            }
        }
    }
    EXPECT_TRUE(last);
    EXPECT_LE(longest, 1024u);
    // The frame may come after the last line on a loaded machine.
    for (auto end = Clock::now() + std::chrono::seconds(10); Clock::now() < end && !framed;)
        for (const WallpaperEvent& e : waitFor(*p, WallpaperEvent::Kind::FrameReady, 1))
            framed |= e.kind == WallpaperEvent::Kind::FrameReady;
    EXPECT_TRUE(framed);

    // A child that exits or falls silent.
    setenv("BDTEST_FAKE", "exit", 1);
    p = WallpaperProcess::spawn(o, &error);
    ASSERT_TRUE(p) << error;
    EXPECT_FALSE(p->renderSync(kWallpaperNow, 3, &f, &error));
    EXPECT_NE(error.find("exited (status 3)"), std::string::npos) << error;
    setenv("BDTEST_FAKE", "silent", 1);
    o.hangTimeout = 2;
    p = WallpaperProcess::spawn(o, &error);
    ASSERT_TRUE(p) << error;
    p->renderFrame();
    auto t0 = Clock::now();
    auto events = waitFor(*p, WallpaperEvent::Kind::Ended, 5);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 3);
    ASSERT_FALSE(events.empty());
    EXPECT_NE(events.back().text.find("stopped answering for 2 s"), std::string::npos)
        << events.back().text;
    unsetenv("BDTEST_FAKE");
}

TEST(WallpaperProcess, BadOptionsAreRefusedBeforeAnythingStarts) {
    std::string error;
    WallpaperOptions o = optionsFor("TestWallpaper.bundle");
    o.bufferCount = 4;
    EXPECT_FALSE(WallpaperProcess::spawn(o, &error));
    EXPECT_NE(error.find("2 or 3 buffers"), std::string::npos);
    o = optionsFor("TestWallpaper.bundle");
    o.screen.width = 9000;
    EXPECT_FALSE(WallpaperProcess::spawn(o, &error));
    o = optionsFor("TestWallpaper.bundle");
    o.bundlePath = "/nonexistent.bundle";
    EXPECT_FALSE(WallpaperProcess::spawn(o, &error));
    EXPECT_NE(error.find("not a bundle directory"), std::string::npos);
    bdtest::TempDir dir("wp-empty");
    o.bundlePath = dir.path();
    EXPECT_FALSE(WallpaperProcess::spawn(o, &error));
    EXPECT_NE(error.find("no wallpaper view"), std::string::npos) << error;
}
