#pragma once
// A window that shows finished frames, for `backdrop run` (and the live benchmark). It owns
// SDL's video subsystem and the window for its whole life and presents frames by their damaged
// rectangles: into SDL's software window surface (SDL_UpdateWindowSurfaceRects; X11 puts it
// through MIT-SHM) with SDL's framebuffer acceleration turned off, so no GL driver and none of
// its threads are started; where the video driver has no window surface (Wayland), through a
// streaming texture updated by rectangles. It takes pixels and rectangles from anyone: a
// renderer in this process or frames another process drew. Everything here runs on the main
// thread.

#include <SDL.h>

#include <memory>
#include <string>
#include <vector>

#include "Foundation/UniqueHandle.h"
#include "QuartzCore/CAPixelRegion.h"

namespace host {

class SDLWindow {
  public:
    // [main-thread] Starts SDL's video and opens a window titled `title` for frames of
    // frameWidth × frameHeight pixels, shown pixel for pixel or made smaller to fit the
    // display. SDL's offscreen and dummy drivers (no display) are refused unless `headless`.
    // Null with a message when there is no display or no way to draw.
    static std::unique_ptr<SDLWindow> open(const std::string& title, int frameWidth,
                                           int frameHeight, bool headless, std::string* error);
    ~SDLWindow() = default;  // [main-thread] closes the window and SDL's video
    SDLWindow(const SDLWindow&) = delete;
    SDLWindow& operator=(const SDLWindow&) = delete;

    // [main-thread] Shows a frame's premultiplied ARGB32 pixels (rows of `stride` bytes): only
    // the rectangles given, or all of it when `all`. False when the window refused them.
    bool present(const uint8_t* pixels, size_t stride, const std::vector<bd::PixelRect>& rects,
                 bool all);
    // [main-thread] After an exposure or a resize: the next present must show everything.
    void invalidate() { _stale = true; }
    // [main-thread] Whether the next present must show the whole frame.
    bool stale() const { return _stale; }

    // [main-thread] Window coordinates (as events give them) -> frame pixels.
    void toFramePixels(int x, int y, double* fx, double* fy) const;
    // [main-thread]
    void setTitle(const std::string& title);
    SDL_Window* window() { return _window.get(); }  // [main-thread]
    // [main-thread] "window surface" or "texture".
    const char* presenterName() const { return _texture ? "texture" : "window surface"; }
    // [main-thread] Whether SDL_WaitEventTimeout sleeps on the display connection here (X11,
    // Wayland); other drivers poll, so a waiter must not lean on it.
    bool waitsOnDisplay() const { return _waitsOnDisplay; }

  private:
    SDLWindow() = default;  // [main-thread]
    // [main-thread]
    bool presentToSurface(const uint8_t* pixels, size_t stride,
                          const std::vector<bd::PixelRect>& rects, bool all);
    // [main-thread]
    bool presentToTexture(const uint8_t* pixels, size_t stride,
                          const std::vector<bd::PixelRect>& rects, bool all);

    // SDL's video subsystem, started for this window and ended with it (after the window).
    struct VideoSubsystem {
        bool started = false;
        ~VideoSubsystem();  // [main-thread]
    };

    // Members go in reverse order: the texture, its renderer, the window, then SDL's video.
    VideoSubsystem _video;
    bd::UniqueHandle<SDL_Window, SDL_DestroyWindow> _window;
    bd::UniqueHandle<SDL_Renderer, SDL_DestroyRenderer> _renderer;  // only for the texture path
    bd::UniqueHandle<SDL_Texture, SDL_DestroyTexture> _texture;
    int _frameWidth = 0, _frameHeight = 0;
    bool _stale = true;
    bool _waitsOnDisplay = false;
};

}  // namespace host
