#pragma once
// Test pictures drawn in code: solid-colour ARGB32 bitmaps and their PNG encodings.

#include <cstdint>
#include <string>
#include <vector>

#include "CoreGraphics/CGImage.h"

namespace bdtest {
// A width × height bitmap filled with one premultiplied ARGB colour (caller owns it).
CGImageRef makeSolidImage(size_t width, size_t height, uint32_t argb);
// The PNG bytes of such a bitmap.
std::vector<uint8_t> solidPng(size_t width, size_t height, uint32_t argb);
// Writes bytes to a file; false on failure.
bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
// A fresh empty directory under the system's temporary directory.
std::string makeTempDir(const char* tag);
}  // namespace bdtest
