#pragma once
// What the desktop daemon remembers between runs: the last bundle of every output, its fit, and
// whether the user paused it. A property list (XML) under $XDG_STATE_HOME/backdrop/, written to
// a temporary file beside it, flushed and renamed over the old one, so a crash or a full disk
// never leaves half a file.

#include <map>
#include <string>

#include "Fit.h"

namespace host::desktop {

struct OutputState {
    std::string bundle;
    FitMode fit = FitMode::Width;
    bool paused = false;  // paused by the user (ctl pause)
    bool operator==(const OutputState&) const = default;
};

struct DesktopState {
    std::string bundle;  // what a monitor with no entry of its own gets
    FitMode fit = FitMode::Width;
    std::string folder;                          // the folder `ctl next` walks ("" when none)
    std::map<std::string, OutputState> outputs;  // by output name
    // The user's own GNOME background (gsettings values as `gsettings get` prints them) while
    // the still-picture fallback has put ours in its place; "" when ours is not set.
    std::string gnomePictureUri, gnomePictureUriDark;
    bool operator==(const DesktopState&) const = default;
};

// [any-thread] $XDG_STATE_HOME/backdrop/desktop.plist (~/.local/state/... when unset or not
// absolute).
std::string defaultStatePath();

// [any-thread] Reads the state; false with a one-line reason when the file is missing, not a
// property list, or holds no usable entry. Entries of the wrong type are skipped.
bool loadState(const std::string& path, DesktopState* state, std::string* error);
// [any-thread] Writes the state atomically, making the folder (0700) when missing.
bool saveState(const std::string& path, const DesktopState& state, std::string* error);

}  // namespace host::desktop
