// Fit arithmetic: a monitor's size to the wallpaper's screen and the placement of its pixels.

#include "Fit.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace host::desktop {

namespace {
constexpr double kViewWidth = 320;  // the entry point's view is 320 points wide
}

bool parseFit(const std::string& text, FitMode* out) {
    static const struct {
        const char* name;
        FitMode mode;
    } kModes[] = {{"width", FitMode::Width},
                  {"fill", FitMode::Fill},
                  {"fit", FitMode::Fit},
                  {"center", FitMode::Center},
                  {"stretch", FitMode::Stretch}};
    for (const auto& m : kModes)
        if (text == m.name) {
            *out = m.mode;
            return true;
        }
    return false;
}

const char* fitName(FitMode mode) {
    switch (mode) {
        case FitMode::Width:
            return "width";
        case FitMode::Fill:
            return "fill";
        case FitMode::Fit:
            return "fit";
        case FitMode::Center:
            return "center";
        case FitMode::Stretch:
            return "stretch";
    }
    return "width";
}

bool parseColour(const std::string& text, uint32_t* argb) {
    std::string hex = !text.empty() && text[0] == '#' ? text.substr(1) : text;
    if (hex.size() != 6) return false;
    uint32_t v = 0;
    for (char c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        v = v * 16 + uint32_t(std::isdigit(static_cast<unsigned char>(c))
                                  ? c - '0'
                                  : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    *argb = 0xff000000u | v;
    return true;
}

Fitted fitScreen(int outWidth, int outHeight, FitMode mode, const ScreenSpec& phone,
                 uint32_t background) {
    Fitted f;
    f.placement.background = background;
    double w = std::max(outWidth, 1), h = std::max(outHeight, 1);
    auto centred = [&](double k) {
        f.screen = {phone.width, phone.height, k};
        int pw = f.screen.pixelWidth(), ph = f.screen.pixelHeight();
        // Halve the difference rounding towards minus infinity, so a crop of an odd number of
        // pixels loses its extra pixel on the right/bottom, as a band's does.
        f.placement = {int(std::floor((w - pw) / 2)),
                       int(std::floor((h - ph) / 2)),
                       pw,
                       ph,
                       false,
                       background};
    };
    switch (mode) {
        case FitMode::Width: {
            double scale = w / kViewWidth;
            f.screen = {kViewWidth, h / scale, scale};
            // height * scale gives back h up to rounding; pixelHeight() rounds to nearest.
            f.placement = {0, 0, f.screen.pixelWidth(), f.screen.pixelHeight(), false, background};
            break;
        }
        case FitMode::Fill:
            centred(std::max(w / phone.width, h / phone.height));
            break;
        case FitMode::Fit:
            centred(std::min(w / phone.width, h / phone.height));
            break;
        case FitMode::Center:
            centred(phone.scale);
            break;
        case FitMode::Stretch:
            f.screen = phone;
            f.placement = {0, 0, outWidth, outHeight, true, background};
            break;
    }
    return f;
}

}  // namespace host::desktop
