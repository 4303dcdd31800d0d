#include "WallpaperProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>

#include "Protocol.h"
#include "Symbolizer.h"

extern char** environ;

namespace host {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kMaxLogLine = 1024;
constexpr size_t kMaxLogEventsPerPass = 512;
constexpr size_t kMaxMessagesPerPass = 1024;
constexpr size_t kLogBytesPerPass = 256 * 1024;
constexpr size_t kMaxDenied = 64;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// No address-space limit in the child (a sanitizer reserves terabytes): watch more often.
constexpr double kMemoryWatch = 0.1;
#else
constexpr double kMemoryWatch = 1.0;
#endif
constexpr double kBusyShare = 0.5;          // of one core, while paused or stopped
constexpr double kFrameMemoryWatch = 0.02;  // seconds between looks at memory with frames
// Seconds a wallpaper process may take to set itself up (before any wallpaper code runs); the
// wallpaper's own loading then has the hang time-out.
constexpr double kOwnStartLimit = 30;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double monotonicNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::string fixed2(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.2f", v);
    return b;
}

std::string gib(uint64_t bytes) {
    char b[32];
    if (bytes % (uint64_t(1) << 30) == 0)
        std::snprintf(b, sizeof b, "%llu GiB", (unsigned long long)(bytes >> 30));
    else
        std::snprintf(b, sizeof b, "%llu MiB", (unsigned long long)(bytes >> 20));
    return b;
}

std::string signalName(int sig) {
    const char* abbrev = sigabbrev_np(sig);
    return abbrev ? std::string("SIG") + abbrev : "signal " + std::to_string(sig);
}

bool validScreen(const ScreenSpec& s) {
    return std::isfinite(s.width) && std::isfinite(s.height) && std::isfinite(s.scale) &&
           s.width >= 1 && s.height >= 1 && s.scale > 0 && s.pixelWidth() >= 1 &&
           s.pixelHeight() >= 1 && s.pixelWidth() <= 8192 && s.pixelHeight() <= 8192;
}

// The options a sanitizer runtime in the child needs: leave fatal signals to the child's own
// handler, and no leak check (it needs ptrace, which the sandbox refuses).
std::vector<std::string> childEnvironment() {
    std::vector<std::string> env;
    const char* extra =
        "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:"
        "allow_user_segv_handler=1:detect_leaks=0";
    bool asan = false, tsan = false;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        if (kv.rfind("ASAN_OPTIONS=", 0) == 0) {
            kv += std::string(":") + extra;
            asan = true;
        } else if (kv.rfind("TSAN_OPTIONS=", 0) == 0) {
            kv += std::string(":") + extra;
            tsan = true;
        }
        env.push_back(kv);
    }
#if defined(__SANITIZE_ADDRESS__)
    if (!asan) env.push_back(std::string("ASAN_OPTIONS=") + extra);
#endif
#if defined(__SANITIZE_THREAD__)
    if (!tsan) env.push_back(std::string("TSAN_OPTIONS=") + extra);
#endif
    (void)asan;
    (void)tsan;
    return env;
}

struct ProcStat {
    double cpu = 0;
    uint64_t rss = 0, peak = 0;
    bool ok = false;
};

// Resident bytes alone, cheaply (one short read): 0 when unreadable.
uint64_t residentBytes(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/statm", int(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[128];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return 0;
    buf[n] = '\0';
    unsigned long long size = 0, resident = 0;
    if (std::sscanf(buf, "%llu %llu", &size, &resident) != 2) return 0;
    return resident * uint64_t(sysconf(_SC_PAGESIZE));
}

ProcStat readProc(pid_t pid) {
    ProcStat s;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return s;
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return s;
    buf[n] = '\0';
    // The command name may hold spaces and parentheses: fields start after the last ')'.
    const char* p = std::strrchr(buf, ')');
    if (!p) return s;
    unsigned long long utime = 0, stime = 0;
    long long rssPages = 0;
    if (std::sscanf(p + 2,
                    "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %*d %*d %*d %*d %*d "
                    "%*d %*u %*u %lld",
                    &utime, &stime, &rssPages) != 3)
        return s;
    long tick = sysconf(_SC_CLK_TCK);
    s.cpu = double(utime + stime) / double(tick > 0 ? tick : 100);
    s.rss = uint64_t(rssPages > 0 ? rssPages : 0) * uint64_t(sysconf(_SC_PAGESIZE));
    std::snprintf(path, sizeof path, "/proc/%d/status", int(pid));
    fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char st[4096];
        ssize_t m = read(fd, st, sizeof st - 1);
        close(fd);
        if (m > 0) {
            st[m] = '\0';
            if (const char* hwm = std::strstr(st, "VmHWM:")) {
                unsigned long long kb = 0;
                if (std::sscanf(hwm + 6, "%llu", &kb) == 1) s.peak = kb * 1024;
            }
        }
    }
    s.ok = true;
    return s;
}

}  // namespace

struct WallpaperProcess::Impl {
    enum class Expect { Frame, Reply, Internal };
    struct Pending {
        uint64_t seq;
        Expect expect;
        Clock::time_point sent;
        bool quiet = false;  // a pause or stop: the CPU watch starts when it is answered
    };
    struct Buffer {
        int fd = -1;
        uint8_t* pixels = nullptr;
        bool parentOwns = false;
    };

    WallpaperOptions o;
    pid_t pid = -1;
    int sock = -1, logFd = -1, pidFd = -1, epollFd = -1;
    std::string scratch, bundleDir, sandboxLevel;
    std::vector<Buffer> buffers;
    std::vector<uint8_t> released;  // buffers released since the last Render
    int width = 0, height = 0;
    size_t stride = 0;
    uint32_t generation = 1;
    uint64_t nextSeq = 1, requests = 0, frames = 0;
    std::deque<Pending> pending;
    std::deque<WallpaperEvent> queued;
    WallpaperEnd end;
    bool ended = false, endQueued = false, childReaped = false, changedQueued = false;
    int exitStatus = 0;
    Clock::time_point spawned, lastHeard, lastMemoryWatch;
    Clock::time_point wallpaperStart;  // Started: the wallpaper's own time begins
    Clock::time_point lastFrameMemoryWatch;
    double mediaStart = 0, lastMediaTime = 0;
    // Crash report
    bool crashSeen = false, allocationFailed = false;
    int crashSignal = 0;
    std::vector<CrashFrame> crashFrames;
    // Watches
    ProcStat last;
    bool quiet = false, busyReported = false;
    Clock::time_point quietSince;
    double quietCpu = 0;
    size_t denied = 0;
    std::string logPartial;
    bool logOverflow = false;
    std::vector<uint8_t> message;

    ~Impl() { cleanUp(); }

    // -- setup ---------------------------------------------------------------------------------

    bool makeBuffers(const ScreenSpec& s, int count, std::vector<Buffer>* out, std::string* err) {
        int w = s.pixelWidth(), h = s.pixelHeight();
        size_t st = size_t(w) * 4, size = st * size_t(h);
        for (int k = 0; k < count; ++k) {
            Buffer b;
            b.fd = int(syscall(SYS_memfd_create, "backdrop-frame",
                               unsigned(MFD_CLOEXEC | MFD_ALLOW_SEALING)));
            // Sealed at its size: a child cannot shrink the file under the parent's mapping.
            if (b.fd < 0 || ftruncate(b.fd, off_t(size)) != 0 ||
                fcntl(b.fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
                *err = std::string("cannot make a frame buffer: ") + std::strerror(errno);
                if (b.fd >= 0) close(b.fd);
                for (Buffer& x : *out) freeBuffer(x, size);
                out->clear();
                return false;
            }
            void* p = mmap(nullptr, size, PROT_READ, MAP_SHARED, b.fd, 0);
            if (p == MAP_FAILED) {
                *err = std::string("cannot map a frame buffer: ") + std::strerror(errno);
                close(b.fd);
                for (Buffer& x : *out) freeBuffer(x, size);
                out->clear();
                return false;
            }
            b.pixels = static_cast<uint8_t*>(p);
            out->push_back(b);
        }
        return true;
    }

    static void freeBuffer(Buffer& b, size_t size) {
        if (b.pixels) munmap(b.pixels, size);
        if (b.fd >= 0) close(b.fd);
        b = Buffer{};
    }

    void freeBuffers() {
        for (Buffer& b : buffers) freeBuffer(b, stride * size_t(height));
        buffers.clear();
    }

    void cleanUp() {
        if (pid > 0 && !childReaped) {
            killGroup();
            reap(true);
        }
        for (int* fd : {&sock, &logFd, &pidFd, &epollFd})
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
        freeBuffers();
        removeScratch();
    }

    void removeScratch() {
        if (scratch.empty()) return;
        std::error_code ec;
        fs::remove_all(scratch, ec);  // links the wallpaper left are removed, not followed
        scratch.clear();
    }

    // -- the end ---------------------------------------------------------------------------------

    void killGroup() {
        if (pid > 0 && !childReaped) ::kill(-pid, SIGKILL);
    }

    // Reaps the child (blocking when wait) and whatever of its group became ours; the child's
    // status is kept in exitStatus.
    bool reap(bool wait) {
        if (childReaped) return true;
        int st = 0;
        pid_t r;
        do {
            r = waitpid(pid, &st, wait ? 0 : WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r == 0) return false;
        childReaped = true;
        exitStatus = st;
        // Processes the wallpaper started are killed with its group and, as the host is
        // their subreaper, reaped here.
        ::kill(-pid, SIGKILL);
        for (;;) {
            pid_t g = waitpid(-pid, nullptr, 0);
            if (g > 0 || (g < 0 && errno == EINTR)) continue;
            break;
        }
        return true;
    }

    double mediaSeconds() const {
        if (o.clock == WallpaperOptions::Clock::Virtual)
            return std::max(0.0, lastMediaTime - mediaStart);
        return seconds(Clock::now() - wallpaperStart);
    }

    std::string whereText() const {
        return "at " + fixed2(mediaSeconds()) + " s, frame " + std::to_string(frames);
    }

    // Ends the child for a reason the parent found; the text is complete.
    void finish(WallpaperEnd::Reason reason, const std::string& text) {
        if (ended) return;
        end.atSeconds = mediaSeconds();
        end.frame = frames;
        killGroup();
        reap(true);
        ended = true;
        end.reason = reason;
        end.text = text;
        afterEnd();
    }

    // The child is gone by itself (its socket closed or its process ended).
    void childGone() {
        if (ended) return;
        end.atSeconds = mediaSeconds();
        end.frame = frames;
        // It may still be on its way out: give it a moment before it counts as having closed
        // its connection while alive.
        bool gone = reap(false);
        for (int i = 0; i < 50 && !gone; ++i) {
            usleep(4000);
            gone = reap(false);
        }
        if (!gone) {
            killGroup();
            reap(true);
            ended = true;
            end.reason = WallpaperEnd::Reason::BrokeProtocol;
            end.text = "the wallpaper closed its connection " + whereText() + " (killed)";
            afterEnd();
            return;
        }
        int status = exitStatus;
        ended = true;
        if (WIFEXITED(status)) {
            end.reason = WallpaperEnd::Reason::Exited;
            end.status = WEXITSTATUS(status);
            end.text =
                "the wallpaper exited (status " + std::to_string(end.status) + ") " + whereText();
        } else {
            end.reason = WallpaperEnd::Reason::Crashed;
            end.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            end.text =
                (end.signal == SIGKILL ? "the wallpaper was killed (" : "the wallpaper crashed (") +
                signalName(end.signal) + ") " + whereText();
        }
        afterEnd();
    }

    // A Crash message: read the memory map while the child waits in its handler, then end it.
    void crashed(int sig, const std::vector<uint64_t>& pcs) {
        ProcessMap map;
        if (map.read(pid)) crashFrames = symbolize(map, pcs);
        end.atSeconds = mediaSeconds();
        end.frame = frames;
        killGroup();
        reap(true);
        ended = true;
        end.signal = sig;
        end.function = faultingFunction(crashFrames, bundleDir);
        std::string in = end.function.empty() ? "" : ", in " + end.function;
        if (allocationFailed) {
            end.reason = WallpaperEnd::Reason::OutOfMemory;
            end.text = "the wallpaper ran out of memory (limit " + gib(o.memoryLimit) + ") " +
                       whereText() + in;
        } else {
            end.reason = WallpaperEnd::Reason::Crashed;
            end.text = "the wallpaper crashed (" + signalName(sig) + ") " + whereText() + in;
        }
        afterEnd();
    }

    void afterEnd() {
        pending.clear();
        removeScratch();
        // What it wrote last (a runtime's message before an abort) still counts; then nothing
        // more comes, and the descriptor to poll goes quiet.
        readLog();
        if (!logPartial.empty()) {
            WallpaperEvent e;
            e.kind = WallpaperEvent::Kind::Log;
            e.text = logPartial;
            queued.push_back(std::move(e));
            logPartial.clear();
        }
        for (int* fd : {&sock, &logFd, &pidFd})
            if (*fd >= 0) {
                epoll_ctl(epollFd, EPOLL_CTL_DEL, *fd, nullptr);
                close(*fd);
                *fd = -1;
            }
        if (!endQueued) {
            WallpaperEvent e;
            e.kind = WallpaperEvent::Kind::Ended;
            e.text = end.text;
            queued.push_back(e);
            endQueued = true;
        }
    }

    void broke(const std::string& what) {
        finish(WallpaperEnd::Reason::BrokeProtocol,
               "the wallpaper broke the protocol (" + what + ") " + whereText() + " (killed)");
    }

    // -- requests --------------------------------------------------------------------------------

    uint64_t sendMessage(const wire::Writer& w, uint64_t seq, Expect expect,
                         const std::vector<int>& fds = {}, bool quietAfter = false) {
        if (ended) return 0;
        if (!wire::send(sock, w, fds)) {
            childGone();
            return 0;
        }
        if (expect != Expect::Internal) ++requests;
        pending.push_back({seq, expect, Clock::now(), quietAfter});
        return seq;
    }

    // -- events ----------------------------------------------------------------------------------

    void readMessages() {
        for (size_t i = 0; i < kMaxMessagesPerPass && !ended; ++i) {
            wire::Received got = wire::receive(sock, &message, nullptr);
            if (got == wire::Received::Nothing) return;
            if (got == wire::Received::Closed) return childGone();
            if (got == wire::Received::Refused)
                return broke("a message too long or carrying descriptors");
            lastHeard = Clock::now();
            onMessage();
        }
    }

    void onMessage() {
        wire::Reader in(message.data(), message.size());
        wire::Header h;
        if (!in.header(&h)) return broke("a message without its header");
        switch (h.type) {
            case wire::Type::Frame:
                return onFrame(h, in);
            case wire::Type::Reply:
                return onReply(h, in);
            case wire::Type::Changed:
                if (!in.finished()) return broke("a malformed change notice");
                // A frame asked for and not yet answered is drawn after this notice (answers
                // come in order): it shows the change already.
                for (const Pending& p : pending)
                    if (p.expect == Expect::Frame) return;
                if (!changedQueued) {
                    WallpaperEvent e;
                    e.kind = WallpaperEvent::Kind::Changed;
                    queued.push_back(e);
                    changedQueued = true;
                }
                return;
            case wire::Type::Denied: {
                std::string text = in.str(512);
                if (!in.finished()) return broke("a malformed denial");
                if (denied++ >= kMaxDenied) return;
                WallpaperEvent e;
                e.kind = WallpaperEvent::Kind::Denied;
                e.text = clean(text);
                queued.push_back(e);
                return;
            }
            case wire::Type::OutOfMemory:
                if (!in.finished()) return broke("a malformed memory notice");
                allocationFailed = true;
                return;
            case wire::Type::Crash: {
                int sig = int(in.u32());
                in.i32();  // the signal's code
                in.u64();  // the faulting address
                uint32_t count = in.u32();
                if (!in.ok() || count > wire::kMaxPcs) return broke("a malformed crash report");
                std::vector<uint64_t> pcs(count);
                for (uint64_t& pc : pcs) pc = in.u64();
                if (!in.finished() || sig <= 0 || sig >= 65)
                    return broke("a malformed crash report");
                crashSignal = sig;
                crashSeen = true;
                return crashed(sig, pcs);
            }
            default:
                return broke("a message of an unknown kind");
        }
    }

    void onFrame(const wire::Header& h, wire::Reader& in) {
        uint8_t k = in.u8();
        uint32_t gen = in.u32();
        double t = in.f64(), next = in.f64(), ms = in.f64();
        uint16_t count = in.u16();
        if (!in.ok() || count > wire::kMaxRects) return broke("a malformed frame");
        std::vector<WallpaperRect> rects(count);
        for (WallpaperRect& r : rects) {
            r.x = in.i32();
            r.y = in.i32();
            r.width = in.i32();
            r.height = in.i32();
        }
        if (!in.finished()) return broke("a malformed frame");
        if (pending.empty() || pending.front().seq != h.seq ||
            pending.front().expect != Expect::Frame)
            return broke("a frame nobody asked for");
        if (gen > generation) return broke("a frame of a screen it was never given");
        pending.pop_front();
        if (gen < generation) return;  // drawn for the screen before the last change: dropped
        if (k >= buffers.size() || buffers[k].parentOwns)
            return broke("a frame in a buffer it does not own");
        if (!std::isfinite(t) || std::isnan(next) || next == -INFINITY || !std::isfinite(ms) ||
            ms < 0)
            return broke("a frame with impossible times");
        for (const WallpaperRect& r : rects)
            if (r.x < 0 || r.y < 0 || r.width <= 0 || r.height <= 0 || r.x > width - r.width ||
                r.y > height - r.height)
                return broke("a damaged rectangle outside the screen");
        // A frame is a moment the memory has grown, if it grows: look then too (a virtual clock
        // runs far ahead of the periodic watch), at most every kFrameMemoryWatch.
        auto now = Clock::now();
        if (seconds(now - lastFrameMemoryWatch) >= kFrameMemoryWatch &&
            (lastFrameMemoryWatch = now, residentBytes(pid) > o.memoryLimit))
            return finish(WallpaperEnd::Reason::OutOfMemory,
                          "the wallpaper used more than " + gib(o.memoryLimit) + " of memory " +
                              whereText() + " (killed)");
        buffers[k].parentOwns = true;
        ++frames;
        changedQueued = false;
        if (o.clock == WallpaperOptions::Clock::Virtual) lastMediaTime = std::max(lastMediaTime, t);
        WallpaperEvent e;
        e.kind = WallpaperEvent::Kind::FrameReady;
        e.request = h.seq;
        e.buffer = k;
        e.damage = std::move(rects);
        e.mediaTime = t;
        e.nextChange = next;
        e.renderMs = ms;
        queued.push_back(std::move(e));
    }

    void onReply(const wire::Header& h, wire::Reader& in) {
        bool value = in.u8() != 0;
        uint16_t count = in.u16();
        if (!in.ok() || count > wire::kMaxLines) return broke("a malformed reply");
        std::vector<std::string> lines;
        for (uint16_t i = 0; i < count; ++i) lines.push_back(in.str());
        if (!in.finished()) return broke("a malformed reply");
        if (pending.empty() || pending.front().seq != h.seq) return broke("a reply to no request");
        Pending p = pending.front();
        pending.pop_front();
        if (p.quiet) startQuiet();
        if (p.expect == Expect::Internal) return;
        WallpaperEvent e;
        e.kind = WallpaperEvent::Kind::Reply;
        e.request = h.seq;
        e.value = value;
        for (size_t i = 0; i < lines.size(); ++i) e.text += (i ? "\n" : "") + clean(lines[i]);
        queued.push_back(std::move(e));
    }

    static std::string clean(const std::string& s) {
        std::string out;
        for (char c : s)
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') out += c;
        return out;
    }

    void readLog() {
        if (logFd < 0) return;
        size_t events = 0, total = 0;
        char buf[65536];
        while (total < kLogBytesPerPass) {
            ssize_t n = read(logFd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n == 0) {
                // Every writer closed: no more output; the process end is seen elsewhere.
                epoll_ctl(epollFd, EPOLL_CTL_DEL, logFd, nullptr);
                close(logFd);
                logFd = -1;
                return;
            }
            if (n < 0) return;
            total += size_t(n);
            for (ssize_t i = 0; i < n; ++i) {
                char c = buf[i];
                if (c == '\n') {
                    if (events < kMaxLogEventsPerPass) {
                        WallpaperEvent e;
                        e.kind = WallpaperEvent::Kind::Log;
                        e.text = logPartial;
                        queued.push_back(std::move(e));
                    }
                    ++events;
                    logPartial.clear();
                    logOverflow = false;
                } else if (logPartial.size() < kMaxLogLine) {
                    if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') logPartial += c;
                } else {
                    logOverflow = true;
                }
            }
        }
        if (events > kMaxLogEventsPerPass) {
            WallpaperEvent e;
            e.kind = WallpaperEvent::Kind::Log;
            e.text = "(" + std::to_string(events - kMaxLogEventsPerPass) +
                     " more lines of the wallpaper's output left out)";
            queued.push_back(std::move(e));
        }
    }

    void startQuiet() {
        quiet = true;
        busyReported = false;
        quietSince = Clock::now();
        quietCpu = readProc(pid).cpu;
    }

    void watch() {
        if (ended) return;
        auto now = Clock::now();
        // Hang: the oldest request has waited too long.
        if (!pending.empty() && seconds(now - pending.front().sent) >= o.hangTimeout) {
            char t[32];
            std::snprintf(t, sizeof t, "%g", o.hangTimeout);
            return finish(WallpaperEnd::Reason::Hung,
                          std::string("the wallpaper stopped answering for ") + t + " s " +
                              whereText() + " (killed)");
        }
        // Liveness of the child's main thread when nothing else asks.
        if (pending.empty() && seconds(now - lastHeard) >= o.hangTimeout / 2) {
            lastHeard = now;
            uint64_t seq = nextSeq++;
            sendMessage(wire::Writer(wire::Type::Ping, seq), seq, Expect::Internal);
        }
        watchResources();
    }

    // The child's resident memory against its limit, and its processor time while paused; at
    // most every kMemoryWatch seconds.
    void watchResources() {
        auto now = Clock::now();
        if (ended || seconds(now - lastMemoryWatch) < kMemoryWatch) return;
        lastMemoryWatch = now;
        ProcStat s = readProc(pid);
        if (s.ok) last = s;
        if (s.ok && s.rss > o.memoryLimit)
            return finish(WallpaperEnd::Reason::OutOfMemory,
                          "the wallpaper used more than " + gib(o.memoryLimit) + " of memory " +
                              whereText() + " (killed)");
        if (quiet && !busyReported && pending.empty()) {
            double wall = seconds(now - quietSince);
            if (wall >= 1.0) {
                double share = (s.cpu - quietCpu) / wall;
                if (share > kBusyShare) {
                    busyReported = true;
                    char text[128];
                    std::snprintf(text, sizeof text,
                                  "the wallpaper used %.0f%% of a core for %.1f s while paused",
                                  share * 100, wall);
                    WallpaperEvent e;
                    e.kind = WallpaperEvent::Kind::Busy;
                    e.text = text;
                    queued.push_back(e);
                }
                quietSince = now;
                quietCpu = s.cpu;
            }
        }
    }

    void pump() {
        if (ended) return;
        readMessages();
        if (!ended) readLog();
        if (!ended && pidFd >= 0) {
            pollfd p{pidFd, POLLIN, 0};
            if (poll(&p, 1, 0) > 0) {
                readMessages();  // a crash report or a last reply may still be there
                readLog();
                if (!ended) childGone();
            }
        } else if (!ended && reap(false)) {
            readMessages();
            if (!ended) childGone();
        }
        watch();
    }

    // The longest wait before the watches need a pass; with events queued, none (handle() has
    // something to return), unless only the watches count.
    int timeout(bool watchesOnly = false) const {
        if (!queued.empty() && !watchesOnly) return 0;
        if (ended) return -1;
        auto now = Clock::now();
        double wait = seconds(lastMemoryWatch - now) + kMemoryWatch;
        if (!pending.empty())
            wait = std::min(wait, seconds(pending.front().sent - now) + o.hangTimeout);
        else
            wait = std::min(wait, seconds(lastHeard - now) + o.hangTimeout / 2);
        if (wait <= 0) return 0;
        return int(std::min(std::ceil(wait * 1000), double(INT_MAX)));
    }

    // Waits for events up to `until` (polling the descriptors), handling them as they come.
    void waitSome(Clock::time_point until) {
        int ms = int(std::ceil(std::max(0.0, seconds(until - Clock::now())) * 1000));
        int t = timeout(true);
        if (t >= 0) ms = std::min(ms, t);
        pollfd p{epollFd, POLLIN, 0};
        if (ms > 0) poll(&p, 1, ms);
        pump();
    }

    // Takes the event answering seq out of the queue.
    bool takeAnswer(uint64_t seq, WallpaperEvent* out) {
        for (auto it = queued.begin(); it != queued.end(); ++it)
            if ((it->kind == WallpaperEvent::Kind::Reply ||
                 it->kind == WallpaperEvent::Kind::FrameReady) &&
                it->request == seq) {
                *out = std::move(*it);
                queued.erase(it);
                return true;
            }
        return false;
    }

    bool await(uint64_t seq, double timeoutSeconds, WallpaperEvent* out, std::string* error) {
        if (seq == 0) {
            *error = ended ? end.text : "the wallpaper process is gone";
            return false;
        }
        auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(timeoutSeconds));
        for (;;) {
            if (takeAnswer(seq, out)) return true;
            if (ended) {
                *error = end.text;
                return false;
            }
            if (Clock::now() >= until) {
                char t[32];
                std::snprintf(t, sizeof t, "%g", timeoutSeconds);
                finish(WallpaperEnd::Reason::Hung,
                       std::string("the wallpaper stopped answering for ") + t + " s " +
                           whereText() + " (killed)");
                *error = end.text;
                return false;
            }
            waitSome(until);
        }
    }
};

WallpaperProcess::WallpaperProcess() : _impl(std::make_unique<Impl>()) {}

WallpaperProcess::~WallpaperProcess() = default;

std::unique_ptr<WallpaperProcess> WallpaperProcess::spawn(const WallpaperOptions& options,
                                                          std::string* error) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<WallpaperProcess> {
        *error = why;
        return nullptr;
    };
    if (options.bufferCount < 2 || options.bufferCount > wire::kMaxBuffers)
        return fail("a wallpaper process takes 2 or 3 buffers");
    if (!validScreen(options.screen)) return fail("the screen is not a valid size");
    if (!(options.hangTimeout > 0) || options.memoryLimit < (uint64_t(64) << 20))
        return fail("the time-out must be above 0 and the memory limit at least 64 MiB");
    std::error_code ec;
    if (!fs::is_directory(options.bundlePath, ec))
        return fail("not a bundle directory: " + options.bundlePath);

    std::unique_ptr<WallpaperProcess> p(new WallpaperProcess());
    Impl& m = *p->_impl;
    m.o = options;
    char* real = realpath(options.bundlePath.c_str(), nullptr);
    m.bundleDir = real ? real : options.bundlePath;
    std::free(real);
    std::string exe = options.executable;
    if (exe.empty()) {
        char buf[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n <= 0) return fail("cannot find this program to start the wallpaper process");
        exe.assign(buf, size_t(n));
    }

    // Orphans of the wallpaper (whatever it forked) come to this process, which reaps them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    m.width = options.screen.pixelWidth();
    m.height = options.screen.pixelHeight();
    m.stride = size_t(m.width) * 4;
    std::string why;
    if (!m.makeBuffers(options.screen, options.bufferCount, &m.buffers, &why)) return fail(why);

    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string base = runtime && *runtime == '/' && fs::is_directory(runtime, ec)
                           ? runtime
                           : fs::temp_directory_path(ec).string();
    if (base.empty()) base = "/tmp";
    std::string templ = base + "/backdrop-wallpaper-XXXXXX";
    std::vector<char> tbuf(templ.begin(), templ.end());
    tbuf.push_back('\0');
    if (!mkdtemp(tbuf.data())) return fail("cannot make a scratch folder in " + base);
    m.scratch = tbuf.data();

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return fail(std::string("cannot make a socket pair: ") + std::strerror(errno));
    m.sock = pair[0];
    int logPipe[2] = {-1, -1};
    if (!options.discardOutput && pipe2(logPipe, O_CLOEXEC) != 0) {
        close(pair[1]);
        return fail(std::string("cannot make a pipe: ") + std::strerror(errno));
    }

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (logPipe[1] >= 0) {
        posix_spawn_file_actions_adddup2(&fa, logPipe[1], 1);
        posix_spawn_file_actions_adddup2(&fa, logPipe[1], 2);
    } else {
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
    }
    posix_spawn_file_actions_adddup2(&fa, pair[1], 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);  // a process group of its own, led by the child
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::string parent = std::to_string(getpid());
    std::vector<std::string> args = {exe, kWallpaperProcessCommand, parent};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = childEnvironment();
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, exe.c_str(), &fa, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    close(pair[1]);
    if (logPipe[1] >= 0) close(logPipe[1]);
    m.logFd = logPipe[0];
    if (rc != 0) return fail("cannot start " + exe + ": " + std::strerror(rc));
    m.pid = pid;
    m.spawned = m.lastHeard = m.lastMemoryWatch = m.wallpaperStart = Clock::now();
    m.mediaStart =
        options.clock == WallpaperOptions::Clock::Virtual ? options.virtualStart : monotonicNow();
    m.lastMediaTime = m.mediaStart;

    fcntl(m.sock, F_SETFL, fcntl(m.sock, F_GETFL) | O_NONBLOCK);
    if (m.logFd >= 0) fcntl(m.logFd, F_SETFL, fcntl(m.logFd, F_GETFL) | O_NONBLOCK);
    m.pidFd = int(syscall(SYS_pidfd_open, pid, 0));
    m.epollFd = epoll_create1(EPOLL_CLOEXEC);
    for (int fd : {m.sock, m.logFd, m.pidFd}) {
        if (fd < 0) continue;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(m.epollFd, EPOLL_CTL_ADD, fd, &ev);
    }

    wire::Writer setup(wire::Type::Setup, 0);
    setup.str(options.bundlePath)
        .f64(options.screen.width)
        .f64(options.screen.height)
        .f64(options.screen.scale)
        .u8(options.icons)
        .u8(options.clock == WallpaperOptions::Clock::Virtual)
        .f64(options.virtualStart)
        .u8(options.sandbox)
        .u64(options.memoryLimit)
        .u8(uint8_t(options.bufferCount))
        .u8(options.loadView)
        .str(m.scratch)
        .u32(m.generation);
    std::vector<int> fds;
    for (auto& b : m.buffers) fds.push_back(b.fd);
    if (!wire::send(m.sock, setup, fds)) {
        m.childGone();
        return fail(m.end.text);
    }

    // Until Started the child sets itself up; until Ready it loads the bundle, in the hang
    // time-out.
    auto after = [](double s) {
        return Clock::now() +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    auto until = after(kOwnStartLimit);
    bool started = false;
    m.pending.push_back({0, Impl::Expect::Internal, Clock::now(), false});
    for (;;) {
        if (m.ended) return fail(m.end.text);
        wire::Received got = wire::receive(m.sock, &m.message, nullptr);
        if (got == wire::Received::Message) {
            wire::Reader in(m.message.data(), m.message.size());
            wire::Header h;
            bool framed = in.header(&h);
            if (framed && h.type == wire::Type::Started && !started && in.finished()) {
                started = true;
                m.wallpaperStart = Clock::now();
                until = after(options.hangTimeout);
                continue;
            }
            if (framed && h.type == wire::Type::Ready) {
                bool ok = in.u8() != 0;
                std::string level = in.str(256), err = in.str();
                if (!in.finished()) {
                    m.broke("a malformed start-up message");
                    return fail(m.end.text);
                }
                m.pending.clear();
                m.lastHeard = Clock::now();
                m.sandboxLevel = Impl::clean(level);
                if (!ok) {
                    m.readLog();
                    m.finish(WallpaperEnd::Reason::Exited, Impl::clean(err));
                    return fail(Impl::clean(err));
                }
                break;
            }
            m.onMessage();  // a crash, a denial, or a protocol fault
            continue;
        }
        if (got == wire::Received::Closed) {
            m.readLog();
            m.childGone();
            continue;
        }
        if (got == wire::Received::Refused) {
            m.broke("a message too long or carrying descriptors");
            continue;
        }
        if (Clock::now() >= until) {
            char t[32];
            std::snprintf(t, sizeof t, "%g", options.hangTimeout);
            m.finish(WallpaperEnd::Reason::Hung,
                     std::string("the wallpaper stopped answering for ") + t +
                         " s while loading (killed)");
            continue;
        }
        m.readLog();
        m.watchResources();  // a wallpaper that eats memory while it loads
        pollfd pf{m.epollFd, POLLIN, 0};
        int ms = int(std::ceil(seconds(until - Clock::now()) * 1000));
        poll(&pf, 1, std::max(1, std::min(ms, int(kMemoryWatch * 1000))));
        if (m.pidFd >= 0) {
            pollfd pp{m.pidFd, POLLIN, 0};
            if (poll(&pp, 1, 0) > 0) {
                // Gone: a crash report may still be waiting on the socket.
                if (wire::receive(m.sock, &m.message, nullptr) == wire::Received::Message) {
                    wire::Reader in(m.message.data(), m.message.size());
                    wire::Header h;
                    if (in.header(&h) && h.type != wire::Type::Ready) m.onMessage();
                }
                m.readLog();
                m.childGone();
            }
        }
    }
    return p;
}

pid_t WallpaperProcess::pid() const {
    return _impl->pid;
}
pid_t WallpaperProcess::processGroup() const {
    return _impl->pid;  // the child leads its own group
}
bool WallpaperProcess::alive() const {
    return !_impl->ended;
}
const WallpaperEnd& WallpaperProcess::end() const {
    return _impl->end;
}
const WallpaperOptions& WallpaperProcess::options() const {
    return _impl->o;
}
const std::string& WallpaperProcess::sandboxLevel() const {
    return _impl->sandboxLevel;
}

WallpaperCounters WallpaperProcess::counters() const {
    Impl& m = *_impl;
    WallpaperCounters c;
    c.frames = m.frames;
    c.requests = m.requests;
    c.wallSeconds = seconds(Clock::now() - m.spawned);
    ProcStat s = m.ended ? m.last : readProc(m.pid);
    if (s.ok && !m.ended) m.last = s;
    c.cpuSeconds = s.cpu;
    c.rssBytes = m.ended ? 0 : s.rss;
    c.peakRssBytes = s.peak;
    return c;
}

void WallpaperProcess::kill(const std::string& why) {
    Impl& m = *_impl;
    if (m.ended) return;
    m.finish(WallpaperEnd::Reason::Killed,
             why.empty() ? "the wallpaper was stopped " + m.whereText() : why);
}

int WallpaperProcess::bufferCount() const {
    return int(_impl->buffers.size());
}
int WallpaperProcess::bufferFd(int k) const {
    return k >= 0 && k < bufferCount() ? _impl->buffers[size_t(k)].fd : -1;
}
const uint8_t* WallpaperProcess::bufferPixels(int k) const {
    return k >= 0 && k < bufferCount() ? _impl->buffers[size_t(k)].pixels : nullptr;
}
int WallpaperProcess::width() const {
    return _impl->width;
}
int WallpaperProcess::height() const {
    return _impl->height;
}
size_t WallpaperProcess::stride() const {
    return _impl->stride;
}
size_t WallpaperProcess::bufferSize() const {
    return _impl->stride * size_t(_impl->height);
}

int WallpaperProcess::fd() const {
    return _impl->epollFd;
}

int WallpaperProcess::timeoutMs() const {
    return _impl->timeout();
}

std::vector<WallpaperEvent> WallpaperProcess::handle() {
    Impl& m = *_impl;
    m.pump();
    std::vector<WallpaperEvent> out(std::make_move_iterator(m.queued.begin()),
                                    std::make_move_iterator(m.queued.end()));
    m.queued.clear();
    return out;
}

uint64_t WallpaperProcess::send(const WallpaperRequest& r) {
    Impl& m = *_impl;
    using Op = WallpaperRequest::Op;
    uint64_t seq = m.nextSeq++;
    wire::Writer w(wire::Type::Request, seq);
    w.u8(uint8_t(r.op))
        .f64(r.at)
        .f64(r.point.x)
        .f64(r.point.y)
        .f64(r.value)
        .i64(r.integer)
        .f64(r.rect.origin.x)
        .f64(r.rect.origin.y)
        .f64(r.rect.size.width)
        .f64(r.rect.size.height);
    if (!std::isnan(r.at)) m.lastMediaTime = std::max(m.lastMediaTime, r.at);
    bool quietAfter = r.op == Op::pauseAnimating || r.op == Op::stopAnimating;
    if (r.op == Op::startAnimating || r.op == Op::resumeAnimating) m.quiet = false;
    return m.sendMessage(w, seq, Impl::Expect::Reply, {}, quietAfter);
}

uint64_t WallpaperProcess::renderFrame(double at) {
    Impl& m = *_impl;
    uint64_t seq = m.nextSeq++;
    wire::Writer w(wire::Type::Render, seq);
    // The buffers released since the last frame go with it: the child needs to know only
    // when it draws, and is not woken for each release.
    w.f64(at).u32(m.generation).u8(uint8_t(m.released.size()));
    for (uint8_t k : m.released) w.u8(k);
    m.released.clear();
    if (!std::isnan(at) && m.o.clock == WallpaperOptions::Clock::Virtual)
        m.lastMediaTime = std::max(m.lastMediaTime, at);
    // Frames asked for are the parent's own doing, not the wallpaper's: the CPU watch waits.
    if (m.quiet) m.quietSince = Clock::now(), m.quietCpu = readProc(m.pid).cpu;
    return m.sendMessage(w, seq, Impl::Expect::Frame);
}

void WallpaperProcess::releaseBuffer(int k) {
    Impl& m = *_impl;
    if (k < 0 || k >= bufferCount() || !m.buffers[size_t(k)].parentOwns || m.ended) return;
    m.buffers[size_t(k)].parentOwns = false;
    m.released.push_back(uint8_t(k));  // told to the child with the next Render
}

bool WallpaperProcess::changeScreen(const ScreenSpec& screen, std::string* error) {
    Impl& m = *_impl;
    if (m.ended) {
        *error = m.end.text;
        return false;
    }
    if (!validScreen(screen)) {
        *error = "the screen is not a valid size";
        return false;
    }
    std::vector<Impl::Buffer> fresh;
    if (!m.makeBuffers(screen, int(m.buffers.size()), &fresh, error)) return false;
    m.freeBuffers();
    m.released.clear();
    m.buffers = std::move(fresh);
    m.o.screen = screen;
    m.width = screen.pixelWidth();
    m.height = screen.pixelHeight();
    m.stride = size_t(m.width) * 4;
    ++m.generation;
    uint64_t seq = m.nextSeq++;
    wire::Writer w(wire::Type::Screen, seq);
    w.f64(screen.width)
        .f64(screen.height)
        .f64(screen.scale)
        .u32(m.generation)
        .u8(uint8_t(m.buffers.size()));
    std::vector<int> fds;
    for (auto& b : m.buffers) fds.push_back(b.fd);
    m.sendMessage(w, seq, Impl::Expect::Internal, fds);
    return true;
}

bool WallpaperProcess::call(const WallpaperRequest& request, double timeoutSeconds,
                            WallpaperEvent* reply, std::string* error) {
    return _impl->await(send(request), timeoutSeconds, reply, error);
}

bool WallpaperProcess::renderSync(double at, double timeoutSeconds, WallpaperFrame* frame,
                                  std::string* error) {
    WallpaperEvent e;
    if (!_impl->await(renderFrame(at), timeoutSeconds, &e, error)) return false;
    if (e.kind != WallpaperEvent::Kind::FrameReady) {
        *error = e.text.empty() ? "no frame" : e.text;
        return false;
    }
    frame->buffer = e.buffer;
    frame->pixels = bufferPixels(e.buffer);
    frame->damage = std::move(e.damage);
    frame->mediaTime = e.mediaTime;
    frame->nextChange = e.nextChange;
    frame->renderMs = e.renderMs;
    return true;
}

bool WallpaperProcess::callSummary(double timeoutSeconds, std::string* summary,
                                   std::string* error) {
    Impl& m = *_impl;
    uint64_t seq = m.nextSeq++;
    WallpaperEvent e;
    if (!m.await(m.sendMessage(wire::Writer(wire::Type::Calls, seq), seq, Impl::Expect::Reply),
                 timeoutSeconds, &e, error))
        return false;
    *summary = e.text;
    return true;
}

bool WallpaperProcess::runStep(const std::string& step, double timeoutSeconds,
                               std::vector<std::string>* lines, std::string* error) {
    Impl& m = *_impl;
    uint64_t seq = m.nextSeq++;
    wire::Writer w(wire::Type::Step, seq);
    w.str(step);
    WallpaperEvent e;
    if (!m.await(m.sendMessage(w, seq, Impl::Expect::Reply), timeoutSeconds, &e, error))
        return false;
    if (!e.value) {
        *error = "the wallpaper process knows no step \"" + step + "\"";
        return false;
    }
    lines->clear();
    size_t at = 0;
    while (at <= e.text.size() && !e.text.empty()) {
        size_t nl = e.text.find('\n', at);
        lines->push_back(e.text.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        if (nl == std::string::npos) break;
        at = nl + 1;
    }
    return true;
}

}  // namespace host
