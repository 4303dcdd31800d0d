#pragma once
// Backend: what the desktop daemon needs of a display server, and all it knows of one. The
// daemon core (Daemon.h) keeps one wallpaper process per output, the pause rules, the control
// socket and the saved state; a backend shows pixels and reports what the server sees: the X11
// backend (X11Backend.h) and the Wayland backend (WaylandBackend.h).
//
// Contract:
// - Outputs have a stable name (the state file and `ctl` use it), a rectangle of pixels in the
//   desktop's space, and a scale. OutputsChanged is reported after hot-plug or a mode change;
//   the core then reads outputs() again.
// - Buffers are the wallpaper processes' shared-memory buffers (memfd, premultiplied ARGB32):
//   addBuffer registers one (the backend dups the fd, so the caller keeps its own) and
//   removeBuffer forgets it.
// - present(output, buffer, placement, damage) shows the damaged rectangles of a buffer (buffer
//   pixels; empty: all of it) at the placement on the output. The backend may read the buffer
//   until it reports Presented for that output; the core sends at most one present per output
//   until then, so a backend never queues frames. A server that keeps reading the buffer after
//   the frame is shown (a Wayland compositor holds the buffer attached to a surface until the
//   next one replaces it) is reported as Presented with `retained` set: the next present may
//   come, but the buffer stays the server's until Released names it. What a present leaves on
//   screen stays there until the next one, also when the wallpaper process dies.
// - Signals per output (fullscreen window, entirely covered, monitor off) and for the session
//   (idle, locked) come as SignalsChanged; the core reads signals() and idle() then. Nothing
//   here is polled by the core: a backend waits on its fds and asks for a timeout only for
//   what its server cannot report as events.
// - Input: with input enabled, a click on the desktop background comes as Click (output-relative
//   pixels).
//
// Threads: a backend is used on the daemon's main thread only.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Fit.h"
#include "Geometry.h"

namespace host::desktop {

struct OutputInfo {
    std::string name;  // "HDMI-1"; unique among the outputs
    PixelRect rect;    // in the desktop's pixels
    double scale = 1;  // the server's scale for the output (1 on X11)
    bool operator==(const OutputInfo&) const = default;
};

struct OutputSignals {
    bool fullscreen = false;  // a window on it is fullscreen
    bool covered = false;     // windows cover all of it
    bool off = false;         // the monitor is off (DPMS) or the screen is locked
    bool operator==(const OutputSignals&) const = default;
};

struct BackendEvent {
    enum class Kind {
        OutputsChanged,  // read outputs() again
        SignalsChanged,  // read signals() and idle() again
        Presented,       // output's last present is on screen; its buffer is free again
                         // unless `retained` (then Released follows)
        Released,        // a retained buffer is free again
        Click,           // a click on the desktop background (x, y in output pixels)
        Lost,            // the connection to the server is gone (text): the daemon ends
    };
    BackendEvent() = default;
    explicit BackendEvent(Kind k) : kind(k) {}
    Kind kind = Kind::SignalsChanged;
    std::string output;
    int buffer = -1;
    bool retained = false;  // Presented: the server still reads the buffer
    int x = 0, y = 0;
    std::string text;
};

class Backend {
  public:
    virtual ~Backend() = default;

    // [main-thread] "x11" or "wayland".
    virtual const char* kind() const = 0;
    // [main-thread] The display's name for the control socket (":0", "wayland-1").
    virtual std::string displayName() const = 0;

    // [main-thread] Descriptors to poll for POLLIN, and the longest wait before dispatch()
    // must run again (-1: none).
    virtual std::vector<int> fds() const = 0;
    virtual int timeoutMs() const = 0;
    // [main-thread] Handles what arrived (or what the timeout was for) without blocking.
    virtual std::vector<BackendEvent> dispatch() = 0;

    // [main-thread]
    virtual std::vector<OutputInfo> outputs() const = 0;
    virtual OutputSignals signals(const std::string& output) const = 0;
    // [main-thread] The session has had no input for the idle time, or the screen saver runs.
    virtual bool idle() const = 0;
    // [main-thread] Seconds without input after which idle() turns true; 0 turns it off.
    virtual void setIdleAfter(double seconds) = 0;
    // [main-thread] Whether the server can tell idle time at all (query reports it).
    virtual bool idleAvailable() const { return true; }
    // [main-thread] Whether the last frames stay on screen after the daemon ends (an X11 root
    // pixmap does; a Wayland surface goes with its client).
    virtual bool keepsPicture() const { return true; }

    // [main-thread] A buffer's id (>= 0), or -1 with a message.
    virtual int addBuffer(int fd, const uint8_t* pixels, int width, int height, size_t stride,
                          std::string* error) = 0;
    // [main-thread] Forgets a buffer; one the server still shows stays on screen.
    virtual void removeBuffer(int id) = 0;
    // [main-thread] False with a message when the output or buffer is unknown or the server
    // refused; then no Presented follows.
    virtual bool present(const std::string& output, int buffer, const Placement& placement,
                         const std::vector<PixelRect>& damage, std::string* error) = 0;
};

}  // namespace host::desktop
