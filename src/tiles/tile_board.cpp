#include "tiles/tile_board.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/base64.hpp"
#include "common/json_read.hpp"
#include "common/utf8.hpp"

namespace td::tiles {
namespace {

constexpr std::string_view MEMBERS[] = {"label", "value", "state", "level", "icon"};

// One emoji is a handful of code points at most (a family joined by zero-width joiners).
constexpr std::size_t MAX_EMOJI_BYTES = 32;

std::size_t codePoints(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// The code points of text that is valid UTF-8.
std::vector<char32_t> codePointsOf(std::string_view text) {
    std::vector<char32_t> points;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
            point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        points.push_back(point);
        i += length;
    }
    return points;
}

// Characters that change how the text around them shows rather than showing themselves:
// controls, line and paragraph separators, direction marks, overrides and isolates (which would
// let a label show its text in another order than it is: "txt.exe" as "exe.txt"), and the
// invisible ones (soft hyphen, zero-width space, word joiner, fillers). The joiners that emoji
// and scripts need (U+200C, U+200D) and emoji tags stay.
bool isFormatting(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || c == 0x034F || c == 0x061C ||
           c == 0x115F || c == 0x1160 || c == 0x180E || c == 0x200B || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) || c == 0x3164 ||
           c == 0xFEFF || c == 0xFFA0 || (c >= 0xFFF9 && c <= 0xFFFB);
}

bool hasFormatting(std::string_view text) {
    const auto points = codePointsOf(text);
    return std::any_of(points.begin(), points.end(), isFormatting);
}

bool isShortText(std::string_view text) {
    return isValidUtf8(text) && codePoints(text) <= MAX_TEXT_CHARACTERS && !hasFormatting(text);
}

// An emoji, not a word: no letters, spaces or controls, and at least one character beyond
// ASCII (digits, "#" and "*" only as keycaps).
bool isEmoji(std::string_view text) {
    if (text.empty() || text.size() > MAX_EMOJI_BYTES || !isValidUtf8(text) ||
        hasFormatting(text)) {
        return false;
    }
    bool beyondAscii = false;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            beyondAscii = true;
        } else if (!(std::isdigit(byte) || c == '#' || c == '*')) {
            return false;
        }
    }
    return beyondAscii;
}

bool startsWith(std::string_view bytes, std::string_view prefix, std::size_t at = 0) {
    return bytes.size() >= at + prefix.size() && bytes.substr(at, prefix.size()) == prefix;
}

// A data: URL of a PNG, JPEG or WebP picture whose bytes are what it says they are.
bool isIconImage(std::string_view url) {
    struct Format {
        std::string_view prefix;
        bool (*matches)(std::string_view bytes);
    };
    static constexpr Format formats[] = {
        {"data:image/png;base64,",
         [](std::string_view b) { return startsWith(b, "\x89PNG\r\n\x1A\n"); }},
        {"data:image/jpeg;base64,",
         [](std::string_view b) { return startsWith(b, "\xFF\xD8\xFF"); }},
        {"data:image/webp;base64,",
         [](std::string_view b) { return startsWith(b, "RIFF") && startsWith(b, "WEBP", 8); }},
    };
    for (const Format& format : formats) {
        if (!startsWith(url, format.prefix)) {
            continue;
        }
        const std::string_view encoded = url.substr(format.prefix.size());
        if (encoded.size() > (MAX_ICON_IMAGE_BYTES + 2) / 3 * 4) {
            return false;
        }
        const auto bytes = base64Decode(encoded);
        return bytes && bytes->size() <= MAX_ICON_IMAGE_BYTES && format.matches(*bytes);
    }
    return false;
}

// A script that prints {"value": 42} means the text "42".
std::optional<std::string> valueText(const UntrustedJson& value) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_number_integer()) {
        return value.dump();
    }
    if (value.is_number()) {
        const double number = value.get<double>();
        if (!std::isfinite(number)) {
            return std::nullopt;
        }
        char text[32];
        std::snprintf(text, sizeof text, "%.6g", number);
        return std::string(text);
    }
    return std::nullopt;
}

// The new value of a member (one of MEMBERS), or why it cannot be one.
std::variant<Json, std::string> readMember(const std::string& key, const UntrustedJson& value) {
    if (key == "label" || key == "value") {
        const auto text =
            key == "value"
                ? valueText(value)
                : (value.is_string() ? std::optional(value.get<std::string>()) : std::nullopt);
        if (!text || !isShortText(*text)) {
            return "\"" + key +
                   "\" must be a text of at most 64 characters, without control or direction marks";
        }
        return Json(*text);
    }
    if (key == "state") {
        if (value.is_boolean()) {
            return Json(value.get<bool>() ? "on" : "off");
        }
        if (value.is_string() && (value == "on" || value == "off")) {
            return Json(value.get<std::string>());
        }
        return std::string("\"state\" must be \"on\" or \"off\"");
    }
    if (key == "level") {
        if (!value.is_number() || !std::isfinite(value.get<double>()) || value.get<double>() < 0 ||
            value.get<double>() > 100) {
            return std::string("\"level\" must be a number from 0 to 100");
        }
        return Json(static_cast<int>(std::lround(value.get<double>())));
    }
    if (value.is_string() && (isEmoji(value.get_ref<const std::string&>()) ||
                              isIconImage(value.get_ref<const std::string&>()))) {
        return Json(value.get<std::string>());
    }
    return std::string(
        "\"icon\" must be one emoji, or a PNG, JPEG or WebP data: URL of at most 64 KiB");
}

}  // namespace

std::string withoutFormatting(std::string_view text) {
    if (!isValidUtf8(text)) {
        return std::string(text.size(), '?');
    }
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        const std::string_view one = text.substr(i, length);
        out += isFormatting(codePointsOf(one).front()) ? std::string_view(" ") : one;
        i += length;
    }
    return out;
}

bool isTileId(std::string_view id) {
    return !id.empty() && id.size() <= 64 && std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

std::optional<std::string> tileProblemIn(const Json& config) {
    std::set<std::string, std::less<>> seen;
    for (const Json& page : jsonread::objects(config, "pages").value_or(std::vector<Json>{})) {
        for (const Json& tile : jsonread::objects(page, "tiles").value_or(std::vector<Json>{})) {
            if (const Json* every = jsonread::member(tile, "every");
                every &&
                (!every->is_number() || every->get<double>() < 1 || every->get<double>() > 86400)) {
                return std::string("A tile's \"every\" is a number of seconds from 1 to 86400");
            }
            const Json* id = jsonread::member(tile, "id");
            if (!id) {
                continue;
            }
            if (!id->is_string() || !isTileId(id->get_ref<const std::string&>())) {
                return std::string(
                    "A tile id is 1 to 64 of the letters a-z, the digits 0-9, \"_\" and \"-\"");
            }
            if (!seen.insert(id->get<std::string>()).second) {
                return "The tile id \"" + id->get<std::string>() + "\" is used twice";
            }
        }
    }
    return std::nullopt;
}

std::variant<TileChange, std::string> readTileChange(const UntrustedJson& body) {
    if (!body.is_object()) {
        return std::string("A tile's state is a JSON object");
    }
    TileChange change;
    for (const auto& [key, value] : body.items()) {
        if (std::find(std::begin(MEMBERS), std::end(MEMBERS), key) == std::end(MEMBERS)) {
            return "unknown member \"" + key + "\": a tile has label, value, state, level and icon";
        }
        if (value.is_null()) {
            change.cleared.insert(key);
            continue;
        }
        auto member = readMember(key, value);
        if (auto* why = std::get_if<std::string>(&member)) {
            return std::move(*why);
        }
        change.set.emplace(key, std::move(std::get<Json>(member)));
    }
    return change;
}

std::string tileStateMessage(const Json& states) {
    return "event: state\ndata: " + dumpCompact(Json{{"tiles", states}}) + "\n\n";
}

TileBoard::TileBoard(Publish publish, RunLater runLater)
    : publish_(std::move(publish)), runLater_(std::move(runLater)) {}

void TileBoard::reconfigure(const Json& config) {
    std::map<std::string, Json, std::less<>> tiles;
    for (const Json& page : jsonread::objects(config, "pages").value_or(std::vector<Json>{})) {
        for (const Json& tile : jsonread::objects(page, "tiles").value_or(std::vector<Json>{})) {
            if (auto id = jsonread::string(tile, "id"); id && isTileId(*id)) {
                tiles.emplace(*id, tile);
            }
        }
    }
    std::lock_guard lock(mutex_);
    for (auto state = states_.begin(); state != states_.end();) {
        if (tiles.count(state->first)) {
            ++state;
            continue;
        }
        stateBytes_ -= stateSizes_[state->first];
        stateSizes_.erase(state->first);
        state = states_.erase(state);
    }
    tiles_ = std::move(tiles);
    for (const auto& [source, on] : sources_) {
        followLocked(source, on);
    }
    // Phones read the new configuration's state afresh: nothing of the old one is left to tell.
    pending_.clear();
}

std::optional<Json> TileBoard::tile(std::string_view id) const {
    std::lock_guard lock(mutex_);
    const auto found = tiles_.find(id);
    return found == tiles_.end() ? std::nullopt : std::optional(found->second);
}

TileBoard::Outcome TileBoard::apply(std::string_view id, const TileChange& change) {
    bool publishNow = false;
    {
        std::lock_guard lock(mutex_);
        if (!tiles_.count(id)) {
            return Outcome::unknownTile;
        }
        const Outcome outcome = applyLocked(std::string(id), change);
        if (outcome != Outcome::changed) {
            return outcome;
        }
        publishNow = publishNowLocked();
    }
    if (publishNow) {
        publishPending();
    }
    return Outcome::changed;
}

TileBoard::Outcome TileBoard::applyLocked(const std::string& id, const TileChange& change) {
    const auto found = states_.find(id);
    const Json before = found == states_.end() ? Json::object() : found->second;
    Json after = before;
    for (const std::string& key : change.cleared) {
        after.erase(key);
    }
    for (const auto& [key, value] : change.set) {
        after[key] = value;
    }
    if (after == before) {
        return Outcome::unchanged;
    }
    std::size_t& size = stateSizes_[id];
    const std::size_t oldBytes = size;
    const std::size_t newBytes = dumpCompact(after).size();
    if (newBytes > oldBytes && stateBytes_ - oldBytes + newBytes > MAX_STATE_BYTES) {
        return Outcome::full;
    }
    stateBytes_ = stateBytes_ - oldBytes + newBytes;
    size = newBytes;
    states_[id] = std::move(after);
    pending_.insert(id);
    return Outcome::changed;
}

Json TileBoard::states() const {
    std::lock_guard lock(mutex_);
    Json all = Json::object();
    for (const auto& [id, state] : states_) {
        if (!state.empty()) {
            all[id] = state;
        }
    }
    return all;
}

Json TileBoard::stateOf(std::string_view id) const {
    std::lock_guard lock(mutex_);
    const auto found = states_.find(id);
    return found == states_.end() ? Json::object() : found->second;
}

void TileBoard::followMute(bool muted) {
    follow("mute", muted);
}

void TileBoard::followPlaying(bool playing) {
    follow("playing", playing);
}

void TileBoard::follow(const std::string& source, bool on) {
    bool publishNow = false;
    {
        std::lock_guard lock(mutex_);
        sources_[source] = on;
        followLocked(source, on);
        publishNow = publishNowLocked();
    }
    if (publishNow) {
        publishPending();
    }
}

void TileBoard::followLocked(std::string_view source, bool on) {
    TileChange change;
    change.set.emplace("state", on ? "on" : "off");
    for (const auto& [id, tile] : tiles_) {
        if (jsonread::string(tile, "type") == std::string("toggle") &&
            jsonread::string(tile, "source") == std::string(source)) {
            applyLocked(id, change);
        }
    }
}

bool TileBoard::publishNowLocked() {
    if (publishScheduled_ || pending_.empty()) {
        return false;
    }
    const auto since = std::chrono::steady_clock::now() - lastPublished_;
    if (since >= PUBLISH_INTERVAL) {
        publishScheduled_ = true;  // until publishPending has sent it
        return true;
    }
    publishScheduled_ = true;
    runLater_(std::chrono::ceil<std::chrono::milliseconds>(PUBLISH_INTERVAL - since),
              [this] { publishPending(); });
    return false;
}

void TileBoard::publishPending() {
    Json changed = Json::object();
    {
        std::lock_guard lock(mutex_);
        publishScheduled_ = false;
        lastPublished_ = std::chrono::steady_clock::now();
        for (const std::string& id : pending_) {
            const auto state = states_.find(id);
            changed[id] = state == states_.end() ? Json::object() : state->second;
        }
        pending_.clear();
    }
    if (!changed.empty()) {
        publish_(tileStateMessage(changed));
    }
}

}  // namespace td::tiles
