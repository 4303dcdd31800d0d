// What every subcommand shares: the one-line failure and strings as objects.

#include "Commands.h"

#include <cstdio>

#include "Foundation/NSString.h"

namespace host {

int fail(const std::string& message, int code) {
    std::fprintf(stderr, "backdrop: %s\n", message.c_str());
    return code;
}

NSString* str(const std::string& s) {
    return NSString::stringWithUTF8String(s.c_str());
}

}  // namespace host
