#include "Common/ImageSet.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Common/NSData+DataEncrypt.h"
#include "CoreGraphics/CGColorSpace.h"
#include "CoreGraphics/CGContext.h"
#include "CoreGraphics/CGImage.h"
#include "UIKit/UIGraphics.h"

namespace {

// Larger files are refused before reading, as UIImage does.
constexpr off_t kMaxFileBytes = off_t(512) << 20;

// A size in points truncated toward zero to a 32-bit signed integer (saturating).
int32_t truncated(double v) {
    if (!(v > -2147483648.0)) return v < 0 ? INT32_MIN : 0;  // also NaN -> 0
    if (v >= 2147483647.0) return INT32_MAX;
    return int32_t(v);
}

size_t pixelCount(int32_t v) {
    return v > 0 ? size_t(v) : 0;
}

// The common frame of the compositing operations: a surface of the picture's size at scale 1,
// flipped so that bitmaps drawn into r = (0, 0, width, height) come out upright. draw does the
// operation's own drawing; the result is the surface's content, or null without a surface.
template <class Draw>
UIImage* inImageContext(UIImage* image, Draw&& draw) {
    if (!image) return nullptr;
    CGSize size = image->size();
    UIGraphicsBeginImageContext(size);
    CGContextRef c = UIGraphicsGetCurrentContext();
    UIImage* result = nullptr;
    if (c) {
        CGRect r = CGRectMake(0, 0, size.width, size.height);
        CGContextScaleCTM(c, 1, -1);
        CGContextTranslateCTM(c, 0, -size.height);
        draw(c, r);
        result = UIGraphicsGetImageFromCurrentImageContext();
    }
    UIGraphicsEndImageContext();
    return result;
}

// Tints the picture: the colour filled through the picture as a clip, then the picture drawn
// over it in the given blend mode.
UIImage* tint(UIImage* image, UIColor* color, CGBlendMode mode) {
    return inImageContext(image, [&](CGContextRef c, CGRect r) {
        CGContextSaveGState(c);
        CGContextClipToMask(c, r, image->CGImage());
        if (color) color->set();
        CGContextFillRect(c, r);
        CGContextRestoreGState(c);
        CGContextSetBlendMode(c, mode);
        CGContextDrawImage(c, r, image->CGImage());
    });
}

// Whether a bitmap can serve as an image mask as it is stored: one 8-bit channel, no alpha.
bool storedAsMask(CGImageRef m) {
    return m && CGImageGetBitsPerComponent(m) == 8 && CGImageGetBitsPerPixel(m) == 8 &&
           (CGImageIsMask(m) ||
            (CGColorSpaceGetModel(CGImageGetColorSpace(m)) == kCGColorSpaceModelMonochrome &&
             CGImageGetAlphaInfo(m) == kCGImageAlphaNone));
}

// A grey copy of a bitmap drawn over white (so transparency reads as white). Caller owns it.
CGImageRef grayOverWhite(CGImageRef m) {
    size_t w = CGImageGetWidth(m), h = CGImageGetHeight(m);
    Ref<CGColorSpace> gray = adopt(CGColorSpaceCreateDeviceGray());
    Ref<CGContext> c =
        adopt(CGBitmapContextCreate(nullptr, w, h, 8, 0, gray.get(), kCGImageAlphaNone));
    if (!c) return nullptr;
    CGRect r = CGRectMake(0, 0, double(w), double(h));
    CGContextSetGrayFillColor(c.get(), 1, 1);
    CGContextFillRect(c.get(), r);
    CGContextDrawImage(c.get(), r, m);
    return CGBitmapContextCreateImage(c.get());
}

// The corners of rect cut to arcs of the radius, by arc-to-point in a space scaled by the
// radius (single-precision side lengths, as the construction is defined).
void addRoundedRect(CGContextRef c, CGRect rect, double radius) {
    if (radius == 0.0) {
        CGContextAddRect(c, rect);
        return;
    }
    CGContextSaveGState(c);
    CGContextTranslateCTM(c, CGRectGetMinX(rect), CGRectGetMinY(rect));
    CGContextScaleCTM(c, radius, radius);
    float u = float(CGRectGetWidth(rect) / radius), v = float(CGRectGetHeight(rect) / radius);
    float hu = u / 2, hv = v / 2;
    CGContextMoveToPoint(c, u, hv);
    CGContextAddArcToPoint(c, u, v, hu, v, 1);
    CGContextAddArcToPoint(c, 0, v, 0, hv, 1);
    CGContextAddArcToPoint(c, 0, 0, hu, 0, 1);
    CGContextAddArcToPoint(c, u, 0, u, hv, 1);
    CGContextClosePath(c);
    CGContextRestoreGState(c);
}

}  // namespace

// --- ImageSet ---------------------------------------------------------------------------------

UIImage* ImageSet::colorizeImage(UIImage* image, UIColor* withColor) {
    if (!withColor) return image;
    return tint(image, withColor, kCGBlendModeMultiply);
}

UIImage* ImageSet::maskImage(UIImage* image, UIImage* withImage) {
    return inImageContext(image, [&](CGContextRef c, CGRect r) {
        CGImageRef m = withImage ? withImage->CGImage() : nullptr;
        Ref<CGImage> grey;
        if (m && !storedAsMask(m)) {
            grey = adopt(grayOverWhite(m));
            m = grey.get();
        }
        Ref<CGImage> mask;
        if (m)
            mask = adopt(CGImageMaskCreate(CGImageGetWidth(m), CGImageGetHeight(m),
                                           CGImageGetBitsPerComponent(m), CGImageGetBitsPerPixel(m),
                                           CGImageGetBytesPerRow(m), CGImageGetDataProvider(m),
                                           nullptr, false));
        Ref<CGImage> masked = adopt(CGImageCreateWithMask(image->CGImage(), mask.get()));
        CGContextDrawImage(c, r, masked.get());
    });
}

// --- SpriteExtend -----------------------------------------------------------------------------

namespace SpriteExtend {

UIImage* imageWithContentsOfFile(NSString* path, bool dencrypt) {
    if (!path) return nullptr;
    struct stat st;
    if (stat(path->UTF8String(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileBytes)
        return nullptr;
    NSData* data = NSData::dataWithContentsOfFile(path);
    if (!data) return nullptr;
    return imageWithData(data, dencrypt);
}

UIImage* imageWithData(NSData* data, bool dencrypt) {
    if (!data) return nullptr;
    if (!dencrypt) return UIImage::imageWithData(data);
    // Unscramble a private copy: the caller's bytes stay as they are.
    std::vector<uint8_t> plain(data->length());
    DataEncrypt::scramble(static_cast<const uint8_t*>(data->bytes()), plain.data(), plain.size());
    return UIImage::imageWithBytes(plain.data(), plain.size());
}

UIImage* imageColorOverlay(UIImage* image, UIColor* color) {
    return tint(image, color, kCGBlendModeOverlay);
}

UIImage* drawToImage(UIImage* image, UIImage* second) {
    return inImageContext(image, [&](CGContextRef c, CGRect r) {
        CGContextDrawImage(c, r, image->CGImage());
        CGContextDrawImage(c, r, second ? second->CGImage() : nullptr);
    });
}

UIImage* clipImageWithRect(UIImage* image, CGRect rect) {
    if (!image) return nullptr;
    Ref<CGImage> part = adopt(CGImageCreateWithImageInRect(image->CGImage(), rect));
    return UIImage::imageWithCGImage(part.get());
}

UIImage* createGrayImageWithAlpha(UIImage* image, bool alpha) {
    if (!image) return nullptr;
    CGSize size = image->size();
    int32_t w = truncated(size.width), h = truncated(size.height);
    Ref<CGColorSpace> gray = adopt(CGColorSpaceCreateDeviceGray());
    Ref<CGContext> c = adopt(CGBitmapContextCreate(nullptr, pixelCount(w), pixelCount(h), 8, 0,
                                                   gray.get(), kCGImageAlphaNone));
    if (!c) return nullptr;
    CGContextDrawImage(c.get(), CGRectMake(0, 0, w, h), image->CGImage());
    Ref<CGImage> bitmap = adopt(CGBitmapContextCreateImage(c.get()));
    if (bitmap && alpha) {
        const double ranges[6] = {0, 0, 0, 0, 0, 0};
        bitmap = adopt(CGImageCreateWithMaskingColors(bitmap.get(), ranges));
    }
    return UIImage::imageWithCGImage(bitmap.get());
}

UIImage* imageWithRoundCorners(UIImage* image, double radius) {
    if (!image) return nullptr;
    CGSize size = image->size();
    int32_t w = truncated(size.width), h = truncated(size.height);
    Ref<CGColorSpace> rgb = adopt(CGColorSpaceCreateDeviceRGB());
    Ref<CGContext> c =
        adopt(CGBitmapContextCreate(nullptr, pixelCount(w), pixelCount(h), 8, pixelCount(w) * 4,
                                    rgb.get(), kCGImageAlphaPremultipliedFirst));
    if (!c) return nullptr;
    CGContextBeginPath(c.get());
    addRoundedRect(c.get(), CGRectMake(0, 0, size.width, size.height), radius);
    CGContextClosePath(c.get());
    CGContextClip(c.get());
    CGContextDrawImage(c.get(), CGRectMake(0, 0, w, h), image->CGImage());
    Ref<CGImage> bitmap = adopt(CGBitmapContextCreateImage(c.get()));
    return UIImage::imageWithCGImage(bitmap.get());
}

uint8_t* getImageData(UIImage* image) {
    if (!image) return nullptr;
    CGImageRef bitmap = image->CGImage();
    int64_t w = int64_t(CGImageGetWidth(bitmap)), h = int64_t(CGImageGetHeight(bitmap));
    int64_t bytes = w * h * 4;  // both sides are at most 2^14: no overflow in 64 bits
    if (bytes > INT32_MAX) return nullptr;
    uint8_t* data = static_cast<uint8_t*>(std::malloc(size_t(bytes ? bytes : 1)));
    if (!data) return nullptr;
    Ref<CGColorSpace> rgb = adopt(CGColorSpaceCreateDeviceRGB());
    // The context clears the buffer itself, writing zeros only where the picture leaves it.
    Ref<CGContext> c = adopt(bd::createClearedBitmapContext(
        data, size_t(w), size_t(h), 8, size_t(w) * 4, rgb.get(), kCGImageAlphaPremultipliedFirst));
    if (c)
        CGContextDrawImage(c.get(), CGRectMake(0, 0, double(w), double(h)), bitmap);
    else
        std::memset(data, 0, size_t(bytes));
    return data;
}

}  // namespace SpriteExtend
