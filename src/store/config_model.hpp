#pragma once

#include <set>
#include <string>
#include <vector>

#include "common/json.hpp"

// The configuration document: pages of tiles, the flows on the page named "Flows", and the
// settings. Pure functions; the Store calls them under its lock.
namespace td::store {

inline constexpr const char* FLOWS_PAGE = "Flows";
// Every page and tile a person makes fits many times over; the configuration never grows past
// what can be sent back in one body.
inline constexpr std::size_t MAX_CONFIG_BYTES = 1024 * 1024;

Json defaultSettings();
// What a new installation starts with when no shipped config.json is found.
Json builtInDefaultConfig();

// Repairs a document: unwraps {"config": {...}} exports, removes "config", and puts in an
// empty "pages" and the default "settings" where they are missing or of the wrong type.
Json sanitize(Json document);

// Whether the Store can keep the document and read it back at the next start: within
// MAX_CONFIG_BYTES, and within the depth and width of JSON read from outside.
bool fitsTheStore(const Json& config);

// The names of every app tile: the apps a phone may launch.
std::set<std::string> allowedAppsIn(const Json& config);

// True when settings.relayEnabled reads as true (true or 1).
bool relayEnabledIn(const Json& config);

// Appends a flow tile to the first page named "Flows" (made at the end when missing).
void addFlowTo(Json& config, const std::string& label, const std::string& emoji, const Json& steps);

// Removes every tile with this label from every page named "Flows". False (and nothing
// changed) when the document has no list of pages.
bool removeFlowFrom(Json& config, const std::string& label);

// Appends an app tile for each app not on the first page named "Apps" yet (the page is made
// first when missing).
void addAppsTo(Json& config, const std::vector<std::string>& apps);

}  // namespace td::store
