#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "server/server.hpp"
#include "support/eventually.hpp"
#include "support/temp_dir.hpp"

namespace td::test {

// A server on a free loopback port with its own public folder, stopped and joined at the end.
class RunningServer {
  public:
    explicit RunningServer(std::function<void(server::ServerOptions&)> tweak = {})
        : server_(makeOptions(tweak)) {}

    // Hands the server its router and waits until it listens.
    void start(server::Server::Router router) {
        server_.setRouter(std::move(router));
        server_.start();
        EXPECT_TRUE(eventually([this] { return server_.listeningPort() != 0; }))
            << "server did not start listening";
    }

    server::Server& server() { return server_; }
    std::uint16_t port() const { return server_.listeningPort(); }
    const TempDir& publicDir() const { return publicDir_; }

  private:
    server::ServerOptions makeOptions(const std::function<void(server::ServerOptions&)>& tweak) {
        server::ServerOptions options;
        options.port = 0;
        options.publicDir = publicDir_.path();
        if (tweak) {
            tweak(options);
        }
        return options;
    }

    TempDir publicDir_;
    server::Server server_;
};

}  // namespace td::test
