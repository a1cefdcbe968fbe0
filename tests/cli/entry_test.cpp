#include "cli/entry.hpp"

#include <algorithm>
#include <new>
#include <utility>

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

constexpr std::string_view SERVICE_DIR = "C:\\ProgramData\\orvex-service";
constexpr std::string_view GATE = "C:\\ProgramData\\orvex-service\\bin\\.repair.lock";
constexpr std::string_view OWNER_LOCK =
    "C:\\ProgramData\\orvex-service\\runtime\\orvex-service.owner.lock";
const std::string SUCCESS(UNINSTALL_SUCCESS_LINE);

// An installed, running service with its executable, and two stale owners.
void installed(MemorySystem& system) {
    system.add_directory("C:\\ProgramData\\orvex-service\\bin");
    system.add_file(std::string(SERVICE_DIR) + "\\bin\\orvex-service.exe", "MZ");
    system.add_service("orvex_vpn_service");
    for (const char* uid : {"1000", "1001"}) {
        system.add_file(std::string(SERVICE_DIR) + "\\users\\" + uid + "\\owner.json",
                        std::string(R"({"Unix":[)") + uid + ",0]}");
    }
}

// Holds `path` locked, as another process (a repair, or the running service) does.
void held_elsewhere(MemorySystem& system, std::string_view path) {
    system.add_file(path);
    system.lock_external(system.open_external(path, ShareMode::All), 0, 1);
}

TEST(Entry, MaintenanceOutcomes) {
    MemorySystem system;
    installed(system);
    EXPECT_EQ(run_entry(system, Args{u"x", u"--cleanup-stale-owners", u"--cleanup-stale-owners"}),
              0);
    EXPECT_EQ(system.out, "Removed 2 stale owner state directories\n");
    EXPECT_EQ(system.err, "");
    EXPECT_EQ(system.count_calls(Op::OpenScManager), 0u); // the uninstall did not run
    EXPECT_EQ(run_entry(system, Args{u"x", u"--cleanup-stale-owners"}), 0);
    EXPECT_EQ(system.out, "Removed 2 stale owner state directories\n"
                          "Removed 0 stale owner state directories\n");

    MemorySystem running;
    installed(running);
    held_elsewhere(running, OWNER_LOCK);
    EXPECT_EQ(run_entry(running, Args{u"x", u"--cleanup-stale-owners"}), 1);
    EXPECT_EQ(running.out, "");
    EXPECT_EQ(running.err, "Error: service owner lock is held; stop the service before "
                           "stale-owner maintenance\n\nCaused by:\n    Lock violation. (os error "
                           "33)\n");
}

TEST(Entry, UninstallOutcomes) {
    MemorySystem system;
    installed(system);
    // The success line is written while the gate is held: its handle is the last one closed.
    std::size_t open_at_line = 0;
    system.on_call = [&](const Call& call) {
        if (call == Call{Op::WriteFile, "stdout"}) {
            open_at_line = system.open_handles();
        }
    };
    EXPECT_EQ(run_entry(system, Args{u"x", u"--help"}), 0);
    EXPECT_EQ(system.out, SUCCESS);
    EXPECT_EQ(system.err, "");
    EXPECT_EQ(open_at_line, 1u);
    EXPECT_EQ(system.service("orvex_vpn_service"), nullptr);

    MemorySystem busy;
    installed(busy);
    held_elsewhere(busy, GATE);
    EXPECT_EQ(run_entry(busy, Args{u"x"}), 75);
    EXPECT_EQ(busy.out, "");
    EXPECT_EQ(busy.err, "Service repair is already in progress\n");
    EXPECT_EQ(busy.service("orvex_vpn_service")->state, 4u); // not touched

    MemorySystem gate_error;
    installed(gate_error);
    gate_error.fail_call(Op::CreateFile, 1, 32, ".repair.lock");
    EXPECT_EQ(run_entry(gate_error, Args{u"x"}), 1);
    EXPECT_EQ(gate_error.err,
              "Error: failed to open service repair gate "
              "\"C:\\\\ProgramData\\\\orvex-service\\\\bin\\\\.repair.lock\"\n\nCaused by:\n"
              "    Sharing violation. (os error 32)\n");
    EXPECT_EQ(gate_error.service("orvex_vpn_service")->state, 4u);
}

TEST(Entry, UninstallFailureReleasesTheGateBeforeTheReport) {
    MemorySystem system;
    installed(system);
    system.service("orvex_vpn_service")->stop = MemorySystem::ServiceStop::Ignore;
    std::size_t open_at_report = 1;
    system.on_call = [&](const Call& call) {
        if (call == Call{Op::WriteFile, "stderr"}) {
            open_at_report = system.open_handles();
        }
    };
    EXPECT_EQ(run_entry(system, Args{u"x"}), 1);
    EXPECT_EQ(system.out, "");
    EXPECT_EQ(system.err, "Error: timed out waiting for service to stop\n");
    EXPECT_EQ(open_at_report, 0u);
}

TEST(Entry, StatusDoesNotDependOnWhetherOutputCouldBeWritten) {
    MemorySystem ok;
    installed(ok);
    ok.streams_broken = true;
    EXPECT_EQ(run_entry(ok, Args{u"x"}), 0);

    MemorySystem failed;
    installed(failed);
    failed.streams_broken = true;
    failed.service("orvex_vpn_service")->stop = MemorySystem::ServiceStop::Ignore;
    EXPECT_EQ(run_entry(failed, Args{u"x"}), 1);
}

TEST(Entry, RunningOutOfMemoryEndsInAReportAndStatusOne) {
    MemorySystem system;
    installed(system);
    // The allocation that fails comes while the gate is held and the service is being stopped.
    bool thrown = false;
    system.on_call = [&](const Call& call) {
        if (call.op == Op::ControlService && !std::exchange(thrown, true)) {
            throw std::bad_alloc();
        }
    };
    EXPECT_EQ(run_entry(system, Args{u"x"}), 1);
    EXPECT_EQ(system.err, "Error: out of memory\n");
    EXPECT_EQ(system.out, "");
    EXPECT_EQ(system.open_handles(), 0u); // the gate was released on the way out
}

} // namespace
} // namespace orvex
