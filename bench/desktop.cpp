// The desktop daemon with the sample wallpaper, on a 1920x1080 Xvfb and then on a 1920x1080
// headless sway (run as nobody): CPU of the daemon and its wallpaper process while playing,
// still and paused (from /proc), what the daemon sends while the picture is still (X11: bytes to
// the server; Wayland: surface commits), both counted by a proxy between the daemon and the
// server that forwards descriptors too, and the time from a window going fullscreen to the
// wallpaper being paused. Baselines measured in the same run: the server's own CPU while the
// wallpaper plays, and the time the window manager (X11) or the compositor's foreign-toplevel
// announcement (Wayland) takes to say the window is fullscreen (the pause can come no sooner).

#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "host/desktop/ControlSocket.h"
#include "host/desktop/WaylandBackend.h"
#include "support/bundles.h"
#include "support/files.h"
#include "support/pictures.h"
#include "support/process.h"
#include "support/wayland.h"
#include "support/xservers.h"

namespace {

using Clock = std::chrono::steady_clock;
double gSeconds = 10;

double now() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

double cpuSeconds(pid_t pid) {
    std::string stat = bdtest::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream in(stat.substr(close + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> f; ++i) {
        if (i == 14) utime = std::stoull(f);
        if (i == 15) stime = std::stoull(f);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

bool waitFor(double seconds, const std::function<bool()>& ok) {
    double end = now() + seconds;
    while (now() < end) {
        if (ok()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return ok();
}

// Forwards X connections from an abstract socket ":M" to the real server ":N", counting the
// bytes clients send and passing descriptors (MIT-SHM segments) along.
class Proxy {
  public:
    std::atomic<uint64_t> toServer{0};
    std::string display;
    bool start(int serverNumber) {
        _server = serverNumber;
        for (int m = serverNumber + 100; m < serverNumber + 200 && _listen < 0; ++m) {
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::string name = "/tmp/.X11-unix/X" + std::to_string(m);
            std::memcpy(a.sun_path + 1, name.data(), name.size());
            if (bind(fd, reinterpret_cast<sockaddr*>(&a),
                     socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size())) == 0 &&
                listen(fd, 16) == 0) {
                _listen = fd;
                display = ":" + std::to_string(m);
            } else {
                close(fd);
            }
        }
        if (_listen < 0) return false;
        pipe(_stop);
        _thread = std::thread([this] { loop(); });
        return true;
    }
    ~Proxy() {
        if (_listen < 0) return;
        write(_stop[1], "x", 1);
        _thread.join();
        close(_listen);
        close(_stop[0]);
        close(_stop[1]);
        for (auto& p : _pairs) close(p.first), close(p.second);
    }

  private:
    int connectServer() {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::string path = "/tmp/.X11-unix/X" + std::to_string(_server);
        std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
    // Moves what one side sent to the other, descriptors included; false at the end.
    bool pass(int from, int to, bool count) {
        char buf[65536];
        char control[CMSG_SPACE(sizeof(int) * 16)];
        iovec iov{buf, sizeof buf};
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        ssize_t n = recvmsg(from, &m, MSG_CMSG_CLOEXEC);
        if (n <= 0) return false;
        if (count) toServer += uint64_t(n);
        iov.iov_len = size_t(n);
        msghdr out{};
        out.msg_iov = &iov;
        out.msg_iovlen = 1;
        std::vector<int> fds;
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
                for (size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i)
                    fds.push_back(reinterpret_cast<int*>(CMSG_DATA(c))[i]);
        char outControl[CMSG_SPACE(sizeof(int) * 16)];
        if (!fds.empty()) {
            out.msg_control = outControl;
            out.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
            cmsghdr* c = CMSG_FIRSTHDR(&out);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
            std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
        }
        bool ok = sendmsg(to, &out, MSG_NOSIGNAL) == n;
        for (int fd : fds) close(fd);
        return ok;
    }
    void loop() {
        for (;;) {
            std::vector<pollfd> p{{_stop[0], POLLIN, 0}, {_listen, POLLIN, 0}};
            for (auto& [c, s] : _pairs) {
                p.push_back({c, POLLIN, 0});
                p.push_back({s, POLLIN, 0});
            }
            poll(p.data(), p.size(), -1);
            if (p[0].revents) return;
            if (p[1].revents & POLLIN) {
                int c = accept4(_listen, nullptr, nullptr, SOCK_CLOEXEC);
                int s = c >= 0 ? connectServer() : -1;
                if (s >= 0)
                    _pairs.push_back({c, s});
                else if (c >= 0)
                    close(c);
            }
            for (size_t i = 0; i < _pairs.size(); ++i) {
                short rc = p[2 + 2 * i].revents, rs = p[3 + 2 * i].revents;
                bool ok = true;
                if (rc & (POLLIN | POLLHUP)) ok = pass(_pairs[i].first, _pairs[i].second, true);
                if (ok && (rs & (POLLIN | POLLHUP)))
                    ok = pass(_pairs[i].second, _pairs[i].first, false);
                if (!ok) {
                    close(_pairs[i].first);
                    close(_pairs[i].second);
                    _pairs[i] = {-1, -1};
                }
            }
            _pairs.erase(std::remove(_pairs.begin(), _pairs.end(), std::pair<int, int>{-1, -1}),
                         _pairs.end());
        }
    }
    int _server = 0, _listen = -1, _stop[2] = {-1, -1};
    std::thread _thread;
    std::vector<std::pair<int, int>> _pairs;
};

struct Setup {
    bdtest::Xvfb x;
    Proxy proxy;
    bdtest::TempDir tmp{"bench-desktop"};
    std::string dir = tmp.path();
    bdtest::Child daemon;
    std::string socket;
    pid_t child = 0;
    bool ok = false;
    Setup() {
        if (!x.start(1920, 1080, true) || !proxy.start(std::stoi(x.display.substr(1)))) return;
        std::filesystem::create_directories(dir + "/run");
        std::filesystem::permissions(dir + "/run", std::filesystem::perms::owner_all);
        daemon = bdtest::spawn({bdtest::toolPath(), "desktop", bdtest::demoBundle(), "--idle-after",
                                "0", "--no-pause-on-battery", "--quiet"},
                               {"DISPLAY=" + proxy.display, "XDG_RUNTIME_DIR=" + dir + "/run",
                                "XDG_STATE_HOME=" + dir + "/state"},
                               false);
        socket = dir + "/run/backdrop/" + proxy.display + ".sock";
        ok = waitFor(15, [&] { return !field("pid").empty() && field("state") == "playing"; });
        std::string p = field("pid");
        child = p.empty() ? 0 : pid_t(std::stol(p));
    }
    ~Setup() {
        if (daemon.pid > 0) {
            kill(daemon.pid, SIGTERM);
            bdtest::waitFor(daemon, 10);
        }
    }
    std::vector<std::string> request(const std::string& line) {
        std::vector<std::string> lines;
        std::string error;
        bool noDaemon = false;
        host::desktop::controlRequest(socket, line, &lines, &error, &noDaemon, 5);
        return lines;
    }
    // A field of the first output in `query --json`.
    std::string field(const std::string& key) {
        auto lines = request("query --json");
        if (lines.empty()) return "";
        const std::string& j = lines[0];
        size_t outputs = j.find("\"outputs\"");
        size_t at =
            outputs == std::string::npos ? std::string::npos : j.find("\"" + key + "\":", outputs);
        if (at == std::string::npos) return "";
        at += key.size() + 3;
        if (j[at] == '"') return j.substr(at + 1, j.find('"', at + 1) - at - 1);
        return j.substr(at, j.find_first_of(",}", at) - at);
    }
    double cpu() { return cpuSeconds(daemon.pid) + cpuSeconds(child); }
};

Setup* gSetup = nullptr;
struct Figures {
    double playing = -1, still = -1, paused = -1, xPlaying = -1, bytesPerSecond = -1;
    double latencyMs = -1, wmMs = -1;
    double wlPlaying = -1, wlStill = -1, wlPaused = -1, swayPlaying = -1, wlCommitsPerSecond = -1;
    double wlLatencyMs = -1, toplevelMs = -1;
} gFig;

// Forwards Wayland connections from a socket of its own to the compositor's, descriptors
// included, and counts the wl_surface.commit requests clients send. It follows the objects
// that lead to surfaces: the registry (wl_display.get_registry), the compositor it binds
// (wl_registry.bind naming "wl_compositor") and the surfaces made from it, forgetting a
// surface when it is destroyed.
class WaylandProxy {
  public:
    std::atomic<uint64_t> commits{0};
    std::string path;
    bool start(const std::string& dir, const std::string& compositor) {
        _compositor = compositor;
        path = dir + "/proxy-wayland";
        _listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        if (bind(_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(_listen, 8))
            return false;
        if (pipe(_stop) != 0) return false;
        _thread = std::thread([this] { loop(); });
        return true;
    }
    ~WaylandProxy() {
        if (!_thread.joinable()) return;
        if (write(_stop[1], "x", 1) != 1) return;
        _thread.join();
        close(_listen);
        close(_stop[0]);
        close(_stop[1]);
        for (auto& c : _links) close(c.client), close(c.server);
    }

  private:
    struct Link {
        int client = -1, server = -1;
        std::string pending;  // client bytes not yet parsed (a message split across reads)
        uint32_t registry = 0, compositor = 0;
        std::vector<uint32_t> surfaces;
    };
    int connectCompositor() {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, _compositor.c_str(), sizeof a.sun_path - 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
    static uint32_t word(const std::string& s, size_t at) {
        uint32_t v;
        std::memcpy(&v, s.data() + at, 4);
        return v;
    }
    // Reads the client's requests: header (object, size << 16 | opcode), then arguments.
    void parse(Link& l) {
        while (l.pending.size() >= 8) {
            uint32_t object = word(l.pending, 0), h = word(l.pending, 4);
            size_t size = h >> 16, opcode = h & 0xffff;
            if (size < 8 || l.pending.size() < size) break;
            auto arg = [&](size_t i) { return 8 + 4 * i < size ? word(l.pending, 8 + 4 * i) : 0; };
            if (object == 1 && opcode == 1) {
                l.registry = arg(0);  // wl_display.get_registry
            } else if (object == l.registry && opcode == 0 && size > 16) {
                // wl_registry.bind(name, interface string, version, new_id)
                uint32_t len = arg(1);
                std::string name = l.pending.substr(16, len ? len - 1 : 0);
                uint32_t words = (len + 3) / 4;
                if (name == "wl_compositor") l.compositor = arg(2 + words + 1);
            } else if (object == l.compositor && opcode == 0) {
                l.surfaces.push_back(arg(0));  // wl_compositor.create_surface
            } else if (std::find(l.surfaces.begin(), l.surfaces.end(), object) !=
                       l.surfaces.end()) {
                if (opcode == 6) ++commits;  // wl_surface.commit
                if (opcode == 0)             // wl_surface.destroy
                    l.surfaces.erase(std::find(l.surfaces.begin(), l.surfaces.end(), object));
            }
            l.pending.erase(0, size);
        }
    }
    // Moves what one side sent to the other, descriptors included; false at the end.
    bool pass(int from, int to, Link* parseAs) {
        char buf[65536];
        char control[CMSG_SPACE(sizeof(int) * 28)];
        iovec iov{buf, sizeof buf};
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        ssize_t n = recvmsg(from, &m, MSG_CMSG_CLOEXEC);
        if (n <= 0) return false;
        if (parseAs) {
            parseAs->pending.append(buf, size_t(n));
            parse(*parseAs);
        }
        iov.iov_len = size_t(n);
        msghdr out{};
        out.msg_iov = &iov;
        out.msg_iovlen = 1;
        std::vector<int> fds;
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
                for (size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i)
                    fds.push_back(reinterpret_cast<int*>(CMSG_DATA(c))[i]);
        char outControl[CMSG_SPACE(sizeof(int) * 28)];
        if (!fds.empty()) {
            out.msg_control = outControl;
            out.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
            cmsghdr* c = CMSG_FIRSTHDR(&out);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
            std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
        }
        bool ok = sendmsg(to, &out, MSG_NOSIGNAL) == n;
        for (int fd : fds) close(fd);
        return ok;
    }
    void loop() {
        for (;;) {
            std::vector<pollfd> p{{_stop[0], POLLIN, 0}, {_listen, POLLIN, 0}};
            for (auto& l : _links) {
                p.push_back({l.client, POLLIN, 0});
                p.push_back({l.server, POLLIN, 0});
            }
            poll(p.data(), p.size(), -1);
            if (p[0].revents) return;
            if (p[1].revents & POLLIN) {
                int c = accept4(_listen, nullptr, nullptr, SOCK_CLOEXEC);
                int s = c >= 0 ? connectCompositor() : -1;
                if (s >= 0) {
                    Link l;
                    l.client = c;
                    l.server = s;
                    _links.push_back(std::move(l));
                } else if (c >= 0) {
                    close(c);
                }
            }
            for (size_t i = 0; i < _links.size() && 2 + 2 * i + 1 < p.size(); ++i) {
                Link& l = _links[i];
                short rc = p[2 + 2 * i].revents, rs = p[3 + 2 * i].revents;
                bool ok = true;
                if (rc & (POLLIN | POLLHUP)) ok = pass(l.client, l.server, &l);
                if (ok && (rs & (POLLIN | POLLHUP))) ok = pass(l.server, l.client, nullptr);
                if (!ok) {
                    close(l.client);
                    close(l.server);
                    l.client = l.server = -1;
                }
            }
            _links.erase(std::remove_if(_links.begin(), _links.end(),
                                        [](const Link& l) { return l.client < 0; }),
                         _links.end());
        }
    }
    std::string _compositor;
    int _listen = -1, _stop[2] = {-1, -1};
    std::thread _thread;
    std::vector<Link> _links;
};

// The daemon on headless sway (1920x1080) through the counting proxy.
struct WlSetup {
    bdtest::SwayHeadless sway;
    WaylandProxy proxy;
    bdtest::TempDir tmp{"bench-wl"};
    std::string dir = tmp.path();
    bdtest::Child daemon;
    std::string socket;
    pid_t child = 0;
    bool ok = false;
    WlSetup() {
        if (!sway.start({{1920, 1080}}) || !proxy.start(dir, sway.socket)) return;
        std::filesystem::create_directories(dir + "/run");
        std::filesystem::permissions(dir + "/run", std::filesystem::perms::owner_all);
        daemon = bdtest::spawn(
            {bdtest::toolPath(), "desktop", bdtest::demoBundle(), "--idle-after", "0",
             "--no-pause-on-battery", "--quiet"},
            {"WAYLAND_DISPLAY=" + proxy.path, "DISPLAY=", "XDG_RUNTIME_DIR=" + dir + "/run",
             "XDG_STATE_HOME=" + dir + "/state"},
            false);
        socket = host::desktop::socketPath(dir + "/run/backdrop", proxy.path);
        ok = waitFor(15, [&] { return !field("pid").empty() && field("state") == "playing"; });
        std::string p = field("pid");
        child = p.empty() ? 0 : pid_t(std::stol(p));
    }
    ~WlSetup() {
        if (daemon.pid > 0) {
            kill(daemon.pid, SIGTERM);
            bdtest::waitFor(daemon, 10);
        }
    }
    std::vector<std::string> request(const std::string& line) {
        std::vector<std::string> lines;
        std::string error;
        bool noDaemon = false;
        host::desktop::controlRequest(socket, line, &lines, &error, &noDaemon, 5);
        return lines;
    }
    std::string field(const std::string& key) {
        auto lines = request("query --json");
        if (lines.empty()) return "";
        const std::string& j = lines[0];
        size_t outputs = j.find("\"outputs\"");
        size_t at =
            outputs == std::string::npos ? std::string::npos : j.find("\"" + key + "\":", outputs);
        if (at == std::string::npos) return "";
        at += key.size() + 3;
        if (j[at] == '"') return j.substr(at + 1, j.find('"', at + 1) - at - 1);
        return j.substr(at, j.find_first_of(",}", at) - at);
    }
    double cpu() { return cpuSeconds(daemon.pid) + cpuSeconds(child); }
};

WlSetup* gWl = nullptr;
std::unique_ptr<Setup> gX11;

// The Wayland benchmarks run after the X11 ones: the X11 setup ends first.
bool wayland() {
    if (gWl) return gWl->ok;
    gSetup = nullptr;
    gX11.reset();
    gWl = new WlSetup();
    if (!gWl->ok) std::fprintf(stderr, "desktop: the daemon did not start under headless sway\n");
    return gWl->ok;
}

// CPU % of daemon + wallpaper on Wayland over gSeconds, with `during` run every 2 s.
double measureWl(const std::function<void()>& during, double* compositor = nullptr) {
    WlSetup& s = *gWl;
    double c0 = s.cpu(), k0 = cpuSeconds(s.sway.sway.pid), t0 = now();
    double next = t0;
    while (now() - t0 < gSeconds) {
        if (during && now() >= next) {
            during();
            next += 2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    double wall = now() - t0;
    if (compositor) *compositor = (cpuSeconds(s.sway.sway.pid) - k0) / wall * 100;
    return (s.cpu() - c0) / wall * 100;
}

// CPU % of daemon + wallpaper over gSeconds, with `during` run every 2 s.
double measure(const std::function<void()>& during, double* server = nullptr) {
    Setup& s = *gSetup;
    double c0 = s.cpu(), x0 = cpuSeconds(s.x.server.pid), t0 = now();
    double next = t0;
    while (now() - t0 < gSeconds) {
        if (during && now() >= next) {
            during();
            next += 2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    double wall = now() - t0;
    if (server) *server = (cpuSeconds(s.x.server.pid) - x0) / wall * 100;
    return (s.cpu() - c0) / wall * 100;
}

void BM_Playing(benchmark::State& state) {
    for (auto _ : state)
        // The sample's flip-book replays on gesture 2: keep it playing all the time.
        gFig.playing = measure([] { gSetup->request("gesture 2 960,540"); }, &gFig.xPlaying);
    state.counters["cpu_pct"] = gFig.playing;
    state.counters["x_server_cpu_pct"] = gFig.xPlaying;
}

void BM_Still(benchmark::State& state) {
    for (auto _ : state) {
        waitFor(15, [] { return gSetup->field("fps") == "0.0"; });
        uint64_t b0 = gSetup->proxy.toServer;
        double t0 = now();
        gFig.still = measure(nullptr);
        gFig.bytesPerSecond = double(gSetup->proxy.toServer - b0) / (now() - t0);
    }
    state.counters["cpu_pct"] = gFig.still;
    state.counters["x_bytes_per_s"] = gFig.bytesPerSecond;
}

void BM_Paused(benchmark::State& state) {
    for (auto _ : state) {
        gSetup->request("gesture 2 960,540");  // paused in the middle of its flip-book
        gSetup->request("pause");
        gFig.paused = measure(nullptr);
        gSetup->request("resume");
    }
    state.counters["cpu_pct"] = gFig.paused;
}

void BM_PauseLatency(benchmark::State& state) {
    Setup& s = *gSetup;
    xcb_connection_t* c = xcb_connect(s.x.display.c_str(), nullptr);
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    auto atom = [&](const char* n) {
        auto* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(n)), n), nullptr);
        xcb_atom_t a = r->atom;
        free(r);
        return a;
    };
    xcb_atom_t wmState = atom("_NET_WM_STATE"), full = atom("_NET_WM_STATE_FULLSCREEN");
    xcb_window_t w = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, 100, 100, 300, 200, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    xcb_map_window(c, w);
    xcb_flush(c);
    waitFor(5, [&] { return s.field("state") == "playing"; });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // managed by openbox
    auto fullscreenState = [&] {
        auto* r = xcb_get_property_reply(
            c, xcb_get_property(c, 0, w, wmState, XCB_ATOM_ATOM, 0, 16), nullptr);
        bool on = false;
        if (r) {
            auto* v = static_cast<xcb_atom_t*>(xcb_get_property_value(r));
            for (int i = 0; i < xcb_get_property_value_length(r) / 4; ++i) on |= v[i] == full;
        }
        free(r);
        return on;
    };
    auto ask = [&](bool on) {  // the EWMH request a program sends to go fullscreen
        xcb_client_message_event_t e{};
        e.response_type = XCB_CLIENT_MESSAGE;
        e.format = 32;
        e.window = w;
        e.type = wmState;
        e.data.data32[0] = on ? 1 : 0;
        e.data.data32[1] = full;
        e.data.data32[3] = 1;
        xcb_send_event(c, 0, screen->root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&e));
        xcb_flush(c);
    };
    std::vector<double> pause, wm;
    for (auto _ : state) {
        for (int i = 0; i < 5; ++i) {
            double t0 = now();
            ask(true);
            waitFor(5, fullscreenState);
            wm.push_back((now() - t0) * 1000);
            waitFor(5, [&] { return s.field("state") == "hidden"; });
            pause.push_back((now() - t0) * 1000);
            ask(false);
            waitFor(5, [&] { return s.field("state") == "playing"; });
        }
    }
    std::sort(pause.begin(), pause.end());
    std::sort(wm.begin(), wm.end());
    gFig.latencyMs = pause[pause.size() / 2];
    gFig.wmMs = wm[wm.size() / 2];
    state.counters["pause_latency_ms"] = gFig.latencyMs;
    state.counters["wm_fullscreen_ms"] = gFig.wmMs;
    xcb_destroy_window(c, w);
    xcb_disconnect(c);
}

void BM_WlPlaying(benchmark::State& state) {
    if (!wayland()) return state.SkipWithError("no headless sway");
    double commits = 0;
    for (auto _ : state) {
        // The commits while playing show that the proxy sees them.
        uint64_t c0 = gWl->proxy.commits;
        double t0 = now();
        gFig.wlPlaying = measureWl([] { gWl->request("gesture 2 960,540"); }, &gFig.swayPlaying);
        commits = double(gWl->proxy.commits - c0) / (now() - t0);
    }
    state.counters["cpu_pct"] = gFig.wlPlaying;
    state.counters["commits_per_s"] = commits;
    state.counters["sway_cpu_pct"] = gFig.swayPlaying;
}

void BM_WlStill(benchmark::State& state) {
    if (!wayland()) return state.SkipWithError("no headless sway");
    for (auto _ : state) {
        waitFor(15, [] { return gWl->field("fps") == "0.0"; });
        uint64_t c0 = gWl->proxy.commits;
        double t0 = now();
        gFig.wlStill = measureWl(nullptr);
        gFig.wlCommitsPerSecond = double(gWl->proxy.commits - c0) / (now() - t0);
    }
    state.counters["cpu_pct"] = gFig.wlStill;
    state.counters["commits_per_s"] = gFig.wlCommitsPerSecond;
}

void BM_WlPaused(benchmark::State& state) {
    if (!wayland()) return state.SkipWithError("no headless sway");
    for (auto _ : state) {
        gWl->request("gesture 2 960,540");  // paused in the middle of its flip-book
        gWl->request("pause");
        gFig.wlPaused = measureWl(nullptr);
        gWl->request("resume");
    }
    state.counters["cpu_pct"] = gFig.wlPaused;
}

void BM_WlPauseLatency(benchmark::State& state) {
    if (!wayland()) return state.SkipWithError("no headless sway");
    WlSetup& s = *gWl;
    bdtest::Toplevel window;
    if (!window.start(s.sway.socket, "bench-full")) return state.SkipWithError("no window");
    // An observer of the compositor's own announcement: a foreign-toplevel client.
    host::desktop::WaylandOptions o;
    o.display = s.sway.socket;
    std::string error;
    auto observer = host::desktop::WaylandBackend::open(o, &error);
    if (!observer) return state.SkipWithError(error.c_str());
    auto announced = [&] {
        observer->dispatch();
        return observer->signals("HEADLESS-1").fullscreen;
    };
    waitFor(5, [&] { return s.field("state") == "playing"; });
    std::vector<double> pause, toplevel;
    for (auto _ : state) {
        for (int i = 0; i < 5; ++i) {
            double t0 = now(), seen = -1, paused = -1;
            bdtest::Child msg =
                bdtest::spawn({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                               "swaymsg", "[app_id=bench-full] fullscreen enable"},
                              {"SWAYSOCK=" + s.sway.swaysock}, false);
            waitFor(5, [&] {
                if (seen < 0 && announced()) seen = now();
                if (paused < 0 && s.field("state") == "hidden") paused = now();
                return seen >= 0 && paused >= 0;
            });
            bdtest::waitFor(msg, 5);
            toplevel.push_back((seen - t0) * 1000);
            pause.push_back((paused - t0) * 1000);
            s.sway.swaymsg("[app_id=bench-full] fullscreen disable");
            waitFor(5, [&] { return s.field("state") == "playing" && !announced(); });
        }
    }
    std::sort(pause.begin(), pause.end());
    std::sort(toplevel.begin(), toplevel.end());
    gFig.wlLatencyMs = pause[pause.size() / 2];
    gFig.toplevelMs = toplevel[toplevel.size() / 2];
    state.counters["pause_latency_ms"] = gFig.wlLatencyMs;
    state.counters["compositor_fullscreen_ms"] = gFig.toplevelMs;
}

}  // namespace

BENCHMARK(BM_Playing)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Still)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Paused)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PauseLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WlPlaying)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WlStill)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WlPaused)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WlPauseLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--seconds=", 10) == 0) gSeconds = std::atof(argv[i] + 10);
    benchmark::Initialize(&argc, argv);
    gX11 = std::make_unique<Setup>();
    if (!gX11->ok) {
        std::fprintf(stderr, "desktop: the daemon did not start under Xvfb\n");
        return 1;
    }
    gSetup = gX11.get();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gX11.reset();
    delete gWl;
    std::printf(
        "RESULT desktop_playing_cpu_pct=%.2f desktop_static_cpu_pct=%.3f "
        "desktop_paused_cpu_pct=%.3f desktop_static_x_bytes_per_s=%.1f pause_latency_ms=%.1f "
        "baseline_x_server_playing_cpu_pct=%.2f baseline_wm_fullscreen_ms=%.1f "
        "wl_playing_cpu_pct=%.2f wl_static_cpu_pct=%.3f wl_paused_cpu_pct=%.3f "
        "wl_static_commits_per_s=%.2f wl_pause_latency_ms=%.1f "
        "baseline_sway_playing_cpu_pct=%.2f baseline_compositor_fullscreen_ms=%.1f\n",
        gFig.playing, gFig.still, gFig.paused, gFig.bytesPerSecond, gFig.latencyMs, gFig.xPlaying,
        gFig.wmMs, gFig.wlPlaying, gFig.wlStill, gFig.wlPaused, gFig.wlCommitsPerSecond,
        gFig.wlLatencyMs, gFig.swayPlaying, gFig.toplevelMs);
    return 0;
}
