#include "wine/rig/scenario.hpp"

#include <cstdio>

#include "owners/stale_owners.hpp"

namespace orvex::rig {
namespace {

constexpr wchar_t SERVICE_NAME[] = L"orvex_vpn_service";

DWORD query_state(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed)) {
        return 0;
    }
    return status.dwCurrentState;
}

// A scenario that could not be set up ends the program with the reason: a test that went on would
// report on a world other than the one it describes.
void require(bool done, const std::wstring& what) {
    if (!done) {
        const DWORD code = GetLastError();
        std::fwprintf(stderr, L"rig set-up failed: %ls (error %lu)\n", what.c_str(), code);
        std::fflush(stderr);
        ExitProcess(2);
    }
}

void wait_for_state(SC_HANDLE service, DWORD state) {
    for (int i = 0; i < 200 && query_state(service) != state; ++i) {
        Sleep(25);
    }
}

} // namespace

testing::ProcessResult run_tool(const std::wstring& arguments) {
    const std::wstring dir = testing::build_dir();
    return testing::run_process(L"\"" + dir + L"\\rig_launcher.exe\" \"" + dir +
                                L"\\ownership_shim.dll\" \"" + dir + L"\\orvex-uninstall.exe\"" +
                                arguments);
}

void reset_world() {
    if (SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
        if (SC_HANDLE service = OpenServiceW(manager, SERVICE_NAME, SERVICE_ALL_ACCESS)) {
            SERVICE_STATUS status{};
            if (HANDLE quit = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"orvex_standin_quit")) {
                SetEvent(quit); // also ends a stand-in that ignores or refuses the stop control
                CloseHandle(quit);
                wait_for_state(service, SERVICE_STOPPED);
            }
            if (query_state(service) != SERVICE_STOPPED) {
                ControlService(service, SERVICE_CONTROL_STOP, &status);
                wait_for_state(service, SERVICE_STOPPED);
            }
            DeleteService(service);
            CloseServiceHandle(service);
            for (int i = 0; i < 200; ++i) {
                SC_HANDLE probe = OpenServiceW(manager, SERVICE_NAME, SERVICE_QUERY_STATUS);
                if (probe == nullptr) {
                    break;
                }
                CloseServiceHandle(probe);
                Sleep(25);
            }
        }
        CloseServiceHandle(manager);
    }
    for (int i = 0; i < 40 && exists(SERVICE_DIR); ++i) {
        SetFileAttributesW(SERVICE_EXE.c_str(), FILE_ATTRIBUTE_NORMAL);
        testing::remove_tree(SERVICE_DIR); // a just-stopped service may still hold its file
        if (exists(SERVICE_DIR)) {
            Sleep(50);
        }
    }
    forget_all_records();
    // Each step above is best effort (the world may be half set up); the result is not.
    require(!exists(SERVICE_DIR), L"remove " + SERVICE_DIR);
    require(service_state() == 0, L"delete the service");
}

void make_directory(const std::wstring& path, const std::wstring& owner) {
    require(CreateDirectoryW(path.c_str(), nullptr) != 0 || GetLastError() == ERROR_ALREADY_EXISTS,
            L"create " + path);
    set_owner(path, owner);
}

void write_file(const std::wstring& path, const std::string& contents) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    require(file != INVALID_HANDLE_VALUE, L"create " + path);
    DWORD written = 0;
    const bool wrote =
        WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) &&
        written == contents.size();
    CloseHandle(file);
    require(wrote, L"write " + path);
}

void set_owner(const std::wstring& path, const std::wstring& owner) {
    // The shim keeps records for directories only.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    require(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
            L"find the directory " + path);
    auto identity = identity_of(path);
    require(identity.has_value(), L"identify " + path);
    auto record = load_record(*identity).value_or(OwnershipRecord{});
    record.owner = owner;
    store_record(*identity, record);
}

std::optional<OwnershipRecord> record_of(const std::wstring& path) {
    auto identity = identity_of(path);
    return identity ? load_record(*identity) : std::nullopt;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void install_service(const std::wstring& arguments, bool start) {
    make_directory(SERVICE_DIR, ADMINISTRATORS);
    make_directory(BIN_DIR, ADMINISTRATORS);
    require(CopyFileW((testing::build_dir() + L"\\standin_service.exe").c_str(),
                      SERVICE_EXE.c_str(), FALSE) != 0,
            L"copy the stand-in to " + SERVICE_EXE);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    require(manager != nullptr, L"open the Service Control Manager");
    const std::wstring command = L"\"" + SERVICE_EXE + L"\" " + arguments;
    SC_HANDLE service =
        CreateServiceW(manager, SERVICE_NAME, SERVICE_NAME, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    require(service != nullptr, L"create the service");
    if (start) {
        require(StartServiceW(service, 0, nullptr) != 0, L"start the service");
        wait_for_state(service, SERVICE_RUNNING);
        require(query_state(service) == SERVICE_RUNNING, L"see the service running");
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

std::string windows_owner_key(const std::string& sid) {
    return owner_key_for(OwnerIdentity{WindowsIdentity{sid}});
}

void add_owner_directory(const std::string& key, const std::string& owner_json) {
    const std::wstring dir = USERS_DIR + L"\\" + std::wstring(key.begin(), key.end());
    require(CreateDirectoryW(dir.c_str(), nullptr) != 0, L"create " + dir);
    write_file(dir + L"\\owner.json", owner_json);
    require(CreateDirectoryW((dir + L"\\state").c_str(), nullptr) != 0,
            L"create " + dir + L"\\state");
    write_file(dir + L"\\state\\settings.dat", "user data");
}

DWORD service_state() {
    DWORD state = 0;
    if (SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)) {
        if (SC_HANDLE service = OpenServiceW(manager, SERVICE_NAME, SERVICE_QUERY_STATUS)) {
            state = query_state(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }
    return state;
}

} // namespace orvex::rig
