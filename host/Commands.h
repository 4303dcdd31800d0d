#pragma once
// Each subcommand of the `backdrop` tool registers itself on the application.

#include <CLI/CLI.hpp>
#include <string>

class NSString;

namespace host {

struct WallpaperOptions;
// Exit codes: 0 success, 1 failure of the work asked for, 2 usage error.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Prints "backdrop: message" as one line on stderr and returns code.
int fail(const std::string& message, int code = kExitFailure);
// A string object holding s (autoreleased).
NSString* str(const std::string& s);

// [main-thread] --verbose: the system's own log lines are shown, and the loader's steps
// (BACKDROP_LOG=loader, which the wallpaper processes inherit).
void setVerbose(bool verbose);
bool verbose();  // [any-thread]
// [any-thread] Whether a line a wallpaper process wrote is shown: always with --verbose;
// otherwise everything but the system's own fixed log lines ("key = ...", "data length = ...",
// the dealloc lines, "doAnimating", "error: ..."), which stay exactly as they are for hosts
// that capture the log.
bool showWallpaperLine(const std::string& line);

// The flags of every command that runs a wallpaper in a process of its own.
struct ProcessFlags {
    bool noSandbox = false;
    std::string memoryLimit = "2G";  // bytes with K, M or G; a plain number is MiB
    double timeout = 5;              // seconds a request may go unanswered
};
// [main-thread] Adds --no-sandbox, --memory-limit and --timeout to cmd.
void addProcessFlags(CLI::App* cmd, ProcessFlags& flags);
// [any-thread] Puts the flags into options; false with a message for a bad --memory-limit.
bool applyProcessFlags(const ProcessFlags& flags, WallpaperOptions* options, std::string* error);

void addDriveCommand(CLI::App& app, int& exitCode);
void addPackCommands(CLI::App& app, int& exitCode);
void addRenderCommand(CLI::App& app, int& exitCode);
void addRunCommand(CLI::App& app, int& exitCode);
void addBundleCommands(CLI::App& app, int& exitCode);
void addCheckCommand(CLI::App& app, int& exitCode);
void addImageCommand(CLI::App& app, int& exitCode);
void addDesktopCommand(CLI::App& app, int& exitCode);
void addCtlCommand(CLI::App& app, int& exitCode);
void addNewCommand(CLI::App& app, int& exitCode);
}  // namespace host
