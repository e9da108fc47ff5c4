// The touchpad's lane with a pointer of the test's own, which applies only when the test lets it.
#include "api/pointer_lane.hpp"

#include <gtest/gtest.h>

#include <atomic>

#include "support/eventually.hpp"

namespace td::api {
namespace {

using host::Button;
using host::ButtonAction;
using host::PointerEvent;
using test::eventually;
using namespace std::chrono_literals;

class GatedPointer : public host::Pointer {
  public:
    host::PointerBackend backend() const override { return host::PointerBackend::none; }
    bool trusted() override { return true; }
    bool requestAccess() override { return true; }
    std::string unavailableText() override { return {}; }
    bool apply(const std::vector<PointerEvent>& events) override {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
        applied_.insert(applied_.end(), events.begin(), events.end());
        return true;
    }

    void open(bool open) {
        std::lock_guard lock(mutex_);
        open_ = open;
        changed_.notify_all();
    }
    std::vector<PointerEvent> applied() {
        std::lock_guard lock(mutex_);
        return applied_;
    }
    double movedRight() {
        double dx = 0;
        for (const PointerEvent& event : applied()) {
            dx += event.kind == PointerEvent::Kind::move ? event.dx : 0;
        }
        return dx;
    }
    bool hasApplied(PointerEvent event) {
        return eventually([&] {
            const auto all = applied();
            return std::find(all.begin(), all.end(), event) != all.end();
        });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    std::vector<PointerEvent> applied_;
};

PointerEvent button(Button which, ButtonAction action) {
    return {PointerEvent::Kind::button, 0, 0, which, action};
}

// A socket past its share is read no further until there is room, and then all it sent lands;
// what a socket or a phone's POSTs hold down is let go when the socket ends, or when a POST that
// lets it go is refused.
TEST(PointerLane, DropsNothingAndLetsGoOfWhatIsLeftHeld) {
    GatedPointer pointer;
    PointerLane lane;
    const std::shared_ptr<void> reopened(nullptr, [&pointer](void*) { pointer.open(true); });
    const auto socket = lane.admitSocket("phone");
    ASSERT_TRUE(socket);
    const std::vector<PointerEvent> pixels(100, PointerEvent{PointerEvent::Kind::move, 1, 0});
    std::atomic<int> rooms{0};
    const auto room = [&rooms] { ++rooms; };
    ASSERT_TRUE(lane.postFromSocket(pointer, {button(Button::left, ButtonAction::down)}, *socket,
                                    room));
    for (int sent = 0; sent < 10; ++sent) {
        const int before = rooms;
        if (!lane.postFromSocket(pointer, pixels, *socket, room)) {
            pointer.open(true);  // the backend catches up, and the socket is read again
            ASSERT_TRUE(eventually([&] { return rooms > before; }));
            pointer.open(false);
        }
    }
    EXPECT_GT(rooms, 0);  // its share was full at least once
    pointer.open(true);
    EXPECT_TRUE(eventually([&] { return pointer.movedRight() == 1000; })) << pointer.movedRight();
    lane.releaseSocket(*socket);
    EXPECT_TRUE(pointer.hasApplied(button(Button::left, ButtonAction::up)));

    // A phone's POSTs hold the right button; a refused POST that lets it go still lets it go.
    ASSERT_TRUE(lane.post(pointer, {button(Button::right, ButtonAction::down)}, "poster"));
    ASSERT_TRUE(pointer.hasApplied(button(Button::right, ButtonAction::down)));
    pointer.open(false);
    while (lane.post(pointer, {pixels[0]}, "poster")) {
    }
    EXPECT_FALSE(lane.post(pointer, {button(Button::right, ButtonAction::up)}, "poster"));
    pointer.open(true);
    EXPECT_TRUE(pointer.hasApplied(button(Button::right, ButtonAction::up)));
}

// A phone's POSTs hold a button and fall silent (its network went mid-drag): let go after a
// while; a second socket's share waits aside rather than passing the phone's share.
TEST(PointerLane, ASilentPhonesButtonIsLetGoAndItsSocketsShareOneShare) {
    GatedPointer pointer;
    PointerLane lane(200ms);
    const std::shared_ptr<void> reopened(nullptr, [&pointer](void*) { pointer.open(true); });
    pointer.open(true);
    ASSERT_TRUE(lane.post(pointer, {button(Button::middle, ButtonAction::down)}, "gone"));
    EXPECT_TRUE(pointer.hasApplied(button(Button::middle, ButtonAction::up)));

    pointer.open(false);
    const std::vector<PointerEvent> full(256, PointerEvent{PointerEvent::Kind::move, 1, 0});
    std::vector<PointerLane::Socket> sockets;
    int aside = 0;
    for (int i = 0; i < 4; ++i) {
        sockets.push_back(*lane.admitSocket("flood"));
        aside += !lane.postFromSocket(pointer, full, sockets.back(), [] {});
    }
    EXPECT_GE(aside, 2);  // one went in (two, had the lane taken a turn of it meanwhile)
    EXPECT_TRUE(lane.post(pointer, std::vector<PointerEvent>(256, full[0]), "other"));
    for (const auto& socket : sockets) {
        lane.releaseSocket(socket);  // what waited aside is applied all the same
    }
    pointer.open(true);
    EXPECT_TRUE(eventually([&] { return pointer.movedRight() == 5 * 256; }));
}

}  // namespace
}  // namespace td::api
