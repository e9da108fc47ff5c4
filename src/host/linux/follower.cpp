#include "host/linux/follower.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "common/log.hpp"

namespace td::host {
namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds FIRST_PAUSE = 5s;
constexpr std::chrono::milliseconds LONGEST_PAUSE = 5min;

}  // namespace

Follower::Follower(const char* name, std::function<bool(const Follower&)> attempt)
    : attempt_(std::move(attempt)), wake_(::eventfd(0, EFD_CLOEXEC)), thread_([this] { run(); }) {
    ::pthread_setname_np(thread_.native_handle(), name);
}

Follower::~Follower() {
    stop();
    ::close(wake_);
}

Follower::ShutDownOnStop::ShutDownOnStop(const Follower& follower, int fd) : follower_(follower) {
    std::lock_guard lock(follower_.mutex_);
    follower_.connection_ = fd;
    if (follower_.stopped_) {
        ::shutdown(fd, SHUT_RDWR);
    }
}

Follower::ShutDownOnStop::~ShutDownOnStop() {
    std::lock_guard lock(follower_.mutex_);
    follower_.connection_ = -1;
}

void Follower::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopped_.exchange(true)) {
            return;
        }
        if (connection_ >= 0) {
            ::shutdown(connection_, SHUT_RDWR);
        }
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
    thread_.join();
}

void Follower::run() {
    std::chrono::milliseconds pause = FIRST_PAUSE;
    while (!stopped_) {
        if (attempt_(*this)) {
            pause = FIRST_PAUSE;  // it had worked: what ended it may be back soon (an X restart)
        }
        pollfd stop{wake_, POLLIN, 0};
        while (!stopped_ && ::poll(&stop, 1, static_cast<int>(pause.count())) < 0 &&
               errno == EINTR) {
        }
        pause = std::min(pause * 2, LONGEST_PAUSE);
    }
}

void FollowingReport::report(Following now) {
    if (!now.following && !now.reason.empty()) {
        TD_LOG(bridge, what_ + " is not followed: " + now.reason);
    }
    std::lock_guard lock(mutex_);
    followed_ = followed_ || now.following;
    now_ = std::move(now);
}

Following FollowingReport::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

void FollowingReport::beginAttempt() {
    std::lock_guard lock(mutex_);
    followed_ = false;
}

bool FollowingReport::followedInAttempt() const {
    std::lock_guard lock(mutex_);
    return followed_;
}

std::unique_ptr<Follower> followDesktop(const char* name, DesktopSession session,
                                        FollowingReport& status,
                                        std::function<void(const Follower&)> x11,
                                        std::function<void(const Follower&)> wayland) {
    if (session == DesktopSession::none) {
        status.report({false, "", "There is no desktop session.",
                       "Start Tapdeck from your desktop session."});
        return nullptr;
    }
    return std::make_unique<Follower>(
        name, [&status, follow = session == DesktopSession::x11
                                     ? std::move(x11)
                                     : std::move(wayland)](const Follower& follower) {
            status.beginAttempt();
            follow(follower);
            return status.followedInAttempt();
        });
}

}  // namespace td::host
