// Picture decoding through UIImage against calling TurboJPEG / libpng directly on the same
// bytes: a 640x1136 JPEG and a 640x1136 RGBA PNG, both made here. The last line sums it up:
// RESULT jpeg_ms=.. jpeg_direct_ms=.. jpeg_overhead_pct=.. png_ms=.. png_direct_ms=..
// png_overhead_pct=..
#include <benchmark/benchmark.h>
#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Foundation/NSObject.h"
#include "UIKit/UIImage.h"

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
BENCHMARK(BM_JpegUIImage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegDirect)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngUIImage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngDirect)->Unit(benchmark::kMillisecond);

// Median of several timed runs, for the summary line.
template <class F>
double medianMs(F f) {
    std::vector<double> t;
    for (int i = 0; i < 15; ++i) {
        auto a = std::chrono::steady_clock::now();
        f();
        t.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a)
                        .count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
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
    std::printf(
        "RESULT jpeg_ms=%.3f jpeg_direct_ms=%.3f jpeg_overhead_pct=%.1f png_ms=%.3f "
        "png_direct_ms=%.3f "
        "png_overhead_pct=%.1f\n",
        j, jd, (j / jd - 1) * 100, p, pd, (p / pd - 1) * 100);
    return 0;
}
