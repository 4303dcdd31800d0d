// A frame drawn in a wallpaper process and handed to the parent in shared memory (request,
// draw into a memfd buffer, reply, release: no copy between the processes), against the same
// frames drawn in this process (both on virtual clocks, drawing only what changed), at 640 x 1136
// (320 x 568 points at 2x) and 3840 x 2160 (1920 x 1080 at 2x): the sample wallpaper behind the
// launcher's icons. Also the start of a wallpaper process up to its first frame, against loading
// the same scene here. Ends with one RESULT line; child_vs_inprocess should stay at or below 1.1.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Foundation/NSRunLoop.h"
#include "QuartzCore/CABase.h"
#include "QuartzCore/CARenderer.h"
#include "host/scene/HostScene.h"
#include "host/scene/VirtualTime.h"
#include "host/wallpaper/WallpaperProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kBundle = BD_BUNDLE_DIR "/AnimateDemo.bundle";
constexpr double kStart = 1000;  // where both virtual clocks start

host::ScreenSpec screenOf(double w, double h) {
    host::ScreenSpec s;
    s.width = w;
    s.height = h;
    s.scale = 2;
    return s;
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "ipc bench: %s\n", why.c_str());
    std::exit(1);
}

std::unique_ptr<host::WallpaperProcess> spawnChild(const host::ScreenSpec& s) {
    host::WallpaperOptions o;
    o.bundlePath = kBundle;
    o.executable = BD_TOOL_PATH;
    o.screen = s;
    o.icons = true;
    o.clock = host::WallpaperOptions::Clock::Virtual;
    o.virtualStart = kStart;
    o.hangTimeout = 60;  // a loaded machine may take its time
    std::string error;
    auto p = host::WallpaperProcess::spawn(o, &error);
    if (!p) fail(error);
    return p;
}

// One frame asked of the child and released after the parent has it; the child's own time to
// draw it.
double childFrame(host::WallpaperProcess& p, double at) {
    host::WallpaperFrame f;
    std::string error;
    if (!p.renderSync(at, 60, &f, &error)) fail(error);
    benchmark::DoNotOptimize(f.pixels);
    p.releaseBuffer(f.buffer);
    return f.renderMs;
}

// The same scene in this process, on a virtual clock of its own that moves as the child's.
struct InProcess {
    host::VirtualTime time{kStart};
    std::unique_ptr<host::HostScene> scene;
    std::unique_ptr<CARenderer> renderer;
    explicit InProcess(const host::ScreenSpec& s) {
        NSAutoreleasePool pool;
        std::string error;
        scene = host::HostScene::load(kBundle, s, true, &error);
        if (!scene) fail(error);
        time.settle();
        scene->startAnimating();
        renderer = std::make_unique<CARenderer>(s.pixelWidth(), s.pixelHeight(), s.scale);
    }
    ~InProcess() {
        scene.reset();
        time.advanceTo(time.now() + 1);
    }
    // The frame at t, drawn as the child draws it: only what changed since the last.
    void frame(double t) {
        time.advanceTo(t);
        CARenderFrame f = renderer->renderFrame(scene->window()->layer(), t);
        benchmark::DoNotOptimize(f.number);
    }
    void replay(double t) {
        time.advanceTo(t);
        scene->gesture(2, CGPointMake(100, 100));
        time.settle();
    }
};

struct Pair {
    double childMs, inProcessMs, childDrawMs;
};

// Both draw the sample's flip-book picture by picture (a tenth of a second apart on their
// clocks), replayed when it ends: the same frames, each drawing what the picture changed.
Pair measure(const host::ScreenSpec& s, int rounds) {
    auto child = spawnChild(s);
    InProcess here(s);
    std::vector<double> c, h, d;
    host::WallpaperRequest replay;
    replay.op = host::WallpaperRequest::Op::gestureAction;
    replay.integer = 2;
    replay.point = CGPointMake(100, 100);
    for (int i = 0; i < rounds + 3; ++i) {
        double t = kStart + 0.1 * (i + 1);
        if (i % 30 == 29) {  // the run of 31 pictures ends after 3.1 s
            replay.at = t;
            host::WallpaperEvent reply;
            std::string error;
            if (!child->call(replay, 10, &reply, &error)) fail(error);
            here.replay(t);
            t += 0.05;
        }
        // Which side goes first alternates, so neither always finds the caches as the other
        // left them.
        double draw = 0, childMs = 0, hereMs = 0;
        for (int side = 0; side < 2; ++side) {
            auto t0 = Clock::now();
            if ((side == 0) == (i % 2 == 0)) {
                draw = childFrame(*child, t);
                childMs = ms(Clock::now() - t0);
            } else {
                here.frame(t);
                hereMs = ms(Clock::now() - t0);
            }
        }
        if (i < 3) continue;  // pictures decoded, caches warm
        c.push_back(childMs);
        h.push_back(hereMs);
        d.push_back(draw);
    }
    return {median(c), median(h), median(d)};
}

void BM_ChildFrame(benchmark::State& state) {
    host::ScreenSpec s = state.range(0) ? screenOf(1920, 1080) : screenOf(320, 568);
    auto child = spawnChild(s);
    double t = kStart;
    for (auto _ : state) childFrame(*child, t += 0.1);
}
void BM_InProcessFrame(benchmark::State& state) {
    host::ScreenSpec s = state.range(0) ? screenOf(1920, 1080) : screenOf(320, 568);
    InProcess here(s);
    double t = kStart;
    for (auto _ : state) here.frame(t += 0.1);
}
BENCHMARK(BM_ChildFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InProcessFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    // A request and its answer with nothing drawn: what crossing between the processes costs
    // (on a busy machine, mostly the wake-up of the blocked process).
    double roundTripMs;
    {
        auto child = spawnChild(screenOf(320, 568));
        std::vector<double> r;
        for (int i = 0; i < 200; ++i) {
            auto t0 = Clock::now();
            std::string summary, error;
            if (!child->callSummary(10, &summary, &error)) fail(error);
            r.push_back(ms(Clock::now() - t0));
        }
        roundTripMs = median(r);
    }
    Pair small = measure(screenOf(320, 568), 301);
    Pair large = measure(screenOf(1920, 1080), 121);

    // Start to first frame: a wallpaper process, and the same scene loaded here.
    std::vector<double> spawn, loads;
    for (int i = 0; i < 5; ++i) {
        auto t0 = Clock::now();
        auto child = spawnChild(screenOf(320, 568));
        childFrame(*child, kStart);
        spawn.push_back(ms(Clock::now() - t0));
        child.reset();
        t0 = Clock::now();
        {
            InProcess here(screenOf(320, 568));
            here.frame(kStart);
            loads.push_back(ms(Clock::now() - t0));
        }
        NSRunLoop::mainRunLoop()->runForInterval(0.01);
    }
    double spawnMs = median(spawn), loadMs = median(loads);
    double load = 0;  // the machine's, for reading the figures
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1) load = 0;
        std::fclose(f);
    }
    std::printf(
        "RESULT child_ms_640x1136=%.3f inprocess_ms_640x1136=%.3f child_vs_inprocess_640x1136=%.3f "
        "child_ms_3840x2160=%.3f inprocess_ms_3840x2160=%.3f child_vs_inprocess_3840x2160=%.3f "
        "spawn_ms=%.1f inprocess_load_ms=%.1f spawn_vs_inprocess_load=%.2f "
        "child_draw_ms_640x1136=%.3f child_draw_ms_3840x2160=%.3f round_trip_ms=%.3f "
        "load_average=%.2f\n",
        small.childMs, small.inProcessMs, small.childMs / small.inProcessMs, large.childMs,
        large.inProcessMs, large.childMs / large.inProcessMs, spawnMs, loadMs, spawnMs / loadMs,
        small.childDrawMs, large.childDrawMs, roundTripMs, load);
    host::releaseTextCaches();
    return 0;
}
