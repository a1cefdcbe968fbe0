// Maintenance against an ordinary local user who may create folders under ProgramData, turn an
// empty folder of theirs into a junction, retarget it at any moment, and stall an elevated open of
// their own file with an oplock until it suits them (the hook below stands for that moment).
// Nothing outside the service's own verified tree may be deleted or changed.
#include <string>

#include "common/files.hpp"
#include "owners/stale_owners.hpp"
#include "owners/tree_removal.hpp"
#include "state_dir/private_directory.hpp"
#include "support.hpp"

namespace orvex {
namespace {

using testing::expect_nothing_leaked;
using testing::report_of;

constexpr std::string_view SERVICE_DIR = "C:\\ProgramData\\orvex-service";
constexpr std::string_view USERS = "C:\\ProgramData\\orvex-service\\users";
constexpr std::string_view ATTACKER = "C:\\ProgramData\\evil";
constexpr std::string_view PROTECTED = "C:\\Protected";
constexpr std::string_view STALE_OWNER = R"({"Unix":{"uid":1033,"gid":0}})";

std::string under(std::string_view directory, std::string_view name) {
    return std::string(directory) + "\\" + std::string(name);
}

class HostileMachine : public ::testing::Test {
  protected:
    void SetUp() override {
        system.add_directory(ATTACKER, SID_FOREIGN_USER);
        system.add_directory(PROTECTED, SID_LOCAL_SYSTEM);
        system.add_file(under(PROTECTED, "users\\1033\\precious.dat"), "keep");
        system.add_file(under(PROTECTED, "active-owner.json"), "{}", FileAttributes::ReadOnly);
    }
    void TearDown() override { expect_nothing_leaked(system); }

    // Once the tool has opened an owner.json, the next read stalls until `swap` has run.
    void when_owner_json_is_read(std::function<void()> swap) {
        system.on_call = [this, swap = std::move(swap), armed = false](const Call& call) mutable {
            if (call == Call{Op::OpenRelative, "owner.json"}) {
                armed = true;
            } else if (armed && call.op == Op::ReadFile) {
                armed = false;
                swap();
            }
        };
    }
    // A directory named runtime elsewhere, owned by Administrators and open to everyone.
    MemorySystem::Node& foreign_runtime() {
        MemorySystem::Node& runtime =
            system.add_directory(under(PROTECTED, "app\\runtime"), SID_BUILTIN_ADMINISTRATORS);
        runtime.dacl = "(A;;FA;;;WD)";
        return runtime;
    }
    void expect_untouched(const MemorySystem::Node& runtime) {
        EXPECT_EQ(runtime.owner, SID_BUILTIN_ADMINISTRATORS);
        EXPECT_EQ(runtime.dacl, "(A;;FA;;;WD)");
        EXPECT_FALSE(system.exists(under(PROTECTED, "app\\runtime\\orvex-service.owner.lock")));
    }
    void expect_protected_intact() {
        EXPECT_TRUE(system.exists(under(PROTECTED, "users\\1033\\precious.dat")));
        EXPECT_TRUE(system.exists(under(PROTECTED, "active-owner.json")));
    }
    Result<std::vector<std::string>> run() { return cleanup_stale_owners(system); }

    MemorySystem system;
};

TEST_F(HostileMachine, UsersJunctionRetargetedAfterOwnerJsonWasOpened) {
    system.add_directory(SERVICE_DIR, SID_LOCAL_SYSTEM);
    system.add_file(under(ATTACKER, "1033\\owner.json"), STALE_OWNER);
    system.add_junction(USERS, ATTACKER);
    system.add_file(under(PROTECTED, "1033\\owner.json"), "{}");
    when_owner_json_is_read([&] { system.find(USERS)->link_target = std::string(PROTECTED); });
    EXPECT_EQ(report_of(system, run()),
              "Error: failed to enumerate \"C:\\\\ProgramData\\\\orvex-service\\\\users\"\n\n"
              "Caused by:\n    OS Error 4395 (FormatMessageW() returned error 317) (os error "
              "4395)\n");
    EXPECT_TRUE(system.exists(under(PROTECTED, "1033\\owner.json")));
}

TEST_F(HostileMachine, ServiceDirectoryJunctionRetargetedAfterOwnerJsonWasOpened) {
    // The tool itself creates runtime (owned by LocalSystem) in the attacker's folder.
    system.add_file(under(ATTACKER, "users\\1033\\owner.json"), STALE_OWNER);
    system.add_file(under(ATTACKER, "active-owner.json"),
                    R"({"owner_key":"1033","identity":{"Unix":[1033,0]},"app_data_root":"r"})");
    system.add_junction(SERVICE_DIR, ATTACKER);
    when_owner_json_is_read(
        [&] { system.find(SERVICE_DIR)->link_target = std::string(PROTECTED); });
    EXPECT_EQ(report_of(system, run()),
              "Error: service directory \"C:\\\\ProgramData\\\\orvex-service\" is not an ordinary "
              "directory\n");
    expect_protected_intact();
    EXPECT_FALSE(system.exists(under(ATTACKER, "runtime")));
}

TEST_F(HostileMachine, ServiceDirectoryOwnedByAnOrdinaryUserIsNotUsed) {
    system.add_directory(SERVICE_DIR, SID_FOREIGN_USER);
    system.add_file(under(USERS, "1033\\owner.json"), STALE_OWNER);
    EXPECT_EQ(report_of(system, run()),
              "Error: service directory \"C:\\\\ProgramData\\\\orvex-service\" has an unexpected "
              "owner\n");
    EXPECT_FALSE(system.exists(under(SERVICE_DIR, "runtime")));
    EXPECT_TRUE(system.exists(under(USERS, "1033\\owner.json")));
}

TEST_F(HostileMachine, RuntimeBehindAServiceDirectoryJunctionIsNeitherSecuredNorLocked) {
    const MemorySystem::Node& runtime = foreign_runtime();
    system.add_junction(SERVICE_DIR, under(PROTECTED, "app"));
    EXPECT_EQ(report_of(system, run()),
              "Error: service directory \"C:\\\\ProgramData\\\\orvex-service\" is not an ordinary "
              "directory\n");
    expect_untouched(runtime);
}

TEST_F(HostileMachine, HeldServiceDirectoryCannotBeSwappedForAJunction) {
    system.add_directory(SERVICE_DIR, SID_LOCAL_SYSTEM);
    system.add_file(under(USERS, "1033\\owner.json"), STALE_OWNER);
    system.add_file(under(PROTECTED, "users\\1033\\owner.json"), STALE_OWNER);
    WinCode refused;
    when_owner_json_is_read([&] {
        refused = system.remove_external(SERVICE_DIR);
        if (refused == WinCode::Success) {
            system.add_junction(SERVICE_DIR, PROTECTED);
        }
    });
    auto removed = run();
    EXPECT_EQ(refused, WinCode::SharingViolation);
    ASSERT_TRUE(removed) << report_of(system, removed);
    EXPECT_EQ(*removed, std::vector<std::string>{"1033"});
    EXPECT_FALSE(system.exists(under(USERS, "1033")));
    expect_protected_intact();
}

TEST_F(HostileMachine, DocumentsAreReadToABoundEvenWhileTheyGrow) {
    system.add_directory(SERVICE_DIR, SID_LOCAL_SYSTEM);
    MemorySystem::Node& document = system.add_file(under(USERS, "1033\\owner.json"), STALE_OWNER);
    std::size_t reads = 0;
    system.on_call = [&](const Call& call) {
        if (call.op == Op::ReadFile && document.contents.size() < 2 * MAX_DOCUMENT_SIZE) {
            ++reads;
            document.contents += std::string(64 * 1024, ' ');
        }
    };
    EXPECT_EQ(report_of(system, run()),
              "Error: OS Error 223 (FormatMessageW() returned error 317) (os error 223)\n");
    EXPECT_LE(reads, MAX_DOCUMENT_SIZE / (64 * 1024) + 2);
    EXPECT_TRUE(system.exists(under(USERS, "1033")));
}

TEST_F(HostileMachine, ActiveRecordThatIsALinkIsNeitherReadNorTrusted) {
    system.add_directory(SERVICE_DIR, SID_LOCAL_SYSTEM);
    system.add_file(under(USERS, "1033\\owner.json"), STALE_OWNER);
    system.add_file(under(PROTECTED, "record.json"),
                    R"({"owner_key":"1033","identity":{"Unix":[1033,0]},"app_data_root":"r"})");
    system.add_symlink(under(SERVICE_DIR, "active-owner.json"), under(PROTECTED, "record.json"),
                       false);
    auto removed = run();
    ASSERT_TRUE(removed) << report_of(system, removed);
    EXPECT_EQ(*removed, std::vector<std::string>{"1033"});
    EXPECT_TRUE(system.exists(under(SERVICE_DIR, "active-owner.json"))); // no record was loaded
    expect_protected_intact();
}

TEST_F(HostileMachine, ServiceDirectoryMadeAJunctionOnceFoundMissingIsNotFollowed) {
    const MemorySystem::Node& runtime = foreign_runtime();
    system.on_call = [this, armed = false](const Call& call) mutable {
        if (call == Call{Op::CreateFile, std::string(SERVICE_DIR)}) {
            armed = true; // the hold is about to find nothing there
        } else if (armed) {
            armed = false;
            system.add_junction(SERVICE_DIR, under(PROTECTED, "app"));
        }
    };
    EXPECT_EQ(report_of(system, run()),
              "Error: failed to create private service directory "
              "\"C:\\\\ProgramData\\\\orvex-service\\\\runtime\"\n\nCaused by:\n"
              "    Path not found. (os error 3)\n");
    expect_untouched(runtime);
}

TEST_F(HostileMachine, UsersDirectoryOwnedByAnOrdinaryUserIsNotTrusted) {
    system.add_directory(SERVICE_DIR, SID_LOCAL_SYSTEM);
    system.add_directory(USERS, SID_FOREIGN_USER);
    system.add_file(under(USERS, "1033\\owner.json"), STALE_OWNER);
    EXPECT_EQ(report_of(system, run()),
              "Error: users directory \"C:\\\\ProgramData\\\\orvex-service\\\\users\" has an "
              "unexpected owner\n");
    EXPECT_TRUE(system.exists(under(USERS, "1033\\owner.json")));
}

TEST_F(HostileMachine, StaleTreeRefilledAsFastAsItIsEmptiedIsGivenUp) {
    system.add_directory(SERVICE_DIR, SID_LOCAL_SYSTEM);
    system.add_file(under(USERS, "1033\\owner.json"), STALE_OWNER);
    // Whenever the tool lists the directory, or is about to delete it emptied, its owner adds a
    // name that sorts after everything listed so far, so that the listing finds it.
    std::size_t planted = 0;
    system.on_call = [&](const Call& call) {
        MemorySystem::Node* tree = system.find(under(USERS, "1033"));
        const bool emptied =
            call.op == Op::SetDispositionEx && tree != nullptr && tree->children.empty();
        if ((emptied || call == Call{Op::ListDirectory, "1033"}) &&
            planted < 4 * MAX_TREE_LISTINGS) {
            const std::string number = std::to_string(100000 + ++planted);
            system.add_file(under(USERS, "1033\\z" + number), "x");
        }
    };
    EXPECT_EQ(report_of(system, run()),
              "Error: failed to remove stale owner state 1033\n\nCaused by:\n"
              "    Directory is not empty. (os error 145)\n");
    EXPECT_EQ(planted, MAX_TREE_LISTINGS);
}

TEST_F(HostileMachine, ReadOnlyFileWithASecondNameIsNotMadeWritable) {
    system.disposition_ex_supported = false; // the classic fallback clears read-only first
    system.add_directory(SERVICE_DIR, SID_LOCAL_SYSTEM);
    system.add_file(under(USERS, "1033\\owner.json"), STALE_OWNER);
    MemorySystem::Node& linked =
        system.add_file(under(USERS, "1033\\hosts"), "x", FileAttributes::ReadOnly);
    linked.links = 2; // its other name is a file outside the tree
    EXPECT_EQ(report_of(system, run()),
              "Error: failed to remove stale owner state 1033\n\nCaused by:\n"
              "    OS Error 1142 (FormatMessageW() returned error 317) (os error 1142)\n");
    EXPECT_TRUE(linked.attributes.intersects(FileAttributes::ReadOnly));
    EXPECT_EQ(system.count_calls(Op::SetAttributes), 0u);
}

TEST_F(HostileMachine, DaclPropagationWouldReachThroughAJunctionOnlyIfWindowsCrossedIt) {
    // Securing the service directory propagates its inheritable entries into everything below.
    // No document says whether that walk crosses a junction: the guarantee that nothing outside
    // the tree changes rests on its not doing so, which only a Windows machine can show.
    system.add_directory(SERVICE_DIR, SID_LOCAL_SYSTEM);
    system.add_file(under(PROTECTED, "secret\\data.bin"), "keep");
    system.add_junction(under(USERS, "1033\\link"), under(PROTECTED, "secret"));
    const auto inherited = [&] {
        return system.find(under(PROTECTED, "secret\\data.bin"))->inherited;
    };
    const std::string before = inherited();
    ASSERT_TRUE(prepare_install_dirs(system));
    EXPECT_EQ(inherited(), before);
    system.propagation_follows_links = true;
    ASSERT_TRUE(prepare_install_dirs(system));
    EXPECT_NE(inherited(), before);
    EXPECT_EQ(inherited().find("S-1-1-0"), std::string::npos); // everyone's access is gone
}

} // namespace
} // namespace orvex
