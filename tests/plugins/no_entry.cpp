// A wallpaper library that forgot getDeskTopViewInstance: only the name and version exist.

#include "interface/DeskTopViewEntryPoints.h"

NSString* getDeskTopViewName() {
    return NSSTR("no entry");
}

NSString* getDeskTopViewVersion() {
    return NSSTR("1");
}
