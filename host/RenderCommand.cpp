// `backdrop render BUNDLE -o PREVIEW.webp`: loads a wallpaper headless, drives it like a
// launcher on a virtual media clock stepped frame by frame, and writes what it shows as an
// animated WebP, optionally a contact sheet and every frame as PNG.

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "Commands.h"
#include "HostScene.h"
#include "Preview.h"
#include "QuartzCore/CARenderer.h"
#include "Script.h"
#include "UIKit/ImageIO.h"
#include "VirtualTime.h"

namespace fs = std::filesystem;

namespace {

using host::fail;

// Where the virtual media clock starts: any value would do; a device's clock is never near 0.
constexpr double kClockStart = 1000.0;

struct RenderOptions {
    std::string bundle, output, screen = host::screenText(host::ScreenSpec{}), sheet, framesDir,
                                script;
    double seconds = 3;
    int fps = 20;
    bool noIcons = false;
};

class Progress {
  public:
    explicit Progress(int total) : _total(total), _on(isatty(STDERR_FILENO) == 1) {}
    void update(int done) {
        if (!_on) return;
        constexpr int kWidth = 30;
        int fill = _total ? done * kWidth / _total : kWidth;
        std::fprintf(stderr, "\rrendering [%s%s] %d/%d", std::string(size_t(fill), '#').c_str(),
                     std::string(size_t(kWidth - fill), '.').c_str(), done, _total);
        std::fflush(stderr);
    }
    void done() {
        if (_on) std::fprintf(stderr, "\r\033[K");
    }

  private:
    int _total;
    bool _on;
};

std::string absolute(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

int render(const RenderOptions& o) {
    NSAutoreleasePool pool;
    host::ScreenSpec screen;
    std::string error;
    if (!host::parseScreen(o.screen, &screen, &error)) return fail(error, host::kExitUsage);
    std::vector<host::ScriptAction> actions;
    if (!host::parseScript(o.script, &actions, &error)) return fail(error, host::kExitUsage);
    std::error_code ec;
    if (!fs::is_directory(o.bundle, ec)) return fail("not a bundle directory: " + o.bundle);
    if (!o.framesDir.empty()) {
        fs::create_directories(o.framesDir, ec);
        if (ec || !fs::is_directory(o.framesDir, ec))
            return fail("cannot make the folder " + o.framesDir);
    }

    const int frames = std::max(1, int(std::lround(o.seconds * o.fps)));
    const int w = screen.pixelWidth(), h = screen.pixelHeight();
    host::VirtualTime time(kClockStart);
    std::unique_ptr<host::HostScene> scene =
        host::HostScene::load(o.bundle, screen, !o.noIcons, &error);
    if (!scene) return fail(error);
    time.settle();

    CARenderer renderer(w, h, screen.scale);
    host::AnimatedWebPWriter webp(w, h);
    std::unique_ptr<host::ContactSheet> sheet;
    if (!o.sheet.empty()) sheet = std::make_unique<host::ContactSheet>(frames, w, h);
    Progress progress(frames);
    double renderSeconds = 0;
    auto wallStart = std::chrono::steady_clock::now();

    scene->startAnimating();
    size_t next = 0;
    int status = 0;
    for (int i = 0; i < frames && status == 0; ++i) {
        double t = double(i) / o.fps;
        for (; next < actions.size() && actions[next].time <= t; ++next) {
            time.advanceTo(kClockStart + actions[next].time);
            host::perform(*scene, actions[next]);
            time.settle();
        }
        time.advanceTo(kClockStart + t);

        auto r0 = std::chrono::steady_clock::now();
        renderer.clear({0, 0, 0, 1});
        renderer.render(scene->window()->layer(), kClockStart + t);
        renderSeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - r0).count();

        if (!webp.addFrame(renderer.pixels(), renderer.stride(), int(std::lround(t * 1000)))) {
            status = fail("the WebP encoder refused frame " + std::to_string(i));
            break;
        }
        if (sheet && sheet->wants(i)) sheet->add(i, t, renderer.pixels(), renderer.stride());
        if (!o.framesDir.empty()) {
            char name[32];
            std::snprintf(name, sizeof name, "/frame-%04d.png", i);
            Ref<CGImage> img = adopt(renderer.createImage());
            std::string path = o.framesDir + name;
            if (!img || !bd::writePNG(img.get(), path.c_str()))
                status = fail("cannot write " + path);
        }
        progress.update(i + 1);
    }
    progress.done();
    for (; next < actions.size(); ++next)
        std::fprintf(stderr, "backdrop: script item \"%s\" lies after the last frame; not done\n",
                     actions[next].text.c_str());
    double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    std::string calls = scene->callSummary();

    // The wallpaper goes as a launcher lets it go; its frame loop wakes on the clock and ends.
    scene.reset();
    time.advanceTo(time.now() + 1);

    if (status != 0) return status;
    if (!webp.finish(int(std::lround(frames * 1000.0 / o.fps)), o.output, &error))
        return fail(error);
    if (sheet && !sheet->write(o.sheet, &error)) return fail(error);

    std::printf(
        "%d frames of %dx%d px (%gx%g pt @%gx), %.2f s at %d fps: %.2f ms per frame to "
        "render, %.1f ms in all; protocol calls: %s\n",
        frames, w, h, screen.width, screen.height, screen.scale, frames / double(o.fps), o.fps,
        renderSeconds * 1000 / frames, wall * 1000 / frames, calls.c_str());
    std::printf("preview: %s\n", absolute(o.output).c_str());
    if (sheet) std::printf("contact sheet: %s\n", absolute(o.sheet).c_str());
    if (!o.framesDir.empty()) std::printf("frames: %s\n", absolute(o.framesDir).c_str());
    return 0;
}

}  // namespace

namespace host {

void addRenderCommand(CLI::App& app, int& exitCode) {
    static RenderOptions o;
    auto* cmd = app.add_subcommand(
        "render", "Render a wallpaper bundle headless into an animated WebP preview");
    cmd->add_option("BUNDLE", o.bundle, "Wallpaper bundle directory")->required();
    cmd->add_option("-o,--output", o.output, "Animated WebP to write")->required();
    cmd->add_option("--screen", o.screen, "Screen as WxH@S: points and pixels per point")
        ->capture_default_str();
    cmd->add_option("--seconds", o.seconds, "Length of the preview")
        ->check(CLI::Range(0.05, 600.0))
        ->capture_default_str();
    cmd->add_option("--fps", o.fps, "Frames per second")
        ->check(CLI::Range(1, 60))
        ->capture_default_str();
    cmd->add_option("--sheet", o.sheet, "Also write a contact sheet PNG of evenly spaced frames");
    cmd->add_option("--frames", o.framesDir, "Also write every frame as DIR/frame-NNNN.png");
    cmd->add_option("--script", o.script,
                    "Host actions \"T:ACTION; ...\": tap X,Y | gesture TYPE X,Y | start | pause | "
                    "resume | stop | frame | scale S | offset O | scroll V | settings");
    cmd->add_flag("--no-icons", o.noIcons, "Leave out the launcher's icon grid");
    cmd->callback([&exitCode] {
        exitCode = render(o);
        releaseTextCaches();
    });
}

}  // namespace host
