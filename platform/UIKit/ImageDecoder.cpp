#include "UIKit/ImageDecoder.h"

#include <png.h>
#include <sys/mman.h>
#include <turbojpeg.h>

#include <cstdint>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bd {
namespace {

bool sizeAcceptable(size_t width, size_t height, size_t bytesPerPixel) {
    if (!width || !height || width > kMaxImageSide || height > kMaxImageSide) return false;
    return width * height * bytesPerPixel <= kMaxImageBytes;  // both below 2^14: no overflow
}

// Buffers of a picture's size. A large one has its pages made present in one call before the
// decoder writes it: fresh memory otherwise takes a page fault per 4 KB on first write, which
// costs a large share of a decode (most on a virtual machine). Memory that is present already
// (reused from pictures let go) costs nothing more. Kernels without MADV_POPULATE_WRITE
// (before 5.14) decline, and the faults come as before.
constexpr size_t kPopulateFrom = size_t(256) << 10;

std::shared_ptr<uint8_t[]> allocPixels(size_t bytes) {
    std::shared_ptr<uint8_t[]> p(new (std::nothrow) uint8_t[bytes ? bytes : 1]);
#ifdef MADV_POPULATE_WRITE
    if (p && bytes >= kPopulateFrom) {
        const uintptr_t page = 4096;
        uintptr_t from = (reinterpret_cast<uintptr_t>(p.get()) + page - 1) & ~(page - 1);
        uintptr_t to = (reinterpret_cast<uintptr_t>(p.get()) + bytes) & ~(page - 1);
        if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
    }
#endif
    return p;
}

// Premultiplies native-endian ARGB32 words in place, with rounding: c·a/255 as
// (t + (t >> 8)) >> 8 with t = c·a + 128 (exact for a = 0 and a = 255).
void premultiply(uint8_t* p, size_t pixels) {
    uint32_t* w = reinterpret_cast<uint32_t*>(p);
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128(), half = _mm_set1_epi16(128);
    const __m128i alphaMask = _mm_set1_epi32(int(0xFF000000u));
    auto scale = [&](__m128i c) {
        // c: four channels of two pixels in 16-bit lanes; multiply by each pixel's alpha.
        __m128i a = _mm_shufflehi_epi16(_mm_shufflelo_epi16(c, 0xFF), 0xFF);
        __m128i t = _mm_add_epi16(_mm_mullo_epi16(c, a), half);
        return _mm_srli_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), 8);
    };
    for (; i + 4 <= pixels; i += 4) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + i));
        // All four opaque: nothing to do (the common case in most pictures).
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(v, alphaMask), alphaMask)) == 0xFFFF)
            continue;
        __m128i lo = scale(_mm_unpacklo_epi8(v, zero)), hi = scale(_mm_unpackhi_epi8(v, zero));
        __m128i r = _mm_packus_epi16(lo, hi);
        // The alpha bytes themselves stay as they were.
        r = _mm_or_si128(_mm_andnot_si128(alphaMask, r), _mm_and_si128(v, alphaMask));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(w + i), r);
    }
#endif
    for (; i < pixels; ++i) {
        uint32_t v = w[i];
        uint32_t a = v >> 24;
        if (a == 255) continue;
        if (a == 0) {
            w[i] = 0;
            continue;
        }
        auto mul = [a](uint32_t c) {
            uint32_t t = c * a + 128;
            return (t + (t >> 8)) >> 8;
        };
        w[i] =
            (a << 24) | (mul((v >> 16) & 0xFF) << 16) | (mul((v >> 8) & 0xFF) << 8) | mul(v & 0xFF);
    }
}

Ref<CGImage> makeGray(size_t width, size_t height, std::shared_ptr<uint8_t[]> pixels) {
    Ref<CGDataProvider> provider =
        adopt(CGDataProviderCreateWithBuffer(std::move(pixels), width * height));
    Ref<CGColorSpace> gray = adopt(CGColorSpaceCreateDeviceGray());
    return adopt(CGImageCreate(width, height, 8, 8, width, gray.get(), kCGImageAlphaNone,
                               provider.get(), nullptr, true, kCGRenderingIntentDefault));
}

struct TjHandle {
    tjhandle h = tjInitDecompress();
    ~TjHandle() {
        if (h) tjDestroy(h);
    }
};

}  // namespace

UIImageOrientation orientationFromExif(int exif) {
    switch (exif) {
        case 2:
            return UIImageOrientationUpMirrored;
        case 3:
            return UIImageOrientationDown;
        case 4:
            return UIImageOrientationDownMirrored;
        case 5:
            return UIImageOrientationLeftMirrored;
        case 6:
            return UIImageOrientationRight;
        case 7:
            return UIImageOrientationRightMirrored;
        case 8:
            return UIImageOrientationLeft;
        default:
            return UIImageOrientationUp;
    }
}

// Reads the orientation tag (0x0112) of IFD0 in the first "Exif" APP1 segment before the scan.
int jpegExifOrientation(const uint8_t* b, size_t n) {
    if (!b || n < 4 || b[0] != 0xFF || b[1] != 0xD8) return 1;
    size_t pos = 2;
    while (pos + 4 <= n) {
        if (b[pos] != 0xFF) return 1;
        uint8_t marker = b[pos + 1];
        if (marker == 0xFF) {  // fill byte
            ++pos;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9) return 1;              // start of scan / end of image
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // markers without a length
            pos += 2;
            continue;
        }
        size_t len = (size_t(b[pos + 2]) << 8) | b[pos + 3];
        if (len < 2 || pos + 2 + len > n) return 1;
        const uint8_t* seg = b + pos + 4;
        size_t segLen = len - 2;
        if (marker == 0xE1 && segLen >= 14 && std::memcmp(seg, "Exif\0\0", 6) == 0) {
            const uint8_t* t = seg + 6;
            size_t tn = segLen - 6;
            bool le;
            if (t[0] == 'I' && t[1] == 'I')
                le = true;
            else if (t[0] == 'M' && t[1] == 'M')
                le = false;
            else
                return 1;
            auto u16 = [&](size_t o) -> uint32_t {
                return le ? (t[o] | (t[o + 1] << 8)) : ((t[o] << 8) | t[o + 1]);
            };
            auto u32 = [&](size_t o) -> uint32_t {
                return le ? (uint32_t(u16(o)) | (uint32_t(u16(o + 2)) << 16))
                          : ((uint32_t(u16(o)) << 16) | uint32_t(u16(o + 2)));
            };
            if (u16(2) != 42) return 1;
            size_t ifd = u32(4);
            if (ifd > tn || tn - ifd < 2) return 1;
            size_t count = u16(ifd);
            size_t entries = ifd + 2;
            for (size_t i = 0; i < count; ++i) {
                size_t e = entries + i * 12;
                if (e > tn || tn - e < 12) return 1;
                if (u16(e) == 0x0112) {
                    uint32_t type = u16(e + 2);
                    uint32_t v = type == 3 ? u16(e + 8) : type == 4 ? u32(e + 8) : 0;
                    return v >= 1 && v <= 8 ? int(v) : 1;
                }
            }
            return 1;
        }
        pos += 2 + len;
    }
    return 1;
}

DecodedImage decodePNG(const uint8_t* bytes, size_t length) {
    DecodedImage out;
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&img, bytes, length)) {
        png_image_free(&img);
        return out;
    }
    if (!sizeAcceptable(img.width, img.height, 4)) {
        png_image_free(&img);
        return out;
    }
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    img.format = PNG_FORMAT_BGRA;  // bytes B,G,R,A = one little-endian ARGB word
#else
    img.format = PNG_FORMAT_ARGB;
#endif
    size_t stride = size_t(img.width) * 4;
    size_t total = stride * img.height;
    std::shared_ptr<uint8_t[]> pixels = allocPixels(total);
    if (!pixels) {
        png_image_free(&img);
        return out;
    }
    // A transparent background colour of null keeps the alpha channel.
    if (!png_image_finish_read(&img, nullptr, pixels.get(), png_int_32(stride), nullptr)) {
        png_image_free(&img);
        return out;
    }
    premultiply(pixels.get(), size_t(img.width) * img.height);
    out.image = adopt(createARGB32Image(img.width, img.height, std::move(pixels)));
    return out;
}

DecodedImage decodeJPEG(const uint8_t* bytes, size_t length) {
    DecodedImage out;
    if (length > 0xFFFFFFFFul) return out;
    TjHandle tj;
    if (!tj.h) return out;
    int w = 0, h = 0, subsamp = 0, cs = 0;
    if (tjDecompressHeader3(tj.h, bytes, (unsigned long)length, &w, &h, &subsamp, &cs) != 0)
        return out;
    if (w <= 0 || h <= 0) return out;
    bool gray = cs == TJCS_GRAY;
    bool cmyk = cs == TJCS_CMYK || cs == TJCS_YCCK;
    if (!sizeAcceptable(size_t(w), size_t(h), gray ? 1 : 4)) return out;
    int pf;
    if (gray)
        pf = TJPF_GRAY;
    else if (cmyk)
        pf = TJPF_CMYK;
    else {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        pf = TJPF_BGRA;
#else
        pf = TJPF_ARGB;
#endif
    }
    size_t bpp = size_t(tjPixelSize[pf]);
    size_t stride = size_t(w) * bpp;
    std::shared_ptr<uint8_t[]> pixels = allocPixels(stride * size_t(h));
    if (!pixels) return out;
    bool warned = false;
    if (tjDecompress2(tj.h, bytes, (unsigned long)length, pixels.get(), w, int(stride), h, pf,
                      TJFLAG_LIMITSCANS) != 0) {
        // A warning (such as a premature end of data) still leaves a usable picture, but the
        // decoder may have stopped before the last rows (an error after a warning reads as a
        // warning): decode again into a cleared buffer, so undecoded rows are zero, not
        // whatever the memory held. Sound files never pay for the clear.
        if (tjGetErrorCode(tj.h) != TJERR_WARNING) return out;
        warned = true;
        std::memset(pixels.get(), 0, stride * size_t(h));
        if (tjDecompress2(tj.h, bytes, (unsigned long)length, pixels.get(), w, int(stride), h, pf,
                          TJFLAG_LIMITSCANS) != 0 &&
            tjGetErrorCode(tj.h) != TJERR_WARNING)
            return out;
    }
    if (gray) {
        out.image = makeGray(size_t(w), size_t(h), std::move(pixels));
    } else {
        if (cmyk) {
            // TurboJPEG's CMYK samples follow the inverted (Adobe) convention: 255 = no ink.
            uint8_t* p = pixels.get();
            size_t n = size_t(w) * size_t(h);
            for (size_t i = 0; i < n; ++i) {
                uint32_t c = p[i * 4], m = p[i * 4 + 1], y = p[i * 4 + 2], k = p[i * 4 + 3];
                uint32_t r = (c * k + 127) / 255, g = (m * k + 127) / 255, b = (y * k + 127) / 255;
                uint32_t word = 0xFF000000u | (r << 16) | (g << 8) | b;
                std::memcpy(p + i * 4, &word, 4);
            }
        } else if (warned) {
            // Rows a damaged file left undecoded keep the cleared alpha byte 0; make them opaque.
            uint32_t* p = reinterpret_cast<uint32_t*>(pixels.get());
            size_t n = size_t(w) * size_t(h);
            for (size_t i = 0; i < n; ++i) p[i] |= 0xFF000000u;
        }
        out.image = adopt(createARGB32Image(size_t(w), size_t(h), std::move(pixels)));
    }
    if (out.image) out.orientation = orientationFromExif(jpegExifOrientation(bytes, length));
    return out;
}

DecodedImage decodeImage(const void* data, size_t length) {
    const uint8_t* b = static_cast<const uint8_t*>(data);
    if (!b || length < 8) return {};
    static const uint8_t pngSig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (std::memcmp(b, pngSig, 8) == 0) return decodePNG(b, length);
    if (b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) return decodeJPEG(b, length);
    return {};
}

}  // namespace bd
