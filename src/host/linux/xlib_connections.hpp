#pragma once

#include <X11/Xlib.h>
#include <xcb/xcb.h>

#include <mutex>

namespace td::host {

// Held while a connection to the X server is opened, checked for XTEST or closed: Xlib's and
// its extensions' tables of displays are made and changed then, and several workers open
// displays at once (phones typing together) while the touchpad keeps one of its own.
inline std::mutex& xlibConnections() {
    static std::mutex mutex;
    return mutex;
}

// A connection of xcb's own, opened under the same lock: the X authority file's name is found
// through a buffer libXau keeps without a lock of its own.
inline xcb_connection_t* connectToX() {
    std::lock_guard lock(xlibConnections());
    return xcb_connect(nullptr, nullptr);
}

// Xlib's own locks, on before any other call into it: workers and followers open displays of
// their own at once.
inline void xlibThreadsOn() {
    static std::once_flag threads;
    std::call_once(threads, [] { XInitThreads(); });
}

}  // namespace td::host
