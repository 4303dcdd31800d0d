// A wallpaper library whose entry point never returns.

#include <unistd.h>

#include "interface/DeskTopViewEntryPoints.h"

NSString* getDeskTopViewName() {
    return NSSTR("hang");
}

NSString* getDeskTopViewVersion() {
    return NSSTR("1");
}

DeskTopView* getDeskTopViewInstance(NSBundle* bundle) {
    (void)bundle;
    for (;;) pause();
}
