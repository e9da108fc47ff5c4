#include "relay/stream_certificate.hpp"

#include <openssl/ssl.h>
#include <openssl/tls1.h>

#include <cctype>
#include <cstring>

#include "common/log.hpp"

namespace td::relay {
namespace {

constexpr unsigned char ACME_ALPN[] =
    "\x0a"
    "acme-tls/1";
constexpr std::size_t ACME_ALPN_BYTES = sizeof ACME_ALPN - 1;

// The host name a ClientHello asks for, lower-cased; empty when it names none.
std::string serverNameOf(SSL* ssl) {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    if (SSL_client_hello_get0_ext(ssl, TLSEXT_TYPE_server_name, &data, &size) != 1 || size < 5 ||
        data[2] != TLSEXT_NAMETYPE_host_name) {
        return {};
    }
    const std::size_t length = (static_cast<std::size_t>(data[3]) << 8) | data[4];
    if (length + 5 > size || length > 253) {
        return {};
    }
    std::string name(reinterpret_cast<const char*>(data + 5), length);
    for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return name;
}

bool offersAcme(SSL* ssl) {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    if (SSL_client_hello_get0_ext(ssl, TLSEXT_TYPE_application_layer_protocol_negotiation, &data,
                                  &size) != 1 ||
        size < 2) {
        return false;
    }
    const std::size_t end =
        std::min(size, 2 + ((static_cast<std::size_t>(data[0]) << 8) | data[1]));
    for (std::size_t at = 2; at < end;) {
        const std::size_t length = data[at++];
        if (at + length > end) {
            return false;
        }
        if (length == ACME_ALPN_BYTES - 1 && std::memcmp(data + at, ACME_ALPN + 1, length) == 0) {
            return true;
        }
        at += length;
    }
    return false;
}

// Chooses the certificate before anything else of the handshake: a challenge's, or the
// computer's own, or none (the phone is refused).
int chooseCertificate(SSL* ssl, int* alert, void* argument) {
    auto* owner = static_cast<StreamCertificate*>(argument);
    if (offersAcme(ssl)) {
        const auto answer = owner->challengeFor(serverNameOf(ssl));
        if (!answer) {
            *alert = SSL_AD_UNRECOGNIZED_NAME;
            return SSL_CLIENT_HELLO_ERROR;
        }
        SSL_use_certificate(ssl, answer->certificate.get());
        SSL_use_PrivateKey(ssl, answer->key.get());
        return SSL_CLIENT_HELLO_SUCCESS;
    }
    if (SSL_get_certificate(ssl) == nullptr) {
        *alert = SSL_AD_HANDSHAKE_FAILURE;  // no certificate yet: nothing to offer a phone
        return SSL_CLIENT_HELLO_ERROR;
    }
    return SSL_CLIENT_HELLO_SUCCESS;
}

// "acme-tls/1" when offered (a challenge); otherwise no protocol is named (HTTP/1.1).
int chooseProtocol(SSL*, const unsigned char** out, unsigned char* outLength,
                   const unsigned char* in, unsigned inLength, void*) {
    unsigned char* chosen = nullptr;
    if (SSL_select_next_proto(&chosen, outLength, ACME_ALPN, ACME_ALPN_BYTES, in, inLength) ==
        OPENSSL_NPN_NEGOTIATED) {
        *out = chosen;
        return SSL_TLSEXT_ERR_OK;
    }
    return SSL_TLSEXT_ERR_NOACK;
}

}  // namespace

StreamCertificate::StreamCertificate(std::filesystem::path folder) : folder_(std::move(folder)) {}

StreamCertificate::~StreamCertificate() = default;

std::shared_ptr<SSL_CTX> StreamCertificate::makeContext(bool withCertificate) {
    std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!context) {
        return nullptr;
    }
    SSL_CTX* raw = context.get();
    SSL_CTX_set_min_proto_version(raw, TLS1_2_VERSION);
    // Phones open new connections; tickets would be state kept for nothing.
    SSL_CTX_set_num_tickets(raw, 0);
    SSL_CTX_set_session_cache_mode(raw, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_client_hello_cb(raw, chooseCertificate, this);
    SSL_CTX_set_alpn_select_cb(raw, chooseProtocol, nullptr);
    if (!withCertificate) {
        return context;
    }
    const auto cert = folder_ / "cert.pem";
    const auto key = folder_ / "key.pem";
    if (SSL_CTX_use_certificate_chain_file(raw, cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(raw, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(raw) != 1) {
        TD_LOG(relay, "the certificate for phones through the relay cannot be used");
        return makeContext(false);
    }
    return context;
}

std::shared_ptr<SSL_CTX> StreamCertificate::context() {
    std::error_code certError;
    std::error_code keyError;
    const auto certTime = std::filesystem::last_write_time(folder_ / "cert.pem", certError);
    const auto keyTime = std::filesystem::last_write_time(folder_ / "key.pem", keyError);
    const bool held = !certError && !keyError;
    std::lock_guard lock(mutex_);
    if (!context_ || held != hasCertificate_ ||
        (held && (certTime != certTime_ || keyTime != keyTime_))) {
        certTime_ = certTime;
        keyTime_ = keyTime;
        hasCertificate_ = held;
        context_ = makeContext(held);
    }
    return context_;
}

void StreamCertificate::setChallenge(const std::string& name,
                                     std::optional<acme::ChallengeAnswer> answer) {
    std::lock_guard lock(mutex_);
    if (answer) {
        challenges_[name] = std::move(*answer);
    } else {
        challenges_.erase(name);
    }
}

std::optional<acme::ChallengeAnswer> StreamCertificate::challengeFor(const std::string& name) {
    std::lock_guard lock(mutex_);
    const auto found = challenges_.find(name);
    return found == challenges_.end() ? std::nullopt : std::optional(found->second);
}

}  // namespace td::relay
