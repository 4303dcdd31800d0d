#pragma once
// Per-pixel kernels of the bitmap contexts and the image maskers: compositing a row of
// premultiplied ARGB32 pixels onto another in the blend modes that cairo is slow at, turning
// colour rows grey, and moving pixels between byte orders. Each kernel has a plain scalar form
// (the reference) and an AVX2 form chosen at run time; both give identical bytes.
//
// Pixels are cairo's native ARGB32: one host-endian 32-bit word per pixel, alpha in the top
// byte, colour premultiplied by alpha. Coverage rows hold one byte per pixel (255 = full).
// All kernels are [any-thread] and keep no state.

#include <cstddef>
#include <cstdint>

namespace bd::px {

// The blend modes the kernels compute directly (CoreGraphics numbering).
enum class Blend : int { Normal = 0, Multiply = 1, Overlay = 3 };

// [any-thread] out[i] = blend(S', D) where S' is src[i] scaled by cov[i]/255 (cov null: full
// coverage) and D is dst[i] (dst null: a transparent destination). The blend is the PDF
// separable formula in premultiplied form; since S' carries the coverage, a partly covered
// pixel ends between D and the full blend in proportion. dst and out may be the same row.
void composite(Blend mode, const uint32_t* src, const uint8_t* cov, const uint32_t* dst,
               uint32_t* out, size_t n);
// [any-thread] out[i] = colour scaled by alpha(src[i])/255: a solid colour painted through a
// picture's opacity.
void colorTimesAlpha(uint32_t colour, const uint32_t* src, uint32_t* out, size_t n);
// [any-thread] The grey of premultiplied ARGB pixels, that is of the colour over black:
// (R·9798 + G·19235 + B·3735 + 16384) >> 15, weights 0.299, 0.587, 0.114 in 1/32768.
void luma(const uint32_t* src, uint8_t* out, size_t n);
// [any-thread] A grey destination without alpha under S' (src scaled by cov, as composite):
// out[i] = luma(S') + D·(255 − alpha(S'))/255, D = dst[i] or 0 when dst is null.
void grayOver(const uint32_t* src, const uint8_t* cov, const uint8_t* dst, uint8_t* out, size_t n);
// [any-thread] Opaque ARGB from grey bytes.
void grayToARGB(const uint8_t* gray, uint32_t* out, size_t n);
// [any-thread] The alpha byte of each pixel.
void alpha(const uint32_t* src, uint8_t* out, size_t n);
// [any-thread] out[i] = 255 − in[i] (image-mask samples to coverage). in and out may alias.
void invert(const uint8_t* in, uint8_t* out, size_t n);
// [any-thread] a[i] = a[i]·b[i]/255, rounded. Combines two coverage rows.
void multiplyCoverage(uint8_t* a, const uint8_t* b, size_t n);
// [any-thread] Grey bytes to ARGB, transparent where lo <= grey <= hi, opaque elsewhere.
void maskGrayRange(const uint8_t* gray, uint8_t lo, uint8_t hi, uint32_t* out, size_t n);
// [any-thread] Reorders the four bytes of every pixel: out byte k of a pixel = in byte
// order[k]. in and out may be the same row.
void shuffle(const uint8_t* in, const uint8_t order[4], uint8_t* out, size_t pixels);

// Which implementation the dispatching kernels use.
enum class Kernels { Automatic, Scalar, AVX2 };
// [any-thread, but not while kernels run] Selects the implementation (tests, benchmarks);
// false when the processor lacks it.
bool setKernels(Kernels kernels);

// [any-thread] The scalar references, for tests.
namespace scalar {
void composite(Blend mode, const uint32_t* src, const uint8_t* cov, const uint32_t* dst,
               uint32_t* out, size_t n);
void colorTimesAlpha(uint32_t colour, const uint32_t* src, uint32_t* out, size_t n);
void luma(const uint32_t* src, uint8_t* out, size_t n);
void grayOver(const uint32_t* src, const uint8_t* cov, const uint8_t* dst, uint8_t* out, size_t n);
void maskGrayRange(const uint8_t* gray, uint8_t lo, uint8_t hi, uint32_t* out, size_t n);
void shuffle(const uint8_t* in, const uint8_t order[4], uint8_t* out, size_t pixels);
}  // namespace scalar

// [any-thread] Rounded x/255 for 0 <= x <= 65025 (exact for every such x).
constexpr uint32_t div255(uint32_t x) {
    x += 128;
    return (x + (x >> 8)) >> 8;
}

}  // namespace bd::px
