#include "service/uninstall.hpp"

#include "common/files.hpp"
#include "common/system_message.hpp"
#include "common/text.hpp"
#include "service/managed_service.hpp"
#include "service/service_control.hpp"
#include "state_dir/private_directory.hpp"
#include "state_dir/service_layout.hpp"

namespace orvex {
namespace {

constexpr ServiceAccess REMOVAL_RIGHTS =
    ServiceAccess::Delete | ServiceAccess::Stop | ServiceAccess::QueryStatus;

std::unexpected<ErrorChain> fail_with(const ServiceError& error) {
    return fail(error.into_chain());
}

std::unexpected<ErrorChain> binary_failure(System& system, const std::string& path,
                                           SystemError error) {
    return fail(ErrorChain::message("Failed to remove service binary " + quote_path(path) + ": " +
                                    system_error_text(system, error)));
}

// The executable, opened for deletion before the service is touched, or nothing when it was
// absent then.
struct HeldBinary {
    std::string path;
    UniqueHandle handle;
};

// Opens the executable as itself (a link is opened, never followed) for deletion, sharing
// everything, and holds it from before the service is stopped until it is deleted: a file that
// cannot be deleted then ends the run while the service is still installed, so the run can be
// repeated, and while the handle is held nobody can open the file without sharing deletion. Only
// a name that names nothing (2, 3) counts as absent; the bin directory has been verified by now.
Result<HeldBinary> hold_service_binary(System& system) {
    std::string path = join_path(bin_dir(service_layout(system)), SERVICE_EXECUTABLE_NAME);
    const auto wide = to_system_string(path);
    if (!wide) {
        return binary_failure(system, path, SystemError::fixed(NUL_IN_PATH_DESCRIPTION));
    }
    const auto open = [&](Access access) {
        return system.create_file(*wide, access, ShareMode::All, Disposition::OpenExisting,
                                  OpenFlags::OpenReparsePoint | OpenFlags::IdentifyOnly);
    };
    // Attributes are written only to clear read-only where POSIX deletion is refused; a file whose
    // DACL withholds that is opened for deletion alone, as deleting by path needs.
    auto handle = open(Access::Delete | Access::ReadAttributes | Access::WriteAttributes);
    if (!handle && handle.error() == WinCode::AccessDenied) {
        handle = open(Access::Delete | Access::ReadAttributes);
    }
    if (!handle) {
        const SystemError error = SystemError::from_code(handle.error());
        if (is_absent(error)) {
            return HeldBinary{std::move(path), UniqueHandle{}};
        }
        return binary_failure(system, path, error);
    }
    return HeldBinary{std::move(path), std::move(*handle)};
}

// Whether `path` names nothing now, judged on the name itself, not on where a link leads.
bool names_nothing_now(System& system, const std::string& path) {
    const auto wide = to_system_string(path);
    auto handle = system.create_file(*wide, Access{}, ShareMode::All, Disposition::OpenExisting,
                                     OpenFlags::BackupSemantics | OpenFlags::OpenReparsePoint |
                                         OpenFlags::IdentifyOnly);
    return !handle && is_absent(SystemError::from_code(handle.error()));
}

// Deletes the held executable through its handle, and closes it, which completes the deletion.
Result<void> delete_held_binary(System& system, HeldBinary& binary) {
    auto deleted = delete_open_file(system, binary.handle.ref());
    binary.handle.reset();
    // Deletion was shared: another deleter may have won the race.
    if (deleted || names_nothing_now(system, binary.path)) {
        return {};
    }
    return binary_failure(system, binary.path, deleted.error());
}

// Deletes by path an executable that was absent when the run started (one may have appeared
// since). Only a not-found answer means it is absent: any other failure to read its metadata goes
// on to the deletion, so that an executable we cannot see is never reported as removed.
Result<void> remove_service_binary(System& system, const std::string& path) {
    if (auto metadata = file_metadata(system, path); !metadata && is_absent(metadata.error())) {
        return {};
    }
    auto deleted = delete_file(system, path);
    if (deleted || is_absent(deleted.error())) {
        return {}; // another deleter may have won the race
    }
    return binary_failure(system, path, deleted.error());
}

} // namespace

Result<void> poll_until(System& system, const std::function<Result<PollState>()>& check,
                        std::string_view timeout_message) {
    for (int attempt = 1;; ++attempt) {
        auto state = check();
        if (!state) {
            return fail(std::move(state.error()));
        }
        if (*state == PollState::Done) {
            return {};
        }
        if (attempt == POLL_ATTEMPTS) {
            return fail(ErrorChain::message(std::string(timeout_message)));
        }
        system.sleep(POLL_INTERVAL);
    }
}

Result<void> uninstall_service(System& system) {
    auto binary = hold_service_binary(system);
    if (!binary) {
        return fail(std::move(binary.error()));
    }
    auto manager = ScmConnection::connect(system, ServiceAccess::ManagerConnect);
    if (!manager) {
        return fail_with(manager.error());
    }
    {
        auto service = manager->open_service(SERVICE_NAME, REMOVAL_RIGHTS);
        if (!service) {
            return fail_with(service.error()); // a service that is not installed, too
        }
        auto status = service->query_status();
        if (!status) {
            return fail_with(status.error());
        }
        if (status->current_state != ServiceRunState::Stopped) {
            // Sent once and never repeated. 1062: someone else stopped it meanwhile.
            if (auto stopped = service->stop();
                !stopped && !stopped.error().is_winapi(WinCode::ServiceNotActive)) {
                return fail_with(stopped.error());
            }
            auto waited = poll_until(
                system,
                [&]() -> Result<PollState> {
                    auto current = service->query_status();
                    if (!current) {
                        return fail_with(current.error());
                    }
                    return current->current_state == ServiceRunState::Stopped ? PollState::Done
                                                                              : PollState::NotYet;
                },
                "timed out waiting for service to stop");
            if (!waited) {
                return waited;
            }
        }
        if (auto deleted = service->delete_service(); !deleted) {
            return fail_with(deleted.error());
        }
        // The handle is released here: the manager removes the service once every handle is closed.
    }

    auto gone = poll_until(
        system,
        [&]() -> Result<PollState> {
            auto probe = manager->open_service(SERVICE_NAME, ServiceAccess::QueryStatus);
            if (probe) {
                return PollState::NotYet; // the probe's handle is released at once
            }
            if (probe.error().is_winapi(WinCode::ServiceDoesNotExist)) {
                return PollState::Done;
            }
            return fail_with(probe.error());
        },
        "timed out waiting for service deletion");
    if (!gone) {
        return gone;
    }

    auto bin = prepare_install_dirs(system);
    if (!bin) {
        return fail(std::move(bin.error()));
    }
    if (binary->handle) {
        if (auto deleted = delete_held_binary(system, *binary); !deleted) {
            return deleted;
        }
    }
    // By path as well: what the handle deleted may have been renamed aside meanwhile (by a
    // self-update, say) and another file put under the name.
    return remove_service_binary(system, join_path(*bin, SERVICE_EXECUTABLE_NAME));
}

} // namespace orvex
