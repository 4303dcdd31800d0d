#include "CoreGraphics/CGColorSpace.h"

namespace {
// The device spaces live for the whole process; each create hands out one more reference.
CGColorSpace* shared(CGColorSpaceModel model) {
    static CGColorSpace* rgb = new CGColorSpace(kCGColorSpaceModelRGB);
    static CGColorSpace* gray = new CGColorSpace(kCGColorSpaceModelMonochrome);
    return model == kCGColorSpaceModelRGB ? rgb : gray;
}
}  // namespace

CGColorSpaceRef CGColorSpaceCreateDeviceRGB() {
    return static_cast<CGColorSpace*>(shared(kCGColorSpaceModelRGB)->retain());
}
CGColorSpaceRef CGColorSpaceCreateDeviceGray() {
    return static_cast<CGColorSpace*>(shared(kCGColorSpaceModelMonochrome)->retain());
}
CGColorSpaceRef CGColorSpaceRetain(CGColorSpaceRef space) {
    if (space) space->retain();
    return space;
}
void CGColorSpaceRelease(CGColorSpaceRef space) {
    if (space) space->release();
}
size_t CGColorSpaceGetNumberOfComponents(CGColorSpaceRef space) {
    return space ? space->numberOfComponents() : 0;
}
CGColorSpaceModel CGColorSpaceGetModel(CGColorSpaceRef space) {
    return space ? space->model() : kCGColorSpaceModelUnknown;
}
