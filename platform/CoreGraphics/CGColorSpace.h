#pragma once
// Colour spaces: device RGB (3 components) and device gray (1 component). Immutable and
// refcounted; the two device spaces are shared process-wide singletons.

#include "Foundation/Export.h"
#include "Foundation/NSObject.h"

#include <cstddef>

enum CGColorSpaceModel : int {
    kCGColorSpaceModelUnknown = -1,
    kCGColorSpaceModelMonochrome = 0,
    kCGColorSpaceModelRGB = 1,
};

class BD_EXPORT CGColorSpace : public NSObject {
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
[[nodiscard]] BD_EXPORT CGColorSpaceRef CGColorSpaceCreateDeviceRGB();
[[nodiscard]] BD_EXPORT CGColorSpaceRef CGColorSpaceCreateDeviceGray();
// [any-thread] Null-safe.
BD_EXPORT CGColorSpaceRef CGColorSpaceRetain(CGColorSpaceRef space);
BD_EXPORT void CGColorSpaceRelease(CGColorSpaceRef space);
// [any-thread]
BD_EXPORT size_t CGColorSpaceGetNumberOfComponents(CGColorSpaceRef space);
BD_EXPORT CGColorSpaceModel CGColorSpaceGetModel(CGColorSpaceRef space);
