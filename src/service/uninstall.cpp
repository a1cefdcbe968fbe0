#include "service/uninstall.hpp"

#include "common/files.hpp"
#include "common/system_message.hpp"
#include "common/text.hpp"
#include "service/managed_service.hpp"
#include "service/service_control.hpp"
#include "state_dir/private_directory.hpp"

namespace orvex {
namespace {

constexpr ServiceAccess REMOVAL_RIGHTS =
    ServiceAccess::Delete | ServiceAccess::Stop | ServiceAccess::QueryStatus;

std::unexpected<ErrorChain> fail_with(const ServiceError& error) {
    return fail(error.into_chain());
}

// Deletes the executable. Only a not-found answer means it is absent: any other failure to read
// its metadata goes on to the deletion, so that an executable we cannot see is never reported as
// removed.
Result<void> remove_service_binary(System& system, const std::string& path) {
    if (auto metadata = file_metadata(system, path); !metadata && names_nothing(metadata.error())) {
        return {};
    }
    auto deleted = delete_file(system, path);
    if (deleted || names_nothing(deleted.error())) {
        return {}; // another deleter may have won the race
    }
    return fail(ErrorChain::message("Failed to remove service binary " + quote_path(path) + ": " +
                                    system_error_text(system, deleted.error())));
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
    return remove_service_binary(system, join_path(*bin, SERVICE_EXECUTABLE_NAME));
}

} // namespace orvex
