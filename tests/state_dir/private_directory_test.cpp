#include "state_dir/private_directory.hpp"

#include "support.hpp"

namespace orvex {
namespace {

using testing::expect_nothing_leaked;
using testing::report_of;

constexpr std::string_view SERVICE_DIR = "C:\\ProgramData\\orvex-service";
constexpr std::string_view QUOTED_SERVICE_DIR = "\"C:\\\\ProgramData\\\\orvex-service\"";
constexpr std::string_view RUNTIME_DIR = "C:\\ProgramData\\orvex-service\\runtime";
constexpr std::string_view QUOTED_RUNTIME_DIR = "\"C:\\\\ProgramData\\\\orvex-service\\\\runtime\"";
constexpr std::string_view PROTECTED_DACL = "P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

Result<void> install_profile(MemorySystem& system, std::string_view path = SERVICE_DIR) {
    return ensure_private_directory(system, path, INSTALL_DIR_PROFILE);
}
Result<void> runtime_profile(MemorySystem& system) {
    return ensure_private_directory(system, RUNTIME_DIR, RUNTIME_DIR_PROFILE);
}

class PrivateDirectory : public ::testing::Test {
  protected:
    void TearDown() override { expect_nothing_leaked(system); }
    MemorySystem system;
};

TEST_F(PrivateDirectory, MissingDirectoryIsCreatedWithTheProfilesOwnerAndProtectedDacl) {
    const auto secured = install_profile(system);
    ASSERT_TRUE(secured) << report_of(system, secured);
    auto* created = system.find(SERVICE_DIR);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->owner, SID_BUILTIN_ADMINISTRATORS);
    EXPECT_EQ(created->dacl, PROTECTED_DACL);
    EXPECT_TRUE(created->dacl_protected);

    ASSERT_TRUE(runtime_profile(system));
    EXPECT_EQ(system.find(RUNTIME_DIR)->owner, SID_LOCAL_SYSTEM);
    EXPECT_EQ(system.find(RUNTIME_DIR)->dacl, PROTECTED_DACL);
}

TEST_F(PrivateDirectory, FilesLinksAndDevicesAreNotOrdinaryDirectories) {
    const std::string expected = "Error: service directory " + std::string(QUOTED_SERVICE_DIR) +
                                 " is not an ordinary directory\n";
    system.add_file(SERVICE_DIR, "x");
    EXPECT_EQ(report_of(system, install_profile(system)), expected);
    system.remove(SERVICE_DIR);

    auto& target = system.add_directory("C:\\Elsewhere", SID_FOREIGN_USER);
    system.add_junction(SERVICE_DIR, "C:\\Elsewhere");
    EXPECT_EQ(report_of(system, install_profile(system)), expected);
    EXPECT_EQ(target.owner, SID_FOREIGN_USER); // the link was not followed
    EXPECT_EQ(target.dacl, "");
    system.remove(SERVICE_DIR);

    system.add_symlink(SERVICE_DIR, "C:\\Elsewhere", true);
    EXPECT_EQ(report_of(system, install_profile(system)), expected);
    system.remove(SERVICE_DIR);

    system.add_device(SERVICE_DIR);
    EXPECT_EQ(report_of(system, install_profile(system)), expected);
}

TEST_F(PrivateDirectory, InstallProfileReclaimsOnlyAnEmptyForeignDirectory) {
    system.add_directory(SERVICE_DIR, SID_FOREIGN_USER);
    ASSERT_TRUE(install_profile(system));
    EXPECT_EQ(system.find(SERVICE_DIR)->owner, SID_BUILTIN_ADMINISTRATORS);
    EXPECT_EQ(system.find(SERVICE_DIR)->dacl, PROTECTED_DACL);
    EXPECT_EQ(system.deleted(), std::vector<std::string>{std::string(SERVICE_DIR)});

    MemorySystem full;
    full.add_directory(SERVICE_DIR, SID_FOREIGN_USER);
    full.add_file(std::string(SERVICE_DIR) + "\\keep.txt", "data");
    EXPECT_EQ(report_of(full, install_profile(full)),
              "Error: service install path " + std::string(QUOTED_SERVICE_DIR) +
                  " has an unexpected owner and is not an empty directory that can be safely "
                  "reclaimed\n\nCaused by:\n    Directory is not empty. (os error 145)\n");
    EXPECT_EQ(full.find(std::string(SERVICE_DIR) + "\\keep.txt")->contents, "data");
    EXPECT_EQ(full.find(SERVICE_DIR)->owner, SID_FOREIGN_USER);
    expect_nothing_leaked(full);

    // An owner may keep everyone else out of their directory, the tool too: it is not reclaimed
    // then, and the run ends at the open.
    MemorySystem closed;
    MemorySystem::Node& theirs = closed.add_directory(SERVICE_DIR, SID_FOREIGN_USER);
    theirs.dacl = "P(A;OICI;FA;;;" + std::string(SID_FOREIGN_USER) + ")";
    theirs.dacl_protected = true;
    EXPECT_EQ(report_of(closed, install_profile(closed)),
              "Error: failed to open private service directory " + std::string(QUOTED_SERVICE_DIR) +
                  "\n\nCaused by:\n    Access denied. (os error 5)\n");
    EXPECT_TRUE(closed.exists(SERVICE_DIR));
    expect_nothing_leaked(closed);
}

TEST_F(PrivateDirectory, AnAdministratorMayMakeOnlyAdministratorsTheOwner) {
    // Builtin Administrators, the install profile's owner, is in an elevated administrator's
    // token; LocalSystem, the runtime profile's, is not (1307), to create or to migrate.
    system.caller = Caller::Administrator;
    ASSERT_TRUE(install_profile(system));
    EXPECT_EQ(report_of(system, runtime_profile(system)),
              "Error: failed to create private service directory " +
                  std::string(QUOTED_RUNTIME_DIR) +
                  "\n\nCaused by:\n    OS Error 1307 (FormatMessageW() returned error 317) (os "
                  "error 1307)\n");
    system.add_directory(RUNTIME_DIR, SID_BUILTIN_ADMINISTRATORS);
    EXPECT_EQ(report_of(system, runtime_profile(system)),
              "Error: failed to migrate service path " + std::string(QUOTED_RUNTIME_DIR) +
                  " to LocalSystem ownership: Windows error 1307\n");
}

TEST_F(PrivateDirectory, ReclaimHappensOnceEvenIfTheRecreatedOwnerIsStillForeign) {
    system.add_directory(SERVICE_DIR, SID_FOREIGN_USER);
    system.descriptors_set_owner = false;
    system.creator_owner = std::string(SID_FOREIGN_USER);
    EXPECT_EQ(report_of(system, install_profile(system)),
              "Error: service install path " + std::string(QUOTED_SERVICE_DIR) +
                  " still has an unexpected owner after safe recreation\n");
    EXPECT_EQ(system.deleted(), std::vector<std::string>{std::string(SERVICE_DIR)});
    EXPECT_EQ(system.count_calls(Op::CreateDirectory), 2u);
}

TEST_F(PrivateDirectory, AcceptedOwnersKeepTheirOwnerAndGetTheDaclRepaired) {
    auto& dir = system.add_directory(SERVICE_DIR, SID_LOCAL_SYSTEM);
    dir.dacl = "(A;;FA;;;WD)"; // widened to Everyone, inheriting
    ASSERT_TRUE(install_profile(system));
    EXPECT_EQ(dir.owner, SID_LOCAL_SYSTEM);
    EXPECT_EQ(dir.dacl, PROTECTED_DACL);
    EXPECT_TRUE(dir.dacl_protected);
    EXPECT_TRUE(system.owner_changes.empty());
    EXPECT_TRUE(system.deleted().empty());
}

TEST_F(PrivateDirectory, RuntimeProfileMigratesBuiltinAdministratorsOnlyAndNeverReclaims) {
    system.add_directory(SERVICE_DIR);
    system.add_directory(RUNTIME_DIR, SID_BUILTIN_ADMINISTRATORS);
    ASSERT_TRUE(runtime_profile(system));
    EXPECT_EQ(system.find(RUNTIME_DIR)->owner, SID_LOCAL_SYSTEM);
    const std::vector<MemorySystem::OwnerChange> migrated{
        {std::string(RUNTIME_DIR), std::string(SID_LOCAL_SYSTEM)}};
    EXPECT_EQ(system.owner_changes, migrated);
    ASSERT_TRUE(runtime_profile(system)); // accepted directly the second time
    EXPECT_EQ(system.owner_changes, migrated);

    MemorySystem foreign;
    foreign.add_directory(RUNTIME_DIR, SID_FOREIGN_USER);
    EXPECT_EQ(report_of(foreign, runtime_profile(foreign)),
              "Error: service path " + std::string(QUOTED_RUNTIME_DIR) +
                  " has an unexpected owner; only legacy Builtin Administrators ownership can be "
                  "migrated\n");
    EXPECT_TRUE(foreign.exists(RUNTIME_DIR));
    EXPECT_TRUE(foreign.deleted().empty());
    expect_nothing_leaked(foreign);
}

TEST_F(PrivateDirectory, RuntimeProfileDoesNotCreateAMissingServiceDirectory) {
    EXPECT_EQ(report_of(system, runtime_profile(system)),
              "Error: failed to create private service directory " +
                  std::string(QUOTED_RUNTIME_DIR) +
                  "\n\nCaused by:\n    Path not found. (os error 3)\n");
    EXPECT_FALSE(system.exists(SERVICE_DIR));
}

TEST_F(PrivateDirectory, NulInThePathIsRefusedBeforeTouchingTheDisk) {
    const std::string path("C:\\ProgramData\\a\0b", 18);
    EXPECT_EQ(report_of(system, install_profile(system, path)),
              "Error: service directory path contains NUL\n");
    EXPECT_EQ(system.count_calls(Op::CreateDirectory), 0u);
}

struct InjectedFailure {
    Op operation;
    int nth;
    std::uint32_t code;
    bool migrate;
    std::string expected;
};

TEST_F(PrivateDirectory, EachStepsFailureHasItsExactReport) {
    const std::string dir(QUOTED_RUNTIME_DIR);
    const std::vector<InjectedFailure> cases = {
        {Op::ConvertSddl, 1, 1336, false,
         "Error: failed to build private service directory security descriptor\n\nCaused by:\n"
         "    OS Error 1336 (FormatMessageW() returned error 317) (os error 1336)\n"},
        {Op::CreateDirectory, 1, 5, false,
         "Error: failed to create private service directory " + dir +
             "\n\nCaused by:\n    Access denied. (os error 5)\n"},
        {Op::CreateFile, 1, 32, false,
         "Error: failed to open private service directory " + dir +
             "\n\nCaused by:\n    Sharing violation. (os error 32)\n"},
        {Op::FileInformation, 1, 5, false,
         "Error: service directory " + dir + " is not an ordinary directory\n"},
        {Op::FileType, 1, 1, false,
         "Error: service directory " + dir + " is not an ordinary directory\n"},
        {Op::GetOwner, 1, 5, false,
         "Error: failed to inspect service path owner: Windows error 5\n"},
        {Op::GetOwner, 1, 0, false,
         "Error: failed to inspect service path owner: Windows error 0\n"},
        {Op::CreateWellKnownSid, 1, 87, false,
         "Error: failed to create LocalSystem SID\n\nCaused by:\n"
         "    Invalid parameter. (os error 87)\n"},
        {Op::CreateWellKnownSid, 2, 87, true,
         "Error: failed to create Builtin Administrators SID\n\nCaused by:\n"
         "    Invalid parameter. (os error 87)\n"},
        {Op::SetSecurityInfo, 1, 1307, true,
         "Error: failed to migrate service path " + dir +
             " to LocalSystem ownership: Windows error 1307\n"},
        {Op::SecurityDescriptorDacl, 1, 87, false,
         "Error: private service directory descriptor has no DACL\n"},
        {Op::SetSecurityInfo, 1, 0xC0000022, false,
         "Error: failed to apply private service directory DACL: Windows error 3221225506\n"},
    };
    constexpr DirectoryProfile RUNTIME_AS_INSTALL{RUNTIME_DIR_SDDL,
                                                  OwnerPolicy::AcceptOrReclaimEmpty};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(op_name(c.operation)) + " #" + std::to_string(c.nth));
        MemorySystem sys;
        sys.add_directory(SERVICE_DIR);
        sys.add_directory(RUNTIME_DIR, c.migrate ? SID_BUILTIN_ADMINISTRATORS : SID_LOCAL_SYSTEM);
        sys.fail_call(c.operation, c.nth, c.code);
        EXPECT_EQ(report_of(sys, ensure_private_directory(sys, RUNTIME_DIR,
                                                          c.migrate ? RUNTIME_DIR_PROFILE
                                                                    : RUNTIME_AS_INSTALL)),
                  c.expected);
        expect_nothing_leaked(sys);
    }
}

TEST_F(PrivateDirectory, PrepareInstallDirsSecuresServiceThenBin) {
    auto bin = prepare_install_dirs(system);
    ASSERT_TRUE(bin);
    EXPECT_EQ(*bin, "C:\\ProgramData\\orvex-service\\bin");
    EXPECT_EQ(system.find(*bin)->dacl, PROTECTED_DACL);

    MemorySystem failing;
    failing.add_file(SERVICE_DIR);
    EXPECT_FALSE(prepare_install_dirs(failing));
    EXPECT_EQ(failing.count_calls(Op::CreateDirectory), 1u); // bin was not tried
    expect_nothing_leaked(failing);
}

} // namespace
} // namespace orvex
