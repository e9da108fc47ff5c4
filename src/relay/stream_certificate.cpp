#include "relay/stream_certificate.hpp"

#include <openssl/ssl.h>

#include "common/log.hpp"

namespace td::relay {
namespace {

std::shared_ptr<SSL_CTX> serverContext(const std::filesystem::path& cert,
                                       const std::filesystem::path& key) {
    std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!context) {
        return nullptr;
    }
    SSL_CTX* raw = context.get();
    SSL_CTX_set_min_proto_version(raw, TLS1_2_VERSION);
    // Phones open new connections; tickets would be state kept for nothing.
    SSL_CTX_set_num_tickets(raw, 0);
    SSL_CTX_set_session_cache_mode(raw, SSL_SESS_CACHE_OFF);
    if (SSL_CTX_use_certificate_chain_file(raw, cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(raw, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(raw) != 1) {
        TD_LOG(relay, "the certificate for phones through the relay cannot be used");
        return nullptr;
    }
    return context;
}

}  // namespace

std::shared_ptr<SSL_CTX> StreamCertificate::context() {
    const auto cert = folder_ / "cert.pem";
    const auto key = folder_ / "key.pem";
    std::error_code certError;
    std::error_code keyError;
    const auto certTime = std::filesystem::last_write_time(cert, certError);
    const auto keyTime = std::filesystem::last_write_time(key, keyError);
    std::lock_guard lock(mutex_);
    if (certError || keyError) {
        context_.reset();
        return nullptr;
    }
    if (!context_ || certTime != certTime_ || keyTime != keyTime_) {
        certTime_ = certTime;
        keyTime_ = keyTime;
        context_ = serverContext(cert, key);
    }
    return context_;
}

}  // namespace td::relay
