#include "Sandbox.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "Foundation/NSLog.h"
#include "Protocol.h"

namespace fs = std::filesystem;

// Landlock's later rights, for system headers older than the kernels that have them.
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace host::sandbox {
namespace {

// The ruleset attribute as it grew: handled_access_fs (ABI 1), handled_access_net (4),
// scoped (6). The kernel takes the size that matches the fields it should read.
struct RulesetAttr {
    uint64_t handledAccessFs = 0;
    uint64_t handledAccessNet = 0;
    uint64_t scoped = 0;
};

constexpr uint64_t kFsV1 = (1ULL << 13) - 1;  // EXECUTE .. MAKE_SYM
constexpr uint64_t kFileRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                 LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_TRUNCATE |
                                 LANDLOCK_ACCESS_FS_IOCTL_DEV;
constexpr uint64_t kReadRights =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
constexpr uint64_t kDeviceRights = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                   LANDLOCK_ACCESS_FS_TRUNCATE | LANDLOCK_ACCESS_FS_IOCTL_DEV;

// ---------------------------------------------------------------------------------------------
// Denials

std::atomic<int> gSocket{-1};
std::atomic<bool> gActive{false};
std::atomic<int> gSent{0};
std::atomic_flag gTableLock = ATOMIC_FLAG_INIT;
constexpr size_t kTextBytes = 200;
char gTexts[kMaxDenials][kTextBytes];
int gTextCount = 0;

size_t append(char* dst, size_t at, size_t cap, const char* s) {
    while (s && *s && at + 1 < cap) dst[at++] = *s++;
    dst[at] = '\0';
    return at;
}

// ---------------------------------------------------------------------------------------------
// The seccomp filter's trap

struct DeniedCall {
    const char* name;
    const char* report;  // what the report calls it
    int nr = -1;         // resolved when the filter is built
};
DeniedCall gCalls[] = {
    {"execve", "run a program (execve)"},
    {"execveat", "run a program (execveat)"},
    {"fork", "start a process (fork)"},
    {"vfork", "start a process (vfork)"},
    {"clone", "start a process (clone)"},
    {"setsid", "leave its process group (setsid)"},
    {"setpgid", "leave its process group (setpgid)"},
    {"ptrace", "trace a process (ptrace)"},
    {"process_vm_readv", "read another process's memory (process_vm_readv)"},
    {"process_vm_writev", "write another process's memory (process_vm_writev)"},
    {"mount", "mount a file system (mount)"},
    {"umount2", "unmount a file system (umount2)"},
    {"pivot_root", "change the root (pivot_root)"},
    {"bpf", "load a BPF program (bpf)"},
    {"perf_event_open", "open a performance counter (perf_event_open)"},
    {"unshare", "make new namespaces (unshare)"},
    {"setns", "join namespaces (setns)"},
    {"socket", "open a network socket"},
    {"socketpair", "make a datagram socket pair"},
    {"kill", "signal another process (kill)"},
    {"tkill", "signal another process (tkill)"},
    {"tgkill", "signal another process (tgkill)"},
    {"rt_sigqueueinfo", "signal another process (rt_sigqueueinfo)"},
    {"rt_tgsigqueueinfo", "signal another process (rt_tgsigqueueinfo)"},
    {"pidfd_open", "open another process (pidfd_open)"},
    {"kexec_load", "load a kernel (kexec_load)"},
    {"kexec_file_load", "load a kernel (kexec_file_load)"},
    {"reboot", "reboot (reboot)"},
    {"init_module", "load a kernel module (init_module)"},
    {"finit_module", "load a kernel module (finit_module)"},
    {"delete_module", "unload a kernel module (delete_module)"},
    {"io_uring_setup", "set up io_uring (io_uring_setup)"},
    {"open_by_handle_at", "open a file by handle (open_by_handle_at)"},
    {"pidfd_getfd", "take another process's descriptor (pidfd_getfd)"},
    {"userfaultfd", "make a userfaultfd (userfaultfd)"},
};

const char* familyName(long domain) {
    switch (domain) {
        case AF_INET:
            return "AF_INET";
        case AF_INET6:
            return "AF_INET6";
        case AF_NETLINK:
            return "AF_NETLINK";
        case AF_PACKET:
            return "AF_PACKET";
        default:
            return "another family";
    }
}

thread_local int tShimDepth = 0;

void onSigsys(int, siginfo_t* info, void* context) {
    auto* uc = static_cast<ucontext_t*>(context);
    int saved = errno;
    const char* report = "a system call the sandbox refuses";
    for (const DeniedCall& c : gCalls)
        if (c.nr == info->si_syscall) report = c.report;
    long arg0 = 0;
#if defined(__x86_64__)
    arg0 = long(uc->uc_mcontext.gregs[REG_RDI]);
    uc->uc_mcontext.gregs[REG_RAX] = -EPERM;
#elif defined(__aarch64__)
    arg0 = long(uc->uc_mcontext.regs[0]);
    uc->uc_mcontext.regs[0] = uint64_t(-EPERM);
#endif
    char detail[64] = "";
    // A Unix socket with a path reaches the desktop's services (the display server, the session
    // bus, agents), which no wallpaper has business with.
    if (std::strcmp(report, "open a network socket") == 0 && arg0 == AF_UNIX)
        report = "open a Unix socket";
    else if (std::strcmp(report, "open a network socket") == 0) {
        size_t n = append(detail, 0, sizeof detail, "(");
        n = append(detail, n, sizeof detail, familyName(arg0));
        append(detail, n, sizeof detail, ")");
    }
    // A shim that made this call reports it with what it knows (the program's path).
    if (tShimDepth == 0) recordDenial(report, detail);
    errno = saved;
}

// ---------------------------------------------------------------------------------------------
// Plan helpers

std::string realPath(const std::string& p) {
    char* r = realpath(p.c_str(), nullptr);
    std::string out = r ? r : "";
    std::free(r);
    return out;
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v && *v == '/' ? v : "";
}

int addRule(int ruleset, const std::string& path, uint64_t rights, uint64_t handled) {
    int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) return 0;  // nothing there: nothing to allow
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return 0;
    }
    if (!S_ISDIR(st.st_mode)) rights &= kFileRights;
    landlock_path_beneath_attr pb{};
    pb.allowed_access = rights & handled;
    pb.parent_fd = fd;
    int rc = pb.allowed_access == 0
                 ? 0
                 : int(syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &pb, 0));
    int err = errno;
    close(fd);
    errno = err;
    return rc;
}

bool applyLandlock(int abi, const Plan& plan, std::string* error) {
    RulesetAttr attr;
    attr.handledAccessFs = kFsV1;
    if (abi >= 2) attr.handledAccessFs |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3) attr.handledAccessFs |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 5) attr.handledAccessFs |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    size_t size = sizeof(uint64_t);
    if (abi >= 4) {
        // No rule allows a port: no TCP bind or connect at all.
        attr.handledAccessNet = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
        size = 2 * sizeof(uint64_t);
    }
    if (abi >= 6) {
        attr.scoped = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL;
        size = 3 * sizeof(uint64_t);
    }
    int rs = int(syscall(SYS_landlock_create_ruleset, &attr, size, 0));
    if (rs < 0) {
        *error = std::string("Landlock refused the ruleset: ") + std::strerror(errno);
        return false;
    }
    uint64_t handled = attr.handledAccessFs;
    bool ok = true;
    auto add = [&](const std::string& p, uint64_t rights) {
        if (ok && addRule(rs, p, rights, handled) != 0) {
            *error = "Landlock refused a rule for " + p + ": " + std::strerror(errno);
            ok = false;
        }
    };
    for (const std::string& p : plan.readPaths) add(p, kReadRights);
    for (const std::string& p : plan.devices) add(p, kDeviceRights);
    for (const std::string& p : plan.writePaths) add(p, handled);
    if (ok && syscall(SYS_landlock_restrict_self, rs, 0) != 0) {
        *error = std::string("Landlock did not restrict the process: ") + std::strerror(errno);
        ok = false;
    }
    close(rs);
    return ok;
}

bool applySeccomp(std::string* error) {
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
    if (!ctx) {
        *error = "libseccomp could not start a filter";
        return false;
    }
    // Every thread, the ones already started included (sanitizer runtimes start their own).
    seccomp_attr_set(ctx, SCMP_FLTATR_CTL_TSYNC, 1);
    int rc = 0;
    // Signals stay within the wallpaper process (its group is itself): Landlock scopes them only
    // from ABI 6, and before that kill(-1, SIGKILL) would end every process of the user's
    // session. The group leader's pid is the process's own.
    const auto self = uint32_t(getpid());
    const char* ownTarget[] = {"tkill", "tgkill", "rt_sigqueueinfo", "rt_tgsigqueueinfo",
                               "pidfd_open"};
    for (DeniedCall& c : gCalls) {
        c.nr = seccomp_syscall_resolve_name(c.name);
        if (c.nr == __NR_SCMP_ERROR) continue;  // not a call of this machine
        if (std::strcmp(c.name, "socket") == 0)
            // No socket at all: Landlock does not cover connecting to a Unix socket by its path,
            // so a Unix socket would reach the display server, the session bus and the agents.
            rc = seccomp_rule_add(ctx, SCMP_ACT_TRAP, c.nr, 0);
        else if (std::strcmp(c.name, "socketpair") == 0)
            // Stream and packet pairs stay allowed (they ignore an address); a datagram socket
            // could send to any datagram socket by its path.
            rc = seccomp_rule_add(ctx, SCMP_ACT_TRAP, c.nr, 1,
                                  SCMP_A1(SCMP_CMP_MASKED_EQ, 0xf, SOCK_DGRAM));
        else if (std::strcmp(c.name, "kill") == 0)
            // Its own pid, or signal 0, which only asks whether a process exists. (Its own
            // group, 0 or -pid, is refused too: a filter rule compares an argument once.)
            rc = seccomp_rule_add(ctx, SCMP_ACT_TRAP, c.nr, 2, SCMP_A0_32(SCMP_CMP_NE, self),
                                  SCMP_A1_32(SCMP_CMP_NE, 0));
        else if (std::any_of(std::begin(ownTarget), std::end(ownTarget),
                             [&](const char* n) { return std::strcmp(c.name, n) == 0; }))
            rc = seccomp_rule_add(ctx, SCMP_ACT_TRAP, c.nr, 1, SCMP_A0_32(SCMP_CMP_NE, self));
        else if (std::strcmp(c.name, "clone") == 0)
            // Threads stay allowed; a new process (no CLONE_THREAD) does not.
            rc = seccomp_rule_add(ctx, SCMP_ACT_TRAP, c.nr, 1,
                                  SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0));
        else
            rc = seccomp_rule_add(ctx, SCMP_ACT_TRAP, c.nr, 0);
        if (rc != 0) break;
    }
    // clone3 passes its flags in memory, where a filter cannot look: the C library falls back
    // to clone when clone3 is missing, so it is missing.
    int clone3 = seccomp_syscall_resolve_name("clone3");
    if (rc == 0 && clone3 != __NR_SCMP_ERROR)
        rc = seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), clone3, 0);
    if (rc == 0) {
        struct sigaction sa {};
        sa.sa_sigaction = onSigsys;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSYS, &sa, nullptr);
        rc = seccomp_load(ctx);
    }
    seccomp_release(ctx);
    if (rc != 0) {
        *error = std::string("the seccomp filter was refused: ") + std::strerror(-rc);
        return false;
    }
    return true;
}

}  // namespace

int landlockAbi() {
    long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 0) return 0;
    // For tests and for trying what an older kernel gives: BACKDROP_LANDLOCK_ABI caps the ABI.
    if (const char* cap = std::getenv("BACKDROP_LANDLOCK_ABI")) {
        char* end = nullptr;
        long v = std::strtol(cap, &end, 10);
        if (end && *end == '\0' && v >= 0 && v < abi) abi = v;
    }
    return int(abi);
}

Plan planFor(const std::string& bundlePath, const std::string& scratch) {
    Plan plan;
    auto read = [&](const std::string& p) {
        if (!p.empty()) plan.readPaths.push_back(p);
    };
    std::string bundle = realPath(bundlePath);
    read(bundle);
    for (const char* p :
         {"/lib", "/lib64", "/usr/lib", "/usr/lib64", "/usr/local/lib", "/usr/share/fonts",
          "/usr/local/share/fonts", "/etc/fonts", "/usr/share/fontconfig", "/var/cache/fontconfig",
          "/usr/share/locale", "/usr/share/zoneinfo", "/etc/localtime", "/etc/ld.so.cache",
          "/sys/devices/system/cpu", "/dev/urandom", "/dev/random", "/dev/zero"})
        read(p);
    std::string home = env("HOME");
    if (!home.empty()) {
        read(home + "/.fonts");
        read(home + "/.local/share/fonts");
        read(home + "/.cache/fontconfig");
    }
    if (!env("XDG_DATA_HOME").empty()) read(env("XDG_DATA_HOME") + "/fonts");
    if (!env("XDG_CACHE_HOME").empty()) read(env("XDG_CACHE_HOME") + "/fontconfig");
    // The installed Backdrop: this program's folder and the framework's.
    read(fs::path(realPath("/proc/self/exe")).parent_path().string());
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&NSLog), &info) && info.dli_fname)
        read(fs::path(realPath(info.dli_fname)).parent_path().string());
    read(realPath("/proc/self"));
    // Links inside the bundle to files every user may read: part of the bundle as its author
    // assembled it. Never a folder, never a private file (a link to ~/.ssh/id_ed25519 opens
    // nothing).
    std::error_code ec;
    if (!bundle.empty()) {
        size_t seen = 0;
        fs::recursive_directory_iterator it(bundle, ec), end;
        for (; !ec && it != end && seen < 4096; it.increment(ec), ++seen) {
            if (it.depth() > 8) {
                it.disable_recursion_pending();
                continue;
            }
            if (!it->is_symlink(ec)) continue;
            std::string target = realPath(it->path().string());
            struct stat st;
            if (!target.empty() && stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                (st.st_mode & S_IROTH))
                read(target);
        }
    }
    plan.devices.push_back("/dev/null");
    if (!scratch.empty()) plan.writePaths.push_back(scratch);
    return plan;
}

void applyLimits(uint64_t addressSpace) {
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    rlim_t cap = 256;
    if (files.rlim_max != RLIM_INFINITY && files.rlim_max < cap) cap = files.rlim_max;
    files.rlim_cur = files.rlim_max = cap;
    setrlimit(RLIMIT_NOFILE, &files);
    if (addressSpace > 0) {
        rlimit as{addressSpace, addressSpace};
        setrlimit(RLIMIT_AS, &as);
    }
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
}

bool apply(const Plan& plan, std::string* level, std::string* error) {
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    int abi = landlockAbi();
    std::string text;
    if (abi > 0) {
        if (!applyLandlock(abi, plan, error)) return false;
        text = "landlock v" + std::to_string(abi);
    }
    if (!applySeccomp(error)) return false;
    *level = abi > 0 ? text + " + seccomp" : "seccomp only (this kernel has no Landlock)";
    return true;
}

void activate(int socket) {
    gSocket.store(socket);
    gActive.store(true);
}

bool active() {
    return gActive.load(std::memory_order_relaxed);
}

void recordDenial(const char* what, const char* detail) {
    if (!active()) return;
    char text[kTextBytes];
    size_t n = append(text, 0, sizeof text, what);
    if (detail && *detail) {
        n = append(text, n, sizeof text, " ");
        n = append(text, n, sizeof text, detail);
    }
    // Once per text; a busy table (another thread, or this one interrupted) skips the check.
    if (!gTableLock.test_and_set(std::memory_order_acquire)) {
        for (int i = 0; i < gTextCount; ++i)
            if (std::strcmp(gTexts[i], text) == 0) {
                gTableLock.clear(std::memory_order_release);
                return;
            }
        if (gTextCount < kMaxDenials) std::memcpy(gTexts[gTextCount++], text, n + 1);
        gTableLock.clear(std::memory_order_release);
    }
    if (gSent.fetch_add(1) >= kMaxDenials) return;
    // One Denied message, built without allocating.
    uint8_t msg[32 + kTextBytes];
    uint32_t magic = wire::kMagic, len = uint32_t(n);
    uint16_t type = uint16_t(wire::Type::Denied), zero = 0;
    uint64_t seq = 0;
    size_t at = 0;
    std::memcpy(msg + at, &magic, 4), at += 4;
    std::memcpy(msg + at, &type, 2), at += 2;
    std::memcpy(msg + at, &zero, 2), at += 2;
    std::memcpy(msg + at, &seq, 8), at += 8;
    std::memcpy(msg + at, &len, 4), at += 4;
    std::memcpy(msg + at, text, n), at += n;
    wire::sendRaw(gSocket.load(), msg, at);
}

// The shims (Shims.cpp) mark the calls they make, so a trap inside one is reported once, by
// the shim, with the path it knows.
void enterShim() {
    ++tShimDepth;
}
void leaveShim() {
    --tShimDepth;
}

}  // namespace host::sandbox
