#include "Foundation/NSLog.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

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

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n' || c == '\t' || c == '\r') {
            out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (i + n <= s.size() && NSString::isValidUTF8(s.data() + i, n)) {
            out.append(s, i, n);
            i += n;
            continue;
        } else {
            out += "\\ufffd";
        }
        ++i;
    }
    return out + "\"";
}

std::string printableText(const std::string& s, bool escapeBackslash) {
    std::string out;
    out.reserve(s.size());
    auto hex = [&out](unsigned char c) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
    };
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if ((c == '\\' && escapeBackslash) || c == '\n' || c == '\t') {
            out += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : "\\t";
            ++i;
        } else if (c < 0x20 || c == 0x7f) {
            hex(c);
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else {
            // One UTF-8 sequence as it is, unless it is a C1 control (U+0080..U+009F, which
            // terminals may obey) or no valid sequence at all.
            size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            bool valid = i + n <= s.size() && NSString::isValidUTF8(s.data() + i, n);
            bool c1 = valid && n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
            if (!valid) {
                hex(c);
                ++i;
            } else if (c1) {
                hex(c);
                hex(static_cast<unsigned char>(s[i + 1]));
                i += 2;
            } else {
                out.append(s, i, n);
                i += n;
            }
        }
    }
    return out;
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
                         bd::printableText(message).c_str());
    }
    if (capture) capture(message);
}

bool bd::logTopicEnabled(const char* topic) {
    const char* env = std::getenv("BACKDROP_LOG");
    if (!env || !topic) return false;
    std::string list = env, want = topic;
    size_t at = 0;
    while (at <= list.size()) {
        size_t end = list.find_first_of(", ", at);
        if (end == std::string::npos) end = list.size();
        std::string word = list.substr(at, end - at);
        if (word == want || word == "all") return true;
        at = end + 1;
    }
    return false;
}
