#pragma once
// The live loop of `backdrop run`: a wallpaper's scene drawn into a window on the real clock,
// only when it changes and only where it changes. Each turn handles the window's events (mouse
// presses, drags and releases are touches; keys drive the protocol), draws a frame when the
// tree needs one (at most `fps` a second) and presents its damaged rectangles, then sleeps on
// the main run loop — which runs the wallpaper's main-thread work (timers, frames its loop asks
// for) — until the next frame is due, the tree's next change, or an event. A paused, stopped or
// static wallpaper costs nothing: no frame, no present, the thread asleep; the title then reads
// "idle". Everything here runs on the main thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "HostScene.h"
#include "QuartzCore/CARenderer.h"
#include "SDLWindow.h"

union SDL_Event;

namespace host {

class RunSession {
  public:
    // [main-thread] Draws `scene` into `window` (both outlive the session) at most `fps` frames
    // a second; `say` gets one line per thing the user did. Installs its waiter on the main run
    // loop until it goes.
    RunSession(HostScene& scene, SDLWindow& window, int fps, std::string title,
               std::function<void(const std::string&)> say);
    ~RunSession();  // [main-thread]
    RunSession(const RunSession&) = delete;
    RunSession& operator=(const RunSession&) = delete;

    // [main-thread] One turn as above, sleeping at most maxWait seconds. False once the user
    // asked to quit.
    bool turn(double maxWait);
    // [main-thread] One event of the window.
    void handle(const SDL_Event& e);

    // [main-thread] What the loop did so far, and whether its last turn drew nothing.
    uint64_t renders() const { return _renders; }
    uint64_t presents() const { return _presents; }
    bool idle() const { return _idle; }
    CARenderer& renderer() { return _renderer; }

  private:
    class Waiter;
    // All [main-thread].
    void drawIfDue(double now);
    void updateTitle(double now);
    bool frameDue(double now) const;
    CGPoint toPoints(int x, int y) const;
    CGPoint cursor() const;
    void key(int sym);

    HostScene& _scene;
    SDLWindow& _window;
    CARenderer _renderer;
    std::unique_ptr<Waiter> _waiter;
    std::function<void(const std::string&)> _say;
    std::string _title;
    double _period;
    double _nextAllowed = 0;  // the earliest time of the next frame (the fps limit)
    bool _running = true, _hidden = false, _pausedWhileHidden = false, _userPaused = false;
    bool _pressed = false, _shown = false, _idle = false;
    uint64_t _renders = 0, _presents = 0;
    int _presentsSinceTitle = 0;
    double _lastTitle = 0, _lastFrameMs = 0;
};

}  // namespace host
