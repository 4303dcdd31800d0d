// The flags that every command running a wallpaper process shares.

#include <cmath>
#include <cstdlib>

#include "Commands.h"
#include "wallpaper/WallpaperProcess.h"

namespace host {

void addProcessFlags(CLI::App* cmd, ProcessFlags& flags) {
    cmd->add_flag("--no-sandbox", flags.noSandbox,
                  "Run the wallpaper without Landlock and seccomp (for debugging)");
    cmd->add_option("--memory-limit", flags.memoryLimit,
                    "Memory the wallpaper may use: a size with K, M or G, or MiB")
        ->capture_default_str();
    cmd->add_option("--timeout", flags.timeout,
                    "Seconds the wallpaper may take to answer before it counts as hung")
        ->check(CLI::Range(0.1, 600.0))
        ->capture_default_str();
}

bool applyProcessFlags(const ProcessFlags& flags, WallpaperOptions* options, std::string* error) {
    const std::string& text = flags.memoryLimit;
    char* end = nullptr;
    double v = text.empty() ? -1 : std::strtod(text.c_str(), &end);
    double unit = 1 << 20;
    if (end && *end) {
        switch (*end) {
            case 'k':
            case 'K':
                unit = 1 << 10;
                break;
            case 'm':
            case 'M':
                unit = 1 << 20;
                break;
            case 'g':
            case 'G':
                unit = double(1 << 30);
                break;
            default:
                unit = 0;
        }
        if (unit != 0 && end[1] != '\0' &&
            !((end[1] == 'i' || end[1] == 'B') && (end[2] == '\0' || (end[2] == 'B' && !end[3]))))
            unit = 0;
    }
    double bytes = v * unit;
    if (!(std::isfinite(bytes)) || unit == 0 || bytes < double(64 << 20) ||
        bytes > 1024.0 * (1 << 30)) {
        *error = "bad --memory-limit \"" + text + "\": give 64M to 1024G, e.g. 2G or 512M";
        return false;
    }
    options->memoryLimit = uint64_t(bytes);
    options->sandbox = !flags.noSandbox;
    options->hangTimeout = flags.timeout;
    return true;
}

}  // namespace host
