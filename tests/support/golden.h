#pragma once
// Golden pictures: a rendered bitmap compared with a PNG under tests/data, channel by channel
// with a tolerance. With BD_UPDATE_GOLDENS=1 in the environment the PNG is written instead (for
// a person to look at and commit).

#include <string>

#include "CoreGraphics/CGImage.h"

namespace bdtest {
// The path of tests/data/<name>.
std::string dataPath(const std::string& name);
// An ARGB32 picture read from a PNG file (caller owns it), or null.
CGImageRef loadPNG(const std::string& path);
// The largest difference of any channel of any pixel (premultiplied values), or -1 when the
// sizes differ or a picture is null.
int maxChannelDifference(CGImageRef a, CGImageRef b);
// "" when image matches tests/data/<name> within tolerance, else what differs.
std::string matchGolden(CGImageRef image, const std::string& name, int tolerance);
}  // namespace bdtest
