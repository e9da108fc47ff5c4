#pragma once

#include <cstddef>
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
    explicit SenderTurns(std::size_t perSender) : perSender_(perSender) {}

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

    // Nothing when `sender` has its share under way already.
    std::unique_ptr<Turn> take(const std::string& sender) {
        std::lock_guard lock(mutex_);
        std::size_t& held = held_[sender];
        if (held >= perSender_) {
            return nullptr;
        }
        ++held;
        return std::make_unique<Turn>(*this, sender);
    }

  private:
    void give(const std::string& sender) {
        std::lock_guard lock(mutex_);
        if (auto it = held_.find(sender); it != held_.end() && --it->second == 0) {
            held_.erase(it);
        }
    }

    const std::size_t perSender_;
    std::mutex mutex_;
    std::map<std::string, std::size_t> held_;
};

}  // namespace td::api
