// The frame loop on the real clock: a view whose doAnimating spends 2 ms, 400 frames.
// Reports the frame period's median and its 99th-percentile deviation from 25 ms, the loop
// thread's processor use, and the median main-thread hop of a post-and-wait.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
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

double gMedian = 0, gP99Dev = 0, gCpuPct = 0, gHopUs = 0;

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * (v.size() - 1) + 0.5))];
}

void BM_FrameLoop(benchmark::State& state) {
    for (auto _ : state) {
        auto* v =
            static_cast<BusyView*>(alloc<BusyView>()->initWithFrame(CGRectMake(0, 0, 320, 480)));
        NSObject::cancelPreviousPerformRequestsWithTarget(v, BD_SEL(DeskTopView, delayLoading),
                                                          nullptr);
        v->starts.reserve(512);
        v->startAnimating();
        NSRunLoop::mainRunLoop()->runUntil([&] { return v->starts.size() >= 400; }, 30);
        v->stopAnimating();
        NSRunLoop::mainRunLoop()->runUntil([&] { return v->ended.load(); }, 5);
        std::vector<double> periods, devs;
        for (size_t i = 1; i < v->starts.size(); ++i) {
            double p = (v->starts[i] - v->starts[i - 1]) * 1000;
            periods.push_back(p);
            devs.push_back(std::fabs(p - 25.0));
        }
        gMedian = percentile(periods, 0.5);
        gP99Dev = percentile(devs, 0.99);
        gCpuPct = v->loopWall > 0 ? 100.0 * v->loopCpu / v->loopWall : 0;
        v->release();
        NSRunLoop::mainRunLoop()->runForInterval(0.01);
    }
    state.counters["period_median_ms"] = gMedian;
    state.counters["period_p99_dev_ms"] = gP99Dev;
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
    std::printf(
        "RESULT period_median_ms=%.3f period_p99_dev_ms=%.3f loop_cpu_pct=%.2f main_hop_us=%.1f\n",
        gMedian, gP99Dev, gCpuPct, gHopUs);
    return 0;
}
