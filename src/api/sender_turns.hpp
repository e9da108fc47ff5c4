#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace td::api {

// How much of one kind of slow work each sender (a phone's token, else an address) has under
// way: typing is done one text at a time, and a phone's texts waiting for their turn would each
// hold a worker that every phone and this computer share.
class SenderTurns {
  public:
    // `total`: turns under way at once across every sender.
    explicit SenderTurns(std::size_t perSender, std::size_t total = SIZE_MAX)
        : perSender_(perSender), total_(total) {}

    // Held while the work runs; gives the turn back when it goes.
    class Turn {
      public:
        Turn(SenderTurns& turns, std::string sender) : turns_(turns), sender_(std::move(sender)) {}
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;
        ~Turn() { turns_.give(sender_); }

      private:
        SenderTurns& turns_;
        const std::string sender_;
    };

    // Nothing when `sender` has its share under way already, or every turn is taken.
    std::unique_ptr<Turn> take(const std::string& sender) {
        std::lock_guard lock(mutex_);
        if (heldInAll_ >= total_) {
            return nullptr;
        }
        std::size_t& held = held_[sender];
        if (held >= perSender_) {
            if (held == 0) {
                held_.erase(sender);
            }
            return nullptr;
        }
        ++held;
        ++heldInAll_;
        return std::make_unique<Turn>(*this, sender);
    }

  private:
    void give(const std::string& sender) {
        std::lock_guard lock(mutex_);
        --heldInAll_;
        if (auto it = held_.find(sender); it != held_.end() && --it->second == 0) {
            held_.erase(it);
        }
    }

    const std::size_t perSender_;
    const std::size_t total_;
    std::size_t heldInAll_ = 0;
    std::mutex mutex_;
    std::map<std::string, std::size_t> held_;
};

}  // namespace td::api
