// The real orvex-uninstall.exe on a real machine, with nothing emulated: real owners and DACLs, a
// real service. Each case prints "case NAME: passed", "case NAME: FAILED: WHY" or "case NAME:
// skipped: WHY"; the status is 1 if any case failed or anything was left behind. The cases use
// the product's own service name and folder, so they refuse to run where either exists (a machine
// with the product installed), remove only what they created, and say what they could not.
// Run elevated, beside orvex-uninstall.exe and standin_service.exe.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include "bundle/service_state.hpp"
#include "cli/error_report.hpp"
#include "common/text.hpp"
#include "owners/stale_owners.hpp"
#include "platform/win32/win32_system.hpp"
#include "wine/process.hpp"

namespace {

using orvex::bundle::wait_for;

using orvex::testing::build_dir;
using orvex::testing::run_process;

const wchar_t* const SERVICE = L"orvex_vpn_service";
const wchar_t* const RUNNER = L"orvex_bundle_runner";
const std::string SUCCESS =
    "Service uninstalled successfully. Resource cleanup warnings can be ignored.\n";
const char* const CASES[] = {"uninstall-as-administrator",
                             "maintenance-as-administrator-is-refused-with-1307",
                             "maintenance-as-local-system"};
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

void skip_all(const char* why) {
    for (const char* name : CASES) {
        std::printf("case %s: skipped: %s\n", name, why);
    }
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

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// What the tool would report for `chain`, rendered by the tool's own code.
std::string report_of(const orvex::ErrorChain& chain) {
    orvex::Win32System system;
    return orvex::render_error_report(system, chain);
}

// Owner and DACL of a directory, as "O:.. D:.." in SDDL.
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

// "" when a secured directory has a permitted owner and exactly the tool's protected DACL.
std::string secured_problem(const std::wstring& path, bool local_system_only) {
    const std::string entries = "(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    const std::string security = security_of(path);
    const bool owner_ok =
        security.starts_with("O:SY") || (!local_system_only && security.starts_with("O:BA"));
    const auto dacl = security.find("D:P");
    const bool dacl_ok = dacl != std::string::npos && security.ends_with(entries) &&
                         security.find('(', dacl) == security.size() - entries.size();
    return owner_ok && dacl_ok ? "" : utf8(path) + " is " + security + "; ";
}

// Stops and deletes a service that this run created, and waits until the manager has forgotten it.
void remove_service(SC_HANDLE manager, const wchar_t* name) {
    if (SC_HANDLE service = OpenServiceW(manager, name, SERVICE_ALL_ACCESS)) {
        SERVICE_STATUS status{};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        wait_for(service, SERVICE_STOPPED);
        DeleteService(service);
        CloseServiceHandle(service);
    }
    for (int i = 0; i < 400; ++i, Sleep(25)) {
        SC_HANDLE probe = OpenServiceW(manager, name, SERVICE_QUERY_STATUS);
        if (probe == nullptr) {
            return;
        }
        CloseServiceHandle(probe);
    }
}

SC_HANDLE create_service(SC_HANDLE manager, const wchar_t* name, const std::wstring& command) {
    return CreateServiceW(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                          SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr,
                          nullptr, nullptr, nullptr, nullptr);
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

// Starts the service and waits until it reaches `state`; closes its handle. "" or what failed.
std::string run_until(SC_HANDLE service, DWORD state, const char* what) {
    const bool started = StartServiceW(service, 0, nullptr) != 0;
    const DWORD code = GetLastError();
    const bool reached = started && wait_for(service, state);
    CloseServiceHandle(service);
    return reached ? "" : std::string("cannot run ") + what + " (" + std::to_string(code) + ")";
}

// A directory as the example installer leaves it: owned by Builtin Administrators, with the
// tool's protected DACL from the start, so that no ordinary user can plant anything in it while
// the cases run.
bool make_secured_directory(const std::wstring& path) {
    return orvex::testing::make_private_directory(path, L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
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

// An installed, running service, as an installer leaves it; the tool run as the elevated
// administrator that runs this program.
std::string uninstall_as_administrator(SC_HANDLE manager, const std::wstring& service_dir,
                                       const std::wstring& tool, const std::wstring& stand_in) {
    const std::wstring bin = service_dir + L"\\bin";
    const std::wstring exe = bin + L"\\orvex-service.exe";
    if (!make_secured_directory(service_dir) || !make_secured_directory(bin) ||
        !CopyFileW(stand_in.c_str(), exe.c_str(), TRUE)) {
        return "cannot set up the service's folders (" + std::to_string(GetLastError()) + ")";
    }
    SC_HANDLE service = create_service(manager, SERVICE, L"\"" + exe + L"\"");
    if (service == nullptr) {
        return "cannot install the stand-in service (" + std::to_string(GetLastError()) + ")";
    }
    if (std::string failure = run_until(service, SERVICE_RUNNING, "the stand-in service");
        !failure.empty()) {
        return failure;
    }
    const auto result = run_process(tool);
    SC_HANDLE gone = OpenServiceW(manager, SERVICE, SERVICE_QUERY_STATUS);
    if (gone != nullptr) {
        CloseServiceHandle(gone);
        return "the service is still installed";
    }
    if (result.status != 0 || result.out != SUCCESS || !result.err.empty()) {
        return "status " + std::to_string(result.status) + ", " + result.out + result.err;
    }
    if (exists(exe)) {
        return "the executable is still there";
    }
    return secured_problem(service_dir, false) + secured_problem(bin, false);
}

// An administrator may not make LocalSystem the owner of the runtime directory.
std::string maintenance_as_administrator(const std::wstring& service_dir,
                                         const std::wstring& tool) {
    const auto result = run_process(tool + L" --cleanup-stale-owners");
    const std::string expected = report_of(
        orvex::ErrorChain::context("failed to create private service directory " +
                                       orvex::quote_path(utf8(service_dir + L"\\runtime")),
                                   orvex::SystemError::from_code(orvex::WinCode(1307))));
    return result.status == 1 && result.err == expected && result.out.empty()
               ? ""
               : "status " + std::to_string(result.status) + ", " + result.err;
}

// As LocalSystem, through a one-shot service that runs the tool: a stale Unix owner goes, a live
// one (LocalSystem's own SID) stays, and the runtime directory is LocalSystem's.
std::string maintenance_as_local_system(SC_HANDLE manager, const std::wstring& service_dir,
                                        const std::wstring& scratch) {
    const std::wstring users = service_dir + L"\\users";
    const std::string live =
        orvex::owner_key_for(orvex::OwnerIdentity{orvex::WindowsIdentity{"S-1-5-18"}});
    const std::wstring live_dir = users + L"\\" + std::wstring(live.begin(), live.end());
    // Inside the secured service folder, these inherit its protected DACL.
    CreateDirectoryW(users.c_str(), nullptr);
    CreateDirectoryW((users + L"\\1000").c_str(), nullptr);
    write_file(users + L"\\1000\\owner.json", R"({"Unix":[1000,1000]})");
    CreateDirectoryW(live_dir.c_str(), nullptr);
    write_file(live_dir + L"\\owner.json", R"({"Windows":["S-1-5-18"]})");
    const std::wstring output = scratch + L"\\runner.out";
    SC_HANDLE runner =
        create_service(manager, RUNNER,
                       L"\"" + scratch + L"\\standin_service.exe\" \"--run=" + scratch +
                           L"\\orvex-uninstall.exe\" --run-arg=--cleanup-stale-owners \"--output=" +
                           output + L"\"");
    if (runner == nullptr) {
        return "cannot install the one-shot service (" + std::to_string(GetLastError()) + ")";
    }
    const std::string failure = run_until(runner, SERVICE_STOPPED, "the one-shot service");
    remove_service(manager, RUNNER);
    if (!failure.empty()) {
        return failure;
    }
    if (const std::string out = read_file(output);
        out != "Removed 1 stale owner state directories\nstatus: 0\n") {
        return "it wrote: " + out;
    }
    if (exists(users + L"\\1000") || !exists(live_dir + L"\\owner.json")) {
        return "the wrong owners were removed";
    }
    return secured_problem(service_dir + L"\\runtime", true);
}

} // namespace

int wmain() {
    if (orvex::testing::wine_version() != nullptr) {
        skip_all("Wine keeps no owners (the rig covers these cases with emulated ownership)");
        return 0;
    }
    const std::wstring service_dir = program_data() + L"\\orvex-service";
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        skip_all("run elevated");
        return 1;
    }
    // Only "does not exist" counts as absent: a service that cannot be opened, or is marked for
    // deletion, is there.
    SC_HANDLE existing = OpenServiceW(manager, SERVICE, SERVICE_QUERY_STATUS);
    const bool absent = existing == nullptr && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    if (existing != nullptr) {
        CloseServiceHandle(existing);
    }
    // The programs run from a private folder on the system drive: the bundle may sit where a
    // service cannot reach it (a mapped drive) or where an ordinary user can write.
    const std::wstring scratch = L"C:\\orvex-bundle-e2e-" + std::to_wstring(GetCurrentProcessId()) +
                                 L"-" + std::to_wstring(GetTickCount64());
    if (!absent || exists(service_dir)) {
        skip_all("the product's service or folder is here; use a machine without them");
        CloseServiceHandle(manager);
        return 0;
    }
    if (!orvex::testing::make_private_directory(scratch) ||
        !CopyFileW((build_dir() + L"\\orvex-uninstall.exe").c_str(),
                   (scratch + L"\\orvex-uninstall.exe").c_str(), TRUE) ||
        !CopyFileW((build_dir() + L"\\standin_service.exe").c_str(),
                   (scratch + L"\\standin_service.exe").c_str(), TRUE)) {
        skip_all("cannot make a private folder on C:\\ for the programs");
        orvex::testing::remove_tree(scratch);
        CloseServiceHandle(manager);
        return 1;
    }
    const std::wstring tool = L"\"" + scratch + L"\\orvex-uninstall.exe\"";

    report(CASES[0], uninstall_as_administrator(manager, service_dir, tool,
                                                scratch + L"\\standin_service.exe"));
    if (orvex::testing::runs_as_local_system()) {
        std::printf("case %s: skipped: this runs as LocalSystem, which may\n", CASES[1]);
    } else {
        report(CASES[1], maintenance_as_administrator(service_dir, tool));
    }
    report(CASES[2], maintenance_as_local_system(manager, service_dir, scratch));

    // The tool deleted the service in the first case; should it not have, this run created it.
    remove_service(manager, SERVICE);
    CloseServiceHandle(manager);
    orvex::testing::remove_tree(service_dir);
    orvex::testing::remove_tree(scratch);
    for (const std::wstring& left : {service_dir, scratch}) {
        if (exists(left)) {
            std::printf("left behind: %s (remove it with rmdir /s /q)\n", utf8(left).c_str());
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
