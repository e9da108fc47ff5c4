#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "relay_server/hub.hpp"

namespace td::relay_server {

// The relay service on its own network thread: agents at /mac/ws?id=ID, phones at /phone/ID/…,
// /healthz for load balancers.
class RelayService {
  public:
    // Binds and starts serving; throws std::runtime_error when the address cannot be bound or
    // the certificate and key cannot be read.
    explicit RelayService(RelayOptions options);
    ~RelayService();  // stops first
    RelayService(const RelayService&) = delete;
    RelayService& operator=(const RelayService&) = delete;

    // Closes every connection and joins the thread. Not undone.
    void stop();

    std::uint16_t port() const;
    // The metrics listener's port, when there is one.
    std::optional<std::uint16_t> metricsPort() const;
    bool usesTls() const;
    std::size_t agentCount() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace td::relay_server
