#pragma once
// The three functions a wallpaper library exports, with C linkage and under exactly these
// names, for hosts that look them up with dlsym (see docs/abi.md), and the fourth that says
// which ABI the library was built for. A wallpaper library defines them; declaring them here
// with default visibility exports them even when the library is built with hidden visibility,
// as backdrop_add_wallpaper_bundle builds it.

#include <backdrop/Version.h>

#include "Common/ImageCache.h"
#include "Foundation/NSBundle.h"
#include "Foundation/NSString.h"
#include "UIKit/UIScreen.h"
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
// [any-thread] The BACKDROP_ABI_VERSION the library was built with. Optional: a library
// without it counts as ABI 1. The loader asks before anything else and refuses a library of
// another ABI.
BD_WALLPAPER_EXPORT int getDeskTopViewAbiVersion();
}

// The entry points' types, for hosts that call them through dlsym.
using GetDeskTopViewNameFunction = NSString* (*)();
using GetDeskTopViewVersionFunction = NSString* (*)();
using GetDeskTopViewInstanceFunction = DeskTopView* (*)(NSBundle*);
using GetDeskTopViewAbiVersionFunction = int (*)();

namespace bd {
// The width of the view getDeskTopViewInstance makes, in points: fixed, whatever the screen.
inline constexpr double kDeskTopViewWidth = 320;

// [main-thread] What getDeskTopViewInstance does for a wallpaper class View: binds the shared
// image cache to bundle, makes a View with initWithFrame: (0, 0, 320, the main screen's height)
// and returns it autoreleased, or null when its initialiser failed.
template <class View>
DeskTopView* makeDeskTopViewInstance(NSBundle* bundle) {
    ImageCache::sharedInstance()->setResBundle(bundle);
    double height = UIScreen::mainScreen()->bounds().size.height;
    auto* view = static_cast<DeskTopView*>(
        alloc<View>()->initWithFrame(CGRectMake(0, 0, kDeskTopViewWidth, height)));
    if (view) view->autorelease();
    return view;
}
}  // namespace bd

// The three entry points of a wallpaper library whose view class is ClassName (a DeskTopView
// subclass): write BACKDROP_WALLPAPER(ClassName) once, at file scope, in one source file.
// getDeskTopViewName and getDeskTopViewVersion return ClassName::name() and
// ClassName::version(); getDeskTopViewInstance is bd::makeDeskTopViewInstance<ClassName>.
// It also writes getDeskTopViewAbiVersion, returning the BACKDROP_ABI_VERSION of this build.
#define BACKDROP_WALLPAPER(ClassName)                          \
    NSString* getDeskTopViewName() {                           \
        return ClassName::name();                              \
    }                                                          \
    NSString* getDeskTopViewVersion() {                        \
        return ClassName::version();                           \
    }                                                          \
    DeskTopView* getDeskTopViewInstance(NSBundle* bundle) {    \
        return bd::makeDeskTopViewInstance<ClassName>(bundle); \
    }                                                          \
    int getDeskTopViewAbiVersion() {                           \
        return BACKDROP_ABI_VERSION;                           \
    }
