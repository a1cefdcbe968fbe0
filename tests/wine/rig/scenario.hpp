#pragma once
// Setting up and inspecting end-to-end scenarios in the Wine prefix: the stand-in service in the
// real Service Control Manager, the service directories with emulated owners, and runs of the
// real orvex-uninstall.exe through the rig's launcher.

#include <windows.h>

#include <optional>
#include <string>

#include "wine/process.hpp"
#include "wine/rig/ownership_store.hpp"

namespace orvex::rig {

inline const std::wstring SERVICE_DIR = L"C:\\ProgramData\\orvex-service";
inline const std::wstring BIN_DIR = SERVICE_DIR + L"\\bin";
inline const std::wstring RUNTIME_DIR = SERVICE_DIR + L"\\runtime";
inline const std::wstring USERS_DIR = SERVICE_DIR + L"\\users";
inline const std::wstring SERVICE_EXE = BIN_DIR + L"\\orvex-service.exe";
inline const std::wstring GATE_FILE = BIN_DIR + L"\\.repair.lock";
inline const std::wstring OWNER_LOCK_FILE = RUNTIME_DIR + L"\\orvex-service.owner.lock";

inline const std::wstring LOCAL_SYSTEM = L"S-1-5-18";
inline const std::wstring ADMINISTRATORS = L"S-1-5-32-544";
inline const std::wstring FOREIGN_USER = L"S-1-5-21-1000-2000-3000-1001";
inline const std::wstring PROTECTED_DACL = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Runs the real tool with the ownership shim loaded.
testing::ProcessResult run_tool(const std::wstring& arguments);

// Removes the service (if installed), the service directory and every ownership record.
void reset_world();

// Creates a directory (parents must exist) unless it exists, and records its owner.
void make_directory(const std::wstring& path, const std::wstring& owner);
void write_file(const std::wstring& path, const std::string& contents);
void set_owner(const std::wstring& path, const std::wstring& owner);
std::optional<OwnershipRecord> record_of(const std::wstring& path);
bool exists(const std::wstring& path);

// The service directory and bin owned by Builtin Administrators, the stand-in copied to the
// product's executable path and registered with `arguments`; started unless `start` is false.
void install_service(const std::wstring& arguments, bool start = true);

// The owner key of a Windows SID (the name of its owner state directory).
std::string windows_owner_key(const std::string& sid);

// An owner state directory under users\ named `key`, holding `owner_json` as "owner.json" and a
// little user data.
void add_owner_directory(const std::string& key, const std::string& owner_json);

// The service's current state (SERVICE_RUNNING, ...), or 0 when it is not installed.
DWORD service_state();

} // namespace orvex::rig
