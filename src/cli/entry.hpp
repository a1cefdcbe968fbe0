#pragma once
// The process entry: picks the mode from the arguments, runs it, prints its one result line and
// turns the outcome into the exit status.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system.hpp"

namespace orvex {

inline constexpr std::u16string_view CLEANUP_SWITCH = u"--cleanup-stale-owners";
inline constexpr int EXIT_SUCCESS_STATUS = 0;
inline constexpr int EXIT_FAILURE_STATUS = 1;
inline constexpr int EXIT_REPAIR_IN_PROGRESS = 75;

inline constexpr std::string_view UNINSTALL_SUCCESS_LINE =
    "Service uninstalled successfully. Resource cleanup warnings can be ignored.\n";
inline constexpr std::string_view REPAIR_BUSY_LINE = "Service repair is already in progress\n";
inline constexpr std::string_view OUT_OF_MEMORY_MESSAGE = "out of memory";

// True when an element (the program name included) is exactly the maintenance switch. Elements
// are compared as UTF-16 units, so one with an unpaired surrogate simply never matches.
[[nodiscard]] bool wants_stale_owner_cleanup(std::span<const std::u16string> arguments);

// Runs the selected mode (the uninstall, under the repair gate, or the stale-owner maintenance)
// and returns the exit status: 0, 1 or 75.
[[nodiscard]] int run_entry(System& system, std::span<const std::u16string> arguments);

} // namespace orvex
