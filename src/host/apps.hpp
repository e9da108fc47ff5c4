#pragma once

#include <string>
#include <vector>

namespace td::host {

// The names of the applications a user would find in their launcher, sorted by plain
// (code point) order, each once.
std::vector<std::string> listApps();

// The desktop's own applications for the everyday kinds of work, by launcher name, in this
// order: web browser, file manager, terminal, text editor, mail, music, video, images, PDF;
// each once, only those installed and shown, at most `most`.
std::vector<std::string> defaultApps(std::size_t most = 8);

// Starts the first application of that name; true when its launch was requested.
bool launchApp(const std::string& name);

// Hands an http or https URL to the desktop's default handler; false for any other text, and
// when no handler took it.
bool openURL(const std::string& url);

}  // namespace td::host
