// `backdrop check BUNDLE`: a validator for wallpaper authors. The checks run in child processes
// so that a plug-in that crashes, aborts, exits or hangs is reported and never takes the tool
// down. One child loads and drives the library, another decodes the bundle's pictures and
// packages. Each child first names the checks it will make, then reports each one as it goes;
// the parent prints one line per check and answers for the checks a dead child left open.

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Commands.h"
#include "Common/NSData+DataEncrypt.h"
#include "Foundation/DynamicLoader.h"
#include "Foundation/NSBundle.h"
#include "Foundation/NSData.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSRunLoop.h"
#include "Foundation/NSString.h"
#include "UIKit/UIImage.h"
#include "UIKit/UIScreen.h"
#include "UIKit/UITouch.h"
#include "interface/DeskTopView.h"
#include "interface/DeskTopViewEntryPoints.h"

namespace fs = std::filesystem;

namespace {

using host::str;

constexpr int kCycles = 100;
constexpr double kViewWidth = kDeskTopViewWidth;
constexpr double kTeardownLimit = 3.0;  // seconds for the view to be torn down after release
const char* kDeallocLine = "=========DeskTopView dealloc=========";

// ---------------------------------------------------------------------------------------------
// The child's side: a line protocol on a pipe.
//   plan <title>       a check this child will report, in order
//   begin <index>      the check starts (the parent's time limit starts again)
//   ok <index> <text> / fail <index> <text>

class Reporter {
  public:
    explicit Reporter(int fd) : _fd(fd) {}
    void plan(const std::vector<std::string>& titles) {
        for (auto& t : titles) put("plan\t" + t);
    }
    void begin(int i) { put("begin\t" + std::to_string(i)); }
    void ok(int i, const std::string& detail = "") {
        put("ok\t" + std::to_string(i) + "\t" + detail);
    }
    void fail(int i, const std::string& reason) {
        put("fail\t" + std::to_string(i) + "\t" + reason);
    }

  private:
    void put(std::string line) {
        for (char& c : line)
            if (c == '\n') c = ' ';
        line += '\n';
        const char* p = line.data();
        size_t left = line.size();
        while (left > 0) {
            ssize_t n = write(_fd, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            p += n;
            left -= static_cast<size_t>(n);
        }
    }
    int _fd;
};

// The checks of the library child, in order.
enum LibraryCheck {
    kDescription,
    kLibraryName,
    kOpensLazy,
    kOpensNow,
    kExports,
    kInstance,
    kCycleCheck,
    kRelease,
    kNodelete,
};
const std::vector<std::string> kLibraryTitles = {
    "description.plist reads as a dictionary",
    "\"name Library\" names a file in the bundle",
    "the library opens (RTLD_LAZY)",
    "every symbol of the library resolves (RTLD_NOW)",
    "the library exports getDeskTopViewName, getDeskTopViewVersion and getDeskTopViewInstance",
    "getDeskTopViewInstance returns a view 320 points wide and as tall as the screen",
    "the view survives 100 cycles of start, pause, resume, stop, taps and gestures",
    "the view is released and torn down",
    "the library stays loaded after dlclose (-z nodelete)",
};

enum ResourceCheck { kThumbnail, kPictures, kPackages };
const std::vector<std::string> kResourceTitles = {
    "thumbnail.png is a picture",
    "every picture decodes",
    "every resource package reads and its records are pictures",
};

std::string sizeText(CGRect r) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g x %g", r.size.width, r.size.height);
    return buf;
}

// Every check that needs something an earlier check could not give.
void failRest(Reporter& r, int from, int to, const std::string& why) {
    for (int i = from; i <= to; ++i) r.fail(i, "not checked: " + why);
}

// Drives the view as a host does, kCycles times, on the main run loop.
void driveView(DeskTopView* view, UIView* root) {
    NSRunLoop* loop = NSRunLoop::mainRunLoop();
    bd::TouchDispatcher touches;
    CGRect b = view->bounds();
    for (int i = 0; i < kCycles; ++i) {
        NSAutoreleasePool pool;
        CGPoint p = CGPointMake(b.size.width * ((i * 37) % 100) / 100.0,
                                b.size.height * ((i * 61) % 100) / 100.0);
        view->startAnimating();
        loop->runPending();
        view->isAnimating();
        view->pauseAnimating();
        view->resumeAnimating();
        loop->runPending();
        view->doAnimating();
        view->tapActionAtViewPoint(p);
        view->gestureAction(i % 4, p);
        touches.began(root, p);
        touches.moved(CGPointMake(p.x + 5, p.y + 5));
        if (i % 10 == 9)
            touches.cancelled();
        else
            touches.ended(CGPointMake(p.x + 5, p.y + 5));
        view->scrollingDidFinish(i / double(kCycles));
        view->stopAnimating();
        loop->runPending();
    }
    view->openSettingMenu();
    view->stopAnimating();
    loop->runForInterval(0.05);  // lets stopped frame loops wind down
}

void runLibraryChecks(const std::string& bundlePath, Reporter& r) {
    r.plan(kLibraryTitles);
    NSAutoreleasePool pool;
    const int last = kNodelete;

    r.begin(kDescription);
    NSBundle* bundle = NSBundle::bundleWithPath(str(bundlePath));
    NSString* descriptionPath =
        bundle ? bundle->pathForResource(NSSTR("description"), NSSTR("plist")) : nullptr;
    NSDictionary* description = NSDictionary::dictionaryWithContentsOfFile(descriptionPath);
    if (!bundle) {
        r.fail(kDescription, bundlePath + " is not a directory");
        return failRest(r, kDescription + 1, last, "no bundle");
    }
    if (!descriptionPath) {
        r.fail(kDescription, "the bundle has no description.plist");
        return failRest(r, kDescription + 1, last, "no description");
    }
    if (!description) {
        r.fail(kDescription,
               "description.plist is not a property list with a dictionary at its root");
        return failRest(r, kDescription + 1, last, "no description");
    }
    r.ok(kDescription, std::to_string(description->count()) + " keys");

    r.begin(kLibraryName);
    NSObject* nameValue = description->objectForKey(NSSTR("name Library"));
    auto* name = as<NSString>(nameValue);
    std::string libraryPath = name ? bundle->resourcePath()->str() + "/" + name->str() : "";
    std::error_code ec;
    // Inside the bundle by the name itself ("../" can't leave it); a symbolic link inside the
    // bundle counts as inside, wherever it points.
    fs::path root = fs::path(bundle->resourcePath()->str()).lexically_normal();
    fs::path named = fs::path(libraryPath).lexically_normal();
    auto [end, ignored] = std::mismatch(root.begin(), root.end(), named.begin(), named.end());
    (void)ignored;
    if (!nameValue) {
        r.fail(kLibraryName, "description.plist has no \"name Library\" key");
        return failRest(r, kLibraryName + 1, last, "no library named");
    }
    if (!name) {
        r.fail(kLibraryName, "\"name Library\" is not a string");
        return failRest(r, kLibraryName + 1, last, "no library named");
    }
    if (end != root.end() && !(std::next(end) == root.end() && end->empty())) {
        r.fail(kLibraryName, name->str() + " lies outside the bundle");
        return failRest(r, kLibraryName + 1, last, "no library file in the bundle");
    }
    if (!fs::exists(named, ec)) {
        r.fail(kLibraryName, "no file " + name->str() + " in the bundle");
        return failRest(r, kLibraryName + 1, last, "no library file");
    }
    if (!fs::is_regular_file(named, ec)) {
        r.fail(kLibraryName, name->str() + " is not a regular file");
        return failRest(r, kLibraryName + 1, last, "no library file");
    }
    r.ok(kLibraryName, name->str());

    // The immediate-binding attempt comes first: a library with unresolved symbols doesn't
    // load that way, and then still loads lazily, as the loader opens it.
    r.begin(kOpensLazy);
    dlerror();
    void* now = bd::dynamicOpen(libraryPath.c_str(), RTLD_NOW);
    std::string nowError = now ? "" : bd::dynamicError();
    void* handle = bd::dynamicOpen(libraryPath.c_str(), RTLD_LAZY);
    if (!handle) {
        r.fail(kOpensLazy, bd::dynamicError());
        bd::dynamicClose(now);
        return failRest(r, kOpensLazy + 1, last, "the library did not open");
    }
    r.ok(kOpensLazy);
    r.begin(kOpensNow);
    if (now)
        r.ok(kOpensNow);
    else
        r.fail(kOpensNow, nowError);

    r.begin(kExports);
    auto nameFn = reinterpret_cast<GetDeskTopViewNameFunction>(
        bd::dynamicSymbol(handle, "getDeskTopViewName"));
    auto versionFn = reinterpret_cast<GetDeskTopViewVersionFunction>(
        bd::dynamicSymbol(handle, "getDeskTopViewVersion"));
    auto instanceFn = reinterpret_cast<GetDeskTopViewInstanceFunction>(
        bd::dynamicSymbol(handle, "getDeskTopViewInstance"));
    std::string missing;
    if (!nameFn) missing += " getDeskTopViewName";
    if (!versionFn) missing += " getDeskTopViewVersion";
    if (!instanceFn) missing += " getDeskTopViewInstance";
    if (!missing.empty()) {
        r.fail(kExports, "missing:" + missing);
    } else {
        NSString* n = nameFn();
        NSString* v = versionFn();
        if (!n || !v)
            r.fail(kExports, std::string(!n ? "getDeskTopViewName" : "getDeskTopViewVersion") +
                                 " returns null instead of a string");
        else
            r.ok(kExports, "name \"" + n->str() + "\", version \"" + v->str() + "\"");
    }
    if (!instanceFn) {
        failRest(r, kInstance, kRelease, "no getDeskTopViewInstance");
    } else {
        r.begin(kInstance);
        // Both views made here must be torn down in the end; the base teardown's log line
        // tells when each one goes.
        int deallocs = 0;
        bd::setLogCapture([&](const std::string& m) { deallocs += m == kDeallocLine; });
        UIScreen* screen = UIScreen::mainScreen();
        CGRect home = screen->bounds();
        Ref<DeskTopView> view;
        std::string problem;
        {
            NSAutoreleasePool instancePool;
            view = retained(instanceFn(bundle));
            if (!view) problem = "it returned null";
            CGRect f = view ? view->frame() : CGRect{};
            if (view && (f.size.width != kViewWidth || f.size.height != home.size.height))
                problem = "on a " + sizeText(home) + " screen the view is " + sizeText(f);
            // A taller and wider screen: the width stays 320.
            screen->setBounds(CGRectMake(0, 0, 375, 667));
            DeskTopView* other = problem.empty() ? instanceFn(bundle) : nullptr;
            CGRect g = other ? other->frame() : CGRect{};
            if (problem.empty() && !other) problem = "a second call returned null";
            if (other && (g.size.width != kViewWidth || g.size.height != 667))
                problem = "on a 375 x 667 screen the view is " + sizeText(g);
            screen->setBounds(home);
        }
        NSRunLoop::mainRunLoop()->runPending();
        if (!problem.empty()) {
            r.fail(kInstance, problem);
            failRest(r, kCycleCheck, kRelease, "no view");
        } else {
            r.ok(kInstance, sizeText(view->frame()));

            r.begin(kCycleCheck);
            Ref<UIView> host = adopt(alloc<UIView>()->initWithFrame(home));
            host->addSubview(view.get());
            driveView(view.get(), host.get());
            r.ok(kCycleCheck);

            r.begin(kRelease);
            view->removeFromSuperview();
            host = nullptr;
            view = nullptr;
            bool gone =
                NSRunLoop::mainRunLoop()->runUntil([&] { return deallocs >= 2; }, kTeardownLimit);
            if (gone)
                r.ok(kRelease);
            else
                r.fail(kRelease,
                       "the view was not torn down within 3 s of its release "
                       "(something still holds it)");
        }
        bd::setLogCapture(nullptr);
    }

    r.begin(kNodelete);
    bd::dynamicClose(now);
    bd::dynamicClose(handle);
    void* still = bd::dynamicOpen(libraryPath.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (still) {
        bd::dynamicClose(still);
        r.ok(kNodelete);
    } else {
        r.fail(kNodelete,
               "dlclose unloads the library while its objects may live on; link it "
               "with -z nodelete (backdrop_add_wallpaper_bundle does)");
    }
}

// ---------------------------------------------------------------------------------------------
// Pictures and packages.

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool readFile(const fs::path& p, std::vector<uint8_t>& out) {
    std::error_code ec;
    auto size = fs::file_size(p, ec);
    if (ec || size > (size_t(1) << 30)) return false;
    std::ifstream in(p, std::ios::binary);
    out.resize(size);
    return in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size))
               .good() ||
           size == 0;
}

// Walks a package's records without trusting its lengths; "" when every record stated by the
// count is complete, else what is wrong.
std::string packageStructureProblem(const std::vector<uint8_t>& b) {
    auto be32 = [&](size_t at) {
        return static_cast<int32_t>((uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) |
                                    (uint32_t(b[at + 2]) << 8) | uint32_t(b[at + 3]));
    };
    if (b.size() < 4) return "shorter than its record count";
    int32_t count = be32(0);
    if (count < 0) return "negative record count";
    size_t at = 4;
    for (int32_t i = 0; i < count; ++i) {
        for (int part = 0; part < 2; ++part) {
            if (b.size() - at < 4) return "record " + std::to_string(i + 1) + " is cut short";
            int32_t len = be32(at);
            at += 4;
            if (len < 0 || static_cast<size_t>(len) > b.size() - at)
                return "record " + std::to_string(i + 1) + " states a length past the file's end";
            if (part == 0 && !NSString::isValidUTF8(b.data() + at, static_cast<size_t>(len)))
                return "record " + std::to_string(i + 1) + " has a key that is not UTF-8";
            at += static_cast<size_t>(len);
        }
    }
    return "";
}

void runResourceChecks(const std::string& bundlePath, Reporter& r) {
    r.plan(kResourceTitles);
    NSAutoreleasePool pool;
    std::error_code ec;
    std::vector<fs::path> pictures, packages;
    if (fs::is_directory(bundlePath, ec)) {
        fs::recursive_directory_iterator it(bundlePath, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            if (!it->is_regular_file(ec)) continue;
            std::string ext = lower(it->path().extension().string());
            if (ext == ".png" || ext == ".jpg" || ext == ".jpeg") pictures.push_back(it->path());
            if (ext == ".pkg") packages.push_back(it->path());
        }
    }
    std::sort(pictures.begin(), pictures.end());
    std::sort(packages.begin(), packages.end());

    r.begin(kThumbnail);
    fs::path thumb = fs::path(bundlePath) / "thumbnail.png";
    if (!fs::is_regular_file(thumb, ec))
        r.fail(kThumbnail, "the bundle has no thumbnail.png");
    else if (UIImage* t = UIImage::imageWithContentsOfFile(str(thumb.string())))
        r.ok(kThumbnail, sizeText(CGRectMake(0, 0, t->size().width, t->size().height)));
    else
        r.fail(kThumbnail, "thumbnail.png does not decode");

    r.begin(kPictures);
    std::string bad;
    size_t badCount = 0;
    for (auto& p : pictures) {
        NSAutoreleasePool each;
        if (!UIImage::imageWithContentsOfFile(str(p.string()))) {
            ++badCount;
            bad += (bad.empty() ? "" : ", ") + fs::relative(p, bundlePath, ec).string();
        }
    }
    if (badCount)
        r.fail(kPictures, std::to_string(badCount) + " of " + std::to_string(pictures.size()) +
                              " don't decode: " + bad);
    else
        r.ok(kPictures, std::to_string(pictures.size()) + " pictures");

    r.begin(kPackages);
    std::string problems;
    size_t records = 0;
    for (auto& p : packages) {
        NSAutoreleasePool each;
        std::string name = fs::relative(p, bundlePath, ec).string();
        std::vector<uint8_t> bytes;
        std::string problem = readFile(p, bytes) ? packageStructureProblem(bytes) : "unreadable";
        if (problem.empty()) {
            NSDictionary* datas = DataEncrypt::readDatasFromFilePath(str(p.string()));
            NSArray* keys = datas->allKeys();
            for (NSObject* k : *keys) {
                ++records;
                auto* value = as<NSData>(datas->objectForKey(k));
                if (!UIImage::imageWithData(DataEncrypt::dataWithEncryptionData(value)))
                    problem +=
                        (problem.empty() ? "" : ", ") + k->description()->str() + " is no picture";
            }
        }
        if (!problem.empty()) problems += (problems.empty() ? "" : "; ") + name + ": " + problem;
    }
    if (!problems.empty())
        r.fail(kPackages, problems);
    else
        r.ok(kPackages, std::to_string(packages.size()) + " packages, " + std::to_string(records) +
                            " records");
}

// ---------------------------------------------------------------------------------------------
// The parent's side.

struct Outcome {
    int passed = 0;
    int failed = 0;
};

void printLine(bool ok, const std::string& title, const std::string& text, Outcome& o) {
    (ok ? o.passed : o.failed)++;
    std::printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", title.c_str(), text.empty() ? "" : ": ",
                text.c_str());
    std::fflush(stdout);
}

std::string deathText(int status) {
    if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        const char* name = sigabbrev_np(sig);
        return std::string("the plug-in crashed (SIG") + (name ? name : std::to_string(sig)) +
               ", " + strsignal(sig) + ")";
    }
    if (WIFEXITED(status))
        return "the process exited with status " + std::to_string(WEXITSTATUS(status));
    return "the process ended";
}

// Runs body in a child process and prints its checks as they report.
void runInChild(const std::function<void(Reporter&)>& body, double limitSeconds, bool verbose,
                Outcome& outcome) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        printLine(false, "start the checks", std::strerror(errno), outcome);
        return;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        printLine(false, "start the checks", std::strerror(errno), outcome);
        return;
    }
    if (pid == 0) {
        close(fds[0]);
        if (!verbose) {
            int null = open("/dev/null", O_WRONLY);
            if (null >= 0) {
                dup2(null, STDOUT_FILENO);
                dup2(null, STDERR_FILENO);
                close(null);
            }
        }
        Reporter reporter(fds[1]);
        body(reporter);
        std::fflush(nullptr);
        _exit(0);
    }
    close(fds[1]);

    std::vector<std::string> titles;
    std::vector<bool> reported;
    int current = -1;
    std::string buffer;
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::duration<double>(limitSeconds);
    bool timedOut = false;
    for (;;) {
        double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(std::min(left * 1000 + 1, double(INT_MAX))));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) continue;
        char chunk[4096];
        ssize_t got = read(fds[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        buffer.append(chunk, static_cast<size_t>(got));
        size_t nl;
        while ((nl = buffer.find('\n')) != std::string::npos) {
            std::string line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            size_t tab = line.find('\t');
            std::string kind = line.substr(0, tab);
            std::string rest = tab == std::string::npos ? "" : line.substr(tab + 1);
            if (kind == "plan") {
                titles.push_back(rest);
                reported.push_back(false);
                continue;
            }
            size_t tab2 = rest.find('\t');
            int index = std::atoi(rest.substr(0, tab2).c_str());
            std::string text = tab2 == std::string::npos ? "" : rest.substr(tab2 + 1);
            if (index < 0 || static_cast<size_t>(index) >= titles.size()) continue;
            if (kind == "begin") {
                current = index;
                deadline = Clock::now() + std::chrono::duration<double>(limitSeconds);
            } else if ((kind == "ok" || kind == "fail") && !reported[index]) {
                reported[index] = true;
                printLine(kind == "ok", titles[index], text, outcome);
                current = -1;
            }
        }
    }
    if (timedOut) kill(pid, SIGKILL);
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }

    std::string why;
    if (timedOut) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "the plug-in did not finish within %g s", limitSeconds);
        why = buf;
    } else {
        why = deathText(status);
    }
    // Checks the child left open: the one in progress died with it, the later ones never ran.
    for (size_t i = 0; i < titles.size(); ++i) {
        if (reported[i]) continue;
        if (current < 0 || static_cast<int>(i) == current)
            printLine(false, titles[i], why, outcome);
        else
            printLine(false, titles[i], "not checked: " + why + " in an earlier check", outcome);
    }
    bool normalEnd = !timedOut && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (titles.empty() && !normalEnd) printLine(false, "start the checks", why, outcome);
}

int check(const std::string& bundlePath, double limitSeconds, bool verbose) {
    Outcome outcome;
    runInChild([&](Reporter& r) { runLibraryChecks(bundlePath, r); }, limitSeconds, verbose,
               outcome);
    runInChild([&](Reporter& r) { runResourceChecks(bundlePath, r); }, limitSeconds, verbose,
               outcome);
    int total = outcome.passed + outcome.failed;
    if (outcome.failed == 0)
        std::printf("all %d checks passed\n", total);
    else
        std::printf("%d of %d checks failed\n", outcome.failed, total);
    return outcome.failed == 0 ? 0 : host::kExitFailure;
}

}  // namespace

namespace host {

void addCheckCommand(CLI::App& app, int& exitCode) {
    static std::string bundle;
    static double limit = 10.0;
    static bool verbose = false;
    auto* cmd = app.add_subcommand(
        "check",
        "Check a wallpaper bundle, one line per check (the plug-in runs in a child process)");
    cmd->add_option("BUNDLE", bundle, "Path of the bundle")->required();
    cmd->add_option("--timeout", limit, "Seconds each check may take")
        ->check(CLI::Range(0.1, 600.0));
    cmd->add_flag("--verbose", verbose, "Show the wallpaper's own output");
    cmd->callback([&exitCode] { exitCode = check(bundle, limit, verbose); });
}

}  // namespace host
