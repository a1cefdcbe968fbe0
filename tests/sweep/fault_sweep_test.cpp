// The fault-injection sweep: each mode's successful run is recorded once; then every system call
// of that run is made to fail in turn, with each plausible error code, and the outcome is checked
// against what the tool promises for that step. The cases come from the recorded run, so a new
// system call is swept without editing this file; only a new kind of call needs a rule below.
#include <algorithm>
#include <cstdio>
#include <map>

#include "common/text.hpp"
#include "owners/stale_owners.hpp"
#include "support.hpp"
#include "sweep/scenarios.hpp"

namespace orvex::sweep {
namespace {

using testing::expect_nothing_leaked;

const std::string LIVE_KEY = owner_key_for(OwnerIdentity{WindowsIdentity{"S-1-5-18"}});
const std::string GATE = "C:\\ProgramData\\orvex-service\\bin\\.repair.lock";
const std::string UNINSTALL_LINE =
    "Service uninstalled successfully. Resource cleanup warnings can be ignored.\n";

// Calls that cannot fail from the caller's point of view.
bool is_injectable(const std::string& operation) {
    static const char* const NEVER_FAIL[] = {
        "equal_sid", "local_free", "close_handle", "close_service_handle", "find_close", "sleep"};
    return std::ranges::none_of(NEVER_FAIL, [&](const char* name) { return operation == name; });
}

std::vector<WinCode> codes_for(const std::string& operation) {
    std::vector<WinCode> codes{5, 32, 2};
    if (operation == "lock_file") {
        codes.push_back(33);
    } else if (operation == "control_service") {
        codes.push_back(1062);
    }
    return codes;
}

struct Call {
    std::string operation;
    std::string argument;
    int occurrence = 0; // 1-based among calls of the same operation
};

std::vector<Call> parse(const std::vector<std::string>& lines) {
    std::vector<Call> calls;
    std::map<std::string, int> seen;
    for (const auto& line : lines) {
        const auto space = line.find(' ');
        Call call{line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1)};
        call.occurrence = ++seen[call.operation];
        calls.push_back(call);
    }
    return calls;
}

std::size_t first_index_of(const std::vector<Call>& calls, const std::string& operation) {
    return static_cast<std::size_t>(
        std::ranges::find_if(calls, [&](const Call& c) { return c.operation == operation; }) -
        calls.begin());
}

std::size_t last_index_of(const std::vector<Call>& calls, const std::string& operation) {
    std::size_t last = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].operation == operation) {
            last = i;
        }
    }
    return last;
}

struct Expected {
    int status = 0;
    std::string err;
    std::string out;
};

class Oracle {
  public:
    Oracle(MemorySystem& system, Mode mode, const std::vector<Call>& calls)
        : system_(system), mode_(mode), calls_(calls) {}

    // What the run must end with when call `index` fails with `code`.
    Expected expect(std::size_t index, WinCode code) {
        const Call& call = calls_[index];
        const std::string& op = call.operation;
        const std::string path = last_path(index);
        const std::string quoted = quote_path(path);
        const std::string cause = system_error_text(system_, SystemError::from_code(code));

        if (op == "write_file") {
            return success(); // the outcome does not depend on the output
        }
        // Securing a directory: the path is the one most recently created.
        if (op == "convert_sddl") {
            return context("failed to build private service directory security descriptor", cause);
        }
        if (op == "create_directory") {
            return context(
                "failed to create private service directory " + quote_path(call.argument), cause);
        }
        if (op == "create_file" && call.argument == securing(index)) {
            return context("failed to open private service directory " + quoted, cause);
        }
        if ((op == "file_information" || op == "file_type") && path == securing(index)) {
            return message("service directory " + quoted + " is not an ordinary directory");
        }
        if (op == "get_owner") {
            return message("failed to inspect service path owner: Windows error " +
                           std::to_string(code));
        }
        if (op == "create_well_known_sid") {
            return context(call.argument == "22" ? "failed to create LocalSystem SID"
                                                 : "failed to create Builtin Administrators SID",
                           cause);
        }
        if (op == "security_descriptor_dacl") {
            return message("private service directory descriptor has no DACL");
        }
        if (op == "set_security_info") {
            return message("failed to apply private service directory DACL: Windows error " +
                           std::to_string(code));
        }
        return mode_ == Mode::Uninstall ? uninstall(call, path, code, cause)
                                        : maintenance(index, call, path, code, cause);
    }

  private:
    static Expected success(std::string out = {}) { return Expected{0, "", std::move(out)}; }
    static Expected message(const std::string& text) {
        return Expected{1, "Error: " + text + "\n", ""};
    }
    static Expected context(const std::string& text, const std::string& cause) {
        return Expected{1, "Error: " + text + "\n\nCaused by:\n    " + cause + "\n", ""};
    }
    static Expected bare(const std::string& cause) { return message(cause); }
    static Expected winapi(const std::string& cause) {
        return context("IO error in winapi call", cause);
    }
    static Expected tree_failure(const std::string& cause) {
        return context("failed to remove stale owner state 1000", cause);
    }

    Expected uninstall(const Call& call, const std::string& path, WinCode code,
                       const std::string& cause) {
        const std::string& op = call.operation;
        if (op == "create_file" && call.argument == GATE) {
            return context("failed to open service repair gate " + quote_path(GATE), cause);
        }
        if (op == "lock_file") {
            if (code == 33) {
                return Expected{75, "Service repair is already in progress\n", ""};
            }
            return context("failed to lock service repair gate " + quote_path(GATE), cause);
        }
        if (op == "control_service" && code == 1062) {
            // Tolerated; this service is in fact still running, so the wait runs out.
            return message("timed out waiting for service to stop");
        }
        if (op == "open_sc_manager" || op == "open_service" || op == "query_service_status" ||
            op == "control_service" || op == "delete_service") {
            return winapi(cause);
        }
        // The executable: only a not-found answer means absent; any other metadata failure goes on
        // to the deletion, whose access-denied refusal is met by the fallback.
        if ((op == "create_file" && call.argument == EXE) ||
            (op == "file_information" && path == EXE)) {
            return success(UNINSTALL_LINE);
        }
        if (op == "delete_file") {
            if (code == 32) {
                return message("Failed to remove service binary " + quote_path(EXE) + ": " + cause);
            }
            return success(UNINSTALL_LINE);
        }
        ADD_FAILURE() << "no rule for " << op << " " << call.argument;
        return {};
    }

    Expected maintenance(std::size_t index, const Call& call, const std::string& path, WinCode code,
                         const std::string& cause) {
        const std::string& op = call.operation;
        const std::string removed_one = "Removed 1 stale owner state directories\n";
        // The tree removal of users\1000: from its root's open to the root's deletion.
        const bool in_tree = index + 3 >= first_index_of(calls_, "open_relative") &&
                             index <= last_index_of(calls_, "set_disposition_ex");
        if (op == "create_file" && call.argument.ends_with(".owner.lock")) {
            return bare(cause);
        }
        if (op == "lock_file") {
            return context(
                "service owner lock is held; stop the service before stale-owner maintenance",
                cause);
        }
        if (op == "find_first") {
            return code == 2 ? success("Removed 0 stale owner state directories\n")
                             : context("failed to enumerate " + quote_path(USERS), cause);
        }
        if (op == "find_next") {
            return bare(cause);
        }
        if (path == ACTIVE && (op == "create_file" || op == "read_file")) {
            return success(removed_one); // no active owner for this run; the record stays
        }
        if (op == "delete_file") {
            if (code == 32) {
                return context("failed to clear stale active owner", cause);
            }
            return success(removed_one); // not found is ignored; access denied meets the fallback
        }
        if (in_tree) {
            if (op == "open_relative" && code == 2) {
                // Counted as removed meanwhile; the directory then still holds it.
                return tree_failure("Directory is not empty. (os error 145)");
            }
            return tree_failure(cause);
        }
        // A not-found answer while reading an owner's metadata skips that owner.
        if (path.ends_with("owner.json") && (op == "create_file" || op == "read_file") &&
            code == 2) {
            return success(path.find(LIVE_KEY) != std::string::npos
                               ? removed_one
                               : "Removed 0 stale owner state directories\n");
        }
        if (op == "create_file" || op == "attribute_tag" || op == "read_file") {
            return bare(cause);
        }
        if (op == "convert_string_sid") {
            return context("failed to parse owner SID", cause);
        }
        if (op == "lookup_account_sid") {
            return context("failed to resolve owner SID", cause);
        }
        ADD_FAILURE() << "no rule for " << op << " " << call.argument;
        return {};
    }

    // The argument of the latest create_file or create_directory at or before `index`.
    std::string last_path(std::size_t index) const {
        for (std::size_t i = index + 1; i-- > 0;) {
            if (calls_[i].operation == "create_file" || calls_[i].operation == "create_directory") {
                return calls_[i].argument;
            }
        }
        return {};
    }
    // The directory being secured: the latest create_directory's path.
    std::string securing(std::size_t index) const {
        for (std::size_t i = index + 1; i-- > 0;) {
            if (calls_[i].operation == "create_directory") {
                return calls_[i].argument;
            }
        }
        return {};
    }

    MemorySystem& system_;
    Mode mode_;
    const std::vector<Call>& calls_;
};

void build(MemorySystem& system, Mode mode) {
    if (mode == Mode::Uninstall) {
        uninstall_world(system);
    } else {
        maintenance_world(system, LIVE_KEY);
    }
}

void sweep(Mode mode, const char* name) {
    MemorySystem recording;
    build(recording, mode);
    ASSERT_EQ(run_entry(recording, arguments(mode), real_mode_operations(recording)), 0)
        << recording.err;
    const std::vector<Call> calls = parse(recording.calls());
    Oracle oracle(recording, mode, calls);

    std::size_t points = 0;
    std::size_t runs = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const Call& call = calls[i];
        if (!is_injectable(call.operation)) {
            continue;
        }
        ++points;
        for (const WinCode code : codes_for(call.operation)) {
            SCOPED_TRACE(std::string(name) + ": call " + std::to_string(i) + " " + call.operation +
                         " " + call.argument + " #" + std::to_string(call.occurrence) +
                         " fails with " + std::to_string(code));
            MemorySystem system;
            build(system, mode);
            system.fail_call(call.operation, call.occurrence, code);
            const int status = run_entry(system, arguments(mode), real_mode_operations(system));
            ++runs;
            const Expected expected = oracle.expect(i, code);
            EXPECT_EQ(status, expected.status);
            EXPECT_EQ(system.err, expected.err);
            if (call.operation != "write_file") {
                EXPECT_EQ(system.out, expected.out);
            }
            expect_nothing_leaked(system);

            // Nothing that was done before the failure is undone.
            if (mode == Mode::Uninstall && i > first_index_of(calls, "delete_service")) {
                EXPECT_EQ(system.service("orvex_vpn_service"), nullptr) << "the deletion stays";
            }
            if (mode == Mode::Maintenance && expected.status != 0) {
                // With POSIX semantics the directory is gone once its disposition is set.
                const bool removal_done = i > last_index_of(calls, "set_disposition_ex");
                EXPECT_EQ(system.exists(std::string(USERS) + "\\1000"), !removal_done);
            }
        }
    }
    std::printf("[ sweep    ] %s: %zu injection points, %zu runs\n", name, points, runs);
}

TEST(FaultSweep, Uninstall) {
    sweep(Mode::Uninstall, "uninstall");
}
TEST(FaultSweep, Maintenance) {
    sweep(Mode::Maintenance, "maintenance");
}

} // namespace
} // namespace orvex::sweep
