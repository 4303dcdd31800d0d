#pragma once
// Each subcommand of the `backdrop` tool registers itself on the application.

#include <CLI/CLI.hpp>
#include <string>

class NSString;

namespace host {
// Exit codes: 0 success, 1 failure of the work asked for, 2 usage error.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Prints "backdrop: message" as one line on stderr and returns code.
int fail(const std::string& message, int code = kExitFailure);
// A string object holding s (autoreleased).
NSString* str(const std::string& s);

void addDriveCommand(CLI::App& app, int& exitCode);
void addPackCommands(CLI::App& app, int& exitCode);
void addRenderCommand(CLI::App& app, int& exitCode);
void addRunCommand(CLI::App& app, int& exitCode);
void addBundleCommands(CLI::App& app, int& exitCode);
void addCheckCommand(CLI::App& app, int& exitCode);
void addImageCommand(CLI::App& app, int& exitCode);
void addDesktopCommand(CLI::App& app, int& exitCode);
void addCtlCommand(CLI::App& app, int& exitCode);
}  // namespace host
