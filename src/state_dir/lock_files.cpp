#include "state_dir/lock_files.hpp"

#include "common/text.hpp"
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
    const auto open_failure = [](WinCode code) {
        return std::unexpected(LockFileFailure{Stage::Open, SystemError::from_code(code)});
    };
    // A link planted in place of the lock file is opened as itself and refused below, so that
    // the lock is never taken on (nor a file created at) whatever it leads to.
    auto handle = system.create_file(*wide, Access::GenericRead | Access::GenericWrite,
                                     ShareMode::All, Disposition::OpenAlways,
                                     OpenFlags::OpenReparsePoint | OpenFlags::IdentifyOnly);
    if (!handle) {
        return open_failure(handle.error());
    }
    // A second name (a hard link made by someone who could write here before the directory was
    // secured) would make the lock act on a file that lives elsewhere too.
    const auto info = system.file_information(handle->ref());
    if (!info) {
        return open_failure(info.error());
    }
    if (info->attributes.intersects(FileAttributes::ReparsePoint)) {
        return open_failure(WinCode::ReparsePointEncountered);
    }
    if (info->attributes.intersects(FileAttributes::Directory)) {
        return open_failure(WinCode::Directory);
    }
    if (system.file_type(handle->ref()) != FileType::Disk) {
        return open_failure(WinCode::InvalidFunction);
    }
    if (info->links != 1) {
        return open_failure(WinCode::TooManyLinks);
    }
    if (auto locked = system.lock_whole_file(handle->ref()); !locked) {
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
    if (failure.error.has_code(WinCode::LockViolation)) {
        return RepairGateOutcome{RepairGateOutcome::Busy{}};
    }
    return fail(ErrorChain::context("failed to lock service repair gate " + quote_path(gate_path),
                                    failure.error));
}

} // namespace orvex
