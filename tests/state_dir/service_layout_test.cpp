#include "state_dir/service_layout.hpp"

#include <gtest/gtest.h>

#include "model/memory_system.hpp"

namespace orvex {
namespace {

TEST(ServiceLayout, EveryPathFollowsFromProgramData) {
    MemorySystem system;
    const ServiceLayout layout = service_layout(system);
    EXPECT_EQ(layout.service_dir, "C:\\ProgramData\\orvex-service");
    EXPECT_EQ(layout.runtime_dir, "C:\\ProgramData\\orvex-service\\runtime");
    EXPECT_EQ(layout.pipe_name, "\\\\.\\pipe\\orvex-service");
    EXPECT_EQ(layout.pipe_name.size(), 22u);
    EXPECT_EQ(layout.owner_lock_path,
              "C:\\ProgramData\\orvex-service\\runtime\\orvex-service.owner.lock");
    EXPECT_EQ(layout.pid_path, "C:\\ProgramData\\orvex-service\\runtime\\orvex-service.pid");
    EXPECT_EQ(layout.core_json_path,
              "C:\\ProgramData\\orvex-service\\runtime\\orvex-service.core.json");
    EXPECT_EQ(layout.desired_state_path, "C:\\ProgramData\\orvex-service\\desired-state.json");
    EXPECT_EQ(bin_dir(layout), "C:\\ProgramData\\orvex-service\\bin");
    EXPECT_EQ(users_dir(layout), "C:\\ProgramData\\orvex-service\\users");
    EXPECT_EQ(active_owner_path(layout), "C:\\ProgramData\\orvex-service\\active-owner.json");
}

TEST(ServiceLayout, TrailingSeparatorAndKnownFolderFailure) {
    MemorySystem system;
    system.program_data = u"D:\\Data\\";
    EXPECT_EQ(find_service_dir(system), "D:\\Data\\orvex-service");
    system.program_data = u"E:\\caf\u00e9";
    EXPECT_EQ(find_service_dir(system), "E:\\caf\xC3\xA9\\orvex-service");
    system.program_data.reset();
    EXPECT_EQ(find_service_dir(system), "C:\\ProgramData\\orvex-service");
    system.program_data = u""; // never a path relative to the current directory
    EXPECT_EQ(find_service_dir(system), "C:\\ProgramData\\orvex-service");
}

} // namespace
} // namespace orvex
