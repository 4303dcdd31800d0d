// Wayland compositors and a client for tests.

#include "support/wayland.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "support/golden.h"
#include "support/pictures.h"
#include "support/xservers.h"

namespace bdtest {

namespace {

bool waitUntil(double seconds, const std::function<bool()>& ready) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ready();
}

void end(Child& c) {
    if (c.pid <= 0) return;
    kill(c.pid, SIGTERM);
    waitFor(c, 5);  // SIGKILL after 5 s
}

bool isSocket(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// Starts sway as nobody in a fresh folder with the given configuration and environment.
bool startSway(SwayHeadless& s, const std::string& config, std::vector<std::string> env) {
    if (!onPath("sway") || !onPath("setpriv") || !onPath("swaymsg")) return false;
    s.tmp.emplace("sway");
    s.dir = s.tmp->path();
    if (s.dir.empty()) return false;
    // The runtime folder is sway's (nobody's); root reaches the sockets in it all the same.
    std::string run = s.dir + "/run";
    mkdir(run.c_str(), 0700);
    if (chown(run.c_str(), 65534, 65534) != 0 || chmod(s.dir.c_str(), 0755) != 0) return false;
    std::string cfg = s.dir + "/config";
    std::ofstream(cfg) << config << "xwayland disable\n";
    chmod(cfg.c_str(), 0644);
    env.insert(env.end(), {"XDG_RUNTIME_DIR=" + run, "WLR_RENDERER=pixman",
                           "WLR_LIBINPUT_NO_DEVICES=1", "DISPLAY=", "SWAYSOCK=", "HOME=" + s.dir});
    s.sway =
        spawn({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "sway", "-c", cfg},
              env, false);
    if (s.sway.pid <= 0) return false;
    s.socket = run + "/wayland-1";
    return waitUntil(10, [&] {
        if (!isSocket(s.socket)) return false;
        for (const auto& e : std::filesystem::directory_iterator(run))
            if (e.path().filename().string().rfind("sway-ipc.", 0) == 0)
                s.swaysock = e.path().string();
        return !s.swaysock.empty() && s.swaymsg("-t get_version");
    });
}

}  // namespace

bool SwayHeadless::start(const std::vector<std::pair<int, int>>& outputs) {
    std::string config;
    int x = 0;
    for (size_t i = 0; i < outputs.size(); ++i) {
        config += "output HEADLESS-" + std::to_string(i + 1) + " resolution " +
                  std::to_string(outputs[i].first) + "x" + std::to_string(outputs[i].second) +
                  " position " + std::to_string(x) + ",0\n";
        x += outputs[i].first;
    }
    return startSway(
        *this, config,
        {"WLR_BACKENDS=headless", "WLR_HEADLESS_OUTPUTS=" + std::to_string(outputs.size()),
         "WAYLAND_DISPLAY="});
}

bool SwayHeadless::startNested(SwayHeadless& parent) {
    return startSway(*this, "", {"WLR_BACKENDS=wayland", "WAYLAND_DISPLAY=" + parent.socket});
}

bool SwayHeadless::swaymsg(const std::string& command, std::string* out) {
    std::vector<std::string> argv{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                  "swaymsg"};
    if (command.rfind("-t ", 0) == 0) {
        argv.push_back("-t");
        argv.push_back(command.substr(3));
    } else {
        argv.push_back(command);
    }
    return run(argv, out, nullptr, {"SWAYSOCK=" + swaysock}, 10) == 0;
}

CGImageRef SwayHeadless::screenshot(const std::string& output) {
    std::string png = dir + "/shot-" + output + ".png";
    std::filesystem::remove(png);
    if (run({"grim", "-o", output, png}, nullptr, nullptr, {"WAYLAND_DISPLAY=" + socket}, 10) != 0)
        return nullptr;
    return loadPNG(png);
}

void SwayHeadless::stop() {
    end(sway);
}

SwayHeadless::~SwayHeadless() {
    stop();
}

bool WestonHeadless::start(int width, int height) {
    if (!onPath("weston")) return false;
    tmp.emplace("weston");
    dir = tmp->path();
    if (dir.empty()) return false;
    std::string run = dir + "/run";
    mkdir(run.c_str(), 0700);
    // The kiosk shell starts no helper clients; no on-screen keyboard either.
    std::string ini = dir + "/weston.ini";
    std::ofstream(ini) << "[core]\nshell=kiosk-shell.so\n[input-method]\npath=/bin/true\n";
    weston = spawn(
        {"weston", "--config=" + ini, "--backend=headless-backend.so", "--socket=wayland-test",
         "--width=" + std::to_string(width), "--height=" + std::to_string(height), "--idle-time=0"},
        {"XDG_RUNTIME_DIR=" + run, "DISPLAY=", "WAYLAND_DISPLAY=", "HOME=" + dir}, false);
    if (weston.pid <= 0) return false;
    socket = run + "/wayland-test";
    return waitUntil(10, [&] { return isSocket(socket); });
}

WestonHeadless::~WestonHeadless() {
    end(weston);
}

bool Toplevel::start(const std::string& socket, const std::string& appId) {
    client = spawn({std::string(BD_BUILD_DIR) + "/tests/bdtest_toplevel", appId},
                   {"WAYLAND_DISPLAY=" + socket}, true);
    if (client.pid <= 0) return false;
    // It prints one line once its window has a buffer.
    std::string out;
    return waitUntil(10, [&] {
        readSome(client, &out);
        return out.find("shown\n") != std::string::npos;
    });
}

Toplevel::~Toplevel() {
    end(client);
}

}  // namespace bdtest
