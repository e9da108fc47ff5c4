#include "transfer/inbox.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include "common/random.hpp"
#include "common/utf8.hpp"
#include "common/web_url.hpp"

namespace td::transfer {
namespace {

// The name a text shows under: its first line, at most this long.
constexpr std::size_t TEXT_NAME_BYTES = 80;

std::string firstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    if (line.size() > TEXT_NAME_BYTES) {
        std::size_t cut = TEXT_NAME_BYTES;
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        line = line.substr(0, cut) + "…";
    }
    return line;
}

}  // namespace

const char* kindName(Inbox::Kind kind) {
    switch (kind) {
        case Inbox::Kind::file:
            return "file";
        case Inbox::Kind::url:
            return "url";
        case Inbox::Kind::text:
            break;
    }
    return "text";
}

Inbox::Inbox(std::function<void()> changed, Clock clock)
    : changed_(std::move(changed)), clock_(std::move(clock)) {}

std::optional<std::string> Inbox::addFile(const std::filesystem::path& path, std::string& error) {
    struct stat facts {};
    if (!path.is_absolute() || path.string().find('\0') != std::string::npos ||
        ::stat(path.c_str(), &facts) != 0 || !S_ISREG(facts.st_mode) ||
        ::access(path.c_str(), R_OK) != 0) {
        error = "Not a file that can be read: " + path.string();
        return std::nullopt;
    }
    Item item;
    item.kind = Kind::file;
    item.name = path.filename().string();
    item.size = static_cast<std::uint64_t>(facts.st_size);
    item.value = path.string();
    std::error_code ignored;
    item.modified = std::filesystem::last_write_time(path, ignored);
    item.inode = facts.st_ino;
    item.device = facts.st_dev;
    return add(std::move(item));
}

std::optional<std::string> Inbox::addUrl(const std::string& url, std::string& error) {
    if (!isWebUrl(url)) {
        error = "Not a web link (http or https)";
        return std::nullopt;
    }
    Item item;
    item.kind = Kind::url;
    item.name = url.size() > 2048 ? url.substr(0, 2048) : url;
    item.size = url.size();
    item.value = url;
    return add(std::move(item));
}

std::optional<std::string> Inbox::addText(const std::string& text, std::string& error) {
    if (text.empty() || text.size() > MAX_TEXT_BYTES || !isValidUtf8(text)) {
        error = "A text must be 1 byte to 1 MiB of UTF-8";
        return std::nullopt;
    }
    Item item;
    item.kind = Kind::text;
    item.name = firstLine(text);
    item.size = text.size();
    item.value = text;
    return add(std::move(item));
}

std::string Inbox::add(Item item) {
    item.id = randomHex(8);
    item.added = clock_();
    const std::string id = item.id;
    {
        std::lock_guard lock(mutex_);
        dropExpiredLocked();
        items_.push_back(std::move(item));
        if (items_.size() > MAX_ITEMS) {
            items_.erase(items_.begin(), items_.end() - MAX_ITEMS);
        }
    }
    if (changed_) {
        changed_();
    }
    return id;
}

void Inbox::dropExpiredLocked() {
    const auto now = clock_();
    std::erase_if(items_, [&](const Item& item) { return now - item.added >= LIFETIME; });
}

std::vector<Inbox::Item> Inbox::items() {
    std::lock_guard lock(mutex_);
    dropExpiredLocked();
    return items_;
}

std::optional<Inbox::Item> Inbox::find(const std::string& id) {
    std::lock_guard lock(mutex_);
    dropExpiredLocked();
    for (const Item& item : items_) {
        if (item.id == id) {
            return item;
        }
    }
    return std::nullopt;
}

Json Inbox::listJson() {
    Json list = Json::array();
    for (const Item& item : items()) {
        list.push_back({{"id", item.id},
                        {"kind", kindName(item.kind)},
                        {"name", item.name},
                        {"size", item.size}});
    }
    return list;
}

bool Inbox::stillTheSame(const Item& item) {
    struct stat facts {};
    std::error_code ignored;
    return ::stat(item.value.c_str(), &facts) == 0 && S_ISREG(facts.st_mode) &&
           facts.st_ino == item.inode && facts.st_dev == item.device &&
           static_cast<std::uint64_t>(facts.st_size) == item.size &&
           std::filesystem::last_write_time(item.value, ignored) == item.modified;
}

}  // namespace td::transfer
