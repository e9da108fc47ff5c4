// A window that takes the keyboard focus and prints every key press it receives, one line each:
// "<modifier state> <keysym name> <text>". Prints "ready" once it holds the focus.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>

int main() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::puts("no display");
        return 1;
    }
    const int screen = DefaultScreen(display);
    Window window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, 200, 100, 0,
                                        BlackPixel(display, screen), WhitePixel(display, screen));
    XSelectInput(display, window, KeyPressMask | StructureNotifyMask | FocusChangeMask);
    XMapRaised(display, window);
    bool ready = false;
    while (true) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MapNotify && !ready) {
            XSetInputFocus(display, window, RevertToParent, CurrentTime);
        } else if (event.type == FocusIn && !ready) {
            ready = true;
            std::puts("ready");
            std::fflush(stdout);
        } else if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
        } else if (event.type == KeyPress) {
            const KeySym keysym =
                XkbKeycodeToKeysym(display, static_cast<KeyCode>(event.xkey.keycode), 0,
                                   (event.xkey.state & ShiftMask) ? 1 : 0);
            const char* name = XKeysymToString(keysym);
            std::printf("%u %s\n",
                        event.xkey.state & (ShiftMask | ControlMask | Mod1Mask | Mod4Mask),
                        name ? name : "?");
            std::fflush(stdout);
        }
    }
}
