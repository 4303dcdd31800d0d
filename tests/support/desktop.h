#pragma once
// Helpers for the desktop daemon's end-to-end tests: waiting, `query --json` fields, a
// process's CPU time from /proc, and comparing pictures.

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "CoreGraphics/CGImage.h"
#include "support/process.h"

namespace bdtest {

// [main-thread] Polls ok() every 25 ms for up to `seconds`; its last answer.
inline bool waitUntil(double seconds, const std::function<bool()>& ok) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (ok()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return ok();
}

// [any-thread] The value of "key":... in a JSON text, without quotes (the first after `from`).
inline std::string jsonField(const std::string& json, const std::string& key, size_t from = 0) {
    size_t at = json.find("\"" + key + "\":", from);
    if (at == std::string::npos) return "";
    at += key.size() + 3;
    if (at < json.size() && json[at] == '"') {
        size_t end = json.find('"', at + 1);
        return json.substr(at + 1, end - at - 1);
    }
    size_t end = json.find_first_of(",}", at);
    return json.substr(at, end - at);
}

// [any-thread] User + system CPU seconds of a process (-1 when it is gone).
inline double cpuSecondsOf(pid_t pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream in(stat.substr(close + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> f; ++i) {
        if (i == 14) utime = std::stoull(f);
        if (i == 15) stime = std::stoull(f);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// [any-thread] The share of pixels that differ by more than 24 in some colour channel (1 when
// the sizes differ or a picture is missing).
inline double differingShare(CGImageRef a, CGImageRef b) {
    if (!a || !b || a->width() != b->width() || a->height() != b->height()) return 1;
    size_t bad = 0;
    for (size_t y = 0; y < a->height(); ++y) {
        const uint8_t* ra = a->bytes() + y * a->bytesPerRow();
        const uint8_t* rb = b->bytes() + y * b->bytesPerRow();
        for (size_t x = 0; x < a->width(); ++x)
            for (int c = 0; c < 3; ++c)
                if (std::abs(ra[x * 4 + size_t(c)] - rb[x * 4 + size_t(c)]) > 24) {
                    ++bad;
                    break;
                }
    }
    return double(bad) / double(a->width() * a->height());
}

// [any-thread] Where a picture's white pixels are (all channels above 240): how many, and
// their bounding box. The test wallpaper's square is the only white thing it draws, so a frame
// whose damage was handled right shows one solid box of it and nothing left behind.
struct WhiteBox {
    size_t count = 0;
    int x0 = 0, y0 = 0, x1 = -1, y1 = -1;  // inclusive; x1 < x0 when there is none
    size_t area() const { return x1 < x0 ? 0 : size_t(x1 - x0 + 1) * size_t(y1 - y0 + 1); }
};
inline WhiteBox whiteBox(CGImageRef image) {
    WhiteBox box;
    if (!image) return box;
    box.x0 = int(image->width());
    box.y0 = int(image->height());
    for (size_t y = 0; y < image->height(); ++y) {
        const uint8_t* row = image->bytes() + y * image->bytesPerRow();
        for (size_t x = 0; x < image->width(); ++x)
            if (row[x * 4] > 240 && row[x * 4 + 1] > 240 && row[x * 4 + 2] > 240) {
                ++box.count;
                box.x0 = std::min(box.x0, int(x));
                box.x1 = std::max(box.x1, int(x));
                box.y0 = std::min(box.y0, int(y));
                box.y1 = std::max(box.y1, int(y));
            }
    }
    return box;
}

}  // namespace bdtest
