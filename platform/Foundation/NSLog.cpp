#include "Foundation/NSLog.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "Foundation/NSString.h"

extern char* program_invocation_short_name;

namespace {
std::mutex& logMutex() {
    static std::mutex m;
    return m;
}
std::function<void(const std::string&)>& captureFn() {
    static std::function<void(const std::string&)> fn;
    return fn;
}
bool gEcho = true;  // guarded by logMutex()
}  // namespace

namespace bd {
void setLogCapture(std::function<void(const std::string& message)> fn) {
    std::lock_guard<std::mutex> lock(logMutex());
    captureFn() = std::move(fn);
}
void setLogEcho(bool echo) {
    std::lock_guard<std::mutex> lock(logMutex());
    gEcho = echo;
}
}  // namespace bd

void NSLog(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string message = NSString::formatV(fmt, ap);
    va_end(ap);

    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);

    std::function<void(const std::string&)> capture;
    {
        std::lock_guard<std::mutex> lock(logMutex());
        capture = captureFn();
        if (gEcho)
            std::fprintf(stderr, "%s.%03d %s[%d:%ld] %s\n", stamp,
                         static_cast<int>(tv.tv_usec / 1000), program_invocation_short_name,
                         static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)),
                         message.c_str());
    }
    if (capture) capture(message);
}
