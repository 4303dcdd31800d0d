#pragma once
// The wallpaper process restricts itself before it loads a library: resource limits, then
// where the kernel allows, Landlock (what it may read, write and connect to) and a seccomp
// filter (which system calls it may make). Attempts the sandbox refuses are reported to the
// parent as Denied messages, each once, at most kMaxDenials: those of seccomp by the SIGSYS
// handler of the filter's trap (the call then fails with EPERM), those of Landlock by the
// child's shims of the C library's file, socket and exec calls, which see the EACCES the
// wallpaper got.

#include <cstdint>
#include <string>
#include <vector>

namespace host::sandbox {

constexpr int kMaxDenials = 64;

struct Plan {
    std::vector<std::string> readPaths;   // read and execute (folders or files)
    std::vector<std::string> writePaths;  // everything (the scratch folder)
    std::vector<std::string> devices;     // read and write (/dev/null)
};

// [main-thread] The Landlock ABI of this kernel (0: none).
int landlockAbi();

// [main-thread] The folders a wallpaper process may read besides its bundle: the system's
// library, font and locale folders, the installed Backdrop (this program's and the
// framework's folders), /proc/self; plus the files that symbolic links inside the bundle point
// to, when every user may read them (never folders). The scratch folder is writable.
Plan planFor(const std::string& bundlePath, const std::string& scratch);

// [main-thread] Core dumps off, open files capped, no new privileges; the address space
// capped at `addressSpace` bytes unless 0 (builds with a sanitizer reserve terabytes of shadow
// memory, so they rely on the parent's watch of resident memory instead).
void applyLimits(uint64_t addressSpace);

// [main-thread] Restricts the calling process for good, as far as the kernel allows, and
// returns the level in force ("landlock v7 + seccomp", "seccomp only (this kernel has no
// Landlock)"); false with a message when a step the kernel offers failed. Threads started
// afterwards inherit it; call it before any other thread exists.
bool apply(const Plan& plan, std::string* level, std::string* error);

// [async-signal-safe] Reports one denied attempt ("open /etc/shadow for reading") to the
// parent over `socket` (set by activate), at most once per text and kMaxDenials in all.
void recordDenial(const char* what, const char* detail);
// [main-thread] From now on denials are recorded and sent over socket.
void activate(int socket);
bool active();  // [async-signal-safe]

}  // namespace host::sandbox
