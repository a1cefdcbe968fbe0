#include "state_dir/lock_files.hpp"

#include "common/text.hpp"
#include "platform/win32_constants.hpp"
#include "state_dir/private_directory.hpp"
#include "state_dir/service_layout.hpp"

namespace orvex {

std::expected<UniqueHandle, LockFileFailure> lock_file_whole(System& system,
                                                             std::string_view path) {
    using Stage = LockFileFailure::Stage;
    const auto wide = to_system_string(path);
    if (!wide) {
        return std::unexpected(
            LockFileFailure{Stage::Open, SystemError::fixed(NUL_IN_PATH_DESCRIPTION)});
    }
    auto handle = system.create_file(*wide, win::GENERIC_READ | win::GENERIC_WRITE,
                                     win::FILE_SHARE_ALL, win::OPEN_ALWAYS, 0);
    if (!handle) {
        return std::unexpected(
            LockFileFailure{Stage::Open, SystemError::from_code(handle.error())});
    }
    if (auto locked = system.lock_file(handle->get(), 0, 0, 0xFFFFFFFF, 0xFFFFFFFF); !locked) {
        return std::unexpected(
            LockFileFailure{Stage::Lock, SystemError::from_code(locked.error())});
    }
    return std::move(*handle);
}

Result<RepairGateOutcome> acquire_repair_gate(System& system) {
    auto bin = prepare_install_dirs(system);
    if (!bin) {
        return fail(std::move(bin.error()));
    }
    const std::string gate_path = join_path(*bin, REPAIR_GATE_FILE_NAME);
    auto locked = lock_file_whole(system, gate_path);
    if (locked) {
        return RepairGateOutcome{RepairGateOutcome::Acquired{RepairGate(std::move(*locked))}};
    }
    const LockFileFailure& failure = locked.error();
    if (failure.stage == LockFileFailure::Stage::Open) {
        return fail(ErrorChain::context(
            "failed to open service repair gate " + quote_path(gate_path), failure.error));
    }
    if (failure.error.has_code(win::ERROR_LOCK_VIOLATION)) {
        return RepairGateOutcome{RepairGateOutcome::Busy{}};
    }
    return fail(ErrorChain::context("failed to lock service repair gate " + quote_path(gate_path),
                                    failure.error));
}

} // namespace orvex
