// A window's pixels read back through Xlib, for the live-window test (kept apart from the
// test's own source: Xlib's macros clash with GoogleTest's names).

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <memory>
#include <string>

#include "CoreGraphics/CGImage.h"

CGImageRef screenshot(const std::string& display, unsigned long window) {
    Display* d = XOpenDisplay(display.c_str());
    if (!d) return nullptr;
    XWindowAttributes attrs;
    CGImageRef result = nullptr;
    if (XGetWindowAttributes(d, Window(window), &attrs) && attrs.width > 0 && attrs.height > 0) {
        XImage* img = XGetImage(d, Window(window), 0, 0, unsigned(attrs.width),
                                unsigned(attrs.height), AllPlanes, ZPixmap);
        if (img) {
            size_t w = size_t(attrs.width), h = size_t(attrs.height);
            std::shared_ptr<uint8_t[]> px(new uint8_t[w * h * 4]);
            uint32_t* p = reinterpret_cast<uint32_t*>(px.get());
            for (size_t y = 0; y < h; ++y)
                for (size_t x = 0; x < w; ++x)
                    p[y * w + x] =
                        0xFF000000u | (uint32_t(XGetPixel(img, int(x), int(y))) & 0xFFFFFFu);
            XDestroyImage(img);
            result = bd::createARGB32Image(w, h, px);
        }
    }
    XCloseDisplay(d);
    return result;
}
