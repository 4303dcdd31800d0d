// The X11 backend: root pixmap or desktop windows, RandR monitors, EWMH pause signals,
// MIT-SHM frames, MIT-SCREEN-SAVER idle time and DPMS.

#include "X11Backend.h"

#include <fcntl.h>
#include <pixman.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <xcb/dpms.h>
#include <xcb/randr.h>
#include <xcb/screensaver.h>
#include <xcb/shape.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace host::desktop {

namespace {

double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

template <class T>
struct Reply {
    T* p = nullptr;
    explicit Reply(T* r) : p(r) {}
    ~Reply() { std::free(p); }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    Reply(Reply&& o) noexcept : p(o.p) { o.p = nullptr; }
    Reply& operator=(Reply&& o) noexcept {
        std::swap(p, o.p);
        return *this;
    }
    T* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

template <class T>
Reply<T> wrap(T* p) {
    return Reply<T>(p);
}

// Every 32-bit item of a property reply (atoms and windows), bounded by what the reply holds.
std::vector<uint32_t> items32(xcb_get_property_reply_t* r) {
    std::vector<uint32_t> out;
    if (!r || r->format != 32) return out;
    int len = xcb_get_property_value_length(r);
    if (len <= 0) return out;
    const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(r));
    out.assign(v, v + size_t(len) / 4);
    return out;
}

uint32_t pixelOf(uint32_t argb) {
    return argb & 0xffffff;
}

}  // namespace

// An output's own shared buffer: stretched frames are resampled into it and sent from it.
struct X11Backend::Scratch {
    int fd = -1;
    uint32_t segment = 0;
    uint8_t* pixels = nullptr;
    size_t size = 0;
    int width = 0, height = 0;
    xcb_connection_t* c = nullptr;
    ~Scratch() {
        if (segment && c) xcb_shm_detach(c, segment);
        if (pixels) munmap(pixels, size);
        if (fd >= 0) close(fd);
    }
};

X11Backend::Output::~Output() = default;

xcb_atom_t X11Backend::atom(const char* name) {
    auto it = _atoms.find(name);
    if (it != _atoms.end()) return it->second;
    auto r = wrap(xcb_intern_atom_reply(
        _c, xcb_intern_atom(_c, 0, uint16_t(std::strlen(name)), name), nullptr));
    xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    _atoms[name] = a;
    return a;
}

std::unique_ptr<X11Backend> X11Backend::open(const X11Options& options, std::string* error) {
    std::unique_ptr<X11Backend> b(new X11Backend());
    if (!b->setUp(options, error)) return nullptr;
    return b;
}

X11Backend::~X11Backend() {
    if (!_c) return;
    for (auto& [name, o] : _outputs) dropWindow(o);
    _outputs.clear();
    for (auto& [id, buf] : _buffers) xcb_shm_detach(_c, buf.segment);
    if (_gc) xcb_free_gc(_c, _gc);
    // The root pixmap is the retained connection's: it stays, with the last frame in it.
    xcb_flush(_c);
    xcb_disconnect(_c);
}

bool X11Backend::setUp(const X11Options& options, std::string* error) {
    _options = options;
    const char* env = std::getenv("DISPLAY");
    _displayArg = !options.display.empty() ? options.display : env ? env : "";
    if (_displayArg.empty()) {
        *error = "no X11 display ($DISPLAY is not set)";
        return false;
    }
    _displayName = _displayArg;
    int screenNumber = 0;
    _c = xcb_connect(_displayArg.c_str(), &screenNumber);
    if (!_c || xcb_connection_has_error(_c)) {
        *error = "cannot open the X11 display " + _displayArg;
        if (_c) xcb_disconnect(_c);
        _c = nullptr;
        return false;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(_c));
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    if (!it.rem) {
        *error = "the X11 display has no screen " + std::to_string(screenNumber);
        return false;
    }
    _screen = it.data;
    _root = _screen->root;
    _depth = _screen->root_depth;
    // Frames are 32-bit pixels: the root's depth must be drawn with 32 bits per pixel.
    bool format32 = false;
    for (auto f = xcb_setup_pixmap_formats_iterator(xcb_get_setup(_c)); f.rem; xcb_format_next(&f))
        if (f.data->depth == _depth && f.data->bits_per_pixel == 32) format32 = true;
    if (!format32 || (_depth != 24 && _depth != 32)) {
        *error =
            "the X11 screen's depth " + std::to_string(_depth) + " is not drawn with 32-bit pixels";
        return false;
    }

    // MIT-SHM 1.2 (file-descriptor segments) is required: frames never go through the socket.
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(_c, &xcb_shm_id);
    Reply<xcb_shm_query_version_reply_t> shmVersion(nullptr);
    if (shm && shm->present)
        shmVersion = wrap(xcb_shm_query_version_reply(_c, xcb_shm_query_version(_c), nullptr));
    if (!shmVersion || shmVersion->major_version < 1 ||
        (shmVersion->major_version == 1 && shmVersion->minor_version < 2)) {
        *error = "the X11 server lacks MIT-SHM 1.2 (shared-memory file descriptors)";
        return false;
    }
    _shmEvent = shm->first_event;
    _shmMajor = shm->major_opcode;

    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(_c, &xcb_randr_id);
    if (randr && randr->present) {
        auto v =
            wrap(xcb_randr_query_version_reply(_c, xcb_randr_query_version(_c, 1, 5), nullptr));
        if (v && (v->major_version > 1 || v->minor_version >= 5)) {
            _randr15 = true;
            _randrEvent = randr->first_event;
            xcb_randr_select_input(_c, _root,
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
        }
    }
    if (!_randr15) _warnings.push_back("no RandR 1.5: the whole screen is one output");
    const xcb_query_extension_reply_t* saver = xcb_get_extension_data(_c, &xcb_screensaver_id);
    _saver = saver && saver->present;
    const xcb_query_extension_reply_t* dpms = xcb_get_extension_data(_c, &xcb_dpms_id);
    if (dpms && dpms->present) {
        auto cap = wrap(xcb_dpms_capable_reply(_c, xcb_dpms_capable(_c), nullptr));
        _dpms = cap && cap->capable;
    }
    const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(_c, &xcb_xfixes_id);
    if (xfixes && xfixes->present) {
        auto v =
            wrap(xcb_xfixes_query_version_reply(_c, xcb_xfixes_query_version(_c, 5, 0), nullptr));
        _xfixes = v && v->major_version >= 2;
    }

    if (options.mode == X11Options::Mode::Window && !options.force && otherDesktopWindow()) {
        *error =
            "another desktop window is present (a file manager's desktop?): use --mode root, or "
            "--force to put ours beside it";
        return false;
    }

    // Top-level windows come and go under the root; the window manager's lists are root
    // properties.
    uint32_t rootMask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE |
                        XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(_c, _root, XCB_CW_EVENT_MASK, &rootMask);
    if (options.input && options.mode == X11Options::Mode::Root) {
        // Only one client may take button presses on a window; a window manager often has them.
        uint32_t mask = rootMask | XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE;
        auto err = xcb_request_check(
            _c, xcb_change_window_attributes_checked(_c, _root, XCB_CW_EVENT_MASK, &mask));
        if (err) {
            std::free(err);
            _warnings.push_back(
                "--input: another program (the window manager) takes clicks on the root window; "
                "try --mode window --input");
        }
    }

    auto geo = wrap(xcb_get_geometry_reply(_c, xcb_get_geometry(_c, _root), nullptr));
    _rootWidth = geo ? geo->width : _screen->width_in_pixels;
    _rootHeight = geo ? geo->height : _screen->height_in_pixels;
    if (options.mode == X11Options::Mode::Root && !setUpRootPixmap(_rootWidth, _rootHeight, error))
        return false;
    updateOutputs();
    recomputeSignals();
    readIdle();
    xcb_flush(_c);
    if (xcb_connection_has_error(_c)) {
        *error = "the X11 connection failed while setting up";
        return false;
    }
    return true;
}

bool X11Backend::setUpRootPixmap(int width, int height, std::string* error) {
    // The pixmap belongs to a connection of its own that asks the server to keep its resources
    // and then closes: the background outlives the daemon, and KillClient on the pixmap frees it
    // when the next one replaces it.
    xcb_connection_t* keeper = xcb_connect(_displayArg.c_str(), nullptr);
    if (!keeper || xcb_connection_has_error(keeper)) {
        if (keeper) xcb_disconnect(keeper);
        *error = "cannot open a second connection to " + _displayArg;
        return false;
    }
    xcb_pixmap_t pixmap = xcb_generate_id(keeper);
    xcb_create_pixmap(keeper, _depth, pixmap, _root, uint16_t(width), uint16_t(height));
    xcb_set_close_down_mode(keeper, XCB_CLOSE_DOWN_RETAIN_PERMANENT);
    auto sync = wrap(xcb_get_input_focus_reply(keeper, xcb_get_input_focus(keeper), nullptr));
    bool ok = sync && !xcb_connection_has_error(keeper);
    xcb_disconnect(keeper);
    if (!ok) {
        *error = "the X11 server refused a " + std::to_string(width) + "x" +
                 std::to_string(height) + " background pixmap";
        return false;
    }

    // What was the background before: ours from an earlier run (or before a resize), or another
    // setter's. Its picture is copied over so the screen does not flash.
    xcb_atom_t rootId = atom("_XROOTPMAP_ID"), esetroot = atom("ESETROOT_PMAP_ID");
    auto oldRoot = wrap(xcb_get_property_reply(
        _c, xcb_get_property(_c, 0, _root, rootId, XCB_ATOM_PIXMAP, 0, 1), nullptr));
    auto oldSet = wrap(xcb_get_property_reply(
        _c, xcb_get_property(_c, 0, _root, esetroot, XCB_ATOM_PIXMAP, 0, 1), nullptr));
    std::vector<uint32_t> a = items32(oldRoot.p), e = items32(oldSet.p);
    xcb_pixmap_t old = a.empty() ? 0 : a[0];

    if (_gc) xcb_free_gc(_c, _gc);
    _gc = xcb_generate_id(_c);
    uint32_t values[] = {_screen->black_pixel, 0};
    xcb_create_gc(_c, _gc, pixmap, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, values);
    xcb_rectangle_t all{0, 0, uint16_t(width), uint16_t(height)};
    xcb_poly_fill_rectangle(_c, pixmap, _gc, 1, &all);
    if (old) {
        auto g = wrap(xcb_get_geometry_reply(_c, xcb_get_geometry(_c, old), nullptr));
        if (g && g->depth == _depth)
            xcb_copy_area(_c, old, pixmap, _gc, 0, 0, 0, 0, std::min<uint16_t>(g->width, width),
                          std::min<uint16_t>(g->height, height));
    }
    xcb_change_property(_c, XCB_PROP_MODE_REPLACE, _root, rootId, XCB_ATOM_PIXMAP, 32, 1, &pixmap);
    xcb_change_property(_c, XCB_PROP_MODE_REPLACE, _root, esetroot, XCB_ATOM_PIXMAP, 32, 1,
                        &pixmap);
    xcb_change_window_attributes(_c, _root, XCB_CW_BACK_PIXMAP, &pixmap);
    xcb_clear_area(_c, 0, _root, 0, 0, 0, 0);
    // Free the old one as setters do: only when its owner marked it as freeable (ESETROOT_PMAP_ID
    // names it too) — that owner is a retained, closed connection, never a live program.
    if (old && old != pixmap && !e.empty() && e[0] == old) {
        auto err = xcb_request_check(_c, xcb_kill_client_checked(_c, old));
        std::free(err);
    }
    _rootPixmap = pixmap;
    _rootWidth = width;
    _rootHeight = height;
    for (auto& [name, o] : _outputs) o.filled = false;
    return true;
}

void X11Backend::readMonitors(std::vector<OutputInfo>* out) {
    out->clear();
    if (_randr15) {
        auto r =
            wrap(xcb_randr_get_monitors_reply(_c, xcb_randr_get_monitors(_c, _root, 1), nullptr));
        if (r) {
            std::vector<xcb_get_atom_name_cookie_t> names;
            std::vector<OutputInfo> found;
            for (auto m = xcb_randr_get_monitors_monitors_iterator(r.p); m.rem;
                 xcb_randr_monitor_info_next(&m)) {
                OutputInfo info;
                info.rect = {m.data->x, m.data->y, m.data->width, m.data->height};
                found.push_back(info);
                names.push_back(xcb_get_atom_name(_c, m.data->name));
            }
            for (size_t i = 0; i < found.size(); ++i) {
                auto n = wrap(xcb_get_atom_name_reply(_c, names[i], nullptr));
                std::string name = n ? std::string(xcb_get_atom_name_name(n.p),
                                                   size_t(xcb_get_atom_name_name_length(n.p)))
                                     : "";
                if (name.empty()) name = "monitor-" + std::to_string(i);
                found[i].name = name;
                if (!found[i].rect.empty()) out->push_back(found[i]);
            }
        }
    }
    if (out->empty()) out->push_back({"screen", {0, 0, _rootWidth, _rootHeight}, 1});
    // Unique names, so the state file and `ctl` can tell them apart.
    for (size_t i = 0; i < out->size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if ((*out)[j].name == (*out)[i].name) (*out)[i].name += "-" + std::to_string(i);
}

bool X11Backend::updateOutputs() {
    auto geo = wrap(xcb_get_geometry_reply(_c, xcb_get_geometry(_c, _root), nullptr));
    if (geo && (geo->width != _rootWidth || geo->height != _rootHeight)) {
        if (_options.mode == X11Options::Mode::Root) {
            std::string error;
            if (!setUpRootPixmap(geo->width, geo->height, &error)) _warnings.push_back(error);
        } else {
            _rootWidth = geo->width;
            _rootHeight = geo->height;
        }
    }
    std::vector<OutputInfo> now;
    readMonitors(&now);
    bool changed = now.size() != _outputs.size();
    std::set<std::string> keep;
    for (const OutputInfo& info : now) {
        keep.insert(info.name);
        auto it = _outputs.find(info.name);
        if (it == _outputs.end()) {
            Output& o = _outputs[info.name];
            o.info = info;
            if (_options.mode == X11Options::Mode::Window) makeWindow(o);
            changed = true;
        } else if (!(it->second.info == info)) {
            Output& o = it->second;
            o.info = info;
            o.filled = false;
            if (_options.mode == X11Options::Mode::Window) {
                dropWindow(o);
                makeWindow(o);
            }
            o.scratch.reset();
            changed = true;
        }
    }
    for (auto it = _outputs.begin(); it != _outputs.end();) {
        if (keep.count(it->first)) {
            ++it;
            continue;
        }
        dropWindow(it->second);
        it = _outputs.erase(it);
        changed = true;
    }
    if (changed) _signalsDirty = true;
    return changed;
}

void X11Backend::makeWindow(Output& o) {
    const PixelRect& r = o.info.rect;
    o.pixmap = xcb_generate_id(_c);
    xcb_create_pixmap(_c, _depth, o.pixmap, _root, uint16_t(r.width), uint16_t(r.height));
    uint32_t black = _screen->black_pixel;
    if (!_gc) {
        _gc = xcb_generate_id(_c);
        uint32_t values[] = {black, 0};
        xcb_create_gc(_c, _gc, o.pixmap, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, values);
    }
    xcb_change_gc(_c, _gc, XCB_GC_FOREGROUND, &black);
    xcb_rectangle_t all{0, 0, uint16_t(r.width), uint16_t(r.height)};
    xcb_poly_fill_rectangle(_c, o.pixmap, _gc, 1, &all);

    o.window = xcb_generate_id(_c);
    uint32_t mask = XCB_CW_BACK_PIXMAP | XCB_CW_EVENT_MASK;
    uint32_t events = _options.input ? XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE
                                     : XCB_EVENT_MASK_NO_EVENT;
    uint32_t values[] = {o.pixmap, events};
    xcb_create_window(_c, XCB_COPY_FROM_PARENT, o.window, _root, int16_t(r.x), int16_t(r.y),
                      uint16_t(r.width), uint16_t(r.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      _screen->root_visual, mask, values);
    auto set32 = [&](const char* prop, xcb_atom_t type, const std::vector<uint32_t>& v) {
        xcb_change_property(_c, XCB_PROP_MODE_REPLACE, o.window, atom(prop), type, 32,
                            uint32_t(v.size()), v.data());
    };
    set32("_NET_WM_WINDOW_TYPE", XCB_ATOM_ATOM, {atom("_NET_WM_WINDOW_TYPE_DESKTOP")});
    set32("_NET_WM_STATE", XCB_ATOM_ATOM,
          {atom("_NET_WM_STATE_BELOW"), atom("_NET_WM_STATE_STICKY"),
           atom("_NET_WM_STATE_SKIP_TASKBAR"), atom("_NET_WM_STATE_SKIP_PAGER")});
    set32("_NET_WM_DESKTOP", XCB_ATOM_CARDINAL, {0xffffffffu});
    set32("_NET_WM_PID", XCB_ATOM_CARDINAL, {uint32_t(getpid())});
    std::string title = "backdrop " + o.info.name;
    xcb_change_property(_c, XCB_PROP_MODE_REPLACE, o.window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        uint32_t(title.size()), title.data());
    static const char kClass[] = "backdrop\0Backdrop";
    xcb_change_property(_c, XCB_PROP_MODE_REPLACE, o.window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        sizeof kClass, kClass);
    if (!_options.input) {
        // Clicks go through to the root and the window manager, as on a bare desktop.
        if (_xfixes) {
            xcb_xfixes_region_t region = xcb_generate_id(_c);
            xcb_xfixes_create_region(_c, region, 0, nullptr);
            xcb_xfixes_set_window_shape_region(_c, o.window, XCB_SHAPE_SK_INPUT, 0, 0, region);
            xcb_xfixes_destroy_region(_c, region);
        } else {
            _warnings.push_back("no XFIXES: the desktop window takes clicks");
        }
    }
    xcb_map_window(_c, o.window);
    uint32_t below = XCB_STACK_MODE_BELOW;
    xcb_configure_window(_c, o.window, XCB_CONFIG_WINDOW_STACK_MODE, &below);
    o.filled = false;
}

void X11Backend::dropWindow(Output& o) {
    if (o.window) xcb_destroy_window(_c, o.window);
    if (o.pixmap) xcb_free_pixmap(_c, o.pixmap);
    o.window = 0;
    o.pixmap = 0;
}

xcb_window_t X11Backend::window(const std::string& output) const {
    auto it = _outputs.find(output);
    return it == _outputs.end() ? 0 : it->second.window;
}

bool X11Backend::otherDesktopWindow() {
    xcb_atom_t desktop = atom("_NET_WM_WINDOW_TYPE_DESKTOP");
    auto list = wrap(xcb_get_property_reply(
        _c, xcb_get_property(_c, 0, _root, atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW, 0, 4096),
        nullptr));
    std::vector<uint32_t> clients = items32(list.p);
    std::vector<xcb_get_property_cookie_t> cookies;
    for (uint32_t w : clients)
        cookies.push_back(
            xcb_get_property(_c, 0, w, atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 0, 16));
    bool found = false;
    for (auto& ck : cookies) {
        auto r = wrap(xcb_get_property_reply(_c, ck, nullptr));
        for (uint32_t t : items32(r.p))
            if (t == desktop) found = true;
    }
    return found;
}

std::vector<OutputInfo> X11Backend::outputs() const {
    std::vector<OutputInfo> out;
    for (const auto& [name, o] : _outputs) out.push_back(o.info);
    std::sort(out.begin(), out.end(), [](const OutputInfo& a, const OutputInfo& b) {
        return a.rect.x != b.rect.x ? a.rect.x < b.rect.x : a.rect.y < b.rect.y;
    });
    return out;
}

OutputSignals X11Backend::signals(const std::string& output) const {
    auto it = _outputs.find(output);
    if (it == _outputs.end()) return {};
    OutputSignals s = it->second.signals;
    s.off = s.off || _off;
    return s;
}

void X11Backend::recomputeSignals() {
    _signalsDirty = false;
    xcb_atom_t stateAtom = atom("_NET_WM_STATE"), typeAtom = atom("_NET_WM_WINDOW_TYPE");
    xcb_atom_t fullscreen = atom("_NET_WM_STATE_FULLSCREEN"), hidden = atom("_NET_WM_STATE_HIDDEN");
    xcb_atom_t desktop = atom("_NET_WM_WINDOW_TYPE_DESKTOP");

    // The window manager's clients, top of the stack last.
    auto list = wrap(xcb_get_property_reply(
        _c,
        xcb_get_property(_c, 0, _root, atom("_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW, 0, 4096),
        nullptr));
    std::vector<uint32_t> clients = items32(list.p);
    if (clients.empty()) {
        auto l2 = wrap(xcb_get_property_reply(
            _c, xcb_get_property(_c, 0, _root, atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW, 0, 4096),
            nullptr));
        clients = items32(l2.p);
    }
    std::set<xcb_window_t> ours;
    for (const auto& [name, o] : _outputs)
        if (o.window) ours.insert(o.window);

    struct Client {
        xcb_window_t w;
        xcb_get_property_cookie_t state, type;
        xcb_get_window_attributes_cookie_t attrs;
        xcb_get_geometry_cookie_t geo;
        xcb_translate_coordinates_cookie_t pos;
        xcb_query_tree_cookie_t tree;
    };
    std::vector<Client> cs;
    for (uint32_t w : clients) {
        if (ours.count(w)) continue;
        if (!_watched.count(w)) {
            uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
            xcb_change_window_attributes(_c, w, XCB_CW_EVENT_MASK, &mask);
            _watched.insert(w);
        }
        cs.push_back({w, xcb_get_property(_c, 0, w, stateAtom, XCB_ATOM_ATOM, 0, 64),
                      xcb_get_property(_c, 0, w, typeAtom, XCB_ATOM_ATOM, 0, 16),
                      xcb_get_window_attributes(_c, w), xcb_get_geometry(_c, w),
                      xcb_translate_coordinates(_c, w, _root, 0, 0), xcb_query_tree(_c, w)});
    }
    // The top-level windows under the root, bottom first.
    auto tree = wrap(xcb_query_tree_reply(_c, xcb_query_tree(_c, _root), nullptr));
    struct TopLevel {
        xcb_window_t w;
        xcb_get_window_attributes_cookie_t attrs;
        xcb_get_geometry_cookie_t geo;
    };
    std::vector<TopLevel> tops;
    if (tree) {
        xcb_window_t* kids = xcb_query_tree_children(tree.p);
        for (int i = 0; i < xcb_query_tree_children_length(tree.p); ++i)
            tops.push_back(
                {kids[i], xcb_get_window_attributes(_c, kids[i]), xcb_get_geometry(_c, kids[i])});
    }

    std::vector<PixelRect> fullscreenRects;
    std::set<xcb_window_t> desktopParents;  // frames that hold a desktop window (not cover)
    std::set<xcb_window_t> gone;
    for (Client& c : cs) {
        auto state = wrap(xcb_get_property_reply(_c, c.state, nullptr));
        auto type = wrap(xcb_get_property_reply(_c, c.type, nullptr));
        auto attrs = wrap(xcb_get_window_attributes_reply(_c, c.attrs, nullptr));
        auto geo = wrap(xcb_get_geometry_reply(_c, c.geo, nullptr));
        auto pos = wrap(xcb_translate_coordinates_reply(_c, c.pos, nullptr));
        auto t = wrap(xcb_query_tree_reply(_c, c.tree, nullptr));
        if (!attrs || !geo || !pos) {
            gone.insert(c.w);
            continue;
        }
        std::vector<uint32_t> types = items32(type.p);
        if (std::find(types.begin(), types.end(), desktop) != types.end()) {
            desktopParents.insert(c.w);
            if (t && t->parent != _root) desktopParents.insert(t->parent);
            continue;
        }
        std::vector<uint32_t> st = items32(state.p);
        bool isFull = std::find(st.begin(), st.end(), fullscreen) != st.end();
        bool isHidden = std::find(st.begin(), st.end(), hidden) != st.end();
        if (isFull && !isHidden && attrs->map_state == XCB_MAP_STATE_VIEWABLE)
            fullscreenRects.push_back({pos->dst_x, pos->dst_y, geo->width, geo->height});
    }
    for (xcb_window_t w : gone) _watched.erase(w);

    std::vector<PixelRect> covering;
    for (TopLevel& t : tops) {
        auto attrs = wrap(xcb_get_window_attributes_reply(_c, t.attrs, nullptr));
        auto geo = wrap(xcb_get_geometry_reply(_c, t.geo, nullptr));
        if (!attrs || !geo || attrs->map_state != XCB_MAP_STATE_VIEWABLE ||
            attrs->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT || ours.count(t.w) ||
            desktopParents.count(t.w))
            continue;
        covering.push_back({geo->x, geo->y, geo->width + 2 * geo->border_width,
                            geo->height + 2 * geo->border_width});
    }

    for (auto& [name, o] : _outputs) {
        OutputSignals s;
        const PixelRect& r = o.info.rect;
        long area = long(r.width) * r.height;
        for (const PixelRect& f : fullscreenRects) {
            PixelRect i = intersect(f, r);
            if (!i.empty() && 2 * long(i.width) * i.height >= area) s.fullscreen = true;
        }
        s.covered = covers(covering, r);
        o.signals = s;
    }
}

void X11Backend::setIdleAfter(double seconds) {
    _idleAfter = std::max(0.0, seconds);
    _nextIdleCheck = 0;
    readIdle();
}

void X11Backend::readIdle() {
    double now = monotonicSeconds();
    bool idle = false, off = false;
    double next = now + 60;
    if (_saver) {
        auto info = wrap(
            xcb_screensaver_query_info_reply(_c, xcb_screensaver_query_info(_c, _root), nullptr));
        if (info) {
            double sinceInput = info->ms_since_user_input / 1000.0;
            off = info->state == XCB_SCREENSAVER_STATE_ON;
            if (_idleAfter > 0) {
                // Input since the session went idle ends the idle time even when the pointer
                // has been still again for longer than the threshold by the time we look.
                double lastInput = now - sinceInput;
                bool activity = _idle && lastInput > _idleSince + 0.01;
                idle = !activity && sinceInput >= _idleAfter;
                if (idle && !_idle) _idleSince = now;
                // While idle, input can come any moment: look once a second. Before that, look
                // when the idle time can first have been reached.
                next = idle ? now + std::min(1.0, _idleAfter / 2)
                            : std::max(now + 0.05, lastInput + _idleAfter);
            }
        }
    }
    if (_dpms) {
        auto info = wrap(xcb_dpms_info_reply(_c, xcb_dpms_info(_c), nullptr));
        if (info && info->state && info->power_level != XCB_DPMS_DPMS_MODE_ON) off = true;
        if (idle || off) next = std::min(next, now + 1);
    }
    if (off) next = std::min(next, now + 1);
    _nextIdleCheck = next;
    if (idle != _idle || off != _off) {
        _idle = idle;
        _off = off;
        _queued.push_back(BackendEvent(BackendEvent::Kind::SignalsChanged));
    }
}

std::vector<int> X11Backend::fds() const {
    return {xcb_get_file_descriptor(_c)};
}

int X11Backend::timeoutMs() const {
    if (!_queued.empty() || _signalsDirty) return 0;
    if (!_saver && !_dpms) return -1;
    double left = _nextIdleCheck - monotonicSeconds();
    return int(std::clamp(std::ceil(left * 1000), 0.0, 60000.0));
}

void X11Backend::completed(Output& o, std::vector<BackendEvent>* events) {
    if (o.pending < 0) return;
    // The server has read the buffer: show the new picture where it changed.
    if (o.window)
        for (const xcb_rectangle_t& r : o.pendingClear)
            xcb_clear_area(_c, 0, o.window, r.x, r.y, r.width, r.height);
    o.pendingClear.clear();
    BackendEvent e{BackendEvent::Kind::Presented};
    e.output = o.info.name;
    e.buffer = o.pending;
    o.pending = -1;
    o.pendingSegment = 0;
    events->push_back(e);
}

std::vector<BackendEvent> X11Backend::dispatch() {
    std::vector<BackendEvent> events;
    events.swap(_queued);
    bool outputsDirty = false;
    int pressX = -1, pressY = -1;
    xcb_window_t pressWindow = 0;
    while (xcb_generic_event_t* ev = xcb_poll_for_event(_c)) {
        uint8_t type = ev->response_type & 0x7f;
        if (type == 0) {
            auto* err = reinterpret_cast<xcb_generic_error_t*>(ev);
            // A put the server refused never completes: free its output again.
            for (auto& [name, o] : _outputs)
                if (o.pending >= 0 && err->full_sequence == o.pendingSequence)
                    completed(o, &events);
        } else if (type == _shmEvent + XCB_SHM_COMPLETION) {
            auto* c = reinterpret_cast<xcb_shm_completion_event_t*>(ev);
            for (auto& [name, o] : _outputs)
                if (o.pending >= 0 && o.pendingSegment == c->shmseg) completed(o, &events);
        } else if (_randr15 && (type == _randrEvent + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                type == _randrEvent + XCB_RANDR_NOTIFY)) {
            outputsDirty = true;
        } else {
            switch (type) {
                case XCB_CONFIGURE_NOTIFY: {
                    auto* c = reinterpret_cast<xcb_configure_notify_event_t*>(ev);
                    if (c->window == _root) outputsDirty = true;
                    _signalsDirty = true;
                    break;
                }
                case XCB_MAP_NOTIFY:
                case XCB_UNMAP_NOTIFY:
                case XCB_CREATE_NOTIFY:
                case XCB_REPARENT_NOTIFY:
                case XCB_CIRCULATE_NOTIFY:
                case XCB_GRAVITY_NOTIFY:
                    _signalsDirty = true;
                    break;
                case XCB_DESTROY_NOTIFY: {
                    auto* d = reinterpret_cast<xcb_destroy_notify_event_t*>(ev);
                    _watched.erase(d->window);
                    _signalsDirty = true;
                    break;
                }
                case XCB_PROPERTY_NOTIFY: {
                    auto* p = reinterpret_cast<xcb_property_notify_event_t*>(ev);
                    if (p->atom == atom("_NET_CLIENT_LIST_STACKING") ||
                        p->atom == atom("_NET_CLIENT_LIST") || p->atom == atom("_NET_WM_STATE") ||
                        p->atom == atom("_NET_WM_WINDOW_TYPE"))
                        _signalsDirty = true;
                    break;
                }
                case XCB_BUTTON_PRESS: {
                    auto* b = reinterpret_cast<xcb_button_press_event_t*>(ev);
                    if (b->detail == 1) {
                        pressX = b->root_x;
                        pressY = b->root_y;
                        pressWindow = b->event;
                    }
                    break;
                }
                case XCB_BUTTON_RELEASE: {
                    auto* b = reinterpret_cast<xcb_button_release_event_t*>(ev);
                    // A click: the left button pressed and released on the background, without
                    // a drag, and on the background itself (not on a child window).
                    if (b->detail == 1 && b->child == XCB_NONE && b->event == pressWindow &&
                        std::abs(b->root_x - pressX) <= 4 && std::abs(b->root_y - pressY) <= 4)
                        for (auto& [name, o] : _outputs)
                            if (o.info.rect.contains(b->root_x, b->root_y)) {
                                BackendEvent e{BackendEvent::Kind::Click};
                                e.output = name;
                                e.x = b->root_x - o.info.rect.x;
                                e.y = b->root_y - o.info.rect.y;
                                events.push_back(e);
                            }
                    pressWindow = 0;
                    break;
                }
                default:
                    break;
            }
        }
        std::free(ev);
    }
    if (xcb_connection_has_error(_c)) {
        BackendEvent e{BackendEvent::Kind::Lost};
        e.text = "the X11 connection to " + _displayName + " was lost";
        events.push_back(e);
        return events;
    }
    if (outputsDirty && updateOutputs())
        events.push_back(BackendEvent(BackendEvent::Kind::OutputsChanged));
    if (_signalsDirty) {
        std::map<std::string, OutputSignals> before;
        for (auto& [name, o] : _outputs) before[name] = o.signals;
        recomputeSignals();
        bool changed = false;
        for (auto& [name, o] : _outputs)
            if (!(before[name] == o.signals)) changed = true;
        if (changed) events.push_back(BackendEvent(BackendEvent::Kind::SignalsChanged));
    }
    if (monotonicSeconds() >= _nextIdleCheck && (_saver || _dpms)) {
        readIdle();
        for (auto& e : _queued) events.push_back(e);
        _queued.clear();
    }
    xcb_flush(_c);
    return events;
}

int X11Backend::addBuffer(int fd, const uint8_t* pixels, int width, int height, size_t stride,
                          std::string* error) {
    if (width <= 0 || height <= 0 || stride < size_t(width) * 4 || stride % 4 != 0 ||
        width > 32767 || height > 32767) {
        *error = "a buffer of an unusable size";
        return -1;
    }
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) {
        *error = std::string("cannot duplicate a buffer descriptor: ") + std::strerror(errno);
        return -1;
    }
    Buffer b;
    b.segment = xcb_generate_id(_c);
    b.pixels = pixels;
    b.width = width;
    b.height = height;
    b.stride = stride;
    // xcb closes the descriptor once it has been sent.
    auto err = xcb_request_check(_c, xcb_shm_attach_fd_checked(_c, b.segment, copy, 1));
    if (err) {
        std::free(err);
        *error = "the X11 server refused a shared buffer";
        return -1;
    }
    int id = _nextBuffer++;
    _buffers[id] = b;
    return id;
}

void X11Backend::removeBuffer(int id) {
    auto it = _buffers.find(id);
    if (it == _buffers.end()) return;
    for (auto& [name, o] : _outputs)
        if (o.pending == id) {
            // Detaching waits for nothing: the server finishes a request before the next, so
            // the put ahead of the detach has read the pixels by the time they go away; the
            // window shows them after the put as well.
            if (o.window)
                for (const xcb_rectangle_t& r : o.pendingClear)
                    xcb_clear_area(_c, 0, o.window, r.x, r.y, r.width, r.height);
            o.pendingClear.clear();
            o.pending = -1;
        }
    xcb_shm_detach(_c, it->second.segment);
    _buffers.erase(it);
    xcb_flush(_c);
}

xcb_drawable_t X11Backend::target(const Output& o, int* originX, int* originY) const {
    if (o.window) {
        *originX = *originY = 0;
        return o.pixmap;
    }
    *originX = o.info.rect.x;
    *originY = o.info.rect.y;
    return _rootPixmap;
}

bool X11Backend::present(const std::string& output, int buffer, const Placement& placement,
                         const std::vector<PixelRect>& damage, std::string* error) {
    auto oit = _outputs.find(output);
    auto bit = _buffers.find(buffer);
    if (oit == _outputs.end() || bit == _buffers.end()) {
        *error = "no such output or buffer";
        return false;
    }
    Output& o = oit->second;
    const Buffer& b = bit->second;
    if (o.pending >= 0) {
        *error = "a frame is still on its way to the server";
        return false;
    }
    o.pendingClear.clear();
    int ox = 0, oy = 0;
    xcb_drawable_t drawable = target(o, &ox, &oy);
    if (!drawable) {
        *error = "the output has nothing to draw into";
        return false;
    }
    const PixelRect outRect{0, 0, o.info.rect.width, o.info.rect.height};
    std::vector<PixelRect> dmg = damage;
    if (!o.filled || !(o.placement == placement)) {
        // A new placement: paint the background where the picture does not reach, and send all
        // of the picture.
        o.placement = placement;
        o.filled = true;
        PixelRect pic{placement.x, placement.y, placement.width, placement.height};
        uint32_t pixel = pixelOf(placement.background);
        xcb_change_gc(_c, _gc, XCB_GC_FOREGROUND, &pixel);
        std::vector<xcb_rectangle_t> bands;
        for (const PixelRect& r : subtract(outRect, pic))
            bands.push_back(
                {int16_t(r.x + ox), int16_t(r.y + oy), uint16_t(r.width), uint16_t(r.height)});
        if (!bands.empty()) {
            xcb_poly_fill_rectangle(_c, drawable, _gc, uint32_t(bands.size()), bands.data());
            if (!o.window)
                for (const xcb_rectangle_t& r : bands)
                    xcb_clear_area(_c, 0, _root, r.x, r.y, r.width, r.height);
            else
                o.pendingClear = bands;
        }
        dmg.clear();
    }
    if (dmg.empty()) dmg.push_back({0, 0, b.width, b.height});

    // The rectangles to send, in the segment's pixels, and where each lands in the output.
    struct Put {
        PixelRect src;
        int dx, dy;
    };
    std::vector<Put> puts;
    uint32_t segment = b.segment;
    int totalWidth = int(b.stride / 4), totalHeight = b.height;
    if (placement.stretch && (placement.width != b.width || placement.height != b.height)) {
        if (!o.scratch || o.scratch->width != placement.width ||
            o.scratch->height != placement.height) {
            auto s = std::make_unique<Scratch>();
            s->c = _c;
            s->width = placement.width;
            s->height = placement.height;
            s->size = size_t(s->width) * 4 * size_t(s->height);
            s->fd = memfd_create("backdrop-stretch", MFD_CLOEXEC);
            if (s->fd < 0 || ftruncate(s->fd, off_t(s->size)) != 0) {
                *error = "cannot make a buffer for stretched frames";
                return false;
            }
            void* p = mmap(nullptr, s->size, PROT_READ | PROT_WRITE, MAP_SHARED, s->fd, 0);
            if (p == MAP_FAILED) {
                *error = "cannot map a buffer for stretched frames";
                return false;
            }
            s->pixels = static_cast<uint8_t*>(p);
            int copy = fcntl(s->fd, F_DUPFD_CLOEXEC, 3);
            s->segment = xcb_generate_id(_c);
            xcb_shm_attach_fd(_c, s->segment, copy, 1);
            o.scratch = std::move(s);
        }
        Scratch& s = *o.scratch;
        pixman_image_t* src = pixman_image_create_bits(
            PIXMAN_a8r8g8b8, b.width, b.height,
            reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(b.pixels)), int(b.stride));
        pixman_image_t* dst = pixman_image_create_bits(
            PIXMAN_a8r8g8b8, s.width, s.height, reinterpret_cast<uint32_t*>(s.pixels), s.width * 4);
        pixman_transform_t t;
        pixman_transform_init_scale(&t, pixman_double_to_fixed(double(b.width) / s.width),
                                    pixman_double_to_fixed(double(b.height) / s.height));
        pixman_image_set_transform(src, &t);
        pixman_image_set_filter(src, PIXMAN_FILTER_BILINEAR, nullptr, 0);
        pixman_image_set_repeat(src, PIXMAN_REPEAT_PAD);
        std::vector<PixelRect> scaled;
        for (const PixelRect& r : dmg) {
            // The destination pixels whose bilinear samples may read the damaged ones.
            double sx = double(s.width) / b.width, sy = double(s.height) / b.height;
            PixelRect d{int(std::floor(r.x * sx)) - 1, int(std::floor(r.y * sy)) - 1, 0, 0};
            d.width = int(std::ceil(r.right() * sx)) + 1 - d.x;
            d.height = int(std::ceil(r.bottom() * sy)) + 1 - d.y;
            d = intersect(d, {0, 0, s.width, s.height});
            if (d.empty()) continue;
            pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, d.x, d.y, 0, 0, d.x, d.y,
                                     d.width, d.height);
            scaled.push_back(d);
        }
        pixman_image_unref(src);
        pixman_image_unref(dst);
        dmg = scaled;
        segment = s.segment;
        totalWidth = s.width;
        totalHeight = s.height;
    }
    for (const PixelRect& r : dmg) {
        PixelRect src = intersect(r, {0, 0, totalWidth, totalHeight});
        // Clip to the output: buffer pixel (x, y) lands at placement + (x, y).
        PixelRect onOut =
            intersect({src.x + placement.x, src.y + placement.y, src.width, src.height}, outRect);
        if (onOut.empty()) continue;
        puts.push_back({{onOut.x - placement.x, onOut.y - placement.y, onOut.width, onOut.height},
                        onOut.x + ox,
                        onOut.y + oy});
    }
    o.pending = buffer;
    o.pendingSegment = segment;
    if (o.window)
        for (const Put& p : puts)
            o.pendingClear.push_back(
                {int16_t(p.dx), int16_t(p.dy), uint16_t(p.src.width), uint16_t(p.src.height)});
    if (puts.empty()) {
        std::vector<BackendEvent> events;
        completed(o, &events);
        for (auto& e : events) _queued.push_back(e);
        return true;
    }
    for (size_t i = 0; i < puts.size(); ++i) {
        const Put& p = puts[i];
        bool last = i + 1 == puts.size();
        // Only the last put asks for a completion event: the server handles requests in order,
        // so when it has done the last it has read every rectangle.
        xcb_void_cookie_t ck = xcb_shm_put_image(
            _c, drawable, _gc, uint16_t(totalWidth), uint16_t(totalHeight), uint16_t(p.src.x),
            uint16_t(p.src.y), uint16_t(p.src.width), uint16_t(p.src.height), int16_t(p.dx),
            int16_t(p.dy), _depth, XCB_IMAGE_FORMAT_Z_PIXMAP, last ? 1 : 0, segment, 0);
        if (last) o.pendingSequence = ck.sequence;
    }
    if (!o.window) {
        // The root shows its background pixmap again where it changed.
        for (const Put& p : puts)
            xcb_clear_area(_c, 0, _root, int16_t(p.dx), int16_t(p.dy), uint16_t(p.src.width),
                           uint16_t(p.src.height));
    }
    xcb_flush(_c);
    return true;
}

std::vector<std::string> X11Backend::takeWarnings() {
    std::vector<std::string> out;
    out.swap(_warnings);
    return out;
}

}  // namespace host::desktop
