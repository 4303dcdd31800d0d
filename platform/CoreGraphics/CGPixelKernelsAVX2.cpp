// AVX2 forms of the pixel kernels: eight pixels at a time, colour channels widened to 16-bit
// lanes so that every product of two 8-bit values and every sum the blend formulas form fits.
// Tails shorter than a vector go through the scalar references.

#include "CoreGraphics/CGPixelKernelsAVX2.h"

#if BD_HAVE_AVX2_KERNELS

#include <immintrin.h>

#define BD_AVX2 __attribute__((target("avx2")))

namespace bd::px::avx2 {

namespace {

// Rounded x/255 in each 16-bit lane, as div255(): ((x + 128)·257) >> 16 equals
// (t + (t >> 8)) >> 8 for t = x + 128.
BD_AVX2 inline __m256i div255v(__m256i x) {
    return _mm256_mulhi_epu16(_mm256_add_epi16(x, _mm256_set1_epi16(128)), _mm256_set1_epi16(257));
}

// The same in 32-bit lanes.
BD_AVX2 inline __m256i div255v32(__m256i x) {
    x = _mm256_add_epi32(x, _mm256_set1_epi32(128));
    return _mm256_srli_epi32(_mm256_add_epi32(x, _mm256_srli_epi32(x, 8)), 8);
}

// Pixels are worked on as two halves in 16-bit lanes without moving them across lanes: the
// even bytes (blue, red) and the odd bytes (green, alpha) of each 32-bit pixel.
BD_AVX2 inline __m256i evenBytes(__m256i v) {
    return _mm256_and_si256(v, _mm256_set1_epi16(0x00FF));
}
BD_AVX2 inline __m256i oddBytes(__m256i v) {
    return _mm256_srli_epi16(v, 8);
}
// Two halves (each lane 0..255) back into pixels.
BD_AVX2 inline __m256i join(__m256i even, __m256i odd) {
    return _mm256_or_si256(even, _mm256_slli_epi16(odd, 8));
}

// Each pixel's alpha in both 16-bit lanes of the pixel.
BD_AVX2 inline __m256i alphas(__m256i v) {
    const __m256i spread =
        _mm256_setr_epi8(3, -1, 3, -1, 7, -1, 7, -1, 11, -1, 11, -1, 15, -1, 15, -1, 3, -1, 3, -1,
                         7, -1, 7, -1, 11, -1, 11, -1, 15, -1, 15, -1);
    return _mm256_shuffle_epi8(v, spread);
}

// Eight coverage bytes, each in both 16-bit lanes of its pixel.
BD_AVX2 inline __m256i coverage8(const uint8_t* c) {
    __m256i v = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c)));
    const __m256i spread =
        _mm256_setr_epi8(0, -1, 0, -1, 4, -1, 4, -1, 8, -1, 8, -1, 12, -1, 12, -1, 0, -1, 0, -1, 4,
                         -1, 4, -1, 8, -1, 8, -1, 12, -1, 12, -1);
    return _mm256_shuffle_epi8(v, spread);
}

// Stores the low byte of each of eight 32-bit lanes (values 0..255) as eight bytes.
BD_AVX2 inline void store8(uint8_t* out, __m256i v) {
    __m256i w = _mm256_packus_epi32(v, v);
    w = _mm256_packus_epi16(w, w);
    w = _mm256_permutevar8x32_epi32(w, _mm256_setr_epi32(0, 4, 0, 4, 0, 4, 0, 4));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(w));
}

BD_AVX2 inline __m256i load8(const uint8_t* p) {
    return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

// One half of Multiply or Overlay: s, d channels, as, ad the alphas, all in 16-bit lanes.
// Both are rearranged around P = 255·(S + D) so that they need fewer products; the sums
// wrap in 16 bits, but each final sum is the formula's, which fits.
template <Blend M>
BD_AVX2 inline __m256i blendHalf(__m256i s, __m256i d, __m256i as, __m256i ad) {
    __m256i sum = _mm256_add_epi16(s, d);
    __m256i p = _mm256_sub_epi16(_mm256_slli_epi16(sum, 8), sum);
    __m256i cross = _mm256_add_epi16(_mm256_mullo_epi16(as, d), _mm256_mullo_epi16(ad, s));
    __m256i sd = _mm256_mullo_epi16(s, d);
    if constexpr (M == Blend::Multiply) {
        // (255 − αs)·D + (255 − αd)·S + S·D
        return div255v(_mm256_add_epi16(_mm256_sub_epi16(p, cross), sd));
    } else {
        // Overlay: with X = αs·D + αd·S − 2·S·D, the lower half (2·D <= αd) is P − X and the
        // upper half P + X − αs·αd.
        __m256i x = _mm256_sub_epi16(cross, _mm256_add_epi16(sd, sd));
        __m256i lower = _mm256_sub_epi16(p, x);
        __m256i upper = _mm256_sub_epi16(_mm256_add_epi16(p, x), _mm256_mullo_epi16(as, ad));
        __m256i isUpper = _mm256_cmpgt_epi16(_mm256_add_epi16(d, d), ad);
        return div255v(_mm256_blendv_epi8(lower, upper, isUpper));
    }
}

// The blend of eight premultiplied source pixels s onto destination pixels d.
template <Blend M>
BD_AVX2 inline __m256i blend8(__m256i s, __m256i d) {
    __m256i as = alphas(s);
    if constexpr (M == Blend::Normal) {
        // S + D·(255 − αs)/255, which never carries out of a byte.
        __m256i rest = _mm256_sub_epi16(_mm256_set1_epi16(255), as);
        __m256i even = div255v(_mm256_mullo_epi16(evenBytes(d), rest));
        __m256i odd = div255v(_mm256_mullo_epi16(oddBytes(d), rest));
        return _mm256_add_epi8(s, join(even, odd));
    } else {
        __m256i ad = alphas(d);
        return join(blendHalf<M>(evenBytes(s), evenBytes(d), as, ad),
                    blendHalf<M>(oddBytes(s), oddBytes(d), as, ad));
    }
}

// S scaled by the coverage, eight pixels.
BD_AVX2 inline __m256i scale8(__m256i s, const uint8_t* cov) {
    __m256i c = coverage8(cov);
    return join(div255v(_mm256_mullo_epi16(evenBytes(s), c)),
                div255v(_mm256_mullo_epi16(oddBytes(s), c)));
}

template <Blend M, bool Cov, bool Dst>
BD_AVX2 void compositeT(const uint32_t* src, const uint8_t* cov, const uint32_t* dst, uint32_t* out,
                        size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        if constexpr (Cov) s = scale8(s, cov + i);
        if constexpr (Dst)
            s = blend8<M>(s, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dst + i)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), s);
    }
    if (i < n)
        scalar::composite(M, src + i, Cov ? cov + i : nullptr, Dst ? dst + i : nullptr, out + i,
                          n - i);
}

template <Blend M>
BD_AVX2 void compositeMode(const uint32_t* src, const uint8_t* cov, const uint32_t* dst,
                           uint32_t* out, size_t n) {
    if (cov) {
        if (dst)
            compositeT<M, true, true>(src, cov, dst, out, n);
        else
            compositeT<M, true, false>(src, cov, dst, out, n);
    } else {
        if (dst)
            compositeT<M, false, true>(src, cov, dst, out, n);
        else
            compositeT<M, false, false>(src, cov, dst, out, n);
    }
}

// Grey of eight premultiplied pixels in 32-bit lanes.
BD_AVX2 inline __m256i luma8(__m256i p) {
    const __m256i mask = _mm256_set1_epi32(0x00FF00FF);
    __m256i rb = _mm256_and_si256(p, mask);                        // B, R
    __m256i ga = _mm256_and_si256(_mm256_srli_epi32(p, 8), mask);  // G, A
    __m256i y = _mm256_add_epi32(_mm256_madd_epi16(rb, _mm256_set1_epi32(9798 << 16 | 3735)),
                                 _mm256_madd_epi16(ga, _mm256_set1_epi32(19235)));
    return _mm256_srli_epi32(_mm256_add_epi32(y, _mm256_set1_epi32(16384)), 15);
}

}  // namespace

BD_AVX2 void composite(Blend mode, const uint32_t* src, const uint8_t* cov, const uint32_t* dst,
                       uint32_t* out, size_t n) {
    switch (mode) {
        case Blend::Multiply:
            compositeMode<Blend::Multiply>(src, cov, dst, out, n);
            break;
        case Blend::Overlay:
            compositeMode<Blend::Overlay>(src, cov, dst, out, n);
            break;
        default:
            compositeMode<Blend::Normal>(src, cov, dst, out, n);
            break;
    }
}

BD_AVX2 void colorTimesAlpha(uint32_t colour, const uint32_t* src, uint32_t* out, size_t n) {
    const __m256i c = _mm256_set1_epi32(int(colour));
    const __m256i even = evenBytes(c), odd = oddBytes(c);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256i a = alphas(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i)));
        __m256i v = join(div255v(_mm256_mullo_epi16(even, a)), div255v(_mm256_mullo_epi16(odd, a)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), v);
    }
    if (i < n) scalar::colorTimesAlpha(colour, src + i, out + i, n - i);
}

BD_AVX2 void luma(const uint32_t* src, uint8_t* out, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        store8(out + i, luma8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i))));
    if (i < n) scalar::luma(src + i, out + i, n - i);
}

BD_AVX2 void grayOver(const uint32_t* src, const uint8_t* cov, const uint8_t* dst, uint8_t* out,
                      size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        if (cov) s = scale8(s, cov + i);
        __m256i y = luma8(s);
        if (dst) {
            __m256i rest = _mm256_sub_epi32(_mm256_set1_epi32(255), _mm256_srli_epi32(s, 24));
            y = _mm256_add_epi32(y, div255v32(_mm256_mullo_epi16(load8(dst + i), rest)));
        }
        store8(out + i, y);
    }
    if (i < n)
        scalar::grayOver(src + i, cov ? cov + i : nullptr, dst ? dst + i : nullptr, out + i, n - i);
}

BD_AVX2 void grayToARGB(const uint8_t* gray, uint32_t* out, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256i g = load8(gray + i);
        __m256i v = _mm256_or_si256(_mm256_mullo_epi32(g, _mm256_set1_epi32(0x010101)),
                                    _mm256_set1_epi32(int(0xFF000000u)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), v);
    }
    for (; i < n; ++i) out[i] = 0xFF000000u | uint32_t(gray[i]) * 0x010101u;
}

BD_AVX2 void alpha(const uint32_t* src, uint8_t* out, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        store8(out + i, _mm256_srli_epi32(
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i)), 24));
    for (; i < n; ++i) out[i] = uint8_t(src[i] >> 24);
}

BD_AVX2 void invert(const uint8_t* in, uint8_t* out, size_t n) {
    size_t i = 0;
    const __m256i ones = _mm256_set1_epi8(-1);
    for (; i + 32 <= n; i += 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_xor_si256(v, ones));
    }
    for (; i < n; ++i) out[i] = uint8_t(255 - in[i]);
}

BD_AVX2 void multiplyCoverage(uint8_t* a, const uint8_t* b, size_t n) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m256i x = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)));
        __m256i y = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
        __m256i r = div255v(_mm256_mullo_epi16(x, y));
        r = _mm256_permute4x64_epi64(_mm256_packus_epi16(r, r), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(a + i), _mm256_castsi256_si128(r));
    }
    for (; i < n; ++i) a[i] = uint8_t(div255(uint32_t(a[i]) * b[i]));
}

BD_AVX2 void maskGrayRange(const uint8_t* gray, uint8_t lo, uint8_t hi, uint32_t* out, size_t n) {
    const __m256i vlo = _mm256_set1_epi32(lo), vhi = _mm256_set1_epi32(hi);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256i g = load8(gray + i);
        __m256i outside = _mm256_or_si256(_mm256_cmpgt_epi32(vlo, g), _mm256_cmpgt_epi32(g, vhi));
        __m256i v = _mm256_or_si256(_mm256_mullo_epi32(g, _mm256_set1_epi32(0x010101)),
                                    _mm256_set1_epi32(int(0xFF000000u)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_and_si256(v, outside));
    }
    if (i < n) scalar::maskGrayRange(gray + i, lo, hi, out + i, n - i);
}

BD_AVX2 void shuffle(const uint8_t* in, const uint8_t order[4], uint8_t* out, size_t pixels) {
    alignas(32) int8_t pattern[32];
    for (int b = 0; b < 32; ++b) pattern[b] = int8_t((b & ~3 & 15) + order[b & 3]);
    const __m256i p = _mm256_load_si256(reinterpret_cast<const __m256i*>(pattern));
    size_t i = 0;
    for (; i + 8 <= pixels; i += 8) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i), _mm256_shuffle_epi8(v, p));
    }
    if (i < pixels) scalar::shuffle(in + 4 * i, order, out + 4 * i, pixels - i);
}

}  // namespace bd::px::avx2

#endif
