// Black-box tests of the shipped orvex-uninstall.exe, run as a separate process under plain Wine.
// Wine reports every file's owner as the Wine user and never stores a DACL, so both modes stop at
// the owner check here; these tests pin down exactly that honest outcome.
#include <gtest/gtest.h>

#include "wine/process.hpp"

namespace orvex {
namespace {

const std::wstring SERVICE_DIR = L"C:\\ProgramData\\orvex-service";

testing::ProcessResult run_tool(const std::wstring& arguments) {
    return testing::run_process(L"\"" + testing::build_dir() + L"\\orvex-uninstall.exe\"" +
                                arguments);
}

class RealExecutable : public ::testing::Test {
  protected:
    void SetUp() override { testing::remove_tree(SERVICE_DIR); }
    void TearDown() override { testing::remove_tree(SERVICE_DIR); }
};

TEST_F(RealExecutable, UninstallReclaimsTheForeignOwnedDirectoryAndStopsAtTheRecreatedOwner) {
    const auto result = run_tool(L" --cleanup-stale-owners=1 --help");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error: service install path \"C:\\\\ProgramData\\\\orvex-service\" "
                          "still has an unexpected owner after safe recreation\n");
    EXPECT_EQ(result.status, 1u);
}

TEST_F(RealExecutable, UninstallWithTheGateHeldStopsAtTheNonEmptyForeignDirectory) {
    CreateDirectoryW(SERVICE_DIR.c_str(), nullptr);
    CreateDirectoryW((SERVICE_DIR + L"\\bin").c_str(), nullptr);
    testing::LockHolder holder(SERVICE_DIR + L"\\bin\\.repair.lock", false);
    ASSERT_TRUE(holder.ready());
    const auto result = run_tool(L"");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "Error: service install path \"C:\\\\ProgramData\\\\orvex-service\" has an "
              "unexpected owner and is not an empty directory that can be safely reclaimed\n\n"
              "Caused by:\n    Directory is not empty. (os error 145)\n");
    EXPECT_EQ(result.status, 1u);
}

TEST_F(RealExecutable, MaintenanceWithoutTheServiceDirectoryCannotCreateTheRuntimeDirectory) {
    const auto result = run_tool(L" --cleanup-stale-owners");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error: failed to create private service directory "
                          "\"C:\\\\ProgramData\\\\orvex-service\\\\runtime\"\n\nCaused by:\n"
                          "    Path not found. (os error 3)\n");
    EXPECT_EQ(result.status, 1u);
    EXPECT_EQ(GetFileAttributesW(SERVICE_DIR.c_str()), INVALID_FILE_ATTRIBUTES);
}

// Wine reports every file as owned by the Wine user, so without the rig maintenance stops at the
// very first check: the service directory's owner, before anything below it is touched.
TEST_F(RealExecutable, MaintenanceRefusesTheServiceDirectoryWineReportsAsForeignOwned) {
    CreateDirectoryW(SERVICE_DIR.c_str(), nullptr);
    const auto result = run_tool(L" x --cleanup-stale-owners");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error: service directory \"C:\\\\ProgramData\\\\orvex-service\" has an "
                          "unexpected owner\n");
    EXPECT_EQ(result.status, 1u);
    EXPECT_EQ(GetFileAttributesW((SERVICE_DIR + L"\\runtime").c_str()), INVALID_FILE_ATTRIBUTES);
}

} // namespace
} // namespace orvex
