// The desktop daemon's control requests: `ctl`'s words, query (text and JSON), set, tap and
// gesture, pause and resume, rules and settings.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Common/DataTool.h"
#include "Daemon.h"
#include "DaemonPrivate.h"
#include "Foundation/NSArray.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSString.h"

namespace host::desktop {

namespace {

bool parsePoint(const std::string& text, int* x, int* y) {
    size_t comma = text.find(',');
    if (comma == std::string::npos) return false;
    char* end = nullptr;
    std::string a = text.substr(0, comma), b = text.substr(comma + 1);
    long vx = std::strtol(a.c_str(), &end, 10);
    if (a.empty() || *end) return false;
    long vy = std::strtol(b.c_str(), &end, 10);
    if (b.empty() || *end) return false;
    if (vx < -100000 || vx > 100000 || vy < -100000 || vy > 100000) return false;
    *x = int(vx);
    *y = int(vy);
    return true;
}

}  // namespace

using detail::absolute;
using detail::fmt;
using detail::monotonicSeconds;

bool splitWords(const std::string& line, std::vector<std::string>* words) {
    words->clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        std::string w;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            char c = line[i++];
            if (c == '"') {
                quoted = !quoted;
            } else if (quoted && c == '\\' && i < line.size()) {
                w += line[i++];
            } else {
                w += c;
            }
        }
        if (quoted) return false;
        words->push_back(w);
    }
    return true;
}

std::string joinWords(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) {
        if (!out.empty()) out += ' ';
        bool plain = !w.empty() && w.find_first_of(" \t\"\\") == std::string::npos;
        if (plain) {
            out += w;
            continue;
        }
        out += '"';
        for (char c : w) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    return out;
}

std::vector<Daemon::Slot*> Daemon::targets(const std::string& name, std::string* error) {
    std::vector<Slot*> out;
    if (name.empty() || name == "all") {
        for (auto& [n, s] : _slots) out.push_back(s.get());
        return out;
    }
    auto it = _slots.find(name);
    if (it == _slots.end()) {
        *error = "no output named " + name;
        return out;
    }
    out.push_back(it->second.get());
    return out;
}

Daemon::Slot* Daemon::slotAt(int x, int y, CGPoint* screenPoint) {
    for (auto& [name, sp] : _slots) {
        Slot& s = *sp;
        if (!s.info.rect.contains(x, y)) continue;
        const Placement& p = s.fitted.placement;
        double px = x - s.info.rect.x - p.x, py = y - s.info.rect.y - p.y;
        if (p.stretch && p.width > 0 && p.height > 0) {
            px *= s.fitted.screen.pixelWidth() / double(p.width);
            py *= s.fitted.screen.pixelHeight() / double(p.height);
        }
        *screenPoint = CGPointMake(px / s.fitted.screen.scale, py / s.fitted.screen.scale);
        return &s;
    }
    return nullptr;
}

bool Daemon::setBundle(const std::vector<Slot*>& targets, const std::string& bundle,
                       const FitMode* fit, std::string* error) {
    std::string path = absolute(bundle);
    std::error_code ec;
    if (!std::filesystem::is_directory(path, ec)) {
        *error = "no bundle at " + path + "; the wallpaper stays";
        return false;
    }
    // Start every new wallpaper before any old one goes, so a bundle that does not load
    // changes nothing.
    std::vector<std::unique_ptr<Wallpaper>> fresh;
    std::vector<Fitted> fits;
    std::vector<double> spawnedAt;  // see startSlot
    for (Slot* s : targets) {
        spawnedAt.push_back(monotonicSeconds());
        FitMode f = fit ? *fit : s->fit;
        Fitted fitted = fitScreen(s->info.rect.width, s->info.rect.height, f, _options.phone,
                                  _options.background);
        std::string why;
        auto wp = _factory(path, fitted.screen, &why);
        if (!wp) {
            *error = "cannot load " + path + ": " + why + "; the wallpaper stays";
            return false;
        }
        fresh.push_back(std::move(wp));
        fits.push_back(fitted);
    }
    for (size_t i = 0; i < targets.size(); ++i) {
        Slot& s = *targets[i];
        detach(s);
        s.wp = std::move(fresh[i]);
        s.bundle = path;
        if (fit) s.fit = *fit;
        s.fitted = fits[i];
        s.fallback = false;
        s.crashes.clear();
        s.backoff = 1;
        s.restartAt = INFINITY;
        s.startedAt = monotonicSeconds();
        s.cpuMark = 0;
        s.wallMark = spawnedAt[i];
        s.started = s.animating = s.changed = s.busy = false;
        s.nextChange = INFINITY;
        std::string why;
        if (!attach(s, &why)) {
            endWallpaper(s, why, true);
            continue;
        }
        s.wantFrame = true;
        applyState(s);
    }
    if (targets.size() == _slots.size()) {
        _state.bundle = path;
        if (fit) _state.fit = *fit;
    }
    saveState();
    return true;
}

void Daemon::query(bool json, std::vector<std::string>* lines) {
    double now = monotonicSeconds();
    auto ruleText = [&](bool on) { return on ? "on" : "off"; };
    std::string rules = std::string("hidden=") + ruleText(_options.pauseWhenHidden) +
                        " off=" + ruleText(_options.pauseWhenOff) +
                        " battery=" + ruleText(_options.pauseOnBattery) + " idle=" +
                        (!_backend->idleAvailable() ? std::string("unavailable")
                         : _options.idleAfter > 0   ? fmt("%gs", _options.idleAfter)
                                                    : std::string("off"));
    bool battery = _power && _power->battery();
    bool idle = _backend->idle();
    std::string jsonOutputs;
    for (auto& [name, sp] : _slots) {
        Slot& s = *sp;
        std::string reason;
        std::string state = stateOf(s, &reason);
        double cpu = 0, rss = 0;
        if (s.wp) {
            double c = s.wp->cpuSeconds();
            double dt = now - s.wallMark;
            if (dt > 0.05) cpu = std::max(0.0, (c - s.cpuMark) / dt * 100);
            s.cpuMark = c;
            s.wallMark = now;
            rss = double(s.wp->rssBytes());
        }
        while (!s.presents.empty() && now - s.presents.front() > 2) s.presents.pop_front();
        double fps = double(s.presents.size()) / 2;
        std::string size = std::to_string(s.info.rect.width) + "x" +
                           std::to_string(s.info.rect.height) + "+" +
                           std::to_string(s.info.rect.x) + "+" + std::to_string(s.info.rect.y);
        std::string sandbox = s.wp ? s.wp->sandboxLevel() : "";
        if (json) {
            if (!jsonOutputs.empty()) jsonOutputs += ",";
            jsonOutputs +=
                "{\"name\":" + bd::jsonString(name) + ",\"x\":" + std::to_string(s.info.rect.x) +
                ",\"y\":" + std::to_string(s.info.rect.y) +
                ",\"width\":" + std::to_string(s.info.rect.width) +
                ",\"height\":" + std::to_string(s.info.rect.height) +
                ",\"bundle\":" + bd::jsonString(s.bundle) +
                ",\"fit\":" + bd::jsonString(fitName(s.fit)) +
                ",\"state\":" + bd::jsonString(state) + ",\"reason\":" + bd::jsonString(reason) +
                ",\"fps\":" + fmt("%.1f", fps) + ",\"cpu_pct\":" + fmt("%.2f", cpu) +
                ",\"rss_bytes\":" + fmt("%.0f", rss) +
                ",\"pid\":" + std::to_string(s.wp ? s.wp->pid() : 0) +
                ",\"restarts\":" + std::to_string(s.restarts) +
                ",\"frames\":" + std::to_string(s.frames) +
                ",\"unchanged_frames\":" + std::to_string(s.unchangedFrames) +
                ",\"pixels_sent\":" + std::to_string(s.pixelsSent) +
                ",\"sandbox\":" + bd::jsonString(sandbox) +
                ",\"last_end\":" + bd::jsonString(s.lastEnd) + "}";
        } else {
            std::string line = name + " " + size + " state=" + state +
                               (reason.empty() ? "" : "(" + reason + ")") +
                               " bundle=" + joinWords({s.bundle}) + " fit=" + fitName(s.fit) +
                               " fps=" + fmt("%.1f", fps) + " cpu=" + fmt("%.1f%%", cpu) +
                               " rss=" + fmt("%.1fMiB", rss / 1048576) +
                               " pid=" + std::to_string(s.wp ? s.wp->pid() : 0) +
                               " restarts=" + std::to_string(s.restarts) +
                               " sandbox=" + joinWords({sandbox.empty() ? "-" : sandbox});
            if (!s.lastEnd.empty()) line += " last-end=" + joinWords({s.lastEnd});
            lines->push_back(line);
        }
    }
    if (json) {
        lines->push_back("{\"pid\":" + std::to_string(getpid()) +
                         ",\"display\":" + bd::jsonString(_backend->displayName()) +
                         ",\"backend\":" + bd::jsonString(_backend->kind()) + ",\"on_battery\":" +
                         (battery ? "true" : "false") + ",\"idle\":" + (idle ? "true" : "false") +
                         ",\"rules\":" + bd::jsonString(rules) + ",\"outputs\":[" + jsonOutputs +
                         "]}");
    } else {
        lines->push_back("daemon pid=" + std::to_string(getpid()) +
                         " display=" + _backend->displayName() + " backend=" + _backend->kind() +
                         " battery=" + (battery ? "yes" : "no") + " idle=" + (idle ? "yes" : "no") +
                         " rules: " + rules);
    }
}

bool Daemon::command(const std::string& line, std::vector<std::string>* lines, std::string* error) {
    std::vector<std::string> w;
    if (!splitWords(line, &w)) {
        *error = "malformed request (a quote is not closed)";
        return false;
    }
    if (w.empty()) {
        *error = "empty request";
        return false;
    }
    const std::string& cmd = w[0];
    auto usage = [&](const char* u) {
        *error = std::string("usage: ") + u;
        return false;
    };
    if (cmd == "query") {
        if (w.size() > 2 || (w.size() == 2 && w[1] != "--json")) return usage("query [--json]");
        query(w.size() == 2, lines);
        return true;
    }
    if (cmd == "quit") {
        _quit = true;
        lines->push_back(_backend->keepsPicture()
                             ? "quitting; the last frames stay on the desktop"
                             : "quitting; the compositor takes the background away with us");
        return true;
    }
    if (cmd == "set") {
        std::vector<std::string> pos;
        FitMode fit;
        bool fitGiven = false;
        for (size_t i = 1; i < w.size(); ++i) {
            if (w[i] == "--fit" && i + 1 < w.size()) {
                if (!parseFit(w[++i], &fit))
                    return usage("set [OUTPUT|all] BUNDLE [--fit width|fill|fit|center|stretch]");
                fitGiven = true;
            } else {
                pos.push_back(w[i]);
            }
        }
        if (pos.empty() || pos.size() > 2)
            return usage("set [OUTPUT|all] BUNDLE [--fit width|fill|fit|center|stretch]");
        auto t = targets(pos.size() == 2 ? pos[0] : "all", error);
        if (t.empty()) return false;
        if (!setBundle(t, pos.back(), fitGiven ? &fit : nullptr, error)) return false;
        for (Slot* s : t) lines->push_back(s->info.name + ": " + s->bundle);
        return true;
    }
    if (cmd == "pause" || cmd == "resume" || cmd == "toggle") {
        if (w.size() > 2) return usage("pause|resume|toggle [OUTPUT]");
        auto t = targets(w.size() == 2 ? w[1] : "all", error);
        if (t.empty()) return false;
        bool anyPlaying = false;
        for (Slot* s : t) anyPlaying = anyPlaying || !s->userPaused;
        for (Slot* s : t) {
            s->userPaused = cmd == "pause" ? true : cmd == "resume" ? false : anyPlaying;
            applyState(*s);
            lines->push_back(s->info.name + ": " + stateOf(*s));
        }
        saveState();
        return true;
    }
    if (cmd == "reload") {
        if (w.size() > 2) return usage("reload [OUTPUT]");
        auto t = targets(w.size() == 2 ? w[1] : "all", error);
        if (t.empty()) return false;
        for (Slot* s : t) {
            s->crashes.clear();
            s->backoff = 1;
            s->fallback = false;
            startSlot(*s);
            lines->push_back(s->info.name + ": " + stateOf(*s));
        }
        return true;
    }
    if (cmd == "next") {
        if (w.size() > 2) return usage("next [OUTPUT]");
        if (_state.folder.empty()) {
            *error = "no folder to take the next bundle from (backdrop desktop --folder DIR)";
            return false;
        }
        auto t = targets(w.size() == 2 ? w[1] : "all", error);
        if (t.empty()) return false;
        NSAutoreleasePool pool;
        NSArray* found =
            DataTool::findDeskTopsBundlePathWithDirectory(NSSTR(_state.folder.c_str()));
        std::vector<std::string> bundles;
        for (size_t i = 0; found && i < found->count(); ++i)
            if (auto* s = dynamic_cast<NSString*>(found->objectAtIndex(i)))
                bundles.push_back(absolute(s->str()));
        std::sort(bundles.begin(), bundles.end());
        if (bundles.empty()) {
            *error = "no bundle in " + _state.folder;
            return false;
        }
        auto at = std::find(bundles.begin(), bundles.end(), t[0]->bundle);
        std::string next = at == bundles.end() || at + 1 == bundles.end() ? bundles[0] : *(at + 1);
        if (!setBundle(t, next, nullptr, error)) return false;
        for (Slot* s : t) lines->push_back(s->info.name + ": " + s->bundle);
        return true;
    }
    if (cmd == "tap" || cmd == "gesture") {
        bool tap = cmd == "tap";
        if (w.size() != (tap ? 2u : 3u)) return usage(tap ? "tap X,Y" : "gesture N X,Y");
        int x, y;
        char* end = nullptr;
        long type = tap ? 0 : std::strtol(w[1].c_str(), &end, 10);
        if ((!tap && (w[1].empty() || *end || type < INT32_MIN || type > INT32_MAX)) ||
            !parsePoint(w.back(), &x, &y))
            return usage(tap ? "tap X,Y (desktop pixels)" : "gesture N X,Y (desktop pixels)");
        CGPoint p;
        Slot* s = slotAt(x, y, &p);
        if (!s) {
            *error = "no output at " + w.back();
            return false;
        }
        if (!s->wp) {
            *error = "output " + s->info.name + " has no running wallpaper";
            return false;
        }
        if (tap)
            s->wp->send(Wallpaper::Op::tapActionAtViewPoint, p);
        else
            s->wp->send(Wallpaper::Op::gestureAction, p, type);
        lines->push_back(s->info.name + ": " + fmt("%.1f", p.x) + "," + fmt("%.1f", p.y));
        return true;
    }
    if (cmd == "settings") {
        if (w.size() > 2) return usage("settings [OUTPUT]");
        auto t = targets(w.size() == 2 ? w[1] : "all", error);
        if (t.empty()) return false;
        for (Slot* s : t)
            if (s->wp) s->wp->send(Wallpaper::Op::openSettingMenu);
        return true;
    }
    if (cmd == "rule") {
        if (w.size() != 3 || (w[2] != "on" && w[2] != "off"))
            return usage("rule hidden|off|battery|idle on|off");
        bool on = w[2] == "on";
        if (w[1] == "hidden")
            _options.pauseWhenHidden = on;
        else if (w[1] == "off")
            _options.pauseWhenOff = on;
        else if (w[1] == "battery")
            _options.pauseOnBattery = on;
        else if (w[1] == "idle") {
            _options.idleAfter = on ? (_options.idleAfter > 0 ? _options.idleAfter : 300) : 0;
            _backend->setIdleAfter(_options.idleAfter);
        } else {
            return usage("rule hidden|off|battery|idle on|off");
        }
        for (auto& [name, s] : _slots) applyState(*s);
        return true;
    }
    *error = "unknown command \"" + cmd.substr(0, 64) +
             "\" (set, pause, resume, toggle, next, reload, query, tap, gesture, settings, rule, "
             "quit)";
    return false;
}

}  // namespace host::desktop
