#pragma once
// The removal sequence: stop the service, wait, delete it, wait until the manager no longer
// knows it, then delete its executable. The caller holds the repair gate throughout.

#include <chrono>
#include <functional>
#include <string_view>

#include "common/error_chain.hpp"
#include "platform/system.hpp"

namespace orvex {

inline constexpr int POLL_ATTEMPTS = 200;
inline constexpr std::chrono::milliseconds POLL_INTERVAL{100};

enum class PollState { Done, NotYet };

// Runs `check` at once and then after each pause of POLL_INTERVAL, at most POLL_ATTEMPTS times,
// with no pause after the last check. An error from the check ends the wait at once; running out
// of checks gives a chain with `timeout_message` alone.
[[nodiscard]] Result<void> poll_until(System& system,
                                      const std::function<Result<PollState>()>& check,
                                      std::string_view timeout_message);

// Stops and deletes the service and deletes its executable. Nothing is undone on failure.
[[nodiscard]] Result<void> uninstall_service(System& system);

} // namespace orvex
