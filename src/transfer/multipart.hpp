#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace td::transfer {

// One part's head, as a form's part names it.
struct FormPart {
    std::string name;
    std::optional<std::string> fileName;  // present for a file (possibly empty)
    std::string contentType;
};

// Reads a multipart/form-data body as it arrives, in pieces of any size, without holding it:
// a part's bytes are handed on as they come, except the few that could start the next
// delimiter. The outcome depends only on the bytes, not on how they were split.
class MultipartReader {
  public:
    // A part's head may not be longer than this, nor a form have more parts.
    static constexpr std::size_t MAX_PART_HEAD_BYTES = 16 * 1024;
    static constexpr std::size_t MAX_PARTS = 256;

    enum class Status {
        more,       // go on feeding
        done,       // the closing delimiter was read (what follows it is ignored)
        malformed,  // not a form of this boundary, a head too long, too many parts
        stopped,    // a callback said to stop
    };

    // Each returns false to stop reading.
    struct Events {
        std::function<bool(const FormPart& part)> partBegins;
        std::function<bool(std::string_view bytes)> partBytes;
        std::function<bool()> partEnds;
    };

    // The boundary a Content-Type names ("multipart/form-data; boundary=..."), or nothing.
    static std::optional<std::string> boundaryOf(std::string_view contentType);

    MultipartReader(std::string_view boundary, Events events);

    Status feed(std::string_view bytes);
    // Said at the body's end: a form that never closed is malformed.
    Status finish();

  private:
    enum class State { preamble, afterDelimiter, head, body, done, failed };
    // Each reads what it can; true when it moved on and another step may follow.
    bool step();
    bool skipPreamble();
    bool readAfterDelimiter();
    bool readHead();
    bool readBody();
    static FormPart partOf(std::string_view head);
    Status fail(Status status);

    const std::string delimiter_;  // CR LF "--" boundary
    Events events_;
    State state_ = State::preamble;
    std::string buffer_;
    std::size_t parts_ = 0;
    std::size_t preambleBytes_ = 0;
    bool partOpen_ = false;  // a part began and its end is not yet told
    Status last_ = Status::more;
};

// The value of `parameter` in a header's `; name="value"` list (quoted or not), or nothing.
std::optional<std::string> headerParameter(std::string_view header, std::string_view parameter);

}  // namespace td::transfer
