// Scalar kernels, the references for the vector forms, and the dispatch between them.

#include "CoreGraphics/CGPixelKernels.h"

#include <atomic>
#include <cstring>

#include "CoreGraphics/CGPixelKernelsAVX2.h"

namespace bd::px {

namespace {

inline uint32_t channel(uint32_t p, int k) {
    return (p >> (8 * k)) & 0xFF;
}

// S scaled by c/255, channel by channel.
inline uint32_t scale(uint32_t s, uint32_t c) {
    if (c == 255) return s;
    uint32_t r = 0;
    for (int k = 0; k < 4; ++k) r |= div255(channel(s, k) * c) << (8 * k);
    return r;
}

inline uint32_t blendPixel(Blend mode, uint32_t s, uint32_t d) {
    uint32_t as = s >> 24, ad = d >> 24, r = 0;
    for (int k = 0; k < 4; ++k) {
        uint32_t sc = channel(s, k), dc = channel(d, k), v;
        switch (mode) {
            case Blend::Multiply:
                v = div255((255 - as) * dc + (255 - ad) * sc + sc * dc);
                break;
            case Blend::Overlay: {
                uint32_t t = 2 * dc <= ad ? 2 * sc * dc : as * ad - 2 * (ad - dc) * (as - sc);
                v = div255((255 - as) * dc + (255 - ad) * sc + t);
                break;
            }
            default:
                v = sc + div255(dc * (255 - as));
                break;
        }
        r |= v << (8 * k);
    }
    return r;
}

inline uint8_t lumaPixel(uint32_t p) {
    return uint8_t((channel(p, 2) * 9798 + channel(p, 1) * 19235 + channel(p, 0) * 3735 + 16384) >>
                   15);
}

}  // namespace

namespace scalar {

void composite(Blend mode, const uint32_t* src, const uint8_t* cov, const uint32_t* dst,
               uint32_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t s = cov ? scale(src[i], cov[i]) : src[i];
        out[i] = dst ? blendPixel(mode, s, dst[i]) : s;
    }
}

void colorTimesAlpha(uint32_t colour, const uint32_t* src, uint32_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = scale(colour, src[i] >> 24);
}

void luma(const uint32_t* src, uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = lumaPixel(src[i]);
}

void grayOver(const uint32_t* src, const uint8_t* cov, const uint8_t* dst, uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t s = cov ? scale(src[i], cov[i]) : src[i];
        uint32_t d = dst ? dst[i] : 0;
        out[i] = uint8_t(lumaPixel(s) + div255(d * (255 - (s >> 24))));
    }
}

void maskGrayRange(const uint8_t* gray, uint8_t lo, uint8_t hi, uint32_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t g = gray[i];
        out[i] = g >= lo && g <= hi ? 0 : 0xFF000000u | g << 16 | g << 8 | g;
    }
}

void shuffle(const uint8_t* in, const uint8_t order[4], uint8_t* out, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i) {
        uint8_t p[4];
        std::memcpy(p, in + 4 * i, 4);
        for (int k = 0; k < 4; ++k) out[4 * i + k] = p[order[k]];
    }
}

}  // namespace scalar

namespace {

void alphaScalar(const uint32_t* src, uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t(src[i] >> 24);
}
void invertScalar(const uint8_t* in, uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t(255 - in[i]);
}
void multiplyCoverageScalar(uint8_t* a, const uint8_t* b, size_t n) {
    for (size_t i = 0; i < n; ++i) a[i] = uint8_t(div255(uint32_t(a[i]) * b[i]));
}
void grayToARGBScalar(const uint8_t* gray, uint32_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = 0xFF000000u | uint32_t(gray[i]) * 0x010101u;
}

struct Table {
    decltype(&scalar::composite) composite;
    decltype(&scalar::colorTimesAlpha) colorTimesAlpha;
    decltype(&scalar::luma) luma;
    decltype(&scalar::grayOver) grayOver;
    decltype(&grayToARGBScalar) grayToARGB;
    decltype(&alphaScalar) alpha;
    decltype(&invertScalar) invert;
    decltype(&multiplyCoverageScalar) multiplyCoverage;
    decltype(&scalar::maskGrayRange) maskGrayRange;
    decltype(&scalar::shuffle) shuffle;
};

constexpr Table kScalar = {scalar::composite, scalar::colorTimesAlpha, scalar::luma,
                           scalar::grayOver,  grayToARGBScalar,        alphaScalar,
                           invertScalar,      multiplyCoverageScalar,  scalar::maskGrayRange,
                           scalar::shuffle};
#if BD_HAVE_AVX2_KERNELS
constexpr Table kAVX2 = {avx2::composite, avx2::colorTimesAlpha,  avx2::luma,
                         avx2::grayOver,  avx2::grayToARGB,       avx2::alpha,
                         avx2::invert,    avx2::multiplyCoverage, avx2::maskGrayRange,
                         avx2::shuffle};
#endif

bool hasAVX2() {
#if BD_HAVE_AVX2_KERNELS
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

const Table* automatic() {
#if BD_HAVE_AVX2_KERNELS
    if (hasAVX2()) return &kAVX2;
#endif
    return &kScalar;
}

std::atomic<const Table*> gTable{nullptr};

inline const Table& table() {
    const Table* t = gTable.load(std::memory_order_relaxed);
    if (!t) {
        t = automatic();
        gTable.store(t, std::memory_order_relaxed);
    }
    return *t;
}

}  // namespace

bool setKernels(Kernels kernels) {
    switch (kernels) {
        case Kernels::Automatic:
            gTable.store(automatic(), std::memory_order_relaxed);
            return true;
        case Kernels::Scalar:
            gTable.store(&kScalar, std::memory_order_relaxed);
            return true;
        case Kernels::AVX2:
#if BD_HAVE_AVX2_KERNELS
            if (!hasAVX2()) return false;
            gTable.store(&kAVX2, std::memory_order_relaxed);
            return true;
#else
            return false;
#endif
    }
    return false;
}

void composite(Blend mode, const uint32_t* src, const uint8_t* cov, const uint32_t* dst,
               uint32_t* out, size_t n) {
    table().composite(mode, src, cov, dst, out, n);
}
void colorTimesAlpha(uint32_t colour, const uint32_t* src, uint32_t* out, size_t n) {
    table().colorTimesAlpha(colour, src, out, n);
}
void luma(const uint32_t* src, uint8_t* out, size_t n) {
    table().luma(src, out, n);
}
void grayOver(const uint32_t* src, const uint8_t* cov, const uint8_t* dst, uint8_t* out, size_t n) {
    table().grayOver(src, cov, dst, out, n);
}
void grayToARGB(const uint8_t* gray, uint32_t* out, size_t n) {
    table().grayToARGB(gray, out, n);
}
void alpha(const uint32_t* src, uint8_t* out, size_t n) {
    table().alpha(src, out, n);
}
void invert(const uint8_t* in, uint8_t* out, size_t n) {
    table().invert(in, out, n);
}
void multiplyCoverage(uint8_t* a, const uint8_t* b, size_t n) {
    table().multiplyCoverage(a, b, n);
}
void maskGrayRange(const uint8_t* gray, uint8_t lo, uint8_t hi, uint32_t* out, size_t n) {
    table().maskGrayRange(gray, lo, hi, out, n);
}
void shuffle(const uint8_t* in, const uint8_t order[4], uint8_t* out, size_t pixels) {
    table().shuffle(in, order, out, pixels);
}

}  // namespace bd::px
