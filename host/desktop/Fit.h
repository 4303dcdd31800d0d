#pragma once
// How a wallpaper's screen is made from a monitor. With `width` (the default) the wallpaper's
// main screen is 320 points wide and as tall as the monitor's aspect gives, at a scale of
// monitor pixels / 320, so its 320-point view fills the monitor pixel for pixel. `fill`, `fit`
// and `center` place a phone screen (W x H points) over a background colour: the wallpaper
// renders at the pixel scale the placement needs (never resampled) and the daemon places or
// crops its pixels. `stretch` renders the phone screen at its own scale and resamples it to the
// monitor's size.

#include <cstdint>
#include <string>

#include "host/scene/HostScene.h"

namespace host::desktop {

enum class FitMode { Width, Fill, Fit, Center, Stretch };

// [any-thread] "width", "fill", "fit", "center", "stretch"; false for anything else.
bool parseFit(const std::string& text, FitMode* out);
// [any-thread]
const char* fitName(FitMode mode);

// [any-thread] "#rrggbb" (or "rrggbb") as opaque 0xAARRGGBB; false when malformed.
bool parseColour(const std::string& text, uint32_t* argb);

// Where a wallpaper's pixels land on its output.
struct Placement {
    int x = 0, y = 0;                  // the buffer's top-left in output pixels (negative: cropped)
    int width = 0, height = 0;         // the size it covers: the buffer's own unless stretched
    bool stretch = false;              // resample the buffer to width x height
    uint32_t background = 0xff000000;  // ARGB of the output where the buffer does not reach
    bool operator==(const Placement&) const = default;
};

struct Fitted {
    ScreenSpec screen;  // the wallpaper's main screen
    Placement placement;
};

// [any-thread] The wallpaper screen and placement for an output of outWidth x outHeight
// pixels. `phone` is the screen that fill/fit/center/stretch place (--screen).
Fitted fitScreen(int outWidth, int outHeight, FitMode mode, const ScreenSpec& phone,
                 uint32_t background);

}  // namespace host::desktop
