#pragma once
// Display servers for tests, started by the tests themselves and ended by pid: Xvfb (with
// openbox when a window manager is needed), and Xwayland inside a headless sway run as nobody
// (the one headless server here that gives several RandR monitors and hot-plug).

#include <optional>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"

namespace bdtest {

// Xvfb on a free display number. -noreset keeps the server (and every retained resource) when
// the last client goes, as a desktop with a window manager would.
struct Xvfb {
    Child server, wm;
    std::string display;  // ":N"
    // [main-thread] False when Xvfb (or openbox, when asked) did not come up.
    bool start(int width, int height, bool windowManager = false);
    ~Xvfb();
};

// Headless sway with Xwayland, as nobody, with outputs of the given sizes side by side.
struct SwayXwayland {
    Child sway;
    std::optional<TempDir> tmp;  // its private folder, removed at the end
    std::string dir;             // tmp's path
    std::string display;         // Xwayland's ":N", open to root
    std::string swaysock;        // sway's IPC socket
    // [main-thread] False when sway, Xwayland or setpriv are missing or did not come up.
    bool start(const std::vector<std::pair<int, int>>& outputs);
    // [main-thread] Runs swaymsg as nobody; true when it succeeded.
    bool swaymsg(const std::string& command);
    ~SwayXwayland();
};

// [main-thread] Runs a program with DISPLAY set; its exit code (stdout into *out).
int runOn(const std::string& display, const std::vector<std::string>& argv,
          std::string* out = nullptr);

}  // namespace bdtest
