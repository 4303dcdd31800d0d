#pragma once
// The three functions a wallpaper library exports, with C linkage and under exactly these
// names, for hosts that look them up with dlsym (see docs/abi.md). A wallpaper library defines
// them; declaring them here with default visibility exports them even when the library is
// built with hidden visibility, as backdrop_add_wallpaper_bundle builds it.

#include "Foundation/NSBundle.h"
#include "Foundation/NSString.h"
#include "interface/DeskTopView.h"

#define BD_WALLPAPER_EXPORT __attribute__((visibility("default")))

// The width of the view getDeskTopViewInstance makes, in points, whatever the screen's width.
constexpr double kDeskTopViewWidth = 320;

extern "C" {
// [main-thread] +name of the library's wallpaper class, autoreleased ("" when it has none).
BD_WALLPAPER_EXPORT NSString* getDeskTopViewName();
// [main-thread] +version of the library's wallpaper class, autoreleased.
BD_WALLPAPER_EXPORT NSString* getDeskTopViewVersion();
// [main-thread] Binds the shared image cache to bundle, then makes the wallpaper view
// (kDeskTopViewWidth wide, as tall as the main screen) and returns it autoreleased, or null.
BD_WALLPAPER_EXPORT DeskTopView* getDeskTopViewInstance(NSBundle* bundle);
}

// The entry points' types, for hosts that call them through dlsym.
using GetDeskTopViewNameFunction = NSString* (*)();
using GetDeskTopViewVersionFunction = NSString* (*)();
using GetDeskTopViewInstanceFunction = DeskTopView* (*)(NSBundle*);
