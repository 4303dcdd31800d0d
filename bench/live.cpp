// The sample wallpaper live, through the same loop as `backdrop run` (host/RunSession) and a
// window of SDL's offscreen video driver, 10 seconds in each state: playing (its flip-book
// replayed whenever it ends), static (the flip-book over), paused; on a 640 x 1136 screen and
// on a 3840 x 2160 one. Processor time of both processes (this one and the wallpaper process
// that draws) over wall time, side by side with
// the bare cost of the frames the loop presented (the same frames rendered back to back).
// Ends with `RESULT playing_cpu_pct=... static_cpu_pct=... paused_cpu_pct=...
// static_renders_per_s=... uhd_playing_cpu_pct=...`.

#include <benchmark/benchmark.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "QuartzCore/CABase.h"
#include "RunSession.h"
#include "SDLWindow.h"
#include "host/scene/HostScene.h"

namespace {

using Op = host::WallpaperRequest::Op;
constexpr double kSeconds = 10;

double processSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct Measure {
    double cpuPct = 0, rendersPerSecond = 0, presentsPerSecond = 0;
};

enum class State { Playing, Static, Paused };

struct Live {
    std::unique_ptr<host::SDLWindow> window;
    std::unique_ptr<host::RunSession> session;

    explicit Live(const std::string& screenText) {
        host::ScreenSpec screen;
        std::string error;
        if (!host::parseScreen(screenText, &screen, &error)) std::abort();
        window = host::SDLWindow::open("live bench", screen.pixelWidth(), screen.pixelHeight(),
                                       true, &error);
        host::WallpaperOptions options;
        options.bundlePath = BD_BUNDLE_DIR "/AnimateDemo.bundle";
        options.executable = BD_TOOL_PATH;
        options.screen = screen;
        options.icons = true;
        options.hangTimeout = 30;
        if (window)
            session = host::RunSession::start(
                options, *window, 40, "live bench", [](const std::string&) {}, &error);
        if (!window || !session) {
            std::fprintf(stderr, "live bench: %s\n", error.c_str());
            std::exit(1);
        }
        session->call(Op::startAnimating);
    }
    ~Live() { session.reset(); }

    bool animating() {
        host::WallpaperEvent e;
        return session->call(Op::isAnimating, &e) && e.value;
    }
    void replay() { session->call(Op::gestureAction, nullptr, CGPointMake(100, 100), 0, 2); }
    // Both processes' processor time: this one's and the wallpaper process's.
    double cpuSeconds() { return processSeconds() + session->wallpaper()->counters().cpuSeconds; }

    // Turns of the loop for `seconds`, keeping the flip-book playing when asked.
    void run(double seconds, bool keepPlaying) {
        double end = CACurrentMediaTime() + seconds;
        for (double now = CACurrentMediaTime(); now < end; now = CACurrentMediaTime()) {
            if (keepPlaying && !animating()) replay();  // a tap's replay
            session->turn(std::min(end - now, keepPlaying ? 0.05 : end - now));
        }
    }

    Measure measure(State state) {
        switch (state) {
            case State::Playing:
                replay();
                break;
            case State::Static:
                session->call(Op::resumeAnimating);
                run(3.5, false);  // the single run of the flip-book ends
                break;
            case State::Paused:
                session->call(Op::resumeAnimating);
                run(0.5, false);
                session->call(Op::pauseAnimating);
                break;
        }
        run(0.2, state == State::Playing);
        uint64_t r0 = session->renders(), p0 = session->presents();
        double c0 = cpuSeconds(), w0 = CACurrentMediaTime();
        run(kSeconds, state == State::Playing);
        double wall = CACurrentMediaTime() - w0;
        Measure m;
        m.cpuPct = 100 * (cpuSeconds() - c0) / wall;
        m.rendersPerSecond = double(session->renders() - r0) / wall;
        m.presentsPerSecond = double(session->presents() - p0) / wall;
        return m;
    }
};

Measure gPlaying, gStatic, gPaused, gUhdPlaying, gUhdStatic, gUhdPaused;

void runScreen(benchmark::State& s, const char* screen, Measure* playing, Measure* still,
               Measure* paused) {
    for (auto _ : s) {
        Live live(screen);
        *playing = live.measure(State::Playing);
        *still = live.measure(State::Static);
        *paused = live.measure(State::Paused);
    }
    s.counters["playing_cpu_pct"] = playing->cpuPct;
    s.counters["playing_frames_per_s"] = playing->presentsPerSecond;
    s.counters["static_cpu_pct"] = still->cpuPct;
    s.counters["static_renders_per_s"] = still->rendersPerSecond;
    s.counters["paused_cpu_pct"] = paused->cpuPct;
}

void BM_Live640x1136(benchmark::State& s) {
    runScreen(s, "320x568@2", &gPlaying, &gStatic, &gPaused);
}
void BM_Live3840x2160(benchmark::State& s) {
    runScreen(s, "1920x1080@2", &gUhdPlaying, &gUhdStatic, &gUhdPaused);
}
BENCHMARK(BM_Live640x1136)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_Live3840x2160)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // Windows that draw nowhere: SDL's offscreen driver (unless one is asked for).
    if (!std::getenv("SDL_VIDEODRIVER")) setenv("SDL_VIDEODRIVER", "offscreen", 1);
    if (!std::getenv("SDL_AUDIODRIVER")) setenv("SDL_AUDIODRIVER", "dummy", 1);
    NSAutoreleasePool pool;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf(
        "RESULT playing_cpu_pct=%.2f playing_frames_per_s=%.1f static_cpu_pct=%.3f "
        "paused_cpu_pct=%.3f static_renders_per_s=%.2f uhd_playing_cpu_pct=%.2f "
        "uhd_static_cpu_pct=%.3f uhd_paused_cpu_pct=%.3f\n",
        gPlaying.cpuPct, gPlaying.presentsPerSecond, gStatic.cpuPct, gPaused.cpuPct,
        gStatic.rendersPerSecond, gUhdPlaying.cpuPct, gUhdStatic.cpuPct, gUhdPaused.cpuPct);
    host::releaseTextCaches();
    return 0;
}
