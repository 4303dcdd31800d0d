#pragma once
// The AVX2 forms of the pixel kernels (internal; CGPixelKernels.h dispatches to them). Each
// gives exactly the bytes of its scalar reference.

#include "CoreGraphics/CGPixelKernels.h"

#if defined(__x86_64__) || defined(__i386__)
#define BD_HAVE_AVX2_KERNELS 1
namespace bd::px::avx2 {
// [any-thread] Only to be called when the processor has AVX2.
void composite(Blend mode, const uint32_t* src, const uint8_t* cov, const uint32_t* dst,
               uint32_t* out, size_t n);
void colorTimesAlpha(uint32_t colour, const uint32_t* src, uint32_t* out, size_t n);
void luma(const uint32_t* src, uint8_t* out, size_t n);
void grayOver(const uint32_t* src, const uint8_t* cov, const uint8_t* dst, uint8_t* out, size_t n);
void grayToARGB(const uint8_t* gray, uint32_t* out, size_t n);
void alpha(const uint32_t* src, uint8_t* out, size_t n);
void invert(const uint8_t* in, uint8_t* out, size_t n);
void multiplyCoverage(uint8_t* a, const uint8_t* b, size_t n);
void maskGrayRange(const uint8_t* gray, uint8_t lo, uint8_t hi, uint32_t* out, size_t n);
void shuffle(const uint8_t* in, const uint8_t order[4], uint8_t* out, size_t pixels);
}  // namespace bd::px::avx2
#else
#define BD_HAVE_AVX2_KERNELS 0
#endif
