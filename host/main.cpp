// backdrop: list, check, pack, preview and run wallpaper bundles.

#include <cstdio>
#include <cstring>

#include "Commands.h"
#include "Foundation/NSObject.h"
#include "Foundation/NSString.h"
#include "wallpaper/WallpaperProcess.h"

int main(int argc, char** argv) {
    // A wallpaper process started by this tool: not a command a user types.
    if (argc >= 2 && std::strcmp(argv[1], host::kWallpaperProcessCommand) == 0)
        host::wallpaperProcessMain(argc, argv);
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
}
