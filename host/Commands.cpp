// What every subcommand shares: the one-line failure and strings as objects.

#include "Commands.h"

#include <cstdio>
#include <cstdlib>

#include "Foundation/NSString.h"

namespace host {

int fail(const std::string& message, int code) {
    std::fprintf(stderr, "backdrop: %s\n", message.c_str());
    return code;
}

NSString* str(const std::string& s) {
    return NSString::stringWithUTF8String(s.c_str());
}

namespace {
bool verboseOn = false;
}

void setVerbose(bool v) {
    verboseOn = v;
    if (!v) return;
    const char* old = std::getenv("BACKDROP_LOG");
    std::string topics = old && *old ? std::string(old) + ",loader" : "loader";
    setenv("BACKDROP_LOG", topics.c_str(), 1);
}

bool verbose() {
    return verboseOn;
}

bool showWallpaperLine(const std::string& line) {
    if (verboseOn) return true;
    // An NSLog line: "YYYY-MM-DD HH:MM:SS.mmm name[pid:tid] message".
    size_t close = line.find("] ");
    if (line.size() < 24 || line[4] != '-' || line[10] != ' ' || close == std::string::npos)
        return true;
    std::string m = line.substr(close + 2);
    for (const char* fixed : {"=========DeskTopView dealloc=========", "=======ImageCache dealloc",
                              "dealloc", "doAnimating"})
        if (m == fixed) return false;
    for (const char* start : {"key = ", "data length = ", "error: "})
        if (m.rfind(start, 0) == 0) return false;
    return true;
}

}  // namespace host
