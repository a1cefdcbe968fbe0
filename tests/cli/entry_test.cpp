#include "cli/entry.hpp"

#include <algorithm>

#include "support.hpp"

namespace orvex {
namespace {

using Args = std::vector<std::u16string>;

TEST(ArgumentScan, OnlyTheExactSwitchAtAnyPositionSelectsMaintenance) {
    EXPECT_FALSE(wants_stale_owner_cleanup(Args{u"orvex-uninstall.exe"}));
    EXPECT_FALSE(wants_stale_owner_cleanup(Args{}));
    EXPECT_TRUE(wants_stale_owner_cleanup(Args{u"x.exe", u"--cleanup-stale-owners"}));
    EXPECT_TRUE(wants_stale_owner_cleanup(Args{u"x.exe", u"a", u"--cleanup-stale-owners"}));
    EXPECT_TRUE(wants_stale_owner_cleanup(
        Args{u"x.exe", u"--cleanup-stale-owners", u"--cleanup-stale-owners"}));
    EXPECT_TRUE(wants_stale_owner_cleanup(Args{u"--cleanup-stale-owners"})); // even as argv[0]
    for (const char16_t* lookalike :
         {u"--cleanup-stale-owners=1", u"--Cleanup-Stale-Owners", u"-cleanup-stale-owners",
          u" --cleanup-stale-owners", u"--cleanup-stale-owners ", u"--cleanup", u"--help", u"/?"}) {
        EXPECT_FALSE(wants_stale_owner_cleanup(Args{u"x.exe", lookalike}));
    }
    const std::u16string lone{u'-', u'-', char16_t(0xD800)};
    EXPECT_FALSE(wants_stale_owner_cleanup(Args{u"x.exe", lone}));
}

// Injected modes that record what the entry did.
struct FakeModes {
    explicit FakeModes(MemorySystem& s) : system(s) {}
    MemorySystem& system;
    enum class Gate { Acquired, Busy, Fails } gate = Gate::Acquired;
    bool uninstall_fails = false;
    std::optional<std::size_t> removed; // maintenance result; nullopt = fails
    int uninstall_runs = 0;
    int maintenance_runs = 0;

    ModeOperations operations() {
        ModeOperations ops;
        ops.acquire_repair_gate = [this]() -> Result<RepairGateOutcome> {
            if (gate == Gate::Fails) {
                return fail(ErrorChain::context("failed to open service repair gate \"g\"",
                                                SystemError::from_code(WinCode{32})));
            }
            if (gate == Gate::Busy) {
                return RepairGateOutcome{RepairGateOutcome::Busy{}};
            }
            system.add_file("C:\\gate");
            auto handle = system.create_file(u"C:\\gate", Access{}, ShareMode::All,
                                             Disposition::OpenAlways, OpenFlags{});
            return RepairGateOutcome{RepairGateOutcome::Acquired{RepairGate(std::move(*handle))}};
        };
        ops.uninstall_service = [this]() -> Result<void> {
            ++uninstall_runs;
            if (uninstall_fails) {
                return fail(ErrorChain::message("timed out waiting for service to stop"));
            }
            return {};
        };
        ops.cleanup_stale_owners = [this]() -> Result<std::vector<std::string>> {
            ++maintenance_runs;
            if (!removed) {
                return fail(ErrorChain::message("failed to parse Windows owner metadata"));
            }
            return std::vector<std::string>(*removed, "key");
        };
        return ops;
    }
};

TEST(Entry, MaintenanceOutcomes) {
    MemorySystem system;
    FakeModes modes{system};
    modes.removed = 0;
    EXPECT_EQ(run_entry(system, Args{u"x", u"--cleanup-stale-owners"}, modes.operations()), 0);
    EXPECT_EQ(system.out, "Removed 0 stale owner state directories\n");
    EXPECT_EQ(system.err, "");

    MemorySystem two;
    FakeModes two_modes{two};
    two_modes.removed = 12;
    EXPECT_EQ(run_entry(two, Args{u"x", u"--cleanup-stale-owners", u"--cleanup-stale-owners"},
                        two_modes.operations()),
              0);
    EXPECT_EQ(two.out, "Removed 12 stale owner state directories\n");
    EXPECT_EQ(two_modes.maintenance_runs, 1);
    EXPECT_EQ(two_modes.uninstall_runs, 0);

    MemorySystem failing;
    FakeModes failing_modes{failing};
    EXPECT_EQ(run_entry(failing, Args{u"x", u"--cleanup-stale-owners"}, failing_modes.operations()),
              1);
    EXPECT_EQ(failing.out, "");
    EXPECT_EQ(failing.err, "Error: failed to parse Windows owner metadata\n");
}

TEST(Entry, UninstallOutcomes) {
    MemorySystem system;
    FakeModes modes{system};
    EXPECT_EQ(run_entry(system, Args{u"x", u"--help"}, modes.operations()), 0);
    EXPECT_EQ(system.out,
              "Service uninstalled successfully. Resource cleanup warnings can be ignored.\n");
    EXPECT_EQ(system.err, "");
    // The success line is written while the gate is held; the gate is closed afterwards.
    const auto& calls = system.calls();
    const auto line = std::ranges::find(calls, Call{Op::WriteFile, "stdout"});
    const auto closed = std::ranges::find(calls, Call{Op::CloseHandle, ""});
    EXPECT_LT(line, closed);
    EXPECT_EQ(system.open_handles(), 0u);

    MemorySystem busy;
    FakeModes busy_modes{busy};
    busy_modes.gate = FakeModes::Gate::Busy;
    EXPECT_EQ(run_entry(busy, Args{u"x"}, busy_modes.operations()), 75);
    EXPECT_EQ(busy.out, "");
    EXPECT_EQ(busy.err, "Service repair is already in progress\n");
    EXPECT_EQ(busy_modes.uninstall_runs, 0);

    MemorySystem gate_error;
    FakeModes gate_error_modes{gate_error};
    gate_error_modes.gate = FakeModes::Gate::Fails;
    EXPECT_EQ(run_entry(gate_error, Args{u"x"}, gate_error_modes.operations()), 1);
    EXPECT_EQ(gate_error.err, "Error: failed to open service repair gate \"g\"\n\nCaused by:\n"
                              "    Sharing violation. (os error 32)\n");
    EXPECT_EQ(gate_error_modes.uninstall_runs, 0);
}

TEST(Entry, UninstallFailureReleasesTheGateBeforeTheReport) {
    MemorySystem system;
    FakeModes modes{system};
    modes.uninstall_fails = true;
    EXPECT_EQ(run_entry(system, Args{u"x"}, modes.operations()), 1);
    EXPECT_EQ(system.out, "");
    EXPECT_EQ(system.err, "Error: timed out waiting for service to stop\n");
    const auto& calls = system.calls();
    EXPECT_LT(std::ranges::find(calls, Call{Op::CloseHandle, ""}),
              std::ranges::find(calls, Call{Op::WriteFile, "stderr"}));
    EXPECT_EQ(system.open_handles(), 0u);
}

TEST(Entry, StatusDoesNotDependOnWhetherOutputCouldBeWritten) {
    MemorySystem ok;
    ok.streams_broken = true;
    FakeModes ok_modes{ok};
    EXPECT_EQ(run_entry(ok, Args{u"x"}, ok_modes.operations()), 0);

    MemorySystem failed;
    failed.streams_broken = true;
    FakeModes failed_modes{failed};
    failed_modes.uninstall_fails = true;
    EXPECT_EQ(run_entry(failed, Args{u"x"}, failed_modes.operations()), 1);
}

TEST(Entry, RunningOutOfMemoryEndsInAReportAndStatusOne) {
    MemorySystem system;
    FakeModes modes{system};
    ModeOperations operations = modes.operations();
    operations.uninstall_service = []() -> Result<void> { throw std::bad_alloc(); };
    EXPECT_EQ(run_entry(system, Args{u"x"}, operations), 1);
    EXPECT_EQ(system.err, "Error: out of memory\n");
    EXPECT_EQ(system.out, "");
    EXPECT_EQ(system.open_handles(), 0u); // the gate was released on the way out
}

} // namespace
} // namespace orvex
