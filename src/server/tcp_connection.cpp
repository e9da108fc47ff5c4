#include "server/tcp_connection.hpp"

#include <malloc.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>

#include "common/log.hpp"
#include "server/peer_owner.hpp"

namespace td::server {
namespace asio = boost::asio;
using boost::system::error_code;

namespace {
constexpr std::size_t DRAIN_CHUNK = 4096;
// Drained at most: past it the peer is sending a body nobody will read (a refused upload), and
// reading it for the whole linger would cost the agent as much as the peer wants.
constexpr std::size_t MAX_DRAINED_BYTES = 256 * 1024;
constexpr std::size_t LARGE_BODY_BYTES = 256 * 1024;
// A streamed body is read this much at a time.
constexpr std::size_t BODY_READ_BYTES = 256 * 1024;
// A file is sent this much per turn of the network thread, so that others get theirs between.
constexpr std::size_t FILE_TURN_BYTES = 16 * 1024 * 1024;
}  // namespace

bool ConnectionEnv::admit(const std::string& peer) {
    std::lock_guard lock(mutex);
    if (openCount.load(std::memory_order_relaxed) >= maxConnections) {
        return false;
    }
    std::size_t& fromPeer = openPerPeer[peer];
    if (fromPeer >= limits.maxConnectionsPerPeer) {
        return false;
    }
    ++fromPeer;
    openCount.fetch_add(1, std::memory_order_relaxed);
    return true;
}

TcpConnection::TcpConnection(asio::ip::tcp::socket socket, std::string peer, RequestSource source,
                             std::shared_ptr<ConnectionEnv> env)
    : env_(std::move(env)),
      socket_(std::move(socket)),
      deadline_(socket_.get_executor()),
      reader_(env_->bodyLimit),
      peer_(std::move(peer)),
      source_(source) {}

TcpConnection::~TcpConnection() {
    env_->bodyBytesInFlight.fetch_sub(reservedBodyBytes_, std::memory_order_relaxed);
    if (reservedBodyBytes_ >= LARGE_BODY_BYTES) {
        // A large body and its parsed document were freed on worker threads, whose arenas
        // glibc keeps; hand those pages back rather than hold the peak for good.
        ::malloc_trim(0);
    }
    std::lock_guard lock(env_->mutex);
    env_->open.erase(this);
    if (auto it = env_->openPerPeer.find(peer_);
        it != env_->openPerPeer.end() && --it->second == 0) {
        env_->openPerPeer.erase(it);
    }
    env_->openCount.fetch_sub(1, std::memory_order_relaxed);
}

void TcpConnection::start() {
    {
        std::lock_guard lock(env_->mutex);
        env_->open.insert(this);
    }
    armDeadline(env_->limits.headerTimeout);
    doRead();
}

// The socket's executor is the io_context's (one network thread) or a strand of it.
bool TcpConnection::onOwnStrand() {
    const auto executor = socket_.get_executor();
    if (const auto* plain = executor.target<asio::io_context::executor_type>()) {
        return plain->running_in_this_thread();
    }
    if (const auto* strand = executor.target<asio::strand<asio::io_context::executor_type>>()) {
        return strand->running_in_this_thread();
    }
    return false;
}

void TcpConnection::armDeadline(std::chrono::milliseconds timeout) {
    deadline_.expires_after(timeout);
    deadline_.async_wait(
        [self = shared_from_this()](const error_code& ec) { self->onDeadline(ec); });
}

void TcpConnection::onDeadline(const error_code& ec) {
    if (ec == asio::error::operation_aborted || closed_) {
        return;
    }
    if (deadline_.expiry() <= asio::steady_timer::clock_type::now()) {
        closeNow();
    }
}

void TcpConnection::doRead() {
    std::size_t capacity = 0;
    char* room = reader_.prepare(capacity);
    socket_.async_read_some(
        asio::buffer(room, capacity),
        [self = shared_from_this()](const error_code& ec, std::size_t n) { self->onRead(ec, n); });
}

void TcpConnection::onRead(const error_code& ec, std::size_t bytesRead) {
    if (closed_) {
        return;
    }
    if (ec) {
        closeNow();  // the peer finished or failed before a whole request arrived
        return;
    }
    const RequestReader::Status status = reader_.commit(bytesRead);
    if (!headSeen_ &&
        (status == RequestReader::Status::needMore || status == RequestReader::Status::complete) &&
        reader_.declaredBodyLength() > env_->limits.smallBodyBytes) {
        headSeen_ = true;
        // A streamed body is never held whole: it takes none of what bodies in memory share.
        if (!reader_.streamsBody() && !reserveBody()) {
            refuse(503);
            return;
        }
        armDeadline(env_->limits.requestTimeout);  // the head is in; now the body's time
    }
    switch (status) {
        case RequestReader::Status::needMore:
            doRead();
            return;
        case RequestReader::Status::headerTooLarge:
            refuse(431);
            return;
        case RequestReader::Status::bodyTooLarge:
            refuse(413);
            return;
        case RequestReader::Status::malformed:
            refuse(400);
            return;
        case RequestReader::Status::negativeLength:
            closeNow();
            return;
        case RequestReader::Status::complete:
            break;
    }
    deadline_.cancel();
    const bool streamed = reader_.streamsBody();
    Request request = reader_.take(&bodyStart_);
    if (streamed) {
        bodyUnread_ = true;
        bodyLeft_ = request.streamedBody - bodyStart_.size();
        const auto expect = request.header("expect");
        bodyAwaitsContinue_ = expect && boost::iequals(*expect, "100-continue");
    }
    request.source = source_;
    request.peer = peer_;
    reader_ = RequestReader{};  // the buffer is not needed any more
    env_->deliver(shared_from_this(), std::move(request));
}

bool TcpConnection::peerIsThisUser() {
    if (source_ != RequestSource::loopbackAddress || closed_) {
        return false;
    }
    if (!peerIsThisUser_) {
        const auto owner = loopbackPeerOwner(socket_.native_handle());
        peerIsThisUser_ = owner && *owner == ::geteuid();
        if (!*peerIsThisUser_) {
            TD_LOG(http, "a loopback peer of another user (or unknown) is treated as remote");
        }
    }
    return *peerIsThisUser_;
}

// The body's bytes count against what every connection together may hold, until this
// connection ends (its handler works on them meanwhile).
bool TcpConnection::reserveBody() {
    const std::size_t wanted = reader_.declaredBodyLength();
    std::size_t held = env_->bodyBytesInFlight.load(std::memory_order_relaxed);
    do {
        if (held + wanted > env_->limits.maxBodyBytesInFlight) {
            return false;
        }
    } while (!env_->bodyBytesInFlight.compare_exchange_weak(held, held + wanted,
                                                            std::memory_order_relaxed));
    reservedBodyBytes_ = wanted;
    return true;
}

void TcpConnection::refuse(int status) {
    reader_ = RequestReader{};
    enqueue({std::make_shared<const std::string>(serialize(jsonResponse({{"ok", false}}, status))),
             true,
             {}});
}

// Work from other threads is queued under the lock, so that nothing reaches the io_context
// after the server drained it: a handler left there would keep this connection, and with it
// the io_context, alive for good.
void TcpConnection::sendRaw(std::shared_ptr<const std::string> bytes, bool close, WriteDone done) {
    if (onOwnStrand()) {
        enqueue({std::move(bytes), close, std::move(done)});
        return;
    }
    std::unique_lock lock(env_->mutex);
    if (!env_->stopped) {
        asio::post(socket_.get_executor(), [self = shared_from_this(), bytes = std::move(bytes),
                                            close, done = std::move(done)]() mutable {
            self->enqueue({std::move(bytes), close, std::move(done)});
        });
        return;
    }
    lock.unlock();
    if (done) {
        done(false);
    }
}

void TcpConnection::close() {
    if (onOwnStrand()) {
        closeNow();
        return;
    }
    std::lock_guard lock(env_->mutex);
    if (!env_->stopped) {
        asio::post(socket_.get_executor(), [self = shared_from_this()] { self->closeNow(); });
    }
}

void TcpConnection::enqueue(PendingWrite write) {
    const bool overBacklog =
        !write.close && backlogBytes_ + write.bytes->size() > env_->limits.maxStreamBacklog;
    if (closed_ || finishing_ || overBacklog) {
        if (write.done) {
            write.done(false);
        }
        return;
    }
    if (write.close) {
        finishing_ = true;
        armDeadline(env_->limits.requestTimeout);
    } else if (!streaming_) {
        // A write that keeps the connection open starts a stream: its small chunks must not
        // wait for the peer's delayed ACK.
        streaming_ = true;
        error_code ignored;
        socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    }
    backlogBytes_ += write.bytes->size();
    writes_.push_back(std::move(write));
    if (!writing_) {
        doWrite();
    }
}

void TcpConnection::doWrite() {
    writing_ = true;
    // The handler keeps the bytes alive even if the queue is abandoned while they are written.
    auto bytes = writes_.front().bytes;
    asio::async_write(socket_, asio::buffer(*bytes),
                      [self = shared_from_this(), bytes](const error_code& ec, std::size_t n) {
                          self->onWrite(ec, n);
                      });
}

void TcpConnection::onWrite(const error_code& ec, std::size_t) {
    writing_ = false;
    if (writes_.empty()) {
        return;  // closed meanwhile; the queue was already failed
    }
    PendingWrite written = std::move(writes_.front());
    writes_.pop_front();
    backlogBytes_ -= written.bytes->size();
    if (ec) {
        closeNow();
    }
    if (written.done) {
        written.done(!ec);
    }
    if (ec || closed_) {
        return;
    }
    if (written.close) {
        finishGracefully();
    } else if (!writes_.empty()) {
        doWrite();
    }
}

void TcpConnection::readBody(BodySink sink) {
    auto shared = std::make_shared<BodySink>(std::move(sink));
    auto start = [self = shared_from_this(), shared] {
        if (self->closed_ || self->finishing_ || !self->bodyUnread_) {
            if (shared->onEnd) {
                shared->onEnd(false);
            }
            return;
        }
        self->bodyUnread_ = false;
        self->bodySink_ = std::move(*shared);
        if (self->bodyAwaitsContinue_ && self->bodyLeft_ > 0) {
            // Only now that the body is wanted: a refusal before it costs the client nothing.
            self->enqueue(
                {std::make_shared<const std::string>("HTTP/1.1 100 Continue\r\n\r\n"), false, {}});
        }
        self->deliverBodyStart();
    };
    if (onOwnStrand()) {
        return start();
    }
    std::unique_lock lock(env_->mutex);
    if (!env_->stopped) {
        asio::post(socket_.get_executor(), std::move(start));
        return;
    }
    lock.unlock();
    if (shared->onEnd) {
        shared->onEnd(false);
    }
}

void TcpConnection::deliverBodyStart() {
    if (!bodyStart_.empty()) {
        const std::string piece = std::exchange(bodyStart_, {});
        const Taken taken = bodySink_.onPiece(piece);
        if (taken == Taken::refused) {
            return endBody(false);
        }
        bodyPaused_ = taken == Taken::waitForRoom;
    }
    if (bodyLeft_ == 0) {
        return endBody(true);
    }
    if (!bodyPaused_) {
        doBodyRead();
    }
}

void TcpConnection::doBodyRead() {
    if (!bodyBuffer_) {
        bodyBuffer_ = std::make_unique<char[]>(BODY_READ_BYTES);
    }
    bodyReadPending_ = true;
    // The peer's silence is bounded, not the time the body takes nor the sink's own pauses.
    armDeadline(env_->limits.requestTimeout);
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(bodyLeft_, BODY_READ_BYTES));
    socket_.async_read_some(asio::buffer(bodyBuffer_.get(), wanted),
                            [self = shared_from_this()](const error_code& ec, std::size_t n) {
                                self->onBodyRead(ec, n);
                            });
}

void TcpConnection::onBodyRead(const error_code& ec, std::size_t bytesRead) {
    bodyReadPending_ = false;
    if (closed_) {
        return;
    }
    if (drainBuffer_) {
        return ec ? closeNow() : doDrain();  // answered meanwhile: the rest is only drained
    }
    if (!bodySink_.onPiece) {
        return;
    }
    if (ec) {
        TD_LOG(http, "a streamed body ended short: " + ec.message());
        return closeNow();
    }
    deadline_.cancel();
    bodyLeft_ -= bytesRead;
    const Taken taken = bodySink_.onPiece({bodyBuffer_.get(), bytesRead});
    if (taken == Taken::refused || bodyLeft_ == 0) {
        return endBody(taken != Taken::refused);
    }
    if (taken == Taken::waitForRoom) {
        bodyPaused_ = true;
        return;
    }
    doBodyRead();
}

void TcpConnection::endBody(bool whole) {
    if (!finishing_) {
        deadline_.cancel();  // the answer is the handler's to give now
    }
    bodyPaused_ = false;
    BodySink sink = std::exchange(bodySink_, {});
    if (sink.onEnd) {
        sink.onEnd(whole);
    }
}

struct TcpConnection::OpenFile {
    OpenFile(int fd, std::uint64_t size) : fd(fd), left(size) {}
    ~OpenFile() { ::close(fd); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    const int fd;
    off_t offset = 0;
    std::uint64_t left;
};

void TcpConnection::sendFile(std::string head, int fd, std::uint64_t size) {
    auto file = std::make_shared<OpenFile>(fd, size);
    std::weak_ptr<TcpConnection> weak = shared_from_this();
    sendRaw(std::move(head), false, [weak, file](bool ok) {
        if (const auto self = weak.lock(); self && ok) {
            self->sendFromFile(file);
        }
    });
}

// From the file to the socket in the kernel, as fast as the peer takes it; a peer that takes
// nothing for the request timeout is closed.
void TcpConnection::sendFromFile(const std::shared_ptr<OpenFile>& file) {
    if (closed_) {
        return;
    }
    error_code ec;
    socket_.native_non_blocking(true, ec);
    std::size_t thisTurn = 0;
    while (file->left > 0 && thisTurn < FILE_TURN_BYTES) {
        const auto chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(file->left, FILE_TURN_BYTES));
        const ssize_t sent = ::sendfile(socket_.native_handle(), file->fd, &file->offset, chunk);
        if (sent > 0) {
            file->left -= static_cast<std::uint64_t>(sent);
            thisTurn += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
            armDeadline(env_->limits.requestTimeout);
            socket_.async_wait(asio::ip::tcp::socket::wait_write,
                               [self = shared_from_this(), file](const error_code& waited) {
                                   if (waited) {
                                       return self->closeNow();
                                   }
                                   self->deadline_.cancel();
                                   self->sendFromFile(file);
                               });
            return;
        }
        // Shorter than it was (or unreadable): the peer must not take it for the whole file.
        TD_LOG(http, "a file being sent ended short");
        return closeNow();
    }
    if (file->left > 0) {
        asio::post(socket_.get_executor(),
                   [self = shared_from_this(), file] { self->sendFromFile(file); });
        return;
    }
    finishing_ = true;
    finishGracefully();
}

// Bytes the peer sent that were never read would make close() reset the connection, which can
// destroy the answer in the peer's buffers; so when any are waiting, FIN goes out first and
// they are drained (bounded by the linger timeout) before closing.
void TcpConnection::finishGracefully() {
    if (bodySink_.onEnd) {
        endBody(false);  // answered before the body ended: the rest is not read for anyone
    }
    error_code ec;
    const std::size_t unread = socket_.available(ec);
    if (ec || (unread == 0 && !bodyReadPending_)) {
        closeNow();
        return;
    }
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
    drainBuffer_ = std::make_unique<char[]>(DRAIN_CHUNK);
    armDeadline(env_->limits.lingerTimeout);
    if (!bodyReadPending_) {
        doDrain();  // else that read, when it ends, drains on
    }
}

void TcpConnection::doDrain() {
    socket_.async_read_some(
        asio::buffer(drainBuffer_.get(), DRAIN_CHUNK),
        [self = shared_from_this()](const error_code& ec, std::size_t n) { self->onDrain(ec, n); });
}

void TcpConnection::onDrain(const error_code& ec, std::size_t bytesRead) {
    if (closed_) {
        return;
    }
    drainedBytes_ += bytesRead;
    if (ec || drainedBytes_ > MAX_DRAINED_BYTES) {
        closeNow();
        return;
    }
    doDrain();
}

void TcpConnection::closeNow() {
    if (closed_) {
        return;
    }
    closed_ = true;
    error_code ignored;
    socket_.close(ignored);
    endSocket();
    if (bodySink_.onEnd) {
        endBody(false);
    }
    deadline_.cancel();
    auto abandoned = std::move(writes_);
    writes_.clear();
    backlogBytes_ = 0;
    for (auto& write : abandoned) {
        if (write.done) {
            write.done(false);
        }
    }
}

}  // namespace td::server
