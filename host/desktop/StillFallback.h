#pragma once
// StillFallback: `backdrop desktop` on a Wayland compositor without a background layer
// (GNOME's, weston). No program may draw behind the windows there, so the daemon renders one
// still frame of each output's wallpaper (as `render` would at a fixed time of its life, in a
// sandboxed wallpaper process on a virtual clock), placed by the output's fit, and writes it to
// $XDG_DATA_HOME/backdrop/still-<output>.png.
//
// In a GNOME session it then sets the largest output's picture as the desktop background
// (gsettings org.gnome.desktop.background picture-uri and picture-uri-dark), keeps the user's
// previous values in the state file, and stays to answer `ctl`: `query` reports
// "fallback: no layer-shell", `set` and `reload` render again, `quit` puts the previous picture
// back and ends with 0. A signal ends it leaving the still in place (the session is ending; the
// next start sets it again). Elsewhere it prints where the pictures are and ends with 0.

#include <memory>
#include <string>
#include <vector>

#include "Backend.h"
#include "ControlSocket.h"
#include "Daemon.h"

namespace host::desktop {

struct StillOptions {
    DaemonOptions daemon;  // bundles, fit, screen, background colour, state file, quiet
    bool sandbox = true;
    double at = 10;          // seconds into the wallpaper's life that the still shows
    std::string dataDir;     // "" : $XDG_DATA_HOME/backdrop (~/.local/share/backdrop)
    std::string executable;  // the `backdrop` tool for the wallpaper process ("" : this one)
};

// [main-thread] Renders bundle's wallpaper on an output of width x height pixels, placed by
// fit, at `at` seconds, and writes it as a PNG to path (through a temporary file renamed over
// it). False with a one-line message.
bool renderStill(const std::string& bundle, int width, int height, FitMode fit,
                 const ScreenSpec& phone, uint32_t background, double at, bool sandbox,
                 const std::string& executable, const std::string& path, std::string* error);

// [any-thread] Whether the session is GNOME's ($XDG_CURRENT_DESKTOP names GNOME).
bool gnomeSession();

// [any-thread] A file: URI for an absolute path (bytes outside the unreserved set encoded).
std::string fileUri(const std::string& path);

class StillFallback {
  public:
    // [main-thread] control: the display's socket, already open (it holds the one-daemon lock).
    StillFallback(std::unique_ptr<Backend> backend, StillOptions options,
                  std::unique_ptr<ControlServer> control);
    ~StillFallback();
    StillFallback(const StillFallback&) = delete;
    StillFallback& operator=(const StillFallback&) = delete;

    // [main-thread] Does it all; the exit code.
    int run();

  private:
    struct Still {
        OutputInfo info;
        std::string bundle;
        FitMode fit = FitMode::Width;
        std::string path;
        std::string error;  // why there is no picture ("" when written)
    };
    void say(const std::string& line);
    bool renderAll(std::string* error);
    bool setGnome(std::string* error);
    void restoreGnome();
    bool command(const std::string& line, std::vector<std::string>* lines, std::string* error);
    void save();

    std::unique_ptr<Backend> _backend;
    StillOptions _options;
    std::unique_ptr<ControlServer> _control;
    DesktopState _state;
    std::string _statePath;
    std::vector<Still> _stills;
    bool _gnome = false;
    bool _quit = false;
    int _exitCode = 0;
};

}  // namespace host::desktop
