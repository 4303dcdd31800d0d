#pragma once
// CGImage: an immutable, refcounted bitmap over a shared byte buffer (CGDataProvider), so the
// renderer can draw it without copying. Decoded colour pictures are stored as cairo's native
// format: native-endian premultiplied ARGB32 (kCGImageAlphaPremultipliedFirst |
// kCGBitmapByteOrder32Host), bytesPerRow a multiple of 4. Gray pictures are 8-bit gray with no
// alpha. Image masks (isMask) hold 8-bit inverse coverage samples.

#include "CoreGraphics/CGColorSpace.h"
#include "CoreGraphics/CGGeometry.h"
#include "Foundation/Export.h"
#include "Foundation/NSObject.h"

#include <cstddef>
#include <cstdint>
#include <memory>

class NSData;

enum CGImageAlphaInfo : uint32_t {
    kCGImageAlphaNone = 0,
    kCGImageAlphaPremultipliedLast = 1,
    kCGImageAlphaPremultipliedFirst = 2,
    kCGImageAlphaLast = 3,
    kCGImageAlphaFirst = 4,
    kCGImageAlphaNoneSkipLast = 5,
    kCGImageAlphaNoneSkipFirst = 6,
    kCGImageAlphaOnly = 7,
};

typedef uint32_t CGBitmapInfo;
// Plain constants (not an enum) so that `alphaInfo | byteOrder` stays a CGBitmapInfo.
constexpr CGBitmapInfo kCGBitmapAlphaInfoMask = 0x1F;
constexpr CGBitmapInfo kCGBitmapFloatComponents = 1u << 8;
constexpr CGBitmapInfo kCGBitmapByteOrderMask = 0x7000;
constexpr CGBitmapInfo kCGBitmapByteOrderDefault = 0u << 12;
constexpr CGBitmapInfo kCGBitmapByteOrder16Little = 1u << 12;
constexpr CGBitmapInfo kCGBitmapByteOrder32Little = 2u << 12;
constexpr CGBitmapInfo kCGBitmapByteOrder16Big = 3u << 12;
constexpr CGBitmapInfo kCGBitmapByteOrder32Big = 4u << 12;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr CGBitmapInfo kCGBitmapByteOrder32Host = kCGBitmapByteOrder32Little;
constexpr CGBitmapInfo kCGBitmapByteOrder16Host = kCGBitmapByteOrder16Little;
#else
constexpr CGBitmapInfo kCGBitmapByteOrder32Host = kCGBitmapByteOrder32Big;
constexpr CGBitmapInfo kCGBitmapByteOrder16Host = kCGBitmapByteOrder16Big;
#endif

// The bitmap info of cairo's CAIRO_FORMAT_ARGB32: premultiplied, one native-endian 32-bit word
// per pixel with alpha in the top byte.
constexpr CGBitmapInfo kBDBitmapInfoARGB32 =
    kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Host;

// ---------------------------------------------------------------------------------------------
// CGDataProvider: a shared, read-only byte buffer.
class BD_EXPORT CGDataProvider : public NSObject {
  public:
    CGDataProvider(std::shared_ptr<const uint8_t[]> bytes, size_t length)
        : _bytes(std::move(bytes)), _length(length) {}
    // [any-thread]
    virtual const uint8_t* bytes() const { return _bytes.get(); }
    virtual size_t length() const { return _length; }
    virtual const std::shared_ptr<const uint8_t[]>& buffer() const { return _bytes; }

  private:
    std::shared_ptr<const uint8_t[]> _bytes;
    size_t _length;
};
typedef CGDataProvider* CGDataProviderRef;

// [any-thread] Copies length bytes; null when data is null and length is not 0. Caller owns it.
[[nodiscard]] BD_EXPORT CGDataProviderRef CGDataProviderCreateWithCopyOfData(const void* data,
                                                                             size_t length);
// [any-thread] Takes over a buffer of length bytes. Caller owns the result.
[[nodiscard]] BD_EXPORT CGDataProviderRef
CGDataProviderCreateWithBuffer(std::shared_ptr<const uint8_t[]> bytes, size_t length);
// [any-thread] Null-safe.
BD_EXPORT CGDataProviderRef CGDataProviderRetain(CGDataProviderRef provider);
BD_EXPORT void CGDataProviderRelease(CGDataProviderRef provider);
// [any-thread] A new data object with a copy of the bytes, owned by the caller; null for null.
BD_EXPORT NSData* CGDataProviderCopyData(CGDataProviderRef provider);
// [any-thread] The sample bytes and their count (null / 0 for a null provider).
BD_EXPORT const uint8_t* CGDataProviderGetBytePtr(CGDataProviderRef provider);
BD_EXPORT size_t CGDataProviderGetLength(CGDataProviderRef provider);

// ---------------------------------------------------------------------------------------------
class BD_EXPORT CGImage : public NSObject {
  public:
    // Use CGImageCreate / CGImageMaskCreate, which check the layout against the buffer.
    CGImage(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
            size_t bytesPerRow, CGColorSpaceRef space, CGBitmapInfo bitmapInfo,
            CGDataProviderRef provider, bool shouldInterpolate, bool isMask);

    // [any-thread]
    virtual size_t width() const { return _width; }
    virtual size_t height() const { return _height; }
    virtual size_t bitsPerComponent() const { return _bitsPerComponent; }
    virtual size_t bitsPerPixel() const { return _bitsPerPixel; }
    virtual size_t bytesPerRow() const { return _bytesPerRow; }
    virtual CGColorSpaceRef colorSpace() const { return _colorSpace.get(); }
    virtual CGBitmapInfo bitmapInfo() const { return _bitmapInfo; }
    virtual CGImageAlphaInfo alphaInfo() const {
        return CGImageAlphaInfo(_bitmapInfo & kCGBitmapAlphaInfoMask);
    }
    virtual CGDataProviderRef dataProvider() const { return _provider.get(); }
    virtual bool shouldInterpolate() const { return _shouldInterpolate; }
    virtual bool isMask() const { return _isMask; }
    // [any-thread] First byte of the first row.
    virtual const uint8_t* bytes() const { return _provider->bytes(); }
    // [any-thread] Whether the bytes are laid out as cairo's ARGB32 (drawable without copying).
    virtual bool isARGB32() const;

  private:
    size_t _width, _height, _bitsPerComponent, _bitsPerPixel, _bytesPerRow;
    Ref<CGColorSpace> _colorSpace;
    CGBitmapInfo _bitmapInfo;
    Ref<CGDataProvider> _provider;
    bool _shouldInterpolate;
    bool _isMask;
};
typedef CGImage* CGImageRef;

enum CGColorRenderingIntent : int { kCGRenderingIntentDefault = 0 };

// [any-thread] A bitmap over the provider's bytes; null when the layout is inconsistent (zero
// size, bitsPerPixel < components × bitsPerComponent, bytesPerRow too small, or a buffer shorter
// than bytesPerRow × (height − 1) + the last row). Only 8 bits per component are supported.
// Caller owns the result. decode is ignored (must be null).
[[nodiscard]] BD_EXPORT CGImageRef CGImageCreate(
    size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel, size_t bytesPerRow,
    CGColorSpaceRef space, CGBitmapInfo bitmapInfo, CGDataProviderRef provider,
    const double* decode, bool shouldInterpolate, CGColorRenderingIntent intent);
// [any-thread] An image mask: 8-bit samples (1 component), 0 lets a picture through, 255 hides
// it. Caller owns the result; null when the layout is inconsistent.
[[nodiscard]] BD_EXPORT CGImageRef CGImageMaskCreate(size_t width, size_t height,
                                                     size_t bitsPerComponent, size_t bitsPerPixel,
                                                     size_t bytesPerRow, CGDataProviderRef provider,
                                                     const double* decode, bool shouldInterpolate);

// [any-thread] The part of the bitmap inside rect, in its pixels with the origin at its top-left
// corner: rect is widened outward to whole pixels (CGRectIntegral) and intersected with the
// bitmap's bounds; null when nothing is left or image is null. The part shares the bitmap's
// pixels (no copy; its data provider starts at the part's first pixel and keeps the whole
// buffer alive). Caller owns the result.
[[nodiscard]] BD_EXPORT CGImageRef CGImageCreateWithImageInRect(CGImageRef image, CGRect rect);
// [any-thread] The bitmap with mask applied, the mask stretched over the bitmap's size (sampled
// at the nearest pixel when the mask says it should not be interpolated). How much of each
// pixel shows: an image mask, 1 − its sample; a grey bitmap, its grey value; a bitmap with
// alpha, its alpha. The result is a new premultiplied ARGB32 bitmap. Null when either is null,
// when image is itself an image mask, or when a layout can't be read. Caller owns the result.
[[nodiscard]] BD_EXPORT CGImageRef CGImageCreateWithMask(CGImageRef image, CGImageRef mask);
// [any-thread] The bitmap with every pixel whose components all lie in the given ranges made
// fully transparent. components holds a minimum and a maximum per component of the colour
// space, in sample values 0...255; only as many pairs as the colour space has components are
// read (one for grey, three for RGB). Colours are compared straight (not premultiplied);
// pixels already transparent stay so. The result is premultiplied ARGB32, the grey repeated
// in red, green and blue for a grey bitmap. Null for a null image or components, or an image
// mask. Caller owns the result.
[[nodiscard]] BD_EXPORT CGImageRef CGImageCreateWithMaskingColors(CGImageRef image,
                                                                  const double* components);

// [any-thread] Null-safe.
BD_EXPORT CGImageRef CGImageRetain(CGImageRef image);
BD_EXPORT void CGImageRelease(CGImageRef image);
// [any-thread] Getters; 0 / null for a null image.
BD_EXPORT size_t CGImageGetWidth(CGImageRef image);
BD_EXPORT size_t CGImageGetHeight(CGImageRef image);
BD_EXPORT size_t CGImageGetBitsPerComponent(CGImageRef image);
BD_EXPORT size_t CGImageGetBitsPerPixel(CGImageRef image);
BD_EXPORT size_t CGImageGetBytesPerRow(CGImageRef image);
BD_EXPORT CGImageAlphaInfo CGImageGetAlphaInfo(CGImageRef image);
BD_EXPORT CGBitmapInfo CGImageGetBitmapInfo(CGImageRef image);
BD_EXPORT CGColorSpaceRef CGImageGetColorSpace(CGImageRef image);
BD_EXPORT CGDataProviderRef CGImageGetDataProvider(CGImageRef image);
BD_EXPORT bool CGImageIsMask(CGImageRef image);
BD_EXPORT bool CGImageGetShouldInterpolate(CGImageRef image);

namespace bd {
// [any-thread] A new premultiplied ARGB32 bitmap of width × height pixels, its rows of
// bytesPerRow = width × 4 bytes filled from pixels (which must hold height rows); null when a
// side is 0 or over 16384, or the buffer would exceed 256 MiB. Caller owns the result.
BD_EXPORT CGImageRef createARGB32Image(size_t width, size_t height,
                                       std::shared_ptr<const uint8_t[]> pixels);
// [any-thread] Limits every decoder and bitmap maker checks before allocating.
constexpr size_t kMaxImageSide = 16384;
constexpr size_t kMaxImageBytes = size_t(256) << 20;
}  // namespace bd
