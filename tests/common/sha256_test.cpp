// FIPS 180-4 test vectors, run against whichever library the build links (OpenSSL natively, CNG
// under Wine).
#include "common/sha256.hpp"
#include "common/text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace orvex {
namespace {

std::string hex_digest(std::string_view bytes) {
    const auto digest = sha256(bytes);
    if (!digest) {
        return "<failed>";
    }
    return to_hex(*digest);
}

TEST(Sha256, Fips180Vectors) {
    EXPECT_EQ(hex_digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex_digest("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex_digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hex_digest(std::string(1'000'000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

} // namespace
} // namespace orvex
