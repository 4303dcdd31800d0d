// bdtest_toplevel APP_ID: the smallest Wayland window the desktop tests need, so that they
// depend on no terminal or toolkit. One xdg toplevel with the given app id, filled with one
// colour at whatever size the compositor configures (a fullscreen request included). Prints
// "shown" once its first buffer is committed; runs until killed or closed.

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdio>
#include <cstring>

#include "xdg-shell-client-protocol.h"

namespace {

struct App {
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* wm = nullptr;
    wl_surface* surface = nullptr;
    int width = 0, height = 0;  // from the toplevel's configure (0: ours to choose)
    bool shown = false;
    bool closed = false;
};

void global(void* data, wl_registry* r, uint32_t name, const char* interface, uint32_t version) {
    auto* app = static_cast<App*>(data);
    if (std::strcmp(interface, wl_compositor_interface.name) == 0)
        app->compositor =
            static_cast<wl_compositor*>(wl_registry_bind(r, name, &wl_compositor_interface, 4));
    else if (std::strcmp(interface, wl_shm_interface.name) == 0)
        app->shm = static_cast<wl_shm*>(wl_registry_bind(r, name, &wl_shm_interface, 1));
    else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0)
        app->wm = static_cast<xdg_wm_base*>(
            wl_registry_bind(r, name, &xdg_wm_base_interface, version < 2 ? version : 2));
}
void globalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistry{global, globalRemove};

void ping(void*, xdg_wm_base* wm, uint32_t serial) {
    xdg_wm_base_pong(wm, serial);
}
const xdg_wm_base_listener kWm{ping};

void released(void*, wl_buffer* b) {
    wl_buffer_destroy(b);
}
const wl_buffer_listener kBuffer{released};

// A buffer of the window's size in one colour.
wl_buffer* paint(App& app, int w, int h) {
    size_t size = size_t(w) * size_t(h) * 4;
    int fd = memfd_create("bdtest-toplevel", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, off_t(size)) != 0) return nullptr;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    auto* px = static_cast<uint32_t*>(p);
    for (size_t i = 0; i < size / 4; ++i) px[i] = 0xff3060c0;
    munmap(p, size);
    wl_shm_pool* pool = wl_shm_create_pool(app.shm, fd, int32_t(size));
    wl_buffer* b = wl_shm_pool_create_buffer(pool, 0, w, h, w * 4, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    wl_buffer_add_listener(b, &kBuffer, nullptr);
    return b;
}

void surfaceConfigure(void* data, xdg_surface* xs, uint32_t serial) {
    auto* app = static_cast<App*>(data);
    xdg_surface_ack_configure(xs, serial);
    int w = app->width > 0 ? app->width : 200, h = app->height > 0 ? app->height : 150;
    wl_buffer* b = paint(*app, w, h);
    if (!b) return;
    wl_surface_attach(app->surface, b, 0, 0);
    wl_surface_damage_buffer(app->surface, 0, 0, w, h);
    wl_surface_commit(app->surface);
    if (!app->shown) {
        app->shown = true;
        std::printf("shown\n");
        std::fflush(stdout);
    }
}
const xdg_surface_listener kSurface{surfaceConfigure};

void toplevelConfigure(void* data, xdg_toplevel*, int32_t w, int32_t h, wl_array*) {
    auto* app = static_cast<App*>(data);
    app->width = w;
    app->height = h;
}
void toplevelClose(void* data, xdg_toplevel*) {
    static_cast<App*>(data)->closed = true;
}
void toplevelBounds(void*, xdg_toplevel*, int32_t, int32_t) {}
void toplevelCapabilities(void*, xdg_toplevel*, wl_array*) {}
const xdg_toplevel_listener kToplevel{toplevelConfigure, toplevelClose, toplevelBounds,
                                      toplevelCapabilities};

}  // namespace

int main(int argc, char** argv) {
    const char* appId = argc > 1 ? argv[1] : "bdtest";
    wl_display* d = wl_display_connect(nullptr);
    if (!d) {
        std::fprintf(stderr, "bdtest_toplevel: no Wayland display\n");
        return 1;
    }
    App app;
    wl_registry* r = wl_display_get_registry(d);
    wl_registry_add_listener(r, &kRegistry, &app);
    wl_display_roundtrip(d);
    if (!app.compositor || !app.shm || !app.wm) {
        std::fprintf(stderr, "bdtest_toplevel: the compositor lacks xdg-shell\n");
        return 1;
    }
    xdg_wm_base_add_listener(app.wm, &kWm, nullptr);
    app.surface = wl_compositor_create_surface(app.compositor);
    xdg_surface* xs = xdg_wm_base_get_xdg_surface(app.wm, app.surface);
    xdg_surface_add_listener(xs, &kSurface, &app);
    xdg_toplevel* top = xdg_surface_get_toplevel(xs);
    xdg_toplevel_add_listener(top, &kToplevel, &app);
    xdg_toplevel_set_app_id(top, appId);
    xdg_toplevel_set_title(top, appId);
    wl_surface_commit(app.surface);
    while (!app.closed && wl_display_dispatch(d) >= 0) {
    }
    wl_display_disconnect(d);
    return 0;
}
