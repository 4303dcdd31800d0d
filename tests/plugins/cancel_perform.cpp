// A wallpaper library built as authors build them (hidden visibility) whose view, from inside
// the library, cancels the delayed delayLoading that the framework's DeskTopView asked for. Its
// own copy of the selector's type information must still match the framework's.

#include "Foundation/NSLog.h"
#include "UIKit/UIScreen.h"
#include "interface/DeskTopViewEntryPoints.h"

namespace {
class CancellingView : public DeskTopView {
  public:
    CancellingView* initWithFrame(CGRect frame) override {
        if (!DeskTopView::initWithFrame(frame)) return nullptr;
        cancelPreviousPerformRequestsWithTarget(this, BD_SEL(DeskTopView, delayLoading), nullptr);
        return this;
    }
    void delayLoading() override { NSLog("cancel_perform: delayLoading ran"); }
};
}  // namespace

NSString* getDeskTopViewName() {
    return NSSTR("cancel_perform");
}

NSString* getDeskTopViewVersion() {
    return NSSTR("1");
}

DeskTopView* getDeskTopViewInstance(NSBundle*) {
    CancellingView* view = alloc<CancellingView>()->initWithFrame(
        CGRectMake(0, 0, kDeskTopViewWidth, UIScreen::mainScreen()->bounds().size.height));
    if (view) view->autorelease();
    return view;
}
