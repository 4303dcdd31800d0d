#pragma once
// The Wayland backend (libwayland-client). Every output gets a surface on the compositor's
// background layer (zwlr_layer_shell_v1): anchored to all four edges at the compositor's size,
// exclusive zone -1, never the keyboard's, an empty input region unless input is asked for, and
// opaque. Frames are the wallpaper processes' own shared memory: each buffer (a memfd) becomes a
// wl_shm pool and one wl_buffer, so no pixel is copied; a present attaches it, damages only the
// changed rectangles (damage_buffer) and asks for a frame callback, and the next present waits
// for that callback. wp_viewporter places the buffer on the output: it crops what a placement
// cuts off and scales what it stretches; a placement that leaves bands shows the frames in a
// subsurface over a one-pixel buffer of the background colour.
//
// Outputs follow the registry (hot-plug), wl_output (v4 name, mode, scale), xdg-output (name
// and logical position where wl_output has no name) and wp_fractional_scale_v1 where offered;
// an output's pixels are its layer surface's size times its scale.
//
// Pause signals: an output whose frame callback has not come 0.5 s after a present is not
// being drawn (covered, switched off, on a hidden workspace): `covered` until the callback
// comes. A fullscreen toplevel on an output (zwlr_foreign_toplevel_manager_v1) sets
// `fullscreen` at once. Idle time comes from ext_idle_notifier_v1 where the compositor offers
// it; elsewhere idle() stays false and idleAvailable() says so.
//
// Without layer-shell (GNOME's compositor, weston) the backend still lists the outputs (their
// current mode) for the still-picture fallback, and present() refuses.

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Backend.h"

struct wl_display;
struct wl_registry;
struct wl_compositor;
struct wl_subcompositor;
struct wl_shm;
struct wl_seat;
struct wl_pointer;
struct wl_surface;
struct zxdg_output_manager_v1;
struct wp_viewporter;
struct zwlr_layer_shell_v1;
struct zwlr_foreign_toplevel_manager_v1;
struct wp_fractional_scale_manager_v1;
struct ext_idle_notifier_v1;
struct ext_idle_notification_v1;

namespace host::desktop {

struct WaylandOptions {
    std::string display;       // "" for $WAYLAND_DISPLAY: a socket name or an absolute path
    bool input = false;        // take clicks on the background (else an empty input region)
    bool bottomLayer = false;  // the BOTTOM layer, for compositors that draw on BACKGROUND
};

class WaylandBackend : public Backend {
  public:
    // [main-thread] Connects and reads the globals and outputs (waiting at most a few seconds
    // for the compositor). Null with a one-line message when there is no display, the
    // connection fails, or a required global (wl_compositor 4, wl_shm, and with layer-shell
    // wp_viewporter and wl_subcompositor) is missing.
    static std::unique_ptr<WaylandBackend> open(const WaylandOptions& options, std::string* error);
    ~WaylandBackend() override;
    WaylandBackend(const WaylandBackend&) = delete;
    WaylandBackend& operator=(const WaylandBackend&) = delete;

    // [main-thread] Whether the compositor offers the background layer.
    bool hasLayerShell() const { return _layerShell != nullptr; }

    // Backend [main-thread]
    const char* kind() const override { return "wayland"; }
    std::string displayName() const override { return _displayName; }
    std::vector<int> fds() const override;
    int timeoutMs() const override;
    std::vector<BackendEvent> dispatch() override;
    std::vector<OutputInfo> outputs() const override;
    OutputSignals signals(const std::string& output) const override;
    bool idle() const override { return _idle; }
    void setIdleAfter(double seconds) override;
    bool idleAvailable() const override { return _idleNotifier != nullptr; }
    bool keepsPicture() const override { return false; }
    int addBuffer(int fd, const uint8_t* pixels, int width, int height, size_t stride,
                  std::string* error) override;
    void removeBuffer(int id) override;
    bool present(const std::string& output, int buffer, const Placement& placement,
                 const std::vector<PixelRect>& damage, std::string* error) override;

    // [main-thread] Lines worth telling the user (what the compositor lacks), taken once.
    std::vector<std::string> takeWarnings();
    // [main-thread] Surface commits made so far (tests).
    uint64_t commits() const { return _commits; }

    struct Output;
    struct Buffer;
    struct Toplevel;
    struct Listeners;

  private:
    WaylandBackend() = default;
    bool setUp(const WaylandOptions& options, std::string* error);
    bool roundtrip(double seconds);
    void global(uint32_t name, const char* interface, uint32_t version);
    void globalRemove(uint32_t name);
    void outputDone(Output& o);
    void makeSurface(Output& o);
    void dropSurface(Output& o);
    void destroyOutput(Output& o);
    void configure(Output& o, uint32_t serial, uint32_t width, uint32_t height);
    void frameDone(Output& o);
    void bufferReleased(Buffer* b);
    void setOpaque(wl_surface* surface, int width, int height);
    bool showBackground(Output& o, uint32_t argb, bool* changed);
    void dropPicture(Output& o);
    void toplevelDone(Toplevel& t);
    void pointerButton(bool pressed);
    OutputInfo infoOf(const Output& o) const;
    bool published(const Output& o) const;
    Output* outputFor(const void* wlOutput);
    void lost(std::vector<BackendEvent>* events);
    void flush();

    WaylandOptions _options;
    std::string _displayName;
    wl_display* _display = nullptr;
    wl_registry* _registry = nullptr;
    wl_compositor* _compositor = nullptr;
    wl_subcompositor* _subcompositor = nullptr;
    wl_shm* _shm = nullptr;
    wl_seat* _seat = nullptr;
    uint32_t _seatName = 0;
    wl_pointer* _pointer = nullptr;
    zxdg_output_manager_v1* _xdgOutputs = nullptr;
    wp_viewporter* _viewporter = nullptr;
    zwlr_layer_shell_v1* _layerShell = nullptr;
    uint32_t _layerShellVersion = 0;
    zwlr_foreign_toplevel_manager_v1* _toplevels = nullptr;
    wp_fractional_scale_manager_v1* _fractional = nullptr;
    ext_idle_notifier_v1* _idleNotifier = nullptr;
    ext_idle_notification_v1* _idleNotification = nullptr;

    std::map<uint32_t, std::unique_ptr<Output>> _outputs;  // by registry name
    std::map<int, std::unique_ptr<Buffer>> _buffers;       // by id
    std::vector<std::unique_ptr<Buffer>> _orphans;         // removed while the compositor held them
    std::vector<std::unique_ptr<Toplevel>> _toplevelList;
    int _nextBuffer = 1;

    double _idleAfter = 300;
    bool _idle = false;
    uint64_t _commits = 0;
    bool _needFlush = false;
    bool _lost = false;

    // Pointer (with input): the surface under it, where, and where the left button went down.
    wl_surface* _pointerSurface = nullptr;
    double _pointerX = 0, _pointerY = 0;
    wl_surface* _pressSurface = nullptr;
    double _pressX = 0, _pressY = 0;

    std::vector<OutputInfo> _shown;                      // what outputs() gave last
    std::map<std::string, OutputSignals> _shownSignals;  // what signals() gave last
    std::vector<BackendEvent> _events;  // made by the listeners, handed out by dispatch()
    std::vector<std::string> _warnings;
};

// [any-thread] The display's name for the control socket: the given display (or
// $WAYLAND_DISPLAY), with a path inside $XDG_RUNTIME_DIR shortened to its socket name, so
// "wayland-1" and "/run/user/1000/wayland-1" name one daemon. "" when there is none.
std::string waylandDisplayName(const std::string& given);

}  // namespace host::desktop
