#include "service/uninstall.hpp"

#include <algorithm>
#include <chrono>

#include "support.hpp"

namespace orvex {
namespace {

using testing::expect_nothing_leaked;
using testing::report_of;

constexpr std::string_view EXE = "C:\\ProgramData\\orvex-service\\bin\\orvex-service.exe";
constexpr std::string_view QUOTED_EXE =
    "\"C:\\\\ProgramData\\\\orvex-service\\\\bin\\\\orvex-service.exe\"";

class Uninstall : public ::testing::Test {
  protected:
    void SetUp() override {
        system.add_directory("C:\\ProgramData\\orvex-service\\bin", SID_LOCAL_SYSTEM);
        system.add_file(EXE, "MZ");
        service = &system.add_service("orvex_vpn_service");
    }
    void TearDown() override { expect_nothing_leaked(system); }
    std::string run() { return report_of(system, uninstall_service(system)); }
    std::size_t index_of(const Call& call) {
        const auto& calls = system.calls();
        return static_cast<std::size_t>(std::ranges::find(calls, call) - calls.begin());
    }

    MemorySystem system;
    MemorySystem::Service* service = nullptr;
};

TEST_F(Uninstall, RunningServiceIsStoppedDeletedAndItsExecutableRemoved) {
    EXPECT_EQ(run(), "<success>");
    EXPECT_EQ(system.service("orvex_vpn_service"), nullptr);
    EXPECT_FALSE(system.exists(EXE));
    EXPECT_EQ(system.sleeps(), 0u); // it stopped at the first check
    EXPECT_EQ(system.count_calls(Op::ControlService), 1u);
    // The removal handle is closed after the delete request and before the first probe.
    EXPECT_LT(index_of({Op::DeleteService, ""}), index_of({Op::CloseServiceHandle, ""}));
    EXPECT_LT(index_of({Op::CloseServiceHandle, ""}),
              index_of({Op::OpenService, "orvex_vpn_service 4"}));
    // The removal handle asks for exactly what stopping, watching and deleting need.
    EXPECT_EQ(system.service_opens.front().access,
              ServiceAccess::Delete | ServiceAccess::Stop | ServiceAccess::QueryStatus);
}

TEST_F(Uninstall, AlreadyStoppedServiceGetsNoStopControl) {
    service->state = 1;
    EXPECT_EQ(run(), "<success>");
    EXPECT_EQ(system.count_calls(Op::ControlService), 0u);
    EXPECT_FALSE(system.exists(EXE));
}

TEST_F(Uninstall, ServiceStoppedBySomeoneElseBeforeOurStopIsTolerated) {
    system.on_call = [&](const Call& call) {
        if (call.op == Op::ControlService) {
            service->state = 1; // the control then fails with 1062
        }
    };
    EXPECT_EQ(run(), "<success>");
    EXPECT_EQ(system.count_calls(Op::QueryServiceStatus), 2u);
    EXPECT_EQ(system.sleeps(), 0u);
}

TEST_F(Uninstall, SlowStopIsWaitedForWithPausesBetweenChecks) {
    service->stop_delay_queries = 3;
    EXPECT_EQ(run(), "<success>");
    EXPECT_EQ(system.sleeps(), 3u);
    EXPECT_EQ(system.slept(), std::chrono::milliseconds(300));
}

TEST_F(Uninstall, ServiceThatNeverStopsTimesOutAfterExactly200Checks) {
    service->stop = MemorySystem::ServiceStop::Ignore;
    EXPECT_EQ(run(), "Error: timed out waiting for service to stop\n");
    EXPECT_EQ(system.count_calls(Op::QueryServiceStatus), 201u);
    EXPECT_EQ(system.sleeps(), 199u);
    EXPECT_EQ(system.slept(), std::chrono::milliseconds(19900));
    EXPECT_EQ(system.count_calls(Op::ControlService), 1u);
    EXPECT_FALSE(service->marked_for_delete);
    EXPECT_TRUE(system.exists(EXE));
}

TEST_F(Uninstall, DeletionDelayedByAHandleHeldElsewhereTimesOut) {
    service->external_handles = 1;
    EXPECT_EQ(run(), "Error: timed out waiting for service deletion\n");
    EXPECT_EQ(system.count_calls(Op::OpenService, "orvex_vpn_service 4"), 200u);
    EXPECT_EQ(system.sleeps(), 199u);
    EXPECT_TRUE(system.exists(EXE));
}

TEST_F(Uninstall, NotInstalledIsAFailureAndTheExecutableStays) {
    MemorySystem fresh;
    fresh.add_file(EXE, "MZ");
    EXPECT_EQ(report_of(fresh, uninstall_service(fresh)),
              "Error: IO error in winapi call\n\nCaused by:\n"
              "    Service does not exist. (os error 1060)\n");
    EXPECT_TRUE(fresh.exists(EXE));
    expect_nothing_leaked(fresh);
}

TEST_F(Uninstall, ManagerErrorsEndTheSequenceWithTheWinapiError) {
    struct Case {
        Op operation;
        int nth;
        std::uint32_t code;
        std::string cause;
    };
    const std::vector<Case> cases = {
        {Op::OpenScManager, 1, 5, "Access denied. (os error 5)"},
        {Op::OpenService, 1, 5, "Access denied. (os error 5)"},
        {Op::QueryServiceStatus, 1, 6, "Invalid handle. (os error 6)"},
        {Op::QueryServiceStatus, 2, 6, "Invalid handle. (os error 6)"},
        {Op::ControlService, 1, 1052,
         "Requested control is not valid for this service. (os error 1052)"},
        {Op::DeleteService, 1, 1072, "Service marked for delete. (os error 1072)"},
        {Op::OpenService, 2, 5, "Access denied. (os error 5)"}, // a probe
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(op_name(c.operation)) + " #" + std::to_string(c.nth));
        MemorySystem sys;
        sys.add_directory("C:\\ProgramData\\orvex-service\\bin", SID_LOCAL_SYSTEM);
        sys.add_file(EXE, "MZ");
        sys.add_service("orvex_vpn_service").stop_delay_queries = 1;
        sys.fail_call(c.operation, c.nth, c.code);
        EXPECT_EQ(report_of(sys, uninstall_service(sys)),
                  "Error: IO error in winapi call\n\nCaused by:\n    " + c.cause + "\n");
        EXPECT_TRUE(sys.exists(EXE));
        expect_nothing_leaked(sys);
    }
}

TEST_F(Uninstall, BadStatesAtTheQueryTheStopAndInTheWait) {
    const std::string expected = "Error: invalid service status value\n\nCaused by:\n"
                                 "    invalid unsigned integer for the target type: ";
    service->state = 8;
    EXPECT_EQ(run(), expected + "8\n");
    EXPECT_EQ(system.count_calls(Op::ControlService), 0u);

    MemorySystem at_stop;
    at_stop.add_service("orvex_vpn_service").raw_state_after_stop = 9;
    EXPECT_EQ(report_of(at_stop, uninstall_service(at_stop)), expected + "9\n");
    EXPECT_FALSE(at_stop.service("orvex_vpn_service")->marked_for_delete);
    expect_nothing_leaked(at_stop);

    MemorySystem in_wait;
    auto& waited = in_wait.add_service("orvex_vpn_service");
    waited.stop = MemorySystem::ServiceStop::Ignore;
    in_wait.on_call = [&](const Call& call) {
        if (call.op == Op::ControlService) {
            waited.state = 0;
        }
    };
    EXPECT_EQ(report_of(in_wait, uninstall_service(in_wait)), expected + "0\n");
    expect_nothing_leaked(in_wait);
}

TEST_F(Uninstall, ExecutableAbsentOrReadOnly) {
    system.remove(EXE);
    EXPECT_EQ(run(), "<success>");

    MemorySystem read_only;
    read_only.add_service("orvex_vpn_service");
    read_only.add_file(EXE, "MZ", FileAttributes::ReadOnly);
    EXPECT_EQ(report_of(read_only, uninstall_service(read_only)), "<success>");
    EXPECT_FALSE(read_only.exists(EXE));
    EXPECT_EQ(read_only.count_calls(Op::SetDispositionEx), 1u);
    expect_nothing_leaked(read_only);

    // Where deletion with POSIX semantics is refused, the attribute is cleared first.
    MemorySystem classic;
    classic.disposition_ex_supported = false;
    classic.add_service("orvex_vpn_service");
    classic.add_file(EXE, "MZ", FileAttributes::ReadOnly);
    EXPECT_EQ(report_of(classic, uninstall_service(classic)), "<success>");
    EXPECT_FALSE(classic.exists(EXE));
    expect_nothing_leaked(classic);
}

TEST_F(Uninstall, ExecutableThatCannotBeDeletedIsAFailureWithoutCause) {
    // Its process outlives the service's record for a moment, and maps the executable meanwhile.
    service->image = std::string(EXE);
    service->process_outlives_record = std::chrono::seconds(1);
    EXPECT_EQ(run(), "Error: Failed to remove service binary " + std::string(QUOTED_EXE) +
                         ": Access denied. (os error 5)\n");
    EXPECT_EQ(system.service("orvex_vpn_service"), nullptr); // already deleted
    EXPECT_TRUE(system.exists(EXE));
}

TEST_F(Uninstall, StopRefusedToAServiceAlreadyStoppingOrStillStartingIsAFailure) {
    // Windows refuses it with 1061 while the service stops or starts; only 1062 is tolerated.
    for (const std::uint32_t pending : {3u, 2u}) {
        service->state = pending;
        EXPECT_EQ(run(), "Error: IO error in winapi call\n\nCaused by:\n    OS Error 1061 "
                         "(FormatMessageW() returned error 317) (os error 1061)\n");
    }
    EXPECT_NE(system.service("orvex_vpn_service"), nullptr);
    EXPECT_TRUE(system.exists(EXE));
}

TEST_F(Uninstall, ExecutableThatCannotBeOpenedEndsTheRunBeforeTheServiceIsTouched) {
    // Anyone who may read it can hold it open without sharing deletion.
    const std::uintptr_t reader = system.open_external(EXE, ShareMode::Read);
    EXPECT_EQ(run(), "Error: Failed to remove service binary " + std::string(QUOTED_EXE) +
                         ": Sharing violation. (os error 32)\n");
    EXPECT_EQ(service->state, 4u); // still installed and running: the run can be repeated
    EXPECT_TRUE(system.manager_opens.empty());
    system.close_external(reader);
    EXPECT_EQ(run(), "<success>");
    EXPECT_EQ(system.service("orvex_vpn_service"), nullptr);
    EXPECT_FALSE(system.exists(EXE));

    // An unreachable network path (53) is no proof of absence either.
    MemorySystem unreachable;
    unreachable.add_service("orvex_vpn_service");
    unreachable.add_file(EXE, "MZ");
    unreachable.fail_call(Op::CreateFile, 1, 53, "orvex-service.exe");
    EXPECT_EQ(report_of(unreachable, uninstall_service(unreachable)),
              "Error: Failed to remove service binary " + std::string(QUOTED_EXE) +
                  ": OS Error 53 (FormatMessageW() returned error 317) (os error 53)\n");
    EXPECT_NE(unreachable.service("orvex_vpn_service"), nullptr);
    expect_nothing_leaked(unreachable);
}

TEST_F(Uninstall, ExecutableRemovedByAnotherDeleterMeanwhileCountsAsAbsent) {
    // Deletion is shared; the file gone, Windows refuses a disposition on it (STATUS_FILE_DELETED).
    system.on_call = [&](const Call& call) {
        if (call.op == Op::SetDispositionEx && system.exists(EXE)) {
            EXPECT_EQ(system.remove_external(EXE), WinCode::Success);
        }
    };
    system.fail_call(Op::SetDispositionEx, 1, 5);
    EXPECT_EQ(run(), "<success>");
}

TEST_F(Uninstall, ExecutableReplacedMeanwhileIsDeletedByItsName) {
    // Renamed aside while it was held, as a self-update may do, and a new file put in its place.
    system.on_call = [&](const Call& call) {
        if (call.op == Op::SetDispositionEx && system.exists(EXE) &&
            system.find(EXE)->contents == "MZ") {
            ASSERT_EQ(system.remove_external(EXE), WinCode::Success);
            system.add_file(EXE, "MZ new");
        }
    };
    EXPECT_EQ(run(), "<success>");
    EXPECT_FALSE(system.exists(EXE));
}

TEST_F(Uninstall, BinDirectoryThatCannotBePreparedEndsTheSequenceUnchanged) {
    system.fail_call(Op::CreateDirectory, 2, 5);
    EXPECT_EQ(run(), "Error: failed to create private service directory "
                     "\"C:\\\\ProgramData\\\\orvex-service\\\\bin\"\n\nCaused by:\n"
                     "    Access denied. (os error 5)\n");
    EXPECT_EQ(system.service("orvex_vpn_service"), nullptr);
    EXPECT_TRUE(system.exists(EXE));
}

} // namespace
} // namespace orvex
