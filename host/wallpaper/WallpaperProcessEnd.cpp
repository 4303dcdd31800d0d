// The parent's side of a wallpaper process: its frame buffers, and how it ends (found by the
// parent, gone by itself, or crashed), with the one line that says so.

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "WallpaperProcessPrivate.h"

namespace host {
namespace detail {

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

}  // namespace detail

using namespace detail;
namespace fs = std::filesystem;

bool WallpaperProcess::Impl::makeBuffers(const ScreenSpec& s, int count, std::vector<Buffer>* out,
                                         std::string* err) {
    int w = s.pixelWidth(), h = s.pixelHeight();
    size_t st = size_t(w) * 4, size = st * size_t(h);
    for (int k = 0; k < count; ++k) {
        Buffer b;
        b.fd = int(
            syscall(SYS_memfd_create, "backdrop-frame", unsigned(MFD_CLOEXEC | MFD_ALLOW_SEALING)));
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

void WallpaperProcess::Impl::freeBuffer(Buffer& b, size_t size) {
    if (b.pixels) munmap(b.pixels, size);
    if (b.fd >= 0) close(b.fd);
    b = Buffer{};
}

void WallpaperProcess::Impl::freeBuffers() {
    for (Buffer& b : buffers) freeBuffer(b, stride * size_t(height));
    buffers.clear();
}

void WallpaperProcess::Impl::cleanUp() {
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

void WallpaperProcess::Impl::removeScratch() {
    if (scratch.empty()) return;
    std::error_code ec;
    fs::remove_all(scratch, ec);  // links the wallpaper left are removed, not followed
    scratch.clear();
}

void WallpaperProcess::Impl::killGroup() {
    if (pid > 0 && !childReaped) ::kill(-pid, SIGKILL);
}

// Reaps the child (blocking when wait) and whatever of its group became ours; the child's
// status is kept in exitStatus.
bool WallpaperProcess::Impl::reap(bool wait) {
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

double WallpaperProcess::Impl::mediaSeconds() const {
    if (o.clock == WallpaperOptions::Clock::Virtual)
        return std::max(0.0, lastMediaTime - mediaStart);
    return seconds(Clock::now() - wallpaperStart);
}

std::string WallpaperProcess::Impl::whereText() const {
    return "at " + fixed2(mediaSeconds()) + " s, frame " + std::to_string(frames);
}

// Ends the child for a reason the parent found; the text is complete.
void WallpaperProcess::Impl::finish(WallpaperEnd::Reason reason, const std::string& text) {
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
void WallpaperProcess::Impl::childGone() {
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
void WallpaperProcess::Impl::crashed(int sig, const std::vector<uint64_t>& pcs) {
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

void WallpaperProcess::Impl::afterEnd() {
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

void WallpaperProcess::Impl::broke(const std::string& what) {
    finish(WallpaperEnd::Reason::BrokeProtocol,
           "the wallpaper broke the protocol (" + what + ") " + whereText() + " (killed)");
}

}  // namespace host
