#include "QuartzCore/CABilinearSpans.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define BD_HAVE_X86 1
#define BD_AVX2 __attribute__((target("avx2")))
#endif

// Every path computes the same numbers: the two rows blended first with 6-bit weights (so
// that a weight of 64 still fits a signed byte), then the two columns with 7-bit weights,
// shifted down by 13. A pixel therefore gets the same bytes whichever path draws it.

namespace bd {

bool FixedAffine::from(const H3& h, int x0, int y0, FixedAffine* out) {
    auto fixed = [](double v, int64_t* f) {
        double s = v * 65536.0;
        if (!(std::fabs(s) < 4.0e15)) return false;  // also rejects NaN
        *f = int64_t(std::llround(s));
        return true;
    };
    // The centre of target pixel (x0, y0), less half a source pixel.
    double cx = x0 + 0.5, cy = y0 + 0.5;
    double u = cx * h.m[0][0] + cy * h.m[1][0] + h.m[2][0] - 0.5;
    double v = cx * h.m[0][1] + cy * h.m[1][1] + h.m[2][1] - 0.5;
    FixedAffine m;
    m.x0 = x0, m.y0 = y0;
    if (!fixed(u, &m.u) || !fixed(v, &m.v) || !fixed(h.m[0][0], &m.dux) ||
        !fixed(h.m[0][1], &m.dvx) || !fixed(h.m[1][0], &m.duy) || !fixed(h.m[1][1], &m.dvy))
        return false;
    *out = m;
    return true;
}

namespace {

inline int rowWeight(int64_t v) {
    return int((v >> 10) & 0x3F);
}
inline int columnWeight(int64_t u) {
    return int((u >> 9) & 0x7F);
}

// The four source pixels around (x, y) (x, y the upper left one), transparent outside.
inline void taps(const WarpBitmap& s, int64_t x, int64_t y, uint32_t t[4]) {
    auto at = [&](int64_t px, int64_t py) -> uint32_t {
        if (px < 0 || py < 0 || px >= s.width || py >= s.height) return 0;
        uint32_t v;
        std::memcpy(&v, s.pixels + size_t(py) * s.stride + size_t(px) * 4, 4);
        return v;
    };
    t[0] = at(x, y), t[1] = at(x + 1, y), t[2] = at(x, y + 1), t[3] = at(x + 1, y + 1);
}

inline uint32_t div255(uint32_t x) {
    x += 128;
    return (x + (x >> 8)) >> 8;
}

// One pixel in plain arithmetic: taps t (upper left, upper right, lower left, lower right).
inline uint32_t pixel(const uint32_t t[4], int wx, int wy, uint32_t alpha, bool over,
                      uint32_t under) {
    uint32_t s[4];
    for (int c = 0; c < 4; ++c) {
        int sh = 8 * c;
        uint32_t left =
            ((t[0] >> sh) & 0xFF) * uint32_t(64 - wy) + ((t[2] >> sh) & 0xFF) * uint32_t(wy);
        uint32_t right =
            ((t[1] >> sh) & 0xFF) * uint32_t(64 - wy) + ((t[3] >> sh) & 0xFF) * uint32_t(wy);
        s[c] = (left * uint32_t(128 - wx) + right * uint32_t(wx)) >> 13;
        if (alpha < 255) s[c] = div255(s[c] * alpha);
    }
    uint32_t r = 0;
    for (int c = 0; c < 4; ++c) {
        uint32_t value = s[c];
        if (over) value += div255(((under >> (8 * c)) & 0xFF) * (255 - s[3]));
        r |= (value > 255 ? 255 : value) << (8 * c);
    }
    return r;
}

// One pixel of a span, any position: false when no source pixel reaches it.
inline bool spanPixel(const WarpBitmap& src, int64_t u, int64_t v, uint32_t alpha, bool over,
                      uint32_t* out) {
    int64_t x = u >> 16, y = v >> 16;
    if (x < -1 || y < -1 || x >= src.width || y >= src.height) {
        if (!over) *out = 0;
        return false;
    }
    uint32_t t[4];
    taps(src, x, y, t);
    *out = pixel(t, columnWeight(u), rowWeight(v), alpha, over, *out);
    return true;
}

void spanPlain(const WarpBitmap& src, uint32_t* out, int n, int64_t u, int64_t v, int64_t du,
               int64_t dv, uint32_t alpha, bool over) {
    for (int i = 0; i < n; ++i, u += du, v += dv) spanPixel(src, u, v, alpha, over, out + i);
}

#if BD_HAVE_X86

BD_AVX2 inline __m256i div255x8(__m256i x) {
    x = _mm256_add_epi16(x, _mm256_set1_epi16(128));
    return _mm256_srli_epi16(_mm256_add_epi16(x, _mm256_srli_epi16(x, 8)), 8);
}

// Four pixels at a time where all read four source pixels that exist; the others one by one in
// plain arithmetic. Positions, weights and addresses of the four are computed in 64-bit vector
// lanes (pixels 0, 1 in the low 128 bits, 2, 3 in the high).
BD_AVX2 void spanAVX2(const WarpBitmap& src, uint32_t* out, int n, int64_t u, int64_t v, int64_t du,
                      int64_t dv, uint32_t alpha, bool over) {
    const __m256i stride = _mm256_set1_epi64x(int64_t(src.stride));
    // Within each 128-bit lane: the row weights of its even (first) or odd (second) pixel,
    // spread over the pixel's 8 interleaved channel pairs.
    const __m256i rowsOfEven = _mm256_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0,
                                                1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1);
    const __m256i rowsOfOdd = _mm256_setr_epi8(8, 9, 8, 9, 8, 9, 8, 9, 8, 9, 8, 9, 8, 9, 8, 9, 8, 9,
                                               8, 9, 8, 9, 8, 9, 8, 9, 8, 9, 8, 9, 8, 9);
    // [L0 L1 L2 L3 R0 R1 R2 R3] -> [L0 R0 L1 R1 L2 R2 L3 R3] (16-bit words)
    const __m256i pairs = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0,
                                           1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
    const __m256i full = _mm256_set1_epi16(255);
    // The pixels whose four source pixels all exist form one run [first, end) of the span
    // (the position moves along a line): found by arithmetic, shrunk by a pixel at each end for
    // safety; the rest go one by one.
    int first = 0, end = n;
    auto limit = [&](int64_t p, int64_t dp, int64_t below) {
        // Pixels i with 0 <= p + i dp < below.
        double lo = -INFINITY, hi = INFINITY;
        if (dp == 0) {
            if (p < 0 || p >= below) lo = hi = 0;
        } else {
            double a = (0 - double(p)) / double(dp), b = (double(below) - double(p)) / double(dp);
            lo = std::min(a, b), hi = std::max(a, b);
        }
        int from = lo == -INFINITY ? 0 : int(std::clamp(std::ceil(lo) + 1, 0.0, double(n)));
        int to = hi == INFINITY ? n : int(std::clamp(std::floor(hi) - 1, 0.0, double(n)));
        first = std::max(first, from), end = std::min(end, to);
    };
    limit(u, du, int64_t(src.width - 1) << 16);
    limit(v, dv, int64_t(src.height - 1) << 16);
    if (end < first) end = first;
    int i = 0;
    for (; i < first; ++i, u += du, v += dv) spanPixel(src, u, v, alpha, over, out + i);
    __m256i u4 = _mm256_add_epi64(_mm256_set1_epi64x(u), _mm256_setr_epi64x(0, du, 2 * du, 3 * du));
    __m256i v4 = _mm256_add_epi64(_mm256_set1_epi64x(v), _mm256_setr_epi64x(0, dv, 2 * dv, 3 * dv));
    const __m256i du4 = _mm256_set1_epi64x(4 * du), dv4 = _mm256_set1_epi64x(4 * dv);
    for (; i + 4 <= end; i += 4, u += 4 * du, v += 4 * dv) {
        __m256i x = _mm256_srli_epi64(u4, 16), y = _mm256_srli_epi64(v4, 16);
        __m256i offsets = _mm256_add_epi64(_mm256_mul_epu32(y, stride), _mm256_slli_epi64(x, 2));
        __m128i lo = _mm256_castsi256_si128(offsets), hi = _mm256_extracti128_si256(offsets, 1);
        const uint8_t* p0 = src.pixels + _mm_cvtsi128_si64(lo);
        const uint8_t* p1 = src.pixels + _mm_extract_epi64(lo, 1);
        const uint8_t* p2 = src.pixels + _mm_cvtsi128_si64(hi);
        const uint8_t* p3 = src.pixels + _mm_extract_epi64(hi, 1);
        auto two = [](const uint8_t* a, const uint8_t* b) {
            return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a)),
                                      _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b)));
        };
        const size_t st = src.stride;
        __m256i top = _mm256_set_m128i(two(p2, p3), two(p0, p1));
        __m256i bottom = _mm256_set_m128i(two(p2 + st, p3 + st), two(p0 + st, p1 + st));
        // Row weights (wy << 8 | 64 - wy) and column weights (wx << 16 | 128 - wx).
        __m256i wy = _mm256_and_si256(_mm256_srli_epi64(v4, 10), _mm256_set1_epi64x(0x3F));
        __m256i wx = _mm256_and_si256(_mm256_srli_epi64(u4, 9), _mm256_set1_epi64x(0x7F));
        __m256i rows =
            _mm256_or_si256(_mm256_slli_epi64(wy, 8), _mm256_sub_epi64(_mm256_set1_epi64x(64), wy));
        __m256i columns = _mm256_or_si256(_mm256_slli_epi64(wx, 16),
                                          _mm256_sub_epi64(_mm256_set1_epi64x(128), wx));
        // Pixels 0 and 2 (even), 1 and 3 (odd): rows blended, then columns.
        __m256i even = _mm256_maddubs_epi16(_mm256_unpacklo_epi8(top, bottom),
                                            _mm256_shuffle_epi8(rows, rowsOfEven));
        __m256i odd = _mm256_maddubs_epi16(_mm256_unpackhi_epi8(top, bottom),
                                           _mm256_shuffle_epi8(rows, rowsOfOdd));
        even = _mm256_srli_epi32(_mm256_madd_epi16(_mm256_shuffle_epi8(even, pairs),
                                                   _mm256_shuffle_epi32(columns, 0x00)),
                                 13);
        odd = _mm256_srli_epi32(
            _mm256_madd_epi16(_mm256_shuffle_epi8(odd, pairs), _mm256_shuffle_epi32(columns, 0xAA)),
            13);
        __m256i s = _mm256_packs_epi32(even, odd);  // lane 0: pixels 0, 1; lane 1: 2, 3
        if (alpha < 255) s = div255x8(_mm256_mullo_epi16(s, _mm256_set1_epi16(int16_t(alpha))));
        if (over) {
            __m256i a = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(s, 0xFF), 0xFF);
            if (_mm256_movemask_epi8(_mm256_cmpeq_epi16(a, full)) != -1) {
                __m256i d = _mm256_cvtepu8_epi16(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(out + i)));
                s = _mm256_add_epi16(s, div255x8(_mm256_mullo_epi16(d, _mm256_sub_epi16(full, a))));
            }
        }
        __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(s, s), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm256_castsi256_si128(packed));
        u4 = _mm256_add_epi64(u4, du4), v4 = _mm256_add_epi64(v4, dv4);
    }
    // Clean upper halves before any code without VEX runs again (pixman's SSE, our own):
    // left dirty, every SSE instruction after would pay for the transition.
    _mm256_zeroupper();
    for (; i < n; ++i, u += du, v += dv) spanPixel(src, u, v, alpha, over, out + i);
}

bool hasAVX2() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}

#endif

}  // namespace

void compositeOverSpan(const uint32_t* src, uint32_t* dst, int n) {
    int i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128(), full = _mm_set1_epi16(255);
    auto div255x = [](__m128i x) {
        x = _mm_add_epi16(x, _mm_set1_epi16(128));
        return _mm_srli_epi16(_mm_add_epi16(x, _mm_srli_epi16(x, 8)), 8);
    };
    for (; i + 4 <= n; i += 4) {
        __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst + i));
        __m128i slo = _mm_unpacklo_epi8(s, zero), shi = _mm_unpackhi_epi8(s, zero);
        __m128i ialo =
            _mm_sub_epi16(full, _mm_shufflehi_epi16(_mm_shufflelo_epi16(slo, 0xFF), 0xFF));
        __m128i iahi =
            _mm_sub_epi16(full, _mm_shufflehi_epi16(_mm_shufflelo_epi16(shi, 0xFF), 0xFF));
        __m128i dlo = div255x(_mm_mullo_epi16(_mm_unpacklo_epi8(d, zero), ialo));
        __m128i dhi = div255x(_mm_mullo_epi16(_mm_unpackhi_epi8(d, zero), iahi));
        __m128i r = _mm_packus_epi16(_mm_add_epi16(slo, dlo), _mm_add_epi16(shi, dhi));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), r);
    }
#endif
    for (; i < n; ++i) {
        uint32_t sp = src[i], dp = dst[i], ia = 255 - (sp >> 24), r = 0;
        for (int c = 0; c < 32; c += 8) {
            uint32_t v = ((sp >> c) & 0xFF) + div255(((dp >> c) & 0xFF) * ia);
            r |= (v > 255 ? 255 : v) << c;
        }
        dst[i] = r;
    }
}

void compositeAffineBilinear(const WarpBitmap& src, const WarpBitmap& dst, const PixelRect& r,
                             const FixedAffine& m, uint32_t alpha, bool over) {
    if (r.isEmpty() || !src.pixels || !dst.pixels) return;
    alpha = alpha > 255 ? 255 : alpha;
#if BD_HAVE_X86
    const bool avx2 = hasAVX2();
#endif
    for (int y = r.y; y < r.bottom(); ++y) {
        int64_t dx = r.x - m.x0, dy = y - m.y0;
        int64_t u = m.u + dx * m.dux + dy * m.duy, v = m.v + dx * m.dvx + dy * m.dvy;
        uint32_t* out = reinterpret_cast<uint32_t*>(dst.pixels + size_t(y) * dst.stride) + r.x;
#if BD_HAVE_X86
        if (avx2) {
            spanAVX2(src, out, r.width, u, v, m.dux, m.dvx, alpha, over);
            continue;
        }
#endif
        spanPlain(src, out, r.width, u, v, m.dux, m.dvx, alpha, over);
    }
}

}  // namespace bd
