#pragma once

#include <linux/input-event-codes.h>

#include <cstdint>
#include <memory>

#include "host/pointer.hpp"

// The Linux pointers, each named after its technology; chooseInput picks one at start.
namespace td::host {

// Where a backend has only a wheel, a two-finger move of this many pixels turns it one step.
inline constexpr double SCROLL_STEP_PIXELS = 40;
// Wheel steps one scroll event turns at most, each way: more than a frame of the fastest swipe,
// and a bound on the work one event costs (the rest of a larger value is dropped).
inline constexpr int MAX_WHEEL_STEPS = 5;

// A button's evdev code, as Wayland and the portal name buttons.
inline std::uint32_t evdevButton(Button button) {
    switch (button) {
        case Button::left:
            return BTN_LEFT;
        case Button::middle:
            return BTN_MIDDLE;
        case Button::right:
            return BTN_RIGHT;
    }
    return BTN_LEFT;
}

std::unique_ptr<Pointer> makeXTestPointer();

// Nothing when WAYLAND_DISPLAY cannot be reached or its compositor lacks the virtual-pointer
// protocol.
std::unique_ptr<Pointer> makeVirtualPointer();

}  // namespace td::host
