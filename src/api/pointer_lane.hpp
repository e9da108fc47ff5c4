#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/pointer.hpp"

namespace td::api {

// Where the touchpad's events are applied: a thread of their own, each phone's in the order they
// came, so that a slow backend (the portal answers each call) holds up neither the network thread
// nor other phones' taps. Phones take turns, a few events each, so that one phone's backlog
// delays another's taps by one turn at most; within a long backlog, consecutive moves go as one.
// No event is dropped: a socket whose phone has its share waiting stops being read until there
// is room (TCP holds the phone back), and a POST past it is refused whole, so the page sends it
// again. Whatever a socket or a phone's POSTs hold down is let go when the socket ends or when
// a batch that would let it go is refused.
class PointerLane {
  public:
    // Events waiting before new ones wait for room (a socket) or are refused (a POST).
    static constexpr std::size_t MAX_WAITING_EVENTS = 4096;
    // Of which one sender (a phone's token, else an address) may have this many, a message's
    // worth: a flood leaves room for other phones, and what they wait behind stays short.
    static constexpr std::size_t MAX_WAITING_EVENTS_PER_SENDER = 256;
    // Past this many waiting, moves are summed (at a screen's edge that differs a little from
    // moving one by one, which is why it is kept for a backlog).
    static constexpr std::size_t COALESCE_AFTER_EVENTS = 64;
    // Events of one sender applied in a turn: a frame's worth and more, and little enough
    // (32 scrolls are 640 wheel clicks at most) that the others' turn comes soon.
    static constexpr std::size_t EVENTS_PER_TURN = 32;
    // Sockets one sender may hold at once: a phone needs one.
    static constexpr std::size_t MAX_SOCKETS_PER_SENDER = 4;
    // A button a phone's POSTs hold is let go after this long without a POST from it: a phone
    // that lost its network mid-drag would leave it held (a moving drag posts every 50 ms).
    static constexpr std::chrono::seconds POST_HOLD_SILENCE{10};

    // One socket's place in the lane.
    struct Socket {
        std::string sender;
        std::uint64_t number = 0;
    };

    explicit PointerLane(std::chrono::milliseconds postHoldSilence = POST_HOLD_SILENCE);
    ~PointerLane();  // applies nothing more; waits for the batch being applied
    PointerLane(const PointerLane&) = delete;
    PointerLane& operator=(const PointerLane&) = delete;

    // A POST's batch: false, with nothing of it queued, when `sender` has its share waiting or
    // the lane is full; the buttons it would have let go are let go all the same.
    bool post(host::Pointer& pointer, std::vector<host::PointerEvent> events,
              const std::string& sender);

    // A socket from `sender` opens; nothing past MAX_SOCKETS_PER_SENDER.
    std::optional<Socket> admitSocket(const std::string& sender);
    // A socket's batch: queued while its sender has room (and the lane); otherwise kept aside,
    // false, and queued when there is room, `room` then called once from the lane's thread (the
    // socket reads nothing meanwhile, so at most one batch a socket waits so).
    bool postFromSocket(host::Pointer& pointer, std::vector<host::PointerEvent> events,
                        const Socket& socket, std::function<void()> room);
    // The socket ended: what it sent is queued, and what it holds down let go.
    void releaseSocket(const Socket& socket);

  private:
    // Who holds buttons down: a socket, or a phone's POSTs.
    static std::string holderOf(const Socket& socket);
    static std::string holderOfPosts(const std::string& sender);

    void queueLocked(host::Pointer& pointer, const std::vector<host::PointerEvent>& events,
                     const std::string& sender, const std::string& holder);
    // Queues the release of what `holder` holds down that `events` would let go (all of it
    // when `events` is empty), past every share: at most one per button.
    void releaseLocked(const std::string& sender, const std::string& holder,
                       const std::vector<host::PointerEvent>* events);
    bool hasRoomLocked(const std::string& sender) const;
    // Lets go of what POSTs hold that have been silent POST_HOLD_SILENCE; when the next is due.
    std::optional<std::chrono::steady_clock::time_point> letGoOfSilentPostsLocked();
    void run();
    std::vector<host::PointerEvent> takeTurnLocked();
    std::vector<std::function<void()>> roomMadeLocked();

    std::mutex mutex_;
    std::condition_variable changed_;
    host::Pointer* pointer_ = nullptr;
    std::map<std::string, std::deque<host::PointerEvent>> waiting_;  // by sender, none empty
    std::size_t waitingCount_ = 0;
    std::map<std::string, std::vector<host::Button>> held_;  // by holder, none empty
    struct Aside {
        std::vector<host::PointerEvent> events;
        std::string holder;
        std::function<void()> room;
    };
    std::map<std::string, std::deque<Aside>> asideBySender_;  // none empty
    struct PostHolder {
        std::string sender;
        std::chrono::steady_clock::time_point lastPost;
    };
    std::map<std::string, PostHolder> postHolders_;  // by holder, while it holds a button
    const std::chrono::milliseconds postHoldSilence_;
    std::map<std::string, std::size_t> sockets_;
    std::uint64_t lastSocket_ = 0;
    bool stopping_ = false;
    std::thread thread_;  // last: it starts once everything it uses exists
};

// Consecutive moves summed into one: what the pointer does is the same, in fewer calls.
std::vector<host::PointerEvent> coalesceMoves(std::vector<host::PointerEvent> events);

}  // namespace td::api
