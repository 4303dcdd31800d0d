// `backdrop run BUNDLE`: the wallpaper live in a window on the real clock, behind the launcher's
// icons, drawn in a wallpaper process of its own only where and when it changes
// (host/RunSession). Mouse presses, drags and releases are touches; keys drive the protocol.
// Every protocol call it makes is printed on stdout ("> tapActionAtViewPoint (100, 200) ->
// UIImageView"); frames are not.
// When the wallpaper dies the window keeps its last frame, says why and starts it again.

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

#include "Commands.h"
#include "RunSession.h"
#include "SDLWindow.h"
#include "scene/HostScene.h"
#include "wallpaper/WallpaperProcess.h"

namespace {

using host::fail;

struct RunOptions {
    std::string bundle, screen = "320x568@2";
    int fps = 40;
    bool noIcons = false, watch = false, tapOnClick = false;
    host::ProcessFlags process;
};

void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int run(const RunOptions& o) {
    host::ScreenSpec screen;
    std::string error;
    if (!host::parseScreen(o.screen, &screen, &error)) return fail(error, host::kExitUsage);
    host::WallpaperOptions options;
    if (!host::applyProcessFlags(o.process, &options, &error)) return fail(error, host::kExitUsage);
    std::error_code ec;
    if (!std::filesystem::is_directory(o.bundle, ec))
        return fail("not a bundle directory: " + o.bundle);

    std::string name = std::filesystem::path(o.bundle).filename().string();
    if (name.empty()) name = std::filesystem::path(o.bundle).parent_path().filename().string();
    std::string title = "Backdrop - " + name;
    const int pw = screen.pixelWidth(), ph = screen.pixelHeight();
    std::unique_ptr<host::SDLWindow> window = host::SDLWindow::open(title, pw, ph, false, &error);
    if (!window) return fail(error);

    options.bundlePath = o.bundle;
    options.screen = screen;
    options.icons = !o.noIcons;
    std::unique_ptr<host::RunSession> session =
        host::RunSession::start(options, *window, o.fps, title, say, &error);
    if (!session) return fail(error);
    session->setTapOnClick(o.tapOnClick);
    if (o.watch && !session->watchBundle(&error)) return fail(error);
    say("running " + o.bundle + ": " + std::to_string(pw) + "x" + std::to_string(ph) +
        " px, at most " + std::to_string(o.fps) + " fps through the " + window->presenterName() +
        "; space pause/resume, s start/stop, f frame, +/- scale, t tap, c clicks as taps, 0-9 "
        "gesture, o settings, r restart, q quit" +
        (o.watch ? std::string("; watching the bundle for changes") : std::string()) +
        "; each call to the wallpaper is shown as \"> call\"");
    session->call(host::WallpaperRequest::Op::startAnimating);
    while (session->turn(INFINITY)) {
    }
    session.reset();  // the wallpaper process and everything it started end here
    return 0;
}

}  // namespace

namespace host {

void addRunCommand(CLI::App& app, int& exitCode) {
    static RunOptions o;
    auto* cmd = app.add_subcommand("run", "Run a wallpaper bundle live in a window");
    cmd->add_option("BUNDLE", o.bundle, "Wallpaper bundle directory")->required();
    cmd->add_option("--screen", o.screen, "Screen as WxH@S: points and pixels per point")
        ->capture_default_str();
    cmd->add_option("--fps", o.fps, "Most frames per second (frames are drawn only on change)")
        ->check(CLI::Range(1, 240))
        ->capture_default_str();
    cmd->add_flag("--no-icons", o.noIcons, "Leave out the launcher's icon grid");
    cmd->add_flag("--watch", o.watch,
                  "Reload the wallpaper in a fresh process when its library or a resource of the "
                  "bundle changes (rebuild it in another terminal)");
    cmd->add_flag("--tap-on-click", o.tapOnClick,
                  "A click is a tap (tapActionAtViewPoint: inside tapClipRect), not touches; the "
                  "key c toggles it");
    addProcessFlags(cmd, o.process);
    cmd->callback([&exitCode] {
        exitCode = run(o);
        releaseTextCaches();
    });
}

}  // namespace host
