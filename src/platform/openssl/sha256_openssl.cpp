// SHA-256 through OpenSSL's EVP interface, for the native build.
#include <openssl/evp.h>

#include "common/sha256.hpp"

namespace orvex {

std::optional<Sha256Digest> sha256(std::string_view bytes) {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
            1 ||
        length != digest.size()) {
        return std::nullopt;
    }
    return digest;
}

} // namespace orvex
