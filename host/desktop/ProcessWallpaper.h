#pragma once
// The daemon's wallpapers are sandboxed wallpaper processes: this makes the factory.

#include <string>

#include "Wallpaper.h"

namespace host::desktop {

struct ProcessWallpaperOptions {
    bool sandbox = true;
    std::string executable;      // the `backdrop` tool to re-execute ("" : this program)
    bool discardOutput = false;  // the wallpaper's own output goes nowhere
};

// [main-thread] Spawns from the calling thread, which must live as long as the daemon.
WallpaperFactory processWallpaperFactory(const ProcessWallpaperOptions& options);

}  // namespace host::desktop
