#pragma once
// The live loop of `backdrop run`: a wallpaper process's frames shown in a window on the real
// clock, only when its scene changes and only where it changes. Each turn handles the window's
// events (mouse presses, drags and releases are touches; keys drive the protocol; each is a
// request to the wallpaper process), then the process's events (a frame to present by its
// damaged rectangles, a change to draw, its output), asks for a frame when one is due (at
// most `fps` a second), and sleeps until the next frame is allowed, the scene's next change,
// the process's watches, or an event. A paused, stopped or static wallpaper costs nothing: no
// frame, no present, both processes asleep; the title then reads "idle".
//
// When the wallpaper dies (crash, exit, hang, memory) the window keeps its last frame, the
// title and `say` tell what happened, and it is started again after 1, 2, 4 ... 30 s, or at
// once with `r`. Everything here runs on the main thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "SDLWindow.h"
#include "wallpaper/WallpaperProcess.h"

union SDL_Event;

namespace host {

class RunSession {
  public:
    // [main-thread] Starts the wallpaper process `options` describes and shows its frames in
    // `window` (which outlives the session) at most `fps` frames a second; `say` gets one line
    // per thing the user did or the wallpaper went through. Null with the one-line reason when
    // the wallpaper process did not start (or its wallpaper gave no view).
    static std::unique_ptr<RunSession> start(const WallpaperOptions& options, SDLWindow& window,
                                             int fps, std::string title,
                                             std::function<void(const std::string&)> say,
                                             std::string* error);
    ~RunSession();  // [main-thread] ends the wallpaper process
    RunSession(const RunSession&) = delete;
    RunSession& operator=(const RunSession&) = delete;

    // [main-thread] One turn as above, sleeping at most maxWait seconds. False once the user
    // asked to quit.
    bool turn(double maxWait);
    // [main-thread] One event of the window.
    void handle(const SDL_Event& e);
    // [main-thread] A request to the wallpaper, waited for; false when it went unanswered (the
    // wallpaper ended, and will be started again).
    bool call(WallpaperRequest::Op op, WallpaperEvent* reply = nullptr, CGPoint point = {},
              double value = 0, int64_t integer = 0);

    // [main-thread] Clicks as taps: a click (press and release) sends tapActionAtViewPoint:
    // (the wallpaper process takes it when it lies inside tapClipRect) instead of touches.
    // The key c toggles it.
    void setTapOnClick(bool on) { _tapOnClick = on; }
    // [main-thread] Watches the bundle folder (inotify): when its library or a resource
    // changes, the wallpaper is reloaded in a fresh process once the folder has been quiet for
    // a moment, on the same screen, at the same scale. False with the reason when it can't.
    bool watchBundle(std::string* error);
    uint64_t reloads() const { return _reloads; }

    // [main-thread] What the loop did so far, and whether its last turn drew nothing.
    uint64_t renders() const { return _renders; }
    uint64_t presents() const { return _presents; }
    uint64_t restarts() const { return _restarts; }
    bool idle() const { return _idle; }
    // [main-thread] The wallpaper process now (it may have ended; null before the first).
    WallpaperProcess* wallpaper() { return _wp.get(); }

  private:
    class Watcher;
    RunSession(const WallpaperOptions& options, SDLWindow& window, int fps, std::string title,
               std::function<void(const std::string&)> say);
    // All [main-thread].
    void events();
    void frame(const WallpaperEvent& e);
    void ended();
    void restart();
    void checkWatch(double now);
    void askIfDue(double now);
    void updateTitle(double now);
    void sleep(double seconds);
    CGPoint toPoints(int x, int y) const;
    CGPoint cursor() const;
    void key(int sym);
    const char* animating();

    WallpaperOptions _options;
    SDLWindow& _window;
    std::unique_ptr<WallpaperProcess> _wp;
    std::unique_ptr<Watcher> _watcher;
    std::function<void(const std::string&)> _say;
    std::string _title;
    double _period;
    double _nextAllowed = 0;  // the earliest time of the next frame (the fps limit)
    double _nextChange = 0;   // when the scene changes next by itself (CLOCK_MONOTONIC)
    bool _changed = true;     // the scene changed since the last frame asked for
    bool _rendering = false;  // a frame asked for and not yet come
    int _front = -1;          // the buffer the window shows (held until the next frame comes)
    double _restartAt = INFINITY, _backoff = 1, _startedAt = 0;
    std::string _endText;
    bool _running = true, _hidden = false, _pausedWhileHidden = false, _userPaused = false;
    bool _pressed = false, _shown = false, _idle = false;
    double _scale = 1;
    uint64_t _renders = 0, _presents = 0, _restarts = 0, _reloads = 0;
    bool _tapOnClick = false;
    int _inotify = -1;
    double _changedAt = INFINITY;  // when the bundle folder last changed (unhandled)
    int _presentsSinceTitle = 0;
    double _lastTitle = 0, _lastFrameMs = 0;
};

}  // namespace host
