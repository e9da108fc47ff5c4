#include "common/relay_proof.hpp"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "common/base64.hpp"
#include "common/json.hpp"

namespace td::relay {
namespace {

constexpr std::string_view PROOF_CONTEXT = "tapdeck-relay-v1";
constexpr std::string_view BASE32_ALPHABET = "abcdefghijklmnopqrstuvwxyz234567";
// The bytes of the key's digest that make the identifier: 128 bits, as many as a UUID.
constexpr std::size_t ID_DIGEST_BYTES = 16;
// A challenge or a phone address longer than this is not one a relay of ours sends.
constexpr std::size_t MAX_CHALLENGE_TEXT = 128;
constexpr std::size_t MAX_PHONE_URL = 2048;

std::string base32Lower(const unsigned char* bytes, std::size_t size) {
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (std::size_t i = 0; i < size; ++i) {
        buffer = buffer << 8 | bytes[i];
        bits += 8;
        while (bits >= 5) {
            out += BASE32_ALPHABET[buffer >> (bits - 5) & 31];
            bits -= 5;
        }
    }
    if (bits > 0) {
        out += BASE32_ALPHABET[buffer << (5 - bits) & 31];
    }
    return out;
}

const std::string* stringMember(const UntrustedJson& object, const char* name) {
    const auto found = object.find(name);
    return found != object.end() && found->is_string() ? found->get_ptr<const std::string*>()
                                                       : nullptr;
}

std::optional<std::string> bytesOfLength(const UntrustedJson& object, const char* name,
                                         std::size_t length) {
    const std::string* text = stringMember(object, name);
    auto bytes = text ? base64UrlDecode(*text) : std::nullopt;
    if (!bytes || bytes->size() != length) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace

std::string relayIdForKey(std::string_view rawPublicKey) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(rawPublicKey.data()), rawPublicKey.size(),
           digest);
    return base32Lower(digest, ID_DIGEST_BYTES);
}

std::string proofMessage(std::string_view host, std::string_view id, std::string_view challenge) {
    std::string lowerHost(host);
    std::transform(lowerHost.begin(), lowerHost.end(), lowerHost.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::string message(PROOF_CONTEXT);
    message.append("\n").append(lowerHost).append("\n").append(id).append("\n").append(challenge);
    return message;
}

bool signatureIsValid(std::string_view rawPublicKey, std::string_view signature,
                      std::string_view message) {
    if (rawPublicKey.size() != PUBLIC_KEY_BYTES || signature.size() != SIGNATURE_BYTES) {
        return false;
    }
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                    reinterpret_cast<const unsigned char*>(rawPublicKey.data()),
                                    rawPublicKey.size()),
        EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          EVP_MD_CTX_free);
    return key && context &&
           EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

std::string writeChallenge(const Challenge& challenge) {
    Json message{{"challenge", challenge.challenge}, {"phoneUrl", challenge.phoneUrl}};
    if (challenge.binaryReplies) {
        message["binaryReplies"] = true;
    }
    if (challenge.streams) {
        message["streams"] = true;
    }
    return dumpCompact(message);
}

std::optional<Challenge> readChallenge(std::string_view text) {
    const auto object = parseJson(text);
    if (!object || !object->is_object()) {
        return std::nullopt;
    }
    const std::string* challenge = stringMember(*object, "challenge");
    const std::string* phoneUrl = stringMember(*object, "phoneUrl");
    if (!challenge || !phoneUrl || challenge->empty() || challenge->size() > MAX_CHALLENGE_TEXT ||
        phoneUrl->size() > MAX_PHONE_URL) {
        return std::nullopt;
    }
    const auto flag = [&object](const char* name) {
        const auto found = object->find(name);
        return found != object->end() && found->is_boolean() && found->get<bool>();
    };
    return Challenge{*challenge, *phoneUrl, flag("binaryReplies"), flag("streams")};
}

std::string writeProof(const Proof& proof) {
    return dumpCompact(Json{{"key", base64UrlEncode(proof.rawPublicKey)},
                            {"sig", base64UrlEncode(proof.signature)}});
}

std::optional<Proof> readProof(std::string_view text) {
    const auto object = parseJson(text);
    if (!object || !object->is_object()) {
        return std::nullopt;
    }
    auto key = bytesOfLength(*object, "key", PUBLIC_KEY_BYTES);
    auto signature = bytesOfLength(*object, "sig", SIGNATURE_BYTES);
    if (!key || !signature) {
        return std::nullopt;
    }
    return Proof{std::move(*key), std::move(*signature)};
}

}  // namespace td::relay
