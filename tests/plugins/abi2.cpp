// A wallpaper built as the SDK of a later ABI would build it: BACKDROP_WALLPAPER with
// BACKDROP_ABI_VERSION defined as 2 on the compiler's command line. Loaders of ABI 1 must
// refuse it before making its view.

#include "interface/DeskTopViewEntryPoints.h"

namespace {
class LaterView : public DeskTopView {
  public:
    static NSString* name() { return NSSTR("later"); }
    static NSString* version() { return NSSTR("2.0"); }
};
}  // namespace

BACKDROP_WALLPAPER(LaterView)
