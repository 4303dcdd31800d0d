// Resource storage throughput: scrambling against memcpy over 64 MiB, and reading a large
// package against reading the same file with read(). Ends with one RESULT line.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Common/NSData+DataEncrypt.h"

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
    double gb = static_cast<double>(kBytes) / 1e9;
    std::printf(
        "RESULT scramble_gbps=%.2f memcpy_gbps=%.2f scramble_vs_memcpy=%.2f "
        "pkg_read_vs_read=%.2f\n",
        gb / scramble, gb / copy, copy / scramble, rd / pkg);
    return 0;
}
