// backdrop: list, check, pack, preview and run wallpaper bundles.

#include <cstdio>
#include <cstring>

#include "Commands.h"
#include "Foundation/NSObject.h"
#include "Foundation/NSString.h"
#include "wallpaper/WallpaperProcess.h"

namespace {

int runTool(int argc, char** argv) try {
    NSAutoreleasePool pool;
    CLI::App app{"backdrop: work with live-wallpaper bundles"};
    app.require_subcommand(1);
    // Accepted before or after the subcommand.
    app.fallthrough();
    app.add_flag_callback(
        "-v,--verbose", [] { host::setVerbose(true); },
        "Show the system's log lines and the loader's steps (BACKDROP_LOG=loader)");
    int exitCode = 0;
    host::addDriveCommand(app, exitCode);
    host::addPackCommands(app, exitCode);
    host::addRenderCommand(app, exitCode);
    host::addRunCommand(app, exitCode);
    host::addBundleCommands(app, exitCode);
    host::addCheckCommand(app, exitCode);
    host::addImageCommand(app, exitCode);
    host::addDesktopCommand(app, exitCode);
    host::addCtlCommand(app, exitCode);
    host::addNewCommand(app, exitCode);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "backdrop: %s\n", e.what());
        return host::kExitUsage;
    }
    return exitCode;
} catch (const std::exception& e) {
    // Out of memory or a library's failure deep in a command: one line and a failure code, never
    // an abort.
    std::fprintf(stderr, "backdrop: %s\n", e.what());
    return host::kExitFailure;
} catch (...) {
    std::fprintf(stderr, "backdrop: unexpected failure\n");
    return host::kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    // A wallpaper process started by this tool: not a command a user types. It reports its own
    // failures to the tool that started it, so it runs outside the tool's catch-all.
    if (argc >= 2 && std::strcmp(argv[1], host::kWallpaperProcessCommand) == 0)
        host::wallpaperProcessMain(argc, argv);
    return runTool(argc, argv);
}
