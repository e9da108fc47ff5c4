#include "store/store.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "common/files.hpp"
#include "common/json_read.hpp"
#include "common/log.hpp"
#include "common/random.hpp"
#include "store/config_model.hpp"

namespace td::store {
namespace {

// config.json is written indented while that costs at most this factor over compact text.
constexpr std::size_t MAX_INDENT_GROWTH = 4;
// A config.json that cannot be read is moved here rather than written over.
constexpr const char* UNREADABLE_SUFFIX = ".unreadable";

std::string newPin() {
    char text[8];
    std::snprintf(text, sizeof text, "%06u", secureRandomBelow(1'000'000));
    return text;
}

// The parsed object in a file, or nothing when the file is missing, not JSON or not an object.
std::optional<Json> readObjectFile(const std::string& path) {
    auto text = readWholeFile(path);
    if (!text) {
        return std::nullopt;
    }
    auto parsed = parseOrderedJson(*text);
    if (!parsed || !parsed->is_object()) {
        return std::nullopt;
    }
    return parsed;
}

// Values in the document, and how deep the deepest lies: indentation adds at most two spaces
// per level to each value's line, so these bound the indented text without making it.
void countValues(const Json& value, std::size_t depth, std::size_t& values, std::size_t& deepest) {
    ++values;
    deepest = std::max(deepest, depth);
    if (value.is_structured()) {
        for (const Json& element : value) {
            countValues(element, depth + 1, values, deepest);
        }
    }
}

// Indented when that costs at most MAX_INDENT_GROWTH times the compact text: a person reads the
// file, but a deep document written indented would be many times what was sent.
std::string configText(const Json& config) {
    std::string compact = dumpCompact(config) + "\n";
    std::size_t values = 0, deepest = 0;
    countValues(config, 0, values, deepest);
    const std::size_t indentedAtMost = compact.size() + values * (2 * deepest + 2);
    if (indentedAtMost > MAX_INDENT_GROWTH * compact.size()) {
        return compact;
    }
    try {
        return config.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    } catch (const Json::exception&) {
        return compact;
    }
}

}  // namespace

bool constantTimeEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

bool isValidPin(const std::string& pin) {
    return pin.size() >= 4 && pin.size() <= 8 &&
           std::all_of(pin.begin(), pin.end(), [](char c) { return c >= '0' && c <= '9'; });
}

Store::Store(Options options)
    : isFirstRun(::access((options.support + "/state.json").c_str(), F_OK) != 0),
      options_(std::move(options)),
      stateFile_(options_.support + "/state.json"),
      configFile_(options_.support + "/config.json") {
    if (!makePrivateFolder(options_.support)) {
        TD_LOG(store, "cannot make " + options_.support + " private: " + std::strerror(errno));
    }
    // Written by an agent that left them to the umask: the PIN and the pages are nobody else's.
    ::chmod(stateFile_.c_str(), PRIVATE_FILE_MODE);
    ::chmod(configFile_.c_str(), PRIVATE_FILE_MODE);
    removeUnfinishedWrites();
    std::lock_guard lock(mutex_);
    loadStateLocked();
    loadConfigLocked();
    publishLocked();
}

std::shared_ptr<const Store::Published> Store::published() const {
    std::lock_guard lock(publishedMutex_);
    return published_;
}

void Store::publishLocked() {
    auto next = std::make_shared<Published>();
    next->tokens.assign(tokens_.begin(), tokens_.end());
    next->configJson = std::make_shared<const std::string>(dumpCompact(config_));
    next->relayEnabled = relayEnabledIn(config_);
    next->relayId = storedRelayId_;
    std::lock_guard lock(publishedMutex_);
    published_ = std::move(next);
}

// A write cut short (the agent killed between creating its temporary file and the rename)
// leaves the temporary file behind; the finished file was never touched.
void Store::removeUnfinishedWrites() const {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(options_.support, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("state.json.tmp-") || name.starts_with("config.json.tmp-")) {
            std::filesystem::remove(entry.path(), ec);
        }
    }
}

void Store::loadStateLocked() {
    if (auto state = readObjectFile(stateFile_)) {
        pin_ = jsonread::string(*state, "pin").value_or("");
        tokens_.clear();
        if (const Json* tokens = jsonread::member(*state, "tokens"); tokens && tokens->is_array()) {
            const bool allStrings = std::all_of(tokens->begin(), tokens->end(),
                                                [](const Json& t) { return t.is_string(); });
            if (allStrings) {
                for (const Json& token : *tokens) {
                    tokens_.insert(token.get<std::string>());
                }
            }
        }
        storedRelayId_ = jsonread::string(*state, "relayId").value_or("");
        families_.clear();
        if (const Json* families = jsonread::member(*state, "tokenFamilies");
            families && families->is_object()) {
            for (const auto& [token, family] : families->items()) {
                if (family.is_string() && tokens_.contains(token)) {
                    families_[token] = family.get<std::string>();
                }
            }
        }
    }
    // What is missing is made now and written once, before the Store answers anything.
    const bool complete = !pin_.empty() && !storedRelayId_.empty();
    if (pin_.empty()) {
        pin_ = newPin();
    }
    if (storedRelayId_.empty()) {
        storedRelayId_ = randomUuidUpper();
    }
    if (!complete) {
        saveStateLocked();
    }
}

bool Store::saveStateLocked() const {
    Json state{{"pin", pin_}, {"tokens", tokens_}, {"relayId", storedRelayId_}};
    if (!families_.empty()) {
        state["tokenFamilies"] = families_;
    }
    if (!replaceFileAtomically(stateFile_, dumpCompact(state), PRIVATE_FILE_MODE)) {
        TD_LOG(store, "cannot write " + stateFile_ + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

PairResult Store::grantTokenLocked(const std::string& family) {
    std::string token = randomHex(24);
    tokens_.insert(token);
    if (!family.empty()) {
        families_[token] = family;
    }
    if (!saveStateLocked()) {
        tokens_.erase(token);
        families_.erase(token);
        return {PairResult::Kind::notSaved, {}};
    }
    publishLocked();
    return {PairResult::Kind::ok, std::move(token)};
}

void Store::loadConfigLocked() {
    const bool existed = ::access(configFile_.c_str(), F_OK) == 0;
    if (auto stored = readObjectFile(configFile_)) {
        config_ = sanitize(std::move(*stored));
        return;
    }
    // The user's pages are kept for them to mend, not written over with the defaults.
    if (existed && ::rename(configFile_.c_str(), (configFile_ + UNREADABLE_SUFFIX).c_str()) == 0) {
        TD_LOG(store, configFile_ + " cannot be read; kept as " + configFile_ + UNREADABLE_SUFFIX);
    }
    if (auto shipped = readObjectFile((options_.resourcesDir / "config.json").string())) {
        config_ = sanitize(std::move(*shipped));
    } else {
        config_ = builtInDefaultConfig();
    }
    if (!existed && options_.firstRunApps) {
        addAppsTo(config_, options_.firstRunApps());
    }
    saveConfigLocked();
}

bool Store::saveConfigLocked() const {
    if (!replaceFileAtomically(configFile_, configText(config_), PRIVATE_FILE_MODE)) {
        TD_LOG(store, "cannot write " + configFile_ + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

Json Store::snapshotConfig() const {
    std::lock_guard lock(mutex_);
    return config_;
}

std::shared_ptr<const std::string> Store::configJson() const {
    return published()->configJson;
}

bool Store::saveConfig(const Json& document) {
    Json sanitized = sanitize(document);  // pure: needs no lock
    if (!fitsTheStore(sanitized)) {
        TD_LOG(store, "a configuration too large or too deep to keep was refused");
        return false;
    }
    std::lock_guard lock(mutex_);
    config_ = std::move(sanitized);
    publishLocked();
    tellConfigChangedLocked();
    return saveConfigLocked();
}

void Store::tellConfigChangedLocked() const {
    if (options_.configChanged) {
        options_.configChanged(config_);
    }
}

std::set<std::string> Store::allowedApps() const {
    std::lock_guard lock(mutex_);
    return allowedAppsIn(config_);
}

bool Store::addFlow(const std::string& label, const std::string& emoji, const Json& steps) {
    std::lock_guard lock(mutex_);
    Json changed = config_;
    addFlowTo(changed, label, emoji, steps);
    if (!fitsTheStore(changed)) {
        return false;
    }
    config_ = std::move(changed);
    publishLocked();
    tellConfigChangedLocked();
    saveConfigLocked();
    return true;
}

void Store::removeFlow(const std::string& label) {
    std::lock_guard lock(mutex_);
    if (removeFlowFrom(config_, label)) {
        publishLocked();
        tellConfigChangedLocked();
        saveConfigLocked();
    }
}

std::string Store::pinValue() const {
    std::lock_guard lock(mutex_);
    return pin_;
}

bool Store::setPin(const std::string& pin) {
    if (!isValidPin(pin)) {
        return false;
    }
    std::lock_guard lock(mutex_);
    std::string previous = std::exchange(pin_, pin);
    if (!saveStateLocked()) {
        pin_ = std::move(previous);
        return false;
    }
    return true;
}

PairResult Store::pair(const std::string& pin) {
    std::lock_guard lock(mutex_);
    if (pairFailures_ >= MAX_PAIR_FAILURES) {
        return {PairResult::Kind::locked, {}};
    }
    if (!constantTimeEquals(pin, pin_)) {
        ++pairFailures_;
        return {PairResult::Kind::wrong, {}};
    }
    pairFailures_ = 0;
    return grantTokenLocked();
}

bool Store::isLocked() const {
    std::lock_guard lock(mutex_);
    return pairFailures_ >= MAX_PAIR_FAILURES;
}

bool Store::tokenValid(const std::string& token) const {
    const auto view = published();
    // Every token is compared in full: a lookup that stops at the first differing byte would
    // tell a guesser how much of a token is right.
    bool found = false;
    for (const std::string& known : view->tokens) {
        found = constantTimeEquals(token, known) || found;
    }
    return found;
}

void Store::removeToken(const std::string& token) {
    std::lock_guard lock(mutex_);
    tokens_.erase(token);
    families_.erase(token);
    publishLocked();
    saveStateLocked();
}

std::string Store::mintCode() {
    std::lock_guard lock(mutex_);
    return mintCodeLocked({});
}

std::optional<std::string> Store::mintCodeFor(const std::string& token) {
    std::lock_guard lock(mutex_);
    const std::string family = familyOfLocked(token);
    const auto now = options_.now();
    auto& minted = codesMinted_[family];
    while (!minted.empty() && minted.front() <= now - std::chrono::minutes(1)) {
        minted.pop_front();
    }
    const auto ofFamily = [&family](const auto& entry) { return entry.second == family; };
    const std::size_t alive = (tokens_.contains(family) ? 1 : 0) +
                              std::count_if(families_.begin(), families_.end(), ofFamily);
    const std::size_t open = std::count_if(codes_.begin(), codes_.end(), [&](const auto& entry) {
        return entry.second.family == family && entry.second.expiry > now;
    });
    if (minted.size() >= MAX_CODES_PER_MINUTE || alive + open >= MAX_FAMILY_TOKENS) {
        TD_LOG(store, "a phone asked for more pairing codes than its share");
        return std::nullopt;
    }
    minted.push_back(now);
    return mintCodeLocked(family);
}

std::string Store::mintCodeLocked(const std::string& family) {
    const auto now = options_.now();
    // Codes nobody presented would otherwise pile up for the life of the process.
    std::erase_if(codes_, [now](const auto& entry) { return entry.second.expiry <= now; });
    std::string code = randomHex(8);
    codes_[code] = {now + CODE_LIFETIME, family};
    return code;
}

std::string Store::familyOf(const std::string& token) const {
    std::lock_guard lock(mutex_);
    return familyOfLocked(token);
}

std::string Store::familyOfLocked(const std::string& token) const {
    const auto found = families_.find(token);
    return found == families_.end() ? token : found->second;
}

PairResult Store::consumeCode(const std::string& code) {
    std::lock_guard lock(mutex_);
    auto it = codes_.find(code);
    if (it == codes_.end()) {
        return {PairResult::Kind::wrong, {}};
    }
    const auto expiry = it->second.expiry;
    if (expiry <= options_.now()) {
        codes_.erase(it);
        return {PairResult::Kind::wrong, {}};
    }
    PairResult result = grantTokenLocked(it->second.family);
    if (result.kind == PairResult::Kind::ok) {
        codes_.erase(it);  // a code whose token could not be kept may be presented again
    }
    return result;
}

std::size_t Store::openCodeCount() const {
    std::lock_guard lock(mutex_);
    return codes_.size();
}

std::string Store::relayId() const {
    return published()->relayId;
}

bool Store::setRelayId(const std::string& id) {
    std::lock_guard lock(mutex_);
    std::string previous = std::exchange(storedRelayId_, id);
    if (!saveStateLocked()) {
        storedRelayId_ = std::move(previous);
        return false;
    }
    publishLocked();
    return true;
}

bool Store::relayEnabled() const {
    return published()->relayEnabled;
}

}  // namespace td::store
