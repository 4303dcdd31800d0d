#include "Script.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace host {
namespace {

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

bool number(const std::string& s, double* v) {
    std::string t = trim(s);
    if (t.empty()) return false;
    char* end = nullptr;
    errno = 0;
    *v = std::strtod(t.c_str(), &end);
    return end && *end == '\0' && errno == 0 && std::isfinite(*v);
}

bool point(const std::string& s, CGPoint* p) {
    size_t comma = s.find(',');
    if (comma == std::string::npos) return false;
    return number(s.substr(0, comma), &p->x) && number(s.substr(comma + 1), &p->y);
}

}  // namespace

bool parseScript(const std::string& script, std::vector<ScriptAction>* out, std::string* error) {
    std::vector<ScriptAction> actions;
    std::stringstream items(script);
    std::string item;
    while (std::getline(items, item, ';')) {
        item = trim(item);
        if (item.empty()) continue;
        auto bad = [&](const std::string& why) {
            *error = "bad script item \"" + item + "\": " + why;
            return false;
        };
        size_t colon = item.find(':');
        ScriptAction a;
        a.text = item;
        if (colon == std::string::npos || !number(item.substr(0, colon), &a.time) || a.time < 0)
            return bad("expected T:ACTION with a time T of 0 or more seconds");
        std::string rest = trim(item.substr(colon + 1));
        size_t space = rest.find_first_of(" \t");
        a.verb = rest.substr(0, space);
        std::string args = space == std::string::npos ? "" : trim(rest.substr(space));
        if (a.verb == "tap") {
            if (!point(args, &a.point)) return bad("tap takes a point X,Y");
        } else if (a.verb == "gesture") {
            size_t sp = args.find_first_of(" \t");
            double type;
            if (sp == std::string::npos || !number(args.substr(0, sp), &type) ||
                type != std::floor(type) || type < INT32_MIN || type > INT32_MAX ||
                !point(args.substr(sp), &a.point))
                return bad("gesture takes a type and a point: gesture TYPE X,Y");
            a.type = int(type);
        } else if (a.verb == "scale") {
            if (!number(args, &a.value) || !(a.value > 0))
                return bad("scale takes a number above 0");
        } else if (a.verb == "offset" || a.verb == "scroll") {
            if (!number(args, &a.value)) return bad(a.verb + " takes a number");
        } else if (a.verb == "start" || a.verb == "pause" || a.verb == "resume" ||
                   a.verb == "stop" || a.verb == "frame" || a.verb == "settings") {
            if (!args.empty()) return bad(a.verb + " takes nothing");
        } else {
            return bad(
                "unknown action (tap, gesture, start, pause, resume, stop, frame, scale, "
                "offset, scroll, settings)");
        }
        actions.push_back(a);
    }
    std::stable_sort(actions.begin(), actions.end(),
                     [](const ScriptAction& x, const ScriptAction& y) { return x.time < y.time; });
    *out = std::move(actions);
    return true;
}

WallpaperRequest requestFor(const ScriptAction& a, double at) {
    using Op = WallpaperRequest::Op;
    WallpaperRequest r;
    r.at = at;
    r.point = a.point;
    r.value = a.value;
    r.integer = a.type;
    if (a.verb == "tap")
        r.op = Op::tapActionAtViewPoint;
    else if (a.verb == "gesture")
        r.op = Op::gestureAction;
    else if (a.verb == "start")
        r.op = Op::startAnimating;
    else if (a.verb == "pause")
        r.op = Op::pauseAnimating;
    else if (a.verb == "resume")
        r.op = Op::resumeAnimating;
    else if (a.verb == "stop")
        r.op = Op::stopAnimating;
    else if (a.verb == "frame")
        r.op = Op::doAnimating;
    else if (a.verb == "scale")
        r.op = Op::setScale;
    else if (a.verb == "offset")
        r.op = Op::setOffset;
    else if (a.verb == "scroll")
        r.op = Op::scrollingDidFinish;
    else if (a.verb == "settings")
        r.op = Op::openSettingMenu;
    return r;
}

}  // namespace host
