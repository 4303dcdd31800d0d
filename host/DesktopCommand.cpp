// `backdrop desktop`: the daemon that makes a wallpaper the background of an X11 or Wayland
// desktop, on every monitor. `backdrop ctl`: its client.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "Commands.h"
#include "desktop/AutostartFiles.h"
#include "desktop/ControlSocket.h"
#include "desktop/Daemon.h"
#include "desktop/ProcessWallpaper.h"
#include "desktop/StillFallback.h"
#include "desktop/WaylandBackend.h"
#include "desktop/X11Backend.h"

namespace {

using host::fail;
using namespace host::desktop;

std::string selfPath() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("backdrop") : p.string();
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// Copies the autostart file that fits this session into the user's configuration.
int installAutostart() {
    const char* home = std::getenv("HOME");
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base = config && config[0] == '/' ? config
                       : home && home[0] == '/'   ? std::string(home) + "/.config"
                                                  : "";
    if (base.empty()) return fail("--install-autostart: neither $XDG_CONFIG_HOME nor $HOME is set");
    std::error_code ec;
    bool systemd =
        std::filesystem::exists("/run/systemd/system", ec) && std::getenv("XDG_RUNTIME_DIR") &&
        std::filesystem::exists(std::string(std::getenv("XDG_RUNTIME_DIR")) + "/systemd", ec);
    std::string exe = selfPath();
    if (exe.find_first_of(" \t\"\\") != std::string::npos)
        exe = "\"" + replaceAll(replaceAll(exe, "\\", "\\\\"), "\"", "\\\"") + "\"";
    std::string dir = base + (systemd ? "/systemd/user" : "/autostart");
    std::string file = dir + (systemd ? "/backdrop.service" : "/backdrop.desktop");
    std::string text = replaceAll(systemd ? kBackdropServiceTemplate : kBackdropDesktopTemplate,
                                  "@BACKDROP_EXEC@", exe);
    std::filesystem::create_directories(dir, ec);
    std::string tmp = file + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) return fail("--install-autostart: cannot write " + tmp);
    }
    std::filesystem::rename(tmp, file, ec);
    if (ec) return fail("--install-autostart: cannot write " + file + ": " + ec.message());
    std::printf("installed %s\n", file.c_str());
    if (systemd)
        std::printf(
            "start it now and at every login: systemctl --user enable --now backdrop.service\n");
    else
        std::printf("it starts `%s desktop` at your next login\n", exe.c_str());
    return 0;
}

std::string displayForSocket(const std::string& given) {
    if (!given.empty()) return given;
    const char* d = std::getenv("DISPLAY");
    return d ? d : "";
}

// Wayland when $WAYLAND_DISPLAY names a display (a Wayland session, Xwayland or not), else X11.
bool waylandByDefault() {
    const char* w = std::getenv("WAYLAND_DISPLAY");
    return w && *w;
}

}  // namespace

namespace host {

void addDesktopCommand(CLI::App& app, int& exitCode) {
    struct Args {
        std::string bundle;
        std::vector<std::string> outputs;
        std::string fit = "width", mode = "root", screen = "320x568@2", background = "#000000";
        std::string backendName, layer = "background";
        double fps = 30, idleAfter = 300;
        bool noBatteryPause = false, noHiddenPause = false, noOffPause = false;
        bool batteryPause = false;
        bool input = false, force = false, noSandbox = false, quiet = false, install = false;
        std::string powerDir = "/sys/class/power_supply", folder, display, stateFile;
    };
    auto a = std::make_shared<Args>();
    CLI::App* cmd = app.add_subcommand(
        "desktop", "Run BUNDLE as the desktop background on every monitor (the daemon)");
    cmd->add_option("bundle", a->bundle, "Wallpaper bundle (none: restore the last ones)");
    cmd->add_option("--output", a->outputs, "NAME=BUNDLE: another bundle on one monitor");
    auto* fitOpt =
        cmd->add_option("--fit", a->fit, "width (default), fill, fit, center or stretch");
    cmd->add_option("--screen", a->screen,
                    "The phone screen fill/fit/center/stretch place (WxH@S)");
    cmd->add_option("--background", a->background, "Colour around a placed screen (#rrggbb)");
    cmd->add_option("--fps", a->fps, "Most frames a second (default 30)");
    cmd->add_option("--backend", a->backendName,
                    "x11 or wayland (default: wayland when $WAYLAND_DISPLAY is set)");
    auto* modeOpt = cmd->add_option("--mode", a->mode,
                                    "X11: root (default), the root window's background; window, "
                                    "a desktop window per monitor");
    auto* layerOpt = cmd->add_option(
        "--layer", a->layer,
        "Wayland: background (default) or bottom, for compositors that draw on the background");
    cmd->add_option("--idle-after", a->idleAfter,
                    "Pause after this many seconds without input (default 300; 0: never)");
    cmd->add_flag("--pause-on-battery", a->batteryPause, "Pause on battery (the default)");
    cmd->add_flag("--no-pause-on-battery", a->noBatteryPause, "Keep playing on battery");
    cmd->add_flag("--no-pause-when-hidden", a->noHiddenPause,
                  "Keep playing under fullscreen or covering windows");
    cmd->add_flag("--no-pause-when-off", a->noOffPause,
                  "Keep playing with the monitor off or the screen locked");
    cmd->add_option("--power-supply-dir", a->powerDir, "Where to read the power supply");
    cmd->add_option("--folder", a->folder, "Folder of bundles for `ctl next`");
    cmd->add_flag("--input", a->input, "Forward clicks on the desktop background as taps");
    cmd->add_flag("--force", a->force, "Window mode even beside another desktop window");
    cmd->add_flag("--no-sandbox", a->noSandbox, "Run wallpapers without the sandbox");
    cmd->add_option("--display", a->display,
                    "X11 display (default $DISPLAY) or Wayland display, a name or a socket's path "
                    "(default $WAYLAND_DISPLAY)");
    cmd->add_option("--state-file", a->stateFile,
                    "Where to keep the state (default $XDG_STATE_HOME/backdrop/desktop.plist)");
    cmd->add_flag("--quiet", a->quiet, "No progress lines");
    cmd->add_flag("--install-autostart", a->install,
                  "Start the daemon at login (a systemd user unit or an XDG autostart file)");
    cmd->callback([a, &exitCode, fitOpt, modeOpt, layerOpt]() {
        if (a->install) {
            exitCode = installAutostart();
            return;
        }
        DaemonOptions o;
        o.bundle = a->bundle;
        for (const std::string& pair : a->outputs) {
            size_t eq = pair.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == pair.size()) {
                exitCode = fail("bad --output \"" + pair + "\": expected NAME=BUNDLE", kExitUsage);
                return;
            }
            o.outputBundles[pair.substr(0, eq)] = pair.substr(eq + 1);
        }
        if (!parseFit(a->fit, &o.fit)) {
            exitCode = fail("bad --fit \"" + a->fit + "\": width, fill, fit, center or stretch",
                            kExitUsage);
            return;
        }
        o.fitGiven = fitOpt->count() > 0;
        std::string error;
        if (!parseScreen(a->screen, &o.phone, &error)) {
            exitCode = fail(error, kExitUsage);
            return;
        }
        if (!parseColour(a->background, &o.background)) {
            exitCode =
                fail("bad --background \"" + a->background + "\": expected #rrggbb", kExitUsage);
            return;
        }
        if (!(a->fps >= 1 && a->fps <= 240)) {
            exitCode = fail("--fps must be 1 to 240", kExitUsage);
            return;
        }
        if (!(a->idleAfter >= 0 && a->idleAfter <= 86400 * 7)) {
            exitCode = fail("--idle-after must be 0 to 604800 seconds", kExitUsage);
            return;
        }
        if (a->mode != "root" && a->mode != "window") {
            exitCode = fail("bad --mode \"" + a->mode + "\": root or window", kExitUsage);
            return;
        }
        if (a->layer != "background" && a->layer != "bottom") {
            exitCode = fail("bad --layer \"" + a->layer + "\": background or bottom", kExitUsage);
            return;
        }
        if (!a->backendName.empty() && a->backendName != "x11" && a->backendName != "wayland") {
            exitCode = fail("bad --backend \"" + a->backendName + "\": x11 or wayland", kExitUsage);
            return;
        }
        const bool wayland =
            a->backendName.empty() ? waylandByDefault() : a->backendName == "wayland";
        if (wayland && modeOpt->count() > 0) {
            exitCode =
                fail("--mode is for X11; on Wayland the background is a layer surface", kExitUsage);
            return;
        }
        if (!wayland && layerOpt->count() > 0) {
            exitCode = fail("--layer is for Wayland", kExitUsage);
            return;
        }
        o.fps = a->fps;
        o.idleAfter = a->idleAfter;
        o.pauseOnBattery = !a->noBatteryPause;
        o.pauseWhenHidden = !a->noHiddenPause;
        o.pauseWhenOff = !a->noOffPause;
        o.powerSupplyDir = a->powerDir;
        o.folder = a->folder;
        o.statePath = a->stateFile;
        o.quiet = a->quiet;

        X11Options x;
        x.mode = a->mode == "window" ? X11Options::Mode::Window : X11Options::Mode::Root;
        x.input = a->input;
        x.force = a->force;
        x.display = a->display;
        // One daemon per display: look before touching the display's background.
        std::string dir = runtimeDir(&error);
        if (dir.empty()) {
            exitCode = fail(error);
            return;
        }
        std::string display =
            wayland ? waylandDisplayName(a->display) : displayForSocket(a->display);
        if (display.empty()) {
            exitCode = fail(wayland ? "no Wayland display ($WAYLAND_DISPLAY is not set)"
                                    : "no X11 display ($DISPLAY is not set)");
            return;
        }
        // One daemon per display: take the display's lock before touching its background.
        auto control = std::make_unique<ControlServer>();
        pid_t running = 0;
        if (!control->open(socketPath(dir, display), &running, &error)) {
            if (error == "already running")
                exitCode =
                    fail("already running" +
                         (running > 0 ? " (pid " + std::to_string(running) + ")" : std::string()) +
                         " on display " + display);
            else
                exitCode = fail(error);
            return;
        }
        std::unique_ptr<Backend> backend;
        std::vector<std::string> warnings;
        if (wayland) {
            WaylandOptions wo;
            wo.display = a->display;
            wo.input = a->input;
            wo.bottomLayer = a->layer == "bottom";
            std::unique_ptr<WaylandBackend> wl = WaylandBackend::open(wo, &error);
            if (!wl) {
                exitCode = fail(error);
                return;
            }
            if (!wl->hasLayerShell()) {
                // GNOME, weston: a still picture instead of a live background.
                StillOptions so;
                so.daemon = o;
                so.sandbox = !a->noSandbox;
                StillFallback still(std::move(wl), so, std::move(control));
                exitCode = still.run();
                return;
            }
            warnings = wl->takeWarnings();
            backend = std::move(wl);
        } else {
            std::unique_ptr<X11Backend> x11 = X11Backend::open(x, &error);
            if (!x11) {
                exitCode = fail(error);
                return;
            }
            warnings = x11->takeWarnings();
            backend = std::move(x11);
        }
        for (const std::string& w : warnings)
            if (!o.quiet) std::fprintf(stderr, "backdrop desktop: %s\n", w.c_str());
        ProcessWallpaperOptions po;
        po.sandbox = !a->noSandbox;
        po.discardOutput = a->quiet;
        Daemon daemon(std::move(backend), o, processWallpaperFactory(po), std::move(control));
        if (!daemon.start(&error)) {
            exitCode = fail(error);
            return;
        }
        exitCode = daemon.run();
    });
}

void addCtlCommand(CLI::App& app, int& exitCode) {
    auto display = std::make_shared<std::string>();
    CLI::App* cmd = app.add_subcommand(
        "ctl",
        "Talk to the desktop daemon: set [OUTPUT|all] BUNDLE [--fit F], pause [OUTPUT], resume, "
        "toggle, next, reload, query [--json], tap X,Y, gesture N X,Y, settings, rule NAME on|off, "
        "quit");
    cmd->add_option("--display", *display,
                    "The daemon's display (default: $WAYLAND_DISPLAY's daemon, else $DISPLAY's)");
    // The command word and all after it are the request's, --fit too: nothing falls through to
    // the tool's own options (which would refuse the words as unexpected).
    cmd->fallthrough(false);
    cmd->prefix_command();
    cmd->callback([display, cmd, &exitCode]() {
        std::vector<std::string> w = cmd->remaining();
        if (w.empty()) {
            exitCode = fail("ctl: give a command (query, set, pause, resume, ...)", kExitUsage);
            return;
        }
        std::string error;
        std::string dir = runtimeDir(&error);
        if (dir.empty()) {
            exitCode = fail(error);
            return;
        }
        // The daemon of the Wayland display first, then the X11 one's: in a Wayland session
        // with Xwayland both are set and either may be the one running.
        std::vector<std::string> candidates;
        if (!display->empty()) {
            candidates.push_back(
                display->find('/') != std::string::npos ? waylandDisplayName(*display) : *display);
        } else {
            if (std::string n = waylandDisplayName(""); !n.empty()) candidates.push_back(n);
            if (std::string n = displayForSocket(""); !n.empty()) candidates.push_back(n);
        }
        if (candidates.empty()) {
            exitCode = fail("no display: set $WAYLAND_DISPLAY or $DISPLAY, or give --display");
            return;
        }
        for (const std::string& d : candidates) {
            std::vector<std::string> lines;
            bool noDaemon = false;
            bool ok = controlRequest(socketPath(dir, d), joinWords(w), &lines, &error, &noDaemon);
            if (!ok && noDaemon && &d != &candidates.back()) continue;
            for (const std::string& l : lines) std::printf("%s\n", l.c_str());
            std::fflush(stdout);
            if (!ok)
                exitCode = fail(noDaemon ? "no desktop daemon runs on display " + candidates[0] +
                                               (candidates.size() > 1 ? " or " + d : "")
                                         : error);
            return;
        }
    });
}

}  // namespace host
