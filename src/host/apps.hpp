#pragma once

#include <string>
#include <vector>

namespace td::host {

// The names of the applications a user would find in their launcher, sorted by plain
// (code point) order, each once.
std::vector<std::string> listApps();

// Starts the first application of that name; true when its launch was requested.
bool launchApp(const std::string& name);

// Hands an http or https URL to the desktop's default handler; false for any other text, and
// when no handler took it.
bool openURL(const std::string& url);

}  // namespace td::host
