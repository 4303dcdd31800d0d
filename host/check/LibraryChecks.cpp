// The library checks of `backdrop check`, the parent's side: the description is read here;
// everything that runs the wallpaper's code happens in wallpaper processes — one on the real
// clock for opening, the entry points, 100 cycles of the host's operations driven over the
// protocol, the release and -z nodelete; one on the virtual clock for the animated soak and
// the rest after a pause.

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "CheckRunner.h"
#include "Foundation/NSBundle.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSString.h"
#include "interface/DeskTopView.h"
#include "interface/DeskTopViewEntryPoints.h"

namespace fs = std::filesystem;

namespace host::check {
namespace {

constexpr int kCycles = 100;
// Resident memory growth the soak allows. A sanitized build of the tool (its tests) runs the
// wallpaper on the sanitizer's allocator, which keeps freed memory in a quarantine and grows
// shadow memory as it goes: there the allowance is four times as large, still far below a leak
// of a megabyte a frame.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kMaxGrowthMiBPerMinute = 64;
#else
constexpr double kMaxGrowthMiBPerMinute = 16;
#endif
constexpr double kSoakStep = 0.05;     // media seconds between the soak's frames
constexpr double kMaxSoakMedia = 600;  // simulated seconds at most
constexpr double kBusyShare = 0.5;     // of a core while paused

const char* kDescription = "description.plist reads as a dictionary";
const char* kLibraryName = "\"name Library\" names a file in the bundle";
const char* kOpensLazy = "the library opens (RTLD_LAZY)";
const char* kOpensNow = "every symbol of the library resolves (RTLD_NOW)";
const char* kAbi = "the library is built for this Backdrop's ABI";
const char* kExports =
    "the library exports getDeskTopViewName, getDeskTopViewVersion and getDeskTopViewInstance";
const char* kInstance =
    "getDeskTopViewInstance returns a view 320 points wide and as tall as the screen";
const char* kCycleCheck =
    "the view survives 100 cycles of start, pause, resume, stop, taps and gestures";
const char* kRelease = "the view is released and torn down";
const char* kNodelete = "the library stays loaded after dlclose (-z nodelete)";
const char* kPaused = "the view rests while paused";

std::string soakTitle(double seconds) {
    char t[128];
    std::snprintf(t, sizeof t,
                  "the view runs animated for %g s without crashing or growing in memory", seconds);
    return t;
}

// The value of key in "key=value" lines, or "" (found says whether the key was there).
std::string value(const std::vector<std::string>& lines, const std::string& key,
                  bool* found = nullptr) {
    for (const std::string& l : lines)
        if (l.compare(0, key.size() + 1, key + "=") == 0) {
            if (found) *found = true;
            return l.substr(key.size() + 1);
        }
    if (found) *found = false;
    return "";
}

std::vector<std::string> titlesFrom(const std::vector<std::string>& all, const std::string& from) {
    auto it = std::find(all.begin(), all.end(), from);
    return std::vector<std::string>(it, all.end());
}

// The description and the library's name, read here. False when the library checks can't go on.
bool describe(CheckRunner& r, const std::vector<std::string>& titles) {
    NSAutoreleasePool pool;
    const std::string& path = r.options().bundle;
    NSBundle* bundle = NSBundle::bundleWithPath(NSString::stringWithUTF8String(path.c_str()));
    NSString* descriptionPath =
        bundle ? bundle->pathForResource(NSSTR("description"), NSSTR("plist")) : nullptr;
    NSDictionary* description = NSDictionary::dictionaryWithContentsOfFile(descriptionPath);
    auto stop = [&](const std::string& title, const std::string& text, const std::string& why) {
        r.result(false, title, text);
        auto rest = titlesFrom(titles, title);
        r.notChecked(std::vector<std::string>(rest.begin() + 1, rest.end()), why);
        return false;
    };
    if (!bundle) return stop(kDescription, path + " is not a directory", "no bundle");
    if (!descriptionPath)
        return stop(kDescription, "the bundle has no description.plist", "no description");
    if (!description)
        return stop(kDescription,
                    "description.plist is not a property list with a dictionary at its root",
                    "no description");
    r.result(true, kDescription, std::to_string(description->count()) + " keys");

    NSObject* nameValue = description->objectForKey(NSSTR("name Library"));
    auto* name = as<NSString>(nameValue);
    if (!nameValue)
        return stop(kLibraryName, "description.plist has no \"name Library\" key",
                    "no library named");
    if (!name) return stop(kLibraryName, "\"name Library\" is not a string", "no library named");
    std::string libraryPath = bundle->resourcePath()->str() + "/" + name->str();
    // Inside the bundle by the name itself ("../" can't leave it); a symbolic link inside the
    // bundle counts as inside, wherever it points.
    fs::path root = fs::path(bundle->resourcePath()->str()).lexically_normal();
    fs::path named = fs::path(libraryPath).lexically_normal();
    auto [end, ignored] = std::mismatch(root.begin(), root.end(), named.begin(), named.end());
    (void)ignored;
    std::error_code ec;
    if (end != root.end() && !(std::next(end) == root.end() && end->empty()))
        return stop(kLibraryName, name->str() + " lies outside the bundle",
                    "no library file in the bundle");
    if (!fs::exists(named, ec))
        return stop(kLibraryName, "no file " + name->str() + " in the bundle", "no library file");
    if (!fs::is_regular_file(named, ec))
        return stop(kLibraryName, name->str() + " is not a regular file", "no library file");
    r.result(true, kLibraryName, name->str());
    return true;
}

// Runs one step within the deadline; false with the check's failure text.
bool step(CheckRunner& r, WallpaperProcess& p, const char* name, const Deadline& d,
          std::vector<std::string>* lines, std::string* why) {
    std::string error;
    bool ok = p.runStep(name, d.left(), lines, &error);
    r.collect(p);
    if (!ok) *why = r.failure(p, error);
    return ok;
}

bool request(CheckRunner& r, WallpaperProcess& p, WallpaperRequest::Op op, const Deadline& d,
             std::string* why, CGPoint point = {}, double v = 0, int64_t integer = 0) {
    WallpaperRequest q;
    q.op = op;
    q.point = point;
    q.value = v;
    q.integer = integer;
    WallpaperEvent reply;
    std::string error;
    if (p.call(q, d.left(), &reply, &error)) return true;
    *why = r.failure(p, error);
    return false;
}

// The host's operations, kCycles times, as a launcher sends them, each answered over the
// protocol.
bool cycles(CheckRunner& r, WallpaperProcess& p, const Deadline& d, std::string* why) {
    using Op = WallpaperRequest::Op;
    const ScreenSpec s;  // the screen the processes run with
    for (int i = 0; i < kCycles; ++i) {
        CGPoint pt = CGPointMake(
            std::min(kDeskTopViewWidth - 1, kDeskTopViewWidth * ((i * 37) % 100) / 100.0),
            s.height * ((i * 61) % 100) / 100.0);
        CGPoint moved = CGPointMake(pt.x + 5, pt.y + 5);
        bool ok =
            request(r, p, Op::startAnimating, d, why) && request(r, p, Op::isAnimating, d, why) &&
            request(r, p, Op::pauseAnimating, d, why) &&
            request(r, p, Op::resumeAnimating, d, why) && request(r, p, Op::doAnimating, d, why) &&
            request(r, p, Op::tapActionAtViewPoint, d, why, pt) &&
            request(r, p, Op::gestureAction, d, why, pt, 0, i % 4) &&
            request(r, p, Op::touchBegan, d, why, pt) &&
            request(r, p, Op::touchMoved, d, why, moved) &&
            request(r, p, i % 10 == 9 ? Op::touchCancelled : Op::touchEnded, d, why, moved) &&
            request(r, p, Op::scrollingDidFinish, d, why, {}, i / double(kCycles)) &&
            request(r, p, Op::stopAnimating, d, why);
        if (!ok) return false;
    }
    return request(r, p, Op::openSettingMenu, d, why) && request(r, p, Op::stopAnimating, d, why);
}

// Least-squares slope of y over x.
double slope(const std::vector<std::pair<double, double>>& xy) {
    if (xy.size() < 2) return 0;
    double mx = 0, my = 0;
    for (auto& [x, y] : xy) mx += x, my += y;
    mx /= double(xy.size());
    my /= double(xy.size());
    double num = 0, den = 0;
    for (auto& [x, y] : xy) num += (x - mx) * (y - my), den += (x - mx) * (x - mx);
    return den > 0 ? num / den : 0;
}

// The view animated on the virtual clock for soakSeconds of wall-clock time, as fast as it
// renders; the parent samples the process's resident memory against media time.
void soakAndPause(CheckRunner& r) {
    const CheckOptions& o = r.options();
    const std::string soak = soakTitle(o.soakSeconds);
    std::string error;
    std::unique_ptr<WallpaperProcess> p = r.spawn(true, true, &error);
    if (!p) {
        r.result(false, soak, error);
        r.notChecked({kPaused}, error + " in an earlier check");
        return;
    }
    const WallpaperOptions& wo = p->options();
    Deadline d(o.soakSeconds + o.limit);
    Deadline soakEnd(o.soakSeconds);
    std::string why;
    if (!request(r, *p, WallpaperRequest::Op::startAnimating, d, &why)) {
        r.result(false, soak, why);
        r.notChecked({kPaused}, why + " in an earlier check");
        return;
    }
    std::vector<std::pair<double, double>> samples;  // (media seconds, MiB)
    double t = wo.virtualStart;
    int frames = 0;
    auto lastSample = std::chrono::steady_clock::now();
    uint64_t firstRss = 0, lastRss = 0;
    while (!soakEnd.passed() && t - wo.virtualStart < kMaxSoakMedia) {
        t += kSoakStep;
        WallpaperFrame f;
        if (!p->renderSync(t, d.left(), &f, &error)) {
            r.result(false, soak, r.failure(*p, error));
            r.notChecked({kPaused}, r.failure(*p, error) + " in an earlier check");
            return;
        }
        p->releaseBuffer(f.buffer);
        ++frames;
        auto now = std::chrono::steady_clock::now();
        if (frames == 1 || now - lastSample >= std::chrono::milliseconds(100)) {
            lastSample = now;
            uint64_t rss = p->counters().rssBytes;
            if (!firstRss) firstRss = rss;
            lastRss = rss;
            samples.push_back({t - wo.virtualStart, double(rss) / (1 << 20)});
        }
        r.collect(*p);
    }
    // Growth after a warm-up (the first quarter: pictures decoded, caches filled).
    std::vector<std::pair<double, double>> settled(samples.begin() + long(samples.size() / 4),
                                                   samples.end());
    double perMinute = slope(settled) * 60;
    double simulated = t - wo.virtualStart;
    char text[256];
    std::snprintf(text, sizeof text,
                  "%.1f simulated s in %g s, %d frames; resident memory %.1f -> %.1f MiB (%+.1f "
                  "MiB per simulated minute)",
                  simulated, o.soakSeconds, frames, double(firstRss) / (1 << 20),
                  double(lastRss) / (1 << 20), perMinute);
    bool grows = perMinute > kMaxGrowthMiBPerMinute;
    r.result(!grows, soak,
             grows ? std::string(text) + ", more than " +
                         std::to_string(int(kMaxGrowthMiBPerMinute)) + " MiB per minute"
                   : text);

    // Paused, the wallpaper should cost nothing: watch its processor time for a second.
    Deadline pd(o.limit);
    if (!request(r, *p, WallpaperRequest::Op::pauseAnimating, pd, &why)) {
        r.result(false, kPaused, why);
        return;
    }
    double cpu0 = p->counters().cpuSeconds;
    auto w0 = std::chrono::steady_clock::now();
    double watch = std::min(1.0, o.limit);
    while (p->alive() &&
           std::chrono::steady_clock::now() - w0 < std::chrono::duration<double>(watch))
        r.collect(*p), usleep(20000);
    if (!p->alive()) {
        r.result(false, kPaused, r.failure(*p, p->end().text));
        return;
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    double share = (p->counters().cpuSeconds - cpu0) / wall;
    char busy[128];
    std::snprintf(busy, sizeof busy, "%.0f%% of a core over %.1f s", share * 100, wall);
    r.result(share <= kBusyShare, kPaused,
             share <= kBusyShare ? busy : std::string("it used ") + busy + " while paused");
    r.collect(*p);
    r.warnAsked(*p);
}

}  // namespace

void runLibraryChecks(CheckRunner& r) {
    const std::string soak = soakTitle(r.options().soakSeconds);
    const std::vector<std::string> titles = {kDescription, kLibraryName, kOpensLazy, kOpensNow,
                                             kAbi,         kExports,     kInstance,  kCycleCheck,
                                             kRelease,     kNodelete,    soak,       kPaused};
    if (!describe(r, titles)) return;

    // Everything after this runs the library's code: in wallpaper processes.
    std::string error;
    std::unique_ptr<WallpaperProcess> p = r.spawn(false, false, &error);
    if (!p) return r.notChecked(titlesFrom(titles, kOpensLazy), error);
    const double limit = r.options().limit;
    std::string why;
    // A check the process died in fails with why; the later ones that needed it don't run.
    auto died = [&](const char* title) {
        r.result(false, title, why);
        auto rest = titlesFrom(titles, title);
        std::vector<std::string> later(rest.begin() + 1, rest.end());
        // The soak runs in a process of its own; it still tells its own story.
        later.erase(std::remove(later.begin(), later.end(), soak), later.end());
        later.erase(std::remove(later.begin(), later.end(), kPaused), later.end());
        r.notChecked(later, why + " in an earlier check");
    };

    std::vector<std::string> lines;
    {
        Deadline d(limit);
        if (!step(r, *p, "open", d, &lines, &why)) return died(kOpensLazy), soakAndPause(r);
    }
    std::string lazy = value(lines, "lazy"), now = value(lines, "now");
    if (lazy != "ok") {
        r.result(false, kOpensLazy, lazy);
        r.notChecked(std::vector<std::string>(titles.begin() + 3, titles.end()),
                     "the library did not open");
        return;
    }
    r.result(true, kOpensLazy, "");
    r.result(now == "ok", kOpensNow, now == "ok" ? "" : now);

    // A library of another ABI must not be handed this framework's objects: the one line that
    // says so is the whole story, and nothing after it runs the library's code.
    std::string abiText = value(lines, "abi");
    int abi = abiText == "none" ? 1 : std::atoi(abiText.c_str());
    std::string refusal = abiText.empty() ? "the library did not answer" : bd::abiRefusal(abi);
    if (!refusal.empty()) {
        r.result(false, kAbi, refusal);
        return;
    }
    r.result(
        true, kAbi,
        "ABI " + std::to_string(abi) +
            (abiText == "none" ? " (it has no getDeskTopViewAbiVersion, as before ABIs)" : ""));

    {
        Deadline d(limit);
        if (!step(r, *p, "exports", d, &lines, &why)) return died(kExports), soakAndPause(r);
    }
    bool found = false;
    std::string missing = value(lines, "missing", &found);
    if (found)
        r.result(false, kExports, "missing: " + missing);
    else if (std::string null = value(lines, "null", &found); found)
        r.result(false, kExports, null + " returns null instead of a string");
    else
        r.result(
            true, kExports,
            "name \"" + value(lines, "name") + "\", version \"" + value(lines, "version") + "\"");
    if (missing.find("getDeskTopViewInstance") != std::string::npos) {
        r.notChecked({kInstance, kCycleCheck, kRelease}, "no getDeskTopViewInstance");
    } else {
        bool viewMade = false;
        {
            Deadline d(limit);
            if (!step(r, *p, "instance", d, &lines, &why)) return died(kInstance), soakAndPause(r);
            std::string problem = value(lines, "problem", &found);
            if (found) {
                r.result(false, kInstance, problem);
                r.notChecked({kCycleCheck, kRelease}, "no view");
            } else {
                r.result(true, kInstance, value(lines, "frame"));
                viewMade = true;
            }
        }
        if (viewMade) {
            Deadline d(limit);
            if (!step(r, *p, "load", d, &lines, &why)) return died(kCycleCheck), soakAndPause(r);
            std::string loadError = value(lines, "error", &found);
            if (found) {
                r.result(false, kCycleCheck, loadError);
            } else {
                if (!cycles(r, *p, d, &why)) return died(kCycleCheck), soakAndPause(r);
                r.result(true, kCycleCheck, "");
            }
            r.warnAsked(*p);
            Deadline rd(limit);
            if (!step(r, *p, "release", rd, &lines, &why)) return died(kRelease), soakAndPause(r);
            r.result(value(lines, "released") == "1", kRelease,
                     value(lines, "released") == "1"
                         ? ""
                         : "the view was not torn down within 3 s of its release (something "
                           "still holds it)");
        }
    }
    {
        Deadline d(limit);
        if (!step(r, *p, "nodelete", d, &lines, &why)) return died(kNodelete), soakAndPause(r);
        bool stays = value(lines, "stays") == "1";
        r.result(stays, kNodelete,
                 stays ? ""
                       : "dlclose unloads the library while its objects may live on; link it "
                         "with -z nodelete (backdrop_add_wallpaper_bundle does)");
    }
    r.collect(*p);
    p.reset();
    soakAndPause(r);
}

void runSandboxCheck(CheckRunner& r) {
    const char* title = "the wallpaper stays inside its sandbox";
    if (r.options().process.noSandbox) return r.result(true, title, "not checked (--no-sandbox)");
    if (r.denied().empty()) return r.result(true, title, "nothing was refused");
    std::string text = "refused: ";
    for (size_t i = 0; i < r.denied().size(); ++i) text += (i ? "; " : "") + r.denied()[i];
    r.result(false, title, text);
}

}  // namespace host::check
