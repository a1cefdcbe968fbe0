#pragma once
// Stale-owner maintenance: removes the state directories of owners whose account no longer
// resolves on this machine (and of every Unix owner), under the owner lock that the running
// service holds, so it never runs beside the service.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error_chain.hpp"
#include "owners/owner_documents.hpp"
#include "platform/system.hpp"
#include "state_dir/service_layout.hpp"

namespace orvex {

// The name of an owner's state directory: the uid in decimal for Unix; for Windows the SHA-256 of
// the SID text as 64 lower-case hex digits (empty only if the hash library failed, which no
// directory name matches).
[[nodiscard]] std::string owner_key_for(const OwnerIdentity& identity);

// Whether the SID names an account that this machine can resolve.
[[nodiscard]] Result<bool> sid_has_account(System& system, std::string_view sid);

// The active owner record: the record, nothing when the file does not exist, or an error. It is
// opened relative to the held service directory's handle and as itself, so a link in its place
// is refused instead of read.
[[nodiscard]] Result<std::optional<ActiveOwnerState>>
load_active_owner(System& system, const ServiceLayout& layout, FileRef service_dir);

// Removes the state of stale owners and returns their keys, in the listing's order. Nothing done
// is undone when a later owner fails.
[[nodiscard]] Result<std::vector<std::string>> cleanup_stale_owners(System& system);

} // namespace orvex
