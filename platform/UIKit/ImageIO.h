#pragma once
// Writing pictures: PNG through libpng's simplified API, for the tools and the tests.

#include <cstdint>
#include <vector>

#include "CoreGraphics/CGImage.h"
#include "Foundation/Export.h"

namespace bd {
// [any-thread] Writes the bitmap (ARGB32 premultiplied, un-premultiplied on the way out, or
// 8-bit gray / mask) as a PNG file, replacing an existing file whole (bd::AtomicFileWriter);
// false on any failure, which leaves an existing file as it was.
BD_EXPORT bool writePNG(CGImageRef image, const char* path);
// [any-thread] The same into memory; empty on failure.
BD_EXPORT std::vector<uint8_t> encodePNG(CGImageRef image);
}  // namespace bd
