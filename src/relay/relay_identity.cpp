#include "relay/relay_identity.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>

#include "common/files.hpp"
#include "common/log.hpp"
#include "common/relay_proof.hpp"

namespace td::relay {
namespace {

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

std::shared_ptr<EVP_PKEY> readKey(const std::string& pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    if (key && EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(key);
        key = nullptr;
    }
    return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
}

std::shared_ptr<EVP_PKEY> makeKey() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
}

std::optional<std::string> pemOf(EVP_PKEY* key) {
    Bio bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio ||
        PEM_write_bio_PKCS8PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return std::nullopt;
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

std::optional<RelayIdentity> RelayIdentity::loadOrCreate(const std::filesystem::path& file) {
    if (const auto pem = readWholeFile(file.string())) {
        if (auto key = readKey(*pem)) {
            return RelayIdentity(std::move(key));
        }
        const std::string aside = file.string() + ".unreadable";
        std::rename(file.c_str(), aside.c_str());
        TD_LOG(relay, file.string() + " holds no Ed25519 key; kept as " + aside);
    }
    auto key = makeKey();
    const auto pem = key ? pemOf(key.get()) : std::nullopt;
    if (!pem || !replaceFileAtomically(file.string(), *pem, PRIVATE_FILE_MODE)) {
        TD_LOG(relay, "cannot keep a relay key in " + file.string());
        return std::nullopt;
    }
    return RelayIdentity(std::move(key));
}

RelayIdentity::RelayIdentity(std::shared_ptr<EVP_PKEY> key) : key_(std::move(key)) {
    unsigned char raw[PUBLIC_KEY_BYTES];
    std::size_t size = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key_.get(), raw, &size) == 1) {
        rawPublicKey_.assign(reinterpret_cast<const char*>(raw), size);
    }
    id_ = relayIdForKey(rawPublicKey_);
}

std::optional<RelayIdentity> RelayIdentity::generate() {
    auto key = makeKey();
    if (!key) {
        return std::nullopt;
    }
    return RelayIdentity(std::move(key));
}

std::string RelayIdentity::sign(std::string_view message) const {
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          EVP_MD_CTX_free);
    std::string signature(SIGNATURE_BYTES, '\0');
    std::size_t size = signature.size();
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        return {};
    }
    signature.resize(size);
    return signature;
}

}  // namespace td::relay
