#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

// The cryptography an ACME account needs: P-256 keys kept in files, JSON Web Signatures
// (ES256), certificate requests, and the self-signed certificate that answers tls-alpn-01.
namespace td::acme {

using Key = std::shared_ptr<EVP_PKEY>;
using Certificate = std::shared_ptr<X509>;

// The P-256 key in `path` (PEM), or a new one written there (0600) when there is none;
// nothing when neither can be done, or the file holds something else.
Key loadOrCreateKey(const std::filesystem::path& path);

// The key's public half as a JSON Web Key, members in the order its thumbprint hashes them.
std::string jsonWebKey(EVP_PKEY* key);
// base64url(SHA-256(jsonWebKey)): what a key authorization names the account by.
std::string thumbprint(EVP_PKEY* key);

// A flattened JWS of `payload` ("" asks by POST-as-GET) for `url`, naming the account by `kid`
// or, when it is empty, by its key.
std::string signedRequest(EVP_PKEY* key, std::string_view kid, std::string_view nonce,
                          std::string_view url, std::string_view payload);

// A certificate request (DER) for `name`, signed by `key`.
std::optional<std::string> certificateRequest(EVP_PKEY* key, const std::string& name);

// What answers a tls-alpn-01 challenge for `name`: a certificate naming it alone, carrying the
// SHA-256 of `keyAuthorization` in the critical acmeIdentifier extension.
struct ChallengeAnswer {
    Certificate certificate;
    Key key;
};
std::optional<ChallengeAnswer> challengeAnswer(const std::string& name,
                                               const std::string& keyAuthorization);

// When the first certificate of a PEM chain begins and ends to be valid, and whether it names
// `name`; nothing when it cannot be read.
struct Lifetime {
    std::chrono::system_clock::time_point notBefore;
    std::chrono::system_clock::time_point notAfter;
};
std::optional<Lifetime> certificateLifetime(const std::string& pem, const std::string& name);

}  // namespace td::acme
