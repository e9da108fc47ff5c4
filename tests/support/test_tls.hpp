#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.hpp"

namespace td::test {

// A certificate authority of the test's own, and certificates it signed, as PEM files.
class TestPki {
  public:
    TestPki();
    const std::string& caFile() const { return caFile_; }
    // For "localhost", 127.0.0.1, and a relay's own names: relay.test and *.t.relay.test.
    const std::string& certFile() const { return certFile_; }
    const std::string& keyFile() const { return keyFile_; }
    // Signed by the same authority, but for another host.
    const std::string& otherHostCertFile() const { return otherCertFile_; }
    const std::string& otherHostKeyFile() const { return otherKeyFile_; }

    // For any computer of a relay whose phone domain is relay.test: *.relay.test.
    const std::string& agentsCertFile() const { return agentsCertFile_; }
    const std::string& agentsKeyFile() const { return agentsKeyFile_; }

  private:
    TempDir dir_;
    std::string caFile_, certFile_, keyFile_, otherCertFile_, otherKeyFile_;
    std::string agentsCertFile_, agentsKeyFile_;
};

// A server on 127.0.0.1 that answers each connection as told: with canned bytes, by closing,
// or by never answering until it is destroyed. With no certificate it speaks plain HTTP.
class ScriptedServer {
  public:
    enum class Behaviour { reply, drop, hang };

    ScriptedServer(Behaviour behaviour, std::string reply = {}, std::string certFile = {},
                   std::string keyFile = {});
    ~ScriptedServer();

    std::uint16_t port() const { return port_; }
    // The requests received so far, as raw bytes.
    std::vector<std::string> requests() const;
    void setReply(std::string reply);

  private:
    void serve();
    void handle(int fd);

    Behaviour behaviour_;
    std::string reply_;
    void* tls_ = nullptr;  // SSL_CTX*
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// An HTTP/1.1 answer with a body.
std::string httpReply(int status, const std::string& body,
                      const std::string& contentType = "application/json");

}  // namespace td::test
