#include "UIKit/UIImage.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "Foundation/NSData.h"
#include "Foundation/NSString.h"
#include "UIKit/ImageDecoder.h"

namespace {
// Larger files are refused before reading: no picture we accept encodes to more than this.
constexpr long kMaxFileBytes = 512l << 20;

UIImage* fromDecoded(bd::DecodedImage&& d) {
    if (!d.image) return nullptr;
    return UIImage::imageWithCGImage(d.image.get(), 1.0, d.orientation);
}
}  // namespace

UIImage* UIImage::imageWithContentsOfFile(NSString* path) {
    if (!path) return nullptr;
    FILE* f = std::fopen(path->UTF8String(), "rb");
    if (!f) return nullptr;
    std::vector<uint8_t> bytes;
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    long size = ok ? std::ftell(f) : -1;
    if (size > 0 && size <= kMaxFileBytes && std::fseek(f, 0, SEEK_SET) == 0) {
        bytes.resize(size_t(size));
        ok = std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
    } else {
        ok = false;  // unreadable, empty, a directory, or too large
    }
    std::fclose(f);
    if (!ok) return nullptr;
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
    _CGImage = image;
    _scale = std::isfinite(scale) && scale > 0 ? scale : 1.0;
    _imageOrientation =
        orientation >= UIImageOrientationUp && orientation <= UIImageOrientationRightMirrored
            ? orientation
            : UIImageOrientationUp;
    return this;
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
