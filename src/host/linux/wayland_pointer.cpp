#include <wayland-client.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

#include "common/log.hpp"
#include "host/linux/pointers.hpp"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace td::host {
namespace {

constexpr std::uint32_t AXIS_VERTICAL = 0, AXIS_HORIZONTAL = 1;  // wl_pointer's axes
constexpr std::uint32_t AXIS_SOURCE_FINGER = 1;                  // scrolled on a touchpad, smoothly

std::uint32_t milliseconds() {
    using namespace std::chrono;
    return static_cast<std::uint32_t>(
        duration_cast<std::chrono::milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// wlroots compositors: a virtual pointer of our own on the compositor's seat, kept for the
// agent's life. Its motion is relative and passes no acceleration (only the compositor's
// physical devices get libinput's), and its scrolling is smooth.
class VirtualPointer final : public Pointer {
  public:
    ~VirtualPointer() override { disconnectLocked(); }

    bool connect() {
        std::lock_guard lock(mutex_);
        return connectLocked();
    }

    PointerBackend backend() const override { return PointerBackend::virtualPointer; }
    bool trusted() override {
        std::unique_lock lock(mutex_, std::try_to_lock);
        return lock ? usableLocked() : usable_.load();
    }
    bool requestAccess() override {  // the protocol asks nobody
        std::lock_guard lock(mutex_);
        return usableLocked();
    }

    bool apply(const std::vector<PointerEvent>& events) override {
        std::lock_guard lock(mutex_);
        if (!usableLocked()) {
            return false;
        }
        for (const PointerEvent& event : events) {
            const std::uint32_t time = milliseconds();
            switch (event.kind) {
                case PointerEvent::Kind::move:
                    zwlr_virtual_pointer_v1_motion(pointer_, time, wl_fixed_from_double(event.dx),
                                                   wl_fixed_from_double(event.dy));
                    break;
                case PointerEvent::Kind::button:
                    if (event.action != ButtonAction::up) {
                        zwlr_virtual_pointer_v1_button(pointer_, time, evdevButton(event.button),
                                                       WL_POINTER_BUTTON_STATE_PRESSED);
                    }
                    if (event.action != ButtonAction::down) {
                        zwlr_virtual_pointer_v1_button(pointer_, time, evdevButton(event.button),
                                                       WL_POINTER_BUTTON_STATE_RELEASED);
                    }
                    break;
                case PointerEvent::Kind::scroll:
                    zwlr_virtual_pointer_v1_axis_source(pointer_, AXIS_SOURCE_FINGER);
                    if (event.dy != 0) {
                        zwlr_virtual_pointer_v1_axis(pointer_, time, AXIS_VERTICAL,
                                                     wl_fixed_from_double(event.dy));
                    }
                    if (event.dx != 0) {
                        zwlr_virtual_pointer_v1_axis(pointer_, time, AXIS_HORIZONTAL,
                                                     wl_fixed_from_double(event.dx));
                    }
                    break;
            }
            zwlr_virtual_pointer_v1_frame(pointer_);
        }
        return wl_display_flush(display_) >= 0;
    }

    std::string unavailableText() override {
        return "Tapdeck lost the connection to the Wayland compositor.";
    }

  private:
    static void onGlobal(void* data, wl_registry* registry, std::uint32_t name,
                         const char* interface, std::uint32_t) noexcept {
        auto* self = static_cast<VirtualPointer*>(data);
        if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->seat_) {
            self->seat_ =
                static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        } else if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
            self->manager_ = static_cast<zwlr_virtual_pointer_manager_v1*>(
                wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
        }
    }
    static void onGlobalRemoved(void*, wl_registry*, std::uint32_t) noexcept {}

    bool connectLocked() {
        display_ = wl_display_connect(nullptr);
        if (!display_) {
            TD_LOG(keys, "cannot connect to the Wayland compositor for a pointer");
            return false;
        }
        static const wl_registry_listener LISTENER = {onGlobal, onGlobalRemoved};
        registry_ = wl_display_get_registry(display_);
        wl_registry_add_listener(registry_, &LISTENER, this);
        if (wl_display_roundtrip(display_) < 0 || !seat_ || !manager_) {
            TD_LOG(keys, "the Wayland compositor offers no virtual pointer");
            disconnectLocked();
            return false;
        }
        pointer_ = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager_, seat_);
        if (wl_display_roundtrip(display_) < 0) {
            TD_LOG(keys, "the Wayland compositor refused our virtual pointer");
            disconnectLocked();
            return false;
        }
        return true;
    }

    void disconnectLocked() {
        if (pointer_) {
            zwlr_virtual_pointer_v1_destroy(pointer_);
        }
        if (manager_) {
            zwlr_virtual_pointer_manager_v1_destroy(manager_);
        }
        if (seat_) {
            wl_seat_destroy(seat_);
        }
        if (registry_) {
            wl_registry_destroy(registry_);
        }
        if (display_) {
            wl_display_disconnect(display_);
        }
        pointer_ = nullptr;
        manager_ = nullptr;
        seat_ = nullptr;
        registry_ = nullptr;
        display_ = nullptr;
    }

    bool usableLocked() {
        if (!display_ || wl_display_get_error(display_) != 0) {
            disconnectLocked();
            connectLocked();
        }
        usable_ = display_ != nullptr;
        return usable_;
    }

    std::mutex mutex_;
    std::atomic<bool> usable_{false};
    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_seat* seat_ = nullptr;
    zwlr_virtual_pointer_manager_v1* manager_ = nullptr;
    zwlr_virtual_pointer_v1* pointer_ = nullptr;
};

}  // namespace

std::unique_ptr<Pointer> makeVirtualPointer() {
    auto pointer = std::make_unique<VirtualPointer>();
    return pointer->connect() ? std::move(pointer) : nullptr;
}

}  // namespace td::host
