#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "acme/acme_crypto.hpp"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace td::relay {

// This computer's certificate for phones' TLS through a relay that passes it unread: cert.pem
// (the chain) and key.pem in one folder of the support folder, read again whenever either
// changes (a renewal replaces them). The same contexts answer an ACME CA's tls-alpn-01
// challenges, chosen at the ClientHello: a connection offering only "acme-tls/1" gets the
// challenge's certificate for the name it asks, and nothing else happens on it. Any thread.
class StreamCertificate {
  public:
    explicit StreamCertificate(std::filesystem::path folder);
    ~StreamCertificate();
    StreamCertificate(const StreamCertificate&) = delete;
    StreamCertificate& operator=(const StreamCertificate&) = delete;

    // A server context: with the certificate when one is held, else one that completes only
    // challenges' handshakes. Nothing when it cannot be made.
    std::shared_ptr<SSL_CTX> context();

    // Answers tls-alpn-01 for `name` with `answer`; nothing: no longer.
    void setChallenge(const std::string& name, std::optional<acme::ChallengeAnswer> answer);

    // The answer for `name`, when one is set; for the handshake's callback.
    std::optional<acme::ChallengeAnswer> challengeFor(const std::string& name);

  private:
    std::shared_ptr<SSL_CTX> makeContext(bool withCertificate);

    const std::filesystem::path folder_;
    std::mutex mutex_;
    std::filesystem::file_time_type certTime_{};
    std::filesystem::file_time_type keyTime_{};
    std::shared_ptr<SSL_CTX> context_;
    bool hasCertificate_ = false;
    std::map<std::string, acme::ChallengeAnswer> challenges_;
};

}  // namespace td::relay
