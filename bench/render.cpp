// Layer-tree rendering at 640 x 1136 pixels (320 x 568 points at scale 2): one frame of the
// sample wallpaper, and one frame of a full-screen picture layer under a perspective tilt,
// measured beside two full-frame memory passes (the least any frame costs). Ends with one
// RESULT line; the frame budget is the frame loop's 25 ms.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "Foundation/NSBundle.h"
#include "Foundation/NSRunLoop.h"
#include "Foundation/NSString.h"
#include "QuartzCore/CABase.h"
#include "QuartzCore/CARenderer.h"
#include "UIKit/UIColor.h"
#include "UIKit/UIScreen.h"
#include "interface/DeskTopView.h"

namespace {

constexpr int kWidth = 640, kHeight = 1136;
constexpr double kScale = 2;
constexpr double kBudgetMs = 25;

// The sample wallpaper in a host window of the screen's size.
struct DemoScene {
    Ref<UIView> window;
    Ref<DeskTopView> view;
    CARenderer renderer{kWidth, kHeight, kScale};
    DemoScene() {
        NSAutoreleasePool pool;
        UIScreen::mainScreen()->setBounds(CGRectMake(0, 0, kWidth / kScale, kHeight / kScale));
        UIScreen::mainScreen()->setScale(kScale);
        NSBundle* bundle = NSBundle::bundleWithPath(
            NSString::stringWithUTF8String(BD_BUNDLE_DIR "/AnimateDemo.bundle"));
        view = retained(bundle ? DeskTopView::createDeskTopViewFromBundle(bundle) : nullptr);
        if (!view) {
            std::fprintf(stderr, "render bench: no sample wallpaper at %s\n",
                         BD_BUNDLE_DIR "/AnimateDemo.bundle");
            std::exit(1);
        }
        window = adopt(
            alloc<UIView>()->initWithFrame(CGRectMake(0, 0, kWidth / kScale, kHeight / kScale)));
        window->setBackgroundColor(UIColor::blackColor());
        window->addSubview(view.get());
        view->startAnimating();
    }
    void frame() {
        renderer.clear({0, 0, 0, 1});
        renderer.render(window->layer(), CACurrentMediaTime());
    }
};

// A full-screen layer showing a full-screen picture, turned 25 degrees about y under a
// perspective of 500 points.
struct PerspectiveScene {
    Ref<CALayer> root, card;
    CARenderer renderer{kWidth, kHeight, kScale};
    PerspectiveScene() {
        std::shared_ptr<uint8_t[]> px(new uint8_t[size_t(kWidth) * kHeight * 4]);
        uint32_t* p = reinterpret_cast<uint32_t*>(px.get());
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                p[y * kWidth + x] = 0xFF000000u | uint32_t(x * 255 / kWidth) << 16 |
                                    uint32_t(y * 255 / kHeight) << 8 |
                                    (((x / 32 + y / 32) % 2) ? 0xC0u : 0x40u);
        Ref<CGImage> picture = adopt(bd::createARGB32Image(kWidth, kHeight, px));
        root = adopt(alloc<CALayer>()->init());
        root->setFrame(CGRectMake(0, 0, kWidth / kScale, kHeight / kScale));
        CATransform3D persp = CATransform3DIdentity;
        persp.m34 = -1.0 / 500;
        root->setSublayerTransform(persp);
        card = adopt(alloc<CALayer>()->init());
        card->setFrame(root->bounds());
        card->setContents(picture.get());
        card->setContentsScale(kScale);
        card->setTransform(CATransform3DMakeRotation(25 * 3.14159265358979323846 / 180, 0, 1, 0));
        root->addSublayer(card.get());
    }
    void frame() {
        renderer.clear({0, 0, 0, 1});
        renderer.render(root.get(), 0);
    }
};

// Two passes over a full frame: copy it out and back.
struct TwoPasses {
    std::vector<uint32_t> a = std::vector<uint32_t>(size_t(kWidth) * kHeight, 0xFF102030u);
    std::vector<uint32_t> b = std::vector<uint32_t>(size_t(kWidth) * kHeight);
    void frame() {
        std::memcpy(b.data(), a.data(), a.size() * 4);
        std::memcpy(a.data(), b.data(), a.size() * 4);
        benchmark::DoNotOptimize(a.data());
    }
};

DemoScene& demo() {
    static DemoScene* s = new DemoScene();
    return *s;
}
PerspectiveScene& perspective() {
    static PerspectiveScene* s = new PerspectiveScene();
    return *s;
}
TwoPasses& passes() {
    static TwoPasses* s = new TwoPasses();
    return *s;
}

void BM_DemoFrame(benchmark::State& s) {
    for (auto _ : s) demo().frame();
}
void BM_PerspectiveFrame(benchmark::State& s) {
    for (auto _ : s) perspective().frame();
}
void BM_TwoFullFramePasses(benchmark::State& s) {
    for (auto _ : s) passes().frame();
}
BENCHMARK(BM_DemoFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PerspectiveFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoFullFramePasses)->Unit(benchmark::kMillisecond);

// Median of n timed runs, in milliseconds; the three cases take turns so that they share the
// machine's state.
template <class F>
double timeMs(F&& f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::vector<double> d, p, b;
    for (int i = 0; i < 101; ++i) {
        d.push_back(timeMs([] { demo().frame(); }));
        p.push_back(timeMs([] { perspective().frame(); }));
        b.push_back(timeMs([] { passes().frame(); }));
        NSRunLoop::mainRunLoop()->runPending();  // the wallpaper's own main-thread work
    }
    double demoMs = median(d), perspMs = median(p), baseMs = median(b);
    std::printf(
        "RESULT demo_frame_ms=%.3f perspective_frame_ms=%.3f budget_ratio=%.4f "
        "two_passes_ms=%.3f demo_vs_two_passes=%.2f\n",
        demoMs, perspMs, demoMs / kBudgetMs, baseMs, demoMs / baseMs);
    return 0;
}
