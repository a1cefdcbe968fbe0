// The Win32 adapter against Wine's real implementation of each call.
#include "wine/process.hpp"

#include <gtest/gtest.h>

#include "cli/error_report.hpp"
#include "platform/win32/win32_system.hpp"
#include "state_dir/lock_files.hpp"
#include "state_dir/private_directory.hpp"
#include "state_dir/service_layout.hpp"

namespace orvex {
namespace {

const std::u16string SCRATCH = u"C:\\orvex-adapter-scratch";

std::u16string z(std::u16string text) {
    text.push_back(u'\0');
    return text;
}

class Win32Adapter : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::remove_tree(L"C:\\orvex-adapter-scratch");
        ASSERT_TRUE(system.create_directory(z(SCRATCH), DescriptorRef{}));
    }
    void TearDown() override { testing::remove_tree(L"C:\\orvex-adapter-scratch"); }
    Win32System system;
};

TEST_F(Win32Adapter, SystemMessagesComeFromFormatMessage) {
    EXPECT_EQ(system_error_text(system, SystemError::from_code(WinCode{5})),
              "Access denied. (os error 5)");
    EXPECT_EQ(system_error_text(system, SystemError::from_code(WinCode{1060})),
              "Service does not exist. (os error 1060)");
    // Wine has no message for this code and none in ntdll for NT status codes.
    EXPECT_EQ(system_error_text(system, SystemError::from_code(WinCode{0x1000FFFF})),
              "OS Error 268500991 (FormatMessageW() returned error 317) (os error 268500991)");
}

TEST_F(Win32Adapter, KnownFolderAndLayout) {
    EXPECT_EQ(system.program_data_folder(), std::optional<std::u16string>(u"C:\\ProgramData"));
    EXPECT_EQ(find_service_dir(system), "C:\\ProgramData\\orvex-service");
}

TEST_F(Win32Adapter, SecurityDescriptorsAndWellKnownSids) {
    auto descriptor = system.convert_sddl(z(u"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"));
    ASSERT_TRUE(descriptor);
    auto dacl = system.security_descriptor_dacl(descriptor->ref());
    ASSERT_TRUE(dacl);
    EXPECT_TRUE(dacl->present);
    EXPECT_TRUE(dacl->dacl);
    EXPECT_FALSE(system.convert_sddl(z(u"O:ZZD:garbage")));

    auto local_system = well_known_sid(system, WellKnownSid::LocalSystem, "LocalSystem");
    auto admins =
        well_known_sid(system, WellKnownSid::BuiltinAdministrators, "Builtin Administrators");
    ASSERT_TRUE(local_system && admins);
    auto parsed = system.convert_string_sid(z(u"S-1-5-18"));
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(system.equal_sid(parsed->ref(), local_system->ref()));
    EXPECT_FALSE(system.equal_sid(parsed->ref(), admins->ref()));
    EXPECT_EQ(system.lookup_account_sid_probe(parsed->ref()), WinCode::InsufficientBuffer);
    auto unknown = system.convert_string_sid(z(u"S-1-5-21-1-2-3-4242"));
    ASSERT_TRUE(unknown);
    EXPECT_EQ(system.lookup_account_sid_probe(unknown->ref()), WinCode::NoneMapped);
    auto malformed = system.convert_string_sid(z(u"S-1-x"));
    ASSERT_FALSE(malformed);
    EXPECT_EQ(malformed.error(), WinCode::InvalidSid);
}

TEST_F(Win32Adapter, LocksAreExclusivePerHandleAndAcrossProcesses) {
    const std::u16string path = SCRATCH + u"\\gate.lock";
    const std::string wtf8 = "C:\\orvex-adapter-scratch\\gate.lock";
    {
        auto first = lock_file_whole(system, wtf8);
        ASSERT_TRUE(first);
        auto second = lock_file_whole(system, wtf8);
        ASSERT_FALSE(second);
        EXPECT_EQ(second.error().stage, LockFileFailure::Stage::Lock);
        EXPECT_EQ(second.error().error, SystemError::from_code(WinCode{33}));
    }
    {
        testing::LockHolder holder(L"C:\\orvex-adapter-scratch\\gate.lock", false);
        ASSERT_TRUE(holder.ready());
        auto refused = lock_file_whole(system, wtf8);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().error, SystemError::from_code(WinCode{33}));
    }
    {
        testing::LockHolder holder(L"C:\\orvex-adapter-scratch\\gate.lock", true);
        ASSERT_TRUE(holder.ready());
        auto refused = lock_file_whole(system, wtf8);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().stage, LockFileFailure::Stage::Open);
        EXPECT_EQ(refused.error().error, SystemError::from_code(WinCode{32}));
    }
    EXPECT_TRUE(lock_file_whole(system, wtf8)); // every holder has let go
}

} // namespace
} // namespace orvex
