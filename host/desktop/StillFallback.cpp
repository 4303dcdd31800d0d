// The still-picture fallback for Wayland compositors without a background layer.

#include "StillFallback.h"

#include <fcntl.h>
#include <pixman.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "CoreGraphics/CGImage.h"
#include "Foundation/NSLog.h"
#include "UIKit/ImageIO.h"
#include "host/wallpaper/WallpaperProcess.h"

extern char** environ;

namespace host::desktop {

namespace {

constexpr double kClockStart = 1000;  // where the wallpaper's virtual clock starts
constexpr double kProgramWait = 10;   // seconds gsettings may take
const char* const kSchema = "org.gnome.desktop.background";

double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::string absolute(const std::string& path) {
    std::error_code ec;
    auto p = std::filesystem::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

// Runs a program (searched on PATH) with the signals the daemon blocks unblocked again, its
// stdout collected into *out (at most 64 KiB) and its stderr dropped. The exit code, or -1 when
// it could not run or took longer than kProgramWait (then it is killed).
int runProgram(const std::vector<std::string>& argv, std::string* out) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    close(p[1]);
    if (rc != 0) {
        close(p[0]);
        return -1;
    }
    double end = monotonicSeconds() + kProgramWait;
    bool timedOut = false;
    char buf[4096];
    for (;;) {
        double left = end - monotonicSeconds();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd f{p[0], POLLIN, 0};
        if (poll(&f, 1, int(std::ceil(left * 1000))) <= 0) continue;
        ssize_t n = read(p[0], buf, sizeof buf);
        if (n <= 0) break;
        if (out && out->size() < 65536) out->append(buf, size_t(n));
    }
    close(p[0]);
    if (timedOut) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string trimmed(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    return s;
}

// A name that is safe in a file name.
std::string fileName(const std::string& output) {
    std::string out;
    for (char c : output)
        out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ? c : '_';
    if (out.empty() || out[0] == '.') out.insert(out.begin(), '_');
    return out;
}

// Writes a fresh file beside path and renames it over path: whatever was there (a picture of
// the last run, a FIFO, a symbolic link) is replaced, never written through or waited on.
bool writePicture(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    ::unlink(tmp.c_str());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        *error = "cannot write " + tmp + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    bool ok = done == bytes.size() && ::fsync(fd) == 0;
    int saved = errno;
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        if (ok) saved = errno;
        ::unlink(tmp.c_str());
        *error = "cannot write " + path + ": " + std::strerror(saved);
        return false;
    }
    return true;
}

std::string defaultDataDir() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/') return std::string(data) + "/backdrop";
    const char* home = std::getenv("HOME");
    return std::string(home && home[0] == '/' ? home : "/tmp") + "/.local/share/backdrop";
}

bool gsettingsGet(const char* key, std::string* value) {
    std::string out;
    if (runProgram({"gsettings", "get", kSchema, key}, &out) != 0) return false;
    *value = trimmed(out);
    return true;
}

bool gsettingsSet(const char* key, const std::string& value) {
    if (value.empty()) return runProgram({"gsettings", "reset", kSchema, key}, nullptr) == 0;
    return runProgram({"gsettings", "set", kSchema, key, value}, nullptr) == 0;
}

}  // namespace

bool gnomeSession() {
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    if (!desktop) return false;
    std::string list = desktop;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        std::string item = list.substr(start, end == std::string::npos ? end : end - start);
        for (char& c : item) c = char(std::toupper(static_cast<unsigned char>(c)));
        if (item == "GNOME" || item == "GNOME-CLASSIC" || item == "UBUNTU") return true;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return false;
}

std::string fileUri(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out = "file://";
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

bool renderStill(const std::string& bundle, int width, int height, FitMode fit,
                 const ScreenSpec& phone, uint32_t background, double at, bool sandbox,
                 const std::string& executable, const std::string& path, std::string* error) {
    if (width <= 0 || height <= 0 || width > 32767 || height > 32767) {
        *error = "an output of an unusable size";
        return false;
    }
    Fitted f = fitScreen(width, height, fit, phone, background);
    WallpaperOptions o;
    o.bundlePath = bundle;
    o.screen = f.screen;
    o.icons = false;
    o.clock = WallpaperOptions::Clock::Virtual;
    o.virtualStart = kClockStart;
    o.sandbox = sandbox;
    o.executable = executable;
    o.discardOutput = true;
    std::unique_ptr<WallpaperProcess> p = WallpaperProcess::spawn(o, error);
    if (!p) return false;
    WallpaperRequest start;
    start.op = WallpaperRequest::Op::startAnimating;
    WallpaperEvent reply;
    WallpaperFrame frame;
    if (!p->call(start, o.hangTimeout, &reply, error) ||
        !p->renderSync(kClockStart + at, o.hangTimeout, &frame, error))
        return false;

    // The output's picture: the background colour, the frame placed (or stretched) on it.
    const size_t stride = size_t(width) * 4;
    std::shared_ptr<uint8_t[]> pixels(new uint8_t[stride * size_t(height)]);
    pixman_image_t* dst = pixman_image_create_bits(
        PIXMAN_a8r8g8b8, width, height, reinterpret_cast<uint32_t*>(pixels.get()), int(stride));
    pixman_color_t colour{uint16_t(((background >> 16) & 0xff) * 257),
                          uint16_t(((background >> 8) & 0xff) * 257),
                          uint16_t((background & 0xff) * 257), 0xffff};
    pixman_image_t* fill = pixman_image_create_solid_fill(&colour);
    pixman_image_composite32(PIXMAN_OP_SRC, fill, nullptr, dst, 0, 0, 0, 0, 0, 0, width, height);
    pixman_image_unref(fill);
    // The frame as the compositor shows an XRGB buffer: opaque.
    pixman_image_t* src = pixman_image_create_bits(
        PIXMAN_x8r8g8b8, p->width(), p->height(),
        reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(frame.pixels)), int(p->stride()));
    const Placement& pl = f.placement;
    if (pl.stretch && pl.width > 0 && pl.height > 0) {
        pixman_transform_t t;
        pixman_transform_init_scale(&t, pixman_double_to_fixed(double(p->width()) / pl.width),
                                    pixman_double_to_fixed(double(p->height()) / pl.height));
        pixman_image_set_transform(src, &t);
        pixman_image_set_filter(src, PIXMAN_FILTER_BILINEAR, nullptr, 0);
        pixman_image_set_repeat(src, PIXMAN_REPEAT_PAD);
        pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, pl.x, pl.y, pl.width,
                                 pl.height);
    } else {
        pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, pl.x, pl.y,
                                 p->width(), p->height());
    }
    pixman_image_unref(src);
    pixman_image_unref(dst);
    p.reset();  // the wallpaper process ends here

    Ref<CGImage> image = adopt(bd::createARGB32Image(size_t(width), size_t(height), pixels));
    std::vector<uint8_t> png = image ? bd::encodePNG(image.get()) : std::vector<uint8_t>();
    if (png.empty()) {
        *error = "cannot encode the still picture";
        return false;
    }
    return writePicture(path, png, error);
}

StillFallback::StillFallback(std::unique_ptr<Backend> backend, StillOptions options,
                             std::unique_ptr<ControlServer> control)
    : _backend(std::move(backend)), _options(std::move(options)), _control(std::move(control)) {}

StillFallback::~StillFallback() = default;

void StillFallback::say(const std::string& line) {
    if (!_options.daemon.quiet) std::fprintf(stderr, "backdrop desktop: %s\n", line.c_str());
}

void StillFallback::save() {
    std::string error;
    for (const Still& s : _stills) {
        OutputState& o = _state.outputs[s.info.name];
        o.bundle = s.bundle;
        o.fit = s.fit;
    }
    if (!saveState(_statePath, _state, &error)) say(error);
}

bool StillFallback::renderAll(std::string* error) {
    int written = 0;
    for (Still& s : _stills) {
        s.error.clear();
        if (!renderStill(s.bundle, s.info.rect.width, s.info.rect.height, s.fit,
                         _options.daemon.phone, _options.daemon.background, _options.at,
                         _options.sandbox, _options.executable, s.path, &s.error)) {
            say("output " + s.info.name + ": no still picture of " + s.bundle + ": " + s.error);
            continue;
        }
        ++written;
    }
    if (written == 0) {
        *error = "no still picture could be made";
        return false;
    }
    return true;
}

bool StillFallback::setGnome(std::string* error) {
    // GNOME shows one picture on every monitor: the largest output's.
    const Still* best = nullptr;
    for (const Still& s : _stills)
        if (s.error.empty() &&
            (!best || double(s.info.rect.width) * s.info.rect.height >
                          double(best->info.rect.width) * best->info.rect.height))
            best = &s;
    if (!best) {
        *error = "no still picture to set";
        return false;
    }
    // Remember the user's picture, unless what is set now is already ours (a daemon that was
    // killed before it could put theirs back): then the one saved then stays.
    std::string light, dark;
    if (!gsettingsGet("picture-uri", &light) || !gsettingsGet("picture-uri-dark", &dark)) {
        *error = "cannot read GNOME's background setting (gsettings get " + std::string(kSchema) +
                 " picture-uri)";
        return false;
    }
    std::string ours = fileUri(_options.dataDir + "/still-");
    if (light.find(ours) == std::string::npos) _state.gnomePictureUri = light;
    if (dark.find(ours) == std::string::npos) _state.gnomePictureUriDark = dark;
    save();
    std::string uri = "'" + fileUri(best->path) + "'";
    if (!gsettingsSet("picture-uri", uri) || !gsettingsSet("picture-uri-dark", uri)) {
        *error = "cannot set GNOME's background (gsettings set " + std::string(kSchema) +
                 " picture-uri)";
        return false;
    }
    say("the still picture of " + best->info.name + " (" + best->path +
        ") is GNOME's background now; `backdrop ctl quit` puts the previous one back");
    return true;
}

void StillFallback::restoreGnome() {
    // An empty saved value (unknown) resets the key to GNOME's default picture.
    bool ok = gsettingsSet("picture-uri", _state.gnomePictureUri) &&
              gsettingsSet("picture-uri-dark", _state.gnomePictureUriDark);
    if (!ok) {
        say("could not put the previous GNOME background back");
        return;
    }
    say("the previous GNOME background is back");
    _state.gnomePictureUri.clear();
    _state.gnomePictureUriDark.clear();
    save();
}

bool StillFallback::command(const std::string& line, std::vector<std::string>* lines,
                            std::string* error) {
    std::vector<std::string> w;
    if (!splitWords(line, &w) || w.empty()) {
        *error = "malformed request";
        return false;
    }
    const std::string& cmd = w[0];
    if (cmd == "query") {
        bool json = w.size() == 2 && w[1] == "--json";
        if (w.size() > 2 || (w.size() == 2 && !json)) {
            *error = "usage: query [--json]";
            return false;
        }
        std::string outs;
        for (const Still& s : _stills) {
            const PixelRect& r = s.info.rect;
            if (json) {
                if (!outs.empty()) outs += ",";
                outs += "{\"name\":" + bd::jsonString(s.info.name) +
                        ",\"x\":" + std::to_string(r.x) + ",\"y\":" + std::to_string(r.y) +
                        ",\"width\":" + std::to_string(r.width) +
                        ",\"height\":" + std::to_string(r.height) +
                        ",\"bundle\":" + bd::jsonString(s.bundle) +
                        ",\"fit\":" + bd::jsonString(fitName(s.fit)) +
                        ",\"state\":\"fallback\",\"reason\":\"no layer-shell\",\"still\":" +
                        bd::jsonString(s.error.empty() ? s.path : "") +
                        ",\"pid\":0,\"last_end\":" + bd::jsonString(s.error) + "}";
            } else {
                lines->push_back(s.info.name + " " + std::to_string(r.width) + "x" +
                                 std::to_string(r.height) + "+" + std::to_string(r.x) + "+" +
                                 std::to_string(r.y) + " state=fallback(no layer-shell) bundle=" +
                                 joinWords({s.bundle}) + " fit=" + fitName(s.fit) +
                                 " still=" + joinWords({s.error.empty() ? s.path : "-"}));
            }
        }
        if (json)
            lines->push_back("{\"pid\":" + std::to_string(getpid()) +
                             ",\"display\":" + bd::jsonString(_backend->displayName()) +
                             ",\"backend\":" + bd::jsonString(_backend->kind()) +
                             ",\"fallback\":\"no layer-shell\",\"gnome\":" +
                             (_gnome ? "true" : "false") + ",\"outputs\":[" + outs + "]}");
        else
            lines->push_back("daemon pid=" + std::to_string(getpid()) +
                             " display=" + _backend->displayName() +
                             " backend=" + _backend->kind() + " fallback: no layer-shell");
        return true;
    }
    if (cmd == "quit") {
        _quit = true;
        if (_gnome) restoreGnome();
        lines->push_back("quitting");
        return true;
    }
    if (cmd == "set" || cmd == "reload") {
        std::vector<std::string> pos;
        FitMode fit = FitMode::Width;
        bool fitGiven = false;
        for (size_t i = 1; i < w.size(); ++i) {
            if (cmd == "set" && w[i] == "--fit" && i + 1 < w.size()) {
                if (!parseFit(w[++i], &fit)) {
                    *error = "usage: set [OUTPUT|all] BUNDLE [--fit width|fill|fit|center|stretch]";
                    return false;
                }
                fitGiven = true;
            } else {
                pos.push_back(w[i]);
            }
        }
        size_t most = cmd == "set" ? 2 : 1;
        if ((cmd == "set" && pos.empty()) || pos.size() > most) {
            *error = cmd == "set"
                         ? "usage: set [OUTPUT|all] BUNDLE [--fit width|fill|fit|center|stretch]"
                         : "usage: reload [OUTPUT]";
            return false;
        }
        std::string target =
            cmd == "set" ? (pos.size() == 2 ? pos[0] : "all") : (pos.empty() ? "all" : pos[0]);
        std::string bundle;
        if (cmd == "set") {
            bundle = absolute(pos.back());
            std::error_code ec;
            if (!std::filesystem::is_directory(bundle, ec)) {
                *error = "no bundle at " + bundle + "; the picture stays";
                return false;
            }
        }
        bool any = false;
        for (Still& s : _stills) {
            if (target != "all" && target != s.info.name) continue;
            any = true;
            std::string why;
            std::string b = bundle.empty() ? s.bundle : bundle;
            FitMode f = fitGiven ? fit : s.fit;
            if (!renderStill(b, s.info.rect.width, s.info.rect.height, f, _options.daemon.phone,
                             _options.daemon.background, _options.at, _options.sandbox,
                             _options.executable, s.path, &why)) {
                *error = "cannot load " + b + ": " + why + "; the picture stays";
                return false;
            }
            s.bundle = b;
            s.fit = f;
            s.error.clear();
            lines->push_back(s.info.name + ": " + s.path);
        }
        if (!any) {
            *error = "no output named " + target;
            return false;
        }
        if (cmd == "set" && target == "all") {
            _state.bundle = bundle;
            if (fitGiven) _state.fit = fit;
        }
        save();
        if (_gnome && !setGnome(error)) return false;
        return true;
    }
    *error =
        "this compositor has no background layer, so only a still picture is shown: "
        "query, set, reload and quit work";
    return false;
}

int StillFallback::run() {
    const DaemonOptions& d = _options.daemon;
    if (_options.dataDir.empty()) _options.dataDir = defaultDataDir();
    _statePath = d.statePath.empty() ? defaultStatePath() : d.statePath;
    std::string error;
    say("the compositor offers no background layer (zwlr_layer_shell_v1): showing a still "
        "picture instead");

    // The bundles, as the daemon would choose them.
    if (d.bundle.empty() && d.outputBundles.empty()) {
        if (!loadState(_statePath, &_state, &error)) {
            std::fprintf(stderr, "backdrop: %s (give a bundle: backdrop desktop BUNDLE)\n",
                         error.c_str());
            return 1;
        }
        if (d.fitGiven) _state.fit = d.fit;
    } else {
        DesktopState saved;
        std::string ignored;
        loadState(_statePath, &saved, &ignored);
        _state = saved;
        if (!d.bundle.empty()) {
            _state.bundle = absolute(d.bundle);
            _state.outputs.clear();
        }
        _state.fit = d.fit;
        for (const auto& [name, bundle] : d.outputBundles)
            _state.outputs[name] = {absolute(bundle), d.fit, false};
    }
    std::error_code ec;
    bool made = std::filesystem::create_directories(_options.dataDir, ec);
    if (made) ::chmod(_options.dataDir.c_str(), 0700);
    if (ec) {
        std::fprintf(stderr, "backdrop: cannot make %s: %s\n", _options.dataDir.c_str(),
                     ec.message().c_str());
        return 1;
    }
    for (const OutputInfo& info : _backend->outputs()) {
        Still s;
        s.info = info;
        auto saved = _state.outputs.find(info.name);
        s.bundle = saved != _state.outputs.end() ? saved->second.bundle : _state.bundle;
        s.fit = d.fitGiven || saved == _state.outputs.end() ? _state.fit : saved->second.fit;
        s.path = _options.dataDir + "/still-" + fileName(info.name) + ".png";
        _stills.push_back(s);
    }
    if (_stills.empty()) {
        std::fprintf(stderr, "backdrop: the compositor lists no outputs\n");
        return 1;
    }
    if (!renderAll(&error)) {
        std::fprintf(stderr, "backdrop: %s\n", error.c_str());
        return 1;
    }
    save();

    _gnome = gnomeSession();
    if (!_gnome) {
        for (const Still& s : _stills)
            if (s.error.empty())
                std::printf("still picture of %s: %s\n", s.info.name.c_str(), s.path.c_str());
        std::fflush(stdout);
        say("set it as the background with your desktop's own setting");
        return 0;
    }
    if (!setGnome(&error)) {
        std::fprintf(stderr, "backdrop: %s\n", error.c_str());
        return 1;
    }

    // Stay to answer `ctl` until quit, a signal, or the end of the session.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    int sigFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);
    while (!_quit) {
        std::vector<pollfd> fds;
        for (int fd : _backend->fds()) fds.push_back({fd, POLLIN, 0});
        for (int fd : _control->fds()) fds.push_back({fd, POLLIN, 0});
        if (sigFd >= 0) fds.push_back({sigFd, POLLIN, 0});
        int wait = -1;
        for (int t : {_backend->timeoutMs(), _control->timeoutMs()})
            if (t >= 0) wait = wait < 0 ? t : std::min(wait, t);
        ::poll(fds.data(), nfds_t(fds.size()), wait);
        signalfd_siginfo si;
        while (sigFd >= 0 && read(sigFd, &si, sizeof si) == ssize_t(sizeof si)) {
            say(std::string("got ") + strsignal(int(si.ssi_signo)) +
                ": quitting; the still picture stays");
            _quit = true;
        }
        for (const BackendEvent& e : _backend->dispatch())
            if (e.kind == BackendEvent::Kind::Lost) {
                say(e.text);
                _quit = true;
                _exitCode = 1;
            }
        for (ControlServer::Request& r : _control->handle()) {
            std::vector<std::string> lines;
            std::string why;
            if (command(r.line, &lines, &why))
                _control->reply(r.client, lines);
            else
                _control->reply(r.client, lines, why.empty() ? "failed" : why);
        }
    }
    if (sigFd >= 0) close(sigFd);
    return _exitCode;
}

}  // namespace host::desktop
