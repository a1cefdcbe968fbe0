#include "owners/stale_owners.hpp"

#include <algorithm>

#include "common/files.hpp"
#include "owners/tree_removal.hpp"
#include "state_dir/private_directory.hpp"
#include "support.hpp"

namespace orvex {
namespace {

using testing::expect_nothing_leaked;
using testing::report_of;

constexpr std::string_view SERVICE_DIR = "C:\\ProgramData\\orvex-service";
constexpr std::string_view RUNTIME_DIR = "C:\\ProgramData\\orvex-service\\runtime";
constexpr std::string_view USERS = "C:\\ProgramData\\orvex-service\\users";
constexpr std::string_view ACTIVE = "C:\\ProgramData\\orvex-service\\active-owner.json";
constexpr std::string_view OWNER_LOCK =
    "C:\\ProgramData\\orvex-service\\runtime\\orvex-service.owner.lock";
const std::string DEAD_SID = "S-1-5-21-1111111111-2222222222-3333333333-1001";
const std::string LIVE_SID = "S-1-5-21-1111111111-2222222222-3333333333-1002";

std::string windows_json(const std::string& sid) {
    return R"({"Windows":{"sid":")" + sid + R"("}})";
}
std::string key_of(const std::string& sid) {
    return owner_key_for(OwnerIdentity{WindowsIdentity{sid}});
}
std::string users(std::string_view name) {
    return std::string(USERS) + "\\" + std::string(name);
}

class StaleOwners : public ::testing::Test {
  protected:
    void SetUp() override {
        system.add_directory(SERVICE_DIR, SID_LOCAL_SYSTEM);
        system.add_account(LIVE_SID);
        system.add_account("S-1-5-18");
    }
    void TearDown() override { expect_nothing_leaked(system); }

    // An owner state directory named `name` holding `owner_json`.
    void owner(std::string_view name, const std::string& owner_json) {
        system.add_directory(users(name), SID_LOCAL_SYSTEM);
        system.add_file(users(name) + "\\owner.json", owner_json);
        system.add_file(users(name) + "\\state\\settings.dat", "user data");
    }
    void active_record(const std::string& key) {
        system.add_file(ACTIVE, R"({"owner_key":")" + key +
                                    R"(","identity":{"Unix":[1,1]},"app_data_root":"r"})");
    }
    Result<std::vector<std::string>> run() { return cleanup_stale_owners(system); }
    std::vector<std::string> removed() {
        auto result = run();
        EXPECT_TRUE(result) << report_of(system, result);
        return result ? *result : std::vector<std::string>{};
    }

    MemorySystem system;
};

TEST_F(StaleOwners, OwnerKeysAndAccountLookups) {
    EXPECT_EQ(owner_key_for(OwnerIdentity{UnixIdentity{1000, 5}}), "1000");
    EXPECT_EQ(owner_key_for(OwnerIdentity{UnixIdentity{0, 0}}), "0");
    EXPECT_EQ(key_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_NE(key_of("S-1-5-21-1-2-3-1001"), key_of("s-1-5-21-1-2-3-1001"));

    EXPECT_EQ(sid_has_account(system, LIVE_SID).value(), true);
    EXPECT_EQ(sid_has_account(system, DEAD_SID).value(), false);
    EXPECT_EQ(report_of(system, sid_has_account(system, "S-1-nonsense")),
              "Error: failed to parse owner SID\n\nCaused by:\n    Invalid SID. (os error 1337)\n");
    system.fail_call(Op::LookupAccountSid, 1, 1789);
    EXPECT_EQ(report_of(system, sid_has_account(system, LIVE_SID)),
              "Error: failed to resolve owner SID\n\nCaused by:\n    OS Error 1789 "
              "(FormatMessageW() returned error 317) (os error 1789)\n");
}

TEST_F(StaleOwners, SidWithANulIsInvalidWithoutAskingTheSystem) {
    const std::string truncated = LIVE_SID + std::string(1, '\0') + "9";
    EXPECT_EQ(report_of(system, sid_has_account(system, truncated)),
              "Error: failed to parse owner SID\n\nCaused by:\n    Invalid SID. (os error 1337)\n");
    EXPECT_EQ(system.count_calls(Op::ConvertStringSid), 0u);
    // A directory named after the whole text is never judged by the truncated SID.
    owner(key_of(truncated), R"({"Windows":{"sid":")" + LIVE_SID + R"(\u00009"}})");
    EXPECT_EQ(report_of(system, run()),
              "Error: failed to parse owner SID\n\nCaused by:\n    Invalid SID. (os error 1337)\n");
    EXPECT_TRUE(system.exists(users(key_of(truncated))));
}

TEST_F(StaleOwners, ActiveOwnerRecordLoading) {
    const ServiceLayout layout = service_layout(system);
    auto held = hold_service_directory(system, layout.service_dir);
    ASSERT_TRUE(held && *held);
    const FileRef dir = (*held)->ref();
    EXPECT_EQ(load_active_owner(system, layout, dir).value(), std::nullopt);
    active_record("k");
    EXPECT_EQ(load_active_owner(system, layout, dir).value()->owner_key, "k");
    system.find(ACTIVE)->contents = "{";
    EXPECT_EQ(report_of(system, load_active_owner(system, layout, dir)),
              "Error: failed to parse \"C:\\\\ProgramData\\\\orvex-service\\\\active-owner.json\""
              "\n\nCaused by:\n    Missing a name for object member. at line 1 column 2\n");
    system.fail_call(Op::OpenRelative, 1, 5, "active-owner.json");
    EXPECT_EQ(report_of(system, load_active_owner(system, layout, dir)),
              "Error: failed to read \"C:\\\\ProgramData\\\\orvex-service\\\\active-owner.json\""
              "\n\nCaused by:\n    Access denied. (os error 5)\n");
}

TEST_F(StaleOwners, NothingToDoWithoutOrWithAnEmptyUsersDirectory) {
    active_record("1000");
    EXPECT_TRUE(removed().empty());
    EXPECT_TRUE(system.exists(ACTIVE)); // not even read
    EXPECT_EQ(system.count_calls(Op::CreateFile, ACTIVE), 0u);
    // The owner lock file was created, empty, and stays; the runtime directory is secured.
    ASSERT_TRUE(system.exists(OWNER_LOCK));
    EXPECT_EQ(system.find(OWNER_LOCK)->contents, "");
    EXPECT_EQ(system.find(RUNTIME_DIR)->owner, SID_LOCAL_SYSTEM);

    system.add_directory(USERS, SID_LOCAL_SYSTEM);
    EXPECT_TRUE(removed().empty());
}

TEST_F(StaleOwners, MissingServiceDirectoryFailsAtTheRuntimeDirectory) {
    system.remove(SERVICE_DIR);
    EXPECT_EQ(report_of(system, run()),
              "Error: failed to create private service directory "
              "\"C:\\\\ProgramData\\\\orvex-service\\\\runtime\"\n\nCaused by:\n"
              "    Path not found. (os error 3)\n");
    EXPECT_FALSE(system.exists(SERVICE_DIR));
}

TEST_F(StaleOwners, HeldOwnerLockStopsBeforeTheUsersDirectoryIsRead) {
    system.add_directory(RUNTIME_DIR, SID_BUILTIN_ADMINISTRATORS);
    system.add_file(OWNER_LOCK);
    const auto service = system.open_external(OWNER_LOCK, ShareMode::All);
    system.lock_external(service, 0, 1);
    owner("1000", R"({"Unix":[1000,1000]})");
    EXPECT_EQ(report_of(system, run()),
              "Error: service owner lock is held; stop the service before stale-owner maintenance"
              "\n\nCaused by:\n    Lock violation. (os error 33)\n");
    EXPECT_EQ(system.count_calls(Op::ListDirectory), 0u);
    EXPECT_TRUE(system.exists(users("1000")));
    EXPECT_EQ(system.find(RUNTIME_DIR)->owner, SID_LOCAL_SYSTEM); // secured all the same
    system.close_external(service);

    MemorySystem unopenable;
    unopenable.add_directory(SERVICE_DIR, SID_LOCAL_SYSTEM);
    unopenable.fail_call(Op::CreateFile, 0, 5, "owner.lock");
    EXPECT_EQ(report_of(unopenable, cleanup_stale_owners(unopenable)),
              "Error: Access denied. (os error 5)\n");
    expect_nothing_leaked(unopenable);
}

TEST_F(StaleOwners, StaleOwnersAreRemovedAndOthersKept) {
    owner("1000", R"({"Unix":{"uid":1000,"gid":1000}})");
    owner(key_of(DEAD_SID), windows_json(DEAD_SID));
    owner(key_of(LIVE_SID), windows_json(LIVE_SID));
    owner("0", R"({"Unix":[0,0]})");
    auto keys = removed();
    std::ranges::sort(keys);
    std::vector<std::string> expected{"0", "1000", key_of(DEAD_SID)};
    std::ranges::sort(expected);
    EXPECT_EQ(keys, expected);
    EXPECT_FALSE(system.exists(users("1000")));
    EXPECT_FALSE(system.exists(users(key_of(DEAD_SID))));
    EXPECT_TRUE(system.exists(users(key_of(LIVE_SID)) + "\\state\\settings.dat"));
}

TEST_F(StaleOwners, OnlyADirectoryNamedByItsOwnKeyCounts) {
    std::string upper = key_of(DEAD_SID);
    std::ranges::transform(upper, upper.begin(),
                           [](char c) { return static_cast<char>(std::toupper(c)); });
    owner(upper, windows_json(DEAD_SID));
    owner("01000", R"({"Unix":[1000,1000]})");
    owner(key_of("S-1-5-21-1-2-3-4"),
          windows_json("s-1-5-21-1-2-3-4")); // another case: another key
    system.add_directory(users("no-metadata"), SID_LOCAL_SYSTEM);
    EXPECT_TRUE(removed().empty());
    EXPECT_TRUE(system.exists(users(upper)));
    EXPECT_TRUE(system.exists(users("01000")));
    EXPECT_TRUE(system.exists(users("no-metadata")));
}

TEST_F(StaleOwners, FilesAndLinksInTheUsersDirectoryAreIgnoredWhateverTheyPointTo) {
    // Stale-looking state outside the users directory, reachable only through links.
    system.add_directory("C:\\Elsewhere\\victim", SID_FOREIGN_USER);
    system.add_file("C:\\Elsewhere\\victim\\owner.json", R"({"Unix":[7,7]})");
    system.add_directory(USERS, SID_LOCAL_SYSTEM);
    system.add_junction(users("7"), "C:\\Elsewhere\\victim");
    system.add_symlink(users("8"), "C:\\Elsewhere\\victim", true);
    system.add_file(users("9"), R"({"Unix":[9,9]})");
    EXPECT_TRUE(removed().empty());
    EXPECT_TRUE(system.exists("C:\\Elsewhere\\victim\\owner.json"));
    EXPECT_TRUE(system.exists(users("7")));
    EXPECT_TRUE(system.exists(users("8")));
    EXPECT_TRUE(system.exists(users("9")));
}

TEST_F(StaleOwners, BrokenOrUnreadableMetadataEndsTheRun) {
    for (const auto& [contents, cause] : std::vector<std::pair<std::string, std::string>>{
             {"", "The document is empty. at line 1 column 1"},
             {R"({"Unix":[1000,)", "Invalid value. at line 1 column 15"},
             {R"({"Unix":[1000,1000]} x)", "trailing characters at line 1 column 22"},
         }) {
        SCOPED_TRACE(contents);
        MemorySystem sys;
        sys.add_directory(SERVICE_DIR, SID_LOCAL_SYSTEM);
        sys.add_file(users("1000") + "\\owner.json", contents);
        EXPECT_EQ(report_of(sys, cleanup_stale_owners(sys)),
                  "Error: failed to parse Windows owner metadata\n\nCaused by:\n    " + cause +
                      "\n");
        EXPECT_TRUE(sys.exists(users("1000")));
        expect_nothing_leaked(sys);
    }
    owner("1000", R"({"Unix":[1000,1000]})");
    system.fail_call(Op::OpenRelative, 0, 5, "owner.json");
    EXPECT_EQ(report_of(system, run()), "Error: Access denied. (os error 5)\n");
}

TEST_F(StaleOwners, ActiveRecordIsDeletedFirstWhenItNamesAStaleOwner) {
    owner("1000", R"({"Unix":[1000,1000]})");
    active_record("1000");
    EXPECT_EQ(removed(), std::vector<std::string>{"1000"});
    EXPECT_FALSE(system.exists(ACTIVE));
    const auto& calls = system.calls();
    const auto deleted = std::ranges::find(calls, Call{Op::DeleteFile, std::string(ACTIVE)});
    const auto tree = std::ranges::find_if(calls, [](const Call& c) {
        return c.op == Op::SetDispositionEx || c.op == Op::SetDisposition;
    });
    EXPECT_LT(deleted, tree);
}

TEST_F(StaleOwners, ActiveRecordThatDisappearedMeanwhileIsNoObstacle) {
    owner("1000", R"({"Unix":[1000,1000]})");
    active_record("1000");
    system.on_call = [&](const Call& call) {
        if (call == Call{Op::DeleteFile, std::string(ACTIVE)}) {
            system.remove(ACTIVE);
        }
    };
    EXPECT_EQ(removed(), std::vector<std::string>{"1000"});
}

TEST_F(StaleOwners, ActiveRecordNamingALiveOrNoOwnerIsLeftAlone) {
    owner(key_of(LIVE_SID), windows_json(LIVE_SID));
    owner("1000", R"({"Unix":[1000,1000]})");
    active_record(key_of(LIVE_SID));
    EXPECT_EQ(removed(), std::vector<std::string>{"1000"});
    EXPECT_TRUE(system.exists(ACTIVE));

    system.find(ACTIVE)->contents = "not json";
    owner("1001", R"({"Unix":[1001,1000]})");
    EXPECT_EQ(removed(), std::vector<std::string>{"1001"});
    EXPECT_EQ(system.find(ACTIVE)->contents, "not json");
}

TEST_F(StaleOwners, ActiveRecordThatCannotBeClearedKeepsTheDirectory) {
    owner("1000", R"({"Unix":[1000,1000]})");
    active_record("1000");
    system.fail_call(Op::DeleteFile, 0, 32, "active-owner.json");
    EXPECT_EQ(report_of(system, run()), "Error: failed to clear stale active owner\n\nCaused by:\n"
                                        "    Sharing violation. (os error 32)\n");
    EXPECT_TRUE(system.exists(users("1000")));
}

TEST_F(StaleOwners, EarlierRemovalsStayWhenALaterOneFails) {
    owner("1000", R"({"Unix":[1000,1000]})");
    owner("2000", R"({"Unix":[2000,1000]})");
    // Listing order is by name: 1000 goes first, then a file of 2000 is held open elsewhere.
    int seen = 0;
    system.on_call = [&](const Call& call) {
        if (call == Call{Op::OpenRelative, "settings.dat"} && ++seen == 2) {
            system.fail_call(Op::OpenRelative, 0, 32, "settings.dat");
        }
    };
    EXPECT_EQ(report_of(system, run()), "Error: failed to remove stale owner state 2000\n\n"
                                        "Caused by:\n    Sharing violation. (os error 32)\n");
    EXPECT_FALSE(system.exists(users("1000")));
    EXPECT_TRUE(system.exists(users("2000")));
}

TEST_F(StaleOwners, ListingAndEntryFailures) {
    system.add_directory(USERS, SID_LOCAL_SYSTEM);
    system.fail_call(Op::ListDirectory, 1, 5);
    EXPECT_EQ(report_of(system, run()),
              "Error: failed to enumerate \"C:\\\\ProgramData\\\\orvex-service\\\\users\"\n\n"
              "Caused by:\n    Access denied. (os error 5)\n");
    for (const std::uint32_t not_found : {2u, 3u, 15u, 53u, 67u}) {
        system.clear_failures();
        system.fail_call(Op::OpenRelative, 1, not_found, "users");
        EXPECT_TRUE(removed().empty());
    }
    system.clear_failures();
    owner("1000", R"({"Unix":[1000,1000]})");
    system.fail_call(Op::ListDirectory, 2, 5, "users");
    EXPECT_EQ(report_of(system, run()), "Error: Access denied. (os error 5)\n");
    EXPECT_FALSE(system.exists(users("1000"))); // removed from the first batch all the same
    system.clear_failures();
    owner("1000", R"({"Unix":[1000,1000]})");
    system.fail_call(Op::AttributeTag, 2, 5); // the first is the users directory's own
    EXPECT_EQ(report_of(system, run()), "Error: Access denied. (os error 5)\n");
    EXPECT_TRUE(system.exists(users("1000")));
}

TEST_F(StaleOwners, FoldersHeldElsewhereAreJudgedAndOnlyAStaleOneFails) {
    // Held by other processes: the live one sharing nothing at all, the stale one as a current
    // directory is held, without sharing deletion.
    owner(key_of(LIVE_SID), windows_json(LIVE_SID));
    owner("1000", R"({"Unix":[1000,1000]})");
    const auto live = system.open_external(users(key_of(LIVE_SID)), ShareMode{});
    const auto stale = system.open_external(users("1000"), ShareMode::Read);
    EXPECT_EQ(report_of(system, run()), "Error: failed to remove stale owner state 1000\n\n"
                                        "Caused by:\n    Sharing violation. (os error 32)\n");
    EXPECT_TRUE(system.exists(users("1000") + "\\owner.json"));
    system.close_external(stale);
    EXPECT_EQ(removed(), std::vector<std::string>{"1000"});
    EXPECT_TRUE(system.exists(users(key_of(LIVE_SID)) + "\\state\\settings.dat"));
    system.close_external(live);
}

TEST_F(StaleOwners, TreeRemovalNeverFollowsLinksEvenWhenSwappedMeanwhile) {
    system.add_directory("C:\\Outside", SID_FOREIGN_USER);
    system.add_file("C:\\Outside\\precious.txt", "keep me");
    owner("1000", R"({"Unix":[1000,1000]})");
    system.add_junction(users("1000") + "\\junction", "C:\\Outside");
    system.add_symlink(users("1000") + "\\link.txt", "C:\\Outside\\precious.txt", false);
    system.add_file(users("1000") + "\\readonly.txt", "x", FileAttributes::ReadOnly);
    system.add_directory(users("1000") + "\\swapped", SID_LOCAL_SYSTEM);
    system.add_file(users("1000") + "\\swapped\\inner.txt", "x");
    system.add_file(users("1000") + "\\swapped.txt", "x");
    // Between the listing and the open, "swapped" and "swapped.txt" become junctions to the
    // outside.
    system.on_call = [&](const Call& call) {
        for (const char* name : {"swapped", "swapped.txt"}) {
            if (call == Call{Op::OpenRelative, name}) {
                system.remove(users("1000") + "\\" + name);
                system.add_junction(users("1000") + "\\" + name, "C:\\Outside");
            }
        }
    };
    EXPECT_EQ(removed(), std::vector<std::string>{"1000"});
    EXPECT_FALSE(system.exists(users("1000")));
    ASSERT_TRUE(system.exists("C:\\Outside\\precious.txt"));
    EXPECT_EQ(system.find("C:\\Outside\\precious.txt")->contents, "keep me");
}

TEST_F(StaleOwners, ReparseDirectoriesThatAreNotLinksAreEmptiedLikeAnyOther) {
    owner("1000", R"({"Unix":[1000,1000]})");
    MemorySystem::Node& placeholder =
        system.add_directory(users("1000") + "\\cloud", SID_LOCAL_SYSTEM);
    placeholder.attributes |= FileAttributes::ReparsePoint;
    placeholder.reparse_tag =
        ReparseTag{0x9000001A}; // a cloud-files placeholder: no name-surrogate bit
    system.add_file(users("1000") + "\\cloud\\synced.txt", "x");
    EXPECT_EQ(removed(), std::vector<std::string>{"1000"});
    EXPECT_FALSE(system.exists(users("1000")));
}

TEST_F(StaleOwners, TreeRemovalFallsBackWhenPosixDeletionIsNotSupported) {
    system.disposition_ex_supported = false; // as on Wine and FAT volumes
    owner("1000", R"({"Unix":[1000,1000]})");
    owner("1001", R"({"Unix":[1001,1000]})");
    system.add_file(users("1000") + "\\state\\readonly.dat", "x", FileAttributes::ReadOnly);
    // 1000\state once more: still entries in it, as when its listing comes in several batches.
    system.fail_call(Op::SetDisposition, 4, WinCode::DirNotEmpty.value());
    EXPECT_EQ(removed(), (std::vector<std::string>{"1000", "1001"}));
    EXPECT_FALSE(system.exists(users("1000")));
    EXPECT_EQ(system.count_calls(Op::SetAttributes), 1u);
    EXPECT_EQ(system.count_calls(Op::SetDispositionEx), 1u); // refused once, not asked again
    // Each directory is listed once, 1000\state a second time; the users directory and each owner
    // directory, which holds back its owner.json until everything else has gone, to the end.
    EXPECT_EQ(system.count_calls(Op::ListDirectory), 2u + 4u + 3u);
}

TEST_F(StaleOwners, DeepTreesAreRemovedWithoutRecursionUpToABound) {
    const auto nest = [&](std::string_view key, std::size_t depth) {
        owner(key, R"({"Unix":[)" + std::string(key) + R"(,0]})");
        std::string path = users(key);
        for (std::size_t i = 0; i < depth; ++i) {
            path += "\\d";
        }
        system.add_file(path + "\\leaf.txt", "x");
    };
    nest("1000", MAX_TREE_DEPTH);
    EXPECT_EQ(removed(), std::vector<std::string>{"1000"});
    EXPECT_FALSE(system.exists(users("1000")));
    nest("1001", MAX_TREE_DEPTH + 1); // one handle per level: the walk stops before it runs away
    EXPECT_EQ(report_of(system, run()),
              "Error: failed to remove stale owner state 1001\n\nCaused by:\n    OS Error 206 "
              "(FormatMessageW() returned error 317) (os error 206)\n");
}

} // namespace
} // namespace orvex
