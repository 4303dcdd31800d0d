// The wallpaper process itself: `backdrop --wallpaper-process PARENT` with the socket on
// descriptor 3. It reads its options, restricts itself, maps the buffers, loads the bundle on
// its main thread and then answers requests until the parent kills it or goes away.

#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Foundation/NSRunLoop.h"
#include "Protocol.h"
#include "QuartzCore/CABase.h"
#include "QuartzCore/CARenderer.h"
#include "Sandbox.h"
#include "UIKit/UIScreen.h"
#include "WallpaperProcess.h"
#include "host/check/steps/CheckSteps.h"
#include "host/scene/VirtualTime.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BD_SANITIZED 1
#else
#define BD_SANITIZED 0
#endif

namespace host {
namespace {

constexpr int kSocket = 3;

// ---------------------------------------------------------------------------------------------
// Fatal signals and failed allocations: reported to the parent from the handler itself.

size_t putHeader(uint8_t* out, wire::Type type) {
    uint32_t magic = wire::kMagic;
    uint16_t t = uint16_t(type), zero = 0;
    uint64_t seq = 0;
    std::memcpy(out, &magic, 4);
    std::memcpy(out + 4, &t, 2);
    std::memcpy(out + 6, &zero, 2);
    std::memcpy(out + 8, &seq, 8);
    return 16;
}

void onCrash(int sig, siginfo_t* info, void* context) {
    void* frames[wire::kMaxPcs + 8];
    int n = backtrace(frames, int(sizeof frames / sizeof frames[0]));
    uint64_t pc = 0;
    auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
    pc = uint64_t(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    pc = uint64_t(uc->uc_mcontext.pc);
#endif
    // The unwinder walks through this handler and the signal frame: start at the faulting
    // instruction when it finds it, else skip the handler's own frames.
    int start = -1;
    for (int i = 0; i < n; ++i)
        if (uint64_t(frames[i]) == pc) start = i;
    uint64_t pcs[wire::kMaxPcs];
    uint32_t count = 0;
    if (start < 0) {
        if (pc) pcs[count++] = pc;
        start = n > 2 ? 2 : n;
    }
    for (int i = start; i < n && count < wire::kMaxPcs; ++i) pcs[count++] = uint64_t(frames[i]);

    uint8_t msg[64 + 8 * wire::kMaxPcs];
    size_t at = putHeader(msg, wire::Type::Crash);
    uint32_t s = uint32_t(sig);
    int32_t code = info->si_code;
    uint64_t addr = uint64_t(info->si_addr);
    std::memcpy(msg + at, &s, 4), at += 4;
    std::memcpy(msg + at, &code, 4), at += 4;
    std::memcpy(msg + at, &addr, 8), at += 8;
    std::memcpy(msg + at, &count, 4), at += 4;
    std::memcpy(msg + at, pcs, size_t(8) * count), at += size_t(8) * count;
    wire::sendRaw(kSocket, msg, at);
    // The parent reads this process's memory map while it waits here, then kills it.
    timespec wait{2, 0};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(128 + sig);
}

void onAllocationFailure() {
    uint8_t msg[16];
    size_t at = putHeader(msg, wire::Type::OutOfMemory);
    wire::sendRaw(kSocket, msg, at);
    throw std::bad_alloc();
}

void installCrashHandlers() {
    // Load the unwinder now: the handler must not be the first to need it.
    void* warm[4];
    backtrace(warm, 4);
    static std::vector<uint8_t> altStack(size_t(64) * 1024);
    stack_t st{};
    st.ss_sp = altStack.data();
    st.ss_size = altStack.size();
    sigaltstack(&st, nullptr);
    struct sigaction sa {};
    sa.sa_sigaction = onCrash;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP})
        sigaction(sig, &sa, nullptr);
    std::set_new_handler(onAllocationFailure);
}

// ---------------------------------------------------------------------------------------------
// The main run loop waits on the socket and on wakes from other threads.

class SocketWaiter : public NSRunLoopWaiter {
  public:
    // [main-thread] After the inherited descriptors are closed.
    void open() { _event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }
    ~SocketWaiter() override {
        if (_event >= 0) close(_event);
    }
    void wait(double seconds) override {
        int ms = seconds > 3600 ? 3600 * 1000 : int(std::ceil(std::max(0.0, seconds) * 1000));
        pollfd p[2] = {{_event, POLLIN, 0}, {kSocket, POLLIN, 0}};
        // While a request is being answered, requests that arrive wait for it to end.
        int n = poll(p, _watchSocket ? 2 : 1, ms);
        if (n > 0 && (p[0].revents & POLLIN)) {
            uint64_t v;
            while (read(_event, &v, sizeof v) > 0) {
            }
        }
        if (n > 0 && _watchSocket && p[1].revents) _socketReady = true;
    }
    void wake() override {
        uint64_t one = 1;
        ssize_t rc = write(_event, &one, sizeof one);
        (void)rc;
    }
    int eventFd() const { return _event; }

    bool _watchSocket = true;
    bool _socketReady = false;

  private:
    int _event = -1;
};

// ---------------------------------------------------------------------------------------------

struct Buffer {
    uint8_t* pixels = nullptr;
    bool parentOwns = false;
    uint64_t frame = 0;  // the renderer's number of the frame it holds (0: none)
};

class Child {
  public:
    [[noreturn]] void run(pid_t parent);

  private:
    bool readSetup();
    bool mapBuffers(const std::vector<int>& fds, int count, std::string* error);
    void unmapBuffers();
    void loop();
    void handle(const std::vector<uint8_t>& message, std::vector<int>& fds);
    void reply(uint64_t seq, bool value, const std::vector<std::string>& lines = {});
    void perform(const WallpaperRequest& r, uint64_t seq);
    void render(uint64_t seq, double at);
    void screen(uint64_t seq, wire::Reader& in, std::vector<int>& fds);
    void moveClock(double at);
    bool changedSinceFrame();
    void sendChangedIfNeeded();

    WallpaperOptions _o;
    std::string _scratch;
    std::vector<Buffer> _buffers;
    int _width = 0, _height = 0;
    size_t _stride = 0;
    uint32_t _generation = 0;
    uint64_t _frames = 0;  // frames the renderer has drawn
    std::unique_ptr<VirtualTime> _time;
    std::unique_ptr<HostScene> _scene;
    std::unique_ptr<CARenderer> _renderer;
    SocketWaiter _waiter;
    bool _changedSent = false;
    std::vector<uint8_t> _message;
};

bool Child::readSetup() {
    pollfd p{kSocket, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) return false;
    std::vector<int> fds;
    if (wire::receive(kSocket, &_message, &fds) != wire::Received::Message) return false;
    wire::Reader in(_message.data(), _message.size());
    wire::Header h;
    if (!in.header(&h) || h.type != wire::Type::Setup) return false;
    _o.bundlePath = in.str();
    _o.screen.width = in.f64();
    _o.screen.height = in.f64();
    _o.screen.scale = in.f64();
    _o.icons = in.u8() != 0;
    _o.clock = in.u8() ? WallpaperOptions::Clock::Virtual : WallpaperOptions::Clock::Real;
    _o.virtualStart = in.f64();
    _o.sandbox = in.u8() != 0;
    _o.memoryLimit = in.u64();
    _o.bufferCount = in.u8();
    _o.loadView = in.u8() != 0;
    _scratch = in.str();
    _generation = in.u32();
    std::string error;
    if (!in.finished() || !mapBuffers(fds, _o.bufferCount, &error)) {
        for (int fd : fds) close(fd);
        return false;
    }
    return true;
}

bool Child::mapBuffers(const std::vector<int>& fds, int count, std::string* error) {
    ScreenSpec& s = _o.screen;
    if (count < 2 || count > wire::kMaxBuffers || int(fds.size()) != count) {
        *error = "bad buffers";
        return false;
    }
    int w = s.pixelWidth(), h = s.pixelHeight();
    size_t stride = size_t(w) * 4, size = stride * size_t(h);
    std::vector<Buffer> buffers;
    for (int fd : fds) {
        struct stat st;
        void* p = MAP_FAILED;
        if (fstat(fd, &st) == 0 && size_t(st.st_size) == size)
            p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (p == MAP_FAILED) {
            for (Buffer& b : buffers) munmap(b.pixels, size);
            *error = "a buffer would not map";
            return false;
        }
        buffers.push_back({static_cast<uint8_t*>(p), false});
    }
    unmapBuffers();
    _buffers = std::move(buffers);
    _width = w;
    _height = h;
    _stride = stride;
    return true;
}

void Child::unmapBuffers() {
    for (Buffer& b : _buffers) munmap(b.pixels, _stride * size_t(_height));
    _buffers.clear();
}

void Child::reply(uint64_t seq, bool value, const std::vector<std::string>& lines) {
    wire::Writer w(wire::Type::Reply, seq);
    w.u8(value ? 1 : 0);
    size_t n = std::min(lines.size(), wire::kMaxLines);
    w.u16(uint16_t(n));
    for (size_t i = 0; i < n; ++i) w.str(lines[i]);
    wire::send(kSocket, w);
}

void Child::moveClock(double at) {
    if (_time && !std::isnan(at)) _time->advanceTo(at);
}

void Child::perform(const WallpaperRequest& r, uint64_t seq) {
    using Op = WallpaperRequest::Op;
    if (!_scene) return reply(seq, false, {"no view"});
    moveClock(r.at);
    bool value = true;
    HostScene& s = *_scene;
    switch (r.op) {
        case Op::isAnimating:
            value = s.isAnimating();
            break;
        case Op::startAnimating:
            s.startAnimating();
            break;
        case Op::pauseAnimating:
            s.pauseAnimating();
            break;
        case Op::resumeAnimating:
            s.resumeAnimating();
            break;
        case Op::stopAnimating:
            s.stopAnimating();
            break;
        case Op::doAnimating:
            s.doAnimating();
            break;
        case Op::scrollingDidFinish:
            s.scrollingDidFinish(r.value);
            break;
        case Op::tapActionAtViewPoint:
            s.tap(r.point);
            break;
        case Op::gestureAction:
            s.gesture(int32_t(r.integer), r.point);
            break;
        case Op::openSettingMenu:
            s.openSettingMenu();
            break;
        case Op::setScale:
            s.setScale(r.value);
            break;
        case Op::setOffset:
            s.setOffset(r.value);
            break;
        case Op::setSpeedLevel:
            s.setSpeedLevel(r.integer);
            break;
        case Op::setTapClipRect:
            s.setTapClipRect(r.rect);
            break;
        case Op::touchBegan:
            value = s.touchBegan(r.point);
            break;
        case Op::touchMoved:
            s.touchMoved(r.point);
            break;
        case Op::touchEnded:
            s.touchEnded(r.point);
            break;
        case Op::touchCancelled:
            s.touchCancelled();
            break;
    }
    // On the virtual clock what the operation set going runs to its next sleep, as a
    // launcher's main thread would run it before the next frame.
    if (_time && !std::isnan(r.at)) _time->settle();
    bool touched = r.op == Op::touchBegan || r.op == Op::tapActionAtViewPoint;
    reply(seq, value,
          touched ? std::vector<std::string>{s.lastTouchedClass()} : std::vector<std::string>{});
}

void Child::render(uint64_t seq, double at) {
    if (!_scene) return reply(seq, false, {"no view"});
    moveClock(at);
    // Of the buffers the child owns, the one holding the newest frame: the least to repair.
    int k = -1;
    for (size_t i = 0; i < _buffers.size(); ++i)
        if (!_buffers[i].parentOwns && (k < 0 || _buffers[i].frame > _buffers[size_t(k)].frame))
            k = int(i);
    if (k < 0) return reply(seq, false, {"no free buffer"});
    Buffer& b = _buffers[size_t(k)];
    double t = _time ? _time->now() : std::isnan(at) ? CACurrentMediaTime() : at;
    auto t0 = std::chrono::steady_clock::now();
    // The buffer holds frame b.frame: the renderer repairs what changed since, and draws what
    // changes now; what differs from the frame before is the damage.
    CARenderTarget target;
    target.pixels = b.pixels;
    target.stride = _stride;
    target.age = b.frame ? int(std::min<uint64_t>(_frames + 1 - b.frame, 1 << 20)) : 0;
    CARenderFrame f = _renderer->renderFrame(_scene->window()->layer(), t, target);
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    _frames = f.number;
    b.frame = f.number;
    b.parentOwns = true;
    _changedSent = false;
    if (f.damage.size() > wire::kMaxRects) {
        // More pieces than a frame carries: their bounding box.
        bd::PixelRect box = f.damage[0];
        for (const bd::PixelRect& r : f.damage) {
            int x1 = std::max(box.x + box.width, r.x + r.width);
            int y1 = std::max(box.y + box.height, r.y + r.height);
            box.x = std::min(box.x, r.x);
            box.y = std::min(box.y, r.y);
            box.width = x1 - box.x;
            box.height = y1 - box.y;
        }
        f.damage = {box};
    }
    wire::Writer w(wire::Type::Frame, seq);
    w.u8(uint8_t(k)).u32(_generation).f64(t).f64(f.nextChangeTime).f64(ms);
    w.u16(uint16_t(f.damage.size()));
    for (const bd::PixelRect& r : f.damage) w.i32(r.x).i32(r.y).i32(r.width).i32(r.height);
    wire::send(kSocket, w);
}

void Child::screen(uint64_t seq, wire::Reader& in, std::vector<int>& fds) {
    ScreenSpec s;
    s.width = in.f64();
    s.height = in.f64();
    s.scale = in.f64();
    uint32_t generation = in.u32();
    int count = in.u8();
    ScreenSpec old = _o.screen;
    _o.screen = s;
    std::string error;
    if (!in.finished() || !mapBuffers(fds, count, &error)) {
        _o.screen = old;
        for (int fd : fds) close(fd);
        fds.clear();
        return reply(seq, false, {"the new buffers did not map"});
    }
    fds.clear();
    _generation = generation;
    _renderer = std::make_unique<CARenderer>(_width, _height, s.scale);
    _frames = 0;  // a new renderer counts anew; the new buffers hold nothing
    if (_scene)
        _scene->setScreen(s);
    else {
        UIScreen::mainScreen()->setBounds(CGRectMake(0, 0, s.width, s.height));
        UIScreen::mainScreen()->setScale(s.scale);
    }
    reply(seq, true);
}

void Child::handle(const std::vector<uint8_t>& message, std::vector<int>& fds) {
    wire::Reader in(message.data(), message.size());
    wire::Header h;
    if (!in.header(&h)) return;
    switch (h.type) {
        case wire::Type::Request: {
            WallpaperRequest r;
            r.op = WallpaperRequest::Op(in.u8());
            r.at = in.f64();
            r.point.x = in.f64();
            r.point.y = in.f64();
            r.value = in.f64();
            r.integer = in.i64();
            r.rect.origin.x = in.f64();
            r.rect.origin.y = in.f64();
            r.rect.size.width = in.f64();
            r.rect.size.height = in.f64();
            if (!in.finished() || uint8_t(r.op) > uint8_t(WallpaperRequest::Op::touchCancelled))
                return reply(h.seq, false, {"bad request"});
            return perform(r, h.seq);
        }
        case wire::Type::Render: {
            double at = in.f64();
            uint32_t generation = in.u32();
            uint8_t count = in.u8();
            for (uint8_t i = 0; i < count && i < wire::kMaxBuffers; ++i) {
                uint8_t k = in.u8();
                if (generation == _generation && k < _buffers.size())
                    _buffers[k].parentOwns = false;
            }
            return render(h.seq, at);
        }
        case wire::Type::Release: {
            uint8_t k = in.u8();
            uint32_t generation = in.u32();
            if (in.finished() && generation == _generation && k < _buffers.size())
                _buffers[k].parentOwns = false;
            return;
        }
        case wire::Type::Screen:
            return screen(h.seq, in, fds);
        case wire::Type::Step: {
            std::string name = in.str();
            std::vector<std::string> lines;
            check::StepContext context{_o.bundlePath, _o.screen, &_scene};
            bool known = check::runCheckStep(name, context, &lines);
            if (_scene && !_renderer)
                _renderer = std::make_unique<CARenderer>(_width, _height, _o.screen.scale);
            return reply(h.seq, known, lines);
        }
        case wire::Type::Ping:
            return reply(h.seq, true);
        case wire::Type::Calls:
            return reply(h.seq, true, {_scene ? _scene->callSummary() : "none"});
        default:
            return;
    }
}

// Whether the scene would draw differently now: told once until the next frame.
bool Child::changedSinceFrame() {
    if (!_scene || _changedSent) return false;
    double now = _time ? _time->now() : CACurrentMediaTime();
    return _renderer->needsFrame(_scene->window()->layer(), now);
}

void Child::sendChangedIfNeeded() {
    if (!changedSinceFrame()) return;
    _changedSent = true;
    wire::send(kSocket, wire::Writer(wire::Type::Changed, 0));
}

void Child::loop() {
    NSRunLoop* loop = NSRunLoop::mainRunLoop();
    loop->setWaiter(&_waiter);
    for (;;) {
        // Requests, in order; while one is answered the socket is not watched.
        for (;;) {
            std::vector<int> fds;
            wire::Received got = wire::receive(kSocket, &_message, &fds);
            if (got == wire::Received::Nothing) break;
            if (got != wire::Received::Message) _exit(0);  // the parent is gone
            _waiter._watchSocket = false;
            {
                // What answering autoreleases goes when the answer is sent.
                NSAutoreleasePool pool;
                handle(_message, fds);
            }
            for (int fd : fds) close(fd);
            _waiter._watchSocket = true;
        }
        _waiter._socketReady = false;
        // Work from other threads and timers, until a request comes. The virtual clock moves
        // only in requests, so there nothing is due but posted work.
        if (_time) {
            _waiter.wait(3600);
            loop->runPending();
        } else {
            loop->runUntil([&] { return _waiter._socketReady || changedSinceFrame(); }, 3600);
        }
        sendChangedIfNeeded();
    }
}

void Child::run(pid_t parent) {
    // Die with the parent; if it is gone already, go now.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(70);
        // Nothing the parent had open comes along but the socket and the standard streams.
#ifdef SYS_close_range
    if (syscall(SYS_close_range, kSocket + 1, ~0U, 0) != 0)
#endif
        for (int fd = kSocket + 1; fd < 1024; ++fd) close(fd);
    _waiter.open();
    if (!readSetup()) _exit(71);
    installCrashHandlers();

    NSAutoreleasePool pool;
    // Resource limits. Builds with a sanitizer reserve terabytes of address space; they rely
    // on the parent's watch of resident memory.
    uint64_t bufferBytes = uint64_t(_stride) * uint64_t(_height) * uint64_t(_buffers.size());
    uint64_t addressSpace = BD_SANITIZED ? 0 : _o.memoryLimit + bufferBytes + (uint64_t(1) << 30);
    sandbox::applyLimits(addressSpace);
    if (!_scratch.empty()) setenv("TMPDIR", _scratch.c_str(), 1);
    // Sounds play through SDL's dummy driver in the sandbox: the sound server's socket and the
    // sound card's files lie outside it, and probing them would only count as refused attempts.
    if (_o.sandbox) setenv("SDL_AUDIODRIVER", "dummy", 0);
    // No bus is reachable from the sandbox (it opens no socket); saying so keeps SDL's D-Bus
    // start from probing for one (it reads the machine's ID on the way, a refused attempt).
    if (_o.sandbox) setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);

    std::string level = "off (--no-sandbox)", error;
    bool ok = true;
    if (_o.sandbox) {
        ok = sandbox::apply(sandbox::planFor(_o.bundlePath, _scratch), &level, &error);
        if (ok)
            sandbox::activate(kSocket);
        else
            error = "the sandbox could not be set up (" + error + "); --no-sandbox runs without";
    }

    // The time from here to Ready is the wallpaper's to account for.
    if (ok) wire::send(kSocket, wire::Writer(wire::Type::Started, 0));
    if (ok) {
        // What the wallpaper asks for and does not get, for `check` (the step "asked").
        check::recordResourceNotes(_o.bundlePath);
        UIScreen* main = UIScreen::mainScreen();
        main->setBounds(CGRectMake(0, 0, _o.screen.width, _o.screen.height));
        main->setScale(_o.screen.scale);
        if (_o.clock == WallpaperOptions::Clock::Virtual)
            _time = std::make_unique<VirtualTime>(_o.virtualStart);
        if (_o.loadView) {
            NSAutoreleasePool loading;
            _scene = HostScene::load(_o.bundlePath, _o.screen, _o.icons, &error);
            ok = _scene != nullptr;
            if (_time) _time->settle();
        }
        _renderer = std::make_unique<CARenderer>(_width, _height, _o.screen.scale);
    }
    wire::Writer ready(wire::Type::Ready, 0);
    ready.u8(ok ? 1 : 0).str(level).str(error);
    wire::send(kSocket, ready);
    if (!ok) _exit(0);
    loop();
    _exit(0);
}

}  // namespace

void wallpaperProcessMain(int argc, char** argv) {
    char* end = nullptr;
    long parent = argc >= 3 ? std::strtol(argv[2], &end, 10) : 0;
    if (parent <= 0 || !end || *end != '\0') _exit(64);
    // Never destroyed: a wallpaper that calls exit() runs the static destructors while its
    // threads may still wake the run loop's waiter, which must outlive them.
    Child* child = new Child();
    child->run(pid_t(parent));
}

}  // namespace host
