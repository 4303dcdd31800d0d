// Picture decoding and the bitmap / picture objects. Every test picture is made here in code.
#include <gtest/gtest.h>
#include <png.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "CoreGraphics/CGImage.h"
#include "Foundation/NSData.h"
#include "Foundation/NSString.h"
#include "UIKit/ImageDecoder.h"
#include "UIKit/ImageIO.h"
#include "UIKit/UIImage.h"
#include "support/files.h"
#include "support/pictures.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- PNG maker (libpng's full write API, so palette, tRNS, 16 bits and interlace are possible)
struct PngSpec {
    int width = 0, height = 0, colorType = PNG_COLOR_TYPE_RGBA, bitDepth = 8;
    bool interlace = false;
    std::vector<png_color> palette;
    std::vector<uint8_t> trans;  // palette alpha
    Bytes rows;                  // packed rows, big-endian samples for 16 bits
};

void pngWrite(png_structp png, png_bytep data, png_size_t n) {
    Bytes* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}

Bytes makePNG(const PngSpec& s) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, pngWrite, nullptr);
    png_set_IHDR(png, info, s.width, s.height, s.bitDepth, s.colorType,
                 s.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!s.palette.empty()) png_set_PLTE(png, info, s.palette.data(), int(s.palette.size()));
    if (!s.trans.empty()) png_set_tRNS(png, info, s.trans.data(), int(s.trans.size()), nullptr);
    png_write_info(png, info);
    size_t stride = s.rows.size() / size_t(s.height);
    std::vector<png_bytep> rows(size_t(s.height));
    for (int y = 0; y < s.height; ++y)
        rows[size_t(y)] = const_cast<png_bytep>(&s.rows[size_t(y) * stride]);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

// ---- JPEG maker
Bytes makeJPEG(int w, int h, int pf, const Bytes& pixels, int subsamp, int flags = 0,
               int quality = 95) {
    tjhandle tj = tjInitCompress();
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    int rc = tjCompress2(tj, pixels.data(), w, 0, h, pf, &buf, &size, subsamp, quality, flags);
    Bytes out;
    if (rc == 0) out.assign(buf, buf + size);
    tjFree(buf);
    tjDestroy(tj);
    return out;
}

Bytes solidBGRA(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    Bytes p(size_t(w) * size_t(h) * 4);
    for (size_t i = 0; i < p.size(); i += 4) p[i] = b, p[i + 1] = g, p[i + 2] = r, p[i + 3] = 255;
    return p;
}

// Inserts an APP1 Exif segment with IFD0 holding only the orientation tag.
Bytes withExifOrientation(const Bytes& jpeg, int orientation, bool bigEndian) {
    Bytes tiff =
        bigEndian ? Bytes{'M', 'M', 0, 42, 0, 0, 0, 8} : Bytes{'I', 'I', 42, 0, 8, 0, 0, 0};
    auto put16 = [&](uint16_t v) {
        if (bigEndian)
            tiff.push_back(uint8_t(v >> 8)), tiff.push_back(uint8_t(v));
        else
            tiff.push_back(uint8_t(v)), tiff.push_back(uint8_t(v >> 8));
    };
    put16(1);            // one entry
    put16(0x0112);       // orientation
    put16(3);            // SHORT
    put16(1), put16(0);  // count 1 (32 bits)
    put16(uint16_t(orientation)), put16(0);
    put16(0), put16(0);  // next IFD
    Bytes seg = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    seg.insert(seg.end(), tiff.begin(), tiff.end());
    size_t len = seg.size() - 2;
    seg[2] = uint8_t(len >> 8), seg[3] = uint8_t(len);
    Bytes out(jpeg.begin(), jpeg.begin() + 2);
    out.insert(out.end(), seg.begin(), seg.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

uint32_t pixelAt(CGImageRef img, size_t x, size_t y) {
    uint32_t v;
    std::memcpy(&v, img->bytes() + y * img->bytesPerRow() + x * 4, 4);
    return v;
}

UIImage* decode(const Bytes& b) {
    return UIImage::imageWithBytes(b.data(), b.size());
}

uint32_t crc32(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

class ImageTest : public ::testing::Test {
  protected:
    NSAutoreleasePool pool;
};

bool near(int a, int b, int tol) {
    return std::abs(a - b) <= tol;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
TEST_F(ImageTest, RGBAPngDecodesToPremultipliedNativeARGB32) {
    PngSpec s;
    s.width = 3, s.height = 2;
    s.rows = {255, 0,   0,  255, 0,  255, 0,  255, 0,   0,   255, 255,
              200, 100, 50, 128, 10, 20,  30, 0,   255, 255, 255, 255};
    UIImage* img = decode(makePNG(s));
    ASSERT_NE(img, nullptr);
    CGImageRef cg = img->CGImage();
    EXPECT_EQ(CGImageGetWidth(cg), 3u);
    EXPECT_EQ(CGImageGetHeight(cg), 2u);
    EXPECT_EQ(CGImageGetBitsPerComponent(cg), 8u);
    EXPECT_EQ(CGImageGetBitsPerPixel(cg), 32u);
    EXPECT_EQ(CGImageGetBytesPerRow(cg) % 4, 0u);
    EXPECT_EQ(CGImageGetAlphaInfo(cg), kCGImageAlphaPremultipliedFirst);
    EXPECT_EQ(CGImageGetBitmapInfo(cg) & kCGBitmapByteOrderMask, kCGBitmapByteOrder32Host);
    EXPECT_EQ(CGColorSpaceGetModel(CGImageGetColorSpace(cg)), kCGColorSpaceModelRGB);
    EXPECT_TRUE(cg->isARGB32());
    EXPECT_FALSE(CGImageIsMask(cg));
    EXPECT_EQ(pixelAt(cg, 0, 0), 0xFFFF0000u);
    EXPECT_EQ(pixelAt(cg, 1, 0), 0xFF00FF00u);
    EXPECT_EQ(pixelAt(cg, 2, 0), 0xFF0000FFu);
    EXPECT_EQ(pixelAt(cg, 0, 1), 0x80643219u);  // 200,100,50 at alpha 128 premultiplied: 100,50,25
    EXPECT_EQ(pixelAt(cg, 1, 1), 0u);           // fully transparent keeps no colour
    EXPECT_EQ(pixelAt(cg, 2, 1), 0xFFFFFFFFu);
    EXPECT_EQ(img->scale(), 1.0);
    EXPECT_EQ(img->imageOrientation(), UIImageOrientationUp);
    EXPECT_EQ(img->size().width, 3.0);
    EXPECT_EQ(img->size().height, 2.0);
    // The data provider exposes exactly the rows.
    EXPECT_GE(CGDataProviderGetLength(CGImageGetDataProvider(cg)), CGImageGetBytesPerRow(cg) * 2);
    EXPECT_EQ(CGDataProviderGetBytePtr(CGImageGetDataProvider(cg)), cg->bytes());
    Ref<NSData> copy = adopt(CGDataProviderCopyData(CGImageGetDataProvider(cg)));
    ASSERT_TRUE(copy);
    ASSERT_EQ(copy->length(), CGDataProviderGetLength(CGImageGetDataProvider(cg)));
    EXPECT_EQ(std::memcmp(copy->bytes(), cg->bytes(), copy->length()), 0);
    EXPECT_EQ(CGDataProviderCopyData(nullptr), nullptr);
}

TEST_F(ImageTest, EveryAlphaIsPremultipliedWithRounding) {
    // Every alpha value against colours across the range, in rows long enough for the vector
    // path and with tails for the scalar one: c·a/255 rounded to nearest.
    PngSpec s;
    s.width = 259, s.height = 3;
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) {
            uint8_t a = uint8_t(x % 256), c = uint8_t((x * 37 + y * 101) % 256);
            s.rows.insert(s.rows.end(), {c, uint8_t(255 - c), uint8_t(c / 2 + y), a});
        }
    UIImage* img = decode(makePNG(s));
    ASSERT_NE(img, nullptr);
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) {
            const uint8_t* in = &s.rows[(size_t(y) * size_t(s.width) + size_t(x)) * 4];
            uint32_t a = in[3];
            auto pm = [a](uint32_t c) { return uint32_t(std::lround(c * a / 255.0)); };
            uint32_t want = a ? (a << 24 | pm(in[0]) << 16 | pm(in[1]) << 8 | pm(in[2])) : 0;
            ASSERT_EQ(pixelAt(img->CGImage(), size_t(x), size_t(y)), want) << x << "," << y;
        }
}

TEST_F(ImageTest, PaletteGrayAndSixteenBitAndInterlacedPngs) {
    {  // palette with a half-transparent entry
        PngSpec s;
        s.width = 2, s.height = 1, s.colorType = PNG_COLOR_TYPE_PALETTE;
        s.palette = {{255, 0, 0}, {0, 0, 255}};
        s.trans = {255, 128};
        s.rows = {0, 1};
        UIImage* img = decode(makePNG(s));
        ASSERT_NE(img, nullptr);
        EXPECT_EQ(pixelAt(img->CGImage(), 0, 0), 0xFFFF0000u);
        EXPECT_EQ(pixelAt(img->CGImage(), 1, 0), 0x80000080u);
    }
    {  // 8-bit gray, 1-bit gray
        PngSpec s;
        s.width = 2, s.height = 1, s.colorType = PNG_COLOR_TYPE_GRAY;
        s.rows = {0, 77};
        UIImage* img = decode(makePNG(s));
        ASSERT_NE(img, nullptr);
        EXPECT_EQ(pixelAt(img->CGImage(), 0, 0), 0xFF000000u);
        EXPECT_EQ(pixelAt(img->CGImage(), 1, 0), 0xFF4D4D4Du);
        s.width = 8, s.bitDepth = 1, s.rows = {0xA5};
        img = decode(makePNG(s));
        ASSERT_NE(img, nullptr);
        EXPECT_EQ(pixelAt(img->CGImage(), 0, 0), 0xFFFFFFFFu);
        EXPECT_EQ(pixelAt(img->CGImage(), 1, 0), 0xFF000000u);
    }
    {  // 16-bit RGB: extremes are exact
        PngSpec s;
        s.width = 2, s.height = 1, s.colorType = PNG_COLOR_TYPE_RGB, s.bitDepth = 16;
        s.rows = {0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        UIImage* img = decode(makePNG(s));
        ASSERT_NE(img, nullptr);
        EXPECT_EQ(pixelAt(img->CGImage(), 0, 0), 0xFFFF0000u);
        EXPECT_EQ(pixelAt(img->CGImage(), 1, 0), 0xFF0000FFu);
    }
    {  // interlaced 13x7 RGBA with distinct pixels
        PngSpec s;
        s.width = 13, s.height = 7, s.interlace = true;
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 13; ++x)
                s.rows.insert(s.rows.end(), {uint8_t(x * 19), uint8_t(y * 36), 7, 255});
        UIImage* img = decode(makePNG(s));
        ASSERT_NE(img, nullptr);
        EXPECT_EQ(CGImageGetWidth(img->CGImage()), 13u);
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 13; ++x)
                ASSERT_EQ(pixelAt(img->CGImage(), size_t(x), size_t(y)),
                          0xFF000000u | uint32_t(x * 19) << 16 | uint32_t(y * 36) << 8 | 7u)
                    << x << "," << y;
    }
}

TEST_F(ImageTest, JpegBaselineProgressiveGrayAndCmyk) {
    Bytes px = solidBGRA(32, 24, 250, 20, 30);
    for (int flags : {0, TJFLAG_PROGRESSIVE}) {
        UIImage* img = decode(makeJPEG(32, 24, TJPF_BGRA, px, TJSAMP_420, flags));
        ASSERT_NE(img, nullptr) << flags;
        CGImageRef cg = img->CGImage();
        EXPECT_EQ(CGImageGetWidth(cg), 32u);
        EXPECT_EQ(CGImageGetHeight(cg), 24u);
        EXPECT_TRUE(cg->isARGB32());
        uint32_t v = pixelAt(cg, 10, 10);
        EXPECT_EQ(v >> 24, 255u);
        EXPECT_TRUE(near(int(v >> 16 & 255), 250, 6)) << std::hex << v;
        EXPECT_TRUE(near(int(v >> 8 & 255), 20, 6)) << std::hex << v;
        EXPECT_TRUE(near(int(v & 255), 30, 6)) << std::hex << v;
    }
    {  // gray JPEG becomes an 8-bit gray bitmap
        Bytes g(16 * 8, 90);
        UIImage* img = decode(makeJPEG(16, 8, TJPF_GRAY, g, TJSAMP_GRAY));
        ASSERT_NE(img, nullptr);
        CGImageRef cg = img->CGImage();
        EXPECT_EQ(CGImageGetBitsPerPixel(cg), 8u);
        EXPECT_EQ(CGImageGetAlphaInfo(cg), kCGImageAlphaNone);
        EXPECT_EQ(CGColorSpaceGetModel(CGImageGetColorSpace(cg)), kCGColorSpaceModelMonochrome);
        EXPECT_TRUE(near(cg->bytes()[5], 90, 2));
    }
    {  // CMYK (inverted samples, as TurboJPEG writes them): pure cyan ink over no black
        Bytes c(16 * 16 * 4);
        for (size_t i = 0; i < c.size(); i += 4)
            c[i] = 0, c[i + 1] = 255, c[i + 2] = 255, c[i + 3] = 255;
        Bytes jpeg = makeJPEG(16, 16, TJPF_CMYK, c, TJSAMP_444);
        ASSERT_FALSE(jpeg.empty());
        UIImage* img = decode(jpeg);
        ASSERT_NE(img, nullptr);
        uint32_t v = pixelAt(img->CGImage(), 8, 8);
        EXPECT_EQ(v >> 24, 255u);
        EXPECT_LE(int(v >> 16 & 255), 6) << std::hex << v;
        EXPECT_GE(int(v >> 8 & 255), 249) << std::hex << v;
        EXPECT_GE(int(v & 255), 249) << std::hex << v;
    }
}

TEST_F(ImageTest, ExifOrientationIsHonouredAndSwapsSize) {
    Bytes jpeg = makeJPEG(40, 20, TJPF_BGRA, solidBGRA(40, 20, 1, 2, 3), TJSAMP_444);
    for (bool be : {false, true}) {
        Bytes six = withExifOrientation(jpeg, 6, be);
        EXPECT_EQ(bd::jpegExifOrientation(six.data(), six.size()), 6);
        UIImage* img = decode(six);
        ASSERT_NE(img, nullptr);
        EXPECT_EQ(img->imageOrientation(), UIImageOrientationRight);
        EXPECT_EQ(CGImageGetWidth(img->CGImage()), 40u);  // the bitmap is stored as encoded
        EXPECT_EQ(img->size().width, 20.0);
        EXPECT_EQ(img->size().height, 40.0);
    }
    EXPECT_EQ(decode(withExifOrientation(jpeg, 3, false))->imageOrientation(),
              UIImageOrientationDown);
    EXPECT_EQ(decode(withExifOrientation(jpeg, 8, true))->imageOrientation(),
              UIImageOrientationLeft);
    // Out-of-range values, a lying IFD offset and every truncation of the segment read as upright.
    EXPECT_EQ(decode(withExifOrientation(jpeg, 9, false))->imageOrientation(),
              UIImageOrientationUp);
    Bytes bad = withExifOrientation(jpeg, 6, false);
    bad[4 + 6 + 4] = 0xF0;  // IFD0 offset far past the segment
    EXPECT_EQ(bd::jpegExifOrientation(bad.data(), bad.size()), 1);
    Bytes six = withExifOrientation(jpeg, 6, false);
    for (size_t n = 0; n < 42; ++n)  // SOI + a 36-byte segment: only the whole segment counts
        EXPECT_EQ(bd::jpegExifOrientation(six.data(), n), n >= 38 ? 6 : 1) << n;
    EXPECT_EQ(decode(jpeg)->imageOrientation(), UIImageOrientationUp);
}

TEST_F(ImageTest, TruncatedFiles) {
    PngSpec s;
    s.width = 64, s.height = 64;
    std::mt19937 rng(7);
    for (int i = 0; i < 64 * 64 * 4; ++i) s.rows.push_back(uint8_t(rng()));
    Bytes png = makePNG(s);
    Bytes jpeg =
        makeJPEG(64, 64, TJPF_BGRA, solidBGRA(64, 64, 0, 200, 0), TJSAMP_420, TJFLAG_PROGRESSIVE);
    // Every prefix is safe; a PNG missing data is no picture.
    for (size_t n = 0; n < png.size(); n += 13) decode(Bytes(png.begin(), png.begin() + long(n)));
    for (size_t n = 0; n < jpeg.size(); n += 7) decode(Bytes(jpeg.begin(), jpeg.begin() + long(n)));
    EXPECT_EQ(decode(Bytes(png.begin(), png.begin() + long(png.size() / 2))), nullptr);
    // A JPEG cut after its header decodes with a warning: still a picture of the full size.
    UIImage* cut = decode(Bytes(jpeg.begin(), jpeg.begin() + long(jpeg.size() * 2 / 3)));
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(CGImageGetWidth(cut->CGImage()), 64u);
    EXPECT_EQ(pixelAt(cut->CGImage(), 63, 63) >> 24, 255u);
    EXPECT_EQ(decode(Bytes(jpeg.begin(), jpeg.begin() + 20)), nullptr);
}

TEST_F(ImageTest, HugeHeadersAndGarbageAreRefused) {
    // A PNG whose header claims 20000 x 20000 pixels.
    PngSpec s;
    s.width = 1, s.height = 1;
    s.rows = {1, 2, 3, 4};
    Bytes png = makePNG(s);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) png[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
    };
    put32(16, 20000), put32(20, 20000);
    put32(29, crc32(&png[12], 17));
    EXPECT_EQ(decode(png), nullptr);
    // 16384 x 16385: over the side limit although the buffer would be allowed... refused too.
    put32(16, 16385), put32(20, 1), put32(29, crc32(&png[12], 17));
    EXPECT_EQ(decode(png), nullptr);

    Bytes jpeg = makeJPEG(8, 8, TJPF_BGRA, solidBGRA(8, 8, 9, 9, 9), TJSAMP_444);
    for (size_t i = 2; i + 9 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {  // SOF0: height, width at +5, +7
            jpeg[i + 5] = 0x4E, jpeg[i + 6] = 0x20, jpeg[i + 7] = 0x4E, jpeg[i + 8] = 0x20;
            break;
        }
    EXPECT_EQ(decode(jpeg), nullptr);

    std::mt19937 rng(42);
    for (int k = 0; k < 200; ++k) {
        Bytes g(size_t(rng() % 300));
        for (auto& b : g) b = uint8_t(rng());
        if (k % 3 == 1 && g.size() > 3) g[0] = 0xFF, g[1] = 0xD8, g[2] = 0xFF;  // JPEG-looking
        if (k % 3 == 2 && g.size() > 8) std::memcpy(g.data(), "\x89PNG\r\n\x1a\n", 8);
        EXPECT_EQ(decode(g), nullptr);
    }
    EXPECT_EQ(UIImage::imageWithBytes(nullptr, 0), nullptr);
    EXPECT_EQ(UIImage::imageWithData(nullptr), nullptr);
    EXPECT_EQ(UIImage::imageWithData(NSData::dataWithBytes("abc", 3)), nullptr);
}

TEST_F(ImageTest, FilesDataAndWriterRoundTrip) {
    PngSpec s;
    s.width = 4, s.height = 3;
    for (int i = 0; i < 12; ++i)
        s.rows.insert(s.rows.end(), {uint8_t(i * 20), 40, 200, uint8_t(i == 5 ? 64 : 255)});
    Bytes png = makePNG(s);
    UIImage* img = UIImage::imageWithData(NSData::dataWithBytes(png.data(), png.size()));
    ASSERT_NE(img, nullptr);

    bdtest::TempDir tmp("image");
    std::string path = tmp / "written.png";
    ASSERT_TRUE(bd::writePNG(img->CGImage(), path.c_str()));
    UIImage* back = UIImage::imageWithContentsOfFile(NSString::stringWithUTF8String(path.c_str()));
    ASSERT_NE(back, nullptr);
    for (size_t y = 0; y < 3; ++y)
        for (size_t x = 0; x < 4; ++x) {
            uint32_t a = pixelAt(img->CGImage(), x, y), b = pixelAt(back->CGImage(), x, y);
            for (int sh = 0; sh < 32; sh += 8)
                EXPECT_TRUE(near(int(a >> sh & 255), int(b >> sh & 255), 1));
        }
    std::remove(path.c_str());
    EXPECT_EQ(UIImage::imageWithContentsOfFile(NSString::stringWithUTF8String(path.c_str())),
              nullptr);
    EXPECT_EQ(UIImage::imageWithContentsOfFile(NSString::stringWithUTF8String("/")), nullptr);
    EXPECT_EQ(UIImage::imageWithContentsOfFile(nullptr), nullptr);
    EXPECT_FALSE(bd::writePNG(nullptr, path.c_str()));
    EXPECT_FALSE(bd::writePNG(img->CGImage(), "/nonexistent-dir/x.png"));
    EXPECT_FALSE(bd::encodePNG(img->CGImage()).empty());
}

TEST_F(ImageTest, ImageWithCGImageSharesTheBitmapAndAppliesScale) {
    std::shared_ptr<uint8_t[]> px(new uint8_t[640 * 960 * 4]());
    Ref<CGImage> cg = adopt(bd::createARGB32Image(640, 960, px));
    ASSERT_TRUE(cg);
    UIImage* a = UIImage::imageWithCGImage(cg.get(), 2.0, UIImageOrientationUp);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->CGImage(), cg.get());
    EXPECT_EQ(a->size().width, 320.0);
    EXPECT_EQ(a->size().height, 480.0);
    EXPECT_EQ(a->scale(), 2.0);
    UIImage* b = UIImage::imageWithCGImage(cg.get(), 2.0, UIImageOrientationLeftMirrored);
    EXPECT_EQ(b->size().width, 480.0);
    EXPECT_EQ(b->size().height, 320.0);
    UIImage* c = UIImage::imageWithCGImage(cg.get());
    EXPECT_EQ(c->scale(), 1.0);
    EXPECT_EQ(c->size().width, 640.0);
    EXPECT_EQ(UIImage::imageWithCGImage(cg.get(), 0.0, UIImageOrientationUp)->scale(), 1.0);
    EXPECT_EQ(UIImage::imageWithCGImage(nullptr), nullptr);
    EXPECT_EQ(CGImageGetWidth(nullptr), 0u);
    CGImageRelease(nullptr);
}

// A 3 x 2 picture with red at its top-left, green at its top-right and blue at its bottom-left
// shows those corners where a viewer sees them once the orientation is applied.
TEST_F(ImageTest, UprightBitmapTurnsAndMirrorsAsTheOrientationSays) {
    const uint32_t red = 0xFFFF0000u, green = 0xFF00FF00u, blue = 0xFF0000FFu, grey = 0xFF808080u;
    Ref<CGImage> cg = adopt(bdtest::makeImage(3, 2, [&](size_t x, size_t y) {
        return x == 0 && y == 0 ? red : x == 2 && y == 0 ? green : x == 0 && y == 1 ? blue : grey;
    }));
    struct Case {
        UIImageOrientation o;
        size_t w, h;
        size_t rx, ry, gx, gy, bx, by;
    } cases[] = {
        {UIImageOrientationUp, 3, 2, 0, 0, 2, 0, 0, 1},
        {UIImageOrientationDown, 3, 2, 2, 1, 0, 1, 2, 0},
        {UIImageOrientationUpMirrored, 3, 2, 2, 0, 0, 0, 2, 1},
        {UIImageOrientationDownMirrored, 3, 2, 0, 1, 2, 1, 0, 0},
        {UIImageOrientationRight, 2, 3, 1, 0, 1, 2, 0, 0},
        {UIImageOrientationLeft, 2, 3, 0, 2, 0, 0, 1, 2},
        {UIImageOrientationLeftMirrored, 2, 3, 0, 0, 0, 2, 1, 0},
        {UIImageOrientationRightMirrored, 2, 3, 1, 2, 1, 0, 0, 2},
    };
    for (const Case& c : cases) {
        UIImage* img = UIImage::imageWithCGImage(cg.get(), 1.0, c.o);
        CGImageRef up = img->uprightCGImage();
        ASSERT_EQ(CGImageGetWidth(up), c.w) << c.o;
        ASSERT_EQ(CGImageGetHeight(up), c.h) << c.o;
        EXPECT_EQ(img->size().width, double(c.w)) << c.o;
        EXPECT_EQ(bdtest::pixelAt(up, c.rx, c.ry), red) << c.o;
        EXPECT_EQ(bdtest::pixelAt(up, c.gx, c.gy), green) << c.o;
        EXPECT_EQ(bdtest::pixelAt(up, c.bx, c.by), blue) << c.o;
        EXPECT_EQ(img->uprightCGImage(), up) << "made once and kept";
        EXPECT_EQ(img->CGImage(), cg.get()) << "the stored bitmap stays as it is";
    }
    // Grey bitmaps turn the same way.
    Ref<CGImage> g =
        adopt(bdtest::makeGrayImage(3, 1, [](size_t x, size_t) { return uint8_t(x); }));
    CGImageRef gu =
        UIImage::imageWithCGImage(g.get(), 1.0, UIImageOrientationLeft)->uprightCGImage();
    ASSERT_EQ(CGImageGetHeight(gu), 3u);
    EXPECT_EQ(bdtest::grayAt(gu, 0, 0), 2);
    EXPECT_EQ(bdtest::grayAt(gu, 0, 2), 0);
}

TEST_F(ImageTest, CGImageCreateChecksTheLayoutAgainstTheBuffer) {
    Ref<CGColorSpace> rgb = adopt(CGColorSpaceCreateDeviceRGB());
    Ref<CGDataProvider> small =
        adopt(CGDataProviderCreateWithCopyOfData(std::string(39, 'x').data(), 39));
    // 10 x 1 ARGB needs 40 bytes.
    EXPECT_EQ(CGImageCreate(10, 1, 8, 32, 40, rgb.get(), kCGImageAlphaPremultipliedFirst,
                            small.get(), nullptr, false, kCGRenderingIntentDefault),
              nullptr);
    Ref<CGDataProvider> ok =
        adopt(CGDataProviderCreateWithCopyOfData(std::string(80, 'x').data(), 80));
    Ref<CGImage> img = adopt(CGImageCreate(
        10, 2, 8, 32, 40, rgb.get(), kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrderDefault,
        ok.get(), nullptr, false, kCGRenderingIntentDefault));
    ASSERT_TRUE(img);
    EXPECT_FALSE(img->isARGB32());  // big-endian ARGB bytes are not cairo's layout here
    EXPECT_EQ(CGImageCreate(10, 2, 8, 32, 39, rgb.get(), kCGImageAlphaPremultipliedFirst, ok.get(),
                            nullptr, false, kCGRenderingIntentDefault),
              nullptr);  // short rows
    EXPECT_EQ(CGImageCreate(10, 2, 8, 16, 40, rgb.get(), kCGImageAlphaPremultipliedFirst, ok.get(),
                            nullptr, false, kCGRenderingIntentDefault),
              nullptr);  // too few bits
    EXPECT_EQ(CGImageCreate(0, 2, 8, 32, 40, rgb.get(), kCGImageAlphaPremultipliedFirst, ok.get(),
                            nullptr, false, kCGRenderingIntentDefault),
              nullptr);
    Ref<CGImage> mask = adopt(CGImageMaskCreate(10, 8, 8, 8, 10, ok.get(), nullptr, false));
    ASSERT_TRUE(mask);
    EXPECT_TRUE(CGImageIsMask(mask.get()));
    EXPECT_EQ(CGImageMaskCreate(10, 9, 8, 8, 10, ok.get(), nullptr, false), nullptr);
    EXPECT_EQ(bd::createARGB32Image(16385, 1, std::shared_ptr<uint8_t[]>(new uint8_t[4])), nullptr);
}
