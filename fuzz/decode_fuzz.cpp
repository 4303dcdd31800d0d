// Picture decoding from arbitrary bytes: never a crash, an overread or an unbounded allocation.
#include <cstddef>
#include <cstdint>

#include "Foundation/NSObject.h"
#include "UIKit/UIImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NSAutoreleasePool pool;
    if (UIImage* img = UIImage::imageWithBytes(data, size)) {
        CGImageRef cg = img->CGImage();
        // Touch the last byte of the bitmap so that a short buffer shows up under ASan.
        const uint8_t* p = cg->bytes();
        size_t last =
            cg->bytesPerRow() * (cg->height() - 1) + cg->width() * (cg->bitsPerPixel() / 8) - 1;
        volatile uint8_t sink = p[last];
        (void)sink;
        (void)img->size();
    }
    return 0;
}
