#pragma once
// NSLog: one line on stderr "YYYY-MM-DD HH:MM:SS.mmm proc[pid:tid] message".

#include <functional>
#include <string>

#include "Foundation/Export.h"

// [any-thread] printf rules plus %@.
BD_EXPORT void NSLog(const char* fmt, ...);

namespace bd {
// [any-thread] Sends every logged message (without the prefix) to fn as well; null fn = off.
BD_EXPORT void setLogCapture(std::function<void(const std::string& message)> fn);
// [any-thread] text made safe to show on a terminal, on one line: control characters (C0, DEL
// and C1) and bytes that are no UTF-8 become escapes (\n, \t, \xNN), and so do backslashes
// when escapeBackslash (so that the escapes can't be mistaken for text); the rest stays as it
// is. NSLog shows its messages on stderr this way.
BD_EXPORT std::string printableText(const std::string& text, bool escapeBackslash = false);
// [any-thread] text as a JSON string literal, quotes included, always valid UTF-8: quote,
// backslash and control characters escaped, bytes that are no UTF-8 (a file name in another
// encoding, a name a wallpaper made up) as U+FFFD, which is all JSON can carry for them.
BD_EXPORT std::string jsonString(const std::string& text);
// [any-thread] Whether messages also go to stderr (on by default); a tool that reports a
// captured message in its own words turns it off for the call.
BD_EXPORT void setLogEcho(bool echo);
// [any-thread] Whether BACKDROP_LOG (a list of topics separated by commas or spaces, or "all")
// names topic: the diagnostics that are off unless asked for ("loader").
BD_EXPORT bool logTopicEnabled(const char* topic);
}  // namespace bd
