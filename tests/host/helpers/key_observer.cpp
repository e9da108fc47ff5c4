// A window over the whole screen that takes the keyboard focus and prints every key press it
// receives, one line each: "<modifier state> <keysym name>", and what the pointer does:
// "button N press", "button N release", "motion X Y". Prints "ready" once it holds the focus.
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
    Window window =
        XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0,
                            DisplayWidth(display, screen), DisplayHeight(display, screen), 0,
                            BlackPixel(display, screen), WhitePixel(display, screen));
    XSelectInput(display, window,
                 KeyPressMask | StructureNotifyMask | FocusChangeMask | ButtonPressMask |
                     ButtonReleaseMask | PointerMotionMask);
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
        } else if (event.type == ButtonPress || event.type == ButtonRelease) {
            std::printf("button %u %s\n", event.xbutton.button,
                        event.type == ButtonPress ? "press" : "release");
            std::fflush(stdout);
        } else if (event.type == MotionNotify) {
            std::printf("motion %d %d\n", event.xmotion.x_root, event.xmotion.y_root);
            std::fflush(stdout);
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
