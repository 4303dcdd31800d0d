#include "SDLWindow.h"

#include <algorithm>
#include <cstring>

namespace host {
namespace {

bool isSet(const char* name) {
    const char* v = SDL_getenv(name);
    return v && *v;
}

std::vector<SDL_Rect> sdlRects(const std::vector<bd::PixelRect>& rects, int w, int h) {
    std::vector<SDL_Rect> out;
    for (const bd::PixelRect& r : rects) {
        bd::PixelRect c = r.intersection({0, 0, w, h});
        if (!c.isEmpty()) out.push_back({c.x, c.y, c.width, c.height});
    }
    return out;
}

}  // namespace

std::unique_ptr<SDLWindow> SDLWindow::open(const std::string& title, int frameWidth,
                                           int frameHeight, bool headless, std::string* error) {
    const std::string noDisplay = "no display to open a window on";
    if (!headless && !isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY") && !isSet("SDL_VIDEODRIVER")) {
        *error = noDisplay + " (set DISPLAY or WAYLAND_DISPLAY)";
        return nullptr;
    }
    // Finished frames need no GL: the window surface is SDL's own software framebuffer. The
    // poll sentinel would make a waiting loop see an event that is none.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
    std::unique_ptr<SDLWindow> w(new SDLWindow());
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
        *error = noDisplay + " (" + SDL_GetError() + ")";
        return nullptr;
    }
    w->_video.started = true;
    SDL_EventState(SDL_POLLSENTINEL, SDL_IGNORE);
    // With no display SDL falls back to drawing nowhere; only a user who asks for that gets it.
    const char* driver = SDL_GetCurrentVideoDriver();
    const char* asked = SDL_getenv("SDL_VIDEODRIVER");
    bool nowhere =
        driver && (SDL_strcmp(driver, "offscreen") == 0 || SDL_strcmp(driver, "dummy") == 0);
    if (nowhere && !headless && !(asked && SDL_strcasecmp(asked, driver) == 0)) {
        *error = noDisplay + " (set DISPLAY or WAYLAND_DISPLAY)";
        return nullptr;
    }
    w->_waitsOnDisplay =
        driver && (SDL_strcmp(driver, "x11") == 0 || SDL_strcmp(driver, "wayland") == 0);
    w->_frameWidth = frameWidth;
    w->_frameHeight = frameHeight;

    // The window shows the frame pixel for pixel, made smaller if the display can't hold it.
    int ww = frameWidth, wh = frameHeight;
    SDL_Rect usable;
    if (!nowhere && SDL_GetDisplayUsableBounds(0, &usable) == 0 && usable.w > 0 && usable.h > 0) {
        double fit = std::min({1.0, double(usable.w) / frameWidth, double(usable.h) / frameHeight});
        ww = std::max(1, int(frameWidth * fit));
        wh = std::max(1, int(frameHeight * fit));
    }
    w->_window.reset(SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                      ww, wh, SDL_WINDOW_RESIZABLE));
    if (!w->_window) {
        *error = noDisplay + " (" + SDL_GetError() + ")";
        return nullptr;
    }
    if (SDL_GetWindowSurface(w->_window.get())) return w;
    // No software surface (Wayland): a streaming texture on whatever renderer there is.
    std::string why = SDL_GetError();
    w->_renderer.reset(SDL_CreateRenderer(w->_window.get(), -1, 0));
    if (w->_renderer)
        w->_texture.reset(SDL_CreateTexture(w->_renderer.get(), SDL_PIXELFORMAT_ARGB8888,
                                            SDL_TEXTUREACCESS_STREAMING, frameWidth, frameHeight));
    if (!w->_texture) {
        *error = "cannot draw into the window (" + why + "; " + SDL_GetError() + ")";
        return nullptr;
    }
    return w;
}

SDLWindow::VideoSubsystem::~VideoSubsystem() {
    if (started) SDL_QuitSubSystem(SDL_INIT_VIDEO);
    SDL_Quit();
}

void SDLWindow::setTitle(const std::string& title) {
    SDL_SetWindowTitle(_window.get(), title.c_str());
}

void SDLWindow::toFramePixels(int x, int y, double* fx, double* fy) const {
    int cw = 1, ch = 1;
    SDL_GetWindowSize(_window.get(), &cw, &ch);
    *fx = double(x) * _frameWidth / std::max(cw, 1);
    *fy = double(y) * _frameHeight / std::max(ch, 1);
}

bool SDLWindow::present(const uint8_t* pixels, size_t stride,
                        const std::vector<bd::PixelRect>& rects, bool all) {
    all = all || _stale;
    if (!all && rects.empty()) return true;
    bool ok = _texture ? presentToTexture(pixels, stride, rects, all)
                       : presentToSurface(pixels, stride, rects, all);
    if (ok) _stale = false;
    return ok;
}

bool SDLWindow::presentToSurface(const uint8_t* pixels, size_t stride,
                                 const std::vector<bd::PixelRect>& rects, bool all) {
    SDL_Surface* ws = SDL_GetWindowSurface(_window.get());  // made again after a resize
    if (!ws) return false;
    bool sameSize = ws->w == _frameWidth && ws->h == _frameHeight;
    Uint32 format = ws->format->format;
    bool sameLayout = format == SDL_PIXELFORMAT_ARGB8888 || format == SDL_PIXELFORMAT_RGB888;
    if (sameSize && sameLayout) {
        // Our rows as they are: the frame is opaque, so alpha-first and x-first agree.
        std::vector<SDL_Rect> r = all ? std::vector<SDL_Rect>{{0, 0, _frameWidth, _frameHeight}}
                                      : sdlRects(rects, _frameWidth, _frameHeight);
        if (SDL_MUSTLOCK(ws)) SDL_LockSurface(ws);
        for (const SDL_Rect& q : r)
            for (int y = q.y; y < q.y + q.h; ++y)
                std::memcpy(static_cast<uint8_t*>(ws->pixels) + size_t(y) * size_t(ws->pitch) +
                                size_t(q.x) * 4,
                            pixels + size_t(y) * stride + size_t(q.x) * 4, size_t(q.w) * 4);
        if (SDL_MUSTLOCK(ws)) SDL_UnlockSurface(ws);
        return SDL_UpdateWindowSurfaceRects(_window.get(), r.data(), int(r.size())) == 0;
    }
    // Another size or layout: SDL converts (and scales) the whole frame.
    bd::UniqueHandle<SDL_Surface, SDL_FreeSurface> frame(
        SDL_CreateRGBSurfaceWithFormatFrom(const_cast<uint8_t*>(pixels), _frameWidth, _frameHeight,
                                           32, int(stride), SDL_PIXELFORMAT_ARGB8888));
    if (!frame) return false;
    SDL_SetSurfaceBlendMode(frame.get(), SDL_BLENDMODE_NONE);
    int rc = sameSize ? SDL_BlitSurface(frame.get(), nullptr, ws, nullptr)
                      : SDL_BlitScaled(frame.get(), nullptr, ws, nullptr);
    return rc == 0 && SDL_UpdateWindowSurface(_window.get()) == 0;
}

bool SDLWindow::presentToTexture(const uint8_t* pixels, size_t stride,
                                 const std::vector<bd::PixelRect>& rects, bool all) {
    std::vector<SDL_Rect> r = all ? std::vector<SDL_Rect>{{0, 0, _frameWidth, _frameHeight}}
                                  : sdlRects(rects, _frameWidth, _frameHeight);
    for (const SDL_Rect& q : r)
        if (SDL_UpdateTexture(_texture.get(), &q, pixels + size_t(q.y) * stride + size_t(q.x) * 4,
                              int(stride)) != 0)
            return false;
    SDL_RenderClear(_renderer.get());
    SDL_RenderCopy(_renderer.get(), _texture.get(), nullptr, nullptr);
    SDL_RenderPresent(_renderer.get());
    return true;
}

}  // namespace host
