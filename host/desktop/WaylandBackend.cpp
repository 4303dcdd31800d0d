// The Wayland backend: layer-shell background surfaces, wl_shm frames from the wallpaper
// processes' memfds, frame callbacks, foreign-toplevel fullscreen state and idle notification.

#include "WaylandBackend.h"

#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "ext-idle-notify-v1-client-protocol.h"
#include "fractional-scale-v1-client-protocol.h"
#include "viewporter-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"
#include "wlr-layer-shell-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace host::desktop {

namespace {

constexpr double kHiddenAfter = 0.5;     // seconds without a frame callback: not being drawn
constexpr double kConnectWait = 5;       // seconds the compositor has to answer at the start
constexpr int kClickSlop = 4;            // pixels a click may move between press and release
constexpr int kMaxOutputPixels = 16384;  // per side: larger is a compositor's mistake
constexpr size_t kMaxDamageRects = 64;   // more become one damaged buffer

double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Whole pixels from compositor-given numbers, kept in a range every later sum fits in.
int pixels(double v) {
    return int(std::lround(std::clamp(v, -16777216.0, 16777216.0)));
}

// Where a buffer is shown on a surface through its viewport: the source rectangle in buffer
// pixels (all -1: the whole buffer) and the destination size in surface units.
struct View {
    double sx = -1, sy = -1, sw = -1, sh = -1;
    int dw = 0, dh = 0;
    bool operator==(const View&) const = default;
};

void applyView(wp_viewport* viewport, const View& v) {
    if (v.sw < 0)
        wp_viewport_set_source(viewport, wl_fixed_from_int(-1), wl_fixed_from_int(-1),
                               wl_fixed_from_int(-1), wl_fixed_from_int(-1));
    else
        wp_viewport_set_source(viewport, wl_fixed_from_double(v.sx), wl_fixed_from_double(v.sy),
                               wl_fixed_from_double(v.sw), wl_fixed_from_double(v.sh));
    wp_viewport_set_destination(viewport, v.dw, v.dh);
}

}  // namespace

struct WaylandBackend::Buffer {
    WaylandBackend* owner = nullptr;
    int id = 0;
    wl_buffer* buffer = nullptr;
    int width = 0, height = 0;
    bool busy = false;      // attached and not yet released by the compositor
    bool retained = false;  // reported Presented while busy: Released follows
    bool own = false;       // the backend's own (a background colour)
};

struct WaylandBackend::Output {
    WaylandBackend* owner = nullptr;
    uint32_t globalName = 0;
    wl_output* output = nullptr;
    zxdg_output_v1* xdgOutput = nullptr;
    std::string wlName, xdgName;
    int geometryX = 0, geometryY = 0;
    bool haveLogicalPosition = false;
    int logicalX = 0, logicalY = 0;
    int xdgWidth = 0, xdgHeight = 0;
    int modeWidth = 0, modeHeight = 0;
    int transform = 0;
    int intScale = 1;
    double fractionalScale = 0;  // 0: none offered yet
    bool done = false;           // wl_output's first done came

    // The background surface.
    wl_surface* surface = nullptr;
    zwlr_layer_surface_v1* layer = nullptr;
    wp_viewport* viewport = nullptr;
    wp_fractional_scale_v1* fractional = nullptr;
    bool configured = false;
    bool closed = false;  // the compositor closed it: not shown until the output changes again
    int width = 0, height = 0;  // surface units, from configure
    bool hasContent = false;    // a buffer is attached to the surface
    View mainView;

    // A placement with bands: the frames in a subsurface over the background colour.
    wl_surface* picture = nullptr;
    wl_subsurface* subsurface = nullptr;
    wp_viewport* pictureViewport = nullptr;
    View pictureView;
    int pictureX = 0, pictureY = 0;
    std::unique_ptr<Buffer> background;
    uint32_t backgroundColour = 0;
    bool backgroundShown = false;

    // Presenting.
    int pending = -1;  // the buffer of the present waiting for its frame callback
    wl_callback* frame = nullptr;
    double wantedSince = 0;
    bool covered = false;  // a frame callback is overdue
    Placement placement;
    int placedWidth = 0, placedHeight = 0;  // the output's size the placement was set up for
    bool placed = false;

    std::string name() const {
        if (!wlName.empty()) return wlName;
        if (!xdgName.empty()) return xdgName;
        return "output-" + std::to_string(globalName);
    }
    double scale() const { return fractionalScale > 0 ? fractionalScale : double(intScale); }
};

struct WaylandBackend::Toplevel {
    WaylandBackend* owner = nullptr;
    zwlr_foreign_toplevel_handle_v1* handle = nullptr;
    std::set<uint32_t> outputs, pendingOutputs;  // registry names of the outputs it is on
    bool fullscreen = false, minimized = false;
    bool pendingFullscreen = false, pendingMinimized = false;
};

// The listeners: plain functions that hand each event to the backend object in `data`.
struct WaylandBackend::Listeners {
    static void global(void* data, wl_registry*, uint32_t name, const char* interface,
                       uint32_t version) {
        static_cast<WaylandBackend*>(data)->global(name, interface, version);
    }
    static void globalRemove(void* data, wl_registry*, uint32_t name) {
        static_cast<WaylandBackend*>(data)->globalRemove(name);
    }
    static constexpr wl_registry_listener registry{global, globalRemove};

    static void geometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t,
                         const char*, const char*, int32_t transform) {
        auto* o = static_cast<Output*>(data);
        o->geometryX = x;
        o->geometryY = y;
        o->transform = transform;
    }
    static void mode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height,
                     int32_t) {
        auto* o = static_cast<Output*>(data);
        if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
        o->modeWidth = width;
        o->modeHeight = height;
    }
    static void outputDone(void* data, wl_output*) {
        auto* o = static_cast<Output*>(data);
        o->owner->outputDone(*o);
    }
    static void scale(void* data, wl_output*, int32_t factor) {
        static_cast<Output*>(data)->intScale = std::clamp(factor, 1, 16);
    }
    static void outputName(void* data, wl_output*, const char* name) {
        static_cast<Output*>(data)->wlName = name ? name : "";
    }
    static void description(void*, wl_output*, const char*) {}
    static constexpr wl_output_listener output{geometry, mode,       outputDone,
                                               scale,    outputName, description};

    static void logicalPosition(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
        auto* o = static_cast<Output*>(data);
        o->haveLogicalPosition = true;
        o->logicalX = x;
        o->logicalY = y;
    }
    static void logicalSize(void* data, zxdg_output_v1*, int32_t width, int32_t height) {
        auto* o = static_cast<Output*>(data);
        o->xdgWidth = width;
        o->xdgHeight = height;
    }
    static void xdgDone(void* data, zxdg_output_v1*) {
        // Versions before 3 end their own updates; from 3 on wl_output.done does.
        auto* o = static_cast<Output*>(data);
        if (o->done) o->owner->outputDone(*o);
    }
    static void xdgName(void* data, zxdg_output_v1*, const char* name) {
        static_cast<Output*>(data)->xdgName = name ? name : "";
    }
    static void xdgDescription(void*, zxdg_output_v1*, const char*) {}
    static constexpr zxdg_output_v1_listener xdgOutput{logicalPosition, logicalSize, xdgDone,
                                                       xdgName, xdgDescription};

    static void configure(void* data, zwlr_layer_surface_v1*, uint32_t serial, uint32_t width,
                          uint32_t height) {
        auto* o = static_cast<Output*>(data);
        o->owner->configure(*o, serial, width, height);
    }
    static void closed(void* data, zwlr_layer_surface_v1*) {
        auto* o = static_cast<Output*>(data);
        o->owner->dropSurface(*o);
        o->closed = true;
    }
    static constexpr zwlr_layer_surface_v1_listener layer{configure, closed};

    static void preferredScale(void* data, wp_fractional_scale_v1*, uint32_t scale) {
        auto* o = static_cast<Output*>(data);
        if (scale >= 30 && scale <= 120 * 16) o->fractionalScale = scale / 120.0;
    }
    static constexpr wp_fractional_scale_v1_listener fractional{preferredScale};

    static void frameDone(void* data, wl_callback*, uint32_t) {
        auto* o = static_cast<Output*>(data);
        o->owner->frameDone(*o);
    }
    static constexpr wl_callback_listener frame{frameDone};

    static void release(void* data, wl_buffer*) {
        auto* b = static_cast<Buffer*>(data);
        b->owner->bufferReleased(b);
    }
    static constexpr wl_buffer_listener buffer{release};

    static void toplevel(void* data, zwlr_foreign_toplevel_manager_v1*,
                         zwlr_foreign_toplevel_handle_v1* handle) {
        auto* self = static_cast<WaylandBackend*>(data);
        auto t = std::make_unique<Toplevel>();
        t->owner = self;
        t->handle = handle;
        zwlr_foreign_toplevel_handle_v1_add_listener(handle, &Listeners::handle, t.get());
        self->_toplevelList.push_back(std::move(t));
    }
    static void finished(void* data, zwlr_foreign_toplevel_manager_v1* manager) {
        auto* self = static_cast<WaylandBackend*>(data);
        zwlr_foreign_toplevel_manager_v1_destroy(manager);
        self->_toplevels = nullptr;
    }
    static constexpr zwlr_foreign_toplevel_manager_v1_listener manager{toplevel, finished};

    static void title(void*, zwlr_foreign_toplevel_handle_v1*, const char*) {}
    static void appId(void*, zwlr_foreign_toplevel_handle_v1*, const char*) {}
    static void outputEnter(void* data, zwlr_foreign_toplevel_handle_v1*, wl_output* output) {
        auto* t = static_cast<Toplevel*>(data);
        if (Output* o = t->owner->outputFor(output)) t->pendingOutputs.insert(o->globalName);
    }
    static void outputLeave(void* data, zwlr_foreign_toplevel_handle_v1*, wl_output* output) {
        auto* t = static_cast<Toplevel*>(data);
        if (Output* o = t->owner->outputFor(output)) t->pendingOutputs.erase(o->globalName);
    }
    static void state(void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
        auto* t = static_cast<Toplevel*>(data);
        t->pendingFullscreen = t->pendingMinimized = false;
        size_t n = states ? states->size / sizeof(uint32_t) : 0;
        const auto* v = states ? static_cast<const uint32_t*>(states->data) : nullptr;
        for (size_t i = 0; i < n; ++i) {
            if (v[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_FULLSCREEN)
                t->pendingFullscreen = true;
            if (v[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_MINIMIZED) t->pendingMinimized = true;
        }
    }
    static void handleDone(void* data, zwlr_foreign_toplevel_handle_v1*) {
        auto* t = static_cast<Toplevel*>(data);
        t->owner->toplevelDone(*t);
    }
    static void handleClosed(void* data, zwlr_foreign_toplevel_handle_v1* handle) {
        auto* t = static_cast<Toplevel*>(data);
        WaylandBackend* self = t->owner;
        zwlr_foreign_toplevel_handle_v1_destroy(handle);
        auto& list = self->_toplevelList;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const std::unique_ptr<Toplevel>& p) { return p.get() == t; }),
                   list.end());
    }
    static void parent(void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {}
    static constexpr zwlr_foreign_toplevel_handle_v1_listener handle{
        title, appId, outputEnter, outputLeave, state, handleDone, handleClosed, parent};

    static void idled(void* data, ext_idle_notification_v1*) {
        auto* self = static_cast<WaylandBackend*>(data);
        if (!self->_idle) self->_events.push_back(BackendEvent(BackendEvent::Kind::SignalsChanged));
        self->_idle = true;
    }
    static void resumed(void* data, ext_idle_notification_v1*) {
        auto* self = static_cast<WaylandBackend*>(data);
        if (self->_idle) self->_events.push_back(BackendEvent(BackendEvent::Kind::SignalsChanged));
        self->_idle = false;
    }
    static constexpr ext_idle_notification_v1_listener idle{idled, resumed};

    static void capabilities(void* data, wl_seat* seat, uint32_t caps) {
        auto* self = static_cast<WaylandBackend*>(data);
        if (!self->_options.input) return;
        bool has = caps & WL_SEAT_CAPABILITY_POINTER;
        if (has && !self->_pointer) {
            self->_pointer = wl_seat_get_pointer(seat);
            wl_pointer_add_listener(self->_pointer, &Listeners::pointer, self);
        } else if (!has && self->_pointer) {
            wl_pointer_destroy(self->_pointer);
            self->_pointer = nullptr;
            self->_pointerSurface = self->_pressSurface = nullptr;
        }
    }
    static void seatName(void*, wl_seat*, const char*) {}
    static constexpr wl_seat_listener seat{capabilities, seatName};

    static void enter(void* data, wl_pointer*, uint32_t, wl_surface* surface, wl_fixed_t x,
                      wl_fixed_t y) {
        auto* self = static_cast<WaylandBackend*>(data);
        self->_pointerSurface = surface;
        self->_pointerX = wl_fixed_to_double(x);
        self->_pointerY = wl_fixed_to_double(y);
    }
    static void leave(void* data, wl_pointer*, uint32_t, wl_surface*) {
        auto* self = static_cast<WaylandBackend*>(data);
        self->_pointerSurface = self->_pressSurface = nullptr;
    }
    static void motion(void* data, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
        auto* self = static_cast<WaylandBackend*>(data);
        self->_pointerX = wl_fixed_to_double(x);
        self->_pointerY = wl_fixed_to_double(y);
    }
    static void button(void* data, wl_pointer*, uint32_t, uint32_t, uint32_t button,
                       uint32_t state) {
        if (button == BTN_LEFT)
            static_cast<WaylandBackend*>(data)->pointerButton(state ==
                                                              WL_POINTER_BUTTON_STATE_PRESSED);
    }
    static void axis(void*, wl_pointer*, uint32_t, uint32_t, wl_fixed_t) {}
    static void pointerFrame(void*, wl_pointer*) {}
    static void axisSource(void*, wl_pointer*, uint32_t) {}
    static void axisStop(void*, wl_pointer*, uint32_t, uint32_t) {}
    static void axisDiscrete(void*, wl_pointer*, uint32_t, int32_t) {}
    static void axisValue120(void*, wl_pointer*, uint32_t, int32_t) {}
    static constexpr wl_pointer_listener pointer{enter,        leave,        motion,     button,
                                                 axis,         pointerFrame, axisSource, axisStop,
                                                 axisDiscrete, axisValue120};

    static void syncDone(void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }
    static constexpr wl_callback_listener sync{syncDone};
};

std::string waylandDisplayName(const std::string& given) {
    const char* env = std::getenv("WAYLAND_DISPLAY");
    std::string name = !given.empty() ? given : env ? env : "";
    if (name.empty() || name[0] != '/') return name;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::filesystem::path p(name);
    if (runtime && runtime[0] == '/' &&
        p.parent_path().lexically_normal() == std::filesystem::path(runtime).lexically_normal())
        return p.filename().string();
    return name;
}

std::unique_ptr<WaylandBackend> WaylandBackend::open(const WaylandOptions& options,
                                                     std::string* error) {
    std::unique_ptr<WaylandBackend> b(new WaylandBackend());
    if (!b->setUp(options, error)) return nullptr;
    return b;
}

bool WaylandBackend::setUp(const WaylandOptions& options, std::string* error) {
    _options = options;
    const char* env = std::getenv("WAYLAND_DISPLAY");
    std::string name = !options.display.empty() ? options.display : env ? env : "";
    if (name.empty()) {
        *error = "no Wayland display ($WAYLAND_DISPLAY is not set)";
        return false;
    }
    _displayName = waylandDisplayName(name);
    _display = wl_display_connect(name.c_str());
    if (!_display) {
        *error = "cannot connect to the Wayland display " + name + ": " + std::strerror(errno);
        return false;
    }
    _registry = wl_display_get_registry(_display);
    wl_registry_add_listener(_registry, &Listeners::registry, this);
    // The globals, then what the outputs say about themselves, then the layer surfaces'
    // first configure.
    for (int i = 0; i < 3; ++i)
        if (!roundtrip(kConnectWait)) {
            *error = "the Wayland compositor " + name + " did not answer";
            return false;
        }
    if (!_compositor || !_shm) {
        *error = "the Wayland compositor lacks wl_compositor 4 or wl_shm";
        return false;
    }
    if (_layerShell && (!_viewporter || !_subcompositor)) {
        *error = "the Wayland compositor lacks wp_viewporter or wl_subcompositor";
        return false;
    }
    if (_layerShell) {
        if (!_toplevels)
            _warnings.push_back(
                "the compositor offers no zwlr_foreign_toplevel_manager_v1: fullscreen windows "
                "pause an output only once the compositor stops drawing it");
        if (!_idleNotifier)
            _warnings.push_back(
                "the compositor offers no ext_idle_notifier_v1: the idle rule cannot apply");
        if (_options.input && !_seat)
            _warnings.push_back("--input: the compositor offers no seat, so no clicks arrive");
    }
    _shown = outputs();
    for (const OutputInfo& o : _shown) _shownSignals[o.name] = signals(o.name);
    _events.clear();
    return true;
}

WaylandBackend::~WaylandBackend() {
    if (!_display) return;
    while (!_outputs.empty()) {
        destroyOutput(*_outputs.begin()->second);
        _outputs.erase(_outputs.begin());
    }
    for (auto& [id, b] : _buffers) wl_buffer_destroy(b->buffer);
    _buffers.clear();
    for (auto& b : _orphans) wl_buffer_destroy(b->buffer);
    _orphans.clear();
    for (auto& t : _toplevelList) zwlr_foreign_toplevel_handle_v1_destroy(t->handle);
    _toplevelList.clear();
    if (_toplevels) zwlr_foreign_toplevel_manager_v1_destroy(_toplevels);
    if (_idleNotification) ext_idle_notification_v1_destroy(_idleNotification);
    if (_idleNotifier) ext_idle_notifier_v1_destroy(_idleNotifier);
    if (_pointer) wl_pointer_destroy(_pointer);
    if (_seat) wl_seat_destroy(_seat);
    if (_fractional) wp_fractional_scale_manager_v1_destroy(_fractional);
    if (_layerShell) {
        if (_layerShellVersion >= 3)
            zwlr_layer_shell_v1_destroy(_layerShell);
        else
            wl_proxy_destroy(reinterpret_cast<wl_proxy*>(_layerShell));
    }
    if (_viewporter) wp_viewporter_destroy(_viewporter);
    if (_xdgOutputs) zxdg_output_manager_v1_destroy(_xdgOutputs);
    if (_shm) wl_shm_destroy(_shm);
    if (_subcompositor) wl_subcompositor_destroy(_subcompositor);
    if (_compositor) wl_compositor_destroy(_compositor);
    if (_registry) wl_registry_destroy(_registry);
    wl_display_flush(_display);
    // The surfaces go with the connection; the compositor forgets the picture then.
    wl_display_disconnect(_display);
}

bool WaylandBackend::roundtrip(double seconds) {
    bool done = false;
    wl_callback* cb = wl_display_sync(_display);
    wl_callback_add_listener(cb, &Listeners::sync, &done);
    double end = monotonicSeconds() + seconds;
    while (!done) {
        if (wl_display_dispatch_pending(_display) < 0) break;
        if (done) break;
        if (wl_display_flush(_display) < 0 && errno != EAGAIN) break;
        double left = end - monotonicSeconds();
        if (left <= 0) break;
        if (wl_display_prepare_read(_display) != 0) continue;
        pollfd p{wl_display_get_fd(_display), POLLIN, 0};
        int n = poll(&p, 1, int(std::ceil(left * 1000)));
        if (n > 0) {
            if (wl_display_read_events(_display) < 0) break;
        } else {
            wl_display_cancel_read(_display);
        }
    }
    wl_callback_destroy(cb);
    return done;
}

void WaylandBackend::global(uint32_t name, const char* interface, uint32_t version) {
    auto bind = [&](const wl_interface* i, uint32_t most) {
        return wl_registry_bind(_registry, name, i, std::min(version, most));
    };
    std::string n = interface;
    if (n == wl_compositor_interface.name && version >= 4 && !_compositor) {
        _compositor = static_cast<wl_compositor*>(bind(&wl_compositor_interface, 4));
    } else if (n == wl_subcompositor_interface.name && !_subcompositor) {
        _subcompositor = static_cast<wl_subcompositor*>(bind(&wl_subcompositor_interface, 1));
    } else if (n == wl_shm_interface.name && !_shm) {
        _shm = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
    } else if (n == wl_seat_interface.name && !_seat) {
        _seat = static_cast<wl_seat*>(bind(&wl_seat_interface, 5));
        _seatName = name;
        wl_seat_add_listener(_seat, &Listeners::seat, this);
        setIdleAfter(_idleAfter);
    } else if (n == zxdg_output_manager_v1_interface.name && !_xdgOutputs) {
        _xdgOutputs =
            static_cast<zxdg_output_manager_v1*>(bind(&zxdg_output_manager_v1_interface, 3));
        for (auto& [id, o] : _outputs)
            if (!o->xdgOutput) {
                o->xdgOutput = zxdg_output_manager_v1_get_xdg_output(_xdgOutputs, o->output);
                zxdg_output_v1_add_listener(o->xdgOutput, &Listeners::xdgOutput, o.get());
            }
    } else if (n == wp_viewporter_interface.name && !_viewporter) {
        _viewporter = static_cast<wp_viewporter*>(bind(&wp_viewporter_interface, 1));
    } else if (n == zwlr_layer_shell_v1_interface.name && !_layerShell) {
        _layerShellVersion = std::min(version, 4u);
        _layerShell = static_cast<zwlr_layer_shell_v1*>(bind(&zwlr_layer_shell_v1_interface, 4));
    } else if (n == zwlr_foreign_toplevel_manager_v1_interface.name && version >= 2 &&
               !_toplevels) {
        // Version 2 brought the fullscreen state.
        _toplevels = static_cast<zwlr_foreign_toplevel_manager_v1*>(
            bind(&zwlr_foreign_toplevel_manager_v1_interface, 3));
        zwlr_foreign_toplevel_manager_v1_add_listener(_toplevels, &Listeners::manager, this);
    } else if (n == wp_fractional_scale_manager_v1_interface.name && !_fractional) {
        _fractional = static_cast<wp_fractional_scale_manager_v1*>(
            bind(&wp_fractional_scale_manager_v1_interface, 1));
    } else if (n == ext_idle_notifier_v1_interface.name && !_idleNotifier) {
        _idleNotifier =
            static_cast<ext_idle_notifier_v1*>(bind(&ext_idle_notifier_v1_interface, 1));
        setIdleAfter(_idleAfter);
    } else if (n == wl_output_interface.name) {
        auto o = std::make_unique<Output>();
        o->owner = this;
        o->globalName = name;
        o->output = static_cast<wl_output*>(bind(&wl_output_interface, 4));
        wl_output_add_listener(o->output, &Listeners::output, o.get());
        if (_xdgOutputs) {
            o->xdgOutput = zxdg_output_manager_v1_get_xdg_output(_xdgOutputs, o->output);
            zxdg_output_v1_add_listener(o->xdgOutput, &Listeners::xdgOutput, o.get());
        }
        _outputs[name] = std::move(o);
    }
}

void WaylandBackend::globalRemove(uint32_t name) {
    auto it = _outputs.find(name);
    if (it != _outputs.end()) {
        for (auto& t : _toplevelList) {
            t->outputs.erase(name);
            t->pendingOutputs.erase(name);
        }
        destroyOutput(*it->second);
        _outputs.erase(it);
        return;
    }
    if (name == _seatName && _seat) {
        if (_idleNotification) ext_idle_notification_v1_destroy(_idleNotification);
        _idleNotification = nullptr;
        if (_pointer) wl_pointer_destroy(_pointer);
        _pointer = nullptr;
        _pointerSurface = _pressSurface = nullptr;
        wl_seat_destroy(_seat);
        _seat = nullptr;
        _idle = false;
    }
}

WaylandBackend::Output* WaylandBackend::outputFor(const void* wlOutput) {
    for (auto& [id, o] : _outputs)
        if (o->output == wlOutput) return o.get();
    return nullptr;
}

void WaylandBackend::outputDone(Output& o) {
    o.done = true;
    if (o.closed && !o.surface) o.closed = false;  // it changed: try a surface again
    // (A compositor without the viewporter or subsurfaces gets no surface: open() refuses it.)
    if (_layerShell && _compositor && _viewporter && _subcompositor && !o.surface && !o.closed)
        makeSurface(o);
}

void WaylandBackend::makeSurface(Output& o) {
    o.surface = wl_compositor_create_surface(_compositor);
    o.viewport = wp_viewporter_get_viewport(_viewporter, o.surface);
    if (_fractional) {
        o.fractional = wp_fractional_scale_manager_v1_get_fractional_scale(_fractional, o.surface);
        wp_fractional_scale_v1_add_listener(o.fractional, &Listeners::fractional, &o);
    }
    o.layer = zwlr_layer_shell_v1_get_layer_surface(_layerShell, o.surface, o.output,
                                                    _options.bottomLayer
                                                        ? ZWLR_LAYER_SHELL_V1_LAYER_BOTTOM
                                                        : ZWLR_LAYER_SHELL_V1_LAYER_BACKGROUND,
                                                    "wallpaper");
    zwlr_layer_surface_v1_add_listener(o.layer, &Listeners::layer, &o);
    zwlr_layer_surface_v1_set_size(o.layer, 0, 0);
    zwlr_layer_surface_v1_set_anchor(
        o.layer, ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM |
                     ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT);
    zwlr_layer_surface_v1_set_exclusive_zone(o.layer, -1);
    zwlr_layer_surface_v1_set_keyboard_interactivity(
        o.layer, ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_NONE);
    if (!_options.input) {
        // An empty input region: clicks go through to whatever the compositor does with them.
        wl_region* none = wl_compositor_create_region(_compositor);
        wl_surface_set_input_region(o.surface, none);
        wl_region_destroy(none);
    }
    // The first commit carries no buffer; the compositor answers with configure.
    wl_surface_commit(o.surface);
    ++_commits;
    _needFlush = true;
}

void WaylandBackend::dropPicture(Output& o) {
    if (o.subsurface) wl_subsurface_destroy(o.subsurface);
    if (o.pictureViewport) wp_viewport_destroy(o.pictureViewport);
    if (o.picture) wl_surface_destroy(o.picture);
    o.subsurface = nullptr;
    o.pictureViewport = nullptr;
    o.picture = nullptr;
    o.pictureView = View();
    o.backgroundShown = false;
}

void WaylandBackend::dropSurface(Output& o) {
    if (o.frame) wl_callback_destroy(o.frame);
    o.frame = nullptr;
    o.pending = -1;
    o.covered = false;
    dropPicture(o);
    if (o.background) {
        wl_buffer_destroy(o.background->buffer);
        o.background.reset();
    }
    if (o.fractional) wp_fractional_scale_v1_destroy(o.fractional);
    if (o.viewport) wp_viewport_destroy(o.viewport);
    if (o.layer) zwlr_layer_surface_v1_destroy(o.layer);
    if (o.surface) wl_surface_destroy(o.surface);
    o.fractional = nullptr;
    o.viewport = nullptr;
    o.layer = nullptr;
    o.surface = nullptr;
    o.configured = false;
    o.hasContent = false;
    o.placed = false;
    o.mainView = View();
    o.fractionalScale = 0;
    _needFlush = true;
}

void WaylandBackend::destroyOutput(Output& o) {
    dropSurface(o);
    if (o.xdgOutput) zxdg_output_v1_destroy(o.xdgOutput);
    o.xdgOutput = nullptr;
    if (o.output) {
        if (wl_output_get_version(o.output) >= WL_OUTPUT_RELEASE_SINCE_VERSION)
            wl_output_release(o.output);
        else
            wl_output_destroy(o.output);
    }
    o.output = nullptr;
}

void WaylandBackend::setOpaque(wl_surface* surface, int width, int height) {
    wl_region* r = wl_compositor_create_region(_compositor);
    wl_region_add(r, 0, 0, width, height);
    wl_surface_set_opaque_region(surface, r);
    wl_region_destroy(r);
}

void WaylandBackend::configure(Output& o, uint32_t serial, uint32_t width, uint32_t height) {
    zwlr_layer_surface_v1_ack_configure(o.layer, serial);
    int w = int(std::min(width, 65535u)), h = int(std::min(height, 65535u));
    if (w <= 0 || h <= 0) {
        // The compositor left the size to us: the output's mode in surface units.
        bool turned = o.transform % 2 == 1;
        w = std::max(1, (turned ? o.modeHeight : o.modeWidth) / o.intScale);
        h = std::max(1, (turned ? o.modeWidth : o.modeHeight) / o.intScale);
    }
    bool resized = w != o.width || h != o.height;
    o.width = w;
    o.height = h;
    o.configured = true;
    setOpaque(o.surface, w, h);
    if (o.hasContent) {
        // Until the wallpaper's next frame, what is there covers the new size.
        if (resized) {
            o.mainView.dw = w;
            o.mainView.dh = h;
            applyView(o.viewport, o.mainView);
            o.placed = false;
        }
        wl_surface_commit(o.surface);
        ++_commits;
    }
    _needFlush = true;
}

OutputInfo WaylandBackend::infoOf(const Output& o) const {
    OutputInfo info;
    info.name = o.name();
    if (_layerShell) {
        double s = o.scale();
        info.scale = s;
        info.rect = {pixels((o.haveLogicalPosition ? o.logicalX : o.geometryX) * s),
                     pixels((o.haveLogicalPosition ? o.logicalY : o.geometryY) * s),
                     pixels(o.width * s), pixels(o.height * s)};
        return info;
    }
    // No surface to ask: the output's current mode, turned as the output is.
    bool turned = o.transform % 2 == 1;
    int w = turned ? o.modeHeight : o.modeWidth, h = turned ? o.modeWidth : o.modeHeight;
    double s = o.xdgWidth > 0 ? double(w) / o.xdgWidth : double(o.intScale);
    info.scale = s;
    info.rect = {pixels((o.haveLogicalPosition ? o.logicalX : o.geometryX) * s),
                 pixels((o.haveLogicalPosition ? o.logicalY : o.geometryY) * s), w, h};
    return info;
}

bool WaylandBackend::published(const Output& o) const {
    if (!o.done) return false;
    if (_layerShell) return o.configured && o.surface;
    return o.modeWidth > 0 && o.modeHeight > 0;
}

std::vector<OutputInfo> WaylandBackend::outputs() const {
    std::vector<OutputInfo> out;
    std::set<std::string> names;
    for (const auto& [id, o] : _outputs) {
        if (!published(*o)) continue;
        OutputInfo info = infoOf(*o);
        if (info.rect.empty() || info.rect.width > kMaxOutputPixels ||
            info.rect.height > kMaxOutputPixels || !names.insert(info.name).second)
            continue;
        out.push_back(info);
    }
    return out;
}

OutputSignals WaylandBackend::signals(const std::string& output) const {
    OutputSignals s;
    for (const auto& [id, o] : _outputs) {
        if (o->name() != output) continue;
        s.covered = o->covered;
        for (const auto& t : _toplevelList)
            if (t->fullscreen && !t->minimized && t->outputs.count(id)) s.fullscreen = true;
    }
    return s;
}

void WaylandBackend::toplevelDone(Toplevel& t) {
    t.fullscreen = t.pendingFullscreen;
    t.minimized = t.pendingMinimized;
    t.outputs = t.pendingOutputs;
}

void WaylandBackend::setIdleAfter(double seconds) {
    _idleAfter = seconds;
    if (_idleNotification) ext_idle_notification_v1_destroy(_idleNotification);
    _idleNotification = nullptr;
    bool wasIdle = _idle;
    _idle = false;
    if (wasIdle) _events.push_back(BackendEvent(BackendEvent::Kind::SignalsChanged));
    if (!_idleNotifier || !_seat || !(seconds > 0)) return;
    auto ms = uint32_t(std::min(seconds * 1000, 4e9));
    _idleNotification = ext_idle_notifier_v1_get_idle_notification(_idleNotifier, ms, _seat);
    ext_idle_notification_v1_add_listener(_idleNotification, &Listeners::idle, this);
    _needFlush = true;
}

void WaylandBackend::pointerButton(bool pressed) {
    if (pressed) {
        _pressSurface = _pointerSurface;
        _pressX = _pointerX;
        _pressY = _pointerY;
        return;
    }
    wl_surface* surface = _pressSurface;
    _pressSurface = nullptr;
    if (!surface || surface != _pointerSurface) return;
    for (auto& [id, o] : _outputs) {
        if (surface != o->surface && surface != o->picture) continue;
        double s = o->scale();
        if (std::abs(_pointerX - _pressX) * s > kClickSlop ||
            std::abs(_pointerY - _pressY) * s > kClickSlop)
            return;
        double x = _pointerX, y = _pointerY;
        if (surface == o->picture) {
            x += o->pictureX;
            y += o->pictureY;
        }
        BackendEvent e{BackendEvent::Kind::Click};
        e.output = o->name();
        e.x = int(std::floor(x * s));
        e.y = int(std::floor(y * s));
        _events.push_back(e);
        return;
    }
}

void WaylandBackend::frameDone(Output& o) {
    if (o.frame) wl_callback_destroy(o.frame);
    o.frame = nullptr;
    o.covered = false;  // the compositor draws the output: it is visible
    if (o.pending < 0) return;
    BackendEvent e{BackendEvent::Kind::Presented};
    e.output = o.name();
    e.buffer = o.pending;
    o.pending = -1;
    auto it = _buffers.find(e.buffer);
    if (it != _buffers.end() && it->second->busy) {
        it->second->retained = true;
        e.retained = true;
    }
    _events.push_back(e);
}

void WaylandBackend::bufferReleased(Buffer* b) {
    b->busy = false;
    for (auto it = _orphans.begin(); it != _orphans.end(); ++it)
        if (it->get() == b) {
            wl_buffer_destroy(b->buffer);
            _orphans.erase(it);
            return;
        }
    if (b->retained) {
        b->retained = false;
        BackendEvent e{BackendEvent::Kind::Released};
        e.buffer = b->id;
        _events.push_back(e);
    }
}

int WaylandBackend::addBuffer(int fd, const uint8_t*, int width, int height, size_t stride,
                              std::string* error) {
    if (!_layerShell) {
        *error = "the compositor has no background layer";
        return -1;
    }
    if (width <= 0 || height <= 0 || stride < size_t(width) * 4 || stride % 4 != 0 ||
        width > 32767 || height > 32767 || stride > size_t(INT32_MAX) / size_t(height)) {
        *error = "a buffer of an unusable size";
        return -1;
    }
    // The pool maps the wallpaper's memfd in the compositor; it may go at once, the buffer
    // keeps the mapping. libwayland sends a duplicate of fd, so the caller keeps its own.
    wl_shm_pool* pool = wl_shm_create_pool(_shm, fd, int32_t(stride * size_t(height)));
    auto b = std::make_unique<Buffer>();
    b->owner = this;
    b->id = _nextBuffer++;
    b->width = width;
    b->height = height;
    // XRGB: the frames are opaque wherever the wallpaper drew, as on X11's 24-bit root.
    b->buffer =
        wl_shm_pool_create_buffer(pool, 0, width, height, int32_t(stride), WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    wl_buffer_add_listener(b->buffer, &Listeners::buffer, b.get());
    int id = b->id;
    _buffers[id] = std::move(b);
    flush();
    return id;
}

void WaylandBackend::removeBuffer(int id) {
    auto it = _buffers.find(id);
    if (it == _buffers.end()) return;
    for (auto& [name, o] : _outputs)
        if (o->pending == id) o->pending = -1;  // its frame callback still tells visibility
    std::unique_ptr<Buffer> b = std::move(it->second);
    _buffers.erase(it);
    if (b->busy) {
        // The compositor shows it: destroy it once it lets go, so the picture stays.
        b->retained = false;
        _orphans.push_back(std::move(b));
        return;
    }
    wl_buffer_destroy(b->buffer);
    flush();
}

// The one-pixel buffer of a background colour, shown over the whole output through the main
// surface's viewport. False when its memory cannot be made; *changed when the main surface
// needs a commit.
bool WaylandBackend::showBackground(Output& o, uint32_t argb, bool* changed) {
    if (!o.background || o.backgroundColour != argb) {
        int fd = memfd_create("backdrop-background", MFD_CLOEXEC);
        if (fd < 0) return false;
        bool ok = ftruncate(fd, 4) == 0 && pwrite(fd, &argb, 4, 0) == 4;
        if (!ok) {
            close(fd);
            return false;
        }
        wl_shm_pool* pool = wl_shm_create_pool(_shm, fd, 4);
        close(fd);
        auto b = std::make_unique<Buffer>();
        b->owner = this;
        b->own = true;
        b->width = b->height = 1;
        b->buffer = wl_shm_pool_create_buffer(pool, 0, 1, 1, 4, WL_SHM_FORMAT_XRGB8888);
        wl_shm_pool_destroy(pool);
        if (o.background) wl_buffer_destroy(o.background->buffer);
        o.background = std::move(b);
        o.backgroundColour = argb;
        o.backgroundShown = false;
    }
    View full;
    full.dw = o.width;
    full.dh = o.height;
    if (!o.backgroundShown || !(o.mainView == full)) {
        wl_surface_attach(o.surface, o.background->buffer, 0, 0);
        wl_surface_damage_buffer(o.surface, 0, 0, 1, 1);
        applyView(o.viewport, full);
        o.mainView = full;
        o.backgroundShown = true;
        o.hasContent = true;
        *changed = true;
    }
    return true;
}

bool WaylandBackend::present(const std::string& output, int buffer, const Placement& placement,
                             const std::vector<PixelRect>& damage, std::string* error) {
    Output* op = nullptr;
    for (auto& [id, o] : _outputs)
        if (published(*o) && o->name() == output) op = o.get();
    auto bit = _buffers.find(buffer);
    if (!op || bit == _buffers.end() || !_layerShell) {
        *error = "no such output or buffer";
        return false;
    }
    Output& o = *op;
    Buffer& b = *bit->second;
    if (o.pending >= 0) {
        *error = "a frame is still on its way to the compositor";
        return false;
    }
    const OutputInfo info = infoOf(o);
    const PixelRect out{0, 0, info.rect.width, info.rect.height};
    const PixelRect place{placement.x, placement.y, placement.width, placement.height};
    const PixelRect visible = intersect(place, out);
    if (visible.empty()) {
        // Nothing of the picture lands on the output.
        BackendEvent e{BackendEvent::Kind::Presented};
        e.output = output;
        e.buffer = buffer;
        _events.push_back(e);
        return true;
    }
    // Output pixels per surface unit.
    const double kx = double(out.width) / o.width, ky = double(out.height) / o.height;
    // What the buffer shows: its pixels that land on the visible part.
    View view;
    if (placement.stretch && place.width > 0 && place.height > 0) {
        double bx = double(b.width) / place.width, by = double(b.height) / place.height;
        view.sx = (visible.x - place.x) * bx;
        view.sy = (visible.y - place.y) * by;
        view.sw = visible.width * bx;
        view.sh = visible.height * by;
    } else {
        PixelRect src =
            intersect({visible.x - place.x, visible.y - place.y, visible.width, visible.height},
                      {0, 0, b.width, b.height});
        if (src.empty()) {
            *error = "the placement does not fit the buffer";
            return false;
        }
        view.sx = src.x;
        view.sy = src.y;
        view.sw = src.width;
        view.sh = src.height;
    }
    if (view.sx == 0 && view.sy == 0 && view.sw == b.width && view.sh == b.height)
        view.sx = view.sy = view.sw = view.sh = -1;  // all of it
    const bool direct = visible == out;
    bool full = damage.empty() || damage.size() > kMaxDamageRects || !o.placed ||
                !(o.placement == placement) || o.placedWidth != out.width ||
                o.placedHeight != out.height;

    wl_surface* target = o.surface;
    wp_viewport* targetViewport = o.viewport;
    View* targetView = &o.mainView;
    bool commitMain = false;
    if (direct) {
        if (o.picture) {
            dropPicture(o);
            full = true;
        }
        o.backgroundShown = false;
        view.dw = o.width;
        view.dh = o.height;
    } else {
        // Bands: the colour on the main surface, the frames on a subsurface over it.
        if (!showBackground(o, placement.background, &commitMain)) {
            *error = "cannot make the background colour's buffer";
            return false;
        }
        bool fresh = !o.picture;
        if (fresh) {
            o.picture = wl_compositor_create_surface(_compositor);
            o.subsurface = wl_subcompositor_get_subsurface(_subcompositor, o.picture, o.surface);
            wl_subsurface_set_desync(o.subsurface);
            o.pictureViewport = wp_viewporter_get_viewport(_viewporter, o.picture);
            if (!_options.input) {
                wl_region* none = wl_compositor_create_region(_compositor);
                wl_surface_set_input_region(o.picture, none);
                wl_region_destroy(none);
            }
            full = true;
        }
        int px = int(std::lround(visible.x / kx)), py = int(std::lround(visible.y / ky));
        view.dw = std::max(1, int(std::lround(visible.width / kx)));
        view.dh = std::max(1, int(std::lround(visible.height / ky)));
        if (fresh || px != o.pictureX || py != o.pictureY) {
            wl_subsurface_set_position(o.subsurface, px, py);
            o.pictureX = px;
            o.pictureY = py;
            commitMain = true;
        }
        if (fresh || view.dw != o.pictureView.dw || view.dh != o.pictureView.dh)
            setOpaque(o.picture, view.dw, view.dh);
        target = o.picture;
        targetViewport = o.pictureViewport;
        targetView = &o.pictureView;
    }
    if (!(*targetView == view)) {
        applyView(targetViewport, view);
        *targetView = view;
        full = true;
    }

    wl_surface_attach(target, b.buffer, 0, 0);
    if (full) {
        wl_surface_damage_buffer(target, 0, 0, b.width, b.height);
    } else {
        for (const PixelRect& r : damage) {
            PixelRect d = intersect(r, {0, 0, b.width, b.height});
            if (!d.empty()) wl_surface_damage_buffer(target, d.x, d.y, d.width, d.height);
        }
    }
    if (o.frame) wl_callback_destroy(o.frame);
    o.frame = wl_surface_frame(target);
    wl_callback_add_listener(o.frame, &Listeners::frame, &o);
    wl_surface_commit(target);
    ++_commits;
    if (commitMain) {
        // The subsurface's position and the colour behind it apply with the main surface.
        wl_surface_commit(o.surface);
        ++_commits;
    }
    b.busy = true;
    o.hasContent = true;
    o.pending = buffer;
    o.wantedSince = monotonicSeconds();
    o.placement = placement;
    o.placedWidth = out.width;
    o.placedHeight = out.height;
    o.placed = true;
    flush();
    return true;
}

void WaylandBackend::flush() {
    if (wl_display_flush(_display) < 0) {
        if (errno == EAGAIN)
            _needFlush = true;  // the socket is full: dispatch() tries again
        else
            _lost = true;
        return;
    }
    _needFlush = false;
}

std::vector<int> WaylandBackend::fds() const {
    return {wl_display_get_fd(_display)};
}

int WaylandBackend::timeoutMs() const {
    if (!_events.empty() || _lost) return 0;
    double wait = INFINITY;
    double now = monotonicSeconds();
    for (const auto& [id, o] : _outputs)
        if (o->pending >= 0 && !o->covered)
            wait = std::min(wait, o->wantedSince + kHiddenAfter - now);
    if (_needFlush) wait = std::min(wait, 0.01);
    if (!std::isfinite(wait)) return -1;
    return int(std::clamp(std::ceil(wait * 1000), 0.0, 60000.0));
}

void WaylandBackend::lost(std::vector<BackendEvent>* events) {
    BackendEvent e{BackendEvent::Kind::Lost};
    int err = wl_display_get_error(_display);
    if (err == EPROTO) {
        const wl_interface* interface = nullptr;
        uint32_t id = 0;
        uint32_t code = wl_display_get_protocol_error(_display, &interface, &id);
        e.text = "the Wayland compositor ended the connection (protocol error " +
                 std::to_string(code) + " on " + (interface ? interface->name : "?") + ")";
    } else {
        e.text = "the Wayland connection to " + _displayName + " was lost" +
                 (err ? std::string(" (") + std::strerror(err) + ")" : std::string());
    }
    events->push_back(e);
}

std::vector<BackendEvent> WaylandBackend::dispatch() {
    std::vector<BackendEvent> events;
    bool broken = _lost;
    // Read what arrived without blocking, then run the listeners.
    while (!broken && wl_display_prepare_read(_display) != 0)
        if (wl_display_dispatch_pending(_display) < 0) broken = true;
    if (!broken) {
        pollfd p{wl_display_get_fd(_display), POLLIN, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
            if (wl_display_read_events(_display) < 0) broken = true;
        } else {
            wl_display_cancel_read(_display);
        }
    }
    if (!broken && wl_display_dispatch_pending(_display) < 0) broken = true;
    // Listeners send requests too (binding a new output, acknowledging a configure).
    if (!broken) flush();
    if (broken || _lost || wl_display_get_error(_display)) {
        _lost = true;
        events.swap(_events);
        lost(&events);
        return events;
    }

    // A frame wanted and no callback for half a second: the compositor does not draw it.
    double now = monotonicSeconds();
    for (auto& [id, o] : _outputs)
        if (o->pending >= 0 && !o->covered && now - o->wantedSince >= kHiddenAfter)
            o->covered = true;

    events.swap(_events);
    std::vector<OutputInfo> listed = outputs();
    if (listed != _shown) {
        _shown = listed;
        events.push_back(BackendEvent(BackendEvent::Kind::OutputsChanged));
    }
    std::map<std::string, OutputSignals> sig;
    for (const OutputInfo& o : _shown) sig[o.name] = signals(o.name);
    if (sig != _shownSignals) {
        _shownSignals = sig;
        events.push_back(BackendEvent(BackendEvent::Kind::SignalsChanged));
    }
    return events;
}

std::vector<std::string> WaylandBackend::takeWarnings() {
    std::vector<std::string> out;
    out.swap(_warnings);
    return out;
}

}  // namespace host::desktop
