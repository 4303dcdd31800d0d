#pragma once
// Helpers for the desktop daemon's end-to-end tests: waiting, `query --json` fields, a
// process's CPU time from /proc, and comparing pictures.

#include <sys/types.h>
#include <unistd.h>

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

}  // namespace bdtest
