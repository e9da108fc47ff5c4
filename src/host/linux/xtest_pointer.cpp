#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>

#include "common/log.hpp"
#include "host/linux/pointers.hpp"
#include "host/linux/xlib_connections.hpp"

namespace td::host {
namespace {

// X's buttons: 1 left, 2 middle, 3 right; the wheel is 4 up, 5 down, 6 left, 7 right.
constexpr unsigned WHEEL_UP = 4, WHEEL_DOWN = 5, WHEEL_LEFT = 6, WHEEL_RIGHT = 7;

unsigned xButton(Button button) {
    switch (button) {
        case Button::left:
            return 1;
        case Button::middle:
            return 2;
        case Button::right:
            return 3;
    }
    return 1;
}

int ignoreXError(Display*, XErrorEvent*) noexcept {
    return 0;
}

struct DisplayClose {
    void operator()(Display* display) const noexcept {
        std::lock_guard lock(xlibConnections());
        XCloseDisplay(display);
    }
};

// X11: the X server's own pointer. Moves go to exact positions: XTest's relative motion would
// pass through the server's acceleration, on top of the phone's. The connection is kept: a
// touchpad sends a batch every frame, and opening one costs more than the batch.
class XTestPointer final : public Pointer {
  public:
    PointerBackend backend() const override { return PointerBackend::xtest; }

    // Never opens the display: the network thread asks, and an X server that does not answer
    // would hold it. The display is opened when the agent starts, or on a worker when asked.
    bool trusted() override { return opened_.load(); }
    bool requestAccess() override {  // nothing to ask for on X11
        std::lock_guard lock(mutex_);
        return displayLocked() != nullptr;
    }

    bool apply(const std::vector<PointerEvent>& events) override {
        std::lock_guard lock(mutex_);
        Display* display = displayLocked();
        if (!display) {
            return false;
        }
        Window root = 0, child = 0;
        int x = 0, y = 0, winX = 0, winY = 0;
        unsigned mask = 0;
        if (!XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &winX, &winY,
                           &mask)) {
            return false;
        }
        const int width = DisplayWidth(display, DefaultScreen(display));
        const int height = DisplayHeight(display, DefaultScreen(display));
        for (const PointerEvent& event : events) {
            switch (event.kind) {
                case PointerEvent::Kind::move:
                    x = std::clamp(x + moveX_.take(event.dx), 0, width - 1);
                    y = std::clamp(y + moveY_.take(event.dy), 0, height - 1);
                    XTestFakeMotionEvent(display, -1, x, y, CurrentTime);
                    break;
                case PointerEvent::Kind::button:
                    pressButton(display, xButton(event.button), event.action);
                    break;
                case PointerEvent::Kind::scroll:
                    turnWheel(display, scrollY_.take(event.dy / SCROLL_STEP_PIXELS), WHEEL_DOWN,
                              WHEEL_UP);
                    turnWheel(display, scrollX_.take(event.dx / SCROLL_STEP_PIXELS), WHEEL_RIGHT,
                              WHEEL_LEFT);
                    break;
            }
        }
        XFlush(display);
        return true;
    }

    std::string unavailableText() override {
        return "Tapdeck cannot reach the X server to move the pointer.";
    }

  private:
    Display* displayLocked() {
        if (!display_) {
            static std::once_flag handlerInstalled;
            std::call_once(handlerInstalled, [] { XSetErrorHandler(ignoreXError); });
            std::unique_lock lock(xlibConnections());
            display_.reset(XOpenDisplay(nullptr));
            int event = 0, error = 0, major = 0, minor = 0;
            const bool hasXTest =
                display_ && XTestQueryExtension(display_.get(), &event, &error, &major, &minor);
            lock.unlock();  // the display's deleter takes it again
            if (display_ && !hasXTest) {
                TD_LOG(keys, "the X server has no XTEST extension: no pointer");
                display_.reset();
            }
            opened_ = display_ != nullptr;
        }
        return display_.get();
    }

    static void pressButton(Display* display, unsigned button, ButtonAction action) {
        if (action != ButtonAction::up) {
            XTestFakeButtonEvent(display, button, True, CurrentTime);
        }
        if (action != ButtonAction::down) {
            XTestFakeButtonEvent(display, button, False, CurrentTime);
        }
    }

    static void turnWheel(Display* display, int steps, unsigned forward, unsigned back) {
        for (int i = 0; i < std::min(std::abs(steps), MAX_WHEEL_STEPS); ++i) {
            pressButton(display, steps > 0 ? forward : back, ButtonAction::click);
        }
    }

    std::mutex mutex_;
    std::atomic<bool> opened_{false};
    std::unique_ptr<Display, DisplayClose> display_;
    PixelCarry moveX_, moveY_, scrollX_, scrollY_;
};

}  // namespace

std::unique_ptr<Pointer> makeXTestPointer() {
    auto pointer = std::make_unique<XTestPointer>();
    pointer->requestAccess();  // opens the display now, at start, off the network thread
    return pointer;
}

}  // namespace td::host
