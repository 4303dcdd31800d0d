// The pixel kernels against the formulas they compute, and the AVX2 forms against the scalar
// references, byte for byte, over random premultiplied pixels and every length of tail.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "CoreGraphics/CGPixelKernels.h"

namespace px = bd::px;

namespace {

struct Rows {
    std::vector<uint32_t> src, dst;
    std::vector<uint8_t> cov, gray;
};

// Valid premultiplied pixels, with many fully opaque and fully transparent ones.
uint32_t randomPixel(std::mt19937& rng) {
    uint32_t a = rng() % 256;
    if (rng() % 4 == 0) a = 255;
    if (rng() % 8 == 0) a = 0;
    auto ch = [&] { return a ? uint32_t(rng() % (a + 1)) : 0u; };
    return a << 24 | ch() << 16 | ch() << 8 | ch();
}

Rows randomRows(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Rows r;
    for (size_t i = 0; i < n; ++i) {
        r.src.push_back(randomPixel(rng));
        r.dst.push_back(randomPixel(rng));
        uint8_t c = uint8_t(rng() % 256);
        if (rng() % 4 == 0) c = 255;
        r.cov.push_back(c);
        r.gray.push_back(uint8_t(rng() % 256));
    }
    return r;
}

double ch(uint32_t p, int k) {
    return double((p >> (8 * k)) & 0xFF);
}

// The PDF separable blend in premultiplied form, in reals, for one channel k.
double blendFormula(px::Blend mode, uint32_t s, uint32_t d, int k) {
    double as = ch(s, 3) / 255, ad = ch(d, 3) / 255, sc = ch(s, k) / 255, dc = ch(d, k) / 255;
    double base = (1 - as) * dc;
    switch (mode) {
        case px::Blend::Normal:
            return (sc + base) * 255;
        case px::Blend::Multiply:
            return (base + (1 - ad) * sc + sc * dc) * 255;
        case px::Blend::Overlay: {
            double t = 2 * dc <= ad ? 2 * sc * dc : as * ad - 2 * (ad - dc) * (as - sc);
            return (base + (1 - ad) * sc + t) * 255;
        }
    }
    return 0;
}

uint32_t scaled(uint32_t s, uint32_t c) {
    uint32_t r = 0;
    for (int k = 0; k < 4; ++k) r |= uint32_t(std::lround(ch(s, k) * c / 255)) << (8 * k);
    return r;
}

class Kernels : public ::testing::Test {
  protected:
    void TearDown() override { px::setKernels(px::Kernels::Automatic); }
    static bool haveAVX2() {
        bool ok = px::setKernels(px::Kernels::AVX2);
        px::setKernels(px::Kernels::Automatic);
        return ok;
    }
};

TEST_F(Kernels, CompositeFollowsThePdfFormulas) {
    const size_t n = 4099;
    Rows r = randomRows(n, 1);
    std::vector<uint32_t> out(n);
    px::setKernels(px::Kernels::Scalar);
    for (px::Blend mode : {px::Blend::Normal, px::Blend::Multiply, px::Blend::Overlay}) {
        for (bool withCov : {false, true}) {
            px::composite(mode, r.src.data(), withCov ? r.cov.data() : nullptr, r.dst.data(),
                          out.data(), n);
            for (size_t i = 0; i < n; ++i) {
                uint32_t s = withCov ? scaled(r.src[i], r.cov[i]) : r.src[i];
                for (int k = 0; k < 4; ++k) {
                    double want = blendFormula(mode, s, r.dst[i], k);
                    ASSERT_NEAR(ch(out[i], k), want, 1.0)
                        << "mode " << int(mode) << " pixel " << i << " channel " << k;
                }
                // The result stays premultiplied: no colour above its alpha.
                for (int k = 0; k < 3; ++k) ASSERT_LE(ch(out[i], k), ch(out[i], 3));
            }
        }
    }
}

TEST_F(Kernels, CompositeOverNothingIsTheScaledSource) {
    Rows r = randomRows(257, 2);
    std::vector<uint32_t> out(257);
    px::composite(px::Blend::Overlay, r.src.data(), r.cov.data(), nullptr, out.data(), 257);
    for (size_t i = 0; i < 257; ++i) EXPECT_EQ(out[i], scaled(r.src[i], r.cov[i]));
    // A transparent source leaves the destination as it is in every mode.
    std::vector<uint32_t> clear(257, 0);
    for (px::Blend mode : {px::Blend::Normal, px::Blend::Multiply, px::Blend::Overlay}) {
        px::composite(mode, clear.data(), nullptr, r.dst.data(), out.data(), 257);
        EXPECT_EQ(out, r.dst);
    }
}

TEST_F(Kernels, GreyIsTheLumaOfTheColourOverBlack) {
    Rows r = randomRows(1000, 3);
    std::vector<uint8_t> out(1000), over(1000);
    px::setKernels(px::Kernels::Scalar);
    px::luma(r.src.data(), out.data(), 1000);
    px::grayOver(r.src.data(), r.cov.data(), r.gray.data(), over.data(), 1000);
    for (size_t i = 0; i < 1000; ++i) {
        uint32_t p = r.src[i];
        double y = 0.299 * ch(p, 2) + 0.587 * ch(p, 1) + 0.114 * ch(p, 0);
        ASSERT_NEAR(out[i], y, 1.0) << i;
        uint32_t s = scaled(p, r.cov[i]);
        double ys = 0.299 * ch(s, 2) + 0.587 * ch(s, 1) + 0.114 * ch(s, 0);
        ASSERT_NEAR(over[i], ys + r.gray[i] * (1 - ch(s, 3) / 255), 1.5) << i;
    }
    uint32_t white = 0xFFFFFFFFu;
    uint8_t g;
    px::luma(&white, &g, 1);
    EXPECT_EQ(g, 255);
}

TEST_F(Kernels, SmallKernels) {
    uint8_t gray[6] = {0, 1, 5, 10, 11, 255};
    uint32_t masked[6];
    px::maskGrayRange(gray, 1, 10, masked, 6);
    EXPECT_EQ(masked[0], 0xFF000000u);
    EXPECT_EQ(masked[1], 0u);
    EXPECT_EQ(masked[3], 0u);
    EXPECT_EQ(masked[4], 0xFF0B0B0Bu);
    EXPECT_EQ(masked[5], 0xFFFFFFFFu);

    const uint8_t reverse[4] = {3, 2, 1, 0};
    uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8}, out[8];
    px::shuffle(bytes, reverse, out, 2);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), (std::vector<uint8_t>{4, 3, 2, 1, 8, 7, 6, 5}));

    uint32_t argb[2] = {0x80402010u, 0xFF00FF00u}, tinted[2];
    px::colorTimesAlpha(0xFFFF8000u, argb, tinted, 2);
    EXPECT_EQ(tinted[0], 0x80804000u);
    EXPECT_EQ(tinted[1], 0xFFFF8000u);
}

TEST_F(Kernels, VectorFormsMatchTheScalarReferencesByteForByte) {
    if (!haveAVX2()) GTEST_SKIP() << "no AVX2 on this processor";
    const uint8_t order[4] = {2, 1, 0, 3};
    // Every length up to a few vectors, so that each tail path runs.
    for (size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 1003u}) {
        Rows r = randomRows(n, unsigned(10 + n));
        auto both = [&](auto&& run) {
            px::setKernels(px::Kernels::Scalar);
            auto a = run();
            px::setKernels(px::Kernels::AVX2);
            auto b = run();
            return a == b;
        };
        for (px::Blend mode : {px::Blend::Normal, px::Blend::Multiply, px::Blend::Overlay})
            for (int variant = 0; variant < 4; ++variant)
                EXPECT_TRUE(both([&] {
                    std::vector<uint32_t> out(n);
                    px::composite(mode, r.src.data(), variant & 1 ? r.cov.data() : nullptr,
                                  variant & 2 ? r.dst.data() : nullptr, out.data(), n);
                    return out;
                })) << "composite "
                    << int(mode) << "/" << variant << " n=" << n;
        EXPECT_TRUE(both([&] {
            std::vector<uint8_t> out(n);
            px::luma(r.src.data(), out.data(), n);
            return out;
        }));
        for (int variant = 0; variant < 4; ++variant)
            EXPECT_TRUE(both([&] {
                std::vector<uint8_t> out(n);
                px::grayOver(r.src.data(), variant & 1 ? r.cov.data() : nullptr,
                             variant & 2 ? r.gray.data() : nullptr, out.data(), n);
                return out;
            })) << "grayOver "
                << variant << " n=" << n;
        EXPECT_TRUE(both([&] {
            std::vector<uint32_t> out(n);
            px::grayToARGB(r.gray.data(), out.data(), n);
            return out;
        }));
        EXPECT_TRUE(both([&] {
            std::vector<uint8_t> out(n);
            px::alpha(r.src.data(), out.data(), n);
            return out;
        }));
        EXPECT_TRUE(both([&] {
            std::vector<uint8_t> out(n);
            px::invert(r.gray.data(), out.data(), n);
            return out;
        }));
        EXPECT_TRUE(both([&] {
            std::vector<uint8_t> a = r.cov;
            px::multiplyCoverage(a.data(), r.gray.data(), n);
            return a;
        }));
        EXPECT_TRUE(both([&] {
            std::vector<uint32_t> out(n);
            px::maskGrayRange(r.gray.data(), 40, 90, out.data(), n);
            return out;
        }));
        EXPECT_TRUE(both([&] {
            std::vector<uint32_t> out(n);
            px::colorTimesAlpha(0xC0806040u, r.src.data(), out.data(), n);
            return out;
        }));
        EXPECT_TRUE(both([&] {
            std::vector<uint8_t> out(4 * n);
            px::shuffle(reinterpret_cast<const uint8_t*>(r.src.data()), order, out.data(), n);
            return out;
        }));
    }
}

}  // namespace
