// A wallpaper library linked without -z defs that needs a function nobody defines: it opens
// with lazy binding, not with RTLD_NOW, and its entry point can't run.

#include "interface/DeskTopViewEntryPoints.h"

extern "C" void bdtestNowhereDefined();

NSString* getDeskTopViewName() {
    return NSSTR("unresolved");
}

NSString* getDeskTopViewVersion() {
    return NSSTR("1");
}

DeskTopView* getDeskTopViewInstance(NSBundle* bundle) {
    (void)bundle;
    bdtestNowhereDefined();
    return nullptr;
}
