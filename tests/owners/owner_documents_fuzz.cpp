// libFuzzer target for both owner-document parsers: whatever the bytes, each parse ends with a
// record or with a JsonError that has a position.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "owners/owner_documents.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (auto identity = orvex::parse_owner_identity(bytes);
        !identity && (identity.error().line < 1 || identity.error().column < 1 ||
                      identity.error().message.empty())) {
        std::abort();
    }
    if (auto active = orvex::parse_active_owner_state(bytes);
        !active &&
        (active.error().line < 1 || active.error().column < 1 || active.error().message.empty())) {
        std::abort();
    }
    return 0;
}
