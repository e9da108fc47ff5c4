#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/json.hpp"

namespace td::transfer {

// What this computer offers its phones: files (by path, never copied), links and texts, for an
// hour, the newest MAX_ITEMS. Any thread.
class Inbox {
  public:
    static constexpr std::size_t MAX_ITEMS = 20;
    static constexpr std::chrono::minutes LIFETIME{60};
    // A text offered, at most.
    static constexpr std::size_t MAX_TEXT_BYTES = 1024 * 1024;

    enum class Kind { file, url, text };

    struct Item {
        std::string id;
        Kind kind = Kind::text;
        std::string name;  // the file's name, the URL, or the text's first line, shortened
        std::uint64_t size = 0;
        std::string value;  // the path, the URL or the text
        std::chrono::steady_clock::time_point added;
        // What the file was when offered: a file changed since is not served as this one.
        std::filesystem::file_time_type modified{};
        std::uint64_t inode = 0;
        std::uint64_t device = 0;
    };

    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // `changed` hears every change (on the thread that made it), after the lock is released.
    explicit Inbox(std::function<void()> changed = {},
                   Clock clock = std::chrono::steady_clock::now);

    // Offers a regular file; nothing (with the reason) when it is not one that can be read.
    std::optional<std::string> addFile(const std::filesystem::path& path, std::string& error);
    // Offers a link (http or https) or a text.
    std::optional<std::string> addUrl(const std::string& url, std::string& error);
    std::optional<std::string> addText(const std::string& text, std::string& error);

    // The items still offered, oldest first.
    std::vector<Item> items();
    std::optional<Item> find(const std::string& id);
    // [{"id","kind","name","size"}], oldest first.
    Json listJson();

    // Whether the file offered as `item` is still the one that was offered.
    static bool stillTheSame(const Item& item);

  private:
    std::string add(Item item);
    void dropExpiredLocked();

    std::function<void()> changed_;
    Clock clock_;
    std::mutex mutex_;
    std::vector<Item> items_;
};

const char* kindName(Inbox::Kind kind);

}  // namespace td::transfer
