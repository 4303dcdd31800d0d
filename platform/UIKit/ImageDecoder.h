#pragma once
// Picture decoders: PNG through libpng's simplified API, JPEG through TurboJPEG. Both decode
// into premultiplied native-endian ARGB32 (gray JPEGs into 8-bit gray) and refuse, before
// allocating, pictures over kMaxImageSide pixels on a side or kMaxImageBytes of pixels.

#include <cstddef>
#include <cstdint>

#include "CoreGraphics/CGImage.h"
#include "UIKit/UIImage.h"

namespace bd {

struct DecodedImage {
    Ref<CGImage> image;  // null when the bytes are no picture
    UIImageOrientation orientation = UIImageOrientationUp;
};

// [any-thread] Detects the format by its signature.
DecodedImage decodeImage(const void* bytes, size_t length);
// [any-thread]
DecodedImage decodePNG(const uint8_t* bytes, size_t length);
DecodedImage decodeJPEG(const uint8_t* bytes, size_t length);
// [any-thread] The EXIF orientation (1..8) of a JPEG's APP1 segment, or 1 when there is none
// or it is malformed. Exposed for tests.
int jpegExifOrientation(const uint8_t* bytes, size_t length);
// [any-thread] Maps an EXIF orientation value to a picture orientation (anything else: Up).
UIImageOrientation orientationFromExif(int exif);

}  // namespace bd
