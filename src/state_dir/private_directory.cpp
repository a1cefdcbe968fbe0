#include "state_dir/private_directory.hpp"

#include "common/files.hpp"
#include "common/text.hpp"
#include "platform/win32_constants.hpp"
#include "state_dir/service_layout.hpp"

namespace orvex {
namespace {

constexpr std::uint32_t OPEN_ACCESS = win::READ_CONTROL | win::WRITE_DAC | win::WRITE_OWNER;
constexpr std::uint32_t OPEN_FLAGS =
    win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT | win::PATH_OPEN_SQOS;
constexpr std::uint32_t DIRECTORY_OR_LINK =
    win::FILE_ATTRIBUTE_DIRECTORY | win::FILE_ATTRIBUTE_REPARSE_POINT;
constexpr std::uint32_t PROTECTED_DACL =
    win::DACL_SECURITY_INFORMATION | win::PROTECTED_DACL_SECURITY_INFORMATION;

Result<OwnedSid> local_system_sid(System& system) {
    return well_known_sid(system, win::WIN_LOCAL_SYSTEM_SID, "LocalSystem");
}
Result<OwnedSid> builtin_administrators_sid(System& system) {
    return well_known_sid(system, win::WIN_BUILTIN_ADMINISTRATORS_SID, "Builtin Administrators");
}

bool same_sid(System& system, const void* owner, const OwnedSid& sid) {
    return system.equal_sid(owner, sid->bytes.data());
}

std::string windows_error(WinCode code) {
    return "Windows error " + std::to_string(code);
}

// A directory on a disk that is not a reparse point of any kind, judged on its handle.
bool is_ordinary_directory(System& system, std::uintptr_t handle) {
    const auto info = system.file_information(handle);
    return info && (info->attributes & DIRECTORY_OR_LINK) == win::FILE_ATTRIBUTE_DIRECTORY &&
           system.file_type(handle) == win::FILE_TYPE_DISK;
}

Result<OwnerQuery> query_owner(System& system, std::uintptr_t handle) {
    OwnerQuery owner = system.get_owner(handle);
    if (owner.code != 0 || owner.owner == nullptr || !owner.descriptor) {
        return fail(ErrorChain::message("failed to inspect service path owner: " +
                                        windows_error(owner.code)));
    }
    return owner;
}

// Whether `owner` is one of the two accounts that may own an install directory.
Result<bool> owned_by_system_or_administrators(System& system, const void* owner) {
    auto local_system = local_system_sid(system);
    if (!local_system) {
        return fail(std::move(local_system.error()));
    }
    auto administrators = builtin_administrators_sid(system);
    if (!administrators) {
        return fail(std::move(administrators.error()));
    }
    return same_sid(system, owner, *local_system) || same_sid(system, owner, *administrators);
}

} // namespace

Result<OwnedSid> well_known_sid(System& system, std::uint32_t kind, std::string_view label) {
    auto sid = std::make_unique<SidBuffer>();
    if (auto created = system.create_well_known_sid(kind, sid->bytes.data(), SID_BUFFER_SIZE);
        !created) {
        return fail(ErrorChain::context("failed to create " + std::string(label) + " SID",
                                        SystemError::from_code(created.error())));
    }
    return sid;
}

Result<void> ensure_private_directory(System& system, std::string_view path, std::string_view sddl,
                                      bool migrate_legacy_owner, bool allow_reclaim) {
    // The descriptor comes first: nothing on disk is touched when it cannot be built.
    auto descriptor = system.convert_sddl(*to_system_string(sddl));
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

    if (auto created = system.create_directory(*wide_path, descriptor->ptr());
        !created && created.error() != win::ERROR_ALREADY_EXISTS) {
        return fail(ErrorChain::context("failed to create private service directory " + quoted,
                                        SystemError::from_code(created.error())));
    }

    // One handle, opened without following a link, carries every test and every change below, so
    // the object that was tested is the object that is changed even if the path is swapped.
    auto handle = system.create_file(*wide_path, OPEN_ACCESS, win::FILE_SHARE_ALL,
                                     win::OPEN_EXISTING, OPEN_FLAGS);
    if (!handle) {
        return fail(ErrorChain::context("failed to open private service directory " + quoted,
                                        SystemError::from_code(handle.error())));
    }

    if (!is_ordinary_directory(system, handle->get())) {
        return fail(
            ErrorChain::message("service directory " + quoted + " is not an ordinary directory"));
    }

    auto queried = query_owner(system, handle->get());
    if (!queried) {
        return fail(std::move(queried.error()));
    }
    OwnerQuery owner = std::move(*queried);

    if (!migrate_legacy_owner) {
        auto accepted = owned_by_system_or_administrators(system, owner.owner);
        if (!accepted) {
            return fail(std::move(accepted.error()));
        }
        owner.descriptor.reset();
        if (!*accepted) {
            // The handle must be closed before the directory can be removed.
            handle->reset();
            if (!allow_reclaim) {
                return fail(ErrorChain::message("service install path " + quoted +
                                                " still has an unexpected owner after safe "
                                                "recreation"));
            }
            // RemoveDirectoryW removes only an empty directory: nothing inside is ever deleted.
            if (auto removed = system.remove_directory(*wide_path); !removed) {
                return fail(ErrorChain::context(
                    "service install path " + quoted +
                        " has an unexpected owner and is not an empty directory that can be "
                        "safely reclaimed",
                    SystemError::from_code(removed.error())));
            }
            descriptor->reset();
            return ensure_private_directory(system, path, sddl, false, false);
        }
    } else {
        auto local_system = local_system_sid(system);
        if (!local_system) {
            return fail(std::move(local_system.error()));
        }
        if (!same_sid(system, owner.owner, *local_system)) {
            auto administrators = builtin_administrators_sid(system);
            if (!administrators) {
                return fail(std::move(administrators.error()));
            }
            if (!same_sid(system, owner.owner, *administrators)) {
                return fail(ErrorChain::message(
                    "service path " + quoted +
                    " has an unexpected owner; only legacy Builtin Administrators ownership can "
                    "be migrated"));
            }
            owner.descriptor.reset();
            const WinCode code =
                system.set_security_info(handle->get(), win::OWNER_SECURITY_INFORMATION,
                                         local_system->get()->bytes.data(), nullptr);
            if (code != 0) {
                return fail(
                    ErrorChain::message("failed to migrate service path " + quoted +
                                        " to LocalSystem ownership: " + windows_error(code)));
            }
        }
        owner.descriptor.reset();
    }

    const auto dacl = system.security_descriptor_dacl(descriptor->ptr());
    if (!dacl || !dacl->present || dacl->dacl == nullptr) {
        return fail(ErrorChain::message("private service directory descriptor has no DACL"));
    }
    if (const WinCode code =
            system.set_security_info(handle->get(), PROTECTED_DACL, nullptr, dacl->dacl);
        code != 0) {
        return fail(ErrorChain::message("failed to apply private service directory DACL: " +
                                        windows_error(code)));
    }
    return {};
}

Result<UniqueHandle> hold_service_directory(System& system, std::string_view path) {
    const auto wide_path = to_system_string(path);
    if (!wide_path) {
        return fail(ErrorChain::message("service directory path contains NUL"));
    }
    const std::string quoted = quote_path(path);
    // Sharing read and write but not deletion: while this handle is open, the directory cannot be
    // renamed, deleted or replaced by a junction, so paths below it keep naming what is checked
    // here. Opened without following a link, so the check is made on the directory itself.
    auto handle = system.create_file(
        *wide_path, win::READ_CONTROL | win::FILE_LIST_DIRECTORY | win::FILE_READ_ATTRIBUTES,
        win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING, OPEN_FLAGS);
    if (!handle) {
        const SystemError error = SystemError::from_code(handle.error());
        if (is_not_found(error)) {
            return UniqueHandle{};
        }
        return fail(
            ErrorChain::context("failed to open private service directory " + quoted, error));
    }
    if (!is_ordinary_directory(system, handle->get())) {
        return fail(
            ErrorChain::message("service directory " + quoted + " is not an ordinary directory"));
    }
    auto owner = query_owner(system, handle->get());
    if (!owner) {
        return fail(std::move(owner.error()));
    }
    auto accepted = owned_by_system_or_administrators(system, owner->owner);
    if (!accepted) {
        return fail(std::move(accepted.error()));
    }
    if (!*accepted) {
        return fail(
            ErrorChain::message("service directory " + quoted + " has an unexpected owner"));
    }
    return std::move(*handle);
}

Result<std::string> prepare_install_dirs(System& system) {
    const ServiceLayout layout = service_layout(system);
    if (auto secured =
            ensure_private_directory(system, layout.service_dir, INSTALL_DIR_SDDL, false, true);
        !secured) {
        return fail(std::move(secured.error()));
    }
    std::string bin = bin_dir(layout);
    if (auto secured = ensure_private_directory(system, bin, INSTALL_DIR_SDDL, false, true);
        !secured) {
        return fail(std::move(secured.error()));
    }
    return bin;
}

} // namespace orvex
