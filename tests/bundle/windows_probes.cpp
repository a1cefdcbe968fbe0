// What only a real Windows machine can answer about the behaviours the tool relies on. Each probe
// prints one line, "probe NAME: ANSWER", where the answer is what was measured, or "skipped: WHY"
// where this system cannot make what the probe needs (Wine makes no links and keeps no DACLs).
// Nothing here passes or fails: the answers are read by a person, who records them in the README.
// Run elevated (the service probes install a throwaway service), beside standin_service.exe.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "bundle/service_state.hpp"
#include "contract/win32_world.hpp"
#include "owners/tree_removal.hpp"
#include "state_dir/service_layout.hpp"
#include "wine/process.hpp"

namespace {

using orvex::bundle::wait_for;

using orvex::contract::Win32World;
using Clock = std::chrono::steady_clock;

void answer(const char* probe, const std::string& text) {
    std::printf("probe %s: %s\n", probe, text.c_str());
    std::fflush(stdout);
}

std::wstring wide(const std::u16string& text) {
    return std::wstring(text.begin(), text.end());
}

long long milliseconds_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The DACL of `path` in SDDL, or "" when it cannot be read.
std::string dacl_of(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return "";
    }
    LPWSTR text = nullptr;
    std::string out;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        for (const wchar_t* c = text; *c != 0; ++c) {
            out += static_cast<char>(*c);
        }
        LocalFree(text);
    }
    LocalFree(descriptor);
    return out;
}

// Applies a protected DACL to the directory `path` through a handle opened as the tool opens the
// directories it secures; everyone keeps full access, so that the probe can clean up.
DWORD secure(const std::wstring& path) {
    HANDLE handle =
        CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)", SDDL_REVISION_1, &descriptor,
        nullptr);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    const DWORD code = SetSecurityInfo(
        handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
        nullptr, nullptr, dacl, nullptr);
    LocalFree(descriptor);
    CloseHandle(handle);
    return code;
}

void probe_propagation(Win32World& world) {
    const std::wstring root = wide(Win32World::scratch());
    const std::wstring d = root + L"\\d";
    const std::wstring outside = root + L"\\outside";
    CreateDirectoryW(d.c_str(), nullptr);
    CreateDirectoryW((d + L"\\child").c_str(), nullptr);
    CreateDirectoryW(outside.c_str(), nullptr);
    CreateDirectoryW((outside + L"\\for-junction").c_str(), nullptr);
    CreateDirectoryW((outside + L"\\for-symlink").c_str(), nullptr);
    const std::u16string junction_target = Win32World::scratch() + u"\\outside\\for-junction";
    std::u16string junction = Win32World::scratch() + u"\\d\\junction";
    const bool junction_made = world.make_junction(junction + u'\0', junction_target + u'\0');
    const bool symlink_made =
        CreateSymbolicLinkW((d + L"\\symlink").c_str(), (outside + L"\\for-symlink").c_str(),
                            SYMBOLIC_LINK_FLAG_DIRECTORY |
                                SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != 0 &&
        (GetFileAttributesW((d + L"\\symlink").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        GetFileAttributesW((d + L"\\symlink").c_str()) != INVALID_FILE_ATTRIBUTES;
    const std::string child_before = dacl_of(d + L"\\child");
    const std::string junction_before = dacl_of(outside + L"\\for-junction");
    const std::string symlink_before = dacl_of(outside + L"\\for-symlink");
    const DWORD code = secure(d);
    if (code != ERROR_SUCCESS) {
        answer("propagation", "SetSecurityInfo failed with " + std::to_string(code));
        return;
    }
    const bool reached_child = dacl_of(d + L"\\child") != child_before;
    answer("propagation-reaches-a-child",
           std::string(reached_child ? "yes" : "no") + " (" + dacl_of(d + L"\\child") + ")");
    answer("propagation-crosses-a-junction",
           !junction_made ? "skipped: this system cannot make junctions"
           : dacl_of(outside + L"\\for-junction") != junction_before
               ? "YES: the target's DACL changed to " + dacl_of(outside + L"\\for-junction")
               : "no (the target's DACL is unchanged)");
    answer("propagation-crosses-a-directory-symlink",
           !symlink_made ? "skipped: this system cannot make directory symbolic links here"
           : dacl_of(outside + L"\\for-symlink") != symlink_before
               ? "YES: the target's DACL changed to " + dacl_of(outside + L"\\for-symlink")
               : "no (the target's DACL is unchanged)");
}

void probe_tree_removal(Win32World& world) {
    using namespace orvex;
    System& system = world.system();
    const std::wstring root = wide(Win32World::scratch());
    const std::wstring tree = root + L"\\tree";
    CreateDirectoryW(tree.c_str(), nullptr);
    CreateDirectoryW((tree + L"\\sub").c_str(), nullptr);
    CreateDirectoryW((root + L"\\kept").c_str(), nullptr);
    for (const wchar_t* name : {L"\\read-only.txt", L"\\sub\\g.txt", L"\\owner.json"}) {
        HANDLE file =
            CreateFileW((tree + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        CloseHandle(file);
    }
    CloseHandle(CreateFileW((root + L"\\kept\\keep.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, 0, nullptr));
    SetFileAttributesW((tree + L"\\read-only.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    const bool junction = world.make_junction(Win32World::scratch() + u"\\tree\\junction\0",
                                              Win32World::scratch() + u"\\kept\0");
    std::u16string scratch = Win32World::scratch();
    scratch.push_back(u'\0');
    auto parent = system.create_file(scratch, Access::ListDirectory | Access::ReadAttributes,
                                     ShareMode::All, Disposition::OpenExisting,
                                     OpenFlags::BackupSemantics | OpenFlags::OpenReparsePoint);
    auto handle = parent ? system.open_relative(parent->ref(), u"tree", TREE_ACCESS)
                         : SysResult<UniqueHandle>(sys_fail(parent.error()));
    auto tag = handle ? system.attribute_tag(handle->ref())
                      : SysResult<AttributeTag>(sys_fail(handle.error()));
    if (!tag) {
        answer("tree-removal",
               "cannot open the tree (" + std::to_string(tag.error().value()) + ")");
        return;
    }
    DeletionContext context;
    const auto removed =
        remove_tree(system, std::move(*handle), *tag, context, OWNER_METADATA_FILE_NAME_W);
    const bool kept =
        GetFileAttributesW((root + L"\\kept\\keep.txt").c_str()) != INVALID_FILE_ATTRIBUTES;
    answer(
        "tree-removal-posix-under-held-parents",
        std::string(removed ? "removed" : "FAILED with " + std::to_string(removed.error().code)) +
            (context.posix_unsupported ? " (classic disposition: POSIX refused)"
                                       : " (POSIX disposition)") +
            (junction ? (kept ? "; junction's target intact" : "; JUNCTION'S TARGET CHANGED")
                      : "; no junction (this system cannot make one)"));
}

// A throwaway service running the stand-in from a copy in the scratch directory.
struct ProbeService {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    std::wstring executable;
    ~ProbeService() {
        if (service != nullptr) {
            SERVICE_STATUS status{};
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            DeleteService(service);
            CloseServiceHandle(service);
        }
        if (manager != nullptr) {
            CloseServiceHandle(manager);
        }
    }
};

// Each probe service runs from its own copy, so that one that is still exiting holds no other's.
bool install(ProbeService& probe, const std::wstring& file, const std::wstring& arguments) {
    const std::wstring copy = wide(Win32World::scratch()) + L"\\" + file;
    if (!CopyFileW((orvex::testing::build_dir() + L"\\standin_service.exe").c_str(), copy.c_str(),
                   FALSE)) {
        return false;
    }
    probe.executable = copy;
    probe.manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    const std::wstring command = L"\"" + copy + L"\" " + arguments;
    probe.service =
        probe.manager == nullptr
            ? nullptr
            : CreateServiceW(probe.manager, L"orvex_probe_service", L"orvex_probe_service",
                             SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                             SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                             nullptr, nullptr);
    return probe.service != nullptr;
}

void probe_services() {
    {
        ProbeService probe;
        if (!install(probe, L"stopping-service.exe", L"--stop=delay:3000")) {
            answer("services", "skipped: cannot install a service (" +
                                   std::to_string(GetLastError()) + "); run elevated");
            return;
        }
        StartServiceW(probe.service, 0, nullptr);
        wait_for(probe.service, SERVICE_RUNNING);
        SERVICE_STATUS status{};
        ControlService(probe.service, SERVICE_CONTROL_STOP, &status);
        const BOOL second = ControlService(probe.service, SERVICE_CONTROL_STOP, &status);
        answer("stop-sent-to-a-stopping-service",
               second ? "accepted" : "refused with " + std::to_string(GetLastError()));
        wait_for(probe.service, SERVICE_STOPPED);

        // A second handle keeps the record after the deletion; what does a new open answer?
        SC_HANDLE other = OpenServiceW(probe.manager, L"orvex_probe_service", SERVICE_QUERY_STATUS);
        DeleteService(probe.service);
        SC_HANDLE again = OpenServiceW(probe.manager, L"orvex_probe_service", SERVICE_QUERY_STATUS);
        answer("open-service-marked-for-deletion",
               again != nullptr ? "succeeds" : "fails with " + std::to_string(GetLastError()));
        if (again != nullptr) {
            CloseServiceHandle(again);
        }
        if (other != nullptr) {
            CloseServiceHandle(other);
        }
    }
    ProbeService running;
    if (!install(running, L"running-service.exe", L"--stop=prompt")) {
        answer("running-executable-deletion",
               "skipped: cannot install a service (" + std::to_string(GetLastError()) + ")");
        return;
    }
    StartServiceW(running.service, 0, nullptr);
    wait_for(running.service, SERVICE_RUNNING);
    const bool refused_while_running = !DeleteFileW(running.executable.c_str());
    const DWORD code_while_running = GetLastError();
    SERVICE_STATUS status{};
    ControlService(running.service, SERVICE_CONTROL_STOP, &status);
    wait_for(running.service, SERVICE_STOPPED);
    DeleteService(running.service);
    CloseServiceHandle(running.service);
    running.service = nullptr;
    const Clock::time_point start = Clock::now();
    while (SC_HANDLE probe =
               OpenServiceW(running.manager, L"orvex_probe_service", SERVICE_QUERY_STATUS)) {
        CloseServiceHandle(probe);
        if (milliseconds_since(start) > 20000) {
            break;
        }
        Sleep(5);
    }
    const long long gone = milliseconds_since(start);
    bool deleted = false;
    while (!(deleted = DeleteFileW(running.executable.c_str())) &&
           milliseconds_since(start) < 20000) {
        Sleep(5);
    }
    answer("running-executable-deletion",
           std::string(refused_while_running
                           ? "refused while running with " + std::to_string(code_while_running)
                           : "ALLOWED while running") +
               "; the record was gone after " + std::to_string(gone) + " ms; the file " +
               (deleted
                    ? "could be deleted after " + std::to_string(milliseconds_since(start)) + " ms"
                    : "could still not be deleted after 20 s"));
}

void probe_security_cost() {
    const std::wstring tree = wide(Win32World::scratch()) + L"\\cost";
    CreateDirectoryW(tree.c_str(), nullptr);
    for (int d = 0; d < 1000; ++d) {
        const std::wstring dir = tree + L"\\owner" + std::to_wstring(d);
        CreateDirectoryW(dir.c_str(), nullptr);
        for (int f = 0; f < 10; ++f) {
            CloseHandle(CreateFileW((dir + L"\\f" + std::to_wstring(f)).c_str(), GENERIC_WRITE, 0,
                                    nullptr, CREATE_NEW, 0, nullptr));
        }
    }
    const Clock::time_point start = Clock::now();
    const DWORD code = secure(tree);
    answer("set-security-info-on-10000-files-in-1000-directories",
           code == ERROR_SUCCESS ? std::to_string(milliseconds_since(start)) + " ms"
                                 : "failed with " + std::to_string(code));
}

// Which system answered: Windows' version, or Wine's.
void describe_system() {
    if (const char* wine = orvex::testing::wine_version()) {
        answer("system", std::string("Wine ") + wine + " (keeps no DACLs, makes no links)");
        return;
    }
    const OSVERSIONINFOW version = orvex::testing::windows_version();
    answer("system", "Windows " + std::to_string(version.dwMajorVersion) + "." +
                         std::to_string(version.dwMinorVersion) + " build " +
                         std::to_string(version.dwBuildNumber));
}

} // namespace

int wmain() {
    describe_system();
    Win32World world; // a fresh scratch directory, removed at the end
    probe_propagation(world);
    probe_tree_removal(world);
    probe_services();
    probe_security_cost();
    return 0;
}
