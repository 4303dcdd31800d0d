// `backdrop run BUNDLE`: the wallpaper live in a window (SDL2) on the real clock, behind the
// launcher's icons. Mouse presses, drags and releases are touches; keys drive the protocol.
// The main thread waits on SDL's event queue through the run loop's waiter, so the
// wallpaper's main-thread work (frames its loop asks for, timers) runs between events.

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <string>

#include "Commands.h"
#include "Foundation/NSRunLoop.h"
#include "HostScene.h"
#include "QuartzCore/CABase.h"
#include "QuartzCore/CARenderer.h"

namespace {

using host::fail;

constexpr double kFramePeriod = 1.0 / 60;

// Blocks the main run loop on SDL's event queue; wake() posts an event of its own.
class SDLWaiter : public NSRunLoopWaiter {
  public:
    SDLWaiter() : _wakeType(SDL_RegisterEvents(1)) {}
    void wait(double seconds) override {
        int ms = int(std::ceil(std::max(0.0, seconds) * 1000));
        SDL_WaitEventTimeout(nullptr, std::max(ms, 1));
    }
    void wake() override {
        if (_wakeType == Uint32(-1)) return;
        SDL_Event e{};
        e.type = _wakeType;
        SDL_PushEvent(&e);
    }
    Uint32 wakeType() const { return _wakeType; }

  private:
    Uint32 _wakeType;
};

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stdout, fmt, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int run(const std::string& bundlePath, const std::string& screenText) {
    NSAutoreleasePool pool;
    host::ScreenSpec screen;
    std::string error;
    if (!host::parseScreen(screenText, &screen, &error)) {
        std::fprintf(stderr, "backdrop: %s\n", error.c_str());
        return host::kExitUsage;
    }
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
    std::string title = "Backdrop - " + name;
    SDL_Window* window = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED,
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
    {
        std::unique_ptr<host::HostScene> scene =
            host::HostScene::load(bundlePath, screen, true, &error);
        if (!scene) {
            status = fail(error);
        } else {
            NSRunLoop* loop = NSRunLoop::mainRunLoop();
            SDLWaiter waiter;
            loop->setWaiter(&waiter);
            CARenderer renderer(pw, ph, screen.scale);

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
            auto animating = [&] { return scene->isAnimating() ? "yes" : "no"; };

            scene->startAnimating();
            say("running %s: %dx%d px; space pause/resume, s start/stop, f frame, +/- scale, t "
                "tap, "
                "0-9 gesture, o settings, q quit",
                bundlePath.c_str(), pw, ph);
            bool running = true, hidden = false, pausedWhileHidden = false, userPaused = false;
            bool pressed = false, shown = false;
            double nextFrame = CACurrentMediaTime(), lastTitle = nextFrame, lastFrameMs = 0;
            int framesSinceTitle = 0;
            while (running) {
                SDL_Event e;
                while (SDL_PollEvent(&e)) {
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
                                    pausedWhileHidden = scene->isAnimating();
                                    if (pausedWhileHidden) scene->pauseAnimating();
                                    say("window hidden: %s",
                                        pausedWhileHidden ? "paused" : "not animating");
                                }
                            } else if (e.window.event == SDL_WINDOWEVENT_SHOWN ||
                                       e.window.event == SDL_WINDOWEVENT_RESTORED ||
                                       e.window.event == SDL_WINDOWEVENT_EXPOSED) {
                                if (e.window.event == SDL_WINDOWEVENT_EXPOSED) shown = true;
                                if (hidden) {
                                    hidden = false;
                                    if (pausedWhileHidden) scene->resumeAnimating();
                                    say("window shown: %s",
                                        pausedWhileHidden ? "resumed" : "as it was");
                                    pausedWhileHidden = false;
                                }
                            }
                            break;
                        case SDL_MOUSEBUTTONDOWN:
                            if (e.button.button == SDL_BUTTON_LEFT) {
                                CGPoint p = toPoints(e.button.x, e.button.y);
                                pressed = scene->touchBegan(p);
                                say("touch began at (%g, %g) on %s; animating: %s", p.x, p.y,
                                    pressed ? scene->lastTouchedClass().c_str() : "nothing",
                                    animating());
                            }
                            break;
                        case SDL_MOUSEMOTION:
                            if (pressed && (e.motion.state & SDL_BUTTON_LMASK))
                                scene->touchMoved(toPoints(e.motion.x, e.motion.y));
                            break;
                        case SDL_MOUSEBUTTONUP:
                            if (e.button.button == SDL_BUTTON_LEFT && pressed) {
                                pressed = false;
                                CGPoint p = toPoints(e.button.x, e.button.y);
                                scene->touchEnded(p);
                                say("touch ended at (%g, %g)", p.x, p.y);
                            }
                            break;
                        case SDL_KEYDOWN: {
                            SDL_Keycode k = e.key.keysym.sym;
                            if (k == SDLK_q || k == SDLK_ESCAPE) {
                                running = false;
                            } else if (k == SDLK_SPACE) {
                                if (userPaused)
                                    scene->resumeAnimating();
                                else
                                    scene->pauseAnimating();
                                userPaused = !userPaused;
                                say("%s; animating: %s",
                                    userPaused ? "pauseAnimating" : "resumeAnimating", animating());
                            } else if (k == SDLK_s) {
                                bool was = scene->isAnimating();
                                if (was)
                                    scene->stopAnimating();
                                else
                                    scene->startAnimating();
                                userPaused = false;
                                say("%s; animating: %s", was ? "stopAnimating" : "startAnimating",
                                    animating());
                            } else if (k == SDLK_f) {
                                scene->doAnimating();
                                say("doAnimating");
                            } else if (k == SDLK_PLUS || k == SDLK_EQUALS || k == SDLK_KP_PLUS ||
                                       k == SDLK_MINUS || k == SDLK_KP_MINUS) {
                                bool up = k == SDLK_PLUS || k == SDLK_EQUALS || k == SDLK_KP_PLUS;
                                double s = scene->view()->scale() * (up ? 1.25 : 0.8);
                                scene->setScale(s);
                                say("setScale %g", s);
                            } else if (k == SDLK_t) {
                                CGPoint p = cursor();
                                scene->tap(p);
                                say("tap at (%g, %g) on %s; animating: %s", p.x, p.y,
                                    scene->lastTouchedClass().empty()
                                        ? "nothing"
                                        : scene->lastTouchedClass().c_str(),
                                    animating());
                            } else if (k >= SDLK_0 && k <= SDLK_9) {
                                CGPoint p = cursor();
                                scene->gesture(int32_t(k - SDLK_0), p);
                                say("gestureAction %d at (%g, %g); animating: %s", int(k - SDLK_0),
                                    p.x, p.y, animating());
                            } else if (k == SDLK_o) {
                                scene->openSettingMenu();
                                say("openSettingMenu");
                            }
                            break;
                        }
                        default:
                            break;
                    }
                }
                if (!running) break;

                double now = CACurrentMediaTime();
                if (!hidden && now >= nextFrame) {
                    auto r0 = std::chrono::steady_clock::now();
                    renderer.clear({0, 0, 0, 1});
                    renderer.render(scene->window()->layer(), now);
                    lastFrameMs = std::chrono::duration<double, std::milli>(
                                      std::chrono::steady_clock::now() - r0)
                                      .count();
                    SDL_UpdateTexture(texture, nullptr, renderer.pixels(), int(renderer.stride()));
                    SDL_RenderClear(sdl);
                    SDL_RenderCopy(sdl, texture, nullptr, nullptr);
                    SDL_RenderPresent(sdl);
                    ++framesSinceTitle;
                    nextFrame = std::max(nextFrame + kFramePeriod, now);
                    if (now - lastTitle >= 0.5) {
                        char line[256];
                        std::snprintf(line, sizeof line, "%s - %.1f fps, frame %.1f ms",
                                      title.c_str(), framesSinceTitle / (now - lastTitle),
                                      lastFrameMs);
                        SDL_SetWindowTitle(window, line);
                        lastTitle = now;
                        framesSinceTitle = 0;
                    }
                }
                // The wallpaper's main-thread work until the next frame or the next event.
                double wait = hidden ? 0.25 : std::max(0.0, nextFrame - CACurrentMediaTime());
                loop->runUntil(
                    [] { return SDL_HasEvents(SDL_FIRSTEVENT, SDL_LASTEVENT) == SDL_TRUE; }, wait);
            }
            scene.reset();  // stops the wallpaper and lets it go
            loop->runForInterval(0.05);
            loop->setWaiter(nullptr);
        }
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
    auto* cmd = app.add_subcommand("run", "Run a wallpaper bundle live in a window");
    cmd->add_option("BUNDLE", bundle, "Wallpaper bundle directory")->required();
    cmd->add_option("--screen", screen, "Screen as WxH@S: points and pixels per point")
        ->capture_default_str();
    cmd->callback([&exitCode] {
        exitCode = run(bundle, screen);
        releaseTextCaches();
    });
}

}  // namespace host
