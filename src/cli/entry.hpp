#pragma once
// The process entry: picks the mode from the arguments, runs it, prints its one result line and
// turns the outcome into the exit status.

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error_chain.hpp"
#include "platform/system.hpp"
#include "state_dir/lock_files.hpp"

namespace orvex {

inline constexpr std::u16string_view CLEANUP_SWITCH = u"--cleanup-stale-owners";
inline constexpr int EXIT_SUCCESS_STATUS = 0;
inline constexpr int EXIT_FAILURE_STATUS = 1;
inline constexpr int EXIT_REPAIR_IN_PROGRESS = 75;

inline constexpr std::string_view UNINSTALL_SUCCESS_LINE =
    "Service uninstalled successfully. Resource cleanup warnings can be ignored.\n";
inline constexpr std::string_view REPAIR_BUSY_LINE = "Service repair is already in progress\n";
inline constexpr std::string_view OUT_OF_MEMORY_MESSAGE = "out of memory";

// The operations that the two modes run. Injected so that the dispatch is testable on its own.
struct ModeOperations {
    std::function<Result<RepairGateOutcome>()> acquire_repair_gate;
    std::function<Result<void>()> uninstall_service;
    std::function<Result<std::vector<std::string>>()> cleanup_stale_owners;
};

// True when an element (the program name included) is exactly the maintenance switch. Elements
// are compared as UTF-16 units, so one with an unpaired surrogate simply never matches.
[[nodiscard]] bool wants_stale_owner_cleanup(std::span<const std::u16string> arguments);

// Runs the selected mode and returns the exit status: 0, 1 or 75.
[[nodiscard]] int run_entry(System& system, std::span<const std::u16string> arguments,
                            const ModeOperations& operations);

// The real operations of both modes.
[[nodiscard]] ModeOperations real_mode_operations(System& system);

} // namespace orvex
