// A working wallpaper library linked the plain way, without -z nodelete: dlclose would unmap
// it, so only the loader's pin keeps the code of a live view of it mapped.

#include "Common/ImageCache.h"
#include "UIKit/UIScreen.h"
#include "interface/DeskTopViewEntryPoints.h"

namespace {
// Overrides that run this library's code whenever the host drives the view.
class PlainView : public DeskTopView {
  public:
    void doAnimating() override { ++_frames; }
    void tapActionAtViewPoint(CGPoint point) override { _lastTap = point; }
    void gestureAction(int32_t type, CGPoint atPoint) override { _frames += type + int(atPoint.x); }

  private:
    int _frames = 0;
    CGPoint _lastTap = {};
};
}  // namespace

NSString* getDeskTopViewName() {
    return NSSTR("plain");
}

NSString* getDeskTopViewVersion() {
    return NSSTR("3");
}

DeskTopView* getDeskTopViewInstance(NSBundle* bundle) {
    ImageCache::sharedInstance()->setResBundle(bundle);
    DeskTopView* view = alloc<PlainView>()->initWithFrame(
        CGRectMake(0, 0, kDeskTopViewWidth, UIScreen::mainScreen()->bounds().size.height));
    if (view) view->autorelease();
    return view;
}
