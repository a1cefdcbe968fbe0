#include "state_dir/private_directory.hpp"

#include "common/files.hpp"
#include "common/text.hpp"
#include "state_dir/service_layout.hpp"

namespace orvex {
namespace {

constexpr Access OPEN_ACCESS = Access::ReadControl | Access::WriteDac | Access::WriteOwner;
constexpr OpenFlags OPEN_FLAGS =
    OpenFlags::BackupSemantics | OpenFlags::OpenReparsePoint | OpenFlags::IdentifyOnly;
constexpr FileAttributes DIRECTORY_OR_LINK =
    FileAttributes::Directory | FileAttributes::ReparsePoint;
constexpr SecurityInformation PROTECTED_DACL =
    SecurityInformation::Dacl | SecurityInformation::ProtectedDacl;

Result<SidBuffer> local_system_sid(System& system) {
    return well_known_sid(system, WellKnownSid::LocalSystem, "LocalSystem");
}
Result<SidBuffer> builtin_administrators_sid(System& system) {
    return well_known_sid(system, WellKnownSid::BuiltinAdministrators, "Builtin Administrators");
}

bool same_sid(System& system, SidRef owner, const SidBuffer& sid) {
    return system.equal_sid(owner, sid.ref());
}

std::string windows_error(WinCode code) {
    return "Windows error " + std::to_string(code.value());
}

// A directory on a disk that is not a reparse point of any kind, judged on its handle.
bool is_ordinary_directory(System& system, FileRef handle) {
    const auto info = system.file_information(handle);
    return info && (info->attributes & DIRECTORY_OR_LINK) == FileAttributes::Directory &&
           system.file_type(handle) == FileType::Disk;
}

Result<OwnerQuery> query_owner(System& system, FileRef handle) {
    OwnerQuery owner = system.get_owner(handle);
    if (owner.code != WinCode::Success || !owner.owner || !owner.descriptor) {
        return fail(ErrorChain::message("failed to inspect service path owner: " +
                                        windows_error(owner.code)));
    }
    return owner;
}

enum class OwnerKind { LocalSystem, Administrators, Other };

struct OwnerJudgement {
    OwnerKind kind;
    SidBuffer local_system; // what a migrated directory is given
};

// Which of the two accounts that may own a private directory owns it, if either. The second SID
// is built only when the first does not match.
Result<OwnerJudgement> judge_owner(System& system, SidRef owner) {
    auto local_system = local_system_sid(system);
    if (!local_system) {
        return fail(std::move(local_system.error()));
    }
    if (same_sid(system, owner, *local_system)) {
        return OwnerJudgement{OwnerKind::LocalSystem, std::move(*local_system)};
    }
    auto administrators = builtin_administrators_sid(system);
    if (!administrators) {
        return fail(std::move(administrators.error()));
    }
    const OwnerKind kind =
        same_sid(system, owner, *administrators) ? OwnerKind::Administrators : OwnerKind::Other;
    return OwnerJudgement{kind, std::move(*local_system)};
}

enum class Attempt { First, AfterReclaim };

// What became of one attempt: done, or the directory must be reclaimed and tried once more.
enum class Outcome { Secured, NeedsReclaim };

Result<Outcome> secure_once(System& system, std::string_view path, const DirectoryProfile& profile,
                            Attempt attempt) {
    // The descriptor comes first: nothing on disk is touched when it cannot be built.
    auto descriptor = system.convert_sddl(*to_system_string(profile.sddl));
    if (!descriptor) {
        return fail(
            ErrorChain::context("failed to build private service directory security descriptor",
                                SystemError::from_code(descriptor.error())));
    }
    const auto wide_path = to_system_string(path);
    if (!wide_path) {
        return fail(ErrorChain::message("service directory path contains NUL"));
    }
    const std::string quoted = quote_path(path);

    if (auto created = system.create_directory(*wide_path, descriptor->ref());
        !created && created.error() != WinCode::AlreadyExists) {
        return fail(ErrorChain::context("failed to create private service directory " + quoted,
                                        SystemError::from_code(created.error())));
    }

    // One handle, opened without following a link, carries every test and every change below, so
    // the object that was tested is the object that is changed even if the path is swapped.
    auto handle = system.create_file(*wide_path, OPEN_ACCESS, ShareMode::All,
                                     Disposition::OpenExisting, OPEN_FLAGS);
    if (!handle) {
        return fail(ErrorChain::context("failed to open private service directory " + quoted,
                                        SystemError::from_code(handle.error())));
    }

    if (!is_ordinary_directory(system, handle->ref())) {
        return fail(
            ErrorChain::message("service directory " + quoted + " is not an ordinary directory"));
    }

    // The owner's descriptor is freed once judged; only the verdict is needed below.
    Result<OwnerJudgement> judged = [&]() -> Result<OwnerJudgement> {
        auto owner = query_owner(system, handle->ref());
        if (!owner) {
            return fail(std::move(owner.error()));
        }
        return judge_owner(system, owner->owner);
    }();
    if (!judged) {
        return fail(std::move(judged.error()));
    }
    const OwnerKind kind = judged->kind;

    if (profile.owner_policy == OwnerPolicy::AcceptOrReclaimEmpty && kind == OwnerKind::Other) {
        if (attempt == Attempt::AfterReclaim) {
            return fail(ErrorChain::message("service install path " + quoted +
                                            " still has an unexpected owner after safe "
                                            "recreation"));
        }
        return Outcome::NeedsReclaim;
    }
    if (profile.owner_policy == OwnerPolicy::MigrateAdministrators) {
        if (kind == OwnerKind::Other) {
            return fail(ErrorChain::message(
                "service path " + quoted +
                " has an unexpected owner; only legacy Builtin Administrators ownership can be "
                "migrated"));
        }
        if (kind == OwnerKind::Administrators) {
            const WinCode code = system.set_security_info(handle->ref(), SecurityInformation::Owner,
                                                          judged->local_system.ref(), AclRef{});
            if (code != WinCode::Success) {
                return fail(
                    ErrorChain::message("failed to migrate service path " + quoted +
                                        " to LocalSystem ownership: " + windows_error(code)));
            }
        }
    }

    const auto dacl = system.security_descriptor_dacl(descriptor->ref());
    if (!dacl || !dacl->present || !dacl->dacl) {
        return fail(ErrorChain::message("private service directory descriptor has no DACL"));
    }
    if (const WinCode code =
            system.set_security_info(handle->ref(), PROTECTED_DACL, SidRef{}, dacl->dacl);
        code != WinCode::Success) {
        return fail(ErrorChain::message("failed to apply private service directory DACL: " +
                                        windows_error(code)));
    }
    return Outcome::Secured;
}

} // namespace

Result<SidBuffer> well_known_sid(System& system, WellKnownSid kind, std::string_view label) {
    auto sid = system.well_known_sid(kind);
    if (!sid) {
        return fail(ErrorChain::context("failed to create " + std::string(label) + " SID",
                                        SystemError::from_code(sid.error())));
    }
    return *sid;
}

Result<void> ensure_private_directory(System& system, std::string_view path,
                                      const DirectoryProfile& profile) {
    auto first = secure_once(system, path, profile, Attempt::First);
    if (!first) {
        return fail(std::move(first.error()));
    }
    if (*first == Outcome::Secured) {
        return {};
    }
    // A foreign owner may have planted the directory before the installer ran. RemoveDirectoryW
    // removes only an empty directory, so nothing inside one is ever deleted; the handle of the
    // first attempt is closed by now, or the removal would only mark it for deletion.
    const auto wide_path = to_system_string(path);
    if (auto removed = system.remove_directory(*wide_path); !removed) {
        return fail(ErrorChain::context(
            "service install path " + quote_path(path) +
                " has an unexpected owner and is not an empty directory that can be safely "
                "reclaimed",
            SystemError::from_code(removed.error())));
    }
    auto second = secure_once(system, path, profile, Attempt::AfterReclaim);
    if (!second) {
        return fail(std::move(second.error()));
    }
    return {};
}

Result<bool> has_system_owner(System& system, FileRef handle) {
    auto owner = query_owner(system, handle);
    if (!owner) {
        return fail(std::move(owner.error()));
    }
    auto judged = judge_owner(system, owner->owner);
    if (!judged) {
        return fail(std::move(judged.error()));
    }
    return judged->kind != OwnerKind::Other;
}

Result<std::optional<UniqueHandle>> hold_service_directory(System& system, std::string_view path) {
    const auto wide_path = to_system_string(path);
    if (!wide_path) {
        return fail(ErrorChain::message("service directory path contains NUL"));
    }
    const std::string quoted = quote_path(path);
    // Sharing read and write but not deletion: while this handle is open, the directory cannot be
    // renamed, deleted or replaced by a junction, so paths below it keep naming what is checked
    // here. Opened without following a link, so the check is made on the directory itself.
    auto handle = system.create_file(
        *wide_path, Access::ReadControl | Access::ListDirectory | Access::ReadAttributes,
        ShareMode::Read | ShareMode::Write, Disposition::OpenExisting, OPEN_FLAGS);
    if (!handle) {
        const SystemError error = SystemError::from_code(handle.error());
        if (is_absent_or_unreachable(error)) {
            return std::optional<UniqueHandle>{};
        }
        return fail(
            ErrorChain::context("failed to open private service directory " + quoted, error));
    }
    if (!is_ordinary_directory(system, handle->ref())) {
        return fail(
            ErrorChain::message("service directory " + quoted + " is not an ordinary directory"));
    }
    auto trusted = has_system_owner(system, handle->ref());
    if (!trusted) {
        return fail(std::move(trusted.error()));
    }
    if (!*trusted) {
        return fail(
            ErrorChain::message("service directory " + quoted + " has an unexpected owner"));
    }
    return std::optional<UniqueHandle>{std::move(*handle)};
}

Result<std::string> prepare_install_dirs(System& system) {
    const ServiceLayout layout = service_layout(system);
    if (auto secured = ensure_private_directory(system, layout.service_dir, INSTALL_DIR_PROFILE);
        !secured) {
        return fail(std::move(secured.error()));
    }
    std::string bin = bin_dir(layout);
    if (auto secured = ensure_private_directory(system, bin, INSTALL_DIR_PROFILE); !secured) {
        return fail(std::move(secured.error()));
    }
    return bin;
}

} // namespace orvex
