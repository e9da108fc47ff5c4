#include "transfer/multipart.hpp"

#include <algorithm>
#include <cctype>
#include <utility>

#include "common/text.hpp"

namespace td::transfer {
namespace {

constexpr std::string_view CRLF = "\r\n";

// A boundary as a form may use it: 1 to 70 characters, no CR, LF or NUL.
bool isBoundary(std::string_view text) {
    return !text.empty() && text.size() <= 70 &&
           text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

}  // namespace

std::optional<std::string> headerParameter(std::string_view header, std::string_view parameter) {
    std::size_t at = header.find(';');
    while (at != std::string_view::npos && at < header.size()) {
        std::size_t start = at + 1;
        while (start < header.size() && (header[start] == ' ' || header[start] == '\t')) {
            ++start;
        }
        const std::size_t equals = header.find('=', start);
        if (equals == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string key = asciiLowerCase(trimmedSpaces(header.substr(start, equals - start)));
        std::string value;
        std::size_t next = equals + 1;
        while (next < header.size() && header[next] == ' ') {
            ++next;
        }
        if (next < header.size() && header[next] == '"') {
            ++next;
            while (next < header.size() && header[next] != '"') {
                if (header[next] == '\\' && next + 1 < header.size()) {
                    ++next;
                }
                value += header[next++];
            }
            next = header.find(';', next);
        } else {
            const std::size_t end = header.find(';', next);
            value = std::string(trimmedSpaces(header.substr(
                next, end == std::string_view::npos ? std::string_view::npos : end - next)));
            next = end;
        }
        if (key == asciiLowerCase(parameter)) {
            return value;
        }
        at = next;
    }
    return std::nullopt;
}

std::optional<std::string> MultipartReader::boundaryOf(std::string_view contentType) {
    const std::size_t semicolon = contentType.find(';');
    if (asciiLowerCase(trimmedSpaces(contentType.substr(0, semicolon))) != "multipart/form-data") {
        return std::nullopt;
    }
    auto boundary = headerParameter(contentType, "boundary");
    if (!boundary || !isBoundary(*boundary)) {
        return std::nullopt;
    }
    return boundary;
}

MultipartReader::MultipartReader(std::string_view boundary, Events events)
    : delimiter_("\r\n--" + std::string(boundary)), events_(std::move(events)) {
    // The first delimiter may open the body without the CR LF every later one has.
    buffer_ = CRLF;
}

MultipartReader::Status MultipartReader::fail(Status status) {
    state_ = State::failed;
    buffer_.clear();
    return last_ = status;
}

MultipartReader::Status MultipartReader::feed(std::string_view bytes) {
    if (state_ == State::done || state_ == State::failed) {
        return last_;
    }
    buffer_.append(bytes);
    while (state_ != State::done && state_ != State::failed && step()) {
    }
    return last_;
}

MultipartReader::Status MultipartReader::finish() {
    if (state_ == State::done || state_ == State::failed) {
        return last_;
    }
    return fail(Status::malformed);
}

bool MultipartReader::step() {
    switch (state_) {
        case State::preamble:
            return skipPreamble();
        case State::afterDelimiter:
            return readAfterDelimiter();
        case State::head:
            return readHead();
        case State::body:
            return readBody();
        case State::done:
        case State::failed:
            break;
    }
    return false;
}

// What comes before the first delimiter is not the form's; it may not go on for long.
bool MultipartReader::skipPreamble() {
    const std::size_t found = buffer_.find(delimiter_);
    const std::size_t dropped = found != std::string::npos ? found
                                : buffer_.size() >= delimiter_.size()
                                    ? buffer_.size() - (delimiter_.size() - 1)
                                    : 0;
    preambleBytes_ += dropped;
    if (preambleBytes_ > MAX_PART_HEAD_BYTES) {
        fail(Status::malformed);
        return false;
    }
    if (found == std::string::npos) {
        buffer_.erase(0, dropped);
        return false;
    }
    buffer_.erase(0, found + delimiter_.size());
    state_ = State::afterDelimiter;
    return true;
}

// "--" closes the form; CR LF (after optional blanks) opens a part.
bool MultipartReader::readAfterDelimiter() {
    const std::size_t text = buffer_.find_first_not_of(" \t");
    if (text == std::string::npos || buffer_.size() - text < 2) {
        if (buffer_.size() > MAX_PART_HEAD_BYTES) {
            fail(Status::malformed);
        }
        return false;
    }
    const std::string_view after = std::string_view(buffer_).substr(text, 2);
    const bool closing = after == "--" && text == 0;
    if (!closing && after != CRLF) {
        fail(Status::malformed);  // the part that came before it is not whole either
        return false;
    }
    // Only a delimiter that is one ends the part before it.
    if (std::exchange(partOpen_, false) && events_.partEnds && !events_.partEnds()) {
        fail(Status::stopped);
        return false;
    }
    if (closing) {
        state_ = State::done;
        buffer_.clear();
        last_ = Status::done;
        return false;
    }
    buffer_.erase(0, text + 2);
    state_ = State::head;
    return true;
}

bool MultipartReader::readHead() {
    std::size_t end = 0;
    std::size_t consumed = 2;
    if (!buffer_.starts_with(CRLF)) {
        if (buffer_.size() < 2) {
            return false;
        }
        end = buffer_.find("\r\n\r\n");
        if (end == std::string::npos || end > MAX_PART_HEAD_BYTES) {
            if (end != std::string::npos || buffer_.size() > MAX_PART_HEAD_BYTES + 4) {
                fail(Status::malformed);
            }
            return false;
        }
        consumed = end + 4;
    }
    if (++parts_ > MAX_PARTS) {
        fail(Status::malformed);
        return false;
    }
    const FormPart part = partOf(std::string_view(buffer_).substr(0, end));
    buffer_.erase(0, consumed);
    state_ = State::body;
    partOpen_ = true;
    if (events_.partBegins && !events_.partBegins(part)) {
        fail(Status::stopped);
        return false;
    }
    return true;
}

// A part's bytes go on as they come, but for those that could start the next delimiter.
bool MultipartReader::readBody() {
    const std::size_t found = buffer_.find(delimiter_);
    const std::size_t keep = delimiter_.size() - 1;
    const std::size_t ready = found != std::string::npos ? found
                              : buffer_.size() > keep    ? buffer_.size() - keep
                                                         : 0;
    if (ready > 0 && events_.partBytes &&
        !events_.partBytes(std::string_view(buffer_).substr(0, ready))) {
        fail(Status::stopped);
        return false;
    }
    if (found == std::string::npos) {
        buffer_.erase(0, ready);
        return false;
    }
    buffer_.erase(0, found + delimiter_.size());
    state_ = State::afterDelimiter;
    return true;
}

FormPart MultipartReader::partOf(std::string_view head) {
    FormPart part;
    while (!head.empty()) {
        const std::size_t end = head.find(CRLF);
        const std::string_view line = head.substr(0, end);
        head = end == std::string_view::npos ? std::string_view() : head.substr(end + 2);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        const std::string name = asciiLowerCase(trimmedSpaces(line.substr(0, colon)));
        const std::string_view value = trimmedSpaces(line.substr(colon + 1));
        if (name == "content-disposition") {
            part.name = headerParameter(value, "name").value_or("");
            part.fileName = headerParameter(value, "filename");
        } else if (name == "content-type") {
            part.contentType = std::string(value);
        }
    }
    return part;
}

}  // namespace td::transfer
