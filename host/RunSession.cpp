#include "RunSession.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "Foundation/NSRunLoop.h"
#include "QuartzCore/CABase.h"

namespace host {

namespace {
constexpr double kTitleInterval = 0.5;  // seconds between fps readings in the title
constexpr double kLongestSleep = 60;    // a static wallpaper still looks around once a minute
constexpr double kShortestSleep = 0.001;

std::string format(const char* fmt, double a, double b = 0, double c = 0) {
    char line[256];
    std::snprintf(line, sizeof line, fmt, a, b, c);
    return line;
}
}  // namespace

// Blocks the main run loop on SDL's event queue where SDL sleeps on the display connection,
// else on a condition variable; wake() posts an event of its own (and signals).
class RunSession::Waiter : public NSRunLoopWaiter {
  public:
    explicit Waiter(bool onDisplay) : _onDisplay(onDisplay), _wakeType(SDL_RegisterEvents(1)) {}
    void wait(double seconds) override {
        seconds = std::clamp(seconds, 0.0, kLongestSleep);
        if (_onDisplay) {
            int ms = int(std::ceil(seconds * 1000));
            SDL_WaitEventTimeout(nullptr, std::max(ms, 1));
            return;
        }
        std::unique_lock lk(_m);
        _cv.wait_for(lk, std::chrono::duration<double>(seconds), [&] { return _woken; });
        _woken = false;
    }
    void wake() override {
        if (_onDisplay) {
            if (_wakeType == Uint32(-1)) return;
            SDL_Event e{};
            e.type = _wakeType;
            SDL_PushEvent(&e);
            return;
        }
        {
            std::lock_guard lk(_m);
            _woken = true;
        }
        _cv.notify_all();
    }

  private:
    bool _onDisplay;
    Uint32 _wakeType;
    std::mutex _m;
    std::condition_variable _cv;
    bool _woken = false;
};

RunSession::RunSession(HostScene& scene, SDLWindow& window, int fps, std::string title,
                       std::function<void(const std::string&)> say)
    : _scene(scene),
      _window(window),
      _renderer(scene.screen().pixelWidth(), scene.screen().pixelHeight(), scene.screen().scale),
      _waiter(std::make_unique<Waiter>(window.waitsOnDisplay())),
      _say(std::move(say)),
      _title(std::move(title)),
      _period(1.0 / std::clamp(fps, 1, 240)) {
    NSRunLoop::mainRunLoop()->setWaiter(_waiter.get());
    _lastTitle = CACurrentMediaTime();
}

RunSession::~RunSession() {
    NSRunLoop::mainRunLoop()->setWaiter(nullptr);
}

bool RunSession::frameDue(double now) const {
    return !_hidden && now >= _nextAllowed &&
           (_window.stale() || _renderer.needsFrame(_scene.window()->layer(), now));
}

void RunSession::drawIfDue(double now) {
    if (!frameDue(now)) return;
    auto r0 = std::chrono::steady_clock::now();
    CARenderFrame f = _renderer.renderFrame(_scene.window()->layer(), now);
    ++_renders;
    _nextAllowed = now + _period;
    if (f.damage.empty() && !_window.stale()) return;
    _window.present(_renderer.pixels(), _renderer.stride(), f.damage, f.full);
    _lastFrameMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - r0).count();
    ++_presents;
    ++_presentsSinceTitle;
}

void RunSession::updateTitle(double now) {
    if (now - _lastTitle < kTitleInterval) return;
    bool drew = _presentsSinceTitle > 0;
    if (drew) {
        _window.setTitle(_title + format(" - %.1f fps, frame %.1f ms",
                                         _presentsSinceTitle / (now - _lastTitle), _lastFrameMs));
        _idle = false;
    } else if (!_idle) {
        _window.setTitle(_title + " - idle");
        _idle = true;
    }
    _lastTitle = now;
    _presentsSinceTitle = 0;
}

bool RunSession::turn(double maxWait) {
    SDL_Event e;
    while (_running && SDL_PollEvent(&e)) handle(e);
    if (!_running) return false;

    double now = CACurrentMediaTime();
    drawIfDue(now);
    updateTitle(now);

    // Sleep until the next frame may be drawn (when one is needed), the tree's next change,
    // the next title reading while frames are drawn, or an event; the run loop wakes itself for
    // its timers and for work posted to it.
    CALayer* root = _scene.window()->layer();
    double wake;
    if (_hidden)
        wake = INFINITY;
    else if (_window.stale() || _renderer.needsFrame(root, now))
        wake = _nextAllowed;
    else
        wake = std::max(_renderer.nextChangeTime(), _nextAllowed);
    if (!_idle) wake = std::min(wake, _lastTitle + kTitleInterval);
    double wait = std::clamp(wake - now, kShortestSleep, std::max(maxWait, kShortestSleep));
    NSRunLoop::mainRunLoop()->runUntil(
        [&] {
            return SDL_HasEvents(SDL_FIRSTEVENT, SDL_LASTEVENT) == SDL_TRUE ||
                   frameDue(CACurrentMediaTime());
        },
        wait);
    return _running;
}

CGPoint RunSession::toPoints(int x, int y) const {
    double fx, fy;
    _window.toFramePixels(x, y, &fx, &fy);
    double s = _scene.screen().scale;
    return CGPointMake(fx / s, fy / s);
}

CGPoint RunSession::cursor() const {
    int x = 0, y = 0;
    SDL_GetMouseState(&x, &y);
    return toPoints(x, y);
}

void RunSession::handle(const SDL_Event& e) {
    auto animating = [&] { return _scene.isAnimating() ? "yes" : "no"; };
    auto pt = [](CGPoint p) { return format("(%g, %g)", p.x, p.y); };
    switch (e.type) {
        case SDL_QUIT:
            _running = false;
            break;
        case SDL_WINDOWEVENT:
            switch (e.window.event) {
                case SDL_WINDOWEVENT_HIDDEN:
                case SDL_WINDOWEVENT_MINIMIZED:
                    // (X11 shows, hides and shows a new window before its first exposure; only
                    // a window that has been drawn on can be hidden.)
                    if (!_hidden && _shown) {
                        _hidden = true;
                        _pausedWhileHidden = _scene.isAnimating();
                        if (_pausedWhileHidden) _scene.pauseAnimating();
                        _say(std::string("window hidden: ") +
                             (_pausedWhileHidden ? "paused" : "not animating"));
                    }
                    break;
                case SDL_WINDOWEVENT_SHOWN:
                case SDL_WINDOWEVENT_RESTORED:
                case SDL_WINDOWEVENT_EXPOSED:
                    if (e.window.event == SDL_WINDOWEVENT_EXPOSED) {
                        _shown = true;
                        _window.invalidate();  // what the window showed may be gone
                    }
                    if (_hidden) {
                        _hidden = false;
                        _window.invalidate();
                        if (_pausedWhileHidden) _scene.resumeAnimating();
                        _say(std::string("window shown: ") +
                             (_pausedWhileHidden ? "resumed" : "as it was"));
                        _pausedWhileHidden = false;
                    }
                    break;
                case SDL_WINDOWEVENT_SIZE_CHANGED:
                    _window.invalidate();
                    break;
                default:
                    break;
            }
            break;
        case SDL_MOUSEBUTTONDOWN:
            if (e.button.button == SDL_BUTTON_LEFT) {
                CGPoint p = toPoints(e.button.x, e.button.y);
                _pressed = _scene.touchBegan(p);
                _say("touch began at " + pt(p) + " on " +
                     (_pressed ? _scene.lastTouchedClass() : std::string("nothing")) +
                     "; animating: " + animating());
            }
            break;
        case SDL_MOUSEMOTION:
            if (_pressed && (e.motion.state & SDL_BUTTON_LMASK))
                _scene.touchMoved(toPoints(e.motion.x, e.motion.y));
            break;
        case SDL_MOUSEBUTTONUP:
            if (e.button.button == SDL_BUTTON_LEFT && _pressed) {
                _pressed = false;
                CGPoint p = toPoints(e.button.x, e.button.y);
                _scene.touchEnded(p);
                _say("touch ended at " + pt(p));
            }
            break;
        case SDL_KEYDOWN:
            key(e.key.keysym.sym);
            break;
        default:
            break;
    }
}

void RunSession::key(int k) {
    auto animating = [&] { return std::string(_scene.isAnimating() ? "yes" : "no"); };
    auto pt = [](CGPoint p) { return format("(%g, %g)", p.x, p.y); };
    if (k == SDLK_q || k == SDLK_ESCAPE) {
        _running = false;
    } else if (k == SDLK_SPACE) {
        if (_userPaused)
            _scene.resumeAnimating();
        else
            _scene.pauseAnimating();
        _userPaused = !_userPaused;
        _say(std::string(_userPaused ? "pauseAnimating" : "resumeAnimating") +
             "; animating: " + animating());
    } else if (k == SDLK_s) {
        bool was = _scene.isAnimating();
        if (was)
            _scene.stopAnimating();
        else
            _scene.startAnimating();
        _userPaused = false;
        _say(std::string(was ? "stopAnimating" : "startAnimating") + "; animating: " + animating());
    } else if (k == SDLK_f) {
        _scene.doAnimating();
        _say("doAnimating");
    } else if (k == SDLK_PLUS || k == SDLK_EQUALS || k == SDLK_KP_PLUS || k == SDLK_MINUS ||
               k == SDLK_KP_MINUS) {
        bool up = k == SDLK_PLUS || k == SDLK_EQUALS || k == SDLK_KP_PLUS;
        double s = _scene.view()->scale() * (up ? 1.25 : 0.8);
        _scene.setScale(s);
        _say(format("setScale %g", s));
    } else if (k == SDLK_t) {
        CGPoint p = cursor();
        _scene.tap(p);
        _say("tap at " + pt(p) + " on " +
             (_scene.lastTouchedClass().empty() ? std::string("nothing")
                                                : _scene.lastTouchedClass()) +
             "; animating: " + animating());
    } else if (k >= SDLK_0 && k <= SDLK_9) {
        CGPoint p = cursor();
        _scene.gesture(int32_t(k - SDLK_0), p);
        _say("gestureAction " + std::to_string(k - SDLK_0) + " at " + pt(p) +
             "; animating: " + animating());
    } else if (k == SDLK_o) {
        _scene.openSettingMenu();
        _say("openSettingMenu");
    }
}

}  // namespace host
