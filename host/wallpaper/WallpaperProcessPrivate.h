#pragma once
// What the parent's side of a wallpaper process shares between its sources (not installed):
// the process's state (WallpaperProcess::Impl) and the limits and /proc readers its watches use.
// WallpaperProcess.cpp starts the child and answers the public calls, WallpaperProcessEnd.cpp
// owns the buffers and ends the child, WallpaperProcessEvents.cpp reads its messages and log
// and watches it.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "Protocol.h"
#include "Symbolizer.h"
#include "WallpaperProcess.h"

namespace host::detail {

using Clock = std::chrono::steady_clock;
constexpr size_t kMaxLogLine = 1024;
constexpr size_t kMaxLogEventsPerPass = 512;
constexpr size_t kMaxMessagesPerPass = 1024;
constexpr size_t kLogBytesPerPass = size_t(256) * 1024;
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

// [any-thread]
inline double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// [any-thread]
std::string fixed2(double v);
// [any-thread]
std::string gib(uint64_t bytes);
// [any-thread]
std::string signalName(int sig);

// What /proc says of a process.
struct ProcStat {
    double cpu = 0;
    uint64_t rss = 0, peak = 0;
    bool ok = false;
};

// [any-thread] Resident bytes alone, cheaply (one short read): 0 when unreadable.
uint64_t residentBytes(pid_t pid);
// [any-thread] /proc/PID/stat and status: processor seconds, resident and peak bytes.
ProcStat readProc(pid_t pid);

}  // namespace host::detail

namespace host {

// The state of one wallpaper process, seen from the parent. Its members run on whatever thread
// calls the WallpaperProcess, one thread at a time per object, as the public calls do.
struct WallpaperProcess::Impl {
    using Clock = detail::Clock;
    using ProcStat = detail::ProcStat;
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
    bool frozen = false;  // stopped by freeze() until the next request
    Clock::time_point quietSince;
    double quietCpu = 0;
    size_t denied = 0;
    std::string logPartial;
    bool logOverflow = false;
    std::vector<uint8_t> message;

    ~Impl() { cleanUp(); }

    // Buffers and clean-up [any-thread].
    bool makeBuffers(const ScreenSpec& s, int count, std::vector<Buffer>* out, std::string* err);
    static void freeBuffer(Buffer& b, size_t size);
    void freeBuffers();
    void cleanUp();
    void removeScratch();

    // The end [any-thread].
    void killGroup();
    // Reaps the child (blocking when wait) and whatever of its group became ours; the child's
    // status is kept in exitStatus.
    bool reap(bool wait);
    double mediaSeconds() const;
    std::string whereText() const;
    // Ends the child for a reason the parent found; the text is complete.
    void finish(WallpaperEnd::Reason reason, const std::string& text);
    // The child is gone by itself (its socket closed or its process ended).
    void childGone();
    // A Crash message: read the memory map while the child waits in its handler, then end it.
    void crashed(int sig, const std::vector<uint64_t>& pcs);
    void afterEnd();
    void broke(const std::string& what);

    // Requests [any-thread].
    uint64_t sendMessage(const wire::Writer& w, uint64_t seq, Expect expect,
                         const std::vector<int>& fds = {}, bool quietAfter = false);

    // Events and watches [any-thread].
    void readMessages();
    void onMessage();
    void onFrame(const wire::Header& h, wire::Reader& in);
    void onReply(const wire::Header& h, wire::Reader& in);
    static std::string clean(const std::string& s);
    void readLog();
    void startQuiet();
    // Continues a frozen child (SIGCONT); its silence while stopped counts for nothing.
    void thaw();
    void watch();
    // The child's resident memory against its limit, and its processor time while paused; at
    // most every kMemoryWatch seconds.
    void watchResources();
    void pump();
    // The longest wait before the watches need a pass; with events queued, none (handle() has
    // something to return), unless only the watches count.
    int timeout(bool watchesOnly = false) const;
    // Waits for events up to `until` (polling the descriptors), handling them as they come.
    void waitSome(Clock::time_point until);
    // Takes the event answering seq out of the queue.
    bool takeAnswer(uint64_t seq, WallpaperEvent* out);
    bool await(uint64_t seq, double timeoutSeconds, WallpaperEvent* out, std::string* error);
};

}  // namespace host
