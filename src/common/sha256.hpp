#pragma once
// SHA-256 (FIPS 180-4) from the platform's cryptographic library: CNG on Windows, OpenSSL's EVP
// in the native build. The implementation is chosen when linking.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace orvex {

using Sha256Digest = std::array<std::uint8_t, 32>;

// The digest of `bytes`, or nothing if the library refused (which it does not in practice).
[[nodiscard]] std::optional<Sha256Digest> sha256(std::string_view bytes);

} // namespace orvex
