// Resource storage throughput: scrambling against memcpy over 64 MiB, and reading a large
// package against reading the same file with read(). Ends with one RESULT line.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Common/ImageCache.h"
#include "Common/NSData+DataEncrypt.h"
#include "CoreGraphics/CGColorSpace.h"
#include "UIKit/ImageIO.h"

namespace {

constexpr size_t kBytes = 64u << 20;
constexpr int kRecords = 64;  // 64 records of 1 MiB

std::vector<uint8_t>& source() {
    static std::vector<uint8_t> v = [] {
        std::vector<uint8_t> b(kBytes);
        uint32_t x = 12345;
        for (auto& c : b) c = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
        return b;
    }();
    return v;
}

std::vector<uint8_t>& target() {
    static std::vector<uint8_t> v(kBytes, 1);
    return v;
}

const std::string& packagePath() {
    static std::string path = [] {
        std::string p = "/tmp/bd_bench_storage_" + std::to_string(getpid()) + ".pkg";
        NSAutoreleasePool pool;
        NSMutableDictionary* d = NSMutableDictionary::dictionary();
        size_t each = kBytes / kRecords;
        for (int i = 0; i < kRecords; ++i)
            d->setObject(NSData::dataWithBytes(source().data() + i * each, each),
                         NSString::stringWithFormat("%02d.png", i));
        if (!DataEncrypt::saveDatas(d, NSString::stringWithStdString(p)))
            std::fprintf(stderr, "couldn't write %s\n", p.c_str());
        return p;
    }();
    return path;
}

// The reader logs two lines per record; keep them off the terminal while timing.
struct QuietStderr {
    int saved = dup(2);
    QuietStderr() {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(null);
    }
    ~QuietStderr() {
        dup2(saved, 2);
        close(saved);
    }
};

void runScramble() {
    DataEncrypt::scramble(source().data(), target().data(), kBytes);
}
void runMemcpy() {
    std::memcpy(target().data(), source().data(), kBytes);
}
void runPackageRead() {
    NSAutoreleasePool pool;
    NSMutableDictionary* d =
        DataEncrypt::readDatasFromFilePath(NSString::stringWithStdString(packagePath()));
    benchmark::DoNotOptimize(d->count());
}
void runRead() {
    static std::vector<uint8_t> buf(kBytes + 4096);
    int fd = open(packagePath().c_str(), O_RDONLY);
    size_t got = 0;
    for (ssize_t n; (n = read(fd, buf.data() + got, buf.size() - got)) > 0;)
        got += static_cast<size_t>(n);
    close(fd);
    benchmark::DoNotOptimize(got);
}

void BM_Scramble64MiB(benchmark::State& s) {
    for (auto _ : s) runScramble();
    s.SetBytesProcessed(static_cast<int64_t>(s.iterations()) * kBytes);
}
void BM_Memcpy64MiB(benchmark::State& s) {
    for (auto _ : s) runMemcpy();
    s.SetBytesProcessed(static_cast<int64_t>(s.iterations()) * kBytes);
}
void BM_PackageRead64MiB(benchmark::State& s) {
    packagePath();
    QuietStderr quiet;
    for (auto _ : s) runPackageRead();
    s.SetBytesProcessed(static_cast<int64_t>(s.iterations()) * kBytes);
}
void BM_Read64MiB(benchmark::State& s) {
    packagePath();
    for (auto _ : s) runRead();
    s.SetBytesProcessed(static_cast<int64_t>(s.iterations()) * kBytes);
}
// An image cache hit against the bare dictionary lookup it is made of, in nanoseconds.
struct CacheFixture {
    Ref<ImageCache> cache;
    Ref<NSString> name;
    Ref<NSMutableDictionary> dict;
    CacheFixture() {
        NSAutoreleasePool pool;
        char dir[] = "/tmp/bd-bench-cache-XXXXXX";
        if (!mkdtemp(dir)) std::abort();
        std::vector<uint32_t> px(16 * 16, 0xFF204080u);
        CGDataProviderRef provider = CGDataProviderCreateWithCopyOfData(px.data(), px.size() * 4);
        CGColorSpaceRef space = CGColorSpaceCreateDeviceRGB();
        CGImageRef image = CGImageCreate(16, 16, 8, 32, 64, space, kBDBitmapInfoARGB32, provider,
                                         nullptr, false, kCGRenderingIntentDefault);
        std::string file = std::string(dir) + "/frame.png";
        bd::writePNG(image, file.c_str());
        CGImageRelease(image);
        CGColorSpaceRelease(space);
        CGDataProviderRelease(provider);
        cache = adopt(alloc<ImageCache>()->init());
        cache->setResBundle(NSBundle::bundleWithPath(NSString::stringWithUTF8String(dir)));
        name = retained(NSString::stringWithUTF8String("frame.png"));
        if (!cache->imageWithName(name)) std::abort();
        dict = retained(NSMutableDictionary::dictionaryWithCapacity(20));
        dict->setObject(cache->imageWithName(name), name);
        unlink(file.c_str());
        rmdir(dir);
    }
};
CacheFixture& cacheFixture() {
    static CacheFixture f;
    return f;
}
double nsPer(const std::function<void()>& f) {
    constexpr int kLoops = 1'000'000;
    double b = 1e30;
    for (int r = 0; r < 5; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kLoops; ++i) f();
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        b = std::min(b, s * 1e9 / kLoops);
    }
    return b;
}
void BM_ImageCacheHit(benchmark::State& s) {
    CacheFixture& f = cacheFixture();
    for (auto _ : s) benchmark::DoNotOptimize(f.cache->imageWithName(f.name));
}
void BM_DictionaryLookup(benchmark::State& s) {
    CacheFixture& f = cacheFixture();
    for (auto _ : s) benchmark::DoNotOptimize(f.dict->objectForKey(f.name));
}
BENCHMARK(BM_ImageCacheHit);
BENCHMARK(BM_DictionaryLookup);

BENCHMARK(BM_Scramble64MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy64MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PackageRead64MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read64MiB)->Unit(benchmark::kMillisecond);

// Best of a few runs, in seconds.
template <class F>
double best(F f, int runs = 7) {
    double b = 1e30;
    for (int i = 0; i < runs; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < b) b = s;
    }
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    double scramble = best(runScramble), copy = best(runMemcpy), rd = best(runRead), pkg;
    {
        QuietStderr quiet;
        pkg = best(runPackageRead);
    }
    unlink(packagePath().c_str());
    CacheFixture& f = cacheFixture();
    double hit = nsPer([&] { benchmark::DoNotOptimize(f.cache->imageWithName(f.name)); });
    double lookup = nsPer([&] { benchmark::DoNotOptimize(f.dict->objectForKey(f.name)); });
    double gb = static_cast<double>(kBytes) / 1e9;
    std::printf(
        "RESULT scramble_gbps=%.2f memcpy_gbps=%.2f scramble_vs_memcpy=%.2f "
        "pkg_read_vs_read=%.2f cache_hit_ns=%.1f dict_lookup_ns=%.1f\n",
        gb / scramble, gb / copy, copy / scramble, rd / pkg, hit, lookup);
    return 0;
}
