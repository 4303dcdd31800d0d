#pragma once
// What the daemon's two source files share: its per-output state (Daemon::Slot), the picture it
// draws itself, and small helpers. Daemon.cpp runs the outputs and their wallpapers;
// DaemonCommands.cpp answers the control socket's requests.

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "Daemon.h"

namespace host::desktop {

namespace detail {
// CLOCK_MONOTONIC in seconds.
double monotonicSeconds();
// printf of one number.
std::string fmt(const char* f, double v);
// The path made absolute and normal (as it is when that fails).
std::string absolute(const std::string& path);
}  // namespace detail

// A picture the daemon draws itself (the fallback thumbnail), in a buffer a backend can take.
struct OwnBuffer {
    int fd = -1;
    uint8_t* pixels = nullptr;
    size_t size = 0;
    int width = 0, height = 0;
    int id = -1;  // the backend's
    ~OwnBuffer() {
        if (pixels) munmap(pixels, size);
        if (fd >= 0) close(fd);
    }
};

struct Daemon::Slot {
    OutputInfo info;
    OutputSignals signals;
    std::string bundle;
    FitMode fit = FitMode::Width;
    bool userPaused = false;
    Fitted fitted;

    std::unique_ptr<Wallpaper> wp;
    std::vector<int> ids;      // backend buffer id of each wallpaper buffer
    bool started = false;      // startAnimating sent
    bool animating = false;    // what the wallpaper was last told
    bool rendering = false;    // a render request is out
    bool wantFrame = false;    // render once even when not playing (a new screen)
    bool renderWhole = false;  // the render out was for wantFrame: show all of that frame
    bool changed = false;      // the wallpaper said its scene changed
    double nextChange = INFINITY;
    double lastRender = -INFINITY;
    double retryRender = 0;  // after "no free buffer"
    int inFlight = -1;       // the buffer the backend is reading
    int held = -1;           // a finished frame waiting for the backend
    // Buffers shown and still read by the server (until it reports them Released).
    std::vector<int> retained;
    std::vector<PixelRect> heldDamage;
    bool busy = false;

    // Crashes and restarts.
    std::deque<double> crashes;
    double backoff = 1;
    double restartAt = INFINITY;
    double startedAt = 0;
    int restarts = 0;
    bool fallback = false;
    std::string lastEnd;
    std::unique_ptr<OwnBuffer> fallbackPicture;

    // Figures for query.
    std::deque<double> presents;
    uint64_t frames = 0;           // frames presented since the daemon started
    uint64_t unchangedFrames = 0;  // frames that differed in nothing, given straight back
    uint64_t pixelsSent = 0;       // damaged buffer pixels handed to the backend
    double cpuMark = 0, wallMark = 0;
};

}  // namespace host::desktop
