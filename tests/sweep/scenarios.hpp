#pragma once
// The representative successful runs of both modes that the fault-injection sweep replays.

#include <string>
#include <vector>

#include "cli/entry.hpp"
#include "model/memory_system.hpp"

namespace orvex::sweep {

inline constexpr std::string_view SERVICE_DIR = "C:\\ProgramData\\orvex-service";
inline constexpr std::string_view EXE = "C:\\ProgramData\\orvex-service\\bin\\orvex-service.exe";
inline constexpr std::string_view ACTIVE = "C:\\ProgramData\\orvex-service\\active-owner.json";
inline constexpr std::string_view USERS = "C:\\ProgramData\\orvex-service\\users";

enum class Mode {
    Uninstall,
    Maintenance,
    // Maintenance where deletion with POSIX semantics is unsupported (Wine, FAT), with a read-only
    // file in the stale tree, so that the classic fallback's calls are swept too.
    MaintenanceClassic,
};

// A running service that stops at the first check, secured directories, the executable present.
inline void uninstall_world(MemorySystem& system) {
    system.add_directory("C:\\ProgramData\\orvex-service\\bin", SID_LOCAL_SYSTEM);
    system.add_file(EXE, "MZ");
    system.add_service("orvex_vpn_service");
}

// A stale Unix owner named by the active record, and a live Windows owner.
inline void maintenance_world(MemorySystem& system, const std::string& live_key) {
    system.add_directory("C:\\ProgramData\\orvex-service\\runtime", SID_LOCAL_SYSTEM);
    system.add_file(std::string(USERS) + "\\1000\\owner.json", R"({"Unix":[1000,1000]})");
    system.add_file(std::string(USERS) + "\\1000\\data.bin", "x");
    system.add_file(std::string(USERS) + "\\" + live_key + "\\owner.json",
                    R"({"Windows":{"sid":"S-1-5-18"}})");
    system.add_file(ACTIVE,
                    R"({"owner_key":"1000","identity":{"Unix":[1000,1000]},"app_data_root":"r"})");
    system.add_account("S-1-5-18");
}

inline void maintenance_classic_world(MemorySystem& system, const std::string& live_key) {
    maintenance_world(system, live_key);
    system.disposition_ex_supported = false;
    system.add_file(std::string(USERS) + "\\1000\\state\\settings.dat", "x",
                    FileAttributes::ReadOnly);
}

inline std::vector<std::u16string> arguments(Mode mode) {
    if (mode != Mode::Uninstall) {
        return {u"orvex-uninstall.exe", u"--cleanup-stale-owners"};
    }
    return {u"orvex-uninstall.exe"};
}

} // namespace orvex::sweep
