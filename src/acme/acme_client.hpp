#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "acme/acme_crypto.hpp"
#include "net/https_client.hpp"

namespace td::acme {

// What the protocol needs from around it, as plain functions: tests drive it with any server.
struct AcmeLinks {
    // One HTTPS exchange, waited for.
    std::function<net::HttpResponse(net::HttpRequest)> fetch;
    // Answers tls-alpn-01 for `name` with `answer` from now on; nothing: no longer.
    std::function<void(const std::string& name, std::optional<ChallengeAnswer> answer)> answer;
    // Waits `pause`; false when the wait was cut short because everything stops.
    std::function<bool(std::chrono::milliseconds pause)> wait;
};

struct AcmeOutcome {
    std::string chainPem;  // the certificate and its chain; empty on failure
    std::string error;     // why not, as a person reads it
    // When the CA said when to come back (rate limits).
    std::optional<std::chrono::seconds> retryAfter;
};

// Obtains a certificate for `name` from the ACME CA at `directoryUrl` (RFC 8555): the account
// of `accountKey` (registered, or found when it exists), one order, its tls-alpn-01 challenge,
// and a request for `certificateKey`. badNonce is retried with the nonce it brings; a CA's
// Retry-After is kept. Blocks; every wait goes through `links.wait`.
AcmeOutcome obtainCertificate(const std::string& directoryUrl, EVP_PKEY* accountKey,
                              EVP_PKEY* certificateKey, const std::string& name,
                              const AcmeLinks& links);

}  // namespace td::acme
