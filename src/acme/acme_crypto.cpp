#include "acme/acme_crypto.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/base64.hpp"
#include "common/files.hpp"

namespace td::acme {
namespace {

constexpr int P256_BYTES = 32;
constexpr const char* ACME_IDENTIFIER_OID = "1.3.6.1.5.5.7.1.31";
constexpr long CHALLENGE_VALIDITY_SECONDS = 7 * 24 * 3600;

std::string base64Url(const unsigned char* bytes, std::size_t size) {
    return base64UrlEncode({reinterpret_cast<const char*>(bytes), size});
}

bool isP256(EVP_PKEY* key) {
    char group[32] = {};
    return key && EVP_PKEY_get_base_id(key) == EVP_PKEY_EC &&
           EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                          nullptr) == 1 &&
           std::string_view(group) == "prime256v1";
}

Key readKey(const std::filesystem::path& path) {
    const auto pem = readWholeFile(path.string());
    if (!pem) {
        return nullptr;
    }
    BIO* bio = BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size()));
    Key key(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr), EVP_PKEY_free);
    BIO_free(bio);
    return isP256(key.get()) ? key : nullptr;
}

std::string coordinate(EVP_PKEY* key, const char* name) {
    BIGNUM* value = nullptr;
    unsigned char bytes[P256_BYTES] = {};
    if (EVP_PKEY_get_bn_param(key, name, &value) == 1) {
        BN_bn2binpad(value, bytes, P256_BYTES);
    }
    BN_free(value);
    return base64Url(bytes, P256_BYTES);
}

// ES256: the signature as r || s, 32 bytes each, not the DER OpenSSL makes.
std::string sign(EVP_PKEY* key, std::string_view input) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::size_t size = 0;
    std::vector<unsigned char> der;
    const auto* data = reinterpret_cast<const unsigned char*>(input.data());
    if (EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
        EVP_DigestSign(context, nullptr, &size, data, input.size()) == 1) {
        der.resize(size);
        if (EVP_DigestSign(context, der.data(), &size, data, input.size()) != 1) {
            size = 0;
        }
    }
    EVP_MD_CTX_free(context);
    const unsigned char* cursor = der.data();
    ECDSA_SIG* signature =
        size ? d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(size)) : nullptr;
    if (!signature) {
        return {};
    }
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(signature, &r, &s);
    unsigned char raw[2 * P256_BYTES];
    BN_bn2binpad(r, raw, P256_BYTES);
    BN_bn2binpad(s, raw + P256_BYTES, P256_BYTES);
    ECDSA_SIG_free(signature);
    return std::string(reinterpret_cast<const char*>(raw), sizeof raw);
}

std::string sha256(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), size);
}

// A JSON string's contents: what ACME servers send as URLs and nonces needs no escaping, but
// nothing they send is trusted to be so.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
        }
        if (static_cast<unsigned char>(c) >= 0x20) {
            out.push_back(c);
        }
    }
    return out + "\"";
}

bool addExtension(X509* certificate, int nid, const char* value) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, nullptr, nid, value);
    const bool added = extension && X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

bool addAcmeIdentifier(X509* certificate, const std::string& keyAuthorization) {
    const std::string digest = sha256(keyAuthorization);
    std::string value = {0x04, 0x20};  // an OCTET STRING of 32 bytes
    value += digest;
    ASN1_OBJECT* oid = OBJ_txt2obj(ACME_IDENTIFIER_OID, 1);
    ASN1_OCTET_STRING* content = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(content, reinterpret_cast<const unsigned char*>(value.data()),
                          static_cast<int>(value.size()));
    X509_EXTENSION* extension = X509_EXTENSION_create_by_OBJ(nullptr, oid, 1, content);
    const bool added = extension && X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    ASN1_OCTET_STRING_free(content);
    ASN1_OBJECT_free(oid);
    return added;
}

std::chrono::system_clock::time_point timeOf(const ASN1_TIME* time) {
    struct tm parts {};
    ASN1_TIME_to_tm(time, &parts);
    return std::chrono::system_clock::from_time_t(timegm(&parts));
}

}  // namespace

Key loadOrCreateKey(const std::filesystem::path& path) {
    if (std::filesystem::exists(path)) {
        return readKey(path);
    }
    Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    BIO* bio = BIO_new(BIO_s_mem());
    if (!key ||
        PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        BIO_free(bio);
        return nullptr;
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    // Written aside, then linked into place only where nothing is: a key that appeared
    // meanwhile (put there by hand with its certificate) is never replaced.
    const std::string aside = path.string() + ".new";
    const bool written =
        replaceFileAtomically(aside, std::string_view(data, static_cast<std::size_t>(size)), 0600);
    BIO_free(bio);
    const bool placed = written && ::link(aside.c_str(), path.c_str()) == 0;
    const int linkError = errno;
    ::unlink(aside.c_str());
    if (!placed) {
        return written && linkError == EEXIST ? readKey(path) : nullptr;
    }
    return key;
}

std::string jsonWebKey(EVP_PKEY* key) {
    return R"({"crv":"P-256","kty":"EC","x":")" + coordinate(key, OSSL_PKEY_PARAM_EC_PUB_X) +
           R"(","y":")" + coordinate(key, OSSL_PKEY_PARAM_EC_PUB_Y) + R"("})";
}

std::string thumbprint(EVP_PKEY* key) {
    return base64UrlEncode(sha256(jsonWebKey(key)));
}

std::string signedRequest(EVP_PKEY* key, std::string_view kid, std::string_view nonce,
                          std::string_view url, std::string_view payload) {
    const std::string account =
        kid.empty() ? R"("jwk":)" + jsonWebKey(key) : R"("kid":)" + quoted(kid);
    const std::string header = R"({"alg":"ES256",)" + account + R"(,"nonce":)" + quoted(nonce) +
                               R"(,"url":)" + quoted(url) + "}";
    const std::string protectedPart = base64UrlEncode(header);
    const std::string payloadPart = payload.empty() ? "" : base64UrlEncode(payload);
    const std::string signature = sign(key, protectedPart + "." + payloadPart);
    return R"({"protected":")" + protectedPart + R"(","payload":")" + payloadPart +
           R"(","signature":")" + base64UrlEncode(signature) + R"("})";
}

std::optional<std::string> certificateRequest(EVP_PKEY* key, const std::string& name) {
    X509_REQ* request = X509_REQ_new();
    X509_REQ_set_version(request, 0);
    X509_NAME* subject = X509_REQ_get_subject_name(request);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_REQ_set_pubkey(request, key);
    STACK_OF(X509_EXTENSION)* extensions = sk_X509_EXTENSION_new_null();
    const std::string alternative = "DNS:" + name;
    X509_EXTENSION* names =
        X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, alternative.c_str());
    std::optional<std::string> der;
    if (names && sk_X509_EXTENSION_push(extensions, names) > 0 &&
        X509_REQ_add_extensions(request, extensions) == 1 &&
        X509_REQ_sign(request, key, EVP_sha256()) > 0) {
        unsigned char* bytes = nullptr;
        const int size = i2d_X509_REQ(request, &bytes);
        if (size > 0) {
            der = std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size));
        }
        OPENSSL_free(bytes);
    }
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
    X509_REQ_free(request);
    return der;
}

std::optional<ChallengeAnswer> challengeAnswer(const std::string& name,
                                               const std::string& keyAuthorization) {
    Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    Certificate certificate(X509_new(), X509_free);
    if (!key || !certificate) {
        return std::nullopt;
    }
    X509* raw = certificate.get();
    X509_set_version(raw, 2);  // v3: extensions are read
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(raw));
    BN_free(number);
    X509_gmtime_adj(X509_getm_notBefore(raw), -3600);
    X509_gmtime_adj(X509_getm_notAfter(raw), CHALLENGE_VALIDITY_SECONDS);
    X509_NAME* subject = X509_get_subject_name(raw);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(raw, subject);
    X509_set_pubkey(raw, key.get());
    const std::string alternative = "DNS:" + name;
    if (!addExtension(raw, NID_subject_alt_name, alternative.c_str()) ||
        !addAcmeIdentifier(raw, keyAuthorization) || X509_sign(raw, key.get(), EVP_sha256()) <= 0) {
        return std::nullopt;
    }
    return ChallengeAnswer{std::move(certificate), std::move(key)};
}

std::optional<Lifetime> certificateLifetime(const std::string& pem, const std::string& name) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!certificate) {
        return std::nullopt;
    }
    std::optional<Lifetime> lifetime;
    if (X509_check_host(certificate, name.c_str(), name.size(), 0, nullptr) == 1) {
        lifetime = Lifetime{timeOf(X509_get0_notBefore(certificate)),
                            timeOf(X509_get0_notAfter(certificate))};
    }
    X509_free(certificate);
    return lifetime;
}

}  // namespace td::acme
