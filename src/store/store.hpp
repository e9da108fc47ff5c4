#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.hpp"

namespace td::store {

inline constexpr int MAX_PAIR_FAILURES = 5;
inline constexpr std::chrono::seconds CODE_LIFETIME{600};

// The outcome of a PIN pairing attempt.
// `notSaved`: the state could not be written, so nothing was granted (a token that a restart
// would forget must never be handed out).
struct PairResult {
    enum class Kind { ok, wrong, locked, notSaved };
    Kind kind;
    std::string token;  // set when ok
};

// Everything the agent remembers: the PIN, tokens and relay identifier (state.json, never
// readable by others), the configuration (config.json), and in memory only the count of wrong
// PINs and the one-time codes. Every operation runs under one lock, in arrival order, and
// writes what must survive a restart before it returns. No operation calls another. What a
// request's access and the configuration's readers need is published apart after each change,
// so that they never wait behind a write to the disk.
class Store {
  public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    struct Options {
        std::string support;                 // SUPPORT: the folder of both files
        std::filesystem::path resourcesDir;  // holds the shipped config.json
        Clock now = [] { return std::chrono::system_clock::now(); };
        // The apps a first configuration starts with on its Apps page: asked only when no
        // config.json exists yet, so a saved configuration is never touched.
        std::function<std::vector<std::string>()> firstRunApps = {};
        // Told each new configuration, in the order they were made (under the Store's lock: it
        // must not call the Store).
        std::function<void(const Json& config)> configChanged = {};
    };

    explicit Store(Options options);
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // True when state.json did not exist when the Store was made.
    const bool isFirstRun;

    const std::string& supportFolder() const { return options_.support; }
    const std::string& stateFile() const { return stateFile_; }
    const std::string& configFile() const { return configFile_; }

    // Configuration
    Json snapshotConfig() const;
    // The configuration as compact JSON text, the same text until it changes.
    std::shared_ptr<const std::string> configJson() const;
    // True when the configuration was written (it is in use either way). A document that does
    // not fit the Store (see fitsTheStore) is neither used nor written.
    bool saveConfig(const Json& document);
    std::set<std::string> allowedApps() const;
    // False, with nothing changed, when the configuration with the flow would not fit the Store.
    bool addFlow(const std::string& label, const std::string& emoji, const Json& steps);
    void removeFlow(const std::string& label);

    // Pairing
    std::string pinValue() const;
    // True when the PIN is valid and was written.
    bool setPin(const std::string& pin);
    PairResult pair(const std::string& pin);
    bool isLocked() const;
    bool tokenValid(const std::string& token) const;
    void removeToken(const std::string& token);
    // A code minted for this computer (its banner, its admin page).
    std::string mintCode();
    // A code a paired phone asks for, to pair another: nothing when its family (the phone and
    // the phones paired with codes from it, or from them) has had MAX_CODES_PER_MINUTE codes in
    // the last minute, or would pass MAX_FAMILY_TOKENS tokens alive with the codes still open.
    std::optional<std::string> mintCodeFor(const std::string& token);
    static constexpr std::size_t MAX_CODES_PER_MINUTE = 5;
    static constexpr std::size_t MAX_FAMILY_TOKENS = 10;
    // The first token of the family `token` belongs to (`token` itself when it paired with the
    // PIN): one phone's share of what phones share, however many tokens it made.
    std::string familyOf(const std::string& token) const;
    // `wrong` for a code never minted, already used or expired.
    PairResult consumeCode(const std::string& code);
    // Codes minted and not yet presented (expired ones go when the next code is minted).
    std::size_t openCodeCount() const;

    // Relay
    std::string relayId() const;
    // Replaces the identifier (an older random one by the one the agent's key names); false
    // when it could not be written.
    bool setRelayId(const std::string& id);
    bool relayEnabled() const;

  private:
    struct Published {
        std::vector<std::string> tokens;
        std::shared_ptr<const std::string> configJson;
        bool relayEnabled = false;
        std::string relayId;
    };

    std::shared_ptr<const Published> published() const;
    // After every change to the tokens, the configuration or the relay identifier.
    void publishLocked();
    void tellConfigChangedLocked() const;
    void removeUnfinishedWrites() const;
    void loadStateLocked();
    bool saveStateLocked() const;
    // A new token, kept only when the state with it was written; `family`: the token whose
    // code paired it (by its family), empty for none.
    PairResult grantTokenLocked(const std::string& family = {});
    std::string mintCodeLocked(const std::string& family);
    // The first token of the family `token` belongs to.
    std::string familyOfLocked(const std::string& token) const;
    void loadConfigLocked();
    bool saveConfigLocked() const;

    const Options options_;
    const std::string stateFile_;
    const std::string configFile_;

    mutable std::mutex mutex_;  // guards everything below
    std::string pin_;
    std::set<std::string> tokens_;
    int pairFailures_ = 0;
    struct Code {
        std::chrono::system_clock::time_point expiry;
        std::string family;  // empty: this computer's
    };
    std::map<std::string, Code> codes_;
    // Tokens paired with a phone's code, each to the first token of its family (kept in the
    // state, so that a restart does not reset what a phone has made).
    std::map<std::string, std::string> families_;
    std::map<std::string, std::deque<std::chrono::system_clock::time_point>> codesMinted_;
    Json config_ = Json::object();
    std::string storedRelayId_;

    mutable std::mutex publishedMutex_;  // held only to copy or replace the pointer
    std::shared_ptr<const Published> published_;
};

// Equal texts, compared in a time that depends on their lengths only.
bool constantTimeEquals(std::string_view a, std::string_view b);

// True when the text is 4 to 8 ASCII digits and nothing else.
bool isValidPin(const std::string& pin);

}  // namespace td::store
