#pragma once
// A host script: "T:ACTION; T:ACTION; ..." — at media time T (seconds from the start) the host
// does ACTION to the wallpaper: tap X,Y | gesture TYPE X,Y | start | pause | resume | stop |
// frame | scale S | offset O | scroll V | settings. Points are in screen points.

#include <string>
#include <vector>

#include "CoreGraphics/CGGeometry.h"
#include "wallpaper/WallpaperProcess.h"

namespace host {

struct ScriptAction {
    double time = 0;
    std::string verb;  // as written: "tap", "gesture", "start", ...
    CGPoint point = {};
    int type = 0;      // gesture
    double value = 0;  // scale, offset, scroll
    std::string text;  // the action as written, for messages
};

// [any-thread] The actions in time order (the order written among equal times); false with a
// message naming the bad item.
bool parseScript(const std::string& script, std::vector<ScriptAction>* out, std::string* error);

// [any-thread] The request that does the action to a wallpaper process at media time `at`.
WallpaperRequest requestFor(const ScriptAction& action, double at);

}  // namespace host
