// A Wayland window that takes the keyboard focus and prints every key press it receives, one
// line each: "<modifier state> <keysym name>", as the X11 observer does (Shift 1, Control 4,
// Mod1 8, Mod4 64), and what the pointer does over it: "motion X Y" (in the window, where it
// entered too),
// "button CODE press|release", "axis AXIS VALUE". Prints "ready" once it holds the focus.
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstring>

#include "xdg-shell-client-protocol.h"

namespace {

constexpr int DEFAULT_WIDTH = 200, DEFAULT_HEIGHT = 100;
constexpr unsigned REPORTED_MODIFIERS = 1 | 4 | 8 | 64;

struct Observer {
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* shell = nullptr;
    wl_seat* seat = nullptr;
    wl_keyboard* keyboard = nullptr;
    wl_pointer* pointer = nullptr;
    wl_surface* surface = nullptr;
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    xkb_keymap* keymap = nullptr;
    xkb_state* state = nullptr;
    unsigned modifiers = 0;
    bool ready = false;
    // The size the compositor asked for: sway centres a smaller window in its tile, and the
    // pointer's positions are only the test's own when the window starts where the output does.
    int width = DEFAULT_WIDTH;
    int height = DEFAULT_HEIGHT;
};

void say(const char* line) {
    std::puts(line);
    std::fflush(stdout);
}

wl_buffer* whiteBuffer(wl_shm* shm, int width, int height) {
    const int stride = width * 4, size = stride * height;
    const int fd = memfd_create("observer", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, size) != 0) {
        return nullptr;
    }
    void* pixels = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    std::memset(pixels, 0xFF, size);
    munmap(pixels, size);
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, size);
    wl_buffer* buffer =
        wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    return buffer;
}

void onKeymap(void* data, wl_keyboard*, uint32_t, int32_t fd, uint32_t size) {
    auto* o = static_cast<Observer*>(data);
    auto* text = static_cast<char*>(mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0));
    close(fd);
    if (text == MAP_FAILED) {
        return;
    }
    xkb_keymap* keymap = xkb_keymap_new_from_string(o->context, text, XKB_KEYMAP_FORMAT_TEXT_V1,
                                                    XKB_KEYMAP_COMPILE_NO_FLAGS);
    munmap(text, size);
    if (!keymap) {
        say("bad keymap");
        return;
    }
    xkb_state_unref(o->state);
    xkb_keymap_unref(o->keymap);
    o->keymap = keymap;
    o->state = xkb_state_new(keymap);
}

void onEnter(void* data, wl_keyboard*, uint32_t, wl_surface*, wl_array*) {
    auto* o = static_cast<Observer*>(data);
    if (!o->ready) {
        o->ready = true;
        say("ready");
    }
}

void onLeave(void*, wl_keyboard*, uint32_t, wl_surface*) {}

void onKey(void* data, wl_keyboard*, uint32_t, uint32_t, uint32_t key, uint32_t pressed) {
    auto* o = static_cast<Observer*>(data);
    if (!pressed || !o->state) {
        return;
    }
    char name[64] = "?";
    xkb_keysym_get_name(xkb_state_key_get_one_sym(o->state, key + 8), name, sizeof name);
    std::printf("%u %s\n", o->modifiers & REPORTED_MODIFIERS, name);
    std::fflush(stdout);
}

void onModifiers(void* data, wl_keyboard*, uint32_t, uint32_t depressed, uint32_t latched,
                 uint32_t locked, uint32_t group) {
    auto* o = static_cast<Observer*>(data);
    o->modifiers = depressed | latched | locked;
    if (o->state) {
        xkb_state_update_mask(o->state, depressed, latched, locked, 0, 0, group);
    }
}

void onRepeatInfo(void*, wl_keyboard*, int32_t, int32_t) {}

const wl_keyboard_listener KEYBOARD = {onKeymap, onEnter,     onLeave,
                                       onKey,    onModifiers, onRepeatInfo};

// Where the pointer came in is a position like any other.
void onPointerEnter(void*, wl_pointer*, uint32_t, wl_surface*, wl_fixed_t x, wl_fixed_t y) {
    std::printf("motion %g %g\n", wl_fixed_to_double(x), wl_fixed_to_double(y));
    std::fflush(stdout);
}
void onPointerLeave(void*, wl_pointer*, uint32_t, wl_surface*) {}
void onMotion(void*, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
    std::printf("motion %g %g\n", wl_fixed_to_double(x), wl_fixed_to_double(y));
    std::fflush(stdout);
}
void onButton(void*, wl_pointer*, uint32_t, uint32_t, uint32_t button, uint32_t state) {
    std::printf("button %u %s\n", button, state ? "press" : "release");
    std::fflush(stdout);
}
void onAxis(void*, wl_pointer*, uint32_t, uint32_t axis, wl_fixed_t value) {
    std::printf("axis %u %g\n", axis, wl_fixed_to_double(value));
    std::fflush(stdout);
}
void onFrame(void*, wl_pointer*) {}
void onAxisSource(void*, wl_pointer*, uint32_t) {}
void onAxisStop(void*, wl_pointer*, uint32_t, uint32_t) {}
void onAxisDiscrete(void*, wl_pointer*, uint32_t, int32_t) {}
const wl_pointer_listener POINTER = {onPointerEnter, onPointerLeave, onMotion,     onButton,
                                     onAxis,         onFrame,        onAxisSource, onAxisStop,
                                     onAxisDiscrete, nullptr};

void onCapabilities(void* data, wl_seat* seat, uint32_t capabilities) {
    auto* o = static_cast<Observer*>(data);
    if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !o->keyboard) {
        o->keyboard = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(o->keyboard, &KEYBOARD, o);
    }
    if ((capabilities & WL_SEAT_CAPABILITY_POINTER) && !o->pointer) {
        o->pointer = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(o->pointer, &POINTER, o);
    }
}
void onSeatName(void*, wl_seat*, const char*) {}
const wl_seat_listener SEAT = {onCapabilities, onSeatName};

void onPing(void*, xdg_wm_base* shell, uint32_t serial) {
    xdg_wm_base_pong(shell, serial);
}
const xdg_wm_base_listener SHELL = {onPing};

void onSurfaceConfigure(void* data, xdg_surface* surface, uint32_t serial) {
    auto* o = static_cast<Observer*>(data);
    xdg_surface_ack_configure(surface, serial);
    wl_surface_attach(o->surface, whiteBuffer(o->shm, o->width, o->height), 0, 0);
    wl_surface_commit(o->surface);
}
const xdg_surface_listener SURFACE = {onSurfaceConfigure};

void onToplevelConfigure(void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
    auto* o = static_cast<Observer*>(data);
    if (width > 0 && height > 0) {
        o->width = width;
        o->height = height;
    }
}
void onToplevelClose(void*, xdg_toplevel*) {}
const xdg_toplevel_listener TOPLEVEL = {onToplevelConfigure, onToplevelClose, nullptr, nullptr};

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
    auto* o = static_cast<Observer*>(data);
    if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
        o->compositor = static_cast<wl_compositor*>(
            wl_registry_bind(registry, name, &wl_compositor_interface, 4));
    } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
        o->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
        o->shell =
            static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
        xdg_wm_base_add_listener(o->shell, &SHELL, o);
    } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && !o->seat) {
        o->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 4));
        wl_seat_add_listener(o->seat, &SEAT, o);
    }
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener REGISTRY = {onGlobal, onGlobalRemove};

}  // namespace

int main() {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        say("no display");
        return 1;
    }
    Observer o;
    wl_registry_add_listener(wl_display_get_registry(display), &REGISTRY, &o);
    wl_display_roundtrip(display);
    if (!o.compositor || !o.shm || !o.shell || !o.seat) {
        say("missing globals");
        return 1;
    }
    o.surface = wl_compositor_create_surface(o.compositor);
    xdg_surface* surface = xdg_wm_base_get_xdg_surface(o.shell, o.surface);
    xdg_surface_add_listener(surface, &SURFACE, &o);
    xdg_toplevel* toplevel = xdg_surface_get_toplevel(surface);
    xdg_toplevel_add_listener(toplevel, &TOPLEVEL, &o);
    xdg_toplevel_set_title(toplevel, "key observer");
    wl_surface_commit(o.surface);
    while (wl_display_dispatch(display) != -1) {
    }
    return 0;
}
