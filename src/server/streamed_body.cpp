#include "server/streamed_body.hpp"

namespace td::server {

std::shared_ptr<StreamedBody> StreamedBody::read(const ConnectionPtr& connection,
                                                 std::size_t roomBytes) {
    std::shared_ptr<StreamedBody> body(new StreamedBody(roomBytes));
    body->connection_ = connection;
    BodySink sink;
    sink.onPiece = [body](std::string_view piece) { return body->take(piece); };
    sink.onEnd = [body](bool whole) { body->end(whole); };
    connection->readBody(std::move(sink));
    return body;
}

Taken StreamedBody::take(std::string_view piece) {
    std::lock_guard lock(mutex_);
    if (abandoned_) {
        return Taken::refused;
    }
    pieces_.emplace_back(piece);
    held_ += piece.size();
    changed_.notify_all();
    if (held_ < roomBytes_) {
        return Taken::readOn;
    }
    paused_ = true;
    return Taken::waitForRoom;
}

void StreamedBody::end(bool whole) {
    std::lock_guard lock(mutex_);
    ended_ = true;
    whole_ = whole;
    changed_.notify_all();
}

std::optional<std::string> StreamedBody::next() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !pieces_.empty() || ended_; });
    if (pieces_.empty()) {
        return std::nullopt;
    }
    std::string piece = std::move(pieces_.front());
    pieces_.pop_front();
    held_ -= piece.size();
    const bool resume = paused_ && held_ <= roomBytes_ / 2;
    if (resume) {
        paused_ = false;
    }
    lock.unlock();
    if (resume) {
        if (const auto connection = connection_.lock()) {
            connection->resumeReading();
        }
    }
    return piece;
}

bool StreamedBody::whole() const {
    std::lock_guard lock(mutex_);
    return ended_ && whole_;
}

void StreamedBody::abandon() {
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    pieces_.clear();
    held_ = 0;
}

}  // namespace td::server
