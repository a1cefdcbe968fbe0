// The fault-injection sweep: each mode's successful run is recorded once; then every system call
// of that run is made to fail in turn, with each plausible error code, and the outcome is checked
// against the invariants that hold whatever fails. The cases come from the recorded run, so a new
// system call is swept without editing this file.
#include <algorithm>
#include <cstdio>
#include <map>

#include "owners/stale_owners.hpp"
#include "support.hpp"
#include "sweep/scenarios.hpp"

namespace orvex::sweep {
namespace {

using testing::expect_nothing_leaked;

const std::string LIVE_KEY = owner_key_for(OwnerIdentity{WindowsIdentity{"S-1-5-18"}});
const std::string UNINSTALL_LINE =
    "Service uninstalled successfully. Resource cleanup warnings can be ignored.\n";

// Calls that cannot fail from the caller's point of view.
bool is_injectable(Op operation) {
    static constexpr Op NEVER_FAIL[] = {Op::EqualSid, Op::LocalFree, Op::CloseHandle,
                                        Op::CloseServiceHandle, Op::Sleep};
    return std::ranges::find(NEVER_FAIL, operation) == std::end(NEVER_FAIL);
}

std::vector<std::uint32_t> codes_for(Op operation) {
    std::vector<std::uint32_t> codes{5, 32, 2};
    if (operation == Op::LockFile) {
        codes.push_back(33);
    } else if (operation == Op::ControlService) {
        codes.push_back(1062);
    }
    return codes;
}

// One call of the recorded run, where a failure can be injected.
struct Point {
    Call call;
    int occurrence = 0; // 1-based among calls of the same operation
};

std::vector<Point> points_of(const std::vector<Call>& calls) {
    std::vector<Point> points;
    std::map<Op, int> seen;
    for (const auto& call : calls) {
        points.push_back(Point{call, ++seen[call.op]});
    }
    return points;
}

std::size_t first_index_of(const std::vector<Point>& calls, Op operation) {
    return static_cast<std::size_t>(
        std::ranges::find_if(calls, [&](const Point& p) { return p.call.op == operation; }) -
        calls.begin());
}

std::size_t last_index_of(const std::vector<Point>& calls, Op operation) {
    std::size_t last = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].call.op == operation) {
            last = i;
        }
    }
    return last;
}

// Whether `err` is one error report: "Error: " and a one-line message, then optionally a blank
// line, "Caused by:" and indented cause lines; no control character but the line feeds.
bool is_well_formed_report(const std::string& err) {
    if (!err.starts_with("Error: ") || !err.ends_with("\n") || err.starts_with("Error: \n")) {
        return false;
    }
    if (std::ranges::any_of(err, [](char c) {
            return (static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7F;
        })) {
        return false;
    }
    const std::size_t first_end = err.find('\n');
    if (first_end + 1 == err.size()) {
        return true;
    }
    const std::string rest = err.substr(first_end);
    if (!rest.starts_with("\n\nCaused by:\n")) {
        return false;
    }
    std::size_t at = std::string_view("\n\nCaused by:\n").size();
    while (at < rest.size()) {
        const std::size_t end = rest.find('\n', at);
        if (rest.compare(at, 4, "    ") != 0 || end == std::string::npos || end == at + 4) {
            return false;
        }
        at = end + 1;
    }
    return true;
}

void build(MemorySystem& system, Mode mode) {
    if (mode == Mode::Uninstall) {
        uninstall_world(system);
    } else if (mode == Mode::Maintenance) {
        maintenance_world(system, LIVE_KEY);
    } else {
        maintenance_classic_world(system, LIVE_KEY);
    }
}

// What every run must keep, whichever call failed with whichever code: an exit status of the
// contract; exactly one of the two streams written, with the mode's own line or one well-formed
// report; a success line that tells the truth; nothing leaked; nothing that was done undone.
// The exact text of each failure is checked beside each module's own tests.
void sweep(Mode mode, const char* name) {
    MemorySystem recording;
    build(recording, mode);
    ASSERT_EQ(run_entry(recording, arguments(mode)), 0) << recording.err;
    const std::vector<Point> calls = points_of(recording.calls());
    const std::string stale = std::string(USERS) + "\\1000";

    std::size_t points = 0;
    std::size_t runs = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const Point& point = calls[i];
        if (!is_injectable(point.call.op)) {
            continue;
        }
        ++points;
        for (const std::uint32_t code : codes_for(point.call.op)) {
            SCOPED_TRACE(std::string(name) + ": call " + std::to_string(i) + " " +
                         std::string(op_name(point.call.op)) + " " + point.call.argument + " #" +
                         std::to_string(point.occurrence) + " fails with " + std::to_string(code));
            MemorySystem system;
            build(system, mode);
            system.fail_call(point.call.op, point.occurrence, code);
            const int status = run_entry(system, arguments(mode));
            ++runs;
            expect_nothing_leaked(system);
            const bool output_lost = point.call.op == Op::WriteFile;

            if (status == 0) {
                EXPECT_EQ(system.err, "");
                if (mode == Mode::Uninstall) {
                    EXPECT_EQ(system.service("orvex_vpn_service"), nullptr) << "reported as done";
                    if (!output_lost) {
                        EXPECT_EQ(system.out, UNINSTALL_LINE);
                    }
                } else if (!output_lost) {
                    const bool removed = !system.exists(stale);
                    EXPECT_EQ(system.out, removed ? "Removed 1 stale owner state directories\n"
                                                  : "Removed 0 stale owner state directories\n");
                }
            } else if (status == 75) {
                EXPECT_EQ(mode, Mode::Uninstall);
                EXPECT_EQ(system.err, "Service repair is already in progress\n");
                EXPECT_EQ(system.out, "");
            } else {
                EXPECT_EQ(status, 1);
                EXPECT_EQ(system.out, "");
                EXPECT_TRUE(is_well_formed_report(system.err)) << system.err;
            }

            // Nothing that was done before the failure is undone.
            if (mode == Mode::Uninstall && i > first_index_of(calls, Op::DeleteService)) {
                EXPECT_EQ(system.service("orvex_vpn_service"), nullptr) << "the deletion stays";
            }
            if (mode != Mode::Uninstall) {
                // The stale directory is gone once its disposition is set (the classic one takes
                // effect when its handle closes, right after).
                const Op disposition =
                    mode == Mode::Maintenance ? Op::SetDispositionEx : Op::SetDisposition;
                if (i > last_index_of(calls, disposition)) {
                    EXPECT_FALSE(system.exists(stale));
                }
                if (i > first_index_of(calls, Op::DeleteFile)) {
                    EXPECT_FALSE(system.exists(ACTIVE));
                }
            }
        }
    }
    std::printf("[ sweep    ] %s: %zu injection points, %zu runs\n", name, points, runs);
}

// Each run stopped at each call of its recorded run, as a kill or a power cut stops it (the world
// keeps what was done; the system releases what the process held), then the mode run again on
// what was left. Maintenance must then have removed every stale owner, leaving at most the empty
// directory of the one window between its last two deletions, and kept the live owner; an
// uninstall must complete, or fail only because the first run had already deleted the service.
void crash_sweep(Mode mode, const char* name) {
    MemorySystem recording;
    build(recording, mode);
    ASSERT_EQ(run_entry(recording, arguments(mode)), 0);
    const std::string stale = std::string(USERS) + "\\1000";
    const std::string live = std::string(USERS) + "\\" + LIVE_KEY + "\\owner.json";
    std::size_t left_over = 0; // an empty directory left, or a rerun refused with 1060
    for (std::size_t i = 0; i < recording.calls().size(); ++i) {
        SCOPED_TRACE(std::string(name) + ": stopped before call " + std::to_string(i));
        MemorySystem system;
        build(system, mode);
        system.halt_after = i;
        (void)run_entry(system, arguments(mode));
        system.halt_after.reset();
        system.out.clear();
        system.err.clear();
        const int status = run_entry(system, arguments(mode));
        expect_nothing_leaked(system);
        if (mode == Mode::Uninstall) {
            EXPECT_EQ(system.service("orvex_vpn_service"), nullptr);
            if (status != 0) {
                ++left_over;
                EXPECT_EQ(status, 1);
                EXPECT_TRUE(system.err.ends_with("(os error 1060)\n")) << system.err;
            } else {
                EXPECT_FALSE(system.exists(EXE));
            }
            continue;
        }
        EXPECT_EQ(status, 0) << system.err;
        EXPECT_TRUE(system.exists(live));
        if (const MemorySystem::Node* left = system.find(stale)) {
            EXPECT_TRUE(left->children.empty()) << system.state();
            ++left_over;
        }
    }
    std::printf("[ crash    ] %s: %zu stopping points, %zu %s\n", name, recording.calls().size(),
                left_over,
                mode == Mode::Uninstall ? "reruns refused (1060)" : "leave an empty directory");
}

TEST(FaultSweep, Uninstall) {
    sweep(Mode::Uninstall, "uninstall");
}
TEST(FaultSweep, Maintenance) {
    sweep(Mode::Maintenance, "maintenance");
}
TEST(FaultSweep, MaintenanceWithClassicDeletion) {
    sweep(Mode::MaintenanceClassic, "maintenance, classic deletion");
}
TEST(CrashSweep, EveryModeFinishesOnTheNextRun) {
    crash_sweep(Mode::Uninstall, "uninstall");
    crash_sweep(Mode::Maintenance, "maintenance");
    crash_sweep(Mode::MaintenanceClassic, "maintenance, classic deletion");
}

} // namespace
} // namespace orvex::sweep
