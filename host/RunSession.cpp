#include "RunSession.h"

#include <SDL.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "Commands.h"

namespace host {

namespace {
constexpr double kTitleInterval = 0.5;  // seconds between fps readings in the title
constexpr double kLongestSleep = 60;    // a static wallpaper still looks around once a minute
constexpr double kShortestSleep = 0.001;
constexpr double kFirstRestart = 1.0;  // seconds before the first automatic restart, doubled
constexpr double kLastRestart = 30.0;  // up to this
constexpr double kSteadyRun = 30.0;    // a wallpaper that ran this long starts the back-off anew
constexpr double kQuietBeforeReload = 0.25;  // seconds the bundle folder stays unchanged first
constexpr double kWatchLook = 0.1;           // how often a watching loop looks at the folder

std::string format(const char* fmt, double a, double b = 0, double c = 0) {
    char line[256];
    std::snprintf(line, sizeof line, fmt, a, b, c);
    return line;
}

// The protocol operation's name, as the view's method is called.
const char* opName(WallpaperRequest::Op op) {
    using Op = WallpaperRequest::Op;
    switch (op) {
        case Op::isAnimating:
            return "isAnimating";
        case Op::startAnimating:
            return "startAnimating";
        case Op::pauseAnimating:
            return "pauseAnimating";
        case Op::resumeAnimating:
            return "resumeAnimating";
        case Op::stopAnimating:
            return "stopAnimating";
        case Op::doAnimating:
            return "doAnimating";
        case Op::scrollingDidFinish:
            return "scrollingDidFinish";
        case Op::tapActionAtViewPoint:
            return "tapActionAtViewPoint";
        case Op::gestureAction:
            return "gestureAction";
        case Op::openSettingMenu:
            return "openSettingMenu";
        case Op::setScale:
            return "setScale";
        case Op::setOffset:
            return "setOffset";
        case Op::setSpeedLevel:
            return "setSpeedLevel";
        case Op::setTapClipRect:
            return "setTapClipRect";
        case Op::touchBegan:
            return "touchBegan";
        case Op::touchMoved:
            return "touchMoved";
        case Op::touchEnded:
            return "touchEnded";
        case Op::touchCancelled:
            return "touchCancelled";
    }
    return "?";
}

// "> tapActionAtViewPoint (100, 200) -> UIImageView": one call the tool made and what came back.
std::string callLine(const WallpaperRequest& r, bool answered, const WallpaperEvent& reply) {
    using Op = WallpaperRequest::Op;
    char args[96] = "";
    switch (r.op) {
        case Op::tapActionAtViewPoint:
        case Op::touchBegan:
        case Op::touchMoved:
        case Op::touchEnded:
        case Op::touchCancelled:
            std::snprintf(args, sizeof args, " (%g, %g)", r.point.x, r.point.y);
            break;
        case Op::gestureAction:
            std::snprintf(args, sizeof args, " %lld at (%g, %g)", static_cast<long long>(r.integer),
                          r.point.x, r.point.y);
            break;
        case Op::scrollingDidFinish:
        case Op::setScale:
        case Op::setOffset:
            std::snprintf(args, sizeof args, " %g", r.value);
            break;
        case Op::setSpeedLevel:
            std::snprintf(args, sizeof args, " %lld", static_cast<long long>(r.integer));
            break;
        case Op::setTapClipRect:
            std::snprintf(args, sizeof args, " (%g, %g, %g, %g)", r.rect.origin.x, r.rect.origin.y,
                          r.rect.size.width, r.rect.size.height);
            break;
        default:
            break;
    }
    std::string line = std::string("> ") + opName(r.op) + args;
    if (!answered) return line + " -> no answer";
    switch (r.op) {
        case Op::isAnimating:
            return line + (reply.value ? " -> yes" : " -> no");
        case Op::tapActionAtViewPoint:
        case Op::touchBegan:
            // The view the point landed on, or nothing (outside the tap area, no view there).
            return line + " -> " +
                   (reply.text.empty() || (r.op == Op::touchBegan && !reply.value)
                        ? std::string("nothing")
                        : reply.text);
        default:
            return line;
    }
}

// CLOCK_MONOTONIC seconds: the media clock of a wallpaper process on the real clock.
double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}
}  // namespace

// Turns "the wallpaper process has something to say" into an SDL event, so that where SDL
// sleeps on the display connection the loop blocks on SDL's queue alone. After a wake-up it
// waits until the loop watches again.
class RunSession::Watcher {
  public:
    Watcher() : _wakeType(SDL_RegisterEvents(1)), _stop(eventfd(0, EFD_CLOEXEC)) {
        _thread = std::thread([this] { run(); });
    }
    ~Watcher() {
        set(kQuit);
        _thread.join();
        close(_stop);
    }
    // [main-thread] The descriptor to watch (-1: none); also says the last wake-up was handled.
    void watch(int fd) { set(fd); }
    Uint32 wakeType() const { return _wakeType; }

  private:
    static constexpr int kQuit = -2;

    void set(int fd) {
        bool moved;
        {
            std::lock_guard lk(_m);
            moved = fd != _fd;
            _fd = fd;
            _handled = true;
        }
        _cv.notify_all();
        if (moved) {  // a poll in progress looks again
            uint64_t one = 1;
            ssize_t rc = write(_stop, &one, sizeof one);
            (void)rc;
        }
    }

    void run() {
        for (;;) {
            int fd;
            {
                std::unique_lock lk(_m);
                _cv.wait(lk, [&] { return _handled; });
                fd = _fd;
            }
            if (fd == kQuit) return;
            pollfd p[2] = {{_stop, POLLIN, 0}, {fd, POLLIN, 0}};
            int n = poll(p, fd >= 0 ? 2 : 1, -1);
            if (n > 0 && (p[0].revents & POLLIN)) {
                uint64_t v;
                ssize_t rc = read(_stop, &v, sizeof v);
                (void)rc;
                continue;
            }
            if (n > 0 && fd >= 0 && p[1].revents) {
                {
                    std::lock_guard lk(_m);
                    if (_fd != fd) continue;
                    _handled = false;
                }
                if (_wakeType == Uint32(-1)) continue;
                SDL_Event e{};
                e.type = _wakeType;
                SDL_PushEvent(&e);
            }
        }
    }

    Uint32 _wakeType;
    int _stop;
    int _fd = -1;
    bool _handled = true;
    std::mutex _m;
    std::condition_variable _cv;
    std::thread _thread;
};

std::unique_ptr<RunSession> RunSession::start(const WallpaperOptions& options, SDLWindow& window,
                                              int fps, std::string title,
                                              std::function<void(const std::string&)> say,
                                              std::string* error) {
    std::unique_ptr<RunSession> s(
        new RunSession(options, window, fps, std::move(title), std::move(say)));
    s->_wp = WallpaperProcess::spawn(options, error);
    if (!s->_wp) return nullptr;
    s->_startedAt = now();
    return s;
}

RunSession::RunSession(const WallpaperOptions& options, SDLWindow& window, int fps,
                       std::string title, std::function<void(const std::string&)> say)
    : _options(options),
      _window(window),
      _watcher(window.waitsOnDisplay() ? std::make_unique<Watcher>() : nullptr),
      _say(std::move(say)),
      _title(std::move(title)),
      _period(1.0 / std::clamp(fps, 1, 240)) {
    _lastTitle = now();
}

RunSession::~RunSession() {
    if (_inotify >= 0) close(_inotify);
    _watcher.reset();
    _wp.reset();  // the process and everything it started end here
}

bool RunSession::call(WallpaperRequest::Op op, WallpaperEvent* reply, CGPoint point, double value,
                      int64_t integer) {
    if (!_wp || !_wp->alive()) return false;
    WallpaperRequest r;
    r.op = op;
    r.point = point;
    r.value = value;
    r.integer = integer;
    WallpaperEvent ignored;
    if (!reply) reply = &ignored;
    std::string error;
    // (What a request changes, the wallpaper process says with a Changed event.)
    bool ok = _wp->call(r, _options.hangTimeout, reply, &error);
    // Every call the tool makes is shown as it is made (frames are asked for otherwise).
    _say(callLine(r, ok, *reply));
    if (!ok) ended();
    return ok;
}

// Asked after what the user did, so that the call log shows whether the view animates now.
const char* RunSession::animating() {
    WallpaperEvent e;
    if (!call(WallpaperRequest::Op::isAnimating, &e)) return "unknown";
    return e.value ? "yes" : "no";
}

void RunSession::frame(const WallpaperEvent& e) {
    _rendering = false;
    ++_renders;
    _nextChange = e.nextChange;
    bool all = _window.stale();
    if (!e.damage.empty() || all) {
        std::vector<bd::PixelRect> rects;
        for (const WallpaperRect& r : e.damage) rects.push_back({r.x, r.y, r.width, r.height});
        _window.present(_wp->bufferPixels(e.buffer), _wp->stride(), rects, all);
        _lastFrameMs = e.renderMs;
        ++_presents;
        ++_presentsSinceTitle;
    }
    // The window shows this buffer now; the one it showed goes back to the wallpaper.
    if (_front >= 0) _wp->releaseBuffer(_front);
    _front = e.buffer;
}

void RunSession::events() {
    if (!_wp) return;
    for (const WallpaperEvent& e : _wp->handle()) {
        switch (e.kind) {
            case WallpaperEvent::Kind::FrameReady:
                frame(e);
                break;
            case WallpaperEvent::Kind::Reply:
                _rendering = false;  // a frame refused ("no free buffer"): ask again
                break;
            case WallpaperEvent::Kind::Changed:
                _changed = true;
                break;
            case WallpaperEvent::Kind::Log:
                if (showWallpaperLine(e.text)) std::fprintf(stderr, "%s\n", e.text.c_str());
                break;
            case WallpaperEvent::Kind::Denied:
                _say("sandbox: the wallpaper was refused: " + e.text);
                break;
            case WallpaperEvent::Kind::Busy:
                _say(e.text);
                break;
            case WallpaperEvent::Kind::Ended:
                break;
        }
    }
    if (!_wp->alive()) ended();
}

// The wallpaper ended: the window keeps its last frame (the ended process's buffers stay
// mapped until the next one starts) and says so; a restart follows, later each time.
void RunSession::ended() {
    if (!_endText.empty() || !_wp || _wp->alive()) return;
    _endText = _wp->end().text;
    if (now() - _startedAt >= kSteadyRun) _backoff = kFirstRestart;
    _restartAt = now() + _backoff;
    _say(_endText + format("; restarting in %g s (r restarts now)", _backoff));
    _window.setTitle(_title + " - " + _endText);
    _backoff = std::min(_backoff * 2, kLastRestart);
    _rendering = false;
    _pressed = false;
    if (_watcher) _watcher->watch(-1);
}

bool RunSession::watchBundle(std::string* error) {
    _inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (_inotify < 0) {
        *error = std::string("inotify: ") + std::strerror(errno);
        return false;
    }
    // The folder itself: a build replaces files (a new library is written and renamed, or
    // unlinked and made anew), which a watch on the files would lose.
    uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE |
                    IN_ATTRIB | IN_MODIFY;
    if (inotify_add_watch(_inotify, _options.bundlePath.c_str(), mask) < 0) {
        *error = "cannot watch " + _options.bundlePath + ": " + std::strerror(errno);
        close(_inotify);
        _inotify = -1;
        return false;
    }
    return true;
}

void RunSession::checkWatch(double t) {
    if (_inotify < 0) return;
    alignas(inotify_event) char buf[4096];
    bool changed = false;
    for (ssize_t n; (n = read(_inotify, buf, sizeof buf)) > 0;) changed = true;
    if (changed) _changedAt = t;
    if (t - _changedAt < kQuietBeforeReload) return;
    _changedAt = INFINITY;
    _say("the bundle changed: reloading the wallpaper");
    double scale = _scale;
    _backoff = kFirstRestart;
    _pressed = false;
    restart();
    ++_reloads;
    if (scale != 1 && _wp && _wp->alive()) {
        _scale = scale;
        call(WallpaperRequest::Op::setScale, nullptr, {}, _scale);
    }
}

void RunSession::restart() {
    std::string why;
    std::unique_ptr<WallpaperProcess> fresh = WallpaperProcess::spawn(_options, &why);
    if (!fresh) {
        _restartAt = now() + _backoff;
        _say(why + format("; restarting in %g s (r restarts now)", _backoff));
        _window.setTitle(_title + " - " + why);
        _backoff = std::min(_backoff * 2, kLastRestart);
        return;
    }
    _wp = std::move(fresh);  // the ended one goes, with its buffers
    _front = -1;
    _startedAt = now();
    _restartAt = INFINITY;
    _endText.clear();
    _changed = true;
    _rendering = false;
    _nextChange = 0;
    _userPaused = false;
    _scale = 1;
    ++_restarts;
    _window.invalidate();
    call(WallpaperRequest::Op::startAnimating);
    _say("restarted the wallpaper");
    _window.setTitle(_title);
    _idle = false;
}

void RunSession::askIfDue(double t) {
    if (!_wp || !_wp->alive() || _hidden || _rendering || t < _nextAllowed) return;
    if (!_changed && t < _nextChange) return;
    _changed = false;
    _nextChange = INFINITY;
    _rendering = _wp->renderFrame() != 0;
    _nextAllowed = t + _period;
}

void RunSession::updateTitle(double t) {
    if (t - _lastTitle < kTitleInterval || !_endText.empty()) return;
    bool drew = _presentsSinceTitle > 0;
    if (drew) {
        _window.setTitle(_title + format(" - %.1f fps, frame %.1f ms",
                                         _presentsSinceTitle / (t - _lastTitle), _lastFrameMs));
        _idle = false;
    } else if (!_idle) {
        _window.setTitle(_title + " - idle");
        _idle = true;
    }
    _lastTitle = t;
    _presentsSinceTitle = 0;
}

void RunSession::sleep(double seconds) {
    int ms = std::max(1, int(std::ceil(std::clamp(seconds, 0.0, kLongestSleep) * 1000)));
    int fd = _wp && _wp->alive() ? _wp->fd() : -1;
    if (_watcher) {
        // SDL sleeps on the display connection; the watcher wakes it for the wallpaper.
        _watcher->watch(fd);
        SDL_WaitEventTimeout(nullptr, ms);
        return;
    }
    // Other drivers poll for their events: sleep on the wallpaper process instead.
    pollfd p{fd, POLLIN, 0};
    if (fd >= 0)
        poll(&p, 1, ms);
    else
        usleep(useconds_t(ms) * 1000);
}

bool RunSession::turn(double maxWait) {
    SDL_Event e;
    while (_running && SDL_PollEvent(&e)) handle(e);
    events();
    if (!_running) return false;

    double t = now();
    if (_wp && !_wp->alive() && t >= _restartAt) {
        _say("restarting the wallpaper after " + _endText);
        restart();
    }
    // An exposed window shows again what it showed, from the buffer it holds.
    if (_window.stale() && _front >= 0 && _wp) {
        _window.present(_wp->bufferPixels(_front), _wp->stride(), {}, true);
        ++_presents;
    }
    checkWatch(t);
    askIfDue(t);
    updateTitle(t);

    // Sleep until the next frame may be asked for (when one is needed), the scene's next
    // change, the next title reading while frames come, the process's own watches, a restart,
    // or an event.
    double wake = INFINITY;
    bool alive = _wp && _wp->alive();
    if (!alive)
        wake = _restartAt;
    else if (!_hidden && !_rendering)
        wake = _changed ? _nextAllowed : std::max(_nextChange, _nextAllowed);
    if (alive) {
        int ms = _wp->timeoutMs();
        if (ms >= 0) wake = std::min(wake, t + ms / 1000.0);
    }
    if (!_idle && alive) wake = std::min(wake, _lastTitle + kTitleInterval);
    if (_inotify >= 0) wake = std::min(wake, t + kWatchLook);
    sleep(std::clamp(wake - t, kShortestSleep, std::max(maxWait, kShortestSleep)));
    return _running;
}

CGPoint RunSession::toPoints(int x, int y) const {
    double fx, fy;
    _window.toFramePixels(x, y, &fx, &fy);
    double s = _options.screen.scale;
    return CGPointMake(fx / s, fy / s);
}

CGPoint RunSession::cursor() const {
    int x = 0, y = 0;
    SDL_GetMouseState(&x, &y);
    return toPoints(x, y);
}

void RunSession::handle(const SDL_Event& e) {
    using Op = WallpaperRequest::Op;
    if (_watcher && e.type == _watcher->wakeType()) return;  // events() looks next
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
                        WallpaperEvent a;
                        _pausedWhileHidden = call(Op::isAnimating, &a) && a.value;
                        if (_pausedWhileHidden) call(Op::pauseAnimating);
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
                        if (_pausedWhileHidden) call(Op::resumeAnimating);
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
            if (e.button.button == SDL_BUTTON_LEFT && _tapOnClick) {
                _pressed = false;  // the release taps
            } else if (e.button.button == SDL_BUTTON_LEFT) {
                CGPoint p = toPoints(e.button.x, e.button.y);
                WallpaperEvent r;
                _pressed = call(Op::touchBegan, &r, p) && r.value;
                animating();
            }
            break;
        case SDL_MOUSEMOTION:
            if (_pressed && (e.motion.state & SDL_BUTTON_LMASK))
                call(Op::touchMoved, nullptr, toPoints(e.motion.x, e.motion.y));
            break;
        case SDL_MOUSEBUTTONUP:
            if (e.button.button == SDL_BUTTON_LEFT && _tapOnClick) {
                CGPoint p = toPoints(e.button.x, e.button.y);
                WallpaperEvent r;
                call(Op::tapActionAtViewPoint, &r, p);
                animating();
            } else if (e.button.button == SDL_BUTTON_LEFT && _pressed) {
                _pressed = false;
                CGPoint p = toPoints(e.button.x, e.button.y);
                call(Op::touchEnded, nullptr, p);
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
    using Op = WallpaperRequest::Op;
    if (k == SDLK_q || k == SDLK_ESCAPE) {
        _running = false;
    } else if (k == SDLK_r) {
        _say("restarting the wallpaper");
        _backoff = kFirstRestart;
        _pressed = false;
        restart();
    } else if (!_wp || !_wp->alive()) {
        _say("the wallpaper is not running (r restarts it)");
    } else if (k == SDLK_SPACE) {
        call(_userPaused ? Op::resumeAnimating : Op::pauseAnimating);
        _userPaused = !_userPaused;
        animating();
    } else if (k == SDLK_s) {
        WallpaperEvent a;
        bool was = call(Op::isAnimating, &a) && a.value;
        call(was ? Op::stopAnimating : Op::startAnimating);
        _userPaused = false;
        animating();
    } else if (k == SDLK_f) {
        call(Op::doAnimating);
    } else if (k == SDLK_PLUS || k == SDLK_EQUALS || k == SDLK_KP_PLUS || k == SDLK_MINUS ||
               k == SDLK_KP_MINUS) {
        bool up = k == SDLK_PLUS || k == SDLK_EQUALS || k == SDLK_KP_PLUS;
        _scale *= up ? 1.25 : 0.8;
        call(Op::setScale, nullptr, {}, _scale);
    } else if (k == SDLK_t) {
        CGPoint p = cursor();
        WallpaperEvent r;
        call(Op::tapActionAtViewPoint, &r, p);
        animating();
    } else if (k >= SDLK_0 && k <= SDLK_9) {
        CGPoint p = cursor();
        call(Op::gestureAction, nullptr, p, 0, int64_t(k - SDLK_0));
        animating();
    } else if (k == SDLK_c) {
        _tapOnClick = !_tapOnClick;
        _say(_tapOnClick ? "clicks are taps (tapActionAtViewPoint:)" : "clicks are touches");
    } else if (k == SDLK_o) {
        call(Op::openSettingMenu);
    }
}

}  // namespace host
