#include "cli/entry.hpp"

#include <algorithm>
#include <new>
#include <optional>

#include "cli/error_report.hpp"
#include "owners/stale_owners.hpp"
#include "service/uninstall.hpp"
#include "state_dir/lock_files.hpp"

namespace orvex {
namespace {

int report_failure(System& system, const ErrorChain& chain) {
    write_error_report(system, chain);
    return EXIT_FAILURE_STATUS;
}

int run_maintenance(System& system) {
    auto removed = cleanup_stale_owners(system);
    if (!removed) {
        return report_failure(system, removed.error());
    }
    const std::string line =
        "Removed " + std::to_string(removed->size()) + " stale owner state directories\n";
    (void)write_text(system, StdStream::Output, line);
    return EXIT_SUCCESS_STATUS;
}

int run_uninstall(System& system) {
    auto outcome = acquire_repair_gate(system);
    if (!outcome) {
        return report_failure(system, outcome.error());
    }
    auto* acquired = std::get_if<RepairGateOutcome::Acquired>(&outcome->value);
    if (acquired == nullptr) {
        (void)write_text(system, StdStream::Error, REPAIR_BUSY_LINE);
        return EXIT_REPAIR_IN_PROGRESS;
    }
    std::optional<RepairGate> gate{std::move(acquired->gate)};

    auto removed = uninstall_service(system);
    if (!removed) {
        gate.reset(); // the gate is free again before the report is written
        return report_failure(system, removed.error());
    }
    // The success line is printed while the gate is still held.
    (void)write_text(system, StdStream::Output, UNINSTALL_SUCCESS_LINE);
    gate.reset();
    return EXIT_SUCCESS_STATUS;
}

} // namespace

bool wants_stale_owner_cleanup(std::span<const std::u16string> arguments) {
    return std::ranges::any_of(arguments,
                               [](const std::u16string& arg) { return arg == CLEANUP_SWITCH; });
}

int run_entry(System& system, std::span<const std::u16string> arguments) {
    // Running out of memory is the one failure that arrives as an exception (from the standard
    // library). It ends here, as a report and status 1, never through std::terminate; the
    // unwinding has already released every handle and lock on its way.
    try {
        if (wants_stale_owner_cleanup(arguments)) {
            return run_maintenance(system);
        }
        return run_uninstall(system);
    } catch (const std::bad_alloc&) {
        try {
            write_error_report(system, ErrorChain::message(std::string(OUT_OF_MEMORY_MESSAGE)));
        } catch (const std::bad_alloc&) {
            // Not even the report fits: the status still says that the run failed.
        }
        return EXIT_FAILURE_STATUS;
    }
}

} // namespace orvex
