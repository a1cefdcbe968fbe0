// Binds the entry to the real operations of both modes.
#include "cli/entry.hpp"
#include "service/uninstall.hpp"

namespace orvex {

ModeOperations real_mode_operations(System& system) {
    ModeOperations operations;
    operations.acquire_repair_gate = [&system] { return acquire_repair_gate(system); };
    operations.uninstall_service = [&system] { return uninstall_service(system); };
    operations.cleanup_stale_owners = []() -> Result<std::vector<std::string>> {
        return fail(
            ErrorChain::message("the stale-owner maintenance mode is not available in this build"));
    };
    return operations;
}

} // namespace orvex
