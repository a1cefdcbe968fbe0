// Test-only DLL that emulates NTFS ownership and DACLs inside the unmodified orvex-uninstall.exe.
//
// Wine gives real files, locks and a real Service Control Manager, but reports every file's owner
// as the Wine user and forgets DACLs. When the rig's launcher loads this DLL into the tool, it
// rewrites the tool's import address table so that its security calls go through the hooks below:
//   CreateDirectoryW with a descriptor  -> the new directory gets the descriptor's owner and DACL
//   SetSecurityInfo on a directory       -> changes the stored owner or DACL (after Wine's call)
//   GetSecurityInfo                      -> reports the stored owner; unrecorded objects keep
//                                           Wine's own answer, the Wine user (a foreign owner)
//   RemoveDirectoryW, deletion by handle -> the removed directory forgets its record
// Records are kept for directories only, the only objects that the tool creates or secures. The
// shim also watches NtCreateFile and CloseHandle, to know which open handles are non-directories.
// It also observes SetDefaultDllDirectories: whether the program restricts its DLL search before
// any other call that the shim sees, and with which flags.
// Everything else, the file system, the locks and the SCM included, is Wine's and real.
//
// The hooks sit on calls that the tool makes for every object it deletes, so they stay cheap:
// the shim reads which identities have a record once, when it loads, and keeps that list up to
// date itself (no other process changes records while the program runs); an object's identity is
// asked for only when a record could be at stake, after a deletion has succeeded, and never for a
// handle that the program opened as a non-directory (NtCreateFile with FILE_NON_DIRECTORY_FILE),
// which can hold no record; and nothing is sent to the registry for an object without a record.
// That last rule matters beyond the hook's own time: asking a handle that has not been used yet
// for its identity fetches its file descriptor from the server, and the program then holds the
// deleted file open until it closes the handle, which makes the close release the file's storage
// in the program instead of in the server. Neither shows in the hook's time, yet both would be
// counted as the tool's. With ORVEX_RIG_COST_FILE set, the shim writes the number of hooked calls
// and the time its hooks spent beside the real calls, in microseconds, to that file when the
// program ends (scripts/bench subtracts it).
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <winternl.h>

#include <cstring>
#include <set>
#include <string>
#include <unordered_set>

#include "wine/rig/exit_signal.hpp"
#include "wine/rig/ownership_store.hpp"

namespace {

using namespace orvex::rig;

using CreateDirectoryWFn = BOOL(WINAPI*)(LPCWSTR, LPSECURITY_ATTRIBUTES);
using RemoveDirectoryWFn = BOOL(WINAPI*)(LPCWSTR);
using GetSecurityInfoFn = DWORD(WINAPI*)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*,
                                         PACL*, PACL*, PSECURITY_DESCRIPTOR*);
using SetSecurityInfoFn = DWORD(WINAPI*)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID,
                                         PACL, PACL);
using SetFileInformationByHandleFn = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID,
                                                   DWORD);

CreateDirectoryWFn real_create_directory = nullptr;
RemoveDirectoryWFn real_remove_directory = nullptr;
GetSecurityInfoFn real_get_security_info = nullptr;
SetSecurityInfoFn real_set_security_info = nullptr;
SetFileInformationByHandleFn real_set_file_information = nullptr;
using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
SetDefaultDllDirectoriesFn real_set_default_dll_directories = nullptr;
using NtCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                        PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
NtCreateFileFn real_nt_create_file = nullptr;
using CloseHandleFn = BOOL(WINAPI*)(HANDLE);
CloseHandleFn real_close_handle = nullptr;

// How many hooked calls the program has made so far.
int hooked_calls = 0;

// The identities with a record, read when the shim loads and kept up to date by its hooks.
std::set<std::wstring> recorded;

void remember(const std::wstring& identity, const OwnershipRecord& record) {
    store_record(identity, record);
    recorded.insert(identity);
}
void forget(const std::wstring& identity) {
    if (recorded.erase(identity) != 0) {
        forget_record(identity);
    }
}
std::optional<OwnershipRecord> recorded_for(const std::optional<std::wstring>& identity) {
    return identity && recorded.contains(*identity) ? load_record(*identity) : std::nullopt;
}

// The open handles that the program's own NtCreateFile opened as non-directories: the open itself
// guarantees what they are, so none of them can hold a record.
std::unordered_set<HANDLE> non_directories;

bool is_directory(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof(info)) &&
           (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The hooks' own time, beside the real calls that they wrap, in performance-counter ticks.
LONGLONG hook_ticks = 0;
LONGLONG real_ticks = 0;
LONGLONG ticks() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}
// Counts one hooked call and the time until the hook returns.
class HookTimer {
  public:
    HookTimer() { ++hooked_calls; }
    ~HookTimer() { hook_ticks += ticks() - start_; }
    HookTimer(const HookTimer&) = delete;
    HookTimer& operator=(const HookTimer&) = delete;

  private:
    LONGLONG start_ = ticks();
};
// Makes the real call, keeping its last error and leaving its time out of the hook's own.
template <class Call> auto real(Call call) {
    const LONGLONG start = ticks();
    const auto result = call();
    const DWORD error = GetLastError();
    real_ticks += ticks() - start;
    SetLastError(error);
    return result;
}

void write_cost_file() {
    wchar_t path[MAX_PATH];
    if (GetEnvironmentVariableW(L"ORVEX_RIG_COST_FILE", path, MAX_PATH) == 0) {
        return;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const LONGLONG own = (hook_ticks - real_ticks) * 1'000'000 / frequency.QuadPart;
    const std::string text = std::to_string(hooked_calls) + " " + std::to_string(own) + "\n";
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

BOOL WINAPI hook_set_default_dll_directories(DWORD flags) {
    store_observation(L"DllSearchRestrictedFirst", hooked_calls == 0 ? 1 : 0);
    store_observation(L"DllSearchFlags", flags);
    ++hooked_calls;
    return real_set_default_dll_directories(flags);
}

std::wstring sid_text(PSID sid) {
    LPWSTR text = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) {
        return {};
    }
    std::wstring result(text);
    LocalFree(text);
    return result;
}

// The DACL as SDDL ("D:P(...)"), protected or not.
std::wstring dacl_text(PACL dacl, bool is_protected) {
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, dacl, FALSE);
    if (is_protected) {
        SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    }
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            &sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return {};
    }
    std::wstring result(text);
    LocalFree(text);
    return result;
}

std::wstring wine_owner(HANDLE handle) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    std::wstring result;
    if (real_get_security_info(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                               nullptr, nullptr, &sd) == ERROR_SUCCESS) {
        result = sid_text(owner);
    }
    LocalFree(sd);
    return result;
}

BOOL WINAPI hook_create_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
    const HookTimer timer;
    const BOOL created = real([&] { return real_create_directory(path, attributes); });
    const DWORD error = GetLastError();
    if (created && attributes != nullptr && attributes->lpSecurityDescriptor != nullptr) {
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        BOOL present = FALSE;
        PACL dacl = nullptr;
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorOwner(attributes->lpSecurityDescriptor, &owner, &defaulted);
        GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &dacl, &defaulted);
        GetSecurityDescriptorControl(attributes->lpSecurityDescriptor, &control, &revision);
        if (auto identity = identity_of(std::wstring(path))) {
            remember(*identity,
                     {owner != nullptr ? sid_text(owner) : L"",
                      present ? dacl_text(dacl, (control & SE_DACL_PROTECTED) != 0) : L""});
        }
    }
    SetLastError(error);
    return created;
}

BOOL WINAPI hook_remove_directory(LPCWSTR path) {
    const HookTimer timer;
    // By path, the identity must be read before the directory goes.
    const auto identity = recorded.empty() ? std::nullopt : identity_of(std::wstring(path));
    const BOOL removed = real([&] { return real_remove_directory(path); });
    const DWORD error = GetLastError();
    if (removed && identity) {
        forget(*identity);
    }
    SetLastError(error);
    return removed;
}

// Whether the call marks the object for deletion: FileDispositionInfo with DeleteFile set, or
// FileDispositionInfoEx (class 21) with FILE_DISPOSITION_FLAG_DELETE.
bool marks_for_deletion(FILE_INFO_BY_HANDLE_CLASS type, LPVOID info, DWORD size) {
    if (type == FileDispositionInfo && size >= sizeof(FILE_DISPOSITION_INFO)) {
        return static_cast<const FILE_DISPOSITION_INFO*>(info)->DeleteFile != FALSE;
    }
    return static_cast<int>(type) == 21 && size >= sizeof(ULONG) &&
           (*static_cast<const ULONG*>(info) & 0x1) != 0;
}

BOOL WINAPI hook_set_file_information(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info,
                                      DWORD size) {
    const HookTimer timer;
    const BOOL done = real([&] { return real_set_file_information(handle, type, info, size); });
    // The handle still names the object once its deletion is set, so the identity can wait until
    // the call has succeeded; a failed attempt costs nothing.
    if (!done || recorded.empty() || !marks_for_deletion(type, info, size) ||
        non_directories.contains(handle)) {
        return done;
    }
    const DWORD error = GetLastError();
    if (const auto identity = identity_of(handle)) {
        forget(*identity);
    }
    SetLastError(error);
    return done;
}

DWORD WINAPI hook_get_security_info(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                                    PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                    PSECURITY_DESCRIPTOR* sd) {
    const HookTimer timer;
    const auto identity = type == SE_FILE_OBJECT ? identity_of(handle) : std::nullopt;
    const auto record = recorded_for(identity);
    if (!record || record->owner.empty() || info != OWNER_SECURITY_INFORMATION || sd == nullptr) {
        return real([&] {
            return real_get_security_info(handle, type, info, owner, group, dacl, sacl, sd);
        });
    }
    PSECURITY_DESCRIPTOR stored = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW((L"O:" + record->owner).c_str(),
                                                              SDDL_REVISION_1, &stored, nullptr)) {
        return GetLastError();
    }
    BOOL defaulted = FALSE;
    if (owner != nullptr) {
        GetSecurityDescriptorOwner(stored, owner, &defaulted);
    }
    *sd = stored; // the caller releases it with LocalFree, as with the real call
    return ERROR_SUCCESS;
}

DWORD WINAPI hook_set_security_info(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                                    PSID owner, PSID group, PACL dacl, PACL sacl) {
    const HookTimer timer;
    const DWORD code =
        real([&] { return real_set_security_info(handle, type, info, owner, group, dacl, sacl); });
    if (code != ERROR_SUCCESS || type != SE_FILE_OBJECT || !is_directory(handle)) {
        return code;
    }
    const auto identity = identity_of(handle);
    if (!identity) {
        return code;
    }
    OwnershipRecord record =
        recorded_for(identity).value_or(OwnershipRecord{wine_owner(handle), L""});
    if ((info & OWNER_SECURITY_INFORMATION) != 0) {
        record.owner = sid_text(owner);
    }
    if ((info & DACL_SECURITY_INFORMATION) != 0) {
        record.dacl = dacl_text(dacl, (info & PROTECTED_DACL_SECURITY_INFORMATION) != 0);
    }
    remember(*identity, record);
    return code;
}

// The two hooks that follow only keep `non_directories` up to date, which costs less than reading
// the clock would: they are counted but not timed, so their time is counted as the tool's.
NTSTATUS NTAPI hook_nt_create_file(PHANDLE handle, ACCESS_MASK access,
                                   POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                                   PLARGE_INTEGER size, ULONG file_attributes, ULONG share,
                                   ULONG disposition, ULONG options, PVOID ea, ULONG ea_length) {
    ++hooked_calls;
    const NTSTATUS status =
        real_nt_create_file(handle, access, attributes, io, size, file_attributes, share,
                            disposition, options, ea, ea_length);
    constexpr ULONG NON_DIRECTORY_FILE = 0x00000040; // FILE_NON_DIRECTORY_FILE
    if (status >= 0 && (options & NON_DIRECTORY_FILE) != 0) {
        non_directories.insert(*handle);
    }
    return status;
}

BOOL WINAPI hook_close_handle(HANDLE handle) {
    ++hooked_calls;
    non_directories.erase(handle); // before the value can be handed out again
    return real_close_handle(handle);
}

// Points the main module's imports of `function` from `dll` at `hook`; returns the original.
void* patch_import(const char* dll, const char* function, void* hook) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) {
        return nullptr;
    }
    for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         import->Name != 0; ++import) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + import->Name), dll) != 0) {
            continue;
        }
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function) != 0) {
                continue;
            }
            DWORD old = 0;
            // The import table's page is write-copy: make it writable for the one store.
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old);
            void* original = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
            VirtualProtect(&slots->u1.Function, sizeof(void*), old, &old);
            return original;
        }
    }
    return nullptr;
}

template <class Fn> void install(Fn& real, const char* dll, const char* name, Fn hook) {
    if (void* original = patch_import(dll, name, reinterpret_cast<void*>(hook))) {
        real = reinterpret_cast<Fn>(original);
    }
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH) {
        write_cost_file();
        // The program is ending by itself: a kill or a crash never gets here.
        if (HANDLE exited = OpenEventW(EVENT_MODIFY_STATE, FALSE,
                                       exit_event_name(GetCurrentProcessId()).c_str())) {
            SetEvent(exited);
            CloseHandle(exited);
        }
    }
    if (reason == DLL_PROCESS_ATTACH) {
        for (auto& identity : recorded_identities()) {
            recorded.insert(std::move(identity));
        }
        // Fallbacks for calls the program does not import: the real functions themselves.
        real_create_directory = &CreateDirectoryW;
        real_remove_directory = &RemoveDirectoryW;
        real_get_security_info = &GetSecurityInfo;
        real_set_security_info = &SetSecurityInfo;
        real_set_file_information = &SetFileInformationByHandle;
        real_set_default_dll_directories = &SetDefaultDllDirectories;
        real_nt_create_file = &NtCreateFile;
        real_close_handle = &CloseHandle;
        install(real_set_default_dll_directories, "KERNEL32.dll", "SetDefaultDllDirectories",
                &hook_set_default_dll_directories);
        install(real_create_directory, "KERNEL32.dll", "CreateDirectoryW", &hook_create_directory);
        install(real_remove_directory, "KERNEL32.dll", "RemoveDirectoryW", &hook_remove_directory);
        install(real_set_file_information, "KERNEL32.dll", "SetFileInformationByHandle",
                &hook_set_file_information);
        install(real_get_security_info, "ADVAPI32.dll", "GetSecurityInfo", &hook_get_security_info);
        install(real_set_security_info, "ADVAPI32.dll", "SetSecurityInfo", &hook_set_security_info);
        install(real_nt_create_file, "ntdll.dll", "NtCreateFile", &hook_nt_create_file);
        install(real_close_handle, "KERNEL32.dll", "CloseHandle", &hook_close_handle);
    }
    return TRUE;
}
