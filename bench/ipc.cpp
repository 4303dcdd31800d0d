// A frame drawn in a wallpaper process and handed to the parent in shared memory (request,
// draw into a memfd buffer, reply, release: no copy between the processes), against the same
// scene drawn in this process, at 640 x 1136 (320 x 568 points at 2x) and 3840 x 2160
// (1920 x 1080 at 2x): the sample wallpaper behind the launcher's icons. Also the start of a
// wallpaper process up to its first frame, against loading the same scene here. Ends with one
// RESULT line; child_vs_inprocess should stay at or below 1.1.

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
#include "host/HostScene.h"
#include "host/wallpaper/WallpaperProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kBundle = BD_BUNDLE_DIR "/AnimateDemo.bundle";
constexpr double kStart = 1000, kAt = 1001;  // one second in: the flip-book is playing

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
double childFrame(host::WallpaperProcess& p) {
    host::WallpaperFrame f;
    std::string error;
    if (!p.renderSync(kAt, 60, &f, &error)) fail(error);
    benchmark::DoNotOptimize(f.pixels);
    p.releaseBuffer(f.buffer);
    return f.renderMs;
}

// The same scene in this process.
struct InProcess {
    std::unique_ptr<host::HostScene> scene;
    std::unique_ptr<CARenderer> renderer;
    double at = 0;
    explicit InProcess(const host::ScreenSpec& s) {
        NSAutoreleasePool pool;
        std::string error;
        scene = host::HostScene::load(kBundle, s, true, &error);
        if (!scene) fail(error);
        renderer = std::make_unique<CARenderer>(s.pixelWidth(), s.pixelHeight(), s.scale);
        at = CACurrentMediaTime() + (kAt - kStart);
    }
    void frame() {
        renderer->clear({0, 0, 0, 1});
        renderer->render(scene->window()->layer(), at);
        benchmark::DoNotOptimize(renderer->pixels());
    }
};

struct Pair {
    double childMs, inProcessMs, childDrawMs;
};

Pair measure(const host::ScreenSpec& s, int rounds) {
    auto child = spawnChild(s);
    InProcess here(s);
    for (int i = 0; i < 3; ++i) childFrame(*child), here.frame();  // pictures decoded, caches warm
    std::vector<double> c, h, d;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        d.push_back(childFrame(*child));
        auto t1 = Clock::now();
        here.frame();
        auto t2 = Clock::now();
        c.push_back(ms(t1 - t0));
        h.push_back(ms(t2 - t1));
        NSRunLoop::mainRunLoop()->runPending();
    }
    return {median(c), median(h), median(d)};
}

void BM_ChildFrame(benchmark::State& state) {
    host::ScreenSpec s = state.range(0) ? screenOf(1920, 1080) : screenOf(320, 568);
    auto child = spawnChild(s);
    childFrame(*child);
    for (auto _ : state) childFrame(*child);
}
void BM_InProcessFrame(benchmark::State& state) {
    host::ScreenSpec s = state.range(0) ? screenOf(1920, 1080) : screenOf(320, 568);
    InProcess here(s);
    here.frame();
    for (auto _ : state) here.frame();
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
    Pair small = measure(screenOf(320, 568), 61);
    Pair large = measure(screenOf(1920, 1080), 21);

    // Start to first frame: a wallpaper process, and the same scene loaded here.
    std::vector<double> spawn, loads;
    for (int i = 0; i < 5; ++i) {
        auto t0 = Clock::now();
        auto child = spawnChild(screenOf(320, 568));
        childFrame(*child);
        spawn.push_back(ms(Clock::now() - t0));
        child.reset();
        t0 = Clock::now();
        {
            InProcess here(screenOf(320, 568));
            here.frame();
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
