// The frame loop on the real clock: a view whose doAnimating spends 2 ms, 400 frames, taking
// turns (in rounds of 100 frames) with a bare loop on a thread of its own that sleeps to
// absolute 25 ms deadlines with clock_nanosleep and spends the same 2 ms per frame: the least
// jitter the machine allows. Reports the frame period's median and its 99th-percentile
// deviation from 25 ms for both, their ratio p99_vs_bare, the loop thread's processor use,
// and the median main-thread hop of a post-and-wait.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "Foundation/NSRunLoop.h"
#include "QuartzCore/CABase.h"
#include "interface/DeskTopView.h"

namespace {

double threadCpu() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

struct BusyView : DeskTopView {
    std::vector<double> starts;
    std::atomic<double> loopCpu{0}, loopWall{0};
    std::atomic<bool> ended{false};
    void doAnimating() override {
        double t = CACurrentMediaTime();
        starts.push_back(t);
        while (CACurrentMediaTime() - t < 0.002) {
        }
    }
    void runLoop() override {
        double c0 = threadCpu(), w0 = CACurrentMediaTime();
        DeskTopView::runLoop();
        loopCpu = threadCpu() - c0;
        loopWall = CACurrentMediaTime() - w0;
        ended = true;
    }
};

double gMedian = 0, gP99Dev = 0, gCpuPct = 0, gHopUs = 0, gBareMedian = 0, gBareP99Dev = 0;
constexpr int kRounds = 4, kFramesPerRound = 100;

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * (v.size() - 1) + 0.5))];
}

// One round of the frame loop: the periods between doAnimating calls (ms), and the loop
// thread's processor time and wall time.
void frameLoopRound(std::vector<double>* periods, double* cpu, double* wall) {
    auto* v = static_cast<BusyView*>(alloc<BusyView>()->initWithFrame(CGRectMake(0, 0, 320, 480)));
    NSObject::cancelPreviousPerformRequestsWithTarget(v, BD_SEL(DeskTopView, delayLoading),
                                                      nullptr);
    v->starts.reserve(kFramesPerRound + 8);
    v->startAnimating();
    NSRunLoop::mainRunLoop()->runUntil([&] { return v->starts.size() >= kFramesPerRound; }, 30);
    v->stopAnimating();
    NSRunLoop::mainRunLoop()->runUntil([&] { return v->ended.load(); }, 5);
    for (size_t i = 1; i < v->starts.size(); ++i)
        periods->push_back((v->starts[i] - v->starts[i - 1]) * 1000);
    *cpu += v->loopCpu;
    *wall += v->loopWall;
    v->release();
    NSRunLoop::mainRunLoop()->runForInterval(0.01);
}

// One round of the bare loop: a thread that sleeps to absolute deadlines 25 ms apart and
// spends 2 ms per frame.
void bareRound(std::vector<double>* periods) {
    std::thread t([&] {
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        double last = -1;
        for (int i = 0; i < kFramesPerRound; ++i) {
            deadline.tv_nsec += 25000000;
            if (deadline.tv_nsec >= 1000000000) deadline.tv_nsec -= 1000000000, ++deadline.tv_sec;
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
            }
            double now = CACurrentMediaTime();
            if (last >= 0) periods->push_back((now - last) * 1000);
            last = now;
            while (CACurrentMediaTime() - now < 0.002) {
            }
        }
    });
    t.join();
}

void BM_FrameLoop(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<double> periods, bare;
        double cpu = 0, wall = 0;
        for (int r = 0; r < kRounds; ++r) {
            bareRound(&bare);
            frameLoopRound(&periods, &cpu, &wall);
        }
        auto deviations = [](const std::vector<double>& p) {
            std::vector<double> d;
            for (double x : p) d.push_back(std::fabs(x - 25.0));
            return d;
        };
        gMedian = percentile(periods, 0.5);
        gP99Dev = percentile(deviations(periods), 0.99);
        gBareMedian = percentile(bare, 0.5);
        gBareP99Dev = percentile(deviations(bare), 0.99);
        gCpuPct = wall > 0 ? 100.0 * cpu / wall : 0;
    }
    state.counters["period_median_ms"] = gMedian;
    state.counters["period_p99_dev_ms"] = gP99Dev;
    state.counters["bare_p99_dev_ms"] = gBareP99Dev;
    state.counters["loop_cpu_pct"] = gCpuPct;
}
BENCHMARK(BM_FrameLoop)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Round trip of a post-and-wait from a background thread to the running main loop.
void BM_MainHop(benchmark::State& state) {
    std::vector<double> hops;
    for (auto _ : state) {
        std::atomic<bool> done{false};
        std::thread t([&] {
            for (int i = 0; i < 2000; ++i) {
                double t0 = CACurrentMediaTime();
                NSRunLoop::mainRunLoop()->postAndWait([] {});
                hops.push_back((CACurrentMediaTime() - t0) * 1e6);
            }
            done = true;
            NSRunLoop::mainRunLoop()->post([] {});
        });
        NSRunLoop::mainRunLoop()->runUntil([&] { return done.load(); }, 30);
        t.join();
    }
    gHopUs = percentile(hops, 0.5);
    state.counters["main_hop_us"] = gHopUs;
}
BENCHMARK(BM_MainHop)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // A floor of a tenth of a millisecond: on a quiet machine both deviations are noise.
    double ratio = std::max(gP99Dev, 0.1) / std::max(gBareP99Dev, 0.1);
    std::printf(
        "RESULT period_median_ms=%.3f period_p99_dev_ms=%.3f bare_period_median_ms=%.3f "
        "bare_p99_dev_ms=%.3f p99_vs_bare=%.2f loop_cpu_pct=%.2f main_hop_us=%.1f\n",
        gMedian, gP99Dev, gBareMedian, gBareP99Dev, ratio, gCpuPct, gHopUs);
    return 0;
}
