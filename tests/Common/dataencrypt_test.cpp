#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "Common/NSData+DataEncrypt.h"
#include "Foundation/NSLog.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(NSData* d) {
    const uint8_t* p = static_cast<const uint8_t*>(d->bytes());
    return Bytes(p, p + d->length());
}
NSData* dataOf(const Bytes& b) {
    return NSData::dataWithBytes(b.data(), b.size());
}

TEST(ScrambledDataTest, KnownVectors) {
    NSAutoreleasePool pool;
    EXPECT_EQ(bytesOf(DataEncrypt::encryptionDataWithData(dataOf({0x61, 0x62, 0x63, 0x64}), true)),
              (Bytes{0x9D, 0x9E, 0x9B, 0x9C, 0x01}));
    EXPECT_EQ(bytesOf(DataEncrypt::encryptionDataWithData(dataOf({0x61, 0x62, 0x63, 0x64}), false)),
              (Bytes{0x61, 0x62, 0x63, 0x64, 0x00}));
    EXPECT_EQ(bytesOf(DataEncrypt::encryptionDataWithData(dataOf({0x00, 0xFF}), true)),
              (Bytes{0x00, 0xFF, 0x01}));
    EXPECT_EQ(bytesOf(DataEncrypt::encryptionDataWithData(dataOf({0x12, 0x34}), true)),
              (Bytes{0xCB, 0xED, 0x01}));
    // The unpaired last byte is inverted alone.
    EXPECT_EQ(bytesOf(DataEncrypt::encryptionDataWithData(dataOf({0x12, 0x34, 0x0F}), true)),
              (Bytes{0xCB, 0xED, 0xF0, 0x01}));
}

TEST(ScrambledDataTest, EmptyAndNullPayloads) {
    NSAutoreleasePool pool;
    EXPECT_EQ(bytesOf(DataEncrypt::encryptionDataWithData(NSData::data(), true)), (Bytes{0x01}));
    EXPECT_EQ(bytesOf(DataEncrypt::encryptionDataWithData(nullptr, false)), (Bytes{0x00}));
    EXPECT_EQ(DataEncrypt::dataWithEncryptionData(dataOf({0x01}))->length(), 0u);
    EXPECT_EQ(DataEncrypt::dataWithEncryptionData(dataOf({0x00}))->length(), 0u);
    ASSERT_NE(DataEncrypt::dataWithEncryptionData(nullptr), nullptr);
    EXPECT_EQ(DataEncrypt::dataWithEncryptionData(nullptr)->length(), 0u);
    EXPECT_EQ(DataEncrypt::dataWithEncryptionData(NSData::data())->length(), 0u);
    EXPECT_EQ(bytesOf(DataEncrypt::encryptionDataWithContentsOfFile(NSSTR("/nonexistent/x"), true)),
              (Bytes{0x01}));
}

TEST(ScrambledDataTest, RoundTripLeavesInputUnchanged) {
    NSAutoreleasePool pool;
    std::mt19937 rng(7);
    for (size_t n : {1u, 2u, 3u, 17u, 1000u, 1001u}) {
        Bytes plain(n);
        for (auto& b : plain) b = static_cast<uint8_t>(rng());
        NSData* in = dataOf(plain);
        for (bool encrypt : {true, false}) {
            NSData* stored = DataEncrypt::encryptionDataWithData(in, encrypt);
            EXPECT_EQ(bytesOf(in), plain);
            EXPECT_EQ(bytesOf(DataEncrypt::dataWithEncryptionData(stored)), plain) << n << encrypt;
        }
    }
    // A flag other than 0 counts as scrambled.
    EXPECT_EQ(bytesOf(DataEncrypt::dataWithEncryptionData(dataOf({0xCB, 0xED, 0x07}))),
              (Bytes{0x12, 0x34}));
}

TEST(ScrambledDataTest, VectorPathMatchesScalarAtEveryLengthAndOffset) {
    std::mt19937 rng(42);
    Bytes src(4096 + 64 + 1);
    for (auto& b : src) b = static_cast<uint8_t>(rng());
    Bytes want(src.size() + 8), got(src.size() + 8);
    for (auto kernel :
         {DataEncrypt::ScrambleKernel::AVX2, DataEncrypt::ScrambleKernel::SSSE3,
          DataEncrypt::ScrambleKernel::Scalar, DataEncrypt::ScrambleKernel::Automatic}) {
        if (!DataEncrypt::setScrambleKernel(kernel)) continue;  // the processor lacks it
        for (size_t offset : {0u, 1u, 3u}) {
            for (size_t n = 0; n <= 4096; ++n) {
                std::fill(want.begin(), want.end(), 0xA5);
                std::fill(got.begin(), got.end(), 0xA5);
                DataEncrypt::scrambleScalar(src.data() + offset, want.data() + (offset ^ 1), n);
                DataEncrypt::scramble(src.data() + offset, got.data() + (offset ^ 1), n);
                ASSERT_EQ(want, got)
                    << "n=" << n << " offset=" << offset
                    << " kernel=" << static_cast<int>(kernel);  // includes guard bytes
            }
        }
    }
    // In place, twice, gives the bytes back.
    Bytes buf(src.begin(), src.begin() + 4095);
    DataEncrypt::scramble(buf.data(), buf.data(), buf.size());
    EXPECT_NE(buf, Bytes(src.begin(), src.begin() + 4095));
    DataEncrypt::scramble(buf.data(), buf.data(), buf.size());
    EXPECT_EQ(buf, Bytes(src.begin(), src.begin() + 4095));
}

TEST(BigEndianTest, IntegerHelpers) {
    uint8_t b[4];
    DataEncrypt::integer(-1, b);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    DataEncrypt::integer(0x01020304, b);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{1, 2, 3, 4}));
    const uint8_t v256[] = {0, 0, 1, 0}, vmin[] = {0x80, 0, 0, 0},
                  vmax[] = {0x7F, 0xFF, 0xFF, 0xFF}, vneg[] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(DataEncrypt::byteToInt(v256), 256);
    EXPECT_EQ(DataEncrypt::byteToInt(vmin), INT32_MIN);
    EXPECT_EQ(DataEncrypt::byteToInt(vmax), INT32_MAX);
    EXPECT_EQ(DataEncrypt::byteToInt(vneg), -1);
}

}  // namespace
