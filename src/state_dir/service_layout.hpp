#pragma once
// Where the service keeps its state: every path follows from the ProgramData folder and fixed
// names. Nothing here touches the disk.

#include <string>
#include <string_view>

#include "platform/system.hpp"

namespace orvex {

inline constexpr std::string_view SERVICE_DIR_NAME = "orvex-service";
inline constexpr std::string_view PROGRAM_DATA_FALLBACK = "C:\\ProgramData";
inline constexpr std::string_view PIPE_NAME = "\\\\.\\pipe\\orvex-service";
inline constexpr std::string_view BIN_DIR_NAME = "bin";
inline constexpr std::string_view USERS_DIR_NAME = "users";
inline constexpr std::string_view REPAIR_GATE_FILE_NAME = ".repair.lock";
inline constexpr std::string_view OWNER_METADATA_FILE_NAME = "owner.json";
inline constexpr std::string_view ACTIVE_OWNER_FILE_NAME = "active-owner.json";
// The same names as opened relative to a directory handle.
inline constexpr std::u16string_view USERS_DIR_NAME_W = u"users";
inline constexpr std::u16string_view OWNER_METADATA_FILE_NAME_W = u"owner.json";
inline constexpr std::u16string_view ACTIVE_OWNER_FILE_NAME_W = u"active-owner.json";

// The paths that the tool shares with the service, in WTF-8.
struct ServiceLayout {
    std::string runtime_dir;
    std::string service_dir;
    std::string pipe_name;
    std::string owner_lock_path;
    std::string pid_path;
    std::string core_json_path;
    std::string desired_state_path;
};

// The ProgramData folder joined with the service directory name. Falls back to C:\ProgramData
// when the known folder cannot be resolved; never fails.
[[nodiscard]] std::string find_service_dir(System& system);

// The layout for a given service directory.
[[nodiscard]] ServiceLayout layout_for(std::string service_dir);

// The layout of this machine.
[[nodiscard]] ServiceLayout service_layout(System& system);

// Paths formed from the service directory at the point of use.
[[nodiscard]] std::string bin_dir(const ServiceLayout& layout);
[[nodiscard]] std::string users_dir(const ServiceLayout& layout);
[[nodiscard]] std::string active_owner_path(const ServiceLayout& layout);

} // namespace orvex
