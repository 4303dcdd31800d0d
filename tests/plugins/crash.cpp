// A wallpaper library whose entry point crashes.

#include <csignal>

#include "interface/DeskTopViewEntryPoints.h"

NSString* getDeskTopViewName() {
    return NSSTR("crash");
}

NSString* getDeskTopViewVersion() {
    return NSSTR("1");
}

DeskTopView* getDeskTopViewInstance(NSBundle* bundle) {
    (void)bundle;
    std::raise(SIGSEGV);
    return nullptr;
}
