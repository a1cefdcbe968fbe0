// Binds the entry to the real operations of both modes.
#include "cli/entry.hpp"
#include "owners/stale_owners.hpp"
#include "service/uninstall.hpp"

namespace orvex {

ModeOperations real_mode_operations(System& system) {
    ModeOperations operations;
    operations.acquire_repair_gate = [&system] { return acquire_repair_gate(system); };
    operations.uninstall_service = [&system] { return uninstall_service(system); };
    operations.cleanup_stale_owners = [&system] { return cleanup_stale_owners(system); };
    return operations;
}

} // namespace orvex
