#include "CheckRunner.h"

#include <algorithm>
#include <cstdio>

namespace host::check {

double Deadline::left() const {
    double s = std::chrono::duration<double>(_end - std::chrono::steady_clock::now()).count();
    return std::max(s, 0.001);
}

bool Deadline::passed() const {
    return std::chrono::steady_clock::now() >= _end;
}

bool CheckRunner::start(const CheckOptions& options, std::string* error) {
    _o = options;
    if (!applyProcessFlags(options.process, &_base, error)) return false;
    _base.bundlePath = options.bundle;
    _base.hangTimeout = options.limit;
    _base.discardOutput = !options.verbose;
    return true;
}

void CheckRunner::result(bool ok, const std::string& title, const std::string& text) {
    (ok ? _passed : _failed)++;
    std::printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", title.c_str(), text.empty() ? "" : ": ",
                text.c_str());
    std::fflush(stdout);
}

void CheckRunner::notChecked(const std::vector<std::string>& titles, const std::string& why) {
    for (const std::string& t : titles) result(false, t, "not checked: " + why);
}

std::unique_ptr<WallpaperProcess> CheckRunner::spawn(bool loadView, bool virtualClock,
                                                     std::string* error) {
    WallpaperOptions o = _base;
    o.loadView = loadView;
    o.clock = virtualClock ? WallpaperOptions::Clock::Virtual : WallpaperOptions::Clock::Real;
    std::unique_ptr<WallpaperProcess> p = WallpaperProcess::spawn(o, error);
    if (p && !_levelShown) {
        _levelShown = true;
        std::printf("sandbox: %s\n", p->sandboxLevel().c_str());
        std::fflush(stdout);
    }
    if (p) collect(*p);
    return p;
}

void CheckRunner::collect(WallpaperProcess& process) {
    for (const WallpaperEvent& e : process.handle()) {
        if (e.kind == WallpaperEvent::Kind::Denied) {
            if (std::find(_denied.begin(), _denied.end(), e.text) == _denied.end())
                _denied.push_back(e.text);
        } else if (e.kind == WallpaperEvent::Kind::Log && _o.verbose) {
            std::fprintf(stderr, "%s\n", e.text.c_str());
        }
    }
}

std::string CheckRunner::failure(WallpaperProcess& process, const std::string& error) {
    collect(process);
    if (process.end().reason == WallpaperEnd::Reason::Hung) {
        char t[32];
        std::snprintf(t, sizeof t, "%g", _o.limit);
        return std::string("the wallpaper did not finish within ") + t + " s (killed)";
    }
    return error;
}

int CheckRunner::finish() {
    int total = _passed + _failed;
    if (_failed == 0)
        std::printf("all %d checks passed\n", total);
    else
        std::printf("%d of %d checks failed\n", _failed, total);
    return _failed == 0 ? 0 : kExitFailure;
}

}  // namespace host::check
