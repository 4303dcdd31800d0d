// `backdrop check BUNDLE`: a validator for wallpaper authors. Every check that runs the
// wallpaper's code, or decodes its files, runs in a sandboxed wallpaper process with a hard
// wall-clock limit per check; the results are judged here from what the tool observes, so a
// plug-in that crashes, aborts, exits, hangs, forks, forges output or eats memory is reported
// and never takes the tool down or outlives it. The check runner is host/check/CheckRunner,
// the library checks host/check/LibraryChecks (the wallpaper process's side in steps/LibrarySteps),
// the resource checks host/check/ResourceChecks (steps/ResourceSteps).

#include "CheckRunner.h"
#include "host/Commands.h"

namespace host {

void addCheckCommand(CLI::App& app, int& exitCode) {
    static check::CheckOptions o;
    auto* cmd = app.add_subcommand(
        "check",
        "Check a wallpaper bundle, one line per check (the plug-in runs sandboxed in "
        "processes of its own)");
    cmd->add_option("BUNDLE", o.bundle, "Path of the bundle")->required();
    cmd->add_flag("--verbose", o.verbose, "Show the wallpaper's own output");
    cmd->add_flag("--strict", o.strict, "Fail on warnings too");
    cmd->add_flag(
        "--json", o.json,
        "Print one JSON document (checks, warnings, passed, failed, ok) instead of lines");
    cmd->add_option("--soak", o.soakSeconds,
                    "Seconds of the animated soak (the wallpaper on a virtual clock, as fast as "
                    "it renders)")
        ->check(CLI::Range(0.5, 600.0))
        ->capture_default_str();
    // --timeout is the per-check limit here (also the wallpaper's hang time-out).
    o.process.timeout = 10;
    addProcessFlags(cmd, o.process);
    cmd->get_option("--timeout")->description("Seconds each check may take");
    cmd->callback([&exitCode] {
        o.limit = o.process.timeout;
        check::CheckRunner runner;
        std::string error;
        if (!runner.start(o, &error)) {
            exitCode = fail(error, kExitUsage);
            return;
        }
        check::runLibraryChecks(runner);
        check::runSandboxCheck(runner);
        check::runResourceChecks(runner);
        exitCode = runner.finish();
    });
}

}  // namespace host
