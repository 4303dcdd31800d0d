#pragma once
// The check runner of `backdrop check`: prints one line per check ("ok   title: text" or
// "FAIL title: text"), starts the wallpaper processes the checks run in, gives every check a
// hard wall-clock limit of its own (a call that outlasts it kills the process group), and
// gathers what the processes report besides their answers: attempts their sandbox refused,
// and the wallpaper's output when asked to show it.
//
// Results are judged here, in the parent, from what it observes: that a process lives and
// answers over the protocol, what a view answers, and the counters the parent reads from
// /proc itself. Nothing a wallpaper prints counts.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host/Commands.h"
#include "host/wallpaper/WallpaperProcess.h"

namespace host::check {

struct CheckOptions {
    std::string bundle;
    double limit = 10;        // seconds per check
    double soakSeconds = 10;  // wall-clock length of the animated soak
    bool verbose = false;     // show the wallpaper's own output
    bool strict = false;      // warnings fail the check too
    bool json = false;        // one JSON document on stdout instead of lines
    ProcessFlags process;
};

// A point in wall-clock time a check must finish by.
class Deadline {
  public:
    explicit Deadline(double seconds)
        : _end(std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(seconds))) {}
    // [any-thread] Seconds left (at least a millisecond, so a call still looks once).
    double left() const;
    bool passed() const;  // [any-thread]

  private:
    std::chrono::steady_clock::time_point _end;
};

class CheckRunner {
  public:
    // [main-thread] False with a message when the options are not usable.
    bool start(const CheckOptions& options, std::string* error);

    const CheckOptions& options() const { return _o; }  // [main-thread]
    // [main-thread] One line for a check.
    void result(bool ok, const std::string& title, const std::string& text);
    // [main-thread] A warning: something that works but is likely not what the author meant
    // ("warn <text>"); each text once.
    void warn(const std::string& text);
    // [main-thread] Asks process for what the wallpaper asked for and did not get (the step
    // "asked") and warns of each.
    void warnAsked(WallpaperProcess& process);
    // [main-thread] A line for each check that could not run, with why.
    void notChecked(const std::vector<std::string>& titles, const std::string& why);

    // [main-thread] A wallpaper process for checks: loading the view now or not, on the virtual
    // or the real clock, with the check's limit as its hang time-out. Prints the sandbox level
    // the first time. Null with the one-line reason.
    std::unique_ptr<WallpaperProcess> spawn(bool loadView, bool virtualClock, std::string* error);
    // [main-thread] Takes in what a process reported besides its answers.
    void collect(WallpaperProcess& process);
    // [main-thread] The reason a call on process failed, as a check line says it: a call that
    // ran out of its time is "the wallpaper did not finish within 10 s (killed)".
    std::string failure(WallpaperProcess& process, const std::string& error);

    const std::vector<std::string>& denied() const { return _denied; }  // [main-thread]
    // [main-thread] Prints the summary line (or the JSON document); the exit code: 0 when no
    // check failed and, with strict, nothing was warned of.
    int finish();

  private:
    CheckOptions _o;
    WallpaperOptions _base;
    struct Result {
        bool ok;
        std::string title, text;
    };
    std::vector<Result> _results;
    std::vector<std::string> _warnings;
    std::string _sandboxLevel;
    int _passed = 0, _failed = 0;
    bool _levelShown = false;
    std::vector<std::string> _denied;
};

// The checks, in the order they print. [main-thread]
void runLibraryChecks(CheckRunner& runner);   // description to the soak
void runSandboxCheck(CheckRunner& runner);    // after every process that loaded the library
void runResourceChecks(CheckRunner& runner);  // thumbnail, pictures, packages

}  // namespace host::check
