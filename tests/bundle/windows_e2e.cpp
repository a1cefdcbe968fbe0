// The real orvex-uninstall.exe on a real machine, with nothing emulated: real owners and DACLs, a
// real service. Each case prints "case NAME: passed", "case NAME: FAILED: WHY" or "case NAME:
// skipped: WHY"; the status is 1 if any case failed. The cases use the product's own service name
// and folder, so they refuse to run where either exists (a machine with the product installed),
// and remove both again. Run elevated, beside orvex-uninstall.exe and standin_service.exe.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include "owners/stale_owners.hpp"
#include "wine/process.hpp"

namespace {

using orvex::testing::build_dir;
using orvex::testing::run_process;

const wchar_t* const SERVICE = L"orvex_vpn_service";
const wchar_t* const RUNNER = L"orvex_bundle_runner";
const std::string SUCCESS =
    "Service uninstalled successfully. Resource cleanup warnings can be ignored.\n";
int failures = 0;

void report(const char* name, const std::string& failure) {
    if (failure.empty()) {
        std::printf("case %s: passed\n", name);
    } else {
        std::printf("case %s: FAILED: %s\n", name, failure.c_str());
        ++failures;
    }
    std::fflush(stdout);
}

std::string utf8(const std::wstring& text) {
    std::string out(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, text.c_str(),
                                                                 static_cast<int>(text.size()),
                                                                 nullptr, 0, nullptr, nullptr)),
                    '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(),
                        static_cast<int>(out.size()), nullptr, nullptr);
    return out;
}

// The path in the quoted form of the tool's reports.
std::string quoted(const std::wstring& path) {
    std::string out = "\"";
    for (const char c : utf8(path)) {
        out += c == '\\' ? "\\\\" : std::string(1, c);
    }
    return out + "\"";
}

// The system's text for a code, as the tool's report renders it.
std::string message_of(DWORD code) {
    wchar_t buffer[2048];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, buffer, 2048, nullptr);
    while (length > 0 && (buffer[length - 1] == L'\n' || buffer[length - 1] == L'\r')) {
        --length;
    }
    return utf8(std::wstring(buffer, length)) + " (os error " + std::to_string(code) + ")";
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Owner and DACL of a directory, as "OWNER DACL" in SDDL.
std::string security_of(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return "unreadable";
    }
    LPWSTR text = nullptr;
    std::string out = "unconvertible";
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            &text, nullptr)) {
        out = utf8(text);
        LocalFree(text);
    }
    LocalFree(descriptor);
    return out;
}

// Whether a secured directory has a permitted owner and exactly the tool's protected DACL.
std::string secured_problem(const std::wstring& path, bool local_system_only) {
    const std::string security = security_of(path);
    const bool owner_ok =
        security.starts_with("O:SY") || (!local_system_only && security.starts_with("O:BA"));
    const auto dacl = security.find("D:P");
    const bool dacl_ok =
        dacl != std::string::npos && security.ends_with("(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)") &&
        security.find('(', dacl) ==
            security.size() - std::string("(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)").size();
    return owner_ok && dacl_ok ? "" : utf8(path) + " is " + security;
}

DWORD state_of(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

bool wait_for(SC_HANDLE service, DWORD state) {
    for (int i = 0; i < 1200 && state_of(service) != state; ++i) {
        Sleep(25);
    }
    return state_of(service) == state;
}

void remove_service(SC_HANDLE manager, const wchar_t* name) {
    if (SC_HANDLE service = OpenServiceW(manager, name, SERVICE_ALL_ACCESS)) {
        SERVICE_STATUS status{};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        wait_for(service, SERVICE_STOPPED);
        DeleteService(service);
        CloseServiceHandle(service);
    }
}

std::wstring program_data() {
    PWSTR path = nullptr;
    std::wstring out = L"C:\\ProgramData";
    if (SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &path) == S_OK) {
        out = path;
    }
    CoTaskMemFree(path);
    return out;
}

// A directory made as an installer running as LocalSystem leaves it: owned by Builtin
// Administrators, whichever owner this account's objects get by default.
void make_directory(const std::wstring& path) {
    CreateDirectoryW(path.c_str(), nullptr);
    alignas(8) BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size);
    SetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT,
                          OWNER_SECURITY_INFORMATION, sid, nullptr, nullptr, nullptr);
}

void write_file(const std::wstring& path, const std::string& contents) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
    CloseHandle(file);
}

std::string read_file(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    std::string out;
    char buffer[4096];
    DWORD read = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof(buffer), &read, nullptr) &&
           read > 0) {
        out.append(buffer, read);
    }
    CloseHandle(file);
    return out;
}

} // namespace

int wmain() {
    const char* const CASES[] = {"uninstall-as-administrator",
                                 "maintenance-as-administrator-is-refused-with-1307",
                                 "maintenance-as-local-system"};
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (GetProcAddress(ntdll, "wine_get_version") != nullptr) {
        for (const char* name : CASES) {
            std::printf("case %s: skipped: Wine keeps no owners (the rig covers it with emulated "
                        "ownership)\n",
                        name);
        }
        return 0;
    }
    const std::wstring service_dir = program_data() + L"\\orvex-service";
    const std::wstring bin = service_dir + L"\\bin";
    const std::wstring tool = L"\"" + build_dir() + L"\\orvex-uninstall.exe\"";
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE existing = manager ? OpenServiceW(manager, SERVICE, SERVICE_QUERY_STATUS) : nullptr;
    if (manager == nullptr || existing != nullptr || exists(service_dir)) {
        for (const char* name : CASES) {
            std::printf("case %s: skipped: %s\n", name,
                        manager == nullptr
                            ? "run elevated"
                            : "the product's service or folder exists here; use a machine "
                              "without it");
        }
        if (existing != nullptr) {
            CloseServiceHandle(existing);
        }
        return 0;
    }

    // An installed, running service, as an installer leaves it; the tool run as the elevated
    // administrator that runs this program.
    {
        std::string failure;
        make_directory(service_dir);
        make_directory(bin);
        const std::wstring exe = bin + L"\\orvex-service.exe";
        CopyFileW((build_dir() + L"\\standin_service.exe").c_str(), exe.c_str(), FALSE);
        const std::wstring command = L"\"" + exe + L"\"";
        SC_HANDLE service =
            CreateServiceW(manager, SERVICE, SERVICE, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr,
                           nullptr, nullptr, nullptr, nullptr);
        if (service == nullptr || !StartServiceW(service, 0, nullptr) ||
            !wait_for(service, SERVICE_RUNNING)) {
            failure = "cannot install and start the stand-in service (" +
                      std::to_string(GetLastError()) + ")";
        }
        if (service != nullptr) {
            CloseServiceHandle(service);
        }
        if (failure.empty()) {
            const auto result = run_process(tool);
            SC_HANDLE gone = OpenServiceW(manager, SERVICE, SERVICE_QUERY_STATUS);
            if (result.status != 0 || result.out != SUCCESS || !result.err.empty()) {
                failure =
                    "status " + std::to_string(result.status) + ", " + result.out + result.err;
            } else if (gone != nullptr) {
                failure = "the service is still installed";
            } else if (exists(exe)) {
                failure = "the executable is still there";
            } else {
                failure = secured_problem(service_dir, false) + secured_problem(bin, false);
            }
            if (gone != nullptr) {
                CloseServiceHandle(gone);
            }
        }
        report(CASES[0], failure);
    }

    // An administrator may not make LocalSystem the owner of the runtime directory.
    {
        const auto result = run_process(tool + L" --cleanup-stale-owners");
        const std::string expected = "Error: failed to create private service directory " +
                                     quoted(service_dir + L"\\runtime") + "\n\nCaused by:\n    " +
                                     message_of(1307) + "\n";
        report(CASES[1], result.status == 1 && result.err == expected && result.out.empty()
                             ? ""
                             : "status " + std::to_string(result.status) + ", " + result.err);
    }

    // As LocalSystem, through a one-shot service that runs the tool: a stale Unix owner goes, a
    // live one (LocalSystem's own SID) stays, and the runtime directory is LocalSystem's.
    {
        const std::wstring users = service_dir + L"\\users";
        const std::string live =
            orvex::owner_key_for(orvex::OwnerIdentity{orvex::WindowsIdentity{"S-1-5-18"}});
        const std::wstring live_dir = users + L"\\" + std::wstring(live.begin(), live.end());
        make_directory(users);
        CreateDirectoryW((users + L"\\1000").c_str(), nullptr);
        write_file(users + L"\\1000\\owner.json", R"({"Unix":[1000,1000]})");
        CreateDirectoryW(live_dir.c_str(), nullptr);
        write_file(live_dir + L"\\owner.json", R"({"Windows":["S-1-5-18"]})");
        const std::wstring output = build_dir() + L"\\runner.out";
        const std::wstring command = L"\"" + build_dir() + L"\\standin_service.exe\" \"--run=" +
                                     build_dir() + L"\\orvex-uninstall.exe\" " +
                                     L"--run-arg=--cleanup-stale-owners \"--output=" + output +
                                     L"\"";
        SC_HANDLE runner =
            CreateServiceW(manager, RUNNER, RUNNER, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr,
                           nullptr, nullptr, nullptr, nullptr);
        std::string failure;
        if (runner == nullptr || !StartServiceW(runner, 0, nullptr) ||
            !wait_for(runner, SERVICE_STOPPED)) {
            failure = "cannot run the one-shot service (" + std::to_string(GetLastError()) + ")";
        } else if (const std::string out = read_file(output);
                   out != "Removed 1 stale owner state directories\nstatus: 0\n") {
            failure = "it wrote: " + out;
        } else if (exists(users + L"\\1000") || !exists(live_dir + L"\\owner.json")) {
            failure = "the wrong owners were removed";
        } else {
            failure = secured_problem(service_dir + L"\\runtime", true);
        }
        if (runner != nullptr) {
            DeleteService(runner);
            CloseServiceHandle(runner);
        }
        DeleteFileW(output.c_str());
        report(CASES[2], failure);
    }

    remove_service(manager, SERVICE);
    remove_service(manager, RUNNER);
    CloseServiceHandle(manager);
    orvex::testing::remove_tree(service_dir);
    return failures == 0 ? 0 : 1;
}
