#include "CoreGraphics/CGImage.h"

#include <cstring>
#include <new>

#include "Foundation/NSData.h"

CGDataProviderRef CGDataProviderCreateWithCopyOfData(const void* data, size_t length) {
    if (!data && length) return nullptr;
    std::shared_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[length ? length : 1]);
    if (!copy) return nullptr;
    if (length) std::memcpy(copy.get(), data, length);
    return new CGDataProvider(std::move(copy), length);
}
CGDataProviderRef CGDataProviderCreateWithBuffer(std::shared_ptr<const uint8_t[]> bytes,
                                                 size_t length) {
    if (!bytes && length) return nullptr;
    return new CGDataProvider(std::move(bytes), length);
}
CGDataProviderRef CGDataProviderRetain(CGDataProviderRef provider) {
    if (provider) provider->retain();
    return provider;
}
void CGDataProviderRelease(CGDataProviderRef provider) {
    if (provider) provider->release();
}
NSData* CGDataProviderCopyData(CGDataProviderRef provider) {
    if (!provider) return nullptr;
    return alloc<NSData>()->initWithBytes(provider->bytes(), provider->length());
}
const uint8_t* CGDataProviderGetBytePtr(CGDataProviderRef provider) {
    return provider ? provider->bytes() : nullptr;
}
size_t CGDataProviderGetLength(CGDataProviderRef provider) {
    return provider ? provider->length() : 0;
}

CGImage::CGImage(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
                 size_t bytesPerRow, CGColorSpaceRef space, CGBitmapInfo bitmapInfo,
                 CGDataProviderRef provider, bool shouldInterpolate, bool isMask)
    : _width(width),
      _height(height),
      _bitsPerComponent(bitsPerComponent),
      _bitsPerPixel(bitsPerPixel),
      _bytesPerRow(bytesPerRow),
      _colorSpace(retained(space)),
      _bitmapInfo(bitmapInfo),
      _provider(retained(provider)),
      _shouldInterpolate(shouldInterpolate),
      _isMask(isMask) {}

bool CGImage::isARGB32() const {
    return !_isMask && _bitsPerComponent == 8 && _bitsPerPixel == 32 && _bytesPerRow % 4 == 0 &&
           _colorSpace && _colorSpace->model() == kCGColorSpaceModelRGB &&
           (_bitmapInfo & (kCGBitmapByteOrderMask | kCGBitmapAlphaInfoMask)) == kBDBitmapInfoARGB32;
}

namespace {
// Checks a layout against its buffer without overflowing.
bool layoutFits(size_t width, size_t height, size_t bpc, size_t bpp, size_t bytesPerRow,
                size_t components, CGDataProviderRef provider) {
    if (!width || !height || !provider || bpc != 8) return false;
    if (width > bd::kMaxImageSide || height > bd::kMaxImageSide) return false;
    if (bpp < components * bpc || bpp % 8) return false;
    size_t rowBytes = width * (bpp / 8);
    if (bytesPerRow < rowBytes) return false;
    if (bytesPerRow > bd::kMaxImageBytes) return false;
    size_t need = bytesPerRow * (height - 1) + rowBytes;  // both factors bounded: no overflow
    return need <= provider->length() && provider->bytes();
}
}  // namespace

CGImageRef CGImageCreate(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
                         size_t bytesPerRow, CGColorSpaceRef space, CGBitmapInfo bitmapInfo,
                         CGDataProviderRef provider, const double* /*decode*/,
                         bool shouldInterpolate, CGColorRenderingIntent /*intent*/) {
    if (!space) return nullptr;
    CGImageAlphaInfo alpha = CGImageAlphaInfo(bitmapInfo & kCGBitmapAlphaInfoMask);
    if (alpha > kCGImageAlphaOnly) return nullptr;
    size_t components = space->numberOfComponents() +
                        (alpha == kCGImageAlphaNone || alpha == kCGImageAlphaOnly ? 0 : 1);
    if (!layoutFits(width, height, bitsPerComponent, bitsPerPixel, bytesPerRow, components,
                    provider))
        return nullptr;
    return new CGImage(width, height, bitsPerComponent, bitsPerPixel, bytesPerRow, space,
                       bitmapInfo, provider, shouldInterpolate, false);
}

CGImageRef CGImageMaskCreate(size_t width, size_t height, size_t bitsPerComponent,
                             size_t bitsPerPixel, size_t bytesPerRow, CGDataProviderRef provider,
                             const double* /*decode*/, bool shouldInterpolate) {
    if (!layoutFits(width, height, bitsPerComponent, bitsPerPixel, bytesPerRow, 1, provider))
        return nullptr;
    Ref<CGColorSpace> gray = adopt(CGColorSpaceCreateDeviceGray());
    return new CGImage(width, height, bitsPerComponent, bitsPerPixel, bytesPerRow, gray.get(),
                       kCGImageAlphaNone, provider, shouldInterpolate, true);
}

CGImageRef CGImageRetain(CGImageRef image) {
    if (image) image->retain();
    return image;
}
void CGImageRelease(CGImageRef image) {
    if (image) image->release();
}
size_t CGImageGetWidth(CGImageRef i) {
    return i ? i->width() : 0;
}
size_t CGImageGetHeight(CGImageRef i) {
    return i ? i->height() : 0;
}
size_t CGImageGetBitsPerComponent(CGImageRef i) {
    return i ? i->bitsPerComponent() : 0;
}
size_t CGImageGetBitsPerPixel(CGImageRef i) {
    return i ? i->bitsPerPixel() : 0;
}
size_t CGImageGetBytesPerRow(CGImageRef i) {
    return i ? i->bytesPerRow() : 0;
}
CGImageAlphaInfo CGImageGetAlphaInfo(CGImageRef i) {
    return i ? i->alphaInfo() : kCGImageAlphaNone;
}
CGBitmapInfo CGImageGetBitmapInfo(CGImageRef i) {
    return i ? i->bitmapInfo() : 0;
}
CGColorSpaceRef CGImageGetColorSpace(CGImageRef i) {
    return i ? i->colorSpace() : nullptr;
}
CGDataProviderRef CGImageGetDataProvider(CGImageRef i) {
    return i ? i->dataProvider() : nullptr;
}
bool CGImageIsMask(CGImageRef i) {
    return i && i->isMask();
}
bool CGImageGetShouldInterpolate(CGImageRef i) {
    return i && i->shouldInterpolate();
}

namespace bd {
CGImageRef createARGB32Image(size_t width, size_t height, std::shared_ptr<const uint8_t[]> pixels) {
    if (!width || !height || width > kMaxImageSide || height > kMaxImageSide) return nullptr;
    if (width * height * 4 > kMaxImageBytes || !pixels) return nullptr;
    Ref<CGDataProvider> provider =
        adopt(CGDataProviderCreateWithBuffer(std::move(pixels), width * height * 4));
    Ref<CGColorSpace> rgb = adopt(CGColorSpaceCreateDeviceRGB());
    return CGImageCreate(width, height, 8, 32, width * 4, rgb.get(), kBDBitmapInfoARGB32,
                         provider.get(), nullptr, true, kCGRenderingIntentDefault);
}
}  // namespace bd
