#pragma once

#include <gio/gdesktopappinfo.h>

#include <string>
#include <vector>

#include "host/linux/glib_ptr.hpp"

namespace td::host {

// The launcher's entries that should be shown (hidden, NoDisplay and TryExec-missing ones
// never are), as names, sorted by code point and each once.
std::vector<std::string> shownAppNames();

// The first shown entry of that name (the user's folder first, then by desktop id), loaded
// afresh; nothing when there is none.
glib::Object<GDesktopAppInfo> findShownApp(const std::string& name);

// The names of the shown entries in a category ("TerminalEmulator"), in the launcher's order,
// with the path of the program each runs.
struct NamedProgram {
    std::string name;
    std::string program;
};
std::vector<NamedProgram> shownAppsInCategory(const std::string& category);

}  // namespace td::host
