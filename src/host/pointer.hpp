#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.hpp"

namespace td::host {

// How the pointer is driven: XTest on X11; on Wayland the desktop's RemoteDesktop portal (GNOME,
// KDE), or the wlroots virtual-pointer protocol (sway).
enum class PointerBackend { none, xtest, portal, virtualPointer };
std::string_view backendName(PointerBackend backend);

enum class Button { left, right, middle };
enum class ButtonAction { down, up, click };

// One thing a touchpad did. Moves and scrolls are in screen pixels, as the phone computed them
// (its speed and acceleration applied): the pointer moves by exactly that, and scrolling by
// positive `dy` goes down, positive `dx` right.
struct PointerEvent {
    enum class Kind { move, button, scroll };
    Kind kind = Kind::move;
    double dx = 0;
    double dy = 0;
    Button button = Button::left;
    ButtonAction action = ButtonAction::click;

    bool operator==(const PointerEvent&) const = default;
};

// A batch holds at most this many events, and no value is larger than this in magnitude: more
// than a phone sends in a frame, far less than could hold the pointer's thread.
inline constexpr std::size_t MAX_POINTER_EVENTS = 256;
inline constexpr double MAX_POINTER_VALUE = 10'000;

// The events of a JSON array of events (["move",dx,dy], ["button","left","click"],
// ["scroll",dx,dy]); nothing when any of them is malformed (an unknown kind or button, a value
// that is not a finite number or is too large) or there are none or too many: then nothing of
// the batch is applied.
std::optional<std::vector<PointerEvent>> readPointerEvents(const UntrustedJson& events);

// One way of driving the pointer, chosen once when the agent starts; calls may come from any
// thread, and two batches never interleave.
class Pointer {
  public:
    virtual ~Pointer() = default;
    virtual PointerBackend backend() const = 0;
    // The pointer can be driven now; never asks the user anything, and never waits on a batch
    // being applied (the network thread asks it): while one is, it answers what it knew last.
    virtual bool trusted() = 0;
    // Asks the user where the desktop asks (the portal's dialog), without waiting for the
    // answer; true when access is there. Only something the user did may call it.
    virtual bool requestAccess() = 0;
    // Applies the events in order: moves by exactly their pixels (fractions carried to the next
    // move), buttons pressed and released, scrolling smooth where the backend can, in wheel
    // steps where it cannot. False when the pointer cannot be driven now.
    virtual bool apply(const std::vector<PointerEvent>& events) = 0;
    // Why the pointer cannot be driven now, and what to do about it.
    virtual std::string unavailableText() = 0;
};

// What carries fractions of pixels and of wheel steps from one event to the next.
class PixelCarry {
  public:
    // The whole pixels of `delta` plus what was carried; keeps the rest.
    int take(double delta);

  private:
    double carried_ = 0;
};

}  // namespace td::host
