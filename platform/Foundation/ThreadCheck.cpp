#include "Foundation/ThreadCheck.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace bd {
bool isMainThread() {
    // The answer never changes for a thread, so ask the kernel once per thread.
    thread_local const bool isMain = pid_t(syscall(SYS_gettid)) == getpid();
    return isMain;
}

void fatal(const char* what) {
    std::fprintf(stderr, "backdrop: fatal: %s\n", what ? what : "(unknown)");
    std::fflush(stderr);
    std::abort();
}

void fatalOffMainThread(const char* function, const char* file, int line) {
    std::fprintf(stderr, "backdrop: fatal: %s called off the main thread (%s:%d)\n",
                 function ? function : "(unknown)", file ? file : "?", line);
    std::fflush(stderr);
    std::abort();
}
}  // namespace bd
