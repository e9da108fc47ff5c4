#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace td::api {

// A text read again only once it is older than `maxAge`: for what changes rarely but is read on
// the network thread (the computer's name, from a file), where a read per request would cost.
class RecentText {
  public:
    using Clock = std::chrono::steady_clock;

    RecentText(std::function<std::string()> read, Clock::duration maxAge)
        : read_(std::move(read)), maxAge_(maxAge) {}

    std::string get() {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        if (!readAt_ || now - *readAt_ >= maxAge_) {
            text_ = read_();
            readAt_ = now;
        }
        return text_;
    }

  private:
    const std::function<std::string()> read_;
    const Clock::duration maxAge_;
    std::mutex mutex_;
    std::string text_;
    std::optional<Clock::time_point> readAt_;
};

// The whole answer to a paired phone's GET /api/config, made again only when what it is made of
// changed: phones ask at every start and reload, and it is sent from the network thread.
class KeptConfigAnswer {
  public:
    struct Parts {
        std::shared_ptr<const std::string> config;  // the Store's text, the same until it changes
        std::string host;
        std::string relayUrl;
        bool relayEnabled = false;

        bool operator==(const Parts&) const = default;
    };

    // The bytes to send for `parts`, made by `make` only when they differ from the last ones.
    template <typename Make>
    std::shared_ptr<const std::string> get(Parts parts, Make make) {
        std::lock_guard lock(mutex_);
        if (!bytes_ || !(parts == parts_)) {
            bytes_ = std::make_shared<const std::string>(make(parts));
            parts_ = std::move(parts);
        }
        return bytes_;
    }

  private:
    std::mutex mutex_;
    Parts parts_;  // holding the config keeps its text alive, so a pointer is never reused
    std::shared_ptr<const std::string> bytes_;
};

}  // namespace td::api
