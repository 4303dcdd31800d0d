// `backdrop run BUNDLE`: the wallpaper live in a window (SDL2) on the real clock, behind the
// launcher's icons. The wallpaper runs in a wallpaper process of its own; mouse presses, drags
// and releases become touches and keys protocol operations, sent to it. It renders when it
// changed or when it said it would change, into shared buffers the window shows. When it
// crashes, exits or hangs, the window keeps its last frame, says what happened in its title
// and on stdout, and restarts it (at once with `r`, else after 1, 2, 4 ... 30 s).

#include <SDL.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "Commands.h"
#include "Foundation/NSObject.h"
#include "HostScene.h"
#include "wallpaper/WallpaperProcess.h"

namespace {

using host::fail;
using Op = host::WallpaperRequest::Op;
using Clock = std::chrono::steady_clock;

constexpr double kFramePeriod = 1.0 / 60;
constexpr double kFirstRestart = 1.0;  // seconds before the first automatic restart, doubled
constexpr double kLastRestart = 30.0;  // up to this
constexpr double kSteadyRun = 30.0;    // a wallpaper that ran this long starts the back-off anew

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stdout, fmt, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

double now() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// CLOCK_MONOTONIC seconds: the media clock of a wallpaper process on the real clock.
double monotonicNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Turns "the wallpaper process has something to say" into an SDL event, so the window's loop
// blocks on SDL's queue alone. After a wake-up it waits until the loop watches again.
class WallpaperWatcher {
  public:
    explicit WallpaperWatcher(Uint32 wakeType) : _wakeType(wakeType) {
        _stop = eventfd(0, EFD_CLOEXEC);
        _thread = std::thread([this] { run(); });
    }
    ~WallpaperWatcher() {
        set(kQuit);
        _thread.join();
        close(_stop);
    }
    // [main-thread] The descriptor to watch (-1: none); also says the last wake-up was handled.
    void watch(int fd) { set(fd); }

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
                SDL_Event e{};
                e.type = _wakeType;
                SDL_PushEvent(&e);
            }
        }
    }

    Uint32 _wakeType;
    int _stop = -1;
    int _fd = -1;
    bool _handled = true;
    std::mutex _m;
    std::condition_variable _cv;
    std::thread _thread;
};

// The wallpaper as `run` drives it: its process, its state, and restarts after it ends.
struct Session {
    host::WallpaperOptions options;
    std::unique_ptr<host::WallpaperProcess> wp;
    std::string title;  // the window's base title
    std::string endText;
    double startedAt = 0, restartAt = INFINITY, backoff = kFirstRestart;
    double nextChange = INFINITY, lastRender = -INFINITY;
    bool changed = true, rendering = false;
    int framesSinceTitle = 0;
    double lastTitle = 0, lastFrameMs = 0;

    bool start(std::string* error) {
        wp = host::WallpaperProcess::spawn(options, error);
        if (!wp) return false;
        startedAt = now();
        restartAt = INFINITY;
        endText.clear();
        changed = true;
        rendering = false;
        nextChange = INFINITY;
        return true;
    }
    bool alive() const { return wp && wp->alive(); }
    // A request answered before the next step; false (and the wallpaper is marked ended) when
    // it was not.
    bool call(Op op, host::WallpaperEvent* reply = nullptr, CGPoint p = {}, double v = 0,
              int64_t i = 0) {
        if (!alive()) return false;
        host::WallpaperRequest r;
        r.op = op;
        r.point = p;
        r.value = v;
        r.integer = i;
        host::WallpaperEvent e;
        std::string error;
        bool ok = wp->call(r, options.hangTimeout, reply ? reply : &e, &error);
        changed = true;  // what a request does shows in the next frame
        return ok;
    }
    const char* animating() {
        host::WallpaperEvent e;
        if (!call(Op::isAnimating, &e)) return "unknown";
        return e.value ? "yes" : "no";
    }
};

int run(const std::string& bundlePath, const std::string& screenText,
        const host::ProcessFlags& flags) {
    NSAutoreleasePool pool;
    host::ScreenSpec screen;
    std::string error;
    if (!host::parseScreen(screenText, &screen, &error)) {
        std::fprintf(stderr, "backdrop: %s\n", error.c_str());
        return host::kExitUsage;
    }
    Session session;
    if (!host::applyProcessFlags(flags, &session.options, &error))
        return fail(error, host::kExitUsage);
    std::error_code ec;
    if (!std::filesystem::is_directory(bundlePath, ec))
        return fail("not a bundle directory: " + bundlePath);
    auto set = [](const char* name) {
        const char* v = SDL_getenv(name);
        return v && *v;
    };
    if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("SDL_VIDEODRIVER"))
        return fail("no display to open a window on (set DISPLAY or WAYLAND_DISPLAY)");
    if (SDL_Init(SDL_INIT_VIDEO) != 0)
        return fail(std::string("no display to open a window on (") + SDL_GetError() + ")");
    // With no display SDL falls back to drawing nowhere; only a user who asks for that gets it.
    const char* driver = SDL_GetCurrentVideoDriver();
    const char* asked = SDL_getenv("SDL_VIDEODRIVER");
    if (driver && (SDL_strcmp(driver, "offscreen") == 0 || SDL_strcmp(driver, "dummy") == 0) &&
        !(asked && SDL_strcasecmp(asked, driver) == 0)) {
        SDL_Quit();
        return fail("no display to open a window on (set DISPLAY or WAYLAND_DISPLAY)");
    }

    const int pw = screen.pixelWidth(), ph = screen.pixelHeight();
    // The window shows the screen pixel for pixel, made smaller if the display can't hold it.
    int ww = pw, wh = ph;
    SDL_Rect usable;
    if (SDL_GetDisplayUsableBounds(0, &usable) == 0 && usable.w > 0 && usable.h > 0) {
        double fit = std::min({1.0, double(usable.w) / pw, double(usable.h) / ph});
        ww = std::max(1, int(pw * fit));
        wh = std::max(1, int(ph * fit));
    }
    std::string name = std::filesystem::path(bundlePath).filename().string();
    if (name.empty()) name = std::filesystem::path(bundlePath).parent_path().filename().string();
    session.title = "Backdrop - " + name;
    SDL_Window* window = SDL_CreateWindow(session.title.c_str(), SDL_WINDOWPOS_CENTERED,
                                          SDL_WINDOWPOS_CENTERED, ww, wh, SDL_WINDOW_RESIZABLE);
    if (!window) {
        std::string why = SDL_GetError();
        SDL_Quit();
        return fail("no display to open a window on (" + why + ")");
    }
    // Frames arrive as finished bitmaps: SDL's software renderer copies them to the window
    // without starting a GL driver and its threads.
    SDL_Renderer* sdl = SDL_CreateRenderer(window, -1, SDL_RENDERER_SOFTWARE);
    if (!sdl) sdl = SDL_CreateRenderer(window, -1, 0);
    SDL_Texture* texture =
        sdl ? SDL_CreateTexture(sdl, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING, pw, ph)
            : nullptr;
    if (!texture) {
        std::string why = SDL_GetError();
        if (sdl) SDL_DestroyRenderer(sdl);
        SDL_DestroyWindow(window);
        SDL_Quit();
        return fail("cannot draw into the window (" + why + ")");
    }

    int status = 0;
    session.options.bundlePath = bundlePath;
    session.options.screen = screen;
    session.options.icons = true;
    if (!session.start(&error)) {
        status = fail(error);
    } else {
        const Uint32 wakeType = SDL_RegisterEvents(1);
        WallpaperWatcher watcher(wakeType);
        watcher.watch(session.wp->fd());

        // Window pixels -> screen points.
        auto toPoints = [&](int x, int y) {
            int cw = 1, ch = 1;
            SDL_GetWindowSize(window, &cw, &ch);
            return CGPointMake(x * screen.width / std::max(cw, 1),
                               y * screen.height / std::max(ch, 1));
        };
        auto cursor = [&] {
            int x = 0, y = 0;
            SDL_GetMouseState(&x, &y);
            return toPoints(x, y);
        };
        auto present = [&] {
            SDL_RenderClear(sdl);
            SDL_RenderCopy(sdl, texture, nullptr, nullptr);
            SDL_RenderPresent(sdl);
        };
        // The wallpaper ended: the window keeps its last frame and says so; a restart follows.
        auto ended = [&] {
            if (!session.endText.empty()) return;
            session.endText = session.wp ? session.wp->end().text : "the wallpaper is gone";
            if (now() - session.startedAt >= kSteadyRun) session.backoff = kFirstRestart;
            session.restartAt = now() + session.backoff;
            say("%s; restarting in %g s (r restarts now)", session.endText.c_str(),
                session.backoff);
            SDL_SetWindowTitle(window, (session.title + " - " + session.endText).c_str());
            session.backoff = std::min(session.backoff * 2, kLastRestart);
            watcher.watch(-1);
        };
        auto restart = [&] {
            session.wp.reset();
            std::string why;
            if (!session.start(&why)) {
                session.endText.clear();
                session.wp.reset();
                session.endText = why;
                session.restartAt = now() + session.backoff;
                say("%s; restarting in %g s (r restarts now)", why.c_str(), session.backoff);
                SDL_SetWindowTitle(window, (session.title + " - " + why).c_str());
                session.backoff = std::min(session.backoff * 2, kLastRestart);
                return;
            }
            session.call(Op::startAnimating);
            say("restarted the wallpaper");
            SDL_SetWindowTitle(window, session.title.c_str());
            watcher.watch(session.wp->fd());
        };

        session.call(Op::startAnimating);
        say("running %s: %dx%d px; space pause/resume, s start/stop, f frame, +/- scale, t "
            "tap, 0-9 gesture, o settings, r restart, q quit",
            bundlePath.c_str(), pw, ph);
        double scale = 1;
        bool running = true, hidden = false, pausedWhileHidden = false, userPaused = false;
        bool pressed = false, shown = false;
        session.lastTitle = now();
        while (running) {
            // The wallpaper's events: frames to show, changes, its output.
            if (session.wp) {
                for (const host::WallpaperEvent& e : session.wp->handle()) {
                    switch (e.kind) {
                        case host::WallpaperEvent::Kind::FrameReady:
                            session.rendering = false;
                            session.nextChange = e.nextChange;
                            session.lastFrameMs = e.renderMs;
                            SDL_UpdateTexture(texture, nullptr, session.wp->bufferPixels(e.buffer),
                                              int(session.wp->stride()));
                            session.wp->releaseBuffer(e.buffer);
                            present();
                            ++session.framesSinceTitle;
                            break;
                        case host::WallpaperEvent::Kind::Reply:
                            session.rendering = false;  // no frame this time
                            break;
                        case host::WallpaperEvent::Kind::Changed:
                            session.changed = true;
                            break;
                        case host::WallpaperEvent::Kind::Log:
                            std::fprintf(stderr, "%s\n", e.text.c_str());
                            break;
                        case host::WallpaperEvent::Kind::Denied:
                            say("sandbox: the wallpaper was refused: %s", e.text.c_str());
                            break;
                        case host::WallpaperEvent::Kind::Busy:
                            say("%s", e.text.c_str());
                            break;
                        case host::WallpaperEvent::Kind::Ended:
                            break;
                    }
                }
                if (!session.alive()) ended();
            }

            SDL_Event e;
            while (running && SDL_PollEvent(&e)) {
                if (e.type == wakeType) continue;
                switch (e.type) {
                    case SDL_QUIT:
                        running = false;
                        break;
                    case SDL_WINDOWEVENT:
                        if (e.window.event == SDL_WINDOWEVENT_HIDDEN ||
                            e.window.event == SDL_WINDOWEVENT_MINIMIZED) {
                            // (X11 shows, hides and shows a new window before its first
                            // exposure; only a window that has been drawn on can be hidden.)
                            if (!hidden && shown) {
                                hidden = true;
                                host::WallpaperEvent a;
                                pausedWhileHidden = session.call(Op::isAnimating, &a) && a.value;
                                if (pausedWhileHidden) session.call(Op::pauseAnimating);
                                say("window hidden: %s",
                                    pausedWhileHidden ? "paused" : "not animating");
                            }
                        } else if (e.window.event == SDL_WINDOWEVENT_SHOWN ||
                                   e.window.event == SDL_WINDOWEVENT_RESTORED ||
                                   e.window.event == SDL_WINDOWEVENT_EXPOSED) {
                            if (e.window.event == SDL_WINDOWEVENT_EXPOSED) {
                                shown = true;
                                present();
                            }
                            if (hidden) {
                                hidden = false;
                                if (pausedWhileHidden) session.call(Op::resumeAnimating);
                                say("window shown: %s",
                                    pausedWhileHidden ? "resumed" : "as it was");
                                pausedWhileHidden = false;
                            }
                        }
                        break;
                    case SDL_MOUSEBUTTONDOWN:
                        if (e.button.button == SDL_BUTTON_LEFT) {
                            CGPoint p = toPoints(e.button.x, e.button.y);
                            host::WallpaperEvent r;
                            pressed = session.call(Op::touchBegan, &r, p) && r.value;
                            say("touch began at (%g, %g) on %s; animating: %s", p.x, p.y,
                                pressed && !r.text.empty() ? r.text.c_str() : "nothing",
                                session.animating());
                        }
                        break;
                    case SDL_MOUSEMOTION:
                        if (pressed && (e.motion.state & SDL_BUTTON_LMASK))
                            session.call(Op::touchMoved, nullptr, toPoints(e.motion.x, e.motion.y));
                        break;
                    case SDL_MOUSEBUTTONUP:
                        if (e.button.button == SDL_BUTTON_LEFT && pressed) {
                            pressed = false;
                            CGPoint p = toPoints(e.button.x, e.button.y);
                            session.call(Op::touchEnded, nullptr, p);
                            say("touch ended at (%g, %g)", p.x, p.y);
                        }
                        break;
                    case SDL_KEYDOWN: {
                        SDL_Keycode k = e.key.keysym.sym;
                        if (k == SDLK_q || k == SDLK_ESCAPE) {
                            running = false;
                        } else if (k == SDLK_r) {
                            say("restarting the wallpaper");
                            session.backoff = kFirstRestart;
                            restart();
                            pressed = false;
                        } else if (!session.alive()) {
                            say("the wallpaper is not running (r restarts it)");
                        } else if (k == SDLK_SPACE) {
                            session.call(userPaused ? Op::resumeAnimating : Op::pauseAnimating);
                            userPaused = !userPaused;
                            say("%s; animating: %s",
                                userPaused ? "pauseAnimating" : "resumeAnimating",
                                session.animating());
                        } else if (k == SDLK_s) {
                            host::WallpaperEvent a;
                            bool was = session.call(Op::isAnimating, &a) && a.value;
                            session.call(was ? Op::stopAnimating : Op::startAnimating);
                            userPaused = false;
                            say("%s; animating: %s", was ? "stopAnimating" : "startAnimating",
                                session.animating());
                        } else if (k == SDLK_f) {
                            session.call(Op::doAnimating);
                            say("doAnimating");
                        } else if (k == SDLK_PLUS || k == SDLK_EQUALS || k == SDLK_KP_PLUS ||
                                   k == SDLK_MINUS || k == SDLK_KP_MINUS) {
                            bool up = k == SDLK_PLUS || k == SDLK_EQUALS || k == SDLK_KP_PLUS;
                            scale *= up ? 1.25 : 0.8;
                            session.call(Op::setScale, nullptr, {}, scale);
                            say("setScale %g", scale);
                        } else if (k == SDLK_t) {
                            CGPoint p = cursor();
                            host::WallpaperEvent r;
                            session.call(Op::tapActionAtViewPoint, &r, p);
                            say("tap at (%g, %g) on %s; animating: %s", p.x, p.y,
                                r.text.empty() ? "nothing" : r.text.c_str(), session.animating());
                        } else if (k >= SDLK_0 && k <= SDLK_9) {
                            CGPoint p = cursor();
                            session.call(Op::gestureAction, nullptr, p, 0, int64_t(k - SDLK_0));
                            say("gestureAction %d at (%g, %g); animating: %s", int(k - SDLK_0), p.x,
                                p.y, session.animating());
                        } else if (k == SDLK_o) {
                            session.call(Op::openSettingMenu);
                            say("openSettingMenu");
                        }
                        break;
                    }
                    default:
                        break;
                }
            }
            if (!running) break;
            if (session.wp && !session.alive()) ended();
            if (!session.alive() && now() >= session.restartAt) {
                say("restarting the wallpaper after %s", session.endText.c_str());
                restart();
            }

            // A frame when the wallpaper changed or said when it would, at most 60 a second.
            double t = now();
            bool due = session.changed || monotonicNow() >= session.nextChange;
            if (session.alive() && !hidden && !session.rendering && due &&
                t - session.lastRender >= kFramePeriod) {
                session.changed = false;
                session.nextChange = INFINITY;
                session.rendering = session.wp->renderFrame() != 0;
                session.lastRender = t;
            }
            if (t - session.lastTitle >= 0.5 && session.alive()) {
                char line[256];
                std::snprintf(
                    line, sizeof line, "%s - %.1f fps, frame %.1f ms", session.title.c_str(),
                    session.framesSinceTitle / (t - session.lastTitle), session.lastFrameMs);
                SDL_SetWindowTitle(window, line);
                session.lastTitle = t;
                session.framesSinceTitle = 0;
            }

            // Sleep until an event, the wallpaper's next change, the next allowed frame, the
            // process's own watches, or a restart.
            double wait = 0.5;
            if (session.alive()) {
                int ms = session.wp->timeoutMs();
                if (ms >= 0) wait = std::min(wait, ms / 1000.0);
                if (!hidden && !session.rendering) {
                    if (session.changed)
                        wait = std::min(wait, session.lastRender + kFramePeriod - t);
                    else if (std::isfinite(session.nextChange))
                        wait = std::min(wait, session.nextChange - monotonicNow());
                }
            } else if (std::isfinite(session.restartAt)) {
                wait = std::min(wait, session.restartAt - t);
            }
            watcher.watch(session.alive() ? session.wp->fd() : -1);
            SDL_WaitEventTimeout(nullptr, std::max(1, int(std::ceil(wait * 1000))));
        }
        session.wp.reset();  // the process and everything it started end here
    }
    SDL_DestroyTexture(texture);
    SDL_DestroyRenderer(sdl);
    SDL_DestroyWindow(window);
    SDL_Quit();
    return status;
}

}  // namespace

namespace host {

void addRunCommand(CLI::App& app, int& exitCode) {
    static std::string bundle, screen = "320x568@2";
    static ProcessFlags flags;
    auto* cmd = app.add_subcommand("run", "Run a wallpaper bundle live in a window");
    cmd->add_option("BUNDLE", bundle, "Wallpaper bundle directory")->required();
    cmd->add_option("--screen", screen, "Screen as WxH@S: points and pixels per point")
        ->capture_default_str();
    addProcessFlags(cmd, flags);
    cmd->callback([&exitCode] {
        exitCode = run(bundle, screen, flags);
        releaseTextCaches();
    });
}

}  // namespace host
