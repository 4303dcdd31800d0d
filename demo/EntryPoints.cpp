// The sample wallpaper library's exported entry points (C linkage; see docs/abi.md): the view
// is AnimateDemoView, 320 points wide and as tall as the main screen, with the shared image
// cache bound to the bundle first.

#include "demo/AnimateDemoView.h"
#include "interface/DeskTopViewEntryPoints.h"

BACKDROP_WALLPAPER(AnimateDemoView)
