#pragma once
// UIImage: a picture — a bitmap (CGImage) with a scale (pixels per point) and an orientation.
// Decodes PNG (libpng) and JPEG (TurboJPEG, with the EXIF orientation honoured). Immutable.

#include "CoreGraphics/CGGeometry.h"
#include "CoreGraphics/CGImage.h"
#include "Foundation/Export.h"
#include "Foundation/NSObject.h"

#include <cstddef>
#include <mutex>

class NSData;
class NSString;

enum UIImageOrientation : int {
    UIImageOrientationUp = 0,
    UIImageOrientationDown,
    UIImageOrientationLeft,
    UIImageOrientationRight,
    UIImageOrientationUpMirrored,
    UIImageOrientationDownMirrored,
    UIImageOrientationLeftMirrored,
    UIImageOrientationRightMirrored,
};

class BD_EXPORT UIImage : public NSObject {
  public:
    // +imageWithContentsOfFile: [any-thread] Reads and decodes the file; null when it is missing
    // or no picture. Autoreleased.
    static UIImage* imageWithContentsOfFile(NSString* path);
    // +imageWithData: [any-thread] Decodes PNG or JPEG bytes; null when they are no picture.
    static UIImage* imageWithData(NSData* data);
    // [any-thread] The same over a raw byte range (for callers without an NSData).
    static UIImage* imageWithBytes(const void* bytes, size_t length);
    // +imageWithCGImage: [any-thread] Scale 1, upright; shares the bitmap. Null for null.
    static UIImage* imageWithCGImage(CGImageRef image);
    // +imageWithCGImage:scale:orientation: [any-thread] Shares the bitmap; a scale that is not
    // positive and finite is taken as 1.
    static UIImage* imageWithCGImage(CGImageRef image, double scale,
                                     UIImageOrientation orientation);

    // -initWithCGImage:scale:orientation: [any-thread] Null (released) when image is null.
    [[nodiscard]] virtual UIImage* initWithCGImage(CGImageRef image, double scale,
                                                   UIImageOrientation orientation);

    // -size [any-thread] Points: pixels / scale, width and height swapped for the Left/Right
    // orientations (mirrored or not).
    virtual CGSize size() const;
    // -scale [any-thread]
    virtual double scale() const { return _scale; }
    // -imageOrientation [any-thread]
    virtual UIImageOrientation imageOrientation() const { return _imageOrientation; }
    // -CGImage [any-thread] The bitmap, owned by the picture.
    virtual CGImageRef CGImage() const { return _CGImage.get(); }
    // [any-thread] The bitmap turned and mirrored as the orientation says, so that it shows the
    // picture as it appears on screen: the bitmap itself when upright, else a copy made on first
    // use and kept (the bitmap itself when no copy can be made). Owned by the picture. Views
    // show this one.
    virtual CGImageRef uprightCGImage() const;

  private:
    Ref<::CGImage> _CGImage;  // NOLINT(bugprone-reserved-identifier): the platform's own name
    mutable std::once_flag _uprightOnce;
    mutable Ref<::CGImage> _uprightCGImage;
    double _scale = 1.0;
    UIImageOrientation _imageOrientation = UIImageOrientationUp;
};
