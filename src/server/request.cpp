#include "server/request.hpp"

#include <algorithm>
#include <boost/url/parse.hpp>
#include <boost/url/pct_string_view.hpp>
#include <charconv>
#include <limits>

#include "common/utf8.hpp"

namespace td::server {
namespace {

constexpr std::string_view HEADER_END = "\r\n\r\n";

// The UTF-8 length of a blank at the start of `text`, or 0 when it does not start with one.
// Blanks are tab and the Unicode space separators (general category Zs).
std::size_t blankLengthAtFront(std::string_view t) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(t[i]); };
    if (t.empty()) {
        return 0;
    }
    if (t[0] == ' ' || t[0] == '\t') {
        return 1;
    }
    if (t.size() >= 2 && byte(0) == 0xC2 && byte(1) == 0xA0) {
        return 2;  // U+00A0
    }
    if (t.size() < 3) {
        return 0;
    }
    const unsigned a = byte(0), b = byte(1), c = byte(2);
    const bool ogham = a == 0xE1 && b == 0x9A && c == 0x80;  // U+1680
    const bool enQuadToHairSpace =
        a == 0xE2 && b == 0x80 && c >= 0x80 && c <= 0x8A;            // U+2000..200A
    const bool narrowNoBreak = a == 0xE2 && b == 0x80 && c == 0xAF;  // U+202F
    const bool mediumMath = a == 0xE2 && b == 0x81 && c == 0x9F;     // U+205F
    const bool ideographic = a == 0xE3 && b == 0x80 && c == 0x80;    // U+3000
    return (ogham || enQuadToHairSpace || narrowNoBreak || mediumMath || ideographic) ? 3 : 0;
}

std::size_t blankLengthAtBack(std::string_view t) {
    for (std::size_t len : {1u, 2u, 3u}) {
        if (t.size() >= len && blankLengthAtFront(t.substr(t.size() - len)) == len) {
            return len;
        }
    }
    return 0;
}

std::string asciiLower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char ch) {
        return static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch + ('a' - 'A') : ch);
    });
    return out;
}

// Splits at CR LF, keeping empty pieces.
template <typename Visit>
void forEachLine(std::string_view text, Visit visit) {
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string_view::npos) {
            visit(text.substr(start));
            return;
        }
        visit(text.substr(start, end - start));
        start = end + 2;
    }
}

void applyRequestLine(std::string_view line, RequestHead& head) {
    std::size_t wordIndex = 0;
    std::size_t pos = 0;
    while (wordIndex < 2) {
        pos = line.find_first_not_of(' ', pos);
        if (pos == std::string_view::npos) {
            return;
        }
        const std::size_t end = std::min(line.find(' ', pos), line.size());
        const std::string word(line.substr(pos, end - pos));
        (wordIndex == 0 ? head.method : head.target) = word;
        ++wordIndex;
        pos = end;
    }
}

}  // namespace

std::optional<std::string> Request::header(const std::string& lowerCaseName) const {
    auto it = headers.find(lowerCaseName);
    if (it == headers.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::string_view trimBlanks(std::string_view text) {
    while (std::size_t len = blankLengthAtFront(text)) {
        text.remove_prefix(len);
    }
    while (std::size_t len = blankLengthAtBack(text)) {
        text.remove_suffix(len);
    }
    return text;
}

std::int64_t parseContentLength(std::string_view value) {
    bool negative = false;
    if (!value.empty() && (value.front() == '+' || value.front() == '-')) {
        negative = value.front() == '-';
        value.remove_prefix(1);
    }
    if (value.empty() ||
        !std::all_of(value.begin(), value.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
        return 0;
    }
    std::int64_t magnitude = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), magnitude);
    if (ec != std::errc{} || end != value.data() + value.size()) {
        return 0;  // out of range
    }
    return negative ? -magnitude : magnitude;
}

std::optional<std::uint16_t> parsePort(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
        return std::nullopt;
    }
    unsigned long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() ||
        value > std::numeric_limits<std::uint16_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

RequestHead parseHead(std::string_view headerBlock) {
    RequestHead head;
    if (!isValidUtf8(headerBlock)) {
        headerBlock = {};
    }
    bool firstLine = true;
    forEachLine(headerBlock, [&](std::string_view line) {
        if (firstLine) {
            firstLine = false;
            applyRequestLine(line, head);
            return;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            return;
        }
        std::string name = asciiLower(trimBlanks(line.substr(0, colon)));
        std::string_view value = trimBlanks(line.substr(colon + 1));
        if (name == "content-length") {
            head.declaredLength = parseContentLength(value);
        }
        head.headers[std::move(name)] = std::string(value);
    });
    return head;
}

void applyTarget(std::string_view target, Request& request) {
    // A path that starts "//" is a path with an empty segment, not an authority; the fragment,
    // which a path never holds, is dropped.
    auto parsed = target.starts_with('/')
                      ? boost::urls::parse_origin_form(target.substr(0, target.find('#')))
                      : boost::urls::parse_uri_reference(target);
    request.query.clear();
    if (!parsed) {
        request.path = std::string(target);
        request.encodedPath = request.path;
        return;
    }
    request.path = parsed->path();
    request.encodedPath = parsed->encoded_path();
    // Items are split and decoded here rather than through params(): in Boost.URL 1.81 an
    // empty query followed by a fragment yields a value that reads past the target.
    const std::string_view query = parsed->encoded_query();
    std::size_t start = 0;
    while (start < query.size()) {
        const std::size_t end = std::min(query.find('&', start), query.size());
        const std::string_view item = query.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = item.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        auto key = boost::urls::make_pct_string_view(item.substr(0, equals));
        auto value = boost::urls::make_pct_string_view(item.substr(equals + 1));
        if (key && value) {
            request.query[key->decode()] = value->decode();  // a `+` stays a `+`
        }
    }
}

char* RequestReader::prepare(std::size_t& capacity) {
    // Grow geometrically so a large body takes few reads, but never ask for more than one
    // read's worth at a time.
    const std::size_t want = std::clamp<std::size_t>(filled_, 4096, MAX_READ_BYTES);
    if (buffer_.size() < filled_ + want) {
        buffer_.resize(filled_ + want);
    }
    capacity = want;
    return buffer_.data() + filled_;
}

RequestReader::Status RequestReader::commit(std::size_t bytesRead) {
    filled_ += bytesRead;
    return examine();
}

RequestReader::Status RequestReader::feed(std::string_view bytes) {
    buffer_.resize(filled_);
    buffer_.append(bytes);
    filled_ = buffer_.size();
    return examine();
}

RequestReader::Status RequestReader::examine() {
    const std::string_view data(buffer_.data(), filled_);
    if (!headerEnd_) {
        const std::size_t found = data.find(HEADER_END, scannedUpTo_);
        if (found == std::string_view::npos) {
            if (data.size() > MAX_HEADER_BYTES + HEADER_END.size()) {
                return Status::headerTooLarge;
            }
            scannedUpTo_ = data.size() < 3 ? 0 : data.size() - 3;
            return Status::needMore;
        }
        if (found > MAX_HEADER_BYTES) {
            return Status::headerTooLarge;
        }
        headerEnd_ = found;
        head_ = parseHead(data.substr(0, found));
        if (const Status verdict = judgeHead(); verdict != Status::needMore) {
            return verdict;
        }
    }
    if (streamed_) {
        return Status::complete;  // the body is its handler's to read
    }
    const std::size_t bodyStart = *headerEnd_ + HEADER_END.size();
    const auto needed = static_cast<std::size_t>(head_.declaredLength);
    return data.size() - bodyStart >= needed ? Status::complete : Status::needMore;
}

// Everything that can be decided from the head alone; needMore when the body may follow.
RequestReader::Status RequestReader::judgeHead() {
    // Only origin-form targets: anything else would be joined to a folder as it stands.
    if (!head_.target.starts_with('/') || head_.headers.contains("transfer-encoding")) {
        return Status::malformed;
    }
    if (head_.declaredLength < 0) {
        return Status::negativeLength;
    }
    pending_.method = head_.method;
    applyTarget(head_.target, pending_);
    const std::size_t wanted = limit_ ? limit_(pending_.method, pending_.path) : MAX_BODY_BYTES;
    if (wanted == STREAMED_BODY) {
        streamed_ = head_.declaredLength > 0;
        return Status::needMore;
    }
    const std::size_t limit = std::min<std::size_t>(wanted, MAX_BODY_BYTES);
    if (static_cast<std::uint64_t>(head_.declaredLength) > limit) {
        return Status::bodyTooLarge;
    }
    return Status::needMore;
}

Request RequestReader::take(std::string* bodyStart) {
    Request request = std::move(pending_);
    const std::size_t start = *headerEnd_ + HEADER_END.size();
    const auto declared = static_cast<std::size_t>(head_.declaredLength);
    if (streamed_) {
        request.streamedBody = declared;
        if (bodyStart) {
            bodyStart->assign(buffer_, start, std::min(declared, filled_ - start));
        }
    } else {
        request.body.assign(buffer_, start, declared);
    }
    request.headers = std::move(head_.headers);
    return request;
}

std::size_t RequestReader::declaredBodyLength() const {
    return headerEnd_ && head_.declaredLength > 0 ? static_cast<std::size_t>(head_.declaredLength)
                                                  : 0;
}

}  // namespace td::server
