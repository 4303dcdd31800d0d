#pragma once
// Daemon: the desktop daemon's core. One wallpaper process per output of a backend, the pause
// rules, restarts and the fallback picture, the control socket's commands and the saved state.
// It knows no display server: everything it shows goes through a Backend (Backend.h), and every
// wallpaper it runs is a Wallpaper process (Wallpaper.h).
//
// Per output, the state is the first that applies of: fallback (3 crashes within 60 s: the
// bundle's thumbnail, or the last frame, until `reload` or `set`), crashed (waiting to restart,
// 1, 2, 4 ... 60 s after each crash), paused (by the user), hidden (a fullscreen window, covered
// entirely, monitor off or screen locked), battery, idle, playing. Only a playing wallpaper
// animates (resumeAnimating) and is asked for frames, when it says its scene changed or when its
// next change is due, at most --fps a second; in every other state it has been sent
// pauseAnimating and gets no requests, so it sleeps.
//
// Everything runs on one thread: run() polls the backend, the wallpaper processes, the control
// socket, the battery watch and a signalfd.

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Backend.h"
#include "ControlSocket.h"
#include "Fit.h"
#include "PowerSupply.h"
#include "StateFile.h"
#include "Wallpaper.h"

namespace host::desktop {

struct DaemonOptions {
    std::string bundle;                                // for every output ("" : the saved state)
    std::map<std::string, std::string> outputBundles;  // --output NAME=BUNDLE
    FitMode fit = FitMode::Width;
    bool fitGiven = false;
    ScreenSpec phone{320, 568, 2};  // what fill/fit/center/stretch place
    uint32_t background = 0xff000000;
    double fps = 30;
    bool pauseWhenHidden = true;  // fullscreen or covered
    bool pauseWhenOff = true;     // monitor off, screen locked
    bool pauseOnBattery = true;
    double idleAfter = 300;  // seconds; 0: never idle
    std::string powerSupplyDir = "/sys/class/power_supply";
    std::string folder;     // for `ctl next`
    std::string statePath;  // "" : defaultStatePath()
    bool quiet = false;     // no progress lines on stderr
};

class Daemon {
  public:
    // [main-thread]
    // control: the display's control socket, already open (ControlServer::open takes the
    // one-daemon-per-display lock, which must happen before the backend touches the display).
    Daemon(std::unique_ptr<Backend> backend, DaemonOptions options, WallpaperFactory factory,
           std::unique_ptr<ControlServer> control);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // [main-thread] Reads or writes the state and starts a wallpaper on every output. False
    // with a message.
    bool start(std::string* error);
    // [main-thread] Serves until `quit`, SIGTERM/SIGINT, or the display goes away; returns the
    // exit code.
    int run();
    // [main-thread] One control request, as the socket would carry it: the answer's lines, or
    // false with the error.
    bool command(const std::string& line, std::vector<std::string>* lines, std::string* error);
    // [main-thread] Runs the loop once, waiting at most timeoutMs (tests).
    void step(int timeoutMs);
    bool quitting() const { return _quit; }

  private:
    struct Slot;
    void say(const std::string& line);
    void syncOutputs();
    void startSlot(Slot& s);
    void endWallpaper(Slot& s, const std::string& why, bool crashed);
    bool attach(Slot& s, std::string* error);
    void detach(Slot& s);
    void applyState(Slot& s);
    std::string stateOf(const Slot& s, std::string* reason = nullptr) const;
    void handleWallpaper(Slot& s);
    void maybeRender(Slot& s, double now);
    void present(Slot& s, int k, const std::vector<PixelRect>& damage);
    void presented(const std::string& output, int bufferId, bool retained);
    void released(int bufferId);
    bool noFreeBuffer(const Slot& s) const;
    void showFallback(Slot& s);
    void saveState();
    bool setBundle(const std::vector<Slot*>& targets, const std::string& bundle, const FitMode* fit,
                   std::string* error);
    std::vector<Slot*> targets(const std::string& name, std::string* error);
    Slot* slotAt(int x, int y, CGPoint* screenPoint);
    void query(bool json, std::vector<std::string>* lines);
    int pollTimeoutMs(double now) const;

    std::unique_ptr<Backend> _backend;
    DaemonOptions _options;
    WallpaperFactory _factory;
    DesktopState _state;
    std::string _statePath;
    std::unique_ptr<ControlServer> _control;
    std::unique_ptr<PowerWatch> _power;
    int _signalFd = -1;
    std::map<std::string, std::unique_ptr<Slot>> _slots;
    bool _quit = false;
    int _exitCode = 0;
};

// [any-thread] Splits a request into words: blanks separate them, "double quotes" group them
// (with \" and \\ inside). False when a quote is not closed.
bool splitWords(const std::string& line, std::vector<std::string>* words);
// [any-thread] Joins words into a request line that splitWords gives back.
std::string joinWords(const std::vector<std::string>& words);

}  // namespace host::desktop
