#include "transfer/downloads.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/log.hpp"
#include "common/utf8.hpp"

namespace td::transfer {
namespace {

constexpr std::string_view PART = ".part";
// Room kept in a name for " (NNN)" and ".part".
constexpr std::size_t NUMBER_ROOM = 6 + PART.size();
// Past this many names taken, the folder is treated as unable to take the file.
constexpr unsigned MAX_COPIES = 999;
// Free space is asked of the file system again after this much was written.
constexpr std::uint64_t CHECK_EVERY_BYTES = 64ull * 1024 * 1024;

bool isContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// `text` cut to at most `bytes`, never inside a UTF-8 sequence.
std::string_view cutUtf8(std::string_view text, std::size_t bytes) {
    if (text.size() <= bytes) {
        return text;
    }
    while (bytes > 0 && isContinuationByte(text[bytes])) {
        --bytes;
    }
    return text.substr(0, bytes);
}

// Characters that change how a name reads without showing (photo\u202Egpj.exe reads as
// "photoexe.jpg"): zero-width ones and direction marks, embeddings, overrides and isolates, the
// line and paragraph separators, and the byte order mark.
bool isInvisibleOrReordering(std::string_view character) {
    const auto byte = [&](std::size_t i) {
        return static_cast<unsigned>(static_cast<unsigned char>(character[i]));
    };
    const unsigned point = ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    return (point >= 0x200B && point <= 0x200F) || (point >= 0x2028 && point <= 0x202E) ||
           (point >= 0x2060 && point <= 0x2069) || point == 0xFEFF;
}

// Only well-formed characters, none of them a control character.
std::string printableUtf8(std::string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        const std::string_view character = text.substr(at, length);
        if (character.size() != length || !isValidUtf8(character)) {
            ++at;  // a stray byte: what follows it may be whole
            continue;
        }
        at += length;
        if (length == 1 && (lead < 0x20 || lead == 0x7F)) {
            continue;
        }
        // C1 controls (U+0080..U+009F) are as invisible as the others.
        if (length == 2 && lead == 0xC2 && static_cast<unsigned char>(character[1]) < 0xA0) {
            continue;
        }
        if (length == 3 && isInvisibleOrReordering(character)) {
            continue;
        }
        out.append(character);
    }
    return out;
}

std::string_view trimmedName(std::string_view name) {
    // Nor a leading dash, which a command given the name would take for an option.
    while (!name.empty() && (name.front() == '.' || name.front() == ' ' || name.front() == '-')) {
        name.remove_prefix(1);
    }
    while (!name.empty() && name.back() == ' ') {
        name.remove_suffix(1);
    }
    return name;
}

// The split of a name at its extension: ".jpg" of "photo.jpg"; none for "archive" or one too
// long to be one.
std::size_t extensionAt(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos || dot == 0 || name.size() - dot > 16 ? name.size() : dot;
}

}  // namespace

std::string cleanFileName(std::string_view name) {
    const std::size_t slash = name.find_last_of("/\\");
    if (slash != std::string_view::npos) {
        name = name.substr(slash + 1);
    }
    const std::string printable = printableUtf8(name);
    const std::string_view trimmed = trimmedName(printable);
    if (trimmed.empty()) {
        return "file";
    }
    const std::size_t room = MAX_NAME_BYTES - NUMBER_ROOM;
    if (trimmed.size() <= room) {
        return std::string(trimmed);
    }
    const std::size_t dot = extensionAt(trimmed);
    const std::string_view extension = trimmed.substr(dot);
    const std::string_view stem = cutUtf8(trimmed.substr(0, dot), room - extension.size());
    return std::string(trimmedName(stem)) + std::string(extension);
}

std::string numberedName(const std::string& name, unsigned copy) {
    if (copy <= 1) {
        return name;
    }
    const std::size_t dot = extensionAt(name);
    return name.substr(0, dot) + " (" + std::to_string(copy) + ")" + name.substr(dot);
}

std::optional<std::uint64_t> freeBytes(const std::filesystem::path& folder) {
    struct statvfs facts {};
    if (::statvfs(folder.c_str(), &facts) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(facts.f_bavail) * facts.f_frsize;
}

std::optional<SpaceBudget::Hold> SpaceBudget::hold(std::optional<std::uint64_t> freeNow,
                                                   std::uint64_t bytes) {
    std::lock_guard lock(mutex_);
    if (freeNow && *freeNow < KEPT_FREE_BYTES + promised_ + bytes) {
        return std::nullopt;
    }
    promised_ += bytes;
    return Hold(*this, bytes);
}

void SpaceBudget::Hold::wrote(std::uint64_t bytes) {
    const std::uint64_t taken = std::min(bytes, left_);
    left_ -= taken;
    std::lock_guard lock(budget_->mutex_);
    budget_->promised_ -= taken;
}

SpaceBudget::Hold::~Hold() {
    if (budget_) {
        std::lock_guard lock(budget_->mutex_);
        budget_->promised_ -= left_;
    }
}

std::optional<Arrival> Arrival::begin(const std::filesystem::path& folder,
                                      std::string_view phoneName) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    const std::string name = cleanFileName(phoneName);
    for (unsigned copy = 1; copy <= MAX_COPIES; ++copy) {
        const std::string candidate = numberedName(name, copy);
        if (std::filesystem::exists(folder / candidate, ignored)) {
            continue;
        }
        const auto part = folder / (candidate + std::string(PART));
        const int fd =
            ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            return Arrival(folder, name, copy, fd);
        }
        if (errno != EEXIST) {
            TD_LOG(transfer, "cannot create a file in the download folder: " +
                                 std::string(std::strerror(errno)));
            return std::nullopt;
        }
    }
    TD_LOG(transfer, "every numbered name of an arriving file is taken");
    return std::nullopt;
}

Arrival::Arrival(std::filesystem::path folder, std::string name, unsigned copy, int fd)
    : folder_(std::move(folder)), name_(std::move(name)), copy_(copy), fd_(fd) {}

Arrival::Arrival(Arrival&& other) noexcept
    : folder_(std::move(other.folder_)),
      name_(std::move(other.name_)),
      copy_(other.copy_),
      fd_(std::exchange(other.fd_, -1)),
      written_(other.written_),
      checkedUntil_(other.checkedUntil_) {}

Arrival::~Arrival() {
    abandon();
}

Arrival::Outcome Arrival::write(std::string_view bytes) {
    if (fd_ < 0) {
        return Outcome::failed;
    }
    if (written_ + bytes.size() > checkedUntil_) {
        const auto free = freeBytes(folder_);
        if (!free || *free < KEPT_FREE_BYTES + bytes.size()) {
            return Outcome::diskFull;
        }
        // Enough is free for this stretch; ask again after it, or sooner when little is left.
        checkedUntil_ =
            written_ + std::min(CHECK_EVERY_BYTES, (*free - KEPT_FREE_BYTES) / 2) + bytes.size();
    }
    while (!bytes.empty()) {
        const ssize_t done = ::write(fd_, bytes.data(), bytes.size());
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return errno == ENOSPC || errno == EDQUOT ? Outcome::diskFull : Outcome::failed;
        }
        written_ += static_cast<std::uint64_t>(done);
        bytes.remove_prefix(static_cast<std::size_t>(done));
    }
    return Outcome::ok;
}

std::optional<std::string> Arrival::finish() {
    if (fd_ < 0) {
        return std::nullopt;
    }
    const auto part = folder_ / (numberedName(name_, copy_) + std::string(PART));
    std::error_code ignored;
    if (::close(std::exchange(fd_, -1)) != 0) {
        std::filesystem::remove(part, ignored);
        return std::nullopt;
    }
    for (unsigned copy = copy_; copy <= MAX_COPIES; ++copy) {
        const std::string final = numberedName(name_, copy);
        // Never over a file that is there: another arrival of the same name may have won.
        if (::renameat2(AT_FDCWD, part.c_str(), AT_FDCWD, (folder_ / final).c_str(),
                        RENAME_NOREPLACE) == 0) {
            return final;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    TD_LOG(transfer,
           "an arrived file could not be put in place: " + std::string(std::strerror(errno)));
    std::filesystem::remove(part, ignored);
    return std::nullopt;
}

void Arrival::abandon() {
    if (fd_ >= 0) {
        ::close(std::exchange(fd_, -1));
        std::error_code ignored;
        std::filesystem::remove(folder_ / (numberedName(name_, copy_) + std::string(PART)),
                                ignored);
    }
}

}  // namespace td::transfer
