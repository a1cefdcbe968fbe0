#pragma once
// Private service directories: created or verified, owned by LocalSystem or Builtin
// Administrators, and protected by a DACL that inherits nothing. Anyone can pre-create folders
// under ProgramData, so an existing directory is trusted only after its owner has been checked on
// the very handle that is then changed.

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "common/error_chain.hpp"
#include "platform/system.hpp"

namespace orvex {

inline constexpr std::string_view INSTALL_DIR_SDDL = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
inline constexpr std::string_view RUNTIME_DIR_SDDL = "O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Room for the largest possible SID, 8-byte aligned.
struct alignas(8) SidBuffer {
    std::array<std::byte, 72> bytes{};
};
inline constexpr std::uint32_t SID_BUFFER_SIZE = 68;
using OwnedSid = std::unique_ptr<SidBuffer>;

// Builds a well-known SID (`kind` is a WELL_KNOWN_SID_TYPE). Fails with "failed to create {label}
// SID" over the last error.
[[nodiscard]] Result<OwnedSid> well_known_sid(System& system, std::uint32_t kind,
                                              std::string_view label);

// Creates `path` (its last component only) with the descriptor of `sddl`, or verifies an existing
// one: an ordinary directory, not a link, owned by an accepted account. With
// `migrate_legacy_owner`, a Builtin Administrators owner becomes LocalSystem and any other owner
// is refused. Without it, LocalSystem and Builtin Administrators are accepted, and a directory
// with another owner is removed and created again once, if `allow_reclaim` and it is empty. The
// protected DACL of `sddl` is then applied. Nothing is undone on failure.
[[nodiscard]] Result<void> ensure_private_directory(System& system, std::string_view path,
                                                    std::string_view sddl,
                                                    bool migrate_legacy_owner, bool allow_reclaim);

// Opens the existing service directory at `path` and keeps it from being renamed, deleted or
// replaced for as long as the returned handle is held: it is opened without following a link and
// without sharing deletion. It must be an ordinary directory owned by LocalSystem or Builtin
// Administrators ("service directory {} has an unexpected owner" otherwise). Gives an empty handle
// when nothing exists at `path`, so that the caller can fail in its own words.
[[nodiscard]] Result<UniqueHandle> hold_service_directory(System& system, std::string_view path);

// Secures the service directory, then its bin directory, with the install profile, and returns
// the bin directory's path.
[[nodiscard]] Result<std::string> prepare_install_dirs(System& system);

} // namespace orvex
