#pragma once
// NSLog: one line on stderr "YYYY-MM-DD HH:MM:SS.mmm proc[pid:tid] message".

#include <functional>
#include <string>

// [any-thread] printf rules plus %@.
void NSLog(const char* fmt, ...);

namespace bd {
// [any-thread] Sends every logged message (without the prefix) to fn as well; null fn = off.
void setLogCapture(std::function<void(const std::string& message)> fn);
// [any-thread] Whether messages also go to stderr (on by default); a tool that reports a
// captured message in its own words turns it off for the call.
void setLogEcho(bool echo);
}  // namespace bd
