// Layer-tree rendering at 640 x 1136 pixels (320 x 568 points at scale 2), side by side with
// the least such frames could cost, in the same run:
//   demo_frame_ms    a whole frame of the sample wallpaper (flip-book playing), against
//   two_passes_ms    two memory passes over a frame (copy out and back): demo_vs_two_passes;
//   demo_damage_ms   a frame where only the flip-book's picture changed;
//   icons_frame_ms   a whole frame of the sample wallpaper under the launcher's icon grid;
//   static_check_us  the "does anything need a frame?" answer on a tree where nothing moves;
//   perspective_frame_ms  a full-screen picture turned in perspective, against
//   pixman_pass_ms   one affine bilinear pixman composite of the same picture and size
//                    (a scaling, pixman's fast path): perspective_vs_pixman_pass;
//                    pixman_turned_pass_ms: the same turned a little (pixman's general path).
// Frames are timed on the thread's processor clock (a shared machine's other work does not
// count), warm, each the median of runs taken in turns. Ends with one RESULT line.

#include <benchmark/benchmark.h>
#include <pixman.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

#include "Foundation/NSBundle.h"
#include "Foundation/NSRunLoop.h"
#include "Foundation/NSString.h"
#include "QuartzCore/CABase.h"
#include "QuartzCore/CARenderer.h"
#include "UIKit/UIColor.h"
#include "UIKit/UIScreen.h"
#include "host/scene/HostScene.h"
#include "interface/DeskTopView.h"

namespace {

constexpr int kWidth = 640, kHeight = 1136;
constexpr double kScale = 2;
constexpr double kBudgetMs = 25;
constexpr double kT0 = 1000;  // the virtual clock's start: the flip-book starts here

bd::VirtualMediaClock& clock() {
    static bd::VirtualMediaClock* shared = [] {
        auto* c = new bd::VirtualMediaClock(kT0);
        bd::setMediaClock(c);
        return c;
    }();
    return *shared;
}

// The sample wallpaper in a host window of the screen's size, optionally under the icons.
struct DemoScene {
    Ref<UIView> window;
    Ref<DeskTopView> view;
    CARenderer renderer{kWidth, kHeight, kScale};
    explicit DemoScene(bool icons) {
        NSAutoreleasePool pool;
        clock();
        host::ScreenSpec screen{kWidth / kScale, kHeight / kScale, kScale};
        UIScreen::mainScreen()->setBounds(CGRectMake(0, 0, screen.width, screen.height));
        UIScreen::mainScreen()->setScale(kScale);
        NSBundle* bundle = NSBundle::bundleWithPath(
            NSString::stringWithUTF8String(BD_BUNDLE_DIR "/AnimateDemo.bundle"));
        view = retained(bundle ? DeskTopView::createDeskTopViewFromBundle(bundle) : nullptr);
        if (!view) {
            std::fprintf(stderr, "render bench: no sample wallpaper at %s\n",
                         BD_BUNDLE_DIR "/AnimateDemo.bundle");
            std::exit(1);
        }
        window =
            adopt(alloc<UIView>()->initWithFrame(CGRectMake(0, 0, screen.width, screen.height)));
        window->setBackgroundColor(UIColor::blackColor());
        window->addSubview(view.get());
        if (icons) window->addSubview(host::makeIconGrid(screen));
    }
    // A whole frame at media time t.
    void frame(double t) {
        renderer.invalidate();
        renderer.renderFrame(window->layer(), t);
    }
    // A frame that redraws what changed since the last one.
    void damaged(double t) { renderer.renderFrame(window->layer(), t); }
};

// A full-screen layer showing a full-screen picture, turned 25 degrees about y under a
// perspective of 500 points.
struct PerspectiveScene {
    Ref<CALayer> root, card;
    Ref<CGImage> picture;
    CARenderer renderer{kWidth, kHeight, kScale};
    PerspectiveScene() {
        std::shared_ptr<uint8_t[]> px(new uint8_t[size_t(kWidth) * kHeight * 4]);
        uint32_t* p = reinterpret_cast<uint32_t*>(px.get());
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                p[y * kWidth + x] = 0xFF000000u | uint32_t(x * 255 / kWidth) << 16 |
                                    uint32_t(y * 255 / kHeight) << 8 |
                                    (((x / 32 + y / 32) % 2) ? 0xC0u : 0x40u);
        picture = adopt(bd::createARGB32Image(kWidth, kHeight, px));
        root = adopt(alloc<CALayer>()->init());
        root->setFrame(CGRectMake(0, 0, kWidth / kScale, kHeight / kScale));
        CATransform3D persp = CATransform3DIdentity;
        persp.m34 = -1.0 / 500;
        root->setSublayerTransform(persp);
        card = adopt(alloc<CALayer>()->init());
        card->setFrame(root->bounds());
        card->setContents(picture.get());
        card->setContentsScale(kScale);
        card->setTransform(CATransform3DMakeRotation(25 * std::numbers::pi / 180, 0, 1, 0));
        root->addSublayer(card.get());
    }
    void frame() {
        renderer.invalidate();
        renderer.renderFrame(root.get(), kT0);
    }
};

// One affine bilinear pixman pass over a frame of the same size, of the same picture: scaled
// by 1.02 (pixman's fast path for scaling), or also turned by 3 degrees (its general path,
// several times slower: what a sheared tile would cost through pixman).
struct PixmanPass {
    std::vector<uint32_t> dst = std::vector<uint32_t>(size_t(kWidth) * kHeight, 0xFF000000u);
    pixman_image_t *src, *target;
    PixmanPass(CGImage* picture, double degrees) {
        src = pixman_image_create_bits(
            PIXMAN_a8r8g8b8, kWidth, kHeight,
            reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(picture->bytes())),
            int(picture->bytesPerRow()));
        target = pixman_image_create_bits(PIXMAN_a8r8g8b8, kWidth, kHeight, dst.data(), kWidth * 4);
        double a = degrees * std::numbers::pi / 180, s = 1.02;
        pixman_transform_t t;
        pixman_transform_init_identity(&t);
        t.matrix[0][0] = pixman_double_to_fixed(std::cos(a) * s);
        t.matrix[0][1] = pixman_double_to_fixed(-std::sin(a) * s);
        t.matrix[1][0] = pixman_double_to_fixed(std::sin(a) * s);
        t.matrix[1][1] = pixman_double_to_fixed(std::cos(a) * s);
        t.matrix[0][2] = pixman_double_to_fixed(20);
        pixman_image_set_transform(src, &t);
        pixman_image_set_filter(src, PIXMAN_FILTER_BILINEAR, nullptr, 0);
    }
    void frame() {
        pixman_image_composite32(PIXMAN_OP_OVER, src, nullptr, target, 0, 0, 0, 0, 0, 0, kWidth,
                                 kHeight);
        benchmark::DoNotOptimize(dst.data());
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
    static DemoScene* s = new DemoScene(false);
    return *s;
}
DemoScene& icons() {
    static DemoScene* s = new DemoScene(true);
    return *s;
}
PerspectiveScene& perspective() {
    static PerspectiveScene* s = new PerspectiveScene();
    return *s;
}
PixmanPass& pixmanPass() {
    static PixmanPass* s = new PixmanPass(perspective().picture.get(), 0);
    return *s;
}
PixmanPass& pixmanTurnedPass() {
    static PixmanPass* s = new PixmanPass(perspective().picture.get(), 3);
    return *s;
}
TwoPasses& passes() {
    static TwoPasses* s = new TwoPasses();
    return *s;
}

// Two times a tenth of a second apart while the flip-book plays: different pictures.
const double kFlipA = kT0 + 1.0, kFlipB = kT0 + 1.1;

void BM_DemoFrame(benchmark::State& s) {
    for (auto _ : s) demo().frame(kFlipA);
}
void BM_DemoDamageFrame(benchmark::State& s) {
    bool b = false;
    for (auto _ : s) demo().damaged((b = !b) ? kFlipB : kFlipA);
}
void BM_IconsFrame(benchmark::State& s) {
    for (auto _ : s) icons().frame(kFlipA);
}
void BM_PerspectiveFrame(benchmark::State& s) {
    for (auto _ : s) perspective().frame();
}
void BM_PixmanPass(benchmark::State& s) {
    for (auto _ : s) pixmanPass().frame();
}
void BM_PixmanTurnedPass(benchmark::State& s) {
    for (auto _ : s) pixmanTurnedPass().frame();
}
void BM_TwoFullFramePasses(benchmark::State& s) {
    for (auto _ : s) passes().frame();
}
BENCHMARK(BM_DemoFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DemoDamageFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IconsFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PerspectiveFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PixmanPass)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PixmanTurnedPass)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoFullFramePasses)->Unit(benchmark::kMillisecond);

double threadSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}
// One timed run after two untimed ones: each case is measured warm, as a host that draws
// frame after frame finds it, while the cases still take turns through the run.
template <class F>
double timeMs(F&& f) {
    f();
    f();
    double t0 = threadSeconds();
    f();
    return (threadSeconds() - t0) * 1000;
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

    // The cases take turns, so that they share the machine's state.
    std::vector<double> d, dd, ic, p, px, pt, b;
    bool flip = false;
    for (int i = 0; i < 61; ++i) {
        d.push_back(timeMs([] { demo().frame(kFlipA); }));
        dd.push_back(timeMs([&] { demo().damaged((flip = !flip) ? kFlipB : kFlipA); }));
        ic.push_back(timeMs([] { icons().frame(kFlipA); }));
        p.push_back(timeMs([] { perspective().frame(); }));
        px.push_back(timeMs([] { pixmanPass().frame(); }));
        pt.push_back(timeMs([] { pixmanTurnedPass().frame(); }));
        b.push_back(timeMs([] { passes().frame(); }));
    }
    // The "needs a frame?" answer on a tree where nothing moves: the flip-book stopped.
    demo().view->stopAnimating();
    demo().damaged(kT0 + 5);
    CALayer* root = demo().window->layer();
    std::vector<double> checks;
    int yes = 0;
    for (int run = 0; run < 11; ++run) {
        constexpr int kChecks = 100000;
        double t0 = threadSeconds();
        for (int i = 0; i < kChecks; ++i)
            yes += demo().renderer.needsFrame(root, kT0 + 5 + i * 1e-6) ? 1 : 0;
        checks.push_back((threadSeconds() - t0) * 1e6 / kChecks);
    }
    if (yes) std::fprintf(stderr, "render bench: a static tree asked for %d frames\n", yes);

    double demoMs = median(d), damageMs = median(dd), iconsMs = median(ic);
    double perspMs = median(p), pixmanMs = median(px), baseMs = median(b);
    std::printf(
        "RESULT demo_frame_ms=%.3f demo_damage_ms=%.3f icons_frame_ms=%.3f two_passes_ms=%.3f "
        "demo_vs_two_passes=%.2f static_check_us=%.4f perspective_frame_ms=%.3f "
        "pixman_pass_ms=%.3f perspective_vs_pixman_pass=%.2f pixman_turned_pass_ms=%.3f "
        "budget_ratio=%.4f\n",
        demoMs, damageMs, iconsMs, baseMs, demoMs / baseMs, median(checks), perspMs, pixmanMs,
        perspMs / pixmanMs, median(pt), demoMs / kBudgetMs);
    return 0;
}
