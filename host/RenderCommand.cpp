// `backdrop render BUNDLE -o PREVIEW.webp`: runs a wallpaper headless in a wallpaper process
// of its own, drives it like a launcher on a virtual media clock stepped frame by frame, and
// writes what it shows as an animated WebP, optionally a contact sheet and every frame as PNG.
// A wallpaper that crashes, exits, hangs or outgrows its memory ends the render with one line
// saying so.

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "Commands.h"
#include "CoreGraphics/CGImage.h"
#include "Preview.h"
#include "Script.h"
#include "UIKit/ImageIO.h"
#include "scene/HostScene.h"
#include "wallpaper/WallpaperProcess.h"

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
    host::ProcessFlags process;
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

// Prints what the wallpaper process reported besides its answers: the wallpaper's own output
// and the attempts its sandbox refused.
void printEvents(host::WallpaperProcess& wallpaper) {
    for (const host::WallpaperEvent& e : wallpaper.handle()) {
        if (e.kind == host::WallpaperEvent::Kind::Log && host::showWallpaperLine(e.text))
            std::fprintf(stderr, "%s\n", e.text.c_str());
        else if (e.kind == host::WallpaperEvent::Kind::Denied)
            std::fprintf(stderr, "sandbox: the wallpaper was refused: %s\n", e.text.c_str());
    }
}

// A copy of a frame's pixels as a colour picture.
CGImageRef frameImage(const uint8_t* pixels, int w, int h, size_t stride) {
    std::shared_ptr<uint8_t[]> copy(new uint8_t[size_t(w) * size_t(h) * 4]);
    for (size_t y = 0; y < size_t(h); ++y)
        std::memcpy(copy.get() + y * size_t(w) * 4, pixels + y * stride, size_t(w) * 4);
    return bd::createARGB32Image(size_t(w), size_t(h), std::move(copy));
}

int render(const RenderOptions& o) {
    NSAutoreleasePool pool;
    host::ScreenSpec screen;
    std::string error;
    if (!host::parseScreen(o.screen, &screen, &error)) return fail(error, host::kExitUsage);
    std::vector<host::ScriptAction> actions;
    if (!host::parseScript(o.script, &actions, &error)) return fail(error, host::kExitUsage);
    host::WallpaperOptions options;
    if (!host::applyProcessFlags(o.process, &options, &error)) return fail(error, host::kExitUsage);
    std::error_code ec;
    if (!fs::is_directory(o.bundle, ec)) return fail("not a bundle directory: " + o.bundle);
    if (!o.framesDir.empty()) {
        fs::create_directories(o.framesDir, ec);
        if (ec || !fs::is_directory(o.framesDir, ec))
            return fail("cannot make the folder " + o.framesDir);
    }

    const int frames = std::max(1, int(std::lround(o.seconds * o.fps)));
    const int w = screen.pixelWidth(), h = screen.pixelHeight();
    // The wallpaper runs in a process of its own, on a virtual clock that lives there.
    options.bundlePath = o.bundle;
    options.screen = screen;
    options.icons = !o.noIcons;
    options.clock = host::WallpaperOptions::Clock::Virtual;
    options.virtualStart = kClockStart;
    std::unique_ptr<host::WallpaperProcess> wallpaper =
        host::WallpaperProcess::spawn(options, &error);
    if (!wallpaper) return fail(error);
    const double limit = options.hangTimeout;
    auto perform = [&](const host::WallpaperRequest& r) {
        host::WallpaperEvent reply;
        return wallpaper->call(r, limit, &reply, &error);
    };

    host::AnimatedWebPWriter webp(w, h);
    std::unique_ptr<host::ContactSheet> sheet;
    if (!o.sheet.empty()) sheet = std::make_unique<host::ContactSheet>(frames, w, h);
    Progress progress(frames);
    double renderSeconds = 0, encodeSeconds = 0;
    auto since = [](std::chrono::steady_clock::time_point t0) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    auto wallStart = std::chrono::steady_clock::now();

    host::WallpaperRequest start;
    start.op = host::WallpaperRequest::Op::startAnimating;
    int status = perform(start) ? 0 : fail(error);
    size_t next = 0;
    for (int i = 0; i < frames && status == 0; ++i) {
        double t = double(i) / o.fps;
        for (; status == 0 && next < actions.size() && actions[next].time <= t; ++next)
            if (!perform(host::requestFor(actions[next], kClockStart + actions[next].time)))
                status = fail(error);
        host::WallpaperFrame frame;
        if (status != 0 || !wallpaper->renderSync(kClockStart + t, limit, &frame, &error)) {
            progress.done();
            printEvents(*wallpaper);
            status = status ? status : fail(error);
            break;
        }
        renderSeconds += frame.renderMs / 1000;
        const size_t stride = wallpaper->stride();
        auto encodeStart = std::chrono::steady_clock::now();
        if (!webp.addFrame(frame.pixels, stride, int(std::lround(t * 1000)))) {
            status = fail("the WebP encoder refused frame " + std::to_string(i));
            break;
        }
        if (sheet && sheet->wants(i)) sheet->add(i, t, frame.pixels, stride);
        if (!o.framesDir.empty()) {
            char name[32];
            std::snprintf(name, sizeof name, "/frame-%04d.png", i);
            Ref<CGImage> img = adopt(frameImage(frame.pixels, w, h, stride));
            std::string path = o.framesDir + name;
            if (!img || !bd::writePNG(img.get(), path.c_str()))
                status = fail("cannot write " + path);
        }
        encodeSeconds += since(encodeStart);
        wallpaper->releaseBuffer(frame.buffer);
        printEvents(*wallpaper);
        progress.update(i + 1);
    }
    progress.done();
    if (status != 0) return status;
    for (; next < actions.size(); ++next)
        std::fprintf(stderr, "backdrop: script item \"%s\" lies after the last frame; not done\n",
                     actions[next].text.c_str());
    std::string calls;
    if (!wallpaper->callSummary(limit, &calls, &error)) return fail(error);
    printEvents(*wallpaper);
    wallpaper.reset();  // the process and everything it started end here

    auto finishStart = std::chrono::steady_clock::now();
    if (!webp.finish(int(std::lround(frames * 1000.0 / o.fps)), o.output, &error))
        return fail(error);
    if (sheet && !sheet->write(o.sheet, &error)) return fail(error);
    encodeSeconds += since(finishStart);
    double wall = since(wallStart);

    // The parts add up to less than the total; the rest is the wallpaper process's start-up,
    // the protocol and the wallpaper's own work between frames.
    std::printf(
        "%d frames of %dx%d px (%gx%g pt @%gx), %.1f s at %d fps: render %.2f ms per frame "
        "(%.2f s), encode %.2f s, total %.2f s\n",
        frames, w, h, screen.width, screen.height, screen.scale, frames / double(o.fps), o.fps,
        renderSeconds * 1000 / frames, renderSeconds, encodeSeconds, wall);
    std::printf("protocol calls: %s\n", calls.c_str());
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
    addProcessFlags(cmd, o.process);
    cmd->callback([&exitCode] {
        exitCode = render(o);
        releaseTextCaches();
    });
}

}  // namespace host
