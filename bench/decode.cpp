// Picture decoding through UIImage against calling TurboJPEG / libpng directly on the same
// bytes: a 640x1136 JPEG and a 640x1136 RGBA PNG, both made here. And the sample bundle's
// load as a host does it (bind, build the view with all its pictures, draw the first frame)
// against reading and decoding the same picture files with TurboJPEG and libpng alone, every
// picture kept until all are decoded (as the view keeps them). The last line sums it up:
// RESULT jpeg_ms=.. jpeg_direct_ms=.. jpeg_overhead_pct=.. png_ms=.. png_direct_ms=..
// png_overhead_pct=.. bundle_load_ms=.. raw_decode_ms=.. pictures=.. load_vs_raw=..
#include <benchmark/benchmark.h>
#include <png.h>
#include <time.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "Common/ImageCache.h"
#include "Foundation/NSBundle.h"
#include "Foundation/NSObject.h"
#include "Foundation/NSRunLoop.h"
#include "Foundation/NSString.h"
#include "QuartzCore/CABase.h"
#include "QuartzCore/CARenderer.h"
#include "UIKit/UIColor.h"
#include "UIKit/UIImage.h"
#include "UIKit/UIScreen.h"
#include "interface/DeskTopView.h"

namespace {
constexpr int W = 640, H = 1136;
using Bytes = std::vector<unsigned char>;

Bytes pixels() {
    Bytes p(size_t(W) * H * 4);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            unsigned char* q = &p[(size_t(y) * W + x) * 4];
            // Smooth gradients with some texture, like a wallpaper photo.
            q[0] = (unsigned char)(x * 255 / W);
            q[1] = (unsigned char)(y * 255 / H);
            q[2] = (unsigned char)(128 + 100 * std::sin(x * 0.05) * std::cos(y * 0.03));
            q[3] = (unsigned char)(x % 97 == 0 ? 128 : 255);
        }
    return p;
}

const Bytes& jpegFile() {
    static Bytes out = [] {
        Bytes px = pixels();
        tjhandle tj = tjInitCompress();
        unsigned char* buf = nullptr;
        unsigned long size = 0;
        tjCompress2(tj, px.data(), W, 0, H, TJPF_RGBA, &buf, &size, TJSAMP_420, 90, 0);
        Bytes b(buf, buf + size);
        tjFree(buf);
        tjDestroy(tj);
        return b;
    }();
    return out;
}

const Bytes& pngFile() {
    static Bytes out = [] {
        Bytes px = pixels();
        png_image img;
        std::memset(&img, 0, sizeof img);
        img.version = PNG_IMAGE_VERSION;
        img.width = W, img.height = H, img.format = PNG_FORMAT_RGBA;
        png_alloc_size_t size = 0;
        png_image_write_to_memory(&img, nullptr, &size, 0, px.data(), 0, nullptr);
        Bytes b(size);
        png_image_write_to_memory(&img, b.data(), &size, 0, px.data(), 0, nullptr);
        b.resize(size);
        return b;
    }();
    return out;
}

void decodeUIImage(const Bytes& b) {
    NSAutoreleasePool pool;
    UIImage* img = UIImage::imageWithBytes(b.data(), b.size());
    if (!img) std::abort();
    benchmark::DoNotOptimize(img->CGImage()->bytes());
}

void decodeJpegDirect() {
    const Bytes& b = jpegFile();
    tjhandle tj = tjInitDecompress();
    int w, h, ss, cs;
    tjDecompressHeader3(tj, b.data(), b.size(), &w, &h, &ss, &cs);
    std::vector<unsigned char> out(size_t(w) * h * 4);
    tjDecompress2(tj, b.data(), b.size(), out.data(), w, 0, h, TJPF_BGRA, 0);
    tjDestroy(tj);
    benchmark::DoNotOptimize(out.data());
}

void decodePngDirect() {
    const Bytes& b = pngFile();
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    png_image_begin_read_from_memory(&img, b.data(), b.size());
    img.format = PNG_FORMAT_BGRA;
    std::vector<unsigned char> out(PNG_IMAGE_SIZE(img));
    png_image_finish_read(&img, nullptr, out.data(), 0, nullptr);
    benchmark::DoNotOptimize(out.data());
}

void BM_JpegUIImage(benchmark::State& s) {
    for (auto _ : s) decodeUIImage(jpegFile());
}
void BM_JpegDirect(benchmark::State& s) {
    for (auto _ : s) decodeJpegDirect();
}
void BM_PngUIImage(benchmark::State& s) {
    for (auto _ : s) decodeUIImage(pngFile());
}
void BM_PngDirect(benchmark::State& s) {
    for (auto _ : s) decodePngDirect();
}
// ---- the sample bundle

const char* const kBundle = BD_BUNDLE_DIR "/AnimateDemo.bundle";

// The picture files the sample view loads: the background, the base picture, the frames.
std::vector<std::string> bundlePictures() {
    std::vector<std::string> out = {std::string(kBundle) + "/bg.jpg",
                                    std::string(kBundle) + "/hallowmas_pumpkin_base.png"};
    for (int i = 1; i <= 31; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "/%02d.png", i);
        if (std::filesystem::exists(std::string(kBundle) + name))
            out.push_back(std::string(kBundle) + name);
    }
    return out;
}

// The host's load: the screen, the bundle's view (its pictures decoded afresh: the cache is
// emptied first), a window, the first frame drawn; then all let go.
void bundleLoad() {
    NSAutoreleasePool pool;
    UIScreen::mainScreen()->setBounds(CGRectMake(0, 0, 320, 568));
    UIScreen::mainScreen()->setScale(2);
    ImageCache::sharedInstance()->clearMemorryCache();
    NSBundle* bundle = NSBundle::bundleWithPath(NSString::stringWithUTF8String(kBundle));
    Ref<DeskTopView> view =
        retained(bundle ? DeskTopView::createDeskTopViewFromBundle(bundle) : nullptr);
    if (!view) std::abort();
    Ref<UIView> window = adopt(alloc<UIView>()->initWithFrame(CGRectMake(0, 0, 320, 568)));
    window->setBackgroundColor(UIColor::blackColor());
    window->addSubview(view.get());
    CARenderer renderer(640, 1136, 2);
    renderer.renderFrame(window->layer(), CACurrentMediaTime());
    view->removeFromSuperview();
    view = nullptr;
    window = nullptr;
    ImageCache::sharedInstance()->clearMemorryCache();
}

// The same files read and decoded by TurboJPEG and libpng alone, each into a buffer of its
// own, all kept until the last is done.
void rawDecode() {
    static const std::vector<std::string> files = bundlePictures();
    std::vector<std::unique_ptr<unsigned char[]>> kept;
    kept.reserve(files.size());
    tjhandle tj = tjInitDecompress();
    Bytes b;
    for (const std::string& f : files) {
        FILE* in = std::fopen(f.c_str(), "rb");
        if (!in) std::abort();
        std::fseek(in, 0, SEEK_END);
        b.resize(size_t(std::ftell(in)));
        std::fseek(in, 0, SEEK_SET);
        if (std::fread(b.data(), 1, b.size(), in) != b.size()) std::abort();
        std::fclose(in);
        if (f.size() > 4 && f.compare(f.size() - 4, 4, ".jpg") == 0) {
            int w, h, ss, cs;
            tjDecompressHeader3(tj, b.data(), b.size(), &w, &h, &ss, &cs);
            kept.emplace_back(new unsigned char[size_t(w) * h * 4]);
            tjDecompress2(tj, b.data(), b.size(), kept.back().get(), w, 0, h, TJPF_BGRA, 0);
        } else {
            png_image img;
            std::memset(&img, 0, sizeof img);
            img.version = PNG_IMAGE_VERSION;
            png_image_begin_read_from_memory(&img, b.data(), b.size());
            img.format = PNG_FORMAT_BGRA;
            kept.emplace_back(new unsigned char[PNG_IMAGE_SIZE(img)]);
            png_image_finish_read(&img, nullptr, kept.back().get(), 0, nullptr);
        }
    }
    tjDestroy(tj);
    benchmark::DoNotOptimize(kept.data());
}

void BM_BundleLoad(benchmark::State& s) {
    for (auto _ : s) bundleLoad();
}
void BM_RawDecode(benchmark::State& s) {
    for (auto _ : s) rawDecode();
}
BENCHMARK(BM_BundleLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawDecode)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_JpegUIImage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegDirect)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngUIImage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngDirect)->Unit(benchmark::kMillisecond);

// Median of several timed runs, for the summary line.
template <class F>
double medianMs(F f, int runs = 15) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        auto a = std::chrono::steady_clock::now();
        f();
        t.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a)
                        .count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// Milliseconds of this thread's processor time (the work runs on this thread; a shared
// machine's other work does not count).
double cpuMs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
}
}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    double j = medianMs([] { decodeUIImage(jpegFile()); });
    double jd = medianMs(decodeJpegDirect);
    double p = medianMs([] { decodeUIImage(pngFile()); });
    double pd = medianMs(decodePngDirect);
    // The load and the raw decode take turns; each figure the median of their runs.
    std::vector<double> load, raw;
    for (int i = 0; i < 15; ++i) {
        double t0 = cpuMs();
        bundleLoad();
        double t1 = cpuMs();
        rawDecode();
        load.push_back(t1 - t0);
        raw.push_back(cpuMs() - t1);
        NSRunLoop::mainRunLoop()->runPending();
    }
    std::sort(load.begin(), load.end());
    std::sort(raw.begin(), raw.end());
    double loadMs = load[load.size() / 2], rawMs = raw[raw.size() / 2];
    std::printf(
        "RESULT jpeg_ms=%.3f jpeg_direct_ms=%.3f jpeg_overhead_pct=%.1f png_ms=%.3f "
        "png_direct_ms=%.3f "
        "png_overhead_pct=%.1f bundle_load_ms=%.2f raw_decode_ms=%.2f pictures=%zu "
        "load_vs_raw=%.3f\n",
        j, jd, (j / jd - 1) * 100, p, pd, (p / pd - 1) * 100, loadMs, rawMs,
        bundlePictures().size(), loadMs / rawMs);
    return 0;
}
