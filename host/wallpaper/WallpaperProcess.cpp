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

#include "WallpaperProcessPrivate.h"

extern char** environ;

namespace host {

using namespace detail;

namespace {

namespace fs = std::filesystem;

double monotonicNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
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

}  // namespace

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
    argv.reserve(args.size() + 1);
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = childEnvironment();
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
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

bool WallpaperProcess::freeze() {
    Impl& m = *_impl;
    if (m.ended || !m.pending.empty()) return false;
    if (!m.frozen && ::kill(-m.pid, SIGSTOP) != 0) return false;
    m.frozen = true;
    return true;
}

bool WallpaperProcess::frozen() const {
    return _impl->frozen;
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
