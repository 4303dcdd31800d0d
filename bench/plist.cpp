// Property-list reading with the guards in front of libplist. A large XML description and its
// binary form are read through NSPropertyList (depth scan or object-graph walk with its node
// budget, parse, conversion to Foundation values) and, side by side, parsed and freed by
// libplist alone (the ratio includes the conversion, which libplist alone doesn't do); and a
// 106-byte binary list whose shared references expand to 2^17 nodes is refused by the guard,
// against libplist building and freeing that tree. Ends with one RESULT line.

#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Foundation/NSData.h"
#include "Foundation/NSPropertyList.h"

namespace {

struct Documents {
    std::string xml, binary;
};

// A description with many keys, each a dictionary holding a string, numbers and an array.
const Documents& documents() {
    static const Documents docs = [] {
        plist_t root = plist_new_dict();
        for (int i = 0; i < 4000; ++i) {
            plist_t entry = plist_new_dict();
            std::string name = "item " + std::to_string(i);
            plist_dict_set_item(entry, "name", plist_new_string(name.c_str()));
            plist_dict_set_item(entry, "size", plist_new_uint(uint64_t(i) * 37));
            plist_dict_set_item(entry, "scale", plist_new_real(i / 7.0));
            plist_t list = plist_new_array();
            for (int k = 0; k < 4; ++k) plist_array_append_item(list, plist_new_uint(uint64_t(k)));
            plist_dict_set_item(entry, "frames", list);
            plist_dict_set_item(root, ("key" + std::to_string(i)).c_str(), entry);
        }
        char* xml = nullptr;
        char* bin = nullptr;
        uint32_t xmlLen = 0, binLen = 0;
        plist_to_xml(root, &xml, &xmlLen);
        plist_to_bin(root, &bin, &binLen);
        Documents d{std::string(xml, xmlLen), std::string(bin, binLen)};
        std::free(xml);
        std::free(bin);
        plist_free(root);
        return d;
    }();
    return docs;
}

// Object i holds object i+1 twice; the last is an empty array.
const std::string& bomb() {
    static const std::string b = [] {
        const int levels = 16;
        std::string out = "bplist00";
        for (int i = 0; i < levels; ++i) out += std::string("\xA2") + char(i + 1) + char(i + 1);
        out += "\xA0";
        size_t table = out.size();
        for (int i = 0; i <= levels; ++i) out += char(8 + 3 * i);
        std::string trailer(32, '\0');
        trailer[6] = 1;
        trailer[7] = 1;
        trailer[15] = char(levels + 1);
        trailer[31] = char(table);
        return out + trailer;
    }();
    return b;
}

const std::string& doc(bool binary) {
    return binary ? documents().binary : documents().xml;
}

// Ours: the guards, libplist's parse and the conversion to Foundation values.
bool readGuarded(const std::string& bytes) {
    NSAutoreleasePool pool;
    return NSPropertyList::propertyListWithData(
               NSData::dataWithBytes(bytes.data(), bytes.size())) != nullptr;
}

// Baseline: libplist's parse and free of the same bytes, nothing else.
bool readPlain(const std::string& bytes) {
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), uint32_t(bytes.size()), &root);
    bool ok = root != nullptr;
    plist_free(root);
    return ok;
}

void BM_Guarded(benchmark::State& state) {
    const std::string& bytes = doc(state.range(0) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(readGuarded(bytes));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
BENCHMARK(BM_Guarded)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_LibplistAlone(benchmark::State& state) {
    const std::string& bytes = doc(state.range(0) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(readPlain(bytes));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
BENCHMARK(BM_LibplistAlone)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_SharedReferences(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(state.range(0) ? readPlain(bomb()) : readGuarded(bomb()));
}
BENCHMARK(BM_SharedReferences)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Median of a few timed runs, in milliseconds.
template <class F>
double millis(F f) {
    double best[5];
    for (double& b : best) {
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < 3; ++i) benchmark::DoNotOptimize(f());
        b = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count() /
            3;
    }
    std::sort(best, best + 5);
    return best[2];
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    double xmlOurs = millis([] { return readGuarded(doc(false)); });
    double xmlPlain = millis([] { return readPlain(doc(false)); });
    double binOurs = millis([] { return readGuarded(doc(true)); });
    double binPlain = millis([] { return readPlain(doc(true)); });
    double bombOurs = millis([] { return readGuarded(bomb()); });
    double bombPlain = millis([] { return readPlain(bomb()); });
    std::printf(
        "RESULT xml_kb=%zu xml_ms=%.2f xml_libplist_ms=%.2f xml_ratio=%.2f binary_kb=%zu "
        "binary_ms=%.2f binary_libplist_ms=%.2f binary_ratio=%.2f shared_bytes=%zu "
        "shared_refused_us=%.1f shared_libplist_ms=%.2f shared_speedup=%.0f\n",
        doc(false).size() / 1024, xmlOurs, xmlPlain, xmlOurs / xmlPlain, doc(true).size() / 1024,
        binOurs, binPlain, binOurs / binPlain, bomb().size(), bombOurs * 1000, bombPlain,
        bombPlain / bombOurs);
    return 0;
}
