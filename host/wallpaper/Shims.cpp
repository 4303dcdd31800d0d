// The wallpaper process's shims of the C library's file, socket and exec calls. The `backdrop`
// executable exports these names (see host/CMakeLists.txt), so a wallpaper library that
// calls open() or fopen() — directly or through the C++ library — reaches them before the C
// library's own. Each calls the real function and, when the sandbox is active and the call
// failed with EACCES or EPERM, reports the denied attempt by name ("open /etc/shadow for
// reading", "connect to 127.0.0.1:4444", "run /bin/sh"). Outside a sandboxed wallpaper
// process they only pass the call on.

#undef _FORTIFY_SOURCE
#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Sandbox.h"

namespace host::sandbox {
void enterShim();
void leaveShim();
}  // namespace host::sandbox

namespace {

using namespace host::sandbox;

// The next definition of name after this executable's (the C library's, or a sanitizer's
// interceptor), looked up once.
template <class Fn>
Fn real(std::atomic<void*>& slot, const char* name) {
    void* p = slot.load(std::memory_order_acquire);
    if (!p) {
        p = dlsym(RTLD_NEXT, name);
        slot.store(p, std::memory_order_release);
    }
    return reinterpret_cast<Fn>(p);
}

#define REAL(fn) real<decltype(&::fn)>(fn##Slot, #fn)
std::atomic<void*> openSlot, open64Slot, openatSlot, openat64Slot, creatSlot, fopenSlot,
    fopen64Slot, opendirSlot, mkdirSlot, unlinkSlot, renameSlot, connectSlot, bindSlot, execveSlot,
    execvSlot, execvpSlot;

bool refused(int err) {
    return active() && (err == EACCES || err == EPERM);
}

const char* purpose(int flags) {
    return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) ? "for writing" : "for reading";
}

void reportPath(const char* verb, const char* path, const char* how, int err) {
    if (!refused(err)) return;
    char detail[180];
    std::snprintf(detail, sizeof detail, "%s%s%s", path ? path : "?", how ? " " : "",
                  how ? how : "");
    recordDenial(verb, detail);
    errno = err;
}

void reportAddress(const char* verb, const sockaddr* addr, socklen_t len, int err) {
    if (!refused(err) || !addr) return;
    char detail[180] = "an address";
    char ip[INET6_ADDRSTRLEN] = "";
    if (addr->sa_family == AF_INET && len >= socklen_t(sizeof(sockaddr_in))) {
        auto* in = reinterpret_cast<const sockaddr_in*>(addr);
        inet_ntop(AF_INET, &in->sin_addr, ip, sizeof ip);
        std::snprintf(detail, sizeof detail, "%s:%u", ip, unsigned(ntohs(in->sin_port)));
    } else if (addr->sa_family == AF_INET6 && len >= socklen_t(sizeof(sockaddr_in6))) {
        auto* in = reinterpret_cast<const sockaddr_in6*>(addr);
        inet_ntop(AF_INET6, &in->sin6_addr, ip, sizeof ip);
        std::snprintf(detail, sizeof detail, "[%s]:%u", ip, unsigned(ntohs(in->sin6_port)));
    } else if (addr->sa_family == AF_UNIX) {
        auto* un = reinterpret_cast<const sockaddr_un*>(addr);
        size_t room =
            len > offsetof(sockaddr_un, sun_path) ? len - offsetof(sockaddr_un, sun_path) : 0;
        if (room > 0 && un->sun_path[0] == '\0')
            std::snprintf(detail, sizeof detail, "the abstract socket @%.*s",
                          int(room > 100 ? 100 : room - 1), un->sun_path + 1);
        else
            std::snprintf(detail, sizeof detail, "the socket %.*s", int(room > 100 ? 100 : room),
                          un->sun_path);
    }
    recordDenial(verb, detail);
    errno = err;
}

mode_t modeOf(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(ap, int)) : 0;
}

struct ShimScope {
    ShimScope() { enterShim(); }
    ~ShimScope() { leaveShim(); }
};

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = modeOf(flags, ap);
    va_end(ap);
    int fd = REAL(open)(path, flags, mode);
    if (fd < 0) reportPath("open", path, purpose(flags), errno);
    return fd;
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = modeOf(flags, ap);
    va_end(ap);
    int fd = REAL(open64)(path, flags, mode);
    if (fd < 0) reportPath("open", path, purpose(flags), errno);
    return fd;
}

int openat(int dir, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = modeOf(flags, ap);
    va_end(ap);
    int fd = REAL(openat)(dir, path, flags, mode);
    if (fd < 0) reportPath("open", path, purpose(flags), errno);
    return fd;
}

int openat64(int dir, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = modeOf(flags, ap);
    va_end(ap);
    int fd = REAL(openat64)(dir, path, flags, mode);
    if (fd < 0) reportPath("open", path, purpose(flags), errno);
    return fd;
}

int creat(const char* path, mode_t mode) {
    int fd = REAL(creat)(path, mode);
    if (fd < 0) reportPath("open", path, "for writing", errno);
    return fd;
}

FILE* fopen(const char* path, const char* mode) {
    FILE* f = REAL(fopen)(path, mode);
    if (!f)
        reportPath(
            "open", path,
            mode && mode[0] == 'r' && !std::strchr(mode, '+') ? "for reading" : "for writing",
            errno);
    return f;
}

FILE* fopen64(const char* path, const char* mode) {
    FILE* f = REAL(fopen64)(path, mode);
    if (!f)
        reportPath(
            "open", path,
            mode && mode[0] == 'r' && !std::strchr(mode, '+') ? "for reading" : "for writing",
            errno);
    return f;
}

DIR* opendir(const char* path) {
    DIR* d = REAL(opendir)(path);
    if (!d) reportPath("list", path, nullptr, errno);
    return d;
}

int mkdir(const char* path, mode_t mode) {
    int rc = REAL(mkdir)(path, mode);
    if (rc != 0) reportPath("make the folder", path, nullptr, errno);
    return rc;
}

int unlink(const char* path) {
    int rc = REAL(unlink)(path);
    if (rc != 0) reportPath("remove", path, nullptr, errno);
    return rc;
}

int rename(const char* from, const char* to) {
    int rc = REAL(rename)(from, to);
    if (rc != 0) reportPath("rename", from, nullptr, errno);
    return rc;
}

int connect(int fd, const sockaddr* addr, socklen_t len) {
    int rc = REAL(connect)(fd, addr, len);
    if (rc != 0) reportAddress("connect to", addr, len, errno);
    return rc;
}

int bind(int fd, const sockaddr* addr, socklen_t len) {
    int rc = REAL(bind)(fd, addr, len);
    if (rc != 0) reportAddress("listen on", addr, len, errno);
    return rc;
}

int execve(const char* path, char* const argv[], char* const envp[]) {
    ShimScope scope;
    int rc = REAL(execve)(path, argv, envp);
    reportPath("run", path, nullptr, errno);
    return rc;
}

int execv(const char* path, char* const argv[]) {
    ShimScope scope;
    int rc = REAL(execv)(path, argv);
    reportPath("run", path, nullptr, errno);
    return rc;
}

int execvp(const char* file, char* const argv[]) {
    ShimScope scope;
    int rc = REAL(execvp)(file, argv);
    reportPath("run", file, nullptr, errno);
    return rc;
}

}  // extern "C"
