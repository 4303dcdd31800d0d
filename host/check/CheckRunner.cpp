#include "CheckRunner.h"

#include <algorithm>
#include <cstdio>

#include "Foundation/NSLog.h"

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
    _base.discardOutput = !options.verbose && !host::verbose();
    return true;
}

void CheckRunner::result(bool ok, const std::string& title, const std::string& text) {
    (ok ? _passed : _failed)++;
    _results.push_back({ok, title, text});
    if (_o.json) return;
    std::printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", title.c_str(), text.empty() ? "" : ": ",
                text.c_str());
    std::fflush(stdout);
}

void CheckRunner::warn(const std::string& text) {
    if (std::find(_warnings.begin(), _warnings.end(), text) != _warnings.end()) return;
    _warnings.push_back(text);
    if (_o.json) return;
    std::printf("warn %s\n", text.c_str());
    std::fflush(stdout);
}

void CheckRunner::warnAsked(WallpaperProcess& process) {
    if (!process.alive()) return;
    std::vector<std::string> lines;
    std::string error;
    if (!process.runStep("asked", std::min(_o.limit, 5.0), &lines, &error)) return;
    collect(process);
    const std::string key = "asked=";
    for (const std::string& l : lines)
        if (l.compare(0, key.size(), key) == 0)
            warn("the wallpaper asked for what the bundle does not give: " + l.substr(key.size()));
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
        _sandboxLevel = p->sandboxLevel();
        if (!_o.json) {
            std::printf("sandbox: %s\n", p->sandboxLevel().c_str());
            std::fflush(stdout);
        }
    }
    if (p) collect(*p);
    return p;
}

void CheckRunner::collect(WallpaperProcess& process) {
    for (const WallpaperEvent& e : process.handle()) {
        if (e.kind == WallpaperEvent::Kind::Denied) {
            if (std::find(_denied.begin(), _denied.end(), e.text) == _denied.end())
                _denied.push_back(e.text);
        } else if (e.kind == WallpaperEvent::Kind::Log && (_o.verbose || host::verbose())) {
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
    size_t warnings = _warnings.size();
    bool ok = _failed == 0 && !(_o.strict && warnings > 0);
    if (_o.json) {
        std::string j = "{\"bundle\": " + bd::jsonString(_o.bundle) +
                        ", \"sandbox\": " + bd::jsonString(_sandboxLevel) + ", \"checks\": [";
        for (size_t i = 0; i < _results.size(); ++i)
            j += std::string(i ? ", " : "") + "{\"ok\": " + (_results[i].ok ? "true" : "false") +
                 ", \"title\": " + bd::jsonString(_results[i].title) +
                 ", \"text\": " + bd::jsonString(_results[i].text) + "}";
        j += "], \"warnings\": [";
        for (size_t i = 0; i < warnings; ++i) j += (i ? ", " : "") + bd::jsonString(_warnings[i]);
        j += "], \"passed\": " + std::to_string(_passed) +
             ", \"failed\": " + std::to_string(_failed) +
             ", \"strict\": " + (_o.strict ? "true" : "false") +
             ", \"ok\": " + (ok ? "true" : "false") + "}";
        std::printf("%s\n", j.c_str());
        return ok ? 0 : kExitFailure;
    }
    std::string w;
    if (warnings)
        w = ", " + std::to_string(warnings) + (warnings == 1 ? " warning" : " warnings") +
            (_o.strict ? " (failing with --strict)" : "");
    if (_failed == 0)
        std::printf("all %d checks passed%s\n", total, w.c_str());
    else
        std::printf("%d of %d checks failed%s\n", _failed, total, w.c_str());
    return ok ? 0 : kExitFailure;
}

}  // namespace host::check
