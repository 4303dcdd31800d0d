#pragma once
// Reading a bitmap's pixels whatever its layout (internal to CoreGraphics): rows as
// premultiplied native ARGB32, or as coverage for clipping and masking.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "CoreGraphics/CGImage.h"

namespace bd {

// [any-thread] Whether rows can be read: 8 bits per component and a layout we know (grey with
// or without alpha, RGB in 24 or 32 bits with any alpha info and byte order, image masks).
bool imageReadable(CGImageRef image);
// [any-thread] Whether the bitmap is premultiplied native ARGB32 (its rows are read in place).
bool imageIsNativeARGB(CGImageRef image);
// [any-thread] Pixels x..x+n−1 of row y as premultiplied native ARGB32; points into the bitmap
// when it already is, else into tmp (n words). Image masks read as black with alpha
// 255 − sample. The caller keeps x + n <= width and y < height.
const uint32_t* imageRowARGB(CGImageRef image, size_t y, size_t x, size_t n, uint32_t* tmp);
// [any-thread] How much paint the same pixels let through when the bitmap is a mask or clip:
// an image mask, 255 − sample; a bitmap with alpha, its alpha; a bitmap without alpha, its
// grey value. Points into the bitmap for 8-bit grey, else into tmp (n bytes).
const uint8_t* imageRowCoverage(CGImageRef image, size_t y, size_t x, size_t n, uint8_t* tmp);
// [any-thread] A pixel buffer of n bytes from malloc (calloc when zeroed, which hands out fresh
// pages without writing them); null when it can't be had.
std::shared_ptr<uint8_t[]> allocPixels(size_t n, bool zeroed);
// [any-thread] A bitmap over a whole buffer: premultiplied native ARGB32 (width × 4 bytes per
// row) or 8-bit grey without alpha (width bytes per row). Caller owns the result.
CGImageRef makeImage(std::shared_ptr<const uint8_t[]> pixels, size_t width, size_t height,
                     bool gray);
// [any-thread] Whether the bitmap carries alpha (an image mask counts as having none).
bool imageHasAlpha(CGImageRef image);

}  // namespace bd
