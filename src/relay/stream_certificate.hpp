#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

typedef struct ssl_ctx_st SSL_CTX;

namespace td::relay {

// This computer's certificate for phones' TLS through a relay that passes it unread: cert.pem
// (the chain) and key.pem in one folder of the support folder, read again whenever either
// changes (a renewal replaces both). Any thread.
class StreamCertificate {
  public:
    explicit StreamCertificate(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // A server context holding them; nothing while they are missing, unreadable or do not match.
    std::shared_ptr<SSL_CTX> context();

  private:
    const std::filesystem::path folder_;
    std::mutex mutex_;
    std::filesystem::file_time_type certTime_{};
    std::filesystem::file_time_type keyTime_{};
    std::shared_ptr<SSL_CTX> context_;
};

}  // namespace td::relay
