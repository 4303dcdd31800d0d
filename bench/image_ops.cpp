// The image utilities on a 2000 × 2000 picture with transparency, in memory, side by side with
// libvips doing the same work in the same run: crop, colourspace to b-w (flattened, and with
// alpha kept), a rounded-rectangle mask, multiply and overlay blends with a constant colour, a
// mask, a composite over, and reading out the premultiplied pixels in alpha-first order. Every
// libvips pipeline is written to memory so that its work is done, and its operation cache is
// off. Beside both, one read-and-write pass over the same picture (a copy: the least any
// operation that makes a new picture of it costs). Ends with
// `RESULT pass_ms=... <op>_ms=... <op>_vs_vips=... <op>_vs_pass=...` (our time ÷ libvips's, and
// ÷ the pass).

#include <benchmark/benchmark.h>
#include <time.h>
#include <vips/vips.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Common/ImageSet.h"
#include "CoreGraphics/CGColorSpace.h"
#include "CoreGraphics/CGImage.h"
#include "UIKit/UIColor.h"
#include "UIKit/UIImage.h"

namespace {

constexpr int kSide = 2000;
constexpr int kCrop = 1000;

// --- the pictures, drawn in code ---------------------------------------------------------------

struct Pictures {
    Ref<UIImage> image, second, mask;
    Ref<UIColor> color;
    std::vector<uint8_t> rgba, rgba2, maskBytes;  // straight RGBA and grey, for libvips
    VipsImage* vImage = nullptr;
    VipsImage* vSecond = nullptr;
    VipsImage* vMask = nullptr;
    VipsImage* vColor = nullptr;
};

// A picture with every kind of pixel: opaque, transparent and partly transparent colours.
void draw(std::vector<uint32_t>& argb, std::vector<uint8_t>& rgba, int seed) {
    argb.resize(size_t(kSide) * kSide);
    rgba.resize(argb.size() * 4);
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            uint32_t r = uint32_t((x * 255) / kSide), g = uint32_t((y * 255) / kSide);
            uint32_t b = uint32_t(((x + y + seed * 300) / 7) & 255);
            uint32_t a =
                ((x / 100 + y / 100 + seed) % 3 == 0) ? 0 : ((x / 100) % 2 ? 255 : 128 + (y & 127));
            size_t i = size_t(y) * kSide + size_t(x);
            argb[i] = a << 24 | ((r * a + 127) / 255) << 16 | ((g * a + 127) / 255) << 8 |
                      ((b * a + 127) / 255);
            rgba[4 * i] = uint8_t(r), rgba[4 * i + 1] = uint8_t(g), rgba[4 * i + 2] = uint8_t(b);
            rgba[4 * i + 3] = uint8_t(a);
        }
    }
}

UIImage* pictureOf(const std::vector<uint32_t>& argb) {
    std::shared_ptr<uint8_t[]> px(new uint8_t[argb.size() * 4]);
    std::memcpy(px.get(), argb.data(), argb.size() * 4);
    Ref<CGImage> bitmap = adopt(bd::createARGB32Image(kSide, kSide, std::move(px)));
    return UIImage::imageWithCGImage(bitmap.get());
}

Pictures& pictures() {
    static Pictures* shared = [] {
        auto* p = new Pictures;
        NSAutoreleasePool pool;
        std::vector<uint32_t> argb;
        draw(argb, p->rgba, 0);
        p->image = retained(pictureOf(argb));
        draw(argb, p->rgba2, 1);
        p->second = retained(pictureOf(argb));
        p->maskBytes.resize(size_t(kSide) * kSide);
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x)
                p->maskBytes[size_t(y) * kSide + size_t(x)] =
                    uint8_t(std::hypot(x - kSide / 2, y - kSide / 2) < kSide / 3 ? x / 16 : 255);
        Ref<CGDataProvider> provider =
            adopt(CGDataProviderCreateWithCopyOfData(p->maskBytes.data(), p->maskBytes.size()));
        Ref<CGColorSpace> gray = adopt(CGColorSpaceCreateDeviceGray());
        Ref<CGImage> m =
            adopt(CGImageCreate(kSide, kSide, 8, 8, kSide, gray.get(), kCGImageAlphaNone,
                                provider.get(), nullptr, false, kCGRenderingIntentDefault));
        p->mask = retained(UIImage::imageWithCGImage(m.get()));
        p->color = retained(UIColor::colorWithRed(1.0, 0.5, 0.0, 1.0));

        VipsImage* raw = vips_image_new_from_memory(p->rgba.data(), p->rgba.size(), kSide, kSide, 4,
                                                    VIPS_FORMAT_UCHAR);
        vips_copy(raw, &p->vImage, "interpretation", VIPS_INTERPRETATION_sRGB, nullptr);
        g_object_unref(raw);
        raw = vips_image_new_from_memory(p->rgba2.data(), p->rgba2.size(), kSide, kSide, 4,
                                         VIPS_FORMAT_UCHAR);
        vips_copy(raw, &p->vSecond, "interpretation", VIPS_INTERPRETATION_sRGB, nullptr);
        g_object_unref(raw);
        p->vMask = vips_image_new_from_memory(p->maskBytes.data(), p->maskBytes.size(), kSide,
                                              kSide, 1, VIPS_FORMAT_UCHAR);
        const double c[4] = {255, 128, 0, 255};
        p->vColor = vips_image_new_from_image(p->vImage, c, 4);
        return p;
    }();
    return *shared;
}

// --- our side -------------------------------------------------------------------------------

template <class F>
void ours(F&& f) {
    NSAutoreleasePool pool;
    benchmark::DoNotOptimize(f());
}

void oursClip() {
    ours([] {
        return SpriteExtend::clipImageWithRect(pictures().image.get(),
                                               CGRectMake(500, 500, kCrop, kCrop));
    });
}
void oursGray() {
    ours([] { return SpriteExtend::createGrayImageWithAlpha(pictures().image.get(), false); });
}
void oursGrayAlpha() {
    ours([] { return SpriteExtend::createGrayImageWithAlpha(pictures().image.get(), true); });
}
void oursRound() {
    ours([] { return SpriteExtend::imageWithRoundCorners(pictures().image.get(), 100); });
}
void oursColorize() {
    ours([] { return ImageSet::colorizeImage(pictures().image.get(), pictures().color.get()); });
}
void oursOverlay() {
    ours([] {
        return SpriteExtend::imageColorOverlay(pictures().image.get(), pictures().color.get());
    });
}
void oursMask() {
    ours([] { return ImageSet::maskImage(pictures().image.get(), pictures().mask.get()); });
}
void oursDrawOver() {
    ours([] { return SpriteExtend::drawToImage(pictures().image.get(), pictures().second.get()); });
}
void oursPixels() {
    uint8_t* bytes = SpriteExtend::getImageData(pictures().image.get());
    benchmark::DoNotOptimize(bytes);
    std::free(bytes);
}

// --- libvips's side ---------------------------------------------------------------------------

// Unreferences the images of one pipeline when it ends (a deque: slots never move).
struct Refs {
    std::deque<VipsImage*> all;
    VipsImage** add() {
        all.push_back(nullptr);
        return &all.back();
    }
    ~Refs() {
        for (VipsImage* i : all)
            if (i) g_object_unref(i);
    }
};

void finish(VipsImage* out) {
    size_t size = 0;
    void* bytes = out ? vips_image_write_to_memory(out, &size) : nullptr;
    if (!bytes) {
        std::fprintf(stderr, "libvips: %s\n", vips_error_buffer());
        std::abort();
    }
    benchmark::DoNotOptimize(bytes);
    g_free(bytes);
}

// Alpha multiplied by a one-band coverage image (0...255), colour bands kept.
VipsImage* withAlphaTimes(Refs& r, VipsImage* in, VipsImage* coverage) {
    VipsImage **a = r.add(), **rgb = r.add(), **prod = r.add(), **scaled = r.add(), **out = r.add();
    vips_extract_band(in, a, 3, nullptr);
    vips_extract_band(in, rgb, 0, "n", 3, nullptr);
    vips_multiply(*a, coverage, prod, nullptr);
    vips_linear1(*prod, scaled, 1.0 / 255, 0, "uchar", TRUE, nullptr);
    vips_bandjoin2(*rgb, *scaled, out, nullptr);
    return *out;
}

void vipsClip() {
    Refs r;
    VipsImage** out = r.add();
    vips_crop(pictures().vImage, out, 500, 500, kCrop, kCrop, nullptr);
    finish(*out);
}
void vipsGray() {
    Refs r;
    VipsImage **flat = r.add(), **out = r.add();
    vips_flatten(pictures().vImage, flat, nullptr);
    vips_colourspace(*flat, out, VIPS_INTERPRETATION_B_W, nullptr);
    finish(*out);
}
void vipsGrayAlpha() {
    Refs r;
    VipsImage** out = r.add();
    vips_colourspace(pictures().vImage, out, VIPS_INTERPRETATION_B_W, nullptr);
    finish(*out);
}
void vipsRound() {
    Refs r;
    // The rounded rectangle drawn into a fresh mask, then applied to the alpha.
    VipsImage** black = r.add();
    vips_black(black, kSide, kSide, nullptr);
    VipsImage* mask = vips_image_copy_memory(*black);
    *r.add() = mask;
    const int radius = 100;
    double white[1] = {255};
    vips_draw_rect(mask, white, 1, radius, 0, kSide - 2 * radius, kSide, "fill", TRUE, nullptr);
    vips_draw_rect(mask, white, 1, 0, radius, kSide, kSide - 2 * radius, "fill", TRUE, nullptr);
    for (int cy : {radius, kSide - radius - 1})
        for (int cx : {radius, kSide - radius - 1})
            vips_draw_circle(mask, white, 1, cx, cy, radius, "fill", TRUE, nullptr);
    finish(withAlphaTimes(r, pictures().vImage, mask));
}
void vipsBlend(VipsBlendMode mode) {
    Refs r;
    VipsImage** out = r.add();
    vips_composite2(pictures().vImage, pictures().vColor, out, mode, nullptr);
    finish(*out);
}
void vipsColorize() {
    vipsBlend(VIPS_BLEND_MODE_MULTIPLY);
}
void vipsOverlay() {
    vipsBlend(VIPS_BLEND_MODE_OVERLAY);
}
void vipsMask() {
    Refs r;
    VipsImage** inverted = r.add();
    vips_invert(pictures().vMask, inverted, nullptr);
    finish(withAlphaTimes(r, pictures().vImage, *inverted));
}
void vipsDrawOver() {
    Refs r;
    VipsImage **over = r.add(), **out = r.add();
    vips_composite2(pictures().vImage, pictures().vSecond, over, VIPS_BLEND_MODE_OVER, nullptr);
    vips_cast_uchar(*over, out, nullptr);
    finish(*out);
}
void vipsPixels() {
    Refs r;
    VipsImage **pre = r.add(), **bytes = r.add(), **a = r.add(), **rgb = r.add(), **out = r.add();
    vips_premultiply(pictures().vImage, pre, nullptr);
    vips_cast_uchar(*pre, bytes, nullptr);
    vips_extract_band(*bytes, a, 3, nullptr);
    vips_extract_band(*bytes, rgb, 0, "n", 3, nullptr);
    vips_bandjoin2(*a, *rgb, out, nullptr);
    finish(*out);
}

// One pass: every pixel of the picture read and written to a buffer of the same size.
void onePass() {
    static std::vector<uint8_t> out(size_t(kSide) * kSide * 4);
    CGImage* img = pictures().image->CGImage();
    const uint8_t* in = img->bytes();
    for (size_t y = 0; y < size_t(kSide); ++y)
        std::memcpy(out.data() + y * kSide * 4, in + y * img->bytesPerRow(), size_t(kSide) * 4);
    benchmark::DoNotOptimize(out.data());
}

struct Op {
    const char* name;
    void (*ours)();
    void (*vips)();
};
const Op kOps[] = {
    {"clip", oursClip, vipsClip},
    {"gray", oursGray, vipsGray},
    {"gray_alpha", oursGrayAlpha, vipsGrayAlpha},
    {"round", oursRound, vipsRound},
    {"colorize", oursColorize, vipsColorize},
    {"overlay", oursOverlay, vipsOverlay},
    {"mask", oursMask, vipsMask},
    {"draw_over", oursDrawOver, vipsDrawOver},
    {"pixels", oursPixels, vipsPixels},
};

// Best of several runs, in milliseconds of wall time (libvips works on threads of its own).
double bestMs(void (*f)(), int runs) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                        .count();
        best = std::min(best, ms);
    }
    return best;
}

// Best of several runs in milliseconds of this thread's processor time: ours and the pass run
// on this thread only, and a shared machine's other work does not count.
double bestCpuMs(void (*f)(), int runs) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        timespec a, b;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
        f();
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
        best = std::min(best, (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) * 1e-6);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (VIPS_INIT(argv[0])) return 1;
    vips_cache_set_max(0);
    pictures();
    for (const Op& op : kOps) {
        benchmark::RegisterBenchmark((std::string(op.name) + "/ours").c_str(),
                                     [f = op.ours](benchmark::State& s) {
                                         for (auto _ : s) f();
                                     })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string(op.name) + "/libvips").c_str(),
                                     [f = op.vips](benchmark::State& s) {
                                         for (auto _ : s) f();
                                     })
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("pass", [](benchmark::State& s) {
        for (auto _ : s) onePass();
    })->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::string line = "RESULT";
    char buf[192];
    double pass = bestCpuMs(onePass, 15);
    std::snprintf(buf, sizeof buf, " pass_ms=%.4f", pass);
    line += buf;
    for (const Op& op : kOps) {
        double a = bestMs(op.ours, 15), b = bestMs(op.vips, 7), cpu = bestCpuMs(op.ours, 15);
        std::snprintf(buf, sizeof buf, " %s_ms=%.4f %s_vs_vips=%.4f %s_vs_pass=%.2f", op.name, a,
                      op.name, a / b, op.name, cpu / pass);
        line += buf;
    }
    std::printf("%s\n", line.c_str());
    vips_shutdown();
    return 0;
}
