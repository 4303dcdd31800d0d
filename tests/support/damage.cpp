#include "support/damage.h"

#include <gtest/gtest.h>

#include <cstring>

namespace bdtest {

namespace {
// The first pixel where two bitmaps differ, as "(x, y) a vs b"; "" when none.
std::string firstDifference(const uint8_t* a, size_t sa, const uint8_t* b, size_t sb, int w,
                            int h) {
    for (int y = 0; y < h; ++y) {
        const uint32_t* ra = reinterpret_cast<const uint32_t*>(a + size_t(y) * sa);
        const uint32_t* rb = reinterpret_cast<const uint32_t*>(b + size_t(y) * sb);
        if (std::memcmp(ra, rb, size_t(w) * 4) == 0) continue;
        for (int x = 0; x < w; ++x)
            if (ra[x] != rb[x]) {
                char text[96];
                std::snprintf(text, sizeof text, "(%d, %d) %08x vs %08x", x, y, ra[x], rb[x]);
                return text;
            }
    }
    return "";
}
}  // namespace

DamageChecker::DamageChecker(int width, int height, double scale)
    : _width(width),
      _height(height),
      _scale(scale),
      _damaged(width, height, scale),
      _chain(width, height, scale),
      _buffers(3, std::vector<uint8_t>(size_t(width) * size_t(height) * 4, 0x5A)),
      _bufferFrame(3, 0) {}

CARenderFrame DamageChecker::step(CALayer* root, double t, const std::string& step) {
    size_t stride = _damaged.stride();
    std::vector<uint8_t> before(_damaged.pixels(), _damaged.pixels() + stride * size_t(_height));
    bool needed = _damaged.needsFrame(root, t);
    CARenderFrame f = _damaged.renderFrame(root, t);

    CARenderer whole(_width, _height, _scale);
    CARenderFrame wf = whole.renderFrame(root, t);
    EXPECT_TRUE(wf.full) << step;
    EXPECT_EQ(
        firstDifference(_damaged.pixels(), stride, whole.pixels(), whole.stride(), _width, _height),
        "")
        << step << ": the damaged-only frame differs from a whole one";

    // Every changed pixel lies in the damage.
    const uint8_t* now = _damaged.pixels();
    int outside = 0;
    for (int y = 0; y < _height && outside == 0; ++y) {
        const uint32_t* ra = reinterpret_cast<const uint32_t*>(before.data() + size_t(y) * stride);
        const uint32_t* rb = reinterpret_cast<const uint32_t*>(now + size_t(y) * stride);
        for (int x = 0; x < _width; ++x) {
            if (ra[x] == rb[x]) continue;
            bool in = f.full;
            for (const bd::PixelRect& r : f.damage) {
                if (x >= r.x && x < r.right() && y >= r.y && y < r.bottom()) in = true;
            }
            if (!in) {
                ADD_FAILURE() << step << ": pixel (" << x << ", " << y
                              << ") changed outside the damage";
                ++outside;
                break;
            }
        }
    }
    if (!needed) {
        EXPECT_TRUE(f.damage.empty()) << step << ": no frame was needed, yet damage";
    }
    if (!f.damage.empty()) {
        EXPECT_TRUE(needed) << step << ": damage where no frame was said to be needed";
        ++_framesWithDamage;
        for (const bd::PixelRect& r : f.damage) _damagedPixels += r.area();
    }

    // The chain of three buffers, each three frames old when drawn into again.
    size_t k = size_t(_chainFrames % 3);
    ++_chainFrames;
    CARenderTarget target;
    target.pixels = _buffers[k].data();
    target.stride = size_t(_width) * 4;
    target.age = _bufferFrame[k] ? int(_chainFrames - _bufferFrame[k]) : 0;
    _chain.renderFrame(root, t, target);
    _bufferFrame[k] = _chainFrames;
    EXPECT_EQ(firstDifference(_buffers[k].data(), target.stride, whole.pixels(), whole.stride(),
                              _width, _height),
              "")
        << step << ": a buffer repaired from " << target.age << " frames back differs";
    return f;
}

}  // namespace bdtest
