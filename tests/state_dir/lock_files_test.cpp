#include "state_dir/lock_files.hpp"

#include "support.hpp"

namespace orvex {
namespace {

using testing::expect_nothing_leaked;
using testing::report_of;

constexpr std::string_view BIN_DIR = "C:\\ProgramData\\orvex-service\\bin";
constexpr std::string_view GATE = "C:\\ProgramData\\orvex-service\\bin\\.repair.lock";
constexpr std::string_view QUOTED_GATE =
    "\"C:\\\\ProgramData\\\\orvex-service\\\\bin\\\\.repair.lock\"";

bool acquired(const Result<RepairGateOutcome>& outcome) {
    return outcome && std::holds_alternative<RepairGateOutcome::Acquired>(outcome->value);
}
bool busy(const Result<RepairGateOutcome>& outcome) {
    return outcome && std::holds_alternative<RepairGateOutcome::Busy>(outcome->value);
}

TEST(RepairGate, MissingGateIsCreatedEmptyAndStaysAfterRelease) {
    MemorySystem system;
    {
        auto outcome = acquire_repair_gate(system);
        ASSERT_TRUE(acquired(outcome)) << report_of(system, outcome);
        EXPECT_EQ(system.open_handles(), 1u);
        // While held, a second whole-range lock, even from this process, is refused.
        auto second = lock_file_whole(system, GATE);
        ASSERT_FALSE(second);
        EXPECT_EQ(second.error().stage, LockFileFailure::Stage::Lock);
        EXPECT_EQ(second.error().error, SystemError::from_code(WinCode{33}));
        EXPECT_EQ(system.open_handles(), 1u); // the second handle was closed at once
    }
    ASSERT_TRUE(system.exists(GATE));
    EXPECT_EQ(system.find(GATE)->contents, "");
    expect_nothing_leaked(system);
    EXPECT_TRUE(acquired(acquire_repair_gate(system))); // released by closing
}

TEST(RepairGate, LockOnAnyRangeHeldElsewhereIsBusy) {
    MemorySystem system;
    system.add_file(GATE);
    const auto holder = system.open_external(GATE, ShareMode::All);
    system.lock_external(holder, 0, 1);
    EXPECT_TRUE(busy(acquire_repair_gate(system)));
    expect_nothing_leaked(system);
}

TEST(RepairGate, OpenersWithAndWithoutSharing) {
    MemorySystem sharing;
    sharing.add_file(GATE);
    sharing.open_external(GATE, ShareMode::Read | ShareMode::Write); // no lock
    EXPECT_TRUE(acquired(acquire_repair_gate(sharing)));

    MemorySystem exclusive;
    exclusive.add_file(GATE);
    exclusive.open_external(GATE, ShareMode{});
    EXPECT_EQ(report_of(exclusive, acquire_repair_gate(exclusive)),
              "Error: failed to open service repair gate " + std::string(QUOTED_GATE) +
                  "\n\nCaused by:\n    Sharing violation. (os error 32)\n");
    expect_nothing_leaked(exclusive);
}

TEST(RepairGate, OtherLockFailuresAreErrors) {
    MemorySystem system;
    system.fail_call(Op::LockFile, 1, 5);
    EXPECT_EQ(report_of(system, acquire_repair_gate(system)),
              "Error: failed to lock service repair gate " + std::string(QUOTED_GATE) +
                  "\n\nCaused by:\n    Access denied. (os error 5)\n");
    expect_nothing_leaked(system);
}

TEST(RepairGate, ForeignNonEmptyBinIsReportedAndTheGateIsNeverTried) {
    MemorySystem system;
    system.add_directory("C:\\ProgramData\\orvex-service", SID_LOCAL_SYSTEM);
    system.add_directory(BIN_DIR, SID_FOREIGN_USER);
    system.add_file(std::string(BIN_DIR) + "\\orvex-service.exe", "MZ");
    EXPECT_EQ(report_of(system, acquire_repair_gate(system)),
              "Error: service install path \"C:\\\\ProgramData\\\\orvex-service\\\\bin\" has an "
              "unexpected owner and is not an empty directory that can be safely reclaimed\n\n"
              "Caused by:\n    Directory is not empty. (os error 145)\n");
    EXPECT_EQ(system.count_calls(Op::LockFile), 0u);
    EXPECT_FALSE(system.exists(GATE));
    expect_nothing_leaked(system);
}

TEST(RepairGate, AGateThatIsALinkOrHasASecondNameIsNeverLocked) {
    for (const bool symbolic : {true, false}) {
        SCOPED_TRACE(symbolic ? "symbolic link" : "hard link");
        MemorySystem system;
        MemorySystem::Node& target = system.add_file("C:\\Windows\\system.ini", "[boot]");
        if (symbolic) {
            system.add_symlink(GATE, "C:\\Windows\\system.ini", false);
        } else {
            system.add_file(GATE).links = 2;
        }
        EXPECT_EQ(report_of(system, acquire_repair_gate(system)),
                  "Error: failed to open service repair gate " + std::string(QUOTED_GATE) +
                      "\n\nCaused by:\n    OS Error " + (symbolic ? "4395" : "1142") +
                      " (FormatMessageW() returned error 317) (os error " +
                      (symbolic ? "4395" : "1142") + ")\n");
        EXPECT_EQ(system.count_calls(Op::LockFile), 0u);
        EXPECT_EQ(target.contents, "[boot]");
        expect_nothing_leaked(system);
    }
}

} // namespace
} // namespace orvex
