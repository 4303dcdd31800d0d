#pragma once
// WallpaperProcess: one wallpaper bundle running in a process of its own.
//
// The host never maps a wallpaper's library into its own process. spawn() starts a child (the
// `backdrop` tool re-executed with a private sub-command) that restricts itself (resource
// limits, and where the kernel allows a Landlock and seccomp sandbox), loads the bundle on its
// main thread, sets up the main screen, builds the host scene (the wallpaper view in a window
// of the screen's size, with the launcher's icon grid above it when asked) and renders into
// shared-memory buffers that this side maps. A small binary protocol over a socketpair carries
// requests one way and replies and events the other; everything the child sends is checked as
// hostile input, and a message that breaks the protocol ends the child.
//
// Buffers. bufferCount() buffers (2 or 3) of the screen's pixel size, premultiplied
// native-endian ARGB32 rows of stride() bytes, each a sealed memfd (its size cannot change)
// that an X11 backend can hand to xcb_shm_attach_fd and a Wayland backend to wl_shm without a
// copy. The child renders only into buffers it owns. After a FrameReady event naming buffer k
// the parent owns k — it may read its pixels and hand it to a display server — until it calls
// releaseBuffer(k). The child keeps track of what each buffer shows and repairs a buffer that
// is older than the last frame, so a FrameReady's damage is what differs from the previous
// frame the parent was given, whichever buffer that was in.
//
// Events. fd() is one descriptor to poll for POLLIN (the socket and the child's output); when
// it is readable, or when timeoutMs() has passed, call handle(): it reads what arrived without
// blocking and returns the events. A wallpaper that changes on its own (its frame loop, a
// timer, a thread that posted work) sends Changed, so the parent renders when told to and
// never polls the child. Every request counts towards hang detection: one left unanswered for
// hangTimeout seconds kills the child ("the wallpaper stopped answering for 5 s at ...
// (killed)"); while no request is outstanding the child is pinged as often.
//
// Process. The child leads a process group of its own and is killed (SIGKILL) if the thread
// that spawned it ends, so spawn from a thread that lives as long as the host. Destruction,
// kill() and any end the parent detects kill the whole group and reap the child. spawn()
// makes the host a child subreaper (PR_SET_CHILD_SUBREAPER), so processes a wallpaper started
// (without the sandbox) come to the host when their parent dies, and are reaped with the
// group. Several processes may run at once in one parent (one per monitor); each object is
// independent.
//
// Threads: a WallpaperProcess touches no state of the platform (no run loop, no screen), so it
// may be used on any thread, one thread at a time per object.

#include <sys/types.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CoreGraphics/CGGeometry.h"
#include "host/scene/HostScene.h"

namespace host {

// Use in a request's time to mean "the media clock's present time" (see WallpaperRequest::at).
inline constexpr double kWallpaperNow = __builtin_nan("");

struct WallpaperOptions {
    std::string bundlePath;  // the bundle directory
    ScreenSpec screen;       // the main screen in points and its scale; buffers are its pixels
    bool icons = false;      // the launcher's icon grid over the wallpaper (render/run previews)
    enum class Clock {
        Real,     // the monotonic clock; media times are CLOCK_MONOTONIC seconds in both processes
        Virtual,  // deterministic: the child's media clock moves only when a request's time
                  // moves it, stopping at every sleeper's wake-up (the same bundle, screen and
                  // requests give byte-identical frames)
    };
    Clock clock = Clock::Real;
    double virtualStart = 1000.0;              // where the virtual clock starts
    bool sandbox = true;                       // Landlock and seccomp where the kernel has them
    uint64_t memoryLimit = uint64_t(2) << 30;  // bytes; above it the child is stopped
    int bufferCount = 2;                       // 2 or 3
    double hangTimeout = 5.0;                  // seconds a request may wait for its answer
    bool loadView = true;    // false: load nothing yet; `check` runs its steps (runStep) instead
    std::string executable;  // the `backdrop` tool to re-execute; empty: this program
    bool discardOutput = false;  // the wallpaper's stdout/stderr go nowhere (no Log events)
};

// A rectangle of buffer pixels.
struct WallpaperRect {
    int x = 0, y = 0, width = 0, height = 0;
};

// How a wallpaper process ended.
struct WallpaperEnd {
    enum class Reason {
        None,           // still running
        Exited,         // it exited by itself (status)
        Crashed,        // a fatal signal (signal, function)
        Hung,           // a request went unanswered for hangTimeout (killed)
        OutOfMemory,    // it went over the memory limit (killed, or its allocation failed)
        BrokeProtocol,  // it sent what the protocol does not allow, or closed its socket
        Killed,         // the parent asked (kill()) or a check's time limit ran out
        SpawnFailed,    // it never started
    };
    Reason reason = Reason::None;
    int status = 0;        // Exited: the exit status
    int signal = 0;        // Crashed: the signal number
    double atSeconds = 0;  // media seconds since the wallpaper started
    uint64_t frame = 0;    // frames made before the end
    std::string function;  // Crashed: the faulting function from the child's backtrace, or ""
    // One line: "the wallpaper crashed (SIGSEGV) at 2.35 s, frame 47, in X::doAnimating()",
    // "the wallpaper exited (status 0) at 0.40 s, frame 3", "the wallpaper stopped answering
    // for 5 s at 1.00 s, frame 20 (killed)".
    std::string text;
};

struct WallpaperEvent {
    enum class Kind {
        FrameReady,  // a frame is in `buffer`; the parent owns that buffer until it releases it
        Changed,     // the scene changed outside a request: ask for a frame (not sent while a
                     // frame asked for is on its way: that frame shows the change)
        Reply,       // the answer to request `request` (value, text)
        Log,         // one line the wallpaper wrote (text), at most 1 KiB, control bytes dropped
        Denied,      // the sandbox refused an attempt (text: "open /etc/shadow for reading")
        Busy,        // the wallpaper uses a core while it is paused or stopped (text)
        Ended,       // the process is gone (end() says how; text is end().text)
    };
    Kind kind = Kind::Log;
    uint64_t request = 0;  // FrameReady, Reply: the request answered
    // FrameReady:
    int buffer = -1;
    std::vector<WallpaperRect> damage;  // what differs from the previous frame, in pixels
    double mediaTime = 0;               // the media time the frame shows
    double nextChange = INFINITY;       // when the scene changes next by itself (infinity: not
                                        // until a request or a Changed event)
    double renderMs = 0;                // the child's time to draw it
    // Reply:
    bool value = false;  // isAnimating's and touchBegan's answer; for other operations true
    // Log, Denied, Busy, Ended; Reply: the lines of a step, or for touchBegan and
    // tapActionAtViewPoint the class of the view the touch landed on ("" when none).
    std::string text;
};

// What the parent measures of the child itself (never what the child says about itself).
struct WallpaperCounters {
    uint64_t frames = 0;    // FrameReady events received
    uint64_t requests = 0;  // requests sent
    double cpuSeconds = 0;  // user + system time of the child, all its threads
    uint64_t rssBytes = 0;  // resident memory now
    uint64_t peakRssBytes = 0;
    double wallSeconds = 0;  // since spawn
};

// One request of the host's side of the contract.
struct WallpaperRequest {
    enum class Op : uint8_t {
        // The ten operations of the protocol, in its order (isAnimating answers in a Reply).
        isAnimating,
        startAnimating,
        pauseAnimating,
        resumeAnimating,
        stopAnimating,
        doAnimating,
        scrollingDidFinish,    // value: the offset
        tapActionAtViewPoint,  // point (screen points): a touch that begins and ends there, then
                               // tapActionAtViewPoint: in view coordinates inside the tap area
        gestureAction,         // type, point (screen points)
        openSettingMenu,
        // The view's properties.
        setScale,        // value
        setOffset,       // value
        setSpeedLevel,   // integer
        setTapClipRect,  // rect (view points)
        // Touches of the screen, hit-tested in the window (points in screen points).
        touchBegan,
        touchMoved,
        touchEnded,
        touchCancelled,
    };
    Op op = Op::isAnimating;
    CGPoint point = {};
    double value = 0;
    int64_t integer = 0;  // setSpeedLevel; gestureAction's type
    CGRect rect = {};
    // On the virtual clock the child first moves its clock to `at` (never back); on the real
    // clock `at` is ignored. kWallpaperNow: as the clock stands.
    double at = kWallpaperNow;
};

// A finished frame, for the blocking calls.
struct WallpaperFrame {
    int buffer = -1;
    const uint8_t* pixels = nullptr;  // the buffer's pixels; owned by the parent until released
    std::vector<WallpaperRect> damage;
    double mediaTime = 0;
    double nextChange = INFINITY;
    double renderMs = 0;
};

class WallpaperProcess {
  public:
    // [any-thread] Starts the child and waits (at most hangTimeout) until it has set up its
    // sandbox and, with loadView, loaded the bundle and placed the view. Null with a one-line
    // message when it could not start, or when the wallpaper gave no view, crashed, exited or
    // hung while loading (the message is then the end's text).
    static std::unique_ptr<WallpaperProcess> spawn(const WallpaperOptions& options,
                                                   std::string* error);
    // [any-thread] Kills the process group and reaps the child; unmaps and closes the buffers.
    ~WallpaperProcess();
    WallpaperProcess(const WallpaperProcess&) = delete;
    WallpaperProcess& operator=(const WallpaperProcess&) = delete;

    // Process [any-thread].
    pid_t pid() const;
    pid_t processGroup() const;
    bool alive() const;
    const WallpaperEnd& end() const;  // reason None while alive
    const WallpaperOptions& options() const;
    // The sandbox in force, as the child set it up: "landlock v7 + seccomp", "seccomp only
    // (this kernel has no Landlock)", "off (--no-sandbox)".
    const std::string& sandboxLevel() const;
    WallpaperCounters counters() const;
    // Kills the process group now and reaps the child; the next handle() returns Ended with
    // reason Killed and `why` in its text when not empty.
    void kill(const std::string& why = "");
    // A wallpaper that keeps a core busy while it is paused (a Busy event) may be stopped
    // outright: freeze() stops its process group (SIGSTOP), and the next request continues it
    // (SIGCONT) before it is sent, so nothing asked of it waits. False when it cannot be frozen
    // now: it ended, or an answer is awaited.
    bool freeze();
    bool frozen() const;

    // Buffers [any-thread]. Valid from spawn until the next changeScreen.
    int bufferCount() const;
    int bufferFd(int k) const;  // the memfd of buffer k (still owned by this object)
    const uint8_t* bufferPixels(int k) const;
    int width() const;  // pixels
    int height() const;
    size_t stride() const;      // bytes per row
    size_t bufferSize() const;  // stride() * height()

    // Events [any-thread].
    int fd() const;  // poll for POLLIN
    // The longest wait before handle() must be called again (hang detection, the memory and
    // CPU watch); -1 when nothing needs it.
    int timeoutMs() const;
    // Reads everything that has arrived without blocking and returns it in order. After the
    // Ended event, returns nothing more.
    std::vector<WallpaperEvent> handle();

    // Requests [any-thread]: each returns its request number (0 when the child is gone); the
    // answer comes as a FrameReady or Reply event with that number. Requests are answered in
    // the order sent.
    uint64_t send(const WallpaperRequest& request);
    // Draws a frame at media time `at` (see WallpaperRequest::at; on the real clock a time
    // given is the time the frame shows) into a buffer the child owns. With no free buffer the
    // reply is a Reply with value false and the text "no free buffer".
    uint64_t renderFrame(double at = kWallpaperNow);
    // The parent no longer reads buffer k (an index it got in FrameReady).
    void releaseBuffer(int k);
    // A monitor's mode changed: new screen size and scale, new buffers (every buffer the
    // parent held is released, the old ones are unmapped, and frames of the old size still on
    // their way are dropped). The main screen and the window follow; the view is told nothing
    // else, as a launcher would do. False with a message when the screen is not valid.
    bool changeScreen(const ScreenSpec& screen, std::string* error);

    // Blocking conveniences [any-thread]: send, then handle events until the answer arrives or
    // timeoutSeconds pass (then the child is killed as hung). Events that arrive meanwhile are
    // kept for the next handle(). False with the one-line reason when there was no answer.
    bool call(const WallpaperRequest& request, double timeoutSeconds, WallpaperEvent* reply,
              std::string* error);
    bool renderSync(double at, double timeoutSeconds, WallpaperFrame* frame, std::string* error);
    // The protocol calls the child made on the view so far: "startAnimating 1,
    // tapActionAtViewPoint 2" in the order first made, "none" when there were none.
    bool callSummary(double timeoutSeconds, std::string* summary, std::string* error);
    // A named step of `backdrop check` that the child runs on request, answered with
    // "key=value" lines (at most 64 of 4 KiB each). Steps: "open", "exports", "instance",
    // "load", "release", "nodelete", "resources".
    bool runStep(const std::string& step, double timeoutSeconds, std::vector<std::string>* lines,
                 std::string* error);

  private:
    WallpaperProcess();
    struct Impl;
    std::unique_ptr<Impl> _impl;
};

// The child's side: `backdrop` runs this when re-executed as a wallpaper process; it never
// returns. [main-thread]
[[noreturn]] void wallpaperProcessMain(int argc, char** argv);
// The private sub-command that makes `backdrop` a wallpaper process.
inline constexpr const char* kWallpaperProcessCommand = "--wallpaper-process";

}  // namespace host
