#pragma once
// Wayland compositors for tests, started by the tests and ended by pid: headless sway (wlroots:
// layer-shell, foreign-toplevel management, screencopy for grim), run as nobody because sway
// refuses root, and headless weston (no layer-shell). Each has a private folder under the
// temporary directory that is removed at the end; the socket is reached by its path.

#include <optional>
#include <string>
#include <vector>

#include "CoreGraphics/CGImage.h"
#include "support/files.h"
#include "support/process.h"

namespace bdtest {

struct SwayHeadless {
    Child sway;
    std::optional<TempDir> tmp;  // its private folder, removed at the end
    std::string dir;             // tmp's path
    std::string socket;          // the Wayland socket's path: WAYLAND_DISPLAY for clients
    std::string swaysock;        // sway's IPC socket
    // [main-thread] Outputs HEADLESS-1, -2, ... of the given sizes side by side. False when
    // sway or setpriv are missing or sway did not come up.
    bool start(const std::vector<std::pair<int, int>>& outputs);
    // [main-thread] A sway inside another one (its Wayland backend): its outputs WL-1, WL-2 ...
    // are windows of the parent ("wlroots - WL-N"), so closing one in the parent unplugs that
    // output, which a headless sway 1.7 cannot do.
    bool startNested(SwayHeadless& parent);
    // [main-thread] Runs swaymsg as nobody; true when it succeeded (its stdout into *out).
    bool swaymsg(const std::string& command, std::string* out = nullptr);
    // [main-thread] A screenshot of one output (grim -o), or null.
    CGImageRef screenshot(const std::string& output);
    // [main-thread] Ends sway now (the compositor dying under its clients).
    void stop();
    ~SwayHeadless();
};

struct WestonHeadless {
    Child weston;
    std::optional<TempDir> tmp;  // its private folder, removed at the end
    std::string dir;             // tmp's path
    std::string socket;
    // [main-thread] One headless output of width x height; false when weston did not come up.
    bool start(int width, int height);
    ~WestonHeadless();
};

// A tiny xdg-shell client (tests/host/desktop/toplevel_client.cpp): one toplevel window of
// the given app id, filled with a colour, following every configure. Ended by pid.
struct Toplevel {
    Child client;
    // [main-thread] False when the client did not show its window within a few seconds.
    bool start(const std::string& socket, const std::string& appId);
    ~Toplevel();
};

}  // namespace bdtest
