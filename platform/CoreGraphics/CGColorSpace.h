#pragma once
// Colour spaces: device RGB (3 components) and device gray (1 component). Immutable and
// refcounted; the two device spaces are shared process-wide singletons.

#include "Foundation/NSObject.h"

#include <cstddef>

enum CGColorSpaceModel : int {
    kCGColorSpaceModelUnknown = -1,
    kCGColorSpaceModelMonochrome = 0,
    kCGColorSpaceModelRGB = 1,
};

class CGColorSpace : public NSObject {
  public:
    explicit CGColorSpace(CGColorSpaceModel model) : _model(model) {}
    // [any-thread]
    virtual CGColorSpaceModel model() const { return _model; }
    // [any-thread] 3 for RGB, 1 for gray.
    virtual size_t numberOfComponents() const { return _model == kCGColorSpaceModelRGB ? 3 : 1; }

  private:
    CGColorSpaceModel _model;
};
typedef CGColorSpace* CGColorSpaceRef;

// [any-thread] Both return a reference the caller owns (release with CGColorSpaceRelease).
[[nodiscard]] CGColorSpaceRef CGColorSpaceCreateDeviceRGB();
[[nodiscard]] CGColorSpaceRef CGColorSpaceCreateDeviceGray();
// [any-thread] Null-safe.
CGColorSpaceRef CGColorSpaceRetain(CGColorSpaceRef space);
void CGColorSpaceRelease(CGColorSpaceRef space);
// [any-thread]
size_t CGColorSpaceGetNumberOfComponents(CGColorSpaceRef space);
CGColorSpaceModel CGColorSpaceGetModel(CGColorSpaceRef space);
