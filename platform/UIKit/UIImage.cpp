#include "UIKit/UIImage.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "Foundation/FileIO.h"
#include "Foundation/NSData.h"
#include "Foundation/NSString.h"
#include "UIKit/ImageDecoder.h"

namespace {
// Larger files are refused before reading: no picture we accept encodes to more than this.
constexpr long kMaxFileBytes = 512l << 20;

// A copy of image in which each pixel stands where the orientation shows it: the output pixel
// (x, y) is read from the source pixel given by the orientation (rotations by a quarter swap the
// sides). Any layout of whole bytes per pixel; the other layout values are kept. Null when the
// source has no whole-byte pixels or the copy would be too large.
CGImageRef createOrientedImage(CGImageRef image, UIImageOrientation orientation) {
    size_t bpp = image->bitsPerPixel() / 8;
    if (bpp == 0 || image->bitsPerPixel() % 8 != 0) return nullptr;
    size_t sw = image->width(), sh = image->height();
    bool swap = orientation == UIImageOrientationLeft || orientation == UIImageOrientationRight ||
                orientation == UIImageOrientationLeftMirrored ||
                orientation == UIImageOrientationRightMirrored;
    size_t w = swap ? sh : sw, h = swap ? sw : sh;
    size_t rowBytes = w * bpp;
    if (rowBytes * h > bd::kMaxImageBytes) return nullptr;
    std::shared_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[rowBytes * h]);
    if (!out) return nullptr;
    const uint8_t* src = image->bytes();
    size_t srcRow = image->bytesPerRow();
    for (size_t y = 0; y < h; ++y) {
        uint8_t* d = out.get() + y * rowBytes;
        for (size_t x = 0; x < w; ++x, d += bpp) {
            size_t fx, fy;  // the source pixel
            switch (orientation) {
                case UIImageOrientationUpMirrored:
                    fx = sw - 1 - x, fy = y;
                    break;
                case UIImageOrientationDown:
                    fx = sw - 1 - x, fy = sh - 1 - y;
                    break;
                case UIImageOrientationDownMirrored:
                    fx = x, fy = sh - 1 - y;
                    break;
                case UIImageOrientationLeftMirrored:
                    fx = y, fy = x;
                    break;
                case UIImageOrientationRight:
                    fx = y, fy = sh - 1 - x;
                    break;
                case UIImageOrientationRightMirrored:
                    fx = sw - 1 - y, fy = sh - 1 - x;
                    break;
                case UIImageOrientationLeft:
                    fx = sw - 1 - y, fy = x;
                    break;
                default:
                    fx = x, fy = y;
                    break;
            }
            std::memcpy(d, src + fy * srcRow + fx * bpp, bpp);
        }
    }
    Ref<CGDataProvider> provider = adopt(CGDataProviderCreateWithBuffer(
        std::shared_ptr<const uint8_t[]>(std::move(out)), rowBytes * h));
    return CGImageCreate(w, h, image->bitsPerComponent(), image->bitsPerPixel(), rowBytes,
                         image->colorSpace(), image->bitmapInfo(), provider.get(), nullptr,
                         image->shouldInterpolate(), kCGRenderingIntentDefault);
}

UIImage* fromDecoded(bd::DecodedImage&& d) {
    if (!d.image) return nullptr;
    return UIImage::imageWithCGImage(d.image.get(), 1.0, d.orientation);
}
}  // namespace

UIImage* UIImage::imageWithContentsOfFile(NSString* path) {
    if (!path) return nullptr;
    std::vector<uint8_t> bytes;
    // Regular files only (a FIFO named like a picture must not block), of a size we decode.
    if (!bd::readRegularFile(path->UTF8String(), bytes, uint64_t(kMaxFileBytes)) || bytes.empty())
        return nullptr;
    return fromDecoded(bd::decodeImage(bytes.data(), bytes.size()));
}

UIImage* UIImage::imageWithData(NSData* data) {
    if (!data) return nullptr;
    return imageWithBytes(data->bytes(), data->length());
}

UIImage* UIImage::imageWithBytes(const void* bytes, size_t length) {
    return fromDecoded(bd::decodeImage(bytes, length));
}

UIImage* UIImage::imageWithCGImage(CGImageRef image) {
    return imageWithCGImage(image, 1.0, UIImageOrientationUp);
}

UIImage* UIImage::imageWithCGImage(CGImageRef image, double scale, UIImageOrientation orientation) {
    UIImage* img = alloc<UIImage>()->initWithCGImage(image, scale, orientation);
    if (img) img->autorelease();
    return img;
}

UIImage* UIImage::initWithCGImage(CGImageRef image, double scale, UIImageOrientation orientation) {
    if (!image) {
        release();
        return nullptr;
    }
    _CGImage = retained(image);
    _scale = std::isfinite(scale) && scale > 0 ? scale : 1.0;
    _imageOrientation =
        orientation >= UIImageOrientationUp && orientation <= UIImageOrientationRightMirrored
            ? orientation
            : UIImageOrientationUp;
    return this;
}

CGImageRef UIImage::uprightCGImage() const {
    if (_imageOrientation == UIImageOrientationUp) return _CGImage.get();
    std::call_once(_uprightOnce, [this] {
        _uprightCGImage = adopt(createOrientedImage(_CGImage.get(), _imageOrientation));
    });
    return _uprightCGImage ? _uprightCGImage.get() : _CGImage.get();
}

CGSize UIImage::size() const {
    double w = double(_CGImage->width()) / _scale, h = double(_CGImage->height()) / _scale;
    switch (_imageOrientation) {
        case UIImageOrientationLeft:
        case UIImageOrientationRight:
        case UIImageOrientationLeftMirrored:
        case UIImageOrientationRightMirrored:
            return CGSize{h, w};
        default:
            return CGSize{w, h};
    }
}
