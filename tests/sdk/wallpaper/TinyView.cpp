// A wallpaper with a name and version of its own that shows one picture of its bundle.

#include <backdrop/Common/ImageCache.h>
#include <backdrop/interface/DeskTopViewEntryPoints.h>
#include <backdrop/platform/UIKit/UIScreen.h>

namespace {
class TinyView : public DeskTopView {
  public:
    static NSString* name() { return NSSTR("Tiny"); }
    static NSString* version() { return NSSTR("2.0"); }

    TinyView* initWithFrame(CGRect frame) override {
        if (!DeskTopView::initWithFrame(frame)) return nullptr;
        setBackgroundImage(ImageCache::sharedInstance()->imageWithName2x(NSSTR("dot.png")));
        return this;
    }
    void doAnimating() override { ++_frames; }

  private:
    int _frames = 0;
};
}  // namespace

NSString* getDeskTopViewName() {
    return TinyView::name();
}

NSString* getDeskTopViewVersion() {
    return TinyView::version();
}

DeskTopView* getDeskTopViewInstance(NSBundle* bundle) {
    ImageCache::sharedInstance()->setResBundle(bundle);
    DeskTopView* view = alloc<TinyView>()->initWithFrame(
        CGRectMake(0, 0, kDeskTopViewWidth, UIScreen::mainScreen()->bounds().size.height));
    if (view) view->autorelease();
    return view;
}
