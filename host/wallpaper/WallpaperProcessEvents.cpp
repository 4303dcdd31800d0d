// The parent's side of a wallpaper process: its messages (each checked as hostile input), its
// log, the watches on its answers, memory and processor time, and waiting for an answer.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "WallpaperProcessPrivate.h"

namespace host {
namespace detail {

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

}  // namespace detail

using namespace detail;

uint64_t WallpaperProcess::Impl::sendMessage(const wire::Writer& w, uint64_t seq, Expect expect,
                                             const std::vector<int>& fds, bool quietAfter) {
    if (ended) return 0;
    if (frozen) thaw();
    if (!wire::send(sock, w, fds)) {
        childGone();
        return 0;
    }
    if (expect != Expect::Internal) ++requests;
    pending.push_back({seq, expect, Clock::now(), quietAfter});
    return seq;
}

void WallpaperProcess::Impl::readMessages() {
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

void WallpaperProcess::Impl::onMessage() {
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
            if (!in.finished() || sig <= 0 || sig >= 65) return broke("a malformed crash report");
            crashSignal = sig;
            crashSeen = true;
            return crashed(sig, pcs);
        }
        default:
            return broke("a message of an unknown kind");
    }
}

void WallpaperProcess::Impl::onFrame(const wire::Header& h, wire::Reader& in) {
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
    if (pending.empty() || pending.front().seq != h.seq || pending.front().expect != Expect::Frame)
        return broke("a frame nobody asked for");
    if (gen > generation) return broke("a frame of a screen it was never given");
    pending.pop_front();
    if (gen < generation) return;  // drawn for the screen before the last change: dropped
    if (k >= buffers.size() || buffers[k].parentOwns)
        return broke("a frame in a buffer it does not own");
    if (!std::isfinite(t) || std::isnan(next) || next == -INFINITY || !std::isfinite(ms) || ms < 0)
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
        return finish(WallpaperEnd::Reason::OutOfMemory, "the wallpaper used more than " +
                                                             gib(o.memoryLimit) + " of memory " +
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

void WallpaperProcess::Impl::onReply(const wire::Header& h, wire::Reader& in) {
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

std::string WallpaperProcess::Impl::clean(const std::string& s) {
    std::string out;
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') out += c;
    return out;
}

void WallpaperProcess::Impl::readLog() {
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

void WallpaperProcess::Impl::startQuiet() {
    quiet = true;
    busyReported = false;
    quietSince = Clock::now();
    quietCpu = readProc(pid).cpu;
}

void WallpaperProcess::Impl::thaw() {
    ::kill(-pid, SIGCONT);
    frozen = false;
    auto now = Clock::now();
    lastHeard = now;
    if (quiet) {
        // Still paused: the CPU watch starts again, and may report (and freeze) it again.
        busyReported = false;
        quietSince = now;
        quietCpu = readProc(pid).cpu;
    }
}

void WallpaperProcess::Impl::watch() {
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
    if (!frozen && pending.empty() && seconds(now - lastHeard) >= o.hangTimeout / 2) {
        lastHeard = now;
        uint64_t seq = nextSeq++;
        sendMessage(wire::Writer(wire::Type::Ping, seq), seq, Expect::Internal);
    }
    watchResources();
}

// The child's resident memory against its limit, and its processor time while paused; at
// most every kMemoryWatch seconds.
void WallpaperProcess::Impl::watchResources() {
    auto now = Clock::now();
    if (ended || seconds(now - lastMemoryWatch) < kMemoryWatch) return;
    lastMemoryWatch = now;
    ProcStat s = readProc(pid);
    if (s.ok) last = s;
    if (s.ok && s.rss > o.memoryLimit)
        return finish(WallpaperEnd::Reason::OutOfMemory, "the wallpaper used more than " +
                                                             gib(o.memoryLimit) + " of memory " +
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

void WallpaperProcess::Impl::pump() {
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
int WallpaperProcess::Impl::timeout(bool watchesOnly) const {
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
void WallpaperProcess::Impl::waitSome(Clock::time_point until) {
    int ms = int(std::ceil(std::max(0.0, seconds(until - Clock::now())) * 1000));
    int t = timeout(true);
    if (t >= 0) ms = std::min(ms, t);
    pollfd p{epollFd, POLLIN, 0};
    if (ms > 0) poll(&p, 1, ms);
    pump();
}

// Takes the event answering seq out of the queue.
bool WallpaperProcess::Impl::takeAnswer(uint64_t seq, WallpaperEvent* out) {
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

bool WallpaperProcess::Impl::await(uint64_t seq, double timeoutSeconds, WallpaperEvent* out,
                                   std::string* error) {
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
            finish(WallpaperEnd::Reason::Hung, std::string("the wallpaper stopped answering for ") +
                                                   t + " s " + whereText() + " (killed)");
            *error = end.text;
            return false;
        }
        waitSome(until);
    }
}

}  // namespace host
