// Display servers for tests.

#include "support/xservers.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "support/pictures.h"

namespace bdtest {

namespace {

using Clock = std::chrono::steady_clock;

bool waitUntil(double seconds, const std::function<bool()>& ready) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Whether the window manager on `display` manages new windows yet: a probe window is mapped and
// must show up in _NET_CLIENT_LIST. openbox publishes its client lists before it has finished
// starting, and a window mapped in between is never managed; so the probe is mapped again
// every half second until it is, then destroyed.
bool windowManagerManages(const std::string& display, double seconds) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return false;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const char name[] = "_NET_CLIENT_LIST";
    auto* a = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr);
    xcb_atom_t list = a ? a->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(a);
    xcb_window_t probe = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, probe, screen->root, 0, 0, 10, 10, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    auto listed = [&] {
        auto* r = xcb_get_property_reply(
            c, xcb_get_property(c, 0, screen->root, list, XCB_ATOM_WINDOW, 0, 1024), nullptr);
        bool found = false;
        if (r && r->format == 32) {
            auto* v = static_cast<xcb_window_t*>(xcb_get_property_value(r));
            int n = xcb_get_property_value_length(r) / 4;
            found = std::find(v, v + n, probe) != v + n;
        }
        std::free(r);
        return found;
    };
    bool managed = false;
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!managed && Clock::now() < end) {
        xcb_unmap_window(c, probe);
        xcb_map_window(c, probe);
        xcb_flush(c);
        managed = waitUntil(0.5, listed);
    }
    xcb_destroy_window(c, probe);
    // Gone from the list again, so tests see only their own windows.
    if (managed) waitUntil(5, [&] { return !listed(); });
    xcb_disconnect(c);
    return managed;
}

void stop(Child& c) {
    if (c.pid <= 0) return;
    kill(c.pid, SIGTERM);
    waitFor(c, 5);
    c.pid = -1;
}

}  // namespace

int runOn(const std::string& display, const std::vector<std::string>& argv, std::string* out) {
    return run(argv, out, nullptr, {"DISPLAY=" + display}, 20);
}

bool Xvfb::start(int width, int height, bool windowManager) {
    // -displayfd picks a free display and writes its number to our pipe.
    server = spawn({"Xvfb", "-displayfd", "1", "-screen", "0",
                    std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten",
                    "tcp", "-noreset"},
                   {}, true);
    std::string out;
    if (!waitUntil(10, [&] {
            readSome(server, &out);
            return out.find('\n') != std::string::npos;
        }))
        return false;
    display = ":" + out.substr(0, out.find('\n'));
    if (!windowManager) return true;
    wm = spawn({"openbox", "--sm-disable"}, {"DISPLAY=" + display}, false);
    // Ready when it manages a window of ours: a window a test maps earlier may never be
    // managed.
    return windowManagerManages(display, 20);
}

Xvfb::~Xvfb() {
    stop(wm);
    stop(server);
}

bool SwayXwayland::start(const std::vector<std::pair<int, int>>& outputs) {
    if (!onPath("sway") || !onPath("Xwayland") || !onPath("setpriv") || !onPath("xhost"))
        return false;
    tmp.emplace("sway");
    dir = tmp->path();
    if (dir.empty()) return false;
    std::string run = dir + "/run";
    mkdir(run.c_str(), 0700);
    if (chown(run.c_str(), 65534, 65534) != 0 || chmod(dir.c_str(), 0755) != 0) return false;
    std::string cfg = dir + "/config";
    {
        std::ofstream c(cfg);
        int x = 0;
        for (size_t i = 0; i < outputs.size(); ++i) {
            c << "output HEADLESS-" << i + 1 << " resolution " << outputs[i].first << "x"
              << outputs[i].second << " position " << x << ",0\n";
            x += outputs[i].first;
        }
        c << "xwayland enable\n";
        c << "exec sh -c 'echo \"$DISPLAY\" > " << run << "/display'\n";
    }
    chmod(cfg.c_str(), 0644);
    sway = spawn(
        {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "sway", "-c", cfg},
        {"XDG_RUNTIME_DIR=" + run, "WLR_BACKENDS=headless", "WLR_RENDERER=pixman",
         "WLR_LIBINPUT_NO_DEVICES=1", "WLR_HEADLESS_OUTPUTS=" + std::to_string(outputs.size()),
         "DISPLAY=", "WAYLAND_DISPLAY=", "SWAYSOCK=", "HOME=" + dir},
        false);
    if (!waitUntil(10, [&] {
            std::string d = readFile(run + "/display");
            if (d.empty() || d.back() != '\n') return false;
            display = d.substr(0, d.size() - 1);
            for (const auto& e : std::filesystem::directory_iterator(run))
                if (e.path().filename().string().rfind("sway-ipc.", 0) == 0)
                    swaysock = e.path().string();
            return !display.empty() && !swaysock.empty();
        }))
        return false;
    // Xwayland starts on the first connection and admits only its own user: let root in.
    return waitUntil(10, [&] {
        return bdtest::run({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                            "xhost", "+si:localuser:root"},
                           nullptr, nullptr, {"DISPLAY=" + display}, 10) == 0;
    });
}

bool SwayXwayland::swaymsg(const std::string& command) {
    return run({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "swaymsg",
                command},
               nullptr, nullptr, {"SWAYSOCK=" + swaysock}, 10) == 0;
}

SwayXwayland::~SwayXwayland() {
    stop(sway);
}

}  // namespace bdtest
