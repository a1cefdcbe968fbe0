#pragma once
// The owner documents that the service writes: "owner.json" (an OwnerIdentity) and
// "active-owner.json" (an ActiveOwnerState). They are read strictly: exactly the forms the service
// writes are accepted, and anything else is refused with a JsonError that names the fault and its
// line and column. Any input, however large or deeply nested, is read without recursion.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "common/error_chain.hpp"

namespace orvex {

struct UnixIdentity {
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    friend bool operator==(const UnixIdentity&, const UnixIdentity&) = default;
};

struct WindowsIdentity {
    std::string sid; // exactly as the document gives it, without any test of its form
    friend bool operator==(const WindowsIdentity&, const WindowsIdentity&) = default;
};

struct OwnerIdentity {
    using Unix = UnixIdentity;
    using Windows = WindowsIdentity;
    std::variant<Unix, Windows> value;
    friend bool operator==(const OwnerIdentity&, const OwnerIdentity&) = default;
};

struct ActiveOwnerState {
    std::string owner_key;
    OwnerIdentity identity;
    std::string app_data_root;
    std::uint64_t generation = 0;
    std::string session_token_hash;
    friend bool operator==(const ActiveOwnerState&, const ActiveOwnerState&) = default;
};

// One identity in its tagged form: {"Unix":{"uid":..,"gid":..}}, {"Unix":[uid,gid]},
// {"Windows":{"sid":".."}} or {"Windows":[".."]}.
[[nodiscard]] std::expected<OwnerIdentity, JsonError> parse_owner_identity(std::string_view bytes);

// An object with the five fields (three required), or an array of three to five of them in order.
[[nodiscard]] std::expected<ActiveOwnerState, JsonError>
parse_active_owner_state(std::string_view bytes);

} // namespace orvex
