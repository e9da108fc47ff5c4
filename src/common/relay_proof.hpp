#pragma once

#include <optional>
#include <string>
#include <string_view>

// How an agent proves to the relay that an identifier is its own: the identifier is derived
// from an Ed25519 public key, and right after the upgrade the agent signs a fresh challenge
// with the key's private half. The relay forwards nothing to a socket before that proof, so
// knowing an identifier is not enough to take its phones' requests.
namespace td::relay {

// The raw public key's length, and the signature's.
inline constexpr std::size_t PUBLIC_KEY_BYTES = 32;
inline constexpr std::size_t SIGNATURE_BYTES = 64;
// Random bytes in a challenge.
inline constexpr std::size_t CHALLENGE_BYTES = 32;

// The identifier of a raw public key: the lower-case base32 (no padding) of the first 16 bytes
// of its SHA-256, 26 characters of [a-z2-7].
std::string relayIdForKey(std::string_view rawPublicKey);

// What the agent signs: "tapdeck-relay-v1\n" + the Host header it sent, lower-cased + "\n" +
// the identifier + "\n" + the challenge as sent. The Host binds a proof to one relay, the
// challenge to one connection.
std::string proofMessage(std::string_view host, std::string_view id, std::string_view challenge);

// Whether `signature` is the key's Ed25519 signature of `message` (both raw bytes).
bool signatureIsValid(std::string_view rawPublicKey, std::string_view signature,
                      std::string_view message);

// The relay's first message: {"challenge":C,"phoneUrl":U}.
struct Challenge {
    std::string challenge;  // base64url of CHALLENGE_BYTES random bytes
    std::string phoneUrl;   // where this agent's phones go, ending in "/"
    // The relay reads replies as binary messages too (writeBinaryReply); "binaryReplies":true.
    bool binaryReplies = false;
    // Phones' TLS comes unread, as streams, to be ended with the agent's own certificate for
    // ID.DOMAIN; "streams":true.
    bool streams = false;
};
std::string writeChallenge(const Challenge& challenge);
// Nothing when the text is not such a message (an envelope, say).
std::optional<Challenge> readChallenge(std::string_view text);

// The agent's answer: {"key":K,"sig":S}, both base64url without padding of the raw bytes.
struct Proof {
    std::string rawPublicKey;
    std::string signature;
};
std::string writeProof(const Proof& proof);
// Nothing unless both members are base64url of bytes of the right lengths.
std::optional<Proof> readProof(std::string_view text);

}  // namespace td::relay
