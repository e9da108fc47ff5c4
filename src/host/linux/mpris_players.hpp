#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/live_state.hpp"

namespace td::host {

// The media players on a session bus, kept up to date from the bus's own signals: names of the
// MPRIS family coming and going, and their PropertiesChanged. Lives on the thread whose default
// context was current when `follow` was called; every reply and signal is handled there.
// Reading (`players`, `active`) is for that thread too: the owner copies what others need.
class MprisPlayers {
  public:
    // `changed` is called on that thread after each change to what a player shows.
    explicit MprisPlayers(std::function<void()> changed);
    ~MprisPlayers();  // stops
    MprisPlayers(const MprisPlayers&) = delete;
    MprisPlayers& operator=(const MprisPlayers&) = delete;

    // Subscribes on `bus` and lists the players already there.
    void follow(GDBusConnection* bus);
    // Unsubscribes and cancels the calls in flight; nothing changes afterwards.
    void stop();
    // The calls still waiting for a reply (each ends soon once cancelled).
    int pendingCalls() const { return pending_; }

    const std::vector<PlayerState>& players() const { return shown_; }
    std::optional<std::string> active() const;

  private:
    struct Player {
        std::string owner;           // the unique name its signals come from
        std::uint64_t playedAt = 0;  // when it was last seen playing; 0: not yet
        // One reading of each interface's properties at a time, whatever the player invalidates
        // meanwhile: a bit per interface asked, and one for those to ask again after it.
        unsigned fetching = 0;
        unsigned fetchAgain = 0;
    };

    // Every player on the bus not followed yet, each once its owner is known.
    void listPlayers();
    void addOwnedPlayer(const std::string& name);
    // Within the bounds on players, in all and per owner; else left out, and asked again when
    // a player goes.
    void addPlayer(const std::string& name, const std::string& owner);
    void removePlayer(const std::string& name);
    void fetchProperties(const std::string& name, const char* interface);
    void applyProperties(const std::string& name, GVariant* properties);
    void onPropertiesChanged(const std::string& sender, GVariant* parameters);
    void onNameOwnerChanged(GVariant* parameters);
    // An asynchronous call whose reply, of `replyType` (else an error: nullptr), is handled
    // here, unless cancelled first.
    void call(const std::string& destination, const char* path, const char* interface,
              const char* method, GVariant* parameters, const char* replyType,
              std::function<void(GVariant* reply)> onReply);
    std::size_t indexOf(const std::string& name) const;

    std::function<void()> changed_;
    GDBusConnection* bus_ = nullptr;
    GCancellable* cancellable_;
    guint ownerSubscription_ = 0;
    guint propertiesSubscription_ = 0;
    int pending_ = 0;
    bool turnedAway_ = false;
    std::uint64_t clock_ = 0;
    // The same players in the same order: what each shows, and what only we need.
    std::vector<PlayerState> shown_;
    std::vector<Player> known_;
};

}  // namespace td::host
