// The sample wallpaper library's exported entry points (C linkage; see docs/abi.md).

#include "Common/ImageCache.h"
#include "UIKit/UIScreen.h"
#include "demo/AnimateDemoView.h"
#include "interface/DeskTopViewEntryPoints.h"

NSString* getDeskTopViewName() {
    return AnimateDemoView::name();
}

NSString* getDeskTopViewVersion() {
    return AnimateDemoView::version();
}

DeskTopView* getDeskTopViewInstance(NSBundle* bundle) {
    ImageCache::sharedInstance()->setResBundle(bundle);
    double height = UIScreen::mainScreen()->bounds().size.height;
    AnimateDemoView* view =
        alloc<AnimateDemoView>()->initWithFrame(CGRectMake(0, 0, kDeskTopViewWidth, height));
    if (view) view->autorelease();
    return view;
}
