#pragma once
// The X11 backend (xcb). Root mode (the default) draws every monitor's frames into one
// root-sized pixmap through MIT-SHM straight from the wallpaper processes' shared buffers
// (only the damaged rectangles), sets it as the root window's background and publishes it in
// _XROOTPMAP_ID and ESETROOT_PMAP_ID. The pixmap is made on a short-lived second connection
// whose close-down mode is RetainPermanent, so the server keeps it — and the last frame on
// screen — after the daemon exits, crashes or is killed; the previous background pixmap is
// freed with KillClient as wallpaper setters do. Window mode puts one _NET_WM_WINDOW_TYPE_DESKTOP
// window on each monitor, below all others, sticky, off taskbars and pagers, with an empty
// input shape unless input is asked for.
//
// Outputs are RandR 1.5 monitors, followed through RandR events. Pause signals come from
// events only: the stacking list (_NET_CLIENT_LIST_STACKING), every client's _NET_WM_STATE, and
// the map and configure events of top-level windows. Idle time comes from MIT-SCREEN-SAVER and
// the monitor's power from DPMS; those two extensions send no events for what the daemon needs,
// so they are read when the idle time can next have been reached, and once a second while idle.

#include <xcb/xcb.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Backend.h"

namespace host::desktop {

struct X11Options {
    enum class Mode { Root, Window };
    Mode mode = Mode::Root;
    bool input = false;   // forward clicks on the desktop background
    bool force = false;   // window mode beside another desktop window
    std::string display;  // "" for $DISPLAY
};

class X11Backend : public Backend {
  public:
    // [main-thread] Connects and sets up root or window mode. Null with a one-line message
    // when there is no display, a needed extension is missing, or window mode finds another
    // desktop window without force.
    static std::unique_ptr<X11Backend> open(const X11Options& options, std::string* error);
    ~X11Backend() override;

    // Backend [main-thread]
    const char* kind() const override { return "x11"; }
    std::string displayName() const override { return _displayName; }
    std::vector<int> fds() const override;
    int timeoutMs() const override;
    std::vector<BackendEvent> dispatch() override;
    std::vector<OutputInfo> outputs() const override;
    OutputSignals signals(const std::string& output) const override;
    bool idle() const override { return _idle; }
    void setIdleAfter(double seconds) override;
    int addBuffer(int fd, const uint8_t* pixels, int width, int height, size_t stride,
                  std::string* error) override;
    void removeBuffer(int id) override;
    bool present(const std::string& output, int buffer, const Placement& placement,
                 const std::vector<PixelRect>& damage, std::string* error) override;

    // [main-thread] Lines worth telling the user (an input selection the server refused, a
    // missing extension), taken once.
    std::vector<std::string> takeWarnings();
    // [main-thread] The root background pixmap (root mode), for tests.
    xcb_pixmap_t rootPixmap() const { return _rootPixmap; }
    // [main-thread] The desktop window of an output (window mode), or 0.
    xcb_window_t window(const std::string& output) const;

  private:
    struct Buffer {
        uint32_t segment = 0;
        const uint8_t* pixels = nullptr;
        int width = 0, height = 0;
        size_t stride = 0;
    };
    struct Scratch;  // an output's own shared buffer for stretched frames
    struct Output {
        OutputInfo info;
        OutputSignals signals;
        xcb_window_t window = 0;  // window mode
        xcb_pixmap_t pixmap = 0;  // window mode: the window's background
        Placement placement;
        bool filled = false;  // the background colour has been drawn for this placement
        int pending = -1;     // the buffer of a present not yet completed
        uint32_t pendingSegment = 0;
        unsigned pendingSequence = 0;
        // Window mode: what the pending present changed in the window's background, repainted
        // when it completes.
        std::vector<xcb_rectangle_t> pendingClear;
        std::unique_ptr<Scratch> scratch;
        ~Output();
    };

    X11Backend() = default;
    bool setUp(const X11Options& options, std::string* error);
    bool setUpRootPixmap(int width, int height, std::string* error);
    void readMonitors(std::vector<OutputInfo>* out);
    bool updateOutputs();  // true when the outputs changed
    void makeWindow(Output& o);
    void dropWindow(Output& o);
    void recomputeSignals();
    void readIdle();
    bool otherDesktopWindow();
    void completed(Output& o, std::vector<BackendEvent>* events);
    xcb_drawable_t target(const Output& o, int* originX, int* originY) const;
    xcb_atom_t atom(const char* name);

    X11Options _options;
    xcb_connection_t* _c = nullptr;
    xcb_screen_t* _screen = nullptr;
    xcb_window_t _root = 0;
    std::string _displayName;
    std::string _displayArg;
    uint8_t _depth = 24;
    uint8_t _shmEvent = 0, _shmMajor = 0, _randrEvent = 0;
    bool _randr15 = false, _saver = false, _dpms = false, _xfixes = false;
    xcb_gcontext_t _gc = 0;
    xcb_pixmap_t _rootPixmap = 0;
    int _rootWidth = 0, _rootHeight = 0;
    std::map<std::string, xcb_atom_t> _atoms;
    std::map<std::string, Output> _outputs;
    std::map<int, Buffer> _buffers;
    int _nextBuffer = 1;
    std::set<xcb_window_t> _watched;  // clients whose properties we follow
    bool _signalsDirty = true;
    double _idleAfter = 300;
    bool _idle = false;
    double _idleSince = 0;  // when idle() last turned true
    bool _off = false;      // DPMS off or screen saver on
    double _nextIdleCheck = 0;
    std::vector<BackendEvent> _queued;  // events made outside dispatch (presents with nothing
                                        // to draw), handed out by the next dispatch
    std::vector<std::string> _warnings;
};

}  // namespace host::desktop
