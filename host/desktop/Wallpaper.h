#pragma once
// Wallpaper: one output's wallpaper as the daemon core sees it — a process that renders into
// shared buffers on request, tells when its scene changed, and may end at any moment. The real
// one is the sandboxed wallpaper process (ProcessWallpaper.cpp); the core never loads a
// wallpaper library itself.

#include <sys/types.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CoreGraphics/CGGeometry.h"
#include "Geometry.h"
#include "host/scene/HostScene.h"

namespace host::desktop {

struct WallpaperSignal {
    enum class Kind {
        Frame,    // a frame is in `buffer`; ours until releaseBuffer
        NoFrame,  // a render request could not be served (no free buffer): ask again later
        Changed,  // the scene changed by itself: ask for a frame
        Log,      // a line the wallpaper wrote
        Busy,     // it uses a core while paused (text)
        Ended,    // the process is gone (text says how)
    };
    Kind kind = Kind::Log;
    int buffer = -1;
    std::vector<PixelRect> damage;  // buffer pixels that differ from the previous frame
    double nextChange = INFINITY;   // CLOCK_MONOTONIC seconds of its next change by itself
    std::string text;
};

class Wallpaper {
  public:
    enum class Op {
        startAnimating,
        pauseAnimating,
        resumeAnimating,
        stopAnimating,
        openSettingMenu,
        tapActionAtViewPoint,  // point in screen points
        gestureAction,         // integer type, point
    };
    virtual ~Wallpaper() = default;  // ends the process

    // [main-thread]
    virtual pid_t pid() const = 0;
    virtual int fd() const = 0;
    virtual int timeoutMs() const = 0;
    virtual std::vector<WallpaperSignal> handle() = 0;

    virtual int bufferCount() const = 0;
    virtual int bufferFd(int k) const = 0;
    virtual const uint8_t* bufferPixels(int k) const = 0;
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual size_t stride() const = 0;

    virtual void renderFrame() = 0;
    virtual void releaseBuffer(int k) = 0;
    virtual void send(Op op, CGPoint point = {}, int64_t integer = 0) = 0;
    // A new screen: new buffers (every held buffer is given back). False with a message.
    virtual bool changeScreen(const ScreenSpec& screen, std::string* error) = 0;

    // Stops a wallpaper that keeps a core busy while paused, until the next request continues
    // it. False when it cannot be stopped now.
    virtual bool freeze() = 0;

    virtual double cpuSeconds() const = 0;
    virtual uint64_t rssBytes() const = 0;
    virtual std::string sandboxLevel() const = 0;
};

// Starts a wallpaper for a bundle on a screen: null with a one-line message when it could not
// start (no such bundle, no view, crashed or hung while loading).
using WallpaperFactory = std::function<std::unique_ptr<Wallpaper>(
    const std::string& bundle, const ScreenSpec& screen, std::string* error)>;

}  // namespace host::desktop
