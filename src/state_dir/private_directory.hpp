#pragma once
// Private service directories: created or verified, owned by LocalSystem or Builtin
// Administrators, and protected by a DACL that inherits nothing. Anyone can pre-create folders
// under ProgramData, so an existing directory is trusted only after its owner has been checked on
// the very handle that is then changed.

#include <optional>
#include <string>
#include <string_view>

#include "common/error_chain.hpp"
#include "platform/system.hpp"

namespace orvex {

inline constexpr std::string_view INSTALL_DIR_SDDL = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
inline constexpr std::string_view RUNTIME_DIR_SDDL = "O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Builds a well-known SID (`kind` is a WELL_KNOWN_SID_TYPE). Fails with "failed to create {label}
// SID" over the last error.
[[nodiscard]] Result<SidBuffer> well_known_sid(System& system, WellKnownSid kind,
                                               std::string_view label);

// What a private directory's owner may be, and what is done about one that is not accepted.
enum class OwnerPolicy {
    // LocalSystem or Builtin Administrators; a directory with any other owner is removed and
    // created again, once, if it is empty (RemoveDirectoryW refuses one that is not).
    AcceptOrReclaimEmpty,
    // LocalSystem; the legacy owner, Builtin Administrators, is changed to LocalSystem; any other
    // owner is refused.
    MigrateAdministrators,
};

struct DirectoryProfile {
    std::string_view sddl; // the descriptor a new directory gets; its protected DACL is applied
    OwnerPolicy owner_policy;
};

inline constexpr DirectoryProfile INSTALL_DIR_PROFILE{INSTALL_DIR_SDDL,
                                                      OwnerPolicy::AcceptOrReclaimEmpty};
inline constexpr DirectoryProfile RUNTIME_DIR_PROFILE{RUNTIME_DIR_SDDL,
                                                      OwnerPolicy::MigrateAdministrators};

// Creates `path` (its last component only) with the profile's descriptor, or verifies an existing
// one: an ordinary directory, not a link, whose owner the profile's policy accepts or repairs.
// The protected DACL of the descriptor is then applied. Nothing is undone on failure.
[[nodiscard]] Result<void> ensure_private_directory(System& system, std::string_view path,
                                                    const DirectoryProfile& profile);

// Whether the object open as `handle` (with READ_CONTROL) is owned by LocalSystem or Builtin
// Administrators, the only owners under whom nobody else can change it. Fails in this module's
// words when the owner cannot be read or a well-known SID cannot be built.
[[nodiscard]] Result<bool> has_system_owner(System& system, FileRef handle);

// Opens the existing service directory at `path` and keeps it from being renamed, deleted or
// replaced for as long as the returned handle is held: it is opened without following a link and
// without sharing deletion. It must be an ordinary directory owned by LocalSystem or Builtin
// Administrators ("service directory {} has an unexpected owner" otherwise). Gives nothing when
// nothing exists at `path`, so that the caller can fail in its own words.
[[nodiscard]] Result<std::optional<UniqueHandle>> hold_service_directory(System& system,
                                                                         std::string_view path);

// Secures the service directory, then its bin directory, with the install profile, and returns
// the bin directory's path.
[[nodiscard]] Result<std::string> prepare_install_dirs(System& system);

} // namespace orvex
