#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "server/connection.hpp"

namespace td::server {

// A streamed request body (Request::streamedBody) read by a worker thread in straight-line
// code: the connection's pieces wait here, at most `roomBytes` of them, while it reads on; past
// that it stops reading (TCP holds the peer back) until the worker has taken half of them.
class StreamedBody : public std::enable_shared_from_this<StreamedBody> {
  public:
    static constexpr std::size_t ROOM_BYTES = 1024 * 1024;

    // Starts reading the body of the request `connection` carries.
    static std::shared_ptr<StreamedBody> read(const ConnectionPtr& connection,
                                              std::size_t roomBytes = ROOM_BYTES);

    // The next piece, once it came; nothing when the body ended (then `whole` says how).
    std::optional<std::string> next();
    bool whole() const;
    // Nothing more is wanted: the connection stops reading it.
    void abandon();

  private:
    explicit StreamedBody(std::size_t roomBytes) : roomBytes_(roomBytes) {}
    Taken take(std::string_view piece);
    void end(bool whole);

    const std::size_t roomBytes_;
    std::weak_ptr<Connection> connection_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> pieces_;
    std::size_t held_ = 0;
    bool paused_ = false;
    bool ended_ = false;
    bool whole_ = false;
    bool abandoned_ = false;
};

}  // namespace td::server
