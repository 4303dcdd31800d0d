// The perspective warp as a pure function on synthetic homographies: exact where the mapping
// is a whole-pixel move, within a few levels of an exact bilinear reference under strong
// perspective, the same bytes whether drawn at once or region by region, and nothing drawn
// outside the clip, behind the viewer or beyond the polygon.
#include "QuartzCore/CAProjectiveWarp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

using bd::H3;
using bd::PixelRect;

struct Bitmap {
    int width, height;
    std::vector<uint32_t> px;
    Bitmap(int w, int h, uint32_t fill = 0) : width(w), height(h), px(size_t(w) * h, fill) {}
    bd::WarpBitmap view() {
        return {reinterpret_cast<uint8_t*>(px.data()), width, height, size_t(width) * 4};
    }
    uint32_t at(int x, int y) const { return px[size_t(y) * width + x]; }
};

// A smooth, opaque picture: gradients in every channel, so that sampling errors stay small.
Bitmap smooth(int w, int h) {
    Bitmap b(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            b.px[size_t(y) * w + x] = 0xFF000000u | uint32_t(x * 255 / (w - 1)) << 16 |
                                      uint32_t(y * 255 / (h - 1)) << 8 |
                                      uint32_t((x + y) * 255 / (w + h - 2));
    return b;
}

int channelDifference(uint32_t a, uint32_t b) {
    int worst = 0;
    for (int s = 0; s < 32; s += 8)
        worst = std::max(worst, std::abs(int((a >> s) & 0xFF) - int((b >> s) & 0xFF)));
    return worst;
}

// Bilinear sample of src at (u, v) (pixel centres at +0.5), transparent outside.
uint32_t sample(const Bitmap& src, double u, double v) {
    double fx = u - 0.5, fy = v - 0.5;
    int x0 = int(std::floor(fx)), y0 = int(std::floor(fy));
    double ax = fx - x0, ay = fy - y0;
    double acc[4] = {0, 0, 0, 0};
    for (int dy = 0; dy < 2; ++dy)
        for (int dx = 0; dx < 2; ++dx) {
            int x = x0 + dx, y = y0 + dy;
            if (x < 0 || y < 0 || x >= src.width || y >= src.height) continue;
            double w = (dx ? ax : 1 - ax) * (dy ? ay : 1 - ay);
            uint32_t p = src.at(x, y);
            for (int c = 0; c < 4; ++c) acc[c] += w * double((p >> (8 * c)) & 0xFF);
        }
    uint32_t out = 0;
    for (int c = 0; c < 4; ++c) out |= uint32_t(std::lround(acc[c])) << (8 * c);
    return out;
}

// A card turned about the vertical axis under perspective: target pixels -> source pixels.
H3 turnedCard(double angle, double eye, double w) {
    // Source -> target: rotate about the card's centre line, project from `eye` pixels away.
    double c = std::cos(angle), s = std::sin(angle);
    // Row vectors [x y 1]: x' = (x - w/2) c, z = (x - w/2) s; projected with w' = 1 - z/eye.
    H3 toTarget;
    toTarget.m[0][0] = c, toTarget.m[0][1] = 0, toTarget.m[0][2] = -s / eye;
    toTarget.m[1][0] = 0, toTarget.m[1][1] = 1, toTarget.m[1][2] = 0;
    toTarget.m[2][0] = -w / 2 * c, toTarget.m[2][1] = 0, toTarget.m[2][2] = 1 + w / 2 * s / eye;
    toTarget = toTarget * H3::affine(1, 0, 0, 1, w / 2 + 20, 10);
    H3 inv;
    EXPECT_TRUE(toTarget.inverse(&inv));
    return inv;
}

}  // namespace

TEST(PerspectiveWarp, WholePixelMovesCopyExactly) {
    Bitmap src = smooth(50, 40);
    Bitmap dst(70, 60);
    // Target (x, y) samples source (x - 7, y - 5).
    bd::warpPerspective(src.view(), dst.view(), H3::translation(-7, -5), {0, 0, 70, 60}, {});
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 70; ++x) {
            bool inside = x >= 7 && x < 57 && y >= 5 && y < 45;
            ASSERT_EQ(dst.at(x, y), inside ? src.at(x - 7, y - 5) : 0u) << x << "," << y;
        }
}

TEST(PerspectiveWarp, StrongPerspectiveStaysCloseToAnExactReference) {
    Bitmap src = smooth(300, 200);
    Bitmap dst(400, 260);
    H3 a = turnedCard(0.9, 500, 300);
    bd::warpPerspective(src.view(), dst.view(), a, {0, 0, 400, 260}, {});
    int worst = 0, drawn = 0;
    for (int y = 0; y < 260; ++y)
        for (int x = 0; x < 400; ++x) {
            double X, Y, W;
            a.project(x + 0.5, y + 0.5, &X, &Y, &W);
            double u = X / W, v = Y / W;
            // Away from the card's edges, where the soft border may fall a pixel either way.
            if (!(u > 2 && v > 2 && u < 298 && v < 198)) continue;
            ++drawn;
            worst = std::max(worst, channelDifference(dst.at(x, y), sample(src, u, v)));
        }
    EXPECT_GT(drawn, 20000);
    EXPECT_LE(worst, 4) << "sampling strays from the projective mapping";
}

TEST(PerspectiveWarp, RegionByRegionGivesTheSameBytesAndNothingOutside) {
    Bitmap src = smooth(300, 200);
    H3 a = turnedCard(1.1, 300, 300);
    PixelRect area{0, 0, 400, 260};
    Bitmap whole(400, 260, 0xFF203040u);
    bd::warpPerspective(src.view(), whole.view(), a, area, {});

    // Three regions that cut tiles anywhere, drawn one by one at half opacity and at full.
    Bitmap parts(400, 260, 0xFF203040u);
    std::vector<std::vector<PixelRect>> regions = {
        {{0, 0, 133, 97}}, {{133, 0, 267, 97}, {0, 97, 51, 163}}, {{51, 97, 349, 163}}};
    for (const auto& r : regions) {
        bd::WarpOptions o;
        o.clip = &r;
        bd::warpPerspective(src.view(), parts.view(), a, area, o);
    }
    EXPECT_EQ(std::memcmp(whole.px.data(), parts.px.data(), whole.px.size() * 4), 0);

    // A clip leaves everything outside it alone.
    Bitmap clipped(400, 260, 0xFF203040u);
    std::vector<PixelRect> clip = {{100, 50, 60, 40}};
    bd::WarpOptions o;
    o.clip = &clip;
    o.alpha = 0.5;
    bd::warpPerspective(src.view(), clipped.view(), a, area, o);
    int changed = 0;
    for (int y = 0; y < 260; ++y)
        for (int x = 0; x < 400; ++x) {
            bool in = x >= 100 && x < 160 && y >= 50 && y < 90;
            if (!in) {
                ASSERT_EQ(clipped.at(x, y), 0xFF203040u) << x << "," << y;
            }
            changed += clipped.at(x, y) != 0xFF203040u;
            // Half of the source over the dark ground: no channel brighter than half plus it.
            if (in && whole.at(x, y) != 0xFF203040u) {
                EXPECT_LE(int((clipped.at(x, y) >> 16) & 0xFF),
                          int((whole.at(x, y) >> 16) & 0xFF) / 2 + 0x20 + 2);
            }
        }
    EXPECT_GT(changed, 1000);
}

TEST(PerspectiveWarp, NothingFromBehindTheViewerAndOnlyInsideThePolygon) {
    Bitmap src = smooth(100, 100);
    // w = 1 - x / 120: every target pixel right of x = 120 maps from behind the viewer (where
    // the unprojected point would land back inside the source, mirrored).
    H3 a;
    a.m[0][2] = -1.0 / 120;
    Bitmap dst(200, 100);
    bd::warpPerspective(src.view(), dst.view(), a, {0, 0, 200, 100}, {});
    int drawn = 0;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x) {
            if (x >= 120) {
                ASSERT_EQ(dst.at(x, y), 0u) << x << "," << y;
            }
            drawn += dst.at(x, y) != 0;
        }
    EXPECT_GT(drawn, 3500);  // a wedge: x up to 54, fewer rows as w shrinks

    // With a polygon, only what lies inside it is drawn (its edge antialiased).
    Bitmap inside(200, 100);
    std::vector<CGPoint> poly = {{10, 10}, {50, 10}, {50, 50}, {10, 50}};
    bd::WarpOptions o;
    o.polygon = &poly;
    bd::warpPerspective(src.view(), inside.view(), a, {0, 0, 200, 100}, o);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x) {
            bool out = x < 9 || x > 50 || y < 9 || y > 50;
            bool in = x > 11 && x < 48 && y > 11 && y < 48;
            if (out) {
                ASSERT_EQ(inside.at(x, y) >> 24, 0u) << x << "," << y;
            }
            if (in) {
                ASSERT_EQ(inside.at(x, y) >> 24, 0xFFu) << x << "," << y;
            }
        }
}
