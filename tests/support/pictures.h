#pragma once
// Test pictures drawn in code: solid-colour ARGB32 bitmaps and their PNG encodings.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "CoreGraphics/CGImage.h"

namespace bdtest {
// A width × height bitmap filled with one premultiplied ARGB colour (caller owns it).
CGImageRef makeSolidImage(size_t width, size_t height, uint32_t argb);
// A width × height ARGB32 bitmap whose pixel (x, y), y from the top, is argb(x, y), a
// premultiplied native ARGB word (caller owns it).
CGImageRef makeImage(size_t width, size_t height,
                     const std::function<uint32_t(size_t x, size_t y)>& argb);
// An 8-bit grey bitmap without alpha (caller owns it).
CGImageRef makeGrayImage(size_t width, size_t height,
                         const std::function<uint8_t(size_t x, size_t y)>& gray);
// Pixel (x, y) of any readable bitmap as a premultiplied native ARGB word.
uint32_t pixelAt(CGImageRef image, size_t x, size_t y);
// The grey byte (x, y) of an 8-bit grey bitmap.
uint8_t grayAt(CGImageRef image, size_t x, size_t y);
// The PNG bytes of such a bitmap.
std::vector<uint8_t> solidPng(size_t width, size_t height, uint32_t argb);
// Writes bytes to a file; false on failure.
bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
}  // namespace bdtest
