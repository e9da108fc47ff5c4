#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace td::transfer {

// Free space a phone's files never take: the disk's last GiB stays the user's.
inline constexpr std::uint64_t KEPT_FREE_BYTES = 1024ull * 1024 * 1024;
// A name, in bytes, as most file systems allow.
inline constexpr std::size_t MAX_NAME_BYTES = 255;

// The name a phone gave a file, made safe to create in the download folder: its last path
// segment only (a `/` or `\` never reaches the file system), without NUL, control characters,
// leading dots or blanks, not cut inside a character, at most MAX_NAME_BYTES less room for
// " (NNN)" and ".part", its extension kept; "file" when nothing is left.
std::string cleanFileName(std::string_view name);

// "photo.jpg" as the `copy`-th of its name: "photo (2).jpg" for 2; `name` itself for 1.
std::string numberedName(const std::string& name, unsigned copy);

// Bytes free to an unprivileged user on the file system of `folder`; nothing when unknown.
std::optional<std::uint64_t> freeBytes(const std::filesystem::path& folder);

// Bytes promised to uploads under way: each is let in only while the disk's free space covers
// the reserve, what the others may still write, and its own length, so that several together
// never eat into the reserve that each alone respects. Any thread.
class SpaceBudget {
  public:
    // Held while an upload runs; what it wrote is taken off its promise (the disk shows it).
    class Hold {
      public:
        Hold(SpaceBudget& budget, std::uint64_t bytes) : budget_(&budget), left_(bytes) {}
        Hold(Hold&& other) noexcept
            : budget_(std::exchange(other.budget_, nullptr)), left_(other.left_) {}
        Hold& operator=(Hold&&) = delete;
        ~Hold();
        void wrote(std::uint64_t bytes);

      private:
        SpaceBudget* budget_;
        std::uint64_t left_;
    };

    // Nothing when `freeNow` (unknown: let in) does not cover the reserve, what is promised and
    // `bytes`.
    std::optional<Hold> hold(std::optional<std::uint64_t> freeNow, std::uint64_t bytes);

  private:
    std::mutex mutex_;
    std::uint64_t promised_ = 0;
};

// One file arriving in the download folder: written as "NAME.part" under a name no other file
// has (nor another arrival), renamed to NAME once whole, removed when abandoned. A name taken
// meanwhile (another phone's file of the same name finished first) moves this one to the next
// free number. Never throws.
class Arrival {
  public:
    enum class Outcome { ok, diskFull, failed };

    // Creates the ".part" file; nothing when the folder cannot take one.
    static std::optional<Arrival> begin(const std::filesystem::path& folder,
                                        std::string_view phoneName);
    Arrival(Arrival&& other) noexcept;
    Arrival& operator=(Arrival&&) = delete;
    Arrival(const Arrival&) = delete;
    ~Arrival();  // an arrival never finished is removed

    // Appends bytes; never past the disk's last KEPT_FREE_BYTES.
    Outcome write(std::string_view bytes);
    // Renames it into place; the final name, or nothing (the ".part" is then gone too).
    std::optional<std::string> finish();
    void abandon();
    std::uint64_t size() const { return written_; }

  private:
    Arrival(std::filesystem::path folder, std::string name, unsigned copy, int fd);

    std::filesystem::path folder_;
    std::string name_;  // the clean name, before numbering
    unsigned copy_;
    int fd_;
    std::uint64_t written_ = 0;
    std::uint64_t checkedUntil_ = 0;  // free space is asked again after each such stretch
};

}  // namespace td::transfer
