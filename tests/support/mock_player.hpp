#pragma once

#include <gio/gio.h>

#include <memory>
#include <string>

#include "support/child_process.hpp"

namespace td::test {

// A media player on the session bus: python3-dbusmock serving the MPRIS interfaces, its state
// set through dbusmock's control interface, which tells the bus of each change as a real
// player does (PropertiesChanged).
class MockPlayer {
  public:
    // Owns org.mpris.MediaPlayer2.NAME and calls itself `identity`; answers PlayPause, Next and
    // Previous (counted, see `calls`).
    MockPlayer(const std::string& name, const std::string& identity);
    ~MockPlayer();
    MockPlayer(const MockPlayer&) = delete;
    MockPlayer& operator=(const MockPlayer&) = delete;

    const std::string& busName() const { return busName_; }
    bool ready() const { return ready_; }

    // The track (length 200 s, album "Album"), then the status.
    void play(const std::string& status, const std::string& title = {},
              const std::string& artist = {}, const std::string& artUrl = {});
    // Only the status, in a signal of its own.
    void setStatus(const std::string& status);
    // How many times a method of the player was called.
    int calls(const std::string& method);
    // Leaves the bus (its name goes).
    void quit();

  private:
    using Reply = std::unique_ptr<GVariant, decltype(&g_variant_unref)>;
    Reply call(const char* destination, const char* path, const char* interface, const char* method,
               GVariant* parameters);
    Reply mock(const char* method, GVariant* parameters);
    void set(const char* property, GVariant* value);
    bool owned();

    std::string busName_;
    std::unique_ptr<ChildProcess> process_;
    GDBusConnection* bus_ = nullptr;
    bool ready_ = false;
};

}  // namespace td::test
