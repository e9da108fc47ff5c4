#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace td {

// Bytes from the operating system's cryptographically secure generator (getentropy).
std::vector<std::uint8_t> secureRandomBytes(std::size_t count);

// `count` secure random bytes as 2 × count lower-case hexadecimal digits.
std::string randomHex(std::size_t count);

// A uniformly random integer in [0, bound), without modulo bias.
std::uint32_t secureRandomBelow(std::uint32_t bound);

// A random (version 4) UUID in canonical upper-case form, 36 characters.
std::string randomUuidUpper();

}  // namespace td
