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
    auto dacl = system.security_descriptor_dacl(descriptor->as<DescriptorRef>());
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
    EXPECT_TRUE(system.equal_sid(parsed->as<SidRef>(), (*local_system)->ref()));
    EXPECT_FALSE(system.equal_sid(parsed->as<SidRef>(), (*admins)->ref()));
    EXPECT_EQ(system.lookup_account_sid_probe(parsed->as<SidRef>()), WinCode::InsufficientBuffer);
    auto unknown = system.convert_string_sid(z(u"S-1-5-21-1-2-3-4242"));
    ASSERT_TRUE(unknown);
    EXPECT_EQ(system.lookup_account_sid_probe(unknown->as<SidRef>()), WinCode::NoneMapped);
    auto malformed = system.convert_string_sid(z(u"S-1-x"));
    ASSERT_FALSE(malformed);
    EXPECT_EQ(malformed.error(), WinCode::InvalidSid);
}

TEST_F(Win32Adapter, DirectoriesFilesAndTypeTests) {
    const std::u16string dir = SCRATCH + u"\\d";
    const std::u16string file = dir + u"\\f.txt";
    ASSERT_TRUE(system.create_directory(z(dir), DescriptorRef{}));
    auto again = system.create_directory(z(dir), DescriptorRef{});
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error(), WinCode::AlreadyExists);
    {
        auto created = system.create_file(z(file), Access::GenericRead | Access::GenericWrite,
                                          ShareMode::All, Disposition::OpenAlways, OpenFlags{});
        ASSERT_TRUE(created);
        auto info = system.file_information(created->get());
        ASSERT_TRUE(info);
        EXPECT_FALSE(info->attributes.intersects(FileAttributes::Directory));
        EXPECT_EQ(system.file_type(created->get()), FileType::Disk);
    }
    auto not_empty = system.remove_directory(z(dir));
    ASSERT_FALSE(not_empty);
    EXPECT_EQ(not_empty.error(), WinCode::DirNotEmpty);

    auto opened = system.create_file(
        z(dir), Access::ReadControl | Access::WriteDac | Access::WriteOwner, ShareMode::All,
        Disposition::OpenExisting, OpenFlags::BackupSemantics | OpenFlags::OpenReparsePoint);
    ASSERT_TRUE(opened);
    auto info = system.file_information(opened->get());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->attributes & (FileAttributes::Directory | FileAttributes::ReparsePoint),
              FileAttributes::Directory);
    EXPECT_EQ(system.file_type(opened->get()), FileType::Disk);

    // The listing through a handle, as maintenance reads the users directory.
    auto listed =
        system.create_file(z(dir), Access::ListDirectory, ShareMode::All, Disposition::OpenExisting,
                           OpenFlags::BackupSemantics | OpenFlags::OpenReparsePoint);
    ASSERT_TRUE(listed);
    std::vector<std::u16string> names;
    while (auto batch = system.list_directory(listed->get())) {
        for (const auto& entry : *batch) {
            names.push_back(entry.name);
        }
    }
    EXPECT_EQ(names.size(), 3u); // ".", ".." and f.txt
    auto missing = system.open_relative(listed->get(), u"nope", Access::ListDirectory);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), WinCode::FileNotFound);
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
